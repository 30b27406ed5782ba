// The tutorial's server task (docs/tutorial.md), built from the page itself,
// run as the page runs it: under the gateway's own pipe name, asked through
// the gateway program with the variables a web server sets, and ended with
// SIGTERM, leaving nothing. Each row is a request of the page and the output
// the page shows for it.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "gateway_harness.h"
#include "process.h"

using namespace gwtest;

namespace {

class Tutorial : public FixedPipeTest {};

TEST_F(Tutorial, TheTaskAnswersTheGatewayAndEndsOnSigterm) {
    proc::Options options;
    options.errFile = "";
    pid_t pid = proc::Start({VELMOX_TUTORIAL_TASK}, options);
    ASSERT_GT(pid, 0);
    std::string why;
    ASSERT_TRUE(WaitAtRest(1, 30, &why)) << "the tutorial's task never served: " << why;

    const Env cgi = {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"REMOTE_USER", "alice"}};
    struct Row {
        const char* what;
        Env env;
        std::string body;
        std::string output;
    } rows[] = {
        {"a search", {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/Search/Local/inbox"}}, "",
         "Content-Type: text/plain\n\nSearch for alice\n"},
        {"a compose form", {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/Compose/Local"}}, "",
         "Content-Type: text/plain\n\nCompose for alice\n"},
        {"a saved form",
         {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/Save/Local/inbox"}, {"CONTENT_LENGTH", "19"}},
         "subject=hello+there", "Content-Type: text/plain\n\nSave for alice: subject \"hello there\"\n"},
        {"a saved form without the field",
         {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/Save/Local/inbox"}, {"CONTENT_LENGTH", "3"}}, "a=1",
         "Content-Type: text/plain\n\nSave for alice: subject \"\"\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Env env = cgi;
        env.insert(env.end(), row.env.begin(), row.env.end());
        Gateway gateway;
        ASSERT_TRUE(gateway.Start(env, row.body));
        ASSERT_TRUE(gateway.Finish(60)) << "the gateway hung";
        // The gateway prints the answer up to its NUL, then a newline.
        EXPECT_EQ(row.output + "\n", gateway.output());
    }

    EXPECT_EQ(0, proc::Stop(pid, 30, SIGTERM)) << "the task did not end on SIGTERM";
    ExpectNothingLeft();
}

}  // namespace
