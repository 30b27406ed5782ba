// The mail store on a PostgreSQL database server, shared by the servers of
// several hosts: every pipe process of every host has its own connection
// (libpq), opened on its first request and again after a failure that cost
// it the connection. The request that meets a lost connection gets the
// store's error page; the next one connects anew.
//
// The schema carries its version (table velmox_schema) and is made or
// migrated by the first connection that finds it older, under an advisory
// lock, so that servers starting on several hosts at once do it once; a
// database of a newer version, or one with a messages table of another
// program, is refused untouched. Texts are bytea, byte for byte; two
// tsvector columns with GIN indexes find words as written (the simple
// configuration) and their variants (Snowball's english stemmer), the
// subject weighted; search_text.h gives the database the words and draws
// the snippets as the embedded store does, so that both give the same pages
// for the same mail. Saves from any number of hosts at once neither lose nor
// duplicate a message: a Save of a new ident that another host makes
// meanwhile becomes an update of it. Every value reaches SQL as a bound
// parameter.
#ifndef VELMOX_SERVER_PG_STORE_H
#define VELMOX_SERVER_PG_STORE_H

#include <map>
#include <string>
#include <vector>

#include "store.h"

struct pg_conn;
struct pg_result;

struct PgSettings {
    std::string uri;    // a libpq connection URI: postgresql://[user@]host[:port]/database[?...]
    int busyMs = 5000;  // a write's wait for another's lock
};

// The schema's version in velmox_schema of a database this server made.
const int kPgSchemaVersion = 2;

// Connects, and makes or migrates the schema. Returns the version it found:
// 0 for an empty database, kPgSchemaVersion for one of this schema, else
// the version it migrated from. Raises StoreError.
int CreatePgStore(const PgSettings& settings);

class PgStore : public MailStore {
public:
    explicit PgStore(PgSettings settings);
    ~PgStore() override;
    PgStore(const PgStore&) = delete;
    PgStore& operator=(const PgStore&) = delete;

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
                                                     std::to_string(kPgSchemaVersion)
                                               : "";
        m_foundVersion = -1;
        return taken;
    }

    // Connects now (when not connected) and checks the schema; returns the
    // version the connection found (as CreatePgStore). Raises StoreError.
    int Open();

private:
    class Params;
    class Rows;
    class Transaction;

    void Connect();
    void CheckSchema();
    void Disconnect();
    // Runs a statement with its parameters; raises StoreError on failure.
    Rows Run(const char* sql, const Params& params);
    Rows Run(const char* sql);
    [[noreturn]] void Fail(const char* call, pg_result* result);
    template <class Work>
    auto Guarded(Work work) -> decltype(work());

    PgSettings m_settings;
    std::string m_name;  // the URI as logs show it
    pg_conn* m_conn = nullptr;
    int m_foundVersion = -1;  // what the last connection found, when older than this schema
    std::map<const char*, std::string> m_prepared;  // statement text -> its name on this connection
};

#endif
