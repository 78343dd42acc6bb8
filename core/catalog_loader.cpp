// The catalogue loader of the start-up: where a catalogue file is looked
// for, and the one line on standard error when it cannot be loaded.
//
//   CVornCatalogLoader::Load   registry directory first, then the program's
//                              directory; a reason on standard error
//
// Bad input: a registry value that does not fit its 512-byte buffer, or a
// key or path that would be too long, is a failure with its own reason,
// never a truncated path; the value is read into a zeroed buffer one byte
// larger than the value may be, so it is always terminated. A null file name
// loads nothing.
#include "core/catalog_loader.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/registry.h"

namespace {

// Results of the registry step, below the catalogue's own results.
enum : int {
    kKeyTooLong = -1,
    kRegistryUnreadable = -2,
    kPathTooLong = -3,
};

constexpr size_t kMaxKeyLength = 256;  // a key this long or longer is refused
constexpr size_t kValueBufferSize = 512;
constexpr size_t kMaxPathLength = 511;

const char* Reason(int result) {
    switch (result) {
        case kPathTooLong:
            return "path too long";
        case kRegistryUnreadable:
            return "unable to read from registry";
        case kKeyTooLong:
            return "registry key too long";
        case kCatalogGeneralFailure:
            return "general failure";
        case kCatalogOpenFailed:
            return "failed open";
        case kCatalogReadFailed:
            return "failed read";
        case kCatalogBadVersion:
            return "incorrect file version";
        case kCatalogBadData:
            return "incorrect data";
        default:
            return "unknown failure";
    }
}

}  // namespace

bool CVornCatalogLoader::Load(CVornMessageCatalog& catalog, const char* programPath,
                              const char* productKey, const char* valueName, const char* fileName,
                              int header1, int header2, int messageCount, int firstNumber) {
    if (productKey == nullptr)
        productKey = "";
    const char* programName = productKey;
    if (programPath != nullptr) {
        const char* slash = strrchr(programPath, '/');
        programName = slash ? slash + 1 : programPath;
    }
    if (fileName == nullptr) {
        fprintf(stderr, "%s: error: unable to load messages (%s)\n", programName,
                Reason(kCatalogGeneralFailure));
        return false;
    }
    const size_t fileLength = strlen(fileName);

    // Step 1: the directory the registry names.
    int result;
    std::string path;
    std::string key = std::string(kMakerRegistryKey) + "\\" + productKey;
    if (key.size() >= kMaxKeyLength) {
        result = kKeyTooLong;
    } else {
        // Zeroed, so that a value of a type without a terminating NUL
        // (binary, a number) still reads as a terminated text.
        char value[kValueBufferSize + 1] = {};
        if (!RegistryReadValue(HKEY_LOCAL_MACHINE, key.c_str(), valueName, value,
                               static_cast<int>(kValueBufferSize))) {
            result = kRegistryUnreadable;
        } else {
            size_t valueLength = strlen(value);
            if (valueLength + fileLength + 1 > kMaxPathLength) {
                result = kPathTooLong;
            } else {
                path.assign(value, valueLength);
                path += '/';
                path += fileName;
                result = catalog.Load(path.c_str(), header1, header2, messageCount, firstNumber);
                if (result == kCatalogLoaded)
                    return true;
            }
        }
    }

    // Step 2: the program's own directory. A program at the root ("/zelorm")
    // lives in "/", not in the current directory.
    if (programPath != nullptr) {
        const char* slash = strrchr(programPath, '/');
        std::string directory;
        if (slash != nullptr)
            directory.assign(programPath, slash == programPath ? 1 : slash - programPath);
        if (directory.size() + fileLength < kValueBufferSize) {
            std::string fallback = directory;
            if (!fallback.empty() && fallback.back() != '/')
                fallback += '/';
            fallback += fileName;
            if (catalog.Load(fallback.c_str(), header1, header2, messageCount, firstNumber) ==
                kCatalogLoaded)
                return true;
        }
    }

    if (result < 0)
        fprintf(stderr, "%s: error: unable to load messages (%s)\n", programName, Reason(result));
    else
        fprintf(stderr, "%s: error: unable to load %s (%s)\n", programName, path.c_str(),
                Reason(result));
    return false;
}
