// A FastCGI worker. Each request runs through the CGI run's own steps
// (HandleRequest, the error pages, the trace), so its bytes are those a CGI
// run writes to standard output. For that, the worker's `stdout` is a stdio
// stream of its own (fopencookie, unbuffered) that writes into the output
// stream of the request being served: the driver's pages and the pipe's
// trace lines, which the library writes to stdout, land in the response in
// the order they are written. Outside a request it drops what it gets.
//
// Kept connections: a web server that sets FCGI_KEEP_CONN sends its next
// request on the same connection, and libfcgi keeps it open for that
// (FCGX_Finish_r leaves it, FCGX_Accept_r reads the next request from it).
// A worker serves one connection at a time, so a kept connection must not
// keep other connections waiting. The worker gives it up:
//   - when the web server closes it;
//   - after a request, when another connection is waiting to be accepted
//     (that connection waits for nothing else; the web server sees the
//     close right after the answer, before it could use the connection
//     again);
//   - when it has been idle for the idle limit;
//   - when, while it is idle, another connection has waited kGiveWayMs
//     without a free worker taking it.
// Requests on one connection are answered one after another, in order;
// libfcgi refuses a second request on a connection in use (FCGI_MPXS_CONNS
// is 0). A web server sends the next request once the last is answered:
// bytes sent before that may be lost with libfcgi's read buffer of the
// request before. The connection and its keep flag are libfcgi's own fields
// of FCGX_Request (ipcFd, keepConnection): fcgiapp.h has no call for them.
//
// Signals: SIGTERM, SIGINT and SIGHUP stay blocked except while the worker
// waits for a connection or for the next request on a kept one
// (epoll_pwait and ppoll with the mask opened), so that no read or write of
// a request is ever cut by them: a request in flight is finished, then the
// worker ends (closing a kept connection) or re-reads velmox.ini. SIGALRM
// bounds what a peer may make a worker wait for (see the limits in the
// header); it is off during the exchange with the server task, whose waits
// have limits of their own.
#include "fastcgi_worker.h"

#include <fcgiapp.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

#include "cgi.h"
#include "cmd.h"
#include "driver.h"
#include "except.h"
#include "os.h"
#include "platform.h"
#include "request_path.h"

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
// METHOD PATH_INFO: text", with PATH_INFO as the gateway split it. One
// write, so that lines of several workers do not mix.
void LogRequest(const FCGX_Request& request, const RequestPath& where, const char* format, ...) {
    const char* method = request.envp ? FCGX_GetParam("REQUEST_METHOD", request.envp) : nullptr;
    const char* path = where.PathInfo();
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

// One request, as a CGI run of the gateway would answer it, its command
// path found wherever the web server put it.
void Serve(FCGX_Request& request, SimplePipe& pipe, const std::string& scriptName) {
    s_output = request.out;
    RequestPath where(FCGX_GetParam("SCRIPT_NAME", request.envp), FCGX_GetParam("PATH_INFO", request.envp),
                      FCGX_GetParam("REQUEST_URI", request.envp), scriptName);
    if (g_debug) std::fputs("Content-type: text/html\n\n", stdout);
    Cmd* cmd = nullptr;
    try {
        CGI cgi;
        cgi.InitFromParams(request.envp, ReadRequestBody, request.in);
        where.ApplyTo(cgi);
        if (FCGX_GetError(request.in) != 0) {
            // The web server gave up on the request (its client went away)
            // or the stream broke: nobody waits for an answer, and a body
            // cut short must not reach the server task.
            LogRequest(request, where, "request dropped: its body stopped after %d of %s bytes",
                       cgi.m_stdinLen > 0 ? cgi.m_stdinLen - 1 : 0, cgi.Value(CGI::ContentLength));
        } else {
            alarm(0);  // the exchange has limits of its own
            HandleRequest(cgi, cmd, &pipe, WriteAnswerToRequest);
        }
    } catch (const IPCexc& e) {
        if (g_debug) TraceFailureCause(e.Cause());
        LogRequest(request, where, "%s: %s", PlainHeading(kCommunicationErrorHeading).c_str(), *e.Cause() ? e.Cause() : "no cause known");
        WriteErrorPage(kCommunicationErrorHeading);
    } catch (const Exception& e) {
        LogRequest(request, where, "%s: %s (%s:%d)", PlainHeading(kExceptionHeading).c_str(), ExceptionName(e), e.m_file ? e.m_file : "?",
                   e.m_line);
        WriteErrorPage(kExceptionHeading);
    } catch (...) {
        LogRequest(request, where, "%s", PlainHeading(kUnknownExceptionHeading).c_str());
        WriteErrorPage(kUnknownExceptionHeading);
    }
    delete cmd;
    alarm(kWriteLimitSeconds);
    if (FCGX_GetError(request.out) != 0) LogRequest(request, where, "the answer was not taken: the connection closed");
    s_output = nullptr;
}

void Catch(int signal, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the waits must end
    sigaction(signal, &action, nullptr);
}

void ReloadWhenAsked() {
    if (!s_reload) return;
    s_reload = 0;
    g_debug = ReadDebugLevel("velmox.ini");
}

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

timespec Span(long long ms) { return {time_t(ms / 1000), long(ms % 1000) * 1000000L}; }

// True when a connection waits on the listening socket to be accepted.
bool ConnectionWaiting(int listenFd) {
    pollfd listener = {listenFd, POLLIN, 0};
    return poll(&listener, 1, 0) > 0;
}

// Waits on an idle kept connection. True when something arrived on it (the
// next request, or the web server's close: FCGX_Accept_r reads either);
// false when the worker is to give it up (see the top of the file) or stop.
bool NextRequestOnKeptConnection(int keptFd, int listenFd, const sigset_t& waiting, unsigned idleLimitSeconds) {
    long long deadline = NowMs() + idleLimitSeconds * 1000LL;
    while (!s_stop) {
        ReloadWhenAsked();
        long long left = deadline - NowMs();
        if (left <= 0) return false;
        pollfd both[2] = {{keptFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        timespec limit = Span(left);
        int ready = ppoll(both, 2, &limit, &waiting);
        if (ready < 0) continue;  // a signal: see the flags
        if (ready == 0) return false;
        if (both[0].revents) return true;
        // Another connection waits: a free worker takes it at once. If none
        // has within the grace, this worker gives way.
        pollfd kept = {keptFd, POLLIN, 0};
        timespec grace = Span(kGiveWayMs);
        ready = ppoll(&kept, 1, &grace, &waiting);
        if (ready > 0) return true;
        if (ready == 0 && ConnectionWaiting(listenFd)) return false;
    }
    return false;
}

}  // namespace

int RunFastCgiWorker(int listenFd, const WorkerSettings& settings) {
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
        ReloadWhenAsked();
        if (request.ipcFd >= 0) {
            // A kept connection: its next request, or give it up (libfcgi
            // closes it) and wait for a connection.
            if (!NextRequestOnKeptConnection(request.ipcFd, listenFd, waiting, settings.idleLimitSeconds)) {
                FCGX_Free(&request, 1);
                continue;
            }
        } else {
            epoll_event ready;
            if (epoll_pwait(poller, &ready, 1, -1, &waiting) <= 0) continue;  // a signal: see the flags
        }
        alarm(kReadLimitSeconds);
        int accepted = FCGX_Accept_r(&request);
        if (accepted < 0) {
            // Another worker took the connection, or the peer dropped it
            // before its request was read, or closed its kept connection
            // (libfcgi closed it).
            if (accepted == -EAGAIN || accepted == -EWOULDBLOCK || accepted == -EINTR) continue;
            std::fprintf(stderr, "velmox.cgi[%d]: accept: %s\n", int(getpid()), std::strerror(-accepted));
            if (accepted == -EMFILE || accepted == -ENFILE || accepted == -ENOMEM || accepted == -ENOBUFS)
                sleep(1);
            continue;
        }
        Serve(request, pipe, settings.scriptName);
        // A connection waiting for a worker: this one is closed after its
        // answer rather than kept.
        if (request.keepConnection && ConnectionWaiting(listenFd)) request.keepConnection = 0;
        FCGX_Finish_r(&request);
        // The alarm stays: should it ring while the worker waits for the
        // next connection, the wait just starts again. Two system calls
        // fewer per request.
    }
    if (request.ipcFd >= 0) FCGX_Free(&request, 1);
    close(poller);
    return 0;
}
