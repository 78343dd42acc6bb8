// CMailboxSet: one mail user's set of mailboxes in the local mail store. The
// set lives in the user's folder <mail root>/<user>: its set file
// "mailboxes.mbs" lists the mailboxes with their counts as of their last
// close, and each mailbox is a CMailbox (gateway/mailbox.h) over the files
// <mail root>/<user>/<mailbox> and its ".toc" index.
//
//   MailboxSetEntry          one mailbox of a set: name, mailbox object,
//                            open count and the counts of its last close
//   CompareMailboxNames      order of entries by name, letter case ignored
//   IsMailboxName            may a name be made a mailbox of a set?
//   CMailboxSet::CreateMailbox / DeleteMailbox / DeleteAllMailboxes
//   CMailboxSet::OpenMailbox / CloseMailbox   lend a mailbox and take it back
//   CMailboxSet::GetMailboxCounts / GetTotals / CountCachedMessages / ListInto
//   CMailboxSet::GetDeliveryMailbox           where local delivery goes ("Inbox")
//
// Set file: text, lines ending CR LF. The header "# 1 <entries> 0 <time of
// writing in seconds since 1970>", then one line per entry in list order:
// "B" name "," messages "," unread "," bytes (decimal). It is rewritten after
// every create, delete and close: the new text goes to "mailboxes.mbs_new"
// (synced), "mailboxes.mbs_old" becomes a second name of the current file,
// and the new file is renamed over it, so the set file is never missing.
// Nothing in this system reads the file back.
//
// Bad input: a mailbox name that IsMailboxName refuses is never added, opened
// or created (null or 1): names must pass the configuration store's object
// name rule (1 to 127 characters, none that could end a line or a field of
// the set file) and must name one file of the folder that is not one of the
// store's own ("." "..", "/", the set file and its copies, and names ending
// ".toc", ".new" or ".old", which are the companions of other mailboxes).
// A set whose user name is not one folder has no set file (every rewrite
// gives 1) and its mailboxes never open (CMailbox refuses the names).
// Broken invariants throw CVornException: 61 a list position without an
// entry, 62 an entry added without a comparison function, 70 a mailbox
// closed more often than opened (text: user ":" mailbox).
//
// Threads: any thread. Locks, outermost first: the set's reader-writer lock
// (write for changes, opens and closes; read for counts, totals and lists),
// then the entry list's own locks (single list steps), then a new mailbox's
// locks (its first open happens under the write lock). A mailbox lent by
// OpenMailbox belongs to the opening thread until that thread gives it back
// with CloseMailbox; reopening a mailbox already made happens outside the
// set's lock, so a wait for its holder never blocks the set. Not copyable.
#pragma once

#include <memory>
#include <string>

#include "core/rw_lock.h"
#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "gateway/mailbox.h"

class CVornMailMessage;

// The four special mailboxes; local delivery goes to the first.
constexpr const char* kInboxName = "Inbox";
constexpr const char* kSpecialMailboxes[] = {"Inbox", "Sent-Mail", "Drafts", "Trash"};

// Catalogue number: a mailbox closed more often than opened (text: user ":"
// mailbox).
enum : int { kMsgMailboxOverClosed = 70 };

// One mailbox of a set. The set's own entries own their mailbox object; a
// copy made by Assign (what a list of entries holds, ListInto) carries the
// name and the numbers but never the mailbox object. Not copyable otherwise.
struct MailboxSetEntry {
    MailboxSetEntry() = default;
    ~MailboxSetEntry();
    MailboxSetEntry(const MailboxSetEntry&) = delete;
    MailboxSetEntry& operator=(const MailboxSetEntry&) = delete;
    // this := other's name and numbers; this keeps its own mailbox object.
    void Assign(const MailboxSetEntry& other);

    CVornString m_Name{CVornString::kUnlocked};
    std::unique_ptr<CMailbox> m_Mailbox;  // made at the first open; kept closed
    int m_OpenCount = 0;                  // opens not yet closed
    int m_Messages = 0;                   // the counts as of the last close
    int m_Unread = 0;
    long m_Bytes = 0;
};

// Negative, 0 or positive as a's name sorts before, with or after b's,
// letter case ignored. A comparison function for sets and their listings.
int CompareMailboxNames(const MailboxSetEntry* a, const MailboxSetEntry* b);

// True when name may be a mailbox of a set (see Bad input above).
bool IsMailboxName(const char* name);

class CMailboxSet {
public:
    typedef CVornSortedList<MailboxSetEntry>::CompareFunction CompareFunction;

    // An empty set of user's mailboxes, its set file at the path
    // GetMailboxSetPath gives now (takes g_MailStoreLock). compare orders
    // the entries; without one, adding an entry throws 62. Nothing is read
    // or written.
    CMailboxSet(const char* user, CompareFunction compare);
    // Deletes the entries and with them their mailbox objects (an open one
    // is closed).
    virtual ~CMailboxSet();
    CMailboxSet(const CMailboxSet&) = delete;
    CMailboxSet& operator=(const CMailboxSet&) = delete;

    // Adds the mailbox, rewrites the set file and makes the mailbox's files
    // (an open that loads its index, then a close): 0, also when the set
    // has it already (nothing is then written). 1 for a name IsMailboxName
    // refuses, a set file that cannot be rewritten, or a mailbox that does
    // not load: the entry is taken out again.
    virtual int CreateMailbox(const char* mailbox);
    // Takes the mailbox out of the set, rewrites the set file and removes
    // the mailbox's files: 0. 1 when it is not in the set or is open (nothing
    // changed), when the set file cannot be rewritten (the entry is put
    // back), or when a file of the mailbox cannot be removed (the entry is
    // gone).
    virtual int DeleteMailbox(const char* mailbox);
    // DeleteMailbox of the first entry until none is left: 0; 1 at the first
    // failure (mailboxes deleted before stay deleted).
    virtual int DeleteAllMailboxes();
    // The mailbox's counts as of its last close: 0; 1 when it is not in the
    // set (outputs unchanged).
    virtual int GetMailboxCounts(const char* mailbox, int& messages, int& unread, long& bytes);
    // The sums of those counts over the set (zero for an empty set;
    // messages and unread stop at INT_MAX).
    virtual void GetTotals(int& messages, int& unread, long& bytes);
    // The same sums over the entries that hold a mailbox object.
    virtual void CountCachedMessages(int& messages, int& unread, long& bytes);
    // Inserts a copy of every entry (name, open count, counts; no mailbox
    // object) into list by list's own comparison function. Throws 62 when
    // list has none.
    virtual void ListInto(CVornSortedList<MailboxSetEntry>& list);

    // Lends the mailbox, opened with filterFlag (gateway/mailbox.h: its
    // state tells whether its index loaded); a name not yet in the set is
    // added. Null for a name IsMailboxName refuses or when memory runs out.
    // The caller gives it back with CloseMailbox on the same thread and
    // must not delete it.
    virtual CMailbox* OpenMailbox(const char* mailbox, int filterFlag);
    // Takes a lent mailbox back: its counts are kept in the entry, it is
    // closed, and the set file is rewritten (also when nothing was open).
    // Nothing for a name not in the set. Throws 70 when the open count
    // falls below 0.
    virtual void CloseMailbox(const char* mailbox);
    // name := the mailbox that local delivery of message goes to: "Inbox".
    virtual void GetDeliveryMailbox(CVornMailMessage* message, CVornString& name);

    const char* GetUserName() const { return m_User.c_str(); }

private:
    // REQUIRES for these: the set's lock as each says (write unless said).
    // 1 for a null, empty or present name; else a new entry (no mailbox,
    // open count 0) at its place in the order: 0. Throws 62 without a
    // comparison function.
    int addEntry(const char* mailbox, int messages, int unread, long bytes);
    // 1 when absent or open; else deletes the entry and its mailbox: 0.
    int removeEntry(const char* mailbox);
    // Position of the entry named mailbox (from 0); -1 when absent. Read
    // lock is enough.
    int indexOf(const char* mailbox);
    // The entry at position; throws 61 when there is none. Read lock.
    MailboxSetEntry* entryAt(int position);
    // Rewrites the set file: 0, or 1 (logged) when it cannot be written.
    int Save();

    std::string m_User;
    std::string m_SetPath;  // empty: the user has no folder
    CVornSortedList<MailboxSetEntry> m_Entries;
    CVornRWLock m_SetLock;
};
