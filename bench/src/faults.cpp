// velmox-bench-faults: one fault of the sample server task under load
// through the web server and the gateway, the same runs as the load tests
// (tests/load_run.h) for longer; prints a CSV row per run and says whether
// the run met what the system promises for that fault.
//
//   velmox-bench-faults -u PORT -p SERVERPID -l LOGFILE -b BASE -n PIPES -f FAULT
//                       [-s SCRIPT] [-c CLIENTS] [-k COUNT] [-t SECONDS] [-d DELAYMS]
//   FAULT: rolling  COUNT rolling restarts, SECONDS of load without a fault first
//          kill     COUNT pipe processes killed with SIGKILL, one a second
//          burst    CLIENTS clients sending COUNT requests each
//          stop     SECONDS of load, then SIGTERM to the server, SECONDS more
//          slow     CLIENTS clients, COUNT requests each, pages of DELAYMS
//   prints: fault,clients,pipes,sent,served,communication,other,p50_ms,p99_ms,
//           max_ms,faults,seconds,check  (check: "met" or what was missed)
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_util.h"
#include "load_run.h"

namespace {

const char kProgram[] = "velmox-bench-faults";
const char kUsage[] =
    "-u PORT -p SERVERPID -l LOGFILE -b BASE -n PIPES -f rolling|kill|burst|stop|slow [-s SCRIPT] [-c CLIENTS] "
    "[-k COUNT] [-t SECONDS] [-d DELAYMS] [-a AUTHORIZATION]";

struct Settings {
    load::Target target;
    load::Server server;
    std::string fault;
    int clients = 16;
    int count = 5;
    double seconds = 5;
    int delayMs = 5000;
};

// A process that is gone, or a zombie its parent has not reaped yet.
bool Ended(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
}

void PrintRow(const Settings& s, const load::FaultRun& run, std::string check) {
    for (char& c : check)
        if (c == ',' || c == '\n') c = ';';
    const load::Figures& f = run.figures;
    std::printf("%s,%d,%d,%d,%d,%d,%d,%.2f,%.2f,%.2f,%d,%.2f,%s\n", run.fault.c_str(), s.clients, s.server.pipes,
                f.sent, f.served, f.communication, f.other, f.p50Ms, f.p99Ms, f.maxMs, run.faults, run.seconds,
                check.c_str());
}

std::string AllServed(const load::FaultRun& run) {
    if (!run.problem.empty()) return run.problem;
    if (run.figures.sent == 0) return "no request was sent";
    if (run.figures.served != run.figures.sent) return "not every request got its own page: " + run.firstBad;
    return "met";
}

void Run(const Settings& s) {
    if (s.fault == "rolling") {
        std::vector<load::FaultRun> runs = load::RollingRestarts(s.target, s.server, s.clients, s.count, s.seconds, 1);
        PrintRow(s, runs[0], AllServed(runs[0]));
        PrintRow(s, runs[1], runs[1].faults == s.count ? AllServed(runs[1]) : "restarts missing: " + runs[1].problem);
        PrintRow(s, runs[2], AllServed(runs[2]));
    } else if (s.fault == "kill") {
        load::FaultRun run = load::KillsUnderLoad(s.target, s.server, s.clients, s.count);
        std::string check = "met";
        if (!run.problem.empty()) check = run.problem;
        else if (run.figures.other > 0) check = "another answer than the two pages: " + run.firstBad;
        else if (run.figures.communication > run.faults) check = "more failed requests than kills";
        PrintRow(s, run, check);
    } else if (s.fault == "burst" || s.fault == "slow") {
        std::string name = s.fault == "burst" ? std::to_string(s.clients) + " clients on " +
                                                    std::to_string(s.server.pipes) + " pipes"
                                              : "pages of " + std::to_string(s.delayMs) + " ms";
        load::FaultRun run = load::Burst(name, s.target, s.clients, s.count, 600);
        std::string check = AllServed(run);
        if (check == "met" && s.fault == "slow")
            for (const load::Sample& sample : run.samples)
                if ((sample.end - sample.start) * 1000 < s.delayMs) check = "a page came sooner than the delay";
        PrintRow(s, run, check);
    } else if (s.fault == "stop") {
        double stoppedAt = 0, endedAt = 0;
        pid_t server = s.server.pid;
        load::FaultRun run = load::StopUnderLoad(s.target, s.clients, s.seconds, s.seconds, [server] {
            kill(server, SIGTERM);
            double limit = load::Now() + 60;
            while (!Ended(server) && load::Now() < limit) usleep(1000);
        }, &stoppedAt, &endedAt);
        load::Figures after = load::Summarise(run.samples, endedAt);
        load::Figures sinceStop = load::Summarise(run.samples, stoppedAt);
        std::string check = "met";
        if (run.figures.other > 0) check = "another answer than the two pages: " + run.firstBad;
        else if (!Ended(server)) check = "the server did not end";
        else if (after.sent == 0) check = "no request after the stop";
        else if (after.communication != after.sent) check = "a request after the stop got no communication page";
        else if (sinceStop.maxMs > 2000) check = "a request after the stop waited";
        PrintRow(s, run, check);
    } else {
        bench::Die(kProgram, "unknown fault " + s.fault);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    int option;
    while ((option = getopt(argc, argv, "hu:s:p:l:b:n:f:c:k:t:d:a:")) != -1) {
        switch (option) {
            case 'a': s.target.authorization = optarg; break;
            case 'u': s.target.port = int(bench::ParseCount(kProgram, optarg, 1, 65535)); break;
            case 's': s.target.script = optarg; break;
            case 'p': s.server.pid = pid_t(bench::ParseCount(kProgram, optarg, 1, 1 << 30)); break;
            case 'l': s.server.logPath = optarg; break;
            case 'b': s.server.base = optarg; break;
            case 'n': s.server.pipes = int(bench::ParseCount(kProgram, optarg, 1, 64)); break;
            case 'f': s.fault = optarg; break;
            case 'c': s.clients = int(bench::ParseCount(kProgram, optarg, 1, 1024)); break;
            case 'k': s.count = int(bench::ParseCount(kProgram, optarg, 1, 100000)); break;
            case 't': s.seconds = double(bench::ParseCount(kProgram, optarg, 1, 3600)); break;
            case 'd': s.delayMs = int(bench::ParseCount(kProgram, optarg, 1, 600000)); break;
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    if (s.target.port == 0 || s.server.pid <= 0 || s.server.logPath.empty() || s.server.base.empty() ||
        s.server.pipes == 0 || s.fault.empty())
        bench::Die(kProgram, std::string("usage: ") + kUsage);
    Run(s);
    return 0;
}
