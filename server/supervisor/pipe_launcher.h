// How the supervisor starts a pipe process: fork, then exec of the program
// file as it is on disk at that moment, with the server's own options and
// the internal option --pipe-process FD (FD: the write end of the process's
// report pipe). A program file replaced since the start, by an upgrade, is
// the one that runs; /proc/self/exe would still be the file the server was
// started from, deleted or not.
//
// The child keeps SIGTERM and SIGINT blocked across exec (its stop watcher
// takes them), ignores SIGHUP (rolling restarts are the supervisor's
// business, also when SIGHUP goes to the whole process group), and gets
// SIGTERM when the supervisor dies.
#ifndef VELMOX_SERVER_PIPE_LAUNCHER_H
#define VELMOX_SERVER_PIPE_LAUNCHER_H

#include <sys/types.h>

#include <string>
#include <vector>

class ServerLog;

class PipeLauncher {
public:
    // argv0 as main got it, and the arguments every pipe process gets
    // (ServerOptions::pipeArguments). The program's
    // path is made absolute now: a bare name is looked up in PATH as the
    // shell did, a relative one is taken from the working directory.
    // Symbolic links are kept, so that an upgrade that switches a link is
    // followed. A name that does not lead to this program (a start with
    // another argv[0]) gives way to the file the system started.
    PipeLauncher(const char* argv0, std::vector<std::string> args);

    const std::string& Program() const { return m_program; }

    // Starts a pipe process. Returns its pid and in *report the read end of
    // its report pipe (close-on-exec); -1 with errno set when the pipe or
    // the fork failed. An exec that fails is logged by the child, which
    // then exits with kPipeNotStarted.
    pid_t Launch(int* report, const ServerLog& log) const;

private:
    std::string m_program;
    std::vector<std::string> m_args;
};

#endif
