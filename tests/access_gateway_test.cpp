// The gateway program run by users of their own under its fixed pipe name,
// as a web server's user runs it: a server task that keeps the pipe to a
// group serves the group's members and root, and every other user gets the
// communication page with the cause in the trace and on standard error; a
// stranger's registry under the name is refused before anything is sent,
// and the server task refuses to start on it. The test runs as root; the
// key files of the name are left as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "access_util.h"
#include "gateway_harness.h"

#ifndef VELMOX_GATEWAY
#error "VELMOX_GATEWAY must name the built gateway"
#endif

using namespace accesstest;

namespace {

using ::testing::HasSubstr;

const std::string kName = kGatewayPipeName;

class GatewayAccessTest : public gwtest::FixedPipeTest {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the test becomes other users: it must run as root";
        for (const KeyFile& file : KeyFilesOf(kName, kMaxServers)) {
            struct stat before;
            m_keyFiles.push_back({file.path, lstat(file.path.c_str(), &before) == 0, before});
        }
        gwtest::FixedPipeTest::SetUp();
        // Working directories the gateway's users may enter: one without
        // velmox.ini, one whose velmox.ini asks for the trace.
        m_dir = ipctest::NewBaseName() + ".gw";
        for (const std::string& dir : {m_dir, m_dir + "/debug"}) ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        std::ofstream(m_dir + "/debug/velmox.ini") << "debug = 1\n";
    }

    void TearDown() override {
        if (geteuid() != 0) return;
        gwtest::FixedPipeTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
        // The key files as the test found them: a stranger's server task or
        // a web server's user in the group must not meet them changed.
        for (const Before& file : m_keyFiles) {
            if (!file.existed) {
                unlink(file.path.c_str());
            } else {
                lchown(file.path.c_str(), file.state.st_uid, file.state.st_gid);
                chmod(file.path.c_str(), file.state.st_mode & 07777);
            }
        }
    }

    // One gateway run as `user` with the CGI variables of `request` and no
    // other, in a working directory with or without the trace.
    srvtest::Finished RunGatewayAs(const User& user, const gwtest::TaggedRequest& request, bool traced) {
        std::vector<std::string> argv = {"/usr/bin/env", "-i", "-C", traced ? m_dir + "/debug" : m_dir};
        for (const auto& variable : request.env) argv.push_back(variable.first + "=" + variable.second);
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (std::getenv(name)) argv.push_back(std::string(name) + "=" + std::getenv(name));
        std::string groups;
        for (gid_t group : user.groups) groups += (groups.empty() ? "" : ",") + std::to_string(group);
        for (const std::string& word :
             {std::string("/usr/bin/setpriv"), "--reuid=" + std::to_string(user.uid),
              "--regid=" + std::to_string(user.gid), groups.empty() ? "--clear-groups" : "--groups=" + groups,
              std::string(VELMOX_GATEWAY)})
            argv.push_back(word);
        return srvtest::RunToEnd(argv, 60);
    }

    struct Before {
        std::string path;
        bool existed;
        struct stat state;
    };
    std::vector<Before> m_keyFiles;
    std::string m_dir;
};

TEST_F(GatewayAccessTest, AGroupsPipeServesItsMembersAndTellsEveryoneElseWhy) {
    ASSERT_TRUE(server().Start(2, {"--group", std::to_string(kWebGroup)})) << server().Stderr() << server().Log();
    EXPECT_EQ(0, srvtest::CountLines(server().Log(), "every local user")) << server().Log();
    const std::string cause = "semget " + kName + ".sem: Permission denied";
    const User root = {0, 0, {}};
    struct Row {
        User user;
        bool traced;
        bool served;
    } rows[] = {
        {kMember, false, true}, {root, false, true}, {kOutsider, false, false}, {kOutsider, true, false},
        {kStranger, false, false},
    };
    int n = 0;
    for (const Row& r : rows) {
        gwtest::TaggedRequest request = gwtest::Tagged(4, "access-" + std::to_string(n++));
        SCOPED_TRACE("uid " + std::to_string(r.user.uid) + (r.traced ? ", traced" : ""));
        srvtest::Finished run = RunGatewayAs(r.user, request, r.traced);
        EXPECT_EQ(1, run.status) << run.err;
        if (r.served) {
            EXPECT_TRUE(gwtest::IsOwnPage(request, run.out)) << run.out.substr(0, 400);
            EXPECT_EQ("", run.err);
            continue;
        }
        EXPECT_EQ("velmox.cgi: Pipe failure: " + cause + "\n", run.err) << "the web server's log says why";
        if (r.traced) {
            EXPECT_THAT(run.out, HasSubstr("Pipe failure: " + cause + "<br>\n")) << run.out;
            const std::string& page = gwtest::kCommunicationPage;
            bool endsWithIt = run.out.size() > page.size() &&
                              run.out.compare(run.out.size() - page.size(), page.size(), page) == 0;
            EXPECT_TRUE(endsWithIt) << run.out;
        } else {
            EXPECT_EQ(gwtest::StatusLine("503 Service Unavailable") + gwtest::kCommunicationPage, run.out);
        }
    }
    StopServerCleanly();
}

TEST_F(GatewayAccessTest, AStrangersRegistryIsRefusedBeforeAnythingIsSent) {
    // The service ran and left its key files; while it is down a stranger
    // fills the name with a registry and a server of its own, which every
    // gateway would otherwise send its request to.
    ASSERT_TRUE(server().Start(1)) << server().Stderr() << server().Log();
    StopServerCleanly();
    for (const KeyFile& file : KeyFilesOf(kName, 1)) ASSERT_EQ("", Plant(file, 0666));
    ASSERT_EQ("", FillRegistry(kName));
    const std::string refusal = "owner of " + kName + ".sem (uid 54323) is not the owner of its key file (uid 0)";
    for (const User& user : {kMember, User{0, 0, {}}}) {
        SCOPED_TRACE("uid " + std::to_string(user.uid));
        gwtest::TaggedRequest request = gwtest::Tagged(4, "planted");
        srvtest::Finished run = RunGatewayAs(user, request, false);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(gwtest::StatusLine("503 Service Unavailable") + gwtest::kCommunicationPage, run.out);
        EXPECT_EQ("velmox.cgi: Pipe failure: " + refusal + "\n", run.err);
    }
    EXPECT_EQ(std::string(64, '\0'), BlockOf(kName + ".shm.0", 64)) << "a request reached the stranger's block";
    // The server task does not start on them either.
    srvtest::Finished start = srvtest::RunToEnd({VELMOX_SERVER, "-b", kName, "-n", "1", "--inspect"}, 60);
    EXPECT_EQ(1, start.status) << start.err;
    EXPECT_THAT(start.err, HasSubstr("cannot create its pipe: owner of " + kName +
                                     " (uid 54323) is not the owner of its key file (uid 0)"))
        << start.err;
    ServerMonitor::RemoveAll(kName.c_str());
}

}  // namespace
