// CVornBuffer: growable byte buffer with a read position.
//
//   Append       add bytes at the end (grows by 4064-byte steps)
//   Read         take bytes from the front (into memory or a string)
//   Reserve      room for a known number of unread bytes in one allocation
//   Room         unread bytes the storage holds before it must grow
//   Available    number of unread bytes
//   Clear        forget all data, keep the storage
//   ReadLine     take the next line up to a terminator (string or caller buffer)
//   TakeAll      exchange the unread bytes with a string's text
//   Swap         exchange contents with another buffer
//   Detach       hand the storage block to the caller
//   Adopt        take over a caller's storage block
//   ReadAt       copy bytes at a position without consuming them
//   WriteAt      write bytes at a position, zero-filling any gap
//   Resize       cut or zero-extend the data
//   ReadLineAt   read the line at a position without consuming it
//
// Bad input: every position and count is checked before memory is touched;
// negative values and positions whose end would not fit in an int give -1
// (or are ignored by the operations that return nothing). Growth that cannot
// be represented in an int throws std::bad_alloc with the data unchanged.
#include "core/vorn_buffer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace {

// Growth step: the disk file and the TCP socket read in pieces of this size,
// so a stream read that way reallocates rarely.
constexpr int kStep = 4064;

// A target size for CVornString::grow that adds slack where the int range
// allows it; grow itself refuses what does not fit.
int withSlack(long long need, int slack) {
    if (need > INT_MAX)
        throw std::bad_alloc();
    return need <= static_cast<long long>(INT_MAX) - 32 - slack ? static_cast<int>(need) + slack
                                                                : static_cast<int>(need);
}

}  // namespace

CVornBuffer::CVornBuffer() = default;

CVornBuffer::~CVornBuffer() = default;

void CVornBuffer::clampReadPos() {
    if (m_ReadPos > m_Storage.m_Length)
        m_ReadPos = m_Storage.m_Length;
}

void CVornBuffer::compact() {
    clampReadPos();
    if (m_ReadPos == 0)
        return;
    int unread = m_Storage.m_Length - m_ReadPos;
    if (unread > 0)
        std::memmove(m_Storage.m_Data, m_Storage.m_Data + m_ReadPos, unread);
    m_Storage.m_Length = unread;
    m_ReadPos = 0;
}

void CVornBuffer::zeroExtend(int n) {
    m_Storage.grow(n, true);
    std::memset(m_Storage.m_Data + m_Storage.m_Length, 0, n - m_Storage.m_Length);
    m_Storage.m_Length = n;
}

void CVornBuffer::Append(const void* bytes, int n) {
    if (!bytes || n <= 0)
        return;
    CVornLockGuard guard(m_Storage.m_Lock);
    clampReadPos();
    long long end = static_cast<long long>(m_Storage.m_Length) + n;
    if (end >= m_Storage.m_Capacity && m_ReadPos >= kStep) {
        compact();
        end = static_cast<long long>(m_Storage.m_Length) + n;
    }
    if (end > INT_MAX)
        throw std::bad_alloc();
    if (end >= m_Storage.m_Capacity) {
        long long shortBy = end - m_Storage.m_Capacity;
        long long step = shortBy < kStep ? kStep : (shortBy + kStep - 1) / kStep * kStep;
        long long target = m_Storage.m_Capacity + step;
        // grow adds the string's 32 bytes of slack; refuse what would not fit.
        if (target > static_cast<long long>(INT_MAX) - 32)
            throw std::bad_alloc();
        m_Storage.grow(static_cast<int>(target), true);
    }
    std::memcpy(m_Storage.m_Data + m_Storage.m_Length, bytes, n);
    m_Storage.m_Length += n;
}

void CVornBuffer::Reserve(int n) {
    if (n <= 0)
        return;
    CVornLockGuard guard(m_Storage.m_Lock);
    if (m_Storage.m_Capacity - m_ReadPos > n)
        return;
    compact();
    if (m_Storage.m_Capacity > n)
        return;
    m_Storage.grow(n, true);
}

void CVornBuffer::Append(const CVornString& s) {
    CVornStringPairLock both(m_Storage, s);
    Append(s.m_Data, s.m_Length);
}

int CVornBuffer::Read(void* dst, int n) {
    if (!dst || n < 0)
        return -1;
    CVornLockGuard guard(m_Storage.m_Lock);
    clampReadPos();
    int count = std::min(n, m_Storage.m_Length - m_ReadPos);
    if (count > 0)
        std::memcpy(dst, m_Storage.m_Data + m_ReadPos, count);
    m_ReadPos += count;
    return count;
}

int CVornBuffer::Read(CVornString& s, int n) {
    if (n < 0)
        return -1;
    CVornStringPairLock both(m_Storage, s);
    clampReadPos();
    // Sized for what is there, not for what was asked: a request far larger
    // than the data must not reserve memory for it.
    int count = std::min(n, m_Storage.m_Length - m_ReadPos);
    if (count > 0) {
        if (s.m_Capacity < count + 3)
            s.grow(count, false);
        std::memcpy(s.m_Data, m_Storage.m_Data + m_ReadPos, count);
    }
    s.m_Length = count;
    m_ReadPos += count;
    return count;
}

int CVornBuffer::Room() {
    CVornLockGuard guard(m_Storage.m_Lock);
    clampReadPos();
    // The string keeps its block while 3 bytes stay spare (its grow rule).
    int room = m_Storage.m_Capacity - m_ReadPos - 3;
    return room > 0 ? room : 0;
}

int CVornBuffer::Available() {
    CVornLockGuard guard(m_Storage.m_Lock);
    clampReadPos();
    return m_Storage.m_Length - m_ReadPos;
}

void CVornBuffer::Clear() {
    CVornLockGuard guard(m_Storage.m_Lock);
    m_Storage.m_Length = 0;
    m_ReadPos = 0;
}

int CVornBuffer::readLineInto(int from, CVornString& line, const char* term, bool append,
                              int* used) {
    *used = 0;
    if (!append)
        line.m_Length = 0;
    const char* data = m_Storage.m_Data;
    int end = m_Storage.m_Length;
    if (from >= end)
        return 0;

    int tl = static_cast<int>(std::strlen(term));
    int hit = -1;
    for (int i = from; i < end; ++i) {
        const void* next = std::memchr(data + i, term[tl - 1], end - i);
        if (!next)
            break;
        i = static_cast<int>(static_cast<const char*>(next) - data);
        int before = i - from;  // bytes of this call ahead of the hit
        if (before >= tl - 1) {
            if (std::memcmp(data + i - (tl - 1), term, tl - 1) == 0) {
                hit = i;
                break;
            }
        } else {
            // The terminator began in what earlier calls moved into the line.
            int fromLine = tl - 1 - before;
            if (line.m_Length >= fromLine &&
                std::memcmp(line.m_Data + line.m_Length - fromLine, term, fromLine) == 0 &&
                std::memcmp(data + from, term + fromLine, before) == 0) {
                hit = i;
                break;
            }
        }
    }

    int count = hit >= 0 ? hit - from + 1 : end - from;
    long long need = static_cast<long long>(line.m_Length) + count;
    // A long line arrives in many pieces: leave room for the next ones.
    if (line.m_Capacity < need + 3)
        line.grow(withSlack(need, kStep), true);
    std::memcpy(line.m_Data + line.m_Length, data + from, count);
    line.m_Length += count;
    *used = count;
    return hit >= 0 ? line.m_Length : 0;
}

int CVornBuffer::readLineIntoBuf(int from, char* buf, int* size, const char* term, bool append,
                                 int* used) {
    *used = 0;
    int room = *size;
    if (room == 0)
        return 0;  // not even the NUL fits
    // A C string the caller left unterminated is cut to the buffer.
    int len = append ? static_cast<int>(strnlen(buf, room - 1)) : 0;
    int tl = static_cast<int>(std::strlen(term));
    const char* data = m_Storage.m_Data;
    int end = m_Storage.m_Length;
    int i = from;
    bool found = false;
    while (len < room - 1 && i < end) {
        char c = data[i++];
        buf[len++] = c;
        if (c == term[tl - 1] && len >= tl && std::memcmp(buf + len - tl, term, tl) == 0) {
            found = true;
            break;
        }
    }
    buf[len] = '\0';
    *size = len;
    *used = i > from ? i - from : 0;
    return found ? len : 0;
}

int CVornBuffer::ReadLine(CVornString& line, const char* term, bool append) {
    if (!term || !*term)
        return -1;
    CVornStringPairLock both(m_Storage, line);
    clampReadPos();
    int used = 0;
    int result = readLineInto(m_ReadPos, line, term, append, &used);
    m_ReadPos += used;
    return result;
}

int CVornBuffer::ReadLine(char* buf, int* size, const char* term, bool append) {
    if (!buf || !size || *size < 0 || !term || !*term)
        return -1;
    CVornLockGuard guard(m_Storage.m_Lock);
    clampReadPos();
    int used = 0;
    int result = readLineIntoBuf(m_ReadPos, buf, size, term, append, &used);
    m_ReadPos += used;
    return result;
}

void CVornBuffer::TakeAll(CVornString& s) {
    CVornStringPairLock both(m_Storage, s);
    compact();
    std::swap(m_Storage.m_Data, s.m_Data);
    std::swap(m_Storage.m_Length, s.m_Length);
    std::swap(m_Storage.m_Capacity, s.m_Capacity);
}

void CVornBuffer::Swap(CVornBuffer& other) {
    if (&other == this)
        return;
    CVornStringPairLock both(m_Storage, other.m_Storage);
    std::swap(m_Storage.m_Data, other.m_Storage.m_Data);
    std::swap(m_Storage.m_Length, other.m_Storage.m_Length);
    std::swap(m_Storage.m_Capacity, other.m_Storage.m_Capacity);
    std::swap(m_ReadPos, other.m_ReadPos);
}

void* CVornBuffer::Detach(int* length, int* capacity) {
    CVornLockGuard guard(m_Storage.m_Lock);
    compact();
    void* block = m_Storage.m_Data;
    if (length)
        *length = m_Storage.m_Length;
    if (capacity)
        *capacity = m_Storage.m_Capacity;
    m_Storage.m_Data = nullptr;
    m_Storage.m_Length = 0;
    m_Storage.m_Capacity = 0;
    m_ReadPos = 0;
    return block;
}

void CVornBuffer::Adopt(void** data, int* length, int* capacity) {
    if (!data || !length || !capacity)
        return;
    if (*length < 0 || *length > *capacity || (*capacity > 0 && !*data))
        return;
    CVornLockGuard guard(m_Storage.m_Lock);
    delete[] m_Storage.m_Data;
    m_Storage.m_Data = static_cast<char*>(*data);
    m_Storage.m_Length = *length;
    m_Storage.m_Capacity = *capacity;
    m_ReadPos = 0;
    *data = nullptr;
    *length = 0;
    *capacity = 0;
}

int CVornBuffer::ReadAt(int pos, void* dst, int n) {
    if (pos < 0 || !dst || n < 0)
        return -1;
    CVornLockGuard guard(m_Storage.m_Lock);
    compact();
    int count = pos < m_Storage.m_Length ? std::min(n, m_Storage.m_Length - pos) : 0;
    if (count > 0)
        std::memcpy(dst, m_Storage.m_Data + pos, count);
    return count;
}

int CVornBuffer::ReadAt(int pos, CVornString& s, int n) {
    if (pos < 0)
        return -1;
    CVornStringPairLock both(m_Storage, s);
    compact();
    int avail = pos < m_Storage.m_Length ? m_Storage.m_Length - pos : 0;
    int count = n <= 0 ? avail : std::min(n, avail);
    if (count > 0)
        s.Assign(m_Storage.m_Data + pos, count);
    return count;
}

int CVornBuffer::WriteAt(int pos, const void* bytes, int n) {
    if (pos < 0 || n < 0 || (!bytes && n > 0))
        return -1;
    if (static_cast<long long>(pos) + n > INT_MAX)
        return -1;
    CVornLockGuard guard(m_Storage.m_Lock);
    compact();
    int oldLength = m_Storage.m_Length;
    int newLength = std::max(oldLength, pos + n);
    if (newLength > oldLength)
        m_Storage.grow(newLength, true);
    // Storage beyond the old end may hold bytes of earlier, cut data.
    if (pos > oldLength)
        std::memset(m_Storage.m_Data + oldLength, 0, pos - oldLength);
    if (n > 0)
        std::memcpy(m_Storage.m_Data + pos, bytes, n);
    m_Storage.m_Length = newLength;
    return n;
}

int CVornBuffer::WriteAt(int pos, const CVornString& s) {
    CVornStringPairLock both(m_Storage, s);
    return WriteAt(pos, s.m_Data, s.m_Length);
}

void CVornBuffer::Resize(int n) {
    if (n < 0)
        return;
    CVornLockGuard guard(m_Storage.m_Lock);
    compact();
    if (n <= m_Storage.m_Length) {
        m_Storage.m_Length = n;
    } else {
        zeroExtend(n);
    }
}

int CVornBuffer::ReadLineAt(int pos, char* buf, int* size, const char* term) {
    if (pos < 0 || !buf || !size || *size < 0 || !term || !*term)
        return -1;
    CVornLockGuard guard(m_Storage.m_Lock);
    compact();
    int used = 0;
    return readLineIntoBuf(pos, buf, size, term, false, &used);
}

int CVornBuffer::ReadLineAt(int pos, CVornString& line, const char* term) {
    if (pos < 0 || !term || !*term)
        return -1;
    CVornStringPairLock both(m_Storage, line);
    compact();
    int used = 0;
    return readLineInto(pos, line, term, false, &used);
}
