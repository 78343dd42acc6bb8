// CMailbox: one mailbox of the local mail store. The mailbox file,
// <root>/<user>/<mailbox>, holds the stored messages one after another, each
// starting with its separator line (net/mail_message.h); its index, the same
// path with ".toc" appended, holds one line per message
// (gateway/mailbox_index.h), from which listings and counts are served.
//
//   CMailbox            make a mailbox object; given user and mailbox it opens
//   Open / Close        take the mailbox (loading, creating or rebuilding its
//                       index) and give it back
//   IsOpen / GetState   the open flag (any thread) and the load state
//   Deliver             store a message at the end of the file and index it
//   GetCounts           messages, unread messages and bytes of all entries
//   GetVisibleCounts    the same over the entries not hidden by the filter
//   GetSortOrder        the index's sort order (1-12; others sort as 7)
//   OpenMessage         a stored message, opened for reading
//   GetEntry            the index fields of a message
//   GetSizeAndUid       its length and unique id
//   FindByUid           the number of the first visible message with a uid
//   ClearFlags          clear flag bits of a message and rewrite the index
//   MailboxLockName     "QVBOXU" + SHA-256 of user and mailbox: the named mutex of a mailbox
//   MailboxPath         <root>/<user>/<mailbox>
//   SetMailboxRoot      the store's root directory (start-up; until then the
//                       service's data directory, kDefaultDataDirectory)
//   DeleteMailboxFiles  remove a mailbox's file, index and their copies
//
// Messages are numbered from 1 among the entries that are not hidden, in
// list order. Reading operations and ClearFlags need the mailbox open in
// state 0 (kBoxLoaded) and give 1 otherwise, or for a number without a
// message.
//
// Index repair: a missing index is created empty; a damaged one (event 74
// while loading, then 454) is rebuilt from the mailbox file, every message
// then unread and the entries in file order; so is one that the mailbox
// file is more than 60 s newer than (455) or whose lengths do not add up to
// the file's size (456). The four events are warnings.
//
// Bad input: a user or mailbox name that is empty, "." or "..", or holds a
// "/" or a control character, and a path that would reach 4096 bytes with
// its companions' suffixes, give a mailbox that never opens (state
// kBoxNoIndex) and DeleteMailboxFiles 1. Index lines and fields are bounded
// (gateway/mailbox_index.h): a longer line, a bad field count or an offset
// or length out of range makes the index damaged, never a large read.
// Nothing throws but std::bad_alloc from the free functions; Open turns
// every failure into a state.
//
// Threads: Open takes the mailbox lock (recursive, in-process) and the
// named mutex MailboxLockName (across processes, waiting without limit; a
// mutex left by a holder that died is taken over); both stay held until
// Close, so the mailbox belongs to the opening thread: only that thread may
// use it and close it (Close from another thread is refused and logged).
// The holder opening again only reloads what changed. IsOpen may be asked
// from any thread. The index files are written only under the named mutex.
// Not copyable.
#pragma once

#include <time.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "gateway/mailbox_index.h"
#include "platform/file_replace.h"

class CVornMailMessage;
class CVornMutex;

// The load states of a mailbox (the state after Open).
enum QV_Box_State : int {
    kBoxLoaded = 0,     // the index is loaded
    kBoxNotLoaded = 1,  // made, never opened
    kBoxNoIndex = 2,    // no index file, and none could be made
    kBoxCorrupt = 3,    // the index is damaged and could not be rebuilt
    kBoxFailed = 4,     // out of memory, or the mutex could not be taken
};

class CMailbox {
public:
    // Closes an open mailbox (see Close) and frees the entries.
    virtual ~CMailbox();

    // State kBoxNotLoaded. When user and mailbox are both given (not null),
    // names the mailbox's files and opens it with filterFlag.
    CMailbox(const char* user, const char* mailbox, int filterFlag);
    CMailbox(const CMailbox&) = delete;
    CMailbox& operator=(const CMailbox&) = delete;

    // Takes the mailbox (waiting for another thread or process holding it),
    // then loads the index: reloaded only when the file changed since the
    // last load, created when missing, rebuilt when damaged or when it does
    // not match the mailbox file. With filterFlag, the content filter's
    // re-check runs (at most once a minute). The state tells the outcome;
    // the mailbox is open afterwards unless its names are unusable or the
    // named mutex cannot be made (kBoxFailed).
    void Open(int filterFlag);
    // Gives the mailbox back; the entries and the state are kept. Nothing
    // when not open.
    void Close();
    bool IsOpen();
    int GetState() const { return m_State; }

    // Stores source (read from its start) at the end of the mailbox file
    // with a separator line naming sender, and indexes it with flags (bit
    // 0x20 set or cleared by whether it has an attachment) at its place in
    // the sort order. With filterFlag the content filter is asked first
    // (FilterMessage for the owner); *filterResult (may be null) then gets
    // its reason, a heap text the caller releases with delete[], or null.
    // 0 stored (uid := its unique id), 1 refused by the filter, -1 not
    // stored (not open, not loaded, no source, or the copy failed: the file
    // is cut back). A stored message whose index could not be rewritten
    // gives 0 too: it is in the file, and the next Open rebuilds the index.
    int Deliver(int filterFlag, int flags, const char* sender, CVornMailMessage* source,
                CVornString& uid, char** filterResult);

    // 0 with the counts; 1 when not open or not loaded (outputs unchanged).
    int GetCounts(int& messages, int& unread, long& bytes);
    int GetVisibleCounts(int& messages, int& unread, long& bytes);
    // The sort order; 0 when not open or not loaded.
    int GetSortOrder();

    // message := a new message over the stored one (parsed, read mode,
    // opened), which the caller deletes. 0; -1 when it cannot be opened
    // (message null); 1 when not open, not loaded or no such number.
    int OpenMessage(int number, CVornMailMessage*& message);
    // Clears bits in the message's flags and rewrites the index: the
    // rewrite's result (0 or 1); 1 as above.
    int ClearFlags(int number, int bits);
    int GetEntry(int number, int& flags, CVornString& from, CVornString& sender, CVornString& to,
                 CVornString& dateText, long& length, CVornString& subject, CVornString& uid);
    // length := 0 first, then the message's length.
    int GetSizeAndUid(int number, long& length, CVornString& uid);
    // The number of the first visible message whose uid equals uid exactly;
    // 0 when none, not open or not loaded.
    int FindByUid(const char* uid);

private:
    // REQUIRES for the rest: the mailbox open (held by this thread).

    // Index file handling (gateway/mailbox_index.cpp).
    // Reads the index into the entries: a QV_Box_State (0, 2, 3 or 4).
    int loadIndex();
    // Creates (or empties) the index with the header line ending in LF:
    // 0; 2 when it cannot be made; 1 when writing or closing fails.
    int createIndex();
    // Writes the entries to the index (a synced ".new" file renamed over
    // it, the previous index kept as ".old"): 0 or 1.
    int writeIndex();
    // New entries from the messages of the mailbox file, every one unread,
    // and writeIndex: 0 or 1.
    int rebuildIndex();
    // Rebuilds (true) when the mailbox file is more than 60 s newer than the
    // index or its size is not the sum of the entries' lengths.
    bool checkConsistency();
    // loadIndex when the index file changed since it was last read or
    // written; else the state as it stands.
    int reloadIfChanged();

    // Takes the named mutex; false (nothing held) when it cannot be made.
    bool takeMutex();
    // The open flag and the loaded state.
    bool ready();
    // The entry of message number (1 = the first visible), or null.
    MailboxIndexEntry* findVisible(int number);
    // An entry filled from a stored message (To shortened, texts bounded).
    static void fillEntry(MailboxIndexEntry& entry, CVornMailMessage& stored, int flags);
    // Inserts entry at its place in the sort order.
    void insertSorted(MailboxIndexEntry&& entry);
    // < 0, 0, > 0 as a sorts before, with or after b in the sort order.
    int compareEntries(const MailboxIndexEntry& a, const MailboxIndexEntry& b) const;
    // The content filter's re-check of the hidden marks (once a minute).
    void recheckFilter();

    int m_State = kBoxNotLoaded;
    std::string m_LockName;
    std::string m_Path;       // empty when the names are unusable
    std::string m_IndexPath;  // m_Path + ".toc"
    std::string m_Owner;
    std::unique_ptr<CVornMutex> m_Mutex;  // made by Open, deleted by Close
    CVornLock m_OpenLock;                 // guards m_Open and m_Holder
    bool m_Open = false;
    std::thread::id m_Holder;
    CVornLock m_MailboxLock;  // held from Open to Close
    std::vector<MailboxIndexEntry> m_Entries;
    time_t m_IndexTime = 0;            // last load or rewrite; 0 before the first
    platform::FileStamp m_IndexStamp;  // the index file as last read or written
    int m_SortOrder = kDefaultSortOrder;
    time_t m_LastRecheck = 0;
};

// out := "QVBOXU" and the SHA-256 (64 lower-case hex digits) of user, a
// NUL byte and mailbox: 70 characters whatever the names' lengths, and one
// name per pair (no name holds NUL), so two mailboxes never share a lock.
// Null names count as empty. Empty when the digest cannot be made: the
// mutex then refuses the name, and the mailbox does not open.
void MailboxLockName(const char* user, const char* mailbox, CVornString& out);

// out := root "/" user "/" mailbox. Null names count as empty.
void MailboxPath(const char* user, const char* mailbox, CVornString& out);

// Sets the root directory of the mailboxes; null or empty is ignored. Call
// it at start-up, before any mailbox is made.
void SetMailboxRoot(const char* directory);

// Under the mailbox's named mutex, removes its file, the file's ".new" and
// ".old" copies, the index and the index's ".new" and ".old" copies (a
// missing file is no error). 0; 1 for a null or unusable name, a mutex
// that cannot be taken, or a file that exists but cannot be removed.
int DeleteMailboxFiles(const char* user, const char* mailbox);
