#include "core/code_page.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/vorn_string.h"

namespace {

// Recorded while this file's static objects are built, before main.
int g_TypeSeenBeforeMain = -1;
struct TypeRecorder {
    TypeRecorder() { g_TypeSeenBeforeMain = g_CodePage.GetType(); }
} s_TypeRecorder;

std::string Bytes(const char* text) {
    return std::string(text);
}

// Sets ZELORM_CODEPAGE for a scope and puts the previous value back.
class ScopedCodePageVariable {
public:
    explicit ScopedCodePageVariable(const char* value) {
        if (const char* old = getenv("ZELORM_CODEPAGE"))
            m_Old = old;
        if (value) {
            setenv("ZELORM_CODEPAGE", value, 1);
        } else {
            unsetenv("ZELORM_CODEPAGE");
        }
    }
    ~ScopedCodePageVariable() {
        if (m_Old) {
            setenv("ZELORM_CODEPAGE", m_Old->c_str(), 1);
        } else {
            unsetenv("ZELORM_CODEPAGE");
        }
    }

private:
    std::optional<std::string> m_Old;
};

// Converts with a heap buffer of exactly outSize bytes, so that ASan sees any
// write past it.
struct Converted {
    int result;
    std::string text;
};
Converted ToJis(const std::string& sjis, size_t outSize) {
    std::unique_ptr<char[]> out(outSize ? new char[outSize] : nullptr);
    int result = CVornCodePage::SjisToIso2022jp(sjis.c_str(), out.get(), outSize);
    return {result, outSize ? std::string(out.get()) : std::string()};
}
std::string ToJis(const std::string& sjis) {
    Converted c = ToJis(sjis, CVornCodePage::SjisToIso2022jpMaxLength(sjis.size()) + 1);
    EXPECT_EQ(c.result, static_cast<int>(c.text.size()));
    return c.text;
}
std::optional<std::string> ToSjis(const std::string& jis, size_t outSize) {
    std::unique_ptr<char[]> out(outSize ? new char[outSize] : nullptr);
    bool complete = CVornCodePage::Iso2022jpToSjis(jis.c_str(), out.get(), outSize);
    std::string text = outSize ? std::string(out.get()) : std::string();
    if (!complete)
        return std::nullopt;
    return text;
}
std::string ToSjisText(const std::string& jis, size_t outSize) {
    std::unique_ptr<char[]> out(outSize ? new char[outSize] : nullptr);
    CVornCodePage::Iso2022jpToSjis(jis.c_str(), out.get(), outSize);
    return outSize ? std::string(out.get()) : std::string();
}
std::string ToSjis(const std::string& jis) {
    auto text = ToSjis(jis, jis.size() + 1);
    EXPECT_TRUE(text.has_value());
    return text.value_or("");
}

// ---- Choosing the code page

TEST(CodePageChoice, LocaleNamesMapExactlyAndCaseSensitively) {
    const struct {
        const char* name;
        int type;
    } cases[] = {
        {"Japanese_Japan.932", 2},
        {"ja", 2},
        {"ja_JP.PCK", 2},
        {"ja_JP.SJIS", 2},
        {"ja_JP.sjis", 2},
        {"ko", 4},
        {"zh", 5},
        {"zh_TW", 6},
        {"Korean_Korea.949", 0},
        {"JA", 0},
        {"ja_JP.eucJP", 0},
        {"ja_JP.UTF-8", 0},
        {"C.UTF-8", 0},
        {"POSIX", 0},
        {"", 0},
        {nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CVornCodePage::TypeFromLocaleName(c.name), c.type)
            << (c.name ? c.name : "(null)");
    }
}

TEST(CodePageChoice, EnvironmentVariableOverridesTheLocale) {
    const struct {
        const char* value;
        int type;
    } cases[] = {
        {nullptr, 0},  // the test environment runs under a UTF-8 or C locale
        {"2", 2},     {"1", 1}, {"6", 6},        {"ja_JP.SJIS", 2},
        {"zh_TW", 6}, {"3", 0}, {"Japanese", 0},
    };
    for (const auto& c : cases) {
        ScopedCodePageVariable variable(c.value);
        CVornCodePage codePage;
        EXPECT_EQ(codePage.GetType(), c.type) << (c.value ? c.value : "(unset)");
    }
}

TEST(CodePageChoice, StaticObjectsBuiltBeforeMainSeeTheChosenType) {
    const char* forced = getenv("ZELORM_CODEPAGE");
    if (forced && std::strcmp(forced, "2") == 0) {
        EXPECT_EQ(g_TypeSeenBeforeMain, 2);
        EXPECT_EQ(g_CodePage.GetType(), 2);
        return;
    }
    // Run this same test in a child whose code page is chosen as Shift-JIS.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string command =
        std::string("ZELORM_CODEPAGE=2 '") + self +
        "' --gtest_filter=CodePageChoice.StaticObjectsBuiltBeforeMainSeeTheChosenType"
        " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

// ---- Byte-length table and walkers

TEST(CodePageTable, ByteLengthsPerType) {
    const struct {
        int type;
        unsigned char byte;
        int length;
    } cases[] = {
        {0, 0x81, 1}, {0, 0xFF, 1}, {1, 0xA0, 1}, {1, 0xA1, 2}, {1, 0xFE, 2}, {1, 0xFF, 1},
        {1, 0x8E, 2}, {1, 0x8F, 3}, {1, 0x90, 1}, {2, 0x00, 1}, {2, 0x41, 1}, {2, 0x80, 1},
        {2, 0x81, 2}, {2, 0x9F, 2}, {2, 0xA0, 1}, {2, 0xA1, 1}, {2, 0xDF, 1}, {2, 0xE0, 2},
        {2, 0xFC, 2}, {2, 0xFD, 1}, {4, 0x7F, 1}, {4, 0x80, 2}, {4, 0xFF, 2}, {5, 0x80, 2},
        {5, 0x8E, 2}, {6, 0x8E, 4}, {6, 0x8F, 2}, {6, 0x7F, 1}, {3, 0x81, 1}, {7, 0xA1, 1},
    };
    for (const auto& c : cases) {
        CVornCodePage codePage(c.type);
        EXPECT_EQ(codePage.CharLength(c.byte), c.length)
            << "type " << c.type << " byte " << int(c.byte);
    }
    // Switching type refills the whole table, and unknown types keep their number.
    CVornCodePage codePage(6);
    codePage.SetType(2);
    EXPECT_EQ(codePage.CharLength(0x8E), 2);
    EXPECT_EQ(codePage.CharLength(0xFF), 1);
    codePage.SetType(7);
    EXPECT_EQ(codePage.GetType(), 7);
    EXPECT_FALSE(codePage.IsSingleByte());
    EXPECT_EQ(codePage.CharLength(0x81), 1);
    EXPECT_TRUE(CVornCodePage(0).IsSingleByte());
}

TEST(CodePageWalk, PrevCharFindsTheCharacterEndingAtPos) {
    CVornCodePage sjis(2);
    const char text[] = "a\x82\xA0z";
    EXPECT_EQ(sjis.PrevChar(text, text + 3), text + 1);  // whole two-byte character
    EXPECT_EQ(sjis.PrevChar(text, text + 2), nullptr);   // between its two bytes
    EXPECT_EQ(sjis.PrevChar(text, text + 1), text);
    EXPECT_EQ(sjis.PrevChar(text, text + 4), text + 3);
    EXPECT_EQ(sjis.PrevChar(text, text), text);
    EXPECT_EQ(sjis.PrevChar(text, nullptr), nullptr);
    EXPECT_EQ(sjis.PrevChar(text + 2, text), nullptr);
    EXPECT_EQ(CVornCodePage(0).PrevChar(text, text + 2), text + 1);
    // A NUL counts as a one-byte character; the walk goes on to pos.
    const char withNul[] = "a\0\x82\xA0";
    EXPECT_EQ(sjis.PrevChar(withNul, withNul + 4), withNul + 2);
}

TEST(CodePageWalk, FindAndCountNeverMatchTrailBytesOrPassTheNul) {
    CVornCodePage sjis(2);
    // 0x95 0x5C is one character whose trail byte equals a backslash.
    const char text[] = "\x95\\x\\\xA1\x82";
    EXPECT_EQ(sjis.FindChar(text, '\\'), text + 3);
    EXPECT_EQ(sjis.FindLastChar(text, '\\'), text + 3);
    EXPECT_EQ(sjis.FindChar(text, static_cast<char>(0xA1)), text + 4);  // half-width kana
    EXPECT_EQ(sjis.FindChar(text, 0x95), nullptr);  // a lead byte is no single-byte character
    EXPECT_EQ(sjis.FindChar(text, 0), nullptr);
    EXPECT_EQ(sjis.FindChar(nullptr, 'x'), nullptr);
    EXPECT_EQ(sjis.FindLastChar("", 'x'), nullptr);
    EXPECT_EQ(sjis.FindLastChar("abc", 'z'), nullptr);
    EXPECT_EQ(CVornCodePage(0).FindChar(text, '\\'), text + 1);

    const struct {
        int type;
        const char* text;
        int count;
    } counts[] = {
        {2, "a\x82\xA0\xB1", 3},
        {2, "a\x82", 2},
        {0, "a\x82\xA0", 3},
        {1, "\x8F\xA1\xA1x", 2},
        {6, "\x8E\xA1\xA1\xA1", 1},
        {6, "\x8E\xA1", 1},
        {2, "", 0},
    };
    for (const auto& c : counts) {
        EXPECT_EQ(CVornCodePage(c.type).CharCount(c.text), c.count) << c.text;
    }
    EXPECT_EQ(sjis.CharCount(nullptr), 0);
}

TEST(CodePageCase, FullWidthLatinLettersMapOnlyInTheirCodePage) {
    const struct {
        int type;
        const char* text;
        const char* upper;
        const char* lower;
    } cases[] = {
        {2, "ab\x82\x81", "AB\x82\x60", "ab\x82\x81"},
        {2, "\x82\x9A\x82\x79", "\x82\x79\x82\x79", "\x82\x9A\x82\x9A"},
        {2, "\x82\x80\x82\x9B\x82\x5F\x82\x7A", "\x82\x80\x82\x9B\x82\x5F\x82\x7A",
         "\x82\x80\x82\x9B\x82\x5F\x82\x7A"},
        {2, "\x83\x61z", "\x83\x61Z", "\x83\x61z"},  // trail byte 'a' is no letter
        {2, "a\x82", "A\x82", "a\x82"},              // lead cut off by the NUL
        {1, "\xA3\xE1\xA3\xC1", "\xA3\xC1\xA3\xC1", "\xA3\xE1\xA3\xE1"},
        {1, "\xA3\xFA\xA3\xDA", "\xA3\xDA\xA3\xDA", "\xA3\xFA\xA3\xFA"},
        {2, "\xA3\xE1", "\xA3\xE1", "\xA3\xE1"},  // EUC-JP letters mean nothing in Shift-JIS
        {0, "x\x82\x81", "X\x82\x81", "x\x82\x81"},
    };
    for (const auto& c : cases) {
        CVornCodePage codePage(c.type);
        std::string upper = c.text;
        std::string lower = c.text;
        EXPECT_EQ(codePage.ToUpper(upper.data()), upper.data());
        codePage.ToLower(lower.data());
        EXPECT_EQ(upper, Bytes(c.upper)) << c.type << " " << c.text;
        EXPECT_EQ(lower, Bytes(c.lower)) << c.type << " " << c.text;
    }
    EXPECT_EQ(CVornCodePage(2).ToUpper(nullptr), nullptr);

    unsigned char ch[2] = {0x82, 0x60};
    CVornCodePage(2).LowerChar(ch, 2);
    EXPECT_EQ(ch[1], 0x81);
    CVornCodePage(2).UpperChar(ch, 3);  // no rule for other lengths
    EXPECT_EQ(ch[1], 0x81);
}

// ---- Shift-JIS -> ISO-2022-JP

TEST(SjisToIso2022jp, ConvertsTextAndSwitchesModes) {
    const struct {
        const char* sjis;
        const char* jis;
    } cases[] = {
        {"", ""},
        {"hello, world", "hello, world"},
        {"\x82\xA0x", "\x1b$B\x24\x22\x1b(Jx"},
        {"ab\x82\xA0\r\n", "ab\x1b$B\x24\x22\x1b(J\r\n"},
        {"\x82\xA0\x82\xA2", "\x1b$B\x24\x22\x24\x24\x1b(J"},
        {"\x81\x40\x81\x80\x88\x9F\xE0\x40", "\x1b$B\x21\x21\x21\x60\x30\x21\x5F\x21\x1b(J"},
        // Half-width katakana, with and without the sound marks folded in.
        {"\xB6\xDE", "\x1b$B\x25\x2C\x1b(J"},
        {"\xCA\xDF", "\x1b$B\x25\x51\x1b(J"},
        {"\xB1\xDE", "\x1b$B\x25\x22\x21\x2B\x1b(J"},
        {"\xB3\xDE", "\x1b$B\x25\x74\x1b(J"},
        {"\xCE\xDF", "\x1b$B\x25\x5D\x1b(J"},
        {"\xB6\xDF", "\x1b$B\x25\x2B\x21\x2C\x1b(J"},
        {"\xA1\xB0\xDD\xDE", "\x1b$B\x21\x23\x21\x3C\x25\x73\x21\x2B\x1b(J"},
        // Bytes that are not Shift-JIS characters leave double-byte mode.
        {"\x82\xA0\x80\xA0\xF0", "\x1b$B\x24\x22\x1b(J\x80\xA0\xF0"},
        // A lead byte without a valid trail goes out raw; at the end too.
        {"\x82\x31", "\x82\x31"},
        {"a\x82", "a\x82"},
        // ... and a line break after it still returns to single-byte mode first.
        {"\x82\xA0\x82\r\n", "\x1b$B\x24\x22\x82\x1b(J\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToJis(c.sjis), Bytes(c.jis)) << c.sjis;
    }
}

TEST(SjisToIso2022jp, TooSmallBufferIsNeverOverrunAndEndsCleanly) {
    const std::string sjis =
        "ab\x82\xA0\x82\xA2\xB6\xDE"
        "cd\r\n\x88\x9F";
    const std::string full = ToJis(sjis);
    const std::string fullBack = ToSjis(full);
    for (size_t size = 0; size <= full.size() + 1; ++size) {
        Converted c = ToJis(sjis, size);
        if (size == full.size() + 1) {
            EXPECT_EQ(c.result, static_cast<int>(full.size()));
            continue;
        }
        EXPECT_EQ(c.result, -1) << size;
        if (size == 0)
            continue;
        // What was written is whole characters, back in single-byte mode.
        EXPECT_LT(c.text.size(), size);
        if (c.text.find('\x1b') != std::string::npos) {
            EXPECT_TRUE(CVornCodePage::IsIso2022jp(c.text.c_str())) << size;
        }
        std::string back = ToSjis(c.text);
        EXPECT_EQ(fullBack.compare(0, back.size(), back), 0) << size;
    }
}

TEST(SjisToIso2022jp, MaxLengthBoundsEveryInput) {
    EXPECT_EQ(CVornCodePage::SjisToIso2022jpMaxLength(0), 0u);
    EXPECT_EQ(CVornCodePage::SjisToIso2022jpMaxLength(-5), 0u);
    // The costliest inputs reach the bound.
    EXPECT_EQ(ToJis("\xB6").size(), CVornCodePage::SjisToIso2022jpMaxLength(1));
    EXPECT_EQ(ToJis("\xB6z\xB6").size(), CVornCodePage::SjisToIso2022jpMaxLength(3));
    // Every text of up to five bytes from the bytes that matter fits a buffer
    // sized by the bound (exactly sized, so ASan sees an overrun).
    const unsigned char alphabet[] = {'a', '\n', 0x82, 0xA0, 0xB6, 0xCA, 0xDE, 0xDF, 0x80};
    const int kinds = sizeof(alphabet);
    for (int length = 1; length <= 5; ++length) {
        int combinations = 1;
        for (int i = 0; i < length; ++i) combinations *= kinds;
        for (int n = 0; n < combinations; ++n) {
            std::string sjis;
            for (int i = 0, rest = n; i < length; ++i, rest /= kinds) {
                sjis += static_cast<char>(alphabet[rest % kinds]);
            }
            size_t bound = CVornCodePage::SjisToIso2022jpMaxLength(length);
            Converted c = ToJis(sjis, bound + 1);
            ASSERT_GE(c.result, 0) << n;
            ASSERT_LE(static_cast<size_t>(c.result), bound);
        }
    }
}

// ---- ISO-2022-JP -> Shift-JIS

TEST(Iso2022jpToSjis, ConvertsAndDropsEscapes) {
    const struct {
        const char* jis;
        const char* sjis;
    } cases[] = {
        {"", ""},
        {"plain text", "plain text"},
        {"\x1b$B\x24\x22\x1b(Bx", "\x82\xA0x"},
        {"\x1b$@\x30\x21\x5F\x21\x1b(J!", "\x88\x9F\xE0\x40!"},
        {"\x1bK\x21\x21\x1bH!", "\x81\x40!"},
        // A line break leaves double-byte mode.
        {"\x1b$B\x24\x22\r\nAB", "\x82\xA0\r\nAB"},
        // Cut off by the end of the text: nothing is made up.
        {"ab\x1b", "ab"},
        {"ab\x1b$", "ab"},
        {"\x1b$B\x24", ""},
        // Half a pair before a line break or escape is dropped, the rest kept.
        {"\x1b$B\x24\x22\x24\r\nx", "\x82\xA0\r\nx"},
        {"\x1b$B\x24\x1b(Bx", "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToSjis(c.jis), Bytes(c.sjis)) << c.jis;
    }
}

TEST(Iso2022jpToSjis, EveryShiftJisPairSurvivesTheRoundTrip) {
    for (int lead = 0x81; lead <= 0xEF; ++lead) {
        if (lead > 0x9F && lead < 0xE0)
            continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F)
                continue;
            const char pair[] = {static_cast<char>(lead), static_cast<char>(trail), 0};
            std::string jis = ToJis(pair);
            ASSERT_EQ(jis.size(), 8u);
            ASSERT_EQ(ToSjis(jis), Bytes(pair)) << lead << " " << trail;
        }
    }
}

TEST(Iso2022jpToSjis, MixedTextRoundTrips) {
    const std::string sjis =
        "Subject: \x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD world\r\n"
        "\x88\x9F\x88\xA0 123 \x83\x4B\x83\x70\r\n\r\nend";
    std::string jis = ToJis(sjis);
    EXPECT_TRUE(CVornCodePage::IsIso2022jp(jis.c_str()));
    EXPECT_EQ(ToSjis(jis), sjis);
    // Converting in place, as the readers of decoded header lines do.
    std::string inPlace = jis;
    EXPECT_TRUE(CVornCodePage::Iso2022jpToSjis(inPlace.data(), inPlace.data(), inPlace.size() + 1));
    EXPECT_STREQ(inPlace.c_str(), sjis.c_str());
    // Half-width katakana come back full-width.
    EXPECT_EQ(ToSjis(ToJis("\xB6\xDE\xCA\xDF")), Bytes("\x83\x4B\x83\x70"));
}

TEST(Iso2022jpToSjis, TooSmallBufferKeepsWholeCharacters) {
    const std::string jis = "a\x1b$B\x24\x22\x24\x24\x1b(Bbc";
    const std::string full = ToSjis(jis);  // "a" 82 A0 82 A2 "bc"
    // What a buffer of each size too small for the whole result receives.
    const std::vector<std::string> expected = {"",
                                               "",
                                               "a",
                                               "a",
                                               "a\x82\xA0",
                                               "a\x82\xA0",
                                               "a\x82\xA0\x82\xA2",
                                               "a\x82\xA0\x82\xA2"
                                               "b"};
    ASSERT_EQ(expected.size(), full.size() + 1);
    for (size_t size = 0; size < expected.size(); ++size) {
        EXPECT_FALSE(ToSjis(jis, size).has_value()) << size;
        EXPECT_EQ(ToSjisText(jis, size), expected[size]) << size;
    }
    EXPECT_EQ(ToSjis(jis, full.size() + 1), full);
}

// ---- ISO-2022-JP test

TEST(IsIso2022jp, NeedsADesignationAndAnEndInSingleByteMode) {
    const struct {
        const char* text;
        bool is;
    } cases[] = {
        {"\x1b$B\x24\x22\x1b(B", true},
        {"\x1b$B\x24\x22", false},
        {"plain ascii", false},
        {"", false},
        {"abc\x1b(J", true},
        {"\x1b$@\x24\x22\x1b(J tail", true},
        {"x(B", false},
        {"\x1b$B\x24\x22\x1b(B then (B", false},  // the last "(B" is not an escape
        {"\x1b$X \x1b$B\x24\x22\x1b(B", true},    // a wrong final byte restarts the search
        {"\x1bzz$B\x24\x22\x1b(B", true},         // bytes between ESC and "$" are passed over
        {"\x1b(Q", false},
        {"\x1b", false},
        {"\x1b$", false},
        {"(B\x1b$B", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CVornCodePage::IsIso2022jp(c.text), c.is) << c.text;
    }
    EXPECT_FALSE(CVornCodePage::IsIso2022jp(nullptr));
}

// ---- Base64

TEST(Base64, EncodesWithPaddingAndAnyLength) {
    const struct {
        std::string in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xFF\xFE\x00", 3), "//4A"},
        {"\xFB\xFF", "+/8="},
    };
    for (const auto& c : cases) {
        CVornString in(c.in.data(), static_cast<int>(c.in.size()));
        CVornString out("left over");
        Base64Encode(in, out);
        EXPECT_STREQ(out.CStr(), c.out) << c.in;
    }

    // Far beyond the 189 bytes of one header word.
    std::string longText(3000, 'a');
    CVornString in(longText.c_str());
    CVornString out;
    Base64Encode(in, out);
    std::string expected;
    for (int i = 0; i < 1000; ++i) expected += "YWFh";
    EXPECT_EQ(std::string(out.CStr()), expected);

    // The input may be the output.
    CVornString same("foo");
    Base64Encode(same, same);
    EXPECT_STREQ(same.CStr(), "Zm9v");
}

}  // namespace
