// CVornMutex: a named mutex that serialises threads and processes that use
// the same name (the configuration files' lock, the per-path locks of disk
// files).
//
//   CVornMutex(name)  make it, named or (null) not yet named
//   SetName           name it: creates or opens the mutex of that name
//   Lock              wait without limit until the calling thread owns it
//   TryLock           own it only if it is free at once
//   Unlock            give up one level of ownership
//
// The mutex is recursive: a thread that owns it may take it again (Lock
// reports message 181 then, and succeeds) and releases it as often. Names
// are case-sensitive byte strings ("/" and "\" included).
//
// Errors throw CVornException, with the object's state lock already released:
// 46 the mutex of the name cannot be made (text: the name), 23 the object has
// no name, 44 the wait ended without the caller owning the mutex (text: the
// name, extra: the wait result), 45 the release failed, for instance because
// the calling thread does not own the mutex (text: the name). A mutex whose
// last owner ended without releasing it (abandoned) also gives 44; the caller
// then owns nothing, and the next Lock or TryLock acquires it normally.
//
// Threads: the object holds its state lock while it waits, so one object is
// used by one thread at a time (or under the caller's own lock); threads that
// need the same name at the same time use objects of their own. Ownership
// belongs to the thread, not to the object: the destructor does not release
// (it reports message 182 when an owner is recorded), and the owner may
// release through another object of the same name. Not copyable.
#pragma once

#include <atomic>
#include <string>

#include "core/rw_lock.h"
#include "platform/named_mutex.h"

class CVornMutex {
public:
    // name may be null: the object then has no mutex until a name is given.
    explicit CVornMutex(const char* name = nullptr);
    virtual ~CVornMutex();
    CVornMutex(const CVornMutex&) = delete;
    CVornMutex& operator=(const CVornMutex&) = delete;

    // Replaces the name and the mutex. Throws 46 (the object then has no
    // mutex) when the mutex cannot be made, a null or empty name included.
    void SetName(const char* name);

    // name, when not null, is set first (SetName). Returns the calling
    // thread's id once it owns the mutex. Throws 23, 44 or 46.
    unsigned Lock(const char* name = nullptr);

    // As Lock, without waiting: 0 when the calling thread now owns the mutex,
    // 1 when another thread or process holds it. Throws 23, 44 or 46.
    int TryLock(const char* name = nullptr);

    // Throws 23 without a mutex, 45 when the release fails.
    void Unlock();

private:
    CVornRWLock m_StateLock;        // guards the name and the handle (write mode only)
    std::atomic<unsigned> m_Owner;  // thread id recorded after a successful wait, 0 none
    std::string m_Name;
    platform::NamedMutex m_Handle;  // closed when there is no mutex
};
