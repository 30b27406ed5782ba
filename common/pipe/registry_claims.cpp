// The registry's units, claims and recovery: reserving a unit of the
// free-server count, claiming an idle server, giving it back, and emptying
// the slots of servers that died, keeping the count's invariant (registry.h)
// on every path. Every function here but ReserveUnit, AnyLiveServer,
// AnySlotOwes and PutServer's way without the lock (registry.h) runs under
// the registry lock.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "registry.h"

namespace {

// A client that waits for a free server looks this often whether any server
// still lives to give one back.
const unsigned long kLivenessSliceMs = 500;

// This process's pid, asked of the system once per process: a claim is made
// in every call. A child of fork() asks again.
std::atomic<int32_t> g_ownPid{0};
std::atomic<bool> g_forkHandled{false};

int32_t OwnPid() {
    // Not std::call_once: it wakes possible waiters with a futex call when it
    // is done, a system call in every one-shot client. The handler is
    // registered before the pid is first kept, by the first thread here.
    if (!g_forkHandled.load(std::memory_order_acquire) && !g_forkHandled.exchange(true))
        pthread_atfork(nullptr, nullptr, [] { g_ownPid.store(0); });
    int32_t pid = g_ownPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = int32_t(getpid());
        g_ownPid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace

int ServerMonitor::SlotLimit() const { return std::min<int>(int(m_registry->max), kMaxServers); }

bool ServerMonitor::Registered(int slot) const { return m_registry->servers[slot].index == slot; }

int ServerMonitor::Recount() {
    uint32_t count = 0;
    for (int slot = 0; slot < SlotLimit(); ++slot) count += Registered(slot) ? 1 : 0;
    m_registry->count = count;
    return int(count);
}

int ServerMonitor::ReserveUnit(unsigned long ms) {
    m_timedOut = false;
    // Waiting is for busy servers: with none alive (a crash left the
    // registry behind) the answer is no at once, not in a minute.
    if (ipc::Take(m_freeSem, ipc::Deadline::After(0), m_failure)) return 1;
    if (Stale()) return 0;  // the count was removed: a registry of an earlier start
    if (!AnyLiveServer()) return Fail("no live server registered under");
    // Servers that all die while clients wait give no unit back: the wait
    // looks every slice whether one still lives, and ends when none does.
    uint64_t began = PipeCounters::NowUs();
    bool reserved = false, serversGone = false;
    for (unsigned long waited = 0; waited < ms && !serversGone;) {
        reserved = ipc::Take(m_freeSem, ipc::Deadline::After(std::min(kLivenessSliceMs, ms - waited)), m_failure);
        if (reserved || !m_failure.TimedOut()) break;
        waited = (unsigned long)((PipeCounters::NowUs() - began) / 1000);
        serversGone = !AnyLiveServer();
    }
    m_counters.ClientWaited(PipeCounters::NowUs() - began);
    if (reserved) return 1;
    if (serversGone) return Fail("no live server registered under");
    m_timedOut = m_failure.TimedOut();
    if (m_timedOut) return Fail("no server free within 60 s under");
    return 0;
}

int ServerMonitor::GiveBackUnit() { return ipc::Give(m_freeSem, m_failure) ? 1 : 0; }

// Looks at the registry without its lock: a glance, good enough to tell an
// empty or abandoned registry from a busy one.
bool ServerMonitor::AnyLiveServer() const {
    if (!m_registry) return false;
    int limit = std::min<int>(int(m_registry->max), kMaxServers);
    for (int slot = 0; slot < limit; ++slot)
        if (Serves(slot, m_registry->servers[slot].serverPid) &&
            ipc::ProcessExists(m_registry->servers[slot].serverPid))
            return true;
    return false;
}

void ServerMonitor::EmptySlot(int slot) {
    char buffer[kNameBufferSize];
    bool registered = Registered(slot);
    __atomic_store_n(&m_registry->servers[slot].index, -1, __ATOMIC_RELEASE);
    if (registered) WithdrawUnit(slot);
    ipc::RemoveNamed(FormatName(buffer, kShMemFmt, m_name, slot), ipc::ObjectKind::Segment, true);
}

// Takes the unit of a slot just emptied out of the free-server count. When
// clients have reserved every unit, the slot owes it: the next unit that
// comes back pays for it (PutServer, GetServer, AddUnit). The slot is emptied
// first, so that a death between the two steps leaves a unit too many,
// never one too few.
void ServerMonitor::WithdrawUnit(int slot) {
    IpcFailure none;  // EAGAIN: clients hold every unit
    if (!ipc::Adjust(m_freeSem, -1, none)) m_registry->servers[slot].clientPid = kOwesUnit;
}

// Without the lock: whether any empty slot owes a unit. A glance, as
// AnyLiveServer's; the debt itself is paid under the lock.
bool ServerMonitor::AnySlotOwes() const {
    int limit = std::min<int>(int(__atomic_load_n(&m_registry->max, __ATOMIC_RELAXED)), kMaxServers);
    for (int slot = 0; slot < limit; ++slot) {
        const ServerID& entry = m_registry->servers[slot];
        if (__atomic_load_n(&entry.index, __ATOMIC_ACQUIRE) != slot &&
            __atomic_load_n(&entry.clientPid, __ATOMIC_RELAXED) == kOwesUnit)
            return true;
    }
    return false;
}

// Under the lock: the debts of emptied slots are paid from the count, as
// long as it has units (as WithdrawUnit would have).
void ServerMonitor::PayDebtFromCount() {
    for (int owing = OwingSlot(); owing >= 0; owing = OwingSlot()) {
        IpcFailure none;  // EAGAIN: clients hold every unit
        if (!ipc::Adjust(m_freeSem, -1, none)) return;
        m_registry->servers[owing].clientPid = -1;
    }
}

// The lowest empty slot that owes a unit, -1 when none does.
int ServerMonitor::OwingSlot() const {
    for (int slot = 0; slot < SlotLimit(); ++slot)
        if (!Registered(slot) && m_registry->servers[slot].clientPid == kOwesUnit) return slot;
    return -1;
}

// The unit of a server about to be published in `slot`: it pays for the
// slot's own debt or another one, or it is added to the count. It goes in
// before the slot is published, so that a published slot never lacks it.
void ServerMonitor::AddUnit(int slot) {
    int owing = m_registry->servers[slot].clientPid == kOwesUnit ? slot : OwingSlot();
    if (owing >= 0) m_registry->servers[owing].clientPid = -1;
    else ipc::Adjust(m_freeSem, 1, m_failure);
}

int ServerMonitor::PruneDeadServers() {
    int pruned = 0;
    for (int slot = 0; slot < SlotLimit(); ++slot) {
        ServerID& entry = m_registry->servers[slot];
        if (entry.index == -1) continue;
        if (!Registered(slot) || !ipc::ProcessExists(entry.serverPid)) {
            EmptySlot(slot);
            ++pruned;
        }
    }
    Recount();
    return pruned;
}

bool ServerMonitor::ServerAwaitsRequest(int slot) const {
    char buffer[kNameBufferSize];
    // Opened without a side effect, which leaves the member as it is.
    ipc::Sem requestEvent;
    IpcFailure none;  // no set: nobody waits
    return ipc::OpenSet(FormatName(buffer, kClientSemFmt, m_name, slot), ipc::SemKind::Event, nullptr, requestEvent,
                        none) &&
           ipc::HasWaiter(requestEvent);
}

// The lowest registered idle slot. Every call passes here under the lock,
// so it makes no system call: whether the server still lives is looked at
// after the claim, outside the lock (GetServer).
int ServerMonitor::FindIdleSlot() {
    for (int slot = 0; slot < SlotLimit(); ++slot)
        if (Registered(slot) && m_registry->servers[slot].clientPid == -1) return slot;
    return -1;
}

// A slot claimed by a client that is gone, whose server waits for a request
// again. Slots that will be free shortly (the server still serves a dead
// client's request, or is closing and will empty its slot) are noted.
int ServerMonitor::FindAbandonedSlot() {
    for (int slot = 0; slot < SlotLimit(); ++slot) {
        const ServerID& entry = m_registry->servers[slot];
        if (!Registered(slot) || entry.clientPid == -1) continue;
        if (entry.clientPid == entry.serverPid) {
            m_sawRecovering = m_sawRecovering || ipc::ProcessExists(entry.serverPid);
            continue;
        }
        if (ipc::ProcessExists(entry.clientPid)) continue;
        if (!ipc::ProcessExists(entry.serverPid)) {
            EmptySlot(slot);
            Recount();
        } else if (ServerAwaitsRequest(slot)) {
            return slot;
        } else {
            m_sawRecovering = true;  // still serving the dead client's request
        }
    }
    return -1;
}

void ServerMonitor::Claim(int slot, int32_t pid, ServerID& id) {
    m_registry->servers[slot].clientPid = pid;
    id = m_registry->servers[slot];
}

// The claim is made under the lock with memory operations and, for a server
// the caller has not served with, the one-call look at the server's life (a
// server that ended but is not reaped yet passes here, and its client's
// first look while waiting finds it gone: ServerGone). A persistent client
// has served with a known server's registration before: it makes no look at
// all and finds a server gone within the first slice of its wait for the
// answer. A look through /proc under the lock cost a fifth of the calls
// eight threads could make (velmox-bench-exchange -T 8), whose clients now
// make none.
int ServerMonitor::GetServer(ServerID& id) { return GetServer(id, nullptr); }

int ServerMonitor::GetServer(ServerID& id, const std::function<bool(const ServerID&)>& known) {
    int32_t pid = OwnPid();
    for (int dead = 0; dead <= kMaxServers; ++dead) {
        m_sawRecovering = false;
        m_spentUnit = false;
        m_claimedAbandoned = false;
        m_timedOut = false;
        // The lock taken and given back straight from here: the claim is in
        // every call.
        if (!m_registry) return 0;
        if (!ipc::Take(m_mutex, ipc::Deadline::After(kRegistryLockMs), m_failure)) return LockFailed();
        int slot = FindIdleSlot();
        if (slot < 0) {
            slot = FindAbandonedSlot();
            m_claimedAbandoned = slot >= 0;
        }
        bool mayLive = true;
        if (slot >= 0) {
            Claim(slot, pid, id);
            mayLive = (known && known(id)) || ipc::ProcessMayExist(id.serverPid);
        } else {
            // Nothing to claim while an emptied slot still owes its unit: the
            // unit the caller holds is that one (a dead or closed server's).
            // It pays for it, and the caller waits for a free server again.
            int owing = OwingSlot();
            if (owing >= 0 && ipc::KeepTakenUnit(m_freeSem, m_failure)) {
                m_registry->servers[owing].clientPid = -1;
                m_spentUnit = true;
            }
            Fail("no idle server to claim under");
        }
        ipc::Give(m_mutex, m_failure);
        if (slot < 0) return 0;
        if (mayLive) return 1;
        ServerGone(id);  // a crashed server: its slot goes, and another is claimed
    }
    return 0;
}

// Clears the claim of id (made by its clientPid), as long as the slot is
// still the one that was claimed; the caller holds the lock.
void ServerMonitor::Unclaim(const ServerID& id) {
    if (id.index < 0 || id.index >= SlotLimit()) return;
    ServerID& entry = m_registry->servers[id.index];
    if (entry.clientPid == id.clientPid && entry.serverPid == id.serverPid) entry.clientPid = -1;
}

int ServerMonitor::PutServer(ServerID& id) {
    if (!m_registry) return 0;
    // Without the lock: the claim goes (only if it is still this client's)
    // and the unit comes back; the lock's two system calls were 2 of the 16
    // of a persistent client's call (strace). Under the lock below when a
    // slot owes a unit, which the unit then pays.
    if (id.index >= 0 && id.index < SlotLimit() && !AnySlotOwes()) {
        int32_t mine = id.clientPid;
        __atomic_compare_exchange_n(&m_registry->servers[id.index].clientPid, &mine, -1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_RELAXED);
        if (!ipc::Give(m_freeSem, m_failure)) return 0;
        // A debt recorded while the unit came back is paid from the count.
        if (AnySlotOwes() && Lock(kRegistryLockMs)) {
            PayDebtFromCount();
            Release();
        }
        return 1;
    }
    if (!Lock(kRegistryLockMs)) return 0;
    Unclaim(id);
    // The unit comes back, unless an emptied slot owes one: then it pays
    // for that slot's unit and is kept.
    int owing = OwingSlot();
    IpcFailure kept;
    if (owing >= 0 && ipc::KeepTakenUnit(m_freeSem, kept)) {
        m_registry->servers[owing].clientPid = -1;
    } else if (!ipc::Give(m_freeSem, m_failure)) {
        Release();
        return 0;
    }
    return Release();
}

int ServerMonitor::ServerGone(const ServerID& id) {
    if (!m_registry || !Lock(kRegistryLockMs)) return 0;
    if (id.index >= 0 && id.index < SlotLimit() && Registered(id.index) &&
        m_registry->servers[id.index].serverPid == id.serverPid && !ipc::ProcessExists(id.serverPid)) {
        Unclaim(id);
        EmptySlot(id.index);
        Recount();
    }
    return Release();
}

int ServerMonitor::DropClaim(const ServerID& id) {
    if (!m_registry || !Lock(kRegistryLockMs)) return 0;
    Unclaim(id);
    return Release();
}
