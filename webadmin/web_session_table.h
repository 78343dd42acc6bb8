// The login sessions of the web administration. A session is made pending
// when a login page is served, becomes logged in when the login form comes
// back in time with the right password, is refreshed by every request that
// presents its cookie, and ends by logout or by expiry. The cookie carries
// the session's id.
//
//   CWebSessionTable::NewId     a fresh id, unguessable, reserved as a pending session
//   CWebSessionTable::Issue     a pending session for a login page served at a time
//   CWebSessionTable::Login     a pending session becomes logged in (results below)
//   CWebSessionTable::Validate  a logged-in session's request: refresh it, or expire it
//   CWebSessionTable::Remove    logout: the session is deleted
//
// Ids are the decimal text ("%lu") of a number from 0 to 1073741823 drawn
// from the kernel's random source (getrandom): an id that a client could
// work out from the time would let it take over a login. NewId never hands
// out an id a live session holds, and it reserves the id at once (as a
// pending session issued now), so two threads can never be given the same
// one; Issue then replaces the reservation.
//
// Expiry: a pending session expires after 86400 idle seconds, a logged-in
// one after "AuthTimeout" minutes (system-wide setting; 5 when missing, not
// a number or not above 0). Nothing runs on a timer: a session found expired
// by Validate, or by the purge that Login runs at most once every 300
// seconds, leaves activity record (4, 2, 1) with its user, client and field
// 100 = catalogue text 406, and is deleted.
//
// Bound: at most the table's pending limit of pending sessions exist (every
// served login page makes one, so a client could otherwise fill memory);
// making one more first deletes the oldest pending session, without a
// record. Logged-in sessions are made only by a right password.
//
// Bad input: a null text counts as empty. Failures are results, never
// exceptions: memory exhaustion while a session is made gives the failure
// result; elsewhere (copying a user name) std::bad_alloc passes out and
// leaves the session as it was.
//
// Threads: any thread may call any operation; the table's recursive lock
// guards the map, the sessions, the counters and the last purge time, and
// an operation holds it for its work, activity-log writes included. The
// password check of Login runs without it (a system account's check may
// take seconds), and Login re-checks the session afterwards. Lock order:
// the table's lock, then the configuration store's and the activity log's
// locks (settings look-ups and records are made inside it); REQUIRES of
// callers: no configuration-store lock held.
#pragma once

#include <time.h>

#include <cstdint>

#include "core/hash_table.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

// One session, owned by the table.
class CWebSession {
public:
    // Pending while m_Issued is above 0; logged in when it is 0.
    bool IsPending() const { return m_Issued > 0; }

    CVornString m_ClientAddress{CVornString::kUnlocked};  // given at login; empty while pending
    CVornString m_User{CVornString::kUnlocked};           // given at login; empty while pending
    time_t m_Issued = 0;      // issue time of the login page while pending; 0 once logged in
    time_t m_LastAccess = 0;  // creation, then the login and every successful Validate
    int m_Hits = 0;           // successful logins and validations
    uint64_t m_Serial = 0;    // order of creation: tells a replaced session from its successor
};

class CWebSessionTable {
public:
    // Results of Login.
    enum : int {
        kLoginOk = 0,
        kLoginBadPassword = 1,
        kLoginTooMany = 2,  // the maximum number of logged-in sessions is reached
        kLoginNoId = 3,
        kLoginUnknownId = 4,
        kLoginBadIssued = 5,  // the issued text does not match, or the session is not pending
        kLoginNoUser = 6,
    };

    static constexpr time_t kPendingLifetime = 86400;  // idle seconds of a pending session
    static constexpr time_t kPurgeInterval = 300;
    static constexpr long kDefaultTimeoutMinutes = 5;
    static constexpr time_t kIssuedWindow = 10;  // seconds the login form may show as later
    static constexpr int kDefaultPendingLimit = 1000;
    static constexpr int kExpiredText = 406;  // base-catalogue text of the expiry record

    virtual ~CWebSessionTable();
    // pendingLimit: the most pending sessions kept (below 1 counts as 1).
    explicit CWebSessionTable(int pendingLimit = kDefaultPendingLimit);
    CWebSessionTable(const CWebSessionTable&) = delete;
    CWebSessionTable& operator=(const CWebSessionTable&) = delete;

    // id := a fresh id, reserved as a pending session issued now. id is left
    // empty when the kernel's random source fails or memory is exhausted.
    void NewId(CVornString& id);

    // Adds a pending session issued at issueTime (empty user and client,
    // last access now), replacing a session with the same id whatever its
    // state: 0. 1 for an empty id or an issue time not above 0 (nothing
    // changes).
    int Issue(const char* id, time_t issueTime);

    // Purges, then logs the pending session id in as user from client when
    // issuedText (decimal) is its issue time up to kIssuedWindow seconds
    // later and checkFlag's password check passes (an empty password, or a
    // virtual user without a stored hash, never does); maximum above 0
    // limits the logged-in sessions. Results: the kLogin... codes. A
    // successful login counts as an access (the idle time runs from it). A
    // failed login leaves the session as it was.
    int Login(const char* user, const char* password, const char* client, const char* issuedText,
              const char* id, char checkFlag, int maximum);

    // 1 when id is a logged-in session that has not expired: user and
    // client receive its values, previousAccess its last access before this
    // one, and its last access becomes now. Otherwise 0, with user and
    // client empty and previousAccess 0; an expired session is recorded and
    // deleted. A pending session gives 0 and writes nothing.
    int Validate(const char* id, CVornString& user, CVornString& client, time_t& previousAccess);

    // Deletes the session id: 0; 1 for an empty or unknown id. Writes no
    // record.
    int Remove(const char* id);

private:
    // REQUIRES (every helper below): m_Lock held.

    // The session of id, or null.
    CWebSession* find(const CVornString& id);
    // Unlinks and deletes the session of id, when there is one.
    void removeSession(const CVornString& id);
    // A new pending session under id (replacing one), issued at issueTime,
    // last access now; the oldest pending session makes room first when the
    // limit is reached. Throws std::bad_alloc, the table then as it was
    // apart from a replaced or evicted session.
    void addSession(const CVornString& id, time_t issueTime);
    // Deletes the pending session made first.
    void evictOldestPending();
    // Whether session has been idle too long at now; idleLimit is the
    // logged-in sessions' limit in seconds.
    static bool isExpired(const CWebSession& session, time_t now, time_t idleLimit);
    // Writes the expiry record of session.
    static void recordExpiry(CWebSession& session);
    // Unless the last purge is less than kPurgeInterval ago: records and
    // deletes every expired session; last purge := now.
    void purge(time_t idleLimit);
    // The number of logged-in sessions.
    int loggedInCount();
    // Login's checks before the password check (purge first): 0, with
    // *serial the session's serial, or the result.
    int checkLogin(const CVornString& id, const char* issuedText, int maximum, time_t idleLimit,
                   uint64_t* serial);

    CVornLock m_Lock;
    CVornMap<CWebSession> m_Sessions{64, 0};
    time_t m_LastPurge = 0;
    int m_PendingCount = 0;
    int m_PendingLimit;
    uint64_t m_NextSerial = 0;
};
