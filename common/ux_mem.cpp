#include "ux_mem.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace {

int cachederrno = 0;

union SemArg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

MHandle* NewRecord(MH_t kind) {
    MHandle* handle = static_cast<MHandle*>(std::calloc(1, sizeof(MHandle)));
    if (handle) handle->kind = kind;
    return handle;
}

bool IsSemaphoreKind(MH_t kind) { return kind == MH_SEM || kind == MH_MUTEX || kind == MH_CSEM; }

// Splits a name into the key file's path and, for semaphores, the member
// after the last full stop. False for a name that names no object.
bool SplitName(const char* name, MH_t kind, char (&path)[kUxNameSize], int& member) {
    member = 0;
    if (!name || std::strlen(name) >= sizeof path) return false;
    std::strcpy(path, name);
    if (!IsSemaphoreKind(kind)) return true;
    char* stop = std::strrchr(path, '.');
    if (!stop) return false;
    // Read as atoi reads it, without its overflow: sign and leading digits.
    long value = std::strtol(stop + 1, nullptr, 10);
    if (value < 0 || value >= kSemMembers) return false;
    member = int(value);
    *stop = 0;
    return true;
}

// The key of a key file, making the file (mode 0666) when it is missing.
bool KeyOf(const char* path, key_t& key, bool makeFile) {
    key = ftok(path, kTokenId);
    if (key != key_t(-1)) return true;
    if (errno != ENOENT || !makeFile) return false;
    int fd = open(path, O_RDONLY | O_CREAT, 0666);
    if (fd < 0) return false;
    close(fd);
    key = ftok(path, kTokenId);
    return key != key_t(-1);
}

int SemOp(const MHandle* handle, short op, short flags) {
    struct sembuf step;
    step.sem_num = (unsigned short)handle->member;
    step.sem_op = op;
    step.sem_flg = short(SEM_UNDO | flags);
    return semop(handle->id, &step, 1);
}

short WaitOpOf(const MHandle* handle) { return handle->kind == MH_SEM ? 0 : -1; }

// A wait that has got its object: an event goes back to clear.
int Acquired(MHandle* handle) {
    if (handle->kind == MH_SEM) SetSemaphoreValueUx(handle, 1);
    return UX_WAIT_OBJECT;
}

volatile sig_atomic_t g_alarmExpired = 0;

// Installed without SA_RESTART, so that the expiry interrupts the blocked
// semop. It re-arms itself: a wait that tested the flag just before the alarm
// went off and then blocked is woken a second later all the same.
void OnAlarm(int) {
    g_alarmExpired = 1;
    alarm(1);
}

// The process's alarm timer for the length of one timed wait.
class AlarmScope {
public:
    explicit AlarmScope(unsigned seconds) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = OnAlarm;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &m_previous);
        g_alarmExpired = 0;
        alarm(seconds);
    }
    ~AlarmScope() {
        alarm(0);
        sigaction(SIGALRM, &m_previous, nullptr);
    }
    bool Expired() const { return g_alarmExpired != 0; }

private:
    struct sigaction m_previous;
};

int BlockWithoutLimit(MHandle* handle, short op) {
    for (;;) {
        if (SemOp(handle, op, 0) == 0) return Acquired(handle);
        if (errno != EINTR) return UX_WAIT_FAILED;
    }
}

int BlockWithAlarm(MHandle* handle, short op, unsigned seconds) {
    AlarmScope alarmScope(seconds);
    for (;;) {
        if (SemOp(handle, op, 0) == 0) return Acquired(handle);
        if (errno != EINTR) return UX_WAIT_FAILED;
        // Another signal (a server may get SIGCHLD) resumes the wait; the
        // limit still counts from its start, since the alarm runs on.
        if (alarmScope.Expired()) return UX_WAIT_TIMEOUT;
    }
}

void ReportFailure(const char* what, const MHandle* handle) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%s:%d:%d", what, handle->id, handle->member);
    std::perror(prefix);
}

}  // namespace

MHandle* OpenSetUx(const char* name, MH_t kind) {
    MHandle* handle = NewRecord(kind);
    if (!handle) return nullptr;
    if (!get_token(handle, name)) {
        std::free(handle);
        return nullptr;
    }
    handle->id = semget(handle->key, kSemMembers, 0666);
    if (handle->id == -1) {
        std::free(handle);
        return nullptr;
    }
    return handle;
}

int get_token(MHandle* handle, const char* name) {
    char path[kUxNameSize];
    int member;
    if (!handle || !SplitName(name, handle->kind, path, member)) return 0;
    if (!KeyOf(path, handle->key, true)) return 0;
    if (IsSemaphoreKind(handle->kind)) handle->member = member;
    return 1;
}

MHandle* CreateSemaphoreUx(int, long initial, long, const char* name, MH_t kind) {
    MHandle* handle = NewRecord(kind);
    if (!handle) return nullptr;
    if (!get_token(handle, name)) {
        std::free(handle);
        return nullptr;
    }
    handle->id = semget(handle->key, kSemMembers, IPC_CREAT | IPC_EXCL | 0666);
    if (handle->id == -1) {
        cachederrno = errno;
        std::free(handle);
        return nullptr;
    }
    // One SETALL gives every member 1 and this member its initial value at
    // once: a process that opened the set meanwhile and took a member keeps it.
    unsigned short values[kSemMembers];
    for (unsigned short& v : values) v = 1;
    values[handle->member] = (unsigned short)initial;
    SemArg arg;
    arg.array = values;
    if (semctl(handle->id, 0, SETALL, arg) == -1) {
        std::perror("Create:semctl");
        if (!SetSemaphoreValueUx(handle, int(initial))) {
            std::free(handle);
            return nullptr;
        }
    }
    return handle;
}

MHandle* OpenSemaphoreUx(unsigned long, int, const char* name, MH_t kind) {
    return OpenSemaphoreTimedUx(name, kind, 0);
}

MHandle* OpenSemaphoreTimedUx(const char* name, MH_t kind, unsigned long ms) {
    MHandle* handle = OpenSetUx(name, kind);
    if (!handle) return nullptr;
    bool ok = true;
    if (kind == MH_MUTEX) ok = WaitForSingleObjectUx(handle, ms) == UX_WAIT_OBJECT;
    else if (kind == MH_SEM) ok = SetSemaphoreValueUx(handle, 1) == 1;
    if (!ok) {
        std::free(handle);
        return nullptr;
    }
    return handle;
}

int ReleaseSemaphoreUx(MHandle* handle, long, long) {
    if (!handle) return 0;
    short op = handle->kind == MH_SEM ? -1 : 1;
    for (;;) {
        if (SemOp(handle, op, 0) == 0) return 1;
        if (errno != EINTR) return 0;
    }
}

int WaitForSingleObjectUx(MHandle* handle, unsigned long ms) {
    if (!handle) return UX_WAIT_FAILED;
    short op = WaitOpOf(handle);
    // Without a limit the blocking operation takes what is there at once: a
    // look first would be a system call more on every wait for a request.
    if (ms == 0 || ms == UX_INFINITE) return BlockWithoutLimit(handle, op);
    // What is there already is taken without touching the alarm timer.
    if (SemOp(handle, op, IPC_NOWAIT) == 0) return Acquired(handle);
    if (errno != EAGAIN && errno != EINTR) return UX_WAIT_FAILED;
    unsigned seconds = unsigned(ms / 1000);
    if (seconds == 0) {
        alarm(0);  // a limit below a second is no limit, but still cancels
        return BlockWithoutLimit(handle, op);
    }
    return BlockWithAlarm(handle, op, seconds);
}

// The time from now to `deadline`, none when it has passed.
static struct timespec TimeLeft(const struct timespec& deadline) {
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

int WaitForSliceUx(MHandle* handle, unsigned long ms) {
    if (!handle) return UX_WAIT_FAILED;
    struct sembuf step;
    step.sem_num = (unsigned short)handle->member;
    step.sem_op = WaitOpOf(handle);
    step.sem_flg = SEM_UNDO;
    // The first try waits the whole slice without reading the clock: in a
    // process that makes one exchange, the clock's first reading faults in
    // the vDSO's data pages, two page faults that cost far more than the
    // wait's own system call. A signal that interrupts it starts the slice
    // once more, against a deadline from then on.
    struct timespec left = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
    struct timespec deadline = {0, 0};
    bool timed = false;
    for (;;) {
        if (semtimedop(handle->id, &step, 1, &left) == 0) return Acquired(handle);
        if (errno == EAGAIN) return UX_WAIT_TIMEOUT;
        if (errno != EINTR) return UX_WAIT_FAILED;
        if (!timed) {
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += time_t(ms / 1000);
            deadline.tv_nsec += long(ms % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
            timed = true;
        }
        left = TimeLeft(deadline);
    }
}

int EraseSemStrUx(MHandle* handle) {
    if (!handle) return 0;
    if (IsSemaphoreKind(handle->kind) && semctl(handle->id, handle->member, IPC_RMID) == -1) {
        ReportFailure("Erase:semctl", handle);
        return 0;
    }
    std::free(handle);
    return 1;
}

int SetSemaphoreValueUx(MHandle* handle, int value) {
    if (!handle) return 0;
    SemArg arg;
    arg.val = value;
    return semctl(handle->id, handle->member, SETVAL, arg) == -1 ? 0 : 1;
}

int AdjustWithoutUndoUx(MHandle* handle, int delta) {
    if (!handle) return 0;
    struct sembuf step;
    step.sem_num = (unsigned short)handle->member;
    step.sem_op = short(delta);
    step.sem_flg = IPC_NOWAIT;
    for (;;) {
        if (semop(handle->id, &step, 1) == 0) return 1;
        if (errno != EINTR) return 0;
    }
}

int KeepTakenUnitUx(MHandle* handle) {
    if (!handle) return 0;
    // One call, so that nobody sees the value between the two steps: a step
    // up recorded for undo, which cancels the record of the step down that
    // took the unit, and a step down that is not.
    struct sembuf steps[2];
    steps[0].sem_num = steps[1].sem_num = (unsigned short)handle->member;
    steps[0].sem_op = 1;
    steps[0].sem_flg = SEM_UNDO;
    steps[1].sem_op = -1;
    steps[1].sem_flg = 0;
    for (;;) {
        if (semop(handle->id, steps, 2) == 0) return 1;
        if (errno != EINTR) return 0;
    }
}

int SemaphoreValueUx(MHandle* handle) {
    return handle ? semctl(handle->id, handle->member, GETVAL) : -1;
}

int EventHasWaiterUx(MHandle* handle) {
    if (!handle) return 0;
    return semctl(handle->id, handle->member, GETZCNT) > 0 &&
           semctl(handle->id, handle->member, GETVAL) == 1;
}

MHandle* CreateFileMappingUx(MHandle*, int, unsigned long, unsigned long, unsigned long sizeLow,
                             const char* name) {
    MHandle* handle = NewRecord(MH_SHM);
    if (!handle) return nullptr;
    if (!get_token(handle, name)) {
        std::free(handle);
        return nullptr;
    }
    handle->id = shmget(handle->key, sizeLow, IPC_CREAT | IPC_EXCL | 0666);
    if (handle->id != -1) {
        cachederrno = 0;
        return handle;
    }
    cachederrno = errno;
    // EEXIST is not a failure: the segment is there, so open it and say so.
    if (cachederrno == EEXIST) {
        handle->id = shmget(handle->key, sizeLow, 0666);
        if (handle->id != -1) return handle;
        cachederrno = errno;
    }
    std::free(handle);
    return nullptr;
}

MHandle* OpenFileMappingUx(unsigned long, int, const char* name) {
    MHandle* handle = NewRecord(MH_SHM);
    if (!handle) return nullptr;
    if (!get_token(handle, name) || (handle->id = shmget(handle->key, 0, 0666)) == -1) {
        std::free(handle);
        return nullptr;
    }
    return handle;
}

void* MapViewOfFileUx(MHandle* handle, unsigned long, unsigned long, unsigned long, unsigned long) {
    if (!handle) return nullptr;
    void* view = shmat(handle->id, nullptr, 0);
    if (view == reinterpret_cast<void*>(-1)) {
        cachederrno = errno;
        return nullptr;
    }
    return view;
}

int UnmapViewOfFileUx(void* view) {
    if (shmdt(view) == -1) {
        cachederrno = errno;
        return 0;
    }
    return 1;
}

unsigned long SegmentSizeUx(MHandle* handle) {
    struct shmid_ds info;
    if (!handle || shmctl(handle->id, IPC_STAT, &info) == -1) return 0;
    return (unsigned long)info.shm_segsz;
}

int CloseHandleUx(MHandle* handle) {
    if (!handle) return 0;
    if (handle->kind != MH_SHM) return 1;
    int ok = 1;
    if (shmctl(handle->id, IPC_RMID, nullptr) == -1) {
        ReportFailure("Erase:semctl", handle);
        ok = 0;
    }
    std::free(handle);
    return ok;
}

void FreeHandleUx(MHandle* handle) { std::free(handle); }

int RemoveObjectUx(const char* name, MH_t kind) {
    char path[kUxNameSize];
    int member;
    key_t key;
    if (!SplitName(name, kind, path, member) || !KeyOf(path, key, false)) return 0;
    if (kind == MH_SHM) {
        int id = shmget(key, 0, 0666);
        return id != -1 && shmctl(id, IPC_RMID, nullptr) == 0;
    }
    int id = semget(key, 0, 0666);
    return id != -1 && semctl(id, 0, IPC_RMID) == 0;
}

int GetLastError() { return cachederrno; }
