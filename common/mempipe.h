// MemoryPipe: the shared-memory pipe between gateway processes (clients)
// and server tasks. A server registers a pipe in the registry (registry.h)
// and answers requests over its slot's objects (slot_objects.h, exchange.h);
// a client's Call claims an idle server and makes one exchange through a
// PipeClient (pipe_client.h), kept for the pipe object's further calls.
//
// Error convention: results are 1 for success and 0 for failure as each
// operation says; the cause of the last failure is Failure(). Nothing here
// throws. A pipe object serves one thread; a server's own thread may send
// it the terminate message through another pipe object.
#ifndef VELMOX_MEMPIPE_H
#define VELMOX_MEMPIPE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ipc_failure.h"
#include "opsys.h"
#include "pipe_client.h"
#include "pipe_limits.h"
#include "registry.h"
#include "slot_objects.h"

class MemoryPipe {
public:
    MemoryPipe();
    // Releases what the pipe holds; a registered server pipe is ended by
    // Close, not here.
    ~MemoryPipe();
    MemoryPipe(const MemoryPipe&) = delete;
    MemoryPipe& operator=(const MemoryPipe&) = delete;

    // Server half.
    // Registers the pipe and makes its objects with the access (pipe_access.h);
    // the block holds size bytes (messages of up to size - 4). 0 on failure
    // (size below 4, registry full, objects not made, a key file or object
    // refused); nothing stays registered then.
    int Create(const char* name, unsigned long size, const PipeAccess& access = PipeAccess());
    int InitServer(const char* name, int size, const PipeAccess& access = PipeAccess());
    // Blocks until a client has placed a request; 0 when the wait failed.
    int Connect();
    // Copies at most max bytes of the message into buffer and sets *got to
    // the message's full length. Always 1.
    int Read(char* buffer, unsigned long max, unsigned long* got);
    // Stores the answer (cut to the block) and wakes the client; 1 or 0.
    int Write(char* buffer, unsigned long length);
    int Disconnect();
    // Ends the pipe: withdraws it from the registry, lets an exchange in
    // progress end (at most 5 s), unregisters it and removes its objects,
    // the registry's too when it was the last pipe. A client that claimed
    // the pipe meanwhile sends its request to another server. Always 1.
    int Close();
    int Terminate();
    // Wakes the calling process's own pipe, blocked in Connect, with an empty
    // request (the terminate message). 0 when there is no such pipe.
    int SendTerminateMessage(const char* name);

    // Client half: one exchange (see PipeClient::Call). On success *replyLen
    // holds the answer's length (the answer itself is cut to replySize).
    int Call(const char* name, unsigned char* request, unsigned long requestLen, unsigned char* reply,
             unsigned long replySize, unsigned long* replyLen);

    // Server: the block copies, bounded by the block; both return 1.
    int ReadSharedMem(char* buffer, unsigned long max, unsigned long* got);
    int WriteSharedMem(char* buffer, unsigned long length);

    // The cause of the last failure.
    const IpcFailure& Failure() const { return m_failure; }

    ServerMonitor m_monitor;
    ServerID m_id;
    int m_registered;
    unsigned long m_size;  // the block size the server made

private:
    // RemoveServer(id, pipe) works on the pipe's objects.
    friend class ServerMonitor;

    bool AwaitQuiet();
    static int OwnServingSlot(ServerMonitor& monitor);
    int Fail(const IpcFailure& failure);

    SlotObjects m_slot;
    bool m_counting = false;  // the request taken is counted when answered
    std::unique_ptr<PipeClient> m_client;
    IpcFailure m_failure;
};

#endif
