// The access report: records written with the real activity-log writer on
// the test's own day, the report asked for by curl from a real
// CVornHTTPServer; the range reading and the paragraph of one record are
// also checked directly.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "config/activity_search.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/vorn_date.h"
#include "net/http_request.h"
#include "net/tcp_socket.h"
#include "platform/clock.h"
#include "webadmin/access_report.h"
#include "webadmin/antivirus_report.h"
#include "webadmin/tests/support/report_support.h"
#include "webadmin/tests/support/web_admin_fixture.h"

namespace {

using webtest::BodyOf;
using webtest::Has;
using webtest::RangeFields;
using webtest::SlashDate;
using webtest::WriteActivity;

std::string Catalog(int number) {
    const char* text = GetCatalogText(number);
    return text ? text : "";
}

class AccessReportTest : public webtest::WebAdminTest {
protected:
    void SetUp() override {
        webtest::WebAdminTest::SetUp();
        // A fed day file's reader that has gone must not end the test.
        signal(SIGPIPE, SIG_IGN);
    }

    // The report of the test's day with the further form fields.
    std::string Report(const std::string& fields = "") {
        return Post("/AccessReport",
                    "objtype=S&" + RangeFields(m_Now) + (fields.empty() ? "" : "&" + fields),
                    LogIn());
    }

    // The record's line as the day file holds it, read back as the report
    // reads it.
    std::string Paragraph(const std::map<int, std::string>& fields) {
        size_t before = testsupport::ReadWhole(m_Activity).size();
        WriteActivity(fields);
        std::string line = testsupport::ReadWhole(m_Activity).substr(before);
        line = line.substr(0, line.find("\r\n"));
        CActivityLogRecord record;
        EXPECT_TRUE(record.SetLine(line.c_str())) << line;
        CVornString out;
        AppendRecordParagraph(record, "http://info.test/v?id=%d", out);
        return out.CStr();
    }

    // "label: " and the coloured text of a field as the paragraph shows it.
    static std::string Shown(const std::string& label, const char* colour,
                             const std::string& text) {
        return label + ": <font color=#" + colour + ">" + text + "</font>&nbsp;&nbsp;";
    }

    // The time of a record written now, as the report writes it.
    std::string Time() {
        int date = 0, time = 0;
        CVornDate(m_Now).GetPacked(&date, &time, nullptr);
        CVornDate when;
        when.SetPacked(date, time);
        CVornString text;
        when.FormatReport(text);
        return std::string(text.CStr()) + "&nbsp;&nbsp;";
    }

    // The head of the report page's body up to its own content.
    std::string TitleBlock() {
        return "<center><FONT FACE=\"Arial, Helvetica\" SIZE=3><B>" + Catalog(334) +
               "</FONT></B><hr width=\"75%\"></center><font size=-1 face=\"Arial, Helvetica\">";
    }
};

TEST_F(AccessReportTest, BareGetGoesToTheTopPageAndALoginComesBack) {
    std::string r = Get("/AccessReport");
    EXPECT_TRUE(Has(r, "302")) << r;
    EXPECT_TRUE(Has(r, "/Display?what=otop.html")) << r;

    Page("ormadmin_login.mhtml", "\r\n<p>admin login <X-ShowVar action></p>\n");
    r = Post("/AccessReport", "objtype=S&" + RangeFields(m_Now));
    EXPECT_TRUE(Has(r, "Set-Cookie: ZELORM=")) << r;
    EXPECT_TRUE(Has(r, "admin login AccessReport")) << r;
}

TEST_F(AccessReportTest, ObjectTypeAndPermissionAreChecked) {
    // No object type: the permission to ask for is unknown.
    std::string r = Post("/AccessReport", RangeFields(m_Now), LogIn());
    EXPECT_TRUE(Has(BodyOf(r), Catalog(77))) << r;
    EXPECT_TRUE(Records().empty());

    Configure("", "MADG:SUCGLD");
    r = Report();
    EXPECT_TRUE(Has(BodyOf(r), Catalog(84))) << r;
    EXPECT_FALSE(Has(r, Catalog(334))) << r;
    auto records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ((webtest::ActivityFields{
                  {1, "3"}, {2, "16"}, {10, "quendrial"}, {11, "127.0.0.1"}, {100, Catalog(408)}}),
              records[0]);

    // A read permission opens the report of its object type only.
    Configure("", "R:U");
    r = Post("/AccessReport", "objtype=U&" + RangeFields(m_Now), LogIn());
    EXPECT_TRUE(Has(r, TitleBlock())) << r;
    r = Report();
    EXPECT_FALSE(Has(r, TitleBlock())) << r;
    EXPECT_TRUE(Has(BodyOf(r), Catalog(84))) << r;
    r = Post("/AccessReport", "objtype=user&" + RangeFields(m_Now), LogIn());
    EXPECT_TRUE(Has(r, TitleBlock())) << r;
}

TEST_F(AccessReportTest, ARangeWithoutRecordsSaysSo) {
    // The next day: the test's own day holds the session purge's records.
    std::string body =
        BodyOf(Post("/AccessReport", "objtype=S&" + RangeFields(m_Now + 86400), LogIn()));
    EXPECT_TRUE(body.rfind("<!--", 0) == 0) << body;
    EXPECT_TRUE(Has(body, "<title>" + Catalog(334) + "</title>")) << body;
    const std::string end = "</table></font><i>" + Catalog(335) + "</i><br>";
    ASSERT_GE(body.size(), end.size());
    EXPECT_EQ(TitleBlock() + end, body.substr(body.find(TitleBlock()))) << body;

    // An invalid range gets the error page instead.
    std::string r = Post("/AccessReport",
                         "objtype=S&FromDate=1/31/2001&FromTime-24hr=0&"
                         "FromTime-min=0&ToDate=1/1/2001&ToTime-24hr=0&ToTime-min=0",
                         LogIn());
    EXPECT_TRUE(Has(BodyOf(r), Catalog(177))) << r;
    EXPECT_FALSE(Has(r, TitleBlock())) << r;
}

TEST_F(AccessReportTest, RecordsOfTheRangeAreShownInOrder) {
    WriteActivity({{1, "1"}, {2, "13"}, {11, "10.0.0.1"}});
    WriteActivity({{1, "1"}, {2, "5"}, {52, "msg-a"}, {20, "a@x.test"}, {23, "1200"}});
    // The next day is outside the range.
    platform::SetTestTime(m_Now + 86400);
    WriteActivity({{1, "1"}, {2, "5"}, {52, "msg-late"}});
    platform::SetTestTime(m_Now);

    std::string body = BodyOf(Report());
    size_t first = body.find("10.0.0.1");
    size_t second = body.find("msg-a");
    ASSERT_NE(std::string::npos, first) << body;
    ASSERT_NE(std::string::npos, second) << body;
    EXPECT_LT(first, second);
    EXPECT_FALSE(Has(body, "msg-late")) << body;
    EXPECT_FALSE(Has(body, Catalog(335))) << body;
    EXPECT_TRUE(body.size() > 15 && body.substr(body.size() - 15) == "</table></font>") << body;
}

TEST_F(AccessReportTest, ActionsAndSearchChooseTheRecords) {
    WriteActivity({{1, "1"}, {2, "300"}, {52, "m1"}, {1100, "Worm.Alpha"}});
    WriteActivity({{1, "1"}, {2, "301"}, {52, "m2"}, {1100, "Worm.Beta"}});
    WriteActivity({{1, "1"}, {2, "302"}, {52, "m3"}, {1100, "Worm.Beta"}});
    WriteActivity({{1, "1"}, {2, "5"}, {52, "m4"}, {22, "about worm.beta"}});

    struct Case {
        std::string fields;
        std::vector<std::string> shown;
    } cases[] = {
        {"", {"m1", "m2", "m3", "m4"}},
        // A variable sent twice arrives joined by 0x1C.
        {"Actions=300&Actions=301&Search=", {"m1", "m2"}},
        {"Actions=300%1C%1C301", {"m1", "m2"}},
        // The search ignores letter case and blanks at its end.
        {"Actions=300&Actions=301&Search=WORM.beta%20%09", {"m2"}},
        {"Search=worm.beta", {"m2", "m3", "m4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        std::string body = BodyOf(Report(c.fields));
        for (const char* name : {"m1", "m2", "m3", "m4"}) {
            bool expected = std::find(c.shown.begin(), c.shown.end(), name) != c.shown.end();
            EXPECT_EQ(expected, Has(body, ": <font color=#008800>" + std::string(name) + "</font>"))
                << name << "\n"
                << body;
        }
    }
}

TEST_F(AccessReportTest, AParagraphShowsThreeFieldsALineInTheirOrder) {
    // Fields 10 (the user) and 1101 (the virus id) are never shown; 100
    // comes after 11 whatever order the record has.
    std::string p = Paragraph({{100, "what happened"},
                               {1, "1"},
                               {2, "303"},
                               {3, "1"},
                               {10, "someone"},
                               {11, "10.1.2.3"}});
    CActivityLogRecord record;
    CVornString label, text2, text3;
    record.SetLine("20240101,0,2=303,3=1");
    ASSERT_TRUE(record.DescribeField(2, label, text2));
    ASSERT_TRUE(record.DescribeField(3, label, text3));
    EXPECT_EQ(Time() + Shown(Catalog(310), "DD0000", text2.CStr()) +
                  Shown(Catalog(325), "008800", text3.CStr()) +
                  Shown(Catalog(626), "008800", "10.1.2.3") + "<br>" +
                  Shown(Catalog(332), "008800", "what happened") + "<br><br>",
              p);
    EXPECT_FALSE(Has(p, "someone"));

    // Three fields fill the line: its break, then the paragraph's.
    p = Paragraph({{2, "13"}, {3, "2"}, {11, "10.1.2.3"}});
    EXPECT_EQ("10.1.2.3</font>&nbsp;&nbsp;<br><br>", p.substr(p.size() - 35)) << p;
    EXPECT_EQ(p.size() - 8, p.find("<br>")) << p;
}

TEST_F(AccessReportTest, FieldsAreColouredByWhatTheySay) {
    struct Case {
        std::map<int, std::string> fields;
        int key;
        const char* colour;
    } cases[] = {
        {{{2, "7"}}, 2, "FF8429"},   {{{2, "21"}}, 2, "FF8429"},    {{{2, "26"}}, 2, "DD0000"},
        {{{2, "305"}}, 2, "DD0000"}, {{{2, "5"}}, 2, "008800"},     {{{3, "2"}}, 3, "DD0000"},
        {{{3, "1"}}, 3, "008800"},   {{{105, "x"}}, 105, "FF8429"}, {{{12, "x"}}, 12, "008800"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        std::string p = Paragraph(c.fields);
        EXPECT_TRUE(Has(p, ": <font color=#" + std::string(c.colour) + ">")) << p;
    }
}

TEST_F(AccessReportTest, AVirusNameLinksToItsId) {
    std::string p = Paragraph({{2, "300"}, {1100, "Worm.Alpha"}, {1101, "4711"}});
    EXPECT_TRUE(Has(p,
                    ": <font color=#0000AA><a href=\"http://info.test/v?id=4711\" "
                    "target=\"new\">Worm.Alpha</a></font>&nbsp;&nbsp;"))
        << p;
    EXPECT_FALSE(Has(p, ">4711<")) << p;
    p = Paragraph({{2, "300"}, {1100, "Worm.Alpha"}});
    EXPECT_TRUE(Has(p, "<a href=\"http://info.test/v?id=0\" target=\"new\">Worm.Alpha</a>")) << p;

    // The page fills the product catalogue's link.
    WriteActivity({{2, "300"}, {52, "m"}, {1100, "Worm.Alpha"}, {1101, "12"}});
    std::string body = BodyOf(Report());
    EXPECT_TRUE(Has(body, "<a href=\"http://" + std::string(kVirusInfoHost) +
                              "/avcenter/venc/ebld/enc.cgi?vid=12&lang=us\" target=\"new\">"))
        << body;
}

TEST_F(AccessReportTest, TextsOfRecordsAreEscaped) {
    // Plain fields, and those whose encoded words are decoded first: also
    // a subject in ISO-2022-JP, which is converted to Shift-JIS.
    struct Case {
        int key;
        std::string value;
        std::string shown;
    } cases[] = {
        {100, "<b>x</b> & \"q\"", "&lt;b&gt;x&lt;/b&gt; &amp; &quot;q&quot;"},
        {1100, "<script>", "&lt;script&gt;"},
        {22, "=?ISO-8859-1?Q?caf=E9_=3Ci=3E?=", "caf\xe9 &lt;i&gt;"},
        {21, "=?US-ASCII?B?PGI+?= <u>", "&lt;b&gt; &lt;u&gt;"},
        // One kanji, then markup: ESC "$B" 0x30 0x21 ESC "(B" "<b>".
        {22, "=?ISO-2022-JP?Q?=1B$B0!=1B(B=3Cb=3E?=", "\x88\x9f&lt;b&gt;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        std::string p = Paragraph({{2, "5"}, {c.key, c.value}});
        EXPECT_TRUE(Has(p, ">" + c.shown + "<")) << p;
        EXPECT_FALSE(Has(p, "<b>") || Has(p, "<i>") || Has(p, "<u>") || Has(p, "<script>")) << p;
    }
}

// ReadReportRange on a request of its own (its error page goes nowhere).
TEST_F(AccessReportTest, TheRangeComesFromDatesAndTimes) {
    struct Case {
        std::string fields;
        bool valid;
        int from[2] = {0, 0};
        int to[2] = {0, 0};
    } cases[] = {
        {"FromDate=1/2/2003&FromTime-24hr=4&FromTime-min=5&ToDate=12/31/2003&ToTime-24hr=23&"
         "ToTime-min=59",
         true,
         {20030102, 40500},
         {20031231, 235900}},
        {"FromDate-day=2&FromDate-mon=1&FromDate-year=2003&FromTime-hr=12&FromTime-min=30&"
         "FromTime-mer=AM&ToDate-day=3&ToDate-mon=1&ToDate-year=2003&ToTime-hr=1&"
         "ToTime-mer=p.m.",
         true,
         {20030102, 3000},
         {20030103, 130000}},
        // An empty range is a range.
        {"FromDate=1/2/2003&FromTime-24hr=0&FromTime-min=0&ToDate=1/2/2003&ToTime-24hr=0&"
         "ToTime-min=0",
         true,
         {20030102, 0},
         {20030102, 0}},
        // A 12-hour time without its AM or PM, even beside a 24-hour one.
        {"FromDate=1/2/2003&FromTime-hr=4&FromTime-24hr=4&FromTime-min=0&ToDate=1/3/2003&"
         "ToTime-24hr=0&ToTime-min=0",
         false},
        // Reversed.
        {"FromDate=1/31/2001&FromTime-24hr=0&FromTime-min=0&ToDate=1/1/2001&ToTime-24hr=0&"
         "ToTime-min=0",
         false},
        // A "FromDate" that is present but empty, beside filled selects.
        {"FromDate=&FromDate-day=2&FromDate-mon=1&FromDate-year=2003&FromTime-24hr=0&"
         "FromTime-min=0&ToDate=1/3/2003&ToTime-24hr=0&ToTime-min=0",
         false},
        {"FromDate=1/2/2003&FromTime-24hr=0&FromTime-min=0&ToDate=1/3/2003&ToTime-24hr=0", false},
        {"FromDate=1/2/2003&FromTime-24hr=0&FromTime-min=0&ToTime-24hr=0&ToTime-min=0", false},
        {"FromDate=13/2/2003&FromTime-24hr=0&FromTime-min=0&ToDate=1/3/2004&ToTime-24hr=0&"
         "ToTime-min=0",
         false},
        // Impossible dates and times, and years the calendar does not
        // hold, are refused rather than read as the present moment.
        {"FromDate=2/30/2003&FromTime-24hr=0&FromTime-min=0&ToDate=1/3/2004&ToTime-24hr=0&"
         "ToTime-min=0",
         false},
        {"FromDate=1/2/1969&FromTime-24hr=0&FromTime-min=0&ToDate=1/3/2004&ToTime-24hr=0&"
         "ToTime-min=0",
         false},
        {"FromDate=1/2/2003&FromTime-24hr=25&FromTime-min=0&ToDate=1/3/2004&ToTime-24hr=0&"
         "ToTime-min=0",
         false},
        {"FromDate=1/2/2003&FromTime-24hr=-1&FromTime-min=0&ToDate=1/3/2004&ToTime-24hr=0&"
         "ToTime-min=0",
         false},
        {"FromDate=1/2/2003&FromTime-24hr=99999999999&FromTime-min=99999999999&ToDate=1/3/2004&"
         "ToTime-24hr=0&ToTime-min=0",
         false},
        {"FromDate-day=99999999999&FromDate-mon=1&FromDate-year=2003&FromTime-24hr=0&"
         "FromTime-min=0&ToDate=1/3/2004&ToTime-24hr=0&ToTime-min=0",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        CVornTCPSocket connection;
        CVornHTTPRequest request(nullptr, &connection, 0, CVornString(Path("spool").c_str()));
        ASSERT_TRUE(request.ParseFormVariables(CVornString(c.fields.c_str())));
        CVornDate from(0);
        CVornDate to(0);
        ASSERT_EQ(c.valid, ReadReportRange(&request, from, to));
        if (!c.valid)
            continue;
        int date = 0, time = 0;
        from.GetPacked(&date, &time, nullptr);
        EXPECT_EQ(c.from[0], date);
        EXPECT_EQ(c.from[1], time);
        to.GetPacked(&date, &time, nullptr);
        EXPECT_EQ(c.to[0], date);
        EXPECT_EQ(c.to[1], time);
    }
}

// Thirty seconds of searching without a match send a progress mark, and
// each paragraph goes out as soon as it is found.
TEST_F(AccessReportTest, ALongSearchSendsProgressMarks) {
    WriteActivity({{1, "1"}, {2, "5"}, {52, "first"}});
    WriteActivity({{1, "1"}, {2, "6"}, {52, "other"}});
    const std::string lines = testsupport::ReadWhole(m_Activity);
    const std::string matching = lines.substr(0, lines.find("\r\n") + 2);
    const std::string other = lines.substr(matching.size());
    webtest::FedDayFile next(Path("zelgw" + std::to_string(webtest::PackedDay(m_Now + 86400))));
    ASSERT_TRUE(next.Made());

    webtest::StreamingBrowser browser;
    ASSERT_TRUE(browser.Post(m_Port, "/AccessReport",
                             "objtype=S&Actions=5&" + RangeFields(m_Now, 2), LogIn()));
    ASSERT_TRUE(browser.ReadUntil("first")) << browser.Received();
    ASSERT_TRUE(next.WaitForReader());
    // The clock is read every 128 lines.
    platform::SetTestTime(m_Now + CActivityLogSearch::kTimeBudget + 1);
    std::string many;
    for (int i = 0; i < 2 * CActivityLogSearch::kClockEvery; ++i) many += other;
    ASSERT_TRUE(next.Feed(many));
    ASSERT_TRUE(browser.ReadUntil("...<br><br>")) << browser.Received();
    EXPECT_FALSE(Has(browser.Received(), "</table></font>"));

    std::string last = matching;
    last.replace(last.find("first"), 5, "final");
    ASSERT_TRUE(next.Feed(last));
    ASSERT_TRUE(browser.ReadUntil("final")) << browser.Received();
    next.Close();
    const std::string& all = browser.ReadAll();
    size_t mark = all.find("...<br><br>");
    EXPECT_LT(all.find("first"), mark);
    EXPECT_LT(mark, all.find("final"));
    EXPECT_TRUE(all.size() > 15 && all.substr(all.size() - 15) == "</table></font>") << all;
}

// A browser that stops reading holds each write for the send time-out: once
// one has failed the report writes no more, so its search goes on to the
// end of the range without waiting on the browser again.
TEST_F(AccessReportTest, ABrowserThatStopsReadingEndsTheSearch) {
    WriteActivity({{1, "1"}, {2, "5"}, {52, "stalled"}});
    const std::string lines = testsupport::ReadWhole(m_Activity);
    const size_t start = lines.rfind("\r\n", lines.find("stalled")) + 2;
    const std::string line = lines.substr(start, lines.find("\r\n", start) + 2 - start);
    // Some six megabytes of paragraphs, more than the socket buffers hold
    // (a send buffer may grow to 4 MB).
    std::string many;
    for (int i = 0; i < 25000; ++i) many += line;
    testsupport::WriteWhole(Path("zelgw" + std::to_string(webtest::PackedDay(m_Now + 86400))),
                            many);
    webtest::FedDayFile last(Path("zelgw" + std::to_string(webtest::PackedDay(m_Now + 2 * 86400))));
    ASSERT_TRUE(last.Made());

    struct ResetTimeouts {
        ~ResetTimeouts() { CVornTCPSocket::ResetTimeouts(); }
    } reset;
    CVornTCPSocket::SetSendTimeoutMs(300);
    webtest::StreamingBrowser browser;
    ASSERT_TRUE(
        browser.Post(m_Port, "/AccessReport", "objtype=S&" + RangeFields(m_Now, 3), LogIn(), 4096));
    // Once a write has failed (300 ms after the buffers filled) the search
    // ends: the worker is free for the next page of the same address, and
    // the days after the one being read are never opened (the last one, a
    // FIFO, would hold a reader for ever). Waiting 300 ms for each of
    // thousands of paragraphs would have taken hours.
    EXPECT_TRUE(webtest::Has(Get("/Diag"), "Version")) << "the report held its worker";
    EXPECT_FALSE(last.WaitForReader(5)) << "the search went on after the browser stopped reading";
}

}  // namespace
