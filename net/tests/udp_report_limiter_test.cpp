// The report limiter on the test clock: one report per number and interval,
// the count held back carried by the next one, numbers kept apart, and a
// clock that goes back.
#include "net/udp_report_limiter.h"

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace {

constexpr time_t kBase = 1700000000;

struct ClockReset {
    ~ClockReset() { platform::ClearTestTime(); }
};

TEST(ReportLimiter, OneReportPerNumberAndIntervalCarryingTheCountHeldBack) {
    ClockReset reset;
    CVornReportLimiter limiter(60);
    struct Step {
        time_t at;
        int number;
        bool allowed;
        int heldBack;  // when allowed
    };
    const Step steps[] = {
        {kBase, 206, true, 0},       {kBase, 206, false, 0},      {kBase + 59, 206, false, 0},
        {kBase + 1, 214, true, 0},  // another number has its own interval
        {kBase + 60, 206, true, 2},  {kBase + 60, 206, false, 0}, {kBase + 120, 206, true, 1},
        {kBase + 130, 214, true, 0},  // nothing held back since its last report
        {kBase + 10, 206, true, 0},   // the clock went back: report at once
        {kBase + 11, 206, false, 0},
    };
    for (const Step& s : steps) {
        platform::SetTestTime(s.at);
        int heldBack = -1;
        EXPECT_EQ(limiter.Allow(s.number, &heldBack), s.allowed) << s.at - kBase << " " << s.number;
        if (s.allowed) {
            EXPECT_EQ(heldBack, s.heldBack) << s.at - kBase << " " << s.number;
        }
    }
    limiter.Reset();
    EXPECT_TRUE(limiter.Allow(206, nullptr));
}

TEST(ReportLimiter, TheCountRidesInTheTextOnlyWhenSomethingWasHeldBack) {
    CVornString text("[192.0.2.1].53");
    AppendHeldBack(text, 0);
    EXPECT_STREQ(text.CStr(), "[192.0.2.1].53");
    AppendHeldBack(text, 41);
    EXPECT_STREQ(text.CStr(), "[192.0.2.1].53 (and 41 more since the last report)");
}

}  // namespace
