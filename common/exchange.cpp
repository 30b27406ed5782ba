#include "exchange.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace exchange {

namespace {

const uint32_t kWordSize = 4;
// The wait for an answer has no limit, but looks this often whether the
// server is still there to take or answer the request; the first look comes
// sooner, since a persistent client no longer looks before it sends
// (ServerMonitor::GetServer).
const unsigned long kFirstAnswerSliceMs = 20;
const unsigned long kAnswerSliceMs = 200;

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

bool AwaitRequest(SlotObjects& slot, IpcFailure& failure) {
    return ipc::Take(slot.Request(), ipc::Deadline::Never(), failure);
}

bool PostAnswer(SlotObjects& slot, const char* answer, unsigned long length, unsigned long limit,
                IpcFailure& failure) {
    WriteMessage(slot, answer, length, limit);
    return ipc::Give(slot.Answer(), failure);
}

}  // namespace exchange
