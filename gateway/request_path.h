// Where a request's command path lies, whatever the web server's split of
// the URL path into SCRIPT_NAME and PATH_INFO.
//
// RFC 3875 leaves the split to the web server, and servers differ. For a
// request of /velmox.cgi/Search/Local/inbox?1f (the gateway mapped at
// /velmox.cgi):
//
//   lighttpd, Apache httpd, nginx with fastcgi_split_path_info
//                    SCRIPT_NAME /velmox.cgi, PATH_INFO /Search/Local/inbox
//   Caddy's fastcgi transport, h2o's fastcgi.connect
//                    SCRIPT_NAME empty, PATH_INFO /velmox.cgi/Search/Local/inbox
//   nginx with fastcgi_params only, HAProxy's fcgi-app without path-info
//                    SCRIPT_NAME /velmox.cgi/Search/Local/inbox, no PATH_INFO
//   servers that compute neither
//                    REQUEST_URI /velmox.cgi/Search/Local/inbox?1f
//
// The gateway knows the URL path it is mapped at (--script-name, default
// /velmox.cgi) and splits the request's path there itself:
//
//   1. The path the server gives, SCRIPT_NAME followed by PATH_INFO, when it
//      begins with the gateway's path and goes on after it: SCRIPT_NAME is
//      the gateway's path and PATH_INFO the rest. A server that splits there
//      already gets its own values back, byte for byte.
//   2. Else, when the server sent no PATH_INFO, the path of REQUEST_URI
//      (before the '?'), percent-decoded as servers decode SCRIPT_NAME and
//      PATH_INFO, when it begins with the gateway's path: split the same way.
//   3. Else the path the server gives, when it is the gateway's path alone:
//      SCRIPT_NAME the gateway's path, PATH_INFO empty.
//   4. Else SCRIPT_NAME and PATH_INFO stand as sent (a gateway mapped
//      elsewhere, /cgi-bin/velmox.cgi, split right by its server).
//
// "Begins with" means whole path segments: /velmox.cgi is the head of
// /velmox.cgi/Save and of /velmox.cgi\Save, not of /velmox.cgix. Nothing is
// normalised besides: no dot segments resolved, no slashes merged.
#ifndef VELMOX_REQUEST_PATH_H
#define VELMOX_REQUEST_PATH_H

#include <string>

class CGI;

// The URL path the gateway answers under unless told otherwise.
extern const char* const kDefaultScriptName;

// True when `head` is `path`'s first whole segments: path begins with it and
// goes on with a separator ('/' or '\\') or ends there.
bool PathBeginsWith(const std::string& path, const std::string& head);

// Checks and normalises a --script-name value: it must begin with '/';
// trailing slashes are dropped, so "/" (the site's root) becomes "". False,
// with the reason in *error, for a value that cannot be a URL path.
bool NormaliseScriptName(const std::string& value, std::string* name, std::string* error);

// One request's split. Holds the values it hands out: not copyable, and a
// record it was applied to points into it.
class RequestPath {
public:
    // scriptName, pathInfo and requestUri as the server sent them (null: not
    // sent); gatewayPath as NormaliseScriptName leaves it. Never fails.
    RequestPath(const char* scriptName, const char* pathInfo, const char* requestUri, const std::string& gatewayPath);
    RequestPath(const RequestPath&) = delete;
    RequestPath& operator=(const RequestPath&) = delete;

    // The values the request record carries. Never null.
    const char* ScriptName() const { return m_scriptName; }
    const char* PathInfo() const { return m_pathInfo; }
    // The request's whole URL path as the gateway read it: SCRIPT_NAME and
    // PATH_INFO after the split, or the decoded path of REQUEST_URI when
    // the server sent neither. For matching a request to a fixed path.
    const std::string& Path() const { return m_path; }
    // True when ScriptName() or PathInfo() differs from what was sent.
    bool Changed() const { return m_changed; }

    // Points the record's SCRIPT_NAME and PATH_INFO at these values, when
    // they changed; this object must outlive the record's use of them.
    void ApplyTo(CGI& cgi) const;

private:
    void Split(const std::string& path, size_t at);

    std::string m_path;
    std::string m_scriptText, m_pathText;
    const char* m_scriptName;
    const char* m_pathInfo;
    bool m_changed = false;
};

#endif
