// The limits of the system, run as the real programs under the gateway's
// fixed pipe name: all 64 server slots taken and a 65th server refused; the
// largest request (127948 bytes) served and one byte more refused before it
// is sent; answers of the answer buffer's size (127952 bytes) and longer;
// the registry lock held past its limit of 15 seconds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "cmd_util.h"
#include "savcmd.h"
#include "gateway_harness.h"
#include "ipc_harness.h"

using namespace gwtest;

#ifndef VELMOX_SERVER
#error "VELMOX_SERVER must name the built velmox-server"
#endif

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const double kBound = 30;
// The request and answer sizes the gateway works with.
const size_t kLargestRequest = 127948;
const size_t kAnswerBuffer = 127952;

class Limits : public FixedPipeTest {
protected:
    void ExpectAtRest(int pipes) {
        std::string why;
        EXPECT_TRUE(WaitAtRest(pipes, 30, &why)) << why << "log:\n" << server().Log();
    }
};

// The message the gateway sends for a request, measured the way Dispatch
// builds it.
size_t MessageLength(const TaggedRequest& request) {
    EnvList vars;
    for (const auto& v : request.env) vars.push_back({v.first.c_str(), v.second});
    Request built(vars, request.body);
    return Serialise(*built.cmd).size();
}

// The length of the decoded form the server gets with a Save.
size_t FormLength(const TaggedRequest& request) {
    EnvList vars;
    for (const auto& v : request.env) vars.push_back({v.first.c_str(), v.second});
    Request built(vars, request.body);
    return built.As<SaveCmd>().m_bodyLen;
}

// A Save whose form body makes the message exactly `length` bytes long.
TaggedRequest SaveOfLength(size_t length, const std::string& tag) {
    TaggedRequest request = Tagged(0, tag);
    auto sized = [&](size_t fill) {
        TaggedRequest r = request;
        r.body = "tag=" + tag + "&Body=" + std::string(fill, 'a');
        for (auto& v : r.env)
            if (v.first == "CONTENT_LENGTH") v.second = std::to_string(r.body.size());
        return r;
    };
    // The message grows with the body byte for byte while the length keeps
    // its number of digits; the last step corrects for a change of digits.
    size_t fill = 100000;
    for (int step = 0; step < 3; ++step) {
        size_t now = MessageLength(sized(fill));
        if (now == length) break;
        fill = fill + length - now;
    }
    return sized(fill);
}

TEST_F(Limits, SixtyFourPipesAndASixtyFifth) {
    ASSERT_NO_FATAL_FAILURE(StartServer(64));
    RegistryView view = ReadRegistry(true);
    EXPECT_EQ(64u, view.list.count);
    EXPECT_EQ(64, view.freeCount);

    // A 65th server of the pipe name is refused and changes nothing.
    srvtest::Finished second = srvtest::RunToEnd({VELMOX_SERVER, "-b", kPipeName, "-n", "1", "--inspect"}, 90);
    EXPECT_EQ(1, second.status);
    EXPECT_THAT(second.err, HasSubstr(std::string("cannot create the pipe of base name ") + kPipeName))
        << second.err;
    ExpectAtRest(64);

    // 65 gateways at once on the 64 pipes: all of them served.
    std::vector<TaggedRequest> requests;
    std::vector<std::unique_ptr<Gateway>> gateways;
    for (int i = 0; i < 65; ++i) {
        requests.push_back(Tagged(i, "full-" + std::to_string(i)));
        gateways.emplace_back(new Gateway);
        ASSERT_TRUE(gateways.back()->Start(requests.back()));
    }
    for (size_t i = 0; i < gateways.size(); ++i) {
        gateways[i]->Finish(kBound);
        EXPECT_EQ(OutcomeName(Outcome::Served), std::string(OutcomeName(Judge(requests[i], *gateways[i]))))
            << requests[i].tag << ":\n" << gateways[i]->output().substr(0, 300);
    }
    ExpectAtRest(64);
    StopServerCleanly();
}

TEST_F(Limits, TheLargestRequestAndOneByteMore) {
    ASSERT_NO_FATAL_FAILURE(StartServer(2));
    TaggedRequest largest = SaveOfLength(kLargestRequest, "largest");
    TaggedRequest over = SaveOfLength(kLargestRequest + 1, "over");
    ASSERT_EQ(kLargestRequest, MessageLength(largest));
    ASSERT_EQ(kLargestRequest + 1, MessageLength(over));

    std::string page;
    EXPECT_EQ(OutcomeName(Outcome::Served), std::string(OutcomeName(RunTagged(largest, kBound, &page))))
        << page.substr(0, 400);
    // The server got the whole body: its page says how long it was.
    EXPECT_THAT(page, HasSubstr(" of " + std::to_string(FormLength(largest)) + " bytes</p>"))
        << page.substr(0, 2000);
    EXPECT_EQ(1, srvtest::CountLines(server().Log(), " request pipe="));

    // One byte more cannot arrive whole: it is refused before anything is
    // sent, as too long (413).
    EXPECT_EQ(OutcomeName(Outcome::Exception), std::string(OutcomeName(RunTagged(over, kBound, &page))))
        << page.substr(0, 400);
    EXPECT_THAT(page, StartsWith(StatusLine("413 Content Too Large"))) << page.substr(0, 400);
    EXPECT_EQ(1, srvtest::CountLines(server().Log(), " request pipe=")) << "nothing reached the server";
    ExpectAtRest(2);
    ExpectServed(2, "afterwards");
    StopServerCleanly();
}

TEST_F(Limits, AnswersOfTheAnswerBufferSizeAndLonger) {
    // A server with a block of its own size answering with canned bytes;
    // the gateway writes the answer up to its NUL or its length, never more
    // than its buffer of 127952 bytes, then a line feed.
    auto text = [](size_t n) {
        std::string s(n, 'x');
        for (size_t i = 0; i < n; ++i) s[i] = char('a' + i % 26);
        return s;
    };
    struct Row {
        const char* what;
        unsigned long block;
        std::string answer;
        std::string written;
    } rows[] = {
        {"the largest answer of a standard block, NUL-terminated", kAnswerBuffer,
         text(kLargestRequest - 1) + std::string(1, '\0'), text(kLargestRequest - 1) + "\n"},
        {"127952 bytes into a standard block: cut to the block", kAnswerBuffer, text(kAnswerBuffer),
         text(kLargestRequest) + "\n"},
        {"127952 bytes exactly", 200000, text(kAnswerBuffer), text(kAnswerBuffer) + "\n"},
        {"127953 bytes", 200000, text(kAnswerBuffer + 1), text(kAnswerBuffer) + "\n"},
        {"the largest answer of a larger block", 200000, text(200000 - 4), text(kAnswerBuffer) + "\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ipctest::Server canned = ipctest::StartCannedServer(kPipeName, r.block, r.answer);
        ASSERT_GT(canned.pid, 0);
        Gateway gateway;
        ASSERT_TRUE(gateway.Start(Tagged(4, "answer").env));
        EXPECT_TRUE(gateway.Finish(kBound));
        EXPECT_EQ(1, gateway.status());
        EXPECT_EQ(r.written.size(), gateway.output().size());
        EXPECT_TRUE(r.written == gateway.output()) << gateway.output().substr(0, 200);
        EXPECT_TRUE(canned.Stop());
        ExpectNothingLeft();
    }
}

// A gateway stopped while it holds the registry lock keeps it past the
// lock's limit: every other gateway gives up within its bound with the
// communication page instead of waiting for good; when the stopped one goes
// on, it and everybody after it are served.
TEST_F(Limits, TheRegistryLockHeldPastItsLimit) {
    const int pipes = 8, others = 6;  // each waiting gateway holds a free server
    ASSERT_NO_FATAL_FAILURE(StartServer(pipes));
    // Run under ptrace up to the first step at which it holds the lock.
    TaggedRequest request = Tagged(1, "holder");
    Gateway holder;
    ASSERT_TRUE(holder.StartTraced(request));
    auto holdsLock = [&] {
        SemState lock = RegistryLockState();
        return lock.value == 0 && lock.lastPid == holder.pid();
    };
    while (!holdsLock() && holder.Step(kBound)) {
    }
    ASSERT_TRUE(holdsLock()) << "the gateway never held the registry lock";
    ASSERT_TRUE(holder.Release(SIGSTOP));
    ASSERT_TRUE(srvtest::WaitUntil([&] { return IsStopped(holder.pid()); }, 10));

    std::vector<TaggedRequest> requests;
    std::vector<std::unique_ptr<Gateway>> gateways;
    for (int i = 0; i < others; ++i) {
        requests.push_back(Tagged(i, "blocked-" + std::to_string(i)));
        gateways.emplace_back(new Gateway);
        ASSERT_TRUE(gateways.back()->Start(requests.back()));
    }
    // The lock's limit is 15 s; this bound leaves room for a slow machine.
    for (size_t i = 0; i < gateways.size(); ++i) {
        EXPECT_TRUE(gateways[i]->Finish(60)) << "a gateway waited for the lock without end";
        EXPECT_EQ(OutcomeName(Outcome::Communication),
                  std::string(OutcomeName(Judge(requests[i], *gateways[i]))))
            << gateways[i]->output().substr(0, 300);
    }
    EXPECT_TRUE(IsStopped(holder.pid()));
    EXPECT_TRUE(holdsLock());

    kill(holder.pid(), SIGCONT);
    holder.Finish(kBound);
    EXPECT_EQ(OutcomeName(Outcome::Served), std::string(OutcomeName(Judge(request, holder))))
        << holder.output().substr(0, 300);
    ExpectServed(3, "after the lock came back");
    ExpectAtRest(pipes);
    StopServerCleanly();
}

}  // namespace
