// The gateway as a long-lived FastCGI responder: the same program as the CGI
// run, serving request after request on a listening socket with worker
// processes, each with one pipe client of its own.
//
// Processes: a master that opens (or inherits) the listening socket, starts
// the workers, restarts one that dies, and passes SIGHUP and SIGTERM on;
// workers that accept, read every connection as its bytes arrive, run each
// whole request exactly as a CGI run does and write its bytes back as the
// request's answer. The protocol's records are read and written by
// fcgi_records.h, on libfcgi's definitions of them.
//
// Error convention: what fails at start (options, the socket) is written to
// standard error and ends the program with status 2 (usage) or 1; what fails
// in a request is that request's error page plus a line on standard error,
// and the gateway keeps serving.
#ifndef VELMOX_FASTCGI_H
#define VELMOX_FASTCGI_H

#include <string>

#include "fastcgi_worker.h"
#include "request_path.h"
#include "status_paths.h"

// The most workers -w takes.
const int kMaxFastCgiWorkers = 256;

struct FastCgiOptions {
    std::string address;  // "" : the listening socket on descriptor 0
    int workers = 0;      // 0 : DefaultFastCgiWorkers()
    std::string log;      // "" : standard error as it is; else a file it is appended to
    std::string scriptName = kDefaultScriptName;  // as NormaliseScriptName leaves it
    unsigned idleLimitSeconds = kDefaultIdleLimitSeconds;
    unsigned readLimitSeconds = kDefaultReadLimitSeconds;
    int maxConnections = 0;  // 0 : kDefaultConnectionsPerWorker for each worker
    std::string allow;       // "" : loopback only (AllowList::Loopback); TCP sockets only
    StatusPaths status;   // --metrics-path, --ping-path; off when empty
};

// True when fd is a socket in the listening state (the web server started
// the gateway as its FastCGI application). One system call; false for a
// pipe, a file, a connected socket or a closed descriptor.
bool IsListeningSocket(int fd);

// True when the first argument is one of the FastCGI mode's options, at a
// shell: under a CGI web server (GATEWAY_INTERFACE set) the arguments come
// from the request and are never read.
bool AskedForFastCgi(int argc, char** argv);

// Reads "--fastcgi ADDRESS" (or --fastcgi=ADDRESS), "-w N" (or --workers N,
// --workers=N), "--log FILE" (--log=FILE), "--script-name PATH",
// "--idle-limit SECONDS", "--read-limit SECONDS", "--max-connections N",
// "--allow ADDRESS[,ADDRESS...]", "--metrics-path PATH" and "--ping-path
// PATH" (each also with '=') from argv[1...]. False, with the reason in
// *error, for any other argument, a missing or bad value, N outside 1 to
// kMaxFastCgiWorkers (workers) or kMaxConnections (connections), SECONDS
// outside 1 to kMaxIdleLimitSeconds or kMaxReadLimitSeconds, addresses that
// AllowList::Parse refuses, status paths that CheckStatusPath or
// CheckStatusPaths refuses.
bool ParseFastCgiOptions(int argc, char** argv, FastCgiOptions* options, std::string* error);

// Two workers per core, at least 2 and at most 32: a worker waits for its
// exchange with the server task most of a request's time.
int DefaultFastCgiWorkers();

// Serves until SIGTERM or SIGINT. listenFd is the inherited listening
// socket (descriptor 0, or the one systemd passed) when options.address is
// empty. Returns the exit status: 0 after a stop in which every request in
// flight was finished.
int RunFastCgi(const FastCgiOptions& options, int listenFd);

// The whole FastCGI mode from main: options, socket, serving. inheritedFd:
// the listening socket the program was started with, -1 for none.
int FastCgiMain(int argc, char** argv, int inheritedFd);

#endif
