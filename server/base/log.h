// The server's log: a line at the start and at the stop, one per request, and
// one whenever a pipe process ends unexpectedly or comes back. Each line is
// one write() to a descriptor opened for appending, so the lines of all pipe
// processes stay whole when they share the file. Lines begin with the local
// time, but on a standard error that is systemd's journal (JOURNAL_STREAM),
// which has a time of its own for each line.
#ifndef VELMOX_SERVER_LOG_H
#define VELMOX_SERVER_LOG_H

#include <cstddef>
#include <string>

// The pipe that made a page or a log line: shown on it, so that a client can
// tell pipes apart.
struct ServedBy {
    int slot;
    int pid;
};

class Cmd;

class ServerLog {
public:
    // Writes to standard error until Open succeeds.
    ServerLog();
    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;
    ~ServerLog();

    // Opens (creates) path for appending; false, with errno set, when it
    // cannot be opened.
    bool Open(const std::string& path);
    // Opens the file of Open anew, after a log rotation renamed it: the
    // following lines go to a new file of that name. Safe while other
    // threads write lines. False, with errno set, when it cannot be opened
    // (the lines still go to the old file); true and nothing done without a
    // file.
    bool Reopen() const;
    // Writes the local time, a blank and text as one line. Never fails: a
    // line that cannot be written is lost.
    void Line(const std::string& text) const;

private:
    int m_fd = 2;
    std::string m_path;
    bool m_stamp = true;  // lines begin with the local time
};

// A request value as a log line shows it: in double quotes, printable ASCII
// as it is (quote and backslash escaped), every other byte as \xNN, cut after
// `limit` characters of the value with "..." added.
std::string LogValue(const char* text, size_t limit);

// The line of one request: pipe slot, pid, command, REMOTE_ADDR, PATH_INFO,
// QUERY_STRING and the length of the answer, NUL included.
std::string RequestLine(const ServedBy& servedBy, const Cmd& cmd, size_t answerLength);
// The line of a request slower than --slow-ms: pipe slot, pid, the client's
// pid (-1 when not known), command, PATH_INFO and the milliseconds from the
// request taken to its answer.
std::string SlowRequestLine(const ServedBy& servedBy, const Cmd& cmd, int clientPid, long durationMs);
// The line of a request that could not be read back into a command.
std::string DamagedRequestLine(const ServedBy& servedBy, const std::string& reason, size_t requestLength,
                               size_t answerLength);

#endif
