#include "sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "sqlite_sql.h"

using namespace sqlite_sql;

namespace {

StoreError::Kind KindOf(int code) {
    switch (code & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return StoreError::kBusy;
        case SQLITE_READONLY: return StoreError::kReadOnly;
        case SQLITE_FULL: return StoreError::kFull;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
        case SQLITE_FORMAT: return StoreError::kDamaged;
        default: return StoreError::kFailed;
    }
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// The FTS5 expression that finds every word: each one a quoted string
// (quotes doubled), so that nothing in it counts as query syntax.
std::string MatchExpression(const std::vector<std::string>& words) {
    std::string expression;
    for (const std::string& word : words) {
        if (!expression.empty()) expression += ' ';
        expression += '"';
        for (char c : word) {
            if (c == '"') expression += '"';
            expression += c;
        }
        expression += '"';
    }
    return expression;
}

}  // namespace

// ------------------------------------------------------------------ queries

// One run of a prepared statement: binds, steps, reads columns, and resets
// the statement when it goes (unless the connection went first).
class SqliteStore::Query {
public:
    Query(SqliteStore& store, const char* sql) : m_store(store), m_stmt(store.Prepare(sql)), m_db(store.m_db) {}
    ~Query() {
        if (m_store.m_db == m_db) {
            sqlite3_reset(m_stmt);
            sqlite3_clear_bindings(m_stmt);
        }
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    // Bytes as a BLOB, exactly; an empty one is a BLOB of no bytes, not NULL.
    Query& Bytes(int index, const std::string& bytes) {
        return Check(sqlite3_bind_blob(m_stmt, index, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT));
    }
    Query& Text(int index, const std::string& text) {
        return Check(sqlite3_bind_text(m_stmt, index, text.data(), int(text.size()), SQLITE_TRANSIENT));
    }
    Query& Int(int index, int64_t value) { return Check(sqlite3_bind_int64(m_stmt, index, value)); }

    // True with a row to read, false at the end.
    bool Step() {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        m_store.Fail("step", rc);
    }
    void Run() {
        while (Step()) {
        }
    }

    std::string ColumnBytes(int column) const {
        const void* data = sqlite3_column_blob(m_stmt, column);
        int length = sqlite3_column_bytes(m_stmt, column);
        return data ? std::string(static_cast<const char*>(data), size_t(length)) : std::string();
    }
    int64_t ColumnInt(int column) const { return sqlite3_column_int64(m_stmt, column); }

    // Columns 0 to 6, and column 7 as the body.
    Message ColumnMessage() const {
        Message m;
        m.ident = ColumnBytes(0);
        m.folder = ColumnBytes(1);
        m.sender = ColumnBytes(2);
        m.recipient = ColumnBytes(3);
        m.subject = ColumnBytes(4);
        m.created = ColumnInt(5);
        m.saved = ColumnInt(6);
        m.body = ColumnBytes(7);
        return m;
    }

private:
    Query& Check(int rc) {
        if (rc != SQLITE_OK) m_store.Fail("bind", rc);
        return *this;
    }

    SqliteStore& m_store;
    sqlite3_stmt* m_stmt;
    sqlite3* m_db;
};

// A transaction that rolls back unless committed (a connection closed after
// a failure has rolled it back already).
class SqliteStore::Transaction {
public:
    Transaction(SqliteStore& store, const char* begin) : m_store(store), m_db(store.m_db) { m_store.Execute(begin); }
    ~Transaction() {
        if (!m_done && m_store.m_db == m_db) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        m_store.Execute(kCommit);
        m_done = true;
    }

private:
    SqliteStore& m_store;
    sqlite3* m_db;
    bool m_done = false;
};

// --------------------------------------------------------------- connection

int CreateSqliteStore(const SqliteSettings& settings) { return SqliteStore(settings).Open(true); }

SqliteStore::SqliteStore(SqliteSettings settings) : m_settings(std::move(settings)) {}

SqliteStore::~SqliteStore() { Disconnect(); }

int SqliteStore::Open(bool create) {
    try {
        m_foundVersion = -1;
        Connect(create);
        return m_foundVersion < 0 ? kSqliteSchemaVersion : m_foundVersion;
    } catch (const std::bad_alloc&) {
        Disconnect();
        throw StoreError(StoreError::kFailed, "out of memory while opening " + m_settings.path);
    }
}

void SqliteStore::Disconnect() {
    for (auto& entry : m_statements) sqlite3_finalize(entry.second);
    m_statements.clear();
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
}

void SqliteStore::Fail(const char* call, int code) {
    std::string message = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
    StoreError::Kind kind = KindOf(code);
    if ((code & 0xff) == SQLITE_CANTOPEN && !FileExists(m_settings.path)) kind = StoreError::kMissing;
    // SQLite makes the -wal and -shm files with the database's permissions:
    // one made while the database was read-only keeps it so.
    if (kind == StoreError::kReadOnly)
        for (const char* suffix : {"-wal", "-shm"}) {
            std::string file = m_settings.path + suffix;
            if (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0)
                message += "; " + file + " is read-only";
        }
    Disconnect();
    throw StoreError(kind, std::string(call) + " on " + m_settings.path + ": " + message + " (SQLite code " +
                               std::to_string(code) + ")");
}

sqlite3_stmt* SqliteStore::Prepare(const char* sql) {
    auto found = m_statements.find(sql);
    if (found != m_statements.end()) return found->second;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        m_statements[sql] = stmt;
        return stmt;
    }
    // A statement of this schema that does not compile: the tables are not
    // the ones this server made.
    if ((rc & 0xff) != SQLITE_ERROR) Fail("prepare", rc);
    std::string message = sqlite3_errmsg(m_db);
    Disconnect();
    throw StoreError(StoreError::kDamaged,
                     "prepare on " + m_settings.path + ": " + message + " (the tables are not this server's)");
}

void SqliteStore::Execute(const char* sql) { Query(*this, sql).Run(); }

void SqliteStore::Connect(bool create) {
    struct stat st;
    if (stat(m_settings.path.c_str(), &st) != 0) {
        int error = errno;
        Disconnect();
        if (error != ENOENT)
            throw StoreError(StoreError::kFailed, "stat " + m_settings.path + ": " + std::strerror(error));
        if (!create) throw StoreError(StoreError::kMissing, "the database " + m_settings.path + " does not exist");
    }
    if (m_db && (st.st_dev != m_device || st.st_ino != m_inode)) Disconnect();
    // A connection opened while the file could not be written stays
    // read-only: it is opened again once the file can be.
    if (m_db && sqlite3_db_readonly(m_db, "main") == 1 && access(m_settings.path.c_str(), W_OK) == 0) Disconnect();
    if (m_db) return;

    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(m_settings.path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) Fail("open", rc);
    if (stat(m_settings.path.c_str(), &st) != 0) Fail("open", SQLITE_CANTOPEN);
    m_device = st.st_dev;
    m_inode = st.st_ino;
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, m_settings.busyMs);
    // A database of another program is refused before anything is changed.
    int found = CheckSchema();
    Configure();
    if (found >= 0) {
        UpgradeSchema();
        m_foundVersion = found;
    }
}

void SqliteStore::Configure() {
    // WAL is a property of the file, set once; a file made elsewhere is
    // switched over here.
    std::string mode;
    {
        Query query(*this, "PRAGMA journal_mode");
        if (query.Step()) mode = query.ColumnBytes(0);
    }
    if (mode != "wal") Execute("PRAGMA journal_mode = WAL");
    // A commit is on the disk before the page says the message is saved.
    Execute("PRAGMA synchronous = FULL");
    if (m_settings.maxSizeMb <= 0) return;
    int64_t pageSize = 4096;
    {
        Query query(*this, "PRAGMA page_size");
        if (query.Step()) pageSize = std::max<int64_t>(512, query.ColumnInt(0));
    }
    // A PRAGMA takes no parameters: the number is the program's own,
    // formatted here, never a request's text.
    std::string limit = "PRAGMA max_page_count = " + std::to_string(int64_t(m_settings.maxSizeMb) * 1048576 / pageSize);
    int rc = sqlite3_exec(m_db, limit.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail("set the size limit", rc);
}

int64_t SqliteStore::SchemaVersion() {
    Query query(*this, "PRAGMA user_version");
    return query.Step() ? query.ColumnInt(0) : 0;
}

int SqliteStore::CheckSchema() {
    int64_t version = SchemaVersion();
    if (version == kSqliteSchemaVersion) return -1;
    int64_t tables = 0;
    {
        Query query(*this, "SELECT count(*) FROM sqlite_schema");
        if (query.Step()) tables = query.ColumnInt(0);
    }
    if (version == 0 && tables == 0) return 0;
    if (version > 0 && version < kSqliteSchemaVersion) return int(version);
    std::string what = version != 0 ? "has schema version " + std::to_string(version) + "; this server knows version " +
                                          std::to_string(kSqliteSchemaVersion)
                                    : "holds tables of another program";
    Disconnect();
    throw StoreError(StoreError::kDamaged, "the database " + m_settings.path + " " + what);
}

// Every step in one transaction: a migration is done whole or not at all.
void SqliteStore::UpgradeSchema() {
    Transaction transaction(*this, kBeginWrite);
    // Another process may have done it meanwhile.
    for (int64_t version = SchemaVersion(); version < kSqliteSchemaVersion; ++version) {
        int rc = sqlite3_exec(m_db, kSchemaSteps[version], nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) Fail(version == 0 ? "create the schema" : "migrate the schema", rc);
        if (SchemaVersion() != version + 1) Fail("stamp the schema", SQLITE_INTERNAL);
    }
    transaction.Commit();
}

template <class Work>
auto SqliteStore::Guarded(Work work) -> decltype(work()) {
    try {
        Connect();
        return work();
    } catch (const StoreError&) {
        Disconnect();
        throw;
    } catch (const std::bad_alloc&) {
        Disconnect();
        throw StoreError(StoreError::kFailed, "out of memory while using " + m_settings.path);
    }
}

// --------------------------------------------------------------- operations

Message SqliteStore::Save(const MessageChange& change, SaveOutcome* outcome) {
    return Guarded([&] {
        Transaction transaction(*this, kBeginWrite);
        Message m;
        bool found = false;
        {
            Query query(*this, kFind);
            query.Text(1, change.ident).Bytes(2, change.owner);
            found = query.Step();
            if (found) m = query.ColumnMessage();
        }
        if (!found) {
            Query query(*this, kTaken);
            query.Text(1, change.ident);
            if (query.Step()) {
                if (outcome) *outcome = SaveOutcome::kOthers;
                return Message();
            }
        }
        int64_t now = StoreNowMs();
        if (found) {
            m.owner = change.owner;
            ApplyChange(change, now, m);
            Query query(*this, kUpdate);
            query.Text(1, m.ident).Text(2, m.folder).Bytes(3, m.recipient).Bytes(4, m.subject).Bytes(5, m.body);
            query.Int(6, m.saved).Bytes(7, m.owner).Run();
        } else {
            // Creation times are distinct within an owner's folder, so that a
            // list drawn up to one of them is the same list later (Latest).
            int64_t newest = 0;
            {
                Query query(*this, kNewestCreated);
                query.Text(1, change.folder).Bytes(2, change.owner);
                if (query.Step()) newest = query.ColumnInt(0);
            }
            m = NewMessage(change, std::max(now, newest + 1));
            Query query(*this, kInsert);
            query.Text(1, m.ident).Text(2, m.folder).Bytes(3, m.sender).Bytes(4, m.recipient).Bytes(5, m.subject);
            query.Bytes(6, m.body).Int(7, m.created).Int(8, m.saved).Bytes(9, m.owner).Run();
        }
        transaction.Commit();
        if (outcome) *outcome = found ? SaveOutcome::kUpdated : SaveOutcome::kCreated;
        return m;
    });
}

Lookup SqliteStore::Find(const std::string& owner, const std::string& ident, Message& message) {
    return Guarded([&] {
        {
            Query query(*this, kFind);
            query.Text(1, ident).Bytes(2, owner);
            if (query.Step()) {
                message = query.ColumnMessage();
                message.owner = owner;
                return Lookup::kFound;
            }
        }
        Query query(*this, kTaken);
        query.Text(1, ident);
        return query.Step() ? Lookup::kOthers : Lookup::kNone;
    });
}

SearchResult SqliteStore::Search(const SearchRequest& request) {
    return Guarded([&] {
        SearchResult result;
        // The count and the page come from one snapshot.
        Transaction transaction(*this, kBegin);
        bool words = !request.words.empty();
        std::string match = MatchExpression(request.words);
        int variants = request.wordVariants ? 1 : 0;
        {
            Query query(*this, words ? kHitCount[variants] : kListCount);
            query.Text(1, request.folder).Bytes(5, request.owner);
            if (words) query.Text(2, match);
            if (query.Step()) result.matching = int(std::min<int64_t>(query.ColumnInt(0), INT32_MAX));
        }
        int wanted = PageLength(request, result.matching);
        if (wanted > 0) {
            int order = std::min(2, std::max(0, int(request.order) - 1));
            const char* sql = words ? kHits[variants][order] : kList[request.order == SearchOrder::kOldest ? 1 : 0];
            Query query(*this, sql);
            query.Text(1, request.folder).Int(3, wanted).Int(4, request.offset).Bytes(5, request.owner);
            if (words) query.Text(2, match);
            while (query.Step()) {
                SearchHit hit;
                hit.message = query.ColumnMessage();
                hit.message.owner = request.owner;
                hit.snippet = std::move(hit.message.body);
                hit.message.body.clear();
                result.hits.push_back(std::move(hit));
            }
        }
        transaction.Commit();
        return result;
    });
}

std::vector<Message> SqliteStore::Latest(const std::string& owner, const std::string& folder, int64_t createdUpTo,
                                         int limit) {
    return Guarded([&] {
        std::vector<Message> list;
        Query query(*this, kLatest);
        query.Text(1, folder).Int(2, createdUpTo).Int(3, limit).Bytes(4, owner);
        while (query.Step()) {
            list.push_back(query.ColumnMessage());
            list.back().owner = owner;
        }
        return list;
    });
}

std::vector<FolderCount> SqliteStore::CountByFolder(const std::string& owner) {
    return Guarded([&] {
        std::vector<FolderCount> counts;
        Query query(*this, kCount);
        query.Bytes(1, owner);
        while (query.Step()) counts.push_back({query.ColumnBytes(0), query.ColumnInt(1), query.ColumnInt(2)});
        return counts;
    });
}

void SqliteStore::ForEachInFolder(const std::string& owner, const std::string& folder, int skip,
                                  const std::function<bool(const Message&)>& take) {
    Guarded([&] {
        Transaction transaction(*this, kBegin);
        {
            Query query(*this, kInFolder);
            query.Text(1, folder).Int(2, skip).Bytes(3, owner);
            while (query.Step()) {
                Message m = query.ColumnMessage();
                m.owner = owner;
                if (!take(m)) break;
            }
        }
        transaction.Commit();
        return 0;
    });
}

int64_t SqliteStore::AdoptPublic(const std::string& owner) {
    return Guarded([&] {
        Transaction transaction(*this, kBeginWrite);
        Query(*this, kAdopt).Bytes(1, owner).Run();
        int64_t given = sqlite3_changes64(m_db);
        transaction.Commit();
        return given;
    });
}
