// The embedded mail store: one SQLite database file shared by every pipe
// process of the server (and by every server on the host that names it).
//
// The file is in WAL mode, so that readers never wait for the writer and a
// write waits at most the busy time for another process's transaction. Each
// pipe process has its own connection, opened on its first request and again
// after any failure or when the file at the path is no longer the one it
// opened (replaced, restored from a backup); a missing file is reported, never
// made anew, except by CreateSqliteStore at the server's start. A database of
// an older schema is migrated by the first connection that finds it. Texts
// (and owners) are kept as BLOBs, byte for byte; two FTS5 indexes of subject and body, one of words
// as written and one of their stems (porter), are kept up to date by triggers.
// Every value reaches SQL through a bound parameter.
#ifndef VELMOX_SERVER_SQLITE_STORE_H
#define VELMOX_SERVER_SQLITE_STORE_H

#include <map>
#include <memory>
#include <string>

#include "store.h"

struct sqlite3;
struct sqlite3_stmt;

struct SqliteSettings {
    std::string path;
    int busyMs = 5000;  // a write's wait for another's lock
    int maxSizeMb = 0;  // the size the database may grow to; 0: no limit
};

// The version in PRAGMA user_version of a database with this schema.
const int kSqliteSchemaVersion = 2;

// Creates the database file with its schema when it is missing, or checks
// (and completes, or migrates) the schema of the one there. Returns the
// version it found: 0 for a new database, kSqliteSchemaVersion for one of
// this schema, else the version it migrated from. Raises StoreError.
int CreateSqliteStore(const SqliteSettings& settings);

class SqliteStore : public MailStore {
public:
    explicit SqliteStore(SqliteSettings settings);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    Message Save(const MessageChange& change, SaveOutcome* outcome) override;
    Lookup Find(const std::string& owner, const std::string& ident, Message& message) override;
    SearchResult Search(const SearchRequest& request) override;
    std::vector<Message> Latest(const std::string& owner, const std::string& folder, int64_t createdUpTo,
                                int limit) override;
    std::vector<FolderCount> CountByFolder(const std::string& owner) override;
    void ForEachInFolder(const std::string& owner, const std::string& folder, int skip,
                         const std::function<bool(const Message&)>& take) override;
    int64_t AdoptPublic(const std::string& owner) override;
    std::string TakeMigration() override {
        std::string taken = m_foundVersion > 0 ? "from schema version " + std::to_string(m_foundVersion) + " to " +
                                                     std::to_string(kSqliteSchemaVersion)
                                               : "";
        m_foundVersion = -1;
        return taken;
    }

    // Opens the database now, creating the file when `create` is set and it
    // is missing, and completes the schema of an empty one or migrates an
    // older one. Returns the schema version it found (0: none). Raises
    // StoreError.
    int Open(bool create);

private:
    class Query;
    class Transaction;

    // Opens the connection when there is none or the file at the path is no
    // longer the one it has open.
    void Connect(bool create = false);
    void Configure();
    int64_t SchemaVersion();
    // The version found when it is older than this schema's, else -1;
    // raises for a database of another program or a newer schema.
    int CheckSchema();
    // Runs the schema's steps from the version there, in one transaction.
    void UpgradeSchema();
    void Disconnect();
    // Runs a statement that returns nothing (or rows that do not matter).
    void Execute(const char* sql);
    // A prepared statement of the connection, kept until it closes.
    sqlite3_stmt* Prepare(const char* sql);
    // Raises the StoreError for the connection's last failure in `call`,
    // closing the connection first so that the next operation reopens it.
    [[noreturn]] void Fail(const char* call, int code);
    // Runs `work` inside a connection, turning an allocation failure into a
    // StoreError and closing the connection after any failure.
    template <class Work>
    auto Guarded(Work work) -> decltype(work());

    SqliteSettings m_settings;
    sqlite3* m_db = nullptr;
    unsigned long long m_device = 0, m_inode = 0;  // the file m_db has open
    int m_foundVersion = -1;  // what the last connection found, when older than this schema
    std::map<const char*, sqlite3_stmt*> m_statements;
};

#endif
