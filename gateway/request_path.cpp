#include "request_path.h"

#include <cstring>

#include "cgi.h"

const char* const kDefaultScriptName = "/velmox.cgi";

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The path of a request URI, "%XY" decoded to its byte (except %00, which
// stays as it is: a NUL would end the value). An absolute URI
// (http://host/path) gives the path after its authority.
std::string DecodedPathOf(const char* uri) {
    const char* p = uri;
    if (*p != '/') {
        const char* scheme = std::strstr(p, "://");
        const char* query = std::strpbrk(p, "?#");
        if (!scheme || (query && query < scheme)) return "";
        p = scheme + 3;
        while (*p && *p != '/' && *p != '?' && *p != '#') ++p;
    }
    std::string path;
    for (; *p && *p != '?' && *p != '#'; ++p) {
        int high = p[0] == '%' ? HexValue(p[1]) : -1;
        int low = high >= 0 ? HexValue(p[2]) : -1;
        if (low >= 0 && (high | low) != 0) {
            path += char(high * 16 + low);
            p += 2;
        } else {
            path += *p;
        }
    }
    return path;
}

const char* OrEmpty(const char* value) { return value ? value : ""; }

}  // namespace

bool PathBeginsWith(const std::string& path, const std::string& head) {
    return path.compare(0, head.size(), head) == 0 && (path.size() == head.size() || IsSeparator(path[head.size()]));
}

bool NormaliseScriptName(const std::string& value, std::string* name, std::string* error) {
    if (value.empty() || value[0] != '/') {
        *error = "--script-name takes the URL path the web server maps the gateway at, beginning with '/' (\"/\" for "
                 "the site's root), not \"" + value + "\"";
        return false;
    }
    if (value.find_first_of("?#") != std::string::npos) {
        *error = "--script-name takes a URL path without a query or fragment, not \"" + value + "\"";
        return false;
    }
    size_t end = value.find_last_not_of('/');
    *name = end == std::string::npos ? std::string() : value.substr(0, end + 1);
    return true;
}

RequestPath::RequestPath(const char* scriptName, const char* pathInfo, const char* requestUri,
                         const std::string& gatewayPath)
    : m_scriptName(OrEmpty(scriptName)), m_pathInfo(OrEmpty(pathInfo)) {
    std::string given = std::string(m_scriptName) + m_pathInfo;
    // REQUEST_URI counts only when there is no PATH_INFO.
    std::string uriPath = requestUri && !*m_pathInfo ? DecodedPathOf(requestUri) : std::string();
    if (PathBeginsWith(given, gatewayPath) && given.size() > gatewayPath.size())
        Split(given, gatewayPath.size());
    else if (!uriPath.empty() && PathBeginsWith(uriPath, gatewayPath))
        Split(uriPath, gatewayPath.size());
    else if (given == gatewayPath)
        Split(given, gatewayPath.size());
    m_path = std::string(m_scriptName) + m_pathInfo;
    if (m_path.empty()) m_path = uriPath;
}

// SCRIPT_NAME is path's first `at` characters, PATH_INFO the rest; the
// values sent stay when they are these already.
void RequestPath::Split(const std::string& path, size_t at) {
    if (path.compare(0, at, m_scriptName) == 0 && path.compare(at, std::string::npos, m_pathInfo) == 0)
        return;
    m_scriptText = path.substr(0, at);
    m_pathText = path.substr(at);
    m_scriptName = m_scriptText.c_str();
    m_pathInfo = m_pathText.c_str();
    m_changed = true;
}

void RequestPath::ApplyTo(CGI& cgi) const {
    if (!m_changed) return;
    cgi.m_cgiEnvVarValue[CGI::ScriptName] = const_cast<char*>(m_scriptName);
    cgi.m_cgiEnvVarValue[CGI::PathInfo] = const_cast<char*>(m_pathInfo);
}
