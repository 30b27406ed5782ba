// The SQL of the SQLite mail store, in one place: the schema and every
// statement, each a constant text with numbered parameters (?1, ?2, ...), so
// that no value ever becomes part of a statement. Included by
// sqlite_store.cpp only.
#ifndef VELMOX_SERVER_SQLITE_SQL_H
#define VELMOX_SERVER_SQLITE_SQL_H

namespace sqlite_sql {

// The schema, as steps: step i brings a database of version i (i steps
// done) to version i + 1, step 0 makes it; each ends by stamping its
// version in PRAGMA user_version. A new version appends a step and never
// changes one.
//
// Subject and body are indexed twice: message_words finds words as written,
// message_stems also their variants (the porter stemmer: searching finds
// searched). Both are external-content indexes of `messages`, kept by the
// triggers, so the text is stored once.
const char* const kSchemaSteps[] = {
    "CREATE TABLE IF NOT EXISTS messages (\n"
    "    id        INTEGER PRIMARY KEY,\n"
    "    ident     TEXT NOT NULL UNIQUE CHECK (length(ident) = 32),\n"
    "    folder    TEXT NOT NULL,\n"
    "    sender    BLOB NOT NULL,\n"
    "    recipient BLOB NOT NULL,\n"
    "    subject   BLOB NOT NULL,\n"
    "    body      BLOB NOT NULL,\n"
    "    created   INTEGER NOT NULL,\n"
    "    saved     INTEGER NOT NULL);\n"
    "CREATE INDEX IF NOT EXISTS messages_by_created ON messages (folder, created);\n"
    "CREATE INDEX IF NOT EXISTS messages_by_saved ON messages (folder, saved);\n"
    "CREATE VIRTUAL TABLE IF NOT EXISTS message_words USING fts5 (subject, body,\n"
    "    content = 'messages', content_rowid = 'id', tokenize = 'unicode61');\n"
    "CREATE VIRTUAL TABLE IF NOT EXISTS message_stems USING fts5 (subject, body,\n"
    "    content = 'messages', content_rowid = 'id', tokenize = 'porter unicode61');\n"
    "CREATE TRIGGER IF NOT EXISTS messages_inserted AFTER INSERT ON messages BEGIN\n"
    "    INSERT INTO message_words (rowid, subject, body) VALUES (new.id, new.subject, new.body);\n"
    "    INSERT INTO message_stems (rowid, subject, body) VALUES (new.id, new.subject, new.body);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS messages_deleted AFTER DELETE ON messages BEGIN\n"
    "    INSERT INTO message_words (message_words, rowid, subject, body)\n"
    "        VALUES ('delete', old.id, old.subject, old.body);\n"
    "    INSERT INTO message_stems (message_stems, rowid, subject, body)\n"
    "        VALUES ('delete', old.id, old.subject, old.body);\n"
    "END;\n"
    "CREATE TRIGGER IF NOT EXISTS messages_updated AFTER UPDATE ON messages BEGIN\n"
    "    INSERT INTO message_words (message_words, rowid, subject, body)\n"
    "        VALUES ('delete', old.id, old.subject, old.body);\n"
    "    INSERT INTO message_stems (message_stems, rowid, subject, body)\n"
    "        VALUES ('delete', old.id, old.subject, old.body);\n"
    "    INSERT INTO message_words (rowid, subject, body) VALUES (new.id, new.subject, new.body);\n"
    "    INSERT INTO message_stems (rowid, subject, body) VALUES (new.id, new.subject, new.body);\n"
    "END;\n"
    "PRAGMA user_version = 1;\n",
    // Version 2: each message has an owner (bytes; x'' the public mailbox,
    // which the messages of a store of version 1 join), and the lists of a
    // folder are an owner's. The index of the texts is kept up to date only
    // when they change, so that giving messages to an owner (or moving them
    // to another folder) costs no indexing.
    "ALTER TABLE messages ADD COLUMN owner BLOB NOT NULL DEFAULT x'';\n"
    "DROP TRIGGER messages_updated;\n"
    "CREATE TRIGGER messages_updated AFTER UPDATE OF subject, body ON messages BEGIN\n"
    "    INSERT INTO message_words (message_words, rowid, subject, body)\n"
    "        VALUES ('delete', old.id, old.subject, old.body);\n"
    "    INSERT INTO message_stems (message_stems, rowid, subject, body)\n"
    "        VALUES ('delete', old.id, old.subject, old.body);\n"
    "    INSERT INTO message_words (rowid, subject, body) VALUES (new.id, new.subject, new.body);\n"
    "    INSERT INTO message_stems (rowid, subject, body) VALUES (new.id, new.subject, new.body);\n"
    "END;\n"
    "DROP INDEX messages_by_created;\n"
    "DROP INDEX messages_by_saved;\n"
    "CREATE INDEX messages_by_created ON messages (owner, folder, created);\n"
    "CREATE INDEX messages_by_saved ON messages (owner, folder, saved);\n"
    "PRAGMA user_version = 2;\n"};
const int kSchemaStepCount = int(sizeof kSchemaSteps / sizeof kSchemaSteps[0]);

// Columns 0 to 6 of every message query; column 7 is the body or a snippet.
#define VX_COLUMNS "m.ident, m.folder, m.sender, m.recipient, m.subject, m.created, m.saved"

// ?1 the ident, ?2 the owner.
const char kFind[] = "SELECT " VX_COLUMNS ", m.body FROM messages AS m WHERE m.ident = ?1 AND m.owner = ?2";
const char kTaken[] = "SELECT 1 FROM messages WHERE ident = ?1";
const char kInsert[] =
    "INSERT INTO messages (ident, folder, sender, recipient, subject, body, created, saved, owner)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";
const char kUpdate[] = "UPDATE messages SET folder = ?2, recipient = ?3, subject = ?4, body = ?5, saved = ?6"
                       " WHERE ident = ?1 AND owner = ?7";
const char kNewestCreated[] = "SELECT max(created) FROM messages WHERE owner = ?2 AND folder = ?1";
const char kAdopt[] = "UPDATE messages SET owner = ?1 WHERE owner = x''";

// Search: ?1 the folder, ?2 the match expression, ?3 how many, ?4 from where,
// ?5 the owner.
// One text per index and order, each written out whole.
// CROSS JOIN keeps the index first: left to itself, SQLite walked the
// folder's messages and ran the full-text query once for each (search p50
// 120 ms with 5,000 messages, 4.1 ms with this; velmox-bench-store-search).
#define VX_HITS(index, order)                                                            \
    "SELECT " VX_COLUMNS ", snippet(" index ", 1, char(2), char(3), '\xE2\x80\xA6', 16)" \
    " FROM " index " CROSS JOIN messages AS m ON m.id = " index ".rowid"                        \
    " WHERE " index " MATCH ?2 AND m.owner = ?5 AND m.folder = ?1 ORDER BY " order " LIMIT ?3 OFFSET ?4"
#define VX_BY_RELEVANCE(index) "bm25(" index ", 4.0, 1.0), m.saved DESC, m.id DESC"
#define VX_NEWEST "m.saved DESC, m.id DESC"
#define VX_OLDEST "m.saved ASC, m.id ASC"
const char* const kHits[2][3] = {{VX_HITS("message_words", VX_BY_RELEVANCE("message_words")),
                                  VX_HITS("message_words", VX_NEWEST), VX_HITS("message_words", VX_OLDEST)},
                                 {VX_HITS("message_stems", VX_BY_RELEVANCE("message_stems")),
                                  VX_HITS("message_stems", VX_NEWEST), VX_HITS("message_stems", VX_OLDEST)}};
const char* const kHitCount[2] = {
    "SELECT count(*) FROM message_words CROSS JOIN messages AS m ON m.id = message_words.rowid"
    " WHERE message_words MATCH ?2 AND m.owner = ?5 AND m.folder = ?1",
    "SELECT count(*) FROM message_stems CROSS JOIN messages AS m ON m.id = message_stems.rowid"
    " WHERE message_stems MATCH ?2 AND m.owner = ?5 AND m.folder = ?1"};
// Without words: the folder's messages, the head of each body as its snippet.
#define VX_LIST(order)                                                                                     \
    "SELECT " VX_COLUMNS ", substr(m.body, 1, 240) FROM messages AS m WHERE m.owner = ?5 AND m.folder = ?1" \
    " ORDER BY " order \
    " LIMIT ?3 OFFSET ?4"
const char* const kList[2] = {VX_LIST(VX_NEWEST), VX_LIST(VX_OLDEST)};
const char kListCount[] = "SELECT count(*) FROM messages WHERE owner = ?5 AND folder = ?1";

// ?4 the owner.
const char kLatest[] = "SELECT " VX_COLUMNS
                       ", x'' FROM messages AS m WHERE m.owner = ?4 AND m.folder = ?1 AND m.created <= ?2"
                       " ORDER BY m.created DESC, m.id DESC LIMIT ?3";
const char kCount[] =
    "SELECT folder, count(*), max(saved) FROM messages WHERE owner = ?1 GROUP BY folder ORDER BY folder";
// ?3 the owner.
const char kInFolder[] = "SELECT " VX_COLUMNS
                         ", m.body FROM messages AS m WHERE m.owner = ?3 AND m.folder = ?1 ORDER BY m.created, m.id"
                         " LIMIT -1 OFFSET ?2";

const char kBegin[] = "BEGIN";
const char kBeginWrite[] = "BEGIN IMMEDIATE";
const char kCommit[] = "COMMIT";

#undef VX_COLUMNS
#undef VX_HITS
#undef VX_BY_RELEVANCE
#undef VX_NEWEST
#undef VX_OLDEST
#undef VX_LIST

}  // namespace sqlite_sql

#endif
