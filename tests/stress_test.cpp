// Many gateway processes at once against the sample server task's pipes,
// the real programs under the gateway's fixed pipe name: 16 pipes and 64
// gateways running at any moment for 20,000 exchanges (2,000 in the
// sanitizer build, whose gateway processes are eight times as slow). Every
// request carries a tag that its page shows, so every answer is checked to
// belong to its request; none may be lost, none may hang. Afterwards no slot
// is claimed, the free-server count equals the idle servers, and the last
// server's exit leaves no object of the pipe name.
//
// VELMOX_STRESS_EXCHANGES in the environment sets another number of
// exchanges for a run by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "gateway_harness.h"

using namespace gwtest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
const int kDefaultExchanges = 2000;
#else
const int kDefaultExchanges = 20000;
#endif
const int kPipes = 16;
const int kConcurrency = 64;
// No gateway may take longer; one that does counts as hung.
const double kGatewayBound = 60;
// The whole run, however slow the machine, ends within this.
const double kRunBound = 1500;

int Exchanges() {
    const char* text = std::getenv("VELMOX_STRESS_EXCHANGES");
    int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : kDefaultExchanges;
}

// What a worker process tells the test at its end, in one write.
struct WorkerReport {
    int32_t exchanges;
    int32_t outcomes[7];  // indexed by Outcome
    int32_t slowestMs;
    uint64_t slotsSeen;   // bit s: pipe s served one of the worker's requests
    char firstFailure[400];
};
static_assert(sizeof(WorkerReport) < 4096, "one atomic write");

// One worker: its share of the exchanges, one gateway after another.
int RunWorker(int worker, int exchanges, int report) {
    WorkerReport r;
    std::memset(&r, 0, sizeof r);
    for (int i = worker; i < exchanges; i += kConcurrency) {
        TaggedRequest request = Tagged(i, "x" + std::to_string(i) + "-w" + std::to_string(worker));
        Gateway gateway;
        Outcome outcome = Outcome::Malformed;
        if (gateway.Start(request)) {
            gateway.Finish(kGatewayBound);
            outcome = Judge(request, gateway);
        }
        ++r.exchanges;
        ++r.outcomes[int(outcome)];
        r.slowestMs = std::max<int32_t>(r.slowestMs, int32_t(gateway.elapsedMs()));
        int slot = ServedSlot(gateway.output());
        if (outcome == Outcome::Served && slot >= 0 && slot < 64) r.slotsSeen |= uint64_t(1) << slot;
        if (outcome != Outcome::Served && !r.firstFailure[0])
            std::snprintf(r.firstFailure, sizeof r.firstFailure, "%s %s: %s; output: %.300s", request.command.c_str(),
                          request.tag.c_str(), OutcomeName(outcome), gateway.output().c_str());
    }
    return write(report, &r, sizeof r) == ssize_t(sizeof r) ? 0 : 1;
}

class Stress : public FixedPipeTest {};

TEST_F(Stress, SixtyFourGatewaysAtOnceOnSixteenPipes) {
    const int exchanges = Exchanges();
    ASSERT_NO_FATAL_FAILURE(StartServer(kPipes));
    double start = kit::Now();

    std::vector<pid_t> workers;
    std::vector<int> reports;
    for (int w = 0; w < kConcurrency; ++w) {
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        pid_t pid = proc::Spawn([&] {
            close(fds[0]);
            return RunWorker(w, exchanges, fds[1]);
        });
        ASSERT_GT(pid, 0);
        close(fds[1]);
        workers.push_back(pid);
        reports.push_back(fds[0]);
    }
    WorkerReport total;
    std::memset(&total, 0, sizeof total);
    std::string failures;
    for (size_t w = 0; w < workers.size(); ++w) {
        double left = std::max(1.0, kRunBound - (kit::Now() - start));
        EXPECT_EQ(0, proc::Wait(workers[w], left)) << "worker " << w << " did not end well";
        WorkerReport r;
        std::memset(&r, 0, sizeof r);
        ssize_t n = read(reports[w], &r, sizeof r);
        close(reports[w]);
        EXPECT_EQ(ssize_t(sizeof r), n) << "worker " << w << " sent no report";
        total.exchanges += r.exchanges;
        for (int k = 0; k < 7; ++k) total.outcomes[k] += r.outcomes[k];
        total.slowestMs = std::max(total.slowestMs, r.slowestMs);
        total.slotsSeen |= r.slotsSeen;
        if (r.firstFailure[0] && failures.size() < 4000) failures += std::string(r.firstFailure) + "\n";
    }
    double seconds = kit::Now() - start;

    int served = total.outcomes[int(Outcome::Served)];
    int failed = total.exchanges - served;
    EXPECT_EQ(exchanges, total.exchanges);
    EXPECT_EQ(exchanges, served) << "failures:\n" << failures;
    for (int k = 1; k < 7; ++k)
        EXPECT_EQ(0, total.outcomes[k]) << OutcomeName(Outcome(k)) << ": " << total.outcomes[k];
    // Every request reached the server exactly once: a line each in its log.
    EXPECT_EQ(exchanges, srvtest::CountLines(server().Log(), " request pipe="));
    // Clients take the lowest idle slot: how many pipes were busy at once
    // depends on the machine's speed, but more than one always is.
    int pipesUsed = 0;
    for (int s = 0; s < kPipes; ++s) pipesUsed += (total.slotsSeen >> s) & 1 ? 1 : 0;
    EXPECT_GT(pipesUsed, 1);

    std::string why;
    EXPECT_TRUE(WaitAtRest(kPipes, 10, &why)) << why;
    RegistryView view = ReadRegistry(true);
    EXPECT_EQ(kPipes, view.freeCount);
    EXPECT_EQ(0, view.ClaimedByLive());

    std::printf("stress: %d exchanges, %d gateways at once on %d pipes (%d of them served): %d served with their "
                "own page, %d failed (lost %d, foreign %d, malformed %d, hung %d); slowest gateway %d ms; %.1f s, "
                "%.0f exchanges/s\n",
                total.exchanges, kConcurrency, kPipes, pipesUsed, served, failed,
                total.outcomes[int(Outcome::Communication)], total.outcomes[int(Outcome::Foreign)],
                total.outcomes[int(Outcome::Malformed)], total.outcomes[int(Outcome::Hung)], total.slowestMs, seconds,
                total.exchanges / seconds);
    RecordProperty("exchanges", total.exchanges);
    RecordProperty("concurrency", kConcurrency);
    RecordProperty("pipes", kPipes);
    RecordProperty("failures", failed);
    RecordProperty("slowest_ms", total.slowestMs);
    StopServerCleanly();
}

}  // namespace
