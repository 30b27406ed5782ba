// velmox-bench-scaling: exchanges per second through the pipes of a base
// name under many concurrent clients. Each client is a process of its own
// that makes exchanges as the gateway makes them (a fresh SimplePipe, one
// Call) for a fixed time; the exchanges finished within that time count.
// The clients keep their views of the segments, as the gateway does.
//
//   velmox-bench-scaling -b BASE [-c CLIENTS] [-t SECONDS] [-z REQ:ANS]
//       prints: clients,seconds,exchanges,exchanges_per_second,failures
#include <sys/wait.h>
#include <string>
#include <vector>

#include "bench_util.h"
#include "pipe_limits.h"
#include "pipe_client.h"

namespace {

const char kProgram[] = "velmox-bench-scaling";
const char kUsage[] = "-b BASE [-c CLIENTS] [-t SECONDS] [-z REQ:ANS]";
const unsigned long kAnswerCapacity = kPipeBlockSize;

struct Tally {
    long exchanges;
    long failures;
};

Tally RunClient(const std::string& base, double seconds, uint32_t requestLength, uint32_t answerLength) {
    std::vector<unsigned char> request = bench::MakeRequest(requestLength, answerLength);
    std::vector<unsigned char> answer(kAnswerCapacity);
    Tally tally = {0, 0};
    int64_t deadline = bench::NowNs() + int64_t(seconds * 1e9);
    PipeClient client(base.c_str());
    while (bench::NowNs() < deadline) {
        unsigned long got = 0;
        bool ok = client.Call(request.data(), request.size(), answer.data(), kAnswerCapacity, &got) &&
                  got == answerLength;
        if (bench::NowNs() > deadline) break;
        if (ok) ++tally.exchanges;
        else ++tally.failures;
    }
    return tally;
}

}  // namespace

int main(int argc, char** argv) {
    std::string base;
    long clients = 64;
    double seconds = 3;
    uint32_t requestLength = 1024, answerLength = 4096;
    int option;
    while ((option = getopt(argc, argv, "hb:c:t:z:")) != -1) {
        switch (option) {
            case 'b': base = optarg; break;
            case 'c': clients = bench::ParseCount(kProgram, optarg, 1, 1024); break;
            case 't': seconds = double(bench::ParseCount(kProgram, optarg, 1, 3600)); break;
            case 'z': {
                std::string text = optarg;
                size_t colon = text.find(':');
                if (colon == std::string::npos) bench::Die(kProgram, "-z takes REQUEST:ANSWER");
                requestLength = uint32_t(bench::ParseCount(kProgram, text.substr(0, colon).c_str(), 4, kLargestMessage));
                answerLength = uint32_t(bench::ParseCount(kProgram, text.substr(colon + 1).c_str(), 1, kLargestMessage));
                break;
            }
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    if (base.empty()) bench::Die(kProgram, "a base name (-b) is needed");
    int go[2], results[2];
    if (pipe(go) != 0 || pipe(results) != 0) bench::Die(kProgram, "pipe failed");
    std::vector<pid_t> children;
    for (long i = 0; i < clients; ++i) {
        pid_t child = fork();
        if (child < 0) bench::Die(kProgram, "fork failed");
        if (child == 0) {
            close(go[1]);
            close(results[0]);
            char start;
            // The start: every client has been made and the parent closes its end.
            while (read(go[0], &start, 1) < 0 && errno == EINTR) {
            }
            Tally tally = RunClient(base, seconds, requestLength, answerLength);
            (void)!write(results[1], &tally, sizeof tally);
            _exit(0);
        }
        children.push_back(child);
    }
    close(go[0]);
    close(results[1]);
    close(go[1]);
    Tally total = {0, 0};
    Tally one;
    while (read(results[0], &one, sizeof one) == ssize_t(sizeof one)) {
        total.exchanges += one.exchanges;
        total.failures += one.failures;
    }
    for (pid_t child : children) waitpid(child, nullptr, 0);
    std::printf("%ld,%.0f,%ld,%.0f,%ld\n", clients, seconds, total.exchanges, double(total.exchanges) / seconds,
                total.failures);
    return total.failures == 0 ? 0 : 1;
}
