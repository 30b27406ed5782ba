/// @file
/// URL: the request path split into command name, server name and the rest
/// of the path, with the query string and the hexadecimal number at its head.
/// The path has the form /command[/server[/path]], "/" or "\" at each place.
#ifndef VELMOX_URL_H
#define VELMOX_URL_H

#include <cstdint>
#include <type_traits>

#include "rootobj.h"

class CGI;

/// The server name that stands for the server task's own server; compared
/// ignoring case and stored as the empty name.
extern const char* const localServerName;

/// Copies the run of src that ends at delim1, delim2 or the end of the string
/// into dst, cut to dstSize - 1 characters, and terminates dst. Returns the
/// position in src where copying stopped (the delimiter, the end, or the first
/// character that did not fit). A null dst or src, or a dstSize below 1,
/// copies nothing and returns src. Never fails.
const char* CopyUptoDelim(char* dst, int dstSize, const char* src, char delim1, char delim2);
/// The documented form: the same for a modifiable src, returning the position
/// in it as a modifiable pointer. A template only so that a null pointer
/// constant as src (nullptr, 0, NULL) still picks the form above instead of
/// being ambiguous between the two.
template <class Char, typename std::enable_if<std::is_same<Char, char>::value, int>::type = 0>
Char* CopyUptoDelim(char* dst, int dstSize, Char* src, char delim1, char delim2) {
    return const_cast<char*>(CopyUptoDelim(dst, dstSize, static_cast<const char*>(src), delim1, delim2));
}

/// The request path of one request, split into its parts.
class URL : public RootObject {
public:
    /// All parts empty, the number 0. Never fail.
    URL();
    ~URL() override;  ///< Never fails.

    /// Fills the members from PATH_INFO and QUERY_STRING of cgi. Raises
    /// InvalidURLExc when the path yields no command name. Over-long parts are
    /// cut to their fields, never rejected.
    void InitWithCGIdata(CGI& cgi);

    /// 1 when a command name is there, else 0. Never fails.
    int IsValid() const { return m_command[0] != 0; }

    char m_command[128];     ///< the command's name: the first part of the path
    char m_server[256];      ///< the server name, the second part; "" for localServerName
    char m_path[256];        ///< the rest of the path
    uint32_t m_queryNumber;  ///< the hexadecimal number at the head of the query string; 0 without one
    char m_query[256];       ///< the query string

private:
    static bool IsSeparator(char c) { return c == '/' || c == '\\'; }
    void ParsePath(const char* path, const char* query);
    void NormaliseServer();
};

#endif
