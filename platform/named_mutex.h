// Named mutexes shared by the threads of this process and by other processes.
//
//   NamedMutex::Open        create or open the mutex of a name
//   NamedMutex::Close       drop the handle (an owner keeps owning)
//   NamedMutex::Acquire     wait (without limit, or up to a number of ms) to own it
//   NamedMutex::TryAcquire  own it only if it is free at once
//   NamedMutex::Release     give up one level of ownership
//   LockDirectory           where the lock files live
//   LockFileName            the file name that stands for a mutex name
//
// A mutex is owned by one thread at a time and is recursive: the owner may
// acquire it again and releases it as often. Every handle of one name in one
// process reaches the same mutex, so a thread may acquire through one handle
// and release through another. Across processes, each name is one lock file
// in the lock directory (environment variable ZELORM_LOCK_DIR, default
// /run/zelorm/locks, created with mode 0755 when missing), locked with flock.
//
// Abandonment: a mutex whose owner ended without releasing it (a process that
// died, a thread that returned) is free again; the next thread that acquires
// it is told kMutexAbandoned, and owns it as after kMutexAcquired.
//
// Names are byte strings and may hold any byte but NUL, including "/" and
// "\"; they are case-sensitive. An empty name is refused.
//
// A child made by fork shares the parent's open lock files and therefore its
// locks: it must not use a mutex that was open in the parent (exec first).
// All descriptors are close-on-exec.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Results of NamedMutex::Acquire. The numbers are those of the Windows wait
// functions, so that logged results read the same as ever.
enum : int {
    kMutexAcquired = 0,      // the calling thread owns the mutex
    kMutexAbandoned = 0x80,  // it owns it; the previous owner ended without releasing it
    kMutexTimedOut = 0x102,  // not owned: the time limit passed
    kMutexFailed = -1,       // not owned: no handle, or the lock file failed (errno says why)
};

namespace detail {
struct NamedMutexEntry;
}

// Not copyable. One handle is used by one thread at a time (or under the
// caller's own lock); different handles may be used by different threads.
class NamedMutex {
public:
    NamedMutex() = default;
    // Closes the handle; an owned mutex is not released (see Close).
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Creates (when needed) the lock directory and the lock file of name and
    // makes this handle refer to it, closing any previous one first. Returns
    // false with errno set (EINVAL for an empty name) and leaves the handle
    // closed when that fails.
    bool Open(std::string_view name);
    bool IsOpen() const { return m_Entry != nullptr; }

    // Drops the handle. A thread that owns the mutex keeps owning it: it can
    // release it through another handle of the name, and when it ends without
    // doing so the mutex is abandoned.
    void Close();

    // Waits until the calling thread owns the mutex: timeoutMs < 0 without
    // limit, 0 not at all, otherwise at most that many milliseconds. Returns
    // kMutexAcquired or kMutexAbandoned when owned, kMutexTimedOut or
    // kMutexFailed when not; a failure never leaves anything held.
    int Acquire(long timeoutMs);
    int TryAcquire() { return Acquire(0); }

    // Releases one level of the calling thread's ownership. Returns false
    // (errno EPERM) when the calling thread does not own the mutex, or when
    // the handle is closed (errno EBADF).
    bool Release();

private:
    std::shared_ptr<detail::NamedMutexEntry> m_Entry;
};

// ZELORM_LOCK_DIR when set and not empty, else "/run/zelorm/locks".
std::string LockDirectory();

// The lock file name of a mutex name: bytes outside [A-Za-z0-9._-], and a
// leading ".", become %XX (upper-case hex); a result longer than 255 bytes
// becomes its first 200 bytes (cut before an escape), "~" and the 64-bit
// FNV-1a hash of the whole name in 16 lower-case hex digits. Different names
// give different file names (up to hash collisions of long names); the same
// name always gives the same one. Empty for an empty name.
std::string LockFileName(std::string_view name);

}  // namespace platform
