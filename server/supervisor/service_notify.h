// What the server tells systemd when a unit of Type=notify runs it
// (velmox-server.service): READY=1 once every pipe serves, RELOADING=1 while
// a rolling restart runs and READY=1 when it has ended, STOPPING=1 on the
// stop, a STATUS= line with the figures below, and WATCHDOG=1 from the
// supervisor's loop when the unit has WatchdogSec. Through libsystemd's
// sd_notify. Without NOTIFY_SOCKET in the environment (no service manager
// listens) every call does nothing and nothing is looked at.
#ifndef VELMOX_SERVER_SERVICE_NOTIFY_H
#define VELMOX_SERVER_SERVICE_NOTIFY_H

#include <cstdint>
#include <string>

// What the status line says.
struct ServiceFigures {
    std::string state;    // "serving", "rolling restart", "stopping", "starting"
    int pipes = 0;        // registered pipes
    int busy = -1;        // pipes serving a request now; -1: not known
    int idle = -1;        // pipes waiting for one; -1: not known
    int recovering = -1;  // pipes freed by a client that is gone, or closing; -1: not known
    uint64_t served = 0;  // requests answered since the start
    uint64_t timeouts = 0;  // requests ended by the request timeout
};

// The STATUS= text: "serving: 4 pipes (1 busy, 3 idle, 0 recovering), 1520
// requests served", then ", 2 timed out" when requests were ended by the
// request timeout. Built here alone.
std::string ServiceStatusText(const ServiceFigures& figures);

class ServiceNotifier {
public:
    ServiceNotifier();

    // True under a service manager that takes notifications.
    bool Active() const { return m_active; }
    // Seconds between two keep-alives (half the unit's WatchdogSec); 0 when
    // the service manager wants none.
    double KeepAliveSeconds() const { return m_keepAliveSeconds; }

    void Ready(const std::string& status) const;
    // The rolling restart begins; the time stamp goes with it.
    void Reloading(const std::string& status) const;
    void Stopping(const std::string& status) const;
    // The status line, with the watchdog's keep-alive when it wants them.
    void Update(const std::string& status) const;

private:
    void Send(const std::string& state) const;

    bool m_active = false;
    double m_keepAliveSeconds = 0;
};

#endif
