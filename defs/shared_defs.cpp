// The shared definitions store: the object, its root, paths, files of a
// set, set identity and the two lock files (shared_defs.h describes the
// store). Installation is in defs_install.cpp, application usage in
// defs_usage.cpp.
//
//   SharedDefs::SharedDefs       read the root from the registry
//   SharedDefs::SetAppId/SetAppInfo
//   SharedDefs::ReadDefsHeader, makeDefsDirName, isNewer, joinPath
//   findRoot, makeTempDir        find or create the root; temporary dirs
//   forEachDefsFile, forEachCatalogFile, deleteDefsFiles, removeDefsDir,
//   copyDefsFiles, removeObsoleteFiles, incomingComplete
//   lockUpdate/unlockUpdate, lockIncoming/unlockIncoming
//
// Bad input: every operation answers 0 (or false) and leaves what it had
// done; a path over kDefsMaxPath - 1 bytes, a catalogue entry that is no
// plain file name, or a file that is not a regular file is never followed.
#include "defs/shared_defs.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "defs/defs_internal.h"
#include "platform/file_ops.h"
#include "platform/ini_file.h"
#include "platform/registry.h"

namespace defs_internal {

namespace {
void (*g_StepHook)(const char*) = nullptr;
}  // namespace

void Step(const char* name) {
    if (g_StepHook) g_StepHook(name);
}

std::string ShortPath(const std::string& path) {
    if (path.empty()) return path;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

std::string StripSlash(const std::string& path) {
    if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
    return path;
}

bool IsDir(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    return stat(StripSlash(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsEmptyDir(const std::string& path) {
    std::vector<std::string> names;
    if (!platform::ListDirectory(path.c_str(), &names)) return true;
    for (const std::string& name : names)
        if (!name.empty() && name[0] != '.') return false;
    return true;
}

bool CreateDirTree(const std::string& path) {
    std::string dir = StripSlash(path);
    if (dir.empty()) return false;
    if (IsDir(dir)) return true;
    std::string parent = Parent(dir);
    if (parent == dir) return false;  // "/" (or a bare name) cannot be made
    if (!parent.empty() && !CreateDirTree(parent)) return false;
    // Private: the store and its base are the programs' own.
    return platform::MakeDirectory(dir.c_str(), 0700) || IsDir(dir);
}

std::string LastComponent(const std::string& path) {
    std::string dir = StripSlash(path);
    if (dir == "/") return dir;
    size_t slash = dir.rfind('/');
    return slash == std::string::npos ? dir : dir.substr(slash + 1);
}

std::string Parent(const std::string& path) {
    std::string dir = StripSlash(path);
    if (dir == "/") return dir;
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return dir.substr(0, slash);
}

std::string TrimSpaces(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && text[begin] == ' ') ++begin;
    while (end > begin && text[end - 1] == ' ') --end;
    return text.substr(begin, end - begin);
}

bool PlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool SamePath(const std::string& a, const std::string& b) {
    return !a.empty() && StripSlash(ShortPath(a)) == StripSlash(ShortPath(b));
}

bool ReadRegText(const char* key, const char* name, std::string& value) {
    platform::RegValue reg;
    if (platform::RegQueryValue(key, name, reg) != platform::kRegSuccess) return false;
    if (reg.type != platform::kRegSz) return false;
    std::string text = reg.data;
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    if (text.empty()) return false;
    value = text;
    return true;
}

bool SetRegText(const char* key, const char* name, const std::string& text) {
    if (platform::RegCreateKey(key) != platform::kRegSuccess) return false;
    return platform::RegWriteValue(key, name, platform::kRegSz, text.data(), text.size()) ==
           platform::kRegSuccess;
}

bool SetRegValue(const char* key, const char* name, const std::string& path) {
    return SetRegText(key, name, StripSlash(ShortPath(path)));
}

void DeleteRegValue(const char* key, const char* name) { platform::RegDeleteValue(key, name); }

void RemoveEmptyKey(const char* key) {
    std::vector<platform::RegValue> values;
    if (platform::RegListValues(key, values) == platform::kRegSuccess && values.empty())
        platform::RegDeleteKey(key);
}

// Copies one file by a new file beside the target renamed over it: a set
// that an engine is reading never holds half a file.
bool CopyFile(const std::string& from, const std::string& to) {
    if (!IsRegularFile(from)) return false;
    int in = platform::OpenFile(from.c_str(), O_RDONLY, 0);
    if (in < 0) return false;
    struct stat st;
    mode_t mode = 0644;
    if (fstat(in, &st) == 0) mode = st.st_mode & 0777;
    std::string dir = Parent(to);
    std::string temp = (dir.empty() ? std::string() : dir + "/") + "." + LastComponent(to) +
                       ".XXXXXX";
    int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        platform::CloseFile(in);
        return false;
    }
    bool ok = fchmod(out, mode) == 0;
    char chunk[65536];
    while (ok) {
        long n = platform::ReadSome(in, chunk, sizeof chunk);
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = platform::WriteAll(out, chunk, static_cast<size_t>(n), nullptr);
    }
    ok = ok && platform::SyncFile(out);
    ok = platform::CloseFile(out) && ok;
    platform::CloseFile(in);
    if (ok) ok = platform::RenamePath(temp.c_str(), to.c_str(), true);
    if (!ok) platform::RemovePath(temp.c_str());
    return ok;
}

}  // namespace defs_internal

using namespace defs_internal;

namespace {

const char* DefsFileName(int kind) { return kind == kDefsText ? "VirScanT.dat" : "VirScan1.dat"; }

bool IsDefsDir(const std::string& dir) {
    for (const char* marker : {"VirScan1.dat", "VirScanT.dat", "Hub.Scr"}) {
        if (IsRegularFile(StripSlash(dir) + "/" + marker)) return true;
    }
    return false;
}

// An id is a USAGE.DAT key and a registry value name: it may not break
// either file's lines.
bool UsableId(const char* id) {
    if (id == nullptr || *id == '\0' || *id == '[' || *id == ';') return false;
    if (strlen(id) >= kDefsMaxPath) return false;
    return strpbrk(id, "=\\\r\n") == nullptr && TrimSpaces(id) == id;
}

}  // namespace

SharedDefs::SharedDefs() {
    std::string root;
    if (ReadRegText(kInstalledAppsKey, "MORAQDEFS", root)) {
        root = StripSlash(ShortPath(root));
        if (IsDir(root) && root.size() < kDefsMaxPath) m_Root = root;
    }
}

SharedDefs::~SharedDefs() = default;

int SharedDefs::SetAppId(const char* id) {
    m_AppId.clear();
    if (!UsableId(id)) return 0;
    m_AppId = id;
    return m_Root.empty() ? 0 : 1;
}

int SharedDefs::SetAppInfo(const char* id, const char* deflocDir, const char* fallbackRoot) {
    m_AppId.clear();
    m_DeflocDir.clear();
    m_FallbackRoot.clear();
    if (deflocDir != nullptr && IsDir(deflocDir) && strlen(deflocDir) < kDefsMaxPath)
        m_DeflocDir = StripSlash(deflocDir);
    if (fallbackRoot != nullptr && strlen(fallbackRoot) < kDefsMaxPath)
        m_FallbackRoot = fallbackRoot;
    if (!UsableId(id)) return 0;
    m_AppId = id;
    return 1;
}

void SharedDefs::SetStepHook(void (*hook)(const char*)) { g_StepHook = hook; }

// ---- paths ----

int SharedDefs::joinPath(char* buffer, size_t size, const char* name) {
    if (buffer == nullptr || name == nullptr || size == 0) return 0;
    size_t have = strnlen(buffer, size);
    if (have == size) return 0;  // not terminated inside its own size
    std::string out(buffer, have);
    if (!join(out, name, out)) return 0;
    if (out.size() + 1 > size) return 0;
    memcpy(buffer, out.c_str(), out.size() + 1);
    return 1;
}

bool SharedDefs::join(const std::string& base, const std::string& name, std::string& out) {
    std::string result;
    if (base.empty()) {
        result = name;
    } else if (base.back() == '/') {
        result = base + (!name.empty() && name[0] == '/' ? name.substr(1) : name);
    } else {
        result = base + "/" + name;
    }
    if (result.size() + 1 > kDefsMaxPath) return false;
    out = result;
    return true;
}

bool SharedDefs::rootPath(const std::string& name, std::string& out) const {
    return !m_Root.empty() && join(m_Root, name, out);
}

bool SharedDefs::hubPath(int kind, std::string& out) const {
    std::string path;
    if (!rootPath(kind == kDefsText ? "TextHub" : "BinHub", path)) return false;
    out = ShortPath(path);
    return IsDir(out);
}

bool SharedDefs::incomingPath(std::string& out) const {
    std::string path;
    if (!rootPath("INCOMING", path)) return false;
    out = ShortPath(path);
    return true;
}

bool SharedDefs::findRoot() {
    std::string root;
    std::string base;
    const bool haveBase = ReadRegText(kCurrentVersionKey, "CommonFilesDir", base);
    // 1. The store under the registered common-files directory.
    if (haveBase && join(base, kStoreSubdir, root) && IsDir(ShortPath(root))) {
        root = ShortPath(root);
    } else if (!haveBase && join(kDefaultCommonFiles, kStoreSubdir, root) &&
               IsDir(ShortPath(root))) {
        // 2. A store under the default base, from before the value was lost.
        root = ShortPath(root);
        SetRegText(kCurrentVersionKey, "CommonFilesDir", kDefaultCommonFiles);
    } else if (!m_FallbackRoot.empty()) {
        // 3. The installer's own choice.
        if (!CreateDirTree(m_FallbackRoot)) return false;
        root = ShortPath(m_FallbackRoot);
    } else {
        // 4. Create the store under the registered or the default base.
        if (!haveBase || !CreateDirTree(base)) {
            base = kDefaultCommonFiles;
            if (!CreateDirTree(base)) return false;
            SetRegText(kCurrentVersionKey, "CommonFilesDir", base);
        }
        if (!join(base, kStoreSubdir, root) || !CreateDirTree(root)) return false;
        root = ShortPath(root);
    }
    root = StripSlash(root);
    if (root.size() + 1 > kDefsMaxPath || !IsDir(root)) return false;
    SetRegValue(kInstalledAppsKey, "MORAQDEFS", root);
    m_Root = root;
    return true;
}

bool SharedDefs::makeTempDir(std::string& out) {
    std::string pattern;
    if (!rootPath("TMPXXXXXX", pattern)) return false;
    // mkdtemp tries its own names until one is free; a root that cannot be
    // written fails at once.
    if (mkdtemp(pattern.data()) == nullptr) return false;
    out = ShortPath(pattern);
    if (out.size() + 1 > kDefsMaxPath) {
        platform::RemoveDirectory(pattern.c_str());
        return false;
    }
    return true;
}

// ---- files of a set ----

bool SharedDefs::forEachDefsFile(const std::string& dir, const FileCallback& callback) {
    if (!IsDefsDir(dir)) return false;
    std::vector<std::string> names;
    if (!platform::ListDirectory(StripSlash(dir).c_str(), &names)) return false;
    for (const std::string& name : names) {
        if (name == "." || name == ".." || strcasecmp(name.c_str(), "INLOCK.DAT") == 0) continue;
        std::string path;
        if (!join(StripSlash(dir), name, path)) return false;
        if (!IsRegularFile(path)) continue;  // subdirectories, links, devices
        if (!callback(path)) return false;
    }
    return true;
}

bool SharedDefs::forEachCatalogFile(const std::string& dir, const char* section,
                                    const FileCallback& callback, const std::string& catalogDir) {
    std::string catalog;
    if (!join(StripSlash(catalogDir.empty() ? dir : catalogDir), "CATALOG.DAT", catalog))
        return false;
    std::vector<std::string> entries;
    if (!IsRegularFile(catalog) || !platform::IniReadSection(catalog, section, entries) ||
        entries.empty())
        return false;
    for (const std::string& entry : entries) {
        std::string name = TrimSpaces(entry);
        std::string path;
        // An entry names a file of this set, never a path out of it.
        if (!PlainFileName(name) || !join(StripSlash(dir), name, path)) return false;
        if (!callback(path)) return false;
    }
    return true;
}

bool SharedDefs::deleteDefsFiles(const std::string& dir) {
    bool allGone = true;
    bool walked = forEachDefsFile(dir, [&](const std::string& path) {
        if (!platform::RemovePath(path.c_str()) && Exists(path)) allGone = false;
        return true;
    });
    return walked && allGone;
}

bool SharedDefs::removeDefsDir(const std::string& dir) {
    deleteDefsFiles(dir);
    return platform::RemoveDirectory(StripSlash(dir).c_str());
}

bool SharedDefs::copyDefsFiles(const std::string& from, const std::string& to) {
    // A set copied onto itself would replace every file by itself: refused.
    if (SamePath(from, to)) return false;
    bool allCopied = true;
    bool walked = forEachDefsFile(from, [&](const std::string& path) {
        // A dot name is a copy that a killed process left half-made.
        if (LastComponent(path)[0] == '.') return true;
        std::string target;
        if (!join(StripSlash(to), LastComponent(path), target) || !CopyFile(path, target))
            allCopied = false;
        return true;
    });
    return walked && allCopied;
}

void SharedDefs::removeObsoleteFiles(const std::string& dir) {
    forEachCatalogFile(dir, "Obsolete Files", [](const std::string& path) {
        if (IsRegularFile(path)) platform::RemovePath(path.c_str());
        return true;
    });
}

bool SharedDefs::incomingComplete(const std::string& dir) {
    bool complete = forEachCatalogFile(dir, "Files", [](const std::string& path) {
        return IsRegularFile(path);
    });
    // A set whose identity cannot be read can never be installed; counting
    // it complete would make every application's set look old for ever.
    return complete && ReadDefsHeader(dir.c_str(), kDefsBinary, nullptr, nullptr, nullptr, nullptr);
}

// ---- set identity ----

int SharedDefs::ReadDefsHeader(const char* directory, int kind, uint16_t* year, uint16_t* month,
                               uint16_t* day, uint32_t* revision) {
    if (directory == nullptr) return 0;
    std::string path;
    if (!join(StripSlash(directory), DefsFileName(kind), path) || !IsRegularFile(path)) return 0;
    int fd = platform::OpenFile(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return 0;
    unsigned char header[32];
    size_t have = 0;
    while (have < sizeof header) {
        long n = platform::ReadSome(fd, header + have, sizeof header - have);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    platform::CloseFile(fd);
    if (have < sizeof header) return 0;
    if (revision) *revision = header[4];
    if (month) *month = header[8];
    if (day) *day = header[9];
    if (year) *year = static_cast<uint16_t>(1900 + header[10]);
    return 1;
}

bool SharedDefs::makeDefsDirName(const std::string& directory, int kind, std::string& name) {
    uint16_t year, month, day;
    uint32_t revision;
    if (!ReadDefsHeader(directory.c_str(), kind, &year, &month, &day, &revision)) return false;
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d.%03d", year, month, day,
             static_cast<int>(revision));
    name = text;
    return true;
}

bool SharedDefs::isNewer(const std::string& a, const std::string& b, int ka, int kb) {
    uint16_t ya, ma, da, yb, mb, db;
    uint32_t ra, rb;
    if (!ReadDefsHeader(a.c_str(), ka, &ya, &ma, &da, &ra)) return false;
    if (!ReadDefsHeader(b.c_str(), kb, &yb, &mb, &db, &rb)) return true;
    if (ya != yb) return ya > yb;
    if (ma != mb) return ma > mb;
    if (da != db) return da > db;
    return ra > rb;
}

// ---- locks ----

bool SharedDefs::lockUpdate() {
    std::string path;
    return rootPath("KBLOCK.DAT", path) && m_UpdateLock.Acquire(path);
}

void SharedDefs::unlockUpdate() { m_UpdateLock.Release(); }

bool SharedDefs::lockIncoming() {
    std::string incoming, path;
    return incomingPath(incoming) && IsDir(incoming) && join(incoming, "INLOCK.DAT", path) &&
           m_IncomingLock.Acquire(path);
}

void SharedDefs::unlockIncoming() { m_IncomingLock.Release(); }
