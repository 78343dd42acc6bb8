// The catalogue compiler: a well-formed table becomes a file that the
// catalogue reader loads with the texts, escapes and fallbacks intended; a
// malformed table is refused with its file and line, and nothing is written.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/message_catalog.h"

namespace {

class CatalogCompilerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelorm-catc-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }

    // Writes the table, runs the compiler on it; the exit code, and the
    // compiler's standard error in diagnostics.
    int Compile(const std::string& table, std::string& diagnostics) {
        std::ofstream(Table(), std::ios::binary | std::ios::trunc) << table;
        std::string command = std::string("'") + ZELORM_CATALOG_COMPILER + "' '" + Table() + "' '" +
                              Output() + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr)
            return -1;
        diagnostics.clear();
        char chunk[512];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) diagnostics.append(chunk, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Table() const { return m_Dir + "/table.txt"; }
    std::string Output() const { return m_Dir + "/catalog"; }

    std::string m_Dir;
};

const char kPrologue[] =
    "# test table\n"
    "header 2 9\n"
    "first 100\n"
    "count 4\n"
    "language en English eng\n"
    "language de German deu\n";

TEST_F(CatalogCompilerTest, WellFormedTableLoadsWithEscapesAndFallback) {
    std::string diagnostics;
    ASSERT_EQ(0, Compile(std::string(kPrologue) + "\n"
                                                  "   # indented comment\r\n"
                                                  "101 en Line one\\nline\\ttwo \\\\ %s\\s\r\n"
                                                  "102 en Only English\n"
                                                  "100 en Zero\n"
                                                  "100 de Null\n"
                                                  "103 de \\s\n"
                                                  "103 en #not a comment\n",
                         diagnostics))
        << diagnostics;
    EXPECT_EQ("", diagnostics);

    CVornMessageTable table;
    ASSERT_EQ(kCatalogLoaded, table.ReadFile(Output().c_str(), 2, 9, 4, 100));
    EXPECT_EQ(2, table.GetLanguageCount());
    EXPECT_STREQ("Line one\nline\ttwo \\ %s ", table.GetText(0, 101));
    EXPECT_STREQ("Only English", table.GetText(1, 102));  // falls back
    EXPECT_STREQ("Null", table.GetText(1, 100));
    EXPECT_STREQ(" ", table.GetText(1, 103));
    EXPECT_STREQ("#not a comment", table.GetText(0, 103));
    EXPECT_EQ(0, table.FindLanguage("ENG"));
    EXPECT_EQ(1, table.FindLanguage("de"));
    EXPECT_EQ(1, table.FindLanguageForLocale("de_DE.UTF-8"));
    EXPECT_EQ(0, table.FindLanguageForLocale("en_US.UTF-8"));
    EXPECT_EQ(nullptr, table.GetText(0, 104));
}

TEST_F(CatalogCompilerTest, LongestTextLoadsAndOneMoreIsRefused) {
    std::string diagnostics;
    ASSERT_EQ(
        0, Compile(std::string(kPrologue) + "100 en " + std::string(1023, 'x') + "\n", diagnostics))
        << diagnostics;
    CVornMessageTable table;
    ASSERT_EQ(kCatalogLoaded, table.ReadFile(Output().c_str(), 2, 9, 4, 100));
    EXPECT_EQ(1023u, std::string(table.GetText(0, 100)).size());

    EXPECT_EQ(1, Compile(std::string(kPrologue) + "100 en " + std::string(1022, 'x') + "\\n\\n\n",
                         diagnostics));
    EXPECT_NE(std::string::npos, diagnostics.find(":7: error: text is 1024 bytes long"))
        << diagnostics;
}

TEST_F(CatalogCompilerTest, MalformedTablesAreRefusedWithTheirLine) {
    const struct {
        const char* what;
        std::string table;
        const char* expected;  // part of the diagnostic, after "table.txt"
    } kCases[] = {
        {"unknown language", std::string(kPrologue) + "100 fr Zero\n",
         ":7: error: unknown language \"fr\""},
        {"number below the range", std::string(kPrologue) + "99 en x\n",
         ":7: error: number 99 lies outside 100 .. 103"},
        {"number past the range", std::string(kPrologue) + "104 en x\n", ":7: error: number 104"},
        {"number is not a number", std::string(kPrologue) + "1o0 en x\n",
         ":7: error: \"1o0\" is neither a directive nor a number"},
        {"text missing", std::string(kPrologue) + "100 en   \n", ":7: error: text missing"},
        {"language tag missing", std::string(kPrologue) + "100\n", ":7: error: language tag"},
        {"repeated text", std::string(kPrologue) + "100 en a\n100 en b\n",
         ":8: error: second text for 100 en (the first is on line 7)"},
        {"unknown escape", std::string(kPrologue) + "100 en a\\qb\n", ":7: error: unknown escape"},
        {"lone backslash", std::string(kPrologue) + "100 en ab\\\n", ":7: error: text ends in a"},
        {"trailing blank", std::string(kPrologue) + "100 en ab \n",
         ":7: error: text ends in white space"},
        {"raw control byte", std::string(kPrologue) + "100 en a\tb\n", ":7: error: control byte"},
        {"text only in another language", std::string(kPrologue) + "101 de nur deutsch\n",
         ":7: error: text in \"de\" for 101, which has no text in \"en\""},
        {"directive after a text", std::string(kPrologue) + "100 en a\nlanguage fr French\n",
         ":8: error: \"language\" after the first text"},
        {"directive twice", "header 2 9\nheader 2 9\n", ":2: error: \"header\" is given twice"},
        {"directive without its numbers", "header 2\n", ":1: error: \"header\" takes 2 numbers"},
        {"unknown directive", "headers 2 9\n", ":1: error: unknown directive \"headers\""},
        {"language declared twice", "language en a\nlanguage en b\n",
         ":2: error: language \"en\" is declared twice"},
        {"text before the directives", "header 2 9\nlanguage en English\n100 en x\n",
         ":3: error: \"header\", \"first\", \"count\""},
        {"directives missing", "header 2 9\nfirst 0\n", ":3: error: \"header\", \"first\""},
        {"negative count", "count -1\n", ":1: error: count must lie between"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(Output());
        std::string diagnostics;
        EXPECT_EQ(1, Compile(c.table, diagnostics));
        EXPECT_NE(std::string::npos, diagnostics.find(std::string("table.txt") + c.expected))
            << diagnostics;
        EXPECT_FALSE(std::filesystem::exists(Output()));
        EXPECT_FALSE(std::filesystem::exists(Output() + ".tmp"));
    }
}

TEST_F(CatalogCompilerTest, TooManyLanguagesAreRefused) {
    std::string table = "header 2 9\nfirst 0\ncount 1\n";
    for (int i = 0; i < 26; ++i) table += "language l" + std::to_string(i) + "\n";
    std::string diagnostics;
    EXPECT_EQ(1, Compile(table, diagnostics));
    EXPECT_NE(std::string::npos, diagnostics.find("table.txt:29: error: more than 25 languages"))
        << diagnostics;
}

}  // namespace
