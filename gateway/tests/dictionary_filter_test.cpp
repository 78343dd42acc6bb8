#include "gateway/dictionary_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/tests/support/vorn_helpers.h"
#include "platform/clock.h"

namespace {

using testsupport::ReadWhole;
using testsupport::WriteWhole;

const char kSep = '\x1C';

// The bytes of text with the two 4-bit halves of each exchanged, as the
// base file stores its entry lines.
std::string Swapped(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        unsigned char b = static_cast<unsigned char>(c);
        c = static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
    }
    return out;
}

struct Scored {
    int result;
    int score;
    std::string text;  // the scored text afterwards
    std::string report;
};

class DictionaryFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(
            0, testsupport::LoadBaseCatalog(m_Temp.Path("messages"),
                                            testsupport::NumberedCatalog(900, {{24, " %d"},
                                                                               {26, " %s %d"},
                                                                               {27, " %s %c"},
                                                                               {30, " %s"},
                                                                               {93, " %s %d"},
                                                                               {107, " %s %d"},
                                                                               {108, " %s %s %d"}}),
                                            900));
        SetClock(1704276000);
    }

    void TearDown() override {
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    void SetClock(time_t t) {
        m_Now = t;
        platform::SetTestTime(t);
    }
    // Past the interval of the file check.
    void Advance(time_t seconds = 11) { SetClock(m_Now + seconds); }

    void WriteBase(const std::vector<std::string>& lines, const std::string& path = "") {
        std::string bytes = "# 2 1.0 Wed, 03 Jan 2024 10:00:00 +0000\n";
        for (const std::string& line : lines) bytes += Swapped(line + "\r\n");
        WriteWhole(path.empty() ? m_Base : path, bytes);
    }
    void WriteLocal(const std::vector<std::string>& lines) {
        std::string bytes = "# 2 1.0 Wed, 03 Jan 2024 10:00:00 +0000\r\n";
        for (const std::string& line : lines) bytes += line + "\r\n";
        WriteWhole(m_Local, bytes);
    }

    // Scores a copy of text held in a buffer of exactly its length (no NUL
    // after it), so a read past the length is caught.
    Scored Score(CDictionaryFilter& filter, const std::string& text, const std::string& dicts,
                 int mode = 3, int length = -1) {
        std::vector<char> buffer(text.begin(), text.end());
        CVornString report;
        Scored out{};
        out.result =
            filter.ScoreText(buffer.data(), length < 0 ? static_cast<int>(buffer.size()) : length,
                             mode, dicts.c_str(), out.score, report);
        out.text.assign(buffer.begin(), buffer.end());
        out.report = testsupport::Text(report);
        return out;
    }

    std::vector<std::string> Events() {
        std::vector<std::string> out = testsupport::ReadEvents(m_Temp.Path("events"));
        std::filesystem::remove(m_Temp.Path("events"));
        return out;
    }

    testsupport::TempDir m_Temp{"zelorm-dict"};
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Temp.Path("events")};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    testsupport::ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Temp.Path("registry.reg")};
    std::string m_Base = m_Temp.Path("base.dic");
    std::string m_Local = m_Temp.Path("local.dic");
    time_t m_Now = 0;
};

TEST_F(DictionaryFilterTest, ScoresWordsAndPhrasesOfTheChosenDictionaries) {
    WriteBase({"viagra:N:spam:english:10:-4", "cheap:N:spam:english:3:0",
               "free money:N:spam:english:20:0", "free mon:N:spam:english:40:0",
               "hello:N:other:english:100:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    const std::string spam = "spam";
    struct Case {
        const char* text;
        std::string dicts;
        int score;
    } cases[] = {
        // 10 with a secondary of -4: 10 + (-4 / 3).
        {"viagra", spam, 9},
        {"Buy VIAGRA!", spam, 9},
        {"hello", spam, 0},
        {"hello", "other", 100},
        // A dictionary counts by its whole name, without regard to case.
        {"viagra", "antispam", 0},
        {"viagra", std::string("other") + kSep + "SPAM", 9},
        // The phrase's own entry counts where it stands as whole words.
        {"free money", spam, 20},
        {"free mon", spam, 40},
        {"get free money cheap", spam, 23},
        {"money free", spam, 0},
        {"free big money", spam, 0},
        // One unknown word between known ones stays in the phrase...
        {"viagra x viagra", spam, 7},
        // ...two end it: two phrases of 10 / -4 each.
        {"viagra x y viagra", spam, 18},
        {"", spam, 0},
    };
    for (const Case& c : cases) {
        Scored s = Score(filter, c.text, c.dicts);
        EXPECT_EQ(0, s.result) << c.text;
        EXPECT_EQ(c.score, s.score) << c.text << " / " << c.dicts;
    }

    // The weights of the modes; below 3 the secondary score does not count.
    const int byMode[][2] = {{1, 5}, {2, 6}, {3, 9}, {4, 15}, {5, 20}, {9, 9}};
    for (const auto& m : byMode) EXPECT_EQ(m[1], Score(filter, "viagra", spam, m[0]).score) << m[0];
}

TEST_F(DictionaryFilterTest, ReplacesMatchesWithinTheLengthOnly) {
    WriteBase({"viagra:R:spam:english:1:0", "bad words:R:spam:english:5:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    // A replacing word is overwritten whatever the dictionaries; a phrase
    // only when its entry counts, from its first word to its last known one.
    EXPECT_EQ("say --------- now", Score(filter, "say bad words now", "spam").text);
    EXPECT_EQ("say bad words now", Score(filter, "say bad words now", "other").text);
    EXPECT_EQ("------ viagra", Score(filter, "viagra viagra", "", 3, 6).text);
    EXPECT_EQ(0, Score(filter, "viagra", "spam", 3, 0).score);
}

TEST_F(DictionaryFilterTest, LongWordsAreCutAfter4095Bytes) {
    const std::string head(4095, 'a');
    const std::string tail(904, 'a');
    WriteBase({head + ":N:d:english:1:0", tail + ":R:d:english:1:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    // 5000 letters: a word of the first 4095, one letter passed over, a word
    // of the last 904.
    Scored s = Score(filter, std::string(5000, 'a'), "d");
    EXPECT_EQ(head + "a" + std::string(904, '-'), s.text);
}

TEST_F(DictionaryFilterTest, DoubleByteCharactersNeitherJoinNorEndWords) {
    testsupport::CodePageGuard shiftJis(2);
    WriteBase({"viagra:N:spam:english:10:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    EXPECT_EQ(10, Score(filter, "via\x82\xA0gra", "spam").score);
    // A lead byte at the very end is passed over without reading past it.
    EXPECT_EQ(10, Score(filter, "viagra \x82", "spam").score);
}

TEST_F(DictionaryFilterTest, ReportNamesEveryPhraseThatScored) {
    WriteBase({"viagra:N:spam:english:10:-4", "cheap:N:spam:english:3:0"});
    {
        CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
        // The unknown word that ended the phrase is dropped; at the end of
        // the text it stays.
        EXPECT_EQ("M818: viagra\r\nM818: cheap x\r\n",
                  Score(filter, "viagra x y nothing cheap x", "spam").report);
        EXPECT_EQ("", Score(filter, "viagra", "other").report);
    }
    WriteWhole(m_Temp.Path("registry.reg"),
               "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM]\r\n\"didactict\"=\"1\"\r\n");
    CDictionaryFilter verbose(m_Base.c_str(), m_Local.c_str());
    EXPECT_EQ("M818: viagra (10)\r\n", Score(verbose, "viagra", "spam").report);
}

// The report becomes a recipient's status text: a message of nothing but
// scoring words must not make it grow with the message.
TEST_F(DictionaryFilterTest, ReportStopsAtItsBoundAndSaysItWasCut) {
    WriteBase({"viagra:N:spam:english:10:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    // Two unknown words end a phrase: one report line per "viagra".
    std::string text;
    while (text.size() < 65536) text += "viagra x y ";
    std::vector<char> buffer(text.begin(), text.end());
    const int length = static_cast<int>(buffer.size());
    const std::string line = "M818: viagra\r\n", cut = "M818: ...\r\n";

    // One report for the pieces of a message, as the content filter passes it.
    CVornString report;
    int score = 0, second = 0;
    ASSERT_EQ(0, filter.ScoreText(buffer.data(), length, 3, "spam", score, report));
    const std::string once = testsupport::Text(report);
    ASSERT_EQ(0, filter.ScoreText(buffer.data(), length, 3, "spam", second, report));
    EXPECT_EQ(once, testsupport::Text(report));
    // Scoring goes on past the report's end.
    EXPECT_GT(second, 0);

    ASSERT_LE(once.size(), static_cast<size_t>(CDictionaryFilter::kMaxReportLength));
    ASSERT_GT(once.size(), cut.size());
    const size_t lines = (once.size() - cut.size()) / line.size();
    std::string expected;
    for (size_t i = 0; i < lines; ++i) expected += line;
    EXPECT_EQ(expected + cut, once);
    // Cut only where another line and the cut line would not fit.
    EXPECT_GT(once.size() + line.size(), static_cast<size_t>(CDictionaryFilter::kMaxReportLength));
}

TEST_F(DictionaryFilterTest, MalformedFilesFailTheLoadAndAreReported) {
    const std::string good = "viagra:N:spam:english:10:0";
    struct Case {
        const char* name;
        std::string header;  // of the base file; the default when empty
        std::vector<std::string> base;
        std::vector<std::string> local;  // no local file when empty
        int result;
        std::vector<std::string> events;
    } cases[] = {
        {"good", "", {good}, {}, 0, {}},
        {"line without colon skipped", "", {"junk", good}, {}, 0, {"1:M26 " + m_Base + " 1"}},
        {"wrong format number",
         "# 3 1.0\n",
         {good},
         {},
         1,
         {"1:M26 " + m_Base + " 0", "1:M27 " + m_Base + " 3"}},
        {"no header", "\n", {good}, {}, 1, {"1:M26 " + m_Base + " 0"}},
        {"two flag letters",
         "",
         {good, "x:RR:spam:english:1:1"},
         {},
         1,
         {"1:M26 " + m_Base + " 2"}},
        {"no flag letter", "", {"x::spam:english:1:1"}, {}, 1, {"1:M26 " + m_Base + " 1"}},
        {"first number of 7 characters",
         "",
         {"x:N:spam:english:1234567:1"},
         {},
         1,
         {"1:M26 " + m_Base + " 1"}},
        {"letter in second number",
         "",
         {"x:N:spam:english:1:1a"},
         {},
         1,
         {"1:M26 " + m_Base + " 1"}},
        {"colon in second number",
         "",
         {"x:N:spam:english:1:1:2"},
         {},
         1,
         {"1:M26 " + m_Base + " 1"}},
        {"four fields", "", {"x:N:spam:english:1"}, {}, 1, {"1:M26 " + m_Base + " 1"}},
        {"overlong line",
         "",
         {"x:N:spam:english:1:" + std::string(9000, '1')},
         {},
         1,
         {"1:M26 " + m_Base + " 1"}},
        {"bad local line", "", {good}, {good, "x:N:d:e"}, 1, {"1:M26 " + m_Local + " 2"}},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(m_Local);
        if (c.header.empty()) {
            WriteBase(c.base);
        } else {
            std::string bytes = c.header;
            for (const std::string& line : c.base) bytes += Swapped(line + "\n");
            WriteWhole(m_Base, bytes);
        }
        if (!c.local.empty())
            WriteLocal(c.local);
        Events();
        CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
        Scored s = Score(filter, "viagra", "spam");
        EXPECT_EQ(c.result, s.result) << c.name;
        EXPECT_EQ(c.result == 0 ? 10 : 0, s.score) << c.name;
        EXPECT_EQ(c.events, Events()) << c.name;
    }

    // A missing base file fails; nothing is scored.
    std::filesystem::remove(m_Base);
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    EXPECT_EQ(1, Score(filter, "viagra", "spam").result);
    EXPECT_EQ(1, filter.reload(true));
}

TEST_F(DictionaryFilterTest, ChangedFilesAreReadAfterTheCheckInterval) {
    WriteBase({"viagra:N:spam:english:10:0"});
    WriteLocal({"cheap:N:spam:english:3:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    EXPECT_EQ(3, Score(filter, "cheap", "spam").score);

    WriteLocal({"cheap:N:spam:english:30:0"});
    Advance(5);
    EXPECT_EQ(3, Score(filter, "cheap", "spam").score);
    Advance(6);
    EXPECT_EQ(30, Score(filter, "cheap", "spam").score);

    // A file that went away leaves what was read.
    std::filesystem::remove(m_Local);
    Advance();
    EXPECT_EQ(30, Score(filter, "cheap", "spam").score);
}

TEST_F(DictionaryFilterTest, BrokenBaseFileIsReplacedByItsOldCopy) {
    WriteBase({"viagra:N:spam:english:10:0"}, m_Base + "_old");
    WriteWhole(m_Base, "# 3 1.0\n");
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    EXPECT_EQ(10, Score(filter, "viagra", "spam").score);
    EXPECT_FALSE(std::filesystem::exists(m_Base + "_old"));

    // A fault of the local file keeps the base file as it is.
    const std::string base = ReadWhole(m_Base);
    WriteBase({"viagra:N:spam:english:1:0"}, m_Base + "_old");
    WriteLocal({"x:N:d"});
    EXPECT_EQ(1, filter.reload(true));
    EXPECT_EQ(base, ReadWhole(m_Base));
    EXPECT_TRUE(std::filesystem::exists(m_Base + "_old"));
}

TEST_F(DictionaryFilterTest, DeleteDictionaryRewritesTheLocalFile) {
    WriteBase({"viagra:N:spam:english:10:0"});
    const std::string before =
        "# 2 1.0 Wed, 03 Jan 2024 10:00:00 +0000\r\n"
        "cheap:R:Spam:english:3:-1\n"
        "free money:N:SPAM:english:+20:0\n"
        "keep:N:spam2:english:-5:0\n";
    WriteWhole(m_Local, before);
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    ASSERT_EQ(3, Score(filter, "cheap", "spam").score);

    EXPECT_EQ(1, filter.DeleteWord("absent"));
    EXPECT_EQ(0, filter.DeleteDictionary("spam"));
    EXPECT_EQ("# 2 1.0 Wed, 03 Jan 2024 10:00:00 +0000\r\nkeep:N:spam2:english:-5:0\r\n",
              ReadWhole(m_Local));
    EXPECT_EQ(before, ReadWhole(m_Local + "_old"));
    EXPECT_FALSE(std::filesystem::exists(m_Local + "_new"));
    // Scoring keeps the entries until the changed file is read again.
    EXPECT_EQ(3, Score(filter, "cheap", "spam").score);
    Advance();
    EXPECT_EQ(0, Score(filter, "cheap", "spam").score);
    EXPECT_EQ(10, Score(filter, "viagra", "spam").score);
    EXPECT_EQ(0, filter.DeleteWord("keep"));
    EXPECT_EQ(1, filter.DeleteWord("keep"));
}

TEST_F(DictionaryFilterTest, DeleteDictionaryKeepsAnotherWritersChange) {
    WriteBase({"viagra:N:spam:english:10:0"});
    WriteLocal({"one:N:a:english:1:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    ASSERT_EQ(0, filter.reload(true));
    // Written by someone else within the check interval.
    WriteLocal({"one:N:a:english:1:0", "two:N:b:english:2:0"});
    EXPECT_EQ(0, filter.DeleteDictionary("a"));
    EXPECT_NE(std::string::npos, ReadWhole(m_Local).find("two:N:b:english:2:0\r\n"));
    EXPECT_EQ(std::string::npos, ReadWhole(m_Local).find("one:"));
}

TEST_F(DictionaryFilterTest, SavingAfterAFailedLoadIsRefused) {
    WriteWhole(m_Base, "# 2 1.0\n" + Swapped("x:N:d:english:1\n"));
    WriteLocal({"one:N:a:english:1:0"});
    const std::string local = ReadWhole(m_Local);
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    EXPECT_EQ(1, filter.reload(true));
    Events();
    EXPECT_EQ(1, filter.save());
    EXPECT_EQ(1, filter.DeleteDictionary("a"));
    EXPECT_EQ((std::vector<std::string>{"1:M30 " + m_Local + "_new", "1:M30 " + m_Local + "_new"}),
              Events());
    EXPECT_EQ(local, ReadWhole(m_Local));
    EXPECT_FALSE(std::filesystem::exists(m_Local + "_new"));
}

TEST_F(DictionaryFilterTest, WithoutALocalFileThereIsNothingToSave) {
    WriteBase({"viagra:N:spam:english:10:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    EXPECT_EQ(0, filter.DeleteDictionary("spam"));
    EXPECT_EQ(0, filter.save());
    EXPECT_FALSE(std::filesystem::exists(m_Local));
    EXPECT_FALSE(std::filesystem::exists(m_Local + "_new"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(DictionaryFilterTest, ScoringRunsBesideReloadsAndDeletions) {
    WriteBase({"viagra:N:spam:english:10:0", "free money:N:spam:english:20:0"});
    WriteLocal({"cheap:N:spam:english:3:0"});
    CDictionaryFilter filter(m_Base.c_str(), m_Local.c_str());
    std::atomic<bool> wrong{false};
    std::vector<std::thread> scorers;
    for (int t = 0; t < 3; ++t) {
        scorers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                std::string text = "free money viagra";
                CVornString report;
                int score = 0;
                if (filter.ScoreText(text.data(), static_cast<int>(text.size()), 3, "spam", score,
                                     report) == 0 &&
                    score != 30)
                    wrong = true;
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(0, filter.reload(true));
        filter.DeleteDictionary("none-such");
    }
    for (std::thread& t : scorers) t.join();
    EXPECT_FALSE(wrong);
}

}  // namespace
