// The SQL of the PostgreSQL mail store, in one place: the schema's steps and
// every statement, each a constant text with numbered parameters ($1, $2,
// ...), so that no value ever becomes part of a statement. Included by
// pg_store.cpp only.
#ifndef VELMOX_SERVER_PG_SQL_H
#define VELMOX_SERVER_PG_SQL_H

namespace pg_sql {

// Every start and every new connection takes this lock while it looks at
// (and makes or migrates) the schema, so that servers starting together on
// several hosts do it once. Its number spells "velm".
const char kLockSchema[] = "SELECT pg_advisory_xact_lock(1986358381)";
const char kTablesThere[] = "SELECT to_regclass('velmox_schema') IS NOT NULL, to_regclass('messages') IS NOT NULL";
const char kSchemaVersion[] = "SELECT max(version) FROM velmox_schema";
const char kStampVersion[] = "UPDATE velmox_schema SET version = $1";

// The steps of the schema: step i brings a database of version i (i steps
// done) to version i + 1, step 0 makes it. A new version appends a step and
// never changes one.
//
// Texts are bytea, kept byte for byte. Folders compare by their bytes (the
// embedded store's order), whatever the database's locale. words and stems
// index subject (weight A) and body (weight D) as the store hands them over
// (search_text.h): words as written with the simple configuration, and
// their variants with velmox_english, the english configuration's Snowball
// stemmer without its stop words (a search for "to be" finds what it says).
const char* const kSchemaSteps[] = {
    "CREATE TABLE velmox_schema (version integer NOT NULL);\n"
    "INSERT INTO velmox_schema VALUES (1);\n"
    "CREATE TEXT SEARCH DICTIONARY velmox_english_stem (TEMPLATE = snowball, LANGUAGE = english);\n"
    "CREATE TEXT SEARCH CONFIGURATION velmox_english (COPY = pg_catalog.english);\n"
    "ALTER TEXT SEARCH CONFIGURATION velmox_english ALTER MAPPING FOR\n"
    "    asciiword, asciihword, hword_asciipart, word, hword, hword_part WITH velmox_english_stem;\n"
    "CREATE TABLE messages (\n"
    "    id        bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,\n"
    "    ident     text NOT NULL UNIQUE CHECK (length(ident) = 32),\n"
    "    folder    text COLLATE \"C\" NOT NULL,\n"
    "    sender    bytea NOT NULL,\n"
    "    recipient bytea NOT NULL,\n"
    "    subject   bytea NOT NULL,\n"
    "    body      bytea NOT NULL,\n"
    "    created   bigint NOT NULL,\n"
    "    saved     bigint NOT NULL,\n"
    "    words     tsvector NOT NULL,\n"
    "    stems     tsvector NOT NULL);\n"
    "CREATE INDEX messages_by_created ON messages (folder, created);\n"
    "CREATE INDEX messages_by_saved ON messages (folder, saved);\n"
    "CREATE INDEX messages_words ON messages USING gin (words);\n"
    "CREATE INDEX messages_stems ON messages USING gin (stems);\n",
    // Version 2: each message has an owner (bytes; '' the public mailbox,
    // which the messages of a database of version 1 join), and the lists of
    // a folder are an owner's.
    "ALTER TABLE messages ADD COLUMN owner bytea NOT NULL DEFAULT '';\n"
    "DROP INDEX messages_by_created;\n"
    "DROP INDEX messages_by_saved;\n"
    "CREATE INDEX messages_by_created ON messages (owner, folder, created);\n"
    "CREATE INDEX messages_by_saved ON messages (owner, folder, saved);\n"};
const int kSchemaStepCount = int(sizeof kSchemaSteps / sizeof kSchemaSteps[0]);

// Columns 0 to 6 of every message query; column 7 is the body or a piece of it.
#define VX_COLUMNS "m.ident, m.folder, m.sender, m.recipient, m.subject, m.created, m.saved"
// Subject and body as IndexText gives them, in two parameters.
#define VX_INDEXED(config, subject, body) \
    "setweight(to_tsvector('" config "', " subject "), 'A') || setweight(to_tsvector('" config "', " body "), 'D')"

// $1 the ident, $2 the owner.
const char kFind[] = "SELECT " VX_COLUMNS ", m.body FROM messages AS m WHERE m.ident = $1 AND m.owner = $2";
const char kTaken[] = "SELECT 1 FROM messages WHERE ident = $1";
// The message of an ident locked for an update: whether it is the owner's.
const char kLockIdent[] = "SELECT owner = $2 FROM messages WHERE ident = $1 FOR UPDATE";
// New messages of an owner's folder one at a time, so that their creation
// times stay distinct within it (the first number spells "vmxf").
const char kLockFolder[] = "SELECT pg_advisory_xact_lock(1986885734, hashtext($1 || encode($2, 'hex')))";
const char kNewestCreated[] = "SELECT max(created) FROM messages WHERE owner = $2 AND folder = $1";
const char kAdopt[] = "UPDATE messages SET owner = $1 WHERE owner = ''";
// Nothing when another host made the ident meanwhile: it is updated then.
const char kInsert[] =
    "INSERT INTO messages (ident, folder, sender, recipient, subject, body, created, saved, words, stems, owner)"
    " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, " VX_INDEXED("simple", "$9", "$10") ", "
    VX_INDEXED("velmox_english", "$9", "$10") ", $11)"
    " ON CONFLICT (ident) DO NOTHING RETURNING id";
const char kUpdate[] = "UPDATE messages SET folder = $2, recipient = $3, subject = $4, body = $5, saved = $6,"
                       " words = " VX_INDEXED("simple", "$7", "$8") ", stems = " VX_INDEXED("velmox_english", "$7", "$8")
                       " WHERE ident = $1 AND owner = $9";

// Search: $1 the folder, $2 the words (IndexText), $3 how many, $4 from where,
// $5 the owner (the counts: $3; the lists without words: $4, the count $2).
// Column 8 lists the words found in the body, "POSITION:TERM ...", the
// position among the body's words from 1 and the term's number in the
// search, so that the snippet can be drawn here as the embedded store draws it.
#define VX_QUERY(config) \
    "(SELECT plainto_tsquery('" config "', $2) AS query, tsvector_to_array(to_tsvector('" config "', $2)) AS terms)"
#define VX_HITS(index, config, order)                                                                       \
    "SELECT " VX_COLUMNS ", m.body,"                                                                         \
    " (SELECT string_agg((x.p - s.words) || ':' || array_position(q.terms, u.lexeme), ' ')"                 \
    "  FROM unnest(m." index ") AS u, unnest(u.positions, u.weights) AS x(p, w),"                            \
    "   (SELECT coalesce(max(y.p), 0) AS words FROM unnest(m." index ") AS v,"                               \
    "     unnest(v.positions, v.weights) AS y(p, w) WHERE y.w = 'A') AS s"                                   \
    "  WHERE x.w = 'D' AND u.lexeme = ANY (q.terms))"                                                         \
    " FROM messages AS m, " VX_QUERY(config) " AS q"                                                         \
    " WHERE m.owner = $5 AND m.folder = $1 AND m." index " @@ q.query ORDER BY " order " LIMIT $3 OFFSET $4"
// The subject weighs four times the body, as in the embedded store.
#define VX_BY_RELEVANCE(index) "ts_rank('{0.25, 0.25, 0.25, 1.0}', m." index ", q.query, 1) DESC, m.saved DESC, m.id DESC"
#define VX_NEWEST "m.saved DESC, m.id DESC"
#define VX_OLDEST "m.saved ASC, m.id ASC"
const char* const kHits[2][3] = {
    {VX_HITS("words", "simple", VX_BY_RELEVANCE("words")), VX_HITS("words", "simple", VX_NEWEST),
     VX_HITS("words", "simple", VX_OLDEST)},
    {VX_HITS("stems", "velmox_english", VX_BY_RELEVANCE("stems")), VX_HITS("stems", "velmox_english", VX_NEWEST),
     VX_HITS("stems", "velmox_english", VX_OLDEST)}};
const char* const kHitCount[2] = {
    "SELECT count(*) FROM messages AS m WHERE m.owner = $3 AND m.folder = $1"
    " AND m.words @@ plainto_tsquery('simple', $2)",
    "SELECT count(*) FROM messages AS m WHERE m.owner = $3 AND m.folder = $1"
    " AND m.stems @@ plainto_tsquery('velmox_english', $2)"};
// Without words: the folder's messages, the head of each body as its
// snippet; $2 how many, $3 from where.
#define VX_LIST(order)                                                                             \
    "SELECT " VX_COLUMNS ", substring(m.body FROM 1 FOR 240) FROM messages AS m WHERE m.owner = $4 AND m.folder = $1" \
    " ORDER BY " order " LIMIT $2 OFFSET $3"
const char* const kList[2] = {VX_LIST(VX_NEWEST), VX_LIST(VX_OLDEST)};
const char kListCount[] = "SELECT count(*) FROM messages WHERE owner = $2 AND folder = $1";

// $4 the owner.
const char kLatest[] = "SELECT " VX_COLUMNS
                       ", ''::bytea FROM messages AS m WHERE m.owner = $4 AND m.folder = $1 AND m.created <= $2"
                       " ORDER BY m.created DESC, m.id DESC LIMIT $3";
const char kCount[] =
    "SELECT folder, count(*), max(saved) FROM messages WHERE owner = $1 GROUP BY folder ORDER BY folder";
// The export reads the owner's ($3) folder through a cursor, a few messages at a time.
const char kInFolder[] = "DECLARE velmox_export NO SCROLL CURSOR FOR SELECT " VX_COLUMNS
                         ", m.body FROM messages AS m WHERE m.owner = $3 AND m.folder = $1 ORDER BY m.created, m.id"
                         " OFFSET $2";
const char kFetch[] = "FETCH 8 FROM velmox_export";

const char kBegin[] = "BEGIN";
const char kBeginSnapshot[] = "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY";
const char kCommit[] = "COMMIT";
const char kRollback[] = "ROLLBACK";

#undef VX_COLUMNS
#undef VX_INDEXED
#undef VX_QUERY
#undef VX_HITS
#undef VX_BY_RELEVANCE
#undef VX_NEWEST
#undef VX_OLDEST
#undef VX_LIST

}  // namespace pg_sql

#endif
