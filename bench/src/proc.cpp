// velmox-bench-proc: times whole runs of CGI programs as a web server makes
// them: the CGI variables from a file as the environment, the form body on
// standard input, standard output read to its end through a pipe, the exit
// status collected. The programs take turns run by run (the order rotates),
// so that every program meets the same machine state.
//
//   velmox-bench-proc -e ENVFILE [-i BODYFILE] [-n RUNS] [-w WARMUP] [-m PEAKRUNS] LABEL=PATH...
//       prints one CSV line per program:
//       label,median_us,p10_us,p90_us,ratio_to_first,median_maxrss_kb,max_maxrss_kb,output_bytes,runs
// Each program runs in its own directory (where a CGI program finds its
// configuration). The peak memory (VmHWM) is taken in a pass of its own, in
// which each run is stopped just before it exits (ptrace): the rusage of a
// spawned child would count the spawning process's pages as well.
#include <fcntl.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

const char kProgram[] = "velmox-bench-proc";
const char kUsage[] = "-e ENVFILE [-i BODYFILE] [-n RUNS] [-w WARMUP] [-m PEAKRUNS] LABEL=PATH...";

struct Contender {
    std::string label;
    std::string path;
    std::string directory;
    std::vector<double> micros;
    std::vector<double> maxRssKb;
    size_t outputBytes = 0;
};

struct Run {
    double micros;
    size_t outputBytes;
};

void Drain(int fd, size_t* total) {
    static char buffer[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) *total += size_t(n);
        else if (n == 0 || errno != EINTR) break;
    }
}

long HighWaterKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmHWM:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// One run stopped at its exit, when its peak resident size is read.
long PeakOnce(const Contender& contender, char* const* environment, const std::string& bodyPath) {
    pid_t child = fork();
    if (child == 0) {
        // The output goes to /dev/null: a pipe would not reach its end
        // while the program is held at its exit.
        int body = open(bodyPath.empty() ? "/dev/null" : bodyPath.c_str(), O_RDONLY);
        int sink = open("/dev/null", O_WRONLY);
        if (body < 0 || sink < 0 || dup2(body, 0) < 0 || dup2(sink, 1) < 0 || chdir(contender.directory.c_str()) != 0)
            _exit(127);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        char* argv[] = {const_cast<char*>(contender.path.c_str()), nullptr};
        execve(contender.path.c_str(), argv, environment);
        _exit(127);
    }
    if (child < 0) bench::Die(kProgram, "fork failed");
    int status = 0;
    waitpid(child, &status, 0);  // stopped at the exec
    ptrace(PTRACE_SETOPTIONS, child, nullptr, (void*)(long)PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, child, nullptr, nullptr);
    long peak = -1;
    for (;;) {
        if (waitpid(child, &status, 0) < 0) break;
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) peak = HighWaterKb(child);
        int pass = WSTOPSIG(status) != SIGTRAP ? WSTOPSIG(status) : 0;
        ptrace(PTRACE_CONT, child, nullptr, (void*)(long)pass);
    }
    return peak;
}

Run RunOnce(const Contender& contender, char* const* environment, const std::string& bodyPath) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) bench::Die(kProgram, "pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, bodyPath.empty() ? "/dev/null" : bodyPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addchdir_np(&actions, contender.directory.c_str());
    char* argv[] = {const_cast<char*>(contender.path.c_str()), nullptr};
    int64_t start = bench::NowNs();
    pid_t child = 0;
    int failed = posix_spawn(&child, contender.path.c_str(), &actions, nullptr, argv, environment);
    close(out[1]);
    if (failed) bench::Die(kProgram, "cannot run " + contender.path + ": " + std::strerror(failed));
    size_t total = 0;
    Drain(out[0], &total);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int64_t end = bench::NowNs();
    close(out[0]);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status)) bench::Die(kProgram, contender.label + " did not exit normally");
    return Run{double(end - start) / 1000.0, total};
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream file(path);
    if (!file) bench::Die(kProgram, "cannot read " + path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    std::string envPath, bodyPath;
    long runs = 1000, warmup = 50, peaks = 20;
    int option;
    while ((option = getopt(argc, argv, "he:i:n:w:m:")) != -1) {
        switch (option) {
            case 'e': envPath = optarg; break;
            case 'i': bodyPath = optarg; break;
            case 'n': runs = bench::ParseCount(kProgram, optarg, 1, 10000000); break;
            case 'w': warmup = bench::ParseCount(kProgram, optarg, 0, 10000000); break;
            case 'm': peaks = bench::ParseCount(kProgram, optarg, 0, 100000); break;
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    if (envPath.empty() || optind >= argc) bench::Die(kProgram, "an environment file and a program are needed");
    std::vector<std::string> variables = ReadLines(envPath);
    std::vector<char*> environment;
    for (std::string& variable : variables) environment.push_back(&variable[0]);
    environment.push_back(nullptr);

    std::vector<Contender> contenders;
    for (int i = optind; i < argc; ++i) {
        std::string item = argv[i];
        size_t equals = item.find('=');
        if (equals == std::string::npos) bench::Die(kProgram, "programs are given as LABEL=PATH");
        Contender contender;
        contender.label = item.substr(0, equals);
        contender.path = item.substr(equals + 1);
        size_t slash = contender.path.rfind('/');
        contender.directory = slash == std::string::npos ? "." : contender.path.substr(0, slash + 1);
        contenders.push_back(contender);
    }
    for (long i = 0; i < warmup; ++i)
        for (Contender& contender : contenders) RunOnce(contender, environment.data(), bodyPath);
    for (long i = 0; i < runs; ++i) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            Contender& contender = contenders[(size_t(i) + k) % contenders.size()];
            Run run = RunOnce(contender, environment.data(), bodyPath);
            contender.micros.push_back(run.micros);
            contender.outputBytes = run.outputBytes;
        }
    }
    for (long i = 0; i < peaks; ++i)
        for (Contender& contender : contenders)
            contender.maxRssKb.push_back(double(PeakOnce(contender, environment.data(), bodyPath)));
    double first = bench::Median(contenders.front().micros);
    for (const Contender& contender : contenders) {
        double median = bench::Median(contender.micros);
        std::printf("%s,%.1f,%.1f,%.1f,%.3f,%.0f,%.0f,%zu,%zu\n", contender.label.c_str(), median,
                    bench::Quantile(contender.micros, 0.1), bench::Quantile(contender.micros, 0.9), median / first,
                    bench::Median(contender.maxRssKb), bench::Quantile(contender.maxRssKb, 1.0),
                    contender.outputBytes, contender.micros.size());
    }
    return 0;
}
