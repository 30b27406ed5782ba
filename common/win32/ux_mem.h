/// @file
/// The Win32-style layer: synchronisation and file mapping over System V
/// IPC, as server tasks written against these calls use them; each call is a
/// thin layer over the core (ipc_core.h), which the pipe itself uses.
///
/// Every object is named. A semaphore name "\<path\>.\<n\>" stands for member n of
/// a set of 64 semaphores whose key comes from the key file \<path\>; a
/// shared-memory name is its own key file. Key files are never removed.
///
/// Making and trusting (pipe_access.h). The calls that make objects (the
/// Create calls, get_token, PrepareNameUx) are a server's: they make a
/// missing key file, refuse one that is a symbolic link, no regular file or
/// another user's, and give key files and new objects the PipeAccess they
/// are passed (a null one: mode 0666, the creator's group). The calls that
/// open objects make no key file: a missing one means no object. They refuse
/// a key file that others than its owner and group may write, and an object
/// whose owner or creator is not the key file's owner; given a PipeAccess (a
/// server opening what it made before), they give the object that access.
/// A refusal is recorded as a failure whose Refused() is true.
///
/// Kinds (MH_t) and their semantics:
/// @verbatim
///   MH_MUTEX  1 free, 0 taken. Taken and given back with SEM_UNDO, so the
///             system gives back the mutex of a process that dies holding it.
///   MH_CSEM   a count. Units taken and given back with SEM_UNDO, so a dead
///             process's reservations come back; AdjustWithoutUndoUx and
///             KeepTakenUnitUx make changes that outlive the process.
///   MH_SEM    an event: 1 clear, 0 signalled. A signal carries no undo
///             record: it outlives the process that gave it, so an answer
///             signalled by a server that dies at once is still delivered.
///             A waiter blocks until the event is signalled, then takes the
///             signal in one atomic step that clears the event; a withdrawal
///             is the same step, so of a waiter and a withdrawer exactly one
///             gets the signal, and "taken" is a single moment.
///   MH_SHM    a shared memory segment.
/// @endverbatim
///
/// Error convention: a create or open call returns a record or null, the
/// other calls 1 or 0 or a wait code, as each says. Every failure also
/// records its cause, the system call, its errno and the object's name, as
/// the calling thread's last failure (LastFailureUx; GetLastError gives its
/// errno). Nothing here throws, installs a signal handler, or touches the
/// alarm timer; every call is safe on any thread (the last failure is per
/// thread).
#ifndef VELMOX_UX_MEM_H
#define VELMOX_UX_MEM_H

#include <cstdint>
#include <memory>
#include <sys/types.h>

#include "ipc_core.h"
#include "ipc_failure.h"
#include "pipe_access.h"

/// The kind of an object (the table above).
enum MH_t : int32_t {
    MH_SEM = 0,    ///< event: 1 clear, 0 signalled
    MH_SHM = 1,    ///< shared memory segment
    MH_MUTEX = 2,  ///< 1 free, 0 taken; opening takes it
    MH_CSEM = 3    ///< counting semaphore
};

const int kUxNameSize = ipc::kObjectNameSize;  ///< the size of an object's name, with its terminator

/// A handle record. The caller owns it: EraseSemStrUx, CloseHandleUx or
/// FreeHandleUx end it (an owner of type MHandlePtr, below, does it by itself).
struct MHandle {
    MH_t kind;  ///< what the object is
    int id;      ///< semaphore-set or segment identifier
    int member;  ///< semaphore index within its set (semaphore kinds)
    key_t key;  ///< the object's key
    char name[kUxNameSize] = {};  ///< the name it was made or opened with, for messages
};

/// Releases a handle record (null is ignored); the object stays. Never fails.
void FreeHandleUx(MHandle* handle);

/// An owned handle record: released, the object behind it untouched, when
/// the owner goes.
struct MHandleRelease {
    void operator()(MHandle* handle) const { FreeHandleUx(handle); }  ///< FreeHandleUx
};
/// An owner of a handle record, which releases it (MHandleRelease).
using MHandlePtr = std::unique_ptr<MHandle, MHandleRelease>;

const int kSemMembers = ipc::kSetMembers;  ///< the members of every semaphore set
const int kTokenId = ipc::kTokenId;        ///< the project id of every key (ftok's)

const int UX_WAIT_ABANDONED = 1;  ///< understood above this layer, never returned
const int UX_WAIT_TIMEOUT = 3;    ///< a wait's limit expired
const int UX_WAIT_FAILED = 4;     ///< a wait failed (the cause: LastFailureUx)
const int UX_WAIT_OBJECT = 1000;  ///< a wait was satisfied

/// A wait of this many milliseconds has no limit.
const unsigned long UX_INFINITE = 0xFFFFFFFFul;

/// Fills the record's key and, for semaphore kinds, its member (the record's
/// kind must be set), making the key file as a server does (mode 0666 less
/// the umask, without write for others). 0 when a semaphore name has no full
/// stop or no member 0..63, or the key file cannot be made or is refused.
int get_token(MHandle* handle, const char* name);

/// Server, before it makes anything of a base name: makes the key file of
/// the name when `make` is set, else only checks it if it exists, and checks
/// that an object of its key, if there is one, is trusted. 1, or 0 with the
/// cause (a refusal names the key file or the object's owner).
int PrepareNameUx(const char* name, MH_t kind, const PipeAccess& access, int make);

/// Creates the set of the name's key with every member at 1 and the named
/// member at `initial`, with the access `security` points to (null: mode
/// 0666). Null when the set exists (GetLastError() is then EEXIST), cannot
/// be made, or its key file is refused.
MHandle* CreateSemaphoreUx(const PipeAccess* security, long initial, long maximum, const char* name, MH_t kind);

/// Opens an existing, trusted set. A mutex is taken (waiting without a
/// limit), an event is set to clear, a counting semaphore is left alone.
/// Null on failure or refusal.
MHandle* OpenSemaphoreUx(unsigned long access, int inherit, const char* name, MH_t kind);

/// As OpenSemaphoreUx, but a mutex is taken within ms milliseconds (a timed
/// wait as WaitForSingleObjectUx makes it). Given an access, the set is given
/// it first (the caller is its owner). Null on failure or time-out.
MHandle* OpenSemaphoreTimedUx(const char* name, MH_t kind, unsigned long ms, const PipeAccess* access = nullptr);

/// Opens an existing, trusted set without the kind's side effect (nothing is
/// taken or cleared); given an access, the set is given it. Null on failure.
MHandle* OpenSetUx(const char* name, MH_t kind, const PipeAccess* access = nullptr);

/// A record for another member of the same set, made without a system call.
/// Null when the member is outside the set or memory is short.
MHandle* MemberOfSetUx(const MHandle* set, int member);

/// One release step: an event is signalled (-1, no undo record), a mutex or
/// a count gets one unit back (+1). 1 or 0. Releasing a signalled event
/// blocks until somebody clears it.
int ReleaseSemaphoreUx(MHandle* handle, long count, long previous);
/// Signals a clear event without ever blocking: 1 when signalled, 0 when it
/// was signalled already (left as it was), -1 on failure.
int SignalIfClearUx(MHandle* handle);

/// Waits for the object: an event until it is signalled (then clears it in
/// the same step), any other kind until it can take one unit. The limit is
/// ms / 1000 whole seconds, counted from the start of the wait; 0, below 1000
/// and UX_INFINITE mean none. Signals do not end the wait. Returns
/// UX_WAIT_OBJECT, UX_WAIT_TIMEOUT when the limit expired, or UX_WAIT_FAILED
/// (for example when the set was removed: EIDRM or EINVAL).
int WaitForSingleObjectUx(MHandle* handle, unsigned long ms);

/// As WaitForSingleObjectUx, with a limit of ms milliseconds exactly (0: only
/// what is there at once), so that a caller can look around between slices.
int WaitForSliceUx(MHandle* handle, unsigned long ms);

/// Takes back an event's signal that nobody has taken yet, in one atomic
/// step: 1 when it was still signalled (now clear), 0 when it was clear (a
/// waiter took it) or on failure.
int WithdrawSignalUx(MHandle* handle);

/// Removes the handle's whole semaphore set (all 64 members) and releases the
/// record; for a segment handle only releases the record. 0 when the removal
/// fails (reported on standard error); the record then stays.
int EraseSemStrUx(MHandle* handle);

/// Sets the handle's member to value (clears every process's undo records of
/// the member). 1 or 0.
int SetSemaphoreValueUx(MHandle* handle, int value);

/// The current value of the handle's member; -1 on failure.
int SemaphoreValueUx(MHandle* handle);

/// Changes the handle's member by delta with no undo record, so that the
/// change outlives the process. A decrease below 0 is not made (nothing
/// waits). 1 or 0.
int AdjustWithoutUndoUx(MHandle* handle, int delta);

/// Keeps one unit that this process took from a counting semaphore for good:
/// the undo record that would give it back at the process's exit is
/// cancelled; the value does not change. 1 or 0.
int KeepTakenUnitUx(MHandle* handle);

/// 1 when a process waits for the handle's event to be signalled while it is
/// clear: a server blocked for its next request.
int EventHasWaiterUx(MHandle* handle);

/// Creates the segment of the name (zero-filled), or opens it when it exists,
/// is trusted and is at least sizeLow bytes (GetLastError() is then EEXIST,
/// else 0). Either way the segment gets the access `security` points to
/// (null: mode 0666).
MHandle* CreateFileMappingUx(MHandle* file, const PipeAccess* security, unsigned long protect,
                             unsigned long sizeHigh, unsigned long sizeLow, const char* name);

/// Opens an existing, trusted segment. Null on failure or refusal.
MHandle* OpenFileMappingUx(unsigned long access, int inherit, const char* name);

/// Attaches the whole segment read-write. Null on failure.
void* MapViewOfFileUx(MHandle* handle, unsigned long access, unsigned long offsetHigh,
                      unsigned long offsetLow, unsigned long bytes);

/// Detaches a view. 1 or 0.
int UnmapViewOfFileUx(void* view);

/// Size in bytes of the handle's segment; 0 when unknown.
unsigned long SegmentSizeUx(MHandle* handle);

/// 1 while the handle's segment is the one its name stands for: it exists and
/// has not been marked for removal. 0 otherwise (its server made a new one).
int SegmentIsCurrentUx(MHandle* handle);

/// Marks the handle's segment for removal and releases the record; 1 or 0
/// (failure reported on standard error). Other kinds: nothing, 1.
int CloseHandleUx(MHandle* handle);

/// Removes the semaphore set or segment that a name stands for, if there is
/// one and the caller may, whoever made it, without making key files. 1 when
/// something was removed.
int RemoveObjectUx(const char* name, MH_t kind);

/// As RemoveObjectUx, but only an object that an open would trust: a
/// stranger's object under the name is left alone (and refused when opened).
int RemoveTrustedObjectUx(const char* name, MH_t kind);

///@{
/// The calling thread's last failure in this layer, and its errno.
const IpcFailure& LastFailureUx();
int GetLastError();
///@}

#endif
