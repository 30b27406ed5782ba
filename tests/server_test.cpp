// velmox-server run as a program under a base name of the test's own:
// commands sent the way the gateway sends them, its log (slow requests too),
// its stop on SIGTERM or SIGINT (nothing may be left, also when a handler is
// stuck), pipe processes that die or are stopped, a second run after a
// crash, and its command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cmd_util.h"
#include "server_process.h"

using namespace srvtest;

namespace {

using ::testing::HasSubstr;

const char kHead[] = "Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n";

struct CommandCase {
    const char* name;
    const char* path;
    const char* query;
    const char* body;
    const char* cell;  // a field that shows the request reached the server
    const char* value;
};

const CommandCase kCommands[] = {
    {"Save", "/Save/Local/notes", "2a&89abcdef012345670011223344556677", "To=ann&Body=hi", "m_ident",
     "89abcdef 01234567 00112233 44556677"},
    {"Compose", "/Compose/Mail+Hub/drafts", "1f&0123456789abcdef0011223344556677", "", "m_server", "Mail Hub"},
    {"Search", "/Search/Local/mail", "", "SREQUEST=Search&SEARCH=cats", "m_searchText", "cats"},
    {"ImageMap", "/ImageMap/Local/maps/world", "120,45", "", "m_x", "120"},
    {"RunAgent", "/RunAgent/Local/agents/report", "Hello+World", "", "m_query", "Hello+World"},
};

EnvList RequestFor(const CommandCase& c) {
    return {{"PATH_INFO", c.path},       {"QUERY_STRING", c.query},         {"REMOTE_ADDR", "192.0.2.9"},
            {"SCRIPT_NAME", "/v.cgi"},   {"REQUEST_METHOD", *c.body ? "POST" : "GET"}};
}

// The page as a browser would get it: up to the NUL, which must end the answer.
std::string PageOf(const std::string& answer) {
    EXPECT_FALSE(answer.empty());
    EXPECT_EQ('\0', answer.back());
    return answer.empty() ? answer : answer.substr(0, answer.size() - 1);
}

class VelmoxServer : public ServerTest {
protected:
    // The server's answer to a request set up as the web server would.
    std::string Ask(const EnvList& vars, const std::string& body = "") {
        Request request(vars, body);
        std::string answer;
        EXPECT_TRUE(Exchange(base, Message(*request.cmd), answer)) << "no answer";
        return answer;
    }

    std::string AskFor(const CommandCase& c) { return Ask(RequestFor(c), c.body); }

    void ExpectServed(const CommandCase& c) {
        std::string page = PageOf(AskFor(c));
        EXPECT_EQ(kHead, page.substr(0, sizeof kHead - 1));
        EXPECT_THAT(page, HasSubstr("<h1 id=\"command\">" + std::string(c.name) + "</h1>"));
        EXPECT_EQ(c.value, Cell(page, c.cell));
        EXPECT_EQ("192.0.2.9", Cell(page, "cgi-REMOTE_ADDR"));
    }

    void ExpectStoppedCleanly(int status) {
        EXPECT_EQ(0, status) << "log:\n" << server().Log();
        EXPECT_EQ("", server().Stderr()) << "with a log file, nothing goes to standard error";
        ExpectNothingLeft();
        EXPECT_NE(0, access(server().ReadyPath().c_str(), F_OK)) << "the ready file goes with the server";
        std::string log = server().Log();
        EXPECT_EQ(" stopped\n", log.substr(log.size() - std::min<size_t>(log.size(), 9))) << "the last line";
    }
};

TEST_F(VelmoxServer, ServesEveryCommandAndStopsOnEitherSignal) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        ASSERT_TRUE(server().Start(3)) << server().Stderr();
        EXPECT_EQ(3u, LiveServers(base).size());
        std::vector<int> pids = LiveServers(base);
        for (const CommandCase& c : kCommands) {
            SCOPED_TRACE(c.name);
            std::string page = PageOf(AskFor(c));
            EXPECT_THAT(page, HasSubstr("<h1 id=\"command\">" + std::string(c.name) + "</h1>"));
            EXPECT_EQ(c.value, Cell(page, c.cell));
            bool fromAPipe = false;
            for (size_t slot = 0; slot < pids.size(); ++slot)
                fromAPipe = fromAPipe || page.find("served by pipe " + std::to_string(slot) + ", pid " +
                                                   std::to_string(pids[slot]) + "<") != std::string::npos;
            EXPECT_TRUE(fromAPipe) << page.substr(0, 600);
        }
        std::string log = server().Log();
        EXPECT_EQ(5, CountLines(log, " request pipe="));
        for (const CommandCase& c : kCommands) {
            std::string line = "command=" + std::string(c.name) + " addr=\"192.0.2.9\" path=\"" + c.path +
                               "\" query=\"" + c.query + "\" answer=";
            EXPECT_EQ(1, CountLines(log, line)) << line << "\n" << log;
        }
        EXPECT_EQ(1, CountLines(log, " ready: 3 pipes of base name " + base));
        ExpectStoppedCleanly(server().Stop(signal));
        EXPECT_EQ(1, CountLines(server().Log(), signal == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT"));
        server().RemoveFiles();
    }
}

TEST_F(VelmoxServer, ConcurrentClientsEachGetTheirOwnPage) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    std::vector<pid_t> clients;
    for (int i = 0; i < 12; ++i) {
        clients.push_back(Track(proc::Spawn([this, i] {
            std::string tag = "tag-" + std::to_string(i);
            Request request(EnvList{{"PATH_INFO", "/RunAgent/Local/agents/r" + std::to_string(i)}, {"QUERY_STRING", tag}});
            std::string answer;
            if (!Exchange(base, Message(*request.cmd), answer)) return 1;
            return Cell(answer, "m_query") == tag && Cell(answer, "m_path") == "agents/r" + std::to_string(i) ? 0 : 2;
        })));
    }
    for (pid_t client : clients) EXPECT_EQ(0, proc::Wait(client, 60));
    EXPECT_EQ(12, CountLines(server().Log(), " command=RunAgent "));
    ExpectStoppedCleanly(server().Stop());
}

TEST_F(VelmoxServer, DamagedRequestsGetAnErrorPageAndThePipeServesOn) {
    ASSERT_TRUE(server().Start(1)) << server().Stderr();
    Request agent(EnvList{{"PATH_INFO", "/RunAgent/Local/a"}, {"QUERY_STRING", "q"}});
    std::string message = Message(*agent.cmd);
    std::string otherClass = message;
    otherClass[0] = char(Cmd::CmdSave);  // host order: the low byte leads on this host
    struct Row { const char* what; std::string request; const char* reason; } rows[] = {
        {"unknown tag", std::string("\x09\0\0\0", 4) + message.substr(4), "Unknown Command Exception"},
        {"cut short", message.substr(0, message.size() / 2), "Exception"},
        {"header of another class", otherClass, "Corrupt Data Exception"},
        {"a single byte", "x", "Exception"},
    };
    ASSERT_TRUE(HostIsLittleEndian()) << "the rows are written for a little-endian host";
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string answer;
        ASSERT_TRUE(Exchange(base, r.request, answer));
        std::string page = PageOf(answer);
        EXPECT_EQ(kHead, page.substr(0, sizeof kHead - 1));
        EXPECT_THAT(page, HasSubstr("<h1 id=\"command\">error</h1>"));
        EXPECT_THAT(page, HasSubstr("<p id=\"error\">the request could not be read: ")) << page;
        EXPECT_THAT(page, HasSubstr(r.reason)) << page;
        ExpectServed(kCommands[4]);
    }
    std::string log = server().Log();
    EXPECT_EQ(4, CountLines(log, " command=- damaged="));
    EXPECT_EQ(4, CountLines(log, " command=RunAgent "));
    ExpectStoppedCleanly(server().Stop());
}

TEST_F(VelmoxServer, AKilledPipeProcessIsRestartedAtMostOnceASecond) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    std::vector<int> first = LiveServers(base);
    ASSERT_EQ(3u, first.size());
    // Kills one pipe process; the pid of its replacement once the supervisor
    // has seen that registered.
    int restarts = 0;
    auto replace = [&](int victim, int* replacement) {
        std::vector<int> before = LiveServers(base);
        kill(victim, SIGKILL);
        ++restarts;
        return WaitUntil(
            [&] {
                if (CountLines(server().Log(), "is serving again") != restarts) return false;
                std::vector<int> live = LiveServers(base);
                if (live.size() != before.size() || std::count(live.begin(), live.end(), victim)) return false;
                for (int pid : live)
                    if (!std::count(before.begin(), before.end(), pid)) *replacement = pid;
                return true;
            },
            20);
    };
    // The second replacement starts at least a second after the first one
    // did, which was after the first kill: a bound that the test's own lag in
    // seeing the replacements (a busy machine) cannot break.
    int second = 0, third = 0;
    double firstKill = kit::Now();
    ASSERT_TRUE(replace(first[1], &second)) << server().Log();
    ASSERT_TRUE(replace(second, &third)) << server().Log();
    EXPECT_GT(kit::Now() - firstKill, 0.99) << "a pipe comes back at most once a second";
    for (const CommandCase& c : kCommands) ExpectServed(c);
    EXPECT_EQ(2, CountLines(server().Log(), "was killed by SIGKILL; restarting it"));
    ExpectStoppedCleanly(server().Stop());
}

TEST_F(VelmoxServer, ASecondRunAfterACrashServes) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    ExpectServed(kCommands[0]);
    server().KillAll();
    EXPECT_FALSE(ipctest::ObjectsLeft(base).empty()) << "a crash leaves the objects";
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    EXPECT_EQ(3u, LiveServers(base).size());
    for (const CommandCase& c : kCommands) ExpectServed(c);
    ExpectStoppedCleanly(server().Stop());
}

TEST_F(VelmoxServer, AStopSignalToOnePipeProcessStopsTheServer) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    std::vector<int> pids = LiveServers(base);
    ASSERT_EQ(3u, pids.size());
    kill(pids[1], SIGTERM);
    ExpectStoppedCleanly(server().Wait());
    EXPECT_EQ(1, CountLines(server().Log(), "was stopped by a signal; stopping the server"));
}

TEST_F(VelmoxServer, PipesOfAKilledSupervisorStopThemselvesCleanly) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    ExpectServed(kCommands[3]);
    EXPECT_EQ(128 + SIGKILL, server().Stop(SIGKILL));  // waits for the pipe processes too
    EXPECT_TRUE(LiveServers(base).empty());
    ExpectNothingLeft();
}

TEST_F(VelmoxServer, SigintToTheWholeProcessGroupStopsCleanly) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    ExpectServed(kCommands[2]);
    kill(-server().pid(), SIGINT);  // what a terminal's interrupt key does
    ExpectStoppedCleanly(server().Wait());
}

TEST_F(VelmoxServer, ATerminateMessageFromOutsideOnlyRestartsItsPipe) {
    ASSERT_TRUE(server().Start(2)) << server().Stderr();
    std::string answer;
    ASSERT_TRUE(Exchange(base, "", answer));
    EXPECT_EQ("bye", answer);
    EXPECT_TRUE(WaitUntil([&] { return CountLines(server().Log(), "is serving again") == 1; }, 20)) << server().Log();
    EXPECT_EQ(1, CountLines(server().Log(), "ended on a terminate message that no signal asked for; restarting it"));
    EXPECT_EQ(2u, LiveServers(base).size());
    ExpectServed(kCommands[1]);
    ExpectStoppedCleanly(server().Stop());
}

TEST_F(VelmoxServer, APipeThatCannotBeMadeEndsTheStartWithAClearMessage) {
    std::string missingDirectory = "/tmp/vxt-missing." + std::to_string(getpid()) + "/pipe";
    for (const std::string& name : {missingDirectory, "/tmp/" + std::string(300, 'n')}) {
        SCOPED_TRACE(name.substr(0, 40));
        Finished run = RunToEnd({VELMOX_SERVER, "-b", name, "-n", "3", "--inspect"}, 90);
        EXPECT_EQ(1, run.status);
        EXPECT_THAT(run.err, HasSubstr("cannot create the pipe of base name " + name)) << run.err;
        EXPECT_TRUE(ipctest::ObjectsLeft(name).empty());
    }
}

// The inspector holds a request whose path has a segment "hang"; each
// request that takes longer than --slow-ms gets a line with its client's pid
// and duration, the others none.
TEST_F(VelmoxServer, ASlowRequestGetsALogLineAndAFastOneNone) {
    const int slowMs = 200, hangMs = 500;
    ASSERT_TRUE(server().Start(1, {"--slow-ms", std::to_string(slowMs), "--hang-ms", std::to_string(hangMs)}))
        << server().Stderr();
    struct Row { const char* path; const char* command; bool slow; } rows[] = {
        {"/RunAgent/Local/hang", "RunAgent", true},
        {"/Search/Local/hang/mail", "Search", true},
        {"/RunAgent/Local/agents/hangman", "RunAgent", false},
        {"/Compose/Local/drafts", "Compose", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        double start = kit::Now();
        std::string answer = Ask({{"PATH_INFO", r.path}, {"QUERY_STRING", "q"}});
        EXPECT_EQ(r.slow, kit::Now() - start >= hangMs / 1000.0) << "only a \"hang\" segment holds a page";
        EXPECT_THAT(PageOf(answer), HasSubstr("<h1 id=\"command\">" + std::string(r.command) + "</h1>"));
        std::string log = server().Log();
        std::string line = "slow request pipe=0 pid=" + std::to_string(LiveServers(base).at(0)) + " client=" +
                           std::to_string(getpid()) + " command=" + r.command + " path=\"" + r.path + "\" duration=";
        EXPECT_EQ(r.slow ? 1 : 0, CountLines(log, line)) << log;
        size_t at = log.find(line);
        if (at != std::string::npos) {
            EXPECT_GE(std::atol(log.c_str() + at + line.size()), hangMs) << log;
        }
    }
    EXPECT_EQ(2, CountLines(server().Log(), " slow request "));
    EXPECT_EQ(4, CountLines(server().Log(), " answer=")) << "a request line for each";
    ExpectStoppedCleanly(server().Stop());
}

// A stop while a handler is stuck: its pipe process is ended by the request
// timeout or, without one, killed at the stop limit (30 s); the server ends
// within that, its client gets no answer, and nothing is left.
TEST_F(VelmoxServer, AStopEndsAPipeProcessWhoseHandlerIsStuckAndLeavesNothing) {
    struct Row {
        const char* what;
        std::vector<std::string> options;
        double bound;  // seconds from the stop signal: the limit, a grace of 2 s and much slack
        int status;
        const char* logged;
    } rows[] = {
        {"the request timeout", {"--request-timeout", "3"}, 3 + 2 + 15, 0, "did not end within 2 s of SIGTERM; killing it"},
        {"the stop limit", {}, 30 + 15, 1, "did not stop in time; killing it"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<std::string> options = {"--hang-ms", "3600000"};
        options.insert(options.end(), r.options.begin(), r.options.end());
        ASSERT_TRUE(server().Start(2, options)) << server().Stderr();
        pid_t stuck = Track(proc::Spawn([this] {
            Request request(EnvList{{"PATH_INFO", "/RunAgent/Local/hang"}, {"QUERY_STRING", "stuck"}});
            std::string answer;
            return Exchange(base, Message(*request.cmd), answer) ? 0 : 3;
        }));
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (const ServerID& id : Registered(base))
                    if (id.clientPid == stuck) return true;
                return false;
            },
            20));
        usleep(200 * 1000);
        double stop = kit::Now();
        ASSERT_EQ(0, kill(server().pid(), SIGTERM));
        EXPECT_EQ(r.status, server().Wait(r.bound + 30)) << server().Log();
        EXPECT_LT(kit::Now() - stop, r.bound) << server().Log();
        EXPECT_EQ(3, proc::Wait(stuck, 20)) << "the stuck request fails";
        // At least the stuck one is killed (on a machine slow enough the
        // other may miss the limit too).
        EXPECT_LE(1, CountLines(server().Log(), r.logged)) << server().Log();
        ExpectNothingLeft();
        server().RemoveFiles();
    }
}

// Under a service manager (NOTIFY_SOCKET, here a socket of the test's): the
// status line has the figures of the counters, the requests answered and
// the one ended by the request timeout.
TEST_F(VelmoxServer, TheServiceStatusLineHasTheFiguresOfTheCounters) {
    std::string path = base + ".notify";
    int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(0, bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address));
    // The server's environment is the test's.
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    bool started = server().Start(2, {"--request-timeout", "1", "--hang-ms", "3600000"});
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started) << server().Stderr();
    // The first notification that holds `part`, within `seconds`.
    auto await = [&](const std::string& part, double seconds) {
        std::string seen;
        double end = kit::Now() + seconds;
        while (kit::Now() < end) {
            struct pollfd ready = {manager, POLLIN, 0};
            if (poll(&ready, 1, 200) <= 0) continue;
            char message[4096];
            ssize_t n = recv(manager, message, sizeof message, 0);
            if (n <= 0) continue;
            seen = std::string(message, size_t(n));
            if (seen.find(part) != std::string::npos) return seen;
        }
        return "none with \"" + part + "\", the last: " + seen;
    };
    std::string ready = "READY=1\nSTATUS=serving: 2 pipes (0 busy, 2 idle, 0 recovering), 0 requests served";
    EXPECT_EQ(ready, await(ready, 20));
    for (int i = 0; i < 3; ++i) ExpectServed(kCommands[i]);
    pid_t stuck = Track(proc::Spawn([this] {
        std::string answer;
        return Exchange(base, Message(*Request(EnvList{{"PATH_INFO", "/Search/Local/hang"}}).cmd), answer) ? 0 : 3;
    }));
    EXPECT_EQ(3, proc::Wait(stuck, 30));
    std::string line = "STATUS=serving: 2 pipes (0 busy, 2 idle, 0 recovering), 3 requests served, 1 timed out";
    EXPECT_EQ(line, await(line, 30));
    ExpectStoppedCleanly(server().Stop());
    EXPECT_THAT(await("STOPPING=1\nSTATUS=stopping: ", 5), HasSubstr("STOPPING=1"));
    close(manager);
    unlink(path.c_str());
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// Options from a file that the command line overrides, and a log rotation:
// after SIGUSR1 the request lines go to a new file of the log's name.
TEST_F(VelmoxServer, AConfigurationFileUnderTheCommandLineAndALogRotation) {
    std::string conf = base + ".conf", rotated = server().LogPath() + ".1";
    WriteText(conf, "# the file's options\n\npipes = 2\n  busy-ms = 100  \ninspect = yes\n");
    ASSERT_TRUE(server().Start(3, {"-c", conf})) << server().Stderr();
    EXPECT_EQ(3u, LiveServers(base).size()) << "-n 3 on the command line wins over pipes = 2";
    ExpectServed(kCommands[4]);
    ASSERT_EQ(0, std::rename(server().LogPath().c_str(), rotated.c_str()));
    ASSERT_EQ(0, kill(server().pid(), SIGUSR1));
    // A request that reaches a pipe process before it has taken SIGUSR1
    // still goes to the rotated file; no line is lost either way.
    int sent = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            ExpectServed(kCommands[2]);
            ++sent;
            return CountLines(server().Log(), " request pipe=") > 0;
        },
        30)) << "no request line in the new log file";
    int kept = CountLines(ReadFile(rotated), " request pipe=");
    EXPECT_LE(1, kept) << "the rotated file keeps what it had";
    EXPECT_EQ(1 + sent, kept + CountLines(server().Log(), " request pipe="));
    ExpectStoppedCleanly(server().Stop(SIGTERM));
    std::remove(conf.c_str());
    std::remove(rotated.c_str());
}

TEST_F(VelmoxServer, CommandLine) {
    // Configuration files: a good one, and ones with a fault on a line.
    std::string good = base + ".good.conf", badKey = base + ".key.conf", badFlag = base + ".flag.conf",
                badValue = base + ".value.conf", noFile = base + ".none.conf";
    WriteText(good, "pipes = 2\ninspect = yes\nslow-ms = 500\nrequest-timeout = 300\nhang-ms = 1000\n");
    WriteText(badKey, "# a comment\npipez = 2\n");
    WriteText(badFlag, "inspect = maybe\n");
    WriteText(badValue, "pipes = 3\nbusy-ms = -1\n");
    std::string valid = "the configuration in " + good + " is valid";
    std::string keyFault = badKey + ":2: unknown key \"pipez\"", flagFault = badFlag + ":1: inspect takes yes or no";
    std::string valueFault = badValue + ":2: --busy-ms must be a whole number";
    std::string noFileFault = "cannot read the configuration file " + noFile;
    struct Row { std::vector<std::string> args; int status; const char* out; const char* err; } rows[] = {
        {{"-c", good, "--check-config", "-b", base}, 0, valid.c_str(), ""},
        {{"-c", badKey}, 1, "", keyFault.c_str()},
        {{"--config", badFlag, "--check-config"}, 1, "", flagFault.c_str()},
        {{"--config=" + badValue}, 1, "", valueFault.c_str()},
        {{"-c", noFile}, 1, "", noFileFault.c_str()},
        {{"--check-config", "-b", base, "-d", "/tmp/vxt-missing-dir/x/mail.db"}, 1, "", "/tmp/vxt-missing-dir/x of the mail store"},
        {{"--check-config", "-b", "/tmp/vxt-missing-dir/pipe", "--inspect"}, 1, "", "does not exist"},
        {{"--check-config", "-b", base, "-d", "postgresql://velmox@db.example/mail"}, 0, "is valid", ""},
        {{"--help"}, 0, "-n, --pipes N", ""},
        {{"-h"}, 0, "-r, --ready FILE", ""},
        {{"-n", "0"}, 2, "", "a whole number from 1 to 64"},
        {{"-n", "65"}, 2, "", "a whole number from 1 to 64"},
        {{"--pipes", "3x"}, 2, "", "a whole number from 1 to 64, not \"3x\""},
        {{"--bogus"}, 2, "", "unknown option --bogus"},
        {{"-b"}, 2, "", "option -b needs a value"},
        {{"extra"}, 2, "", "unexpected argument \"extra\""},
        {{"-b", ""}, 2, "", "the base name must not be empty"},
        {{"-b", base, "-l", "/tmp/vxt-missing-dir/x/log"}, 1, "", "cannot open the log file /tmp/vxt-missing-dir"},
        // The mail store's options.
        {{"--help"}, 0, "-d, --database FILE", ""},
        {{"--help"}, 0, "--inspect", ""},
        {{"-d", ""}, 2, "", "the database name must not be empty"},
        {{"--busy-ms", "-1"}, 2, "", "--busy-ms must be a whole number from 0 to 600000, not \"-1\""},
        {{"--busy-ms", "600001"}, 2, "", "--busy-ms must be a whole number from 0 to 600000"},
        {{"--max-size-mb", "0"}, 2, "", "--max-size-mb must be a whole number from 1 to"},
        {{"--max-size-mb"}, 2, "", "option --max-size-mb needs a value"},
        {{"--inspect=yes"}, 2, "", "unknown option --inspect=yes"},
        // Slow requests and the request timeout.
        {{"--help"}, 0, "--slow-ms MS", ""},
        {{"--help"}, 0, "--request-timeout S", ""},
        {{"--slow-ms", "0"}, 2, "", "--slow-ms must be a whole number from 1 to 3600000, not \"0\""},
        {{"--slow-ms", "3600001"}, 2, "", "--slow-ms must be a whole number from 1 to 3600000"},
        {{"--slow-ms=fast"}, 2, "", "not \"fast\""},
        {{"--request-timeout", "0"}, 2, "",
         "--request-timeout must be a whole number of seconds from 1 to 86400, not \"0\""},
        {{"--request-timeout", "86401"}, 2, "", "seconds from 1 to 86400"},
        {{"--request-timeout", "2.5"}, 2, "", "not \"2.5\""},
        {{"--request-timeout"}, 2, "", "option --request-timeout needs a value"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args[0]);
        std::vector<std::string> argv = {VELMOX_SERVER};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        Finished run = RunToEnd(argv);
        EXPECT_EQ(r.status, run.status);
        EXPECT_THAT(run.out, HasSubstr(r.out)) << run.out;
        EXPECT_THAT(run.err, HasSubstr(r.err)) << run.err;
        if (r.status == 2) {
            EXPECT_THAT(run.err, HasSubstr("usage: velmox-server"));
        }
    }
    for (const std::string& file : {good, badKey, badFlag, badValue}) std::remove(file.c_str());
}

}  // namespace
