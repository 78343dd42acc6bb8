// CVornDiskFile: the file interface on a file descriptor, with a 4064-byte
// read-ahead / write-behind buffer and a named mutex per path.
//
//   CVornDiskFile(path, flags)       a closed file object
//   CVornDiskFile(dir, base, n, ext) a new temporary file under a unique name
//   Open / Close / IsOpen            descriptor and path lock
//   Read, Write, ReadLine            buffered, see the buffer states below
//   Flush (with fsync), WriteOut (without), Truncate, Seek, Tell, Reserve, Size,
//   GetModTime, Detach
//
// Buffer states: none; read (the buffer holds read-ahead bytes and the
// descriptor's offset lies ahead of the position by their count); write (the
// buffer holds bytes that belong at the position minus their count). An
// operation that leaves a state writes what is pending and moves the
// descriptor's offset back to the position.
//
// Bad input: null buffers, negative counts and sizes, missing terminators are
// refused with messages 102 to 105; operations on a closed file report 94;
// writes and truncation of a read-only file report 106; system call failures
// report 93, 95 to 101 with errno, and give false or -1. Positions beyond
// INT_MAX are refused (EOVERFLOW). Nothing throws on its own account: the
// path lock's CVornException passes through Open and Close, and
// std::bad_alloc through the operations that buffer.
#include "core/disk_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/event_log.h"
#include "core/file_system.h"
#include "core/threads.h"
#include "core/vorn_date.h"
#include "core/vorn_mutex.h"
#include "platform/file_ops.h"

namespace {

const int kError = 1;
const int kWarning = 2;

// Temporary names: the counter values tried at most, and the failures other
// than "the name is taken" after which the search gives up.
const long long kMaxTempNames = 65536;
const int kMaxTempFailures = 8;

// Releases a path lock that Open took when Open leaves by an unexpected
// exception; the ordinary paths disarm it and release (or keep) it themselves.
class OpenLockGuard {
public:
    explicit OpenLockGuard(CVornMutex* mutex) : m_Mutex(mutex) {}
    ~OpenLockGuard() {
        if (m_Mutex) {
            try {
                m_Mutex->Unlock();
            } catch (...) {
            }
        }
    }
    OpenLockGuard(const OpenLockGuard&) = delete;
    OpenLockGuard& operator=(const OpenLockGuard&) = delete;

    void Disarm() { m_Mutex = nullptr; }

private:
    CVornMutex* m_Mutex;
};

// Number of distinct values the odometer of CVornString::Increment runs
// through for a counter: ten per digit, 26 per other byte; at most the cap.
long long counterValues(const CVornString& counter) {
    long long values = 1;
    for (int i = 0; i < counter.Length() && values < kMaxTempNames; ++i) {
        char c = counter.CharAt(i);
        values *= (c >= '0' && c <= '9') ? 10 : 26;
    }
    return std::min(values, kMaxTempNames);
}

}  // namespace

CVornDiskFile::CVornDiskFile() : m_PathLock(std::make_unique<CVornMutex>()) {}

CVornDiskFile::CVornDiskFile(const char* path, unsigned flags)
    : m_Flags(flags), m_PathLock(std::make_unique<CVornMutex>()) {
    if (path)
        m_Path.Assign(path);
}

CVornDiskFile::CVornDiskFile(const char* directory, const char* base, const char* counter,
                             const char* extension)
    : m_Flags(kFileDeleteOnClose), m_PathLock(std::make_unique<CVornMutex>()) {
    CVornString count(counter ? counter : "", CVornString::kUnlocked);
    CVornString candidate(CVornString::kUnlocked);
    CVornString name(CVornString::kUnlocked);
    CVornMutex lock;
    const long long values = counterValues(count);
    int failures = 0;
    bool warned = false;
    for (long long tried = 0; tried < values && failures < kMaxTempFailures;) {
        JoinPath(candidate, directory, base);
        candidate.Append(count);
        candidate.Append('.');
        candidate.Append(extension ? extension : "");
        name.Assign(candidate);
        PathToLockName(name);

        // A name whose lock is held is in use (or about to be) elsewhere.
        if (lock.TryLock(name.CStr()) != 0) {
            count.Increment();
            ++tried;
            continue;
        }
        // Created exclusively: two makers never end up with one file, and an
        // existing file, whoever left it, is never taken over.
        int fd = platform::OpenFile(candidate.CStr(), O_RDWR | O_CREAT | O_EXCL, 0644);
        int error = errno;
        struct stat made {};
        bool identified = fd >= 0 && fstat(fd, &made) == 0;
        if (fd >= 0 && !identified)
            platform::CloseFile(fd);
        lock.Unlock();
        if (fd >= 0) {
            m_Path.Assign(candidate);
            m_Temporary = identified;
            if (identified) {
                // Held open while this object lives: the file's inode number
                // cannot pass to a file put in its place meanwhile.
                m_TempAnchor = fd;
                m_TempDevice = made.st_dev;
                m_TempInode = made.st_ino;
            }
            return;
        }
        if (error == EMFILE) {
            if (!warned)
                LogEventStringInt(kMsgFileTooManyOpen, kWarning, candidate, error);
            warned = true;
            SleepSeconds(1);
            continue;
        }
        if (error != EEXIST) {
            LogEventStringInt(kMsgFileOpenFailed, kError, candidate, error);
            ++failures;
        }
        count.Increment();
        ++tried;
    }
    // No free name: an empty path, which opens nothing and deletes nothing.
    m_Path.Clear();
}

CVornDiskFile::~CVornDiskFile() {
    if (m_Open) {
        try {
            Close();
        } catch (...) {
            // The mutex reported its failure when it threw.
        }
    }
    if ((m_Flags & kFileDeleteOnClose) && !m_Path.IsEmpty() && FileExists(m_Path.CStr(), false))
        RemoveFile(m_Path.CStr(), false);
    if (m_TempAnchor >= 0)
        platform::CloseFile(m_TempAnchor);
}

bool CVornDiskFile::isCreatedFile(int fd) const {
    struct stat now {};
    return fstat(fd, &now) == 0 && now.st_dev == m_TempDevice && now.st_ino == m_TempInode;
}

void CVornDiskFile::reportErrno(int number, int error) {
    LogEventStringInt(number, kError, m_Path, error);
}

bool CVornDiskFile::checkOpen(const char* operation) {
    if (m_Open)
        return true;
    int type = std::strcmp(operation, "Close") == 0 ? kWarning : kError;
    LogEventStrString(kMsgFileNotOpen, type, operation, m_Path);
    return false;
}

void CVornDiskFile::lockName(CVornString& name) {
    name.Assign(m_Path);
    PathToLockName(name);
}

bool CVornDiskFile::Open() {
    if (m_Open) {
        LogEventString(kMsgFileAlreadyOpen, kError, m_Path);
        return false;
    }
    if (m_Path.IsEmpty()) {
        reportErrno(kMsgFileOpenFailed, ENOENT);
        return false;
    }
    const bool locking = !(m_Flags & kFileNoPathLock);
    if (locking) {
        CVornString name(CVornString::kUnlocked);
        lockName(name);
        m_PathLock->Lock(name.CStr());
    }
    OpenLockGuard guard(locking ? m_PathLock.get() : nullptr);

    int flags = (m_Flags & kFileReadOnly) ? O_RDONLY : O_RDWR;
    if (m_Flags & kFileAppend)
        flags |= O_APPEND;
    if (m_Flags & kFileCreate) {
        flags |= O_CREAT;
        if (m_Flags & kFileExclusive)
            flags |= O_EXCL;
    }
    // A read-only file is never changed, also not by opening it.
    if ((m_Flags & kFileTruncate) && !(m_Flags & kFileReadOnly))
        flags |= O_TRUNC;

    // Someone who can write to the temporary directory may have put a link
    // or another file in the place of the one we created.
    if (m_Temporary)
        flags |= O_NOFOLLOW;
    bool warned = false;
    int fd;
    for (;;) {
        fd = platform::OpenFile(m_Path.CStr(), flags, 0644);
        if (fd >= 0 && m_Temporary && !isCreatedFile(fd)) {
            platform::CloseFile(fd);
            fd = -1;
            errno = ELOOP;
        }
        if (fd >= 0)
            break;
        int error = errno;
        if (error != EMFILE) {
            reportErrno(kMsgFileOpenFailed, error);
            guard.Disarm();
            if (locking)
                m_PathLock->Unlock();
            return false;
        }
        // Descriptors free up as other work finishes: wait for one.
        if (!warned)
            reportErrno(kMsgFileTooManyOpen, error);
        warned = true;
        SleepSeconds(1);
    }
    guard.Disarm();
    m_Fd = fd;
    m_Open = true;
    m_Position = 0;
    m_BufferState = kBufferNone;
    m_Buffer.Clear();
    return true;
}

bool CVornDiskFile::Close() {
    if (!checkOpen("Close"))
        return false;
    bool ok = flushWrite();
    if (!platform::CloseFile(m_Fd)) {
        reportErrno(kMsgFileCloseFailed, errno);
        ok = false;
    }
    m_Fd = -1;
    m_Open = false;
    m_BufferState = kBufferNone;
    if (!(m_Flags & kFileNoPathLock))
        m_PathLock->Unlock();
    return ok;
}

bool CVornDiskFile::IsOpen() {
    return m_Open;
}

bool CVornDiskFile::flushWrite() {
    bool ok = true;
    if (m_BufferState == kBufferWrite && m_Buffer.Available() > 0) {
        // Write the buffer's block as it stands and take it back empty.
        int length = 0;
        int capacity = 0;
        void* block = m_Buffer.Detach(&length, &capacity);
        size_t written = 0;
        ok = platform::WriteAll(m_Fd, block, static_cast<size_t>(length), &written);
        int error = errno;
        int none = 0;
        m_Buffer.Adopt(&block, &none, &capacity);
        if (!ok)
            reportErrno(kMsgFileWriteFailed, error);
    }
    m_Buffer.Clear();
    return ok;
}

bool CVornDiskFile::enterState(BufferState state) {
    if (m_BufferState == state)
        return true;
    bool ok = true;
    // In state none the buffer is empty and the offset is the position.
    if (m_BufferState != kBufferNone) {
        ok = flushWrite();
        if (platform::SeekFile(m_Fd, m_Position, SEEK_SET) < 0)
            reportErrno(kMsgFileSeekFailed, errno);
    }
    m_BufferState = state;
    return ok;
}

int CVornDiskFile::fillChunk() {
    long long offset = static_cast<long long>(m_Position) + m_Buffer.Available();
    long long room = INT_MAX - offset;
    if (room <= 0) {
        reportErrno(kMsgFileReadFailed, EOVERFLOW);
        return -1;
    }
    int want = static_cast<int>(std::min<long long>(kChunk, room));
    ReserveFileBuffer(m_Buffer, static_cast<long long>(m_Buffer.Available()) + want, true);
    char chunk[kChunk];
    long got = platform::ReadSome(m_Fd, chunk, static_cast<size_t>(want));
    if (got < 0) {
        reportErrno(kMsgFileReadFailed, errno);
        return -1;
    }
    m_Buffer.Append(chunk, static_cast<int>(got));
    return static_cast<int>(got);
}

int CVornDiskFile::Read(void* buffer, int count) {
    if (!buffer || count < 0) {
        LogEventStringInt(kMsgFileBadRead, kError, m_Path, count);
        return -1;
    }
    if (!checkOpen("Read"))
        return -1;
    enterState(kBufferRead);
    while (m_Buffer.Available() < count) {
        int got = fillChunk();
        if (got < 0)
            return -1;
        if (got == 0)
            break;
    }
    int n = m_Buffer.Read(buffer, count);
    m_Position += n;
    return n;
}

int CVornDiskFile::Read(CVornString& out, int count) {
    if (count < 0) {
        LogEventStringInt(kMsgFileBadRead, kError, m_Path, count);
        return -1;
    }
    if (!checkOpen("Read"))
        return -1;
    enterState(kBufferRead);
    for (;;) {
        if (count > 0 && m_Buffer.Available() >= count)
            break;
        int got = fillChunk();
        if (got < 0)
            return -1;
        if (got == 0)
            break;
    }
    int n;
    if (count > 0 && count < m_Buffer.Available()) {
        n = m_Buffer.Read(out, count);
    } else {
        // Everything buffered: hand over the block instead of copying it.
        out.Clear();
        m_Buffer.TakeAll(out);
        m_Buffer.Clear();
        n = out.Length();
    }
    m_Position += n;
    return n;
}

bool CVornDiskFile::checkWritable() {
    if (!checkOpen("Write"))
        return false;
    if (m_Flags & kFileReadOnly) {
        LogEventString(kMsgFileReadOnly, kError, m_Path);
        return false;
    }
    return true;
}

bool CVornDiskFile::beginWrite(int count) {
    bool entering = m_BufferState != kBufferWrite;
    enterState(kBufferWrite);
    if (entering && (m_Flags & kFileAppend)) {
        // O_APPEND puts the bytes at the end; the position follows them.
        long long end = platform::SeekFile(m_Fd, 0, SEEK_END);
        if (end < 0)
            reportErrno(kMsgFileSeekFailed, errno);
        else if (end <= INT_MAX)
            m_Position = static_cast<int>(end);
    }
    if (m_Position > INT_MAX - count) {
        LogEventStringInt(kMsgFileBadWrite, kError, m_Path, count);
        return false;
    }
    ReserveFileBuffer(m_Buffer, static_cast<long long>(m_Buffer.Available()) + count, true);
    return true;
}

int CVornDiskFile::endWrite(int count) {
    if (m_Buffer.Available() >= kChunk && !flushWrite())
        return -1;
    m_Position += count;
    return count;
}

int CVornDiskFile::Write(const void* bytes, int count) {
    if (!bytes || count < 0) {
        LogEventStringInt(kMsgFileBadWrite, kError, m_Path, count);
        return -1;
    }
    if (!checkWritable() || !beginWrite(count))
        return -1;
    m_Buffer.Append(bytes, count);
    return endWrite(count);
}

int CVornDiskFile::Write(const CVornString& text) {
    if (!checkWritable())
        return -1;
    // The text's lock keeps it unchanged between measuring and copying.
    CVornStringLockGuard hold(text);
    int count = text.Length();
    if (!beginWrite(count))
        return -1;
    m_Buffer.Append(text);
    return endWrite(count);
}

void CVornDiskFile::unread(CVornString& line) {
    CVornString rest(CVornString::kUnlocked);
    m_Buffer.TakeAll(rest);  // the unread bytes; the buffer is left empty
    line.Append(rest);
    m_Buffer.TakeAll(line);  // the line and the rest, unread again
}

int CVornDiskFile::readLine(CVornString& line, const char* terminator, int maxBytes) {
    enterState(kBufferRead);
    bool append = false;
    for (;;) {
        if (m_Buffer.ReadLine(line, terminator, append) > 0)
            break;
        append = true;
        if (line.Length() > maxBytes)
            break;
        int got = fillChunk();
        if (got < 0) {
            unread(line);
            return -1;
        }
        if (got == 0)
            break;
        // Room for the next pieces, so that a long line is not copied anew
        // for every chunk.
        int need = line.Length() + m_Buffer.Available();
        if (line.Capacity() < need + 3)
            line.Reserve(std::max(need, line.Capacity() < INT_MAX / 2 ? 2 * line.Capacity() : 0));
    }
    if (line.Length() > maxBytes) {
        // A line longer than the caller takes: the first maxBytes bytes now,
        // the rest (and whatever was read ahead) stays for the next call.
        CVornString rest(line.CStr() + maxBytes, line.Length() - maxBytes, CVornString::kUnlocked);
        line.KeepLeft(maxBytes);
        unread(rest);
    }
    m_Position += line.Length();
    return line.Length();
}

int CVornDiskFile::ReadLine(CVornString& line, const char* terminator) {
    if (!terminator || !*terminator) {
        // The string form has no size: 0 stands in for it.
        LogEventStringInt(kMsgFileBadReadLine, kError, m_Path, 0);
        return -1;
    }
    if (!checkOpen("ReadLine"))
        return -1;
    return readLine(line, terminator, kMaxLineLength);
}

int CVornDiskFile::ReadLine(char* buffer, int size, const char* terminator) {
    if (!buffer || size < 0 || !terminator || !*terminator) {
        LogEventStringInt(kMsgFileBadReadLine, kError, m_Path, size);
        return -1;
    }
    if (!checkOpen("ReadLine"))
        return -1;
    CVornString line(CVornString::kUnlocked);
    int n = readLine(line, terminator, size);
    if (n < 0) {
        if (size > 0)
            buffer[0] = '\0';
        return -1;
    }
    if (n > 0)
        std::memcpy(buffer, line.CStr(), static_cast<size_t>(n));
    if (n < size)
        buffer[n] = '\0';
    return n;
}

bool CVornDiskFile::Flush() {
    if (!checkOpen("Flush"))
        return false;
    if (!flushWrite())
        return false;
    if (platform::SeekFile(m_Fd, m_Position, SEEK_SET) < 0) {
        reportErrno(kMsgFileSeekFailed, errno);
        return false;
    }
    // Stored means on the disk: a caller that flushes before it reports
    // success (accepted mail) must not lose the bytes in a crash.
    if (!(m_Flags & kFileReadOnly) && !platform::SyncFile(m_Fd)) {
        reportErrno(kMsgFileWriteFailed, errno);
        return false;
    }
    return true;
}

bool CVornDiskFile::WriteOut() {
    if (!checkOpen("WriteOut"))
        return false;
    if (!flushWrite())
        return false;
    if (platform::SeekFile(m_Fd, m_Position, SEEK_SET) < 0) {
        reportErrno(kMsgFileSeekFailed, errno);
        return false;
    }
    return true;
}

bool CVornDiskFile::Truncate(int size) {
    if (size < 0) {
        LogEventStringInt(kMsgFileBadTruncate, kError, m_Path, size);
        return false;
    }
    if (!checkOpen("Truncate"))
        return false;
    if (m_Flags & kFileReadOnly) {
        LogEventString(kMsgFileReadOnly, kError, m_Path);
        return false;
    }
    enterState(kBufferNone);
    if (!platform::TruncateFile(m_Fd, size)) {
        reportErrno(kMsgFileTruncateFailed, errno);
        return false;
    }
    return true;
}

bool CVornDiskFile::Seek(int offset, int whence) {
    if (!checkOpen("Seek"))
        return false;
    enterState(kBufferNone);
    int from = whence == 1 ? SEEK_CUR : whence == 2 ? SEEK_END : SEEK_SET;
    long long result = platform::SeekFile(m_Fd, offset, from);
    if (result < 0) {
        reportErrno(kMsgFileSeekFailed, errno);
        return false;
    }
    if (result > INT_MAX) {
        platform::SeekFile(m_Fd, m_Position, SEEK_SET);
        reportErrno(kMsgFileSeekFailed, EOVERFLOW);
        return false;
    }
    m_Position = static_cast<int>(result);
    return true;
}

int CVornDiskFile::Tell() {
    if (!checkOpen("Tell"))
        return -1;
    return m_Position;
}

void CVornDiskFile::Reserve(int size) {
    (void)size;
}

bool CVornDiskFile::statFile(long long* size, time_t* modTime) {
    platform::FileInfo info;
    int number;
    bool ok;
    if (m_Open) {
        // Pending bytes count; read-ahead bytes are already in the file.
        if (m_BufferState == kBufferWrite)
            enterState(kBufferNone);
        number = kMsgFileFstatFailed;
        ok = platform::StatFile(m_Fd, &info);
    } else {
        number = kMsgFileStatFailed;
        ok = platform::StatPath(m_Path.CStr(), &info);
    }
    if (ok && size && info.size > INT_MAX) {
        errno = EOVERFLOW;
        ok = false;
    }
    if (!ok) {
        reportErrno(number, errno);
        return false;
    }
    if (size)
        *size = info.size;
    if (modTime)
        *modTime = info.modTime;
    return true;
}

int CVornDiskFile::Size() {
    long long size = 0;
    return statFile(&size, nullptr) ? static_cast<int>(size) : -1;
}

void CVornDiskFile::GetModTime(CVornDate& date) {
    time_t modTime = 0;
    if (statFile(nullptr, &modTime))
        date.SetTime(modTime);
}

CVornFile* CVornDiskFile::Detach() {
    auto* taker = new CVornDiskFile();
    taker->m_Path.Assign(m_Path);
    taker->m_Flags = m_Flags;
    taker->m_Temporary = m_Temporary;
    taker->m_TempAnchor = m_TempAnchor;
    taker->m_TempDevice = m_TempDevice;
    taker->m_TempInode = m_TempInode;
    taker->m_Open = m_Open;
    taker->m_Fd = m_Fd;
    taker->m_Position = m_Position;
    taker->m_BufferState = m_BufferState;
    taker->m_Buffer.Swap(m_Buffer);
    std::swap(taker->m_PathLock, m_PathLock);  // this object gets the taker's fresh one

    m_Flags &= ~static_cast<unsigned>(kFileDeleteOnClose);
    m_TempAnchor = -1;
    m_Open = false;
    m_Fd = -1;
    m_Position = 0;
    m_BufferState = kBufferNone;
    m_Buffer.Clear();
    return taker;
}
