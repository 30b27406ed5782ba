/// @file
/// ServerPipe: the server half of the shared-memory pipe. A server task
/// registers a pipe in the registry (registry.h) and answers requests over
/// its slot's objects (slot_objects.h, exchange.h), one at a time.
///
/// Error convention: results are 1 for success and 0 for failure as each
/// operation says; the cause of the last failure is Failure(). Nothing here
/// throws. A pipe serves one thread; a server's own thread may send it the
/// terminate message through another pipe object.
#ifndef VELMOX_SERVER_PIPE_H
#define VELMOX_SERVER_PIPE_H

#include <cstdint>

#include "ipc_failure.h"
#include "pipe_access.h"
#include "registry.h"
#include "slot_objects.h"

namespace spin {
class Estimate;  // spin_wait.h, the library's own
}

/// The server half of the pipe (see the file's description).
class ServerPipe {
public:
    ServerPipe();
    /// Releases what the pipe holds; a registered pipe is ended by Close, not
    /// here.
    ~ServerPipe();
    ServerPipe(const ServerPipe&) = delete;
    ServerPipe& operator=(const ServerPipe&) = delete;

    ///@{
    /// Registers the pipe and makes its objects with the access (pipe_access.h);
    /// the block holds size bytes (messages of up to size - 4). 0 on failure
    /// (size below 4, registry full, objects not made, a key file or object
    /// refused); nothing stays registered then.
    int Create(const char* name, unsigned long size, const PipeAccess& access = PipeAccess());
    int InitServer(const char* name, int size, const PipeAccess& access = PipeAccess());
    ///@}
    /// Blocks until a client has placed a request; 0 when the wait failed.
    /// After an answer, while the next requests came within microseconds
    /// lately and a core is free, it first watches for the next one on the
    /// processor (spin_wait.h).
    int Connect();
    /// Copies at most max bytes of the message into buffer and sets *got to
    /// the message's full length. Always 1.
    int Read(char* buffer, unsigned long max, unsigned long* got);
    /// Stores the answer (cut to the block) and wakes the client; 1 or 0.
    int Write(char* buffer, unsigned long length);
    /// Ends the exchange on the server's side: nothing is left to do once
    /// the answer is written. Always 1.
    int Disconnect();
    ///@{
    /// Ends the pipe: withdraws it from the registry, lets an exchange in
    /// progress end (at most 5 s), unregisters it and removes its objects,
    /// the registry's too when it was the last pipe. A client that claimed
    /// the pipe meanwhile sends its request to another server. Always 1.
    int Close();
    int Terminate();
    ///@}
    /// Wakes the calling process's own pipe, blocked in Connect, with an empty
    /// request (the terminate message). 0 when there is no such pipe.
    int SendTerminateMessage(const char* name);

    ///@{
    /// The block copies, bounded by the block; both return 1.
    int ReadSharedMem(char* buffer, unsigned long max, unsigned long* got);
    int WriteSharedMem(char* buffer, unsigned long length);
    ///@}

    /// The pid of the client that claimed the pipe, from a glance at its
    /// registry slot (a request comes only from the client that holds the
    /// claim); -1 when not known. Never fails; one relaxed load, for a
    /// server that names who sent the request it serves.
    int ClientPid() const;

    /// The cause of the last failure.
    const IpcFailure& Failure() const { return m_failure; }
    /// The waits for a request that spun, and those that saw it coming.
    const spin::Estimate& RequestSpin() const;

    /// The documented members.
    ServerMonitor m_monitor;  ///< the pipe's view of the registry
    ServerID m_id;            ///< the pipe's slot in the registry
    int m_registered;         ///< 1 while the pipe is registered, else 0
    unsigned long m_size;  ///< the block size the server made

protected:
    /// Records the cause of a failure (Failure()) and returns 0.
    int Fail(const IpcFailure& failure);

private:
    bool AwaitQuiet();
    static int OwnServingSlot(ServerMonitor& monitor);
    spin::Estimate& RequestEstimate();

    SlotObjects m_slot;
    bool m_counting = false;  ///< the request taken is counted when answered
    bool m_answered = false;  ///< an answer was given since the last request
    uint32_t m_answerLength = 0;
    uint64_t m_answeredAtNs = 0;
    /// The requests' spin::Estimate, made in place by the constructor (the
    /// .cpp checks that it fits): no allocation, and spin_wait.h stays the
    /// library's own.
    alignas(8) unsigned char m_requestSpin[96];
    IpcFailure m_failure;
};

#endif
