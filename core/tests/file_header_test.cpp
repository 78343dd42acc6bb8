// CVornFileHeader: the "# number version date" first line of data files.
#include "core/file_header.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "core/clock.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_string.h"
#include "platform/clock.h"

namespace {

constexpr time_t kTestNow = 1719835200;  // 2024-07-01 12:00:00 UTC
constexpr const char* kNowText = "Mon, 01 Jul 2024 12:00:00 GMT";

// Now and the local zone are fixed (UTC), so that "the date is now" has one
// RFC 822 form. No catalogue is loaded: the English names read without one.
class FileHeaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(testsupport::StopClockThread()); }
    void SetUp() override { testsupport::UseZone("UTC0", kTestNow); }

    testsupport::ZoneGuard m_Zone;  // TZ and the test time restored
};

TEST_F(FileHeaderTest, ParsesAndWritesBackTheHeaderLine) {
    struct Case {
        const char* line;
        int number;
        std::string formatted;
    } cases[] = {
        {"# 2 1.0.3 Tue, 05 Jan 1999 10:20:30 -0500\r\n", 2,
         "# 2 1.0.3 Tue, 05 Jan 1999 10:20:30 -0500"},
        // Runs of blanks separate; the date is written as it was read.
        {"#   2  1.0.3    Tue,  05 Jan 1999 10:20:30 -0500\n", 2,
         "# 2 1.0.3 Tue,  05 Jan 1999 10:20:30 -0500"},
        {"#list 7 4.2.0.17 5 Jan 99 10:20:30 GMT", 7, "# 7 4.2.0.17 5 Jan 99 10:20:30 GMT"},
        // Three fields: version 0.0.0 and now.
        {"# 2 1.0", 2, std::string("# 2 0.0.0 ") + kNowText},
        // A version that is none reads as 0.0.0.
        {"# 2 1.a Tue, 05 Jan 1999 10:20:30 GMT", 2, "# 2 0.0.0 Tue, 05 Jan 1999 10:20:30 GMT"},
        {"# 2 1..0 Tue, 05 Jan 1999 10:20:30 GMT", 2, "# 2 0.0.0 Tue, 05 Jan 1999 10:20:30 GMT"},
        {"# 2 1.0.3.4.5 Tue, 05 Jan 1999 10:20:30 GMT", 2,
         "# 2 0.0.0 Tue, 05 Jan 1999 10:20:30 GMT"},
        // A date that is none: still valid, dated now.
        {"# 2 1.0.3 not a date at all", 2, std::string("# 2 1.0.3 ") + kNowText},
        {"# 2 1.0.3 x", 2, std::string("# 2 1.0.3 ") + kNowText},
        // The number is atoi of its field.
        {"# x 1.0 Tue, 05 Jan 1999 10:20:30 GMT", 0, "# 0 1.0 Tue, 05 Jan 1999 10:20:30 GMT"},
        // A date read past 2038.
        {"# 2 1.0 Sat, 01 Jan 2050 00:00:00 +0100", 2, "# 2 1.0 Sat, 01 Jan 2050 00:00:00 +0100"},
    };
    for (const Case& c : cases) {
        CVornFileHeader header;
        CVornString line(c.line);
        EXPECT_EQ(CVornFileHeader::kParsed, header.Parse(line)) << c.line;
        EXPECT_TRUE(header.IsValid()) << c.line;
        int number = -1;
        EXPECT_TRUE(header.GetNumber(&number)) << c.line;
        EXPECT_EQ(c.number, number) << c.line;
        CVornString out;
        EXPECT_TRUE(header.Format(out)) << c.line;
        EXPECT_EQ(c.formatted, out.CStr()) << c.line;

        // The trimmed line reads back to the same header.
        CVornFileHeader again;
        CVornString written(out);
        ASSERT_EQ(CVornFileHeader::kParsed, again.Parse(written)) << out.CStr();
        CVornString rewritten;
        again.Format(rewritten);
        EXPECT_STREQ(out.CStr(), rewritten.CStr());
    }

    // The caller's line loses its line end.
    CVornFileHeader header;
    CVornString line("# 2 1.0\r\n\r\n");
    header.Parse(line);
    EXPECT_STREQ("# 2 1.0", line.CStr());
}

TEST_F(FileHeaderTest, RefusesLinesThatAreNoHeader) {
    const char* cases[] = {
        "",
        "\r\n",
        "   ",
        "#",
        "# 2",
        "# 2 ",  // a number alone, with a trailing blank
        "2 1.0.3 Tue, 05 Jan 1999 10:20:30 GMT",
        "x# 2 1.0.3 Tue, 05 Jan 1999 10:20:30 GMT",
    };
    for (const char* text : cases) {
        // Also after a good line: the old header does not survive.
        CVornFileHeader header;
        CVornString good("# 2 1.0.3 Tue, 05 Jan 1999 10:20:30 GMT");
        ASSERT_EQ(CVornFileHeader::kParsed, header.Parse(good));
        CVornString line(text);
        EXPECT_EQ(CVornFileHeader::kFailed, header.Parse(line)) << text;
        EXPECT_FALSE(header.IsValid()) << text;
        int number = -1;
        EXPECT_FALSE(header.GetNumber(&number)) << text;
        EXPECT_EQ(-1, number);
        CVornString out("untouched");
        EXPECT_FALSE(header.Format(out)) << text;
        EXPECT_STREQ("untouched", out.CStr());
    }
    CVornFileHeader never;
    CVornString out;
    EXPECT_FALSE(never.IsValid());
    EXPECT_FALSE(never.Format(out));
}

TEST_F(FileHeaderTest, WritesOnlyWhatTheLastLineHeld) {
    CVornFileHeader header;
    CVornString line("# 2 1.0.3 Tue, 05 Jan 1999 10:20:30 GMT");
    ASSERT_EQ(CVornFileHeader::kParsed, header.Parse(line));

    // The date text of an earlier line is not written for a line whose date
    // does not read.
    CVornString out;
    line.Assign("# 3 1.1 no date here");
    ASSERT_EQ(CVornFileHeader::kParsed, header.Parse(line));
    header.Format(out);
    EXPECT_EQ(std::string("# 3 1.1 ") + kNowText, out.CStr());

    line.Assign("# 2 1.0.3 Tue, 05 Jan 1999 10:20:30 GMT");
    ASSERT_EQ(CVornFileHeader::kParsed, header.Parse(line));
    line.Assign("# 4 2.0");
    ASSERT_EQ(CVornFileHeader::kParsed, header.Parse(line));
    header.Format(out);
    EXPECT_EQ(std::string("# 4 0.0.0 ") + kNowText, out.CStr());

    // A line break inside the date part never reaches the written line.
    line.Assign("# 2 1.0 Tue, 05 Jan 1999\r10:20:30 GMT");
    ASSERT_EQ(CVornFileHeader::kParsed, header.Parse(line));
    header.Format(out);
    EXPECT_STREQ("# 2 1.0 Tue, 05 Jan 1999 10:20:30 GMT", out.CStr());
}

}  // namespace
