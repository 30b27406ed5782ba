// Who reaches the pipe, and whose objects are trusted, shown as ordinary
// users: the test runs as root and its children become ids that need no
// account. Each test has a directory of its own, sticky and open to all as
// /tmp is, with its base name in it; everything made there is removed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "access_util.h"
#include "ipc_harness.h"
#include "mempipe.h"
#include "os.h"
#include "server_process.h"

using namespace ipctest;
using namespace accesstest;

namespace {

using ::testing::HasSubstr;

// Every way at the pipe's objects around the library, as the calling user:
// "" when the system refuses each (EACCES; EPERM for removal), else the
// first that got through.
std::string ReachAroundTheLibrary(const std::string& base) {
    for (const KeyFile& file : KeyFilesOf(base, 1)) {
        key_t key = ftok(file.path.c_str(), kTokenId);
        if (key == key_t(-1)) return Errno("ftok " + file.path);
        if (file.segment) {
            // Asking for no permission finds the segment; nothing more.
            int id = shmget(key, 0, 0);
            if (id == -1) return Errno("shmget " + file.path);
            if (shmget(key, 0, 0600) != -1 || errno != EACCES) return Errno("shmget to read and write " + file.path);
            if (shmat(id, nullptr, SHM_RDONLY) != reinterpret_cast<void*>(-1) || errno != EACCES)
                return Errno("shmat for reading " + file.path);
            if (shmat(id, nullptr, 0) != reinterpret_cast<void*>(-1) || errno != EACCES)
                return Errno("shmat " + file.path);
            struct shmid_ds info;
            if (shmctl(id, IPC_STAT, &info) != -1 || errno != EACCES) return Errno("shmctl IPC_STAT " + file.path);
            if (shmctl(id, IPC_RMID, nullptr) != -1 || errno != EPERM) return Errno("shmctl IPC_RMID " + file.path);
            continue;
        }
        int id = semget(key, 0, 0);
        if (id == -1) return Errno("semget " + file.path);
        if (semget(key, kSemMembers, 0666) != -1 || errno != EACCES) return Errno("semget for changing " + file.path);
        struct sembuf up = {0, 1, IPC_NOWAIT}, down = {0, -1, IPC_NOWAIT}, zero = {0, 0, IPC_NOWAIT};
        if (semop(id, &up, 1) != -1 || errno != EACCES) return Errno("semop +1 " + file.path);
        if (semop(id, &down, 1) != -1 || errno != EACCES) return Errno("semop -1 " + file.path);
        if (semop(id, &zero, 1) != -1 || errno != EACCES) return Errno("semop 0 " + file.path);
        if (semctl(id, 0, GETVAL) != -1 || errno != EACCES) return Errno("semctl GETVAL " + file.path);
        SemArg arg;
        arg.val = 0;
        if (semctl(id, 0, SETVAL, arg) != -1 || errno != EACCES) return Errno("semctl SETVAL " + file.path);
        if (semctl(id, 0, IPC_RMID) != -1 || errno != EPERM) return Errno("semctl IPC_RMID " + file.path);
    }
    return "";
}

// One exchange as `user`: "served <answer>" or "failed: <cause>" (with
// " (refused)" when the failure is a refusal).
std::string CallAs(const User& user, const std::string& base, const std::string& request) {
    return AskChild([&]() -> std::string {
        if (!BecomeUser(user)) return Errno("cannot become uid " + std::to_string(user.uid));
        std::vector<unsigned char> reply(kBlock);
        unsigned long length = 0;
        MemoryPipe pipe;
        std::string bytes = request;
        if (pipe.Call(base.c_str(), reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), reply.data(),
                      reply.size(), &length))
            return "served " + std::string(reinterpret_cast<char*>(reply.data()), std::min(length, kBlock));
        return "failed: " + Text(pipe.Failure()) + (pipe.Failure().Refused() ? " (refused)" : "");
    });
}

// Makes a pipe as `user` with `access` and closes it again at once: "made",
// or "failed: <cause>" as above.
std::string CreateAs(const User& user, const std::string& base, const PipeAccess& access) {
    return AskChild([&]() -> std::string {
        if (!BecomeUser(user)) return Errno("cannot become uid " + std::to_string(user.uid));
        MemoryPipe pipe;
        if (!pipe.Create(base.c_str(), kBlock, access))
            return "failed: " + Text(pipe.Failure()) + (pipe.Failure().Refused() ? " (refused)" : "");
        pipe.Close();
        return "made";
    });
}

// A base name in a directory of the test's own, sticky and open to every
// user as /tmp is. The test process adopts orphaned pipe processes.
class AccessTest : public IpcTest {
protected:
    void SetUp() override {
        IpcTest::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "the test becomes other users: it must run as root";
        m_dir = base + ".d";
        ASSERT_EQ(0, mkdir(m_dir.c_str(), 0700));
        ASSERT_EQ(0, chmod(m_dir.c_str(), 01777));
        base = m_dir + "/pipe";
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void TearDown() override {
        if (m_server) m_server->Finish();
        IpcTest::TearDown();
        std::error_code ignored;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
    }

    // Removes what a stranger planted (and every key file), then nothing of
    // the base name may be left.
    void RemovePlantedAndExpectNothingLeft() {
        RemoveEverything(base);
        ExpectNothingLeft();
    }

    // A server task run as a program by `user`, with its mail store in the
    // test's directory.
    srvtest::ServerRun& ServerAs(const User& user) {
        m_server.reset(new srvtest::ServerRun(base));
        std::vector<std::string> prefix = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid),
                                           "--regid=" + std::to_string(user.gid)};
        std::string groups;
        for (gid_t group : user.groups) groups += (groups.empty() ? "" : ",") + std::to_string(group);
        prefix.push_back(groups.empty() ? "--clear-groups" : "--groups=" + groups);
        m_server->UseMailStore(m_dir + "/mail.db", prefix);
        m_prefix = prefix;
        return *m_server;
    }

    std::string m_dir;
    std::vector<std::string> m_prefix;
    std::unique_ptr<srvtest::ServerRun> m_server;
};

// ------------------------------------------------------------ the library

class PipeAccessTest : public AccessTest {};

// Every object and key file of a one-pipe server of base: the service's,
// the group's, 0660.
void ExpectKeptToTheGroup(const std::string& base) {
    for (const KeyFile& file : KeyFilesOf(base, 1)) {
        SCOPED_TRACE(file.path);
        EXPECT_EQ(Owners(kServiceUid, kWebGroup, 0660), FileState(file.path));
        EXPECT_EQ(Owners(kServiceUid, kWebGroup, 0660), ObjectState(file));
    }
}

TEST_F(PipeAccessTest, AGroupKeepsThePipeToTheServiceAndTheGroupsMembers) {
    Server server = Track(StartServerAs(base, kService, kGroupAccess, kBlock));
    ASSERT_GT(server.pid, 0);
    ExpectKeptToTheGroup(base);
    EXPECT_EQ("served 0:Eto a member", CallAs(kMember, base, "Eto a member"));
    EXPECT_EQ("served 0:Eto root", CallAs({0, 0, {}}, base, "Eto root")) << "root uses everything";
    // Anybody else: the library's call is refused, and so is every way
    // around it, to read, to change, to signal or to remove.
    EXPECT_EQ("failed: semget " + base + ".sem: Permission denied (refused)", CallAs(kOutsider, base, "Eno"));
    EXPECT_EQ("", AskChild([&]() -> std::string {
                  return BecomeUser(kOutsider) ? ReachAroundTheLibrary(base) : Errno("cannot become the outsider");
              }));
    EXPECT_EQ("served 0:Estill serving", CallAs(kMember, base, "Estill serving"));
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeAccessTest, WithoutAGroupEveryLocalUserIsServedAsBefore) {
    Server server = Track(StartServerAs(base, kService, PipeAccess(), kBlock));
    ASSERT_GT(server.pid, 0);
    for (const KeyFile& file : KeyFilesOf(base, 1)) {
        SCOPED_TRACE(file.path);
        EXPECT_EQ(Owners(kServiceUid, kServiceUid, 0666), ObjectState(file));
        struct stat key;
        ASSERT_EQ(0, stat(file.path.c_str(), &key));
        EXPECT_EQ(0u, key.st_mode & S_IWOTH) << "a key file is never written";
    }
    for (const User& user : {kOutsider, kMember, kStranger}) {
        std::string request = "Efrom uid " + std::to_string(user.uid);
        EXPECT_EQ("served 0:" + request, CallAs(user, base, request));
    }
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeAccessTest, ANewStartGivesItsAccessToWhatACrashedServerLeft) {
    Server crashed = Track(StartServerAs(base, kService, PipeAccess(), kBlock));
    ASSERT_GT(crashed.pid, 0);
    kill(crashed.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, proc::Wait(crashed.pid, 10));
    ASSERT_EQ(Owners(kServiceUid, kServiceUid, 0666), ObjectState({base, false})) << "the crash left the objects";
    Server server = Track(StartServerAs(base, kService, kGroupAccess, kBlock));
    ASSERT_GT(server.pid, 0);
    ExpectKeptToTheGroup(base);
    EXPECT_EQ("failed: semget " + base + ".sem: Permission denied (refused)", CallAs(kOutsider, base, "Eno"));
    EXPECT_EQ("served 0:Eyes", CallAs(kMember, base, "Eyes"));
    EXPECT_TRUE(server.Stop());
    ExpectNothingLeft();
}

TEST_F(PipeAccessTest, AServerRefusesKeyFilesItDidNotMake) {
    ASSERT_EQ("", AskChild([&]() -> std::string {
                  int fd = open((m_dir + "/service-file").c_str(), O_RDONLY | O_CREAT, 0644);
                  return fd >= 0 && fchown(fd, kServiceUid, kServiceUid) == 0 ? "" : Errno("service file");
              }));
    struct Row {
        std::string path;
        std::string what;
        std::string refusal;
    } rows[] = {
        {base, "file", "belongs to uid 54323, not to this server's user (uid 54321)"},
        {base + ".csm", "file", "belongs to uid 54323, not to this server's user (uid 54321)"},
        {base + ".shm.7", "file", "belongs to uid 54323, not to this server's user (uid 54321)"},
        {base + ".sem", "link", "is a symbolic link"},
        {base + ".mtx", "directory", "is not a regular file"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path + " " + r.what);
        ASSERT_EQ("", PlantFile(r.path, r.what, m_dir + "/service-file"));
        EXPECT_EQ("failed: key file " + r.path + " " + r.refusal + " (refused)",
                  CreateAs(kService, base, kGroupAccess));
        EXPECT_TRUE(ObjectsLeft(base).empty()) << "a refused start makes no object";
        RemoveEverything(base);  // and the key files it made before the refusal
        std::error_code ignored;
        std::filesystem::remove(r.path, ignored);
    }
    // With the stranger's files gone, the same server starts.
    EXPECT_EQ("made", CreateAs(kService, base, kGroupAccess));
    ExpectNothingLeft();
}

TEST_F(PipeAccessTest, AServerRefusesAStrangersObjectsUnderItsKeyFiles) {
    // The service ran before: its key files stay, its objects went.
    ASSERT_EQ("made", CreateAs(kService, base, kGroupAccess));
    struct Row {
        KeyFile file;
        mode_t mode;
        uid_t handedTo;
        std::string refusal;
    } rows[] = {
        // The registry lock, which the server may not even look at.
        {{base, false}, 0600, uid_t(-1), "owner of " + base + " (uid 54323)"},
        {{base + ".sem", false}, 0666, uid_t(-1), "owner of " + base + ".sem (uid 54323)"},
        {{base + ".shm.0", true}, 0666, uid_t(-1), "owner of " + base + ".shm.0 (uid 54323)"},
        // Handed to the service, but still its maker's to change.
        {{base + ".0", true}, 0666, kServiceUid, "creator of " + base + ".0 (uid 54323)"},
        {{base + ".ssm", false}, 0666, kServiceUid, "creator of " + base + ".ssm (uid 54323)"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file.path);
        ASSERT_EQ("", Plant(r.file, r.mode, r.handedTo));
        EXPECT_EQ("failed: " + r.refusal + " is not the owner of its key file (uid 54321) (refused)",
                  CreateAs(kService, base, kGroupAccess));
        EXPECT_EQ(1u, ObjectsLeft(base).size()) << "a refused start makes nothing";
        RemoveObjectUx((r.file.path + (r.file.segment ? "" : ".0")).c_str(), r.file.segment ? MH_SHM : MH_SEM);
    }
    EXPECT_EQ("made", CreateAs(kService, base, kGroupAccess));
    ExpectNothingLeft();
}

TEST_F(PipeAccessTest, ClientsTrustOnlyObjectsOfTheirKeyFilesOwner) {
    // The service ran before and left its key files; a stranger puts a
    // registry and a server under them that any client would send its
    // request to. Every client refuses at its first object, root too, and
    // nothing is sent.
    ASSERT_EQ("made", CreateAs(kService, base, kGroupAccess));
    for (const KeyFile& file : KeyFilesOf(base, 1)) ASSERT_EQ("", Plant(file, 0666));
    ASSERT_EQ("", FillRegistry(base));
    std::string refusal = "failed: owner of " + base +
                          ".sem (uid 54323) is not the owner of its key file (uid 54321) (refused)";
    EXPECT_EQ(refusal, CallAs(kMember, base, "Esecret"));
    EXPECT_EQ(refusal, CallAs({0, 0, {}}, base, "Esecret"));
    EXPECT_EQ(std::string(64, '\0'), BlockOf(base + ".shm.0", 64)) << "no request reached the stranger's block";
    RemoveEverything(base);

    // Now the stranger's own pipe, key files and all, which the rules let
    // pass: one object at a time is made another user's, or its key file
    // writable by everybody. The client refuses whichever it is, wherever
    // in the exchange it meets it.
    const User other = kOutsider;
    struct Row {
        KeyFile file;
        bool keyFileOpen;  // else: the object is another user's
    };
    std::vector<Row> rows;
    for (const KeyFile& file : KeyFilesOf(base, 1)) {
        rows.push_back({file, false});
        rows.push_back({file, true});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file.path + (r.keyFileOpen ? ": key file writable by all" : ": another user's object"));
        for (const KeyFile& file : KeyFilesOf(base, 1)) {
            ASSERT_EQ("", PlantFile(file.path, "file"));
            ASSERT_EQ("", Plant(file, 0666));
        }
        ASSERT_EQ("", FillRegistry(base));
        std::string expected;
        if (r.keyFileOpen) {
            ASSERT_EQ(0, chmod(r.file.path.c_str(), 0666));
            expected = "failed: key file " + r.file.path +
                       " may be written by others than its owner and group (mode 0666) (refused)";
        } else {
            RemoveObjectUx((r.file.path + (r.file.segment ? "" : ".0")).c_str(), r.file.segment ? MH_SHM : MH_SEM);
            ASSERT_EQ("", AskChild([&]() -> std::string {
                          if (!BecomeUser(other)) return Errno("cannot become another user");
                          key_t key = ftok(r.file.path.c_str(), kTokenId);
                          int id = r.file.segment ? shmget(key, r.file.path == base + ".0" ? kRegistrySize : kBlock,
                                                           IPC_CREAT | IPC_EXCL | 0666)
                                                  : semget(key, kSemMembers, IPC_CREAT | IPC_EXCL | 0666);
                          if (id == -1) return Errno("make " + r.file.path);
                          if (r.file.segment) return "";
                          std::vector<unsigned short> ones(kSemMembers, 1);
                          SemArg arg;
                          arg.array = ones.data();
                          return semctl(id, 0, SETALL, arg) == 0 ? "" : Errno("semctl SETALL");
                      }));
            if (r.file.path == base + ".0") {
                ASSERT_EQ("", FillRegistry(base));
            }
            expected = "failed: owner of " + r.file.path +
                       " (uid 65534) is not the owner of its key file (uid 54323) (refused)";
        }
        EXPECT_EQ(expected, CallAs(kMember, base, "Esecret"));
        EXPECT_EQ(std::string(64, '\0'), BlockOf(base + ".shm.0", 64)) << "nothing was sent";
        RemoveEverything(base);
    }
    ExpectNothingLeft();
}

// ------------------------------------------------------------ the program

class ServerAccessTest : public AccessTest {
protected:
    // velmox-server run to its end as `user`.
    srvtest::Finished RunServerAs(const User& user, const std::vector<std::string>& options) {
        ServerAs(user);
        std::vector<std::string> argv = m_prefix;
        std::vector<std::string> server = {VELMOX_SERVER, "-b", base, "-n", "2", "--inspect", "-l", m_dir + "/run.log"};
        argv.insert(argv.end(), server.begin(), server.end());
        argv.insert(argv.end(), options.begin(), options.end());
        return srvtest::RunToEnd(argv, 90);
    }
};

TEST_F(ServerAccessTest, GroupAndModeReachEveryObjectAndKeyFile) {
    struct Row {
        std::vector<std::string> options;
        gid_t group;
        unsigned mode;
        bool memberServed, outsiderServed;
    } rows[] = {
        {{"--group", "54330"}, kWebGroup, 0660, true, false},
        {{"--group", "54330", "--mode", "0600"}, kWebGroup, 0600, false, false},
        {{"--mode", "640"}, kServiceUid, 0640, false, false},
        {{}, kServiceUid, 0666, true, true},
    };
    const std::string warning = "every local user can read and change the requests and answers";
    for (const Row& r : rows) {
        std::string options;
        for (const std::string& o : r.options) options += " " + o;
        SCOPED_TRACE("velmox-server" + options);
        srvtest::ServerRun& server = ServerAs(kService);
        ASSERT_TRUE(server.Start(2, r.options)) << server.Stderr() << server.Log();
        for (const KeyFile& file : KeyFilesOf(base, 2)) {
            SCOPED_TRACE(file.path);
            EXPECT_EQ(Owners(kServiceUid, r.group, r.mode), ObjectState(file));
            if (r.options.empty()) {
                struct stat key;
                ASSERT_EQ(0, stat(file.path.c_str(), &key));
                EXPECT_EQ(0u, key.st_mode & S_IWOTH);
            } else {
                EXPECT_EQ(Owners(kServiceUid, r.group, r.mode & 0664), FileState(file.path));
            }
        }
        EXPECT_EQ(r.mode & 0007 ? 1 : 0, srvtest::CountLines(server.Log(), warning)) << server.Log();
        std::string refused = "failed: semget " + base + ".sem: Permission denied (refused)";
        std::string member = CallAs(kMember, base, "any bytes");
        std::string outsider = CallAs(kOutsider, base, "any bytes");
        EXPECT_EQ(r.memberServed, member.compare(0, 7, "served ") == 0) << member.substr(0, 200);
        EXPECT_EQ(r.outsiderServed, outsider.compare(0, 7, "served ") == 0) << outsider.substr(0, 200);
        if (!r.memberServed) {
            EXPECT_EQ(refused, member);
        }
        if (!r.outsiderServed) {
            EXPECT_EQ(refused, outsider);
        }
        EXPECT_EQ(0, server.Stop()) << server.Log();
        ExpectNothingLeft();
        server.RemoveFiles();
        RemoveEverything(base);  // the next row's key files are new
    }
}

TEST_F(ServerAccessTest, AStrangersKeyFileOrObjectStopsTheStart) {
    // A key file made first by somebody else.
    ASSERT_EQ("", PlantFile(base + ".sem", "file"));
    srvtest::Finished run = RunServerAs(kService, {"--group", "54330"});
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_THAT(run.err, HasSubstr("cannot create its pipe: key file " + base +
                                   ".sem belongs to uid 54323, not to this server's user (uid 54321)"))
        << run.err;
    EXPECT_THAT(run.err, HasSubstr("cannot create the pipe of base name " + base)) << run.err;
    EXPECT_TRUE(ObjectsLeft(base).empty()) << "a refused start makes nothing";
    std::filesystem::remove(base + ".sem");

    // An object made under the service's own key file while it was down.
    ASSERT_EQ("made", CreateAs(kService, base, kGroupAccess));
    ASSERT_EQ("", Plant({base + ".shm.0", true}, 0600));
    run = RunServerAs(kService, {"--group", "54330"});
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_THAT(run.err, HasSubstr("cannot create its pipe: owner of " + base +
                                   ".shm.0 (uid 54323) is not the owner of its key file (uid 54321)"))
        << run.err;
    EXPECT_EQ(1u, ObjectsLeft(base).size()) << "a refused start makes nothing";
    // The registry tool says why it shows no registry of a stranger's.
    for (const KeyFile& file : KeyFilesOf(base, 0)) ASSERT_EQ("", Plant(file, 0666));
    srvtest::Finished show = srvtest::RunToEnd({VELMOX_REGISTRY, "show", "-b", base});
    EXPECT_EQ(1, show.status);
    EXPECT_THAT(show.out, HasSubstr("no registry for " + base + "\nrefused: owner of " + base +
                                    ".sem (uid 54323) is not the owner of its key file (uid 54321)\n"))
        << show.out;
    RemovePlantedAndExpectNothingLeft();
}

TEST_F(ServerAccessTest, TheCommandLineSaysWhatIsWrongWithTheAccess) {
    struct Row {
        std::vector<std::string> options;
        User user;
        std::string err;
    } rows[] = {
        {{"--mode", "0777"}, kService,
         "--mode must be an octal mode of read and write bits from 0600 to 0666, not \"0777\""},
        {{"--mode", "0400"}, kService, "from 0600 to 0666, not \"0400\""},
        {{"--mode", "rw-rw----"}, kService, "from 0600 to 0666, not \"rw-rw----\""},
        {{"--group", "no-such-velmox-group"}, kService, "--group names no group: \"no-such-velmox-group\""},
        {{"--group", "54330"}, {kServiceUid, kServiceUid, {}},
         "this user (uid 54321) is not a member of the group \"54330\""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.options[0] + " " + r.options[1]);
        srvtest::Finished run = RunServerAs(r.user, r.options);
        EXPECT_EQ(2, run.status);
        EXPECT_THAT(run.err, HasSubstr(r.err)) << run.err;
    }
    EXPECT_TRUE(ObjectsLeft(base).empty());
}

}  // namespace
