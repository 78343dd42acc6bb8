// The process-wide clock, the zone offset and the packed-number helpers.
#include "core/clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "core/tests/support/scoped_env.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_string.h"
#include "platform/clock.h"
#include "platform/threads.h"

namespace {

// Makes tz the local zone and at the current time; the cached offset is
// refreshed the way the clock thread does it, by a tick in the first second
// of at's hour.
using testsupport::UseZone;

// The clock thread is stopped for these tests, so that changing TZ never
// races with its hourly localtime call and the zone offset changes only when
// a test calls ClockTick. The lifecycle test restarts it and stops it again.
class ClockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(testsupport::StopClockThread()); }

    testsupport::ZoneGuard m_Zone;  // TZ and the test time restored
};

constexpr time_t k2024Jul1Noon = 1719835200;     // 2024-07-01 12:00:00 UTC
constexpr time_t k2024Jan15Noon = 1705320000;    // 2024-01-15 12:00:00 UTC
constexpr time_t k2024Dec31At2300 = 1735686000;  // last hour of a leap year, UTC
constexpr time_t k2023Dec31Noon = 1704024000;

TEST_F(ClockTest, LocalZoneOffsetIsSignedHhmmInEveryZone) {
    struct Case {
        const char* tz;
        time_t at;
        int expected;
    } cases[] = {
        {"UTC0", k2024Jul1Noon, 0},
        // POSIX signs are inverted: "XYZ-14" is fourteen hours east.
        {"XYZ-14", k2024Jul1Noon, 1400},
        {"XYZ-13", k2024Jul1Noon, 1300},
        // The local date is already in the next year, and the old year was a
        // leap year: day-of-year arithmetic must not confuse the two.
        {"XYZ-14", k2024Dec31At2300, 1400},
        {"XYZ-13", k2024Dec31At2300, 1300},
        {"XYZ+11", k2023Dec31Noon + 6 * 3600, -1100},  // local date a day behind
        {"XYZ-5:30", k2024Jul1Noon, 530},
        {"XYZ-5:45", k2024Jul1Noon, 545},
        {"XYZ+3:30", k2024Jul1Noon, -330},
        {"XYZ+0:30", k2024Jul1Noon, -30},  // the minutes carry the sign
        {"XYZ+5", k2024Jul1Noon, -500},
        {"EST5EDT,M3.2.0,M11.1.0", k2024Jul1Noon, -400},
        {"EST5EDT,M3.2.0,M11.1.0", k2024Jan15Noon, -500},
        // Southern summer: daylight saving in January.
        {"XYZ-9:30ABC,M10.1.0,M4.1.0/3", k2024Jan15Noon, 1030},
        {"XYZ-9:30ABC,M10.1.0,M4.1.0/3", k2024Jul1Noon, 930},
    };
    for (const Case& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        platform::SetTestTime(c.at);
        EXPECT_EQ(c.expected, LocalZoneOffset()) << c.tz << " at " << c.at;
    }
}

TEST_F(ClockTest, LocalZoneOffsetInNamedZones) {
    struct Case {
        const char* tz;
        int expected;
    } cases[] = {
        {"Pacific/Kiritimati", 1400}, {"Pacific/Tongatapu", 1300}, {"Asia/Kolkata", 530},
        {"Asia/Kathmandu", 545},      {"America/St_Johns", -230},  {"America/New_York", -400},
    };
    for (const Case& c : cases) {
        if (access((std::string("/usr/share/zoneinfo/") + c.tz).c_str(), R_OK) != 0) {
            GTEST_SKIP() << "no time-zone database";
        }
        setenv("TZ", c.tz, 1);
        tzset();
        platform::SetTestTime(k2024Jul1Noon);  // northern summer
        EXPECT_EQ(c.expected, LocalZoneOffset()) << c.tz;
    }
}

TEST_F(ClockTest, CachedZoneOffsetRefreshesOnlyInTheFirstSecondsOfAnHour) {
    UseZone("XYZ-2", k2024Jul1Noon);
    ASSERT_EQ(200, CachedZoneOffset());

    setenv("TZ", "XYZ-5:45", 1);
    tzset();
    for (time_t intoHour : {2, 1800, 3599}) {
        platform::SetTestTime(k2024Jul1Noon + intoHour);
        ClockTick();
        EXPECT_EQ(200, CachedZoneOffset()) << intoHour;
    }
    platform::SetTestTime(k2024Jul1Noon + 3600 + 1);
    ClockTick();
    EXPECT_EQ(545, CachedZoneOffset());
}

TEST_F(ClockTest, NowFollowsTheTestTimeAtOnceAlsoPast2038) {
    for (time_t t : {time_t{1234567}, time_t{2145916800}, time_t{4102444800}}) {
        platform::SetTestTime(t);
        EXPECT_EQ(t, Now());
        EXPECT_EQ(t, RefreshNow());
    }
}

TEST_F(ClockTest, NowPackedGivesTheLocalDateAndTime) {
    struct Case {
        const char* tz;
        time_t at;
        int date, time;
    } cases[] = {
        {"UTC0", k2024Jul1Noon + 5, 20240701, 120005},
        {"XYZ-14", k2024Dec31At2300 + 59, 20250101, 130059},
        {"XYZ-5:45", k2024Jul1Noon, 20240701, 174500},
        {"XYZ+3:30", k2024Jan15Noon, 20240115, 83000},
        {"XYZ+11", k2023Dec31Noon + 6 * 3600, 20231231, 70000},
    };
    for (const Case& c : cases) {
        UseZone(c.tz, c.at);
        int date = -1, time = -1;
        NowPacked(&date, &time);
        EXPECT_EQ(c.date, date) << c.tz;
        EXPECT_EQ(c.time, time) << c.tz;
    }
}

TEST_F(ClockTest, SafeConversionsFillTheFieldsOrLeaveThemAlone) {
    setenv("TZ", "XYZ-5:30", 1);
    tzset();
    struct tm utc {
    }, local{};
    ASSERT_EQ(0, SafeGmTime(k2024Jul1Noon, &utc));
    ASSERT_EQ(0, SafeLocalTime(k2024Jul1Noon, &local));
    EXPECT_EQ(12, utc.tm_hour);
    EXPECT_EQ(6, utc.tm_mon);
    EXPECT_EQ(124, utc.tm_year);
    EXPECT_EQ(17, local.tm_hour);
    EXPECT_EQ(30, local.tm_min);

    // A year beyond what struct tm holds: the C library fails.
    struct tm untouched {};
    untouched.tm_year = 77;
    const time_t huge = time_t{1} << 62;
    EXPECT_EQ(1, SafeGmTime(huge, &untouched));
    EXPECT_EQ(1, SafeLocalTime(huge, &untouched));
    EXPECT_EQ(77, untouched.tm_year);
}

TEST_F(ClockTest, PackAndUnpack) {
    int packed = 0;
    PackDate(2024, 2, 29, &packed);
    EXPECT_EQ(20240229, packed);
    PackDate(9, 5, 7, &packed);
    EXPECT_EQ(90507, packed);
    int a, b, c;
    UnpackDate(20240229, &a, &b, &c);
    EXPECT_EQ(2024, a);
    EXPECT_EQ(2, b);
    EXPECT_EQ(29, c);
    UnpackDate(90507, &a, &b, &c);
    EXPECT_EQ(9, a);
    EXPECT_EQ(5, b);
    EXPECT_EQ(7, c);
}

TEST_F(ClockTest, TwelveHourConversions) {
    struct To12 {
        int in;
        const char* marker;
        int out;
    } to12[] = {
        {0, "AM", 120000},      {5, "AM", 120005},     {93015, "AM", 93015},
        {120000, "PM", 120000}, {130000, "PM", 10000}, {235959, "PM", 115959},
    };
    for (const To12& c : to12) {
        CVornString marker;
        int out = -1;
        To12Hour(c.in, marker, &out);
        EXPECT_EQ(c.out, out) << c.in;
        EXPECT_TRUE(marker.Equals(c.marker, 1)) << c.in;
    }

    struct To24 {
        int in;
        const char* marker;
        int out;
    } to24[] = {
        {120000, "am", 0},      {123000, "A.M.", 3000},   {110000, "AM", 110000},
        {10000, "pm", 130000},  {110000, "p.m.", 230000}, {120000, "PM", 120000},
        {130000, "PM", 130000}, {10000, "xx", 10000},     {120000, "", 120000},
    };
    for (const To24& c : to24) {
        int out = -1;
        To24Hour(c.in, CVornString(c.marker), &out);
        EXPECT_EQ(c.out, out) << c.in << " " << c.marker;
    }
}

TEST_F(ClockTest, ParseSlashDate) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"12/31/1999", 19991231},
        {"2/30/2000", 20000230},  // only 1-31 is checked here
        {"01/02/0100", 1000102},
        {" 7 / 4 / 2024 ", 20240704},
        {"13/1/1999", 0},
        {"0/1/1999", 0},
        {"1/0/1999", 0},
        {"1/32/1999", 0},
        {"1/1/99", 0},
        {"1/1", 0},
        {"1//1999", 0},
        {"/1/1999", 0},
        {"1/1/", 0},
        {"1/1/1999/", 0},
        {"1/1/1999x", 0},
        {"a/1/1999", 0},
        {"-1/1/1999", 0},
        {"1/1/99999999999", 0},  // would overflow an int
        {"", 0},
    };
    for (const Case& c : cases) {
        int out = -1;
        ParseSlashDate(CVornString(c.text), &out);
        EXPECT_EQ(c.expected, out) << '"' << c.text << '"';
    }
    int out = -1;
    ParseSlashDate(CVornString("1/1/1999\0"
                               "9",
                               10),
                   &out);  // an embedded NUL
    EXPECT_EQ(0, out);
}

bool WaitUntil(bool (*condition)()) {
    for (int i = 0; i < 1000 && !condition(); ++i) platform::SleepMilliseconds(10);
    return condition();
}

// Leaves the clock stopped, as the other tests of this suite expect.
TEST_F(ClockTest, ThreadTicksStopsWithinBoundsAndRestartsOnlyOnReset) {
    ResetClock();
    ASSERT_TRUE(ClockRunning());

    // The cached second advances by itself.
    static time_t first;
    first = Now();
    ASSERT_TRUE(WaitUntil([] { return Now() > first; }));

    // After the stop, Now keeps answering the last cached second and does
    // not start the clock again.
    platform::SetTestTime(1000000);
    RefreshNow();
    ASSERT_TRUE(StopClock());
    EXPECT_FALSE(ClockRunning());
    platform::ClearTestTime();
    EXPECT_EQ(1000000, Now());
    EXPECT_FALSE(ClockRunning());
    EXPECT_TRUE(StopClock());  // nothing to stop

    // Resetting a running clock twice leaves one thread that still stops.
    ResetClock();
    ResetClock();
    EXPECT_TRUE(ClockRunning());
    EXPECT_TRUE(StopClock());
    EXPECT_FALSE(ClockRunning());
}

}  // namespace
