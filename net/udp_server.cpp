// The UDP server framework: a boss thread receives datagrams and queues
// them, grunt threads hand them to the derived server's HandleDatagram,
// helper threads run its RunHelper.
//
//   CVornUDPServer::Start           bind the socket, start boss, grunts, helpers
//   CVornUDPServer::Stop            stop every thread (bounded wait), empty the queue
//   CVornUDPServer::IsStopping      the stop flag
//   CVornUDPServer::TooManyHelpers  should the calling helper end
//   CVornUDPServer::RunHelper       default helper body (polls the flags)
//   CVornUDPServer::HandleDatagram  default handler (prints the datagram)
//   CVornUDPServer::GetSocket / SetQueueLimit / GetDroppedCount
//   ThreadStartUDPServer            the thread function of every server thread
//
// Bad input: bad Start arguments (216), a second Start (217), an address
// that cannot be bound (218) or a thread that cannot start (219) give
// false. A datagram over the largest size (223, at most once a minute) or one
// that finds the queue full is dropped; an empty datagram is dropped; a failed receive is logged
// and the boss goes on. A thread that ends by an exception is reported (221)
// and restarted; one that cannot be restarted is reported (222).
#include "net/udp_server.h"

#include <stdio.h>

#include <cctype>
#include <exception>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/threads.h"
#include "net/server_threads.h"

namespace {

enum : int {
    kMsgBadStart = 216,
    kMsgAlreadyRunning = 217,
    kMsgNothingBound = 218,
    kMsgThreadStartFailed = 219,
    kMsgNoThreadRecord = 220,
    kMsgThreadException = 221,
    kMsgThreadRestartFailed = 222,
    kMsgDatagramTooLarge = 223,
};

enum : int { kEventError = 1, kEventWarning = 2 };

enum : int { kBoss = 0, kGrunt = 1, kHelper = 2 };

}  // namespace

struct CVornUDPServer::Shared {
    explicit Shared(const char* name) : m_Name(name) {}

    bool IsStopping() {
        CVornLockGuard guard(m_Lock);
        return m_Stopping;
    }
    // REQUIRES: m_Lock.
    int LiveThreads() const { return m_Count[kBoss] + m_Count[kGrunt] + m_Count[kHelper]; }

    CVornLock m_Lock{true};    // the server lock
    const CVornString m_Name;  // copied for threads that outlive the server
    bool m_Stopping = false;
    bool m_Running = false;
    int m_LargestDatagram = 0;
    int m_NextThreadNumber = 0;
    int m_Wanted[3] = {0, 0, 0};
    int m_Count[3] = {0, 0, 0};  // started and not yet ended, per kind
};

struct UDPServerThread {
    CVornUDPServer* m_Server;
    std::shared_ptr<CVornUDPServer::Shared> m_Shared;
    int m_Kind;
    int m_Number;
};

namespace {

// A thread of the record has ended: it no longer counts, and its record goes.
void EndServerThread(UDPServerThread* record) {
    auto shared = record->m_Shared;
    {
        CVornLockGuard guard(shared->m_Lock);
        --shared->m_Count[record->m_Kind];
    }
    delete record;
}

// The body of a thread ended by an exception: report it and start a new
// thread on the same record, unless the server is stopping (then the thread
// would end at once, and the server may already be gone).
void RestartServerThread(UDPServerThread* record) {
    auto shared = record->m_Shared;
    try {
        LogEventStringIntInt(kMsgThreadException, kEventError, shared->m_Name, record->m_Number,
                             record->m_Kind);
    } catch (...) {
    }
    {
        CVornLockGuard guard(shared->m_Lock);
        if (!shared->m_Stopping) {
            if (StartThread(ThreadStartUDPServer, record, 0) == 0)
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

}  // namespace

unsigned ThreadStartUDPServer(void* argument) {
    auto* record = static_cast<UDPServerThread*>(argument);
    if (record == nullptr) {
        // An exception cannot leave a thread function without ending the
        // process: the error is reported and the thread ends.
        LogEvent(kMsgNoThreadRecord, kEventError);
        return 1;
    }
    auto shared = record->m_Shared;
    try {
        // A thread that starts into a stopping server ends before it touches
        // the server, which may be gone when Stop gave up waiting.
        if (!shared->IsStopping()) {
            CVornUDPServer* server = record->m_Server;
            switch (record->m_Kind) {
                case kBoss: {
                    int largest;
                    {
                        CVornLockGuard guard(shared->m_Lock);
                        largest = shared->m_LargestDatagram;
                    }
                    server->runBoss(shared, record->m_Number, largest);
                    break;
                }
                case kGrunt:
                    server->runGrunt(shared, record->m_Number);
                    break;
                default:
                    server->RunHelper(record->m_Number);
                    break;
            }
        }
    } catch (...) {
        RestartServerThread(record);
        return 1;
    }
    EndServerThread(record);
    return 0;
}

CVornUDPServer::CVornUDPServer(const char* name)
    : m_Shared(std::make_shared<Shared>(name)), m_LocalHost(static_cast<const char*>(nullptr), 0) {}

CVornUDPServer::~CVornUDPServer() {
    bool running;
    {
        CVornLockGuard guard(m_Shared->m_Lock);
        running = m_Shared->m_Running || m_Shared->LiveThreads() > 0;
    }
    if (running)
        Stop();
    dropQueue();
}

bool CVornUDPServer::Start(int grunts, int helpers, int largestDatagram,
                           const CVornHostAddress& local) {
    CVornList<CVornHostAddress> locals;
    locals.AddTail(local);
    return Start(grunts, helpers, largestDatagram, locals);
}

bool CVornUDPServer::Start(int grunts, int helpers, int largestDatagram,
                           const CVornList<CVornHostAddress>& locals) {
    int count;
    {
        CVornLockGuard guard(locals.m_Lock);
        count = locals.m_Count;
    }
    // A size outside 1 .. kMaxDatagram would make every datagram too large,
    // or ask for an unbounded receive buffer.
    if (grunts <= 0 || helpers < 0 || count == 0 || largestDatagram < 1 ||
        largestDatagram > kMaxDatagram) {
        LogEventStringInt(kMsgBadStart, kEventError, m_Shared->m_Name, grunts);
        return false;
    }

    {
        CVornLockGuard guard(m_Shared->m_Lock);
        // Threads of an earlier run that Stop gave up on still count: the
        // server is not free to start again until they have ended.
        if (m_Shared->m_Running || m_Shared->LiveThreads() > 0) {
            LogEventString(kMsgAlreadyRunning, kEventError, m_Shared->m_Name);
            return false;
        }
        // Nothing of an earlier run is left, so its stop flag may go.
        m_Shared->m_Stopping = false;
        m_Shared->m_LargestDatagram = largestDatagram;

        bool bound = false;
        {
            CVornUDPSocket candidate;
            CVornLockGuard listGuard(locals.m_Lock);
            for (auto* node = locals.m_Head; node; node = node->m_Next) {
                CVornHostAddress address(node->m_Element);
                if (!candidate.Bind(address))
                    continue;
                if (m_Socket.TakeOver(candidate)) {
                    m_LocalHost = address;
                    bound = true;
                }
                break;
            }
        }
        if (!bound) {
            LogEventString(kMsgNothingBound, kEventError, m_Shared->m_Name);
            return false;
        }

        if (startThreads(kBoss, 1) && startThreads(kGrunt, grunts) &&
            startThreads(kHelper, helpers)) {
            m_Shared->m_Running = true;
            return true;
        }
    }
    // The threads that did start must not outlive the server: stop them
    // (outside the server lock, which they need to end).
    Stop();
    return false;
}

bool CVornUDPServer::startThreads(int kind, int n) {
    Shared& shared = *m_Shared;
    shared.m_Wanted[kind] = n;
    return StartServerThreads<UDPServerThread>(this, m_Shared, kind, n, ThreadStartUDPServer,
                                               kMsgThreadStartFailed);
}

bool CVornUDPServer::Stop() {
    {
        CVornLockGuard guard(m_Shared->m_Lock);
        m_Shared->m_Stopping = true;
    }
    m_Wake.Set();

    bool allEnded = true;
    for (int waited = 0;; ++waited) {
        int live;
        {
            CVornLockGuard guard(m_Shared->m_Lock);
            live = m_Shared->LiveThreads();
        }
        if (live <= 0)
            break;
        if (waited >= m_StopWaitSeconds) {
            // A thread that never comes back from a handler or helper body
            // must not hold the caller (often the process's exit) for ever.
            if (!g_LogSilent) {
                CVornString line;
                CVornString name(m_Shared->m_Name);
                line.Format("Error: UDP server %s: %d threads still running after the stop wait.",
                            name.CStr(), live);
                LogText(kLogError, line.CStr());
            }
            allEnded = false;
            break;
        }
        m_Wake.Set();
        SleepSeconds(1);
    }

    CVornLockGuard guard(m_Shared->m_Lock);
    dropQueue();
    m_Shared->m_Running = false;
    return allEnded;
}

bool CVornUDPServer::IsStopping() {
    return m_Shared->IsStopping();
}

bool CVornUDPServer::TooManyHelpers() {
    CVornLockGuard guard(m_Shared->m_Lock);
    return m_Shared->m_Count[kHelper] > m_Shared->m_Wanted[kHelper];
}

void CVornUDPServer::SetQueueLimit(int n) {
    CVornLockGuard guard(m_Queue.m_Lock);
    m_QueueLimit = n < 1 ? 1 : n;
}

void CVornUDPServer::SetStopWaitSeconds(int n) {
    m_StopWaitSeconds = n < 1 ? 1 : n;
}

int CVornUDPServer::GetDroppedCount() {
    CVornLockGuard guard(m_Queue.m_Lock);
    return m_Dropped;
}

CVornUDPDatagram* CVornUDPServer::takeDatagram() {
    CVornLockGuard guard(m_Queue.m_Lock);
    if (m_Queue.m_Count == 0)
        return nullptr;
    CVornUDPDatagram* datagram = m_Queue.m_Head->m_Element;
    // Removing the head of the singly linked list: drop its node by hand,
    // as the list offers removal at the tail only.
    auto* node = m_Queue.m_Head;
    m_Queue.m_Head = node->m_Next;
    if (m_Queue.m_Tail == node)
        m_Queue.m_Tail = nullptr;
    m_Queue.m_Cursor = nullptr;
    m_Queue.m_Previous = nullptr;
    --m_Queue.m_Count;
    delete node;
    return datagram;
}

void CVornUDPServer::dropQueue() {
    while (CVornUDPDatagram* datagram = takeDatagram()) delete datagram;
}

void CVornUDPServer::runBoss(const std::shared_ptr<Shared>& shared, int threadNumber, int largest) {
    (void)threadNumber;
    // One byte more than the largest accepted size, so that a datagram that
    // is too large shows as one (the socket cuts it at the buffer's size).
    std::unique_ptr<char[]> buffer(new char[largest + 1]);
    CVornHostAddress sender;

    while (!shared->IsStopping()) {
        int n = m_Socket.Receive(buffer.get(), largest + 1, 1, &sender);
        if (n > largest) {
            int heldBack = 0;
            if (m_ReportLimiter.Allow(kMsgDatagramTooLarge, &heldBack)) {
                CVornString text(sender.Format(0));
                AppendHeldBack(text, heldBack);
                LogEventStrInt(kMsgDatagramTooLarge, kEventWarning, text.CStr(), n);
            }
            continue;
        }
        // Only a receive that returned 0 can have timed out; this is how the
        // boss sees the stop flag within a second.
        if (n == 0 && m_Socket.TimedOut())
            continue;
        if (n > 0) {
            queueDatagram(buffer.get(), n, sender);
            continue;
        }
        if (!g_LogSilent) {
            CVornString line("udpserver boss: receive returned ");
            line.AppendInt(n);
            LogText(kLogDebug, line.CStr());
        }
        // A receive that fails at once (a closed socket) would otherwise
        // spin; empty datagrams are simply dropped.
        if (n < 0)
            SleepSeconds(1);
    }
    m_Wake.Set();
}

void CVornUDPServer::queueDatagram(const char* bytes, int n, CVornHostAddress& sender) {
    int dropped = 0;
    {
        CVornLockGuard guard(m_Queue.m_Lock);
        if (m_Queue.m_Count >= m_QueueLimit)
            dropped = ++m_Dropped;
    }
    if (dropped > 0) {
        // A flood would otherwise fill the log as well: the first drop and
        // every thousandth are logged.
        if (!g_LogSilent && (dropped == 1 || dropped % 1000 == 0)) {
            CVornString name(m_Shared->m_Name);
            CVornString line;
            line.Format("udpserver %s: queue full, datagrams dropped: %d", name.CStr(), dropped);
            LogText(kLogWarning, line.CStr());
        }
        return;
    }
    std::unique_ptr<CVornUDPDatagram> datagram(new CVornUDPDatagram);
    datagram->m_Data.Assign(bytes, n);
    datagram->m_Sender = sender;
    // Only the boss adds to the queue, so the count checked above can only
    // have fallen meanwhile.
    m_Queue.AddTail(datagram.get());
    datagram.release();
    m_Wake.Set();
}

bool CVornUDPServer::runGrunt(const std::shared_ptr<Shared>& shared, int threadNumber) {
    // The queue is drained before the first wait: a grunt restarted after a
    // handler threw finds the datagrams queued behind that one, whose
    // wake-ups the thrown grunt had already taken.
    for (;;) {
        if (shared->IsStopping()) {
            m_Wake.Set();  // pass the wake-up on to the next thread
            return false;
        }
        {
            CVornLockGuard guard(shared->m_Lock);
            if (shared->m_Count[kGrunt] > shared->m_Wanted[kGrunt]) {
                m_Wake.Set();  // the wake-up this surplus grunt took
                m_Wake.Set();
                return false;
            }
        }
        for (;;) {
            std::unique_ptr<CVornUDPDatagram> datagram(takeDatagram());
            if (!datagram)
                break;
            HandleDatagram(datagram->m_Data, datagram->m_Sender, threadNumber);
            datagram.reset();
            // Back from the handler into a stopping server: end without
            // touching the server, which Stop may have given up on.
            if (shared->IsStopping())
                return true;
        }
        // Bounded, so that the grunt looks at the flags at least once a second.
        m_Wake.WaitSeconds(1);
    }
}

void CVornUDPServer::RunHelper(int threadNumber) {
    printf("Helper %d is on-line!\n", threadNumber);
    fflush(stdout);
    // Polled each second, so that a stop is seen within a second.
    while (!IsStopping() && !TooManyHelpers()) SleepSeconds(1);
    printf("Helper %d returns.\n", threadNumber);
    fflush(stdout);
}

void CVornUDPServer::HandleDatagram(const CVornString& data, const CVornHostAddress& sender,
                                    int threadNumber) {
    // The bytes come from the network: only printable ones reach the terminal.
    CVornString text(data);
    int length = text.Length();
    char* bytes = text.CStr();
    for (int i = 0; i < length && bytes[i] != '\0'; ++i) {
        if (!isprint(static_cast<unsigned char>(bytes[i])))
            bytes[i] = '?';
    }
    CVornHostAddress from(sender);
    printf("Grunt %d received '%s' from %s\n", threadNumber, bytes, from.Format(0));
    fflush(stdout);
}
