#include "config/activity_search.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/activity_log.h"
#include "core/code_page.h"
#include "core/hash_table.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "platform/clock.h"

namespace {

// The message catalogue number without a text in the fixture's catalogue.
const int kMissingMessage = 381;

std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

time_t At(int date, int time) {
    return CVornDate(date, time).GetTime();
}

// One record written through the activity log writer at a local time.
struct Written {
    int date;
    int time;
    int classCode, eventCode, statusCode;
    const char* user;
    int field;  // 0: none
    const char* value;
};

// The log of the suite, written once: four days, one of them without a file.
const Written kLog[] = {
    {20240301, 90000, 1, 3, 1, "alice", 12, "Subject a,b"},
    {20240301, 100000, 2, 5, 2, "bob", 20, "=?US-ASCII?Q?hello_World?="},
    {20240301, 235959, 1, 10, 1, "carol", 0, nullptr},
    {20240303, 0, 1, 4, 1, "dave", 21, "back\\slash \"quoted\""},
    {20240303, 123000, 2, 30, 1, "alice", 20, "plain text"},
    {20240304, 235959, 1, 1, 3, "erin", 0, nullptr},
};

class ActivitySearchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/zelorm-search-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        s_Dir = pattern;
        // A catalogue whose text of number n is "M<n>", one number missing.
        std::string catalogue = "2 9 1\nEnglish\n";
        for (int n = 0; n < 900; ++n) {
            std::string text = "M" + std::to_string(n);
            if (n == kMissingMessage)
                catalogue += " m -1:\n";
            else
                catalogue += " m " + std::to_string(text.size()) + ":" + text + "\n";
        }
        std::ofstream(s_Dir + "/messages", std::ios::binary) << catalogue;
        ASSERT_EQ(0, BaseMessageTable().ReadFile((s_Dir + "/messages").c_str(), 2, 9, 900, 0));

        ActivityLogInit(s_Dir.c_str(), nullptr);
        for (const Written& w : kLog) {
            platform::SetTestTime(At(w.date, w.time));
            CVornStringMap record;
            ActivityRecordStart(record, w.classCode, w.eventCode, w.statusCode, w.user, nullptr);
            if (w.field)
                ActivityRecordSetText(record, w.field, w.value);
            ActivityLogWrite(record);
        }
        platform::ClearTestTime();
    }

    static void TearDownTestSuite() {
        BaseMessageTable().Clear();
        std::filesystem::remove_all(s_Dir);
    }

    void TearDown() override {
        platform::ClearTestTime();
        g_CodePage.SetType(0);
    }

    // "date,time" of every record the search gives, in order.
    static std::vector<std::string> Search(time_t from, time_t to,
                                           const CActivityLogCriteriaList& criteria) {
        CActivityLogSearch search(CVornDate(from), CVornDate(to), criteria, s_Dir.c_str());
        CActivityLogRecord record;
        std::vector<std::string> found;
        int result;
        while ((result = search.Next(record)) == 0)
            found.push_back(std::to_string(record.m_Date) + "," + std::to_string(record.m_Time));
        EXPECT_EQ(1, result);
        EXPECT_EQ(1, search.Next(record));
        return found;
    }

    // Writes a day file of its own (raw bytes, not through the writer).
    static void WriteDay(int date, const std::string& bytes) {
        std::ofstream(s_Dir + "/zelgw" + std::to_string(date), std::ios::binary) << bytes;
    }

    static std::string s_Dir;
};

std::string ActivitySearchTest::s_Dir;

TEST_F(ActivitySearchTest, RangeStartIsInclusiveAndEndExclusive) {
    struct Case {
        const char* name;
        time_t from, to;
        std::vector<std::string> expected;
    } cases[] = {
        {"whole log (missing day skipped)",
         At(20240301, 0),
         At(20240305, 0),
         {"20240301,90000", "20240301,100000", "20240301,235959", "20240303,0", "20240303,123000",
          "20240304,235959"}},
        {"start at a record, end at a record",
         At(20240301, 100000),
         At(20240303, 123000),
         {"20240301,100000", "20240301,235959", "20240303,0"}},
        {"end at midnight reads nothing of that day",
         At(20240301, 0),
         At(20240303, 0),
         {"20240301,90000", "20240301,100000", "20240301,235959"}},
        {"start at midnight", At(20240303, 0), At(20240303, 1), {"20240303,0"}},
        {"from equal to to", At(20240301, 100000), At(20240301, 100000), {}},
        {"from after to", At(20240304, 0), At(20240301, 0), {}},
        {"no day file in range", At(20240302, 0), At(20240302, 235959), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, Search(c.from, c.to, CActivityLogCriteriaList()));
    }
}

TEST_F(ActivitySearchTest, CriteriaGroupsAreAndOfOrs) {
    enum Kind { kPresent, kEquals, kContains };
    struct Term {
        Kind kind;
        int field;
        int number;
        const char* text;
    };
    struct Case {
        const char* name;
        std::vector<std::vector<Term>> groups;
        std::vector<std::string> expected;
    } cases[] = {
        {"one empty group matches nothing", {{}}, {}},
        {"present", {{{kPresent, 20, 0, nullptr}}}, {"20240301,100000", "20240303,123000"}},
        {"equals is not a prefix test", {{{kEquals, 2, 3, nullptr}}}, {"20240301,90000"}},
        {"equals a number that occurs as another field's value",
         {{{kEquals, 1, 2, nullptr}}},
         {"20240301,100000", "20240303,123000"}},
        {"a group holds when any term holds",
         {{{kEquals, 2, 4, nullptr}, {kEquals, 3, 3, nullptr}}},
         {"20240303,0", "20240304,235959"}},
        {"every group must hold",
         {{{kEquals, 1, 2, nullptr}}, {{kContains, 0, 0, "ALICE"}}},
         {"20240303,123000"}},
        {"contains in any letter case", {{{kContains, 0, 0, "sUbJeCt A,B"}}}, {"20240301,90000"}},
        {"contains escaped bytes", {{{kContains, 0, 0, "k\\slash \"q"}}}, {"20240303,0"}},
        {"contains sees decoded encoded words", {{{kContains, 0, 0, "o w"}}}, {"20240301,100000"}},
        {"keys, date and time never match", {{{kContains, 0, 0, "20240301"}}}, {}},
        {"a key alone never matches", {{{kContains, 0, 0, "12="}}}, {}},
    };
    const std::string before = ReadWhole(s_Dir + "/zelgw20240301");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CActivityLogCriteriaList criteria;
        CActivityLogCriteria group;
        for (const std::vector<Term>& terms : c.groups) {
            group.RemoveAll();
            for (const Term& t : terms) {
                if (t.kind == kPresent)
                    group.AddPresent(t.field);
                else if (t.kind == kEquals)
                    group.AddEquals(t.field, t.number);
                else
                    group.AddContains(t.text);
            }
            criteria.AddGroup(group);
        }
        EXPECT_EQ(c.expected, Search(At(20240301, 0), At(20240305, 0), criteria));
    }
    // Searching reads: the day file is as it was.
    EXPECT_EQ(before, ReadWhole(s_Dir + "/zelgw20240301"));
}

TEST_F(ActivitySearchTest, FieldsReadBackAsWritten) {
    CActivityLogRecord record;
    ASSERT_TRUE(record.SetLine(
        "20240101,93000,1=1,12=a\\,b,13=\\\\,14=\"x,y\",15=q\\\"t,12=second,16=\\n,bad,17=z"));
    EXPECT_EQ(20240101, record.m_Date);
    EXPECT_EQ(93000, record.m_Time);

    struct Case {
        int field;
        bool present;
        std::string value;
    } cases[] = {
        {12, true, "a,b"},      // escaped comma; the first of two fields 12
        {13, true, "\\"},       // escaped backslash
        {14, true, "\"x,y\""},  // quoted: kept with its quotes, comma inside
        {15, true, "q\"t"},     // escaped double quote
        {16, true, "\\n"},      // a backslash before another byte stays
        {17, false, ""},        // after the item without '='
        {2, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        CVornString value("unchanged");
        EXPECT_EQ(c.present, record.GetFieldString(c.field, value));
        EXPECT_EQ(c.present ? c.value : "unchanged", Str(value));
        EXPECT_EQ(c.present, record.HasField(c.field));
    }

    char buffer[3] = {'x', 'x', 'x'};
    EXPECT_TRUE(record.GetField(12, buffer, 3));
    EXPECT_EQ(std::string("a,"), buffer);
    EXPECT_TRUE(record.GetField(12, nullptr, 0));
    int number = -5;
    EXPECT_FALSE(record.GetFieldNumber(99, number));
    EXPECT_EQ(-5, number);
    EXPECT_TRUE(record.GetFieldNumber(1, number));
    EXPECT_EQ(1, number);

    // Parsing left the raw line as it was read.
    EXPECT_EQ(std::string("20240101,93000,1=1,12=a\\,b,13=\\\\,14=\"x,y\",15=q\\\"t,12=second,"
                          "16=\\n,bad,17=z"),
              record.GetLine());

    // Raw tests: the number must be followed by ',' or the end; a later
    // occurrence counts when the first one is longer.
    ASSERT_TRUE(record.SetLine("20240101,1,7=a\\,2=35,2=3"));
    EXPECT_TRUE(record.LineHasKeyNumber(2, 3));
    EXPECT_TRUE(record.FieldEquals(2, 3));
    EXPECT_FALSE(record.LineHasKeyNumber(2, 35) && record.FieldEquals(2, 35));
    EXPECT_TRUE(record.LineHasKey(7));
    EXPECT_FALSE(record.LineHasKey(1));

    // Lines that cannot be placed in time.
    EXPECT_FALSE(record.SetLine("20240101,"));
    EXPECT_FALSE(record.SetLine("20240101"));
    EXPECT_FALSE(record.SetLine("garbage,1,2=3"));
    EXPECT_FALSE(record.HasField(2));
    EXPECT_TRUE(record.SetLine("20240101,5"));
    EXPECT_EQ(5, record.m_Time);
    EXPECT_FALSE(record.HasField(1));
}

TEST_F(ActivitySearchTest, ShiftJisTrailBytesAreNeitherEscapesNorSeparators) {
    g_CodePage.SetType(2);
    CActivityLogRecord record;
    // 0x95 0x5C is one character whose trail byte is '\'; 0x81 0x2C would be
    // "," in single-byte text.
    ASSERT_TRUE(record.SetLine("20240101,1,12=\x95\x5C,13=\x81\x2C\\,x,14=y"));
    CVornString value;
    ASSERT_TRUE(record.GetFieldString(12, value));
    EXPECT_EQ("\x95\x5C", Str(value));
    ASSERT_TRUE(record.GetFieldString(13, value));
    EXPECT_EQ("\x81\x2C,x", Str(value));
    EXPECT_TRUE(record.HasField(14));
    // A pattern never matches from a trail byte.
    EXPECT_FALSE(record.Contains("\\"));
    EXPECT_TRUE(record.Contains(",X"));
}

TEST_F(ActivitySearchTest, ContainsDecodesCopiesAndKeepsTheRecordWhole) {
    CActivityLogRecord record;
    // An encoded word behind 6000 bytes of one value: all of it is searched,
    // and the record still reads back whole afterwards.
    std::string filler(6000, 'f');
    std::string line = "20240101,1,12=" + filler + " =?ISO-8859-1?B?bmVlZGxl?=,13=tail";
    ASSERT_TRUE(record.SetLine(line.c_str()));
    EXPECT_TRUE(record.Contains("NEEDLE"));
    EXPECT_FALSE(record.Contains("HAYSTACK"));
    EXPECT_EQ(line, record.GetLine());
    CVornString value;
    ASSERT_TRUE(record.GetFieldString(12, value));
    EXPECT_EQ(filler + " =?ISO-8859-1?B?bmVlZGxl?=", Str(value));
    EXPECT_TRUE(record.HasField(13));

    // ISO-2022-JP words are compared in Shift-JIS: "=?ISO-2022-JP?B?...?="
    // of ESC $ B 0x30 0x21 ESC ( B is the Shift-JIS pair 0x88 0x9F.
    g_CodePage.SetType(2);
    ASSERT_TRUE(record.SetLine("20240101,1,12==?ISO-2022-JP?B?GyRCMCEbKEI=?="));
    EXPECT_TRUE(record.Contains("\x88\x9F"));
}

TEST_F(ActivitySearchTest, DescribeFieldUsesTheCatalogue) {
    CActivityLogRecord record;
    ASSERT_TRUE(
        record.SetLine("20240101,1,1=5,2=30,3=9,40=U,41=x,1005=v,1200=4,9999=w,12=t,"
                       "2=400"));
    struct Case {
        const char* line;  // null: the record above
        int field;
        const char* label;
        const char* text;
    } cases[] = {
        {nullptr, 1, "M308", "M269"},
        {nullptr, 2, "M310", "M522"},  // the first field 2
        {nullptr, 3, "M325", "9"},     // not in the value table
        {nullptr, 40, "M330", "M629"},
        {nullptr, 41, "M331", "x"},
        {nullptr, 1005, "M528", "v"},
        {nullptr, 1200, "M873", "M845"},
        {nullptr, 9999, "9999", "w"},
        {nullptr, 12, "", "t"},  // label message missing from the catalogue
        {"20240101,1,40=u", 40, "M330", "u"},
        {"20240101,1,40=UU", 40, "M330", "UU"},
        {"20240101,1,1200=x", 1200, "M873", "x"},  // not a number: not 0's text
        {"20240101,1,1200=0", 1200, "M873", "M838"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.field) + (c.line ? c.line : ""));
        CActivityLogRecord other;
        CActivityLogRecord& r = c.line ? other : record;
        if (c.line) {
            ASSERT_TRUE(other.SetLine(c.line));
        }
        CVornString label, text;
        ASSERT_TRUE(r.DescribeField(c.field, label, text));
        EXPECT_EQ(c.label, Str(label));
        EXPECT_EQ(c.text, Str(text));
    }
    CVornString label("l"), text("t");
    EXPECT_FALSE(record.DescribeField(11, label, text));
    EXPECT_EQ("l", Str(label));
    EXPECT_EQ("t", Str(text));
}

TEST_F(ActivitySearchTest, DamagedDayFileLosesOnlyTheDamagedLines) {
    const std::string longLine = "20240501,80000,12=" + std::string(200000, 'x');
    WriteDay(20240501,
             "20240501,70000,2=1\r\n" +        // normal
                 longLine + "\r\n" +           // over-long: the synthetic record
                 "20240501,90000,2=2\r\n"      // read normally after it
                 "\r\n\r\n"                    // empty lines do not end the file
                 "garbage without date\r\n"    // skipped
                 "20240501,\r\n"               // no time: skipped
                 + std::string(150000, 'y') +  // over-long without ',': skipped
                 "\r\n20240501,100000,2=3\n"   // LF alone ends a line
                 "20240501,110000,2=4\r"       // CR alone too
                 "20240501,120000,2=5\r\n"
                 "20240501,130000,2=6");  // unfinished: not returned
    CActivityLogSearch search(CVornDate(At(20240501, 0)), CVornDate(At(20240502, 0)),
                              CActivityLogCriteriaList(), s_Dir.c_str());
    CActivityLogRecord record;
    std::vector<std::string> lines;
    while (search.Next(record) == 0) lines.push_back(record.GetLine());
    EXPECT_EQ(
        (std::vector<std::string>{"20240501,70000,2=1", "20240501,80000,1=1,100=M586,105=M587",
                                  "20240501,90000,2=2", "20240501,100000,2=3",
                                  "20240501,110000,2=4", "20240501,120000,2=5"}),
        lines);
}

TEST_F(ActivitySearchTest, OverLongLineOfExactlyTheBufferSizeIsSynthetic) {
    // The longest line read whole has kLineSize - 1 bytes; one more byte
    // makes it over-long.
    std::string head = "20240502,10,12=";
    std::string fits = head + std::string(CActivityLogRecord::kLineSize - 1 - head.size(), 'a');
    std::string over = head + std::string(CActivityLogRecord::kLineSize - head.size(), 'b');
    WriteDay(20240502, fits + "\r\n" + over + "\r\n");
    CActivityLogReader reader((s_Dir + "/zelgw20240502").c_str());
    std::vector<char> buffer(CActivityLogRecord::kLineSize);
    EXPECT_EQ(static_cast<int>(fits.size()),
              reader.ReadLine(buffer.data(), CActivityLogRecord::kLineSize));
    EXPECT_EQ(fits, buffer.data());
    EXPECT_LT(0, reader.ReadLine(buffer.data(), CActivityLogRecord::kLineSize));
    EXPECT_EQ(std::string("20240502,10,1=1,100=M586,105=M587"), buffer.data());
    EXPECT_EQ(0, reader.ReadLine(buffer.data(), CActivityLogRecord::kLineSize));

    CActivityLogReader missing((s_Dir + "/zelgw19990101").c_str());
    EXPECT_EQ(-1, missing.ReadLine(buffer.data(), CActivityLogRecord::kLineSize));
}

// The search gives up after 30 seconds on the library clock and continues
// where it stopped. The day file is a FIFO, so the test decides when the
// search sees its lines: the clock moves on after the search has started
// and before it has read a line.
TEST_F(ActivitySearchTest, TimeBudgetOnTheLibraryClockKeepsThePosition) {
    const int date = 20240601;
    const std::string fifo = s_Dir + "/zelgw" + std::to_string(date);
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const time_t start = At(date, 120000);
    platform::SetTestTime(start);

    bool opened = false;
    std::thread writer([&] {
        int fd = -1;
        // Opening for writing succeeds once the search has opened the FIFO.
        for (int i = 0; i < 10000 && fd < 0; ++i) {
            fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (fd < 0)
            return;
        opened = true;
        platform::SetTestTime(start + CActivityLogSearch::kTimeBudget + 1);
        std::string lines;
        for (int i = 0; i < 3 * CActivityLogSearch::kClockEvery; ++i)
            lines += "20240601,100000,2=1\r\n";
        lines += "20240601,100001,2=7\r\n";
        EXPECT_EQ(static_cast<ssize_t>(lines.size()), write(fd, lines.data(), lines.size()));
        close(fd);
    });

    CActivityLogCriteriaList criteria;
    CActivityLogCriteria group;
    group.AddEquals(2, 7);
    criteria.AddGroup(group);
    CActivityLogSearch search(CVornDate(At(date, 0)), CVornDate(At(date + 1, 0)), criteria,
                              s_Dir.c_str());
    CActivityLogRecord record;
    EXPECT_EQ(2, search.Next(record));
    // The clock stands still now: the search goes on from where it stopped.
    EXPECT_EQ(0, search.Next(record));
    EXPECT_EQ(100001, record.m_Time);
    EXPECT_EQ(1, search.Next(record));
    writer.join();
    EXPECT_TRUE(opened);
    unlink(fifo.c_str());
}

}  // namespace
