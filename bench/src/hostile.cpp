// velmox-bench-hostile: the hostile clients of the FastCGI benchmark, and
// the refusal of a body longer than any request, timed in both modes.
//
//   velmox-bench-hostile stall -s SOCKET -n N [-r READYFILE]
//       holds N connections to the FastCGI gateway's socket stalled: a third
//       silent, a third with half a record header, a third with half the
//       parameters of a request. One that the gateway closes (its read
//       limit, its bound) is opened again at once. Writes READYFILE once all
//       are open; SIGTERM or SIGINT ends it with a line on standard output:
//       "reopened R".
//   velmox-bench-hostile refuse -s SOCKET -c COUNT
//       COUNT requests, one after another, each announcing a body of 100 MB
//       (CONTENT_LENGTH 100000000) and sending none of it: the time from the
//       request's head sent to the end of its answer, which must be the
//       gateway's page with status 413. Prints "median_ms,p99_ms,count".
//   velmox-bench-hostile refuse-cgi -g GATEWAY -c COUNT
//       COUNT runs of the CGI gateway with the same CONTENT_LENGTH and a
//       standard input that stays open with nothing on it (a web server
//       that has not sent the body): from the fork to the end of its
//       output, which must be the page with status 413. Prints
//       "median_ms,p99_ms,count".
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <vector>

#include "bench_util.h"
#include "fcgi_client.h"

namespace {

const char kProgram[] = "velmox-bench-hostile";
const char kUsage[] = "stall -s SOCKET -n N [-r READYFILE] | refuse -s SOCKET -c COUNT | refuse-cgi -g GATEWAY -c COUNT";
const char kAnnounced[] = "100000000";
const std::string kTooLong = "Status: 413 ";

volatile sig_atomic_t s_stop = 0;
void OnStop(int) { s_stop = 1; }

fcgi::Params Head(const char* length) {
    return {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"REQUEST_METHOD", "POST"}, {"SCRIPT_NAME", "/velmox.cgi"},
            {"PATH_INFO", "/Save/Local/hostile"}, {"REMOTE_ADDR", "127.0.0.1"},
            {"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"CONTENT_LENGTH", length}};
}

// The bytes of the i-th stalled connection.
std::string StalledBytes(size_t i) {
    switch (i % 3) {
        case 0: return "";
        case 1: return fcgi::BeginRequest().substr(0, 5);
        default: {
            std::string params = fcgi::ParamsStream(Head("10"));
            return fcgi::BeginRequest() + params.substr(0, params.size() / 2);
        }
    }
}

int Open(const std::string& socket, size_t i) {
    int fd = fcgi::Connect(socket);
    if (fd < 0 || !fcgi::SendAll(fd, StalledBytes(i))) bench::Die(kProgram, "cannot connect to " + socket);
    return fd;
}

int Stall(const std::string& socket, long count, const std::string& ready) {
    std::vector<pollfd> held(static_cast<size_t>(count));
    for (size_t i = 0; i < held.size(); ++i) held[i] = {Open(socket, i), POLLIN, 0};
    if (!ready.empty()) bench::WriteFileAtomically(ready, std::to_string(getpid()) + "\n");
    long reopened = 0;
    while (!s_stop) {
        if (poll(held.data(), held.size(), 200) <= 0) continue;
        for (size_t i = 0; i < held.size(); ++i) {
            if (!held[i].revents) continue;
            char drop[256];
            ssize_t n = recv(held[i].fd, drop, sizeof drop, MSG_DONTWAIT);
            if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) continue;
            close(held[i].fd);  // closed by the gateway: open it again
            held[i].fd = Open(socket, i);
            ++reopened;
        }
    }
    for (const pollfd& p : held) close(p.fd);
    std::printf("reopened %ld\n", reopened);
    return 0;
}

void Report(const std::vector<double>& ms) {
    std::printf("%.3f,%.3f,%zu\n", bench::Median(ms), bench::Quantile(ms, 0.99), ms.size());
}

int Refuse(const std::string& socket, long count) {
    std::string head = fcgi::BeginRequest() + fcgi::ParamsStream(Head(kAnnounced));
    std::vector<double> ms;
    for (long i = 0; i < count; ++i) {
        int fd = fcgi::Connect(socket);
        if (fd < 0) bench::Die(kProgram, "cannot connect to " + socket);
        int64_t start = bench::NowNs();
        if (!fcgi::SendAll(fd, head)) bench::Die(kProgram, "cannot send");
        fcgi::Reply reply = fcgi::ReadReplies(fd, 1, 10000)[0];
        ms.push_back(double(bench::NowNs() - start) / 1e6);
        close(fd);
        if (!reply.ended || reply.out.compare(0, kTooLong.size(), kTooLong) != 0)
            bench::Die(kProgram, "not refused with 413: " + reply.out.substr(0, 200));
    }
    Report(ms);
    return 0;
}

int RefuseCgi(const std::string& gateway, long count) {
    std::vector<double> ms;
    char dir[] = "/tmp/velmox-bench-refuse-XXXXXX";  // no velmox.ini: no trace
    if (!mkdtemp(dir)) bench::Die(kProgram, "mkdtemp failed");
    for (long i = 0; i < count; ++i) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) bench::Die(kProgram, "pipe failed");
        int64_t start = bench::NowNs();
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (chdir(dir) != 0) _exit(127);
            std::string length = std::string("CONTENT_LENGTH=") + kAnnounced;
            char* env[] = {const_cast<char*>("GATEWAY_INTERFACE=CGI/1.1"), const_cast<char*>("REQUEST_METHOD=POST"),
                           const_cast<char*>("PATH_INFO=/Save/Local/hostile"), &length[0], nullptr};
            char* argv[] = {const_cast<char*>(gateway.c_str()), nullptr};
            execve(gateway.c_str(), argv, env);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        std::string output;
        char chunk[4096];
        ssize_t n;
        while ((n = read(out[0], chunk, sizeof chunk)) > 0) output.append(chunk, size_t(n));
        ms.push_back(double(bench::NowNs() - start) / 1e6);
        close(out[0]);
        close(in[1]);  // held open until the gateway ended
        waitpid(pid, nullptr, 0);
        if (output.compare(0, kTooLong.size(), kTooLong) != 0)
            bench::Die(kProgram, "not refused with 413: " + output.substr(0, 200));
    }
    rmdir(dir);
    Report(ms);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) bench::Die(kProgram, std::string("usage: ") + kUsage);
    std::string mode = argv[1];
    if (mode == "-h" || mode == "--help") bench::Help(kProgram, kUsage);
    std::string socket, ready, gateway;
    long count = 0;
    int option;
    optind = 2;
    while ((option = getopt(argc, argv, "hs:n:c:r:g:")) != -1) {
        switch (option) {
            case 's': socket = optarg; break;
            case 'n':
            case 'c': count = bench::ParseCount(kProgram, optarg, 1, 100000); break;
            case 'r': ready = optarg; break;
            case 'g': gateway = optarg; break;
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    if (mode == "stall" && !socket.empty() && count > 0) {
        signal(SIGTERM, OnStop);
        signal(SIGINT, OnStop);
        return Stall(socket, count, ready);
    }
    if (mode == "refuse" && !socket.empty() && count > 0) return Refuse(socket, count);
    if (mode == "refuse-cgi" && !gateway.empty() && count > 0) return RefuseCgi(gateway, count);
    bench::Die(kProgram, std::string("usage: ") + kUsage);
}
