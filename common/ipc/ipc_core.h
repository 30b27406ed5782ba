/// @file
/// The core of the pipe's system layer: System V semaphore members and
/// segments as values, one owner for an attached segment, and deadlines in
/// milliseconds. The registry, the exchange and the persistent client are
/// written on it; the Win32-style functions (ux_mem.h) and OpSys (opsys.h)
/// are thin layers over it for server tasks that call them.
///
/// A semaphore set has 64 members, one per slot; its key comes from a key
/// file. A `Sem` names one member of an open set: a value that owns nothing
/// (copying it costs no system call; the set stays until somebody removes
/// it). Kinds: an Event is 1 clear and 0 signalled, a signal carrying no undo
/// record, so that it outlives its giver; a Mutex is 1 free and 0 taken and
/// a Count is a number of units, both taken and given back with an undo
/// record, so that the system gives back what a dead process held.
///
/// A `Segment` names an open segment; a `SegmentView` owns one attachment of
/// it and detaches it when it goes, whatever happened before. Making and
/// opening follow the rules of trust of pipe_access.h (key files, owners).
///
/// Deadlines. `Deadline::After(ms)` ends ms milliseconds from now, exactly
/// (0: only what is there at once); `Deadline::Never()` has no end. Waits are
/// made against the monotonic clock with semtimedop: no signal handler, no
/// alarm timer; a signal that interrupts a wait resumes it.
///
/// Error convention: every operation returns true on success and false on
/// failure, and a failure fills the IpcFailure it is given with the system
/// call, its errno and the object's name; a wait that reached its deadline
/// fails with ETIMEDOUT (IpcFailure::TimedOut). Nothing here keeps a last
/// failure, throws, installs a signal handler or touches the alarm timer;
/// every operation is safe on any thread.
#ifndef VELMOX_IPC_CORE_H
#define VELMOX_IPC_CORE_H

#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "ipc_failure.h"
#include "pipe_access.h"

namespace ipc {

const int kObjectNameSize = 256;  ///< the size of an object's name, with its terminator
const int kSetMembers = 64;       ///< the members of every semaphore set
/// The project id of every key (ftok's second argument).
const int kTokenId = 0x75E;

/// Fills `failure` with a failed call (or, error 0, a failure of the
/// protocol) and returns false, for use in return statements.
inline bool Fail(IpcFailure& failure, const char* call, const char* object, int error) {
    failure = IpcFailure::System(call, object, error);
    return false;
}

/// The moment a timed wait gives up, on the monotonic clock; or never.
class Deadline {
public:
    /// A wait without a limit.
    static Deadline Never() { return Deadline(); }
    /// ms milliseconds from now.
    static Deadline After(unsigned long ms);
    /// True for a wait without a limit.
    bool IsNever() const { return m_never; }
    /// The time from now to the deadline; zero when it has passed.
    struct timespec Left() const;

private:
    bool m_never = true;
    struct timespec m_at = {0, 0};
};

/// What a semaphore member is used as (ux_mem.h, MH_t): an event, a mutex
/// or a count.
enum class SemKind : uint8_t { Event, Mutex, Count };

/// One member of a semaphore set, by identifier, with its key and name for
/// messages. A plain record: it holds nothing that must be released.
class Sem {
public:
    Sem() = default;
    /// The member of an open set (identifier and key as the system gave
    /// them), named for messages; for the records of the layers above.
    Sem(int set, key_t key, int member, SemKind kind, const char* name);

    bool IsOpen() const { return m_set >= 0; }  ///< true once it stands for a member
    int Set() const { return m_set; }          ///< the set's identifier
    key_t Key() const { return m_key; }        ///< the set's key
    int Index() const { return m_member; }     ///< the member's index in the set
    SemKind Kind() const { return m_kind; }    ///< what the member is used as
    const char* Name() const { return m_name; }  ///< the member's name, for messages
    /// Another member of the same set, named "<stem>.<member>"; no system
    /// call. Not open when the member lies outside the set.
    Sem Member(int member) const;

private:
    int m_set = -1;
    key_t m_key = 0;
    int m_member = 0;
    SemKind m_kind = SemKind::Event;
    char m_name[kObjectNameSize] = {};
};

/// Making and opening sets. A name "\<path\>.\<n\>" stands for member n of the
/// set keyed by the file \<path\>.
///
/// Server: makes the set (every member 1, the named one `initial`) with the
/// access, its key file too; fails with EEXIST when the set is there.
bool CreateSet(const char* name, SemKind kind, int initial, const PipeAccess& access, Sem& sem, IpcFailure& failure);
/// Server: makes the set, or opens the one that is there (if it is trusted)
/// and gives it the access; `existed` says which.
bool MakeSet(const char* name, SemKind kind, int initial, const PipeAccess& access, Sem& sem, bool& existed,
             IpcFailure& failure);
/// Opens an existing, trusted set without a side effect (nothing taken or
/// cleared); given an access, the set is given it (the caller owns it).
bool OpenSet(const char* name, SemKind kind, const PipeAccess* access, Sem& sem, IpcFailure& failure);
/// Removes the whole set of the member (all 64 members).
bool RemoveSet(const Sem& sem, IpcFailure& failure);

/// Operations on one member.
///
/// Takes the member before the deadline: an event's signal (clearing the
/// event in the same atomic step), a unit of a mutex or count (with an undo
/// record). A removed set fails with EIDRM or EINVAL.
bool Take(const Sem& sem, const Deadline& deadline, IpcFailure& failure);
/// An event is signalled (no undo record; a signalled event blocks the call
/// until somebody clears it), a mutex or count gets a unit back.
bool Give(const Sem& sem, IpcFailure& failure);
/// Signals a clear event without ever blocking; `signalled` is false when it
/// was signalled already (left as it was).
bool SignalIfClear(const Sem& sem, bool& signalled, IpcFailure& failure);
/// Takes back an event's signal that nobody has taken, in the step a waiter
/// takes it with: of a waiter and a withdrawer exactly one gets it.
/// `withdrawn` is false when the event was clear.
bool Withdraw(const Sem& sem, bool& withdrawn, IpcFailure& failure);
/// Takes an event's signal if it is there, never sleeping: the step Take
/// ends with, for a waiter that saw the signal coming. `taken` is false when
/// the event was clear.
bool TakeNow(const Sem& sem, bool& taken, IpcFailure& failure);
///@{
/// Sets the member (clears every process's undo records of it).
bool SetValue(const Sem& sem, int value, IpcFailure& failure);
bool Value(const Sem& sem, int& value, IpcFailure& failure);
///@}
/// Changes the member by delta with no undo record, so that the change
/// outlives the process; a decrease below 0 fails (EAGAIN) and waits for
/// nothing.
bool Adjust(const Sem& sem, int delta, IpcFailure& failure);
/// Keeps a unit this process took for good: its undo record is cancelled,
/// the value stays.
bool KeepTakenUnit(const Sem& sem, IpcFailure& failure);
/// True when a process waits for the event to be signalled while it is
/// clear (a server blocked for its next request); false when not or unknown.
bool HasWaiter(const Sem& sem);

/// A shared-memory segment, by identifier, with its key, name and size. A
/// plain record: it holds nothing that must be released.
class Segment {
public:
    Segment() = default;
    /// size: as the system reported it when the segment was made or opened,
    /// 0 when not known.
    Segment(int id, key_t key, const char* name, unsigned long size = 0);
    bool IsOpen() const { return m_id >= 0; }    ///< true once it stands for a segment
    int Id() const { return m_id; }              ///< the segment's identifier
    key_t Key() const { return m_key; }          ///< its key
    const char* Name() const { return m_name; }  ///< its name, for messages
    unsigned long Size() const { return m_size; }  ///< its size; 0 when not known

private:
    int m_id = -1;
    key_t m_key = 0;
    unsigned long m_size = 0;
    char m_name[kObjectNameSize] = {};
};

/// Server: makes the segment (zero-filled) with the access, or opens the
/// one that is there when it is trusted and at least `size` bytes, and gives
/// it the access; `existed` says which.
bool MakeSegment(const char* name, unsigned long size, const PipeAccess& access, Segment& segment, bool& existed,
                 IpcFailure& failure);
/// Opens an existing, trusted segment.
bool OpenSegment(const char* name, Segment& segment, IpcFailure& failure);
/// Marks the segment for removal: it goes once the last view is detached.
bool RemoveSegment(const Segment& segment, IpcFailure& failure);
/// The size as the system reports it (asked only when the open did not
/// learn it: a segment's size never changes).
bool SegmentSize(const Segment& segment, unsigned long& size, IpcFailure& failure);
/// `current` is true while the segment is the one its name stands for:
/// there, and not marked for removal.
bool SegmentIsCurrent(const Segment& segment, bool& current, IpcFailure& failure);

///@{
/// A view that its caller detaches itself (the Win32-style layer's): the
/// whole segment attached read-write, and detached.
bool AttachSegment(const Segment& segment, void*& data, IpcFailure& failure);
bool DetachSegment(void* data, IpcFailure& failure);
///@}

/// One attachment of a segment, read-write. Not copyable; detached when the
/// view goes or is attached anew.
class SegmentView {
public:
    SegmentView() = default;
    ~SegmentView() { Detach(); }
    SegmentView(const SegmentView&) = delete;
    SegmentView& operator=(const SegmentView&) = delete;

    /// Attaches the segment (detaching an earlier one first); false with the
    /// cause when the system refuses.
    bool Attach(const Segment& segment, IpcFailure& failure);
    /// Detaches the segment, if one is attached. Never fails.
    void Detach();
    /// The attached segment's first byte; null when none is.
    void* Data() const { return m_data; }

private:
    void* m_data = nullptr;
};

/// What a name stands for: a semaphore set (member) or a segment.
enum class ObjectKind { Set, Segment };

/// Removal by name, for cleaning up: the set or segment a name stands for,
/// if there is one and the caller may, without making key files. With
/// `trustedOnly` only one that an open would trust (a stranger's object under
/// the name is left alone). True when something was removed.
bool RemoveNamed(const char* name, ObjectKind kind, bool trustedOnly);

/// Server: the key of a name (and, for a set, its member), its key file made
/// as for CreateSet; nothing else is looked at.
bool NameKey(const char* name, ObjectKind kind, const PipeAccess& access, key_t& key, int& member,
             IpcFailure& failure);

/// Server, before it makes anything of a name: makes the key file when
/// `make` is set, else only checks it if it exists, and checks that an
/// object of its key, if there is one, is trusted.
bool PrepareName(const char* name, ObjectKind kind, const PipeAccess& access, bool make, IpcFailure& failure);

/// Processes. True while a process of that id exists and has not ended (pid
/// 0 and below: false); one that ended and waits to be reaped is gone.
bool ProcessExists(int pid);
/// As ProcessExists, in one system call: a process that ended and waits to
/// be reaped still counts. For hot paths that look again later.
bool ProcessMayExist(int pid);
/// Hundredths of a second since local midnight, in whole seconds: what a
/// server records as its start (registry.h).
uint32_t TickCount();

}  // namespace ipc

#endif
