// File helpers of the spool: bounded whole-file reads, line splitting,
// atomic and durable replacement, directory sync.
//
//   ReadSpoolFile / SplitSpoolLines / WriteSpoolFile / FillSpoolFile
//   SyncDirectory / DirectoryOf
//   DirectoryMode
//
// Bad input: a file over its bound is refused, never read into memory; a
// failed write leaves the old file in place and no temporary file behind.
#include "gateway/spool_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/event_log.h"
#include "core/vorn_file.h"
#include "platform/file_ops.h"
#include "platform/file_replace.h"

namespace {

constexpr int kEventError = 1;

}  // namespace

bool ReadSpoolFile(const std::string& path, long long maxBytes, std::string* out) {
    int fd = platform::OpenFile(path.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    std::string text;
    char buffer[8192];
    for (;;) {
        long n = platform::ReadSome(fd, buffer, sizeof buffer);
        if (n < 0) {
            int saved = errno;
            platform::CloseFile(fd);
            errno = saved;
            return false;
        }
        if (n == 0)
            break;
        if (static_cast<long long>(text.size()) + n > maxBytes) {
            platform::CloseFile(fd);
            errno = EFBIG;
            return false;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    platform::CloseFile(fd);
    out->swap(text);
    return true;
}

std::vector<std::string> SplitSpoolLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t stop = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

namespace {

// Opens path for writing with flags, writes content whole, syncs and closes
// it. False (errno of the first failure) when any step failed.
bool WriteSynced(const std::string& path, int flags, const std::string& content) {
    int fd = platform::OpenFile(path.c_str(), O_WRONLY | flags, 0600);
    if (fd < 0)
        return false;
    bool ok = platform::WriteAll(fd, content.data(), content.size(), nullptr) &&
              platform::SyncFile(fd);
    int saved = errno;
    ok = platform::CloseFile(fd) && ok;
    if (!ok)
        errno = saved;
    return ok;
}

}  // namespace

bool WriteSpoolFile(const std::string& path, const std::string& content, const char* tempSuffix) {
    std::string temp = path + tempSuffix;
    bool ok = WriteSynced(temp, O_CREAT | O_TRUNC, content) &&
              platform::RenamePath(temp.c_str(), path.c_str(), true);
    if (!ok) {
        int saved = errno;
        platform::RemovePath(temp.c_str());
        errno = saved;
        return false;
    }
    return SyncDirectory(DirectoryOf(path));
}

bool ReplaceFileKeepingOld(const std::string& path, const std::string& content,
                           const char* newSuffix, const char* oldSuffix) {
    const std::string fresh = path + newSuffix;
    const std::string old = path + oldSuffix;
    int fd = platform::OpenFile(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        LogEventStrInt(kMsgFileOpenFailed, kEventError, fresh.c_str(), errno);
        return false;
    }
    bool ok = platform::WriteAll(fd, content.data(), content.size(), nullptr) &&
              platform::SyncFile(fd);
    int error = errno;
    if (!platform::CloseFile(fd) && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        LogEventStrInt(kMsgFileWriteFailed, kEventError, fresh.c_str(), error);
        platform::RemovePath(fresh.c_str());
        return false;
    }
    // "old" becomes a second name of the current file, and the rename
    // replaces the file in one step.
    if (platform::PathExists(old.c_str()) && !platform::RemovePath(old.c_str()))
        LogEventStrInt(kMsgFileRemoveFailed, kEventError, old.c_str(), errno);
    if (platform::PathExists(path.c_str()))
        platform::LinkPath(path.c_str(), old.c_str());
    if (!platform::RenamePath(fresh.c_str(), path.c_str(), true)) {
        LogEventStrStrInt(kMsgFileRenameFailed, kEventError, fresh.c_str(), path.c_str(), errno);
        return false;
    }
    platform::SyncDirectoryOf(path.c_str());
    return true;
}

bool FillSpoolFile(const std::string& path, const std::string& content) {
    return WriteSynced(path, O_TRUNC, content) && SyncDirectory(DirectoryOf(path));
}

// The platform layer opens files only, never directories, so the spool syncs
// its directory here.
bool SyncDirectory(const std::string& directory) {
    int fd;
    do {
        fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The platform layer's stat gives no permission bits.
int DirectoryMode(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return -1;
    if (!S_ISDIR(info.st_mode))
        return -2;
    return static_cast<int>(info.st_mode & 07777);
}
