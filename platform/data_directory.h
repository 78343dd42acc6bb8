// Directories that hold a service's private data (its spool, its logs, its
// configuration).
//
//   MakePrivateDirectory   create a missing directory with mode 0700
//   IsWorldWritable        whether every user may write to a path
//
// Never throws; any thread may call these.
#pragma once

namespace platform {

// Creates path with mode 0700 (whatever the umask) when nothing is there;
// its parent must exist. True when path is a directory afterwards (also
// when it existed already, whatever its mode).
bool MakePrivateDirectory(const char* path);

// True when path exists and its mode lets every user write to it (a sticky
// directory such as /tmp included). False for a null path.
bool IsWorldWritable(const char* path);

}  // namespace platform
