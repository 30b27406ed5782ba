// A FastCGI worker. Each request runs through the CGI run's own steps
// (HandleRequest, the error pages, the trace), so its bytes are those a CGI
// run writes to standard output. For that, the worker's `stdout` is a stdio
// stream of its own (fopencookie, unbuffered) that writes into the output
// stream of the request being served: the driver's pages and the pipe's
// trace lines, which the library writes to stdout, land in the response in
// the order they are written. Outside a request it drops what it gets.
//
// Signals: SIGTERM, SIGINT and SIGHUP stay blocked except while the worker
// waits for a connection (epoll_pwait with the mask opened), so that no
// read or write of a request is ever cut by them: a request in flight is
// finished, then the worker ends or re-reads velmox.ini. SIGALRM bounds
// what a peer may make a worker wait for (see the limits in the header); it
// is off during the exchange with the server task, whose waits have limits
// of their own.
#include "fastcgi_worker.h"

#include <fcgiapp.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

#include "cgi.h"
#include "cmd.h"
#include "driver.h"
#include "except.h"
#include "os.h"
#include "platform.h"

namespace {

volatile sig_atomic_t s_stop = 0;
volatile sig_atomic_t s_reload = 0;

void OnStop(int) { s_stop = 1; }
void OnReload(int) { s_reload = 1; }
void OnAlarm(int) {}  // only interrupts the read or write that waits

// The output stream of the request being served; null between requests.
FCGX_Stream* s_output = nullptr;

ssize_t WriteToRequest(void*, const char* data, size_t size) {
    for (size_t done = 0; s_output && done < size;) {
        int chunk = int(size - done < (1u << 30) ? size - done : (1u << 30));
        if (FCGX_PutStr(data + done, chunk, s_output) < 0) break;  // the peer is gone: dropped
        done += size_t(chunk);
    }
    return ssize_t(size);
}

bool RouteStdoutToRequests() {
    cookie_io_functions_t io = {nullptr, WriteToRequest, nullptr, nullptr};
    std::FILE* requests = fopencookie(nullptr, "w", io);
    if (!requests) return false;
    std::setvbuf(requests, nullptr, _IONBF, 0);
    stdout = requests;
    return true;
}

void WriteAnswerToRequest(const char* answer, size_t length) {
    WriteToRequest(nullptr, answer, length);
    WriteToRequest(nullptr, "\n", 1);
}

size_t ReadRequestBody(void* source, char* buffer, size_t length) {
    FCGX_Stream* in = static_cast<FCGX_Stream*>(source);
    size_t got = 0;
    while (got < length) {
        int n = FCGX_GetStr(buffer + got, int(length - got), in);
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

// One line on standard error, the web server's log: "velmox.cgi[PID]:
// METHOD PATH_INFO: text". One write, so that lines of several workers do
// not mix.
void LogRequest(const FCGX_Request& request, const char* format, ...) {
    const char* method = request.envp ? FCGX_GetParam("REQUEST_METHOD", request.envp) : nullptr;
    const char* path = request.envp ? FCGX_GetParam("PATH_INFO", request.envp) : nullptr;
    char line[1024];
    int n = std::snprintf(line, sizeof line, "velmox.cgi[%d]: %s %s: ", int(getpid()), method ? method : "-",
                          path && *path ? path : "-");
    if (n < 0 || size_t(n) >= sizeof line) n = 0;
    va_list args;
    va_start(args, format);
    int m = std::vsnprintf(line + n, sizeof line - size_t(n) - 1, format, args);
    va_end(args);
    size_t length = size_t(n) + (m < 0 ? 0 : size_t(m) < sizeof line - size_t(n) - 1 ? size_t(m) : sizeof line - size_t(n) - 2);
    line[length++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, length);
    (void)ignored;
}

// An error page's heading as plain text for the log.
std::string PlainHeading(const char* heading) {
    std::string text = heading;
    if (text.compare(0, 4, "<h2>") == 0) text.erase(0, 4);
    if (text.size() >= 5 && text.compare(text.size() - 5, 5, "</h2>") == 0) text.erase(text.size() - 5);
    return text;
}

const char* ExceptionName(const Exception& e) {
    return e.m_id < uint32_t(Exception::c_excCount) ? Exception::c_excName[e.m_id] : Exception::c_excName[0];
}

// One request, as a CGI run of the gateway would answer it.
void Serve(FCGX_Request& request, SimplePipe& pipe) {
    s_output = request.out;
    if (g_debug) std::fputs("Content-type: text/html\n\n", stdout);
    Cmd* cmd = nullptr;
    try {
        CGI cgi;
        cgi.InitFromParams(request.envp, ReadRequestBody, request.in);
        if (FCGX_GetError(request.in) != 0) {
            // The web server gave up on the request (its client went away)
            // or the stream broke: nobody waits for an answer, and a body
            // cut short must not reach the server task.
            LogRequest(request, "request dropped: its body stopped after %d of %s bytes",
                       cgi.m_stdinLen > 0 ? cgi.m_stdinLen - 1 : 0, cgi.Value(CGI::ContentLength));
        } else {
            alarm(0);  // the exchange has limits of its own
            HandleRequest(cgi, cmd, &pipe, WriteAnswerToRequest);
        }
    } catch (const IPCexc& e) {
        if (g_debug) TraceFailureCause(e.Cause());
        LogRequest(request, "%s: %s", PlainHeading(kCommunicationErrorHeading).c_str(), *e.Cause() ? e.Cause() : "no cause known");
        WriteErrorPage(kCommunicationErrorHeading);
    } catch (const Exception& e) {
        LogRequest(request, "%s: %s (%s:%d)", PlainHeading(kExceptionHeading).c_str(), ExceptionName(e), e.m_file ? e.m_file : "?",
                   e.m_line);
        WriteErrorPage(kExceptionHeading);
    } catch (...) {
        LogRequest(request, "%s", PlainHeading(kUnknownExceptionHeading).c_str());
        WriteErrorPage(kUnknownExceptionHeading);
    }
    delete cmd;
    alarm(kWriteLimitSeconds);
    if (FCGX_GetError(request.out) != 0) LogRequest(request, "the answer was not taken: the connection closed");
    s_output = nullptr;
}

void Catch(int signal, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the waits must end
    sigaction(signal, &action, nullptr);
}

}  // namespace

int RunFastCgiWorker(int listenFd) {
    Catch(SIGTERM, OnStop);
    Catch(SIGINT, OnStop);
    Catch(SIGHUP, OnReload);
    Catch(SIGALRM, OnAlarm);
    signal(SIGPIPE, SIG_IGN);
    sigset_t waiting;
    sigprocmask(SIG_SETMASK, nullptr, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);

    if (!RouteStdoutToRequests()) {
        std::fprintf(stderr, "velmox.cgi[%d]: fopencookie: %s\n", int(getpid()), std::strerror(errno));
        return 1;
    }
    int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest = {};
    interest.events = EPOLLIN | EPOLLEXCLUSIVE;  // one idle worker woken per connection
    if (poller < 0 || epoll_ctl(poller, EPOLL_CTL_ADD, listenFd, &interest) != 0) {
        std::fprintf(stderr, "velmox.cgi[%d]: epoll on the listening socket: %s\n", int(getpid()),
                     std::strerror(errno));
        return 1;
    }
    SimplePipe pipe;  // one pipe client for the worker's life
    FCGX_Request request;
    FCGX_InitRequest(&request, listenFd, FCGI_FAIL_ACCEPT_ON_INTR);
    while (!s_stop) {
        if (s_reload) {
            s_reload = 0;
            g_debug = ReadDebugLevel("velmox.ini");
        }
        epoll_event ready;
        if (epoll_pwait(poller, &ready, 1, -1, &waiting) <= 0) continue;  // a signal: see the flags
        alarm(kReadLimitSeconds);
        int accepted = FCGX_Accept_r(&request);
        if (accepted < 0) {
            // Another worker took the connection, or the peer dropped it
            // before its request was read (libfcgi closed it).
            if (accepted == -EAGAIN || accepted == -EWOULDBLOCK || accepted == -EINTR) continue;
            std::fprintf(stderr, "velmox.cgi[%d]: accept: %s\n", int(getpid()), std::strerror(-accepted));
            if (accepted == -EMFILE || accepted == -ENFILE || accepted == -ENOMEM || accepted == -ENOBUFS)
                sleep(1);
            continue;
        }
        // One request per connection: a kept connection would tie this
        // worker to one peer while others wait in the backlog.
        request.keepConnection = 0;
        Serve(request, pipe);
        FCGX_Finish_r(&request);
        // The alarm stays: should it ring while the worker waits for the
        // next connection, the wait just starts again. Two system calls
        // fewer per request.
    }
    close(poller);
    return 0;
}
