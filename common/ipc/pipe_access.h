/// @file
/// Who may use the objects of a pipe, and whose objects a process trusts.
///
/// A server task makes every object of its pipe (semaphore sets, segments
/// and the key files that name them) with a PipeAccess: by default mode 0666,
/// every local user may read and write them; with a group, the objects
/// belong to the server's user and that group (mode 0660 unless said
/// otherwise), and only members of the group (the web server's user) reach
/// them. Key files are never written: they get the mode without write for
/// others.
///
/// Trust, whatever the access: the system layer (ux_mem.h) only uses objects
/// whose owner and creator are the owner of their key file, and refuses key
/// files that others than their owner and group may write. A server also
/// refuses key files that are symbolic links, not regular files, or another
/// user's, and so existing objects of another user. Root is held to the same
/// rules; only its permissions are wider.
///
/// A PipeAccess is a value that travels with the base name into the calls
/// that make objects; nothing here is state of the process.
#ifndef VELMOX_PIPE_ACCESS_H
#define VELMOX_PIPE_ACCESS_H

#include <sys/types.h>

/// The mode and group of a pipe's objects and key files.
struct PipeAccess {
    /// The group of a pipe whose objects keep the group they were made with
    /// (the creating process's).
    static constexpr gid_t kOwnGroup = gid_t(-1);
    /// The mode of a pipe nobody configured: every local user may use it.
    static constexpr mode_t kOpenMode = 0666;
    /// The mode of a pipe with a group, unless another is given.
    static constexpr mode_t kGroupMode = 0660;

    mode_t mode = kOpenMode;  ///< sets and segments; only bits of 0666
    gid_t group = kOwnGroup;  ///< the objects' group; kOwnGroup: the creator's

    /// The access of a server given nothing: 0666, the creator's group.
    bool IsDefault() const { return mode == kOpenMode && group == kOwnGroup; }
    /// True when users outside the owner and the group reach the objects.
    bool OpenToEveryone() const { return (mode & 0007) != 0; }
    /// The mode of the key files: the objects' without write for others.
    mode_t KeyFileMode() const { return mode & 0664; }
};

#endif
