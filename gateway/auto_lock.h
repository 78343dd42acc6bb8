// Sender auto-lock: a local user whose mail is refused by policy too often
// within a time window loses the right to send by SMTP, to use POP3 and to
// use the web client ("AllowSMTP", "AllowPOP", "AllowZELORMUI" written as
// "0" into the user's default time event).
//
// The user's settings decide: "AutoLock" (non-zero to take part),
// "AutoLockX" (refused messages that lock, > 0) and "AutoLockY" (the window
// in minutes, > 0). Each refused message counts once, however many of its
// recipients were refused. The trackers are not cleared by a lock: further
// refusals within the window lock the user again.
//
// Threads: SenderAutoLock may be called from any delivery worker; it holds
// g_AutoLockLock from the tracker look-up to the end, so refusals of one
// user are counted and acted on one at a time. REQUIRES of its callers: no
// configuration-store lock held (it changes the store and writes the
// activity log). Lock order: g_AutoLockLock, then a tracker's lock; the
// store's own locks are taken inside, with no tracker lock held.
#pragma once

#include <time.h>

#include "core/hash_table.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

// The refusals of one user: a ring of the last kSlots distinct refused
// message names with the time each was recorded. Not copyable.
class CAutoLockTracker {
public:
    static constexpr int kSlots = 50;

    virtual ~CAutoLockTracker() = default;
    CAutoLockTracker() = default;
    CAutoLockTracker(const CAutoLockTracker&) = delete;
    CAutoLockTracker& operator=(const CAutoLockTracker&) = delete;

    // Stores text with the current time in the next slot, unless a slot
    // already holds exactly that text. A null text counts as empty.
    void Record(const char* text);
    // The number of slots whose time is later than t (unused slots hold 0).
    int CountSince(time_t t);

private:
    CVornLock m_Lock;
    CVornString m_Texts[kSlots];
    time_t m_Times[kSlots] = {};
    int m_Next = 0;
};

// What g_AutoLockTrackers holds under a user name: a pointer to the user's
// tracker. The map owns the holder; the tracker is deleted by
// CAutoLockCleanup.
struct AutoLockTrackerHolder {
    CAutoLockTracker* m_Tracker = nullptr;
};

// User name (case-sensitive) -> holder.
class AutoLockTrackerMap : public CVornMap<AutoLockTrackerHolder> {
public:
    using CVornMap<AutoLockTrackerHolder>::CVornMap;
    // Deletes every tracker, then every entry with its holder. REQUIRES:
    // g_AutoLockLock held.
    void DeleteTrackers();
};

// Process-wide, made on first use and never destroyed (delivery workers may
// still reach them while the process ends).
extern AutoLockTrackerMap& g_AutoLockTrackers;
extern CVornLock& g_AutoLockLock;

// The owner of the trackers: its destructor deletes every tracker and
// empties g_AutoLockTrackers, under g_AutoLockLock. Made by the service
// start-up into g_AutoLockCleanup and deleted at shutdown.
class CAutoLockCleanup {
public:
    virtual ~CAutoLockCleanup();
    CAutoLockCleanup() = default;
    CAutoLockCleanup(const CAutoLockCleanup&) = delete;
    CAutoLockCleanup& operator=(const CAutoLockCleanup&) = delete;
};

// Null until start-up makes it and again after shutdown deleted it.
extern CAutoLockCleanup* g_AutoLockCleanup;

// One message of sender refused by policy. Ignored (nothing recorded) for a
// sender that does not parse or is not local, without a user object, or
// without the three settings above; otherwise the message is recorded and,
// when the user's refusals within the window reach "AutoLockX", the user is
// locked and an activity record (field 1 = 3, field 2 = 26, field 10 = the
// user) is written. A lock that cannot be saved writes no record and leaves
// the user unlocked; the refusal stays recorded.
void SenderAutoLock(const char* sender, const char* messageName);
