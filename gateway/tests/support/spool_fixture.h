// Fixture of the spool tests: a private temporary directory holding the
// spool, the three configuration files (loaded), the lock directory and the
// event-log file; a base catalogue whose text of number n is "M<n>" (with
// the conversions the spool reports its events with); the clock set to a
// fixed local time.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/pseudo_random.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "gateway/tests/support/queue_index.h"
#include "platform/clock.h"

namespace spooltest {

using testsupport::ReadWhole;
using testsupport::WriteWhole;

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Dir + "/messages",
                                                  testsupport::NumberedCatalog(900, {{31, " %s"},
                                                                                     {824, " %s %s"},
                                                                                     {825, " %s %s"},
                                                                                     {826, " %s %s"},
                                                                                     {827, " %s %s"}}),
                                                  900));
        SetClock(1704276000);  // 2024-01-03 10:00:00 UTC
        ResetPseudoRandom();
        std::filesystem::create_directory(m_Spool);
        chmod(m_Spool.c_str(), 0700);
        WriteConfig({});
    }

    void TearDown() override {
        m_Store.reset();
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    // Writes shared-config with the system object's attributes (each
    // "Name=value") and loads the store.
    void WriteConfig(const std::vector<std::string>& system) {
        std::string line = "DS,";
        for (size_t i = 0; i < system.size(); ++i) line += (i ? "," : "") + system[i];
        WriteWhole(Path("shared-config"), "# 2 0\r\n" + line + "\r\n");
        WriteWhole(Path("local-config"), "# 2 0\r\n");
        WriteWhole(Path("vendor-config"), "# 2 0\r\n");
        m_Store = std::make_unique<CVornConfigStore>(Path("shared-config").c_str(),
                                                     Path("local-config").c_str(),
                                                     Path("vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
    }

    void SetClock(time_t t) {
        m_Now = t;
        platform::SetTestTime(t);
    }

    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    std::string SpoolPath(const std::string& name) const { return m_Spool + "/" + name; }

    // The events reported since the last call, as "type:text".
    std::vector<std::string> Events() {
        std::vector<std::string> out = testsupport::ReadEvents(m_Dir + "/events");
        std::filesystem::remove(m_Dir + "/events");
        return out;
    }

    // Whether some event since the last call begins with prefix.
    bool HasEvent(const std::string& prefix) {
        for (const std::string& e : Events()) {
            if (e.rfind(prefix, 0) == 0)
                return true;
        }
        return false;
    }

    testsupport::TempDir m_Temp{"zelorm-spool"};
    std::string m_Dir = m_Temp.Path();
    std::string m_Spool = m_Dir + "/spool";
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Dir + "/locks"};
    time_t m_Now = 0;
    std::unique_ptr<CVornConfigStore> m_Store;
};

}  // namespace spooltest
