#include "pipe_launcher.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "log.h"
#include "pipe_task.h"

namespace {

const char kDefaultPath[] = "/usr/local/bin:/usr/bin:/bin";

std::string WorkingDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    return WorkingDirectory() + "/" + path;
}

// The PATH entry that holds an executable `name`, as execvp finds it; ""
// when none does.
std::string SearchPath(const std::string& name) {
    const char* variable = std::getenv("PATH");
    std::string path = variable && *variable ? variable : kDefaultPath;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(':', start);
        std::string directory = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return "";
        start = end + 1;
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string RunningProgram() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

std::string ResolveProgram(const char* argv0) {
    std::string name = argv0 ? argv0 : "";
    if (!name.empty() && name.find('/') == std::string::npos) name = SearchPath(name);
    name = Absolute(name);
    if (!name.empty() && SameFile(name, "/proc/self/exe")) return name;
    std::string running = RunningProgram();
    return running.empty() ? name : running;
}

[[noreturn]] void RunChild(const std::string& program, std::vector<char*>& argv, int report, pid_t supervisor,
                           const ServerLog& log) {
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    // Gone already before the request took effect: the stop signal waits,
    // blocked, for the pipe's stop watcher.
    if (getppid() != supervisor) kill(getpid(), SIGTERM);
    fcntl(report, F_SETFD, 0);
    // Caught signals fall back to their defaults at exec; SIGHUP is ignored
    // for good, and only the stop signals stay blocked.
    std::signal(SIGHUP, SIG_IGN);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGCHLD);
    sigaddset(&unblock, SIGHUP);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    execv(program.c_str(), argv.data());
    log.Line("cannot start a pipe process from " + program + ": " + std::strerror(errno));
    _exit(kPipeNotStarted);
}

}  // namespace

PipeLauncher::PipeLauncher(const char* argv0, std::vector<std::string> args)
    : m_program(ResolveProgram(argv0)), m_args(std::move(args)) {}

pid_t PipeLauncher::Launch(int* report, const ServerLog& log) const {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    // Made before the fork: the child only calls exec.
    std::vector<std::string> args = {m_program};
    args.insert(args.end(), m_args.begin(), m_args.end());
    args.push_back("--pipe-process");
    args.push_back(std::to_string(fds[1]));
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t supervisor = getpid();
    pid_t pid = fork();
    if (pid == 0) RunChild(m_program, argv, fds[1], supervisor, log);
    int error = errno;
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        errno = error;
        return -1;
    }
    *report = fds[0];
    return pid;
}
