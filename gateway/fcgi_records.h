// The FastCGI record layer of the gateway's responder, read without ever
// waiting: a connection's bytes go in as they arrive, in pieces of any size,
// and whole requests come out; the records of the answers go back. libfcgi
// reads a request with blocking reads, inside the call that also accepts the
// next connection, so one silent peer would hold a worker; its definitions
// of the protocol (fastcgi.h) are the ones this layer reads and writes.
//
// What it serves: responder requests, one at a time per connection (it
// answers FCGI_MPXS_CONNS 0), each request's parameters and then its body up
// to the length CONTENT_LENGTH announces. It answers by itself what it does
// not serve: FCGI_GET_VALUES, management records of unknown types, a second
// request while one is in progress (FCGI_CANT_MPX_CONN), a role other than
// the responder's (FCGI_UNKNOWN_ROLE), and a request the web server aborts.
//
// Bounds: a request holds at most kMaxParamsBytes of parameters (a longer
// one is whole at once, marked too long, and the rest of it is skipped), and
// of its body at most the announced length, which is never more than
// kLargestBody (cgi.h): a request that announces more is whole as soon as its
// parameters are, and its body is skipped unread. Other records take no
// memory beyond one record's content (at most 65535 bytes) while they pass.
//
// Error convention: bytes that break the protocol make the reader Broken,
// with the cause as text; nothing raises but a refused allocation.
#ifndef VELMOX_FCGI_RECORDS_H
#define VELMOX_FCGI_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fcgi {

// The most bytes of name-value pairs a request may send: more than any web
// server's limit on request headers (nginx's is 32 KB, Apache httpd's about
// 800 KB).
const size_t kMaxParamsBytes = size_t(2) << 20;

// One request as the reader assembles it.
class Request {
public:
    Request() = default;
    Request(Request&&) = default;
    Request& operator=(Request&&) = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    uint16_t id() const { return m_id; }
    // FCGI_KEEP_CONN: the connection stays open after the answer.
    bool keep() const { return m_keep; }
    // The parameters, whole: "NAME=value" strings in the order they came,
    // closed by a null pointer (a NUL inside a name or value ends it). Null
    // until the parameters' stream has ended, or when they were too long.
    char* const* params() const { return m_paramsWhole ? m_env.data() : nullptr; }
    // The first value of a parameter; null when absent or not yet whole.
    const char* Param(const char* name) const;
    // The parameters passed kMaxParamsBytes: the request is refused (413).
    bool paramsTooLong() const { return m_paramsTooLong; }
    // The body's length as CONTENT_LENGTH announces it (CGI::AnnouncedBody:
    // -1 too long, 0 none); 0 until the parameters are whole.
    int announced() const { return m_announced; }
    // The body as it arrived, at most the announced length.
    const std::string& body() const { return m_body; }
    // The web server ended the body's stream (the empty FCGI_STDIN record).
    bool bodyEnded() const { return m_bodyEnded; }

private:
    friend class Reader;
    uint16_t m_id = 0;
    bool m_keep = false;
    bool m_paramsWhole = false;
    bool m_paramsEnded = false;        // the parameters' stream ended (whole or too long)
    bool m_paramsTooLong = false;
    bool m_bodyEnded = false;
    int m_announced = 0;
    std::string m_raw;                 // the pairs as they come
    std::unique_ptr<char[]> m_block;   // the pairs as "NAME=value" strings
    std::vector<char*> m_env;          // pointers into m_block, then null
    std::string m_body;
};

class Reader {
public:
    enum Status {
        kIdle,     // no request in progress (nothing of one yet, or all of the last one read)
        kReading,  // a request begun, not whole yet
        kReady,    // a request whole: Take it
        kDropped,  // the reader answered a request itself (aborted, or a role
                   // it does not serve): replies hold the answer; see cause()
                   // and closeAfterReplies(); reading goes on
        kBroken,   // the bytes break the protocol: close the connection
    };

    // maxConnections: what FCGI_GET_VALUES is told (FCGI_MAX_CONNS and
    // FCGI_MAX_REQS).
    explicit Reader(unsigned maxConnections);
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Reads from `data` up to `size` bytes and returns how many it took. It
    // stops right after the record that makes a request whole or dropped
    // (status kReady or kDropped), so that bytes sent after it wait until
    // it is taken; Broken takes nothing more. Records it answers itself
    // append their answers to *replies.
    size_t Feed(const char* data, size_t size, std::string* replies);
    Status status() const { return m_status; }

    // The whole request (status kReady); the reader then skips what is left
    // of it (the rest of a body longer than announced or refused, its end
    // record) until its body's stream ends or another request begins, and
    // is kIdle, or kReading again when the next request has begun.
    Request Take();
    // After kDropped: reading goes on (kIdle). Never fails.
    void Resume();

    // The request in progress, for the log (status kReading).
    const Request& current() const { return m_request; }
    // Bytes that arrived since the last request was taken or dropped, or
    // since the start: 0 for a peer that has sent nothing (kIdle).
    size_t pendingBytes() const { return m_pending; }
    // Reading what is left of a request already taken.
    bool skipping() const { return m_skipping; }
    // Something has begun and not ended: a request, the rest of a taken
    // one, or a record. False between requests.
    bool InProgress() const { return m_status == kReading || m_skipping || m_headerGot > 0; }
    // Why the reader is kBroken or kDropped.
    const std::string& cause() const { return m_cause; }
    // A dropped request asked for its connection to end after the answer.
    bool closeAfterReplies() const { return m_closeAfterReplies; }

private:
    bool Header(const unsigned char* h, std::string* replies);
    bool Content(const char* data, size_t size, std::string* replies);
    bool EndOfRecord(std::string* replies);
    bool Begin(std::string* replies);
    bool ParamsEnded();
    void BodyMaybeWhole();
    void Break(const std::string& cause);

    unsigned m_maxConnections;
    Status m_status = kIdle;
    Request m_request;
    bool m_skipping = false;      // reading what is left of a taken request
    uint16_t m_skipId = 0;
    bool m_skipParams = false;    // its parameters had not ended yet
    size_t m_pending = 0;
    std::string m_cause;
    bool m_closeAfterReplies = false;
    // The record being read.
    unsigned char m_header[8];
    size_t m_headerGot = 0;
    int m_type = 0;
    uint16_t m_recordId = 0;
    size_t m_contentLeft = 0;
    size_t m_contentLength = 0;
    size_t m_paddingLeft = 0;
    std::string m_small;          // the content of a begin-request or management record
};

// The records of one answer, appended to `out` as its bytes come: FCGI_STDOUT
// records of up to 65535 bytes each, then the stream's end and the
// end-request record. One copy of the bytes; never fails but for a refused
// allocation.
class AnswerWriter {
public:
    AnswerWriter(std::string* out, uint16_t id) : m_out(out), m_id(id) {}
    AnswerWriter(const AnswerWriter&) = delete;
    AnswerWriter& operator=(const AnswerWriter&) = delete;
    void Write(const char* data, size_t size);
    // Ends the stream and the request (FCGI_REQUEST_COMPLETE, application
    // status 0). Nothing may be written after it.
    void End();

private:
    void Close();
    std::string* m_out;
    uint16_t m_id;
    size_t m_open = std::string::npos;  // where the open record's header is
};

// An end-request record with the given protocol status
// (FCGI_REQUEST_COMPLETE, FCGI_CANT_MPX_CONN, FCGI_UNKNOWN_ROLE).
void AppendEndRequest(std::string* out, uint16_t id, unsigned char protocolStatus);

}  // namespace fcgi

#endif
