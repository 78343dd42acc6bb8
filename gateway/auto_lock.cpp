// Sender auto-lock: counting a local user's messages refused by policy and
// locking the user when too many fall within the window.
//
//   SenderAutoLock              one refused message of a sender
//   CAutoLockTracker::Record    remember a refused message once
//   CAutoLockTracker::CountSince  refusals after a time
//   AutoLockTrackerMap::DeleteTrackers  free every tracker and holder
//   CAutoLockCleanup            the owner whose destructor frees the trackers
//
// Bad input: a null, unparsable or remote sender, a sender without a user
// object or without the user's three settings is ignored; a null message
// name counts as the empty name. Memory exhaustion while making a tracker
// drops the refusal.
#include "gateway/auto_lock.h"

#include <new>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "config/time_event.h"
#include "core/clock.h"
#include "net/mail_address.h"

namespace {

// Activity record of a lock: class 3 (sender auto-lock), event 26.
constexpr int kAutoLockClass = 3;
constexpr int kEventUserLocked = 26;

// The id of a user's default time event.
constexpr const char* kDefaultEventId = "D0000000000000";

AutoLockTrackerMap& autoLockTrackers() {
    static AutoLockTrackerMap* map = new AutoLockTrackerMap(0, 0);
    return *map;
}

CVornLock& autoLockLock() {
    static CVornLock* lock = new CVornLock(true);
    return *lock;
}

// The user's integer setting when it is found, else nothing.
bool readSetting(const char* user, const char* name, int* value) {
    CVornString text(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(nullptr, user, name, text) != 0)
        return false;
    *value = text.ToInt();
    return true;
}

// Turns off the user's three rights in its default event, saved. True when
// the store took the change.
bool lockUser(const char* user) {
    CVornStringMap event;
    CVornConfigStore::GetEffectiveSettings(nullptr, user, 1, event);
    CVornString off("0", CVornString::kUnlocked);
    event.Set("AllowSMTP", off);
    event.Set("AllowPOP", off);
    event.Set("AllowZELORMUI", off);
    MakeDefaultEvent(event);
    return CVornConfigStore::ReplaceEvent('U', user, kDefaultEventId, event, 1) == 0;
}

}  // namespace

AutoLockTrackerMap& g_AutoLockTrackers = autoLockTrackers();
CVornLock& g_AutoLockLock = autoLockLock();
CAutoLockCleanup* g_AutoLockCleanup = nullptr;

// ---- Trackers

void CAutoLockTracker::Record(const char* text) {
    CVornLockGuard guard(m_Lock);
    for (const CVornString& stored : m_Texts) {
        if (stored.Equals(text, 3))
            return;
    }
    m_Texts[m_Next].Assign(text ? text : "");
    m_Times[m_Next] = Now();
    m_Next = (m_Next + 1) % kSlots;
}

int CAutoLockTracker::CountSince(time_t t) {
    CVornLockGuard guard(m_Lock);
    int count = 0;
    for (time_t stored : m_Times) count += stored > t ? 1 : 0;
    return count;
}

void AutoLockTrackerMap::DeleteTrackers() {
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    // Deleting a tracker does not change the table, so one pass sees all.
    for (bool more = First(key, &value); more; more = Next(key, &value)) {
        auto* holder = static_cast<AutoLockTrackerHolder*>(value);
        if (holder) {
            delete holder->m_Tracker;
            holder->m_Tracker = nullptr;
        }
    }
    Clear();
}

CAutoLockCleanup::~CAutoLockCleanup() {
    CVornLockGuard guard(g_AutoLockLock);
    g_AutoLockTrackers.DeleteTrackers();
}

// ---- The refusal

void SenderAutoLock(const char* sender, const char* messageName) {
    CVornMailAddress address;
    if (sender == nullptr || address.Set(sender) != 0 || address.HasNoBang() == 0)
        return;
    const char* route = address.Get(CVornMailAddress::kFormRoute);
    if (route == nullptr || *route == '\0')
        return;
    CVornString user(route, CVornString::kUnlocked);

    int enabled = 0;
    int count = 0;
    int minutes = 0;
    if (CVornConfigStore::ObjectExists('U', user.CStr()) == 0 ||
        !readSetting(user.CStr(), "AutoLock", &enabled) || enabled == 0 ||
        !readSetting(user.CStr(), "AutoLockX", &count) || count <= 0 ||
        !readSetting(user.CStr(), "AutoLockY", &minutes) || minutes <= 0)
        return;

    CVornLockGuard guard(g_AutoLockLock);
    AutoLockTrackerHolder* holder = nullptr;
    if (!g_AutoLockTrackers.Get(user.CStr(), &holder) || holder == nullptr ||
        holder->m_Tracker == nullptr) {
        auto* tracker = new (std::nothrow) CAutoLockTracker;
        auto* fresh = new (std::nothrow) AutoLockTrackerHolder;
        if (tracker == nullptr || fresh == nullptr) {
            delete tracker;
            delete fresh;
            return;
        }
        fresh->m_Tracker = tracker;
        try {
            g_AutoLockTrackers.Insert(user, fresh, &DeleteObject<AutoLockTrackerHolder>);
        } catch (const std::bad_alloc&) {
            delete tracker;
            delete fresh;
            return;
        }
        holder = fresh;
    }
    CAutoLockTracker* tracker = holder->m_Tracker;
    tracker->Record(messageName);
    if (tracker->CountSince(Now() - static_cast<time_t>(minutes) * 60) < count)
        return;

    if (!lockUser(user.CStr()))
        return;
    CVornStringMap record;
    ActivityRecordStart(record, kAutoLockClass, kEventUserLocked, 0, user.CStr(), nullptr);
    ActivityLogWrite(record);
}
