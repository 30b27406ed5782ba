// Processes that die or stop at awkward moments: nothing they held may block
// the others for good, no client may hang on a dead server, and a server
// starting after a crash cleans up and serves.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "ipc_harness.h"
#include "mempipe.h"
#include "opsys.h"

using namespace ipctest;

namespace {

class PipeFaultTest : public IpcTest {
protected:
    // Runs `hold` in a child that then reports and waits to be killed; returns
    // the child once it holds what it took.
    pid_t Holder(const std::function<bool()>& hold) {
        int ready[2];
        if (pipe(ready) != 0) return -1;
        pid_t pid = Track(proc::Spawn([&] {
            close(ready[0]);
            bool ok = hold();
            (void)!write(ready[1], ok ? "H" : "F", 1);
            for (;;) pause();
            return 0;
        }));
        close(ready[1]);
        char state = 0;
        bool held = read(ready[0], &state, 1) == 1 && state == 'H';
        close(ready[0]);
        EXPECT_TRUE(held) << "the holder could not take what it should hold";
        return pid;
    }

    void Kill(pid_t pid, int signal = SIGKILL) {
        kill(pid, signal);
        EXPECT_EQ(128 + signal, proc::Wait(pid, 10));
    }

    // Every registered slot idle and the free-server count equal to them.
    void ExpectRegistryAtRest(uint32_t servers) {
        ServerMonitor monitor;
        ASSERT_EQ(1, monitor.InitClient(base.c_str()));
        ServerList list;
        ASSERT_EQ(1, monitor.GetServerList(list));
        EXPECT_EQ(servers, list.count);
        for (int i = 0; i < kMaxServers; ++i)
            if (list.servers[i].index == i) {
                EXPECT_EQ(-1, list.servers[i].clientPid) << "slot " << i;
            }
        // This monitor holds one unit; the count holds the others.
        EXPECT_EQ(int(servers) - 1, monitor.FreeServerCount());
        monitor.GiveBackUnit();
        monitor.Detach();
    }
};

TEST_F(PipeFaultTest, DeadClientsHoldingTheLockTheClaimOrTheMutexBlockNobody) {
    Server server = Track(StartServer(base, 4096));
    ASSERT_GT(server.pid, 0);
    const std::string name = base;
    struct Row { const char* what; std::function<bool()> hold; } rows[] = {
        {"registry lock", [name] {
             ServerMonitor m;
             return m.InitClient(name.c_str()) && m.Lock(kRegistryLockMs);
         }},
        {"claim", [name] {
             ServerMonitor m;
             ServerID id;
             return m.InitClient(name.c_str()) && m.GetServer(id);
         }},
        {"claim and server mutex", [name] {
             ServerMonitor m;
             ServerID id;
             MHandle* mutex = nullptr;
             char buffer[kNameBufferSize];
             return m.InitClient(name.c_str()) && m.GetServer(id) &&
                    OpSys::OpenMutex(id.ServerMutexName(buffer, name.c_str()), mutex);
         }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        pid_t holder = Holder(r.hold);
        Kill(holder);
        std::string answer;
        EXPECT_EQ(1, CallOnce(base, "Eafter", &answer, 4096));
        EXPECT_EQ("0:Eafter", answer);
        ExpectRegistryAtRest(1);
    }
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeFaultTest, AClientKilledMidExchangeLeavesTheNextOneItsOwnAnswer) {
    Server server = Track(StartServer(base, 4096));
    ASSERT_GT(server.pid, 0);
    pid_t victim = Track(proc::Spawn([&] {
        std::string answer;
        CallOnce(base, "S1500:victim", &answer, 4096);
        return 0;
    }));
    usleep(300 * 1000);  // the server is busy with the victim's request now
    Kill(victim);
    // The next client waits for the server to finish the dead client's
    // request and then gets its own answer, never the victim's.
    std::string answer;
    EXPECT_EQ(1, CallOnce(base, "Enext", &answer, 4096));
    EXPECT_EQ("0:Enext", answer);
    ExpectRegistryAtRest(1);
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeFaultTest, AStoppedClientHoldsOnlyItsOwnServer) {
    Server first = Track(StartServer(base, 4096));
    Server second = Track(StartServer(base, 4096));
    ASSERT_GT(first.pid, 0);
    ASSERT_GT(second.pid, 0);
    pid_t stopped = Holder([&] {
        ServerMonitor m;
        ServerID id;
        return m.InitClient(base.c_str()) && m.GetServer(id);
    });
    kill(stopped, SIGSTOP);
    std::string answer;
    EXPECT_EQ(1, CallOnce(base, "Eother", &answer, 4096));
    EXPECT_EQ("1:Eother", answer) << "slot 0 stays claimed by a live client";
    kill(stopped, SIGCONT);
    Kill(stopped);
    EXPECT_TRUE(first.Stop());
    EXPECT_TRUE(second.Stop());
    ExpectNothingLeft();
}

// The server dies under a client that waits for its answer, or under one
// that waits for a free server (a stopped client holds the only one, so
// nobody will give a unit back): either client fails within seconds, not
// after the free-server wait's minute.
TEST_F(PipeFaultTest, AServerKilledMidExchangeFailsItsClientInsteadOfHangingIt) {
    struct Row { const char* what; bool stoppedHolder; const char* request; } rows[] = {
        {"waiting for its answer", false, "H"},
        {"waiting for a free server", true, "Ewait"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Server server = Track(StartServer(base, 4096));
        ASSERT_GT(server.pid, 0);
        pid_t stopped = -1;
        if (r.stoppedHolder) {
            stopped = Holder([&] {
                ServerMonitor m;
                ServerID id;
                return m.InitClient(base.c_str()) && m.GetServer(id);
            });
            kill(stopped, SIGSTOP);
        }
        pid_t client = Track(proc::Spawn([&] {
            std::string answer;
            return CallOnce(base, r.request, &answer, 4096) == 0 ? 0 : 1;
        }));
        usleep(300 * 1000);
        kill(server.pid, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, proc::Wait(server.pid, 10));
        EXPECT_EQ(0, proc::Wait(client, 15)) << "the client must fail within a few seconds";
        if (stopped > 0) {
            kill(stopped, SIGCONT);
            Kill(stopped);
        }

        // A server started after the crash serves, and its end leaves nothing.
        Server next = Track(StartServer(base, 4096));
        ASSERT_GT(next.pid, 0);
        std::string answer;
        EXPECT_EQ(1, CallOnce(base, "Eagain", &answer, 4096));
        EXPECT_EQ("0:Eagain", answer);
        ExpectRegistryAtRest(1);
        EXPECT_TRUE(next.Stop());
        ExpectNothingLeft();
    }
}

TEST_F(PipeFaultTest, ACrashedServerIsSkippedAndCleanedUp) {
    Server doomed = Track(StartServer(base, 4096));
    Server survivor = Track(StartServer(base, 4096));
    ASSERT_GT(doomed.pid, 0);
    ASSERT_GT(survivor.pid, 0);
    kill(doomed.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, proc::Wait(doomed.pid, 10));
    std::string answer;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(1, CallOnce(base, "Ex", &answer, 4096));
        EXPECT_EQ("1:Ex", answer);
    }
    ExpectRegistryAtRest(1);
    EXPECT_TRUE(survivor.Stop());
    ExpectNothingLeft();

    // Everything killed at once; a new start needs no manual cleanup.
    Server a = Track(StartServer(base, 4096));
    Server b = Track(StartServer(base, 4096));
    kill(a.pid, SIGKILL);
    kill(b.pid, SIGKILL);
    proc::Wait(a.pid, 10);
    proc::Wait(b.pid, 10);
    EXPECT_FALSE(ObjectsLeft(base).empty()) << "a crash leaves the objects";
    // With no server alive a client is told so at once, not after the minute
    // it would wait for a busy one.
    pid_t client = Track(proc::Spawn([&] { return CallOnce(base, "Enobody", nullptr, 4096) == 0 ? 0 : 1; }));
    EXPECT_EQ(0, proc::Wait(client, 20));
    Server fresh = Track(StartServer(base, 4096));
    ASSERT_GT(fresh.pid, 0);
    EXPECT_EQ(1, CallOnce(base, "Efresh", &answer, 4096));
    EXPECT_EQ("0:Efresh", answer);
    ExpectRegistryAtRest(1);
    EXPECT_TRUE(fresh.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeFaultTest, HalfARegistryLeftByACrashIsCleanedUp) {
    struct Row { const char* what; std::function<void()> leave; } rows[] = {
        {"registry mutex set only", [&] { FreeHandleUx(CreateSemaphoreUx(0, 1, 0, (base + ".0").c_str(), MH_MUTEX)); }},
        {"registry block only", [&] {
             MHandle* h = CreateFileMappingUx(nullptr, 0, 0, 0, kRegistrySize, (base + ".0").c_str());
             void* view = MapViewOfFileUx(h, 0, 0, 0, 0);
             std::memset(view, 0x5A, kRegistrySize);
             UnmapViewOfFileUx(view);
             FreeHandleUx(h);
         }},
        {"count and pipe sets only", [&] {
             FreeHandleUx(CreateSemaphoreUx(0, 3, 1, (base + ".sem.0").c_str(), MH_CSEM));
             FreeHandleUx(CreateSemaphoreUx(0, 0, 0, (base + ".mtx.0").c_str(), MH_MUTEX));
             FreeHandleUx(CreateSemaphoreUx(0, 0, 1, (base + ".ssm.0").c_str(), MH_SEM));
         }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        r.leave();
        Server server = Track(StartServer(base, 4096));
        ASSERT_GT(server.pid, 0);
        std::string answer;
        EXPECT_EQ(1, CallOnce(base, "Ehalf", &answer, 4096));
        EXPECT_EQ("0:Ehalf", answer);
        ExpectRegistryAtRest(1);
        EXPECT_TRUE(server.Stop());
        ExpectNothingLeft();
    }
}

TEST_F(PipeFaultTest, AServerStartingWhileTheLastOneClosesServes) {
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Server last = Track(StartServer(base, 4096));
        ASSERT_GT(last.pid, 0);
        (void)!write(last.control, "x", 1);  // closes while the next one starts
        Server next = Track(StartServer(base, 4096));
        ASSERT_GT(next.pid, 0);
        EXPECT_EQ(0, proc::Wait(last.pid, 20));
        std::string answer;
        EXPECT_EQ(1, CallOnce(base, "Enext", &answer, 4096));
        EXPECT_EQ(":Enext", answer.substr(answer.find(':'))) << "whichever slot it got";
        EXPECT_TRUE(next.Stop());
        close(last.control);
        ExpectNothingLeft();
    }
}

// Servers that die while clients have reserved every free server: the count
// of free servers still equals the idle servers once the dead ones are gone,
// and a server that starts after all of them died counts only itself.
TEST_F(PipeFaultTest, ServersDyingWhileEveryFreeServerIsReservedLeaveTheCountRight) {
    const std::string name = base;
    auto reserveAndClaim = [name] {
        ServerMonitor m;
        ServerID id;
        return m.InitClient(name.c_str()) && m.GetServer(id);
    };
    Server first = Track(StartServer(base, 4096));
    Server second = Track(StartServer(base, 4096));
    ASSERT_GT(first.pid, 0);
    ASSERT_GT(second.pid, 0);
    pid_t holders[2] = {Holder(reserveAndClaim), Holder(reserveAndClaim)};
    Kill(first.pid);
    for (pid_t holder : holders) Kill(holder);
    std::string answer;
    EXPECT_EQ(1, CallOnce(base, "Esurvivor", &answer, 4096));
    EXPECT_EQ("1:Esurvivor", answer);
    ExpectRegistryAtRest(1);

    // Now every server dies while its units are reserved, and a client finds
    // them all dead; the next server to start counts only itself.
    Server third = Track(StartServer(base, 4096));
    ASSERT_GT(third.pid, 0);
    holders[0] = Holder(reserveAndClaim);
    holders[1] = Holder(reserveAndClaim);
    Kill(second.pid);
    Kill(third.pid);
    for (pid_t holder : holders) Kill(holder);
    EXPECT_EQ(0, CallOnce(base, "Enobody", nullptr, 4096));
    Server fresh = Track(StartServer(base, 4096));
    ASSERT_GT(fresh.pid, 0);
    EXPECT_EQ(1, CallOnce(base, "Efresh", &answer, 4096));
    EXPECT_EQ(":Efresh", answer.substr(answer.find(':')));
    ExpectRegistryAtRest(1);
    EXPECT_TRUE(fresh.Stop());
    ExpectNothingLeft();
}

// A process that has ended but is not reaped yet (its parent, a web server
// or a supervisor, has not come to it) still answers kill(). It holds
// nothing: its claim is taken over, and a server in that state is skipped
// instead of waited for.
TEST_F(PipeFaultTest, EndedButUnreapedClientsAndServersHoldNothing) {
    Server answering = Track(StartServer(base, 4096));
    Server dying = Track(StartServer(base, 4096));
    ASSERT_GT(answering.pid, 0);
    ASSERT_GT(dying.pid, 0);
    // Slot 0 claimed by a client that is killed and left unreaped.
    const std::string name = base;
    pid_t client = Holder([name] {
        ServerMonitor m;
        ServerID id;
        return m.InitClient(name.c_str()) && m.GetServer(id) && id.index == 0;
    });
    kill(client, SIGKILL);
    ASSERT_FALSE(proc::StillRunning(client, 10));
    // Slot 1's server killed and left unreaped as well: only slot 0's server
    // can answer, once its dead client's claim is taken over.
    kill(dying.pid, SIGKILL);
    ASSERT_FALSE(proc::StillRunning(dying.pid, 10));
    pid_t caller = Track(proc::Spawn([&] {
        std::string answer;
        return CallOnce(base, "Eunreaped", &answer, 4096) == 1 && answer == "0:Eunreaped" ? 0 : 1;
    }));
    EXPECT_EQ(0, proc::Wait(caller, 20)) << "the call must reach slot 0's server within its bound";
    EXPECT_EQ(128 + SIGKILL, proc::Wait(client, 10));
    EXPECT_EQ(128 + SIGKILL, proc::Wait(dying.pid, 10));
    ExpectRegistryAtRest(1);
    EXPECT_TRUE(answering.Stop());
    ExpectNothingLeft();
}

}  // namespace
