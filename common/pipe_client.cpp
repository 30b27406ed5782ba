#include "pipe_client.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "exchange.h"
#include "opsys.h"

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

bool IsStale(int error) { return error == EIDRM || error == EINVAL; }

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

PipeClient::PipeClient(const char* base) : m_nameFits(CopyBaseName(m_base, base)) {
    if (!m_nameFits) m_base[0] = 0;
}

PipeClient::~PipeClient() { DropObjects(); }

bool PipeClient::OpenObjects() {
    if (!m_nameFits) {
        m_failure = IpcFailure::Protocol("base name longer than 248 characters", "");
        return false;
    }
    if (!m_monitor.Attach(m_base)) {
        m_failure = m_monitor.Failure();
        return false;
    }
    if (!m_sets.Open(m_base)) {
        m_failure = LastFailureUx();
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
    unsigned long ignored = 0;
    m_failure = IpcFailure();
    // Objects of an earlier start of the server task show at their first
    // use; they are dropped and the new ones opened, once.
    for (int round = 0; round < 2; ++round) {
        if (!m_open && !OpenObjects()) return 0;
        m_cause = ExchangeFailure::NoServer;
        Result result = Exchange(request, requestLen, reply, replySize, replyLen ? replyLen : &ignored);
        if (result == Result::Done) return 1;
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

PipeClient::Result PipeClient::FailFromSystem() {
    const IpcFailure& failure = LastFailureUx();
    return Fail(failure, IsStale(failure.error));
}

// Claims an idle server. A slot that frees itself shortly is waited for
// within the free-server limit rather than failing the request. A unit that
// turned out to be a dead or closed server's is spent on it, and a free
// server is waited for again, as at the start.
bool PipeClient::ClaimServer(ServerID& id, bool& holdsUnit) {
    long long deadline = NowMs() + (long long)kFreeServerWaitMs;
    for (int reservations = 0;;) {
        if (!holdsUnit) {
            long long left = deadline - NowMs();
            if (++reservations > kMaxServers || left <= 0 || !m_monitor.ReserveUnit((unsigned long)left)) break;
            holdsUnit = true;
        }
        if (m_monitor.GetServer(id, [this](const ServerID& claimed) { return Knows(claimed); })) return true;
        if (m_monitor.SpentUnit()) {
            holdsUnit = false;
            continue;
        }
        if (!m_monitor.SawRecoveringSlot() || NowMs() >= deadline) break;
        usleep(kRecoveringPollUs);
    }
    m_failure = m_monitor.Failure();
    if (m_monitor.TimedOut()) m_cause = ExchangeFailure::Timeout;
    return false;
}

// True when the slot's objects are open for this very registration of its
// server (pid and start ticks, which a server never repeats for a new block
// of its own: MemoryPipe::InitServer). The registry's record, read under the
// claim's lock, proves the block current without asking the system
// (shmctl IPC_STAT, a system call in every call).
bool PipeClient::Knows(const ServerID& id) const {
    if (id.index < 0 || id.index >= kMaxServers) return false;
    const CachedSlot& cached = m_slots[id.index];
    return cached.objects && cached.serverPid == id.serverPid && cached.startTicks == id.startTicks;
}

// Opens (or finds open) the claimed server's objects and takes its mutex.
// Null when that fails or the server closed meanwhile; nothing is held then.
SlotObjects* PipeClient::TakeServer(const ServerID& id) {
    CachedSlot& cached = m_slots[id.index];
    if (!Knows(id)) {
        if (!cached.objects) cached.objects.reset(new SlotObjects);
        cached.serverPid = 0;
        if (!cached.objects->Open(m_sets, m_base, id.index)) return nullptr;
        cached.serverPid = id.serverPid;
        cached.startTicks = id.startTicks;
    }
    SlotObjects* slot = cached.objects.get();
    int taken = OpSys::WaitForMutex(slot->Mutex(), kServerMutexWaitMs);
    if (taken != OS_WAIT_OK && taken != OS_WAIT_ABANDONED) return nullptr;
    // The server may have closed while the mutex was waited for.
    if (m_monitor.Serves(id.index, id.serverPid)) return slot;
    OpSys::ReleaseMutex(slot->Mutex());
    return nullptr;
}

PipeClient::Result PipeClient::Exchange(const void* request, unsigned long requestLen, unsigned char* reply,
                                        unsigned long replySize, unsigned long* replyLen) {
    if (!m_monitor.ReserveUnit(kFreeServerWaitMs)) {
        if (m_monitor.TimedOut()) m_cause = ExchangeFailure::Timeout;
        return Fail(m_monitor.Failure(), m_monitor.Stale());
    }
    bool holdsUnit = true;
    for (int handover = 0; handover < kHandovers; ++handover) {
        ServerID id;
        if (!ClaimServer(id, holdsUnit)) break;
        SlotObjects* slot = TakeServer(id);
        if (!slot) {
            IpcFailure cause = LastFailureUx();
            m_monitor.DropClaim(id);
            if (IsStale(cause.error)) {
                if (holdsUnit) m_monitor.GiveBackUnit();
                return Fail(cause, true);
            }
            m_failure = cause;
            continue;  // the server went away before anything was sent
        }
        if (requestLen > exchange::Capacity(*slot)) {
            char what[IpcFailure::kCallSize];
            std::snprintf(what, sizeof what, "request of %lu bytes longer than the %lu the pipe block carries at",
                          requestLen, exchange::Capacity(*slot));
            OpSys::ReleaseMutex(slot->Mutex());
            m_monitor.PutServer(id);
            m_cause = ExchangeFailure::Refused;
            return Fail(IpcFailure::Protocol(what, m_base), false);
        }
        // Only a dead client's slot may hold signals of an earlier exchange:
        // the events of any other are at rest (exchange.h).
        if (!exchange::PostRequest(*slot, request, requestLen, m_monitor.ClaimedAbandoned())) {
            IpcFailure cause = LastFailureUx();
            OpSys::ReleaseMutex(slot->Mutex());
            m_monitor.PutServer(id);
            return Fail(cause, IsStale(cause.error));
        }
        exchange::Awaited awaited = exchange::AwaitAnswer(*slot, [this, &id] {
            return OpSys::ProcessExists(id.serverPid) && m_monitor.Serves(id.index, id.serverPid);
        });
        IpcFailure cause = LastFailureUx();
        if (awaited == exchange::Awaited::Answer) exchange::ReadMessage(*slot, reinterpret_cast<char*>(reply), replySize, replyLen);
        // The server's mutex goes before the server itself: once given back,
        // the server is claimed by the next client at once, which must not
        // find the mutex still taken by a client stopped (or long
        // descheduled) between the two steps.
        int released = OpSys::ReleaseMutex(slot->Mutex());
        // A server that ended (reaped or not) leaves the registry now, so
        // that no other client claims it again.
        bool gone = awaited != exchange::Awaited::Answer && !OpSys::ProcessExists(id.serverPid);
        if (awaited == exchange::Awaited::NotTaken) {
            if (gone) m_monitor.ServerGone(id);
            else m_monitor.DropClaim(id);
            m_failure = IpcFailure::Protocol("every server claimed went away before taking the request at", m_base);
            continue;  // nobody took it: another server will
        }
        m_monitor.PutServer(id);
        if (gone) m_monitor.ServerGone(id);
        if (awaited == exchange::Awaited::Answer) return released ? Result::Done : FailFromSystem();
        if (awaited == exchange::Awaited::WaitFailed) return Fail(cause, false);
        char what[IpcFailure::kCallSize];
        std::snprintf(what, sizeof what, "server %d ended while serving the request at", int(id.serverPid));
        m_cause = ExchangeFailure::DeadServer;
        return Fail(IpcFailure::Protocol(what, m_base), false);
    }
    if (holdsUnit) m_monitor.GiveBackUnit();
    return Result::Failed;
}
