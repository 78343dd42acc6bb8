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
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_mutex.h"
#include "core/vorn_string.h"

namespace filetest {

inline std::string Str(CVornString& s) {
    return std::string(s.CStr(), static_cast<size_t>(s.Length()));
}

using testsupport::ReadWhole;
using testsupport::WriteWhole;

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
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Dir + "/messages",
                                                  testsupport::NumberedCatalog(200), 200));
        std::filesystem::create_directory(m_Dir + "/work");
    }
    void TearDown() override { testsupport::ClearBaseCatalog(); }

    // A path in the test's work directory.
    std::string Path(const std::string& name) const { return m_Dir + "/work/" + name; }

    // The events reported since the last call, as "type:text".
    std::vector<std::string> Events() {
        std::vector<std::string> out = testsupport::ReadEvents(m_Dir + "/events");
        std::filesystem::remove(m_Dir + "/events");
        return out;
    }

    testsupport::TempDir m_Temp{"zelorm-file"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Dir + "/locks"};
};

}  // namespace filetest
