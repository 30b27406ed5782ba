// Test helpers for the sample server task and the registry tool: the real
// programs run in processes of their own with bounded waits, a client that
// sends commands under a test's own base name, and page cells.
#ifndef VELMOX_TESTS_SERVER_PROCESS_H
#define VELMOX_TESTS_SERVER_PROCESS_H

#include <sys/types.h>

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc_harness.h"
#include "mempipe.h"

class Cmd;

namespace srvtest {

// The velmox-server built with the tests.
extern const char* const kServerProgram;

using kit::ReadFile;
using kit::WaitUntil;

// A program run to its end within a bound (30 s unless given), its output
// captured; the status as proc::Wait gives it.
using proc::Finished;
Finished RunToEnd(const std::vector<std::string>& argv, double seconds = 30);

// velmox-server under a base name, in a process group of its own, with its
// log, ready file and standard error in files next to the base name. It
// serves the field inspector's pages (--inspect) unless UseMailStore names a
// database.
class ServerRun {
public:
    explicit ServerRun(std::string base) : m_base(std::move(base)) {}
    ~ServerRun();

    // The following starts serve the mail store kept in `database`; `prefix`
    // (a program and its arguments, such as setpriv) runs the server. Its
    // requests without a user share the public mailbox (--public) unless
    // `users` says that the test is about users.
    void UseMailStore(const std::string& database, const std::vector<std::string>& prefix = {}, bool users = false) {
        m_database = database;
        m_prefix = prefix;
        m_users = users;
    }
    // The following starts run `program` instead of the velmox-server built
    // with the tests.
    void UseProgram(const std::string& program) { m_program = program; }
    // Starts the server and waits (bounded) for its ready file to hold its pid.
    bool Start(int pipes = 3, const std::vector<std::string>& extra = {});
    // Sends signal to the server and waits for it; its exit status, or -1 when
    // it had to be killed.
    int Stop(int signal = SIGTERM, double seconds = 60);
    // Waits for the server to end by itself; its exit status as Stop gives it.
    int Wait(double seconds = 60);
    // SIGKILL to the whole process group; waits for every process of it.
    void KillAll();

    pid_t pid() const { return m_pid; }
    bool running() const { return m_pid > 0; }
    std::string Log() const { return ReadFile(LogPath()); }
    std::string Stderr() const { return ReadFile(m_base + ".err"); }
    std::string LogPath() const { return m_base + ".log"; }
    std::string ReadyPath() const { return m_base + ".ready"; }
    // Removes the files next to the base name.
    void RemoveFiles() const;
    // The end of a test: a server still running fails it and is killed;
    // the files are removed.
    void Finish();

private:
    std::string m_base;
    std::string m_database;
    std::vector<std::string> m_prefix;
    bool m_users = false;
    std::string m_program = kServerProgram;
    pid_t m_pid = -1;
};

using ipctest::LiveServers;
using ipctest::Registered;


// One exchange under base with raw request bytes; false when the call failed.
bool Exchange(const std::string& base, const std::string& request, std::string& answer);
// The command as the gateway sends it: its tag, then the command.
std::string Message(Cmd& cmd);

// The text of a <td id="id"> of a page (kit.h).
using kit::Cell;
// Lines of text that contain `part`.
int CountLines(const std::string& text, const std::string& part);

// Fixture: a base name of the test's own; the test process adopts orphaned
// pipe processes, so that killed ones are reaped at once; at the end the
// server is killed if still running, and every object and file removed.
class ServerTest : public ipctest::IpcTest {
protected:
    void SetUp() override;
    void TearDown() override;

    ServerRun& server() { return *m_server; }

private:
    std::unique_ptr<ServerRun> m_server;
};

}  // namespace srvtest

#endif
