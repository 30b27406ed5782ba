#include "status_paths.h"

#include "ipc_failure.h"
#include "pipe_status.h"
#include "request_path.h"

namespace {

// A CGI response: the status line, the type, no caching (every answer is
// the state of that moment), then the body.
std::string Response(const char* status, const char* type, const std::string& body) {
    return std::string("Status: ") + status + "\nContent-Type: " + type + "\nCache-Control: no-store\n\n" + body;
}

}  // namespace

bool CheckStatusPath(const char* option, const std::string& value, std::string* error) {
    if (value.empty() || value[0] != '/' || value.find_first_of("?#") != std::string::npos) {
        *error = std::string(option) + " takes a URL path beginning with '/', without a query or fragment, not \"" +
                 value + "\"";
        return false;
    }
    return true;
}

bool CheckStatusPaths(const StatusPaths& paths, const std::string& scriptName, std::string* error) {
    if (!paths.metrics.empty() && paths.metrics == paths.ping) {
        *error = "--metrics-path and --ping-path name the same path, \"" + paths.ping + "\"";
        return false;
    }
    // Under the site's root (--script-name /) every path is the gateway's:
    // there the status paths are taken from its command paths.
    for (const std::string* path : {&paths.metrics, &paths.ping})
        if (!path->empty() && !scriptName.empty() && PathBeginsWith(*path, scriptName)) {
            *error = (path == &paths.metrics ? "--metrics-path \"" : "--ping-path \"") + *path +
                     "\" lies under the gateway's own path " + scriptName + ", among its command paths";
            return false;
        }
    return true;
}

bool StatusResponse(const StatusPaths& paths, const std::string& path, const char* base, std::string* response) {
    bool metrics = !paths.metrics.empty() && path == paths.metrics;
    bool ping = !paths.ping.empty() && path == paths.ping;
    if (!metrics && !ping) return false;
    PipeStatus status;
    IpcFailure failure;
    ReadPipeStatus(base, status, failure);  // no registry: a status of no pipes
    if (metrics)
        *response = Response("200 OK", kOpenMetricsContentType, FormatOpenMetrics(status));
    else if (!status.pipes.empty())
        *response = Response("200 OK", "text/plain; charset=utf-8", "pong\n");
    else
        *response = Response("503 Service Unavailable", "text/plain; charset=utf-8",
                             std::string("no pipe registered under ") + base + "\n");
    return true;
}
