// CVornRWLock: a reader-writer lock. Any number of readers, or one writer
// that excludes readers and other writers.
//
//   ReadLock / ReadUnlock    share the lock (blocks only while a writer holds it)
//   WriteLock / WriteUnlock  hold it alone (waits until no reader holds it)
//
// Misuse is reported to the event log and repaired, never fatal: a
// ReadUnlock without ReadLock (message 8, the count stays 0), readers still
// counted at WriteUnlock (message 12, the count is set to 0), a second
// WriteLock by the writer (message 183, it succeeds), a lock destroyed while
// a writer is recorded (message 184).
//
// Threads: any thread may read-lock. A thread that holds a read lock must not
// call WriteLock (it would wait for itself for ever). A writer may take read
// locks inside its write lock but must release them before WriteUnlock. The
// lock must outlive every thread that uses it. Readers are not fair to
// writers: a writer waits until the reader count drops to 0, checking at
// least once a second.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "core/vorn_lock.h"

class CVornRWLock {
public:
    // Throws CVornException 7 when the writers' event cannot be made.
    CVornRWLock();
    virtual ~CVornRWLock();
    CVornRWLock(const CVornRWLock&) = delete;
    CVornRWLock& operator=(const CVornRWLock&) = delete;

    void ReadLock();
    void ReadUnlock();
    // Returns with the writer's section held.
    void WriteLock();
    void WriteUnlock();

private:
    // A manual-reset event: stays set until reset, releases every waiter.
    class ManualResetEvent {
    public:
        bool Set();
        bool Reset();
        // 0 when set, 1 when the time passed, -1 when the wait failed.
        int Wait(int milliseconds);

    private:
        std::mutex m_Mutex;
        std::condition_variable m_Changed;
        bool m_Set = false;
    };

    int m_Readers;                   // guarded by m_Section
    std::atomic<unsigned> m_Writer;  // thread id of the writer, 0 when none
    CVornLock m_Section;             // held by a writer for the whole time it writes
    ManualResetEvent m_OkToWrite;    // set when the reader count drops to 0
};

// Scope holders of a reader-writer lock: the read or the write side for the
// life of the holder, released also when an exception leaves the scope.
class CVornReadGuard {
public:
    explicit CVornReadGuard(CVornRWLock& lock) : m_Lock(lock) { m_Lock.ReadLock(); }
    ~CVornReadGuard() { m_Lock.ReadUnlock(); }
    CVornReadGuard(const CVornReadGuard&) = delete;
    CVornReadGuard& operator=(const CVornReadGuard&) = delete;

private:
    CVornRWLock& m_Lock;
};

class CVornWriteGuard {
public:
    explicit CVornWriteGuard(CVornRWLock& lock) : m_Lock(lock) { m_Lock.WriteLock(); }
    ~CVornWriteGuard() { m_Lock.WriteUnlock(); }
    CVornWriteGuard(const CVornWriteGuard&) = delete;
    CVornWriteGuard& operator=(const CVornWriteGuard&) = delete;

private:
    CVornRWLock& m_Lock;
};
