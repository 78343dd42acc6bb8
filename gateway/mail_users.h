// Mail users of the local mail store: users whose effective setting
// "ZELORMUser" begins with "1". Each mail user owns a mailbox set
// (gateway/mailbox_set.h: the folder <mail root>/<user> with its set file
// "mailboxes.mbs" and one mailbox per name), handed out by the process-wide
// MailUserRegistry under reference counting. The free functions take a user
// name, find the user's set, run one operation of the set and give the
// reference back.
//
//   SetMailRoot          the root of the users' folders (and of the mailboxes)
//   IsMailUser           is the user's effective "ZELORMUser" "1..."?
//   ActivateMailUser     make a user a mail user with a set
//   CreateMailbox        one mailbox in a mail user's set
//   DeleteMailUser       remove a mail user's mailboxes, set file and folder
//   GetMailboxCounts     one mailbox's counts as of its last close
//   GetUserMailTotals    the counts summed over a user's mailboxes
//   OpenMailbox          lend a user's mailbox (local delivery, web mail)
//   CloseMailbox         take it back
//   GetDeliveryMailbox   the mailbox local delivery goes to ("Inbox")
//   ListMailboxes        copies of a user's entries into a sorted list
//   IsSpecialMailbox     "Inbox", "Sent-Mail", "Drafts" or "Trash"?
//   CloseAllMailUsers    unregister every user no one holds (shutdown)
//   CountCachedMessages  messages of the mailboxes the sets hold open
//   Registry operations (REQUIRE g_MailStoreLock): FindMailboxSet,
//   ReleaseMailUser, UnregisterMailUser, IsMailUserInUse, MarkMailUser,
//   UnmarkMailUser, GetMailboxSetPath, DeleteMailUserFiles
//
// In this system no mailbox set is ever made: FindMailboxSet hands out only
// the sets of users already registered, and nothing registers one (a lookup
// that reads a set file and registers its set is not part of this system).
// So every operation that needs a set ends in its failure result: 1 from
// ActivateMailUser (except for a user who is a mail user already: 0),
// CreateMailbox, DeleteMailUser, GetMailboxCounts, GetUserMailTotals and
// ListMailboxes; null from OpenMailbox; CVornException 71 from CloseMailbox;
// 0 from CountCachedMessages; GetDeliveryMailbox still names "Inbox". The
// operations keep their whole algorithm, so a lookup that yields sets makes
// them work.
//
// Results: 0 success, 1 failure. Bad input: a null or empty user name gives
// 1 (false for IsMailUser, null for OpenMailbox; CloseMailbox throws 71). A
// user name that is not one path component ("/" in it, "." or "..") has no
// store folder: GetMailboxSetPath gives an empty path and
// DeleteMailUserFiles removes nothing. Mailbox names are checked by the set
// (gateway/mailbox_set.h). Broken invariants throw CVornException: 69 a
// user's references below 0, 71 a release for a user who is not registered,
// 72 an unregister of a user who is not registered (text: the user name).
//
// Threads: any thread. Lock order: g_MailStoreLock, then a set's own locks,
// then the configuration store's locks (IsMailUser and the marks go through
// the store while g_MailStoreLock is held). The functions that lend a set
// release g_MailStoreLock around the set's operation and give the reference
// back also when the set throws; DeleteMailUser and CountCachedMessages hold
// it throughout, so no one takes a new reference to a set that is being
// deleted or counted. A set's operations must not call back into this
// module. A mailbox lent by OpenMailbox keeps its user's set referenced (so
// it stays registered) until CloseMailbox.
#pragma once

#include <time.h>

#include "core/hash_table.h"
#include "core/vorn_lock.h"
#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "gateway/mailbox_set.h"

// The user setting that makes a user a mail user, and the set file's name.
constexpr const char* kMailUserSetting = "ZELORMUser";
constexpr const char* kMailboxSetFileName = "mailboxes.mbs";

// Catalogue numbers of the registry's broken invariants (base catalogue).
enum : int {
    kMsgMailUserOverReleased = 69,  // text: the user name
    kMsgMailUserNotRegistered = 71,
    kMsgMailUserCannotUnregister = 72,
};

// One registered mail user. Owns its set. Not copyable.
struct MailUserEntry {
    MailUserEntry() = default;
    ~MailUserEntry();
    MailUserEntry(const MailUserEntry&) = delete;
    MailUserEntry& operator=(const MailUserEntry&) = delete;

    int m_References = 0;          // lookups not yet given back
    CMailboxSet* m_Set = nullptr;  // owned, deleted with the entry
    time_t m_LastRelease = 0;      // Now() at the last ReleaseMailUser
};

// User name (any letter case) -> entry; 1024 buckets. Guarded by
// g_MailStoreLock. Process-wide, never destroyed (threads may still use it
// while the process ends).
extern CVornMap<MailUserEntry>& MailUserRegistry;
// Guards MailUserRegistry and the mail root.
extern CVornLock& g_MailStoreLock;

// Sets the mail root under g_MailStoreLock, then the mailboxes' root
// (SetMailboxRoot) to the same directory; null or empty is ignored. The
// root starts as the service's private data directory.
void SetMailRoot(const char* directory);

// True when the user's effective "ZELORMUser" (no client) fits 32 bytes and
// begins with "1".
bool IsMailUser(const char* user);

// 0 when the user is a mail user already (nothing else is done), or has
// been marked one ("ZELORMUser" "1", not saved) and has a set; 1 otherwise:
// no such user object, or no set (the user's "ZELORMUser" is then "0", not
// saved).
int ActivateMailUser(const char* user);

// Adds the mailbox to a mail user's set (CMailboxSet::CreateMailbox): its
// result; 1 when the user is not a mail user or has no set.
int CreateMailbox(const char* user, const char* mailbox);

// Deletes a user's mail store: every mailbox, the set file and the folder,
// and unregisters the user, leaving "ZELORMUser" "0": 0. 1 when the user is
// in use or has no set, when there is no such user object, when a mailbox
// cannot be deleted (those deleted before stay deleted) or when the user is
// referenced again. A user who was not a mail user is marked one for the
// attempt; when the attempt fails, the user's own "ZELORMUser" is put back
// as it was (absent, or its value). Nothing is saved.
int DeleteMailUser(const char* user);

// The counts of the user's mailbox as of its last close
// (CMailboxSet::GetMailboxCounts): 0, also when the set has no such mailbox
// (outputs then unchanged); 1 when the user is not a mail user or has no set.
int GetMailboxCounts(const char* user, const char* mailbox, int& messages, int& unread,
                     long& bytes);

// The counts summed over the user's mailboxes (CMailboxSet::GetTotals): 0;
// 1 when the user is not a mail user or has no set (outputs unchanged).
int GetUserMailTotals(const char* user, int& messages, int& unread, long& bytes);

// The user's mailbox, opened with filterFlag (CMailboxSet::OpenMailbox; its
// state says whether its index loaded), or null: not a mail user, no set,
// or a name the set refuses. A returned mailbox belongs to the calling
// thread, which gives it back with CloseMailbox(user, mailbox); until then
// the user's set stays referenced.
CMailbox* OpenMailbox(const char* user, const char* mailbox, int filterFlag);

// Gives back a mailbox lent by OpenMailbox (CMailboxSet::CloseMailbox),
// then the two references (this call's and the open's), also when the set
// throws. Throws CVornException 71 (user name) when the user has no set.
void CloseMailbox(const char* user, const char* mailbox);

// name := "Inbox"; for a mail user with a set, what
// CMailboxSet::GetDeliveryMailbox gives for message ("Inbox" too).
void GetDeliveryMailbox(const char* user, CVornMailMessage* message, CVornString& name);

// Inserts a copy of every entry of the user's set into list by list's
// comparison function (CMailboxSet::ListInto): 0; 1 when the user is not a
// mail user or has no set (list unchanged). Throws 62 when list has no
// comparison function.
int ListMailboxes(const char* user, CVornSortedList<MailboxSetEntry>& list);

// True when name is "Inbox", "Sent-Mail", "Drafts" or "Trash", letter case
// ignored; false for null.
bool IsSpecialMailbox(const char* name);

// Unregisters every registered user whose references are all given back
// (users still referenced stay registered). For the service's shutdown.
void CloseAllMailUsers();

// The messages of the mailboxes that the registered sets hold open, summed
// (at most INT_MAX); 0 when no user is registered.
int CountCachedMessages();

// ---- Registry operations. REQUIRE: g_MailStoreLock held.

// The registered user's set with one reference taken (the caller gives it
// back with ReleaseMailUser); null when the user is not registered (always,
// in this system).
CMailboxSet* FindMailboxSet(const char* user);
// Gives one reference back and notes the time. Throws 71 when the user is
// not registered, 69 when the references fall below 0.
void ReleaseMailUser(const char* user);
// 1 while the user is referenced; else deletes the entry with its set: 0.
// Throws 72 when the user is not registered.
int UnregisterMailUser(const char* user);
// True when the user is registered and referenced.
bool IsMailUserInUse(const char* user);
// The user object's "ZELORMUser" := "1" / "0", not saved: 0, or 1 when there
// is no such user.
int MarkMailUser(const char* user);
int UnmarkMailUser(const char* user);
// out := <mail root>/<user>/mailboxes.mbs; empty for a user name that is not
// one path component.
void GetMailboxSetPath(const char* user, CVornString& out);
// Removes the set file and its "_new" and "_old" copies where present, then
// the folder <mail root>/<user> (which must then be empty). Failures are
// reported by the file functions and passed over.
void DeleteMailUserFiles(const char* user);
