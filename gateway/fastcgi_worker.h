// One FastCGI worker process: accepts connections on the shared listening
// socket, reads every connection's requests as their bytes arrive, and
// serves one whole request at a time through its own pipe client.
#ifndef VELMOX_FASTCGI_WORKER_H
#define VELMOX_FASTCGI_WORKER_H

#include <string>

#include "fastcgi_listen.h"
#include "status_paths.h"

// Limits a worker puts on its peers. A connection's request must arrive
// whole (its records up to the end of its body) within the read limit
// (--read-limit), counted from the connection's start or from the first
// byte of a request on a kept connection; an answer must be taken within
// kWriteLimitSeconds. A connection that misses either is closed and logged.
const unsigned kDefaultReadLimitSeconds = 30;
const unsigned kMaxReadLimitSeconds = 3600;
const unsigned kWriteLimitSeconds = 30;

// A kept connection (FCGI_KEEP_CONN) with no request for this long is
// closed (--idle-limit). Longer than the web servers' own limits (nginx's
// upstream keepalive_timeout is 60 s), so that the web server, which knows
// when it is about to use a connection, is normally the one that closes it.
const unsigned kDefaultIdleLimitSeconds = 90;
const unsigned kMaxIdleLimitSeconds = 3600;
// The connections one worker holds at most unless --max-connections says
// otherwise (it serves one request at a time, from whichever has one).
const int kDefaultConnectionsPerWorker = 64;
// The most --max-connections takes.
const int kMaxConnections = 65536;

struct WorkerSettings {
    std::string scriptName;  // the URL path the gateway is mapped at (request_path.h)
    unsigned idleLimitSeconds = kDefaultIdleLimitSeconds;
    unsigned readLimitSeconds = kDefaultReadLimitSeconds;
    // The connections this worker holds at most: its share of the gateway's
    // bound. Past it, a new connection closes the one of this worker that
    // has waited longest without a request in progress: idle, or with its
    // request still arriving (a request whole or being answered is never
    // closed); when there is none, the worker accepts no more until one ends.
    int maxConnections = kDefaultConnectionsPerWorker;
    int gatewayConnections = kDefaultConnectionsPerWorker;  // the whole bound, told to FCGI_GET_VALUES
    // Peers a TCP listening socket serves (--allow); null for a Unix socket.
    const AllowList* allow = nullptr;
    StatusPaths status;      // answered by the worker itself (status_paths.h)
};

// Serves until SIGTERM or SIGINT (which it expects blocked on entry, with
// SIGHUP: it takes them only while it waits, never while it serves a
// request). Then it accepts no more and closes every connection that holds
// no request in progress (those of a peer that sent nothing, or only part
// of a request's head, and kept connections between requests), answers
// the requests that are whole and those whose body is still arriving
// (while it keeps coming: kStopPatienceMs), and ends. SIGHUP re-reads velmox.ini before the
// next request. listenFd must be non-blocking. Returns the exit status, 0.
int RunFastCgiWorker(int listenFd, const WorkerSettings& settings);

#endif
