// Fuzz target: the FastCGI front, a connection's bytes in, as the gateway's
// record layer reads them (fcgi::Reader), through to the request record
// (CGI::InitFromParams), and the records of an answer (fcgi::AnswerWriter).
//
// Input: the bytes a peer sends on one connection. The first byte, when
// there is one, chooses how they arrive: in one piece, or cut into pieces of
// 1 to 16 bytes whose lengths the following bytes give; and whether the
// answer written back is the input as it is or repeated past 65535 bytes.
//
// Properties:
//  - what the reader makes of the bytes does not depend on how they arrive:
//    the same requests (id, keep flag, parameters, body), the same dropped
//    requests, the same replies byte for byte, and the same end (broken or
//    not);
//  - Feed never takes more than it is given, and takes everything unless a
//    request became whole or dropped, or the bytes broke the protocol;
//  - a whole request has its parameters (as "NAME=value" strings, which a
//    NUL in a name or value ends early), or none when they were too long;
//    its body is at most the announced length,
//    which is at most kLargestBody, and empty when none is announced;
//  - the request record made from it (InitFromParams) refuses the body
//    with OutOfRangeExc exactly when it is announced too long, else holds
//    the body that arrived and values that point into the parameters;
//  - the reader's own replies are whole records of version 1: end-request,
//    values-result or unknown-type records;
//  - an answer written through AnswerWriter in pieces reads back as the same
//    bytes in stdout records of at most 65535 bytes, then the end of the
//    stream and an end-request record.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cgi.h"
#include "except.h"
#include "fcgi_records.h"
#include "fuzz_util.h"

namespace {

const unsigned kMaxConnections = 64;

// A record read back from bytes: type, id, content; false at the end or on
// bytes that are no whole record.
bool NextRecord(const std::string& bytes, size_t* at, int* type, int* id, std::string* content) {
    if (bytes.size() - *at < 8) return false;
    const unsigned char* h = reinterpret_cast<const unsigned char*>(bytes.data() + *at);
    size_t length = (size_t(h[4]) << 8) | h[5], padding = h[6];
    if (h[0] != 1 || bytes.size() - *at - 8 < length + padding) return false;
    *type = h[1];
    *id = (h[2] << 8) | h[3];
    *content = bytes.substr(*at + 8, length);
    *at += 8 + length + padding;
    return true;
}

void CheckReplies(const std::string& replies) {
    size_t at = 0;
    int type = 0, id = 0;
    std::string content;
    while (NextRecord(replies, &at, &type, &id, &content)) {
        FUZZ_CHECK(type == 3 || type == 10 || type == 11);  // end-request, values-result, unknown-type
        if (type == 3 || type == 11) FUZZ_CHECK(content.size() == 8);
        if (type == 10 || type == 11) FUZZ_CHECK(id == 0);
    }
    FUZZ_CHECK(at == replies.size());
}

struct BodySource {
    const std::string& body;
    size_t at;
};

size_t ReadBody(void* source, char* buffer, size_t length) {
    BodySource& from = *static_cast<BodySource*>(source);
    size_t n = std::min(length, from.body.size() - from.at);
    std::memcpy(buffer, from.body.data() + from.at, n);
    from.at += n;
    return n;
}

// A whole request's properties, and the record made from it.
std::string CheckRequest(const fcgi::Request& request) {
    std::string seen = "request " + std::to_string(request.id()) + (request.keep() ? " kept\n" : "\n");
    FUZZ_CHECK(request.announced() <= kLargestBody);
    if (request.paramsTooLong()) {
        FUZZ_CHECK(request.params() == nullptr && request.body().empty());
        return seen + "too long\n";
    }
    FUZZ_CHECK(request.params() != nullptr);
    for (char* const* p = request.params(); *p; ++p) seen += std::string(*p) + "\n";
    if (request.announced() > 0) FUZZ_CHECK(request.body().size() <= size_t(request.announced()));
    else FUZZ_CHECK(request.body().empty());
    seen += "body " + std::to_string(request.announced()) + " " + request.body() + "\n";

    CGI cgi;
    BodySource source = {request.body(), 0};
    bool refused = false;
    try {
        FUZZ_CHECK(cgi.InitFromParams(request.params(), ReadBody, &source) == 1);
    } catch (const OutOfRangeExc&) {
        refused = true;
    } catch (const Exception&) {
        return seen;  // a refused allocation
    }
    FUZZ_CHECK(refused == (request.announced() < 0));
    for (const char* value : cgi.m_cgiEnvVarValue) {
        FUZZ_CHECK(value != nullptr);
        bool inParams = false;
        for (char* const* p = request.params(); *p && !inParams; ++p)
            inParams = value > *p && value <= *p + std::strlen(*p);
        FUZZ_CHECK(inParams || *value == 0);
    }
    if (refused || request.announced() == 0) {
        FUZZ_CHECK(cgi.m_stdin == nullptr);
    } else {
        FUZZ_CHECK(cgi.m_stdinLen == int(request.body().size()) + 1);
        FUZZ_CHECK(std::memcmp(cgi.m_stdin, request.body().data(), request.body().size()) == 0);
    }
    return seen;
}

// Everything the reader makes of the bytes, fed in the pieces given.
std::string ReadConnection(const std::string& bytes, const std::vector<size_t>& pieces, std::string* replies) {
    fcgi::Reader reader(kMaxConnections);
    std::string seen, pending;
    size_t at = 0, piece = 0;
    while (at < bytes.size() || !pending.empty()) {
        if (pending.empty()) {
            size_t n = pieces.empty() ? bytes.size() - at : std::min(pieces[piece++ % pieces.size()], bytes.size() - at);
            pending = bytes.substr(at, n);
            at += n;
        }
        size_t used = reader.Feed(pending.data(), pending.size(), replies);
        FUZZ_CHECK(used <= pending.size());
        pending.erase(0, used);
        switch (reader.status()) {
            case fcgi::Reader::kReady: seen += CheckRequest(reader.Take()); break;
            case fcgi::Reader::kDropped:
                seen += "dropped: " + reader.cause() + (reader.closeAfterReplies() ? " (close)\n" : "\n");
                reader.Resume();
                break;
            case fcgi::Reader::kBroken: return seen + "broken: " + reader.cause() + "\n";
            default: FUZZ_CHECK(pending.empty());
        }
    }
    return seen + (reader.InProgress() ? "cut\n" : "end\n");
}

// Writes `answer` in pieces and reads the records back.
void CheckAnswer(const std::string& answer, const std::vector<size_t>& pieces) {
    std::string out;
    {
        fcgi::AnswerWriter writer(&out, 7);
        size_t at = 0, piece = 0;
        while (at < answer.size()) {
            size_t n = pieces.empty() ? answer.size() : std::min(pieces[piece++ % pieces.size()] * 4099, answer.size() - at);
            writer.Write(answer.data() + at, n);
            at += n;
        }
        writer.End();
    }
    size_t at = 0;
    int type = 0, id = 0;
    std::string content, back;
    bool streamEnded = false, requestEnded = false;
    while (NextRecord(out, &at, &type, &id, &content)) {
        FUZZ_CHECK(id == 7 && !requestEnded);
        if (type == 6 && !content.empty()) {
            FUZZ_CHECK(!streamEnded);
            back += content;
        } else if (type == 6) {
            streamEnded = true;
        } else {
            FUZZ_CHECK(type == 3 && streamEnded && content.size() == 8);
            requestEnded = true;
        }
    }
    FUZZ_CHECK(at == out.size() && requestEnded && back == answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ExactBytes input(data, size);
    std::string bytes(input.data(), input.size());
    std::vector<size_t> pieces;
    if (!bytes.empty() && (bytes[0] & 1)) {
        for (size_t i = 1; i < bytes.size() && i < 64; ++i) pieces.push_back(1 + (unsigned char)bytes[i] % 16);
    }
    std::string wholeReplies, pieceReplies;
    std::string whole = ReadConnection(bytes, {}, &wholeReplies);
    std::string cut = ReadConnection(bytes, pieces, &pieceReplies);
    FUZZ_CHECK(whole == cut);
    FUZZ_CHECK(wholeReplies == pieceReplies);
    CheckReplies(wholeReplies);
    // As an answer: as it is, or repeated past one record's 65535 bytes.
    std::string answer = bytes;
    if (!bytes.empty() && (bytes[0] & 2))
        while (answer.size() <= 65535) answer += bytes;
    CheckAnswer(answer, pieces);
    return 0;
}
