// One request and its answer over the objects of a slot (slot_objects.h).
//
// The pipe block holds a 32-bit length word, then the message; the same
// block carries the request and then the answer, written over it. The
// client signals the request event and the server takes it; the server
// signals the answer event and the client takes it. Taking a signal is one
// atomic step, so a request is either still signalled, which nobody has
// taken and may go to another server, or taken, and then it is never sent
// again: no command runs twice. A signal outlives the process that gave it,
// so an answer given is delivered even when its server dies at once.
//
// Both events are at rest after every exchange that its client saw to the
// end (the answer taken, the request withdrawn, or the server gone, whose
// successor makes the slot's objects anew); only a client that died in an
// exchange can leave a signal behind.
//
// Error convention: the core's (ipc_core.h): true or false, a failure
// filling the IpcFailure given; AwaitAnswer returns an outcome instead.
// Nothing here throws.
#ifndef VELMOX_EXCHANGE_H
#define VELMOX_EXCHANGE_H

#include <cstdint>
#include <functional>

#include "slot_objects.h"

namespace exchange {

// The longest message the slot's block carries.
unsigned long Capacity(const SlotObjects& slot);

// The message in place: its room (Capacity bytes after the length word)
// and the length word, as it stands and as stored.
char* MessageBytes(const SlotObjects& slot);
uint32_t MessageLength(const SlotObjects& slot);
void SetMessageLength(SlotObjects& slot, uint32_t length);

// The block copies, never past the block's real size. ReadMessage copies
// at most max bytes of the message and sets *got to its whole length (the
// length word). WriteMessage stores at most min(limit, block size) - 4
// bytes and returns how many it stored.
void ReadMessage(const SlotObjects& slot, char* buffer, unsigned long max, unsigned long* got);
uint32_t WriteMessage(SlotObjects& slot, const char* bytes, unsigned long length, unsigned long limit);

// Client, holding the slot's mutex, before it writes its request: clears
// both events, where stale signals may be (a dead client's slot, the
// terminate message).
bool ClearEvents(SlotObjects& slot, IpcFailure& failure);
// Client, holding the slot's mutex, its request in the block: signals it.
// A request event found still signalled (never expected after `cleared`
// was false) is cleared with the answer's and signalled again, never
// waited on.
bool PostRequest(SlotObjects& slot, bool cleared, IpcFailure& failure);

// Client, its request of requestLength bytes posted: watches for at most
// budgetNs whether the server has answered, from what the server writes
// before it signals (the slot's count of answers, `answered` when the
// counters are kept, past `answeredBefore`; else the block's length word no
// longer the request's), and then takes the answer's signal
// without sleeping (ipc::TakeNow). True when it took it; false with no
// failure when the answer did not come in time (the caller then waits as a
// sleeper does, AwaitAnswer), with a failure when a semaphore failed.
bool SpinForAnswer(SlotObjects& slot, uint32_t requestLength, const uint64_t* answered, uint64_t answeredBefore,
                   uint64_t budgetNs, IpcFailure& failure);

enum class Awaited {
    Answer,      // the answer is in the block
    NotTaken,    // the server went away before taking the request: withdrawn
    Lost,        // the server took the request and went away
    WaitFailed,  // the wait itself failed (the sets were removed): the failure says why
};
// Client: waits for the answer without a limit, looking after a short first
// slice and then every slice whether `present` still holds (the server
// lives and keeps its slot).
Awaited AwaitAnswer(SlotObjects& slot, const std::function<bool()>& present, IpcFailure& failure);

// Server: waits for the next request without a limit; true when one is in
// the block.
bool AwaitRequest(SlotObjects& slot, IpcFailure& failure);
// Server, its last answer of answerLength bytes given: watches for at most
// budgetNs for the next request (the block's length word no longer the
// answer's: a client writes it last before it signals; the terminate
// message's is 0) and takes its signal without sleeping. True when it took
// it; false with no failure when none came in time (then AwaitRequest),
// with a failure when the semaphore failed. A request as long as the last
// answer is not seen: its server sleeps for it after the spin.
bool SpinForRequest(SlotObjects& slot, uint32_t answerLength, uint64_t budgetNs, IpcFailure& failure);
// Server, its answer stored (WriteMessage): signals it.
bool SignalAnswer(SlotObjects& slot, IpcFailure& failure);

}  // namespace exchange

#endif
