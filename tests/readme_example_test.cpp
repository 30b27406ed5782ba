// The server-task example of the README, built from the README itself, run
// as a real process under a pipe name of the test's own: it answers commands
// (and damaged requests) and ends on the terminate message, leaving nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cmd_util.h"
#include "ipc_harness.h"
#include "mempipe.h"

using namespace ipctest;

namespace {

// True once a server of base is registered and idle, within the bound.
bool WaitForIdleServer(const std::string& base, double seconds) {
    for (double deadline = kit::Now() + seconds; kit::Now() < deadline; usleep(20000)) {
        ServerMonitor monitor;
        bool ready = monitor.Inspect(base.c_str()) && monitor.FreeServerCount() >= 1;
        monitor.Detach();
        if (ready) return true;
    }
    return false;
}

std::string WithNul(const std::string& text) { return text + '\0'; }

class ReadmeExample : public IpcTest {};

TEST_F(ReadmeExample, AnswersCommandsAndEndsOnTheTerminateMessage) {
    proc::Options options;
    options.env = {{"VELMOX_EXAMPLE_PIPE", base}};
    pid_t pid = Track(proc::Start({VELMOX_README_EXAMPLE}, options));
    ASSERT_TRUE(WaitForIdleServer(base, 30)) << "the example never registered";

    Request save({{"PATH_INFO", "/Save/Local/inbox"}, {"REQUEST_METHOD", "POST"}}, "a=1");
    struct Row { const char* what; std::string request; std::string answer; } rows[] = {
        {"a Save command", Serialise(*save.cmd), WithNul("Content-Type: text/plain\n\nhello from the server task\n")},
        {"an unknown command tag", std::string("\x63\0\0\0junk", 8), WithNul("Content-Type: text/plain\n\nbad request\n")},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string answer;
        ASSERT_EQ(1, CallOnce(base, r.request, &answer));
        EXPECT_EQ(r.answer, answer);
    }
    std::string bye;
    ASSERT_EQ(1, CallOnce(base, "", &bye));
    EXPECT_EQ(WithNul("bye"), bye);
    EXPECT_EQ(0, proc::Wait(pid, 20));
    ExpectNothingLeft();
}

}  // namespace
