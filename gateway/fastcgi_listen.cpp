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
