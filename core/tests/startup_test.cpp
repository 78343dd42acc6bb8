// What the service does first when it starts, with the catalogues the build
// compiled: load both through the loader from the registry's install
// directory, choose the language from the locale, log in that language
// with fallback to English, and read the bootstrap values from the registry.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <filesystem>
#include <string>

#include "core/catalog_loader.h"
#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "platform/registry.h"

namespace {

using testsupport::TakeSinkText;

const std::string kMakerKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane";
const std::string kProductKey = kMakerKey + "\\ZELORM";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(kProductKey));
        SetValue(kProductKey, "InstallDir", ZELORM_CATALOG_DIR);
        SetValue(kProductKey, "MailDir", m_Dir + "/mail");
        SetValue(kProductKey, "LocalDir", m_Dir + "/local");
        SetValue(kProductKey, "LogDir", m_Dir + "/log");
        SetValue(kMakerKey, "SharedConfigFile", m_Dir + "/shared-config");
    }
    void TearDown() override {
        SetCatalogLanguage(0);
        BaseMessageTable().Clear();
        ProductMessageTable().Clear();
        setlocale(LC_CTYPE, "C");
    }

    static void SetValue(const std::string& key, const char* name, const std::string& text) {
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(key, name, platform::kRegSz, text.data(), text.size()));
    }

    // The service's first two steps; the program lives where no catalogue
    // is, so the files must come from the registry's install directory.
    void LoadCatalogues() {
        std::string program = m_Dir + "/bin/zelorm";
        CVornMessageCatalog base;
        CProductMessageCatalog product;
        CVornCatalogLoader loader;
        testing::internal::CaptureStderr();
        bool baseLoaded =
            loader.Load(base, program.c_str(), "ZELORM", "InstallDir", "messages", 2, 9, 883, 0);
        bool productLoaded = loader.Load(product, program.c_str(), "ZELORM", "InstallDir",
                                         "tkmessages", 2, 5, 34, 2000000);
        std::string errors = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(baseLoaded) << errors;
        ASSERT_TRUE(productLoaded) << errors;
        EXPECT_EQ("", errors);
    }

    testsupport::TempDir m_Temp{"zelorm-startup"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Dir + "/registry.reg"};
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
};

TEST_F(StartupTest, LoadsCataloguesPicksTheLanguageAndLogsInIt) {
    ASSERT_NO_FATAL_FAILURE(LoadCatalogues());

    // The portable locale chooses English, and English pages.
    ASSERT_NE(nullptr, setlocale(LC_CTYPE, "C"));
    CVornMessageCatalog probe;
    SetCatalogLanguage(probe.GetLocaleLanguage());
    {
        CVornMessageCatalog catalog;
        EXPECT_EQ(0, catalog.GetLanguage());
        EXPECT_EQ("english", Lower(catalog.GetText(2)));
    }

    CVornLogSink sink(kLogError);
    LogEventStrStrInt(47, 1, "SOFTWARE\\Quorvane\\ZELORM", "MailDir", 2);
    std::string english = TakeSinkText(sink);
    EXPECT_NE(std::string::npos,
              english.find("Cannot open registry key SOFTWARE\\Quorvane\\ZELORM (value "
                           "MailDir), error 2."))
        << english;

    // A German locale (installed or not, its name is what counts).
    int german = BaseMessageTable().FindLanguageForLocale("de_DE.UTF-8");
    ASSERT_GT(german, 0);
    SetCatalogLanguage(german);
    {
        CVornMessageCatalog catalog;
        EXPECT_EQ("german", Lower(catalog.GetText(2)));
        CProductMessageCatalog product;
        EXPECT_STREQ("Erledigt.", product.GetText(2000033));
        EXPECT_STREQ("German", product.GetText(2));  // base texts through the product accessor
    }
    LogEventStrStrInt(47, 1, "SOFTWARE\\Quorvane\\ZELORM", "MailDir", 2);
    LogEventStrInt(95, 1, "/var/spool/x", 5);  // no German text: English
    std::string mixed = TakeSinkText(sink);
    EXPECT_NE(std::string::npos,
              mixed.find("Registrierungsschluessel SOFTWARE\\Quorvane\\ZELORM kann nicht "
                         "geoeffnet werden (Wert MailDir), Fehler 2."))
        << mixed;
    EXPECT_NE(std::string::npos, mixed.find("Cannot close file /var/spool/x, error 5.")) << mixed;

    // The debug log's catalogue texts stay English whatever the language.
    CVornLogSink debug(kLogDebug);
    LogMessage(kLogError, 10);
    EXPECT_NE(std::string::npos, TakeSinkText(debug).find("Cannot reset the event"));
}

TEST_F(StartupTest, ReadsTheBootstrapValues) {
    ASSERT_NO_FATAL_FAILURE(LoadCatalogues());
    const struct {
        const char* productKey;
        const char* name;
        std::string expected;
    } kValues[] = {
        {"ZELORM", "InstallDir", ZELORM_CATALOG_DIR},
        {"ZELORM", "MailDir", m_Dir + "/mail"},
        {"ZELORM", "LocalDir", m_Dir + "/local"},
        {"ZELORM", "LogDir", m_Dir + "/log"},
        {nullptr, "SharedConfigFile", m_Dir + "/shared-config"},
    };
    for (const auto& v : kValues) {
        CVornString value;
        EXPECT_EQ(0, GetProductRegValue(v.productKey, v.name, value, true)) << v.name;
        EXPECT_EQ(v.expected, std::string(value.CStr(), value.Length())) << v.name;
    }

    // A value that is missing is reported, in the chosen language; the
    // service then uses its default.
    SetCatalogLanguage(BaseMessageTable().FindLanguageForLocale("de"));
    CVornLogSink sink(kLogError);
    CVornString value("old");
    EXPECT_EQ(1, GetProductRegValue("ZELORM", "BoxDir", value, true));
    EXPECT_TRUE(value.IsEmpty());
    std::string log = TakeSinkText(sink);
    EXPECT_NE(std::string::npos, log.find("Wert BoxDir kann nicht gelesen werden")) << log;
}

}  // namespace
