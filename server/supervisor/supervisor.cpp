#include "supervisor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "log.h"
#include "pipe_launcher.h"
#include "pipe_status.h"
#include "pipe_task.h"
#include "registry.h"
#include "supervisor_limits.h"

namespace {

volatile sig_atomic_t g_stopSignal = 0;
volatile sig_atomic_t g_restartSignal = 0;
volatile sig_atomic_t g_reopenSignal = 0;

void OnStopSignal(int signal) { g_stopSignal = signal; }
void OnRestartSignal(int) { g_restartSignal = 1; }
void OnReopenSignal(int) { g_reopenSignal = 1; }

// Without a watchdog the status line is sent this often.
const double kStatusSeconds = 5;

// SIGCHLD only has to interrupt pselect(); the pipes are reaped afterwards.
void OnChildSignal(int) {}

void Handle(int signal, void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

std::string SignalName(int signal) {
    switch (signal) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
        case SIGKILL: return "SIGKILL";
        case SIGSEGV: return "SIGSEGV";
        case SIGABRT: return "SIGABRT";
        default: return "signal " + std::to_string(signal);
    }
}

}  // namespace

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

bool EndedCleanly(int status) {
    return WIFEXITED(status) &&
           (WEXITSTATUS(status) == kPipeStoppedBySignal || WEXITSTATUS(status) == kPipeEndedByMessage);
}

Supervisor::Supervisor(const ServerOptions& options, const ServerLog& log, const PipeLauncher& launcher)
    : m_options(options), m_log(log), m_launcher(launcher), m_pipes(size_t(options.pipes)) {
    sigemptyset(&m_waitMask);
    FD_ZERO(&m_readable);
}

int Supervisor::Run() {
    PrepareSignals();
    m_log.Line("velmox-server " + std::to_string(getpid()) + " starting " + std::to_string(m_options.pipes) +
               " pipes of base name " + m_options.base);
    m_startDeadline = Now() + kStartLimitSeconds;
    for (size_t k = 0; k < m_pipes.size() && !m_stopping; ++k)
        if (!StartPipe(k)) Fail("cannot start the pipe processes: " + std::string(std::strerror(errno)));
    if (m_notifier.Active()) m_nextStatus = Now();
    if (m_options.requestTimeout > 0) m_nextTimeoutCheck = Now();
    while (!AllEnded()) {
        WaitForEvent();
        HandleStopSignal();
        HandleRestartSignal();
        HandleReopenSignal();
        ReadReports();
        ReapPipes();
        CheckDeadlines();
        CheckRequestTimeouts();
        RestartDuePipes();
        UpdateServiceStatus();
    }
    m_counters.Detach();
    if (m_killed) ClearAfterKills();
    if (m_readyFileWritten) unlink(m_options.readyPath.c_str());
    m_log.Line("velmox-server " + std::to_string(getpid()) + " stopped");
    return m_exitStatus;
}

// The signals stay blocked but while pselect() waits; pipe processes inherit
// the blocked stop signals, so none is lost before their watcher runs.
void Supervisor::PrepareSignals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGUSR1}) sigaddset(&blocked, signal);
    sigprocmask(SIG_BLOCK, &blocked, &m_waitMask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGUSR1}) sigdelset(&m_waitMask, signal);
    Handle(SIGTERM, OnStopSignal);
    Handle(SIGINT, OnStopSignal);
    Handle(SIGHUP, OnRestartSignal);
    Handle(SIGCHLD, OnChildSignal);
    Handle(SIGUSR1, OnReopenSignal);
}

bool Supervisor::StartPipe(size_t k) { return Launch(m_pipes[k]); }

bool Supervisor::Launch(PipeProcess& p) {
    int report = -1;
    pid_t pid = m_launcher.Launch(&report, m_log);
    if (pid < 0) return false;
    p = PipeProcess();
    p.pid = pid;
    p.report = report;
    p.startedAt = Now();
    p.generation = m_generation;
    return true;
}

// Every process the supervisor watches: the places', the newcomer and those
// that are leaving.
std::vector<Supervisor::PipeProcess*> Supervisor::Processes() {
    std::vector<PipeProcess*> all;
    for (PipeProcess& p : m_pipes) all.push_back(&p);
    all.push_back(&m_newcomer);
    for (PipeProcess& p : m_leaving) all.push_back(&p);
    return all;
}

void Supervisor::WaitForEvent() {
    FD_ZERO(&m_readable);
    int highest = -1;
    for (const PipeProcess* p : Processes()) {
        if (p->report < 0) continue;
        FD_SET(p->report, &m_readable);
        highest = std::max(highest, p->report);
    }
    struct timespec limit;
    struct timespec* timeout = nullptr;
    double deadline = NextDeadline();
    if (deadline >= 0) {
        double wait = std::max(0.0, deadline - Now());
        limit.tv_sec = time_t(wait);
        limit.tv_nsec = long((wait - double(limit.tv_sec)) * 1e9);
        timeout = &limit;
    }
    if (pselect(highest + 1, &m_readable, nullptr, nullptr, timeout, &m_waitMask) <= 0) FD_ZERO(&m_readable);
}

// The earliest moment something is due without an event; -1 when nothing is.
double Supervisor::NextDeadline() {
    double next = -1;
    auto consider = [&next](double t) { next = next < 0 ? t : std::min(next, t); };
    if (!m_ready && !m_stopping) consider(m_startDeadline);
    if (m_stopping) consider(m_stopDeadline);
    if (m_nextStatus >= 0) consider(m_nextStatus);
    for (const PipeProcess& p : m_pipes)
        if (p.restartAt >= 0) consider(p.restartAt);
    if (m_newcomer.pid > 0 && !m_newcomer.registered) consider(m_newcomer.startedAt + kStartLimitSeconds);
    for (const PipeProcess* p : Processes())
        if (p->pid > 0 && p->killAt >= 0) consider(p->killAt);
    if (m_nextTimeoutCheck >= 0) consider(m_nextTimeoutCheck);
    return next;
}

void Supervisor::HandleStopSignal() {
    int signal = g_stopSignal;
    g_stopSignal = 0;
    if (signal == 0 || m_stopping) return;
    m_log.Line("velmox-server " + std::to_string(getpid()) + " stopping on " + SignalName(signal));
    BeginStop(signal);
}

void Supervisor::HandleRestartSignal() {
    if (!g_restartSignal) return;
    g_restartSignal = 0;
    RequestRestart();
}

void Supervisor::HandleReopenSignal() {
    if (!g_reopenSignal) return;
    g_reopenSignal = 0;
    if (!m_log.Reopen()) m_log.Line("cannot open the log file again: " + std::string(std::strerror(errno)));
    for (PipeProcess* p : Processes())
        if (p->pid > 0) kill(p->pid, SIGUSR1);
}

void Supervisor::ReadReports() {
    for (size_t k = 0; k < m_pipes.size(); ++k) {
        PipeProcess& p = m_pipes[k];
        if (p.report < 0 || !FD_ISSET(p.report, &m_readable) || !ReadReport(p)) continue;
        if (m_ready) m_log.Line(Describe(k) + " is serving again");
        else if (std::all_of(m_pipes.begin(), m_pipes.end(), [](const PipeProcess& q) { return q.registered; }))
            BecomeReady();
    }
    if (m_newcomer.report >= 0 && FD_ISSET(m_newcomer.report, &m_readable) && ReadReport(m_newcomer))
        NewcomerReady();
    for (PipeProcess& p : m_leaving)
        if (p.report >= 0 && FD_ISSET(p.report, &m_readable)) ReadReport(p);
    FD_ZERO(&m_readable);
}

// 'R': the pipe is registered; the counts of requests answered follow.
// Anything else, or the end of the report, means the pipe process failed;
// its exit tells the rest. True when the process has just reported its
// pipe registered.
bool Supervisor::ReadReport(PipeProcess& p) {
    if (p.registered) {
        ReadServed(p);
        return false;
    }
    char state = 0;
    ssize_t n = read(p.report, &state, 1);
    if (n < 0 && errno == EINTR) return false;
    if (n != 1 || state != 'R') {
        CloseReport(p);
        return false;
    }
    p.registered = true;
    return true;
}

// Whole counts only: each is one write of 8 bytes, which a pipe keeps whole.
void Supervisor::ReadServed(PipeProcess& p) {
    uint64_t counts[16];
    ssize_t n = read(p.report, counts, sizeof counts);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        CloseReport(p);
        return;
    }
    if (size_t(n) >= sizeof counts[0]) p.served = counts[size_t(n) / sizeof counts[0] - 1];
}

void Supervisor::CloseReport(PipeProcess& p) {
    close(p.report);
    p.report = -1;
}

// The process is gone, so reading its report to the end cannot block.
void Supervisor::CountEnded(PipeProcess& p) {
    while (p.report >= 0) ReadReport(p);
    m_servedByEnded += p.served;
    p.served = 0;
}

void Supervisor::ReapPipes() {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (size_t k = 0; k < m_pipes.size(); ++k)
            if (m_pipes[k].pid == pid) PipeEnded(k, status);
        if (m_newcomer.pid == pid) NewcomerEnded(status);
        for (size_t i = 0; i < m_leaving.size(); ++i)
            if (m_leaving[i].pid == pid) {
                LeaverEnded(i, status);
                break;
            }
    }
}

void Supervisor::PipeEnded(size_t k, int status) {
    PipeProcess& p = m_pipes[k];
    std::string who = Describe(k);
    bool timedOut = p.timedOut;
    // A report still unread when SIGCHLD came first.
    CountEnded(p);
    p.pid = 0;
    p.registered = false;
    p.timedOut = false;
    p.killAt = -1;
    if (m_stopping) {
        if (EndedCleanly(status)) return;
        if (timedOut) {
            m_log.Line(who + ", whose request ran into the timeout, " + EndText(status) + " while stopping");
            return;
        }
        m_log.Line(who + " " + EndText(status) + " while stopping");
        m_exitStatus = 1;
    } else if (!m_ready) {
        Fail(NotReadyText(who, status));
    } else {
        PipeEndedWhileRunning(k, who, status);
    }
}

std::string Supervisor::EndText(int status) const {
    if (WIFSIGNALED(status)) return "was killed by " + SignalName(WTERMSIG(status));
    switch (WEXITSTATUS(status)) {
        case kPipeStoppedBySignal: return "was stopped by a signal";
        case kPipeNotCreated: return "could not create its pipe";
        case kPipeEndedByMessage: return "ended on a terminate message that no signal asked for";
        case kPipeNotStarted: return "could not be started from " + m_launcher.Program();
        case kPipeBadArguments: return "refused its command line (standard error says why)";
        default: return "failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    }
}

std::string Supervisor::NotReadyText(const std::string& who, int status) const {
    if (WIFEXITED(status) && WEXITSTATUS(status) == kPipeNotCreated)
        return "cannot create the pipe of base name " + m_options.base +
               ": is the name too long, its directory missing, the registry full, or are its objects another user's?";
    return who + " " + EndText(status) + " before the pipes of base name " + m_options.base + " were ready";
}

// A pipe process stopped by a signal of its own stops the whole server (a
// stop sent to the process group reaches the pipe processes first); any
// other end is a fault, and the pipe comes back.
void Supervisor::PipeEndedWhileRunning(size_t k, const std::string& who, int status) {
    PipeProcess& p = m_pipes[k];
    if (WIFEXITED(status) && WEXITSTATUS(status) == kPipeStoppedBySignal) {
        m_log.Line(who + " " + EndText(status) + "; stopping the server");
        BeginStop(SIGTERM);
        return;
    }
    p.restartAt = std::max(Now(), p.startedAt + kRestartIntervalSeconds);
    m_log.Line(who + " " + EndText(status) + "; restarting it");
}

// A place that a newcomer of a rolling restart is about to take waits for it.
void Supervisor::RestartDuePipes() {
    if (m_stopping) return;
    double now = Now();
    for (size_t k = 0; k < m_pipes.size(); ++k) {
        PipeProcess& p = m_pipes[k];
        if (p.restartAt < 0 || now < p.restartAt || Renewing(k)) continue;
        if (!StartPipe(k)) {
            m_log.Line("cannot restart pipe process " + std::to_string(k) + ": " + std::strerror(errno));
            p = PipeProcess();
            p.restartAt = now + kRestartIntervalSeconds;
        }
    }
}

void Supervisor::CheckDeadlines() {
    double now = Now();
    if (!m_ready && !m_stopping && now > m_startDeadline)
        Fail("the pipes of base name " + m_options.base + " were not registered within " +
             std::to_string(int(kStartLimitSeconds)) + " s");
    if (m_stopping && now > m_stopDeadline) {
        for (size_t k = 0; k < m_pipes.size(); ++k) KillOverdue(m_pipes[k], Describe(k));
        KillOverdue(m_newcomer, "new pipe process (pid " + std::to_string(m_newcomer.pid) + ")");
        m_stopDeadline = Now() + kStopLimitSeconds;
    }
    // Told to stop, or ended by the request timeout, and still there.
    for (size_t k = 0; k < m_pipes.size(); ++k)
        if (m_pipes[k].killAt >= 0 && now > m_pipes[k].killAt) KillOverdue(m_pipes[k], Describe(k));
    if (m_newcomer.killAt >= 0 && now > m_newcomer.killAt)
        KillOverdue(m_newcomer, "new pipe process (pid " + std::to_string(m_newcomer.pid) + ")");
    for (PipeProcess& p : m_leaving)
        if (p.killAt >= 0 && now > p.killAt) KillOverdue(p, "old pipe process (pid " + std::to_string(p.pid) + ")");
    CheckRestartDeadlines(now);
}

void Supervisor::BeginStop(int signal) {
    m_notifier.Stopping(ServiceStatus("stopping"));
    m_stopping = true;
    m_restarting = false;
    m_restartQueued = false;
    m_stopDeadline = Now() + kStopLimitSeconds;
    for (PipeProcess* p : Processes()) {
        p->restartAt = -1;
        if (p->pid > 0) kill(p->pid, signal);
    }
}

// One ended by the request timeout was meant to end: the server's exit
// status stays as it is.
void Supervisor::KillOverdue(PipeProcess& p, const std::string& who) {
    p.killAt = -1;
    if (p.pid <= 0) return;
    if (p.timedOut) {
        m_log.Line(who + " did not end within " + std::to_string(int(kTimeoutGraceSeconds)) +
                   " s of SIGTERM; killing it");
    } else {
        m_log.Line(who + " did not stop in time; killing it");
        m_exitStatus = 1;
    }
    kill(p.pid, SIGKILL);
    m_killed = true;
}

bool Supervisor::AllEnded() {
    if (!m_stopping) return false;
    std::vector<PipeProcess*> all = Processes();
    return std::none_of(all.begin(), all.end(), [](const PipeProcess* p) { return p->pid > 0; });
}

// Opening the registry as a server empties the slots of dead servers (and
// with none left, makes the registry as new); closing it then removes every
// object that no live server uses. Nothing is made when there is no
// registry left.
void Supervisor::ClearAfterKills() {
    ServerMonitor glance;
    bool left = glance.Inspect(m_options.base.c_str()) != 0;
    glance.Detach();
    if (!left) return;
    ServerMonitor server;
    if (server.InitServer(m_options.base.c_str(), m_options.access)) {
        server.Terminate();
        m_log.Line("removed what the killed pipe processes left of base name " + m_options.base);
    } else {
        char cause[IpcFailure::kTextSize];
        m_log.Line("cannot remove what the killed pipe processes left of base name " + m_options.base + ": " +
                   server.Failure().Text(cause, sizeof cause));
    }
}

void Supervisor::BecomeReady() {
    m_ready = true;
    m_log.Line("velmox-server " + std::to_string(getpid()) + " ready: " + std::to_string(m_pipes.size()) +
               " pipes of base name " + m_options.base);
    if (!m_options.readyPath.empty()) WriteReadyFile();
    m_notifier.Ready(ServiceStatus("serving"));
    if (m_restartQueued) {
        m_restartQueued = false;
        BeginRestart();
    }
}

// Written under another name and renamed, so that a reader never sees half a pid.
void Supervisor::WriteReadyFile() {
    std::string temporary = m_options.readyPath + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    bool written = file && std::fprintf(file, "%d\n", int(getpid())) > 0;
    if (file && std::fclose(file) != 0) written = false;
    if (written && std::rename(temporary.c_str(), m_options.readyPath.c_str()) == 0) {
        m_readyFileWritten = true;
        return;
    }
    m_log.Line("cannot write the ready file " + m_options.readyPath + ": " + std::strerror(errno));
    unlink(temporary.c_str());
}

// A failure to start: reported on standard error as well when the log goes
// to a file, and the pipes made so far are stopped.
void Supervisor::Fail(const std::string& text) {
    m_log.Line(text);
    if (!m_options.logPath.empty()) std::fprintf(stderr, "velmox-server: %s\n", text.c_str());
    m_exitStatus = 1;
    if (!m_stopping) BeginStop(SIGTERM);
}

// The status line, when it is due (never without a service manager).
void Supervisor::UpdateServiceStatus() {
    if (m_nextStatus < 0 || Now() < m_nextStatus) return;
    double interval = m_notifier.KeepAliveSeconds() > 0 ? m_notifier.KeepAliveSeconds() : kStatusSeconds;
    m_nextStatus = Now() + std::min(interval, kStatusSeconds);
    std::string state = m_stopping ? "stopping" : m_restarting ? "rolling restart" : m_ready ? "serving" : "starting";
    m_notifier.Update(ServiceStatus(state));
}

// The figures of velmox-registry status (pipe_status.h), read without a
// lock; without counters, the requests from the pipe processes' reports.
std::string Supervisor::ServiceStatus(const std::string& state) {
    if (!m_notifier.Active()) return "";
    ServiceFigures figures;
    figures.state = state;
    figures.served = m_servedByEnded;
    for (const PipeProcess* p : Processes()) {
        figures.served += p->served;
        figures.pipes += p->registered && p->pid > 0;
    }
    PipeStatus status;
    IpcFailure failure;
    if (ReadPipeStatus(m_options.base.c_str(), status, failure)) {
        figures.pipes = int(status.pipes.size());
        figures.busy = status.Count(PipeState::Busy);
        figures.idle = status.Count(PipeState::Idle);
        figures.recovering = status.Count(PipeState::Recovering);
        if (status.counters) {
            figures.served = status.requests;
            figures.timeouts = status.timeouts;
        }
    }
    return ServiceStatusText(figures);
}

std::string Supervisor::Describe(size_t k) const {
    return "pipe process " + std::to_string(k) + " (pid " + std::to_string(m_pipes[k].pid) + ")";
}
