#include "ipc_failure.h"

#include <cerrno>
#include <cstring>

namespace {

void CopyCut(char* dst, size_t size, const char* src) {
    if (!src) src = "";
    size_t n = std::strlen(src);
    if (n >= size) n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

// Appends src to the text at *at, never past end - 1; keeps it terminated.
void Append(char*& at, char* end, const char* src) {
    while (*src && at + 1 < end) *at++ = *src++;
    *at = 0;
}

}  // namespace

IpcFailure IpcFailure::System(const char* call, const char* object, int error) {
    IpcFailure failure;
    CopyCut(failure.call, sizeof failure.call, call);
    CopyCut(failure.object, sizeof failure.object, object);
    failure.error = error;
    return failure;
}

IpcFailure IpcFailure::Protocol(const char* what, const char* object) { return System(what, object, 0); }

IpcFailure IpcFailure::Refusal(const char* what, const char* object, const char* detail) {
    IpcFailure failure = System(what, object, 0);
    CopyCut(failure.detail, sizeof failure.detail, detail);
    failure.refused = true;
    return failure;
}

bool IpcFailure::TimedOut() const { return error == ETIMEDOUT; }

bool IpcFailure::Refused() const { return refused || error == EACCES || error == EPERM; }

const char* IpcFailure::Text(char* buffer, size_t size) const {
    if (!buffer || size == 0) return buffer;
    char* at = buffer;
    char* end = buffer + size;
    *at = 0;
    if (!Failed()) return buffer;
    Append(at, end, call);
    if (object[0]) {
        Append(at, end, " ");
        Append(at, end, object);
    }
    if (detail[0]) {
        Append(at, end, " ");
        Append(at, end, detail);
    }
    if (error != 0) {
        char message[128];
        // The GNU strerror_r returns its text, which may not be in `message`.
        const char* text = strerror_r(error, message, sizeof message);
        Append(at, end, ": ");
        Append(at, end, text);
    }
    return buffer;
}
