// The gateway's side of systemd (velmox-fcgi.socket, velmox-fcgi.service):
// the listening socket that socket activation passes (LISTEN_FDS,
// LISTEN_PID), and the FastCGI master's notifications: READY=1 once its
// workers run, RELOADING=1 and READY=1 around a new reading of velmox.ini
// (SIGHUP), STOPPING=1 on the stop.
//
// Two builds of the same calls: velmox-fcgi, the gateway for the service,
// uses libsystemd's sd_listen_fds and sd_notify (service_manager.cpp); the
// CGI program velmox.cgi is linked statically, and Debian has no static
// libsystemd, so it takes no socket from systemd (service_manager_none.cpp):
// it says so and ends when one was passed to it, and notifies nothing.
// Without LISTEN_FDS and NOTIFY_SOCKET both do nothing at all.
#ifndef VELMOX_GATEWAY_SERVICE_MANAGER_H
#define VELMOX_GATEWAY_SERVICE_MANAGER_H

#include <string>

// The descriptor of the socket systemd passed to this process; -1 when it
// passed none; -2, with the cause in *error, when what it passed cannot be
// served (several sockets, one that is not a listening stream socket, or a
// gateway built without libsystemd).
int ServiceListenSocket(std::string* error);

// The master's notifications; status is the STATUS= text.
void ServiceReady(const std::string& status);
void ServiceReloading();
void ServiceStopping();

#endif
