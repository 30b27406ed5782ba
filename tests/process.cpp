#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <map>

extern char** environ;

namespace proc {

namespace {

std::vector<std::string> Environment(const Options& options) {
    std::map<std::string, std::string> vars;
    if (!options.cleanEnv) {
        for (char** e = environ; *e; ++e) {
            const char* eq = std::strchr(*e, '=');
            if (eq) vars[std::string(*e, size_t(eq - *e))] = eq + 1;
        }
    }
    for (const auto& v : options.env) vars[v.first] = v.second;
    std::vector<std::string> list;
    for (const auto& v : vars) list.push_back(v.first + "=" + v.second);
    return list;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& t : texts) pointers.push_back(&t[0]);
    pointers.push_back(nullptr);
    return pointers;
}

const char* OrNull(const std::string& path) { return path.empty() ? "/dev/null" : path.c_str(); }

const int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC;

// The quick way: no copy of the test process's memory.
pid_t StartSpawned(char* const* argv, char* const* envp, const Options& o) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (o.in >= 0) posix_spawn_file_actions_adddup2(&actions, o.in, 0);
    else posix_spawn_file_actions_addopen(&actions, 0, OrNull(o.inFile), O_RDONLY, 0);
    if (o.out >= 0) posix_spawn_file_actions_adddup2(&actions, o.out, 1);
    else posix_spawn_file_actions_addopen(&actions, 1, OrNull(o.outFile), kWriteFlags, 0644);
    if (o.errToOut) posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else if (o.err >= 0) posix_spawn_file_actions_adddup2(&actions, o.err, 2);
    else posix_spawn_file_actions_addopen(&actions, 2, OrNull(o.errFile), kWriteFlags, 0644);
    for (const auto& fd : o.moreFds) posix_spawn_file_actions_adddup2(&actions, fd.first, fd.second);
    if (!o.dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, o.dir.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (o.ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return failed ? -1 : pid;
}

void Redirect(int fd, int target, const std::string& path, int flags) {
    int opened = fd;
    if (fd < 0) {
        opened = open(OrNull(path), flags, 0644);
        if (opened < 0) _exit(126);
    }
    if (opened != target) {
        dup2(opened, target);
        if (fd < 0) close(opened);
    }
}

// The way for what posix_spawn cannot do: a parent-death signal, tracing,
// other credentials.
pid_t StartForked(char* const* argv, char* const* envp, const Options& o) {
    std::fflush(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) {
        if (pid > 0 && o.ownGroup) setpgid(pid, pid);
        return pid;
    }
    if (o.dieWithTest) {
        prctl(PR_SET_PDEATHSIG, o.deathSignal);
        if (getppid() != parent) _exit(125);
    }
    if (o.ownGroup) setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
    Redirect(o.in, 0, o.inFile, O_RDONLY);
    Redirect(o.out, 1, o.outFile, kWriteFlags);
    if (o.errToOut) dup2(1, 2);
    else Redirect(o.err, 2, o.errFile, kWriteFlags);
    for (const auto& fd : o.moreFds) dup2(fd.first, fd.second);
    if (!o.dir.empty() && chdir(o.dir.c_str()) != 0) _exit(126);
    if (o.asNobody && geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(125);
    // A change of credentials clears the parent-death signal: set it again.
    if (o.dieWithTest) {
        prctl(PR_SET_PDEATHSIG, o.deathSignal);
        if (getppid() != parent) _exit(125);
    }
    if (o.traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    execve(argv[0], argv, envp);
    _exit(127);
}

}  // namespace

pid_t Spawn(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        std::fflush(nullptr);
        _exit(code);
    }
    return pid;
}

pid_t Start(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty()) return -1;
    std::vector<std::string> args = argv;
    std::vector<std::string> env = Environment(options);
    std::vector<char*> argp = Pointers(args), envp = Pointers(env);
    bool quick = !options.dieWithTest && !options.traced && !options.asNobody;
    return quick ? StartSpawned(argp.data(), envp.data(), options) : StartForked(argp.data(), envp.data(), options);
}

int Wait(pid_t pid, double seconds) {
    if (pid <= 0) return -2;
    double deadline = kit::Now() + seconds;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -2;
        if (kit::Now() > deadline) {
            kill(-pid, SIGKILL);  // a group it leads, if any
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        usleep(2000);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

bool StillRunning(pid_t pid, double seconds) {
    double deadline = kit::Now() + seconds;
    while (kit::Now() < deadline) {
        siginfo_t info;
        info.si_pid = 0;
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) return false;
        usleep(2000);
    }
    return true;
}

int Stop(pid_t pid, double seconds, int signal) {
    if (pid <= 0) return -2;
    kill(pid, signal);
    return Wait(pid, seconds);
}

void KillGroup(pid_t pid, double seconds) {
    if (pid <= 0) return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    Wait(pid, seconds);
}

bool Ended(pid_t pid, int* status) {
    int ignored = 0;
    return pid > 0 && waitpid(pid, status ? status : &ignored, WNOHANG) == pid;
}

bool ReapGroup(pid_t group, double seconds) {
    double deadline = kit::Now() + seconds;
    for (;;) {
        while (waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        if (kill(-group, 0) != 0 && errno == ESRCH) return true;
        if (kit::Now() > deadline) return false;
        usleep(5000);
    }
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (!proc) return children;
    while (dirent* entry = readdir(proc)) {
        pid_t candidate = std::atoi(entry->d_name);
        if (candidate <= 0) continue;
        std::string stat = kit::ReadFile("/proc/" + std::to_string(candidate) + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == pid && state != 'Z')
            children.push_back(candidate);
    }
    closedir(proc);
    return children;
}

std::string ReadAll(int fd, double seconds) {
    std::string text;
    double deadline = kit::Now() + seconds;
    char buffer[65536];
    for (;;) {
        int left = int((deadline - kit::Now()) * 1000);
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    return text;
}

Finished Run(const std::vector<std::string>& argv, double seconds, Options options, const std::string& input) {
    Finished run;
    int in = -1, held = -1;
    if (options.inputStaysOpen) {
        int ends[2];
        if (input.size() > 65536 || pipe2(ends, O_CLOEXEC) != 0) std::abort();
        in = ends[0];
        held = ends[1];
        if (!input.empty() && write(held, input.data(), input.size()) != ssize_t(input.size())) std::abort();
    } else {
        char inPath[] = "/tmp/vxt-in.XXXXXX";
        in = mkstemp(inPath);
        if (in < 0) std::abort();
        unlink(inPath);
        if (!input.empty() && write(in, input.data(), input.size()) != ssize_t(input.size())) std::abort();
        lseek(in, 0, SEEK_SET);
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) std::abort();
    options.in = in;
    options.out = out[1];
    options.err = err[1];
    options.errToOut = false;
    double deadline = kit::Now() + seconds;
    pid_t pid = Start(argv, options);
    close(in);
    close(out[1]);
    close(err[1]);
    // Both pipes are drained together, so that neither fills while the
    // other is read.
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* texts[2] = {&run.out, &run.err};
    char buffer[65536];
    int open = 2;
    while (open > 0 && pid > 0) {
        int left = int((deadline - kit::Now()) * 1000);
        if (left <= 0) break;
        int ready = poll(fds, 2, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[k]->append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                fds[k].fd = -1;
                --open;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    run.status = Wait(pid, std::max(0.0, deadline - kit::Now()));
    if (held >= 0) close(held);
    return run;
}

}  // namespace proc
