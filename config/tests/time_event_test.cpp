// Time events: validation and the overlap rule, the event that applies at a
// given moment, expiry, ids, descriptions and the writing of event lines.
#include "config/time_event.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config_object.h"
#include "core/clock.h"
#include "core/memory_file.h"
#include "core/message_catalog.h"
#include "platform/clock.h"

namespace {

// The tests run two hours east of UTC, so that a mix-up of local and
// universal time shows.
constexpr const char* kZone = "XYZ-2";
constexpr int kZoneSeconds = 2 * 3600;

std::string Str(const CVornString& s) {
    CVornString copy(s, CVornString::kUnlocked);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

// The moment of a local date (YYYYMMDD) and time (HHMMSS) in kZone,
// computed without the code under test.
time_t Local(int date, int time) {
    struct tm fields = {};
    fields.tm_year = date / 10000 - 1900;
    fields.tm_mon = date / 100 % 100 - 1;
    fields.tm_mday = date % 100;
    fields.tm_hour = time / 10000;
    fields.tm_min = time / 100 % 100;
    fields.tm_sec = time % 100;
    return timegm(&fields) - kZoneSeconds;
}

class TimeEventTest : public ::testing::Test {
protected:
    // The clock thread is stopped so that the cached zone changes only when
    // a test ticks the clock.
    static void SetUpTestSuite() {
        const char* tz = getenv("TZ");
        s_HadTz = tz != nullptr;
        if (tz)
            s_Tz = tz;
        setenv("TZ", kZone, 1);
        tzset();
        Now();
        ASSERT_TRUE(StopClock());
    }
    static void TearDownTestSuite() {
        if (s_HadTz)
            setenv("TZ", s_Tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    void TearDown() override { platform::ClearTestTime(); }

    // Sets the clock to a local date and time; the tick in the first second
    // of the hour refreshes the cached zone offset as the clock thread would.
    static void SetClock(int date, int time) {
        time_t at = Local(date, time);
        platform::SetTestTime(at - at % 3600);
        ClockTick();
        platform::SetTestTime(at);
    }

    static std::string Ids(CVornConfigObject& object) {
        CVornStringList ids;
        object.ListEvents(ids);
        std::string out;
        for (int i = 0; i < ids.m_Count; ++i) out += (i ? " " : "") + Str(*ids.GetAt(i));
        return out;
    }

    static std::string Applying(CVornConfigObject& object, const char* name) {
        CVornString out("<none>");
        object.GetAttribute(name, out);
        return Str(out);
    }

    static inline bool s_HadTz = false;
    static inline std::string s_Tz;
};

TEST_F(TimeEventTest, ValidationRefusesBadEventsAndDropsExpiredOnes) {
    SetClock(20240601, 120000);
    struct Case {
        const char* text;
        int result;
        bool stored;
    } cases[] = {
        {"", 1, false},
        {"Date=0,Start=0,End=0,Repeat=1", 1, false},
        {"When=,Date=0,Start=0,End=0,Repeat=1", 1, false},
        {"When=1,Start=0,End=0,Repeat=1", 1, false},
        {"When=1,Date=0,End=0,Repeat=1", 1, false},
        {"When=1,Date=0,Start=0,Repeat=1", 1, false},
        {"When=1,Date=0,Start=0,End=0", 1, false},
        {"When=1,Date=-1,Start=0,End=0,Repeat=1", 1, false},
        {"When=1,Date=0,Start=0,End=0,Repeat=0", 1, false},
        {"When=1,Date=0,Start=120000,End=115959,Repeat=1", 1, false},
        {"When=1,Date=0,Start=0,End=10000,Repeat=1,Broken", 1, false},
        {"When=1,Date=0,Start=80000,End=240000,Repeat=1", 0, true},  // weekday hours as ever
        {"When=D,Date=0,Start=0,End=0,Repeat=1", 0, true},
        // Impossible dated events would start and end "now" for ever.
        {"When=E,Date=20250230,Start=0,End=10000,Repeat=1", 1, false},
        {"When=E,Date=20251301,Start=0,End=10000,Repeat=1", 1, false},
        {"When=E,Date=20250101,Start=250000,End=260000,Repeat=1", 1, false},
        {"When=E,Date=20250101,Start=0,End=86000,Repeat=1", 1, false},
        {"When=E,Date=20250101,Start=0,End=80060,Repeat=1", 1, false},
        {"When=E,Date=100000101,Start=0,End=10000,Repeat=1", 1, false},
        {"When=E,Date=99991231,Start=0,End=10000,Repeat=2", 1, false},
        {"When=E,Date=99991231,Start=0,End=235959,Repeat=1", 0, true},
        {"When=E,Date=20240229,Start=0,End=235959,Repeat=100", 0, true},
        // Expired: accepted and not stored.
        {"When=E,Date=0,Start=0,End=0,Repeat=1", 0, false},
        {"When=E,Date=19691231,Start=0,End=0,Repeat=1", 0, false},
        {"When=E,Date=20240531,Start=0,End=235959,Repeat=1", 0, false},
        {"When=E,Date=20240601,Start=0,End=115959,Repeat=1", 0, false},
    };
    for (const Case& c : cases) {
        CVornUser user;
        EXPECT_EQ(user.AddEvent(c.text), c.result) << c.text;
        EXPECT_EQ(user.m_Events.m_Count, c.stored ? 1 : 0) << c.text;
    }

    CVornUser user;
    CVornStringMap impossible;
    impossible.Set("When", CVornString("E"));
    impossible.Set("Date", CVornString("20250230"));
    impossible.Set("Start", CVornString("0"));
    impossible.Set("End", CVornString("0"));
    impossible.Set("Repeat", CVornString("1"));
    EXPECT_EQ(user.AddEventMap(impossible), 1);
    CVornStringMap oversized;
    MakeDefaultEvent(oversized);
    oversized.Set("Big", CVornString(std::string(kMaxAttributeValueLength + 1, 'v').c_str()));
    EXPECT_EQ(user.AddEventMap(oversized), 1);
    EXPECT_EQ(user.m_Events.m_Count, 0);
}

TEST_F(TimeEventTest, OverlapRuleKeepsEventsOfOneObjectApart) {
    SetClock(20240501, 120000);
    auto weekday = [](const char* when, int start, int end) {
        return "When=" + std::string(when) + ",Date=0,Start=" + std::to_string(start) +
               ",End=" + std::to_string(end) + ",Repeat=1";
    };
    auto dated = [](int date, int repeat, int start, int end) {
        return "When=E,Date=" + std::to_string(date) + ",Start=" + std::to_string(start) +
               ",End=" + std::to_string(end) + ",Repeat=" + std::to_string(repeat);
    };
    const std::string def = "When=D,Date=0,Start=0,End=0,Repeat=1";
    struct Case {
        std::string first, second;
        int result;
    } cases[] = {
        {def, def, 1},
        {def, weekday("0123456", 0, 235959), 0},
        {dated(20240601, 1, 80000, 170000), weekday("0123456", 80000, 170000), 0},
        {weekday("12", 80000, 120000), weekday("23", 120000, 170000), 1},  // hours touch
        {weekday("12", 80000, 120000), weekday("34", 120000, 170000), 0},
        {weekday("12", 80000, 120000), weekday("21", 120001, 170000), 0},
        {weekday("5", 100000, 110000), weekday("5", 0, 235959), 1},  // contains it
        {dated(20240601, 3, 80000, 170000), dated(20240603, 1, 80000, 90000), 1},
        {dated(20240601, 3, 80000, 170000), dated(20240604, 5, 80000, 90000), 0},
        {dated(20240601, 3, 80000, 170000), dated(20240602, 1, 180000, 190000), 0},
        {dated(20250130, 3, 80000, 170000), dated(20250201, 1, 80000, 90000), 1},  // month end
    };
    for (const Case& c : cases) {
        CVornGroup group;
        ASSERT_EQ(group.AddEvent(c.first.c_str()), 0) << c.first;
        EXPECT_EQ(group.AddEvent(c.second.c_str()), c.result) << c.first << " / " << c.second;
    }

    // Editing an event by its own id does not conflict with itself.
    CVornGroup group;
    ASSERT_EQ(group.AddEvent(weekday("12", 80000, 120000).c_str()), 0);
    ASSERT_EQ(group.AddEvent(def.c_str()), 0);
    EXPECT_FALSE(group.FindOverlappingEvent("120080000120000", 0, 1, 90000, 100000, "2"));
    EXPECT_TRUE(group.FindOverlappingEvent("130080000120000", 0, 1, 90000, 100000, "2"));
    EXPECT_TRUE(group.FindOverlappingEvent("D0000000000000", 0, 1, 0, 0, "D"));
}

TEST_F(TimeEventTest, TheEventThatAppliesFollowsTheClock) {
    SetClock(20231231, 120000);
    CVornUser user;
    user.SetBaseAttribute("Mode", CVornString("base"));
    user.SetBaseAttribute("OnlyDefault", CVornString("base"));
    ASSERT_EQ(user.AddEvent("When=D,Date=0,Start=0,End=0,Repeat=1,Mode=default,OnlyDefault=d"), 0);
    ASSERT_EQ(user.AddEvent("When=1,Date=0,Start=80000,End=170000,Repeat=1,Mode=monday"), 0);
    ASSERT_EQ(user.AddEvent("When=E,Date=20240101,Start=80000,End=170000,Repeat=3,Mode=dated"), 0);
    ASSERT_EQ(user.AddEvent("When=E,Date=20240102,Start=180000,End=190000,Repeat=1,Mode=evening"),
              0);

    struct Case {
        int date, time;
        const char* mode;
        const char* onlyDefault;
    } cases[] = {
        {20231231, 120000, "default", "d"},  // a Sunday
        {20240108, 120000, "monday", "base"},
        {20240108, 170000, "monday", "base"},  // End is inclusive
        {20240108, 75959, "default", "d"},
        {20240109, 120000, "default", "d"},
        {20240101, 75959, "default", "d"},  // Monday, before the window opens
        {20240101, 80000, "dated", "base"},
        {20240102, 30000, "dated", "base"},   // nights included
        {20240102, 183000, "dated", "base"},  // the last matching window in the list wins
        {20240103, 170000, "dated", "base"},
        {20240103, 170001, "default", "d"},
    };
    for (const Case& c : cases) {
        SetClock(c.date, c.time);
        EXPECT_EQ(Applying(user, "Mode"), c.mode) << c.date << " " << c.time;
        EXPECT_EQ(Applying(user, "OnlyDefault"), c.onlyDefault) << c.date << " " << c.time;
    }

    SetClock(20240108, 120000);
    {
        CVornLockGuard guard(user.m_ObjectLock);
        CVornStringMap* chosen = user.ChooseEvent(CVornDate(), true);
        ASSERT_NE(chosen, nullptr);
        CVornString mode;
        ASSERT_TRUE(chosen->Get("Mode", mode));
        EXPECT_EQ(Str(mode), "default");
    }

    EXPECT_EQ(Applying(user, "Missing"), "<none>");
    char buffer[8] = "#";
    EXPECT_EQ(user.GetAttributeBuffer("Mode", buffer, 6), 1);  // "monday" needs 7 bytes
    EXPECT_STREQ(buffer, "#");
    EXPECT_EQ(user.GetAttributeBuffer("Mode", buffer, 7), 0);
    EXPECT_STREQ(buffer, "monday");

    CVornGroup plain;
    plain.SetBaseAttribute("Mode", CVornString("base"));
    EXPECT_EQ(Applying(plain, "Mode"), "base");
}

TEST_F(TimeEventTest, DatedEventsExpireAfterTheirLastMoment) {
    SetClock(20240601, 120000);
    struct Case {
        int date, repeat, end;
        const char* when;
        int expired;
    } cases[] = {
        {0, 1, 0, "1", 0},
        {0, 1, 0, "D", 0},
        {0, 1, 0, nullptr, 0},
        {0, 1, 0, "E", 1},
        {9999, 1, 0, "E", 1},
        {19691231, 1, 235959, "E", 1},
        {20240601, 1, 115959, "E", 1},
        {20240601, 1, 120000, "E", 0},
        {20240531, 2, 115959, "E", 1},
        {20240531, 2, 120000, "E", 0},
        {20240530, 1, 0, "Exx", 1},
        {20240230, 1, 0, "E", 1},       // impossible dates never apply
        {20240601, 1, 250000, "E", 1},  // nor impossible times
        {20991231, 1, 0, "E", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsEventExpired(c.date, c.repeat, c.end, c.when), c.expired)
            << c.date << " " << c.repeat << " " << c.end;
    }
    CVornStringMap event;
    event.Set("When", CVornString("E"));
    event.Set("Date", CVornString("20240531"));
    event.Set("End", CVornString("120000"));
    EXPECT_EQ(IsEventMapExpired(event), 1);  // a missing Repeat reads as 0
    event.Set("Repeat", CVornString("2"));
    EXPECT_EQ(IsEventMapExpired(event), 0);
}

TEST_F(TimeEventTest, EventsAreFoundListedAndRemovedById) {
    SetClock(20240501, 120000);
    CVornStringMap def;
    MakeDefaultEvent(def);
    def.Set("When", CVornString("1"));
    def.Set("Setting", CVornString("kept"));
    MakeDefaultEvent(def);  // replaces the five fields and keeps the rest
    CVornString id;
    MakeEventKey(def, id);
    EXPECT_EQ(Str(id), "D0000000000000");

    CVornClient client;
    ASSERT_EQ(client.AddEventMap(def), 0);
    ASSERT_EQ(client.AddEvent("When=135,Date=0,Start=80000,End=170000,Repeat=1,Setting=w"), 0);
    EXPECT_EQ(Ids(client), "1350080000170000 D0000000000000");  // new events go in front

    CVornString out("unchanged");
    EXPECT_EQ(client.GetEventAttribute("Setting", "D0000000000000", out), 0);
    EXPECT_EQ(Str(out), "kept");
    out.Assign("unchanged");
    EXPECT_EQ(client.GetEventAttribute("Missing", "D0000000000000", out), 1);
    EXPECT_EQ(client.GetEventAttribute("Setting", "D000000000000", out), 1);
    EXPECT_EQ(Str(out), "unchanged");

    CVornStringMap attributes;
    attributes.Set("Stale", CVornString("x"));
    EXPECT_EQ(client.GetEventAttributes("1350080000170000", attributes), 0);
    EXPECT_EQ(attributes.Count(), 6);
    EXPECT_FALSE(attributes.Get("Stale", out));
    EXPECT_EQ(client.GetEventAttributes("nope", attributes), 1);
    EXPECT_EQ(attributes.Count(), 6);

    EXPECT_EQ(client.RemoveEvent("1350080000170000"), 0);
    EXPECT_EQ(client.RemoveEvent("1350080000170000"), 1);
    EXPECT_EQ(Ids(client), "D0000000000000");
    // The stored event is a copy of the caller's map.
    def.Set("Setting", CVornString("changed"));
    ASSERT_EQ(client.GetEventAttribute("Setting", "D0000000000000", out), 0);
    EXPECT_EQ(Str(out), "kept");
}

TEST_F(TimeEventTest, DescribesTheThreeKinds) {
    char pattern[] = "/tmp/zelorm-time-event-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    std::string catalogue = "2 9 1\nEnglish\n";
    for (int n = 0; n < 700; ++n) {
        std::string text = "M" + std::to_string(n);
        catalogue += " m " + std::to_string(text.size()) + ":" + text + "\n";
    }
    std::ofstream(dir + "/messages", std::ios::binary) << catalogue;
    CVornMessageCatalog loader;
    ASSERT_EQ(loader.Load((dir + "/messages").c_str(), 2, 9, 700, 0), kCatalogLoaded);

    struct Case {
        const char* when;
        const char* date;
        const char* start;
        const char* end;
        const char* repeat;
        int kind;
        const char* text;
    } cases[] = {
        {"D", "0", "0", "0", "1", 1, "M266: "},
        {"135", "0", "83000", "170000", "1", 2, "M685 M689 M693 8:30 AM - 5:00 PM: "},
        {"06", "0", "0", "120000", "1", 2, "M697 M695 12:00 AM - 12:00 PM: "},
        {"E", "20240105", "0", "235959", "3", 3, "1/5/2024 M267 3 12:00 AM - 11:59 PM: "},
        {"X", "0", "0", "0", "1", 0, ""},
    };
    for (const Case& c : cases) {
        CVornStringMap event;
        event.Set("When", CVornString(c.when));
        event.Set("Date", CVornString(c.date));
        event.Set("Start", CVornString(c.start));
        event.Set("End", CVornString(c.end));
        event.Set("Repeat", CVornString(c.repeat));
        CVornString out("pre:");
        EXPECT_EQ(DescribeEvent(event, out), c.kind) << c.when;
        EXPECT_EQ(Str(out), std::string("pre:") + c.text);
    }

    loader.Clear();
    std::filesystem::remove_all(dir);
}

TEST_F(TimeEventTest, WrittenEventLinesReadBackAndExpiredEventsAreDropped) {
    SetClock(20240501, 120000);
    CVornUser user;
    ASSERT_EQ(user.AddEvent("When=E,Date=20240601,Start=0,End=235959,Repeat=1,A=x"), 0);
    ASSERT_EQ(user.AddEvent("When=12,Date=0,Start=0,End=235959,Repeat=1,Note=a\\,b"), 0);

    SetClock(20240602, 0);
    CVornMemoryFile file;
    file.Open();
    ASSERT_EQ(user.WriteEvents(file, "Ujoe"), 0);
    EXPECT_EQ(Ids(user), "120000000235959");
    CVornString written;
    file.Seek(0, 0);
    file.Read(written, 0);
    std::string line = Str(written);
    ASSERT_EQ(line.rfind("SUjoe,", 0), 0u) << line;
    ASSERT_EQ(line.find("\r\n"), line.size() - 2) << line;
    EXPECT_NE(line.find(",Note=a\\,b"), std::string::npos) << line;

    CVornUser copy;
    line.resize(line.size() - 2);
    ASSERT_EQ(copy.AddEvent(line.c_str() + 6), 0);
    EXPECT_EQ(Ids(copy), "120000000235959");

    CVornMemoryFile readOnly(kFileReadOnly);
    readOnly.Open();
    EXPECT_EQ(user.WriteEvents(readOnly, "Ujoe"), 1);
}

TEST_F(TimeEventTest, ConflictingEventsAddedAtOnceNeverBothGoIn) {
    SetClock(20240501, 120000);
    constexpr int kThreads = 8;
    for (int round = 0; round < 200; ++round) {
        CVornGroup group;
        std::atomic<int> waiting{kThreads};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&group, &waiting, i] {
                std::string text = "When=D,Date=0,Start=0,End=0,Repeat=1,N=" + std::to_string(i);
                --waiting;
                while (waiting.load() > 0) std::this_thread::yield();
                group.AddEvent(text.c_str());
            });
        }
        for (std::thread& t : threads) t.join();
        ASSERT_EQ(group.m_Events.m_Count, 1) << "round " << round;
    }
}

}  // namespace
