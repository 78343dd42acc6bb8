// CVornReportLimiter: keeps reports that outsiders can provoke at will (junk
// datagrams: unparsable, unsolicited, oversized) from flooding the event
// log. Each message number may be reported at most once per interval of the
// library clock; the reports held back meanwhile are counted, and the next
// report that goes out says how many there were.
//
// Threads: any thread; one internal mutex, taken alone. Not copyable.
#pragma once

#include <time.h>

#include <map>
#include <mutex>

#include "core/vorn_string.h"

class CVornReportLimiter {
public:
    // The interval unless the constructor says otherwise.
    static constexpr int kDefaultIntervalSeconds = 60;

    // intervalSeconds < 1 counts as kDefaultIntervalSeconds.
    explicit CVornReportLimiter(int intervalSeconds = kDefaultIntervalSeconds);
    CVornReportLimiter(const CVornReportLimiter&) = delete;
    CVornReportLimiter& operator=(const CVornReportLimiter&) = delete;

    // True when a report of number may go out now (the first one, or the
    // interval has passed since the last one that went out on the library
    // clock, or that clock has gone back); *heldBack (may be null) then
    // receives how many reports of number were held back since that last one,
    // and the count starts again. False: this report is held back and counted.
    bool Allow(int number, int* heldBack);

    // Forgets every number (tests, and a restart of the resolver).
    void Reset();

private:
    struct State {
        time_t m_LastReport = 0;
        int m_HeldBack = 0;
    };
    const int m_IntervalSeconds;
    std::mutex m_Mutex;
    std::map<int, State> m_States;  // under m_Mutex
};

// Appends " (and N more since the last report)" to text when heldBack > 0,
// so that the count rides in a report's own text argument.
void AppendHeldBack(CVornString& text, int heldBack);
