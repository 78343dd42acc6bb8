// File helpers of the decomposition component: private directories,
// temporary files from mkstemp, bounded reads, exclusive writes.
//
//   EnsureDirectory, MakePrivateDirectory, RemoveTree, MakeTempFile,
//   ReadHead, ReadFileBounded, WriteAll, WriteFileExclusive, IsRegularFile
//
// Bad input: a missing or unreadable file gives false or -1; RemoveTree
// never follows symbolic links out of the tree it removes.

#include "maker/rav_files.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace rav {

bool EnsureDirectory(const std::string& dir) {
    if (dir.empty()) return false;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !EnsureDirectory(dir.substr(0, slash)))
        return false;
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool MakePrivateDirectory(const std::string& parent, std::string& path) {
    std::string pattern = parent + "/rav-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) return false;
    path = buffer.data();
    return true;
}

void RemoveTree(const std::string& dir) {
    if (dir.empty()) return;
    nftw(
        dir.c_str(),
        [](const char* path, const struct stat*, int flag, struct FTW*) {
            if (flag == FTW_DP)
                rmdir(path);
            else
                unlink(path);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

int MakeTempFile(const std::string& dir, std::string& path) {
    std::string pattern = dir + "/obj-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    path = buffer.data();
    return fd;
}

long ReadHead(const std::string& path, unsigned char* buffer, std::size_t size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return static_cast<long>(got);
}

bool ReadFileBounded(const std::string& path, std::uint64_t maxBytes, std::string& out) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        return false;
    }
    out.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    out.resize(got);
    return true;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool WriteFileExclusive(const std::string& path, std::string_view data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data);
    ok = close(fd) == 0 && ok;
    if (!ok) unlink(path.c_str());
    return ok;
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace rav
