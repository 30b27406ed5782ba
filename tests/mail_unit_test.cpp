// The pieces of the sample server's web mail without a pipe: reading a
// posted form strictly, text made safe for pages, the folder picture's
// layout, the mbox form of a message, the words the PostgreSQL store indexes
// and the snippets it draws, and both stores' refusal of databases that are
// not their own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "agents.h"
#include "folder_map.h"
#include "mail_form.h"
#include "mail_pages.h"
#include "html_text.h"
#include "mail_text.h"
#include "pg_cluster.h"
#include "pg_store.h"
#include "search_text.h"
#include "sqlite_store.h"
#include "store_choice.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// A form as the gateway decodes "a=1&b=2": a NUL after every name and value,
// then the empty name.
std::string List(const std::vector<std::string>& items) {
    std::string list;
    for (const std::string& item : items) list += item + std::string(1, '\0');
    return list + std::string(1, '\0');
}

TEST(SaveFormReading, TakesTheThreeFieldsAndRefusesWhatItCannotKeepExactly) {
    struct Row {
        const char* what;
        std::string list;
        const char* refusal;  // "" when the form is read
        std::string to, subject, body;
    } rows[] = {
        {"no body at all", "", "", "", "", ""},
        {"all three", List({"to", "ann", "subject", "hi", "body", "text"}), "", "ann", "hi", "text"},
        {"names in any case", List({"TO", "a", "Subject", "s"}), "", "a", "s", ""},
        {"empty values", List({"body", ""}), "", "", "", ""},
        {"a last name without '='", std::string("body\0\0", 6), "", "", "", ""},
        {"another field", List({"to", "a", "cc", "b"}), "\"cc\" that Save does not keep", "", "", ""},
        {"a field twice", List({"body", "a", "body", "b"}), "\"body\" twice", "", "", ""},
        {"a NUL inside a value", List({"subject", "a", "b", ""}), "\"b\" that Save does not keep", "", "", ""},
        {"a NUL ending a value", List({"subject", "a"}) + std::string(1, '\0'), "NUL byte", "", "", ""},
        {"an empty item", List({"subject", "a", "", "x", "body", "b"}), "empty item", "", "", ""},
        {"cut inside a name", std::string("subj", 4), "empty item", "", "", ""},
        {"a subject too long", List({"subject", std::string(1001, 's')}), "the subject is 1001 bytes", "", "", ""},
        {"a recipient too long", List({"to", std::string(1001, 't')}), "the recipient is 1001 bytes", "", "", ""},
        {"the longest subject", List({"subject", std::string(1000, 's')}), "", "", std::string(1000, 's'), ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        SaveForm form;
        std::string refusal = ReadSaveForm(r.list.data(), r.list.size(), form);
        if (*r.refusal) {
            EXPECT_THAT(refusal, HasSubstr(r.refusal)) << refusal;
            continue;
        }
        EXPECT_EQ("", refusal);
        EXPECT_EQ(r.to, form.to);
        EXPECT_EQ(r.subject, form.subject);
        EXPECT_EQ(r.body, form.body);
    }
    SaveForm form;
    std::string list = List({"subject", "s"});
    ASSERT_EQ("", ReadSaveForm(list.data(), list.size(), form));
    EXPECT_TRUE(form.hasSubject);
    EXPECT_FALSE(form.hasTo || form.hasBody) << "a field not sent is told from an empty one";
}

TEST(SaveFormReading, QueryStringsOfSaveAndCompose) {
    struct Row {
        const char* query;
        bool accepted;
    } rows[] = {
        {"", true},
        {"0", true},
        {"1f", true},
        {"0&0123456789abcdef0123456789ABCDEF", true},
        {"x", false},
        {"0x1f", false},
        {"0&", false},
        {"0&0123", false},
        {"&0123456789abcdef0123456789abcdef", false},
        {"0&0123456789abcdef0123456789abcdef0", false},
        {"0&0123456789abcdef0123456789abcdeg", false},
    };
    for (const Row& r : rows) EXPECT_EQ(r.accepted, QueryProblem(r.query).empty()) << r.query;
}

TEST(PageText, MarkupIsEscapedAndWhatIsNoTextBecomesTheReplacementCharacter) {
    const std::string R = "\xEF\xBF\xBD";
    struct Row {
        std::string in, out;
    } rows[] = {
        {"plain", "plain"},
        {"<a href=\"x\">'&'</a>", "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;"},
        {"tab\tline\nreturn\r", "tab\tline\nreturn\r"},
        {std::string("\x01\x1f\x7f", 3), R + R + R},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\x8B", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\x8B"},
        {"\xC0\x80", R + R},                  // overlong
        {"\xED\xA0\x80", R + R + R},          // a surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {"\xE2\x82", R + R},                  // cut short
        {"\x80\xBF", R + R},                  // continuation bytes alone
    };
    for (const Row& r : rows) EXPECT_EQ(r.out, Html(r.in)) << r.in;
    // A cut falls between characters.
    EXPECT_EQ("ab\xE2\x80\xA6", HtmlShort("ab\xE2\x82\xAC", 4));
    EXPECT_EQ("ab\xE2\x82\xAC", HtmlShort("ab\xE2\x82\xAC", 5));
    EXPECT_TRUE(IsValidUtf8("caf\xC3\xA9"));
    EXPECT_FALSE(IsValidUtf8("caf\xC3"));
}

TEST(PageText, FolderNamesIdentsAndSearchWords) {
    for (const char* good :
         {"inbox", "a", "Sent.2026_12-08", "x123456789012345678901234567890123456789012345678901234567890123"})
        EXPECT_TRUE(IsFolderName(good)) << good;
    for (const char* bad : {"", "a/b", "a b", "in'box", "caf\xC3\xA9",
                            "x1234567890123456789012345678901234567890123456789012345678901234"})
        EXPECT_FALSE(IsFolderName(bad)) << bad;
    std::string a = NewIdent(), b = NewIdent();
    EXPECT_TRUE(IsIdentText(a));
    EXPECT_NE(a, b);
    uint32_t words[4] = {0x01234567, 0x89abcdef, 0, 0xffffffff};
    EXPECT_EQ("0123456789abcdef00000000ffffffff", IdentText(words));
    EXPECT_EQ((std::vector<std::string>{"NEAR", "a", "b", "OR", "body", "x", "caf\xC3\xA9"}),
              SearchWords("NEAR(a b) OR body:x * \"caf\xC3\xA9\""));
    EXPECT_EQ(16u, SearchWords(std::string(100, 'w') + " a b c d e f g h i j k l m n o p q r").size());
    EXPECT_TRUE(SearchWords("&&& '' --").empty());
}

TEST(FolderPicture, EveryPointMapsToTheButtonOrRowDrawnThere) {
    struct Row {
        int x, y, messages;
        MapRegion region;
        int row;
    } rows[] = {
        {0, 0, 0, MapRegion::kWrite, -1},
        {119, 39, 0, MapRegion::kWrite, -1},
        {120, 0, 0, MapRegion::kSearch, -1},
        {240, 20, 0, MapRegion::kFolders, -1},
        {479, 39, 0, MapRegion::kExport, -1},
        {0, 40, 1, MapRegion::kMessage, 0},
        {479, 71, 1, MapRegion::kMessage, 0},
        {0, 72, 1, MapRegion::kNothing, -1},
        {0, 72, 2, MapRegion::kMessage, 1},
        {5, kMapHeight - 1, 8, MapRegion::kMessage, 7},
        {5, kMapHeight - 1, 20, MapRegion::kMessage, 7},
        {5, kMapHeight, 8, MapRegion::kNothing, -1},
        {-1, 5, 8, MapRegion::kNothing, -1},
        {480, 5, 8, MapRegion::kNothing, -1},
        {5, -1, 8, MapRegion::kNothing, -1},
    };
    for (const Row& r : rows) {
        MapSpot spot = SpotAt(r.x, r.y, r.messages);
        EXPECT_EQ(int(r.region), int(spot.region)) << r.x << "," << r.y;
        EXPECT_EQ(r.row, spot.row) << r.x << "," << r.y;
    }
    Message m;
    m.subject = "<b>&</b>";
    m.sender = "\"x\"";
    std::string svg = FolderImage("inbox", {m});
    EXPECT_THAT(svg, HasSubstr("&lt;b&gt;&amp;&lt;/b&gt;"));
    EXPECT_THAT(svg, Not(HasSubstr("<b>")));
    EXPECT_THAT(FolderImage("inbox", {}), HasSubstr("No messages in inbox yet"));
}

TEST(Mbox, FromLinesAreQuotedAndHeadersEncodedSoThatNothingIsLost) {
    Message m;
    m.ident = "0123456789abcdef0123456789abcdef";
    m.folder = "inbox";
    m.sender = "ann smith";
    m.recipient = "bob@example.org";
    m.subject = "caf\xC3\xA9";
    m.body = "From here\n>From there\nnot From\n";
    std::string entry = MboxEntry(m);
    EXPECT_THAT(entry, StartsWith("From ann_smith "));
    EXPECT_THAT(entry, HasSubstr("\nFrom: ann smith\n"));
    EXPECT_THAT(entry, HasSubstr("\nTo: bob@example.org\n"));
    EXPECT_THAT(entry, HasSubstr("\nSubject: =?utf-8?b?Y2Fmw6k=?=\n"));
    EXPECT_THAT(entry, HasSubstr("\nX-Velmox-Body-Length: 31\n"));
    EXPECT_THAT(entry, HasSubstr("\n\n>From here\n>>From there\nnot From\n\n"));
    EXPECT_EQ(entry.size() - 2, entry.rfind("\n\n"));

    // Long texts: encoded words of at most 75 characters, a UTF-8 text cut
    // between characters; bytes of no charset as unknown-8bit.
    m.subject = std::string(60, 'x') + "\xE2\x82\xAC" + std::string(60, 'y');
    m.body = std::string("\xFF");
    entry = MboxEntry(m);
    std::string subject = entry.substr(entry.find("\nSubject: ") + 10);
    subject = subject.substr(0, subject.find("\nDate: "));
    for (size_t at = 0, end; at < subject.size(); at = end + 2) {
        end = subject.find("\n ", at);
        if (end == std::string::npos) end = subject.size();
        EXPECT_LE(end - at, 75u) << subject;
    }
    EXPECT_THAT(entry, HasSubstr("charset=unknown-8bit"));
    EXPECT_THAT(entry, HasSubstr("\n\n\xFF\n\n")) << "a line feed added, the length kept";
    m.sender = "";
    m.subject = std::string("\xFF\xFE", 2);
    EXPECT_THAT(MboxEntry(m), StartsWith("From MAILER-DAEMON "));
    EXPECT_THAT(MboxEntry(m), HasSubstr("Subject: =?unknown-8bit?b?//4=?="));
}

TEST(Reply, QuotesTheOriginalAndStaysSavable) {
    Message original;
    original.ident = "0123456789abcdef0123456789abcdef";
    original.sender = "ann";
    original.subject = "Lunch";
    original.body = "Noon?\nAt the pier.";
    Message draft = ReplyDraft(original);
    EXPECT_TRUE(IsIdentText(draft.ident));
    EXPECT_NE(original.ident, draft.ident);
    EXPECT_EQ("ann", draft.recipient);
    EXPECT_EQ("Re: Lunch", draft.subject);
    EXPECT_THAT(draft.body, HasSubstr(" ann wrote:\n> Noon?\n> At the pier.\n"));
    original.subject = "re: Lunch";
    EXPECT_EQ("re: Lunch", ReplyDraft(original).subject) << "no second Re:";
    // A subject at its limit stays within it, cut between characters.
    original.subject = std::string(997, 's') + "\xE2\x82\xAC";
    draft = ReplyDraft(original);
    EXPECT_LE(draft.subject.size(), kMaxSubjectField);
    EXPECT_TRUE(IsValidUtf8(draft.subject));
    EXPECT_THAT(draft.subject, StartsWith("Re: sss"));
}

class SqliteStoreFiles : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
    }
    std::string path = "/tmp/vxt-store." + std::to_string(getpid()) + ".db";
};

TEST_F(SqliteStoreFiles, ADatabaseOfAnotherProgramOrSchemaIsRefusedUntouched) {
    for (const char* sql :
         {"CREATE TABLE accounts (id INTEGER); INSERT INTO accounts VALUES (7);", "PRAGMA user_version = 9;"}) {
        SCOPED_TRACE(sql);
        sqlite3* db = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
        sqlite3_close(db);
        SqliteStore store(SqliteSettings{path, 100, 0});
        try {
            store.Open(false);
            ADD_FAILURE() << "opened";
        } catch (const StoreError& e) {
            EXPECT_EQ(StoreError::kDamaged, e.kind());
            EXPECT_THAT(std::string(e.what()), HasSubstr(path)) << e.what();
        }
        Message m;
        EXPECT_THROW(store.Find("", "0123456789abcdef0123456789abcdef", m), StoreError);
        ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_schema WHERE name = 'messages'", -1,
                                                &stmt, nullptr));
        ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
        EXPECT_EQ(0, sqlite3_column_int(stmt, 0)) << "nothing was added";
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        TearDown();
    }
}

TEST_F(SqliteStoreFiles, OnlyTheStartMakesADatabase) {
    SqliteStore store(SqliteSettings{path, 100, 0});
    Message m;
    try {
        store.Find("", "0123456789abcdef0123456789abcdef", m);
        ADD_FAILURE() << "found in no database";
    } catch (const StoreError& e) {
        EXPECT_EQ(StoreError::kMissing, e.kind());
    }
    EXPECT_NE(0, access(path.c_str(), F_OK));
    CreateSqliteStore(SqliteSettings{path, 100, 0});
    CreateSqliteStore(SqliteSettings{path, 100, 0});  // a second start finds it made
    EXPECT_EQ(Lookup::kNone, store.Find("", "0123456789abcdef0123456789abcdef", m));
    MessageChange change;
    change.ident = "0123456789abcdef0123456789abcdef";
    change.folder = "inbox";
    change.hasBody = true;
    change.body = std::string("a\0b", 3);
    SaveOutcome outcome = SaveOutcome::kOthers;
    store.Save(change, &outcome);
    EXPECT_EQ(SaveOutcome::kCreated, outcome);
    ASSERT_EQ(Lookup::kFound, store.Find("", change.ident, m));
    EXPECT_EQ(change.body, m.body) << "bytes are kept, a NUL too";
    EXPECT_EQ("", m.subject);
}

// Each word the database's parser would read as one stays one word, so that
// positions found by the index are positions in IndexWords.
TEST(IndexWords, WordsAsTheDatabaseReadsThem) {
    struct Row {
        std::string text;
        std::vector<std::string> words;
    } rows[] = {
        {"Hello, world!", {"Hello", "world"}},
        {"ann@example.org x_y a-b", {"ann", "example", "org", "x", "y", "a", "b"}},
        {"abc123 123abc 1e10 1e5x 12e34e 0x1f", {"abc123", "123abc", "1e10", "1e5", "x", "12e34", "e", "0x1f"}},
        {"caf\xC3\xA9 \xC3\xBC\x62\x65r \xE2\x82\xAC" "5 \xE6\x97\xA5\xE6\x9C\xAC", {"caf\xC3\xA9", "\xC3\xBC" "ber", "5", "\xE6\x97\xA5\xE6\x9C\xAC"}},
        {std::string("a\0b\xFF" "c\xC3", 6), {"a", "b", "c"}},
        {"x " + std::string(2047, 'l') + " " + std::string(2046, 'k') + " y", {"x", std::string(2046, 'k'), "y"}},
    };
    for (const Row& r : rows) {
        std::vector<std::string> words;
        for (const TextWord& w : IndexWords(r.text)) words.push_back(r.text.substr(w.start, w.end - w.start));
        EXPECT_EQ(r.words, words) << r.text.substr(0, 40);
    }
    EXPECT_EQ("a b c", IndexText(std::string("a\0b\xFF" "c\xC3", 6)));
}

// The snippet window and its marks, as the embedded store's index draws them
// (the same pages for both stores: mail_test.cpp compares them).
TEST(Snippet, TheWindowOfTheMostSearchWordsWithEachOneMarked) {
    std::string words;
    for (int i = 0; i < 40; ++i) words += "w" + std::to_string(i) + (i == 19 ? ". " : " ");
    struct Row {
        const char* what;
        std::string body;
        std::vector<FoundWord> found;
        std::string snippet;
    } rows[] = {
        {"short: all of it", "a cat, a dog.", {{1, 1}}, "a \x02" "cat\x03, a dog."},
        {"nothing found: the head", words, {}, "w0 w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12 w13 w14 w15\xE2\x80\xA6"},
        {"centred on what it holds", words, {{30, 1}},
         "\xE2\x80\xA6w20 w21 w22 w23 w24 w25 w26 w27 w28 w29 \x02w30\x03 w31 w32 w33 w34 w35\xE2\x80\xA6"},
        {"two words beat one, from the start of their sentence", words, {{5, 1}, {33, 1}, {35, 2}},
         "\xE2\x80\xA6w20 w21 w22 w23 w24 w25 w26 w27 w28 w29 w30 w31 w32 \x02w33\x03 w34 \x02w35\x03\xE2\x80\xA6"},
        {"the end: nothing after it", words, {{39, 1}},
         "\xE2\x80\xA6w24 w25 w26 w27 w28 w29 w30 w31 w32 w33 w34 w35 w36 w37 w38 \x02w39\x03 "},
        {"past the words: ignored", "a b", {{7, 1}}, "a b"},
    };
    for (const Row& r : rows) EXPECT_EQ(r.snippet, Snippet(r.body, r.found)) << r.what;
}

TEST(PgStoreSchema, ADatabaseOfAnotherProgramOrSchemaIsRefusedUntouchedAndAnEmptyOneGetsTheSchema) {
    std::string why;
    pgtest::Cluster* cluster = pgtest::Cluster::Shared(&why);
    ASSERT_NE(nullptr, cluster) << why;
    for (const char* sql : {"CREATE TABLE messages (id integer); INSERT INTO messages VALUES (7)",
                            "CREATE TABLE velmox_schema (version integer); INSERT INTO velmox_schema VALUES (9)"}) {
        SCOPED_TRACE(sql);
        std::string database = cluster->NewDatabase();
        pgtest::Session other(cluster->Uri(database));
        ASSERT_TRUE(other.Exec(sql)) << other.error();
        PgStore store(PgSettings{cluster->Uri(database), 100});
        try {
            store.Open();
            ADD_FAILURE() << "opened";
        } catch (const StoreError& e) {
            EXPECT_EQ(StoreError::kDamaged, e.kind());
            EXPECT_THAT(std::string(e.what()), HasSubstr(database)) << e.what();
        }
        Message m;
        EXPECT_THROW(store.Find("", "0123456789abcdef0123456789abcdef", m), StoreError);
        EXPECT_EQ(std::vector<std::string>{"1"},
                  other.Column("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'")) << "nothing was added";
        EXPECT_TRUE(cluster->DropDatabase(database));
    }
    std::string database = cluster->NewDatabase();
    PgStore store(PgSettings{cluster->Uri(database), 100});
    CreatePgStore(PgSettings{cluster->Uri(database), 100});
    CreatePgStore(PgSettings{cluster->Uri(database), 100});  // a second start finds it made
    MessageChange change;
    change.ident = "0123456789abcdef0123456789abcdef";
    change.folder = "inbox";
    change.hasBody = true;
    change.body = std::string("a\0b\xFF", 4);
    SaveOutcome outcome = SaveOutcome::kOthers;
    store.Save(change, &outcome);
    EXPECT_EQ(SaveOutcome::kCreated, outcome);
    Message m;
    ASSERT_EQ(Lookup::kFound, store.Find("", change.ident, m));
    EXPECT_EQ(change.body, m.body) << "bytes are kept, a NUL too";
    EXPECT_EQ(std::vector<std::string>{std::to_string(kPgSchemaVersion)},
              pgtest::Session(cluster->Uri(database)).Column("SELECT version FROM velmox_schema"));
    EXPECT_TRUE(cluster->DropDatabase(database));
}

TEST(StoreChoice, AUriNamesPostgresAndLogsShowItWithoutItsPassword) {
    EXPECT_TRUE(IsPostgresUri("postgresql://db/mail"));
    EXPECT_TRUE(IsPostgresUri("postgres://u@db/mail"));
    EXPECT_FALSE(IsPostgresUri("/var/lib/velmox/mail.db"));
    EXPECT_FALSE(IsPostgresUri("postgresql.db"));
    EXPECT_EQ("postgresql://ann:***@db:5432/mail?sslmode=require",
              RedactedUri("postgresql://ann:s3cr:t@db:5432/mail?sslmode=require"));
    EXPECT_EQ("postgresql://db/mail?user=ann&password=***&sslmode=require",
              RedactedUri("postgresql://db/mail?user=ann&password=x&sslmode=require"));
    EXPECT_EQ("postgresql://ann@db/mail", RedactedUri("postgresql://ann@db/mail"));
}

}  // namespace
