// A FastCGI worker. Each request runs through the CGI run's own steps
// (HandleRequest, the error pages, the trace), so its bytes are those a CGI
// run writes to standard output (the status paths of status_paths.h, when
// given, are answered here without the pipe). For that, the worker's
// `stdout` is a stdio stream of its own (fopencookie, unbuffered) that
// writes into the answer of the request being served: the driver's pages
// and the pipe's trace lines, which the library writes to stdout, land in
// the response in the order they are written. Outside a request it drops
// what it gets.
//
// Connections (fastcgi_connections.h): the worker reads every connection it
// holds as its bytes arrive, and serves a request only once it is whole, so
// that no peer, however slow or silent, holds the worker while another
// connection has a request: one request at a time, the oldest whole one
// first, then back to the poller. Kept connections (FCGI_KEEP_CONN: nginx's
// fastcgi_keep_conn, HAProxy) are held between their requests and watched
// with the others; the worker closes one only when the web server does,
// after the idle limit (longer than the web servers' own), to make room
// under the bound, and when it stops. A waiting connection is accepted
// beside the ones held, so that every connection is watched by some worker.
//
// Signals: SIGTERM, SIGINT and SIGHUP stay blocked except while the worker
// waits on its poller (epoll_pwait with the mask opened), so that no
// request is ever cut by them: a request being served is finished, then
// the worker stops (Connections::Stop) or re-reads velmox.ini.
#include "fastcgi_worker.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cgi.h"
#include "cmd.h"
#include "driver.h"
#include "except.h"
#include "fastcgi_connections.h"
#include "fcgi_records.h"
#include "os.h"
#include "pipe_limits.h"
#include "platform.h"
#include "request_path.h"
#include "status_paths.h"
#include "textutil.h"

namespace {

volatile sig_atomic_t s_stop = 0;
volatile sig_atomic_t s_reload = 0;

void OnStop(int) { s_stop = 1; }
void OnReload(int) { s_reload = 1; }

// The answer of the request being served; null between requests.
fcgi::AnswerWriter* s_answer = nullptr;

ssize_t WriteToRequest(void*, const char* data, size_t size) {
    if (s_answer) s_answer->Write(data, size);
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

// The body of a whole request, read by the request record.
struct BodySource {
    const std::string& body;
    size_t at;
};

size_t ReadRequestBody(void* source, char* buffer, size_t length) {
    BodySource& from = *static_cast<BodySource*>(source);
    size_t n = std::min(length, from.body.size() - from.at);
    std::memcpy(buffer, from.body.data() + from.at, n);
    from.at += n;
    return n;
}

// One line on standard error (the web server's log), in one write so that
// the lines of several workers do not mix: "velmox.cgi[PID]: text".
void Say(const std::string& text) {
    std::string line = "velmox.cgi[" + std::to_string(getpid()) + "]: " + text + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

// A line about a request: "velmox.cgi[PID]: METHOD PATH_INFO: text", with
// PATH_INFO as the gateway split it; both are the client's, so their
// control characters are escaped ("-" for one not known).
void LogRequest(const char* method, const char* path, const std::string& text) {
    Say((method && *method ? LogText(method, 64) : std::string("-")) + " " +
        (path && *path ? LogText(path, 400) : std::string("-")) + ": " + text);
}

void LogAbout(const fcgi::Request* request, const std::string& scriptName, const std::string& text) {
    if (!request || !request->params()) {
        LogRequest(nullptr, nullptr, text);
        return;
    }
    RequestPath where(request->Param("SCRIPT_NAME"), request->Param("PATH_INFO"), request->Param("REQUEST_URI"),
                      scriptName);
    LogRequest(request->Param("REQUEST_METHOD"), where.PathInfo(), text);
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

// One whole request, as a CGI run of the gateway would answer it, its
// command path found wherever the web server put it; or a status path's
// answer. Writes through stdout into the request's answer.
void Serve(const fcgi::Request& request, SimplePipe& pipe, const WorkerSettings& settings) {
    if (request.paramsTooLong()) {
        LogRequest(nullptr, nullptr, "request refused: parameters longer than " +
                                         std::to_string(fcgi::kMaxParamsBytes) + " bytes (413)");
        if (g_debug) std::fputs("Content-type: text/html\n\n", stdout);
        WriteErrorPage(kRequestTooLong);
        return;
    }
    RequestPath where(request.Param("SCRIPT_NAME"), request.Param("PATH_INFO"), request.Param("REQUEST_URI"),
                      settings.scriptName);
    const char* method = request.Param("REQUEST_METHOD");
    std::string status;
    if (settings.status.Any() && StatusResponse(settings.status, where.Path(), kGatewayPipeName, &status)) {
        WriteToRequest(nullptr, status.data(), status.size());
        return;
    }
    if (g_debug) std::fputs("Content-type: text/html\n\n", stdout);
    if (request.announced() < 0) {
        // Refused before a byte of the body was read, as a CGI run refuses it.
        LogRequest(method, where.PathInfo(), "request refused: CONTENT_LENGTH " +
                                                 LogText(request.Param("CONTENT_LENGTH"), 24) + " is longer than any request (" +
                                                 std::to_string(kLargestBody) + " bytes) (413)");
        WriteErrorPage(kRequestTooLong);
        return;
    }
    Cmd* cmd = nullptr;
    try {
        CGI cgi;
        BodySource body = {request.body(), 0};
        cgi.InitFromParams(request.params(), ReadRequestBody, &body);
        where.ApplyTo(cgi);
        HandleRequest(cgi, cmd, &pipe, WriteAnswerToRequest);
    } catch (const IPCexc& e) {
        if (g_debug) TraceFailureCause(e.Cause());
        LogRequest(method, where.PathInfo(),
                   PlainHeading(kCommunicationErrorHeading) + ": " + (*e.Cause() ? e.Cause() : "no cause known"));
        WriteErrorPage(kCommunicationFailure);
    } catch (const Exception& e) {
        LogRequest(method, where.PathInfo(),
                   PlainHeading(kExceptionHeading) + ": " + ExceptionName(e) + " (" + (e.m_file ? e.m_file : "?") + ":" +
                       std::to_string(e.m_line) + ")");
        WriteErrorPage(ErrorPageFor(e));
    } catch (...) {
        LogRequest(method, where.PathInfo(), PlainHeading(kUnknownExceptionHeading));
        WriteErrorPage(kUnknownFailure);
    }
    delete cmd;
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

// The epoll mark of the listening socket; a connection's is its slot.
const uint32_t kListener = UINT32_MAX;

// The shared listening socket: watched while the worker may take another
// connection, accepted one connection per readiness, so that the waiting
// connections spread over the idle workers.
class Listener {
public:
    Listener(int fd, int poller, const WorkerSettings& settings) : m_fd(fd), m_poller(poller), m_settings(settings) {}
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool Watch(bool on) {
        if (on == m_watched) return true;
        epoll_event interest = {};
        interest.events = EPOLLIN | EPOLLEXCLUSIVE;  // one idle worker woken per connection
        interest.data.u32 = kListener;
        if (epoll_ctl(m_poller, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m_fd, &interest) != 0) return false;
        m_watched = on;
        return true;
    }
    bool watched() const { return m_watched; }
    // When the worker may not take a connection now (a refused accept).
    long long pausedUntil() const { return m_pausedUntil; }

    void Accept(Connections& connections, long long now) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return;
            Say(std::string("accept: ") + std::strerror(errno));
            // Out of descriptors or memory: the others are served meanwhile.
            m_pausedUntil = now + 1000;
            return;
        }
        if (m_settings.allow && !m_settings.allow->Allows(reinterpret_cast<sockaddr*>(&peer))) {
            close(fd);
            Say("connection from " + PeerText(reinterpret_cast<sockaddr*>(&peer)) +
                " refused: not among the clients of --allow (" + m_settings.allow->Text() + ")");
            return;
        }
        if (connections.Full() && !connections.MakeRoom(now)) {
            close(fd);  // every connection holds a request: the web server tries again
            return;
        }
        connections.Add(fd, now);
    }

private:
    int m_fd, m_poller;
    const WorkerSettings& m_settings;
    bool m_watched = false;
    long long m_pausedUntil = 0;
};

}  // namespace

int RunFastCgiWorker(int listenFd, const WorkerSettings& settings) {
    Catch(SIGTERM, OnStop);
    Catch(SIGINT, OnStop);
    Catch(SIGHUP, OnReload);
    signal(SIGPIPE, SIG_IGN);
    sigset_t waiting;
    sigprocmask(SIG_SETMASK, nullptr, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);

    // A request's large buffers (parameters up to 2 MB, bodies) are mapped
    // and unmapped with it, and freed memory goes back to the system: with
    // glibc's moving thresholds, a worker kept the heap of its largest
    // request (1 MB more resident after one request of 1 MB of parameters).
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024);
    if (!RouteStdoutToRequests()) {
        Say(std::string("fopencookie: ") + std::strerror(errno));
        return 1;
    }
    int poller = epoll_create1(EPOLL_CLOEXEC);
    Listener listener(listenFd, poller, settings);
    if (poller < 0 || !listener.Watch(true)) {
        Say(std::string("epoll on the listening socket: ") + std::strerror(errno));
        return 1;
    }
    ConnectionLimits limits;
    limits.readMs = settings.readLimitSeconds * 1000LL;
    limits.idleMs = settings.idleLimitSeconds * 1000LL;
    limits.writeMs = kWriteLimitSeconds * 1000LL;
    limits.most = settings.maxConnections;
    limits.advertised = unsigned(settings.gatewayConnections);
    const std::string& scriptName = settings.scriptName;
    Connections connections(poller, limits, [&scriptName](const fcgi::Request* request, const std::string& text) {
        LogAbout(request, scriptName, text);
    });
    SimplePipe pipe;  // one pipe client for the worker's life
    const int kEvents = 64;
    epoll_event ready[kEvents];
    for (;;) {
        ReloadWhenAsked();
        long long now = NowMs();
        if (s_stop && !connections.Stopping()) {
            listener.Watch(false);
            connections.Stop(now);
        }
        if (connections.Stopping() && connections.size() == 0) break;
        long long freshUntil = connections.FreshUntil(now);
        bool room = !connections.Full() || connections.CanMakeRoom();
        if (!listener.watched() || freshUntil == 0)
            listener.Watch(!connections.Stopping() && room && now >= listener.pausedUntil() && freshUntil == 0);
        // A whole request waiting: a look at the poller only, then serve it.
        bool queued = connections.Queued();
        int timeout = queued ? 0 : connections.NextDeadline(now);
        for (long long until : {listener.pausedUntil(), freshUntil})
            if (!queued && until > now) timeout = timeout < 0 ? int(until - now) : std::min(timeout, int(until - now));
        int n = epoll_pwait(poller, ready, kEvents, timeout, &waiting);
        now = NowMs();
        bool accept = false;
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.u32 == kListener) accept = true;
            else connections.Event(ready[i].data.u32, ready[i].events, now);
        }
        // A new connection only when no request of this worker waits, nor a
        // connection just accepted: the others' idle workers take it.
        if (accept && !connections.Queued()) {
            if (connections.FreshUntil(now) == 0) listener.Accept(connections, now);
            else listener.Watch(false);  // until the fresh one has sent its request
        }
        connections.Expire(now);
        Connection* next = connections.NextQueued();
        if (!next) continue;
        fcgi::AnswerWriter answer(connections.Output(*next), connections.QueuedRequest(*next).id());
        s_answer = &answer;
        Serve(connections.QueuedRequest(*next), pipe, settings);
        s_answer = nullptr;
        answer.End();
        connections.Answered(*next, NowMs());
    }
    close(poller);
    return 0;
}
