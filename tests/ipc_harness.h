// Test harness for the inter-process pipe: base names of the test's own,
// real forked processes with bounded waits, a scriptable server task, and a
// check through ipcs that no object of a base name is left.
#ifndef VELMOX_TESTS_IPC_HARNESS_H
#define VELMOX_TESTS_IPC_HARNESS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "pipe_access.h"
#include "pipe_limits.h"
#include "registry.h"
#include "process.h"

namespace ipctest {

// A base name under /tmp unique to this process and call.
std::string NewBaseName();

// The gateway's fixed pipe name: the suites that use it share the
// RESOURCE_LOCK velmox_pipe.
const char* const kPipeName = kGatewayPipeName;
// The registry's registered slots, read without reserving a server; empty
// when there is no registry.
std::vector<ServerID> Registered(const std::string& base);
// Server pids of the registered slots whose process lives.
std::vector<int> LiveServers(const std::string& base);
// Waits (bounded) until no live server task uses the fixed pipe name (some
// other run may be using it), then removes what a crashed one left. Returns
// why the name cannot be had, or "".
std::string ClaimPipeName(double seconds = 120);

// The semaphore sets and segments of a base name that exist, as lines
// "sem 0x<key> <key file>" or "shm 0x<key> <key file>"; empty when none is
// left. Each key file is looked up only as the kind of object it stands for:
// keys come from inode numbers, so under a parallel load a key of one base
// name can equal a key of another base name's object of the other kind.
std::vector<std::string> ObjectsLeft(const std::string& base);
// The lines, each ending in a line feed: for a failure message.
std::string Listing(const std::vector<std::string>& lines);

// Fails the test, listing them, when objects of a base name are left.
void ExpectNothingLeft(const std::string& base);

// Removes every object and key file of a base name (cleanup, never fails).
void RemoveEverything(const std::string& base);

// A local user for a child of a test that runs as root: no account needs to
// exist for its ids.
struct User {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;  // the supplementary groups, exactly
};
// Makes the calling process (a child) that user for good; false when the
// system refuses (the test does not run as root).
bool BecomeUser(const User& user);

// Runs body in a forked process and returns the text body returned; when
// the child fails or runs longer than `seconds` (then it is killed), a text
// that says so, starting with "child ".
std::string AskChild(const std::function<std::string()>& body, double seconds = 30);

// A server task in a child process running one pipe of `base` with a block
// of blockSize bytes. Requests are scripts (see ipc_harness.cpp):
//   "E..."      echo: answers "<slot>:" and the request
//   "N<n>"      answers n bytes 'a'..'z' repeated
//   "L"         answers the decimal length of the request as received
//   "S<ms>:..." sleeps ms milliseconds, then echoes
//   "H"         never answers
//   "Q"         echoes, then the process exits at once without closing
//   "Z<ms>"     echoes, then (memory pipe only) stays out of Connect for ms
//               milliseconds, still registered, closes its pipe and exits
// An empty request is the terminate message: answered with "bye", then the
// pipe is closed and the child exits 0.
struct Server {
    pid_t pid = -1;
    int control = -1;  // writing a byte here makes the server terminate itself
    bool Stop(double seconds = 20);  // terminate message, then bounded wait
};

// Starts a server and waits until it is registered; pid -1 on failure.
Server StartServer(const std::string& base, unsigned long blockSize = kPipeBlockSize, bool useSimplePipe = false);

// As StartServer (a memory pipe), the server a process of `user` whose pipe
// has `access`.
Server StartServerAs(const std::string& base, const User& user, const PipeAccess& access,
                     unsigned long blockSize = kPipeBlockSize);

// A server that answers every non-empty request with `answer`, byte for byte.
Server StartCannedServer(const std::string& base, unsigned long blockSize, const std::string& answer);

// One exchange from this process; returns Call's result.
int CallOnce(const std::string& base, const std::string& request, std::string* answer,
             unsigned long replySize = kPipeBlockSize, unsigned long* replyLen = nullptr);

// Fixture: a fresh base name per test; at the end every child still running
// is killed and the base name's objects and key files are removed.
class IpcTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    pid_t Track(pid_t pid);
    Server Track(Server server);
    void ExpectNothingLeft();

    std::string base;
    std::vector<pid_t> children;
};

}  // namespace ipctest

#endif
