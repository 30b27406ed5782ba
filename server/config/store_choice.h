// Which mail store -d names, and making it: a libpq connection URI
// (postgresql://... or postgres://...) names a PostgreSQL database
// (pg_store.h), anything else an SQLite database file (sqlite_store.h).
#ifndef VELMOX_SERVER_STORE_CHOICE_H
#define VELMOX_SERVER_STORE_CHOICE_H

#include <memory>
#include <string>
#include <vector>

#include "store.h"

struct ServerOptions;

// The database as the log names it (a URI without its password).
std::string StoreName(const ServerOptions& options);
// The store of a pipe process; it connects on its first request.
std::unique_ptr<MailStore> OpenMailStore(const ServerOptions& options);
// At the server's start: makes the database (SQLite: the file; both: the
// schema, or its migration) and, with --adopt, gives the messages of the
// public mailbox to that user. Returns what it did for the log, one line
// each (none when the store was ready as it was). Raises StoreError.
std::vector<std::string> PrepareMailStore(const ServerOptions& options);

#endif
