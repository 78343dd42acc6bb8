#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "core/tests/support/child_holder.h"
#include "core/tests/support/files.h"
#include "defs/shared_defs.h"
#include "defs/tests/support/store_fixture.h"
#include "platform/file_ops.h"
#include "platform/lock_file.h"

namespace {

using defstest::StoreTest;
using testsupport::ReadWhole;

class MkDefSetTest : public StoreTest {
protected:
    struct Run {
        int status;
        std::string out;
    };
    // Runs the set maker with the test's registry; its exit code and output.
    Run MkDefSet(const std::string& args) {
        const std::string out = m_Temp.Path("out.txt");
        const std::string command =
            std::string(ZELORM_MKDEFSET) + " " + args + " >" + out + " 2>" + m_Temp.Path("err.txt");
        int status = system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWhole(out)};
    }
    std::string Data(const char* name) const { return std::string(ZELORM_DEFS_DATA) + "/" + name; }
};

TEST_F(MkDefSetTest, MakesAndInstallsTheDefaultSetForAnApplication) {
    Run run = MkDefSet("--date 20261210 --revision 1 --app ZELORM_20 " + Data("zelorm.ndb") + " " +
                       Data("zelorm.hdb"));
    ASSERT_EQ(0, run.status) << ReadWhole(m_Temp.Path("err.txt"));
    EXPECT_EQ(InRoot("20261210.001") + "\n", run.out);
    EXPECT_EQ(ReadWhole(Data("zelorm.ndb")), ReadWhole(InRoot("20261210.001/zelorm.ndb")));
    EXPECT_EQ(ReadWhole(Data("zelorm.hdb")), ReadWhole(InRoot("20261210.001/zelorm.hdb")));
    SharedDefs defs;
    ASSERT_EQ(1, defs.SetAppId("ZELORM_20"));
    EXPECT_EQ(1, defs.DefsAreCurrent());
    uint16_t year = 0, month = 0, day = 0;
    uint32_t revision = 0;
    ASSERT_EQ(1, defs.GetCurrentDefsDate(&year, &month, &day, &revision));
    EXPECT_EQ(2026, year);
    EXPECT_EQ(12, month);
    EXPECT_EQ(10, day);
    EXPECT_EQ(1u, revision);

    // An older set is not installed; the newest is still printed.
    run = MkDefSet("--date 20261209 --revision 9 " + Data("zelorm.ndb"));
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(InRoot("20261210.001") + "\n", run.out);
    EXPECT_FALSE(platform::PathExists(InRoot("20261209.009").c_str()));
}

TEST_F(MkDefSetTest, BadArgumentsChangeNothing) {
    const std::string sig = SignatureFile();
    const std::vector<std::string> cases = {
        "",
        "--date 20261210 " + sig,
        "--date 2026121 --revision 1 " + sig,
        "--date 20261310 --revision 1 " + sig,
        "--date 20260230 --revision 1 " + sig,
        "--date 20261210 --revision 256 " + sig,
        "--date 20261210 --revision -1 " + sig,
        "--date 20261210 --revision 1",
        "--date 20261210 --revision 1 " + m_Temp.Path("missing.ndb"),
        "--date 20261210 --revision 1 " + m_Temp.Path(),
        "--date 20261210 --revision 1 " + sig + " " + sig,
        "--date 20261210 --revision 1 --obsolete ../x " + sig,
        "--date 20261210 --revision 1 --bogus " + sig,
        "--date 20261210 --revision 1 --common-files relative " + sig,
        "--date 20261210 --revision",
    };
    for (const std::string& args : cases) EXPECT_EQ(2, MkDefSet(args).status) << args;
    EXPECT_FALSE(platform::PathExists(m_Temp.Path("common").c_str()));
}

TEST_F(MkDefSetTest, RefusesWhileAnotherUpdateRuns) {
    ASSERT_EQ(0, MkDefSet("--date 20261201 --revision 1 " + SignatureFile()).status);
    platform::LockFile held;
    ASSERT_TRUE(held.Acquire(InRoot("KBLOCK.DAT")));
    EXPECT_EQ(1, MkDefSet("--date 20261202 --revision 1 " + SignatureFile()).status);
    held.Release();
    EXPECT_EQ(0, MkDefSet("--date 20261202 --revision 1 " + SignatureFile()).status);
    EXPECT_EQ("20261202.001", DefInfo("CurDefs"));
}

TEST_F(MkDefSetTest, CommonFilesChoosesWhereANewStoreGoes) {
    const std::string base = m_Temp.Path("elsewhere");
    Run run = MkDefSet("--common-files " + base + " --date 20261201 --revision 1 " +
                       SignatureFile());
    ASSERT_EQ(0, run.status);
    EXPECT_EQ(base + "/Quorvane Shared/VirusDefs/20261201.001\n", run.out);
}

TEST(DefaultSetDataTest, TheMd5SignatureMatchesTheTestFileOfClamavTestfiles) {
    const std::string hdb = ReadWhole(std::string(ZELORM_DEFS_DATA) + "/zelorm.hdb");
    const std::string exe = ReadWhole("/usr/share/clamav-testfiles/clam.exe");
    ASSERT_FALSE(exe.empty()) << "clamav-testfiles is not installed";
    char line[128];
    // The same MD5 the core library computes would do; md5sum is the
    // independent witness here.
    FILE* md5 = popen("md5sum /usr/share/clamav-testfiles/clam.exe", "r");
    ASSERT_NE(nullptr, md5);
    ASSERT_NE(nullptr, fgets(line, sizeof line, md5));
    pclose(md5);
    const std::string expected =
        std::string(line, 32) + ":" + std::to_string(exe.size()) + ":Zelorm.Test.ClamAV-TestFile\n";
    EXPECT_EQ(expected, hdb);
    const std::string ndb = ReadWhole(std::string(ZELORM_DEFS_DATA) + "/zelorm.ndb");
    const std::string eicar =
        "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    std::string hex;
    char pair[3];
    for (unsigned char c : eicar) {
        snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    EXPECT_EQ("Zelorm.Test.EICAR:0:*:" + hex + "\n", ndb);
}

}  // namespace
