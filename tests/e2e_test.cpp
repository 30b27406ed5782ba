// The whole road of a request: curl -> lighttpd -> velmox.cgi -> pipe ->
// velmox-server -> back. Each test starts its own sample server task under
// the gateway's fixed pipe name and its own lighttpd on a free loopback port,
// and at the end stops both and checks that no IPC object is left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "cgi.h"
#include "cmd.h"
#include "e2e_harness.h"
#include "ipc_harness.h"
#include "request_util.h"

using namespace e2e;
using ipctest::Listing;

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const char* const kAgent = "velmox-e2e/1.0 <probe> & \"friends\"";
const std::string kAnswerHead = "Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n";

// A literal with its embedded NULs (without the one the compiler adds).
template <size_t N>
std::string Raw(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

// What the gateway makes of a form body: names and values NUL-terminated,
// "+" a blank, %XX its byte (an escaped carriage return dropped), closed by
// an empty string. Written for the upper-case escapes the tests send.
std::string DecodedForm(const std::string& raw) {
    std::string out;
    std::string in = raw + '\0';
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '+') out += ' ';
        else if (c == '=' || c == '&') out += '\0';
        else if (c == '%' && i + 2 < in.size()) {
            int code = std::stoi(in.substr(i + 1, 2), nullptr, 16);
            i += 2;
            if (code != 13) out += char(code);
        } else out += c;
    }
    return out + '\0';
}

CurlRequest Get(const std::string& url, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"-A", kAgent});
    return CurlGet(url, extra);
}

CurlRequest Post(const std::string& url, const std::string& body) { return CurlPost(url, body, {"-A", kAgent}); }

// A web server and, unless withServer is false, the sample server task.
class Service : public FixedPipeService {
protected:
    void StartAll(bool withServer, const std::string& ini = "debug = 0\n") {
        ASSERT_EQ("", ClaimPipe());
        if (withServer) {
            ASSERT_TRUE(server.Start(4)) << server.error();
        }
        ASSERT_TRUE(web.Start(ini)) << web.error();
    }
    void SetUp() override { StartAll(true); }
    void TearDown() override { ExpectCleanEnd(web); }

    // The page a request gets, after checking the HTTP side of it.
    Page Fetch(const CurlRequest& request, Response* out = nullptr) {
        Response response = Curl(request);
        EXPECT_EQ(0, response.exitCode) << response.stderrText;
        EXPECT_EQ(200, response.status) << response.headers;
        EXPECT_EQ("text/html; charset=utf-8", response.Header("Content-Type")) << response.headers;
        EXPECT_EQ("no-store", response.Header("Cache-Control")) << response.headers;
        if (out) *out = response;
        return ParsePage(response.body);
    }

    WebServer web;
};

class WithoutServer : public Service {
protected:
    void SetUp() override { StartAll(false); }
};

class WithTracing : public Service {
protected:
    void SetUp() override { StartAll(true, "debug = 1\n"); }
};

struct CommandCase {
    const char* name;
    int id;
    const char* path;  // after /velmox.cgi
    const char* server;
    const char* rest;
};

const CommandCase kCommands[] = {
    {"Save", 1, "/Save/Local/notes?2a&89abcdef012345670011223344556677", "", "notes"},
    {"Compose", 2, "/Compose/Mail+Hub/drafts/new?1f&0123456789abcdef0011223344556677", "Mail Hub", "drafts/new"},
    {"Search", 3, "/Search/LOCAL/mail", "", "mail"},
    {"ImageMap", 4, "/ImageMap/Local/maps/world?120,45", "", "maps/world"},
    {"RunAgent", 5, "/RunAgent/Main/agents/report?Hello+World", "Main", "agents/report"},
};

TEST_F(Service, EveryCommandByGetAndPostReachesTheServerTask) {
    for (const CommandCase& c : kCommands) {
        for (bool post : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (post ? " POST" : " GET"));
            std::string url = web.Url(std::string("/velmox.cgi") + c.path);
            std::string body = "note=" + std::string(c.name) + "&x=1";
            Page page = Fetch(post ? Post(url, body) : Get(url));
            EXPECT_EQ(c.name, page.command);
            EXPECT_EQ(std::to_string(c.id), page["m_cmdID"]);
            EXPECT_EQ("1", page["m_param"]);
            EXPECT_EQ("127.0.0.1", page["m_remoteAddr"]);
            EXPECT_EQ(kTester, page["m_remoteUser"]) << "the user lighttpd checked";
            EXPECT_EQ(kAgent, page["m_userAgent"]);
            EXPECT_EQ(c.server, page["m_server"]);
            EXPECT_EQ(c.rest, page["m_path"]);
            // The request record as the web server handed it over.
            std::string path = c.path, query;
            size_t mark = path.find('?');
            if (mark != std::string::npos) query = path.substr(mark + 1), path.erase(mark);
            EXPECT_EQ(post ? "POST" : "GET", page["cgi-REQUEST_METHOD"]);
            EXPECT_EQ("/velmox.cgi", page["cgi-SCRIPT_NAME"]);
            EXPECT_EQ(path, page["cgi-PATH_INFO"]);
            EXPECT_EQ(query, page["cgi-QUERY_STRING"]);
            EXPECT_EQ("127.0.0.1", page["cgi-REMOTE_ADDR"]);
            EXPECT_EQ(std::to_string(web.port()), page["cgi-SERVER_PORT"]);
            EXPECT_EQ(kAgent, page["cgi-HTTP_USER_AGENT"]);
            EXPECT_EQ("CGI/1.1", page["cgi-GATEWAY_INTERFACE"]);
            if (post) {
                EXPECT_EQ(std::to_string(body.size()), page["cgi-CONTENT_LENGTH"]);
            }
            for (const char* name : CGI::c_cgiEnvVarName)
                EXPECT_TRUE(page.Has(std::string("cgi-") + name)) << name;
        }
    }
}

struct SearchCase {
    const char* what;
    bool post;
    const char* body;
    int kind;
    const char* kindName;
    const char* text;
    const char* old;
    int max, order, variants;
};

TEST_F(Service, SearchKindsAndOptionsAsTheFormDecides) {
    const SearchCase rows[] = {
        {"Options keeps every option 0", true, "SREQUEST=Options&SEARCH=cats&OLDSEARCHREQUEST=dogs", 3, "Options",
         "cats", "dogs", 0, 0, 0},
        {"Quick Search with MAX and SEARCHOPTION", true, "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2", 2,
         "Search", "cats", "", 20, 2, 0},
        {"Quick Search with word variants", true,
         "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=1", 2, "Search", "cats", "", 20, 2, 1},
        {"Quick Search without MAX takes the defaults", true, "SREQUEST=Quick+Search&SEARCH=cats&SEARCHOPTION=2", 2,
         "Search", "cats", "", 0, 1, 1},
        {"Search discards the options", true,
         "SREQUEST=Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=1&OLDSEARCHREQUEST=birds", 2, "Search",
         "cats", "birds", 0, 1, 1},
        {"lower-case search", true, "SREQUEST=search&SEARCH=cats&MAX=5&SEARCHOPTION=3", 2, "Search", "cats", "", 0,
         1, 1},
        {"results page", true, "SEARCHRESULTSPAGE=2&SEARCH=cats&MAX=9", 2, "Search", "cats", "", 0, 1, 1},
        {"no kind, no SEARCH", true, "OLDSEARCHREQUEST=fish", 3, "Options", "", "fish", 0, 0, 0},
        {"empty SEARCH", true, "SEARCH=&MAX=7&SEARCHOPTION=32", 2, "Search", "", "", 7, 2, 0},
        {"escaped text", true, "SREQUEST=Options&SEARCH=caf%C3%A9+%26+%3Cb%3E+%22q%22", 3, "Options",
         "caf\xc3\xa9 & <b> \"q\"", "", 0, 0, 0},
        {"GET without body", false, "", 3, "Options", "", "", 0, 0, 0},
    };
    for (const SearchCase& r : rows) {
        SCOPED_TRACE(r.what);
        std::string url = web.Url("/velmox.cgi/Search/Archive/db/view?1f&ignored");
        Page page = Fetch(r.post ? Post(url, r.body) : Get(url));
        EXPECT_EQ("Search", page.command);
        EXPECT_EQ(std::to_string(r.kind), page["m_searchKind"]);
        EXPECT_EQ(r.kindName, page["m_searchKindName"]);
        EXPECT_EQ(r.text, page["m_searchText"]);
        EXPECT_EQ(r.old, page["m_oldSearchRequest"]);
        EXPECT_EQ(std::to_string(r.max), page["m_max"]);
        EXPECT_EQ(std::to_string(r.order), page["m_orderOfCollection"]);
        EXPECT_EQ(std::to_string(r.variants), page["m_wordVarient"]);
        EXPECT_EQ("31", page["m_queryNumber"]);
        EXPECT_EQ("Archive", page["m_server"]);
        EXPECT_EQ("db/view", page["m_path"]);
    }
}

TEST_F(Service, SaveCarriesTheDecodedBodyByteForByte) {
    std::string wide = "Body=";
    for (int i = 0; i < 6000; ++i) {
        int byte = 1 + i % 255;
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", byte);
        wide += (i % 7 == 0) ? std::string("+") : std::string(escape);
    }
    struct Row {
        const char* what;
        std::string body;
        std::string decoded;
    } rows[] = {
        {"two fields", "a=1&b=2+3", Raw("a\0" "1\0" "b\0" "2 3\0" "\0")},
        {"text area line ends", "Body=line1%0D%0Aline2", Raw("Body\0line1\nline2\0\0")},
        {"escaped NUL, = and &", "x=%00y&z=%3D%26", Raw("x\0\0y\0z\0=&\0\0")},
        {"raw carriage return", "a=x\ry", Raw("a\0x\ry\0\0")},
        {"empty value", "a=&b=2", Raw("a\0\0b\0" "2\0\0")},
        {"UTF-8", "Subject=Caf%C3%A9&To=a%40b.example",
         Raw("Subject\0Caf\xc3\xa9\0To\0a@b.example\0\0")},
        {"every byte value", wide, DecodedForm(wide)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(r.decoded, DecodedForm(r.body)) << "the test's own decoder";
        Page page = Fetch(Post(web.Url("/velmox.cgi/Save/Local/notes?2a&89abcdef012345670011223344556677"), r.body));
        EXPECT_EQ("Save", page.command);
        EXPECT_EQ(std::to_string(r.decoded.size()), page["m_bodyLen"]);
        EXPECT_EQ(Hex(r.decoded), page["m_body"]);
        EXPECT_EQ("42", page["m_queryNumber"]);
        EXPECT_EQ("1", page["m_identValid"]);
        EXPECT_EQ("89abcdef 01234567 00112233 44556677", page["m_ident"]);
        EXPECT_EQ("", page["m_reservedText"]);
    }
    // The form as the server task lists it.
    Page page = Fetch(Post(web.Url("/velmox.cgi/Save/Local/notes"), "To=ann&Body=line1%0D%0Aline2+%3C%3E"));
    ASSERT_EQ(2u, page.form.size());
    EXPECT_EQ("To", page.form[0].first);
    EXPECT_EQ("ann", page.form[0].second);
    EXPECT_EQ("Body", page.form[1].first);
    EXPECT_EQ("line1\nline2 <>", page.form[1].second);
    // Without a body there is nothing to carry.
    page = Fetch(Get(web.Url("/velmox.cgi/Save/Local/notes?2a")));
    EXPECT_EQ("0", page["m_bodyLen"]);
    EXPECT_EQ("", page["m_body"]);
    EXPECT_EQ("0", page["m_identValid"]);
}

TEST_F(Service, IdentifiersComeFromTheQueryString) {
    struct Row {
        const char* query;
        const char* number;
        const char* valid;
        const char* ident;  // checked only when valid
    } rows[] = {
        {"1f&0123456789abcdef0011223344556677", "31", "1", "01234567 89abcdef 00112233 44556677"},
        {"1f", "31", "0", nullptr},
        {"1f&xyz", "31", "0", nullptr},
        {"1f&012345670123456701234567", "31", "0", nullptr},
        {"", "0", "0", nullptr},
        {"0x10&00000001000000020000000300000004", "16", "1", "00000001 00000002 00000003 00000004"},
    };
    for (const char* command : {"Compose", "Save"}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(command) + " ?" + r.query);
            std::string url = web.Url(std::string("/velmox.cgi/") + command + "/Local/drafts");
            if (*r.query) url += std::string("?") + r.query;
            Page page = Fetch(Get(url));
            EXPECT_EQ(command, page.command);
            EXPECT_EQ(r.number, page["m_queryNumber"]);
            EXPECT_EQ(r.valid, page["m_identValid"]);
            if (r.ident) {
                EXPECT_EQ(r.ident, page["m_ident"]);
            }
        }
    }
    // Without a third path component the query is not looked at.
    Page page = Fetch(Get(web.Url("/velmox.cgi/Compose/Local?1f&0123456789abcdef0011223344556677")));
    EXPECT_EQ("0", page["m_queryNumber"]);
    EXPECT_EQ("0", page["m_identValid"]);
    EXPECT_EQ("", page["m_path"]);
}

TEST_F(Service, ImageMapClickPositions) {
    struct Row {
        const char* query;
        const char* x;
        const char* y;
    } rows[] = {{"?120,45", "120", "45"}, {"?-5,7", "-5", "7"}, {"?120", "120", "0"}, {"", "0", "0"},
                {"?", "0", "0"},         {"?0,239", "0", "239"}};
    for (const Row& r : rows) {
        for (bool post : {false, true}) {
            SCOPED_TRACE(std::string(r.query) + (post ? " POST" : " GET"));
            std::string url = web.Url(std::string("/velmox.cgi/ImageMap/Local/maps/world") + r.query);
            Page page = Fetch(post ? Post(url, "x=1") : Get(url));
            EXPECT_EQ("ImageMap", page.command);
            EXPECT_EQ(r.x, page["m_x"]);
            EXPECT_EQ(r.y, page["m_y"]);
            EXPECT_EQ("maps/world", page["m_path"]);
        }
    }
}

TEST_F(Service, RunAgentCarriesTheQueryAsItCame) {
    std::string longQuery(300, 'q');
    for (int i = 0; i < 300; i += 10) longQuery[size_t(i)] = char('0' + i / 10 % 10);
    struct Row {
        std::string query;
        std::string expected;
    } rows[] = {{"Hello+World", "Hello+World"},
                {"a%20b&c=d,e", "a%20b&c=d,e"},
                {"", ""},
                {longQuery, longQuery.substr(0, 255)}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.query.substr(0, 20));
        std::string url = web.Url("/velmox.cgi/RunAgent/Local/agents/report");
        if (!r.query.empty()) url += "?" + r.query;
        Page page = Fetch(Get(url));
        EXPECT_EQ("RunAgent", page.command);
        EXPECT_EQ(r.expected, page["m_query"]);
        EXPECT_EQ("0", page["m_reserved"]);
        EXPECT_EQ("agents/report", page["m_path"]);
        EXPECT_EQ(r.query, page["cgi-QUERY_STRING"]);
    }
}

TEST_F(Service, UnknownCommandsAndBadPathsGiveTheExceptionPageWithStatus400) {
    for (const char* path : {"/velmox.cgi/Frobnicate/Local/x", "/velmox.cgi", "/velmox.cgi/", "/velmox.cgi//Local/x",
                             "/velmox.cgi/Sav/Local/x"}) {
        SCOPED_TRACE(path);
        for (bool post : {false, true}) {
            Response r = Curl(post ? Post(web.Url(path), "a=1") : Get(web.Url(path)));
            EXPECT_EQ(0, r.exitCode) << r.stderrText;
            EXPECT_EQ(400, r.status);
            EXPECT_EQ("text/html", r.Header("Content-type"));
            EXPECT_EQ(kit::kExceptionHeading, r.body);
        }
    }
    // The server task is still there for the next request.
    EXPECT_EQ("RunAgent", Fetch(Get(web.Url("/velmox.cgi/RunAgent/Local/a?after"))).command);
}

TEST_F(Service, FortyConcurrentRequestsEachGetTheirOwnAnswer) {
    std::vector<CurlRequest> requests;
    std::vector<std::string> tags;
    for (int i = 0; i < 40; ++i) {
        std::string tag = "tag-" + std::to_string(i) + "-" + std::string(size_t(i % 5) * 13, 'x');
        tags.push_back(tag);
        if (i % 2)
            requests.push_back(Get(web.Url("/velmox.cgi/RunAgent/Local/agents/r" + std::to_string(i) + "?" + tag)));
        else
            requests.push_back(Post(web.Url("/velmox.cgi/Save/Local/notes/n" + std::to_string(i)),
                                    "tag=" + tag + "&Body=" + std::string(size_t(i) * 97, 'b')));
    }
    std::vector<Response> responses = CurlAll(requests);
    ASSERT_EQ(40u, responses.size());
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        const Response& r = responses[size_t(i)];
        EXPECT_EQ(0, r.exitCode) << r.stderrText;
        EXPECT_EQ(200, r.status);
        Page page = ParsePage(r.body);
        if (i % 2) {
            EXPECT_EQ("RunAgent", page.command);
            EXPECT_EQ(tags[size_t(i)], page["m_query"]);
            EXPECT_EQ("agents/r" + std::to_string(i), page["m_path"]);
        } else {
            std::string body = "tag=" + tags[size_t(i)] + "&Body=" + std::string(size_t(i) * 97, 'b');
            EXPECT_EQ("Save", page.command);
            EXPECT_EQ(Hex(DecodedForm(body)), page["m_body"]);
            EXPECT_EQ("notes/n" + std::to_string(i), page["m_path"]);
        }
    }
}

TEST_F(Service, StoppedServerTaskLeavesNoObjectsAndRequestsFailCleanly) {
    EXPECT_EQ("RunAgent", Fetch(Get(web.Url("/velmox.cgi/RunAgent/Local/a?before"))).command);
    EXPECT_FALSE(PipeObjectsLeft().empty());
    EXPECT_EQ(0, server.Stop()) << server.Stderr();
    std::vector<std::string> left = PipeObjectsLeft();
    EXPECT_TRUE(left.empty()) << Listing(left);
    Response r = Curl(Get(web.Url("/velmox.cgi/RunAgent/Local/a?after")));
    EXPECT_EQ(503, r.status);
    EXPECT_EQ(kit::kCommunicationHeading, r.body);
    // A new task serves again.
    ASSERT_TRUE(server.Start(2)) << server.error();
    EXPECT_EQ("again", Fetch(Get(web.Url("/velmox.cgi/RunAgent/Local/a?again")))["m_query"]);
}

TEST_F(Service, GatewayRunDirectlyWritesTheAnswerAndOneLineFeed) {
    TempDir dir("velmox-e2e-direct");
    const std::string body = "To=ann&Body=hello+there%0D%0A";
    std::vector<std::pair<std::string, std::string>> env = {
        {"REQUEST_METHOD", "POST"},
        {"PATH_INFO", "/Save/Local/notes"},
        {"QUERY_STRING", "2a&89abcdef012345670011223344556677"},
        {"SCRIPT_NAME", "/velmox.cgi"},
        {"REMOTE_ADDR", "127.0.0.1"},
        {"HTTP_USER_AGENT", "direct-run"},
        {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
        {"CONTENT_LENGTH", std::to_string(body.size())},
        {"SERVER_PORT", "80"},
    };
    DirectRun run = RunGatewayDirectly(dir.path(), env, body);
    EXPECT_EQ(1, run.status);
    const std::string& out = run.output;
    ASSERT_GT(out.size(), kAnswerHead.size());
    EXPECT_EQ(kAnswerHead, out.substr(0, kAnswerHead.size()));
    EXPECT_THAT(out, Not(HasSubstr(std::string(1, '\0'))));
    EXPECT_EQ("</html>\n\n", out.substr(out.size() - 9)) << "the page, then the gateway's line feed";
    Page page = ParsePage(out);
    EXPECT_EQ("Save", page.command);
    EXPECT_EQ("direct-run", page["m_userAgent"]);
    EXPECT_EQ(Hex(DecodedForm(body)), page["m_body"]);

    // The same request made through the library in this process gets the
    // same answer; the gateway adds exactly one line feed after its NUL.
    EnvList vars;
    for (const auto& v : env) vars.push_back({v.first.c_str(), v.second});
    SetRequest(vars, body);
    CGI cgi;
    cgi.InitFromEnv();
    std::unique_ptr<Cmd> cmd(Cmd::CreateCmd(cgi));
    ASSERT_EQ(1, cmd->Dispatch());
    uint32_t length = 0;
    const char* answer = cmd->GetResults(&length);
    ASSERT_NE(nullptr, answer);
    ASSERT_GT(length, 0u);
    EXPECT_EQ('\0', answer[length - 1]) << "the answer carries its NUL";
    EXPECT_EQ(WithoutServedBy(std::string(answer) + "\n"), WithoutServedBy(out));
}

TEST_F(WithoutServer, EveryCommandGetsTheCommunicationPage) {
    for (const CommandCase& c : kCommands) {
        for (bool post : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (post ? " POST" : " GET"));
            std::string url = web.Url(std::string("/velmox.cgi") + c.path);
            Response r = Curl(post ? Post(url, "SREQUEST=Search&SEARCH=x") : Get(url));
            EXPECT_EQ(0, r.exitCode) << r.stderrText;
            EXPECT_EQ(503, r.status);
            EXPECT_EQ("text/html", r.Header("Content-type"));
            EXPECT_EQ(kit::kCommunicationHeading, r.body);
        }
    }
    // An unknown command is refused before any exchange.
    Response refused = Curl(Get(web.Url("/velmox.cgi/Frobnicate/Local/x")));
    EXPECT_EQ(400, refused.status);
    EXPECT_EQ(kit::kExceptionHeading, refused.body);
    // A body longer than any request is refused before it is read (lighttpd
    // refuses it itself: deploy/lighttpd.conf's server.max-request-size).
    for (const std::string& path : {std::string("/velmox.cgi/Save/Local/big"), std::string("/velmox.cgi/Nope")}) {
        Response big = Curl(Post(web.Url(path), std::string(200000, 'b')));
        EXPECT_EQ(413, big.status) << path << "\n" << big.headers;
    }
    std::vector<std::string> left = PipeObjectsLeft();
    EXPECT_TRUE(left.empty()) << "a failed client made objects:\n" << Listing(left);
}

TEST_F(WithTracing, TraceComesFirstInItsOrderThenTheAnswer) {
    const std::string body = "SREQUEST=Options&SEARCH=trace+me";
    Response r = Curl(Post(web.Url("/velmox.cgi/Search/Local/mail?7"), body));
    ASSERT_EQ(0, r.exitCode) << r.stderrText;
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("text/html", r.Header("Content-type"));
    const std::string& page = r.body;
    std::vector<std::string> expected = {"<P>CGI state<BR>\n"};
    for (const char* name : CGI::c_cgiEnvVarName) expected.push_back(std::string(name) + " = ");
    expected.push_back("stdin = " + body + "<BR>\n");
    expected.push_back("contents = SREQUEST Options SEARCH trace me <BR>\n");
    expected.push_back("Creating command...done.<br>\n");
    expected.push_back("Calling Pipe...done.<br>\n");
    expected.push_back(kAnswerHead);
    size_t at = 0;
    for (const std::string& piece : expected) {
        size_t found = page.find(piece, at);
        ASSERT_NE(std::string::npos, found) << "missing, or out of order: " << piece << "\npage:\n" << page;
        if (at == 0) {
            EXPECT_EQ(0u, found) << "the dump opens the page";
        }
        at = found + piece.size();
    }
    const std::vector<std::string> lines = {"REQUEST_METHOD = POST<BR>\n",
                                            "PATH_INFO = /Search/Local/mail<BR>\n",
                                            "SCRIPT_NAME = /velmox.cgi<BR>\n",
                                            "QUERY_STRING = 7<BR>\n",
                                            "REMOTE_ADDR = 127.0.0.1<BR>\n",
                                            "CONTENT_LENGTH = " + std::to_string(body.size()) + "<BR>\n",
                                            std::string("HTTP_USER_AGENT = ") + kAgent + "<BR>\n"};
    for (const std::string& line : lines) EXPECT_THAT(page, HasSubstr(line)) << line;
    Page answer = ParsePage(page);
    EXPECT_EQ("Search", answer.command);
    EXPECT_EQ("trace me", answer["m_searchText"]);
    EXPECT_EQ("3", answer["m_searchKind"]);

    // A failure after the trace: the error page follows it with a second
    // header, and no status (the trace's header went first: 200).
    r = Curl(Get(web.Url("/velmox.cgi/Frobnicate/Local/x")));
    EXPECT_EQ(200, r.status);
    EXPECT_THAT(r.body, StartsWith("<P>CGI state<BR>\n"));
    std::string tail = "Creating command...Content-type: text/html\n\n" + kit::kExceptionHeading;
    ASSERT_GE(r.body.size(), tail.size());
    EXPECT_EQ(tail, r.body.substr(r.body.size() - tail.size())) << r.body;
}

}  // namespace
