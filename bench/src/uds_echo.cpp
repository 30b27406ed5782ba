// velmox-bench-uds-echo: the Unix-domain-socket counterpart of the pipe echo
// task. For every connection it reads one request (a 32-bit length, then that
// many bytes whose first word asks for the answer's length), writes the
// answer and closes the connection. One process, like one pipe.
//
//   velmox-bench-uds-echo -s SOCKETPATH [-r READYFILE]
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <vector>

#include "bench_util.h"
#include "pipe_limits.h"

namespace {

const char kProgram[] = "velmox-bench-uds-echo";
const char kUsage[] = "-s SOCKETPATH [-n PROCESSES] [-r READYFILE]";
const size_t kLargest = kPipeBlockSize;

volatile sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

// Moves all `length` bytes with read or write, resuming after signals;
// false at end of file or on an error.
template <class Io, class Byte>
bool TransferAll(Io io, int fd, Byte* at, size_t length) {
    while (length > 0) {
        ssize_t n = io(fd, at, length);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        at += n;
        length -= size_t(n);
    }
    return true;
}

bool ReadAll(int fd, void* buffer, size_t length) {
    return TransferAll(read, fd, static_cast<char*>(buffer), length);
}

bool WriteAll(int fd, const void* buffer, size_t length) {
    return TransferAll(write, fd, static_cast<const char*>(buffer), length);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    std::string ready;
    long processes = 1;
    int option;
    while ((option = getopt(argc, argv, "hs:n:r:")) != -1) {
        switch (option) {
            case 's': path = optarg; break;
            case 'n': processes = bench::ParseCount(kProgram, optarg, 1, 64); break;
            case 'r': ready = optarg; break;
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) bench::Die(kProgram, "a socket path (-s) is needed");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    struct sigaction action = {};
    action.sa_handler = OnStop;  // no SA_RESTART: accept() returns EINTR
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    unlink(path.c_str());
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0)
        bench::Die(kProgram, "cannot listen on " + path + ": " + std::strerror(errno));
    // Like a pipe task with several pipes: processes that share the
    // listening socket, each answering one connection at a time.
    std::vector<pid_t> workers;
    for (long k = 1; k < processes; ++k) {
        pid_t pid = fork();
        if (pid == 0) {
            workers.clear();
            break;
        }
        if (pid > 0) workers.push_back(pid);
    }
    if (!ready.empty() && (processes == 1 || !workers.empty()))
        bench::WriteFileAtomically(ready, std::to_string(getpid()) + "\n");

    std::vector<char> request(kLargest);
    std::vector<char> answer(kLargest, 'x');
    while (!g_stop) {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) continue;
        uint32_t length = 0;
        if (ReadAll(connection, &length, sizeof length) && length <= kLargest &&
            ReadAll(connection, request.data(), length)) {
            uint32_t asked = bench::AskedLength(request.data(), length);
            WriteAll(connection, answer.data(), std::min<size_t>(asked, kLargest));
        }
        close(connection);
    }
    close(listener);
    for (pid_t pid : workers) kill(pid, SIGTERM);
    for (pid_t pid : workers) waitpid(pid, nullptr, 0);
    if (!workers.empty() || processes == 1) unlink(path.c_str());
    return 0;
}
