#include "load_run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include "opsys.h"
#include "process.h"
#include "registry.h"

namespace load {

namespace {

// An answer is a page of about 5 KB; anything far larger is no answer.
const size_t kLargestAnswer = 1 << 20;
// How long a restart, or the return of every pipe after a kill, may take.
const double kRecoveryLimit = 60;

void Pause(double seconds) {
    if (seconds <= 0) return;
    struct timespec left = {time_t(seconds), long((seconds - std::floor(seconds)) * 1e9)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

using kit::Ready;
using kit::SendAll;

// Reads to the end of the connection. False when the deadline passed first.
bool ReceiveAll(int fd, std::string& bytes, double deadline) {
    char buffer[16384];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            bytes.append(buffer, size_t(n));
            if (bytes.size() > kLargestAnswer) return true;
        } else if (n == 0) {
            return true;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!Ready(fd, POLLIN, deadline)) return false;
        } else {
            return true;  // reset: what came is judged
        }
    }
}

using kit::Cell;

// The pid of the page's "served by pipe N, pid P"; 0 when it names none.
int ServedBy(const std::string& body) {
    size_t at = body.find(", pid ", body.find("served by pipe "));
    return at == std::string::npos ? 0 : std::atoi(body.c_str() + at + 6);
}

Outcome Judge(const std::string& response, const std::string& tag, bool save, std::string* why) {
    if (response.empty()) {
        *why = "no answer at all";
        return Outcome::Malformed;
    }
    size_t headEnd = response.find("\r\n\r\n");
    int status = response.compare(0, 7, "HTTP/1.") == 0 && response.size() > 12 ? std::atoi(response.c_str() + 9) : 0;
    std::string body = headEnd == std::string::npos ? "" : response.substr(headEnd + 4);
    // The communication page goes out with 503.
    if (status == 503 && body.find(kit::kCommunicationHeading) != std::string::npos) return Outcome::Communication;
    if (status != 200 || headEnd == std::string::npos) {
        *why = "HTTP status " + std::to_string(status) + ": " + response.substr(0, 200);
        return Outcome::Malformed;
    }
    if (save) {
        if (body.find("<h1 id=\"title\">Saved</h1>") != std::string::npos &&
            body.find("\xE2\x80\x9C" + tag + "\xE2\x80\x9D saved in load") != std::string::npos && ServedBy(body) > 0)
            return Outcome::Served;
        *why = "not the Saved page of " + tag + ": " + body.substr(0, 300);
        return Outcome::Malformed;
    }
    std::string query = Cell(body, "m_query"), path = Cell(body, "m_path");
    if (query != tag || path != "load/" + tag) {
        *why = "the page of \"" + query + "\" (" + path + ") for " + tag;
        // Cell's "<missing ...>" and "<unclosed ...>" (a cell's text is escaped).
        auto none = [](const std::string& cell) { return cell.empty() || cell[0] == '<'; };
        return none(query) && none(path) ? Outcome::Malformed : Outcome::Foreign;
    }
    if (body.find("<p id=\"served\">served by pipe ") == std::string::npos ||
        body.find("</body>\n</html>\n") == std::string::npos) {
        *why = "a cut page for " + tag + ": " + body.substr(0, 200);
        return Outcome::Malformed;
    }
    return Outcome::Served;
}

bool Good(Outcome outcome) { return outcome == Outcome::Served || outcome == Outcome::Communication; }

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = size_t(std::ceil(q * double(values.size()))) - 1;
    return values[std::min(rank, values.size() - 1)];
}

// Counts, line by line, the lines of a growing log file that hold each
// pattern; only what was appended since the last look is read.
class LogCounter {
public:
    LogCounter(const std::string& path, std::vector<std::string> patterns)
        : m_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)), m_patterns(std::move(patterns)),
          m_counts(m_patterns.size(), 0) {}
    ~LogCounter() {
        if (m_fd >= 0) close(m_fd);
    }
    LogCounter(const LogCounter&) = delete;
    LogCounter& operator=(const LogCounter&) = delete;

    int Count(size_t pattern) {
        Update();
        return m_counts[pattern];
    }
    // The last complete line that holds the pattern.
    const std::string& Last() const { return m_last; }

private:
    void Update() {
        char buffer[65536];
        ssize_t n;
        while (m_fd >= 0 && (n = read(m_fd, buffer, sizeof buffer)) > 0) m_partial.append(buffer, size_t(n));
        size_t start = 0, end;
        while ((end = m_partial.find('\n', start)) != std::string::npos) {
            std::string line = m_partial.substr(start, end - start);
            for (size_t i = 0; i < m_patterns.size(); ++i)
                if (line.find(m_patterns[i]) != std::string::npos) {
                    ++m_counts[i];
                    m_last = line;
                }
            start = end + 1;
        }
        m_partial.erase(0, start);
    }

    int m_fd;
    std::vector<std::string> m_patterns;
    std::vector<int> m_counts;
    std::string m_partial, m_last;
};

// Waits until `done` holds; false when the limit passes first.
using kit::WaitUntil;

FaultRun Finish(const std::string& fault, Load& load, double started) {
    load.Stop();
    FaultRun run;
    run.fault = fault;
    run.samples = load.Samples();
    run.figures = Summarise(run.samples);
    run.firstBad = load.FirstProblem();
    run.seconds = Now() - started;
    return run;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Served: return "served";
        case Outcome::Communication: return "communication page";
        case Outcome::Foreign: return "another request's page";
        case Outcome::Malformed: return "malformed";
        case Outcome::Timeout: return "timed out";
        case Outcome::NoConnection: return "no connection";
    }
    return "?";
}

Sample Fetch(const Target& target, const std::string& tag, double limitSeconds, std::string* detail) {
    Sample sample;
    sample.start = Now();
    double deadline = sample.start + limitSeconds;
    std::string why, response;
    int fd = kit::Connect(target.host + ":" + std::to_string(target.port), deadline, &why);
    if (fd < 0) {
        sample.outcome = Outcome::NoConnection;
    } else {
        // HTTP/1.0: the answer ends with the connection, never chunked.
        std::string host = "\r\nHost: " + target.host + ":" + std::to_string(target.port) +
                           "\r\nUser-Agent: velmox-load\r\n" +
                           (target.authorization.empty() ? "" : "Authorization: " + target.authorization + "\r\n");
        std::string form = "token=" + target.token + "&subject=" + tag + "&body=saved+under+load";
        std::string request =
            target.saves ? "POST " + target.script + "/Save/Local/load?0 HTTP/1.0" + host +
                               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                               std::to_string(form.size()) + "\r\n\r\n" + form
                         : "GET " + target.script + "/RunAgent/Local/load/" + tag + "?" + tag + " HTTP/1.0" + host +
                               "\r\n";
        if (!SendAll(fd, request, deadline) || !ReceiveAll(fd, response, deadline)) {
            sample.outcome = Outcome::Timeout;
            why = "no complete answer within " + std::to_string(int(limitSeconds)) + " s for " + tag;
        } else {
            sample.outcome = Judge(response, tag, target.saves, &why);
            if (sample.outcome == Outcome::Served) sample.servedBy = ServedBy(response);
        }
        close(fd);
    }
    sample.end = Now();
    sample.tag = tag;
    if (detail) *detail = why;
    return sample;
}

// ----------------------------------------------------------------- the load

struct Load::Shared {
    Target target;
    int clients = 0, each = 0;
    double limit = 60;
    std::string run;  // the tags' prefix, different for every load
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    std::vector<std::vector<Sample>> samples;
    std::vector<std::string> problems;
    std::vector<std::thread> threads;

    void Client(int who) {
        for (int n = 0; (each == 0 || n < each) && !stop; ++n) {
            std::string tag = run + "-c" + std::to_string(who) + "-n" + std::to_string(n), why;
            Sample sample = Fetch(target, tag, limit, &why);
            samples[size_t(who)].push_back(sample);
            if (!Good(sample.outcome) && problems[size_t(who)].empty())
                problems[size_t(who)] = std::string(OutcomeName(sample.outcome)) + ": " + why;
        }
        ++finished;
    }
};

Load::Load(const Target& target, int clients, int each, double limitSeconds) : m_shared(new Shared) {
    static std::atomic<int> loads{0};
    Shared& s = *m_shared;
    s.target = target;
    s.clients = clients;
    s.each = each;
    s.limit = limitSeconds;
    s.run = "p" + std::to_string(getpid()) + "-l" + std::to_string(loads++);
    s.samples.resize(size_t(clients));
    s.problems.resize(size_t(clients));
    for (int who = 0; who < clients; ++who) s.threads.emplace_back(&Shared::Client, m_shared.get(), who);
}

Load::~Load() { Stop(); }

void Load::Stop() {
    Shared& s = *m_shared;
    s.stop = true;
    bool joined = false;
    for (std::thread& thread : s.threads)
        if (thread.joinable()) {
            thread.join();
            joined = true;
        }
    if (!joined) return;
    m_samples.clear();
    for (const std::vector<Sample>& own : s.samples) m_samples.insert(m_samples.end(), own.begin(), own.end());
    for (const std::string& problem : s.problems)
        if (m_problem.empty() && !problem.empty()) m_problem = problem;
}

bool Load::Wait(double seconds) {
    bool done = WaitUntil([this] { return m_shared->finished == m_shared->clients; }, seconds);
    Stop();
    return done;
}

Figures Summarise(const std::vector<Sample>& samples, double from, double to) {
    Figures f;
    std::vector<double> latencies;
    for (const Sample& s : samples) {
        if (s.start < from || s.start >= to) continue;
        ++f.sent;
        if (s.outcome == Outcome::Served) ++f.served;
        else if (s.outcome == Outcome::Communication) ++f.communication;
        else ++f.other;
        latencies.push_back((s.end - s.start) * 1000);
    }
    f.p50Ms = Quantile(latencies, 0.5);
    f.p99Ms = Quantile(latencies, 0.99);
    f.maxMs = Quantile(latencies, 1);
    return f;
}

// ----------------------------------------------------------------- the faults

int ServingPipes(const std::string& base) {
    ServerMonitor monitor;
    ServerList list;
    if (!monitor.Inspect(base.c_str()) || !monitor.GetServerList(list)) return 0;
    int serving = 0;
    for (int i = 0; i < kMaxServers; ++i) {
        const ServerID& id = list.servers[i];
        if (id.index == i && id.clientPid != id.serverPid && OpSys::ProcessExists(id.serverPid)) ++serving;
    }
    return serving;
}

std::vector<FaultRun> RollingRestarts(const Target& target, const Server& server, int clients, int restarts,
                                      double baselineSeconds, double pauseSeconds) {
    LogCounter log(server.logPath, {"rolling restart done", "rolling restart stopped"});
    int doneBefore = log.Count(0);
    double started = Now();
    Load load(target, clients, 0);
    Pause(baselineSeconds);
    double restarting = Now();
    std::vector<std::pair<double, double>> windows;
    std::string problem;
    int done = 0;
    while (done < restarts && problem.empty()) {
        if (done > 0) Pause(pauseSeconds);
        double begun = Now();
        if (kill(server.pid, SIGHUP) != 0) problem = std::string("kill SIGHUP: ") + std::strerror(errno);
        else if (!WaitUntil([&] { return log.Count(0) > doneBefore + done || log.Count(1) > 0; }, kRecoveryLimit))
            problem = "rolling restart " + std::to_string(done + 1) + " did not end within the limit";
        else if (log.Count(1) > 0)
            problem = "a rolling restart stopped: " + log.Last();
        else
            ++done;
        windows.emplace_back(begun, Now());
    }
    FaultRun whole = Finish("rolling restarts", load, started);
    FaultRun baseline;
    baseline.fault = "no fault";
    baseline.figures = Summarise(whole.samples, started, restarting);
    baseline.seconds = restarting - started;
    FaultRun phase = whole;
    phase.figures = Summarise(whole.samples, restarting);
    phase.seconds = whole.seconds - baseline.seconds;
    phase.faults = done;
    phase.problem = problem;
    FaultRun within;
    within.fault = "requests begun while a rolling restart ran";
    for (const Sample& sample : whole.samples)
        for (const auto& window : windows)
            if (sample.start >= window.first && sample.start < window.second) {
                within.samples.push_back(sample);
                break;
            }
    within.figures = Summarise(within.samples);
    within.faults = done;
    for (const auto& window : windows) within.seconds += window.second - window.first;
    return {baseline, phase, within};
}

FaultRun KillsUnderLoad(const Target& target, const Server& server, int clients, int kills) {
    double started = Now();
    Load load(target, clients, 0);
    std::string problem;
    int killed = 0;
    for (int k = 0; k < kills && problem.empty(); ++k) {
        Pause(started + 1 + k - Now());
        std::vector<pid_t> pipes = proc::ChildrenOf(server.pid);
        if (pipes.empty()) {
            problem = "the supervisor has no pipe process to kill";
        } else {
            std::sort(pipes.begin(), pipes.end());
            if (kill(pipes[size_t(k) % pipes.size()], SIGKILL) == 0) ++killed;
        }
    }
    Pause(1);
    bool restored = WaitUntil(
        [&] {
            return int(proc::ChildrenOf(server.pid).size()) == server.pipes &&
                   ServingPipes(server.base) == server.pipes;
        },
        kRecoveryLimit);
    Pause(0.5);
    if (problem.empty() && !restored)
        problem = "the supervisor did not bring back " + std::to_string(server.pipes) + " pipes";
    FaultRun run = Finish("pipe process killed (SIGKILL) every second", load, started);
    run.faults = killed;
    run.problem = problem;
    return run;
}

FaultRun Burst(const std::string& fault, const Target& target, int clients, int each, double limitSeconds) {
    double started = Now();
    Load load(target, clients, each, limitSeconds);
    bool finished = load.Wait(limitSeconds);
    FaultRun run = Finish(fault, load, started);
    if (!finished) run.problem = "the clients did not finish within " + std::to_string(int(limitSeconds)) + " s";
    return run;
}

FaultRun StopUnderLoad(const Target& target, int clients, double beforeSeconds, double afterSeconds,
                       const std::function<void()>& stop, double* stoppedAt, double* endedAt) {
    double started = Now();
    Load load(target, clients, 0);
    Pause(beforeSeconds);
    *stoppedAt = Now();
    stop();
    *endedAt = Now();
    Pause(afterSeconds);
    FaultRun run = Finish("server task stopped (SIGTERM)", load, started);
    run.faults = 1;
    run.seconds = *endedAt - *stoppedAt;
    return run;
}

}  // namespace load
