// velmox-registry run as a program against a running velmox-server, a
// crashed one, and registries with claimed and closing slots.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "mempipe.h"
#include "server_process.h"

using namespace srvtest;

namespace {

using ::testing::HasSubstr;

class RegistryTool : public ServerTest {
protected:
    Finished Tool(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {VELMOX_REGISTRY};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunToEnd(argv);
    }
    Finished Show() { return Tool({"show", "-b", base}); }

    // The listing's row of a slot; empty when it has none.
    static std::string RowOf(const std::string& listing, int slot) {
        char head[16];
        std::snprintf(head, sizeof head, "%4d  ", slot);
        for (size_t at = 0; at < listing.size();) {
            size_t end = listing.find('\n', at);
            std::string line = listing.substr(at, end - at);
            if (line.compare(0, 6, head) == 0) return line;
            if (end == std::string::npos) break;
            at = end + 1;
        }
        return "";
    }
};

std::string StartTime(uint32_t ticks) {
    unsigned seconds = ticks / 100;
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
    return text;
}

TEST_F(RegistryTool, ShowsLiveIdleSlotsAndCleanRefuses) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    std::vector<ServerID> slots = Registered(base);
    ASSERT_EQ(3u, slots.size());
    for (const std::vector<std::string>& args : {std::vector<std::string>{"show", "-b", base},
                                                 std::vector<std::string>{"--base", base}}) {
        Finished show = Tool(args);
        EXPECT_EQ(0, show.status) << show.err;
        EXPECT_THAT(show.out, HasSubstr("registry of " + base + "\n")) << show.out;
        for (const ServerID& id : slots) {
            std::string row = RowOf(show.out, id.index);
            EXPECT_THAT(row, HasSubstr(std::to_string(id.serverPid) + " alive")) << row;
            EXPECT_THAT(row, HasSubstr(" idle ")) << row;
            EXPECT_THAT(row, HasSubstr(StartTime(id.startTicks))) << row;
        }
        EXPECT_EQ(3, CountLines(show.out, " alive "));
        EXPECT_THAT(show.out, HasSubstr("registered: 3 of 64\n"));
        EXPECT_THAT(show.out, HasSubstr("free servers: 3\n"));
        EXPECT_THAT(show.out,
                  HasSubstr("objects: registry lock, registry block, free-server count, pipe mutexes, "
                                "request events, answer events, counters, pipe blocks 0 1 2\n"))
            << show.out;
    }
    Finished clean = Tool({"clean", "-b", base});
    EXPECT_EQ(1, clean.status);
    for (const ServerID& id : slots) EXPECT_THAT(clean.out, HasSubstr(" " + std::to_string(id.serverPid)));
    EXPECT_THAT(clean.out, HasSubstr("not cleaning " + base + ": live servers use it")) << clean.out;
    EXPECT_FALSE(ipctest::ObjectsLeft(base).empty()) << "a refused clean removes nothing";
    EXPECT_EQ(0, server().Stop());
    ExpectNothingLeft();
}

TEST_F(RegistryTool, AfterACrashShowsDeadServersAndCleanRemovesEverything) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    std::vector<ServerID> slots = Registered(base);
    server().KillAll();
    Finished show = Show();
    EXPECT_EQ(0, show.status);
    for (const ServerID& id : slots)
        EXPECT_THAT(RowOf(show.out, id.index), HasSubstr(std::to_string(id.serverPid) + " dead"))
            << show.out;
    EXPECT_EQ(3, CountLines(show.out, " dead "));

    Finished clean = Tool({"clean", "-b", base});
    EXPECT_EQ(0, clean.status) << clean.out;
    // Five semaphore sets, the registry block, the counters and three pipe blocks.
    EXPECT_EQ("removed 10 objects of " + base + "\n", clean.out);
    ExpectNothingLeft();

    show = Show();
    EXPECT_EQ(1, show.status);
    EXPECT_EQ("no registry for " + base + "\nobjects: none\n", show.out);
    clean = Tool({"clean", "-b", base});
    EXPECT_EQ(0, clean.status);
    EXPECT_EQ("nothing to remove for " + base + "\n", clean.out);
}

TEST_F(RegistryTool, ClaimedAndClosingSlotsAreShownAsSuch) {
    ipctest::Server idle = Track(ipctest::StartServer(base, 4096));
    ASSERT_GT(idle.pid, 0);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const std::string name = base;
    pid_t holder = Track(proc::Spawn([&] {
        ServerMonitor monitor;
        ServerID id;
        bool claimed = monitor.InitClient(name.c_str()) && monitor.GetServer(id);
        (void)!write(ready[1], claimed ? "C" : "F", 1);
        for (;;) pause();
        return 0;
    }));
    char state = 0;
    ASSERT_EQ(1, read(ready[0], &state, 1));
    ASSERT_EQ('C', state);
    close(ready[0]);
    close(ready[1]);
    EXPECT_THAT(RowOf(Show().out, 0), HasSubstr("claimed by pid " + std::to_string(holder) + " (alive)"));
    kill(holder, SIGKILL);
    proc::Wait(holder, 10);
    EXPECT_THAT(RowOf(Show().out, 0), HasSubstr("claimed by pid " + std::to_string(holder) + " (dead)"));

    // A pipe that withdraws to close claims its own slot.
    MemoryPipe closing;
    ASSERT_EQ(1, closing.Create(base.c_str(), 4096));
    ASSERT_EQ(1, closing.m_monitor.Withdraw(closing.m_id));
    std::string row = RowOf(Show().out, closing.m_id.index);
    EXPECT_THAT(row, HasSubstr(std::to_string(getpid()) + " alive")) << row;
    EXPECT_THAT(row, HasSubstr(" closing ")) << row;
    closing.Close();
    EXPECT_TRUE(idle.Stop());
    ExpectNothingLeft();
}

// The figures in each form, after answers, a terminate message (not a
// request), a refused request and a pipe process killed (its slot's figures
// stay).
TEST_F(RegistryTool, StatusCountsEveryAnswerInEachForm) {
    ASSERT_TRUE(server().Start(3)) << server().Stderr();
    std::string answer;
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(Exchange(base, "not a command " + std::to_string(i), answer));
    ASSERT_TRUE(Exchange(base, "", answer));
    EXPECT_EQ("bye", answer);
    EXPECT_FALSE(Exchange(base, std::string(kPipeBlockSize, 'x'), answer)) << "longer than the block";
    // The pipe the terminate message ended is back, and said so, before it
    // is killed: killed first, it would never say it.
    ASSERT_TRUE(WaitUntil([&] {
        return LiveServers(base).size() == 3 && CountLines(server().Log(), "is serving again") == 1;
    }, 30)) << server().Log();
    kill(Registered(base)[0].serverPid, SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return CountLines(server().Log(), "is serving again") == 2; }, 30)) << server().Log();
    ASSERT_TRUE(Exchange(base, "one more", answer));

    Finished text = Tool({"status", "-b", base});
    EXPECT_EQ(0, text.status) << text.err;
    EXPECT_THAT(text.out, HasSubstr(": 3 pipes (3 idle, 0 busy, 0 recovering)\n")) << text.out;
    EXPECT_THAT(text.out, HasSubstr("requests answered: 8, ended by the timeout: 0")) << text.out;
    EXPECT_THAT(text.out, HasSubstr("no_server 0, dead_server 0, timeout 0, refused 1\n")) << text.out;
    for (int pid : LiveServers(base)) EXPECT_THAT(text.out, HasSubstr(" " + std::to_string(pid) + " "));

    Finished json = Tool({"status", "--json", "-b", base});
    EXPECT_EQ(0, json.status);
    EXPECT_THAT(json.out, HasSubstr("\"pipes\": 3, \"idle\": 3, \"busy\": 0, \"recovering\": 0, "
                                    "\"requests\": 8, \"timeouts\": 0")) << json.out;
    EXPECT_THAT(json.out, HasSubstr("\"refused\": 1}")) << json.out;

    Finished metrics = Tool({"status", "--openmetrics", "-b", base});
    EXPECT_EQ(0, metrics.status);
    uint64_t total = 0;
    std::istringstream lines(metrics.out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("velmox_requests_total{", 0) == 0) total += std::stoull(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(8u, total) << metrics.out;
    for (const char* line : {"velmox_pipes{state=\"idle\"} 3\n", "velmox_request_duration_seconds_count 8\n",
                             "velmox_exchange_failures_total{cause=\"refused\"} 1\n",
                             "# TYPE velmox_client_wait_seconds histogram\n", "velmox_up 1\n"})
        EXPECT_THAT(metrics.out, HasSubstr(line)) << line;
    EXPECT_EQ("# EOF\n", metrics.out.substr(metrics.out.size() - 6));

    EXPECT_EQ(0, server().Stop());
    ExpectNothingLeft();
    metrics = Tool({"status", "--openmetrics", "-b", base});
    EXPECT_EQ(1, metrics.status);
    EXPECT_THAT(metrics.out, HasSubstr("velmox_up 0\n")) << metrics.out;
}

TEST_F(RegistryTool, CommandLine) {
    struct Row { std::vector<std::string> args; int status; const char* out; const char* err; } rows[] = {
        {{"--help"}, 0, "velmox-registry clean [-b BASE]", ""},
        {{"-h"}, 0, "-b, --base NAME", ""},
        {{"frob"}, 2, "", "unknown command \"frob\""},
        {{"show", "extra"}, 2, "", "unexpected argument \"extra\""},
        {{"-b"}, 2, "", "option -b needs a value"},
        {{"--bogus"}, 2, "", "unknown option --bogus"},
        {{"-b", std::string(300, 'x')}, 2, "", "longer than 248 characters"},
        {{"-b", base}, 1, "no registry for ", ""},
        {{"status", "-b", base}, 1, ": no registry", ""},
        {{"status", "--json", "--openmetrics"}, 2, "", "--json and --openmetrics exclude each other"},
        {{"show", "--json"}, 2, "", "--json goes with status only"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args[0]);
        Finished run = Tool(r.args);
        EXPECT_EQ(r.status, run.status);
        EXPECT_THAT(run.out, HasSubstr(r.out)) << run.out;
        EXPECT_THAT(run.err, HasSubstr(r.err)) << run.err;
    }
}

}  // namespace
