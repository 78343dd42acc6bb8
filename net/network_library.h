// The network library's process-wide services: its start and stop, the
// connect time-out table that keeps many threads from connecting at once to
// a host that does not answer, and the pool of idle connections.
//
//   LibraryStartup      reset and start the clock, start the sockets layer
//   SocketsStartup      start the sockets layer alone (SIGPIPE ignored)
//   LibraryCleanup      clear the tables and the pool, stop the clock thread
//   CVornConnectTimeouts  pacing of connection attempts per host key
//   CVornIdleConnections  connections kept open for reuse, closed when old
//   g_ConnectTimeouts   the table of the HTTP client
//   g_IdleConnections   the process's pool
//
// Threads: every function and method may be called from any thread. The
// process-wide objects are never destroyed (detached threads may still use
// them at exit).
#pragma once

#include <time.h>

#include "core/hash_table.h"
#include "core/vorn_event.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/host_address.h"

class CVornTCPSocket;

// Resets and starts the clock, marks the library started and starts the
// sockets layer once. True when the sockets layer is started. Called by a
// program's main function after it loaded its message catalogues.
bool LibraryStartup();

// Starts the sockets layer once (on Linux: SIGPIPE is ignored, so that a
// write to a closed connection is an error and never ends the process).
// True when it is started. Safe to call again.
bool SocketsStartup();

// Clears g_ConnectTimeouts, closes every connection of g_IdleConnections and
// stops the clock thread (waiting a few seconds at most). The sockets layer
// stays started.
void LibraryCleanup();

// Pacing of connection attempts by host key (a text the caller chooses; the
// HTTP client uses "host:port"). Keys match byte for byte, so keys that
// differ in letter case are different hosts.
//
// A caller brackets every attempt with Acquire and Release:
//   - the first attempt on a key runs at once and marks the key in use;
//   - while an attempt is in use and younger than the hold time, further
//     attempts wait for it (on a wake event, 2 s at a time);
//   - an attempt in use for longer than the hold time has hung: further
//     attempts give up at once;
//   - after a success, attempts within the hold time run in parallel; the
//     first attempt after it marks the key in use again;
//   - a failure forgets the key, so the next attempt starts afresh.
// Ages are measured on the library clock (Now). A waiter also gives up when
// it has waited the real-time bound (steady clock; hold time + 2 s by
// default), so that a frozen or stale library clock never holds it for ever.
//
// Not copyable.
class CVornConnectTimeouts {
public:
    static constexpr int kDefaultHoldSeconds = 30;

    // holdSeconds < 1 is taken as the default. maxWaitSeconds < 1 means
    // holdSeconds + 2.
    explicit CVornConnectTimeouts(int holdSeconds = kDefaultHoldSeconds, int maxWaitSeconds = 0);
    virtual ~CVornConnectTimeouts();
    CVornConnectTimeouts(const CVornConnectTimeouts&) = delete;
    CVornConnectTimeouts& operator=(const CVornConnectTimeouts&) = delete;

    // True when the caller may start an attempt on the key (it must then call
    // Release); false when it must give up at once. May block, without the
    // table lock, while another attempt on the key is in progress.
    bool Acquire(const CVornString& hostKey);
    // The end of an attempt: success keeps the key as recently successful,
    // failure forgets it. Wakes one waiter (the others look again within 2 s).
    void Release(const CVornString& hostKey, bool success);
    // Forgets every key.
    void Clear();
    // The number of keys held (for tests and diagnostics).
    int Count();

private:
    struct Entry {
        time_t m_Time = 0;  // start of the attempt in use, or the last success
        bool m_InUse = false;
    };
    // Removes, at most once a minute, the entries not in use whose success is
    // older than the hold time. REQUIRES: m_Lock held.
    void cleanUp(time_t now);

    CVornEvent m_Wake;
    CVornMap<Entry> m_Entries{0, 0};
    int m_HoldSeconds;
    time_t m_LastCleanUp = 0;
    int m_MaxWaitSeconds;
    CVornLock m_Lock{true};
};

// Connections kept open for reuse, each with the host it goes to and two
// texts the caller chooses to tell connections to the same host apart (for
// example a user name and a protocol). The pool owns the connections it
// holds; a connection is closed by deleting it.
//
// Not copyable. The destructor deletes every connection still held.
class CVornIdleConnections {
public:
    // Entries idle for longer than this are closed by CloseIdle(false) and
    // never handed out by Take.
    static constexpr int kMaxIdleSeconds = 120;
    // At most this many connections are held; adding one more closes the
    // oldest.
    static constexpr int kMaxEntries = 64;

    CVornIdleConnections();
    virtual ~CVornIdleConnections();
    CVornIdleConnections(const CVornIdleConnections&) = delete;
    CVornIdleConnections& operator=(const CVornIdleConnections&) = delete;

    // Puts a connection into the pool, idle from now (Now()). The pool takes
    // ownership of connection (a null connection is ignored).
    void Add(const CVornHostAddress& host, const CVornString& text1, const CVornString& text2,
             CVornTCPSocket* connection);
    // Takes out the most recently added connection to the same host (name or
    // address, and port; see CVornHostAddress::SameHost) with both texts
    // equal byte for byte and idle for no longer than kMaxIdleSeconds. The
    // caller owns what it gets; null when there is none.
    CVornTCPSocket* Take(const CVornHostAddress& host, const CVornString& text1,
                         const CVornString& text2);
    // Closes and frees the entries idle for longer than kMaxIdleSeconds, or
    // every entry when all is true. The others stay in their order.
    void CloseIdle(bool all);
    int Count();

private:
    struct Entry {
        CVornHostAddress m_Host;
        CVornString m_Text1;
        CVornString m_Text2;
        time_t m_IdleSince = 0;
        CVornTCPSocket* m_Connection = nullptr;  // owned
    };
    static void deleteEntry(Entry* entry);

    CVornList<Entry*> m_Entries;  // oldest first; the entries are owned
    CVornLock m_Lock{true};
};

// The connect time-out table of the HTTP client.
extern CVornConnectTimeouts& g_ConnectTimeouts;
// The process's idle-connection pool.
extern CVornIdleConnections& g_IdleConnections;
