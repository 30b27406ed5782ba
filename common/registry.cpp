// The registry: opening it as a client, a server or a tool, registering and
// unregistering servers, and removing it with the last one. Claims, units
// and recovery are in registry_claims.cpp; the invariants are in
// registry.h.
#include "registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mempipe.h"
#include "opsys.h"
#include "slot_objects.h"

namespace {

const int kRegistryAttempts = 3;

// Removes a set through its record when there is one, else by its name
// (only one of this pipe's own: a stranger's is left alone).
void EraseSet(MHandlePtr& handle, const char* format, const char* name) {
    char buffer[kNameBufferSize];
    MHandle* raw = handle.release();
    if (raw) OpSys::EraseSemaphoreStrUx(raw);
    else RemoveTrustedObjectUx(FormatName(buffer, format, name), MH_SEM);
}

}  // namespace

// ---------------------------------------------------------------- ServerID

char* ServerID::ServerMutexName(char* buffer, const char* name) const {
    return FormatName(buffer, kMutexFmt, name, index);
}

char* ServerID::ClientSemName(char* buffer, const char* name) const {
    return FormatName(buffer, kClientSemFmt, name, index);
}

char* ServerID::ServerSemName(char* buffer, const char* name) const {
    return FormatName(buffer, kServerSemFmt, name, index);
}

char* ServerID::ShMemName(char* buffer, const char* name) const {
    return FormatName(buffer, kShMemFmt, name, index);
}

// ------------------------------------------------------------ ServerMonitor

ServerMonitor::ServerMonitor()
    : m_isServer(0),
      m_registry(nullptr),
      m_sawRecovering(false),
      m_spentUnit(false),
      m_claimedAbandoned(false),
      m_lastLock(OS_WAIT_OK) {
    m_name[0] = 0;
}

ServerMonitor::~ServerMonitor() { Detach(); }

int ServerMonitor::Fail() {
    m_failure = LastFailureUx();
    return 0;
}

int ServerMonitor::Fail(const char* what) {
    m_failure = IpcFailure::Protocol(what, m_name);
    return 0;
}

bool ServerMonitor::Stale() const { return m_failure.error == EIDRM || m_failure.error == EINVAL; }

int ServerMonitor::Lock(unsigned long ms) {
    m_lastLock = OpSys::WaitForMutex(m_mutex.get(), ms);
    m_timedOut = m_lastLock == OS_WAIT_TIMEOUT;
    if (m_lastLock == OS_WAIT_OK || m_lastLock == OS_WAIT_ABANDONED) return 1;
    if (m_lastLock == OS_WAIT_TIMEOUT) return Fail("registry lock not given back within its limit by another process at");
    return Fail();
}

int ServerMonitor::Release() { return OpSys::ReleaseMutex(m_mutex.get()) ? 1 : Fail(); }

bool ServerMonitor::RegistryGone() const { return m_lastLock == OS_WAIT_FAILED; }

void ServerMonitor::Detach() {
    if (m_registry) UnmapViewOfFileUx(m_registry);
    m_registry = nullptr;
    m_shm.reset();
    m_freeSem.reset();
    m_mutex.reset();
    m_counters.Detach();
}

int ServerMonitor::InitClient(const char* name) {
    m_isServer = 0;
    Detach();
    if (!CopyBaseName(m_name, name)) return Fail("base name too long:");
    char buffer[kNameBufferSize];
    void* view = nullptr;
    bool opened = OpenInto(m_freeSem, [&](MHandle*& h) {
                      return OpSys::OpenCSemaphore(FormatName(buffer, kServerCountSemFmt, name), h);
                  }) &&
                  OpenInto(m_shm, [&](MHandle*& h) {
                      return OpSys::OpenSharedMemory(FormatName(buffer, kServerMonShMemFmt, name), h, &view);
                  });
    m_registry = static_cast<ServerList*>(view);
    if (!opened) {
        Fail();
        Detach();
        return 0;
    }
    if (!m_counters.Open(name) && m_counters.Refused()) {
        Fail();
        Detach();
        return 0;
    }
    if (!ReserveUnit(kFreeServerWaitMs)) {
        Detach();
        return 0;
    }
    // Opening takes the registry lock: within the lock's limit, so that a
    // holder that hangs cannot hang every gateway behind it.
    if (!OpenInto(m_mutex, [&](MHandle*& h) {
            return OpSys::OpenMutex(FormatName(buffer, kServerMonMutexFmt, name), h, kRegistryLockMs);
        })) {
        Fail();
        GiveBackUnit();
        Detach();
        return 0;
    }
    return Release();
}

int ServerMonitor::Attach(const char* name) { return OpenExisting(name, true); }

int ServerMonitor::Inspect(const char* name) { return OpenExisting(name, false); }

// Opens the registry's objects without a side effect: nothing is reserved,
// nothing locked. A client needs the free-server count; a tool can do
// without it.
int ServerMonitor::OpenExisting(const char* name, bool needCount) {
    m_isServer = 0;
    Detach();
    if (!CopyBaseName(m_name, name)) return Fail("base name too long:");
    char buffer[kNameBufferSize];
    void* view = nullptr;
    if (needCount) {
        m_freeSem.reset(OpenSetUx(FormatName(buffer, kServerCountSemFmt, name), MH_CSEM));
        if (m_freeSem) m_mutex.reset(OpenSetUx(FormatName(buffer, kServerMonMutexFmt, name), MH_MUTEX));
    } else {
        m_mutex.reset(OpenSetUx(FormatName(buffer, kServerMonMutexFmt, name), MH_MUTEX));
        m_freeSem.reset(OpenSetUx(FormatName(buffer, kServerCountSemFmt, name), MH_CSEM));
    }
    bool opened = m_mutex && OpenInto(m_shm, [&](MHandle*& h) {
        return OpSys::OpenSharedMemory(FormatName(buffer, kServerMonShMemFmt, name), h, &view);
    });
    m_registry = static_cast<ServerList*>(view);
    // Counters that are not the service's own are refused like the rest.
    if (opened && (m_counters.Open(name) || !m_counters.Refused())) return 1;
    Fail();
    Detach();
    return 0;
}

int ServerMonitor::InitServer(const char* name, const PipeAccess& access) {
    m_isServer = 1;
    Detach();
    if (!CopyBaseName(m_name, name)) return Fail("base name too long:");
    m_access = access;
    if (!CheckNames()) return 0;
    // The last server may remove the registry while we wait for its lock;
    // then it is made afresh.
    for (int attempt = 0; attempt < kRegistryAttempts; ++attempt) {
        int result = OpenRegistry();
        if (result >= 0) return result;
    }
    return 0;
}

// Makes the key files of the registry and of the slots' sets, and checks
// those of the pipe blocks that exist, with any object under each name:
// a refusal stops the start before anything is made.
bool ServerMonitor::CheckNames() {
    struct Name {
        const char* format;
        MH_t kind;
    } names[] = {{kServerMonMutexFmt, MH_MUTEX}, {kServerMonShMemFmt, MH_SHM}, {kServerCountSemFmt, MH_CSEM},
                 {kMutexFmt, MH_MUTEX},          {kClientSemFmt, MH_SEM},      {kServerSemFmt, MH_SEM},
                 {kCountersFmt, MH_SHM}};
    char buffer[kNameBufferSize];
    bool ready = true;
    for (const Name& name : names)
        ready = ready && PrepareNameUx(FormatName(buffer, name.format, m_name, 0), name.kind, m_access, 1);
    for (int slot = 0; slot < kMaxServers; ++slot)
        ready = ready && PrepareNameUx(FormatName(buffer, kShMemFmt, m_name, slot), MH_SHM, m_access, 0);
    if (!ready) Fail();
    return ready;
}

// 1 when the registry is open, 0 on failure, -1 when it vanished meanwhile.
int ServerMonitor::OpenRegistry() {
    char buffer[kNameBufferSize];
    int mutexExisted = 0;
    if (!OpenInto(m_mutex, [&](MHandle*& h) {
            return OpSys::CreateMutex(FormatName(buffer, kServerMonMutexFmt, m_name), h, mutexExisted,
                                      kRegistryLockMs, m_access);
        })) {
        Fail();
        return mutexExisted ? -1 : 0;
    }
    // An opened set is held already; one we made ourselves is not.
    if (!mutexExisted && !Lock(kRegistryLockMs)) {
        Detach();
        return 0;
    }
    int blockExisted = 0;
    void* view = nullptr;
    bool attached = OpenInto(m_shm, [&](MHandle*& h) {
        return OpSys::CreateSharedMemory(FormatName(buffer, kServerMonShMemFmt, m_name), kRegistrySize, h, &view,
                                         blockExisted, m_access);
    });
    m_registry = static_cast<ServerList*>(view);
    if (!attached) {
        Fail();
        Release();
        Detach();
        return 0;
    }
    bool fresh = false;
    if (!blockExisted || m_registry->max != uint32_t(kMaxServers)) {
        // A new block: whatever else of this name exists is left from a crash.
        ClearLeftovers();
        InitBlock();
        fresh = true;
    } else if (PruneDeadServers() > 0 && m_registry->count == 0) {
        // Every registered server had crashed. The count goes as well, and
        // with it what the emptied slots owed to it.
        ClearLeftovers();
        InitBlock();
        fresh = true;
    }
    // The counters of a new registry start from zero.
    if (!m_counters.Make(m_name, m_access, fresh)) {
        Fail();
        Release();
        Detach();
        return 0;
    }
    int countExisted = 0;
    if (!OpenInto(m_freeSem, [&](MHandle*& h) {
            return OpSys::CreateCSemaphore(FormatName(buffer, kServerCountSemFmt, m_name), h, countExisted,
                                           m_access);
        })) {
        Fail();
        Release();
        Detach();
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
    for (const char* format : sets) RemoveTrustedObjectUx(FormatName(buffer, format, m_name), MH_SEM);
    for (int slot = 0; slot < kMaxServers; ++slot)
        RemoveTrustedObjectUx(FormatName(buffer, kShMemFmt, m_name, slot), MH_SHM);
    m_counters.Detach();
    PipeCounters::Remove(m_name);
}

void ServerMonitor::Publish(int slot, const ServerID& id) {
    ServerID& entry = m_registry->servers[slot];
    entry.clientPid = -1;
    entry.serverPid = id.serverPid;
    entry.startTicks = id.startTicks;
    // Last: the slot counts as registered from here on.
    __atomic_store_n(&entry.index, slot, __ATOMIC_RELEASE);
}

int ServerMonitor::AddServer(ServerID& id) { return AddServer(id, nullptr, 0); }

int ServerMonitor::AddServer(ServerID& id, SlotObjects* objects, unsigned long size) {
    if (!m_registry || !Lock(kRegistryLockMs)) return -1;
    PruneDeadServers();
    int slot = -1;
    for (int i = 0; i < SlotLimit() && slot < 0 && m_registry->count < m_registry->max; ++i) {
        if (m_registry->servers[i].index != -1) continue;
        id.index = i;
        id.clientPid = -1;
        // A slot whose objects cannot be made now (its mutex still held by a
        // crashed server's client) is passed over for the next one; a refused
        // object or key file ends the search.
        if (!objects || objects->Make(m_name, i, size, m_access)) {
            slot = i;
        } else {
            Fail();
            if (m_failure.Refused()) break;
        }
    }
    if (slot >= 0) {
        AddUnit(slot);
        Publish(slot, id);
        Recount();
    } else if (m_registry->count >= m_registry->max) {
        Fail("registry full: 64 servers already registered under");
    }
    if (!Release()) return -1;
    return slot;
}

int ServerMonitor::RemoveServer(const ServerID& id, MemoryPipe* pipe) {
    if (!m_registry || !Lock(kRegistryLockMs)) return 0;
    RemoveServerLocked(id, pipe ? &pipe->m_slot : nullptr, false);
    return Release();
}

void ServerMonitor::RemoveServerLocked(const ServerID& id, SlotObjects* objects, bool mutexHeld) {
    for (int slot = 0; slot < SlotLimit(); ++slot) {
        ServerID& entry = m_registry->servers[slot];
        if (entry.serverPid == id.serverPid && entry.index == id.index && entry.index == slot) {
            __atomic_store_n(&entry.index, -1, __ATOMIC_RELEASE);
            WithdrawUnit(slot);
            break;
        }
    }
    PruneDeadServers();
    if (m_registry->count == 0) {
        SlotObjects none;
        (objects ? *objects : none).EraseSets(m_name);
        return;
    }
    if (objects && mutexHeld) OpSys::ReleaseMutex(objects->Mutex());
    if (objects) objects->ForgetSemaphores();
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

void ServerMonitor::TerminateServer(const ServerID& id, SlotObjects& objects, bool mutexHeld) {
    // The decision and the removal happen under one hold of the lock, so that
    // a server starting meanwhile never finds its registry removed under it.
    bool locked = m_registry && Lock(kRegistryLockMs);
    if (locked) {
        RemoveServerLocked(id, &objects, mutexHeld);
    } else {
        if (mutexHeld) OpSys::ReleaseMutex(objects.Mutex());
    }
    objects.RemoveBlock();
    objects.Forget();
    TerminateLocked(locked);
}

void ServerMonitor::TerminateLocked(bool locked) {
    if (locked && PruneDeadServers() >= 0 && m_registry->count == 0) {
        // The lock's own set goes last: a server waiting for it then fails
        // to take it and makes a new registry instead of half of this one.
        MHandle* segment = m_shm.release();
        OpSys::CloseSharedMemory(segment, reinterpret_cast<void**>(&m_registry));
        m_counters.Detach();
        PipeCounters::Remove(m_name);
        // The slots' sets too: the last pipe decided on them before this
        // look, and a server killed meanwhile (reaped since) may have
        // counted as registered then.
        char buffer[kNameBufferSize];
        for (const char* format : {kMutexFmt, kClientSemFmt, kServerSemFmt})
            RemoveTrustedObjectUx(FormatName(buffer, format, m_name), MH_SEM);
        EraseSet(m_freeSem, kServerCountSemFmt, m_name);
        EraseSet(m_mutex, kServerMonMutexFmt, m_name);
        return;
    }
    if (locked) Release();
    Detach();
}

int ServerMonitor::GetServerList(ServerList& list) {
    if (!m_registry || !Lock(kRegistryLockMs)) return 0;
    std::memcpy(&list, m_registry, sizeof list);
    return Release();
}

bool ServerMonitor::Serves(int index, int32_t serverPid) const {
    if (!m_registry || index < 0 || index >= kMaxServers) return false;
    const ServerID& entry = m_registry->servers[index];
    return __atomic_load_n(&entry.index, __ATOMIC_ACQUIRE) == index &&
           __atomic_load_n(&entry.serverPid, __ATOMIC_RELAXED) == serverPid;
}

int ServerMonitor::FreeServerCount() const { return SemaphoreValueUx(m_freeSem.get()); }

int ServerMonitor::RemoveAll(const char* name) {
    char buffer[kNameBufferSize];
    if (!name || std::strlen(name) > kMaxBaseNameLength) return 0;
    int removed = 0;
    const char* sets[] = {kServerMonMutexFmt, kServerCountSemFmt, kMutexFmt, kClientSemFmt, kServerSemFmt};
    for (const char* format : sets) removed += RemoveObjectUx(FormatName(buffer, format, name), MH_SEM);
    removed += RemoveObjectUx(FormatName(buffer, kServerMonShMemFmt, name), MH_SHM);
    removed += RemoveObjectUx(FormatName(buffer, kCountersFmt, name), MH_SHM);
    for (int slot = 0; slot < kMaxServers; ++slot)
        removed += RemoveObjectUx(FormatName(buffer, kShMemFmt, name, slot), MH_SHM);
    return removed;
}
