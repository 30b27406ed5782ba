// Processes that die or stop at every step of an exchange, run as the real
// programs under the gateway's fixed pipe name: the sample server task
// killed before, during and after an exchange; a gateway killed, terminated
// (what a web server does when the browser goes away) or stopped while it
// holds the registry lock, a server's mutex or a claim; everything killed at
// once and started again. Each time the gateways end within their bound with
// the right page, the registry is never left half-written, later requests
// are served, the registry comes back to rest (no claim, the free-server
// count equal to the servers that can be claimed), and a restart needs no
// manual cleanup.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "gateway_harness.h"
#include "opsys.h"

using namespace gwtest;

namespace {

// A gateway ends within this when nothing it waits for is stopped: a dead
// server is noticed within a second, a missing one at once.
const double kBound = 30;

std::string Name(Outcome outcome) { return OutcomeName(outcome); }

std::string SignalName(int signal) {
    switch (signal) {
        case SIGKILL: return "SIGKILL";
        case SIGTERM: return "SIGTERM";
        case SIGSTOP: return "SIGSTOP";
        default: return "signal " + std::to_string(signal);
    }
}

// What a process holds of the pipe, seen from outside.
struct Holding {
    bool lock = false;  // the registry lock
    int claim = -1;     // the slot it has claimed
    int mutex = -1;     // the slot whose mutex it holds
};

Holding HeldBy(pid_t pid, int pipes) {
    Holding held;
    SemState lock = RegistryLockState();
    held.lock = lock.value == 0 && lock.lastPid == pid;
    held.claim = ReadRegistry().SlotClaimedBy(pid);
    for (int slot = 0; slot < pipes && held.mutex < 0; ++slot) {
        SemState mutex = ServerMutexState(slot);
        if (mutex.value == 0 && mutex.lastPid == pid) held.mutex = slot;
    }
    return held;
}

class Crash : public FixedPipeTest {
protected:
    // The registry as it stands must be sound: no slot half-written.
    void ExpectSound(bool locked = true) {
        RegistryView view = ReadRegistry(locked);
        EXPECT_TRUE(view.present);
        EXPECT_EQ("", view.Problems()) << view.Describe();
    }

    void ExpectAtRest(int pipes) {
        std::string why;
        EXPECT_TRUE(WaitAtRest(pipes, 30, &why)) << why << "log:\n" << server().Log();
    }

    // Stops a pipe process (it then never answers) and waits until it is.
    void StopPipe(int pid) {
        kill(pid, SIGSTOP);
        ASSERT_TRUE(srvtest::WaitUntil([pid] { return IsStopped(pid); }, 10));
    }

    // Starts a gateway and waits until it has claimed a server and holds its
    // mutex: it has sent its request or is about to, and waits for the answer.
    void StartClaiming(Gateway& gateway, const TaggedRequest& request, int* slot) {
        ASSERT_TRUE(gateway.Start(request));
        pid_t pid = gateway.pid();
        bool claimed = srvtest::WaitUntil(
            [&] {
                *slot = ReadRegistry().SlotClaimedBy(pid);
                if (*slot < 0) return false;
                SemState mutex = ServerMutexState(*slot);
                return mutex.value == 0 && mutex.lastPid == pid;
            },
            20);
        ASSERT_TRUE(claimed) << "the gateway never claimed a server:\n" << ReadRegistry().Describe();
    }

    void ExpectOutcome(Gateway& gateway, const TaggedRequest& request, Outcome expected, const std::string& what) {
        gateway.Finish(kBound);
        EXPECT_EQ(Name(expected), Name(Judge(request, gateway)))
            << what << ": " << request.tag << " got:\n" << gateway.output().substr(0, 400);
    }

    // The gateway died of the signal: it wrote nothing, or (killed after
    // writing) its own whole page.
    void ExpectKilledBy(Gateway& gateway, const TaggedRequest& request, int signal) {
        gateway.Finish(kBound);
        EXPECT_FALSE(gateway.hung());
        EXPECT_EQ(128 + signal, gateway.status());
        EXPECT_TRUE(gateway.output().empty() || IsOwnPage(request, gateway.output()))
            << gateway.output().substr(0, 400);
    }
};

// ------------------------------------------------------------ server deaths

TEST_F(Crash, ServerKilledBeforeAnExchange) {
    ASSERT_NO_FATAL_FAILURE(StartServer(2));
    ExpectServed(2, "warm");
    // One pipe process killed while idle: the other serves every request
    // until the supervisor has brought the first one back.
    std::vector<int> pids = PipePids();
    ASSERT_EQ(2u, pids.size());
    kill(pids[0], SIGKILL);
    ASSERT_TRUE(srvtest::WaitUntil([&] { return !OpSys::ProcessExists(pids[0]); }, 10));
    ExpectServed(5, "one-pipe-dead");
    ExpectAtRest(2);
    ExpectServed(2, "pipe-back");

    // The whole task killed: a gateway is told at once, and a new start
    // serves without any cleanup by hand.
    server().KillAll();
    EXPECT_NE("", Objects()) << "a killed task leaves its objects";
    TaggedRequest request = Tagged(2, "task-dead");
    Gateway gateway;
    ASSERT_TRUE(gateway.Start(request));
    ExpectOutcome(gateway, request, Outcome::Communication, "no live server");
    ExpectSound();
    ASSERT_NO_FATAL_FAILURE(StartServer(2));
    ExpectServed(5, "restarted");
    ExpectAtRest(2);
    StopServerCleanly();
}

// Both pipes busy, so that every free server is reserved when one of them
// dies: the count of free servers must still come out right.
TEST_F(Crash, ServerKilledDuringAnExchange) {
    for (bool wholeTask : {false, true}) {
        SCOPED_TRACE(wholeTask ? "the whole task killed" : "a pipe process killed");
        ASSERT_NO_FATAL_FAILURE(StartServer(2));
        std::vector<int> pids = PipePids();
        ASSERT_EQ(2u, pids.size());
        // The pipes are stopped, so each gateway's request is in its pipe's
        // block and the gateway waits for the answer when the kill comes.
        ASSERT_NO_FATAL_FAILURE(StopPipe(pids[0]));
        ASSERT_NO_FATAL_FAILURE(StopPipe(pids[1]));
        std::string name = wholeTask ? "task" : "pipe";
        TaggedRequest requests[2] = {Tagged(4, "during-" + name + "-0"), Tagged(1, "during-" + name + "-1")};
        Gateway gateways[2];
        int slots[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) ASSERT_NO_FATAL_FAILURE(StartClaiming(gateways[i], requests[i], &slots[i]));
        int victim = slots[0] == 0 ? 0 : 1;  // the gateway on slot 0 loses its server
        if (wholeTask) {
            server().KillAll();
        } else {
            kill(pids[0], SIGKILL);
            kill(pids[1], SIGCONT);
        }
        // The stopped pipe never took the request: with another pipe alive it
        // is handed to that one; with the whole task gone nobody serves it.
        ExpectOutcome(gateways[victim], requests[victim], wholeTask ? Outcome::Communication : Outcome::Served,
                      "its server died under it");
        ExpectOutcome(gateways[1 - victim], requests[1 - victim],
                      wholeTask ? Outcome::Communication : Outcome::Served, "the other gateway");
        ExpectSound();
        if (wholeTask) {
            ASSERT_NO_FATAL_FAILURE(StartServer(2));
        }
        // The supervisor brings a killed pipe back; either way both pipes
        // serve again and the registry comes to rest.
        ExpectAtRest(2);
        ExpectServed(3, "after the kill");
        ExpectAtRest(2);
        StopServerCleanly();
        server().RemoveFiles();
    }
}

TEST_F(Crash, ServerKilledAfterAnExchange) {
    ASSERT_NO_FATAL_FAILURE(StartServer(1));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ExpectServed(1, "before the kill");
        std::vector<int> pids = PipePids();
        ASSERT_EQ(1u, pids.size());
        kill(pids[0], SIGKILL);
        // Until the supervisor has restarted it there is no live server: the
        // gateway is told so at once. After that it is served.
        TaggedRequest request = Tagged(round, "after-" + std::to_string(round));
        Gateway gateway;
        ASSERT_TRUE(gateway.Start(request));
        gateway.Finish(kBound);
        Outcome outcome = Judge(request, gateway);
        EXPECT_TRUE(outcome == Outcome::Communication || outcome == Outcome::Served)
            << Name(outcome) << ":\n" << gateway.output().substr(0, 400);
        ExpectAtRest(1);
        ExpectServed(2, "restarted");
    }
    ExpectAtRest(1);
    StopServerCleanly();
}

// ------------------------------------------------------ gateways that die

// A gateway stopped, run under ptrace, at every boundary between two of its
// system calls from its first move on the pipe to its end, and there killed,
// terminated (what a web server does when the browser goes away) or stopped
// for good. On the way it holds the registry lock, a claim and a server's
// mutex, alone and together (when it gives its server back it holds the
// lock and its claim). Killed or terminated, it leaves a sound registry and
// nothing that keeps the next request from its page; stopped, it keeps only
// what it holds: the others are served beside it or, while it holds the
// registry lock, wait for it, and when it goes on it gets its own page.
TEST_F(Crash, GatewayKilledTerminatedOrStoppedAtEveryStep) {
    const int pipes = 2;
    ASSERT_NO_FATAL_FAILURE(StartServer(pipes));
    int total = 0;
    {
        TaggedRequest request = Tagged(0, "steps");
        Gateway gateway;
        ASSERT_TRUE(gateway.StartTraced(request));
        while (gateway.Step(kBound)) {
        }
        total = gateway.steps();
        ExpectOutcome(gateway, request, Outcome::Served, "traced to its end");
    }
    ASSERT_GT(total, 10) << "the steps of one exchange";
    int withLock = 0, withClaim = 0, withMutex = 0, withLockAndClaim = 0;
    for (int signal : {SIGKILL, SIGTERM, SIGSTOP}) {
        for (int step = 1; step <= total; ++step) {
            SCOPED_TRACE(SignalName(signal) + " at step " + std::to_string(step) + " of " + std::to_string(total));
            TaggedRequest request = Tagged(step, "step-" + std::to_string(signal) + "-" + std::to_string(step));
            Gateway gateway;
            ASSERT_TRUE(gateway.StartTraced(request));
            while (gateway.steps() < step && gateway.Step(kBound)) {
            }
            if (gateway.steps() < step) {  // this exchange took fewer steps
                ExpectOutcome(gateway, request, Outcome::Served, "an exchange of fewer steps");
                continue;
            }
            Holding held = HeldBy(gateway.pid(), pipes);
            if (signal == SIGKILL) {
                withLock += held.lock;
                withClaim += held.claim >= 0;
                withMutex += held.mutex >= 0;
                withLockAndClaim += held.lock && held.claim >= 0;
            }
            // Between two system calls nothing is half-written, and a server's
            // mutex is only ever held with the server's claim: a server that
            // looks idle never has its mutex taken.
            ExpectSound(false);
            EXPECT_TRUE(held.mutex < 0 || held.mutex == held.claim)
                << "holds the mutex of slot " << held.mutex << " but claims slot " << held.claim;
            ASSERT_TRUE(gateway.Release(signal));
            if (signal != SIGSTOP) {
                ExpectKilledBy(gateway, request, signal);
                ExpectSound();
                ExpectServed(1, "after-step-" + std::to_string(step));
            } else {
                ASSERT_TRUE(srvtest::WaitUntil([&] { return IsStopped(gateway.pid()); }, 10));
                TaggedRequest other = Tagged(step + 1, "beside-step-" + std::to_string(step));
                Gateway beside;
                ASSERT_TRUE(beside.Start(other));
                if (held.lock) {
                    // It waits for the lock (within its limit of 15 s) until
                    // the stopped gateway goes on.
                    EXPECT_TRUE(srvtest::WaitUntil([] { return RegistryLockState().waiting >= 1; }, 10));
                    kill(gateway.pid(), SIGCONT);
                    ExpectOutcome(beside, other, Outcome::Served, "the gateway that waited for the lock");
                } else {
                    ExpectOutcome(beside, other, Outcome::Served, "a gateway beside the stopped one");
                    kill(gateway.pid(), SIGCONT);
                }
                ExpectOutcome(gateway, request, Outcome::Served, "the stopped gateway, continued");
            }
            ExpectAtRest(pipes);
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(withLock, 0);
    EXPECT_GT(withClaim, 0);
    EXPECT_GT(withMutex, 0);
    EXPECT_GT(withLockAndClaim, 0);
    std::printf("steps: %d per exchange, each with SIGKILL, SIGTERM and SIGSTOP; the gateway held the registry lock "
                "at %d of them, a claim at %d, a server's mutex at %d, the lock and a claim at once at %d\n",
                total, withLock, withClaim, withMutex, withLockAndClaim);
    StopServerCleanly();
}

// A gateway waiting for its answer holds its claim and the server's mutex:
// killed or terminated there, the server's answer goes nowhere and the next
// request takes the server over; stopped there, it holds only its own
// server, and when it goes on it writes its own answer.
TEST_F(Crash, GatewayHoldingItsClaimAndTheServerMutexWhileWaiting) {
    for (int signal : {SIGKILL, SIGTERM, SIGSTOP}) {
        SCOPED_TRACE(SignalName(signal));
        int pipes = signal == SIGSTOP ? 2 : 1;
        ASSERT_NO_FATAL_FAILURE(StartServer(pipes));
        std::vector<int> pids = PipePids();
        ASSERT_NO_FATAL_FAILURE(StopPipe(pids[0]));
        TaggedRequest request = Tagged(2, "waiting-" + SignalName(signal));
        Gateway gateway;
        int slot = -1;
        ASSERT_NO_FATAL_FAILURE(StartClaiming(gateway, request, &slot));
        kill(gateway.pid(), signal);
        if (signal != SIGSTOP) {
            ExpectKilledBy(gateway, request, signal);
            kill(pids[0], SIGCONT);
            ExpectSound();
            ExpectServed(3, "after the death");
        } else {
            ASSERT_TRUE(srvtest::WaitUntil([&] { return IsStopped(gateway.pid()); }, 10));
            kill(pids[0], SIGCONT);
            ExpectServed(4, "beside the stopped gateway");
            EXPECT_EQ(slot, ReadRegistry().SlotClaimedBy(gateway.pid())) << "it holds only its own server";
            kill(gateway.pid(), SIGCONT);
            ExpectOutcome(gateway, request, Outcome::Served, "the stopped gateway, continued");
        }
        ExpectAtRest(pipes);
        StopServerCleanly();
        server().RemoveFiles();
    }
}

// ------------------------------------------------------------------ storms

// Rounds of gateways started together, each killed, terminated, stopped and
// continued, or left alone at a random moment, while now and then a pipe
// process is killed as well. A gateway left to run ends within its bound
// with its own page, or with the communication page when a pipe died in
// its round; nobody ever gets another request's page.
TEST_F(Crash, SignalsAtRandomMomentsUnderLoad) {
#if defined(__SANITIZE_ADDRESS__)
    const int rounds = 12;
#else
    const int rounds = 30;
#endif
    const int pipes = 4, perRound = 12;
    ASSERT_NO_FATAL_FAILURE(StartServer(pipes));
#if defined(__SANITIZE_ADDRESS__)
    // A SIGSTOP or SIGCONT that lands in a gateway's leak check at its exit
    // (which stops the process's threads with ptrace) can leave the check
    // waiting for ever; the storm's gateways run without it. The other
    // suites check the gateway for leaks.
    const char* before = std::getenv("ASAN_OPTIONS");
    std::string saved = before ? before : "";
    setenv("ASAN_OPTIONS", (saved.empty() ? std::string() : saved + ":").append("detect_leaks=0").c_str(), 1);
    struct Restore {
        bool had;
        std::string value;
        ~Restore() {
            if (had) setenv("ASAN_OPTIONS", value.c_str(), 1);
            else unsetenv("ASAN_OPTIONS");
        }
    } restore{before != nullptr, saved};
#endif
    std::mt19937 random(20240611);
    int counts[7] = {}, signalled = 0, pipeKills = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        bool killPipe = round % 3 == 2;
        // One pipe down at a time: the supervisor brings a killed one back
        // a second after its start at the earliest, and rounds are quicker.
        if (killPipe) {
            EXPECT_TRUE(srvtest::WaitUntil([&] { return int(PipePids().size()) == pipes; }, 20));
        }
        struct Run {
            TaggedRequest request;
            std::unique_ptr<Gateway> gateway;
            int signal = 0;  // 0: left alone
            unsigned delayUs = 0;
        };
        std::vector<Run> runs(perRound);
        for (int i = 0; i < perRound; ++i) {
            Run& run = runs[size_t(i)];
            run.request = Tagged(i, "storm-" + std::to_string(round) + "-" + std::to_string(i));
            int fate = int(random() % 10);
            run.signal = fate < 4 ? 0 : fate < 6 ? SIGKILL : fate < 8 ? SIGTERM : SIGSTOP;
            run.delayUs = unsigned(random() % 4000);
            run.gateway.reset(new Gateway);
            ASSERT_TRUE(run.gateway->Start(run.request));
        }
        unsigned pipeDelayUs = unsigned(random() % 4000);
        std::vector<int> pids = PipePids();
        int killed = -1;
        std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.delayUs < b.delayUs; });
        unsigned now = 0;
        auto killPipeWhenDue = [&](unsigned until) {
            if (!killPipe || pipeDelayUs > until || pids.empty()) return;
            usleep(pipeDelayUs - now);
            now = pipeDelayUs;
            killed = pids[random() % pids.size()];
            kill(killed, SIGKILL);
            ++pipeKills;
            killPipe = false;
        };
        for (Run& run : runs) {
            killPipeWhenDue(run.delayUs);
            usleep(run.delayUs - now);
            now = run.delayUs;
            if (run.signal) kill(run.gateway->pid(), run.signal);
        }
        killPipeWhenDue(pipeDelayUs);
        for (Run& run : runs) {
            if (run.signal == SIGSTOP) {
                usleep(unsigned(random() % 3000));
                kill(run.gateway->pid(), SIGCONT);
            }
        }
        bool pipeDied = killed > 0;
        for (Run& run : runs) {
            run.gateway->Finish(kBound);
            Outcome outcome = Judge(run.request, *run.gateway);
            ++counts[int(outcome)];
            if (run.signal) ++signalled;
            bool toDie = run.signal == SIGKILL || run.signal == SIGTERM;
            bool right = outcome == Outcome::Served || (pipeDied && outcome == Outcome::Communication) ||
                         (toDie && outcome == Outcome::Killed);
            EXPECT_TRUE(right) << run.request.tag << " (" << (run.signal ? SignalName(run.signal) : "left alone")
                               << "): " << Name(outcome) << "\n" << run.gateway->output().substr(0, 400);
            if (toDie && outcome == Outcome::Killed) {
                EXPECT_EQ(128 + run.signal, run.gateway->status());
            }
        }
        ExpectSound();
        // Gone for good (reaped) before the next round, which must not meet it.
        EXPECT_TRUE(srvtest::WaitUntil([&] { return killed < 0 || !OpSys::ProcessExists(killed); }, 10));
    }
    ExpectAtRest(pipes);
    ExpectServed(5, "after the storm");
    ExpectAtRest(pipes);
    std::printf("storm: %d rounds of %d gateways, %d signalled, %d pipe processes killed; %d served, %d told the "
                "server failed, %d killed\n",
                rounds, perRound, signalled, pipeKills, counts[int(Outcome::Served)],
                counts[int(Outcome::Communication)], counts[int(Outcome::Killed)]);
    StopServerCleanly();
}

// Every process killed at once, the server task's and the gateways' in the
// middle of their exchanges; a new start needs no cleanup by hand.
TEST_F(Crash, EverythingKilledAtOnceAndStartedAgain) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_NO_FATAL_FAILURE(StartServer(4));
        std::vector<std::unique_ptr<Gateway>> gateways;
        for (int i = 0; i < 24; ++i) {
            gateways.emplace_back(new Gateway);
            ASSERT_TRUE(gateways.back()->Start(Tagged(i, "all-" + std::to_string(round) + "-" + std::to_string(i))));
        }
        usleep(useconds_t(1000 + 2000 * round));
        kill(-server().pid(), SIGKILL);
        for (auto& gateway : gateways) kill(gateway->pid(), SIGKILL);
        for (auto& gateway : gateways) gateway->Finish(kBound);
        server().KillAll();
        EXPECT_NE("", Objects()) << "the killed processes leave their objects";
        // Nobody is there: the next gateway is told so at once.
        TaggedRequest request = Tagged(round, "nobody-" + std::to_string(round));
        Gateway alone;
        ASSERT_TRUE(alone.Start(request));
        ExpectOutcome(alone, request, Outcome::Communication, "no server task");
        ASSERT_NO_FATAL_FAILURE(StartServer(4));
        ExpectServed(5, "started-again");
        ExpectAtRest(4);
        StopServerCleanly();
        server().RemoveFiles();
    }
}

}  // namespace
