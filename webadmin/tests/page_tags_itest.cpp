// The administration's page tags, rendered by the real template processor
// in pages served by the web administration.
#include <gtest/gtest.h>
#include <time.h>

#include <memory>
#include <string>

#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/vorn_date.h"
#include "gateway/scanner_manager.h"
#include "gateway/service_startup.h"
#include "gateway/tests/fake_plugin/fake_wexlor.h"
#include "gateway/update_scheduler.h"
#include "platform/shared_library.h"
#include "webadmin/tests/support/web_admin_fixture.h"

namespace {

using webtest::BodyOf;
using webtest::Has;

class PageTagsTest : public webtest::WebAdminTest {
protected:
    void TearDown() override {
        WebAdminTest::TearDown();
        g_ScannerManager = nullptr;
        g_UpdateScheduler = nullptr;
    }

    // The body of the page made of text, shown by Display; query adds form
    // variables ("&name=value...").
    std::string Render(const std::string& text, const std::string& query = "") {
        Page("tags_a.mhtml", "\r\n" + text);
        return BodyOf(Get("/Display?what=tags_a.mhtml" + query, LogIn()));
    }
};

TEST_F(PageTagsTest, HeaderAndFooterFrameThePage) {
    const std::string head =
        "<!-- Doctype HTML Public \"-//IETF//DTD HTML3.0//EN\" -->\r\n<html><head>";
    const std::string body =
        "</head><body bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"#003366\" vlink=\"#003366\" "
        "alink=\"#444444\">\r\n";
    const std::string end = "<!--End standard footer--></body></html>\r\n";
    struct Case {
        const char* page;
        std::string expected;  // what follows the two notice lines
    } cases[] = {
        {"<X-AdminHeader>", head + body},
        {"<X-adminheader title>", head + "<title></title>\r\n" + body},
        {"<X-ADMINHEADER title=\"A &amp; B\">", head + "<title>A &amp; B</title>\r\n" + body},
        // Without the files the footer is the end of the page alone; the
        // navigation bar only comes with the attribute.
        {"<X-AdminFooter>", end},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        std::string r = Render(c.page);
        if (c.expected.rfind("<!-- Doctype", 0) == 0) {
            ASSERT_TRUE(r.rfind("<!--", 0) == 0) << r;
            size_t second = r.find("\r\n", r.find("\r\n") + 2);
            ASSERT_NE(std::string::npos, second) << r;
            EXPECT_EQ(c.expected, r.substr(second + 2)) << r;
        } else {
            EXPECT_EQ(c.expected, r);
        }
    }

    Page("footer.mhtml", "<p>foot <X-ShowVar what></p>");
    EXPECT_EQ("<p>foot <X-ShowVar what></p>" + end, Render("<X-AdminFooter>"));
    Page("navbar.mhtml", "<p>bar</p>");
    EXPECT_EQ("<p>bar</p><p>foot <X-ShowVar what></p>" + end, Render("<X-AdminFooter navbar>"));
}


// A catalogue text of the product's compiled catalogues.
std::string Text(int number) {
    const char* text = GetCatalogText(number);
    return text ? text : "";
}

TEST_F(PageTagsTest, NamesMatchWithoutRegardToCaseAndOthersGoToTheCommonTags) {
    struct Case {
        const char* page;
        const char* expected;
    } cases[] = {
        {"[<X-ShowVersionNumber>]", "[2.1 bld 63]"},
        {"[<X-showversionnumber>]", "[2.1 bld 63]"},
        {"[<X-ListBox name=x>][<X-WORDBOX>]", "[][]"},
        // Not tags of the site: the common tags answer them or drop them.
        {"[<X-ShowUser>]", "[quendrial]"},
        {"[<X-NoSuchTag>]", "[]"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Render(c.page)) << c.page;
}

TEST_F(PageTagsTest, CanUseWebClientLetsAllowedUsersOnAndSendsOthersToTheLogin) {
    Page("user_login_l.mhtml", "\r\n<p>user login</p>\n<X-ShowVar loginerror>\n");
    const std::string mailPage = "<X-CanUseWebClient>\r\n<p>mail</p>\r\n";
    const std::string userEvent = "SU" + std::string("quendrial") +
                                  ",When=D,Date=0,Start=0,End=0,Repeat=1,AllowZELORMUI=";
    struct Case {
        std::string system;
        std::string userValue;  // the user's own default event; empty: none
        bool allowed;
    } cases[] = {
        {"", "", false},
        {"AllowZELORMUI=0", "", false},
        {"AllowZELORMUI=yes", "", false},
        {"AllowZELORMUI=-1", "", false},
        {"AllowZELORMUI=1", "", true},
        {"AllowZELORMUI=2", "", true},
        // The setting is the user's as it resolves, not the system's alone.
        {"AllowZELORMUI=0", "1", true},
        {"AllowZELORMUI=1", "0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.system + " / " + c.userValue);
        std::vector<std::string> lines;
        if (!c.userValue.empty())
            lines.push_back(userEvent + c.userValue);
        Configure(c.system, "MADGRS:SUCGLD", lines);
        Page("mail_a.mhtml", mailPage);
        const std::string cookie = LogIn();
        const std::string r = Get("/Display?what=mail_a.mhtml", cookie);
        std::vector<webtest::ActivityFields> records = Records();
        if (c.allowed) {
            EXPECT_EQ("<p>mail</p>\r\n", BodyOf(r));
            EXPECT_TRUE(records.empty());
            continue;
        }
        // The page stops at the tag: the web-mail login page with a fresh
        // session and the refusal's text takes its place.
        EXPECT_FALSE(Has(r, "<p>mail</p>")) << r;
        EXPECT_TRUE(Has(r, "\r\nSet-Cookie: ZELORM=")) << r;
        EXPECT_TRUE(Has(BodyOf(r), "<p>user login</p>\n" + Text(285) + "\n")) << r;
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ("4", records[0][1]);
        EXPECT_EQ("16", records[0][2]);
        EXPECT_EQ(0u, records[0].count(3));
        EXPECT_EQ("quendrial", records[0][10]);
        EXPECT_EQ("127.0.0.1", records[0][11]);
        EXPECT_EQ(Text(419), records[0][100]);
    }

    // The page's own message replaces the standard one, and is escaped where
    // the login page shows it.
    Configure();
    Page("mail_a.mhtml", "<X-CanUseWebClient message=\"Ask IT & wait\">\r\n<p>mail</p>\r\n");
    const std::string r = Get("/Display?what=mail_a.mhtml", LogIn());
    EXPECT_TRUE(Has(BodyOf(r), "<p>user login</p>\nAsk IT &amp; wait\n")) << r;
}

TEST_F(PageTagsTest, EventTableListsTheObjectsEventsBySection) {
    Configure("", "MADGRS:SUCGLD",
              {"DUmaria,", "SUmaria,When=3,Date=0,Start=90000,End=110000,Repeat=1,AllowSMTP=1",
               "SUmaria,When=D,Date=0,Start=0,End=0,Repeat=1,FilterMode=F",
               "SS,When=D,Date=0,Start=0,End=0,Repeat=1,FilterMode=A",
               "SS,When=1,Date=0,Start=80000,End=170000,Repeat=1"});
    const std::string maria = "&objtype=U&objname=maria";
    auto heading = [](int number) {
        return "<tr><th align=center colspan=2><font size=\"-1\">" + Text(number) +
               "</font></th></tr>\r\n";
    };
    const std::string none = "<tr><td align=center colspan=2><i>" + Text(279) + "</i></td></tr>";
    const std::string defaultId = "D0000000000000";
    const std::string weeklyId = "30090000110000";

    // With radio exactly the first input of the table is checked; the rows
    // end with the event's permission summary.
    std::string r = Render("<X-EventTable radio>", maria);
    ASSERT_EQ(0u, r.rfind("<table width=\"100%\" border=1>" + heading(266), 0)) << r;
    EXPECT_TRUE(Has(r, "<tr><td align=center><input type=radio name=\"Event\" value=\"" +
                           defaultId + "\" checked></td>\r\n<td><font size=\"-1\">" + Text(266)))
        << r;
    EXPECT_TRUE(Has(r, Text(272) + ",    </font></td></tr>\r\n" + heading(280))) << r;
    EXPECT_TRUE(Has(r, "<input type=radio name=\"Event\" value=\"" + weeklyId + "\"></td>")) << r;
    EXPECT_TRUE(Has(r, Text(253) + ", " + Text(277) + ",   </font></td></tr>\r\n" +
                           heading(281) + none + "</table>\r\n"))
        << r;

    // Check boxes under the page's name; none is checked.
    r = Render("<X-EventTable name=Sel>", maria);
    EXPECT_TRUE(Has(r, "<input type=checkbox name=\"Sel\" value=\"" + defaultId + "\"></td>"))
        << r;
    EXPECT_FALSE(Has(r, "checked")) << r;

    // skipSysDefault: the system's default event has no input, so the first
    // weekday input is the checked one.
    r = Render("<X-EventTable radio skipSysDefault>", "&objtype=S");
    EXPECT_TRUE(Has(r, heading(266) + "<tr><td>&nbsp; </td><td><font size=\"-1\">")) << r;
    EXPECT_TRUE(Has(r, "value=\"10080000170000\" checked></td>")) << r;
    // ... but only on the system object.
    r = Render("<X-EventTable radio skipSysDefault>", maria);
    EXPECT_TRUE(Has(r, "value=\"" + defaultId + "\" checked></td>")) << r;

    // An object without events, or none at all: three empty sections.
    const std::string empty = "<table width=\"100%\" border=1>" + heading(266) + none +
                              heading(280) + none + heading(281) + none + "</table>\r\n";
    EXPECT_EQ(empty, Render("<X-EventTable>", "&objtype=U&objname=nobody"));
    EXPECT_EQ(empty, Render("<X-EventTable>"));
}

TEST_F(PageTagsTest, ObjBarShowsTheBarOfTheObjectType) {
    struct Case {
        const char* query;
        const char* expected;
    } cases[] = {
        {"&objtype=C", "<img src=\"/images/english/clientbar.gif\" height=\"28\" width=\"116\">"},
        {"&objtype=Dict", "<img src=\"/images/english/dictbar.gif\" height=\"28\" width=\"202\">"},
        {"&objtype=G", "<img src=\"/images/english/castbar.gif\" height=\"28\" width=\"91\">"},
        {"&objtype=L", "<img src=\"/images/english/listbar.gif\" height=\"28\" width=\"76\">"},
        {"&objtype=S", "<img src=\"/images/english/systembar.gif\" height=\"28\" width=\"140\">"},
        {"&objtype=U", "<img src=\"/images/english/userbar.gif\" height=\"28\" width=\"95\">"},
        {"&objtype=u", ""},
        {"&objtype=X", ""},
        {"&objtype=", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ("[" + std::string(c.expected) + "]", Render("[<X-ObjBar>]", c.query)) << c.query;
}

TEST_F(PageTagsTest, OtherMimeListsTheBlockedTypesBeyondTheStandardOnes) {
    Configure("", "MADGRS:SUCGLD",
              {"DUmaria,",
               "SUmaria,When=D,Date=0,Start=0,End=0,Repeat=1,BlockedMIMETypes=user/one image/*",
               "SS,When=D,Date=0,Start=0,End=0,Repeat=1,BlockedMIMETypes=video/*\x1Csys/one"});
    const std::string maria = "&objtype=U&objname=maria&Event=D0000000000000";
    struct Case {
        std::string query;
        std::string expected;
    } cases[] = {
        // From the form, whatever the object holds.
        {maria + "&BlockedMIMETypes=image/*%20application/x-foo%20audio/*", "application/x-foo "},
        {"&BlockedMIMETypes=audio%20AUDIO/*%20a/b%1C%1C%20%20c/d%1C", "AUDIO/* a/b c/d "},
        // A variable sent twice holds both values.
        {"&BlockedMIMETypes=x/y&BlockedMIMETypes=video/*", "x/y "},
        {maria + "&BlockedMIMETypes=", ""},
        // Text of the request is escaped; a variable holding a NUL byte never
        // reaches the page (the system's default event shows instead).
        {"&BlockedMIMETypes=%3Cscript%3E%22/x", "&lt;script&gt;&quot;/x "},
        {"&BlockedMIMETypes=image/*%00x%20b/c", "sys/one "},
        // From the event, else from the system's default event.
        {maria, "user/one "},
        {"&objtype=U&objname=maria&Event=10000000000000", "sys/one "},
        {"&objtype=U&objname=nobody", "sys/one "},
    };
    for (const Case& c : cases)
        EXPECT_EQ("[" + c.expected + "]", Render("[<X-OtherMIME>]", c.query)) << c.query;

    // Nothing anywhere: nothing written.
    Configure();
    EXPECT_EQ("[]", Render("[<X-OtherMIME>]", "&objtype=S"));
}

TEST_F(PageTagsTest, ShowFileCopiesFilesOfTheLocalDirectoryOnly) {
    testsupport::WriteWhole(Path("local/a.txt"), "alpha");
    testsupport::WriteWhole(Path("local/b.html"), "<b>beta</b>\r\n");
    testsupport::WriteWhole(Path("secret.txt"), "secret");
    std::string big;
    for (int i = 0; big.size() < 200000; ++i) big += std::to_string(i) + "\n";
    testsupport::WriteWhole(Path("local/big.txt"), big);
    struct Case {
        const char* page;
        std::string expected;
    } cases[] = {
        {"[<X-ShowFile a.txt>]", "[alpha]"},
        {"[<X-ShowFile b.html=ignored>]", "[<b>beta</b>\r\n]"},  // copied as it is
        {"[<X-ShowFile missing.txt>]", "[]"},
        {"[<X-ShowFile big.txt>]", "[" + big + "]"},
        // Names that would leave the local directory are refused.
        {"[<X-ShowFile ../secret.txt>]", "[]"},
        {"[<X-ShowFile ..>][<X-ShowFile .>]", "[][]"},
        {"[<X-ShowFile /etc/hostname>]", "[]"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Render(c.page)) << c.page;
}

TEST_F(PageTagsTest, ShowRegWritesProductRegistryValuesEscaped) {
    WriteRegistry({{"Greeting", "\"a<b \\\"c\\\" & d\""}});
    struct Case {
        const char* page;
        const char* expected;
    } cases[] = {
        {"[<X-ShowReg Greeting>]", "[a&lt;b &quot;c&quot; &amp; d]"},
        {"[<X-ShowReg Greeting usequotes>]", "[\"a&lt;b &quot;c&quot; &amp; d\"]"},
        {"[<X-ShowReg NoSuchValue usequotes>]", "[\"\"]"},
        // Only the exact "usequotes" asks for quotes, but no spelling of it
        // is read as a value.
        {"[<X-ShowReg Greeting USEQUOTES>]", "[a&lt;b &quot;c&quot; &amp; d]"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, Render(c.page)) << c.page;
}

// The scripted scanner plug-in's control block (the library stays loaded).
FakeWexlorControl* FakeControl(bool reset) {
    static void* library = platform::OpenSharedLibrary(ZELORM_FAKE_WEXLOR, nullptr);
    static auto get = reinterpret_cast<FakeWexlorGetControlFunc>(
        platform::SharedLibrarySymbol(library, FAKE_WEXLOR_CONTROL_NAME));
    return get ? get(reset ? 1 : 0) : nullptr;
}

TEST_F(PageTagsTest, VirusDefVersionShowsTheScannersDefinitions) {
    EXPECT_EQ("[]", Render("[<X-VirusDefVersion>]"));  // no scanner

    FakeWexlorControl* control = FakeControl(true);
    ASSERT_NE(nullptr, control);
    auto holder = std::make_unique<CScannerManager>();
    holder->SetLibraryPath(ZELORM_FAKE_WEXLOR);
    ASSERT_TRUE(holder->Load("ZELORM_20", Path("zelex15.inf").c_str(), Path("spool").c_str(), 3));
    struct tm day = {};
    day.tm_year = 2024 - 1900;
    day.tm_mon = 2;
    day.tm_mday = 5;
    day.tm_hour = 12;
    day.tm_isdst = -1;
    control->defsDate = mktime(&day);
    control->defsRevision = 4000000007u;
    g_ScannerManager = holder.get();
    EXPECT_EQ("[2024-03-05 (4000000007)]", Render("[<X-VirusDefVersion>]"));
    control->defsInfoResult = 65535;  // the plug-in does not answer
    EXPECT_EQ("[]", Render("[<X-VirusDefVersion>]"));

    g_ScannerManager = nullptr;
    holder.reset();
    EXPECT_EQ(0, control->liveObjects.load()) << "a definitions object was not released";
}

TEST_F(PageTagsTest, LastUpdateTagsShowTheSchedulersLastRun) {
    const std::string page = "[<X-LastKelbrookAttempt>][<X-LastKelbrookStatus>]";
    // Without a scheduler neither tag claims anything.
    EXPECT_EQ("[][]", Render(page));

    CUpdateScheduler::Options options;
    options.startThread = false;
    CUpdateScheduler scheduler("ZELORM", nullptr, options);
    g_UpdateScheduler = &scheduler;
    const time_t start = m_Now - 3600;
    CVornString shown;
    CVornDate(start).FormatDisplay(shown);
    const std::string attempt = shown.CStr();
    const std::string ran = "ZELORMKBLastStart=" + std::to_string(start) +
                            ",ZELORMKBLastFinish=" + std::to_string(start + 60) +
                            ",ZELORMKBLastResult=";
    auto failed = [](const std::string& detail) { return Text(839) + " (" + detail + ")"; };
    struct Case {
        std::string system;
        std::string attempt;
        std::string status;
    } cases[] = {
        {"", Text(835), Text(836)},
        {"ZELORMKBLastStart=" + std::to_string(start), attempt, Text(837)},
        {ran + "0", attempt, Text(838)},
        {ran + "1", attempt, Text(838) + " (" + Text(846) + ")"},
        {ran + "2", attempt, failed(Text(844))},
        {ran + "4", attempt, failed(Text(845))},
        {ran + "5", attempt, failed(Text(845))},
        {ran + "6", attempt, failed(Text(845))},
        {ran + "100", attempt, failed(Text(840))},
        {ran + "101", attempt, failed(Text(843))},
        {ran + "104", attempt, failed(Text(841))},
        {ran + "105", attempt, failed(Text(842))},
        {ran + "3", attempt, failed("3")},
        {ran + "107", attempt, failed("107")},
        {ran + "-2", attempt, failed("-2")},
    };
    for (const Case& c : cases) {
        Configure(c.system);
        EXPECT_EQ("[" + c.attempt + "][" + c.status + "]", Render(page)) << c.system;
    }
    g_UpdateScheduler = nullptr;
}

TEST_F(PageTagsTest, RouteBoxListsTheRelayRoutesByDomain) {
    EXPECT_EQ("<select name=\"objname\" size=\"1\" >\r\n</select>\r\n", Render("<X-RouteBox>"));

    Configure("RelayRouting=b.example -> mx.b:2525\x1C" "A.example\x1Cq\"<x>.example -> h");
    EXPECT_EQ("<select name=\"routes\" size=\"4\" multiple>\r\n"
              "<option value=\"A.example\">A.example\r\n"
              "<option value=\"b.example -&gt; mx.b:2525\">b.example -&gt; mx.b:2525\r\n"
              "<option value=\"q&quot;&lt;x&gt;.example -&gt; h\">"
              "q&quot;&lt;x&gt;.example -&gt; h\r\n"
              "</select>\r\n",
              Render("<X-RouteBox name=routes size=4 multiple>"));
}

}  // namespace
