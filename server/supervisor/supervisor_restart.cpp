// The supervisor's rolling restart (see supervisor.h for the whole story).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "log.h"
#include "pipe_launcher.h"
#include "supervisor.h"
#include "supervisor_limits.h"

// SIGHUP. While the server starts or a restart runs, it is kept for later;
// more of them meanwhile make one restart, which takes the program file as
// it is when that restart begins.
void Supervisor::RequestRestart() {
    if (m_stopping) return;
    if (m_options.pipes >= kMaxPipes) {
        m_log.Line("SIGHUP: no rolling restart with " + std::to_string(kMaxPipes) +
                   " pipes, as a new pipe process needs a free registry slot; stop and start the server instead");
        return;
    }
    if (m_restarting || !m_ready) {
        if (!m_restartQueued)
            m_log.Line(std::string("SIGHUP during ") + (m_restarting ? "a rolling restart" : "the start") +
                       ": a rolling restart follows it");
        m_restartQueued = true;
        return;
    }
    BeginRestart();
}

void Supervisor::BeginRestart() {
    m_restarting = true;
    ++m_generation;
    m_replaced = 0;
    m_log.Line("velmox-server " + std::to_string(getpid()) + " rolling restart of " + std::to_string(m_pipes.size()) +
               " pipes from " + m_launcher.Program());
    m_notifier.Reloading(ServiceStatus("rolling restart"));
    ReplaceNext();
}

// Starts the newcomer for the lowest place whose process is older than this
// restart; a place with no process is started anew when due, from the file
// as it is then, and needs no newcomer.
void Supervisor::ReplaceNext() {
    for (size_t k = 0; k < m_pipes.size(); ++k) {
        const PipeProcess& p = m_pipes[k];
        if (p.pid <= 0 || p.generation >= m_generation) continue;
        if (!Launch(m_newcomer)) {
            AbandonRestart("cannot start a new pipe process: " + std::string(std::strerror(errno)));
            return;
        }
        m_newcomerFor = k;
        return;
    }
    FinishRestart();
}

// The newcomer serves: it takes its place, and the old process there is
// told to finish and end. The next place waits until it has ended.
void Supervisor::NewcomerReady() {
    size_t k = m_newcomerFor;
    PipeProcess old = m_pipes[k];
    m_pipes[k] = m_newcomer;
    m_newcomer = PipeProcess();
    ++m_replaced;
    if (old.pid > 0) {
        m_log.Line(Describe(k) + " serves in the place of pid " + std::to_string(old.pid) +
                   ", which finishes its request and ends");
        m_awaitedLeaver = old.pid;
        Retire(old);
        return;
    }
    if (old.report >= 0) close(old.report);
    m_log.Line(Describe(k) + " serves in the place of a pipe process that ended");
    ReplaceNext();
}

// The newcomer ended before it served.
void Supervisor::NewcomerEnded(int status) {
    pid_t pid = m_newcomer.pid;
    CountEnded(m_newcomer);
    m_newcomer = PipeProcess();
    if (m_stopping) {
        if (!EndedCleanly(status)) m_log.Line("new pipe process (pid " + std::to_string(pid) + ") " + EndText(status));
        return;
    }
    AbandonRestart("the new pipe process (pid " + std::to_string(pid) + ") " + EndText(status));
}

void Supervisor::FinishRestart() {
    m_restarting = false;
    m_log.Line("velmox-server " + std::to_string(getpid()) + " rolling restart done: " + std::to_string(m_replaced) +
               " pipe processes replaced");
    m_notifier.Ready(ServiceStatus("serving"));
    if (m_restartQueued) {
        m_restartQueued = false;
        BeginRestart();
    }
}

void Supervisor::AbandonRestart(const std::string& why) {
    m_restarting = false;
    m_log.Line("rolling restart stopped: " + why + "; the other pipe processes serve on");
    m_notifier.Ready(ServiceStatus("serving"));
    if (m_newcomer.pid > 0) {
        PipeProcess newcomer = m_newcomer;
        m_newcomer = PipeProcess();
        Retire(newcomer);
    }
    if (m_restartQueued) {
        m_restartQueued = false;
        BeginRestart();
    }
}

// SIGTERM: the process finishes the exchange it is in, withdraws, closes its
// pipe and ends (a process not yet serving does so as soon as it would).
// One that has not ended within the stop limit is killed (or sooner, once
// its request has run into the request timeout).
void Supervisor::Retire(PipeProcess p) {
    p.restartAt = -1;
    double killAt = Now() + kStopLimitSeconds;
    p.killAt = p.killAt >= 0 ? std::min(p.killAt, killAt) : killAt;
    kill(p.pid, SIGTERM);
    m_leaving.push_back(p);
}

void Supervisor::LeaverEnded(size_t i, int status) {
    PipeProcess p = m_leaving[i];
    m_leaving.erase(m_leaving.begin() + long(i));
    CountEnded(p);
    std::string who = "old pipe process (pid " + std::to_string(p.pid) + ")";
    if (p.timedOut) {
        m_log.Line("pipe process (pid " + std::to_string(p.pid) + "), whose request ran into the timeout, " +
                   EndText(status));
    } else if (!EndedCleanly(status)) {
        m_log.Line(who + " " + EndText(status) + " while it was stopping");
    } else if (!m_stopping) {
        m_log.Line(who + " has ended");
    }
    if (p.pid != m_awaitedLeaver) return;
    m_awaitedLeaver = 0;
    if (m_restarting && !m_stopping) ReplaceNext();
}

void Supervisor::CheckRestartDeadlines(double now) {
    bool late = m_newcomer.pid > 0 && !m_newcomer.registered && now > m_newcomer.startedAt + kStartLimitSeconds;
    if (late && !m_stopping)
        AbandonRestart("the new pipe process (pid " + std::to_string(m_newcomer.pid) + ") was not ready within " +
                       std::to_string(int(kStartLimitSeconds)) + " s");
}

bool Supervisor::Renewing(size_t k) const { return m_newcomer.pid > 0 && m_newcomerFor == k; }
