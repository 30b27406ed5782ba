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
// Error convention: results are 1 or 0, or the outcomes below; the cause
// of a failure is the calling thread's last failure of the system layer
// (LastFailureUx). Nothing here throws.
#ifndef VELMOX_EXCHANGE_H
#define VELMOX_EXCHANGE_H

#include <cstdint>
#include <functional>

#include "slot_objects.h"

namespace exchange {

// The block copies, never past the block's real size. ReadMessage copies
// at most max bytes of the message and sets *got to its whole length (the
// length word). WriteMessage stores at most min(limit, block size) - 4
// bytes and returns how many it stored.
void ReadMessage(const SlotObjects& slot, char* buffer, unsigned long max, unsigned long* got);
uint32_t WriteMessage(SlotObjects& slot, const char* bytes, unsigned long length, unsigned long limit);

// The longest message the slot's block carries.
unsigned long Capacity(const SlotObjects& slot);

// Client, holding the slot's mutex: writes the request whole and signals it.
// Both events are at rest after every exchange that its client saw to the
// end (the answer taken, the request withdrawn, or the server gone, whose
// successor makes the slot's objects anew); only a client that died in an
// exchange can leave a signal behind. clearEvents (a dead client's slot,
// the terminate message) clears both first. A request event found still
// signalled is cleared too, never waited on. 0 when a step fails; the caller
// checks Capacity first.
int PostRequest(SlotObjects& slot, const void* request, unsigned long length, bool clearEvents = true);

enum class Awaited {
    Answer,      // the answer is in the block
    NotTaken,    // the server went away before taking the request: withdrawn
    Lost,        // the server took the request and went away
    WaitFailed,  // the wait itself failed (the sets were removed)
};
// Client: waits for the answer without a limit, looking after a short first
// slice and then every slice whether `present` still holds (the server
// lives and keeps its slot).
Awaited AwaitAnswer(SlotObjects& slot, const std::function<bool()>& present);

// Server: waits for the next request without a limit; 1 when one is in the
// block, 0 when the wait failed.
int AwaitRequest(SlotObjects& slot);
// Server: stores the answer (cut to the block and to limit) and signals it.
int PostAnswer(SlotObjects& slot, const char* answer, unsigned long length, unsigned long limit);

}  // namespace exchange

#endif
