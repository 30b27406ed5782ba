// The Win32-style layer's records and failures; the semaphores are in
// ux_sem.cpp and the segments in ux_shm.cpp, each call a thin layer over the
// core (ipc_core.h).
#include "ux_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Per thread, as Win32 keeps its last error: two threads that fail at once
// each read their own cause.
thread_local IpcFailure t_lastFailure;

MHandle* NewRecord(MH_t kind, const char* name, int id, key_t key, int member) {
    MHandle* handle = static_cast<MHandle*>(std::calloc(1, sizeof(MHandle)));
    if (!handle) {
        t_lastFailure = IpcFailure::System("malloc", name, ENOMEM);
        return nullptr;
    }
    handle->kind = kind;
    handle->id = id;
    handle->key = key;
    handle->member = member;
    if (name) std::snprintf(handle->name, sizeof handle->name, "%s", name);
    return handle;
}

}  // namespace

static_assert(kUxNameSize == ipc::kObjectNameSize, "a record names what the core names");
static_assert(kSemMembers == ipc::kSetMembers, "a set has the core's members");

namespace ux {

bool IsSemaphoreKind(MH_t kind) { return kind == MH_SEM || kind == MH_MUTEX || kind == MH_CSEM; }

ipc::SemKind SemKindOf(MH_t kind) {
    return kind == MH_MUTEX ? ipc::SemKind::Mutex : kind == MH_CSEM ? ipc::SemKind::Count : ipc::SemKind::Event;
}

ipc::ObjectKind ObjectKindOf(MH_t kind) { return kind == MH_SHM ? ipc::ObjectKind::Segment : ipc::ObjectKind::Set; }

ipc::Sem SemOf(const MHandle* handle) {
    return ipc::Sem(handle->id, handle->key, handle->member, SemKindOf(handle->kind), handle->name);
}

ipc::Segment SegmentOf(const MHandle* handle) { return ipc::Segment(handle->id, handle->key, handle->name); }

MHandle* RecordOf(MH_t kind, const ipc::Sem& sem) { return NewRecord(kind, sem.Name(), sem.Set(), sem.Key(), sem.Index()); }

MHandle* RecordOf(const ipc::Segment& segment) {
    return NewRecord(MH_SHM, segment.Name(), segment.Id(), segment.Key(), 0);
}

bool Record(bool ok, const IpcFailure& failure) {
    if (!ok) t_lastFailure = failure;
    return ok;
}

void ClearFailure() { t_lastFailure = IpcFailure(); }

}  // namespace ux

int get_token(MHandle* handle, const char* name) {
    if (!handle) return 0;
    IpcFailure failure;
    key_t key;
    int member;
    if (!ux::Record(ipc::NameKey(name, ux::ObjectKindOf(handle->kind), PipeAccess(), key, member, failure), failure))
        return 0;
    handle->key = key;
    if (ux::IsSemaphoreKind(handle->kind)) handle->member = member;
    return 1;
}

int PrepareNameUx(const char* name, MH_t kind, const PipeAccess& access, int make) {
    IpcFailure failure;
    return ux::Record(ipc::PrepareName(name, ux::ObjectKindOf(kind), access, make != 0, failure), failure);
}

void FreeHandleUx(MHandle* handle) { std::free(handle); }

const IpcFailure& LastFailureUx() { return t_lastFailure; }

int GetLastError() { return t_lastFailure.error; }
