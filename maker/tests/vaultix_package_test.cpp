// Quarantine packages: written through the library's four entry points and
// read back with CVaultixReader; saves that fail leave no package; bad
// handles and bad values are refused without harm; damaged files are
// refused by the reader.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/temp_dir.h"
#include "maker/vaultix/vaultix.h"
#include "maker/vaultix/vaultix_reader.h"

namespace {

using testsupport::ReadWhole;
using testsupport::TempDir;
using testsupport::WriteWhole;

class VaultixPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 70000; ++i) m_Object.push_back(static_cast<char>(i * 31 % 256));
        WriteWhole(m_Data, m_Object);
    }

    // The names of the files in the test directory.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_Dir.Path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir m_Dir;
    std::string m_Data = m_Dir.Path("object.bin");
    std::string m_Package = m_Dir.Path("Q00000001.fwd");
    std::string m_Object;
};

TEST_F(VaultixPackageTest, ValuesOfEveryTypeAndTheObjectReadBack) {
    const unsigned char date[7] = {12, 11, 0xEA, 0x07, 4, 30, 59};  // 12/11/2026 04:30:59
    const uint32_t number = 0x80000001u;
    const std::string binaryText("a\0b\r\n,\xff", 7);
    struct Case {
        const char* name;
        int type;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"X-Scan-Virus-Name", VAULTIX_TYPE_TEXT, "Eicar-Test-Signature"},
        {"X-Sample-Extension", VAULTIX_TYPE_TEXT, ""},
        {"X-Sample-File", VAULTIX_TYPE_TEXT, binaryText},
        {"X-Scan-Virus-Identifier", VAULTIX_TYPE_NUMBER,
         std::string(reinterpret_cast<const char*>(&number), 4)},
        {"X-Date-Quarantined", VAULTIX_TYPE_DATE,
         std::string(reinterpret_cast<const char*>(date), 7)},
        {"X-Sample-Reason", VAULTIX_TYPE_TEXT, std::string(65536, 'r')},
    };

    VAULTIX_HANDLE handle = nullptr;
    ASSERT_EQ(VaultixCreateFile(&handle, m_Data.c_str(), m_Package.c_str()), VAULTIX_OK);
    for (const Case& c : cases) {
        EXPECT_EQ(VaultixSetItemValue(handle, c.name, c.type, c.bytes.data(),
                                      static_cast<uint32_t>(c.bytes.size())),
                  VAULTIX_OK)
            << c.name;
    }
    // Nothing exists under the package's name before the save.
    EXPECT_FALSE(std::filesystem::exists(m_Package));
    ASSERT_EQ(VaultixSaveItem(handle), VAULTIX_OK);
    EXPECT_EQ(VaultixReleaseItem(handle), VAULTIX_OK);

    CVaultixReader reader;
    ASSERT_TRUE(reader.Open(m_Package)) << reader.Error();
    ASSERT_EQ(reader.Values().size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(reader.Values()[i].name, cases[i].name);
        EXPECT_EQ(reader.Values()[i].type, cases[i].type);
        EXPECT_EQ(reader.Values()[i].bytes, cases[i].bytes) << cases[i].name;
    }
    EXPECT_EQ(reader.Find("X-Scan-Virus-Identifier")->Number(), number);
    EXPECT_EQ(reader.Find("x-scan-virus-name"), nullptr);
    std::string object;
    ASSERT_TRUE(reader.ReadObject(&object, 1 << 20));
    EXPECT_EQ(object, m_Object);
    EXPECT_FALSE(reader.ReadObject(&object, m_Object.size() - 1));
    // No temporary file is left beside the package.
    EXPECT_EQ(Files(), (std::vector<std::string>{"Q00000001.fwd", "object.bin"}));
}

TEST_F(VaultixPackageTest, ASecondValueOfOneNameReplacesTheFirstInPlace) {
    VAULTIX_HANDLE handle = nullptr;
    ASSERT_EQ(VaultixCreateFile(&handle, m_Data.c_str(), m_Package.c_str()), VAULTIX_OK);
    EXPECT_EQ(VaultixSetItemValue(handle, "A", 1, "one", 3), VAULTIX_OK);
    EXPECT_EQ(VaultixSetItemValue(handle, "B", 1, "two", 3), VAULTIX_OK);
    EXPECT_EQ(VaultixSetItemValue(handle, "A", 1, "three", 5), VAULTIX_OK);
    ASSERT_EQ(VaultixSaveItem(handle), VAULTIX_OK);
    VaultixReleaseItem(handle);
    CVaultixReader reader;
    ASSERT_TRUE(reader.Open(m_Package));
    ASSERT_EQ(reader.Values().size(), 2u);
    EXPECT_EQ(reader.Values()[0].bytes, "three");
    EXPECT_EQ(reader.Values()[1].bytes, "two");
}

TEST_F(VaultixPackageTest, BadValuesAreRefusedAndLeaveThePackageAsItWas) {
    VAULTIX_HANDLE handle = nullptr;
    ASSERT_EQ(VaultixCreateFile(&handle, m_Data.c_str(), m_Package.c_str()), VAULTIX_OK);
    ASSERT_EQ(VaultixSetItemValue(handle, "Kept", 1, "k", 1), VAULTIX_OK);
    const std::string longName(256, 'n');
    const std::string tooLong(65537, 'v');
    struct Case {
        const char* what;
        const char* name;
        int type;
        const void* value;
        uint32_t length;
    };
    const Case cases[] = {
        {"null name", nullptr, 1, "x", 1},
        {"empty name", "", 1, "x", 1},
        {"name over 255 bytes", longName.c_str(), 1, "x", 1},
        {"type 0", "T", 0, "x", 1},
        {"type 4", "T", 4, "x", 1},
        {"number of 3 bytes", "N", 2, "abc", 3},
        {"date of 8 bytes", "D", 3, "abcdefgh", 8},
        {"text over 64 KiB", "T", 1, tooLong.data(), 65537},
        {"null value with a length", "T", 1, nullptr, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VaultixSetItemValue(handle, c.name, c.type, c.value, c.length),
                  VAULTIX_ERR_ARGUMENT)
            << c.what;
    }
    // A null value of length 0 is an empty text.
    EXPECT_EQ(VaultixSetItemValue(handle, "Empty", 1, nullptr, 0), VAULTIX_OK);
    ASSERT_EQ(VaultixSaveItem(handle), VAULTIX_OK);
    VaultixReleaseItem(handle);
    CVaultixReader reader;
    ASSERT_TRUE(reader.Open(m_Package));
    ASSERT_EQ(reader.Values().size(), 2u);
    EXPECT_EQ(reader.Values()[0].name, "Kept");
    EXPECT_EQ(reader.Values()[1].name, "Empty");
}

TEST_F(VaultixPackageTest, BadHandlesAreRefusedWithoutBeingUsed) {
    VAULTIX_HANDLE released = nullptr;
    ASSERT_EQ(VaultixCreateFile(&released, m_Data.c_str(), m_Package.c_str()), VAULTIX_OK);
    ASSERT_EQ(VaultixReleaseItem(released), VAULTIX_OK);
    int stranger = 0;
    const VAULTIX_HANDLE bad[] = {nullptr, released, reinterpret_cast<VAULTIX_HANDLE>(&stranger)};
    for (VAULTIX_HANDLE handle : bad) {
        EXPECT_EQ(VaultixSetItemValue(handle, "A", 1, "a", 1), VAULTIX_ERR_HANDLE);
        EXPECT_EQ(VaultixSaveItem(handle), VAULTIX_ERR_HANDLE);
        EXPECT_EQ(VaultixReleaseItem(handle), VAULTIX_ERR_HANDLE);
    }
    EXPECT_EQ(stranger, 0);
    EXPECT_EQ(VaultixCreateFile(nullptr, m_Data.c_str(), m_Package.c_str()), VAULTIX_ERR_ARGUMENT);
    EXPECT_FALSE(std::filesystem::exists(m_Package));
}

TEST_F(VaultixPackageTest, ASaveThatFailsLeavesNoPackage) {
    // The data file: missing, or not a regular file.
    VAULTIX_HANDLE handle = reinterpret_cast<VAULTIX_HANDLE>(1);
    EXPECT_EQ(VaultixCreateFile(&handle, m_Dir.Path("missing").c_str(), m_Package.c_str()),
              VAULTIX_ERR_DATA_FILE);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(VaultixCreateFile(&handle, m_Dir.Path().c_str(), m_Package.c_str()),
              VAULTIX_ERR_DATA_FILE);

    // The package's directory does not exist.
    std::string nowhere = m_Dir.Path("no-such-dir/Q00000002.fwd");
    ASSERT_EQ(VaultixCreateFile(&handle, m_Data.c_str(), nowhere.c_str()), VAULTIX_OK);
    EXPECT_EQ(VaultixSaveItem(handle), VAULTIX_ERR_WRITE);
    VaultixReleaseItem(handle);

    // A file of the package's name exists: it is kept as it was.
    WriteWhole(m_Package, "earlier package");
    ASSERT_EQ(VaultixCreateFile(&handle, m_Data.c_str(), m_Package.c_str()), VAULTIX_OK);
    EXPECT_EQ(VaultixSaveItem(handle), VAULTIX_ERR_EXISTS);
    VaultixReleaseItem(handle);
    EXPECT_EQ(ReadWhole(m_Package), "earlier package");

    EXPECT_EQ(Files(), (std::vector<std::string>{"Q00000001.fwd", "object.bin"}));
}

TEST_F(VaultixPackageTest, TheReaderRefusesDamagedPackages) {
    VAULTIX_HANDLE handle = nullptr;
    ASSERT_EQ(VaultixCreateFile(&handle, m_Data.c_str(), m_Package.c_str()), VAULTIX_OK);
    ASSERT_EQ(VaultixSetItemValue(handle, "Name", 1, "value", 5), VAULTIX_OK);
    ASSERT_EQ(VaultixSaveItem(handle), VAULTIX_OK);
    VaultixReleaseItem(handle);
    const std::string whole = ReadWhole(m_Package);
    // magic 8, count 4, name length 2, "Name" 4, type 1, length 4, "value" 5,
    // object length 8: the object starts at byte 36.
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::string badType = whole;
    badType[18] = 4;
    std::string hugeCount = whole;
    hugeCount[11] = 1;
    const Case cases[] = {
        {"empty file", ""},
        {"other magic", "XVAULT1\n" + whole.substr(8)},
        {"cut in the values", whole.substr(0, 20)},
        {"cut in the object length", whole.substr(0, 30)},
        {"cut in the object", whole.substr(0, whole.size() - 1)},
        {"a byte after the object", whole + "x"},
        {"unknown type", badType},
        {"value count over the bound", hugeCount},
    };
    for (const Case& c : cases) {
        WriteWhole(m_Package, c.bytes);
        CVaultixReader reader;
        EXPECT_FALSE(reader.Open(m_Package)) << c.what;
        EXPECT_FALSE(reader.Error().empty()) << c.what;
        EXPECT_TRUE(reader.Values().empty()) << c.what;
    }
}

}  // namespace
