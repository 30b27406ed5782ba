#include "runcmd.h"

#include "sstream.h"
#include "textutil.h"
#include "url.h"

RunAgentCmd::RunAgentCmd() : Cmd(c_id, 1) {}

RunAgentCmd::RunAgentCmd(URL& url, CGI& cgi) : Cmd(c_id, 1, cgi) {
    CopyToField(m_server, url.m_server);
    CopyToField(m_path, url.m_path);
    CopyToField(m_query, url.m_query);
}

RunAgentCmd::~RunAgentCmd() {}

SimpleStream& RunAgentCmd::Write(SimpleStream& s) {
    Cmd::Write(s);
    s << m_server << m_path << m_query << m_reserved;
    return s;
}

SimpleStream& RunAgentCmd::Read(SimpleStream& s) {
    Cmd::Read(s);
    ReadReceivedString(s, m_server);
    ReadReceivedString(s, m_path);
    ReadReceivedString(s, m_query);
    s >> m_reserved;
    return s;
}
