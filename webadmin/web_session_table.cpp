// CWebSessionTable: the login sessions of the web administration (see
// webadmin/web_session_table.h for the contract).
#include "webadmin/web_session_table.h"

#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/clock.h"
#include "core/message_catalog.h"
#include "platform/sockets.h"

namespace {

// Activity record (4, 2, 1): a session ended.
constexpr int kRecordClass = 4;
constexpr int kRecordEvent = 2;
constexpr int kRecordStatus = 1;
constexpr int kTextField = 100;

// Ids are 30 random bits, the range the cookie's id has always had.
constexpr uint32_t kIdMask = 0x3FFFFFFF;
// With at most a few thousand live ids among 2^30, a draw that hits one is
// rare; this many in a row means the random source is broken.
constexpr int kIdAttempts = 64;

// A timeout beyond this many minutes (about a century) is read as this, so
// that the limit in seconds cannot overflow.
constexpr long kMaxTimeoutMinutes = 100L * 366 * 24 * 60;

bool isEmpty(const char* text) {
    return text == nullptr || *text == '\0';
}

// The idle limit of logged-in sessions in seconds. Read before the table's
// lock is taken, so that a reload of the configuration never runs under it.
time_t idleLimit() {
    long minutes = 0;
    CVornString text(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(nullptr, nullptr, "AuthTimeout", text) == 0)
        minutes = text.ToLong();
    if (minutes <= 0)
        minutes = CWebSessionTable::kDefaultTimeoutMinutes;
    if (minutes > kMaxTimeoutMinutes)
        minutes = kMaxTimeoutMinutes;
    return static_cast<time_t>(minutes) * 60;
}

}  // namespace

CWebSessionTable::CWebSessionTable(int pendingLimit)
    : m_PendingLimit(pendingLimit < 1 ? 1 : pendingLimit) {}

// The map deletes every session left.
CWebSessionTable::~CWebSessionTable() = default;

void CWebSessionTable::NewId(CVornString& id) {
    id.Clear();
    CVornLockGuard guard(m_Lock);
    for (int attempt = 0; attempt < kIdAttempts; ++attempt) {
        uint32_t value = 0;
        if (!platform::SecureRandom(&value, sizeof value))
            return;
        char text[16];
        snprintf(text, sizeof text, "%lu", static_cast<unsigned long>(value & kIdMask));
        CVornString key(text, CVornString::kUnlocked);
        if (find(key) != nullptr)
            continue;
        try {
            addSession(key, Now());
            id.Assign(text);
        } catch (const std::bad_alloc&) {
            removeSession(key);
            id.Clear();
        }
        return;
    }
}

int CWebSessionTable::Issue(const char* id, time_t issueTime) {
    if (isEmpty(id) || issueTime <= 0)
        return 1;
    CVornLockGuard guard(m_Lock);
    try {
        addSession(CVornString(id, CVornString::kUnlocked), issueTime);
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

int CWebSessionTable::Login(const char* user, const char* password, const char* client,
                            const char* issuedText, const char* id, char checkFlag, int maximum) {
    if (isEmpty(id))
        return kLoginNoId;
    if (isEmpty(user))
        return kLoginNoUser;
    time_t limit = idleLimit();
    CVornString key(id, CVornString::kUnlocked);
    uint64_t serial = 0;
    {
        CVornLockGuard guard(m_Lock);
        int result = checkLogin(key, issuedText, maximum, limit, &serial);
        if (result != kLoginOk)
            return result;
    }

    // The check may ask the system's account services, which take seconds
    // to refuse a wrong password; under the table's lock that would stall
    // every request of every administrator.
    // An account without a password is never logged in: the store's check
    // takes any password for a virtual user without a hash, and a system
    // account may be set to accept an empty one.
    if (isEmpty(password) || CVornConfigStore::IsUserWithoutPassword(user))
        return kLoginBadPassword;
    if (CVornConfigStore::CheckPassword(user, password, checkFlag) != 0)
        return kLoginBadPassword;

    CVornLockGuard guard(m_Lock);
    // Meanwhile the session may have been replaced, removed or logged in by
    // another request with the same cookie, and other logins may have
    // filled the allowed number.
    CWebSession* session = find(key);
    if (session == nullptr)
        return kLoginUnknownId;
    if (session->m_Serial != serial || !session->IsPending())
        return kLoginBadIssued;
    if (maximum > 0 && loggedInCount() + 1 > maximum)
        return kLoginTooMany;
    session->m_User.Assign(user);
    session->m_ClientAddress.Assign(client ? client : "");
    session->m_Issued = 0;
    --m_PendingCount;
    // The idle time runs from the login: counted from the login page's
    // issue, a user who took longer than the timeout to type the password
    // would be logged in and then at once refused as expired.
    session->m_LastAccess = Now();
    if (session->m_Hits < INT_MAX)
        ++session->m_Hits;
    return kLoginOk;
}

int CWebSessionTable::Validate(const char* id, CVornString& user, CVornString& client,
                               time_t& previousAccess) {
    user.Clear();
    client.Clear();
    previousAccess = 0;
    if (isEmpty(id))
        return 0;
    time_t limit = idleLimit();
    CVornString key(id, CVornString::kUnlocked);
    CVornLockGuard guard(m_Lock);
    CWebSession* session = find(key);
    if (session == nullptr || session->IsPending())
        return 0;
    time_t now = Now();
    if (isExpired(*session, now, limit)) {
        recordExpiry(*session);
        removeSession(key);
        return 0;
    }
    previousAccess = session->m_LastAccess;
    session->m_LastAccess = now;
    if (session->m_Hits < INT_MAX)
        ++session->m_Hits;
    user.Assign(session->m_User);
    client.Assign(session->m_ClientAddress);
    return 1;
}

int CWebSessionTable::Remove(const char* id) {
    if (isEmpty(id))
        return 1;
    CVornString key(id, CVornString::kUnlocked);
    CVornLockGuard guard(m_Lock);
    if (find(key) == nullptr)
        return 1;
    removeSession(key);
    return 0;
}

// ---- Helpers, all under m_Lock

CWebSession* CWebSessionTable::find(const CVornString& id) {
    void* value = nullptr;
    if (!m_Sessions.Find(id, &value, false))
        return nullptr;
    return static_cast<CWebSession*>(value);
}

void CWebSessionTable::removeSession(const CVornString& id) {
    void* value = nullptr;
    if (!m_Sessions.Find(id, &value, true))
        return;
    CWebSession* session = static_cast<CWebSession*>(value);
    if (session != nullptr && session->IsPending())
        --m_PendingCount;
    delete session;
}

void CWebSessionTable::addSession(const CVornString& id, time_t issueTime) {
    removeSession(id);
    while (m_PendingCount >= m_PendingLimit && m_PendingCount > 0) evictOldestPending();
    std::unique_ptr<CWebSession> session = std::make_unique<CWebSession>();
    session->m_Issued = issueTime;
    session->m_LastAccess = Now();
    session->m_Serial = ++m_NextSerial;
    m_Sessions.Insert(id, session.get(), &DeleteObject<CWebSession>);
    session.release();
    ++m_PendingCount;
}

void CWebSessionTable::evictOldestPending() {
    CVornString key(CVornString::kUnlocked);
    CVornString oldest(CVornString::kUnlocked);
    uint64_t oldestSerial = UINT64_MAX;
    void* value = nullptr;
    for (bool more = m_Sessions.First(key, &value); more; more = m_Sessions.Next(key, &value)) {
        CWebSession* session = static_cast<CWebSession*>(value);
        if (session != nullptr && session->IsPending() && session->m_Serial < oldestSerial) {
            oldestSerial = session->m_Serial;
            oldest.Assign(key);
        }
    }
    if (oldestSerial == UINT64_MAX) {
        // The count said there was one: believe the table instead.
        m_PendingCount = 0;
        return;
    }
    removeSession(oldest);
}

bool CWebSessionTable::isExpired(const CWebSession& session, time_t now, time_t idleLimit) {
    time_t idle = now - session.m_LastAccess;
    return idle > (session.IsPending() ? kPendingLifetime : idleLimit);
}

void CWebSessionTable::recordExpiry(CWebSession& session) {
    CVornStringMap record;
    ActivityRecordStart(record, kRecordClass, kRecordEvent, kRecordStatus, session.m_User.CStr(),
                        session.m_ClientAddress.CStr());
    ActivityRecordSetText(record, kTextField, GetCatalogText(kExpiredText));
    ActivityLogWrite(record);
}

void CWebSessionTable::purge(time_t idleLimit) {
    time_t now = Now();
    // A clock set back purges at once rather than waiting for the old time.
    if (now >= m_LastPurge && now - m_LastPurge < kPurgeInterval)
        return;
    // Removing entries would end the table's iteration: note the ids first.
    std::vector<std::string> expired;
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = m_Sessions.First(key, &value); more; more = m_Sessions.Next(key, &value)) {
        CWebSession* session = static_cast<CWebSession*>(value);
        if (session != nullptr && isExpired(*session, now, idleLimit))
            expired.emplace_back(key.CStr(), static_cast<size_t>(key.Length()));
    }
    for (const std::string& id : expired) {
        CVornString expiredKey(id.data(), static_cast<int>(id.size()), CVornString::kUnlocked);
        CWebSession* session = find(expiredKey);
        if (session == nullptr)
            continue;
        recordExpiry(*session);
        removeSession(expiredKey);
    }
    m_LastPurge = now;
}

int CWebSessionTable::loggedInCount() {
    return m_Sessions.Count() - m_PendingCount;
}

int CWebSessionTable::checkLogin(const CVornString& id, const char* issuedText, int maximum,
                                 time_t idleLimit, uint64_t* serial) {
    purge(idleLimit);
    if (maximum > 0 && loggedInCount() + 1 > maximum)
        return kLoginTooMany;
    CWebSession* session = find(id);
    if (session == nullptr)
        return kLoginUnknownId;
    // A logged-in session (issued 0) is never logged in again: its cookie
    // would otherwise take a login whose issued text is any of 0 to 10.
    if (!session->IsPending())
        return kLoginBadIssued;
    long issued = CVornString(issuedText, CVornString::kUnlocked).ToLong();
    if (issued < session->m_Issued || issued - session->m_Issued > kIssuedWindow)
        return kLoginBadIssued;
    *serial = session->m_Serial;
    return kLoginOk;
}
