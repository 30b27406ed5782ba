// The FastCGI mode's listening socket when the gateway opens it itself
// (--fastcgi ADDRESS); when a web server starts the gateway, the socket is
// descriptor 0 and this is not used.
//
// Error convention: -1 with the cause as text ("bind 127.0.0.1:9000:
// Address already in use"); nothing is left open on failure.
#ifndef VELMOX_FASTCGI_LISTEN_H
#define VELMOX_FASTCGI_LISTEN_H

#include <string>

// The backlog of a socket the gateway opens.
const int kFastCgiBacklog = 1024;

// Opens a listening socket for address: "unix:PATH", or a PATH that holds a
// '/', is a Unix-domain socket; "HOST:PORT" ("[V6]:PORT" for an IPv6
// address, "*:PORT" for every address) a TCP socket. A Unix socket path
// that a live listener holds is refused; a stale one (nobody listening) is
// replaced. *unixPath gets the path of a Unix socket ("" for TCP), for the
// caller to remove at the end. Returns the descriptor, close-on-exec.
int OpenListeningSocket(const std::string& address, std::string* unixPath, std::string* error);

#endif
