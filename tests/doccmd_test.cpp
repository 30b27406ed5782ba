// Save, Compose, ImageMap and RunAgent built from a request.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cmd_table.h"
#include "cmd_util.h"

namespace {

using namespace std::string_literals;

struct Ident {
    uint32_t number;
    uint32_t words[4];
    uint32_t valid;
};

void ExpectIdent(const Ident& expected, uint32_t number, const uint32_t (&words)[4], uint32_t valid) {
    EXPECT_EQ(expected.number, number);
    EXPECT_EQ(expected.valid, valid);
    if (!expected.valid) return;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(expected.words[i], words[i]) << "word " << i;
}

TEST(DocumentIdent, QueryStringsForSaveAndCompose) {
    struct Row { const char* query; Ident ident; } rows[] = {
        {"1f&0123456789abcdef0011223344556677", {31, {0x01234567, 0x89abcdef, 0x00112233, 0x44556677}, 1}},
        {"1F&0123456789ABCDEF0011223344556677", {31, {0x01234567, 0x89abcdef, 0x00112233, 0x44556677}, 1}},
        {"0&1 2 3 4", {0, {1, 2, 3, 4}, 1}},
        {"1f", {31, {}, 0}},
        {"1f&xyz", {31, {}, 0}},
        {"1f&012345678", {31, {}, 0}},
        {"1f&012345670123456701234567", {31, {}, 0}},
        {"&0123456789abcdef0011223344556677", {0, {}, 0}},
        {"", {0, {}, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.query);
        Request save(EnvList{{"PATH_INFO", "/Save/S/p"}, {"QUERY_STRING", r.query}});
        SaveCmd& s = save.As<SaveCmd>();
        ExpectIdent(r.ident, s.m_queryNumber, s.m_ident, s.m_identValid);
        Request compose(EnvList{{"PATH_INFO", "/Compose/S/p"}, {"QUERY_STRING", r.query}});
        ComposeCmd& c = compose.As<ComposeCmd>();
        ExpectIdent(r.ident, c.m_queryNumber, c.m_ident, c.m_identValid);
    }
}

TEST(DocumentIdent, WithoutThirdSeparatorTheQueryIsIgnored) {
    Request compose(EnvList{{"PATH_INFO", "/Compose/S"}, {"QUERY_STRING", "1f&0123456789abcdef0011223344556677"}});
    EXPECT_EQ(0u, compose.As<ComposeCmd>().m_queryNumber);
    EXPECT_EQ(0u, compose.As<ComposeCmd>().m_identValid);
}

TEST(SaveCmd, CarriesTheDecodedBody) {
    Request req(EnvList{{"PATH_INFO", "/Save/Mail+Hub/db/doc"}, {"REQUEST_METHOD", "POST"}}, "a=1&b=2");
    SaveCmd& save = req.As<SaveCmd>();
    EXPECT_EQ(uint32_t(req.cgi.m_contentsLen), save.m_bodyLen);
    EXPECT_EQ("a\0" "1\0" "b\0" "2\0\0"s, std::string(save.m_body, save.m_bodyLen));
    EXPECT_NE(req.cgi.m_contents, save.m_body);
    EXPECT_STREQ("Mail Hub", save.m_server);
    EXPECT_STREQ("db/doc", save.m_path);
    EXPECT_STREQ("", save.m_reservedText);
}

// The gateway hands the record's list over: the command holds that very
// list, its zero guard included, the record none, and the message is the
// same as with a copy.
TEST(SaveCmd, TakesTheListARecordHandsOver) {
    for (const char* body : {"a=1&b=2", "x=%00y&z=%3D%26"}) {
        SCOPED_TRACE(body);
        EnvList vars{{"PATH_INFO", "/Save/Mail+Hub/db/doc"}, {"QUERY_STRING", "1f&0123456789abcdef0011223344556677"}};
        std::string copied = Serialise(*Request(vars, body).cmd);
        SetRequest(vars, body);
        CGI cgi;
        cgi.InitFromEnv();
        const char* list = cgi.m_contents;
        std::string decoded = Contents(cgi);
        cgi.HandOverContents();
        std::unique_ptr<Cmd> cmd(Cmd::CreateCmd(cgi));
        SaveCmd& save = dynamic_cast<SaveCmd&>(*cmd);
        EXPECT_EQ(list, save.m_body);
        EXPECT_EQ(decoded, std::string(save.m_body, save.m_bodyLen));
        EXPECT_EQ(std::string(kFormListGuard, '\0'), std::string(save.m_body + save.m_bodyLen, kFormListGuard));
        EXPECT_EQ(nullptr, cgi.m_contents);
        EXPECT_EQ(0, cgi.m_contentsLen);
        EXPECT_STREQ(body, cgi.m_stdin) << "the raw body stays";
        EXPECT_EQ(copied, Serialise(save));
        EXPECT_EQ(nullptr, cgi.TakeContents()) << "given once";
    }
}

TEST(SaveCmd, WithoutBodyHasNone) {
    Request req(EnvList{{"PATH_INFO", "/Save/S/p"}});
    SaveCmd& save = req.As<SaveCmd>();
    EXPECT_EQ(0u, save.m_bodyLen);
    EXPECT_EQ(nullptr, save.m_body);
}

TEST(ImageMapCmd, ClickPositions) {
    struct Row { const char* query; int32_t x, y; } rows[] = {
        {"120,45", 120, 45}, {"120", 120, 0}, {"-5,7", -5, 7}, {"", 0, 0}, {" 12, 34", 12, 34},
        {"12 ,34", 12, 0}, {"x,4", 0, 0}, {"3,y", 3, 0}, {"+8,-0", 8, 0},
        {"99999999999,3", 0, 3}, {"2147483647,-2147483648", 2147483647, -2147483647 - 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.query);
        Request req(EnvList{{"PATH_INFO", "/ImageMap/S/map"}, {"QUERY_STRING", r.query}});
        ImageMapCmd& map = req.As<ImageMapCmd>();
        EXPECT_EQ(r.x, map.m_x);
        EXPECT_EQ(r.y, map.m_y);
        EXPECT_STREQ("S", map.m_server);
        EXPECT_STREQ("map", map.m_path);
    }
}

TEST(RunAgentCmd, CarriesTheQueryCut) {
    std::string query(300, 'q');
    Request req(EnvList{{"PATH_INFO", "/RunAgent/S/agents/nightly"}, {"QUERY_STRING", query}});
    RunAgentCmd& run = req.As<RunAgentCmd>();
    EXPECT_EQ(std::string(255, 'q'), run.m_query);
    EXPECT_STREQ("agents/nightly", run.m_path);
    EXPECT_EQ(0u, run.m_reserved);
}

TEST(DocumentCommands, LocalServerIsEmptyInEveryClass) {
    const char* paths[] = {"/Save/LOCAL/p", "/Compose/local/p", "/ImageMap/Local/p", "/RunAgent/lOcAl/p",
                           "/Search/LOCAL/p"};
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        Request req(EnvList{{"PATH_INFO", path}});
        // Every class keeps the server right after the header fields it shares.
        const char* server = nullptr;
        VisitCmd(*req.cmd, [&server](const auto& c) { server = c.m_server; });
        ASSERT_NE(nullptr, server);
        EXPECT_STREQ("", server);
    }
}

TEST(DocumentCommands, DefaultConstructorsGiveIdentifierParameterAndEmptyFields) {
    SaveCmd* save = new SaveCmd();
    ComposeCmd compose;  // on the stack: no zero-filling to rely on
    ImageMapCmd* map = new ImageMapCmd();
    RunAgentCmd run;
    EXPECT_EQ(Cmd::CmdSave, save->m_cmdID);
    EXPECT_EQ(Cmd::CmdCompose, compose.m_cmdID);
    EXPECT_EQ(Cmd::CmdImageMap, map->m_cmdID);
    EXPECT_EQ(Cmd::CmdRunAgent, run.m_cmdID);
    for (Cmd* c : {static_cast<Cmd*>(save), static_cast<Cmd*>(&compose), static_cast<Cmd*>(map),
                   static_cast<Cmd*>(&run)}) {
        EXPECT_EQ(1u, c->m_param);
        EXPECT_EQ(nullptr, c->m_cgi);
        EXPECT_STREQ("", c->m_remoteAddr);
        EXPECT_EQ(0u, c->m_resultsLen);
    }
    EXPECT_STREQ("", compose.m_server);
    EXPECT_EQ(0u, compose.m_identValid);
    EXPECT_EQ(0u, run.m_reserved);
    EXPECT_EQ(nullptr, save->m_body);
    delete save;
    delete map;
}

}  // namespace
