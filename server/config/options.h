// The command line of velmox-server.
#ifndef VELMOX_SERVER_OPTIONS_H
#define VELMOX_SERVER_OPTIONS_H

#include <string>
#include <vector>

#include "pipe_access.h"
#include "pipe_limits.h"

const int kMinPipes = 1;
const int kMaxPipes = 64;  // the registry's slots

// The mail store's database when -d is not given, in the working directory.
const char kDefaultDatabase[] = "velmox-mail.db";
const int kDefaultBusyMs = 5000;
const int kMaxBusyMs = 600000;
const int kMaxSizeLimitMb = 1 << 20;
// The field inspector's delay before each page (--delay-ms), for load tests.
const int kMaxDelayMs = 600000;
// The inspector's hold of a request whose path has a segment "hang"
// (--hang-ms): up to a day, a handler that is stuck for any test.
const int kMaxHangMs = 86400000;
const char kHangSegment[] = "hang";
// --slow-ms: up to an hour; --request-timeout: up to a day.
const int kMaxSlowMs = 3600000;
const int kMaxRequestTimeoutSeconds = 86400;
// The form secret when --secret is not given: beside an SQLite store, in the
// working directory for one on PostgreSQL.
const char kDefaultSecretName[] = "velmox-secret";

struct ServerOptions {
    std::string base = kGatewayPipeName;
    int pipes = 4;
    std::string logPath;    // empty: standard error
    std::string readyPath;  // empty: no ready file
    bool inspect = false;   // the field inspector instead of the mail store
    std::string database = kDefaultDatabase;
    int busyMs = kDefaultBusyMs;  // how long a write waits for another's lock
    int maxSizeMb = 0;            // the database's size limit; 0: none
    int delayMs = 0;              // the inspector waits this long before each page
    int hangMs = 0;               // and this long before a page whose path has a "hang" segment
    int slowMs = 0;               // a request that took longer gets a log line; 0: none
    int requestTimeout = 0;       // seconds a request may run before its pipe process is ended; 0: no limit
    bool publicMailbox = false;   // --public: requests without a user share one mailbox
    std::string adopt;            // --adopt USER: the public mailbox's messages become USER's at the start
    std::string secretPath;       // --secret FILE; empty: SecretPath()'s default
    // Set only in a pipe process that the supervisor started (the internal
    // option --pipe-process FD): the descriptor its registration goes to.
    int pipeReport = -1;
    PipeAccess access;            // mode and group of the pipe's objects
    std::string groupName;        // --group as given; empty: none
    std::string configPath;       // -c FILE; empty: none
    bool fileFault = false;       // the parse failed on a line of that file
    bool checkConfig = false;     // --check-config: check, say so, exit
    // What a pipe process is started with: the entries of the configuration
    // file as options, then the command line, then "--config=" (no file):
    // every pipe process of a start runs with the options of that start,
    // whatever happens to the file meanwhile.
    std::vector<std::string> pipeArguments;
    bool help = false;
    bool version = false;
};

extern const char kServerUsage[];

// Fills options from the arguments and from the configuration file that -c
// names: one "key = value" a line, the keys the long options without their
// dashes ("inspect = yes" for an option without a value), blank lines and
// lines that begin with # ignored. The command line wins over the file.
// Returns an empty text on success, else what is wrong (a fault of the file
// names the file and its line). argv is not changed.
std::string ParseServerOptions(int argc, char** argv, ServerOptions& options);

// --check-config: what the start would refuse beyond the options themselves
// (the database's directory, the log file, the form secret). Empty when
// nothing.
std::string CheckServerSetup(const ServerOptions& options);

// The file of the forms' secret: --secret, or kDefaultSecretName in the
// directory of an SQLite store (the working directory for PostgreSQL).
std::string SecretPath(const ServerOptions& options);

#endif
