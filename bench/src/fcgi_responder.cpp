// velmox-bench-fcgi-responder: a small FastCGI responder on the FastCGI
// devkit's library (libfcgi) that reads the request body and answers the
// same page as the trivial CGI program. It listens on a Unix-domain socket
// with W worker processes that share it (as the sample server task runs one
// process per pipe). SIGTERM or SIGINT ends it and removes the socket.
//
//   velmox-bench-fcgi-responder -s SOCKETPATH [-w WORKERS] [-p PAGEBYTES] [-r READYFILE]
#include <fcgiapp.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "bench_util.h"
#include "page_fill.h"

namespace {

const char kProgram[] = "velmox-bench-fcgi-responder";
const char kUsage[] = "-s SOCKETPATH [-w WORKERS] [-p PAGEBYTES] [-r READYFILE]";

void Serve(int listener, const std::vector<char>& page) {
    FCGX_Request request;
    if (FCGX_InitRequest(&request, listener, 0) != 0) _exit(1);
    char body[4096];
    while (FCGX_Accept_r(&request) >= 0) {
        while (FCGX_GetStr(body, sizeof body, request.in) > 0) {
        }
        FCGX_PutStr(page.data(), int(page.size()), request.out);
        FCGX_Finish_r(&request);
    }
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path, ready;
    long workers = 4, pageBytes = 4800;
    int option;
    while ((option = getopt(argc, argv, "hs:w:p:r:")) != -1) {
        switch (option) {
            case 's': path = optarg; break;
            case 'w': workers = bench::ParseCount(kProgram, optarg, 1, 256); break;
            case 'p': pageBytes = bench::ParseCount(kProgram, optarg, 1, 1 << 20); break;
            case 'r': ready = optarg; break;
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    if (path.empty()) bench::Die(kProgram, "a socket path (-s) is needed");
    std::vector<char> page(size_t(pageBytes) + 256);
    page.resize(FillBenchPage(page.data(), size_t(pageBytes)));

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    if (FCGX_Init() != 0) bench::Die(kProgram, "FCGX_Init failed");
    unlink(path.c_str());
    int listener = FCGX_OpenSocket(path.c_str(), 128);
    if (listener < 0) bench::Die(kProgram, "cannot listen on " + path);
    std::vector<pid_t> children;
    for (long i = 0; i < workers; ++i) {
        pid_t child = fork();
        if (child == 0) {
            sigprocmask(SIG_UNBLOCK, &stop, nullptr);
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            Serve(listener, page);
        }
        if (child < 0) bench::Die(kProgram, "fork failed");
        children.push_back(child);
    }
    if (!ready.empty()) bench::WriteFileAtomically(ready, std::to_string(getpid()) + "\n");
    int signal = 0;
    sigwait(&stop, &signal);
    for (pid_t child : children) kill(child, SIGTERM);
    for (pid_t child : children) waitpid(child, nullptr, 0);
    close(listener);
    unlink(path.c_str());
    return 0;
}
