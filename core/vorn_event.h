// CVornEvent: an auto-reset event. Set releases one waiting thread (or the
// next thread to wait, when none waits) and the event resets itself.
//
//   Set          signal; non-zero on success (message 9 and 0 on failure)
//   Wait         wait without limit; 0 when signalled
//   WaitSeconds  wait at most that many seconds; 0 when signalled, kTimedOut
//                when the time passed
//
// The event is made unsignalled. Signals do not count: setting an event that
// is already set changes nothing. WaitSeconds waits on the steady real-time
// clock, never on the test clock (platform::SetTestTime), so it always ends.
//
// Threads: any thread may set and wait. Not copyable. The event must outlive
// every thread that uses it.
#pragma once

#include <condition_variable>
#include <mutex>

class CVornEvent {
public:
    // Wait results, numbered as the Windows wait functions number them.
    enum : unsigned { kSignalled = 0, kTimedOut = 0x102, kWaitFailed = 0xFFFFFFFFu };

    // Throws CVornException 7 when the event cannot be made.
    CVornEvent();
    virtual ~CVornEvent();
    CVornEvent(const CVornEvent&) = delete;
    CVornEvent& operator=(const CVornEvent&) = delete;

    int Set();
    unsigned Wait();
    // seconds <= 0 only tests the event (and resets it when it was set).
    unsigned WaitSeconds(int seconds);

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Signalled;  // guarded by m_Mutex
};
