// velmox-registry: shows the server registry of a pipe's base name, its
// status and counters (as text, JSON or OpenMetrics), and removes the
// objects of a base name that no live server uses any more.
//
// It only looks: it never reserves a server, and it waits at most a moment
// for the registry lock (a registry whose lock stays taken is read without
// it, and the listing says so).
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mempipe.h"
#include "opsys.h"
#include "pipe_status.h"
#include "velmox_version.h"

namespace {

const char kUsage[] =
    "usage: velmox-registry [show] [-b BASE]   show the registry of BASE\n"
    "       velmox-registry status [-b BASE] [--json | --openmetrics]\n"
    "                                          pipes idle, busy and recovering, and the counters\n"
    "       velmox-registry clean [-b BASE]    remove the objects of BASE when no live server remains\n"
    "       velmox-registry -h|--help|--version\n"
    "  -b, --base NAME   base name of the pipe's objects (default " VELMOX_PIPE_NAME ")\n"
    "show lists every registered pipe (slot, server pid, state, start time), the\n"
    "free-server count and the objects of BASE that exist; exit status 1 when there\n"
    "is no registry. status lists each pipe's slot, pid, state, requests answered and\n"
    "the age of its current request, then the totals: requests, their durations,\n"
    "timeouts, waits for a free server and failed exchanges by cause; --json gives\n"
    "one JSON object, --openmetrics the text Prometheus scrapes (exit status 1 when\n"
    "there is no registry; the OpenMetrics text is written even then). clean\n"
    "refuses (exit status 1) while a registered server lives.\n";

const unsigned long kShowLockMs = 2000;

struct Arguments {
    std::string command = "show";
    std::string base = kGatewayPipeName;
    std::string format = "text";  // status: text, json, openmetrics
    bool help = false;
    bool version = false;
};

// Empty when the arguments are good, else what is wrong with them.
std::string ParseArguments(int argc, char** argv, Arguments& args) {
    static const struct option longOptions[] = {
        {"base", required_argument, nullptr, 'b'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},    {"json", no_argument, nullptr, 'J'},
        {"openmetrics", no_argument, nullptr, 'O'}, {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, ":b:h", longOptions, nullptr)) != -1) {
        if (option == 'b') args.base = optarg;
        else if (option == 'h') args.help = true;
        else if (option == 'V') args.version = true;
        else if (option == 'J' || option == 'O') {
            std::string format = option == 'J' ? "json" : "openmetrics";
            if (args.format != "text" && args.format != format) return "--json and --openmetrics exclude each other";
            args.format = format;
        }
        else if (option == ':') return std::string("option ") + argv[optind - 1] + " needs a value";
        else return std::string("unknown option ") + argv[optind - 1];
    }
    if (optind < argc) args.command = argv[optind++];
    if (optind < argc) return std::string("unexpected argument \"") + argv[optind] + "\"";
    if (args.command != "show" && args.command != "clean" && args.command != "status")
        return "unknown command \"" + args.command + "\"";
    if (args.format != "text" && args.command != "status") return "--" + args.format + " goes with status only";
    if (args.base.empty()) return "the base name must not be empty";
    return "";
}

// ------------------------------------------------------------- the objects

// Looks for an object without making its key file, as opening would.
bool ObjectExists(const std::string& keyFile, bool segment) {
    if (access(keyFile.c_str(), F_OK) != 0) return false;
    key_t key = ftok(keyFile.c_str(), kTokenId);
    if (key == key_t(-1)) return false;
    return segment ? shmget(key, 0, 0) != -1 : semget(key, 0, 0) != -1;
}

// The objects of a base name that exist, by what they are for.
std::string ExistingObjects(const std::string& base) {
    struct Kind { const char* what; const char* suffix; bool segment; } kinds[] = {
        {"registry lock", "", false},     {"registry block", ".0", true},  {"free-server count", ".sem", false},
        {"pipe mutexes", ".mtx", false}, {"request events", ".csm", false}, {"answer events", ".ssm", false},
        {"counters", ".stats", true}};
    std::string found;
    auto add = [&found](const std::string& what) { found += (found.empty() ? "" : ", ") + what; };
    for (const Kind& kind : kinds)
        if (ObjectExists(base + kind.suffix, kind.segment)) add(kind.what);
    std::string blocks;
    for (int slot = 0; slot < kMaxServers; ++slot)
        if (ObjectExists(base + ".shm." + std::to_string(slot), true)) blocks += " " + std::to_string(slot);
    if (!blocks.empty()) add("pipe blocks" + blocks);
    return found.empty() ? "none" : found;
}

// ---------------------------------------------------------- the registry

// A copy of the registry, taken under its lock when the lock comes in time.
bool Snapshot(ServerMonitor& monitor, ServerList& list) {
    bool locked = monitor.Lock(kShowLockMs) == 1;
    std::memcpy(&list, monitor.Block(), sizeof list);
    if (locked) monitor.Release();
    return locked;
}

bool IsRegistered(const ServerList& list, int slot) { return list.servers[slot].index == slot; }

int SlotCount(const ServerList& list) { return int(std::min<uint32_t>(list.max, kMaxServers)); }

const char* Liveness(int pid) { return OpSys::ProcessExists(pid) ? "alive" : "dead"; }

std::string StateOf(const ServerID& id) {
    if (id.clientPid == -1) return "idle";
    // A closing pipe claims its own slot, so that no client takes it.
    if (id.clientPid == id.serverPid) return "closing";
    return "claimed by pid " + std::to_string(id.clientPid) + " (" + Liveness(id.clientPid) + ")";
}

// startTicks counts hundredths of a second since local midnight.
std::string StartTime(uint32_t ticks) {
    uint32_t seconds = ticks / 100;
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", unsigned(seconds / 3600 % 24), unsigned(seconds / 60 % 60),
                  unsigned(seconds % 60));
    return text;
}

void PrintSlots(const ServerList& list) {
    std::printf("%4s  %-16s  %-34s  %s\n", "slot", "server", "state", "started");
    for (int slot = 0; slot < SlotCount(list); ++slot) {
        if (!IsRegistered(list, slot)) continue;
        const ServerID& id = list.servers[slot];
        std::string server = std::to_string(id.serverPid) + " " + Liveness(id.serverPid);
        std::printf("%4d  %-16s  %-34s  %s\n", slot, server.c_str(), StateOf(id).c_str(),
                    StartTime(id.startTicks).c_str());
    }
}

int RegisteredCount(const ServerList& list) {
    int count = 0;
    for (int slot = 0; slot < SlotCount(list); ++slot) count += IsRegistered(list, slot) ? 1 : 0;
    return count;
}

std::vector<int> LiveServers(const ServerList& list) {
    std::vector<int> pids;
    for (int slot = 0; slot < SlotCount(list); ++slot)
        if (IsRegistered(list, slot) && OpSys::ProcessExists(list.servers[slot].serverPid))
            pids.push_back(list.servers[slot].serverPid);
    return pids;
}

// ------------------------------------------------------------- commands

int Show(const std::string& base) {
    ServerMonitor monitor;
    if (!monitor.Inspect(base.c_str())) {
        std::printf("no registry for %s\n", base.c_str());
        // A registry that is there but not the service's own, or not ours
        // to read, says why.
        if (monitor.Failure().Refused()) {
            char cause[IpcFailure::kTextSize];
            std::printf("refused: %s\n", monitor.Failure().Text(cause, sizeof cause));
        }
        std::printf("objects: %s\n", ExistingObjects(base).c_str());
        return 1;
    }
    ServerList list;
    bool locked = Snapshot(monitor, list);
    int free = monitor.FreeServerCount();
    monitor.Detach();
    std::printf("registry of %s%s\n", base.c_str(), locked ? "" : " (read without its lock, which stayed taken)");
    PrintSlots(list);
    std::printf("registered: %d of %u\n", RegisteredCount(list), unsigned(list.max));
    std::printf("free servers: %s\n", free < 0 ? "unknown" : std::to_string(free).c_str());
    std::printf("objects: %s\n", ExistingObjects(base).c_str());
    return 0;
}

int Status(const std::string& base, const std::string& format) {
    PipeStatus status;
    IpcFailure failure;
    bool found = ReadPipeStatus(base.c_str(), status, failure);
    if (format == "openmetrics") std::fputs(FormatOpenMetrics(status).c_str(), stdout);
    else if (format == "json") std::fputs(FormatStatusJson(status).c_str(), stdout);
    else std::fputs(FormatStatusText(status).c_str(), stdout);
    if (!found && failure.Refused()) {
        char cause[IpcFailure::kTextSize];
        std::fprintf(stderr, "velmox-registry: refused: %s\n", failure.Text(cause, sizeof cause));
    }
    return found ? 0 : 1;
}

int Clean(const std::string& base) {
    ServerMonitor monitor;
    if (monitor.Inspect(base.c_str())) {
        ServerList list;
        Snapshot(monitor, list);
        monitor.Detach();
        std::vector<int> live = LiveServers(list);
        if (!live.empty()) {
            std::string pids;
            for (int pid : live) pids += " " + std::to_string(pid);
            std::printf("not cleaning %s: live servers use it, pid%s\n", base.c_str(), pids.c_str());
            return 1;
        }
    }
    int removed = ServerMonitor::RemoveAll(base.c_str());
    if (removed == 0) std::printf("nothing to remove for %s\n", base.c_str());
    else std::printf("removed %d objects of %s\n", removed, base.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    std::string problem = ParseArguments(argc, argv, args);
    if (!problem.empty()) {
        std::fprintf(stderr, "velmox-registry: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.version) {
        std::fputs("velmox-registry " VELMOX_VERSION "\n", stdout);
        return 0;
    }
    if (args.base.size() > kMaxBaseNameLength) {
        std::fprintf(stderr, "velmox-registry: the base name is longer than %zu characters\n", kMaxBaseNameLength);
        return 2;
    }
    if (args.command == "status") return Status(args.base, args.format);
    return args.command == "clean" ? Clean(args.base) : Show(args.base);
}
