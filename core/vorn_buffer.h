// CVornBuffer: a growable byte buffer with a read position. Data is appended
// at the end and consumed from the front; consumed bytes are dropped lazily,
// so a reader can take many small pieces without moving the rest each time.
// It is the read-ahead buffer of files and sockets and the holder of memory
// file contents and HTTP bodies.
//
// Storage: a locked CVornString whose block, length and capacity are the
// buffer's bytes, end of data and allocated size; that string's lock is the
// buffer's lock. Blocks handed out by Detach and taken by Adopt are
// allocated with new char[] and released with delete[].
//
// Growth: by steps of 4064 bytes (never less), so with the string's 32 bytes
// of slack a buffer filled by appends of less than 4064 bytes has capacities
// 4096, 8192, ...
//
// Positions: ReadAt, WriteAt, Resize and ReadLineAt first drop the consumed
// bytes, so for them position 0 is the first unread byte.
//
// Threads: every operation holds the buffer's lock; an operation with a
// CVornString argument also holds that string's lock (both taken in address
// order, so two operations on the same pair never wait for each other). Swap
// holds both buffers' locks.
//
// Errors: bad positions and counts give -1 (or are ignored where the
// operation returns nothing) and leave everything unchanged. A size that
// cannot be represented in an int, or exhausted memory, throws
// std::bad_alloc; the buffer keeps its data and no lock stays held.
#pragma once

#include "core/vorn_string.h"

class CVornBuffer {
public:
    // Empty, without storage, read position 0.
    CVornBuffer();
    virtual ~CVornBuffer();
    CVornBuffer(const CVornBuffer&) = delete;
    CVornBuffer& operator=(const CVornBuffer&) = delete;

    // Appends n bytes at the end; ignored when bytes is null or n <= 0.
    void Append(const void* bytes, int n);
    void Append(const CVornString& s);

    // Copies min(n, unread) bytes to dst and consumes them; returns the count,
    // -1 when dst is null or n < 0.
    int Read(void* dst, int n);
    // The same into s, whose text is replaced by the bytes read (its storage
    // is sized for what is actually read, never for n). -1 when n < 0, s then
    // unchanged.
    int Read(CVornString& s, int n);

    // Makes room for n unread bytes in one allocation, so a writer that knows
    // its size ahead does not grow by steps; the data stays. Nothing when n
    // <= 0 or the room is there already. Past n the usual steps apply.
    void Reserve(int n);

    // Unread bytes the storage holds before a write must grow it: WriteAt
    // that ends at or before this position keeps the block. 0 without storage.
    int Room();

    // Number of unread bytes.
    int Available();
    // Length and read position 0; the storage stays.
    void Clear();

    // Moves the unread bytes up to and including the next terminator term into
    // line and returns the line's whole length, terminator included. Without
    // append the line is emptied first; with append the bytes go after what
    // the line holds, and a terminator that began at the line's end is found
    // (a CR LF split between two refills). When no terminator follows, all
    // unread bytes are moved into the line and the result is 0: the caller
    // refills and calls again with append. -1 when term is null or empty.
    int ReadLine(CVornString& line, const char* term, bool append);
    // The same into buf, which holds *size bytes: the line (continuing after
    // the C string already in buf when append is set) is copied until the
    // terminator or until it is *size - 1 bytes long, then NUL-terminated;
    // *size receives the line's length. Returns that length when the
    // terminator was found, else 0 (buf full or nothing more unread; the rest
    // stays unread). -1 when buf or size is null, *size < 0, or term is null
    // or empty. With *size == 0 nothing is written.
    int ReadLine(char* buf, int* size, const char* term, bool append);

    // Drops the consumed bytes, then exchanges storage with s: s receives
    // exactly the unread bytes and the buffer receives s's former text as its
    // unread bytes. No data is copied.
    void TakeAll(CVornString& s);
    // Exchanges storage and read positions with the other buffer.
    void Swap(CVornBuffer& other);

    // Drops the consumed bytes and hands the storage block to the caller, who
    // releases it with delete[] (null when there is none). *length and
    // *capacity (each may be null) receive its data length and size. The
    // buffer is left empty without storage.
    void* Detach(int* length, int* capacity);
    // Frees the buffer's storage and takes over the caller's block (allocated
    // with new char[]) with its data length and size; read position 0. The
    // caller's three variables become null and 0. Refused (nothing changes,
    // the caller keeps the block) when a pointer is null, *length < 0 or
    // *length > *capacity, or *capacity > 0 with a null block.
    void Adopt(void** data, int* length, int* capacity);

    // Copies min(n, bytes from pos to the end) bytes from pos without
    // consuming anything; returns the count. -1 when pos < 0, dst is null or
    // n < 0.
    int ReadAt(int pos, void* dst, int n);
    // The same into s; n <= 0 means up to the end. When at least one byte is
    // copied s's text becomes those bytes, otherwise s is left unchanged.
    // -1 when pos < 0.
    int ReadAt(int pos, CVornString& s, int n);

    // Writes n bytes at pos, extending the data when pos + n passes its end;
    // bytes between the old end and pos read as zero. Returns n; -1 (nothing
    // changed) when pos < 0, n < 0, bytes is null while n > 0, or pos + n is
    // beyond the int range.
    int WriteAt(int pos, const void* bytes, int n);
    int WriteAt(int pos, const CVornString& s);

    // Sets the data length to n, cutting or extending with zero bytes;
    // ignored when n < 0.
    void Resize(int n);

    // The line that starts at pos, as ReadLine without append, but nothing is
    // consumed. -1 also when pos < 0; a pos at or beyond the end gives an
    // empty line and 0.
    int ReadLineAt(int pos, char* buf, int* size, const char* term);
    int ReadLineAt(int pos, CVornString& line, const char* term);

private:
    // REQUIRES for all: the buffer's lock held.
    // Lowers a read position beyond the length to the length.
    void clampReadPos();
    // Moves the unread bytes to the front; the read position becomes 0.
    void compact();
    // Grows the storage to n bytes keeping the data; the length becomes n and
    // the new bytes are zero. REQUIRES: n >= length.
    void zeroExtend(int n);
    // Moves bytes from position from into line up to the next terminator (all
    // of them when there is none); *used receives the count moved. Returns the
    // line's length when the terminator was found, else 0. REQUIRES: line's
    // lock held too.
    int readLineInto(int from, CVornString& line, const char* term, bool append, int* used);
    // The same into a caller buffer, following ReadLine's rules for buf and
    // size.
    int readLineIntoBuf(int from, char* buf, int* size, const char* term, bool append, int* used);

    CVornString m_Storage{CVornString::kLocked};
    int m_ReadPos = 0;
};
