// Applications on their sets: which set is newest, which one an
// application uses, moving it, joining a set, leaving the store, dates.
//
//   SharedDefs::UseNewestDefs / UseNewestDefsOnly   move to the newest set
//   SharedDefs::FindNewestDefs / MoveToDefs         the same in two steps
//   SharedDefs::UseDefs                             join a set in use
//   SharedDefs::StopUsingDefs                       leave (the last removes the store)
//   SharedDefs::GetNewestDefsDate / GetCurrentDefsDate / DefsAreCurrent
//   getNewestDir, getAppDir, registerOnDir, writeUsage, removeAllShared
//
// An application's use is recorded twice: a key in its set's USAGE.DAT
// section and a registry value named by its id. A failed move leaves it on
// its old set with its registry value restored. An application is only ever
// recorded on an installed set of the root, never on INCOMING. Bad input (no
// id, no root, a directory that is no set of the store) gives 0.
#include <string.h>

#include <string>
#include <vector>

#include "defs/defs_internal.h"
#include "defs/shared_defs.h"
#include "platform/file_ops.h"
#include "platform/ini_file.h"
#include "platform/registry.h"

using namespace defs_internal;

namespace {

// Copies text into a caller's buffer when it fits with its NUL; otherwise
// leaves an empty text there.
bool CopyOut(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return false;
    if (text.size() + 1 > size) {
        buffer[0] = '\0';
        return false;
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

bool SharedDefs::getNewestDir(std::string& out, bool includeIncoming) {
    std::string incoming;
    if (includeIncoming && incomingPath(incoming) && IsDir(incoming) && !IsEmptyDir(incoming) &&
        lockIncoming()) {
        const bool complete = incomingComplete(incoming);
        unlockIncoming();
        if (complete) {
            out = incoming;
            return true;
        }
    }
    std::string cur, path;
    if (m_Root.empty() || !readDefInfo("CurDefs", cur) || !rootPath(cur, path)) return false;
    out = ShortPath(path);
    return IsDir(out);
}

bool SharedDefs::appSection(std::string& section) const {
    std::string usage;
    if (m_AppId.empty() || !rootPath("USAGE.DAT", usage)) return false;
    std::vector<std::string> sections;
    if (!platform::IniSectionNames(usage, sections)) return false;
    for (const std::string& name : sections) {
        std::string value;
        if (platform::IniReadString(usage, name, m_AppId, value) &&
            strcasecmp(value.c_str(), kKeyMissing) != 0) {
            section = name;
            return true;
        }
    }
    return false;
}

bool SharedDefs::getAppDir(std::string& out) const {
    std::string section, path;
    if (!appSection(section) || !PlainFileName(section) || !rootPath(section, path)) return false;
    out = ShortPath(path);
    return IsDir(out);
}

bool SharedDefs::writeUsage(const std::string* oldDir, const std::string& newDir, bool mayBeUnused,
                            bool& released) {
    released = false;
    std::string usage;
    if (!IsDir(newDir) || !rootPath("USAGE.DAT", usage)) return false;
    const std::string section = LastComponent(newDir);
    if (!mayBeUnused) {
        // An application may only join a set that another one already uses.
        std::vector<std::string> lines;
        if (!platform::IniReadSection(usage, section, lines) || lines.empty()) return false;
    }
    if (!platform::IniWriteString(usage, section, m_AppId, "1")) return false;
    if (oldDir != nullptr) {
        platform::IniDeleteKey(usage, LastComponent(*oldDir), m_AppId);
        if (dirUnused(*oldDir)) {
            platform::IniDeleteSection(usage, LastComponent(*oldDir));
            released = true;
        }
    }
    return true;
}

bool SharedDefs::registerOnDir(const std::string& dir, bool mayBeUnused) {
    if (m_AppId.empty() || m_Root.empty() || !isStoreSet(dir)) return false;
    std::string current;
    const bool hasCurrent = getAppDir(current);
    if (hasCurrent && SamePath(current, dir)) {
        SetRegValue(kSharedDefsKey, m_AppId.c_str(), dir);
        return true;
    }
    if (!SetRegValue(kSharedDefsKey, m_AppId.c_str(), dir)) return false;
    bool released = false;
    if (writeUsage(hasCurrent ? &current : nullptr, dir, mayBeUnused, released)) {
        if (hasCurrent && released && !isCurOrLastDefs(current)) removeDefsDir(current);
        return true;
    }
    if (hasCurrent)
        SetRegValue(kSharedDefsKey, m_AppId.c_str(), current);
    else
        DeleteRegValue(kSharedDefsKey, m_AppId.c_str());
    return false;
}

int SharedDefs::UseNewestDefs(char* buffer, size_t size, int* changed) {
    if (changed) *changed = 0;
    if (m_AppId.empty() || m_Root.empty() || buffer == nullptr || size == 0) return 0;
    std::string newest, current;
    bool hasNewest = getNewestDir(newest, true);
    const bool hasCurrent = getAppDir(current);

    std::string incoming;
    if (hasNewest && incomingPath(incoming) && SamePath(newest, incoming)) {
        std::string installed;
        processIncoming(&installed);
        // A set that could not be installed (broken, or another process is
        // installing it now) never blocks: the newest installed set stands.
        if (!installed.empty())
            newest = installed;
        else
            hasNewest = getNewestDir(newest, false);
    }
    // The application stays where it is: it keeps its set when it has one.
    auto stay = [&]() -> int {
        buffer[0] = '\0';
        if (!hasCurrent) return 0;
        CopyOut(current, buffer, size);
        return 1;
    };
    if (!hasNewest) return stay();
    if (hasCurrent && SamePath(current, newest)) {
        registerOnDir(current, true);
        return stay();
    }
    if (newest.size() + 1 > size) return stay();
    if (!registerOnDir(newest, true)) return 0;
    CopyOut(newest, buffer, size);
    if (changed) *changed = 1;
    return 1;
}

int SharedDefs::FindNewestDefs(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    if (m_AppId.empty() || m_Root.empty()) return 0;
    std::string newest, incoming;
    bool hasNewest = getNewestDir(newest, true);
    if (hasNewest && incomingPath(incoming) && SamePath(newest, incoming)) {
        std::string installed;
        processIncoming(&installed);
        if (!installed.empty())
            newest = installed;
        else
            hasNewest = getNewestDir(newest, false);
    }
    return hasNewest && CopyOut(newest, buffer, size) ? 1 : 0;
}

int SharedDefs::MoveToDefs(const char* directory) {
    if (m_AppId.empty() || m_Root.empty() || directory == nullptr) return 0;
    return registerOnDir(StripSlash(directory), true) ? 1 : 0;
}

int SharedDefs::UseNewestDefsOnly() {
    char buffer[kDefsMaxPath];
    return UseNewestDefs(buffer, sizeof buffer, nullptr);
}

int SharedDefs::UseDefs(const char* directory) {
    if (m_AppId.empty() || m_Root.empty() || directory == nullptr) return 0;
    return registerOnDir(StripSlash(directory), false) ? 1 : 0;
}

int SharedDefs::StopUsingDefs() {
    if (m_AppId.empty() || m_Root.empty()) return 0;
    std::string usage, current, section;
    rootPath("USAGE.DAT", usage);
    const bool hasCurrent = getAppDir(current);
    bool released = false;
    // The key goes from the section that holds it, also when its directory
    // has gone missing.
    if (appSection(section)) {
        platform::IniDeleteKey(usage, section, m_AppId);
        std::vector<std::string> lines;
        if (!platform::IniReadSection(usage, section, lines) || lines.empty()) {
            platform::IniDeleteSection(usage, section);
            released = hasCurrent && LastComponent(current) == section;
        }
    }
    DeleteRegValue(kSharedDefsKey, m_AppId.c_str());
    std::vector<std::string> sections;
    if (!Exists(usage) || !platform::IniSectionNames(usage, sections) || sections.empty()) {
        if (released) removeDefsDir(current);
        removeAllShared();
    } else if (released && !isCurOrLastDefs(current)) {
        removeDefsDir(current);
    }
    std::string defloc;
    if (!m_DeflocDir.empty() && join(m_DeflocDir, "DEFLOC.DAT", defloc))
        platform::RemovePath(defloc.c_str());
    return 1;
}

void SharedDefs::removeAllShared() {
    std::string name, dir;
    for (const char* key : {"CurDefs", "LastDefs"}) {
        if (readDefInfo(key, name) && rootPath(name, dir) && IsDir(dir)) removeDefsDir(dir);
    }
    for (const char* file : {"DEFINFO.DAT", "USAGE.DAT"}) {
        if (rootPath(file, dir)) platform::RemovePath(dir.c_str());
    }
    for (const char* value : {"LastBinUpdate", "LastTextUpdate", "BinHubStamp", "TextHubStamp"})
        DeleteRegValue(kQuillsetKey, value);
    RemoveEmptyKey(kQuillsetKey);
    // A key with subkeys left is no empty key.
    std::vector<std::string> subkeys;
    if (platform::RegListSubKeys(kSharedDefsKey, subkeys) == platform::kRegSuccess &&
        subkeys.empty())
        RemoveEmptyKey(kSharedDefsKey);
    for (const char* sub : {"INCOMING", "BinHub", "TextHub"}) {
        if (rootPath(sub, dir)) removeDefsDir(dir);
    }
    if (platform::RemoveDirectory(m_Root.c_str())) {
        DeleteRegValue(kInstalledAppsKey, "MORAQDEFS");
        m_Root.clear();
    }
}

int SharedDefs::readDate(bool newest, uint16_t* year, uint16_t* month, uint16_t* day,
                         uint32_t* revision) {
    std::string dir;
    if (newest ? !getNewestDir(dir, true) : !getAppDir(dir)) return 0;
    return ReadDefsHeader(dir.c_str(), kDefsBinary, year, month, day, revision);
}

int SharedDefs::GetNewestDefsDate(uint16_t* year, uint16_t* month, uint16_t* day,
                                  uint32_t* revision) {
    return readDate(true, year, month, day, revision);
}

int SharedDefs::GetCurrentDefsDate(uint16_t* year, uint16_t* month, uint16_t* day,
                                   uint32_t* revision) {
    return readDate(false, year, month, day, revision);
}

int SharedDefs::DefsAreCurrent() {
    std::string newest, current;
    const bool hasNewest = getNewestDir(newest, true);
    const bool hasCurrent = getAppDir(current);
    if (hasNewest && hasCurrent) return SamePath(newest, current) ? 1 : 0;
    return hasCurrent ? 1 : 0;
}
