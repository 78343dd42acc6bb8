// Updating the store and installing sets.
//
//   SharedDefs::PreUpdate       prepare the store, the lock and three temporary dirs
//   SharedDefs::PostUpdate      install the downloaded set when newer; clean up
//   processIncoming             install a complete set waiting in INCOMING
//   InstallDefs                 build a set's dated directory from the newest set
//                               plus the new files and make it the newest
//   recordCurrentDefs           CurDefs/LastDefs in DEFINFO.DAT
//   releaseOldDefs              remove a set nobody needs any more
//   copyHubFiles                fill BinHub and TextHub from a full set
//
// An install is ordered so that a process killed at any point leaves a
// usable store: the new directory is filled first, recorded in DEFINFO.DAT
// after, and only then is the source emptied. A directory that an install
// did not create (a set applications may use) is never removed by its
// failure. Bad input (no prepared update, a source without a header, a
// source that is the target itself) gives 0.
#include "defs/shared_defs.h"

#include <string.h>

#include <string>

#include "defs/defs_internal.h"
#include "platform/file_ops.h"
#include "platform/ini_file.h"
#include "platform/registry.h"

using namespace defs_internal;

// ---- DEFINFO.DAT and USAGE.DAT ----

bool SharedDefs::readDefInfo(const char* key, std::string& name) const {
    std::string file, value;
    if (!rootPath("DEFINFO.DAT", file) || !platform::IniReadString(file, "DefDates", key, value))
        return false;
    value = TrimSpaces(value);
    // The value names a directory of the root; anything else is no set.
    if (strcasecmp(value.c_str(), kKeyMissing) == 0 || !PlainFileName(value)) return false;
    name = value;
    return true;
}

bool SharedDefs::isCurOrLastDefs(const std::string& dir) const {
    const std::string name = TrimSpaces(LastComponent(dir));
    std::string cur, last;
    return (readDefInfo("CurDefs", cur) && strcasecmp(cur.c_str(), name.c_str()) == 0) ||
           (readDefInfo("LastDefs", last) && strcasecmp(last.c_str(), name.c_str()) == 0);
}

bool SharedDefs::dirUnused(const std::string& dir) const {
    std::string usage;
    if (!rootPath("USAGE.DAT", usage) || !Exists(usage)) return true;
    std::vector<std::string> lines;
    return !platform::IniReadSection(usage, LastComponent(dir), lines) || lines.empty();
}

bool SharedDefs::isStoreSet(const std::string& dir) const {
    std::string expected, incoming;
    if (!rootPath(LastComponent(dir), expected) || !SamePath(dir, expected)) return false;
    return !(incomingPath(incoming) && SamePath(dir, incoming));
}

// ---- the update bracket ----

int SharedDefs::PreUpdate(char* buffer, size_t size, int mode) {
    m_UpdateMode = mode;
    if (buffer == nullptr || size == 0) return 0;
    if (mode != kDefsModeInstall && mode != kDefsModeUpdateClient && mode != kDefsModePlain)
        return 0;
    // An update already prepared on this object ends first, so its
    // directories and lock are never forgotten.
    endUpdate();
    m_UpdateMode = mode;
    if (m_Root.empty()) {
        if (mode == kDefsModePlain || !findRoot()) return 0;
        std::string incoming;
        if (incomingPath(incoming)) CreateDirTree(incoming);
    }
    if (mode == kDefsModeInstall && !m_DeflocDir.empty()) {
        std::string defloc;
        if (join(m_DeflocDir, "DEFLOC.DAT", defloc))
            platform::IniWriteString(defloc, "DefBaseLocation", "Location", m_Root);
    }
    std::string hub;
    if (!rootPath("BinHub", hub) || !CreateDirTree(hub) || !rootPath("TextHub", hub) ||
        !CreateDirTree(hub))
        return 0;
    if (mode == kDefsModeUpdateClient && !lockUpdate()) return 0;

    processIncoming(nullptr);

    std::string download, merge, text;
    bool made = makeTempDir(download) && download.size() < size;
    made = made && makeTempDir(merge);
    made = made && makeTempDir(text);
    if (made && mode == kDefsModeUpdateClient) {
        made = SetRegValue(kInstalledAppsKey, "ZELDefsInstallDir", download) &&
               SetRegValue(kInstalledAppsKey, "ZELDefsBinInstallDir", download) &&
               SetRegValue(kInstalledAppsKey, "ZELDefsTextInstallDir", text);
    }
    if (!made) {
        // Nothing of a failed preparation stays behind: no directory, no
        // published value, no lock.
        for (const std::string* dir : {&download, &merge, &text})
            if (!dir->empty()) platform::RemoveDirectory(dir->c_str());
        if (mode == kDefsModeUpdateClient) {
            DeleteRegValue(kInstalledAppsKey, "ZELDefsInstallDir");
            DeleteRegValue(kInstalledAppsKey, "ZELDefsBinInstallDir");
            DeleteRegValue(kInstalledAppsKey, "ZELDefsTextInstallDir");
            unlockUpdate();
        }
        return 0;
    }
    m_DownloadDir = download;
    m_MergeDir = merge;
    m_TextDownloadDir = text;
    memcpy(buffer, download.c_str(), download.size() + 1);
    return 1;
}

int SharedDefs::PostUpdate() {
    if (m_DownloadDir.empty() || m_MergeDir.empty() || m_TextDownloadDir.empty()) return 0;
    if (m_UpdateMode == kDefsModeInstall) copyHubFiles(m_DownloadDir);
    std::string newest;
    bool newer = !getNewestDir(newest, false) ||
                 isNewer(m_DownloadDir, newest, kDefsBinary, kDefsBinary);
    bool result = true;
    if (newer) result = InstallDefs(m_DownloadDir, nullptr, kDefsBinary);
    Step("update-installed");
    endUpdate();
    return result ? 1 : 0;
}

// Removes the temporary directories of the prepared update and, in
// update-client mode, its published values and its lock; afterwards no
// update is prepared, so a second PostUpdate does nothing.
void SharedDefs::endUpdate() {
    for (std::string* dir : {&m_DownloadDir, &m_MergeDir, &m_TextDownloadDir}) {
        if (!dir->empty()) removeDefsDir(*dir);
        dir->clear();
    }
    if (m_UpdateLock.IsHeld()) {
        DeleteRegValue(kInstalledAppsKey, "ZELDefsInstallDir");
        DeleteRegValue(kInstalledAppsKey, "ZELDefsBinInstallDir");
        DeleteRegValue(kInstalledAppsKey, "ZELDefsTextInstallDir");
        unlockUpdate();
    }
}

// ---- installing ----

void SharedDefs::processIncoming(std::string* installed) {
    if (!lockIncoming()) return;
    std::string incoming;
    if (incomingPath(incoming) && incomingComplete(incoming))
        InstallDefs(incoming, installed, kDefsBinary);
    unlockIncoming();
}

bool SharedDefs::InstallDefs(const std::string& source, std::string* installed, int kind) {
    if (installed) installed->clear();
    std::string name, target;
    if (!makeDefsDirName(source, kind, name) || !rootPath(name, target)) return false;
    // Installing a set's own directory would copy it onto itself and then
    // delete it as the source.
    if (SamePath(source, target)) return false;
    const bool created = !IsDir(target);
    if (!CreateDirTree(target)) return false;
    target = ShortPath(target);
    Step("install-target-made");

    std::string newest;
    if (getNewestDir(newest, false) && !SamePath(newest, target)) copyDefsFiles(newest, target);
    copyDefsFiles(source, target);
    removeObsoleteFiles(target);
    Step("install-files-copied");

    if (!recordCurrentDefs(target)) {
        if (created) removeDefsDir(target);
        return false;
    }
    Step("install-recorded");
    // Only now may the source go: a process killed before this point leaves
    // the source whole, and the next look installs it again.
    deleteDefsFiles(source);
    Step("install-source-emptied");
    if (installed) *installed = target;
    return true;
}

bool SharedDefs::recordCurrentDefs(const std::string& dir) {
    std::string file;
    if (!rootPath("DEFINFO.DAT", file)) return false;
    const std::string name = TrimSpaces(LastComponent(dir));
    std::string oldCur;
    const bool hadCur = readDefInfo("CurDefs", oldCur);
    if (!platform::IniWriteString(file, "DefDates", "CurDefs", name)) return false;
    if (!hadCur) {
        platform::IniWriteString(file, "DefDates", "LastDefs", name);
        return true;
    }
    // A set installed again under its own name keeps the set before it as
    // LastDefs: making it its own predecessor would let the older set go.
    if (strcasecmp(oldCur.c_str(), name.c_str()) == 0) return true;
    std::string oldLast;
    const bool hadLast = readDefInfo("LastDefs", oldLast);
    platform::IniWriteString(file, "DefDates", "LastDefs", oldCur);
    std::string lastDir;
    if (hadLast && rootPath(oldLast, lastDir)) releaseOldDefs(lastDir);
    return true;
}

void SharedDefs::releaseOldDefs(const std::string& dir) {
    if (isCurOrLastDefs(dir)) return;
    if (dirUnused(dir)) removeDefsDir(dir);
}

bool SharedDefs::copyHubFiles(const std::string& setDir) {
    std::string binHub, textHub;
    auto copyInto = [](const std::string& hub) {
        return [hub](const std::string& path) {
            std::string target;
            if (join(hub, LastComponent(path), target)) CopyFile(path, target);
            return true;
        };
    };
    if (!hubPath(kDefsBinary, binHub)) return false;
    if (!forEachCatalogFile(setDir, "Binary Hub Files - Intel", copyInto(binHub))) return false;
    if (!forEachCatalogFile(setDir, "Binary Hub Files - Common", copyInto(binHub))) return false;
    if (!hubPath(kDefsText, textHub)) return false;
    if (!forEachCatalogFile(setDir, "Text Hub Files", copyInto(textHub))) return false;

    std::string stamp;
    if (!makeDefsDirName(binHub, kDefsBinary, stamp)) stamp.clear();
    const unsigned char one[4] = {1, 0, 0, 0};
    platform::RegCreateKey(kQuillsetKey);
    SetRegText(kQuillsetKey, "BinHubStamp", stamp);
    platform::RegWriteValue(kQuillsetKey, "LastBinUpdate", platform::kRegBinary, one, sizeof one);
    SetRegText(kQuillsetKey, "TextHubStamp", stamp);
    platform::RegWriteValue(kQuillsetKey, "LastTextUpdate", platform::kRegBinary, one, sizeof one);
    return true;
}
