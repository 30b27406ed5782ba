// Test helpers: a request set up as the web server would (environment and
// stdin), and byte strings built by hand.
#ifndef VELMOX_TEST_REQUEST_UTIL_H
#define VELMOX_TEST_REQUEST_UTIL_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cgi.h"

using EnvList = std::vector<std::pair<const char*, std::string>>;

// Replaces stdin by a file holding body.
inline void PutOnStdin(const std::string& body) {
    char path[] = "/tmp/velmox-stdin-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) std::abort();
    if (!body.empty() && write(fd, body.data(), body.size()) != ssize_t(body.size())) std::abort();
    close(fd);
    if (!std::freopen(path, "r", stdin)) std::abort();
    unlink(path);
}

// Clears the 22 request variables, sets vars, and puts body on stdin; a
// non-empty body gets its CONTENT_LENGTH unless vars names one.
inline void SetRequest(const EnvList& vars, const std::string& body = "") {
    for (const char* name : CGI::c_cgiEnvVarName) unsetenv(name);
    for (const auto& v : vars) setenv(v.first, v.second.c_str(), 1);
    if (!body.empty() && !std::getenv("CONTENT_LENGTH"))
        setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    PutOnStdin(body);
}

// The whole decoded body of a record, terminators included.
inline std::string Contents(const CGI& cgi) {
    return cgi.m_contents ? std::string(cgi.m_contents, size_t(cgi.m_contentsLen)) : std::string();
}

// Expected wire bytes, written out item by item for a little-endian host.
class Bytes {
public:
    Bytes& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m_bytes.push_back(char((v >> (8 * i)) & 0xff));
        return *this;
    }
    Bytes& str(const std::string& s) {
        m_bytes += s;
        m_bytes.push_back(0);
        return *this;
    }
    Bytes& raw(const std::string& s) {
        m_bytes += s;
        return *this;
    }
    const std::string& get() const { return m_bytes; }

private:
    std::string m_bytes;
};

inline bool HostIsLittleEndian() {
    const uint32_t one = 1;
    return *reinterpret_cast<const unsigned char*>(&one) == 1;
}

#endif
