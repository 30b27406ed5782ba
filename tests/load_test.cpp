// The sample server task under load through a real web server and the
// gateway, with a fault during the load: rolling restarts, pipe processes
// killed, more clients than pipes, a stop, slow pages. Every answer is
// judged by the tag of its request (load_run.h), and the figures of each
// run are printed (bench/run-all measures the same runs for longer).
//
// The suites run once per way of deploying the gateway behind lighttpd
// (kDeployments); each test starts the server task under the fixed pipe
// name and its own lighttpd, and leaves no object behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"
#include "load_run.h"
#include "pipe_status.h"

using namespace e2e;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build's gateways are several times as slow.
const int kBurstEach = 4;
#else
const int kBurstEach = 20;
#endif

// How the gateway is deployed behind the web server. The load tests run
// through each; a FastCGI mode joins the list once the gateway has one.
struct Deployment {
    const char* name;
    std::function<bool(WebServer&)> start;
    const char* script;  // the gateway's URL path
};

const Deployment kDeployments[] = {
    {"Cgi", [](WebServer& web) { return web.Start(); }, "/velmox.cgi"},
};

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

std::string Row(const load::FaultRun& run) {
    char text[400];
    const load::Figures& f = run.figures;
    std::snprintf(text, sizeof text,
                  "%s: %d sent, %d served, %d communication pages, %d other; p50 %.1f ms, p99 %.1f ms, max %.1f ms; "
                  "%d faults in %.1f s",
                  run.fault.c_str(), f.sent, f.served, f.communication, f.other, f.p50Ms, f.p99Ms, f.maxMs,
                  run.faults, run.seconds);
    return text;
}

class Load : public FixedPipeService, public ::testing::WithParamInterface<Deployment> {
protected:
    void Start(int pipes, const std::vector<std::string>& extra = {}) {
        ASSERT_EQ("", ClaimPipe());
        ASSERT_TRUE(server.Start(pipes, "", extra)) << server.error();
        ASSERT_TRUE(GetParam().start(m_web)) << m_web.error();
        m_target.port = m_web.port();
        m_target.script = GetParam().script;
        m_target.authorization = BasicAuthorization(kTester);
        m_handle = {server.pid(), server.LogPath(), kPipeName, pipes};
    }

    void TearDown() override { ExpectCleanEnd(m_web); }

    // The figures, for the reader of the test's output.
    void Print(const load::FaultRun& run) {
        std::printf("[ FIGURES  ] %s\n", Row(run).c_str());
        std::fflush(stdout);
    }

    // Every request got its own page.
    void ExpectAllServed(const load::FaultRun& run) {
        EXPECT_EQ("", run.problem);
        EXPECT_GT(run.figures.sent, 0);
        EXPECT_EQ(run.figures.sent, run.figures.served) << Row(run) << "; first: " << run.firstBad;
    }

    static std::string Tail(const std::string& log) { return log.substr(log.size() > 3000 ? log.size() - 3000 : 0); }

    WebServer m_web;
    load::Target m_target;
    load::Server m_handle;
};

TEST_P(Load, FiveRollingRestartsUnderSixteenClientsLoseNoRequest) {
    Start(4);
    std::vector<load::FaultRun> runs = load::RollingRestarts(m_target, m_handle, 16, 5, 3, 0.5);
    ASSERT_EQ(3u, runs.size());
    for (const load::FaultRun& run : runs) Print(run);
    ExpectAllServed(runs[0]);
    ExpectAllServed(runs[1]);
    EXPECT_GT(runs[2].figures.sent, 0) << "requests during the restarts themselves";
    EXPECT_EQ(5, runs[1].faults) << Tail(server.Log());
    EXPECT_EQ(5, Occurrences(server.Log(), " rolling restart done: 4 pipe processes replaced"));
    EXPECT_EQ(4u, LiveServers(kPipeName).size());
}

// The counters as they stand: every slot's answers, and their sum.
struct Answered {
    std::vector<uint64_t> slots = std::vector<uint64_t>(kMaxServers, 0);
    uint64_t total = 0;
};

Answered ReadAnswered() {
    Answered answered;
    PipeStatus status;
    IpcFailure failure;
    ReadPipeStatus(kPipeName, status, failure);
    for (const PipeStatus::SlotTotals& slot : status.slots) answered.slots[slot.slot] = slot.requests;
    answered.total = status.requests;
    return answered;
}

TEST_P(Load, APipeProcessKilledEverySecondFailsAtMostTheRequestItHad) {
    Start(4);
    // The counters, looked at all through the kill storm, never go back.
    Answered before = ReadAnswered();
    std::atomic<bool> running{true};
    std::string backwards;
    std::thread watcher([&] {
        Answered last = before;
        while (running) {
            Answered now = ReadAnswered();
            for (int slot = 0; slot < kMaxServers; ++slot)
                if (now.slots[slot] < last.slots[slot] && backwards.empty())
                    backwards = "slot " + std::to_string(slot) + " went from " + std::to_string(last.slots[slot]) +
                                " to " + std::to_string(now.slots[slot]);
            last = now;
            usleep(20000);
        }
    });
    load::FaultRun run = load::KillsUnderLoad(m_target, m_handle, 16, 8);
    running = false;
    watcher.join();
    Print(run);
    EXPECT_EQ("", backwards);
    // Every answer a client got was counted by the slot that gave it.
    EXPECT_EQ(uint64_t(run.figures.served), ReadAnswered().total - before.total);
    EXPECT_EQ("", run.problem) << Tail(server.Log());
    EXPECT_EQ(8, run.faults);
    EXPECT_GT(run.figures.served, 0);
    EXPECT_EQ(0, run.figures.other) << "only the communication page may stand for a lost request: " << run.firstBad;
    EXPECT_LE(run.figures.communication, run.faults) << "one request at most per kill";
    // The supervisor brought every pipe back, and nothing of the killed
    // ones stayed: the registry's segment, the counters, one segment per
    // pipe, five sets.
    EXPECT_EQ(4u, LiveServers(kPipeName).size());
    std::vector<std::string> objects = PipeObjectsLeft();
    int segments = 0, sets = 0;
    for (const std::string& object : objects) (object.compare(0, 3, "shm") == 0 ? segments : sets) += 1;
    EXPECT_EQ(1 + 1 + 4, segments);
    EXPECT_EQ(5, sets);
}

TEST_P(Load, SixtyFourClientsOnTwoPipesAllWaitTheirTurn) {
    Start(2);
    load::FaultRun run = load::Burst("64 clients on 2 pipes", m_target, 64, kBurstEach);
    Print(run);
    ExpectAllServed(run);
    EXPECT_EQ(64 * kBurstEach, run.figures.sent);
}

// After SIGTERM every request ends within two seconds: with its own page
// while a pipe still serves, else with the communication page; once the
// server task has ended, always with the communication page.
TEST_P(Load, AStopUnderLoadGivesEveryLaterRequestTheCommunicationPageAtOnce) {
    Start(4);
    double stoppedAt = 0, endedAt = 0;
    int status = -2;
    load::FaultRun run = load::StopUnderLoad(m_target, 16, 2, 3, [&] { status = server.Stop(); }, &stoppedAt,
                                             &endedAt);
    Print(run);
    EXPECT_EQ(0, status) << "a clean stop";
    EXPECT_EQ(0, run.figures.other) << run.firstBad;
    load::Figures after = load::Summarise(run.samples, endedAt);
    EXPECT_GT(after.sent, 0);
    EXPECT_EQ(after.sent, after.communication);
    load::Figures sinceStop = load::Summarise(run.samples, stoppedAt);
    EXPECT_LE(sinceStop.maxMs, 2000) << "a request after the stop waited";
    EXPECT_LT(endedAt - stoppedAt, 10) << "the stop itself";
    EXPECT_GT(load::Summarise(run.samples, -1e300, stoppedAt).served, 0);
}

TEST_P(Load, ASlowServerMakesRequestsWaitButNoneFailsOrGetsAnothersPage) {
    Start(4, {"--delay-ms", "5000"});
    // Twelve clients on four pipes: three rounds of five seconds.
    load::FaultRun run = load::Burst("pages of 5 s, 12 clients on 4 pipes", m_target, 12, 1, 60);
    Print(run);
    ExpectAllServed(run);
    double fastest = 1e300;
    for (const load::Sample& s : run.samples) fastest = std::min(fastest, (s.end - s.start) * 1000);
    EXPECT_GE(fastest, 5000) << "every page takes five seconds";
    EXPECT_GE(run.figures.maxMs, 14000) << "the last clients waited two rounds";
}

// The deployment's name ends the test's name in CTest (e2e.Gateway/Load.X/Cgi).
void PrintTo(const Deployment& deployment, std::ostream* out) { *out << deployment.name; }

INSTANTIATE_TEST_SUITE_P(Gateway, Load, ::testing::ValuesIn(kDeployments));

}  // namespace
