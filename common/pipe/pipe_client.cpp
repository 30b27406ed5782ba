#include "pipe_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <type_traits>
#include <unistd.h>

#include "exchange.h"
#include "spin_wait.h"

namespace {

// A client waits this long for the mutex of the server it claimed; only a
// terminate message or a dying client can hold it.
const unsigned long kServerMutexWaitMs = 60000;
// A slot that will be free shortly (a dead client's request still being
// served, a server closing) is looked at again this often.
const useconds_t kRecoveringPollUs = 20000;
// Servers a request may be handed to before the call gives up: every slot
// twice over.
const int kHandovers = 2 * kMaxServers;
// The longest a client watches for its answer on the processor before it
// sleeps (spin_wait.h): three to four times the inspector's answer (25-30
// us after the request; the mail store's pages take milliseconds, and their
// clients do not spin). Gain: a persistent client's call in a seventh to a
// tenth of the time when both sides spin, up to 1.11 of a FastCGI worker's
// requests per second at concurrency 1 (bench/README.md, "The spin").
const uint64_t kAnswerSpinLimitNs = 100 * 1000;

bool IsStale(int error) { return error == EIDRM || error == EINVAL; }

// The buffers of the copying form of Call.
class BufferMessage : public PipeClient::Message {
public:
    BufferMessage(const void* request, unsigned long requestLen, unsigned char* reply, unsigned long replySize,
                  unsigned long* replyLen)
        : m_request(request), m_requestLen(requestLen), m_reply(reply), m_replySize(replySize), m_replyLen(replyLen) {}

    unsigned long WriteRequest(char* room, unsigned long capacity) override {
        if (m_requestLen <= capacity && m_requestLen > 0 && m_request) std::memcpy(room, m_request, m_requestLen);
        return m_requestLen;
    }
    void TakeAnswer(const char* answer, unsigned long length, unsigned long whole) override {
        unsigned long n = std::min(length, m_replySize);
        if (n > 0 && m_reply) std::memcpy(m_reply, answer, n);
        if (m_replyLen) *m_replyLen = whole;
    }

private:
    const void* m_request;
    unsigned long m_requestLen;
    unsigned char* m_reply;
    unsigned long m_replySize;
    unsigned long* m_replyLen;
};

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

PipeClient::PipeClient(const char* base) : m_nameFits(CopyBaseName(m_base, base)) {
    new (m_answerSpin) spin::Estimate(kAnswerSpinLimitNs);
    if (!m_nameFits) m_base[0] = 0;
}

PipeClient::~PipeClient() { DropObjects(); }

spin::Estimate& PipeClient::AnswerEstimate() {
    static_assert(sizeof(spin::Estimate) <= sizeof m_answerSpin && alignof(spin::Estimate) <= 8 &&
                      std::is_trivially_destructible<spin::Estimate>::value,
                  "the answers' estimate fits its room and needs no destructor");
    return *std::launder(reinterpret_cast<spin::Estimate*>(m_answerSpin));
}

const spin::Estimate& PipeClient::AnswerSpin() const { return const_cast<PipeClient*>(this)->AnswerEstimate(); }

bool PipeClient::OpenObjects() {
    if (!m_nameFits) {
        m_failure = IpcFailure::Protocol("base name longer than 248 characters", "");
        return false;
    }
    if (!m_monitor.Attach(m_base)) {
        m_failure = m_monitor.Failure();
        return false;
    }
    if (!m_sets.Open(m_base, m_failure)) {
        m_monitor.Detach();
        return false;
    }
    m_open = true;
    return true;
}

void PipeClient::DropObjects() {
    for (CachedSlot& slot : m_slots) {
        slot.objects.reset();
        slot.serverPid = 0;
        slot.startTicks = 0;
    }
    m_sets.Forget();
    m_monitor.Detach();
    m_open = false;
}

int PipeClient::Call(const void* request, unsigned long requestLen, unsigned char* reply, unsigned long replySize,
                     unsigned long* replyLen) {
    BufferMessage message(request, requestLen, reply, replySize, replyLen);
    return Call(message);
}

int PipeClient::Call(Message& message) {
    m_failure = IpcFailure();
    // Objects of an earlier start of the server task show at their first
    // use; they are dropped and the new ones opened, once.
    for (int round = 0; round < 2; ++round) {
        if (!m_open && !OpenObjects()) return 0;
        m_cause = ExchangeFailure::NoServer;
        Result result = Exchange(message);
        if (result == Result::Done) return 1;
        if (result == Result::GivenUp) return 0;
        if (result == Result::Failed) {
            m_monitor.Counters().ExchangeFailed(m_failure.Refused() ? ExchangeFailure::Refused : m_cause);
            return 0;
        }
        DropObjects();
    }
    return 0;
}

PipeClient::Result PipeClient::Fail(const IpcFailure& failure, bool stale) {
    m_failure = failure;
    return stale ? Result::Stale : Result::Failed;
}

// True when the slot's objects are open for this very registration of its
// server (pid and start ticks, which a server never repeats for a new block
// of its own: ServerPipe::InitServer). The registry's record, read under the
// claim's lock, proves the block current without asking the system
// (shmctl IPC_STAT, a system call in every call).
bool PipeClient::Knows(const ServerID& id) const {
    if (id.index < 0 || id.index >= kMaxServers) return false;
    const CachedSlot& cached = m_slots[id.index];
    return cached.objects && cached.serverPid == id.serverPid && cached.startTicks == id.startTicks;
}

// Opens (or finds open) the claimed server's objects and takes its mutex.
// Null when that fails or the server closed meanwhile; nothing is held then.
SlotObjects* PipeClient::TakeServer(const ServerID& id, IpcFailure& failure) {
    CachedSlot& cached = m_slots[id.index];
    if (!Knows(id)) {
        if (!cached.objects) cached.objects.reset(new (std::nothrow) SlotObjects);
        if (!cached.objects) {
            ipc::Fail(failure, "malloc", m_base, ENOMEM);
            return nullptr;
        }
        cached.serverPid = 0;
        if (!cached.objects->Open(m_sets, m_base, id.index, failure)) return nullptr;
        cached.serverPid = id.serverPid;
        cached.startTicks = id.startTicks;
    }
    SlotObjects* slot = cached.objects.get();
    if (!ipc::Take(slot->Mutex(), ipc::Deadline::After(kServerMutexWaitMs), failure)) return nullptr;
    // The server may have closed while the mutex was waited for.
    if (m_monitor.Serves(id.index, id.serverPid)) return slot;
    // A server that closed: the request goes to another.
    ipc::Give(slot->Mutex(), failure);
    if (!failure.Failed()) ipc::Fail(failure, "server closed while its mutex was waited for at", m_base, 0);
    return nullptr;
}

PipeClient::Result PipeClient::Exchange(Message& message) {
    if (!m_monitor.ReserveUnit(kFreeServerWaitMs)) {
        if (m_monitor.TimedOut()) m_cause = ExchangeFailure::Timeout;
        return Fail(m_monitor.Failure(), m_monitor.Stale());
    }
    bool holdsUnit = true;
    auto known = [this](const ServerID& claimed) { return Knows(claimed); };
    for (int handover = 0; handover < kHandovers; ++handover) {
        // Claims an idle server. A slot that frees itself shortly is waited
        // for within the free-server limit rather than failing the request.
        // A unit that turned out to be a dead or closed server's is spent on
        // it, and a free server is waited for again, as at the start.
        ServerID id;
        bool claimed = false;
        long long deadline = NowMs() + (long long)kFreeServerWaitMs;
        for (int reservations = 0;;) {
            if (!holdsUnit) {
                long long left = deadline - NowMs();
                if (++reservations > kMaxServers || left <= 0 || !m_monitor.ReserveUnit((unsigned long)left)) break;
                holdsUnit = true;
            }
            if ((claimed = m_monitor.GetServer(id, known))) break;
            if (m_monitor.SpentUnit()) {
                holdsUnit = false;
                continue;
            }
            if (!m_monitor.SawRecoveringSlot() || NowMs() >= deadline) break;
            usleep(kRecoveringPollUs);
        }
        if (!claimed) {
            m_failure = m_monitor.Failure();
            if (m_monitor.TimedOut()) m_cause = ExchangeFailure::Timeout;
            break;
        }
        IpcFailure cause;
        SlotObjects* slot = TakeServer(id, cause);
        if (!slot) {
            m_monitor.DropClaim(id);
            if (IsStale(cause.error)) {
                if (holdsUnit) m_monitor.GiveBackUnit();
                return Fail(cause, true);
            }
            m_failure = cause;
            continue;  // the server went away before anything was sent
        }
        // Only a dead client's slot may hold signals of an earlier exchange:
        // the events of any other are at rest (exchange.h).
        bool cleared = m_monitor.ClaimedAbandoned();
        unsigned long capacity = exchange::Capacity(*slot);
        unsigned long length = 0;
        if (!cleared || exchange::ClearEvents(*slot, cause))
            length = message.WriteRequest(exchange::MessageBytes(*slot), capacity);
        if (cause.Failed() || length > capacity) {
            IpcFailure ignored;  // the failure that ends the call is the one above
            ipc::Give(slot->Mutex(), ignored);
            m_monitor.PutServer(id);
            if (cause.Failed()) return Fail(cause, IsStale(cause.error));
            if (length == Message::kGiveUp) {
                m_failure = IpcFailure::Protocol("request not written for", m_base);
                return Result::GivenUp;
            }
            char what[IpcFailure::kCallSize];
            std::snprintf(what, sizeof what, "request of %lu bytes longer than the %lu the pipe block carries at",
                          length, capacity);
            m_cause = ExchangeFailure::Refused;
            return Fail(IpcFailure::Protocol(what, m_base), false);
        }
        exchange::SetMessageLength(*slot, uint32_t(length));
        exchange::Awaited awaited = exchange::Awaited::WaitFailed;
        // Whether to watch for the answer, and the slot's count of answers as
        // it stands before the request goes.
        uint64_t spinBudget = AnswerEstimate().Budget(m_monitor.OtherExchanges(id.index));
        const uint64_t* answered = spinBudget > 0 ? m_monitor.Counters().AnsweredCounter(id.index) : nullptr;
        uint64_t answeredBefore = answered ? __atomic_load_n(answered, __ATOMIC_ACQUIRE) : 0;
        if (exchange::PostRequest(*slot, cleared, cause)) {
            uint64_t posted = spin::NowNs();
            bool spun = spinBudget > 0 &&
                        exchange::SpinForAnswer(*slot, uint32_t(length), answered, answeredBefore, spinBudget, cause);
            if (spinBudget > 0 && !cause.Failed()) AnswerEstimate().Spun(spun);
            if (spun) {
                awaited = exchange::Awaited::Answer;
            } else if (!cause.Failed()) {
                awaited = exchange::AwaitAnswer(
                    *slot,
                    [this, &id] { return ipc::ProcessExists(id.serverPid) && m_monitor.Serves(id.index, id.serverPid); },
                    cause);
            }
            if (awaited == exchange::Awaited::Answer) AnswerEstimate().Record(spin::NowNs() - posted);
        } else {
            IpcFailure ignored;
            ipc::Give(slot->Mutex(), ignored);
            m_monitor.PutServer(id);
            return Fail(cause, IsStale(cause.error));
        }
        if (awaited == exchange::Awaited::Answer) {
            uint32_t whole = exchange::MessageLength(*slot);
            // Never read past the block, whatever its length word says.
            message.TakeAnswer(exchange::MessageBytes(*slot), std::min<unsigned long>(whole, capacity), whole);
        }
        // The server's mutex goes before the server itself: once given back,
        // the server is claimed by the next client at once, which must not
        // find the mutex still taken by a client stopped (or long
        // descheduled) between the two steps.
        IpcFailure released;
        bool mutexBack = ipc::Give(slot->Mutex(), released);
        // A server that ended (reaped or not) leaves the registry now, so
        // that no other client claims it again.
        bool gone = awaited != exchange::Awaited::Answer && !ipc::ProcessExists(id.serverPid);
        if (awaited == exchange::Awaited::NotTaken) {
            if (gone) m_monitor.ServerGone(id);
            else m_monitor.DropClaim(id);
            m_failure = IpcFailure::Protocol("every server claimed went away before taking the request at", m_base);
            continue;  // nobody took it: another server will
        }
        m_monitor.PutServer(id);
        if (gone) m_monitor.ServerGone(id);
        if (awaited == exchange::Awaited::Answer) return mutexBack ? Result::Done : Fail(released, IsStale(released.error));
        if (awaited == exchange::Awaited::WaitFailed) return Fail(cause, false);
        char what[IpcFailure::kCallSize];
        std::snprintf(what, sizeof what, "server %d ended while serving the request at", int(id.serverPid));
        m_cause = ExchangeFailure::DeadServer;
        return Fail(IpcFailure::Protocol(what, m_base), false);
    }
    if (holdsUnit) m_monitor.GiveBackUnit();
    return Result::Failed;
}
