#include "stop_watcher.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <utility>
#include <unistd.h>

#include "log.h"
#include "pipe_task.h"
#include "os.h"

namespace {

const int kSendAttempts = 5;
const useconds_t kRetryPauseUs = 200 * 1000;

void SetAlarmBlocked(bool blocked) {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &alarm, nullptr);
}

}  // namespace

StopWatcher::StopWatcher(const std::string& base, const ServerLog& log, std::function<void()> tick)
    : m_base(base), m_log(log), m_tick(std::move(tick)) {
    SetAlarmBlocked(true);
    m_thread = std::thread(&StopWatcher::Run, this);
}

StopWatcher::~StopWatcher() {
    Finish();
    SetAlarmBlocked(false);
}

bool StopWatcher::Stopping() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_state == State::Sending;
}

bool StopWatcher::Cancel() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_state == State::Sending) return false;
    m_state = State::Cancelled;
    return true;
}

void StopWatcher::Finish() {
    if (!m_thread.joinable()) return;
    // A cancelled watcher still sits in sigwait(): a signal of its own ends it.
    if (Cancel()) pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

// SIGUSR1 on the way: the log file is opened anew (a log rotation).
void StopWatcher::WaitForStopSignal() {
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGTERM);
    sigaddset(&wanted, SIGINT);
    sigaddset(&wanted, SIGUSR1);
    const struct timespec second = {1, 0};
    for (;;) {
        int signal = sigtimedwait(&wanted, nullptr, &second);
        if (signal < 0) {
            if (errno == EAGAIN && m_tick) m_tick();
            continue;
        }
        if (signal != SIGUSR1) return;
        if (!m_log.Reopen())
            m_log.Line("pipe process " + std::to_string(getpid()) + " cannot open its log file again: " +
                       std::strerror(errno));
    }
}

void StopWatcher::Run() {
    SetAlarmBlocked(false);
    WaitForStopSignal();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_state == State::Cancelled) return;
        m_state = State::Sending;
    }
    SendTerminateMessage();
}

// The message waits for an exchange in progress to end. Should it fail (the
// registry briefly locked by a hung process), it is tried again; a pipe that
// cannot be woken at all would never end, so the process ends instead.
void StopWatcher::SendTerminateMessage() {
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        SimplePipe sender;
        if (sender.SendTerminateMessage(m_base.c_str())) return;
        usleep(kRetryPauseUs);
    }
    m_log.Line("pipe process " + std::to_string(getpid()) + " cannot wake its pipe; ending without closing it");
    _exit(kPipeFailed);
}
