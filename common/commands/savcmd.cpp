#include "savcmd.h"

#include <cstring>

#include "cgi.h"
#include "cmpcmd.h"
#include "except.h"
#include "root.h"
#include "sstream.h"
#include "textutil.h"
#include "url.h"

namespace {

// A body of `length` bytes, followed by the form list's zero guard.
char* NewBody(size_t length) {
    char* body = RootNewChars(length + kFormListGuard);
    std::memset(body + length, 0, kFormListGuard);
    return body;
}

}  // namespace

SaveCmd::SaveCmd() : Cmd(c_id, 1) {}

// The body is the command's own, as the command outlives the request
// record: the record's decoded list itself when its owner hands it over
// (its zero guard comes with it), else a copy.
SaveCmd::SaveCmd(URL& url, CGI& cgi) : Cmd(c_id, 1, cgi) {
    CopyToField(m_server, url.m_server);
    CopyToField(m_path, url.m_path);
    m_queryNumber = url.m_queryNumber;
    m_identValid = ScanQueryIdent(url.m_query, m_ident);
    if (cgi.m_contentsLen > 0 && cgi.m_contents) {
        uint32_t length = uint32_t(cgi.m_contentsLen);
        m_body = cgi.TakeContents();
        if (!m_body) {
            m_body = NewBody(length);
            std::memcpy(m_body, cgi.m_contents, length);
        }
        m_bodyLen = length;
    }
}

SaveCmd::~SaveCmd() { RootFree(m_body); }

SimpleStream& SaveCmd::Write(SimpleStream& s) {
    Cmd::Write(s);
    uint32_t bodyLen = m_body ? m_bodyLen : 0;
    s << m_server << m_path << m_reservedText << m_queryNumber << bodyLen << m_identValid;
    if (bodyLen > 0) s.Write(m_body, int(bodyLen));
    if (m_identValid) s.Write(reinterpret_cast<const char*>(m_ident), int(sizeof m_ident));
    return s;
}

SimpleStream& SaveCmd::Read(SimpleStream& s) {
    Cmd::Read(s);
    ReadReceivedString(s, m_server);
    ReadReceivedString(s, m_path);
    ReadReceivedString(s, m_reservedText);
    uint32_t bodyLen = 0;
    s >> m_queryNumber >> bodyLen >> m_identValid;
    ReadBody(s, bodyLen);
    if (m_identValid) ReadReceivedBytes(s, reinterpret_cast<char*>(m_ident), sizeof m_ident);
    return s;
}

// The length is checked against the data before anything is allocated, and
// the body and its length always change together.
void SaveCmd::ReadBody(SimpleStream& s, uint32_t length) {
    if (length > s.Remaining()) RAISE(CorruptDataExc);
    char* body = length > 0 ? NewBody(length) : nullptr;
    try {
        ReadReceivedBytes(s, body, length);
    } catch (...) {
        RootFree(body);
        throw;
    }
    RootFree(m_body);
    m_body = body;
    m_bodyLen = length;
}
