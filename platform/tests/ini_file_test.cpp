#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/temp_dir.h"
#include "platform/file_ops.h"

namespace {

using testsupport::ReadWhole;
using testsupport::WriteWhole;

class IniFileTest : public ::testing::Test {
protected:
    testsupport::TempDir m_Temp{"zelorm-ini"};
    std::string m_File = m_Temp.Path("TEST.DAT");
};

TEST_F(IniFileTest, ReadsKeysAndSectionsAsWindowsProfilesDo) {
    WriteWhole(m_File,
               "top=outside\r\n"
               "[DefDates]\r\n"
               "  CurDefs =  20261210.001  \r\n"
               "; LastDefs=commented\r\n"
               "LastDefs=20261209.003\r\n"
               "CURDEFS=second\r\n"
               "[ Files ]\n"
               "VirScan1.dat\n"
               "\n"
               "  zelorm.ndb  \n"
               "[defdates]\n"
               "CurDefs=later section\n");
    struct {
        const char* section;
        const char* key;
        bool found;
        const char* value;
    } cases[] = {
        {"DefDates", "CurDefs", true, "20261210.001"},   // trimmed; first of duplicates
        {"DEFDATES", "lastdefs", true, "20261209.003"},  // names without regard to case
        {"DefDates", "; LastDefs", false, ""},           // comments are no keys
        {"Files", "VirScan1.dat", false, ""},            // entries without '=' are no keys
        {"DefDates", "top", false, ""},                  // lines before any section
        {"Missing", "CurDefs", false, ""},
    };
    for (const auto& c : cases) {
        std::string value = "unchanged";
        EXPECT_EQ(c.found, platform::IniReadString(m_File, c.section, c.key, value))
            << c.section << "/" << c.key;
        if (c.found) {
            EXPECT_EQ(c.value, value);
        }
    }
    std::vector<std::string> lines;
    ASSERT_TRUE(platform::IniReadSection(m_File, "files", lines));
    EXPECT_EQ((std::vector<std::string>{"VirScan1.dat", "zelorm.ndb"}), lines);
    ASSERT_TRUE(platform::IniReadSection(m_File, "DefDates", lines));
    EXPECT_EQ((std::vector<std::string>{"CurDefs =  20261210.001", "LastDefs=20261209.003",
                                        "CURDEFS=second"}),
              lines);
    std::vector<std::string> names;
    ASSERT_TRUE(platform::IniSectionNames(m_File, names));
    EXPECT_EQ((std::vector<std::string>{"DefDates", "Files"}), names);
}

TEST_F(IniFileTest, SectionsAndNamesAreReadWholeWithoutALimit) {
    std::string text = "[Files]\n";
    std::vector<std::string> expected;
    for (int i = 0; i < 3000; ++i) {
        expected.push_back("signature-file-with-a-long-name-" + std::to_string(i) + ".ndb");
        text += expected.back() + "\n";
    }
    std::vector<std::string> sections;
    for (int i = 0; i < 2000; ++i) {
        sections.push_back("20261210." + std::to_string(i));
        text += "[" + sections.back() + "]\nZELORM_20=1\n";
    }
    WriteWhole(m_File, text);
    std::vector<std::string> lines;
    ASSERT_TRUE(platform::IniReadSection(m_File, "Files", lines));
    EXPECT_EQ(expected, lines);
    std::vector<std::string> names;
    ASSERT_TRUE(platform::IniSectionNames(m_File, names));
    ASSERT_EQ(sections.size() + 1, names.size());
    EXPECT_EQ(sections.back(), names.back());
}

TEST_F(IniFileTest, WritesAndDeletesKeepingEverythingElse) {
    WriteWhole(m_File, "; kept comment\n[A]\nx=1\n\n[B]\nentry\ny=2\n");
    ASSERT_TRUE(platform::IniWriteString(m_File, "a", "X", "10"));     // replaces, keeps case
    ASSERT_TRUE(platform::IniWriteString(m_File, "A", "z", "3"));      // added after x
    ASSERT_TRUE(platform::IniWriteString(m_File, "C", "k", "v"));      // new section at the end
    EXPECT_EQ("; kept comment\n[A]\nX=10\nz=3\n\n[B]\nentry\ny=2\n[C]\nk=v\n", ReadWhole(m_File));

    ASSERT_TRUE(platform::IniDeleteKey(m_File, "A", "x"));
    ASSERT_TRUE(platform::IniDeleteKey(m_File, "A", "absent"));
    ASSERT_TRUE(platform::IniDeleteKey(m_File, "Absent", "x"));
    ASSERT_TRUE(platform::IniDeleteSection(m_File, "b"));
    EXPECT_EQ("; kept comment\n[A]\nz=3\n\n[C]\nk=v\n", ReadWhole(m_File));

    const std::string fresh = m_Temp.Path("NEW.DAT");
    ASSERT_TRUE(platform::IniDeleteKey(fresh, "A", "x"));  // a missing file: nothing to do
    EXPECT_FALSE(platform::PathExists(fresh.c_str()));
    ASSERT_TRUE(platform::IniWriteString(fresh, "DefDates", "CurDefs", "20261210.001"));
    EXPECT_EQ("[DefDates]\nCurDefs=20261210.001\n", ReadWhole(fresh));
}

TEST_F(IniFileTest, RefusesNamesAndValuesThatWouldStartANewRecord) {
    WriteWhole(m_File, "[A]\nx=1\n");
    struct {
        std::string section, key, value;
    } cases[] = {
        {"A", "x", "1\n[B]"},    {"A", "x", "1\rz=2"},   {"A", "x", std::string("1\0", 2)},
        {"A]", "x", "1"},        {"A\n", "x", "1"},       {"", "x", "1"},
        {"A", "x=y", "1"},       {"A", "[x", "1"},        {"A", ";x", "1"},
        {"A", "", "1"},          {"A", " x", "1"},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(platform::IniWriteString(m_File, c.section, c.key, c.value)) << c.key;
    EXPECT_EQ("[A]\nx=1\n", ReadWhole(m_File));
}

TEST_F(IniFileTest, RewriteKeepsPermissionsAndLeavesNoTemporaryFile) {
    WriteWhole(m_File, "[A]\nx=1\n");
    chmod(m_File.c_str(), 0600);
    ASSERT_TRUE(platform::IniWriteString(m_File, "A", "x", "2"));
    struct stat st;
    ASSERT_EQ(0, stat(m_File.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    std::vector<std::string> names;
    ASSERT_TRUE(platform::ListDirectory(m_Temp.Path().c_str(), &names));
    EXPECT_EQ(3u, names.size());  // ".", ".." and the file
}

TEST_F(IniFileTest, UnreadableOrOversizedFilesAreRefusedAndKept) {
    std::string value;
    std::vector<std::string> lines;
    EXPECT_FALSE(platform::IniReadString(m_Temp.Path("missing"), "A", "x", value));
    EXPECT_FALSE(platform::IniReadSection(m_Temp.Path("missing"), "A", lines));
    // A directory in the file's place: nothing read, nothing written.
    EXPECT_FALSE(platform::IniReadSection(m_Temp.Path(), "A", lines));
    EXPECT_FALSE(platform::IniWriteString(m_Temp.Path(), "A", "x", "1"));
    EXPECT_FALSE(platform::IniWriteString(m_Temp.Path("no/such/dir/F.DAT"), "A", "x", "1"));

    std::string big = "[A]\nx=1\n" + std::string(16 * 1024 * 1024, ';');
    WriteWhole(m_File, big);
    EXPECT_FALSE(platform::IniReadString(m_File, "A", "x", value));
    EXPECT_FALSE(platform::IniWriteString(m_File, "A", "x", "2"));
    EXPECT_FALSE(platform::IniDeleteSection(m_File, "A"));
    EXPECT_EQ(big.size(), ReadWhole(m_File).size());
}

}  // namespace
