#include "fastcgi_connections.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "textutil.h"

namespace {

// One read of a connection per event: every connection gets its turn.
const size_t kReadChunk = 65536;
// An output buffer larger than this is given back once written, so that a
// kept connection does not hold the memory of its largest answer.
const size_t kKeptOutputCapacity = 16384;

std::string Seconds(long long ms) { return std::to_string((ms + 500) / 1000) + " s"; }

}  // namespace

Connection::Connection(int fd, const ConnectionLimits& limits, long long now)
    : m_fd(fd), m_since(now), m_deadline(now + limits.readMs), m_lastBytes(now), m_reader(limits.advertised) {}

Connection::~Connection() {
    if (m_fd >= 0) close(m_fd);
}

Connections::Connections(int poller, const ConnectionLimits& limits, Log log)
    : m_poller(poller), m_limits(limits), m_log(std::move(log)) {}

Connections::~Connections() {
    for (std::unique_ptr<Connection>& c : m_slots)
        if (c) Close(*c);
}

void Connections::Add(int fd, long long now) {
    uint32_t slot;
    if (!m_free.empty()) {
        slot = m_free.back();
        m_free.pop_back();
    } else {
        slot = uint32_t(m_slots.size());
        m_slots.emplace_back();
    }
    m_slots[slot].reset(new Connection(fd, m_limits, now));
    m_slots[slot]->m_slot = slot;
    ++m_count;
    // A web server sends its request as soon as it has connected, so it is
    // usually there when the connection is accepted: read at once, and a
    // request that came whole is served without the poller ever watching
    // its connection (two changes of the poller and a wait fewer a request:
    // 10 system calls besides the exchange's down to 5, bench/README).
    Event(slot, EPOLLIN, now);
}

// Reading, Idle and Lingering connections are read; a connection with
// records to write waits for room. A Queued one is served within the
// worker's turn, so it stays watched as it was (a kept connection is not
// taken off the poller and put back for every request); what comes on it
// meanwhile is not read (Event).
void Connections::Watch(Connection& c) {
    uint32_t want = 0;
    if (c.m_phase == Connection::Reading || c.m_phase == Connection::Idle || c.m_phase == Connection::Lingering)
        want |= EPOLLIN;
    else if (c.m_phase == Connection::Queued)
        want |= c.m_watched & EPOLLIN;
    if (c.m_written < c.m_output.size()) want |= EPOLLOUT;
    if (want == c.m_watched) return;
    epoll_event interest = {};
    interest.events = want;
    interest.data.u32 = c.m_slot;
    // Should the poller refuse (no memory), the connection's deadline still ends it.
    if (want == 0) epoll_ctl(m_poller, EPOLL_CTL_DEL, c.m_fd, nullptr);
    else epoll_ctl(m_poller, c.m_watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, c.m_fd, &interest);
    c.m_watched = want;
}

void Connections::Enter(Connection& c, Connection::Phase phase, long long now) {
    c.m_phase = phase;
    c.m_since = now;
    switch (phase) {
        case Connection::Reading:
        case Connection::Lingering: c.m_deadline = now + m_limits.readMs; break;
        case Connection::Idle: c.m_deadline = now + m_limits.idleMs; break;
        case Connection::Writing: c.m_deadline = now + m_limits.writeMs; break;
        case Connection::Queued: c.m_deadline = LLONG_MAX; break;
    }
}

void Connections::Close(Connection& c) {
    if (c.m_phase == Connection::Queued) m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), &c), m_queue.end());
    uint32_t slot = c.m_slot;
    m_slots[slot].reset();  // closes the socket, which takes it off the poller (no other process holds it)
    m_free.push_back(slot);
    --m_count;
}

void Connections::CloseLogged(Connection& c, const std::string& text) {
    const fcgi::Request* request = nullptr;
    if (c.m_phase == Connection::Writing || c.m_phase == Connection::Queued) request = &c.m_request;
    else if (c.m_reader.status() == fcgi::Reader::kReading && c.m_reader.current().params()) request = &c.m_reader.current();
    m_log(request, text);
    Close(c);
}

// A request in progress: whole, or being answered; in a stop also one on
// its way: part of it has come, or the connection is new (a web server
// connects to send a request and sends it at once: a connection it opened
// just before the stop is not closed under the request it is writing).
bool Connections::InProgress(const Connection& c) const {
    if (c.m_phase == Connection::Queued || c.m_phase == Connection::Writing) return true;
    return m_stopping && c.m_phase == Connection::Reading && (c.m_reader.InProgress() || !c.m_answered);
}

long long Connections::FreshUntil(long long now) {
    long long until = 0;
    for (const std::unique_ptr<Connection>& c : m_slots) {
        if (!c || c->m_phase != Connection::Reading || c->m_answered || c->m_reader.pendingBytes() > 0) continue;
        if (c->m_since + kFreshMs > now) until = std::max(until, c->m_since + kFreshMs);
        else m_silentSeen = now;
    }
    if (m_silentSeen >= 0 && now - m_silentSeen < m_limits.readMs) return 0;
    return until;
}

bool Connections::CanMakeRoom() const {
    for (const std::unique_ptr<Connection>& c : m_slots)
        if (c && !InProgress(*c)) return true;
    return false;
}

bool Connections::MakeRoom(long long now) {
    Connection* oldest = nullptr;
    for (std::unique_ptr<Connection>& c : m_slots)
        if (c && !InProgress(*c) && (!oldest || c->m_since < oldest->m_since)) oldest = c.get();
    if (!oldest) return false;
    std::string waited = Seconds(now - oldest->m_since);
    CloseLogged(*oldest, "connection closed to make room for a new one (--max-connections): " +
                             (oldest->m_phase == Connection::Idle ? "idle for " + waited
                                                                  : "no whole request in " + waited));
    return true;
}

void Connections::Event(uint32_t slot, uint32_t events, long long now) {
    if (slot >= m_slots.size() || !m_slots[slot]) return;
    Connection& c = *m_slots[slot];
    // A connection with a request whole or being answered is not read (its
    // next request waits); a hang-up there shows when its records are
    // written. Records that wait are written before anything more is read.
    bool answering = c.m_phase == Connection::Queued || c.m_phase == Connection::Writing;
    if (answering || (events & EPOLLOUT)) {
        if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) Flush(c, now);
        return;
    }
    char buffer[kReadChunk];
    ssize_t n = recv(c.m_fd, buffer, sizeof buffer, 0);
    if (n > 0) {
        c.m_lastBytes = now;
        Pump(c, buffer, size_t(n), now);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        Watch(c);  // nothing yet (a connection just accepted): the poller says when
        return;
    }
    // The peer closed or the connection broke: a request whose head had
    // come cannot be answered; one that never began is no loss.
    const fcgi::Reader& r = c.m_reader;
    if (c.m_phase == Connection::Reading && r.status() == fcgi::Reader::kReading && r.current().params()) {
        const fcgi::Request& request = r.current();
        const char* length = request.Param("CONTENT_LENGTH");
        CloseLogged(c, "request dropped: its body stopped after " + std::to_string(request.body().size()) + " of " +
                           (length ? LogText(length, 24) : "?") + " bytes");
    } else {
        Close(c);
    }
}

// Gives the reader what has arrived (data, after any bytes it left before)
// and acts on what it found.
void Connections::Pump(Connection& c, const char* data, size_t size, long long now) {
    if (!c.m_input.empty()) {
        c.m_input.append(data, size);
        data = c.m_input.data();
        size = c.m_input.size();
    }
    size_t used = 0;
    bool closeAfter = false;
    while (used < size) {
        used += c.m_reader.Feed(data + used, size - used, &c.m_output);
        fcgi::Reader::Status status = c.m_reader.status();
        if (c.m_phase == Connection::Lingering && !c.m_reader.skipping()) {
            Close(c);  // all of the last request has come: nothing more is read
            return;
        }
        if (status == fcgi::Reader::kReady) {
            c.m_request = c.m_reader.Take();
            c.m_closeAfterAnswer = !c.m_request.keep();
            Enter(c, Connection::Queued, now);
            m_queue.push_back(&c);
            break;
        }
        if (status == fcgi::Reader::kDropped) {
            m_log(nullptr, c.m_reader.cause());
            closeAfter = c.m_reader.closeAfterReplies();
            c.m_reader.Resume();
            if (closeAfter) break;
        } else if (status == fcgi::Reader::kBroken) {
            CloseLogged(c, "connection closed: " + c.m_reader.cause());
            return;
        }
    }
    if (closeAfter) {
        // The reader's answer goes out, then the connection ends.
        c.m_closeAfterAnswer = true;
        Enter(c, Connection::Writing, now);
        used = size;
    }
    if (used < size) {
        c.m_input = std::string(data + used, size - used);
    } else if (!c.m_input.empty()) {
        std::string().swap(c.m_input);
    }
    // A kept connection is Idle between requests, Reading while one comes.
    if (c.m_phase == Connection::Idle && c.m_reader.InProgress()) Enter(c, Connection::Reading, now);
    else if (c.m_phase == Connection::Reading && c.m_answered && !c.m_reader.InProgress()) Enter(c, Connection::Idle, now);
    Flush(c, now);
}

void Connections::Flush(Connection& c, long long now) {
    while (c.m_written < c.m_output.size()) {
        ssize_t n = send(c.m_fd, c.m_output.data() + c.m_written, c.m_output.size() - c.m_written, MSG_NOSIGNAL);
        if (n > 0) {
            c.m_written += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Watch(c);
            return;
        }
        bool request = (c.m_phase == Connection::Writing || c.m_phase == Connection::Queued) &&
                       (c.m_request.params() || c.m_request.paramsTooLong());
        if (request) CloseLogged(c, "the answer was not taken: the connection closed");
        else Close(c);
        return;
    }
    c.m_written = 0;
    if (c.m_output.capacity() > kKeptOutputCapacity) std::string().swap(c.m_output);
    else c.m_output.clear();
    if (c.m_phase == Connection::Writing) AfterAnswer(c, now);
    else Watch(c);
}

Connection* Connections::NextQueued() {
    if (m_queue.empty()) return nullptr;
    Connection* c = m_queue.front();
    m_queue.pop_front();
    return c;
}

void Connections::Answered(Connection& c, long long now) {
    Enter(c, Connection::Writing, now);
    Flush(c, now);
}

void Connections::AfterAnswer(Connection& c, long long now) {
    c.m_request = fcgi::Request();
    c.m_answered = true;
    bool keep = !c.m_closeAfterAnswer;
    c.m_closeAfterAnswer = false;
    if (!keep) {
        // The rest of a body that was refused, or longer than announced, is
        // read and dropped before the close, so that the peer reads the
        // answer rather than a reset.
        if (!c.m_reader.skipping() || m_stopping) {
            Close(c);
            return;
        }
        Enter(c, Connection::Lingering, now);
    } else {
        Enter(c, c.m_reader.InProgress() ? Connection::Reading : Connection::Idle, now);
    }
    // (Pump moves a kept connection between Idle and Reading as the rest of
    // the last request and the next one come.)
    Watch(c);
    // Bytes of the next request that came with the last one.
    uint32_t slot = c.m_slot;
    if (!c.m_input.empty()) {
        std::string input;
        input.swap(c.m_input);
        Pump(c, input.data(), input.size(), now);
        if (!m_slots[slot]) return;
    }
    if (m_stopping && !InProgress(c)) Close(c);
}

// The deadline of a connection as it stands: in a stop, a body that stopped
// coming is not waited for the whole read limit.
long long Connections::DeadlineOf(const Connection& c) const {
    if (m_stopping && c.m_phase == Connection::Reading)
        return std::min(c.m_deadline, c.m_reader.InProgress() ? c.m_lastBytes + kStopPatienceMs : c.m_since + kStopFreshMs);
    return c.m_deadline;
}

int Connections::NextDeadline(long long now) const {
    long long first = LLONG_MAX;
    for (const std::unique_ptr<Connection>& c : m_slots)
        if (c) first = std::min(first, DeadlineOf(*c));
    if (first == LLONG_MAX) return -1;
    return int(std::max(0LL, std::min<long long>(first - now, INT_MAX)));
}

void Connections::Expire(long long now) {
    for (size_t i = 0; i < m_slots.size(); ++i) {
        if (!m_slots[i] || DeadlineOf(*m_slots[i]) > now) continue;
        Connection& c = *m_slots[i];
        const fcgi::Reader& r = c.m_reader;
        switch (c.m_phase) {
            case Connection::Reading:
                if (r.status() == fcgi::Reader::kReading && r.current().params()) {
                    const char* length = r.current().Param("CONTENT_LENGTH");
                    CloseLogged(c, "request dropped: its body stopped after " + std::to_string(r.current().body().size()) +
                                       " of " + (length ? LogText(length, 24) : "?") + " bytes " +
                                       (c.m_deadline > now ? "in the stop (nothing came for " + Seconds(kStopPatienceMs) + ")"
                                                           : "within the read limit of " + Seconds(m_limits.readMs)));
                } else {
                    CloseLogged(c, "connection closed: no whole request " +
                                       (c.m_deadline > now ? "in the stop"
                                                           : "within the read limit of " + Seconds(m_limits.readMs)) +
                                       " (" + std::to_string(r.pendingBytes()) + " bytes arrived)");
                }
                break;
            case Connection::Writing:
                CloseLogged(c, "the answer was not taken within " + Seconds(m_limits.writeMs));
                break;
            case Connection::Idle:
            case Connection::Lingering: Close(c); break;
            case Connection::Queued: break;
        }
    }
}

void Connections::Stop(long long now) {
    m_stopping = true;
    for (size_t i = 0; i < m_slots.size(); ++i) {
        if (!m_slots[i]) continue;
        Connection& c = *m_slots[i];
        // A request that came in the meantime is still taken.
        if (c.m_phase == Connection::Idle || c.m_phase == Connection::Reading) {
            char buffer[kReadChunk];
            ssize_t n = recv(c.m_fd, buffer, sizeof buffer, 0);
            if (n > 0) Pump(c, buffer, size_t(n), now);
            if (!m_slots[i]) continue;
        }
        if (!InProgress(c)) Close(c);
    }
}
