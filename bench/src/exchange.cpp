// velmox-bench-exchange: times one exchange through the pipe beside a
// Unix-domain-socket round trip of the same bytes (connect, send, receive,
// close), interleaved in one run. The pipe is timed twice: "pipe" calls
// through one PipeClient kept for every call (a persistent client), and
// "pipe-fresh" through a fresh SimplePipe per call, which opens every object
// and lets it go again (the one-shot Call that Dispatch makes).
//
//   velmox-bench-exchange -b BASE -s SOCKET [-z REQ:ANS,...] [-R ROUNDS] [-k BATCH]
//       prints one CSV line per size and contender:
//       request_bytes,answer_bytes,contender,median_us,p10_us,p90_us,samples
//   velmox-bench-exchange -b BASE -s SOCKET -c COUNT -o pipe|pipe-fresh|uds [-z REQ:ANS]
//       makes COUNT exchanges of one kind and nothing else (for strace -c),
//       then prints the process's context switches, voluntary,involuntary
//   velmox-bench-exchange -b BASE -s SOCKET -T THREADS [-t SECONDS] [-R ROUNDS] [-z REQ:ANS]
//       calls per second of THREADS threads at once, each with a client of
//       its own, for each kind in turn; prints one CSV line per kind:
//       threads,contender,calls_per_s,us_per_call,rounds
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "pipe_limits.h"
#include "os.h"
#include "pipe_client.h"

namespace {

const char kProgram[] = "velmox-bench-exchange";
const char kUsage[] =
    "-b BASE -s SOCKET [-z REQ:ANS,...] [-R ROUNDS] [-k BATCH] | -b BASE -s SOCKET -c COUNT -o pipe|pipe-fresh|uds "
    "[-z REQ:ANS] | -b BASE -s SOCKET -T THREADS [-t SECONDS] [-R ROUNDS] [-z REQ:ANS]";
const char* const kKinds[3] = {"pipe", "pipe-fresh", "uds"};
const unsigned long kAnswerCapacity = kPipeBlockSize;

struct Size {
    uint32_t request;
    uint32_t answer;
};

std::vector<Size> ParseSizes(const std::string& text) {
    std::vector<Size> sizes;
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        size_t colon = item.find(':');
        if (colon == std::string::npos) bench::Die(kProgram, "sizes are REQUEST:ANSWER pairs");
        Size size;
        size.request = uint32_t(bench::ParseCount(kProgram, item.substr(0, colon).c_str(), 4, kLargestMessage));
        size.answer = uint32_t(bench::ParseCount(kProgram, item.substr(colon + 1).c_str(), 1, kLargestMessage));
        sizes.push_back(size);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return sizes;
}

class Client {
public:
    Client(std::string base, std::string socketPath)
        : m_base(std::move(base)), m_client(m_base.c_str()), m_answer(kAnswerCapacity) {
        m_address.sun_family = AF_UNIX;
        if (socketPath.size() >= sizeof m_address.sun_path) bench::Die(kProgram, "socket path too long");
        std::memcpy(m_address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    }

    // One exchange: through the client kept for every call (persistent),
    // or through a fresh pipe that opens everything and lets it go again, as
    // a one-shot gateway's Dispatch makes it.
    bool PipeCall(std::vector<unsigned char>& request, uint32_t answerLength, bool persistent) {
        unsigned long got = 0;
        if (persistent)
            return m_client.Call(request.data(), request.size(), m_answer.data(), kAnswerCapacity, &got) &&
                   got == answerLength;
        SimplePipe pipe;
        return pipe.Call(m_base.c_str(), request.data(), request.size(), m_answer.data(), kAnswerCapacity, &got) &&
               got == answerLength;
    }

    // connect, send (length word and request in one write), receive, close.
    bool SocketCall(std::vector<unsigned char>& request, uint32_t answerLength) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) return false;
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address) == 0;
        uint32_t length = uint32_t(request.size());
        struct iovec parts[2] = {{&length, sizeof length}, {request.data(), request.size()}};
        size_t total = sizeof length + request.size();
        size_t sent = 0;
        while (ok && sent < total) {
            ssize_t n = writev(fd, parts, 2);
            if (n <= 0) {
                ok = false;
                break;
            }
            sent += size_t(n);
            // Rare: a partial write; advance the parts past what went out.
            size_t skip = size_t(n);
            for (struct iovec& part : parts) {
                size_t take = std::min(skip, part.iov_len);
                part.iov_base = static_cast<char*>(part.iov_base) + take;
                part.iov_len -= take;
                skip -= take;
            }
        }
        size_t received = 0;
        while (ok && received < answerLength) {
            ssize_t n = read(fd, m_answer.data() + received, kAnswerCapacity - received);
            if (n <= 0) ok = false;
            else received += size_t(n);
        }
        close(fd);
        return ok && received == answerLength;
    }

private:
    std::string m_base;
    PipeClient m_client;
    struct sockaddr_un m_address = {};
    std::vector<unsigned char> m_answer;
};

// Calls of one kind from `threads` threads at once for `seconds`, each
// thread with a client of its own; the calls that completed.
long CallsInParallel(const std::string& base, const std::string& socketPath, int kind, int threads, double seconds,
                     const Size& size) {
    std::atomic<long> calls{0};
    std::atomic<bool> failed{false};
    int64_t deadline = bench::NowNs() + int64_t(seconds * 1e9);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            Client client(base, socketPath);
            std::vector<unsigned char> request = bench::MakeRequest(size.request, size.answer);
            long done = 0;
            while (bench::NowNs() < deadline) {
                bool ok = kind == 2 ? client.SocketCall(request, size.answer)
                                    : client.PipeCall(request, size.answer, kind == 0);
                if (!ok) failed = true;
                else ++done;
            }
            calls += done;
        });
    }
    for (std::thread& t : workers) t.join();
    if (failed) bench::Die(kProgram, std::string("a ") + kKinds[kind] + " call failed");
    return calls;
}

// Throughput of each kind with `threads` threads, in rounds whose order of
// the kinds rotates; the median rate of the rounds.
void MeasureThroughput(const std::string& base, const std::string& socketPath, int threads, double seconds,
                       long rounds, const Size& size) {
    std::vector<double> rates[3];
    double slice = seconds / double(rounds) / 3.0;
    CallsInParallel(base, socketPath, 0, threads, 0.2, size);  // warm-up: the clients' objects, the servers
    for (long round = 0; round < rounds; ++round)
        for (int turn = 0; turn < 3; ++turn) {
            int kind = int((round + turn) % 3);
            rates[kind].push_back(double(CallsInParallel(base, socketPath, kind, threads, slice, size)) / slice);
        }
    for (int k = 0; k < 3; ++k) {
        double rate = bench::Median(rates[k]);
        std::printf("%d,%s,%.0f,%.2f,%ld\n", threads, kKinds[k], rate, rate > 0 ? 1e6 * threads / rate : 0.0, rounds);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string base, socketPath, only;
    std::string sizesText = "1024:4096,102400:1024";
    long rounds = 40, batch = 50, count = -1, threads = 0;
    double seconds = 6;
    int option;
    while ((option = getopt(argc, argv, "hb:s:z:R:k:c:o:T:t:")) != -1) {
        switch (option) {
            case 'b': base = optarg; break;
            case 's': socketPath = optarg; break;
            case 'z': sizesText = optarg; break;
            case 'R': rounds = bench::ParseCount(kProgram, optarg, 1, 1000000); break;
            case 'k': batch = bench::ParseCount(kProgram, optarg, 1, 1000000); break;
            case 'c': count = bench::ParseCount(kProgram, optarg, 0, 100000000); break;
            case 'o': only = optarg; break;
            case 'T': threads = bench::ParseCount(kProgram, optarg, 1, 256); break;
            case 't': seconds = double(bench::ParseCount(kProgram, optarg, 1, 3600)); break;
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    if (base.empty() || socketPath.empty()) bench::Die(kProgram, "-b BASE and -s SOCKET are needed");
    std::vector<Size> sizes = ParseSizes(sizesText);
    if (threads > 0) {
        MeasureThroughput(base, socketPath, int(threads), seconds, rounds, sizes.front());
        return 0;
    }
    Client client(base, socketPath);

    const char* const* names = kKinds;
    auto call = [&client](int kind, std::vector<unsigned char>& request, uint32_t answer) {
        return kind == 2 ? client.SocketCall(request, answer) : client.PipeCall(request, answer, kind == 0);
    };
    if (count >= 0) {
        int kind = -1;
        for (int k = 0; k < 3; ++k)
            if (only == names[k]) kind = k;
        if (kind < 0) bench::Die(kProgram, "-o pipe, pipe-fresh or uds goes with -c");
        Size size = sizes.front();
        std::vector<unsigned char> request = bench::MakeRequest(size.request, size.answer);
        for (long i = 0; i < count; ++i)
            if (!call(kind, request, size.answer)) bench::Die(kProgram, "an exchange failed");
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%ld,%ld\n", usage.ru_nvcsw, usage.ru_nivcsw);
        return 0;
    }

    for (const Size& size : sizes) {
        std::vector<unsigned char> request = bench::MakeRequest(size.request, size.answer);
        std::vector<double> samples[3];
        // Warm-up of all, then rounds in which the order of the batches rotates.
        for (int i = 0; i < 200; ++i)
            for (int kind = 0; kind < 3; ++kind)
                if (!call(kind, request, size.answer)) bench::Die(kProgram, "an exchange failed during the warm-up");
        for (long round = 0; round < rounds; ++round) {
            for (int turn = 0; turn < 3; ++turn) {
                int kind = int((round + turn) % 3);
                for (long i = 0; i < batch; ++i) {
                    int64_t start = bench::NowNs();
                    bool ok = call(kind, request, size.answer);
                    int64_t end = bench::NowNs();
                    if (!ok) bench::Die(kProgram, "an exchange failed");
                    samples[kind].push_back(double(end - start) / 1000.0);
                }
            }
        }
        for (int k = 0; k < 3; ++k)
            std::printf("%u,%u,%s,%.2f,%.2f,%.2f,%zu\n", size.request, size.answer, names[k], bench::Median(samples[k]),
                        bench::Quantile(samples[k], 0.1), bench::Quantile(samples[k], 0.9), samples[k].size());
        std::fflush(stdout);
    }
    return 0;
}
