// A lock held by holding a file open: the stand-in for a file opened
// without sharing, whose successful open is the lock.
//
//   LockFile::Acquire   take the lock on a path at once, or fail at once
//   LockFile::Release   delete the file and let the lock go
//   LockFile::IsHeld    whether this object holds a lock
//
// The lock is flock(LOCK_EX | LOCK_NB) on the file, created when missing.
// flock belongs to the open file, so two LockFile objects of one process
// exclude each other just as two processes do. Releasing deletes the file
// first and closes it after, so only the holder ever deletes it; a process
// that had opened the old file before the delete finds, after locking it,
// that the path names another file (or none) and starts again. A holder
// that dies releases the lock with its descriptors; its file stays behind
// and is simply locked again by the next one.
//
// Bad input: an empty path, a directory or a file that cannot be created
// fails Acquire. Never throws. One object must be used by one thread at a
// time; different objects may be used by different threads.
#pragma once

#include <string>

namespace platform {

class LockFile {
public:
    LockFile() = default;
    // Releases a lock still held (the file is deleted).
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // Takes the lock on path. False at once, with nothing changed, when any
    // holder has it (this object included) or the file cannot be opened.
    bool Acquire(const std::string& path);

    // Deletes the file and closes it; nothing when no lock is held.
    void Release();

    bool IsHeld() const { return m_Fd >= 0; }

private:
    int m_Fd = -1;
    std::string m_Path;
};

}  // namespace platform
