#include "log.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "answer.h"
#include "cgi.h"
#include "cmd.h"
#include "textutil.h"

namespace {

// Enough to recognise a request; a query string can be as long as a message.
const size_t kShortValue = 64;
const size_t kLongValue = 200;

std::string LocalTime() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm parts;
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += size_t(n);
    }
}

std::string PipeFields(const ServedBy& servedBy) {
    return "pipe=" + std::to_string(servedBy.slot) + " pid=" + std::to_string(servedBy.pid);
}

// systemd names the stream it connected to standard error "DEV:INODE".
bool StandardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st;
    if (!stream || fstat(2, &st) != 0) return false;
    unsigned long long device = 0, inode = 0;
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == st.st_dev && inode == st.st_ino;
}

int OpenForAppending(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

}  // namespace

ServerLog::ServerLog() : m_stamp(!StandardErrorIsJournal()) {}

ServerLog::~ServerLog() {
    if (m_fd > 2) close(m_fd);
}

bool ServerLog::Open(const std::string& path) {
    int fd = OpenForAppending(path);
    if (fd < 0) return false;
    if (m_fd > 2) close(m_fd);
    m_fd = fd;
    m_path = path;
    m_stamp = true;
    return true;
}

// dup3 puts the new file under the same descriptor at once: a line being
// written goes whole to the one or the other.
bool ServerLog::Reopen() const {
    if (m_path.empty()) return true;
    int fd = OpenForAppending(m_path);
    if (fd < 0) return false;
    int error = dup3(fd, m_fd, O_CLOEXEC) < 0 ? errno : 0;
    close(fd);
    errno = error;
    return error == 0;
}

void ServerLog::Line(const std::string& text) const {
    WriteAll(m_fd, (m_stamp ? LocalTime() + " " : std::string()) + text + "\n");
}

std::string LogValue(const char* text, size_t limit) { return "\"" + LogText(text, limit, "\"") + "\""; }

std::string RequestLine(const ServedBy& servedBy, const Cmd& cmd, size_t answerLength) {
    return "request " + PipeFields(servedBy) + " command=" + CommandName(cmd) +
           " addr=" + LogValue(RequestValue(cmd, CGI::RemoteAddr), kShortValue) +
           " path=" + LogValue(RequestValue(cmd, CGI::PathInfo), kLongValue) +
           " query=" + LogValue(RequestValue(cmd, CGI::QueryString), kLongValue) +
           " answer=" + std::to_string(answerLength);
}

std::string SlowRequestLine(const ServedBy& servedBy, const Cmd& cmd, int clientPid, long durationMs) {
    return "slow request " + PipeFields(servedBy) + " client=" + std::to_string(clientPid) +
           " command=" + CommandName(cmd) + " path=" + LogValue(RequestValue(cmd, CGI::PathInfo), kLongValue) +
           " duration=" + std::to_string(durationMs) + "ms";
}

std::string DamagedRequestLine(const ServedBy& servedBy, const std::string& reason, size_t requestLength,
                               size_t answerLength) {
    return "request " + PipeFields(servedBy) + " command=- damaged=" + LogValue(reason.c_str(), kLongValue) +
           " length=" + std::to_string(requestLength) + " answer=" + std::to_string(answerLength);
}
