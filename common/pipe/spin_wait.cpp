#include "spin_wait.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace spin {

namespace {

// The machine is looked at this often, by whichever thread of the process
// wants to spin first after the look has aged: three system calls (open,
// read, close) a tenth of a second, nothing in between.
const uint64_t kSampleNs = 100 * 1000 * 1000;
// A look older than this is no base for a difference: the kernel's own
// ten-second average is taken instead.
const uint64_t kStaleSampleNs = 1000 * 1000 * 1000;
// Saturated: tasks waited for a processor more than this share of the time.
// Measured on the benchmarks' two-core machine: the FastCGI benchmark at
// concurrency 1 (wrk, nginx, the worker, the pipe; one request at a time,
// nothing spinning) keeps tasks waiting 15 to 45% of the time by itself, at
// concurrency 8 60 to 90% (bench/README.md).
const double kMostStalled = 0.5;
// What a spin may take beyond twice the typical wait.
const uint64_t kSlackNs = 5 * 1000;
// The most waits that sleep at once after spins that ran out.
const uint32_t kLongestPause = 1024;

int ReadFile(const char* path, char* buffer, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buffer, size - 1);
    close(fd);
    if (n <= 0) return -1;
    buffer[n] = 0;
    return int(n);
}

int Cores() {
    static std::atomic<int> cores{0};
    int n = cores.load(std::memory_order_relaxed);
    if (n > 0) return n;
    cpu_set_t set;
    n = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : int(sysconf(_SC_NPROCESSORS_ONLN));
    if (n < 1) n = 1;
    cores.store(n, std::memory_order_relaxed);
    return n;
}

// The kernel's CPU pressure: the microseconds some task waited for a
// processor since boot, and its share of the last ten seconds (0 to 1).
bool ReadPressure(uint64_t& stalledUs, double& share) {
    char text[512];
    if (ReadFile("/proc/pressure/cpu", text, sizeof text) < 0) return false;
    const char* some = std::strstr(text, "some ");
    const char* avg10 = some ? std::strstr(some, "avg10=") : nullptr;
    const char* total = some ? std::strstr(some, "total=") : nullptr;
    if (!avg10 || !total) return false;
    share = std::strtod(avg10 + 6, nullptr) / 100.0;
    stalledUs = std::strtoull(total + 6, nullptr, 10);
    return true;
}

// Where the kernel has no pressure figures: the tasks runnable right now,
// less the caller, against the cores.
bool RunnableBelowCores() {
    char text[128];
    if (ReadFile("/proc/loadavg", text, sizeof text) < 0) return false;
    const char* slash = std::strchr(text, '/');
    if (!slash) return false;
    const char* start = slash;
    while (start > text && start[-1] >= '0' && start[-1] <= '9') --start;
    long runnable = std::strtol(start, nullptr, 10);
    return runnable - 1 < Cores();
}

struct MachineLook {
    std::atomic<uint64_t> atNs{0};       // when it was taken; 0: never
    std::atomic<uint64_t> stalledUs{0};  // the pressure total then
    std::atomic<bool> room{false};       // a core was free for a spin then
};
MachineLook g_look;

// True while the machine is not saturated, from a look at most kSampleNs old.
bool MachineHasRoom() {
    uint64_t now = NowNs();
    uint64_t at = g_look.atNs.load(std::memory_order_acquire);
    if (at != 0 && now - at < kSampleNs) return g_look.room.load(std::memory_order_relaxed);
    // One thread looks; the others go by the last look meanwhile.
    if (!g_look.atNs.compare_exchange_strong(at, now, std::memory_order_acq_rel))
        return g_look.room.load(std::memory_order_relaxed);
    uint64_t stalledUs = 0;
    double share = 1;
    bool room;
    if (ReadPressure(stalledUs, share)) {
        uint64_t before = g_look.stalledUs.exchange(stalledUs, std::memory_order_relaxed);
        if (at != 0 && now - at < kStaleSampleNs && stalledUs >= before && now > at)
            share = double(stalledUs - before) * 1000.0 / double(now - at);
        room = share < kMostStalled;
    } else {
        room = RunnableBelowCores();
    }
    g_look.room.store(room, std::memory_order_relaxed);
    return room;
}

Mode ReadMode() {
    const char* setting = std::getenv("VELMOX_SPIN");
    if (setting && std::strcmp(setting, "off") == 0) return Mode::Off;
    if (setting && std::strcmp(setting, "on") == 0) return Mode::Always;
    return Mode::Adaptive;
}

// The mode plus one; 0 until read or chosen.
std::atomic<int> g_mode{0};

}  // namespace

Mode ProcessMode() {
    int mode = g_mode.load(std::memory_order_relaxed);
    if (mode == 0) {
        int read = int(ReadMode()) + 1;
        // A choice made meanwhile stands.
        mode = g_mode.compare_exchange_strong(mode, read, std::memory_order_relaxed) ? read : mode;
    }
    return Mode(mode - 1);
}

void SetProcessMode(Mode mode) { g_mode.store(int(mode) + 1, std::memory_order_relaxed); }

uint64_t NowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

bool CoreFree(int otherExchanges) {
    // The caller's partner works meanwhile (its server answering, or its
    // client taking the answer), and every other exchange may keep two
    // processes busy: its client spinning and its server answering.
    int busy = 1 + 2 * std::max(otherExchanges, 0);
    return busy < Cores() && MachineHasRoom();
}

namespace {

// A moving average: a quarter of the new value.
uint64_t Average(uint64_t average, uint64_t value) { return average == 0 ? value : (3 * average + value) / 4; }

}  // namespace

uint64_t Estimate::Budget(int otherExchanges) {
    m_kind = Kind::Other;
    switch (ProcessMode()) {
        case Mode::Off: return 0;
        case Mode::Always: m_kind = Kind::Spun; return m_limitNs;
        case Mode::Adaptive: break;
    }
    if (m_skip > 0) {
        --m_skip;
        return 0;
    }
    if (m_typicalNs == 0 || m_typicalNs > m_limitNs || !CoreFree(otherExchanges)) return 0;
    // Spinning until it has been seen to lose against sleeping; each
    // sixteenth wait the other way.
    bool pays = m_spunNs == 0 || m_sleptNs == 0 || 10 * m_spunNs < 9 * m_sleptNs;
    if ((++m_turn & 15) == 0) pays = !pays;
    if (!pays) {
        m_kind = Kind::Slept;
        return 0;
    }
    m_kind = Kind::Spun;
    return std::min(m_limitNs, 2 * m_typicalNs + kSlackNs);
}

void Estimate::Spun(bool hit) {
    ++m_spins;
    m_hit = hit;
    if (hit) {
        ++m_hits;
        m_pause = 0;
        return;
    }
    m_pause = m_pause == 0 ? 1 : std::min(2 * m_pause, kLongestPause);
    m_skip = m_pause;
}

void Estimate::Record(uint64_t ns) {
    // One long wait (a slow page, a pipe idle for a while) weighs no more
    // than four limits: a few short ones bring the spin back.
    ns = std::max<uint64_t>(1, std::min(ns, 4 * m_limitNs));
    m_typicalNs = Average(m_typicalNs, ns);
    if (m_kind == Kind::Spun && m_hit) m_spunNs = Average(m_spunNs, ns);
    if (m_kind == Kind::Slept) m_sleptNs = Average(m_sleptNs, ns);
    m_kind = Kind::Other;
    m_hit = false;
}

}  // namespace spin
