// The web mail end to end: curl -> lighttpd -> velmox.cgi -> pipe ->
// velmox-server with its mail store (SQLite, PostgreSQL) -> back, and
// sixteen gateways saving at once. Each test starts its own server task (with a database of its own)
// under the gateway's fixed pipe name and its own lighttpd, and at the end
// stops both and checks that no IPC object is left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "ipc_harness.h"
#include "load_run.h"
#include "mail_client.h"
#include "pg_cluster.h"
#include "web_servers.h"

using namespace e2e;

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// The href or src value that follows `marker` in a page, entities resolved.
std::string AttributeAfter(const std::string& page, const std::string& marker) {
    size_t at = page.find(marker);
    if (at == std::string::npos) return "<missing " + marker + ">";
    at += marker.size();
    return mailtest::TextOf(page.substr(at, page.find('"', at) - at));
}

// Once on each store: an SQLite file, a PostgreSQL database of the test's own.
class MailService : public FixedPipeService, public ::testing::WithParamInterface<mailtest::Store> {
protected:
    void SetUp() override {
        ASSERT_EQ("", ClaimPipe());
        std::string database = data / "mail.db";
        if (GetParam() == mailtest::Store::kPostgres) {
            std::string why;
            cluster = pgtest::Cluster::Shared(&why);
            ASSERT_NE(nullptr, cluster) << why;
            pgDatabase = cluster->NewDatabase();
            database = cluster->Uri(pgDatabase);
        }
        ASSERT_TRUE(server.Start(4, database)) << server.error();
        ASSERT_TRUE(web.Start()) << web.error();
    }
    void TearDown() override {
        ExpectCleanEnd(web);
        if (!pgDatabase.empty()) {
            EXPECT_TRUE(cluster->DropDatabase(pgDatabase));
        }
    }

    // A request through the web server; the HTTP status is checked.
    Response Fetch(const CurlRequest& request, int status = 200) {
        Response response = Curl(request);
        EXPECT_EQ(0, response.exitCode) << response.stderrText;
        EXPECT_EQ(status, response.status) << response.headers << response.body.substr(0, 600);
        return response;
    }

    TempDir data{"velmox-e2e-mail"};
    pgtest::Cluster* cluster = nullptr;
    std::string pgDatabase;
    WebServer web;
};

TEST_P(MailService, WriteSaveSearchAndOpenThroughTheWebServer) {
    // Write: the form posts to Save under a fresh ident.
    Response compose = Fetch(CurlGet(web.Url("/velmox.cgi/Compose/Local/inbox")));
    EXPECT_EQ("text/html; charset=utf-8", compose.Header("Content-Type"));
    EXPECT_THAT(compose.Header("Content-Security-Policy"), HasSubstr("default-src 'none'"));
    std::string action = AttributeAfter(compose.body, "<form id=\"compose-form\" method=\"post\" action=\"");
    ASSERT_THAT(action, StartsWith("/velmox.cgi/Save/Local/inbox?0&")) << action;
    std::string ident = action.substr(action.find('&') + 1);
    std::string token = AttributeAfter(compose.body, "name=\"token\" value=\"");

    // Save, as a browser posts the form's fields, a text area's with CR LF
    // line ends.
    Response saved = Fetch(CurlPost(web.Url(action),
                                "token=" + token + "&to=ann%40example.org&subject=Whale+watching&"
                                "body=Blue+whales%0D%0Ain+the+bay"));
    EXPECT_EQ("Saved", mailtest::TextOf(mailtest::Element(saved.body, "h1", "title")));
    EXPECT_EQ(ident, mailtest::IdentOn(saved.body));
    std::string open = AttributeAfter(saved.body, "<a id=\"open-message\" href=\"");

    // Search finds it; its link opens it.
    Response found = Fetch(CurlPost(web.Url("/velmox.cgi/Search/Local/inbox"), "SREQUEST=Search&SEARCH=whale"));
    std::vector<std::string> subjects = mailtest::Elements(found.body, "a", "subject");
    ASSERT_EQ(1u, subjects.size()) << found.body;
    EXPECT_EQ("Whale watching", mailtest::TextOf(subjects[0]));
    EXPECT_EQ(open, AttributeAfter(found.body, "<a class=\"subject\" href=\""));
    Response opened = Fetch(CurlGet(web.Url(open)));
    EXPECT_EQ("\nBlue whales\nin the bay",
              mailtest::TextOf(mailtest::Element(opened.body, "textarea", "compose-body")));
    EXPECT_EQ("ann@example.org", mailtest::InputValue(opened.body, "compose-to"));

    // The folder view's picture, served by the server, and a click on it.
    Response view = Fetch(CurlGet(web.Url("/velmox.cgi/Search/Local/inbox")));
    std::string picture = AttributeAfter(view.body, "ismap src=\"");
    Response image = Fetch(CurlGet(web.Url(picture)));
    EXPECT_EQ("image/svg+xml", image.Header("Content-Type"));
    EXPECT_THAT(image.body, HasSubstr(">Whale watching<"));
    Response clicked = Fetch(CurlGet(web.Url(picture + "?100,50")));
    EXPECT_EQ(ident, mailtest::IdentOn(clicked.body));

    // The agents, and the statuses of what is refused.
    Response count = Fetch(CurlGet(web.Url("/velmox.cgi/RunAgent/Local/count")));
    EXPECT_EQ(std::vector<std::string>{"1"}, mailtest::Elements(count.body, "td", "count"));
    Response mbox = Fetch(CurlGet(web.Url("/velmox.cgi/RunAgent/Local/export?inbox")));
    EXPECT_EQ("application/mbox", mbox.Header("Content-Type"));
    ASSERT_EQ(1u, mailtest::ParseMbox(mbox.body).size());
    EXPECT_EQ("Blue whales\nin the bay", mailtest::ParseMbox(mbox.body)[0].body);
    Fetch(CurlGet(web.Url("/velmox.cgi/RunAgent/Local/nothing")), 404);
    Response byGet = Fetch(CurlGet(web.Url("/velmox.cgi/Save/Local/inbox")), 405);
    EXPECT_EQ("POST", byGet.Header("Allow"));
    Fetch(CurlGet(web.Url("/velmox.cgi/Compose/Local/no%20folder")), 400);
}

TEST_P(MailService, SixteenGatewaysSavingAHundredEachLoseAndDuplicateNone) {
    const int kGateways = 16, kSaves = 100;
    // Each gateway run as a web server runs it for tester, with the token of
    // tester's forms.
    const std::string token = FormToken(web.Url("/velmox.cgi/Compose/Local/load"));
    std::vector<pid_t> gateways;
    for (int g = 0; g < kGateways; ++g) {
        gateways.push_back(proc::Spawn([this, g, token] {
            std::string dir = data / ("gateway-" + std::to_string(g));
            mkdir(dir.c_str(), 0755);
            for (int k = 0; k < kSaves; ++k) {
                std::string body = "token=" + token + "&subject=g" + std::to_string(g) + "-" + std::to_string(k) +
                                   "&body=saved+at+once";
                DirectRun run = RunGatewayDirectly(dir,
                                                   {{"GATEWAY_INTERFACE", "CGI/1.1"},
                                                    {"AUTH_TYPE", "Basic"},
                                                    {"REMOTE_USER", kTester},
                                                    {"REQUEST_METHOD", "POST"},
                                                    {"PATH_INFO", "/Save/Local/load"},
                                                    {"QUERY_STRING", "0"},
                                                    {"SCRIPT_NAME", "/velmox.cgi"},
                                                    {"REMOTE_ADDR", "127.0.0.1"},
                                                    {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                                    {"CONTENT_LENGTH", std::to_string(body.size())}},
                                                   body, 60000);
                if (run.output.find("<h1 id=\"title\">Saved</h1>") == std::string::npos) return 1;
            }
            return 0;
        }));
    }
    for (pid_t gateway : gateways) EXPECT_EQ(0, proc::Wait(gateway, 300));
    // No save met a fault of the store (the log's line says which).
    std::string log = server.Log();
    size_t fault = log.find(" fault=");
    EXPECT_EQ(std::string::npos, fault) << log.substr(log.rfind('\n', fault) + 1, 1000);

    Response count = Fetch(CurlGet(web.Url("/velmox.cgi/RunAgent/Local/count")));
    EXPECT_EQ(std::vector<std::string>{std::to_string(kGateways * kSaves)},
              mailtest::Elements(count.body, "td", "count"));
    std::map<std::string, int> seen;
    std::string next = "/velmox.cgi/RunAgent/Local/export?load";
    for (int part = 0; part < 100 && !next.empty(); ++part) {
        Response mbox = Fetch(CurlGet(web.Url(next)));
        for (const mailtest::MboxMessage& m : mailtest::ParseMbox(mbox.body)) ++seen[m.Header("Subject")];
        next = mbox.Header("X-Velmox-Next");
    }
    EXPECT_EQ(size_t(kGateways * kSaves), seen.size());
    for (int g = 0; g < kGateways; ++g)
        for (int k = 0; k < kSaves; ++k) {
            std::string subject = "g" + std::to_string(g) + "-" + std::to_string(k);
            EXPECT_EQ(1, seen[subject]) << subject;
        }
}

INSTANTIATE_TEST_SUITE_P(Store, MailService, ::testing::Values(mailtest::Store::kSqlite, mailtest::Store::kPostgres),
                         mailtest::StoreParamName);

}  // namespace

namespace {

// Two hosts on this machine, each in an IPC and a mount namespace of its own
// (its own /tmp, so its own pipe) with lighttpd, the gateway and
// velmox-server, keeping their mail in one PostgreSQL database, behind
// HAProxy (deploy/haproxy-velmox.cfg).
class ScaleOut : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "hosts in namespaces of their own need root";
        std::string why;
        cluster = pgtest::Cluster::Shared(&why);
        ASSERT_NE(nullptr, cluster) << why;
        pgDatabase = cluster->NewDatabase();
        ASSERT_NE("", pgDatabase);
        for (Host& host : hosts) ASSERT_TRUE(host.Start(Database())) << host.error();
        ASSERT_TRUE(balancer.Start({hosts[0].port(), hosts[1].port()})) << balancer.error();
    }
    void TearDown() override {
        balancer.Kill();
        for (Host& host : hosts) host.KillAll();
        if (!pgDatabase.empty()) {
            EXPECT_TRUE(cluster->DropDatabase(pgDatabase));
        }
    }
    std::string Database() const { return cluster->Uri(pgDatabase); }

    // Loads of saves through HAProxy: 16 clients for `seconds`, and `during`
    // (if any) after the first second.
    std::vector<load::Sample> Saves(double seconds, const std::function<void()>& during = nullptr) {
        load::Target target;
        target.port = balancer.port();
        target.saves = true;
        target.authorization = BasicAuthorization(kTester);
        target.token = FormToken(balancer.Url("/velmox.cgi/Compose/Local/load"));
        load::Load saves(target, 16, 0, 60);
        SleepMs(1000);
        if (during) during();
        SleepMs(long((seconds - 1) * 1000));
        saves.Stop();
        return saves.Samples();
    }

    pgtest::Cluster* cluster = nullptr;
    std::string pgDatabase;
    Host hosts[2];
    LoadBalancer balancer;
};

TEST_F(ScaleOut, TwoHostsShareTheMailAndOneServesOnWhileTheOtherIsKilledAndRejoins) {
    // A message saved through one host is found through the other.
    // With the token of a form that the other host served: the hosts share
    // their users and their secret.
    std::string token = FormToken(hosts[1].Url("/velmox.cgi/Compose/Local/shared"));
    Response saved = Curl(
        CurlPost(hosts[0].Url("/velmox.cgi/Save/Local/shared?0"), "token=" + token + "&subject=Across+hosts&body=made+on+one"));
    EXPECT_EQ("Saved", mailtest::TextOf(mailtest::Element(saved.body, "h1", "title"))) << saved.body;
    EXPECT_TRUE(hosts[0].Owns(std::atoi(saved.body.c_str() + saved.body.find(", pid ") + 6)));
    Response found = Curl(CurlPost(hosts[1].Url("/velmox.cgi/Search/Local/shared"), "SREQUEST=Search&SEARCH=across"));
    std::vector<std::string> subjects = mailtest::Elements(found.body, "a", "subject");
    ASSERT_EQ(1u, subjects.size()) << found.body;
    EXPECT_EQ("Across hosts", mailtest::TextOf(subjects[0]));

    // Both serve behind HAProxy; the first is killed, the other serves on.
    auto fromHost = [&](const std::vector<load::Sample>& samples, int host) {
        return int(std::count_if(samples.begin(), samples.end(), [&](const load::Sample& s) {
            return s.outcome == load::Outcome::Served && hosts[host].Owns(s.servedBy);
        }));
    };
    std::vector<load::Sample> before = Saves(3);
    EXPECT_GT(fromHost(before, 0), 0);
    EXPECT_GT(fromHost(before, 1), 0);
    double killed = 0, gone = 0;
    std::vector<load::Sample> kill = Saves(4, [&] {
        killed = load::Now();
        hosts[0].KillAll();
        gone = load::Now();
    });
    int failed = 0, inFlight = 0, servedAfter = 0;
    for (const load::Sample& s : kill) {
        if (s.start <= killed && s.end >= killed) ++inFlight;
        if (s.outcome != load::Outcome::Served) {
            ++failed;
            EXPECT_TRUE(s.start <= gone && s.end >= killed) << "a failure that was not in flight at the kill: "
                                                             << load::OutcomeName(s.outcome) << " " << s.tag;
        } else if (s.start > gone) {
            ++servedAfter;
            EXPECT_TRUE(hosts[1].Owns(s.servedBy)) << s.tag;
        }
    }
    load::Figures figures = load::Summarise(kill);
    std::printf("kill of one host's process group under 16 clients: %d sent, %d served, %d failed (of %d in flight at "
                "the kill, on both hosts), %d served after it; p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                figures.sent, figures.served, failed, inFlight, servedAfter, figures.p50Ms, figures.p99Ms, figures.maxMs);
    EXPECT_LE(failed, 16);
    EXPECT_GT(servedAfter, 0);
    // HAProxy's log names the host of each failure: the one killed.
    auto failures = [&](const char* host) {
        int count = 0;
        std::string log = balancer.Output();
        for (size_t at = 0, end; at < log.size(); at = end + 1) {
            end = log.find('\n', at);
            if (end == std::string::npos) end = log.size();
            std::string line = log.substr(at, end - at);
            if (line.find(std::string("velmox_hosts/") + host + " ") != std::string::npos &&
                line.find("\"POST ") != std::string::npos && line.find(" 200 ") == std::string::npos)
                ++count;
        }
        return count;
    };
    EXPECT_EQ(failed, failures("host1")) << balancer.Output().substr(0, 4000);
    EXPECT_EQ(0, failures("host2"));

    // Started again, it rejoins: HAProxy sends it requests once its checks pass.
    ASSERT_TRUE(hosts[0].Start(Database())) << hosts[0].error();
    SleepMs(2500);
    std::vector<load::Sample> after = Saves(3);
    EXPECT_GT(fromHost(after, 0), 0);
    EXPECT_GT(fromHost(after, 1), 0);
    EXPECT_EQ(int(after.size()), load::Summarise(after).served) << "no request fails once both serve";

    // Nothing lost, nothing twice: every message whose Saved page came back
    // is there once, and nothing is there twice.
    std::map<std::string, int> stored;
    pgtest::Session session(Database());
    for (const std::string& subject :
         session.Column("SELECT convert_from(subject, 'UTF8') FROM messages WHERE folder = 'load'"))
        ++stored[subject];
    ASSERT_FALSE(stored.empty()) << session.error();
    int served = 0, sent = 0;
    for (const auto* samples : {&before, &kill, &after})
        for (const load::Sample& s : *samples) {
            ++sent;
            if (s.outcome != load::Outcome::Served) continue;
            ++served;
            auto kept = stored.find(s.tag);
            EXPECT_TRUE(kept != stored.end() && kept->second == 1) << s.tag;
        }
    for (const auto& entry : stored) EXPECT_LE(entry.second, 1) << entry.first;
    EXPECT_GE(int(stored.size()), served);
    EXPECT_LE(int(stored.size()), served + failed);
    std::printf("%d saves sent, %d saved pages, %zu messages stored\n", sent, served, stored.size());
}

}  // namespace
