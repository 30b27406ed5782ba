// Small helpers shared by the benchmark drivers: a monotonic clock, order
// statistics, ready files and signal handling for the benchmark servers.
#ifndef VELMOX_BENCH_UTIL_H
#define VELMOX_BENCH_UTIL_H

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

inline int64_t NowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// The q-quantile (0..1) of the samples by the nearest-rank rule; 0 for none.
inline double Quantile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = size_t(q * double(samples.size() - 1) + 0.5);
    return samples[std::min(rank, samples.size() - 1)];
}

inline double Median(const std::vector<double>& samples) { return Quantile(samples, 0.5); }

// Writes text to path through a temporary file, so that a reader polling for
// the file never sees it half written.
inline bool WriteFileAtomically(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) return false;
    bool ok = std::fputs(text.c_str(), file) >= 0;
    ok = std::fclose(file) == 0 && ok;
    return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

[[noreturn]] inline void Die(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    std::exit(2);
}

// -h: the usage line on standard output, and a clean exit.
[[noreturn]] inline void Help(const char* program, const char* usage) {
    std::printf("usage: %s %s\n", program, usage);
    std::exit(0);
}

inline long ParseCount(const char* program, const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || value < low || value > high)
        Die(program, std::string("bad number \"") + text + "\"");
    return value;
}

// A request of `length` bytes whose first word asks the echo servers for an
// answer of `answerLength` bytes; the rest is filler.
inline std::vector<unsigned char> MakeRequest(uint32_t length, uint32_t answerLength) {
    std::vector<unsigned char> request(std::max<uint32_t>(length, 4));
    for (size_t i = 0; i < request.size(); ++i) request[i] = (unsigned char)('a' + i % 26);
    std::memcpy(request.data(), &answerLength, sizeof answerLength);
    return request;
}

// The answer length that a request asks for.
inline uint32_t AskedLength(const void* request, size_t length) {
    uint32_t asked = 0;
    if (length >= sizeof asked) std::memcpy(&asked, request, sizeof asked);
    return asked;
}

}  // namespace bench

#endif
