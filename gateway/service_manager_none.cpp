// The statically linked CGI program (velmox.cgi): built without libsystemd.
#include "service_manager.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

// Sockets are this process's only when LISTEN_PID names it (a CGI run under
// a socket-activated web server may inherit the variables of its parent).
int ServiceListenSocket(std::string* error) {
    const char* pid = std::getenv("LISTEN_PID");
    if (std::getenv("GATEWAY_INTERFACE") || !std::getenv("LISTEN_FDS") || !pid ||
        std::to_string(getpid()) != pid)
        return -1;
    *error = "systemd passed sockets, which this velmox.cgi cannot take: it is linked statically, without "
             "libsystemd; run velmox-fcgi for socket activation (the packaged velmox-fcgi.service does), or "
             "pass the socket as standard input (StandardInput=socket)";
    return -2;
}

void ServiceReady(const std::string&) {}
void ServiceReloading() {}
void ServiceStopping() {}
