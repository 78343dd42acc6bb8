// The patch library (libmend32i.so): applies a patch of whole-file
// replacements and removals to a definitions hub (see maker/mend/mend.h).
//
//   CreatePatchApplicationInstance   a new CPatchApplication
//   CPatchApplication::ApplyPatch    check everything, write the output,
//                                    then bring the hub forward
//
// Bad input (null or missing directories, an option other than 0, a bad
// manifest, a patch for another base, a replaced file whose size or
// SHA-256 differs, an identity file that does not move forward, a link or
// directory where a file is expected) answers 0 before the hub is touched
// (but for the removal of temporaries an earlier, killed apply left), and
// the output is left as it was found. Nothing here throws across the
// library's boundary.
#include "maker/mend/mend.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "maker/mend/patch_manifest.h"
#include "platform/file_ops.h"

namespace {

using mend::PatchManifest;
using mend::PatchReplacement;

// The files that give a hub its identity, in the order they are looked at.
const char* const kIdentityFiles[] = {"VirScan1.dat", "VirScanT.dat"};

struct DatedHeader {
    unsigned year = 0, month = 0, day = 0, revision = 0;
    bool LaterThan(const DatedHeader& other) const {
        if (year != other.year) return year > other.year;
        if (month != other.month) return month > other.month;
        if (day != other.day) return day > other.day;
        return revision > other.revision;
    }
    std::string Name() const {
        char text[32];
        snprintf(text, sizeof text, "%04u%02u%02u.%03u", year, month, day, revision);
        return text;
    }
};

bool IsDirectory(const char* path) {
    struct stat st;
    return path != nullptr && *path != '\0' && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// lstat: 1 a regular file, 0 nothing there, -1 anything else (a link, a
// directory) or an error.
int RegularOrMissing(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
    return S_ISREG(st.st_mode) ? 1 : -1;
}

bool ReadHeader(const std::string& path, DatedHeader& header) {
    int fd = platform::OpenFile(path.c_str(), O_RDONLY | O_NOFOLLOW, 0);
    if (fd < 0) return false;
    unsigned char bytes[32];
    size_t have = 0;
    while (have < sizeof bytes) {
        long n = platform::ReadSome(fd, bytes + have, sizeof bytes - have);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    platform::CloseFile(fd);
    if (have < sizeof bytes) return false;
    header.revision = bytes[4];
    header.month = bytes[8];
    header.day = bytes[9];
    header.year = 1900u + bytes[10];
    return true;
}

struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Copies the regular file from into the open descriptor out, reading at
// most limit + 1 bytes (a file that grows past its declared size is caught
// without reading it whole). copied and the SHA-256 (hex) say what was
// read; out is synced. False on any read, write or digest fault.
bool CopyInto(const std::string& from, int out, uint64_t limit, uint64_t& copied,
              std::string& sha256) {
    int in = platform::OpenFile(from.c_str(), O_RDONLY | O_NOFOLLOW, 0);
    if (in < 0) return false;
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> digest(EVP_MD_CTX_new());
    struct stat st;
    bool ok = fstat(in, &st) == 0 && S_ISREG(st.st_mode) && digest &&
              EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) == 1;
    copied = 0;
    std::vector<char> chunk(64 * 1024);
    while (ok) {
        long n = platform::ReadSome(in, chunk.data(), chunk.size());
        if (n < 0) ok = false;
        if (n <= 0) break;
        copied += static_cast<uint64_t>(n);
        if (copied > limit) {
            ok = false;
            break;
        }
        ok = EVP_DigestUpdate(digest.get(), chunk.data(), static_cast<size_t>(n)) == 1 &&
             platform::WriteAll(out, chunk.data(), static_cast<size_t>(n), nullptr);
    }
    platform::CloseFile(in);
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(digest.get(), value, &length) == 1 && platform::SyncFile(out);
    if (!ok) return false;
    static const char kHex[] = "0123456789abcdef";
    sha256.clear();
    for (unsigned int i = 0; i < length; ++i) {
        sha256 += kHex[value[i] >> 4];
        sha256 += kHex[value[i] & 15];
    }
    return true;
}

// A temporary that an apply writes beside its target: "." NAME "." and
// the six letters and digits mkostemp puts in, for a NAME a patch may
// replace. Hub files themselves never start with ".".
bool IsHubTemporaryName(const std::string& entry) {
    constexpr size_t kSuffix = 7;  // "." and six characters
    if (entry.size() < 2 + kSuffix || entry[0] != '.') return false;
    const size_t dot = entry.size() - kSuffix;
    if (entry[dot] != '.') return false;
    for (size_t i = dot + 1; i < entry.size(); ++i) {
        const char c = entry[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return mend::PatchFileName(entry.substr(1, dot - 1));
}

// A process killed during an apply leaves its temporaries (up to a whole
// definitions file each), which its own clean-up never removed; the next
// apply to the hub removes them. Only regular files: a link is never
// followed nor removed. Applies to one hub never overlap (the caller's
// rule), so none of these belongs to a running apply.
void RemoveLeftoverTemporaries(const std::string& hub) {
    std::vector<std::string> names;
    if (!platform::ListDirectory(hub.c_str(), &names)) return;
    for (const std::string& name : names) {
        const std::string path = hub + "/" + name;
        if (IsHubTemporaryName(name) && RegularOrMissing(path) == 1)
            platform::RemovePath(path.c_str());
    }
}

void SyncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

class CPatchApplication final : public IPatchApplication {
public:
    void Release() override { delete this; }

    int32_t ApplyPatch(const char* patchDirectory, const char* hubDirectory,
                       const char* outputDirectory, int32_t option) override {
        try {
            return apply(patchDirectory, hubDirectory, outputDirectory, option) ? 1 : 0;
        } catch (...) {
            // Out of memory part way: what apply made is removed by its
            // own clean-up objects.
            return 0;
        }
    }

private:
    // Removes what it holds unless disarmed: the output files of an apply
    // that did not finish, or the temporary files it left in the hub.
    struct Cleanup {
        std::vector<std::string> paths;
        ~Cleanup() {
            for (const std::string& path : paths) platform::RemovePath(path.c_str());
        }
    };

    static bool apply(const char* patchDirectory, const char* hubDirectory,
                      const char* outputDirectory, int32_t option);
};

bool CPatchApplication::apply(const char* patchDirectory, const char* hubDirectory,
                              const char* outputDirectory, int32_t option) {
    if (option != 0 || !IsDirectory(patchDirectory) || !IsDirectory(hubDirectory) ||
        !IsDirectory(outputDirectory))
        return false;
    const std::string patch = patchDirectory, hub = hubDirectory, output = outputDirectory;
    RemoveLeftoverTemporaries(hub);
    PatchManifest manifest;
    if (!mend::ReadPatchManifest(patch + "/" MEND_MANIFEST, manifest)) return false;

    // The hub must be the patch's base, and the patch must replace the
    // file that says so.
    std::string identity;
    DatedHeader base;
    for (const char* name : kIdentityFiles) {
        if (RegularOrMissing(hub + "/" + name) == 1 && ReadHeader(hub + "/" + name, base)) {
            identity = name;
            break;
        }
    }
    if (identity.empty() || base.Name() != manifest.base) return false;
    bool replacesIdentity = false;
    for (const PatchReplacement& file : manifest.replace) {
        if (file.name == identity) replacesIdentity = true;
        if (RegularOrMissing(patch + "/" + file.name) != 1 ||
            RegularOrMissing(hub + "/" + file.name) < 0 ||
            RegularOrMissing(output + "/" + file.name) != 0)
            return false;
    }
    for (const std::string& name : manifest.remove)
        if (RegularOrMissing(hub + "/" + name) < 0) return false;
    if (!replacesIdentity) return false;

    // The output: every replaced file, checked while it is copied (what is
    // checked is what was written).
    Cleanup outputs;
    for (const PatchReplacement& file : manifest.replace) {
        const std::string target = output + "/" + file.name;
        int out = platform::OpenFile(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (out < 0) return false;
        outputs.paths.push_back(target);
        uint64_t copied = 0;
        std::string sha256;
        bool ok = CopyInto(patch + "/" + file.name, out, file.size, copied, sha256);
        ok = platform::CloseFile(out) && ok;
        if (!ok || copied != file.size || sha256 != file.sha256) return false;
    }
    DatedHeader next;
    if (!ReadHeader(output + "/" + identity, next) || !next.LaterThan(base)) return false;

    // The hub: new files beside their targets first, so that a fault here
    // leaves the hub as it was.
    Cleanup temporaries;
    std::vector<std::string> targets;
    for (const PatchReplacement& file : manifest.replace) {
        std::string temp = hub + "/." + file.name + ".XXXXXX";
        int out = mkostemp(temp.data(), O_CLOEXEC);
        if (out < 0) return false;
        temporaries.paths.push_back(temp);
        targets.push_back(hub + "/" + file.name);
        uint64_t copied = 0;
        std::string sha256;
        bool ok = fchmod(out, 0644) == 0 &&
                  CopyInto(output + "/" + file.name, out, file.size, copied, sha256);
        ok = platform::CloseFile(out) && ok;
        if (!ok || sha256 != file.sha256) return false;
    }
    // Then into place, the identity file last: until it moves, the hub
    // keeps its old identity and the same patch applies again.
    size_t identityIndex = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        if (manifest.replace[i].name == identity) {
            identityIndex = i;
            continue;
        }
        if (!platform::RenamePath(temporaries.paths[i].c_str(), targets[i].c_str(), true))
            return false;
    }
    for (const std::string& name : manifest.remove) {
        const std::string path = hub + "/" + name;
        if (RegularOrMissing(path) == 1 && !platform::RemovePath(path.c_str())) return false;
    }
    if (!platform::RenamePath(temporaries.paths[identityIndex].c_str(),
                              targets[identityIndex].c_str(), true))
        return false;
    SyncDirectory(hub);
    temporaries.paths.clear();  // renamed away: nothing left to remove
    outputs.paths.clear();      // the patched files stay for the caller
    return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) IPatchApplication*
CreatePatchApplicationInstance() {
    return new (std::nothrow) CPatchApplication();
}
