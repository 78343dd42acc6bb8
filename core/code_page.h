// CVornCodePage: how the bytes of a text group into characters in the code
// page the process runs under, the conversions between Shift-JIS and
// ISO-2022-JP, and the base64 encoder of Japanese header words.
//
// Types: 0 single-byte, 1 EUC-JP, 2 Shift-JIS, 4 Korean, 5 Chinese,
// 6 Traditional Chinese. Any other value behaves as single-byte (every
// character one byte) but keeps its number.
//
// Threads: g_CodePage is chosen once before main and only read afterwards;
// its operations take no lock. SetType is for start-up and tests only: it must
// not run while another thread reads the same object. The converters use only
// their arguments and may run on several threads at once.
#pragma once

#include <cstddef>

class CVornString;

class CVornCodePage {
public:
    // Chooses the type from the C library's character-type locale, which it
    // sets from the environment (setlocale(LC_CTYPE, "")); ZELORM_CODEPAGE,
    // when set, overrides the choice (a type number or a locale name).
    CVornCodePage();
    // A code page of the given type; does not touch the locale.
    explicit constexpr CVornCodePage(int type) { SetType(type); }

    // Copying is harmless (a number and a table), so it stays allowed.
    CVornCodePage(const CVornCodePage&) = default;
    CVornCodePage& operator=(const CVornCodePage&) = default;

    // Sets the type and fills the byte-length table for it.
    constexpr void SetType(int type) {
        m_Type = type;
        for (int i = 0; i < 256; ++i) m_CharLength[i] = 1;
        auto mark = [this](int from, int to, unsigned char length) {
            for (int i = from; i <= to; ++i) m_CharLength[i] = length;
        };
        switch (type) {
            case 1:
                mark(0xA1, 0xFE, 2);
                mark(0x8E, 0x8E, 2);
                mark(0x8F, 0x8F, 3);
                break;
            case 2:
                mark(0x81, 0x9F, 2);
                mark(0xE0, 0xFC, 2);
                break;
            case 4:
            case 5:
                mark(0x80, 0xFF, 2);
                break;
            case 6:
                mark(0x80, 0xFF, 2);
                mark(0x8E, 0x8E, 4);
                break;
            default:
                break;
        }
    }
    int GetType() const { return m_Type; }
    bool IsSingleByte() const { return m_Type == 0; }

    // Length in bytes (1 to 4) of a character that starts with this byte.
    int CharLength(unsigned char lead) const { return m_CharLength[lead]; }

    // Case-map one character in place. length 1: the C library's
    // tolower/toupper; length 2: the full-width Latin letters of types 1 and 2;
    // anything else is left unchanged. REQUIRES: ch holds length bytes.
    void LowerChar(unsigned char* ch, int length) const;
    void UpperChar(unsigned char* ch, int length) const;

    // The start of the character that ends exactly at pos, found by walking
    // from start (NUL bytes count as one-byte characters; nothing at or after
    // pos is read). pos itself when pos == start; null when pos lies inside a
    // character, pos is null or pos precedes start.
    const char* PrevChar(const char* start, const char* pos) const;

    // Case-map a C string in place; return text (null stays null).
    char* ToUpper(char* text) const;
    char* ToLower(char* text) const;

    // First / last single-byte character equal to byte (a trail byte never
    // matches). Null when text is null, byte is 0 or there is none.
    const char* FindChar(const char* text, int byte) const;
    const char* FindLastChar(const char* text, int byte) const;

    // Number of characters before the terminating NUL (a character cut off
    // by the NUL counts as one). 0 for null.
    int CharCount(const char* text) const;

    // Shift-JIS C string -> ISO-2022-JP, NUL-terminated, into out, which holds
    // outSize bytes including the NUL. Returns the length written, or -1 when
    // the result did not fit: out then holds as much as fits, cut after a
    // whole character and closed back to single-byte mode, NUL-terminated
    // (nothing is written when outSize is 0). REQUIRES: sjis not null; out
    // not null unless outSize is 0. A buffer of SjisToIso2022jpMaxLength(n)+1
    // bytes always suffices for an input of n bytes.
    static int SjisToIso2022jp(const char* sjis, char* out, size_t outSize);
    // Longest result of SjisToIso2022jp for an input of inputLength bytes,
    // not counting the NUL. 0 for a non-positive length.
    static size_t SjisToIso2022jpMaxLength(int inputLength);

    // ISO-2022-JP C string -> Shift-JIS, NUL-terminated, into out (outSize
    // bytes including the NUL). The result is never longer than the input, so
    // strlen(jis)+1 bytes always suffice. Returns false when it did not fit
    // (out then holds the whole characters that fit, NUL-terminated; nothing
    // is written when outSize is 0). out may be jis itself: the conversion
    // then works in place. REQUIRES: jis not null; out not null unless
    // outSize is 0.
    static bool Iso2022jpToSjis(const char* jis, char* out, size_t outSize);

    // The text holds an ISO-2022-JP designation and its last designation
    // returns to single-byte mode (ESC "(B" or ESC "(J"). False for null.
    static bool IsIso2022jp(const char* text);

    // Type chosen for a locale name (exact, case-sensitive); 0 for null or
    // an unknown name.
    static int TypeFromLocaleName(const char* name);

private:
    // Shift-JIS pair -> JIS X 0208 pair, in place.
    static void sjisPairToJis(unsigned char& lead, unsigned char& trail);
    // JIS X 0208 pair -> Shift-JIS pair, in place.
    static void jisPairToSjis(unsigned char& lead, unsigned char& trail);
    // Half-width katakana kana (0xA1-0xDF) -> full-width Shift-JIS pair;
    // folds the voiced/semi-voiced mark next (0 when none) into it and
    // returns true when it did so.
    static bool widenKatakana(unsigned char kana, unsigned char next, unsigned char& lead,
                              unsigned char& trail);
    // Reads the escape sequence after an ESC at text; sets doubleByte and
    // returns the number of bytes consumed after the ESC (never past a NUL).
    static int jisEscape(const char* text, bool& doubleByte);

    int m_Type = 0;
    unsigned char m_CharLength[256] = {};
};

// The process-wide code page. Valid (as single-byte) from the start of the
// program, before any dynamic initialisation; the locale choice is made by an
// initialiser that runs ahead of the ordinary static initialisers, so other
// static objects see the final type.
extern CVornCodePage g_CodePage;

// out becomes the base64 form (standard alphabet, "=" padding, no line
// breaks) of the bytes of in; inputs of any length.
void Base64Encode(const CVornString& in, CVornString& out);
