// Test fixture shared by the file tests: a private temporary directory, a
// lock directory and an event-log file inside it, and a base catalogue whose
// text of number n is "M<n>" (so an event reads "M93 (path, 2)": the text
// followed by the arguments it does not take).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/vorn_mutex.h"
#include "core/vorn_string.h"

namespace filetest {

inline std::string Str(CVornString& s) {
    return std::string(s.CStr(), static_cast<size_t>(s.Length()));
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

// TryLock of a path's lock from a fresh thread: 0 when it was free (it is
// released again at once), 1 when someone else holds it.
inline int TryPathLockElsewhere(const std::string& path) {
    return std::async(std::launch::async,
                      [path] {
                          CVornString name(path.c_str());
                          PathToLockName(name);
                          CVornMutex m;
                          int rc = m.TryLock(name.CStr());
                          if (rc == 0)
                              m.Unlock();
                          return rc;
                      })
        .get();
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelorm-file-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_Dir = pattern;
        std::string catalogue = "2 9 1\nEnglish\n";
        for (int n = 0; n < 200; ++n) {
            std::string text = "M" + std::to_string(n);
            catalogue += " m " + std::to_string(text.size()) + ":" + text + "\n";
        }
        WriteWhole(m_Dir + "/messages", catalogue);
        ASSERT_EQ(0, BaseMessageTable().ReadFile((m_Dir + "/messages").c_str(), 2, 9, 200, 0));
        setenv("ZELORM_EVENTLOG", (m_Dir + "/events").c_str(), 1);
        setenv("ZELORM_LOCK_DIR", (m_Dir + "/locks").c_str(), 1);
        std::filesystem::create_directory(m_Dir + "/work");
    }
    void TearDown() override {
        unsetenv("ZELORM_EVENTLOG");
        unsetenv("ZELORM_LOCK_DIR");
        BaseMessageTable().Clear();
        std::error_code ignored;
        std::filesystem::permissions(m_Dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(m_Dir, ignored);
    }

    // A path in the test's work directory.
    std::string Path(const std::string& name) const { return m_Dir + "/work/" + name; }

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

    std::string m_Dir;
};

}  // namespace filetest
