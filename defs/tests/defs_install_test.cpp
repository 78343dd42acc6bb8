#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "core/tests/support/child_holder.h"
#include "core/tests/support/files.h"
#include "defs/shared_defs.h"
#include "defs/tests/support/store_fixture.h"
#include "platform/file_ops.h"
#include "platform/ini_file.h"
#include "platform/lock_file.h"
#include "platform/registry.h"
#include "core/tests/support/vorn_helpers.h"

namespace {

using defstest::StoreTest;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

class DefsInstallTest : public StoreTest {
protected:
    bool Has(const std::string& path) const { return platform::PathExists(path.c_str()); }
    std::string Incoming() const { return InRoot("INCOMING"); }
    // An application on the newest set.
    void UseNewest(const char* app) {
        SharedDefs defs;
        ASSERT_EQ(1, defs.SetAppId(app));
        char dir[kDefsMaxPath];
        ASSERT_EQ(1, defs.UseNewestDefs(dir, sizeof dir, nullptr));
    }
};

TEST_F(DefsInstallTest, AFirstInstallMakesTheNewestSetAndCleansUp) {
    ASSERT_EQ(1, Install(20261210, 1));
    EXPECT_EQ("20261210.001", DefInfo("CurDefs"));
    EXPECT_EQ("20261210.001", DefInfo("LastDefs"));
    for (const char* file : {"VirScan1.dat", "VirScanT.dat", "Hub.Scr", "CATALOG.DAT",
                             "zelorm.ndb"})
        EXPECT_TRUE(Has(InRoot("20261210.001/") + file)) << file;
    // No temporary directory, lock or published value is left.
    EXPECT_EQ((std::vector<std::string>{"20261210.001", "BinHub", "DEFINFO.DAT", "INCOMING",
                                        "TextHub"}),
              RootEntries());
    for (const char* value : {"ZELDefsInstallDir", "ZELDefsBinInstallDir",
                              "ZELDefsTextInstallDir"})
        EXPECT_EQ("", RegText(defstest::kInstalledApps, value)) << value;
}

TEST_F(DefsInstallTest, ASetThatIsNotNewerIsDiscardedWithSuccess) {
    ASSERT_EQ(1, Install(20261210, 2));
    const std::string before = ReadWhole(InRoot("DEFINFO.DAT"));
    for (int revision : {2, 1}) {
        ASSERT_EQ(1, Install(20261210, revision, kDefsModeUpdateClient,
                             {SignatureFile("other.ndb")}));
        EXPECT_EQ(before, ReadWhole(InRoot("DEFINFO.DAT")));
        EXPECT_FALSE(Has(InRoot("20261210.002/other.ndb")));
        EXPECT_FALSE(Has(InRoot("20261210.001")));
    }
    EXPECT_EQ((std::vector<std::string>{"20261210.002", "BinHub", "DEFINFO.DAT", "INCOMING",
                                        "TextHub"}),
              RootEntries());
}

TEST_F(DefsInstallTest, TheThirdInstallReleasesTheOldLastSetUnlessItIsUsed) {
    ASSERT_EQ(1, Install(20261201, 1));
    UseNewest("ZELORM_20");  // on 20261201.001
    ASSERT_EQ(1, Install(20261202, 1));
    ASSERT_EQ(1, Install(20261203, 1));
    EXPECT_EQ("20261203.001", DefInfo("CurDefs"));
    EXPECT_EQ("20261202.001", DefInfo("LastDefs"));
    EXPECT_TRUE(Has(InRoot("20261201.001")));  // still in use

    UseNewest("ZELORM_20");  // moves off: the set nobody needs goes
    EXPECT_FALSE(Has(InRoot("20261201.001")));
    ASSERT_EQ(1, Install(20261204, 1));
    EXPECT_FALSE(Has(InRoot("20261202.001")));  // unused: released at once
    EXPECT_TRUE(Has(InRoot("20261203.001")));
    EXPECT_TRUE(Has(InRoot("20261204.001")));
}

TEST_F(DefsInstallTest, ANewSetStartsFromThePreviousOneWithoutItsObsoleteFiles) {
    ASSERT_EQ(1, Install(20261201, 1, kDefsModeUpdateClient,
                         {SignatureFile("old.ndb"), SignatureFile("kept.hdb")}));
    SharedDefs defs;
    char download[kDefsMaxPath];
    ASSERT_EQ(1, defs.PreUpdate(download, sizeof download, kDefsModeUpdateClient));
    DefsSetPlan plan = Plan(20261202, 1, {SignatureFile("new.ndb")});
    plan.obsoleteFiles = {"missing.ndb", "old.ndb"};
    ASSERT_EQ("", WriteDefsSet(download, plan));
    const std::string catalog = std::string(download) + "/CATALOG.DAT";
    WriteWhole(catalog, ReadWhole(catalog) + "../DEFINFO.DAT\n");
    ASSERT_EQ(1, defs.PostUpdate());
    const std::string now = InRoot("20261202.001/"), before = InRoot("20261201.001/");
    EXPECT_TRUE(Has(now + "new.ndb"));
    EXPECT_TRUE(Has(now + "kept.hdb"));
    EXPECT_FALSE(Has(now + "old.ndb"));
    EXPECT_TRUE(Has(before + "old.ndb"));
    EXPECT_TRUE(Has(InRoot("DEFINFO.DAT")));  // an entry never leads out of the set
    uint16_t year = 0, month = 0, day = 0;
    uint32_t revision = 9;
    EXPECT_EQ(1, SharedDefs::ReadDefsHeader(now.c_str(), kDefsBinary, &year, &month, &day,
                                            &revision));
    EXPECT_EQ(2026, year);
    EXPECT_EQ(12, month);
    EXPECT_EQ(2, day);
    EXPECT_EQ(1u, revision);
}

TEST_F(DefsInstallTest, AnIncomingSetIsInstalledOnceItIsComplete) {
    ASSERT_EQ(1, Install(20261201, 1));
    MakeSet(Incoming(), 20261205, 3);
    // Its catalogue lists 400 files, far past any fixed buffer, the last
    // one not yet there.
    std::string catalog = ReadWhole(Incoming() + "/CATALOG.DAT");
    std::string files;
    for (int i = 0; i < 400; ++i) {
        const std::string name = "part-" + std::to_string(i) + ".ndb";
        files += name + "\n";
        if (i < 399) WriteWhole(Incoming() + "/" + name, "x");
    }
    catalog.replace(catalog.find("[Files]\n") + 8, 0, files);
    WriteWhole(Incoming() + "/CATALOG.DAT", catalog);

    SharedDefs defs;
    char buffer[kDefsMaxPath];
    ASSERT_EQ(1, defs.PreUpdate(buffer, sizeof buffer, kDefsModeUpdateClient));
    EXPECT_EQ("20261201.001", DefInfo("CurDefs"));  // incomplete: left alone
    EXPECT_TRUE(Has(Incoming() + "/VirScan1.dat"));
    ASSERT_EQ(1, defs.PostUpdate());

    WriteWhole(Incoming() + "/part-399.ndb", "x");
    ASSERT_EQ(1, Install(20261101, 1));  // its PreUpdate installs INCOMING, whatever its date
    EXPECT_EQ("20261205.003", DefInfo("CurDefs"));
    EXPECT_TRUE(Has(InRoot("20261205.003/part-399.ndb")));
    EXPECT_TRUE(Has(Incoming()));
    EXPECT_TRUE(testsupport::ReadWhole(Incoming() + "/CATALOG.DAT").empty());
    EXPECT_FALSE(Has(InRoot("20261101.001")));  // older than the newest: discarded
}

TEST_F(DefsInstallTest, ASameDatedReinstallReplacesFilesInPlaceAndKeepsLastDefs) {
    ASSERT_EQ(1, Install(20261201, 1));
    ASSERT_EQ(1, Install(20261202, 1));
    UseNewest("ZELORM_20");
    WriteWhole(m_Temp.Path("zelorm.ndb"), "Test.Sig.Changed:0:*:5a5a5a\n");
    MakeSet(Incoming(), 20261202, 1);
    UseNewest("ZELORM_20");
    EXPECT_EQ("20261202.001", DefInfo("CurDefs"));
    EXPECT_EQ("20261201.001", DefInfo("LastDefs"));
    EXPECT_TRUE(Has(InRoot("20261201.001")));
    EXPECT_EQ("Test.Sig.Changed:0:*:5a5a5a\n", ReadWhole(InRoot("20261202.001/zelorm.ndb")));
    EXPECT_FALSE(Has(Incoming() + "/VirScan1.dat"));
}

TEST_F(DefsInstallTest, AFailedRecordRemovesOnlyADirectoryTheInstallCreated) {
    ASSERT_EQ(1, Install(20261201, 1));
    UseNewest("ZELORM_20");
    // DEFINFO.DAT cannot be rewritten: a directory stands in its place.
    const std::string info = ReadWhole(InRoot("DEFINFO.DAT"));
    ASSERT_TRUE(platform::RemovePath(InRoot("DEFINFO.DAT").c_str()));
    ASSERT_EQ(0, mkdir(InRoot("DEFINFO.DAT").c_str(), 0700));
    EXPECT_EQ(0, Install(20261202, 1));
    EXPECT_FALSE(Has(InRoot("20261202.001")));

    // The same name as a set in use: the set is kept whole, and the source
    // is not deleted before the install is recorded.
    // The application still starts, on its own set.
    MakeSet(Incoming(), 20261201, 1);
    UseNewest("ZELORM_20");
    EXPECT_TRUE(Has(InRoot("20261201.001/VirScan1.dat")));
    EXPECT_TRUE(Has(Incoming() + "/VirScan1.dat"));

    ASSERT_TRUE(platform::RemoveDirectory(InRoot("DEFINFO.DAT").c_str()));
    WriteWhole(InRoot("DEFINFO.DAT"), info);
    UseNewest("ZELORM_20");
    EXPECT_FALSE(Has(Incoming() + "/VirScan1.dat"));
}

TEST_F(DefsInstallTest, InstallationModeFillsTheHubsAndStampsThem) {
    ASSERT_EQ(1, Install(20261210, 4, kDefsModeInstall));
    EXPECT_EQ("20261210.004", RegText(defstest::kQuillset, "BinHubStamp"));
    EXPECT_EQ("20261210.004", RegText(defstest::kQuillset, "TextHubStamp"));
    EXPECT_EQ(std::string("\x01\0\0\0", 4), RegText(defstest::kQuillset, "LastBinUpdate"));
    EXPECT_EQ(std::string("\x01\0\0\0", 4), RegText(defstest::kQuillset, "LastTextUpdate"));
    for (const char* file : {"BinHub/VirScan1.dat", "BinHub/Hub.Scr", "BinHub/zelorm.ndb",
                             "TextHub/VirScanT.dat", "TextHub/Hub.Scr"})
        EXPECT_TRUE(Has(InRoot(file))) << file;
}

TEST_F(DefsInstallTest, WithoutATextHubNoStampIsWritten) {
    SharedDefs defs;
    char buffer[kDefsMaxPath];
    ASSERT_EQ(1, defs.PreUpdate(buffer, sizeof buffer, kDefsModeInstall));
    ASSERT_EQ("", WriteDefsSet(buffer, Plan(20261210, 1)));
    ASSERT_TRUE(platform::RemoveDirectory(InRoot("TextHub").c_str()));
    ASSERT_EQ(1, defs.PostUpdate());
    EXPECT_TRUE(Has(InRoot("BinHub/VirScan1.dat")));
    EXPECT_EQ("", RegText(defstest::kQuillset, "BinHubStamp"));
    EXPECT_EQ("20261210.001", DefInfo("CurDefs"));
}

TEST_F(DefsInstallTest, ASecondUpdateWhileAnotherProcessHoldsTheLockFails) {
    ASSERT_EQ(1, Install(20261201, 1));
    const std::string kblock = InRoot("KBLOCK.DAT");
    testsupport::ChildHolder child(
        [kblock]() -> testsupport::ChildHolder::Release {
            auto lock = std::make_shared<platform::LockFile>();
            if (!lock->Acquire(kblock)) return nullptr;
            return [lock]() {
                lock->Release();
                return true;
            };
        },
        false);
    ASSERT_EQ('y', child.Report());
    SharedDefs defs;
    char buffer[kDefsMaxPath];
    EXPECT_EQ(0, defs.PreUpdate(buffer, sizeof buffer, kDefsModeUpdateClient));
    EXPECT_EQ(0, defs.PostUpdate());
    EXPECT_TRUE(Has(kblock));  // the other holder's file is not touched
    EXPECT_EQ(1, Install(20261202, 1, kDefsModeInstall));  // installation mode takes no lock
    child.Command();
    EXPECT_EQ('r', child.Report());
    EXPECT_TRUE(child.Reap());
    EXPECT_EQ((std::vector<std::string>{"20261201.001", "20261202.001", "BinHub", "DEFINFO.DAT",
                                        "INCOMING", "TextHub"}),
              RootEntries());
}

TEST_F(DefsInstallTest, ASecondPostUpdateDoesNothing) {
    SharedDefs first, second;
    char one[kDefsMaxPath], two[kDefsMaxPath];
    ASSERT_EQ(1, first.PreUpdate(one, sizeof one, kDefsModeUpdateClient));
    ASSERT_EQ("", WriteDefsSet(one, Plan(20261201, 1)));
    ASSERT_EQ(1, first.PostUpdate());
    ASSERT_EQ(1, second.PreUpdate(two, sizeof two, kDefsModeUpdateClient));
    EXPECT_EQ(0, first.PostUpdate());
    // The other update's directory, values and lock are untouched.
    EXPECT_TRUE(Has(two));
    EXPECT_EQ(two, RegText(defstest::kInstalledApps, "ZELDefsInstallDir"));
    EXPECT_TRUE(Has(InRoot("KBLOCK.DAT")));
    EXPECT_EQ(1, second.PostUpdate());
    EXPECT_FALSE(Has(InRoot("KBLOCK.DAT")));
}

// ---- installs killed part-way ----

const char* g_KillAt = nullptr;

void KillAtStep(const char* step) {
    if (g_KillAt != nullptr && strcmp(step, g_KillAt) == 0) raise(SIGKILL);
}

// Runs body in a child process that dies by SIGKILL at the named step;
// true when it did.
bool KilledAt(const char* step, const std::function<void()>& body) {
    fflush(nullptr);
    pid_t pid = testsupport::ForkWithoutThreads();
    if (pid == 0) {
        g_KillAt = step;
        SharedDefs::SetStepHook(KillAtStep);
        body();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

class DefsKilledInstallTest : public DefsInstallTest,
                              public ::testing::WithParamInterface<const char*> {
protected:
    // The application's set after a look: a whole set of the given name.
    void ExpectAppOnWholeSet(const std::string& name) {
        SharedDefs defs;
        ASSERT_EQ(1, defs.SetAppId("ZELORM_20"));
        char dir[kDefsMaxPath];
        ASSERT_EQ(1, defs.UseNewestDefs(dir, sizeof dir, nullptr));
        EXPECT_EQ(InRoot(name), dir);
        std::vector<std::string> files;
        ASSERT_TRUE(platform::IniReadSection(std::string(dir) + "/CATALOG.DAT", "Files", files));
        for (const std::string& file : files)
            EXPECT_TRUE(Has(std::string(dir) + "/" + file)) << file;
        EXPECT_EQ(1, defs.DefsAreCurrent());
    }
};

TEST_P(DefsKilledInstallTest, AnUpdateKilledAnywhereLeavesAUsableStore) {
    ASSERT_EQ(1, Install(20261201, 1));
    UseNewest("ZELORM_20");
    ASSERT_TRUE(KilledAt(GetParam(), [this]() { Install(20261202, 1); }));
    // What a copy killed half-way leaves behind never spreads to later sets.
    WriteWhole(InRoot("20261201.001/.zelorm.ndb.x1Y2z3"), "half");
    // The application is on a whole set: the old one, or the new one once
    // it was recorded.
    SharedDefs look;
    uint16_t y, m, d;
    uint32_t r;
    ASSERT_EQ(1, look.GetNewestDefsDate(&y, &m, &d, &r));
    ExpectAppOnWholeSet(d == 1 ? "20261201.001" : "20261202.001");
    // The lock of the dead update does not block the next one.
    EXPECT_EQ(1, Install(20261203, 1));
    ExpectAppOnWholeSet("20261203.001");
    EXPECT_FALSE(Has(InRoot("20261203.001/.zelorm.ndb.x1Y2z3")));
}

TEST_P(DefsKilledInstallTest, AnIncomingInstallKilledAnywhereIsFinishedByTheNextLook) {
    ASSERT_EQ(1, Install(20261201, 1));
    UseNewest("ZELORM_20");
    MakeSet(Incoming(), 20261205, 2);
    const bool killed = KilledAt(GetParam(), [this]() { UseNewest("ZELORM_20"); });
    if (std::string(GetParam()) == "update-installed") {
        EXPECT_FALSE(killed);  // not a step of this road
    } else {
        EXPECT_TRUE(killed);
    }
    ExpectAppOnWholeSet("20261205.002");
    EXPECT_FALSE(Has(Incoming() + "/VirScan1.dat"));
    EXPECT_TRUE(Has(InRoot("20261201.001")));  // LastDefs
}

INSTANTIATE_TEST_SUITE_P(Steps, DefsKilledInstallTest,
                         ::testing::Values("install-target-made", "install-files-copied",
                                           "install-recorded", "install-source-emptied",
                                           "update-installed"));

}  // namespace
