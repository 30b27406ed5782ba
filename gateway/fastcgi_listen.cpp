#include "fastcgi_listen.h"

#include <cerrno>
#include <cstring>
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::string Cause(const std::string& call, const std::string& what, int error) {
    return call + " " + what + ": " + std::strerror(error);
}

bool FillUnixAddress(const std::string& path, sockaddr_un* address, std::string* error) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address->sun_path) {
        *error = "the socket path \"" + path + "\" is empty or longer than " +
                 std::to_string(sizeof address->sun_path - 1) + " bytes";
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket file that nobody listens on any more (a gateway that was
// killed) may be replaced; one with a listener, or a file of another kind,
// may not.
bool ClearStaleSocket(const std::string& path, const sockaddr_un& address, std::string* error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return true;  // nothing there
    if (!S_ISSOCK(st.st_mode)) {
        *error = path + " exists and is not a socket";
        return false;
    }
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        *error = Cause("socket", "AF_UNIX", errno);
        return false;
    }
    bool live = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    int connectError = errno;
    close(probe);
    if (live || connectError == EAGAIN) {
        *error = "a program already listens on " + path;
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        *error = Cause("unlink", path, errno);
        return false;
    }
    return true;
}

int ListenUnix(const std::string& path, std::string* unixPath, std::string* error) {
    sockaddr_un address;
    if (!FillUnixAddress(path, &address, error) || !ClearStaleSocket(path, address, error)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Cause("socket", "AF_UNIX", errno);
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = Cause("bind", path, errno);
        close(fd);
        return -1;
    }
    if (listen(fd, kFastCgiBacklog) != 0) {
        *error = Cause("listen", path, errno);
        close(fd);
        unlink(path.c_str());
        return -1;
    }
    *unixPath = path;
    return fd;
}

// Numeric addresses only ("localhost" aside): a statically linked program
// would need the shared NSS modules of its glibc to resolve a name.
int ListenTcp(const std::string& address, std::string* error) {
    size_t colon = address.rfind(':');
    std::string host = address.substr(0, colon), port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || port[0] == '-' || number < 1 || number > 65535) {
        *error = "\"" + address + "\" names no port from 1 to 65535 (HOST:PORT, or a socket path with a '/')";
        return -1;
    }
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (host == "localhost") host = "127.0.0.1";
    if (host.empty() || host == "*") {
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof *v6;
    } else {
        *error = "\"" + host + "\" is not a numeric IPv4 or IPv6 address (nor localhost or *)";
        return -1;
    }
    // The port sits at the same place in both forms.
    v4->sin_port = htons(uint16_t(number));
    int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Cause("socket", address, errno);
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        *error = Cause("bind", address, errno);
        close(fd);
        return -1;
    }
    if (listen(fd, kFastCgiBacklog) != 0) {
        *error = Cause("listen", address, errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int OpenListeningSocket(const std::string& address, std::string* unixPath, std::string* error) {
    unixPath->clear();
    if (address.compare(0, 5, "unix:") == 0) return ListenUnix(address.substr(5), unixPath, error);
    if (address.find('/') != std::string::npos) return ListenUnix(address, unixPath, error);
    if (address.find(':') == std::string::npos) {
        *error = "\"" + address + "\" is neither a socket path (with a '/') nor HOST:PORT";
        return -1;
    }
    return ListenTcp(address, error);
}

namespace {

// The address of a socket address as bytes, with IPv4-mapped IPv6 addresses
// as their IPv4 one. False for another family.
bool AddressBytes(const sockaddr* address, int* family, unsigned char bytes[16]) {
    if (address->sa_family == AF_INET) {
        *family = AF_INET;
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
        return true;
    }
    if (address->sa_family != AF_INET6) return false;
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        *family = AF_INET;
        std::memcpy(bytes, v6.s6_addr + 12, 4);
    } else {
        *family = AF_INET6;
        std::memcpy(bytes, v6.s6_addr, 16);
    }
    return true;
}

std::string AddressText(int family, const unsigned char* bytes) {
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(family, bytes, text, sizeof text);
    return text;
}

}  // namespace

AllowList AllowList::Loopback() {
    AllowList list;
    std::string ignored;
    list.Parse("127.0.0.0/8,::1", &ignored);
    return list;
}

bool AllowList::Parse(const std::string& text, std::string* error) {
    m_networks.clear();
    size_t at = 0;
    do {
        size_t comma = text.find(',', at);
        std::string entry = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? text.size() + 1 : comma + 1;
        size_t slash = entry.find('/');
        std::string address = entry.substr(0, slash);
        Network n = {};
        int most = 0;
        if (inet_pton(AF_INET, address.c_str(), n.bytes) == 1) {
            n.family = AF_INET;
            most = 32;
        } else if (inet_pton(AF_INET6, address.c_str(), n.bytes) == 1) {
            n.family = AF_INET6;
            most = 128;
        } else {
            *error = "--allow takes numeric IPv4 or IPv6 addresses, each alone or as ADDRESS/BITS, separated by "
                     "commas, not \"" + entry + "\"";
            return false;
        }
        n.bits = most;
        if (slash != std::string::npos) {
            std::string bits = entry.substr(slash + 1);
            char* end = nullptr;
            long value = std::strtol(bits.c_str(), &end, 10);
            if (bits.empty() || *end || bits[0] == '-' || value > most) {
                *error = "--allow: \"" + entry + "\" names no network (BITS from 0 to " + std::to_string(most) + ")";
                return false;
            }
            n.bits = int(value);
        }
        m_networks.push_back(n);
    } while (at <= text.size());
    return true;
}

bool AllowList::Allows(const sockaddr* peer) const {
    int family = 0;
    unsigned char bytes[16];
    if (!AddressBytes(peer, &family, bytes)) return false;
    for (const Network& n : m_networks) {
        if (n.family != family) continue;
        int whole = n.bits / 8, rest = n.bits % 8;
        if (std::memcmp(n.bytes, bytes, size_t(whole)) != 0) continue;
        if (rest && ((n.bytes[whole] ^ bytes[whole]) & (0xff << (8 - rest)))) continue;
        return true;
    }
    return false;
}

std::string AllowList::Text() const {
    std::string text;
    for (const Network& n : m_networks) {
        if (!text.empty()) text += ", ";
        text += AddressText(n.family, n.bytes);
        if (n.bits != (n.family == AF_INET ? 32 : 128)) text += "/" + std::to_string(n.bits);
    }
    return text;
}

bool IsTcpSocket(int fd, std::string* address) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return false;
    int family = storage.ss_family;
    if (family != AF_INET && family != AF_INET6) return false;
    const void* bytes = family == AF_INET ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&storage)->sin_addr)
                                          : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr);
    // The port sits at the same place in both forms.
    unsigned port = ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    std::string host = AddressText(family, static_cast<const unsigned char*>(bytes));
    *address = (family == AF_INET6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    return true;
}

std::string PeerText(const sockaddr* peer) {
    int family = 0;
    unsigned char bytes[16];
    if (!AddressBytes(peer, &family, bytes)) return "?";
    return AddressText(family, bytes);
}
