/// @file
/// The objects of one server slot: its mutex, its request and answer events
/// and its pipe block, owned by one object that knows how to make them (the
/// server), open them (a client), forget them (release what this process
/// holds, leaving the objects) and erase them.
///
/// The three semaphore sets are shared by all slots of a base name, one
/// member per slot; SlotSets holds them open for a client that calls many
/// times, so that a slot's members cost no system call.
///
/// Error convention: the core's (ipc_core.h): operations return true or
/// false, a failure filling the IpcFailure they are given. Nothing here
/// throws; forgetting and erasing never fail, and what this object held is
/// let go whatever their result.
#ifndef VELMOX_SLOT_OBJECTS_H
#define VELMOX_SLOT_OBJECTS_H

#include <cstdint>

#include "ipc_core.h"

/// The three semaphore sets of a base name, held open by a client (see the
/// file's description).
class SlotSets {
public:
    SlotSets() = default;
    SlotSets(const SlotSets&) = delete;
    SlotSets& operator=(const SlotSets&) = delete;

    /// Opens the three sets of base without side effects.
    bool Open(const char* base, IpcFailure& failure);
    /// Forgets the sets; they stay. Never fails.
    void Forget();
    /// True while the three sets are open.
    bool IsOpen() const { return m_mutexes.IsOpen() && m_requests.IsOpen() && m_answers.IsOpen(); }

private:
    friend class SlotObjects;
    /// Member 0 of each set; a slot's members are made from it.
    ipc::Sem m_mutexes, m_requests, m_answers;
};

/// The objects of one server slot (see the file's description).
class SlotObjects {
public:
    SlotObjects() = default;
    SlotObjects(const SlotObjects&) = delete;
    SlotObjects& operator=(const SlotObjects&) = delete;

    /// Server, under the registry lock and before the slot is published:
    /// creates or opens the sets, clears the slot's events, and replaces any
    /// block a crashed server left with a new one of `size` bytes, all with
    /// the access. Nothing here waits: a slot whose mutex is still taken is
    /// refused (EBUSY).
    bool Make(const char* base, int index, unsigned long size, const PipeAccess& access, IpcFailure& failure);
    /// Client: the slot's members of the open sets, and its block opened and
    /// attached. Holding nothing on failure.
    bool Open(const SlotSets& sets, const char* base, int index, IpcFailure& failure);
    /// Client, one exchange: as above, opening the sets by name.
    bool Open(const char* base, int index, IpcFailure& failure);

    /// Forgets the members and detaches the block; the objects stay.
    void Forget();
    /// Forgets the three members only.
    void ForgetSemaphores();
    /// Detaches the block and removes it from the system.
    void RemoveBlock();
    /// Removes the three sets of base (every slot's members with them),
    /// through this slot's members or, where it has none, by name. The block
    /// stays attached.
    void EraseSets(const char* base);

    const ipc::Sem& Mutex() const { return m_mutex; }      ///< the server's mutex
    const ipc::Sem& Request() const { return m_request; }  ///< the request event
    const ipc::Sem& Answer() const { return m_answer; }    ///< the answer event
    void* Block() const { return m_view.Data(); }          ///< the attached pipe block; null when none
    /// The block's real size as the system reports it: no copy goes past it.
    unsigned long BlockSize() const { return m_blockSize; }

private:
    bool OpenBlock(const char* base, int index, IpcFailure& failure);

    ipc::Sem m_mutex, m_request, m_answer;
    ipc::Segment m_segment;
    ipc::SegmentView m_view;
    unsigned long m_blockSize = 0;
};

#endif
