// Helpers shared by the store's source files (not for callers of the store).
//
//   Step                  report an install step to the test hook
//   ShortPath             canonical absolute form of an existing path, else the path
//   StripSlash            the path without one trailing '/' ("/" stays)
//   IsDir, Exists, IsRegularFile, IsEmptyDir   file-system tests
//   CreateDirTree         make a directory with its parents (mode 0700)
//   LastComponent, Parent path parsing that keeps "/" whole
//   TrimSpaces            without leading and trailing blanks
//   PlainFileName         a name of a file inside one directory
//   SamePath              two paths naming one directory
//   ReadRegText, SetRegText, SetRegValue, DeleteRegValue, RemoveEmptyKey
//   CopyFile              replace a file by a copy of another, atomically
//
// None throws; each reports failure by its result.
#pragma once

#include <string>

namespace defs_internal {

constexpr const char* kInstalledAppsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\InstalledApps";
constexpr const char* kSharedDefsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedDefs";
constexpr const char* kQuillsetKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedDefs\\Quillset";
constexpr const char* kCurrentVersionKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kStoreSubdir = "Quorvane Shared/VirusDefs";
constexpr const char* kDefaultCommonFiles = "/var/lib/zelorm/common";
constexpr const char* kKeyMissing = "KeyMissing";

void Step(const char* name);
std::string ShortPath(const std::string& path);
std::string StripSlash(const std::string& path);
bool IsDir(const std::string& path);
bool Exists(const std::string& path);
bool IsRegularFile(const std::string& path);
bool IsEmptyDir(const std::string& path);
bool CreateDirTree(const std::string& path);
std::string LastComponent(const std::string& path);
std::string Parent(const std::string& path);
std::string TrimSpaces(const std::string& text);
bool PlainFileName(const std::string& name);
bool SamePath(const std::string& a, const std::string& b);
// A non-empty REG_SZ value (up to its first NUL).
bool ReadRegText(const char* key, const char* name, std::string& value);
bool SetRegText(const char* key, const char* name, const std::string& text);
// A directory value: canonical form, no trailing '/'.
bool SetRegValue(const char* key, const char* name, const std::string& path);
void DeleteRegValue(const char* key, const char* name);
void RemoveEmptyKey(const char* key);
bool CopyFile(const std::string& from, const std::string& to);

}  // namespace defs_internal
