// The FastCGI mode's listening socket when the gateway opens it itself
// (--fastcgi ADDRESS); when a web server starts the gateway, the socket is
// descriptor 0 and this is not used.
//
// Error convention: -1 with the cause as text ("bind 127.0.0.1:9000:
// Address already in use"); nothing is left open on failure.
#ifndef VELMOX_FASTCGI_LISTEN_H
#define VELMOX_FASTCGI_LISTEN_H

#include <string>
#include <sys/socket.h>
#include <vector>

// The backlog of a socket the gateway opens.
const int kFastCgiBacklog = 1024;

// Opens a listening socket for address: "unix:PATH", or a PATH that holds a
// '/', is a Unix-domain socket; "HOST:PORT" ("[V6]:PORT" for an IPv6
// address, "*:PORT" for every address) a TCP socket. A Unix socket path
// that a live listener holds is refused; a stale one (nobody listening) is
// replaced. *unixPath gets the path of a Unix socket ("" for TCP), for the
// caller to remove at the end. Returns the descriptor, close-on-exec.
int OpenListeningSocket(const std::string& address, std::string* unixPath, std::string* error);

// The clients a TCP listening socket serves (--allow, as php-fpm's
// listen.allowed_clients): IPv4 and IPv6 addresses, each alone or as a
// network (ADDRESS/BITS). An IPv4 client of an IPv6 socket (::ffff:a.b.c.d)
// counts as its IPv4 address. A Unix socket needs none: the file's
// permissions say who connects.
class AllowList {
public:
    // 127.0.0.0/8 and ::1: the clients on this host's loopback.
    static AllowList Loopback();
    // Reads "ADDRESS[/BITS][,ADDRESS[/BITS]...]". False, with the reason in
    // *error, for an entry that is no numeric address or whose BITS exceed
    // its family's (32, 128).
    bool Parse(const std::string& text, std::string* error);
    // True when the peer's address (as accept gives it) is on the list.
    bool Allows(const sockaddr* peer) const;
    // The list as text ("127.0.0.0/8, ::1"), for the log.
    std::string Text() const;

private:
    struct Network {
        int family;               // AF_INET or AF_INET6
        unsigned char bytes[16];
        int bits;
    };
    std::vector<Network> m_networks;
};

// True when fd is a TCP socket (IPv4 or IPv6), with its local address as
// text in *address ("127.0.0.1:9000", "[::]:9000"). One system call.
bool IsTcpSocket(int fd, std::string* address);

// A peer's address as text, for the log ("192.0.2.7", "::1").
std::string PeerText(const sockaddr* peer);

#endif
