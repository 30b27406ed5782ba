// A FastCGI worker. Each request runs through the CGI run's own steps
// (HandleRequest, the error pages, the trace), so its bytes are those a CGI
// run writes to standard output (the status paths of status_paths.h, when
// given, are answered here without the pipe). For that, the worker's
// `stdout` is a stdio stream of its own (fopencookie, unbuffered) that
// writes into the output stream of the request being served: the driver's
// pages and the pipe's trace lines, which the library writes to stdout,
// land in the response in the order they are written. Outside a request it
// drops what it gets.
//
// Kept connections: a web server that sets FCGI_KEEP_CONN sends its next
// request on the same connection, and libfcgi keeps it open for that
// (FCGX_Finish_r leaves it, FCGX_Accept_r reads the next request from it).
// A kept connection must never keep another connection waiting, and the
// gateway must not close one the web server may be using: a web server that
// finds a kept connection closed under its request fails the request (nginx
// retries no POST). So a worker holds many connections, one FCGX_Request
// each, and between requests waits on all of them and on the listening
// socket at once: it serves whichever has a request, and accepts a waiting
// connection beside the ones it holds, so that every connection is watched
// by some worker. It closes a kept connection only when the web server
// closes it, after the idle limit (longer than the web servers' own), and
// when it stops. Requests on one connection are answered one after another,
// in order; libfcgi refuses a second request on a connection in use
// (FCGI_MPXS_CONNS is 0). A web server sends the next request once the last
// is answered: bytes sent before that may be lost with libfcgi's read buffer
// of the request before. The connection of a request is libfcgi's own field
// of FCGX_Request (ipcFd): fcgiapp.h has no call for it.
//
// Signals: SIGTERM, SIGINT and SIGHUP stay blocked except while the worker
// waits for a connection or for the next request on a kept one
// (epoll_pwait with the mask opened), so that no read or write of a request
// is ever cut by them: a request in flight is finished, then the worker ends
// (it answers the requests already sent on its kept connections, then
// closes them) or re-reads velmox.ini. SIGALRM
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
#include <string>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

#include "cgi.h"
#include "cmd.h"
#include "driver.h"
#include "except.h"
#include "os.h"
#include "pipe_limits.h"
#include "platform.h"
#include "request_path.h"
#include "status_paths.h"

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

// A request for a status path: its answer, without the pipe. A body, which
// such a request should not have, is read and dropped first.
void ServeStatus(FCGX_Request& request, const std::string& response) {
    char drop[4096];
    while (FCGX_GetStr(drop, int(sizeof drop), request.in) > 0) {
    }
    alarm(kWriteLimitSeconds);
    s_output = request.out;
    WriteToRequest(nullptr, response.data(), response.size());
    s_output = nullptr;
}

// One request, as a CGI run of the gateway would answer it, its command
// path found wherever the web server put it; or a status path's answer.
void Serve(FCGX_Request& request, SimplePipe& pipe, const WorkerSettings& settings) {
    RequestPath where(FCGX_GetParam("SCRIPT_NAME", request.envp), FCGX_GetParam("PATH_INFO", request.envp),
                      FCGX_GetParam("REQUEST_URI", request.envp), settings.scriptName);
    std::string status;
    if (settings.status.Any() && StatusResponse(settings.status, where.Path(), kGatewayPipeName, &status)) {
        ServeStatus(request, status);
        return;
    }
    s_output = request.out;
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

// The epoll mark of the listening socket; a held connection's is its index.
const uint32_t kListener = UINT32_MAX;

// The connections a worker holds, one libfcgi request each, and which of
// them the poller watches: the kept ones between their requests.
class Connections {
public:
    Connections(int listenFd, int poller, unsigned idleLimitSeconds)
        : m_listenFd(listenFd), m_poller(poller), m_idleLimitMs(idleLimitSeconds * 1000LL),
          m_slots(kMaxConnectionsPerWorker), m_idleSince(kMaxConnectionsPerWorker, 0) {
        for (FCGX_Request& r : m_slots) FCGX_InitRequest(&r, listenFd, FCGI_FAIL_ACCEPT_ON_INTR);
    }
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    // Watches the listening socket while a slot is free for a connection.
    bool Listen() {
        bool free = FreeSlot() >= 0;
        if (free == m_listening) return true;
        epoll_event interest = {};
        interest.events = EPOLLIN | EPOLLEXCLUSIVE;  // one idle worker woken per connection
        interest.data.u32 = kListener;
        if (epoll_ctl(m_poller, free ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m_listenFd, &interest) != 0) return false;
        m_listening = free;
        return true;
    }
    // The slot an event names: a held connection's (no longer watched), or
    // a free one for the connection waiting on the listening socket.
    FCGX_Request& Take(uint32_t mark) {
        size_t i = mark == kListener ? size_t(FreeSlot()) : mark;
        if (mark != kListener) epoll_ctl(m_poller, EPOLL_CTL_DEL, m_slots[i].ipcFd, nullptr);
        return m_slots[i];
    }
    // After FCGX_Finish_r: a connection libfcgi kept is watched again.
    void Finished(FCGX_Request& request) {
        if (request.ipcFd < 0) return;
        uint32_t i = uint32_t(&request - m_slots.data());
        epoll_event interest = {};
        interest.events = EPOLLIN;
        interest.data.u32 = i;
        epoll_ctl(m_poller, EPOLL_CTL_ADD, request.ipcFd, &interest);
        m_idleSince[i] = NowMs();
    }
    // Milliseconds until the first kept connection reaches the idle limit;
    // -1 when none is kept.
    int NextIdleEnd() const {
        long long first = -1, now = NowMs();
        for (size_t i = 0; i < m_slots.size(); ++i)
            if (m_slots[i].ipcFd >= 0) {
                long long left = m_idleSince[i] + m_idleLimitMs - now;
                if (first < 0 || left < first) first = left < 0 ? 0 : left;
            }
        return first > INT32_MAX ? INT32_MAX : int(first);
    }
    // Closes the kept connections idle for the idle limit.
    void CloseIdle() {
        long long now = NowMs();
        for (size_t i = 0; i < m_slots.size(); ++i)
            if (m_slots[i].ipcFd >= 0 && now - m_idleSince[i] >= m_idleLimitMs) Close(m_slots[i]);
    }
    void CloseAll() {
        for (FCGX_Request& r : m_slots)
            if (r.ipcFd >= 0) Close(r);
    }

private:
    int FreeSlot() const {
        for (size_t i = 0; i < m_slots.size(); ++i)
            if (m_slots[i].ipcFd < 0) return int(i);
        return -1;
    }
    void Close(FCGX_Request& request) {
        epoll_ctl(m_poller, EPOLL_CTL_DEL, request.ipcFd, nullptr);
        FCGX_Free(&request, 1);
    }

    int m_listenFd, m_poller;
    long long m_idleLimitMs;
    std::vector<FCGX_Request> m_slots;
    std::vector<long long> m_idleSince;
    bool m_listening = false;
};

// Reads the request on `request`'s connection (accepting one first for a
// free slot), serves it and finishes it. False when there was none to serve:
// another worker took the connection, or the peer closed or dropped it
// (libfcgi closed it).
bool ServeOne(FCGX_Request& request, SimplePipe& pipe, const WorkerSettings& settings) {
    alarm(kReadLimitSeconds);
    int accepted = FCGX_Accept_r(&request);
    if (accepted < 0) {
        if (accepted == -EAGAIN || accepted == -EWOULDBLOCK || accepted == -EINTR) return false;
        std::fprintf(stderr, "velmox.cgi[%d]: accept: %s\n", int(getpid()), std::strerror(-accepted));
        if (accepted == -EMFILE || accepted == -ENFILE || accepted == -ENOMEM || accepted == -ENOBUFS) sleep(1);
        return false;
    }
    Serve(request, pipe, settings);
    FCGX_Finish_r(&request);
    // The alarm stays: should it ring while the worker waits for the next
    // request, the wait just starts again. Two system calls fewer per
    // request.
    return true;
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
    Connections connections(listenFd, poller, settings.idleLimitSeconds);
    if (poller < 0 || !connections.Listen()) {
        std::fprintf(stderr, "velmox.cgi[%d]: epoll on the listening socket: %s\n", int(getpid()),
                     std::strerror(errno));
        return 1;
    }
    SimplePipe pipe;  // one pipe client for the worker's life
    while (!s_stop) {
        ReloadWhenAsked();
        epoll_event ready;
        int n = epoll_pwait(poller, &ready, 1, connections.NextIdleEnd(), &waiting);
        if (n < 0) continue;  // a signal: see the flags
        if (n == 0) {
            connections.CloseIdle();
        } else {
            FCGX_Request& request = connections.Take(ready.data.u32);
            if (ServeOne(request, pipe, settings)) connections.Finished(request);
        }
        connections.Listen();
    }
    // Stopping: the requests already sent on kept connections are answered,
    // then the connections closed.
    epoll_ctl(poller, EPOLL_CTL_DEL, listenFd, nullptr);
    epoll_event ready[kMaxConnectionsPerWorker];
    int n = epoll_wait(poller, ready, kMaxConnectionsPerWorker, 0);
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.u32 == kListener) continue;
        FCGX_Request& request = connections.Take(ready[i].data.u32);
        if (ServeOne(request, pipe, settings)) connections.Finished(request);
    }
    connections.CloseAll();
    close(poller);
    return 0;
}
