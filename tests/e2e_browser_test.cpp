// The sample pages in a real browser: starts the server task and lighttpd
// as the end-to-end tests do, then runs a script of tests/browser
// (playwright-core driving Debian's Chromium) against them: browser_test.mjs
// on the field inspector's pages, mail_test.mjs on the web mail. The node
// packages are installed with npm ci when they are missing.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

#include "e2e_harness.h"

using namespace e2e;

namespace {

const char* const kChromium = "/usr/bin/chromium";
const long long kInstallLimitMs = 300000;
const long long kBrowserLimitMs = 240000;

std::string BrowserDir() {
    return std::string(VELMOX_SOURCE_DIR) + "/tests/browser";
}

std::string Which(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

// npm ci under a lock, so that two build trees testing at once do not
// install over each other. Returns npm's output on failure, "" on success.
std::string EnsureNodePackages() {
    std::string dir = BrowserDir();
    std::string marker = dir + "/node_modules/playwright-core/package.json";
    int lock = open((dir + "/.install.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0) return "cannot open the install lock in " + dir;
    long long deadline = NowMs() + kInstallLimitMs;
    while (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        if (NowMs() > deadline) {
            close(lock);
            return "another npm ci held the install lock too long";
        }
        usleep(100000);
    }
    std::string problem;
    if (!FileExists(marker)) {
        std::string npm = Which("npm");
        if (npm.empty()) {
            problem = "npm is not installed (scripts/test-all installs it)";
        } else {
            TempDir logs("velmox-e2e-npm");
            proc::Options options;
            options.outFile = logs / "out";
            options.dir = dir;
            options.env = {{"PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD", "1"}};
            options.errToOut = options.ownGroup = options.dieWithTest = true;
            pid_t pid = proc::Start({npm, "ci", "--ignore-scripts", "--no-audit", "--no-fund"}, options);
            int status = proc::Wait(pid, kInstallLimitMs / 1000.0);
            if (status != 0 || !FileExists(marker))
                problem = "npm ci failed (status " + std::to_string(status) + "):\n" + ReadFile(logs / "out");
        }
    }
    flock(lock, LOCK_UN);
    close(lock);
    return problem;
}

// Runs a script of tests/browser against a server task (with a mail store in
// `database`, else the field inspector) and lighttpd; every check of the
// script must pass and nothing may be left behind.
void RunBrowserScript(const std::string& script, const std::string& database,
                      const std::vector<std::string>& extra) {
    ASSERT_EQ(0, access(kChromium, X_OK)) << kChromium << " is missing (scripts/test-all installs chromium)";
    std::string node = Which("node");
    ASSERT_FALSE(node.empty()) << "node is missing (scripts/test-all installs nodejs)";
    std::string problem = EnsureNodePackages();
    ASSERT_EQ("", problem);

    ASSERT_TRUE(PipeObjectsLeft().empty() || LiveServers(kPipeName).empty())
        << "a server task already runs under " << kPipeName << "; stop it first (scripts/stop-service)";
    RemovePipeObjects();
    ServerTask server;
    WebServer web;
    ASSERT_TRUE(server.Start(4, database)) << server.error();
    ASSERT_TRUE(web.Start()) << web.error();

    TempDir out("velmox-e2e-browser");
    std::vector<std::string> argv = {node, BrowserDir() + "/" + script, web.BaseUrl()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    for (std::string& arg : argv)
        if (arg == "@OTHER_TOKEN@") arg = FormToken(web.Url("/velmox.cgi/Compose/Local/inbox"), "bob");
    proc::Options options;
    options.outFile = out / "log";
    options.dir = BrowserDir();
    // The browser signs in as tester.
    options.env = {{"VELMOX_BROWSER_USER", kTester}, {"VELMOX_BROWSER_PASSWORD", PasswordOf(kTester)}};
    options.errToOut = options.ownGroup = options.dieWithTest = true;
    pid_t pid = proc::Start(argv, options);
    int status = proc::Wait(pid, kBrowserLimitMs / 1000.0);
    // Whatever the browser left behind (it runs in node's process group).
    kill(-pid, SIGKILL);
    std::string log = ReadFile(out / "log");
    std::cout << log;
    EXPECT_EQ(0, status) << (status == -1 ? "the browser run did not end within the limit\n" : "") << log;

    EXPECT_NE(-1, web.Stop());
    EXPECT_EQ(0, server.Stop()) << server.Stderr();
    std::vector<std::string> left = PipeObjectsLeft();
    EXPECT_TRUE(left.empty()) << left.size() << " IPC objects left";
    EXPECT_EQ("", web.RuntimeReports()) << web.ErrorLog();
}

TEST(Browser, FormsImageMapAndLinksThroughChromium) {
    // Screenshots of the pages are kept when BROWSER_SCREENSHOTS names a directory.
    std::vector<std::string> extra;
    if (const char* shots = std::getenv("BROWSER_SCREENSHOTS")) extra.push_back(shots);
    RunBrowserScript("browser_test.mjs", "", extra);
}

// Write, save, search and open mail as a newcomer would, and forms that a
// page of another site posts in the same browser save nothing (one carries
// bob's token); the screenshots of every step stay in the build tree
// (test-artifacts/browser-mail).
TEST(Browser, MailWriteSaveSearchAndOpenThroughChromium) {
    TempDir data("velmox-e2e-browser-mail");
    std::string shots = std::string(VELMOX_BUILD_DIR) + "/test-artifacts/browser-mail";
    RunBrowserScript("mail_test.mjs", data / "mail.db", {shots, "@OTHER_TOKEN@"});
}

}  // namespace
