// The text of pages: escaping for HTML (and XML) content and quoted
// attribute values, UTF-8 checks, URL paths, idents and dates. The one
// toolkit of the gateway's debug trace, the sample server's mail pages and
// its field inspector: a text that came with a request or from a store
// becomes markup nowhere.
//
// Nothing here fails but by allocation.
#ifndef VELMOX_HTML_TEXT_H
#define VELMOX_HTML_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

// ------------------------------------------------------------------- UTF-8

// Length of the valid UTF-8 character at text[i], or 0 when none starts there
// (overlong forms, surrogates and values above U+10FFFF are not valid).
size_t Utf8Length(const unsigned char* text, size_t length, size_t i);
// True when every byte sequence of text is a valid UTF-8 character.
bool IsValidUtf8(const std::string& text);

// -------------------------------------------------------------- escaping

// What a text shown on a page is, for AppendHtml: what becomes of its bytes
// that are no UTF-8, and what a limit counts.
enum class HtmlFrom {
    // A stored text, shown as valid UTF-8: a byte that starts no valid
    // character becomes U+FFFD. A limit counts bytes of the text.
    Text,
    // A request's bytes, shown as they came: bytes that are no UTF-8 stay,
    // a byte above 127 with the continuation bytes after it counting as one
    // character. A limit counts bytes of the escaped text.
    Bytes,
};

// Appends text for HTML content and quoted attribute values: & < > " ' become
// entities, a control character other than tab, line feed and carriage
// return (and DEL) becomes U+FFFD, the rest as `from` says. With a limit,
// stops before the character that would pass it, never inside one, and
// returns false; true when all of the text was appended.
bool AppendHtml(std::string& out, const char* text, size_t length, size_t limit = std::string::npos,
                HtmlFrom from = HtmlFrom::Text);
inline bool AppendHtml(std::string& out, const std::string& text, size_t limit = std::string::npos,
                       HtmlFrom from = HtmlFrom::Text) {
    return AppendHtml(out, text.data(), text.size(), limit, from);
}
// The whole text escaped, from a store (HtmlFrom::Text).
std::string Html(const std::string& text);
// At most `limit` bytes of text, cut at a character boundary, with "…" when cut.
std::string HtmlShort(const std::string& text, size_t limit);
// The whole text escaped, a request's bytes (HtmlFrom::Bytes).
std::string EscapeHtml(const std::string& text);

// ------------------------------------------------------------- URL paths

// Percent-encodes every byte that may not stand in a URL path as it is; an
// '&' stands as it is unless keepAmpersand is false.
std::string EncodeUrlPath(const std::string& text, bool keepAmpersand = true);
// EncodeUrlPath without the '&': a path segment of a link.
std::string UrlPath(const std::string& text);

// --------------------------------------------------------- idents, bytes

// An ident's four words as 32 lower-case hexadecimal digits, `between`
// between the words.
std::string IdentText(const uint32_t (&words)[4], const char* between = "");
// True for 32 hexadecimal digits and nothing else.
bool IsIdentText(const std::string& text);
// count bytes as lower-case hexadecimal digits, two a byte.
std::string HexText(const char* bytes, size_t count);

// ------------------------------------------------------------------- times

// "2026-12-08 14:05" (UTC) of milliseconds since 1970.
std::string ShortDate(int64_t ms);
// "Tue, 08 Dec 2026 14:05:09 +0000", a mail header's date.
std::string MailDate(int64_t ms);
// "Tue Dec  8 14:05:09 2026", the date of an mbox From line.
std::string MboxDate(int64_t ms);

#endif
