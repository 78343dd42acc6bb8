// The quarantine-package library (libvaultix32.so): packages of an infected
// object and its named values, written atomically.
//
//   VaultixCreateFile(&h, data, package)     open the data file, a new handle
//   VaultixSetItemValue(h, name, type, v, n) one named value
//   VaultixSaveItem(h)                       temporary file, sync, rename
//   VaultixReleaseItem(h)                    close and free
//
// Bad input: unknown handles are found in the table of live handles and
// answer VAULTIX_ERR_HANDLE without being touched; names, types and lengths
// are checked before anything changes (see maker/vaultix/vaultix.h).

#include "maker/vaultix/vaultix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "maker/vaultix/vaultix_format.h"

struct VaultixPackage {
    struct Value {
        std::string name;
        int type = 0;
        std::string bytes;
    };
    int dataFd = -1;
    std::string packagePath;
    std::vector<Value> values;
};

namespace {

// The live handles: a handle is used only when it is found here, so a
// released or made-up pointer is refused instead of being followed.
std::mutex& tableLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::unordered_set<VaultixPackage*>& liveHandles() {
    static auto* table = new std::unordered_set<VaultixPackage*>;
    return *table;
}

bool isLive(VaultixPackage* handle) {
    std::lock_guard<std::mutex> guard(tableLock());
    return handle != nullptr && liveHandles().count(handle) != 0;
}

void putLE(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Renames from to to, failing when to exists. Falls back to link and unlink
// on a file system without RENAME_NOREPLACE.
int renameNoReplace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (link(from, to) != 0)
        return -1;
    unlink(from);
    return 0;
}

// The header and values, then the object copied from the data file.
int writePackage(VaultixPackage& package, int fd) {
    std::string head(kVaultixMagic, sizeof kVaultixMagic);
    putLE(head, package.values.size(), 4);
    for (const VaultixPackage::Value& value : package.values) {
        putLE(head, value.name.size(), 2);
        head += value.name;
        head.push_back(static_cast<char>(value.type));
        putLE(head, value.bytes.size(), 4);
        head += value.bytes;
    }
    struct stat info;
    if (fstat(package.dataFd, &info) != 0 || !S_ISREG(info.st_mode))
        return VAULTIX_ERR_DATA_FILE;
    uint64_t size = static_cast<uint64_t>(info.st_size);
    putLE(head, size, 8);
    if (!writeAll(fd, head.data(), head.size()))
        return VAULTIX_ERR_WRITE;

    // Exactly the size announced: a file that shrank or grew while it was
    // copied would make a package whose length field lies.
    std::vector<char> buffer(64 * 1024);
    uint64_t copied = 0;
    while (copied < size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - copied));
        ssize_t n = pread(package.dataFd, buffer.data(), want, static_cast<off_t>(copied));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return VAULTIX_ERR_DATA_FILE;
        if (!writeAll(fd, buffer.data(), static_cast<size_t>(n)))
            return VAULTIX_ERR_WRITE;
        copied += static_cast<uint64_t>(n);
    }
    char extra;
    if (pread(package.dataFd, &extra, 1, static_cast<off_t>(size)) != 0)
        return VAULTIX_ERR_DATA_FILE;
    return fsync(fd) == 0 ? VAULTIX_OK : VAULTIX_ERR_WRITE;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int VaultixCreateFile(VAULTIX_HANDLE* handle,
                                                             const char* dataFile,
                                                             const char* packagePath) {
    if (handle == nullptr)
        return VAULTIX_ERR_ARGUMENT;
    *handle = nullptr;
    if (dataFile == nullptr || packagePath == nullptr || *packagePath == '\0')
        return VAULTIX_ERR_ARGUMENT;
    int fd = open(dataFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return VAULTIX_ERR_DATA_FILE;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return VAULTIX_ERR_DATA_FILE;
    }
    auto* package = new (std::nothrow) VaultixPackage;
    if (package == nullptr) {
        close(fd);
        return VAULTIX_ERR_MEMORY;
    }
    package->dataFd = fd;
    try {
        package->packagePath = packagePath;
        std::lock_guard<std::mutex> guard(tableLock());
        liveHandles().insert(package);
    } catch (const std::bad_alloc&) {
        close(fd);
        delete package;
        return VAULTIX_ERR_MEMORY;
    }
    *handle = package;
    return VAULTIX_OK;
}

__attribute__((visibility("default"))) int VaultixSetItemValue(VAULTIX_HANDLE handle,
                                                               const char* name, int type,
                                                               const void* value, uint32_t length) {
    if (!isLive(handle))
        return VAULTIX_ERR_HANDLE;
    if (name == nullptr || (value == nullptr && length != 0))
        return VAULTIX_ERR_ARGUMENT;
    size_t nameLength = strnlen(name, kVaultixMaxName + 1);
    if (nameLength == 0 || nameLength > kVaultixMaxName)
        return VAULTIX_ERR_ARGUMENT;
    switch (type) {
        case VAULTIX_TYPE_TEXT:
            if (length > kVaultixMaxValue)
                return VAULTIX_ERR_ARGUMENT;
            break;
        case VAULTIX_TYPE_NUMBER:
            if (length != kVaultixNumberLength)
                return VAULTIX_ERR_ARGUMENT;
            break;
        case VAULTIX_TYPE_DATE:
            if (length != kVaultixDateLength)
                return VAULTIX_ERR_ARGUMENT;
            break;
        default:
            return VAULTIX_ERR_ARGUMENT;
    }
    try {
        VaultixPackage::Value fresh;
        fresh.name.assign(name, nameLength);
        fresh.type = type;
        fresh.bytes.assign(static_cast<const char*>(value), length);
        for (VaultixPackage::Value& old : handle->values) {
            if (old.name == fresh.name) {
                old = std::move(fresh);
                return VAULTIX_OK;
            }
        }
        if (handle->values.size() >= kVaultixMaxValues)
            return VAULTIX_ERR_MEMORY;
        handle->values.push_back(std::move(fresh));
    } catch (const std::bad_alloc&) {
        return VAULTIX_ERR_MEMORY;
    }
    return VAULTIX_OK;
}

__attribute__((visibility("default"))) int VaultixSaveItem(VAULTIX_HANDLE handle) {
    if (!isLive(handle))
        return VAULTIX_ERR_HANDLE;
    try {
        const std::string& path = handle->packagePath;
        std::string temp = path + ".XXXXXX";
        int fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0)
            return VAULTIX_ERR_WRITE;
        int result = writePackage(*handle, fd);
        if (close(fd) != 0 && result == VAULTIX_OK)
            result = VAULTIX_ERR_WRITE;
        if (result == VAULTIX_OK && renameNoReplace(temp.c_str(), path.c_str()) != 0)
            result = errno == EEXIST ? VAULTIX_ERR_EXISTS : VAULTIX_ERR_WRITE;
        if (result != VAULTIX_OK) {
            unlink(temp.c_str());
            return result;
        }
        // The new name must survive a crash as well as the bytes.
        int dirFd = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            fsync(dirFd);
            close(dirFd);
        }
        return VAULTIX_OK;
    } catch (const std::bad_alloc&) {
        return VAULTIX_ERR_MEMORY;
    }
}

__attribute__((visibility("default"))) int VaultixReleaseItem(VAULTIX_HANDLE handle) {
    {
        std::lock_guard<std::mutex> guard(tableLock());
        if (handle == nullptr || liveHandles().erase(handle) == 0)
            return VAULTIX_ERR_HANDLE;
    }
    if (handle->dataFd >= 0)
        close(handle->dataFd);
    delete handle;
    return VAULTIX_OK;
}

}  // extern "C"
