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
#include "core/vorn_string.h"
#include "platform/clock.h"

namespace storetest {

inline std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

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
        char pattern[] = "/tmp/zelorm-store-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_Dir = pattern;
        std::string catalogue = "2 9 1\nEnglish\n";
        for (int n = 0; n < 700; ++n) {
            std::string text = "M" + std::to_string(n);
            catalogue += " m " + std::to_string(text.size()) + ":" + text + "\n";
        }
        WriteWhole(m_Dir + "/messages", catalogue);
        ASSERT_EQ(0, BaseMessageTable().ReadFile((m_Dir + "/messages").c_str(), 2, 9, 700, 0));
        setenv("ZELORM_EVENTLOG", (m_Dir + "/events").c_str(), 1);
        setenv("ZELORM_LOCK_DIR", (m_Dir + "/locks").c_str(), 1);
        m_Now = LocalTime(2024, 1, 3, 10, 0, 0);
        platform::SetTestTime(m_Now);
        m_Store = std::make_unique<CVornConfigStore>(Path("shared-config").c_str(),
                                                     Path("local-config").c_str(),
                                                     Path("vendor-config").c_str());
    }

    void TearDown() override {
        m_Store.reset();
        platform::ClearTestTime();
        unsetenv("ZELORM_EVENTLOG");
        unsetenv("ZELORM_LOCK_DIR");
        BaseMessageTable().Clear();
        std::error_code ignored;
        std::filesystem::remove_all(m_Dir, ignored);
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
        std::vector<std::string> out;
        std::ifstream in(m_Dir + "/events");
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            size_t start = 0;
            for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
                fields.push_back(line.substr(start, tab - start));
            fields.push_back(line.substr(start));
            if (fields.size() >= 5)
                out.push_back(fields[2] + ":" + fields[4]);
        }
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

    std::string m_Dir;
    time_t m_Now = 0;
    std::unique_ptr<CVornConfigStore> m_Store;
};

}  // namespace storetest
