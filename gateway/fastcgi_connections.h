// The connections one FastCGI worker holds, read and written without ever
// waiting on one of them: sockets are non-blocking, each connection's bytes
// go to its record reader (fcgi_records.h) as they arrive, whole requests
// wait in a queue for the worker to serve them one at a time, and answers
// leave as fast as their peer takes them.
//
// A connection is in one phase at a time; each but Queued has a deadline:
//
//   Reading   a request on its way: from the accept, or from the first byte
//             after the last answer; whole within the read limit, or closed
//             (in a stop: while its bytes keep coming, kStopPatienceMs, and
//             a new connection's first bytes within kStopFreshMs)
//   Queued    a request whole, waiting its turn: never closed by the worker
//   Writing   its answer leaving: taken within the write limit, or closed
//   Idle      a kept connection between requests: closed after the idle
//             limit
//   Lingering a connection not kept whose answer is out while the rest of
//             its request (a body refused or longer than announced) still
//             arrives: read and dropped, then closed, within the read limit
//
// The bound: at most `most` connections. To make room for a new one, the
// connection that has waited longest in Reading, Idle or Lingering is
// closed; a Queued or Writing one never is.
//
// Error convention: a connection that fails (its peer closes or breaks the
// protocol, a deadline passes, a write fails) is closed and, where its peer
// could not know why, logged once through the table's log function; nothing
// here raises but a refused allocation.
#ifndef VELMOX_FASTCGI_CONNECTIONS_H
#define VELMOX_FASTCGI_CONNECTIONS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fcgi_records.h"

// How long a connection just accepted counts as fresh (FreshUntil): web
// servers send a request as soon as they connect.
const long long kFreshMs = 20;
// In a stop, a request whose body is still arriving is waited for while its
// bytes keep coming: one whose peer sends nothing for this long is dropped,
// so that a stalled body does not hold the stop for the read limit.
const long long kStopPatienceMs = 5000;
// In a stop, a connection accepted before it that has sent nothing yet is
// waited for this long from its accept: a web server writes its request as
// soon as it has connected (one closed under it fails its request: nginx
// answers 502), while a silent peer's connection, accepted earlier, is
// closed at once.
const long long kStopFreshMs = 1000;

struct ConnectionLimits {
    long long readMs = 30000;
    long long idleMs = 90000;
    long long writeMs = 30000;
    int most = 64;                // connections held at once
    unsigned advertised = 64;     // FCGI_MAX_CONNS for FCGI_GET_VALUES
};

class Connection {
public:
    enum Phase { Reading, Queued, Writing, Idle, Lingering };

    Connection(int fd, const ConnectionLimits& limits, long long now);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Phase phase() const { return m_phase; }
    // The request in progress (Reading), for the log.
    const fcgi::Reader& reader() const { return m_reader; }

private:
    friend class Connections;
    int m_fd;
    uint32_t m_slot = 0;
    Phase m_phase = Reading;
    long long m_since;            // when the phase began
    long long m_deadline;
    long long m_lastBytes;        // when bytes last arrived
    uint32_t m_watched = 0;       // the events the poller watches (0: not registered)
    fcgi::Reader m_reader;
    std::string m_input;          // bytes read that the reader has not taken yet
    std::string m_output;         // records not written yet
    size_t m_written = 0;
    bool m_closeAfterAnswer = false;
    bool m_answered = false;      // a request of it was answered: between requests it is Idle
    fcgi::Request m_request;      // Queued: the request to serve
};

class Connections {
public:
    // Log function: a line about a connection whose request (null when none
    // was begun) the table gave up on.
    using Log = std::function<void(const fcgi::Request* request, const std::string& text)>;

    Connections(int poller, const ConnectionLimits& limits, Log log);
    ~Connections();  // closes every connection
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    size_t size() const { return m_count; }
    bool Full() const { return int(m_count) >= m_limits.most; }
    // Closes the connection that has waited longest without a request in
    // progress, to make room for a new one; false when every connection
    // holds one.
    bool MakeRoom(long long now);
    // Until when a connection just accepted may still be expected to send
    // its request (kFreshMs after its accept, while nothing of it came);
    // 0 when none is. A worker that takes no other connection meanwhile
    // leaves the connections that wait to the other workers, rather than
    // holding two requests of which one must wait for the other's exchange.
    // Once a connection has kept silent past kFreshMs, and for a read limit
    // after, it is always 0: among peers that send nothing, waiting for
    // each would slow the accepting of every other connection.
    long long FreshUntil(long long now);
    // True when MakeRoom would find a connection to close.
    bool CanMakeRoom() const;
    // Takes an accepted, non-blocking socket.
    void Add(int fd, long long now);

    // An event of the poller for a connection's slot (the epoll data).
    void Event(uint32_t slot, uint32_t events, long long now);

    // True when a whole request waits.
    bool Queued() const { return !m_queue.empty(); }
    // The next whole request, oldest first; null when none waits. The
    // connection stays Queued, and is never closed, until Answered.
    Connection* NextQueued();
    const fcgi::Request& QueuedRequest(const Connection& c) const { return c.m_request; }
    // Where the answer's records go, then Answered starts writing them.
    std::string* Output(Connection& c) { return &c.m_output; }
    void Answered(Connection& c, long long now);

    // Milliseconds until the first deadline (-1: none).
    int NextDeadline(long long now) const;
    // Closes the connections whose deadline has passed.
    void Expire(long long now);

    // The stop: closes what holds no request in progress; the answers of
    // the others are written as ever, then their connections close.
    void Stop(long long now);
    bool Stopping() const { return m_stopping; }

private:
    void Pump(Connection& c, const char* data, size_t size, long long now);
    void Flush(Connection& c, long long now);
    void AfterAnswer(Connection& c, long long now);
    void Enter(Connection& c, Connection::Phase phase, long long now);
    void Watch(Connection& c);
    void Close(Connection& c);
    void CloseLogged(Connection& c, const std::string& text);
    bool InProgress(const Connection& c) const;
    long long DeadlineOf(const Connection& c) const;

    int m_poller;
    ConnectionLimits m_limits;
    Log m_log;
    std::vector<std::unique_ptr<Connection>> m_slots;
    std::vector<uint32_t> m_free;
    size_t m_count = 0;
    std::deque<Connection*> m_queue;
    bool m_stopping = false;
    long long m_silentSeen = -1;  // when a connection was last seen silent past kFreshMs
};

#endif
