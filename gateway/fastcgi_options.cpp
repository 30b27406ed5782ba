// The FastCGI mode's command line and how the program tells which mode it
// runs in.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "fastcgi.h"

namespace {

// A whole decimal number from low to high; false for anything else.
bool ParseCount(const std::string& value, long low, long high, long* n) {
    char* end = nullptr;
    errno = 0;
    *n = std::strtol(value.c_str(), &end, 10);
    return !value.empty() && !*end && !errno && *n >= low && *n <= high;
}

bool IsOption(const char* arg, const char* name) {
    size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 && (arg[n] == 0 || (arg[n] == '=' && name[1] == '-'));
}

// The value of an option given as "--name=value" or as the next argument.
bool OptionValue(int argc, char** argv, int& i, const char* name, std::string* value, std::string* error) {
    const char* arg = argv[i];
    size_t n = std::strlen(name);
    if (arg[n] == '=') {
        *value = arg + n + 1;
        return true;
    }
    if (i + 1 >= argc) {
        *error = std::string(name) + " needs a value";
        return false;
    }
    *value = argv[++i];
    return true;
}

}  // namespace

bool IsListeningSocket(int fd) {
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0;
}

bool AskedForFastCgi(int argc, char** argv) {
    if (argc < 2 || std::getenv("GATEWAY_INTERFACE")) return false;
    for (const char* name : {"--fastcgi", "--workers", "--log", "--script-name", "--idle-limit", "--read-limit",
                             "--max-connections", "--allow", "--metrics-path", "--ping-path"})
        if (IsOption(argv[1], name)) return true;
    return std::strcmp(argv[1], "-w") == 0;
}

bool ParseFastCgiOptions(int argc, char** argv, FastCgiOptions* options, std::string* error) {
    *options = FastCgiOptions();
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        std::string value;
        if (IsOption(arg, "--fastcgi")) {
            if (!OptionValue(argc, argv, i, "--fastcgi", &value, error)) return false;
            if (value.empty()) {
                *error = "--fastcgi needs an address (a socket path or HOST:PORT)";
                return false;
            }
            options->address = value;
        } else if (IsOption(arg, "--log")) {
            if (!OptionValue(argc, argv, i, "--log", &value, error)) return false;
            if (value.empty()) {
                *error = "--log needs a file";
                return false;
            }
            options->log = value;
        } else if (IsOption(arg, "--script-name")) {
            if (!OptionValue(argc, argv, i, "--script-name", &value, error)) return false;
            if (!NormaliseScriptName(value, &options->scriptName, error)) return false;
        } else if (IsOption(arg, "--idle-limit")) {
            if (!OptionValue(argc, argv, i, "--idle-limit", &value, error)) return false;
            long n = 0;
            if (!ParseCount(value, 1, kMaxIdleLimitSeconds, &n)) {
                *error = "--idle-limit takes whole seconds from 1 to " + std::to_string(kMaxIdleLimitSeconds) +
                         ", not \"" + value + "\"";
                return false;
            }
            options->idleLimitSeconds = unsigned(n);
        } else if (IsOption(arg, "--read-limit")) {
            if (!OptionValue(argc, argv, i, "--read-limit", &value, error)) return false;
            long n = 0;
            if (!ParseCount(value, 1, kMaxReadLimitSeconds, &n)) {
                *error = "--read-limit takes whole seconds from 1 to " + std::to_string(kMaxReadLimitSeconds) +
                         ", not \"" + value + "\"";
                return false;
            }
            options->readLimitSeconds = unsigned(n);
        } else if (IsOption(arg, "--max-connections")) {
            if (!OptionValue(argc, argv, i, "--max-connections", &value, error)) return false;
            long n = 0;
            if (!ParseCount(value, 1, kMaxConnections, &n)) {
                *error = "--max-connections takes a number of connections from 1 to " + std::to_string(kMaxConnections) +
                         ", not \"" + value + "\"";
                return false;
            }
            options->maxConnections = int(n);
        } else if (IsOption(arg, "--allow")) {
            if (!OptionValue(argc, argv, i, "--allow", &value, error)) return false;
            AllowList check;
            if (!check.Parse(value, error)) return false;
            options->allow = value;
        } else if (IsOption(arg, "--metrics-path") || IsOption(arg, "--ping-path")) {
            bool metrics = IsOption(arg, "--metrics-path");
            const char* name = metrics ? "--metrics-path" : "--ping-path";
            if (!OptionValue(argc, argv, i, name, &value, error)) return false;
            if (!CheckStatusPath(name, value, error)) return false;
            (metrics ? options->status.metrics : options->status.ping) = value;
        } else if (IsOption(arg, "--workers") || std::strcmp(arg, "-w") == 0) {
            const char* name = arg[1] == '-' ? "--workers" : "-w";
            if (!OptionValue(argc, argv, i, name, &value, error)) return false;
            long n = 0;
            if (!ParseCount(value, 1, kMaxFastCgiWorkers, &n)) {
                *error = std::string(name) + " takes a number of workers from 1 to " +
                         std::to_string(kMaxFastCgiWorkers) + ", not \"" + value + "\"";
                return false;
            }
            options->workers = int(n);
        } else {
            *error = std::string("unknown argument \"") + arg + "\"";
            return false;
        }
    }
    return CheckStatusPaths(options->status, options->scriptName, error);
}

int DefaultFastCgiWorkers() {
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (cores < 1) cores = 1;
    long workers = 2 * cores;
    return int(workers < 2 ? 2 : workers > 32 ? 32 : workers);
}
