// CVornUDPServer: a small multi-threaded datagram server. One boss thread
// receives datagrams on the server's socket and queues them; grunt threads
// take them off the queue and pass each to HandleDatagram; helper threads
// each run RunHelper for periodic work. A derived server overrides the two
// virtual operations.
//
// Bounds: a datagram larger than the largest accepted size is dropped and
// reported (223: at most once a minute of the library clock, with the count
// held back since, as anyone can send such datagrams); the queue between the
// boss and the grunts holds at most the queue limit (kDefaultQueueLimit
// unless SetQueueLimit changed it), and a datagram that finds it full is
// dropped and counted (GetDroppedCount).
// Every wait of the framework is bounded: the boss receives with a 1-s wait,
// grunts wake at least once a second, and Stop waits for the threads in 1-s
// steps for at most the stop wait (kDefaultStopWaitSeconds unless
// SetStopWaitSeconds changed it).
//
// A thread that ends by an exception is reported (221) and restarted under
// the same thread number (unless the server is stopping).
//
// Threads: any thread may call Start, Stop, IsStopping and TooManyHelpers;
// HandleDatagram may run on several grunts at once and is called with no
// lock of the framework held. Lock order: the server lock, then the queue's
// lock. Not copyable.
//
// REQUIRES of a derived class: its destructor calls Stop, so that no thread
// of the server calls into a half-destroyed object. Should Stop give up
// waiting (a handler that never returns), a thread that later comes back
// from HandleDatagram or RunHelper ends without touching the server again.
#pragma once

#include <atomic>
#include <memory>

#include "core/vorn_event.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/host_address.h"
#include "net/udp_report_limiter.h"
#include "net/udp_socket.h"

// One received datagram: its bytes (which may contain NULs) and its sender
// (IPv4 address and port, no name). Created by the boss, owned by the queue,
// then by the grunt that takes it, which deletes it after the handler.
struct CVornUDPDatagram {
    CVornString m_Data;
    CVornHostAddress m_Sender;
};

// The argument of every server thread (defined with the server's code).
struct UDPServerThread;

// The thread function of every server thread; the argument is the thread's
// UDPServerThread record, which the thread owns. Never lets an exception out.
unsigned ThreadStartUDPServer(void* record);

class CVornUDPServer {
public:
    // The largest datagram a server may be asked to accept (the largest UDP
    // payload over IPv4).
    static constexpr int kMaxDatagram = 65507;
    // Datagrams that may wait in the queue unless SetQueueLimit says otherwise.
    static constexpr int kDefaultQueueLimit = 1000;
    // How long Stop waits, in 1-s steps, for the threads to end, unless
    // SetStopWaitSeconds says otherwise.
    static constexpr int kDefaultStopWaitSeconds = 30;

    // name (null: empty) names the server in its messages.
    explicit CVornUDPServer(const char* name);
    // Stops the server when it runs (see the class comment: a derived class
    // must have stopped it already).
    virtual ~CVornUDPServer();
    CVornUDPServer(const CVornUDPServer&) = delete;
    CVornUDPServer& operator=(const CVornUDPServer&) = delete;

    // Binds the socket to the first address of the list that can be bound
    // and starts one boss, the grunts and the helpers. False: bad arguments
    // (216: grunts <= 0, helpers < 0, no address, or a largest datagram
    // outside 1 .. kMaxDatagram), already running (217), nothing bound (218),
    // or a thread could not start (219; the threads already started are then
    // stopped again). A server whose Stop has finished may be started again.
    // Throws CVornException 193 when the system gives no socket.
    bool Start(int grunts, int helpers, int largestDatagram,
               const CVornList<CVornHostAddress>& locals);
    bool Start(int grunts, int helpers, int largestDatagram, const CVornHostAddress& local);

    // Sets the stop flag, wakes the threads and waits, in 1-s steps, until
    // every thread of the server has ended; then deletes the queued
    // datagrams. True when all ended; false when some thread was still
    // running after the stop wait (reported in the debug log). The socket
    // stays bound until the server is destroyed or started again.
    bool Stop();

    // The stop flag. Every loop of the framework and of derived servers
    // polls it.
    bool IsStopping();
    // True when more helper threads run than are wanted; a helper body then
    // returns.
    bool TooManyHelpers();

    // Body of every helper thread. Default: announces itself on standard
    // output and polls IsStopping and TooManyHelpers each second until one
    // is true. An override must poll both the same way and return.
    virtual void RunHelper(int threadNumber);
    // Called on a grunt thread for every datagram. Default: prints the
    // datagram and its sender on standard output. An override may throw: the
    // datagram is then dropped and the grunt is restarted.
    virtual void HandleDatagram(const CVornString& data, const CVornHostAddress& sender,
                                int threadNumber);

    // The server's socket, for sending through the bound port (replies go to
    // the boss). Owned by the server.
    CVornUDPSocket& GetSocket() { return m_Socket; }

    // How many datagrams may wait for a grunt; n < 1 counts as 1. Any time.
    void SetQueueLimit(int n);
    // Datagrams dropped because the queue was full, since construction.
    int GetDroppedCount();
    // The longest Stop waits for the threads, in seconds; n < 1 counts as 1.
    // For servers whose handlers may take long. Any time.
    void SetStopWaitSeconds(int n);

private:
    // The state the server shares with its threads (lock, flags, counts,
    // numbering). Threads keep it alive, so a thread that outlives a Stop
    // that gave up can still end cleanly.
    struct Shared;
    friend struct UDPServerThread;
    friend unsigned ThreadStartUDPServer(void* record);

    // REQUIRES: the server lock. Starts threads of kind until n run.
    bool startThreads(int kind, int n);
    // The thread bodies. runGrunt returns true when it came back from the
    // handler into a stopping server: it then has not touched the server since.
    void runBoss(const std::shared_ptr<Shared>& shared, int threadNumber, int largest);
    bool runGrunt(const std::shared_ptr<Shared>& shared, int threadNumber);
    // Queues a copy of the datagram and wakes a grunt; drops it (counted)
    // when the queue is full. Called by the boss only.
    void queueDatagram(const char* bytes, int n, CVornHostAddress& sender);
    // The head of the queue, or null. The caller owns the datagram.
    CVornUDPDatagram* takeDatagram();
    // Deletes every queued datagram.
    void dropQueue();

    std::shared_ptr<Shared> m_Shared;
    CVornHostAddress m_LocalHost;  // the address Start bound; under the server lock
    CVornUDPSocket m_Socket;
    CVornList<CVornUDPDatagram*> m_Queue;   // owns the datagrams; its own lock
    int m_QueueLimit = kDefaultQueueLimit;  // under m_Queue.m_Lock
    int m_Dropped = 0;                      // under m_Queue.m_Lock
    std::atomic<int> m_StopWaitSeconds{kDefaultStopWaitSeconds};
    CVornEvent m_Wake;                   // auto-reset: once per queued datagram, and at stop
    CVornReportLimiter m_ReportLimiter;  // the boss's reports of oversized datagrams
};
