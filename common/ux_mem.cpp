// The system layer's names, records and failures; key files, owners and
// access are in ux_access.cpp, the semaphores in ux_sem.cpp and the segments
// in ux_shm.cpp.
#include "ux_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ipc.h>
#include <unistd.h>

namespace {

// Per thread, as Win32 keeps its last error: two threads that fail at once
// each read their own cause.
thread_local IpcFailure t_lastFailure;

}  // namespace

namespace ux {

bool IsSemaphoreKind(MH_t kind) { return kind == MH_SEM || kind == MH_MUTEX || kind == MH_CSEM; }

bool SplitName(const char* name, MH_t kind, char (&path)[kUxNameSize], int& member) {
    member = 0;
    if (!name || std::strlen(name) >= sizeof path) return Fail("name", name, ENAMETOOLONG);
    std::strcpy(path, name);
    if (!IsSemaphoreKind(kind)) return true;
    char* stop = std::strrchr(path, '.');
    if (!stop) return Fail("name without a member", name, EINVAL);
    // Read as atoi reads it, without its overflow: sign and leading digits.
    long value = std::strtol(stop + 1, nullptr, 10);
    if (value < 0 || value >= kSemMembers) return Fail("name with a member outside 0..63", name, EINVAL);
    member = int(value);
    *stop = 0;
    return true;
}

MHandle* NewRecord(MH_t kind, const char* name) {
    MHandle* handle = static_cast<MHandle*>(std::calloc(1, sizeof(MHandle)));
    if (!handle) {
        Fail("malloc", name, ENOMEM);
        return nullptr;
    }
    handle->kind = kind;
    if (name) {
        std::strncpy(handle->name, name, sizeof handle->name - 1);
    }
    return handle;
}

void ClearFailure() { t_lastFailure = IpcFailure(); }

void ReportRemovalFailure(const char* call, const MHandle* handle) {
    int error = errno;
    Fail(call, handle->name, error);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%s:%d:%d", "Erase:semctl", handle->id, handle->member);
    errno = error;
    std::perror(prefix);
}

bool Fail(const char* call, const char* object, int error) {
    t_lastFailure = IpcFailure::System(call, object, error);
    return false;
}

bool Refuse(const char* what, const char* object, const char* detail) {
    t_lastFailure = IpcFailure::Refusal(what, object, detail);
    return false;
}

}  // namespace ux

int get_token(MHandle* handle, const char* name) {
    char path[kUxNameSize];
    int member;
    if (!handle || !ux::SplitName(name, handle->kind, path, member)) return 0;
    if (!ux::MakeKey(path, PipeAccess(), handle->key)) return 0;
    if (ux::IsSemaphoreKind(handle->kind)) handle->member = member;
    return 1;
}

void FreeHandleUx(MHandle* handle) { std::free(handle); }

const IpcFailure& LastFailureUx() { return t_lastFailure; }

int GetLastError() { return t_lastFailure.error; }
