#include "store_choice.h"

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

void PrepareMailStore(const ServerOptions& options) {
#ifdef VELMOX_WITH_POSTGRESQL
    if (IsPostgresUri(options.database)) return CreatePgStore(PgSettings{options.database, options.busyMs});
#endif
    CreateSqliteStore(SqliteSettings{options.database, options.busyMs, options.maxSizeMb});
}
