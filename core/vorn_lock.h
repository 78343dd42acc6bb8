// CVornLock: the recursive in-process lock that every shared object carries.
//
//   CVornLock::Lock     enter (blocks while another thread holds it)
//   CVornLock::Unlock   leave once
//   CVornLockGuard      holds a lock (or nothing, for a null pointer) for a scope
//
// The thread that holds the lock may take it again and must release it as
// often. Destroying a lock that is held is a programming error.
#pragma once

#include <mutex>

class CVornLock {
public:
    virtual ~CVornLock() = default;
    // The argument is kept for the callers' sake; the lock never checks its owner.
    explicit CVornLock(bool checkOwner = true) { (void)checkOwner; }
    CVornLock(const CVornLock&) = delete;
    CVornLock& operator=(const CVornLock&) = delete;

    void Lock() { m_Mutex.lock(); }
    void Unlock() { m_Mutex.unlock(); }

private:
    std::recursive_mutex m_Mutex;
};

// Scope holder, so that a lock is released also when an exception (for
// example std::bad_alloc) leaves the scope. A null lock is held as nothing,
// which lets unlocked objects share the locked objects' code.
class CVornLockGuard {
public:
    explicit CVornLockGuard(CVornLock* lock) : m_Lock(lock) {
        if (m_Lock)
            m_Lock->Lock();
    }
    explicit CVornLockGuard(CVornLock& lock) : CVornLockGuard(&lock) {}
    ~CVornLockGuard() {
        if (m_Lock)
            m_Lock->Unlock();
    }
    CVornLockGuard(const CVornLockGuard&) = delete;
    CVornLockGuard& operator=(const CVornLockGuard&) = delete;

private:
    CVornLock* m_Lock;
};
