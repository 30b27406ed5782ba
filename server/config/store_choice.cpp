#include "store_choice.h"

#include "log.h"
#include "options.h"
#include "sqlite_store.h"
#ifdef VELMOX_WITH_POSTGRESQL
#include "pg_store.h"
#endif

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
