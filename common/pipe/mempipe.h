/// @file
/// MemoryPipe: the shared-memory pipe between gateway processes (clients)
/// and server tasks, its two halves in one object as server tasks use it:
/// the server half (server_pipe.h) and a client (pipe_client.h) made by the
/// first Call and kept for the pipe object's further calls.
///
/// Error convention: as the halves': results are 1 for success and 0 for
/// failure; the cause of the last failure of either half is Failure().
/// Nothing here throws. A pipe object serves one thread.
#ifndef VELMOX_MEMPIPE_H
#define VELMOX_MEMPIPE_H

#include <memory>

#include "opsys.h"
#include "pipe_client.h"
#include "pipe_limits.h"
#include "server_pipe.h"

/// The server half and a client of the pipe in one object (see the file's
/// description).
class MemoryPipe : public ServerPipe {
public:
    MemoryPipe() = default;

    /// Client half: one exchange (see PipeClient::Call). On success *replyLen
    /// holds the answer's length (the answer itself is cut to replySize).
    int Call(const char* name, unsigned char* request, unsigned long requestLen, unsigned char* reply,
             unsigned long replySize, unsigned long* replyLen);
    /// The client of base name `name`, made at the first use of that name
    /// (a new name replaces it), for callers that exchange in place
    /// (PipeClient::Message). Null when memory is short.
    PipeClient* Client(const char* name);

private:
    std::unique_ptr<PipeClient> m_client;
};

#endif
