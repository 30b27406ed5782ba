#include "driver.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <streambuf>
#include <strings.h>
#include <sys/uio.h>
#include <unistd.h>

#include "cgi.h"
#include "cmd.h"
#include "platform.h"
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

int SkipWhiteSpace(std::FILE* file) {
    int c = std::getc(file);
    while (IsWhiteSpace(c)) c = std::getc(file);
    return c;
}

// Stores the run of characters from c on for which `inRun` holds, cut to the
// field; the rest of the run is read and dropped. Returns the character that
// ended the run and the run's full length in *count.
template <class Pred>
int ReadRun(std::FILE* file, int c, char (&field)[kConfigFieldSize], Pred inRun, size_t* count) {
    size_t n = 0;
    for (; c != EOF && inRun(c); c = std::getc(file), ++n)
        if (n < kConfigFieldSize - 1) field[n] = char(c);
    field[n < kConfigFieldSize - 1 ? n : kConfigFieldSize - 1] = 0;
    *count = n;
    return c;
}

}  // namespace

bool ReadConfigEntry(std::FILE* file, char (&key)[kConfigFieldSize], char (&value)[kConfigFieldSize]) {
    size_t count = 0;
    int c = ReadRun(file, std::getc(file), key, [](int ch) { return ch != '=' && ch != ' '; }, &count);
    if (count == 0) return false;
    if (IsWhiteSpace(c)) c = SkipWhiteSpace(file);
    if (c != '=') return false;
    c = SkipWhiteSpace(file);
    ReadRun(file, c, value, [](int ch) { return !IsWhiteSpace(ch); }, &count);
    return count > 0;
}

int ReadDebugLevel(const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (!file) return 0;
    char key[kConfigFieldSize] = {};
    char value[kConfigFieldSize] = {};
    bool matched = ReadConfigEntry(file, key, value);
    std::fclose(file);
    if (!matched || strcasecmp(key, "debug") != 0) return 0;
    return ParseDecimal(value);
}

void RunRequest(Cmd*& cmd) {
    CGI cgi;
    cgi.InitFromEnv();
    if (g_debug) {
        StdoutBuffer buffer;
        std::ostream out(&buffer);
        cgi.DumpDebug(out);
        out.flush();
    }
    if (g_debug) Trace("Creating command...");
    cmd = Cmd::CreateCmd(cgi);
    if (g_debug) Trace("done.<br>\n");
    cmd->Dispatch();
    // The answer is text up to its NUL, but never more than its length: an
    // answer without a NUL (cut, or from a careless server) ends there.
    uint32_t length = 0;
    const char* results = cmd->GetResults(&length);
    if (results) WriteAnswer(results, strnlen(results, length));
}

void WriteErrorPage(const char* heading) {
    std::fputs(kHtmlHeader, stdout);
    std::fputs(heading, stdout);
    std::fflush(stdout);
}
