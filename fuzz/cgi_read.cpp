// Fuzz target: the request record's Read (CGI::Read) over an arbitrary
// received block.
//
// Input: the stream's data, in a heap block of exactly its size.
//
// Properties:
//  - Read either raises an exception of the system or sets all 22 values,
//    one after another from the start of m_serialData, each ending inside
//    its m_serialLen bytes, which lie within the data that was there;
//  - a second Read on the same record over the input less its last byte
//    either succeeds the same way or raises and leaves the record as it was.
#include <cstdint>
#include <cstring>

#include "cgi.h"
#include "except.h"
#include "fuzz_util.h"
#include "sstream.h"

namespace {

// Reads the record from an exact-size copy of the first `size` bytes.
// Returns false when Read raised an exception of the system.
bool ReadRecord(CGI& cgi, const uint8_t* data, size_t size) {
    if (size == 0) return false;  // a stream needs a buffer of at least one byte
    fuzz::ExactBytes copy(data, size);
    try {
        SimpleStream s(copy.data(), unsigned(size));
        s.SetEof(uint32_t(size));
        cgi.Read(s);
        FUZZ_CHECK(s.m_pos <= s.m_eof);
        FUZZ_CHECK(size_t(s.m_pos - s.m_begin) == 4 + size_t(cgi.m_serialLen));
    } catch (const Exception&) {
        return false;
    }
    return true;
}

void CheckValues(const CGI& cgi) {
    FUZZ_CHECK(cgi.m_serialData != nullptr && cgi.m_serialLen > 0);
    const char* end = cgi.m_serialData + cgi.m_serialLen;
    const char* next = cgi.m_serialData;
    for (const char* value : cgi.m_cgiEnvVarValue) {
        FUZZ_CHECK(value == next);
        FUZZ_CHECK(fuzz::EndsBefore(value, end));
        next = value + std::strlen(value) + 1;
    }
    // The record's body is not part of what travels.
    FUZZ_CHECK(cgi.m_stdin == nullptr && cgi.m_contents == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CGI cgi;
    if (!ReadRecord(cgi, data, size)) {
        for (const char* value : cgi.m_cgiEnvVarValue) FUZZ_CHECK(value == nullptr);
        FUZZ_CHECK(cgi.m_serialData == nullptr && cgi.m_serialLen == 0);
        return 0;
    }
    CheckValues(cgi);
    char* before[CGI::c_cgiEnvVarCount];
    std::memcpy(before, cgi.m_cgiEnvVarValue, sizeof before);
    char* blockBefore = cgi.m_serialData;
    uint32_t lengthBefore = cgi.m_serialLen;
    if (ReadRecord(cgi, data, size - 1)) {
        CheckValues(cgi);
    } else {
        FUZZ_CHECK(std::memcmp(before, cgi.m_cgiEnvVarValue, sizeof before) == 0);
        FUZZ_CHECK(cgi.m_serialData == blockBefore && cgi.m_serialLen == lengthBefore);
        CheckValues(cgi);
    }
    return 0;
}
