/// @file
/// The cause of a failure of the pipe, carried from the system call that
/// failed up to the message an operator sees: the call, the object it was
/// made on, and the system's error number. A failure of the protocol itself
/// (no server registered, a request too long for the block) has no error
/// number; its call then says what went wrong. A refusal is a failure of
/// trust: an object or key file that is not the service's own (pipe_access.h)
/// was found and not used; its detail says why.
///
/// Copying, storing and formatting a failure never allocates and never
/// throws: it is carried inside exceptions.
#ifndef VELMOX_IPC_FAILURE_H
#define VELMOX_IPC_FAILURE_H

#include <cstddef>

/// The cause of one failure: the call, the object, the error number, and
/// for a refusal why (see the file's description). Nothing failed while
/// call is empty.
struct IpcFailure {
    static const size_t kCallSize = 128;    ///< the size of call
    static const size_t kObjectSize = 256;  ///< the size of object
    static const size_t kDetailSize = 128;  ///< the size of detail
    /// A buffer of this size holds every Text.
    static const size_t kTextSize = kCallSize + kObjectSize + kDetailSize + 96;

    char call[kCallSize] = {};      ///< "semget", "shmat", or what the protocol found
    char object[kObjectSize] = {};  ///< the object's name, for example "/tmp/.velmox.csm"
    char detail[kDetailSize] = {};  ///< what follows the object's name, for a refusal
    int error = 0;                  ///< errno; 0 for a failure of the protocol
    bool refused = false;           ///< a refusal of trust

    /// A failed system call on an object (object may be null).
    static IpcFailure System(const char* call, const char* object, int error);
    /// A failure of the protocol, for example ("no live server under", base).
    static IpcFailure Protocol(const char* what, const char* object);
    /// A refusal: what was refused, the object, and why, for example ("owner
    /// of", "/tmp/.velmox.sem", "(uid 1001) is not the owner of its key file
    /// (uid 0)").
    static IpcFailure Refusal(const char* what, const char* object, const char* detail);

    /// True when something failed (call is not empty).
    bool Failed() const { return call[0] != 0; }
    /// A wait that reached its limit (ETIMEDOUT).
    bool TimedOut() const;
    /// A refusal of trust or of permission (EACCES, EPERM): something an
    /// operator must mend, not a passing state of the service.
    bool Refused() const;
    /// "semget /tmp/.velmox.csm: No such file or directory", for a failure
    /// of the protocol "no live server under /tmp/.velmox", for a refusal
    /// "owner of /tmp/.velmox.sem (uid 1001) is not the owner of its key
    /// file (uid 0)"; "" when nothing failed. Writes at most size bytes,
    /// terminated, into buffer and returns it.
    const char* Text(char* buffer, size_t size) const;
};

#endif
