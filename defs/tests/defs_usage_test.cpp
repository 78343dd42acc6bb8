#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

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

namespace {

using defstest::StoreTest;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

class DefsUsageTest : public StoreTest {
protected:
    bool Has(const std::string& path) const { return platform::PathExists(path.c_str()); }
    std::string Incoming() const { return InRoot("INCOMING"); }
    std::string Usage(const std::string& section, const std::string& id) const {
        std::string value;
        platform::IniReadString(InRoot("USAGE.DAT"), section, id, value);
        return value;
    }

    struct Result {
        int result;
        std::string dir;
        int changed;
    };
    static Result UseNewest(SharedDefs& defs, size_t size = kDefsMaxPath) {
        char buffer[kDefsMaxPath];
        strcpy(buffer, "untouched");
        int changed = -1;
        int result = defs.UseNewestDefs(buffer, size, &changed);
        return {result, buffer, changed};
    }
    static std::unique_ptr<SharedDefs> App(const char* id) {
        auto defs = std::make_unique<SharedDefs>();
        defs->SetAppId(id);
        return defs;
    }
};

TEST_F(DefsUsageTest, AnApplicationMovesToTheNewestSetAndStaysThere) {
    ASSERT_EQ(1, Install(20261201, 1));
    auto app = App("ZELORM_20");
    Result first = UseNewest(*app);
    EXPECT_EQ(1, first.result);
    EXPECT_EQ(InRoot("20261201.001"), first.dir);
    EXPECT_EQ(1, first.changed);
    EXPECT_EQ("1", Usage("20261201.001", "ZELORM_20"));
    EXPECT_EQ(InRoot("20261201.001"), RegText(defstest::kSharedDefs, "ZELORM_20"));

    Result again = UseNewest(*app);
    EXPECT_EQ(1, again.result);
    EXPECT_EQ(InRoot("20261201.001"), again.dir);
    EXPECT_EQ(0, again.changed);
    EXPECT_EQ(1, app->DefsAreCurrent());

    ASSERT_EQ(1, Install(20261202, 1));
    EXPECT_EQ(0, app->DefsAreCurrent());
    uint16_t year, month, day;
    uint32_t revision;
    ASSERT_EQ(1, app->GetCurrentDefsDate(&year, &month, &day, &revision));
    EXPECT_EQ(1, day);
    ASSERT_EQ(1, app->GetNewestDefsDate(&year, &month, &day, &revision));
    EXPECT_EQ(2, day);
    Result moved = UseNewest(*app);
    EXPECT_EQ(InRoot("20261202.001"), moved.dir);
    EXPECT_EQ(1, moved.changed);
    EXPECT_EQ("", Usage("20261201.001", "ZELORM_20"));
    EXPECT_TRUE(Has(InRoot("20261201.001")));  // LastDefs stays
}

TEST_F(DefsUsageTest, WithoutASetThereIsNothingToUse) {
    auto app = App("ZELORM_20");
    Result none = UseNewest(*app);
    EXPECT_EQ(0, none.result);  // no root yet
    ASSERT_EQ(1, Install(20261201, 1));
    ASSERT_TRUE(platform::RemovePath(InRoot("DEFINFO.DAT").c_str()));
    app = App("ZELORM_20");
    none = UseNewest(*app);
    EXPECT_EQ(0, none.result);
    EXPECT_EQ(0, app->DefsAreCurrent());
    EXPECT_EQ(0, app->GetNewestDefsDate(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, app->GetCurrentDefsDate(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(DefsUsageTest, ANewestSetThatDoesNotFitTheBufferLeavesTheApplicationWhereItWas) {
    ASSERT_EQ(1, Install(20261201, 1));
    auto app = App("ZELORM_20");
    const size_t exact = InRoot("20261201.001").size();
    Result none = UseNewest(*app, exact);  // no room for the NUL
    EXPECT_EQ(0, none.result);
    EXPECT_EQ("", none.dir);
    EXPECT_EQ("", Usage("20261201.001", "ZELORM_20"));

    ASSERT_EQ(1, UseNewest(*app).result);
    ASSERT_EQ(1, Install(20261202, 1));
    Result stays = UseNewest(*app, exact);
    EXPECT_EQ(1, stays.result);  // it still has its set (whose name does not fit either)
    EXPECT_EQ("", stays.dir);
    EXPECT_EQ(0, stays.changed);
    EXPECT_EQ("1", Usage("20261201.001", "ZELORM_20"));
}

TEST_F(DefsUsageTest, JoiningASetRequiresAnotherUser) {
    ASSERT_EQ(1, Install(20261201, 1));
    auto first = App("ZELORM_20");
    ASSERT_EQ(1, UseNewest(*first).result);
    ASSERT_EQ(1, Install(20261202, 1));
    auto second = App("ZELORM_UPDATE");
    ASSERT_EQ(1, UseNewest(*second).result);  // on 20261202.001

    EXPECT_EQ(1, second->UseDefs((InRoot("20261201.001") + "/").c_str()));
    EXPECT_EQ("1", Usage("20261201.001", "ZELORM_UPDATE"));
    EXPECT_EQ(0, first->UseDefs(InRoot("20261202.001").c_str()));  // nobody uses it now
    EXPECT_EQ(InRoot("20261201.001"), RegText(defstest::kSharedDefs, "ZELORM_20"));
    EXPECT_EQ("1", Usage("20261201.001", "ZELORM_20"));
    for (const std::string& bad : {Incoming(), m_Temp.Path(), std::string("relative")})
        EXPECT_EQ(0, first->UseDefs(bad.c_str())) << bad;
}

TEST_F(DefsUsageTest, TheLastUserMovingOffAnOldSetRemovesIt) {
    ASSERT_EQ(1, Install(20261201, 1));
    auto app = App("ZELORM_20");
    ASSERT_EQ(1, UseNewest(*app).result);
    ASSERT_EQ(1, Install(20261202, 1));
    ASSERT_EQ(1, Install(20261203, 1));  // 20261201.001 is neither CurDefs nor LastDefs
    EXPECT_TRUE(Has(InRoot("20261201.001")));
    EXPECT_EQ(1, UseNewest(*app).changed);
    EXPECT_FALSE(Has(InRoot("20261201.001")));
    EXPECT_TRUE(Has(InRoot("20261202.001")));
}

TEST_F(DefsUsageTest, OnlyTheFilesOfADefinitionsDirectoryAreEverDeleted) {
    ASSERT_EQ(1, Install(20261201, 1));
    ASSERT_EQ(1, Install(20261202, 1));
    ASSERT_EQ(1, Install(20261203, 1));
    // Two sets in use that are neither CurDefs nor LastDefs: one no longer a
    // definitions directory, one holding a subdirectory.
    const std::string plain = InRoot("20261130.001"), nested = InRoot("20261129.001");
    ASSERT_EQ(0, mkdir(plain.c_str(), 0700));
    MakeSet(nested, 20261129, 1);
    WriteWhole(plain + "/notes.txt", "someone's");
    ASSERT_EQ(0, mkdir((nested + "/sub").c_str(), 0700));
    WriteWhole(nested + "/sub/inner.ndb", "kept");
    WriteWhole(InRoot("USAGE.DAT"), "[20261130.001]\nOTHER=1\n[20261129.001]\nTHIRD=1\n");
    auto other = App("OTHER");
    auto third = App("THIRD");
    EXPECT_EQ(1, other->StopUsingDefs());
    EXPECT_EQ("someone's", ReadWhole(plain + "/notes.txt"));
    EXPECT_EQ(1, third->StopUsingDefs());  // the last one: the store goes, as far as it can
    EXPECT_FALSE(Has(nested + "/VirScan1.dat"));
    EXPECT_EQ("kept", ReadWhole(nested + "/sub/inner.ndb"));
    EXPECT_EQ("someone's", ReadWhole(plain + "/notes.txt"));
    EXPECT_TRUE(Has(Root()));
    EXPECT_EQ(Root(), RegText(defstest::kInstalledApps, "MORAQDEFS"));
}

TEST_F(DefsUsageTest, StopUsingKeepsTheStoreForOthersAndTheLastRemovesIt) {
    ASSERT_EQ(1, Install(20261201, 1, kDefsModeInstall));
    ASSERT_EQ(1, Install(20261202, 1, kDefsModeInstall));
    auto gateway = App("ZELORM_20");
    auto updater = App("ZELORM_UPDATE");
    ASSERT_EQ(1, UseNewest(*gateway).result);
    ASSERT_EQ(1, UseNewest(*updater).result);
    MakeSet(Incoming(), 20261101, 1);
    WriteWhole(Incoming() + "/VirScan1.dat", "broken");

    EXPECT_EQ(1, gateway->StopUsingDefs());
    EXPECT_EQ("", RegText(defstest::kSharedDefs, "ZELORM_20"));
    EXPECT_TRUE(Has(InRoot("20261202.001")));
    EXPECT_EQ("1", Usage("20261202.001", "ZELORM_UPDATE"));

    EXPECT_EQ(1, updater->StopUsingDefs());
    EXPECT_FALSE(Has(Root()));
    EXPECT_TRUE(Has(m_Temp.Path("common/Quorvane Shared")));
    for (const char* value : {"BinHubStamp", "TextHubStamp", "LastBinUpdate", "LastTextUpdate"})
        EXPECT_EQ("", RegText(defstest::kQuillset, value)) << value;
    EXPECT_EQ(platform::kRegNotFound, platform::RegKeyExists(defstest::kSharedDefs));
    EXPECT_EQ("", RegText(defstest::kInstalledApps, "MORAQDEFS"));
    EXPECT_EQ(0, updater->StopUsingDefs());  // no root any more
}

TEST_F(DefsUsageTest, TheInstallerTellsItsApplicationWhereTheStoreIsUntilItLeaves) {
    const std::string appDir = m_Temp.Path("app");
    ASSERT_EQ(0, mkdir(appDir.c_str(), 0700));
    SharedDefs installer;
    ASSERT_EQ(1, installer.SetAppInfo("ZELORM_20", (appDir + "/").c_str(), nullptr));
    char download[kDefsMaxPath];
    ASSERT_EQ(1, installer.PreUpdate(download, sizeof download, kDefsModeInstall));
    std::string location;
    ASSERT_TRUE(platform::IniReadString(appDir + "/DEFLOC.DAT", "DefBaseLocation", "Location",
                                        location));
    EXPECT_EQ(Root(), location);
    ASSERT_EQ("", WriteDefsSet(download, Plan(20261201, 1)));
    ASSERT_EQ(1, installer.PostUpdate());
    Result result = UseNewest(installer);
    ASSERT_EQ(1, result.result);
    // The installer's second id joins the same set.
    ASSERT_EQ(1, installer.SetAppId("ZELORM_UPDATE"));
    ASSERT_EQ(1, installer.UseDefs(result.dir.c_str()));
    ASSERT_EQ(1, installer.SetAppId("ZELORM_20"));
    ASSERT_EQ(1, installer.UseDefs(result.dir.c_str()));  // already there: still fine
    EXPECT_EQ("1", Usage("20261201.001", "ZELORM_UPDATE"));
    EXPECT_EQ(1, installer.StopUsingDefs());
    EXPECT_FALSE(Has(appDir + "/DEFLOC.DAT"));
    EXPECT_TRUE(Has(InRoot("20261201.001")));  // ZELORM_UPDATE still uses it
}

TEST_F(DefsUsageTest, ACompleteIncomingSetMakesEveryApplicationNotCurrent) {
    ASSERT_EQ(1, Install(20261201, 1));
    auto app = App("ZELORM_20");
    ASSERT_EQ(1, UseNewest(*app).result);
    MakeSet(Incoming(), 20261203, 1);
    EXPECT_EQ(0, app->DefsAreCurrent());
    uint16_t day = 0;
    ASSERT_EQ(1, app->GetNewestDefsDate(nullptr, nullptr, &day, nullptr));
    EXPECT_EQ(3, day);
    Result moved = UseNewest(*app);
    EXPECT_EQ(InRoot("20261203.001"), moved.dir);
    EXPECT_EQ(1, moved.changed);
    EXPECT_EQ(1, app->DefsAreCurrent());
}

TEST_F(DefsUsageTest, FindingTheNewestSetRecordsNothingUntilTheMove) {
    ASSERT_EQ(1, Install(20261201, 1));
    auto app = App("ZELORM_20");
    ASSERT_EQ(1, UseNewest(*app).result);
    ASSERT_EQ(1, Install(20261202, 1));
    // The third set makes the first one neither current nor last: moving
    // off it would remove it, so the record must not move before the caller
    // has proved the new set usable.
    MakeSet(Incoming(), 20261203, 1);
    char dir[kDefsMaxPath];
    ASSERT_EQ(1, app->FindNewestDefs(dir, sizeof dir));
    EXPECT_EQ(InRoot("20261203.001"), dir);
    EXPECT_FALSE(Has(Incoming() + "/VirScan1.dat")) << "the incoming set is installed";
    EXPECT_EQ("1", Usage("20261201.001", "ZELORM_20"));
    EXPECT_EQ(InRoot("20261201.001"), RegText(defstest::kSharedDefs, "ZELORM_20"));
    EXPECT_TRUE(Has(InRoot("20261201.001")));
    EXPECT_EQ(0, app->DefsAreCurrent());
    char small[8];
    EXPECT_EQ(0, app->FindNewestDefs(small, sizeof small));
    EXPECT_STREQ("", small);

    ASSERT_EQ(1, app->MoveToDefs(dir));
    EXPECT_EQ(InRoot("20261203.001"), RegText(defstest::kSharedDefs, "ZELORM_20"));
    EXPECT_EQ("1", Usage("20261203.001", "ZELORM_20"));
    EXPECT_EQ(1, app->DefsAreCurrent());
    EXPECT_FALSE(Has(InRoot("20261201.001")));
    EXPECT_EQ(0, app->MoveToDefs(InRoot("nosuchset").c_str()));
    EXPECT_EQ(InRoot("20261203.001"), RegText(defstest::kSharedDefs, "ZELORM_20"));
}

TEST_F(DefsUsageTest, ABrokenOrBusyIncomingSetNeverBlocksStartUp) {
    ASSERT_EQ(1, Install(20261201, 1));
    // Complete by its catalogue, but its identity cannot be read.
    MakeSet(Incoming(), 20261203, 1);
    WriteWhole(Incoming() + "/VirScan1.dat", "short");
    auto app = App("ZELORM_20");
    Result result = UseNewest(*app);
    EXPECT_EQ(1, result.result);
    EXPECT_EQ(InRoot("20261201.001"), result.dir);
    EXPECT_EQ(1, app->DefsAreCurrent());

    // A whole set that another process is handling right now.
    ASSERT_EQ(1, Install(20261202, 1));
    MakeSet(Incoming(), 20261204, 1);
    const std::string inlock = Incoming() + "/INLOCK.DAT";
    testsupport::ChildHolder child(
        [inlock]() -> testsupport::ChildHolder::Release {
            auto lock = std::make_shared<platform::LockFile>();
            if (!lock->Acquire(inlock)) return nullptr;
            return [lock]() {
                lock->Release();
                return true;
            };
        },
        false);
    ASSERT_EQ('y', child.Report());
    result = UseNewest(*app);
    EXPECT_EQ(1, result.result);
    EXPECT_EQ(InRoot("20261202.001"), result.dir);  // the newest installed set
    std::vector<std::string> sections;
    ASSERT_TRUE(platform::IniSectionNames(InRoot("USAGE.DAT"), sections));
    EXPECT_EQ(std::vector<std::string>{"20261202.001"}, sections);
    EXPECT_EQ(InRoot("20261202.001"), RegText(defstest::kSharedDefs, "ZELORM_20"));
    child.Command();
    EXPECT_EQ('r', child.Report());
    EXPECT_TRUE(child.Reap());
    EXPECT_EQ(InRoot("20261204.001"), UseNewest(*app).dir);  // a later look installs it
}

}  // namespace
