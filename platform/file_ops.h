// Thin wrappers over the file system calls that the library's files use.
//
//   OpenFile          open(2) close-on-exec, retried on EINTR; directories refused
//   ReadSome          one read(2), retried on EINTR
//   WriteAll          write(2) until every byte is out (partial writes, EINTR)
//   CloseFile         close(2); EINTR counts as closed
//   SeekFile          lseek(2)
//   TruncateFile      ftruncate(2)
//   SyncFile          fsync(2)
//   StatPath/StatFile stat(2) / fstat(2): size and modification time
//   PathExists        access(F_OK)
//   RemovePath        unlink(2)
//   AddWritePermission chmod(2) adding the owner's write bit
//   RenamePath        rename(2), or a rename that refuses an existing target
//   MakeDirectory     mkdir(2);  RemoveDirectory  rmdir(2)
//   ListDirectory     every name readdir(3) gives, "." and ".." included
//
// Every function returns false or -1 with errno set on failure and never
// throws (ListDirectory may throw std::bad_alloc). Descriptors are always
// close-on-exec: the service starts child processes. Paths are NUL-terminated
// byte strings; a null path fails with EINVAL.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

namespace platform {

struct FileInfo {
    long long size = 0;
    time_t modTime = 0;
    bool isDirectory = false;
};

// flags are open(2) flags (O_CLOEXEC is added). A directory is refused with
// EISDIR also when opened read-only, as on systems where a directory is not a
// file. Returns the descriptor or -1.
int OpenFile(const char* path, int flags, mode_t mode);

// Up to n bytes; 0 at the end of the file; -1 on error.
long ReadSome(int fd, void* buffer, size_t n);

// True when all n bytes were written. On false errno says why (a write that
// made no progress gives ENOSPC) and *written (may be null) tells how many
// bytes did reach the file.
bool WriteAll(int fd, const void* bytes, size_t n, size_t* written);

bool CloseFile(int fd);

// whence is SEEK_SET, SEEK_CUR or SEEK_END. The new offset, or -1.
long long SeekFile(int fd, long long offset, int whence);

bool TruncateFile(int fd, long long size);
bool SyncFile(int fd);

bool StatPath(const char* path, FileInfo* info);
bool StatFile(int fd, FileInfo* info);

bool PathExists(const char* path);
bool RemovePath(const char* path);
bool AddWritePermission(const char* path);

// replace true: rename(2), which replaces an existing target atomically.
// replace false: fails with EEXIST when the target exists; uses
// renameat2(RENAME_NOREPLACE), and on file systems without it link(2) and
// unlink(2) of the source (files only), which is just as safe.
bool RenamePath(const char* from, const char* to, bool replace);

bool MakeDirectory(const char* path, mode_t mode);
bool RemoveDirectory(const char* path);

// Replaces *names with the directory's entries in the order the system gives
// them. On false *names is unchanged.
bool ListDirectory(const char* path, std::vector<std::string>* names);

}  // namespace platform
