// Shared by the files of the Win32-style layer (ux_*.cpp), a thin layer over
// the core (ipc_core.h): records, their conversion to the core's values,
// and the per-thread record of the last failure. Not for other layers.
#ifndef VELMOX_UX_INTERNAL_H
#define VELMOX_UX_INTERNAL_H

#include "ipc_core.h"
#include "ux_mem.h"

namespace ux {

bool IsSemaphoreKind(MH_t kind);
ipc::SemKind SemKindOf(MH_t kind);
ipc::ObjectKind ObjectKindOf(MH_t kind);

// The core's value for a record of a semaphore kind, or of a segment.
ipc::Sem SemOf(const MHandle* handle);
ipc::Segment SegmentOf(const MHandle* handle);

// A record of the kind for a value of the core, carrying its name; null
// when memory is short (recorded as a failure of "malloc").
MHandle* RecordOf(MH_t kind, const ipc::Sem& sem);
MHandle* RecordOf(const ipc::Segment& segment);

// Records the failure as the calling thread's last failure when `ok` is
// false; returns ok, for use in return statements.
bool Record(bool ok, const IpcFailure& failure);

// Clears the calling thread's last failure (its errno becomes 0).
void ClearFailure();

}  // namespace ux

#endif
