/// @file
/// The registry of the server pipes of one base name: a block of 64 slots,
/// the registry lock that guards it, and the free-server count. Clients find
/// an idle server here and claim it; servers register and withdraw; whoever
/// finds a dead server or client cleans up after it.
///
/// Lock order. A process that holds a server's mutex may take the registry
/// lock, never the reverse: every registry operation takes the lock, changes
/// the block and gives it back without waiting for anything else.
///
/// A slot is empty (index -1), registered and idle (index = its position,
/// clientPid -1), claimed (clientPid a client's pid), or withdrawn by its
/// closing server (clientPid = serverPid). An empty slot may owe its
/// server's unit (clientPid kOwesUnit, below).
///
/// The count's invariant. The free-server count holds one unit for every
/// registered server that no client has reserved: outside the lock,
/// count + units held by clients = registered servers + slots that owe a
/// unit (a withdrawn server counts as registered until its slot is emptied). A server's unit is added when its
/// slot is published and taken back, with no undo record, by whoever empties
/// the slot: the server closing, or any process that finds the server dead.
/// (An undo record would take it back at the server's exit, but not while
/// clients had reserved every unit, since a value never goes below 0: the
/// count would stay too high for good.) A slot emptied at such a moment owes
/// its unit; the next unit that comes back pays for it and is kept. A
/// client's reservation carries an undo record, so a dead client's unit
/// comes back by itself.
///
/// Giving a claimed server back (PutServer) takes no lock while no slot owes
/// a unit: the claim is cleared by one compare-and-swap of the client's own
/// pid in the slot (the only value that only its client writes), then the
/// unit goes back. A debt that a process under the lock records at that
/// moment is paid by the next unit that comes back, or found by this client
/// right after its unit went back and paid from the count under the lock.
///
/// Error convention: operations return 1 for success and 0 for failure (or
/// a slot index, or -1), as each says; the cause of the last failure is
/// Failure(). Nothing here throws. One ServerMonitor serves one thread.
#ifndef VELMOX_REGISTRY_H
#define VELMOX_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "ipc_failure.h"
#include "ipc_names.h"
#include "pipe_counters.h"
#include "ipc_core.h"
#include "pipe_limits.h"

/// The clientPid of an empty slot that still owes its server's unit.
const int32_t kOwesUnit = -2;

/// Identity of one server pipe; also the 16-byte slot of the registry block.
struct ServerID {
    ServerID() : clientPid(0), index(0), serverPid(0), startTicks(0) {}

    int32_t clientPid;    ///< client that claimed the server; -1 while idle
    int32_t index;        ///< slot number 0..63; -1 when the slot is empty
    int32_t serverPid;    ///< the server's process
    uint32_t startTicks;  ///< ipc::TickCount() at the server's start, never repeated by one process

    ///@{
    /// Each formats the object's name for base name `name` into buffer (at
    /// least kNameBufferSize bytes) and returns buffer.
    char* ServerMutexName(char* buffer, const char* name) const;
    char* ClientSemName(char* buffer, const char* name) const;
    char* ServerSemName(char* buffer, const char* name) const;
    char* ShMemName(char* buffer, const char* name) const;
    ///@}
};
static_assert(sizeof(ServerID) == 16, "a registry slot is four 32-bit words");

/// A snapshot of the registry; the registry block has the same layout.
struct ServerList {
    uint32_t max;                  ///< the number of slots (kMaxServers)
    uint32_t count;                ///< the registered servers
    ServerID servers[kMaxServers]; ///< the slots
};
static_assert(sizeof(ServerList) == kRegistrySize, "the registry block is 1032 bytes");

class SlotObjects;

/// One process's (one thread's) access to the registry of a base name.
class ServerMonitor {
public:
    ServerMonitor();
    /// Releases the records and detaches the block; the objects stay.
    ~ServerMonitor();
    ServerMonitor(const ServerMonitor&) = delete;
    ServerMonitor& operator=(const ServerMonitor&) = delete;

    /// Client: reserves an idle server (waits up to a minute for the
    /// free-server count) and opens the registry. 0 when there is no server
    /// or the registry cannot be reached; nothing stays taken then.
    int InitClient(const char* name);
    /// Client that calls many times: opens the registry's objects once,
    /// without reserving or locking anything. 0 when there is no registry.
    int Attach(const char* name);
    /// Server: creates or opens the registry, its objects with the access
    /// (pipe_access.h), which the slots' objects get too. Leftovers of crashed
    /// servers (dead slots, a block or sets without the rest) are cleaned up
    /// first. Every key file of the name is checked before anything is made:
    /// one that is not this user's, or a stranger's object under the name,
    /// fails the start with its refusal as the cause.
    int InitServer(const char* name, const PipeAccess& access = PipeAccess());
    /// Server: ends this process's use of the registry; when no server is
    /// left, removes the registry's objects. Always 1.
    int Terminate();

    ///@{
    /// The registry lock, taken within ms milliseconds; 1 when taken.
    int Lock(unsigned long ms);
    int Release();
    ///@}

    /// Registers a server in the lowest empty slot and raises the free-server
    /// count. Returns the slot index, or -1 (registry full, lock not taken).
    int AddServer(ServerID& id);
    /// As above, and has `objects` made for the slot before the slot is
    /// published, so that no client finds a slot without its objects.
    int AddServer(ServerID& id, SlotObjects* objects, unsigned long size);
    /// Empties the server's slot; with no server left, removes the slots'
    /// semaphore sets (through `objects`' members when given), else only
    /// forgets the members `objects` holds.
    int RemoveServer(const ServerID& id, SlotObjects* objects);

    /// Client: reserves a unit of the free-server count (waits up to ms while
    /// servers live, gives up at once when none does). 1 when reserved.
    int ReserveUnit(unsigned long ms);
    ///@{
    /// Client: claims an idle server and copies its record into id. Only
    /// registered slots are claimed; a slot whose server is gone is emptied,
    /// and one claimed by a client that is gone counts as idle once its server
    /// waits for a request again. 0 when none can be claimed. A server that
    /// `known` holds for (the caller has served with that very registration:
    /// pid and start ticks) is not looked at for life here; the caller finds
    /// it gone while waiting for its answer.
    int GetServer(ServerID& id);
    int GetServer(ServerID& id, const std::function<bool(const ServerID&)>& known);
    ///@}
    /// True when the last claim took over the slot of a client that died
    /// there: the slot's events may still hold that exchange's signals.
    bool ClaimedAbandoned() const { return m_claimedAbandoned; }
    /// True when GetServer last found nothing to claim and kept the caller's
    /// unit for a slot that owed one: the caller has no unit any more and
    /// may reserve one again.
    bool SpentUnit() const { return m_spentUnit; }
    /// True when GetServer last passed over a slot whose dead client's request
    /// is still being served: the slot will be free shortly.
    bool SawRecoveringSlot() const { return m_sawRecovering; }
    /// Client: gives a claimed server back and raises the free-server count
    /// (without the lock while no slot owes a unit: see above).
    int PutServer(ServerID& id);
    /// Client: gives a claim back without the free-server unit.
    int DropClaim(const ServerID& id);
    /// Client: the server of id was found gone (ended, reaped or not): its
    /// slot is emptied, with the caller's claim on it, unless it serves again.
    int ServerGone(const ServerID& id);
    /// Client: gives back the unit that InitClient or ReserveUnit reserved.
    int GiveBackUnit();
    /// Copies the whole registry.
    int GetServerList(ServerList& list);

    /// A glance at the block without the lock: true while slot `index` is
    /// registered to the server with that pid. Good enough to notice a
    /// server that has gone away; decisions are made under the lock.
    bool Serves(int index, int32_t serverPid) const;
    /// A glance too: the slots besides `ownSlot` that a client has claimed,
    /// each an exchange in flight (spin_wait.h).
    int OtherExchanges(int ownSlot) const;
    /// The block as it stands (null before Init/Attach/Inspect), for tools
    /// that read it without the lock.
    const ServerList* Block() const { return m_registry; }

    /// Server: claims its own idle slot, so that no client claims it and no
    /// server takes it while the pipe closes.
    int Withdraw(const ServerID& id);
    /// The pipe's end under one hold of the lock: unregisters it, removes its
    /// block and, when it was the last server, every registry object.
    /// mutexHeld: the pipe holds its own mutex, given back unless erased.
    void TerminateServer(const ServerID& id, SlotObjects& objects, bool mutexHeld);

    /// Tools: opens an existing registry without reserving a server and
    /// without taking the lock (GetServerList takes it). 0 when there is none.
    int Inspect(const char* name);
    /// The free-server count as it stands; -1 when unknown.
    int FreeServerCount() const;
    /// Detaches the registry and releases the handle records.
    void Detach();
    /// Removes every semaphore set and segment of a base name (key files
    /// stay), whether servers use them or not; returns how many were removed.
    static int RemoveAll(const char* name);

    ///@{
    /// The counters of the base name (pipe_counters.h): made with the
    /// registry by a server, removed with it, attached by clients and tools
    /// when they exist (a view without them counts nothing).
    PipeCounters& Counters() { return m_counters; }
    const PipeCounters& Counters() const { return m_counters; }
    ///@}

    /// The cause of the last failure.
    const IpcFailure& Failure() const { return m_failure; }
    /// True when the last failure came from objects removed under this
    /// monitor (a registry of an earlier start): Attach again.
    bool Stale() const;
    /// True when the last ReserveUnit or Lock gave up at its limit.
    bool TimedOut() const { return m_timedOut; }

    int m_isServer;  ///< 1 from InitServer until the monitor lets the registry go, else 0

private:
    /// registry.cpp: opening, registering, closing.
    int OpenExisting(const char* name, bool needCount);
    bool CheckNames();
    int OpenRegistry();
    void InitBlock();
    void ClearLeftovers();
    void Publish(int slot, const ServerID& id);
    void RemoveServerLocked(const ServerID& id, SlotObjects* objects, bool mutexHeld);
    void TerminateLocked(bool locked);
    bool AttachBlock(IpcFailure& failure);
    /// After a failed take of the lock: 0, the cause said (a time-out as one).
    int LockFailed();
    int Fail(const char* what);

    /// registry_claims.cpp: units, claims and recovery.
    int SlotLimit() const;
    bool Registered(int slot) const;
    int Recount();
    int PruneDeadServers();
    void EmptySlot(int slot);
    void WithdrawUnit(int slot);
    int OwingSlot() const;
    bool AnySlotOwes() const;
    void PayDebtFromCount();
    void AddUnit(int slot);
    bool ServerAwaitsRequest(int slot) const;
    bool AnyLiveServer() const;
    int FindIdleSlot();
    int FindAbandonedSlot();
    void Claim(int slot, int32_t pid, ServerID& id);
    void Unclaim(const ServerID& id);

    ipc::Sem m_freeSem;
    ipc::Sem m_mutex;
    ipc::Segment m_segment;
    ipc::SegmentView m_view;
    ServerList* m_registry;  ///< the view's data, null while detached
    char m_name[kNameBufferSize];
    PipeAccess m_access;  ///< a server's: given to every object it makes
    PipeCounters m_counters;
    bool m_sawRecovering;
    bool m_spentUnit;
    bool m_timedOut = false;
    bool m_claimedAbandoned;
    IpcFailure m_failure;
};

#endif
