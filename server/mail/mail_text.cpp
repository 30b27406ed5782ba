#include "mail_text.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "html_text.h"

// ------------------------------------------------------------------ idents

// getrandom() blocks only before the kernel's pool is first seeded, long
// before a server runs; /dev/urandom stands in where the call is missing.
std::string NewIdent() {
    uint32_t words[4] = {};
    size_t got = 0;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(words);
    while (got < sizeof words) {
        ssize_t n = getrandom(bytes + got, sizeof words - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    if (got < sizeof words) {
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        while (fd >= 0 && got < sizeof words) {
            ssize_t n = read(fd, bytes + got, sizeof words - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        if (fd >= 0) close(fd);
    }
    // Without any randomness the time and the pid still keep idents apart.
    if (got < sizeof words) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        static uint32_t counter = 0;
        words[0] ^= uint32_t(now.tv_sec);
        words[1] ^= uint32_t(now.tv_nsec);
        words[2] ^= uint32_t(getpid());
        words[3] ^= ++counter;
    }
    return IdentText(words);
}

// ----------------------------------------------------------------- folders

bool IsFolderName(const std::string& name) {
    if (name.empty() || name.size() > kMaxFolderName) return false;
    for (unsigned char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-';
        if (!ok) return false;
    }
    return true;
}

// ------------------------------------------------------------------ search

std::vector<std::string> SearchWords(const std::string& text, size_t limit) {
    std::vector<std::string> words;
    std::string word;
    auto flush = [&] {
        if (!word.empty() && words.size() < limit) words.push_back(word);
        word.clear();
    };
    for (unsigned char c : text) {
        bool part = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80;
        if (part) word += char(c);
        else flush();
    }
    flush();
    return words;
}
