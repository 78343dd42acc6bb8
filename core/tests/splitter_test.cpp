#include "core/splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/code_page.h"

namespace {

typedef std::vector<std::string> Items;

CVornString Str(const std::string& s) {
    return CVornString(s.data(), static_cast<int>(s.size()));
}

Items ItemsOf(CVornSplitter& splitter) {
    Items items;
    CVornString item;
    for (int i = 0; i < splitter.Count(); ++i) {
        EXPECT_TRUE(splitter.GetAt(i, item));
        items.push_back(std::string(item.CStr(), item.Length()));
    }
    return items;
}

enum Mode { kPlain, kFields, kQuoted, kQuotedAngle };

bool SplitBy(CVornSplitter& splitter, Mode mode, const CVornString& text, const char* seps,
             int maxCount) {
    switch (mode) {
        case kPlain:
            return splitter.Split(text, seps, maxCount);
        case kFields:
            return splitter.SplitFields(text, seps, maxCount);
        case kQuoted:
            return splitter.SplitQuoted(text, seps, maxCount, false);
        case kQuotedAngle:
            return splitter.SplitQuoted(text, seps, maxCount, true);
    }
    return false;
}

bool SplitByChar(CVornSplitter& splitter, Mode mode, const CVornString& text, char sep,
                 int maxCount) {
    switch (mode) {
        case kPlain:
            return splitter.Split(text, sep, maxCount);
        case kFields:
            return splitter.SplitFields(text, sep, maxCount);
        case kQuoted:
            return splitter.SplitQuoted(text, sep, maxCount, false);
        case kQuotedAngle:
            return splitter.SplitQuoted(text, sep, maxCount, true);
    }
    return false;
}

struct Case {
    Mode mode;
    const char* text;
    const char* seps;
    int maxCount;
    bool result;
    Items items;
};

const Case kCases[] = {
    // Plain: separator runs count as one, no empty items.
    {kPlain, "", ",", 0, true, {}},
    {kPlain, "a,,b,", ",", 0, true, {"a", "b"}},
    {kPlain, ",,a", ",", 0, true, {"a"}},
    {kPlain, "a;b,c", ";,", 0, true, {"a", "b", "c"}},
    {kPlain, "a b c d", " ", 1, true, {"a", "b c d"}},
    {kPlain, "a b c d", " ", 2, true, {"a", "b", "c d"}},
    {kPlain, "a  b   c", " ", 1, true, {"a", "b   c"}},  // the rest starts after the run
    {kPlain, "a b", " ", 2, false, {"a", "b"}},
    {kPlain, "a b ", " ", 2, true, {"a", "b"}},
    {kPlain, "", " ", 1, false, {}},
    // Fields: every separator ends an item.
    {kFields, ",a,,b,", ",", 0, true, {"", "a", "", "b"}},
    {kFields, "a,b,c", ",", 1, true, {"a", "b,c"}},
    {kFields, ",,x", ",", 2, true, {"", "", "x"}},
    {kFields, "a,,b", ",", 1, true, {"a", ",b"}},  // the rest starts after one separator
    {kFields, "a,b", ",", 3, false, {"a", "b"}},
    {kFields, "", ",", 0, true, {}},
    // Quoted: quotes, nested parentheses and backslashes protect.
    {kQuoted, "a \"b c\" (d e) f", " ", 0, true, {"a", "\"b c\"", "(d e)", "f"}},
    {kQuoted, "a\\,b,c", ",", 0, true, {"a\\,b", "c"}},
    {kQuoted, "(a,(b,c),d),e", ",", 0, true, {"(a,(b,c),d)", "e"}},
    {kQuoted, "\"(\",x", ",", 0, true, {"\"(\"", "x"}},  // no depth inside quotes
    {kQuoted, "),a,b", ",", 0, true, {")", "a", "b"}},   // the depth never goes negative
    {kQuoted, "a \"b,c", ",", 0, true, {"a \"b,c"}},     // unbalanced: protects to the end
    {kQuoted, "x <y, z>, w", ",", 0, true, {"x <y", " z>", " w"}},
    {kQuoted, "a, \"b, c\", d", ", ", 1, true, {"a", "\"b, c\", d"}},
    {kQuoted, "a, b", ", ", 2, false, {"a", "b"}},
    {kQuoted, "a\\", ",", 0, true, {"a\\"}},
    // Quoted with angle brackets.
    {kQuotedAngle, "x <y, z>, w", ",", 0, true, {"x <y, z>", " w"}},
    {kQuotedAngle, "\"<\" x, y", ",", 0, true, {"\"<\" x", " y"}},
    {kQuotedAngle, "<a<b>,c>,d", ",", 0, true, {"<a<b>", "c>", "d"}},  // no nesting
    {kQuotedAngle, "<a,b", ",", 1, false, {"<a,b"}},
};

TEST(SplitterTest, ModesCutAsDocumented) {
    for (const Case& c : kCases) {
        CVornSplitter splitter;
        EXPECT_EQ(SplitBy(splitter, c.mode, CVornString(c.text), c.seps, c.maxCount), c.result)
            << c.mode << " '" << c.text << "' " << c.maxCount;
        EXPECT_EQ(ItemsOf(splitter), c.items) << c.mode << " '" << c.text << "' " << c.maxCount;
        if (c.seps[0] && !c.seps[1]) {
            CVornSplitter byChar;
            EXPECT_EQ(SplitByChar(byChar, c.mode, CVornString(c.text), c.seps[0], c.maxCount),
                      c.result)
                << c.text;
            EXPECT_EQ(ItemsOf(byChar), c.items) << c.text;
        }
    }
}

TEST(SplitterTest, StrictSplitConsumesOnlyAllowedItems) {
    struct StrictCase {
        const char* text;
        bool result;
        Items items;
    };
    const StrictCase cases[] = {
        {"1.2.3", true, {"1", "2", "3"}},
        {"1..2", false, {"1"}},
        {"1.2.", true, {"1", "2"}},
        {".1", false, {}},
        {"", true, {}},
        {"10.0.0.256", true, {"10", "0", "0", "256"}},
        {"10.0.0.x", false, {"10", "0", "0"}},
        {"1.2a", false, {"1", "2"}},
    };
    for (const StrictCase& c : cases) {
        CVornSplitter splitter;
        EXPECT_EQ(splitter.SplitStrict(CVornString(c.text), "0123456789", '.'), c.result) << c.text;
        EXPECT_EQ(ItemsOf(splitter), c.items) << c.text;
    }
}

TEST(SplitterTest, GetAtOutsideTheItemsLeavesTheTargetAlone) {
    CVornSplitter splitter;
    CVornString target("unchanged");
    EXPECT_FALSE(splitter.GetAt(0, target));
    splitter.SplitFields(CVornString("a,,c"), ',', 0);
    EXPECT_FALSE(splitter.GetAt(-1, target));
    EXPECT_FALSE(splitter.GetAt(3, target));
    EXPECT_EQ(std::string(target.CStr()), "unchanged");
    EXPECT_TRUE(splitter.GetAt(1, target));
    EXPECT_TRUE(target.IsEmpty());

    // Items read in any order, repeatedly, and after a new split.
    EXPECT_TRUE(splitter.GetAt(2, target));
    EXPECT_EQ(std::string(target.CStr()), "c");
    EXPECT_TRUE(splitter.GetAt(0, target));
    EXPECT_EQ(std::string(target.CStr()), "a");
    EXPECT_TRUE(splitter.GetAt(0, target));
    EXPECT_EQ(std::string(target.CStr()), "a");
    splitter.Split(CVornString("x y"), ' ', 0);
    EXPECT_FALSE(splitter.GetAt(2, target));
    EXPECT_EQ(ItemsOf(splitter), (Items{"x", "y"}));
}

TEST(SplitterTest, NullSetsAndNulSeparators) {
    CVornSplitter splitter;
    splitter.Split(CVornString("a b"), ' ', 0);
    EXPECT_FALSE(splitter.Split(CVornString("a b"), static_cast<const char*>(nullptr), 0));
    EXPECT_EQ(splitter.Count(), 0);
    EXPECT_FALSE(splitter.SplitFields(CVornString("a"), static_cast<const char*>(nullptr), 0));
    EXPECT_FALSE(
        splitter.SplitQuoted(CVornString("a"), static_cast<const char*>(nullptr), 0, false));
    EXPECT_FALSE(splitter.SplitStrict(CVornString("1"), nullptr, '.'));
    EXPECT_EQ(splitter.Count(), 0);

    // Binary text: the char overload splits at NUL bytes.
    EXPECT_TRUE(splitter.SplitFields(Str(std::string("a\0\0b", 4)), '\0', 0));
    EXPECT_EQ(ItemsOf(splitter), (Items{"a", "", "b"}));
}

// Restores the process code page after a test that changes it.
class ShiftJisSplitterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Saved = g_CodePage.GetType();
        g_CodePage.SetType(2);
    }
    void TearDown() override { g_CodePage.SetType(m_Saved); }
    int m_Saved = 0;
};

TEST_F(ShiftJisSplitterTest, TrailBytesNeverSeparate) {
    // 0x83 0x5C and 0x83 0x7C are double-byte characters whose trail bytes
    // equal "\" and "|".
    const std::string so = "\x83\x5C";
    const std::string bar = "\x83\x7C";
    struct JisCase {
        Mode mode;
        std::string text;
        Items items;
    };
    const JisCase cases[] = {
        {kPlain, so + "|" + bar, {so, bar}},
        {kFields, bar + "|" + "|" + so, {bar, "", so}},
        {kQuoted, bar + "|a", {bar, "a"}},
        // The character after a backslash is passed over whole.
        {kQuoted, "a\\" + bar + "|b", {"a\\" + bar, "b"}},
        // A lead byte cut off at the end of the text stays in the last item.
        {kPlain, "a|\x83", {"a", "\x83"}},
    };
    for (const JisCase& c : cases) {
        CVornSplitter splitter;
        SplitBy(splitter, c.mode, Str(c.text), "|\\", 0);
        EXPECT_EQ(ItemsOf(splitter), c.items) << c.mode << " " << c.text;
    }

    CVornSplitter strict;
    EXPECT_FALSE(strict.SplitStrict(Str("1." + so), "0123456789\\", '.'));
    EXPECT_EQ(ItemsOf(strict), (Items{"1"}));
}

}  // namespace
