// CVornFile: the abstract file through which the library and the gateway read
// and write stored data. CVornDiskFile (core/disk_file.h) implements it on
// disk, CVornMemoryFile (core/memory_file.h) in memory, so a parser or writer
// that takes a CVornFile works on either.
//
// Every implementation keeps these meanings:
//   Open        opens with the flags given at construction; false when already
//               open or when the file cannot be opened
//   Close       writes what is pending and closes; false when not open or on error
//   IsOpen      whether the file is open
//   Read        up to count bytes (string form: count 0 reads to the end);
//               bytes read, 0 at the end, -1 on error
//   GetChar     one byte; true when exactly one came
//   Write       the bytes; count written or -1
//   PutChar     one byte; true when exactly one was written
//   ReadLine    up to and including the terminator text (the last line may lack
//               it); bytes taken from the file, 0 when nothing was left, -1 on
//               error. The string form replaces the string's contents. The
//               buffer form stores at most size bytes and returns the number
//               stored, advancing by it: a line longer than size comes in
//               pieces of size bytes, the rest by the next calls, so a result
//               of size whose last stored bytes are not the terminator means
//               the line goes on. A NUL follows the stored bytes only when
//               there is room for it (result < size).
//   Flush       writes what is pending
//   Truncate    sets the size (shortening or zero-extending)
//   Seek        whence 0 from the start, 1 from the position, 2 from the end
//   Tell        the position; -1 when not open
//   IsEof       Size() == Tell()
//   Reserve     capacity hint for what will be written
//   Size        bytes; -1 on error
//   GetModTime  the time of the last change; the date is left as it was when
//               it cannot be found
//   Detach      a new heap object of the same kind (the caller owns it) takes
//               over the open state, position and contents; this one is left
//               closed and empty
//
// Failures are reported as one event-log message (numbers below) and a result
// of false or -1; nothing here throws on its own account. Negative counts and
// sizes are refused. Sizes and positions are ints: a file cannot grow beyond
// INT_MAX bytes through this interface.
//
// Not copyable. Whether an object may be shared between threads is the
// implementation's business (see its header).
#pragma once

class CVornBuffer;
class CVornDate;
class CVornString;

// Open flags, the constructor argument of every implementation.
enum : unsigned {
    kFileReadOnly = 0x01,       // writes and truncation are refused (106)
    kFileAppend = 0x02,         // every write goes to the end
    kFileCreate = 0x04,         // create the file when it does not exist
    kFileExclusive = 0x08,      // with kFileCreate: fail when it exists
    kFileTruncate = 0x10,       // empty the file when opening
    kFileDeleteOnClose = 0x20,  // delete the file when the object is destroyed (disk)
    kFileNoPathLock = 0x40,     // do not take the path lock (disk)
};

// Event-log messages of the files and file-system helpers.
enum : int {
    kMsgFileAlreadyOpen = 92,     // error: path
    kMsgFileOpenFailed = 93,      // error: path, errno
    kMsgFileNotOpen = 94,         // warning for "Close", else error: operation, path
    kMsgFileCloseFailed = 95,     // error: path, errno
    kMsgFileReadFailed = 96,      // error: path, errno
    kMsgFileSeekFailed = 97,      // error: path, errno
    kMsgFileTruncateFailed = 98,  // error: path, errno
    kMsgFileWriteFailed = 99,     // error: path, errno
    kMsgFileStatFailed = 100,     // error: path, errno
    kMsgFileFstatFailed = 101,    // error: path, errno
    kMsgFileBadRead = 102,        // error: path, count
    kMsgFileBadWrite = 103,       // error: path, count
    kMsgFileBadReadLine = 104,    // error: path, size
    kMsgFileBadTruncate = 105,    // error: path, size
    kMsgFileReadOnly = 106,       // error: path
    kMsgFileRemoveFailed = 107,   // error: path, errno
    kMsgFileRenameFailed = 108,   // error: source, target, errno
    kMsgDirCreateFailed = 109,    // error: path, errno
    kMsgDirRemoveFailed = 110,    // error: path, errno
    kMsgDirListFailed = 114,      // error: directory, errno
    kMsgFileTooManyOpen = 115,    // warning: path, errno
};

class CVornFile {
public:
    CVornFile() = default;
    virtual ~CVornFile();
    CVornFile(const CVornFile&) = delete;
    CVornFile& operator=(const CVornFile&) = delete;

    virtual bool Open() = 0;
    virtual bool Close() = 0;
    virtual bool IsOpen() = 0;
    virtual int Read(CVornString& out, int count) = 0;
    virtual int Read(void* buffer, int count) = 0;
    virtual bool GetChar(char& c);
    virtual int Write(const CVornString& text) = 0;
    virtual int Write(const void* bytes, int count) = 0;
    virtual bool PutChar(char c);
    virtual int ReadLine(CVornString& line, const char* terminator) = 0;
    virtual int ReadLine(char* buffer, int size, const char* terminator) = 0;
    virtual bool Flush() = 0;
    virtual bool Truncate(int size) = 0;
    virtual bool Seek(int offset, int whence) = 0;
    virtual int Tell() = 0;
    virtual bool IsEof();
    virtual void Reserve(int size) = 0;
    virtual int Size() = 0;
    virtual void GetModTime(CVornDate& date) = 0;
    virtual CVornFile* Detach() = 0;
};

// For implementations: makes the buffer's storage hold at least length bytes
// (its read position must be 0 or its consumed bytes disposable). With grow,
// a block that is too small is replaced by one of at least twice its size, so
// that data arriving in small pieces is copied a bounded number of times;
// without it, by one of exactly length bytes (plus the string slack). Throws
// std::bad_alloc when memory runs out or length is beyond the int range.
void ReserveFileBuffer(CVornBuffer& buffer, long long length, bool grow);
