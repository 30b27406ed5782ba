#include "fcgi_client.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fcgi {

namespace {

using kit::NowMs;

void AppendLength(std::string& out, size_t n) {
    if (n < 128) {
        out += char(n);
    } else {
        out += char(0x80 | ((n >> 24) & 0x7f));
        out += char((n >> 16) & 0xff);
        out += char((n >> 8) & 0xff);
        out += char(n & 0xff);
    }
}

std::string Stream(int type, const std::string& bytes, int id) {
    std::string out;
    for (size_t at = 0; at < bytes.size(); at += 65535) out += Record(type, bytes.substr(at, 65535), id);
    return out + Record(type, "", id);
}

}  // namespace

std::string Record(int type, const std::string& content, int id) {
    std::string out;
    out += char(1);
    out += char(type);
    out += char((id >> 8) & 0xff);
    out += char(id & 0xff);
    out += char((content.size() >> 8) & 0xff);
    out += char(content.size() & 0xff);
    size_t padding = (8 - content.size() % 8) % 8;
    out += char(padding);
    out += char(0);
    out += content;
    out.append(padding, '\0');
    return out;
}

std::string BeginRequest(int id, bool keep) {
    std::string body(8, '\0');
    body[1] = 1;             // the responder role
    body[2] = keep ? 1 : 0;  // FCGI_KEEP_CONN, else the connection closes after the request
    return Record(kBeginRequest, body, id);
}

std::string ParamsStream(const Params& params, int id) {
    std::string pairs;
    for (const auto& p : params) {
        AppendLength(pairs, p.first.size());
        AppendLength(pairs, p.second.size());
        pairs += p.first;
        pairs += p.second;
    }
    return Stream(kParams, pairs, id);
}

std::string StdinStream(const std::string& body, int id) { return Stream(kStdin, body, id); }

std::string Request(const Params& params, const std::string& body, bool keep) {
    return BeginRequest(1, keep) + ParamsStream(params) + StdinStream(body);
}

namespace {

// Replies up to the count-th end-request record; with untilClose, records
// are read on until the connection closes.
std::vector<Reply> Read(int fd, size_t count, bool untilClose, long long limitMs) {
    std::vector<Reply> replies(1);
    std::string buffer;
    long long deadline = NowMs() + limitMs;
    for (;;) {
        // Whole records first.
        while (buffer.size() >= 8) {
            Reply& reply = replies.back();
            size_t length = (size_t((unsigned char)buffer[4]) << 8) | (unsigned char)buffer[5];
            size_t total = 8 + length + (unsigned char)buffer[6];
            if (buffer[0] != 1) {
                reply.garbage += buffer;
                buffer.clear();
                break;
            }
            if (buffer.size() < total) break;
            std::string content = buffer.substr(8, length);
            if (buffer[1] == kStdout) reply.out += content;
            else if (buffer[1] == kStderr) reply.err += content;
            else if (buffer[1] == kEndRequest) reply.ended = true;
            buffer.erase(0, total);
            if (reply.ended && replies.size() < count) replies.emplace_back();
        }
        if (!untilClose && replies.size() == count && replies.back().ended) break;
        long long left = deadline - NowMs();
        if (left <= 0) break;
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char chunk[65536];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            replies.back().closed = true;
            break;
        }
        buffer.append(chunk, size_t(n));
    }
    replies.back().garbage += buffer;
    return replies;
}

}  // namespace

Reply ReadReply(int fd, long long limitMs) { return Read(fd, 1, true, limitMs)[0]; }

std::vector<Reply> ReadReplies(int fd, int count, long long limitMs) {
    return Read(fd, count < 1 ? 1 : size_t(count), false, limitMs);
}

Reply Exchange(const std::string& address, const std::string& requestBytes, long long limitMs) {
    Reply reply;
    int fd = Connect(address);
    if (fd < 0) return reply;
    if (SendAll(fd, requestBytes)) reply = ReadReply(fd, limitMs);
    close(fd);
    return reply;
}

Reply Exchange(const std::string& address, const Params& params, const std::string& body, long long limitMs) {
    return Exchange(address, Request(params, body), limitMs);
}

}  // namespace fcgi
