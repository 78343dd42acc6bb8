// CVornDate's date texts: reading RFC 822-like dates, writing RFC 822 dates
// and catalogue-templated dates.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "core/clock.h"
#include "core/message_catalog.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_date.h"
#include "core/vorn_string.h"
#include "platform/clock.h"

namespace {

// Makes tz the cached local zone as of at (the clock's hourly refresh), and
// now = at.
using testsupport::UseZone;

constexpr time_t kTestNow = 1719835200;  // 2024-07-01 12:00:00 UTC, a Monday

// Catalogue numbers the date texts use: day names 685-698, month names
// 699-710, year texts 711-815, templates 816 and 817.
constexpr int kFirstNumber = 685;
constexpr int kLastNumber = 817;

// English (language 0) and German (language 1) texts by number; a number
// missing from a language has no text there (the table falls back to
// language 0).
// The day names (short in the output set, long one number above) and the
// month names of one language, by catalogue number.
std::map<int, std::string> DateNames(const char* const (&shortDays)[7],
                                     const char* const (&longDays)[7],
                                     const char* const (&months)[12]) {
    const int outputSet[7] = {697, 685, 687, 689, 691, 693, 695};
    std::map<int, std::string> t;
    for (int d = 0; d < 7; ++d) {
        t[outputSet[d]] = shortDays[d];
        t[outputSet[d] + 1] = longDays[d];
    }
    for (int m = 0; m < 12; ++m) t[699 + m] = months[m];
    return t;
}

std::map<int, std::string> EnglishTexts() {
    std::map<int, std::string> t = DateNames(
        {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"},
        {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"},
        {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"});
    t[711] = "MCMXCV";  // 1995
    t[740] = "2024";
    t[815] = "MMXCIX";  // 2099
    t[816] = "%D/%M/%Y %T (%W) %W";
    t[817] = "%W, %D %M %Y %T %Z";
    return t;
}

std::map<int, std::string> GermanTexts() {
    std::map<int, std::string> t =
        DateNames({"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"},
                  {"Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag"},
                  {"Januar", "Februar", "Maerz", "April", "Mai", "Juni", "Juli", "August",
                   "September", "Oktober", "November", "Dezember"});
    t[740] = "2024 n. Chr.";
    t[817] = "%W, %D. %M %Y um %T";  // no %Z; 816 comes from language 0
    return t;
}

// The catalogue file format: "h1 h2", the language count, an empty line, one
// line per language, then per number one "label length:text" entry per
// language ("-1:" for none).
std::string CatalogueFile(const std::map<int, std::string>& english,
                          const std::map<int, std::string>& german) {
    std::string out = "2 9\r\n2\r\n\r\nEnglish en\nDeutsch de\n";
    for (int n = kFirstNumber; n <= kLastNumber; ++n) {
        for (const auto* texts : {&english, &german}) {
            auto it = texts->find(n);
            out += " m" + std::to_string(n) + " ";
            out += it == texts->end() ? "-1:\n"
                                      : std::to_string(it->second.size()) + ":" + it->second + "\n";
        }
    }
    return out;
}

std::string Utc(time_t t) {
    struct tm fields;
    gmtime_r(&t, &fields);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

std::string Text(CVornString& s) {
    return std::string(s.CStr(), s.Length());
}

// The clock thread is stopped so that changing TZ never races with it; the
// cached zone offset changes only through ClockTick.
class DateTextTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(testsupport::StopClockThread()); }
    void SetUp() override { UseZone("UTC0", kTestNow); }
    void TearDown() override {
        BaseMessageTable().Clear();
        SetCatalogLanguage(0);
    }

    void LoadCatalogue(const std::map<int, std::string>& english = EnglishTexts(),
                       const std::map<int, std::string>& german = GermanTexts()) {
        std::string path = m_Dir + "/messages";
        std::ofstream(path, std::ios::binary) << CatalogueFile(english, german);
        ASSERT_EQ(kCatalogLoaded,
                  BaseMessageTable().ReadFile(path.c_str(), 2, 9, kLastNumber - kFirstNumber + 1,
                                              kFirstNumber));
    }

    testsupport::ZoneGuard m_Zone;  // TZ and the test time restored
    testsupport::TempDir m_Temp{"date_text_test"};
    std::string m_Dir = m_Temp.Path();
};

TEST_F(DateTextTest, ParsesRealWorldVariants) {
    LoadCatalogue();
    struct Case {
        const char* text;
        const char* utc;
    } cases[] = {
        {"Tue, 05 Jan 1999 10:20:30 -0500", "1999-01-05 15:20:30"},
        {"5 Jan 99 10:20:30 GMT", "1999-01-05 10:20:30"},
        {"Tue, 05-Jan-99 10:20:30 +0100", "1999-01-05 09:20:30"},
        {"Tue,  5 Jan 1999 10:20:30 EST (Eastern Standard Time)", "1999-01-05 15:20:30"},
        {"Tue, 5 Jan 1999 10:20:30 (comment) CDT", "1999-01-05 15:20:30"},
        {"Tuesday, 05 JAN 1999 10:20:30 UT", "1999-01-05 10:20:30"},  // second day set
        {"Tue Jan  5 10:20:30 1999", "1999-01-05 10:20:30"},          // no zone: local (UTC)
        {"Tue, 05 Jan 1999", "1999-01-05 00:00:00"},                  // four words, no time
        {"\t05\r\nJan   1999\t10:20:30\r\n PST", "1999-01-05 18:20:30"},
        {"tue, 05 jan 1999 10:20:30 MDT", "1999-01-05 16:20:30"},  // names in any case
        {"Fri, 29 Feb 2008 23:59:59 +0530", "2008-02-29 18:29:59"},
        {"Thu, 01 Jan 1970 00:00:00 GMT", "1970-01-01 00:00:00"},
        {"Tue, 19 Jan 2038 03:14:08 GMT", "2038-01-19 03:14:08"},  // past 32 bits
        {"05 Jan 39 00:00:00 GMT", "2039-01-05 00:00:00"},         // two digits: 2039
        {"Fri, 01 Jan 2100 00:00:00 -1200", "2100-01-01 12:00:00"},
        {"Mon, 01 Jan 2024 09:00:00 +1400", "2023-12-31 19:00:00"},
        // A lower-case zone name is no zone name: local time.
        {"Tue, 05 Jan 1999 10:20:30 gmt", "1999-01-05 10:20:30"},
        // One colon is no time (midnight), nor is a time out of range.
        {"Tue, 05 Jan 1999 10:20 GMT", "1999-01-05 00:00:00"},
        {"Tue, 05 Jan 1999 24:00:00 -0100", "1999-01-05 01:00:00"},
        // Anything after the second colon is read as the seconds.
        {"05 Jan 1999 10:20:30:99 GMT", "1999-01-05 10:20:30"},
        // The first zone counts.
        {"05 Jan 1999 10:20:30 +0200 -0500", "1999-01-05 08:20:30"},
    };
    for (const Case& c : cases) {
        CVornDate d(time_t{0});
        EXPECT_EQ(0, d.ParseText(c.text)) << c.text;
        EXPECT_EQ(c.utc, Utc(d.GetTime())) << c.text;
    }
}

TEST_F(DateTextTest, RefusesTextsThatAreNotDatesAndLeavesNow) {
    LoadCatalogue();
    const char* cases[] = {
        "",
        "Jan 5 1999",                         // three words
        "05 Jan 40 10:20:30",                 // 1940
        "31 Dec 1969 23:59:59 -0100",         // before 1970 in its own zone
        "Thu, 1 Jan 1970 00:00:00 +0100",     // 1970 in its zone, 1969 in UTC
        "31 Feb 1999 10:20:30",               // no such day
        "05 Foo 1999 10:20:30",               // no month
        "Jan 1999 10:20:30 GMT",              // no day
        "05 Jan 10:20:30 GMT",                // no year
        "05 Jan 99999 10:20:30",              // beyond four-digit years
        "05 Jan 99999999999999999999 10:20",  // huge numbers do not overflow
        "( ( ( (",
        "- - - -",
        ": : : :",
        "05-Foo-1999 Jan 1999 10:20:30",  // day comes only with the month
    };
    for (const char* text : cases) {
        CVornDate d(time_t{12345});
        EXPECT_EQ(1, d.ParseText(text)) << text;
        EXPECT_EQ(kTestNow, d.GetTime()) << text;
    }
    CVornDate d(time_t{12345});
    EXPECT_EQ(1, d.ParseText(nullptr));
    EXPECT_EQ(kTestNow, d.GetTime());
}

TEST_F(DateTextTest, ATextWithoutZoneIsReadInTheGivenOrTheLocalZone) {
    LoadCatalogue();
    UseZone("XYZ-5:45", kTestNow);
    struct Case {
        const char* zone;
        const char* utc;
    } cases[] = {
        {nullptr, "1999-01-05 04:35:30"},  // the cached local zone
        {"", "1999-01-05 04:35:30"},      {"EST", "1999-01-05 15:20:30"},
        {"+0100", "1999-01-05 09:20:30"}, {"-1400", "1999-01-06 00:20:30"},
        {"bogus", "1999-01-05 10:20:30"},  // a zone that is none counts as UTC
        {"+1500", "1999-01-05 10:20:30"},
    };
    for (const Case& c : cases) {
        CVornDate d;
        EXPECT_EQ(0, d.ParseText("Tue, 05 Jan 1999 10:20:30", c.zone)) << c.zone;
        EXPECT_EQ(c.utc, Utc(d.GetTime())) << (c.zone ? c.zone : "null");
        // A zone in the text wins over the given one.
        EXPECT_EQ(0, d.ParseText("Tue, 05 Jan 1999 10:20:30 GMT", c.zone));
        EXPECT_EQ("1999-01-05 10:20:30", Utc(d.GetTime()));
    }
}

TEST_F(DateTextTest, NamesAreReadInTheCurrentLanguageThenLanguageZeroThenEnglish) {
    LoadCatalogue();
    // Language 0: the German names are not names.
    CVornDate d;
    EXPECT_EQ(1, d.ParseText("Di, 05 Januar 1999 10:20:30 +0100"));

    SetCatalogLanguage(1);
    struct Case {
        const char* text;
        const char* utc;
    } cases[] = {
        {"Di, 05 Januar 1999 10:20:30 +0100", "1999-01-05 09:20:30"},
        {"Dienstag, 05-Maerz-99 10:20:30 GMT", "1999-03-05 10:20:30"},
        {"Tue, 05 Jan 1999 10:20:30 GMT", "1999-01-05 10:20:30"},  // language 0
    };
    for (const Case& c : cases) {
        EXPECT_EQ(0, d.ParseText(c.text)) << c.text;
        EXPECT_EQ(c.utc, Utc(d.GetTime())) << c.text;
    }

    // Without any catalogue the English names still read, so that every date
    // FormatRFC822 writes reads back.
    BaseMessageTable().Clear();
    EXPECT_EQ(0, d.ParseText("Tue, 05 Jan 1999 10:20:30 GMT"));
    EXPECT_EQ("1999-01-05 10:20:30", Utc(d.GetTime()));
    EXPECT_EQ(1, d.ParseText("Di, 05 Januar 1999 10:20:30 +0100"));
}

TEST_F(DateTextTest, FormatsRFC822WithEnglishNamesAndTheZone) {
    LoadCatalogue();
    SetCatalogLanguage(1);       // written names stay English
    const time_t t = 915549630;  // 1999-01-05 15:20:30 UTC
    struct Case {
        const char* tz;
        const char* expected;
    } cases[] = {
        {"UTC0", "Tue, 05 Jan 1999 15:20:30 GMT"},
        {"XYZ+5", "Tue, 05 Jan 1999 10:20:30 -0500"},
        {"XYZ-1", "Tue, 05 Jan 1999 16:20:30 +0100"},
        {"XYZ+3:30", "Tue, 05 Jan 1999 11:50:30 -0330"},
        {"XYZ-14", "Wed, 06 Jan 1999 05:20:30 +1400"},
        {"XYZ+0:30", "Tue, 05 Jan 1999 14:50:30 -0030"},
    };
    CVornString out;
    for (const Case& c : cases) {
        UseZone(c.tz, kTestNow);
        CVornDate(t).FormatRFC822(out);
        EXPECT_EQ(c.expected, Text(out)) << c.tz;
    }

    UseZone("XYZ-3", kTestNow);  // the named zone, never the local one
    struct InZone {
        const char* zone;
        const char* expected;
    } zones[] = {
        {"GMT", "Tue, 05 Jan 1999 15:20:30 GMT"},     {"EST", "Tue, 05 Jan 1999 10:20:30 -0500"},
        {"+0545", "Tue, 05 Jan 1999 21:05:30 +0545"}, {"bogus", "Tue, 05 Jan 1999 15:20:30 GMT"},
        {"+1500", "Tue, 05 Jan 1999 15:20:30 GMT"},   {nullptr, "Tue, 05 Jan 1999 15:20:30 GMT"},
    };
    for (const InZone& c : zones) {
        CVornDate(t).FormatRFC822InZone(c.zone, out);
        EXPECT_EQ(c.expected, Text(out)) << (c.zone ? c.zone : "null");
    }
}

TEST_F(DateTextTest, RFC822RoundTripsToTheSecondAcrossZones) {
    const char* zones[] = {"XYZ-14", "XYZ-5:45", "XYZ+3:30", "UTC0", "XYZ+12"};
    const time_t times[] = {
        86400,         // 1970-01-02
        951868799,     // 2000-02-29 23:59:59
        2147483648,    // one past the 32-bit limit
        4107542399,    // 2100-02-28 23:59:59
        253402214399,  // 9999-12-30 23:59:59
    };
    CVornString text;
    for (const char* tz : zones) {
        for (time_t t : times) {
            UseZone(tz, kTestNow);
            CVornDate(t).FormatRFC822(text);
            // Read in the same zone and in another: the zone in the text decides.
            for (const char* readIn : {tz, "XYZ+7"}) {
                UseZone(readIn, kTestNow);
                CVornDate back(time_t{0});
                EXPECT_EQ(0, back.Parse(text)) << Text(text);
                EXPECT_EQ(t, back.GetTime()) << tz << " " << Text(text) << " read in " << readIn;
            }
        }
    }
}

TEST_F(DateTextTest, DisplayAndReportFormatsFollowTheCatalogueTemplates) {
    LoadCatalogue();
    UseZone("XYZ-2", kTestNow);
    struct Case {
        int language;
        time_t t;
        const char* display;
        const char* report;
    } cases[] = {
        {0, kTestNow, "Mon, 01 Jul 2024 14:00:00 +0200", "01/Jul/2024 14:00:00 (Mon) %W"},
        {1, kTestNow, "Mo, 01. Juli 2024 n. Chr. um 14:00:00",
         "01/Juli/2024 n. Chr. 14:00:00 (Mo) %W"},
        // Year texts exist for 1995-2099 only; elsewhere the number.
        {0, 770472000, "Wed, 01 Jun 1994 14:00:00 +0200", "01/Jun/1994 14:00:00 (Wed) %W"},
        {0, 802008000, "Thu, 01 Jun MCMXCV 14:00:00 +0200", "01/Jun/MCMXCV 14:00:00 (Thu) %W"},
        {1, 4083998400, "Mo, 01. Juni MMXCIX um 14:00:00", "01/Juni/MMXCIX 14:00:00 (Mo) %W"},
        {1, 4115534400, "Di, 01. Juni 2100 um 14:00:00", "01/Juni/2100 14:00:00 (Di) %W"},
        // A year with no text in the catalogue: the number.
        {0, 1591012800, "Mon, 01 Jun 2020 14:00:00 +0200", "01/Jun/2020 14:00:00 (Mon) %W"},
    };
    CVornString out;
    for (const Case& c : cases) {
        SetCatalogLanguage(c.language);
        CVornDate d(c.t);
        d.FormatDisplay(out);
        EXPECT_EQ(c.display, Text(out)) << c.t;
        d.FormatReport(out);
        EXPECT_EQ(c.report, Text(out)) << c.t;
    }
}

TEST_F(DateTextTest, TemplatesReplaceOnlyTheirOwnPlaceholders) {
    // A name holding a placeholder is inserted as it is; unknown and doubled
    // placeholders are left alone.
    auto english = EnglishTexts();
    english[685] = "%D-day";  // Monday
    english[706] = "%Y";      // August, in the output
    english[817] = "%% %X %W %M %D %Y%T%Z";
    english.erase(816);
    LoadCatalogue(english, {});
    CVornString out("stale");
    CVornDate d(kTestNow);
    d.FormatDisplay(out);
    EXPECT_EQ("%% %X %D-day Jul 01 202412:00:00GMT", Text(out));
    d.FormatReport(out);
    EXPECT_EQ("", Text(out)) << "no template: empty";

    CVornDate august(time_t{1722513600});  // 2024-08-01 12:00:00 UTC, a Thursday
    august.FormatDisplay(out);
    EXPECT_EQ("%% %X Thu %Y 01 202412:00:00GMT", Text(out));
}

}  // namespace
