#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <getopt.h>

const char kServerUsage[] =
    "usage: velmox-server [-b BASE] [-n PIPES] [-l LOGFILE] [-r READYFILE] [-h] [--version]\n"
    "Serves the Velmox gateway's commands with sample pages: one process per pipe,\n"
    "watched by a supervisor that restarts a pipe process that dies.\n"
    "  -b, --base NAME   base name of the pipe's objects (default " VELMOX_PIPE_NAME ")\n"
    "  -n, --pipes N     number of pipes, one process each (1..64, default 4)\n"
    "  -l, --log FILE    append one line per request to FILE (default: standard error)\n"
    "  -r, --ready FILE  write the server's pid to FILE once every pipe is registered\n"
    "  -h, --help        show this text\n"
    "      --version     show the version\n"
    "SIGTERM or SIGINT stops every pipe; the last one removes the pipe's objects.\n";

namespace {

bool ParsePipeCount(const char* text, int& count) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < kMinPipes || value > kMaxPipes) return false;
    count = int(value);
    return true;
}

}  // namespace

std::string ParseServerOptions(int argc, char** argv, ServerOptions& options) {
    static const struct option longOptions[] = {
        {"base", required_argument, nullptr, 'b'}, {"pipes", required_argument, nullptr, 'n'},
        {"log", required_argument, nullptr, 'l'},  {"ready", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    optind = 1;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, ":b:n:l:r:h", longOptions, nullptr)) != -1) {
        switch (option) {
            case 'b': options.base = optarg; break;
            case 'n':
                if (!ParsePipeCount(optarg, options.pipes))
                    return "the number of pipes must be a whole number from 1 to 64, not \"" + std::string(optarg) + "\"";
                break;
            case 'l': options.logPath = optarg; break;
            case 'r': options.readyPath = optarg; break;
            case 'h': options.help = true; break;
            case 'V': options.version = true; break;
            case ':': return std::string("option ") + argv[optind - 1] + " needs a value";
            default: return std::string("unknown option ") + argv[optind - 1];
        }
    }
    if (optind < argc) return std::string("unexpected argument \"") + argv[optind] + "\"";
    if (options.base.empty()) return "the base name must not be empty";
    return "";
}
