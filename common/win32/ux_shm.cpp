// Shared memory segments of the Win32-style layer: a segment's name is its
// own key file. Each call a thin layer over the core's (ipc_core.h), with
// the results, the records and the last failure that ux_mem.h documents.
#include <cerrno>

#include "ux_internal.h"

MHandle* CreateFileMappingUx(MHandle*, const PipeAccess* security, unsigned long, unsigned long,
                             unsigned long sizeLow, const char* name) {
    ipc::Segment segment;
    IpcFailure failure;
    bool existed = false;
    if (!ux::Record(ipc::MakeSegment(name, sizeLow, security ? *security : PipeAccess(), segment, existed, failure),
                    failure))
        return nullptr;
    MHandle* handle = ux::RecordOf(segment);
    if (!handle) return nullptr;
    // The last error says whether the segment was there: EEXIST, or 0.
    if (existed) ux::Record(false, IpcFailure::System("shmget", name, EEXIST));
    else ux::ClearFailure();
    return handle;
}

MHandle* OpenFileMappingUx(unsigned long, int, const char* name) {
    ipc::Segment segment;
    IpcFailure failure;
    if (!ux::Record(ipc::OpenSegment(name, segment, failure), failure)) return nullptr;
    return ux::RecordOf(segment);
}

// A view here is the caller's to detach (UnmapViewOfFileUx), so it is not
// held by the core's owner of a view.
void* MapViewOfFileUx(MHandle* handle, unsigned long, unsigned long, unsigned long, unsigned long) {
    if (!handle) return nullptr;
    IpcFailure failure;
    void* view = nullptr;
    return ux::Record(ipc::AttachSegment(ux::SegmentOf(handle), view, failure), failure) ? view : nullptr;
}

int UnmapViewOfFileUx(void* view) {
    IpcFailure failure;
    return ux::Record(ipc::DetachSegment(view, failure), failure);
}

unsigned long SegmentSizeUx(MHandle* handle) {
    if (!handle) return 0;
    IpcFailure failure;
    unsigned long size = 0;
    ux::Record(ipc::SegmentSize(ux::SegmentOf(handle), size, failure), failure);
    return size;
}

int SegmentIsCurrentUx(MHandle* handle) {
    if (!handle) return 0;
    IpcFailure failure;
    bool current = false;
    ux::Record(ipc::SegmentIsCurrent(ux::SegmentOf(handle), current, failure), failure);
    return current ? 1 : 0;
}

int CloseHandleUx(MHandle* handle) {
    if (!handle) return 0;
    if (handle->kind != MH_SHM) return 1;
    IpcFailure failure;
    bool removed = ux::Record(ipc::RemoveSegment(ux::SegmentOf(handle), failure), failure);
    FreeHandleUx(handle);
    return removed ? 1 : 0;
}

int RemoveObjectUx(const char* name, MH_t kind) { return ipc::RemoveNamed(name, ux::ObjectKindOf(kind), false); }

int RemoveTrustedObjectUx(const char* name, MH_t kind) {
    return ipc::RemoveNamed(name, ux::ObjectKindOf(kind), true);
}
