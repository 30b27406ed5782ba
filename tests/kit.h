// The small tools every suite shares, each defined here once: the monotonic
// clock, whole files, hexadecimal, and a stream socket to a local server.
// Header only and free of GoogleTest, so that the programs the benchmarks
// build from the tests' sources (bench/CMakeLists.txt) use them as well.
// Processes: process.h.
#ifndef VELMOX_TESTS_KIT_H
#define VELMOX_TESTS_KIT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>

namespace kit {

// The gateway's own texts, which tests expect byte for byte: the head of
// its fixed pages and the headings of its communication and exception pages.
inline const std::string kPageHead = "Content-type: text/html\n\n";
inline const std::string kCommunicationHeading = "<h2>Cannot communicate with Velmox server</h2>";
inline const std::string kExceptionHeading = "<h2>Velmox CGI exception</h2>";

// Seconds on the monotonic clock.
inline double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Milliseconds on the monotonic clock.
inline long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

inline void SleepMs(long ms) {
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// True as soon as `done` holds, false when `seconds` pass first; asks
// every `everyMs` milliseconds.
inline bool WaitUntil(const std::function<bool()>& done, double seconds, long everyMs = 10) {
    double deadline = Now() + seconds;
    while (!done()) {
        if (Now() > deadline) return false;
        SleepMs(everyMs);
    }
    return true;
}

// The whole file; "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    close(fd);
    return text;
}

// Makes or truncates the file (mode 0644) and writes text; false when any
// of it was not written.
inline bool WriteFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    return close(fd) == 0 && done == text.size();
}

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A directory under /tmp removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const char* prefix = "velmox-test") {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (!mkdtemp(&pattern[0])) std::abort();
        m_path = pattern;
    }
    ~TempDir() { nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

    std::string m_path;
};

// The text of <td id="id">...</td> in a server's page as it stands there
// (still escaped); "<missing id>" or "<unclosed id>" when there is none.
inline std::string Cell(const std::string& page, const std::string& id) {
    std::string open = "<td id=\"" + id + "\">";
    size_t start = page.find(open);
    if (start == std::string::npos) return "<missing " + id + ">";
    start += open.size();
    size_t end = page.find("</td>", start);
    return end == std::string::npos ? "<unclosed " + id + ">" : page.substr(start, end - start);
}

// Copies a program file to `to`, mode 0755.
inline bool CopyExecutable(const std::string& from, const std::string& to) {
    std::string bytes = ReadFile(from);
    return !bytes.empty() && WriteFile(to, bytes) && chmod(to.c_str(), 0755) == 0;
}

// The first of the candidates (paths) that can be run; "" when none can.
inline std::string FindProgram(std::initializer_list<const char*> candidates) {
    for (const char* c : candidates)
        if (access(c, X_OK) == 0) return c;
    return "";
}

// Text with every `from` replaced by `to`.
inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Lower-case hexadecimal of every byte.
inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Waits for `events` on fd until `deadline` (Now(); 0: no limit); false on
// expiry or error.
inline bool Ready(int fd, short events, double deadline) {
    struct pollfd p = {fd, events, 0};
    for (;;) {
        int wait = deadline > 0 ? int((deadline - Now()) * 1000) + 1 : -1;
        if (deadline > 0 && wait < 0) wait = 0;
        int n = poll(&p, 1, wait);
        if (n > 0) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

// Connects to "unix:PATH", a PATH with a '/', or IPV4:PORT; -1 on failure,
// with its cause in *why. Without a deadline (0) the socket blocks and so
// does the connect; with one (Now() seconds) the socket is non-blocking
// (SendAll and Ready wait on it) and the connect waits no longer.
inline int Connect(const std::string& address, double deadline = 0, std::string* why = nullptr) {
    auto fail = [why](int fd, const std::string& cause) {
        if (fd >= 0) close(fd);
        if (why) *why = cause;
        return -1;
    };
    int type = SOCK_STREAM | SOCK_CLOEXEC | (deadline > 0 ? SOCK_NONBLOCK : 0);
    std::string path = address.compare(0, 5, "unix:") == 0 ? address.substr(5) : address;
    sockaddr_un un{};
    sockaddr_in in{};
    sockaddr* sa = nullptr;
    socklen_t length = 0;
    int fd = -1;
    if (path.find('/') != std::string::npos) {
        if (path.size() >= sizeof un.sun_path) return fail(-1, "socket path too long: " + path);
        un.sun_family = AF_UNIX;
        std::memcpy(un.sun_path, path.c_str(), path.size() + 1);
        sa = reinterpret_cast<sockaddr*>(&un);
        length = sizeof un;
        fd = socket(AF_UNIX, type, 0);
    } else {
        size_t colon = address.rfind(':');
        if (colon == std::string::npos) return fail(-1, "not HOST:PORT: " + address);
        std::string host = address.substr(0, colon);
        in.sin_family = AF_INET;
        in.sin_port = htons(uint16_t(std::atoi(address.c_str() + colon + 1)));
        if (inet_pton(AF_INET, host.c_str(), &in.sin_addr) != 1) return fail(-1, "not an IPv4 address: " + host);
        sa = reinterpret_cast<sockaddr*>(&in);
        length = sizeof in;
        fd = socket(AF_INET, type, 0);
    }
    if (fd < 0) return fail(-1, std::string("socket: ") + std::strerror(errno));
    if (connect(fd, sa, length) != 0) {
        int error = errno;
        socklen_t size = sizeof error;
        if (deadline <= 0 || error != EINPROGRESS || !Ready(fd, POLLOUT, deadline) ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
            return fail(fd, std::string("connect: ") + std::strerror(error == EINPROGRESS ? ETIMEDOUT : error));
    }
    return fd;
}

// Sends every byte (never SIGPIPE); on a non-blocking socket it waits until
// `deadline` (Now(); 0: no limit). False when the peer or the deadline
// stopped it.
inline bool SendAll(int fd, const std::string& bytes, double deadline = 0) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (!Ready(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace kit

#endif
