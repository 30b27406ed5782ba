// Bad input through the gateway program, run as a web server runs it: a
// cleared environment holding the CGI variables, a body on standard input,
// a working directory of its own (where velmox.ini is looked for), and a
// bound on every run. Each run goes through valgrind's memcheck, which must
// report no error and no leak, and through the shipped program without it;
// both must write the expected page and exit with status 1.
//
// No server task answers here, so a path that names a command ends in the
// communication page, and one that names none (or a request that cannot be
// sent) in the general exception page; each row says which and why.
//
// valgrind cannot follow the heap of a statically linked program, so memcheck
// runs a dynamically linked build of the same program (VELMOX_GATEWAY_MEMCHECK)
// and the shipped one (VELMOX_GATEWAY) runs on its own.
//
// The suite is skipped in a sanitizer build (valgrind and the sanitizers'
// runtimes do not mix) and where valgrind is not installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "ipc_harness.h"
#include "mempipe.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMOX_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define VELMOX_UNDER_SANITIZER 1
#endif
#endif

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

using ipctest::kPipeName;
const std::string kExceptionPage = kit::kPageHead + kit::kExceptionHeading;
const std::string kCommunicationPage = kit::kPageHead + kit::kCommunicationHeading;
const long long kLimitMs = 60000;  // a run still going after this is killed
const int kMemcheckFailure = 99;   // valgrind's exit status when it found something

// The general page for a request refused (400) or too long for the pipe
// (413), and the communication page (503).
enum class Page { Exception, TooLong, Communication };

// The page as it goes out: after a trace as it stands, else with its status.
std::string PageText(Page page, bool traced) {
    const std::string& text = page == Page::Communication ? kCommunicationPage : kExceptionPage;
    if (traced) return text;
    const char* status = page == Page::Exception ? "400 Bad Request"
                         : page == Page::TooLong ? "413 Content Too Large"
                                                 : "503 Service Unavailable";
    return std::string("Status: ") + status + "\n" + text;
}
const char* PageName(Page page) {
    return page == Page::Exception ? "exception page (400)"
           : page == Page::TooLong ? "exception page (413)"
                                   : "communication page (503)";
}

using Vars = std::vector<std::pair<std::string, std::string>>;

// What the working directory holds under the name velmox.ini.
struct Ini {
    enum Kind { None, File, Directory, Unreadable } kind = None;
    std::string text;
};
Ini NoIni() { return {}; }
Ini IniFile(std::string text) { return {Ini::File, std::move(text)}; }

struct Row {
    std::string what;   // the bad input and why the page is the one expected
    Vars vars;          // CGI variables on top of the web server's own
    std::string body;   // standard input
    Page page;
    Ini ini = NoIni();
    bool tracing = false;  // velmox.ini switches the trace on
    bool inputStaysOpen = false;  // the body's pipe is not closed: a body not all sent
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    os << r.what << " -> " << PageName(r.page) << (r.tracing ? " after the trace" : "") << "\n  env:";
    for (const auto& v : r.vars) {
        std::string shown = v.second.size() > 60 ? v.second.substr(0, 60) + "...(" + std::to_string(v.second.size()) + " chars)" : v.second;
        os << " " << v.first << "=" << shown;
    }
    os << "\n  body: " << r.body.size() << " bytes" << (r.inputStaysOpen ? ", its input left open" : "");
    static const char* const kKinds[] = {"none", "file", "directory", "unreadable file"};
    if (r.ini.kind != Ini::None) os << "; velmox.ini: " << kKinds[r.ini.kind] << " of " << r.ini.text.size() << " bytes";
    return os;
}

// The variables a web server sets for every request.
Vars ServerVars() {
    return {{"GATEWAY_INTERFACE", "CGI/1.1"},   {"SERVER_SOFTWARE", "httpd/2.4"},
            {"SERVER_NAME", "mail.example"},     {"SERVER_PROTOCOL", "HTTP/1.1"},
            {"SERVER_PORT", "80"},               {"REQUEST_METHOD", "POST"},
            {"SCRIPT_NAME", "/cgi-bin/velmox.cgi"}, {"REMOTE_ADDR", "192.0.2.7"},
            {"HTTP_USER_AGENT", "Mozilla/5.0"},  {"CONTENT_TYPE", "application/x-www-form-urlencoded"}};
}

std::string FindValgrind() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/valgrind";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

using kit::ReadFile;

void WriteOrAbort(const std::string& path, const std::string& bytes) {
    if (!kit::WriteFile(path, bytes)) std::abort();
}

// A working directory with the body file and velmox.ini as the row wants it.
class WorkDir {
public:
    WorkDir(const Row& row) {
        // An unprivileged gateway (see Unreadable) must be able to enter it.
        chmod(path().c_str(), 0755);
        WriteOrAbort(Body(), row.body);
        std::string ini = m_dir / "velmox.ini";
        switch (row.ini.kind) {
        case Ini::None: break;
        case Ini::File: WriteOrAbort(ini, row.ini.text); break;
        case Ini::Directory: mkdir(ini.c_str(), 0755); break;
        case Ini::Unreadable:
            WriteOrAbort(ini, row.ini.text);
            chmod(ini.c_str(), 0);
            break;
        }
    }
    const std::string& path() const { return m_dir.path(); }
    std::string Body() const { return m_dir / "stdin"; }
    std::string Log() const { return m_dir / "memcheck.log"; }

private:
    kit::TempDir m_dir{"velmox-badinput"};
};

struct Outcome {
    std::string output;
    int status = -1;     // exit status; -1 when killed or ended by a signal
    bool killed = false;
    std::string log;     // memcheck's report
};

// Runs argv with the row's environment and input in dir; the child gets a
// process group of its own so that a kill on expiry reaches all of it.
Outcome RunBounded(const std::vector<std::string>& argv, const Row& row, const WorkDir& dir, bool dropPrivileges) {
    std::signal(SIGPIPE, SIG_IGN);
    proc::Options options;
    for (const auto& v : ServerVars()) options.env.push_back({v.first, v.second});
    for (const auto& v : row.vars) options.env.push_back({v.first, v.second});
    options.cleanEnv = true;
    options.dir = dir.path();
    options.ownGroup = true;
    // Permission bits bind only an unprivileged process.
    options.asNobody = dropPrivileges;
    options.inputStaysOpen = row.inputStaysOpen;
    int log = open(dir.Log().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log < 0) std::abort();
    options.moreFds = {{log, 3}};  // memcheck writes its report here (--log-fd=3)
    std::string body = ReadFile(dir.Body());
    proc::Finished finished = proc::Run(argv, kLimitMs / 1000.0, options, body);
    close(log);
    Outcome run;
    run.output = finished.out;
    run.killed = finished.status == -1;
    if (finished.status >= 0 && finished.status < 128) run.status = finished.status;
    run.log = ReadFile(dir.Log());
    return run;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Shown(const std::string& output) {
    return output.size() > 400 ? output.substr(0, 200) + "\n...\n" + output.substr(output.size() - 200) : output;
}

// The page of a row: exactly the page, or with tracing the header, the trace
// and the page after "Creating command...".
void ExpectPage(const Row& row, const Outcome& run, const char* how) {
    SCOPED_TRACE(how);
    EXPECT_FALSE(run.killed) << "still running after " << kLimitMs << " ms";
    EXPECT_EQ(1, run.status);
    const std::string page = PageText(row.page, row.tracing);
    if (row.tracing) {
        EXPECT_THAT(run.output, StartsWith(kit::kPageHead)) << Shown(run.output);
        EXPECT_TRUE(EndsWith(run.output, "Creating command..." + page) ||
                    EndsWith(run.output, "done.<br>\n" + page)) << Shown(run.output);
    } else {
        EXPECT_EQ(page, run.output) << Shown(run.output);
    }
}

// memcheck's summary counts the allocations it followed; none at all means
// it could not follow the program's heap.
bool MemcheckSawTheHeap(const std::string& log) {
    size_t at = log.find("total heap usage: ");
    if (at == std::string::npos) return false;
    return std::strtol(log.c_str() + at + std::strlen("total heap usage: "), nullptr, 10) > 0;
}

// True when a server task with a live process is registered on the pipe:
// the communication rows would then be answered.
bool ServerTaskRunning() {
    ServerMonitor monitor;
    if (!monitor.Inspect(kPipeName)) return false;
    ServerList list{};
    bool running = false;
    if (monitor.GetServerList(list)) {
        int slots = std::min<int>(int(list.max), kMaxServers);
        for (int i = 0; i < slots; ++i) {
            const ServerID& id = list.servers[i];
            if (id.index == i && id.serverPid > 0 && kill(id.serverPid, 0) == 0) running = true;
        }
    }
    monitor.Detach();
    return running;
}

class GatewayBadInput : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef VELMOX_UNDER_SANITIZER
        GTEST_SKIP() << "valgrind does not run programs built with the sanitizers";
#endif
        m_valgrind = FindValgrind();
        if (m_valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
        if (ServerTaskRunning()) GTEST_SKIP() << "a server task answers on " << kPipeName;
        m_objectsBefore = ipctest::ObjectsLeft(kPipeName).size();
    }

    void Check(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            std::ostringstream text;
            text << row;
            SCOPED_TRACE(text.str());
            WorkDir dir(row);
            bool drop = row.ini.kind == Ini::Unreadable;
            Outcome checked = RunBounded({m_valgrind, "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                                      "--errors-for-leak-kinds=definite,indirect,possible",
                                      "--show-leak-kinds=definite,indirect,possible", "--log-fd=3",
                                      VELMOX_GATEWAY_MEMCHECK},
                                     row, dir, drop);
            EXPECT_NE(kMemcheckFailure, checked.status) << "memcheck:\n" << checked.log;
            // memcheck did look: it saw the heap (a program whose allocations
            // it cannot follow would pass unseen) and found nothing.
            EXPECT_TRUE(MemcheckSawTheHeap(checked.log)) << "memcheck:\n" << checked.log;
            EXPECT_THAT(checked.log, HasSubstr("ERROR SUMMARY: 0 errors")) << "memcheck:\n" << checked.log;
            ExpectPage(row, checked, "under memcheck");
            Outcome shipped = RunBounded({VELMOX_GATEWAY}, row, dir, drop);
            ExpectPage(row, shipped, "the shipped program");
            // A gateway that finds no server leaves nothing of the pipe behind.
            if (m_objectsBefore == 0) {
                EXPECT_TRUE(ipctest::ObjectsLeft(kPipeName).empty());
            }
        }
    }

    std::string m_valgrind;
    size_t m_objectsBefore = 0;
};

Vars With(Vars vars, const Vars& more) {
    vars.insert(vars.end(), more.begin(), more.end());
    return vars;
}

std::string AllBytes(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = char(i % 256);
    return bytes;
}

const Vars kSave = {{"PATH_INFO", "/Save/Local/db"}};
const Vars kSearch = {{"PATH_INFO", "/Search/Hub/db"}};

TEST_F(GatewayBadInput, ContentLength) {
    const std::string body = "a=1&b=2";
    Check({
        {"CONTENT_LENGTH missing: no body is read; /Save names a command", kSave, body, Page::Communication},
        {"CONTENT_LENGTH empty", With(kSave, {{"CONTENT_LENGTH", ""}}), body, Page::Communication},
        {"CONTENT_LENGTH zero", With(kSave, {{"CONTENT_LENGTH", "0"}}), body, Page::Communication},
        {"CONTENT_LENGTH negative", With(kSave, {{"CONTENT_LENGTH", "-7"}}), body, Page::Communication},
        {"CONTENT_LENGTH most negative int", With(kSave, {{"CONTENT_LENGTH", "-2147483648"}}), body, Page::Communication},
        {"CONTENT_LENGTH not numeric", With(kSave, {{"CONTENT_LENGTH", "abc"}}), body, Page::Communication},
        {"CONTENT_LENGTH digits then junk", With(kSave, {{"CONTENT_LENGTH", " +3x"}}), body, Page::Communication},
        {"CONTENT_LENGTH larger than the body: the body that arrived", With(kSave, {{"CONTENT_LENGTH", "100000"}}), body,
         Page::Communication},
        {"CONTENT_LENGTH larger than the body, search form", With(kSearch, {{"CONTENT_LENGTH", "5000"}}),
         "SREQUEST=Search&SEARCH=x", Page::Communication},
        {"CONTENT_LENGTH one past the largest int: longer than any request, refused unread",
         With(kSave, {{"CONTENT_LENGTH", "2147483648"}}), body, Page::TooLong},
        {"CONTENT_LENGTH far larger than any int: refused unread",
         With(kSave, {{"CONTENT_LENGTH", "99999999999999999999999999"}}), body, Page::TooLong},
        {"CONTENT_LENGTH far beyond int but negative: no body",
         With(kSave, {{"CONTENT_LENGTH", "-99999999999999999999999999"}}), body, Page::Communication},
        {"CONTENT_LENGTH one past the largest request: refused unread", With(kSave, {{"CONTENT_LENGTH", "127949"}}),
         body, Page::TooLong},
        {"CONTENT_LENGTH of 100 MB and an input that stays open: refused at once, nothing read or waited for",
         With(kSave, {{"CONTENT_LENGTH", "100000000"}}), body, Page::TooLong, NoIni(), false, true},
        {"CONTENT_LENGTH of 100 MB on an unknown command: too long first, before the path is looked at",
         {{"PATH_INFO", "/Nope"}, {"CONTENT_LENGTH", "100000000"}}, body, Page::TooLong, NoIni(), false, true},
        {"CONTENT_LENGTH with no body at all", With(kSave, {{"CONTENT_LENGTH", "64"}}), "", Page::Communication},
        {"CONTENT_LENGTH set on an unknown command: /Nope names none", {{"PATH_INFO", "/Nope"}, {"CONTENT_LENGTH", "-1"}},
         body, Page::Exception},
    });
}

TEST_F(GatewayBadInput, BinaryBodies) {
    auto sized = [](Vars vars, const std::string& body) {
        return With(std::move(vars), {{"CONTENT_LENGTH", std::to_string(body.size())}});
    };
    const std::string nuls(64, '\0'), ffs(4096, '\xff'), all = AllBytes(1024);
    const std::string search = std::string("SEARCH=\xff\0&MAX=99999999999&SEARCHOPTION=&SREQUEST=", 49) + all;
    const std::string large(120000, 'a'), nearly(127900, 'a'), tooLarge(130000, 'a');
    Check({
        {"body of NULs, Save", sized(kSave, nuls), nuls, Page::Communication},
        {"body of NULs, Search", sized(kSearch, nuls), nuls, Page::Communication},
        {"body of 0xff bytes, Save", sized(kSave, ffs), ffs, Page::Communication},
        {"body of 0xff bytes, Search", sized(kSearch, ffs), ffs, Page::Communication},
        {"body of every byte value", sized(kSave, all), all, Page::Communication},
        {"body ending in %", sized(kSave, "a=%"), "a=%", Page::Communication},
        {"body ending in %0", sized(kSave, "a=%0"), "a=%0", Page::Communication},
        {"body that is only %", sized(kSearch, "%"), "%", Page::Communication},
        {"body with %zz and %0 mid-way", sized(kSave, "a=%zz&b=%0&c=%%%"), "a=%zz&b=%0&c=%%%", Page::Communication},
        {"search form of binary values", sized(kSearch, search), search, Page::Communication},
        {"body of 120000 bytes: the request still fits the pipe", sized(kSave, large), large, Page::Communication},
        {"body of 130000 bytes: longer than any request, refused unread", sized(kSave, tooLarge), tooLarge,
         Page::TooLong},
        {"body of 127900 bytes: fits no request with its header, refused before sending", sized(kSave, nearly),
         nearly, Page::TooLong},
    });
}

TEST_F(GatewayBadInput, PathInfo) {
    const std::string longPart(10000, 'p');
    auto path = [](const std::string& p) { return Vars{{"PATH_INFO", p}}; };
    Check({
        {"PATH_INFO of 10000 characters after a command", path("/Save/Hub/" + longPart.substr(10)), "", Page::Communication},
        {"PATH_INFO of 10000 characters in the server name", path("/RunAgent/" + longPart.substr(10) + "/x"), "",
         Page::Communication},
        {"PATH_INFO of 10000 characters as the command: cut, names none", path("/" + longPart.substr(1)), "",
         Page::Exception},
        {"PATH_INFO with %00 and %2500 in server and path", path("/Save/%00/x%2500%00"), "", Page::Communication},
        {"PATH_INFO with %00 as the command: names none", path("/%00/x"), "", Page::Exception},
        {"PATH_INFO with %00 inside the command: names none", path("/Save%00/x"), "", Page::Exception},
        {"PATH_INFO with backslashes as separators", path("\\Save\\Local\\x"), "", Page::Communication},
        {"PATH_INFO with both separators", path("/Compose\\Hub/x\\y"), "", Page::Communication},
        {"PATH_INFO of one separator", path("/"), "", Page::Exception},
        {"PATH_INFO of two separators", path("//"), "", Page::Exception},
        {"PATH_INFO of backslashes only", path("\\\\\\"), "", Page::Exception},
        {"PATH_INFO of mixed separators only", path("/\\/\\/"), "", Page::Exception},
        {"PATH_INFO of 10000 separators", path(std::string(10000, '/')), "", Page::Exception},
        {"PATH_INFO empty", path(""), "", Page::Exception},
        {"PATH_INFO without a leading separator", path("Save/Hub/x"), "", Page::Exception},
    });
}

TEST_F(GatewayBadInput, QueryString) {
    const std::string q(100000, 'q');
    std::string hex(100000, '0');
    for (size_t i = 0; i < hex.size(); ++i) hex[i] = "0123456789abcdef"[i % 16];
    Check({
        {"QUERY_STRING of 100000 characters, RunAgent", {{"PATH_INFO", "/RunAgent/Hub/a"}, {"QUERY_STRING", q}}, "",
         Page::Communication},
        {"QUERY_STRING of 100000 hex digits, Compose", {{"PATH_INFO", "/Compose/Hub/x"}, {"QUERY_STRING", "1f&" + hex}},
         "", Page::Communication},
        {"QUERY_STRING of 100000 characters, ImageMap",
         {{"PATH_INFO", "/ImageMap/Hub/m"}, {"QUERY_STRING", "99999999999,-99999999999" + q}}, "", Page::Communication},
        {"QUERY_STRING of 100000 escapes, Save", {{"PATH_INFO", "/Save/Hub/x"}, {"QUERY_STRING", std::string(100000, '%')}},
         "", Page::Communication},
        {"QUERY_STRING of 100000 characters, unknown command", {{"PATH_INFO", "/Nope/Hub/x"}, {"QUERY_STRING", q}}, "",
         Page::Exception},
    });
}

// The path names no command, so every row ends in the exception page; only
// whether the configuration switches the trace on differs.
TEST_F(GatewayBadInput, ConfigurationFile) {
    const Vars nope = {{"PATH_INFO", "/Nope/x"}};
    const std::string tenMegabytes(10 * 1024 * 1024, 'x');
    Ini directory{Ini::Directory, ""};
    Ini unreadable{Ini::Unreadable, "debug = 1\n"};
    Check({
        {"velmox.ini empty", nope, "", Page::Exception, IniFile("")},
        {"velmox.ini binary", nope, "", Page::Exception, IniFile(AllBytes(4096))},
        {"velmox.ini of NULs", nope, "", Page::Exception, IniFile(std::string(4096, '\0'))},
        {"velmox.ini with a key of a million characters", nope, "", Page::Exception,
         IniFile("debug" + std::string(1000000, 'k') + " = 1\n")},
        {"velmox.ini with a value of a million digits: outside int", nope, "", Page::Exception,
         IniFile("debug = 1" + std::string(1000000, '0') + "\n")},
        {"velmox.ini with a line of a million blanks before =", nope, "", Page::Exception,
         IniFile("debug" + std::string(1000000, ' ') + "= 1\n"), true},
        {"velmox.ini key without value", nope, "", Page::Exception, IniFile("debug =\n")},
        {"velmox.ini key without =", nope, "", Page::Exception, IniFile("debug\n")},
        {"velmox.ini value without key", nope, "", Page::Exception, IniFile("= 1\n")},
        {"velmox.ini of 10 MB after a debug line: first entry only", nope, "", Page::Exception,
         IniFile("debug = 1\n" + tenMegabytes), true},
        {"velmox.ini of 10 MB in one run", nope, "", Page::Exception, IniFile(tenMegabytes)},
        {"velmox.ini is a directory", nope, "", Page::Exception, directory},
        {"velmox.ini unreadable: not opened, no trace", nope, "", Page::Exception, unreadable},
        {"velmox.ini binary, with a command named", kSave, "", Page::Communication, IniFile(AllBytes(300))},
    });
}

}  // namespace
