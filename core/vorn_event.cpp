// CVornEvent: an auto-reset event on a mutex and a condition variable. See
// vorn_event.h.
//
//   CVornEvent::Set          signal, waking one waiter
//   CVornEvent::Wait         wait without limit
//   CVornEvent::WaitSeconds  wait with a limit in whole seconds
//
// A failed set (the system refused the mutex) reports message 9 as a warning
// and returns 0; a failed wait returns kWaitFailed. Nothing else can fail.
#include "core/vorn_event.h"

#include <chrono>
#include <system_error>

#include "core/event_log.h"
#include "core/vorn_exception.h"

CVornEvent::CVornEvent() try : m_Signalled(false) {
} catch (const std::system_error&) {
    throw CVornException(7);
}

CVornEvent::~CVornEvent() = default;

int CVornEvent::Set() {
    try {
        // Notified under the mutex: a waiter that returns may destroy the
        // event at once, and must not do so while this call still uses it.
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Signalled = true;
        m_Changed.notify_one();
    } catch (const std::system_error&) {
        LogEvent(9, 2);
        return 0;
    }
    return 1;
}

unsigned CVornEvent::Wait() {
    try {
        std::unique_lock<std::mutex> lk(m_Mutex);
        m_Changed.wait(lk, [this] { return m_Signalled; });
        m_Signalled = false;
        return kSignalled;
    } catch (const std::system_error&) {
        return kWaitFailed;
    }
}

unsigned CVornEvent::WaitSeconds(int seconds) {
    // Measured on the steady clock: neither the test clock nor a change of
    // the system time can stretch the wait.
    auto limit = std::chrono::seconds(seconds > 0 ? seconds : 0);
    try {
        std::unique_lock<std::mutex> lk(m_Mutex);
        if (!m_Changed.wait_for(lk, limit, [this] { return m_Signalled; }))
            return kTimedOut;
        m_Signalled = false;
        return kSignalled;
    } catch (const std::system_error&) {
        return kWaitFailed;
    }
}
