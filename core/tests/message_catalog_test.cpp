// The catalogue file reader, the language fallback and the accessors.
#include "core/message_catalog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A text per language of one message; null writes "no text" (length -1).
using Entry = std::vector<const char*>;

std::string CatalogueText(int header1, int header2, const std::vector<std::string>& languages,
                          const std::vector<Entry>& entries) {
    std::string out = std::to_string(header1) + " " + std::to_string(header2) + "\r\n" +
                      std::to_string(languages.size()) + "\r\n\r\n";
    for (const std::string& line : languages) out += line + "\n";
    int label = 0;
    for (const Entry& entry : entries) {
        for (const char* text : entry) {
            out += "  m" + std::to_string(label++) + " ";
            if (text == nullptr) {
                out += "-1:\n";
            } else {
                out += std::to_string(std::string(text).size()) + ":" + text + "\n";
            }
        }
    }
    return out;
}

class MessageCatalogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/catalog_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override {
        BaseMessageTable().Clear();
        ProductMessageTable().Clear();
        SetCatalogLanguage(0);
        std::filesystem::remove_all(m_Dir);
    }

    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = m_Dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Three languages, numbers 100-102.
    std::string WriteThreeLanguages() {
        return Write("messages",
                     CatalogueText(2, 9, {"English en eng", "Deutsch de ger", "Japanese ja jpn"},
                                   {{"zero", "null", "rei"},
                                    {"one\r\nline two", "eins", nullptr},
                                    {"two", nullptr, ""}}));
    }

    std::string m_Dir;
};

TEST_F(MessageCatalogTest, LooksTextsUpWithFallbackToLanguageZero) {
    CVornMessageTable table;
    ASSERT_EQ(table.ReadFile(WriteThreeLanguages().c_str(), 2, 9, 3, 100), kCatalogLoaded);
    EXPECT_EQ(table.GetLanguageCount(), 3);

    struct Case {
        int language, number;
        const char* expected;
    } cases[] = {
        {0, 100, "zero"},
        {1, 100, "null"},
        {2, 100, "rei"},
        {0, 101, "one\r\nline two"},  // line ends inside a text are text
        {2, 101, "one\r\nline two"},  // no text in language 2: language 0's
        {1, 102, "two"},
        {2, 102, ""},  // an empty text is a text: no fallback
        {0, 99, nullptr},
        {0, 103, nullptr},
        // Indexes outside the table's languages read language 0.
        {-1, 100, "zero"},
        {3, 100, "zero"},
        {25, 101, "one\r\nline two"},
    };
    for (const Case& c : cases) {
        const char* text = table.GetText(c.language, c.number);
        if (c.expected == nullptr) {
            EXPECT_EQ(text, nullptr) << c.language << "/" << c.number;
        } else {
            ASSERT_NE(text, nullptr) << c.language << "/" << c.number;
            EXPECT_STREQ(text, c.expected) << c.language << "/" << c.number;
        }
    }
}

TEST_F(MessageCatalogTest, TextLengthIsBoundedAt1023Bytes) {
    std::string longest(1023, 'x');
    std::string tooLong(1024, 'x');
    CVornMessageTable table;
    EXPECT_EQ(
        table.ReadFile(Write("ok", CatalogueText(2, 9, {"English"}, {{longest.c_str()}})).c_str(),
                       2, 9, 1, 0),
        kCatalogLoaded);
    EXPECT_EQ(table.GetText(0, 0), longest);
    EXPECT_EQ(
        table.ReadFile(Write("bad", CatalogueText(2, 9, {"English"}, {{tooLong.c_str()}})).c_str(),
                       2, 9, 1, 0),
        kCatalogBadVersion);
    EXPECT_EQ(table.GetLanguageCount(), 0);
    EXPECT_EQ(table.GetText(0, 0), nullptr);
}

TEST_F(MessageCatalogTest, MalformedFilesFailAndLeaveTheTableEmpty) {
    const std::string good = CatalogueText(2, 9, {"English en", "Deutsch de"}, {{"a", "b"}});
    std::vector<std::string> manyLanguages(26, "Lang");
    const std::string longLine(1023, 'L');
    struct Case {
        const char* what;
        std::string bytes;
        int expected;
    } cases[] = {
        {"second header number differs", CatalogueText(2, 8, {"English"}, {{"a"}}),
         kCatalogBadVersion},
        {"header is not a number", "2 x 1\nEnglish\n m 1:a\n", kCatalogBadVersion},
        {"header number glued to text", "2 9 1English\n m 1:a\n", kCatalogBadVersion},
        {"no language", CatalogueText(2, 9, {}, {{}}), kCatalogBadVersion},
        {"26 languages", CatalogueText(2, 9, manyLanguages, {}), kCatalogBadVersion},
        {"negative language count", "2 9 -1\nEnglish\n m 1:a\n", kCatalogBadVersion},
        {"language line missing", "2 9 2\nEnglish\n", kCatalogBadVersion},
        {"last line without newline", "2 9 1\nEnglish", kCatalogBadData},
        {"language line too long", "2 9 1\n" + longLine + "\n m 1:a\n", kCatalogBadData},
        {"entries missing", good.substr(0, good.size() - 7), kCatalogBadVersion},
        {"text shorter than its length", "2 9 1\nEnglish\n m 5:abc", kCatalogBadVersion},
        {"no newline after text", "2 9 1\nEnglish\n m 1:ab\n", kCatalogBadVersion},
        {"no colon", "2 9 1\nEnglish\n m 1 a\n", kCatalogBadVersion},
        {"no length", "2 9 1\nEnglish\n m :a\n", kCatalogBadVersion},
        {"label alone at the end", "2 9 1\nEnglish\n m", kCatalogBadVersion},
        {"length too large for an int", "2 9 1\nEnglish\n m 99999999999:a\n", kCatalogBadVersion},
        {"no text but bytes follow", "2 9 1\nEnglish\n m -1:a\n", kCatalogBadVersion},
        {"empty file", "", kCatalogBadVersion},
    };
    for (const Case& c : cases) {
        CVornMessageTable table;
        ASSERT_EQ(table.ReadFile(Write("good", good).c_str(), 2, 9, 1, 0), kCatalogLoaded);
        EXPECT_EQ(table.ReadFile(Write("bad", c.bytes).c_str(), 2, 9, 1, 0), c.expected) << c.what;
        EXPECT_EQ(table.GetLanguageCount(), 0) << c.what;
        EXPECT_EQ(table.GetText(0, 0), nullptr) << c.what;
    }
    CVornMessageTable table;
    EXPECT_EQ(table.ReadFile((m_Dir + "/missing").c_str(), 2, 9, 1, 0), kCatalogOpenFailed);
    EXPECT_EQ(table.ReadFile(nullptr, 2, 9, 1, 0), kCatalogOpenFailed);
}

TEST_F(MessageCatalogTest, TwentyFiveLanguagesLoad) {
    std::vector<std::string> languages;
    Entry texts;
    for (int i = 0; i < 25; ++i) languages.push_back("L" + std::to_string(i));
    for (const std::string& name : languages) texts.push_back(name.c_str());
    CVornMessageTable table;
    ASSERT_EQ(
        table.ReadFile(Write("m", CatalogueText(2, 9, languages, {texts})).c_str(), 2, 9, 1, 7),
        kCatalogLoaded);
    EXPECT_STREQ(table.GetText(24, 7), "L24");
    EXPECT_EQ(table.FindLanguage("l24"), 24);
}

TEST_F(MessageCatalogTest, FindsLanguagesByAnyWordOfTheirLine) {
    CVornMessageTable table;
    ASSERT_EQ(table.ReadFile(WriteThreeLanguages().c_str(), 2, 9, 3, 100), kCatalogLoaded);
    struct Case {
        const char* name;
        int expected;
    } cases[] = {{"english", 0}, {"EN", 0}, {"Eng", 0}, {"de", 1},    {"JPN", 2},
                 {"en ", -1},    {"e", -1}, {"", -1},   {nullptr, -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(table.FindLanguage(c.name), c.expected) << (c.name ? c.name : "(null)");
    }
}

TEST_F(MessageCatalogTest, PicksTheLanguageOfLinuxAndWindowsLocaleNames) {
    // Language 0 names itself in Windows terms only; Linux names of English
    // must still come out as language 0.
    CVornMessageTable table;
    ASSERT_EQ(table.ReadFile(
                  Write("m", CatalogueText(2, 9,
                                           {"English_United States.1252 English",
                                            "Japanese_Japan.932 Japanese ja ja_JP", "German de"},
                                           {{"a", "b", "c"}}))
                      .c_str(),
                  2, 9, 1, 0),
              kCatalogLoaded);
    struct Case {
        const char* locale;
        int expected;
    } cases[] = {
        {"C", 0},           {"POSIX", 0},
        {"C.UTF-8", 0},     {"en_US.UTF-8", 0},
        {"en_GB", 0},       {"fr_FR.UTF-8", 0},
        {"ja_JP.UTF-8", 1}, {"ja_JP.eucJP", 1},
        {"ja", 1},          {"de_DE@euro", 2},
        {"de_AT.UTF-8", 2}, {"Japanese_Japan.932", 1},
        {".UTF-8", 0},      {"", 0},
        {nullptr, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(table.FindLanguageForLocale(c.locale), c.expected)
            << (c.locale ? c.locale : "(null)");
    }
}

TEST_F(MessageCatalogTest, LocaleLanguageReadsTheProcessLocale) {
    CVornMessageCatalog catalog;
    ASSERT_EQ(
        catalog.Load(
            Write("m", CatalogueText(2, 9, {"Japanese ja", "English en C"}, {{"a", "b"}})).c_str(),
            2, 9, 1, 0),
        kCatalogLoaded);
    std::string saved = setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(setlocale(LC_CTYPE, "C"), nullptr);
    // "C" is language 0, even though another line lists the word "C".
    EXPECT_EQ(catalog.GetLocaleLanguage(), 0);
    setlocale(LC_CTYPE, saved.c_str());
}

TEST_F(MessageCatalogTest, AccessorsKeepTheirOwnLanguage) {
    CVornMessageCatalog base;
    ASSERT_EQ(base.Load(WriteThreeLanguages().c_str(), 2, 9, 3, 100), kCatalogLoaded);
    EXPECT_EQ(base.GetLanguageCount(), 3);

    CVornMessageCatalog before;
    SetCatalogLanguage(1);
    CVornMessageCatalog after;
    EXPECT_EQ(before.GetLanguage(), 0);
    EXPECT_EQ(after.GetLanguage(), 1);
    EXPECT_STREQ(before.GetText(100), "zero");
    EXPECT_STREQ(after.GetText(100), "null");
    EXPECT_STREQ(GetCatalogText(100), "null");

    after.SetLanguage(2);
    EXPECT_STREQ(after.GetText(101), "one\r\nline two");
    after.SetLanguage(9);  // not a language of the table
    EXPECT_STREQ(after.GetText(100), "zero");
    SetCatalogLanguage(-3);
    EXPECT_STREQ(GetCatalogText(102), "two");

    base.Clear();
    EXPECT_EQ(base.GetLanguageCount(), 0);
    EXPECT_EQ(GetCatalogText(100), nullptr);
}

TEST_F(MessageCatalogTest, ProductAccessorFallsBackToTheBaseTable) {
    CVornMessageCatalog base;
    ASSERT_EQ(base.Load(Write("messages", CatalogueText(2, 9, {"English", "Deutsch"},
                                                        {{"b0", nullptr}, {"b1", "B1"}}))
                            .c_str(),
                        2, 9, 2, 5),
              kCatalogLoaded);
    CProductMessageCatalog product;
    // The product header values are its own: the base ones are refused.
    std::string productFile =
        Write("tkmessages", CatalogueText(2, 5, {"English", "Deutsch"}, {{"p0", "P0"}}));
    EXPECT_EQ(product.Load(productFile.c_str(), 2, 9, 1, 2000000), kCatalogBadVersion);
    ASSERT_EQ(product.Load(productFile.c_str(), 2, 5, 1, 2000000), kCatalogLoaded);
    EXPECT_EQ(BaseMessageTable().GetLanguageCount(), 2);  // loading one leaves the other

    product.SetLanguage(1);
    EXPECT_STREQ(product.GetText(2000000), "P0");
    EXPECT_STREQ(product.GetText(5), "b0");
    EXPECT_STREQ(product.GetText(6), "B1");
    EXPECT_EQ(product.GetText(2000001), nullptr);
    // Through the base class the base table answers.
    CVornMessageCatalog& asBase = product;
    EXPECT_EQ(asBase.GetText(2000000), nullptr);
    EXPECT_EQ(&asBase.GetTable(), &ProductMessageTable());
}

}  // namespace
