// The FastCGI mode's master process: the listening socket, the workers,
// and the signals. It serves no request itself; it waits for signals with
// sigtimedwait (all of them blocked), so that nothing it does can be cut in
// the middle.
//
//   SIGCHLD          a worker ended: one that ended without being asked is
//                    started again (after a second when it lived less than
//                    one, so that a worker that cannot start does not spin)
//   SIGHUP           velmox.ini is read again here and, through SIGHUP, by
//                    every worker before its next request
//   SIGTERM, SIGINT  every worker stops accepting and finishes its request;
//                    after kStopLimitSeconds the rest are killed
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "driver.h"
#include "fastcgi.h"
#include "fastcgi_listen.h"
#include "fastcgi_worker.h"
#include "pipe_limits.h"
#include "platform.h"
#include "service_manager.h"

namespace {

// A request in flight may wait a minute for a free server task, then make
// its exchange: the stop waits that long and a little more.
const int kStopLimitSeconds = int(kFreeServerWaitMs / 1000) + 15;

void Say(const char* format, const std::string& a = "", const std::string& b = "") {
    std::fprintf(stderr, "velmox.cgi[%d]: ", int(getpid()));
    std::fprintf(stderr, format, a.c_str(), b.c_str());
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string Status(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

void NoOp(int) {}

// Each worker holds up to `share` connections besides a few descriptors of
// its own: the soft limit is raised to the hard one when it is too low for
// that. False, said why, when even the hard limit is.
bool EnoughDescriptors(int share) {
    const rlim_t need = rlim_t(share) + 64;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= need) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < need) {
        Say("%s", std::to_string(share) + " connections a worker need " + std::to_string(need) +
                      " open files, more than the hard limit of " + std::to_string(limit.rlim_max) +
                      " (ulimit -n): fewer --max-connections, or more workers");
        return false;
    }
    limit.rlim_cur = need;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        Say("setrlimit RLIMIT_NOFILE to %s: %s", std::to_string(need), std::strerror(errno));
        return false;
    }
    return true;
}

struct Worker {
    pid_t pid = -1;
    double started = 0;
    double restartAt = 0;  // when pid is -1 and the master runs: when to start it
};

class Master {
public:
    Master(int listenFd, int count, const WorkerSettings& settings)
        : m_listenFd(listenFd), m_workers(size_t(count)), m_settings(settings) {}

    int Run() {
        sigemptyset(&m_signals);
        for (int s : {SIGCHLD, SIGHUP, SIGTERM, SIGINT}) sigaddset(&m_signals, s);
        sigprocmask(SIG_BLOCK, &m_signals, &m_before);
        signal(SIGCHLD, NoOp);  // a handler, so that SIGCHLD is queued
        signal(SIGPIPE, SIG_IGN);
        for (size_t i = 0; i < m_workers.size(); ++i) Start(m_workers[i]);
        ServiceReady(std::to_string(m_workers.size()) + " workers");
        bool killed = false;
        for (;;) {
            double now = Now();
            if (m_stopping && Alive() == 0) break;
            if (m_stopping && now >= m_deadline) {
                Say("%s", std::to_string(Alive()) + " worker(s) still busy after " +
                              std::to_string(kStopLimitSeconds) + " s: killed");
                for (Worker& w : m_workers)
                    if (w.pid > 0) kill(w.pid, SIGKILL);
                killed = true;
                while (Alive() > 0) Reap(true);
                break;
            }
            if (!m_stopping)
                for (Worker& w : m_workers)
                    if (w.pid < 0 && now >= w.restartAt) Start(w);
            double wait = m_stopping ? m_deadline - now : 1.0;
            timespec limit = {time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
            siginfo_t info;
            int got = sigtimedwait(&m_signals, &info, &limit);
            if (got == SIGCHLD) {
                Reap(false);
            } else if (got == SIGHUP) {
                ServiceReloading();
                g_debug = ReadDebugLevel("velmox.ini");
                Signal(SIGHUP);
                ServiceReady(std::to_string(m_workers.size()) + " workers, velmox.ini read again");
            } else if ((got == SIGTERM || got == SIGINT) && !m_stopping) {
                ServiceStopping();
                m_stopping = true;
                m_deadline = Now() + kStopLimitSeconds;
                Signal(SIGTERM);
            }
        }
        return killed ? 1 : 0;
    }

private:
    void Start(Worker& w) {
        pid_t master = getpid();
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            // A worker ends with its master, after its request.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != master) _exit(0);
            signal(SIGCHLD, SIG_DFL);
            sigset_t mask = m_before;
            for (int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&mask, s);
            sigprocmask(SIG_SETMASK, &mask, nullptr);
            std::exit(RunFastCgiWorker(m_listenFd, m_settings));
        }
        if (pid < 0) {
            Say("fork: %s", std::strerror(errno));
            w.restartAt = Now() + 1;
            return;
        }
        w.pid = pid;
        w.started = Now();
    }

    void Reap(bool block) {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, block ? 0 : WNOHANG)) > 0) {
            for (Worker& w : m_workers) {
                if (w.pid != pid) continue;
                w.pid = -1;
                double now = Now();
                if (!m_stopping) {
                    Say("worker %s ended (%s); starting another", std::to_string(pid), Status(status));
                    w.restartAt = now - w.started < 1.0 ? now + 1.0 : now;
                } else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
                    Say("worker %s ended (%s)", std::to_string(pid), Status(status));
                }
            }
            if (block) return;
        }
    }

    void Signal(int signal) {
        for (Worker& w : m_workers)
            if (w.pid > 0) kill(w.pid, signal);
    }

    int Alive() const {
        int n = 0;
        for (const Worker& w : m_workers) n += w.pid > 0;
        return n;
    }

    int m_listenFd;
    std::vector<Worker> m_workers;
    WorkerSettings m_settings;
    sigset_t m_signals, m_before;
    bool m_stopping = false;
    double m_deadline = 0;
};

const char kFastCgiUsage[] =
    "usage: velmox.cgi --fastcgi ADDRESS [-w N] [--log FILE] [--script-name PATH]\n"
    "                  [--idle-limit SECONDS] [--read-limit SECONDS] [--max-connections N]\n"
    "                  [--allow ADDRESS[,ADDRESS...]] [--metrics-path PATH] [--ping-path PATH]\n"
    "       (or, started by the web server with a listening socket as descriptor 0, the\n"
    "       same without --fastcgi); see velmox.cgi --help\n";

}  // namespace

int RunFastCgi(const FastCgiOptions& options, int listenFd) {
    int flags = fcntl(listenFd, F_GETFL);
    if (flags < 0 || fcntl(listenFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        Say("fcntl on the listening socket: %s", std::strerror(errno));
        return 1;
    }
    g_debug = ReadDebugLevel("velmox.ini");
    int workers = options.workers > 0 ? options.workers : DefaultFastCgiWorkers();
    std::string where = !options.address.empty() ? options.address
                        : listenFd == 0          ? std::string("the listening socket of descriptor 0")
                                                 : std::string("the listening socket systemd passed");
    // A TCP socket serves only the clients of --allow; the pipe's group
    // (velmox-server --group) keeps no local user from it.
    AllowList allow = AllowList::Loopback();
    std::string tcpAddress, error;
    bool tcp = IsTcpSocket(listenFd, &tcpAddress);
    if (!tcp && !options.allow.empty()) {
        Say("--allow is for a TCP socket; %s is not one (who may connect to a Unix socket is the file's permissions)",
            where);
        return 2;
    }
    if (!options.allow.empty() && !allow.Parse(options.allow, &error)) {
        Say("%s", error);
        return 2;
    }
    // The bound, shared out among the workers.
    int most = options.maxConnections > 0 ? options.maxConnections : kDefaultConnectionsPerWorker * workers;
    int share = (most + workers - 1) / workers;
    if (!EnoughDescriptors(share)) return 1;
    Say("FastCGI responder on %s, %s", where,
        std::to_string(workers) + " workers, at most " + std::to_string(most) + " connections (" +
            std::to_string(share) + " a worker), read limit " + std::to_string(options.readLimitSeconds) + " s");
    if (tcp)
        Say("warning: %s is a TCP socket, which every local user can connect to: only clients from %s are served "
            "(--allow); a Unix socket (--fastcgi PATH) is kept to the web server by its permissions",
            tcpAddress, allow.Text());
    WorkerSettings settings;
    settings.scriptName = options.scriptName;
    settings.idleLimitSeconds = options.idleLimitSeconds;
    settings.readLimitSeconds = options.readLimitSeconds;
    settings.maxConnections = share;
    settings.gatewayConnections = most;
    settings.allow = tcp ? &allow : nullptr;
    settings.status = options.status;
    Master master(listenFd, workers, settings);
    int status = master.Run();
    Say("stopped%s", status == 0 ? "" : " (requests were cut)");
    return status;
}

int FastCgiMain(int argc, char** argv, int inheritedFd) {
    FastCgiOptions options;
    std::string error;
    if (!ParseFastCgiOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "velmox.cgi: %s\n%s", error.c_str(), kFastCgiUsage);
        return 2;
    }
    if (!options.log.empty()) {
        // The web server's log when it gives its FastCGI programs no
        // standard error of use (lighttpd gives /dev/null in the background).
        int fd = open(options.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) {
            std::fprintf(stderr, "velmox.cgi: cannot append to %s: %s\n", options.log.c_str(), std::strerror(errno));
            return 1;
        }
        close(fd);
    }
    if (options.address.empty()) {
        if (inheritedFd < 0) {
            std::fprintf(stderr, "velmox.cgi: -w needs --fastcgi ADDRESS, or a listening socket as descriptor 0\n%s",
                         kFastCgiUsage);
            return 2;
        }
        return RunFastCgi(options, inheritedFd);
    }
    std::string unixPath;
    int fd = OpenListeningSocket(options.address, &unixPath, &error);
    if (fd < 0) {
        std::fprintf(stderr, "velmox.cgi: cannot listen on %s: %s\n", options.address.c_str(), error.c_str());
        return 1;
    }
    int status = RunFastCgi(options, fd);
    close(fd);
    if (!unixPath.empty()) unlink(unixPath.c_str());
    return status;
}
