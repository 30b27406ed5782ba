// The supervisor's request timeout (see supervisor.h): from the pipes'
// counters, the age of each pipe process's request; one that has run
// --request-timeout seconds ends its process.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>

#include "log.h"
#include "supervisor.h"
#include "supervisor_limits.h"

namespace {

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

}  // namespace

// Due again when the oldest request still running reaches the limit, and
// at the latest one limit from now: a request taken after this look cannot
// reach it sooner.
void Supervisor::CheckRequestTimeouts() {
    if (m_options.requestTimeout <= 0) return;
    const double limit = m_options.requestTimeout;
    double now = Now();
    if (now < m_nextTimeoutCheck) return;
    m_nextTimeoutCheck = now + limit;
    auto due = [&](double age) {
        if (age >= limit) return true;
        if (age > 0) m_nextTimeoutCheck = std::min(m_nextTimeoutCheck, now + limit - age);
        return false;
    };
    for (size_t k = 0; k < m_pipes.size(); ++k) {
        double age = RequestAge(m_pipes[k]);
        if (due(age)) ReplaceTimedOut(k, age);
    }
    double age = RequestAge(m_newcomer);
    if (due(age)) TimeOut(m_newcomer, "new pipe process (pid " + std::to_string(m_newcomer.pid) + ")", age);
    for (PipeProcess& p : m_leaving) {
        age = RequestAge(p);
        if (due(age)) TimeOut(p, "old pipe process (pid " + std::to_string(p.pid) + ")", age);
    }
}

// Seconds the process's request has run; 0 while it waits for one, -1 when
// not known (not registered yet, ended by the timeout already, no counters).
double Supervisor::RequestAge(const PipeProcess& p) {
    if (p.pid <= 0 || !p.registered || p.timedOut) return -1;
    int slot = m_counters.SlotOf(p.pid);
    if (slot < 0) {
        // Not attached yet, or attached to the counters of a registry that
        // has been made anew since.
        m_counters.Detach();
        IpcFailure refusal;
        if (!m_counters.Open(m_options.base.c_str(), refusal)) {
            if (!m_countersMissing)
                m_log.Line("the request timeout is not kept: the pipes of base name " + m_options.base +
                           (m_counters.Refused() ? " have counters that are not the service's own"
                                                 : " keep no counters (VELMOX_COUNTERS=off?)"));
            m_countersMissing = true;
            return -1;
        }
        slot = m_counters.SlotOf(p.pid);
    }
    return slot < 0 ? -1 : double(m_counters.BusyFor(slot)) / 1e6;
}

// SIGTERM: should the handler still return, the process answers, closes
// its pipe and ends; else it is killed after the grace.
void Supervisor::TimeOut(PipeProcess& p, const std::string& who, double age) {
    int slot = m_counters.SlotOf(p.pid);
    m_log.Line("request timeout: " + who + " has served its request on pipe " + std::to_string(slot) + " for " +
               Seconds(age) + " s (the limit is " + std::to_string(m_options.requestTimeout) + " s); ending it");
    m_counters.RequestTimedOut(slot);
    p.timedOut = true;
    kill(p.pid, SIGTERM);
    double killAt = Now() + kTimeoutGraceSeconds;
    p.killAt = p.killAt >= 0 ? std::min(p.killAt, killAt) : killAt;
}

// The process leaves its place, which a new process takes at once; while
// the server stops, it keeps its place until it has ended.
void Supervisor::ReplaceTimedOut(size_t k, double age) {
    PipeProcess& p = m_pipes[k];
    TimeOut(p, Describe(k), age);
    if (m_stopping) return;
    m_leaving.push_back(p);
    p = PipeProcess();
    p.restartAt = Now();
}
