// Semaphores of the Win32-style layer: each call a thin layer over the
// core's (ipc_core.h), with the results, the records and the last failure
// that ux_mem.h documents.
#include <cerrno>

#include "ux_internal.h"

namespace {

int Wait(MHandle* handle, const ipc::Deadline& deadline) {
    IpcFailure failure;
    if (ipc::Take(ux::SemOf(handle), deadline, failure)) return UX_WAIT_OBJECT;
    ux::Record(false, failure);
    return failure.error == ETIMEDOUT ? UX_WAIT_TIMEOUT : UX_WAIT_FAILED;
}

MHandle* OpenRecord(const char* name, MH_t kind, const PipeAccess* access) {
    ipc::Sem sem;
    IpcFailure failure;
    if (!ux::Record(ipc::OpenSet(name, ux::SemKindOf(kind), access, sem, failure), failure)) return nullptr;
    return ux::RecordOf(kind, sem);
}

}  // namespace

MHandle* CreateSemaphoreUx(const PipeAccess* security, long initial, long, const char* name, MH_t kind) {
    ipc::Sem sem;
    IpcFailure failure;
    bool made = ipc::CreateSet(name, ux::SemKindOf(kind), int(initial), security ? *security : PipeAccess(), sem,
                               failure);
    return ux::Record(made, failure) ? ux::RecordOf(kind, sem) : nullptr;
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
        ux::Record(false, IpcFailure::System("member of a set", set ? set->name : nullptr, EINVAL));
        return nullptr;
    }
    return ux::RecordOf(set->kind, ux::SemOf(set).Member(member));
}

int ReleaseSemaphoreUx(MHandle* handle, long, long) {
    if (!handle) return 0;
    IpcFailure failure;
    return ux::Record(ipc::Give(ux::SemOf(handle), failure), failure);
}

int SignalIfClearUx(MHandle* handle) {
    if (!handle || handle->kind != MH_SEM) return -1;
    IpcFailure failure;
    bool signalled = false;
    if (!ux::Record(ipc::SignalIfClear(ux::SemOf(handle), signalled, failure), failure)) return -1;
    return signalled ? 1 : 0;
}

int WaitForSingleObjectUx(MHandle* handle, unsigned long ms) {
    if (!handle) return UX_WAIT_FAILED;
    // A limit is counted in whole seconds: below one there is none, as this
    // layer has always documented it. The core counts milliseconds.
    if (ms == UX_INFINITE || ms < 1000) return Wait(handle, ipc::Deadline::Never());
    return Wait(handle, ipc::Deadline::After(ms / 1000 * 1000));
}

int WaitForSliceUx(MHandle* handle, unsigned long ms) {
    if (!handle) return UX_WAIT_FAILED;
    return Wait(handle, ipc::Deadline::After(ms));
}

int WithdrawSignalUx(MHandle* handle) {
    if (!handle || handle->kind != MH_SEM) return 0;
    IpcFailure failure;
    bool withdrawn = false;
    ux::Record(ipc::Withdraw(ux::SemOf(handle), withdrawn, failure), failure);
    return withdrawn ? 1 : 0;
}

int EraseSemStrUx(MHandle* handle) {
    if (!handle) return 0;
    IpcFailure failure;
    if (ux::IsSemaphoreKind(handle->kind) && !ux::Record(ipc::RemoveSet(ux::SemOf(handle), failure), failure))
        return 0;
    FreeHandleUx(handle);
    return 1;
}

int SetSemaphoreValueUx(MHandle* handle, int value) {
    if (!handle) return 0;
    IpcFailure failure;
    return ux::Record(ipc::SetValue(ux::SemOf(handle), value, failure), failure);
}

int SemaphoreValueUx(MHandle* handle) {
    if (!handle) return -1;
    IpcFailure failure;
    int value = -1;
    return ux::Record(ipc::Value(ux::SemOf(handle), value, failure), failure) ? value : -1;
}

int AdjustWithoutUndoUx(MHandle* handle, int delta) {
    if (!handle) return 0;
    IpcFailure failure;
    return ux::Record(ipc::Adjust(ux::SemOf(handle), delta, failure), failure);
}

int KeepTakenUnitUx(MHandle* handle) {
    if (!handle) return 0;
    IpcFailure failure;
    return ux::Record(ipc::KeepTakenUnit(ux::SemOf(handle), failure), failure);
}

int EventHasWaiterUx(MHandle* handle) { return handle && ipc::HasWaiter(ux::SemOf(handle)) ? 1 : 0; }
