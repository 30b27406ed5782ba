// The cause of a failure of the pipe, carried from the system call that
// failed up to the message an operator sees: the call, the object it was
// made on, and the system's error number. A failure of the protocol itself
// (no server registered, a request too long for the block) has no error
// number; its call then says what went wrong.
//
// Copying, storing and formatting a failure never allocates and never
// throws: it is carried inside exceptions.
#ifndef VELMOX_IPC_FAILURE_H
#define VELMOX_IPC_FAILURE_H

#include <cstddef>

struct IpcFailure {
    static const size_t kCallSize = 128;
    static const size_t kObjectSize = 256;
    static const size_t kTextSize = kCallSize + kObjectSize + 96;

    char call[kCallSize] = {};      // "semget", "shmat", or what the protocol found
    char object[kObjectSize] = {};  // the object's name, for example "/tmp/.velmox.csm"
    int error = 0;                  // errno; 0 for a failure of the protocol

    // A failed system call on an object (object may be null).
    static IpcFailure System(const char* call, const char* object, int error);
    // A failure of the protocol, for example ("no live server under", base).
    static IpcFailure Protocol(const char* what, const char* object);

    bool Failed() const { return call[0] != 0; }
    // "semget /tmp/.velmox.csm: No such file or directory", or for a
    // failure of the protocol "no live server under /tmp/.velmox"; "" when
    // nothing failed. Writes at most size bytes, terminated, into buffer
    // and returns it.
    const char* Text(char* buffer, size_t size) const;
};

#endif
