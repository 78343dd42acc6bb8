// Private data directories: made with mode 0700, and the check that a
// directory is not open to every user.
//
//   MakePrivateDirectory   mkdir(0700) + chmod when it made the directory
//   IsWorldWritable        stat, S_IWOTH
//
// Bad input: a null or empty path gives false.
#include "platform/data_directory.h"

#include <errno.h>
#include <sys/stat.h>

namespace platform {

bool MakePrivateDirectory(const char* path) {
    if (path == nullptr || *path == '\0')
        return false;
    if (mkdir(path, 0700) == 0) {
        // mkdir applies the umask, which can only take rights away; chmod
        // makes the mode exact.
        chmod(path, 0700);
    } else if (errno != EEXIST) {
        return false;
    }
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsWorldWritable(const char* path) {
    struct stat st;
    if (path == nullptr || *path == '\0' || stat(path, &st) != 0)
        return false;
    return (st.st_mode & S_IWOTH) != 0;
}

}  // namespace platform
