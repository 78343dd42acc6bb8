// The file-backed registry: the .reg text it writes and reads, names without
// regard to case, hostile file contents, and writers in several processes.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"

namespace {

using namespace platform;

const std::string kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM";

class Registry : public ::testing::Test {
protected:
    std::string fileText() { return testsupport::ReadWhole(m_Path); }
    void writeFile(const std::string& text) { testsupport::WriteWhole(m_Path, text); }
    int setValue(const std::string& key, const std::string& name, uint32_t type,
                 const std::string& data) {
        return RegWriteValue(key, name, type, data.data(), data.size());
    }
    testsupport::TempDir m_Temp{"zelorm-registry"};
    std::string m_Dir = m_Temp.Path();
    std::string m_Path = m_Dir + "/registry.reg";
    testsupport::ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Path};
};

TEST_F(Registry, EveryValueTypeSurvivesTheFileWithEscaping) {
    std::string binary;
    for (int i = 0; i < 200; ++i) binary += static_cast<char>(i);
    const std::vector<RegValue> values = {
        {"Path", kRegSz, "C:\\dir \"quoted\""},
        {"", kRegSz, "the default"},
        {"Empty", kRegSz, ""},
        {"Lines", kRegSz, std::string("one\r\ntwo\0", 9)},
        {"Count", kRegDword, std::string("\x1f\0\0\0", 4)},
        {"Blob", kRegBinary, binary},
        {"NoBytes", kRegBinary, ""},
        {"Multi", kRegMultiSz, std::string("a\0b\0\0", 5)},
        {"Expand", kRegExpandSz, std::string("%TEMP%\0", 7)},
        {"Big", kRegQword, std::string("\1\2\3\4\5\6\7\x08", 8)},
        {"Odd\\\"Name", kRegSz, "x"},
        {"@", kRegSz, "a value named @, not the default"},
    };
    ASSERT_EQ(kRegSuccess, RegCreateKey(kKey));
    for (const auto& v : values) ASSERT_EQ(kRegSuccess, setValue(kKey, v.name, v.type, v.data));

    std::string text = fileText();
    EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\n"));
    for (const char* line : {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM]\n",
                             "\"Path\"=\"C:\\\\dir \\\"quoted\\\"\"\n", "@=\"the default\"\n",
                             "\"Count\"=dword:0000001f\n", "\"Multi\"=hex(7):61,00,62,00,00\n",
                             "\"NoBytes\"=hex:\n", "\"Odd\\\\\\\"Name\"=\"x\"\n",
                             "\"Lines\"=hex(1):6f,6e,65,0d,0a,74,77,6f,00\n", "\"Big\"=hex(b):"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

    std::vector<RegValue> got;
    ASSERT_EQ(kRegSuccess, RegListValues(kKey, got));
    EXPECT_EQ(0, RegLastParseWarnings());
    ASSERT_EQ(values.size(), got.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i].name, got[i].name);
        EXPECT_EQ(values[i].type, got[i].type) << values[i].name;
        EXPECT_EQ(values[i].data, got[i].data) << values[i].name;
    }
}

TEST_F(Registry, NamesIgnoreCaseAndKeepTheirCase) {
    ASSERT_EQ(kRegSuccess, RegCreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM\\"));
    EXPECT_EQ(kRegSuccess, RegKeyExists("hkey_local_machine\\software\\QUORVANE\\zelorm"));
    ASSERT_EQ(kRegSuccess, setValue(kKey, "InstallDir", kRegSz, "/opt/a"));
    ASSERT_EQ(kRegSuccess, setValue(kKey, "INSTALLDIR", kRegSz, "/opt/b"));
    RegValue v;
    ASSERT_EQ(kRegSuccess, RegQueryValue(kKey, "installdir", v));
    EXPECT_EQ("InstallDir", v.name);
    EXPECT_EQ("/opt/b", v.data);

    // A second spelling reaches the existing key; subkeys list in one order.
    for (const char* name : {"b", "A", "c_", "C"})
        ASSERT_EQ(kRegSuccess,
                  RegCreateKey("HKEY_LOCAL_MACHINE\\software\\QUORVANE\\" + std::string(name)));
    std::vector<std::string> subkeys;
    ASSERT_EQ(kRegSuccess, RegListSubKeys("HKEY_LOCAL_MACHINE\\SOFTWARE", subkeys));
    EXPECT_EQ(std::vector<std::string>{"Quorvane"}, subkeys);
    ASSERT_EQ(kRegSuccess, RegListSubKeys("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane", subkeys));
    EXPECT_EQ((std::vector<std::string>{"A", "b", "C", "c_", "ZELORM"}), subkeys);
}

TEST_F(Registry, ValueLinesOfTheFileAreReadOrSkipped) {
    struct Case {
        std::string line;
        bool read;
        uint32_t type;
        std::string data;
    };
    const Case cases[] = {
        {"\"v\"=\"plain\"", true, kRegSz, "plain"},
        {"\"v\" = \"blanks around\"  ", true, kRegSz, "blanks around"},
        {"\"v\"=\"a\\\\b\\\"c\"", true, kRegSz, "a\\b\"c"},
        {"\"v\"=dword:1F", true, kRegDword, std::string("\x1f\0\0\0", 4)},
        {"\"v\"=DWORD:ffffffff", true, kRegDword, "\xff\xff\xff\xff"},
        {"\"v\"=hex:1,ab", true, kRegBinary, "\x01\xab"},
        {"\"v\"=hex(7):61,00,\\\n  62,00,\\\n  00", true, kRegMultiSz, std::string("a\0b\0\0", 5)},
        {"\"v\"=hex(2):25,00\r", true, kRegExpandSz, std::string("%\0", 2)},
        {"\"v\"=\"unterminated", false, kRegNone, ""},
        {"\"v\"=\"bad \\escape\"", false, kRegNone, ""},
        {"\"v\"=\"trailing\" junk", false, kRegNone, ""},
        {"\"v\"=dword:123456789", false, kRegNone, ""},
        {"\"v\"=dword:", false, kRegNone, ""},
        {"\"v\"=hex:01,", false, kRegNone, ""},
        {"\"v\"=hex:0g", false, kRegNone, ""},
        {"\"v\"=hex:123", false, kRegNone, ""},
        {"\"v\"=hex(zz):01", false, kRegNone, ""},
        {"\"v\"=-", false, kRegNone, ""},
        {"v=\"unquoted name\"", false, kRegNone, ""},
        {"\"v\"", false, kRegNone, ""},
        {"\"v\"=\"" + std::string(70000, 'x') + "\"", false, kRegNone, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 60));
        writeFile("Windows Registry Editor Version 5.00\n\n[" + kKey + "]\n" + c.line + "\n");
        RegValue v;
        int rc = RegQueryValue(kKey, "v", v);
        if (c.read) {
            ASSERT_EQ(kRegSuccess, rc);
            EXPECT_EQ(c.type, v.type);
            EXPECT_EQ(c.data, v.data);
            EXPECT_EQ(0, RegLastParseWarnings());
        } else {
            EXPECT_EQ(kRegNotFound, rc);
            EXPECT_EQ(1, RegLastParseWarnings());
        }
    }
}

TEST_F(Registry, MalformedLinesAreCountedAndKeptThroughARewrite) {
    const std::string file =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; written by hand\r\n"
        "\"stray\"=\"before any section\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM]\r\n"
        "\"Good\"=\"1\"\r\n"
        "\"Bad\"=dword:xyz\r\n"
        "\"Long\"=\"" +
        std::string(70000, 'x') +
        "\"\r\n"
        "[NOT_A_ROOT\\Key]\r\n"
        "\"Hidden\"=\"in a section that cannot exist\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM]\r\n"
        "\"Good\"=\"2\"\r\n";
    writeFile(file);
    RegValue v;
    ASSERT_EQ(kRegSuccess, RegQueryValue(kKey, "Good", v));
    EXPECT_EQ("2", v.data);                // the later line wins
    EXPECT_EQ(4, RegLastParseWarnings());  // stray, Bad, Long, the bad section

    ASSERT_EQ(kRegSuccess, setValue(kKey, "New", kRegSz, "n"));
    std::string text = fileText();
    for (const char* kept :
         {"; written by hand\n", "\"stray\"=\"before any section\"\n", "\"Bad\"=dword:xyz\n",
          "[NOT_A_ROOT\\Key]\n", "\"Hidden\"=\"in a section that cannot exist\"\n"})
        EXPECT_NE(std::string::npos, text.find(kept)) << kept;
    EXPECT_EQ(std::string::npos, text.find("xxxxxxxxxx"));  // over the bound: dropped
    std::vector<RegValue> values;
    ASSERT_EQ(kRegSuccess, RegListValues(kKey, values));
    EXPECT_EQ(3, RegLastParseWarnings());
    ASSERT_EQ(2u, values.size());
    EXPECT_EQ("New", values[1].name);
}

TEST_F(Registry, AFileWithoutHeaderIsReadWithOneWarning) {
    writeFile("[" + kKey + "]\n\"a\"=\"b\"\n");
    RegValue v;
    EXPECT_EQ(kRegSuccess, RegQueryValue(kKey, "a", v));
    EXPECT_EQ(1, RegLastParseWarnings());
}

TEST_F(Registry, RefusesBadArgumentsMissingKeysAndOversizedFiles) {
    for (const char* bad : {"", "\\", "SOFTWARE\\Quorvane", "HKEY_NOWHERE\\x",
                            "HKEY_LOCAL_MACHINE\\\\x", "HKEY_LOCAL_MACHINE\\a\nb"})
        EXPECT_EQ(kRegBadArgument, RegCreateKey(bad)) << bad;
    EXPECT_EQ(kRegBadArgument, RegCreateKey("HKEY_LOCAL_MACHINE\\" + std::string(256, 'k')));
    EXPECT_EQ(kRegSuccess, RegKeyExists("HKEY_LOCAL_MACHINE"));  // roots always exist
    EXPECT_EQ(kRegNotFound, RegKeyExists(kKey));                 // no file yet
    EXPECT_EQ(kRegNotFound, setValue(kKey, "v", kRegSz, "x"));   // keys are not created
    ASSERT_EQ(kRegSuccess, RegCreateKey(kKey));
    EXPECT_EQ(kRegBadArgument, setValue(kKey, "two\nlines", kRegSz, "x"));
    EXPECT_EQ(kRegBadArgument, setValue(kKey, "v", kRegBinary, std::string((1 << 20) + 1, 'x')));
    EXPECT_EQ(kRegAccessDenied, RegDeleteKey("HKEY_LOCAL_MACHINE"));
    EXPECT_EQ(kRegNotFound, RegDeleteValue(kKey, "absent"));

    // A writer that died leaves "<file>.new"; the next writer is not blocked.
    std::ofstream(m_Path + ".new") << "half a file";
    EXPECT_EQ(kRegSuccess, setValue(kKey, "v", kRegSz, "x"));
    EXPECT_FALSE(std::filesystem::exists(m_Path + ".new"));

    std::filesystem::resize_file(m_Path, (16u << 20) + 1);
    EXPECT_EQ(kRegBadFile, RegKeyExists(kKey));
    EXPECT_EQ(kRegBadFile, setValue(kKey, "v", kRegSz, "y"));
    EXPECT_EQ((16u << 20) + 1, std::filesystem::file_size(m_Path));  // never rewritten
}

TEST_F(Registry, DeletingAKeyRemovesItsSubtree) {
    ASSERT_EQ(kRegSuccess, RegCreateKey(kKey + "\\Sub\\Deeper"));
    ASSERT_EQ(kRegSuccess, setValue(kKey + "\\Sub", "v", kRegSz, "x"));
    ASSERT_EQ(kRegSuccess, setValue(kKey, "keep", kRegSz, "y"));
    ASSERT_EQ(kRegSuccess, RegDeleteValue(kKey, "KEEP"));
    EXPECT_EQ(kRegSuccess, RegDeleteKey(kKey + "\\sub"));
    EXPECT_EQ(kRegNotFound, RegKeyExists(kKey + "\\Sub\\Deeper"));
    EXPECT_EQ(kRegNotFound, RegDeleteKey(kKey + "\\Sub"));
    std::vector<RegValue> values;
    ASSERT_EQ(kRegSuccess, RegListValues(kKey, values));
    EXPECT_TRUE(values.empty());
}

TEST_F(Registry, TextReadRawIsAlwaysTerminatedWithinTheBuffer) {
    ASSERT_EQ(kRegSuccess, RegCreateKey(kKey));
    ASSERT_EQ(kRegSuccess, setValue(kKey, "Text", kRegSz, "abc"));  // stored without NUL
    ASSERT_EQ(kRegSuccess, setValue(kKey, "Bytes", kRegBinary, "abc"));
    char buffer[8];
    memset(buffer, 'X', sizeof buffer);
    uint32_t type = 0;
    size_t length = 0;
    ASSERT_EQ(kRegSuccess, RegReadValueInto(kKey, "Text", buffer, 4, &type, &length));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(kRegSz, type);
    EXPECT_EQ(3u, length);

    memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(kRegMoreData, RegReadValueInto(kKey, "Text", buffer, 3, nullptr, nullptr));
    EXPECT_EQ('X', buffer[0]);  // nothing written
    EXPECT_EQ(kRegSuccess, RegReadValueInto(kKey, "Bytes", buffer, 3, nullptr, nullptr));
    EXPECT_EQ(0, memcmp(buffer, "abcX", 4));  // binary data is copied as it is
}

TEST_F(Registry, TwoProcessesWritingAtOnceLoseNoValue) {
    ASSERT_EQ(kRegSuccess, RegCreateKey(kKey));
    std::vector<pid_t> children;
    for (int writer = 0; writer < 2; ++writer) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < 200; ++i) {
                std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
                if (setValue(kKey, name, kRegSz, name) != kRegSuccess)
                    ++failures;
                RegValue v;  // readers in between always see a whole file
                if (RegQueryValue(kKey, "w0_0", v) == kRegSuccess && v.data != "w0_0")
                    ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<RegValue> values;
    ASSERT_EQ(kRegSuccess, RegListValues(kKey, values));
    EXPECT_EQ(400u, values.size());
    EXPECT_EQ(0, RegLastParseWarnings());
}

}  // namespace
