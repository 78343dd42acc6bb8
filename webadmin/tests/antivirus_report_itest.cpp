// The anti-virus report: records of the mail pipeline and of the scanning
// written with the real activity-log writer on the test's own day, the
// report asked for by curl (or by a browser that goes away) from a real
// CVornHTTPServer; the kilobyte sum is checked directly.
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>

#include <string>
#include <vector>

#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "platform/clock.h"
#include "webadmin/antivirus_report.h"
#include "webadmin/tests/support/report_support.h"
#include "webadmin/tests/support/web_admin_fixture.h"

namespace {

using webtest::BodyOf;
using webtest::Has;
using webtest::RangeFields;
using webtest::WriteActivity;

std::string Catalog(int number) {
    const char* text = GetCatalogText(number);
    return text ? text : "";
}

// A statistics row as the report writes it.
std::string Row(int label, const std::string& value) {
    const std::string font = "<font size=2 face=\"Arial, Helvetica\">";
    return "<tr><td align=left>" + font + Catalog(label) +
           "</font></td><td width=10>&nbsp;</td><td align=right>" + font + value +
           "</font></td></tr>";
}

// A virus row.
std::string VirusRow(const std::string& shownName, int id, int count) {
    const std::string font = "<font size=2 face=\"Arial, Helvetica\">";
    return "<tr><td align=left>" + font + "<a href=\"http://" + kVirusInfoHost +
           "/avcenter/venc/ebld/enc.cgi?vid=" + std::to_string(id) + "&lang=us\" target=\"new\">" +
           shownName + "</a></font></td><td width=10>&nbsp;</td><td align=right>" + font +
           std::to_string(count) + "</font></td></tr>";
}

class AntivirusReportTest : public webtest::WebAdminTest {
protected:
    void SetUp() override {
        webtest::WebAdminTest::SetUp();
        // A fed day file's reader that has gone must not end the test.
        signal(SIGPIPE, SIG_IGN);
    }

    std::string Report(time_t day) {
        return BodyOf(Post("/RazoVidezReport", "objtype=S&" + RangeFields(day), LogIn()));
    }

    // A finding of the scanning (event 300, 301 or 302).
    static void Finding(int event, const std::string& name, const std::string& id) {
        std::map<int, std::string> fields{
            {1, "1"}, {2, std::to_string(event)}, {52, "m"}, {1102, "mail/part"}};
        if (!name.empty())
            fields[1100] = name;
        if (!id.empty())
            fields[1101] = id;
        WriteActivity(fields);
    }
};

TEST_F(AntivirusReportTest, KilobytesAreCarriedAndRounded) {
    struct Case {
        std::vector<long long> sizes;
        unsigned long kilobytes;
    } cases[] = {
        {{}, 0},
        // 1100 bytes: 1024 carried, 76 left.
        {{1000, 100}, 1},
        // 1024 bytes are not carried (not above 1024) but rounded.
        {{1000, 24}, 1},
        {{511}, 0},
        {{512}, 1},
        {{2047}, 2},
        {{1025, 1025}, 2},
        {{-5000, 600}, 1},
        // No overflow, however large the sizes.
        {{INT_MAX, INT_MAX}, 4194304},
    };
    for (const Case& c : cases) {
        CReportKilobytes sum;
        for (long long size : c.sizes) sum.Add(size);
        EXPECT_EQ(c.kilobytes, sum.Kilobytes()) << ::testing::PrintToString(c.sizes);
    }
}

TEST_F(AntivirusReportTest, ARangeWithoutRecordsCountsNothing) {
    std::string body = Report(m_Now + 86400);
    EXPECT_TRUE(Has(body, "<title>" + Catalog(848) + "</title>")) << body;
    EXPECT_TRUE(Has(body, "<br><center><font size=3 face=\"Arial, Helvetica\"><b>" + Catalog(849) +
                              "</b></font><hr width=\"75%\">"))
        << body;
    for (int label : {851, 852, 853, 854, 856, 857, 858, 870, 863, 860, 861, 284, 862})
        EXPECT_TRUE(Has(body, Row(label, "0"))) << label << "\n" << body;
    EXPECT_FALSE(Has(body, Catalog(864))) << body;
    EXPECT_TRUE(body.size() > 15 && body.substr(body.size() - 15) == "</table></font>") << body;
}

TEST_F(AntivirusReportTest, EventsAreCountedAndVirusesListed) {
    // The pipeline.
    WriteActivity({{1, "1"}, {2, "5"}, {52, "a"}, {23, "1000"}});
    WriteActivity({{1, "1"}, {2, "5"}, {52, "b"}, {23, "100"}});
    WriteActivity({{1, "1"}, {2, "6"}, {52, "a"}});
    WriteActivity({{1, "1"}, {2, "7"}, {52, "a"}});
    WriteActivity({{1, "1"}, {2, "19"}, {11, "10.0.0.1"}});
    WriteActivity({{1, "1"}, {2, "20"}, {52, "a"}});
    WriteActivity({{1, "1"}, {2, "21"}, {52, "b"}});
    WriteActivity({{1, "1"}, {2, "21"}, {52, "b"}});
    // Not read at all: no message, no object, not a local error.
    WriteActivity({{1, "1"}, {2, "5"}, {23, "999999"}});
    WriteActivity({{1, "1"}, {2, "13"}, {11, "10.0.0.1"}});
    // The scanning: three findings of one name, one of another, one without
    // a name (counted, not listed), one of a name that needs escaping.
    Finding(300, "Worm.Alpha", "11");
    Finding(301, "Worm.Alpha", "99");
    Finding(301, "Worm.Alpha", "");
    Finding(302, "Trojan.Beta", "");
    Finding(302, "", "5");
    Finding(300, "<b>Bad</b>&Co", "7");
    WriteActivity({{1, "1"}, {2, "305"}, {52, "m"}, {1102, "mail/blocked.exe"}});
    WriteActivity({{1, "1"}, {2, "303"}, {3, "1"}, {52, "m"}, {1102, "pkg"}});
    WriteActivity({{1, "1"}, {2, "303"}, {3, "2"}, {52, "m"}, {1102, "pkg"}});

    std::string body = Report(m_Now);
    struct Expected {
        int label;
        const char* value;
    } rows[] = {{851, "2"}, {852, "1"}, {853, "1"}, {854, "1"}, {856, "1"}, {857, "2"}, {858, "1"},
                {870, "1"}, {863, "2"}, {860, "2"}, {861, "2"}, {284, "6"}, {862, "1"}};
    for (const Expected& e : rows)
        EXPECT_TRUE(Has(body, Row(e.label, e.value))) << e.label << "\n" << body;

    // The first finding of a name gives its id.
    EXPECT_TRUE(Has(body, VirusRow("Worm.Alpha", 11, 3))) << body;
    EXPECT_TRUE(Has(body, VirusRow("Trojan.Beta", 0, 1))) << body;
    EXPECT_TRUE(Has(body, VirusRow("&lt;b&gt;Bad&lt;/b&gt;&amp;Co", 7, 1))) << body;
    EXPECT_FALSE(Has(body, "<b>Bad")) << body;
    EXPECT_FALSE(Has(body, "blocked.exe")) << body;
    const std::string font = "<font size=2 face=\"Arial, Helvetica\">";
    EXPECT_TRUE(Has(body, "<tr><td align=left>" + font + Catalog(865) +
                              "</font></td><td width=10>&nbsp;</td><td align=right>" + font +
                              Catalog(866) + "</font></th></tr><tr><td colspan=3><hr></td></tr>"))
        << body;
    // Only three rows in the list.
    size_t list = body.find(Catalog(864));
    ASSERT_NE(std::string::npos, list);
    size_t rowsInList = 0;
    for (size_t at = body.find("<a href=", list); at != std::string::npos;
         at = body.find("<a href=", at + 1))
        ++rowsInList;
    EXPECT_EQ(3u, rowsInList) << body;
}

TEST_F(AntivirusReportTest, LoginPermissionAndRangeAreChecked) {
    // No bare-GET shortcut: a request without a session gets the login.
    Page("ormadmin_login.mhtml", "\r\n<p>admin login <X-ShowVar action></p>\n");
    std::string r = Get("/RazoVidezReport");
    EXPECT_TRUE(Has(r, "admin login RazoVidezReport")) << r;

    Configure("", "MADG:SUCGLD");
    r = Post("/RazoVidezReport", "objtype=S&" + RangeFields(m_Now), LogIn());
    EXPECT_TRUE(Has(BodyOf(r), Catalog(84))) << r;
    auto records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ((webtest::ActivityFields{
                  {1, "3"}, {2, "16"}, {10, "quendrial"}, {11, "127.0.0.1"}, {100, Catalog(408)}}),
              records[0]);

    Configure();
    r = Post("/RazoVidezReport", "objtype=S&FromDate=1/2/2003", LogIn());
    EXPECT_TRUE(Has(BodyOf(r), Catalog(177))) << r;
    EXPECT_FALSE(Has(r, Catalog(849))) << r;
}

// While the search runs, a dot line at most every ten seconds; a browser
// that has gone ends the report (its search closes the day file).
TEST_F(AntivirusReportTest, ABrowserThatGoesAwayEndsTheSearch) {
    WriteActivity({{1, "1"}, {2, "5"}, {52, "a"}, {23, "10"}});
    const std::string line = testsupport::ReadWhole(m_Activity);
    webtest::FedDayFile next(Path("zelgw" + std::to_string(webtest::PackedDay(m_Now + 86400))));
    ASSERT_TRUE(next.Made());

    webtest::StreamingBrowser browser;
    ASSERT_TRUE(
        browser.Post(m_Port, "/RazoVidezReport", "objtype=S&" + RangeFields(m_Now, 2), LogIn()));
    ASSERT_TRUE(next.WaitForReader());
    time_t now = m_Now + 11;
    platform::SetTestTime(now);
    ASSERT_TRUE(next.Feed(line));
    ASSERT_TRUE(browser.ReadUntil("\r\n.\r\n")) << browser.Received();
    EXPECT_TRUE(Has(browser.Received(), "HTTP/1.0 200")) << browser.Received();
    EXPECT_TRUE(Has(browser.Received(), "<title>" + Catalog(848) + "</title>"));
    EXPECT_EQ(browser.Received().find("\r\n.\r\n"), browser.Received().rfind("\r\n.\r\n"));

    browser.Close();
    bool ended = false;
    for (int i = 0; i < 40 && !ended; ++i) {
        now += 11;
        platform::SetTestTime(now);
        ended = !next.Feed(line) || next.ReaderGone(500);
    }
    EXPECT_TRUE(ended) << "the search went on for a browser that had gone";
}

}  // namespace
