// Shared by the access suites: the users a test's children become (no
// account needs to exist for them), the pipe's key files and the owners of
// files and objects, and what a stranger plants. Every function runs in the
// test process as root unless it says that it runs as another user.
#ifndef VELMOX_TEST_ACCESS_UTIL_H
#define VELMOX_TEST_ACCESS_UTIL_H

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ipc_harness.h"
#include "registry.h"
#include "ux_mem.h"

namespace accesstest {

using ipctest::AskChild;
using ipctest::BecomeUser;
using ipctest::User;

// The ids. None needs an account.
const uid_t kServiceUid = 54321;
const gid_t kWebGroup = 54330;
const uid_t kStrangerUid = 54323;
const User kService = {kServiceUid, kServiceUid, {kWebGroup}};  // the server task's user
const User kMember = {54322, 54322, {kWebGroup}};               // the web server's user, in the group
const User kOutsider = {65534, 65534, {}};                      // any other local user
const User kStranger = {kStrangerUid, kStrangerUid, {}};        // one who plants key files or objects

const PipeAccess kGroupAccess = {0660, kWebGroup};
const unsigned long kBlock = 4096;

union SemArg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

inline std::string Text(const IpcFailure& failure) {
    char buffer[IpcFailure::kTextSize];
    return failure.Text(buffer, sizeof buffer);
}

inline std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// A key file of the pipe, and whether it names a segment.
struct KeyFile {
    std::string path;
    bool segment;
};

inline std::vector<KeyFile> KeyFilesOf(const std::string& base, int slots) {
    std::vector<KeyFile> files = {{base, false},          {base + ".0", true},   {base + ".sem", false},
                                  {base + ".mtx", false}, {base + ".csm", false}, {base + ".ssm", false},
                                  {base + ".stats", true}};
    for (int slot = 0; slot < slots; ++slot) files.push_back({base + ".shm." + std::to_string(slot), true});
    return files;
}

inline std::string Owners(unsigned uid, unsigned gid, unsigned mode) {
    char text[64];
    std::snprintf(text, sizeof text, "uid %u gid %u mode %04o", uid, gid, mode);
    return text;
}

// "uid U gid G mode M" of a file, "missing" when there is none.
inline std::string FileState(const std::string& path) {
    struct stat file;
    if (lstat(path.c_str(), &file) != 0) return "missing";
    return Owners(file.st_uid, file.st_gid, file.st_mode & 07777);
}

// The same of the object a key file names (its creator must be its owner),
// "none" when there is none.
inline std::string ObjectState(const KeyFile& file) {
    key_t key = ftok(file.path.c_str(), kTokenId);
    if (key == key_t(-1)) return "none";
    struct ipc_perm perm;
    if (file.segment) {
        int id = shmget(key, 0, 0);
        struct shmid_ds info;
        if (id == -1 || shmctl(id, IPC_STAT, &info) != 0) return "none";
        perm = info.shm_perm;
    } else {
        int id = semget(key, 0, 0);
        struct semid_ds info;
        SemArg arg;
        arg.buf = &info;
        if (id == -1 || semctl(id, 0, IPC_STAT, arg) != 0) return "none";
        perm = info.sem_perm;
    }
    if (perm.cuid != perm.uid) return "made by uid " + std::to_string(perm.cuid) + ", owned by another";
    return Owners(perm.uid, perm.gid, perm.mode & 0777);
}

// What a stranger plants under the key file of `file`, which must exist: a
// set (a member at 1) or a zero-filled segment of the block's size, with
// `mode`; handed to `owner` afterwards when one is given (its creator
// stays). "" or what failed.
inline std::string Plant(const KeyFile& file, mode_t mode, uid_t owner = uid_t(-1)) {
    return AskChild([&]() -> std::string {
        if (!BecomeUser(kStranger)) return Errno("cannot become the stranger");
        key_t key = ftok(file.path.c_str(), kTokenId);
        if (key == key_t(-1)) return Errno("ftok " + file.path);
        if (file.segment) {
            bool registry = file.path.find(".shm.") == std::string::npos;
            int id = shmget(key, registry ? kRegistrySize : kBlock, IPC_CREAT | IPC_EXCL | int(mode));
            if (id == -1) return Errno("shmget " + file.path);
            if (owner == uid_t(-1)) return "";
            struct shmid_ds info;
            if (shmctl(id, IPC_STAT, &info) != 0) return Errno("shmctl IPC_STAT");
            info.shm_perm.uid = owner;
            return shmctl(id, IPC_SET, &info) == 0 ? "" : Errno("shmctl IPC_SET");
        }
        int id = semget(key, kSemMembers, IPC_CREAT | IPC_EXCL | int(mode));
        if (id == -1) return Errno("semget " + file.path);
        std::vector<unsigned short> ones(kSemMembers, 1);
        SemArg arg;
        arg.array = ones.data();
        if (semctl(id, 0, SETALL, arg) != 0) return Errno("semctl SETALL");
        if (owner == uid_t(-1)) return "";
        struct semid_ds info;
        arg.buf = &info;
        if (semctl(id, 0, IPC_STAT, arg) != 0) return Errno("semctl IPC_STAT");
        info.sem_perm.uid = owner;
        return semctl(id, 0, IPC_SET, arg) == 0 ? "" : Errno("semctl IPC_SET");
    });
}

// A file the stranger makes at path: a key file of theirs ("file"), a
// symbolic link to `target` ("link") or a directory ("directory").
inline std::string PlantFile(const std::string& path, const std::string& what, const std::string& target = "") {
    return AskChild([&]() -> std::string {
        if (!BecomeUser(kStranger)) return Errno("cannot become the stranger");
        if (what == "link") return symlink(target.c_str(), path.c_str()) == 0 ? "" : Errno("symlink");
        if (what == "directory") return mkdir(path.c_str(), 0755) == 0 ? "" : Errno("mkdir");
        int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) return Errno("open");
        close(fd);
        return "";
    });
}

// The view a root process gets of a segment, whoever made it; null when
// there is none.
inline void* AttachRaw(const std::string& path) {
    key_t key = ftok(path.c_str(), kTokenId);
    int id = key == key_t(-1) ? -1 : shmget(key, 0, 0);
    void* view = id == -1 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
    return view == reinterpret_cast<void*>(-1) ? nullptr : view;
}

// Fills planted objects as a server's would be: one idle registered slot 0
// whose server is alive (this test process), one free server. "" or what
// failed.
inline std::string FillRegistry(const std::string& base) {
    void* view = AttachRaw(base + ".0");
    if (!view) return Errno("attach " + base + ".0");
    ServerList* list = static_cast<ServerList*>(view);
    list->max = kMaxServers;
    list->count = 1;
    for (int slot = 0; slot < kMaxServers; ++slot) {
        list->servers[slot].clientPid = -1;
        list->servers[slot].index = slot == 0 ? 0 : -1;
        list->servers[slot].serverPid = slot == 0 ? getpid() : 0;
    }
    shmdt(view);
    key_t key = ftok((base + ".sem").c_str(), kTokenId);
    int id = semget(key, 0, 0);
    SemArg arg;
    arg.val = 1;
    return id != -1 && semctl(id, 0, SETVAL, arg) == 0 ? "" : Errno("the free-server count");
}

// The first bytes of a segment; "none" when there is none.
inline std::string BlockOf(const std::string& path, size_t bytes) {
    void* view = AttachRaw(path);
    if (!view) return "none";
    std::string block(static_cast<char*>(view), bytes);
    shmdt(view);
    return block;
}

}  // namespace accesstest

#endif
