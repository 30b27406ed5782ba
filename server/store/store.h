// The mail store behind the sample server's mail pages: messages kept in
// folders under their 128-bit idents and found by full-text search. The
// pages see only this interface: sqlite_store.h keeps the mail in a file of
// the host, pg_store.h in a PostgreSQL database that several hosts share,
// and store_choice.h (server/config) makes the one that -d names.
//
// Error convention: every operation either succeeds or raises StoreError,
// whose kind says what an operator must look at (a lock, a read-only or full
// database, a missing or damaged file) and whose text names the call, the
// database and the backend's own message. A failed operation changes
// nothing; the next operation tries again (a backend reconnects as it must),
// so serving resumes by itself once the cause is gone.
//
// Texts are byte strings: whatever bytes a field holds are kept and given
// back exactly (the caller refuses what it does not want stored).
//
// Every message has an owner, the user whose mail it is (the web server's
// REMOTE_USER; "" is the public mailbox of requests without a user), and
// every operation sees and changes one owner's messages only. Idents are
// unique in the whole store: another owner's ident is found as such, never
// its text.
#ifndef VELMOX_SERVER_STORE_H
#define VELMOX_SERVER_STORE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class StoreError : public std::runtime_error {
public:
    enum Kind {
        kBusy,      // another process holds the lock longer than the wait allows
        kReadOnly,  // the database cannot be written
        kFull,      // the disk or the configured size limit is reached
        kMissing,   // the database file is not there
        kDamaged,   // not a database, or a damaged one, or of another schema
        kUnreachable,  // the database server cannot be reached, or the connection was lost
        kFailed     // anything else (out of memory, an I/O error, ...)
    };
    StoreError(Kind kind, const std::string& text) : std::runtime_error(text), m_kind(kind) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

// A message as stored. Times are milliseconds since 1970-01-01 UTC.
struct Message {
    std::string owner;  // whose mail it is; "" the public mailbox
    std::string ident;  // 32 lower-case hexadecimal digits
    std::string folder;
    std::string sender;
    std::string recipient;
    std::string subject;
    std::string body;
    int64_t created = 0;
    int64_t saved = 0;
};

// What a Save asks for: the fields it carries replace the stored ones; the
// others keep their stored value (or start empty for a new message).
struct MessageChange {
    std::string owner;  // a new message is this owner's; an update only of this owner's
    std::string ident;
    std::string folder;
    std::string sender;  // used for a new message only
    bool hasRecipient = false, hasSubject = false, hasBody = false;
    std::string recipient, subject, body;
};

enum class SearchOrder { kRelevance = 1, kNewest = 2, kOldest = 3 };

struct SearchRequest {
    std::string owner;
    std::string folder;
    // Words to find in subject or body, all of them; empty: every message.
    std::vector<std::string> words;
    bool wordVariants = false;  // also their variants (searching: searched)
    SearchOrder order = SearchOrder::kRelevance;
    int limit = 0;   // the most results of the whole search (MAX)
    int offset = 0;  // results to pass over (earlier pages)
    int count = 0;   // results wanted from there (one page)
};

// One result: a message without its body, and a piece of it around the words
// found, in which kMarkOpen and kMarkClose stand around each match.
struct SearchHit {
    Message message;
    std::string snippet;
};
const char kMarkOpen = '\x02';
const char kMarkClose = '\x03';

struct SearchResult {
    int matching = 0;  // every message that matches, whatever the limit
    std::vector<SearchHit> hits;
};

struct FolderCount {
    std::string folder;
    int64_t messages = 0;
    int64_t newest = 0;  // saved time of its newest message
};

// What a Save did.
enum class SaveOutcome {
    kCreated,  // a new message under the ident
    kUpdated,  // the owner's message of the ident, changed
    kOthers    // the ident is another owner's message: nothing changed
};

// What looking an ident up found, for one owner.
enum class Lookup { kNone, kFound, kOthers };

// The owner of the messages of a store made before there were owners.
const char kPublicMailbox[] = "";
// The longest owner (user) name taken; a longer REMOTE_USER or --adopt is
// refused, never cut (two names alike up to a cut would share a mailbox).
const size_t kMaxUserName = 256;

// Which backend a database name (-d) names.
// True for a libpq connection URI (postgresql:// or postgres://).
bool IsPostgresUri(const std::string& text);
// The URI without its password, for logs and pages.
std::string RedactedUri(const std::string& uri);
// False when this program was built without libpq.
bool HavePostgres();

// For the backends, one way for all of them.
// Milliseconds since 1970 now (the times of a Save).
int64_t StoreNowMs();
// An update: the fields the change carries replace the stored ones, and the
// message moves to the change's folder, saved at `now`.
void ApplyChange(const MessageChange& change, int64_t now, Message& stored);
// A new message of the change, created (and saved) at `created`.
Message NewMessage(const MessageChange& change, int64_t created);
// The number of results on the page a search asks for, of `matching`.
int PageLength(const SearchRequest& request, int matching);

class MailStore {
public:
    virtual ~MailStore() = default;

    // Stores the change under its ident in its folder: a new message of the
    // change's owner when the ident is unknown, an update of the owner's
    // message (which also moves it to the folder, and keeps its owner and
    // sender), or nothing when the ident is another owner's. Returns the
    // message as stored (empty for kOthers); *outcome tells which it was.
    virtual Message Save(const MessageChange& change, SaveOutcome* outcome) = 0;
    // The owner's message of an ident (kFound, `message` filled); kOthers
    // when another owner has it (`message` untouched), kNone when nobody.
    virtual Lookup Find(const std::string& owner, const std::string& ident, Message& message) = 0;
    virtual SearchResult Search(const SearchRequest& request) = 0;
    // The newest messages of the owner's folder created at or before
    // `createdUpTo` (newest first, at most `limit`), bodies left empty. The
    // same arguments give the same list as long as no message is saved with
    // an older creation time, so a click on a drawn list finds what was drawn.
    virtual std::vector<Message> Latest(const std::string& owner, const std::string& folder, int64_t createdUpTo,
                                        int limit) = 0;
    // Every folder of the owner that holds messages, by name.
    virtual std::vector<FolderCount> CountByFolder(const std::string& owner) = 0;
    // The messages of the owner's folder in the order they were created,
    // from the `skip`+1-th on, each given to `take` until it returns false.
    virtual void ForEachInFolder(const std::string& owner, const std::string& folder, int skip,
                                 const std::function<bool(const Message&)>& take) = 0;
    // Gives every message of the public mailbox to `owner`; the number given.
    virtual int64_t AdoptPublic(const std::string& owner) = 0;
    // "from schema version N to M" when a connection of this store migrated
    // the database since the last call, else "" (for the log: a pipe process
    // that a supervisor of an earlier version started migrates it).
    virtual std::string TakeMigration() = 0;
};

#endif
