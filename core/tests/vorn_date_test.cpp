// CVornDate: packed conversions in the local zone and calendar arithmetic.
#include "core/vorn_date.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <limits>
#include <string>

#include "core/clock.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/test_catalog.h"
#include "platform/clock.h"

namespace {

// Makes tz the cached local zone as of the instant at (the clock's hourly
// refresh), and now = at.
using testsupport::UseZone;

constexpr time_t kTestNow = 1719835200;  // 2024-07-01 12:00:00 UTC

// The clock thread is stopped so that changing TZ never races with it; the
// cached zone offset changes only through ClockTick.
class VornDateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(testsupport::StopClockThread()); }
    void SetUp() override { UseZone("UTC0", kTestNow); }

    static void ExpectPacked(const CVornDate& d, int date, int time, const std::string& what) {
        int gotDate = -1, gotTime = -1;
        d.GetPacked(&gotDate, &gotTime, nullptr);
        EXPECT_EQ(date, gotDate) << what;
        EXPECT_EQ(time, gotTime) << what;
    }

    testsupport::ZoneGuard m_Zone;  // TZ and the test time restored
};

TEST_F(VornDateTest, PackedConversionsBothWaysInSeveralZones) {
    struct Case {
        const char* tz;
        int date, time;
        time_t utc;
        int weekday;
    } cases[] = {
        {"UTC0", 19700101, 0, 0, 4},
        {"XYZ-14", 20250101, 130000, 1735686000, 3},    // 2024-12-31 23:00 UTC
        {"XYZ+3:30", 20240229, 203000, 1709251200, 4},  // 2024-03-01 00:00 UTC
        {"XYZ-5:45", 20000229, 54500, 951782400, 2},    // 2000 is a leap year
        {"XYZ-13", 20371231, 235959, 2145869999, 4},    // 10:59:59 UTC
        {"UTC0", 20400101, 0, 2208988800, 0},           // past 2038
        {"XYZ+5", 21000228, 190000, 4107542400, 0},     // 2100-03-01 00:00 UTC
        {"XYZ-5:30", 99991231, 235959, 253402300799 - 19800, 5},
    };
    for (const Case& c : cases) {
        UseZone(c.tz, kTestNow);
        CVornDate d(20200101, 0);
        ASSERT_EQ(0, d.SetPacked(c.date, c.time)) << c.tz << " " << c.date;
        EXPECT_EQ(c.utc, d.GetTime()) << c.tz << " " << c.date;

        CVornDate back(c.utc);
        int date = -1, time = -1, weekday = -1;
        back.GetPacked(&date, &time, &weekday);
        EXPECT_EQ(c.date, date) << c.tz;
        EXPECT_EQ(c.time, time) << c.tz;
        EXPECT_EQ(c.weekday, weekday) << c.tz;

        CVornDate constructed(c.date, c.time);
        EXPECT_EQ(c.utc, constructed.GetTime()) << c.tz;
    }
}

TEST_F(VornDateTest, SetPackedRefusesImpossibleValuesAndGivesNow) {
    struct Case {
        int date, time;
    } refused[] = {
        {19990229, 0},                           // 1999 is not a leap year
        {21000229, 0},                           // nor is 2100
        {19990431, 0},                           // April has 30 days
        {20000230, 0},                           // 30 February
        {19991301, 0},                           // month 13
        {19990001, 0},                           // month 0
        {19990100, 0},                           // day 0
        {19691231, 235959},                      // before 1970
        {100000101, 0},                          // five year digits
        {-20000101, 0},     {20000101, 240000},  // hour 24
        {20000101, 250000}, {20000101, 6000},    // minute 60
        {20000101, 60},                          // second 60
        {20000101, -1},
    };
    for (const Case& c : refused) {
        CVornDate d(1000);
        EXPECT_EQ(1, d.SetPacked(c.date, c.time)) << c.date << " " << c.time;
        EXPECT_EQ(kTestNow, d.GetTime()) << c.date << " " << c.time;
        EXPECT_EQ(kTestNow, CVornDate(c.date, c.time).GetTime()) << c.date;
    }
    for (int leapDay : {20000229, 20240229, 19720229}) {
        CVornDate d;
        EXPECT_EQ(0, d.SetPacked(leapDay, 235959)) << leapDay;
        ExpectPacked(d, leapDay, 235959, std::to_string(leapDay));
    }
}

TEST_F(VornDateTest, TimeValueConstructionAndCopies) {
    EXPECT_EQ(kTestNow, CVornDate().GetTime());
    EXPECT_EQ(5, CVornDate(time_t{5}).GetTime());
    EXPECT_EQ(kTestNow, CVornDate(time_t{-1}).GetTime());

    CVornDate d(time_t{100});
    EXPECT_EQ(1, d.SetTime(-7));
    EXPECT_EQ(kTestNow, d.GetTime());
    EXPECT_EQ(0, d.SetTime(0));
    EXPECT_EQ(0, d.GetTime());

    CVornDate copy(d);
    CVornDate assigned;
    assigned = d;
    d.AddSeconds(10);
    EXPECT_EQ(0, copy.GetTime());
    EXPECT_EQ(0, assigned.GetTime());
    EXPECT_EQ(10, d.GetTime());

    d.SetNow();
    EXPECT_EQ(kTestNow, d.GetTime());
}

TEST_F(VornDateTest, AddDaysAndSecondsAcrossMonthAndYearEnds) {
    struct Case {
        const char* tz;
        int date, time, days, seconds;
        int expectedDate, expectedTime;
    } cases[] = {
        {"UTC0", 19991231, 235959, 0, 1, 20000101, 0},
        {"UTC0", 20000101, 0, 0, -1, 19991231, 235959},
        {"UTC0", 20000228, 120000, 1, 0, 20000229, 120000},
        {"UTC0", 21000228, 120000, 1, 0, 21000301, 120000},
        {"UTC0", 20230228, 120000, 1, 0, 20230301, 120000},
        {"UTC0", 20240131, 80000, 30, 0, 20240301, 80000},
        {"UTC0", 20000301, 0, -1, 0, 20000229, 0},
        {"UTC0", 20241231, 0, 366, 0, 20260101, 0},
        {"UTC0", 20371231, 0, 1, 0, 20380101, 0},
        {"UTC0", 20380119, 31407, 0, 1, 20380119, 31408},  // the 32-bit limit
        {"XYZ-5:30", 20241231, 233000, 0, 1800, 20250101, 0},
        {"XYZ+3:30", 20240228, 220000, 1, 7200, 20240301, 0},
    };
    for (const Case& c : cases) {
        UseZone(c.tz, kTestNow);
        CVornDate d(c.date, c.time);
        ASSERT_EQ(0, d.SetPacked(c.date, c.time)) << c.date;
        d.AddDays(c.days);
        d.AddSeconds(c.seconds);
        ExpectPacked(d, c.expectedDate, c.expectedTime,
                     std::string(c.tz) + " " + std::to_string(c.date));
    }
}

TEST_F(VornDateTest, DaylightSavingTakesEffectAtTheHourlyRefresh) {
    const char* tz = "EST5EDT,M3.2.0,M11.1.0";  // summer time from 2024-03-10
    UseZone(tz, 1710003600);                    // 2024-03-09 12:00 EST
    CVornDate d(20240309, 120000);
    d.AddDays(1);
    // Exactly 86400 seconds later, read with the winter offset still cached.
    ExpectPacked(d, 20240310, 120000, "before the refresh");

    UseZone(tz, 1710072000);  // 2024-03-10 08:00 EDT: the next refresh
    ExpectPacked(d, 20240310, 130000, "after the refresh");
    EXPECT_EQ(-400, CachedZoneOffset());
}

TEST_F(VornDateTest, Compare) {
    CVornDate early(time_t{100}), late(time_t{200}), same(time_t{100});
    EXPECT_EQ(-1, early.Compare(late));
    EXPECT_EQ(1, late.Compare(early));
    EXPECT_EQ(0, early.Compare(same));
    EXPECT_EQ(0, early.Compare(early));
    late.AddSeconds(-100);
    EXPECT_EQ(0, late.Compare(early));
    late.AddDays(-1);
    EXPECT_EQ(-1, late.Compare(early));
}

TEST_F(VornDateTest, GetPackedClampsTimesOutsideTheCalendar) {
    struct Case {
        time_t t;
        int date, time, weekday;
    } cases[] = {
        {time_t{-5000}, 19700101, 0, 4},
        {time_t{1} << 60, 99991231, 235959, 5},
        {std::numeric_limits<time_t>::max(), 99991231, 235959, 5},
    };
    for (const Case& c : cases) {
        CVornDate d(time_t{0});
        // SetTime refuses negatives, so reach them by arithmetic.
        if (c.t < 0)
            d.AddSeconds(static_cast<int>(c.t));
        else
            d.SetTime(c.t);
        int date = -1, time = -1, weekday = -1;
        d.GetPacked(&date, &time, &weekday);
        EXPECT_EQ(c.date, date) << c.t;
        EXPECT_EQ(c.time, time) << c.t;
        EXPECT_EQ(c.weekday, weekday) << c.t;
    }
}

}  // namespace
