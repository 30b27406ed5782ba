// The gateway for the service (velmox-fcgi): systemd through libsystemd.
#include "service_manager.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstring>

int ServiceListenSocket(std::string* error) {
    // Unset, so that nothing the gateway starts takes the socket for its own.
    int count = sd_listen_fds(1);
    if (count < 0) {
        *error = std::string("sd_listen_fds: ") + std::strerror(-count);
        return -2;
    }
    if (count == 0) return -1;
    if (count > 1) {
        *error = "systemd passed " + std::to_string(count) +
                 " sockets; the gateway serves one (a single ListenStream= in its socket unit)";
        return -2;
    }
    if (sd_is_socket(SD_LISTEN_FDS_START, AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
        *error = "the socket systemd passed (descriptor 3) is not a listening stream socket";
        return -2;
    }
    return SD_LISTEN_FDS_START;
}

void ServiceReady(const std::string& status) { sd_notify(0, ("READY=1\nSTATUS=" + status).c_str()); }

void ServiceReloading() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long usec = (unsigned long long)now.tv_sec * 1000000ull + (unsigned long long)now.tv_nsec / 1000ull;
    sd_notify(0, ("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec)).c_str());
}

void ServiceStopping() { sd_notify(0, "STOPPING=1"); }
