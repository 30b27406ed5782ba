// The core's look at processes: whether a server or client still lives.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "ipc_core.h"

namespace ipc {

bool ProcessMayExist(int pid) {
    // EPERM: the process is there but belongs to another user.
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

bool ProcessExists(int pid) {
    // EPERM: the process is there but belongs to another user.
    if (pid <= 0 || (kill(pid_t(pid), 0) != 0 && errno != EPERM)) return false;
    // A process that has ended but that its parent has not reaped yet still
    // answers kill(). It has let go of everything it held, and it will never
    // answer a request: it counts as gone, or its claim would keep clients
    // from a free server, and a client that claimed its slot would wait
    // until the parent comes to reap it.
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    // Not there: reaped meanwhile, or a system without /proc (kill() decides).
    if (fd < 0) return kill(pid_t(pid), 0) == 0 || errno == EPERM;
    char stat[512];
    ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n <= 0) return true;
    stat[n] = 0;
    // "pid (name) state ...": the name may hold anything, the state follows
    // the last closing parenthesis.
    const char* end = std::strrchr(stat, ')');
    return !(end && end[1] == ' ' && (end[2] == 'Z' || end[2] == 'X'));
}

uint32_t TickCount() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    return uint32_t(100 * local.tm_sec + 6000 * local.tm_min + 360000 * local.tm_hour);
}

}  // namespace ipc
