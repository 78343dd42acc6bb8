// CVornRWLock: readers count themselves under the writer's section; a writer
// takes the section and keeps it once no reader is counted. See rw_lock.h.
//
//   CVornRWLock::ReadLock     count one reader (waits only for a writer)
//   CVornRWLock::ReadUnlock   uncount one; signal the writers at 0
//   CVornRWLock::WriteLock    wait for 0 readers, keep the section
//   CVornRWLock::WriteUnlock  clear the writer, leave the section
//
// Bad use: an unmatched ReadUnlock reports message 8 and keeps the count at 0;
// readers left at WriteUnlock report message 12 and are forgotten; a repeated
// WriteLock reports 183 and succeeds; destroying a written lock reports 184.
// A writer re-reads the count at least every second, so a missed signal only
// delays it.
#include "core/rw_lock.h"

#include <chrono>
#include <system_error>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/vorn_exception.h"
#include "platform/threads.h"

namespace {

const int kEventError = 1;
const int kEventWarning = 2;

unsigned currentThread() {
    return static_cast<unsigned>(platform::CurrentThreadId());
}

}  // namespace

bool CVornRWLock::ManualResetEvent::Set() {
    try {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Set = true;
        m_Changed.notify_all();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool CVornRWLock::ManualResetEvent::Reset() {
    try {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Set = false;
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

int CVornRWLock::ManualResetEvent::Wait(int milliseconds) {
    try {
        std::unique_lock<std::mutex> lk(m_Mutex);
        bool set = m_Changed.wait_for(lk, std::chrono::milliseconds(milliseconds),
                                      [this] { return m_Set; });
        return set ? 0 : 1;
    } catch (const std::system_error&) {
        return -1;
    }
}

CVornRWLock::CVornRWLock() try : m_Readers(0), m_Writer(0) {
} catch (const std::system_error&) {
    throw CVornException(7);
}

CVornRWLock::~CVornRWLock() {
    if (m_Writer != 0)
        LogEvent(184, kEventError);
}

void CVornRWLock::ReadLock() {
    CVornLockGuard section(m_Section);
    ++m_Readers;
}

void CVornRWLock::ReadUnlock() {
    CVornLockGuard section(m_Section);
    if (--m_Readers < 0) {
        LogEvent(8, kEventError);
        if (!g_LogSilent)
            LogText(kLogError, "CVornRWLock::ReadUnlock m_Readers < 0");
        m_Readers = 0;
    }
    if (m_Readers == 0 && !m_OkToWrite.Set()) {
        LogEvent(9, kEventWarning);
        if (!g_LogSilent)
            LogText(kLogError, "Cannot set event on m_OkToWrite");
    }
}

void CVornRWLock::WriteLock() {
    unsigned self = currentThread();
    if (m_Writer == self)
        LogEvent(183, kEventError);
    for (;;) {
        m_Section.Lock();
        if (m_Readers == 0)
            break;
        m_Section.Unlock();
        // The signal is only a hint: the count is read again after a second
        // in any case, so a reset that swallows another writer's signal
        // costs no more than that second.
        int waited = m_OkToWrite.Wait(1000);
        if (waited >= 0 && !m_OkToWrite.Reset() && !g_LogSilent)
            LogMessage(kLogError, 10);
    }
    m_Writer = self;
}

void CVornRWLock::WriteUnlock() {
    m_Writer = 0;
    if (m_Readers != 0) {
        LogEventInt(12, kEventError, m_Readers);
        m_Readers = 0;
    }
    m_Section.Unlock();
}
