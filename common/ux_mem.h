// Win32-style synchronisation and file mapping over System V IPC.
//
// Every object is named. A semaphore name "<path>.<n>" stands for member n of
// a set of 64 semaphores whose key comes from the key file <path>; a
// shared-memory name is its own key file. Key files are made to exist (mode
// 0666) and are never removed. Every semaphore operation carries SEM_UNDO, so
// the system reverses a process's adjustments when it exits: a dead holder of
// a mutex frees it. AdjustWithoutUndoUx and KeepTakenUnitUx are the two
// exceptions, for changes that must outlive the process.
//
// Nothing here throws. Create/open calls return null on failure and release
// their record; the others return 1 or 0, or a wait code.
#ifndef VELMOX_UX_MEM_H
#define VELMOX_UX_MEM_H

#include <cstdint>
#include <sys/types.h>

enum MH_t : int32_t {
    MH_SEM = 0,    // event: 1 clear, 0 signalled; release -1, wait for 0 then set 1
    MH_SHM = 1,    // shared memory segment
    MH_MUTEX = 2,  // 1 free, 0 taken; opening takes it
    MH_CSEM = 3    // counting semaphore
};

// A handle record. The caller owns it: EraseSemStrUx, CloseHandleUx or
// FreeHandleUx end it.
struct MHandle {
    MH_t kind;
    int id;      // semaphore-set or segment identifier
    int member;  // semaphore index within its set (semaphore kinds)
    key_t key;
};

const int kSemMembers = 64;
const int kTokenId = 0x75E;
const int kUxNameSize = 256;

const int UX_WAIT_ABANDONED = 1;  // understood above this layer, never returned
const int UX_WAIT_TIMEOUT = 3;
const int UX_WAIT_FAILED = 4;
const int UX_WAIT_OBJECT = 1000;

// A wait of this many milliseconds has no limit.
const unsigned long UX_INFINITE = 0xFFFFFFFFul;

// Fills the record's key and, for semaphore kinds, its member (the record's
// kind must be set). 0 when a semaphore name has no full stop or the key file
// cannot be made.
int get_token(MHandle* handle, const char* name);

// Creates the set of the name's key with every member at 1 and the named
// member at `initial`. Null when the set exists (GetLastError() is then
// EEXIST) or cannot be made.
MHandle* CreateSemaphoreUx(int security, long initial, long maximum, const char* name, MH_t kind);

// Opens an existing set. A mutex is taken (waiting without a limit), an
// event is set to clear, a counting semaphore is left alone. Null on failure.
MHandle* OpenSemaphoreUx(unsigned long access, int inherit, const char* name, MH_t kind);

// Opens an existing set without the kind's side effect (nothing is taken or
// cleared). Null on failure.
MHandle* OpenSetUx(const char* name, MH_t kind);

// The current value of the handle's member; -1 on failure.
int SemaphoreValueUx(MHandle* handle);

// As OpenSemaphoreUx, but a mutex is taken within ms milliseconds (a timed
// wait as WaitForSingleObjectUx makes it). Null on failure or time-out.
MHandle* OpenSemaphoreTimedUx(const char* name, MH_t kind, unsigned long ms);

// One release step: -1 on an event, +1 otherwise. 1 or 0. Releasing a
// signalled event blocks until somebody clears it.
int ReleaseSemaphoreUx(MHandle* handle, long count, long previous);

// Waits for the object: an event until it is signalled (then sets it clear
// again), any other kind until it can take one unit. A limit of ms / 1000
// whole seconds is set with the alarm timer (0, below 1000 and UX_INFINITE
// mean none). Returns UX_WAIT_OBJECT, UX_WAIT_TIMEOUT when the limit expired,
// or UX_WAIT_FAILED (for example when the set was removed). Other signals do
// not end the wait.
int WaitForSingleObjectUx(MHandle* handle, unsigned long ms);

// One slice of a wait without a limit: as WaitForSingleObjectUx, but gives
// UX_WAIT_TIMEOUT after ms milliseconds without touching the alarm timer, so
// that the caller can look around between slices. A signal during the slice
// starts it over once (so it lasts at most twice ms).
int WaitForSliceUx(MHandle* handle, unsigned long ms);

// Removes the handle's whole semaphore set (all 64 members) and releases the
// record; for a segment handle only releases the record. 0 when the removal
// fails (reported on standard error); the record then stays.
int EraseSemStrUx(MHandle* handle);

// Sets the handle's member to value (clears the member's undo records). 1 or 0.
int SetSemaphoreValueUx(MHandle* handle, int value);

// Changes the handle's member by delta with no undo record, so that the
// change outlives the process. A decrease below 0 is not made (nothing
// waits). 1 or 0.
int AdjustWithoutUndoUx(MHandle* handle, int delta);

// Keeps one unit that this process took from a counting semaphore for good:
// the undo record that would give it back at the process's exit is
// cancelled; the value does not change. 1 or 0.
int KeepTakenUnitUx(MHandle* handle);

// 1 when a process waits for the handle's event member to be signalled while
// it is clear: a server blocked for its next request.
int EventHasWaiterUx(MHandle* handle);

// Creates the segment of the name (zero-filled), or opens it when it exists
// and is at least sizeLow bytes (GetLastError() is then EEXIST, else 0).
MHandle* CreateFileMappingUx(MHandle* file, int security, unsigned long protect,
                             unsigned long sizeHigh, unsigned long sizeLow, const char* name);

// Opens an existing segment. Null on failure.
MHandle* OpenFileMappingUx(unsigned long access, int inherit, const char* name);

// Attaches the whole segment read-write. Null on failure.
void* MapViewOfFileUx(MHandle* handle, unsigned long access, unsigned long offsetHigh,
                      unsigned long offsetLow, unsigned long bytes);

// Detaches a view. 1 or 0.
int UnmapViewOfFileUx(void* view);

// Size in bytes of the handle's segment; 0 when unknown.
unsigned long SegmentSizeUx(MHandle* handle);

// Marks the handle's segment for removal and releases the record; 1 or 0
// (failure reported on standard error). Other kinds: nothing, 1.
int CloseHandleUx(MHandle* handle);

// Releases a record without touching the object behind it. Null is allowed.
void FreeHandleUx(MHandle* handle);

// Removes the semaphore set or segment that a name stands for, if there is
// one, without making key files. 1 when something was removed.
int RemoveObjectUx(const char* name, MH_t kind);

// The error number of the last failure recorded by the creating calls.
int GetLastError();

#endif
