// The mail store's faults while velmox-server runs: a database that is
// locked by another process, missing, replaced by a damaged file, full or
// read-only gives a page that says so (503) and a log line, never a crash,
// and the same pipes serve mail again once the cause is gone.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "mail_client.h"
#include "server_process.h"

using namespace mailtest;
using namespace srvtest;

namespace {

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
        EXPECT_NE(std::string::npos, TextOf(Element(reply.page, "p", "error")).find(pageSays)) << reply.page;
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
    EXPECT_NE(std::string::npos, TextOf(Element(refused.page, "p", "error")).find("full"));
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

TEST_F(MailFault, ADatabaseThatCannotBeMadeAtTheStartIsNamedAndServedOnceThere) {
    std::string directory = base + ".dir";
    database = directory + "/mail.db";
    server().UseMailStore(database);
    StartMail();
    EXPECT_NE(std::string::npos, server().Stderr().find("mail store " + database + " is not usable"))
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
