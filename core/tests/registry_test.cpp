// Registry functions of the system: values as strings, the product's key,
// the events of failures, and the list of installed products.
#include "core/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_buffer.h"
#include "platform/registry.h"

namespace {

const std::string kRoot = "HKEY_LOCAL_MACHINE\\";
const std::string kProduct = "SOFTWARE\\Quorvane\\ZELORM";

// Catalogue texts of events 47 to 54, so that the events can be told apart.
const char* const kTexts[] = {"open %s %s %d", "read %s %s %d", "openw %s %s %d", "write %s %s %d",
                              nullptr,         nullptr,         "list %s %d",     "openl %s %d"};

std::string Str(CVornString& s) {
    return std::string(s.CStr(), static_cast<size_t>(s.Length()));
}

int Count(const std::string& text, const std::string& word) {
    int n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

std::vector<std::string> Names(CVornStringList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.m_Count; ++i) out.push_back(Str(*list.GetAt(i)));
    return out;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = m_Dir + "/messages";
        testsupport::WriteWhole(path,
                                testsupport::CatalogOf({std::begin(kTexts), std::end(kTexts)}));
        CVornMessageCatalog loader;
        ASSERT_EQ(loader.Load(path.c_str(), 2, 9, 8, 47), kCatalogLoaded);
        ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(kRoot + kProduct));
    }
    void TearDown() override { BaseMessageTable().Clear(); }

    // The texts of the events reported since the last call (escapes undone).
    std::vector<std::string> Events() {
        std::vector<std::string> out;
        for (const auto& fields : testsupport::ReadEventFields(m_Events)) {
            std::string text;
            for (size_t i = 0; i < fields.at(4).size(); ++i) {
                char c = fields[4][i];
                if (c == '\\' && i + 1 < fields[4].size()) {
                    c = fields[4][++i];
                    c = c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
                }
                text += c;
            }
            out.push_back(fields.at(2) + " " + text);
        }
        std::filesystem::remove(m_Events);
        return out;
    }

    void Put(const std::string& key, const char* name, uint32_t type, const std::string& data) {
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(kRoot + key, name, type, data.data(), data.size()));
    }

    testsupport::TempDir m_Temp{"zelorm-core-registry"};
    std::string m_Dir = m_Temp.Path();
    std::string m_Events = m_Dir + "/events";
    testsupport::ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Dir + "/registry.reg"};
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Events};
};

TEST_F(Registry, GetValueDropsTrailingNulsButKeepsInnerOnes) {
    Put(kProduct, "Multi", platform::kRegMultiSz, std::string("a\0b\0\0", 5));
    Put(kProduct, "Count", platform::kRegDword, std::string("\x1f\0\0\0", 4));
    CVornString out("stale");
    ASSERT_TRUE(RegistryGetValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), "multi", out, true));
    EXPECT_EQ(std::string("a\0b", 3), Str(out));
    ASSERT_TRUE(RegistryGetValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), "Count", out, true));
    EXPECT_EQ("\x1f", Str(out));
    EXPECT_TRUE(Events().empty());
}

TEST_F(Registry, FailedReadsEmptyTheStringAndReportOnlyWhenAsked) {
    Put(kProduct, "Big", platform::kRegBinary, std::string(1025, 'x'));
    Put(kProduct, "Fits", platform::kRegBinary, std::string(1024, 'x'));
    struct Case {
        const char* key;
        const char* name;
        std::string event;  // with the report flag
    } cases[] = {
        {kProduct.c_str(), "Missing", "1 read SOFTWARE\\Quorvane\\ZELORM Missing 2"},
        {"SOFTWARE\\Nobody", "Version", "1 open SOFTWARE\\Nobody Version 2"},
        {kProduct.c_str(), "Big", "1 read SOFTWARE\\Quorvane\\ZELORM Big 234"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        CVornString out("stale");
        EXPECT_FALSE(RegistryGetValue(HKEY_LOCAL_MACHINE, c.key, c.name, out, false));
        EXPECT_TRUE(out.IsEmpty());
        EXPECT_TRUE(Events().empty());
        out.Assign("stale");
        EXPECT_FALSE(RegistryGetValue(HKEY_LOCAL_MACHINE, c.key, c.name, out, true));
        EXPECT_TRUE(out.IsEmpty());
        EXPECT_EQ(std::vector<std::string>{c.event}, Events());
    }
    CVornString out;
    EXPECT_TRUE(RegistryGetValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), "Fits", out, true));
    EXPECT_EQ(1024, out.Length());
}

TEST_F(Registry, NullArgumentsAreDebugLinesNotEvents) {
    CVornLogSink sink(kLogDebug);
    CVornString out("stale");
    CVornStringList list;
    EXPECT_FALSE(RegistryGetValue(HKEY_LOCAL_MACHINE, nullptr, "v", out, true));
    EXPECT_FALSE(RegistryGetValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), nullptr, out, true));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_FALSE(RegistrySetValue(HKEY_LOCAL_MACHINE, nullptr, "v", out));
    EXPECT_FALSE(RegistryGetSubKeys(HKEY_LOCAL_MACHINE, nullptr, list, true));
    CVornBuffer buffer;
    ASSERT_TRUE(sink.TakeText(buffer));
    CVornString text;
    buffer.TakeAll(text);
    std::string lines = Str(text);
    EXPECT_EQ(2, Count(lines, "registry getvalue bad args"));
    EXPECT_NE(std::string::npos, lines.find("registry setvalue bad args"));
    EXPECT_NE(std::string::npos, lines.find("registry getsubkeys bad arg"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(Registry, ProductValuesLiveUnderTheMakersKey) {
    Put("SOFTWARE\\Quorvane", "SharedConfigFile", platform::kRegSz, "/srv/shared-config");
    CVornString out;
    EXPECT_EQ(0, GetProductRegValue(nullptr, "SharedConfigFile", out, true));
    EXPECT_EQ("/srv/shared-config", Str(out));

    EXPECT_EQ(0, SetProductRegValue(kProductRegistryKey, "HTTPPort", CVornString("8080")));
    EXPECT_EQ(0, GetProductRegValue("ZELORM\\\\", "httpport", out, true));
    EXPECT_EQ("8080", Str(out));
    platform::RegValue stored;  // a text value without a terminating NUL
    ASSERT_EQ(platform::kRegSuccess, platform::RegQueryValue(kRoot + kProduct, "HTTPPort", stored));
    EXPECT_EQ(platform::kRegSz, stored.type);
    EXPECT_EQ("8080", stored.data);

    out.Assign("stale");
    EXPECT_EQ(1, GetProductRegValue("OTHER", "HTTPPort", out, false));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_TRUE(Events().empty());
}

TEST_F(Registry, FailedWritesAreAlwaysReported) {
    EXPECT_EQ(1, SetProductRegValue("OTHER", "HTTPPort", CVornString("1")));  // never created
    EXPECT_EQ(platform::kRegNotFound, platform::RegKeyExists(kRoot + "SOFTWARE\\Quorvane\\OTHER"));
    EXPECT_FALSE(
        RegistrySetValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), "two\nlines", CVornString("1")));
    EXPECT_EQ((std::vector<std::string>{"1 openw SOFTWARE\\Quorvane\\OTHER HTTPPort 2",
                                        "1 write SOFTWARE\\Quorvane\\ZELORM two\nlines 87"}),
              Events());
}

TEST_F(Registry, RawReadsNeverRunPastTheValue) {
    Put(kProduct, "Port", platform::kRegSz, "8080");  // stored without its NUL
    char buffer[8];
    memset(buffer, 'X', sizeof buffer);
    ASSERT_TRUE(RegistryReadValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), "Port", buffer, 5));
    EXPECT_STREQ("8080", buffer);
    memset(buffer, 'X', sizeof buffer);
    EXPECT_FALSE(RegistryReadValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), "Port", buffer, 4));
    EXPECT_EQ('\0', buffer[0]);
    memset(buffer, 'X', sizeof buffer);
    EXPECT_FALSE(RegistryReadValue(HKEY_LOCAL_MACHINE, kProduct.c_str(), "None", buffer, 8));
    EXPECT_EQ('\0', buffer[0]);
    EXPECT_TRUE(Events().empty());
}

TEST_F(Registry, SubKeysAndInstalledProducts) {
    for (const char* product : {"Bravo", "alpha", "Charlie"})
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegCreateKey(kRoot + "SOFTWARE\\Quorvane\\" + product));
    Put("SOFTWARE\\Quorvane\\alpha", "Version", platform::kRegSz, "1.0");
    Put("SOFTWARE\\Quorvane\\Charlie", "Version", platform::kRegSz, "");
    Put(kProduct, "Version", platform::kRegSz, "2.0");

    CVornStringList list;
    list.AddTail(CVornString("old"));
    ASSERT_TRUE(RegistryGetSubKeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvane", list, true));
    EXPECT_EQ((std::vector<std::string>{"alpha", "Bravo", "Charlie", "ZELORM"}), Names(list));

    CVornStringList products;
    products.AddTail(CVornString("kept"));
    SysInfoListProducts(products);
    EXPECT_EQ((std::vector<std::string>{"kept", "alpha", "Charlie", "ZELORM"}), Names(products));

    EXPECT_FALSE(RegistryGetSubKeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody", list, false));
    EXPECT_EQ(0, list.m_Count);
    EXPECT_TRUE(Events().empty());
    EXPECT_FALSE(RegistryGetSubKeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody", list, true));
    EXPECT_EQ(std::vector<std::string>{"1 openl SOFTWARE\\Nobody 2"}, Events());

    ASSERT_EQ(platform::kRegSuccess, platform::RegDeleteKey(kRoot + "SOFTWARE\\Quorvane"));
    SysInfoListProducts(products);  // no maker's key: the list stays, nothing reported
    EXPECT_EQ(4, products.m_Count);
    EXPECT_TRUE(Events().empty());
}

}  // namespace
