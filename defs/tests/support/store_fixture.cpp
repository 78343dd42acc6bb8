// The store fixture of the definitions tests (see store_fixture.h).
#include "defs/tests/support/store_fixture.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/tests/support/files.h"
#include "platform/file_ops.h"
#include "platform/ini_file.h"
#include "platform/registry.h"

namespace defstest {

StoreTest::StoreTest() : m_Registry("ZELORM_REGISTRY", m_Temp.Path("registry.reg")) {
    const std::string common = m_Temp.Path("common");
    EXPECT_EQ(platform::kRegSuccess, platform::RegCreateKey(kCurrentVersion));
    EXPECT_EQ(platform::kRegSuccess,
              platform::RegWriteValue(kCurrentVersion, "CommonFilesDir", platform::kRegSz,
                                      common.data(), common.size()));
}

std::string StoreTest::ExpectedRoot() const {
    return m_Temp.Path("common/Quorvane Shared/VirusDefs");
}

std::string StoreTest::SignatureFile(const std::string& name) {
    const std::string path = m_Temp.Path(name);
    if (!platform::PathExists(path.c_str()))
        testsupport::WriteWhole(path, "Test.Sig." + name + ":0:*:414243444546\n");
    return path;
}

DefsSetPlan StoreTest::Plan(int date, int revision, const std::vector<std::string>& files) {
    DefsSetPlan plan;
    plan.year = date / 10000;
    plan.month = date / 100 % 100;
    plan.day = date % 100;
    plan.revision = revision;
    plan.signatureFiles = files.empty() ? std::vector<std::string>{SignatureFile()} : files;
    return plan;
}

void StoreTest::MakeSet(const std::string& dir, int date, int revision,
                        const std::vector<std::string>& files,
                        const std::vector<std::string>& obsolete) {
    mkdir(dir.c_str(), 0700);
    DefsSetPlan plan = Plan(date, revision, files);
    plan.obsoleteFiles = obsolete;
    ASSERT_EQ("", WriteDefsSet(dir, plan));
}

int StoreTest::Install(int date, int revision, int mode, const std::vector<std::string>& files,
                       const std::vector<std::string>& obsolete) {
    SharedDefs defs;
    char download[kDefsMaxPath];
    if (!defs.PreUpdate(download, sizeof download, mode)) return -1;
    DefsSetPlan plan = Plan(date, revision, files);
    plan.obsoleteFiles = obsolete;
    EXPECT_EQ("", WriteDefsSet(download, plan));
    return defs.PostUpdate();
}

std::string StoreTest::Root() const { return ExpectedRoot(); }

std::string StoreTest::InRoot(const std::string& name) const { return Root() + "/" + name; }

std::string StoreTest::DefInfo(const char* key) const {
    std::string value;
    platform::IniReadString(InRoot("DEFINFO.DAT"), "DefDates", key, value);
    return value;
}

std::vector<std::string> StoreTest::RootEntries() const {
    std::vector<std::string> names, kept;
    platform::ListDirectory(Root().c_str(), &names);
    for (const std::string& name : names)
        if (name[0] != '.') kept.push_back(name);
    std::sort(kept.begin(), kept.end());
    return kept;
}

std::string StoreTest::RegText(const char* key, const char* name) {
    platform::RegValue value;
    if (platform::RegQueryValue(key, name, value) != platform::kRegSuccess) return "";
    return value.data;
}

}  // namespace defstest
