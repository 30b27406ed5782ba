// The core's semaphores: sets of 64 members with the kinds' semantics of
// ipc_core.h.
//
// Timed waits use semtimedop() against a deadline on the monotonic clock,
// so any number of threads can wait at once and the host program's alarm is
// never touched. A signal that interrupts a wait resumes it with the time
// that is left.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include "ipc_trust.h"

namespace ipc {

namespace {

// An event's signal taken: still signalled (0)? then clear (+1), both in
// one step. 1 when taken, 0 when the event was clear (another took the
// signal first), -1 on failure (errno).
//
// Operations that never sleep (IPC_NOWAIT, increments) are made with one
// semop and no loop: only a sleeping operation is interrupted by a signal
// (EINTR). Each goes straight to the system from the operation the layers
// above call, so a call's own frames end there.
int TakeSignal(const Sem& sem) {
    unsigned short member = (unsigned short)sem.Index();
    struct sembuf ops[2] = {{member, 0, IPC_NOWAIT}, {member, 1, 0}};
    if (semop(sem.Set(), ops, 2) == 0) return 1;
    return errno == EAGAIN ? 0 : -1;
}

}  // namespace

Deadline Deadline::After(unsigned long ms) {
    Deadline deadline;
    deadline.m_never = false;
    clock_gettime(CLOCK_MONOTONIC, &deadline.m_at);
    deadline.m_at.tv_sec += time_t(ms / 1000);
    deadline.m_at.tv_nsec += long(ms % 1000) * 1000000L;
    if (deadline.m_at.tv_nsec >= 1000000000L) {
        deadline.m_at.tv_sec += 1;
        deadline.m_at.tv_nsec -= 1000000000L;
    }
    return deadline;
}

struct timespec Deadline::Left() const {
    struct timespec now, left;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left.tv_sec = m_at.tv_sec - now.tv_sec;
    left.tv_nsec = m_at.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) left.tv_sec = left.tv_nsec = 0;
    return left;
}

Sem::Sem(int set, key_t key, int member, SemKind kind, const char* name)
    : m_set(set), m_key(key), m_member(member), m_kind(kind) {
    if (name) std::snprintf(m_name, sizeof m_name, "%s", name);
}

Sem Sem::Member(int member) const {
    if (!IsOpen() || member < 0 || member >= kSetMembers) return Sem();
    Sem other = *this;
    other.m_member = member;
    // The name's member follows the set's stem: "<stem>.<member>".
    char* stop = std::strrchr(other.m_name, '.');
    if (stop) std::snprintf(stop + 1, sizeof other.m_name - size_t(stop + 1 - other.m_name), "%d", member);
    return other;
}

bool CreateSet(const char* name, SemKind kind, int initial, const PipeAccess& access, Sem& sem, IpcFailure& failure) {
    char path[kObjectNameSize];
    int member;
    key_t key;
    if (!trust::SplitName(name, ObjectKind::Set, path, member, failure) || !trust::MakeKey(path, access, key, failure))
        return false;
    int set = semget(key, kSetMembers, IPC_CREAT | IPC_EXCL | trust::CreationMode(access));
    if (set == -1) return Fail(failure, "semget", path, errno);  // EEXIST: the set is there already
    // Made for the owner only when a group is to be set: now it gets both.
    if (access.group != PipeAccess::kOwnGroup && !trust::GiveAccess(ObjectKind::Set, set, access, path, failure)) {
        semctl(set, 0, IPC_RMID);
        return false;
    }
    sem = Sem(set, key, member, kind, name);
    // One SETALL gives every member 1 and this member its initial value at
    // once: a process that opened the set meanwhile and took a member keeps it.
    unsigned short values[kSetMembers];
    for (unsigned short& v : values) v = 1;
    values[member] = (unsigned short)initial;
    SemArg arg;
    arg.array = values;
    if (semctl(set, 0, SETALL, arg) == -1) {
        std::perror("Create:semctl");
        if (!SetValue(sem, initial, failure)) {
            sem = Sem();
            return false;
        }
    }
    return true;
}

bool MakeSet(const char* name, SemKind kind, int initial, const PipeAccess& access, Sem& sem, bool& existed,
             IpcFailure& failure) {
    existed = false;
    if (CreateSet(name, kind, initial, access, sem, failure)) return true;
    // EEXIST: another process made it first, the normal case for every
    // server but the first.
    if (failure.error != EEXIST) return false;
    existed = true;
    return OpenSet(name, kind, &access, sem, failure);
}

bool OpenSet(const char* name, SemKind kind, const PipeAccess* access, Sem& sem, IpcFailure& failure) {
    char path[kObjectNameSize];
    int member;
    key_t key;
    uid_t keyOwner = 0;
    if (!trust::SplitName(name, ObjectKind::Set, path, member, failure) ||
        !trust::FindKey(path, "semget", key, keyOwner, failure))
        return false;
    int set = semget(key, kSetMembers, 0666);
    if (set == -1) return trust::FailOpen("semget", ObjectKind::Set, key, path, keyOwner, errno, failure);
    if (!trust::CheckTrust(ObjectKind::Set, set, key, path, keyOwner, failure)) return false;
    if (access && !trust::GiveAccess(ObjectKind::Set, set, *access, path, failure)) return false;
    sem = Sem(set, key, member, kind, name);
    return true;
}

bool RemoveSet(const Sem& sem, IpcFailure& failure) {
    return semctl(sem.Set(), sem.Index(), IPC_RMID) == 0 ||
           ReportRemovalFailure(failure, "semctl IPC_RMID", sem.Name(), sem.Set(), sem.Index());
}

bool Take(const Sem& sem, const Deadline& deadline, IpcFailure& failure) {
    unsigned short member = (unsigned short)sem.Index();
    // An event's taker waits for the signal (the value 0), a mutex's or
    // count's takes a unit. Both are single operations, which the system
    // queues per semaphore; an operation on two values at once would put the
    // whole set on its slow path for every waiter. A deadline that has
    // passed is a time limit of zero: only what is there at once.
    struct sembuf step = sem.Kind() == SemKind::Event ? sembuf{member, 0, 0} : sembuf{member, -1, SEM_UNDO};
    for (;;) {
        struct timespec left = deadline.IsNever() ? timespec{0, 0} : deadline.Left();
        if (semtimedop(sem.Set(), &step, 1, deadline.IsNever() ? nullptr : &left) != 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return Fail(failure, "time limit of a wait for", sem.Name(), ETIMEDOUT);
            return Fail(failure, "semtimedop", sem.Name(), errno);
        }
        if (sem.Kind() != SemKind::Event) return true;
        // The signal seen must still be taken: it may have gone to another
        // (a client that withdrew its request) meanwhile.
        struct sembuf take[2] = {{member, 0, IPC_NOWAIT}, {member, 1, 0}};
        if (semop(sem.Set(), take, 2) == 0) return true;
        if (errno != EAGAIN) return Fail(failure, "semop", sem.Name(), errno);
    }
}

bool Give(const Sem& sem, IpcFailure& failure) {
    // An event's signal has no undo record: it must outlive its giver. It
    // is the one give that may sleep (a signalled event), so it resumes.
    bool event = sem.Kind() == SemKind::Event;
    struct sembuf step = {(unsigned short)sem.Index(), short(event ? -1 : 1), short(event ? 0 : SEM_UNDO)};
    while (semop(sem.Set(), &step, 1) != 0)
        if (errno != EINTR) return Fail(failure, "semop", sem.Name(), errno);
    return true;
}

bool SignalIfClear(const Sem& sem, bool& signalled, IpcFailure& failure) {
    struct sembuf step = {(unsigned short)sem.Index(), -1, IPC_NOWAIT};
    signalled = semop(sem.Set(), &step, 1) == 0;
    return signalled || errno == EAGAIN || Fail(failure, "semop", sem.Name(), errno);
}

bool Withdraw(const Sem& sem, bool& withdrawn, IpcFailure& failure) {
    // The same step as a taker's: of the two, exactly one succeeds.
    return TakeNow(sem, withdrawn, failure);
}

bool TakeNow(const Sem& sem, bool& taken, IpcFailure& failure) {
    int result = TakeSignal(sem);
    taken = result > 0;
    return result >= 0 || Fail(failure, "semop", sem.Name(), errno);
}

bool SetValue(const Sem& sem, int value, IpcFailure& failure) {
    SemArg arg;
    arg.val = value;
    return semctl(sem.Set(), sem.Index(), SETVAL, arg) == 0 || Fail(failure, "semctl SETVAL", sem.Name(), errno);
}

bool Value(const Sem& sem, int& value, IpcFailure& failure) {
    value = semctl(sem.Set(), sem.Index(), GETVAL);
    return value != -1 || Fail(failure, "semctl GETVAL", sem.Name(), errno);
}

bool Adjust(const Sem& sem, int delta, IpcFailure& failure) {
    struct sembuf step = {(unsigned short)sem.Index(), short(delta), IPC_NOWAIT};
    return semop(sem.Set(), &step, 1) == 0 || Fail(failure, "semop", sem.Name(), errno);
}

bool KeepTakenUnit(const Sem& sem, IpcFailure& failure) {
    // One call, so that nobody sees the value between the two steps: a step
    // up recorded for undo, which cancels the record of the step down that
    // took the unit, and a step down that is not (which never sleeps).
    unsigned short member = (unsigned short)sem.Index();
    struct sembuf steps[2] = {{member, 1, SEM_UNDO}, {member, -1, 0}};
    return semop(sem.Set(), steps, 2) == 0 || Fail(failure, "semop", sem.Name(), errno);
}

bool HasWaiter(const Sem& sem) {
    return semctl(sem.Set(), sem.Index(), GETZCNT) > 0 && semctl(sem.Set(), sem.Index(), GETVAL) == 1;
}

}  // namespace ipc
