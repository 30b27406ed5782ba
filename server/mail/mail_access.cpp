#include "mail_access.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "answer.h"
#include "cgi.h"
#include "html_text.h"

namespace {

// What the token's HMAC is taken of, before the user's name: a token of
// these forms is good for nothing else the secret might one day sign.
const char kTokenPurpose[] = "velmox save form\n";
const size_t kSecretFileLimit = 256;

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

std::string HexOf(const unsigned char* bytes, size_t length) {
    return HexText(reinterpret_cast<const char*>(bytes), length);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Failed(const char* call, const std::string& path) {
    return std::string(call) + " " + path + ": " + std::strerror(errno);
}

// A host as it is compared: without the brackets of an IPv6 address, in
// lower case.
std::string HostKey(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return Lower(host);
}

// SERVER_NAME without a port that a web server may have left on it.
std::string ServerHost(const std::string& name) {
    if (!name.empty() && name[0] == '[') return HostKey(name.substr(0, name.find(']') + 1));
    size_t colon = name.find(':');
    if (colon != std::string::npos && name.find(':', colon + 1) == std::string::npos) return HostKey(name.substr(0, colon));
    return HostKey(name);
}

// Writes all of text to fd; false with errno set.
bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

std::string RequestVariable(const Cmd& cmd, const char* name) {
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i)
        if (std::strcmp(CGI::c_cgiEnvVarName[i], name) == 0) return RequestValue(cmd, i);
    return "";
}

std::string UserOf(const Cmd& cmd, std::string* user) {
    user->clear();
    std::string name = RequestVariable(cmd, "REMOTE_USER");
    if (RequestVariable(cmd, "AUTH_TYPE").empty() || name.empty()) return "";
    if (name.size() > kMaxUserName)
        return "The web server authenticated a user whose name is " + std::to_string(name.size()) +
               " bytes long; this server takes names of at most " + std::to_string(kMaxUserName) + ".";
    *user = name;
    return "";
}

std::string RefererProblem(const std::string& referer, const std::string& serverName) {
    if (referer.empty()) return "";
    std::string shown = referer.size() > 100 ? referer.substr(0, 100) + "..." : referer;
    size_t scheme = referer.find("://");
    std::string name = scheme == std::string::npos ? "" : Lower(referer.substr(0, scheme));
    if (name != "http" && name != "https")
        return "it was sent from a page that is not this site's (Referer \"" + shown + "\")";
    size_t start = scheme + 3;
    std::string authority = referer.substr(start, referer.find_first_of("/?#", start) - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    std::string host = authority[0] == '[' ? authority.substr(0, authority.find(']') + 1)
                                           : authority.substr(0, authority.find(':'));
    if (serverName.empty())
        return "its Referer names a page, but the web server sent no SERVER_NAME to compare it with";
    if (HostKey(host) != ServerHost(serverName))
        return "it was sent from a page of another site (Referer \"" + shown + "\", this site is " + serverName + ")";
    return "";
}

bool FormSecret::Load(const std::string& path, std::string* why) {
    m_key.clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // Made whole under another name and linked into place: a process
        // that reads the file finds all of it, and of two that make one at
        // once the second's link fails and it reads the first's.
        unsigned char key[kKeySize];
        size_t got = 0;
        while (got < sizeof key) {
            ssize_t n = getrandom(key + got, sizeof key - got, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *why = "getrandom for the form secret " + path + ": " + std::strerror(errno);
                return false;
            }
            got += size_t(n);
        }
        std::string made = path + ".new." + std::to_string(getpid());
        int out = open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0) {
            *why = Failed("cannot make the form secret: open", made);
            return false;
        }
        bool written = WriteAll(out, HexOf(key, sizeof key) + "\n") && fsync(out) == 0;
        int error = errno;
        close(out);
        if (!written) {
            unlink(made.c_str());
            errno = error;
            *why = Failed("cannot make the form secret: write", made);
            return false;
        }
        if (link(made.c_str(), path.c_str()) != 0 && errno != EEXIST) {
            *why = Failed("cannot make the form secret: link", path);
            unlink(made.c_str());
            return false;
        }
        unlink(made.c_str());
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        *why = Failed("cannot read the form secret: open", path);
        return false;
    }
    struct stat st;
    char text[kSecretFileLimit];
    ssize_t length = -1;
    if (fstat(fd, &st) == 0) length = read(fd, text, sizeof text);
    int error = errno;
    std::string problem;
    if (length < 0) {
        errno = error;
        problem = Failed("cannot read the form secret", path);
    } else if (!S_ISREG(st.st_mode)) {
        problem = "the form secret " + path + " is not a regular file";
    } else if (st.st_uid != geteuid()) {
        problem = "the form secret " + path + " belongs to another user (uid " + std::to_string(st.st_uid) +
                  "), who could sign forms with it: remove it, and a new one is made at the start";
    } else if ((st.st_mode & 077) != 0 && fchmod(fd, st.st_mode & 0700) != 0) {
        problem = Failed("cannot make the form secret private: chmod", path);
    }
    close(fd);
    std::string hex(text, size_t(length > 0 ? length : 0));
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r' || hex.back() == ' ')) hex.pop_back();
    if (problem.empty() && hex.size() != 2 * kKeySize)
        problem = "the form secret " + path + " is not " + std::to_string(2 * kKeySize) +
                  " hexadecimal digits: remove it, and a new one is made at the start";
    std::string key;
    for (size_t i = 0; problem.empty() && i < hex.size(); i += 2) {
        int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            problem = "the form secret " + path + " is not " + std::to_string(2 * kKeySize) +
                      " hexadecimal digits: remove it, and a new one is made at the start";
        key += char(high * 16 + low);
    }
    if (!problem.empty()) {
        *why = problem;
        return false;
    }
    m_key = key;
    return true;
}

std::string FormSecret::Token(const std::string& user) const {
    std::string data = kTokenPurpose + user;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!loaded() || !HMAC(EVP_sha256(), m_key.data(), int(m_key.size()),
                           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &length))
        return "";
    return HexOf(mac, length);
}

bool FormSecret::Matches(const std::string& user, const std::string& token) const {
    std::string expected = Token(user);
    return !expected.empty() && token.size() == expected.size() &&
           CRYPTO_memcmp(expected.data(), token.data(), expected.size()) == 0;
}
