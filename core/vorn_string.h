// CVornString: the one string type of the library, for text and binary data.
//
// The length is a byte count; the bytes may include NUL and nothing is
// NUL-terminated until CStr() is called. Character-aware operations step
// through the text by the byte-length table of g_CodePage (core/code_page.h),
// so a trail byte of a double-byte character never matches a single-byte one.
// A character never extends past the end of the text: a truncated last
// character ends where the text ends.
//
// Threads: a string made in kLocked mode (the default) carries its own
// recursive lock and holds it for every single operation, so it may be shared
// between threads. A caller that needs a sequence of calls to be atomic
// brackets it with Lock()/Unlock(). A kUnlocked string takes no lock; its owner
// confines it to one thread. The mode never changes after construction.
// Operations on two strings take both locks in address order (see
// CVornStringPairLock), so two threads working on the same pair never wait for
// each other.
//
// Compare modes (the int "mode" argument of comparisons and searches):
//   0 case-insensitive by characters, 1 exact by characters,
//   2 case-insensitive by bytes,      3 exact by bytes;
//   any other value behaves as 1.
// Byte order of the binary readers and writers: 0 network order (big-endian),
// 1 host order.
//
// Storage blocks are allocated with new char[] and released with delete[];
// CVornBuffer hands whole blocks to and from strings on that understanding.
//
// Capacity rule (no doubling): constructors that copy text allocate exactly
// length + 32 bytes; an operation that needs room for n bytes keeps the block
// when capacity >= n + 3 and otherwise allocates n + 32 bytes. Shortening
// operations keep the block.
//
// Errors: bad positions, counts and missing characters give the documented
// false / -1 / 0 results and leave the string unchanged. A size that cannot be
// represented in an int, or memory exhaustion, throws std::bad_alloc; the
// string then keeps its previous text and no lock stays held.
#pragma once

#include <string.h>

#include "core/vorn_lock.h"

class CVornBuffer;

class CVornString {
public:
    // Lock mode, the last argument of every constructor.
    enum LockMode : unsigned char { kUnlocked = 0, kLocked = 1 };
    // The capacity rule keeps a block while this many bytes stay spare.
    static constexpr int kSpareBytes = 3;

    // Empty, without storage.
    explicit CVornString(LockMode mode = kLocked);
    // Copies strlen(text) bytes (capacity length + 32); null gives an empty
    // string without storage.
    explicit CVornString(const char* text, LockMode mode = kLocked);
    // Copies the other string's bytes under its lock; capacity = its length +
    // 32, also when it is empty. Also the copy constructor: a copy is locked
    // unless asked otherwise.
    CVornString(const CVornString& other, LockMode mode = kLocked);
    // Copies n bytes (capacity n + 32); null bytes or n <= 0 give an empty
    // string without storage.
    CVornString(const void* bytes, int n, LockMode mode = kLocked);
    // Takes over the other string's storage; the new string is locked, the
    // other one keeps its mode and is left empty without storage. May throw
    // std::bad_alloc (the new string's lock is allocated), in which case the
    // other string is unchanged.
    CVornString(CVornString&& other);
    virtual ~CVornString();

    // Copies the bytes; this string keeps its own lock mode.
    CVornString& operator=(const CVornString& other);
    // Takes over the storage; each string keeps its own lock mode and the other
    // one is left empty without storage.
    CVornString& operator=(CVornString&& other) noexcept;

    // The string's own lock, for making a sequence of calls atomic. Recursive;
    // every Lock() needs one Unlock() on the same thread. No-ops on an
    // unlocked string.
    void Lock() const;
    void Unlock() const;
    bool IsLocked() const { return m_Locked; }

    // ---- Construction and access
    int Length() const;
    bool IsEmpty() const;
    int Capacity() const;
    // The byte at pos; 0 when pos < 0 or pos >= length.
    char CharAt(int pos) const;
    // pos plus the length of the character at pos (never past the end); 0 when
    // pos < 0 or pos >= length.
    int NextCharPos(int pos) const;
    // NUL-terminates the text and returns the storage (never null). Valid
    // until the string next changes; a C-string reader sees the text up to its
    // first NUL byte.
    char* CStr();
    // The text's bytes in place, Length() of them, not NUL-terminated (null
    // without storage), for a reader that must not copy or change the string.
    // Valid until the string next changes; REQUIRES: the string's lock held
    // (Lock or CVornStringLockGuard) by a reader of a locked string.
    const char* Data() const { return m_Data; }
    // A new heap copy of the text up to its first NUL, NUL-terminated. The
    // caller owns it and releases it with delete[]. Never null.
    char* Duplicate() const;
    // Applies the capacity rule for n bytes, keeping the text (n < 0: nothing).
    void Reserve(int n);
    // Length 0; the storage stays.
    void Clear();
    // Keeps the first / last n bytes (n < 0 counts as 0; n >= length: nothing).
    void KeepLeft(int n);
    void KeepRight(int n);

    // ---- Assignment and exchange
    // A null text frees the storage (no storage, length 0, capacity 0); an
    // empty text empties the string and keeps the block. The text may lie
    // inside this string's own storage (also for the other Assign forms).
    void Assign(const char* text);
    // Copies n bytes; null bytes or n <= 0 frees the storage as above.
    void Assign(const void* bytes, int n);
    // Copies the other string as Assign(bytes, n) would (an empty one frees
    // the storage); assigning a string to itself does nothing.
    void Assign(const CVornString& other);
    void Assign(char c);
    void AssignInt(int v);
    void AssignLong(long v);
    // Exchanges storage, length and capacity (not the lock mode).
    void Swap(CVornString& other);

    // ---- Binary readers and writers (the caller holds the offset)
    // False, nothing copied and offset unchanged when offset < 0, n < 0, dst
    // is null or fewer than n bytes follow offset; else copies and advances.
    bool ReadBytes(int& offset, void* dst, int n) const;
    bool ReadByte(int& offset, unsigned char* dst) const;
    bool ReadUInt16(int& offset, unsigned short* dst, int order) const;
    bool ReadUInt32(int& offset, unsigned int* dst, int order) const;
    // Order 0 writes network order, anything else host order.
    void AppendUInt16(unsigned short v, int order);

    // ---- Appending and prefixes
    // Ignored when bytes is null or n <= 0. The bytes may lie inside this
    // string's own storage.
    void Append(const void* bytes, int n) {
        // An unlocked string with room takes the bytes in place, without a
        // call: bulk code that reserved ahead appends many small pieces.
        // memmove, since the bytes may lie in this block (it stays put).
        if (!m_Locked && bytes != nullptr && n > 0 && n <= m_Capacity - m_Length - kSpareBytes) {
            memmove(m_Data + m_Length, bytes, static_cast<size_t>(n));
            m_Length += n;
            return;
        }
        appendChecked(bytes, n);
    }
    void Append(const char* text);
    // Appending a string to itself doubles it.
    void Append(const CVornString& other);
    void Append(char c) {
        if (!m_Locked && m_Length < m_Capacity - kSpareBytes) {
            m_Data[m_Length++] = c;
            return;
        }
        appendChecked(&c, 1);
    }
    void AppendInt(int v);
    void Prepend(const char* text);
    void Prepend(char c);
    // Prepends the text unless the string already starts with it under mode.
    void AddPrefix(const char* text, int mode);
    void AddPrefix(char c, int mode);
    // Removes a leading text under mode and returns true; false otherwise. A
    // null text changes nothing and returns IsEmpty().
    bool RemovePrefix(const char* text, int mode);
    bool RemovePrefix(char c, int mode);

    // ---- Trimming and rebuilding
    // Remove trailing / leading single-byte characters found in set (null
    // means "\r\n"); never part of a double-byte character.
    void TrimRight(const char* set = nullptr);
    void TrimLeft(const char* set = nullptr);
    // Removes double quotes; outside quotes a backslash is dropped and the
    // character after it is kept whatever it is; inside quotes a backslash is
    // an ordinary byte. A lone backslash at the very end is kept.
    void Unquote();
    void RemoveChar(char c);
    // Each run of the single-byte character c becomes one c.
    void SqueezeChar(char c);
    // Every single-byte c becomes the byte by; c = 0 replaces every NUL byte.
    void ReplaceChar(char c, char by);
    // Every single-byte c becomes the text by (which may be empty); c = 0 or a
    // null text does nothing.
    void ReplaceCharWithText(char c, const char* by);
    // Exchanges the high and low 4-bit halves of every byte.
    void SwapNibbles();
    // Counts the text up like an odometer: digits in "0".."9", other bytes in
    // "a".."z" (capitals lower-cased first, bytes above "z" count as the top);
    // a carry out of the first byte is dropped.
    void Increment();
    // Case mapping in place: single bytes by tolower/toupper, double-byte
    // full-width Latin letters of the Japanese code pages by their mapping.
    void ToLower();
    void ToUpper();

    // ---- Comparison and search
    // A null text equals the empty string.
    bool Equals(const char* text, int mode) const;
    bool Equals(const CVornString& other, int mode) const;
    // -1, 0 or 1; on an equal common part the longer text is greater. A null
    // text gives 1 for a non-empty string and 0 for an empty one.
    int Compare(const char* text, int mode) const;
    int Compare(const CVornString& other, int mode) const;
    // A null text gives IsEmpty().
    bool StartsWith(const char* text, int mode) const;
    bool StartsWith(const CVornString& other, int mode) const;
    bool StartsWith(char c, int mode) const;
    // The first character is a single-byte character in set.
    bool StartsWithOneOf(const char* set) const;
    // The last character is the single-byte character c.
    bool EndsWith(char c) const;
    bool Contains(char c) const;
    // The text occurs at a character boundary under mode; null or empty: true.
    bool Contains(const char* text, int mode) const;
    // Every single-byte character is in set (double-byte ones are not
    // examined); true for an empty string.
    bool ContainsOnly(const char* set) const;
    // Position of the first single-byte character c, -1 when none.
    int Find(char c) const;
    // Position of the first occurrence under mode, -1 when none or when the
    // text is null or empty. Modes 0 and 1 try character boundaries only,
    // modes 2 and 3 every byte.
    int Find(const char* text, int mode) const;

    // ---- Cutting into parts. Targets may be this string itself; the source
    // and the targets are all locked (in address order) for the whole call.
    // On false the targets are unchanged.
    bool LeftOf(char c, CVornString& target) const;
    bool RightOf(char c, CVornString& target) const;
    // Left and right of the first single-byte c (c dropped).
    bool SplitAt(char c, CVornString& left, CVornString& right) const;
    // The same at the first single-byte character in set; *found (may be null)
    // receives it.
    bool SplitAtFirstOf(const char* set, char* found, CVornString& left, CVornString& right) const;
    // left = the first pos bytes, right = the rest; false when pos < 0 or
    // pos >= length.
    bool SplitAt(int pos, CVornString& left, CVornString& right) const;

    // ---- Numbers: atoi / atol of the text (0 when there is no number).
    int ToInt() const;
    long ToLong() const;

    // ---- Formatting (core/vorn_string_format.cpp)
    // Replaces the text with fmt filled with the arguments, one overload per
    // argument list (s = const char*, i = int). A null fmt changes nothing; a
    // null s prints as "". fmt is first checked against the argument kinds
    // (FormatMatches, core/format_check.h), since formats often come from the
    // message catalogue: a format whose conversions do not match in kind and
    // number (and "%n", "*" widths, positional arguments) is never handed to
    // printf; the text then becomes fmt itself with no conversion expanded and
    // an ERROR line goes to the debug log. The result is measured before it
    // is written, so no format or argument can write past the storage, and
    // fmt and the arguments may point into this string.
    void Format(const char* fmt, const char* s);
    void Format(const char* fmt, const char* s, int i);
    void Format(const char* fmt, const char* s, int i1, int i2);
    void Format(const char* fmt, const char* s1, const char* s2);
    void Format(const char* fmt, const char* s1, const char* s2, const char* s3);
    void Format(const char* fmt, const char* s1, const char* s2, const char* s3, const char* s4);
    void Format(const char* fmt, const char* s1, const char* s2, const char* s3, const char* s4,
                const char* s5);
    void Format(const char* fmt, const char* s1, const char* s2, const char* s3, const char* s4,
                const char* s5, const char* s6, const char* s7, const char* s8);
    void Format(const char* fmt, const char* s1, const char* s2, int i);
    void Format(const char* fmt, int i);
    void Format(const char* fmt, int i1, int i2);
    void Format(const char* fmt, int i1, int i2, int i3);
    void Format(const char* fmt, int i, const char* s);
    void Format(const char* fmt, int i1, int i2, const char* s);
    void Format(const char* fmt, int i1, int i2, int i3, int i4, int i5);
    void Format(const char* fmt, int i1, int i2, int i3, int i4, int i5, int i6);

    // ---- URL and HTML text (core/vorn_string_format.cpp)
    // Percent-encodes in place: single-byte characters that are isalnum (the
    // process locale) or one of "!'()*-._~" stay, as do "/" with keepSlash
    // and "+" with keepPlus; every other byte, and every byte of a double-byte
    // character, becomes "%" and two upper-case hex digits. Returns *this.
    CVornString& UrlEncode(bool keepSlash, bool keepPlus);
    // Decodes in place: "+" becomes a blank unless keepPlus; "%" and the two
    // bytes after it become one byte (a digit counts its value, any other
    // byte its low three bits + 9, so hex letters of either case work; other
    // bytes are not refused); a "%" with fewer than two bytes after it stays.
    void UrlDecode(bool keepPlus);
    // Turns a plain CR LF text (a mail body) into HTML in place: tabs
    // expanded to 8 columns, "&", "<" and ">" escaped, web, ftp and mail
    // addresses made links (mailPrefix, null counting as "", goes before a
    // mail address in its link; a double quote in a link address is written
    // as "&quot;"), blank lines as "<P>", line ends as "<BR>", runs of blanks
    // as "&nbsp;". Lines must end in CR LF: the lines of an LF-only text run
    // together. Always true.
    bool ToHtml(const char* mailPrefix);
    // Shift-JIS -> ISO-2022-JP in place (the text up to its first NUL byte);
    // texts of any length. An empty string is left alone.
    void SjisToJis();
    // As SjisToJis, then the text becomes the header word
    // "=?iso-2022-jp?B?" + base64 of the ISO-2022-JP text + "?=". An empty
    // string is left alone.
    void EncodeJisWord();

private:
    friend class CVornBuffer;
    friend class CVornStringPairLock;

    // Append's general path: checks, lock, growth.
    void appendChecked(const void* bytes, int n);

    // Compares n bytes of this string at p with text under mode: 0 equal;
    // 1 when p + n passes the end; modes 2/3 the difference of the first
    // differing bytes; other modes -1 or 1.
    int compareAt(const char* text, int p, int n, int mode) const;
    // The capacity rule for n bytes; keep copies the text into a new block,
    // otherwise the length becomes 0. Throws std::bad_alloc before touching
    // anything.
    void grow(int n, bool keep);
    // left = the first n bytes, right = the bytes after n + skip.
    void splitAt(int n, int skip, CVornString& left, CVornString& right) const;

    // The formatter family's one body: checks fmt against kinds ("s"/"d" per
    // argument), measures, reserves and writes (core/vorn_string_format.cpp).
    template <typename... Args>
    void formatWith(const char* fmt, const char* kinds, Args... args);

    // The steps of ToHtml, each rewriting the whole text (callers hold the
    // lock). linkifyWord and appendLink append to out, the text being built
    // (a growable buffer defined in core/vorn_string_format.cpp).
    struct TextBuilder;
    void expandTabs();
    void escapeHtml();
    void linkify(const char* mailPrefix);
    static void linkifyWord(const char* word, int n, const char* mailPrefix, TextBuilder& out);
    static void appendLink(const char* word, int n, const char* scheme, TextBuilder& out);
    // The text becomes the built bytes (the capacity rule for their length).
    void takeText(const TextBuilder& built);
    void addParagraphs();
    void addBreaks();
    void nbspRuns();

    // Helpers shared by the operations above (callers hold the locks).
    int charLen(int pos) const;
    int findChar(char c) const;
    int findText(const char* text, int n, int mode, bool everyByte) const;
    void setBytes(const void* bytes, int n);
    void appendBytes(const void* bytes, int n);
    void insertFront(const void* bytes, int n);
    void freeStorage();
    bool overlaps(const void* bytes) const;
    // put(bytes, n) on a copy when bytes lie inside our block: true when done.
    bool putCopyIfOverlapping(void (CVornString::*put)(const void*, int), const void* bytes, int n);

    char* m_Data = nullptr;
    int m_Length = 0;
    int m_Capacity = 0;
    bool m_Locked = false;
    CVornLock* m_Lock = nullptr;  // owned; exists exactly when m_Locked
};

// Appends n bytes (nothing when n <= 0), growing the capacity geometrically:
// the string itself grows to just what is asked, which makes a value built
// piece by piece (header and folded values) copy itself over and over.
void AppendGrowing(CVornString& target, const char* bytes, int n);

// Bytes of which the HTML conversion builds words: the ASCII letters, digits
// and "_" (IsWordChar), and the printable ASCII bytes 33 to 126 (IsGraphChar).
bool IsWordChar(unsigned char c);
bool IsGraphChar(unsigned char c);

// Holds the locks of two strings for a scope, taken in address order so that
// two holders of the same pair never deadlock. The lock of a string that is
// given twice is taken once; unlocked strings are skipped. Not copyable.
class CVornStringPairLock {
public:
    CVornStringPairLock(const CVornString& a, const CVornString& b);
    ~CVornStringPairLock();
    CVornStringPairLock(const CVornStringPairLock&) = delete;
    CVornStringPairLock& operator=(const CVornStringPairLock&) = delete;

private:
    CVornLock* m_First;
    CVornLock* m_Second;
};

// Holds one string's own lock for a scope (nothing for an unlocked string),
// released also when an exception leaves the scope. Not copyable.
class CVornStringLockGuard {
public:
    explicit CVornStringLockGuard(const CVornString& s) : m_String(s) { m_String.Lock(); }
    ~CVornStringLockGuard() { m_String.Unlock(); }
    CVornStringLockGuard(const CVornStringLockGuard&) = delete;
    CVornStringLockGuard& operator=(const CVornStringLockGuard&) = delete;

private:
    const CVornString& m_String;
};
