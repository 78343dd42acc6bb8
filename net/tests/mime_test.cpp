#include "net/mime.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "core/code_page.h"

namespace {

std::string Str(CVornString& s) {
    return std::string(s.CStr(), s.Length());
}

// ---- Media types of file extensions

TEST(ContentTypeForFile, FindsTheFirstRowOfTheLowerCaseExtension) {
    struct Case {
        const char* extension;
        const char* type;
    } cases[] = {
        {"gif", "image/gif"},
        {"JPEG", "image/jpeg"},
        {"Htm", "text/html"},
        {"eml", "message/rfc822"},
        {"readme", "text/plain"},
        {"zlib", "application/x-deflate"},
        {"avi", "video/avi"},          // listed twice: the first row wins
        {"rpm", "application/x-rpm"},  // likewise
        {".gif", "application/octet-stream"},
        {"tar.gz", "application/octet-stream"},
        {"", "application/octet-stream"},
        {nullptr, "application/octet-stream"},
        {"unknown", "application/octet-stream"},
    };
    CVornString type;
    for (const Case& c : cases) {
        type.Assign("stale");
        ContentTypeForFile(c.extension, type);
        EXPECT_EQ(Str(type), c.type) << (c.extension ? c.extension : "(null)");
    }
}

TEST(ContentTypeForFile, EveryRowIsALowerCaseExtensionWithoutDot) {
    for (const MimeTypeRow* row = g_MimeTypes; row->m_Extension; ++row) {
        std::string ext = row->m_Extension;
        EXPECT_FALSE(ext.empty());
        EXPECT_EQ(ext.find('.'), std::string::npos) << ext;
        for (char c : ext) EXPECT_FALSE(c >= 'A' && c <= 'Z') << ext;
        ASSERT_NE(row->m_MediaType, nullptr) << ext;
    }
}

// ---- MIME part headers

struct PartFields {
    CVornString type, charset, name, fileName, disposition, encoding, boundary;
    void Parse(const char* headers) {
        ParsePartHeaders(CVornString(headers), type, charset, name, fileName, disposition, encoding,
                         boundary);
    }
};

TEST(ParsePartHeaders, ReadsTypeParametersAndEncodingWithoutRegardToCase) {
    PartFields f;
    f.Parse(
        "content-type: Multipart/Mixed; BOUNDARY=\"----=_Part 1\";\r\n"
        " Charset=ISO-8859-1\r\n"
        "CONTENT-TRANSFER-ENCODING: base64\r\n");
    EXPECT_EQ(Str(f.type), "Multipart/Mixed");
    EXPECT_EQ(Str(f.boundary), "------=_Part 1");  // "--" + the unquoted value
    EXPECT_EQ(Str(f.charset), "us-ascii");         // a folded line is no field of its own
    EXPECT_EQ(Str(f.encoding), "base64");

    // The caller unfolds lines; then parameters on them count.
    f.Parse("Content-Type: text/plain; charset=\"iso-2022-jp\"; name=a.txt\r\n");
    EXPECT_EQ(Str(f.type), "text/plain");
    EXPECT_EQ(Str(f.charset), "iso-2022-jp");
    EXPECT_EQ(Str(f.name), "a.txt");
    EXPECT_EQ(Str(f.boundary), "");
}

TEST(ParsePartHeaders, DefaultsAndFieldsTheCallerKeeps) {
    PartFields f;
    f.type.Assign("application/x-kept");
    f.fileName.Assign("kept.bin");
    f.disposition.Assign("inline");
    f.name.Assign("stale");
    f.Parse("X-Other: 1\r\nno colon here\r\nContent-Type:\r\n");
    EXPECT_EQ(Str(f.type), "application/x-kept");
    EXPECT_EQ(Str(f.fileName), "kept.bin");
    EXPECT_EQ(Str(f.disposition), "inline");
    EXPECT_EQ(Str(f.name), "");
    EXPECT_EQ(Str(f.charset), "us-ascii");
    EXPECT_EQ(Str(f.encoding), "7bit");

    f.Parse("Content-Type: TEXT\r\n");
    EXPECT_EQ(Str(f.type), "text/plain");
}

TEST(ParsePartHeaders, DispositionParametersAndLaterFieldsOverride) {
    PartFields f;
    f.Parse(
        "Content-Disposition: attachment; filename=\"my file.txt\"; name=first\r\n"
        "Content-Type: application/pdf; name=\"second.pdf\"; charset=\"\"\r\n"
        "Content-Type: application/zip;\r\n");
    EXPECT_EQ(Str(f.disposition), "attachment");
    EXPECT_EQ(Str(f.fileName), "my file.txt");
    EXPECT_EQ(Str(f.name), "second.pdf");
    EXPECT_EQ(Str(f.charset), "us-ascii");  // an empty value is skipped
    EXPECT_EQ(Str(f.type), "application/zip");
}

// ---- Media-type patterns

TEST(MimeTypeMatches, ComparesBothHalvesWithWildcards) {
    struct Case {
        const char* type;
        const char* pattern;
        bool match;
    } cases[] = {
        {"TEXT/HTML", "text/", true},
        {"text/plain", "text/plain", true},
        {"Text/Plain", "text/PLAIN", true},
        {"image/gif", "text/", false},
        {"", "message/rfc822", true},
        {"message/rfc822", "message/rfc822", true},
        {"message/partial", "message/rfc822", false},
        {"application/pdf", "*/*", true},
        {"application/pdf", "*", true},
        {"application/pdf", "application", true},
        {"application/pdf", "*/pdf", true},
        {"application/pdf", "*/zip", false},
        {"text", "text/html", true},  // no subtype: matches any
        {"*/html", "image/html", true},
        {"texts/plain", "text/", false},
        {"application/pdf", nullptr, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MimeTypeMatches(CVornString(c.type), c.pattern), c.match)
            << c.type << " ~ " << (c.pattern ? c.pattern : "(null)");
}

// ---- Base64 bodies

TEST(DecodeBase64, DecodesCompleteGroupsAndSkipsOtherBytes) {
    struct Case {
        const char* text;
        const char* out;
        const char* rest;
    } cases[] = {
        {"QUJD", "ABC", ""},
        {"QUI=", "AB", ""},
        {"QQ==", "A", ""},
        {"QU\r\nJ D*R", "ABC", "R"},
        {"QUJDRA", "ABC", "RA"},
        {"QQ==QUJD", "AABC", ""},
        {"====", "", ""},  // padding alone carries no byte
        {"", "", ""},
    };
    CVornString out, rest;
    for (const Case& c : cases) {
        DecodeBase64(CVornString(c.text), out, rest);
        EXPECT_EQ(Str(out), c.out) << c.text;
        EXPECT_EQ(Str(rest), c.rest) << c.text;
    }
}

TEST(DecodeBase64, RestCarriedToTheNextTextLosesNothing) {
    std::string original;
    for (int i = 0; i < 300; ++i)
        original += static_cast<char>((i * 37) & 0xFF);  // NUL bytes included
    CVornString encoded;
    Base64Encode(CVornString(original.data(), static_cast<int>(original.size())), encoded);
    std::string text = Str(encoded);
    for (size_t step : {1, 3, 5, 7, 76}) {
        std::string decoded;
        CVornString rest, out;
        for (size_t at = 0; at < text.size(); at += step) {
            CVornString piece(rest);
            piece.Append(text.substr(at, step).c_str());
            piece.Append("\r\n");  // a line end between the pieces
            DecodeBase64(piece, out, rest);
            decoded += Str(out);
        }
        EXPECT_EQ(decoded, original) << "pieces of " << step;
        EXPECT_EQ(Str(rest), "");
    }
}

// The decoding as the header states it, one character at a time: groups of
// four alphabet characters ('=' included), other bytes skipped, a group of
// more than two '=' dropped, '=' as value 0 that shortens its group's output
// when it stands last.
void ReferenceBase64(const std::string& text, std::string& out, std::string& rest) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.clear();
    rest.clear();
    for (char c : text) {
        if (c != '=' && alphabet.find(c) == std::string::npos)
            continue;
        rest += c;
        if (rest.size() < 4)
            continue;
        int padding = 0;
        unsigned bits = 0;
        for (char g : rest) {
            padding += g == '=';
            bits = bits << 6 | (g == '=' ? 0 : static_cast<unsigned>(alphabet.find(g)));
        }
        if (padding <= 2) {
            int count = rest[3] != '=' ? 3 : rest[2] == '=' ? 1 : 2;
            char bytes[3] = {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8),
                             static_cast<char>(bits)};
            out.append(bytes, count);
        }
        rest.clear();
    }
}

TEST(DecodeBase64, AgreesWithTheCharacterByCharacterReading) {
    // Texts of alphabet characters with padding, line ends, blanks and bytes
    // outside the alphabet (NUL, high bytes) scattered in, at every density.
    const std::string others("=\r\n \t*-.\x80\xff", 11);  // the NUL at the end too
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    for (int density : {0, 2, 10, 50, 100}) {
        for (int round = 0; round < 40; ++round) {
            std::string text;
            size_t length = next() % 9000;
            for (size_t i = 0; i < length; ++i)
                text += static_cast<int>(next() % 100) < density ? others[next() % others.size()]
                                                                 : alphabet[next() % 64];
            std::string expectedOut, expectedRest;
            ReferenceBase64(text, expectedOut, expectedRest);
            CVornString out, rest;
            DecodeBase64(CVornString(text.data(), static_cast<int>(text.size())), out, rest);
            EXPECT_TRUE(Str(out) == expectedOut) << "density " << density << " round " << round;
            EXPECT_EQ(Str(rest), expectedRest) << "density " << density << " round " << round;
        }
    }
}

// ---- Quoted-printable bodies

TEST(DecodeQuotedPrintable, EscapesSoftBreaksAndLineEnds) {
    struct Case {
        const char* text;
        const char* out;
    } cases[] = {
        {"=41=42\r\n", "AB\r\n"},
        {"soft =\r\nbreak\r\n", "soft break\r\n"},
        {"a=3d=3D\r\n", "a==\r\n"},
        {"trailing  \t\r\n", "trailing\r\n"},
        {"a\r\n\r\nb\r\n", "a\r\n\r\nb\r\n"},
        {"a\n\nb\n", "a\r\n\r\nb\r\n"},  // an empty line is kept also with LF only
        {"no line end", "no line end\r\n"},
        {"=", ""},              // a soft break at the very end
        {"x=4\r\n", "x4\r\n"},  // '=' without two bytes after it is dropped
        {"=4G=\r\n", "=4G"},    // not an escape: kept; then a soft break
        {"=\xC3\xA9\r\n", "=\xC3\xA9\r\n"},
        {"", ""},
    };
    for (const Case& c : cases) {
        CVornString out("kept:");
        EXPECT_TRUE(DecodeQuotedPrintable(CVornString(c.text), out));
        EXPECT_EQ(Str(out), std::string("kept:") + c.out) << c.text;
    }
}

// ---- Encoded words

struct WordCase {
    const char* text;
    const char* out;
    int charset;
    char letter;
    bool allowDoubleEquals = false;
};

std::string Decode(const char* text, int* charset, char* letter, bool allowDoubleEquals,
                   unsigned outSize = 4096) {
    std::vector<char> out(outSize + 8, '\x7F');
    EXPECT_TRUE(DecodeEncodedWords(out.data(), outSize, text, charset, letter, allowDoubleEquals));
    for (size_t i = outSize; i < out.size(); ++i)
        EXPECT_EQ(out[i], '\x7F') << "written past the buffer at " << i;
    return std::string(out.data());
}

// Decodes each case and checks its text, charset code and encoding letter.
template <size_t N>
void ExpectDecodes(const WordCase (&cases)[N]) {
    for (const WordCase& c : cases) {
        int charset = -1;
        char letter = '-';
        EXPECT_EQ(Decode(c.text, &charset, &letter, c.allowDoubleEquals), c.out) << c.text;
        EXPECT_EQ(charset, c.charset) << c.text;
        EXPECT_EQ(letter, c.letter) << c.text;
    }
}

TEST(DecodeEncodedWords, DecodesWordsAndWhiteSpaceBetweenThem) {
    const WordCase cases[] = {
        {"=?ISO-8859-1?Q?Andr=E9_Dupont?=", "Andr\xE9 Dupont", 3, 'Q'},
        {"=?iso-8859-15?q?=A4?=", "\xA4", 17, 'Q'},
        {"=?ISO-8859-16?Q?x?=", "x", 2, 'Q'},
        {"=?utf-8?B?w6lsw6h2ZQ==?=", "\xC3\xA9l\xC3\xA8ve", 2, 'B'},
        {"=?UTF-8?b?w6k=?=", "\xC3\xA9", 2, 'B'},
        {"=?US-ASCII?Q?a?= =?US-ASCII?Q?b?=", "ab", 2, 'Q'},
        {"=?us-ascii?Q?a?=\r\n\t=?us-ascii?Q?b?=", "ab", 2, 'Q'},
        {"=?us-ascii?Q?a?= b", "a b", 2, 'Q'},
        {"x =?us-ascii?Q?a?=", "x a", 2, 'Q'},
        {"=?us-ascii?Q?a?=  ", "a  ", 2, 'Q'},
        {"=?us-ascii?Q?a?= (c)", "a (c)", 2, 'Q'},
        {"=?us-ascii?Q?a?==?us-ascii?Q?b?=", "ab", 2, 'Q'},
        {"=?x-unknown?Q?a?=", "a", 2, 'Q'},
        {"=?iso-2022-jp?B?GyRCJCIbKEI=?= =?iso-8859-1?Q?z?=", "\x1B$B$\"\x1B(Bz", 3, 'Q'},
        {"=?us-ascii?B?QQ==?= =?us-ascii??QQ==?=", "AA", 2, 'B'},  // "??" keeps 'B'
        {"plain text", "plain text", 0, 'Q'},
        {"", "", 0, 'Q'},
    };
    ExpectDecodes(cases);
}

TEST(DecodeEncodedWords, MalformedCandidatesStayAsTheyAre) {
    const WordCase cases[] = {
        {"=?utf-8?X?abc?=", "=?utf-8?X?abc?=", 0, 'Q'},  // unknown encoding letter
        {"=?us(ascii?Q?a?=", "=?us(ascii?Q?a?=", 0, 'Q'},
        {"=?us-ascii?Q?abc", "=?us-ascii?Q?abc", 0, 'Q'},
        {"=?us-ascii?Q?a b?= c", "=?us-ascii?Q?a b?= c", 0, 'Q'},
        {"=?us-ascii?B?QQ==?x", "=?us-ascii?B?QQ==?x", 0, 'B'},
        {"a=b =? =?", "a=b =? =?", 0, 'Q'},
        {"=?us-ascii?Q?a?= =?bad", "a =?bad", 2, 'Q'},  // held blank output before a failure
        {"==?us-ascii?Q?a?=", "==?us-ascii?Q?a?=", 0, 'Q'},
        {"==?us-ascii?Q?a?=", "=a", 2, 'Q', true},
        {"==?us-ascii?Q?a?", "==?us-ascii?Q?a?", 0, 'Q', true},  // the '=' is not doubled
    };
    ExpectDecodes(cases);
}

TEST(DecodeEncodedWords, WordsWithInvalidTextContributeNothing) {
    const char* texts[] = {
        "[=?us-ascii?Q?a=ZZ?=]",
        "[=?us-ascii?Q?a=G?=]",
        "[=?us-ascii?B?QU*D?=]",
        "[=?us-ascii?B?Q===?=]",
    };
    for (const char* text : texts) {
        int charset = -1;
        EXPECT_EQ(Decode(text, &charset, nullptr, false), "[]") << text;
        EXPECT_EQ(charset, 2) << text;
    }
    // A cut-off escape at the end of a Q word is dropped; so is an unfinished
    // base64 group.
    EXPECT_EQ(Decode("=?a?Q?x=4?=", nullptr, nullptr, false), "x");
    EXPECT_EQ(Decode("=?a?B?QUJDRA?=", nullptr, nullptr, false), "ABC");
}

TEST(DecodeEncodedWords, Iso2022jpWordsAreLeftForTheCallerToConvert) {
    int charset = 0;
    std::string jis = Decode("=?ISO-2022-JP?B?GyRCJCIbKEI=?=x", &charset, nullptr, false);
    ASSERT_EQ(charset, kCharsetIso2022jp);
    ASSERT_TRUE(CVornCodePage::IsIso2022jp(jis.c_str()));
    char sjis[16];
    ASSERT_TRUE(CVornCodePage::Iso2022jpToSjis(jis.c_str(), sjis, sizeof sjis));
    EXPECT_STREQ(sjis, "\x82\xA0x");
}

TEST(DecodeEncodedWords, LongRunsAndOverlongWordsStayBounded) {
    std::string blanks(150, ' ');
    std::string word = "=?us-ascii?Q?a?=";
    EXPECT_EQ(Decode((word + blanks + "x").c_str(), nullptr, nullptr, false), "a" + blanks + "x");
    EXPECT_EQ(Decode((word + blanks + word).c_str(), nullptr, nullptr, false), "aa");

    // The word's text is used up to 259 bytes, its charset up to 999.
    std::string longText = "=?us-ascii?Q?" + std::string(300, 'q') + "?=";
    EXPECT_EQ(Decode(longText.c_str(), nullptr, nullptr, false), std::string(259, 'q'));
    int charset = 0;
    std::string longCharset = "=?" + std::string(1500, 'c') + "?Q?ok?=";
    EXPECT_EQ(Decode(longCharset.c_str(), &charset, nullptr, false), "ok");
    EXPECT_EQ(charset, 2);
}

TEST(DecodeEncodedWords, OutputIsAlwaysAPrefixThatFitsTheBuffer) {
    char untouched = 'z';
    EXPECT_FALSE(DecodeEncodedWords(&untouched, 0, "abc", nullptr, nullptr, false));
    EXPECT_EQ(untouched, 'z');
    EXPECT_EQ(Decode("=?us-ascii?Q?abc?=", nullptr, nullptr, false, 1), "");

    const char* texts[] = {
        "ab =?us-ascii?Q?defgh?= ij",
        "ab =?us-ascii?B?QUJDREVG?= ij",
        "=?us-ascii?Q?a?=   =?bad?X? tail",
    };
    for (const char* text : texts) {
        std::string full = Decode(text, nullptr, nullptr, false);
        for (unsigned size = 1; size <= full.size() + 1; ++size) {
            std::string part = Decode(text, nullptr, nullptr, false, size);
            EXPECT_LE(part.size(), size - 1u) << text << " in " << size;
            EXPECT_EQ(full.compare(0, part.size(), part), 0) << text << " in " << size;
        }
        EXPECT_EQ(Decode(text, nullptr, nullptr, false, full.size() + 1), full);
    }
    // A base64 word is never cut: the output ends before it.
    EXPECT_EQ(Decode("ab=?us-ascii?B?QUJD?=xy", nullptr, nullptr, false, 5), "ab");
    // A Q word is cut where the room ends.
    EXPECT_EQ(Decode("ab=?us-ascii?Q?cdef?=", nullptr, nullptr, false, 5), "abcd");
}

TEST(DecodeWordText, DecodersKeepRoomForTheNul) {
    char out[8];
    EXPECT_EQ(DecodeQWord("a_=41", 5, out, 3), 2);
    EXPECT_EQ(std::string(out, 2), "a ");
    EXPECT_EQ(DecodeQWord("a=4x", 4, out, sizeof out), -1);
    EXPECT_EQ(DecodeBWord("QUJD", 4, out, 4), 3);
    EXPECT_EQ(std::string(out, 3), "ABC");
    EXPECT_EQ(DecodeBWord("QUJD", 4, out, 3), -1);  // would not leave room for the NUL

    unsigned char bytes[3];
    int count = 0;
    EXPECT_TRUE(decodeBase64Quad("QQ==", bytes, &count));
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(decodeBase64Quad("Q===", bytes, &count));
}

}  // namespace
