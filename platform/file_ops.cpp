// File system calls for the library's files. See file_ops.h.
//
//   OpenFile, ReadSome, WriteAll, CloseFile, SeekFile, TruncateFile, SyncFile
//   StatPath, StatFile, PathExists, RemovePath, AddWritePermission
//   RenamePath, MakeDirectory, RemoveDirectory, ListDirectory
//
// Bad input: a null path, buffer or out pointer fails with EINVAL before any
// call is made. Interrupted calls are retried; close(2) is not, because on
// Linux the descriptor is gone after EINTR.
#include "platform/file_ops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool fail(int error) {
    errno = error;
    return false;
}

void fillInfo(const struct stat& st, FileInfo* info) {
    info->size = static_cast<long long>(st.st_size);
    info->modTime = st.st_mtime;
    info->isDirectory = S_ISDIR(st.st_mode);
}

}  // namespace

int OpenFile(const char* path, int flags, mode_t mode) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

long ReadSome(int fd, void* buffer, size_t n) {
    if (!buffer) {
        errno = EINVAL;
        return -1;
    }
    ssize_t got;
    do {
        got = read(fd, buffer, n);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

bool WriteAll(int fd, const void* bytes, size_t n, size_t* written) {
    size_t done = 0;
    if (written)
        *written = 0;
    if (!bytes && n > 0)
        return fail(EINVAL);
    const char* p = static_cast<const char*>(bytes);
    while (done < n) {
        ssize_t put = write(fd, p + done, n - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (put == 0) {
            errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(put);
    }
    if (written)
        *written = done;
    return done == n;
}

bool CloseFile(int fd) {
    if (close(fd) == 0)
        return true;
    return errno == EINTR;
}

long long SeekFile(int fd, long long offset, int whence) {
    return static_cast<long long>(lseek(fd, static_cast<off_t>(offset), whence));
}

bool TruncateFile(int fd, long long size) {
    int rc;
    do {
        rc = ftruncate(fd, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool SyncFile(int fd) {
    int rc;
    do {
        rc = fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool StatPath(const char* path, FileInfo* info) {
    if (!path || !info)
        return fail(EINVAL);
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    fillInfo(st, info);
    return true;
}

bool StatFile(int fd, FileInfo* info) {
    if (!info)
        return fail(EINVAL);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    fillInfo(st, info);
    return true;
}

bool PathExists(const char* path) {
    if (!path)
        return fail(EINVAL);
    return access(path, F_OK) == 0;
}

bool RemovePath(const char* path) {
    if (!path)
        return fail(EINVAL);
    return unlink(path) == 0;
}

bool AddWritePermission(const char* path) {
    if (!path)
        return fail(EINVAL);
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    return chmod(path, (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool RenamePath(const char* from, const char* to, bool replace) {
    if (!from || !to)
        return fail(EINVAL);
    if (replace)
        return rename(from, to) == 0;
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    // The file system cannot refuse the target by itself: link(2) never
    // replaces, so link and then drop the old name.
    int saved = errno;
    struct stat st;
    if (lstat(from, &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode))
        return fail(saved);
    if (link(from, to) != 0)
        return false;
    if (unlink(from) != 0) {
        int error = errno;
        unlink(to);
        return fail(error);
    }
    return true;
}

bool MakeDirectory(const char* path, mode_t mode) {
    if (!path)
        return fail(EINVAL);
    return mkdir(path, mode) == 0;
}

bool RemoveDirectory(const char* path) {
    if (!path)
        return fail(EINVAL);
    return rmdir(path) == 0;
}

bool ListDirectory(const char* path, std::vector<std::string>* names) {
    if (!path || !names)
        return fail(EINVAL);
    DIR* dir = opendir(path);
    if (!dir)
        return false;
    std::vector<std::string> found;
    int error = 0;
    for (;;) {
        errno = 0;
        dirent* entry = readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        try {
            found.emplace_back(entry->d_name);
        } catch (...) {
            closedir(dir);
            throw;
        }
    }
    closedir(dir);
    if (error != 0)
        return fail(error);
    names->swap(found);
    return true;
}

}  // namespace platform
