// The file-system helpers of the library: existence, removal, renaming,
// directories, directory listing and emptying, path joining and extensions,
// and the path-to-lock-name rule that every path lock of the system uses.
//
// "/" separates path components. Failures are reported as one event-log
// message (core/vorn_file.h lists the numbers) and a false result. A true
// withLock argument holds the path lock (the CVornMutex of PathToLockName)
// for the duration, waiting for it as CVornDiskFile::Open does; these calls
// pass on that mutex's CVornException. A null path behaves as a path that
// does not exist.
//
// Any thread may call these.
#pragma once

#include "core/vorn_list.h"
#include "core/vorn_string.h"

// Whether the path exists (any kind of file). No message.
bool FileExists(const char* path, bool withLock);

// Removes a file; when that is refused (EACCES) the file is made writable
// and removed again. False with message 107 (path, errno) on failure.
// Directories are not removed.
bool RemoveFile(const char* path, bool withLock);

// Renames from to to. Fails, like the Windows rename it stands for, when the
// target exists (renameat2 with RENAME_NOREPLACE; never replaces, never
// leaves the target missing). With withLock holds the source's path lock,
// then the target's (released in the same order); callers never rename one
// pair both ways at once. False with message 108 (from, to, errno).
bool RenameFile(const char* from, const char* to, bool withLock);

// Creates one directory (mode 0755). False with message 109 (path, errno).
bool MakeDir(const char* path);

// Removes an empty directory. False with message 110 (path, errno).
bool RemoveDir(const char* path);

// Replaces out with the names in directory (files and subdirectories, in the
// order the system gives them, without "." and ".."). False with message 114
// (directory, errno) and out unchanged when it cannot be listed.
bool ListDir(CVornStringList& out, const char* directory);

// Removes every file of directory (not recursive: subdirectories stay, and
// each is reported by RemoveFile). False when the directory does not exist or
// cannot be listed; true otherwise, also when some entries stayed.
bool EmptyDir(const char* directory);

// out := directory + "/" + name; no second "/" when directory already ends
// in one. out may be neither argument's storage.
void JoinPath(CVornString& out, const char* directory, const char* name);

// The last of the items that the path's last component splits into at "."
// (runs of dots count as one, empty items are dropped), when there are at
// least two: "a.b.c" gives "c"; "name", ".name" and "name." have none, and
// out is then left unchanged.
void GetFileExtension(const char* path, CVornString& out);

// In place: every "/" and "\" becomes ",", then only the last 255 bytes are
// kept. No case folding: two spellings of one path give two locks.
void PathToLockName(CVornString& path);
