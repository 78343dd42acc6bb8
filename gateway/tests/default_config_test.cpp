// The default configuration that a new instance starts from: it loads, it
// listens on unprivileged ports and it relays for the local host only.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "config/config_store.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_string.h"

namespace {

std::string Setting(const char* name) {
    CVornString out;
    if (CVornConfigStore::GetSetting(nullptr, nullptr, name, out) != 0)
        return "<none>";
    return std::string(out.CStr(), static_cast<size_t>(out.Length()));
}

TEST(DefaultConfigTest, LoadsAndIsNeverAnOpenRelay) {
    testsupport::TempDir dir;
    testsupport::ScopedEnv locks("ZELORM_LOCK_DIR", dir.Path());
    testsupport::ScopedEnv events("ZELORM_EVENTLOG", dir.Path("events"));
    ASSERT_EQ(0, testsupport::LoadBaseCatalog(dir.Path("messages"),
                                              testsupport::NumberedCatalog(883), 883));
    // A copy: a load that fails sets broken files aside.
    for (const char* name : {"shared-config", "local-config", "vendor-config"})
        std::filesystem::copy_file(std::string(ZELORM_SOURCE_DIR) + "/data/config/" + name,
                                   dir.Path(name));
    {
        CVornConfigStore store(dir.Path("shared-config").c_str(), dir.Path("local-config").c_str(),
                               dir.Path("vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
        EXPECT_EQ("2525", Setting("SMTPPort"));
        EXPECT_EQ("H", Setting("RelayMode"));
        EXPECT_EQ("127.0.0.1", Setting("RelayAllowHosts"));
        EXPECT_EQ("nexthop.example.invalid", Setting("RelayHost"));
        EXPECT_EQ("1", Setting("ZELORMRazoVidezScan"));
        // The extension list keeps its separators.
        std::string extensions = Setting("RazoVidezIncludeExt");
        EXPECT_EQ(0u, extensions.find(".386\x1c.adt\x1c"));
        EXPECT_EQ(40, std::count(extensions.begin(), extensions.end(), '\x1c'));
    }
    testsupport::ClearBaseCatalog();
}

}  // namespace
