/// @file
/// PipeClient: the client half of the pipe, for a process that calls once or
/// many times. It opens the registry and the slots' semaphore sets of its
/// base name once, keeps its views of the pipe blocks it has used, and then
/// pays for each call only the exchange's semaphore operations.
///
/// When the server task was restarted and its objects are new (a set or the
/// registry removed under the client: EIDRM, EINVAL), the client drops what
/// it held and opens the new objects, once, inside the same call. When the
/// server it claimed closes or dies before taking the request, the request
/// goes to another server within the same wait for a free server; a request
/// a server has taken is never sent again.
///
/// Every failed Call is counted by its cause (pipe_counters.h), and so is a
/// wait for a free server.
///
/// A call's request is written straight into the claimed server's block and
/// its answer read from there once, by a Message, while the client holds the
/// server's mutex; the form with buffers copies them in and out.
///
/// While its answers came within microseconds lately and a core is free, a
/// client watches for the answer on the processor before it sleeps for it,
/// and takes it without sleeping when it saw it coming (spin_wait.h).
///
/// Error convention: Call returns 1 or 0 as MemoryPipe::Call does; the cause
/// of a failure is Failure(). Nothing here throws (a Message must not throw
/// either). A client serves one thread at a time; any number of threads may
/// each use a client of its own.
#ifndef VELMOX_PIPE_CLIENT_H
#define VELMOX_PIPE_CLIENT_H

#include <cstdint>
#include <memory>

#include "ipc_failure.h"
#include "pipe_limits.h"
#include "registry.h"
#include "slot_objects.h"

namespace spin {
class Estimate;  // spin_wait.h, the library's own
}

/// The client half of the pipe for one base name (see the file's
/// description).
class PipeClient {
public:
    /// What one exchange sends and receives, in place in the block.
    class Message {
    public:
        /// Length WriteRequest returns to give the call up: nothing is sent,
        /// nothing counted, Call returns 0.
        static const unsigned long kGiveUp = ~0ul;
        /// Writes the request into `room` (`capacity` bytes) and returns its
        /// length. A request that does not fit returns its whole length
        /// (above capacity; it need not have been written): the call is then
        /// refused as too long for the server's block. Called again for each
        /// server the request is handed to.
        virtual unsigned long WriteRequest(char* room, unsigned long capacity) = 0;
        /// Takes the answer: `length` bytes at `answer`, cut to the block;
        /// `whole` is the length the server gave.
        virtual void TakeAnswer(const char* answer, unsigned long length, unsigned long whole) = 0;

    protected:
        ~Message() = default;
    };

    /// Opens nothing yet: the first Call does. A base name that is too long
    /// makes every Call fail.
    explicit PipeClient(const char* base);
    /// Detaches the views and releases the records; the objects stay.
    ~PipeClient();
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    /// One exchange. On success *replyLen (when given) holds the answer's
    /// length, the answer itself cut to replySize. A request longer than the
    /// server's block can carry is refused before it is sent. 0 on every
    /// failure: no registry, no live server, no free server within a minute,
    /// the server gone after taking the request; whatever was taken (claim,
    /// free-server unit, mutex) is given back.
    int Call(const void* request, unsigned long requestLen, unsigned char* reply, unsigned long replySize,
             unsigned long* replyLen);
    /// One exchange in place, as above.
    int Call(Message& message);

    /// The base name the client calls.
    const char* BaseName() const { return m_base; }
    /// The cause of the last failed Call.
    const IpcFailure& Failure() const { return m_failure; }
    /// The waits for an answer that spun, and those that saw it coming.
    const spin::Estimate& AnswerSpin() const;

private:
    enum class Result { Done, Failed, Stale, GivenUp };

    bool OpenObjects();
    void DropObjects();
    Result Exchange(Message& message);
    bool Knows(const ServerID& id) const;
    SlotObjects* TakeServer(const ServerID& id, IpcFailure& failure);
    Result Fail(const IpcFailure& failure, bool stale);
    spin::Estimate& AnswerEstimate();

    struct CachedSlot {
        std::unique_ptr<SlotObjects> objects;
        int32_t serverPid = 0;
        uint32_t startTicks = 0;
    };

    char m_base[kNameBufferSize];
    bool m_nameFits;
    bool m_open = false;
    ServerMonitor m_monitor;
    SlotSets m_sets;
    CachedSlot m_slots[kMaxServers];
    IpcFailure m_failure;
    ExchangeFailure m_cause = ExchangeFailure::NoServer;  ///< counted when a Call fails
    /// The answers' spin::Estimate, made in place by the constructor (the
    /// .cpp checks that it fits): no allocation, and spin_wait.h stays the
    /// library's own.
    alignas(8) unsigned char m_answerSpin[96];
};

#endif
