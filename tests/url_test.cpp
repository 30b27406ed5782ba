// The request path: command, server, path, query and query number.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "cgi.h"
#include "except.h"
#include "request_path.h"
#include "request_util.h"
#include "url.h"

namespace {

struct Parsed {
    std::string command, server, path, query;
    uint32_t number;
};

Parsed Parse(const char* pathInfo, const char* query) {
    CGI* cgi = new CGI();
    cgi->m_cgiEnvVarValue[CGI::PathInfo] = const_cast<char*>(pathInfo);
    cgi->m_cgiEnvVarValue[CGI::QueryString] = const_cast<char*>(query);
    URL url;
    try {
        url.InitWithCGIdata(*cgi);
    } catch (...) {
        delete cgi;
        throw;
    }
    delete cgi;
    return {url.m_command, url.m_server, url.m_path, url.m_query, url.m_queryNumber};
}

TEST(Url, PathsAndQueries) {
    struct Row { const char* pathInfo; const char* query; Parsed expected; } rows[] = {
        {"/Search/Mail+Hub/db/view", "1f&x", {"Search", "Mail Hub", "db/view", "1f&x", 31}},
        {"\\Save\\local\\x", nullptr, {"Save", "", "x", "", 0}},
        {"/Compose/Local", "2a", {"Compose", "", "", "", 0}},
        {"/Save/Main/", "zz", {"Save", "Main", "", "zz", 0}},
        {"/RunAgent", nullptr, {"RunAgent", "", "", "", 0}},
        {"/Save/LOCAL/a", "", {"Save", "", "a", "", 0}},
        {"/Save/Localhost/a", "", {"Save", "Localhost", "a", "", 0}},
        {"/Save/My+Server/a", "", {"Save", "My Server", "a", "", 0}},
        {"/Save/My%20Server+2/a+b%20c", "", {"Save", "My%20Server 2", "a+b%20c", "", 0}},
        {"/Save/Main", "1f", {"Save", "Main", "", "", 0}},
        {"/Save/Main/x", "0x10", {"Save", "Main", "x", "0x10", 16}},
        {"/Save/Main/x", " 10", {"Save", "Main", "x", " 10", 16}},
        {"/Save/Main/x", "ffffffff", {"Save", "Main", "x", "ffffffff", 0xffffffffu}},
        {"/Save/Main/x", "123456789", {"Save", "Main", "x", "123456789", 0xffffffffu}},
        {"/Save\\Main/x\\y/z", nullptr, {"Save", "Main", "x\\y/z", "", 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.pathInfo) + " ? " + (r.query ? r.query : "(unset)"));
        Parsed p = Parse(r.pathInfo, r.query);
        EXPECT_EQ(r.expected.command, p.command);
        EXPECT_EQ(r.expected.server, p.server);
        EXPECT_EQ(r.expected.path, p.path);
        EXPECT_EQ(r.expected.query, p.query);
        EXPECT_EQ(r.expected.number, p.number);
    }
}

TEST(Url, PathsWithoutCommandAreInvalid) {
    const char* paths[] = {"//", "/", "", "Save/x", "\\", "//Save"};
    for (const char* path : paths) {
        SCOPED_TRACE(path);
        EXPECT_THROW(Parse(path, "1"), InvalidURLExc);
    }
    EXPECT_THROW(Parse(nullptr, nullptr), InvalidURLExc);
}

TEST(Url, OverLongCommandIsCutAndEndsParsing) {
    std::string path = "/" + std::string(200, 'c') + "/Server/path";
    Parsed p = Parse(path.c_str(), "1f");
    EXPECT_EQ(std::string(127, 'c'), p.command);
    EXPECT_EQ("", p.server);
    EXPECT_EQ("", p.path);
    EXPECT_EQ("", p.query);
    EXPECT_EQ(0u, p.number);
}

TEST(Url, ServerOfExactlyTheFieldWidthIsKept) {
    std::string exact = "/Save/" + std::string(255, 's') + "/p";
    Parsed kept = Parse(exact.c_str(), "2");
    EXPECT_EQ(std::string(255, 's'), kept.server);
    EXPECT_EQ("p", kept.path);
    EXPECT_EQ(2u, kept.number);

    std::string over = "/Save/" + std::string(256, 's') + "/p";
    Parsed cut = Parse(over.c_str(), "2");
    EXPECT_EQ(std::string(255, 's'), cut.server);
    EXPECT_EQ("", cut.path);
    EXPECT_EQ(0u, cut.number);
}

TEST(Url, LongPathAndQueryAreCut) {
    std::string path = "/Save/S/" + std::string(300, 'p');
    std::string query = std::string(300, 'q');
    Parsed p = Parse(path.c_str(), query.c_str());
    EXPECT_EQ(std::string(255, 'p'), p.path);
    EXPECT_EQ(std::string(255, 'q'), p.query);
}

TEST(Url, FromTheEnvironment) {
    SetRequest({{"PATH_INFO", "/Search/Hub/db"}, {"QUERY_STRING", "a0"}});
    CGI cgi;
    cgi.InitFromEnv();
    URL url;
    url.InitWithCGIdata(cgi);
    EXPECT_STREQ("Search", url.m_command);
    EXPECT_EQ(0xa0u, url.m_queryNumber);
    EXPECT_EQ(1, url.IsValid());
    EXPECT_STREQ("Local", localServerName);
}

// The gateway's split of the request path, as each kind of web server
// sends it (null: the variable is not sent).
TEST(Url, RequestPathWhateverTheServersSplit) {
    const std::string gw = "/velmox.cgi";
    struct Row {
        const char* what;
        const char *scriptName, *pathInfo, *requestUri;
        std::string gateway;
        const char *expectedScript, *expectedPath;
        bool changed;
        const char* whole;  // Path()
    } rows[] = {
        {"lighttpd, Apache, nginx split", "/velmox.cgi", "/Search/Local/inbox", "/velmox.cgi/Search/Local/inbox?1f", gw,
         "/velmox.cgi", "/Search/Local/inbox", false, "/velmox.cgi/Search/Local/inbox"},
        {"Caddy, h2o", "", "/velmox.cgi/Search/Local/inbox", "/velmox.cgi/Search/Local/inbox?1f", gw, "/velmox.cgi",
         "/Search/Local/inbox", true, "/velmox.cgi/Search/Local/inbox"},
        {"HAProxy, nginx's fastcgi_params", "/velmox.cgi/Search/My F/a/b", nullptr, "/velmox.cgi/Search/My%20F/a%2Fb",
         gw, "/velmox.cgi", "/Search/My F/a/b", true, "/velmox.cgi/Search/My F/a/b"},
        {"only REQUEST_URI", nullptr, nullptr, "/velmox.cgi/Save/Local/n%C3%B6tes?2a&x", gw, "/velmox.cgi",
         "/Save/Local/n\xC3\xB6tes", true, "/velmox.cgi/Save/Local/n\xC3\xB6tes"},
        {"SCRIPT_NAME and REQUEST_URI", "/velmox.cgi", "", "/velmox.cgi/Save/Local/x", gw, "/velmox.cgi",
         "/Save/Local/x", true, "/velmox.cgi/Save/Local/x"},
        {"an absolute REQUEST_URI", nullptr, nullptr, "http://mail.example:8080/velmox.cgi/RunAgent/Local/count?x", gw,
         "/velmox.cgi", "/RunAgent/Local/count", true, "/velmox.cgi/RunAgent/Local/count"},
        {"%00 and a cut escape stay", nullptr, nullptr, "/velmox.cgi/Save/a%00b%2", gw, "/velmox.cgi",
         "/Save/a%00b%2", true, "/velmox.cgi/Save/a%00b%2"},
        {"nothing after the name", "/velmox.cgi", nullptr, "/velmox.cgi?1f", gw, "/velmox.cgi", "", false,
         "/velmox.cgi"},
        {"Caddy, nothing after the name", "", "/velmox.cgi", "/velmox.cgi?1f", gw, "/velmox.cgi", "", true,
         "/velmox.cgi"},
        {"a trailing separator", "/velmox.cgi", "/", "/velmox.cgi/", gw, "/velmox.cgi", "/", false, "/velmox.cgi/"},
        {"backslashes", "", "/velmox.cgi\\Save\\local\\x", nullptr, gw, "/velmox.cgi", "\\Save\\local\\x", true,
         "/velmox.cgi\\Save\\local\\x"},
        {"the name twice", "/velmox.cgi", "/velmox.cgi/Save/x", nullptr, gw, "/velmox.cgi", "/velmox.cgi/Save/x", false,
         "/velmox.cgi/velmox.cgi/Save/x"},
        {"a longer name is another", "", "/velmox.cgix/Save/x", "/velmox.cgix/Save/x", gw, "", "/velmox.cgix/Save/x",
         false, "/velmox.cgix/Save/x"},
        {"mapped elsewhere, split right", "/cgi-bin/velmox.cgi", "/Search/Local/mail", "/cgi-bin/velmox.cgi/x", gw,
         "/cgi-bin/velmox.cgi", "/Search/Local/mail", false, "/cgi-bin/velmox.cgi/Search/Local/mail"},
        {"PATH_INFO alone, as a bare CGI run", nullptr, "/Search/Local/mail", nullptr, gw, "", "/Search/Local/mail",
         false, "/Search/Local/mail"},
        {"PATH_INFO wins over REQUEST_URI", "/x", "/Search/Local/mail", "/velmox.cgi/Save/Local/y", gw, "/x",
         "/Search/Local/mail", false, "/x/Search/Local/mail"},
        {"nothing at all", nullptr, nullptr, nullptr, gw, "", "", false, ""},
        {"REQUEST_URI elsewhere", nullptr, nullptr, "/metrics?x", gw, "", "", false, "/metrics"},
        {"--script-name /mail", "", "/mail/Search/Local/inbox", nullptr, "/mail", "/mail", "/Search/Local/inbox",
         true, "/mail/Search/Local/inbox"},
        {"--script-name / (the root)", "/Search/Local/inbox", nullptr, "/Search/Local/inbox", "", "",
         "/Search/Local/inbox", true, "/Search/Local/inbox"},
        {"the root, split right", "", "/Search/Local/inbox", nullptr, "", "", "/Search/Local/inbox", false,
         "/Search/Local/inbox"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        RequestPath where(r.scriptName, r.pathInfo, r.requestUri, r.gateway);
        EXPECT_STREQ(r.expectedScript, where.ScriptName());
        EXPECT_STREQ(r.expectedPath, where.PathInfo());
        EXPECT_EQ(r.changed, where.Changed());
        EXPECT_EQ(r.whole, where.Path());
        // The record carries the split; unchanged values stay the server's.
        CGI cgi;
        cgi.m_cgiEnvVarValue[CGI::ScriptName] = const_cast<char*>(r.scriptName);
        cgi.m_cgiEnvVarValue[CGI::PathInfo] = const_cast<char*>(r.pathInfo);
        where.ApplyTo(cgi);
        if (r.changed) {
            EXPECT_STREQ(r.expectedScript, cgi.Value(CGI::ScriptName));
            EXPECT_STREQ(r.expectedPath, cgi.Value(CGI::PathInfo));
        } else {
            EXPECT_EQ(r.scriptName, cgi.Value(CGI::ScriptName));
            EXPECT_EQ(r.pathInfo, cgi.Value(CGI::PathInfo));
        }
    }
}

TEST(CopyUptoDelim, Runs) {
    struct Row { const char* src; int size; const char* copied; size_t stop; } rows[] = {
        {"abc/def", 10, "abc", 3},
        {"abc\\def", 10, "abc", 3},
        {"abc", 10, "abc", 3},
        {"abcdef", 4, "abc", 3},
        {"abc/", 4, "abc", 3},
        {"/x", 4, "", 0},
        {"abc", 1, "", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.src);
        char dst[16];
        std::memset(dst, 'z', sizeof dst);
        const char* stop = CopyUptoDelim(dst, r.size, r.src, '/', '\\');
        EXPECT_STREQ(r.copied, dst);
        EXPECT_EQ(r.stop, size_t(stop - r.src));
        EXPECT_EQ('z', dst[r.size]);
    }
}

// The documented form over a modifiable src returns a modifiable position
// in it; null pointer constants still pick the other form.
static_assert(std::is_same<decltype(CopyUptoDelim(nullptr, 1, std::declval<char*>(), '/', '/')), char*>::value,
              "a modifiable src gives a modifiable position");
static_assert(std::is_same<decltype(CopyUptoDelim(nullptr, 1, std::declval<const char*>(), '/', '/')),
                           const char*>::value, "a constant src gives a constant position");
static_assert(std::is_same<decltype(CopyUptoDelim(nullptr, 1, nullptr, '/', '/')), const char*>::value,
              "nullptr is not ambiguous");
static_assert(std::is_same<decltype(CopyUptoDelim(nullptr, 1, 0, '/', '/')), const char*>::value,
              "0 is not ambiguous");

TEST(CopyUptoDelim, ModifiableSourceGivesTheSameRuns) {
    struct Row { const char* src; int size; } rows[] = {
        {"abc/def", 10}, {"abc\\def", 10}, {"abc", 10}, {"abcdef", 4}, {"abc/", 4}, {"/x", 4}, {"abc", 1},
        {"abc", 0}, {"", 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.src) + " into " + std::to_string(r.size));
        std::string src = r.src;
        char expected[16], dst[16];
        std::memset(expected, 'z', sizeof expected);
        std::memset(dst, 'z', sizeof dst);
        const char* expectedStop = CopyUptoDelim(expected, r.size, src.c_str(), '/', '\\');
        char* stop = CopyUptoDelim(dst, r.size, &src[0], '/', '\\');
        EXPECT_EQ(0, std::memcmp(expected, dst, sizeof dst));
        EXPECT_EQ(expectedStop, stop);
    }
    // The documented use: fields split off a path in place.
    char path[] = "db/view/x";
    char first[8];
    char* rest = CopyUptoDelim(first, sizeof first, path, '/', '\\');
    *rest = 0;
    EXPECT_STREQ("db", first);
    EXPECT_STREQ("db", path);
    EXPECT_STREQ("view/x", rest + 1);
}

TEST(CopyUptoDelim, NullPointersInEitherForm) {
    char dst[4] = "zzz";
    EXPECT_EQ(nullptr, CopyUptoDelim(dst, 4, static_cast<char*>(nullptr), '/', '\\'));
    EXPECT_EQ(nullptr, CopyUptoDelim(dst, 4, nullptr, '/', '\\'));
    EXPECT_EQ(nullptr, CopyUptoDelim(dst, 4, 0, '/', '\\'));
    EXPECT_EQ(nullptr, CopyUptoDelim(dst, 4, NULL, '/', '\\'));
    EXPECT_STREQ("zzz", dst);
    char src[] = "abc";
    EXPECT_EQ(src, CopyUptoDelim(nullptr, 4, src, '/', '\\'));
}

TEST(CopyUptoDelim, NothingToCopyInto) {
    char dst[4] = "zzz";
    const char* src = "abc";
    EXPECT_EQ(src, CopyUptoDelim(dst, 0, src, '/', '\\'));
    EXPECT_STREQ("zzz", dst);
    EXPECT_EQ(src, CopyUptoDelim(nullptr, 4, src, '/', '\\'));
    EXPECT_EQ(nullptr, CopyUptoDelim(dst, 4, nullptr, '/', '\\'));
}

}  // namespace
