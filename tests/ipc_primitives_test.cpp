// The System V layer, the primitives and the registry, each against real
// objects of a base name of the test's own.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/ipc.h>
#include <csignal>
#include <ctime>
#include <unistd.h>

#include <thread>
#include <vector>

#include "ipc_harness.h"
#include "mempipe.h"
#include "opsys.h"
#include "ux_mem.h"

using namespace ipctest;

namespace {

class UxTest : public IpcTest {
protected:
    std::string Sem(const char* suffix) { return base + suffix; }
};

TEST_F(UxTest, NamesSplitIntoKeyFileAndMember) {
    MHandle handle = {MH_MUTEX, 0, 0, 0};
    std::string name = base + ".mtx.5";
    ASSERT_EQ(1, get_token(&handle, name.c_str()));
    EXPECT_EQ(5, handle.member);
    EXPECT_EQ(0, access((base + ".mtx").c_str(), F_OK)) << "the key file is made";
    EXPECT_EQ(ftok((base + ".mtx").c_str(), kTokenId), handle.key);

    MHandle segment = {MH_SHM, 0, 0, 0};
    std::string shm = base + ".shm.5";
    ASSERT_EQ(1, get_token(&segment, shm.c_str()));
    EXPECT_EQ(0, access(shm.c_str(), F_OK)) << "a segment name is its own key file";

    struct Row { const char* suffix; MH_t kind; int ok; } rows[] = {
        {"nostop", MH_SEM, 0},      // a semaphore name needs a full stop
        {".x.-1", MH_SEM, 0},       // no member -1 ...
        {".x.64", MH_MUTEX, 0},     // ... and none past the set
        {".x.63", MH_CSEM, 1},
        {".x.abc", MH_SEM, 1},      // no digits: member 0, as atoi reads it
    };
    for (const Row& r : rows) {
        MHandle h = {r.kind, 0, 0, 0};
        std::string n = r.suffix[0] == '.' ? base + r.suffix : "/tmp/" + std::string(r.suffix) + std::to_string(getpid());
        SCOPED_TRACE(n);
        EXPECT_EQ(r.ok, get_token(&h, n.c_str()));
        if (r.suffix[0] != '.') unlink(n.c_str());
    }
    unlink((base + ".x").c_str());
}

TEST_F(UxTest, CreateReportsAnExistingObjectWithEexist) {
    std::string name = base + ".csm.3";
    MHandle* first = CreateSemaphoreUx(0, 1, 1, name.c_str(), MH_SEM);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(nullptr, CreateSemaphoreUx(0, 1, 1, name.c_str(), MH_SEM));
    EXPECT_EQ(EEXIST, GetLastError());

    std::string shm = base + ".shm.0";
    MHandle* segment = CreateFileMappingUx(nullptr, 0, 0, 0, 4096, shm.c_str());
    ASSERT_NE(nullptr, segment);
    EXPECT_EQ(0, GetLastError());
    MHandle* again = CreateFileMappingUx(nullptr, 0, 0, 0, 4096, shm.c_str());
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(EEXIST, GetLastError());
    EXPECT_EQ(4096u, SegmentSizeUx(again));
    FreeHandleUx(again);
    EXPECT_EQ(nullptr, CreateFileMappingUx(nullptr, 0, 0, 0, 8192, shm.c_str())) << "an existing segment must be large enough";

    EXPECT_EQ(1, CloseHandleUx(segment));
    // Erasing through member 3 removes all 64 members.
    MHandle* member0 = OpenSemaphoreUx(0, 0, (base + ".csm.0").c_str(), MH_CSEM);
    ASSERT_NE(nullptr, member0);
    EXPECT_EQ(1, EraseSemStrUx(first));
    EXPECT_EQ(1000 == WaitForSingleObjectUx(member0, 0), false) << "the set is gone";
    FreeHandleUx(member0);
    ExpectNothingLeft();
}

TEST_F(UxTest, EventsMutexesAndCountsBehaveByKind) {
    std::string event = base + ".csm.1", mutex = base + ".mtx.1", count = base + ".sem.0";
    MHandle* e = CreateSemaphoreUx(0, 1, 1, event.c_str(), MH_SEM);
    MHandle* m = CreateSemaphoreUx(0, 1, 0, mutex.c_str(), MH_MUTEX);
    MHandle* c = CreateSemaphoreUx(0, 0, 1, count.c_str(), MH_CSEM);
    ASSERT_TRUE(e && m && c);

    // A signalled event is consumed by a wait and cleared again.
    EXPECT_EQ(1, ReleaseSemaphoreUx(e, 1, 0));
    EXPECT_EQ(UX_WAIT_OBJECT, WaitForSingleObjectUx(e, 0));
    // Opening an event clears it: a signal nobody waited for is lost.
    EXPECT_EQ(1, ReleaseSemaphoreUx(e, 1, 0));
    MHandle* reopened = OpenSemaphoreUx(0, 0, event.c_str(), MH_SEM);
    ASSERT_NE(nullptr, reopened);
    EXPECT_EQ(UX_WAIT_TIMEOUT, WaitForSingleObjectUx(e, 1000));
    FreeHandleUx(reopened);

    // Counting: units come and go one at a time.
    EXPECT_EQ(1, ReleaseSemaphoreUx(c, 1, 0));
    EXPECT_EQ(1, ReleaseSemaphoreUx(c, 1, 0));
    EXPECT_EQ(UX_WAIT_OBJECT, WaitForSingleObjectUx(c, 1000));
    EXPECT_EQ(UX_WAIT_OBJECT, WaitForSingleObjectUx(c, 1000));
    EXPECT_EQ(UX_WAIT_TIMEOUT, WaitForSingleObjectUx(c, 1000));

    // Opening a mutex takes it; another process waits until it is released.
    MHandle* held = OpenSemaphoreUx(0, 0, mutex.c_str(), MH_MUTEX);
    ASSERT_NE(nullptr, held);
    pid_t child = Track(proc::Spawn([&] {
        MHandle* mine = OpenSemaphoreTimedUx(mutex.c_str(), MH_MUTEX, 10000);
        return mine ? 0 : 1;
    }));
    EXPECT_TRUE(proc::StillRunning(child, 0.3)) << "the mutex is held";
    EXPECT_EQ(1, ReleaseSemaphoreUx(held, 1, 0));
    EXPECT_EQ(0, proc::Wait(child, 20));
    FreeHandleUx(held);

    // The child exited holding the mutex: the system gave it back.
    EXPECT_EQ(UX_WAIT_OBJECT, WaitForSingleObjectUx(m, 2000));
    EXPECT_EQ(1, EraseSemStrUx(e));
    EXPECT_EQ(1, EraseSemStrUx(m));
    EXPECT_EQ(1, EraseSemStrUx(c));
    ExpectNothingLeft();
}

void Ignore(int) {}

TEST_F(UxTest, TimedWaitsUseWholeSecondsCountedFromTheirStart) {
    std::string count = base + ".sem.0";
    MHandle* c = CreateSemaphoreUx(0, 0, 1, count.c_str(), MH_CSEM);
    ASSERT_NE(nullptr, c);

    double start = kit::Now();
    EXPECT_EQ(UX_WAIT_TIMEOUT, WaitForSingleObjectUx(c, 1500));
    double waited = kit::Now() - start;
    EXPECT_GE(waited, 0.9) << "1500 ms is one whole second";
    EXPECT_LT(waited, 5.0);

    // 999 ms sets no limit at all: this wait outlives it and gets its unit.
    pid_t releaser = Track(proc::Spawn([&] {
        usleep(1500 * 1000);
        MHandle* mine = OpenSemaphoreUx(0, 0, count.c_str(), MH_CSEM);
        return mine && ReleaseSemaphoreUx(mine, 1, 0) ? 0 : 1;
    }));
    EXPECT_EQ(UX_WAIT_OBJECT, WaitForSingleObjectUx(c, 999));
    EXPECT_EQ(0, proc::Wait(releaser, 20));

    // The core under these calls counts milliseconds: 300 ms is a limit, and
    // its end is a failure that says so.
    ipc::Sem units;
    IpcFailure failure;
    ASSERT_TRUE(ipc::OpenSet(count.c_str(), ipc::SemKind::Count, nullptr, units, failure)) << failure.call;
    start = kit::Now();
    EXPECT_FALSE(ipc::Take(units, ipc::Deadline::After(300), failure));
    waited = kit::Now() - start;
    EXPECT_TRUE(failure.TimedOut());
    EXPECT_EQ(count, failure.object);
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 3.0);

    // Another signal does not end a timed wait early, and the limit still
    // counts from the wait's start.
    struct sigaction action = {};
    action.sa_handler = Ignore;
    sigaction(SIGUSR1, &action, nullptr);
    pid_t self = getpid();
    pid_t pester = Track(proc::Spawn([&] {
        for (int i = 0; i < 5; ++i) {
            usleep(200 * 1000);
            kill(self, SIGUSR1);
        }
        return 0;
    }));
    start = kit::Now();
    EXPECT_EQ(UX_WAIT_TIMEOUT, WaitForSingleObjectUx(c, 2000));
    waited = kit::Now() - start;
    EXPECT_GE(waited, 1.8);
    EXPECT_LT(waited, 6.0);
    EXPECT_EQ(0, proc::Wait(pester, 20));
    signal(SIGUSR1, SIG_DFL);

    // A wait that fails for another reason leaves no alarm behind.
    EXPECT_EQ(1, EraseSemStrUx(c));
    MHandle gone = {MH_CSEM, -1, 0, 0};
    EXPECT_EQ(UX_WAIT_FAILED, WaitForSingleObjectUx(&gone, 3000));
    EXPECT_EQ(0u, alarm(0));
    ExpectNothingLeft();
}

// The library's timed waits leave the host program's alarm timer and signal
// dispositions alone, and threads of one process wait at once, each with
// its own limit.
TEST_F(UxTest, TimedWaitsLeaveTheAlarmAloneAndRunInManyThreadsAtOnce) {
    MHandle* c = CreateSemaphoreUx(0, 0, 1, (base + ".sem.0").c_str(), MH_CSEM);
    ASSERT_NE(nullptr, c);
    struct sigaction before = {};
    sigaction(SIGALRM, nullptr, &before);
    alarm(60);
    EXPECT_EQ(UX_WAIT_TIMEOUT, WaitForSingleObjectUx(c, 1500));
    unsigned left = alarm(0);
    EXPECT_GE(left, 55u) << "the host's alarm was cancelled or moved";
    struct sigaction after = {};
    sigaction(SIGALRM, nullptr, &after);
    EXPECT_EQ(before.sa_handler, after.sa_handler) << "a handler for the alarm signal was installed";

    struct Row { unsigned long ms; double least, most; } rows[] = {{1500, 0.9, 1.8}, {3000, 2.9, 4.5}, {2000, 1.9, 3.2}};
    double waited[3] = {0, 0, 0};
    int results[3] = {0, 0, 0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            MHandlePtr mine(OpenSetUx((base + ".sem.0").c_str(), MH_CSEM));
            double start = kit::Now();
            results[i] = WaitForSingleObjectUx(mine.get(), rows[i].ms);
            waited[i] = kit::Now() - start;
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("a wait of " + std::to_string(rows[i].ms) + " ms");
        EXPECT_EQ(UX_WAIT_TIMEOUT, results[i]);
        EXPECT_GE(waited[i], rows[i].least);
        EXPECT_LT(waited[i], rows[i].most);
    }
    EXPECT_EQ(1, EraseSemStrUx(c));
    ExpectNothingLeft();
}

// A set removed under a wait fails the wait at once, as a failure with its
// cause, never as a time-out.
TEST_F(UxTest, ARemovedSetIsAFailureNotATimeOut) {
    std::string name = base + ".sem.0";
    MHandle* c = CreateSemaphoreUx(0, 0, 1, name.c_str(), MH_CSEM);
    ASSERT_NE(nullptr, c);
    MHandlePtr waiter(OpenSetUx(name.c_str(), MH_CSEM));
    int result = -1;
    IpcFailure cause;
    double waited = 0;
    std::thread wait([&] {
        double start = kit::Now();
        result = OpSys::WaitForSemaphore(waiter.get(), 30000);
        waited = kit::Now() - start;
        cause = LastFailureUx();
    });
    usleep(300 * 1000);
    EXPECT_EQ(1, EraseSemStrUx(c));
    wait.join();
    EXPECT_EQ(OS_WAIT_FAILED, result);
    EXPECT_LT(waited, 5.0);
    EXPECT_TRUE(cause.error == EIDRM || cause.error == EINVAL) << cause.error;
    EXPECT_STREQ(name.c_str(), cause.object);
    // And a wait on it afterwards.
    EXPECT_EQ(OS_WAIT_FAILED, OpSys::WaitForSemaphore(waiter.get(), 2000));
    ExpectNothingLeft();
}

// A signalled event stays signalled when the process that signalled it
// ends; a count's or a mutex's units of a dead process come back.
TEST_F(UxTest, AnEventsSignalOutlivesItsGiver) {
    std::string event = base + ".ssm.2", count = base + ".sem.0";
    MHandle* e = CreateSemaphoreUx(0, 1, 1, event.c_str(), MH_SEM);
    MHandle* c = CreateSemaphoreUx(0, 1, 1, count.c_str(), MH_CSEM);
    ASSERT_TRUE(e && c);
    pid_t giver = Track(proc::Spawn([&] {
        MHandlePtr mine(OpenSetUx(event.c_str(), MH_SEM));
        MHandlePtr units(OpenSetUx(count.c_str(), MH_CSEM));
        return ReleaseSemaphoreUx(mine.get(), 1, 0) && WaitForSliceUx(units.get(), 0) == UX_WAIT_OBJECT ? 0 : 1;
    }));
    EXPECT_EQ(0, proc::Wait(giver, 10));
    EXPECT_EQ(UX_WAIT_OBJECT, WaitForSliceUx(e, 0)) << "the signal went with its giver";
    EXPECT_EQ(1, SemaphoreValueUx(e)) << "taking a signal clears the event";
    EXPECT_EQ(1, SemaphoreValueUx(c)) << "the dead process's unit came back";
    // A signal nobody took can be withdrawn once, atomically.
    EXPECT_EQ(1, ReleaseSemaphoreUx(e, 1, 0));
    EXPECT_EQ(1, WithdrawSignalUx(e));
    EXPECT_EQ(0, WithdrawSignalUx(e));
    EXPECT_EQ(UX_WAIT_TIMEOUT, WaitForSliceUx(e, 0));
    EXPECT_EQ(1, EraseSemStrUx(e));
    EXPECT_EQ(1, EraseSemStrUx(c));
    ExpectNothingLeft();
}

TEST_F(UxTest, OpSysCreateOrOpenAndTicks) {
    std::string mutex = base + ".0";
    MHandle* first = nullptr;
    MHandle* second = nullptr;
    int existed = 7;
    ASSERT_EQ(1, OpSys::CreateMutex(mutex.c_str(), first, existed));
    EXPECT_EQ(7, existed) << "a new object leaves existed alone";
    existed = 0;
    ASSERT_EQ(1, OpSys::CreateMutex(mutex.c_str(), second, existed));
    EXPECT_EQ(1, existed);
    // The opener holds the mutex now.
    EXPECT_EQ(OS_WAIT_TIMEOUT, OpSys::WaitForMutex(first, 1000));
    EXPECT_EQ(1, OpSys::ReleaseMutex(second));
    EXPECT_EQ(OS_WAIT_OK, OpSys::WaitForMutex(first, 1000));

    MHandle* segment = nullptr;
    void* view = nullptr;
    existed = 0;
    std::string shm = base + ".shm.0";
    ASSERT_EQ(1, OpSys::CreateSharedMemory(shm.c_str(), 64, segment, &view, existed));
    EXPECT_EQ(0, existed);
    static_cast<char*>(view)[10] = 'x';
    MHandle* other = nullptr;
    void* otherView = nullptr;
    ASSERT_EQ(1, OpSys::CreateSharedMemory(shm.c_str(), 64, other, &otherView, existed));
    EXPECT_EQ(1, existed);
    EXPECT_EQ('x', static_cast<char*>(otherView)[10]);
    OpSys::DetachSharedMemory(other, &otherView);
    OpSys::CloseSharedMemory(segment, &view);
    EXPECT_EQ(nullptr, segment);
    EXPECT_EQ(nullptr, view);

    MHandle* none = nullptr;
    OpSys::EraseSemaphoreStrUx(none);
    EXPECT_EQ(nullptr, none);
    OpSys::ForgetHandle(second);
    OpSys::EraseMutexStrUx(first);
    EXPECT_EQ(nullptr, first);

    time_t before = time(nullptr);
    uint32_t ticks = OpSys::GetTickCount();
    struct tm local;
    localtime_r(&before, &local);
    uint32_t expected = 100 * local.tm_sec + 6000 * local.tm_min + 360000 * local.tm_hour;
    EXPECT_EQ(0u, ticks % 100) << "whole seconds";
    EXPECT_LE(ticks - expected, 200u);
    EXPECT_TRUE(OpSys::ProcessExists(getpid()));
    EXPECT_FALSE(OpSys::ProcessExists(0));
    ExpectNothingLeft();
}

// ------------------------------------------------------------- registry

class RegistryTest : public IpcTest {};

TEST_F(RegistryTest, SlotsAreTakenLowestFirstAndTheSixtyFifthIsRefused) {
    std::vector<MemoryPipe*> pipes;
    for (int i = 0; i < kMaxServers; ++i) {
        pipes.push_back(new MemoryPipe);
        ASSERT_EQ(1, pipes.back()->Create(base.c_str(), 4096)) << "server " << i;
        EXPECT_EQ(i, pipes.back()->m_id.index);
    }
    ServerMonitor reader;
    ASSERT_EQ(1, reader.InitClient(base.c_str()));
    reader.GiveBackUnit();
    ServerList before;
    ASSERT_EQ(1, reader.GetServerList(before));
    EXPECT_EQ(64u, before.count);

    MemoryPipe extra;
    EXPECT_EQ(0, extra.Create(base.c_str(), 4096)) << "the 65th server";
    ServerList after;
    ASSERT_EQ(1, reader.GetServerList(after));
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before)) << "a refused server changes nothing";

    // A removed server's slot goes to the next server.
    pipes[5]->Close();
    delete pipes[5];
    pipes[5] = new MemoryPipe;
    ASSERT_EQ(1, pipes[5]->Create(base.c_str(), 4096));
    EXPECT_EQ(5, pipes[5]->m_id.index);
    reader.Detach();

    for (MemoryPipe* p : pipes) {
        p->Close();
        delete p;
    }
    ExpectNothingLeft();
}

TEST_F(RegistryTest, ListShowsEverySlotAndClaimsSkipBusyAndEmptyOnes) {
    std::vector<MemoryPipe*> pipes;
    for (int i = 0; i < 6; ++i) {
        pipes.push_back(new MemoryPipe);
        ASSERT_EQ(1, pipes.back()->Create(base.c_str(), 4096));
    }
    for (int i : {1, 2, 3, 4}) {  // servers in slots 0 and 5 remain
        pipes[i]->Close();
    }
    ServerMonitor monitor;
    ASSERT_EQ(1, monitor.InitClient(base.c_str()));
    ServerList list;
    ASSERT_EQ(1, monitor.GetServerList(list));
    EXPECT_EQ(64u, list.max);
    EXPECT_EQ(2u, list.count);
    for (int i = 0; i < 64; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(i == 0 || i == 5 ? i : -1, list.servers[i].index);
    }
    EXPECT_EQ(getpid(), list.servers[5].serverPid);

    // The first claim gets slot 0; with slot 0 claimed the next gets slot 5;
    // empty slots are never claimed.
    ServerID first, second, third;
    ASSERT_EQ(1, monitor.GetServer(first));
    EXPECT_EQ(0, first.index);
    EXPECT_EQ(getpid(), first.clientPid);
    ASSERT_EQ(1, monitor.GetServer(second));
    EXPECT_EQ(5, second.index);
    EXPECT_EQ(0, monitor.GetServer(third));
    EXPECT_EQ(1, monitor.PutServer(first));
    ASSERT_EQ(1, monitor.GetServer(third));
    EXPECT_EQ(0, third.index);

    // An identity that matches no slot changes nothing.
    ServerID stranger;
    stranger.serverPid = 1;
    stranger.index = 7;
    ASSERT_EQ(1, monitor.RemoveServer(stranger, nullptr));
    ASSERT_EQ(1, monitor.GetServerList(list));
    EXPECT_EQ(2u, list.count);
    monitor.Detach();

    for (MemoryPipe* p : pipes) {
        p->Close();
        delete p;
    }
    ExpectNothingLeft();
}

}  // namespace
