// The FastCGI gateway's status paths, answered by the worker itself, never
// through the pipe and never counted as requests:
//
//   --metrics-path PATH  200, the OpenMetrics text of the pipe's status
//                        (pipe_status.h: what velmox-registry status
//                        --openmetrics writes), for Prometheus to scrape;
//                        with no registry, the same text with no pipes
//   --ping-path PATH     200 "pong" while at least one pipe is registered,
//                        else 503 with a line that says so
//
// Both are off unless given. A request matches one when its whole URL path,
// as RequestPath::Path() reads it (SCRIPT_NAME followed by PATH_INFO, or
// the decoded path of REQUEST_URI when the server sent neither), is the
// path exactly: byte for byte, the query ignored, whatever the web server's
// split. Neither is a command path: a status path may not lie at or under
// the gateway's own path (--script-name), so no command is ever hidden by
// one. A status answer carries no dump or trace (debug = 1).
//
// Error convention: a bad option value is reported as text in *error;
// answering never fails (a base name without a registry is an answer).
#ifndef VELMOX_STATUS_PATHS_H
#define VELMOX_STATUS_PATHS_H

#include <string>

struct StatusPaths {
    std::string metrics;  // "": off
    std::string ping;     // "": off
    bool Any() const { return !metrics.empty() || !ping.empty(); }
};

// Checks the value of `option` (--metrics-path or --ping-path): a URL path
// beginning with '/', without a query or fragment. False, with the reason.
bool CheckStatusPath(const char* option, const std::string& value, std::string* error);

// Checks the paths against each other and against the gateway's path (as
// NormaliseScriptName leaves it). False, with the reason.
bool CheckStatusPaths(const StatusPaths& paths, const std::string& scriptName, std::string* error);

// When `path` is one of the status paths: true, with the whole response
// (CGI header lines, a blank line, the body) for the pipe of base name
// `base` in *response. False for any other path.
bool StatusResponse(const StatusPaths& paths, const std::string& path, const char* base, std::string* response);

#endif
