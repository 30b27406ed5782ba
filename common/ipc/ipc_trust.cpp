// The core's rules of trust (pipe_access.h): key files as a server
// makes them and as a client finds them, the owners of objects, and the
// access a server gives what it makes.
//
// Why owner and creator both: the owner of a set or segment may hand it to
// another user (IPC_SET), but stays its creator and keeps full control of
// it. An object is trusted only when the key file's owner made it and owns
// it. A key file's owner cannot hand it on, and in a directory with the
// sticky bit (/tmp) or one only the service may write, nobody else can put
// another file under its name.
#include "ipc_trust.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ipc {

namespace {

// The key ftok(path, kTokenId) gives, from the look at the file that its
// checks used: the key is then surely the checked file's, where ftok would
// look again and take whatever lies under the name by then (and a client
// would pay a second stat per object). The formula is ftok's, as its manual
// page gives it: the low 8 bits of the project id, of the device number and
// the low 16 bits of the inode number (UxTest compares the two).
key_t KeyOfFile(const struct stat& file) {
    return key_t(((unsigned(kTokenId) & 0xffu) << 24) | ((unsigned(file.st_dev) & 0xffu) << 16) |
                  (unsigned(file.st_ino) & 0xffffu));
}

// A key file a server may use: its own regular file.
bool OwnKeyFile(const char* path, const struct stat& file, IpcFailure& failure) {
    char detail[IpcFailure::kDetailSize];
    if (S_ISLNK(file.st_mode)) return Refuse(failure, "key file", path, "is a symbolic link");
    if (!S_ISREG(file.st_mode)) return Refuse(failure, "key file", path, "is not a regular file");
    if (file.st_uid == geteuid()) return true;
    std::snprintf(detail, sizeof detail, "belongs to uid %u, not to this server's user (uid %u)",
                  unsigned(file.st_uid), unsigned(geteuid()));
    return Refuse(failure, "key file", path, detail);
}

// An open descriptor of the key file, made when missing; -1 with the cause
// recorded. The name is looked at before it is opened: a stranger's file is
// refused by name, and opening one (O_CREAT in a sticky directory) may be
// denied anyway.
int OpenKeyFile(const char* path, const PipeAccess& access, IpcFailure& failure) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        struct stat file;
        if (lstat(path, &file) == 0) {
            if (!OwnKeyFile(path, file, failure)) return -1;
            int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) Fail(failure, "open", path, errno);
            return fd;
        }
        if (errno != ENOENT) {
            Fail(failure, "lstat", path, errno);
            return -1;
        }
        int fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, access.KeyFileMode());
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            Fail(failure, "open", path, errno);
            return -1;
        }
        // Made by somebody else meanwhile: looked at once more.
    }
    Fail(failure, "open", path, EEXIST);
    return -1;
}

// Gives the key file the access: its group, and its mode (a default access
// only takes write for others away, keeping what the umask made).
bool AdjustKeyFile(int fd, const struct stat& file, const char* path, const PipeAccess& access,
                   IpcFailure& failure) {
    bool regroup = access.group != PipeAccess::kOwnGroup && file.st_gid != access.group;
    if (regroup && fchown(fd, uid_t(-1), access.group) != 0)
        return Fail(failure, "fchown to the pipe's group", path, errno);
    mode_t current = file.st_mode & 07777;
    mode_t wanted = access.IsDefault() ? mode_t(current & ~S_IWOTH) : access.KeyFileMode();
    if (wanted != current && fchmod(fd, wanted) != 0) return Fail(failure, "fchmod", path, errno);
    return true;
}

// Owner and creator of the object of a key from the system's list of them,
// which everybody may read (IPC_STAT needs read permission).
bool ListedOwners(ObjectKind kind, key_t key, uid_t& uid, uid_t& cuid) {
    std::FILE* list = std::fopen(kind == ObjectKind::Segment ? "/proc/sysvipc/shm" : "/proc/sysvipc/sem", "r");
    if (!list) return false;
    char line[512];
    int keyColumn = -1, uidColumn = -1, cuidColumn = -1;
    bool found = false;
    for (bool header = true; !found && std::fgets(line, sizeof line, list); header = false) {
        char* save = nullptr;
        int column = 0;
        long long values[3] = {0, 0, 0};
        for (char* word = strtok_r(line, " \t\n", &save); word; word = strtok_r(nullptr, " \t\n", &save), ++column) {
            if (header) {
                if (std::strcmp(word, "key") == 0) keyColumn = column;
                if (std::strcmp(word, "uid") == 0) uidColumn = column;
                if (std::strcmp(word, "cuid") == 0) cuidColumn = column;
                continue;
            }
            if (column == keyColumn) values[0] = std::strtoll(word, nullptr, 10);
            if (column == uidColumn) values[1] = std::strtoll(word, nullptr, 10);
            if (column == cuidColumn) values[2] = std::strtoll(word, nullptr, 10);
        }
        if (!header && keyColumn >= 0 && uidColumn >= 0 && cuidColumn >= 0 && key_t(values[0]) == key) {
            uid = uid_t(values[1]);
            cuid = uid_t(values[2]);
            found = true;
        }
    }
    std::fclose(list);
    return found;
}

// Owner and creator of the object `id`, and a segment's size (0 when not
// known); false with the cause recorded.
bool OwnersOf(ObjectKind kind, int id, key_t key, const char* path, uid_t& uid, uid_t& cuid, unsigned long& size,
              IpcFailure& failure) {
    struct ipc_perm perm;
    int result;
    size = 0;
    if (kind == ObjectKind::Segment) {
        struct shmid_ds info;
        result = shmctl(id, IPC_STAT, &info);
        perm = info.shm_perm;
        if (result == 0) size = (unsigned long)info.shm_segsz;
    } else {
        struct semid_ds info;
        SemArg arg;
        arg.buf = &info;
        result = semctl(id, 0, IPC_STAT, arg);
        perm = info.sem_perm;
    }
    if (result == 0) {
        uid = perm.uid;
        cuid = perm.cuid;
        return true;
    }
    int error = errno;
    if (error == EACCES && ListedOwners(kind, key, uid, cuid)) return true;
    return Fail(failure, kind == ObjectKind::Segment ? "shmctl IPC_STAT" : "semctl IPC_STAT", path, error);
}

bool Trusted(const char* path, uid_t keyOwner, uid_t uid, uid_t cuid, IpcFailure& failure) {
    if (uid == keyOwner && cuid == keyOwner) return true;
    char detail[IpcFailure::kDetailSize];
    std::snprintf(detail, sizeof detail, "(uid %u) is not the owner of its key file (uid %u)",
                  unsigned(uid != keyOwner ? uid : cuid), unsigned(keyOwner));
    return Refuse(failure, uid != keyOwner ? "owner of" : "creator of", path, detail);
}

}  // namespace

bool ReportRemovalFailure(IpcFailure& failure, const char* call, const char* name, int id, int member) {
    int error = errno;
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "Erase:semctl:%d:%d", id, member);
    errno = error;
    std::perror(prefix);
    return Fail(failure, call, name, error);
}

bool Refuse(IpcFailure& failure, const char* what, const char* object, const char* detail) {
    failure = IpcFailure::Refusal(what, object, detail);
    return false;
}

namespace trust {

bool SplitName(const char* name, ObjectKind kind, char (&path)[kObjectNameSize], int& member, IpcFailure& failure) {
    member = 0;
    if (!name || std::strlen(name) >= sizeof path) return Fail(failure, "name", name, ENAMETOOLONG);
    std::strcpy(path, name);
    if (kind == ObjectKind::Segment) return true;
    char* stop = std::strrchr(path, '.');
    if (!stop) return Fail(failure, "name without a member", name, EINVAL);
    // Read as atoi reads it, without its overflow: sign and leading digits.
    long value = std::strtol(stop + 1, nullptr, 10);
    if (value < 0 || value >= kSetMembers) return Fail(failure, "name with a member outside 0..63", name, EINVAL);
    member = int(value);
    *stop = 0;
    return true;
}


bool MakeKey(const char* path, const PipeAccess& access, key_t& key, IpcFailure& failure) {
    int fd = OpenKeyFile(path, access, failure);
    if (fd < 0) return false;
    struct stat file;
    bool ok = fstat(fd, &file) == 0 ? OwnKeyFile(path, file, failure) && AdjustKeyFile(fd, file, path, access, failure)
                                     : Fail(failure, "fstat", path, errno);
    close(fd);
    if (!ok) return false;
    key = KeyOfFile(file);
    // The name still stands for the checked file: nobody put another there.
    struct stat now;
    if (lstat(path, &now) != 0 || now.st_dev != file.st_dev || now.st_ino != file.st_ino)
        return Refuse(failure, "key file", path, "was replaced while it was checked");
    return true;
}

bool FindKey(const char* path, const char* missingCall, key_t& key, uid_t& owner, IpcFailure& failure) {
    struct stat file;
    if (stat(path, &file) != 0) return Fail(failure, errno == ENOENT ? missingCall : "stat", path, errno);
    if (file.st_mode & S_IWOTH) {
        char detail[IpcFailure::kDetailSize];
        std::snprintf(detail, sizeof detail, "may be written by others than its owner and group (mode %04o)",
                      unsigned(file.st_mode & 07777));
        return Refuse(failure, "key file", path, detail);
    }
    owner = file.st_uid;
    key = KeyOfFile(file);
    return true;
}

bool ExistingKey(const char* path, key_t& key, IpcFailure& failure) {
    key = ftok(path, kTokenId);
    return key != key_t(-1) || Fail(failure, "ftok", path, errno);
}

bool CheckTrust(ObjectKind kind, int id, key_t key, const char* path, uid_t keyOwner, IpcFailure& failure,
                unsigned long* size) {
    uid_t uid, cuid;
    unsigned long bytes = 0;
    bool trusted = OwnersOf(kind, id, key, path, uid, cuid, bytes, failure) && Trusted(path, keyOwner, uid, cuid, failure);
    if (size) *size = trusted ? bytes : 0;
    return trusted;
}

bool FailOpen(const char* call, ObjectKind kind, key_t key, const char* path, uid_t keyOwner, int error,
              IpcFailure& failure) {
    uid_t uid, cuid;
    if (error == EACCES && ListedOwners(kind, key, uid, cuid) && !Trusted(path, keyOwner, uid, cuid, failure)) return false;
    return Fail(failure, call, path, error);
}

bool GiveAccess(ObjectKind kind, int id, const PipeAccess& access, const char* path, IpcFailure& failure) {
    bool keepGroup = access.group == PipeAccess::kOwnGroup;
    if (kind == ObjectKind::Segment) {
        struct shmid_ds info;
        if (shmctl(id, IPC_STAT, &info) != 0) return Fail(failure, "shmctl IPC_STAT", path, errno);
        if ((info.shm_perm.mode & 0777) == access.mode && (keepGroup || info.shm_perm.gid == access.group)) return true;
        info.shm_perm.mode = (info.shm_perm.mode & ~0777u) | access.mode;
        if (!keepGroup) info.shm_perm.gid = access.group;
        return shmctl(id, IPC_SET, &info) == 0 || Fail(failure, "shmctl IPC_SET", path, errno);
    }
    struct semid_ds info;
    SemArg arg;
    arg.buf = &info;
    if (semctl(id, 0, IPC_STAT, arg) != 0) return Fail(failure, "semctl IPC_STAT", path, errno);
    if ((info.sem_perm.mode & 0777) == access.mode && (keepGroup || info.sem_perm.gid == access.group)) return true;
    info.sem_perm.mode = (info.sem_perm.mode & ~0777u) | access.mode;
    if (!keepGroup) info.sem_perm.gid = access.group;
    return semctl(id, 0, IPC_SET, arg) == 0 || Fail(failure, "semctl IPC_SET", path, errno);
}

int CreationMode(const PipeAccess& access) {
    return int(access.group == PipeAccess::kOwnGroup ? access.mode : access.mode & 0600);
}

}  // namespace trust
}  // namespace ipc
