/// @file
/// The counters of a base name B: one segment, B.stats, that every process
/// of the pipe keeps figures in: the server pipes (requests answered, busy
/// since when, time spent serving, requests ended by the timeout), the
/// clients (waits for a free server, failed exchanges by cause) and the
/// supervisor (timeouts). It is made with the registry by the first server,
/// with the registry's owner and mode, and removed with it by the last one.
/// Neither the registry block nor the messages change for it.
///
/// Invariants. Every figure is a 64-bit word changed only by an atomic add
/// or store (no lock, no system call: the clock is CLOCK_MONOTONIC, read
/// without entering the kernel), so a process that dies loses nothing it
/// has counted, and a reader sees each figure whole. Counters only grow
/// while the segment lives: a slot's figures outlive the pipe processes that
/// serve in it one after another (its pid and start mark the present one),
/// so the sum of the slots' requests is every answer given under B. A
/// server counts a request answered before it signals the answer: a client
/// that holds its answer finds it counted. The terminate message is not a
/// request and is not counted.
///
/// Timing: the clock is system-wide, so one process's "busy since" is another
/// process's too. Durations go into fixed buckets (kCounterBucketBoundsUs,
/// then one without bound), the sum beside them.
///
/// A server started with VELMOX_COUNTERS=off in its environment makes no
/// counters when it makes the registry (the benchmarks' switch); processes
/// that find no counters count nothing. Counters that are there but not the
/// service's own are refused like any other object of the pipe.
///
/// Error convention: the core's (ipc_core.h): Make and Open return true or
/// false, a failure filling the IpcFailure given. Every counting call does
/// nothing on a view that is not attached, so callers never test first.
/// Nothing here throws. A view serves any number of threads.
#ifndef VELMOX_PIPE_COUNTERS_H
#define VELMOX_PIPE_COUNTERS_H

#include <cstdint>

#include "pipe_access.h"
#include "ipc_core.h"
#include "pipe_limits.h"

const int kCounterBounds = 13;  ///< the number of bounds of kCounterBucketBoundsUs
/// Upper bounds of the duration buckets, in microseconds; a last bucket
/// takes what is longer.
extern const uint64_t kCounterBucketBoundsUs[kCounterBounds];
const int kCounterBuckets = kCounterBounds + 1;  ///< the buckets of a CounterHistogram

/// Why a client's exchange failed.
enum class ExchangeFailure : uint32_t {
    NoServer = 0,    ///< no live server registered
    DeadServer = 1,  ///< the server went away after taking the request
    Timeout = 2,     ///< no free server, or the registry lock, within the limit
    Refused = 3,     ///< refused before it was sent: too long, or an object not trusted
};
const int kExchangeFailureKinds = 4;  ///< the number of ExchangeFailure values
/// "no_server", "dead_server", "timeout", "refused": the label values.
const char* ExchangeFailureName(ExchangeFailure cause);

/// A histogram of durations.
struct CounterHistogram {
    uint64_t buckets[kCounterBuckets];  ///< each bucket alone, not cumulative
    uint64_t sumUs;                     ///< the sum of the durations, in microseconds
};

/// The figures of one slot, for the pipe processes that serve in it.
struct SlotCounters {
    int32_t serverPid;     ///< the pipe process now in the slot; 0 before the first
    uint32_t startTicks;   ///< its start mark, as in the registry
    uint64_t requests;     ///< requests answered
    uint64_t busySinceUs;  ///< when the request being served was taken; 0 while idle
    uint64_t timeouts;     ///< requests ended by the request timeout
    CounterHistogram durations;  ///< how long the requests answered took
};

/// The layout of the segment (all fixed-width, the same for every build).
struct CounterBlock {
    uint32_t magic;   ///< kCounterMagic once the block is laid out
    uint32_t layout;  ///< kCounterLayout
    uint64_t waits;   ///< requests whose client waited for a free server
    CounterHistogram waited;  ///< how long those clients waited
    uint64_t failures[kExchangeFailureKinds];  ///< failed exchanges, indexed by ExchangeFailure
    SlotCounters slots[kMaxServers];           ///< the figures of each slot
};
const uint32_t kCounterMagic = 0x564d5843;  ///< "VMXC"
const uint32_t kCounterLayout = 1;          ///< the version of CounterBlock's layout
static_assert(sizeof(CounterBlock) % 8 == 0, "counters are 64-bit words");

/// One process's view of the counters of a base name.
class PipeCounters {
public:
    PipeCounters() = default;
    ~PipeCounters() { Detach(); }
    PipeCounters(const PipeCounters&) = delete;
    PipeCounters& operator=(const PipeCounters&) = delete;

    /// Server, holding the registry lock: makes the segment (zeroed when
    /// new or when `fresh`: a new registry starts from zero) and attaches it.
    /// With VELMOX_COUNTERS=off it makes nothing and returns true.
    bool Make(const char* name, const PipeAccess& access, bool fresh, IpcFailure& failure);
    /// Attaches an existing segment; false when there is none, or when it
    /// is refused (Refused(): not the service's own, pipe_access.h; only a
    /// refusal fills `failure`, since a view without counters is no fault).
    /// Without `attachNow` (a client's view) the segment is found and
    /// checked now, as every object of the pipe, and attached at the first
    /// count: a call that succeeds at once counts nothing, and a one-shot
    /// client then neither attaches nor detaches it.
    bool Open(const char* name, IpcFailure& failure, bool attachNow = true);
    /// True when the last Open refused the segment.
    bool Refused() const { return m_refused; }
    /// Detaches the view, if any; the segment stays. Never fails.
    void Detach();
    /// Removes the segment of a base name (a trusted one only); 1 when one
    /// was removed.
    static int Remove(const char* name);

    /// True while the segment is attached.
    bool Attached() const { return m_block != nullptr; }
    /// The block as it stands (null when not attached), for readers.
    const CounterBlock* Block() const { return m_block; }

    /// Server pipe: the slot now serves this process.
    void Registered(int slot, int32_t serverPid, uint32_t startTicks);
    ///@{
    /// Server pipe: a request was taken, or answered (counted, with its time).
    void RequestTaken(int slot);
    void RequestAnswered(int slot);
    ///@}
    /// Supervisor: the request in the slot was ended by the timeout.
    void RequestTimedOut(int slot);
    /// The slot serving that pid, or -1.
    int SlotOf(int32_t serverPid) const;
    /// Microseconds the slot's request has run; 0 while idle.
    uint64_t BusyFor(int slot) const;

    ///@{
    /// Client: it waited `us` for a free server; its exchange failed.
    void ClientWaited(uint64_t us);
    void ExchangeFailed(ExchangeFailure cause);
    ///@}
    /// Client: the slot's count of answers, which its server moves on after
    /// writing an answer and before signalling it (exchange::SpinForAnswer);
    /// null without counters.
    const uint64_t* AnsweredCounter(int slot);

    /// CLOCK_MONOTONIC in microseconds.
    static uint64_t NowUs();

private:
    SlotCounters* Slot(int slot) const;
    /// Attaches a view opened without attaching; false when there are no
    /// counters to count in.
    bool AttachFound();

    ipc::Segment m_segment;
    ipc::SegmentView m_view;
    CounterBlock* m_block = nullptr;  ///< the view's data, null while detached
    bool m_found = false;              ///< m_segment checked, not attached yet
    bool m_refused = false;
};

///@{
/// Reads a histogram's words one by one (each whole).
CounterHistogram LoadHistogram(const CounterHistogram& histogram);
uint64_t LoadCounter(const uint64_t& counter);
///@}

#endif
