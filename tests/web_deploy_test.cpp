// The gateway behind each web server it ships a configuration for, end to
// end with curl: lighttpd running it as a CGI program and as a FastCGI
// responder (both compared request by request), nginx (fastcgi_pass to the
// gateway's Unix socket), Apache httpd with mod_proxy_fcgi (the gateway on a
// TCP port) and with mod_cgid (deploy/apache-velmox.conf). Every web server
// runs as the test's own process on a free loopback port with a
// configuration made from deploy/.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "ipc_harness.h"
#include "web_servers.h"

using namespace e2e;
using ipctest::Listing;

namespace {

const std::string kCommunicationPage = "<h2>Cannot communicate with Velmox server</h2>";
const std::string kExceptionPage = "<h2>Velmox CGI exception</h2>";
const char* const kAgent = "velmox-deploy/1.0 <probe> & \"friends\"";

CurlRequest Get(const std::string& url) { return CurlGet(url, {"-A", kAgent}); }

CurlRequest Post(const std::string& url, const std::string& body) { return CurlPost(url, body, {"-A", kAgent}); }

// ----------------------------------------------- lighttpd, CGI and FastCGI

// A request of the end-to-end suite: the path after /velmox.cgi and, for a
// POST, the body.
struct Request {
    std::string path;
    bool post;
    std::string body;
};

// Every request that tests/e2e_test.cpp sends, with the server task there.
std::vector<Request> EndToEndRequests() {
    std::vector<Request> list;
    const char* commands[] = {"/Save/Local/notes?2a&89abcdef012345670011223344556677",
                              "/Compose/Mail+Hub/drafts/new?1f&0123456789abcdef0011223344556677",
                              "/Search/LOCAL/mail", "/ImageMap/Local/maps/world?120,45",
                              "/RunAgent/Main/agents/report?Hello+World"};
    const char* names[] = {"Save", "Compose", "Search", "ImageMap", "RunAgent"};
    for (int i = 0; i < 5; ++i) {
        list.push_back({commands[i], false, ""});
        list.push_back({commands[i], true, std::string("note=") + names[i] + "&x=1"});
    }
    for (const char* body : {"SREQUEST=Options&SEARCH=cats&OLDSEARCHREQUEST=dogs",
                             "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2",
                             "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=1",
                             "SREQUEST=Quick+Search&SEARCH=cats&SEARCHOPTION=2",
                             "SREQUEST=Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=1&OLDSEARCHREQUEST=birds",
                             "SREQUEST=search&SEARCH=cats&MAX=5&SEARCHOPTION=3", "SEARCHRESULTSPAGE=2&SEARCH=cats&MAX=9",
                             "OLDSEARCHREQUEST=fish", "SEARCH=&MAX=7&SEARCHOPTION=32",
                             "SREQUEST=Options&SEARCH=caf%C3%A9+%26+%3Cb%3E+%22q%22"})
        list.push_back({"/Search/Archive/db/view?1f&ignored", true, body});
    list.push_back({"/Search/Archive/db/view?1f&ignored", false, ""});
    std::string wide = "Body=";
    for (int i = 0; i < 6000; ++i) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", 1 + i % 255);
        wide += (i % 7 == 0) ? std::string("+") : std::string(escape);
    }
    for (const std::string& body : {std::string("a=1&b=2+3"), std::string("Body=line1%0D%0Aline2"),
                                    std::string("x=%00y&z=%3D%26"), std::string("a=x\ry"), std::string("a=&b=2"),
                                    std::string("Subject=Caf%C3%A9&To=a%40b.example"), wide})
        list.push_back({"/Save/Local/notes?2a&89abcdef012345670011223344556677", true, body});
    list.push_back({"/Save/Local/notes", true, "To=ann&Body=line1%0D%0Aline2+%3C%3E"});
    list.push_back({"/Save/Local/notes?2a", false, ""});
    for (const char* command : {"Compose", "Save"})
        for (const char* query : {"?1f&0123456789abcdef0011223344556677", "?1f", "?1f&xyz", "?1f&012345670123456701234567",
                                  "", "?0x10&00000001000000020000000300000004"})
            list.push_back({std::string("/") + command + "/Local/drafts" + query, false, ""});
    list.push_back({"/Compose/Local?1f&0123456789abcdef0011223344556677", false, ""});
    for (const char* query : {"?120,45", "?-5,7", "?120", "", "?", "?0,239"}) {
        list.push_back({std::string("/ImageMap/Local/maps/world") + query, false, ""});
        list.push_back({std::string("/ImageMap/Local/maps/world") + query, true, "x=1"});
    }
    for (const std::string& query : {std::string("?Hello+World"), std::string("?a%20b&c=d,e"), std::string(""),
                                     "?" + std::string(300, 'q')})
        list.push_back({"/RunAgent/Local/agents/report" + query, false, ""});
    for (const char* path : {"/Frobnicate/Local/x", "", "/", "//Local/x", "/Sav/Local/x"}) {
        list.push_back({path, false, ""});
        list.push_back({path, true, "a=1"});
    }
    for (int i = 0; i < 40; ++i) {
        std::string tag = "tag-" + std::to_string(i) + "-" + std::string(size_t(i % 5) * 13, 'x');
        if (i % 2)
            list.push_back({"/RunAgent/Local/agents/r" + std::to_string(i) + "?" + tag, false, ""});
        else
            list.push_back({"/Save/Local/notes/n" + std::to_string(i), true,
                            "tag=" + tag + "&Body=" + std::string(size_t(i) * 97, 'b')});
    }
    return list;
}

// What a client sees of a response, less the date, with the web server's
// document root (which each run has its own of) as DOCROOT.
std::string Seen(const Response& r, const std::string& docroot) {
    std::string headers;
    size_t at = 0;
    while (at < r.headers.size()) {
        size_t end = r.headers.find('\n', at);
        if (end == std::string::npos) end = r.headers.size();
        std::string line = r.headers.substr(at, end - at);
        if (line.compare(0, 15, "Content-Length:") == 0) {
            // The served-by line, cut below, names a pid, so the length may
            // differ between runs: what must hold is that it is the body's.
            bool right = std::strtoul(line.c_str() + 15, nullptr, 10) == r.body.size();
            headers += right ? "Content-Length: that of the body\n" : line + " (not that of the body)\n";
        } else if (line.compare(0, 5, "Date:") != 0) {
            headers += line + "\n";
        }
        at = end + 1;
    }
    std::string body = WithoutServedBy(r.body);
    for (size_t at = body.find(docroot); at != std::string::npos; at = body.find(docroot, at))
        body.replace(at, docroot.size(), "DOCROOT");
    return "exit " + std::to_string(r.exitCode) + "\n" + headers + body;
}

std::vector<std::string> Fetch(const WebServer& web, const std::vector<Request>& requests) {
    std::vector<std::string> seen;
    const size_t kBatch = 16;
    for (size_t at = 0; at < requests.size(); at += kBatch) {
        std::vector<CurlRequest> batch;
        for (size_t i = at; i < requests.size() && i < at + kBatch; ++i) {
            std::string url = web.Url("/velmox.cgi" + requests[i].path);
            batch.push_back(requests[i].post ? Post(url, requests[i].body) : Get(url));
        }
        for (const Response& r : CurlAll(batch)) seen.push_back(Seen(r, web.docroot()));
    }
    return seen;
}

TEST(LighttpdModes, EveryEndToEndRequestGetsTheSameBytesAsCgiAndAsFastCgi) {
    ASSERT_EQ("", ClaimFixedPipe());
    ServerTask server;
    ASSERT_TRUE(server.Start(4)) << server.error();
    int port = FreeLoopbackPort();
    const std::vector<Request> all = EndToEndRequests();
    const std::vector<Request> traced = {{"/Search/Local/mail?7", true, "SREQUEST=Options&SEARCH=trace+me"},
                                         {"/Frobnicate/Local/x", false, ""}};
    std::vector<Request> withoutServer;
    for (const Request& r : all)
        if (r.path.find("/Frobnicate") == 0 || r.path.find("?Hello") != std::string::npos ||
            r.path.find("/Save/Local/notes?2a&") == 0)
            withoutServer.push_back(r);
    std::vector<std::string> seen[2], seenTraced[2], seenWithout[2];
    for (int mode = 0; mode < 2; ++mode) {
        SCOPED_TRACE(mode ? "FastCGI" : "CGI");
        if (!server.running()) {
            ASSERT_TRUE(server.Start(4)) << server.error();
        }
        for (int phase = 0; phase < 2; ++phase) {
            WebServer web;
            if (mode) web.UseConfig("lighttpd-fastcgi.conf");
            web.UsePort(port);
            ASSERT_TRUE(web.Start(phase ? "debug = 1\n" : "debug = 0\n")) << web.error();
            if (phase == 0) {
                seen[mode] = Fetch(web, all);
            } else {
                seenTraced[mode] = Fetch(web, traced);
                ASSERT_EQ(0, server.Stop()) << server.Stderr();
                seenWithout[mode] = Fetch(web, withoutServer);
            }
            EXPECT_NE(-1, web.Stop());
            EXPECT_EQ("", web.RuntimeReports()) << web.ErrorLog();
        }
    }
    ASSERT_EQ(all.size(), seen[0].size());
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE((all[i].post ? "POST " : "GET ") + all[i].path.substr(0, 80));
        EXPECT_EQ(seen[0][i], seen[1][i]);
        EXPECT_NE(std::string::npos, seen[0][i].find("HTTP/1.1 200 OK")) << seen[0][i].substr(0, 300);
    }
    for (size_t i = 0; i < traced.size(); ++i) EXPECT_EQ(seenTraced[0][i], seenTraced[1][i]);
    EXPECT_NE(std::string::npos, seenTraced[1][0].find("Calling Pipe...done.<br>\n"));
    for (size_t i = 0; i < withoutServer.size(); ++i) {
        EXPECT_EQ(seenWithout[0][i], seenWithout[1][i]);
        if (withoutServer[i].path.find("/Frobnicate") != 0) {
            EXPECT_NE(std::string::npos, seenWithout[1][i].find(kCommunicationPage)) << seenWithout[1][i];
        }
    }
    std::vector<std::string> left = PipeObjectsLeft();
    EXPECT_TRUE(left.empty()) << Listing(left);
}

// ------------------------------------------------------------ each server

// One deployment: how it starts, where its gateway answers, what it logged.
struct Deployment {
    std::function<bool(std::string*)> start;
    std::function<std::string(const std::string&)> url;
    std::function<void()> stop;
    std::function<std::string()> logs;
};

class Deploy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ("", ClaimFixedPipe());
        claimed = true;
        ASSERT_TRUE(server.Start(4)) << server.error();
    }
    void TearDown() override {
        if (d.stop) d.stop();
        if (gateway.pid() > 0) {
            EXPECT_EQ(0, gateway.Stop()) << gateway.Stderr();
        }
        std::string logs = (d.logs ? d.logs() : "") + gateway.Stderr();
        EXPECT_EQ(std::string::npos, logs.find("Sanitizer")) << logs;
        if (server.running()) {
            EXPECT_EQ(0, server.Stop()) << server.Stderr();
        }
        if (!claimed) return;
        std::vector<std::string> left = PipeObjectsLeft();
        EXPECT_TRUE(left.empty()) << Listing(left);
        if (!left.empty()) RemovePipeObjects();
    }

    // Every command by GET and POST, the exception page, velmox.ini kept
    // from the web, then the communication page once the server task is
    // gone.
    void Check() {
        std::string reason;
        ASSERT_TRUE(d.start(&reason)) << reason;
        const char* commands[] = {"Save", "Compose", "Search", "ImageMap", "RunAgent"};
        std::vector<CurlRequest> requests;
        for (const char* c : commands) {
            std::string url = d.url(std::string("/velmox.cgi/") + c + "/Local/some/path?1f&q");
            requests.push_back(Get(url));
            requests.push_back(Post(url, std::string("SREQUEST=Search&SEARCH=") + c));
        }
        std::vector<Response> responses = CurlAll(requests);
        for (size_t i = 0; i < responses.size(); ++i) {
            const Response& r = responses[i];
            SCOPED_TRACE(std::string(commands[i / 2]) + (i % 2 ? " POST" : " GET"));
            EXPECT_EQ(0, r.exitCode) << r.stderrText;
            EXPECT_EQ(200, r.status) << r.headers;
            EXPECT_EQ("text/html; charset=utf-8", r.Header("Content-Type")) << r.headers;
            Page page = ParsePage(r.body);
            EXPECT_EQ(commands[i / 2], page.command) << r.body.substr(0, 300);
            EXPECT_EQ("/velmox.cgi", page["cgi-SCRIPT_NAME"]);
            EXPECT_EQ("/" + std::string(commands[i / 2]) + "/Local/some/path", page["cgi-PATH_INFO"]);
            EXPECT_EQ("1f&q", page["cgi-QUERY_STRING"]);
            EXPECT_EQ(i % 2 ? "POST" : "GET", page["cgi-REQUEST_METHOD"]);
            EXPECT_EQ("127.0.0.1", page["m_remoteAddr"]);
            EXPECT_EQ(kAgent, page["m_userAgent"]);
            if (i % 2) {
                EXPECT_EQ(std::to_string(std::string("SREQUEST=Search&SEARCH=").size() + std::strlen(commands[i / 2])),
                          page["cgi-CONTENT_LENGTH"]);
            }
        }
        Response bad = Curl(Get(d.url("/velmox.cgi/Frobnicate/Local/x")));
        EXPECT_EQ(200, bad.status);
        EXPECT_EQ(kExceptionPage, bad.body);
        Response ini = Curl(Get(d.url("/velmox.ini")));
        EXPECT_TRUE(ini.status == 403 || ini.status == 404) << ini.status;
        EXPECT_EQ(std::string::npos, ini.body.find("debug")) << ini.body;
        ASSERT_EQ(0, server.Stop()) << server.Stderr();
        Response gone = Curl(Get(d.url("/velmox.cgi/RunAgent/Local/a?gone")));
        EXPECT_EQ(200, gone.status);
        EXPECT_EQ(kCommunicationPage, gone.body);
    }

    ServerTask server;
    FastCgiGateway gateway;
    Deployment d;
    bool claimed = false;
};

TEST_F(Deploy, LighttpdRunsTheGatewayAsAFastCgiResponder) {
    auto web = std::make_shared<WebServer>();
    web->UseConfig("lighttpd-fastcgi.conf");
    d.start = [web](std::string* reason) {
        bool ok = web->Start();
        *reason = web->error();
        return ok;
    };
    d.url = [web](const std::string& rest) { return web->Url(rest); };
    d.stop = [web] { EXPECT_NE(-1, web->Stop()); };
    d.logs = [web] { return web->ErrorLog(); };
    Check();
    // The gateway logged the failed request with its cause in lighttpd's log.
    EXPECT_NE(std::string::npos, web->ErrorLog().find("GET /RunAgent/Local/a: Cannot communicate with Velmox server"))
        << web->ErrorLog();
}

TEST_F(Deploy, NginxPassesToTheGatewaysUnixSocket) {
    auto nginx = std::make_shared<Nginx>();
    d.start = [this, nginx](std::string* reason) {
        if (!gateway.Start(2)) {
            *reason = gateway.error();
            return false;
        }
        bool ok = nginx->Start(gateway.address());
        *reason = nginx->error();
        return ok;
    };
    d.url = [nginx](const std::string& rest) { return nginx->Url(rest); };
    d.stop = [nginx] { EXPECT_NE(-1, nginx->Stop()); };
    d.logs = [nginx] { return nginx->ErrorLog(); };
    Check();
}

TEST_F(Deploy, ApacheProxiesToTheGatewayOnATcpPort) {
    auto apache = std::make_shared<Apache>();
    d.start = [this, apache](std::string* reason) {
        if (!gateway.Start(2, "debug = 0\n", "127.0.0.1:" + std::to_string(FreeLoopbackPort()))) {
            *reason = gateway.error();
            return false;
        }
        bool ok = apache->Start(gateway.address());
        *reason = apache->error();
        return ok;
    };
    d.url = [apache](const std::string& rest) { return apache->Url(rest); };
    d.stop = [apache] { EXPECT_NE(-1, apache->Stop()); };
    d.logs = [apache] { return apache->ErrorLog(); };
    Check();
}

TEST_F(Deploy, ApacheRunsTheGatewayAsACgiProgram) {
    auto apache = std::make_shared<Apache>();
    d.start = [apache](std::string* reason) {
        bool ok = apache->Start();
        *reason = apache->error();
        return ok;
    };
    d.url = [apache](const std::string& rest) { return apache->Url(rest); };
    d.stop = [apache] { EXPECT_NE(-1, apache->Stop()); };
    d.logs = [apache] { return apache->ErrorLog(); };
    Check();
}

}  // namespace
