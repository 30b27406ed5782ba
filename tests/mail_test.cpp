// velmox-server as a web mail, run as a program under a base name of the
// test's own with a database of its own, once on each store (an SQLite file,
// a PostgreSQL database): what is saved is found, opened, listed in order
// and exported as it was sent; hostile and broken input changes nothing and
// gets a page that says why; both stores give the same pages. (Sixteen
// gateways saving at once: e2e_mail_test.cpp.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <cctype>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "mail_client.h"
#include "pg_cluster.h"
#include "server_process.h"

using namespace mailtest;
using namespace srvtest;

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class Mail : public EveryStore {
protected:
    // Saves a message; returns its ident, "" when it was not saved.
    std::string SaveMessage(const std::string& folder, const Fields& fields, const std::string& ident = "") {
        Reply reply = Post(base, "/Save/Local/" + folder, ident.empty() ? "0" : "0&" + ident, Form(fields));
        EXPECT_EQ(200, reply.status) << Element(reply.page, "p", "error");
        return reply.status == 200 ? IdentOn(reply.page) : "";
    }

    // The subjects of a results page, in order.
    static std::vector<std::string> Subjects(const Reply& reply) {
        std::vector<std::string> subjects;
        for (const std::string& a : Elements(reply.page, "a", "subject")) subjects.push_back(TextOf(a));
        return subjects;
    }

    Reply Search(const std::string& folder, const std::string& body, const std::string& query = "") {
        return Post(base, "/Search/Local/" + folder, query, body);
    }
};

TEST_P(Mail, SavedMessageIsFoundOpenedAndUpdated) {
    StartMail();
    Reply saved = Post(base, "/Save/Local/inbox", "0",
                       Form({{"to", "ann@example.org"},
                             {"subject", "Whale song"},
                             {"body", "The blue whales were singing\nall night."}}));
    ASSERT_EQ(200, saved.status) << saved.page;
    EXPECT_EQ("text/html; charset=utf-8", saved.Header("Content-Type"));
    std::string ident = IdentOn(saved.page);
    ASSERT_EQ(32u, ident.size()) << saved.page;
    EXPECT_THAT(Element(saved.page, "p", "summary"), HasSubstr("New message"));
    EXPECT_THAT(saved.page, HasSubstr("/velmox.cgi/Compose/Local/inbox?0&amp;" + ident));

    Reply found = Search("inbox", "SREQUEST=Search&SEARCH=whales");
    ASSERT_EQ(200, found.status);
    EXPECT_EQ(std::vector<std::string>{"Whale song"}, Subjects(found));
    EXPECT_THAT(found.page, HasSubstr("<mark>whales</mark>")) << found.page;
    EXPECT_THAT(found.page, HasSubstr("Compose/Local/inbox?0&amp;" + ident));
    EXPECT_EQ("guest@192.0.2.7", TextOf(Elements(found.page, "span", "from").at(0)));
    EXPECT_TRUE(Subjects(Search("drafts", "SREQUEST=Search&SEARCH=whales")).empty()) << "another folder";

    Reply opened = Get(base, "/Compose/Local/inbox", "0&" + ident);
    ASSERT_EQ(200, opened.status);
    EXPECT_EQ("ann@example.org", InputValue(opened.page, "compose-to"));
    EXPECT_EQ("Whale song", InputValue(opened.page, "compose-subject"));
    EXPECT_EQ("\nThe blue whales were singing\nall night.", TextOf(Element(opened.page, "textarea", "compose-body")));
    EXPECT_THAT(opened.page, HasSubstr("action=\"/velmox.cgi/Save/Local/inbox?0&amp;" + ident + "\""));

    // A save under a known ident updates it; fields it does not carry stay.
    Reply updated = Post(base, "/Save/Local/inbox", "0&" + ident, Form({{"subject", "Whale songs"}}));
    ASSERT_EQ(200, updated.status);
    EXPECT_EQ("Updated", TextOf(Element(updated.page, "h1", "title")));
    opened = Get(base, "/Compose/Local/inbox", "1f&" + ident);
    EXPECT_EQ("Whale songs", InputValue(opened.page, "compose-subject"));
    EXPECT_EQ("ann@example.org", InputValue(opened.page, "compose-to"));
    EXPECT_EQ(std::vector<std::string>{"Whale songs"}, Subjects(Search("inbox", "SREQUEST=Search&SEARCH=songs")));
    EXPECT_TRUE(Subjects(Search("inbox", "SEARCH=song&MAX=5&SEARCHOPTION=1")).empty()) << "the old subject is gone";

    // A reply: a new ident, to the sender, the text quoted.
    Reply reply = Get(base, "/Compose/Local/inbox", "1&" + ident);
    ASSERT_EQ(200, reply.status);
    EXPECT_EQ("Reply", TextOf(Element(reply.page, "h1", "title")));
    EXPECT_EQ("guest@192.0.2.7", InputValue(reply.page, "compose-to"));
    EXPECT_EQ("Re: Whale songs", InputValue(reply.page, "compose-subject"));
    EXPECT_THAT(TextOf(Element(reply.page, "textarea", "compose-body")), HasSubstr("> all night."));
    EXPECT_NE(ident, IdentOn(reply.page));

    // A known-to-nobody ident: an empty form that saves under it.
    std::string fresh = "00112233445566778899aabbccddeeff";
    Reply empty = Get(base, "/Compose/Local/notes", "0&" + fresh);
    EXPECT_EQ(200, empty.status);
    EXPECT_EQ("", InputValue(empty.page, "compose-subject"));
    EXPECT_THAT(empty.page, HasSubstr("Save/Local/notes?0&amp;" + fresh));
    EXPECT_EQ(fresh, SaveMessage("notes", {{"subject", "kept under its ident"}}, fresh));
}

// Without --public: each user the web server authenticated sees and changes
// their own mail only, through every command, and a request of nobody gets
// nothing.
TEST_P(Mail, EachUserSeesOnlyTheirOwnMailAndNobodyNone) {
    server().UseMailStore(database, {}, true);
    StartMail();
    auto as = [&](const std::string& user, const std::string& method, const std::string& path,
                  const std::string& query = "", const std::string& body = "") {
        return Ask(base, method, path, query, body, user);
    };
    Reply saved = as("alice", "POST", "/Save/Local/inbox", "0", Form({{"subject", "Whale song"}, {"body", "whales"}}));
    ASSERT_EQ(200, saved.status) << saved.page;
    std::string ident = IdentOn(saved.page);
    Reply found = as("alice", "POST", "/Search/Local/inbox", "", "SREQUEST=Search&SEARCH=whales");
    EXPECT_EQ(std::vector<std::string>{"Whale song"}, Subjects(found));
    EXPECT_EQ("alice", TextOf(Elements(found.page, "span", "from").at(0))) << "the sender is its owner";
    EXPECT_EQ("Mail of alice", TextOf(Element(found.page, "p", "user")));

    // bob: none of it, whatever command he sends.
    EXPECT_TRUE(Subjects(as("bob", "POST", "/Search/Local/inbox", "", "SREQUEST=Search&SEARCH=whales")).empty());
    EXPECT_TRUE(Subjects(as("bob", "GET", "/Search/Local/inbox")).empty()) << "the folder's newest";
    EXPECT_EQ(0, Count(as("bob", "GET", "/RunAgent/Local/count").page, "<td class=\"count\">"));
    EXPECT_EQ("0", as("bob", "GET", "/RunAgent/Local/export", "inbox").Header("X-Velmox-Messages"));
    Reply picture = as("bob", "GET", "/ImageMap/Local/inbox");
    EXPECT_THAT(picture.page, Not(HasSubstr("Whale"))) << picture.page;
    Reply click = as("bob", "GET", "/ImageMap/Local/inbox/" + std::to_string(INT64_MAX / 2), "100,60");
    EXPECT_THAT(click.page, Not(HasSubstr("Whale"))) << "a click where alice's message is drawn for her";
    for (const char* query : {"0&", "1&"}) {
        Reply opened = as("bob", "GET", "/Compose/Local/inbox", query + ident);
        EXPECT_EQ(404, opened.status) << query;
        EXPECT_THAT(opened.page, Not(HasSubstr("Whale"))) << opened.page;
    }
    Reply changed = as("bob", "POST", "/Save/Local/inbox", "0&" + ident, Form({{"body", "pay bob"}}));
    EXPECT_EQ(404, changed.status);
    Reply own = as("bob", "POST", "/Save/Local/inbox", "0", Form({{"subject", "Whale watching"}, {"body", "whales"}}));
    EXPECT_EQ(200, own.status);

    // alice's message is hers as it was; bob's own is not hers.
    Reply opened = as("alice", "GET", "/Compose/Local/inbox", "0&" + ident);
    EXPECT_EQ("\nwhales", TextOf(Element(opened.page, "textarea", "compose-body")));
    EXPECT_THAT(Element(opened.page, "p", "summary"), HasSubstr("From alice"));
    found = as("alice", "POST", "/Search/Local/inbox", "", "SREQUEST=Search&SEARCH=whales");
    EXPECT_EQ(std::vector<std::string>{"Whale song"}, Subjects(found));
    Reply updated = as("alice", "POST", "/Save/Local/inbox", "0&" + ident, Form({{"subject", "Whale songs"}}));
    EXPECT_EQ("Updated", TextOf(Element(updated.page, "h1", "title")));

    // Nobody: refused, however the user is claimed without the web server.
    struct Row {
        const char* what;
        EnvList vars;
    } nobody[] = {
        {"no user", {}},
        {"REMOTE_USER without AUTH_TYPE", {{"REMOTE_USER", "alice"}}},
        {"AUTH_TYPE without REMOTE_USER", {{"AUTH_TYPE", "Basic"}}},
    };
    for (const Row& r : nobody) {
        SCOPED_TRACE(r.what);
        for (const char* path : {"/Search/Local/inbox", "/Compose/Local/inbox", "/RunAgent/Local/count"}) {
            Reply refused = Ask(base, "GET", path, path[1] == 'C' ? "0&" + ident : "", "", "", r.vars);
            EXPECT_EQ(403, refused.status) << path;
            EXPECT_THAT(TextOf(Element(refused.page, "p", "error")), HasSubstr("docs/service.md")) << refused.page;
            EXPECT_THAT(refused.page, Not(HasSubstr("Whale"))) << refused.page;
        }
        EXPECT_EQ(403, Ask(base, "POST", "/Save/Local/inbox", "0&" + ident, "body=x&token=", "", r.vars).status);
    }
    EXPECT_EQ("Whale songs", InputValue(as("alice", "GET", "/Compose/Local/inbox", "0&" + ident).page,
                                        "compose-subject"));
}

// A store that the release before users made (tests/data: velmox-server
// 1.0.0's five messages, dumped), migrated at the start and given to alice
// (--adopt): every message is hers, byte for byte, none is bob's; its text
// indexes still find them, and it saves and updates as a new store does.
TEST_P(Mail, AStoreOfTheReleaseBeforeUsersKeepsEveryMessageForTheUserItIsGiven) {
    std::string dump = ReadFile(std::string(VELMOX_SOURCE_DIR) + "/tests/data/store-v1." +
                                (GetParam() == Store::kSqlite ? "sqlite" : "pg") + ".sql");
    ASSERT_FALSE(dump.empty());
    if (GetParam() == Store::kSqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(database.c_str(), &db));
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, dump.c_str(), nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
        sqlite3_close(db);
    } else {
        pgtest::Session session(database);
        ASSERT_TRUE(session.Exec(dump)) << session.error();
    }
    server().UseMailStore(database, {}, true);
    StartMail(2, {"--adopt", "alice"});
    EXPECT_EQ(1, CountLines(server().Log(), "migrated from schema version 1 to 2")) << server().Log();
    EXPECT_EQ(1, CountLines(server().Log(), "5 messages of the public mailbox given to the user \"alice\""));
    struct Kept {
        const char *folder, *ident, *subject;
        std::string body;
    } kept[] = {
        {"inbox", "0000000000000000000000000000a001", "Whale song", "The blue whales were singing\nall night."},
        {"inbox", "0000000000000000000000000000a002", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x98\x83",
         "\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9 & <tags> \"quoted\" 'single'"},
        {"notes", "0000000000000000000000000000a003", "bytes", "\x01\xFF\xFE" "end of bytes"},
        {"notes", "0000000000000000000000000000a004", "", ""},
        {"archive", "0000000000000000000000000000a005", "Searching the archive", "We searched the archive twice."},
    };
    for (const Kept& k : kept) {
        SCOPED_TRACE(k.ident);
        Reply mbox = Ask(base, "GET", "/RunAgent/Local/export", k.folder, "", "alice");
        bool found = false;
        for (const MboxMessage& m : ParseMbox(mbox.page))
            if (m.Header("Message-ID") == "<" + std::string(k.ident) + "@velmox.invalid>") {
                found = true;
                EXPECT_EQ(k.subject, m.Header("Subject"));
                EXPECT_EQ(k.body, m.body);
                EXPECT_EQ("guest@192.0.2.9", m.Header("From")) << "the sender it had";
            }
        EXPECT_TRUE(found) << mbox.page.substr(0, 400);
        EXPECT_EQ(404, Ask(base, "GET", "/Compose/Local/" + std::string(k.folder), "0&" + std::string(k.ident), "", "bob")
                           .status);
    }
    EXPECT_EQ("0", Ask(base, "GET", "/RunAgent/Local/export", "inbox", "", "bob").Header("X-Velmox-Messages"));
    Reply found = Ask(base, "POST", "/Search/Local/archive", "", "SREQUEST=Search&SEARCH=searching", "alice");
    EXPECT_EQ(std::vector<std::string>{"Searching the archive"}, Subjects(found)) << "the word variants' index";
    Reply updated = Ask(base, "POST", "/Save/Local/inbox", "0&0000000000000000000000000000a001",
                        Form({{"subject", "Whale songs"}}), "alice");
    EXPECT_EQ("Updated", TextOf(Element(updated.page, "h1", "title")));
    found = Ask(base, "POST", "/Search/Local/inbox", "", "SREQUEST=Search&SEARCH=songs", "alice");
    EXPECT_EQ(std::vector<std::string>{"Whale songs"}, Subjects(found));
    EXPECT_EQ(200, Ask(base, "POST", "/Save/Local/inbox", "0", Form({{"subject", "new"}}), "alice").status);
    // The next start finds the schema made and nothing left to give.
    ASSERT_EQ(0, server().Stop());
    StartMail(2, {"--adopt", "alice"});
    EXPECT_EQ(1, CountLines(server().Log(), "migrated from schema version")) << server().Log();
    EXPECT_EQ(1, CountLines(server().Log(), "of the public mailbox given"));
}

TEST_P(Mail, WordVariantsAreFoundOnlyWhenAskedFor) {
    StartMail(1);
    SaveMessage("inbox", {{"subject", "Archive"}, {"body", "We searched the archive twice."}});
    const std::string options = "SEARCH=searching&MAX=10&SEARCHOPTION=1";
    Reply plain = Search("inbox", options);
    EXPECT_TRUE(Subjects(plain).empty()) << Element(plain.page, "p", "summary");
    EXPECT_THAT(Element(plain.page, "p", "summary"), HasSubstr("No message in inbox matches"));
    Reply variants = Search("inbox", options + "&WORDVARIENT=1");
    EXPECT_EQ(std::vector<std::string>{"Archive"}, Subjects(variants));
    EXPECT_THAT(variants.page, HasSubstr("<mark>searched</mark>")) << variants.page;
    EXPECT_EQ(std::vector<std::string>{"Archive"}, Subjects(Search("inbox", "SEARCH=searched&MAX=10&SEARCHOPTION=1")))
        << "the word as written is found without variants";
    EXPECT_EQ(std::vector<std::string>{"Archive"}, Subjects(Search("inbox", "SREQUEST=Search&SEARCH=searching")))
        << "a plain Search takes the defaults, word variants on";
}

TEST_P(Mail, MaxOrderAndPagesAreHonoured) {
    StartMail(2);
    // Saved in this order; "apple" in the subject ranks first by relevance.
    std::vector<std::string> subjects = {"one", "two", "three apple", "four", "five"};
    for (const std::string& s : subjects) SaveMessage("fruit", {{"subject", s}, {"body", "an apple a day"}});
    auto ask = [&](const std::string& max, int order) {
        return Subjects(Search("fruit", "SEARCH=apple&MAX=" + max + "&SEARCHOPTION=" + std::to_string(order)));
    };
    EXPECT_EQ((std::vector<std::string>{"five", "four", "three apple", "two", "one"}), ask("10", 2));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three apple", "four", "five"}), ask("10", 3));
    EXPECT_EQ("three apple", ask("10", 1).at(0));
    EXPECT_EQ((std::vector<std::string>{"five", "four", "three apple"}), ask("3", 2));
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), ask("2", 3));
    Reply capped = Search("fruit", "SEARCH=apple&MAX=3&SEARCHOPTION=2");
    EXPECT_THAT(Element(capped.page, "p", "summary"), HasSubstr("5 messages in fruit match"));
    EXPECT_THAT(Element(capped.page, "p", "summary"), HasSubstr("listed 1 to 3 of 3, newest first"));
    // An empty search lists the folder.
    EXPECT_EQ(5u, Subjects(Search("fruit", "SREQUEST=Search&SEARCH=")).size());

    // Twelve more: page 1 holds ten, page 2 (the number in the query
    // string, as the next-page form sends it) the rest of MAX.
    for (int i = 0; i < 12; ++i) SaveMessage("fruit", {{"subject", "more " + std::to_string(i)}, {"body", "apple"}});
    const std::string body = "SREQUEST=Quick+Search&SEARCH=apple&MAX=15&SEARCHOPTION=3";
    Reply first = Search("fruit", body);
    EXPECT_EQ(10u, Subjects(first).size());
    EXPECT_THAT(first.page, HasSubstr("action=\"/velmox.cgi/Search/Local/fruit?2\"")) << "a next page";
    EXPECT_THAT(first.page, HasSubstr("name=\"SEARCHRESULTSPAGE\" value=\"2\""));
    Reply second = Search("fruit", body + "&SEARCHRESULTSPAGE=2", "2");
    EXPECT_EQ((std::vector<std::string>{"more 5", "more 6", "more 7", "more 8", "more 9"}), Subjects(second));
    EXPECT_THAT(second.page, HasSubstr("<ol class=\"hits\" id=\"results\" start=\"11\">"));
    EXPECT_THAT(second.page, Not(HasSubstr("id=\"next-page\""))) << "MAX 15 ends on page 2";
    EXPECT_THAT(second.page, HasSubstr("id=\"previous-page\""));
}

TEST_P(Mail, EveryByteValueRoundTripsAndNulIsRefused) {
    StartMail(1);
    std::string every;
    for (int c = 1; c < 256; ++c) every += char(c);
    std::string printable;
    for (int c = 0x20; c < 0x7F; ++c) printable += char(c);
    std::string body = every + "\n" + every + "\nFrom the start\n>From here\n";
    std::string ident = SaveMessage("bytes", {{"to", printable}, {"subject", every}, {"body", body}});
    ASSERT_FALSE(ident.empty());

    Reply mbox = Get(base, "/RunAgent/Local/export", "bytes");
    ASSERT_EQ(200, mbox.status);
    EXPECT_EQ("application/mbox", mbox.Header("Content-Type"));
    std::vector<MboxMessage> messages = ParseMbox(mbox.page);
    ASSERT_EQ(1u, messages.size()) << mbox.page;
    EXPECT_EQ(every, messages[0].Header("Subject"));
    EXPECT_EQ(printable, messages[0].Header("To"));
    EXPECT_EQ(body, messages[0].body);
    EXPECT_EQ("<" + ident + "@velmox.invalid>", messages[0].Header("Message-ID"));

    // A page shows the bytes as valid UTF-8: markup escaped, what is no text
    // (controls but tab, line feed and carriage return; bytes of no UTF-8
    // character) as U+FFFD.
    Reply opened = Get(base, "/Compose/Local/bytes", "0&" + ident);
    ASSERT_EQ(200, opened.status);
    EXPECT_TRUE(IsUtf8(opened.page));
    std::string shown;
    for (unsigned char c : every) {
        bool text = (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
        shown += text ? std::string(1, char(c)) : std::string("\xEF\xBF\xBD");
    }
    EXPECT_EQ(shown, InputValue(opened.page, "compose-subject"));
    EXPECT_EQ(printable, InputValue(opened.page, "compose-to"));

    // Valid UTF-8 text comes back on the page as it is.
    std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\x8B <&>\"'\ttab";
    std::string textIdent = SaveMessage("bytes", {{"subject", text}, {"body", text}});
    opened = Get(base, "/Compose/Local/bytes", "0&" + textIdent);
    EXPECT_EQ(text, InputValue(opened.page, "compose-subject"));
    EXPECT_EQ("\n" + text, TextOf(Element(opened.page, "textarea", "compose-body")));

    // A NUL cannot be told from the form's own separators: refused, and
    // nothing is stored.
    for (const char* form : {"subject=a%00b", "body=x%00", "to=%00&subject=s"}) {
        SCOPED_TRACE(form);
        Reply refused = Post(base, "/Save/Local/bytes", "0", form);
        EXPECT_EQ(400, refused.status);
        EXPECT_THAT(TextOf(Element(refused.page, "p", "error")), HasSubstr("NUL byte")) << refused.page;
    }
    Reply count = Get(base, "/RunAgent/Local/count");
    EXPECT_THAT(count.page, HasSubstr("<td class=\"count\">2</td>")) << count.page;
}

TEST_P(Mail, InjectionAttemptsChangeNothing) {
    StartMail(2);
    const std::vector<std::string> hostile = {"'); DROP TABLE messages; --",
                                              "\" OR 1=1 --",
                                              "x' OR '1'='1",
                                              "NEAR(a b) OR body:x * ^y AND -z",
                                              "<script>alert(1)</script>",
                                              "\"><img src=x onerror=alert(1)>",
                                              "&amp; &lt; %00 %41 \\'",
                                              "javascript:alert(1)",
                                              "]]><!-- -->",
                                              "subject\nX-Injected: yes\n\nbody"};
    std::map<std::string, std::string> idents;
    for (const std::string& h : hostile) idents[h] = SaveMessage("hostile", {{"to", h}, {"subject", h}, {"body", h}});
    auto expectInert = [](const Reply& reply) {
        EXPECT_EQ(0, Count(reply.page, "<script")) << reply.page;
        EXPECT_EQ(0, Count(reply.page, "<img src=x"));
        EXPECT_EQ(0, Count(reply.page, "<!--"));
        EXPECT_EQ("", reply.Header("X-Injected"));
        EXPECT_TRUE(IsUtf8(reply.page));
    };
    for (const std::string& h : hostile) {
        SCOPED_TRACE(h);
        ASSERT_EQ(32u, idents[h].size());
        Reply search = Search("hostile", "SREQUEST=Search&SEARCH=" + Encode(h));
        EXPECT_EQ(200, search.status);
        expectInert(search);
        Reply options = Search("hostile", "SREQUEST=Options&SEARCH=" + Encode(h));
        EXPECT_EQ(200, options.status);
        expectInert(options);
        EXPECT_EQ(h.substr(0, 255), InputValue(options.page, "search-text").substr(0, 255));
        Reply opened = Get(base, "/Compose/Local/hostile", "0&" + idents[h]);
        expectInert(opened);
        EXPECT_EQ(h, InputValue(opened.page, "compose-subject"));
        EXPECT_EQ("\n" + h, TextOf(Element(opened.page, "textarea", "compose-body")));
    }
    // Only literal words are found: query syntax in a search is text.
    EXPECT_EQ(std::vector<std::string>{"NEAR(a b) OR body:x * ^y AND -z"},
              Subjects(Search("hostile", "SEARCH=" + Encode("NEAR body y") + "&MAX=10&SEARCHOPTION=1")));
    EXPECT_TRUE(Subjects(Search("hostile", "SEARCH=" + Encode("OR nothingatall") + "&MAX=10&SEARCHOPTION=1")).empty());
    // Hostile places are refused before they reach the store.
    for (const char* path : {"/Save/Local/inbox'--", "/Save/Local/../etc", "/Save/Local/a%20b", "/Save/Local/x\"y"}) {
        SCOPED_TRACE(path);
        Reply refused = Post(base, path, "0", "subject=x");
        EXPECT_EQ(400, refused.status);
        expectInert(refused);
    }
    // Everything is still there, each text exactly as sent.
    std::vector<MboxMessage> messages = ParseMbox(Get(base, "/RunAgent/Local/export", "hostile").page);
    ASSERT_EQ(hostile.size(), messages.size());
    for (size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(hostile[i], messages[i].Header("Subject"));
        EXPECT_EQ(hostile[i], messages[i].Header("To"));
        EXPECT_EQ(hostile[i], messages[i].body);
    }
    Reply count = Get(base, "/RunAgent/Local/count");
    EXPECT_EQ(1, Count(count.page, "<td class=\"count\">"));
}

TEST_P(Mail, BrokenRequestsAreRefusedWithAPageThatSaysWhy) {
    StartMail(1);
    std::string ident = SaveMessage("inbox", {{"subject", "kept"}});
    struct Row {
        const char* what;
        const char* method;
        std::string path, query, body;
        int status;
        std::string says;
        std::string user = "";
        EnvList more = {};
    } rows[] = {
        {"Save by GET", "GET", "/Save/Local/inbox", "0", "", 405, "Save takes the compose form posted to it"},
        {"unknown field", "POST", "/Save/Local/inbox", "0", "subject=a&cc=b", 400, "\"cc\" that Save does not keep"},
        {"field twice", "POST", "/Save/Local/inbox", "0", "subject=a&Subject=b", 400, "twice"},
        {"empty item", "POST", "/Save/Local/inbox", "0", "subject=a&&body=b", 400, "empty item"},
        {"trailing &", "POST", "/Save/Local/inbox", "0", "subject=a&", 400, "empty item"},
        {"long subject", "POST", "/Save/Local/inbox", "0", "subject=" + std::string(1001, 's'), 400,
         "the subject is 1001 bytes long"},
        {"page too long", "POST", "/Save/Local/inbox", "0", "body=" + std::string(40000, '<'), 413,
         "too long to be shown again"},
        {"bad ident", "POST", "/Save/Local/inbox", "0&0123", "subject=a", 400, "32 hexadecimal digits"},
        {"ident without number", "POST", "/Save/Local/inbox", "&" + ident, "subject=a", 400, "hexadecimal number"},
        {"folder with a slash", "POST", "/Save/Local/a/b", "0", "subject=a", 400, "is not a folder name"},
        {"folder too long", "GET", "/Compose/Local/" + std::string(65, 'f'), "", "", 400, "is not a folder name"},
        {"another server", "GET", "/Search/Elsewhere/inbox", "", "", 404, "local mail only"},
        {"reply to nothing", "GET", "/Compose/Local/inbox", "1&00000000000000000000000000000000", "", 404,
         "no message 00000000000000000000000000000000 of yours to reply to"},
        {"unknown agent", "GET", "/RunAgent/Local/purge", "", "", 404, "no agent named \"purge\""},
        {"export of no folder", "GET", "/RunAgent/Local/export", "../x", "", 400, "export takes a folder name"},
        {"export from a bad place", "GET", "/RunAgent/Local/export", "inbox&-3", "", 400, "number of messages"},
        {"picture of no time", "GET", "/ImageMap/Local/inbox/yesterday", "", "", 400, "the time it was drawn for"},
        {"click of no place", "GET", "/ImageMap/Local/inbox", "here", "", 400, "X,Y"},
        // Another user's message is no message of bob's, whatever he asks.
        {"another user's message", "GET", "/Compose/Local/inbox", "0&" + ident, "", 404,
         "no message " + ident + " of yours", "bob"},
        {"a reply to another user's message", "GET", "/Compose/Local/inbox", "1&" + ident, "", 404,
         "of yours to reply to", "bob"},
        {"an update of another user's message", "POST", "/Save/Local/inbox", "0&" + ident, "subject=bob+was+here", 404,
         "Not saved: There is no message " + ident + " of yours", "bob"},
        {"a user name too long to be kept whole", "GET", "/Search/Local/inbox", "", "", 403, "names of at most 256",
         std::string(257, 'u')},
        // Saves that a page of another site sent.
        {"a save from a page of another site", "POST", "/Save/Local/inbox", "0", "subject=a", 403,
         "from a page of another site (Referer \"http://evil.example/", "", {{"HTTP_REFERER", "http://evil.example/x"}}},
        {"a save from no web page", "POST", "/Save/Local/inbox", "0", "subject=a", 403, "not this site's", "",
         {{"HTTP_REFERER", "file:///tmp/form.html"}}},
        {"a save without the form's token", "POST", "/Save/Local/inbox", "0", "subject=a&token=", 403,
         "the form's token is not that of this user's forms"},
        {"a save with another user's token", "POST", "/Save/Local/inbox", "0", "subject=a&token=" + FormToken(base, "bob"),
         403, "not that of this user's forms"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Reply reply = Ask(base, r.method, r.path, r.query, r.body, r.user, r.more);
        EXPECT_EQ(r.status, reply.status);
        std::string error = TextOf(Element(reply.page, "p", "error"));
        EXPECT_THAT(error, HasSubstr(r.says)) << error;
        EXPECT_TRUE(IsUtf8(reply.page));
    }
    // A 100 KB body of plain text is kept whole.
    std::string large(100 * 1024, 'a');
    for (size_t i = 80; i < large.size(); i += 81) large[i] = '\n';
    std::string largeIdent = SaveMessage("inbox", {{"subject", "large"}, {"body", large}});
    Reply opened = Get(base, "/Compose/Local/inbox", "0&" + largeIdent);
    EXPECT_EQ("\n" + large, TextOf(Element(opened.page, "textarea", "compose-body")));
    // Nothing refused was stored, and the message bob tried to change is as it was.
    EXPECT_EQ("kept", InputValue(Get(base, "/Compose/Local/inbox", "0&" + ident).page, "compose-subject"));
    Reply count = Get(base, "/RunAgent/Local/count");
    EXPECT_THAT(count.page, HasSubstr("<td class=\"count\">2</td>")) << count.page;
    EXPECT_EQ(1, Count(count.page, "<td class=\"count\">"));
}

TEST_P(Mail, AClickOnTheFolderPictureOpensWhatWasDrawnThere) {
    StartMail(2);
    // The picture's layout: a toolbar 40 pixels high of four buttons 120
    // pixels wide (Write, Search, Folders, Export), then rows of 32 pixels,
    // newest message first.
    std::vector<std::string> idents;
    for (const char* subject : {"oldest", "middle", "newest"})
        idents.push_back(SaveMessage("pics", {{"subject", subject}}));
    Reply view = Get(base, "/Search/Local/pics");
    ASSERT_EQ(200, view.status);
    EXPECT_EQ("pics", TextOf(Element(view.page, "h1", "title")));
    size_t src = view.page.find("ismap src=\"");
    ASSERT_NE(std::string::npos, src) << view.page;
    src += 11;
    std::string picture = view.page.substr(src, view.page.find('"', src) - src);
    ASSERT_THAT(picture, StartsWith("/velmox.cgi/ImageMap/Local/pics/")) << picture;
    std::string path = picture.substr(std::string("/velmox.cgi").size());

    Reply image = Get(base, path);
    ASSERT_EQ(200, image.status);
    EXPECT_EQ("image/svg+xml", image.Header("Content-Type"));
    EXPECT_THAT(image.page, StartsWith("<svg "));
    EXPECT_LT(image.page.find(">newest<"), image.page.find(">oldest<"));

    auto click = [&](int x, int y) { return Get(base, path, std::to_string(x) + "," + std::to_string(y)); };
    EXPECT_EQ(idents[2], IdentOn(click(100, 40 + 5).page));
    EXPECT_EQ(idents[1], IdentOn(click(470, 40 + 32 + 31).page));
    EXPECT_EQ(idents[0], IdentOn(click(0, 40 + 64 + 16).page));
    // A message saved since leaves the drawn picture as it was.
    SaveMessage("pics", {{"subject", "later"}});
    EXPECT_EQ(idents[2], IdentOn(click(100, 50).page));
    EXPECT_EQ("later", InputValue(Get(base, "/ImageMap/Local/pics", "100,50").page, "compose-subject"))
        << "the picture without a time is the folder now";

    EXPECT_EQ("New message", TextOf(Element(click(10, 10).page, "h1", "title")));
    EXPECT_EQ("pics", TextOf(Element(click(130, 39).page, "h1", "title")));
    EXPECT_EQ("Folders", TextOf(Element(click(250, 20).page, "h1", "title")));
    Reply exported = click(479, 0);
    EXPECT_EQ("application/mbox", exported.Header("Content-Type"));
    EXPECT_EQ(4u, ParseMbox(exported.page).size()) << "the export of the folder now";
    for (const auto& spot : std::vector<std::pair<int, int>>{{100, 40 + 96}, {-1, 5}, {480, 50}, {5, 1000}}) {
        Reply nothing = click(spot.first, spot.second);
        EXPECT_EQ(200, nothing.status);
        EXPECT_THAT(TextOf(Element(nothing.page, "p", "note")), HasSubstr("Nothing lies at"));
    }
}

TEST_P(Mail, AgentsCountAndExportFolders) {
    StartMail(1);
    SaveMessage("a", {{"subject", "1"}});
    SaveMessage("b", {{"subject", "2"}});
    SaveMessage("b", {{"subject", "3"}});
    Reply count = Get(base, "/RunAgent/Local/count");
    EXPECT_EQ(200, count.status);
    EXPECT_THAT(TextOf(Element(count.page, "p", "summary")), HasSubstr("3 messages in 2 folders"));
    std::vector<std::string> counts = Elements(count.page, "td", "count");
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), counts);
    EXPECT_THAT(count.page, HasSubstr("href=\"/velmox.cgi/RunAgent/Local/export?b\""));

    // Bodies of 50 KB: two fit one answer, the third follows on the next.
    std::vector<std::string> bodies;
    for (char c : {'x', 'y', 'z'}) {
        bodies.push_back(std::string(50000, c) + "\nFrom me\n");
        SaveMessage("big", {{"body", bodies.back()}});
    }
    Reply part1 = Get(base, "/RunAgent/Local/export", "big");
    EXPECT_EQ("2", part1.Header("X-Velmox-Messages"));
    EXPECT_EQ("/velmox.cgi/RunAgent/Local/export?big&2", part1.Header("X-Velmox-Next"));
    EXPECT_EQ("attachment; filename=\"big.mbox\"", part1.Header("Content-Disposition"));
    EXPECT_THAT(part1.page, HasSubstr("\n>From me\n")) << "mboxrd quoting";
    Reply part2 = Get(base, "/RunAgent/Local/export", "big&2");
    EXPECT_EQ("1", part2.Header("X-Velmox-Messages"));
    EXPECT_EQ("", part2.Header("X-Velmox-Next"));
    std::vector<MboxMessage> messages = ParseMbox(part1.page + part2.page);
    ASSERT_EQ(3u, messages.size());
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(bodies[i], messages[i].body);

    // So many folders that their table would outgrow an answer: it stops
    // short and says how many are left out.
    for (int i = 0; i < 260; ++i) {
        char name[80];
        std::snprintf(name, sizeof name, "%064d", i);
        ASSERT_FALSE(SaveMessage(name, {{"subject", "x"}}).empty());
    }
    Reply many = Get(base, "/RunAgent/Local/count");
    EXPECT_EQ(200, many.status);
    size_t rows = Elements(many.page, "td", "count").size();
    EXPECT_LT(rows, 263u);
    EXPECT_EQ("... and " + std::to_string(263 - rows) + " folders more.", TextOf(Element(many.page, "p", "more")));
    EXPECT_THAT(TextOf(Element(many.page, "p", "summary")), HasSubstr("266 messages in 263 folders"));

    Reply agents = Get(base, "/RunAgent/Local");
    EXPECT_EQ(200, agents.status);
    EXPECT_THAT(agents.page, HasSubstr("<ul id=\"agents\">"));
}

INSTANTIATE_TEST_SUITE_P(Store, Mail, ::testing::Values(Store::kSqlite, Store::kPostgres), StoreParamName);

}  // namespace

namespace {

// The same requests of the same mail through each store give the same
// pages, but for the times of the saves and the pids that served them; best
// match first, each database ranks by its own measure (the same weights), so
// there the same hits may come in another order.
class StoresAlike : public MailServerTest {
protected:
    // Each run of the shape (D a digit, anything else itself) replaced by `by`.
    static std::string Masked(const std::string& page, const std::string& shape, const std::string& by) {
        std::string out;
        for (size_t at = 0; at < page.size();) {
            size_t n = 0;
            while (n < shape.size() && at + n < page.size() &&
                   (shape[n] == 'D' ? std::isdigit((unsigned char)page[at + n]) != 0 : page[at + n] == shape[n]))
                ++n;
            if (n == shape.size()) {
                out += by;
                at += n;
                while (shape.back() == 'D' && at < page.size() && std::isdigit((unsigned char)page[at])) ++at;
            } else {
                out += page[at++];
            }
        }
        return out;
    }
    static std::string WithoutTimes(const std::string& page) {
        // The picture of a folder shows the short form, "12-09 12:06".
        std::string dated = Masked(Masked(page, "DDDD-DD-DD DD:DD", "DATE"), "DD-DD DD:DD", "DATE");
        return Masked(Masked(dated, "/DDDDDDDDDDDDD", "/TIME"), "pid D", "pid PID");
    }
    // The hits of a results page in the order of their text.
    static std::string HitsSorted(const std::string& page) {
        size_t start = page.find("<li class=\"hit\">"), end = page.find("</ol>");
        if (start == std::string::npos || end == std::string::npos) return page;
        std::vector<std::string> hits;
        for (size_t at = start; at < end;) {
            size_t next = std::min(page.find("<li class=\"hit\">", at + 1), end);
            hits.push_back(page.substr(at, next - at));
            at = next;
        }
        std::sort(hits.begin(), hits.end());
        std::string sorted = page.substr(0, start);
        for (const std::string& hit : hits) sorted += hit;
        return sorted + page.substr(end);
    }
    // Every page of a round of mail through the server now running.
    std::vector<std::string> Round() {
        std::string filler;
        for (int i = 0; i < 40; ++i) filler += "word" + std::to_string(i) + (i % 9 == 8 ? ". " : " ");
        const Fields messages[] = {
            {{"subject", "Whale song"},
             {"body", "The blue whales were singing all night. Whales sing in the bay: whales everywhere, and "
                      "many more words after that for the window to move along the text of this message."}},
            {{"subject", "Fruit"}, {"body", filler + "an apple a day, " + filler + "apple again"}},
            {{"subject", "apple banana"}, {"body", "apple apple banana apple"}},
            {{"subject", "Searching the archive"}, {"body", filler}},
            {{"to", "ann@example.org"}, {"subject", "Searches"}, {"body", "We searched the archive twice; it went well."}},
            {{"subject", ""}, {"body", "!!! ... --- ???"}},
        };
        std::vector<std::string> pages;
        int n = 0;
        for (const Fields& fields : messages) {
            char ident[33];
            std::snprintf(ident, sizeof ident, "abcdef%026x", ++n);
            Reply saved = Post(base, "/Save/Local/alike", "0&" + std::string(ident), Form(fields));
            EXPECT_EQ(200, saved.status) << saved.page;
            pages.push_back(saved.page);
        }
        for (const char* words : {"whales", "apple", "apple banana", "searching", "archive", "the", "nothing", ""})
            for (const char* options : {"&MAX=10&SEARCHOPTION=1", "&MAX=10&SEARCHOPTION=2&WORDVARIENT=1",
                                        "&MAX=2&SEARCHOPTION=3", "&MAX=13&SEARCHOPTION=1&WORDVARIENT=1"}) {
                bool ranked = std::string(options).find("OPTION=1") != std::string::npos;
                std::string body = "SEARCH=" + Encode(words) + options;
                Reply first = Post(base, "/Search/Local/alike", "", body);
                pages.push_back(ranked ? HitsSorted(first.page) : first.page);
                pages.push_back(Post(base, "/Search/Local/alike", "2", "SEARCHRESULTSPAGE=2&" + body).page);
            }
        pages.push_back(Get(base, "/Search/Local/alike").page);
        pages.push_back(Get(base, "/ImageMap/Local/alike").page);
        pages.push_back(Get(base, "/RunAgent/Local/count").page);
        for (int i = 1; i <= n; ++i) {
            char ident[33];
            std::snprintf(ident, sizeof ident, "abcdef%026x", i);
            pages.push_back(Get(base, "/Compose/Local/alike", "0&" + std::string(ident)).page);
        }
        for (std::string& page : pages) page = WithoutTimes(page);
        return pages;
    }
};

TEST_F(StoresAlike, BothStoresGiveTheSamePagesForTheSameMail) {
    StartMail(1);
    std::vector<std::string> embedded = Round();
    ASSERT_EQ(0, server().Stop()) << server().Log();
    std::string why;
    pgtest::Cluster* cluster = pgtest::Cluster::Shared(&why);
    ASSERT_NE(nullptr, cluster) << why;
    pgDatabase = cluster->NewDatabase();
    server().UseMailStore(cluster->Uri(pgDatabase));
    StartMail(1);
    std::vector<std::string> shared = Round();
    ASSERT_EQ(embedded.size(), shared.size());
    for (size_t i = 0; i < embedded.size(); ++i) EXPECT_EQ(embedded[i], shared[i]) << "page " << i;
}

}  // namespace
