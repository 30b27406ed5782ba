// One FastCGI worker process: accepts connections on the shared listening
// socket and serves one request at a time through its own pipe client.
#ifndef VELMOX_FASTCGI_WORKER_H
#define VELMOX_FASTCGI_WORKER_H

#include <string>

#include "status_paths.h"

// Limits a worker puts on a peer that stops half-way: the request's
// parameters and body must arrive within kReadLimitSeconds, the answer must
// be taken within kWriteLimitSeconds; past them the request is dropped.
const unsigned kReadLimitSeconds = 30;
const unsigned kWriteLimitSeconds = 30;

// A kept connection (FCGI_KEEP_CONN) with no request for this long is
// closed (--idle-limit). Longer than the web servers' own limits (nginx's
// upstream keepalive_timeout is 60 s), so that the web server, which knows
// when it is about to use a connection, is normally the one that closes it.
const unsigned kDefaultIdleLimitSeconds = 90;
const unsigned kMaxIdleLimitSeconds = 3600;
// The most connections one worker holds at once (it serves one request at
// a time, from whichever has one); past it, it accepts no more until the
// web server closes one.
const int kMaxConnectionsPerWorker = 64;

struct WorkerSettings {
    std::string scriptName;  // the URL path the gateway is mapped at (request_path.h)
    unsigned idleLimitSeconds = kDefaultIdleLimitSeconds;
    StatusPaths status;      // answered by the worker itself (status_paths.h)
};

// Serves until SIGTERM or SIGINT (which it expects blocked on entry, with
// SIGHUP: it takes them only while it waits for a connection or for the next
// request on a kept one, so a request in flight is always finished). SIGHUP
// re-reads velmox.ini before the next request. listenFd must be
// non-blocking. Returns the exit status, 0.
int RunFastCgiWorker(int listenFd, const WorkerSettings& settings);

#endif
