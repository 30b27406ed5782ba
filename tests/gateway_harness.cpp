#include "gateway_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "opsys.h"

#ifndef VELMOX_GATEWAY
#error "VELMOX_GATEWAY must name the built gateway"
#endif

extern char** environ;

namespace gwtest {

const std::string kAnswerHead = "Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n";
const std::string kCommunicationPage = kit::kPageHead + kit::kCommunicationHeading;
const std::string kExceptionPage = kit::kPageHead + kit::kExceptionHeading;

std::string StatusLine(const char* status) { return std::string("Status: ") + status + "\n"; }

namespace {

const char kPageEnd[] = "</body>\n</html>\n\n";  // the page's end, then the gateway's line feed
// A body up to this size fits the pipe's buffer: written before the start.
const size_t kPipedBodyLimit = 16384;

using kit::NowMs;

// An empty working directory for the gateways of this process, so that no
// velmox.ini is found; removed when the process exits normally.
std::string g_workDir;

void RemoveWorkDir() {
    if (!g_workDir.empty()) rmdir(g_workDir.c_str());
}

const std::string& WorkDir() {
    if (g_workDir.empty()) {
        char pattern[] = "/tmp/velmox-gwrun-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        g_workDir = pattern;
        std::atexit(RemoveWorkDir);
    }
    return g_workDir;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Standard input for a gateway: a pipe already holding a small body, or a
// file holding a large one (so that nothing here ever blocks on it).
int BodyInput(const std::string& body, std::string* file) {
    if (body.size() <= kPipedBodyLimit) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -1;
        bool ok = WriteAll(fds[1], body);
        close(fds[1]);
        if (!ok) {
            close(fds[0]);
            return -1;
        }
        return fds[0];
    }
    char pattern[] = "/tmp/velmox-gwbody-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) return -1;
    *file = pattern;
    bool ok = WriteAll(fd, body);
    close(fd);
    return ok ? open(pattern, O_RDONLY | O_CLOEXEC) : -1;
}

SemState StateOf(const std::string& name) {
    SemState state;
    MHandle* handle = OpenSetUx(name.c_str(), MH_MUTEX);
    if (!handle) return state;
    state.value = semctl(handle->id, handle->member, GETVAL);
    state.lastPid = semctl(handle->id, handle->member, GETPID);
    state.waiting = semctl(handle->id, handle->member, GETNCNT);
    FreeHandleUx(handle);
    return state;
}

}  // namespace

// ------------------------------------------------------------------ requests

TaggedRequest Tagged(int kind, const std::string& tag) {
    static const char* const kNames[] = {"Save", "Compose", "Search", "ImageMap", "RunAgent"};
    TaggedRequest r;
    r.command = kNames[((kind % 5) + 5) % 5];
    r.tag = tag;
    r.path = "/" + r.command + "/Local/" + tag;
    r.env = {{"PATH_INFO", r.path},
             {"HTTP_REFERER", tag},
             {"REMOTE_ADDR", "192.0.2.44"},
             {"SCRIPT_NAME", "/cgi-bin/velmox.cgi"},
             {"SERVER_PROTOCOL", "HTTP/1.1"}};
    if (r.command == "Save") {
        r.body = "tag=" + tag + "&Body=saved+text";
        r.env.push_back({"QUERY_STRING", "2a&89abcdef012345670011223344556677"});
    } else if (r.command == "Compose") {
        r.env.push_back({"QUERY_STRING", "1f&0123456789abcdef0011223344556677"});
    } else if (r.command == "Search") {
        r.body = "SREQUEST=Search&SEARCH=" + tag;
    } else if (r.command == "ImageMap") {
        r.env.push_back({"QUERY_STRING", "120,45"});
    } else {
        r.env.push_back({"QUERY_STRING", tag});
    }
    r.env.push_back({"REQUEST_METHOD", r.body.empty() ? "GET" : "POST"});
    if (!r.body.empty()) r.env.push_back({"CONTENT_LENGTH", std::to_string(r.body.size())});
    return r;
}

// ------------------------------------------------------------------ gateway

Gateway::~Gateway() {
    if (m_pid > 0 && !m_ended) {
        kill(m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (m_out >= 0) close(m_out);
    if (!m_bodyFile.empty()) unlink(m_bodyFile.c_str());
}

bool Gateway::Start(const Env& env, const std::string& body) { return Launch(env, body, false); }

bool Gateway::StartTraced(const TaggedRequest& request) { return Launch(request.env, request.body, true); }

bool Gateway::Launch(const Env& env, const std::string& body, bool traced) {
    int in = BodyInput(body, &m_bodyFile);
    int out[2];
    if (in < 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in);
        return false;
    }
    proc::Options options;
    options.env = env;
    options.cleanEnv = true;
    // A sanitizer build reports through its options; the web server's
    // environment would not carry them, the test's does.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char* value = std::getenv(name);
        std::string text = value ? value : "";
        // The leak check stops the process's threads with ptrace, which a
        // traced process cannot have: it would end in an error of its own.
        if (traced && std::string(name) == "ASAN_OPTIONS")
            text += (text.empty() ? "" : ":") + std::string("detect_leaks=0");
        if (!text.empty()) options.env.push_back({name, text});
    }
    options.in = in;
    options.out = out[1];
    options.errToOut = true;
    options.dir = WorkDir();
    options.traced = traced;
    m_startMs = NowMs();
    m_pid = proc::Start({VELMOX_GATEWAY}, options);
    bool failed = m_pid <= 0;
    close(in);
    close(out[1]);
    if (failed) {
        m_pid = -1;
        close(out[0]);
        return false;
    }
    m_out = out[0];
    if (!traced) return true;
    // The exec stops a process that asked to be traced.
    m_traced = true;
    int stopSignal = 0;
    if (!Resume(-1, 0, 20, &stopSignal) || stopSignal != SIGTRAP) return false;
    ptrace(PTRACE_SETOPTIONS, m_pid, nullptr, reinterpret_cast<void*>(long(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL)));
    return true;
}

bool Gateway::Resume(int request, int signal, double seconds, int* stopSignal) {
    if (request >= 0 && ptrace(__ptrace_request(request), m_pid, nullptr, reinterpret_cast<void*>(long(signal))) != 0)
        return false;
    long long deadline = NowMs() + (long long)(seconds * 1000);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            if (WIFSTOPPED(status)) {
                *stopSignal = WSTOPSIG(status);
                return true;
            }
            m_ended = true;
            m_endStatus = status;
            m_traced = false;
            return false;
        }
        if ((r < 0 && errno != EINTR) || NowMs() >= deadline) return false;
        usleep(200);
    }
}

bool Gateway::Step(double seconds) {
    if (!m_traced) return false;
    long long deadline = NowMs() + (long long)(seconds * 1000);
    for (;;) {
        int stopSignal = 0;
        int signal = m_pendingSignal;
        m_pendingSignal = 0;
        double left = double(deadline - NowMs()) / 1000;
        if (left <= 0 || !Resume(PTRACE_SYSCALL, signal, left, &stopSignal)) return false;
        if (stopSignal != (SIGTRAP | 0x80)) {
            m_pendingSignal = stopSignal;  // its own signal (an alarm): delivered as it would be
            continue;
        }
        struct __ptrace_syscall_info info;
        if (ptrace(PTRACE_GET_SYSCALL_INFO, m_pid, reinterpret_cast<void*>(sizeof info), &info) <= 0) return false;
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
            long number = long(info.entry.nr);
            if (number == SYS_semget || number == SYS_shmget || number == SYS_semtimedop || number == SYS_semop)
                m_ipcBegun = true;
            continue;
        }
        if (info.op == PTRACE_SYSCALL_INFO_EXIT && m_ipcBegun) {
            ++m_steps;
            return true;
        }
    }
}

bool Gateway::Release(int signal) {
    if (!m_traced) return false;
    m_traced = false;
    if (signal == SIGKILL) return kill(m_pid, SIGKILL) == 0;
    if (signal == 0) return ptrace(PTRACE_DETACH, m_pid, nullptr, reinterpret_cast<void*>(long(m_pendingSignal))) == 0;
    // Sent now, the signal stops the process on its way back from the system
    // call, before it runs anything more; there it is handed over for good.
    kill(m_pid, signal);
    int next = m_pendingSignal;
    for (int round = 0; round < 8; ++round) {
        int stopSignal = 0;
        if (!Resume(PTRACE_SYSCALL, next, 10, &stopSignal)) return false;
        if (stopSignal == signal)
            return ptrace(PTRACE_DETACH, m_pid, nullptr, reinterpret_cast<void*>(long(signal))) == 0;
        next = stopSignal == (SIGTRAP | 0x80) ? 0 : stopSignal;
    }
    return false;
}

bool Gateway::Finish(double seconds) {
    if (m_pid <= 0) return false;
    if (m_traced) Release(0);
    long long deadline = NowMs() + (long long)(seconds * 1000);
    char buffer[65536];
    while (m_out >= 0) {
        long long left = deadline - NowMs();
        if (left <= 0) break;
        struct pollfd p = {m_out, POLLIN, 0};
        int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(m_out);
            m_out = -1;
            break;
        }
        m_output.append(buffer, size_t(n));
    }
    int status = m_endStatus;
    while (!m_ended) {
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) break;
        if (r < 0 && errno != EINTR) break;
        if (NowMs() >= deadline) {
            kill(m_pid, SIGKILL);
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_hung = true;
            break;
        }
        usleep(1000);
    }
    m_pid = -1;
    if (m_out >= 0) {
        close(m_out);
        m_out = -1;
    }
    if (!m_bodyFile.empty()) {
        unlink(m_bodyFile.c_str());
        m_bodyFile.clear();
    }
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_elapsedMs = NowMs() - m_startMs;
    return !m_hung;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Served: return "its own page";
        case Outcome::Communication: return "the communication error page";
        case Outcome::Exception: return "the exception page";
        case Outcome::Foreign: return "the page of another request";
        case Outcome::Malformed: return "a malformed output";
        case Outcome::Hung: return "no end within the bound";
        case Outcome::Killed: return "death by a signal";
    }
    return "?";
}

std::string TagOf(const std::string& page) {
    if (page.compare(0, kAnswerHead.size(), kAnswerHead) != 0) return "";
    std::string tag = srvtest::Cell(page, "cgi-HTTP_REFERER");
    return tag.compare(0, 1, "<") == 0 ? "" : tag;
}

int ServedSlot(const std::string& page) {
    const std::string mark = "<p id=\"served\">served by pipe ";
    size_t at = page.find(mark);
    return at == std::string::npos ? -1 : std::atoi(page.c_str() + at + mark.size());
}

Outcome Judge(const TaggedRequest& request, const Gateway& run) {
    if (run.hung()) return Outcome::Hung;
    if (run.status() > 128) return Outcome::Killed;
    const std::string& out = run.output();
    if (run.status() == 1 && out == StatusLine("503 Service Unavailable") + kCommunicationPage)
        return Outcome::Communication;
    for (const char* status : {"400 Bad Request", "413 Content Too Large", "500 Internal Server Error"})
        if (run.status() == 1 && out == StatusLine(status) + kExceptionPage) return Outcome::Exception;
    std::string tag = TagOf(out);
    if (!tag.empty() && tag != request.tag) return Outcome::Foreign;
    return run.status() == 1 && IsOwnPage(request, out) ? Outcome::Served : Outcome::Malformed;
}

bool IsOwnPage(const TaggedRequest& request, const std::string& out) {
    return TagOf(out) == request.tag &&
           out.find("<h1 id=\"command\">" + request.command + "</h1>") != std::string::npos &&
           srvtest::Cell(out, "cgi-PATH_INFO") == request.path && out.size() > sizeof kPageEnd &&
           out.compare(out.size() - (sizeof kPageEnd - 1), std::string::npos, kPageEnd) == 0 &&
           out.find('\0') == std::string::npos;
}

Outcome RunTagged(const TaggedRequest& request, double seconds, std::string* output) {
    Gateway gateway;
    if (!gateway.Start(request)) return Outcome::Malformed;
    gateway.Finish(seconds);
    if (output) *output = gateway.output();
    return Judge(request, gateway);
}

// ----------------------------------------------------------------- registry

SemState RegistryLockState(const std::string& base) { return StateOf(base + ".0"); }

SemState ServerMutexState(int slot, const std::string& base) {
    return StateOf(base + ".mtx." + std::to_string(slot));
}

std::string RegistryView::Problems() const {
    if (!present) return "no registry";
    std::string problems;
    if (list.max != uint32_t(kMaxServers)) problems += "max is " + std::to_string(list.max) + "; ";
    uint32_t registered = 0;
    for (int i = 0; i < kMaxServers; ++i) {
        const ServerID& s = list.servers[i];
        if (s.index == i) {
            ++registered;
            if (s.serverPid <= 0) problems += "slot " + std::to_string(i) + " registered without a server; ";
        } else if (s.index != -1) {
            problems += "slot " + std::to_string(i) + " has index " + std::to_string(s.index) + "; ";
        }
    }
    if (registered != list.count)
        problems += "count " + std::to_string(list.count) + " but " + std::to_string(registered) + " slots; ";
    return problems;
}

std::vector<int> RegistryView::LiveSlots() const {
    std::vector<int> slots;
    if (!present) return slots;
    for (int i = 0; i < kMaxServers; ++i)
        if (list.servers[i].index == i && OpSys::ProcessExists(list.servers[i].serverPid)) slots.push_back(i);
    return slots;
}

int RegistryView::Ready() const {
    int ready = 0;
    for (int i : LiveSlots()) {
        const ServerID& s = list.servers[i];
        if (s.clientPid == -1 || (s.clientPid != s.serverPid && !OpSys::ProcessExists(s.clientPid))) ++ready;
    }
    return ready;
}

int RegistryView::ClaimedByLive() const {
    int claimed = 0;
    for (int i : LiveSlots()) {
        const ServerID& s = list.servers[i];
        if (s.clientPid != -1 && s.clientPid != s.serverPid && OpSys::ProcessExists(s.clientPid)) ++claimed;
    }
    return claimed;
}

int RegistryView::SlotClaimedBy(pid_t pid) const {
    if (!present) return -1;
    for (int i = 0; i < kMaxServers; ++i)
        if (list.servers[i].index == i && list.servers[i].clientPid == pid) return i;
    return -1;
}

std::string RegistryView::Describe() const {
    if (!present) return "no registry\n";
    std::string text = "registered " + std::to_string(list.count) + ", free-server count " +
                       std::to_string(freeCount) + "\n";
    for (int i = 0; i < kMaxServers; ++i) {
        const ServerID& s = list.servers[i];
        if (s.index == -1) continue;
        text += "  slot " + std::to_string(i) + ": index " + std::to_string(s.index) + " server " +
                std::to_string(s.serverPid) + (OpSys::ProcessExists(s.serverPid) ? "" : " (gone)") + " client " +
                std::to_string(s.clientPid) +
                (s.clientPid > 0 && !OpSys::ProcessExists(s.clientPid) ? " (gone)" : "") + "\n";
    }
    std::string problems = Problems();
    if (!problems.empty()) text += "problems: " + problems + "\n";
    return text;
}

RegistryView ReadRegistry(bool locked, const std::string& base) {
    RegistryView view;
    ServerMonitor monitor;
    if (!monitor.Inspect(base.c_str())) return view;
    view.present = locked ? monitor.GetServerList(view.list) == 1 : true;
    if (!locked) std::memcpy(&view.list, monitor.Block(), sizeof view.list);
    view.freeCount = monitor.FreeServerCount();
    monitor.Detach();
    return view;
}

bool IsStopped(pid_t pid) {
    std::string stat = srvtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() &&
           (stat[close + 2] == 'T' || stat[close + 2] == 't');
}

bool WaitAtRest(int pipes, double seconds, std::string* why) {
    RegistryView view;
    bool rest = srvtest::WaitUntil(
        [&] {
            view = ReadRegistry(true);
            return view.present && view.Problems().empty() && int(view.LiveSlots().size()) == pipes &&
                   view.ClaimedByLive() == 0 && view.Ready() == pipes && view.freeCount == pipes;
        },
        seconds);
    if (!rest && why) *why = view.Describe();
    return rest;
}

// ------------------------------------------------------------------ fixture

void FixedPipeTest::SetUp() {
    signal(SIGPIPE, SIG_IGN);
    std::string reason = ClaimPipeName();
    ASSERT_EQ("", reason);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    m_server.reset(new srvtest::ServerRun(kPipeName));
}

void FixedPipeTest::TearDown() {
    m_server->Finish();
    // Orphans of killed processes that were adopted here.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    // Another run on the same machine that started a server task under the
    // name meanwhile makes every result above meaningless: say so, and leave
    // its objects alone.
    std::vector<int> foreign = ipctest::LiveServers(kPipeName);
    if (!foreign.empty()) {
        ADD_FAILURE() << "another server task (pid " << foreign[0] << ") used " << kPipeName
                      << " during the test; run the suites on the fixed pipe name alone";
        return;
    }
    ExpectNothingLeft();
    ServerMonitor::RemoveAll(kPipeName);
}

void FixedPipeTest::StartServer(int pipes) {
    ASSERT_TRUE(server().Start(pipes)) << "stderr:\n" << server().Stderr() << "log:\n" << server().Log();
    std::string why;
    ASSERT_TRUE(WaitAtRest(pipes, 30, &why)) << why;
}

void FixedPipeTest::StopServerCleanly() {
    EXPECT_EQ(0, server().Stop(SIGTERM, 60)) << "log:\n" << server().Log();
    ExpectNothingLeft();
}

std::vector<int> FixedPipeTest::PipePids() {
    std::vector<int> pids;
    RegistryView view = ReadRegistry(true);
    for (int slot : view.LiveSlots()) pids.push_back(view.list.servers[slot].serverPid);
    return pids;
}

void FixedPipeTest::ExpectServed(int count, const std::string& what) {
    for (int i = 0; i < count; ++i) {
        std::string tag = what + "-" + std::to_string(m_served);
        std::replace(tag.begin(), tag.end(), ' ', '-');
        TaggedRequest request = Tagged(m_served, tag);
        ++m_served;
        std::string output;
        Outcome outcome = RunTagged(request, 30, &output);
        EXPECT_EQ(OutcomeName(Outcome::Served), std::string(OutcomeName(outcome)))
            << what << ", " << request.command << " request " << request.tag << ":\n" << output.substr(0, 400);
    }
}

void FixedPipeTest::ExpectNothingLeft() { ipctest::ExpectNothingLeft(kPipeName); }

std::string FixedPipeTest::Objects() { return ipctest::Listing(ipctest::ObjectsLeft(kPipeName)); }

}  // namespace gwtest
