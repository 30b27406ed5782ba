// Fuzz target: the request path (URL::InitWithCGIdata) over a request record
// whose PATH_INFO and QUERY_STRING come from the input, then the command
// that the path names, written and rebuilt by the server's factory.
//
// Input: PATH_INFO is the text up to the first NUL, QUERY_STRING the text
// after it up to the next NUL; without a NUL there is no QUERY_STRING (a null
// value), and an empty input has no PATH_INFO either. Each value lies in a
// heap block of exactly its length and terminator.
//
// Properties:
//  - InvalidURLExc exactly when the path does not start with a separator
//    followed by a character that is neither a separator nor the end;
//  - otherwise m_command is not empty, every member is terminated within its
//    width, and the members are the path's parts: the command cut to 127
//    characters; the server (after a whole command and a separator) cut to
//    255, "Local" in any case made empty and '+' made blanks; the rest of the
//    path and the query (after a whole server and a separator) cut to 255;
//    without that third separator the path and query stay empty and the
//    number 0; a query without any hexadecimal digit gives the number 0;
//  - a command built from the record, written and rebuilt by the server's
//    factory, has the same fields and writes the same bytes.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

#include "cgi.h"
#include "cmd.h"
#include "cmd_compare.h"
#include "except.h"
#include "fuzz_util.h"
#include "url.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

struct Expected {
    std::string command, server, path, query;
    bool third = false;
};

// The run of text from `at` up to a separator or the end, cut to `width`;
// `at` moves past what was taken. Returns true when the run was not cut.
bool TakePart(const std::string& text, size_t& at, size_t width, std::string* part) {
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    bool whole = end - at <= width;
    *part = text.substr(at, std::min(end - at, width));
    at += part->size();
    return whole;
}

Expected Parse(const std::string& pathInfo, const char* query) {
    Expected e;
    size_t at = 1;
    TakePart(pathInfo, at, 127, &e.command);
    if (at >= pathInfo.size() || !IsSeparator(pathInfo[at])) return e;
    ++at;
    TakePart(pathInfo, at, 255, &e.server);
    if (strcasecmp(e.server.c_str(), "Local") == 0) e.server.clear();
    for (char& c : e.server)
        if (c == '+') c = ' ';
    if (at >= pathInfo.size() || !IsSeparator(pathInfo[at])) return e;
    e.third = true;
    e.path = pathInfo.substr(at + 1, 255);
    if (query) e.query = std::string(query).substr(0, 255);
    return e;
}

template <size_t N>
bool Terminated(const char (&field)[N]) { return std::memchr(field, 0, N) != nullptr; }

bool HasHexDigit(const char* text) {
    for (; *text; ++text)
        if (std::isxdigit(static_cast<unsigned char>(*text))) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ExactBytes input(data, size);
    std::string text(input.data(), input.size());
    std::unique_ptr<fuzz::ExactString> pathInfo, queryString;
    if (size > 0) {
        std::string path;
        if (fuzz::TakeLine(text, '\0', &path)) {
            pathInfo.reset(new fuzz::ExactString(path));
            queryString.reset(new fuzz::ExactString(fuzz::UpToNul(text)));
        } else {
            pathInfo.reset(new fuzz::ExactString(text));
        }
    }
    CGI cgi;
    cgi.m_cgiEnvVarValue[CGI::PathInfo] = pathInfo ? pathInfo->get() : nullptr;
    cgi.m_cgiEnvVarValue[CGI::QueryString] = queryString ? queryString->get() : nullptr;
    const char* p = cgi.m_cgiEnvVarValue[CGI::PathInfo];
    bool valid = p && IsSeparator(p[0]) && p[1] && !IsSeparator(p[1]);

    URL url;
    try {
        url.InitWithCGIdata(cgi);
    } catch (const InvalidURLExc&) {
        FUZZ_CHECK(!valid);
        return 0;
    } catch (const Exception&) {
        return 0;
    }
    FUZZ_CHECK(valid && url.IsValid() && url.m_command[0] != 0);
    FUZZ_CHECK(Terminated(url.m_command) && Terminated(url.m_server));
    FUZZ_CHECK(Terminated(url.m_path) && Terminated(url.m_query));
    Expected e = Parse(p, cgi.m_cgiEnvVarValue[CGI::QueryString]);
    FUZZ_CHECK(e.command == url.m_command && e.server == url.m_server);
    FUZZ_CHECK(e.path == url.m_path && e.query == url.m_query);
    if (!e.third || !HasHexDigit(url.m_query)) FUZZ_CHECK(url.m_queryNumber == 0);

    // The command that the path names, as the gateway would send it.
    Cmd* cmd = nullptr;
    try {
        cmd = Cmd::CreateCmd(cgi);
    } catch (const Exception&) {
        return 0;
    }
    fuzz::CheckRoundTrip(*cmd, 8192 + 2 * size);
    delete cmd;
    return 0;
}
