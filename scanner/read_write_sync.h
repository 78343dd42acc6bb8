// The plug-in's reader-writer lock: many scans share the virus engine while
// a heuristic-level change or a definitions reload waits until no scan runs
// and keeps new scans out until it is done.
//
//   CReadWriteSync::ReadLock / ReadUnlock    shared (every scan)
//   CReadWriteSync::WriteLock / WriteUnlock  exclusive (engine restarts)
//   CReadWriteGuard                          scoped holder of either
//
// Writers are preferred: once a writer waits, no new reader gets in, so a
// steady stream of scans cannot hold a reload off for ever. Writers are
// served one at a time. The lock is not upgradable: a thread holding it
// shared must release it before asking for it exclusive (it would wait for
// itself). A writer may take it again on its own thread (counted).
//
// Nothing here throws or fails: building the lock cannot fail, so the
// plug-in's static initialisation does no work that can go wrong.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class CReadWriteSync {
public:
    CReadWriteSync() = default;
    CReadWriteSync(const CReadWriteSync&) = delete;
    CReadWriteSync& operator=(const CReadWriteSync&) = delete;

    // Waits while a writer holds or waits for the lock, then counts a reader.
    void ReadLock();
    // REQUIRES: the caller holds the lock shared.
    void ReadUnlock();
    // Waits until no writer holds the lock and no reader is counted; new
    // readers wait from the moment the writer arrives.
    void WriteLock();
    // REQUIRES: the calling thread holds the lock exclusive.
    void WriteUnlock();

    // For tests and diagnostics: readers counted, readers and writers
    // waiting.
    int Readers();
    int WaitingReaders();
    int WaitingWriters();

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    int m_Readers = 0;
    int m_WaitingReaders = 0;
    int m_WaitingWriters = 0;
    int m_WriteDepth = 0;  // > 0 while m_Writer holds the lock
    std::thread::id m_Writer;
};

// Takes a CReadWriteSync for the life of an operation; releases it when the
// operation returns, whichever way. Not copyable.
class CReadWriteGuard {
public:
    explicit CReadWriteGuard(CReadWriteSync* lock) : m_Lock(lock) {}
    ~CReadWriteGuard() { Unlock(); }
    CReadWriteGuard(const CReadWriteGuard&) = delete;
    CReadWriteGuard& operator=(const CReadWriteGuard&) = delete;

    // Exclusive when exclusive is true, else shared. REQUIRES: not held.
    void Lock(bool exclusive);
    // Releases what Lock took; nothing when not held.
    void Unlock();

private:
    CReadWriteSync* m_Lock;
    bool m_Held = false;
    bool m_Exclusive = false;
};
