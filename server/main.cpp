// velmox-server: a sample server task for the Velmox gateway. Each pipe
// process answers every command with a page that shows what the command
// carried; see page.h for the page and supervisor.h for the processes.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "log.h"
#include "options.h"
#include "supervisor.h"
#include "velmox_version.h"

int main(int argc, char** argv) {
    ServerOptions options;
    std::string problem = ParseServerOptions(argc, argv, options);
    if (!problem.empty()) {
        std::fprintf(stderr, "velmox-server: %s\n%s", problem.c_str(), kServerUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(kServerUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::fputs("velmox-server " VELMOX_VERSION "\n", stdout);
        return 0;
    }
    ServerLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) {
        std::fprintf(stderr, "velmox-server: cannot open the log file %s: %s\n", options.logPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // A log reader that goes away must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    return Supervisor(options, log).Run();
}
