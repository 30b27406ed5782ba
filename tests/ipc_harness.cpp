#include "ipc_harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <grp.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "mempipe.h"
#include "os.h"

namespace ipctest {

std::string NewBaseName() {
    static int counter = 0;
    return "/tmp/vxt." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

namespace {

// Each key file with the kind of object it stands for (true: a segment).
std::vector<std::pair<std::string, bool>> KeyFiles(const std::string& base) {
    std::vector<std::pair<std::string, bool>> files = {{base, false},        {base + ".0", true},
                                                       {base + ".sem", false}, {base + ".mtx", false},
                                                       {base + ".csm", false}, {base + ".ssm", false},
                                                       {base + ".stats", true}};
    for (int i = 0; i < kMaxServers; ++i) files.push_back({base + ".shm." + std::to_string(i), true});
    return files;
}

}  // namespace

std::string Listing(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::vector<std::string> ObjectsLeft(const std::string& base) {
    std::vector<std::string> left;
    for (const auto& file : KeyFiles(base)) {
        if (access(file.first.c_str(), F_OK) != 0) continue;
        key_t key = ftok(file.first.c_str(), kTokenId);
        if (key == key_t(-1)) continue;
        bool exists = file.second ? shmget(key, 0, 0) != -1 : semget(key, 0, 0) != -1;
        char text[32];
        std::snprintf(text, sizeof text, "%s 0x%08x ", file.second ? "shm" : "sem", unsigned(key));
        if (exists) left.push_back(text + file.first);
    }
    return left;
}

void RemoveEverything(const std::string& base) {
    for (const auto& file : KeyFiles(base)) {
        RemoveObjectUx(file.second ? file.first.c_str() : (file.first + ".0").c_str(), file.second ? MH_SHM : MH_SEM);
        unlink(file.first.c_str());
    }
}

namespace {

// Set in a canned server's process: the answer to every request.
const std::string* g_cannedAnswer = nullptr;

std::string AnswerTo(const std::string& request, int slot) {
    if (request.empty()) return "bye";
    if (g_cannedAnswer) return *g_cannedAnswer;
    switch (request[0]) {
        case 'N': {
            size_t n = std::strtoul(request.c_str() + 1, nullptr, 10);
            std::string answer(n, 'a');
            for (size_t i = 0; i < n; ++i) answer[i] = char('a' + i % 26);
            return answer;
        }
        case 'L': return std::to_string(request.size());
        case 'S': usleep(useconds_t(std::atoi(request.c_str() + 1)) * 1000); break;
        case 'H':
            for (;;) pause();
        default: break;
    }
    return std::to_string(slot) + ":" + request;
}

// Terminates the pipe of this process when the control pipe is written to
// or closed: the way a server task stops itself.
void WatchControl(int control, std::string base) {
    char byte;
    while (read(control, &byte, 1) < 0 && errno == EINTR) {
    }
    MemoryPipe sender;
    sender.SendTerminateMessage(base.c_str());
}

int ServeWithMemoryPipe(const std::string& base, unsigned long blockSize, int ready, int control,
                        const PipeAccess& access = PipeAccess()) {
    MemoryPipe pipe;
    if (!pipe.Create(base.c_str(), blockSize, access)) {
        char text[IpcFailure::kTextSize];
        fprintf(stderr, "test server not started: %s\n", pipe.Failure().Text(text, sizeof text));
        (void)!write(ready, "F", 1);
        return 2;
    }
    (void)!write(ready, "R", 1);
    std::thread watcher(WatchControl, control, base);
    std::vector<char> buffer(blockSize);
    for (;;) {
        if (!pipe.Connect()) break;
        unsigned long got = 0;
        pipe.Read(buffer.data(), buffer.size(), &got);
        std::string request(buffer.data(), std::min<unsigned long>(got, buffer.size()));
        std::string answer = AnswerTo(request, pipe.m_id.index);
        pipe.Write(&answer[0], answer.size());
        pipe.Disconnect();
        if (got == 0) break;
        if (request[0] == 'Q') _exit(0);  // gone the moment it has answered
        if (request[0] == 'R') {
            // Registered anew at once, by the same process: the same slot
            // and a new block within the same second.
            pipe.Close();
            if (!pipe.Create(base.c_str(), blockSize, access)) {
                char text[IpcFailure::kTextSize];
                fprintf(stderr, "test server not registered anew: %s\n", pipe.Failure().Text(text, sizeof text));
                return 2;
            }
        }
        if (request[0] == 'Z') {
            // Out of Connect for good, but still registered for a while: a
            // server between its last answer and its Close.
            usleep(useconds_t(std::atoi(request.c_str() + 1)) * 1000);
            pipe.Close();
            _exit(0);
        }
    }
    pipe.Close();
    watcher.join();
    return 0;
}

int ServeWithSimplePipe(const std::string& base, unsigned long blockSize, int ready, int control) {
    SimplePipe pipe;
    try {
        pipe.Create(base.c_str(), blockSize, blockSize);
    } catch (...) {
        (void)!write(ready, "F", 1);
        return 2;
    }
    (void)!write(ready, "R", 1);
    std::thread watcher(WatchControl, control, base);
    for (;;) {
        if (!pipe.Connect()) break;
        pipe.Read();
        SimpleStream& in = *pipe.Input();
        std::string request(in.m_begin, in.m_eof);
        std::string answer = AnswerTo(request, pipe.m_pipe.m_id.index);
        SimpleStream& out = *pipe.Output();
        out.SetEof(0);
        out.Write(answer.data(), int(answer.size()));
        pipe.Write();
        pipe.Disconnect();
        if (request.empty()) break;
    }
    pipe.Close();
    watcher.join();
    return 0;
}

}  // namespace

Server StartCannedServer(const std::string& base, unsigned long blockSize, const std::string& answer) {
    g_cannedAnswer = &answer;  // copied into the child by the fork
    Server server = StartServer(base, blockSize);
    g_cannedAnswer = nullptr;
    return server;
}

std::string AskChild(const std::function<std::string()>& body, double seconds) {
    int channel[2];
    if (pipe(channel) != 0) return "child not started: no pipe";
    pid_t pid = proc::Spawn([&] {
        close(channel[0]);
        std::string text = body();
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(channel[1], text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 1;
            done += size_t(n);
        }
        return 0;
    });
    close(channel[1]);
    double deadline = kit::Now() + seconds;
    std::string text = proc::ReadAll(channel[0], seconds);
    close(channel[0]);
    int status = proc::Wait(pid, std::max(0.1, deadline - kit::Now()));
    if (status != 0) return "child ended with status " + std::to_string(status) + " after: " + text;
    return text;
}

bool BecomeUser(const User& user) {
    return setgroups(user.groups.size(), user.groups.data()) == 0 && setgid(user.gid) == 0 &&
           setuid(user.uid) == 0 && geteuid() == user.uid;
}

namespace {

// Starts `serve(ready, control)` in a child and waits until it reports.
Server StartServing(const std::function<int(int, int)>& serve) {
    int ready[2], control[2];
    Server server;
    if (pipe(ready) != 0) return server;
    if (pipe(control) != 0) {
        close(ready[0]);
        close(ready[1]);
        return server;
    }
    pid_t pid = proc::Spawn([&] {
        close(ready[0]);
        close(control[1]);
        return serve(ready[1], control[0]);
    });
    close(ready[1]);
    close(control[0]);
    char state = 0;
    // A server registers in well under the bound; a hang shows as failure.
    double deadline = kit::Now() + 30;
    ssize_t n;
    while ((n = read(ready[0], &state, 1)) < 0 && errno == EINTR && kit::Now() < deadline) {
    }
    close(ready[0]);
    server.pid = pid;
    server.control = control[1];
    if (n != 1 || state != 'R') {
        proc::Wait(pid, 5);
        close(control[1]);
        server.pid = -1;
        server.control = -1;
    }
    return server;
}

}  // namespace

Server StartServer(const std::string& base, unsigned long blockSize, bool useSimplePipe) {
    return StartServing([&](int ready, int control) {
        return useSimplePipe ? ServeWithSimplePipe(base, blockSize, ready, control)
                             : ServeWithMemoryPipe(base, blockSize, ready, control);
    });
}

Server StartServerAs(const std::string& base, const User& user, const PipeAccess& access, unsigned long blockSize) {
    return StartServing([&](int ready, int control) {
        if (!BecomeUser(user)) {
            (void)!write(ready, "F", 1);
            return 2;
        }
        return ServeWithMemoryPipe(base, blockSize, ready, control, access);
    });
}

bool Server::Stop(double seconds) {
    if (pid <= 0) return false;
    (void)!write(control, "x", 1);
    close(control);
    control = -1;
    int status = proc::Wait(pid, seconds);
    pid = -1;
    return status == 0;
}

int CallOnce(const std::string& base, const std::string& request, std::string* answer, unsigned long replySize,
             unsigned long* replyLen) {
    std::vector<unsigned char> reply(replySize ? replySize : 1);
    unsigned long length = 0;
    MemoryPipe pipe;
    std::string copy = request;
    int ok = pipe.Call(base.c_str(), reinterpret_cast<unsigned char*>(&copy[0]), copy.size(), reply.data(),
                       replySize, &length);
    if (replyLen) *replyLen = length;
    if (answer) answer->assign(reinterpret_cast<char*>(reply.data()), std::min<unsigned long>(length, replySize));
    return ok;
}

void IpcTest::SetUp() {
    base = NewBaseName();
    signal(SIGPIPE, SIG_IGN);
}

void IpcTest::TearDown() {
    for (pid_t pid : children) {
        if (pid > 0 && kill(pid, 0) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    RemoveEverything(base);
}

pid_t IpcTest::Track(pid_t pid) {
    children.push_back(pid);
    return pid;
}

Server IpcTest::Track(Server server) {
    children.push_back(server.pid);
    return server;
}

void ExpectNothingLeft(const std::string& base) {
    std::vector<std::string> left = ObjectsLeft(base);
    EXPECT_TRUE(left.empty()) << "objects left of " << base << ":\n" << Listing(left);
}

void IpcTest::ExpectNothingLeft() { ipctest::ExpectNothingLeft(base); }

// ------------------------------------------------------ the fixed pipe name

std::vector<ServerID> Registered(const std::string& base) {
    std::vector<ServerID> slots;
    ServerMonitor monitor;
    if (!monitor.Inspect(base.c_str())) return slots;
    ServerList list;
    if (monitor.GetServerList(list)) {
        for (int i = 0; i < kMaxServers; ++i)
            if (list.servers[i].index == i) slots.push_back(list.servers[i]);
    }
    monitor.Detach();
    return slots;
}

std::vector<int> LiveServers(const std::string& base) {
    std::vector<int> pids;
    for (const ServerID& id : Registered(base))
        if (OpSys::ProcessExists(id.serverPid)) pids.push_back(id.serverPid);
    return pids;
}

namespace {

// Processes attached to the registry block of a base name; -1 when there is
// no block.
int RegistryAttachments(const std::string& base) {
    std::string file = base + ".0";
    if (access(file.c_str(), F_OK) != 0) return -1;
    int id = shmget(ftok(file.c_str(), kTokenId), 0, 0);
    struct shmid_ds info;
    if (id == -1 || shmctl(id, IPC_STAT, &info) == -1) return -1;
    return int(info.shm_nattch);
}

}  // namespace

std::string ClaimPipeName(double seconds) {
    // Objects are left from a crash, not in use, when no live server is
    // registered and no process has the registry attached; a name whose
    // objects look half-made for a while is left over as well.
    double deadline = kit::Now() + seconds, halfSince = -1;
    for (;;) {
        if (ObjectsLeft(kPipeName).empty()) return "";
        int attached = RegistryAttachments(kPipeName);
        bool stale = attached == 0 && LiveServers(kPipeName).empty();
        if (attached < 0) {
            if (halfSince < 0) halfSince = kit::Now();
            stale = kit::Now() - halfSince > 3;
        } else {
            halfSince = -1;
        }
        if (stale) ServerMonitor::RemoveAll(kPipeName);
        if (kit::Now() > deadline) break;
        if (!stale) usleep(100 * 1000);
    }
    std::vector<int> live = LiveServers(kPipeName);
    return "another run keeps using " + std::string(kPipeName) +
           (live.empty() ? std::string() : " (server pid " + std::to_string(live[0]) + ")") +
           "; stop it first (scripts/stop-service):\n" + Listing(ObjectsLeft(kPipeName));
}

}  // namespace ipctest
