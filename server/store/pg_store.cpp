#include "pg_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "pg_sql.h"
#include "search_text.h"
#include "store.h"

using namespace pg_sql;

namespace {

const Oid kByteaType = 17;  // pg_type.h's BYTEAOID
// Saves of an ident that other hosts make at the same moment: a new try
// finds the message and updates it.
const int kSaveTries = 3;

// SQLSTATE classes and codes (PostgreSQL's errcodes) an operator must tell apart.
StoreError::Kind KindOf(const char* state) {
    std::string code = state ? state : "";
    if (code.compare(0, 2, "08") == 0 || code == "57P01" || code == "57P02" || code == "57P03")
        return StoreError::kUnreachable;
    if (code == "55P03" || code == "40001" || code == "40P01" || code == "57014") return StoreError::kBusy;
    if (code == "25006") return StoreError::kReadOnly;
    if (code == "53100") return StoreError::kFull;
    if (code == "3D000") return StoreError::kMissing;
    if (code == "42P01" || code == "42703" || code == "42704" || code == "42804") return StoreError::kDamaged;
    return StoreError::kFailed;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

void IgnoreNotice(void*, const char*) {}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

// ------------------------------------------------------------------ pieces

// A statement's parameters: texts, bytes (sent as binary, so that any byte
// arrives as it is) and numbers.
class PgStore::Params {
public:
    Params& Text(const std::string& text) { return Add(text, 0); }
    Params& Bytes(const std::string& bytes) { return Add(bytes, 1); }
    Params& Int(int64_t value) { return Add(std::to_string(value), 0); }

    int count() const { return int(m_values.size()); }
    std::vector<const char*> Values() const {
        std::vector<const char*> values;
        for (const std::string& v : m_values) values.push_back(v.data());
        return values;
    }
    std::vector<int> Lengths() const {
        std::vector<int> lengths;
        for (const std::string& v : m_values) lengths.push_back(int(v.size()));
        return lengths;
    }
    const std::vector<int>& Formats() const { return m_formats; }

private:
    Params& Add(std::string value, int format) {
        m_values.push_back(std::move(value));
        m_formats.push_back(format);
        return *this;
    }
    std::vector<std::string> m_values;
    std::vector<int> m_formats;
};

// The rows of a statement's result, which it owns.
class PgStore::Rows {
public:
    explicit Rows(PGresult* result) : m_result(result) {}
    ~Rows() { PQclear(m_result); }
    Rows(Rows&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    Rows& operator=(Rows&&) = delete;

    int size() const { return PQntuples(m_result); }
    pg_result* result() const { return m_result; }
    bool Null(int row, int column) const { return PQgetisnull(m_result, row, column) != 0; }
    // A text as it is, a bytea decoded from its hexadecimal form.
    std::string Bytes(int row, int column) const {
        const char* value = PQgetvalue(m_result, row, column);
        size_t length = size_t(PQgetlength(m_result, row, column));
        if (PQftype(m_result, column) != kByteaType || length < 2 || value[0] != '\\' || value[1] != 'x')
            return std::string(value, length);
        std::string bytes;
        bytes.reserve((length - 2) / 2);
        for (size_t i = 2; i + 1 < length; i += 2) bytes += char(HexValue(value[i]) * 16 + HexValue(value[i + 1]));
        return bytes;
    }
    int64_t Int(int row, int column) const { return std::strtoll(PQgetvalue(m_result, row, column), nullptr, 10); }
    bool Bool(int row, int column) const { return PQgetvalue(m_result, row, column)[0] == 't'; }
    // Columns 0 to 6, and column 7 as the body.
    Message MessageAt(int row) const {
        Message m;
        m.ident = Bytes(row, 0);
        m.folder = Bytes(row, 1);
        m.sender = Bytes(row, 2);
        m.recipient = Bytes(row, 3);
        m.subject = Bytes(row, 4);
        m.created = Int(row, 5);
        m.saved = Int(row, 6);
        m.body = Bytes(row, 7);
        return m;
    }

private:
    PGresult* m_result;
};

// A transaction that rolls back unless committed (a connection that was
// lost has ended it already).
class PgStore::Transaction {
public:
    Transaction(PgStore& store, const char* begin) : m_store(store), m_conn(store.m_conn) { m_store.Run(begin); }
    ~Transaction() {
        if (!m_done && m_store.m_conn == m_conn && PQstatus(m_conn) == CONNECTION_OK)
            PQclear(PQexec(m_conn, kRollback));
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        m_store.Run(kCommit);
        m_done = true;
    }

private:
    PgStore& m_store;
    PGconn* m_conn;
    bool m_done = false;
};

// --------------------------------------------------------------- connection

int CreatePgStore(const PgSettings& settings) { return PgStore(settings).Open(); }

PgStore::PgStore(PgSettings settings) : m_settings(std::move(settings)), m_name(RedactedUri(m_settings.uri)) {}

PgStore::~PgStore() { Disconnect(); }

int PgStore::Open() {
    m_foundVersion = -1;
    Guarded([] { return 0; });
    return m_foundVersion < 0 ? kPgSchemaVersion : m_foundVersion;
}

void PgStore::Disconnect() {
    if (m_conn) PQfinish(m_conn);
    m_conn = nullptr;
    m_prepared.clear();
}

void PgStore::Fail(const char* call, PGresult* result) {
    std::string message = Trimmed(result ? PQresultErrorMessage(result) : "");
    if (message.empty() && m_conn) message = Trimmed(PQerrorMessage(m_conn));
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    StoreError::Kind kind = KindOf(state);
    std::string code = state ? std::string(" (SQLSTATE ") + state + ")" : "";
    PQclear(result);
    // A connection that is gone is made anew by the next operation.
    if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
        kind = StoreError::kUnreachable;
        Disconnect();
    }
    throw StoreError(kind, std::string(call) + " on " + m_name + ": " + message + code);
}

void PgStore::Connect() {
    if (m_conn && PQstatus(m_conn) == CONNECTION_OK) return;
    Disconnect();
    // The URI's own settings come last and win.
    const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"10", "velmox-server", m_settings.uri.c_str(), nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    if (!m_conn) throw std::bad_alloc();
    if (PQstatus(m_conn) != CONNECTION_OK) {
        std::string message = Trimmed(PQerrorMessage(m_conn));
        Disconnect();
        StoreError::Kind kind = message.find("does not exist") != std::string::npos ? StoreError::kMissing
                                : message.find("authentication") != std::string::npos ||
                                        message.find("password") != std::string::npos
                                    ? StoreError::kFailed
                                    : StoreError::kUnreachable;
        throw StoreError(kind, "connect to " + m_name + ": " + message);
    }
    PQsetNoticeProcessor(m_conn, IgnoreNotice, nullptr);
    const char* encoding = PQparameterStatus(m_conn, "server_encoding");
    if (!encoding || std::strcmp(encoding, "UTF8") != 0) {
        std::string found = encoding ? encoding : "unknown";
        Disconnect();
        throw StoreError(StoreError::kFailed, "the database " + m_name + " has the encoding " + found +
                                                  "; the mail store needs UTF8 (createdb -E UTF8)");
    }
    if (PQsetClientEncoding(m_conn, "UTF8") != 0) Fail("set the client encoding", nullptr);
    // A SET takes no parameters: the number is the program's own, never a
    // request's text. lock_timeout 0 would wait for ever.
    std::string settings = "SET lock_timeout = " + std::to_string(std::max(1, m_settings.busyMs)) +
                           "; SET bytea_output = hex; SET client_min_messages = warning";
    PGresult* result = PQexec(m_conn, settings.c_str());
    if (PQresultStatus(result) != PGRES_COMMAND_OK) Fail("set up the connection", result);
    PQclear(result);
    CheckSchema();
}

void PgStore::CheckSchema() {
    Transaction transaction(*this, kBegin);
    Run(kLockSchema);
    // The version is the number of steps done; no table, none.
    int version = 0;
    {
        Rows there = Run(kTablesThere);
        bool schemaTable = there.Bool(0, 0), messages = there.Bool(0, 1);
        if (schemaTable) {
            Rows found = Run(kSchemaVersion);
            version = found.Null(0, 0) ? -1 : int(found.Int(0, 0));
        }
        std::string refusal = !schemaTable && messages ? "holds a messages table of another program"
                              : schemaTable && version < 1 ? "has a velmox_schema table of no version"
                              : version > kPgSchemaVersion
                                  ? "has schema version " + std::to_string(version) + "; this server knows version " +
                                        std::to_string(kPgSchemaVersion)
                                  : "";
        if (!refusal.empty()) {
            Disconnect();
            throw StoreError(StoreError::kDamaged, "the database " + m_name + " " + refusal);
        }
    }
    if (version == kPgSchemaVersion) {
        transaction.Commit();
        return;
    }
    // Every step in one transaction: a migration is done whole or not at all.
    for (int step = version; step < kSchemaStepCount; ++step) {
        PGresult* result = PQexec(m_conn, kSchemaSteps[step]);
        if (PQresultStatus(result) != PGRES_COMMAND_OK) Fail("make the schema", result);
        PQclear(result);
    }
    Run(kStampVersion, Params().Int(kPgSchemaVersion));
    transaction.Commit();
    m_foundVersion = version;
}

PgStore::Rows PgStore::Run(const char* sql) { return Run(sql, Params()); }

PgStore::Rows PgStore::Run(const char* sql, const Params& params) {
    if (!m_conn) Fail("run a statement", nullptr);
    auto prepared = m_prepared.find(sql);
    if (prepared == m_prepared.end()) {
        std::string name = "velmox_" + std::to_string(m_prepared.size());
        PGresult* result = PQprepare(m_conn, name.c_str(), sql, params.count(), nullptr);
        if (PQresultStatus(result) != PGRES_COMMAND_OK) Fail("prepare", result);
        PQclear(result);
        prepared = m_prepared.emplace(sql, name).first;
    }
    std::vector<const char*> values = params.Values();
    std::vector<int> lengths = params.Lengths();
    PGresult* result = PQexecPrepared(m_conn, prepared->second.c_str(), params.count(), values.data(), lengths.data(),
                                      params.Formats().data(), 0);
    ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail("run a statement", result);
    return Rows(result);
}

template <class Work>
auto PgStore::Guarded(Work work) -> decltype(work()) {
    try {
        Connect();
        return work();
    } catch (const StoreError&) {
        throw;
    } catch (const std::bad_alloc&) {
        Disconnect();
        throw StoreError(StoreError::kFailed, "out of memory while using " + m_name);
    }
}

// --------------------------------------------------------------- operations

Message PgStore::Save(const MessageChange& change, SaveOutcome* outcome) {
    return Guarded([&] {
        Transaction transaction(*this, kBegin);
        Message m;
        bool found = false, inserted = false;
        for (int attempt = 0; attempt < kSaveTries && !found && !inserted; ++attempt) {
            {
                Rows locked = Run(kLockIdent, Params().Text(change.ident).Bytes(change.owner));
                if (locked.size() > 0 && !locked.Bool(0, 0)) {
                    if (outcome) *outcome = SaveOutcome::kOthers;
                    return Message();
                }
                if (locked.size() > 0) {
                    Rows rows = Run(kFind, Params().Text(change.ident).Bytes(change.owner));
                    found = rows.size() > 0;
                    if (found) m = rows.MessageAt(0);
                }
            }
            int64_t now = StoreNowMs();
            if (found) {
                m.owner = change.owner;
                ApplyChange(change, now, m);
                Run(kUpdate, Params()
                                 .Text(m.ident)
                                 .Text(m.folder)
                                 .Bytes(m.recipient)
                                 .Bytes(m.subject)
                                 .Bytes(m.body)
                                 .Int(m.saved)
                                 .Text(IndexText(m.subject))
                                 .Text(IndexText(m.body))
                                 .Bytes(m.owner));
                break;
            }
            // Creation times are distinct within an owner's folder, so that a
            // list drawn up to one of them is the same list later (Latest).
            Run(kLockFolder, Params().Text(change.folder).Bytes(change.owner));
            int64_t newest = 0;
            {
                Rows rows = Run(kNewestCreated, Params().Text(change.folder).Bytes(change.owner));
                if (!rows.Null(0, 0)) newest = rows.Int(0, 0);
            }
            m = NewMessage(change, std::max(now, newest + 1));
            Rows rows = Run(kInsert, Params()
                                         .Text(m.ident)
                                         .Text(m.folder)
                                         .Bytes(m.sender)
                                         .Bytes(m.recipient)
                                         .Bytes(m.subject)
                                         .Bytes(m.body)
                                         .Int(m.created)
                                         .Int(m.saved)
                                         .Text(IndexText(m.subject))
                                         .Text(IndexText(m.body))
                                         .Bytes(m.owner));
            inserted = rows.size() > 0;
        }
        if (!found && !inserted)
            throw StoreError(StoreError::kBusy, "save of " + change.ident + " on " + m_name +
                                                    ": other saves of the same ident kept coming first");
        transaction.Commit();
        if (outcome) *outcome = found ? SaveOutcome::kUpdated : SaveOutcome::kCreated;
        return m;
    });
}

Lookup PgStore::Find(const std::string& owner, const std::string& ident, Message& message) {
    return Guarded([&] {
        {
            Rows rows = Run(kFind, Params().Text(ident).Bytes(owner));
            if (rows.size() > 0) {
                message = rows.MessageAt(0);
                message.owner = owner;
                return Lookup::kFound;
            }
        }
        return Run(kTaken, Params().Text(ident)).size() > 0 ? Lookup::kOthers : Lookup::kNone;
    });
}

SearchResult PgStore::Search(const SearchRequest& request) {
    return Guarded([&] {
        SearchResult result;
        // The count and the page come from one snapshot.
        Transaction transaction(*this, kBeginSnapshot);
        std::string text;
        for (const std::string& word : request.words) {
            std::string indexed = IndexText(word);
            if (indexed.empty()) continue;
            if (!text.empty()) text += ' ';
            text += indexed;
        }
        bool words = !request.words.empty();
        int variants = request.wordVariants ? 1 : 0;
        {
            Params params;
            params.Text(request.folder);
            if (words) params.Text(text);
            Rows rows = Run(words ? kHitCount[variants] : kListCount, params.Bytes(request.owner));
            result.matching = int(std::min<int64_t>(rows.Int(0, 0), INT32_MAX));
        }
        int wanted = PageLength(request, result.matching);
        if (wanted > 0) {
            int order = std::min(2, std::max(0, int(request.order) - 1));
            const char* sql = words ? kHits[variants][order] : kList[request.order == SearchOrder::kOldest ? 1 : 0];
            Params params;
            params.Text(request.folder);
            if (words) params.Text(text);
            Rows rows = Run(sql, params.Int(wanted).Int(request.offset).Bytes(request.owner));
            for (int row = 0; row < rows.size(); ++row) {
                SearchHit hit;
                hit.message = rows.MessageAt(row);
                hit.message.owner = request.owner;
                if (words) {
                    std::vector<FoundWord> found;
                    std::string list = rows.Null(row, 8) ? "" : rows.Bytes(row, 8);
                    for (const char* at = list.c_str(); *at;) {
                        char* end = nullptr;
                        FoundWord f;
                        f.position = int(std::strtol(at, &end, 10)) - 1;
                        if (*end == ':') f.term = int(std::strtol(end + 1, &end, 10));
                        found.push_back(f);
                        at = end + std::strspn(end, " ");
                        if (end == at && *at) break;
                    }
                    hit.snippet = Snippet(hit.message.body, found);
                } else {
                    hit.snippet = std::move(hit.message.body);
                }
                hit.message.body.clear();
                result.hits.push_back(std::move(hit));
            }
        }
        transaction.Commit();
        return result;
    });
}

std::vector<Message> PgStore::Latest(const std::string& owner, const std::string& folder, int64_t createdUpTo,
                                     int limit) {
    return Guarded([&] {
        std::vector<Message> list;
        Rows rows = Run(kLatest, Params().Text(folder).Int(createdUpTo).Int(limit).Bytes(owner));
        for (int row = 0; row < rows.size(); ++row) {
            list.push_back(rows.MessageAt(row));
            list.back().owner = owner;
        }
        return list;
    });
}

std::vector<FolderCount> PgStore::CountByFolder(const std::string& owner) {
    return Guarded([&] {
        std::vector<FolderCount> counts;
        Rows rows = Run(kCount, Params().Bytes(owner));
        for (int row = 0; row < rows.size(); ++row) counts.push_back({rows.Bytes(row, 0), rows.Int(row, 1), rows.Int(row, 2)});
        return counts;
    });
}

void PgStore::ForEachInFolder(const std::string& owner, const std::string& folder, int skip,
                              const std::function<bool(const Message&)>& take) {
    Guarded([&] {
        Transaction transaction(*this, kBeginSnapshot);
        Run(kInFolder, Params().Text(folder).Int(skip).Bytes(owner));
        for (bool more = true; more;) {
            Rows rows = Run(kFetch);
            more = rows.size() > 0;
            for (int row = 0; row < rows.size() && more; ++row) {
                Message m = rows.MessageAt(row);
                m.owner = owner;
                more = take(m);
            }
        }
        transaction.Commit();
        return 0;
    });
}

int64_t PgStore::AdoptPublic(const std::string& owner) {
    return Guarded([&] {
        Rows rows = Run(kAdopt, Params().Bytes(owner));
        return int64_t(std::strtoll(PQcmdTuples(rows.result()), nullptr, 10));
    });
}
