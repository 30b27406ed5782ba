// The tests' one way to run processes: a forked body, or a program with the
// standard streams, environment, working directory, process group, traced
// start and credentials a test asks for; their children and process groups.
// Every wait has a bound: a process still running at its bound is killed,
// with the process group it leads, and reaped. The clock: kit.h.
#ifndef VELMOX_TESTS_PROCESS_H
#define VELMOX_TESTS_PROCESS_H

#include <sys/types.h>

#include <csignal>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kit.h"

namespace proc {

// Runs body in a forked child, which exits with body's result (98 when it
// throws). -1 when the fork fails.
pid_t Spawn(const std::function<int()>& body);

struct Options {
    // The test's environment with these added, or these alone (cleanEnv).
    std::vector<std::pair<std::string, std::string>> env;
    bool cleanEnv = false;
    // Standard streams: a descriptor of the test's (>= 0), else a file; an
    // empty name is /dev/null. Output files are made or truncated.
    int in = -1, out = -1, err = -1;
    std::string inFile, outFile, errFile;
    bool errToOut = false;  // standard error goes where standard output goes
    // More descriptors handed down: (the test's, the number in the child).
    std::vector<std::pair<int, int>> moreFds;
    std::string dir;           // working directory ("" keeps the test's)
    bool ownGroup = false;     // leads a process group (KillGroup reaches its children)
    bool dieWithTest = false;  // killed when the test process dies
    int deathSignal = SIGKILL; // the signal dieWithTest sends (SIGINT: a server's fast shutdown)
    bool traced = false;       // traced from its start: stops at the exec
    bool asNobody = false;     // runs as uid and gid 65534 (from root): permission bits bind it
    // Run: the input on a pipe that stays open until the program ends, as
    // a web server's pipe to a CGI program whose body has not all come
    // (else a file that ends after the input). At most 64 KB of input.
    bool inputStaysOpen = false;
};

// Starts argv[0] (a path) with argv as its arguments. The child has every
// signal unblocked and at its default. -1 when it cannot be started.
pid_t Start(const std::vector<std::string>& argv, const Options& options = {});

// Waits for a child at most `seconds`. Its exit status, 128 + the signal
// that ended it, or -1 when it had to be killed.
int Wait(pid_t pid, double seconds);
// True when the child has not ended within `seconds` (it is left running).
bool StillRunning(pid_t pid, double seconds);
// Sends signal, then waits as Wait does.
int Stop(pid_t pid, double seconds, int signal = SIGTERM);
// SIGKILL to the group that pid leads and to pid; reaps pid.
void KillGroup(pid_t pid, double seconds = 10);
// True when the child has ended; it is then reaped, its wait status in
// *status. Never waits.
bool Ended(pid_t pid, int* status = nullptr);
// Waits until no process of `group` is left, reaping those that this
// process adopted (a child subreaper); false when some remain after
// `seconds`.
bool ReapGroup(pid_t group, double seconds);
// The living (not zombie) children of pid.
std::vector<pid_t> ChildrenOf(pid_t pid);

// What a program run to its end wrote, and its status as Wait gives it.
struct Finished {
    int status = -1;
    std::string out, err;
};
// Runs a program with `input` on its standard input and its output
// captured, within `seconds` (the streams of options are replaced).
Finished Run(const std::vector<std::string>& argv, double seconds, Options options = {},
             const std::string& input = "");

// Reads fd to its end, or until `seconds` have passed.
std::string ReadAll(int fd, double seconds);

}  // namespace proc

#endif
