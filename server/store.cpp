#include "store.h"

#include <algorithm>
#include <ctime>

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
