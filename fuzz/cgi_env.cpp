// Fuzz target: the request record filled from the environment and standard
// input (CGI::InitFromEnv with its form-body decoder), then sent and rebuilt
// (CGI::Write, CGI::Read on another record).
//
// Input: cut at its first four line feeds into CONTENT_LENGTH, PATH_INFO,
// QUERY_STRING, HTTP_USER_AGENT and the body; with fewer line feeds the last
// piece is the body and the variables not reached are not set. An empty
// CONTENT_LENGTH piece leaves the variable unset, the piece "=" stands for
// the body's exact length. A variable holds its piece up to the first NUL,
// as the environment would. The body goes to standard input, NULs and all.
//
// Properties:
//  - a declared length that is missing or not positive gives no body; one
//    longer than kLargestBody (beyond int too) is refused with
//    OutOfRangeExc, the values set, no body and standard input unread;
//    otherwise m_stdin holds the bytes that arrived (at most the declared
//    length) and a NUL, and m_stdinLen counts them plus one;
//  - the decoder never writes more than it reads: 1 <= m_contentsLen <=
//    m_stdinLen + 1, and every decoded string ends inside m_contents;
//  - a body without '%' decodes exactly: '+' a blank, '=' and '&' a NUL,
//    every other byte itself, then two NULs;
//  - every value is the one set (the empty string for a variable not set);
//  - Write fills a stream of exactly the computed size, and Read on another
//    record gives the same 22 values, each inside that record's block.
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "cgi.h"
#include "except.h"
#include "fuzz_util.h"
#include "sstream.h"

extern char** environ;

namespace {

const int kInputVars[] = {CGI::ContentLength, CGI::PathInfo, CGI::QueryString, CGI::HttpUserAgent};
const int kInputVarCount = 4;

// Fixed values of a few other variables, as a web server sets them.
struct FixedVar {
    int index;
    const char* value;
};
const FixedVar kFixedVars[] = {
    {0, "fuzz/1.0"}, {2, "CGI/1.1"}, {5, "POST"}, {11, "127.0.0.1"}, {15, "application/x-www-form-urlencoded"},
};

// Makes `vars` the process environment until the end of the scope.
class EnvironmentSwap {
public:
    explicit EnvironmentSwap(char** vars) : m_saved(environ) { environ = vars; }
    ~EnvironmentSwap() { environ = m_saved; }

private:
    char** m_saved;
};

// Standard input is one temporary file, rewritten for every input.
int StdinFile() {
    static int fd = -1;
    if (fd >= 0) return fd;
    char path[] = "/tmp/velmox-fuzz-stdin-XXXXXX";
    fd = mkstemp(path);
    if (fd < 0 || !std::freopen(path, "r", stdin)) {
        std::perror("fuzz stdin");
        std::abort();
    }
    unlink(path);
    return fd;
}

void PutOnStdin(const std::string& body) {
    int fd = StdinFile();
    if (ftruncate(fd, 0) != 0 ||
        (!body.empty() && pwrite(fd, body.data(), body.size(), 0) != ssize_t(body.size()))) {
        std::perror("fuzz stdin");
        std::abort();
    }
    // The stream's buffer may still hold the previous body, and a seek that
    // lands inside it would serve those bytes again: drop it first.
    std::fflush(stdin);
    std::clearerr(stdin);
    std::fseek(stdin, 0, SEEK_SET);
}

// The length as atoi reads it; *fits is false outside int.
long long DeclaredLength(const std::string& text, bool* fits) {
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    long long value = 0;
    *fits = true;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + (*p - '0');
        if (value > (long long)INT_MAX + 1) {
            *fits = false;
            return 0;
        }
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) *fits = false;
    return value;
}

std::string ExpectedPlainDecode(const std::string& raw) {
    std::string out;
    for (char c : raw) out.push_back(c == '+' ? ' ' : (c == '=' || c == '&') ? '\0' : c);
    out.push_back('\0');  // the appended NUL, copied
    out.push_back('\0');  // the closing NUL
    return out;
}

// Write and Read on another record: the same values, inside its block.
void CheckRoundTrip(CGI& cgi) {
    uint32_t size = 4;
    for (const char* value : cgi.m_cgiEnvVarValue) size += uint32_t(std::strlen(value)) + 1;
    std::string wire;
    try {
        SimpleStream out(size);
        cgi.Write(out);
        FUZZ_CHECK(out.Length() == size);
        wire.assign(out.Data(), out.Length());
    } catch (const Exception&) {
        FUZZ_FAIL("Write into a stream of the computed size raised");
    }
    fuzz::ExactBytes copy(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
    CGI back;
    try {
        SimpleStream in(copy.data(), unsigned(copy.size()));
        in.SetEof(uint32_t(copy.size()));
        back.Read(in);
        FUZZ_CHECK(in.Remaining() == 0);
    } catch (const Exception&) {
        FUZZ_FAIL("Read of a written record raised");
    }
    const char* end = back.m_serialData + back.m_serialLen;
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) {
        const char* value = back.m_cgiEnvVarValue[i];
        FUZZ_CHECK(value >= back.m_serialData && fuzz::EndsBefore(value, end));
        FUZZ_CHECK(std::strcmp(value, cgi.m_cgiEnvVarValue[i]) == 0);
    }
}

void CheckBody(const CGI& cgi, bool hasBody, long long declared, const std::string& body) {
    if (!hasBody) {
        FUZZ_CHECK(cgi.m_stdin == nullptr && cgi.m_stdinLen == 0);
        FUZZ_CHECK(cgi.m_contents == nullptr && cgi.m_contentsLen == 0);
        return;
    }
    size_t got = std::min<size_t>(size_t(declared), body.size());
    FUZZ_CHECK(cgi.m_stdin != nullptr && cgi.m_stdinLen == int(got) + 1);
    FUZZ_CHECK(std::memcmp(cgi.m_stdin, body.data(), got) == 0 && cgi.m_stdin[got] == 0);
    FUZZ_CHECK(cgi.m_contents != nullptr);
    FUZZ_CHECK(cgi.m_contentsLen >= 1 && cgi.m_contentsLen <= cgi.m_stdinLen + 1);
    const char* end = cgi.m_contents + cgi.m_contentsLen;
    FUZZ_CHECK(end[-1] == 0);
    for (const char* p = cgi.m_contents; p < end; p += std::strlen(p) + 1) FUZZ_CHECK(fuzz::EndsBefore(p, end));
    std::string raw(body, 0, got);
    if (raw.find('%') == std::string::npos)
        FUZZ_CHECK(std::string(cgi.m_contents, size_t(cgi.m_contentsLen)) == ExpectedPlainDecode(raw));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ExactBytes input(data, size);
    std::string rest(input.data(), input.size());
    std::string pieces[kInputVarCount];
    bool isSet[kInputVarCount] = {};
    for (int i = 0; i < kInputVarCount; ++i) isSet[i] = fuzz::TakeLine(rest, '\n', &pieces[i]);
    const std::string& body = rest;
    for (std::string& piece : pieces) piece = fuzz::UpToNul(piece);
    if (isSet[0] && pieces[0].empty()) isSet[0] = false;
    if (isSet[0] && pieces[0] == "=") pieces[0] = std::to_string(body.size());

    bool fits = true;
    long long declared = isSet[0] ? DeclaredLength(pieces[0], &fits) : 0;
    size_t sign = isSet[0] ? pieces[0].find_first_not_of(" \t\n\v\f\r") : std::string::npos;
    bool negative = sign != std::string::npos && pieces[0][sign] == '-';
    bool tooLong = isSet[0] && !negative && (!fits || declared > kLargestBody);
    bool hasBody = !tooLong && fits && declared > 0;

    std::string expected[CGI::c_cgiEnvVarCount];
    std::vector<std::string> entries;
    for (const FixedVar& v : kFixedVars) {
        entries.push_back(std::string(CGI::c_cgiEnvVarName[v.index]) + "=" + v.value);
        expected[v.index] = v.value;
    }
    for (int i = 0; i < kInputVarCount; ++i) {
        if (!isSet[i]) continue;
        entries.push_back(std::string(CGI::c_cgiEnvVarName[kInputVars[i]]) + "=" + pieces[i]);
        expected[kInputVars[i]] = pieces[i];
    }
    // The environment is an array of our own for this input: setenv would
    // keep every value it was ever given, and a long run would only measure
    // that growth.
    std::vector<char*> environment;
    for (std::string& entry : entries) environment.push_back(&entry[0]);
    environment.push_back(nullptr);
    EnvironmentSwap swap(environment.data());
    PutOnStdin(body);

    try {
        CGI cgi;
        if (tooLong) {
            bool refused = false;
            try {
                cgi.InitFromEnv();
            } catch (const OutOfRangeExc&) {
                refused = true;
            }
            FUZZ_CHECK(refused);
            FUZZ_CHECK(std::ftell(stdin) == 0);
        } else {
            FUZZ_CHECK(cgi.InitFromEnv() == 1);
        }
        for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) {
            FUZZ_CHECK(cgi.m_cgiEnvVarValue[i] != nullptr);
            FUZZ_CHECK(expected[i] == cgi.m_cgiEnvVarValue[i]);
        }
        CheckBody(cgi, hasBody, declared, body);
        std::ostringstream dump;
        FUZZ_CHECK(cgi.DumpDebug(dump) == 1);
        CheckRoundTrip(cgi);
    } catch (const Exception&) {
        // An expected outcome (a refused allocation).
    }
    return 0;
}
