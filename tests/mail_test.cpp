// velmox-server as a web mail, run as a program under a base name of the
// test's own with a database of its own: what is saved is found, opened,
// listed in order and exported as it was sent; concurrent saves lose and
// duplicate nothing; hostile and broken input changes nothing and gets a
// page that says why.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mail_client.h"
#include "server_process.h"

using namespace mailtest;
using namespace srvtest;

namespace {

class Mail : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        database = base + ".db";
        server().UseMailStore(database);
    }
    void TearDown() override {
        if (server().running()) {
            EXPECT_EQ(0, server().Stop()) << server().Log();
            ExpectNothingLeft();
        }
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((database + suffix).c_str());
        ServerTest::TearDown();
    }

    void StartMail(int pipes = 2, const std::vector<std::string>& extra = {}) {
        ASSERT_TRUE(server().Start(pipes, extra)) << server().Stderr() << server().Log();
    }

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

    std::string database;
};

TEST_F(Mail, SavedMessageIsFoundOpenedAndUpdated) {
    StartMail();
    Reply saved = Post(base, "/Save/Local/inbox", "0",
                       Form({{"to", "ann@example.org"}, {"subject", "Whale song"},
                             {"body", "The blue whales were singing\nall night."}}));
    ASSERT_EQ(200, saved.status) << saved.page;
    EXPECT_EQ("text/html; charset=utf-8", saved.Header("Content-Type"));
    std::string ident = IdentOn(saved.page);
    ASSERT_EQ(32u, ident.size()) << saved.page;
    EXPECT_NE(std::string::npos, Element(saved.page, "p", "summary").find("New message"));
    EXPECT_NE(std::string::npos, saved.page.find("/velmox.cgi/Compose/Local/inbox?0&amp;" + ident));

    Reply found = Search("inbox", "SREQUEST=Search&SEARCH=whales");
    ASSERT_EQ(200, found.status);
    EXPECT_EQ(std::vector<std::string>{"Whale song"}, Subjects(found));
    EXPECT_NE(std::string::npos, found.page.find("<mark>whales</mark>")) << found.page;
    EXPECT_NE(std::string::npos, found.page.find("Compose/Local/inbox?0&amp;" + ident));
    EXPECT_EQ("guest@192.0.2.7", TextOf(Elements(found.page, "span", "from").at(0)));
    EXPECT_TRUE(Subjects(Search("drafts", "SREQUEST=Search&SEARCH=whales")).empty()) << "another folder";

    Reply opened = Get(base, "/Compose/Local/inbox", "0&" + ident);
    ASSERT_EQ(200, opened.status);
    EXPECT_EQ("ann@example.org", InputValue(opened.page, "compose-to"));
    EXPECT_EQ("Whale song", InputValue(opened.page, "compose-subject"));
    EXPECT_EQ("\nThe blue whales were singing\nall night.", TextOf(Element(opened.page, "textarea", "compose-body")));
    EXPECT_NE(std::string::npos, opened.page.find("action=\"/velmox.cgi/Save/Local/inbox?0&amp;" + ident + "\""));

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
    EXPECT_NE(std::string::npos, TextOf(Element(reply.page, "textarea", "compose-body")).find("> all night."));
    EXPECT_NE(ident, IdentOn(reply.page));

    // A known-to-nobody ident: an empty form that saves under it.
    std::string fresh = "00112233445566778899aabbccddeeff";
    Reply empty = Get(base, "/Compose/Local/notes", "0&" + fresh);
    EXPECT_EQ(200, empty.status);
    EXPECT_EQ("", InputValue(empty.page, "compose-subject"));
    EXPECT_NE(std::string::npos, empty.page.find("Save/Local/notes?0&amp;" + fresh));
    EXPECT_EQ(fresh, SaveMessage("notes", {{"subject", "kept under its ident"}}, fresh));
}

TEST_F(Mail, WordVariantsAreFoundOnlyWhenAskedFor) {
    StartMail(1);
    SaveMessage("inbox", {{"subject", "Archive"}, {"body", "We searched the archive twice."}});
    const std::string options = "SEARCH=searching&MAX=10&SEARCHOPTION=1";
    Reply plain = Search("inbox", options);
    EXPECT_TRUE(Subjects(plain).empty()) << Element(plain.page, "p", "summary");
    EXPECT_NE(std::string::npos, Element(plain.page, "p", "summary").find("No message in inbox matches"));
    Reply variants = Search("inbox", options + "&WORDVARIENT=1");
    EXPECT_EQ(std::vector<std::string>{"Archive"}, Subjects(variants));
    EXPECT_NE(std::string::npos, variants.page.find("<mark>searched</mark>")) << variants.page;
    EXPECT_EQ(std::vector<std::string>{"Archive"}, Subjects(Search("inbox", "SEARCH=searched&MAX=10&SEARCHOPTION=1")))
        << "the word as written is found without variants";
    EXPECT_EQ(std::vector<std::string>{"Archive"}, Subjects(Search("inbox", "SREQUEST=Search&SEARCH=searching")))
        << "a plain Search takes the defaults, word variants on";
}

TEST_F(Mail, MaxOrderAndPagesAreHonoured) {
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
    EXPECT_NE(std::string::npos, Element(capped.page, "p", "summary").find("5 messages in fruit match"));
    EXPECT_NE(std::string::npos, Element(capped.page, "p", "summary").find("listed 1 to 3 of 3, newest first"));
    // An empty search lists the folder.
    EXPECT_EQ(5u, Subjects(Search("fruit", "SREQUEST=Search&SEARCH=")).size());

    // Twelve more: page 1 holds ten, page 2 (the number in the query
    // string, as the next-page form sends it) the rest of MAX.
    for (int i = 0; i < 12; ++i) SaveMessage("fruit", {{"subject", "more " + std::to_string(i)}, {"body", "apple"}});
    const std::string body = "SREQUEST=Quick+Search&SEARCH=apple&MAX=15&SEARCHOPTION=3";
    Reply first = Search("fruit", body);
    EXPECT_EQ(10u, Subjects(first).size());
    EXPECT_NE(std::string::npos, first.page.find("action=\"/velmox.cgi/Search/Local/fruit?2\"")) << "a next page";
    EXPECT_NE(std::string::npos, first.page.find("name=\"SEARCHRESULTSPAGE\" value=\"2\""));
    Reply second = Search("fruit", body + "&SEARCHRESULTSPAGE=2", "2");
    EXPECT_EQ((std::vector<std::string>{"more 5", "more 6", "more 7", "more 8", "more 9"}), Subjects(second));
    EXPECT_NE(std::string::npos, second.page.find("<ol class=\"hits\" id=\"results\" start=\"11\">"));
    EXPECT_EQ(std::string::npos, second.page.find("id=\"next-page\"")) << "MAX 15 ends on page 2";
    EXPECT_NE(std::string::npos, second.page.find("id=\"previous-page\""));
}

}  // namespace
