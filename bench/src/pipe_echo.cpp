// velmox-bench-pipe-echo: a server task for the exchange benchmarks. It runs
// N pipes of a base name with the library's server half, one process each,
// and answers every request with as many bytes as the request's first word
// asks for (cut to the pipe block). SIGTERM or SIGINT ends every pipe; the
// last one removes the base name's objects.
//
//   velmox-bench-pipe-echo -b BASE [-n PIPES] [-r READYFILE]
#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "pipe_limits.h"
#include "except.h"
#include "os.h"

namespace {

const char kProgram[] = "velmox-bench-pipe-echo";
const char kUsage[] = "-b BASE [-n PIPES] [-r READYFILE]";
const unsigned long kBlockSize = kPipeBlockSize;

// The terminate message must come from within the pipe's process while its
// loop waits for a request: a thread of its own takes the stop signal.
void WatchForStop(const std::string& base) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    int signal = 0;
    while (sigwait(&stop, &signal) != 0) {
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        SimplePipe sender;
        if (sender.SendTerminateMessage(base.c_str())) return;
        usleep(100 * 1000);
    }
    _exit(3);
}

// Reports 'R' (ready) or 'F' (failed) on fd `report`.
int ServePipe(const std::string& base, int report) {
    SimplePipe pipe;
    try {
        pipe.Create(base.c_str(), kBlockSize, kBlockSize);
    } catch (const Exception&) {
        (void)!write(report, "F", 1);
        return 1;
    }
    // Only the watcher takes the alarm of its own timed waits.
    sigset_t alarmSet;
    sigemptyset(&alarmSet);
    sigaddset(&alarmSet, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarmSet, nullptr);
    std::thread watcher([&base] {
        sigset_t unblock;
        sigemptyset(&unblock);
        sigaddset(&unblock, SIGALRM);
        pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
        WatchForStop(base);
    });
    (void)!write(report, "R", 1);
    close(report);
    SimpleStream& in = *pipe.Input();
    SimpleStream& out = *pipe.Output();
    // The answers are filler; only their length matters.
    std::memset(out.Data(), 'x', out.Capacity());
    for (;;) {
        if (!pipe.Connect()) break;
        pipe.Read();
        uint32_t length = in.Length();
        if (length == 0) {  // the terminate message
            out.SetEof(3);
            pipe.Write();
            pipe.Disconnect();
            break;
        }
        uint32_t asked = bench::AskedLength(in.Data(), length);
        out.SetEof(std::min<uint32_t>(asked == 0 ? 1 : asked, out.Capacity()));
        pipe.Write();
        pipe.Disconnect();
    }
    watcher.join();
    pipe.Close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string base;
    std::string ready;
    int pipes = 1;
    int option;
    while ((option = getopt(argc, argv, "hb:n:r:")) != -1) {
        switch (option) {
            case 'b': base = optarg; break;
            case 'n': pipes = int(bench::ParseCount(kProgram, optarg, 1, 64)); break;
            case 'r': ready = optarg; break;
            case 'h': bench::Help(kProgram, kUsage);
            default: bench::Die(kProgram, std::string("usage: ") + kUsage);
        }
    }
    if (base.empty()) bench::Die(kProgram, "a base name (-b) is needed");
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    std::vector<pid_t> children;
    int reports[2];
    if (pipe(reports) != 0) bench::Die(kProgram, "pipe failed");
    for (int i = 0; i < pipes; ++i) {
        pid_t child = fork();
        if (child == 0) {
            close(reports[0]);
            _exit(ServePipe(base, reports[1]));
        }
        if (child < 0) bench::Die(kProgram, "fork failed");
        children.push_back(child);
        // One at a time: each registers before the next starts.
        char state = 0;
        if (read(reports[0], &state, 1) != 1 || state != 'R') {
            for (pid_t c : children) kill(c, SIGTERM);
            while (wait(nullptr) > 0) {
            }
            bench::Die(kProgram, "a pipe could not be made under " + base);
        }
    }
    close(reports[1]);
    if (!ready.empty()) bench::WriteFileAtomically(ready, std::to_string(getpid()) + "\n");

    int signal = 0;
    int status = 0;
    for (;;) {
        // A pipe process that dies ends the whole task.
        struct timespec slice = {0, 200 * 1000 * 1000};
        siginfo_t info;
        signal = sigtimedwait(&stop, &info, &slice);
        if (signal > 0) break;
        pid_t gone = waitpid(-1, &status, WNOHANG);
        if (gone > 0) {
            children.erase(std::find(children.begin(), children.end(), gone));
            status = 1;
            break;
        }
    }
    for (pid_t c : children) kill(c, SIGTERM);
    int worst = 0;
    for (pid_t c : children) {
        int childStatus = 0;
        waitpid(c, &childStatus, 0);
        if (!WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0) worst = 1;
    }
    return worst || (signal <= 0 && status != 0) ? 1 : 0;
}
