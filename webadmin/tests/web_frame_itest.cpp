// The web administration frame under a real CVornHTTPServer on 127.0.0.1,
// asked by curl: unknown URLs and bare commands go to the top page, pages
// render from a template folder the test writes, marked pages hand a
// request without a logged-in session to the login page with a fresh
// cookie, a logged-in cookie renders them, and bad input gets the error
// pages without echoing markup.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "config/config_store.h"
#include "core/tests/support/files.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/message_catalog.h"
#include "gateway/tests/support/activity_lines.h"
#include "net/http_server.h"
#include "platform/clock.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

using testsupport::RunCommand;

namespace fs = std::filesystem;
using testsupport::WriteWhole;

const char* const kUser = "quendrial";

class WebFrameTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ("ok\n", RunCommand("command -v curl >/dev/null && echo ok"))
            << "the integration tests need curl (scripts/packages)";
    }

    void SetUp() override {
        // The product's own catalogue, in English: the pages lie in the
        // folder "english".
        CVornMessageCatalog base;
        ASSERT_EQ(0, base.Load(ZELORM_CATALOG_DIR "/messages", 2, 9, 883, 0));
        SetCatalogLanguage(0);
        gatewaytest::StartActivityDay(m_Temp.Path(), &m_Now);
        WriteWhole(m_Temp.Path("shared-config"), "# 2 0\r\nDS,Base=sys\r\nDU" +
                                                     std::string(kUser) +
                                                     ",VirtualAcct=1,ZELORMPerms=MU\r\n");
        WriteWhole(m_Temp.Path("local-config"), "# 2 0\r\n");
        WriteWhole(m_Temp.Path("vendor-config"), "# 2 0\r\n");
        m_Store = std::make_unique<CVornConfigStore>(m_Temp.Path("shared-config").c_str(),
                                                     m_Temp.Path("local-config").c_str(),
                                                     m_Temp.Path("vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
        CVornString message;
        ASSERT_EQ(0, CVornConfigStore::SetPassword(kUser, "secret", message, 1));

        fs::create_directories(m_Temp.Path("html/english"));
        fs::create_directories(m_Temp.Path("images"));
        fs::create_directories(m_Temp.Path("spool"));
        WriteWhole(m_Temp.Path("images/dot.gif"), "GIF89a");
        Page("otop.html", "Content-Type: text/html\r\n\r\n<p>top</p>\n");
        Page("ormadmin_login.mhtml",
             "\r\n<p>admin login</p>\n"
             "<X-If varstmt=\"action EQ Display\">action=Display\n<X-Fi>"
             "<X-If varstmt=\"HV-what EQ secret_a.mhtml\">carries what\n<X-Fi>");
        Page("user_login_l.mhtml", "\r\n<p>user login</p>\n");
        Page("secret_a.mhtml", "\r\n<p>secret</p>\n<X-If perms=MU>may modify users\n<X-Fi>");
        Page("ormadmin_error.mhtml",
             "\r\n<p>error page</p>\n"
             "<X-If varstmt=\"error SW The requested command is not\">unknown command\n<X-Fi>"
             "<X-If varstmt=\"error SW The requested page cannot\">cannot open\n<X-Fi>"
             "<X-If varstmt=\"error CONTAINS &lt;b&gt;\">name escaped\n<X-Fi>"
             // As the real page must: the commands' error texts are HTML.
             "<X-ShowVar error noescape>");

        m_Server = std::make_unique<CVornHTTPServer>("ZELORMHTTP", m_Temp.Path("spool").c_str());
        InitWebAdmin(m_Temp.Path("html").c_str(), m_Temp.Path("images").c_str(), nullptr,
                     m_Temp.Path("spool").c_str(), nullptr, nullptr, m_Server.get(), nullptr,
                     nullptr, nullptr);
        // What the login command will do once the session is logged in.
        m_Server->AddHandler("/TestDispatch", DispatchAction);
        ASSERT_TRUE(m_Server->Start(4, 0, CVornHostAddress(testsupport::LoopbackAddress(), 0)));
        CVornHostAddress own;
        m_Server->GetOwnHost(own);
        m_Base = "http://127.0.0.1:" + std::to_string(own.GetPort());
    }

    void TearDown() override {
        m_Server->Stop();
        m_Server.reset();
        m_Store.reset();
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    void Page(const std::string& name, const std::string& text) {
        WriteWhole(m_Temp.Path("html/english/" + name), text);
    }

    // The whole response (status line and headers too); curl's arguments
    // are the shell's.
    std::string Get(const std::string& pathAndQuery, const std::string& extra = "") {
        return RunCommand("curl -sS -i --max-time 20 " + extra + " '" + m_Base + pathAndQuery +
                          "' 2>&1");
    }

    // The session id of the response's cookie line, or "".
    static std::string CookieOf(const std::string& response) {
        std::smatch m;
        if (std::regex_search(response, m, std::regex("Set-Cookie: ZELORM=([0-9]+); path=/\r\n")))
            return m[1];
        return "";
    }

    // A logged-in session: a login page issues it, then the table logs it
    // in as the login command will.
    std::string LoggedInCookie() {
        std::string id = CookieOf(Get("/Display?what=secret_a.mhtml"));
        EXPECT_FALSE(id.empty());
        EXPECT_EQ(CWebSessionTable::kLoginOk,
                  SessionTable.Login(kUser, "secret", "127.0.0.1", std::to_string(m_Now).c_str(),
                                     id.c_str(), 1, 0));
        return id;
    }

    testsupport::TempDir m_Temp{"zelorm-webframe"};
    time_t m_Now = 1700000000;
    std::unique_ptr<CVornConfigStore> m_Store;
    std::unique_ptr<CVornHTTPServer> m_Server;
    std::string m_Base;
};

TEST_F(WebFrameTest, UnknownUrlsAndBareCommandsGoToTheTopPage) {
    const std::string top = "Location: " + m_Base + "/Display?what=otop.html\r\n";
    struct Case {
        const char* path;
        std::string location;
    } cases[] = {
        {"/", top},
        {"/no/such/command?x=1", top},
        {"/Display", top},
        {"/Default", top},
        {"/SetDebug", "Location: " + m_Base + "/Display?what=dbg_a_l.mhtml\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string r = Get(c.path);
        EXPECT_EQ(0u, r.rfind("HTTP/1.0 302", 0)) << r;
        EXPECT_NE(std::string::npos, r.find(c.location)) << r;
    }
    // The top page needs no login; "Admin" shows it too. Every page but
    // the few cached ones says it may not be cached.
    for (const char* path : {"/Display?what=otop.html", "/Admin"}) {
        SCOPED_TRACE(path);
        std::string r = Get(path);
        EXPECT_EQ(0u, r.rfind("HTTP/1.0 200", 0)) << r;
        EXPECT_NE(std::string::npos, r.find("\r\nPragma: No-Cache\r\n")) << r;
        EXPECT_NE(std::string::npos, r.find("\r\n\r\n<p>top</p>\n")) << r;
        EXPECT_EQ("", CookieOf(r));
    }
    // The images folder is served as it is.
    EXPECT_NE(std::string::npos, Get("/images/dot.gif").find("\r\n\r\nGIF89a"));
}

TEST_F(WebFrameTest, MarkedPagesWithoutASessionGetTheLoginPage) {
    std::string r = Get("/Display?what=secret_a.mhtml");
    std::string id = CookieOf(r);
    ASSERT_FALSE(id.empty()) << r;
    // The cookie line, then the Pragma line, then the login page, which
    // knows the command to run again and carries the first request's page.
    EXPECT_NE(std::string::npos,
              r.find("Set-Cookie: ZELORM=" + id + "; path=/\r\nPragma: No-Cache\r\n"))
        << r;
    EXPECT_NE(std::string::npos, r.find("<p>admin login</p>\naction=Display\ncarries what\n"))
        << r;
    EXPECT_EQ(std::string::npos, r.find("secret")) << r;
    // Every login page gets a fresh id.
    EXPECT_NE(id, CookieOf(Get("/Display?what=secret_a.mhtml")));
    // A user page asks for the user login; the login pages need no login.
    EXPECT_NE(std::string::npos, Get("/Display?what=inbox_u_l.mhtml").find("<p>user login</p>"));
    std::string login = Get("/Display?what=ormadmin_login.mhtml");
    EXPECT_NE(std::string::npos, login.find("<p>admin login</p>"));
    EXPECT_EQ("", CookieOf(login));
}

TEST_F(WebFrameTest, OnlyALiveLoggedInCookieShowsAMarkedPage) {
    const std::string id = LoggedInCookie();
    ASSERT_FALSE(id.empty());
    const std::string pending = CookieOf(Get("/Display?what=secret_a.mhtml"));
    struct Case {
        const char* name;
        std::string cookie;
        bool shown;
    } cases[] = {
        {"logged in", "ZELORM=" + id, true},
        {"any case, among others, blanks around",
         "theme=dark;;  zelorm=" + id + " ; ZELORM=1", true},
        {"a part without = is skipped", "ZELORM; ZELORM=" + id, true},
        {"the first ZELORM counts", "ZELORM=1; ZELORM=" + id, false},
        {"unknown id", "ZELORM=12345", false},
        {"not a number", "ZELORM=" + id + "x", false},
        {"pending session", "ZELORM=" + pending, false},
        {"no cookie", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string r = Get("/Display?what=secret_a.mhtml",
                            c.cookie.empty() ? "" : "-H 'Cookie: " + c.cookie + "' 2>&1");
        if (c.shown) {
            EXPECT_NE(std::string::npos, r.find("<p>secret</p>\nmay modify users\n")) << r;
            EXPECT_EQ("", CookieOf(r));
        } else {
            EXPECT_EQ(std::string::npos, r.find("<p>secret</p>")) << r;
            EXPECT_NE(std::string::npos, r.find("<p>admin login</p>")) << r;
        }
    }

    // Past "AuthTimeout" (5 minutes) the session has expired: login again.
    m_Now += 6 * 60;
    platform::SetTestTime(m_Now);
    std::string r = Get("/Display?what=secret_a.mhtml", "-H 'Cookie: ZELORM=" + id + "' 2>&1");
    EXPECT_NE(std::string::npos, r.find("<p>admin login</p>")) << r;
    EXPECT_NE("", CookieOf(r));
}

TEST_F(WebFrameTest, BadInputGetsTheErrorPage) {
    struct Case {
        const char* name;
        std::string request;
        const char* says;
    } cases[] = {
        {"action differing in case", "/TestDispatch?action=display", "unknown command\n"},
        {"no action", "/TestDispatch?x=1", "unknown command\n"},
        {"page outside the folder", "/Display?what=../../shared-config", "cannot open\n"},
        {"absolute page name", "/Display?what=/etc/passwd", "cannot open\n"},
        {"missing page, markup in its name", "/Display?what=no%3Cb%3Esuch.mhtml",
         "cannot open\nname escaped\n"},
        {"the folder itself", "/Display?what=.", "cannot open\n"},
        {"no page named", "/Display?x=1", ""},
        // Only a command sets the error text, never the request.
        {"an error text from the request", "/Display?what=ormadmin_error.mhtml&error=%3Cb%3Ex",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string r = Get(c.request);
        EXPECT_NE(std::string::npos, r.find("<p>error page</p>\n" + std::string(c.says))) << r;
        EXPECT_EQ(std::string::npos, r.find("<b>")) << r;
        EXPECT_EQ(std::string::npos, r.find("DS,Base")) << r;
        EXPECT_EQ(std::string::npos, r.find("root:")) << r;
    }
    // A known action runs its command with the same request.
    EXPECT_NE(std::string::npos, Get("/TestDispatch?action=Admin").find("<p>top</p>"));

    // Without an error page the error is written into the response itself,
    // once, and the response still ends.
    fs::remove(m_Temp.Path("html/english/ormadmin_error.mhtml"));
    std::string r = Get("/Display?what=no%3Cb%3Esuch.mhtml");
    EXPECT_EQ(0u, r.rfind("HTTP/1.0 200", 0)) << r;
    EXPECT_NE(std::string::npos, r.find("The requested page cannot be shown.")) << r;
    EXPECT_EQ(std::string::npos, r.find("<b>")) << r;
}

}  // namespace
