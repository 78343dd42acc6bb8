// CVornString: text and byte string with its own recursive lock.
//
// Public operations (see core/vorn_string.h for the contracts):
//   construction, CStr, Data, Duplicate, Reserve, Clear, KeepLeft/KeepRight
//   Assign/AssignInt/AssignLong/Swap           replace or exchange the text
//   ReadBytes/ReadByte/ReadUInt16/ReadUInt32   bounded binary readers
//   Append*/Prepend/AddPrefix/RemovePrefix     grow the text
//   TrimLeft/TrimRight/Unquote/RemoveChar/SqueezeChar/ReplaceChar*/
//   SwapNibbles/Increment/ToLower/ToUpper     rewrite the text in place
//   Equals/Compare/StartsWith*/EndsWith/Contains*/ContainsOnly/Find
//   LeftOf/RightOf/SplitAt/SplitAtFirstOf      cut into target strings
//   ToInt/ToLong                               atoi/atol of the text
//   CVornStringPairLock                        two strings' locks in address order
//   AppendGrowing                              append with geometric growth
//
// Bad input: negative or overflowing positions and counts are refused with
// the documented false / -1 / 0 result and never read or write outside the
// storage; null texts are handled as each operation documents. A size that
// does not fit an int throws std::bad_alloc like an exhausted heap: new
// storage is always obtained before the old one is touched, so the string
// keeps its text, and scope holders release every lock taken.
#include "core/vorn_string.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "core/code_page.h"

namespace {

// Room the capacity rule keeps beyond the text, and the slack it allocates.
constexpr int kSpare = CVornString::kSpareBytes;
constexpr int kSlack = 32;
// Enough for the decimal text of any int or long, as the number writers
// reserve it.
constexpr int kNumberRoom = 41;

// a + b for sizes; a sum that does not fit an int is treated as an
// allocation the heap cannot satisfy.
int addSize(int a, int b) {
    if (b > INT_MAX - a)
        throw std::bad_alloc();
    return a + b;
}

int strLength(const char* text) {
    size_t n = strlen(text);
    if (n > static_cast<size_t>(INT_MAX - kSlack))
        throw std::bad_alloc();
    return static_cast<int>(n);
}

// A set member is a byte of the C string set; NUL can never be one.
bool inSet(const char* set, unsigned char b) {
    return b != 0 && strchr(set, b) != nullptr;
}

int sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

unsigned char lowerByte(unsigned char b) {
    return static_cast<unsigned char>(tolower(b));
}

// The table length of the character whose lead byte is b.
int tableLength(unsigned char b) {
    return g_CodePage.CharLength(b);
}

// Holds the locks of up to three strings, taken in address order with
// duplicates taken once, so that every operation on several strings agrees
// with every other on the order.
class StringLocks {
public:
    StringLocks(const CVornString* a, const CVornString* b, const CVornString* c) {
        const CVornString* all[3] = {a, b, c};
        std::less<const CVornString*> before;
        for (int i = 0; i < 3; ++i)
            for (int j = i + 1; j < 3; ++j)
                if (before(all[j], all[i]))
                    std::swap(all[i], all[j]);
        for (const CVornString* s : all)
            if (m_Count == 0 || m_Held[m_Count - 1] != s)
                m_Held[m_Count++] = s;
        for (int i = 0; i < m_Count; ++i) m_Held[i]->Lock();
    }
    ~StringLocks() {
        for (int i = m_Count; i-- > 0;) m_Held[i]->Unlock();
    }
    StringLocks(const StringLocks&) = delete;
    StringLocks& operator=(const StringLocks&) = delete;

private:
    const CVornString* m_Held[3] = {};
    int m_Count = 0;
};

}  // namespace

// ---------------------------------------------------------------- locking

CVornStringPairLock::CVornStringPairLock(const CVornString& a, const CVornString& b)
    : m_First(nullptr), m_Second(nullptr) {
    const CVornString* first = &a;
    const CVornString* second = &b;
    if (std::less<const CVornString*>()(second, first))
        std::swap(first, second);
    m_First = first->m_Lock;
    m_Second = first == second ? nullptr : second->m_Lock;
    if (m_First)
        m_First->Lock();
    if (m_Second) {
        try {
            m_Second->Lock();
        } catch (...) {
            if (m_First)
                m_First->Unlock();
            throw;
        }
    }
}

CVornStringPairLock::~CVornStringPairLock() {
    if (m_Second)
        m_Second->Unlock();
    if (m_First)
        m_First->Unlock();
}

void CVornString::Lock() const {
    if (m_Lock)
        m_Lock->Lock();
}

void CVornString::Unlock() const {
    if (m_Lock)
        m_Lock->Unlock();
}

// ---------------------------------------------------------------- construction

CVornString::CVornString(LockMode mode) : m_Locked(mode != kUnlocked) {
    if (m_Locked)
        m_Lock = new CVornLock();
}

CVornString::CVornString(const char* text, LockMode mode) : CVornString(mode) {
    if (text) {
        // The delegated constructor has finished, so the destructor frees the
        // lock should this allocation fail.
        int n = strLength(text);
        m_Data = new char[n + kSlack];
        m_Capacity = n + kSlack;
        memcpy(m_Data, text, n);
        m_Length = n;
    }
}

CVornString::CVornString(const CVornString& other, LockMode mode) : CVornString(mode) {
    CVornLockGuard guard(other.m_Lock);
    int n = other.m_Length;
    if (n > INT_MAX - kSlack)
        throw std::bad_alloc();
    m_Data = new char[n + kSlack];
    m_Capacity = n + kSlack;
    if (n > 0)
        memcpy(m_Data, other.m_Data, n);
    m_Length = n;
}

CVornString::CVornString(const void* bytes, int n, LockMode mode) : CVornString(mode) {
    if (bytes && n > 0) {
        if (n > INT_MAX - kSlack)
            throw std::bad_alloc();
        m_Data = new char[n + kSlack];
        m_Capacity = n + kSlack;
        memcpy(m_Data, bytes, n);
        m_Length = n;
    }
}

CVornString::CVornString(CVornString&& other) : CVornString(kLocked) {
    CVornLockGuard guard(other.m_Lock);
    std::swap(m_Data, other.m_Data);
    std::swap(m_Length, other.m_Length);
    std::swap(m_Capacity, other.m_Capacity);
}

CVornString::~CVornString() {
    delete[] m_Data;
    delete m_Lock;
}

CVornString& CVornString::operator=(const CVornString& other) {
    Assign(other);
    return *this;
}

CVornString& CVornString::operator=(CVornString&& other) noexcept {
    if (&other == this)
        return *this;
    CVornStringPairLock locks(*this, other);
    delete[] m_Data;
    m_Data = other.m_Data;
    m_Length = other.m_Length;
    m_Capacity = other.m_Capacity;
    other.m_Data = nullptr;
    other.m_Length = 0;
    other.m_Capacity = 0;
    return *this;
}

// ---------------------------------------------------------------- private helpers

void CVornString::grow(int n, bool keep) {
    if (n < 0)
        n = 0;
    if (n > INT_MAX - kSlack)
        throw std::bad_alloc();
    if (m_Capacity >= n + kSpare)
        return;
    char* block = new char[n + kSlack];
    if (keep) {
        // The capacity never falls below the length, so the text fits; the
        // bound guards against a block handed in with a wrong size.
        int keepBytes = m_Length < n + kSlack ? m_Length : n + kSlack;
        if (keepBytes > 0)
            memcpy(block, m_Data, keepBytes);
        m_Length = keepBytes;
    } else {
        m_Length = 0;
    }
    delete[] m_Data;
    m_Data = block;
    m_Capacity = n + kSlack;
}

void CVornString::freeStorage() {
    delete[] m_Data;
    m_Data = nullptr;
    m_Length = 0;
    m_Capacity = 0;
}

bool CVornString::overlaps(const void* bytes) const {
    if (!m_Data)
        return false;
    auto p = reinterpret_cast<uintptr_t>(bytes);
    auto start = reinterpret_cast<uintptr_t>(m_Data);
    return p >= start && p < start + static_cast<uintptr_t>(m_Capacity);
}

int CVornString::charLen(int pos) const {
    int length = tableLength(static_cast<unsigned char>(m_Data[pos]));
    int rest = m_Length - pos;
    return length < rest ? length : rest;
}

// A source inside our own block is copied aside first, since growing would
// free it: true when put has run on the copy.
bool CVornString::putCopyIfOverlapping(void (CVornString::*put)(const void*, int),
                                       const void* bytes, int n) {
    if (!overlaps(bytes))
        return false;
    std::string aside(static_cast<const char*>(bytes), n);
    (this->*put)(aside.data(), n);
    return true;
}

// REQUIRES n > 0.
void CVornString::setBytes(const void* bytes, int n) {
    if (putCopyIfOverlapping(&CVornString::setBytes, bytes, n))
        return;
    grow(n, false);
    memcpy(m_Data, bytes, n);
    m_Length = n;
}

// REQUIRES n > 0.
void CVornString::appendBytes(const void* bytes, int n) {
    if (putCopyIfOverlapping(&CVornString::appendBytes, bytes, n))
        return;
    int need = addSize(m_Length, n);
    grow(need, true);
    memcpy(m_Data + m_Length, bytes, n);
    m_Length = need;
}

// REQUIRES n > 0.
void CVornString::insertFront(const void* bytes, int n) {
    if (putCopyIfOverlapping(&CVornString::insertFront, bytes, n))
        return;
    int need = addSize(m_Length, n);
    grow(need, true);
    memmove(m_Data + n, m_Data, m_Length);
    memcpy(m_Data, bytes, n);
    m_Length = need;
}

int CVornString::compareAt(const char* text, int p, int n, int mode) const {
    if (n <= 0)
        return 0;
    if (p < 0 || p > m_Length - n)
        return 1;
    const char* here = m_Data + p;
    if (here == text)
        return 0;
    auto s = reinterpret_cast<const unsigned char*>(here);
    auto t = reinterpret_cast<const unsigned char*>(text);
    if (mode == 3) {
        if (memcmp(s, t, n) == 0)
            return 0;
        for (int i = 0; i < n; ++i)
            if (s[i] != t[i])
                return s[i] - t[i];
        return 0;
    }
    if (mode == 2) {
        for (int i = 0; i < n; ++i) {
            if (s[i] == t[i])
                continue;
            int a = lowerByte(s[i]);
            int b = lowerByte(t[i]);
            if (a != b)
                return a - b;
        }
        return 0;
    }
    if (mode != 0) {
        // Exact by characters: both sides split into characters by the same
        // table, so they stay in step up to the first difference, and the
        // first differing byte decides.
        int r = memcmp(s, t, n);
        return sign(r);
    }
    // Mode 0: case-insensitive by characters.
    if (g_CodePage.IsSingleByte()) {
        for (int i = 0; i < n; ++i) {
            if (s[i] == t[i])
                continue;
            int a = lowerByte(s[i]);
            int b = lowerByte(t[i]);
            if (a != b)
                return a < b ? -1 : 1;
        }
        return 0;
    }
    int i = 0;
    while (i < n) {
        int ls = tableLength(s[i]);
        int lt = tableLength(t[i]);
        // A character never reaches beyond the n bytes being compared.
        if (ls > n - i)
            ls = n - i;
        if (lt > n - i)
            lt = n - i;
        unsigned char a[4];
        unsigned char b[4];
        memcpy(a, s + i, ls);
        memcpy(b, t + i, lt);
        if (ls == 1) {
            a[0] = lowerByte(a[0]);
        } else {
            g_CodePage.LowerChar(a, ls);
        }
        if (lt == 1) {
            b[0] = lowerByte(b[0]);
        } else {
            g_CodePage.LowerChar(b, lt);
        }
        int common = ls < lt ? ls : lt;
        int r = memcmp(a, b, common);
        if (r != 0)
            return r < 0 ? -1 : 1;
        if (ls != lt)
            return ls < lt ? -1 : 1;
        i += ls;
    }
    return 0;
}

int CVornString::findChar(char c) const {
    if (m_Length == 0)
        return -1;
    auto b = static_cast<unsigned char>(c);
    if (g_CodePage.IsSingleByte()) {
        const void* hit = memchr(m_Data, b, m_Length);
        return hit ? static_cast<int>(static_cast<const char*>(hit) - m_Data) : -1;
    }
    // A byte equal to c that does not start a one-byte character (a trail
    // byte, or a lead byte) never matches.
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    for (int p = 0; p < m_Length;) {
        int length = tableLength(s[p]);
        if (length == 1 && s[p] == b)
            return p;
        p += length;
    }
    return -1;
}

// First position of the n-byte text under mode; everyByte tries every byte
// position, otherwise only character boundaries.
int CVornString::findText(const char* text, int n, int mode, bool everyByte) const {
    if (n <= 0 || n > m_Length)
        return -1;
    int last = m_Length - n;
    bool single = g_CodePage.IsSingleByte();
    bool exact = mode != 0 && mode != 2;
    bool bytewise = everyByte || single;
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    auto t = reinterpret_cast<const unsigned char*>(text);
    if (exact && bytewise) {
        const void* hit = memmem(m_Data, m_Length, text, n);
        return hit ? static_cast<int>(static_cast<const char*>(hit) - m_Data) : -1;
    }
    if (exact) {
        for (int p = 0; p <= last; p += charLen(p))
            if (s[p] == t[0] && memcmp(s + p, t, n) == 0)
                return p;
        return -1;
    }
    if (mode == 2 || single) {
        // Byte-wise case-insensitive: modes 2, and 0 in a single-byte code
        // page, where a character is a byte.
        unsigned char first = lowerByte(t[0]);
        for (int p = 0; p <= last; p += bytewise ? 1 : charLen(p))
            if (lowerByte(s[p]) == first && compareAt(text, p, n, 2) == 0)
                return p;
        return -1;
    }
    // Mode 0 by characters. Case mapping changes a single byte, or only the
    // trail byte of a double-byte letter, so the first byte filters cheaply.
    bool firstIsSingle = tableLength(t[0]) == 1;
    unsigned char first = firstIsSingle ? lowerByte(t[0]) : t[0];
    for (int p = 0; p <= last; p += charLen(p)) {
        bool candidate =
            firstIsSingle ? tableLength(s[p]) == 1 && lowerByte(s[p]) == first : s[p] == first;
        if (candidate && compareAt(text, p, n, mode) == 0)
            return p;
    }
    return -1;
}

void CVornString::splitAt(int n, int skip, CVornString& left, CVornString& right) const {
    // Writes to a target that is this string itself come last, after the
    // other target has taken its bytes; when both targets are one string it
    // ends up holding the right part.
    auto put = [](CVornString& target, const char* bytes, int count) {
        if (count > 0) {
            target.setBytes(bytes, count);
        } else {
            target.m_Length = 0;
        }
    };
    int restStart = n + skip;
    int restLength = m_Length - restStart;
    if (&right == this) {
        if (&left != this)
            put(left, m_Data, n);
        auto self = const_cast<CVornString*>(this);
        if (restLength > 0)
            memmove(self->m_Data, self->m_Data + restStart, restLength);
        self->m_Length = restLength;
    } else if (&left == this) {
        put(right, m_Data + restStart, restLength);
        const_cast<CVornString*>(this)->m_Length = n;
    } else {
        put(left, m_Data, n);
        put(right, m_Data + restStart, restLength);
    }
}

// ---------------------------------------------------------------- access

int CVornString::Length() const {
    CVornLockGuard guard(m_Lock);
    return m_Length;
}

bool CVornString::IsEmpty() const {
    CVornLockGuard guard(m_Lock);
    return m_Length == 0;
}

int CVornString::Capacity() const {
    CVornLockGuard guard(m_Lock);
    return m_Capacity;
}

char CVornString::CharAt(int pos) const {
    CVornLockGuard guard(m_Lock);
    if (pos < 0 || pos >= m_Length)
        return 0;
    return m_Data[pos];
}

int CVornString::NextCharPos(int pos) const {
    CVornLockGuard guard(m_Lock);
    if (pos < 0 || pos >= m_Length)
        return 0;
    return pos + charLen(pos);
}

char* CVornString::CStr() {
    CVornLockGuard guard(m_Lock);
    // The capacity rule always leaves spare bytes after the text; an empty
    // string without storage gets a block of exactly 32 bytes.
    grow(m_Length, true);
    m_Data[m_Length] = 0;
    return m_Data;
}

char* CVornString::Duplicate() const {
    CVornLockGuard guard(m_Lock);
    int n = m_Length;
    if (n > 0) {
        const void* nul = memchr(m_Data, 0, n);
        if (nul)
            n = static_cast<int>(static_cast<const char*>(nul) - m_Data);
    }
    char* copy = new char[static_cast<size_t>(n) + 1];
    if (n > 0)
        memcpy(copy, m_Data, n);
    copy[n] = 0;
    return copy;
}

void CVornString::Reserve(int n) {
    if (n < 0)
        return;
    CVornLockGuard guard(m_Lock);
    grow(n, true);
}

void CVornString::Clear() {
    CVornLockGuard guard(m_Lock);
    m_Length = 0;
}

void CVornString::KeepLeft(int n) {
    CVornLockGuard guard(m_Lock);
    if (n < 0)
        n = 0;
    if (n < m_Length)
        m_Length = n;
}

void CVornString::KeepRight(int n) {
    CVornLockGuard guard(m_Lock);
    if (n < 0)
        n = 0;
    if (n >= m_Length)
        return;
    if (n > 0)
        memmove(m_Data, m_Data + m_Length - n, n);
    m_Length = n;
}

// ---------------------------------------------------------------- assignment

void CVornString::Assign(const char* text) {
    CVornLockGuard guard(m_Lock);
    if (!text) {
        freeStorage();
        return;
    }
    int n = strLength(text);
    if (n == 0) {
        m_Length = 0;
        return;
    }
    setBytes(text, n);
}

void CVornString::Assign(const void* bytes, int n) {
    CVornLockGuard guard(m_Lock);
    if (!bytes || n <= 0) {
        freeStorage();
        return;
    }
    setBytes(bytes, n);
}

void CVornString::Assign(const CVornString& other) {
    if (&other == this)
        return;
    CVornStringPairLock locks(*this, other);
    // As Assign(bytes, n): an empty source leaves this string without storage.
    if (other.m_Length <= 0) {
        freeStorage();
        return;
    }
    setBytes(other.m_Data, other.m_Length);
}

void CVornString::Assign(char c) {
    CVornLockGuard guard(m_Lock);
    setBytes(&c, 1);
}

void CVornString::AssignInt(int v) {
    CVornLockGuard guard(m_Lock);
    grow(kNumberRoom, false);
    m_Length = snprintf(m_Data, kNumberRoom, "%d", v);
}

void CVornString::AssignLong(long v) {
    CVornLockGuard guard(m_Lock);
    grow(kNumberRoom, false);
    m_Length = snprintf(m_Data, kNumberRoom, "%ld", v);
}

void CVornString::Swap(CVornString& other) {
    if (&other == this)
        return;
    CVornStringPairLock locks(*this, other);
    std::swap(m_Data, other.m_Data);
    std::swap(m_Length, other.m_Length);
    std::swap(m_Capacity, other.m_Capacity);
}

// ---------------------------------------------------------------- binary readers and writers

bool CVornString::ReadBytes(int& offset, void* dst, int n) const {
    CVornLockGuard guard(m_Lock);
    if (n < 0 || offset < 0 || offset > m_Length || n > m_Length - offset)
        return false;
    if (n == 0)
        return true;
    if (!dst)
        return false;
    memcpy(dst, m_Data + offset, n);
    offset += n;
    return true;
}

bool CVornString::ReadByte(int& offset, unsigned char* dst) const {
    return ReadBytes(offset, dst, 1);
}

bool CVornString::ReadUInt16(int& offset, unsigned short* dst, int order) const {
    unsigned char b[2];
    if (!dst || !ReadBytes(offset, b, 2))
        return false;
    if (order == 0) {
        *dst = static_cast<unsigned short>((b[0] << 8) | b[1]);
    } else {
        memcpy(dst, b, 2);
    }
    return true;
}

bool CVornString::ReadUInt32(int& offset, unsigned int* dst, int order) const {
    unsigned char b[4];
    if (!dst || !ReadBytes(offset, b, 4))
        return false;
    if (order == 0) {
        *dst = (static_cast<unsigned int>(b[0]) << 24) | (static_cast<unsigned int>(b[1]) << 16) |
               (static_cast<unsigned int>(b[2]) << 8) | b[3];
    } else {
        memcpy(dst, b, 4);
    }
    return true;
}

void CVornString::AppendUInt16(unsigned short v, int order) {
    unsigned char b[2];
    if (order == 0) {
        b[0] = static_cast<unsigned char>(v >> 8);
        b[1] = static_cast<unsigned char>(v & 0xFF);
    } else {
        memcpy(b, &v, 2);
    }
    Append(b, 2);
}

// ---------------------------------------------------------------- appending and prefixes

void CVornString::appendChecked(const void* bytes, int n) {
    if (!bytes || n <= 0)
        return;
    CVornLockGuard guard(m_Lock);
    appendBytes(bytes, n);
}

void CVornString::Append(const char* text) {
    if (!text || !*text)
        return;
    CVornLockGuard guard(m_Lock);
    appendBytes(text, strLength(text));
}

void CVornString::Append(const CVornString& other) {
    CVornStringPairLock locks(*this, other);
    // Our own bytes are copied aside by appendBytes, so a string appended to
    // itself doubles.
    if (other.m_Length > 0)
        appendBytes(other.m_Data, other.m_Length);
}

void CVornString::AppendInt(int v) {
    CVornLockGuard guard(m_Lock);
    grow(addSize(m_Length, kNumberRoom), true);
    m_Length += snprintf(m_Data + m_Length, kNumberRoom, "%d", v);
}

void CVornString::Prepend(const char* text) {
    if (!text || !*text)
        return;
    CVornLockGuard guard(m_Lock);
    insertFront(text, strLength(text));
}

void CVornString::Prepend(char c) {
    CVornLockGuard guard(m_Lock);
    insertFront(&c, 1);
}

void CVornString::AddPrefix(const char* text, int mode) {
    if (!text || !*text)
        return;
    CVornLockGuard guard(m_Lock);
    int n = strLength(text);
    if (compareAt(text, 0, n, mode) != 0)
        insertFront(text, n);
}

void CVornString::AddPrefix(char c, int mode) {
    CVornLockGuard guard(m_Lock);
    if (compareAt(&c, 0, 1, mode) != 0)
        insertFront(&c, 1);
}

bool CVornString::RemovePrefix(const char* text, int mode) {
    CVornLockGuard guard(m_Lock);
    if (!text)
        return m_Length == 0;
    int n = strLength(text);
    if (compareAt(text, 0, n, mode) != 0)
        return false;
    if (n > 0) {
        memmove(m_Data, m_Data + n, m_Length - n);
        m_Length -= n;
    }
    return true;
}

bool CVornString::RemovePrefix(char c, int mode) {
    CVornLockGuard guard(m_Lock);
    if (compareAt(&c, 0, 1, mode) != 0)
        return false;
    memmove(m_Data, m_Data + 1, m_Length - 1);
    m_Length -= 1;
    return true;
}

// ---------------------------------------------------------------- trimming and rebuilding

void CVornString::TrimRight(const char* set) {
    if (!set)
        set = "\r\n";
    CVornLockGuard guard(m_Lock);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    if (g_CodePage.IsSingleByte()) {
        while (m_Length > 0 && inSet(set, s[m_Length - 1])) --m_Length;
        return;
    }
    // Walking from the start is the only way to know where the characters
    // begin: a trail byte equal to a set member must stay.
    int keep = 0;
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        if (!(tableLength(s[p]) == 1 && inSet(set, s[p])))
            keep = p + length;
        p += length;
    }
    m_Length = keep;
}

void CVornString::TrimLeft(const char* set) {
    if (!set)
        set = "\r\n";
    CVornLockGuard guard(m_Lock);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    int p = 0;
    while (p < m_Length && tableLength(s[p]) == 1 && inSet(set, s[p])) ++p;
    if (p == 0)
        return;
    memmove(m_Data, m_Data + p, m_Length - p);
    m_Length -= p;
}

// The rebuilding operations never lengthen the text, so they work in place and
// the block (and its capacity) stays.
void CVornString::Unquote() {
    CVornLockGuard guard(m_Lock);
    auto s = reinterpret_cast<unsigned char*>(m_Data);
    bool quoted = false;
    int out = 0;
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        unsigned char b = s[p];
        if (length == 1 && tableLength(b) == 1) {
            if (b == '"') {
                quoted = !quoted;
                p += 1;
                continue;
            }
            if (b == '\\' && !quoted && p + 1 < m_Length) {
                // The protected character is taken whole, whatever it is.
                p += 1;
                length = charLen(p);
            }
        }
        memmove(s + out, s + p, length);
        out += length;
        p += length;
    }
    m_Length = out;
}

namespace {

// Compacts text of length bytes in place, character by character, keeping a
// character when keep(isC) says so (isC: it is the single-byte character c).
// charLen(p) gives the length of the character at p. Returns the new length.
template <typename CharLen, typename Keep>
int CompactChars(unsigned char* text, int length, unsigned char c, CharLen charLen, Keep keep) {
    int out = 0;
    for (int p = 0; p < length;) {
        int n = charLen(p);
        bool isC = tableLength(text[p]) == 1 && text[p] == c;
        if (keep(isC)) {
            memmove(text + out, text + p, n);
            out += n;
        }
        p += n;
    }
    return out;
}

}  // namespace

void CVornString::RemoveChar(char c) {
    CVornLockGuard guard(m_Lock);
    m_Length = CompactChars(
        reinterpret_cast<unsigned char*>(m_Data), m_Length, static_cast<unsigned char>(c),
        [this](int p) { return charLen(p); }, [](bool isC) { return !isC; });
}

void CVornString::SqueezeChar(char c) {
    CVornLockGuard guard(m_Lock);
    bool previousWasC = false;
    m_Length = CompactChars(
        reinterpret_cast<unsigned char*>(m_Data), m_Length, static_cast<unsigned char>(c),
        [this](int p) { return charLen(p); },
        [&previousWasC](bool isC) {
            bool keep = !(isC && previousWasC);
            previousWasC = isC;
            return keep;
        });
}

void CVornString::ReplaceChar(char c, char by) {
    CVornLockGuard guard(m_Lock);
    if (c == 0) {
        for (int p = 0; p < m_Length; ++p)
            if (m_Data[p] == 0)
                m_Data[p] = by;
        return;
    }
    auto s = reinterpret_cast<unsigned char*>(m_Data);
    auto target = static_cast<unsigned char>(c);
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        if (tableLength(s[p]) == 1 && s[p] == target)
            s[p] = static_cast<unsigned char>(by);
        p += length;
    }
}

void CVornString::ReplaceCharWithText(char c, const char* by) {
    if (c == 0 || !by)
        return;
    CVornLockGuard guard(m_Lock);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    auto target = static_cast<unsigned char>(c);
    long long count = 0;
    for (int p = 0; p < m_Length; p += charLen(p))
        if (tableLength(s[p]) == 1 && s[p] == target)
            ++count;
    if (count == 0)
        return;
    int byLength = strLength(by);
    long long newLength = m_Length + count * (byLength - 1);
    if (newLength > INT_MAX - kSlack)
        throw std::bad_alloc();
    int need = static_cast<int>(newLength);
    int capacity = m_Capacity >= need + kSpare ? m_Capacity : need + kSlack;
    // Built in a new block: the replacement may be longer than the byte it
    // replaces, and "by" may even point into our own text.
    char* block = new char[capacity];
    int out = 0;
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        if (tableLength(s[p]) == 1 && s[p] == target) {
            memcpy(block + out, by, byLength);
            out += byLength;
        } else {
            memcpy(block + out, s + p, length);
            out += length;
        }
        p += length;
    }
    delete[] m_Data;
    m_Data = block;
    m_Capacity = capacity;
    m_Length = out;
}

void CVornString::SwapNibbles() {
    CVornLockGuard guard(m_Lock);
    for (int p = 0; p < m_Length; ++p) {
        auto b = static_cast<unsigned char>(m_Data[p]);
        m_Data[p] = static_cast<char>(static_cast<unsigned char>((b << 4) | (b >> 4)));
    }
}

void CVornString::Increment() {
    CVornLockGuard guard(m_Lock);
    for (int p = m_Length - 1; p >= 0; --p) {
        auto b = static_cast<unsigned char>(m_Data[p]);
        unsigned char bottom = 'a';
        unsigned char top = 'z';
        if (b >= '0' && b <= '9') {
            bottom = '0';
            top = '9';
        } else {
            b = lowerByte(b);
        }
        // A byte already above the top of its range counts as the top, so
        // that it wraps instead of leaving the range for good.
        if (b < top) {
            m_Data[p] = static_cast<char>(b + 1);
            return;
        }
        m_Data[p] = static_cast<char>(bottom);
    }
}

void CVornString::ToLower() {
    CVornLockGuard guard(m_Lock);
    auto s = reinterpret_cast<unsigned char*>(m_Data);
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        int full = tableLength(s[p]);
        if (full == 1) {
            s[p] = lowerByte(s[p]);
        } else if (length == full) {
            g_CodePage.LowerChar(s + p, length);
        }
        p += length;
    }
}

void CVornString::ToUpper() {
    CVornLockGuard guard(m_Lock);
    auto s = reinterpret_cast<unsigned char*>(m_Data);
    for (int p = 0; p < m_Length;) {
        int length = charLen(p);
        int full = tableLength(s[p]);
        if (full == 1) {
            s[p] = static_cast<unsigned char>(toupper(s[p]));
        } else if (length == full) {
            g_CodePage.UpperChar(s + p, length);
        }
        p += length;
    }
}

// ---------------------------------------------------------------- comparison and search

bool CVornString::Equals(const char* text, int mode) const {
    CVornLockGuard guard(m_Lock);
    if (!text)
        return m_Length == 0;
    size_t n = strlen(text);
    return n == static_cast<size_t>(m_Length) && compareAt(text, 0, m_Length, mode) == 0;
}

bool CVornString::Equals(const CVornString& other, int mode) const {
    if (&other == this)
        return true;
    CVornStringPairLock locks(*this, other);
    return m_Length == other.m_Length && compareAt(other.m_Data, 0, m_Length, mode) == 0;
}

int CVornString::Compare(const char* text, int mode) const {
    CVornLockGuard guard(m_Lock);
    if (!text)
        return m_Length > 0 ? 1 : 0;
    size_t textLength = strlen(text);
    int n = textLength < static_cast<size_t>(m_Length) ? static_cast<int>(textLength) : m_Length;
    int r = compareAt(text, 0, n, mode);
    if (r != 0)
        return sign(r);
    if (static_cast<size_t>(m_Length) == textLength)
        return 0;
    return static_cast<size_t>(m_Length) > textLength ? 1 : -1;
}

int CVornString::Compare(const CVornString& other, int mode) const {
    if (&other == this)
        return 0;
    CVornStringPairLock locks(*this, other);
    int n = m_Length < other.m_Length ? m_Length : other.m_Length;
    int r = compareAt(other.m_Data, 0, n, mode);
    if (r != 0)
        return sign(r);
    return sign(m_Length - other.m_Length);
}

bool CVornString::StartsWith(const char* text, int mode) const {
    CVornLockGuard guard(m_Lock);
    if (!text)
        return m_Length == 0;
    size_t n = strlen(text);
    if (n > static_cast<size_t>(m_Length))
        return false;
    return compareAt(text, 0, static_cast<int>(n), mode) == 0;
}

bool CVornString::StartsWith(const CVornString& other, int mode) const {
    if (&other == this)
        return true;
    CVornStringPairLock locks(*this, other);
    if (other.m_Length > m_Length)
        return false;
    return compareAt(other.m_Data, 0, other.m_Length, mode) == 0;
}

bool CVornString::StartsWith(char c, int mode) const {
    CVornLockGuard guard(m_Lock);
    return m_Length > 0 && compareAt(&c, 0, 1, mode) == 0;
}

bool CVornString::StartsWithOneOf(const char* set) const {
    if (!set)
        return false;
    CVornLockGuard guard(m_Lock);
    if (m_Length == 0)
        return false;
    auto b = static_cast<unsigned char>(m_Data[0]);
    return tableLength(b) == 1 && inSet(set, b);
}

bool CVornString::EndsWith(char c) const {
    CVornLockGuard guard(m_Lock);
    if (m_Length == 0)
        return false;
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    int last = m_Length - 1;
    if (!g_CodePage.IsSingleByte()) {
        last = 0;
        while (last + charLen(last) < m_Length) last += charLen(last);
    }
    // An incomplete double-byte character at the end has a table length
    // above 1 and so is never taken for c.
    return tableLength(s[last]) == 1 && s[last] == static_cast<unsigned char>(c);
}

bool CVornString::Contains(char c) const {
    CVornLockGuard guard(m_Lock);
    return findChar(c) >= 0;
}

bool CVornString::Contains(const char* text, int mode) const {
    if (!text || !*text)
        return true;
    CVornLockGuard guard(m_Lock);
    size_t n = strlen(text);
    if (n > static_cast<size_t>(m_Length))
        return false;
    return findText(text, static_cast<int>(n), mode, false) >= 0;
}

bool CVornString::ContainsOnly(const char* set) const {
    if (!set)
        set = "";
    CVornLockGuard guard(m_Lock);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    for (int p = 0; p < m_Length; p += charLen(p))
        if (tableLength(s[p]) == 1 && !inSet(set, s[p]))
            return false;
    return true;
}

int CVornString::Find(char c) const {
    CVornLockGuard guard(m_Lock);
    return findChar(c);
}

int CVornString::Find(const char* text, int mode) const {
    if (!text || !*text)
        return -1;
    CVornLockGuard guard(m_Lock);
    size_t n = strlen(text);
    if (n > static_cast<size_t>(m_Length))
        return -1;
    return findText(text, static_cast<int>(n), mode, mode == 2 || mode == 3);
}

// ---------------------------------------------------------------- cutting into parts

bool CVornString::LeftOf(char c, CVornString& target) const {
    StringLocks locks(this, &target, &target);
    int pos = findChar(c);
    if (pos < 0)
        return false;
    if (&target == this) {
        const_cast<CVornString*>(this)->m_Length = pos;
    } else if (pos > 0) {
        target.setBytes(m_Data, pos);
    } else {
        target.m_Length = 0;
    }
    return true;
}

bool CVornString::RightOf(char c, CVornString& target) const {
    StringLocks locks(this, &target, &target);
    int pos = findChar(c);
    if (pos < 0)
        return false;
    int start = pos + 1;
    int rest = m_Length - start;
    if (&target == this) {
        auto self = const_cast<CVornString*>(this);
        memmove(self->m_Data, self->m_Data + start, rest);
        self->m_Length = rest;
    } else if (rest > 0) {
        target.setBytes(m_Data + start, rest);
    } else {
        target.m_Length = 0;
    }
    return true;
}

bool CVornString::SplitAt(char c, CVornString& left, CVornString& right) const {
    StringLocks locks(this, &left, &right);
    int pos = findChar(c);
    if (pos < 0)
        return false;
    splitAt(pos, 1, left, right);
    return true;
}

bool CVornString::SplitAtFirstOf(const char* set, char* found, CVornString& left,
                                 CVornString& right) const {
    if (!set)
        return false;
    StringLocks locks(this, &left, &right);
    auto s = reinterpret_cast<const unsigned char*>(m_Data);
    for (int p = 0; p < m_Length; p += charLen(p)) {
        if (tableLength(s[p]) == 1 && inSet(set, s[p])) {
            if (found)
                *found = static_cast<char>(s[p]);
            splitAt(p, 1, left, right);
            return true;
        }
    }
    return false;
}

bool CVornString::SplitAt(int pos, CVornString& left, CVornString& right) const {
    StringLocks locks(this, &left, &right);
    if (pos < 0 || pos >= m_Length)
        return false;
    splitAt(pos, 0, left, right);
    return true;
}

// ---------------------------------------------------------------- numbers

namespace {

// The leading number of the bytes as atoi/atol would read it: blanks, an
// optional sign, digits. Copied out because the text is not NUL-terminated.
std::string leadingNumber(const char* data, int length) {
    int p = 0;
    while (p < length && isspace(static_cast<unsigned char>(data[p]))) ++p;
    int start = p;
    if (p < length && (data[p] == '+' || data[p] == '-'))
        ++p;
    while (p < length && data[p] >= '0' && data[p] <= '9') ++p;
    return std::string(data + start, p - start);
}

}  // namespace

int CVornString::ToInt() const {
    CVornLockGuard guard(m_Lock);
    if (m_Length == 0)
        return 0;
    // atoi is defined as (int) strtol(text, NULL, 10).
    return static_cast<int>(strtol(leadingNumber(m_Data, m_Length).c_str(), nullptr, 10));
}

long CVornString::ToLong() const {
    CVornLockGuard guard(m_Lock);
    if (m_Length == 0)
        return 0;
    return strtol(leadingNumber(m_Data, m_Length).c_str(), nullptr, 10);
}

void AppendGrowing(CVornString& target, const char* bytes, int n) {
    if (n <= 0)
        return;
    int need = target.Length() + n;
    // Room for a little more than asked spares the next few appends a copy.
    if (need + 3 > target.Capacity())
        target.Reserve(need < INT_MAX / 2 ? need * 2 : need);
    target.Append(bytes, n);
}
