// A FastCGI client for the tests: what a web server sends to the gateway's
// FastCGI mode, byte by byte, so that a test can also send what no web
// server would (records cut short, garbage, a body that stops half-way).
// Requests and answers are whole byte strings; every wait has a limit.
#ifndef VELMOX_TESTS_FCGI_CLIENT_H
#define VELMOX_TESTS_FCGI_CLIENT_H

#include <string>
#include <utility>
#include <vector>

#include "kit.h"

namespace fcgi {

using Params = std::vector<std::pair<std::string, std::string>>;

enum RecordType { kBeginRequest = 1, kAbortRequest = 2, kEndRequest = 3, kParams = 4, kStdin = 5, kStdout = 6,
                  kStderr = 7 };

// One record (content up to 65535 bytes), request id 1 unless given.
std::string Record(int type, const std::string& content, int id = 1);
// A responder's begin-request record; with `keep`, FCGI_KEEP_CONN: the
// connection stays open for the next request.
std::string BeginRequest(int id = 1, bool keep = false);
// The name-value pairs in as many records as they need, then the empty
// record that ends the stream.
std::string ParamsStream(const Params& params, int id = 1);
// The body in records of at most 65535 bytes, then the empty record.
std::string StdinStream(const std::string& body, int id = 1);
// A whole request: begin, params, body.
std::string Request(const Params& params, const std::string& body = "", bool keep = false);

// Connects to "unix:PATH", a PATH with a '/', or 127.0.0.1:PORT; -1 on
// failure. Sends every byte.
using kit::Connect;
using kit::SendAll;

struct Reply {
    bool ended = false;       // an end-request record arrived
    bool closed = false;      // the connection ended (at once after the end record, or instead of it)
    std::string out;          // the stdout records' bytes
    std::string err;          // the stderr records' bytes
    std::string garbage;      // what could not be read as records
};
// Reads records until the end-request record and the close, or limitMs.
Reply ReadReply(int fd, long long limitMs = 30000);
// Reads `count` replies on a kept connection, each up to its end-request
// record, without waiting for a close; stops early (the last reply `closed`
// or not `ended`) when the connection closes or limitMs passes.
std::vector<Reply> ReadReplies(int fd, int count, long long limitMs = 30000);
// Connect, send, read, close.
Reply Exchange(const std::string& address, const std::string& requestBytes, long long limitMs = 30000);
Reply Exchange(const std::string& address, const Params& params, const std::string& body = "",
               long long limitMs = 30000);

}  // namespace fcgi

#endif
