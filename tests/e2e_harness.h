// End-to-end harness: the sample server task and a real lighttpd serving the
// freshly built gateway, driven with curl. Every process it starts dies with
// the test process (parent-death signal) and is stopped, bounded, at the end;
// every wait has a limit.
#ifndef VELMOX_TESTS_E2E_HARNESS_H
#define VELMOX_TESTS_E2E_HARNESS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ipc_harness.h"
#include "process.h"

namespace e2e {

// The gateway's fixed pipe name, claimed by ClaimPipeName; the live server
// tasks registered under a name (ipc_harness.h).
using ipctest::ClaimPipeName;
using ipctest::kPipeName;
using ipctest::LiveServers;

// How long the harness waits for a process it started to come up, and to
// end once told to stop.
const long long kStartLimitMs = 20000;
const long long kStopLimitMs = 20000;

// The clock and files (kit.h), for the suites that use this namespace.
using kit::CopyExecutable;
using kit::FileExists;
using kit::FindProgram;
using kit::Hex;
using kit::NowMs;
using kit::ReadFile;
using kit::Replace;
using kit::SleepMs;
using kit::WriteFile;

// A port on 127.0.0.1 that was free a moment ago (bound to port 0, read back).
int FreeLoopbackPort();

// A page without the line that names the pipe which served it.
std::string WithoutServedBy(std::string page);

// The users that the shipped configurations authenticate in the tests, in
// one password file of the test process made with velmox-passwd (bcrypt,
// with FILE.caddy, FILE.haproxy and FILE.h2o beside it), readable by the
// web servers' workers: tester (whom every curl request is sent as unless
// it says otherwise), alice and bob.
extern const char* const kTester;
std::string UsersFile();
std::string PasswordOf(const std::string& user);
// The Authorization header value of a user's credentials ("Basic ...").
std::string BasicAuthorization(const std::string& user);

// A directory under /tmp removed with everything in it at the end (kit.h).
using kit::TempDir;

// The System V objects of the gateway's pipe name that exist ("sem 0x..." or
// "shm 0x..." lines from ipcs); empty when none is left.
std::vector<std::string> PipeObjectsLeft();
// Removes every object of the pipe name.
void RemovePipeObjects();

// The sample server task under the gateway's pipe name.
class ServerTask {
public:
    ~ServerTask() { Kill(); }
    // Starts velmox-server -b <the pipe name> -n pipes and waits (bounded) for
    // its ready file. It serves the field inspector's pages (--inspect), or
    // the mail store kept in `database` when one is named; `extra` options
    // follow. False, with a reason in error(), when it did not come up.
    bool Start(int pipes = 4, const std::string& database = "", const std::vector<std::string>& extra = {});
    // SIGTERM and a bounded wait; returns the exit status (-1: had to kill).
    int Stop();
    void Kill();
    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    std::string Log() const { return ReadFile(LogPath()); }
    std::string LogPath() const { return m_dir / "server.log"; }
    std::string Stderr() const { return ReadFile(m_dir / "server.err"); }
    const std::string& error() const { return m_error; }

private:
    TempDir m_dir{"velmox-e2e-server"};
    pid_t m_pid = -1;
    std::string m_error;
};

// A web server the harness runs on a loopback port, from a directory of its
// own that holds its configuration and run/error.log. Stop sends SIGTERM,
// Kill ends its whole process group; both wait, bounded.
class HttpServer {
public:
    explicit HttpServer(const char* dirPrefix) : m_dir(dirPrefix) {}
    ~HttpServer() { Kill(); }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    // The exit status; -1 when it had to be killed or was not running.
    int Stop();
    void Kill();
    bool running() const { return m_pid > 0; }
    int port() const { return m_port; }
    std::string BaseUrl() const;                     // http://127.0.0.1:PORT
    std::string Url(const std::string& rest) const;  // BaseUrl() + rest
    std::string ErrorLog() const { return ReadFile(m_dir / "run/error.log"); }
    const std::string& error() const { return m_error; }

protected:
    TempDir m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};

// lighttpd on a free loopback port, configured from deploy/lighttpd.conf,
// with a copy of the gateway and a velmox.ini in its document root.
class WebServer : public HttpServer {
public:
    WebServer() : HttpServer("velmox-e2e-web") {}
    // Before Start: another template of deploy/ with the same placeholders
    // (lighttpd-fastcgi.conf: the gateway as a FastCGI responder), and a
    // port of the caller's choice instead of a free one.
    void UseConfig(const std::string& deployFile) { m_config = deployFile; }
    void UsePort(int port) { m_fixedPort = port; }
    bool Start(const std::string& iniText = "debug = 0\n");
    // Sanitizer or other runtime reports that gateways wrote to the error log.
    std::string RuntimeReports() const;
    std::string docroot() const { return m_dir / "htdocs"; }

private:
    std::string m_config = "lighttpd.conf";
    int m_fixedPort = 0;
};

// Fixture of the suites that run the sample server task under the fixed
// pipe name (`server`) behind a web server or the gateway: a test takes the
// name with ASSERT_EQ("", ClaimPipe()) before it starts anything. The
// TearDown of a suite stops its web servers, then calls ExpectServerEnd or
// ExpectCleanEnd. A parameterised suite adds ::testing::WithParamInterface.
class FixedPipeService : public ::testing::Test {
protected:
    // Why the pipe name cannot be had, or "" once it is the test's.
    std::string ClaimPipe();
    // The server task, if running, must stop with status 0. When the test
    // held the pipe name, no object of it may be left (what is left is
    // removed): the objects of a task that it did not start are not its own.
    void ExpectServerEnd();
    // The end of a test that ran lighttpd: lighttpd is stopped (killed
    // fails the test), then ExpectServerEnd, and when the test held the
    // name lighttpd's log may hold no runtime report.
    void ExpectCleanEnd(WebServer& web);

    ServerTask server;
    bool claimed = false;
};

struct Response {
    int exitCode = -1;     // curl's exit status (0: transfer complete)
    int status = 0;        // HTTP status
    std::string headers;   // the response header block, lines ending in CRLF
    std::string body;
    std::string stderrText;
    std::string Header(const std::string& name) const;  // first value, case-insensitive name
};

// One curl run: `args` are curl's arguments besides the output options.
struct CurlRequest {
    std::vector<std::string> args;
    std::string body;  // sent with --data-binary when non-empty or when post is set
    bool post = false;
    std::string user = kTester;  // whose credentials are sent; "" none
};

// A GET of url, and a POST of body to url, with curl's `options` before
// the URL (for example {"-A", agent}).
CurlRequest CurlGet(const std::string& url, const std::vector<std::string>& options = {});
CurlRequest CurlPost(const std::string& url, const std::string& body, const std::vector<std::string>& options = {});

Response Curl(const CurlRequest& request, long long limitMs = 60000);
// The token of the user's forms, from the compose page at `composeUrl`
// ("" when the page has none).
std::string FormToken(const std::string& composeUrl, const std::string& user = kTester);
// All requests at once, each in its own curl process; answers in order.
std::vector<Response> CurlAll(const std::vector<CurlRequest>& requests, long long limitMs = 120000);

// The parts of a server page: the command heading, the <td id=...> cells
// (HTML entities resolved), the dt/dd pairs of dl#form.
struct Page {
    std::string command;
    std::map<std::string, std::string> cells;
    std::vector<std::pair<std::string, std::string>> form;
    bool Has(const std::string& id) const { return cells.count(id) != 0; }
    std::string operator[](const std::string& id) const;
};
Page ParsePage(const std::string& html);
std::string HtmlUnescape(const std::string& text);

// Runs the gateway binary directly in workDir with exactly the given
// environment and body on stdin; bounded.
struct DirectRun {
    std::string output;
    int status = -1;
};
DirectRun RunGatewayDirectly(const std::string& workDir,
                             const std::vector<std::pair<std::string, std::string>>& env,
                             const std::string& body, long long limitMs = 30000);

}  // namespace e2e

#endif
