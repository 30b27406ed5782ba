#include "server_pipe.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <type_traits>
#include <unistd.h>

#include "exchange.h"
#include "spin_wait.h"

namespace {

const int kRegistryAttempts = 3;
// A closing server waits this long for an exchange in progress on its pipe,
// looking every slice whether a client's request waits in vain instead.
const unsigned long kQuietWaitMs = 5000;
const unsigned long kQuietSliceMs = 20;
// The longest a pipe watches for its next request on the processor before
// it sleeps (spin_wait.h): a client calling in a loop sends it within a few
// microseconds, and then the pipe neither sleeps nor has to be woken (with
// the client spinning too, 4.2-4.5 us a call against 29-47 us); a FastCGI
// worker's next request is more than 100 us away, and a pipe forced to
// watch 200 us for it took the core the web server needed (0.41 of the
// requests per second at concurrency 1: bench/README.md, "The spin").
const uint64_t kRequestSpinLimitNs = 50 * 1000;

// The start ticks of a new registration: the clock's, but never one that
// this process gave a registration before. With its pid they name the
// registration, and so the block, to a client that keeps the block's view
// (PipeClient::Knows); the clock alone repeats within a second, and daily.
uint32_t NewStartTicks() {
    static std::atomic<uint32_t> last{0};
    uint32_t now = ipc::TickCount();
    uint32_t previous = last.load();
    uint32_t ticks;
    do {
        ticks = now > previous ? now : previous + 1;
    } while (!last.compare_exchange_weak(previous, ticks));
    return ticks;
}

}  // namespace

ServerPipe::ServerPipe() : m_registered(0), m_size(0) { new (m_requestSpin) spin::Estimate(kRequestSpinLimitNs); }

ServerPipe::~ServerPipe() = default;

spin::Estimate& ServerPipe::RequestEstimate() {
    static_assert(sizeof(spin::Estimate) <= sizeof m_requestSpin && alignof(spin::Estimate) <= 8 &&
                      std::is_trivially_destructible<spin::Estimate>::value,
                  "the requests' estimate fits its room and needs no destructor");
    return *std::launder(reinterpret_cast<spin::Estimate*>(m_requestSpin));
}

const spin::Estimate& ServerPipe::RequestSpin() const { return const_cast<ServerPipe*>(this)->RequestEstimate(); }

int ServerPipe::Fail(const IpcFailure& failure) {
    m_failure = failure;
    return 0;
}

int ServerPipe::Create(const char* name, unsigned long size, const PipeAccess& access) {
    if (size > INT_MAX) return Fail(IpcFailure::Protocol("pipe block larger than 2 GiB for", name));
    return InitServer(name, int(size), access);
}

int ServerPipe::InitServer(const char* name, int size, const PipeAccess& access) {
    if (!name) return Fail(IpcFailure::Protocol("no base name", ""));
    // The block must hold its length word.
    if (size < 4) return Fail(IpcFailure::Protocol("pipe block smaller than its length word for", name));
    m_id.serverPid = int32_t(getpid());
    m_id.startTicks = NewStartTicks();
    m_answered = false;  // a new block: no answer in it to watch past
    for (int attempt = 0; attempt < kRegistryAttempts; ++attempt) {
        if (!m_monitor.InitServer(name, access)) return Fail(m_monitor.Failure());
        if (m_monitor.AddServer(m_id, &m_slot, (unsigned long)size) >= 0) {
            m_monitor.Counters().Registered(m_id.index, m_id.serverPid, m_id.startTicks);
            m_size = (unsigned long)size;
            m_registered = 1;
            return 1;
        }
        // The last server removed the registry while we waited for its lock.
        bool vanished = m_monitor.Stale();
        Fail(m_monitor.Failure());
        m_monitor.Detach();
        if (!vanished) return 0;
    }
    return 0;
}

int ServerPipe::Connect() {
    IpcFailure failure;
    bool taken = false;
    if (m_answered) {
        uint64_t budget = RequestEstimate().Budget(m_monitor.OtherExchanges(m_id.index));
        if (budget > 0) {
            taken = exchange::SpinForRequest(m_slot, m_answerLength, budget, failure);
            if (failure.Failed()) return Fail(failure);
            RequestEstimate().Spun(taken);
        }
    }
    if (!taken && !exchange::AwaitRequest(m_slot, failure)) return Fail(failure);
    if (m_answered) RequestEstimate().Record(spin::NowNs() - m_answeredAtNs);
    m_answered = false;
    // The terminate message (an empty request) is not counted.
    m_counting = exchange::MessageLength(m_slot) > 0;
    if (m_counting) m_monitor.Counters().RequestTaken(m_id.index);
    return 1;
}

int ServerPipe::Read(char* buffer, unsigned long max, unsigned long* got) { return ReadSharedMem(buffer, max, got); }

int ServerPipe::Write(char* buffer, unsigned long length) {
    m_answerLength = exchange::WriteMessage(m_slot, buffer, length, m_size);
    // Counted before it is signalled, and after it is written: a client
    // holding its answer finds it counted, and a client that sees the count
    // move on finds the signal within one system call (SpinForAnswer).
    if (m_counting) m_monitor.Counters().RequestAnswered(m_id.index);
    m_counting = false;
    IpcFailure failure;
    if (!exchange::SignalAnswer(m_slot, failure)) return Fail(failure);
    m_answered = true;
    m_answeredAtNs = spin::NowNs();
    return 1;
}

int ServerPipe::Disconnect() { return 1; }

int ServerPipe::Close() { return Terminate(); }

int ServerPipe::Terminate() {
    if (!m_registered) {
        m_slot.RemoveBlock();
        m_slot.Forget();
        return 1;
    }
    // Withdrawn, the pipe is claimed by itself, so no new client takes it and
    // no new server takes its slot.
    m_monitor.Withdraw(m_id);
    bool mutexHeld = AwaitQuiet();
    m_monitor.TerminateServer(m_id, m_slot, mutexHeld);
    m_registered = 0;
    return 1;
}

// Takes the pipe's own mutex, so that an exchange still in progress (a
// client reading the last answer, the terminate message's sender reading
// its reply) ends before the objects go. A client that claimed the pipe
// before it was withdrawn and posted a request holds the mutex until it
// sees the pipe gone and hands the request to another server: then the pipe
// goes without waiting for it.
bool ServerPipe::AwaitQuiet() {
    for (unsigned long waited = 0; waited < kQuietWaitMs; waited += kQuietSliceMs) {
        IpcFailure failure;
        if (ipc::Take(m_slot.Mutex(), ipc::Deadline::After(kQuietSliceMs), failure)) return true;
        if (!failure.TimedOut()) return false;
        int request = 1;
        if (ipc::Value(m_slot.Request(), request, failure) && request == 0) return false;  // a request nobody will take
    }
    return false;
}

int ServerPipe::ReadSharedMem(char* buffer, unsigned long max, unsigned long* got) {
    exchange::ReadMessage(m_slot, buffer, max, got);
    return 1;
}

int ServerPipe::WriteSharedMem(char* buffer, unsigned long length) {
    exchange::WriteMessage(m_slot, buffer, length, m_size);
    return 1;
}

// The first pipe of this process that serves: registered and not closing.
// -1 when there is none.
int ServerPipe::OwnServingSlot(ServerMonitor& monitor) {
    ServerList list;
    if (!monitor.GetServerList(list)) return -1;
    int pid = int(getpid());
    int limit = std::min<int>(int(list.max), kMaxServers);
    for (int i = 0; i < limit; ++i) {
        const ServerID& entry = list.servers[i];
        if (entry.serverPid == pid && entry.index == i && entry.clientPid != pid) return i;
    }
    return -1;
}

int ServerPipe::SendTerminateMessage(const char* name) {
    // A monitor of its own: this object may be the server's pipe itself.
    // It reserves no free-server unit: the message is for this process's
    // own pipe, which it addresses by its slot, and a pipe whose handler is
    // stuck must not hold a unit that another pipe's stop is waiting for.
    ServerMonitor monitor;
    if (!monitor.Attach(name)) return Fail(monitor.Failure());
    int pid = int(getpid());
    int result = 0;
    // A pipe of this process that closes before taking the message (it was
    // woken by an earlier message) passes it on to the next one.
    for (int attempt = 0; attempt < kMaxServers; ++attempt) {
        // Only a registered pipe of this very process is addressed.
        int slot = OwnServingSlot(monitor);
        if (slot < 0) {
            Fail(IpcFailure::Protocol("no serving pipe of this process registered under", name));
            break;
        }
        SlotObjects objects;
        IpcFailure failure;
        if (!objects.Open(name, slot, failure)) {
            Fail(failure);
            break;
        }
        // Waits for an exchange in progress on the pipe to end.
        bool mutexTaken = ipc::Take(objects.Mutex(), ipc::Deadline::Never(), failure);
        exchange::Awaited awaited = exchange::Awaited::WaitFailed;
        bool cleared = exchange::ClearEvents(objects, failure);
        exchange::WriteMessage(objects, nullptr, 0, objects.BlockSize());
        if (cleared && exchange::PostRequest(objects, true, failure))
            awaited = exchange::AwaitAnswer(
                objects, [&monitor, slot, pid] { return monitor.Serves(slot, pid); }, failure);
        if (awaited != exchange::Awaited::Answer && awaited != exchange::Awaited::NotTaken) Fail(failure);
        int released = mutexTaken && ipc::Give(objects.Mutex(), failure) ? 1 : 0;
        if (awaited == exchange::Awaited::NotTaken) continue;
        if (awaited == exchange::Awaited::Answer) result = released;
        break;
    }
    // The pipe, when it closes, takes its own unit out of the count.
    return result;
}

int ServerPipe::ClientPid() const {
    const ServerList* list = m_monitor.Block();
    int slot = m_id.index;
    if (!list || slot < 0 || slot >= kMaxServers) return -1;
    int32_t pid = __atomic_load_n(&list->servers[slot].clientPid, __ATOMIC_RELAXED);
    return pid > 0 ? int(pid) : -1;
}
