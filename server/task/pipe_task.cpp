#include "pipe_task.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>

#include "cgi.h"
#include "cmd.h"
#include "except.h"
#include "log.h"
#include "mail_access.h"
#include "mail_service.h"
#include "options.h"
#include "os.h"
#include "page.h"
#include "pipe_limits.h"
#include "stop_watcher.h"
#include "store_choice.h"

namespace {

// The field inspector's settings.
struct Inspector {
    ServedBy servedBy;
    int delayMs;  // before each page: a slow server for load tests
    int hangMs;   // before a page whose path has the segment kHangSegment: a stuck handler
};

void Pause(int ms) {
    struct timespec left = {ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// True when one of the path's segments, between slashes, is `segment`.
bool HasSegment(const std::string& path, const std::string& segment) {
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, segment) == 0) return true;
        if (end == std::string::npos) return false;
        start = end + 1;
    }
}

std::string InspectorAnswer(const Inspector& inspector, const Cmd& cmd) {
    if (inspector.delayMs > 0) Pause(inspector.delayMs);
    if (inspector.hangMs > 0 && HasSegment(RequestValue(cmd, CGI::PathInfo), kHangSegment)) Pause(inspector.hangMs);
    return BuildAnswer(cmd, inspector.servedBy);
}

void Report(int report, char state) {
    while (write(report, &state, 1) < 0 && errno == EINTR) {
    }
}

// After 'R', the report carries the number of requests this process has
// answered as 8-byte counts: from the stop watcher's thread once a second
// when it has grown, and at the end (the supervisor's status for the service
// manager). The serving thread only counts. A write that would block, or a
// supervisor that no longer reads, drops the count, never a request.
class ServedCount {
public:
    explicit ServedCount(int report) : m_fd(report) {
        int flags = fcntl(m_fd, F_GETFL);
        if (flags >= 0) fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    }
    // Once no other thread reports any more.
    ~ServedCount() {
        Report();
        close(m_fd);
    }
    ServedCount(const ServedCount&) = delete;
    ServedCount& operator=(const ServedCount&) = delete;

    void Answered() { m_served.fetch_add(1, std::memory_order_relaxed); }

    // From one thread at a time.
    void Report() {
        uint64_t served = m_served.load(std::memory_order_relaxed);
        if (served == m_reported || !m_reading) return;
        if (write(m_fd, &served, sizeof served) == ssize_t(sizeof served)) m_reported = served;
        else if (errno == EPIPE) m_reading = false;
    }

private:
    int m_fd;
    std::atomic<uint64_t> m_served{0};
    uint64_t m_reported = 0;
    bool m_reading = true;
};

std::string ExceptionText(const Exception& e) {
    uint32_t id = e.m_id < uint32_t(Exception::c_excCount) ? uint32_t(e.m_id) : 0;
    std::string text = Exception::c_excName[id];
    if (e.m_file) text += std::string(" - ") + e.m_file + ": " + std::to_string(e.m_line);
    return text;
}

// The answer goes from the handler's string straight into the pipe block,
// its one copy (the block cuts one longer than itself): 2% of the pipe
// process's instructions for a large page (bench/README.md, "The exchange
// in place").
void SendAnswer(SimplePipe& pipe, char* answer, size_t length) {
    pipe.m_pipe.Write(answer, length);
    pipe.Disconnect();
}

void SendAnswer(SimplePipe& pipe, std::string& answer) { SendAnswer(pipe, &answer[0], answer.size()); }

// Milliseconds on the monotonic clock.
long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return long(now.tv_sec) * 1000L + now.tv_nsec / 1000000L;
}

// What answers a command: the mail's or the inspector's page, a complete
// answer with its NUL. Called directly for each request (no handler is
// registered with Cmd). Raises only what allocation raises.
using Handler = std::function<std::string(const Cmd&)>;

class PipeServer {
public:
    PipeServer(SimplePipe& pipe, const Handler& handler, const ServedBy& servedBy, const ServerLog& log,
               ServedCount& served, int slowMs)
        : m_pipe(pipe), m_handler(handler), m_servedBy(servedBy), m_log(log), m_served(served), m_slowMs(slowMs) {}

    // Serves requests until the pipe is to end; returns the PipeExit.
    int Serve(StopWatcher& watcher) {
        for (;;) {
            if (!m_pipe.Connect()) return kPipeFailed;
            if (m_slowMs > 0) {
                m_takenMs = NowMs();
                m_client = m_pipe.m_pipe.ClientPid();
            }
            size_t length = 0;
            if (!ReceiveRequest(length)) {
                std::string refused = Refuse("longer than the pipe's stream", length);
                SendAnswer(m_pipe, refused);
                m_served.Answered();
                continue;
            }
            if (length > 0) {
                AnswerRequest(length);
                m_served.Answered();
                continue;
            }
            std::string bye = "bye";
            SendAnswer(m_pipe, bye);
            if (watcher.Stopping()) return kPipeStoppedBySignal;
            // A terminate message nobody here asked for ends the pipe too,
            // unless a stop signal came meanwhile: then its message follows.
            if (watcher.Cancel()) return kPipeEndedByMessage;
        }
    }

private:
    // False when the request does not fit the input stream (impossible while
    // both have the block's size, and unreadable anyway).
    bool ReceiveRequest(size_t& length) {
        try {
            m_pipe.Read();
            length = m_pipe.Input()->Length();
            return true;
        } catch (const Exception&) {
            length = m_pipe.Input()->Capacity();
            return false;
        }
    }

    // Runs the request's command and sends its answer from the command's
    // results, or a refusal when the request cannot be read back or run.
    void AnswerRequest(size_t length) {
        std::string refused;
        try {
            std::unique_ptr<Cmd> cmd(Cmd::CreateCmd(*m_pipe.Input()));
            std::string answer = m_handler(*cmd);
            m_log.Line(RequestLine(m_servedBy, *cmd, answer.size()));
            long duration = m_slowMs > 0 ? NowMs() - m_takenMs : 0;
            if (m_slowMs > 0 && duration > m_slowMs) m_log.Line(SlowRequestLine(m_servedBy, *cmd, m_client, duration));
            SendAnswer(m_pipe, answer);
            return;
        } catch (const Exception& e) {
            refused = Refuse(ExceptionText(e), length);
        } catch (const std::bad_alloc&) {
            refused = Refuse("out of memory", length);
        }
        SendAnswer(m_pipe, refused);
    }

    std::string Refuse(const std::string& reason, size_t length) {
        std::string answer = BuildErrorAnswer("the request could not be read: " + reason, m_servedBy);
        m_log.Line(DamagedRequestLine(m_servedBy, reason, length, answer.size()));
        return answer;
    }

    SimplePipe& m_pipe;
    const Handler m_handler;
    const ServedBy m_servedBy;
    const ServerLog& m_log;
    ServedCount& m_served;
    const int m_slowMs;   // 0: no slow-request lines
    long m_takenMs = 0;   // when the request being served was taken
    int m_client = -1;    // and by whom it was sent
};

// False when the pipe cannot be made; its cause goes into the log, and to
// standard error as well when the log is a file.
bool CreatePipe(SimplePipe& pipe, const ServerOptions& options, const ServerLog& log) {
    std::string cause;
    try {
        pipe.Create(options.base.c_str(), kPipeBlockSize, kPipeBlockSize, options.access);
        return true;
    } catch (const IPCexc& e) {
        cause = e.Cause();
    } catch (const Exception& e) {
        cause = ExceptionText(e);
    }
    std::string text = "pipe process " + std::to_string(getpid()) + " cannot create its pipe: " + cause;
    log.Line(text);
    if (!options.logPath.empty()) std::fprintf(stderr, "velmox-server: %s\n", text.c_str());
    return false;
}

}  // namespace

int RunPipeProcess(const ServerOptions& options, const ServerLog& log, int report, const std::string& program) {
    const std::string& base = options.base;
    // Before any thread: the stop watcher takes SIGUSR1 (a log rotation),
    // whoever started this process.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    // The secret that signs the forms: read (or, started by a supervisor
    // of an earlier version, made) before the pipe serves.
    FormSecret secret;
    std::string why;
    if (!options.inspect && !secret.Load(SecretPath(options), &why)) {
        std::string text = "pipe process " + std::to_string(getpid()) + " cannot serve: " + why;
        log.Line(text);
        if (!options.logPath.empty()) std::fprintf(stderr, "velmox-server: %s\n", text.c_str());
        Report(report, 'F');
        close(report);
        return kPipeNotCreated;
    }
    SimplePipe pipe;
    if (!CreatePipe(pipe, options, log)) {
        Report(report, 'F');
        close(report);
        return kPipeNotCreated;
    }
    ServedBy servedBy{pipe.m_pipe.m_id.index, int(getpid())};
    // The store's connection belongs to this process: it opens on the first
    // request.
    std::unique_ptr<MailStore> store = OpenMailStore(options);
    MailService mail(*store, servedBy, log, secret, options.publicMailbox);
    Inspector inspector{servedBy, options.delayMs, options.hangMs};
    Handler handler;
    if (options.inspect) handler = [&inspector](const Cmd& cmd) { return InspectorAnswer(inspector, cmd); };
    else handler = [&mail](const Cmd& cmd) { return mail.Answer(cmd); };
    log.Line("pipe process " + std::to_string(servedBy.pid) + " (" + program + ") serves pipe " +
             std::to_string(servedBy.slot) + " of base name " + base);
    Report(report, 'R');
    int result;
    {
        ServedCount served(report);
        StopWatcher watcher(base, log, [&served] { served.Report(); });
        result = PipeServer(pipe, handler, servedBy, log, served, options.slowMs).Serve(watcher);
    }
    pipe.Close();
    return result;
}
