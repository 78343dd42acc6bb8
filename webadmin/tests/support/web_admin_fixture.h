// A web administration under test: a real CVornHTTPServer on 127.0.0.1
// serving the command table, a real configuration store with the
// administrator account, the product's compiled catalogues, a day of the
// activity log of its own, and curl as the browser.
//
// The registry (a file of the test's directory) names the test's directory
// as "InstallDir", so the pages' folder html/english serves both the
// template pages and the installation's footer files, and "local" as
// "LocalDir"; "HTTPPort" is the server's port.
//
// A test writes its page templates with Page, its configuration with
// Configure, logs in with LogIn (a session made through the session table,
// as the login command makes it) and sends requests with Get and Post.
#pragma once

#include <gtest/gtest.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/tests/support/ports.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "gateway/tests/support/activity_lines.h"
#include "net/http_server.h"

namespace webtest {

using gatewaytest::ActivityFields;

// The administrator's password in every configuration the fixture writes.
constexpr const char* kPassword = "s3cret!pw";

bool Has(const std::string& text, const std::string& part);

// The body of a whole response (what follows the first empty line).
std::string BodyOf(const std::string& response);

using testsupport::FreePort;

class WebAdminTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the three configuration files and loads them: the system
    // object "DS" + system (its attributes after a comma, may be empty),
    // the administrator account (a virtual web user with the password and
    // the permissions perms, e.g. "MADGR:SUCGLD"), then the further lines
    // as they stand (e.g. "DCtrusted,Cast=staff").
    void Configure(const std::string& system = "", const std::string& perms = "MADGRS:SUCGLD",
                   const std::vector<std::string>& lines = {});

    // Writes the product key's values (name, value as .reg writes it, e.g.
    // "\"text\"" or "dword:0000001f") besides InstallDir, LocalDir and
    // HTTPPort, and the maker key's "SharedConfigFile".
    void WriteRegistry(const std::vector<std::pair<std::string, std::string>>& extra = {});

    // Writes the three configuration files and loads them: the system
    // object "DS,Base=sys" (then "," + system when given), then the lines
    // as they stand.
    void ConfigureLines(const std::vector<std::string>& lines, const std::string& system = "");

    // A page template of the language folder (html/english/name).
    void Page(const std::string& name, const std::string& text);

    // A logged-in session of user (the administrator by default) from
    // 127.0.0.1: its cookie value. The account must have kPassword.
    std::string LogIn(const std::string& user = "");

    // The whole response (status line, header lines, body) of a GET; query
    // is the part after the command (e.g. "?what=x.mhtml"); cookie empty:
    // none.
    std::string Get(const std::string& pathAndQuery, const std::string& cookie = "");
    // The same as a POST of the url-encoded fields.
    std::string Post(const std::string& path, const std::string& fields,
                     const std::string& cookie = "");

    // The activity records written since the last call.
    std::vector<ActivityFields> Records();

    // The path of a file in the test's directory.
    std::string Path(const std::string& name) const { return m_Temp.Path(name); }

    testsupport::TempDir m_Temp{"zelorm-web"};
    testsupport::ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Temp.Path("registry.reg")};
    int m_Port = 0;
    time_t m_Now = 1700000000;
    std::string m_Activity;
    size_t m_Read = 0;
    std::unique_ptr<CVornConfigStore> m_Store;
    std::unique_ptr<CVornHTTPServer> m_Server;
    std::string m_Base;
};

}  // namespace webtest
