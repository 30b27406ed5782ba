// The search command: kinds, texts and options from the form.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cmd_util.h"
#include "root.h"
#include "savcmd.h"
#include "schcmd.h"

namespace {

using namespace std::string_literals;

struct Expected {
    uint32_t kind;
    std::string text, old;
    uint32_t max, order, wordVariants;
};

TEST(SearchTable, Kinds) {
    const char* names[] = {"Unknown", "Quick Search", "Search", "Options", ""};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(names[i], SearchCmd::c_Searchtable[i].name);
        EXPECT_EQ(i, SearchCmd::c_Searchtable[i].value);
    }
}

TEST(SearchCmd, KindTextsAndOptionsFromTheForm) {
    const std::string cats = "SEARCH=cats";
    struct Row { std::string body; Expected e; } rows[] = {
        {"SREQUEST=Options&SEARCH=cats&OLDSEARCHREQUEST=dogs", {3, "cats", "dogs", 0, 0, 0}},
        {"SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2", {2, "cats", "", 20, 2, 0}},
        {"SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=on", {2, "cats", "", 20, 2, 1}},
        {"SREQUEST=Quick+Search&SEARCH=cats&SEARCHOPTION=2", {2, "cats", "", 0, 1, 1}},
        {"SREQUEST=Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=1", {2, "cats", "", 0, 1, 1}},
        {"SEARCHRESULTSPAGE=2&SEARCH=cats", {2, "cats", "", 0, 1, 1}},
        {"SREQUEST=search&SEARCH=dogs&OLDSEARCHREQUEST=x", {2, "dogs", "x", 0, 1, 1}},
        {"SREQUEST=Search%20Now", {3, "", "", 0, 0, 0}},
        {"SREQUEST=Search%20Now&SEARCH=cats&MAX=3&SEARCHOPTION=3", {2, "cats", "", 3, 3, 0}},
        {"SREQUEST=Unknown&SEARCH=cats", {2, "cats", "", 0, 1, 1}},
        {"x=1", {3, "", "", 0, 0, 0}},
        {"SEARCH=", {2, "", "", 0, 1, 1}},
        {"SEARCH=x&MAX=&SEARCHOPTION=3", {2, "x", "", 0, 3, 0}},
        {"SEARCH=x&MAX=12a&SEARCHOPTION=3", {2, "x", "", 0, 3, 0}},
        {"SEARCH=x&MAX=007&SEARCHOPTION=3", {2, "x", "", 7, 3, 0}},
        {"SEARCH=x&SEARCHOPTION=1&MAX=20\r\n", {2, "x", "", 0, 1, 0}},
        {"SEARCH=x&MAX=1&SEARCHOPTION=32", {2, "x", "", 1, 2, 0}},
        {"SEARCH=x&MAX=1&SEARCHOPTION=2x", {2, "x", "", 1, 1, 0}},
        {"SEARCH=x&MAX=1&SEARCHOPTION=&z=1", {2, "x", "", 1, 0, 0}},
        {"SEARCH=x&MAX=1&SEARCHOPTION=", {2, "x", "", 1, 0, 0}},
        {"SEARCH=x&MAX=1", {2, "x", "", 0, 1, 1}},
        {"a&SEARCH=x", {3, "", "", 0, 0, 0}},
        {"SREQUEST=ABCDEFGHIJKLMNOPQRSTUVWXYZ&SEARCH=x", {2, "x", "", 0, 1, 1}},
        {"SREQUEST=Quick+Search+and+more+words&SEARCH=x&MAX=1&SEARCHOPTION=1", {2, "x", "", 1, 1, 0}},
        {"SEARCH=x&MAX=00000000007&SEARCHOPTION=1", {2, "x", "", 7, 1, 0}},
        {"SEARCH=x&MAX=000000000007&SEARCHOPTION=1", {2, "x", "", 0, 1, 0}},
        {"SEARCH=x&MAX=2147483647&SEARCHOPTION=1", {2, "x", "", 2147483647, 1, 0}},
        {"SEARCH=x&MAX=2147483648&SEARCHOPTION=1", {2, "x", "", 0, 1, 0}},
        {"SREQUEST=Quick+Search&OLDSEARCHREQUEST=old+one&SEARCH=a%26b%0D%0A&MAX=5&SEARCHOPTION=3&WORDVARIENT=",
         {2, "a&b\n", "old one", 5, 3, 1}},
        {"XMAX=9&SEARCH=x&SEARCHOPTION=2", {2, "x", "", 9, 2, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.body);
        Request req(EnvList{{"PATH_INFO", "/Search/Hub/db"}, {"QUERY_STRING", "a"}}, r.body);
        SearchCmd& s = req.As<SearchCmd>();
        EXPECT_EQ(r.e.kind, s.m_searchKind);
        EXPECT_EQ(r.e.text, s.m_searchText);
        EXPECT_EQ(r.e.old, s.m_oldSearchRequest);
        EXPECT_EQ(r.e.max, s.m_max);
        EXPECT_EQ(r.e.order, s.m_orderOfCollection);
        EXPECT_EQ(r.e.wordVariants, s.m_wordVarient);
        EXPECT_STREQ("Hub", s.m_server);
        EXPECT_STREQ("db", s.m_path);
        EXPECT_EQ(0xau, s.m_queryNumber);
    }
}

TEST(SearchCmd, GetRequestIsOptionsWithNothingSet) {
    Request req(EnvList{{"PATH_INFO", "/Search"}, {"REQUEST_METHOD", "GET"}});
    SearchCmd& s = req.As<SearchCmd>();
    EXPECT_EQ(3u, s.m_searchKind);
    EXPECT_STREQ("", s.m_searchText);
    EXPECT_STREQ("", s.m_oldSearchRequest);
    EXPECT_EQ(0u, s.m_max);
    EXPECT_EQ(0u, s.m_orderOfCollection);
    EXPECT_EQ(0u, s.m_wordVarient);
}

TEST(SearchCmd, LongSearchTextIsCut) {
    Request req(EnvList{{"PATH_INFO", "/Search"}}, "SREQUEST=Options&SEARCH=" + std::string(300, 's'));
    EXPECT_EQ(std::string(255, 's'), req.As<SearchCmd>().m_searchText);
}

TEST(SearchCmd, KindFromTheRawBody) {
    struct Row { std::string body; uint32_t kind; } rows[] = {
        {"SREQUEST=Quick+Search", 1}, {"SREQUEST=QUICK+SEARCH&x", 1}, {"SREQUEST=Options", 3},
        {"SREQUEST=Search", 2}, {"SREQUEST=Searc", 0}, {"SREQUEST=", 0},
        {"SREQUEST=Nothing&SEARCHRESULTSPAGE=1", 0}, {"SEARCHRESULTSPAGE=", 2}, {"", 0},
        {"OLDSREQUEST=Options", 3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.body);
        SetRequest({}, r.body);
        CGI cgi;
        cgi.InitFromEnv();
        EXPECT_EQ(r.kind, SearchCmd::GetSearchCmd(cgi));
    }
}

TEST(SearchCmd, ParsersReportAbsentKeys) {
    SetRequest({}, "a=1");
    CGI cgi;
    cgi.InitFromEnv();
    SearchCmd* s = new SearchCmd();
    s->m_max = 9;
    s->m_orderOfCollection = 9;
    EXPECT_EQ(0, s->ParseMax(cgi));
    EXPECT_EQ(0u, s->m_max);
    EXPECT_EQ(0, s->ParseOrderOfCollection(cgi));
    EXPECT_EQ(1u, s->m_orderOfCollection);
    EXPECT_EQ(1, s->ParseWordVarient(cgi));
    EXPECT_EQ(0u, s->m_wordVarient);
    EXPECT_EQ(1u, s->SetWVtoDefault());
    EXPECT_EQ(1u, s->SetOFCtoDefault());
    EXPECT_EQ(0u, s->SetMAXtoDefault());
    EXPECT_EQ(1, s->ParseStdInput(cgi));
    delete s;
}

// The list in a buffer of exactly its size, so that the sanitizer build sees
// any read past its end.
struct List {
    explicit List(const std::string& bytes) : data(bytes.begin(), bytes.end()) {}
    std::vector<char> data;
    std::string Find(const char* name, int size, bool* found) {
        std::vector<char> dst(size_t(size) + 1, 'z');
        char* got = ParseField(dst.data(), size, name, data.data(), int(data.size()));
        *found = got != nullptr;
        if (got) {
            EXPECT_EQ(dst.data(), got);
        }
        EXPECT_EQ('z', dst[size_t(size)]);
        return got ? std::string(dst.data()) : std::string();
    }
};

TEST(ParseField, NamesAndValuesAlternate) {
    struct Row { std::string list; const char* name; bool found; std::string value; } rows[] = {
        {"SEARCH\0cats\0\0"s, "SEARCH", true, "cats"},
        {"a\0" "1\0SEARCH\0cats\0\0"s, "SEARCH", true, "cats"},
        {"a\0SEARCH\0x\0\0"s, "SEARCH", false, ""},
        {"a\0SEARCH\0x\0\0"s, "a", true, "SEARCH"},
        {"search\0cats\0\0"s, "SEARCH", false, ""},
        {"SEARCHX\0cats\0\0"s, "SEARCH", false, ""},
        {"SEARCH\0\0\0"s, "SEARCH", true, ""},
        {"\0SEARCH\0x\0\0"s, "SEARCH", false, ""},
        {"a\0\0"s, "SEARCH", false, ""},
        {"a\0" "1\0b\0\0"s, "SEARCH", false, ""},
        {"a\0" "1\0b\0\0"s, "b", true, ""},
        {"a\0" "1\0b"s, "SEARCH", false, ""},
        {"a\0" "1\0b"s, "b", true, ""},
        {"a"s, "a", true, ""},
        {"SEARCH\0cat"s, "SEARCH", true, "cat"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name + (" in " + std::to_string(r.list.size()) + " bytes"));
        List list(r.list);
        bool found = false;
        std::string value = list.Find(r.name, 256, &found);
        EXPECT_EQ(r.found, found);
        EXPECT_EQ(r.value, value);
    }
}

TEST(ParseField, ValueIsCutAndPadded) {
    List list("S\0abcdefgh\0\0"s);
    bool found = false;
    EXPECT_EQ("abc", list.Find("S", 4, &found));
    std::vector<char> dst(8, 'z');
    ParseField(dst.data(), 8, "S", list.data.data(), int(list.data.size()));
    EXPECT_EQ(std::string("abcdefg\0", 8), std::string(dst.data(), 8));
    List shortValue("S\0ab\0\0"s);
    ParseField(dst.data(), 8, "S", shortValue.data.data(), int(shortValue.data.size()));
    EXPECT_EQ(std::string("ab\0\0\0\0\0\0", 8), std::string(dst.data(), 8));
}

// A list of name-value pairs ended by its empty name, in a buffer of exactly
// its size: the sanitizer build sees any read past the empty name.
std::vector<char> EndedList(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string bytes;
    for (const auto& p : pairs) bytes += p.first + '\0' + p.second + '\0';
    bytes += '\0';
    return std::vector<char>(bytes.begin(), bytes.end());
}

// The documented form with four arguments finds what the bounded form finds.
void ExpectSameAsBounded(const char* list, int listLen, const char* name, int size) {
    std::vector<char> bounded(size_t(size) + 1, 'z'), ended(size_t(size) + 1, 'z');
    char* a = ParseField(bounded.data(), size, name, list, listLen);
    char* b = ParseField(ended.data(), size, name, list);
    EXPECT_EQ(a != nullptr, b != nullptr) << name;
    if (b) {
        EXPECT_EQ(ended.data(), b);
    }
    EXPECT_EQ(bounded, ended) << name;
}

TEST(ParseField, ListEndedByItsEmptyName) {
    struct Row {
        std::vector<std::pair<std::string, std::string>> pairs;
        const char* name;
        bool found;
        std::string value;
    } rows[] = {
        {{{"SEARCH", "cats"}}, "SEARCH", true, "cats"},
        {{{"a", "1"}, {"SEARCH", "cats"}}, "SEARCH", true, "cats"},
        {{{"a", "SEARCH"}, {"x", ""}}, "SEARCH", false, ""},
        {{{"a", "SEARCH"}, {"x", ""}}, "a", true, "SEARCH"},
        {{{"a", "SEARCH"}, {"x", ""}}, "x", true, ""},
        {{{"search", "cats"}}, "SEARCH", false, ""},
        {{{"SEARCHX", "cats"}}, "SEARCH", false, ""},
        {{{"SEARCH", ""}}, "SEARCH", true, ""},
        {{}, "SEARCH", false, ""},
        {{{"S", std::string(300, 'v')}}, "S", true, std::string(255, 'v')},
        {{{"a", "1"}, {"b", "2"}, {"a", "3"}}, "a", true, "1"},
    };
    for (const Row& r : rows) {
        std::vector<char> list = EndedList(r.pairs);
        SCOPED_TRACE(r.name + (" in " + std::to_string(list.size()) + " bytes"));
        std::vector<char> dst(257, 'z');
        char* got = ParseField(dst.data(), 256, r.name, list.data());
        EXPECT_EQ(r.found, got != nullptr);
        if (got) {
            EXPECT_EQ(dst.data(), got);
            EXPECT_EQ(r.value, std::string(dst.data()));
        }
        EXPECT_EQ('z', dst[256]);
        ExpectSameAsBounded(list.data(), int(list.size()), r.name, 256);
        ExpectSameAsBounded(list.data(), int(list.size()), r.name, 3);
    }
    // An empty name ends the list, wherever it stands.
    const char early[] = "\0SEARCH\0x\0\0";
    char dst[8] = "zzzzzzz";
    EXPECT_EQ(nullptr, ParseField(dst, 8, "SEARCH", early));
    EXPECT_STREQ("zzzzzzz", dst);
}

TEST(ParseField, FourArgumentsFindNothingWithoutAListOrRoom) {
    char dst[4] = "zzz";
    const char list[] = "S\0x\0\0";
    EXPECT_EQ(nullptr, ParseField(dst, 4, "S", nullptr));
    EXPECT_EQ(nullptr, ParseField(dst, 4, "S", ""));
    EXPECT_EQ(nullptr, ParseField(dst, 0, "S", list));
    EXPECT_EQ(nullptr, ParseField(dst, 4, nullptr, list));
    EXPECT_EQ(nullptr, ParseField(nullptr, 4, "S", list));
    EXPECT_STREQ("zzz", dst);
    EXPECT_EQ(dst, ParseField(dst, 4, "S", list));
    EXPECT_STREQ("x", dst);
}

// The lists the library holds end inside their buffers for the four-argument
// form whatever the body was: the request record's decoded body, and a Save
// command's body as the gateway built it and as a server received it.
TEST(ParseField, FourArgumentsStayInsideTheLibrarysLists) {
    const char* bodies[] = {"a", "a=1&b", "SEARCH", "SEARCH=x", "a&SEARCH=x", "=x", "a=&SEARCH=y",
                            "%00%00", "SEARCH=%00", "&&&", "a=1&b=2&SEARCH=cats", "x=%00&SEARCH"};
    const char* names[] = {"SEARCH", "a", "b", "x", ""};
    for (const char* body : bodies) {
        SCOPED_TRACE(body);
        Request req(EnvList{{"PATH_INFO", "/Save/Local/p"}, {"REQUEST_METHOD", "POST"}}, body);
        ASSERT_NE(nullptr, req.cgi.m_contents);
        SaveCmd& sent = req.As<SaveCmd>();
        std::string message = Serialise(sent);
        SimpleStream in(&message[0], unsigned(message.size()));
        in.SetEof(message.size());
        std::unique_ptr<Cmd> received(Cmd::CreateCmd(in));
        SaveCmd& got = dynamic_cast<SaveCmd&>(*received);
        for (const char* name : names) {
            ExpectSameAsBounded(req.cgi.m_contents, req.cgi.m_contentsLen, name, 256);
            ExpectSameAsBounded(sent.m_body, int(sent.m_bodyLen), name, 256);
            ExpectSameAsBounded(got.m_body, int(got.m_bodyLen), name, 256);
        }
    }
}

// A received body is whatever the other end sent: no terminator at all, or
// an odd number of strings.
TEST(ParseField, FourArgumentsStayInsideAReceivedBodyOfAnyBytes) {
    const std::string bodies[] = {"abc"s, "a\0"s, "a\0b"s, "SEARCH\0x"s, "\0"s, "SEARCH\0x\0\0"s,
                                  "x"s, "a\0\0b\0c"s};
    for (const std::string& body : bodies) {
        SCOPED_TRACE(std::to_string(body.size()) + " bytes");
        SaveCmd* sent = new SaveCmd();
        sent->m_bodyLen = uint32_t(body.size());
        sent->m_body = RootNewChars(body.size());
        std::memcpy(sent->m_body, body.data(), body.size());
        std::string message = Serialise(*sent);
        delete sent;
        SimpleStream in(&message[0], unsigned(message.size()));
        in.SetEof(message.size());
        std::unique_ptr<Cmd> received(Cmd::CreateCmd(in));
        SaveCmd& got = dynamic_cast<SaveCmd&>(*received);
        ASSERT_EQ(body, std::string(got.m_body, got.m_bodyLen));
        for (const char* name : {"SEARCH", "a", "b", "abc", "x", ""})
            ExpectSameAsBounded(got.m_body, int(got.m_bodyLen), name, 256);
    }
}

TEST(ParseField, NothingToLookIn) {
    char dst[4] = "zzz";
    EXPECT_EQ(nullptr, ParseField(dst, 4, "S", nullptr, 0));
    EXPECT_EQ(nullptr, ParseField(dst, 4, "S", "", 1));
    EXPECT_EQ(nullptr, ParseField(dst, 0, "S", "S\0x\0", 4));
    EXPECT_STREQ("zzz", dst);
}

}  // namespace
