// The network library's start and stop, the connect time-out table and the
// idle-connection pool. See network_library.h.
//
//   LibraryStartup        clock reset and start, sockets layer started once,
//                         host names resolved through the DNS resolver
//   SocketsStartup        the sockets layer alone
//   LibraryCleanup        DNS resolver stopped, tables and pool emptied, clock
//                         thread stopped
//   CVornConnectTimeouts  Acquire / Release / Clear / Count
//   CVornIdleConnections  Add / Take / CloseIdle / Count
//
// Bad input: a null connection given to the pool is ignored; any text is a
// valid host key. Nothing here throws except std::bad_alloc.
#include "net/network_library.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "core/clock.h"
#include "net/dns_lookup.h"
#include "net/dns_resolver.h"
#include "net/tcp_socket.h"
#include "platform/threads.h"

namespace {

// The library state, never destroyed.
CVornLock& LibraryLock() {
    static CVornLock* lock = new CVornLock(true);
    return *lock;
}
bool g_LibraryStarted = false;  // guarded by LibraryLock()
bool g_SocketsStarted = false;  // guarded by LibraryLock()

// Waiters look again at least this often (a Release wakes only one).
constexpr int kWakeSeconds = 2;
// The table is cleaned of old successes at most this often.
constexpr int kCleanUpSeconds = 60;

}  // namespace

CVornConnectTimeouts& g_ConnectTimeouts = *new CVornConnectTimeouts();
CVornIdleConnections& g_IdleConnections = *new CVornIdleConnections();

// ---- Start and stop

bool SocketsStartup() {
    CVornLockGuard guard(LibraryLock());
    if (!g_SocketsStarted) {
        // Linux sockets need no start; what the library needs of the process
        // is that a peer closing its side never kills it with SIGPIPE.
        platform::IgnoreSigpipe();
        g_SocketsStarted = true;
    }
    return g_SocketsStarted;
}

bool LibraryStartup() {
    ResetClock();
    // Host addresses resolve names through the library's own resolver.
    DnsInstallHostLookups();
    {
        CVornLockGuard guard(LibraryLock());
        g_LibraryStarted = true;
    }
    return SocketsStartup();
}

void LibraryCleanup() {
    // The resolver's threads end (bounded wait) before anything they use goes.
    DnsStop();
    g_ConnectTimeouts.Clear();
    g_IdleConnections.CloseIdle(true);
    StopClock();
}

// ---- Connect time-out table

CVornConnectTimeouts::CVornConnectTimeouts(int holdSeconds, int maxWaitSeconds)
    : m_HoldSeconds(holdSeconds > 0 ? holdSeconds : kDefaultHoldSeconds),
      m_MaxWaitSeconds(maxWaitSeconds > 0 ? maxWaitSeconds : m_HoldSeconds + kWakeSeconds) {}

CVornConnectTimeouts::~CVornConnectTimeouts() {
    m_Entries.Clear();
}

void CVornConnectTimeouts::cleanUp(time_t now) {
    if (now - m_LastCleanUp < kCleanUpSeconds)
        return;
    CVornStringList keys;
    m_Entries.GetKeys(keys);
    CVornLockGuard keysGuard(keys.m_Lock);
    for (auto* node = keys.m_Head; node; node = node->m_Next) {
        void* value = nullptr;
        if (!m_Entries.Find(node->m_Element, &value, false))
            continue;
        Entry* entry = static_cast<Entry*>(value);
        if (!entry->m_InUse && now - entry->m_Time > m_HoldSeconds)
            m_Entries.Remove(node->m_Element);
    }
    m_LastCleanUp = now;
}

bool CVornConnectTimeouts::Acquire(const CVornString& hostKey) {
    using SteadyClock = std::chrono::steady_clock;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(m_MaxWaitSeconds);
    {
        CVornLockGuard guard(m_Lock);
        cleanUp(Now());
    }
    for (;;) {
        {
            CVornLockGuard guard(m_Lock);
            time_t now = Now();
            void* value = nullptr;
            if (!m_Entries.Find(hostKey, &value, false)) {
                Entry* entry = new Entry();
                entry->m_Time = now;
                entry->m_InUse = true;
                m_Entries.Insert(hostKey, entry, &DeleteObject<Entry>);
                return true;
            }
            Entry* entry = static_cast<Entry*>(value);
            time_t age = std::max<time_t>(0, now - entry->m_Time);
            if (!entry->m_InUse) {
                // The last attempt succeeded. Within the hold time everyone
                // may go; after it this attempt becomes the one others wait
                // for, in case the host has stopped answering since.
                if (age > m_HoldSeconds) {
                    entry->m_Time = now;
                    entry->m_InUse = true;
                }
                return true;
            }
            // The attempt in progress has hung: give up without trying.
            if (age > m_HoldSeconds)
                return false;
        }
        // Wait without the lock for the attempt to end. The real-time bound
        // holds even when the library clock stands still.
        auto leftMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
                .count();
        if (leftMs <= 0)
            return false;
        // Whole seconds, rounded up, so that the last fraction is waited too.
        m_Wake.WaitSeconds(
            static_cast<int>(std::min<long long>((leftMs + 999) / 1000, kWakeSeconds)));
    }
}

void CVornConnectTimeouts::Release(const CVornString& hostKey, bool success) {
    {
        CVornLockGuard guard(m_Lock);
        void* value = nullptr;
        if (m_Entries.Find(hostKey, &value, false)) {
            if (success) {
                Entry* entry = static_cast<Entry*>(value);
                entry->m_Time = Now();
                entry->m_InUse = false;
            } else {
                m_Entries.Remove(hostKey);
            }
        }
    }
    m_Wake.Set();
}

void CVornConnectTimeouts::Clear() {
    CVornLockGuard guard(m_Lock);
    m_Entries.Clear();
}

int CVornConnectTimeouts::Count() {
    CVornLockGuard guard(m_Lock);
    return m_Entries.Count();
}

// ---- Idle-connection pool

CVornIdleConnections::CVornIdleConnections() = default;

CVornIdleConnections::~CVornIdleConnections() {
    CloseIdle(true);
}

void CVornIdleConnections::deleteEntry(Entry* entry) {
    delete entry->m_Connection;
    delete entry;
}

void CVornIdleConnections::Add(const CVornHostAddress& host, const CVornString& text1,
                               const CVornString& text2, CVornTCPSocket* connection) {
    if (connection == nullptr)
        return;
    Entry* entry = new Entry();
    entry->m_Host = host;
    entry->m_Text1 = text1;
    entry->m_Text2 = text2;
    entry->m_IdleSince = Now();
    entry->m_Connection = connection;
    CVornLockGuard guard(m_Lock);
    // A full pool gives up its oldest connection: the newest is the likeliest
    // to be reused, and the pool must not grow without bound.
    std::vector<Entry*> entries;
    {
        CVornLockGuard listGuard(m_Entries.m_Lock);
        for (auto* node = m_Entries.m_Head; node; node = node->m_Next)
            entries.push_back(node->m_Element);
    }
    if (static_cast<int>(entries.size()) >= kMaxEntries) {
        deleteEntry(entries.front());
        entries.erase(entries.begin());
        m_Entries.RemoveAll();
        for (Entry* e : entries) m_Entries.AddTail(e);
    }
    m_Entries.AddTail(entry);
}

CVornTCPSocket* CVornIdleConnections::Take(const CVornHostAddress& host, const CVornString& text1,
                                           const CVornString& text2) {
    CVornLockGuard guard(m_Lock);
    time_t now = Now();
    std::vector<Entry*> entries;
    {
        CVornLockGuard listGuard(m_Entries.m_Lock);
        for (auto* node = m_Entries.m_Head; node; node = node->m_Next)
            entries.push_back(node->m_Element);
    }
    CVornTCPSocket* found = nullptr;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        Entry* e = *it;
        if (now - e->m_IdleSince > kMaxIdleSeconds)
            continue;
        if (e->m_Text1.Compare(text1, 3) != 0 || e->m_Text2.Compare(text2, 3) != 0)
            continue;
        if (!e->m_Host.SameHost(host, true, nullptr))
            continue;
        found = e->m_Connection;
        e->m_Connection = nullptr;
        delete e;
        entries.erase(std::next(it).base());
        break;
    }
    if (found) {
        m_Entries.RemoveAll();
        for (Entry* e : entries) m_Entries.AddTail(e);
    }
    return found;
}

void CVornIdleConnections::CloseIdle(bool all) {
    CVornLockGuard guard(m_Lock);
    time_t now = Now();
    std::vector<Entry*> kept;
    {
        CVornLockGuard listGuard(m_Entries.m_Lock);
        for (auto* node = m_Entries.m_Head; node; node = node->m_Next) {
            Entry* e = node->m_Element;
            if (all || now - e->m_IdleSince > kMaxIdleSeconds)
                deleteEntry(e);
            else
                kept.push_back(e);
        }
        m_Entries.RemoveAll();
    }
    for (Entry* e : kept) m_Entries.AddTail(e);
}

int CVornIdleConnections::Count() {
    CVornLockGuard guard(m_Lock);
    return m_Entries.m_Count;
}
