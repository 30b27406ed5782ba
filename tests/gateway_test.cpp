// The gateway program seen from outside: run as a web server runs it, with
// a controlled environment, a body on stdin and its own working directory.
// Every run is bounded: a gateway still running after 20 s is killed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cmd.h"
#include "pipe_limits.h"
#include "cmd_util.h"
#include "except.h"
#include "ipc_harness.h"
#include "mempipe.h"
#include "request_util.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// The error pages as a trace (debug = 1) leaves them, after its own header.
const std::string kExceptionPage = kit::kPageHead + kit::kExceptionHeading;
const std::string kCommunicationPage = kit::kPageHead + kit::kCommunicationHeading;
// Without a trace, each page goes out with its HTTP status in front.
const std::string kRefusedPage = "Status: 400 Bad Request\n" + kExceptionPage;
const std::string kNoServerPage = "Status: 503 Service Unavailable\n" + kCommunicationPage;
const int kLimitMs = 20000;

struct GatewayRun {
    std::string output;
    int status = -1;
    bool killed = false;
};


using ArgList = std::vector<const char*>;

// A non-empty body gets its CONTENT_LENGTH unless env names one.
GatewayRun RunGateway(EnvList env, const std::string& body = "", const std::optional<std::string>& ini = {},
                      const ArgList& args = {}) {
    std::signal(SIGPIPE, SIG_IGN);
    bool hasLength = false;
    for (const auto& v : env) hasLength = hasLength || std::strcmp(v.first, "CONTENT_LENGTH") == 0;
    if (!body.empty() && !hasLength) env.push_back({"CONTENT_LENGTH", std::to_string(body.size())});
    kit::TempDir dir("velmox-gw");
    if (ini) {
        EXPECT_TRUE(kit::WriteFile(dir / "velmox.ini", *ini));
    }
    proc::Options options;
    for (const auto& v : env) options.env.push_back({v.first, v.second});
    options.cleanEnv = true;
    options.dir = dir.path();
    std::vector<std::string> argv = {VELMOX_GATEWAY};
    argv.insert(argv.end(), args.begin(), args.end());
    proc::Finished finished = proc::Run(argv, kLimitMs / 1000.0, options, body);
    GatewayRun run;
    run.output = finished.out;
    run.killed = finished.status == -1;
    run.status = finished.status >= 0 && finished.status < 128 ? finished.status : -1;
    return run;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Gateway, BadPathsAndUnknownCommandsGiveTheExceptionPageWithStatus400) {
    struct Row { const char* what; EnvList env; } rows[] = {
        {"no PATH_INFO", {}},
        {"empty command", {{"PATH_INFO", "/"}}},
        {"no leading separator", {{"PATH_INFO", "Save/x"}}},
        {"unknown command", {{"PATH_INFO", "/Frobnicate/x"}}},
        {"Unknown named", {{"PATH_INFO", "/Unknown"}}},
        {"partial name", {{"PATH_INFO", "/Sav/x"}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        GatewayRun run = RunGateway(r.env);
        EXPECT_FALSE(run.killed);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(kRefusedPage, run.output);
    }
}

// Help is for a person at a shell; under a web server the arguments come
// from the request and change nothing.
TEST(Gateway, HelpOnlyOutsideAWebServer) {
    struct Row { const char* what; EnvList env; ArgList args; int status; bool help; } rows[] = {
        {"--help at a shell", {}, {"--help"}, 0, true},
        {"-h at a shell", {}, {"-h"}, 0, true},
        {"other argument at a shell", {}, {"--debug"}, 1, false},
        {"--help from a request", {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"PATH_INFO", "/Nope"}}, {"--help"}, 1, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        GatewayRun run = RunGateway(r.env, "", {}, r.args);
        EXPECT_FALSE(run.killed);
        EXPECT_EQ(r.status, run.status);
        if (r.help) EXPECT_THAT(run.output, StartsWith("usage: velmox.cgi")) << run.output;
        else EXPECT_EQ(kRefusedPage, run.output);
    }
}

// No server task answers here, so every valid command ends in the
// communication error page.
TEST(Gateway, ValidCommandsWithoutServerGiveTheCommunicationPage) {
    struct Row { EnvList env; std::string body; } rows[] = {
        {{{"PATH_INFO", "/Save/Local/db"}, {"REQUEST_METHOD", "POST"}}, "a=1&b=2"},
        {{{"PATH_INFO", "/compose/Hub/x"}, {"QUERY_STRING", "1f&0123456789abcdef0011223344556677"}}, ""},
        {{{"PATH_INFO", "/Search/Hub/db"}}, "SREQUEST=Search&SEARCH=cats"},
        {{{"PATH_INFO", "/ImageMap/Hub/m"}, {"QUERY_STRING", "3,4"}}, ""},
        {{{"PATH_INFO", "/RunAgent"}}, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.env[0].second);
        GatewayRun run = RunGateway(r.env, r.body);
        EXPECT_FALSE(run.killed);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(kNoServerPage, run.output);
    }
}

TEST(Gateway, DebugWritesHeaderDumpAndTraceBeforeThePage) {
    GatewayRun run = RunGateway({{"PATH_INFO", "/Save/Local/db"}, {"SERVER_PORT", "80"}}, "a=1&b=2+3", "debug = 1\n");
    EXPECT_EQ(1, run.status);
    const std::string& out = run.output;
    EXPECT_THAT(out, StartsWith(kit::kPageHead + "<P>CGI state<BR>\nSERVER_SOFTWARE = <BR>\n")) << out;
    EXPECT_THAT(out, HasSubstr("\nSERVER_PORT = 80<BR>\n"));
    EXPECT_THAT(out, HasSubstr("\nPATH_INFO = /Save/Local/db<BR>\n"));
    EXPECT_THAT(out, HasSubstr("\nCONTENT_LENGTH = 9<BR>\n"));
    EXPECT_THAT(out, HasSubstr("\nstdin = a=1&b=2+3<BR>\ncontents = a 1 b 2 3 <BR>\nCreating command...done.<br>\n"));
    EXPECT_TRUE(EndsWith(out, kCommunicationPage)) << out;
}

// With tracing on, a failed exchange says why before the page: the call
// that failed, its error and the object (here: no server task at all).
TEST(Gateway, DebugTracesTheCauseOfACommunicationFailure) {
    GatewayRun run = RunGateway({{"PATH_INFO", "/Save/Local/db"}}, "a=1", "debug = 1\n");
    EXPECT_EQ(1, run.status);
    std::string tail = std::string("Calling Pipe...done.<br>\nPipe failure: semget ") + kGatewayPipeName +
                       ".sem: No such file or directory<br>\n" + kCommunicationPage;
    EXPECT_TRUE(EndsWith(run.output, tail)) << run.output;
    // Without tracing, the page with its status and nothing else.
    EXPECT_EQ(kNoServerPage, RunGateway({{"PATH_INFO", "/Save/Local/db"}}).output);
}

TEST(Gateway, DebugErrorPageFollowsTheTraceWithASecondHeader) {
    GatewayRun run = RunGateway({{"PATH_INFO", "/Nope"}}, "", "DEBUG=2\n");
    EXPECT_EQ(1, run.status);
    std::string dumpEnd = "SERVER_URL = <BR>\nCreating command..." + kExceptionPage;
    EXPECT_TRUE(EndsWith(run.output, dumpEnd)) << run.output;
    EXPECT_THAT(run.output, StartsWith(kit::kPageHead));
    EXPECT_THAT(run.output, Not(HasSubstr("stdin = ")));
}

TEST(Gateway, ConfigurationFileSwitchesTracing) {
    struct Row { std::optional<std::string> ini; bool tracing; } rows[] = {
        {std::nullopt, false},
        {std::string(""), false},
        {std::string("debug = 1\n"), true},
        {std::string("DEBUG=2"), true},
        {std::string("debug = -1\n"), true},
        {std::string("debug = 1x\n"), true},
        {std::string("Debug =\n 3\n"), true},
        {std::string("debug = abc\n"), false},
        {std::string("debug = 0\n"), false},
        {std::string("debug=0\n"), false},
        {std::string("other = 1\ndebug = 1\n"), false},
        {std::string("debug\n"), false},
        {std::string("debug =\n"), false},
        {std::string("\ndebug = 1\n"), false},
        {std::string("debug\t= 1\n"), false},
        {std::string(" debug = 1\n"), false},
        {std::string(70, 'k') + " = 1\n", false},
        {std::string("debug = ") + std::string(70, '0') + "1\n", false},
        {std::string("debug = 99999999999\n"), false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.ini ? "velmox.ini: " + *r.ini : std::string("no velmox.ini"));
        GatewayRun run = RunGateway({{"PATH_INFO", "/Nope"}}, "", r.ini);
        EXPECT_EQ(1, run.status);
        if (r.tracing)
            EXPECT_TRUE(EndsWith(run.output, "Creating command..." + kExceptionPage)) << run.output;
        else
            EXPECT_EQ(kRefusedPage, run.output);
    }
}

TEST(Gateway, BodyShorterThanItsLengthIsTheBodyThatArrived) {
    GatewayRun run = RunGateway({{"PATH_INFO", "/Nope"}, {"CONTENT_LENGTH", "100"}}, "q=1", "debug = 1\n");
    EXPECT_EQ(1, run.status);
    EXPECT_THAT(run.output, HasSubstr("\nstdin = q=1<BR>\ncontents = q 1 <BR>\n"));
}

// The exchange itself: with no server task answering, Dispatch raises
// IPCexc and leaves the command without an answer.
TEST(Dispatch, WithoutServerRaisesIpcAndStoresNothing) {
    SetRequest({{"PATH_INFO", "/RunAgent/Hub/a"}});
    CGI cgi;
    cgi.InitFromEnv();
    Cmd* cmd = Cmd::CreateCmd(cgi);
    EXPECT_THROW(cmd->Dispatch(), IPCexc);
    uint32_t length = 99;
    EXPECT_EQ(nullptr, cmd->GetResults(&length));
    EXPECT_EQ(0u, length);
    delete cmd;
}

using ipctest::kPipeName;

// A server task on the gateway's own pipe name answering every request with
// canned bytes. At the end of each test nothing of the pipe may be left.
class GatewayPipe : public ::testing::Test {
protected:
    void Serve(const std::string& answer, unsigned long blockSize = 127952) {
        server = ipctest::StartCannedServer(kPipeName, blockSize, answer);
        ASSERT_GT(server.pid, 0) << "a server could not start on " << kPipeName;
    }
    void TearDown() override {
        if (server.pid > 0) {
            EXPECT_TRUE(server.Stop());
        }
        std::vector<std::string> left = ipctest::ObjectsLeft(kPipeName);
        EXPECT_TRUE(left.empty()) << left.size() << " objects left of " << kPipeName;
        ServerMonitor::RemoveAll(kPipeName);
    }

    ipctest::Server server;
};

std::string Filled(size_t n) {
    std::string s(n, 'x');
    for (size_t i = 0; i < n; ++i) s[i] = char('A' + i % 26);
    return s;
}

TEST_F(GatewayPipe, AnswersAreStoredInlineOrApartAndCutToTheBuffer) {
    struct Row { size_t length; unsigned long block; uint32_t stored; bool inlined; } rows[] = {
        {4, 127952, 4, true},
        {256, 127952, 256, true},
        {257, 127952, 257, false},
        {127948, 127952, 127948, false},
        {130000, 200000, 127952, false},  // longer than the answer buffer
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("answer of " + std::to_string(r.length));
        Serve(Filled(r.length), r.block);
        Request request(EnvList{{"PATH_INFO", "/RunAgent/Local/a"}, {"QUERY_STRING", "go"}});
        EXPECT_EQ(1, request.cmd->Dispatch());
        uint32_t length = 0;
        char* results = request.cmd->GetResults(&length);
        EXPECT_EQ(r.stored, length);
        EXPECT_EQ(r.inlined, results == request.cmd->m_inlineResults);
        EXPECT_EQ(Filled(r.stored), std::string(results, length));
        EXPECT_TRUE(server.Stop());
    }
}

TEST_F(GatewayPipe, AnEmptyAnswerIsAFailedExchange) {
    Serve("");
    Request request(EnvList{{"PATH_INFO", "/RunAgent/Local/a"}});
    EXPECT_THROW(request.cmd->Dispatch(), IPCexc);
    uint32_t length = 99;
    EXPECT_EQ(nullptr, request.cmd->GetResults(&length));
    EXPECT_EQ(0u, length);
    GatewayRun run = RunGateway({{"PATH_INFO", "/RunAgent/Local/a"}});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(kNoServerPage, run.output);
}

TEST_F(GatewayPipe, TheGatewayWritesTheAnswerUpToItsNulOrItsLength) {
    const std::string page = "Content-Type: text/plain\n\nhello";
    struct Row { std::string answer; unsigned long block; std::string written; } rows[] = {
        {page + std::string(1, '\0') + "junk after the NUL", 127952, page + "\n"},
        {page, 127952, page + "\n"},  // a server that forgot the NUL
        {Filled(130000), 200000, Filled(127952) + "\n"},  // cut to the buffer, no NUL
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.answer.substr(0, 40));
        Serve(r.answer, r.block);
        GatewayRun run = RunGateway({{"PATH_INFO", "/Search/Local/db"}, {"REQUEST_METHOD", "POST"}},
                                    "SREQUEST=Search&SEARCH=x");
        EXPECT_FALSE(run.killed);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(r.written, run.output);
        EXPECT_TRUE(server.Stop());
    }
}

// A Save of `bodyLength` bytes of 'a', whose message has a known length.
size_t SaveMessageLength(size_t bodyLength) {
    Request request(EnvList{{"PATH_INFO", "/Save/Local/x"}}, std::string(bodyLength, 'a'));
    return Serialise(*request.cmd).size();
}

TEST_F(GatewayPipe, ARequestTooLongToArriveWholeIsRefusedBeforeSending) {
    Serve("Content-Type: text/plain\n\nserved");
    size_t base = SaveMessageLength(100000);
    // The message grows with the body byte for byte (same CONTENT_LENGTH digits).
    for (size_t target : {size_t(127948), size_t(127949), size_t(127952), size_t(127953)}) {
        SCOPED_TRACE("message of " + std::to_string(target));
        size_t body = 100000 + (target - base);
        Request request(EnvList{{"PATH_INFO", "/Save/Local/x"}}, std::string(body, 'a'));
        ASSERT_EQ(target, Serialise(*request.cmd).size());
        if (target <= 127948) {
            EXPECT_EQ(1, request.cmd->Dispatch());
        } else {
            EXPECT_THROW(request.cmd->Dispatch(), OutOfRangeExc);
            EXPECT_EQ(nullptr, request.cmd->GetResults(nullptr));
        }
    }
}

}  // namespace
