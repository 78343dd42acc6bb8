// Tests of the CVornString formatter family (including formats that do not
// fit their arguments), percent-encoding and decoding, the plain-text to HTML
// conversion with its link finder, and the Shift-JIS to ISO-2022-JP
// conversions on short and long texts.
#include <gtest/gtest.h>

#include <string>

#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "core/vorn_string.h"

namespace {

using testsupport::TakeSinkText;

class VornStringFormatTest : public ::testing::Test {
protected:
    testsupport::CodePageGuard m_CodePage{0};
};

std::string Text(const CVornString& s) {
    std::string out(static_cast<size_t>(s.Length()), '\0');
    int offset = 0;
    s.ReadBytes(offset, out.data(), s.Length());
    return out;
}

CVornString Bytes(const std::string& bytes) {
    return CVornString(bytes.data(), static_cast<int>(bytes.size()));
}

// ---------------------------------------------------------------- Format

TEST_F(VornStringFormatTest, EveryOverloadFillsItsArgumentsInOrder) {
    CVornString s("old text");
    s.Format("%s-%d", nullptr, 7);
    EXPECT_EQ(Text(s), "-7");

    s.Format("[%s]", "a");
    EXPECT_EQ(Text(s), "[a]");
    s.Format("%s %d %d", "a", 1, -2);
    EXPECT_EQ(Text(s), "a 1 -2");
    s.Format("%s%s", "a", "b");
    EXPECT_EQ(Text(s), "ab");
    s.Format("%s%s%s", "a", nullptr, "c");
    EXPECT_EQ(Text(s), "ac");
    s.Format("%s%s%s%s", "a", "b", "c", "d");
    EXPECT_EQ(Text(s), "abcd");
    s.Format("%s%s%s%s%s", "a", "b", "c", "d", "e");
    EXPECT_EQ(Text(s), "abcde");
    s.Format("%s%s%s%s%s%s%s%s", "1", "2", "3", "4", "5", "6", "7", "8");
    EXPECT_EQ(Text(s), "12345678");
    s.Format("%s=%s:%x", "k", "v", 255);
    EXPECT_EQ(Text(s), "k=v:ff");
    s.Format("%d", -2147483647 - 1);
    EXPECT_EQ(Text(s), "-2147483648");
    s.Format("%d.%d", 1, 2);
    EXPECT_EQ(Text(s), "1.2");
    s.Format("%d.%d.%d", 1, 2, 3);
    EXPECT_EQ(Text(s), "1.2.3");
    s.Format("%d %s", 4, "four");
    EXPECT_EQ(Text(s), "4 four");
    s.Format("%02d:%02d %s", 9, 5, "am");
    EXPECT_EQ(Text(s), "09:05 am");
    s.Format("%d%d%d%d%d", 1, 2, 3, 4, 5);
    EXPECT_EQ(Text(s), "12345");
    s.Format("%04d%02d%02d %02d%02d%02d", 2001, 2, 3, 4, 5, 6);
    EXPECT_EQ(Text(s), "20010203 040506");
    s.Format("100%% %s", "done");
    EXPECT_EQ(Text(s), "100% done");
}

TEST_F(VornStringFormatTest, NullFormatLeavesTheText) {
    CVornString s("keep");
    s.Format(nullptr, "x");
    s.Format(nullptr, 1, 2);
    EXPECT_EQ(Text(s), "keep");
}

// Widths and long arguments beyond the customary reserve are measured, never
// written past the storage (AddressSanitizer watches the writes).
TEST_F(VornStringFormatTest, ResultsLongerThanTheEstimateAreMeasured) {
    std::string longText(5000, 'x');
    CVornString s;
    s.Format("%s|%-300d|%0200d", longText.c_str(), 5, 7);
    std::string expected =
        longText + "|5" + std::string(299, ' ') + "|" + std::string(199, '0') + "7";
    EXPECT_EQ(Text(s), expected);
    s.Format("[%9999s]", "a");
    EXPECT_EQ(s.Length(), 10001);
}

TEST_F(VornStringFormatTest, FormatAndArgumentsMayComeFromTheStringItself) {
    CVornString s("abc");
    s.Format("<%s>", s.CStr());
    EXPECT_EQ(Text(s), "<abc>");
    s.Format("%s%s%s%s%s", s.CStr(), s.CStr(), s.CStr(), s.CStr(), s.CStr());
    EXPECT_EQ(Text(s), "<abc><abc><abc><abc><abc>");
    s.Assign("n=%d");
    s.Format(s.CStr(), 42);
    EXPECT_EQ(Text(s), "n=42");
}

// A catalogue text that does not fit the arguments is kept as it stands and
// reported, never handed to printf.
TEST_F(VornStringFormatTest, MismatchedFormatsAreRefusedAndTheTextKeptVerbatim) {
    CVornLogSink sink(kLogError);
    struct Case {
        const char* fmt;
        int call;  // which overload: 0 (s), 1 (i, i), 2 (s, s), 3 (s, i)
    };
    const Case cases[] = {
        {"%d files", 0},       // a number read from a string argument
        {"%s of %s", 3},       // a string read from an int argument
        {"%n%s", 0},           // writes through an argument
        {"%*d", 1},            // width taken from an argument
        {"%s %s %s", 2},       // more conversions than arguments
        {"only %s", 2},        // fewer conversions than arguments
        {"no conversion", 1},  // none at all
        {"%1$s %2$s", 2},      // positional arguments
        {"%ld", 1},            // wrong length
        {"trailing %", 0},     // ends inside a conversion
        {"", 3},               // empty: the text becomes empty
    };
    for (const Case& c : cases) {
        CVornString s("previous");
        switch (c.call) {
            case 0:
                s.Format(c.fmt, "x");
                break;
            case 1:
                s.Format(c.fmt, 1, 2);
                break;
            case 2:
                s.Format(c.fmt, "x", "y");
                break;
            default:
                s.Format(c.fmt, "x", 3);
                break;
        }
        EXPECT_EQ(Text(s), c.fmt);
        std::string log = TakeSinkText(sink);
        EXPECT_NE(log.find("ERROR"), std::string::npos) << c.fmt;
        EXPECT_NE(log.find("Format refused"), std::string::npos) << c.fmt;
    }
}

// ---------------------------------------------------------------- URL text

TEST_F(VornStringFormatTest, UrlEncodeKeepsUnreservedCharactersAndTheAskedSeparators) {
    struct Case {
        std::string in;
        bool keepSlash;
        bool keepPlus;
        std::string out;
    };
    const Case cases[] = {
        {"a b/c+d~", false, false, "a%20b%2Fc%2Bd~"},
        {"a b/c+d~", true, true, "a%20b/c+d~"},
        {"a/b+c", true, false, "a/b%2Bc"},
        {"a/b+c", false, true, "a%2Fb+c"},
        {"!'()*-._~Az09", false, false, "!'()*-._~Az09"},
        {"?&=%\"<", false, false, "%3F%26%3D%25%22%3C"},
        {std::string("\0\xff\x82", 3), false, false, "%00%FF%82"},
        {"", false, false, ""},
    };
    for (const Case& c : cases) {
        CVornString s = Bytes(c.in);
        CVornString& result = s.UrlEncode(c.keepSlash, c.keepPlus);
        EXPECT_EQ(&result, &s);
        EXPECT_EQ(Text(s), c.out) << c.in;
    }
}

TEST_F(VornStringFormatTest, UrlEncodeEncodesEveryByteOfADoubleByteCharacter) {
    g_CodePage.SetType(2);
    CVornString s("\x82\x61-");  // full-width b: its trail byte is an 'a'
    s.UrlEncode(false, false);
    EXPECT_EQ(Text(s), "%82%61-");
}

TEST_F(VornStringFormatTest, UrlDecodeTakesEveryEscapeAndStopsAtTheEnd) {
    struct Case {
        std::string in;
        bool keepPlus;
        std::string out;
    };
    const Case cases[] = {
        {"a+b%41%zz%4", false, "a bA\xBB%4"},
        {"a+b%41%zz%4", true, "a+bA\xBB%4"},
        {"%ff%FF%3d", false, "\xff\xff="},
        {"x%00y", false, std::string("x\0y", 3)},
        {"%", false, "%"},
        {"%%41", false,
         "\xE4"
         "1"},  // the second % counts (5 + 9)
        {"", false, ""},
    };
    for (const Case& c : cases) {
        CVornString s = Bytes(c.in);
        s.UrlDecode(c.keepPlus);
        EXPECT_EQ(Text(s), c.out) << c.in;
    }
}

// ---------------------------------------------------------------- ToHtml

std::string Link(const std::string& address, const std::string& shown) {
    return "<A HREF=\"" + address + "\" TARGET=\"_new\">" + shown + "</A>";
}

std::string Html(const std::string& text) {
    CVornString s = Bytes(text);
    EXPECT_TRUE(s.ToHtml("mailto:"));
    return Text(s);
}

TEST_F(VornStringFormatTest, ToHtmlLaysOutLinesParagraphsTabsAndBlanks) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"a b\r\n\r\nc\r\n", "a b<BR><P>c<BR>"},
        {"a\r\n\r\n\r\nb\r\n", "a<BR><P><BR><P>b<BR>"},
        {"one\r\ntwo", "one<BR>two<BR>"},
        {"a  b c\r\n", "a&nbsp;&nbsp;b c<BR>"},
        {"abc\tz\r\n", "abc&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;z<BR>"},
        {"\tx\r\n", "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;x<BR>"},
        {"12345678\tx\r\n", "12345678&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;x<BR>"},
        {"a & b <c> \"d\"\r\n", "a &amp; b &lt;c&gt; \"d\"<BR>"},
        {"\r\n\r\nlate\r\n", "<P><BR><P>late<BR>"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Html(c.in), c.out) << c.in;
}

TEST_F(VornStringFormatTest, ToHtmlLinksAddressesAndLeavesOtherDottedWords) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        // Host names with three labels, with and without a scheme.
        {"see aa.bb.cc/d.", "see " + Link("http://aa.bb.cc/d", "aa.bb.cc/d") + "."},
        {"(www.example.com),", "(" + Link("http://www.example.com", "www.example.com") + "),"},
        {"HTTP://Example.com/x", Link("HTTP://Example.com/x", "HTTP://Example.com/x")},
        {"at http://a.example/b.tar.gz",
         "at " + Link("http://a.example/b.tar.gz", "http://a.example/b.tar.gz")},
        {"ftp.example.com", Link("ftp://ftp.example.com", "ftp.example.com")},
        {"get:ftp://files.example/x",
         "get:" + Link("ftp://files.example/x", "ftp://files.example/x")},
        // Mail addresses get the prefix; an existing scheme is kept in front.
        {"to john@example.com.", "to " + Link("mailto:john@example.com", "john@example.com") + "."},
        {"mailto:jo@ex.org", "mailto:" + Link("mailto:jo@ex.org", "jo@ex.org")},
        // Escaped angle brackets stay outside the link.
        {"<www.example.com>", "&lt;" + Link("http://www.example.com", "www.example.com") + "&gt;"},
        {"<jo@ex.org>", "&lt;" + Link("mailto:jo@ex.org", "jo@ex.org") + "&gt;"},
        // Plain dotted words.
        {"example.com", "example.com"},
        {"1.2.3.4", "1.2.3.4"},
        {"version 2.0.11", "version 2.0.11"},
        {"file.tar.gz", "file.tar.gz"},
        {"www.example.c", "www.example.c"},
        {"/etc/a.b.conf", "/etc/a.b.conf"},
        {"end. Next", "end. Next"},
        {"wait...what", "wait...what"},
        {"www." + std::string(130, 'x') + ".com", "www." + std::string(130, 'x') + ".com"},
    };
    for (const Case& c : cases) EXPECT_EQ(Html(c.in + "\r\n"), c.out + "<BR>") << c.in;
}

// A quote in a mail body must not close the HREF attribute.
TEST_F(VornStringFormatTest, ToHtmlEscapesQuotesInsideLinkAddresses) {
    std::string body = "http://evil.example.com/\"onmouseover=\"alert(1)\r\n";
    std::string expected = Link("http://evil.example.com/&quot;onmouseover=&quot;alert(1",
                                "http://evil.example.com/\"onmouseover=\"alert(1") +
                           ")<BR>";
    EXPECT_EQ(Html(body), expected);

    CVornString s("jo@ex.org\r\n");
    s.ToHtml("x\"y:");
    EXPECT_EQ(Text(s), Link("x&quot;y:jo@ex.org", "jo@ex.org") + "<BR>");
}

// In a double-byte code page a link never takes a trail byte that happens to
// be a letter.
TEST_F(VornStringFormatTest, ToHtmlNeverSplitsADoubleByteCharacter) {
    g_CodePage.SetType(2);
    EXPECT_EQ(Html("\x82\x61www.example.com\r\n"),
              "\x82\x61" + Link("http://www.example.com", "www.example.com") + "<BR>");
}

// ---------------------------------------------------------------- Japanese mail text

TEST_F(VornStringFormatTest, EmptyTextsStayEmpty) {
    CVornString s;
    s.SjisToJis();
    EXPECT_TRUE(s.IsEmpty());
    s.EncodeJisWord();
    EXPECT_TRUE(s.IsEmpty());
}

TEST_F(VornStringFormatTest, ShortTextsConvertToIso2022jpAndTheEncodedWord) {
    CVornString s("\x82\xA0x");
    s.SjisToJis();
    EXPECT_EQ(Text(s), "\x1b$B\x24\x22\x1b(Jx");

    CVornString word("\x82\xA0");
    word.EncodeJisWord();
    EXPECT_EQ(Text(word), "=?iso-2022-jp?B?GyRCJCIbKEo=?=");

    CVornString ascii("Hello");
    ascii.EncodeJisWord();
    EXPECT_EQ(Text(ascii), "=?iso-2022-jp?B?SGVsbG8=?=");
}

// No fixed buffer limits the length: 5000 bytes of Shift-JIS convert whole,
// also in the costliest mix (half-width kana and ASCII in turn).
TEST_F(VornStringFormatTest, LongTextsConvertWhole) {
    std::string hiragana;
    for (int i = 0; i < 2500; ++i) hiragana += "\x82\xA0";
    std::string jis = "\x1b$B";
    for (int i = 0; i < 2500; ++i) jis += "\x24\x22";
    jis += "\x1b(J";

    CVornString s = Bytes(hiragana);
    s.SjisToJis();
    EXPECT_EQ(Text(s), jis);

    CVornString word = Bytes(hiragana);
    word.EncodeJisWord();
    CVornString jisText = Bytes(jis);
    CVornString base64;
    Base64Encode(jisText, base64);
    EXPECT_EQ(Text(word), "=?iso-2022-jp?B?" + Text(base64) + "?=");

    std::string mixed;
    for (int i = 0; i < 2500; ++i)
        mixed +=
            "\xB6"
            "a";  // half-width ka, then 'a'
    CVornString costly = Bytes(mixed);
    costly.SjisToJis();
    std::string converted = Text(costly);
    ASSERT_EQ(converted.size(), 2500u * 9);
    EXPECT_EQ(converted.substr(converted.size() - 9), "\x1b$B\x25\x2B\x1b(Ja");
}

}  // namespace
