// Helpers shared by the fuzz harnesses: the input as an exact-size heap
// block (so that a read one byte past it is caught by the sanitizer or by
// valgrind), the input cut into pieces, and a property check that aborts.
#ifndef VELMOX_FUZZ_UTIL_H
#define VELMOX_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// A violated property is a finding like a crash: report it and abort so that
// libFuzzer (or the replay program) stops on this input.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

#define FUZZ_FAIL(what)                                                        \
    do {                                                                       \
        std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, what); \
        std::abort();                                                          \
    } while (0)

namespace fuzz {

// The bytes of the input in a block of exactly their size.
class ExactBytes {
public:
    ExactBytes(const uint8_t* data, size_t size) : m_size(size), m_bytes(new char[size]) {
        if (size) std::memcpy(m_bytes.get(), data, size);
    }
    char* data() const { return m_bytes.get(); }
    size_t size() const { return m_size; }

private:
    size_t m_size;
    std::unique_ptr<char[]> m_bytes;
};

// A C string of exactly its length plus the terminator, on the heap.
class ExactString {
public:
    explicit ExactString(const std::string& text) : m_bytes(new char[text.size() + 1]) {
        std::memcpy(m_bytes.get(), text.c_str(), text.size() + 1);
    }
    char* get() const { return m_bytes.get(); }

private:
    std::unique_ptr<char[]> m_bytes;
};

// Takes the bytes up to the next `separator` off the front of `rest`; false
// (and nothing taken) when no separator is left.
inline bool TakeLine(std::string& rest, char separator, std::string* line) {
    size_t at = rest.find(separator);
    if (at == std::string::npos) return false;
    *line = rest.substr(0, at);
    rest.erase(0, at + 1);
    return true;
}

// What an environment variable can hold: the text up to its first NUL.
inline std::string UpToNul(const std::string& text) { return std::string(text.c_str()); }

// True when a NUL ends the string at p before `end`.
inline bool EndsBefore(const char* p, const char* end) {
    return p < end && std::memchr(p, 0, size_t(end - p)) != nullptr;
}

}  // namespace fuzz

#endif
