// File helpers of the spool: whole small files read with a bound, files
// replaced atomically and durably, directories synced.
//
//   ReadSpoolFile       the whole file, refused over a size bound
//   SplitSpoolLines     lines at LF, a trailing CR dropped
//   WriteSpoolFile      write a temporary name, sync, rename over the target,
//                       sync the directory
//   FillSpoolFile       write an existing empty file in place, sync it and
//                       its directory
//   ReplaceFileKeepingOld  write a new version beside a store's file and
//                       rename it over the file, the old version kept as a
//                       second name; events tell the failures
//   SyncDirectory       fsync(2) of a directory, so renames and new names in
//                       it survive a crash
//   DirectoryOf         the directory part of a path ("." when there is none)
//   DirectoryMode       the permission bits of a directory
//
// Files are created private (0600). Failures give false with errno set;
// nothing throws except std::bad_alloc. Any thread may call these; callers
// hold the lock that makes them the only writer of the path.
#pragma once

#include <string>
#include <vector>

// Replaces *out with the bytes of path. False when it cannot be read or is
// larger than maxBytes (errno EFBIG).
bool ReadSpoolFile(const std::string& path, long long maxBytes, std::string* out);

// The lines of text, each without its LF and one trailing CR. A last line
// without LF counts when it is not empty.
std::vector<std::string> SplitSpoolLines(const std::string& text);

// Writes content to path + tempSuffix (created or truncated, 0600), syncs
// it, renames it over path and syncs the directory. On false the temporary
// file is removed and path is as it was.
bool WriteSpoolFile(const std::string& path, const std::string& content, const char* tempSuffix);

// Writes content to path + newSuffix (0600) and syncs it; then the current
// file (when there is one) also gets the name path + oldSuffix (an older
// one of that name is removed first), the new file is renamed over path and
// the directory synced. path is never missing, for a reader or after a
// crash. Unlike the functions above, each failure writes its error event
// (open, write, remove, rename); false when path was not replaced.
bool ReplaceFileKeepingOld(const std::string& path, const std::string& content,
                           const char* newSuffix, const char* oldSuffix);

// Writes content into the existing file path (truncated, never created),
// syncs it and its directory. Only for a file no reader trusts yet (an
// empty reservation): a failure or a crash part way leaves a short file.
bool FillSpoolFile(const std::string& path, const std::string& content);

bool SyncDirectory(const std::string& directory);

std::string DirectoryOf(const std::string& path);

// The permission bits of a directory; -1 (errno set) when it cannot be
// examined, -2 when the path is not a directory.
int DirectoryMode(const std::string& path);
