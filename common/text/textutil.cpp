#include "textutil.h"

#include <cctype>
#include <cstdio>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

void CopyToField(char* dst, size_t size, const char* src) {
    if (!dst || size == 0) return;
    size_t length = src ? strnlen(src, size - 1) : 0;
    if (length > 0) std::memcpy(dst, src, length);
    dst[length] = 0;
}

int ParseDecimal(const char* text, bool* fits) {
    if (fits) *fits = true;
    if (!text) return 0;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    // Accumulated as a negative number: INT_MIN has no positive counterpart.
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 - (*p - '0');
        if (value < INT_MIN) {
            if (fits) *fits = false;
            return 0;
        }
    }
    if (!negative && value == INT_MIN) {
        if (fits) *fits = false;
        return 0;
    }
    return int(negative ? value : -value);
}

bool ScanHex32(const char* text, uint32_t* value) {
    if (!text || !value) return false;
    // strtoul gives ULONG_MAX for a number past its range: saturated below.
    char* end = nullptr;
    unsigned long number = std::strtoul(text, &end, 16);
    if (end == text) return false;
    *value = number > UINT32_MAX ? UINT32_MAX : uint32_t(number);
    return true;
}

bool ScanDecimal(const char* text, int32_t* value, const char** end) {
    *end = text;
    if (!text) return false;
    char* stop = nullptr;
    errno = 0;
    long number = std::strtol(text, &stop, 10);
    if (stop == text) return false;
    bool outside = errno == ERANGE || number < INT32_MIN || number > INT32_MAX;
    *value = outside ? 0 : int32_t(number);
    *end = stop;
    return true;
}

std::string LogText(const char* text, size_t limit, const char* quoted) {
    std::string out;
    if (!text) return out;
    size_t i = 0;
    for (; text[i] && i < limit; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c == '\\' || std::strchr(quoted, c)) {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", unsigned(c));
            out += escape;
        }
    }
    if (text[i]) out += "...";
    return out;
}
