// Load through a web server that runs the gateway, and the faults of the
// sample server task under it: the load tests (tests/load_test.cpp) and the
// fault benchmark (bench/run-all) run the same code, the benchmark longer.
//
// Clients are threads that send tagged requests over HTTP one after another
// (a fresh connection each). A request for /RunAgent/Local/load/TAG?TAG gets
// the field inspector's page, which shows the tag as the command's path and
// query; every answer is judged: its own page, whole, or the gateway's
// communication page, or a fault. Nothing here uses GoogleTest: a run
// returns what happened and the caller judges it.
#ifndef VELMOX_TESTS_LOAD_RUN_H
#define VELMOX_TESTS_LOAD_RUN_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kit.h"

namespace load {

// Where the gateway answers: http://host:port followed by `script`. With
// `saves`, each request is a Save to the web mail (POST /Save/Local/load,
// the tag its subject) instead, and its own page is the Saved page that
// names the tag.
struct Target {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string script = "/velmox.cgi";
    bool saves = false;
    // Sent with every request, for a web server that authenticates: the
    // Authorization header's value ("" none), and a Save form's token.
    std::string authorization;
    std::string token;
};

enum class Outcome {
    Served,         // HTTP 200 and the whole page of its own request
    Communication,  // HTTP 200 and the gateway's communication page
    Foreign,        // the page of another request
    Malformed,      // another status, a cut page, anything else
    Timeout,        // no complete answer within the limit
    NoConnection,   // the web server could not be reached
};
const char* OutcomeName(Outcome outcome);

using kit::Now;  // seconds on the monotonic clock

struct Sample {
    double start = 0, end = 0;  // Now() at the request's start and end
    Outcome outcome = Outcome::Malformed;
    std::string tag;
    int servedBy = 0;  // the pid a served page names
};

// One request carrying `tag` (letters, digits and '-'), judged. *detail
// tells what was wrong with an answer that is not Served.
Sample Fetch(const Target& target, const std::string& tag, double limitSeconds, std::string* detail);

// `clients` threads, each sending one request after another: `each`
// requests, or until Stop when each is 0.
class Load {
public:
    Load(const Target& target, int clients, int each, double limitSeconds = 60);
    ~Load();
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;

    // Ends the load once the requests under way have ended.
    void Stop();
    // Waits at most `seconds` for every client to send its share; false when
    // they did not, after which the load is stopped.
    bool Wait(double seconds);
    // Every request sent, in no particular order; valid after Stop or Wait.
    const std::vector<Sample>& Samples() const { return m_samples; }
    // The first answer that was neither Served nor Communication.
    const std::string& FirstProblem() const { return m_problem; }

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::vector<Sample> m_samples;
    std::string m_problem;
};

// The figures of the requests that started within [from, to).
struct Figures {
    int sent = 0;
    int served = 0;
    int communication = 0;
    int other = 0;  // foreign, malformed, timed out, unreachable
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
};
Figures Summarise(const std::vector<Sample>& samples, double from = -1e300, double to = 1e300);

// One fault under load, as the test checks it and the benchmark reports it.
struct FaultRun {
    std::string fault;
    Figures figures;
    int faults = 0;         // restarts or kills done
    double seconds = 0;     // how long the run took
    std::string problem;    // why the run itself could not go as planned; "" when it did
    std::string firstBad;   // the first answer that was neither page
    std::vector<Sample> samples;
};

// The sample server task under the load: its supervisor, its log file, its
// base name and its number of pipes.
struct Server {
    pid_t pid = -1;
    std::string logPath;
    std::string base;
    int pipes = 0;
};

// The pipes of a base name that serve: registered, alive, not withdrawn.
int ServingPipes(const std::string& base);

// `clients` clients for `baselineSeconds` without a fault, then `restarts`
// rolling restarts under the same load (SIGHUP, each waited for in the log,
// `pauseSeconds` between them). Three runs: the baseline, the restarts'
// whole phase (with all the load's samples), and the requests begun while a
// restart ran (from its SIGHUP to its end in the log).
std::vector<FaultRun> RollingRestarts(const Target& target, const Server& server, int clients, int restarts,
                                      double baselineSeconds, double pauseSeconds);
// `clients` clients while one pipe process after another is killed with
// SIGKILL, one a second, `kills` times; the load goes on until every pipe
// serves again, and at least a second after the last kill.
FaultRun KillsUnderLoad(const Target& target, const Server& server, int clients, int kills);
// `clients` clients sending `each` requests each, as fast as they are answered.
FaultRun Burst(const std::string& fault, const Target& target, int clients, int each, double limitSeconds = 120);
// `clients` clients for `beforeSeconds`; then `stop` (which stops the server
// task and returns once it has ended), and the load goes on for
// `afterSeconds`. The samples tell when each request started; the run's
// `faults` is 1 and FaultRun::seconds the time the stop took.
FaultRun StopUnderLoad(const Target& target, int clients, double beforeSeconds, double afterSeconds,
                       const std::function<void()>& stop, double* stoppedAt, double* endedAt);

}  // namespace load

#endif
