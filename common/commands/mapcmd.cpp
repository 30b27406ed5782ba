#include "mapcmd.h"

#include "sstream.h"
#include "textutil.h"
#include "url.h"

ImageMapCmd::ImageMapCmd() : Cmd(c_id, 1) {}

// The click arrives as "x,y"; a coordinate the scan does not reach stays 0.
ImageMapCmd::ImageMapCmd(URL& url, CGI& cgi) : Cmd(c_id, 1, cgi) {
    CopyToField(m_server, url.m_server);
    CopyToField(m_path, url.m_path);
    const char* rest = url.m_query;
    if (!ScanDecimal(rest, &m_x, &rest) || *rest != ',') return;
    ScanDecimal(rest + 1, &m_y, &rest);
}

ImageMapCmd::~ImageMapCmd() {}

SimpleStream& ImageMapCmd::Write(SimpleStream& s) {
    Cmd::Write(s);
    s << m_server << m_path << uint32_t(m_x) << uint32_t(m_y);
    return s;
}

SimpleStream& ImageMapCmd::Read(SimpleStream& s) {
    Cmd::Read(s);
    ReadReceivedString(s, m_server);
    ReadReceivedString(s, m_path);
    uint32_t x = 0, y = 0;
    s >> x >> y;
    m_x = int32_t(x);
    m_y = int32_t(y);
    return s;
}
