#include "url.h"

#include <strings.h>

#include "cgi.h"
#include "except.h"
#include "textutil.h"

const char* const localServerName = "Local";

const char* CopyUptoDelim(char* dst, int dstSize, const char* src, char delim1, char delim2) {
    if (!dst || !src || dstSize < 1) return src;
    int copied = 0;
    while (copied < dstSize - 1 && *src && *src != delim1 && *src != delim2) dst[copied++] = *src++;
    dst[copied] = 0;
    return src;
}

URL::URL() : m_command(), m_server(), m_path(), m_queryNumber(0), m_query() {}

URL::~URL() {}

void URL::InitWithCGIdata(CGI& cgi) {
    ParsePath(cgi.Value(CGI::PathInfo), cgi.Value(CGI::QueryString));
    if (!IsValid()) RAISE(InvalidURLExc);
}

// Each later part is taken only when a separator follows the earlier one; a
// part cut to its field is not followed by a separator, so parsing ends there.
void URL::ParsePath(const char* path, const char* query) {
    if (!path || !IsSeparator(path[0])) return;
    const char* rest = CopyUptoDelim(m_command, sizeof m_command, path + 1, '/', '\\');
    if (!IsSeparator(*rest)) return;
    rest = CopyUptoDelim(m_server, sizeof m_server, rest + 1, '/', '\\');
    NormaliseServer();
    if (!IsSeparator(*rest)) return;
    CopyToField(m_path, rest + 1);
    if (!query) return;
    CopyToField(m_query, query);
    ScanHex32(m_query, &m_queryNumber);
}

// The local server is the empty name; elsewhere '+' stands for a blank.
void URL::NormaliseServer() {
    if (strcasecmp(m_server, localServerName) == 0) {
        m_server[0] = 0;
        return;
    }
    for (char* p = m_server; *p; ++p)
        if (*p == '+') *p = ' ';
}
