#include "server_process.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "cmd.h"
#include "opsys.h"
#include "os.h"
#include "sstream.h"

#ifndef VELMOX_SERVER
#error "VELMOX_SERVER must name the built velmox-server"
#endif

namespace srvtest {

const char* const kServerProgram = VELMOX_SERVER;

namespace {

const unsigned long kBlockSize = kPipeBlockSize;

pid_t StartProgram(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
                   bool ownGroup) {
    proc::Options options;
    options.outFile = out;
    options.errFile = err;
    options.ownGroup = ownGroup;
    return proc::Start(argv, options);
}


}  // namespace

Finished RunToEnd(const std::vector<std::string>& argv, double seconds) { return proc::Run(argv, seconds); }

// ------------------------------------------------------------------ server

ServerRun::~ServerRun() {
    if (running()) KillAll();
}

bool ServerRun::Start(int pipes, const std::vector<std::string>& extra) {
    unlink(ReadyPath().c_str());
    std::vector<std::string> argv = m_prefix;
    std::vector<std::string> server = {m_program, "-b", m_base, "-n", std::to_string(pipes),
                                       "-l", LogPath(), "-r", ReadyPath()};
    argv.insert(argv.end(), server.begin(), server.end());
    if (m_database.empty()) {
        argv.push_back("--inspect");
    } else {
        argv.push_back("-d");
        argv.push_back(m_database);
        if (!m_users) argv.push_back("--public");
        argv.push_back("--secret");
        argv.push_back(m_base + ".secret");
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_pid = StartProgram(argv, m_base + ".out", m_base + ".err", true);
    if (m_pid <= 0) return false;
    std::string expected = std::to_string(m_pid) + "\n";
    bool ready = WaitUntil(
        [&] {
            if (proc::Ended(m_pid)) m_pid = -1;
            return m_pid < 0 || ReadFile(ReadyPath()) == expected;
        },
        60);
    return ready && m_pid > 0;
}

int ServerRun::Stop(int signal, double seconds) {
    if (m_pid <= 0) return -2;
    kill(m_pid, signal);
    return Wait(seconds);
}

int ServerRun::Wait(double seconds) {
    if (m_pid <= 0) return -2;
    int status = proc::Wait(m_pid, seconds);
    if (status == -1) kill(-m_pid, SIGKILL);  // pipe processes of a hung server
    proc::ReapGroup(m_pid, 10);
    m_pid = -1;
    return status;
}

void ServerRun::KillAll() {
    if (m_pid <= 0) return;
    kill(-m_pid, SIGKILL);
    proc::Wait(m_pid, 10);
    // Pipe processes whose supervisor is gone have been adopted by the
    // test process (see ServerTest::SetUp): reaped here.
    proc::ReapGroup(m_pid, 10);
    m_pid = -1;
}

void ServerRun::Finish() {
    if (running()) {
        ADD_FAILURE() << "the server was still running; log:\n" << Log();
        KillAll();
    }
    RemoveFiles();
}

void ServerRun::RemoveFiles() const {
    for (const char* suffix : {".log", ".ready", ".ready.tmp", ".out", ".err", ".secret"})
        unlink((m_base + suffix).c_str());
}

// ------------------------------------------------------------------ client

bool Exchange(const std::string& base, const std::string& request, std::string& answer) {
    std::vector<unsigned char> reply(kBlockSize);
    unsigned long length = 0;
    SimplePipe client;
    std::string bytes = request;
    if (!client.Call(base.c_str(), bytes.empty() ? nullptr : &bytes[0], bytes.size(), reply.data(), reply.size(),
                     &length))
        return false;
    answer.assign(reinterpret_cast<char*>(reply.data()), std::min<unsigned long>(length, reply.size()));
    return true;
}

std::string Message(Cmd& cmd) {
    SimpleStream s(kBlockSize);
    s << uint32_t(cmd.m_cmdID);
    cmd.Write(s);
    return std::string(s.Data(), s.Length());
}

// -------------------------------------------------------------------- text

int CountLines(const std::string& text, const std::string& part) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
}

// ----------------------------------------------------------------- fixture

void ServerTest::SetUp() {
    IpcTest::SetUp();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    m_server.reset(new ServerRun(base));
}

void ServerTest::TearDown() {
    m_server->Finish();
    IpcTest::TearDown();
}

}  // namespace srvtest
