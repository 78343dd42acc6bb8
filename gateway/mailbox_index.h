// The index of a mailbox (the mailbox path with ".toc" appended): its
// entries and the text form of its lines. CMailbox (gateway/mailbox.h)
// keeps the entries; its index file handling (load, create, rewrite,
// rebuild, consistency check) is in gateway/mailbox_index.cpp beside these.
//
//   MailboxIndexEntry   one stored message's index fields
//   FormatIndexHeader   the header line "# 1 <sort order>" with a line end
//   ParseIndexHeader    the sort order of a header line
//   FormatIndexLine     an entry as its line, ending CR LF
//   ParseIndexLine      a line (without its line end) into an entry
//   BoundIndexText      a text made fit for an index field
//
// Index file: the header line (a new index ends it in LF alone, a rewrite
// in CR LF), then one line per entry in list order, eleven fields separated
// by the byte 0x1C, ending CR LF: flags, From, sender, To, Date text,
// Subject, date (seconds since 1970), uid, offset, length, hidden (numbers
// in decimal).
//
// Bounds: a text field holds at most kMaxIndexText bytes and never CR, LF,
// NUL or 0x1C (a header of a stored message cannot start a new line or
// field), so every line the store writes stays below kMaxIndexLine. A line
// read back is refused when it is longer, has another field count, a number
// field of kMaxIndexNumber bytes or more, an offset outside 0..INT_MAX or a
// length below 1 or reaching past INT_MAX: such an index is damaged.
//
// Nothing here throws but std::bad_alloc. Pure functions: any thread.
#pragma once

#include <stddef.h>
#include <time.h>

#include <string>

// Flags of an entry that the store itself gives meaning to.
enum : int {
    kMailboxUnread = 0x01,      // counted as unread; set for every rebuilt entry
    kMailboxAttachment = 0x20,  // the message has an attachment
};
// Bit of the hidden field: hidden by the content filter's re-check.
constexpr int kMailboxHidden = 0x01;

// A new index sorts by date, oldest first.
constexpr int kDefaultSortOrder = 7;

constexpr size_t kMaxIndexLine = 64 * 1024;  // with its line end
constexpr size_t kMaxIndexText = 8192;
constexpr size_t kMaxIndexNumber = 4096;

struct MailboxIndexEntry {
    int m_Flags = 0;
    std::string m_From;      // the "From" header
    std::string m_Sender;    // the envelope sender
    std::string m_To;        // the "To" header; its first address + " ..." for several
    std::string m_DateText;  // the "Date" header
    std::string m_Subject;   // the "Subject" header
    time_t m_Date = 0;       // the Date text parsed (now when it does not parse)
    std::string m_Uid;       // the stored message's unique key
    long m_Offset = 0;       // where the message starts in the mailbox file
    long m_Length = 0;       // its size in bytes, separator line included
    int m_Hidden = 0;
};

// "# 1 <sortOrder>" followed by lineEnd.
std::string FormatIndexHeader(int sortOrder, const char* lineEnd);

// True and *sortOrder := the number after "# 1 " when line (length bytes,
// its line end included or not) starts so; false otherwise.
bool ParseIndexHeader(const char* line, size_t length, int* sortOrder);

// Appends entry's line, with CR LF, to out. Text fields lose their
// trailing CR and LF and are bounded (BoundIndexText) on the way.
void FormatIndexLine(const MailboxIndexEntry& entry, std::string& out);

// Reads a line without its line end into *entry: false when it is over a
// bound or is not eleven fields (see above); *entry is then unspecified.
bool ParseIndexLine(const char* line, size_t length, MailboxIndexEntry* entry);

// Cuts text to kMaxIndexText bytes, drops trailing CR and LF and turns any
// CR, LF, NUL and 0x1C left into a blank.
void BoundIndexText(std::string& text);
