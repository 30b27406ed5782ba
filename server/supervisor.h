// The server's parent process: starts one process per pipe, restarts a pipe
// process that dies (at most once a second each), and on SIGTERM or SIGINT
// passes the signal on to every pipe process and waits for all of them.
//
// It is single-threaded and keeps SIGTERM, SIGINT and SIGCHLD blocked except
// while it waits in pselect(), so their handlers only ever run there. Pipe
// processes are born with the stop signals blocked; each takes them in a
// thread of its own.
#ifndef VELMOX_SERVER_SUPERVISOR_H
#define VELMOX_SERVER_SUPERVISOR_H

#include <signal.h>
#include <sys/select.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "options.h"

class ServerLog;

class Supervisor {
public:
    Supervisor(const ServerOptions& options, const ServerLog& log);

    // Runs the server to its end. Returns the exit status: 0 after a stop
    // signal, 1 when the pipes could not be made or a pipe process had to be
    // killed.
    int Run();

private:
    struct PipeProcess {
        pid_t pid = 0;
        int report = -1;        // reads 'R' once the pipe is registered
        double startedAt = 0;
        double restartAt = -1;  // when a dead pipe process is due again
        bool registered = false;
    };

    void PrepareSignals();
    bool StartPipe(size_t k);
    [[noreturn]] void RunPipe(int report, pid_t supervisor);
    static void StopWithSupervisor(pid_t supervisor);

    void WaitForEvent();
    double NextDeadline() const;
    void HandleStopSignal();
    void ReadReports();
    void ReadReport(size_t k);
    void ReapPipes();
    void PipeEnded(size_t k, int status);
    std::string NotReadyText(const std::string& who, int status) const;
    void PipeEndedWhileRunning(size_t k, const std::string& who, int status);
    void RestartDuePipes();
    void CheckDeadlines();
    void BeginStop(int signal);
    void KillRemaining();
    bool AllEnded() const;

    void BecomeReady();
    void WriteReadyFile();
    void Fail(const std::string& text);
    std::string Describe(size_t k) const;

    const ServerOptions m_options;
    const ServerLog& m_log;
    std::vector<PipeProcess> m_pipes;
    sigset_t m_waitMask;
    fd_set m_readable;
    bool m_ready = false;
    bool m_readyFileWritten = false;
    bool m_stopping = false;
    double m_startDeadline = 0;
    double m_stopDeadline = 0;
    int m_exitStatus = 0;
};

#endif
