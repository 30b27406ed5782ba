// A PostgreSQL server of the test process's own, for the mail store's
// suites: Debian's PostgreSQL (initdb, postgres) run as an unprivileged
// user (nobody when the tests run as root, as initdb refuses root) from a
// scratch directory, listening on a free loopback port and on a Unix socket
// in that directory. It starts on first use, from a data directory made once
// per build tree and copied, and stops (fast shutdown) with the test
// process, which removes the directory; it also stops when the test process
// dies. Each test takes a database of its own.
#ifndef VELMOX_TESTS_PG_CLUSTER_H
#define VELMOX_TESTS_PG_CLUSTER_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_harness.h"

struct pg_conn;

namespace pgtest {

class Cluster {
public:
    // The running server of this test process, started on first use; null
    // (with the reason in *why) when it cannot start.
    static Cluster* Shared(std::string* why);
    ~Cluster();
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    int port() const { return m_port; }
    // The libpq URI of a database through the loopback port.
    std::string Uri(const std::string& database) const;
    // A new empty database (UTF8) of a name no other test of this process
    // has; "" when it cannot be made.
    std::string NewDatabase();
    // Removes a database, ending its connections first.
    bool DropDatabase(const std::string& database);
    // Stops the server (fast shutdown) and starts it again on the same port,
    // or only stops it; Start brings it back.
    bool Stop();
    bool Start();

private:
    Cluster() = default;
    bool Prepare(std::string* why);

    e2e::TempDir m_dir{"velmox-pg"};
    std::string m_bin;
    pid_t m_pid = -1;
    int m_port = 0;
    int m_databases = 0;
    pid_t m_owner = 0;
};

// One connection of the test's own (libpq): runs SQL and reads one value.
class Session {
public:
    explicit Session(const std::string& uri);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool ok() const;
    // Runs sql (several statements may follow each other); false (with the
    // server's message in error()) when it fails.
    bool Exec(const std::string& sql);
    // The first column of every row of a query; empty when it fails.
    std::vector<std::string> Column(const std::string& sql);
    const std::string& error() const { return m_error; }

private:
    pg_conn* m_conn;
    std::string m_error;
};

}  // namespace pgtest

#endif
