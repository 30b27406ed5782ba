// The real gateway program against the real sample server task under the
// gateway's fixed pipe name, for the stress, crash and limit suites: tagged
// requests whose pages tell whose answer they are, gateway runs that are
// always bounded, and looks into the registry (its consistency, the claims,
// the free-server count and who holds which lock) that never take a lock
// a stopped process may hold.
#ifndef VELMOX_TESTS_GATEWAY_HARNESS_H
#define VELMOX_TESTS_GATEWAY_HARNESS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mempipe.h"
#include "server_process.h"

namespace gwtest {

using ipctest::kPipeName;
// The head of every answer of the sample server.
extern const std::string kAnswerHead;
// The gateway's own pages (header and heading) for a failed exchange and
// for any other failure, as they follow a trace; without one, each goes out
// after its status line (StatusLine: 503 for the first, 400, 413 or 500
// for the second).
extern const std::string kCommunicationPage;
extern const std::string kExceptionPage;
// "Status: <status>\n".
std::string StatusLine(const char* status);

using Env = std::vector<std::pair<std::string, std::string>>;

// A request of one of the five commands (kind 0..4: Save, Compose, Search,
// ImageMap, RunAgent) whose path and referrer carry `tag`; the sample
// server's page shows both, so a page names the request it answers.
struct TaggedRequest {
    std::string command;
    std::string path;
    std::string tag;
    Env env;
    std::string body;
};
TaggedRequest Tagged(int kind, const std::string& tag);

// One run of the gateway program as a web server runs it: exactly the given
// CGI variables (and the sanitizers' options), the body on standard input,
// an empty working directory (no velmox.ini). Standard error goes into the
// output too, so that any stray text shows.
class Gateway {
public:
    Gateway() = default;
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;
    // A gateway still running is killed and reaped.
    ~Gateway();

    bool Start(const Env& env, const std::string& body = "");
    bool Start(const TaggedRequest& request) { return Start(request.env, request.body); }

    // Starts the gateway under ptrace(2), held at its start. Step() then
    // lets it run to the end of its next system call; from the first System
    // V call on, each such end is a step, a boundary between two of its moves
    // on the pipe. False when the process ended instead (or did not stop
    // within `seconds`).
    bool StartTraced(const TaggedRequest& request);
    bool Step(double seconds);
    // Steps taken since the first System V call began.
    int steps() const { return m_steps; }
    // Ends the tracing where the gateway stands: with 0 it runs on; SIGKILL
    // kills it; SIGTERM or SIGSTOP reach it before it runs any further.
    bool Release(int signal);
    // Reads the output to its end and reaps the process, both within
    // `seconds`; a gateway still running then is killed. False when it was.
    bool Finish(double seconds);

    pid_t pid() const { return m_pid; }
    const std::string& output() const { return m_output; }
    // The exit status, 128 + signal when a signal ended it, -1 before Finish.
    int status() const { return m_status; }
    bool hung() const { return m_hung; }
    // Milliseconds from Start to the end of Finish.
    long long elapsedMs() const { return m_elapsedMs; }

private:
    bool Launch(const Env& env, const std::string& body, bool traced);
    // Resumes the traced process and waits for its next stop; false when it
    // ended (its status kept) or did not stop in time.
    bool Resume(int request, int signal, double seconds, int* stopSignal);

    pid_t m_pid = -1;
    bool m_traced = false;
    bool m_ipcBegun = false;
    int m_steps = 0;
    int m_pendingSignal = 0;  // a signal of its own, passed on at the next resume
    bool m_ended = false;     // reaped while traced
    int m_endStatus = 0;
    int m_out = -1;
    std::string m_bodyFile;
    std::string m_output;
    int m_status = -1;
    bool m_hung = false;
    long long m_startMs = 0;
    long long m_elapsedMs = 0;
};

// What a tagged request got back.
enum class Outcome {
    Served,         // its own page, whole, exit status 1
    Communication,  // the communication error page (503), exit status 1
    Exception,      // the general error page (400, 413 or 500), exit status 1
    Foreign,        // a page that answers another request
    Malformed,      // anything else: cut, mixed, stray text, another status
    Hung,           // still running at the bound: killed
    Killed,         // a signal ended it
};
const char* OutcomeName(Outcome outcome);
Outcome Judge(const TaggedRequest& request, const Gateway& run);
// True when `output` is the whole page that answers `request`.
bool IsOwnPage(const TaggedRequest& request, const std::string& output);
// The tag the page answers, "" when it is no page of the sample server.
std::string TagOf(const std::string& page);
// The pipe slot that served the page, -1 when it names none.
int ServedSlot(const std::string& page);

// Start and Finish of one gateway for a tagged request.
Outcome RunTagged(const TaggedRequest& request, double seconds, std::string* output = nullptr);

// ------------------------------------------------------------ the registry

// A System V semaphore member as it stands.
struct SemState {
    int value = -1;
    int lastPid = -1;  // the process of the last operation on it
    int waiting = -1;  // processes waiting to take it
};
// The registry lock (member 0 of the set keyed by the base name).
SemState RegistryLockState(const std::string& base = kPipeName);
// The mutex of a server pipe.
SemState ServerMutexState(int slot, const std::string& base = kPipeName);

// The registry block and the free-server count as they stand. Read without
// the registry lock unless `locked`: a stopped process may hold the lock.
struct RegistryView {
    bool present = false;
    ServerList list{};
    int freeCount = -1;

    // What makes the block inconsistent (a slot half-written, a count that
    // does not match its slots); empty when it is sound.
    std::string Problems() const;
    // Registered slots whose server process lives.
    std::vector<int> LiveSlots() const;
    // Live slots a client may claim now: idle ones, and those claimed by a
    // process that is gone (a client takes them over).
    int Ready() const;
    // Live slots claimed by a live process other than their server.
    int ClaimedByLive() const;
    // The slot that pid has claimed, -1 when none.
    int SlotClaimedBy(pid_t pid) const;
    std::string Describe() const;
};
RegistryView ReadRegistry(bool locked = false, const std::string& base = kPipeName);

// True once the process is stopped (by SIGSTOP).
bool IsStopped(pid_t pid);

// Waits (bounded) until the registry is at rest: `pipes` live servers, none
// claimed by a live client, the free-server count equal to the slots that
// can be claimed, the block consistent. False with the last view in *why.
bool WaitAtRest(int pipes, double seconds, std::string* why);

using ipctest::ClaimPipeName;

// Fixture of the suites on the fixed pipe name: the pipe name to itself, the
// test process adopts orphaned pipe processes (so that killed ones are
// reaped), a sample server task under the pipe name, and at the end every
// process is ended, no object of the name may be left, and the server's
// files are removed.
class FixedPipeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    srvtest::ServerRun& server() { return *m_server; }
    // Starts the sample server with `pipes` pipes and waits until they serve.
    void StartServer(int pipes);
    // SIGTERM to the server; it must stop cleanly and leave nothing.
    void StopServerCleanly();
    // Pids of the server's live pipe processes, in slot order.
    std::vector<int> PipePids();
    // Runs `count` tagged requests one after another; each must get its own
    // page within the bound.
    void ExpectServed(int count, const std::string& what);
    void ExpectNothingLeft();
    // Objects of the pipe name, for messages.
    std::string Objects();

private:
    std::unique_ptr<srvtest::ServerRun> m_server;
    int m_served = 0;
};

}  // namespace gwtest

#endif
