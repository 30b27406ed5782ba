// Small text helpers shared by the request front end and the commands: cut
// copies into fixed fields, number conversions without overflow, and request
// values made safe for a log line.
#ifndef VELMOX_TEXTUTIL_H
#define VELMOX_TEXTUTIL_H

#include <cstddef>
#include <cstdint>
#include <string>

// Copies src into a field of `size` bytes, cut to size - 1 characters, and
// terminates it. A null src leaves the field empty; a null dst or a size of 0
// writes nothing. Never fails.
void CopyToField(char* dst, size_t size, const char* src);
template <size_t N>
void CopyToField(char (&dst)[N], const char* src) { CopyToField(dst, N, src); }

// Converts text as atoi does: optional white space, an optional sign, then
// decimal digits up to the first other character; no digits give 0. A number
// outside the range of int also gives 0, and *fits (when given) is then set
// to false. A null text gives 0. Never fails.
int ParseDecimal(const char* text, bool* fits = nullptr);

// Converts the hexadecimal number at the head of text as the scan "%x" does
// (optional white space, sign and "0x"); a value too large for 32 bits gives
// 0xffffffff. Returns false and leaves *value alone when no number is there.
bool ScanHex32(const char* text, uint32_t* value);

// Converts the decimal number at the head of text as the scan "%d" does and
// stores the position after it in *end; a number outside int counts as 0.
// Returns false, with *end at text, when no number is there.
bool ScanDecimal(const char* text, int32_t* value, const char** end);

// A value from a request as a log line shows it, so that no value can end
// the line or forge another: printable ASCII as it is, a backslash and each
// character of `quoted` with a backslash before it, every other byte
// (control characters, DEL, bytes above 127) as \xNN; cut after `limit`
// characters of the value, with "..." added. A null text gives "". Raises
// only what the string's allocation raises.
std::string LogText(const char* text, size_t limit, const char* quoted = "");

#endif
