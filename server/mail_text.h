// Text for the mail pages: stored and requested bytes made safe for HTML and
// SVG, URL paths, idents, folder names, times and search words.
//
// Stored texts are arbitrary bytes; a page shows them as valid UTF-8 with
// every markup character escaped, so that nothing a request carried can
// become markup. None of these functions fails except by allocation.
#ifndef VELMOX_SERVER_MAIL_TEXT_H
#define VELMOX_SERVER_MAIL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Appends text for HTML (or XML) content and quoted attribute values:
// & < > " ' become entities; a byte that does not start a valid UTF-8
// character, and a control character other than tab, line feed and carriage
// return, become U+FFFD. With a limit, stops before the escaped text would
// pass `limit` bytes of the source, at a character boundary, and returns false.
bool AppendHtml(std::string& out, const char* text, size_t length, size_t limit = std::string::npos);
inline bool AppendHtml(std::string& out, const std::string& text, size_t limit = std::string::npos) {
    return AppendHtml(out, text.data(), text.size(), limit);
}
std::string Html(const std::string& text);
// At most `limit` bytes of text, cut at a character boundary, with "…" when cut.
std::string HtmlShort(const std::string& text, size_t limit);

// True when every byte sequence of text is a valid UTF-8 character.
bool IsValidUtf8(const std::string& text);
// Length of the valid UTF-8 character at text[i], or 0 when none starts there
// (overlong forms, surrogates and values above U+10FFFF are not valid).
size_t Utf8Length(const unsigned char* text, size_t length, size_t i);

// Percent-encodes every byte that may not stand in a URL path as it is.
std::string UrlPath(const std::string& text);

// ------------------------------------------------------------------ idents

// An ident as 32 lower-case hexadecimal digits, word by word.
std::string IdentText(const uint32_t (&words)[4]);
// A fresh random ident.
std::string NewIdent();
// True for 32 hexadecimal digits and nothing else.
bool IsIdentText(const std::string& text);

// ----------------------------------------------------------------- folders

// The folder of a request path that names none.
const char kDefaultFolder[] = "inbox";
const size_t kMaxFolderName = 64;
// True for 1 to 64 ASCII letters, digits, '.', '_' or '-'.
bool IsFolderName(const std::string& name);

// ------------------------------------------------------------------- times

// "2026-12-08 14:05" (UTC) of milliseconds since 1970.
std::string ShortDate(int64_t ms);
// "Tue, 08 Dec 2026 14:05:09 +0000", a mail header's date.
std::string MailDate(int64_t ms);
// "Tue Dec  8 14:05:09 2026", the date of an mbox From line.
std::string MboxDate(int64_t ms);

// ------------------------------------------------------------------ search

// The words of a search text: runs of ASCII letters and digits and of bytes
// from 0x80 up; everything else separates them. At most `limit` words.
std::vector<std::string> SearchWords(const std::string& text, size_t limit = 16);

#endif
