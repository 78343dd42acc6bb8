// Tests of CVornString: capacity rule, compare modes, character stepping in
// double-byte code pages, the rewriting operations, the binary readers, the
// refusal of bad positions and sizes, and the two-string lock order.
#include "core/vorn_string.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/code_page.h"
#include "core/tests/support/vorn_helpers.h"

namespace {

// Every test runs under a known code page and gives the process-wide one back.
class VornStringTest : public ::testing::Test {
protected:
    testsupport::CodePageGuard m_CodePage{0};
};

// Shift-JIS bytes used below.
const char kWideSmallA[] = "\x82\x81";    // full-width a
const char kWideCapitalA[] = "\x82\x60";  // full-width A
const char kHyou[] = "\x95\x5C";          // a kanji whose trail byte is '\'

CVornString Bytes(const std::string& bytes) {
    return CVornString(bytes.data(), static_cast<int>(bytes.size()));
}

std::string Text(const CVornString& s) {
    std::string out;
    for (int i = 0; i < s.Length(); ++i) out += s.CharAt(i);
    return out;
}

// ---------------------------------------------------------------- capacity rule

TEST_F(VornStringTest, ConstructorsAllocateLengthPlus32) {
    CVornString none(static_cast<const char*>(nullptr));
    EXPECT_EQ(none.Capacity(), 0);
    EXPECT_TRUE(none.IsEmpty());

    CVornString text("abc");
    EXPECT_EQ(text.Capacity(), 35);
    CVornString empty("");
    EXPECT_EQ(empty.Capacity(), 32);
    CVornString emptySource;
    CVornString copyOfEmpty(emptySource);
    EXPECT_EQ(copyOfEmpty.Capacity(), 32);
    CVornString copy(text);
    EXPECT_EQ(copy.Capacity(), 35);
    EXPECT_EQ(Text(copy), "abc");
    CVornString bytes("a\0b", 3);
    EXPECT_EQ(bytes.Capacity(), 35);
    EXPECT_EQ(bytes.Length(), 3);
    CVornString negative("abc", -1);
    EXPECT_EQ(negative.Capacity(), 0);
}

TEST_F(VornStringTest, CStrOnStringWithoutStorageGivesEmptyTextAnd32Bytes) {
    CVornString s(static_cast<const char*>(nullptr));
    const char* c = s.CStr();
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "");
    EXPECT_EQ(s.Capacity(), 32);
}

TEST_F(VornStringTest, GrowthAddsExactly32WhenFewerThan3SpareBytes) {
    CVornString s;
    int reallocations = 0;
    for (int i = 0; i < 200; ++i) {
        int before = s.Capacity();
        int need = s.Length() + 1;
        s.Append('x');
        if (before >= need + 3) {
            EXPECT_EQ(s.Capacity(), before) << "at length " << need;
        } else {
            EXPECT_EQ(s.Capacity(), need + 32) << "at length " << need;
            ++reallocations;
        }
    }
    // Byte by byte the block is renewed about once every 29 bytes.
    EXPECT_EQ(reallocations, 7);

    CVornString r("abc");
    r.Reserve(31);  // 35 >= 31 + 3: stays
    EXPECT_EQ(r.Capacity(), 35);
    r.Reserve(33);
    EXPECT_EQ(r.Capacity(), 65);
    EXPECT_EQ(Text(r), "abc");
    r.Reserve(-4);
    EXPECT_EQ(r.Capacity(), 65);

    CVornString number;
    number.AssignInt(-17);  // reserves 41 bytes
    EXPECT_EQ(number.Capacity(), 73);
    EXPECT_EQ(Text(number), "-17");
}

TEST_F(VornStringTest, ShorteningKeepsTheBlock) {
    CVornString s("line one\r\n");
    char* block = s.CStr();
    int capacity = s.Capacity();
    s.TrimRight(nullptr);
    s.KeepRight(3);
    s.KeepLeft(2);
    EXPECT_EQ(Text(s), "on");
    s.Clear();
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.Capacity(), capacity);
    EXPECT_EQ(s.CStr(), block);
}

TEST_F(VornStringTest, AssignOfNullOrNoBytesFreesTheStorage) {
    CVornString s("abc");
    s.Assign(static_cast<const char*>(nullptr));
    EXPECT_EQ(s.Length(), 0);
    EXPECT_EQ(s.Capacity(), 0);
    s.Append('x');
    EXPECT_EQ(Text(s), "x");

    s.Assign("abc", 0);
    EXPECT_EQ(s.Capacity(), 0);
    s.Assign("abc");
    s.Assign(CVornString{});
    EXPECT_EQ(s.Capacity(), 0);
    s.Assign("abc");
    s.Assign("");  // an empty text empties but keeps the block
    EXPECT_EQ(s.Length(), 0);
    EXPECT_EQ(s.Capacity(), 35);
}

// ---------------------------------------------------------------- access

TEST_F(VornStringTest, AccessOutsideTheTextGivesZero) {
    CVornString s("abc");
    EXPECT_EQ(s.CharAt(-1), 0);
    EXPECT_EQ(s.CharAt(3), 0);
    EXPECT_EQ(s.CharAt(INT_MIN), 0);
    EXPECT_EQ(s.NextCharPos(-1), 0);
    EXPECT_EQ(s.NextCharPos(3), 0);
    EXPECT_EQ(s.NextCharPos(1), 2);

    CVornString k("abcdef");
    k.KeepRight(2);
    EXPECT_EQ(Text(k), "ef");
    k.KeepRight(10);
    EXPECT_EQ(Text(k), "ef");
    k.KeepLeft(-5);
    EXPECT_EQ(Text(k), "");
    CVornString r("abc");
    r.KeepRight(-1);
    EXPECT_EQ(Text(r), "");
}

TEST_F(VornStringTest, BinaryDataWithNulPassesThrough) {
    CVornString s("a\0b", 3);
    s.Append("\0c", 2);
    EXPECT_EQ(Text(s), std::string("a\0b\0c", 5));
    EXPECT_STREQ(s.CStr(), "a");
    char* dup = s.Duplicate();
    EXPECT_STREQ(dup, "a");
    delete[] dup;
    s.ReplaceChar(0, '.');
    EXPECT_EQ(Text(s), "a.b.c");
}

// ---------------------------------------------------------------- comparison and search

TEST_F(VornStringTest, CompareAndEqualsUnderEachMode) {
    struct Case {
        const char* a;
        const char* b;
        int mode;
        int compare;
    };
    const Case cases[] = {
        {"ABCD", "abc", 0, 1},    {"ab", "abc", 0, -1}, {"abc", "ABC", 0, 0}, {"abc", "ABC", 1, 1},
        {"abc", "ABC", 2, 0},     {"abc", "ABC", 3, 1}, {"a", "z", 3, -1},    {"z", "a", 2, 1},
        {"abc", "ABC", 7, 1},     {"", "", 1, 0},       {"a", "", 1, 1},      {"", "a", 0, -1},
        {"a\xE9", "a\x41", 1, 1},  // bytes compare unsigned
    };
    for (const Case& c : cases) {
        CVornString a(c.a);
        CVornString b(c.b);
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b + " mode " + std::to_string(c.mode));
        EXPECT_EQ(a.Compare(c.b, c.mode), c.compare);
        EXPECT_EQ(a.Compare(b, c.mode), c.compare);
        EXPECT_EQ(a.Equals(c.b, c.mode), c.compare == 0);
        EXPECT_EQ(a.Equals(b, c.mode), c.compare == 0);
    }
    CVornString s("x");
    CVornString empty;
    EXPECT_EQ(s.Compare(static_cast<const char*>(nullptr), 0), 1);
    EXPECT_EQ(empty.Compare(static_cast<const char*>(nullptr), 0), 0);
    EXPECT_TRUE(empty.Equals(static_cast<const char*>(nullptr), 1));
    EXPECT_FALSE(s.Equals(static_cast<const char*>(nullptr), 1));
    EXPECT_TRUE(s.Equals(s, 1));
    EXPECT_EQ(s.Compare(s, 3), 0);
}

TEST_F(VornStringTest, StartsWithAndPrefixes) {
    CVornString s("Hello");
    EXPECT_TRUE(s.StartsWith("he", 0));
    EXPECT_FALSE(s.StartsWith("he", 1));
    EXPECT_FALSE(s.StartsWith("Hello!", 1));
    EXPECT_TRUE(s.StartsWith('h', 2));
    EXPECT_TRUE(s.StartsWith(s, 1));
    EXPECT_FALSE(s.StartsWith(static_cast<const char*>(nullptr), 1));
    EXPECT_FALSE(CVornString().StartsWith('a', 1));
    EXPECT_TRUE(s.StartsWithOneOf("xH"));
    EXPECT_FALSE(s.StartsWithOneOf("h"));
    EXPECT_FALSE(CVornString().StartsWithOneOf("a"));

    CVornString subject("RE: hello");
    EXPECT_TRUE(subject.RemovePrefix("re:", 0));
    EXPECT_EQ(Text(subject), " hello");
    EXPECT_FALSE(subject.RemovePrefix("x", 1));
    EXPECT_EQ(Text(subject), " hello");
    EXPECT_FALSE(subject.RemovePrefix(static_cast<const char*>(nullptr), 1));
    EXPECT_TRUE(subject.RemovePrefix(' ', 1));
    EXPECT_EQ(Text(subject), "hello");

    CVornString reply("RE: x");
    reply.AddPrefix("re:", 0);
    EXPECT_EQ(Text(reply), "RE: x");
    reply.AddPrefix("Fwd: ", 1);
    EXPECT_EQ(Text(reply), "Fwd: RE: x");
    CVornString shortOne("r");
    shortOne.AddPrefix("re", 0);  // shorter than the text: does not start with it
    EXPECT_EQ(Text(shortOne), "rer");
    CVornString path("dir");
    path.AddPrefix('/', 1);
    path.AddPrefix('/', 1);
    EXPECT_EQ(Text(path), "/dir");
}

TEST_F(VornStringTest, FindAndContains) {
    struct Case {
        const char* hay;
        const char* needle;
        int mode;
        int find;
        bool contains;
    };
    const Case cases[] = {
        {"abcb", "b", 3, 1, true},     {"abcb", "cb", 1, 2, true},   {"ABCB", "cb", 0, 2, true},
        {"ABCB", "cb", 2, 2, true},    {"ABCB", "cb", 3, -1, false}, {"abc", "", 1, -1, true},
        {"abc", "abcd", 1, -1, false}, {"", "a", 0, -1, false},      {"aaab", "aab", 1, 1, true},
    };
    for (const Case& c : cases) {
        CVornString s(c.hay);
        SCOPED_TRACE(std::string(c.hay) + " / " + c.needle + " mode " + std::to_string(c.mode));
        EXPECT_EQ(s.Find(c.needle, c.mode), c.find);
        EXPECT_EQ(s.Contains(c.needle, c.mode), c.contains);
    }
    CVornString s("a,b");
    EXPECT_EQ(s.Find(','), 1);
    EXPECT_EQ(s.Find(';'), -1);
    EXPECT_TRUE(s.Contains(','));
    EXPECT_EQ(s.Find(static_cast<const char*>(nullptr), 1), -1);
    EXPECT_TRUE(s.Contains(static_cast<const char*>(nullptr), 1));
    EXPECT_TRUE(s.ContainsOnly("ab,"));
    EXPECT_FALSE(s.ContainsOnly("ab"));
    EXPECT_TRUE(CVornString().ContainsOnly("x"));
    EXPECT_FALSE(CVornString("a\0", 2).ContainsOnly("a"));  // NUL is never in a set
    EXPECT_TRUE(s.EndsWith('b'));
    EXPECT_FALSE(CVornString().EndsWith('b'));
}

// ---------------------------------------------------------------- double-byte code pages

TEST_F(VornStringTest, ShiftJisTrailBytesNeverMatchSingleByteCharacters) {
    g_CodePage.SetType(2);
    CVornString s = Bytes(std::string(kHyou) + "\\x");
    EXPECT_EQ(s.Find('\\'), 2);
    EXPECT_EQ(s.Find("\\", 1), 2);
    EXPECT_EQ(s.Find("\\", 0), 2);
    EXPECT_TRUE(s.Contains("\\", 3));  // Contains steps by characters in every mode
    EXPECT_EQ(s.Find("\\", 3), 1);     // byte modes try every position
    EXPECT_EQ(s.Find("\\", 2), 1);

    CVornString left;
    CVornString right;
    ASSERT_TRUE(s.SplitAt('\\', left, right));
    EXPECT_EQ(Text(left), kHyou);
    EXPECT_EQ(Text(right), "x");

    CVornString t = Bytes(std::string(kHyou) + "\\");
    t.TrimRight("\\");
    EXPECT_EQ(Text(t), kHyou);
    t.TrimRight("\\");
    EXPECT_EQ(Text(t), kHyou);
    EXPECT_FALSE(t.EndsWith('\\'));
    t.RemoveChar('\\');
    t.SqueezeChar('\\');
    t.ReplaceChar('\\', '/');
    t.ReplaceCharWithText('\\', "//");
    EXPECT_EQ(Text(t), kHyou);
    EXPECT_TRUE(t.ContainsOnly(""));  // double-byte characters are not examined
    CVornString u(kHyou);
    u.Unquote();
    EXPECT_EQ(Text(u), kHyou);
    CVornString lead("\\\x95");  // a truncated character at the end
    EXPECT_FALSE(lead.EndsWith('\x95'));
    EXPECT_EQ(lead.NextCharPos(1), 2);
}

TEST_F(VornStringTest, ShiftJisFullWidthLettersFoldInMode0AndCaseMapping) {
    g_CodePage.SetType(2);
    CVornString small(kWideSmallA);
    EXPECT_TRUE(small.Equals(kWideCapitalA, 0));
    EXPECT_FALSE(small.Equals(kWideCapitalA, 1));
    EXPECT_FALSE(small.Equals(kWideCapitalA, 2));  // byte-wise tolower leaves them apart
    EXPECT_EQ(Bytes(std::string("x") + kWideCapitalA).Find(kWideSmallA, 0), 1);

    small.ToUpper();
    EXPECT_EQ(Text(small), kWideCapitalA);
    CVornString mixed = Bytes(std::string("Ab") + kWideCapitalA + kHyou);
    mixed.ToLower();
    EXPECT_EQ(Text(mixed), std::string("ab") + kWideSmallA + kHyou);
    mixed.ToUpper();
    EXPECT_EQ(Text(mixed), std::string("AB") + kWideCapitalA + kHyou);
}

TEST_F(VornStringTest, EucJpFullWidthLettersAndLongCharacters) {
    g_CodePage.SetType(1);
    CVornString s("\xA3\xC1");
    s.ToLower();
    EXPECT_EQ(Text(s), "\xA3\xE1");
    EXPECT_TRUE(s.Equals("\xA3\xC1", 0));
    // 0x8F opens a three-byte character; its bytes never match '\'.
    CVornString three("\x8F\xA1\\\\");
    EXPECT_EQ(three.NextCharPos(0), 3);
    EXPECT_EQ(three.Find('\\'), 3);
    // A character cut off by the end of the text ends there.
    CVornString cut("a\x8F\xA1");
    EXPECT_EQ(cut.NextCharPos(1), 3);
    cut.ToUpper();
    EXPECT_EQ(Text(cut), "A\x8F\xA1");
    EXPECT_EQ(cut.Compare("a\x8F", 0), 1);
    EXPECT_FALSE(cut.Contains("\xA1", 1));
}

// ---------------------------------------------------------------- rewriting

TEST_F(VornStringTest, TrimmingUsesTheSetAndDefaultsToLineEnds) {
    struct Case {
        const char* in;
        const char* set;
        bool right;
        const char* out;
    };
    const Case cases[] = {
        {"line\r\n\r\n", nullptr, true, "line"},
        {"  a b", " ", false, "a b"},
        {"\r\nx\r\n", nullptr, false, "x\r\n"},
        {"xx", "x", true, ""},
        {"a b  ", " ", true, "a b"},
        {"", " ", true, ""},
    };
    for (const Case& c : cases) {
        CVornString s(c.in);
        if (c.right) {
            s.TrimRight(c.set);
        } else {
            s.TrimLeft(c.set);
        }
        EXPECT_EQ(Text(s), c.out) << c.in;
    }
    CVornString nul("a\0", 2);  // a NUL is never taken for a set member
    nul.TrimRight("");
    EXPECT_EQ(nul.Length(), 2);
}

TEST_F(VornStringTest, Unquote) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"\"John  Smith\" <js>", "John  Smith <js>"},
        {"a\\\"b", "a\"b"},    // outside quotes a backslash protects a quote
        {"\"a\\b\"", "a\\b"},  // inside quotes it is an ordinary byte
        {"a\\\\b", "a\\b"},
        {"ab\\", "ab\\"},  // a lone backslash at the end has nothing to protect
        {"\"\"", ""},
    };
    for (const Case& c : cases) {
        CVornString s(c.in);
        int capacity = s.Capacity();
        s.Unquote();
        EXPECT_EQ(Text(s), c.out) << c.in;
        EXPECT_EQ(s.Capacity(), capacity);
    }
}

TEST_F(VornStringTest, CharacterRewrites) {
    CVornString path("a//b///c");
    path.SqueezeChar('/');
    EXPECT_EQ(Text(path), "a/b/c");
    path.RemoveChar('/');
    EXPECT_EQ(Text(path), "abc");
    path.ReplaceChar('b', 'x');
    EXPECT_EQ(Text(path), "axc");

    CVornString html("a&b&");
    html.ReplaceCharWithText('&', "&amp;");
    EXPECT_EQ(Text(html), "a&amp;b&amp;");
    html.ReplaceCharWithText('&', "");
    EXPECT_EQ(Text(html), "aamp;bamp;");
    html.ReplaceCharWithText(';', static_cast<const char*>(nullptr));
    html.ReplaceCharWithText(0, "x");
    EXPECT_EQ(Text(html), "aamp;bamp;");

    CVornString nibbles("\x12\xAB", 2);
    nibbles.SwapNibbles();
    EXPECT_EQ(Text(nibbles), "\x21\xBA");
    nibbles.SwapNibbles();
    EXPECT_EQ(Text(nibbles), "\x12\xAB");
}

TEST_F(VornStringTest, IncrementCountsLikeAnOdometer) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"az9", "ba0"}, {"A", "b"},     {"zz", "aa"}, {"99", "00"},     {"", ""},
        {"a-", "a."},   {"x9z", "y0a"}, {"~", "a"},   {"tmp0", "tmp1"},
    };
    for (const Case& c : cases) {
        CVornString s(c.in);
        s.Increment();
        EXPECT_EQ(Text(s), c.out) << c.in;
    }
}

TEST_F(VornStringTest, NumbersAsAtoi) {
    struct Case {
        const char* in;
        long value;
    };
    const Case cases[] = {
        {"42", 42}, {"  -12abc", -12}, {"+7", 7}, {"", 0}, {"abc", 0}, {"- 1", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CVornString(c.in).ToInt(), c.value) << c.in;
        EXPECT_EQ(CVornString(c.in).ToLong(), c.value) << c.in;
    }
    EXPECT_EQ(CVornString("12", 1).ToInt(), 1);  // stops at the length, not at a NUL
    EXPECT_EQ(CVornString("9000000000").ToLong(), 9000000000L);

    CVornString s("n=");
    s.AppendInt(INT_MIN);
    EXPECT_EQ(Text(s), "n=-2147483648");
    s.AssignLong(LONG_MAX);
    EXPECT_EQ(Text(s), std::to_string(LONG_MAX));
}

// ---------------------------------------------------------------- cutting

TEST_F(VornStringTest, CuttingIntoTargetsIncludingItself) {
    CVornString s("a,b,c");
    CVornString left("old");
    CVornString right("old");
    ASSERT_TRUE(s.SplitAt(',', left, right));
    EXPECT_EQ(Text(left), "a");
    EXPECT_EQ(Text(right), "b,c");
    EXPECT_FALSE(s.SplitAt(';', left, right));
    EXPECT_EQ(Text(left), "a");

    ASSERT_TRUE(s.SplitAt(',', left, s));  // the string itself as the right target
    EXPECT_EQ(Text(left), "a");
    EXPECT_EQ(Text(s), "b,c");
    ASSERT_TRUE(s.SplitAt(',', s, right));  // and as the left one
    EXPECT_EQ(Text(s), "b");
    EXPECT_EQ(Text(right), "c");

    CVornString header("Subject: hi");
    char found = 0;
    ASSERT_TRUE(header.SplitAtFirstOf(" :", &found, left, right));
    EXPECT_EQ(found, ':');
    EXPECT_EQ(Text(left), "Subject");
    EXPECT_EQ(Text(right), " hi");

    CVornString target("unchanged");
    EXPECT_TRUE(header.LeftOf(':', target));
    EXPECT_EQ(Text(target), "Subject");
    EXPECT_TRUE(header.RightOf(' ', target));
    EXPECT_EQ(Text(target), "hi");
    EXPECT_FALSE(header.RightOf('#', target));
    EXPECT_EQ(Text(target), "hi");
    EXPECT_TRUE(header.RightOf(':', header));
    EXPECT_EQ(Text(header), " hi");

    CVornString word("abc");
    EXPECT_TRUE(word.SplitAt(1, left, right));
    EXPECT_EQ(Text(left), "a");
    EXPECT_EQ(Text(right), "bc");
    for (int bad : {-1, 3, INT_MIN, INT_MAX}) EXPECT_FALSE(word.SplitAt(bad, left, right)) << bad;
    EXPECT_EQ(Text(left), "a");

    CVornString trailing("a,");
    ASSERT_TRUE(trailing.SplitAt(',', left, right));
    EXPECT_EQ(Text(left), "a");
    EXPECT_EQ(Text(right), "");
}

// ---------------------------------------------------------------- binary readers

TEST_F(VornStringTest, BinaryReadersInBothByteOrdersStayInBounds) {
    CVornString s("\x01\x02\x03\x04\x05", 5);
    int offset = 0;
    unsigned short u16 = 0;
    ASSERT_TRUE(s.ReadUInt16(offset, &u16, 0));
    EXPECT_EQ(u16, 258);
    EXPECT_EQ(offset, 2);
    unsigned int u32 = 0;
    EXPECT_FALSE(s.ReadUInt32(offset, &u32, 0));  // 3 bytes left
    EXPECT_EQ(offset, 2);
    offset = 1;
    ASSERT_TRUE(s.ReadUInt32(offset, &u32, 0));
    EXPECT_EQ(u32, 0x02030405u);
    EXPECT_FALSE(s.ReadUInt16(offset, &u16, 0));
    EXPECT_EQ(offset, 5);
    offset = 4;
    EXPECT_FALSE(s.ReadUInt16(offset, &u16, 1));  // one byte left
    EXPECT_EQ(offset, 4);
    unsigned char b = 0;
    ASSERT_TRUE(s.ReadByte(offset, &b));
    EXPECT_EQ(b, 5);

    // Host order is the machine's own layout of the bytes.
    offset = 0;
    ASSERT_TRUE(s.ReadUInt16(offset, &u16, 1));
    unsigned short expected16;
    memcpy(&expected16, "\x01\x02", 2);
    EXPECT_EQ(u16, expected16);

    CVornString out;
    out.AppendUInt16(0x0102, 0);
    out.AppendUInt16(0x0102, 1);
    offset = 0;
    ASSERT_TRUE(out.ReadUInt16(offset, &u16, 0));
    EXPECT_EQ(u16, 0x0102);
    ASSERT_TRUE(out.ReadUInt16(offset, &u16, 1));
    EXPECT_EQ(u16, 0x0102);

    // Offsets and counts that would reach outside the storage are refused.
    char dst[8];
    struct Bad {
        int offset;
        int n;
    };
    for (Bad bad : {Bad{-1, 1}, Bad{0, -1}, Bad{6, 0}, Bad{INT_MAX, 1}, Bad{1, INT_MAX},
                    Bad{INT_MIN, 2}, Bad{2, 4}}) {
        int at = bad.offset;
        EXPECT_FALSE(s.ReadBytes(at, dst, bad.n)) << bad.offset << "," << bad.n;
        EXPECT_EQ(at, bad.offset);
    }
    offset = 5;
    EXPECT_TRUE(s.ReadBytes(offset, dst, 0));
}

// ---------------------------------------------------------------- self and overlapping operations

TEST_F(VornStringTest, OperationsOfAStringWithItself) {
    CVornString s("ab");
    s.Append(s);
    EXPECT_EQ(Text(s), "abab");
    s.Assign(s);
    s.Swap(s);
    EXPECT_EQ(Text(s), "abab");

    // Bytes taken from the string's own storage survive its growth.
    CVornString grow("0123456789");
    for (int i = 0; i < 5; ++i) {
        const char* own = grow.CStr();
        grow.Append(own, grow.Length());
    }
    EXPECT_EQ(grow.Length(), 320);
    EXPECT_EQ(Text(grow).substr(300), "01234567890123456789");
    CVornString tail("hello world");
    tail.Assign(tail.CStr() + 6);
    EXPECT_EQ(Text(tail), "world");
    CVornString front("abc");
    front.Prepend(front.CStr() + 1);
    EXPECT_EQ(Text(front), "bcabc");
}

TEST_F(VornStringTest, AppendsIntoReservedRoomKeepTheBlockAndEveryByte) {
    for (auto mode : {CVornString::kUnlocked, CVornString::kLocked}) {
        CVornString s(mode);
        s.Reserve(1000);
        int capacity = s.Capacity();
        std::string expected;
        for (int i = 0; expected.size() + 20 < 1000; ++i) {
            std::string piece = std::to_string(i * 7919) + ",";
            s.Append(piece.data(), static_cast<int>(piece.size()));
            s.Append(static_cast<char>('a' + i % 26));
            expected += piece + static_cast<char>('a' + i % 26);
        }
        EXPECT_EQ(s.Capacity(), capacity);
        // Bytes of the string itself, appended where they fit and where
        // they do not.
        const char* own = s.CStr();
        s.Append(own + 3, 10);
        expected += expected.substr(3, 10);
        EXPECT_EQ(Text(s), expected);
        while (s.Length() + 3 < s.Capacity()) {
            s.Append('x');
            expected += 'x';
        }
        EXPECT_EQ(s.Capacity(), capacity);
        s.Append('y');  // the capacity rule: length + 32
        expected += 'y';
        EXPECT_EQ(s.Capacity(), s.Length() + 32);
        own = s.CStr();
        s.Append(own, s.Length());  // doubles itself across a new block
        expected += expected;
        EXPECT_EQ(Text(s), expected) << (mode == CVornString::kLocked ? "locked" : "unlocked");
    }
}

TEST_F(VornStringTest, LockModesAndMoves) {
    CVornString unlocked("abc", CVornString::kUnlocked);
    EXPECT_FALSE(unlocked.IsLocked());
    unlocked.Lock();  // no-op
    unlocked.Unlock();
    CVornString copy(unlocked);
    EXPECT_TRUE(copy.IsLocked());

    CVornString moved(std::move(unlocked));
    EXPECT_TRUE(moved.IsLocked());
    EXPECT_EQ(Text(moved), "abc");
    EXPECT_EQ(unlocked.Capacity(), 0);
    EXPECT_FALSE(unlocked.IsLocked());

    unlocked = std::move(moved);
    EXPECT_FALSE(unlocked.IsLocked());
    EXPECT_TRUE(moved.IsLocked());
    EXPECT_EQ(Text(unlocked), "abc");
    EXPECT_EQ(moved.Capacity(), 0);

    CVornString other("xy");
    other.Swap(unlocked);
    EXPECT_EQ(Text(other), "abc");
    EXPECT_TRUE(other.IsLocked());
    EXPECT_FALSE(unlocked.IsLocked());
    unlocked = other;
    EXPECT_EQ(Text(unlocked), "abc");
    EXPECT_FALSE(unlocked.IsLocked());
}

// ---------------------------------------------------------------- refusals and failures

// Waits (bounded) for a thread to take and release the string's lock.
bool LockIsFree(const CVornString& s) {
    std::atomic<bool> done{false};
    std::thread probe([&] {
        s.Lock();
        s.Unlock();
        done = true;
    });
    for (int i = 0; i < 5000 && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (done) {
        probe.join();
        return true;
    }
    probe.detach();
    return false;
}

TEST_F(VornStringTest, OversizedRequestsThrowAndKeepTheText) {
    CVornString s("ab");
    char byte = 'x';
    EXPECT_THROW(s.Reserve(INT_MAX), std::bad_alloc);
    EXPECT_THROW(s.Reserve(INT_MAX - 31), std::bad_alloc);
    // The length check fails before a single byte of the source is read.
    EXPECT_THROW(s.Append(&byte, INT_MAX), std::bad_alloc);
    EXPECT_THROW(s.Append(&byte, INT_MAX - 1), std::bad_alloc);
    EXPECT_EQ(Text(s), "ab");
    EXPECT_EQ(s.Capacity(), 34);
    EXPECT_TRUE(LockIsFree(s));

    CVornString other("cd");
    EXPECT_THROW(
        {
            CVornStringPairLock both(s, other);
            s.Append(&byte, INT_MAX);
        },
        std::bad_alloc);
    EXPECT_TRUE(LockIsFree(s));
    EXPECT_TRUE(LockIsFree(other));

    s.Append(&byte, -1);
    s.Append(static_cast<const void*>(nullptr), 3);
    EXPECT_EQ(Text(s), "ab");
}

TEST_F(VornStringTest, TwoThreadsOnTheSamePairNeverDeadlock) {
    CVornString a("a,1");
    CVornString b("b,2");
    CVornString c;
    std::atomic<int> finished{0};
    constexpr int kRounds = 20000;
    std::thread one([&] {
        for (int i = 0; i < kRounds; ++i) {
            a.Swap(b);
            a.Equals(b, 0);
            a.SplitAt(',', c, b);
            b.Assign("b,2");
        }
        ++finished;
    });
    std::thread two([&] {
        for (int i = 0; i < kRounds; ++i) {
            b.Swap(a);
            b.Compare(a, 1);
            b.SplitAt(',', a, c);
            a.Assign("a,1");
        }
        ++finished;
    });
    for (int i = 0; i < 60000 && finished < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (finished < 2) {
        one.detach();
        two.detach();
        FAIL() << "two-string operations deadlocked";
    }
    one.join();
    two.join();
}

TEST_F(VornStringTest, ConcurrentAppendsToOneLockedStringLoseNothing) {
    CVornString shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) shared.Append('x');
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared.Length(), 20000);
}

}  // namespace
