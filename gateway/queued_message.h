// CQueuedMessage: one message in the spool, an envelope file (name + ".env")
// and a body file (name + ".mes") side by side in the spool directory,
// guarded by the cross-process lock "TKMSG" + name.
//
// Envelope file (text, every line ends with CR LF):
//   "# 2 <time written>", complete flag, creation time, last update, body
//   size, kind, notices-sent flag, sender, "<source type> <source text>",
//   then per recipient four lines: "status reason attempts last-attempt
//   notify", address, bounce address (or empty), status text (or empty).
// Version 1 envelopes (line 9 = source text alone) are read as well.
// Recipients are written from the head of the list; loading puts each
// record at the head, so a load and a write reverse their order.
//
// Safety of the files:
//   - The envelope is written to name + ".env_new", synced, and renamed over
//     the envelope, then the directory is synced: a reader sees the old or
//     the new envelope, never half of one, and a written envelope survives
//     a crash. The first envelope of a name this object reserved is written
//     into the empty reservation instead (synced, with the directory): the
//     message is not queued yet, so no reader trusts it. The body is synced
//     when it is closed (CVornMailMessage).
//   - Texts of a peer never start a new line: a sender, source text or
//     address holding CR or LF is refused by its setter; at writing, every
//     CR and LF left in a text line (status texts, changes made in place)
//     becomes a blank. The "Received:" header drops CR and LF from its parts.
//   - Files are created private (0600).
//
// Results: 0 success, 1 failure, unless said otherwise. Memory exhaustion
// in a setter, Open or addRecipientNode logs event 24 and gives 1.
//
// Threads: an object is used by one thread at a time (the session or worker
// that made it); it has no internal lock. The message lock is owned by the
// thread that took it (Lock, or TakeNext of the spool queue) and must be
// released by that thread. Lock order: a spool queue's locks come before a
// message lock, and a message lock is only waited for with no queue lock
// held (see gateway/spool_queue.h).
#pragma once

#include <time.h>

#include <memory>
#include <string>

#include "core/message_catalog.h"
#include "core/vorn_mutex.h"
#include "core/vorn_string.h"

class CVornMailAddress;
class CVornMailMessage;
class CVornListMembership;

// Recipient statuses.
enum : int {
    kRecipientPending = 1,  // still to be delivered
    kRecipientFailed = 2,   // a delivery-status notification is still due
    kRecipientDone = 3,     // delivered, or the failure was returned
    kRecipientClosed = 4,   // nothing more to do
};

// Reason codes of a recipient (the relay delivery adds its own from 9 up).
enum : int {
    kReasonNone = 0,
    kReasonExpired = 1,
    kReasonNoMailbox = 2,
    kReasonBadAddress = 3,
    kReasonOverQuota = 4,
    kReasonPolicy = 5,
    kReasonStoreError = 6,
    kReasonNoRoute = 7,
    kReasonRelayDenied = 8,
};

// Message kinds.
enum : int {
    kMessageReceived = 0,
    kMessageBounce = 2,  // delivery-status notification or infection notice
    kMessageNotice = 3,
    kMessageFilterNotice = 4,
};

// Source types.
enum : int { kSourceGenerated = 0, kSourceSmtp = 1, kSourceOther = 2 };

// One recipient. Empty bounce address and status text mean none.
struct QueuedRecipient {
    std::string m_Address;
    std::string m_BounceAddress;
    int m_Reason = 0;
    std::string m_StatusText;
    int m_Status = 0;
    int m_Notify = 0;  // 0 nothing, 1 with a failure, 2 stored locally
    int m_Attempts = 0;
    time_t m_LastAttempt = 0;
    int m_ListMember = 0;
    QueuedRecipient* m_Next = nullptr;
};

class CQueuedMessage {
public:
    // Texts longer than this (sender, addresses, source text, status text)
    // are refused by the setters and when an envelope is read.
    static constexpr int kMaxTextLength = 64 * 1024;

    // Empty; creation time and last update are now.
    CQueuedMessage();
    // Frees everything and releases the message lock when this object holds it.
    virtual ~CQueuedMessage();
    CQueuedMessage(const CQueuedMessage&) = delete;
    CQueuedMessage& operator=(const CQueuedMessage&) = delete;

    // ---- Files
    // Results of TryOpen.
    enum : int { kOpened = 0, kBusy = 1, kMissing = 2, kDamaged = 3 };

    // With a name: loads that envelope (taking the message lock for the
    // read, waiting without limit, and releasing it; a lock this thread
    // already holds stays held). 1 when the envelope cannot be opened or
    // read completely (the values read so far stay). Without a name:
    // reserves a new name (an empty envelope, created exclusively) without
    // ever waiting for a lock; the lock is not held afterwards.
    int Open(const char* name, const char* directory);
    // Loads an envelope only when its message lock is free, and keeps the
    // lock: kOpened (loaded, lock held), kBusy (held elsewhere; nothing
    // read, no lock), kMissing (no envelope file; no lock), kDamaged (the
    // envelope cannot be read completely; the lock stays held, so the caller
    // can set the files aside). Never waits.
    int TryOpen(const char* name, const char* directory);
    // Writes the envelope atomically (see the top). 1 without a sender, or
    // when the file cannot be written (event 31 with the path). While writes
    // are held (HoldEnvelopeWrites), only notes that the envelope changed
    // and gives 0.
    int WriteEnvelope();
    // Holds (true) or resumes (false) the envelope writes; resuming writes
    // nothing by itself. A delivery pass holds them: a message that is
    // finished by the pass has its files deleted, and writing its last
    // states first would cost two disk syncs each for nothing. A crash
    // before the held state is written can only deliver or notify again
    // (a duplicate, never a loss).
    void HoldEnvelopeWrites(bool hold) { m_HoldWrites = hold; }
    // Writes the envelope when a held write is pending (WriteEnvelope's
    // result), else 0.
    int FlushEnvelope();
    // Takes the lock unless held, removes the envelope and the body (missing
    // files are no error), syncs the directory unless told not to (the
    // caller syncs it next), releases the lock. 0.
    int Delete(bool syncDirectory = true);
    // Waits without limit for the message lock. 1 when there is no name.
    int Lock();
    // Takes the message lock only when it is free: 0 taken (or already
    // held by this object), 1 busy or no name.
    int TryLock();
    // Releases the lock when this object holds it. 0.
    int Unlock();
    bool IsLocked() const { return m_Locked; }
    void GetEnvelopePath(CVornString& out) const;
    void GetBodyPath(CVornString& out) const;
    // "M" + local date (8 digits) + time (6 digits) + PseudoRandom() % 32678
    // (5 digits).
    void newName(CVornString& out);

    // ---- Envelope values. Setters copy and touch the last update.
    // Null when the message has no name yet.
    const char* GetName() const { return m_Name.empty() ? nullptr : m_Name.c_str(); }
    const char* GetDirectory() const { return m_Directory.c_str(); }
    // 1 for a null sender or one with CR or LF (nothing changes).
    int SetSender(const char* text);
    // Null when no sender was set.
    const char* GetSender() const { return m_HasSender ? m_Sender.c_str() : nullptr; }
    int SetSourceText(const char* text);
    // Null when none was set.
    const char* GetSourceText() const { return m_HasSourceText ? m_SourceText.c_str() : nullptr; }
    // 0, 1 and 2 are stored; anything else gives 1 and changes nothing.
    int SetSourceType(int type);
    int GetSourceType() const { return m_SourceType; }
    void SetComplete(int flag);
    int IsComplete() const { return m_Complete; }
    long GetBodySize() const { return m_BodySize; }
    time_t GetCreationTime() const { return m_CreationTime; }
    time_t GetLastUpdate() const { return m_LastUpdate; }
    int GetKind() const { return m_Kind; }
    void SetKind(int kind) { m_Kind = kind; }
    int NoticesSent() const { return m_NoticesSent; }
    void SetNoticesSent() { m_NoticesSent = 1; }
    // The first recipient; callers walk m_Next and change the records in place.
    QueuedRecipient* GetRecipients() { return m_Recipients; }
    // Sets a recipient's status text (null: none), cut to its first
    // kMaxTextLength bytes: a longer one would make the envelope it is
    // written into unreadable, and the message would be set aside with its
    // other recipients. Refusal reasons and peers' replies go through here.
    static void SetStatusText(QueuedRecipient& recipient, const char* text);
    // addRecipientNode with no bounce address or status text, reason 0,
    // notify 0.
    int AddRecipient(const char* address, int status, int attempts, time_t lastAttempt);
    // 1 for a null address, a text over kMaxTextLength, or an address or
    // bounce address holding CR or LF. Otherwise a new record at the head
    // of the list (list-member flag 0).
    int addRecipientNode(const char* address, const char* bounceAddress, const char* statusText,
                         int reason, int status, int attempts, time_t lastAttempt, int notify);

    // ---- Body
    // Drops an open body. Mode 2: a new body written from the start (flags |
    // 0x1100); other modes read it (flags | 0x0800). Opened with the sender
    // and the name (form 3, "UNKNOWN" without a name) as message id.
    int OpenBodyForWrite(int mode, int flags);
    // A new, opened stored message over the body file; null when it cannot
    // be opened. The caller owns it.
    CVornMailMessage* OpenBodyForRead(int flags, int mode);
    int AppendBody(const char* bytes, int length);
    int AppendBody(const CVornString& text);
    // Length of the line, 0 at the end, -1 when no body is open.
    int ReadBodyLine(CVornString& out);
    // Closes the open body (synced to the disk) and records its size; 1 when
    // none is open or the close failed.
    int CloseBody();
    int GetHopCount();
    void GetSubject(CVornString& out);
    int WriteReceivedHeader(const char* clientName, const char* clientAddress,
                            const char* ownHost, const char* product, const char* version,
                            const char* recipient);
    void RefreshBodySize();

    // ---- Spool entry
    // Expands mailing lists (only with a membership object), applies the
    // relay check and removes duplicate recipients. 0, or 1 when memory ran
    // out (event 24).
    int ExpandRecipients(CVornListMembership* lists);
    bool RelayDenied();
    bool resolveBangPath(CVornMailAddress& address);
    QueuedRecipient* markPending(QueuedRecipient* recipient);

private:
    // Reads the envelope; the number of errors.
    int readEnvelope();
    void touch();
    void freeRecipients();
    // Removes one recipient record from the list and frees it.
    void removeRecipient(QueuedRecipient* recipient);
    void setName(const char* name);
    bool takeLock(bool wait);

    std::string m_Name;
    std::string m_Directory;
    int m_Complete = 0;
    time_t m_LastUpdate = 0;
    std::string m_Sender;
    bool m_HasSender = false;
    time_t m_CreationTime = 0;
    long m_BodySize = 0;
    QueuedRecipient* m_Recipients = nullptr;
    std::string m_LockName;
    std::string m_OpenLockName;  // the name m_MessageLock's handle was opened with
    bool m_Locked = false;
    CVornMutex m_MessageLock;
    std::unique_ptr<CVornMailMessage> m_Body;
    int m_Kind = 0;
    int m_NoticesSent = 0;
    std::string m_SourceText;
    bool m_HasSourceText = false;
    CVornMessageCatalog m_Catalog;
    int m_SourceType = 0;
    bool m_HoldWrites = false;
    bool m_Reserved = false;  // the envelope is this object's empty reservation
    bool m_WritePending = false;
};
