// velmox-server's rolling restart (SIGHUP), its upgrade in place and its
// stop (SIGTERM) while clients keep calling, under base names of each
// test's own: every call of the clients must get its own answer, the pipes
// that serve never drop below n - 1, a new program file replaces the old
// one, a program that cannot start leaves the old pipes serving, a second
// SIGHUP during a restart restarts again, and a stop answers the requests
// in progress and fails the next ones at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cmd_util.h"
#include "server_process.h"
#include "spin_wait.h"
#include "velmox_version.h"

using namespace srvtest;

namespace {

using ::testing::HasSubstr;

const std::string kProgram = "velmox-server " VELMOX_VERSION;
const std::string kNextProgram = "velmox-server " VELMOX_NEXT_VERSION;

// The request of caller `who`, number `n`: its tag comes back in the page.
std::string TaggedCall(const std::string& base, int who, int n, std::string* problem) {
    std::string tag = "c" + std::to_string(who) + "-n" + std::to_string(n);
    Request request(EnvList{{"PATH_INFO", "/RunAgent/Local/callers/c" + std::to_string(who)}, {"QUERY_STRING", tag}});
    std::string answer;
    if (!Exchange(base, Message(*request.cmd), answer)) *problem = tag + ": the call failed";
    else if (Cell(answer, "m_query") != tag) *problem = tag + ": another answer: " + answer.substr(0, 300);
    return tag;
}

// Client processes that call the server one request after another until
// they are stopped; each checks that every answer is its own.
class Callers {
public:
    Callers(const std::string& base, int count) : m_base(base) {
        unlink(StopFile().c_str());
        for (int who = 0; who < count; ++who) m_pids.push_back(proc::Spawn([this, who] { return Run(who); }));
    }
    ~Callers() {
        for (pid_t pid : m_pids) proc::Wait(pid, 1);
        unlink(StopFile().c_str());
    }

    struct Result {
        int calls = 0;
        int failures = 0;
        std::string first;  // the first failure
    };
    Result Stop() {
        std::ofstream(StopFile()) << "stop\n";
        Result total;
        for (size_t who = 0; who < m_pids.size(); ++who) {
            int status = proc::Wait(m_pids[who], 120);
            std::ifstream in(ResultFile(int(who)));
            int calls = 0, failures = 0;
            std::string first;
            in >> calls >> failures;
            std::getline(in >> std::ws, first);
            total.calls += calls;
            total.failures += failures + (status == 0 ? 0 : 1);
            if (total.first.empty() && (failures > 0 || status != 0))
                total.first = first.empty() ? "caller exit status " + std::to_string(status) : first;
            unlink(ResultFile(int(who)).c_str());
        }
        m_pids.clear();
        return total;
    }

private:
    std::string StopFile() const { return m_base + ".stop"; }
    std::string ResultFile(int who) const { return m_base + ".caller" + std::to_string(who); }

    int Run(int who) {
        int calls = 0, failures = 0;
        std::string first;
        while (access(StopFile().c_str(), F_OK) != 0 || calls == 0) {
            std::string problem;
            TaggedCall(m_base, who, calls++, &problem);
            if (!problem.empty() && failures++ == 0) first = problem;
        }
        std::ofstream(ResultFile(who)) << calls << " " << failures << " " << first << "\n";
        return 0;
    }

    std::string m_base;
    std::vector<pid_t> m_pids;
};

// The fewest pipes that served (registered, alive, not withdrawn) while it
// watched, looking every few milliseconds.
class ServingWatch {
public:
    explicit ServingWatch(const std::string& base)
        : m_thread([this, base] {
              while (!m_done) {
                  int serving = 0;
                  for (const ServerID& id : Registered(base))
                      if (id.clientPid != id.serverPid && kill(id.serverPid, 0) == 0) ++serving;
                  m_fewest = std::min(m_fewest.load(), serving);
                  usleep(2000);
              }
          }) {}
    ~ServingWatch() { Finish(); }
    int Finish() {
        m_done = true;
        if (m_thread.joinable()) m_thread.join();
        return m_fewest;
    }

private:
    std::atomic<bool> m_done{false};
    std::atomic<int> m_fewest{1 << 30};
    std::thread m_thread;
};

// Installs `from` at `to` as a package manager does: a new file renamed over
// the old one, which a running program may still use.
bool Install(const std::string& from, const std::string& to) {
    std::string bytes = ReadFile(from), temporary = to + ".new";
    std::ofstream(temporary, std::ios::binary) << bytes;
    return !bytes.empty() && chmod(temporary.c_str(), 0755) == 0 && rename(temporary.c_str(), to.c_str()) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_ino == second.st_ino &&
           first.st_dev == second.st_dev;
}

std::set<int> LiveSet(const std::string& base) {
    std::vector<int> live = LiveServers(base);
    return std::set<int>(live.begin(), live.end());
}

class RollingRestart : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        m_program = base + ".bin/velmox-server";
        mkdir((base + ".bin").c_str(), 0755);
    }
    void TearDown() override {
        unlink(m_program.c_str());
        rmdir((base + ".bin").c_str());
        ServerTest::TearDown();
    }

    int Lines(const std::string& part) { return CountLines(server().Log(), part); }
    // Waits until the log has `count` lines with `part`.
    bool AwaitLines(const std::string& part, int count, double seconds = 60) {
        return WaitUntil([&] { return Lines(part) >= count; }, seconds);
    }
    bool Hangup() { return kill(server().pid(), SIGHUP) == 0; }

    void ExpectStoppedCleanly() {
        EXPECT_EQ(0, server().Stop()) << server().Log();
        ExpectNothingLeft();
    }

    void ReplaceEveryPipeWhileClientsCall();

    std::string m_program;  // a copy of the program to start from and replace
};

// Also while every pipe process and client spins (VELMOX_SPIN=on): each
// old pipe process is stopped while it watches for its next request.
TEST_F(RollingRestart, ReplacesEveryPipeOneAtATimeWhileClientsCallAndLosesNoCall) {
    for (const char* spinning : {"", "on"}) {
        SCOPED_TRACE(*spinning ? "VELMOX_SPIN=on" : "spin adaptive");
        if (*spinning) setenv("VELMOX_SPIN", spinning, 1);  // the server's, and its pipe processes'
        spin::SetProcessMode(*spinning ? spin::Mode::Always : spin::Mode::Adaptive);  // the callers'
        ReplaceEveryPipeWhileClientsCall();
        unsetenv("VELMOX_SPIN");
        spin::SetProcessMode(spin::Mode::Adaptive);
        server().RemoveFiles();
    }
}

void RollingRestart::ReplaceEveryPipeWhileClientsCall() {
    const int pipes = 3;
    ASSERT_TRUE(server().Start(pipes)) << server().Stderr();
    std::set<int> before = LiveSet(base);
    Callers callers(base, 4);
    ServingWatch watch(base);
    usleep(200 * 1000);
    // To the whole process group, as a terminal's hangup: the pipe processes
    // ignore it, the supervisor restarts.
    ASSERT_EQ(0, kill(-server().pid(), SIGHUP));
    ASSERT_TRUE(AwaitLines("rolling restart done: 3 pipe processes replaced", 1)) << server().Log();
    usleep(200 * 1000);
    int fewest = watch.Finish();
    Callers::Result result = callers.Stop();
    EXPECT_GT(result.calls, 0);
    EXPECT_EQ(0, result.failures) << result.first;
    EXPECT_GE(fewest, pipes - 1) << "pipes serving at the worst moment";

    EXPECT_EQ(0, Lines("killed by SIGHUP")) << server().Log();
    EXPECT_EQ(1, Lines("rolling restart of 3 pipes")) << server().Log();
    std::set<int> after = LiveSet(base);
    EXPECT_EQ(size_t(pipes), after.size());
    for (int pid : after) EXPECT_EQ(0u, before.count(pid)) << "pid " << pid << " was not replaced";
    // One at a time: each new process serves before its old one is told to
    // go, and the next begins only once the old one has ended.
    std::string log = server().Log();
    size_t at = 0;
    for (int replaced = 0; replaced < pipes; ++replaced) {
        size_t serves = log.find(" serves in the place of pid ", at);
        ASSERT_NE(std::string::npos, serves) << log;
        int old = std::atoi(log.c_str() + serves + std::strlen(" serves in the place of pid "));
        EXPECT_EQ(1u, before.count(old)) << log;
        size_t ended = log.find("old pipe process (pid " + std::to_string(old) + ") has ended", serves);
        ASSERT_NE(std::string::npos, ended) << log;
        size_t next = log.find(" serves in the place of pid ", serves + 1);
        if (next != std::string::npos) {
            EXPECT_LT(ended, next) << log;
        }
        at = serves + 1;
    }
    ExpectStoppedCleanly();
}

TEST_F(RollingRestart, UpgradesInPlaceFromTheProgramFileAsItIsOnDiskNow) {
    ASSERT_TRUE(Install(VELMOX_SERVER, m_program));
    server().UseProgram(m_program);
    ASSERT_TRUE(server().Start(2)) << server().Stderr();
    EXPECT_EQ(2, Lines("(" + kProgram + ") serves pipe"));
    Callers callers(base, 2);
    ASSERT_TRUE(Install(VELMOX_SERVER_NEXT, m_program));
    EXPECT_EQ(kNextProgram + "\n", RunToEnd({m_program, "--version"}).out);
    ASSERT_TRUE(Hangup());
    ASSERT_TRUE(AwaitLines("rolling restart done", 1)) << server().Log();
    Callers::Result result = callers.Stop();
    EXPECT_EQ(0, result.failures) << result.first;

    EXPECT_EQ(2, Lines("(" + kNextProgram + ") serves pipe")) << server().Log();
    std::set<int> upgraded = LiveSet(base);
    ASSERT_EQ(2u, upgraded.size());
    for (int pid : upgraded) {
        EXPECT_TRUE(SameFile("/proc/" + std::to_string(pid) + "/exe", m_program)) << "pid " << pid;
        EXPECT_EQ(1, Lines("pipe process " + std::to_string(pid) + " (" + kNextProgram + ")")) << server().Log();
    }
    // The new processes answer.
    for (int n = 0; n < 6; ++n) {
        std::string problem;
        TaggedCall(base, 9, n, &problem);
        EXPECT_EQ("", problem);
    }
    EXPECT_EQ(0, kill(server().pid(), 0)) << "the supervisor itself stays";
    ExpectStoppedCleanly();
}

TEST_F(RollingRestart, ASecondHangupDuringARestartRestartsAgainAfterIt) {
    // Slow pages keep each old process answering for a while, so that the
    // restart lasts.
    ASSERT_TRUE(server().Start(2, {"--delay-ms", "300"})) << server().Stderr();
    Callers callers(base, 3);
    ASSERT_TRUE(Hangup());
    ASSERT_TRUE(AwaitLines("rolling restart of 2 pipes", 1)) << server().Log();
    ASSERT_TRUE(Hangup());
    ASSERT_TRUE(Hangup());
    ASSERT_TRUE(AwaitLines("rolling restart done", 2)) << server().Log();
    usleep(500 * 1000);
    Callers::Result result = callers.Stop();
    EXPECT_EQ(0, result.failures) << result.first;
    EXPECT_EQ(1, Lines("SIGHUP during a rolling restart: a rolling restart follows it")) << server().Log();
    EXPECT_EQ(2, Lines("rolling restart of 2 pipes")) << "the SIGHUPs during one restart make one more";
    EXPECT_EQ(4, Lines(" serves in the place of pid ")) << server().Log();
    ExpectStoppedCleanly();
}

struct BrokenProgram {
    const char* what;
    const char* text;  // the program file's content
    mode_t mode;
    const char* logged;
};

const BrokenProgram kBrokenPrograms[] = {
    {"a file that is no program", "not a program\n", 0644, "could not be started from "},
    {"a program that fails at once", "#!/bin/sh\nexit 7\n", 0755, "failed (exit status 7)"},
    {"a program without the pipe-process option", "#!/bin/sh\nexec " VELMOX_SERVER " --no-such-option\n", 0755,
     "refused its command line"},
};

TEST_F(RollingRestart, ANewProcessThatDoesNotStartEndsTheRestartAndTheOldOnesServeOn) {
    ASSERT_TRUE(Install(VELMOX_SERVER, m_program));
    server().UseProgram(m_program);
    ASSERT_TRUE(server().Start(2)) << server().Stderr();
    std::set<int> serving = LiveSet(base);
    int stopped = 0;
    for (const BrokenProgram& broken : kBrokenPrograms) {
        SCOPED_TRACE(broken.what);
        std::string temporary = m_program + ".new";
        std::ofstream(temporary) << broken.text;
        ASSERT_EQ(0, chmod(temporary.c_str(), broken.mode));
        ASSERT_EQ(0, rename(temporary.c_str(), m_program.c_str()));
        ASSERT_TRUE(Hangup());
        ASSERT_TRUE(AwaitLines("rolling restart stopped: the new pipe process", ++stopped)) << server().Log();
        EXPECT_EQ(1, Lines(broken.logged)) << server().Log();
        EXPECT_EQ(serving, LiveSet(base)) << "the old pipe processes serve on";
        std::string problem;
        TaggedCall(base, 1, stopped, &problem);
        EXPECT_EQ("", problem);
    }
    // Mended, the next SIGHUP restarts.
    ASSERT_TRUE(Install(VELMOX_SERVER, m_program));
    ASSERT_TRUE(Hangup());
    ASSERT_TRUE(AwaitLines("rolling restart done: 2 pipe processes replaced", 1)) << server().Log();
    std::set<int> renewed = LiveSet(base);
    EXPECT_EQ(2u, renewed.size());
    for (int pid : renewed) EXPECT_EQ(0u, serving.count(pid));
    ExpectStoppedCleanly();
}

TEST_F(RollingRestart, NoneWithSixtyFourPipesForWantOfAFreeSlot) {
    ASSERT_TRUE(server().Start(64)) << server().Stderr();
    std::set<int> serving = LiveSet(base);
    ASSERT_TRUE(Hangup());
    ASSERT_TRUE(AwaitLines("SIGHUP: no rolling restart with 64 pipes", 1, 20)) << server().Log();
    EXPECT_EQ(serving, LiveSet(base));
    ExpectStoppedCleanly();
}

// The requests in progress are answered (each takes a second here). A
// request that comes during the stop is answered by a pipe that has not
// closed yet or fails once none is left, never later; after the stop a
// request fails at once. The bounds only prove that nothing waits for a
// limit (the stop limit is 30 s): under ASan on a busy machine the stop
// took 4.7 s.
TEST_F(RollingRestart, AStopAnswersTheRequestsInProgressAndLeavesNoRequestWaiting) {
    ASSERT_TRUE(server().Start(2, {"--delay-ms", "1000"})) << server().Stderr();
    auto call = [this](int who) {
        return Track(proc::Spawn([this, who] {
            std::string problem;
            TaggedCall(base, who, 0, &problem);
            return problem.empty() ? 0 : 3;
        }));
    };
    std::vector<pid_t> inProgress = {call(0), call(1)};
    // Both pipes have taken their request.
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::vector<ServerID> slots = Registered(base);
            return std::count_if(slots.begin(), slots.end(), [](const ServerID& id) {
                       return id.clientPid > 0 && id.clientPid != id.serverPid;
                   }) == 2;
        },
        20));
    usleep(100 * 1000);
    double stop = kit::Now();
    ASSERT_EQ(0, kill(server().pid(), SIGTERM));
    pid_t during = call(2);
    for (pid_t pid : inProgress) EXPECT_EQ(0, proc::Wait(pid, 20)) << "a request in progress is answered";
    EXPECT_EQ(0, server().Wait()) << server().Log();
    double stopped = kit::Now();
    int status = proc::Wait(during, 20);
    EXPECT_TRUE(status == 0 || status == 3) << status;
    EXPECT_LT(kit::Now() - stopped, 10.0) << "the request during the stop ends with it";
    EXPECT_LT(stopped - stop, 20.0) << "two requests in progress and perhaps the one during the stop";
    double after = kit::Now();
    EXPECT_EQ(3, proc::Wait(call(3), 20)) << "no server, no answer";
    EXPECT_LT(kit::Now() - after, 10.0);
    ExpectNothingLeft();
}

TEST_F(RollingRestart, DelayOptionOnTheCommandLine) {
    struct Row { std::vector<std::string> args; int status; const char* err; } rows[] = {
        {{"--delay-ms", "10"}, 2, "--delay-ms slows the field inspector only: add --inspect"},
        {{"--inspect", "--delay-ms", "-1"}, 2, "--delay-ms must be a whole number from 0 to 600000, not \"-1\""},
        {{"--inspect", "--delay-ms", "600001"}, 2, "from 0 to 600000"},
        {{"--inspect", "--delay-ms"}, 2, "option --delay-ms needs a value"},
        {{"--hang-ms", "10"}, 2, "--hang-ms holds the field inspector's pages only: add --inspect"},
        {{"--inspect", "--hang-ms", "0"}, 2, "--hang-ms must be a whole number from 1 to 86400000, not \"0\""},
        {{"--inspect", "--hang-ms", "86400001"}, 2, "from 1 to 86400000"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args.back());
        std::vector<std::string> argv = {VELMOX_SERVER, "-b", base};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        Finished run = RunToEnd(argv);
        EXPECT_EQ(r.status, run.status);
        EXPECT_THAT(run.err, HasSubstr(r.err)) << run.err;
    }
}

}  // namespace
