// Semaphores of the system layer: sets of 64 members, one per object name
// stem, with the kinds' semantics described in ux_mem.h.
//
// Timed waits use semtimedop() against a deadline on the monotonic clock:
// no signal handler, no alarm timer, so any number of threads can wait at
// once and the host program's own alarm is never touched. A signal that
// interrupts a wait resumes it with the time that is left.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/sem.h>

#include "ux_internal.h"

namespace {

union SemArg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// The blocking step of a wait: an event's waiter waits for the signal (the
// value 0), a mutex's or count's takes a unit. Both are single operations,
// which the system queues per semaphore; an operation on two values at once
// would put the whole set on its slow path for every waiter.
struct sembuf WaitStep(const MHandle* handle, short extraFlags) {
    unsigned short member = (unsigned short)handle->member;
    if (handle->kind == MH_SEM) return {member, 0, extraFlags};
    return {member, -1, short(SEM_UNDO | extraFlags)};
}

// Resumes after signals. 0 or -1 with errno.
int Perform(const MHandle* handle, struct sembuf* ops, unsigned count) {
    for (;;) {
        if (semop(handle->id, ops, count) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

struct timespec Deadline(unsigned long ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += time_t(ms / 1000);
    deadline.tv_nsec += long(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

// The time from now to `deadline`, none when it has passed.
struct timespec TimeLeft(const struct timespec& deadline) {
    struct timespec now, left;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left.tv_sec = deadline.tv_sec - now.tv_sec;
    left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) left.tv_sec = left.tv_nsec = 0;
    return left;
}

int WaitFailed(const MHandle* handle, const char* call) {
    ux::Fail(call, handle->name, errno);
    return UX_WAIT_FAILED;
}

// Takes an event's signal: still signalled (0)? then clear (+1), both in one
// step that never blocks. 1 when taken, 0 when the event was clear (another
// took the signal first), -1 on failure.
int TakeSignal(const MHandle* handle) {
    unsigned short member = (unsigned short)handle->member;
    struct sembuf ops[2] = {{member, 0, IPC_NOWAIT}, {member, 1, 0}};
    if (Perform(handle, ops, 2) == 0) return 1;
    return errno == EAGAIN ? 0 : -1;
}

// After the blocking step: an event's signal must still be taken, and may
// have gone to another (a client that withdrew its request) meanwhile.
// UX_WAIT_OBJECT, 0 to wait again, or UX_WAIT_FAILED.
int Acquired(const MHandle* handle) {
    if (handle->kind != MH_SEM) return UX_WAIT_OBJECT;
    int taken = TakeSignal(handle);
    if (taken > 0) return UX_WAIT_OBJECT;
    return taken == 0 ? 0 : WaitFailed(handle, "semop");
}

int WaitWithoutLimit(const MHandle* handle) {
    struct sembuf step = WaitStep(handle, 0);
    for (;;) {
        if (Perform(handle, &step, 1) != 0) return WaitFailed(handle, "semop");
        if (int result = Acquired(handle)) return result;
    }
}

int WaitUntil(const MHandle* handle, const struct timespec& deadline) {
    struct sembuf step = WaitStep(handle, 0);
    for (;;) {
        struct timespec left = TimeLeft(deadline);
        if (semtimedop(handle->id, &step, 1, &left) == 0) {
            if (int result = Acquired(handle)) return result;
            continue;
        }
        if (errno == EAGAIN) {
            ux::Fail("time limit of a wait for", handle->name, ETIMEDOUT);
            return UX_WAIT_TIMEOUT;
        }
        if (errno != EINTR) return WaitFailed(handle, "semtimedop");
    }
}

// An open record of an existing, trusted set, given `access` when there is
// one; null with the cause recorded.
MHandle* OpenRecord(const char* name, MH_t kind, const PipeAccess* access) {
    MHandle* handle = ux::NewRecord(kind, name);
    if (!handle) return nullptr;
    char path[kUxNameSize];
    int member;
    uid_t keyOwner = 0;
    bool opened = ux::SplitName(name, kind, path, member) && ux::FindKey(path, "semget", handle->key, keyOwner);
    if (opened) {
        handle->member = member;
        handle->id = semget(handle->key, kSemMembers, 0666);
        opened = handle->id != -1 ? ux::CheckTrust(kind, handle->id, handle->key, path, keyOwner)
                                  : ux::FailOpen("semget", kind, handle->key, path, keyOwner, errno);
    }
    if (opened && access) opened = ux::GiveAccess(kind, handle->id, *access, path);
    if (opened) return handle;
    FreeHandleUx(handle);
    return nullptr;
}

}  // namespace

MHandle* CreateSemaphoreUx(const PipeAccess* security, long initial, long, const char* name, MH_t kind) {
    const PipeAccess access = security ? *security : PipeAccess();
    MHandle* handle = ux::NewRecord(kind, name);
    if (!handle) return nullptr;
    char path[kUxNameSize];
    int member;
    if (!ux::SplitName(name, kind, path, member) || !ux::MakeKey(path, access, handle->key)) {
        FreeHandleUx(handle);
        return nullptr;
    }
    handle->member = member;
    handle->id = semget(handle->key, kSemMembers, IPC_CREAT | IPC_EXCL | ux::CreationMode(access));
    if (handle->id == -1) {
        ux::Fail("semget", path, errno);  // EEXIST: the set is there already
        FreeHandleUx(handle);
        return nullptr;
    }
    // Made for the owner only when a group is to be set: now it gets both.
    if (access.group != PipeAccess::kOwnGroup && !ux::GiveAccess(kind, handle->id, access, path)) {
        semctl(handle->id, 0, IPC_RMID);
        FreeHandleUx(handle);
        return nullptr;
    }
    // One SETALL gives every member 1 and this member its initial value at
    // once: a process that opened the set meanwhile and took a member keeps it.
    unsigned short values[kSemMembers];
    for (unsigned short& v : values) v = 1;
    values[member] = (unsigned short)initial;
    SemArg arg;
    arg.array = values;
    if (semctl(handle->id, 0, SETALL, arg) == -1) {
        std::perror("Create:semctl");
        if (!SetSemaphoreValueUx(handle, int(initial))) {
            FreeHandleUx(handle);
            return nullptr;
        }
    }
    return handle;
}

MHandle* OpenSemaphoreUx(unsigned long, int, const char* name, MH_t kind) {
    return OpenSemaphoreTimedUx(name, kind, 0);
}

MHandle* OpenSemaphoreTimedUx(const char* name, MH_t kind, unsigned long ms, const PipeAccess* access) {
    MHandle* handle = OpenRecord(name, kind, access);
    if (!handle) return nullptr;
    bool ok = true;
    if (kind == MH_MUTEX) ok = WaitForSingleObjectUx(handle, ms) == UX_WAIT_OBJECT;
    else if (kind == MH_SEM) ok = SetSemaphoreValueUx(handle, 1) == 1;
    if (!ok) {
        FreeHandleUx(handle);
        return nullptr;
    }
    return handle;
}

MHandle* OpenSetUx(const char* name, MH_t kind, const PipeAccess* access) { return OpenRecord(name, kind, access); }

MHandle* MemberOfSetUx(const MHandle* set, int member) {
    if (!set || member < 0 || member >= kSemMembers) {
        ux::Fail("member of a set", set ? set->name : nullptr, EINVAL);
        return nullptr;
    }
    MHandle* handle = ux::NewRecord(set->kind, nullptr);
    if (!handle) return nullptr;
    *handle = *set;
    handle->member = member;
    // The name's member follows the set's stem: "<stem>.<member>".
    char* stop = std::strrchr(handle->name, '.');
    if (stop) std::snprintf(stop + 1, sizeof handle->name - size_t(stop + 1 - handle->name), "%d", member);
    return handle;
}

int ReleaseSemaphoreUx(MHandle* handle, long, long) {
    if (!handle) return 0;
    // An event's signal has no undo record: it must outlive its giver.
    struct sembuf step = {(unsigned short)handle->member, short(handle->kind == MH_SEM ? -1 : 1),
                          short(handle->kind == MH_SEM ? 0 : SEM_UNDO)};
    if (Perform(handle, &step, 1) == 0) return 1;
    ux::Fail("semop", handle->name, errno);
    return 0;
}

int SignalIfClearUx(MHandle* handle) {
    if (!handle || handle->kind != MH_SEM) return -1;
    struct sembuf step = {(unsigned short)handle->member, -1, IPC_NOWAIT};
    if (Perform(handle, &step, 1) == 0) return 1;
    if (errno == EAGAIN) return 0;
    ux::Fail("semop", handle->name, errno);
    return -1;
}

int WaitForSingleObjectUx(MHandle* handle, unsigned long ms) {
    if (!handle) return UX_WAIT_FAILED;
    // A limit is counted in whole seconds: below one there is none.
    if (ms == UX_INFINITE || ms < 1000) return WaitWithoutLimit(handle);
    return WaitUntil(handle, Deadline(ms / 1000 * 1000));
}

int WaitForSliceUx(MHandle* handle, unsigned long ms) {
    if (!handle) return UX_WAIT_FAILED;
    if (ms == 0) {
        int taken;
        if (handle->kind == MH_SEM) {
            taken = TakeSignal(handle);
        } else {
            struct sembuf step = WaitStep(handle, IPC_NOWAIT);
            taken = Perform(handle, &step, 1) == 0 ? 1 : errno == EAGAIN ? 0 : -1;
        }
        if (taken > 0) return UX_WAIT_OBJECT;
        if (taken < 0) return WaitFailed(handle, "semop");
        ux::Fail("time limit of a wait for", handle->name, ETIMEDOUT);
        return UX_WAIT_TIMEOUT;
    }
    return WaitUntil(handle, Deadline(ms));
}

int WithdrawSignalUx(MHandle* handle) {
    if (!handle || handle->kind != MH_SEM) return 0;
    // The same step as a waiter's take: of the two, exactly one succeeds.
    int taken = TakeSignal(handle);
    if (taken < 0) ux::Fail("semop", handle->name, errno);
    return taken > 0 ? 1 : 0;
}

int EraseSemStrUx(MHandle* handle) {
    if (!handle) return 0;
    if (ux::IsSemaphoreKind(handle->kind) && semctl(handle->id, handle->member, IPC_RMID) == -1) {
        ux::ReportRemovalFailure("semctl IPC_RMID", handle);
        return 0;
    }
    FreeHandleUx(handle);
    return 1;
}

int SetSemaphoreValueUx(MHandle* handle, int value) {
    if (!handle) return 0;
    SemArg arg;
    arg.val = value;
    if (semctl(handle->id, handle->member, SETVAL, arg) == 0) return 1;
    ux::Fail("semctl SETVAL", handle->name, errno);
    return 0;
}

int SemaphoreValueUx(MHandle* handle) {
    if (!handle) return -1;
    int value = semctl(handle->id, handle->member, GETVAL);
    if (value == -1) ux::Fail("semctl GETVAL", handle->name, errno);
    return value;
}

int AdjustWithoutUndoUx(MHandle* handle, int delta) {
    if (!handle) return 0;
    struct sembuf step = {(unsigned short)handle->member, short(delta), IPC_NOWAIT};
    if (Perform(handle, &step, 1) == 0) return 1;
    ux::Fail("semop", handle->name, errno);
    return 0;
}

int KeepTakenUnitUx(MHandle* handle) {
    if (!handle) return 0;
    // One call, so that nobody sees the value between the two steps: a step
    // up recorded for undo, which cancels the record of the step down that
    // took the unit, and a step down that is not.
    unsigned short member = (unsigned short)handle->member;
    struct sembuf steps[2] = {{member, 1, SEM_UNDO}, {member, -1, 0}};
    if (Perform(handle, steps, 2) == 0) return 1;
    ux::Fail("semop", handle->name, errno);
    return 0;
}

int EventHasWaiterUx(MHandle* handle) {
    if (!handle) return 0;
    return semctl(handle->id, handle->member, GETZCNT) > 0 && semctl(handle->id, handle->member, GETVAL) == 1;
}
