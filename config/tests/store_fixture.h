// Fixture of the configuration store tests: a private temporary directory
// holding the three configuration files, the lock directory and an
// event-log file; a base catalogue whose text of number n is "M<n>" (an
// event then reads "M26 (path, 2)": the text and the arguments it does not
// take); the clock set to Wednesday 2024-01-03 10:00:00 local time.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_string.h"
#include "platform/clock.h"

namespace storetest {

inline std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

using testsupport::ReadWhole;
using testsupport::WriteWhole;

// A local time as seconds since 1970.
inline time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Dir + "/messages",
                                                  testsupport::NumberedCatalog(883), 883));
        m_Now = LocalTime(2024, 1, 3, 10, 0, 0);
        platform::SetTestTime(m_Now);
        m_Store = std::make_unique<CVornConfigStore>(Path("shared-config").c_str(),
                                                     Path("local-config").c_str(),
                                                     Path("vendor-config").c_str());
    }

    void TearDown() override {
        m_Store.reset();
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }

    // Writes the three files: each gets the header line, then its lines
    // (each ended with CR LF).
    void WriteConfig(const std::vector<std::string>& shared, const std::vector<std::string>& local,
                     const std::vector<std::string>& vendor = {}) {
        WriteLines("shared-config", shared);
        WriteLines("local-config", local);
        WriteLines("vendor-config", vendor);
    }

    void WriteLines(const std::string& name, const std::vector<std::string>& lines) {
        std::string text = "# 2 0\r\n";
        for (const std::string& line : lines) text += line + "\r\n";
        WriteWhole(Path(name), text);
    }

    void SetClock(time_t t) {
        m_Now = t;
        platform::SetTestTime(t);
    }

    // The events reported since the last call, as "type:text".
    std::vector<std::string> Events() {
        std::vector<std::string> out = testsupport::ReadEvents(m_Dir + "/events");
        std::filesystem::remove(m_Dir + "/events");
        return out;
    }

    // How many of the events since the last call begin with prefix.
    int CountEvents(const std::string& prefix) {
        int n = 0;
        for (const std::string& e : Events()) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    // The object's setting as it applies now, or "<none>".
    static std::string Setting(char type, const char* name, const char* attribute) {
        CVornString out;
        if (CVornConfigStore::GetObjectSetting(type, name, attribute, out) != 0)
            return "<none>";
        return Str(out);
    }

    testsupport::TempDir m_Temp{"zelorm-store"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Dir + "/locks"};
    time_t m_Now = 0;
    std::unique_ptr<CVornConfigStore> m_Store;
};

}  // namespace storetest
