// The persistent client, the handover of a request that its server never
// took, the causes that failures carry, and many threads of one process
// calling at once, all between real processes under base names of each
// test's own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "except.h"
#include "ipc_harness.h"
#include "mempipe.h"
#include "os.h"
#include "pipe_client.h"
#include "spin_wait.h"

using namespace ipctest;

namespace {

const unsigned long kBlock = 8192;

// One call through a kept client; the answer as text.
int CallWith(PipeClient& client, const std::string& request, std::string* answer) {
    std::vector<unsigned char> reply(kBlock);
    unsigned long length = 0;
    int ok = client.Call(request.data(), request.size(), reply.data(), reply.size(), &length);
    if (answer) answer->assign(reinterpret_cast<char*>(reply.data()), std::min<unsigned long>(length, reply.size()));
    return ok;
}

std::string FailureText(const IpcFailure& failure) {
    char text[IpcFailure::kTextSize];
    return failure.Text(text, sizeof text);
}

// The value of a slot's request event: 0 once a request waits in it.
int RequestEventValue(const std::string& base, int slot) {
    MHandlePtr set(OpenSetUx((base + ".csm." + std::to_string(slot)).c_str(), MH_SEM));
    return set ? SemaphoreValueUx(set.get()) : -1;
}

// True while the slot's server waits in Connect for its next request.
bool ServerWaits(const std::string& base, int slot) {
    MHandlePtr set(OpenSetUx((base + ".csm." + std::to_string(slot)).c_str(), MH_SEM));
    return set && EventHasWaiterUx(set.get()) == 1;
}

bool WaitFor(const std::function<bool()>& done, double seconds) { return kit::WaitUntil(done, seconds, 2); }

// True once every thread of the process has stopped: a signal to stop is
// sent at once but taken a moment later, and until then the process runs.
bool AllThreadsStopped(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return false;
    bool stopped = true;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        FILE* stat = std::fopen((tasks + "/" + entry->d_name + "/stat").c_str(), "r");
        char text[512] = {};
        if (stat) {
            if (!std::fgets(text, sizeof text, stat)) text[0] = 0;
            std::fclose(stat);
        }
        const char* close = std::strrchr(text, ')');
        stopped = stopped && close && (close[2] == 'T' || close[2] == 't');
    }
    closedir(dir);
    return stopped;
}

class PipeClientTest : public IpcTest {};

TEST_F(PipeClientTest, OneClientServesManyCallsAndFollowsARestartedServerTask) {
    PipeClient client(base.c_str());
    std::string answer;
    EXPECT_EQ(0, CallWith(client, "Enobody", &answer)) << "no server yet";

    Server first = Track(StartServer(base, kBlock));
    ASSERT_GT(first.pid, 0);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(1, CallWith(client, "E" + std::to_string(i), &answer)) << FailureText(client.Failure());
        EXPECT_EQ("0:E" + std::to_string(i), answer);
    }
    // The server registers anew in its own process (another keeps the sets):
    // the same slot, a new block, within the same second. The kept client
    // writes its next requests into the new block.
    Server beside = Track(StartServer(base, kBlock));
    ASSERT_GT(beside.pid, 0);
    ASSERT_EQ(1, CallWith(client, "Rrenew", &answer)) << FailureText(client.Failure());
    EXPECT_EQ("0:Rrenew", answer);
    ASSERT_TRUE(beside.Stop());
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(1, CallWith(client, "Eafter", &answer)) << FailureText(client.Failure());
        EXPECT_EQ("0:Eafter", answer);
    }
    // The last server's end removes every object; a new start makes new ones
    // under the same names. The kept client notices within its next call.
    ASSERT_TRUE(first.Stop());
    ExpectNothingLeft();
    Server second = Track(StartServer(base, kBlock));
    ASSERT_GT(second.pid, 0);
    ASSERT_EQ(1, CallWith(client, "Eagain", &answer)) << FailureText(client.Failure());
    EXPECT_EQ("0:Eagain", answer);

    // A crashed task and a new start: the crash leaves the objects, the new
    // server clears them away and makes its own.
    kill(second.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, proc::Wait(second.pid, 10));
    Server third = Track(StartServer(base, kBlock));
    ASSERT_GT(third.pid, 0);
    ASSERT_EQ(1, CallWith(client, "Ecrash", &answer)) << FailureText(client.Failure());
    EXPECT_EQ("0:Ecrash", answer);
    EXPECT_TRUE(third.Stop());
    ExpectNothingLeft();

    // A server the client has served with, killed: the next call finds it
    // gone while it waits and goes to the other server.
    Server known = Track(StartServer(base, kBlock));
    Server other = Track(StartServer(base, kBlock));
    ASSERT_GT(known.pid, 0);
    ASSERT_GT(other.pid, 0);
    ASSERT_EQ(1, CallWith(client, "Eknown", &answer)) << FailureText(client.Failure());
    EXPECT_EQ("0:Eknown", answer);
    kill(known.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, proc::Wait(known.pid, 10));
    double start = kit::Now();
    ASSERT_EQ(1, CallWith(client, "Emoved", &answer)) << FailureText(client.Failure());
    EXPECT_EQ("1:Emoved", answer);
    EXPECT_LT(kit::Now() - start, 5.0) << "a known server's death is found within the wait";
    EXPECT_TRUE(other.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeClientTest, FailuresCarryTheirCause) {
    PipeClient client(base.c_str());
    EXPECT_EQ(0, CallWith(client, "Ex", nullptr));
    EXPECT_EQ("semget " + base + ".sem: No such file or directory", FailureText(client.Failure()));

    SimplePipe pipe;
    unsigned char reply[16];
    unsigned long length = 0;
    EXPECT_EQ(0, pipe.Call(base.c_str(), const_cast<char*>("Ex"), 2, reply, sizeof reply, &length));
    EXPECT_EQ("semget " + base + ".sem: No such file or directory", FailureText(pipe.Failure()));

    Server server = Track(StartServer(base, 4096));
    ASSERT_GT(server.pid, 0);
    // The last row's caller spins for its answer, which never comes: the
    // spin runs out, and the wait after it finds the server gone.
    struct Row { std::string request; bool lost; spin::Mode mode; std::string cause; } rows[] = {
        {std::string(4093, 'L'), false, spin::Mode::Adaptive, ""},
        {"H", true, spin::Mode::Adaptive, ""},
        {"H", true, spin::Mode::Always, ""},
    };
    for (Row& r : rows) {
        if (r.lost && server.pid <= 0) {
            server = Track(StartServer(base, 4096));  // in the place of the one the row before killed
            ASSERT_GT(server.pid, 0);
        }
        r.cause = r.lost ? "server " + std::to_string(server.pid) + " ended while serving the request at " + base
                         : "request of 4093 bytes longer than the 4092 the pipe block carries at " + base;
        SCOPED_TRACE(r.cause);
        ASSERT_TRUE(WaitFor([&] { return ServerWaits(base, 0); }, 10));
        pid_t caller = Track(proc::Spawn([&] {
            spin::SetProcessMode(r.mode);
            PipeClient own(base.c_str());
            if (CallWith(own, r.request, nullptr)) return 1;
            return FailureText(own.Failure()) == r.cause ? 0 : 2;
        }));
        if (r.request == "H") {
            // Taken: claimed by the caller, the event clear again and nobody
            // waiting on it (before the caller's post the event is clear too,
            // and a loaded server may be between two slices of its wait).
            auto taken = [&] {
                ServerMonitor monitor;
                return monitor.Inspect(base.c_str()) && monitor.Block()->servers[0].clientPid == caller &&
                       RequestEventValue(base, 0) == 1 && !ServerWaits(base, 0);
            };
            ASSERT_TRUE(WaitFor([&] { return taken() && (usleep(50000), taken()); }, 10));
            kill(server.pid, SIGKILL);
            proc::Wait(server.pid, 10);
            server.pid = -1;
        }
        EXPECT_EQ(0, proc::Wait(caller, 20));
    }
    // A pipe that cannot be made says why.
    try {
        SimplePipe bad;
        bad.Create(base.c_str(), 2, 2);
        ADD_FAILURE() << "a block of 2 bytes was made";
    } catch (const IPCexc& e) {
        EXPECT_EQ("pipe block smaller than its length word for " + base, std::string(e.Cause()));
    }
}

// The attachments of System V segments this process holds, by key.
int AttachedSegments(key_t key) {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return -1;
    char line[512], name[32];
    std::snprintf(name, sizeof name, "/SYSV%08x", unsigned(key));
    int count = 0;
    while (std::fgets(line, sizeof line, maps))
        if (std::strstr(line, name)) ++count;
    std::fclose(maps);
    return count;
}

// A client checks the counters when it opens the registry, but attaches
// them only when it has something to count: a call that succeeds at once
// leaves them alone, a refused one is counted.
TEST_F(PipeClientTest, TheCountersAreAttachedAtTheFirstCount) {
    Server server = Track(StartServer(base, kBlock));
    ASSERT_GT(server.pid, 0);
    EXPECT_EQ("", AskChild([&]() -> std::string {
        key_t counters = ftok((base + ".stats").c_str(), kTokenId);
        PipeClient client(base.c_str());
        std::string answer;
        if (CallWith(client, "Eone", &answer) != 1 || answer != "0:Eone") return "the call failed";
        if (AttachedSegments(counters) != 0) return "the counters were attached for a call that counts nothing";
        if (CallWith(client, std::string(kBlock, 'L'), nullptr) != 0) return "a request too long was sent";
        if (AttachedSegments(counters) != 1) return "the counters were not attached for a refused call";
        ServerMonitor monitor;
        if (!monitor.Inspect(base.c_str()) || !monitor.Counters().Block()) return "no counters";
        uint64_t refused = LoadCounter(monitor.Counters().Block()->failures[int(ExchangeFailure::Refused)]);
        return refused == 1 ? "" : "refused calls counted: " + std::to_string(refused);
    }));
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

// A side that spins for what it waits for works with one that sleeps, both
// ways: the semaphores' sequence is the same. What a spinning side watches
// may not change: a request as long as the last answer (the pipe's watch of
// the block), an answer as long as its request without counters (the
// client's watch): the spin then runs out and the side sleeps for it, and
// the exchange is still its own. A spinning client takes some answer
// without sleeping (a bound that only shows the spin ran: it calls until
// one came within the spin or the bound is reached).
TEST_F(PipeClientTest, ASpinningSideWorksWithASleepingOneBothWays) {
    using spin::Mode;
    const std::string canned(24, 'c');  // the answer to every request of the last row
    struct Row {
        const char* what;
        Mode client, server;
        bool counters;     // the server makes the counters, which the client watches
        bool sameLength;   // every other request as long as the answer before it, or its own answer
    } rows[] = {
        {"spinning client, sleeping server", Mode::Always, Mode::Off, true, false},
        {"sleeping client, spinning server", Mode::Off, Mode::Always, true, false},
        {"both spinning", Mode::Always, Mode::Always, true, false},
        {"both spinning, requests as long as the last answer", Mode::Always, Mode::Always, true, true},
        {"both spinning, no counters, answers as long as the requests", Mode::Always, Mode::Always, false, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        bool cannedRow = !r.counters;
        // The server's process is forked with the mode and the environment.
        spin::SetProcessMode(r.server);
        if (!r.counters) setenv("VELMOX_COUNTERS", "off", 1);
        Server server = Track(cannedRow ? StartCannedServer(base, kBlock, canned) : StartServer(base, kBlock));
        unsetenv("VELMOX_COUNTERS");
        ASSERT_GT(server.pid, 0);
        spin::SetProcessMode(r.client);
        PipeClient client(base.c_str());
        bool spins = r.client == Mode::Always;
        std::string answer;
        for (int k = 0; k < 200 || (spins && client.AnswerSpin().Hits() == 0 && k < 20000); ++k) {
            std::string request = "E" + std::to_string(k);
            if (r.sameLength && k % 2 == 1) request.resize(cannedRow ? canned.size() : answer.size(), 'x');
            ASSERT_EQ(1, CallWith(client, request, &answer)) << FailureText(client.Failure());
            ASSERT_EQ(cannedRow ? canned : "0:" + request, answer);
        }
        if (spins) EXPECT_GT(client.AnswerSpin().Hits(), 0u);
        else EXPECT_EQ(0u, client.AnswerSpin().Spins());
        EXPECT_TRUE(server.Stop());
        ExpectNothingLeft();
    }
    spin::SetProcessMode(Mode::Adaptive);
}

// A request that its server never took goes to another server; one that it
// took never does.
class HandoverTest : public IpcTest {
protected:
    void ReplacePipesOneByOneUnderLoad();
};

TEST_F(HandoverTest, AServerKilledBetweenClaimAndTakeLeavesTheRequestToAnother) {
    Server doomed = Track(StartServer(base, kBlock));
    Server other = Track(StartServer(base, kBlock));
    ASSERT_GT(doomed.pid, 0);
    ASSERT_GT(other.pid, 0);
    kill(doomed.pid, SIGSTOP);  // slot 0 cannot take what it is sent
    ASSERT_TRUE(WaitFor([&] { return AllThreadsStopped(doomed.pid); }, 10));
    pid_t caller = Track(proc::Spawn([&] {
        std::string answer;
        return CallOnce(base, "Emoved", &answer, kBlock) == 1 && answer == "1:Emoved" ? 0 : 1;
    }));
    ASSERT_TRUE(WaitFor([&] { return RequestEventValue(base, 0) == 0; }, 10)) << "the request never reached slot 0";
    kill(doomed.pid, SIGKILL);
    EXPECT_EQ(0, proc::Wait(caller, 20)) << "the call must be answered by slot 1";
    EXPECT_EQ(128 + SIGKILL, proc::Wait(doomed.pid, 10));
    EXPECT_TRUE(other.Stop());
    ExpectNothingLeft();
}

TEST_F(HandoverTest, AServerThatClosesBeforeTakingTheRequestPassesItOn) {
    Server closing = Track(StartServer(base, kBlock));
    Server other = Track(StartServer(base, kBlock));
    ASSERT_GT(closing.pid, 0);
    ASSERT_GT(other.pid, 0);
    // Slot 0 answers, then stays registered but out of Connect for a second
    // before it closes: the moment after a terminate message.
    std::string answer;
    ASSERT_EQ(1, CallOnce(base, "Z1000", &answer, kBlock));
    double start = kit::Now();
    ASSERT_EQ(1, CallOnce(base, "Epassed", &answer, kBlock));
    EXPECT_EQ("1:Epassed", answer) << "slot 0 was idle in the registry but closing";
    EXPECT_LT(kit::Now() - start, 5.0) << "handed over when slot 0 closed, not after its quiet wait";
    EXPECT_EQ(0, proc::Wait(closing.pid, 10));
    EXPECT_TRUE(other.Stop());
    ExpectNothingLeft();
}

TEST_F(HandoverTest, AnAnswerGivenIsDeliveredThoughItsServerDiesAtOnce) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Server quitter = Track(StartServer(base, kBlock));
        ASSERT_GT(quitter.pid, 0);
        std::string answer;
        EXPECT_EQ(1, CallOnce(base, "Qlast", &answer, kBlock));
        EXPECT_EQ("0:Qlast", answer);
        EXPECT_EQ(0, proc::Wait(quitter.pid, 10));
    }
    RemoveEverything(base);  // the quitter left its objects, as a crash does
}

// Four pipes in one process, stopped by four terminate messages one after
// another from that process: each message is answered by a pipe that still
// serves, none is lost on a pipe already closing, and nothing is left.
TEST_F(HandoverTest, FourTerminateMessagesOneAfterAnotherStopFourPipes) {
    pid_t task = Track(proc::Spawn([&] {
        const int kPipes = 4;
        std::atomic<int> ready{0};
        std::vector<std::thread> pipes;
        for (int i = 0; i < kPipes; ++i) {
            pipes.emplace_back([&] {
                MemoryPipe pipe;
                if (!pipe.Create(base.c_str(), kBlock)) return;
                ++ready;
                char buffer[64];
                while (pipe.Connect()) {
                    unsigned long got = 0;
                    pipe.Read(buffer, sizeof buffer, &got);
                    pipe.Write(const_cast<char*>("bye"), 3);
                    pipe.Disconnect();
                    if (got == 0) break;
                }
                pipe.Close();
            });
        }
        if (!WaitFor([&] { return ready == kPipes; }, 20)) _exit(3);
        int answered = 0;
        for (int i = 0; i < kPipes; ++i) {
            MemoryPipe sender;
            answered += sender.SendTerminateMessage(base.c_str());
        }
        for (std::thread& t : pipes) t.join();
        return answered == kPipes ? 0 : 10 + answered;
    }));
    EXPECT_EQ(0, proc::Wait(task, 60)) << "exit 10 + n: only n of four messages were answered";
    ExpectNothingLeft();
}

// Pipes replaced one by one under load, as a rolling restart does it: no
// call fails and every answer is its own; also while every pipe and client
// spins (each pipe stopped while it watches for its next request).
TEST_F(HandoverTest, PipesReplacedOneByOneUnderLoadFailNoCall) {
    for (spin::Mode mode : {spin::Mode::Adaptive, spin::Mode::Always}) {
        SCOPED_TRACE(mode == spin::Mode::Always ? "spinning" : "adaptive");
        spin::SetProcessMode(mode);  // for every process forked below
        ReplacePipesOneByOneUnderLoad();
    }
    spin::SetProcessMode(spin::Mode::Adaptive);
}

void HandoverTest::ReplacePipesOneByOneUnderLoad() {
    std::vector<Server> servers;
    for (int i = 0; i < 3; ++i) {
        servers.push_back(Track(StartServer(base, kBlock)));
        ASSERT_GT(servers.back().pid, 0);
    }
    // A flag the clients share with this process (a pipe's end would be
    // inherited by the servers started later, and never close).
    void* shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, shared);
    std::atomic<int>* stop = new (shared) std::atomic<int>(0);
    std::vector<pid_t> clients;
    for (int c = 0; c < 6; ++c) {
        clients.push_back(Track(proc::Spawn([&, c] {
            PipeClient client(base.c_str());
            for (int k = 0; !stop->load(); ++k) {
                std::string tag = "E" + std::to_string(c) + "-" + std::to_string(k);
                std::string answer;
                if (!CallWith(client, tag, &answer)) return 10;
                size_t colon = answer.find(':');
                if (colon == std::string::npos || answer.substr(colon + 1) != tag) return 11;
            }
            return 0;
        })));
    }
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        servers.push_back(Track(StartServer(base, kBlock)));
        ASSERT_GT(servers.back().pid, 0);
        usleep(50 * 1000);
        EXPECT_TRUE(servers.front().Stop());
        servers.erase(servers.begin());
    }
    stop->store(1);
    for (pid_t pid : clients) EXPECT_EQ(0, proc::Wait(pid, 60)) << "10: a call failed, 11: a foreign answer";
    for (Server& s : servers) EXPECT_TRUE(s.Stop());
    munmap(shared, sizeof(std::atomic<int>));
    ExpectNothingLeft();
}

// Sixteen threads of one process, each with its own client, calling at once
// against four server processes: every answer is its own.
TEST_F(PipeClientTest, SixteenThreadsOfOneProcessEachGetTheirOwnAnswers) {
    const int kServers = 4, kThreads = 16;
    const int kCalls = VELMOX_THREADED_CALLS;
    std::vector<Server> servers;
    for (int i = 0; i < kServers; ++i) {
        servers.push_back(Track(StartServer(base, kBlock)));
        ASSERT_GT(servers.back().pid, 0);
    }
    std::atomic<int> failed{0}, foreign{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            PipeClient client(base.c_str());
            for (int k = 0; k < kCalls; ++k) {
                std::string tag = "E" + std::to_string(t) + "-" + std::to_string(k);
                std::string answer;
                if (!CallWith(client, tag, &answer)) {
                    ++failed;
                    continue;
                }
                size_t colon = answer.find(':');
                int slot = std::atoi(answer.c_str());
                if (colon == std::string::npos || answer.substr(colon + 1) != tag || slot < 0 || slot >= kServers)
                    ++foreign;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, foreign.load());

    // Afterwards every server is idle and counted free again.
    ServerMonitor monitor;
    ASSERT_EQ(1, monitor.Inspect(base.c_str()));
    EXPECT_EQ(kServers, monitor.FreeServerCount());
    monitor.Detach();
    for (Server& s : servers) EXPECT_TRUE(s.Stop());
    ExpectNothingLeft();
}

}  // namespace
