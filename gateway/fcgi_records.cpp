// The record layer. Compiled without the gateway's directory on the include
// path: the gateway's own fastcgi.h (the FastCGI mode) would hide libfcgi's
// definitions of the protocol, which are the ones included here.
#include "fcgi_records.h"

#include <fastcgi.h>

#include <algorithm>
#include <cstring>

#include "cgi.h"

namespace fcgi {

namespace {

// A record's header, as fastcgi.h lays it out.
void AppendHeader(std::string* out, int type, uint16_t id, size_t length, size_t padding) {
    FCGI_Header h = {FCGI_VERSION_1,
                     (unsigned char)type,
                     (unsigned char)(id >> 8),
                     (unsigned char)(id & 0xff),
                     (unsigned char)(length >> 8),
                     (unsigned char)(length & 0xff),
                     (unsigned char)padding,
                     0};
    out->append(reinterpret_cast<const char*>(&h), sizeof h);
}

size_t PaddingOf(size_t length) { return (8 - length % 8) % 8; }

// A whole record; content of at most FCGI_MAX_LENGTH bytes.
void AppendRecord(std::string* out, int type, uint16_t id, const std::string& content) {
    size_t padding = PaddingOf(content.size());
    AppendHeader(out, type, id, content.size(), padding);
    out->append(content);
    out->append(padding, '\0');
}

// A name-value pair's length: one byte below 128, else four with the high
// bit set. False when the bytes end first.
bool TakeLength(const unsigned char*& p, const unsigned char* end, size_t* length) {
    if (p >= end) return false;
    if (!(*p & 0x80)) {
        *length = *p++;
        return true;
    }
    if (end - p < 4) return false;
    *length = (size_t(p[0] & 0x7f) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | size_t(p[3]);
    p += 4;
    return true;
}

void AppendLength(std::string* out, size_t n) {
    if (n < 128) {
        *out += char(n);
        return;
    }
    *out += char(0x80 | ((n >> 24) & 0x7f));
    *out += char((n >> 16) & 0xff);
    *out += char((n >> 8) & 0xff);
    *out += char(n & 0xff);
}

// The answer to FCGI_GET_VALUES: the values asked for that a responder
// knows; the rest are left out, as the protocol says.
std::string ValuesResult(const std::string& asked, unsigned maxConnections) {
    std::string content;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(asked.data());
    const unsigned char* end = p + asked.size();
    size_t nameLength = 0, valueLength = 0;
    while (TakeLength(p, end, &nameLength) && TakeLength(p, end, &valueLength) &&
           size_t(end - p) >= nameLength && size_t(end - p) - nameLength >= valueLength) {
        std::string name(reinterpret_cast<const char*>(p), nameLength);
        p += nameLength + valueLength;
        std::string value;
        if (name == FCGI_MAX_CONNS || name == FCGI_MAX_REQS) value = std::to_string(maxConnections);
        else if (name == FCGI_MPXS_CONNS) value = "0";
        else continue;
        AppendLength(&content, name.size());
        AppendLength(&content, value.size());
        content += name;
        content += value;
    }
    return content;
}

}  // namespace

const char* Request::Param(const char* name) const {
    if (!m_paramsWhole) return nullptr;
    size_t length = std::strlen(name);
    for (char* const* p = m_env.data(); *p; ++p)
        if (std::strncmp(*p, name, length) == 0 && (*p)[length] == '=') return *p + length + 1;
    return nullptr;
}

Reader::Reader(unsigned maxConnections) : m_maxConnections(maxConnections) {}

void Reader::Break(const std::string& cause) {
    m_status = kBroken;
    m_cause = cause;
}

size_t Reader::Feed(const char* data, size_t size, std::string* replies) {
    if (m_status != kIdle && m_status != kReading) return 0;
    size_t used = 0;
    while (used < size && (m_status == kIdle || m_status == kReading)) {
        if (m_headerGot < sizeof m_header) {
            size_t n = std::min(sizeof m_header - m_headerGot, size - used);
            std::memcpy(m_header + m_headerGot, data + used, n);
            m_headerGot += n;
            used += n;
            if (m_headerGot == sizeof m_header && !Header(m_header, replies)) break;
        } else if (m_contentLeft > 0) {
            size_t n = std::min(m_contentLeft, size - used);
            m_contentLeft -= n;
            bool ok = Content(data + used, n, replies);
            used += n;
            if (!ok) break;
            if (m_contentLeft == 0 && m_paddingLeft == 0 && !EndOfRecord(replies)) break;
        } else {
            size_t n = std::min(m_paddingLeft, size - used);
            m_paddingLeft -= n;
            used += n;
            if (m_paddingLeft == 0 && !EndOfRecord(replies)) break;
        }
    }
    m_pending += used;
    return used;
}

bool Reader::Header(const unsigned char* h, std::string* replies) {
    const FCGI_Header* header = reinterpret_cast<const FCGI_Header*>(h);
    if (header->version != FCGI_VERSION_1) {
        Break("not FastCGI (a record of version " + std::to_string(header->version) + ")");
        return false;
    }
    m_type = header->type;
    m_recordId = uint16_t((header->requestIdB1 << 8) | header->requestIdB0);
    m_contentLength = m_contentLeft = (size_t(header->contentLengthB1) << 8) | header->contentLengthB0;
    m_paddingLeft = header->paddingLength;
    m_small.clear();
    if (m_type == FCGI_BEGIN_REQUEST && m_contentLength != sizeof(FCGI_BeginRequestBody)) {
        Break("a begin-request record of " + std::to_string(m_contentLength) + " bytes");
        return false;
    }
    if (m_contentLeft == 0 && m_paddingLeft == 0) return EndOfRecord(replies);
    return true;
}

bool Reader::Content(const char* data, size_t size, std::string*) {
    bool current = m_status == kReading && m_recordId == m_request.m_id;
    if (m_type == FCGI_BEGIN_REQUEST || m_recordId == FCGI_NULL_REQUEST_ID) {
        m_small.append(data, size);  // at most one record's content
    } else if (m_type == FCGI_PARAMS && current && !m_request.m_paramsWhole && !m_request.m_paramsTooLong) {
        if (m_request.m_raw.size() + size > kMaxParamsBytes) {
            m_request.m_paramsTooLong = true;
            std::string().swap(m_request.m_raw);
        } else {
            m_request.m_raw.append(data, size);
        }
    } else if (m_type == FCGI_STDIN && current && m_request.m_paramsWhole && m_request.m_announced > 0) {
        size_t room = size_t(m_request.m_announced) - m_request.m_body.size();
        m_request.m_body.append(data, std::min(room, size));
    }
    // Anything else (another request's records, a body beyond its length or
    // before the parameters, FCGI_DATA) passes unread.
    return true;
}

bool Reader::EndOfRecord(std::string* replies) {
    m_headerGot = 0;
    bool ended = m_contentLength == 0;
    if (m_type == FCGI_BEGIN_REQUEST) return Begin(replies);
    if (m_recordId == FCGI_NULL_REQUEST_ID) {
        if (m_type == FCGI_GET_VALUES) {
            AppendRecord(replies, FCGI_GET_VALUES_RESULT, 0, ValuesResult(m_small, m_maxConnections));
        } else {
            FCGI_UnknownTypeBody body = {};
            body.type = (unsigned char)m_type;
            AppendRecord(replies, FCGI_UNKNOWN_TYPE, 0, std::string(reinterpret_cast<const char*>(&body), sizeof body));
        }
        return true;
    }
    if (m_skipping && m_recordId == m_skipId) {
        // What is left of a request already taken: its parameters' end, its
        // body, the body's end.
        if (ended && m_type == FCGI_PARAMS) m_skipParams = false;
        if (ended && m_type == FCGI_STDIN && !m_skipParams) m_skipping = false;
        return true;
    }
    if (m_status != kReading || m_recordId != m_request.m_id) return true;
    if (m_type == FCGI_ABORT_REQUEST) {
        AppendEndRequest(replies, m_request.m_id, FCGI_REQUEST_COMPLETE);
        m_closeAfterReplies = !m_request.m_keep;
        m_cause = "request dropped: the web server aborted it";
        m_request = Request();
        m_status = kDropped;
        return false;
    }
    if (m_type == FCGI_PARAMS) {
        if (ended) m_request.m_paramsEnded = true;
        if (m_request.m_paramsTooLong) {
            m_status = kReady;
            return false;
        }
        if (ended && !ParamsEnded()) return false;
    } else if (m_type == FCGI_STDIN && m_request.m_paramsWhole) {
        if (ended) m_request.m_bodyEnded = true;
        BodyMaybeWhole();
    }
    return m_status == kReading;
}

bool Reader::Begin(std::string* replies) {
    uint16_t id = m_recordId;
    const FCGI_BeginRequestBody* body = reinterpret_cast<const FCGI_BeginRequestBody*>(m_small.data());
    int role = (body->roleB1 << 8) | body->roleB0;
    bool keep = (body->flags & FCGI_KEEP_CONN) != 0;
    if (id == FCGI_NULL_REQUEST_ID) {
        Break("a begin-request record of request id 0");
        return false;
    }
    if (m_status == kReading) {
        if (id == m_request.m_id) {
            Break("request " + std::to_string(id) + " begun twice");
            return false;
        }
        // One request at a time on a connection (FCGI_MPXS_CONNS is 0).
        AppendEndRequest(replies, id, FCGI_CANT_MPX_CONN);
        return true;
    }
    m_skipping = false;  // a web server that left the end of the last body out
    if (role != FCGI_RESPONDER) {
        AppendEndRequest(replies, id, FCGI_UNKNOWN_ROLE);
        m_closeAfterReplies = !keep;
        m_cause = "request refused: role " + std::to_string(role) + " (the gateway is a responder)";
        m_status = kDropped;
        return false;
    }
    m_request = Request();
    m_request.m_id = id;
    m_request.m_keep = keep;
    m_status = kReading;
    return true;
}

// The name-value pairs as "NAME=value" strings. Each pair takes at least two
// bytes of lengths, which its '=' and NUL replace: the strings fit the
// pairs' own size.
bool Reader::ParamsEnded() {
    Request& r = m_request;
    r.m_block.reset(new char[r.m_raw.size() + 1]);
    char* out = r.m_block.get();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(r.m_raw.data());
    const unsigned char* end = p + r.m_raw.size();
    while (p < end) {
        size_t nameLength = 0, valueLength = 0;
        if (!TakeLength(p, end, &nameLength) || !TakeLength(p, end, &valueLength) ||
            size_t(end - p) < nameLength || size_t(end - p) - nameLength < valueLength) {
            Break("parameters that end inside a name-value pair");
            return false;
        }
        r.m_env.push_back(out);
        std::memcpy(out, p, nameLength);
        out[nameLength] = '=';
        std::memcpy(out + nameLength + 1, p + nameLength, valueLength);
        out[nameLength + 1 + valueLength] = 0;
        out += nameLength + valueLength + 2;
        p += nameLength + valueLength;
    }
    r.m_env.push_back(nullptr);
    std::string().swap(r.m_raw);
    r.m_paramsWhole = true;
    r.m_announced = CGI::AnnouncedBody(r.Param("CONTENT_LENGTH"));
    BodyMaybeWhole();
    return m_status == kReading;
}

// Whole once the body announced has arrived, or ended short; at once when
// none is announced or it is too long to be read at all.
void Reader::BodyMaybeWhole() {
    const Request& r = m_request;
    if (r.m_announced <= 0 || r.m_bodyEnded || r.m_body.size() == size_t(r.m_announced)) m_status = kReady;
}

Request Reader::Take() {
    Request taken = std::move(m_request);
    m_request = Request();
    m_skipping = !taken.m_bodyEnded;
    m_skipId = taken.m_id;
    m_skipParams = !taken.m_paramsEnded;
    m_status = kIdle;
    m_pending = 0;
    return taken;
}

void Reader::Resume() {
    if (m_status != kDropped) return;
    m_status = kIdle;
    m_cause.clear();
    m_closeAfterReplies = false;
    m_pending = 0;
}

void AnswerWriter::Write(const char* data, size_t size) {
    while (size > 0) {
        if (m_open == std::string::npos) {
            m_open = m_out->size();
            m_out->append(sizeof(FCGI_Header), '\0');
        }
        size_t inRecord = m_out->size() - m_open - sizeof(FCGI_Header);
        size_t n = std::min<size_t>(FCGI_MAX_LENGTH - inRecord, size);
        m_out->append(data, n);
        data += n;
        size -= n;
        if (inRecord + n == FCGI_MAX_LENGTH) Close();
    }
}

void AnswerWriter::Close() {
    if (m_open == std::string::npos) return;
    size_t length = m_out->size() - m_open - sizeof(FCGI_Header);
    std::string header;
    AppendHeader(&header, FCGI_STDOUT, m_id, length, PaddingOf(length));
    m_out->replace(m_open, header.size(), header);
    m_out->append(PaddingOf(length), '\0');
    m_open = std::string::npos;
}

void AnswerWriter::End() {
    Close();
    AppendHeader(m_out, FCGI_STDOUT, m_id, 0, 0);
    AppendEndRequest(m_out, m_id, FCGI_REQUEST_COMPLETE);
}

void AppendEndRequest(std::string* out, uint16_t id, unsigned char protocolStatus) {
    FCGI_EndRequestBody body = {};
    body.protocolStatus = protocolStatus;
    AppendRecord(out, FCGI_END_REQUEST, id, std::string(reinterpret_cast<const char*>(&body), sizeof body));
}

}  // namespace fcgi
