// Writer-preferring reader-writer lock of the scanner plug-in.
//
//   CReadWriteSync::ReadLock, ReadUnlock, WriteLock, WriteUnlock
//   CReadWriteGuard::Lock, Unlock
//
// One mutex and one condition variable hold the whole state: readers
// counted, writers waiting, the writing thread and its depth. Every change
// that can let a waiter in wakes all waiters; each re-checks its own
// condition. Unlocking what is not held is a caller's fault (REQUIRES); it
// is ignored rather than driving the counts negative.
#include "scanner/read_write_sync.h"

void CReadWriteSync::ReadLock()
{
    std::unique_lock<std::mutex> hold(m_Mutex);
    ++m_WaitingReaders;
    m_Changed.wait(hold, [this] { return m_WriteDepth == 0 && m_WaitingWriters == 0; });
    --m_WaitingReaders;
    ++m_Readers;
}

void CReadWriteSync::ReadUnlock()
{
    std::lock_guard<std::mutex> hold(m_Mutex);
    if (m_Readers == 0)
        return;
    if (--m_Readers == 0)
        m_Changed.notify_all();
}

void CReadWriteSync::WriteLock()
{
    std::unique_lock<std::mutex> hold(m_Mutex);
    const std::thread::id self = std::this_thread::get_id();
    if (m_WriteDepth > 0 && m_Writer == self) {
        ++m_WriteDepth;
        return;
    }
    ++m_WaitingWriters;
    m_Changed.wait(hold, [this] { return m_WriteDepth == 0 && m_Readers == 0; });
    --m_WaitingWriters;
    m_Writer = self;
    m_WriteDepth = 1;
}

void CReadWriteSync::WriteUnlock()
{
    std::lock_guard<std::mutex> hold(m_Mutex);
    if (m_WriteDepth == 0 || m_Writer != std::this_thread::get_id())
        return;
    if (--m_WriteDepth == 0) {
        m_Writer = std::thread::id();
        m_Changed.notify_all();
    }
}

int CReadWriteSync::Readers()
{
    std::lock_guard<std::mutex> hold(m_Mutex);
    return m_Readers;
}

int CReadWriteSync::WaitingReaders()
{
    std::lock_guard<std::mutex> hold(m_Mutex);
    return m_WaitingReaders;
}

int CReadWriteSync::WaitingWriters()
{
    std::lock_guard<std::mutex> hold(m_Mutex);
    return m_WaitingWriters;
}

void CReadWriteGuard::Lock(bool exclusive)
{
    if (m_Held || m_Lock == nullptr)
        return;
    m_Exclusive = exclusive;
    if (exclusive)
        m_Lock->WriteLock();
    else
        m_Lock->ReadLock();
    m_Held = true;
}

void CReadWriteGuard::Unlock()
{
    if (!m_Held)
        return;
    if (m_Exclusive)
        m_Lock->WriteUnlock();
    else
        m_Lock->ReadUnlock();
    m_Held = false;
}
