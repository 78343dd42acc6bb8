// The diagnostics page ("Diag") and the page of effective settings
// ("ShowSettings"), served by a real CVornHTTPServer and read by curl.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/tests/support/files.h"
#include "core/vorn_date.h"
#include "net/dns_message.h"
#include "net/dns_resolver.h"
#include "net/host_address.h"
#include "platform/clock.h"
#include "webadmin/tests/support/web_admin_fixture.h"
#include "webadmin/web_admin.h"

namespace {

using testsupport::WriteWhole;
using webtest::BodyOf;
using webtest::Has;

constexpr const char* kFooter = "<!--End standard footer--></body></html>\r\n";

// The header part of a whole response (up to its empty line).
std::string HeadOf(const std::string& response) {
    return response.substr(0, response.find("\r\n\r\n") + 2);
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The response must be a header part holding the Pragma line, then a body
// that begins with the page head's comment.
void ExpectFramed(const std::string& response) {
    ASSERT_EQ(0u, response.rfind("HTTP/1.0 200 ", 0)) << response;
    const std::string head = HeadOf(response);
    EXPECT_TRUE(Has(head, "\r\nPragma: No-Cache\r\n")) << head;
    EXPECT_TRUE(Has(head, "\r\nContent-Type: text/html\r\n")) << head;
    EXPECT_FALSE(Has(head, "<!--")) << head;
    EXPECT_EQ(0u, BodyOf(response).rfind("<!--", 0)) << response;
}

class DiagnosticsPagesTest : public webtest::WebAdminTest {
protected:
    // The cell after the label of the settings page's top table.
    static std::string Cell(const std::string& body, const std::string& label) {
        const std::string open = label + ":</th><td>";
        size_t at = body.find(open);
        if (at == std::string::npos)
            return "<missing>";
        at += open.size();
        return body.substr(at, body.find("</td>", at) - at);
    }

    // The label and value of every line of the settings table, in order.
    static std::vector<std::pair<std::string, std::string>> Lines(const std::string& body) {
        static const std::regex line(
            "<th colspan=2 align=left>([^<]*):</th><td colspan=2>(.*?)</td></tr>");
        std::vector<std::pair<std::string, std::string>> out;
        for (std::sregex_iterator it(body.begin(), body.end(), line), end; it != end; ++it)
            out.emplace_back((*it)[1].str(), (*it)[2].str());
        return out;
    }

    static std::string Value(const std::vector<std::pair<std::string, std::string>>& lines,
                             const std::string& label) {
        for (const auto& [name, value] : lines)
            if (name == label)
                return value;
        return "<missing>";
    }
};

TEST_F(DiagnosticsPagesTest, DiagShowsCountersToEveryoneAndNoFilesWithoutPermission) {
    Page("navbar.mhtml", "<p>bar</p>");
    Page("footer.mhtml", "<p>foot</p>");
    // Two chains of one record each, one chain of two MX records and a
    // negative entry; after two minutes the two address records have
    // expired, the rest not.
    DnsCacheFlush();
    int address = 0;
    ASSERT_TRUE(ParseDottedQuad(CVornString("192.0.2.1"), &address));
    CDnsRecord* records[] = {
        new CDnsRecord(CVornString("a.example"), 60,
                       CVornHostAddressEntry(static_cast<uint32_t>(address)), false),
        new CDnsRecord(CVornString("b.example"), 30,
                       CVornHostAddressEntry(static_cast<uint32_t>(address)), false),
        new CDnsRecord(CVornString("mx.example"), 170, kDnsTypeMX, CVornString("a.mx"), false, 10),
        new CDnsRecord(CVornString("mx.example"), 170, kDnsTypeMX, CVornString("b.mx"), false, 20),
        new CDnsRecord(CVornString("gone.example"), 170, kDnsTypeMX, true),
    };
    for (CDnsRecord*& record : records) DnsCacheAdd(&record);
    platform::SetTestTime(m_Now + 120);

    const std::string expected =
        "\r\n<b>Version: </b>2.1 bld 63</br>\r\n<b>Run Began: </b>" +
        std::string(StartTimeText.CStr()) +
        "<br>\r\n<br><b>DNS Cache Info:</b> chains=4, items=5, expired=2, null=0, nxdomain=1"
        "<br><br>\r\n<b>Cached Messages: </b>0<br><p>bar</p><p>foot</p>" +
        kFooter;
    // No cookie, a cookie of no session, and a logged-in user without "RS".
    Configure("", "MADG:UCGL");
    for (const std::string& cookie : {std::string(), std::string("12345"), LogIn()}) {
        SCOPED_TRACE("cookie " + cookie);
        const std::string response = Get("/Diag", cookie);
        ExpectFramed(response);
        const std::string body = BodyOf(response);
        EXPECT_TRUE(Has(body, "<title>Diag</title>")) << body;
        const size_t at = body.find("\r\n<b>Version: ");
        ASSERT_NE(std::string::npos, at) << body;
        EXPECT_EQ(expected, body.substr(at));
    }
    DnsCacheFlush();
}

TEST_F(DiagnosticsPagesTest, DiagShowsFourConfigurationFilesEscapedToAnAdministrator) {
    WriteWhole(Path("local/lists"), "DLstaff,A,N,Owner=a&b <c> \"q\"\r\nsecond\r\n");
    // No "dictionaries"; a local configuration with bare LF line ends.
    WriteWhole(Path("local/local-config"), "# 2 0\nSLstaff,When=D\n");
    Configure("Note=<x>");

    const std::string response = Get("/Diag", LogIn());
    ExpectFramed(response);
    const std::string body = BodyOf(response);
    auto block = [](const std::string& path) { return "<br>File <b>" + path + "</b>:<br>\r\n"; };
    const std::vector<std::string> paths = {Path("local/lists"), Path("local/dictionaries"),
                                            Path("shared-config"), Path("local/local-config")};
    EXPECT_EQ(4, Count(body, "<br>File <b>")) << body;
    size_t last = 0;
    for (const std::string& path : paths) {
        const size_t at = body.find(block(path));
        ASSERT_NE(std::string::npos, at) << path << "\n" << body;
        EXPECT_LT(last, at) << path;
        last = at;
    }
    EXPECT_TRUE(
        Has(body, block(paths[0]) +
                      "<table noborder><tr><td><code>DLstaff, A, N, Owner=a&amp;b &lt;c&gt; "
                      "&quot;q&quot;\r\n</code></td></tr><tr><td><code>second\r\n"
                      "</code></td></tr></table>"))
        << body;
    EXPECT_TRUE(Has(body, block(paths[1]) + "<i>Cannot open</i><br><br>")) << body;
    EXPECT_TRUE(Has(body, "<tr><td><code>DS, Base=sys, Note=&lt;x&gt;\r\n</code></td></tr>"))
        << body;
    EXPECT_TRUE(Has(body, block(paths[3]) +
                              "<table noborder><tr><td><code># 2 0\n</code></td></tr>"
                              "<tr><td><code>SLstaff, When=D\n</code></td></tr></table>"))
        << body;
    EXPECT_TRUE(body.size() > strlen(kFooter) &&
                body.compare(body.size() - strlen(kFooter), std::string::npos, kFooter) == 0)
        << body;

    // Without the registry's values the service's own paths are shown.
    WriteWhole(Path("registry.reg"), "Windows Registry Editor Version 5.00\r\n\r\n");
    const std::string fallback = BodyOf(Get("/Diag", LogIn()));
    EXPECT_TRUE(Has(fallback, block("/var/lib/zelorm/lists"))) << fallback;
    EXPECT_TRUE(Has(fallback, block("/var/lib/zelorm/shared-config"))) << fallback;
    EXPECT_TRUE(Has(fallback, block("/var/lib/zelorm/local-config"))) << fallback;
}

TEST_F(DiagnosticsPagesTest, SettingsWithoutPermissionAreTheRequestingClientsAndTheSessionsUser) {
    const std::vector<std::string> objects = {
        "DC127.0.0.1,Cast=hosts,MailQuota=20",
        "DGhosts,AllowPOP=1",
        "DC10.0.0.9,MailQuota=7",
        "DUalice,VirtualAcct=1,MailQuota=99",
    };
    // A visitor without a session sees no user; a logged-in user without
    // "RS" sees the session's own. Both name a user and a client in vain.
    Configure("AllowSMTP=1", "MADG:UCGL", objects);
    const std::pair<std::string, std::string> viewers[] = {
        {"", ""}, {LogIn(), "quendrial (<i>virtual account</i>)"}};
    for (const auto& [cookie, user] : viewers) {
        SCOPED_TRACE("cookie " + cookie);
        const std::string response = Get("/ShowSettings?User=alice&Client=10.0.0.9", cookie);
        ExpectFramed(response);
        const std::string body = BodyOf(response);
        EXPECT_TRUE(Has(body, "<title>Effective settings</title>")) << body;
        EXPECT_TRUE(Has(body,
                        "<img src=\"/images/english/mailvorn.gif\" width=180 height=56><br>"
                        "<center><h3>Effective settings</h3><hr width=\"75%\"></center>"))
            << body;
        EXPECT_EQ("127.0.0.1", Cell(body, "Client"));
        EXPECT_EQ("hosts", Cell(body, "Client group"));
        EXPECT_EQ(user, Cell(body, "User"));
        EXPECT_EQ("", Cell(body, "User group"));
        CVornString now;
        CVornDate(m_Now).FormatDisplay(now);
        EXPECT_TRUE(
            Has(body, "Date:</th><td valign=top>" + std::string(now.CStr()) + "</td>"))
            << body;
        EXPECT_TRUE(Has(body, "Version:</th><td valign=top>2.1 bld 63<br>&nbsp;</td>")) << body;
        const auto lines = Lines(body);
        EXPECT_EQ("20 MBs", Value(lines, "Mail quota"));
        EXPECT_EQ("Mail, POP3", Value(lines, "Allowed"));
        EXPECT_TRUE(body.size() > strlen(kFooter) &&
                    body.compare(body.size() - strlen(kFooter), std::string::npos, kFooter) == 0)
            << body;
    }
}

TEST_F(DiagnosticsPagesTest, AnAdministratorNamesTheUserAndClientAndEverythingShownIsEscaped) {
    Configure("", "MADGRS:SUCGLD",
              {
                  "DUvirt,VirtualAcct=1,RealAcct=vacct",
                  "DUzero,VirtualAcct=0,RealAcct=zacct",
                  "DUreal,RealAcct=<b>r</b>",
                  "DUplain,Cast=staff",
                  "DGstaff,MailQuota=5",
                  "DC10.0.0.9,Cast=<grp>",
              });
    const std::string cookie = LogIn();
    struct Case {
        const char* user;  // URL-encoded
        const char* shown;
        const char* group;
    } cases[] = {
        {"virt", "virt (<i>virtual account</i>)", ""},
        // "VirtualAcct" of 0 shows no note, whatever "RealAcct" holds.
        {"zero", "zero", ""},
        {"real", "real (&lt;b&gt;r&lt;/b&gt;)", ""},
        {"plain", "plain (<i>no account</i>)", "staff"},
        {"nobody", "nobody (<i>no account</i>)", ""},
        {"%3Cscript%3E%22", "&lt;script&gt;&quot; (<i>no account</i>)", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        const std::string body =
            BodyOf(Get(std::string("/ShowSettings?Client=10.0.0.9&User=") + c.user, cookie));
        EXPECT_EQ(c.shown, Cell(body, "User"));
        EXPECT_EQ(c.group, Cell(body, "User group"));
        EXPECT_EQ("10.0.0.9", Cell(body, "Client"));
        EXPECT_EQ("&lt;grp&gt;", Cell(body, "Client group"));
    }
    EXPECT_EQ("5 MBs", Value(Lines(BodyOf(Get("/ShowSettings?User=plain", cookie))), "Mail quota"));
    const std::string body = BodyOf(Get("/ShowSettings?Client=%3Cb%3E", cookie));
    EXPECT_EQ("&lt;b&gt;", Cell(body, "Client"));
    EXPECT_EQ("", Cell(body, "Client group"));
}

TEST_F(DiagnosticsPagesTest, SettingLinesFollowTheirValues) {
    using Lines_ = std::vector<std::pair<std::string, std::string>>;
    const std::vector<std::string> lists = {"DLstaff,A,N,", "DLowner-staff,A,N,", "DLBeta,A,N,",
                                            "DLalpha,A,N,", "DLgamma,A,N,"};
    const std::string filterSettings =
        "SLstaff=D,SLowner-staff=D,SLalpha=Deny,RLBeta=A,RLalpha=allow,SLgamma=a,SLBeta=x,"
        "DictsToUse= \x1C"
        "en\x1C<de>,DDRThreshold=40,BlockedMIMETypes=audio/x\x1Cvideo/<y>,"
        "AutoLock=1,AutoLockX=5,AutoLockY=<10>";
    const Lines_ unfiltered = {{"Settings from", ""},
                               {"Mail quota", "No quota"},
                               {"Allowed", ""},
                               {"Mail from forbidden senders", "Status 4"},
                               {"Content filter", "Not filtered"}};
    auto with = [&](std::vector<std::pair<size_t, std::pair<std::string, std::string>>> changes) {
        Lines_ lines = unfiltered;
        for (auto& [at, line] : changes) lines[at] = line;
        return lines;
    };
    struct Case {
        std::string system;
        Lines_ expected;
    } cases[] = {
        {"", unfiltered},
        {"MailQuota=0", unfiltered},
        {"MailQuota=20", with({{1, {"Mail quota", "20 MBs"}}})},
        {"MailQuota=<9>", with({{1, {"Mail quota", "&lt;9&gt; MBs"}}})},
        {"AllowZELORMUI=1,AllowSMTP=1,AllowPOP=1",
         with({{2, {"Allowed", "Web access, Mail, POP3"}}})},
        {"AllowZELORMUI=0,AllowSMTP=1,AllowPOP=0", with({{2, {"Allowed", "Mail, "}}})},
        {"OnForbidden=Delete", with({{3, {"Mail from forbidden senders", "Discarded"}}})},
        {"OnForbidden=Save", with({{3, {"Mail from forbidden senders", "Kept"}}})},
        {"OnForbidden=bounce", unfiltered},
        // Only "A" and "F" filter: no list, dictionary, MIME or lock lines
        // otherwise, whatever those settings hold.
        {"FilterMode=U," + filterSettings, unfiltered},
        {"FilterMode=a," + filterSettings, unfiltered},
        {"FilterMode=F", with({{4, {"Content filter", "Filtered (forbid mode)"}}})},
        {"FilterMode=A," + filterSettings,
         [&] {
             Lines_ lines = with({{4, {"Content filter", "Filtered (allow mode)"}}});
             // Sorted without regard to case; "owner-" lists never appear.
             lines.push_back({"Senders refused by list", "alpha, staff, "});
             lines.push_back({"Senders accepted by list", "gamma, "});
             lines.push_back({"Recipients accepted by list", "alpha, Beta, "});
             lines.push_back({"Dictionaries", "en, &lt;de&gt;"});
             lines.push_back({"Dictionary score threshold", "40"});
             lines.push_back({"Blocked MIME types", "audio/x, video/&lt;y&gt;"});
             lines.push_back(
                 {"Automatic lock", "after 5 refused messages within &lt;10&gt; minutes"});
             return lines;
         }()},
        {"FilterMode=F,SLBeta=D,RLgamma=Deny,DictsToUse=\x1C,AutoLock=0,AutoLockX=3",
         [&] {
             Lines_ lines = with({{4, {"Content filter", "Filtered (forbid mode)"}}});
             lines.push_back({"Senders refused by list", "Beta, "});
             lines.push_back({"Recipients refused by list", "gamma, "});
             // A list of dictionaries that is blank shows as empty lines.
             lines.push_back({"Dictionaries", ""});
             lines.push_back({"Dictionary score threshold", ""});
             return lines;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.system);
        Configure(c.system, "MADGRS:SUCGLD", lists);
        const std::string body = BodyOf(Get("/ShowSettings"));
        EXPECT_EQ(c.expected, Lines(body)) << body;
    }

    // The "Where" line names the levels whose time events apply and loses
    // its trailing comma.
    Configure("", "MADGRS:SUCGLD",
              {"DC127.0.0.1,Cast=hosts", "DGhosts,", "SS,When=D,Date=0,Start=0,End=0,Repeat=1",
               "SC127.0.0.1,When=D,Date=0,Start=0,End=0,Repeat=1"});
    const std::string where = Value(Lines(BodyOf(Get("/ShowSettings"))), "Settings from");
    EXPECT_TRUE(Has(where, "System -- default schedule")) << where;
    EXPECT_TRUE(Has(where, "(127.0.0.1)")) << where;
    EXPECT_NE(',', where.back()) << where;
}

}  // namespace
