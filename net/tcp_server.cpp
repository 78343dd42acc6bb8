// The TCP server framework: an acceptor thread queues accepted connections,
// connection workers hand them to the derived server's ProcessJob, helper
// threads run its RunHelper.
//
//   CVornTCPServer::Start                listen, start acceptor, workers, helpers
//   CVornTCPServer::Stop                 stop every thread (bounded wait), close
//                                        the connections
//   CVornTCPServer::Listen               move the listener while running
//   CVornTCPServer::SetConnectionWorkers / SetHelperThreads   wanted counts
//   CVornTCPServer::TooManyHelpers       should the calling helper end
//   CVornTCPServer::GetHelperThreadCount / GetThreadCount / IsStopping / GetName
//   CVornTCPServer::GetLocalHost         the server's host as others see it
//   CVornTCPServer::SetQueueLimit / SetStopWaitSeconds / SetAddressCap / GetAddressCap
//   CVornTCPServer::RunHelper            default helper body (polls the flags)
//   CVornTCPServer::ProcessJob           default connection body (line echo)
//   ThreadStartTCPServer                 the thread function of every server thread
//
// Bad input: bad Start arguments (148), a second Start or one after Stop
// (150), no address that listens (153) or a thread that cannot start (155)
// give false; bad wanted counts give false and change nothing. A connection
// that finds the queue full, or its address's share of it full, is closed at
// once; an accept that fails is
// reported by the listener and the acceptor goes on. A thread that ends by an
// exception is reported (154) and restarted; one that cannot be restarted is
// reported (156). A thread started without its record reports 149 and ends.
#include "net/tcp_server.h"

#include <chrono>
#include <unordered_map>
#include <vector>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/system_info.h"
#include "core/threads.h"
#include "core/vorn_event.h"
#include "core/vorn_lock.h"
#include "net/server_threads.h"
#include "platform/threads.h"

namespace {

enum : int {
    kMsgBadStart = 148,
    kMsgNoThreadRecord = 149,
    kMsgAlreadyRunning = 150,
    kMsgNothingListens = 153,
    kMsgThreadException = 154,
    kMsgThreadStartFailed = 155,
    kMsgThreadRestartFailed = 156,
};

enum : int { kEventError = 1 };

// An accept that fails for another reason than the wait (no descriptor left,
// a closed listener) fails again at once: the acceptor pauses this long
// before it tries again rather than spinning.
constexpr int kAcceptRetrySeconds = 1;
// The default helper body looks at the flags this often.
constexpr int kHelperPollSeconds = 5;

}  // namespace

struct CVornTCPServer::Shared {
    explicit Shared(const char* name) : m_Name(name) {}

    // REQUIRES: m_Lock.
    int LiveThreads() const {
        return m_Count[kAcceptor] + m_Count[kConnectionWorker] + m_Count[kHelper];
    }

    CVornLock m_Lock{true};    // the server lock
    const CVornString m_Name;  // copied for threads that outlive the server
    // Written under m_Lock, never cleared once set; read without a lock, also
    // under the queue's lock (which must not take the server lock).
    std::atomic<bool> m_Stopping{false};
    bool m_Running = false;
    bool m_Listening = false;  // the listener holds a listening handle
    int m_NextThreadNumber = 0;
    int m_Wanted[3] = {0, 0, 0};
    int m_Count[3] = {0, 0, 0};  // started and not yet ended, per kind
    CVornTCPSocket m_Listener;
    // Threads other than the acceptor waiting for the listener's lock. The
    // acceptor holds that lock for a second at a time and takes it again at
    // once; the lock is not fair, so it steps aside while this is above 0.
    std::atomic<int> m_ListenerCallers{0};

    // Accepted connections waiting for a worker (owned by the queue). The
    // list's lock also guards the fields below.
    CVornList<CVornTCPSocket*> m_Queue;
    std::vector<CVornTCPSocket*> m_Serving;  // taken by a worker, not yet deleted
    int m_QueueLimit = kDefaultQueueLimit;
    int m_Closed = 0;  // connections closed because the queue was full
    // The per-address cap: the peer address of every queued or served
    // connection, and per address the connections queued and served.
    std::unordered_map<const CVornTCPSocket*, uint32_t> m_AddressOf;
    std::unordered_map<uint32_t, int> m_WaitingFrom;
    std::unordered_map<uint32_t, int> m_ServedFrom;
    int m_AddressCap = 0;  // 0: the default share of the workers
    int m_OverShare = 0;   // connections closed because their address's share was full

    // The wanted connection workers, mirrored from m_Wanted for the queue's
    // side, which must not take the server lock.
    std::atomic<int> m_WantedWorkers{0};

    std::atomic<int> m_StopWaitSeconds{kDefaultStopWaitSeconds};
    CVornEvent m_Wake;   // auto-reset: once per queued connection, and at stop
    CVornEvent m_Ended;  // set whenever a thread of the server ends
};

struct TCPServerThread {
    CVornTCPServer* m_Server;
    std::shared_ptr<CVornTCPServer::Shared> m_Shared;
    int m_Kind;
    int m_Number;
    // Under the server lock: the thread has already left the running count
    // (a surplus worker or helper), so its end must not count it out again.
    bool m_CountedOut = false;
};

namespace {

using Shared = CVornTCPServer::Shared;

// Held by a thread other than the acceptor while it uses the listener (see
// Shared::m_ListenerCallers).
class ListenerCall {
public:
    explicit ListenerCall(Shared& shared) : m_Shared(shared) { ++m_Shared.m_ListenerCallers; }
    ~ListenerCall() { --m_Shared.m_ListenerCallers; }
    ListenerCall(const ListenerCall&) = delete;
    ListenerCall& operator=(const ListenerCall&) = delete;

private:
    Shared& m_Shared;
};

// The record of the server thread running on this thread, if any: lets
// TooManyHelpers tell which helper asks.
thread_local TCPServerThread* t_CurrentThread = nullptr;

// A thread of the record has ended: it no longer counts, its record goes,
// and a waiting Stop looks again.
void EndServerThread(TCPServerThread* record) {
    auto shared = record->m_Shared;
    {
        CVornLockGuard guard(shared->m_Lock);
        if (!record->m_CountedOut)
            --shared->m_Count[record->m_Kind];
    }
    delete record;
    shared->m_Ended.Set();
}

// The body of a thread ended by an exception: report it and start a new
// thread on the same record (same kind and number, same count), unless the
// server is stopping (the thread would end at once, and the server may
// already be gone) or the thread had counted itself out.
void RestartServerThread(TCPServerThread* record) {
    auto shared = record->m_Shared;
    try {
        LogEventStringIntInt(kMsgThreadException, kEventError, shared->m_Name, record->m_Number,
                             record->m_Kind);
    } catch (...) {
    }
    {
        CVornLockGuard guard(shared->m_Lock);
        if (!shared->m_Stopping && !record->m_CountedOut) {
            if (StartThread(ThreadStartTCPServer, record, 0) == 0)
                return;  // the new thread owns the record and keeps the count
            try {
                LogEventStringIntInt(kMsgThreadRestartFailed, kEventError, shared->m_Name,
                                     record->m_Number, record->m_Kind);
            } catch (...) {
            }
        }
    }
    EndServerThread(record);
}

using QueueNode = CVornList<CVornTCPSocket*>::Node;

// Removes node (which follows previous, null for the head) from the queue
// and returns its connection. REQUIRES: the queue's lock.
CVornTCPSocket* Unlink(CVornList<CVornTCPSocket*>& queue, QueueNode* previous, QueueNode* node) {
    // The list offers removal at the tail only: the node is dropped by hand.
    CVornTCPSocket* connection = node->m_Element;
    if (previous == nullptr)
        queue.m_Head = node->m_Next;
    else
        previous->m_Next = node->m_Next;
    if (queue.m_Tail == node)
        queue.m_Tail = previous;
    queue.m_Cursor = nullptr;
    queue.m_Previous = nullptr;
    --queue.m_Count;
    delete node;
    return connection;
}

// Counts an address down in a per-address table, forgetting it at 0.
void CountDown(std::unordered_map<uint32_t, int>& table, uint32_t address) {
    auto found = table.find(address);
    if (found != table.end() && --found->second <= 0)
        table.erase(found);
}

int CountOf(const std::unordered_map<uint32_t, int>& table, uint32_t address) {
    auto found = table.find(address);
    return found == table.end() ? 0 : found->second;
}

// The workers one address may hold at once. REQUIRES: the queue's lock.
int AddressCap(const Shared& shared) {
    if (shared.m_AddressCap > 0)
        return shared.m_AddressCap;
    int share = shared.m_WantedWorkers / CVornTCPServer::kDefaultAddressShare;
    return share < 1 ? 1 : share;
}

// The queued connections one address may have waiting: a quarter of the
// queue, or its cap when that is more. REQUIRES: the queue's lock.
int WaitingShare(const Shared& shared) {
    int share = shared.m_QueueLimit / CVornTCPServer::kDefaultAddressShare;
    int cap = AddressCap(shared);
    return share > cap ? share : cap;
}

// Takes the oldest queued connection whose address holds fewer workers than
// its cap and records it as being served, in one hold of the queue's lock,
// so that Stop's shutdown of the served connections cannot miss it. Null
// when no queued connection may be served now or the server stops. *more:
// another queued connection may be served now.
CVornTCPSocket* TakeConnection(Shared& shared, bool* more) {
    *more = false;
    CVornLockGuard guard(shared.m_Queue.m_Lock);
    if (shared.m_Stopping)
        return nullptr;
    const int cap = AddressCap(shared);
    CVornTCPSocket* connection = nullptr;
    QueueNode* previous = nullptr;
    for (QueueNode* node = shared.m_Queue.m_Head; node != nullptr;) {
        uint32_t address = shared.m_AddressOf[node->m_Element];
        if (CountOf(shared.m_ServedFrom, address) >= cap) {
            previous = node;
            node = node->m_Next;
            continue;
        }
        if (connection != nullptr) {
            *more = true;
            break;
        }
        QueueNode* next = node->m_Next;
        connection = Unlink(shared.m_Queue, previous, node);
        CountDown(shared.m_WaitingFrom, address);
        ++shared.m_ServedFrom[address];
        shared.m_Serving.push_back(connection);
        node = next;
    }
    return connection;
}

// The worker is done with the connection: it is no longer served, and is
// deleted (which closes it). A connection of the same address that waited
// for this worker's share can now be taken. Never throws: also runs while an
// exception of ProcessJob passes.
void ReleaseConnection(Shared& shared, CVornTCPSocket* connection) {
    bool waiting = false;
    {
        CVornLockGuard guard(shared.m_Queue.m_Lock);
        for (size_t i = 0; i < shared.m_Serving.size(); ++i) {
            if (shared.m_Serving[i] == connection) {
                shared.m_Serving[i] = shared.m_Serving.back();
                shared.m_Serving.pop_back();
                break;
            }
        }
        auto found = shared.m_AddressOf.find(connection);
        if (found != shared.m_AddressOf.end()) {
            CountDown(shared.m_ServedFrom, found->second);
            waiting = CountOf(shared.m_WaitingFrom, found->second) > 0;
            shared.m_AddressOf.erase(found);
        }
    }
    delete connection;
    if (waiting)
        shared.m_Wake.Set();
}

// Logs a connection closed on arrival. A flood would fill the log as well:
// the first connection closed for a reason and every thousandth are logged.
void LogClosed(Shared& shared, CVornTCPSocket* connection, const char* reason, int closed) {
    if (g_LogSilent || !(closed == 1 || closed % 1000 == 0))
        return;
    CVornHostAddress peer;
    CVornString line("tcpserver ");
    line.Append(shared.m_Name);
    line.Append(reason);
    line.Append(", the connection from ");
    line.Append(connection->GetPeerAddress(peer) ? peer.Format(0) : "?");
    line.Append(" is closed; closed so far: ");
    line.AppendInt(closed);
    LogText(kLogWarning, line.CStr());
}

// The connection's peer address. A peer that cannot be told (the connection
// is already gone) counts as address 0.
uint32_t PeerAddress(CVornTCPSocket* connection) {
    CVornHostAddress peer;
    CVornHostAddressList addresses;
    // The count first: a host without addresses would be looked up.
    if (!connection->GetPeerAddress(peer) || peer.GetAddressCount() == 0 ||
        !peer.GetAddresses(addresses))
        return 0;
    CVornLockGuard guard(addresses.m_Lock);
    return addresses.m_Head != nullptr ? addresses.m_Head->m_Element.GetAddress() : 0;
}

// Appends the connection to the queue and wakes a worker. The connection is
// closed instead when the server stops, when its address already has its
// share of the queue waiting, or when the queue is full.
void QueueConnection(Shared& shared, CVornTCPSocket* connection) {
    uint32_t address = PeerAddress(connection);
    int overShare = 0;
    int overQueue = 0;
    {
        CVornLockGuard guard(shared.m_Queue.m_Lock);
        if (shared.m_Stopping) {
        } else if (CountOf(shared.m_WaitingFrom, address) >= WaitingShare(shared)) {
            overShare = ++shared.m_OverShare;
        } else if (shared.m_Queue.m_Count >= shared.m_QueueLimit) {
            overQueue = ++shared.m_Closed;
        } else {
            shared.m_Queue.AddTail(connection);
            shared.m_AddressOf[connection] = address;
            ++shared.m_WaitingFrom[address];
            connection = nullptr;
        }
    }
    if (connection == nullptr) {
        shared.m_Wake.Set();
        return;
    }
    if (overShare > 0)
        LogClosed(shared, connection, ": its address has its share of connections waiting",
                  overShare);
    if (overQueue > 0)
        LogClosed(shared, connection, ": too many connections wait for a worker", overQueue);
    delete connection;
}

// Ends every connection being served, so that workers blocked in a read or
// a write return promptly. The sockets' own locks are not taken (their
// workers hold them while they wait).
void ShutDownServedConnections(Shared& shared) {
    CVornLockGuard guard(shared.m_Queue.m_Lock);
    for (CVornTCPSocket* connection : shared.m_Serving) connection->ShutdownNow();
}

// Deletes (closes) every queued connection.
void DropQueue(Shared& shared) {
    for (;;) {
        CVornTCPSocket* connection = nullptr;
        {
            CVornLockGuard guard(shared.m_Queue.m_Lock);
            if (shared.m_Queue.m_Head != nullptr) {
                connection = Unlink(shared.m_Queue, nullptr, shared.m_Queue.m_Head);
                auto found = shared.m_AddressOf.find(connection);
                if (found != shared.m_AddressOf.end()) {
                    CountDown(shared.m_WaitingFrom, found->second);
                    shared.m_AddressOf.erase(found);
                }
            }
        }
        if (connection == nullptr)
            return;
        delete connection;
    }
}

}  // namespace

unsigned ThreadStartTCPServer(void* argument) {
    auto* record = static_cast<TCPServerThread*>(argument);
    if (record == nullptr) {
        // An exception cannot leave a thread function without ending the
        // process: the error is reported and the thread ends.
        LogEvent(kMsgNoThreadRecord, kEventError);
        return 1;
    }
    auto shared = record->m_Shared;
    t_CurrentThread = record;
    try {
        // A thread that starts into a stopping server ends before it touches
        // the server, which may be gone when Stop gave up waiting.
        if (!shared->m_Stopping) {
            CVornTCPServer* server = record->m_Server;
            switch (record->m_Kind) {
                case CVornTCPServer::kAcceptor:
                    server->runAcceptor(shared, record->m_Number);
                    break;
                case CVornTCPServer::kConnectionWorker:
                    server->runWorker(shared, record);
                    break;
                default:
                    server->RunHelper(record->m_Number);
                    break;
            }
        }
    } catch (...) {
        t_CurrentThread = nullptr;
        RestartServerThread(record);
        return 1;
    }
    t_CurrentThread = nullptr;
    EndServerThread(record);
    return 0;
}

CVornTCPServer::CVornTCPServer(const char* name) : m_Shared(std::make_shared<Shared>(name)) {}

CVornTCPServer::~CVornTCPServer() {
    bool active;
    {
        CVornLockGuard guard(m_Shared->m_Lock);
        active = m_Shared->m_Running || m_Shared->LiveThreads() > 0;
    }
    if (active)
        Stop();
    // The listener goes with the server, even when a thread that Stop gave
    // up on keeps the shared state alive.
    CVornLockGuard guard(m_Shared->m_Lock);
    if (m_Shared->m_Listening) {
        m_Shared->m_Listening = false;
        m_Shared->m_Listener.Close();
    }
}

bool CVornTCPServer::Start(int workers, int helpers, const CVornHostAddress& address) {
    CVornList<CVornHostAddress> addresses;
    addresses.AddTail(address);
    return Start(workers, helpers, addresses);
}

bool CVornTCPServer::Start(int workers, int helpers, const CVornList<CVornHostAddress>& addresses) {
    Shared& shared = *m_Shared;
    int count;
    {
        CVornLockGuard guard(addresses.m_Lock);
        count = addresses.m_Count;
    }
    if (workers < 1 || helpers < 0 || count == 0) {
        LogEventStringInt(kMsgBadStart, kEventError, shared.m_Name, workers);
        return false;
    }

    CVornLockGuard guard(shared.m_Lock);
    // A stopped server keeps its stop flag: its threads would end at once, so
    // a Start after Stop is refused rather than reported as a success.
    if (shared.m_Running || shared.m_Stopping) {
        LogEventString(kMsgAlreadyRunning, kEventError, shared.m_Name);
        return false;
    }

    bool listening = false;
    CVornTCPSocket candidate;
    {
        CVornLockGuard listGuard(addresses.m_Lock);
        for (auto* node = addresses.m_Head; node && !listening; node = node->m_Next) {
            CVornHostAddress address(node->m_Element);
            listening = candidate.Listen(address);
        }
    }
    if (!listening || !shared.m_Listener.TakeOver(candidate)) {
        LogEventString(kMsgNothingListens, kEventError, shared.m_Name);
        return false;
    }
    shared.m_Listening = true;

    if (!startThreads(kAcceptor, 1) || !startThreads(kConnectionWorker, workers) ||
        !startThreads(kHelper, helpers))
        return false;
    shared.m_Running = true;
    return true;
}

bool CVornTCPServer::startThreads(int kind, int n) {
    Shared& shared = *m_Shared;
    shared.m_Wanted[kind] = n;
    if (kind == kConnectionWorker)
        shared.m_WantedWorkers = n;
    // Threads started into a stopping server would end at once.
    if (shared.m_Stopping)
        return true;
    return StartServerThreads<TCPServerThread>(this, m_Shared, kind, n, ThreadStartTCPServer,
                                               kMsgThreadStartFailed);
}

bool CVornTCPServer::Stop() {
    Shared& shared = *m_Shared;
    {
        CVornLockGuard guard(shared.m_Lock);
        shared.m_Stopping = true;
    }
    shared.m_Wake.Set();
    // A worker that takes a connection after this sees the stop flag under the
    // queue's lock and leaves it, so no served connection escapes.
    ShutDownServedConnections(shared);

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(shared.m_StopWaitSeconds.load());
    bool allEnded = true;
    for (;;) {
        int live;
        {
            CVornLockGuard guard(shared.m_Lock);
            live = shared.LiveThreads();
        }
        if (live <= 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            // A thread that never comes back from ProcessJob or RunHelper
            // must not hold the caller (often the process's exit) for ever.
            if (!g_LogSilent) {
                CVornString line;
                line.Format("Error: TCP server %s: %d threads still running after the stop wait.",
                            CVornString(shared.m_Name).CStr(), live);
                LogText(kLogError, line.CStr());
            }
            allEnded = false;
            break;
        }
        shared.m_Wake.Set();
        // At most a second, and less as soon as a thread ends.
        shared.m_Ended.WaitSeconds(1);
    }

    DropQueue(shared);
    CVornLockGuard guard(shared.m_Lock);
    shared.m_Running = false;
    return allEnded;
}

bool CVornTCPServer::Listen(const CVornHostAddress& address) {
    Shared& shared = *m_Shared;
    CVornTCPSocket candidate(address);
    if (!candidate.Listen())
        return false;
    CVornLockGuard guard(shared.m_Lock);
    // TakeOver closes the old listening handle first; the acceptor's next
    // Accept (it holds the listener's lock while it waits) uses the new one.
    ListenerCall call(shared);
    if (!shared.m_Listener.TakeOver(candidate))
        return false;
    shared.m_Listening = true;
    return true;
}

bool CVornTCPServer::SetConnectionWorkers(int n) {
    if (n < 1)
        return false;
    bool ok;
    {
        CVornLockGuard guard(m_Shared->m_Lock);
        ok = startThreads(kConnectionWorker, n);
    }
    // One waiting worker looks at the counts (and passes the wake-up on).
    m_Shared->m_Wake.Set();
    return ok;
}

bool CVornTCPServer::SetHelperThreads(int n) {
    if (n < 0)
        return false;
    CVornLockGuard guard(m_Shared->m_Lock);
    return startThreads(kHelper, n);
}

bool CVornTCPServer::TooManyHelpers() {
    Shared& shared = *m_Shared;
    CVornLockGuard guard(shared.m_Lock);
    TCPServerThread* self = t_CurrentThread;
    bool ownHelper = self != nullptr && self->m_Kind == kHelper && self->m_Shared == m_Shared;
    if (ownHelper && self->m_CountedOut)
        return true;
    bool surplus = shared.m_Count[kHelper] > shared.m_Wanted[kHelper];
    if (surplus && ownHelper) {
        --shared.m_Count[kHelper];
        self->m_CountedOut = true;
    }
    return surplus;
}

int CVornTCPServer::GetHelperThreadCount() {
    CVornLockGuard guard(m_Shared->m_Lock);
    return m_Shared->m_Wanted[kHelper];
}

int CVornTCPServer::GetThreadCount(int kind) {
    if (kind < kAcceptor || kind > kHelper)
        return -1;
    CVornLockGuard guard(m_Shared->m_Lock);
    return m_Shared->m_Count[kind];
}

bool CVornTCPServer::IsStopping() {
    return m_Shared->m_Stopping;
}

void CVornTCPServer::GetName(CVornString& out) {
    CVornLockGuard guard(m_Shared->m_Lock);
    out.Assign(m_Shared->m_Name);
}

void CVornTCPServer::GetLocalHost(CVornHostAddress& out) {
    Shared& shared = *m_Shared;
    // The listener has a lock of its own, which the acceptor holds for up to
    // a second at a time; the server lock is not held meanwhile, so that the
    // workers' and helpers' checks do not wait on it.
    CVornString fqdn;
    SysInfoGetFqdn(fqdn);
    CVornString shortName(fqdn);
    int dot = fqdn.Find('.');
    if (dot >= 0) {
        shortName.KeepLeft(dot);
    } else if (!g_LogSilent) {
        LogText(kLogDebug, "tcpserver getlocalhost fqdn isn't.");
    }
    out.SetName(shortName.CStr());
    out.SetCanonicalName(fqdn.CStr());

    CVornHostAddress local;
    bool known;
    {
        ListenerCall call(shared);
        known = shared.m_Listener.GetLocalAddress(local);
    }
    if (!known) {
        if (!g_LogSilent)
            LogText(kLogDebug, "tcpserver getlocalhost getourend failed");
        return;
    }
    out.SetPort(local.GetPort());

    bool any = false;
    CVornHostAddressList addresses;
    if (!local.GetAddresses(addresses)) {
        if (!g_LogSilent)
            LogText(kLogDebug, "tcpserver getlocalhost getaddrs failed");
    } else {
        CVornLockGuard listGuard(addresses.m_Lock);
        for (auto* node = addresses.m_Head; node; node = node->m_Next) {
            if (node->m_Element.GetAddress() == 0)
                any = true;
            else
                out.AddAddress(node->m_Element);
        }
    }
    if (!any)
        return;
    // Bound to every interface: the machine's own addresses stand for it.
    CVornHostAddressList machine;
    if (!SysInfoGetLocalAddresses(machine)) {
        if (!g_LogSilent)
            LogText(kLogDebug, "tcpserver getlocalhost sysinfo::gla failed");
        return;
    }
    CVornLockGuard listGuard(machine.m_Lock);
    for (auto* node = machine.m_Head; node; node = node->m_Next) out.AddAddress(node->m_Element);
}

void CVornTCPServer::SetQueueLimit(int n) {
    CVornLockGuard guard(m_Shared->m_Queue.m_Lock);
    m_Shared->m_QueueLimit = n < 1 ? 1 : n;
}

void CVornTCPServer::SetAddressCap(int n) {
    CVornLockGuard guard(m_Shared->m_Queue.m_Lock);
    m_Shared->m_AddressCap = n < 1 ? 0 : n;
    // Connections that waited for a lower cap may be served now.
    m_Shared->m_Wake.Set();
}

int CVornTCPServer::GetAddressCap() {
    CVornLockGuard guard(m_Shared->m_Queue.m_Lock);
    return AddressCap(*m_Shared);
}

void CVornTCPServer::SetStopWaitSeconds(int n) {
    m_Shared->m_StopWaitSeconds = n < 1 ? 1 : n;
}

void CVornTCPServer::runAcceptor(const std::shared_ptr<Shared>& sharedPointer, int threadNumber) {
    (void)threadNumber;
    Shared& shared = *sharedPointer;
    CVornTCPSocket accepted;
    while (!shared.m_Stopping) {
        if (shared.m_ListenerCallers > 0) {
            platform::SleepMilliseconds(1);
            continue;
        }
        // The 1-s wait is how the acceptor sees the stop flag within a second.
        if (!shared.m_Listener.Accept(accepted, 1)) {
            if (shared.m_Listener.GetError() != kTcpTimedOut)
                SleepSeconds(kAcceptRetrySeconds);
            continue;
        }
        auto* connection = new CVornTCPSocket;
        connection->TakeOver(accepted);
        QueueConnection(shared, connection);
    }
    shared.m_Wake.Set();  // a waiting worker sees the flag too
}

void CVornTCPServer::runWorker(const std::shared_ptr<Shared>& sharedPointer,
                               TCPServerThread* self) {
    Shared& shared = *sharedPointer;
    for (;;) {
        if (shared.m_Stopping) {
            shared.m_Wake.Set();  // pass the wake-up on to the next thread
            return;
        }
        {
            CVornLockGuard guard(shared.m_Lock);
            // The test and the departure from the count in one hold of the
            // lock: workers woken one after another never both leave for the
            // same surplus.
            if (shared.m_Count[kConnectionWorker] > shared.m_Wanted[kConnectionWorker]) {
                --shared.m_Count[kConnectionWorker];
                self->m_CountedOut = true;
                shared.m_Wake.Set();  // the wake-up this surplus worker took
                shared.m_Wake.Set();
                return;
            }
        }
        bool more = false;
        CVornTCPSocket* connection = TakeConnection(shared, &more);
        if (connection == nullptr) {
            // Bounded, so that a lost wake-up costs at most a second.
            shared.m_Wake.WaitSeconds(1);
            continue;
        }
        // Wake-ups of connections queued together collapse into one: the
        // next waiting worker is woken for the rest.
        if (more)
            shared.m_Wake.Set();
        struct Release {
            Shared& shared;
            CVornTCPSocket* connection;
            ~Release() { ReleaseConnection(shared, connection); }
        } release{shared, connection};
        ProcessJob(connection, self->m_Number);
        // From here on only the shared state is touched: a stopping server
        // may be gone if Stop gave up waiting.
    }
}

void CVornTCPServer::RunHelper(int threadNumber) {
    (void)threadNumber;
    while (!IsStopping() && !TooManyHelpers()) SleepSeconds(kHelperPollSeconds);
}

void CVornTCPServer::ProcessJob(CVornTCPSocket* connection, int threadNumber) {
    CVornString line(CVornString::kUnlocked);
    CVornString reply(CVornString::kUnlocked);
    while (connection->ReadUntil(line, "\r\n", 0) > 0 && !IsStopping()) {
        reply.AssignInt(threadNumber);
        reply.Append(": ");
        reply.Append(line);
        // A peer that stops reading makes the write fail at the send
        // time-out; going on would cost that time-out again for every line.
        if (connection->Write(reply) != reply.Length())
            break;
    }
}
