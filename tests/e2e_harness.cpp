#include "e2e_harness.h"

#include "pipe_limits.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ipc_harness.h"
#include "mempipe.h"

#ifndef VELMOX_SOURCE_DIR
#error "VELMOX_SOURCE_DIR must name the source tree"
#endif
#ifndef VELMOX_GATEWAY
#error "VELMOX_GATEWAY must name the built gateway"
#endif
#ifndef VELMOX_SERVER
#error "VELMOX_SERVER must name the built sample server task (empty when it is not built)"
#endif

namespace e2e {

namespace {

bool CanConnect(int port) {
    int fd = kit::Connect("127.0.0.1:" + std::to_string(port));
    if (fd >= 0) close(fd);
    return fd >= 0;
}

void AppendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// The text between the end of the opening tag at `open` and `close`.
bool TagText(const std::string& html, size_t open, const std::string& close, std::string* text, size_t* end) {
    size_t start = html.find('>', open);
    if (start == std::string::npos) return false;
    size_t stop = html.find(close, start + 1);
    if (stop == std::string::npos) return false;
    *text = html.substr(start + 1, stop - start - 1);
    *end = stop + close.size();
    return true;
}

}  // namespace

int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

std::string WithoutServedBy(std::string page) {
    size_t at = page.find("<p id=\"served\">");
    if (at != std::string::npos) page.erase(at, page.find("</p>\n", at) + 5 - at);
    return page;
}

const char* const kTester = "tester";

std::string PasswordOf(const std::string& user) { return user + "-Pw.2026"; }

std::string BasicAuthorization(const std::string& user) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string in = user + ":" + PasswordOf(user), out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned n = (unsigned char)in[i] << 16;
        if (i + 1 < in.size()) n |= (unsigned char)in[i + 1] << 8;
        if (i + 2 < in.size()) n |= (unsigned char)in[i + 2];
        out += kDigits[n >> 18];
        out += kDigits[(n >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kDigits[n & 63] : '=';
    }
    return "Basic " + out;
}

std::string UsersFile() {
    // Made once; the web servers' workers (nobody, www-data) read it.
    static TempDir dir("velmox-e2e-users");
    static std::string file;
    if (!file.empty()) return file;
    std::string path = dir / "users";
    chmod(dir.path().c_str(), 0755);
    for (const char* user : {kTester, "alice", "bob"}) {
        // Cost 4: the tests send thousands of requests through web servers
        // that check the hash on each.
        proc::Finished done =
            proc::Run({VELMOX_PASSWD, "-f", path, "-i", "-C", "4", "--h2o", user}, 30, {}, PasswordOf(user) + "\n");
        if (done.status != 0) {
            ADD_FAILURE() << "velmox-passwd for " << user << ": " << done.out << done.err;
            return path;
        }
    }
    for (const char* suffix : {"", ".caddy", ".haproxy", ".h2o"}) chmod((path + suffix).c_str(), 0644);
    file = path;
    return file;
}

std::vector<std::string> PipeObjectsLeft() {
    return ipctest::ObjectsLeft(kPipeName);
}

void RemovePipeObjects() {
    ipctest::RemoveEverything(kPipeName);
}

// ---------------------------------------------------------------- server task

bool ServerTask::Start(int pipes, const std::string& database, const std::vector<std::string>& extra) {
    m_error.clear();
    std::string binary = VELMOX_SERVER;
    if (binary.empty() || access(binary.c_str(), X_OK) != 0) {
        m_error = "the sample server task velmox-server is not built";
        return false;
    }
    std::string ready = m_dir / "ready";
    unlink(ready.c_str());
    std::vector<std::string> argv = {binary, "-b", kPipeName, "-n", std::to_string(pipes), "-l", m_dir / "server.log",
                                     "-r", ready};
    if (database.empty()) {
        argv.push_back("--inspect");
    } else {
        argv.push_back("-d");
        argv.push_back(database);
        argv.push_back("--secret");
        argv.push_back(m_dir / "secret");
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    proc::Options options;
    options.outFile = m_dir / "server.out";
    options.errFile = m_dir / "server.err";
    options.ownGroup = options.dieWithTest = true;
    m_pid = proc::Start(argv, options);
    long long deadline = NowMs() + kStartLimitMs;
    while (NowMs() < deadline) {
        std::string text = ReadFile(ready);
        if (!text.empty() && std::atoi(text.c_str()) == int(m_pid)) return true;
        int status = 0;
        if (proc::Ended(m_pid, &status)) {
            m_pid = -1;
            m_error = "velmox-server ended before it was ready (status " + std::to_string(status) + "); stderr: " + Stderr() + "; log: " + Log();
            return false;
        }
        SleepMs(10);
    }
    m_error = "velmox-server not ready within the limit; stderr: " + Stderr();
    Kill();
    return false;
}

int ServerTask::Stop() {
    if (m_pid <= 0) return -1;
    int status = proc::Stop(m_pid, kStopLimitMs / 1000.0);
    if (status == -1) {
        // Its pipe processes may still run: end them, and their objects.
        kill(-m_pid, SIGKILL);
        SleepMs(100);
        RemovePipeObjects();
    }
    m_pid = -1;
    return status;
}

void ServerTask::Kill() {
    if (m_pid <= 0) return;
    proc::KillGroup(m_pid, kStopLimitMs / 1000.0);
    m_pid = -1;
    // Its pipes died without closing: nothing else will remove their objects.
    RemovePipeObjects();
}

// ----------------------------------------------------------------- web server

bool WebServer::Start(const std::string& iniText) {
    m_error.clear();
    std::string lighttpd = FindProgram({"/usr/sbin/lighttpd", "/usr/local/sbin/lighttpd", "/usr/bin/lighttpd"});
    if (lighttpd.empty()) {
        m_error = "lighttpd is not installed (scripts/test-all installs it)";
        return false;
    }
    std::string templateText = ReadFile(std::string(VELMOX_SOURCE_DIR) + "/deploy/" + m_config);
    if (templateText.empty()) {
        m_error = "deploy/" + m_config + " not found";
        return false;
    }
    std::string htdocs = m_dir / "htdocs", run = m_dir / "run";
    mkdir(htdocs.c_str(), 0755);
    mkdir(run.c_str(), 0755);
    if (!CopyExecutable(VELMOX_GATEWAY, htdocs + "/velmox.cgi") || !WriteFile(htdocs + "/velmox.ini", iniText)) {
        m_error = "cannot set up the document root";
        return false;
    }
    // The port may be taken between choosing and binding it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = m_fixedPort ? m_fixedPort : FreeLoopbackPort();
        std::string config =
            Replace(Replace(Replace(Replace(templateText, "@PORT@", std::to_string(m_port)), "@DOCROOT@", htdocs),
                            "@RUNDIR@", run),
                    "@USERS@", UsersFile());
        WriteFile(run + "/lighttpd.conf", config);
        proc::Options options;
        options.outFile = run + "/lighttpd.out";
        options.errToOut = options.ownGroup = options.dieWithTest = true;
        m_pid = proc::Start({lighttpd, "-D", "-f", run + "/lighttpd.conf"}, options);
        long long deadline = NowMs() + kStartLimitMs;
        bool exited = false;
        while (NowMs() < deadline) {
            // Ours once it has logged its start (another program may have
            // taken the port meanwhile).
            if (ErrorLog().find("server started") != std::string::npos && CanConnect(m_port)) return true;
            if (proc::Ended(m_pid)) {
                exited = true;
                m_pid = -1;
                break;
            }
            SleepMs(10);
        }
        if (!exited) {
            m_error = "lighttpd did not accept connections within the limit";
            Kill();
            return false;
        }
        m_error = "lighttpd ended at start: " + ReadFile(run + "/lighttpd.out") + ErrorLog();
    }
    return false;
}

int HttpServer::Stop() {
    if (m_pid <= 0) return -1;
    int status = proc::Stop(m_pid, kStopLimitMs / 1000.0);
    m_pid = -1;
    return status;
}

void HttpServer::Kill() {
    if (m_pid <= 0) return;
    proc::KillGroup(m_pid, kStopLimitMs / 1000.0);
    m_pid = -1;
}

std::string HttpServer::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string HttpServer::Url(const std::string& rest) const {
    return BaseUrl() + rest;
}

std::string WebServer::RuntimeReports() const {
    std::string log = ErrorLog(), reports;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(at, end - at);
        if (line.find("Sanitizer") != std::string::npos || line.find("runtime error") != std::string::npos ||
            line.find("==ERROR") != std::string::npos)
            reports += line + "\n";
        at = end + 1;
    }
    return reports;
}

// -------------------------------------------------------------------- fixture

std::string FixedPipeService::ClaimPipe() {
    std::string why = ClaimPipeName();
    claimed = why.empty();
    return why;
}

void FixedPipeService::ExpectServerEnd() {
    if (server.running()) {
        std::string log = server.Log();
        EXPECT_EQ(0, server.Stop()) << "server stderr:\n"
                                    << server.Stderr() << "\nserver log (end):\n"
                                    << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    }
    if (!claimed) return;
    std::vector<std::string> left = PipeObjectsLeft();
    EXPECT_TRUE(left.empty()) << "IPC objects left:\n" << ipctest::Listing(left);
    if (!left.empty()) RemovePipeObjects();
}

void FixedPipeService::ExpectCleanEnd(WebServer& web) {
    if (web.running()) {
        EXPECT_NE(-1, web.Stop()) << "lighttpd had to be killed";
    }
    ExpectServerEnd();
    if (!claimed) return;
    EXPECT_EQ("", web.RuntimeReports()) << "lighttpd error log:\n" << web.ErrorLog();
}

// ----------------------------------------------------------------------- curl

std::string Response::Header(const std::string& name) const {
    size_t at = 0;
    while (at < headers.size()) {
        size_t end = headers.find('\n', at);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            return line.substr(v);
        }
        at = end + 1;
    }
    return "";
}

namespace {

struct CurlRun {
    pid_t pid = -1;
    std::string headerFile, bodyFile, errFile;
};

CurlRun StartCurl(const TempDir& dir, int index, const CurlRequest& request, long long limitMs) {
    CurlRun run;
    std::string stem = dir / ("r" + std::to_string(index));
    run.headerFile = stem + ".hdr";
    run.bodyFile = stem + ".body";
    run.errFile = stem + ".err";
    std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--max-time", std::to_string(limitMs / 1000),
                                     "-D", run.headerFile, "-o", run.bodyFile};
    if (request.post || !request.body.empty()) {
        WriteFile(stem + ".in", request.body);
        argv.push_back("--data-binary");
        argv.push_back("@" + stem + ".in");
    }
    if (!request.user.empty()) {
        argv.push_back("-u");
        argv.push_back(request.user + ":" + PasswordOf(request.user));
    }
    argv.insert(argv.end(), request.args.begin(), request.args.end());
    proc::Options options;
    options.errFile = run.errFile;
    options.dieWithTest = true;
    run.pid = proc::Start(argv, options);
    return run;
}

Response Collect(const CurlRun& run, long long limitMs) {
    Response response;
    response.exitCode = proc::Wait(run.pid, limitMs / 1000.0);
    std::string headers = ReadFile(run.headerFile);
    // Keep the last header block (after an interim 1xx answer).
    size_t last = headers.rfind("HTTP/");
    if (last != std::string::npos) headers = headers.substr(last);
    response.headers = headers;
    size_t space = headers.find(' ');
    if (space != std::string::npos) response.status = std::atoi(headers.c_str() + space + 1);
    response.body = ReadFile(run.bodyFile);
    response.stderrText = ReadFile(run.errFile);
    return response;
}

}  // namespace

CurlRequest CurlGet(const std::string& url, const std::vector<std::string>& options) {
    CurlRequest r;
    r.args = options;
    r.args.push_back(url);
    return r;
}

CurlRequest CurlPost(const std::string& url, const std::string& body, const std::vector<std::string>& options) {
    CurlRequest r = CurlGet(url, options);
    r.body = body;
    r.post = true;
    return r;
}

Response Curl(const CurlRequest& request, long long limitMs) {
    return CurlAll({request}, limitMs)[0];
}

std::string FormToken(const std::string& composeUrl, const std::string& user) {
    CurlRequest request = CurlGet(composeUrl);
    request.user = user;
    std::string page = Curl(request).body;
    const std::string field = "name=\"token\" value=\"";
    size_t at = page.find(field);
    if (at == std::string::npos) return "";
    at += field.size();
    return page.substr(at, page.find('"', at) - at);
}

std::vector<Response> CurlAll(const std::vector<CurlRequest>& requests, long long limitMs) {
    TempDir dir("velmox-e2e-curl");
    std::vector<CurlRun> runs;
    for (size_t i = 0; i < requests.size(); ++i) runs.push_back(StartCurl(dir, int(i), requests[i], limitMs));
    long long deadline = NowMs() + limitMs + 5000;
    std::vector<Response> responses;
    for (const CurlRun& run : runs) responses.push_back(Collect(run, std::max(1LL, deadline - NowMs())));
    return responses;
}

// ----------------------------------------------------------------------- pages

std::string HtmlUnescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        size_t semi = text.find(';', i);
        if (semi == std::string::npos || semi - i > 10) {
            out += text[i];
            continue;
        }
        std::string name = text.substr(i + 1, semi - i - 1);
        if (name == "amp") out += '&';
        else if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else if (name.size() > 1 && name[0] == '#') {
            bool hex = name[1] == 'x' || name[1] == 'X';
            AppendUtf8(out, std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
        } else {
            out += text.substr(i, semi - i + 1);
        }
        i = semi;
    }
    return out;
}

std::string Page::operator[](const std::string& id) const {
    auto it = cells.find(id);
    return it == cells.end() ? std::string("<missing " + id + ">") : it->second;
}

Page ParsePage(const std::string& html) {
    Page page;
    std::string text;
    size_t end = 0;
    size_t h1 = html.find("<h1 id=\"command\"");
    if (h1 != std::string::npos && TagText(html, h1, "</h1>", &text, &end)) page.command = HtmlUnescape(text);
    const std::string cellTag = "<td id=\"";
    for (size_t at = html.find(cellTag); at != std::string::npos; at = html.find(cellTag, at + 1)) {
        size_t idStart = at + cellTag.size();
        size_t idEnd = html.find('"', idStart);
        if (idEnd == std::string::npos) break;
        if (TagText(html, at, "</td>", &text, &end))
            page.cells[html.substr(idStart, idEnd - idStart)] = HtmlUnescape(text);
    }
    size_t dl = html.find("<dl id=\"form\"");
    if (dl != std::string::npos) {
        size_t dlEnd = html.find("</dl>", dl);
        if (dlEnd == std::string::npos) dlEnd = html.size();
        for (size_t dt = html.find("<dt", dl); dt != std::string::npos && dt < dlEnd; dt = html.find("<dt", end)) {
            std::string name, value;
            if (!TagText(html, dt, "</dt>", &name, &end)) break;
            size_t dd = html.find("<dd", end);
            if (dd == std::string::npos || dd > dlEnd || !TagText(html, dd, "</dd>", &value, &end)) break;
            page.form.emplace_back(HtmlUnescape(name), HtmlUnescape(value));
        }
    }
    return page;
}

// --------------------------------------------------------------- gateway alone

DirectRun RunGatewayDirectly(const std::string& workDir, const std::vector<std::pair<std::string, std::string>>& env,
                             const std::string& body, long long limitMs) {
    DirectRun run;
    std::string in = workDir + "/stdin", out = workDir + "/stdout";
    WriteFile(in, body);
    proc::Options options;
    options.env = env;
    options.cleanEnv = options.dieWithTest = true;
    options.inFile = in;
    options.outFile = out;
    options.errFile = workDir + "/stderr";
    options.dir = workDir;
    pid_t pid = proc::Start({VELMOX_GATEWAY}, options);
    run.status = proc::Wait(pid, limitMs / 1000.0);
    run.output = ReadFile(out);
    unlink(in.c_str());
    unlink(out.c_str());
    unlink((workDir + "/stderr").c_str());
    return run;
}

}  // namespace e2e
