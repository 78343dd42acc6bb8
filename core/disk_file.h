// CVornDiskFile: the CVornFile on disk. See core/vorn_file.h for the meaning
// of every operation; here only what is particular to disk.
//
// Buffering: reads go to the system in chunks of 4064 bytes (kChunk) and
// writes once 4064 bytes are pending, so reading line by line costs one
// system call per chunk. Pending writes reach the file on Flush, Close, a
// Seek, a Truncate, Size or GetModTime, or when the next read starts. Flush
// also syncs the file to the disk (fsync), so data is stored once Flush
// returns true.
//
// Path lock: unless kFileNoPathLock is set, Open waits without limit for the
// named mutex PathToLockName(path) (core/file_system.h) and holds it until
// Close, so threads and other processes that open the same path take turns.
// The mutex is recursive: one thread may open one path through two objects.
// Ownership belongs to the thread, so the thread that opened the file closes
// it. Open and Close pass on the CVornException of the mutex (46 it cannot be
// made, 44 the wait failed or the last owner died holding it, 45 the release
// failed); Open then leaves the file closed and nothing held.
//
// Differences from the memory file: Read (string form) at the end empties
// the caller's string; a Seek to before the start fails (97); in append mode
// each write goes to the end of the file as it is then (O_APPEND), and the
// position follows it.
//
// Lines: the string form of ReadLine hands out at most kMaxLineLength bytes
// at a time, so a file without line ends never fills memory: a longer line
// comes in pieces of that size, as the buffer form hands out pieces of the
// caller's size (see core/vorn_file.h).
//
// Threads: no lock of its own; one object is used by one thread at a time.
// Not copyable.
#pragma once

#include <memory>

#include "core/vorn_buffer.h"
#include "core/vorn_file.h"
#include "core/vorn_string.h"

class CVornMutex;

class CVornDiskFile : public CVornFile {
public:
    static constexpr int kChunk = 4064;
    static constexpr int kMaxLineLength = 1 << 20;

    // Closed; nothing touches the disk. path may be null (an empty path).
    CVornDiskFile(const char* path, unsigned flags);

    // A temporary file with a name no one else holds: tries
    // JoinPath(directory, base) + counter + "." + extension, counting the
    // counter up (CVornString::Increment) while a candidate's path lock is
    // held elsewhere or the file already exists, and creates the free
    // candidate exclusively (mode 0644, empty). The object is returned closed
    // with flags kFileDeleteOnClose, so Open then opens it read-write and the
    // destructor removes it. The search gives up after every counter value
    // was tried (at most 65536) or after 8 candidates failed for another
    // reason (each reported with message 93); the path is then empty, so Open
    // fails with 93 and nothing is removed. Passes on the path lock's
    // CVornException.
    CVornDiskFile(const char* directory, const char* base, const char* counter,
                  const char* extension);

    // Closes an open file (errors are reported, never thrown) and, with
    // kFileDeleteOnClose, removes the file when it exists.
    ~CVornDiskFile() override;

    bool Open() override;
    bool Close() override;
    bool IsOpen() override;
    int Read(CVornString& out, int count) override;
    int Read(void* buffer, int count) override;
    int Write(const CVornString& text) override;
    int Write(const void* bytes, int count) override;
    int ReadLine(CVornString& line, const char* terminator) override;
    int ReadLine(char* buffer, int size, const char* terminator) override;
    bool Flush() override;
    // Like Flush without the sync: the pending bytes go to the system, so
    // readers see them and they outlive this process, but a crash of the
    // machine may lose them. For callers that sync elsewhere (the activity
    // log syncs after it lets go of its lock). False (reported) when the
    // write failed.
    bool WriteOut();
    bool Truncate(int size) override;
    bool Seek(int offset, int whence) override;
    int Tell() override;
    void Reserve(int size) override;
    int Size() override;
    void GetModTime(CVornDate& date) override;
    // Returns a new CVornDiskFile (the caller deletes it) that takes over the
    // path, the flags (kFileDeleteOnClose included), the descriptor, position,
    // buffered bytes and the path lock with whatever it holds. This object
    // keeps its path but loses kFileDeleteOnClose (destroying it deletes
    // nothing) and is left closed.
    CVornFile* Detach() override;

    // The file's path (may be read while the object is not in use elsewhere).
    const CVornString& GetPath() const { return m_Path; }

private:
    enum BufferState { kBufferNone = 0, kBufferRead = 1, kBufferWrite = 2 };

    CVornDiskFile();

    // Reports message 94 for operation when the file is closed.
    bool checkOpen(const char* operation);
    // Writes pending bytes (state 2) and empties the buffer in every state;
    // false (99 reported) when the write failed or was short. The state is
    // left to the caller.
    bool flushWrite();
    // Reports 94 or 106 unless the file is open for writing.
    bool checkWritable();
    // Enters write mode (in append mode moving the position to the end) and
    // makes room for count bytes; false (103) when the position would pass
    // INT_MAX.
    bool beginWrite(int count);
    // After count bytes were buffered: writes them out once a chunk is
    // pending and advances the position. count, or -1 when the write failed.
    int endWrite(int count);
    // Leaves the current buffer mode for state: pending bytes are written and
    // the descriptor's offset is moved to the position (a failure to move it
    // is reported as 97 and otherwise ignored). False when the write failed.
    bool enterState(BufferState state);
    // Appends up to one chunk from the descriptor to the buffer: bytes read,
    // 0 at the end, -1 on error (96 reported). REQUIRES: read mode.
    int fillChunk();
    // Moves the next line into line, at most its first maxBytes bytes (the
    // rest stays unread for the next call); advances the position. The
    // count, 0 at the end, -1 on a read error (nothing is then consumed).
    int readLine(CVornString& line, const char* terminator, int maxBytes);
    // Puts line's bytes back in front of the unread buffer. Empties line.
    void unread(CVornString& line);
    // Size and modification time: fstat when open (after writing what is
    // pending), stat of the path when closed. False (100 / 101) on failure.
    bool statFile(long long* size, time_t* modTime);
    // The lock name of the path.
    void lockName(CVornString& name);
    void releasePathLock();
    void reportErrno(int number, int error);
    // Whether fd is the temporary file this object created.
    bool isCreatedFile(int fd) const;

    CVornString m_Path{CVornString::kUnlocked};
    unsigned m_Flags = 0;
    // A temporary file's identity from its exclusive create: Open reopens
    // that file only, never a link or another file put in its place.
    bool m_Temporary = false;
    int m_TempAnchor = -1;  // the create's descriptor, closed with the object
    unsigned long long m_TempDevice = 0;
    unsigned long long m_TempInode = 0;
    bool m_Open = false;
    int m_Fd = -1;
    int m_Position = 0;
    BufferState m_BufferState = kBufferNone;
    CVornBuffer m_Buffer;
    std::unique_ptr<CVornMutex> m_PathLock;
};
