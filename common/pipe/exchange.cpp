#include "exchange.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "spin_wait.h"

namespace exchange {

namespace {

const uint32_t kWordSize = 4;
// The wait for an answer has no limit, but looks this often whether the
// server is still there to take or answer the request; the first look comes
// sooner, since a persistent client no longer looks before it sends
// (ServerMonitor::GetServer).
const unsigned long kFirstAnswerSliceMs = 20;
const unsigned long kAnswerSliceMs = 200;

// Turns of the spin between two tries to take a signal that was not there
// yet (about a microsecond): the other side is still in its system call.
const unsigned kRetryTurns = 64;

// Spins until `written` says the other side has written its message, then
// takes the event's signal, which follows within the other side's next
// system call (tried again meanwhile). True when taken.
template <class Written>
bool SpinAndTake(const ipc::Sem& event, Written written, uint64_t budgetNs, IpcFailure& failure) {
    bool taken = false;
    unsigned wait = 0;
    spin::Until(
        [&] {
            if (wait > 0) {
                --wait;
                return false;
            }
            if (!written()) return false;
            wait = kRetryTurns;
            return !ipc::TakeNow(event, taken, failure) || taken;
        },
        budgetNs);
    return taken;
}

}  // namespace

unsigned long Capacity(const SlotObjects& slot) {
    return slot.BlockSize() > kWordSize ? slot.BlockSize() - kWordSize : 0;
}

char* MessageBytes(const SlotObjects& slot) {
    return slot.Block() ? static_cast<char*>(slot.Block()) + kWordSize : nullptr;
}

uint32_t MessageLength(const SlotObjects& slot) {
    uint32_t length = 0;
    if (slot.Block()) std::memcpy(&length, slot.Block(), sizeof length);
    return length;
}

void SetMessageLength(SlotObjects& slot, uint32_t length) {
    if (slot.Block()) std::memcpy(slot.Block(), &length, sizeof length);
}

void ReadMessage(const SlotObjects& slot, char* buffer, unsigned long max, unsigned long* got) {
    uint32_t length = MessageLength(slot);
    // Never read past the block, whatever its length word says.
    unsigned long n = std::min<unsigned long>(std::min<unsigned long>(length, max), Capacity(slot));
    if (n > 0 && buffer) std::memcpy(buffer, MessageBytes(slot), n);
    if (got) *got = length;
}

uint32_t WriteMessage(SlotObjects& slot, const char* bytes, unsigned long length, unsigned long limit) {
    if (!slot.Block()) return 0;
    unsigned long room = std::min(Capacity(slot), limit > kWordSize ? limit - kWordSize : 0);
    uint32_t n = uint32_t(std::min(length, room));
    SetMessageLength(slot, n);
    if (n > 0 && bytes) std::memcpy(MessageBytes(slot), bytes, n);
    return n;
}

bool ClearEvents(SlotObjects& slot, IpcFailure& failure) {
    return ipc::SetValue(slot.Request(), 1, failure) && ipc::SetValue(slot.Answer(), 1, failure);
}

bool PostRequest(SlotObjects& slot, bool cleared, IpcFailure& failure) {
    if (cleared) return ipc::Give(slot.Request(), failure);
    bool signalled = false;
    if (!ipc::SignalIfClear(slot.Request(), signalled, failure)) return false;
    return signalled || (ClearEvents(slot, failure) && ipc::Give(slot.Request(), failure));
}

Awaited AwaitAnswer(SlotObjects& slot, const std::function<bool()>& present, IpcFailure& failure) {
    for (unsigned long slice = kFirstAnswerSliceMs;; slice = kAnswerSliceMs) {
        if (ipc::Take(slot.Answer(), ipc::Deadline::After(slice), failure)) return Awaited::Answer;
        if (!failure.TimedOut()) return Awaited::WaitFailed;
        failure = IpcFailure();
        if (present()) continue;  // a slow server is waited for
        bool withdrawn = false;
        if (!ipc::Withdraw(slot.Request(), withdrawn, failure)) return Awaited::WaitFailed;
        if (withdrawn) return Awaited::NotTaken;
        // Taken: an answer given at the last moment is still there.
        if (ipc::Take(slot.Answer(), ipc::Deadline::After(0), failure)) return Awaited::Answer;
        failure = IpcFailure();
        return Awaited::Lost;
    }
}

bool SpinForAnswer(SlotObjects& slot, uint32_t requestLength, const uint64_t* answered, uint64_t answeredBefore,
                   uint64_t budgetNs, IpcFailure& failure) {
    const uint32_t* word = static_cast<const uint32_t*>(slot.Block());
    if (!word) return false;
    // The count, when there is one, moves after the answer is written; the
    // length word before its bytes are.
    return SpinAndTake(
        slot.Answer(),
        [&] {
            return answered ? __atomic_load_n(answered, __ATOMIC_ACQUIRE) != answeredBefore
                            : __atomic_load_n(word, __ATOMIC_RELAXED) != requestLength;
        },
        budgetNs, failure);
}

bool AwaitRequest(SlotObjects& slot, IpcFailure& failure) {
    return ipc::Take(slot.Request(), ipc::Deadline::Never(), failure);
}

bool SpinForRequest(SlotObjects& slot, uint32_t answerLength, uint64_t budgetNs, IpcFailure& failure) {
    const uint32_t* word = static_cast<const uint32_t*>(slot.Block());
    if (!word) return false;
    return SpinAndTake(
        slot.Request(), [&] { return __atomic_load_n(word, __ATOMIC_RELAXED) != answerLength; }, budgetNs, failure);
}

bool SignalAnswer(SlotObjects& slot, IpcFailure& failure) { return ipc::Give(slot.Answer(), failure); }

}  // namespace exchange
