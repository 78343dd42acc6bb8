// Tollan run as a program with the update client beside it, against a
// private definitions store and a source directory of published sets:
// exit codes, what it writes and what the store holds afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "defs/shared_defs.h"
#include "defs/tests/support/store_fixture.h"
#include "launcher/launcher_strings.h"
#include "platform/file_ops.h"
#include "platform/registry.h"

namespace {

using defstest::StoreTest;
using testsupport::ReadWhole;

const std::string kCmdLines = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM\\Kelbrook\\CmdLines";
const std::string kSharedUsage = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedUsage";

std::string Str(int id) {
    char text[1024];
    LoadLauncherString(id, text, sizeof text);
    return text;
}

class TollanTest : public StoreTest {
protected:
    struct Run {
        int status;
        std::string out;
        std::string err;
    };

    TollanTest() {
        mkdir(m_Temp.Path("source").c_str(), 0700);
        SetText(kCmdLines, "OtherSwitches", "-d\"" + m_Temp.Path("source") + "\"");
        const std::string entry = kCmdLines + "\\CmdLine1";
        SetText(entry, "ProductName", "RazoVidez");
        SetText(entry, "ProductType", "VirusDef");
        SetText(entry, "ProductLanguage", "English");
        SetText(entry, "ProductVersion", "2.1");
        SetText(kSharedUsage, "Kelbrook1", ZELORM_BIN_DIR);
    }

    static void SetText(const std::string& key, const char* name, const std::string& text) {
        ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(key));
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(key, name, platform::kRegSz, text.data(), text.size()));
    }

    // Publishes a set in the source directory.
    void Publish(int date, int revision) {
        MakeSet(m_Temp.Path("source/" + std::to_string(date) + "." +
                            std::string(revision < 10 ? "00" : "0") + std::to_string(revision)),
                date, revision);
    }

    Run Tollan(const std::string& args) {
        const std::string out = m_Temp.Path("out.txt"), err = m_Temp.Path("err.txt");
        const std::string command = std::string(ZELORM_TOLLAN) + " " + args + " >" + out + " 2>" + err;
        const int status = system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWhole(out), ReadWhole(err)};
    }

    // What an update leaves behind when it has ended: no lock, no temporary
    // directory, no published download directory.
    void ExpectUpdateEnded() {
        for (const std::string& name : RootEntries()) {
            EXPECT_NE("KBLOCK.DAT", name);
            EXPECT_NE(0u, name.rfind("TMP", 0)) << name;
        }
        EXPECT_EQ("", RegText(defstest::kInstalledApps, "ZELDefsInstallDir"));
    }
};

TEST_F(TollanTest, InstallsTheNewestPublishedSetIntoANewStore) {
    // No store exists before the first update: the update makes it.
    ASSERT_FALSE(platform::PathExists(Root().c_str()));
    Publish(20261201, 1);
    Run run = Tollan("");
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("20261201.001", DefInfo("CurDefs"));
    EXPECT_EQ(ReadWhole(SignatureFile()), ReadWhole(InRoot("20261201.001/zelorm.ndb")));
    // Run by hand, it writes both pages.
    EXPECT_EQ(0u, run.out.find(Str(kStrWelcomeFirst) + "\n\n" + Str(kStrWelcomeLast)));
    EXPECT_NE(std::string::npos,
              run.out.find(Str(kStrTitleUpdated) + "\n\n" + Str(kStrTextUpdated)));
    EXPECT_EQ("", run.err);
    ExpectUpdateEnded();

    // Nothing newer: already current, and silent.
    run = Tollan("/silent");
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_EQ("", run.out);
    EXPECT_EQ("20261201.001", DefInfo("CurDefs"));

    // A newer set, and an unfinished one beside it, which is not taken.
    Publish(20261205, 2);
    mkdir(m_Temp.Path("source/20261209.001").c_str(), 0700);
    testsupport::WriteWhole(m_Temp.Path("source/20261209.001/VirScan1.dat"), std::string(32, '\x7f'));
    run = Tollan("/SILENT");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("20261205.002", DefInfo("CurDefs"));
    EXPECT_EQ("20261201.001", DefInfo("LastDefs"));
    ExpectUpdateEnded();
}

TEST_F(TollanTest, SilentModeComesFromSlashSilentAnywhereInAnyCase) {
    Publish(20261201, 1);
    struct Case {
        const char* args;
        bool silent;
    } cases[] = {
        {"/silent", true},   {"/SiLeNt", true},    {"other /Silent", true},
        {"x/silentx", true}, {"--bogus 7", false}, {"silent", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Run run = Tollan(c.args);
        // Arguments are never an error: the update runs either way.
        EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << run.err;
        EXPECT_EQ(c.silent, run.out.empty());
    }
}

TEST_F(TollanTest, NoPackageEntryRunsNoUpdate) {
    ASSERT_EQ(platform::kRegSuccess, platform::RegDeleteKey(kCmdLines + "\\CmdLine1"));
    Publish(20261201, 1);
    Run run = Tollan("/silent");
    EXPECT_EQ(4, run.status);
    EXPECT_EQ(Str(kStrNoPackagesCaption) + ": " + Str(kStrNoPackages) + "\n", run.err);
    EXPECT_FALSE(platform::PathExists(Root().c_str()));
}

TEST_F(TollanTest, AStoreHeldByAnotherUpdateIsLeftAlone) {
    SharedDefs other;
    char download[kDefsMaxPath];
    ASSERT_EQ(1, other.PreUpdate(download, sizeof download, kDefsModeUpdateClient));
    Publish(20261201, 1);
    Run run = Tollan("/silent");
    EXPECT_EQ(4, run.status);
    EXPECT_EQ(Str(kStrKelbrook) + ": " + Str(kStrInUse) + "\n", run.err);
    // The other update is undisturbed and can still finish.
    EXPECT_EQ(download, RegText(defstest::kInstalledApps, "ZELDefsInstallDir"));
    ASSERT_EQ("", WriteDefsSet(download, Plan(20261130, 1)));
    EXPECT_EQ(1, other.PostUpdate());
    EXPECT_EQ("20261130.001", DefInfo("CurDefs"));
}

TEST_F(TollanTest, AMissingClientRunsNoUpdateAndEndsTheStoresUpdate) {
    Publish(20261201, 1);
    for (const char* directory : {"", "/nonexistent/zelorm"}) {
        SCOPED_TRACE(directory);
        if (*directory == '\0')
            ASSERT_EQ(platform::kRegSuccess, platform::RegDeleteValue(kSharedUsage, "Kelbrook1"));
        else
            SetText(kSharedUsage, "Kelbrook1", directory);
        Run run = Tollan("/silent");
        EXPECT_EQ(4, run.status);
        EXPECT_EQ("", run.err);
        EXPECT_EQ("", DefInfo("CurDefs"));
        ExpectUpdateEnded();
    }
}

TEST_F(TollanTest, AFailingClientsStatusIsTheExitCode) {
    // The source directory is gone: the client cannot fetch anything.
    SetText(kCmdLines, "OtherSwitches", "-d\"" + m_Temp.Path("gone") + "\"");
    Run run = Tollan("");
    EXPECT_EQ(5, run.status);
    EXPECT_NE(std::string::npos,
              run.out.find(Str(kStrTitleNotUpdated) + "\n\n" + Str(kStrTextNoConnection)));
    EXPECT_EQ("", DefInfo("CurDefs"));
    ExpectUpdateEnded();
}

TEST_F(TollanTest, ADownloadTheStoreCannotInstallIsNoSuccess) {
    Publish(20261201, 1);
    ASSERT_EQ(0, Tollan("/silent").status);
    // The new set's directory name is taken by a file, so its install fails.
    testsupport::WriteWhole(InRoot("20261205.001"), "in the way");
    Publish(20261205, 1);
    Run run = Tollan("/silent");
    EXPECT_EQ(4, run.status);
    EXPECT_EQ("20261201.001", DefInfo("CurDefs"));
    ExpectUpdateEnded();
}

}  // namespace
