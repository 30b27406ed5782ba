// The command base: name table, factory from a request, header fields,
// handler and the stored answer.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "cmd_table.h"
#include "cmd_util.h"
#include "except.h"
#include "url.h"

namespace {

TEST(CmdTable, NamesAndIdentifiers) {
    const char* names[] = {"Unknown", "Save", "Compose", "Search", "ImageMap", "RunAgent", ""};
    for (uint32_t i = 0; i <= 6; ++i) {
        EXPECT_STREQ(names[i], Cmd::c_table[i].name) << i;
        EXPECT_EQ(i, Cmd::c_table[i].value) << i;
    }
}

TEST(CmdTable, WholeNameMatchIgnoringCase) {
    struct Row { const char* name; uint32_t id; } rows[] = {
        {"Save", 1}, {"save", 1}, {"SAVE", 1}, {"compose", 2}, {"SEARCH", 3}, {"imagemap", 4},
        {"RunAgent", 5}, {"Sav", 0}, {"Saves", 0}, {"", 0}, {"Unknown", 0}, {"Run Agent", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(r.id, FindTableValue(Cmd::c_table, r.name)) << r.name;
    EXPECT_EQ(0u, FindTableValue(Cmd::c_table, nullptr));
}

TEST(CmdTable, EveryClassOnceWithItsIdentifierAndName) {
    std::vector<std::string> names;
    ForEachCmdClass([&names](auto tag) {
        using C = typename decltype(tag)::Class;
        SCOPED_TRACE(tag.name);
        names.push_back(tag.name);
        EXPECT_EQ(uint32_t(tag.id), FindTableValue(Cmd::c_table, tag.name));
        std::unique_ptr<Cmd> empty(NewEmptyCmd(tag.id));
        ASSERT_NE(nullptr, empty);
        const Cmd& asBase = *empty;
        EXPECT_EQ(typeid(C), typeid(asBase));
        EXPECT_EQ(tag.id, empty->m_cmdID);
        EXPECT_EQ(1u, empty->m_param);
        int visits = 0;
        EXPECT_TRUE(VisitCmd(asBase, [&visits](const auto& typed) {
            ++visits;
            EXPECT_TRUE((std::is_same<std::decay_t<decltype(typed)>, C>::value));
        }));
        EXPECT_EQ(1, visits);
    });
    EXPECT_EQ((std::vector<std::string>{"Save", "Compose", "Search", "ImageMap", "RunAgent"}), names);
}

TEST(CmdTable, IdentifiersOfNoClassMakeNothing) {
    URL url;
    CGI cgi;
    for (uint32_t id : {0u, 6u, 7u, 1000u, uint32_t(UINT_MAX)}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(nullptr, NewEmptyCmd(id));
        EXPECT_EQ(nullptr, NewCmdFromRequest(id, url, cgi));
    }
}

struct LocalSave : SaveCmd {};

TEST(CmdTable, VisitGivesTheObjectAsItsClass) {
    Cmd* bare = new Cmd(Cmd::CmdSave, 1);
    int visits = 0;
    EXPECT_FALSE(VisitCmd(*bare, [&visits](auto&) { ++visits; })) << "a bare command has no class";
    EXPECT_EQ(0, visits);
    delete bare;

    // Derived from a command class: visited as that class.
    LocalSave* derived = new LocalSave();
    EXPECT_TRUE(VisitCmd(*derived, [&visits](auto& typed) {
        ++visits;
        EXPECT_TRUE((std::is_same<std::remove_reference_t<decltype(typed)>, SaveCmd>::value));
    }));
    EXPECT_EQ(1, visits);
    delete derived;

    // A modifiable command is visited modifiable.
    std::unique_ptr<Cmd> agent(NewEmptyCmd(Cmd::CmdRunAgent));
    EXPECT_TRUE(VisitCmd(*agent, [](auto& typed) { std::strcpy(typed.m_server, "set"); }));
    EXPECT_STREQ("set", static_cast<RunAgentCmd&>(*agent).m_server);
}

TEST(CmdFactory, FirstPathSegmentPicksTheClass) {
    struct Row { const char* path; const std::type_info& type; Cmd::CmdID id; } rows[] = {
        {"/save/x", typeid(SaveCmd), Cmd::CmdSave},
        {"/Compose", typeid(ComposeCmd), Cmd::CmdCompose},
        {"/SEARCH/h/d", typeid(SearchCmd), Cmd::CmdSearch},
        {"/ImageMap/h/m", typeid(ImageMapCmd), Cmd::CmdImageMap},
        {"/RunAgent", typeid(RunAgentCmd), Cmd::CmdRunAgent},
        {"\\runagent\\h", typeid(RunAgentCmd), Cmd::CmdRunAgent},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        Request req(EnvList{{"PATH_INFO", r.path}});
        EXPECT_EQ(r.type, typeid(*req.cmd));
        EXPECT_EQ(r.id, req.cmd->m_cmdID);
        EXPECT_EQ(1u, req.cmd->m_param);
        EXPECT_EQ(&req.cgi, req.cmd->m_cgi);
        EXPECT_EQ(0, req.cmd->m_ownsCgi);
        EXPECT_EQ(nullptr, req.cmd->GetResults(nullptr));
    }
}

TEST(CmdFactory, UnknownNamesAndBadPathsRaise) {
    struct Row { const char* path; Exception::ExcId id; } rows[] = {
        {"/Unknown/x", Exception::ExcUnknownCmd}, {"/Sav", Exception::ExcUnknownCmd},
        {"/Saves/x", Exception::ExcUnknownCmd},   {"/Frobnicate", Exception::ExcUnknownCmd},
        {"/", Exception::ExcInvalidURL},          {"Save/x", Exception::ExcInvalidURL},
        {"", Exception::ExcInvalidURL},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        SetRequest({{"PATH_INFO", r.path}});
        CGI cgi;
        cgi.InitFromEnv();
        try {
            delete Cmd::CreateCmd(cgi);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(r.id, e.m_id);
        }
    }
}

TEST(CmdFactory, ClientFieldsAreCutToTheirWidths) {
    std::string addr(20, 'a'), user(200, 'u'), agent(200, 'g');
    Request req(EnvList{{"PATH_INFO", "/Save"}, {"REMOTE_ADDR", addr}, {"REMOTE_USER", user},
                 {"HTTP_USER_AGENT", agent}});
    EXPECT_EQ(std::string(15, 'a'), req.cmd->m_remoteAddr);
    EXPECT_EQ(std::string(127, 'u'), req.cmd->m_remoteUser);
    EXPECT_EQ(std::string(127, 'g'), req.cmd->m_userAgent);

    Request plain(EnvList{{"PATH_INFO", "/Save"}, {"REMOTE_ADDR", "10.0.0.1"}});
    EXPECT_STREQ("10.0.0.1", plain.cmd->m_remoteAddr);
    EXPECT_STREQ("", plain.cmd->m_remoteUser);
}

TEST(CmdFactory, RequestRecordMayGoBeforeTheCommand) {
    Cmd* cmd = nullptr;
    {
        SetRequest({{"PATH_INFO", "/Save/x/y"}}, "a=1");
        CGI cgi;
        cgi.InitFromEnv();
        cmd = Cmd::CreateCmd(cgi);
    }
    SaveCmd* save = dynamic_cast<SaveCmd*>(cmd);
    ASSERT_NE(nullptr, save);
    EXPECT_EQ(5u, save->m_bodyLen);
    EXPECT_EQ(0, std::memcmp("a\0" "1\0\0", save->m_body, 5));
    delete cmd;
}

int g_calls;
Cmd::CmdID g_seenId;
Cmd* g_seenCmd;
void* g_seenData;

int RecordingHandler(Cmd::CmdID id, Cmd* cmd, void* data) {
    ++g_calls;
    g_seenId = id;
    g_seenCmd = cmd;
    g_seenData = data;
    return 42;
}

int OtherHandler(Cmd::CmdID, Cmd*, void*) { return 7; }

TEST(CmdHandler, ExecuteRunsTheInstalledHandler) {
    Cmd::RegisterHandler(nullptr, nullptr, nullptr, nullptr);
    RunAgentCmd* cmd = new RunAgentCmd();
    EXPECT_THROW(cmd->Execute(), CmdNotHandledExc);

    int data = 0;
    Cmd::CmdHandler oldHandler = OtherHandler;
    void* oldData = &oldHandler;
    EXPECT_EQ(1, Cmd::RegisterHandler(RecordingHandler, &data, &oldHandler, &oldData));
    EXPECT_EQ(nullptr, oldHandler);
    EXPECT_EQ(nullptr, oldData);
    g_calls = 0;
    EXPECT_EQ(42, cmd->Execute());
    EXPECT_EQ(1, g_calls);
    EXPECT_EQ(Cmd::CmdRunAgent, g_seenId);
    EXPECT_EQ(cmd, g_seenCmd);
    EXPECT_EQ(&data, g_seenData);

    EXPECT_EQ(1, Cmd::RegisterHandler(OtherHandler, nullptr, nullptr, nullptr));
    EXPECT_EQ(7, cmd->Execute());
    EXPECT_EQ(1, Cmd::RegisterHandler(nullptr, nullptr, &oldHandler, &oldData));
    EXPECT_EQ(OtherHandler, oldHandler);
    EXPECT_EQ(nullptr, oldData);
    EXPECT_THROW(cmd->Execute(), CmdNotHandledExc);
    EXPECT_EQ(1, Cmd::Init());
    EXPECT_EQ(1, Cmd::Term());
    delete cmd;
}

TEST(CmdResults, NoAnswerUntilOneIsStored) {
    SaveCmd* cmd = new SaveCmd();
    uint32_t length = 99;
    EXPECT_EQ(nullptr, cmd->GetResults(&length));
    EXPECT_EQ(0u, length);
    delete cmd;
}

TEST(CmdResults, InlineUpTo256BytesElseABufferOfItsOwn) {
    struct Row { uint32_t length; bool inlineStored; } rows[] = {
        {1, true}, {100, true}, {256, true}, {257, false}, {127952, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.length);
        SaveCmd* cmd = new SaveCmd();
        std::string answer(r.length, 'x');
        cmd->StoreResults(answer.data(), r.length);
        uint32_t length = 0;
        char* results = cmd->GetResults(&length);
        EXPECT_EQ(r.length, length);
        EXPECT_EQ(r.inlineStored, results == cmd->m_inlineResults);
        EXPECT_EQ(r.inlineStored, cmd->m_results == nullptr);
        EXPECT_EQ(answer, std::string(results, length));
        delete cmd;
    }
}

// The documented unsigned long length, and the null pointer constants that
// the documented driver passes, which must pick one form.
static_assert(std::is_same<decltype(std::declval<Cmd&>().GetResults(std::declval<unsigned long*>())),
                           char*>::value, "GetResults(unsigned long*) returns the bytes");
static_assert(std::is_same<decltype(std::declval<Cmd&>().GetResults(nullptr)), char*>::value,
              "GetResults(nullptr) is not ambiguous");
static_assert(std::is_same<decltype(std::declval<Cmd&>().GetResults(0)), char*>::value,
              "GetResults(0) is not ambiguous");

TEST(CmdResults, UnsignedLongLengthAndNullPointers) {
    for (uint32_t answerLength : {0u, 1u, 100u, 256u, 257u, 127952u}) {
        SCOPED_TRACE(answerLength);
        SaveCmd* cmd = new SaveCmd();
        std::string answer(answerLength, 'x');
        cmd->StoreResults(answer.data(), answerLength);
        uint32_t narrow = 99;
        char* expected = cmd->GetResults(&narrow);
        unsigned long wide = ULONG_MAX;  // every bit of it is set
        EXPECT_EQ(expected, cmd->GetResults(&wide));
        EXPECT_EQ(answerLength, wide);
        EXPECT_EQ(answerLength, narrow);
        EXPECT_EQ(answerLength == 0, expected == nullptr);
        unsigned long* noLength = nullptr;
        EXPECT_EQ(expected, cmd->GetResults(noLength));
        EXPECT_EQ(expected, cmd->GetResults(nullptr));
        EXPECT_EQ(expected, cmd->GetResults(0));
        EXPECT_EQ(expected, cmd->GetResults(NULL));
        delete cmd;
    }
}

TEST(CmdResults, SetResultsKeepsTheNulAndReplacesEarlierAnswers) {
    SearchCmd* cmd = new SearchCmd();
    uint32_t length = 0;
    EXPECT_EQ(1, cmd->SetResults("abc"));
    EXPECT_STREQ("abc", cmd->GetResults(&length));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(nullptr, cmd->m_results);

    std::string text(300, 't');
    cmd->SetResults(text.c_str());
    EXPECT_EQ(text, cmd->GetResults(&length));
    EXPECT_EQ(301u, length);
    EXPECT_NE(nullptr, cmd->m_results);

    // The long buffer is released (the sanitizer build sees a leak otherwise).
    cmd->SetResults(std::string(400, 'u').c_str());
    cmd->SetResults("abc");
    EXPECT_STREQ("abc", cmd->GetResults(&length));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(nullptr, cmd->m_results);
    EXPECT_THROW(cmd->SetResults(nullptr), IllegalArgsExc);
    delete cmd;
}

TEST(CmdResults, AnAnswerMayBeStoredFromItself) {
    ComposeCmd* cmd = new ComposeCmd();
    std::string text(300, 'a');
    text[100] = 0;
    cmd->StoreResults(text.data(), 301);
    char* held = cmd->GetResults(nullptr);
    cmd->StoreResults(held, 301);
    EXPECT_EQ(0, std::memcmp(text.c_str(), cmd->GetResults(nullptr), 301));
    cmd->SetResults(cmd->GetResults(nullptr));
    uint32_t length = 0;
    EXPECT_EQ(std::string(100, 'a'), cmd->GetResults(&length));
    EXPECT_EQ(101u, length);
    cmd->SetResults(cmd->GetResults(nullptr) + 50);
    EXPECT_EQ(std::string(50, 'a'), cmd->GetResults(&length));
    delete cmd;
}

}  // namespace
