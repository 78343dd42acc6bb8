// CVornMutex on the platform's named mutexes. See vorn_mutex.h.
//
//   CVornMutex::SetName  (re)open the mutex of a name      46 on failure
//   CVornMutex::Lock     own it, waiting without limit      23, 44, 46
//   CVornMutex::TryLock  own it if free: 0, else 1          23, 44, 46
//   CVornMutex::Unlock   release one level                  23, 45
//
// Every exception leaves with the state lock released and without the caller
// owning anything it was not told it owns: an abandoned mutex is acquired by
// the wait, so it is released again before 44 is thrown. Misuse that is not
// an error (a second Lock by the owner, destroying an owned object) is
// reported to the event log (181, 182).
#include "core/vorn_mutex.h"

#include "core/event_log.h"
#include "core/vorn_exception.h"
#include "platform/threads.h"

namespace {

const int kEventError = 1;

unsigned currentThread() {
    return static_cast<unsigned>(platform::CurrentThreadId());
}

}  // namespace

CVornMutex::CVornMutex(const char* name) : m_Owner(0) {
    if (name != nullptr)
        SetName(name);
}

CVornMutex::~CVornMutex() {
    if (m_Owner != 0)
        LogEvent(182, kEventError);
}

void CVornMutex::SetName(const char* name) {
    CVornWriteGuard state(m_StateLock);
    m_Name = name != nullptr ? name : "";
    m_Handle.Close();
    if (name == nullptr || !m_Handle.Open(m_Name))
        throw CVornException(46, name);
}

unsigned CVornMutex::Lock(const char* name) {
    unsigned self = currentThread();
    if (m_Owner == self)
        LogEvent(181, kEventError);
    if (name != nullptr)
        SetName(name);
    {
        CVornWriteGuard state(m_StateLock);
        if (!m_Handle.IsOpen())
            throw CVornException(23);
        int rc = m_Handle.Acquire(-1);
        if (rc != platform::kMutexAcquired) {
            if (rc == platform::kMutexAbandoned)
                m_Handle.Release();
            throw CVornException(44, m_Name.c_str(), rc);
        }
    }
    m_Owner = self;
    return self;
}

int CVornMutex::TryLock(const char* name) {
    if (name != nullptr)
        SetName(name);
    {
        CVornWriteGuard state(m_StateLock);
        if (!m_Handle.IsOpen())
            throw CVornException(23);
        int rc = m_Handle.TryAcquire();
        if (rc == platform::kMutexTimedOut)
            return 1;
        if (rc != platform::kMutexAcquired) {
            if (rc == platform::kMutexAbandoned)
                m_Handle.Release();
            throw CVornException(44, m_Name.c_str(), rc);
        }
    }
    m_Owner = currentThread();
    return 0;
}

void CVornMutex::Unlock() {
    m_Owner = 0;
    CVornWriteGuard state(m_StateLock);
    if (!m_Handle.IsOpen())
        throw CVornException(23);
    if (!m_Handle.Release())
        throw CVornException(45, m_Name.c_str());
}
