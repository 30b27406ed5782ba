#include "supervisor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "log.h"
#include "pipe_task.h"

namespace {

// Making a pipe may wait for the registry lock (15 s) more than once.
const double kStartLimitSeconds = 60;
// A pipe process ends within moments of its terminate message; one that does
// not is killed after this.
const double kStopLimitSeconds = 30;
const double kRestartIntervalSeconds = 1;

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) { g_stopSignal = signal; }

// SIGCHLD only has to interrupt pselect(); the pipes are reaped afterwards.
void OnChildSignal(int) {}

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

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
        case SIGKILL: return "SIGKILL";
        case SIGSEGV: return "SIGSEGV";
        case SIGABRT: return "SIGABRT";
        default: return "signal " + std::to_string(signal);
    }
}

std::string EndText(int status) {
    if (WIFSIGNALED(status)) return "was killed by " + SignalName(WTERMSIG(status));
    switch (WEXITSTATUS(status)) {
        case kPipeStoppedBySignal: return "was stopped by a signal";
        case kPipeNotCreated: return "could not create its pipe";
        case kPipeEndedByMessage: return "ended on a terminate message that no signal asked for";
        default: return "failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    }
}

bool EndedCleanly(int status) {
    return WIFEXITED(status) &&
           (WEXITSTATUS(status) == kPipeStoppedBySignal || WEXITSTATUS(status) == kPipeEndedByMessage);
}

}  // namespace

Supervisor::Supervisor(const ServerOptions& options, const ServerLog& log)
    : m_options(options), m_log(log), m_pipes(size_t(options.pipes)) {
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
    while (!AllEnded()) {
        WaitForEvent();
        HandleStopSignal();
        ReadReports();
        ReapPipes();
        CheckDeadlines();
        RestartDuePipes();
    }
    if (m_readyFileWritten) unlink(m_options.readyPath.c_str());
    m_log.Line("velmox-server " + std::to_string(getpid()) + " stopped");
    return m_exitStatus;
}

// The stop signals and SIGCHLD stay blocked but while pselect() waits; pipe
// processes inherit the blocked stop signals, so none is lost before their
// watcher runs.
void Supervisor::PrepareSignals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, &m_waitMask);
    sigdelset(&m_waitMask, SIGTERM);
    sigdelset(&m_waitMask, SIGINT);
    sigdelset(&m_waitMask, SIGCHLD);
    Handle(SIGTERM, OnStopSignal);
    Handle(SIGINT, OnStopSignal);
    Handle(SIGCHLD, OnChildSignal);
}

bool Supervisor::StartPipe(size_t k) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(nullptr);
    pid_t self = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) RunPipe(fds[1], self);
    close(fds[1]);
    PipeProcess& p = m_pipes[k];
    p.pid = pid;
    p.report = fds[0];
    p.startedAt = Now();
    p.restartAt = -1;
    p.registered = false;
    return true;
}

void Supervisor::RunPipe(int report, pid_t supervisor) {
    for (const PipeProcess& other : m_pipes)
        if (other.report >= 0) close(other.report);
    StopWithSupervisor(supervisor);
    Handle(SIGTERM, SIG_DFL);
    Handle(SIGINT, SIG_DFL);
    Handle(SIGCHLD, SIG_DFL);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &child, nullptr);
    std::exit(RunPipeProcess(m_options, m_log, report));
}

// A supervisor killed outright cannot stop its pipes; they stop themselves
// then, as on SIGTERM, so that the last one removes the objects.
void Supervisor::StopWithSupervisor(pid_t supervisor) {
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    // Gone already before the request took effect.
    if (getppid() != supervisor) kill(getpid(), SIGTERM);
}

void Supervisor::WaitForEvent() {
    FD_ZERO(&m_readable);
    int highest = -1;
    for (const PipeProcess& p : m_pipes) {
        if (p.report < 0) continue;
        FD_SET(p.report, &m_readable);
        highest = std::max(highest, p.report);
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
double Supervisor::NextDeadline() const {
    double next = -1;
    auto consider = [&next](double t) { next = next < 0 ? t : std::min(next, t); };
    if (!m_ready && !m_stopping) consider(m_startDeadline);
    if (m_stopping) consider(m_stopDeadline);
    for (const PipeProcess& p : m_pipes)
        if (p.restartAt >= 0) consider(p.restartAt);
    return next;
}

void Supervisor::HandleStopSignal() {
    int signal = g_stopSignal;
    g_stopSignal = 0;
    if (signal == 0 || m_stopping) return;
    m_log.Line("velmox-server " + std::to_string(getpid()) + " stopping on " + SignalName(signal));
    BeginStop(signal);
}

void Supervisor::ReadReports() {
    for (size_t k = 0; k < m_pipes.size(); ++k)
        if (m_pipes[k].report >= 0 && FD_ISSET(m_pipes[k].report, &m_readable)) ReadReport(k);
    FD_ZERO(&m_readable);
}

// 'R': the pipe is registered. Anything else, or the end of the report, means
// the pipe process failed; its exit tells the rest.
void Supervisor::ReadReport(size_t k) {
    PipeProcess& p = m_pipes[k];
    char state = 0;
    ssize_t n = read(p.report, &state, 1);
    if (n < 0 && errno == EINTR) return;
    close(p.report);
    p.report = -1;
    if (n != 1 || state != 'R') return;
    p.registered = true;
    if (m_ready) m_log.Line(Describe(k) + " is serving again");
    else if (std::all_of(m_pipes.begin(), m_pipes.end(), [](const PipeProcess& q) { return q.registered; }))
        BecomeReady();
}

void Supervisor::ReapPipes() {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (size_t k = 0; k < m_pipes.size(); ++k)
            if (m_pipes[k].pid == pid) PipeEnded(k, status);
    }
}

void Supervisor::PipeEnded(size_t k, int status) {
    PipeProcess& p = m_pipes[k];
    std::string who = Describe(k);
    // A report still unread when SIGCHLD came first: the process is gone, so
    // reading cannot block.
    if (p.report >= 0) ReadReport(k);
    p.pid = 0;
    p.registered = false;
    if (m_stopping) {
        if (EndedCleanly(status)) return;
        m_log.Line(who + " " + EndText(status) + " while stopping");
        m_exitStatus = 1;
    } else if (!m_ready) {
        Fail(NotReadyText(who, status));
    } else {
        PipeEndedWhileRunning(k, who, status);
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

void Supervisor::RestartDuePipes() {
    if (m_stopping) return;
    double now = Now();
    for (size_t k = 0; k < m_pipes.size(); ++k) {
        PipeProcess& p = m_pipes[k];
        if (p.restartAt < 0 || now < p.restartAt) continue;
        if (!StartPipe(k)) {
            m_log.Line("cannot restart pipe process " + std::to_string(k) + ": " + std::strerror(errno));
            p.restartAt = now + kRestartIntervalSeconds;
        }
    }
}

void Supervisor::CheckDeadlines() {
    double now = Now();
    if (!m_ready && !m_stopping && now > m_startDeadline)
        Fail("the pipes of base name " + m_options.base + " were not registered within " +
             std::to_string(int(kStartLimitSeconds)) + " s");
    if (m_stopping && now > m_stopDeadline) KillRemaining();
}

void Supervisor::BeginStop(int signal) {
    m_stopping = true;
    m_stopDeadline = Now() + kStopLimitSeconds;
    for (PipeProcess& p : m_pipes) {
        p.restartAt = -1;
        if (p.pid > 0) kill(p.pid, signal);
    }
}

void Supervisor::KillRemaining() {
    for (size_t k = 0; k < m_pipes.size(); ++k) {
        if (m_pipes[k].pid <= 0) continue;
        m_log.Line(Describe(k) + " did not stop in time; killing it");
        kill(m_pipes[k].pid, SIGKILL);
    }
    m_exitStatus = 1;
    m_stopDeadline = Now() + kStopLimitSeconds;
}

bool Supervisor::AllEnded() const {
    return m_stopping && std::none_of(m_pipes.begin(), m_pipes.end(), [](const PipeProcess& p) { return p.pid > 0; });
}

void Supervisor::BecomeReady() {
    m_ready = true;
    m_log.Line("velmox-server " + std::to_string(getpid()) + " ready: " + std::to_string(m_pipes.size()) +
               " pipes of base name " + m_options.base);
    if (!m_options.readyPath.empty()) WriteReadyFile();
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

std::string Supervisor::Describe(size_t k) const {
    return "pipe process " + std::to_string(k) + " (pid " + std::to_string(m_pipes[k].pid) + ")";
}
