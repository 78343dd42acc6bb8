// What a writer needs to put a new version of a file in place of the old
// one, and what a reader needs to tell that this happened.
//
//   GetFileStamp     modification time (to the nanosecond), size and identity
//                    (device and inode) of a path
//   LinkPath         link(2): a second name for an existing file
//   CopyPermissions  give a file the permission bits of another
//   CreateLike       create a new file exclusively with another's permission
//                    bits (0600 when that one is missing), before any byte
//   SyncDirectoryOf  fsync(2) the directory that holds a path, so renames
//                    in it survive a crash
//
// A rewrite that renames a new file over the old one changes the identity,
// so two rewrites within one second, even of equal size, give two stamps.
//
// Never throws; any thread may call these.
#pragma once

namespace platform {

struct FileStamp {
    bool exists = false;  // false: the path could not be examined
    long long size = 0;
    long long modSeconds = 0;
    long modNanoseconds = 0;
    unsigned long long device = 0;
    unsigned long long inode = 0;

    // Equal when both are missing, or both exist with every field equal.
    bool operator==(const FileStamp& other) const;
    bool operator!=(const FileStamp& other) const { return !(*this == other); }
};

// The stamp of path (stat(2), following links); exists false when stat
// fails or path is null.
FileStamp GetFileStamp(const char* path);

// Gives the file from also the name to; fails (errno EEXIST) when to exists.
// False with errno set on failure (null paths: EINVAL).
bool LinkPath(const char* from, const char* to);

// Sets the permission bits of to to those of from. False with errno set
// when either cannot be examined or changed (null paths: EINVAL).
bool CopyPermissions(const char* from, const char* to);

// Creates path exclusively (never through a link) with the permission bits
// of model, or 0600 when model is missing, set before anything is written.
// False (errno set) when path exists or cannot be made.
bool CreateLike(const char* model, const char* path);

// False (errno set) when the directory of path cannot be opened or synced.
bool SyncDirectoryOf(const char* path);

}  // namespace platform
