// The file-system helpers: path texts (lock names, joining, extensions) and
// the operations on files and directories with their messages.
#include "core/file_system.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/tests/file_fixture.h"

namespace {

using filetest::ReadWhole;
using filetest::Str;
using filetest::TryPathLockElsewhere;
using filetest::WriteWhole;

std::string E(int error) {
    return std::to_string(error);
}

TEST(PathTexts, PathToLockNameTurnsBothSeparatorsIntoCommasAndKeepsTheLast255Bytes) {
    CVornString name("/var/zelorm\\spool/Msg.1");
    PathToLockName(name);
    EXPECT_EQ(",var,zelorm,spool,Msg.1", Str(name));

    std::string tail(255, 'k');
    CVornString longName(("/a/b" + tail).c_str());
    PathToLockName(longName);
    EXPECT_EQ(tail, Str(longName));
}

TEST(PathTexts, JoinPathAddsOneSeparator) {
    struct Case {
        const char* directory;
        const char* name;
        const char* joined;
    } cases[] = {
        {"/var/spool", "msg", "/var/spool/msg"},
        {"/var/spool/", "msg", "/var/spool/msg"},
        {"relative", "a.tmp", "relative/a.tmp"},
    };
    for (const Case& c : cases) {
        CVornString out("old");
        JoinPath(out, c.directory, c.name);
        EXPECT_EQ(c.joined, Str(out));
    }
}

TEST(PathTexts, GetFileExtensionTakesTheTextAfterTheLastDotOfTheName) {
    struct Case {
        const char* path;
        const char* extension;  // "unchanged": the target keeps its text
    } cases[] = {
        {"report.txt", "txt"},      {"archive.tar.gz", "gz"},     {"a..b", "b"},
        {"/x/y.d/name.eml", "eml"}, {"noextension", "unchanged"}, {".profile", "unchanged"},
        {"name.", "unchanged"},     {"/x/y.d/name", "unchanged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CVornString out("unchanged");
        GetFileExtension(c.path, out);
        EXPECT_EQ(c.extension, Str(out));
    }
}

class FileSystemTest : public filetest::FileTest {};

TEST_F(FileSystemTest, RemoveFileRemovesReadOnlyFilesAndReportsFailures) {
    std::string path = Path("readonly");
    WriteWhole(path, "x");
    chmod(path.c_str(), 0444);
    EXPECT_TRUE(RemoveFile(path.c_str(), true));
    EXPECT_FALSE(FileExists(path.c_str(), true));
    EXPECT_EQ(0, TryPathLockElsewhere(path));

    std::string dir = Path("dir");
    std::filesystem::create_directory(dir);
    EXPECT_FALSE(RemoveFile(path.c_str(), false));
    EXPECT_FALSE(RemoveFile(dir.c_str(), false));
    EXPECT_TRUE(std::filesystem::exists(dir));
    EXPECT_EQ((std::vector<std::string>{"1:M107 (" + path + ", " + E(ENOENT) + ")",
                                        "1:M107 (" + dir + ", " + E(EISDIR) + ")"}),
              Events());
}

TEST_F(FileSystemTest, RenameFileNeverReplacesAnExistingTarget) {
    std::string from = Path("from"), to = Path("to");
    WriteWhole(from, "source");
    WriteWhole(to, "target");
    EXPECT_FALSE(RenameFile(from.c_str(), to.c_str(), true));
    EXPECT_EQ("source", ReadWhole(from));
    EXPECT_EQ("target", ReadWhole(to));
    EXPECT_EQ(std::vector<std::string>{"1:M108 (" + from + ", " + to + ", " + E(EEXIST) + ")"},
              Events());

    std::string fresh = Path("fresh");
    EXPECT_TRUE(RenameFile(from.c_str(), fresh.c_str(), true));
    EXPECT_EQ("source", ReadWhole(fresh));
    EXPECT_FALSE(FileExists(from.c_str(), false));
    EXPECT_EQ(0, TryPathLockElsewhere(from));
    EXPECT_EQ(0, TryPathLockElsewhere(fresh));

    EXPECT_FALSE(RenameFile(from.c_str(), Path("other").c_str(), false));
    EXPECT_EQ(
        std::vector<std::string>{"1:M108 (" + from + ", " + Path("other") + ", " + E(ENOENT) + ")"},
        Events());
}

TEST_F(FileSystemTest, MakeDirAndRemoveDirReportTheirFailures) {
    std::string dir = Path("d");
    EXPECT_TRUE(MakeDir(dir.c_str()));
    EXPECT_FALSE(MakeDir(dir.c_str()));
    WriteWhole(dir + "/f", "");
    EXPECT_FALSE(RemoveDir(dir.c_str()));
    std::filesystem::remove(dir + "/f");
    EXPECT_TRUE(RemoveDir(dir.c_str()));
    EXPECT_EQ((std::vector<std::string>{"1:M109 (" + dir + ", " + E(EEXIST) + ")",
                                        "1:M110 (" + dir + ", " + E(ENOTEMPTY) + ")"}),
              Events());
}

TEST_F(FileSystemTest, ListDirGivesEveryNameButTheDotEntries) {
    std::string dir = m_Dir + "/work";
    WriteWhole(dir + "/a", "");
    WriteWhole(dir + "/..b", "");
    std::filesystem::create_directory(dir + "/sub");
    CVornStringList list;
    ASSERT_TRUE(ListDir(list, dir.c_str()));
    std::vector<std::string> names;
    for (int i = 0; i < list.m_Count; ++i) names.push_back(Str(*list.GetAt(i)));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"..b", "a", "sub"}), names);

    std::string missing = m_Dir + "/missing";
    EXPECT_FALSE(ListDir(list, missing.c_str()));
    EXPECT_EQ(3, list.m_Count);
    EXPECT_EQ(std::vector<std::string>{"1:M114 (" + missing + ", " + E(ENOENT) + ")"}, Events());
}

TEST_F(FileSystemTest, EmptyDirRemovesFilesAndLeavesSubdirectories) {
    std::string dir = m_Dir + "/work";
    WriteWhole(dir + "/a", "1");
    WriteWhole(dir + "/b", "2");
    std::filesystem::create_directory(dir + "/sub");
    EXPECT_TRUE(EmptyDir(dir.c_str()));
    EXPECT_FALSE(std::filesystem::exists(dir + "/a"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/b"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/sub"));
    EXPECT_EQ(std::vector<std::string>{"1:M107 (" + dir + "/sub, " + E(EISDIR) + ")"}, Events());

    EXPECT_FALSE(EmptyDir((m_Dir + "/missing").c_str()));
    EXPECT_TRUE(Events().empty());
}

}  // namespace
