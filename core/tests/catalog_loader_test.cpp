// The catalogue loader: the registry's directory first, the program's own
// directory second, and one line on standard error naming the program and
// the reason of the registry step when both fail.
#include "core/catalog_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace {

const std::string kProductKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM";

// A one-language catalogue "messages" (2, 9) with one text, number 0.
std::string Catalogue(const std::string& text) {
    return "2 9 1\nEnglish\n  m " + std::to_string(text.size()) + ":" + text + "\n";
}

class CatalogLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelorm-loader-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_Dir = pattern;
        std::filesystem::create_directories(m_Dir + "/install");
        std::filesystem::create_directories(m_Dir + "/bin");
        setenv("ZELORM_REGISTRY", (m_Dir + "/registry.reg").c_str(), 1);
        ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(kProductKey));
    }
    void TearDown() override {
        unsetenv("ZELORM_REGISTRY");
        BaseMessageTable().Clear();
        std::filesystem::remove_all(m_Dir);
    }

    void SetInstallDir(const std::string& directory) {
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(kProductKey, "InstallDir", platform::kRegSz,
                                          directory.data(), directory.size()));
    }
    void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }

    // Load of "messages" as the service does it, with the program at
    // programPath; standard error into errors.
    bool Load(const char* programPath, std::string& errors, const char* productKey = "ZELORM") {
        CVornMessageCatalog catalog;
        CVornCatalogLoader loader;
        testing::internal::CaptureStderr();
        bool loaded =
            loader.Load(catalog, programPath, productKey, "InstallDir", "messages", 2, 9, 1, 0);
        errors = testing::internal::GetCapturedStderr();
        return loaded;
    }
    std::string Text() {
        CVornMessageCatalog catalog;
        const char* text = catalog.GetText(0);
        return text ? text : "(none)";
    }
    std::string Program() const { return m_Dir + "/bin/zelorm"; }

    std::string m_Dir;
};

TEST_F(CatalogLoaderTest, RegistryDirectoryComesFirst) {
    SetInstallDir(m_Dir + "/install");
    WriteFile(m_Dir + "/install/messages", Catalogue("from install"));
    WriteFile(m_Dir + "/bin/messages", Catalogue("from bin"));
    std::string errors;
    EXPECT_TRUE(Load(Program().c_str(), errors));
    EXPECT_EQ("", errors);
    EXPECT_EQ("from install", Text());

    // A value stored as bytes without a terminating NUL names the same
    // directory (the loader terminates it, whatever its buffer held).
    std::string directory = m_Dir + "/install";
    ASSERT_EQ(platform::kRegSuccess,
              platform::RegWriteValue(kProductKey, "InstallDir", platform::kRegBinary,
                                      directory.data(), directory.size()));
    BaseMessageTable().Clear();
    EXPECT_TRUE(Load(Program().c_str(), errors));
    EXPECT_EQ("", errors);
    EXPECT_EQ("from install", Text());
}

TEST_F(CatalogLoaderTest, ProgramDirectoryIsTheFallback) {
    // Registry value missing, or naming a directory without the file.
    WriteFile(m_Dir + "/bin/messages", Catalogue("from bin"));
    std::string errors;
    EXPECT_TRUE(Load(Program().c_str(), errors));
    EXPECT_EQ("", errors);
    EXPECT_EQ("from bin", Text());

    BaseMessageTable().Clear();
    SetInstallDir(m_Dir + "/install");
    EXPECT_TRUE(Load(Program().c_str(), errors));
    EXPECT_EQ("", errors);
    EXPECT_EQ("from bin", Text());

    // A broken file in the registry's directory does not stop the fallback.
    WriteFile(m_Dir + "/install/messages", "2 8 1\nEnglish\n  m 1:x\n");
    EXPECT_TRUE(Load(Program().c_str(), errors));
    EXPECT_EQ("", errors);
}

TEST_F(CatalogLoaderTest, FailureNamesTheProgramAndTheRegistryStepsReason) {
    const std::string install = m_Dir + "/install";
    const struct {
        const char* what;
        std::string installDir;   // empty: no registry value
        const char* installFile;  // null: no file there
        std::string expected;
    } kCases[] = {
        {"no registry value", "", nullptr,
         "zelorm: error: unable to load messages (unable to read from registry)\n"},
        {"no file", install, nullptr,
         "zelorm: error: unable to load " + install + "/messages (failed open)\n"},
        {"wrong header", install, "2 8 1\nEnglish\n  m 1:x\n",
         "zelorm: error: unable to load " + install + "/messages (incorrect file version)\n"},
        {"language line cut", install, "2 9 1\nEnglish",
         "zelorm: error: unable to load " + install + "/messages (incorrect data)\n"},
        {"a directory by the name", install, "", ""},
        // value 503 + "messages" 8 + 1 > 511
        {"path too long", "/" + std::string(502, 'd'), nullptr,
         "zelorm: error: unable to load messages (path too long)\n"},
        // 502 + 8 + 1 = 511 is not too long: the file is just missing
        {"longest path", "/" + std::string(501, 'd'), nullptr,
         "zelorm: error: unable to load /" + std::string(501, 'd') + "/messages (failed open)\n"},
        // over the 512 bytes the value may have
        {"value too long", "/" + std::string(600, 'd'), nullptr,
         "zelorm: error: unable to load messages (unable to read from registry)\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(install + "/messages");
        platform::RegDeleteValue(kProductKey, "InstallDir");
        if (!c.installDir.empty())
            SetInstallDir(c.installDir);
        std::string expected = c.expected;
        if (c.installFile && *c.installFile) {
            WriteFile(install + "/messages", c.installFile);
        } else if (c.installFile) {
            std::filesystem::create_directories(install + "/messages");
            expected = "zelorm: error: unable to load " + install + "/messages (failed read)\n";
        }
        std::string errors;
        EXPECT_FALSE(Load(Program().c_str(), errors));
        EXPECT_EQ(expected, errors);
        EXPECT_EQ(0, BaseMessageTable().GetLanguageCount());
    }
}

TEST_F(CatalogLoaderTest, ProgramNameWithoutPathOrProgram) {
    std::string errors;
    // No program path: the product key names the program and there is no
    // fallback directory.
    WriteFile(m_Dir + "/bin/messages", Catalogue("from bin"));
    EXPECT_FALSE(Load(nullptr, errors));
    EXPECT_EQ("ZELORM: error: unable to load messages (unable to read from registry)\n", errors);

    // A bare program name looks in the current directory.
    std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(m_Dir + "/bin");
    bool loaded = Load("zelorm", errors);
    std::filesystem::current_path(here);
    EXPECT_TRUE(loaded);
    EXPECT_EQ("", errors);

    // A product key of 256 characters or more with the maker's key.
    // (the program's directory is still tried)
    EXPECT_TRUE(Load(Program().c_str(), errors, std::string(240, 'k').c_str()));
    BaseMessageTable().Clear();
    std::filesystem::remove(m_Dir + "/bin/messages");
    EXPECT_FALSE(Load(Program().c_str(), errors, std::string(240, 'k').c_str()));
    EXPECT_EQ("zelorm: error: unable to load messages (registry key too long)\n", errors);
}

TEST_F(CatalogLoaderTest, NullFileNameLoadsNothing) {
    CVornMessageCatalog catalog;
    CVornCatalogLoader loader;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(
        loader.Load(catalog, Program().c_str(), "ZELORM", "InstallDir", nullptr, 2, 9, 1, 0));
    EXPECT_EQ("zelorm: error: unable to load messages (general failure)\n",
              testing::internal::GetCapturedStderr());
}

}  // namespace
