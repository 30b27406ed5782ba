// The serialised command: every class written with its leading tag and
// rebuilt by the server's factory, the exact bytes of each class, and damaged
// messages, which must raise and never read outside the data.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "cmd_table.h"
#include "cmd_util.h"
#include "except.h"

namespace {

using namespace std::string_literals;

// The client variables shared by every request below.
EnvList Client(const char* pathInfo, const char* query) {
    EnvList vars = {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", pathInfo}, {"REMOTE_ADDR", "10.0.0.7"},
                    {"REMOTE_USER", "ann"}, {"HTTP_USER_AGENT", "Br/1"}};
    if (query) vars.push_back({"QUERY_STRING", query});
    return vars;
}

struct Case {
    const char* name;
    const char* pathInfo;
    const char* query;
    std::string body;
};

const Case kCases[] = {
    {"Save", "/Save/Mail+Hub/db/doc", "1f&0123456789abcdef0011223344556677", "a=1&b=2"},
    {"Compose", "/Compose/Hub/memo", "2a", ""},
    {"Search", "/Search/Hub/db",
     "b", "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=on&OLDSEARCHREQUEST=dogs"},
    {"ImageMap", "/ImageMap/Hub/map", "-5,7", ""},
    {"RunAgent", "/RunAgent/Hub/agents", "go&now", ""},
};

// A message rebuilt from bytes in a stream that holds nothing else.
std::unique_ptr<Cmd> Rebuild(const std::string& bytes) {
    std::vector<char> buffer(bytes.begin(), bytes.end());
    SimpleStream s(buffer.data(), unsigned(buffer.size()));
    s.SetEof(uint32_t(buffer.size()));
    std::unique_ptr<Cmd> cmd(Cmd::CreateCmd(s));
    EXPECT_EQ(s.m_eof, s.m_pos) << "message not read to its end";
    return cmd;
}

void ExpectSameHeader(Cmd& a, Cmd& b) {
    EXPECT_EQ(typeid(a), typeid(b));
    EXPECT_EQ(a.m_cmdID, b.m_cmdID);
    EXPECT_EQ(a.m_param, b.m_param);
    EXPECT_STREQ(a.m_remoteAddr, b.m_remoteAddr);
    EXPECT_STREQ(a.m_remoteUser, b.m_remoteUser);
    EXPECT_STREQ(a.m_userAgent, b.m_userAgent);
    ASSERT_NE(nullptr, b.m_cgi);
    EXPECT_NE(a.m_cgi, b.m_cgi);
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i)
        EXPECT_STREQ(a.m_cgi->m_cgiEnvVarValue[i], b.m_cgi->m_cgiEnvVarValue[i]) << CGI::c_cgiEnvVarName[i];
    // The rebuilt command owns the record its Read made.
    EXPECT_EQ(1, b.m_ownsCgi);
    EXPECT_EQ(0, a.m_ownsCgi);
}

void ExpectSameOwnFields(const SaveCmd& a, const SaveCmd& b) {
    EXPECT_STREQ(a.m_server, b.m_server);
    EXPECT_STREQ(a.m_path, b.m_path);
    EXPECT_STREQ(a.m_reservedText, b.m_reservedText);
    EXPECT_EQ(a.m_queryNumber, b.m_queryNumber);
    EXPECT_EQ(a.m_identValid, b.m_identValid);
    EXPECT_EQ(0, std::memcmp(a.m_ident, b.m_ident, sizeof a.m_ident));
    ASSERT_EQ(a.m_bodyLen, b.m_bodyLen);
    EXPECT_EQ(std::string(a.m_body, a.m_bodyLen), std::string(b.m_body, b.m_bodyLen));
}

void ExpectSameOwnFields(const ComposeCmd& a, const ComposeCmd& b) {
    EXPECT_STREQ(a.m_server, b.m_server);
    EXPECT_STREQ(a.m_path, b.m_path);
    EXPECT_STREQ(a.m_reservedText, b.m_reservedText);
    EXPECT_EQ(a.m_queryNumber, b.m_queryNumber);
    EXPECT_EQ(a.m_identValid, b.m_identValid);
}

void ExpectSameOwnFields(const SearchCmd& a, const SearchCmd& b) {
    EXPECT_EQ(a.m_searchKind, b.m_searchKind);
    EXPECT_STREQ(a.m_server, b.m_server);
    EXPECT_STREQ(a.m_path, b.m_path);
    EXPECT_EQ(a.m_queryNumber, b.m_queryNumber);
    EXPECT_EQ(a.m_orderOfCollection, b.m_orderOfCollection);
    EXPECT_EQ(a.m_wordVarient, b.m_wordVarient);
    EXPECT_STREQ(a.m_searchText, b.m_searchText);
    EXPECT_EQ(a.m_max, b.m_max);
    EXPECT_STREQ(a.m_oldSearchRequest, b.m_oldSearchRequest);
}

void ExpectSameOwnFields(const ImageMapCmd& a, const ImageMapCmd& b) {
    EXPECT_STREQ(a.m_server, b.m_server);
    EXPECT_STREQ(a.m_path, b.m_path);
    EXPECT_EQ(a.m_x, b.m_x);
    EXPECT_EQ(a.m_y, b.m_y);
}

void ExpectSameOwnFields(const RunAgentCmd& a, const RunAgentCmd& b) {
    EXPECT_STREQ(a.m_server, b.m_server);
    EXPECT_STREQ(a.m_path, b.m_path);
    EXPECT_STREQ(a.m_query, b.m_query);
    EXPECT_EQ(a.m_reserved, b.m_reserved);
}

void ExpectSameFields(Cmd& sent, Cmd& got) {
    bool known = VisitCmd(sent, [&got](const auto& a) {
        ExpectSameOwnFields(a, dynamic_cast<decltype(a)>(got));
    });
    if (!known) ADD_FAILURE() << "no comparison for " << typeid(sent).name();
}

TEST(WireRoundTrip, EveryClassIsRebuiltEqual) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Request req(Client(c.pathInfo, c.query), c.body);
        std::unique_ptr<Cmd> got = Rebuild(Serialise(*req.cmd));
        ExpectSameHeader(*req.cmd, *got);
        ExpectSameFields(*req.cmd, *got);
        // Written again, the rebuilt command gives the same message.
        EXPECT_EQ(Serialise(*req.cmd), Serialise(*got));
    }
}

TEST(WireRoundTrip, LongestFieldsTravelWhole) {
    std::string agent(200, 'g'), server = std::string(255, 's'), path = std::string(255, 'p');
    std::string pathInfo = "/RunAgent/" + server + "/" + path;
    Request req(EnvList{{"PATH_INFO", pathInfo}, {"QUERY_STRING", std::string(255, 'q')},
                 {"REMOTE_ADDR", std::string(15, '1')}, {"HTTP_USER_AGENT", agent}});
    std::unique_ptr<Cmd> got = Rebuild(Serialise(*req.cmd));
    ExpectSameHeader(*req.cmd, *got);
    ExpectSameFields(*req.cmd, *got);
}

TEST(WireRoundTrip, CommandWithoutRecordWritesAnEmptyOne) {
    ImageMapCmd* cmd = new ImageMapCmd();
    cmd->m_x = -1;
    std::unique_ptr<Cmd> got = Rebuild(Serialise(*cmd));
    auto& map = dynamic_cast<ImageMapCmd&>(*got);
    EXPECT_EQ(-1, map.m_x);
    for (const char* value : got->m_cgi->m_cgiEnvVarValue) EXPECT_STREQ("", value);
    delete cmd;
}

TEST(WireRoundTrip, ReadingAgainReplacesWhatTheCommandOwns) {
    Request req(Client("/Save/S/p", nullptr), "a=1");
    std::string bytes = Serialise(*req.cmd);
    std::unique_ptr<Cmd> got = Rebuild(bytes);
    // A second read into the same object frees the first record and body.
    SimpleStream s(&bytes[0], unsigned(bytes.size()));
    s.SetEof(uint32_t(bytes.size()));
    uint32_t tag = 0;
    s >> tag;
    got->Read(s);
    ExpectSameFields(*req.cmd, *got);
}

// The request record as every message below carries it: 22 values in table
// order with only the client variables set.
std::string RecordBlock(uint32_t length, const std::string& pathInfo, const std::string& query,
                        const std::string& contentLength) {
    Bytes b;
    b.u32(length);
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) {
        switch (i) {
        case 5: b.str("POST"); break;
        case 6: b.str(pathInfo); break;
        case 9: b.str(query); break;
        case 11: b.str("10.0.0.7"); break;
        case 13: b.str("ann"); break;
        case 16: b.str(contentLength); break;
        case 18: b.str("Br/1"); break;
        default: b.str(""); break;
        }
    }
    return b.get();
}

std::string Header(uint32_t id) {
    return Bytes().u32(id).u32(id).u32(1).str("10.0.0.7").str("ann").str("Br/1").get();
}

TEST(WireBytes, EachClassExactly) {
    ASSERT_TRUE(HostIsLittleEndian()) << "expectations are written for a little-endian host";
    // Record lengths: 15 unset values (1 byte each), POST 5, 10.0.0.7 9, ann 4,
    // Br/1 5 = 38, plus the path, the query and CONTENT_LENGTH with their NULs.
    struct Row { const Case& c; std::string expected; } rows[] = {
        {kCases[0],
         Header(1) +
             RecordBlock(38 + 22 + 36 + 2, "/Save/Mail+Hub/db/doc", "1f&0123456789abcdef0011223344556677", "7") +
             Bytes().str("Mail Hub").str("db/doc").str("").u32(0x1f).u32(9).u32(1)
                 .raw("a\0" "1\0" "b\0" "2\0\0"s)
                 .raw("\x67\x45\x23\x01" "\xef\xcd\xab\x89" "\x33\x22\x11\x00" "\x77\x66\x55\x44"s)
                 .get()},
        {kCases[1],
         Header(2) + RecordBlock(38 + 18 + 3 + 1, "/Compose/Hub/memo", "2a", "") +
             Bytes().str("Hub").str("memo").str("").u32(0x2a).u32(0).get()},
        {kCases[2],
         Header(3) + RecordBlock(38 + 15 + 2 + 3, "/Search/Hub/db", "b", "92") +
             Bytes().u32(2).str("Hub").str("db").u32(0xb).u32(2).u32(1).str("cats").u32(20).str("dogs").get()},
        {kCases[3],
         Header(4) + RecordBlock(38 + 18 + 5 + 1, "/ImageMap/Hub/map", "-5,7", "") +
             Bytes().str("Hub").str("map").u32(0xfffffffbu).u32(7).get()},
        {kCases[4],
         Header(5) + RecordBlock(38 + 21 + 7 + 1, "/RunAgent/Hub/agents", "go&now", "") +
             Bytes().str("Hub").str("agents").str("go&now").u32(0).get()},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.c.name);
        Request req(Client(r.c.pathInfo, r.c.query), r.c.body);
        EXPECT_EQ(r.expected, Serialise(*req.cmd));
    }
}

// Every message cut short must raise: the bytes past the end of data are
// the rest of the good message, so a reader that looked past the end would
// succeed instead.
TEST(WireDamage, EveryTruncationRaises) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Request req(Client(c.pathInfo, c.query), c.body);
        std::string bytes = Serialise(*req.cmd);
        for (size_t n = 0; n < bytes.size(); ++n) {
            std::vector<char> buffer(bytes.begin(), bytes.end());
            SimpleStream s(buffer.data(), unsigned(buffer.size()));
            s.SetEof(uint32_t(n));
            EXPECT_THROW(delete Cmd::CreateCmd(s), Exception) << "cut to " << n << " bytes";
        }
    }
}

// The same in a buffer of exactly the cut length: the sanitizer build sees
// any read past it.
TEST(WireDamage, TruncationInAnExactBufferReadsNothingOutside) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Request req(Client(c.pathInfo, c.query), c.body);
        std::string bytes = Serialise(*req.cmd);
        for (size_t n = 1; n < bytes.size(); ++n) {
            std::unique_ptr<char[]> buffer(new char[n]);
            std::memcpy(buffer.get(), bytes.data(), n);
            SimpleStream s(buffer.get(), unsigned(n));
            s.SetEof(uint32_t(n));
            EXPECT_THROW(delete Cmd::CreateCmd(s), Exception) << "cut to " << n << " bytes";
        }
    }
}

std::string Message(uint32_t tag, const std::string& rest) { return Bytes().u32(tag).get() + rest; }

void ExpectRaised(Exception::ExcId id, const std::string& bytes) {
    std::vector<char> buffer(bytes.begin(), bytes.end());
    buffer.resize(bytes.size() + 64, 0);  // stale zeros past the data
    SimpleStream s(buffer.data(), unsigned(buffer.size()));
    s.SetEof(uint32_t(bytes.size()));
    try {
        delete Cmd::CreateCmd(s);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(id, e.m_id);
    }
}

TEST(WireDamage, BadTags) {
    Request req(Client("/RunAgent/H/a", "q"));
    std::string command = Serialise(*req.cmd).substr(4);
    for (uint32_t tag : {0u, 6u, 7u, 1000u, 0xffffffffu}) {
        SCOPED_TRACE(tag);
        ExpectRaised(Exception::ExcUnknownCmd, Message(tag, command));
    }
    // A tag that names another class than the header does.
    ExpectRaised(Exception::ExcCorruptData, Message(1, command));
    ExpectRaised(Exception::ExcBufferOverflow, "\x05\x00\x00"s);
}

TEST(WireDamage, OverLongStringsAreRefused) {
    const std::string emptyRecord = Bytes().u32(22).raw(std::string(22, '\0')).get();
    struct Row { const char* what; std::string bytes; } rows[] = {
        {"address of 16", Header(5).substr(0, 12) + Bytes().str(std::string(16, 'a')).str("").str("").get() +
                              emptyRecord + Bytes().str("").str("").str("").u32(0).get()},
        {"user of 128", Header(5).substr(0, 12) + Bytes().str("").str(std::string(128, 'u')).str("").get() +
                            emptyRecord + Bytes().str("").str("").str("").u32(0).get()},
        {"server of 256", Header(5) + emptyRecord + Bytes().str(std::string(256, 's')).str("").str("").u32(0).get()},
        {"query of 300", Header(5) + emptyRecord + Bytes().str("").str("").str(std::string(300, 'q')).u32(0).get()},
        {"search text of 256", Header(3) + emptyRecord +
                                   Bytes().u32(2).str("").str("").u32(0).u32(1).u32(1).str(std::string(256, 't'))
                                       .u32(0).str("").get()},
        {"unterminated last string", Header(3) + emptyRecord +
                                         Bytes().u32(2).str("").str("").u32(0).u32(1).u32(1).str("t").u32(0)
                                             .raw("old").get()},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ExpectRaised(Exception::ExcCorruptData, r.bytes);
    }
}

TEST(WireDamage, BadBlockAndBodyLengths) {
    const std::string fields = Bytes().str("").str("").str("").u32(0).get();
    struct Row { const char* what; std::string bytes; } rows[] = {
        {"record length 0", Header(5) + Bytes().u32(0).get() + fields},
        {"record length past the data", Header(5) + Bytes().u32(100).raw(std::string(22, '\0')).get()},
        {"record of 21 values", Header(5) + Bytes().u32(21).raw(std::string(21, '\0')).get() + fields},
        {"record whose last value runs on", Header(5) + Bytes().u32(22).raw(std::string(21, '\0') + "x").get() +
                                                 fields},
        {"body length past the data", Header(1) + Bytes().u32(22).raw(std::string(22, '\0')).get() +
                                          Bytes().str("").str("").str("").u32(0).u32(50).u32(0).raw("abc").get()},
        {"identifier bytes missing", Header(2) + Bytes().u32(22).raw(std::string(22, '\0')).get() +
                                         Bytes().str("").str("").str("").u32(0).u32(1).raw("12345678").get()},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ExpectRaised(Exception::ExcCorruptData, r.bytes);
    }
}

}  // namespace
