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

// ux_access.cpp: key files, owners and access.

// The key of a server's key file: the file is made when it is missing (mode
// access.KeyFileMode(), less the umask); refused when it is a symbolic link,
// no regular file or not the calling user's; given the access's group and
// mode (the default access only takes write for others away). False with
// the cause recorded.
bool MakeKey(const char* path, const PipeAccess& access, key_t& key);

// The key of a client's key file, and the file's owner. A key file that
// others than its owner and group may write is refused; a missing one means
// there is no object, recorded as `missingCall` (semget, shmget) records
// a missing object. False with the cause recorded.
bool FindKey(const char* path, const char* missingCall, key_t& key, uid_t& owner);

// The key of a key file if it exists, nothing checked or made. False (the
// cause recorded) when there is none.
bool ExistingKey(const char* path, key_t& key);

// True when the set or segment `id` of `key` (its key file `path`) belongs
// to the key file's owner, as its owner and its creator; else the refusal
// (or the failure to find out) is recorded.
bool CheckTrust(MH_t kind, int id, key_t key, const char* path, uid_t keyOwner);

// Records the failure of an open (semget, shmget with errno `error`) of an
// existing object: as a refusal when the system denied it because the
// object is another user's, else as the call's failure. Returns false.
bool FailOpen(const char* call, MH_t kind, key_t key, const char* path, uid_t keyOwner, int error);

// Gives the set or segment `id` the access's mode and, when it names one,
// group (the caller owns it). False with the cause recorded.
bool GiveAccess(MH_t kind, int id, const PipeAccess& access, const char* path);

// The mode a new object is made with: the access's, or without a group
// only the owner's part until GiveAccess has set the group, so that no
// user of the creator's own group reaches it meanwhile.
int CreationMode(const PipeAccess& access);

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

// Records a refusal (IpcFailure::Refusal) as the calling thread's last
// failure. Returns false.
bool Refuse(const char* what, const char* object, const char* detail);

}  // namespace ux

#endif
