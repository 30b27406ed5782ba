// The core's segments, removal by name and the server's look at a name
// before it makes anything. A segment lives until it is marked for removal
// and the last process has detached it; a removed segment keeps its memory
// for those still attached, but its key no longer finds it.
#include <cerrno>
#include <cstdio>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ipc_trust.h"

#if defined(__SANITIZE_THREAD__)
// The thread sanitizer does not see shmdt() and shmat(): a later attach
// often gets the addresses of an earlier one, and it would take writes to
// the new segment for races with the last writes to the old one. A detach
// is made to happen before any later attach at the same address.
#include <sanitizer/tsan_interface.h>
#define VELMOX_DETACHING(view) __tsan_release(view)
#define VELMOX_ATTACHED(view) __tsan_acquire(view)
#else
#define VELMOX_DETACHING(view) ((void)0)
#define VELMOX_ATTACHED(view) ((void)0)
#endif

namespace ipc {

Segment::Segment(int id, key_t key, const char* name, unsigned long size) : m_id(id), m_key(key), m_size(size) {
    if (name) std::snprintf(m_name, sizeof m_name, "%s", name);
}

bool MakeSegment(const char* name, unsigned long size, const PipeAccess& access, Segment& segment, bool& existed,
                 IpcFailure& failure) {
    existed = false;
    char path[kObjectNameSize];
    int member;
    key_t key;
    if (!trust::SplitName(name, ObjectKind::Segment, path, member, failure) ||
        !trust::MakeKey(path, access, key, failure))
        return false;
    int id = shmget(key, size, IPC_CREAT | IPC_EXCL | trust::CreationMode(access));
    if (id != -1) {
        // Made for the owner only when a group is to be set: now it gets both.
        if (access.group != PipeAccess::kOwnGroup &&
            !trust::GiveAccess(ObjectKind::Segment, id, access, name, failure)) {
            shmctl(id, IPC_RMID, nullptr);
            return false;
        }
        segment = Segment(id, key, name, size);
        return true;
    }
    // EEXIST is not a failure: the segment is there, so open it (if it is
    // this user's, as its key file is).
    if (errno != EEXIST) return Fail(failure, "shmget", name, errno);
    uid_t self = geteuid();
    id = shmget(key, size, 0666);
    if (id == -1) return trust::FailOpen("shmget", ObjectKind::Segment, key, name, self, errno, failure);
    unsigned long existing = 0;
    if (!trust::CheckTrust(ObjectKind::Segment, id, key, name, self, failure, &existing) ||
        !trust::GiveAccess(ObjectKind::Segment, id, access, name, failure))
        return false;
    existed = true;
    segment = Segment(id, key, name, existing);
    return true;
}

bool OpenSegment(const char* name, Segment& segment, IpcFailure& failure) {
    char path[kObjectNameSize];
    int member;
    key_t key;
    uid_t keyOwner = 0;
    if (!trust::SplitName(name, ObjectKind::Segment, path, member, failure) ||
        !trust::FindKey(path, "shmget", key, keyOwner, failure))
        return false;
    int id = shmget(key, 0, 0666);
    if (id == -1) return trust::FailOpen("shmget", ObjectKind::Segment, key, name, keyOwner, errno, failure);
    // The look at its owners tells its size too: no second look for it.
    unsigned long size = 0;
    if (!trust::CheckTrust(ObjectKind::Segment, id, key, name, keyOwner, failure, &size)) return false;
    segment = Segment(id, key, name, size);
    return true;
}

bool RemoveSegment(const Segment& segment, IpcFailure& failure) {
    return shmctl(segment.Id(), IPC_RMID, nullptr) == 0 ||
           ReportRemovalFailure(failure, "shmctl IPC_RMID", segment.Name(), segment.Id(), 0);
}

bool SegmentSize(const Segment& segment, unsigned long& size, IpcFailure& failure) {
    // A segment's size never changes: the size seen when it was opened is it.
    size = segment.Size();
    if (size > 0) return true;
    struct shmid_ds info;
    if (shmctl(segment.Id(), IPC_STAT, &info) == -1) return Fail(failure, "shmctl IPC_STAT", segment.Name(), errno);
    size = (unsigned long)info.shm_segsz;
    return true;
}

bool SegmentIsCurrent(const Segment& segment, bool& current, IpcFailure& failure) {
    struct shmid_ds info;
    current = false;
    if (shmctl(segment.Id(), IPC_STAT, &info) == -1) return Fail(failure, "shmctl IPC_STAT", segment.Name(), errno);
    // A segment marked for removal has lost its key.
    current = (info.shm_perm.mode & SHM_DEST) == 0 && info.shm_perm.__key == segment.Key();
    return true;
}

bool AttachSegment(const Segment& segment, void*& data, IpcFailure& failure) {
    data = shmat(segment.Id(), nullptr, 0);
    if (data == reinterpret_cast<void*>(-1)) {
        data = nullptr;
        return Fail(failure, "shmat", segment.Name(), errno);
    }
    VELMOX_ATTACHED(data);
    return true;
}

bool DetachSegment(void* data, IpcFailure& failure) {
    VELMOX_DETACHING(data);
    return shmdt(data) == 0 || Fail(failure, "shmdt", nullptr, errno);
}

bool SegmentView::Attach(const Segment& segment, IpcFailure& failure) {
    Detach();
    return AttachSegment(segment, m_data, failure);
}

void SegmentView::Detach() {
    if (!m_data) return;
    // shmdt fails only for an address that is no attachment: nothing to do.
    IpcFailure none;
    DetachSegment(m_data, none);
    m_data = nullptr;
}

bool RemoveNamed(const char* name, ObjectKind kind, bool trustedOnly) {
    IpcFailure ignored;
    char path[kObjectNameSize];
    int member;
    key_t key;
    uid_t keyOwner = 0;
    bool segment = kind == ObjectKind::Segment;
    if (!trust::SplitName(name, kind, path, member, ignored)) return false;
    bool found = trustedOnly ? trust::FindKey(path, segment ? "shmget" : "semget", key, keyOwner, ignored)
                             : trust::ExistingKey(path, key, ignored);
    if (!found) return false;
    int id = segment ? shmget(key, 0, 0) : semget(key, 0, 0);
    if (id == -1 || (trustedOnly && !trust::CheckTrust(kind, id, key, path, keyOwner, ignored))) return false;
    return segment ? shmctl(id, IPC_RMID, nullptr) == 0 : semctl(id, 0, IPC_RMID) == 0;
}

bool NameKey(const char* name, ObjectKind kind, const PipeAccess& access, key_t& key, int& member,
             IpcFailure& failure) {
    char path[kObjectNameSize];
    return trust::SplitName(name, kind, path, member, failure) && trust::MakeKey(path, access, key, failure);
}

bool PrepareName(const char* name, ObjectKind kind, const PipeAccess& access, bool make, IpcFailure& failure) {
    char path[kObjectNameSize];
    int member;
    key_t key;
    if (!trust::SplitName(name, kind, path, member, failure)) return false;
    struct stat file;
    if (!make && lstat(path, &file) != 0) return errno == ENOENT || Fail(failure, "lstat", path, errno);
    if (!trust::MakeKey(path, access, key, failure)) return false;
    // Looked up without asking for any permission, which finds a stranger's
    // object too.
    int id = kind == ObjectKind::Segment ? shmget(key, 0, 0) : semget(key, 0, 0);
    if (id == -1) return true;
    IpcFailure cause;
    if (trust::CheckTrust(kind, id, key, path, geteuid(), cause)) return true;
    // Removed between the look-up and the check (the last server of the name
    // closing as this one starts): there is nothing under the name to trust.
    if (cause.error == EIDRM || cause.error == EINVAL) return true;
    failure = cause;
    return false;
}

}  // namespace ipc
