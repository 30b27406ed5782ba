// Shared by the files of the system layer (ux_*.cpp): names, keys, records
// and the per-thread record of the last failure. Not for other layers.
#ifndef VELMOX_UX_INTERNAL_H
#define VELMOX_UX_INTERNAL_H

#include "ux_mem.h"

namespace ux {

bool IsSemaphoreKind(MH_t kind);

// Splits a name into the key file's path and, for semaphores, the member
// after the last full stop. False for a name that names no object.
bool SplitName(const char* name, MH_t kind, char (&path)[kUxNameSize], int& member);

// The key of a key file, making the file (mode 0666) when it is missing and
// makeFile is set. False with the cause recorded when there is none.
bool KeyOf(const char* path, key_t& key, bool makeFile);

// A zeroed record of the kind, carrying the name; null when memory is short
// (recorded as a failure of "malloc").
MHandle* NewRecord(MH_t kind, const char* name);

// Clears the calling thread's last failure (its errno becomes 0).
void ClearFailure();

// Reports a failed removal on standard error as "Erase:semctl:<id>:<member>:
// <message>", and records it as the calling thread's last failure.
void ReportRemovalFailure(const char* call, const MHandle* handle);

// Records a failure of `call` on `object` with errno as the calling
// thread's last failure. Returns false, for use in return statements.
bool Fail(const char* call, const char* object, int error);

}  // namespace ux

#endif
