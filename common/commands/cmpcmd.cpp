#include "cmpcmd.h"

#include <cstdio>

#include "sstream.h"
#include "textutil.h"
#include "url.h"

static_assert(sizeof(unsigned int) == sizeof(uint32_t), "%x stores an unsigned int");

// The number at the head is the query number; the identifier follows the '&'.
// Eight digits at most per word, so no conversion can overflow.
uint32_t ScanQueryIdent(const char* query, uint32_t (&ident)[4]) {
    unsigned int words[4] = {ident[0], ident[1], ident[2], ident[3]};
    int converted = std::sscanf(query ? query : "", "%*x&%8x%8x%8x%8x", &words[0], &words[1],
                                &words[2], &words[3]);
    for (int i = 0; i < 4; ++i) ident[i] = words[i];
    return converted == 4 ? 1 : 0;
}

ComposeCmd::ComposeCmd() : Cmd(c_id, 1) {}

ComposeCmd::ComposeCmd(URL& url, CGI& cgi) : Cmd(c_id, 1, cgi) {
    CopyToField(m_server, url.m_server);
    CopyToField(m_path, url.m_path);
    m_queryNumber = url.m_queryNumber;
    m_identValid = ScanQueryIdent(url.m_query, m_ident);
}

ComposeCmd::~ComposeCmd() {}

SimpleStream& ComposeCmd::Write(SimpleStream& s) {
    Cmd::Write(s);
    s << m_server << m_path << m_reservedText << m_queryNumber << m_identValid;
    if (m_identValid) s.Write(reinterpret_cast<const char*>(m_ident), int(sizeof m_ident));
    return s;
}

SimpleStream& ComposeCmd::Read(SimpleStream& s) {
    Cmd::Read(s);
    ReadReceivedString(s, m_server);
    ReadReceivedString(s, m_path);
    ReadReceivedString(s, m_reservedText);
    s >> m_queryNumber >> m_identValid;
    if (m_identValid) ReadReceivedBytes(s, reinterpret_cast<char*>(m_ident), sizeof m_ident);
    return s;
}
