// Shared by the files of the core (ipc_*.cpp): names, key files, owners and
// access, after the rules of trust of pipe_access.h. Not for other layers.
// Every function returns true or false, a failure filling `failure`, as the
// core's convention says (ipc_core.h).
#ifndef VELMOX_IPC_TRUST_H
#define VELMOX_IPC_TRUST_H

#include <sys/types.h>

#include "ipc_core.h"

#include <sys/sem.h>

namespace ipc {

// semctl's fourth argument.
union SemArg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// A removal that failed: reported on standard error as
// "Erase:semctl:<id>:<member>: <message>" and filled into `failure` as a
// failure of `call` on `name`; errno is the cause. Returns false.
bool ReportRemovalFailure(IpcFailure& failure, const char* call, const char* name, int id, int member);

// Fills `failure` with a refusal; returns false, as Fail (ipc_core.h).
bool Refuse(IpcFailure& failure, const char* what, const char* object, const char* detail);

namespace trust {

// Splits a name into the key file's path and, for a set, the member after
// the last full stop (0..63).
bool SplitName(const char* name, ObjectKind kind, char (&path)[kObjectNameSize], int& member, IpcFailure& failure);

// The key of a server's key file: the file is made when it is missing (mode
// access.KeyFileMode(), less the umask); refused when it is a symbolic link,
// no regular file or not the calling user's; given the access's group and
// mode (the default access only takes write for others away).
bool MakeKey(const char* path, const PipeAccess& access, key_t& key, IpcFailure& failure);

// The key of a client's key file, and the file's owner. A key file that
// others than its owner and group may write is refused; a missing one means
// there is no object, a failure of `missingCall` (semget, shmget).
bool FindKey(const char* path, const char* missingCall, key_t& key, uid_t& owner, IpcFailure& failure);

// The key of a key file if it exists, nothing checked or made.
bool ExistingKey(const char* path, key_t& key, IpcFailure& failure);

// True when the set or segment `id` of `key` (its key file `path`) belongs
// to the key file's owner, as its owner and its creator; else the refusal
// (or the failure to find out). For a segment, *size (when given) gets its
// size from the same look, 0 when the system did not say.
bool CheckTrust(ObjectKind kind, int id, key_t key, const char* path, uid_t keyOwner, IpcFailure& failure,
                unsigned long* size = nullptr);

// The failure of an open (semget, shmget with errno `error`) of an existing
// object: a refusal when the system denied it because the object is another
// user's, else the call's failure. Returns false.
bool FailOpen(const char* call, ObjectKind kind, key_t key, const char* path, uid_t keyOwner, int error,
              IpcFailure& failure);

// Gives the set or segment `id` the access's mode and, when it names one,
// group (the caller owns it).
bool GiveAccess(ObjectKind kind, int id, const PipeAccess& access, const char* path, IpcFailure& failure);

// The mode a new object is made with: the access's, or without a group only
// the owner's part until GiveAccess has set the group, so that no user of
// the creator's own group reaches it meanwhile.
int CreationMode(const PipeAccess& access);

}  // namespace trust
}  // namespace ipc

#endif
