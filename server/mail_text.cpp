#include "mail_text.h"

#include "page.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

const char* EntityFor(unsigned char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return "&#39;";
        default: return nullptr;
    }
}

}  // namespace

size_t Utf8Length(const unsigned char* text, size_t length, size_t i) {
    unsigned char c = text[i];
    if (c < 0x80) return 1;
    size_t n;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + n > length) return 0;
    if (text[i + 1] < low || text[i + 1] > high) return 0;
    for (size_t k = 2; k < n; ++k)
        if (text[i + k] < 0x80 || text[i + k] > 0xBF) return 0;
    return n;
}

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F; }

struct tm Utc(int64_t ms) {
    time_t seconds = time_t(ms / 1000);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    return parts;
}

}  // namespace

bool AppendHtml(std::string& out, const char* text, size_t length, size_t limit) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length;) {
        if (i >= limit) return false;
        size_t n = Utf8Length(bytes, length, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else if (n > 1) {
            if (i + n > limit) return false;
            out.append(text + i, n);
            i += n;
        } else if (const char* entity = EntityFor(bytes[i])) {
            out += entity;
            ++i;
        } else {
            if (IsControl(bytes[i])) out += kReplacement;
            else out += text[i];
            ++i;
        }
    }
    return true;
}

std::string Html(const std::string& text) {
    std::string out;
    AppendHtml(out, text);
    return out;
}

std::string HtmlShort(const std::string& text, size_t limit) {
    std::string out;
    if (!AppendHtml(out, text, limit)) out += "\xE2\x80\xA6";
    return out;
}

bool IsValidUtf8(const std::string& text) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t n = Utf8Length(bytes, text.size(), i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string UrlPath(const std::string& text) { return EncodeUrlPath(text, false); }

// ------------------------------------------------------------------ idents

std::string IdentText(const uint32_t (&words)[4]) {
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", unsigned(words[0]), unsigned(words[1]), unsigned(words[2]),
                  unsigned(words[3]));
    return text;
}

// getrandom() blocks only before the kernel's pool is first seeded, long
// before a server runs; /dev/urandom stands in where the call is missing.
std::string NewIdent() {
    uint32_t words[4] = {};
    size_t got = 0;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(words);
    while (got < sizeof words) {
        ssize_t n = getrandom(bytes + got, sizeof words - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    if (got < sizeof words) {
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        while (fd >= 0 && got < sizeof words) {
            ssize_t n = read(fd, bytes + got, sizeof words - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        if (fd >= 0) close(fd);
    }
    // Without any randomness the time and the pid still keep idents apart.
    if (got < sizeof words) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        static uint32_t counter = 0;
        words[0] ^= uint32_t(now.tv_sec);
        words[1] ^= uint32_t(now.tv_nsec);
        words[2] ^= uint32_t(getpid());
        words[3] ^= ++counter;
    }
    return IdentText(words);
}

bool IsIdentText(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text)
        if (!std::strchr("0123456789abcdefABCDEF", c) || c == 0) return false;
    return true;
}

// ----------------------------------------------------------------- folders

bool IsFolderName(const std::string& name) {
    if (name.empty() || name.size() > kMaxFolderName) return false;
    for (unsigned char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-';
        if (!ok) return false;
    }
    return true;
}

// ------------------------------------------------------------------- times

std::string ShortDate(int64_t ms) {
    struct tm t = Utc(ms);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                  t.tm_min);
    return text;
}

// English names, whatever the process's locale says.
std::string MailDate(int64_t ms) {
    struct tm t = Utc(ms);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[t.tm_wday], t.tm_mday,
                  kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string MboxDate(int64_t ms) {
    struct tm t = Utc(ms);
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %04d", kDays[t.tm_wday], kMonths[t.tm_mon], t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
    return text;
}

// ------------------------------------------------------------------ search

std::vector<std::string> SearchWords(const std::string& text, size_t limit) {
    std::vector<std::string> words;
    std::string word;
    auto flush = [&] {
        if (!word.empty() && words.size() < limit) words.push_back(word);
        word.clear();
    };
    for (unsigned char c : text) {
        bool part = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80;
        if (part) word += char(c);
        else flush();
    }
    flush();
    return words;
}
