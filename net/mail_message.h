// CVornMailMessage: one mail message stored in a file or in memory (a spool
// body, a message inside a mailbox file, a decoded MIME part, an HTTP
// response being composed).
//
// Written line by line, it parses the header block as it passes: it counts
// "Received" fields, rewrites address fields address by address
// (kRewriteAddresses), adds missing Date, Message-Id and From fields
// (kAddHeaders), guarantees the empty line after the header block, keeps a
// table of the header fields and a list of the MIME parts of a multipart
// body with their offsets. Opened for reading with kParseOnOpen it finds the
// same structure again; reads stay within the message's bounds.
//
// Stored form (what Write and Close leave in the file):
//   1. with kSeparator only (mailbox files): the separator line
//      ">From< " sender " " RFC 822 date CR LF, unless the message starts
//      with a separator line of its own; spool bodies carry none;
//   2. the header lines as written (address fields rewritten with
//      kRewriteAddresses);
//   3. with kAddHeaders: "Date", "Message-Id" (with the id given to Open)
//      and "From" (the sender given to Open) when missing, in that order;
//   4. the empty line (inserted when the header block ended otherwise);
//   5. the body, byte for byte.
// A separator line starts with ">From< ", ">From " or "From " (any case) and
// its next word holds '@' or is followed by a date. Readers skip one at the
// start of a message.
//
// Lines: written data is cut into lines at CR LF (a bare LF does not end a
// line); a line longer than kLineChunk - 1 bytes is handled in pieces of
// kLineChunk bytes.
//
// Bounds: the main header block may hold kMaxHeaderFields fields, each of at
// most kMaxFieldLength bytes with its continuation lines; a part's header
// block at most kMaxHeaderFields lines and kMaxFieldLength bytes; a body at
// most kMaxParts part records. Only the main body's boundary is followed, so
// the nesting depth of the parse is one. Passing a bound makes Write (or
// Open with kParseOnOpen) fail with 1 and a warning line in the debug log.
// Header texts written by the message itself (the added fields and the
// separator line) never carry CR or LF from the sender or id.
//
// Results: 0 success and 1 failure, or counts with -1 on error, as each
// operation says. Threads: every public operation holds the message's lock;
// the part list's own lock is taken inside. A message is normally used by
// one thread. Not copyable.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornFile;

// One MIME part of a multipart body. start: the offset of the part's first
// body byte (after its header block), -1 until that block has ended; size:
// the bytes from start to the boundary line that closes the part, -1 until
// then.
struct CVornMimePart {
    int m_Start = -1;
    int m_Size = -1;
    CVornString m_Charset{CVornString::kUnlocked};
    CVornString m_ContentType{CVornString::kUnlocked};
    CVornString m_Name{CVornString::kUnlocked};
    CVornString m_FileName{CVornString::kUnlocked};
    CVornString m_Disposition{CVornString::kUnlocked};
    CVornString m_Encoding{"7bit", CVornString::kUnlocked};
};

// One row of the header flag table.
struct CVornMailHeaderFlag {
    const char* m_Name;
    int m_Flags;
};

// The header flag table, ended by a row with a null name: 0x01 address
// field, 0x02 originator, 0x04 recipient, 0x08 message id, 0x10 date, 0x20
// content field. Names compare without regard to case; others have 0.
extern const CVornMailHeaderFlag g_MailHeaderFlags[];

// The flags of a field name (0 for names not in the table).
int MailHeaderFlags(const CVornString& name);

// Called wherever a write of a message fails; does nothing (a place for a
// debugger's breakpoint).
void DebugHook();

class CVornMailMessage {
public:
    // Behaviour flags.
    enum : int {
        kAddHeaders = 0x100,        // add missing Date, Message-Id, From
        kSeparator = 0x200,         // write a separator line first
        kParseOnOpen = 0x400,       // opening for reading parses the message
        kUnbounded = 0x800,         // the message runs to the end of the file
        kRewriteAddresses = 0x1000  // address fields in their header form
    };
    // Open modes of the disk constructor.
    enum : int { kModeRead = 1, kModeWrite = 2 };

    static constexpr int kLineChunk = 4096;
    static constexpr int kMaxHeaderFields = 1000;
    static constexpr int kMaxFieldLength = 64 * 1024;
    static constexpr int kMaxParts = 10000;

    // A memory message: flags kUnbounded, write mode, start 0, size 0.
    CVornMailMessage();
    // A message on a disk file at path, from startOffset, size bytes long (0:
    // up to the next separator line followed by a header line, or the end of
    // the file). mode kModeWrite opens for writing (appending a new message
    // at the end of the file), any other mode for reading. The file is
    // opened without the path lock: the spool's own locking decides who may
    // open a message file. A null path makes Open fail.
    CVornMailMessage(const char* path, int startOffset, int size, int flags, int mode);
    // Deletes the file object (which closes the file; nothing pending is
    // written), the header table, the parts and the texts.
    virtual ~CVornMailMessage();
    CVornMailMessage(const CVornMailMessage&) = delete;
    CVornMailMessage& operator=(const CVornMailMessage&) = delete;

    // ---- Opening and closing
    // Resets the parse, keeps copies of the two texts (each may be null) and
    // opens the file: for writing at its end (the start offset becomes that
    // position, size 0), for reading at the start offset (with kParseOnOpen
    // the message is parsed; a size of 0 becomes the message's length, a
    // last line without line end included). Every open starts without the
    // header table, part records and main-body fields of an earlier one.
    // 0 success, 1 failure (also when the file is still open: the file
    // object is then deleted).
    int Open(const char* envelopeSender, const char* messageId);
    int Open();
    // Writes what is pending (a collected address, a partial line) and
    // closes. A message marked by Discard is cut back to its start offset;
    // so is one whose pending text cannot be written or whose file cannot be
    // synced and closed (then 1). A disk message is synced to the disk
    // before Close returns 0. 0 success, 1 failure, no file or not open.
    int Close();
    // While open for writing: marks the message to be cut off by Close; 0.
    // Otherwise 1.
    int Discard();

    // ---- Writing
    // 0 success, 1 failure (no file, a line whose processing failed, a
    // short write, a bound passed). After a failure the message stays open
    // with what was written so far.
    int Write(const char* data, int length);
    // Capacity hint to the file (ignored when not positive).
    void Reserve(int bytes);

    // ---- Reading, bounded by the message unless kUnbounded.
    // The next line, up to and including LF (at most kMaxReadLine bytes: a
    // longer line comes in pieces). A separator line at the start offset is
    // skipped. Without a size (and without kUnbounded) the message ends
    // before a later separator line that a header line follows (a body line
    // "From joe@example.org wrote:" does not end it). The line's length; 0 at
    // the end of the message; -1 on a read error or without file.
    int ReadLine(CVornString& line);
    // Up to count bytes; the count, 0 at the end, -1 on error or without file.
    int Read(void* buffer, int count);
    // The bytes from the position to the end of the message into out; the
    // count (0 at the end, out empty) or -1.
    int ReadRest(CVornString& out);
    // Seeks to the start offset / start offset + offset / the body offset.
    // 0, or 1 without file or when the seek fails.
    int RewindToStart();
    int SeekFromStart(int offset);
    int SeekBody();

    // ---- Information
    int GetSize();
    int GetBodySize();
    int GetHeaderSize();
    int GetStartOffset();
    // "Received" fields of the main header block since the last Open.
    int GetHopCount();
    // The main header block has ended.
    bool IsInBody();
    // 0 and out = the envelope sender; 1 when there is none (out unchanged).
    int GetSender(CVornString& out);
    // 0 and out = the header table's value of the field (several fields of
    // one name joined by ", "); 1 and out empty when there is none.
    int GetHeader(const char* name, CVornString& out);

    // ---- Parts, keys (defined with the message parts, net/message_parts.cpp)
    // Part 0 is the main body, part i (1..n) part record i - 1.
    int GetPartCount();
    int GetPartInfo(int part, CVornString& contentType, CVornString& name, CVornString& fileName);
    int GetPartSize(int part, int& size);
    bool IsAttachment(int part);
    bool HasAttachment();
    int DecodePart(int part, CVornMailMessage& target, bool decode);
    int GetUniqueKey(CVornString& out);

    // ReadLine hands out lines of at most this many bytes.
    static constexpr int kMaxReadLine = 1 << 20;

private:
    // Parse states.
    enum : int { kStateFirstLine = 1, kStateHeaders = 2, kStateBody = 3, kStatePartHeaders = 4 };

    // ---- Defined with the message parts (net/message_parts.cpp).
    // Up to max bytes from the position, bounded by the message; 0 when
    // nothing may be read; -1 without file.
    int readChunk(CVornString& out, int max);
    void makeUniqueKey(CVornString& out);

    // ---- REQUIRES for all below: m_Lock held.
    // Resets everything Open resets.
    void resetParse();
    // Cuts data into lines (at CR LF, or kLineChunk bytes) and processes
    // them; in write mode the rest of a plain body goes straight to the file.
    // Also the read-mode parse of Open feeds its lines through here.
    int collect(const char* data, int length);
    // Processes the pending line by state and empties it (and then what a
    // boundary line cut at a bare LF left pending, while that is a whole
    // line).
    int processLine();
    // The pending line is whole: it ends in CR LF or fills kLineChunk bytes.
    bool pendingLineComplete() const;
    // continuing: the line continues a line cut at kLineChunk bytes.
    int processLine(CVornString& line, bool continuing);
    // Writes bytes to the file in write mode (the size and, after the main
    // header block, the body bytes grow); nothing in read mode. 0 or 1.
    int emit(const char* bytes, int count);
    int emit(const CVornString& text);
    // Writes the pending line unchanged and empties it.
    int flushLine();
    // A line of the main header block (state 2).
    int headerBlockLine(CVornString& line, bool continuing);
    int headerLine(CVornString& line);
    // sameLine: a piece of the same line rather than a folded line.
    int continuationLine(CVornString& line, bool sameLine);
    // Splits an address field's text at its commas; each address before a
    // comma is written at once, the last one stays pending. continuing: the
    // text continues the pending address.
    int processAddresses(const char* text, int length, bool continuing);
    // Writes the pending address in its header form (or as it stands when it
    // does not parse), with CR LF when asked.
    int flushAddress(bool withLineEnd);
    // Ends a rewritten address field: the pending address with its line end,
    // or the line end that was held back.
    int finishField();
    void addTableValue(const char* text, int length, bool asNewValue);
    int endHeaderBlock(const CVornString& line);
    int writeSeparator();
    // Read mode: the separator line's second word becomes the sender.
    void takeSenderFrom(const CVornString& line);
    // A boundary line in state 3 or 4. A bare LF inside it ends it: what
    // follows is left in the pending line, starting a new line.
    int boundaryLine(CVornString& line);
    int startPart(int position);
    int partHeaderLine(CVornString& line);
    // The file position of the first byte of the line being processed.
    int lineStartPosition();
    // The parse of the whole message during Open (read mode).
    int parseOnOpen();
    // The end of the readable range: start + size, or -1 when unbounded.
    int readLimit();
    // The bytes left before readLimit (INT_MAX when unbounded, 0 at or past
    // it), or -1 when the file cannot tell its position. REQUIRES: m_Lock
    // and a file.
    int bytesBeforeLimit();
    // The next line of the file up to LF (at most kMaxReadLine bytes); the
    // count, 0 at the end, -1 on error.
    int readRawLine(CVornString& line);
    // The same, not beyond limit (-1: no limit).
    int boundedLine(CVornString& line, int limit);
    // The line after the position is a header line (the position stays).
    bool headerLineFollows();
    // Cuts the file back to the start offset and closes it.
    void cutOff();
    // A warning line for a passed bound; returns 1.
    int bound(const char* what);

    static bool isHeaderLine(const char* text, int length);
    static bool isSeparatorLine(const CVornString& line);
    bool isBoundaryLine(const CVornString& line) const;
    static int findAddressComma(const char* text, int length);

    int m_Flags;
    char* m_Path = nullptr;
    int m_StartOffset;
    int m_Size;
    int m_BodyBytes = 0;
    int m_BodyOffset = 0;
    int m_State = kStateFirstLine;
    int m_SeenFlags = 0;
    bool m_WriteMode;
    CVornFile* m_File = nullptr;
    bool m_DiskBacked;
    CVornString m_FieldName{CVornString::kUnlocked};
    CVornString m_Line{CVornString::kUnlocked};
    CVornString m_PendingAddress{CVornString::kUnlocked};
    bool m_AddressPending = false;
    CVornStringMap m_HeaderTable{0, 1};
    char* m_EnvelopeSender = nullptr;
    char* m_MessageId = nullptr;
    int m_HopCount = 0;
    bool m_Discard = false;
    bool m_Multipart = false;
    CVornString m_ContentFields{CVornString::kUnlocked};
    CVornString m_ContentType{CVornString::kUnlocked};
    CVornString m_Encoding{CVornString::kUnlocked};
    CVornString m_Disposition{CVornString::kUnlocked};
    CVornString m_Name{CVornString::kUnlocked};
    CVornString m_FileName{CVornString::kUnlocked};
    CVornList<CVornMimePart> m_Parts;
    CVornString m_Boundary{CVornString::kUnlocked};
    CVornLock m_Lock{true};

    // Bookkeeping of the bounds and of the read-mode parse.
    int m_FieldCount = 0;           // fields of the main header block
    int m_FieldLength = 0;          // bytes of the current field
    int m_PartHeaderLines = 0;      // lines of the current part header block
    int m_LineStart = 0;            // read mode: file position of the pending line
    int m_FeedPosition = 0;         // read mode: file position of the next byte collected
    bool m_Continuing = false;      // the pending line continues a cut line
    bool m_RewritingField = false;  // inside an address field being rewritten
};
