// Login and logout under a real CVornHTTPServer on 127.0.0.1, driven by
// curl as a browser would: the login page's cookie and issue time, the
// posted password, then the marked page the login was for. The account is a
// virtual user of a real configuration store whose DES crypt(3) hash is
// written into the configuration file as the store keeps it.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "config/users.h"
#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/tests/support/vorn_helpers.h"
#include "gateway/tests/support/activity_lines.h"
#include "net/http_server.h"
#include "platform/clock.h"
#include "webadmin/login_commands.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

using testsupport::RunCommand;

namespace fs = std::filesystem;
using gatewaytest::ActivityFields;
using testsupport::WriteWhole;

const char* const kPassword = "s3cret!pw";

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class LoginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ("ok\n", RunCommand("command -v curl >/dev/null && echo ok"))
            << "the integration tests need curl (scripts/packages)";
    }

    void SetUp() override {
        CVornMessageCatalog base;
        ASSERT_EQ(0, base.Load(ZELORM_CATALOG_DIR "/messages", 2, 9, 883, 0));
        SetCatalogLanguage(0);
        m_Activity = gatewaytest::StartActivityDay(m_Temp.Path(), &m_Now);
        CVornString hash;
        ASSERT_TRUE(CryptPassword(kPassword, "xy", hash));
        Configure("VirtualAcct=1,ZELORMUser=1,ZELORMPerms=MU,Password=" + testsupport::Text(hash));

        fs::create_directories(m_Temp.Path("html/english"));
        fs::create_directories(m_Temp.Path("spool"));
        Page("otop.html", "Content-Type: text/html\r\n\r\n<p>top</p>\n");
        // The login page shows its error and every variable that must never
        // come back to the browser.
        Page("ormadmin_login.mhtml",
             "\r\n<p>admin login</p>\n"
             "<X-If varstmt=\"loginerror SW The login failed.\">refused\n<X-Fi>"
             "<X-If varstmt=\"loginerror SW The login needs a cookie\">no cookie\n<X-Fi>"
             "<X-If varstmt=\"action EQ Display\">action=Display\n<X-Fi>"
             "<X-If varstmt=\"HV-what EQ secret_a.mhtml\">carries what\n<X-Fi>"
             "<X-If varstmt=\"password DEF\">password kept\n<X-Fi>"
             "<X-If varstmt=\"HV-password DEF\">password carried\n<X-Fi>"
             "<X-If varstmt=\"HV-loginform DEF\">loginform carried\n<X-Fi>"
             "<X-If varstmt=\"HV-infohost DEF\">infohost carried\n<X-Fi>");
        Page("other_login.mhtml", "\r\n<p>other login</p>\n");
        Page("secret_a.mhtml",
             "\r\n<p>secret</p>\n"
             "<X-If varstmt=\"password DEF\">password kept\n<X-Fi>"
             "<X-If varstmt=\"issued DEF\">issued kept\n<X-Fi>"
             "<X-If varstmt=\"infohost DEF\">infohost kept\n<X-Fi>");
        Page("ormadmin_error.mhtml", "\r\n<p>error page</p>\n");

        m_Server = std::make_unique<CVornHTTPServer>("ZELORMHTTP", m_Temp.Path("spool").c_str());
        InitWebAdmin(m_Temp.Path("html").c_str(), nullptr, nullptr, m_Temp.Path("spool").c_str(),
                     nullptr, nullptr, m_Server.get(), nullptr, nullptr, nullptr);
        ASSERT_TRUE(m_Server->Start(4, 0, CVornHostAddress(testsupport::LoopbackAddress(), 0)));
        CVornHostAddress own;
        m_Server->GetOwnHost(own);
        m_Base = "http://127.0.0.1:" + std::to_string(own.GetPort());
        // The session table is process-wide: sessions of earlier tests, ten
        // days old now, are purged here rather than in a test's records.
        (void)SessionTable.Login(kAdminAccount, "x", "", "1", "no such id", 1, 0);
        (void)Records();  // from here on, only this test's records
    }

    void TearDown() override {
        m_Server->Stop();
        m_Server.reset();
        m_Store.reset();
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    // Writes and loads the configuration with the administrator account's
    // attributes.
    void Configure(const std::string& account) {
        WriteWhole(m_Temp.Path("shared-config"),
                   "# 2 0\r\nDS,Base=sys\r\nDU" + std::string(kAdminAccount) + "," + account +
                       "\r\n");
        WriteWhole(m_Temp.Path("local-config"), "# 2 0\r\n");
        WriteWhole(m_Temp.Path("vendor-config"), "# 2 0\r\n");
        m_Store.reset();
        m_Store = std::make_unique<CVornConfigStore>(m_Temp.Path("shared-config").c_str(),
                                                     m_Temp.Path("local-config").c_str(),
                                                     m_Temp.Path("vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
    }

    void Page(const std::string& name, const std::string& text) {
        WriteWhole(m_Temp.Path("html/english/" + name), text);
    }

    // The whole response; extra holds curl's further arguments (the shell's).
    std::string Get(const std::string& pathAndQuery, const std::string& extra = "") {
        return RunCommand("curl -sS -i --max-time 20 " + extra + " '" + m_Base + pathAndQuery +
                          "' 2>&1");
    }

    // A POST of the form fields to "Authenticate" with the cookie (none when
    // empty).
    std::string PostLogin(const std::string& cookie, const std::string& fields) {
        std::string extra = "--data '" + fields + "'";
        if (!cookie.empty())
            extra += " -H 'Cookie: ZELORM=" + cookie + "'";
        return Get("/Authenticate", extra);
    }

    static std::string CookieOf(const std::string& response) {
        std::smatch m;
        if (std::regex_search(response, m, std::regex("Set-Cookie: ZELORM=([0-9]+); path=/\r\n")))
            return m[1];
        return "";
    }

    // A login page for the marked page: its cookie.
    std::string LoginPage() {
        std::string r = Get("/Display?what=secret_a.mhtml");
        EXPECT_TRUE(Has(r, "<p>admin login</p>")) << r;
        return CookieOf(r);
    }

    // The fields a browser posts from the login page served now.
    std::string LoginFields(const std::string& password) const {
        return "password=" + password + "&issued=" + std::to_string(m_Now) +
               "&action=Display&what=secret_a.mhtml&infohost=h";
    }

    std::string ShowSecret(const std::string& cookie) {
        return Get("/Display?what=secret_a.mhtml", "-H 'Cookie: ZELORM=" + cookie + "'");
    }

    std::vector<ActivityFields> Records() {
        return gatewaytest::ReadActivityRecords(m_Activity, &m_Read);
    }

    // The one record of this step: (4, event, status) for the account from
    // 127.0.0.1, with field 100 when text is given.
    void ExpectOneRecord(const char* event, const char* status, const char* text = nullptr) {
        std::vector<ActivityFields> records = Records();
        std::string all;
        for (auto& r : records)
            for (auto& [k, v] : r) all += std::to_string(k) + "=" + v + (k == 100 ? "\n" : " ");
        ASSERT_EQ(1u, records.size()) << all;
        ActivityFields& f = records[0];
        EXPECT_EQ("4", f[1]);
        EXPECT_EQ(event, f[2]);
        EXPECT_EQ(status, f[3]);
        EXPECT_EQ(kAdminAccount, f[10]);
        EXPECT_EQ("127.0.0.1", f[11]);
        EXPECT_EQ(text ? text : "", f[100]);
        for (const auto& [key, value] : f) EXPECT_FALSE(Has(value, kPassword)) << key;
    }

    testsupport::TempDir m_Temp{"zelorm-login"};
    time_t m_Now = 1700000000;
    std::string m_Activity;
    size_t m_Read = 0;
    std::unique_ptr<CVornConfigStore> m_Store;
    std::unique_ptr<CVornHTTPServer> m_Server;
    std::string m_Base;
};

TEST_F(LoginTest, TheRightPasswordLogsInAndRunsTheAction) {
    CVornLogSink sink(kLogDebug);
    const std::string cookie = LoginPage();
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ(0, CVornConfigStore::ObjectExists('C', "127.0.0.1"));

    std::string r = PostLogin(cookie, LoginFields(kPassword) + "&loginform=other_login.mhtml");
    // The action ran at once with the carried variables; the login's own
    // variables were gone before the page was rendered; no new cookie.
    EXPECT_TRUE(Has(r, "<p>secret</p>\n")) << r;
    EXPECT_FALSE(Has(r, "kept")) << r;
    EXPECT_EQ("", CookieOf(r));
    EXPECT_FALSE(Has(r, kPassword)) << r;
    ExpectOneRecord("1", "1");
    // The client's object was made and saved.
    EXPECT_EQ(1, CVornConfigStore::ObjectExists('C', "127.0.0.1"));
    EXPECT_TRUE(Has(testsupport::ReadWhole(m_Temp.Path("shared-config")), "127.0.0.1"));

    // The cookie now shows marked pages.
    EXPECT_TRUE(Has(ShowSecret(cookie), "<p>secret</p>"));
    // The same login page cannot log in a second time.
    r = PostLogin(cookie, LoginFields(kPassword));
    EXPECT_TRUE(Has(r, "refused\n")) << r;
    ExpectOneRecord("1", "2");

    const std::string log = testsupport::TakeSinkText(sink);
    EXPECT_TRUE(Has(log, "user quendrial client 127.0.0.1 authenticated")) << log;
    EXPECT_FALSE(Has(log, kPassword)) << log;
}

TEST_F(LoginTest, EveryRefusalShowsTheLoginPageAgainWithANewCookie) {
    struct Case {
        const char* name;
        std::string account;  // the account's attributes; empty: as set up
        bool withCookie;
        std::string fields;
        const char* says;
        const char* text;  // field 100 of the record
    } cases[] = {
        {"wrong password", "", true, LoginFields("wrong"), "refused\n", nullptr},
        {"empty password", "", true, LoginFields(""), "refused\n", nullptr},
        {"no password field", "", true, "issued=" + std::to_string(m_Now) + "&action=Display",
         "refused\n", nullptr},
        {"no issued", "", true, "password=" + std::string(kPassword) + "&action=Display",
         "refused\n", nullptr},
        {"issued of another page", "", true,
         "password=" + std::string(kPassword) + "&issued=" + std::to_string(m_Now + 60),
         "refused\n", nullptr},
        {"no cookie", "", false, LoginFields(kPassword), "no cookie\n",
         "The login needs a cookie: allow this site to set cookies, then log in again."},
        {"unknown account", "-", true, LoginFields(kPassword), "refused\n", nullptr},
        {"not a web user", "VirtualAcct=1,ZELORMUser=0", true, LoginFields(kPassword),
         "refused\n", nullptr},
        // The store's own check takes any password for a virtual account
        // without a hash: the login must not.
        {"account without a password", "VirtualAcct=1,ZELORMUser=1", true, LoginFields("guess"),
         "refused\n", nullptr},
        {"account without a password, empty typed", "VirtualAcct=1,ZELORMUser=1", true,
         LoginFields(""), "refused\n", nullptr},
    };
    CVornString hash;
    ASSERT_TRUE(CryptPassword(kPassword, "xy", hash));
    const std::string standard = "VirtualAcct=1,ZELORMUser=1,Password=" + testsupport::Text(hash);
    std::string unknownPage;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.account == "-") {
            // Another account holds the password; the administrator's is gone.
            WriteWhole(m_Temp.Path("shared-config"),
                       "# 2 0\r\nDS,Base=sys\r\nDUsomeone," + standard + "\r\n");
            ASSERT_EQ(0, CVornConfigStore::Load(1));
        } else {
            Configure(c.account.empty() ? standard : c.account);
        }
        const std::string cookie = LoginPage();
        (void)Records();
        std::string r = PostLogin(c.withCookie ? cookie : "", c.fields);
        EXPECT_TRUE(Has(r, "<p>admin login</p>\n" + std::string(c.says))) << r;
        // A fresh pending session comes with the page again; the login's
        // own variables are neither kept nor carried.
        const std::string fresh = CookieOf(r);
        EXPECT_FALSE(fresh.empty()) << r;
        EXPECT_NE(cookie, fresh);
        EXPECT_FALSE(Has(r, "kept") || Has(r, "carried")) << r;
        EXPECT_FALSE(Has(r, kPassword)) << r;
        ExpectOneRecord("1", "2", c.text);
        // The cookie shows no marked page.
        EXPECT_TRUE(Has(ShowSecret(cookie), "<p>admin login</p>"));
        if (std::string(c.name) == "unknown account")
            unknownPage = r.substr(r.find("\r\n\r\n"));
    }
    // A refusal for an unknown account reads exactly as a wrong password.
    Configure(standard);
    std::string wrong = PostLogin(LoginPage(), LoginFields("wrong"));
    EXPECT_EQ(wrong.substr(wrong.find("\r\n\r\n")), unknownPage);

    // "loginform" chooses the page shown after a refusal.
    std::string r = PostLogin(LoginPage(), LoginFields("wrong") + "&loginform=other_login.mhtml");
    EXPECT_TRUE(Has(r, "<p>other login</p>")) << r;
    // A bare GET goes to the top page.
    EXPECT_TRUE(Has(Get("/Authenticate"), "Location: " + m_Base + "/Display?what=otop.html"));
}

TEST_F(LoginTest, LogoutDeletesTheSessionAndAnExpiredOneMustLogInAgain) {
    std::string cookie = LoginPage();
    ASSERT_TRUE(Has(PostLogin(cookie, LoginFields(kPassword)), "<p>secret</p>"));
    (void)Records();

    std::string r = Get("/Deauthenticate", "-H 'Cookie: ZELORM=" + cookie + "'");
    EXPECT_TRUE(Has(r, "Location: " + m_Base + "/Display?what=otop.html")) << r;
    ExpectOneRecord("2", "1");
    // The cookie is worthless: no page, no second logout record, and the
    // login page's session cannot log in again.
    EXPECT_TRUE(Has(ShowSecret(cookie), "<p>admin login</p>"));
    (void)Get("/Deauthenticate", "-H 'Cookie: ZELORM=" + cookie + "'");
    EXPECT_TRUE(Has(PostLogin(cookie, LoginFields(kPassword)), "refused\n"));
    ExpectOneRecord("1", "2");

    // Logouts without a cookie, with an unknown or a pending one write
    // nothing; a pending one is deleted all the same.
    const std::string pending = LoginPage();
    for (const std::string& extra :
         {std::string(), std::string("-H 'Cookie: ZELORM=12345'"), "-H 'Cookie: ZELORM=" + pending + "'"}) {
        EXPECT_TRUE(Has(Get("/Deauthenticate", extra), "/Display?what=otop.html"));
    }
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(Has(PostLogin(pending, LoginFields(kPassword)), "refused\n"));
    (void)Records();

    // Past "AuthTimeout" (5 minutes) a session expires: the logout records
    // only the expiry.
    cookie = LoginPage();
    ASSERT_TRUE(Has(PostLogin(cookie, LoginFields(kPassword)), "<p>secret</p>"));
    (void)Records();
    m_Now += 6 * 60;
    platform::SetTestTime(m_Now);
    r = Get("/Deauthenticate", "-H 'Cookie: ZELORM=" + cookie + "'");
    EXPECT_TRUE(Has(r, "/Display?what=otop.html")) << r;
    std::vector<ActivityFields> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("The login session expired", records[0][100]);
    EXPECT_TRUE(Has(ShowSecret(cookie), "<p>admin login</p>"));
}

}  // namespace
