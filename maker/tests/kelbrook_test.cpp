// The update client: its command line, the choice of the source's newest
// complete set, the download into the published directory and the pages.
#include "maker/kelbrook/kelbrook.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "platform/file_ops.h"
#include "platform/registry.h"

namespace {

using testsupport::ReadWhole;
using testsupport::WriteWhole;

const char* const kInstalledApps = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\InstalledApps";

// What the pages saw, in order.
std::vector<std::string> g_Pages;

int Welcome(char* text, uint32_t size, uint32_t, char*, uint32_t*) {
    g_Pages.push_back("welcome");
    snprintf(text, size, "hello");
    return 1;
}

int Finish(char* text, uint32_t size, uint32_t status, char* title, uint32_t*) {
    g_Pages.push_back("finish " + std::to_string(status));
    snprintf(text, size, "done");
    snprintf(title, KELB_TITLE_SIZE, "title");
    return 1;
}

class KelbrookTest : public ::testing::Test {
protected:
    KelbrookTest() {
        g_Pages.clear();
        mkdir(m_Temp.Path("source").c_str(), 0700);
        mkdir(m_Temp.Path("download").c_str(), 0700);
        EXPECT_EQ(platform::kRegSuccess, platform::RegCreateKey(kInstalledApps));
        const std::string download = m_Temp.Path("download");
        EXPECT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(kInstalledApps, "ZELDefsInstallDir", platform::kRegSz,
                                          download.data(), download.size()));
        SetSequenceNumberEx("RazoVidez", "VirusDef", "2.1", "English", 0);
    }

    // A set in the source: the header's date and revision, a signature
    // file, and (when complete) CATALOG.DAT.
    void Publish(const std::string& name, int year, int month, int day, int revision,
                 bool complete = true) {
        const std::string dir = m_Temp.Path("source/" + name);
        mkdir(dir.c_str(), 0700);
        std::string header(32, '\0');
        header[4] = static_cast<char>(revision);
        header[8] = static_cast<char>(month);
        header[9] = static_cast<char>(day);
        header[10] = static_cast<char>(year - 1900);
        WriteWhole(dir + "/VirScan1.dat", header);
        WriteWhole(dir + "/zelorm.ndb", "Sig." + name + ":0:*:414243\n");
        if (complete) WriteWhole(dir + "/CATALOG.DAT", "[Files]\nVirScan1.dat\nzelorm.ndb\n");
    }

    std::string Source() const { return "-d\"" + m_Temp.Path("source") + "\""; }

    int Onramp(const std::string& commandLine) {
        KelbPage pages[2] = {{KELB_PAGE_FINISH, Finish, "", ""}, {KELB_PAGE_WELCOME, Welcome, "", ""}};
        return DoOnramp(nullptr, 0, commandLine.c_str(), pages);
    }

    std::vector<std::string> Downloaded() const {
        std::vector<std::string> names, kept;
        platform::ListDirectory(m_Temp.Path("download").c_str(), &names);
        for (const std::string& name : names)
            if (name[0] != '.') kept.push_back(name);
        std::sort(kept.begin(), kept.end());
        return kept;
    }

    testsupport::TempDir m_Temp{"zelorm-kelbrook"};
    testsupport::ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Temp.Path("registry.reg")};
};

TEST_F(KelbrookTest, DownloadsTheNewestCompleteSetAndShowsBothPages) {
    Publish("20261201.001", 2026, 12, 1, 1);
    Publish("20261205.001", 2026, 12, 5, 1);
    Publish("20261209.001", 2026, 12, 9, 1, false);  // still being published
    EXPECT_EQ(KELB_STATUS_UPDATED, Onramp("-a -s " + Source() + " [-p\"RazoVidez\" -t\"VirusDef\" ]"));
    EXPECT_EQ((std::vector<std::string>{"welcome", "finish 0"}), g_Pages);
    EXPECT_EQ((std::vector<std::string>{"CATALOG.DAT", "VirScan1.dat", "zelorm.ndb"}), Downloaded());
    EXPECT_EQ("Sig.20261205.001:0:*:414243\n", ReadWhole(m_Temp.Path("download/zelorm.ndb")));
}

TEST_F(KelbrookTest, FetchesOnlyWhatIsNewerThanTheSequenceNumber) {
    Publish("20261205.003", 2026, 12, 5, 3);
    SetSequenceNumberEx("RazoVidez", "VirusDef", "2.1", "English", 2026120503);
    EXPECT_EQ(KELB_STATUS_CURRENT, Onramp(Source() + " [-t\"VirusDef\"]"));
    EXPECT_EQ((std::vector<std::string>{"welcome", "finish 1"}), g_Pages);
    EXPECT_TRUE(Downloaded().empty());
    SetSequenceNumberEx(nullptr, nullptr, nullptr, nullptr, 2026120502);
    EXPECT_EQ(KELB_STATUS_UPDATED, Onramp(Source() + " [-t\"VirusDef\"]"));
}

TEST_F(KelbrookTest, FetchesNothingForABadCommandLineOrSource) {
    Publish("20261201.001", 2026, 12, 1, 1);
    const std::string group = " [-t\"VirusDef\" ]";
    const std::vector<std::string> lines = {
        "-a" + group,                                           // no source
        "-a " + Source() + " [-t\"Other\" ]",                   // no definitions package
        "-a " + Source() + " -t\"VirusDef\"",                   // a type outside a package
        "-a " + Source() + " [-t\"VirusDef\" ",                 // a package left open
        "-a " + Source() + " [-t\"VirusDef ]",                  // a quote left open
        "-a " + Source() + " [[-t\"VirusDef\"]]",               // nested packages
        "-a -d\"" + m_Temp.Path("gone") + "\"" + group,        // a source that is not there
        "-a -d\"" + m_Temp.Path("download") + "\"" + group,    // a source without sets
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        g_Pages.clear();
        EXPECT_EQ(KELB_STATUS_FAILED, Onramp(line));
        EXPECT_EQ((std::vector<std::string>{"welcome", "finish 5"}), g_Pages);
        EXPECT_TRUE(Downloaded().empty());
    }
    KelbPage pages[2] = {{KELB_PAGE_WELCOME, Welcome, "", ""}, {KELB_PAGE_FINISH, Finish, "", ""}};
    g_Pages.clear();
    EXPECT_EQ(KELB_STATUS_FAILED, DoOnramp(nullptr, 0, nullptr, pages));
    EXPECT_EQ(KELB_STATUS_FAILED, DoOnramp(nullptr, 1, group.c_str(), pages));
    EXPECT_EQ(KELB_STATUS_FAILED, DoOnramp(nullptr, 0, group.c_str(), nullptr));
    EXPECT_TRUE(g_Pages.empty());
}

TEST_F(KelbrookTest, AFailedDownloadLeavesNothingOfItsOwn) {
    Publish("20261201.001", 2026, 12, 1, 1);
    const std::string line = Source() + " [-t\"VirusDef\"]";
    // Not published: no download directory.
    ASSERT_EQ(platform::kRegSuccess, platform::RegDeleteValue(kInstalledApps, "ZELDefsInstallDir"));
    EXPECT_EQ(KELB_STATUS_FAILED, Onramp(line));
    EXPECT_TRUE(Downloaded().empty());
    // A file already there stops the download (CATALOG.DAT comes last):
    // what this download copied goes, the file that was there stays.
    const std::string download = m_Temp.Path("download");
    ASSERT_EQ(platform::kRegSuccess,
              platform::RegWriteValue(kInstalledApps, "ZELDefsInstallDir", platform::kRegSz,
                                      download.data(), download.size()));
    WriteWhole(download + "/CATALOG.DAT", "someone else's");
    EXPECT_EQ(KELB_STATUS_FAILED, Onramp(line));
    EXPECT_EQ((std::vector<std::string>{"CATALOG.DAT"}), Downloaded());
    EXPECT_EQ("someone else's", ReadWhole(download + "/CATALOG.DAT"));
}

}  // namespace
