#include "cgi.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <unistd.h>

#include "except.h"
#include "root.h"
#include "sstream.h"
#include "textutil.h"

const char* const CGI::c_cgiEnvVarName[CGI::c_cgiEnvVarCount] = {
    "SERVER_SOFTWARE", "SERVER_NAME",     "GATEWAY_INTERFACE", "SERVER_PROTOCOL",
    "SERVER_PORT",     "REQUEST_METHOD",  "PATH_INFO",         "PATH_TRANSLATED",
    "SCRIPT_NAME",     "QUERY_STRING",    "REMOTE_HOST",       "REMOTE_ADDR",
    "AUTH_TYPE",       "REMOTE_USER",     "REMOTE_IDENT",      "CONTENT_TYPE",
    "CONTENT_LENGTH",  "HTTP_ACCEPT",     "HTTP_USER_AGENT",   "HTTPS",
    "HTTP_REFERER",    "SERVER_URL",
};

namespace {

// Every variable that is not set points here.
char s_emptyValue[1] = "";

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// Values are cleared as well: a record on the stack gets no zero-filling.
CGI::CGI()
    : m_cgiEnvVarValue(), m_contents(nullptr), m_contentsLen(0), m_stdin(nullptr),
      m_stdinLen(0), m_serialLen(0), m_serialData(nullptr), m_handOver(false) {}

CGI::~CGI() {
    RootFree(m_stdin);
    RootFree(m_contents);
    RootFree(m_serialData);
}

int CGI::AnnouncedBody(const char* contentLength) {
    bool fits = true;
    int length = ParseDecimal(contentLength, &fits);
    if (!fits) {
        // Beyond int: a negative number is no body, a positive one too long.
        const char* p = contentLength;
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        return *p == '-' ? 0 : -1;
    }
    if (length <= 0) return 0;
    return length > kLargestBody ? -1 : length;
}

int CGI::InitFromEnv() {
    for (int i = 0; i < c_cgiEnvVarCount; ++i) {
        char* value = std::getenv(c_cgiEnvVarName[i]);
        m_cgiEnvVarValue[i] = value ? value : s_emptyValue;
    }
    ResetBody();
    // The request method is not consulted: any positive length has a body.
    int length = AnnouncedBody(m_cgiEnvVarValue[ContentLength]);
    if (length < 0) RAISE(OutOfRangeExc);
    if (length == 0) return 1;
    ReadBody(length, nullptr, nullptr);
    DecodeBody();
    return 1;
}

namespace {

// The value of `name` in a list of "NAME=value" strings; null when absent.
char* ParamValue(char* const* params, const char* name) {
    size_t length = std::strlen(name);
    for (char* const* p = params; p && *p; ++p)
        if (std::strncmp(*p, name, length) == 0 && (*p)[length] == '=') return *p + length + 1;
    return nullptr;
}

}  // namespace

int CGI::InitFromParams(char* const* params, BodyReader read, void* source) {
    for (int i = 0; i < c_cgiEnvVarCount; ++i) {
        char* value = ParamValue(params, c_cgiEnvVarName[i]);
        m_cgiEnvVarValue[i] = value ? value : s_emptyValue;
    }
    ResetBody();
    int length = AnnouncedBody(m_cgiEnvVarValue[ContentLength]);
    if (length < 0) RAISE(OutOfRangeExc);
    if (length == 0) return 1;
    ReadBody(length, read, source);
    DecodeBody();
    return 1;
}

void CGI::ResetBody() {
    RootFree(m_stdin);
    RootFree(m_contents);
    m_stdin = m_contents = nullptr;
    m_stdinLen = m_contentsLen = 0;
    m_handOver = false;
}

char* CGI::TakeContents() {
    if (!m_handOver || !m_contents) return nullptr;
    char* contents = m_contents;
    m_contents = nullptr;
    m_contentsLen = 0;
    m_handOver = false;
    return contents;
}

namespace {

// Up to `length` bytes of standard input; fewer only at its end or on an
// error. A plain read where nothing is waiting in stdio's buffer: fread would
// first stat the descriptor and allocate a buffer, a page fault in a process
// that lives for one request.
size_t ReadStandardInput(char* buffer, size_t length) {
#ifdef __GLIBC__
    bool buffered = stdin->_IO_read_ptr != stdin->_IO_read_end;
#else
    bool buffered = true;
#endif
    if (buffered) return std::fread(buffer, 1, length, stdin);
    size_t got = 0;
    while (got < length) {
        ssize_t n = read(STDIN_FILENO, buffer + got, length - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

}  // namespace

// From standard input when no reader is given.
void CGI::ReadBody(int length, BodyReader read, void* source) {
    m_stdin = RootNewChars(size_t(length) + 1);
    size_t got = read ? read(source, m_stdin, size_t(length)) : ReadStandardInput(m_stdin, size_t(length));
    if (got > size_t(length)) got = size_t(length);
    m_stdin[got] = 0;
    m_stdinLen = int(got) + 1;
}

// One pass over the body and its appended NUL: '+' is a blank, '=' and '&'
// end a string, %XY is the byte XY (an escaped carriage return is dropped).
// A '%' without two hex digits inside the body is copied as it stands.
void CGI::DecodeBody() {
    m_contents = RootNewChars(size_t(m_stdinLen) + 1 + kFormListGuard);
    int out = 0;
    for (int in = 0; in < m_stdinLen; ++in) {
        char c = m_stdin[in];
        if (c == '+') {
            m_contents[out++] = ' ';
        } else if (c == '=' || c == '&') {
            m_contents[out++] = 0;
        } else if (c == '%' && in + 2 < m_stdinLen && HexDigitValue(m_stdin[in + 1]) >= 0 &&
                   HexDigitValue(m_stdin[in + 2]) >= 0) {
            int code = HexDigitValue(m_stdin[in + 1]) * 16 + HexDigitValue(m_stdin[in + 2]);
            in += 2;
            if (code != '\r') m_contents[out++] = char(code);
        } else {
            m_contents[out++] = c;
        }
    }
    m_contents[out++] = 0;
    m_contentsLen = out;
    std::memset(m_contents + out, 0, kFormListGuard);
}

uint32_t CGI::SerialLength() const {
    uint32_t total = 0;
    for (const char* value : m_cgiEnvVarValue) total += uint32_t(value ? std::strlen(value) : 0) + 1;
    return total;
}

SimpleStream& CGI::Write(SimpleStream& s) {
    RootObject::Write(s);
    s << SerialLength();
    for (const char* value : m_cgiEnvVarValue) {
        if (value) s << value;
        else s << char(0);
    }
    return s;
}

// The block is checked in a buffer of its own before it replaces the old
// one, so a damaged block leaves the record as it was.
SimpleStream& CGI::Read(SimpleStream& s) {
    RootObject::Read(s);
    uint32_t length = 0;
    s >> length;
    if (length == 0 || length > s.Remaining() || length > uint32_t(INT32_MAX)) RAISE(CorruptDataExc);
    char* block = RootNewChars(length);
    s.Read(block, int(length));
    char* values[c_cgiEnvVarCount];
    const char* end = block + length;
    char* p = block;
    for (char*& value : values) {
        char* zero = p < end ? static_cast<char*>(std::memchr(p, 0, size_t(end - p))) : nullptr;
        if (!zero) {
            RootFree(block);
            RAISE(CorruptDataExc);
        }
        value = p;
        p = zero + 1;
    }
    RootFree(m_serialData);
    m_serialData = block;
    m_serialLen = length;
    std::memcpy(m_cgiEnvVarValue, values, sizeof values);
    return s;
}

int CGI::DumpDebug(std::ostream& os) const {
    os << "<P>CGI state<BR>\n";
    for (int i = 0; i < c_cgiEnvVarCount; ++i) {
        os << c_cgiEnvVarName[i] << " = ";
        if (m_cgiEnvVarValue[i]) os << m_cgiEnvVarValue[i];
        os << "<BR>" << std::endl;
    }
    if (m_stdin) os << "stdin = " << m_stdin << "<BR>" << std::endl;
    if (m_contents) {
        os << "contents = ";
        // The listing stops at the first empty string, as the list does.
        const char* end = m_contents + m_contentsLen;
        for (const char* p = m_contents; p < end && *p; p += std::strlen(p) + 1) os << p << " ";
        os << "<BR>" << std::endl;
    }
    return 1;
}
