// The mail store's faults while velmox-server runs: a database that is
// locked by another process, missing, replaced by a damaged file, full or
// read-only gives a page that says so (503) and a log line, never a crash,
// and the same pipes serve mail again once the cause is gone; the same for
// a PostgreSQL database whose connection is lost or whose server goes away.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail_client.h"
#include "pg_cluster.h"
#include "server_process.h"

using namespace mailtest;
using namespace srvtest;

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class MailFault : public MailServerTest {
protected:
    void StartMail(const std::vector<std::string>& extra = {}) { MailServerTest::StartMail(1, extra); }

    int Save(const std::string& subject, const std::string& body = "text") {
        return Post(base, "/Save/Local/inbox", "0", Form({{"subject", subject}, {"body", body}})).status;
    }
    // The subjects found for a word.
    std::vector<std::string> Find(const std::string& word, int* status = nullptr) {
        Reply reply = Post(base, "/Search/Local/inbox", "", "SREQUEST=Search&SEARCH=" + word);
        if (status) *status = reply.status;
        std::vector<std::string> subjects;
        for (const std::string& a : Elements(reply.page, "a", "subject")) subjects.push_back(TextOf(a));
        return subjects;
    }
    // A save refused for the store: the page's words, and its log line.
    void ExpectRefused(const std::string& subject, const std::string& pageSays, const std::string& fault) {
        Reply reply = Post(base, "/Save/Local/inbox", "0", Form({{"subject", subject}}));
        EXPECT_EQ(503, reply.status);
        EXPECT_EQ("Mail store unavailable", TextOf(Element(reply.page, "h1", "title")));
        EXPECT_THAT(TextOf(Element(reply.page, "p", "error")), HasSubstr(pageSays)) << reply.page;
        EXPECT_EQ(1, CountLines(server().Log(), "command=Save fault=" + fault + ": ")) << server().Log();
    }

};

// Runs sql on a connection of the test's own; false (with the message
// printed) when it fails.
bool Sql(sqlite3* db, const char* sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) ADD_FAILURE() << sql << ": " << (error ? error : "?");
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

TEST_F(MailFault, ALockedStoreSaysSoAndSavesOnceTheLockIsGone) {
    StartMail({"--busy-ms", "300"});
    ASSERT_EQ(200, Save("before the lock"));
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(database.c_str(), &other));
    ASSERT_TRUE(Sql(other, "BEGIN EXCLUSIVE"));
    ExpectRefused("during the lock", "busy", "busy");
    // Readers do not wait for a writer.
    int status = 0;
    EXPECT_EQ(std::vector<std::string>{"before the lock"}, Find("before", &status));
    EXPECT_EQ(200, status);
    ASSERT_TRUE(Sql(other, "COMMIT"));
    sqlite3_close(other);
    EXPECT_EQ(200, Save("after the lock"));
    EXPECT_EQ(std::vector<std::string>{"after the lock"}, Find("after"));
    EXPECT_TRUE(Find("during").empty());
    EXPECT_EQ(1, CountLines(server().Log(), " serving again"));
}

TEST_F(MailFault, AMissingDatabaseSaysSoUntilItIsBack) {
    StartMail();
    ASSERT_EQ(200, Save("kept safe"));
    std::string away = database + ".good";
    ASSERT_EQ(0, rename(database.c_str(), away.c_str()));
    ExpectRefused("lost", "missing", "missing");
    int status = 0;
    Find("kept", &status);
    EXPECT_EQ(503, status);
    EXPECT_FALSE(access(database.c_str(), F_OK) == 0) << "a missing database is not made anew";
    ASSERT_EQ(0, rename(away.c_str(), database.c_str()));
    EXPECT_EQ(std::vector<std::string>{"kept safe"}, Find("kept"));
    EXPECT_EQ(200, Save("back again"));
    EXPECT_EQ(1, CountLines(server().Log(), " serving again"));
}

TEST_F(MailFault, ADamagedDatabaseSaysSoUntilItIsRestored) {
    StartMail();
    ASSERT_EQ(200, Save("before the damage"));
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(database.c_str(), &other));
    ASSERT_TRUE(Sql(other, "PRAGMA wal_checkpoint(TRUNCATE)"));
    sqlite3_close(other);
    // The file is replaced by a damaged copy, as a bad restore would.
    std::string good = database + ".good";
    ASSERT_EQ(0, rename(database.c_str(), good.c_str()));
    {
        std::ofstream damaged(database, std::ios::binary);
        for (int i = 0; i < 400; ++i) damaged << "this is no database ";
    }
    ExpectRefused("into the damage", "damaged", "damaged");
    int status = 0;
    Find("before", &status);
    EXPECT_EQ(503, status);
    ASSERT_EQ(0, rename(good.c_str(), database.c_str()));
    EXPECT_EQ(std::vector<std::string>{"before the damage"}, Find("before"));
    EXPECT_EQ(200, Save("after the repair"));
    EXPECT_EQ(1, CountLines(server().Log(), " serving again"));
}

TEST_F(MailFault, AFullDatabaseRefusesSavesAndStillServesSearches) {
    StartMail({"--max-size-mb", "1"});
    // Bodies of many different words fill the indexes quickly.
    std::string body;
    for (int i = 0; i < 12000; ++i) body += "w" + std::to_string(i * 7919 % 100003) + " ";
    int saved = 0;
    Reply refused;
    for (int i = 0; i < 40; ++i) {
        refused =
            Post(base, "/Save/Local/inbox", "0", Form({{"subject", "filler " + std::to_string(i)}, {"body", body}}));
        if (refused.status != 200) break;
        ++saved;
    }
    ASSERT_EQ(503, refused.status) << "1 MB never filled";
    EXPECT_GT(saved, 0);
    EXPECT_THAT(TextOf(Element(refused.page, "p", "error")), HasSubstr("full"));
    EXPECT_EQ(1, CountLines(server().Log(), "fault=full: "));
    EXPECT_EQ(size_t(std::min(saved, 10)), Find("filler").size());
    // Room made elsewhere is used again.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(database.c_str(), &other));
    sqlite3_busy_timeout(other, 5000);
    ASSERT_TRUE(Sql(other, "DELETE FROM messages WHERE subject != CAST('filler 0' AS BLOB)"));
    sqlite3_close(other);
    EXPECT_EQ(200, Save("room again"));
    EXPECT_EQ(1, CountLines(server().Log(), " serving again"));
}

TEST_F(MailFault, AReadOnlyDatabaseRefusesSavesAndStillServesSearches) {
    // Permissions bind root only through another user: the server runs as
    // nobody then.
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is needed as root";
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    server().UseMailStore(database, prefix);
    StartMail();
    ASSERT_EQ(200, Save("written while writable"));
    ASSERT_EQ(0, server().Stop()) << server().Log();
    ASSERT_EQ(0, chmod(database.c_str(), 0444));
    StartMail();
    ExpectRefused("written while read-only", "read-only", "read-only");
    EXPECT_EQ(std::vector<std::string>{"written while writable"}, Find("written"));
    EXPECT_EQ(1, CountLines(server().Log(), database + "-shm is read-only")) << "made while the database was";
    for (const char* suffix : {"", "-wal", "-shm"}) chmod((database + suffix).c_str(), 0644);
    EXPECT_EQ(200, Save("written once writable again")) << server().Log();
    EXPECT_EQ(2u, Find("written").size());
}

// What the server makes is its user's and group's only, whatever the umask
// it was started with: the store, SQLite's -wal and -shm, the log (0640 or
// less) and the secret (0600); a store and log that an earlier version left
// readable by everyone are made so at the start.
TEST_F(MailFault, TheFilesAreTheServersUserAndGroupsOnlyWhateverTheUmask) {
    struct Row {
        const char* what;
        mode_t umask;
        mode_t leftBefore;  // 0: no files before the start
    } rows[] = {
        {"a new store under umask 022", 022, 0},
        {"a store and log left mode 0666, under umask 0", 0, 0666},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.leftBefore) {
            for (const std::string& file : {database, server().LogPath()}) ASSERT_EQ(0, chmod(file.c_str(), r.leftBefore));
        }
        mode_t before = umask(r.umask);
        StartMail();
        umask(before);
        ASSERT_EQ(200, Save("kept private")) << server().Log();
        struct stat st;
        for (const std::string& file : {database, database + "-wal", database + "-shm", server().LogPath()}) {
            ASSERT_EQ(0, stat(file.c_str(), &st)) << file;
            EXPECT_EQ(0u, st.st_mode & 027) << file << " has mode " << std::oct << (st.st_mode & 0777);
        }
        ASSERT_EQ(0, stat((base + ".secret").c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777);
        EXPECT_EQ(r.leftBefore ? 1 : 0, CountLines(server().Log(), "made " + database + " private: mode 0666 to 0640"));
        ASSERT_EQ(0, server().Stop()) << server().Log();
    }
}

TEST_F(MailFault, ADatabaseThatCannotBeMadeAtTheStartIsNamedAndServedOnceThere) {
    std::string directory = base + ".dir";
    database = directory + "/mail.db";
    server().UseMailStore(database);
    StartMail();
    EXPECT_THAT(server().Stderr(), HasSubstr("mail store " + database + " is not usable"))
        << server().Stderr();
    ExpectRefused("nowhere", "missing", "missing");
    // An empty file put there gets the schema.
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    { std::ofstream touch(database); }
    EXPECT_EQ(200, Save("somewhere"));
    EXPECT_EQ(std::vector<std::string>{"somewhere"}, Find("somewhere"));
    EXPECT_EQ(0, server().Stop());
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((database + suffix).c_str());
    rmdir(directory.c_str());
}

}  // namespace

namespace {

// The same pages of a store that a database server keeps: its connection
// lost, the server down, a lock held longer than the wait, the database gone.
class PostgresFault : public MailFault {
protected:
    Store store() const override { return Store::kPostgres; }
};

TEST_F(PostgresFault, EachFaultFailsOnlyWhileItLastsAndTheNextRequestConnectsAnew) {
    StartMail({"--busy-ms", "300"});
    pgtest::Cluster* cluster = pgtest::Cluster::Shared(nullptr);
    ASSERT_NE(nullptr, cluster);
    std::unique_ptr<pgtest::Session> locker;
    // Each row: its cause, the fault the next save meets, and its mending.
    struct Row {
        const char* what;
        std::function<bool()> cause;
        const char* fault;
        const char* pageSays;
        std::function<bool()> mend;
    } rows[] = {
        {"connection lost",
         [&] {
             return pgtest::Session(cluster->Uri("postgres"))
                 .Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + pgDatabase + "'");
         },
         "unreachable", "cannot be reached", [] { return true; }},
        {"server down", [&] { return cluster->Stop(); }, "unreachable", "cannot be reached",
         [&] { return cluster->Start(); }},
        {"lock held",
         [&] {
             locker.reset(new pgtest::Session(cluster->Uri(pgDatabase)));
             return locker->Exec("BEGIN; LOCK TABLE messages IN ACCESS EXCLUSIVE MODE");
         },
         "busy", "busy", [&] { return locker->Exec("COMMIT"); }},
        // The drop ends the connection: the request after it meets that first.
        {"database gone",
         [&] { return cluster->DropDatabase(pgDatabase) && Save("lost with the connection") == 503; }, "missing",
         "missing",
         [&] {
             return pgtest::Session(cluster->Uri("postgres"))
                 .Exec("CREATE DATABASE " + pgDatabase + " ENCODING 'UTF8' TEMPLATE template0");
         }},
    };
    int served = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string before = std::string("before: ") + r.what;
        ASSERT_EQ(200, Save(before)) << server().Log();
        int faults = CountLines(server().Log(), std::string("command=Save fault=") + r.fault + ": ");
        ASSERT_TRUE(r.cause());
        Reply reply = Post(base, "/Save/Local/inbox", "0", Form({{"subject", std::string("during: ") + r.what}}));
        EXPECT_EQ(503, reply.status);
        EXPECT_THAT(TextOf(Element(reply.page, "p", "error")), HasSubstr(r.pageSays)) << reply.page;
        EXPECT_EQ(faults + 1, CountLines(server().Log(), std::string("command=Save fault=") + r.fault + ": "))
            << server().Log();
        EXPECT_THAT(server().Log(), HasSubstr(cluster->Uri(pgDatabase)));
        ASSERT_TRUE(r.mend());
        std::string after = std::string("after: ") + r.what;
        EXPECT_EQ(200, Save(after)) << server().Log();
        EXPECT_EQ(std::vector<std::string>{after}, Find("after")) << "each fault's own save";
        EXPECT_EQ(++served, CountLines(server().Log(), " serving again"));
        // Only what was saved is there: nothing of the refused save.
        Reply count = Get(base, "/RunAgent/Local/count");
        EXPECT_THAT(count.page, Not(HasSubstr("during"))) << count.page;
        // The next row finds only its own "after" message.
        pgtest::Session(cluster->Uri(pgDatabase)).Exec("DELETE FROM messages WHERE subject = convert_to('" + after + "', 'UTF8')");
    }
}

}  // namespace
