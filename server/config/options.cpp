#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <grp.h>
#include <unistd.h>
#include <vector>

#include "store.h"

const char kServerUsage[] =
    "usage: velmox-server [-c FILE] [-b BASE] [-n PIPES] [-d DATABASE] [-l LOGFILE]\n"
    "                     [-r READYFILE] [--group GROUP] [--mode MODE] [--busy-ms MS]\n"
    "                     [--max-size-mb MB] [--slow-ms MS] [--request-timeout S]\n"
    "                     [--public | --adopt USER] [--secret FILE]\n"
    "                     [--inspect [--delay-ms MS] [--hang-ms MS]] [--check-config]\n"
    "                     [-h] [--version]\n"
    "Serves the Velmox gateway's commands: a small web mail kept in an SQLite\n"
    "database or in PostgreSQL, which the servers of several hosts may share\n"
    "(Save, Compose, Search, ImageMap and RunAgent each do their job),\n"
    "or with --inspect pages that show every field a command carried. One\n"
    "process per pipe, watched by a supervisor that restarts a pipe process that dies.\n"
    "  -c, --config FILE    read options from FILE first: one \"key = value\" a line,\n"
    "                       the keys the long options below (\"pipes = 4\", \"inspect =\n"
    "                       yes\"); # begins a comment line; the command line wins\n"
    "      --check-config   check the options, the configuration file and the\n"
    "                       directories the server writes to; say so and exit\n"
    "  -b, --base NAME      base name of the pipe's objects (default " VELMOX_PIPE_NAME ")\n"
    "  -n, --pipes N        number of pipes, one process each (1..64, default 4)\n"
    "  -d, --database FILE  the mail store, an SQLite file created with its schema when\n"
    "                       missing at the start (default velmox-mail.db in the working\n"
    "                       directory), or a PostgreSQL database named by a libpq URI,\n"
    "                       postgresql://[USER@]HOST[:PORT]/DATABASE[?PARAMETERS], whose\n"
    "                       schema is made or migrated at the start (a password is\n"
    "                       best kept in ~/.pgpass: the command line is public)\n"
    "  -l, --log FILE       append one line per request to FILE (default: standard\n"
    "                       error); SIGUSR1 opens it anew, after it was rotated\n"
    "  -r, --ready FILE     write the server's pid to FILE once every pipe is registered\n"
    "      --group GROUP    the pipe's objects and key files belong to GROUP (a name or\n"
    "                       a number; this user must be a member) with mode 0660: only\n"
    "                       members, such as the web server's user, reach the pipe\n"
    "                       (default: mode 0666, every local user reaches it)\n"
    "      --mode MODE      their mode, octal: at least 0600, at most 0666 (default 0660\n"
    "                       with --group, else 0666)\n"
    "      --busy-ms MS     how long a write waits for another process's lock on the\n"
    "                       database before its page says so (0..600000, default 5000)\n"
    "      --max-size-mb MB refuse saves that would grow an SQLite database beyond MB\n"
    "                       mebibytes (default: no limit but the disk)\n"
    "      --slow-ms MS     log a line for each request that took longer than MS\n"
    "                       milliseconds: its command, path, client pid, pipe and\n"
    "                       duration (1..3600000, default: none)\n"
    "      --request-timeout S\n"
    "                       end a pipe process whose request has run S seconds\n"
    "                       (SIGTERM, SIGKILL 2 s later), log it and start a new one in\n"
    "                       its place; the request's client gets the gateway's page\n"
    "                       \"Cannot communicate with Velmox server\" (1..86400, default:\n"
    "                       none, a client waits as long as its request takes)\n"
    "      --public         serve requests that the web server did not authenticate\n"
    "                       (no AUTH_TYPE and REMOTE_USER) from one public mailbox that\n"
    "                       every such request shares (default: refuse them with 403;\n"
    "                       each authenticated user has a mailbox of their own)\n"
    "      --adopt USER     at the start, give every message of the public mailbox to\n"
    "                       USER: the mail of a store made before there were users, or\n"
    "                       saved under --public (not with --public)\n"
    "      --secret FILE    the secret of the forms' tokens, made at the first start\n"
    "                       (mode 0600; default velmox-secret beside an SQLite store,\n"
    "                       in the working directory for PostgreSQL); servers of\n"
    "                       several hosts on one database need the same one\n"
    "      --inspect        answer with the field inspector's pages; no database\n"
    "      --delay-ms MS    with --inspect: wait MS milliseconds before each page, a\n"
    "                       slow server for load tests (0..600000, default 0)\n"
    "      --hang-ms MS     with --inspect: hold a request whose path has a segment\n"
    "                       \"hang\" (/RunAgent/Local/hang) MS milliseconds before its\n"
    "                       page, a stuck handler for tests (1..86400000, default: none)\n"
    "  -h, --help           show this text\n"
    "      --version        show the version\n"
    "Signals to the server's process (the one that -r names):\n"
    "  SIGHUP   rolling restart: the pipe processes are replaced one at a time by\n"
    "           new ones started from the program file as it is on disk now, so\n"
    "           installing a new velmox-server and sending SIGHUP upgrades it in\n"
    "           place. Each new process serves before an old one answers the\n"
    "           request it has, withdraws and ends: no request is lost. A SIGHUP\n"
    "           during a restart is done after it; a new process that does not\n"
    "           start ends the restart, the old ones serve on, and the log says\n"
    "           why. Needs a free registry slot (fewer than 64 pipes).\n"
    "  SIGTERM, SIGINT  stop: each pipe answers the request it has and closes;\n"
    "           the last one removes the pipe's objects. A request that arrives\n"
    "           meanwhile gets the gateway's page \"Cannot communicate with\n"
    "           Velmox server\" at once. A pipe process whose request is not\n"
    "           answered within 30 s (or by --request-timeout) is killed, and the\n"
    "           server removes what it left.\n"
    "  SIGUSR1  the log file (-l) is opened again, by every process of the server.\n"
    "Under systemd (velmox-server.service) the server tells it when it is ready,\n"
    "reloading (the rolling restart) and stopping, how many pipes are busy, idle\n"
    "and recovering, and the requests served.\n"
    "Key files that are symbolic links or another user's, and objects of another\n"
    "user under the base name, are refused: the server does not start.\n"
    "Each user's mail is their own: the web server authenticates (REMOTE_USER is\n"
    "trusted only with AUTH_TYPE), and a Save is refused (403) unless its form\n"
    "carries the token of the user's own form and its Referer, if any, names this\n"
    "site. The store, its -wal and -shm files, the log and the secret are made\n"
    "readable by the server's user and group only, whatever the umask.\n";

namespace {

bool ParseNumber(const char* text, int low, int high, int& number) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    number = int(value);
    return true;
}

enum LongOnly {
    kBusyMs = 1000, kMaxSizeMb, kInspect, kDelayMs, kPipeProcess, kGroup, kMode, kCheckConfig,
    kHangMs, kSlowMs, kRequestTimeout, kPublic, kAdopt, kSecret
};

const struct option kLongOptions[] = {
    {"base", required_argument, nullptr, 'b'},     {"pipes", required_argument, nullptr, 'n'},
    {"database", required_argument, nullptr, 'd'}, {"log", required_argument, nullptr, 'l'},
    {"ready", required_argument, nullptr, 'r'},    {"busy-ms", required_argument, nullptr, kBusyMs},
    {"max-size-mb", required_argument, nullptr, kMaxSizeMb},
    {"inspect", no_argument, nullptr, kInspect},   {"help", no_argument, nullptr, 'h'},
    {"group", required_argument, nullptr, kGroup}, {"mode", required_argument, nullptr, kMode},
    {"version", no_argument, nullptr, 'V'},
    {"delay-ms", required_argument, nullptr, kDelayMs},
    {"hang-ms", required_argument, nullptr, kHangMs},
    {"slow-ms", required_argument, nullptr, kSlowMs},
    {"request-timeout", required_argument, nullptr, kRequestTimeout},
    {"public", no_argument, nullptr, kPublic},
    {"adopt", required_argument, nullptr, kAdopt},
    {"secret", required_argument, nullptr, kSecret},
    {"config", required_argument, nullptr, 'c'},
    {"check-config", no_argument, nullptr, kCheckConfig},
    // Internal: how the supervisor starts a pipe process (supervisor.h).
    {"pipe-process", required_argument, nullptr, kPipeProcess},
    {nullptr, 0, nullptr, 0}};

// Options that say what to do rather than how to serve: not for a file.
const char* const kNotInFile[] = {"config", "check-config", "help", "version", "pipe-process"};

// A group by name or number; false when there is none.
bool FindGroup(const std::string& text, gid_t& gid) {
    std::vector<char> buffer(16384);
    struct group entry;
    struct group* found = nullptr;
    if (getgrnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        gid = found->gr_gid;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || !std::isdigit((unsigned char)text[0]) ||
        number >= (unsigned long)PipeAccess::kOwnGroup)
        return false;
    gid = gid_t(number);
    return true;
}

// True when this process may give files that group: root, or a member.
bool MayUseGroup(gid_t gid) {
    if (geteuid() == 0 || getegid() == gid) return true;
    int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(size_t(count > 0 ? count : 0));
    count = getgroups(int(groups.size()), groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

// A mode in octal: only read and write bits, and at least the owner's.
bool ParseMode(const char* text, mode_t& mode) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 8);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || (value & ~0666L) != 0 || (value & 0600) != 0600)
        return false;
    mode = mode_t(value);
    return true;
}

}  // namespace

namespace {

// The getopt loop over one list of arguments (argv[0] first); each option
// as it comes, the last of a kind winning. *modeGiven: --mode was among them.
std::string ParseList(std::vector<std::string> args, ServerOptions& options, bool* modeGiven) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int argc = int(args.size());
    optind = 1;
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv.data(), ":b:n:d:l:r:c:h", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'b': options.base = optarg; break;
            case 'n':
                if (!ParseNumber(optarg, kMinPipes, kMaxPipes, options.pipes))
                    return "the number of pipes must be a whole number from 1 to 64, not \"" + std::string(optarg) + "\"";
                break;
            case 'd': options.database = optarg; break;
            case 'l': options.logPath = optarg; break;
            case 'r': options.readyPath = optarg; break;
            case 'c': options.configPath = optarg; break;
            case kCheckConfig: options.checkConfig = true; break;
            case kBusyMs:
                if (!ParseNumber(optarg, 0, kMaxBusyMs, options.busyMs))
                    return "--busy-ms must be a whole number from 0 to 600000, not \"" + std::string(optarg) + "\"";
                break;
            case kMaxSizeMb:
                if (!ParseNumber(optarg, 1, kMaxSizeLimitMb, options.maxSizeMb))
                    return "--max-size-mb must be a whole number from 1 to " + std::to_string(kMaxSizeLimitMb) +
                           ", not \"" + std::string(optarg) + "\"";
                break;
            case kInspect: options.inspect = true; break;
            case kDelayMs:
                if (!ParseNumber(optarg, 0, kMaxDelayMs, options.delayMs))
                    return "--delay-ms must be a whole number from 0 to " + std::to_string(kMaxDelayMs) + ", not \"" +
                           std::string(optarg) + "\"";
                break;
            case kHangMs:
                if (!ParseNumber(optarg, 1, kMaxHangMs, options.hangMs))
                    return "--hang-ms must be a whole number from 1 to " + std::to_string(kMaxHangMs) + ", not \"" +
                           std::string(optarg) + "\"";
                break;
            case kSlowMs:
                if (!ParseNumber(optarg, 1, kMaxSlowMs, options.slowMs))
                    return "--slow-ms must be a whole number from 1 to " + std::to_string(kMaxSlowMs) + ", not \"" +
                           std::string(optarg) + "\"";
                break;
            case kRequestTimeout:
                if (!ParseNumber(optarg, 1, kMaxRequestTimeoutSeconds, options.requestTimeout))
                    return "--request-timeout must be a whole number of seconds from 1 to " +
                           std::to_string(kMaxRequestTimeoutSeconds) + ", not \"" + std::string(optarg) + "\"";
                break;
            case kPublic: options.publicMailbox = true; break;
            case kAdopt: options.adopt = optarg; break;
            case kSecret: options.secretPath = optarg; break;
            case kPipeProcess:
                if (!ParseNumber(optarg, 0, INT_MAX, options.pipeReport))
                    return "--pipe-process must name a file descriptor, not \"" + std::string(optarg) + "\"";
                break;
            case kGroup:
                options.groupName = optarg;
                if (!FindGroup(options.groupName, options.access.group))
                    return "--group names no group: \"" + options.groupName + "\"";
                break;
            case kMode:
                if (!ParseMode(optarg, options.access.mode))
                    return "--mode must be an octal mode of read and write bits from 0600 to 0666, not \"" +
                           std::string(optarg) + "\"";
                *modeGiven = true;
                break;
            case 'h': options.help = true; break;
            case 'V': options.version = true; break;
            case ':': return std::string("option ") + argv[optind - 1] + " needs a value";
            default: return std::string("unknown option ") + argv[optind - 1];
        }
    }
    if (optind < argc) return std::string("unexpected argument \"") + argv[optind] + "\"";
    return "";
}

// What holds only for the options taken together.
std::string CheckCombination(ServerOptions& options, bool modeGiven) {
    if (options.base.empty()) return "the base name must not be empty";
    if (options.database.empty()) return "the database name must not be empty";
    if (IsPostgresUri(options.database) && !HavePostgres())
        return "this velmox-server was built without PostgreSQL (libpq-dev): -d takes an SQLite file only";
    if (IsPostgresUri(options.database) && options.maxSizeMb > 0)
        return "--max-size-mb limits an SQLite database only; PostgreSQL's size is the database server's to limit";
    if (options.delayMs > 0 && !options.inspect) return "--delay-ms slows the field inspector only: add --inspect";
    if (options.hangMs > 0 && !options.inspect) return "--hang-ms holds the field inspector's pages only: add --inspect";
    if (!options.adopt.empty() && options.publicMailbox)
        return "--adopt gives the public mailbox's messages to a user, --public serves them to everyone: choose one";
    if (!options.adopt.empty() && options.inspect) return "--adopt gives messages of the mail store: not with --inspect";
    if (options.adopt.size() > kMaxUserName)
        return "--adopt names a user of at most " + std::to_string(kMaxUserName) + " bytes";
    if (!options.groupName.empty()) {
        if (!modeGiven) options.access.mode = PipeAccess::kGroupMode;
        if (!MayUseGroup(options.access.group))
            return "this user (uid " + std::to_string(geteuid()) + ") is not a member of the group \"" +
                   options.groupName + "\" and may not give it the pipe's key files";
    }
    return "";
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

const struct option* FindLongOption(const std::string& name) {
    for (const struct option* o = kLongOptions; o->name; ++o)
        if (name == o->name) return o;
    return nullptr;
}

// One line of the file as an option ("--key=value", "--key", or nothing for
// a flag that is off); the fault when the line is none.
std::string EntryOption(const std::string& line, std::vector<std::string>& out) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) return "not a \"key = value\" line";
    std::string key = Trim(line.substr(0, equals)), value = Trim(line.substr(equals + 1));
    const struct option* option = FindLongOption(key);
    if (!option) return "unknown key \"" + key + "\" (the keys are the long options of velmox-server --help)";
    for (const char* name : kNotInFile)
        if (key == name) return "\"" + key + "\" belongs on the command line, not in a configuration file";
    if (option->has_arg == required_argument) {
        out.push_back("--" + key + "=" + value);
        return "";
    }
    if (value == "yes" || value == "true" || value == "on" || value == "1") out.push_back("--" + key);
    else if (!(value == "no" || value == "false" || value == "off" || value == "0"))
        return key + " takes yes or no, not \"" + value + "\"";
    return "";
}

// The file's entries as options, each checked on its own so that a fault
// names its line.
std::string ReadConfigFile(const std::string& path, std::vector<std::string>& entries) {
    std::ifstream file(path);
    if (!file) return "cannot read the configuration file " + path + ": " + std::strerror(errno);
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::string text = Trim(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        std::vector<std::string> option;
        std::string problem = EntryOption(text, option);
        ServerOptions alone;
        bool modeGiven = false;
        if (problem.empty() && !option.empty()) {
            option.insert(option.begin(), "velmox-server");
            problem = ParseList(option, alone, &modeGiven);
            entries.push_back(option.back());
        }
        if (!problem.empty()) return path + ":" + std::to_string(number) + ": " + problem;
    }
    if (file.bad()) return "cannot read the configuration file " + path + ": " + std::strerror(errno);
    return "";
}

// Empty when this user may make files in the directory of path (or write
// path itself where it exists), else why not.
std::string WritableHere(const std::string& what, const std::string& path) {
    if (access(path.c_str(), F_OK) == 0) {
        if (access(path.c_str(), W_OK) == 0) return "";
        return what + " " + path + " is not writable for this user (uid " + std::to_string(geteuid()) +
               "): " + std::strerror(errno);
    }
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(directory.c_str(), W_OK | X_OK) == 0) return "";
    return "the directory " + directory + " of " + what + " " + path + " " +
           (errno == ENOENT ? "does not exist" : "is not writable for this user (uid " + std::to_string(geteuid()) +
                                                     "): " + std::strerror(errno));
}

}  // namespace

std::string ParseServerOptions(int argc, char** argv, ServerOptions& options) {
    std::vector<std::string> command(argv, argv + argc);
    if (command.empty()) command.push_back("velmox-server");
    // First the command line alone, for -c and for its own faults.
    ServerOptions first = options;
    bool modeGiven = false;
    std::string problem = ParseList(command, first, &modeGiven);
    if (!problem.empty()) return problem;
    std::vector<std::string> all = command;
    if (!first.configPath.empty()) {
        std::vector<std::string> entries;
        problem = ReadConfigFile(first.configPath, entries);
        options.fileFault = !problem.empty();
        if (!problem.empty()) return problem;
        all.insert(all.begin() + 1, entries.begin(), entries.end());
        all.push_back("--config=");
    }
    modeGiven = false;
    problem = ParseList(all, options, &modeGiven);
    if (problem.empty()) problem = CheckCombination(options, modeGiven);
    options.configPath = first.configPath;
    options.pipeArguments.assign(all.begin() + 1, all.end());
    return problem;
}

std::string CheckServerSetup(const ServerOptions& options) {
    if (options.base.size() > kMaxBaseNameLength)
        return "the base name is longer than " + std::to_string(kMaxBaseNameLength) + " characters";
    std::string problem = WritableHere("the pipe's key file", options.base);
    // A PostgreSQL store is the database server's to reach: nothing here to write.
    if (problem.empty() && !options.inspect && !IsPostgresUri(options.database))
        problem = WritableHere("the mail store", options.database);
    if (problem.empty() && !options.logPath.empty()) problem = WritableHere("the log file", options.logPath);
    if (problem.empty() && !options.inspect) {
        std::string secret = SecretPath(options);
        if (access(secret.c_str(), F_OK) == 0) {
            if (access(secret.c_str(), R_OK) != 0)
                problem = "the form secret " + secret + " is not readable for this user (uid " +
                          std::to_string(geteuid()) + "): " + std::strerror(errno);
        } else {
            problem = WritableHere("the form secret", secret);
        }
    }
    return problem;
}

std::string SecretPath(const ServerOptions& options) {
    if (!options.secretPath.empty()) return options.secretPath;
    if (IsPostgresUri(options.database)) return kDefaultSecretName;
    size_t slash = options.database.rfind('/');
    if (slash == std::string::npos) return kDefaultSecretName;
    return options.database.substr(0, slash + 1) + kDefaultSecretName;
}
