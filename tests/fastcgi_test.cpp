// The gateway's FastCGI mode, from outside: the same bytes as a CGI run for
// every request, nothing carried from one request to the next, bad input
// that costs only its own request, the server task going and coming back,
// a request that hangs until the server task's request timeout ends it,
// SIGHUP and SIGTERM, and how the program is started. Each test runs the
// sample server task under the fixed pipe name and the gateway with a
// socket of its own; at the end the gateway must stop with status 0, no
// sanitizer report, and no IPC object may be left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "e2e_harness.h"
#include "ipc_harness.h"
#include "fcgi_client.h"
#include "pipe_status.h"
#include "web_servers.h"

using namespace e2e;
using ipctest::Listing;

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kCommunicationPage = "Status: 503 Service Unavailable\n" + kit::kPageHead + kit::kCommunicationHeading;
// The general page, for a request the gateway refuses and for one too long.
const std::string kExceptionPage = "Status: 400 Bad Request\n" + kit::kPageHead + kit::kExceptionHeading;
const std::string kTooLongPage = "Status: 413 Content Too Large\n" + kit::kPageHead + kit::kExceptionHeading;

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

bool HasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos || text.find("runtime error") != std::string::npos;
}

// The CGI variables of a request as lighttpd would set them.
fcgi::Params Vars(const std::string& method, const std::string& pathInfo, const std::string& query = "",
                  const std::string& body = "", const fcgi::Params& extra = {}) {
    fcgi::Params vars = {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"SERVER_SOFTWARE", "velmox-test"},
                         {"SERVER_NAME", "127.0.0.1"},     {"SERVER_PORT", "8080"},
                         {"SERVER_PROTOCOL", "HTTP/1.1"},  {"REQUEST_METHOD", method},
                         {"SCRIPT_NAME", "/velmox.cgi"},   {"REMOTE_ADDR", "127.0.0.1"},
                         {"HTTP_USER_AGENT", "fcgi-test"}, {"HTTP_ACCEPT", "*/*"}};
    if (!pathInfo.empty()) vars.push_back({"PATH_INFO", pathInfo});
    if (!query.empty()) vars.push_back({"QUERY_STRING", query});
    if (!body.empty()) {
        vars.push_back({"CONTENT_TYPE", "application/x-www-form-urlencoded"});
        vars.push_back({"CONTENT_LENGTH", std::to_string(body.size())});
    }
    vars.insert(vars.end(), extra.begin(), extra.end());
    return vars;
}

std::string Value(const fcgi::Params& vars, const std::string& name) {
    for (const auto& v : vars)
        if (v.first == name) return v.second;
    return "";
}

class FastCgi : public FixedPipeService {
protected:
    void SetUp() override {
        ASSERT_EQ("", ClaimPipe());
        ASSERT_TRUE(server.Start(4)) << server.error();
    }
    void StartGateway(int workers = 2, const std::string& ini = "debug = 0\n") {
        ASSERT_TRUE(gateway.Start(workers, ini)) << gateway.error();
    }
    void TearDown() override {
        if (gateway.pid() > 0) {
            pid_t master = gateway.pid();
            std::vector<pid_t> workers = ChildrenOf(master);
            long long start = NowMs();
            EXPECT_EQ(0, gateway.Stop()) << "the gateway's stderr:\n" << gateway.Stderr();
            EXPECT_LT(NowMs() - start, 5000) << "an idle gateway stops at once";
            for (pid_t w : workers) EXPECT_NE(0, kill(w, 0)) << "worker " << w << " outlived its master";
        }
        EXPECT_FALSE(HasSanitizerReport(gateway.Stderr())) << gateway.Stderr();
        ExpectServerEnd();
    }

    fcgi::Reply Ask(const fcgi::Params& vars, const std::string& body = "") {
        return fcgi::Exchange(gateway.address(), vars, body);
    }
    // The page of a request that must be answered.
    std::string Answer(const fcgi::Params& vars, const std::string& body = "") {
        fcgi::Reply reply = Ask(vars, body);
        EXPECT_TRUE(reply.ended) << "no end-request record";
        EXPECT_EQ("", reply.garbage);
        return reply.out;
    }
    // The bytes a CGI run writes for the same request, in a directory with
    // the same velmox.ini.
    std::string CgiRun(const fcgi::Params& vars, const std::string& body, const std::string& ini = "debug = 0\n") {
        TempDir dir("velmox-fcgi-cgi");
        WriteFile(dir / "velmox.ini", ini);
        std::vector<std::pair<std::string, std::string>> env(vars.begin(), vars.end());
        DirectRun run = RunGatewayDirectly(dir.path(), env, body);
        EXPECT_EQ(1, run.status);
        return run.output;
    }
    // Asserts that the gateway still serves.
    void StillServes(const std::string& tag) {
        e2e::Page page = ParsePage(Answer(Vars("GET", "/RunAgent/Local/agents/check", tag)));
        EXPECT_EQ("RunAgent", page.command) << "after: " << tag;
        EXPECT_EQ(tag, page["m_query"]);
    }

    FastCgiGateway gateway;
};

struct Row {
    const char* what;
    fcgi::Params vars;
    std::string body;
};

// A request as a server with another split sends it: SCRIPT_NAME and
// PATH_INFO (null: not sent) and REQUEST_URI.
fcgi::Params SplitAs(fcgi::Params vars, const char* scriptName, const char* pathInfo, const std::string& uri) {
    for (auto v = vars.begin(); v != vars.end();)
        v = v->first == "SCRIPT_NAME" || v->first == "PATH_INFO" ? vars.erase(v) : v + 1;
    if (scriptName) vars.push_back({"SCRIPT_NAME", scriptName});
    if (pathInfo) vars.push_back({"PATH_INFO", pathInfo});
    vars.push_back({"REQUEST_URI", uri});
    return vars;
}

std::vector<Row> RequestsOfEveryKind() {
    std::string wide = "Body=";
    for (int i = 0; i < 3000; ++i) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", 1 + i % 255);
        wide += (i % 7 == 0) ? std::string("+") : std::string(escape);
    }
    const std::string form = "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=1";
    std::string longBody = "Body=" + std::string(100000, 'b');
    return {
        {"Save GET", Vars("GET", "/Save/Local/notes", "2a&89abcdef012345670011223344556677"), ""},
        {"Save POST", Vars("POST", "/Save/Local/notes", "2a", "To=ann&Body=line1%0D%0Aline2"),
         "To=ann&Body=line1%0D%0Aline2"},
        {"Save, every byte", Vars("POST", "/Save/Local/notes", "", wide), wide},
        {"Save, a long body", Vars("POST", "/Save/Local/notes", "", longBody), longBody},
        {"Compose", Vars("GET", "/Compose/Mail+Hub/drafts/new", "1f&0123456789abcdef0011223344556677"), ""},
        {"Search POST", Vars("POST", "/Search/Archive/db/view", "1f&ignored", form), form},
        {"Search GET", Vars("GET", "/Search/LOCAL/mail"), ""},
        {"ImageMap", Vars("GET", "/ImageMap/Local/maps/world", "120,45"), ""},
        {"RunAgent", Vars("GET", "/RunAgent/Main/agents/report", "Hello+World"), ""},
        {"RunAgent, a user", Vars("GET", "/RunAgent/Local/a", "u", "", {{"REMOTE_USER", "alice"}, {"AUTH_TYPE", "Basic"}}),
         ""},
        {"body shorter than CONTENT_LENGTH",
         Vars("POST", "/Save/Local/notes", "", "", {{"CONTENT_LENGTH", "40"}}), "a=1&b=2"},
        {"body longer than CONTENT_LENGTH",
         Vars("POST", "/Save/Local/notes", "", "", {{"CONTENT_LENGTH", "3"}}), "a=1&b=2&c=3"},
        {"GET with a body", Vars("GET", "/Save/Local/notes", "", "x=1"), "x=1"},
        {"unknown command", Vars("GET", "/Frobnicate/Local/x"), ""},
        {"no path", Vars("GET", ""), ""},
        {"two separators", Vars("POST", "//Local/x", "", "a=1"), "a=1"},
        {"a request too large for the pipe",
         Vars("GET", "/RunAgent/Local/a", std::string(70000, 'q'), "", {{"HTTP_REFERER", std::string(70000, 'r')}}),
         ""},
        {"Caddy and h2o: the gateway's path in PATH_INFO",
         SplitAs(Vars("GET", "", "1f"), "", "/velmox.cgi/Search/Local/mail", "/velmox.cgi/Search/Local/mail?1f"), ""},
        {"HAProxy: the whole path in SCRIPT_NAME",
         SplitAs(Vars("POST", "", "2a", "To=ann"), "/velmox.cgi/Save/Local/notes", nullptr,
                 "/velmox.cgi/Save/Local/notes?2a"),
         "To=ann"},
        {"REQUEST_URI alone", SplitAs(Vars("GET", "", "1f"), nullptr, nullptr, "/velmox.cgi/Compose/Local/dr%61fts?1f"),
         ""},
    };
}

TEST_F(FastCgi, EachRequestGetsTheBytesOfACgiRun) {
    StartGateway(2);
    const std::vector<Row> rows = RequestsOfEveryKind();
    // What the server task must see of the rows split as other servers split.
    const std::map<std::string, std::string> splits = {
        {"Caddy and h2o: the gateway's path in PATH_INFO", "/Search/Local/mail"},
        {"HAProxy: the whole path in SCRIPT_NAME", "/Save/Local/notes"},
        {"REQUEST_URI alone", "/Compose/Local/drafts"},
    };
    std::vector<std::string> pages;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string cgi = CgiRun(r.vars, r.body);
        std::string fastcgi = Answer(r.vars, r.body);
        ASSERT_FALSE(cgi.empty());
        EXPECT_EQ(WithoutServedBy(cgi), WithoutServedBy(fastcgi));
        pages.push_back(WithoutServedBy(cgi));
        auto split = splits.find(r.what);
        if (split != splits.end()) {
            e2e::Page page = ParsePage(fastcgi);
            EXPECT_EQ("/velmox.cgi", page["cgi-SCRIPT_NAME"]);
            EXPECT_EQ(split->second, page["cgi-PATH_INFO"]);
            EXPECT_EQ(split->second.substr(1, split->second.find('/', 1) - 1), page.command);
        }
    }
    // The same requests one after another on one kept connection, as nginx
    // and HAProxy send them (each once the one before is answered: they
    // multiplex no connection, FCGI_MPXS_CONNS is 0): each answered in turn,
    // with the same bytes, and the connection stays open.
    int kept = fcgi::Connect(gateway.address());
    ASSERT_GE(kept, 0);
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(std::string("kept connection: ") + rows[i].what);
        ASSERT_TRUE(fcgi::SendAll(kept, fcgi::Request(rows[i].vars, rows[i].body, true)));
        fcgi::Reply reply = fcgi::ReadReplies(kept, 1)[0];
        ASSERT_TRUE(reply.ended) << reply.garbage.substr(0, 100);
        EXPECT_FALSE(reply.closed);
        EXPECT_EQ(pages[i], WithoutServedBy(reply.out));
    }
    close(kept);
    // With tracing: the dump, the trace and the pipe's own trace lines, in
    // the same order, in the response.
    ASSERT_TRUE(gateway.WriteIni("debug = 1\n"));
    ASSERT_EQ(0, kill(gateway.pid(), SIGHUP));
    long long deadline = NowMs() + 10000;
    while (Answer(Vars("GET", "/RunAgent/Local/a")).compare(0, kit::kPageHead.size() + 5, kit::kPageHead + "<P>CG") != 0 &&
           NowMs() < deadline) {
    }
    for (const Row& r : RequestsOfEveryKind()) {
        SCOPED_TRACE(std::string("traced: ") + r.what);
        std::string cgi = CgiRun(r.vars, r.body, "debug = 1\n");
        std::string fastcgi = Answer(r.vars, r.body);
        EXPECT_EQ(WithoutServedBy(cgi), WithoutServedBy(fastcgi));
    }
    // Without a server task: the communication page, with the cause traced.
    ASSERT_EQ(0, server.Stop()) << server.Stderr();
    for (const Row& r : RequestsOfEveryKind()) {
        SCOPED_TRACE(std::string("no server task: ") + r.what);
        EXPECT_EQ(CgiRun(r.vars, r.body, "debug = 1\n"), Answer(r.vars, r.body));
    }
}

TEST_F(FastCgi, NothingCarriesOverFromOneRequestToTheNext) {
    StartGateway(1);  // one worker serves them all
    std::string longBody = "Body=" + std::string(5000, 'L') + "&To=" + std::string(300, 't');
    struct Step {
        fcgi::Params vars;
        std::string body;
        std::string user;     // REMOTE_USER the page must show
        std::string decoded;  // the body as the Save command carried it, hex
    } steps[] = {
        {Vars("POST", "/Save/Local/a", "", longBody, {{"REMOTE_USER", "alice"}}), longBody, "alice", ""},
        {Vars("POST", "/Save/Local/b", "", "x=1"), "x=1", "", Hex(std::string("x\0" "1\0\0", 5))},
        {Vars("GET", "/Save/Local/c", "", "", {{"REMOTE_USER", "bob"}}), "", "bob", ""},
        {Vars("GET", "/Save/Local/d"), "", "", ""},
    };
    for (int round = 0; round < 2; ++round) {
        for (const Step& s : steps) {
            SCOPED_TRACE(Value(s.vars, "PATH_INFO") + " round " + std::to_string(round));
            e2e::Page page = ParsePage(Answer(s.vars, s.body));
            EXPECT_EQ("Save", page.command);
            EXPECT_EQ(s.user, page["m_remoteUser"]);
            EXPECT_EQ(s.user, page["cgi-REMOTE_USER"]);
            EXPECT_EQ(Value(s.vars, "CONTENT_LENGTH"), page["cgi-CONTENT_LENGTH"]);
            if (s.body.empty()) {
                EXPECT_EQ("0", page["m_bodyLen"]);
            }
            if (!s.decoded.empty()) {
                EXPECT_EQ(s.decoded, page["m_body"]);
            }
        }
    }
}

// Sends bytes on a connection of its own and reads until it closes.
fcgi::Reply Raw(const std::string& address, const std::string& bytes, bool closeAfterSending = false) {
    int fd = fcgi::Connect(address);
    fcgi::Reply reply;
    if (fd < 0) return reply;
    fcgi::SendAll(fd, bytes);
    if (closeAfterSending) shutdown(fd, SHUT_RDWR);
    else reply = fcgi::ReadReply(fd, 15000);
    close(fd);
    return reply;
}

TEST_F(FastCgi, BadInputCostsOnlyItsRequestAndMemoryStaysFlat) {
    StartGateway(2);
    const std::string address = gateway.address();
    auto serveMany = [&](int n) {
        for (int i = 0; i < n; ++i) {
            std::string body = "a=" + std::string(size_t(i % 50) * 40, 'x');
            fcgi::Reply r = Ask(Vars("POST", "/Save/Local/warm", std::to_string(i), body), body);
            ASSERT_TRUE(r.ended);
            ASSERT_THAT(r.out, StartsWith("Content-Type: text/html")) << r.out.substr(0, 200);
        }
    };
    serveMany(300);
    std::vector<pid_t> workers = ChildrenOf(gateway.pid());
    ASSERT_EQ(2u, workers.size());
    long before = 0;
    for (pid_t w : workers) before += ResidentKb(w);

    // Parameters far larger than any web server sends: a harmless one, and
    // request values that cannot fit the pipe (the exception page).
    e2e::Page page = ParsePage(Answer(Vars("GET", "/RunAgent/Local/a", "big", "", {{"HTTP_X_BIG", std::string(1 << 20, 'b')}})));
    EXPECT_EQ("big", page["m_query"]);
    EXPECT_EQ(kTooLongPage, Answer(Vars("GET", "/RunAgent/Local/a", std::string(300000, 'q'))));
    StillServes("after-big-params");
    // A body that stops half-way and a connection that closes: dropped,
    // logged, and nothing reaches the server task.
    std::string half = fcgi::BeginRequest() + fcgi::ParamsStream(Vars("POST", "/Save/Local/cut", "", std::string(1000, 'c'))) +
                       fcgi::Record(fcgi::kStdin, "c=" + std::string(300, 'c'));
    Raw(address, half, true);
    StillServes("after-cut-body");
    // Garbage, a record cut short, a record of an unknown version, params
    // without their end, an empty connection.
    const std::string garbage[] = {
        "GET / HTTP/1.1\r\nHost: x\r\n\r\n",
        fcgi::BeginRequest().substr(0, 5),
        std::string("\x09\x01\x00\x01\x00\x08\x00\x00", 8) + std::string(8, '\0'),
        fcgi::BeginRequest() + fcgi::Record(fcgi::kParams, std::string("\x7f\x7f", 2) + "PATH"),
        fcgi::BeginRequest() + fcgi::ParamsStream(Vars("GET", "/RunAgent/Local/a")).substr(0, 20),
        std::string(70000, '\xff'),
        "",
    };
    for (const std::string& bytes : garbage) {
        SCOPED_TRACE(Hex(bytes.substr(0, 16)));
        fcgi::Reply r = Raw(address, bytes, true);
        EXPECT_FALSE(r.ended);
        StillServes("after-garbage");
    }
    // 1,000 connections opened and dropped.
    for (int i = 0; i < 1000; ++i) {
        int fd = fcgi::Connect(address);
        ASSERT_GE(fd, 0) << "connection " << i;
        close(fd);
    }
    StillServes("after-1000-drops");
    // Clients that leave before their answer.
    for (int i = 0; i < 50; ++i) {
        int fd = fcgi::Connect(address);
        ASSERT_GE(fd, 0);
        fcgi::SendAll(fd, fcgi::Request(Vars("GET", "/Search/Local/mail")));
        close(fd);
    }
    StillServes("after-clients-left");

    // Values of a request that reach the log cannot end its line or forge
    // another: their control characters are escaped.
    struct Forged {
        fcgi::Params vars;
        std::string logged;
    } forged[] = {
        {Vars("GET", "/Bogus\nvelmox.cgi[1]: FORGED LOG LINE/Local/x"),
         "GET /Bogus\\x0avelmox.cgi[1]: FORGED LOG LINE/Local/x: Velmox CGI exception: Unknown Command Exception"},
        {Vars("GET\r\nvelmox.cgi[1]: FORGED METHOD", "/Nope\x1b[2J"),
         "GET\\x0d\\x0avelmox.cgi[1]: FORGED METHOD /Nope\\x1b[2J: Velmox CGI exception: Unknown Command Exception"},
        {Vars("POST", "/Save/Local/x\\y", "", "", {{"CONTENT_LENGTH", "99999999999\n"}}),
         "POST /Save/Local/x\\\\y: request refused: CONTENT_LENGTH 99999999999\\x0a is longer than any request"},
    };
    for (const Forged& f : forged) EXPECT_TRUE(Ask(f.vars).ended);
    // A body of 100 MB announced and none of it sent, the connection left
    // open: refused at once (413), its body never waited for.
    int announced = fcgi::Connect(address);
    ASSERT_TRUE(fcgi::SendAll(announced, fcgi::BeginRequest() + fcgi::ParamsStream(Vars(
                                             "POST", "/Save/Local/huge", "", "", {{"CONTENT_LENGTH", "100000000"}}))));
    fcgi::Reply refused = fcgi::ReadReplies(announced, 1, 20000)[0];
    EXPECT_TRUE(refused.ended);
    EXPECT_EQ(kTooLongPage, refused.out);
    close(announced);

    serveMany(1000);
    EXPECT_EQ(workers, ChildrenOf(gateway.pid())) << "no worker died:\n" << gateway.Stderr();
    long after = 0;
    for (pid_t w : workers) after += ResidentKb(w);
    // Under the address sanitizer the freed memory sits in its quarantine,
    // and its leak check at each worker's exit is the measure instead.
    if (!kSanitized) {
        EXPECT_LT(after - before, 1024) << "resident KB of the workers: " << before << " then " << after;
    }
    std::string log = gateway.Stderr();
    EXPECT_THAT(log, HasSubstr("POST /Save/Local/cut: request dropped: its body stopped after 302 of 1000"))
        << log;
    EXPECT_THAT(log, HasSubstr("Velmox CGI exception: Buffer Overflow Exception")) << log;
    for (const Forged& f : forged) EXPECT_THAT(log, HasSubstr(f.logged)) << log;
    EXPECT_THAT(log, Not(HasSubstr("\nvelmox.cgi[1]: FORGED"))) << log;
}

TEST_F(FastCgi, TheServerTaskMayGoAndComeBack) {
    StartGateway(2);
    StillServes("first");
    ASSERT_EQ(0, server.Stop()) << server.Stderr();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(kCommunicationPage, Answer(Vars("GET", "/RunAgent/Local/a", "gone")));
    std::string log = gateway.Stderr();
    EXPECT_THAT(log, HasSubstr("GET /RunAgent/Local/a: Cannot communicate with Velmox server: ")) << log;
    EXPECT_THAT(log, HasSubstr(kPipeName)) << "the cause names the pipe:\n" << log;
    // A new task, then a restarted one (new objects): reached without
    // restarting the gateway.
    ASSERT_TRUE(server.Start(2)) << server.error();
    for (int i = 0; i < 4; ++i) StillServes("back-" + std::to_string(i));
    ASSERT_EQ(0, server.Stop()) << server.Stderr();
    ASSERT_TRUE(server.Start(3)) << server.error();
    for (int i = 0; i < 4; ++i) StillServes("restarted-" + std::to_string(i));
}

// The status paths: answered by the worker, whatever the web server's split
// of the path, without the pipe and without being counted; the metrics the
// registry tool's, both passing promtool, the ping "pong" only while a pipe
// is registered.
TEST_F(FastCgi, StatusPathsAnswerWithoutThePipeAndAreNotCounted) {
    ASSERT_TRUE(gateway.Start(2, "debug = 1\n", "", StatusPathOptions())) << gateway.error();
    const std::string pong = "Status: 200 OK\nContent-Type: text/plain; charset=utf-8\nCache-Control: no-store\n\npong\n";
    // Without PATH_INFO; with an empty SCRIPT_NAME (Caddy, h2o); REQUEST_URI
    // alone, with a query and an escape.
    struct Split {
        const char* what;
        fcgi::Params vars;
        std::string body;
    } splits[] = {
        {"SCRIPT_NAME", SplitAs(Vars("GET", ""), kPingPath, nullptr, kPingPath), ""},
        {"PATH_INFO", SplitAs(Vars("HEAD", ""), "", kPingPath, kPingPath), ""},
        {"REQUEST_URI", SplitAs(Vars("GET", ""), nullptr, nullptr, "/velmox-p%69ng?x=1"), ""},
        {"with a body", SplitAs(Vars("POST", "", "", "a=1"), kPingPath, nullptr, kPingPath), "a=1"},
    };
    // (With debug = 1 a command's page begins with the dump: a status
    // answer never does.)
    for (const Split& split : splits) {
        SCOPED_TRACE(split.what);
        EXPECT_EQ(pong, Answer(split.vars, split.body));
    }
    // Only the whole path: others go to the pipe as commands would.
    for (const char* path : {"/velmox-ping/x", "/velmox-pingx", "/Velmox-ping", "/velmox.cgi/velmox-ping"}) {
        SCOPED_TRACE(path);
        EXPECT_THAT(Answer(SplitAs(Vars("GET", ""), path, nullptr, path)), Not(HasSubstr("pong")));
    }

    // Every request that reached the pipe is counted, none of the scrapes.
    const int sent = 9;
    for (int i = 0; i < sent; ++i) StillServes("counted-" + std::to_string(i));
    fcgi::Params scrape = SplitAs(Vars("GET", ""), kMetricsPath, nullptr, kMetricsPath);
    std::string metrics;
    for (int i = 0; i < 3; ++i) metrics = Answer(scrape);
    size_t body = metrics.find("\n\n");
    ASSERT_NE(std::string::npos, body) << metrics;
    EXPECT_THAT(metrics, StartsWith("Status: 200 OK\nContent-Type: application/openmetrics-text; version=1.0.0"))
        << metrics;
    metrics.erase(0, body + 2);
    EXPECT_EQ(double(sent), MetricSum(metrics, "velmox_requests_total")) << metrics;
    ASSERT_GE(metrics.size(), 6u);
    EXPECT_EQ("# EOF\n", metrics.substr(metrics.size() - 6)) << metrics;
    // The registry tool's figure.
    proc::Finished tool = proc::Run({RegistryProgram(), "status", "--openmetrics"}, 30);
    EXPECT_EQ(0, tool.status) << tool.err;
    EXPECT_EQ(double(sent), MetricSum(tool.out, "velmox_requests_total")) << tool.out;
    // promtool (Debian's prometheus) finds no fault in either text.
    ASSERT_EQ(0, access("/usr/bin/promtool", X_OK)) << "promtool is not installed (scripts/test-all installs prometheus)";
    for (const std::string* text : {&metrics, &tool.out}) {
        proc::Finished check = proc::Run({"/usr/bin/promtool", "check", "metrics"}, 60, {}, *text);
        EXPECT_EQ(0, check.status) << check.out << check.err << "\nof:\n" << *text;
    }

    // No pipe: the ping says so, the metrics hold none; a new task is seen.
    ASSERT_EQ(0, server.Stop()) << server.Stderr();
    EXPECT_EQ("Status: 503 Service Unavailable\nContent-Type: text/plain; charset=utf-8\nCache-Control: no-store\n\n"
              "no pipe registered under " + std::string(kPipeName) + "\n",
              Answer(splits[0].vars));
    metrics = Answer(scrape);
    EXPECT_THAT(metrics, StartsWith("Status: 200 OK\n")) << metrics;
    EXPECT_THAT(metrics, HasSubstr("\n# EOF\n")) << metrics;
    ASSERT_TRUE(server.Start(1)) << server.error();
    EXPECT_EQ(pong, Answer(splits[0].vars));

    // Off unless given: the same path is the pipe's.
    FastCgiGateway plain;
    ASSERT_TRUE(plain.Start(1)) << plain.error();
    EXPECT_EQ(kExceptionPage, fcgi::Exchange(plain.address(), splits[0].vars).out);
    EXPECT_EQ(0, plain.Stop()) << plain.Stderr();
}

// Requests whose handler is stuck, through 4 workers and a server task with
// a request timeout of 2 s: each gets the communication page within the
// timeout and 5 s (and slack for a sanitized build on a busy machine), its
// pipe process is replaced, and the requests sent meanwhile are served;
// the counters then hold exactly what the test sent.
TEST_F(FastCgi, HangingRequestsRunIntoTheTimeoutAndTheOthersAreServed) {
    const int timeout = 2, hanging = 2;
    const double bound = timeout + 5 + (kSanitized ? 5 : 0);
    ASSERT_EQ(0, server.Stop()) << server.Stderr();
    ASSERT_TRUE(server.Start(4, "", {"--request-timeout", std::to_string(timeout), "--hang-ms", "3600000"}))
        << server.error();
    StartGateway(4);
    std::atomic<int> ended{0};
    std::vector<std::string> pages(hanging);
    std::vector<double> took(hanging);
    std::vector<std::thread> threads;
    for (int i = 0; i < hanging; ++i)
        threads.emplace_back([&, i] {
            long long start = NowMs();
            pages[size_t(i)] = fcgi::Exchange(gateway.address(), Vars("GET", "/RunAgent/Local/hang", "h"), "", 60000).out;
            took[size_t(i)] = double(NowMs() - start) / 1000;
            ++ended;
        });
    int answered = 0;
    long long deadline = NowMs() + 60000;
    while ((ended < hanging || answered < 20) && NowMs() < deadline) {
        StillServes("meanwhile-" + std::to_string(answered));
        ++answered;
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < hanging; ++i) {
        EXPECT_EQ(kCommunicationPage, pages[size_t(i)].substr(0, kCommunicationPage.size()));
        EXPECT_LT(took[size_t(i)], bound) << "the request timeout is " << timeout << " s";
        EXPECT_GE(took[size_t(i)], timeout - 0.1);
    }
    std::string log = server.Log();
    size_t lines = 0;
    for (size_t at = log.find("request timeout: "); at != std::string::npos; at = log.find("request timeout: ", at + 1))
        ++lines;
    EXPECT_EQ(size_t(hanging), lines) << log;
    // The pipes come back, and the counters hold every answer and timeout.
    long long back = NowMs() + 30000;
    PipeStatus status;
    IpcFailure failure;
    while (NowMs() < back && (!ReadPipeStatus(kPipeName, status, failure) || status.pipes.size() != 4)) SleepMs(50);
    ASSERT_EQ(4u, status.pipes.size());
    EXPECT_TRUE(status.counters);
    EXPECT_EQ(uint64_t(answered), status.requests);
    EXPECT_EQ(uint64_t(hanging), status.timeouts);
    EXPECT_EQ(uint64_t(hanging), status.failures[int(ExchangeFailure::DeadServer)]);
    StillServes("after-the-timeouts");
}

// Kept connections (FCGI_KEEP_CONN) with one worker, so that every other
// connection depends on the worker that holds the kept one.
TEST_F(FastCgi, AKeptConnectionIsServedInOrderAndNeverKeepsAnotherWaiting) {
    StartGateway(1);
    const std::string address = gateway.address();
    auto tagged = [](const std::string& tag, bool keep) {
        return fcgi::Request(Vars("GET", "/RunAgent/Local/a", tag), "", keep);
    };
    auto tagOf = [](const fcgi::Reply& r) { return ParsePage(r.out)["m_query"]; };
    auto ask = [&](int fd, const std::string& tag) {
        EXPECT_TRUE(fcgi::SendAll(fd, tagged(tag, true)));
        fcgi::Reply reply = fcgi::ReadReplies(fd, 1)[0];
        EXPECT_TRUE(reply.ended && !reply.closed) << tag;
        return tagOf(reply);
    };

    // (Requests one after another on one kept connection, each with its own
    // body: EachRequestGetsTheBytesOfACgiRun.)
    int kept = fcgi::Connect(address);
    ASSERT_GE(kept, 0);
    EXPECT_EQ("k1", ask(kept, "k1"));

    // Connections that would hold the one worker if it waited on any of
    // them, three of each kind, held open (up to the stop, below) while
    // every other connection is served: the bound on each request proves
    // only that none waits for them (the read limit is 30 s).
    const std::string post = fcgi::Request(Vars("POST", "/Save/Local/b", "", "b=12345678"), "b=12345678");
    struct Stall {
        const char* what;
        std::string bytes;
    } stalls[] = {
        {"silent", ""},
        {"half a record header", fcgi::BeginRequest().substr(0, 5)},
        {"half the parameters",
         fcgi::BeginRequest() + fcgi::ParamsStream(Vars("GET", "/RunAgent/Local/a")).substr(0, 40)},
        {"half a body", post.substr(0, post.size() - 20)},
    };
    std::vector<int> stalled;
    for (int round = 0; round < 3; ++round)
        for (const Stall& stall : stalls) {
            SCOPED_TRACE(stall.what);
            stalled.push_back(fcgi::Connect(address));
            ASSERT_TRUE(stalled.back() >= 0 && fcgi::SendAll(stalled.back(), stall.bytes));
        }
    for (int i = 0; i < 6; ++i) {
        long long begun = NowMs();
        EXPECT_EQ("beside-" + std::to_string(i), tagOf(fcgi::Exchange(address, Vars("GET", "/RunAgent/Local/a",
                                                                                     "beside-" + std::to_string(i)))));
        EXPECT_EQ("kept-beside-" + std::to_string(i), ask(kept, "kept-beside-" + std::to_string(i)));
        EXPECT_LT(NowMs() - begun, 20000) << "a request waited for a stalled connection";
    }

    // Idle, it keeps nobody waiting: a new connection is served by the
    // same worker, and the kept one still serves after it.
    EXPECT_EQ("other", tagOf(fcgi::Exchange(address, Vars("GET", "/RunAgent/Local/a", "other"))));
    int second = fcgi::Connect(address);
    EXPECT_EQ("second", ask(second, "second"));
    EXPECT_EQ("k4", ask(kept, "k4"));
    // Both kept and each served in the order their requests came; the
    // first's body held back until the second's request is sent.
    std::string body = "x=" + std::string(1000, 's');
    std::string slow = fcgi::Request(Vars("POST", "/Save/Local/slow", "", body), body, true);
    ASSERT_TRUE(fcgi::SendAll(kept, slow.substr(0, slow.size() - 40)));
    usleep(100000);
    ASSERT_TRUE(fcgi::SendAll(second, tagged("queued", true)));
    usleep(100000);
    ASSERT_TRUE(fcgi::SendAll(kept, slow.substr(slow.size() - 40)));
    fcgi::Reply first = fcgi::ReadReplies(kept, 1)[0];
    EXPECT_TRUE(first.ended && !first.closed);
    EXPECT_EQ("slow", ParsePage(first.out)["m_path"]);
    EXPECT_EQ("queued", tagOf(fcgi::ReadReplies(second, 1)[0]));
    // Many kept connections on one worker, each served.
    std::vector<int> many;
    for (int i = 0; i < 20; ++i) {
        many.push_back(fcgi::Connect(address));
        EXPECT_EQ("m" + std::to_string(i), ask(many.back(), "m" + std::to_string(i)));
    }
    for (size_t i = 0; i < many.size(); ++i) EXPECT_EQ("again" + std::to_string(i), ask(many[i], "again" + std::to_string(i)));
    for (int fd : many) close(fd);
    close(second);
    close(kept);

    // The web server's close ends it: the worker serves on.
    kept = fcgi::Connect(address);
    ASSERT_TRUE(fcgi::SendAll(kept, tagged("k4", true)));
    EXPECT_EQ("k4", tagOf(fcgi::ReadReplies(kept, 1)[0]));
    close(kept);
    StillServes("after-a-close");

    // Left idle, it is closed after the idle limit, not before.
    FastCgiGateway brief;
    ASSERT_TRUE(brief.Start(1, "debug = 0\n", "", {"--idle-limit", "1", "--read-limit", "2", "--max-connections", "4"}))
        << brief.error();
    kept = fcgi::Connect(brief.address());
    ASSERT_TRUE(fcgi::SendAll(kept, tagged("brief", true)));
    EXPECT_EQ("brief", tagOf(fcgi::ReadReplies(kept, 1)[0]));
    long long start = NowMs();
    fcgi::Reply idle = fcgi::ReadReply(kept, 30000);
    EXPECT_TRUE(idle.closed && !idle.ended);
    EXPECT_GE(NowMs() - start, 900);
    close(kept);
    // The bound (4): a fifth connection closes the one that waited longest
    // without a request; the read limit (2 s) closes the others, each
    // logged once.
    std::vector<int> silent;
    for (const Stall& stall : {stalls[0], stalls[1], stalls[2], stalls[3]}) {
        silent.push_back(fcgi::Connect(brief.address()));
        ASSERT_TRUE(fcgi::SendAll(silent.back(), stall.bytes));
        usleep(50000);
    }
    EXPECT_EQ("fifth", tagOf(fcgi::Exchange(brief.address(), Vars("GET", "/RunAgent/Local/a", "fifth"))));
    for (size_t i = 0; i < silent.size(); ++i) {
        SCOPED_TRACE(stalls[i].what);
        fcgi::Reply closed = fcgi::ReadReply(silent[i], 30000);
        EXPECT_TRUE(closed.closed && !closed.ended && closed.out.empty());
        close(silent[i]);
    }
    std::string log = brief.Stderr();
    EXPECT_THAT(log, HasSubstr("- -: connection closed to make room for a new one (--max-connections): no whole "
                               "request in "))
        << log;
    EXPECT_THAT(log, HasSubstr("- -: connection closed: no whole request within the read limit of 2 s (5 bytes "
                               "arrived)"))
        << log;
    EXPECT_THAT(log, HasSubstr("- -: connection closed: no whole request within the read limit of 2 s (56 bytes "
                               "arrived)"))
        << log;
    EXPECT_THAT(log, HasSubstr("POST /Save/Local/b: request dropped: its body stopped after 4 of 10 bytes "
                               "within the read limit of 2 s"))
        << log;
    EXPECT_EQ(0, brief.Stop()) << brief.Stderr();
    EXPECT_FALSE(HasSanitizerReport(brief.Stderr())) << brief.Stderr();

    // A stop closes one that is idle, and the stalled ones, at once, and
    // ends with status 0.
    kept = fcgi::Connect(address);
    ASSERT_TRUE(fcgi::SendAll(kept, tagged("last", true)));
    EXPECT_EQ("last", tagOf(fcgi::ReadReplies(kept, 1)[0]));
    start = NowMs();
    EXPECT_EQ(0, gateway.Stop()) << gateway.Stderr();
    EXPECT_LT(NowMs() - start, 10000) << "the stop waited for the stalled connections";
    EXPECT_TRUE(fcgi::ReadReply(kept, 5000).closed);
    close(kept);
    for (int fd : stalled) {
        EXPECT_TRUE(fcgi::ReadReply(fd, 5000).closed);
        close(fd);
    }
    EXPECT_FALSE(HasSanitizerReport(gateway.Stderr())) << gateway.Stderr();
}

TEST_F(FastCgi, SighupRereadsVelmoxIniAndSigtermFinishesTheRequestInFlight) {
    StartGateway(1);
    EXPECT_THAT(Answer(Vars("GET", "/RunAgent/Local/a")), StartsWith("Content-Type: text/html"));
    ASSERT_TRUE(gateway.WriteIni("debug = 1\n"));
    ASSERT_EQ(0, kill(gateway.pid(), SIGHUP));
    long long deadline = NowMs() + 10000;
    std::string page;
    do page = Answer(Vars("GET", "/RunAgent/Local/a"));
    while (page.compare(0, kit::kPageHead.size() + 17, kit::kPageHead + "<P>CGI state<BR>\n") != 0 && NowMs() < deadline);
    EXPECT_THAT(page, StartsWith(kit::kPageHead + "<P>CGI state<BR>\n")) << page.substr(0, 300);
    ASSERT_TRUE(gateway.WriteIni("debug = 0\n"));
    ASSERT_EQ(0, kill(gateway.pid(), SIGHUP));
    deadline = NowMs() + 10000;
    do page = Answer(Vars("GET", "/RunAgent/Local/a"));
    while (page.compare(0, 10, "Content-Ty") != 0 && NowMs() < deadline);
    EXPECT_THAT(page, StartsWith("Content-Type: text/html")) << page.substr(0, 300);

    // A request half-sent when SIGTERM comes is finished and answered, and
    // so is one whose connection was opened (and accepted) just before it
    // and sends its request just after (a web server's, mid-request).
    std::string body = "Body=" + std::string(2000, 'z');
    std::string request = fcgi::Request(Vars("POST", "/Save/Local/inflight", "", body), body);
    int fd = fcgi::Connect(gateway.address());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(fcgi::SendAll(fd, request.substr(0, request.size() / 2)));
    int opened = fcgi::Connect(gateway.address());
    ASSERT_GE(opened, 0);
    usleep(300000);
    pid_t master = gateway.pid();
    std::vector<pid_t> workers = ChildrenOf(master);
    ASSERT_EQ(0, kill(master, SIGTERM));
    usleep(100000);
    ASSERT_TRUE(fcgi::SendAll(opened, fcgi::Request(Vars("GET", "/RunAgent/Local/a", "opened"))));
    EXPECT_EQ("opened", ParsePage(fcgi::ReadReply(opened, 15000).out)["m_query"]);
    close(opened);
    usleep(200000);
    EXPECT_EQ(0, kill(master, 0)) << "the gateway waits for its request";
    ASSERT_TRUE(fcgi::SendAll(fd, request.substr(request.size() / 2)));
    fcgi::Reply reply = fcgi::ReadReply(fd, 15000);
    close(fd);
    EXPECT_TRUE(reply.ended);
    e2e::Page answered = ParsePage(reply.out);
    EXPECT_EQ("Save", answered.command);
    EXPECT_EQ("inflight", answered["m_path"]);
    EXPECT_EQ(0, proc::Wait(master, 10)) << gateway.Stderr();
    for (pid_t w : workers) EXPECT_NE(0, kill(w, 0));
    EXPECT_LT(fcgi::Connect(gateway.address()), 0) << "nothing listens any more";
    EXPECT_FALSE(FileExists(gateway.address())) << "the socket file is removed";
    gateway.Kill();  // already ended: only forgets it
}

// The web server's way: a listening socket as descriptor 0, -w from its
// command line; and systemd's (velmox-fcgi.socket): the socket passed with
// LISTEN_FDS, here by systemd's own systemd-socket-activate, which makes the
// socket and runs the program at the first connection. The static gateway
// cannot take such a socket and says so.
TEST_F(FastCgi, ListeningSocketOnDescriptorZeroOrFromSystemd) {
    struct Way { const char* name; bool activated; std::string program; int status; const char* says; } ways[] = {
        {"descriptor 0", false, GatewayProgram(), 0, "the listening socket of descriptor 0"},
        {"socket activation", true, ServiceGatewayProgram(), 0, "the listening socket systemd passed"},
        {"socket activation of the static gateway", true, GatewayProgram(), 1, "cannot take: it is linked statically"},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        TempDir dir("velmox-fcgi-fd0");
        std::string path = dir / "socket";
        WriteFile(dir / "velmox.ini", "debug = 0\n");
        std::string errors = dir / "stderr";
        proc::Options options;
        options.errFile = errors;
        options.dir = dir.path();
        options.dieWithTest = true;
        std::vector<std::string> argv = {way.program, "-w", "3"};
        int listener = -1;
        if (way.activated) {
            argv.insert(argv.begin(), {"/usr/bin/systemd-socket-activate", "-l", path});
        } else {
            listener = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
            ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
            ASSERT_EQ(0, listen(listener, 64));
            options.in = listener;
        }
        pid_t pid = proc::Start(argv, options);
        if (listener >= 0) close(listener);
        ASSERT_GT(pid, 0);
        long long deadline = NowMs() + 20000;
        while (!FileExists(path) && NowMs() < deadline) usleep(10000);
        if (way.status != 0) {
            // The first connection starts it; it refuses and ends.
            fcgi::Exchange(path, Vars("GET", "/Compose/Local/drafts", "1f"));
            EXPECT_EQ(way.status, proc::Wait(pid, 20));
            EXPECT_THAT(ReadFile(errors), HasSubstr(way.says)) << ReadFile(errors);
            continue;
        }
        for (int i = 0; i < 6; ++i) {
            fcgi::Reply r = fcgi::Exchange(path, Vars("GET", "/Compose/Local/drafts", "1f"));
            EXPECT_EQ("Compose", ParsePage(r.out).command);
        }
        // The workers are started one by one while the first already
        // serves: on a busy machine it may answer all six alone.
        deadline = NowMs() + 20000;
        while (ChildrenOf(pid).size() < 3 && NowMs() < deadline) usleep(10000);
        EXPECT_EQ(3u, ChildrenOf(pid).size()) << ReadFile(errors);
        EXPECT_THAT(ReadFile(errors), Not(HasSubstr("ended"))) << "no worker ended";
        EXPECT_THAT(ReadFile(errors), HasSubstr(way.says)) << ReadFile(errors);
        EXPECT_EQ(0, proc::Stop(pid, 20)) << ReadFile(errors);
        EXPECT_TRUE(FileExists(path)) << "the web server's socket is not the gateway's to remove";
        EXPECT_FALSE(HasSanitizerReport(ReadFile(errors))) << ReadFile(errors);
    }
}

// The gateway started in dir with its standard output and error in the
// files out and err there.
pid_t RunIn(const TempDir& dir, const std::vector<std::string>& argv,
            const std::vector<std::pair<std::string, std::string>>& env, bool cleanEnv) {
    proc::Options options;
    options.outFile = dir / "out";
    options.errFile = dir / "err";
    options.dir = dir.path();
    options.env = env;
    options.cleanEnv = cleanEnv;
    options.dieWithTest = true;
    return proc::Start(argv, options);
}

TEST_F(FastCgi, CommandLinesAndAddresses) {
    TempDir dir("velmox-fcgi-args");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"-w", "0", "--fastcgi", "/tmp/x"}, 2, "-w takes a number of workers from 1 to 256, not \"0\""},
        {{"--fastcgi", "/tmp/x", "--workers=300"}, 2, "--workers takes a number of workers from 1 to 256"},
        {{"--fastcgi", "/tmp/x", "-w", "two"}, 2, "not \"two\""},
        {{"--fastcgi"}, 2, "--fastcgi needs a value"},
        {{"--fastcgi", "/tmp/x", "--verbose"}, 2, "unknown argument \"--verbose\""},
        {{"-w", "2"}, 2, "-w needs --fastcgi ADDRESS, or a listening socket as descriptor 0"},
        {{"--fastcgi", "nowhere"}, 1, "is neither a socket path (with a '/') nor HOST:PORT"},
        {{"--fastcgi", "127.0.0.1:99999"}, 1, "names no port from 1 to 65535"},
        {{"--fastcgi", "example.org:9000"}, 1, "is not a numeric IPv4 or IPv6 address"},
        {{"--fastcgi", dir / "no/such/dir/socket"}, 1, "bind "},
        {{"--fastcgi", dir.path()}, 1, "exists and is not a socket"},
        {{"--fastcgi", "/tmp/x", "--log="}, 2, "--log needs a file"},
        {{"--fastcgi", "/tmp/x", "--log", dir / "no/such/dir/log"}, 1, "cannot append to " + dir / "no/such/dir/log"},
        {{"--fastcgi", "/tmp/x", "--script-name", "velmox.cgi"}, 2, "--script-name takes the URL path"},
        {{"--fastcgi", "/tmp/x", "--script-name=/a?b"}, 2, "without a query"},
        {{"--fastcgi", "/tmp/x", "--idle-limit", "0"}, 2, "--idle-limit takes whole seconds from 1 to 3600, not \"0\""},
        {{"--fastcgi", "/tmp/x", "--idle-limit=1h"}, 2, "not \"1h\""},
        {{"--fastcgi", "/tmp/x", "--read-limit", "0"}, 2, "--read-limit takes whole seconds from 1 to 3600, not \"0\""},
        {{"--fastcgi", "/tmp/x", "--max-connections=0"}, 2,
         "--max-connections takes a number of connections from 1 to 65536, not \"0\""},
        {{"--fastcgi", "/tmp/x", "--allow", "localhost"}, 2,
         "--allow takes numeric IPv4 or IPv6 addresses, each alone or as ADDRESS/BITS, separated by commas, not "
         "\"localhost\""},
        {{"--fastcgi", "/tmp/x", "--allow=127.0.0.1,10.0.0.0/33"}, 2, "\"10.0.0.0/33\" names no network (BITS from 0 to 32)"},
        {{"--fastcgi", dir / "allow.sock", "--allow", "127.0.0.1"}, 2,
         "--allow is for a TCP socket; " + dir / "allow.sock" + " is not one"},
        {{"--fastcgi", "/tmp/x", "--metrics-path", "metrics"}, 2,
         "--metrics-path takes a URL path beginning with '/', without a query or fragment, not \"metrics\""},
        {{"--fastcgi", "/tmp/x", "--ping-path=/ping?x"}, 2, "--ping-path takes a URL path"},
        {{"--fastcgi", "/tmp/x", "--ping-path"}, 2, "--ping-path needs a value"},
        {{"--fastcgi", "/tmp/x", "--metrics-path=/s", "--ping-path", "/s"}, 2, "name the same path, \"/s\""},
        {{"--fastcgi", "/tmp/x", "--ping-path", "/mail/ping", "--script-name", "/mail"}, 2,
         "--ping-path \"/mail/ping\" lies under the gateway's own path /mail"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {GatewayProgram()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(Listing(argv));
        EXPECT_EQ(c.status, proc::Wait(RunIn(dir, argv, {{"PATH", "/usr/bin:/bin"}}, true), 20));
        EXPECT_THAT(ReadFile(dir / "err"), HasSubstr(c.message)) << ReadFile(dir / "err");
        EXPECT_EQ("", ReadFile(dir / "out"));
    }
    // Under a CGI web server the arguments are the request's: a CGI run.
    pid_t pid = RunIn(dir, {GatewayProgram(), "--fastcgi", dir / "s"},
                      {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"PATH_INFO", "/Frobnicate/x/y"}}, true);
    EXPECT_EQ(1, proc::Wait(pid, 20));
    EXPECT_EQ(kExceptionPage, ReadFile(dir / "out"));
    EXPECT_FALSE(FileExists(dir / "s"));

    // A TCP address; a second gateway on the socket of a live one is refused
    // and leaves it serving; the socket of a killed one is taken over.
    int port = FreeLoopbackPort();
    StartGateway(2);
    FastCgiGateway tcp;
    ASSERT_TRUE(tcp.Start(1, "debug = 0\n", "127.0.0.1:" + std::to_string(port), {"--script-name", "/mail/"}))
        << tcp.error();
    EXPECT_EQ("Search", ParsePage(fcgi::Exchange(tcp.address(), Vars("GET", "/Search/Local/mail")).out).command);
    // Mapped at /mail: the command path is split after it.
    e2e::Page mapped = ParsePage(fcgi::Exchange(tcp.address(), SplitAs(Vars("GET", ""), "", "/mail/Compose/Local/d",
                                                                       "/mail/Compose/Local/d")).out);
    EXPECT_EQ("Compose", mapped.command);
    EXPECT_EQ("/mail", mapped["cgi-SCRIPT_NAME"]);
    EXPECT_EQ("/Compose/Local/d", mapped["cgi-PATH_INFO"]);
    EXPECT_EQ(0, tcp.Stop());
    EXPECT_THAT(tcp.Stderr(), HasSubstr("warning: 127.0.0.1:" + std::to_string(port) +
                                        " is a TCP socket, which every local user can connect to: only "
                                        "clients from 127.0.0.0/8, ::1 are served (--allow)"))
        << tcp.Stderr();
    // Clients outside --allow are refused before a byte is read.
    FastCgiGateway elsewhere;
    ASSERT_TRUE(elsewhere.Start(1, "debug = 0\n", "127.0.0.1:" + std::to_string(FreeLoopbackPort()),
                                {"--allow", "192.0.2.0/24,2001:db8::1"}))
        << elsewhere.error();
    fcgi::Reply refused = fcgi::Exchange(elsewhere.address(), Vars("GET", "/Search/Local/mail"));
    EXPECT_TRUE(refused.closed && !refused.ended && refused.out.empty());
    EXPECT_EQ(0, elsewhere.Stop());
    EXPECT_THAT(elsewhere.Stderr(), HasSubstr("connection from 127.0.0.1 refused: not among the clients of "
                                              "--allow (192.0.2.0/24, 2001:db8::1)"))
        << elsewhere.Stderr();
    pid = RunIn(dir, {GatewayProgram(), "--fastcgi", gateway.address()}, {}, false);
    EXPECT_EQ(1, proc::Wait(pid, 20));
    EXPECT_THAT(ReadFile(dir / "err"), HasSubstr("a program already listens on " + gateway.address()));
    StillServes("still-the-first");
    std::string socketPath = gateway.address();
    gateway.Kill();
    ASSERT_TRUE(FileExists(socketPath));
    FastCgiGateway again;
    ASSERT_TRUE(again.Start(1, "debug = 0\n", socketPath)) << again.error();
    EXPECT_EQ("Search", ParsePage(fcgi::Exchange(socketPath, Vars("GET", "/Search/Local/mail")).out).command);
    EXPECT_EQ(0, again.Stop());
    EXPECT_FALSE(HasSanitizerReport(again.Stderr() + tcp.Stderr() + elsewhere.Stderr()))
        << again.Stderr() << tcp.Stderr() << elsewhere.Stderr();
}

}  // namespace
