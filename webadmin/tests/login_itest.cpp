// Login and logout under a real CVornHTTPServer on 127.0.0.1, driven by
// curl as a browser would: the login page's cookie and issue time, the
// posted password, then the marked page the login was for. The account is a
// virtual user of a real configuration store whose DES crypt(3) hash is
// written into the configuration file as the store keeps it.
#include <gtest/gtest.h>
#include <stdio.h>

#include <regex>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "config/users.h"
#include "core/debug_log.h"
#include "core/tests/support/files.h"
#include "core/tests/support/vorn_helpers.h"
#include "platform/clock.h"
#include "webadmin/login_commands.h"
#include "webadmin/tests/support/web_admin_fixture.h"

namespace {

using gatewaytest::ActivityFields;
using webtest::Has;
using webtest::kPassword;

class LoginTest : public webtest::WebAdminTest {
protected:
    void SetUp() override {
        WebAdminTest::SetUp();
        CVornString hash;
        ASSERT_TRUE(CryptPassword(kPassword, "xy", hash));
        Configure("VirtualAcct=1,ZELORMUser=1,ZELORMPerms=MU,Password=" + testsupport::Text(hash));

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
    }

    // The configuration with the administrator account's attributes only.
    void Configure(const std::string& account) {
        ConfigureLines({"DU" + std::string(kAdminAccount) + "," + account});
    }

    // A POST of the form fields to "Authenticate" with the cookie (none when
    // empty).
    std::string PostLogin(const std::string& cookie, const std::string& fields) {
        return Post("/Authenticate", fields, cookie);
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
        return Get("/Display?what=secret_a.mhtml", cookie);
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
    EXPECT_TRUE(Has(testsupport::ReadWhole(Path("shared-config")), "127.0.0.1"));

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
            ConfigureLines({"DUsomeone," + standard});
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

    std::string r = Get("/Deauthenticate", cookie);
    EXPECT_TRUE(Has(r, "Location: " + m_Base + "/Display?what=otop.html")) << r;
    ExpectOneRecord("2", "1");
    // The cookie is worthless: no page, no second logout record, and the
    // login page's session cannot log in again.
    EXPECT_TRUE(Has(ShowSecret(cookie), "<p>admin login</p>"));
    (void)Get("/Deauthenticate", cookie);
    EXPECT_TRUE(Has(PostLogin(cookie, LoginFields(kPassword)), "refused\n"));
    ExpectOneRecord("1", "2");

    // Logouts without a cookie, with an unknown or a pending one write
    // nothing; a pending one is deleted all the same.
    const std::string pending = LoginPage();
    for (const std::string& other : {std::string(), std::string("12345"), pending}) {
        EXPECT_TRUE(Has(Get("/Deauthenticate", other), "/Display?what=otop.html"));
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
    r = Get("/Deauthenticate", cookie);
    EXPECT_TRUE(Has(r, "/Display?what=otop.html")) << r;
    std::vector<ActivityFields> records = Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("The login session expired", records[0][100]);
    EXPECT_TRUE(Has(ShowSecret(cookie), "<p>admin login</p>"));
}

}  // namespace
