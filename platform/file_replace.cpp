// File stamps, hard links and permission copies. See file_replace.h.
//
//   GetFileStamp     stat(2) of a path into a FileStamp
//   LinkPath         link(2)
//   CopyPermissions  stat(2) of one path, chmod(2) of the other
//
// Bad input: a null path gives a missing stamp, or false with EINVAL.
#include "platform/file_replace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace platform {

bool FileStamp::operator==(const FileStamp& other) const {
    if (!exists || !other.exists)
        return exists == other.exists;
    return size == other.size && modSeconds == other.modSeconds &&
           modNanoseconds == other.modNanoseconds && device == other.device && inode == other.inode;
}

FileStamp GetFileStamp(const char* path) {
    FileStamp stamp;
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return stamp;
    stamp.exists = true;
    stamp.size = static_cast<long long>(st.st_size);
    stamp.modSeconds = static_cast<long long>(st.st_mtim.tv_sec);
    stamp.modNanoseconds = static_cast<long>(st.st_mtim.tv_nsec);
    stamp.device = static_cast<unsigned long long>(st.st_dev);
    stamp.inode = static_cast<unsigned long long>(st.st_ino);
    return stamp;
}

bool LinkPath(const char* from, const char* to) {
    if (!from || !to) {
        errno = EINVAL;
        return false;
    }
    return link(from, to) == 0;
}

bool CopyPermissions(const char* from, const char* to) {
    if (!from || !to) {
        errno = EINVAL;
        return false;
    }
    struct stat st;
    if (stat(from, &st) != 0)
        return false;
    return chmod(to, st.st_mode & 07777) == 0;
}

bool CreateLike(const char* model, const char* path) {
    if (!model || !path) {
        errno = EINVAL;
        return false;
    }
    struct stat st;
    mode_t mode = stat(model, &st) == 0 ? (st.st_mode & 07777) : 0600;
    // Created with no permissions at all, then given the model's exactly
    // (the umask does not widen or narrow them): never readable by others
    // for an instant when the model is private.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, mode) == 0;
    int error = errno;
    close(fd);
    if (!ok) {
        unlink(path);
        errno = error;
    }
    return ok;
}

bool SyncDirectoryOf(const char* path) {
    if (!path) {
        errno = EINVAL;
        return false;
    }
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    int error = errno;
    close(fd);
    errno = error;
    return ok;
}

}  // namespace platform
