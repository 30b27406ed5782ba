#include "store_choice.h"

#include "log.h"
#include "options.h"
#include "sqlite_store.h"
#ifdef VELMOX_WITH_POSTGRESQL
#include "pg_store.h"
#endif

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

std::string StoreName(const ServerOptions& options) {
    return IsPostgresUri(options.database) ? RedactedUri(options.database) : options.database;
}

std::unique_ptr<MailStore> OpenMailStore(const ServerOptions& options) {
#ifdef VELMOX_WITH_POSTGRESQL
    if (IsPostgresUri(options.database)) return std::make_unique<PgStore>(PgSettings{options.database, options.busyMs});
#endif
    return std::make_unique<SqliteStore>(SqliteSettings{options.database, options.busyMs, options.maxSizeMb});
}

std::vector<std::string> PrepareMailStore(const ServerOptions& options) {
    std::vector<std::string> done;
    int64_t started = StoreNowMs();
    int found = 0, current = 0;
#ifdef VELMOX_WITH_POSTGRESQL
    if (IsPostgresUri(options.database)) {
        found = CreatePgStore(PgSettings{options.database, options.busyMs});
        current = kPgSchemaVersion;
    }
#endif
    if (!IsPostgresUri(options.database)) {
        found = CreateSqliteStore(SqliteSettings{options.database, options.busyMs, options.maxSizeMb});
        current = kSqliteSchemaVersion;
    }
    if (found == 0) done.push_back("made with schema version " + std::to_string(current));
    else if (found < current)
        done.push_back("migrated from schema version " + std::to_string(found) + " to " + std::to_string(current) +
                       " in " + std::to_string(StoreNowMs() - started) +
                       " ms: the messages it held are in the public mailbox");
    if (!options.adopt.empty()) {
        started = StoreNowMs();
        int64_t given = OpenMailStore(options)->AdoptPublic(options.adopt);
        if (given > 0)
            done.push_back(std::to_string(given) + " messages of the public mailbox given to the user " +
                           LogValue(options.adopt.c_str(), 200) + " (--adopt) in " + std::to_string(StoreNowMs() - started) + " ms");
    }
    return done;
}
