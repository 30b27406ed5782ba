// The registry: opening it as a client, a server or a tool, registering and
// unregistering servers, and removing it with the last one. Claims, units
// and recovery are in registry_claims.cpp; the invariants are in
// registry.h.
#include "registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "slot_objects.h"

namespace {

const int kRegistryAttempts = 3;

// Removes a set through the member this monitor holds when there is one,
// else by its name (only one of this pipe's own: a stranger's is left
// alone). The member is forgotten either way.
void EraseSet(ipc::Sem& member, const char* format, const char* name) {
    char buffer[kNameBufferSize];
    IpcFailure reported;  // a failed removal is reported on standard error
    if (member.IsOpen()) ipc::RemoveSet(member, reported);
    else ipc::RemoveNamed(FormatName(buffer, format, name), ipc::ObjectKind::Set, true);
    member = ipc::Sem();
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
      m_claimedAbandoned(false) {
    m_name[0] = 0;
}

ServerMonitor::~ServerMonitor() { Detach(); }

int ServerMonitor::Fail(const char* what) {
    m_failure = IpcFailure::Protocol(what, m_name);
    return 0;
}

bool ServerMonitor::Stale() const { return m_failure.error == EIDRM || m_failure.error == EINVAL; }

int ServerMonitor::Lock(unsigned long ms) {
    m_timedOut = false;
    return ipc::Take(m_mutex, ipc::Deadline::After(ms), m_failure) ? 1 : LockFailed();
}

int ServerMonitor::LockFailed() {
    m_timedOut = m_failure.TimedOut();
    if (m_timedOut) return Fail("registry lock not given back within its limit by another process at");
    return 0;
}

int ServerMonitor::Release() { return ipc::Give(m_mutex, m_failure) ? 1 : 0; }

bool ServerMonitor::AttachBlock(IpcFailure& failure) {
    if (!m_view.Attach(m_segment, failure)) return false;
    m_registry = static_cast<ServerList*>(m_view.Data());
    return true;
}

void ServerMonitor::Detach() {
    m_registry = nullptr;
    m_view.Detach();
    m_segment = ipc::Segment();
    m_freeSem = ipc::Sem();
    m_mutex = ipc::Sem();
    m_counters.Detach();
}

int ServerMonitor::InitClient(const char* name) {
    m_isServer = 0;
    Detach();
    if (!CopyBaseName(m_name, name)) return Fail("base name too long:");
    char buffer[kNameBufferSize];
    bool opened =
        ipc::OpenSet(FormatName(buffer, kServerCountSemFmt, name), ipc::SemKind::Count, nullptr, m_freeSem,
                     m_failure) &&
        ipc::OpenSegment(FormatName(buffer, kServerMonShMemFmt, name), m_segment, m_failure) && AttachBlock(m_failure);
    // Counters that are not the service's own are refused like the rest; a
    // client attaches them when it first counts.
    if (!opened || (!m_counters.Open(name, m_failure, false) && m_counters.Refused()) ||
        !ReserveUnit(kFreeServerWaitMs)) {
        Detach();
        return 0;
    }
    // The registry lock is taken once, within the lock's limit, so that a
    // holder that hangs cannot hang every gateway behind it.
    if (!ipc::OpenSet(FormatName(buffer, kServerMonMutexFmt, name), ipc::SemKind::Mutex, nullptr, m_mutex, m_failure) ||
        !Lock(kRegistryLockMs)) {
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
    bool opened;
    if (needCount) {
        opened = ipc::OpenSet(FormatName(buffer, kServerCountSemFmt, name), ipc::SemKind::Count, nullptr, m_freeSem,
                              m_failure) &&
                 ipc::OpenSet(FormatName(buffer, kServerMonMutexFmt, name), ipc::SemKind::Mutex, nullptr, m_mutex,
                              m_failure);
    } else {
        // A tool goes on without the count; when neither opens, the count's
        // failure is the one told.
        opened = ipc::OpenSet(FormatName(buffer, kServerMonMutexFmt, name), ipc::SemKind::Mutex, nullptr, m_mutex,
                              m_failure);
        IpcFailure countFailure;
        if (!ipc::OpenSet(FormatName(buffer, kServerCountSemFmt, name), ipc::SemKind::Count, nullptr, m_freeSem,
                          countFailure) &&
            !opened)
            m_failure = countFailure;
    }
    opened = opened && ipc::OpenSegment(FormatName(buffer, kServerMonShMemFmt, name), m_segment, m_failure) &&
             AttachBlock(m_failure);
    // Counters that are not the service's own are refused like the rest; a
    // client attaches them when it first counts, a tool at once.
    if (opened && (m_counters.Open(name, m_failure, !needCount) || !m_counters.Refused())) return 1;
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
    using ipc::ObjectKind;
    struct Name {
        const char* format;
        ObjectKind kind;
    } names[] = {{kServerMonMutexFmt, ObjectKind::Set}, {kServerMonShMemFmt, ObjectKind::Segment},
                 {kServerCountSemFmt, ObjectKind::Set}, {kMutexFmt, ObjectKind::Set},
                 {kClientSemFmt, ObjectKind::Set},      {kServerSemFmt, ObjectKind::Set},
                 {kCountersFmt, ObjectKind::Segment}};
    char buffer[kNameBufferSize];
    bool ready = true;
    for (const Name& name : names)
        ready = ready && ipc::PrepareName(FormatName(buffer, name.format, m_name, 0), name.kind, m_access, true,
                                          m_failure);
    for (int slot = 0; slot < kMaxServers; ++slot)
        ready = ready && ipc::PrepareName(FormatName(buffer, kShMemFmt, m_name, slot), ObjectKind::Segment, m_access,
                                          false, m_failure);
    return ready;
}

// 1 when the registry is open, 0 on failure, -1 when it vanished meanwhile.
int ServerMonitor::OpenRegistry() {
    char buffer[kNameBufferSize];
    bool mutexExisted = false;
    if (!ipc::MakeSet(FormatName(buffer, kServerMonMutexFmt, m_name), ipc::SemKind::Mutex, 1, m_access, m_mutex,
                      mutexExisted, m_failure))
        return mutexExisted ? -1 : 0;
    // A set of another server may be removed while its lock is waited for:
    // then the registry is made afresh.
    if (!Lock(kRegistryLockMs)) {
        Detach();
        return mutexExisted ? -1 : 0;
    }
    bool blockExisted = false;
    bool attached = ipc::MakeSegment(FormatName(buffer, kServerMonShMemFmt, m_name), kRegistrySize, m_access,
                                     m_segment, blockExisted, m_failure) &&
                    AttachBlock(m_failure);
    if (!attached) {
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
    bool countExisted = false;
    if (!m_counters.Make(m_name, m_access, fresh, m_failure) ||
        !ipc::MakeSet(FormatName(buffer, kServerCountSemFmt, m_name), ipc::SemKind::Count, 0, m_access, m_freeSem,
                      countExisted, m_failure)) {
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
    for (const char* format : sets) ipc::RemoveNamed(FormatName(buffer, format, m_name), ipc::ObjectKind::Set, true);
    for (int slot = 0; slot < kMaxServers; ++slot)
        ipc::RemoveNamed(FormatName(buffer, kShMemFmt, m_name, slot), ipc::ObjectKind::Segment, true);
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
        if (!objects || objects->Make(m_name, i, size, m_access, m_failure)) {
            slot = i;
        } else if (m_failure.Refused()) {
            break;
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

int ServerMonitor::RemoveServer(const ServerID& id, SlotObjects* objects) {
    if (!m_registry || !Lock(kRegistryLockMs)) return 0;
    RemoveServerLocked(id, objects, false);
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
    IpcFailure ignored;  // a set removed meanwhile has nothing to give back
    if (objects && mutexHeld) ipc::Give(objects->Mutex(), ignored);
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
        IpcFailure ignored;
        if (mutexHeld) ipc::Give(objects.Mutex(), ignored);
    }
    objects.RemoveBlock();
    objects.Forget();
    TerminateLocked(locked);
}

void ServerMonitor::TerminateLocked(bool locked) {
    if (locked && PruneDeadServers() >= 0 && m_registry->count == 0) {
        // The lock's own set goes last: a server waiting for it then fails
        // to take it and makes a new registry instead of half of this one.
        m_registry = nullptr;
        m_view.Detach();
        IpcFailure reported;  // a failed removal is reported on standard error
        ipc::RemoveSegment(m_segment, reported);
        m_segment = ipc::Segment();
        m_counters.Detach();
        PipeCounters::Remove(m_name);
        // The slots' sets too: the last pipe decided on them before this
        // look, and a server killed meanwhile (reaped since) may have
        // counted as registered then.
        char buffer[kNameBufferSize];
        for (const char* format : {kMutexFmt, kClientSemFmt, kServerSemFmt})
            ipc::RemoveNamed(FormatName(buffer, format, m_name), ipc::ObjectKind::Set, true);
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

int ServerMonitor::OtherExchanges(int ownSlot) const {
    if (!m_registry) return 0;
    int others = 0;
    for (int slot = 0; slot < kMaxServers; ++slot) {
        const ServerID& entry = m_registry->servers[slot];
        int32_t client = __atomic_load_n(&entry.clientPid, __ATOMIC_RELAXED);
        // Registered and claimed by a client (not idle, not withdrawn by its
        // own server).
        if (slot != ownSlot && client > 0 && __atomic_load_n(&entry.index, __ATOMIC_RELAXED) == slot &&
            client != __atomic_load_n(&entry.serverPid, __ATOMIC_RELAXED))
            ++others;
    }
    return others;
}

int ServerMonitor::FreeServerCount() const {
    IpcFailure ignored;
    int value = -1;
    return m_freeSem.IsOpen() && ipc::Value(m_freeSem, value, ignored) ? value : -1;
}

int ServerMonitor::RemoveAll(const char* name) {
    char buffer[kNameBufferSize];
    if (!name || std::strlen(name) > kMaxBaseNameLength) return 0;
    int removed = 0;
    const char* sets[] = {kServerMonMutexFmt, kServerCountSemFmt, kMutexFmt, kClientSemFmt, kServerSemFmt};
    using ipc::ObjectKind;
    for (const char* format : sets) removed += ipc::RemoveNamed(FormatName(buffer, format, name), ObjectKind::Set, false);
    removed += ipc::RemoveNamed(FormatName(buffer, kServerMonShMemFmt, name), ObjectKind::Segment, false);
    removed += ipc::RemoveNamed(FormatName(buffer, kCountersFmt, name), ObjectKind::Segment, false);
    for (int slot = 0; slot < kMaxServers; ++slot)
        removed += ipc::RemoveNamed(FormatName(buffer, kShMemFmt, name, slot), ObjectKind::Segment, false);
    return removed;
}
