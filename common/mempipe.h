// The shared-memory pipe between gateway processes (clients) and server
// tasks, and the registry through which clients find an idle server.
//
// Objects of a pipe with base name B (each server pipe has a slot index i):
//   registry mutex      B.0        member 0 of the set keyed by file B
//   registry block      B.0        segment of 1032 bytes (a ServerList)
//   free-server count   B.sem.0    member 0 of the set keyed by B.sem
//   server mutex        B.mtx.i    request event B.csm.i, answer event B.ssm.i
//   pipe block          B.shm.i    segment: 32-bit length word, then the message
// Lock order: a process that holds a server's mutex may take the registry
// lock, never the reverse. Nothing here throws.
//
// The free-server count holds a unit for every registered server that no
// client has reserved. A server's unit is added when its slot is published
// and taken back, with no undo record, by whoever empties the slot: the
// server closing, or any process that finds the server dead. An undo record
// would take it back at the server's exit, but not while clients had
// reserved every unit (a value never goes below 0), and the count would stay
// too high for good. A slot emptied at such a moment owes its unit
// (clientPid kOwesUnit); the next unit that comes back pays for it and is
// kept. A client's reservation carries an undo record: a dead client's unit
// comes back.
#ifndef VELMOX_MEMPIPE_H
#define VELMOX_MEMPIPE_H

#include <cstddef>
#include <cstdint>

#include "opsys.h"
#include "pipe_limits.h"

extern const char kServerMonMutexFmt[];
extern const char kServerMonShMemFmt[];
extern const char kServerCountSemFmt[];
extern const char kMutexFmt[];
extern const char kClientSemFmt[];
extern const char kServerSemFmt[];
extern const char kShMemFmt[];

// The clientPid of an empty slot that still owes its server's unit.
const int32_t kOwesUnit = -2;

// Identity of one server pipe; also the 16-byte slot of the registry block.
struct ServerID {
    ServerID() : clientPid(0), index(0), serverPid(0), startTicks(0) {}

    int32_t clientPid;    // client that claimed the server; -1 while idle
    int32_t index;        // slot number 0..63; -1 when the slot is empty
    int32_t serverPid;
    uint32_t startTicks;  // OpSys::GetTickCount() at the server's start

    // Each formats the object's name for base name `name` into buffer (at
    // least kNameBufferSize bytes) and returns buffer.
    char* ServerMutexName(char* buffer, const char* name) const;
    char* ClientSemName(char* buffer, const char* name) const;
    char* ServerSemName(char* buffer, const char* name) const;
    char* ShMemName(char* buffer, const char* name) const;
};
static_assert(sizeof(ServerID) == 16, "a registry slot is four 32-bit words");

// A snapshot of the registry; the registry block has the same layout.
struct ServerList {
    uint32_t max;
    uint32_t count;
    ServerID servers[kMaxServers];
};
static_assert(sizeof(ServerList) == kRegistrySize, "the registry block is 1032 bytes");

class MemoryPipe;

// One process's access to the registry of a base name.
class ServerMonitor {
public:
    ServerMonitor();

    // Client: reserves an idle server (waits up to a minute for the
    // free-server count) and opens the registry. 0 when there is no server
    // or the registry cannot be reached; nothing stays taken then.
    int InitClient(const char* name);
    // Server: creates or opens the registry. Leftovers of crashed servers
    // (dead slots, a block or sets without the rest) are cleaned up first.
    int InitServer(const char* name);
    // Server: ends this process's use of the registry; when no server is
    // left, removes the registry's objects. Always 1.
    int Terminate();

    // The registry lock, taken within ms milliseconds; 1 when taken.
    int Lock(unsigned long ms);
    int Release();

    // Registers a server in the lowest empty slot and raises the free-server
    // count. Returns the slot index, or -1 (registry full, lock not taken).
    int AddServer(ServerID& id);
    // As above, and has `pipe` make its objects for the slot before the slot
    // is published, so that no client finds a slot without its objects.
    int AddServer(ServerID& id, MemoryPipe* pipe, unsigned long size);
    // Empties the server's slot; with no server left, removes the pipe
    // objects' semaphore sets, else only releases the pipe's handle records.
    int RemoveServer(const ServerID& id, MemoryPipe* pipe);

    // Client: reserves a unit of the free-server count (waits up to ms while
    // servers live, gives up at once when none does). 1 when reserved.
    int ReserveUnit(unsigned long ms);
    // Client: claims an idle server and copies its record into id. Only
    // registered slots are claimed; a slot whose server is gone is removed,
    // and one claimed by a client that is gone counts as idle once its server
    // waits for a request again. 0 when none can be claimed.
    int GetServer(ServerID& id);
    // True when GetServer last found nothing to claim and kept the caller's
    // unit for a slot that owed one: the caller has no unit any more and
    // may reserve one again.
    bool SpentUnit() const { return m_spentUnit; }
    // Client: gives a claimed server back and raises the free-server count.
    int PutServer(ServerID& id);
    // Copies the whole registry.
    int GetServerList(ServerList& list);

    // Client: gives a claim back without the free-server unit.
    int DropClaim(const ServerID& id);
    // Client: gives back the unit that InitClient reserved.
    int GiveBackUnit();
    // Client: detaches the registry and releases the handle records.
    void Detach();
    // True when GetServer last passed over a slot whose dead client's request
    // is still being served: the slot will be free shortly.
    bool SawRecoveringSlot() const { return m_sawRecovering; }

    // Server: claims its own idle slot, so that no client claims it and no
    // server takes it while the pipe closes.
    int Withdraw(const ServerID& id);
    // Tools: opens an existing registry without reserving a server and
    // without taking the lock (GetServerList takes it). 0 when there is none.
    int Inspect(const char* name);
    // The free-server count as it stands; -1 when unknown.
    int FreeServerCount() const;
    // Removes every semaphore set and segment of a base name (key files
    // stay), whether servers use them or not; returns how many were removed.
    static int RemoveAll(const char* name);

    // The pipe's end under one hold of the lock: unregisters it, removes its
    // segment and, when it was the last server, every registry object.
    // mutexHeld: the pipe holds its own mutex, given back unless erased.
    void TerminateServer(const ServerID& id, MemoryPipe* pipe, bool mutexHeld);

    int m_isServer;
    MHandle* m_freeSem;
    MHandle* m_mutex;
    MHandle* m_shm;
    ServerList* m_registry;

private:
    int OpenRegistry();
    void InitBlock();
    void ClearLeftovers();
    int SlotLimit() const;
    bool Registered(int slot) const;
    int Recount();
    int PruneDeadServers();
    void EmptySlot(int slot);
    void WithdrawUnit(int slot);
    int OwingSlot() const;
    void AddUnit(int slot);
    void Publish(int slot, const ServerID& id);
    void RemoveServerLocked(const ServerID& id, MemoryPipe* pipe, bool mutexHeld);
    void TerminateLocked(bool locked);
    bool ServerAwaitsRequest(int slot) const;
    bool AnyLiveServer() const;
    int FindIdleSlot();
    int FindAbandonedSlot();
    void Claim(int slot, ServerID& id);
    void Unclaim(const ServerID& id);
    void ForgetAll();
    // True when the last Lock failed because the registry's lock was removed.
    bool RegistryGone() const;

    char m_name[kNameBufferSize];
    bool m_sawRecovering;
    bool m_spentUnit;
    int m_lastLock;

    friend class MemoryPipe;
};

// One request and its answer between a client and a server task.
class MemoryPipe {
public:
    MemoryPipe();

    // Server half.
    // Registers the pipe and makes its objects; the block holds size bytes
    // (messages of up to size - 4). 0 on failure (size below 4, registry full,
    // objects not made); nothing stays registered then.
    int Create(const char* name, unsigned long size);
    int InitServer(const char* name, int size);
    // Blocks until a client has placed a request; 0 when the wait failed.
    int Connect();
    // Copies at most max bytes of the message into buffer and sets *got to
    // the message's full length. Always 1.
    int Read(char* buffer, unsigned long max, unsigned long* got);
    // Stores the answer (cut to the block) and wakes the client; 1 or 0.
    int Write(char* buffer, unsigned long length);
    int Disconnect();
    // Ends the pipe: unregisters it and removes its objects, the registry's
    // too when it was the last pipe. Always 1.
    int Close();
    int Terminate();
    // Wakes the calling process's own pipe, blocked in Connect, with an empty
    // request (the terminate message). 0 when there is no such pipe.
    int SendTerminateMessage(const char* name);

    // Client half: one exchange. On success *replyLen holds the answer's
    // length (the answer itself is cut to replySize). 0 on every failure: no
    // server within a minute, the server gone before or during the exchange;
    // whatever was taken (claim, free-server unit, mutex) is given back.
    int Call(const char* name, unsigned char* request, unsigned long requestLen, unsigned char* reply,
             unsigned long replySize, unsigned long* replyLen);

    // Block copies, bounded by the block; both return 1.
    int ReadSharedMem(char* buffer, unsigned long max, unsigned long* got);
    int WriteSharedMem(char* buffer, unsigned long length);

    MHandle* m_clientSem;
    MHandle* m_serverSem;
    MHandle* m_mutex;
    ServerMonitor m_monitor;
    ServerID m_id;
    int m_registered;
    MHandle* m_shm;
    void* m_block;
    unsigned long m_size;

private:
    // The size of the attached block as the system reports it: no copy ever
    // goes past it, whatever the two sides assume.
    unsigned long m_blockSize;

    int InitClient(const char* name);
    int FindServer(const char* name);
    int InitClientObjects(const char* name);
    int ClaimServer(bool* holdsUnit);
    int TakeServer(const char* name);
    void LetServerGo();
    int WaitForAnswer();
    int Exchange(const char* name, unsigned char* request, unsigned long requestLen, unsigned char* reply,
                 unsigned long replySize, unsigned long* replyLen);
    void ReleaseClient();
    int MakeServerObjects(const char* name, unsigned long size);
    void ForgetServerObjects();

    friend class ServerMonitor;
};

#endif
