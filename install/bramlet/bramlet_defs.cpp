// The definitions exports of libBramlet.so, on the one store object of the
// library (`InstallerDefs`), made when the library is loaded.
//
//   DoPreDefUpdate    name the application, prepare an installation update
//   DoPostDefUpdate   install the update, register both application ids
//   RemoveSharedDefs  both ids leave the store (the last one removes it)
//
// The caller's buffer receives at most BRAMLET_PATH_SIZE bytes, always
// NUL-terminated, and only on success.
#include <stdio.h>
#include <string.h>

#include "defs/shared_defs.h"
#include "install/bramlet/bramlet.h"

namespace {

// Registered in this order: "ZELORM_UPDATE" may join a set only when
// another application already uses it, and "ZELORM_20" does by then.
const char* const DefsAppIds[] = {"ZELORM_20", "ZELORM_UPDATE"};

// Read the store's root when the library is loaded, as the setup program
// expects; destroyed at unload, which releases a lock an unfinished update
// still holds.
SharedDefs InstallerDefs;

}  // namespace

int DoPreDefUpdate(char* directory, const char* fallbackRoot) {
    if (directory == nullptr)
        return 0;
    if (fallbackRoot != nullptr && *fallbackRoot == '\0')
        fallbackRoot = nullptr;
    char download[kDefsMaxPath] = {};
    if (InstallerDefs.SetAppInfo(DefsAppIds[0], nullptr, fallbackRoot) == 0 ||
        InstallerDefs.PreUpdate(download, sizeof download, kDefsModeInstall) == 0)
        return -1;
    static_assert(kDefsMaxPath <= BRAMLET_PATH_SIZE, "the caller's buffer holds every path");
    snprintf(directory, BRAMLET_PATH_SIZE, "%s", download);
    return 0;
}

int DoPostDefUpdate(void) {
    if (InstallerDefs.PostUpdate() == 0)
        return -1;
    char newest[kDefsMaxPath] = {};
    if (InstallerDefs.UseNewestDefs(newest, sizeof newest, nullptr) == 0 || newest[0] == '\0')
        return 0;
    for (const char* id : DefsAppIds) {
        if (InstallerDefs.SetAppId(id) != 0 && InstallerDefs.UseDefs(newest) == 0)
            return -1;
    }
    return 0;
}

void RemoveSharedDefs(void) {
    SharedDefs defs;
    for (const char* id : DefsAppIds) {
        if (defs.SetAppId(id) != 0)
            (void)defs.StopUsingDefs();
    }
}
