// The scan settings and the per-message scan callback: pattern lists from
// the configuration, extension matching, the selection, attachment
// stripping and the replacement texts handed to the plug-in.
#include "gateway/scan_settings.h"

#include <gtest/gtest.h>
#include <string.h>

#include <iterator>
#include <string>
#include <vector>

#include "core/message_catalog.h"
#include "gateway/scan_callback.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

const std::string kSep = "\x1C";

std::string Items(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? kSep : "") + items[i];
    return out;
}

std::vector<std::string> Patterns(CVornStringList& list) {
    std::vector<std::string> out;
    CVornLockGuard guard(&list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next) out.push_back(node->m_Element.CStr());
    return out;
}

class ScanSettingsTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        CProductMessageCatalog product;
        ASSERT_EQ(kCatalogLoaded,
                  product.Load(ZELORM_CATALOG_DIR "/tkmessages", 2, 5, 34, 2000000));
    }
    void TearDown() override {
        // The settings are process-wide: leave them empty for the next test.
        WriteConfig({});
        LoadScanSettings();
        CProductMessageCatalog().Clear();
        SpoolTest::TearDown();
    }

    // Loads the settings from a system object with these attributes.
    void Load(const std::vector<std::string>& system) {
        WriteConfig(system);
        LoadScanSettings();
    }
};

TEST_F(ScanSettingsTest, ItemsLoseTheirDotAndCaseAndRepeatsGo) {
    Load({"RazoVidezExcludeExt=" + Items({".TXT", "*.gif", "exe", "EXE", "", "*.Exe", "do?"}),
          "RazoVidezIncludeExt=" + kSep + kSep + "b" + kSep + kSep + "a" + kSep,
          "ZELORMStripAttachmentsExtList=" + Items({".", "*.", "z*"})});
    EXPECT_EQ((std::vector<std::string>{"txt", "gif", "exe", "do?"}),
              Patterns(g_ExcludeExtensions));
    EXPECT_EQ((std::vector<std::string>{"b", "a"}), Patterns(g_IncludeExtensions));
    EXPECT_EQ((std::vector<std::string>{"", "z*"}), Patterns(g_StripExtensions));

    // A reload replaces the lists instead of adding to them.
    Load({"RazoVidezExcludeExt=com"});
    EXPECT_EQ((std::vector<std::string>{"com"}), Patterns(g_ExcludeExtensions));
    EXPECT_TRUE(Patterns(g_IncludeExtensions).empty());
    EXPECT_TRUE(Patterns(g_StripExtensions).empty());
}

TEST_F(ScanSettingsTest, ExtensionsMatchPatternsOfTheSameLength) {
    struct Case {
        const char* pattern;  // one setting item
        const char* name;
        bool match;
    };
    const Case cases[] = {
        {"exe", "setup.exe", true},
        {"exe", "SETUP.EXE", true},
        {"EXE", "setup.exe", true},
        {"exe", "setup.ex", false},
        {"exe", "setup.exe.txt", false},
        {"exe", "dir.exe/readme", false},
        {"do?", "letter.doc", true},
        {"do?", "letter.dot", true},
        {"do?", "letter.do", false},
        {"do?", "letter.docx", false},
        {"ex?", "a.ex_", true},
        {"z*", "a.zx", true},
        {"z*", "a.zip", false},
        {"z*", "a.z", false},
        {"e*", "a.ez", true},
        {"e*", "a.exe", false},
        {"*", "a.c", true},
        {"*", "a.cc", false},
        {"*", "README", false},
        {".", "README", true},
        {"*.", "name.", true},
        {".", "a.txt", false},
        {"exe", "README", false},
        {"exe", nullptr, false},
        {".", nullptr, true},
    };
    // One setting per case, so the configuration is loaded once.
    std::vector<std::string> system;
    for (size_t i = 0; i < std::size(cases); ++i)
        system.push_back("Pattern" + std::to_string(i) + "=" + cases[i].pattern);
    WriteConfig(system);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        CVornStringList list;
        ParseExtensionList(("Pattern" + std::to_string(i)).c_str(), list);
        ASSERT_EQ(1u, Patterns(list).size()) << c.pattern;
        EXPECT_EQ(c.match, MatchExtensionList(c.name, list))
            << c.pattern << " against " << (c.name ? c.name : "(null)");
    }
}

TEST_F(ScanSettingsTest, SelectionDecidesWhatIsScanned) {
    struct Case {
        const char* select;  // null: setting absent
        std::vector<std::string> scanned;
        std::vector<std::string> skipped;
    };
    const std::string exclude = "RazoVidezExcludeExt=" + Items({".TXT", "*.gif"});
    const std::string include = "RazoVidezIncludeExt=" + Items({"exe", "com"});
    const Case cases[] = {
        {nullptr, {"a.txt", "b.GIF", "c.exe", "README"}, {}},
        {"0", {"a.txt", "b.GIF", "c.exe"}, {}},
        {"1", {"c.exe", "README", "d.com"}, {"a.txt", "b.GIF"}},
        {"2", {"c.exe", "d.COM"}, {"a.txt", "b.GIF", "README"}},
        {"7", {"a.txt", "b.GIF", "c.exe"}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> system = {exclude, include};
        if (c.select)
            system.push_back(std::string("ZELORMRazoVidezSelect=") + c.select);
        Load(system);
        CScanCallback callback(nullptr, nullptr, nullptr);
        for (const std::string& name : c.scanned)
            EXPECT_TRUE(callback.ShouldScan(name.c_str(), 0)) << c.select << " " << name;
        for (const std::string& name : c.skipped)
            EXPECT_FALSE(callback.ShouldScanName(name.c_str())) << c.select << " " << name;
    }

    // Including by an empty list scans nothing.
    Load({"ZELORMRazoVidezSelect=2"});
    CScanCallback callback(nullptr, nullptr, nullptr);
    EXPECT_FALSE(callback.ShouldScanName("c.exe"));
    EXPECT_FALSE(callback.ShouldScanName("README"));
}

TEST_F(ScanSettingsTest, AttachmentsAreStrippedOnlyWhenStrippingIsOn) {
    const std::string list = "ZELORMStripAttachmentsExtList=" + Items({"exe", "vb?"});
    struct Case {
        const char* strip;  // null: setting absent
        const char* name;
        int32_t answer;
    };
    const Case cases[] = {
        {"1", "setup.exe", WEXLOR_ANSWER_BLOCK}, {"1", "x.VBS", WEXLOR_ANSWER_BLOCK},
        {"1", "notes.txt", 0},                   {"2", "setup.exe", WEXLOR_ANSWER_BLOCK},
        {"0", "setup.exe", 0},                   {nullptr, "setup.exe", 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> system = {list};
        if (c.strip)
            system.push_back(std::string("ZELORMStripAttachments=") + c.strip);
        Load(system);
        CScanCallback callback(nullptr, nullptr, nullptr);
        EXPECT_EQ(c.answer, callback.FilterAttachment(c.name, 0))
            << (c.strip ? c.strip : "(absent)") << " " << c.name;
    }
}

TEST_F(ScanSettingsTest, ReplacementTextsNameTheObjectAndFitTheBuffer) {
    CScanCallback callback(nullptr, nullptr, nullptr);
    char text[WEXLOR_TEXT_SIZE];
    memset(text, 'x', sizeof text);
    EXPECT_EQ(WEXLOR_ANSWER_REPLACE,
              callback.GetDeletedText("invoice.zip", "Eicar-Test-Signature", text, sizeof text));
    EXPECT_NE(nullptr, strstr(text, "\"invoice.zip\""));
    EXPECT_NE(nullptr, strstr(text, "\"Eicar-Test-Signature\""));

    EXPECT_EQ(WEXLOR_ANSWER_REPLACE, callback.GetBlockedText("setup.exe", text, sizeof text));
    EXPECT_NE(nullptr, strstr(text, "\"setup.exe\""));

    // A long name is cut to the buffer the plug-in gave; nothing past it is
    // touched.
    std::string longName(3000, 'n');
    char small[64 + 8];
    memset(small, '#', sizeof small);
    callback.GetDeletedText(longName.c_str(), "V", small, 64);
    EXPECT_EQ(63u, strlen(small));
    EXPECT_EQ('#', small[64]);
    callback.GetBlockedText(longName.c_str(), small, 1);
    EXPECT_STREQ("", small);

    // A name cannot put a line of its own into the mail.
    callback.GetBlockedText("a.exe\r\n--boundary\r\n", text, sizeof text);
    EXPECT_EQ(nullptr, strchr(text, '\r'));
    EXPECT_EQ(nullptr, strchr(text, '\n'));
}

TEST(FormatReplacementText, LinesEndInCrLfAndCutsKeepWholeCharacters) {
    struct Case {
        const char* format;
        int32_t size;
        std::string expected;
    };
    const Case cases[] = {
        {"A %s\nB %s\r\nC\rD\n", 100, "A o\r\nB v\r\nC\r\nD\r\n"},
        {"A %s\nB", 6, "A o\r\n"},  // room for the CR LF: kept whole
        {"A %s\nB", 5, "A o"},      // no room for both: neither
        {"%s \xC3\xA9", 5, "o \xC3\xA9"},
        {"%s \xC3\xA9", 4, "o "},   // half a UTF-8 character is dropped
        {"%s \xE2\x82\xAC!", 5, "o "},
        {"no conversion %d", 100, "no conversion %d"},  // refused format: as it stands
    };
    for (const Case& c : cases) {
        char text[128];
        memset(text, '#', sizeof text);
        FormatReplacementText(c.format, "o", strstr(c.format, "B %s") ? "v" : nullptr, text,
                              c.size);
        EXPECT_EQ(c.expected, std::string(text)) << c.format << " / " << c.size;
        EXPECT_EQ('#', text[c.size]) << c.format;
    }
    FormatReplacementText("x", "o", nullptr, nullptr, 10);  // no buffer: nothing happens
}

}  // namespace
