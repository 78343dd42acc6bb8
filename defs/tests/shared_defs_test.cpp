#include "defs/shared_defs.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "core/tests/support/files.h"
#include "defs/tests/support/store_fixture.h"
#include "platform/file_ops.h"
#include "platform/registry.h"

namespace {

using defstest::StoreTest;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

TEST(SharedDefsPathTest, JoinPuts1SlashBetweenAndNeverOverflows) {
    struct {
        const char* base;
        const char* name;
        size_t size;
        int result;
        const char* after;
    } cases[] = {
        {"/var/defs", "INCOMING", 260, 1, "/var/defs/INCOMING"},
        {"/var/defs/", "INCOMING", 260, 1, "/var/defs/INCOMING"},
        {"/", "/name", 260, 1, "/name"},
        {"/var/defs/", "/name", 260, 1, "/var/defs/name"},
        {"", "name", 260, 1, "name"},
        {"/ab", "cd", 7, 1, "/ab/cd"},   // exactly fits with its NUL
        {"/ab", "cde", 7, 0, "/ab"},     // one byte short: unchanged
    };
    for (const auto& c : cases) {
        char buffer[300];
        memset(buffer, 'Z', sizeof buffer);
        strcpy(buffer, c.base);
        EXPECT_EQ(c.result, SharedDefs::joinPath(buffer, c.size, c.name)) << c.base << c.name;
        EXPECT_STREQ(c.after, buffer);
        EXPECT_EQ('Z', buffer[c.size]) << "wrote past the size";
    }
    // A result past the store's path bound fails whatever the buffer holds.
    char big[1000] = "/";
    EXPECT_EQ(0, SharedDefs::joinPath(big, sizeof big, std::string(300, 'x').c_str()));
    EXPECT_STREQ("/", big);
}

class SharedDefsTest : public StoreTest {};

TEST_F(SharedDefsTest, HeaderGivesTheDatedNameAndTheOrderOfSets) {
    struct {
        unsigned char revision, month, day, year;
        const char* name;
    } cases[] = {
        {7, 12, 31, 99, "19991231.007"},
        {0, 1, 1, 100, "20000101.000"},
        {255, 6, 9, 126, "20260609.255"},
    };
    for (const auto& c : cases) {
        const std::string dir = m_Temp.Path(c.name);
        mkdir(dir.c_str(), 0700);
        std::string header(32, '\0');
        header[4] = static_cast<char>(c.revision);
        header[8] = static_cast<char>(c.month);
        header[9] = static_cast<char>(c.day);
        header[10] = static_cast<char>(c.year);
        WriteWhole(dir + "/VirScan1.dat", header);
        std::string name;
        ASSERT_TRUE(SharedDefs::makeDefsDirName(dir, kDefsBinary, name));
        EXPECT_EQ(c.name, name);
        EXPECT_FALSE(SharedDefs::makeDefsDirName(dir, kDefsText, name));  // no VirScanT.dat
    }
    const std::string older = m_Temp.Path("19991231.007"), newer = m_Temp.Path("20000101.000");
    const std::string twin = m_Temp.Path("twin"), none = m_Temp.Path("none"),
                      shortHeader = m_Temp.Path("short");
    MakeSet(twin, 19991231, 7);
    mkdir(none.c_str(), 0700);
    mkdir(shortHeader.c_str(), 0700);
    WriteWhole(shortHeader + "/VirScan1.dat", std::string(31, '\x7f'));
    EXPECT_TRUE(SharedDefs::isNewer(newer, older, kDefsBinary, kDefsBinary));
    EXPECT_FALSE(SharedDefs::isNewer(older, newer, kDefsBinary, kDefsBinary));
    EXPECT_FALSE(SharedDefs::isNewer(older, twin, kDefsBinary, kDefsBinary));  // equal sets
    EXPECT_FALSE(SharedDefs::isNewer(twin, older, kDefsBinary, kDefsBinary));
    EXPECT_TRUE(SharedDefs::isNewer(twin, none, kDefsText, kDefsBinary));  // the text header
    EXPECT_FALSE(SharedDefs::isNewer(none, twin, kDefsText, kDefsText));
    EXPECT_FALSE(SharedDefs::isNewer(none, older, kDefsBinary, kDefsBinary));
    EXPECT_FALSE(SharedDefs::isNewer(shortHeader, none, kDefsBinary, kDefsBinary));
    EXPECT_TRUE(SharedDefs::isNewer(older, none, kDefsBinary, kDefsBinary));
    EXPECT_TRUE(SharedDefs::isNewer(older, shortHeader, kDefsBinary, kDefsBinary));
}

TEST_F(SharedDefsTest, ARootThatIsMissingStaysUnknownButTheIdIsKept) {
    ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(defstest::kInstalledApps));
    const std::string missing = m_Temp.Path("gone");
    platform::RegWriteValue(defstest::kInstalledApps, "MORAQDEFS", platform::kRegSz,
                            missing.data(), missing.size());
    SharedDefs defs;
    EXPECT_EQ("", defs.Root());
    EXPECT_EQ(0, defs.SetAppId("ZELORM_20"));
    char buffer[kDefsMaxPath];
    EXPECT_EQ(0, defs.UseNewestDefs(buffer, sizeof buffer, nullptr));
    // The first update creates the store under CommonFilesDir and records it.
    ASSERT_EQ(1, defs.PreUpdate(buffer, sizeof buffer, kDefsModeUpdateClient));
    EXPECT_EQ(ExpectedRoot(), defs.Root());
    EXPECT_EQ(ExpectedRoot(), RegText(defstest::kInstalledApps, "MORAQDEFS"));
    ASSERT_EQ("", WriteDefsSet(buffer, Plan(20261210, 1)));
    ASSERT_EQ(1, defs.PostUpdate());
    int changed = 0;
    EXPECT_EQ(1, defs.UseNewestDefs(buffer, sizeof buffer, &changed));  // the id stayed
    EXPECT_EQ(InRoot("20261210.001"), buffer);
    EXPECT_EQ(1, changed);
    EXPECT_EQ(1, SharedDefs().SetAppId("ZELORM_20"));
}

TEST_F(SharedDefsTest, UnusableIdsAreRefused) {
    SharedDefs defs;
    for (const char* id : {static_cast<const char*>(nullptr), "", "A=B", "[A", ";A", "A\nB",
                           "A\\B", " A"}) {
        EXPECT_EQ(0, defs.SetAppId(id)) << (id ? id : "(null)");
        EXPECT_EQ(0, defs.SetAppInfo(id, nullptr, nullptr));
    }
    EXPECT_EQ(1, defs.SetAppInfo("ZELORM_20", nullptr, nullptr));  // no root needed
}

TEST_F(SharedDefsTest, TheFallbackRootIsUsedWhenNoStoreIsFound) {
    const std::string fallback = m_Temp.Path("installer/defs");
    SharedDefs defs;
    ASSERT_EQ(1, defs.SetAppInfo("ZELORM_20", nullptr, fallback.c_str()));
    char buffer[kDefsMaxPath];
    ASSERT_EQ(1, defs.PreUpdate(buffer, sizeof buffer, kDefsModeInstall));
    EXPECT_EQ(fallback, defs.Root());
    EXPECT_EQ(fallback, RegText(defstest::kInstalledApps, "MORAQDEFS"));
    for (const char* sub : {"INCOMING", "BinHub", "TextHub"})
        EXPECT_TRUE(platform::PathExists((fallback + "/" + sub).c_str())) << sub;
    ASSERT_EQ("", WriteDefsSet(buffer, Plan(20261210, 1)));
    EXPECT_EQ(1, defs.PostUpdate());
    EXPECT_TRUE(platform::PathExists((fallback + "/20261210.001").c_str()));
}

TEST_F(SharedDefsTest, PlainModeWithoutARootFailsAndCreatesNothing) {
    SharedDefs defs;
    char buffer[kDefsMaxPath] = "untouched";
    EXPECT_EQ(0, defs.PreUpdate(buffer, sizeof buffer, kDefsModePlain));
    EXPECT_STREQ("untouched", buffer);
    EXPECT_FALSE(platform::PathExists(m_Temp.Path("common").c_str()));
    EXPECT_EQ("", RegText(defstest::kInstalledApps, "MORAQDEFS"));
    EXPECT_EQ(0, defs.PostUpdate());
}

TEST_F(SharedDefsTest, ADownloadDirectoryThatDoesNotFitTheBufferFailsCleanly) {
    SharedDefs defs;
    char buffer[kDefsMaxPath];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(0, defs.PreUpdate(buffer, 10, kDefsModeUpdateClient));
    EXPECT_EQ('Z', buffer[0]);
    // No temporary directory, published value or lock stays behind.
    EXPECT_EQ((std::vector<std::string>{"BinHub", "INCOMING", "TextHub"}), RootEntries());
    EXPECT_EQ("", RegText(defstest::kInstalledApps, "ZELDefsInstallDir"));
    ASSERT_EQ(1, defs.PreUpdate(buffer, sizeof buffer, kDefsModeUpdateClient));
    // An empty download with no set installed yet: nothing can be installed.
    EXPECT_EQ(0, defs.PostUpdate());
    EXPECT_EQ((std::vector<std::string>{"BinHub", "INCOMING", "TextHub"}), RootEntries());
}

}  // namespace
