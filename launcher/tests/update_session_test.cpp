// The update session's parts in one process: the command line from the
// registry, the age of the definitions, the welcome and finish pages, the
// client's path and the exit code.
#include "launcher/update_session.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "defs/tests/support/store_fixture.h"
#include "launcher/launcher_strings.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace {

using defstest::StoreTest;

const std::string kCmdLines = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM\\Kelbrook\\CmdLines";
const std::string kSharedUsage = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\SharedUsage";
const std::string kDelay = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Kelbrook\\Clients\\Delay";

// One registry text; a null name makes the key alone.
struct RegSetting {
    std::string key;
    const char* name;
    std::string text;
};

void Write(const RegSetting& value) {
    ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(value.key));
    if (value.name != nullptr) {
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(value.key, value.name, platform::kRegSz,
                                          value.text.data(), value.text.size()));
    }
}

std::string Str(int id) {
    char text[1024];
    LoadLauncherString(id, text, sizeof text);
    return text;
}

class UpdateSessionTest : public StoreTest {};

TEST_F(UpdateSessionTest, BuildsTheClientsCommandLineFromTheRegistry) {
    const std::string one = kCmdLines + "\\CmdLine1";
    const std::string three = kCmdLines + "\\CmdLine3";
    struct Case {
        const char* what;
        std::vector<RegSetting> values;
        bool silent;
        bool built;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"every value, silent",
         {{kCmdLines, "OtherSwitches", "-d\"/srv/defs\""},
          {one, "OtherSwitches", "-x"},
          {one, "ProductName", "RazoVidez"},
          {one, "ProductType", "VirusDef"},
          {one, "ProductLanguage", "English"},
          {one, "ProductVersion", "2.1"}},
         true,
         true,
         "-a -s -d\"/srv/defs\" [-x -p\"RazoVidez\" -t\"VirusDef\" -l\"English\" -v\"2.1\"] "},
        {"only a product name", {{one, "ProductName", "RazoVidez"}}, false, true,
         "-a [-p\"RazoVidez\" ] "},
        {"CmdLine2 missing ends the entries",
         {{one, "ProductName", "A"}, {three, "ProductName", "C"}},
         false,
         true,
         "-a [-p\"A\" ] "},
        {"empty switches still give their blank",
         {{kCmdLines, "OtherSwitches", ""}, {one, "ProductType", "VirusDef"}},
         false,
         true,
         "-a  [-t\"VirusDef\" ] "},
        {"an entry without values", {{one, nullptr, ""}}, true, true, "-a -s [] "},
        {"a value that does not fit 1024 bytes does not count",
         {{one, "ProductName", std::string(1024, 'n')}, {one, "ProductVersion", "1"}},
         false,
         true,
         "-a [-v\"1\"] "},
        {"no entry", {{kCmdLines, "OtherSwitches", "-x"}}, false, false, "-a -x "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::RegDeleteKey(kCmdLines);
        for (const RegSetting& value : c.values) Write(value);
        std::string line;
        EXPECT_EQ(c.built, UpdateSession::BuildCommandLine(c.silent, line));
        EXPECT_EQ(c.expected, line);
    }
}

TEST_F(UpdateSessionTest, ReadsAnEntryWithEveryTextEmptiedFirst) {
    Write({kCmdLines + "\\CmdLine1", "ProductName", "RazoVidez"});
    CmdLineEntry entry;
    entry.productType = "left over";
    ASSERT_TRUE(UpdateSession::ReadCmdLineEntry(1, entry));
    EXPECT_EQ("RazoVidez", entry.productName);
    EXPECT_EQ("", entry.productType);
    EXPECT_FALSE(UpdateSession::ReadCmdLineEntry(2, entry));
}

TEST(DefsAgeTest, DefinitionsAreOldAfterMoreThanAMonth) {
    struct Case {
        int defs[3];
        int today[3];
        bool old;
    } cases[] = {
        {{2025, 12, 31}, {2026, 1, 31}, false},  // December to January, day not above
        {{2025, 12, 31}, {2026, 2, 1}, true},
        {{2025, 12, 10}, {2026, 1, 11}, true},
        {{2025, 11, 30}, {2026, 1, 1}, true},
        {{2024, 6, 1}, {2026, 1, 1}, true},
        {{2026, 3, 15}, {2026, 4, 15}, false},
        {{2026, 3, 15}, {2026, 4, 16}, true},
        {{2026, 3, 31}, {2026, 5, 1}, true},
        {{2026, 3, 15}, {2026, 3, 31}, false},
        {{2026, 12, 1}, {2026, 11, 1}, false},  // dated after today
        {{2027, 1, 1}, {2026, 12, 31}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.defs[0] << "-" << c.defs[1] << "-" << c.defs[2]
                                        << " on " << c.today[0] << "-" << c.today[1] << "-"
                                        << c.today[2]);
        EXPECT_EQ(c.old, UpdateSession::DefsOlderThan(c.defs[0], c.defs[1], c.defs[2], c.today[0],
                                                      c.today[1], c.today[2]));
    }
}

TEST_F(UpdateSessionTest, WelcomeTextWarnsOfOldDefinitions) {
    ASSERT_EQ(1, Install(20260101, 1));
    UpdateSession session(nullptr);
    const std::string first = Str(kStrWelcomeFirst), last = Str(kStrWelcomeLast);
    char text[2048];

    platform::SetTestTime(1768435200);  // 2026-01-15 UTC: not old
    session.GetWelcomeText(text, sizeof text);
    EXPECT_EQ(first + "\n\n" + last, text);

    platform::SetTestTime(1781136000);  // 2026-06-11 UTC: old
    EXPECT_TRUE(session.DefsAreOld());
    session.GetWelcomeText(text, sizeof text);
    const std::string warned = text;
    EXPECT_EQ(0u, warned.find(first + "\n\nAccording to your computer's system date ("));
    EXPECT_NE(std::string::npos, warned.find("), your virus definitions files are more than one"));
    EXPECT_EQ(warned.size() - last.size(), warned.rfind("\n\n" + last) + 2);

    // A buffer of 512 bytes or less leaves the last paragraph out, and a
    // short one is filled, never overrun.
    char small[600];
    session.GetWelcomeText(small, 512);
    EXPECT_EQ(warned.substr(0, warned.size() - last.size()), small);
    memset(small, 'x', sizeof small);
    session.GetWelcomeText(small, 100);
    EXPECT_EQ(warned.substr(0, 99), small);
    EXPECT_EQ('x', small[100]);
    platform::ClearTestTime();
}

TEST_F(UpdateSessionTest, WithoutDefinitionsTheyAreNotOld) {
    UpdateSession session(nullptr);
    EXPECT_FALSE(session.DefsAreOld());
}

TEST_F(UpdateSessionTest, FinishPageFollowsTheStatusUnlessARestartIsPending) {
    struct Case {
        uint32_t status;
        int title;
        int text;
    } cases[] = {
        {0, kStrTitleUpdated, kStrTextUpdated},
        {7, kStrTitleUpdated, kStrTextUpdated},
        {0x10000, kStrTitleUpdated, kStrTextUpdated},  // the low 16 bits count
        {1, kStrTitleAlreadyUpdated, kStrTextAlreadyUpdated},
        {2, kStrTitleNotUpdated, kStrTextBusy},
        {3, kStrTitleNotUpdated, kStrTextCancelled},
        {5, kStrTitleNotUpdated, kStrTextNoConnection},
        {4, kStrTitleNotUpdated, kStrTextNoConnection},
    };
    UpdateSession session(nullptr);
    char title[128], text[2048];
    uint32_t restart = 0;
    EXPECT_EQ(0, FinishPageCallback(text, sizeof text, 0, title, &restart));  // no session runs
    CurrentSession = &session;
    for (bool delay : {false, true}) {
        if (delay) Write({kDelay, nullptr, ""});
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "status " << c.status << (delay ? " delayed" : ""));
            restart = 0;
            ASSERT_EQ(1, FinishPageCallback(text, sizeof text, c.status, title, &restart));
            EXPECT_EQ(Str(delay ? kStrTitleTransferred : c.title), title);
            EXPECT_EQ(Str(delay ? kStrTextRestart : c.text), text);
            EXPECT_EQ(delay ? 1u : 0u, restart);
            EXPECT_EQ(static_cast<uint16_t>(c.status), session.Status());
        }
    }
    // A short text buffer is filled, never overrun.
    char shortText[12];
    memset(shortText, 'x', sizeof shortText);
    ASSERT_EQ(1, FinishPageCallback(shortText, 10, 0, title, nullptr));
    EXPECT_EQ(Str(kStrTextRestart).substr(0, 9), shortText);
    EXPECT_EQ('x', shortText[10]);
    CurrentSession = nullptr;
    EXPECT_EQ(0, WelcomePageCallback(text, sizeof text, 0, nullptr, nullptr));
}

TEST_F(UpdateSessionTest, FindsTheClientInTheDirectoryKelbrook1Names) {
    std::string path;
    EXPECT_FALSE(GetUpdateClientPath(path));
    struct Case {
        std::string directory;
        bool found;
        std::string path;
    } cases[] = {
        {"/opt/zelorm", true, "/opt/zelorm/libS32KELB1.so"},
        {"/opt/zelorm/", true, "/opt/zelorm/libS32KELB1.so"},
        {"/" + std::string(244, 'd'), true, "/" + std::string(244, 'd') + "/libS32KELB1.so"},
        {"/" + std::string(245, 'd'), false, ""},  // the path would not fit 261 bytes
        {std::string(300, 'd'), false, ""},        // the value itself does not fit
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directory);
        Write({kSharedUsage, "Kelbrook1", c.directory});
        path.clear();
        EXPECT_EQ(c.found, GetUpdateClientPath(path));
        EXPECT_EQ(c.path, path);
    }
}

TEST(AppendPathComponentTest, JoinsWithOneSlashAndNeverOverruns) {
    char buffer[16];
    strcpy(buffer, "");
    EXPECT_TRUE(AppendPathComponent(buffer, sizeof buffer, "lib.so"));
    EXPECT_STREQ("lib.so", buffer);
    strcpy(buffer, "/a/");
    EXPECT_TRUE(AppendPathComponent(buffer, sizeof buffer, "lib.so"));
    EXPECT_STREQ("/a/lib.so", buffer);
    strcpy(buffer, "/abcdefgh");
    EXPECT_TRUE(AppendPathComponent(buffer, sizeof buffer, "xyzab"));  // 15 bytes and the NUL
    EXPECT_STREQ("/abcdefgh/xyzab", buffer);
    strcpy(buffer, "/abcdefgh");
    EXPECT_FALSE(AppendPathComponent(buffer, sizeof buffer, "xyzabc"));
    EXPECT_STREQ("/abcdefgh", buffer);
}

TEST(LauncherExitCodeTest, KeepsWhatAnExitCodeCanCarry) {
    EXPECT_EQ(0, LauncherExitCode(0));
    EXPECT_EQ(7, LauncherExitCode(7));
    EXPECT_EQ(255, LauncherExitCode(255));
    // 256 would read as 0, success.
    EXPECT_EQ(255, LauncherExitCode(256));
    EXPECT_EQ(255, LauncherExitCode(65535));
}

TEST(LauncherStringsTest, OnlyTheDateTextIsAFormatAndTextsAreCutToFit) {
    for (int id = 0; id < 100; ++id) {
        const std::string text = Str(id);
        const size_t percent = text.find('%');
        if (id == kStrWelcomeOld) {
            EXPECT_EQ(text.find("%s"), percent);
            EXPECT_EQ(std::string::npos, text.find('%', percent + 1));
        } else {
            EXPECT_EQ(std::string::npos, percent) << id;
        }
    }
    char buffer[9];
    EXPECT_EQ(8, LoadLauncherString(kStrKelbrook, buffer, sizeof buffer));
    EXPECT_STREQ("Kelbrook", buffer);
    EXPECT_EQ(5, LoadLauncherString(kStrKelbrook, buffer, 6));
    EXPECT_STREQ("Kelbr", buffer);
    EXPECT_EQ(0, LoadLauncherString(13, buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
}

}  // namespace
