#include "store.h"

#include <algorithm>
#include <ctime>

bool IsPostgresUri(const std::string& text) {
    return text.compare(0, 13, "postgresql://") == 0 || text.compare(0, 11, "postgres://") == 0;
}

std::string RedactedUri(const std::string& uri) {
    std::string out = uri;
    size_t scheme = out.find("://");
    if (scheme == std::string::npos) return out;
    // user:password@ before the host.
    size_t start = scheme + 3;
    size_t end = out.find_first_of("/?", start);
    size_t at = out.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at != std::string::npos && at >= start) {
        size_t colon = out.find(':', start);
        if (colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
    // password=... among the parameters.
    for (size_t p = out.find("password=", start); p != std::string::npos; p = out.find("password=", p + 1)) {
        if (out[p - 1] != '?' && out[p - 1] != '&') continue;
        size_t value = p + 9, stop = out.find('&', value);
        out.replace(value, (stop == std::string::npos ? out.size() : stop) - value, "***");
    }
    return out;
}

bool HavePostgres() {
#ifdef VELMOX_WITH_POSTGRESQL
    return true;
#else
    return false;
#endif
}

int64_t StoreNowMs() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void ApplyChange(const MessageChange& change, int64_t now, Message& stored) {
    if (change.hasRecipient) stored.recipient = change.recipient;
    if (change.hasSubject) stored.subject = change.subject;
    if (change.hasBody) stored.body = change.body;
    stored.folder = change.folder;
    stored.saved = now;
}

Message NewMessage(const MessageChange& change, int64_t created) {
    Message m;
    m.owner = change.owner;
    m.ident = change.ident;
    m.folder = change.folder;
    m.sender = change.sender;
    m.recipient = change.recipient;
    m.subject = change.subject;
    m.body = change.body;
    m.created = m.saved = created;
    return m;
}

int PageLength(const SearchRequest& request, int matching) {
    return std::min(request.count, std::min(request.limit, matching) - request.offset);
}
