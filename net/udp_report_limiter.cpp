// Rate limit for reports that outsiders can provoke. See udp_report_limiter.h.
//
//   CVornReportLimiter::Allow  may a report of this number go out now
//   CVornReportLimiter::Reset  forget every number
//   AppendHeldBack             the count of held-back reports, as text
//
// Bad input: none; any number may be limited, and the count saturates
// instead of overflowing.
#include "net/udp_report_limiter.h"

#include <limits.h>

#include "core/clock.h"

CVornReportLimiter::CVornReportLimiter(int intervalSeconds)
    : m_IntervalSeconds(intervalSeconds >= 1 ? intervalSeconds : kDefaultIntervalSeconds) {}

bool CVornReportLimiter::Allow(int number, int* heldBack) {
    const time_t now = Now();
    std::lock_guard<std::mutex> guard(m_Mutex);
    auto found = m_States.find(number);
    if (found == m_States.end()) {
        m_States[number].m_LastReport = now;
        if (heldBack)
            *heldBack = 0;
        return true;
    }
    State& state = found->second;
    // A clock set back (tests, or an operator) must not silence a number for
    // as long as it went back.
    if (now >= state.m_LastReport + m_IntervalSeconds || now < state.m_LastReport) {
        if (heldBack)
            *heldBack = state.m_HeldBack;
        state.m_HeldBack = 0;
        state.m_LastReport = now;
        return true;
    }
    if (state.m_HeldBack < INT_MAX)
        ++state.m_HeldBack;
    return false;
}

void CVornReportLimiter::Reset() {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_States.clear();
}

void AppendHeldBack(CVornString& text, int heldBack) {
    if (heldBack <= 0)
        return;
    text.Append(" (and ");
    text.AppendInt(heldBack);
    text.Append(" more since the last report)");
}
