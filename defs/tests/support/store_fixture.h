// A private definitions store for one test: its own registry file and
// common-files directory under a temporary directory, and helpers to make
// and install sets.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "defs/defs_set.h"
#include "defs/shared_defs.h"

namespace defstest {

class StoreTest : public ::testing::Test {
protected:
    StoreTest();

    // <temp>/common/Quorvane Shared/VirusDefs: where the store's root goes.
    std::string ExpectedRoot() const;
    // A signature file in the temporary directory (made on first use).
    std::string SignatureFile(const std::string& name = "zelorm.ndb");
    // A plan for yyyymmdd.rev with one signature file.
    DefsSetPlan Plan(int date, int revision, const std::vector<std::string>& files = {});
    // Writes a complete set into dir (made when missing).
    void MakeSet(const std::string& dir, int date, int revision,
                 const std::vector<std::string>& files = {},
                 const std::vector<std::string>& obsolete = {});
    // A whole update through PreUpdate and PostUpdate on a fresh object;
    // the PostUpdate result.
    int Install(int date, int revision, int mode = kDefsModeUpdateClient,
                const std::vector<std::string>& files = {},
                const std::vector<std::string>& obsolete = {});
    // The store's root (after an install), a path in it, a DEFINFO.DAT value.
    std::string Root() const;
    std::string InRoot(const std::string& name) const;
    std::string DefInfo(const char* key) const;
    // Names of the root's entries, sorted, dot names left out.
    std::vector<std::string> RootEntries() const;
    // The registry text value, empty when absent.
    static std::string RegText(const char* key, const char* name);

    testsupport::TempDir m_Temp{"zelorm-defs"};
    testsupport::ScopedEnv m_Registry;
};

constexpr const char* kInstalledApps = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\InstalledApps";
constexpr const char* kSharedDefs = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedDefs";
constexpr const char* kQuillset = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedDefs\\Quillset";
constexpr const char* kCurrentVersion =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

}  // namespace defstest
