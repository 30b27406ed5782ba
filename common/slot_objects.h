// The objects of one server slot: its mutex, its request and answer events
// and its pipe block, owned by one object that knows how to make them (the
// server), open them (a client), forget them (release what this process
// holds, leaving the objects) and erase them.
//
// The three semaphore sets are shared by all slots of a base name, one
// member per slot; SlotSets holds them open for a client that calls many
// times, so that a slot's members cost no system call.
//
// Error convention: operations return 1 or 0; the cause of a failure is
// the calling thread's last failure of the system layer (LastFailureUx).
// Nothing here throws; forgetting and erasing never fail.
#ifndef VELMOX_SLOT_OBJECTS_H
#define VELMOX_SLOT_OBJECTS_H

#include <cstdint>

#include "ux_mem.h"

class SlotSets {
public:
    SlotSets() = default;
    SlotSets(const SlotSets&) = delete;
    SlotSets& operator=(const SlotSets&) = delete;

    // Opens the three sets of base without side effects. 0 on failure.
    int Open(const char* base);
    void Forget();
    bool IsOpen() const { return m_mutexes && m_requests && m_answers; }

private:
    friend class SlotObjects;
    MHandlePtr m_mutexes, m_requests, m_answers;
};

class SlotObjects {
public:
    SlotObjects() = default;
    ~SlotObjects() { Forget(); }
    SlotObjects(const SlotObjects&) = delete;
    SlotObjects& operator=(const SlotObjects&) = delete;

    // Server, under the registry lock and before the slot is published:
    // creates or opens the sets, clears the slot's events, and replaces any
    // block a crashed server left with a new one of `size` bytes, all with
    // the access. Nothing here waits: a slot whose mutex is still taken is
    // refused (0).
    int Make(const char* base, int index, unsigned long size, const PipeAccess& access = PipeAccess());
    // Client: the slot's members of the open sets, and its block opened and
    // attached. 0 on failure, holding nothing.
    int Open(const SlotSets& sets, const char* base, int index);
    // Client, one exchange: as above, opening the sets by name.
    int Open(const char* base, int index);

    // Releases the records and detaches the block; the objects stay.
    void Forget();
    // Releases the three semaphore records only.
    void ForgetSemaphores();
    // Detaches the block and removes it from the system.
    void RemoveBlock();
    // Removes the three sets of base (every slot's members with them),
    // through this slot's records or, where it has none, by name. The block
    // stays attached.
    void EraseSets(const char* base);

    MHandle* Mutex() const { return m_mutex.get(); }
    MHandle* Request() const { return m_request.get(); }
    MHandle* Answer() const { return m_answer.get(); }
    void* Block() const { return m_block; }
    // The block's real size as the system reports it: no copy goes past it.
    unsigned long BlockSize() const { return m_blockSize; }

private:
    int OpenBlock(const char* base, int index);

    MHandlePtr m_mutex, m_request, m_answer, m_segment;
    void* m_block = nullptr;
    unsigned long m_blockSize = 0;
};

#endif
