// The definition-update scheduler: the schedule mask, the schedule rule on
// the test clock (late checks, minute 0 seen twice, a clock set back, a
// half-hour zone), the results of an update with stand-in launchers
// (success, failure codes, a launcher that cannot start, dies or hangs),
// the real Tollan against a private store, and the thread (RunNow, a stop
// that ends a hung launcher).
#include "gateway/update_scheduler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "defs/tests/support/store_fixture.h"
#include "gateway/tests/support/activity_lines.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace {

using gatewaytest::ActivityFields;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

const std::string kCmdLines = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM\\Kelbrook\\CmdLines";
const std::string kSharedUsage = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedUsage";
const std::string kSep = "\x1C";

// Seconds since 1970 of a local time "YYYY-MM-DD HH:MM:SS" in the zone set.
time_t Local(const char* text) {
    struct tm t = {};
    sscanf(text, "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
           &t.tm_sec);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    return mktime(&t);
}

void SetZoneNow(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

TEST(UpdateScheduleTest, SettersAndMatchesFollowTheMaskRules) {
    testsupport::ZoneGuard zone;
    SetZoneNow("UTC0");
    // 2024-01-03 is a Wednesday (3).
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> hoursThenWeekdays;  // applied in order
        const char* when;
        bool matches;
    } cases[] = {
        {"every hour, every day", {{"*", "*"}}, "2024-01-03 05:00:00", true},
        {"minute 0 only", {{"*", "*"}}, "2024-01-03 05:01:00", false},
        {"listed hour", {{"2" + kSep + "14", "3"}}, "2024-01-03 14:00:00", true},
        {"unlisted hour", {{"2" + kSep + "14", "3"}}, "2024-01-03 13:00:00", false},
        {"unlisted weekday", {{"2" + kSep + "14", "3"}}, "2024-01-04 14:00:00", false},
        {"a new list replaces the hours",
         {{"2" + kSep + "14", "*"}, {"14", ""}},
         "2024-01-03 02:00:00",
         false},
        {"an empty value keeps them",
         {{"2" + kSep + "14", "*"}, {"", ""}},
         "2024-01-03 02:00:00",
         true},
        {"weekday 7 and -1 set nothing", {{"*", "7" + kSep + "-1"}}, "2024-01-07 00:00:00", false},
        {"not a number is 0 (Sunday)", {{"*", "x"}}, "2024-01-07 00:00:00", true},
        {"hour 24 sets nothing", {{"24", "*"}}, "2024-01-03 00:00:00", false},
        {"nothing set matches nothing", {}, "2024-01-03 00:00:00", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CUpdateSchedule schedule;
        for (const auto& [hours, weekdays] : c.hoursThenWeekdays) {
            schedule.SetMinutes("0");
            schedule.SetHours(hours.c_str());
            schedule.SetDaysOfMonth("*");
            schedule.SetMonths("*");
            schedule.SetWeekdays(weekdays.c_str());
        }
        EXPECT_EQ(c.matches, schedule.Matches(Local(c.when)));
    }
}

// A private store (registry, common files) with a loaded configuration and
// an activity log, and stand-in launchers written as scripts.
class SchedulerTest : public defstest::StoreTest {
protected:
    void SetUp() override {
        mkdir(m_Temp.Path("log").c_str(), 0700);
        WriteConfig({});
    }

    void TearDown() override {
        m_Store.reset();
        platform::ClearTestTime();
    }

    void WriteConfig(const std::vector<std::string>& system) {
        std::string line = "DS,";
        for (size_t i = 0; i < system.size(); ++i) line += (i ? "," : "") + system[i];
        WriteWhole(m_Temp.Path("shared-config"), "# 2 0\r\n" + line + "\r\n");
        WriteWhole(m_Temp.Path("local-config"), "# 2 0\r\n");
        WriteWhole(m_Temp.Path("vendor-config"), "# 2 0\r\n");
        if (m_Store == nullptr)
            m_Store = std::make_unique<CVornConfigStore>(m_Temp.Path("shared-config").c_str(),
                                                         m_Temp.Path("local-config").c_str(),
                                                         m_Temp.Path("vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
    }

    // A stand-in launcher: a shell script with body; every run appends a
    // line to "runs".
    std::string StandIn(const std::string& body) {
        const std::string path = m_Temp.Path("launcher" + std::to_string(++m_Scripts));
        WriteWhole(path, "#!/bin/sh\necho run >>'" + m_Temp.Path("runs") + "'\n" + body + "\n");
        chmod(path.c_str(), 0700);
        return path;
    }

    size_t Runs() {
        const std::string text = ReadWhole(m_Temp.Path("runs"));
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    std::unique_ptr<CUpdateScheduler> Scheduler(const std::string& launcher, bool threaded = false,
                                                int limit = kUpdateTimeLimitSeconds) {
        CUpdateScheduler::Options options;
        options.launcherPath = launcher;
        options.startThread = threaded;
        options.timeLimitSeconds = limit;
        return std::make_unique<CUpdateScheduler>("ZELORM", nullptr, options);
    }

    std::string Setting(const char* name) {
        CVornString value;
        if (CVornConfigStore::GetObjectSetting('S', nullptr, name, value) != 0)
            return "<absent>";
        return value.CStr();
    }

    std::unique_ptr<CVornConfigStore> m_Store;
    testsupport::ScopedEnv m_Locks{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    testsupport::ScopedEnv m_Events{"ZELORM_EVENTLOG", m_Temp.Path("events")};
    int m_Scripts = 0;
};

// The rule as a table: checks at the given local times, and the number of
// updates started after each.
TEST_F(SchedulerTest, ScheduledHoursRunOnceEachOnTheTestClock) {
    testsupport::ZoneGuard zone;
    struct Step {
        const char* when;
        size_t updates;  // total so far
    };
    struct Case {
        const char* name;
        const char* tz;
        std::vector<std::string> settings;
        std::vector<Step> steps;
    } cases[] = {
        {"every hour: minute 0 once, a late check still, the next hour again",
         "UTC0",
         {"ZELORMKBEnableSched=1", "ZELORMKBSchedHours=*", "ZELORMKBSchedWeekdays=*"},
         {{"2024-01-03 01:59:30", 0},
          {"2024-01-03 02:00:00", 0},  // within 60 s of the last check
          {"2024-01-03 02:00:30", 1},
          {"2024-01-03 02:01:29", 1},  // within 60 s: no check
          {"2024-01-03 02:01:31", 1},  // checked, the hour has run
          {"2024-01-03 03:04:00", 2},  // four minutes late
          {"2024-01-03 04:05:01", 2},  // over five minutes late: skipped
          {"2024-01-03 05:00:30", 3}}},
        {"a clock set back does not repeat the hour",
         "UTC0",
         {"ZELORMKBEnableSched=1", "ZELORMKBSchedHours=*", "ZELORMKBSchedWeekdays=*"},
         {{"2024-01-03 02:00:10", 1},
          {"2024-01-03 01:59:00", 1},
          {"2024-01-03 02:00:20", 1},
          {"2024-01-03 03:00:20", 2}}},
        {"listed hours on a listed weekday",
         "UTC0",
         {"ZELORMKBEnableSched=1", "ZELORMKBSchedHours=2" + kSep + "14", "ZELORMKBSchedWeekdays=3"},
         {{"2024-01-03 02:00:01", 1},
          {"2024-01-03 03:00:01", 1},
          {"2024-01-03 14:02:00", 2},
          {"2024-01-04 02:00:01", 2}}},
        {"scheduled updates off",
         "UTC0",
         {"ZELORMKBEnableSched=0", "ZELORMKBSchedHours=*", "ZELORMKBSchedWeekdays=*"},
         {{"2024-01-03 02:00:00", 0}, {"2024-01-03 03:00:00", 0}}},
        {"no settings at all", "UTC0", {}, {{"2024-01-03 02:00:00", 0}}},
        {"local minute 0 of a half-hour zone",
         "IST-5:30",
         {"ZELORMKBEnableSched=1", "ZELORMKBSchedHours=2", "ZELORMKBSchedWeekdays=*"},
         {{"2024-01-03 01:30:00", 0}, {"2024-01-03 02:00:00", 1}, {"2024-01-03 02:30:00", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetZoneNow(c.tz);
        WriteConfig(c.settings);
        std::remove(m_Temp.Path("runs").c_str());
        auto scheduler = Scheduler(StandIn("exit 0"));
        for (const Step& s : c.steps) {
            SCOPED_TRACE(s.when);
            platform::SetTestTime(Local(s.when));
            scheduler->Check();
            EXPECT_EQ(s.updates, Runs());
        }
    }
}

TEST_F(SchedulerTest, RunNowRunsOnceEvenWhenScheduledUpdatesAreOff) {
    platform::SetTestTime(1704276000);
    auto scheduler = Scheduler(StandIn("exit 0"));
    scheduler->Check();
    EXPECT_EQ(0u, Runs());
    scheduler->RunNow();
    scheduler->Check();  // within the 60 s of the last check
    EXPECT_EQ(1u, Runs());
    scheduler->Check();
    EXPECT_EQ(1u, Runs());
}

// Each launcher outcome: the result recorded, and the activity record.
TEST_F(SchedulerTest, ResultsAreRecordedInTheSettingsAndTheActivityLog) {
    time_t now = 1704276000;
    const std::string day = gatewaytest::StartActivityDay(m_Temp.Path("log"), &now);
    size_t read = 0;
    struct Case {
        const char* name;
        std::string launcher;
        int result;
        const char* severity;
        int limit;
    } cases[] = {
        {"success", StandIn("exit 0"), 0, "1", 60},
        {"nothing newer", StandIn("exit 1"), 1, "1", 60},
        {"no update ran", StandIn("exit 4"), 4, "2", 60},
        {"a status over 100", StandIn("exit 200"), 200, "2", 60},
        {"not startable", m_Temp.Path("no-such-launcher"), kUpdateLauncherNotRun, "2", 60},
        {"a relative path", "Tollan", kUpdateLauncherNotRun, "2", 60},
        {"died of a signal", StandIn("kill -9 $$"), kUpdateLauncherEnded, "2", 60},
        {"hangs past its limit", StandIn("exec sleep 600"), kUpdateLauncherEnded, "2", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto scheduler = Scheduler(c.launcher, false, c.limit);
        scheduler->RunUpdate();
        time_t start = 0, finish = 0;
        int result = -1;
        scheduler->GetLastRun(start, finish, result);
        EXPECT_EQ(now, start);
        EXPECT_EQ(now, finish);
        EXPECT_EQ(c.result, result);
        std::vector<ActivityFields> records = gatewaytest::ReadActivityRecords(day, &read);
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ("3", records[0][1]);
        EXPECT_EQ("400", records[0][2]);
        EXPECT_EQ(c.severity, records[0][3]);
        EXPECT_EQ(c.result == 0 ? "" : std::to_string(c.result), records[0][1200]);
    }
    // Saved, not only set: the file holds the last run.
    EXPECT_NE(std::string::npos,
              ReadWhole(m_Temp.Path("shared-config"))
                  .find("ZELORMKBLastResult=" + std::to_string(kUpdateLauncherEnded)));
}

TEST_F(SchedulerTest, TheLauncherGetsOnlySlashSilentAndACleanEnvironment) {
    testsupport::ScopedEnv secret("ZELORM_TEST_SECRET", "x");
    testsupport::ScopedEnv huge("LC_TIME", std::string(5000, 'a'));
    const std::string seen = m_Temp.Path("seen");
    auto scheduler = Scheduler(StandIn("echo \"$#:$1\" >'" + seen + "'; env >>'" + seen + "'"));
    scheduler->RunUpdate();
    const std::string text = ReadWhole(seen);
    EXPECT_EQ(0u, text.find("1:/silent\n")) << text;
    EXPECT_NE(std::string::npos,
              text.find("ZELORM_REGISTRY=" + std::string(getenv("ZELORM_REGISTRY"))));
    EXPECT_NE(std::string::npos, text.find("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"));
    EXPECT_EQ(std::string::npos, text.find("ZELORM_TEST_SECRET"));
    EXPECT_EQ(std::string::npos, text.find("LC_TIME"));
}

TEST_F(SchedulerTest, GetLastRunShowsAnUpdateInProgress) {
    platform::SetTestTime(1704276000);
    time_t start = -1, finish = -1;
    int result = -1;
    auto scheduler = Scheduler(
        StandIn("while [ ! -e '" + m_Temp.Path("go") + "' ]; do sleep 0.05; done; exit 1"));
    scheduler->GetLastRun(start, finish, result);
    EXPECT_EQ(0, start);
    EXPECT_EQ(0, finish);
    EXPECT_EQ(kUpdateNoResult, result);

    std::thread update([&] { scheduler->RunUpdate(); });
    ASSERT_TRUE(testsupport::Eventually([&] { return Runs() == 1; }));
    scheduler->GetLastRun(start, finish, result);
    EXPECT_EQ(1704276000, start);
    EXPECT_EQ(0, finish);
    EXPECT_EQ(0, result);
    platform::SetTestTime(1704276042);
    WriteWhole(m_Temp.Path("go"), "");
    update.join();
    scheduler->GetLastRun(start, finish, result);
    EXPECT_EQ(1704276000, start);
    EXPECT_EQ(1704276042, finish);
    EXPECT_EQ(1, result);
}

// The real launcher with its client against the private store: new
// definitions arrive, then nothing is newer.
TEST_F(SchedulerTest, TheRealLauncherUpdatesThePrivateStore) {
    auto setText = [](const std::string& key, const char* name, const std::string& text) {
        ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(key));
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(key, name, platform::kRegSz, text.data(), text.size()));
    };
    mkdir(m_Temp.Path("source").c_str(), 0700);
    setText(kCmdLines, "OtherSwitches", "-d\"" + m_Temp.Path("source") + "\"");
    const std::string entry = kCmdLines + "\\CmdLine1";
    setText(entry, "ProductName", "RazoVidez");
    setText(entry, "ProductType", "VirusDef");
    setText(entry, "ProductLanguage", "English");
    setText(entry, "ProductVersion", "2.1");
    setText(kSharedUsage, "Kelbrook1", ZELORM_BIN_DIR);
    MakeSet(m_Temp.Path("source/20261201.001"), 20261201, 1);

    auto scheduler = Scheduler(ZELORM_TOLLAN);
    time_t start, finish;
    int result = -1;
    scheduler->RunUpdate();
    scheduler->GetLastRun(start, finish, result);
    EXPECT_EQ(0, result);
    EXPECT_EQ("20261201.001", DefInfo("CurDefs"));
    scheduler->RunUpdate();
    scheduler->GetLastRun(start, finish, result);
    EXPECT_EQ(1, result);
}

TEST_F(SchedulerTest, TheThreadServesRunNowAndAStopEndsAHungLauncher) {
    platform::SetTestTime(1704276000);
    // A launcher that ignores SIGTERM and never ends by itself.
    auto scheduler = Scheduler(StandIn("trap '' TERM\nwhile :; do sleep 1; done"), true);
    ASSERT_TRUE(testsupport::Eventually([&] { return scheduler->Running(); }));
    scheduler->RunNow();
    ASSERT_TRUE(testsupport::Eventually([&] { return Runs() == 1; }));
    const auto before = std::chrono::steady_clock::now();
    scheduler.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    EXPECT_EQ(std::to_string(kUpdateLauncherEnded), Setting("ZELORMKBLastResult"));
    EXPECT_EQ(1u, Runs());
}

TEST_F(SchedulerTest, AStopRightAfterTheStartWaitsForTheThread) {
    for (int i = 0; i < 20; ++i) {
        auto scheduler = Scheduler(StandIn("exit 0"), true);
        scheduler.reset();  // must not return before the thread has ended
    }
    EXPECT_EQ(0u, Runs());
}

}  // namespace
