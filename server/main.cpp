// velmox-server: the sample server task of the Velmox gateway. Each pipe
// process answers the commands as a small web mail kept in SQLite or
// PostgreSQL (mail_service.h, store_choice.h), or with --inspect with a page that shows what each
// command carried (page.h); supervisor.h runs the processes, each of them
// this program started again with --pipe-process (pipe_launcher.h).
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "mail_access.h"
#include "options.h"
#include "pipe_launcher.h"
#include "pipe_task.h"
#include "store_choice.h"
#include "supervisor.h"
#include "velmox_version.h"

namespace {

const char kProgram[] = "velmox-server " VELMOX_VERSION;

// Makes the database with its schema before any pipe serves. A store that
// cannot be made is no reason not to start: the pages say what is wrong
// until it is mended, and the log and standard error say it now.
void PrepareStore(const ServerOptions& options, const ServerLog& log) {
    try {
        for (const std::string& done : PrepareMailStore(options)) log.Line("mail store " + StoreName(options) + " " + done);
        log.Line("mail store " + StoreName(options) + " ready");
    } catch (const StoreError& error) {
        std::string text = "mail store " + StoreName(options) + " is not usable: " + error.what() +
                           "; pages say so until it is";
        log.Line(text);
        if (!options.logPath.empty()) std::fprintf(stderr, "velmox-server: warning: %s\n", text.c_str());
    }
}

// Says once, in the log, when every local user reaches the pipe.
void WarnOfOpenAccess(const ServerOptions& options, const ServerLog& log) {
    if (!options.access.OpenToEveryone()) return;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(options.access.mode & 0777));
    log.Line(std::string("warning: the pipe's objects under ") + options.base + " have mode " + mode +
             ": every local user can read and change the requests and answers that pass (start with "
             "--group and the web server's group to keep them to the service)");
}

// Files that an earlier version, or another umask, left readable by
// others (or writable by the group) are made the server's user's and
// group's only; what it makes from now on is so anyway (umask 027).
void MakePrivate(const ServerOptions& options, const ServerLog& log) {
    std::vector<std::string> files;
    if (!options.logPath.empty()) files.push_back(options.logPath);
    if (!options.inspect && !IsPostgresUri(options.database))
        for (const char* suffix : {"", "-wal", "-shm"}) files.push_back(options.database + suffix);
    for (const std::string& file : files) {
        struct stat st;
        if (lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 027) == 0) continue;
        char modes[32];
        std::snprintf(modes, sizeof modes, "%04o to %04o", unsigned(st.st_mode & 07777),
                      unsigned(st.st_mode & 07750));
        if (chmod(file.c_str(), st.st_mode & 07750) == 0)
            log.Line(std::string("made ") + file + " private: mode " + modes);
        else
            log.Line("warning: cannot make " + file + " private (mode " + modes + "): " + std::strerror(errno));
    }
}

// The form secret, made at the first start; the server does not start
// without it.
bool PrepareSecret(const ServerOptions& options, const ServerLog& log) {
    FormSecret secret;
    std::string why;
    if (secret.Load(SecretPath(options), &why)) return true;
    log.Line("cannot start: " + why);
    if (!options.logPath.empty()) std::fprintf(stderr, "velmox-server: cannot start: %s\n", why.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    std::string problem = ParseServerOptions(argc, argv, options);
    if (!problem.empty()) {
        // A fault of the configuration file is no fault of the command line.
        std::fprintf(stderr, "velmox-server: %s\n%s", problem.c_str(), options.fileFault ? "" : kServerUsage);
        return options.fileFault ? 1 : kPipeBadArguments;
    }
    if (options.help) {
        std::fputs(kServerUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", kProgram);
        return 0;
    }
    if (options.checkConfig) {
        problem = CheckServerSetup(options);
        if (!problem.empty()) {
            std::fprintf(stderr, "velmox-server: %s\n", problem.c_str());
            return 1;
        }
        std::printf("velmox-server: the configuration%s is valid\n",
                    options.configPath.empty() ? "" : (" in " + options.configPath).c_str());
        return 0;
    }
    // Whatever umask it was started with, what the server makes (the log,
    // the store and SQLite's -wal and -shm files, the secret) is for its
    // user and group only.
    umask(umask(0) | 027);
    ServerLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) {
        std::fprintf(stderr, "velmox-server: cannot open the log file %s: %s\n", options.logPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // A log reader that goes away must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // A pipe process that the supervisor started (pipe_launcher.h).
    if (options.pipeReport >= 0) return RunPipeProcess(options, log, options.pipeReport, kProgram);
    // Once, from the supervisor: every local user can read a pipe left open.
    WarnOfOpenAccess(options, log);
    MakePrivate(options, log);
    if (!options.inspect) {
        if (!PrepareSecret(options, log)) return 1;
        if (options.publicMailbox)
            log.Line("warning: --public: requests that the web server did not authenticate share one public "
                     "mailbox, which anyone who reaches the web server reads and changes");
        PrepareStore(options, log);
    }
    PipeLauncher launcher(argc > 0 ? argv[0] : nullptr, options.pipeArguments);
    return Supervisor(options, log, launcher).Run();
}
