// The thread of a pipe process that turns SIGTERM or SIGINT into the pipe's
// terminate message. The message must come from within the process while its
// serving loop waits for a request, so a thread of its own sends it.
//
// Signals: the process keeps SIGTERM, SIGINT and SIGUSR1 blocked in every
// thread, and this thread takes them with sigwait(); SIGUSR1 opens the log
// file anew. Once a second, between signals, it calls the tick it was given. The library's timed waits use the
// process's alarm timer; the serving thread blocks SIGALRM while this thread
// lives, so that the alarm interrupts this thread's waits and no other.
#ifndef VELMOX_SERVER_STOP_WATCHER_H
#define VELMOX_SERVER_STOP_WATCHER_H

#include <functional>
#include <mutex>
#include <string>
#include <thread>

class ServerLog;

class StopWatcher {
public:
    // Blocks SIGALRM in the calling thread and starts watching; tick runs in
    // the watcher's thread about once a second.
    StopWatcher(const std::string& base, const ServerLog& log, std::function<void()> tick);
    // Finish(), then SIGALRM is unblocked again in the calling thread.
    ~StopWatcher();
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;

    // True once a stop signal has arrived: the terminate message is coming.
    bool Stopping();
    // Ends watching when the pipe ends for another reason. False when a stop
    // signal came first: its terminate message must still be answered.
    bool Cancel();
    // Cancels, then waits for the thread.
    void Finish();

private:
    enum class State { Watching, Sending, Cancelled };

    void Run();
    void WaitForStopSignal();
    void SendTerminateMessage();

    const std::string m_base;
    const ServerLog& m_log;
    const std::function<void()> m_tick;
    std::mutex m_lock;
    State m_state = State::Watching;
    std::thread m_thread;
};

#endif
