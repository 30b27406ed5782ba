// Shared memory segments of the system layer: a segment's name is its own
// key file. A segment lives until it is marked for removal and the last
// process has detached it; a removed segment keeps its memory for those
// still attached, but its key no longer finds it.
#include <cerrno>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "ux_internal.h"

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

MHandle* CreateFileMappingUx(MHandle*, const PipeAccess* security, unsigned long, unsigned long,
                             unsigned long sizeLow, const char* name) {
    const PipeAccess access = security ? *security : PipeAccess();
    MHandle* handle = ux::NewRecord(MH_SHM, name);
    if (!handle) return nullptr;
    char path[kUxNameSize];
    int member;
    if (!ux::SplitName(name, MH_SHM, path, member) || !ux::MakeKey(path, access, handle->key)) {
        FreeHandleUx(handle);
        return nullptr;
    }
    handle->id = shmget(handle->key, sizeLow, IPC_CREAT | IPC_EXCL | ux::CreationMode(access));
    if (handle->id != -1) {
        // Made for the owner only when a group is to be set: now it gets both.
        if (access.group == PipeAccess::kOwnGroup || ux::GiveAccess(MH_SHM, handle->id, access, name)) {
            ux::ClearFailure();  // a new segment: the last error is 0
            return handle;
        }
        shmctl(handle->id, IPC_RMID, nullptr);
        FreeHandleUx(handle);
        return nullptr;
    }
    // EEXIST is not a failure: the segment is there, so open it (if it is
    // this user's, as its key file is) and say so.
    if (errno == EEXIST) {
        uid_t self = geteuid();
        handle->id = shmget(handle->key, sizeLow, 0666);
        bool opened = handle->id != -1 ? ux::CheckTrust(MH_SHM, handle->id, handle->key, name, self) &&
                                              ux::GiveAccess(MH_SHM, handle->id, access, name)
                                        : ux::FailOpen("shmget", MH_SHM, handle->key, name, self, errno);
        if (opened) {
            ux::Fail("shmget", name, EEXIST);
            return handle;
        }
    } else {
        ux::Fail("shmget", name, errno);
    }
    FreeHandleUx(handle);
    return nullptr;
}

MHandle* OpenFileMappingUx(unsigned long, int, const char* name) {
    MHandle* handle = ux::NewRecord(MH_SHM, name);
    if (!handle) return nullptr;
    char path[kUxNameSize];
    int member;
    uid_t keyOwner = 0;
    bool opened = ux::SplitName(name, MH_SHM, path, member) && ux::FindKey(path, "shmget", handle->key, keyOwner);
    if (opened) {
        handle->id = shmget(handle->key, 0, 0666);
        opened = handle->id != -1 ? ux::CheckTrust(MH_SHM, handle->id, handle->key, name, keyOwner)
                                  : ux::FailOpen("shmget", MH_SHM, handle->key, name, keyOwner, errno);
    }
    if (opened) return handle;
    FreeHandleUx(handle);
    return nullptr;
}

void* MapViewOfFileUx(MHandle* handle, unsigned long, unsigned long, unsigned long, unsigned long) {
    if (!handle) return nullptr;
    void* view = shmat(handle->id, nullptr, 0);
    if (view == reinterpret_cast<void*>(-1)) {
        ux::Fail("shmat", handle->name, errno);
        return nullptr;
    }
    VELMOX_ATTACHED(view);
    return view;
}

int UnmapViewOfFileUx(void* view) {
    VELMOX_DETACHING(view);
    if (shmdt(view) == -1) {
        ux::Fail("shmdt", nullptr, errno);
        return 0;
    }
    return 1;
}

unsigned long SegmentSizeUx(MHandle* handle) {
    struct shmid_ds info;
    if (!handle) return 0;
    if (shmctl(handle->id, IPC_STAT, &info) == -1) {
        ux::Fail("shmctl IPC_STAT", handle->name, errno);
        return 0;
    }
    return (unsigned long)info.shm_segsz;
}

int SegmentIsCurrentUx(MHandle* handle) {
    struct shmid_ds info;
    if (!handle) return 0;
    if (shmctl(handle->id, IPC_STAT, &info) == -1) {
        ux::Fail("shmctl IPC_STAT", handle->name, errno);
        return 0;
    }
    // A segment marked for removal has lost its key.
    return (info.shm_perm.mode & SHM_DEST) == 0 && info.shm_perm.__key == handle->key ? 1 : 0;
}

int CloseHandleUx(MHandle* handle) {
    if (!handle) return 0;
    if (handle->kind != MH_SHM) return 1;
    int ok = 1;
    if (shmctl(handle->id, IPC_RMID, nullptr) == -1) {
        ux::ReportRemovalFailure("shmctl IPC_RMID", handle);
        ok = 0;
    }
    FreeHandleUx(handle);
    return ok;
}

int RemoveObjectUx(const char* name, MH_t kind) {
    char path[kUxNameSize];
    int member;
    key_t key;
    if (!ux::SplitName(name, kind, path, member) || !ux::ExistingKey(path, key)) return 0;
    if (kind == MH_SHM) {
        int id = shmget(key, 0, 0);
        return id != -1 && shmctl(id, IPC_RMID, nullptr) == 0;
    }
    int id = semget(key, 0, 0);
    return id != -1 && semctl(id, 0, IPC_RMID) == 0;
}

int RemoveTrustedObjectUx(const char* name, MH_t kind) {
    char path[kUxNameSize];
    int member;
    key_t key;
    uid_t keyOwner;
    const char* open = kind == MH_SHM ? "shmget" : "semget";
    if (!ux::SplitName(name, kind, path, member) || !ux::FindKey(path, open, key, keyOwner)) return 0;
    int id = kind == MH_SHM ? shmget(key, 0, 0) : semget(key, 0, 0);
    if (id == -1 || !ux::CheckTrust(kind, id, key, path, keyOwner)) return 0;
    return kind == MH_SHM ? shmctl(id, IPC_RMID, nullptr) == 0 : semctl(id, 0, IPC_RMID) == 0;
}
