// CVornString operations that turn values into text: the formatter family,
// percent-encoding, plain text to HTML, and the Japanese mail conversions.
//
//   Format          fmt filled with a fixed list of string and int arguments
//   UrlEncode       percent-encodes the text in place
//   UrlDecode       decodes percent escapes (and "+") in place
//   ToHtml          plain CR LF text -> HTML with links, paragraphs and breaks
//   SjisToJis       Shift-JIS -> ISO-2022-JP in place
//   EncodeJisWord   Shift-JIS -> "=?iso-2022-jp?B?...?=" header word
//   IsWordChar      ASCII letter, digit or "_"
//   IsGraphChar     printable ASCII byte other than the blank (33 to 126)
//
// Bad input: a null format leaves the text alone; a format whose conversions
// do not fit the arguments is never handed to printf: the text becomes the
// format as it stands and an ERROR line goes to the debug log. Null string
// arguments print as "". Malformed percent escapes decode without complaint
// and never read past the text. Texts of any length are converted; a result
// whose size does not fit an int throws std::bad_alloc, the text unchanged.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/format_check.h"
#include "core/vorn_string.h"

struct CVornString::TextBuilder {
    std::string text;
};

namespace {

// The capacity rule's slack, as in core/vorn_string.cpp.
constexpr int kSlack = 32;
// What the formatter family reserves for each int argument.
constexpr size_t kNumberRoom = 41;
// Longer words are never made links.
constexpr size_t kMaxLinkWord = 128;

size_t reserveFor(const char* s) {
    return s ? strlen(s) : 0;
}
size_t reserveFor(int) {
    return kNumberRoom;
}
const char* printable(const char* s) {
    return s ? s : "";
}
int printable(int v) {
    return v;
}

int tableLength(unsigned char b) {
    return g_CodePage.CharLength(b);
}

// A size that an int cannot hold (with the capacity rule's slack) is treated
// as an allocation the heap cannot satisfy, as everywhere in the class.
int checkedSize(size_t n) {
    if (n > static_cast<size_t>(INT_MAX - kSlack))
        throw std::bad_alloc();
    return static_cast<int>(n);
}

// Link words hold only printable ASCII, so ASCII case folding is exact and
// independent of the process locale.
char foldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

size_t findNoCase(const std::string& text, const char* what) {
    auto hit = std::search(text.begin(), text.end(), what, what + strlen(what),
                           [](char a, char b) { return foldAscii(a) == foldAscii(b); });
    return hit == text.end() ? std::string::npos : static_cast<size_t>(hit - text.begin());
}

bool startsWithNoCase(const char* text, size_t n, const char* what) {
    size_t k = strlen(what);
    if (k > n)
        return false;
    for (size_t i = 0; i < k; ++i)
        if (foldAscii(text[i]) != foldAscii(what[i]))
            return false;
    return true;
}

// The value a byte of a percent escape stands for; other bytes are not
// refused, they count their low three bits + 9 (which makes A-F and a-f work).
int escapeDigit(unsigned char b) {
    return b >= '0' && b <= '9' ? b - '0' : (b & 7) + 9;
}

}  // namespace

bool IsWordChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsGraphChar(unsigned char c) {
    return c >= 33 && c <= 126;
}

// ---------------------------------------------------------------- formatter family

// kinds holds one FormatMatches letter per argument: "s" for a string, "d"
// for an int. The check comes first: a catalogue text with a wrong or extra
// conversion would otherwise make printf read an argument that was never
// passed, or write through %n.
template <typename... Args>
void CVornString::formatWith(const char* fmt, const char* kinds, Args... args) {
    if (!fmt)
        return;
    std::string refusal;
    {
        CVornLockGuard guard(m_Lock);
        if (!FormatMatches(fmt, kinds)) {
            // The log line is composed now, while fmt is sure to be intact
            // (it may lie in our own storage), and written after the lock is
            // released.
            if (!g_LogSilent) {
                refusal = "Format refused, its conversions do not fit the arguments (";
                refusal += kinds;
                refusal += "): ";
                refusal += fmt;
            }
            int n = checkedSize(strlen(fmt));
            if (n > 0) {
                setBytes(fmt, n);
            } else {
                m_Length = 0;
            }
        } else {
            int measured = snprintf(nullptr, 0, fmt, printable(args)...);
            if (measured < 0)
                throw std::bad_alloc();  // a result longer than INT_MAX
            // The reserve is the customary estimate (format, strings, 41 per
            // number) unless the measured text needs more.
            size_t estimate = strlen(fmt) + (size_t{0} + ... + reserveFor(args));
            int room = checkedSize(std::max(estimate, static_cast<size_t>(measured)));
            auto inside = [this](auto arg) {
                if constexpr (std::is_pointer_v<decltype(arg)>) {
                    return overlaps(arg);
                } else {
                    return false;
                }
            };
            int written;
            if (overlaps(fmt) || (false || ... || inside(args))) {
                // Growing could free what an argument points to, and printf
                // must not write over what it is reading: format aside first.
                std::string aside(static_cast<size_t>(measured) + 1, '\0');
                written = snprintf(aside.data(), aside.size(), fmt, printable(args)...);
                grow(room, false);
                written = std::clamp(written, 0, measured);
                memcpy(m_Data, aside.data(), written);
            } else {
                grow(room, false);
                written =
                    snprintf(m_Data, static_cast<size_t>(measured) + 1, fmt, printable(args)...);
                written = std::clamp(written, 0, measured);
            }
            m_Length = written;
        }
    }
    if (!refusal.empty())
        LogText(kLogError, refusal.c_str());
}

void CVornString::Format(const char* fmt, const char* s) {
    formatWith(fmt, "s", s);
}
void CVornString::Format(const char* fmt, const char* s, int i) {
    formatWith(fmt, "sd", s, i);
}
void CVornString::Format(const char* fmt, const char* s, int i1, int i2) {
    formatWith(fmt, "sdd", s, i1, i2);
}
void CVornString::Format(const char* fmt, const char* s1, const char* s2) {
    formatWith(fmt, "ss", s1, s2);
}
void CVornString::Format(const char* fmt, const char* s1, const char* s2, const char* s3) {
    formatWith(fmt, "sss", s1, s2, s3);
}
void CVornString::Format(const char* fmt, const char* s1, const char* s2, const char* s3,
                         const char* s4) {
    formatWith(fmt, "ssss", s1, s2, s3, s4);
}
void CVornString::Format(const char* fmt, const char* s1, const char* s2, const char* s3,
                         const char* s4, const char* s5) {
    formatWith(fmt, "sssss", s1, s2, s3, s4, s5);
}
void CVornString::Format(const char* fmt, const char* s1, const char* s2, const char* s3,
                         const char* s4, const char* s5, const char* s6, const char* s7,
                         const char* s8) {
    formatWith(fmt, "ssssssss", s1, s2, s3, s4, s5, s6, s7, s8);
}
void CVornString::Format(const char* fmt, const char* s1, const char* s2, int i) {
    formatWith(fmt, "ssd", s1, s2, i);
}
void CVornString::Format(const char* fmt, int i) {
    formatWith(fmt, "d", i);
}
void CVornString::Format(const char* fmt, int i1, int i2) {
    formatWith(fmt, "dd", i1, i2);
}
void CVornString::Format(const char* fmt, int i1, int i2, int i3) {
    formatWith(fmt, "ddd", i1, i2, i3);
}
void CVornString::Format(const char* fmt, int i, const char* s) {
    formatWith(fmt, "ds", i, s);
}
void CVornString::Format(const char* fmt, int i1, int i2, const char* s) {
    formatWith(fmt, "dds", i1, i2, s);
}
void CVornString::Format(const char* fmt, int i1, int i2, int i3, int i4, int i5) {
    formatWith(fmt, "ddddd", i1, i2, i3, i4, i5);
}
void CVornString::Format(const char* fmt, int i1, int i2, int i3, int i4, int i5, int i6) {
    formatWith(fmt, "dddddd", i1, i2, i3, i4, i5, i6);
}

// ---------------------------------------------------------------- URL text

CVornString& CVornString::UrlEncode(bool keepSlash, bool keepPlus) {
    static const char kHex[] = "0123456789ABCDEF";
    CVornLockGuard guard(m_Lock);
    int capacity = checkedSize(3 * static_cast<size_t>(m_Length)) + kSlack;
    char* block = new char[capacity];
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    int out = 0;
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        unsigned char b = s[p];
        bool keep = tableLength(b) == 1 && (isalnum(b) || (b != 0 && strchr("!'()*-._~", b)) ||
                                            (keepSlash && b == '/') || (keepPlus && b == '+'));
        if (keep) {
            block[out++] = static_cast<char>(b);
        } else {
            for (int k = 0; k < length; ++k) {
                block[out++] = '%';
                block[out++] = kHex[s[p + k] >> 4];
                block[out++] = kHex[s[p + k] & 0x0F];
            }
        }
        p += length;
    }
    delete[] m_Data;
    m_Data = block;
    m_Capacity = capacity;
    m_Length = out;
    return *this;
}

void CVornString::UrlDecode(bool keepPlus) {
    CVornLockGuard guard(m_Lock);
    int capacity = checkedSize(m_Length) + kSlack;
    char* block = new char[capacity];
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    int out = 0;
    for (int p = 0; p < m_Length;) {
        unsigned char b = s[p];
        if (b == '+' && !keepPlus) {
            block[out++] = ' ';
            p += 1;
        } else if (b == '%' && m_Length - p >= 3) {
            int value = escapeDigit(s[p + 1]) * 16 + escapeDigit(s[p + 2]);
            block[out++] = static_cast<char>(value & 0xFF);
            p += 3;
        } else {
            block[out++] = static_cast<char>(b);
            p += 1;
        }
    }
    delete[] m_Data;
    m_Data = block;
    m_Capacity = capacity;
    m_Length = out;
}

// ---------------------------------------------------------------- plain text to HTML

bool CVornString::ToHtml(const char* mailPrefix) {
    if (!mailPrefix)
        mailPrefix = "";
    CVornLockGuard guard(m_Lock);
    if (m_Length == 0)
        return true;
    expandTabs();
    escapeHtml();
    linkify(mailPrefix);
    addParagraphs();
    addBreaks();
    nbspRuns();
    return true;
}

void CVornString::takeText(const TextBuilder& built) {
    int n = checkedSize(built.text.size());
    if (n > 0) {
        setBytes(built.text.data(), n);
    } else {
        m_Length = 0;
    }
}

// Lines are cut at line feeds, a run of them counting as one, so empty lines
// vanish (a blank line of a CR LF text keeps its CR and survives). Each line
// ends in one LF afterwards; tabs go to the next multiple of 8 bytes.
void CVornString::expandTabs() {
    TextBuilder built;
    built.text.reserve(static_cast<size_t>(m_Length) + 16);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    int p = 0;
    while (p < m_Length) {
        if (s[p] == '\n') {
            ++p;
            continue;
        }
        int column = 0;
        while (p < m_Length && s[p] != '\n') {
            int length = charLen(p);
            if (s[p] == '\t' && tableLength(s[p]) == 1) {
                int blanks = 8 - column % 8;
                built.text.append(blanks, ' ');
                column += blanks;
            } else {
                built.text.append(m_Data + p, length);
                column += length;
            }
            p += length;
        }
        built.text += '\n';
    }
    takeText(built);
}

void CVornString::escapeHtml() {
    TextBuilder built;
    built.text.reserve(static_cast<size_t>(m_Length) + m_Length / 8);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        if (tableLength(s[p]) == 1 && s[p] == '&') {
            built.text += "&amp;";
        } else if (tableLength(s[p]) == 1 && s[p] == '<') {
            built.text += "&lt;";
        } else if (tableLength(s[p]) == 1 && s[p] == '>') {
            built.text += "&gt;";
        } else {
            built.text.append(m_Data + p, length);
        }
        p += length;
    }
    takeText(built);
}

// A word is a run of printable ASCII characters; it is looked at only when a
// "." stands inside it (printable neighbours, neither of them a "."). Bytes of
// double-byte characters never belong to a word, so a link never starts or
// ends in the middle of one.
void CVornString::linkify(const char* mailPrefix) {
    const int n = m_Length;
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    std::vector<unsigned char> graphic(static_cast<size_t>(n), 0);
    for (int p = 0; p < n; p += charLen(p))
        graphic[p] = tableLength(s[p]) == 1 && IsGraphChar(s[p]);

    TextBuilder built;
    built.text.reserve(static_cast<size_t>(n) + n / 4);
    int copied = 0;
    for (int p = 0; p < n; ++p) {
        if (s[p] != '.' || !graphic[p])
            continue;
        bool inside = p > copied && graphic[p - 1] && s[p - 1] != '.' && p + 1 < n &&
                      graphic[p + 1] && s[p + 1] != '.';
        if (!inside) {
            built.text.append(m_Data + copied, p + 1 - copied);
            copied = p + 1;
            continue;
        }
        int start = p;
        while (start > copied && graphic[start - 1]) --start;
        int end = p + 1;
        while (end < n && graphic[end]) ++end;
        built.text.append(m_Data + copied, start - copied);
        linkifyWord(m_Data + start, end - start, mailPrefix, built);
        copied = end;
        p = end - 1;
    }
    built.text.append(m_Data + copied, n - copied);
    takeText(built);
}

// The word arrives HTML-escaped ("&amp;", "&lt;", "&gt;"), which is why "&"
// and ";" get the attention below: an escaped bracket or ampersand next to an
// address must end up outside the link.
void CVornString::linkifyWord(const char* text, int n, const char* mailPrefix, TextBuilder& built) {
    std::string& out = built.text;
    std::string word(text, n);
    std::string suffix;
    const auto npos = std::string::npos;
    auto unlinked = [&] {
        out += word;
        out += suffix;
    };
    auto link = [&](const std::string& address, const char* scheme) {
        if (address.empty()) {
            out += address;
        } else {
            appendLink(address.data(), static_cast<int>(address.size()), scheme, built);
        }
        out += suffix;
    };

    // Long words, absolute paths and compressed file names stay text.
    bool compressedName = (findNoCase(word, ".z") != npos || findNoCase(word, ".gz") != npos) &&
                          word.find('/') == npos;
    if (word.size() > kMaxLinkWord || word[0] == '/' || compressedName) {
        unlinked();
        return;
    }

    // Punctuation around the address stays outside the link.
    size_t first = 0;
    while (first < word.size() && !IsWordChar(word[first]) && word[first] != '&') ++first;
    out.append(word, 0, first);
    word.erase(0, first);
    size_t end = word.size();
    while (end > 0 && !IsWordChar(word[end - 1]) && word[end - 1] != '/' && word[end - 1] != ';')
        --end;
    suffix.insert(0, word, end, npos);
    word.erase(end);
    if (word.empty()) {
        out += suffix;
        return;
    }

    if (word.size() >= 4 && word.compare(word.size() - 4, 4, "&gt;") == 0) {
        suffix.insert(0, "&gt;");
        word.erase(word.size() - 4);
    }

    // Escapes inside the word: one after the host part belongs to the
    // suffix, one before it to the text in front; a query string keeps its
    // ampersands.
    for (;;) {
        size_t semicolon = word.find(';');
        size_t ampersand = word.find('&');
        if (semicolon == npos || ampersand == npos)
            break;
        size_t m = std::max(semicolon, ampersand);
        size_t query = word.find('?');
        if (query != npos && semicolon > query && ampersand > query)
            break;
        size_t lastDot = word.rfind('.');
        if (lastDot == npos)
            lastDot = 0;
        if (m > lastDot) {
            suffix.insert(0, word, m, npos);
            word.erase(m);
        } else {
            out.append(word, 0, m + 1);
            word.erase(0, m + 1);
        }
    }

    size_t semicolon = word.find(';');
    if (semicolon != npos) {
        std::string left = word.substr(0, semicolon);
        std::string right = word.substr(semicolon);
        if (left.find('.') != npos) {
            if (right.find('.') != npos) {
                unlinked();
                return;
            }
            word = left;
            suffix.insert(0, right);
        } else {
            out += left;
            out += ';';
            word.erase(0, semicolon + 1);
        }
    }

    if (word.empty() || word.find('.') == npos) {
        unlinked();
        return;
    }

    for (const char* scheme : {"http://", "ftp://"}) {
        size_t at = findNoCase(word, scheme);
        if (at != npos) {
            out.append(word, 0, at);
            link(word.substr(at), scheme);
            return;
        }
    }

    // Dotted numbers and version numbers are not addresses.
    size_t lastDot = word.rfind('.');
    for (size_t i = lastDot + 1; i < word.size(); ++i) {
        if (word[i] >= '0' && word[i] <= '9') {
            unlinked();
            return;
        }
    }

    if (word.find('@') != npos) {
        size_t colon = word.find(':');
        if (colon != npos) {
            out.append(word, 0, colon + 1);
            word.erase(0, colon + 1);
        }
        link(word, mailPrefix);
        return;
    }

    // A host name needs three labels; a last label of one letter is more
    // likely the end of a sentence than a top-level domain.
    size_t firstDot = word.find('.');
    size_t secondDot = word.find('.', firstDot + 1);
    if (secondDot == npos) {
        unlinked();
        return;
    }
    if (findNoCase(word, "ftp") != npos) {
        link(word, "ftp://");
        return;
    }
    bool dottedNumber = word.find_first_not_of("0123456789.") == npos;
    if (dottedNumber || word.size() - (secondDot + 1) <= 1) {
        unlinked();
        return;
    }
    link(word, "http://");
}

// <A HREF="address" TARGET="_new">word</A>. The address gets the scheme (or
// the mail prefix) unless the word starts with it already. The word is mail
// text: a double quote in it must not close the attribute.
void CVornString::appendLink(const char* word, int n, const char* scheme, TextBuilder& built) {
    std::string& out = built.text;
    auto appendAddress = [&out](const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            if (text[i] == '"') {
                out += "&quot;";
            } else {
                out += text[i];
            }
        }
    };
    out += "<A HREF=\"";
    if (!startsWithNoCase(word, n, scheme))
        appendAddress(scheme, strlen(scheme));
    appendAddress(word, n);
    out += "\" TARGET=\"_new\">";
    out.append(word, n);
    out += "</A>";
}

// Each LF ends a piece; the pieces are joined and an empty one, or one of
// control bytes only (a CR LF blank line), is followed by "<P>".
void CVornString::addParagraphs() {
    TextBuilder built;
    built.text.reserve(static_cast<size_t>(m_Length) + 64);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    auto piece = [&](int start, int end) {
        built.text.append(m_Data + start, end - start);
        bool blank = true;
        for (int i = start; i < end && blank; ++i) blank = s[i] < 32;
        if (blank)
            built.text += "<P>";
    };
    int start = 0;
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        if (s[p] == '\n' && tableLength(s[p]) == 1) {
            piece(start, p);
            start = p + 1;
        }
        p += length;
    }
    if (start < m_Length)
        piece(start, m_Length);
    takeText(built);
}

// Cut at CRs, a run counting as one; every piece is followed by "<BR>".
void CVornString::addBreaks() {
    TextBuilder built;
    built.text.reserve(static_cast<size_t>(m_Length) + 64);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    int start = 0;
    for (int p = 0; p <= m_Length;) {
        bool cut = p == m_Length || (s[p] == '\r' && tableLength(s[p]) == 1);
        if (cut) {
            if (p > start) {
                built.text.append(m_Data + start, p - start);
                built.text += "<BR>";
            }
            start = p + 1;
            if (p == m_Length)
                break;
            p += 1;
        } else {
            p += charLen(p);
        }
    }
    takeText(built);
}

// A single blank stays; in a run of two or more, every blank is "&nbsp;".
void CVornString::nbspRuns() {
    TextBuilder built;
    built.text.reserve(static_cast<size_t>(m_Length) + 64);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    for (int p = 0; p < m_Length;) {
        if (s[p] != ' ') {
            int length = charLen(p);
            built.text.append(m_Data + p, length);
            p += length;
            continue;
        }
        int end = p;
        while (end < m_Length && s[end] == ' ') ++end;
        if (end - p == 1) {
            built.text += ' ';
        } else {
            for (int i = p; i < end; ++i) built.text += "&nbsp;";
        }
        p = end;
    }
    takeText(built);
}

// ---------------------------------------------------------------- Japanese mail text

void CVornString::SjisToJis() {
    CVornLockGuard guard(m_Lock);
    if (m_Length == 0)
        return;
    const char* text = CStr();
    int n = checkedSize(strlen(text));
    // Sized from the input: the converter's worst case always fits.
    size_t size = CVornCodePage::SjisToIso2022jpMaxLength(n) + 1;
    checkedSize(size);
    std::unique_ptr<char[]> converted(new char[size]);
    int written = CVornCodePage::SjisToIso2022jp(text, converted.get(), size);
    if (written < 0)
        return;  // cannot happen with the worst-case size; keep the text
    if (written > 0) {
        setBytes(converted.get(), written);
    } else {
        m_Length = 0;
    }
}

void CVornString::EncodeJisWord() {
    CVornLockGuard guard(m_Lock);
    if (m_Length == 0)
        return;
    SjisToJis();
    if (m_Length == 0)
        return;
    CVornString word(kUnlocked);
    Base64Encode(*this, word);
    word.Prepend("=?iso-2022-jp?B?");
    word.Append("?=");
    Swap(word);
}
