// CVornMemoryFile: the file interface over a byte buffer in memory.
//
//   Open / Close / IsOpen     the open state; contents survive Close
//   Read (string / buffer)    bytes from the position
//   Write (string / bytes)    bytes at the position (append: at the end)
//   ReadLine (string/buffer)  up to and including a terminator
//   Flush, Truncate, Seek, Tell, Reserve, Size, GetModTime, Detach
//
// Bad input: null buffers, negative counts and sizes, and missing or empty
// terminators are refused with messages 102 to 105 before the lock is taken;
// operations on a closed file report 94; writes and truncation of a
// read-only file report 106. Each refusal leaves the object as it was. A
// line longer than the caller's buffer comes in pieces of the buffer's
// size. Nothing throws except std::bad_alloc when memory runs out (the
// object then keeps its contents and its lock is released).
#include "core/memory_file.h"

#include <climits>
#include <cstring>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/vorn_string.h"

const char* const CVornMemoryFile::kName = "(memoryfile)";

CVornMemoryFile::CVornMemoryFile(unsigned flags) : m_Flags(flags), m_ModTime(Now()) {}

CVornMemoryFile::~CVornMemoryFile() {
    CVornLockGuard hold(m_Lock);
    m_Open = false;
}

bool CVornMemoryFile::checkOpen(const char* operation) {
    if (m_Open)
        return true;
    LogEventStrString(kMsgFileNotOpen, 1, operation, CVornString(kName, CVornString::kUnlocked));
    return false;
}

bool CVornMemoryFile::Open() {
    CVornLockGuard hold(m_Lock);
    if (m_Open) {
        LogEventStr(kMsgFileAlreadyOpen, 1, kName);
        return false;
    }
    if (m_Flags & kFileTruncate) {
        m_Contents.Clear();
        m_ModTime = Now();
    }
    m_Open = true;
    m_Position = 0;
    return true;
}

bool CVornMemoryFile::Close() {
    CVornLockGuard hold(m_Lock);
    if (!m_Open) {
        LogEventStrString(kMsgFileNotOpen, 2, "Close", CVornString(kName, CVornString::kUnlocked));
        return false;
    }
    m_Open = false;
    return true;
}

bool CVornMemoryFile::IsOpen() {
    CVornLockGuard hold(m_Lock);
    return m_Open;
}

int CVornMemoryFile::Read(CVornString& out, int count) {
    if (count < 0) {
        LogEventStrInt(kMsgFileBadRead, 1, kName, count);
        return -1;
    }
    CVornLockGuard hold(m_Lock);
    if (!checkOpen("Read"))
        return -1;
    int n = m_Contents.ReadAt(m_Position, out, count);
    if (n > 0)
        m_Position += n;
    return n;
}

int CVornMemoryFile::Read(void* buffer, int count) {
    if (!buffer || count < 0) {
        LogEventStrInt(kMsgFileBadRead, 1, kName, count);
        return -1;
    }
    CVornLockGuard hold(m_Lock);
    if (!checkOpen("Read"))
        return -1;
    int n = m_Contents.ReadAt(m_Position, buffer, count);
    if (n > 0)
        m_Position += n;
    return n;
}

bool CVornMemoryFile::checkWritable() {
    if (!checkOpen("Write"))
        return false;
    if (m_Flags & kFileReadOnly) {
        LogEventStr(kMsgFileReadOnly, 1, kName);
        return false;
    }
    return true;
}

bool CVornMemoryFile::beginWrite(int count) {
    if (m_Flags & kFileAppend)
        m_Position = m_Contents.Available();
    if (m_Position > INT_MAX - count) {
        LogEventStrInt(kMsgFileBadWrite, 1, kName, count);
        return false;
    }
    long long end = static_cast<long long>(m_Position) + count;
    if (end > m_Room) {
        ReserveFileBuffer(m_Contents, end, true);
        m_Room = m_Contents.Room();
    }
    return true;
}

int CVornMemoryFile::endWrite(int count) {
    m_Position += count;
    m_ModTime = Now();
    return count;
}

int CVornMemoryFile::Write(const void* bytes, int count) {
    if (!bytes || count < 0) {
        LogEventStrInt(kMsgFileBadWrite, 1, kName, count);
        return -1;
    }
    CVornLockGuard hold(m_Lock);
    if (!checkWritable() || !beginWrite(count))
        return -1;
    if (count > 0)
        m_Contents.WriteAt(m_Position, bytes, count);
    return endWrite(count);
}

int CVornMemoryFile::Write(const CVornString& text) {
    CVornLockGuard hold(m_Lock);
    if (!checkWritable())
        return -1;
    // The text's lock keeps it unchanged between measuring and copying.
    CVornStringLockGuard textHold(text);
    int count = text.Length();
    if (!beginWrite(count))
        return -1;
    if (count > 0)
        m_Contents.WriteAt(m_Position, text);
    return endWrite(count);
}

int CVornMemoryFile::ReadLine(CVornString& line, const char* terminator) {
    if (!terminator || !*terminator) {
        // The string form has no size: 0 stands in for it.
        LogEventStrInt(kMsgFileBadReadLine, 1, kName, 0);
        return -1;
    }
    CVornLockGuard hold(m_Lock);
    if (!checkOpen("ReadLine"))
        return -1;
    // Found: the line's length; not found: the rest of the data, result 0.
    int n = m_Contents.ReadLineAt(m_Position, line, terminator);
    if (n == 0)
        n = line.Length();
    m_Position += n;
    return n;
}

int CVornMemoryFile::ReadLine(char* buffer, int size, const char* terminator) {
    if (!buffer || size < 0 || !terminator || !*terminator) {
        LogEventStrInt(kMsgFileBadReadLine, 1, kName, size);
        return -1;
    }
    CVornLockGuard hold(m_Lock);
    if (!checkOpen("ReadLine"))
        return -1;
    int remaining = m_Contents.Available() - m_Position;
    if (remaining <= 0) {
        if (size > 0)
            buffer[0] = '\0';
        return 0;
    }
    // At most size bytes, up to and including the first terminator among
    // them; a longer line comes in pieces, the rest by the next calls.
    int copied = m_Contents.ReadAt(m_Position, buffer, size < remaining ? size : remaining);
    if (copied < 0)
        return -1;
    size_t termLength = strlen(terminator);
    const void* hit = memmem(buffer, static_cast<size_t>(copied), terminator, termLength);
    int n = hit ? static_cast<int>(static_cast<const char*>(hit) - buffer + termLength) : copied;
    if (n < size)
        buffer[n] = '\0';
    m_Position += n;
    return n;
}

bool CVornMemoryFile::Flush() {
    CVornLockGuard hold(m_Lock);
    return checkOpen("Flush");
}

bool CVornMemoryFile::Truncate(int size) {
    if (size < 0) {
        LogEventStrInt(kMsgFileBadTruncate, 1, kName, size);
        return false;
    }
    CVornLockGuard hold(m_Lock);
    if (!checkOpen("Truncate"))
        return false;
    if (m_Flags & kFileReadOnly) {
        LogEventStr(kMsgFileReadOnly, 1, kName);
        return false;
    }
    if (size > m_Contents.Available())
        ReserveFileBuffer(m_Contents, size, false);
    m_Contents.Resize(size);
    m_Room = 0;
    if (m_Position > size)
        m_Position = size;
    m_ModTime = Now();
    return true;
}

bool CVornMemoryFile::Seek(int offset, int whence) {
    CVornLockGuard hold(m_Lock);
    if (!checkOpen("Seek"))
        return false;
    long long target;
    switch (whence) {
        case 0:
            target = offset;
            break;
        case 1:
            target = static_cast<long long>(m_Position) + offset;
            break;
        case 2:
            target = static_cast<long long>(m_Contents.Available()) + offset;
            break;
        default:
            return true;
    }
    if (target < 0)
        target = 0;
    if (target > INT_MAX)
        target = INT_MAX;
    m_Position = static_cast<int>(target);
    return true;
}

int CVornMemoryFile::Tell() {
    CVornLockGuard hold(m_Lock);
    if (!checkOpen("Tell"))
        return -1;
    return m_Position;
}

void CVornMemoryFile::Reserve(int size) {
    if (size <= 0)
        return;
    CVornLockGuard hold(m_Lock);
    ReserveFileBuffer(m_Contents, size, false);
    m_Room = 0;
}

int CVornMemoryFile::Size() {
    CVornLockGuard hold(m_Lock);
    return m_Contents.Available();
}

void CVornMemoryFile::GetModTime(CVornDate& date) {
    CVornLockGuard hold(m_Lock);
    date.SetTime(m_ModTime);
}

CVornFile* CVornMemoryFile::Detach() {
    CVornLockGuard hold(m_Lock);
    auto* taker = new CVornMemoryFile(m_Flags);
    taker->m_Open = m_Open;
    taker->m_Position = m_Open ? m_Position : 0;
    taker->m_ModTime = m_ModTime;
    taker->m_Contents.Swap(m_Contents);
    m_Room = 0;
    m_Open = false;
    m_Position = 0;
    m_ModTime = Now();
    return taker;
}
