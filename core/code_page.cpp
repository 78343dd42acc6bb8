// Code page: character stepping for the process's code page, Shift-JIS <->
// ISO-2022-JP conversion and base64.
//
//   CVornCodePage()                  choose the type from the locale (or ZELORM_CODEPAGE)
//   CVornCodePage::SetType           set the type and its byte-length table
//   CVornCodePage::CharLength        bytes of the character starting with a lead byte
//   CVornCodePage::LowerChar/UpperChar  case-map one character in place
//   CVornCodePage::PrevChar          start of the character that ends at a position
//   CVornCodePage::ToUpper/ToLower   case-map a C string in place
//   CVornCodePage::FindChar/FindLastChar  first/last single-byte character equal to a byte
//   CVornCodePage::CharCount         characters in a C string
//   CVornCodePage::SjisToIso2022jp   Shift-JIS -> ISO-2022-JP into a sized buffer
//   CVornCodePage::Iso2022jpToSjis   ISO-2022-JP -> Shift-JIS into a sized buffer
//   CVornCodePage::IsIso2022jp       is a text ISO-2022-JP (designated, back in single-byte mode)
//   Base64Encode                     base64 of the bytes of a string
//
// Bad input: null texts give null/0/false; no walker or converter reads past
// the terminating NUL, so a lead byte or escape sequence cut off by the end of
// the text simply ends the work. A converter whose output does not fit writes
// what fits (whole characters, NUL-terminated) and says so in its result.
// Malformed Shift-JIS or ISO-2022-JP is converted byte by byte as far as it
// goes; it is never refused.

#include "core/code_page.h"

#include <ctype.h>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "core/vorn_string.h"

constinit CVornCodePage g_CodePage{0};

namespace {

constexpr unsigned char kEsc = 0x1B;

// Bytes of the character at p, cut short by a NUL inside it.
int ClippedLength(const CVornCodePage& codePage, const unsigned char* p) {
    int length = codePage.CharLength(*p);
    int available = 1;
    while (available < length && p[available] != 0) ++available;
    return available;
}

// Name -> type for the value of ZELORM_CODEPAGE: a type number or a locale name.
int TypeFromOverride(const char* value) {
    static const char* const kNumbers[] = {"0", "1", "2", "4", "5", "6"};
    for (const char* number : kNumbers) {
        if (std::strcmp(value, number) == 0)
            return number[0] - '0';
    }
    return CVornCodePage::TypeFromLocaleName(value);
}

int ChooseTypeFromEnvironment() {
    // Also makes the C library's character classes and case mapping follow
    // the user's locale, which the whole library relies on.
    const char* name = std::setlocale(LC_CTYPE, "");
    int type = CVornCodePage::TypeFromLocaleName(name ? name : "");
    const char* forced = std::getenv("ZELORM_CODEPAGE");
    if (forced && *forced)
        type = TypeFromOverride(forced);
    return type;
}

// Chooses g_CodePage's type ahead of the ordinary static initialisers, so a
// static object that steps through text while it is built sees the final
// type. Until then the code page is a valid single-byte one.
struct CodePageChooser {
    CodePageChooser() { g_CodePage.SetType(ChooseTypeFromEnvironment()); }
};
__attribute__((init_priority(101))) CodePageChooser s_CodePageChooser;

// Writes ISO-2022-JP into a fixed buffer. Every character is written whole
// with its mode switch, and only when there stays room to switch back to
// single-byte mode and for the NUL, so a cut result is still well-formed.
class JisWriter {
public:
    JisWriter(char* out, size_t size) : m_Out(out), m_Size(size) {}

    bool Put(bool doubleByte, const unsigned char* bytes, int count) {
        size_t need = static_cast<size_t>(count) + 1;
        if (doubleByte != m_DoubleByte)
            need += 3;
        if (doubleByte)
            need += 3;
        if (m_Size < need || m_Length > m_Size - need)
            return false;
        if (doubleByte != m_DoubleByte) {
            Raw(doubleByte ? "\x1b$B" : "\x1b(J", 3);
            m_DoubleByte = doubleByte;
        }
        Raw(reinterpret_cast<const char*>(bytes), count);
        return true;
    }
    bool DoubleByte() const { return m_DoubleByte; }

    // Closes double-byte mode and terminates; room for both was kept by Put.
    // Returns the length written, or -1 when not even the NUL fits.
    int Finish() {
        if (m_Size == 0)
            return -1;
        if (m_DoubleByte)
            Raw("\x1b(J", 3);
        m_Out[m_Length] = '\0';
        return static_cast<int>(m_Length);
    }

private:
    void Raw(const char* bytes, int count) {
        std::memcpy(m_Out + m_Length, bytes, count);
        m_Length += count;
    }

    char* m_Out;
    size_t m_Size;
    size_t m_Length = 0;
    bool m_DoubleByte = false;
};

// Full-width Shift-JIS pair for each half-width katakana byte 0xA1-0xDF.
constexpr unsigned short kWideKatakana[0xDF - 0xA1 + 1] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342,  // A1-A8
    0x8344, 0x8346, 0x8348, 0x8383, 0x8385, 0x8387, 0x8362, 0x815B,  // A9-B0
    0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A, 0x834C, 0x834E,  // B1-B8
    0x8350, 0x8352, 0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E,  // B9-C0
    0x8360, 0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B, 0x836C,  // C1-C8
    0x836D, 0x836E, 0x8371, 0x8374, 0x8377, 0x837A, 0x837D, 0x837E,  // C9-D0
    0x8380, 0x8381, 0x8382, 0x8384, 0x8386, 0x8388, 0x8389, 0x838A,  // D1-D8
    0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B,          // D9-DF
};

bool IsSjisLead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF);
}

}  // namespace

CVornCodePage::CVornCodePage() {
    SetType(ChooseTypeFromEnvironment());
}

int CVornCodePage::TypeFromLocaleName(const char* name) {
    if (!name)
        return 0;
    static const struct {
        const char* name;
        int type;
    } kNames[] = {
        {"ja", 2},         {"ja_JP.PCK", 2},  {"Japanese_Japan.932", 2},
        {"ja_JP.SJIS", 2}, {"ja_JP.sjis", 2}, {"ko", 4},
        {"zh", 5},         {"zh_TW", 6},
    };
    for (const auto& entry : kNames) {
        if (std::strcmp(name, entry.name) == 0)
            return entry.type;
    }
    return 0;
}

void CVornCodePage::LowerChar(unsigned char* ch, int length) const {
    if (length == 1) {
        *ch = static_cast<unsigned char>(tolower(*ch));
    } else if (length == 2) {
        if (m_Type == 1 && ch[0] == 0xA3 && ch[1] >= 0xC1 && ch[1] <= 0xDA)
            ch[1] += 0x20;
        if (m_Type == 2 && ch[0] == 0x82 && ch[1] >= 0x60 && ch[1] <= 0x79)
            ch[1] += 0x21;
    }
}

void CVornCodePage::UpperChar(unsigned char* ch, int length) const {
    if (length == 1) {
        *ch = static_cast<unsigned char>(toupper(*ch));
    } else if (length == 2) {
        if (m_Type == 1 && ch[0] == 0xA3 && ch[1] >= 0xE1 && ch[1] <= 0xFA)
            ch[1] -= 0x20;
        if (m_Type == 2 && ch[0] == 0x82 && ch[1] >= 0x81 && ch[1] <= 0x9A)
            ch[1] -= 0x21;
    }
}

const char* CVornCodePage::PrevChar(const char* start, const char* pos) const {
    if (!pos)
        return nullptr;
    if (pos == start)
        return pos;
    if (!start || pos < start)
        return nullptr;
    const char* p = start;
    for (;;) {
        int length = CharLength(static_cast<unsigned char>(*p));
        if (length == pos - p)
            return p;
        if (length > pos - p)
            return nullptr;
        p += length;
    }
}

char* CVornCodePage::ToUpper(char* text) const {
    if (!text)
        return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(text);
    while (*p) {
        int length = ClippedLength(*this, p);
        if (length != CharLength(*p))
            break;  // cut off by the NUL: leave it
        UpperChar(p, length);
        p += length;
    }
    return text;
}

char* CVornCodePage::ToLower(char* text) const {
    if (!text)
        return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(text);
    while (*p) {
        int length = ClippedLength(*this, p);
        if (length != CharLength(*p))
            break;
        LowerChar(p, length);
        p += length;
    }
    return text;
}

const char* CVornCodePage::FindChar(const char* text, int byte) const {
    if (!text || byte == 0)
        return nullptr;
    const auto wanted = static_cast<unsigned char>(byte);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        if (*p == wanted && CharLength(*p) == 1)
            return reinterpret_cast<const char*>(p);
        p += ClippedLength(*this, p);
    }
    return nullptr;
}

const char* CVornCodePage::FindLastChar(const char* text, int byte) const {
    if (!text || byte == 0)
        return nullptr;
    const auto wanted = static_cast<unsigned char>(byte);
    const char* found = nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        if (*p == wanted && CharLength(*p) == 1)
            found = reinterpret_cast<const char*>(p);
        p += ClippedLength(*this, p);
    }
    return found;
}

int CVornCodePage::CharCount(const char* text) const {
    if (!text)
        return 0;
    int count = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        p += ClippedLength(*this, p);
        ++count;
    }
    return count;
}

void CVornCodePage::sjisPairToJis(unsigned char& lead, unsigned char& trail) {
    int l = lead <= 0x9F ? 2 * lead - 224 : 2 * lead - 352;
    int t = trail;
    if (t < 0x9F)
        --l;
    if (t >= 0x9F) {
        t -= 126;
    } else if (t >= 0x80) {
        t -= 32;
    } else {
        t -= 31;
    }
    lead = static_cast<unsigned char>(l);
    trail = static_cast<unsigned char>(t);
}

void CVornCodePage::jisPairToSjis(unsigned char& lead, unsigned char& trail) {
    int l = lead;
    int t = trail;
    int newLead = (l + 1) / 2 + (l < 0x5F ? 112 : 176);
    if (l % 2 == 1) {
        t += t < 0x60 ? 31 : 32;
    } else {
        t += 126;
    }
    lead = static_cast<unsigned char>(newLead);
    trail = static_cast<unsigned char>(t);
}

bool CVornCodePage::widenKatakana(unsigned char kana, unsigned char next, unsigned char& lead,
                                  unsigned char& trail) {
    unsigned short wide = kWideKatakana[kana - 0xA1];
    lead = static_cast<unsigned char>(wide >> 8);
    trail = static_cast<unsigned char>(wide & 0xFF);
    if (next == 0xDE &&
        ((kana >= 0xB6 && kana <= 0xC4) || (kana >= 0xCA && kana <= 0xCE) || kana == 0xB3)) {
        if (lead == 0x83 && trail == 0x45) {
            trail = 0x94;  // U -> VU
        } else if ((trail >= 0x4A && trail <= 0x67) || (trail >= 0x6E && trail <= 0x7A)) {
            ++trail;
        }
        return true;
    }
    if (next == 0xDF && kana >= 0xCA && kana <= 0xCE) {
        trail += 2;
        return true;
    }
    return false;
}

int CVornCodePage::jisEscape(const char* text, bool& doubleByte) {
    char kind = text[0];
    if (kind == '\0')
        return 0;
    doubleByte = kind == '$' || kind == 'K';
    if ((kind == '$' || kind == '(') && text[1] != '\0')
        return 2;
    return 1;
}

size_t CVornCodePage::SjisToIso2022jpMaxLength(int inputLength) {
    if (inputLength <= 0)
        return 0;
    // The costliest input alternates half-width katakana (switch in, two
    // bytes: 5) with ASCII (switch out, one byte: 4) and ends on katakana,
    // which adds the closing switch (3): at most 4.5 bytes per byte plus 3.5.
    return (9 * static_cast<size_t>(inputLength) + 8) / 2;
}

int CVornCodePage::SjisToIso2022jp(const char* sjis, char* out, size_t outSize) {
    JisWriter writer(out, outSize);
    const auto* p = reinterpret_cast<const unsigned char*>(sjis);
    bool complete = true;
    while (*p && complete) {
        unsigned char c = *p;
        if (IsSjisLead(c) && p[1] >= 0x40 && p[1] <= 0xFC) {
            unsigned char pair[2] = {c, p[1]};
            sjisPairToJis(pair[0], pair[1]);
            complete = writer.Put(true, pair, 2);
            p += 2;
        } else if (IsSjisLead(c)) {
            // No valid trail: the lead goes out raw in the current mode and
            // the next byte is taken on its own, so a CR LF after it still
            // returns to single-byte mode first.
            complete = writer.Put(writer.DoubleByte(), &c, 1);
            p += 1;
        } else if (c >= 0xA1 && c <= 0xDF) {
            unsigned char pair[2];
            bool folded = widenKatakana(c, p[1], pair[0], pair[1]);
            sjisPairToJis(pair[0], pair[1]);
            complete = writer.Put(true, pair, 2);
            p += folded ? 2 : 1;
        } else {
            // CR, LF, ASCII and the other single bytes, all in single-byte mode.
            complete = writer.Put(false, &c, 1);
            p += 1;
        }
    }
    int length = writer.Finish();
    return complete ? length : -1;
}

bool CVornCodePage::Iso2022jpToSjis(const char* jis, char* out, size_t outSize) {
    if (outSize == 0)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(jis);
    size_t length = 0;
    bool doubleByte = false;
    bool complete = true;
    auto put = [&](const unsigned char* bytes, size_t count) {
        if (outSize - 1 - length < count)
            return false;
        std::memcpy(out + length, bytes, count);
        length += count;
        return true;
    };
    while (*p && complete) {
        unsigned char c = *p;
        if (c == kEsc) {
            p += 1 + jisEscape(reinterpret_cast<const char*>(p + 1), doubleByte);
        } else if (c == '\r' || c == '\n') {
            doubleByte = false;
            complete = put(&c, 1);
            p += 1;
        } else if (doubleByte) {
            unsigned char trail = p[1];
            if (trail == 0 || trail == '\r' || trail == '\n' || trail == kEsc) {
                // Half a pair: dropped rather than turned into a stray
                // character, and the line break or escape after it is kept.
                p += 1;
                continue;
            }
            unsigned char pair[2] = {c, trail};
            jisPairToSjis(pair[0], pair[1]);
            complete = put(pair, 2);
            p += 2;
        } else {
            complete = put(&c, 1);
            p += 1;
        }
    }
    out[length] = '\0';
    return complete;
}

bool CVornCodePage::IsIso2022jp(const char* text) {
    if (!text)
        return false;
    // A designation: ESC, then "$" or "(" (other bytes passed over), then its
    // final byte.
    const char* p = text;
    for (;;) {
        p = std::strchr(p, kEsc);
        if (!p)
            return false;
        ++p;
        while (*p && *p != '$' && *p != '(') ++p;
        if (!*p)
            return false;
        char kind = *p++;
        char final = *p;
        if (final == '\0')
            return false;
        if ((kind == '$' && (final == '@' || final == 'B')) ||
            (kind == '(' && (final == 'B' || final == 'J'))) {
            break;
        }
        ++p;
    }
    // The last "(B" or "(J" must be an escape sequence.
    size_t length = std::strlen(text);
    for (size_t i = length; i-- > 1;) {
        if ((text[i] == 'B' || text[i] == 'J') && text[i - 1] == '(') {
            return i >= 2 && text[i - 2] == static_cast<char>(kEsc);
        }
    }
    return false;
}

void Base64Encode(const CVornString& in, CVornString& out) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Both strings stay locked for the whole call, so the input cannot change
    // between measuring and copying it; in and out may be the same string.
    CVornStringPairLock lock(in, out);
    const int n = in.Length();
    if (n > std::numeric_limits<int>::max() / 4 * 3)
        throw std::bad_alloc();
    std::vector<unsigned char> bytes(static_cast<size_t>(n));
    int offset = 0;
    if (n > 0)
        in.ReadBytes(offset, bytes.data(), n);

    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        encoded += kAlphabet[group >> 18 & 0x3F];
        encoded += kAlphabet[group >> 12 & 0x3F];
        encoded += kAlphabet[group >> 6 & 0x3F];
        encoded += kAlphabet[group & 0x3F];
    }
    if (i < bytes.size()) {
        bool two = i + 1 < bytes.size();
        unsigned group = bytes[i] << 16 | (two ? bytes[i + 1] << 8 : 0);
        encoded += kAlphabet[group >> 18 & 0x3F];
        encoded += kAlphabet[group >> 12 & 0x3F];
        encoded += two ? kAlphabet[group >> 6 & 0x3F] : '=';
        encoded += '=';
    }
    out.Assign(encoded.data(), static_cast<int>(encoded.size()));
}
