#include "driver.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <ostream>
#include <streambuf>
#include <strings.h>
#include <sys/uio.h>
#include <unistd.h>

#include "cgi.h"
#include "cmd.h"
#include "except.h"
#include "html_text.h"
#include "os.h"
#include "platform.h"
#include "request_path.h"
#include "textutil.h"

const char* const kCommunicationErrorHeading = "<h2>Cannot communicate with Velmox server</h2>";
const char* const kExceptionHeading = "<h2>Velmox CGI exception</h2>";
const char* const kUnknownExceptionHeading = "<h2>Unknown Velmox CGI exception</h2>";

namespace {

const char* const kHtmlHeader = "Content-type: text/html\n\n";

// Standard output as a C++ stream for the request dump, in debug runs only:
// a stream costs the C++ locale, which a normal run never builds. Writes go
// through stdio, in order with everything else on standard output.
class StdoutBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        return std::fputc(c, stdout) == EOF ? traits_type::eof() : c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        return std::streamsize(std::fwrite(s, 1, size_t(n), stdout));
    }
    int sync() override { return std::fflush(stdout) == 0 ? 0 : -1; }
};

void Trace(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Writes the answer and its line end to standard output with one system
// call where stdio would make four (a stat and a terminal check of the
// descriptor, then a write per 4 KB buffer). Whatever stdio holds goes first.
void WriteAnswer(const char* answer, size_t length) {
    std::fflush(stdout);
    char lineEnd = '\n';
    struct iovec parts[2] = {{const_cast<char*>(answer), length}, {&lineEnd, 1}};
    struct iovec* next = parts;
    int count = 2;
    while (count > 0) {
        ssize_t written = writev(STDOUT_FILENO, next, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // as a failed stream: the rest is dropped
        size_t done = size_t(written);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

bool IsWhiteSpace(int c) { return c != EOF && std::isspace(c); }

// Where the configuration's characters come from: getc on a file, or the
// file's bytes already in memory. Both give EOF at the end.
struct FileSource {
    std::FILE* file;
    int Get() { return std::getc(file); }
};

struct MemorySource {
    const char* at;
    const char* end;
    int Get() { return at < end ? int((unsigned char)*at++) : EOF; }
};

template <class Source>
int SkipWhiteSpace(Source& in) {
    int c = in.Get();
    while (IsWhiteSpace(c)) c = in.Get();
    return c;
}

// Stores the run of characters from c on for which `inRun` holds, cut to the
// field; the rest of the run is read and dropped. Returns the character that
// ended the run and the run's full length in *count.
template <class Source, class Pred>
int ReadRun(Source& in, int c, char (&field)[kConfigFieldSize], Pred inRun, size_t* count) {
    size_t n = 0;
    for (; c != EOF && inRun(c); c = in.Get(), ++n)
        if (n < kConfigFieldSize - 1) field[n] = char(c);
    field[n < kConfigFieldSize - 1 ? n : kConfigFieldSize - 1] = 0;
    *count = n;
    return c;
}

template <class Source>
bool ReadEntry(Source& in, char (&key)[kConfigFieldSize], char (&value)[kConfigFieldSize]) {
    size_t count = 0;
    int c = ReadRun(in, in.Get(), key, [](int ch) { return ch != '=' && ch != ' '; }, &count);
    if (count == 0) return false;
    if (IsWhiteSpace(c)) c = SkipWhiteSpace(in);
    if (c != '=') return false;
    c = SkipWhiteSpace(in);
    ReadRun(in, c, value, [](int ch) { return !IsWhiteSpace(ch); }, &count);
    return count > 0;
}

int LevelOf(bool matched, const char* key, const char* value) {
    if (!matched || strcasecmp(key, "debug") != 0) return 0;
    return ParseDecimal(value);
}

// The file read whole into memory with plain system calls: stdio would add
// a stat of the file and a heap buffer. A read shorter than asked is the end
// of a regular file. False when the file does not fit the buffer.
bool ReadSmallFile(int fd, char* buffer, size_t size, size_t* length) {
    size_t got = 0;
    for (;;) {
        if (got == size) return false;
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the end, or an error, which ends the file as getc would
        got += size_t(n);
        if (got < size) break;
    }
    *length = got;
    return true;
}

// The pipe of the run's one exchange, never destroyed: the process ends
// right after its page (main ends it with _Exit), and the pipe's views of
// the registry and pipe blocks and its records go with the address space
// instead of being detached and released one by one: 1.5% of a run
// (bench/README.md, "The exchange in place").
SimplePipe& OneShotPipe() {
    static SimplePipe* pipe = new SimplePipe;
    return *pipe;
}

}  // namespace

bool ReadConfigEntry(std::FILE* file, char (&key)[kConfigFieldSize], char (&value)[kConfigFieldSize]) {
    FileSource in{file};
    return ReadEntry(in, key, value);
}

int ReadDebugLevel(const char* path) {
    char key[kConfigFieldSize] = {};
    char value[kConfigFieldSize] = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[4096];
    size_t length = 0;
    bool whole = ReadSmallFile(fd, text, sizeof text, &length);
    close(fd);
    if (whole) {
        MemorySource in{text, text + length};
        return LevelOf(ReadEntry(in, key, value), key, value);
    }
    // A first line longer than the buffer: read it as a stream.
    std::FILE* file = std::fopen(path, "r");
    if (!file) return 0;
    bool matched = ReadConfigEntry(file, key, value);
    std::fclose(file);
    return LevelOf(matched, key, value);
}

void RunRequest(Cmd*& cmd) {
    CGI cgi;
    cgi.InitFromEnv();
    // A CGI run takes no options: the gateway is at its usual path.
    RequestPath where(cgi.Value(CGI::ScriptName), cgi.Value(CGI::PathInfo), std::getenv("REQUEST_URI"),
                      kDefaultScriptName);
    where.ApplyTo(cgi);
    HandleRequest(cgi, cmd, nullptr, WriteAnswer);
}

void HandleRequest(CGI& cgi, Cmd*& cmd, SimplePipe* pipe, AnswerWriter write) {
    if (g_debug) {
        StdoutBuffer buffer;
        std::ostream out(&buffer);
        cgi.DumpDebug(out);
        out.flush();
    }
    if (g_debug) Trace("Creating command...");
    // The record's decoded body is not needed after this: a Save command
    // takes it instead of a copy, 4% of the instructions of a run with a
    // 100 KB body (bench/README.md, "The exchange in place").
    cgi.HandOverContents();
    cmd = Cmd::CreateCmd(cgi);
    if (g_debug) Trace("done.<br>\n");
    cmd->Dispatch(pipe ? *pipe : OneShotPipe());
    // The answer is text up to its NUL, but never more than its length: an
    // answer without a NUL (cut, or from a careless server) ends there.
    uint32_t length = 0;
    const char* results = cmd->GetResults(&length);
    if (results) write(results, strnlen(results, length));
}

void TraceFailureCause(const char* cause) {
    if (!cause || !*cause) return;
    std::fputs("Pipe failure: ", stdout);
    try {
        std::fputs(EscapeHtml(cause).c_str(), stdout);
    } catch (const std::bad_alloc&) {
        std::fputs("(no memory to show it)", stdout);
    }
    Trace("<br>\n");
}

void LogRefusal(const char* cause) {
    // One write, so that the line stays whole among other processes' lines.
    char line[IpcFailure::kTextSize + 64];
    int n = std::snprintf(line, sizeof line, "velmox.cgi: Pipe failure: %s\n", cause && *cause ? cause : "refused");
    if (n <= 0) return;
    size_t length = size_t(n) < sizeof line ? size_t(n) : sizeof line - 1;
    while (write(STDERR_FILENO, line, length) < 0 && errno == EINTR) {
    }
}

const ErrorPage kCommunicationFailure = {"503 Service Unavailable", kCommunicationErrorHeading};
const ErrorPage kRefusedRequest = {"400 Bad Request", kExceptionHeading};
const ErrorPage kRequestTooLong = {"413 Content Too Large", kExceptionHeading};
const ErrorPage kGatewayFailure = {"500 Internal Server Error", kExceptionHeading};
const ErrorPage kUnknownFailure = {"500 Internal Server Error", kUnknownExceptionHeading};

const ErrorPage& ErrorPageFor(const Exception& e) {
    switch (e.m_id) {
        case Exception::ExcIPC: return kCommunicationFailure;
        case Exception::ExcUnknownCmd:
        case Exception::ExcInvalidURL: return kRefusedRequest;
        case Exception::ExcBufferOverflow:
        case Exception::ExcOutOfRange: return kRequestTooLong;
        default: return kGatewayFailure;
    }
}

void WriteErrorPage(const ErrorPage& page) {
    if (!g_debug) {
        std::fputs("Status: ", stdout);
        std::fputs(page.status, stdout);
        std::fputc('\n', stdout);
    }
    std::fputs(kHtmlHeader, stdout);
    std::fputs(page.heading, stdout);
    std::fflush(stdout);
}
