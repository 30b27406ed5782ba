#include "pg_cluster.h"

#include <fcntl.h>
#include <glob.h>
#include <libpq-fe.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "process.h"

#ifndef VELMOX_BUILD_DIR
#error "VELMOX_BUILD_DIR must name the build tree"
#endif

namespace pgtest {

namespace {

const uid_t kNobody = 65534;
const char kUser[] = "velmox";

void Quiet(void*, const char*) {}

// The newest PostgreSQL of Debian's packages (postgresql-15 on Debian 12).
std::string ServerBin() {
    glob_t found;
    std::string best;
    if (glob("/usr/lib/postgresql/*/bin/postgres", 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            std::string path = found.gl_pathv[i];
            std::string dir = path.substr(0, path.size() - std::string("/postgres").size());
            if (access((dir + "/initdb").c_str(), X_OK) != 0) continue;
            auto version = [](const std::string& d) { return std::atoi(d.c_str() + std::string("/usr/lib/postgresql/").size()); };
            if (best.empty() || version(dir) > version(best)) best = dir;
        }
        globfree(&found);
    }
    return best;
}

bool AsRoot() { return geteuid() == 0; }

// A directory the server's user may write.
bool GiveToServerUser(const std::string& path) { return !AsRoot() || chown(path.c_str(), kNobody, kNobody) == 0; }

bool Run(const std::vector<std::string>& argv, std::string* why, bool asServerUser) {
    proc::Options options;
    options.asNobody = asServerUser && AsRoot();
    proc::Finished done = proc::Run(argv, 120, options);
    if (done.status == 0) return true;
    *why = argv[0] + " failed (status " + std::to_string(done.status) + "): " + done.out + done.err;
    return false;
}

}  // namespace

Cluster* Cluster::Shared(std::string* why) {
    static std::unique_ptr<Cluster> shared;
    static std::string failure;
    if (!shared && failure.empty()) {
        std::unique_ptr<Cluster> cluster(new Cluster);
        if (cluster->Prepare(&failure) && cluster->Start()) shared = std::move(cluster);
        else if (failure.empty()) failure = "PostgreSQL did not start: " + e2e::ReadFile(cluster->m_dir / "postgres.log");
    }
    if (!shared && why) *why = failure;
    return shared.get();
}

Cluster::~Cluster() {
    if (m_owner == getpid()) Stop();
}

// initdb once per build tree (it takes seconds), under a lock that other test
// processes wait for; then a copy of that data directory for this process.
bool Cluster::Prepare(std::string* why) {
    m_owner = getpid();
    m_bin = ServerBin();
    if (m_bin.empty()) {
        *why = "PostgreSQL is not installed (scripts/test-all installs postgresql-15)";
        return false;
    }
    std::string templateDir = std::string(VELMOX_BUILD_DIR) + "/tests/pg-template";
    int lock = open((templateDir + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        *why = "cannot lock " + templateDir + ".lock";
        if (lock >= 0) close(lock);
        return false;
    }
    bool ok = true;
    if (!e2e::FileExists(templateDir + "/PG_VERSION")) {
        std::string init = m_dir / "init";
        ok = GiveToServerUser(m_dir.path()) &&
             Run({m_bin + "/initdb", "-D", init, "-A", "trust", "-U", kUser, "-E", "UTF8", "--locale=C.UTF-8",
                  "--no-sync", "--no-instructions"},
                 why, true) &&
             Run({"/bin/rm", "-rf", templateDir + ".new"}, why, false) &&
             Run({"/bin/cp", "-a", init, templateDir + ".new"}, why, false) &&
             rename((templateDir + ".new").c_str(), templateDir.c_str()) == 0 &&
             Run({"/bin/rm", "-rf", init}, why, false);
    }
    flock(lock, LOCK_UN);
    close(lock);
    return ok && GiveToServerUser(m_dir.path()) && Run({"/bin/cp", "-a", templateDir, m_dir / "data"}, why, false);
}

bool Cluster::Start() {
    if (m_pid > 0) return true;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (m_port == 0 || attempt > 0) m_port = e2e::FreeLoopbackPort();
        proc::Options options;
        options.asNobody = AsRoot();
        options.dieWithTest = true;
        options.deathSignal = SIGINT;  // fast shutdown: nothing of it stays
        options.outFile = m_dir / "postgres.log";
        options.errToOut = true;
        m_pid = proc::Start({m_bin + "/postgres", "-D", m_dir / "data", "-k", m_dir.path(), "-h", "127.0.0.1", "-p",
                             std::to_string(m_port), "-c", "fsync=off", "-c", "max_connections=200"},
                            options);
        long long deadline = e2e::NowMs() + 60000;
        while (m_pid > 0 && e2e::NowMs() < deadline) {
            if (Session(Uri("postgres")).ok()) return true;
            // Ended: the port was taken meanwhile, most likely.
            if (!proc::StillRunning(m_pid, 0.05)) {
                proc::Wait(m_pid, 1);
                m_pid = -1;
            }
        }
        if (m_pid > 0) {
            Stop();
            return false;
        }
    }
    return false;
}

bool Cluster::Stop() {
    if (m_pid <= 0) return true;
    int status = proc::Stop(m_pid, 60, SIGINT);
    m_pid = -1;
    return status == 0;
}

std::string Cluster::Uri(const std::string& database) const {
    return std::string("postgresql://") + kUser + "@127.0.0.1:" + std::to_string(m_port) + "/" + database;
}

std::string Cluster::NewDatabase() {
    std::string name = "vxt_" + std::to_string(getpid()) + "_" + std::to_string(++m_databases);
    Session admin(Uri("postgres"));
    return admin.Exec("CREATE DATABASE " + name + " ENCODING 'UTF8' TEMPLATE template0") ? name : "";
}

bool Cluster::DropDatabase(const std::string& database) {
    Session admin(Uri("postgres"));
    return admin.Exec("DROP DATABASE IF EXISTS " + database + " WITH (FORCE)");
}

// ----------------------------------------------------------------- session

Session::Session(const std::string& uri) : m_conn(PQconnectdb(uri.c_str())) {
    if (m_conn) PQsetNoticeProcessor(m_conn, Quiet, nullptr);
    if (!ok()) m_error = m_conn ? PQerrorMessage(m_conn) : "out of memory";
}

Session::~Session() { PQfinish(m_conn); }

bool Session::ok() const { return m_conn && PQstatus(m_conn) == CONNECTION_OK; }

bool Session::Exec(const std::string& sql) {
    if (!ok()) return false;
    PGresult* result = PQexec(m_conn, sql.c_str());
    ExecStatusType status = PQresultStatus(result);
    bool done = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!done) m_error = PQresultErrorMessage(result);
    PQclear(result);
    return done;
}

std::vector<std::string> Session::Column(const std::string& sql) {
    std::vector<std::string> values;
    if (!ok()) return values;
    PGresult* result = PQexec(m_conn, sql.c_str());
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(result); ++row) values.push_back(PQgetvalue(result, row, 0));
    } else {
        m_error = PQresultErrorMessage(result);
    }
    PQclear(result);
    return values;
}

}  // namespace pgtest
