// The server's parent process: starts one process per pipe (pipe_launcher.h),
// restarts a pipe process that dies (at most once a second each), replaces
// them one at a time on SIGHUP, and on SIGTERM or SIGINT passes the signal
// on to every pipe process and waits for all of them.
//
// It is single-threaded and keeps SIGTERM, SIGINT, SIGHUP and SIGCHLD
// blocked except while it waits in pselect(), so their handlers only ever
// run there. Pipe processes are born with the stop signals blocked; each
// takes them in a thread of its own.
//
// Rolling restart (supervisor_restart.cpp). The n pipe processes stand in
// n places. A restart has a generation number; a place whose process is of
// an older generation is replaced so: a newcomer is started for it and,
// once it has reported its pipe registered and ready, the old process gets
// SIGTERM: it finishes the exchange it is in, withdraws and closes its pipe
// (a request that reached it untaken goes to another pipe), and ends; only
// then is the next place replaced. So n pipes serve at every moment but
// while an old one closes, and never fewer than n - 1. A place whose process
// died meanwhile is started anew from the program file and counts as
// replaced. A newcomer that fails to start (or is not ready within the
// start limit) ends the restart; the old processes serve on. A SIGHUP during
// a restart is kept (however many come) and starts another restart after it.
//
// Request timeout (supervisor_timeout.cpp; --request-timeout S). The pipes'
// counters (pipe_counters.h) tell since when each pipe serves its request.
// A request that has run S seconds ends its process: SIGTERM, SIGKILL after
// kTimeoutGraceSeconds, and a new process is started in its place at once
// (no once-a-second wait: the old one has served for S seconds). Its client
// finds its server gone and gets the communication page; the other pipes
// are not touched. The supervisor sleeps until the earliest moment a request
// can reach S, never longer than S, so it never polls.
//
// Stop. A pipe process that has not ended kStopLimitSeconds after the stop
// signal is killed, as is one whose request reaches the timeout meanwhile.
// A killed process leaves its slot in the registry and, when it ended last,
// the registry itself: once every process has ended, the supervisor opens
// and closes the registry as a server does, which removes what no live
// server uses.
//
// SIGUSR1 opens the log file anew here and, passed on, in every pipe process.
// Under systemd (service_notify.h) the supervisor says when the pipes serve,
// when a rolling restart begins and ends, and when it stops, and from its
// loop the status line (pipe_status.h: the figures of the counters) and the
// watchdog's keep-alive. Without counters, the requests come from what the
// pipe processes report on their report pipes.
#ifndef VELMOX_SERVER_SUPERVISOR_H
#define VELMOX_SERVER_SUPERVISOR_H

#include <signal.h>
#include <sys/select.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "pipe_counters.h"
#include "service_notify.h"

class PipeLauncher;
class ServerLog;

class Supervisor {
public:
    Supervisor(const ServerOptions& options, const ServerLog& log, const PipeLauncher& launcher);

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
        double killAt = -1;     // told to stop: killed if still there then
        bool registered = false;
        bool timedOut = false;  // its request ran into the timeout: SIGTERM sent, killAt set
        int generation = 0;     // the rolling restart it was started by
        uint64_t served = 0;    // requests answered, as last reported
    };

    // supervisor.cpp: start, crashes, stop.
    void PrepareSignals();
    bool StartPipe(size_t k);
    bool Launch(PipeProcess& p);
    std::vector<PipeProcess*> Processes();

    void WaitForEvent();
    double NextDeadline();
    void HandleStopSignal();
    void HandleRestartSignal();
    void HandleReopenSignal();
    void ReadReports();
    bool ReadReport(PipeProcess& p);
    void ReadServed(PipeProcess& p);
    void CloseReport(PipeProcess& p);
    void CountEnded(PipeProcess& p);
    void ReapPipes();
    void PipeEnded(size_t k, int status);
    std::string EndText(int status) const;
    std::string NotReadyText(const std::string& who, int status) const;
    void PipeEndedWhileRunning(size_t k, const std::string& who, int status);
    void RestartDuePipes();
    void CheckDeadlines();
    void BeginStop(int signal);
    void KillOverdue(PipeProcess& p, const std::string& who);
    bool AllEnded();
    void ClearAfterKills();

    void BecomeReady();
    void WriteReadyFile();
    void UpdateServiceStatus();
    std::string ServiceStatus(const std::string& state);
    void Fail(const std::string& text);
    std::string Describe(size_t k) const;

    // supervisor_restart.cpp: rolling restart.
    void RequestRestart();
    void BeginRestart();
    void ReplaceNext();
    void NewcomerReady();
    void NewcomerEnded(int status);
    void FinishRestart();
    void AbandonRestart(const std::string& why);
    void Retire(PipeProcess p);
    void LeaverEnded(size_t i, int status);
    void CheckRestartDeadlines(double now);
    bool Renewing(size_t k) const;

    // supervisor_timeout.cpp: the request timeout.
    void CheckRequestTimeouts();
    double RequestAge(const PipeProcess& p);
    void TimeOut(PipeProcess& p, const std::string& who, double age);
    void ReplaceTimedOut(size_t k, double age);

    const ServerOptions m_options;
    const ServerLog& m_log;
    const PipeLauncher& m_launcher;
    std::vector<PipeProcess> m_pipes;  // one per place
    PipeProcess m_newcomer;            // started for place m_newcomerFor
    size_t m_newcomerFor = 0;
    std::vector<PipeProcess> m_leaving;  // told to stop, no place any more
    sigset_t m_waitMask;
    fd_set m_readable;
    bool m_ready = false;
    bool m_readyFileWritten = false;
    bool m_stopping = false;
    double m_startDeadline = 0;
    double m_stopDeadline = 0;
    int m_exitStatus = 0;
    int m_generation = 0;
    bool m_restarting = false;
    bool m_restartQueued = false;
    pid_t m_awaitedLeaver = 0;  // the old process a restart waits for
    int m_replaced = 0;
    const ServiceNotifier m_notifier;
    double m_nextStatus = -1;        // when the status line is due; -1: never
    uint64_t m_servedByEnded = 0;    // requests answered by processes that ended
    PipeCounters m_counters;         // the pipes' counters, once they are registered
    bool m_countersMissing = false;  // said so once in the log
    double m_nextTimeoutCheck = -1;  // when a request can reach the timeout first; -1: never
    bool m_killed = false;           // a pipe process was killed: its objects may be left
};

#endif
