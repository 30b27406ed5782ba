/// @file
/// SimplePipe: the stream-level face of the pipe. A server reads whole
/// requests into its input stream and writes whole answers from its output
/// stream; a client makes calls (the first opens the pipe's objects, later
/// ones reuse them). With g_debug set, each operation writes a trace line to
/// standard output.
///
/// Error convention: operations return MemoryPipe's results; Create raises
/// IPCexc carrying the cause when the pipe cannot be made, and the cause of
/// a failed Call is Failure(), for the caller to raise. A pipe object serves
/// one thread.
#ifndef VELMOX_OS_H
#define VELMOX_OS_H

#include <cstdint>
#include <memory>

#include "ipc_failure.h"
#include "mempipe.h"
#include "sstream.h"

/// With g_debug set, writes the text to standard output (the pipe's trace
/// lines). Never fails.
void TracePipe(const char* text);

/// The stream-level face of the pipe: a server's or a client's (see the
/// file's description).
class SimplePipe {
public:
    SimplePipe();
    /// Closes an open pipe, then releases the streams. Never throws.
    ~SimplePipe();
    SimplePipe(const SimplePipe&) = delete;
    SimplePipe& operator=(const SimplePipe&) = delete;

    /// Releases the streams (in any state).
    void Term();

    /// Server: makes the output and input streams and the pipe, whose block
    /// holds the larger of the two sizes, its objects with the access
    /// (pipe_access.h; by default mode 0666). Raises IPCexc with the cause
    /// when the pipe cannot be made, IllegalArgsExc for a size of 0 (or one
    /// beyond 4 GiB), OutOfMemoryExc. Returns 1.
    int Create(const char* name, unsigned long outputSize, unsigned long inputSize,
               const PipeAccess& access = PipeAccess());
    /// Server: waits for a request; 1, or 0 when the wait failed.
    int Connect();
    /// Server: receives the request into the input stream, positioned at its
    /// start. Raises OutOfRangeExc when the request is longer than the stream.
    int Read();
    /// Server: sends the output stream's data; 1 or 0.
    int Write();
    /// Server: ends the exchange (MemoryPipe::Disconnect); 1.
    int Disconnect();
    /// Server: ends the pipe (the last one removes the registry). Always 1.
    int Close();

    /// Client: one exchange; 0 on failure (see PipeClient::Call).
    int Call(const char* name, void* request, unsigned long requestLen, unsigned char* reply,
             unsigned long replySize, unsigned long* replyLen);
    /// Wakes this process's own pipe with the terminate message; 1 or 0.
    int SendTerminateMessage(const char* name);

    /// The cause of the last failure of Call or SendTerminateMessage.
    const IpcFailure& Failure() const { return m_pipe.Failure(); }

    SimpleStream* Input() const { return m_input; }    ///< the input stream; null before Create
    SimpleStream* Output() const { return m_output; }  ///< the output stream; null before Create

    // The documented members. The streams belong to the pipe: Term and the
    // destructor release them.
    int32_t m_open;  ///< 1 from a successful Create to Close, else 0
    SimpleStream* m_output;  ///< the output stream (Output())
    SimpleStream* m_input;   ///< the input stream (Input())
    MemoryPipe m_pipe;       ///< the pipe itself
};

#endif
