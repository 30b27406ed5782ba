// Writes the seed corpus of every fuzz harness: real requests of each
// command, the worked examples of the request record, the request path and
// the search form, and damaged messages. Run by hand after a change of the
// input formats:  fuzz_make_seeds <corpus dir>  (existing files of the same
// name are replaced; regression inputs, named regress-*, are left alone).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cgi.h"
#include "cmd.h"
#include "except.h"
#include "sstream.h"

namespace {

using Env = std::vector<std::pair<const char*, std::string>>;

std::string g_root;

void Put(const char* harness, const std::string& name, const std::string& bytes) {
    std::string dir = g_root + "/" + harness;
    mkdir(g_root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

std::string U32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// A request record filled as the gateway fills it: environment and stdin.
void FillRecord(CGI& cgi, const Env& env, const std::string& body) {
    for (const char* name : CGI::c_cgiEnvVarName) unsetenv(name);
    for (const auto& v : env) setenv(v.first, v.second.c_str(), 1);
    if (!body.empty() && !std::getenv("CONTENT_LENGTH"))
        setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    char path[] = "/tmp/velmox-seed-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, body.data(), body.size()) != ssize_t(body.size())) std::exit(1);
    close(fd);
    if (!std::freopen(path, "r", stdin)) std::exit(1);
    unlink(path);
    cgi.InitFromEnv();
}

std::string Message(const Env& env, const std::string& body) {
    CGI cgi;
    FillRecord(cgi, env, body);
    Cmd* cmd = Cmd::CreateCmd(cgi);
    SimpleStream s(200000);
    s << uint32_t(cmd->m_cmdID);
    cmd->Write(s);
    delete cmd;
    return std::string(s.Data(), s.Length());
}

std::string Record(const Env& env) {
    CGI cgi;
    FillRecord(cgi, env, "");
    SimpleStream s(200000);
    cgi.Write(s);
    return std::string(s.Data(), s.Length());
}

const Env kServer = {{"SERVER_SOFTWARE", "httpd/2.4"}, {"SERVER_NAME", "mail.example"},
                     {"GATEWAY_INTERFACE", "CGI/1.1"}, {"SERVER_PROTOCOL", "HTTP/1.0"},
                     {"SERVER_PORT", "80"}, {"REMOTE_ADDR", "192.0.2.17"},
                     {"HTTP_USER_AGENT", "Mozilla/5.0"}, {"SCRIPT_NAME", "/cgi-bin/velmox.cgi"}};

Env With(Env env, const Env& more) {
    env.insert(env.end(), more.begin(), more.end());
    return env;
}

// Input of cgi_env: CONTENT_LENGTH, PATH_INFO, QUERY_STRING, user agent,
// body, one per line ("=" for the body's exact length).
std::string EnvInput(const std::string& length, const std::string& path, const std::string& query,
                     const std::string& agent, const std::string& body) {
    return length + "\n" + path + "\n" + query + "\n" + agent + "\n" + body;
}

void CgiEnvSeeds() {
    const char* h = "cgi_env";
    Put(h, "post-form", EnvInput("=", "/Save/Local/db", "", "Mozilla/5.0", "a=1&b=2+3"));
    Put(h, "crlf-escapes", EnvInput("=", "/Save/Local/db", "", "", "x=%0D%0A"));
    Put(h, "short-read", EnvInput("10", "/Save", "", "", "q=1"));
    Put(h, "nothing-on-stdin", EnvInput("5", "/Save", "", "", ""));
    Put(h, "no-length", EnvInput("", "/Search/Hub/db", "", "", "SREQUEST=Search"));
    Put(h, "zero-length", EnvInput("0", "/Save", "", "", "a=1"));
    Put(h, "negative-length", EnvInput("-5", "/Save", "", "", "a=1"));
    Put(h, "non-numeric-length", EnvInput("abc", "/Save", "", "", "a=1"));
    Put(h, "length-beyond-int", EnvInput("99999999999", "/Save", "", "", "a=1"));
    Put(h, "length-with-blanks-and-sign", EnvInput("  +7x", "/Save", "", "", "a=1&b=2"));
    Put(h, "empty-value", EnvInput("=", "/Save", "", "", "a=&b=2"));
    Put(h, "escaped-separators", EnvInput("=", "/Save", "", "", "a%3Db=c%26d&e=%2B"));
    Put(h, "lower-case-hex", EnvInput("=", "/Save", "", "", "a=%3d%2b%0d%0a"));
    Put(h, "bad-hex", EnvInput("=", "/Save", "", "", "a=%zz&b=%G1&c=%1"));
    Put(h, "percent-at-end", EnvInput("=", "/Save", "", "", "a=%"));
    Put(h, "percent-digit-at-end", EnvInput("=", "/Save", "", "", "a=%4"));
    Put(h, "escaped-nul", EnvInput("=", "/Save", "", "", "a=%00b&c=d"));
    Put(h, "binary-body", EnvInput("=", "/Save", "", "", std::string("\0\xff\x01%\r\n=&+\0", 11)));
    Put(h, "raw-carriage-return", EnvInput("=", "/Save", "", "", "t=line\r\nnext"));
    Put(h, "search-form", EnvInput("=", "/Search/Hub/db", "1f", "",
                                   "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2"));
    Put(h, "get-with-query", EnvInput("", "/Compose/Hub/x", "1f&0123456789abcdef0011223344556677", "", ""));
    Put(h, "equals-in-values", EnvInput("=", "/Save/a=b", "x=y&z", "agent=1", "k=v"));
    Put(h, "too-few-lines", "4\nabcd");
}

void UrlPathSeeds() {
    const char* h = "url_path";
    std::string nul(1, '\0');
    Put(h, "example-search", "/Search/Mail+Hub/db/view" + nul + "1f&x");
    Put(h, "example-backslashes-no-query", "\\Save\\local\\x");
    Put(h, "example-local-two-parts", "/Compose/Local" + nul + "2a");
    Put(h, "example-empty-path", "/Save/Main/" + nul + "zz");
    Put(h, "example-command-only", "/RunAgent");
    Put(h, "invalid-two-separators", "//" + nul + "1");
    Put(h, "invalid-separator-only", "/" + nul);
    Put(h, "invalid-no-path", "");
    Put(h, "invalid-empty-path", nul + "1f");
    Put(h, "invalid-no-leading-separator", "Save/x" + nul);
    Put(h, "long-command", "/" + std::string(200, 'C') + "/srv/p" + nul + "1");
    Put(h, "server-255", "/Save/" + std::string(255, 's') + "/p" + nul + "10");
    Put(h, "server-256", "/Save/" + std::string(256, 's') + "/p" + nul + "10");
    Put(h, "server-upper-local", "/Save/LOCAL/x");
    Put(h, "server-localhost", "/Save/Localhost/x");
    Put(h, "server-plus-and-escape", "/Save/My+Server%20X/p" + nul);
    Put(h, "two-parts-with-query", "/Save/Main" + nul + "1f");
    Put(h, "query-0x", "/Save/Main/x" + nul + "0x10");
    Put(h, "query-leading-blank", "/Save/Main/x" + nul + " 1f");
    Put(h, "query-huge-number", "/Save/Main/x" + nul + "fffffffffffffffff");
    Put(h, "mixed-separators", "/Save\\Main/x/y\\z" + nul + "7");
    Put(h, "long-path-and-query", "/Save/Main/" + std::string(300, 'p') + nul + std::string(300, 'q'));
    Put(h, "compose-ident", "/Compose/Hub/x" + nul + "1f&0123456789abcdef0011223344556677");
    Put(h, "save-bad-ident", "/Save/Hub/x" + nul + "1f&xyz");
    Put(h, "save-three-groups", "/Save/Hub/x" + nul + "1f&012345670123456701234567");
    Put(h, "imagemap-click", "/ImageMap/Hub/m" + nul + "120,45");
    Put(h, "imagemap-negative", "/ImageMap/Hub/m" + nul + "-5,7");
    Put(h, "imagemap-huge", "/ImageMap/Hub/m" + nul + "99999999999,-99999999999");
    Put(h, "runagent-long-query", "/RunAgent/Hub/a" + nul + std::string(300, 'r'));
    Put(h, "search-lower-case", "/search/Local/db" + nul + "1");
    Put(h, "unknown-command", "/Unknown/x/y" + nul);
    Put(h, "nul-escapes", "/Save/%00/x%2500" + nul + "%00");
}

// Input of search_form: the raw body, a NUL, the decoded list.
std::string Form(const std::string& raw) {
    CGI cgi;
    FillRecord(cgi, {{"CONTENT_LENGTH", std::to_string(raw.size())}}, raw);
    std::string list = cgi.m_contents ? std::string(cgi.m_contents, size_t(cgi.m_contentsLen)) : "";
    return raw + std::string(1, '\0') + list;
}

void SearchFormSeeds() {
    const char* h = "search_form";
    Put(h, "options", Form("SREQUEST=Options&SEARCH=cats&OLDSEARCHREQUEST=dogs"));
    Put(h, "quick-search", Form("SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2"));
    Put(h, "quick-search-word-variants", Form("SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=on"));
    Put(h, "quick-search-no-max", Form("SREQUEST=Quick+Search&SEARCH=cats&SEARCHOPTION=2"));
    Put(h, "search-defaults", Form("SREQUEST=Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&WORDVARIENT=1"));
    Put(h, "results-page", Form("SEARCHRESULTSPAGE=2&SEARCH=cats"));
    Put(h, "lower-case-kind", Form("SREQUEST=search&SEARCH=x"));
    Put(h, "escaped-kind", Form("SREQUEST=Search%20Now&SEARCH=x"));
    Put(h, "no-keys", Form("a=1&b=2"));
    Put(h, "empty-search", Form("SEARCH=&MAX=5&SEARCHOPTION=3"));
    Put(h, "max-empty", Form("SEARCH=x&MAX=&SEARCHOPTION=1"));
    Put(h, "max-not-digits", Form("SEARCH=x&MAX=12a&SEARCHOPTION=1"));
    Put(h, "max-leading-zeros", Form("SEARCH=x&MAX=007&SEARCHOPTION=1"));
    Put(h, "max-crlf", Form("SEARCH=x&SEARCHOPTION=1&MAX=20\r\n"));
    Put(h, "max-eleven-digits", Form("SEARCH=x&MAX=99999999999&SEARCHOPTION=1"));
    Put(h, "max-twelve-digits", Form("SEARCH=x&MAX=999999999999&SEARCHOPTION=1"));
    Put(h, "option-last-digit", Form("SEARCH=x&MAX=1&SEARCHOPTION=32"));
    Put(h, "option-bad", Form("SEARCH=x&MAX=1&SEARCHOPTION=2x"));
    Put(h, "option-empty", Form("SEARCH=x&MAX=1&SEARCHOPTION=&z"));
    Put(h, "shifted-pairs", Form("a&SEARCH=x"));
    Put(h, "long-texts", Form("SEARCH=" + std::string(400, 's') + "&OLDSEARCHREQUEST=" + std::string(400, 'o')));
    Put(h, "long-kind", Form("SREQUEST=" + std::string(40, 'Q') + "&SEARCH=x"));
    Put(h, "get-no-body", "");
    Put(h, "list-without-end", std::string("SEARCH=x") + '\0' + "SEARCH" + '\0' + "abc");
    Put(h, "list-name-only", std::string("SEARCH=x") + '\0' + "SEARCH");
}

void CmdStreamSeeds() {
    const char* h = "cmd_stream";
    Env save = With(kServer, {{"PATH_INFO", "/Save/Local/db"}, {"REQUEST_METHOD", "POST"},
                              {"QUERY_STRING", "1f&0123456789abcdef0011223344556677"}});
    std::string saveMessage = Message(save, "a=1&b=2");
    Put(h, "save", saveMessage);
    Put(h, "save-no-body", Message(With(kServer, {{"PATH_INFO", "/Save/Hub/db/doc"}}), ""));
    Put(h, "compose", Message(With(kServer, {{"PATH_INFO", "/Compose/Hub/x"},
                                             {"QUERY_STRING", "1f&0123456789abcdef0011223344556677"}}), ""));
    Put(h, "compose-no-ident", Message(With(kServer, {{"PATH_INFO", "/Compose/Hub/x"}, {"QUERY_STRING", "1f"}}), ""));
    Put(h, "search", Message(With(kServer, {{"PATH_INFO", "/Search/Hub/db"}}),
                             "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2"));
    Put(h, "search-options", Message(With(kServer, {{"PATH_INFO", "/Search/Hub/db"}}), "SREQUEST=Options&SEARCH=c"));
    Put(h, "imagemap", Message(With(kServer, {{"PATH_INFO", "/ImageMap/Hub/m"}, {"QUERY_STRING", "-5,7"}}), ""));
    Put(h, "runagent", Message(With(kServer, {{"PATH_INFO", "/RunAgent/Hub/a"}, {"QUERY_STRING", "go"}}), ""));
    Put(h, "runagent-bare", Message({{"PATH_INFO", "/RunAgent"}}, ""));
    // Damaged messages.
    Put(h, "tag-0", U32(0) + saveMessage.substr(4));
    Put(h, "tag-6", U32(6) + saveMessage.substr(4));
    Put(h, "tag-1000", U32(1000) + saveMessage.substr(4));
    Put(h, "header-of-another-class", U32(2) + saveMessage.substr(4));
    Put(h, "cut-in-half", saveMessage.substr(0, saveMessage.size() / 2));
    Put(h, "cut-before-body", saveMessage.substr(0, saveMessage.size() - 20));
    Put(h, "tag-only", U32(1));
    std::string head = U32(5) + U32(5) + U32(1);
    Put(h, "address-too-long", head + std::string(20, '9') + '\0' + std::string(1, '\0') + std::string(1, '\0'));
    Put(h, "string-without-end", head + "1.2.3.4");
    std::string emptyRecord = U32(22) + std::string(22, '\0');
    std::string agentHead = head + std::string(3, '\0');
    Put(h, "record-length-zero", agentHead + U32(0));
    Put(h, "record-length-huge", agentHead + U32(0xffffffffu) + std::string(22, '\0'));
    Put(h, "record-missing-nuls", agentHead + U32(22) + std::string(22, 'v'));
    Put(h, "runagent-minimal", agentHead + emptyRecord + std::string(3, '\0') + U32(0));
    std::string saveHead = U32(1) + U32(1) + U32(1) + std::string(3, '\0') + emptyRecord + std::string(3, '\0');
    Put(h, "save-body-length-huge", saveHead + U32(0) + U32(0x7fffffffu) + U32(0) + "abc");
    Put(h, "save-ident-missing", saveHead + U32(0) + U32(0) + U32(1) + "abcd");
    Put(h, "save-flag-7", saveHead + U32(0) + U32(0) + U32(7) + std::string(16, 'i'));
}

void CgiReadSeeds() {
    const char* h = "cgi_read";
    Put(h, "record", Record(With(kServer, {{"PATH_INFO", "/Save/Local/db"}, {"QUERY_STRING", "1f"}})));
    Put(h, "empty-values", U32(22) + std::string(22, '\0'));
    Put(h, "length-zero", U32(0));
    Put(h, "length-huge", U32(0xffffffffu) + std::string(22, '\0'));
    Put(h, "length-beyond-data", U32(30) + std::string(22, '\0'));
    Put(h, "too-few-values", U32(21) + std::string(21, '\0'));
    Put(h, "values-without-end", U32(22) + std::string(22, 'x'));
    Put(h, "extra-bytes-in-block", U32(30) + std::string(22, '\0') + "trailing");
    Put(h, "short-length", std::string("\x16\0", 2));
}

// The FastCGI records a web server sends (the first byte of each seed is the
// target's own: 0 feeds the bytes whole; odd, in small pieces; 2 and 3 write
// the answer past one record).
std::string FcgiRecord(int type, const std::string& content, int id = 1, size_t padding = 99) {
    if (padding == 99) padding = (8 - content.size() % 8) % 8;
    std::string out = {char(1), char(type), char(id >> 8), char(id & 0xff), char(content.size() >> 8),
                       char(content.size() & 0xff), char(padding), char(0)};
    return out + content + std::string(padding, '\0');
}

std::string FcgiBegin(int id = 1, bool keep = false, int role = 1) {
    return FcgiRecord(1, std::string{char(role >> 8), char(role & 0xff), char(keep ? 1 : 0), 0, 0, 0, 0, 0}, id);
}

std::string FcgiPairs(const Env& params) {
    std::string pairs;
    for (const auto& p : params) {
        for (size_t n : {std::strlen(p.first), p.second.size()}) {
            if (n < 128) {
                pairs += char(n);
            } else {
                pairs += char(0x80 | ((n >> 24) & 0x7f));
                pairs += char((n >> 16) & 0xff);
                pairs += char((n >> 8) & 0xff);
                pairs += char(n & 0xff);
            }
        }
        pairs += p.first;
        pairs += p.second;
    }
    return pairs;
}

std::string FcgiRequest(const Env& params, const std::string& body, int id = 1, bool keep = false) {
    std::string pairs = FcgiPairs(params);
    std::string out = FcgiBegin(id, keep);
    for (size_t at = 0; at < pairs.size(); at += 65535) out += FcgiRecord(4, pairs.substr(at, 65535), id);
    out += FcgiRecord(4, "", id);
    for (size_t at = 0; at < body.size(); at += 65535) out += FcgiRecord(5, body.substr(at, 65535), id);
    return out + FcgiRecord(5, "", id);
}

void FcgiFrontSeeds() {
    const char* h = "fcgi_front";
    const Env get = With(kServer, {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/Search/Local/mail"}, {"QUERY_STRING", "1f"}});
    const std::string form = "SREQUEST=Search&SEARCH=cats&MAX=20";
    const Env post = With(kServer, {{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/Save/Local/notes"},
                                    {"CONTENT_LENGTH", std::to_string(form.size())}});
    Put(h, "get", std::string(1, '\0') + FcgiRequest(get, ""));
    Put(h, "post-in-pieces", std::string(1, '\1') + FcgiRequest(post, form) + std::string(40, '\3'));
    Put(h, "kept-two-requests", std::string(1, '\2') + FcgiRequest(get, "", 1, true) + FcgiRequest(post, form, 1, true));
    Put(h, "body-longer-than-announced", std::string(1, '\0') + FcgiRequest(post, form + "&extra=1"));
    Put(h, "body-shorter-than-announced",
        std::string(1, '\0') + FcgiRequest(With(post, {{"CONTENT_LENGTH", "400"}}), form));
    Put(h, "body-announced-100-mb", std::string(1, '\1') + FcgiRequest(With(post, {{"CONTENT_LENGTH", "100000000"}}), form) +
                                        std::string(20, '\5'));
    Put(h, "long-value-four-byte-lengths",
        std::string(1, '\0') + FcgiRequest(With(get, {{"HTTP_X_LONG", std::string(300, 'l')}}), ""));
    Put(h, "get-values", std::string(1, '\0') +
                             FcgiRecord(9, FcgiPairs({{"FCGI_MAX_CONNS", ""}, {"FCGI_MPXS_CONNS", ""}, {"OTHER", ""}}), 0));
    Put(h, "unknown-management-type", std::string(1, '\0') + FcgiRecord(42, "x", 0));
    Put(h, "aborted", std::string(1, '\0') + FcgiBegin(1, true) + FcgiRecord(4, FcgiPairs(get), 1) + FcgiRecord(2, "", 1));
    Put(h, "filter-role", std::string(1, '\0') + FcgiBegin(1, false, 3) + FcgiRequest(get, ""));
    Put(h, "second-request-at-once", std::string(1, '\0') + FcgiBegin(1) + FcgiBegin(2) + FcgiRequest(get, "").substr(16));
    Put(h, "begun-twice", std::string(1, '\0') + FcgiBegin(1) + FcgiBegin(1));
    Put(h, "version-9", std::string(1, '\0') + std::string("\x09\x01\x00\x01\x00\x08\x00\x00", 8) + std::string(8, '\0'));
    Put(h, "begin-of-six-bytes", std::string(1, '\0') + FcgiRecord(1, std::string(6, '\1')));
    Put(h, "pair-cut-short", std::string(1, '\0') + FcgiBegin() + FcgiRecord(4, "\x7f\x7fPATH") + FcgiRecord(4, ""));
    Put(h, "half-header", std::string(1, '\0') + FcgiBegin().substr(0, 5));
    Put(h, "params-without-end", std::string(1, '\0') + FcgiBegin() + FcgiRecord(4, FcgiPairs(get)));
    Put(h, "padding-of-255", std::string(1, '\0') + FcgiBegin() + FcgiRecord(4, FcgiPairs(get), 1, 255) +
                                 FcgiRecord(4, "") + FcgiRecord(5, ""));
    Put(h, "http-request", std::string(1, '\0') + "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus-dir\n", argv[0]);
        return 1;
    }
    g_root = argv[1];
    try {
        CgiEnvSeeds();
        UrlPathSeeds();
        SearchFormSeeds();
        CmdStreamSeeds();
        CgiReadSeeds();
        FcgiFrontSeeds();
    } catch (const Exception& e) {
        std::fprintf(stderr, "seed generation raised %s\n", Exception::c_excName[e.m_id]);
        return 1;
    }
    return 0;
}
