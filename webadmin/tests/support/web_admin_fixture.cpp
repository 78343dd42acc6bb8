// The web administration under test (see web_admin_fixture.h).
#include "webadmin/tests/support/web_admin_fixture.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "config/users.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/test_catalog.h"
#include "core/tests/support/vorn_helpers.h"
#include "platform/clock.h"
#include "webadmin/login_commands.h"
#include "webadmin/web_admin.h"

namespace webtest {

namespace fs = std::filesystem;
using testsupport::WriteWhole;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string BodyOf(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

void WebAdminTest::SetUp() {
    ASSERT_EQ("ok\n", testsupport::RunCommand("command -v curl >/dev/null && echo ok"))
        << "the web administration's tests need curl (scripts/packages)";
    CVornMessageCatalog base;
    ASSERT_EQ(0, base.Load(ZELORM_CATALOG_DIR "/messages", 2, 9, 883, 0));
    CProductMessageCatalog product;
    ASSERT_EQ(0, product.Load(ZELORM_CATALOG_DIR "/tkmessages", 2, 5, 34, 2000000));
    SetCatalogLanguage(0);
    m_Activity = gatewaytest::StartActivityDay(m_Temp.Path(), &m_Now);
    Configure();

    fs::create_directories(m_Temp.Path("html/english"));
    fs::create_directories(m_Temp.Path("spool"));
    fs::create_directories(m_Temp.Path("local"));
    Page("otop.html", "Content-Type: text/html\r\n\r\n<p>top</p>\n");
    Page("ormadmin_login.mhtml", "\r\n<p>admin login</p>\n");
    Page("user_login_l.mhtml", "\r\n<p>user login</p>\n");
    Page("ormadmin_error.mhtml", "\r\n<p>error page</p>\n<X-ShowVar error>\n");

    m_Server = std::make_unique<CVornHTTPServer>("ZELORMHTTP", m_Temp.Path("spool").c_str());
    InitWebAdmin(m_Temp.Path("html").c_str(), nullptr, nullptr, m_Temp.Path("spool").c_str(),
                 nullptr, nullptr, m_Server.get(), nullptr, nullptr, nullptr);
    ASSERT_TRUE(m_Server->Start(4, 0, CVornHostAddress(testsupport::LoopbackAddress(), 0)));
    CVornHostAddress own;
    m_Server->GetOwnHost(own);
    m_Port = own.GetPort();
    m_Base = "http://127.0.0.1:" + std::to_string(m_Port);
    WriteRegistry();
    // The session table is process-wide: sessions of earlier tests, ten
    // days old now, are purged here rather than in a test's records.
    (void)SessionTable.Login(kAdminAccount, "x", "", "1", "no such id", 1, 0);
    (void)Records();  // from here on, only this test's records
}

void WebAdminTest::TearDown() {
    if (m_Server)
        m_Server->Stop();
    m_Server.reset();
    m_Store.reset();
    platform::ClearTestTime();
    testsupport::ClearBaseCatalog();
}

void WebAdminTest::Configure(const std::string& system, const std::string& perms,
                             const std::vector<std::string>& lines) {
    CVornString hash;
    ASSERT_TRUE(CryptPassword(kPassword, "xy", hash));
    std::vector<std::string> all = {"DU" + std::string(kAdminAccount) +
                                    ",VirtualAcct=1,ZELORMUser=1,ZELORMPerms=" + perms +
                                    ",Password=" + testsupport::Text(hash)};
    all.insert(all.end(), lines.begin(), lines.end());
    ConfigureLines(all, system);
}

void WebAdminTest::ConfigureLines(const std::vector<std::string>& lines,
                                  const std::string& system) {
    std::string text =
        "# 2 0\r\nDS,Base=sys" + (system.empty() ? std::string() : "," + system) + "\r\n";
    for (const std::string& line : lines)
        text += line + "\r\n";
    WriteWhole(m_Temp.Path("shared-config"), text);
    WriteWhole(m_Temp.Path("local-config"), "# 2 0\r\n");
    WriteWhole(m_Temp.Path("vendor-config"), "# 2 0\r\n");
    m_Store.reset();
    m_Store = std::make_unique<CVornConfigStore>(m_Temp.Path("shared-config").c_str(),
                                                 m_Temp.Path("local-config").c_str(),
                                                 m_Temp.Path("vendor-config").c_str());
    ASSERT_EQ(0, CVornConfigStore::Load(1));
}

void WebAdminTest::WriteRegistry(const std::vector<std::pair<std::string, std::string>>& extra) {
    auto quoted = [](const std::string& path) {
        std::string out = "\"";
        for (char c : path) out += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
        return out + "\"";
    };
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane]\r\n";
    text += "\"SharedConfigFile\"=" + quoted(m_Temp.Path("shared-config")) + "\r\n";
    text += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM]\r\n";
    text += "\"InstallDir\"=" + quoted(m_Temp.Path()) + "\r\n";
    text += "\"LocalDir\"=" + quoted(m_Temp.Path("local")) + "\r\n";
    char port[16];
    snprintf(port, sizeof port, "dword:%08x", m_Port);
    text += "\"HTTPPort\"=" + std::string(port) + "\r\n";
    for (const auto& [name, value] : extra)
        text += "\"" + name + "\"=" + value + "\r\n";
    WriteWhole(m_Temp.Path("registry.reg"), text);
}

void WebAdminTest::Page(const std::string& name, const std::string& text) {
    WriteWhole(m_Temp.Path("html/english/" + name), text);
}

std::string WebAdminTest::LogIn(const std::string& user) {
    const std::string name = user.empty() ? std::string(kAdminAccount) : user;
    CVornString id;
    SessionTable.NewId(id);
    const std::string issued = std::to_string(platform::CurrentTime());
    EXPECT_EQ(0, SessionTable.Login(name.c_str(), kPassword, "127.0.0.1", issued.c_str(),
                                    id.CStr(), 1, 0))
        << "the account " << name << " must hold the fixture's password";
    (void)Records();  // the login's own record is not the test's
    return id.CStr();
}

std::string WebAdminTest::Get(const std::string& pathAndQuery, const std::string& cookie) {
    std::string extra = cookie.empty() ? "" : " -H 'Cookie: ZELORM=" + cookie + "'";
    return testsupport::RunCommand("curl -sS -i --max-time 30" + extra + " '" + m_Base +
                                   pathAndQuery + "' 2>&1");
}

std::string WebAdminTest::Post(const std::string& path, const std::string& fields,
                               const std::string& cookie) {
    std::string extra = cookie.empty() ? "" : " -H 'Cookie: ZELORM=" + cookie + "'";
    return testsupport::RunCommand("curl -sS -i --max-time 30" + extra + " --data '" + fields +
                                   "' '" + m_Base + path + "' 2>&1");
}

std::vector<ActivityFields> WebAdminTest::Records() {
    return gatewaytest::ReadActivityRecords(m_Activity, &m_Read);
}

}  // namespace webtest
