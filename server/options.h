// The command line of velmox-server.
#ifndef VELMOX_SERVER_OPTIONS_H
#define VELMOX_SERVER_OPTIONS_H

#include <string>

#include "pipe_limits.h"

const int kMinPipes = 1;
const int kMaxPipes = 64;  // the registry's slots

struct ServerOptions {
    std::string base = kGatewayPipeName;
    int pipes = 4;
    std::string logPath;    // empty: standard error
    std::string readyPath;  // empty: no ready file
    bool help = false;
    bool version = false;
};

extern const char kServerUsage[];

// Fills options from the arguments. Returns an empty text on success, else
// what is wrong with them.
std::string ParseServerOptions(int argc, char** argv, ServerOptions& options);

#endif
