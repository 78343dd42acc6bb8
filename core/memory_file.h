// CVornMemoryFile: a CVornFile held in memory (the stored mail message and
// the HTTP request body). See core/vorn_file.h for the meaning of every
// operation; here only what is particular to memory.
//
// The contents survive Close: opening again without kFileTruncate sees the
// same bytes. Size and GetModTime answer also while the file is closed.
// Seeking past the end is allowed and a write there zero-fills the gap; a
// seek to before the start stops at 0. Read (string form) with nothing left
// returns 0 and leaves the caller's string as it was.
//
// Messages name the file "(memoryfile)". Operations on a closed file report
// message 94 (a warning for Close, an error otherwise) and fail.
//
// Threads: every operation holds the object's lock for its whole work, so
// single operations are atomic and the object may be shared; a sequence
// (Seek, then Read) is atomic only under the caller's own serialisation.
// Not copyable.
#pragma once

#include "core/vorn_buffer.h"
#include "core/vorn_date.h"
#include "core/vorn_file.h"
#include "core/vorn_lock.h"

class CVornMemoryFile : public CVornFile {
public:
    // The memory file's name in messages.
    static const char* const kName;

    // Closed, position 0, empty, modification time now. Of the flags only
    // kFileReadOnly, kFileAppend and kFileTruncate mean anything here.
    explicit CVornMemoryFile(unsigned flags = 0);
    ~CVornMemoryFile() override;

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
    bool Truncate(int size) override;
    bool Seek(int offset, int whence) override;
    int Tell() override;
    void Reserve(int size) override;
    int Size() override;
    void GetModTime(CVornDate& date) override;
    // Returns a new CVornMemoryFile (the caller deletes it).
    CVornFile* Detach() override;

private:
    // REQUIRES for all private operations: m_Lock held.
    // Reports message 94 for operation when the file is closed and returns
    // false then.
    bool checkOpen(const char* operation);
    // Reports 94 or 106 unless the file is open for writing.
    bool checkWritable();
    // In append mode moves the position to the end, then makes room for count
    // bytes there; false (103) when the end would pass INT_MAX.
    bool beginWrite(int count);
    // After count bytes were written at the position: advances it, stamps
    // the modification time and returns count.
    int endWrite(int count);

    unsigned m_Flags;
    bool m_Open = false;
    int m_Position = 0;
    // Seconds of the last change: a plain value under m_Lock, so that a
    // write stamps it without a lock of its own.
    time_t m_ModTime;
    CVornBuffer m_Contents;  // read position always 0: positions count from the first byte
    // The end up to which writes fit m_Contents' block without growing it,
    // so that most writes skip the reservation; 0 when unknown.
    int m_Room = 0;
    CVornLock m_Lock{true};
};
