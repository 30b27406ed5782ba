// A server task written only with the documented interface (unsigned long
// items and lengths, a null length pointer, ParseField with four arguments,
// CopyUptoDelim on a modifiable string) runs as a real process under a pipe
// name of the test's own: it rebuilds the commands a client sends, reads
// their header as unsigned longs, answers each, ends on the terminate
// message and leaves nothing behind.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cmd_util.h"
#include "ipc_harness.h"
#include "os.h"
#include "sstream.h"

using namespace ipctest;

namespace {

// A line the child writes, within `seconds`; empty when none comes.
std::string ReadLine(int fd, double seconds) {
    std::string line;
    for (double deadline = kit::Now() + seconds; kit::Now() < deadline;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c = 0;
        if (read(fd, &c, 1) != 1) break;
        line += c;
        if (c == '\n') break;
    }
    return line;
}

// One exchange through the documented client call.
bool Exchange(const std::string& base, std::string request, std::string* answer) {
    std::vector<unsigned char> reply(kPipeBlockSize);
    unsigned long replyLen = 0;
    SimplePipe pipe;
    int ok = pipe.Call(base.c_str(), request.empty() ? nullptr : &request[0], request.size(), reply.data(),
                       reply.size(), &replyLen);
    *answer = std::string(reinterpret_cast<char*>(reply.data()), replyLen);
    return ok != 0;
}

// The task's answer: an unsigned long length, then that many bytes, the
// last of them the text's NUL. Returns the text.
std::string TextOf(std::string answer) {
    if (answer.empty()) return "(empty answer)";
    SimpleStream in(&answer[0], unsigned(answer.size()));
    in.SetEof(answer.size());
    unsigned long length = 0;
    in >> length;
    EXPECT_EQ(answer.size() - 4, length) << "the length item counts the rest";
    EXPECT_EQ('\0', answer.back());
    return std::string(answer.c_str() + 4);
}

class DocumentedTask : public IpcTest {};

TEST_F(DocumentedTask, ServesCommandsAndEndsOnTheTerminateMessage) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    proc::Options options;
    options.out = ready[1];
    pid_t pid = Track(proc::Start({VELMOX_DOCUMENTED_TASK, base}, options));
    close(ready[1]);
    std::string line = ReadLine(ready[0], 30);
    close(ready[0]);
    ASSERT_EQ("ready\n", line) << "the task never created its pipe";

    Request save({{"PATH_INFO", "/Save/Local/db/doc"}, {"REQUEST_METHOD", "POST"}},
                 "To=ann&Subject=Hello+there&x");
    Request search({{"PATH_INFO", "/Search/Local/db"}, {"REQUEST_METHOD", "POST"}},
                   "SREQUEST=Search&SEARCH=cats&MAX=20");
    Request map(EnvList{{"PATH_INFO", "/ImageMap/Local/m"}, {"QUERY_STRING", "-5,7"}});
    Request agent(EnvList{{"PATH_INFO", "/RunAgent/Local/agents"}, {"QUERY_STRING", "go&now"}});
    Request compose(EnvList{{"PATH_INFO", "/Compose/Hub/memo"}});
    struct Row { const char* what; std::string request; std::string text; } rows[] = {
        {"Save", Serialise(*save.cmd),
         "Save tag=1 id=1 param=1 Subject=Hello there first=db rest=/doc bodyLen=" +
             std::to_string(save.cgi.m_contentsLen)},
        {"Search", Serialise(*search.cmd), "Search tag=3 id=3 param=1 kind=2 text=cats max=0"},
        {"ImageMap", Serialise(*map.cmd), "ImageMap tag=4 id=4 param=1 x=-5 y=7"},
        {"RunAgent", Serialise(*agent.cmd), "RunAgent tag=5 id=5 param=1 query=go&now"},
        {"Compose", Serialise(*compose.cmd), "Compose tag=2 id=2 param=1"},
        {"an unknown tag", std::string("\x09\0\0\0\x09\0\0\0\1\0\0\0", 12), "refused Unknown Command Exception"},
        {"a message cut short", std::string("\1\0\0", 3), "refused Buffer Overflow Exception"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string answer;
        ASSERT_TRUE(Exchange(base, r.request, &answer));
        EXPECT_EQ(r.text, TextOf(answer));
    }
    std::string bye;
    ASSERT_TRUE(Exchange(base, "", &bye));
    EXPECT_EQ(std::string("bye", 4), bye);
    EXPECT_EQ(0, proc::Wait(pid, 20));
    ExpectNothingLeft();
}

}  // namespace
