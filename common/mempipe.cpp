#include "mempipe.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unistd.h>

const char kServerMonMutexFmt[] = "%s.0";
const char kServerMonShMemFmt[] = "%s.0";
const char kServerCountSemFmt[] = "%s.sem.0";
const char kMutexFmt[] = "%s.mtx.%d";
const char kClientSemFmt[] = "%s.csm.%d";
const char kServerSemFmt[] = "%s.ssm.%d";
const char kShMemFmt[] = "%s.shm.%d";

namespace {

const int kRegistryAttempts = 3;
const int kClaimAttempts = 3;
// A client waits this long for the mutex of the server it claimed; only a
// terminate message or a dying client can hold it.
const unsigned long kServerMutexWaitMs = 60000;
// The wait for an answer has no limit, but looks every slice whether the
// server still exists.
const unsigned long kAnswerSliceMs = 1000;
const useconds_t kRecoveringPollUs = 20000;
// A closing server waits this long for an exchange in progress on its pipe.
const unsigned long kQuietWaitMs = 5000;

// Base names are checked against kMaxBaseNameLength, so a name always fits;
// one that did not would name nothing rather than a neighbour's object.
//
// The formats hold one %s (the base name) and at most one %d (the index),
// and nothing else of printf's: they are filled in by hand, as snprintf
// would fill them. snprintf is the only user of the printf machinery in a
// gateway's run: its code and its deep stack frame cost page faults in a
// process that lives for one request.
char* Format(char* buffer, const char* format, const char* name, int index = 0) {
    char* out = buffer;
    char* const last = buffer + kNameBufferSize - 1;  // room for the terminator
    auto put = [&out, last](char c) {
        if (out == last) return false;
        *out++ = c;
        return true;
    };
    for (const char* f = format; *f; ++f) {
        bool fits = true;
        if (f[0] == '%' && f[1] == 's') {
            for (const char* n = name; *n && fits; ++n) fits = put(*n);
            ++f;
        } else if (f[0] == '%' && f[1] == 'd') {
            char digits[12];
            int count = 0;
            unsigned magnitude = index < 0 ? 0u - unsigned(index) : unsigned(index);
            do digits[count++] = char('0' + magnitude % 10);
            while ((magnitude /= 10) != 0);
            if (index < 0) fits = put('-');
            while (count > 0 && fits) fits = put(digits[--count]);
            ++f;
        } else {
            fits = put(*f);
        }
        if (!fits) {
            buffer[0] = 0;
            return buffer;
        }
    }
    *out = 0;
    return buffer;
}

bool CopyBaseName(char (&dst)[kNameBufferSize], const char* name) {
    if (!name || std::strlen(name) > kMaxBaseNameLength) return false;
    std::strcpy(dst, name);
    return true;
}

// Removes a set through its handle when there is one, else by its name.
void EraseSet(MHandle*& handle, const char* format, const char* name) {
    char buffer[kNameBufferSize];
    if (handle) OpSys::EraseSemaphoreStrUx(handle);
    else RemoveObjectUx(Format(buffer, format, name), MH_SEM);
}

uint32_t LengthWord(const void* block) {
    uint32_t length;
    std::memcpy(&length, block, sizeof length);
    return length;
}

}  // namespace

// ---------------------------------------------------------------- ServerID

char* ServerID::ServerMutexName(char* buffer, const char* name) const {
    return Format(buffer, kMutexFmt, name, index);
}

char* ServerID::ClientSemName(char* buffer, const char* name) const {
    return Format(buffer, kClientSemFmt, name, index);
}

char* ServerID::ServerSemName(char* buffer, const char* name) const {
    return Format(buffer, kServerSemFmt, name, index);
}

char* ServerID::ShMemName(char* buffer, const char* name) const {
    return Format(buffer, kShMemFmt, name, index);
}

// ------------------------------------------------------------ ServerMonitor

ServerMonitor::ServerMonitor()
    : m_isServer(0), m_freeSem(nullptr), m_mutex(nullptr), m_shm(nullptr), m_registry(nullptr),
      m_sawRecovering(false), m_spentUnit(false), m_lastLock(OS_WAIT_OK) {
    m_name[0] = 0;
}

int ServerMonitor::Lock(unsigned long ms) {
    m_lastLock = OpSys::WaitForMutex(m_mutex, ms);
    return m_lastLock == OS_WAIT_OK || m_lastLock == OS_WAIT_ABANDONED ? 1 : 0;
}

int ServerMonitor::Release() { return OpSys::ReleaseMutex(m_mutex); }

bool ServerMonitor::RegistryGone() const { return m_lastLock == OS_WAIT_FAILED; }

int ServerMonitor::SlotLimit() const {
    return std::min<int>(int(m_registry->max), kMaxServers);
}

bool ServerMonitor::Registered(int slot) const { return m_registry->servers[slot].index == slot; }

int ServerMonitor::InitClient(const char* name) {
    m_isServer = 0;
    if (!CopyBaseName(m_name, name)) return 0;
    char buffer[kNameBufferSize];
    if (!OpSys::OpenCSemaphore(Format(buffer, kServerCountSemFmt, name), m_freeSem)) return 0;
    if (!ReserveUnit(kFreeServerWaitMs)) {
        OpSys::ForgetHandle(m_freeSem);
        return 0;
    }
    // Opening takes the registry lock: within the lock's limit, so that a
    // holder that hangs cannot hang every gateway behind it.
    if (!OpSys::OpenMutex(Format(buffer, kServerMonMutexFmt, name), m_mutex, kRegistryLockMs)) {
        GiveBackUnit();
        ForgetAll();
        return 0;
    }
    if (!OpSys::OpenSharedMemoryKept(Format(buffer, kServerMonShMemFmt, name), m_shm,
                                     reinterpret_cast<void**>(&m_registry), nullptr)) {
        Release();
        GiveBackUnit();
        ForgetAll();
        return 0;
    }
    return Release();
}

int ServerMonitor::ReserveUnit(unsigned long ms) {
    // Waiting is for busy servers: with none alive (a crash left the
    // registry behind) the answer is no at once, not in a minute.
    if (OpSys::WaitForSlice(m_freeSem, 0) == OS_WAIT_OK) return 1;
    return AnyLiveServer() && OpSys::WaitForSemaphore(m_freeSem, std::max(ms, 1000ul)) == OS_WAIT_OK ? 1 : 0;
}

// Looks at the registry without its lock: a glance, good enough to tell an
// empty or abandoned registry from a busy one.
bool ServerMonitor::AnyLiveServer() const {
    char buffer[kNameBufferSize];
    MHandle* segment = nullptr;
    void* view = nullptr;
    bool alive = false;
    if (OpSys::OpenSharedMemoryKept(Format(buffer, kServerMonShMemFmt, m_name), segment, &view, nullptr)) {
        const ServerList* registry = static_cast<const ServerList*>(view);
        int limit = std::min<int>(int(registry->max), kMaxServers);
        for (int slot = 0; slot < limit && !alive; ++slot)
            alive = registry->servers[slot].index == slot && OpSys::ProcessExists(registry->servers[slot].serverPid);
    }
    OpSys::DetachSharedMemory(segment, &view);
    return alive;
}

int ServerMonitor::InitServer(const char* name) {
    m_isServer = 1;
    if (!CopyBaseName(m_name, name)) return 0;
    // The last server may remove the registry while we wait for its lock;
    // then it is made afresh.
    for (int attempt = 0; attempt < kRegistryAttempts; ++attempt) {
        int result = OpenRegistry();
        if (result >= 0) return result;
    }
    return 0;
}

// 1 when the registry is open, 0 on failure, -1 when it vanished meanwhile.
int ServerMonitor::OpenRegistry() {
    char buffer[kNameBufferSize];
    int mutexExisted = 0;
    if (!OpSys::CreateMutex(Format(buffer, kServerMonMutexFmt, m_name), m_mutex, mutexExisted,
                            kRegistryLockMs))
        return mutexExisted ? -1 : 0;
    // An opened set is held already; one we made ourselves is not.
    if (!mutexExisted && !Lock(kRegistryLockMs)) {
        ForgetAll();
        return 0;
    }
    int blockExisted = 0;
    if (!OpSys::CreateSharedMemory(Format(buffer, kServerMonShMemFmt, m_name), kRegistrySize, m_shm,
                                   reinterpret_cast<void**>(&m_registry), blockExisted)) {
        Release();
        ForgetAll();
        return 0;
    }
    if (!blockExisted || m_registry->max != uint32_t(kMaxServers)) {
        // A new block: whatever else of this name exists is left from a crash.
        ClearLeftovers();
        InitBlock();
    } else if (PruneDeadServers() > 0 && m_registry->count == 0) {
        // Every registered server had crashed. The count goes as well, and
        // with it what the emptied slots owed to it.
        ClearLeftovers();
        InitBlock();
    }
    int countExisted = 0;
    if (!OpSys::CreateCSemaphore(Format(buffer, kServerCountSemFmt, m_name), m_freeSem, countExisted)) {
        Release();
        ForgetAll();
        return 0;
    }
    return Release();
}

void ServerMonitor::InitBlock() {
    m_registry->max = kMaxServers;
    m_registry->count = 0;
    for (ServerID& slot : m_registry->servers) {
        slot.clientPid = -1;
        slot.index = -1;
        slot.serverPid = 0;
        slot.startTicks = 0;
    }
}

void ServerMonitor::ClearLeftovers() {
    char buffer[kNameBufferSize];
    const char* sets[] = {kServerCountSemFmt, kMutexFmt, kClientSemFmt, kServerSemFmt};
    for (const char* format : sets) RemoveObjectUx(Format(buffer, format, m_name), MH_SEM);
    for (int slot = 0; slot < kMaxServers; ++slot)
        RemoveObjectUx(Format(buffer, kShMemFmt, m_name, slot), MH_SHM);
}

int ServerMonitor::Recount() {
    uint32_t count = 0;
    for (int slot = 0; slot < SlotLimit(); ++slot) count += Registered(slot) ? 1 : 0;
    m_registry->count = count;
    return int(count);
}

void ServerMonitor::EmptySlot(int slot) {
    char buffer[kNameBufferSize];
    bool registered = Registered(slot);
    m_registry->servers[slot].index = -1;
    if (registered) WithdrawUnit(slot);
    RemoveObjectUx(Format(buffer, kShMemFmt, m_name, slot), MH_SHM);
}

// Takes the unit of a slot just emptied out of the free-server count. When
// clients have reserved every unit, the slot owes it: the next unit that
// comes back pays for it (PutServer, GetServer, AddUnit). The slot is emptied
// first, so that a death between the two steps leaves a unit too many,
// never one too few.
void ServerMonitor::WithdrawUnit(int slot) {
    if (!AdjustWithoutUndoUx(m_freeSem, -1)) m_registry->servers[slot].clientPid = kOwesUnit;
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
    else AdjustWithoutUndoUx(m_freeSem, 1);
}

int ServerMonitor::PruneDeadServers() {
    int pruned = 0;
    for (int slot = 0; slot < SlotLimit(); ++slot) {
        ServerID& entry = m_registry->servers[slot];
        if (entry.index == -1) continue;
        if (!Registered(slot) || !OpSys::ProcessExists(entry.serverPid)) {
            EmptySlot(slot);
            ++pruned;
        }
    }
    Recount();
    return pruned;
}

void ServerMonitor::Publish(int slot, const ServerID& id) {
    ServerID& entry = m_registry->servers[slot];
    entry.clientPid = -1;
    entry.serverPid = id.serverPid;
    entry.startTicks = id.startTicks;
    entry.index = slot;  // last: the slot counts as registered from here on
}

int ServerMonitor::AddServer(ServerID& id) { return AddServer(id, nullptr, 0); }

int ServerMonitor::AddServer(ServerID& id, MemoryPipe* pipe, unsigned long size) {
    if (!Lock(kRegistryLockMs)) return -1;
    PruneDeadServers();
    int slot = -1;
    for (int i = 0; i < SlotLimit() && slot < 0 && m_registry->count < m_registry->max; ++i) {
        if (m_registry->servers[i].index != -1) continue;
        id.index = i;
        id.clientPid = -1;
        // A slot whose objects cannot be made now (its mutex still held by a
        // crashed server's client) is passed over for the next one.
        if (!pipe || pipe->MakeServerObjects(m_name, size)) slot = i;
    }
    if (slot >= 0) {
        AddUnit(slot);
        Publish(slot, id);
        Recount();
    }
    if (!Release()) return -1;
    return slot;
}

int ServerMonitor::RemoveServer(const ServerID& id, MemoryPipe* pipe) {
    if (!Lock(kRegistryLockMs)) return 0;
    RemoveServerLocked(id, pipe, false);
    return Release();
}

void ServerMonitor::RemoveServerLocked(const ServerID& id, MemoryPipe* pipe, bool mutexHeld) {
    for (int slot = 0; slot < SlotLimit(); ++slot) {
        ServerID& entry = m_registry->servers[slot];
        if (entry.serverPid == id.serverPid && entry.index == id.index && entry.index == slot) {
            entry.index = -1;
            WithdrawUnit(slot);
            break;
        }
    }
    PruneDeadServers();
    MHandle* none = nullptr;
    MHandle*& clientSem = pipe ? pipe->m_clientSem : none;
    MHandle*& serverSem = pipe ? pipe->m_serverSem : none;
    MHandle*& mutex = pipe ? pipe->m_mutex : none;
    if (m_registry->count == 0) {
        EraseSet(clientSem, kClientSemFmt, m_name);
        EraseSet(serverSem, kServerSemFmt, m_name);
        EraseSet(mutex, kMutexFmt, m_name);
    } else {
        if (mutexHeld) OpSys::ReleaseMutex(mutex);
        OpSys::ForgetHandle(clientSem);
        OpSys::ForgetHandle(serverSem);
        OpSys::ForgetHandle(mutex);
    }
}

int ServerMonitor::Terminate() {
    bool locked = m_registry && Lock(kRegistryLockMs);
    TerminateLocked(locked);
    return 1;
}

int ServerMonitor::Withdraw(const ServerID& id) {
    if (!m_registry || !Lock(kRegistryLockMs)) return 0;
    if (id.index >= 0 && id.index < SlotLimit()) {
        ServerID& entry = m_registry->servers[id.index];
        if (entry.index == id.index && entry.serverPid == id.serverPid && entry.clientPid == -1)
            entry.clientPid = id.serverPid;
    }
    return Release();
}

void ServerMonitor::TerminateServer(const ServerID& id, MemoryPipe* pipe, bool mutexHeld) {
    // The decision and the removal happen under one hold of the lock, so that
    // a server starting meanwhile never finds its registry removed under it.
    bool locked = m_registry && Lock(kRegistryLockMs);
    if (locked) {
        RemoveServerLocked(id, pipe, mutexHeld);
    } else {
        if (mutexHeld) OpSys::ReleaseMutex(pipe->m_mutex);
        OpSys::ForgetHandle(pipe->m_clientSem);
        OpSys::ForgetHandle(pipe->m_serverSem);
        OpSys::ForgetHandle(pipe->m_mutex);
    }
    OpSys::CloseSharedMemory(pipe->m_shm, &pipe->m_block);
    TerminateLocked(locked);
}

void ServerMonitor::TerminateLocked(bool locked) {
    if (locked && PruneDeadServers() >= 0 && m_registry->count == 0) {
        // The lock's own set goes last: a server waiting for it then fails
        // to take it and makes a new registry instead of half of this one.
        OpSys::CloseSharedMemory(m_shm, reinterpret_cast<void**>(&m_registry));
        EraseSet(m_freeSem, kServerCountSemFmt, m_name);
        EraseSet(m_mutex, kServerMonMutexFmt, m_name);
        return;
    }
    if (locked) Release();
    ForgetAll();
}

bool ServerMonitor::ServerAwaitsRequest(int slot) const {
    char buffer[kNameBufferSize];
    MHandle* requestEvent = nullptr;
    // Opened as a counting semaphore, which leaves the member as it is.
    if (!OpSys::OpenCSemaphore(Format(buffer, kClientSemFmt, m_name, slot), requestEvent)) return false;
    bool waiting = EventHasWaiterUx(requestEvent) == 1;
    OpSys::ForgetHandle(requestEvent);
    return waiting;
}

int ServerMonitor::FindIdleSlot() {
    for (int slot = 0; slot < SlotLimit(); ++slot) {
        const ServerID& entry = m_registry->servers[slot];
        if (!Registered(slot) || entry.clientPid != -1) continue;
        if (OpSys::ProcessExists(entry.serverPid)) return slot;
        EmptySlot(slot);  // a crashed server
        Recount();
    }
    return -1;
}

int ServerMonitor::FindAbandonedSlot() {
    for (int slot = 0; slot < SlotLimit(); ++slot) {
        const ServerID& entry = m_registry->servers[slot];
        if (!Registered(slot) || entry.clientPid == -1 || OpSys::ProcessExists(entry.clientPid)) continue;
        if (!OpSys::ProcessExists(entry.serverPid)) {
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

void ServerMonitor::Claim(int slot, ServerID& id) {
    m_registry->servers[slot].clientPid = OpSys::GetCurrentProcessId();
    id = m_registry->servers[slot];
}

int ServerMonitor::GetServer(ServerID& id) {
    m_sawRecovering = false;
    m_spentUnit = false;
    if (!Lock(kRegistryLockMs)) return 0;
    int slot = FindIdleSlot();
    if (slot < 0) slot = FindAbandonedSlot();
    if (slot >= 0) {
        Claim(slot, id);
    } else {
        // Nothing to claim while an emptied slot still owes its unit: the
        // unit the caller holds is that one (a dead server's). It pays for
        // it, and the caller waits for a free server again.
        int owing = OwingSlot();
        if (owing >= 0 && KeepTakenUnitUx(m_freeSem)) {
            m_registry->servers[owing].clientPid = -1;
            m_spentUnit = true;
        }
    }
    Release();
    return slot >= 0 ? 1 : 0;
}

// Clears this process's claim on the slot of id; the caller holds the lock.
void ServerMonitor::Unclaim(const ServerID& id) {
    if (id.index < 0 || id.index >= SlotLimit()) return;
    ServerID& entry = m_registry->servers[id.index];
    if (entry.clientPid == OpSys::GetCurrentProcessId()) entry.clientPid = -1;
}

int ServerMonitor::PutServer(ServerID& id) {
    if (!Lock(kRegistryLockMs)) return 0;
    Unclaim(id);
    // The unit comes back, unless an emptied slot owes one: then it pays
    // for that slot's unit and is kept.
    int owing = OwingSlot();
    if (owing >= 0 && KeepTakenUnitUx(m_freeSem)) {
        m_registry->servers[owing].clientPid = -1;
    } else if (!OpSys::ReleaseSemaphore(m_freeSem)) {
        Release();
        return 0;
    }
    return Release();
}

int ServerMonitor::DropClaim(const ServerID& id) {
    if (!Lock(kRegistryLockMs)) return 0;
    Unclaim(id);
    return Release();
}

int ServerMonitor::GiveBackUnit() { return OpSys::ReleaseSemaphore(m_freeSem); }

int ServerMonitor::GetServerList(ServerList& list) {
    if (!Lock(kRegistryLockMs)) return 0;
    std::memcpy(&list, m_registry, sizeof list);
    return Release();
}

void ServerMonitor::Detach() { ForgetAll(); }

int ServerMonitor::Inspect(const char* name) {
    m_isServer = 0;
    if (!CopyBaseName(m_name, name)) return 0;
    char buffer[kNameBufferSize];
    m_mutex = OpenSetUx(Format(buffer, kServerMonMutexFmt, name), MH_MUTEX);
    m_freeSem = OpenSetUx(Format(buffer, kServerCountSemFmt, name), MH_CSEM);
    if (!m_mutex || !OpSys::OpenSharedMemory(Format(buffer, kServerMonShMemFmt, name), m_shm,
                                             reinterpret_cast<void**>(&m_registry))) {
        ForgetAll();
        return 0;
    }
    return 1;
}

int ServerMonitor::FreeServerCount() const { return SemaphoreValueUx(m_freeSem); }

int ServerMonitor::RemoveAll(const char* name) {
    char buffer[kNameBufferSize];
    if (!name || std::strlen(name) > kMaxBaseNameLength) return 0;
    int removed = 0;
    const char* sets[] = {kServerMonMutexFmt, kServerCountSemFmt, kMutexFmt, kClientSemFmt, kServerSemFmt};
    for (const char* format : sets) removed += RemoveObjectUx(Format(buffer, format, name), MH_SEM);
    removed += RemoveObjectUx(Format(buffer, kServerMonShMemFmt, name), MH_SHM);
    for (int slot = 0; slot < kMaxServers; ++slot)
        removed += RemoveObjectUx(Format(buffer, kShMemFmt, name, slot), MH_SHM);
    return removed;
}

void ServerMonitor::ForgetAll() {
    OpSys::DetachSharedMemory(m_shm, reinterpret_cast<void**>(&m_registry));
    OpSys::ForgetHandle(m_freeSem);
    OpSys::ForgetHandle(m_mutex);
}

// --------------------------------------------------------------- MemoryPipe

MemoryPipe::MemoryPipe()
    : m_clientSem(nullptr), m_serverSem(nullptr), m_mutex(nullptr), m_registered(0), m_shm(nullptr),
      m_block(nullptr), m_size(0), m_blockSize(0) {}

int MemoryPipe::Create(const char* name, unsigned long size) {
    return size > INT_MAX ? 0 : InitServer(name, int(size));
}

int MemoryPipe::InitServer(const char* name, int size) {
    if (!name || size < 4) return 0;  // the block must hold its length word
    m_id.serverPid = OpSys::GetCurrentProcessId();
    m_id.startTicks = OpSys::GetTickCount();
    for (int attempt = 0; attempt < kRegistryAttempts; ++attempt) {
        if (!m_monitor.InitServer(name)) return 0;
        if (m_monitor.AddServer(m_id, this, (unsigned long)size) >= 0) {
            m_size = (unsigned long)size;
            m_registered = 1;
            return 1;
        }
        bool vanished = m_monitor.RegistryGone();
        m_monitor.ForgetAll();
        if (!vanished) return 0;
    }
    return 0;
}

// Makes the objects of the slot in m_id, under the registry lock and before
// the slot is published: the members of the shared sets go back to their idle
// values and a crashed server's block of the slot is replaced. Nothing here
// waits, since the registry lock is held: a slot whose mutex is still taken
// is refused.
int MemoryPipe::MakeServerObjects(const char* name, unsigned long size) {
    char buffer[kNameBufferSize];
    int existed = 0;
    bool made = OpSys::CreateOrOpenMutexFree(m_id.ServerMutexName(buffer, name), m_mutex) &&
                OpSys::MutexIsFree(m_mutex) &&
                OpSys::CreateSemaphore(m_id.ClientSemName(buffer, name), m_clientSem, existed) &&
                OpSys::CreateSemaphore(m_id.ServerSemName(buffer, name), m_serverSem, existed);
    if (made) {
        RemoveObjectUx(m_id.ShMemName(buffer, name), MH_SHM);
        existed = 0;
        made = OpSys::CreateSharedMemory(buffer, size, m_shm, &m_block, existed) == 1;
        m_blockSize = size;
    }
    if (!made) ForgetServerObjects();
    return made ? 1 : 0;
}

void MemoryPipe::ForgetServerObjects() {
    OpSys::ForgetHandle(m_mutex);
    OpSys::ForgetHandle(m_clientSem);
    OpSys::ForgetHandle(m_serverSem);
    OpSys::CloseSharedMemory(m_shm, &m_block);
    m_blockSize = 0;
}

int MemoryPipe::Connect() {
    return OpSys::WaitForSemaphore(m_clientSem, OS_INFINITE) == OS_WAIT_OK ? 1 : 0;
}

int MemoryPipe::Read(char* buffer, unsigned long max, unsigned long* got) {
    return ReadSharedMem(buffer, max, got);
}

int MemoryPipe::Write(char* buffer, unsigned long length) {
    WriteSharedMem(buffer, length);
    return OpSys::ReleaseSemaphore(m_serverSem);
}

int MemoryPipe::Disconnect() { return 1; }

int MemoryPipe::Close() { return Terminate(); }

int MemoryPipe::Terminate() {
    if (!m_registered) {
        OpSys::CloseSharedMemory(m_shm, &m_block);
        return 1;
    }
    // Withdrawn, the pipe is claimed by itself, so no new client takes it and
    // no new server takes its slot; an exchange in progress holds the pipe's
    // mutex until its client has read the answer, so taking the mutex lets it
    // end before the objects go.
    m_monitor.Withdraw(m_id);
    bool mutexHeld = OpSys::WaitForMutex(m_mutex, kQuietWaitMs) == OS_WAIT_OK;
    m_monitor.TerminateServer(m_id, this, mutexHeld);
    m_registered = 0;
    return 1;
}

int MemoryPipe::ReadSharedMem(char* buffer, unsigned long max, unsigned long* got) {
    uint32_t length = m_block ? LengthWord(m_block) : 0;
    // Never read past the block, whatever its length word says.
    unsigned long room = m_blockSize > 4 ? m_blockSize - 4 : 0;
    unsigned long n = std::min<unsigned long>(std::min<unsigned long>(length, max), room);
    if (n > 0 && buffer) std::memcpy(buffer, static_cast<char*>(m_block) + 4, n);
    if (got) *got = length;
    return 1;
}

int MemoryPipe::WriteSharedMem(char* buffer, unsigned long length) {
    if (!m_block) return 1;
    unsigned long size = std::min(m_size, m_blockSize);
    unsigned long room = size > 4 ? size - 4 : 0;
    uint32_t n = uint32_t(std::min(length, room));
    std::memcpy(m_block, &n, sizeof n);
    if (n > 0 && buffer) std::memcpy(static_cast<char*>(m_block) + 4, buffer, n);
    return 1;
}

int MemoryPipe::InitClientObjects(const char* name) {
    char buffer[kNameBufferSize];
    if (!OpSys::OpenSemaphore(m_id.ClientSemName(buffer, name), m_clientSem) ||
        !OpSys::OpenSemaphore(m_id.ServerSemName(buffer, name), m_serverSem) ||
        !OpSys::OpenSharedMemoryKept(m_id.ShMemName(buffer, name), m_shm, &m_block, &m_blockSize))
        return 0;
    return m_blockSize > 4 ? 1 : 0;
}

// Claims an idle server. A slot whose dead client's request is still being
// served frees itself shortly, so it is waited for within the free-server
// limit rather than failing the request. A unit that turned out to be a dead
// server's is spent on it, and a free server is waited for again, as at the
// start. *holdsUnit tells whether the caller still holds a unit.
int MemoryPipe::ClaimServer(bool* holdsUnit) {
    int reservations = 0;
    for (unsigned long waited = 0;; waited += kRecoveringPollUs / 1000) {
        if (m_monitor.GetServer(m_id)) return 1;
        if (m_monitor.SpentUnit()) {
            *holdsUnit = false;
            if (++reservations > kMaxServers || !m_monitor.ReserveUnit(kFreeServerWaitMs)) return 0;
            *holdsUnit = true;
            continue;
        }
        if (!m_monitor.SawRecoveringSlot() || waited >= kFreeServerWaitMs) return 0;
        usleep(kRecoveringPollUs);
    }
}

// Takes the claimed server's mutex and opens its objects.
int MemoryPipe::TakeServer(const char* name) {
    char buffer[kNameBufferSize];
    if (!OpSys::OpenMutex(m_id.ServerMutexName(buffer, name), m_mutex, kServerMutexWaitMs)) return 0;
    if (InitClientObjects(name)) return 1;
    OpSys::ReleaseMutex(m_mutex);
    return 0;
}

// Lets go of a claimed server before anything was sent to it.
void MemoryPipe::LetServerGo() {
    m_monitor.DropClaim(m_id);
    OpSys::ForgetHandle(m_mutex);
    OpSys::ForgetHandle(m_clientSem);
    OpSys::ForgetHandle(m_serverSem);
    OpSys::DetachSharedMemory(m_shm, &m_block);
}

// Reserves, claims and takes a server. A server that went away between the
// claim and the opening of its objects (it was closing) is given up for
// another; nothing has been sent to it.
int MemoryPipe::InitClient(const char* name) {
    if (!m_monitor.InitClient(name)) return 0;
    bool holdsUnit = true;
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
        if (!ClaimServer(&holdsUnit)) break;
        if (TakeServer(name)) return 1;
        LetServerGo();
    }
    if (holdsUnit) m_monitor.GiveBackUnit();
    return 0;
}

int MemoryPipe::FindServer(const char* name) { return InitClient(name); }

int MemoryPipe::WaitForAnswer() {
    for (;;) {
        int result = OpSys::WaitForSlice(m_serverSem, kAnswerSliceMs);
        if (result == OS_WAIT_OK) return 1;
        if (result != OS_WAIT_TIMEOUT) return 0;
        // A slow server is waited for; a dead one never answers.
        if (!OpSys::ProcessExists(m_id.serverPid)) return 0;
    }
}

void MemoryPipe::ReleaseClient() {
    OpSys::ForgetHandle(m_mutex);
    OpSys::ForgetHandle(m_clientSem);
    OpSys::ForgetHandle(m_serverSem);
    OpSys::DetachSharedMemory(m_shm, &m_block);
    m_monitor.Detach();
}

int MemoryPipe::Exchange(const char* name, unsigned char* request, unsigned long requestLen,
                         unsigned char* reply, unsigned long replySize, unsigned long* replyLen) {
    if (!InitClient(name)) return 0;
    // The client assumes a block of the larger of its two sizes; the copies
    // are bounded by the block the server really made as well.
    m_size = std::max(requestLen, replySize);
    WriteSharedMem(reinterpret_cast<char*>(request), requestLen);
    if (!OpSys::ReleaseSemaphore(m_clientSem) || !WaitForAnswer()) {
        OpSys::ReleaseMutex(m_mutex);
        m_monitor.PutServer(m_id);
        return 0;
    }
    ReadSharedMem(reinterpret_cast<char*>(reply), replySize, replyLen);
    // The server's mutex goes before the server itself: once given back, the
    // server is claimed by the next client at once, which must not find the
    // mutex still taken by a client stopped (or long descheduled) between the
    // two steps and wait for it up to a minute while other servers idle.
    int released = OpSys::ReleaseMutex(m_mutex);
    m_monitor.PutServer(m_id);
    return released;
}

int MemoryPipe::Call(const char* name, unsigned char* request, unsigned long requestLen, unsigned char* reply,
                     unsigned long replySize, unsigned long* replyLen) {
    unsigned long ignored = 0;
    int result = Exchange(name, request, requestLen, reply, replySize, replyLen ? replyLen : &ignored);
    ReleaseClient();
    return result;
}

int MemoryPipe::SendTerminateMessage(const char* name) {
    if (!m_monitor.InitClient(name)) return 0;
    // Only a registered pipe of this very process is addressed.
    ServerList list;
    int slot = -1;
    int pid = OpSys::GetCurrentProcessId();
    if (m_monitor.GetServerList(list)) {
        int limit = std::min<int>(int(list.max), kMaxServers);
        for (int i = 0; i < limit && slot < 0; ++i)
            if (list.servers[i].serverPid == pid && list.servers[i].index == i) slot = i;
    }
    if (slot < 0) {
        m_monitor.GiveBackUnit();
        ReleaseClient();
        return 0;
    }
    m_id = list.servers[slot];
    char buffer[kNameBufferSize];
    // Waits for an exchange in progress on the pipe to end.
    bool mutexTaken = OpSys::OpenMutex(m_id.ServerMutexName(buffer, name), m_mutex) == 1;
    bool answered = false;
    if (InitClientObjects(name)) {
        m_size = m_blockSize;
        WriteSharedMem(nullptr, 0);
        answered = OpSys::ReleaseSemaphore(m_clientSem) &&
                   OpSys::WaitForSemaphore(m_serverSem, OS_INFINITE) == OS_WAIT_OK;
        char discard[256];
        unsigned long got = 0;
        if (answered) ReadSharedMem(discard, sizeof discard, &got);
    }
    int result = mutexTaken ? OpSys::ReleaseMutex(m_mutex) : 0;
    // The reserved unit goes back as after any exchange; the pipe, when it
    // closes, takes its own unit out of the count.
    m_monitor.GiveBackUnit();
    ReleaseClient();
    return answered ? result : 0;
}
