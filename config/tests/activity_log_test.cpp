#include "config/activity_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/code_page.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/vorn_date.h"
#include "platform/clock.h"

namespace {

const char* const kSetting = "ZELORMLogging";
const long kDay = 86400;

using testsupport::ReadWhole;
using testsupport::WriteWhole;

int PackedDate(time_t t) {
    int date = 0;
    CVornDate(t).GetPacked(&date, nullptr, nullptr);
    return date;
}

void SetModTime(const std::string& path, time_t t) {
    struct timeval times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(0, utimes(path.c_str(), times));
}

// The items of a line's field list, split at the ',' that are not escaped.
std::set<std::string> Fields(const std::string& list) {
    std::set<std::string> out;
    std::string item;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == '\\' && i + 1 < list.size()) {
            item += list[i];
            item += list[++i];
        } else if (list[i] == ',') {
            out.insert(item);
            item.clear();
        } else {
            item += list[i];
        }
    }
    if (!item.empty())
        out.insert(item);
    return out;
}

class ActivityLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The day file of one test stays open into the next (the log is
        // process-wide), so every test writes on days of its own.
        static int s_Test = 0;
        m_Date = PackedDate(CVornDate(20010601, 120000).GetTime() + 10 * kDay * s_Test++);
        SetClock(m_Date, 120000);

        WriteWhole(m_Dir + "/shared-config", "# 2 0\r\nDS,\r\n");
        WriteWhole(m_Dir + "/local-config", "# 2 0\r\n");
        WriteWhole(m_Dir + "/vendor-config", "# 2 0\r\n");
        m_Store.reset(new CVornConfigStore((m_Dir + "/shared-config").c_str(),
                                           (m_Dir + "/local-config").c_str(),
                                           (m_Dir + "/vendor-config").c_str()));
        ASSERT_EQ(0, CVornConfigStore::Load(1));
        SetRetention("3");
        ActivityLogInit(m_Dir.c_str(), kSetting);
    }
    void TearDown() override {
        m_Store.reset();
        g_CodePage.SetType(0);
        platform::ClearTestTime();
    }

    // Sets the clock to a local date and time; returns the second.
    time_t SetClock(int date, int time) {
        time_t t = CVornDate(date, time).GetTime();
        platform::SetTestTime(t);
        return t;
    }

    // null: the setting is missing.
    void SetRetention(const char* months) {
        if (months)
            ASSERT_EQ(
                0, CVornConfigStore::SetAttribute('S', nullptr, kSetting, CVornString(months), 0));
        else
            CVornConfigStore::DeleteAttribute('S', nullptr, kSetting, 0);
    }

    std::string DayFile(int date) { return m_Dir + "/zelgw" + std::to_string(date); }

    void WriteText(int field, const CVornString& value) {
        CVornStringMap record;
        ActivityRecordSetString(record, field, value);
        ActivityLogWrite(record);
    }

    testsupport::TempDir m_Temp{"zelorm-activity"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Dir};
    int m_Date = 0;
    std::unique_ptr<CVornConfigStore> m_Store;
};

TEST_F(ActivityLogTest, RecordLineHoldsDateTimeAndEveryNonEmptyField) {
    CVornStringMap record;
    ActivityRecordStart(record, 1, 3, 0, "alice", "");
    ActivityRecordSetText(record, 12, "a,b");
    ActivityRecordSetNumber(record, 20, -70000L);
    ActivityRecordSetText(record, 21, "");
    ActivityRecordSetText(record, 22, nullptr);
    SetClock(m_Date, 93000);
    ActivityLogWrite(record);

    CVornStringMap empty;
    SetClock(m_Date, 509);
    ActivityLogWrite(empty);

    std::string text = ReadWhole(DayFile(m_Date));
    std::string first = std::to_string(m_Date) + ",93000,";
    ASSERT_EQ(0u, text.find(first));
    size_t end = text.find("\r\n");
    ASSERT_NE(std::string::npos, end);
    EXPECT_EQ((std::set<std::string>{"1=1", "2=3", "10=alice", "12=a\\,b", "20=-70000"}),
              Fields(text.substr(first.size(), end - first.size())));
    EXPECT_EQ(std::to_string(m_Date) + ",509\r\n", text.substr(end + 2));

    // ActivityRecordStart empties the record it is given.
    ActivityRecordStart(record, 0, 0, 0, nullptr, nullptr);
    EXPECT_EQ(0, record.Count());
}

TEST_F(ActivityLogTest, HostileValuesStayOnOneLineAndReadBack) {
    const std::string a10240(10240, 'a');
    struct Case {
        int codePage;
        std::string value;
        std::string written;
    } cases[] = {
        {0, "back\\slash, \"quoted\"", "back\\\\slash\\, \\\"quoted\\\""},
        {0, "one\r\ntwo", "onetwo"},
        {0, std::string("x\ny\rz\0w", 7), "xyzw"},
        {0, "evil\r\n20010101,1,1=1", "evil20010101\\,1\\,1=1"},
        {0, std::string(20000, 'a'), a10240},
        {0, std::string(10239, 'a') + ",,", std::string(10239, 'a') + "\\,"},
        // Shift-JIS: a trail byte 0x5C is no backslash; a lead byte does
        // not hide an LF; a character cut at the end is dropped.
        {2, "\x95\x5C,", "\x95\x5C\\,"},
        {2, "\x81\nX", "\x81X"},
        {2, "ab\x81", "ab"},
        {2, std::string(10239, 'a') + "\x95\x5C", std::string(10239, 'a')},
    };
    std::string expected;
    for (const Case& c : cases) {
        g_CodePage.SetType(c.codePage);
        WriteText(12, CVornString(c.value.data(), static_cast<int>(c.value.size())));
        expected += std::to_string(m_Date) + ",120000,12=" + c.written + "\r\n";
    }
    EXPECT_EQ(expected, ReadWhole(DayFile(m_Date)));
}

TEST_F(ActivityLogTest, FirstRecordAfterMidnightGoesToTheNewDay) {
    SetClock(m_Date, 235959);
    WriteText(12, CVornString("before"));
    time_t t = SetClock(m_Date, 235959) + 2;
    platform::SetTestTime(t);
    int next = PackedDate(t);
    ASSERT_NE(m_Date, next);
    WriteText(12, CVornString("after"));

    EXPECT_EQ(std::to_string(m_Date) + ",235959,12=before\r\n", ReadWhole(DayFile(m_Date)));
    EXPECT_EQ(std::to_string(next) + ",1,12=after\r\n", ReadWhole(DayFile(next)));
}

TEST_F(ActivityLogTest, OpeningADayRemovesOnlyDayFilesOlderThanTheRetention) {
    SetRetention("1");
    time_t now = SetClock(m_Date, 120000);
    const long month = 31 * kDay;
    struct File {
        const char* name;
        time_t modified;
        bool kept;
    } files[] = {
        {"zelgw20000101", now - month - 1, false},     {"ZELGW20000102", now - month - 1, false},
        {"zelgw20000103", now - 30 * kDay, true},      {"zelgw2000010", now - 10 * month, true},
        {"zelgw20000104.bak", now - 10 * month, true}, {"zelgwabcdefgh", now - 10 * month, true},
        {"notes.txt", now - 10 * month, true},
    };
    for (const File& f : files) {
        WriteWhole(m_Dir + "/" + f.name, "x");
        SetModTime(m_Dir + "/" + f.name, f.modified);
    }
    WriteText(12, CVornString("sweep"));
    for (const File& f : files)
        EXPECT_EQ(f.kept, std::filesystem::exists(m_Dir + "/" + f.name)) << f.name;
    EXPECT_TRUE(std::filesystem::exists(DayFile(m_Date)));
}

TEST_F(ActivityLogTest, RetentionOfZeroOrLessWritesNothing) {
    struct Case {
        const char* months;
        bool written;
    } cases[] = {{"0", false}, {"-2", false}, {"none", false}, {nullptr, true}, {"2", true}};
    int day = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.months ? c.months : "(missing)");
        time_t t = SetClock(m_Date, 120000) + kDay * day++;
        platform::SetTestTime(t);
        SetRetention(c.months);
        WriteText(12, CVornString("x"));
        EXPECT_EQ(c.written, std::filesystem::exists(DayFile(PackedDate(t))));
    }
}

TEST_F(ActivityLogTest, ConcurrentWritersNeverInterleaveLines) {
    const int kThreads = 4;
    const int kRecords = 40;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i] {
            CVornStringMap record;
            ActivityRecordSetText(record, 12,
                                  std::string(6000, static_cast<char>('a' + i)).c_str());
            for (int n = 0; n < kRecords; ++n) ActivityLogWrite(record);
        });
    }
    for (std::thread& t : threads) t.join();

    std::istringstream in(ReadWhole(DayFile(m_Date)));
    std::string line;
    int count = 0;
    const std::string head = std::to_string(m_Date) + ",120000,12=";
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(head.size() + 6000 + 1, line.size());
        ASSERT_EQ(0u, line.find(head));
        char c = line[head.size()];
        EXPECT_EQ(std::string(6000, c) + "\r", line.substr(head.size()));
    }
    EXPECT_EQ(kThreads * kRecords, count);
}

// Closing is for ever in this process, so this test comes last.
TEST_F(ActivityLogTest, CloseRefusesEveryLaterRecord) {
    WriteText(12, CVornString("open"));
    ActivityLogClose();
    WriteText(12, CVornString("closed"));
    ActivityLogInit(m_Dir.c_str(), kSetting);
    WriteText(12, CVornString("again"));
    SetClock(m_Date, 120000);
    platform::SetTestTime(CVornDate(m_Date, 120000).GetTime() + kDay);
    WriteText(12, CVornString("next day"));

    EXPECT_EQ(std::to_string(m_Date) + ",120000,12=open\r\n", ReadWhole(DayFile(m_Date)));
    int files = 0;
    for (auto& entry : std::filesystem::directory_iterator(m_Dir))
        files += entry.path().filename().string().rfind("zelgw", 0) == 0;
    EXPECT_EQ(1, files);
}

}  // namespace
