// Exchanges through the pipe between real processes: sizes and cuts, many
// servers and clients at once, the terminate message, the stream pipe's
// trace, and the removal of every object by the last server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "except.h"
#include "ipc_harness.h"
#include "mempipe.h"
#include "os.h"
#include "platform.h"

using namespace ipctest;

namespace {

class PipeTest : public IpcTest {};

std::string Pattern(size_t n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + i % 26);
    return s;
}

TEST_F(PipeTest, RequestsArriveWholeOrAreRefusedAndAnswersAreCutToTheBlock) {
    Server server = Track(StartServer(base, 127952));
    ASSERT_GT(server.pid, 0);

    // Requests: the block holds 127948 bytes of message; a longer request is
    // refused before anything is sent, never cut (arrives 0: refused).
    struct Req { size_t sent; size_t arrives; } requests[] = {
        {1, 1}, {256, 256}, {127948, 127948}, {127949, 0}, {127950, 0}, {127952, 0}};
    for (const Req& r : requests) {
        SCOPED_TRACE("request of " + std::to_string(r.sent));
        std::string request = "L" + std::string(r.sent - 1, 'x');
        std::string answer;
        ASSERT_EQ(r.arrives > 0 ? 1 : 0, CallOnce(base, request, &answer));
        if (r.arrives > 0) {
            EXPECT_EQ(std::to_string(r.arrives), answer);
        }
    }
    // A refused request leaves the server free for the next one.
    std::string after;
    ASSERT_EQ(1, CallOnce(base, "Eafter", &after));
    EXPECT_EQ("0:Eafter", after);

    // Answers: cut by the server's block, reported with their length.
    struct Ans { size_t asked; size_t length; } answers[] = {
        {0, 0}, {1, 1}, {256, 256}, {127948, 127948}, {127952, 127948}};
    for (const Ans& a : answers) {
        SCOPED_TRACE("answer of " + std::to_string(a.asked));
        std::string answer;
        unsigned long length = 99;
        ASSERT_EQ(1, CallOnce(base, "N" + std::to_string(a.asked), &answer, 127952, &length));
        EXPECT_EQ(a.length, length);
        EXPECT_EQ(Pattern(a.length), answer);
    }
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeTest, AnAnswerLongerThanTheReplyBufferIsCutButReportedWhole) {
    Server server = Track(StartServer(base, 200000));
    ASSERT_GT(server.pid, 0);
    std::string answer;
    unsigned long length = 0;
    ASSERT_EQ(1, CallOnce(base, "N150000", &answer, 127952, &length));
    EXPECT_EQ(150000u, length);
    EXPECT_EQ(Pattern(127952), answer);

    // A client that assumes a larger block than the server made never writes
    // past the real one: a request longer than the real block is refused,
    // whatever the reply buffer, and one that fits arrives whole, however
    // small the reply buffer.
    EXPECT_EQ(0, CallOnce(base, "L" + std::string(250000, 'y'), &answer, 300000));
    ASSERT_EQ(1, CallOnce(base, "L" + std::string(199995, 'y'), &answer, 300000));
    EXPECT_EQ("199996", answer);
    ASSERT_EQ(1, CallOnce(base, "L" + std::string(199, 'y'), &answer, 64));
    EXPECT_EQ("200", answer) << "a 200-byte request with a 64-byte reply buffer arrives whole";
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeTest, ManyServersAndClientsEachGetTheirOwnAnswers) {
    const int kServers = 4, kClients = 12, kCalls = 40;
    std::vector<Server> servers;
    for (int i = 0; i < kServers; ++i) {
        servers.push_back(Track(StartServer(base, 8192)));
        ASSERT_GT(servers.back().pid, 0);
    }
    std::vector<pid_t> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(Track(proc::Spawn([&, c] {
            for (int k = 0; k < kCalls; ++k) {
                std::string tag = "E" + std::to_string(c) + "-" + std::to_string(k) + "-" + std::to_string(getpid());
                std::string answer;
                if (!CallOnce(base, tag, &answer, 8192)) return 10;
                size_t colon = answer.find(':');
                if (colon == std::string::npos || answer.substr(colon + 1) != tag) return 11;
                int slot = std::atoi(answer.c_str());
                if (slot < 0 || slot >= kServers) return 12;
            }
            return 0;
        })));
    }
    for (pid_t pid : clients) EXPECT_EQ(0, proc::Wait(pid, 120)) << "client " << pid;

    // Afterwards every server is idle and counted free again.
    ServerMonitor monitor;
    ASSERT_EQ(1, monitor.InitClient(base.c_str()));
    ServerList list;
    ASSERT_EQ(1, monitor.GetServerList(list));
    EXPECT_EQ(uint32_t(kServers), list.count);
    for (int i = 0; i < kServers; ++i) EXPECT_EQ(-1, list.servers[i].clientPid) << "slot " << i;
    // The free-server count equals the idle servers: this monitor holds one
    // unit, the count holds the others.
    EXPECT_EQ(kServers - 1, monitor.FreeServerCount());
    monitor.GiveBackUnit();
    monitor.Detach();

    for (Server& s : servers) EXPECT_TRUE(s.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeTest, TheTerminateMessageWakesOnlyTheCallersOwnPipe) {
    // From a process without a pipe of its own there is nobody to address.
    Server other = Track(StartServer(base, 4096));
    ASSERT_GT(other.pid, 0);
    MemoryPipe stranger;
    EXPECT_EQ(0, stranger.SendTerminateMessage(base.c_str()));

    // A pipe's own process wakes its Connect with an empty request.
    pid_t pid = Track(proc::Spawn([&] {
        MemoryPipe pipe;
        if (!pipe.Create(base.c_str(), 4096)) return 1;
        int sent = -1;
        std::thread sender([&] {
            MemoryPipe own;
            sent = own.SendTerminateMessage(base.c_str());
        });
        if (!pipe.Connect()) return 2;
        char buffer[16];
        unsigned long got = 99;
        pipe.Read(buffer, sizeof buffer, &got);
        if (got != 0) return 3;
        pipe.Write(const_cast<char*>("ok"), 2);
        pipe.Disconnect();
        sender.join();
        pipe.Close();
        return sent == 1 ? 0 : 4;
    }));
    EXPECT_EQ(0, proc::Wait(pid, 30));

    // The other server still serves.
    std::string answer;
    EXPECT_EQ(1, CallOnce(base, "Estill", &answer, 4096));
    EXPECT_TRUE(other.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeTest, NoServerMeansFailureNotAHang) {
    // No registry at all: the call fails at once.
    std::string answer;
    EXPECT_EQ(0, CallOnce(base, "Ehello", &answer));
    // A request from a base name that is too long names nothing.
    EXPECT_EQ(0, CallOnce(std::string(300, 'x'), "E", &answer));
    ExpectNothingLeft();
}

// Runs body with standard output going to a file; returns what it wrote.
std::string CaptureStdout(const std::string& path, const std::function<void()>& body) {
    std::fflush(stdout);
    std::cout.flush();
    int saved = dup(1);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
    body();
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text = kit::ReadFile(path);
    unlink(path.c_str());
    return text;
}

TEST_F(PipeTest, StreamPipeTracesExactlyWhenDebugging) {
    std::string serverLog = base + ".log";
    struct Row { int debug; const char* clientTrace; const char* serverTrace; } rows[] = {
        {0, "", ""},
        {1, "Calling Pipe...done.<br>\n",
         "Waiting for pipe connection...connected.\nReading data from pipe...done.\n"
         "Writing data to pipe...done.\nDisconnecting pipe...done.\n"},
        {-3, "Calling Pipe...done.<br>\n", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("g_debug " + std::to_string(r.debug));
        g_debug = r.debug;
        int fd = open(serverLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t server;
        {
            int ready[2];
            ASSERT_EQ(0, pipe(ready));
            server = Track(proc::Spawn([&] {
                dup2(fd, 1);
                close(ready[0]);
                SimplePipe pipe;
                pipe.Create(base.c_str(), 4096, 4096);
                (void)!write(ready[1], "R", 1);
                pipe.Connect();
                pipe.Read();
                SimpleStream& out = *pipe.Output();
                out << "answer";
                pipe.Write();
                pipe.Disconnect();
                pipe.Close();
                return 0;
            }));
            close(fd);
            close(ready[1]);
            char state;
            ASSERT_EQ(1, read(ready[0], &state, 1));
            close(ready[0]);
        }
        unsigned char reply[64];
        unsigned long length = 0;
        int result = 0;
        std::string clientTrace = CaptureStdout(base + ".out", [&] {
            SimplePipe client;
            result = client.Call(base.c_str(), const_cast<char*>("hello"), 5, reply, sizeof reply, &length);
        });
        EXPECT_EQ(1, result);
        EXPECT_EQ(7u, length);
        EXPECT_STREQ("answer", reinterpret_cast<char*>(reply));
        EXPECT_EQ(r.clientTrace, clientTrace);
        EXPECT_EQ(0, proc::Wait(server, 30));
        std::string serverTrace = kit::ReadFile(serverLog);
        if (r.serverTrace) {
            EXPECT_EQ(std::string(r.serverTrace) + (r.debug ? "Pipe closed\n" : ""), serverTrace);
        }
        ExpectNothingLeft();
    }
    // A failing call traces the same two texts.
    g_debug = 1;
    std::string failing = CaptureStdout(base + ".out", [&] {
        SimplePipe client;
        unsigned long length;
        unsigned char reply[8];
        EXPECT_EQ(0, client.Call(base.c_str(), const_cast<char*>("x"), 1, reply, sizeof reply, &length));
    });
    g_debug = 0;
    EXPECT_EQ("Calling Pipe...done.<br>\n", failing);
    unlink(serverLog.c_str());
}

TEST_F(PipeTest, StreamPipeServerReadsRequestsIntoItsInputStream) {
    Server server = Track(StartServer(base, 4096, /*useSimplePipe=*/true));
    ASSERT_GT(server.pid, 0);
    std::string answer;
    ASSERT_EQ(1, CallOnce(base, "L123456789", &answer, 4096));
    EXPECT_EQ("10", answer);
    ASSERT_EQ(1, CallOnce(base, "Eabc", &answer, 4096));
    EXPECT_EQ("0:Eabc", answer);
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();

    // The larger of the two stream sizes makes the block.
    SimplePipe pipe;
    ASSERT_EQ(1, pipe.Create(base.c_str(), 4096, 128));
    EXPECT_EQ(4096u, pipe.Output()->Capacity());
    EXPECT_EQ(128u, pipe.Input()->Capacity());
    EXPECT_EQ(4096u, pipe.m_pipe.m_size);
    pipe.Close();
    EXPECT_EQ(0, pipe.m_open);
    ExpectNothingLeft();
    // A pipe whose registry cannot be made raises IPCexc.
    SimplePipe bad;
    EXPECT_THROW(bad.Create(std::string(300, 'y').c_str(), 64, 64), IPCexc);
    EXPECT_THROW(SimplePipe().Create(base.c_str(), 0, 64), IllegalArgsExc);
}

}  // namespace
