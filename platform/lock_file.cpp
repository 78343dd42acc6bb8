// Lock files (see lock_file.h for the contract).
//
//   LockFile::Acquire   open (create) the file, flock it without waiting,
//                       check that the path still names the locked file
//   LockFile::Release   unlink, then close
//
// Bad input: a path that cannot be opened as a file fails Acquire; nothing
// is deleted by an object that does not hold the lock.
#include "platform/lock_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_ops.h"

namespace platform {
namespace {

// A holder that releases and a newcomer that re-creates the file can race
// a waiting opener only a few times in a row; past this many rounds the
// lock counts as held by others.
constexpr int kMaxRounds = 100;

}  // namespace

LockFile::~LockFile() { Release(); }

bool LockFile::Acquire(const std::string& path) {
    if (m_Fd >= 0 || path.empty()) return false;
    for (int round = 0; round < kMaxRounds; ++round) {
        int fd = OpenFile(path.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0) return false;
        int rc;
        do {
            rc = flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            CloseFile(fd);
            return false;
        }
        // The holder before us may have deleted the file between our open
        // and our lock: then we hold a lock on a file nobody else will see.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            m_Fd = fd;
            m_Path = path;
            return true;
        }
        CloseFile(fd);
    }
    return false;
}

void LockFile::Release() {
    if (m_Fd < 0) return;
    // Delete while still holding, so no one who locks after us can lose the
    // file they locked to our delete.
    RemovePath(m_Path.c_str());
    CloseFile(m_Fd);
    m_Fd = -1;
    m_Path.clear();
}

}  // namespace platform
