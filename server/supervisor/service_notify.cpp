#include "service_notify.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstdlib>

std::string ServiceStatusText(const ServiceFigures& figures) {
    std::string text = figures.state + ": " + std::to_string(figures.pipes) + (figures.pipes == 1 ? " pipe" : " pipes");
    if (figures.busy >= 0 && figures.idle >= 0) {
        text += " (" + std::to_string(figures.busy) + " busy, " + std::to_string(figures.idle) + " idle";
        if (figures.recovering >= 0) text += ", " + std::to_string(figures.recovering) + " recovering";
        text += ")";
    }
    text += ", " + std::to_string(figures.served) + (figures.served == 1 ? " request" : " requests") + " served";
    if (figures.timeouts > 0) text += ", " + std::to_string(figures.timeouts) + " timed out";
    return text;
}

ServiceNotifier::ServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    m_active = socket && *socket;
    if (!m_active) return;
    uint64_t usec = 0;
    // Only for the process that WATCHDOG_PID names, when it is set: not for
    // the pipe processes, which inherit the environment.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) m_keepAliveSeconds = double(usec) / 2e6;
}

void ServiceNotifier::Ready(const std::string& status) const { Send("READY=1\nSTATUS=" + status); }

void ServiceNotifier::Reloading(const std::string& status) const {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t usec = uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec) + "\nSTATUS=" + status);
}

void ServiceNotifier::Stopping(const std::string& status) const { Send("STOPPING=1\nSTATUS=" + status); }

void ServiceNotifier::Update(const std::string& status) const {
    Send((m_keepAliveSeconds > 0 ? "WATCHDOG=1\nSTATUS=" : "STATUS=") + status);
}

// A notification that cannot be sent changes nothing for the service: the
// manager that missed it says so in its own log.
void ServiceNotifier::Send(const std::string& state) const {
    if (m_active) sd_notify(0, state.c_str());
}
