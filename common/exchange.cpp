#include "exchange.h"

#include <algorithm>
#include <cstring>

#include "opsys.h"

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

void ReadMessage(const SlotObjects& slot, char* buffer, unsigned long max, unsigned long* got) {
    uint32_t length = 0;
    if (slot.Block()) std::memcpy(&length, slot.Block(), sizeof length);
    // Never read past the block, whatever its length word says.
    unsigned long n = std::min<unsigned long>(std::min<unsigned long>(length, max), Capacity(slot));
    if (n > 0 && buffer) std::memcpy(buffer, static_cast<char*>(slot.Block()) + kWordSize, n);
    if (got) *got = length;
}

uint32_t WriteMessage(SlotObjects& slot, const char* bytes, unsigned long length, unsigned long limit) {
    if (!slot.Block()) return 0;
    unsigned long room = std::min(Capacity(slot), limit > kWordSize ? limit - kWordSize : 0);
    uint32_t n = uint32_t(std::min(length, room));
    std::memcpy(slot.Block(), &n, sizeof n);
    if (n > 0 && bytes) std::memcpy(static_cast<char*>(slot.Block()) + kWordSize, bytes, n);
    return n;
}

namespace {

int ClearEvents(SlotObjects& slot) {
    return SetSemaphoreValueUx(slot.Request(), 1) && SetSemaphoreValueUx(slot.Answer(), 1);
}

}  // namespace

int PostRequest(SlotObjects& slot, const void* request, unsigned long length, bool clearEvents) {
    if (clearEvents && !ClearEvents(slot)) return 0;
    WriteMessage(slot, static_cast<const char*>(request), length, slot.BlockSize());
    if (clearEvents) return OpSys::ReleaseSemaphore(slot.Request());
    // Signalled without waiting: a signal found still there (never expected)
    // is cleared with the answer's, and the request signalled again.
    int signalled = SignalIfClearUx(slot.Request());
    if (signalled < 0) return 0;
    return signalled || (ClearEvents(slot) && OpSys::ReleaseSemaphore(slot.Request()));
}

Awaited AwaitAnswer(SlotObjects& slot, const std::function<bool()>& present) {
    for (unsigned long slice = kFirstAnswerSliceMs;; slice = kAnswerSliceMs) {
        int result = OpSys::WaitForSlice(slot.Answer(), slice);
        if (result == OS_WAIT_OK) return Awaited::Answer;
        if (result != OS_WAIT_TIMEOUT) return Awaited::WaitFailed;
        if (present()) continue;  // a slow server is waited for
        if (WithdrawSignalUx(slot.Request())) return Awaited::NotTaken;
        // Taken: an answer given at the last moment is still there.
        return OpSys::WaitForSlice(slot.Answer(), 0) == OS_WAIT_OK ? Awaited::Answer : Awaited::Lost;
    }
}

int AwaitRequest(SlotObjects& slot) { return OpSys::WaitForSemaphore(slot.Request(), OS_INFINITE) == OS_WAIT_OK; }

int PostAnswer(SlotObjects& slot, const char* answer, unsigned long length, unsigned long limit) {
    WriteMessage(slot, answer, length, limit);
    return OpSys::ReleaseSemaphore(slot.Answer());
}

}  // namespace exchange
