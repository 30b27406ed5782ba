// One FastCGI worker process: accepts connections on the shared listening
// socket and serves one request at a time through its own pipe client.
#ifndef VELMOX_FASTCGI_WORKER_H
#define VELMOX_FASTCGI_WORKER_H

// Limits a worker puts on a peer that stops half-way: the request's
// parameters and body must arrive within kReadLimitSeconds, the answer must
// be taken within kWriteLimitSeconds; past them the request is dropped.
const unsigned kReadLimitSeconds = 30;
const unsigned kWriteLimitSeconds = 30;

// Serves until SIGTERM or SIGINT (which it expects blocked on entry, with
// SIGHUP: it takes them only while it waits for a connection, so a request
// in flight is always finished). SIGHUP re-reads velmox.ini before the next
// request. listenFd must be non-blocking. Returns the exit status, 0.
int RunFastCgiWorker(int listenFd);

#endif
