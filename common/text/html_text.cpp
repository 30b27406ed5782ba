#include "html_text.h"

#include <cstdio>
#include <cstring>
#include <ctime>

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

bool IsControl(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F; }

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// What a byte of a character becomes: an entity, U+FFFD, or null for itself.
const char* PieceFor(unsigned char c) {
    if (const char* entity = EntityFor(c)) return entity;
    return IsControl(c) ? kReplacement : nullptr;
}

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct tm Utc(int64_t ms) {
    time_t seconds = time_t(ms / 1000);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    return parts;
}

bool KeptInUrlPath(unsigned char c, bool keepAmpersand) {
    if (c == '&') return keepAmpersand;
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("-._~!$'()*+,;=:@/", c) != nullptr;
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

bool IsValidUtf8(const std::string& text) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t n = Utf8Length(bytes, text.size(), i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool AppendHtml(std::string& out, const char* text, size_t length, size_t limit, HtmlFrom from) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    const size_t start = out.size();
    for (size_t i = 0; i < length;) {
        // One character: bytes [i, i + n), or a byte that is no UTF-8 (bad).
        size_t n;
        bool bad = false;
        if (from == HtmlFrom::Bytes) {
            n = 1;
            while (i + n < length && IsContinuation(bytes[i + n])) ++n;
        } else {
            n = Utf8Length(bytes, length, i);
            bad = n == 0;
            if (bad) n = 1;
        }
        size_t escaped = 0;
        if (bad) escaped = sizeof kReplacement - 1;
        else
            for (size_t k = i; k < i + n; ++k) {
                const char* piece = PieceFor(bytes[k]);
                escaped += piece ? std::strlen(piece) : 1;
            }
        size_t used = from == HtmlFrom::Text ? i : out.size() - start;
        size_t cost = from == HtmlFrom::Text ? n : escaped;
        if (cost > limit - used) return false;
        if (bad) {
            out += kReplacement;
        } else {
            for (size_t k = i; k < i + n; ++k) {
                const char* piece = PieceFor(bytes[k]);
                if (piece) out += piece;
                else out += text[k];
            }
        }
        i += n;
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

std::string EscapeHtml(const std::string& text) {
    std::string out;
    AppendHtml(out, text, std::string::npos, HtmlFrom::Bytes);
    return out;
}

std::string EncodeUrlPath(const std::string& text, bool keepAmpersand) {
    std::string encoded;
    for (unsigned char c : text) {
        if (c && KeptInUrlPath(c, keepAmpersand)) {
            encoded += char(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", unsigned(c));
            encoded += escape;
        }
    }
    return encoded;
}

std::string UrlPath(const std::string& text) { return EncodeUrlPath(text, false); }

std::string IdentText(const uint32_t (&words)[4], const char* between) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char word[9];
        std::snprintf(word, sizeof word, "%08x", unsigned(words[i]));
        if (i > 0) text += between;
        text += word;
    }
    return text;
}

bool IsIdentText(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text)
        if (!std::strchr("0123456789abcdefABCDEF", c) || c == 0) return false;
    return true;
}

std::string HexText(const char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        unsigned char c = (unsigned char)bytes[i];
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

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
