// Text of the mail's own: fresh idents, folder names and search words. The
// pages' escaping, URL paths, idents and dates are the toolkit's
// (html_text.h). None of these functions fails except by allocation.
#ifndef VELMOX_SERVER_MAIL_TEXT_H
#define VELMOX_SERVER_MAIL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ------------------------------------------------------------------ idents

// A fresh random ident, as IdentText (html_text.h) writes one.
std::string NewIdent();

// ----------------------------------------------------------------- folders

// The folder of a request path that names none.
const char kDefaultFolder[] = "inbox";
const size_t kMaxFolderName = 64;
// True for 1 to 64 ASCII letters, digits, '.', '_' or '-'.
bool IsFolderName(const std::string& name);

// ------------------------------------------------------------------ search

// The words of a search text: runs of ASCII letters and digits and of bytes
// from 0x80 up; everything else separates them. At most `limit` words.
std::vector<std::string> SearchWords(const std::string& text, size_t limit = 16);

#endif
