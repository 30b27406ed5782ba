#include "mempipe.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "exchange.h"

namespace {

const int kRegistryAttempts = 3;
// A closing server waits this long for an exchange in progress on its pipe,
// looking every slice whether a client's request waits in vain instead.
const unsigned long kQuietWaitMs = 5000;
const unsigned long kQuietSliceMs = 20;

}  // namespace

MemoryPipe::MemoryPipe() : m_registered(0), m_size(0) {}

MemoryPipe::~MemoryPipe() = default;

int MemoryPipe::Fail(const IpcFailure& failure) {
    m_failure = failure;
    return 0;
}

int MemoryPipe::Create(const char* name, unsigned long size, const PipeAccess& access) {
    if (size > INT_MAX) return Fail(IpcFailure::Protocol("pipe block larger than 2 GiB for", name));
    return InitServer(name, int(size), access);
}

int MemoryPipe::InitServer(const char* name, int size, const PipeAccess& access) {
    if (!name) return Fail(IpcFailure::Protocol("no base name", ""));
    // The block must hold its length word.
    if (size < 4) return Fail(IpcFailure::Protocol("pipe block smaller than its length word for", name));
    m_id.serverPid = OpSys::GetCurrentProcessId();
    m_id.startTicks = OpSys::GetTickCount();
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

int MemoryPipe::Connect() {
    if (!exchange::AwaitRequest(m_slot)) return Fail(LastFailureUx());
    // The terminate message (an empty request) is not counted.
    unsigned long length = 0;
    exchange::ReadMessage(m_slot, nullptr, 0, &length);
    m_counting = length > 0;
    if (m_counting) m_monitor.Counters().RequestTaken(m_id.index);
    return 1;
}

int MemoryPipe::Read(char* buffer, unsigned long max, unsigned long* got) { return ReadSharedMem(buffer, max, got); }

int MemoryPipe::Write(char* buffer, unsigned long length) {
    // Counted before it is signalled: a client holding its answer finds it
    // counted.
    if (m_counting) m_monitor.Counters().RequestAnswered(m_id.index);
    m_counting = false;
    return exchange::PostAnswer(m_slot, buffer, length, m_size) ? 1 : Fail(LastFailureUx());
}

int MemoryPipe::Disconnect() { return 1; }

int MemoryPipe::Close() { return Terminate(); }

int MemoryPipe::Terminate() {
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
bool MemoryPipe::AwaitQuiet() {
    for (unsigned long waited = 0; waited < kQuietWaitMs; waited += kQuietSliceMs) {
        int result = OpSys::WaitForSlice(m_slot.Mutex(), kQuietSliceMs);
        if (result == OS_WAIT_OK) return true;
        if (result != OS_WAIT_TIMEOUT) return false;
        if (SemaphoreValueUx(m_slot.Request()) == 0) return false;  // a request nobody will take
    }
    return false;
}

int MemoryPipe::ReadSharedMem(char* buffer, unsigned long max, unsigned long* got) {
    exchange::ReadMessage(m_slot, buffer, max, got);
    return 1;
}

int MemoryPipe::WriteSharedMem(char* buffer, unsigned long length) {
    exchange::WriteMessage(m_slot, buffer, length, m_size);
    return 1;
}

int MemoryPipe::Call(const char* name, unsigned char* request, unsigned long requestLen, unsigned char* reply,
                     unsigned long replySize, unsigned long* replyLen) {
    if (!name) return Fail(IpcFailure::Protocol("no base name", ""));
    if (!m_client || std::strcmp(m_client->BaseName(), name) != 0) m_client.reset(new PipeClient(name));
    if (m_client->Call(request, requestLen, reply, replySize, replyLen)) return 1;
    return Fail(m_client->Failure());
}

// The first pipe of this process that serves: registered and not closing.
// -1 when there is none.
int MemoryPipe::OwnServingSlot(ServerMonitor& monitor) {
    ServerList list;
    if (!monitor.GetServerList(list)) return -1;
    int pid = OpSys::GetCurrentProcessId();
    int limit = std::min<int>(int(list.max), kMaxServers);
    for (int i = 0; i < limit; ++i) {
        const ServerID& entry = list.servers[i];
        if (entry.serverPid == pid && entry.index == i && entry.clientPid != pid) return i;
    }
    return -1;
}

int MemoryPipe::SendTerminateMessage(const char* name) {
    // A monitor of its own: this object may be the server's pipe itself.
    // It reserves no free-server unit: the message is for this process's
    // own pipe, which it addresses by its slot, and a pipe whose handler is
    // stuck must not hold a unit that another pipe's stop is waiting for.
    ServerMonitor monitor;
    if (!monitor.Attach(name)) return Fail(monitor.Failure());
    int pid = OpSys::GetCurrentProcessId();
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
        if (!objects.Open(name, slot)) {
            Fail(LastFailureUx());
            break;
        }
        // Waits for an exchange in progress on the pipe to end.
        bool mutexTaken = OpSys::WaitForMutex(objects.Mutex(), OS_INFINITE) == OS_WAIT_OK;
        exchange::Awaited awaited = exchange::Awaited::WaitFailed;
        if (exchange::PostRequest(objects, nullptr, 0))
            awaited = exchange::AwaitAnswer(objects, [&monitor, slot, pid] { return monitor.Serves(slot, pid); });
        if (awaited != exchange::Awaited::Answer && awaited != exchange::Awaited::NotTaken) Fail(LastFailureUx());
        int released = mutexTaken ? OpSys::ReleaseMutex(objects.Mutex()) : 0;
        if (awaited == exchange::Awaited::NotTaken) continue;
        if (awaited == exchange::Awaited::Answer) result = released;
        break;
    }
    // The pipe, when it closes, takes its own unit out of the count.
    return result;
}
