#include "pipe_counters.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ipc_names.h"

const uint64_t kCounterBucketBoundsUs[kCounterBounds] = {1000,   2500,   5000,    10000,   25000,   50000,   100000,
                                                         250000, 500000, 1000000, 2500000, 5000000, 10000000};

namespace {

void Add(uint64_t& counter, uint64_t n) { __atomic_fetch_add(&counter, n, __ATOMIC_RELAXED); }

void Record(CounterHistogram& histogram, uint64_t us) {
    int bucket = 0;
    while (bucket < kCounterBounds && us > kCounterBucketBoundsUs[bucket]) ++bucket;
    Add(histogram.buckets[bucket], 1);
    Add(histogram.sumUs, us);
}

// The benchmarks' switch: VELMOX_COUNTERS=off.
bool CountersWanted() {
    const char* setting = std::getenv("VELMOX_COUNTERS");
    return !setting || std::strcmp(setting, "off") != 0;
}

}  // namespace

const char* ExchangeFailureName(ExchangeFailure cause) {
    switch (cause) {
    case ExchangeFailure::NoServer: return "no_server";
    case ExchangeFailure::DeadServer: return "dead_server";
    case ExchangeFailure::Timeout: return "timeout";
    case ExchangeFailure::Refused: return "refused";
    }
    return "unknown";
}

uint64_t LoadCounter(const uint64_t& counter) { return __atomic_load_n(&counter, __ATOMIC_RELAXED); }

CounterHistogram LoadHistogram(const CounterHistogram& histogram) {
    CounterHistogram copy;
    for (int i = 0; i < kCounterBuckets; ++i) copy.buckets[i] = LoadCounter(histogram.buckets[i]);
    copy.sumUs = LoadCounter(histogram.sumUs);
    return copy;
}

uint64_t PipeCounters::NowUs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
}

bool PipeCounters::Make(const char* name, const PipeAccess& access, bool fresh, IpcFailure& failure) {
    Detach();
    m_refused = false;
    if (!CountersWanted()) return true;
    char buffer[kNameBufferSize];
    bool existed = false;
    if (!ipc::MakeSegment(FormatName(buffer, kCountersFmt, name), sizeof(CounterBlock), access, m_segment, existed,
                          failure) ||
        !m_view.Attach(m_segment, failure)) {
        Detach();
        return false;
    }
    m_block = static_cast<CounterBlock*>(m_view.Data());
    // Made under the registry lock: nobody counts in a block being laid out.
    if (!existed || fresh || m_block->magic != kCounterMagic || m_block->layout != kCounterLayout) {
        std::memset(static_cast<void*>(m_block), 0, sizeof(CounterBlock));
        m_block->layout = kCounterLayout;
        __atomic_store_n(&m_block->magic, kCounterMagic, __ATOMIC_RELEASE);
    }
    return true;
}

bool PipeCounters::Open(const char* name, IpcFailure& failure, bool attachNow) {
    Detach();
    m_refused = false;
    char buffer[kNameBufferSize];
    IpcFailure cause;
    unsigned long size = 0;
    if (!ipc::OpenSegment(FormatName(buffer, kCountersFmt, name), m_segment, cause) ||
        !ipc::SegmentSize(m_segment, size, cause)) {
        m_refused = cause.Refused();
        if (m_refused) failure = cause;
        Detach();
        return false;
    }
    // A segment too small is not counted in.
    if (size < sizeof(CounterBlock)) {
        Detach();
        return false;
    }
    m_found = true;
    return !attachNow || AttachFound();
}

bool PipeCounters::AttachFound() {
    if (m_block) return true;
    if (!m_found) return false;
    m_found = false;
    IpcFailure ignored;  // gone meanwhile: nothing to count in
    if (!m_view.Attach(m_segment, ignored)) {
        Detach();
        return false;
    }
    m_block = static_cast<CounterBlock*>(m_view.Data());
    // A segment of another layout is not counted in.
    if (__atomic_load_n(&m_block->magic, __ATOMIC_ACQUIRE) != kCounterMagic || m_block->layout != kCounterLayout) {
        Detach();
        return false;
    }
    return true;
}

void PipeCounters::Detach() {
    m_found = false;
    m_block = nullptr;
    m_view.Detach();
    m_segment = ipc::Segment();
}

int PipeCounters::Remove(const char* name) {
    char buffer[kNameBufferSize];
    return ipc::RemoveNamed(FormatName(buffer, kCountersFmt, name), ipc::ObjectKind::Segment, true) ? 1 : 0;
}

SlotCounters* PipeCounters::Slot(int slot) const {
    if (!m_block || slot < 0 || slot >= kMaxServers) return nullptr;
    return &m_block->slots[slot];
}

void PipeCounters::Registered(int slot, int32_t serverPid, uint32_t startTicks) {
    SlotCounters* counters = Slot(slot);
    if (!counters) return;
    // A process that died serving leaves its mark: the newcomer is idle.
    __atomic_store_n(&counters->busySinceUs, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&counters->startTicks, startTicks, __ATOMIC_RELAXED);
    __atomic_store_n(&counters->serverPid, serverPid, __ATOMIC_RELEASE);
}

void PipeCounters::RequestTaken(int slot) {
    SlotCounters* counters = Slot(slot);
    if (counters) __atomic_store_n(&counters->busySinceUs, NowUs(), __ATOMIC_RELAXED);
}

void PipeCounters::RequestAnswered(int slot) {
    SlotCounters* counters = Slot(slot);
    if (!counters) return;
    uint64_t since = __atomic_exchange_n(&counters->busySinceUs, 0, __ATOMIC_RELAXED);
    uint64_t now = NowUs();
    Record(counters->durations, since && now > since ? now - since : 0);
    // Release: a client that sees its answer sees it counted.
    __atomic_fetch_add(&counters->requests, 1, __ATOMIC_RELEASE);
}

void PipeCounters::RequestTimedOut(int slot) {
    SlotCounters* counters = Slot(slot);
    if (counters) Add(counters->timeouts, 1);
}

int PipeCounters::SlotOf(int32_t serverPid) const {
    if (!m_block || serverPid <= 0) return -1;
    for (int slot = 0; slot < kMaxServers; ++slot)
        if (__atomic_load_n(&m_block->slots[slot].serverPid, __ATOMIC_ACQUIRE) == serverPid) return slot;
    return -1;
}

uint64_t PipeCounters::BusyFor(int slot) const {
    SlotCounters* counters = Slot(slot);
    if (!counters) return 0;
    uint64_t since = __atomic_load_n(&counters->busySinceUs, __ATOMIC_RELAXED);
    uint64_t now = NowUs();
    return since && now > since ? now - since : 0;
}

void PipeCounters::ClientWaited(uint64_t us) {
    if (!AttachFound()) return;
    Add(m_block->waits, 1);
    Record(m_block->waited, us);
}

void PipeCounters::ExchangeFailed(ExchangeFailure cause) {
    uint32_t kind = uint32_t(cause);
    if (kind < uint32_t(kExchangeFailureKinds) && AttachFound()) Add(m_block->failures[kind], 1);
}

const uint64_t* PipeCounters::AnsweredCounter(int slot) {
    return slot >= 0 && slot < kMaxServers && AttachFound() ? &m_block->slots[slot].requests : nullptr;
}
