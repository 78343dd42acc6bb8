// CVornTCPServer: the library's multi-threaded TCP server. One acceptor
// thread accepts connections on the listener (with a 1-s wait, so that it
// sees the stop flag) and queues them; connection-worker threads take them
// one at a time and hand each to ProcessJob; helper threads each run
// RunHelper for work that is not tied to a connection. A derived server
// overrides the two virtual operations (slot 1 RunHelper, slot 2
// ProcessJob, after the destructor in slot 0).
//
// Ownership: a queued connection belongs to the queue, then to the worker
// that takes it, which deletes it (closing it) once ProcessJob returns;
// ProcessJob must neither delete nor keep it.
//
// Bounds:
//   queue   at most the queue limit (kDefaultQueueLimit unless SetQueueLimit
//           said otherwise) accepted connections wait for a worker; one
//           more is closed at once and reported in the debug log;
//   address one client address holds at most its cap of the workers at once
//           (SetAddressCap; by default a quarter of the wanted workers, at
//           least one), so that a few slow or silent clients from one place
//           cannot shut everyone else out. Its further connections wait in
//           the queue without a worker while workers serve other addresses
//           first; at most a quarter of the queue (or the cap, when that is
//           more) waits for one address, and one more is closed at once and
//           reported in the debug log;
//   stop    Stop shuts down every connection being served, so that workers
//           blocked in a read or write return promptly, then waits in steps
//           of at most 1 s for every thread to end, for at most the stop wait
//           (kDefaultStopWaitSeconds unless SetStopWaitSeconds said
//           otherwise), and reports it when some thread is still running.
// A thread that ends by an exception is reported (154) and restarted under
// the same number, unless the server is stopping.
//
// Threads: any thread but the server's own may call Stop (it waits for them);
// the rest may be called from any thread. ProcessJob and RunHelper run with no
// lock of the framework held. Locks: the server lock (flags, counts,
// numbering, the listener swap), the queue's lock (pending connections and
// those being served), each socket's own lock; the server lock is never
// taken while the queue's is held, nor the queue's under the server lock.
// Not copyable.
//
// REQUIRES of a derived class: its destructor calls Stop, so that no thread
// of the server calls into a half-destroyed object. Should Stop give up
// waiting (a ProcessJob or RunHelper that never returns), a thread that later
// comes back ends without touching the server again.
#pragma once

#include <atomic>
#include <memory>

#include "core/vorn_list.h"
#include "core/vorn_string.h"
#include "net/host_address.h"
#include "net/tcp_socket.h"

// The argument of every server thread (defined with the server's code).
struct TCPServerThread;

// The thread function of every server thread; the argument is the thread's
// TCPServerThread record, which the thread owns. Never lets an exception out.
unsigned ThreadStartTCPServer(void* record);

class CVornTCPServer {
public:
    // Thread kinds, as GetThreadCount and the event messages number them.
    enum : int { kAcceptor = 0, kConnectionWorker = 1, kHelper = 2 };
    // Accepted connections that may wait for a worker unless SetQueueLimit
    // says otherwise. One more is accepted and closed at once, so that a
    // connection flood costs no memory; its peer may come back later.
    static constexpr int kDefaultQueueLimit = 256;
    // How long Stop waits for the threads, unless SetStopWaitSeconds says
    // otherwise.
    static constexpr int kDefaultStopWaitSeconds = 60;
    // One client address may hold this part of the workers (and of the
    // queue) unless SetAddressCap says otherwise: 4 is a quarter.
    static constexpr int kDefaultAddressShare = 4;

    // name (null: empty) names the server in its messages.
    explicit CVornTCPServer(const char* name);
    // Stops the server when it runs (see the class comment: a derived class
    // must have stopped it already), then closes the listener.
    virtual ~CVornTCPServer();
    CVornTCPServer(const CVornTCPServer&) = delete;
    CVornTCPServer& operator=(const CVornTCPServer&) = delete;

    // Listens on the first address of the list that can be listened on and
    // starts one acceptor, the connection workers and the helpers. False:
    // workers < 1, helpers < 0 or no address (148); already running, or
    // stopped (150: a stopped server cannot be started again); nothing
    // listens (153); a thread could not start (155; the threads already
    // started keep running, and Start may be called again to add the rest).
    // Throws CVornException 130 when the system gives no socket.
    bool Start(int workers, int helpers, const CVornHostAddress& address);
    bool Start(int workers, int helpers, const CVornList<CVornHostAddress>& addresses);

    // Sets the stop flag (for good), wakes the threads, shuts down the
    // connections being served and waits, in steps of at most 1 s, until
    // every thread of the server has ended; then closes the connections
    // still queued, unserved. True when all ended; false when some thread was
    // still running after the stop wait (reported in the debug log). The
    // listener stays open until the server is destroyed.
    // REQUIRES: not called from a thread of this server.
    bool Stop();

    // Moves the listener to another address or port while the server runs:
    // listens on the new address first; false (the old listener stays) when
    // that fails. The acceptor's next accept uses the new listener. Throws
    // CVornException 130 when the system gives no socket.
    bool Listen(const CVornHostAddress& address);

    // The wanted numbers of connection workers and helpers. A higher number
    // starts the missing threads at once (with the next thread numbers); a
    // lower one lets surplus threads end themselves (workers when woken,
    // helpers at their next TooManyHelpers). False when a thread could not
    // start (155), or for workers < 1 or helpers < 0 (nothing changes).
    bool SetConnectionWorkers(int n);
    bool SetHelperThreads(int n);

    // True when more helpers run than are wanted. Asked by a helper thread of
    // this server, a true answer also counts that helper out at once (so two
    // helpers asking together never both end for a surplus of one) and stays
    // true for it: the helper body must then return.
    bool TooManyHelpers();
    // The wanted number of helper threads.
    int GetHelperThreadCount();
    // Threads of the kind (kAcceptor, kConnectionWorker, kHelper) that have
    // been started and not yet ended; -1 for another kind.
    int GetThreadCount(int kind);
    // The stop flag. Every loop of the framework and of derived servers
    // polls it.
    bool IsStopping();
    void GetName(CVornString& out);
    // The server's own host as the outside world sees it: the machine's
    // short name, its full name as canonical name, the listener's port and
    // addresses (the machine's addresses when it listens on every one).
    void GetLocalHost(CVornHostAddress& out);

    // How many accepted connections may wait for a worker; n < 1 counts as
    // 1. Any time.
    void SetQueueLimit(int n);
    // The longest Stop waits for the threads, in seconds; n < 1 counts as 1.
    // Any time.
    void SetStopWaitSeconds(int n);
    // How many workers one client address may hold at once; n < 1 gives the
    // default back (a quarter of the wanted workers, at least 1, following
    // SetConnectionWorkers). A server loaded from one address on purpose (a
    // benchmark) raises it. Any time; connections served already stay.
    void SetAddressCap(int n);
    // The cap in force now.
    int GetAddressCap();

    // Slot 1: the body of every helper thread. Default: sleeps 5 s at a time
    // until IsStopping or TooManyHelpers is true. An override must poll both
    // the same way and return when either is true.
    virtual void RunHelper(int threadNumber);
    // Slot 2: serves one accepted connection on a worker thread. Default: a
    // line echo: each line read is written back after the thread number and
    // ": ", until the connection ends, a write fails or the server stops.
    // An override may throw: the connection is then closed and the worker is
    // restarted.
    virtual void ProcessJob(CVornTCPSocket* connection, int threadNumber);

    // The state the server shares with its threads (lock, flags, counts,
    // listener, queue, events), defined with the server's code and of no use
    // outside it. Threads keep it alive, so a thread that outlives a Stop
    // that gave up can still end cleanly.
    struct Shared;

private:
    friend struct TCPServerThread;
    friend unsigned ThreadStartTCPServer(void* record);

    // REQUIRES: the server lock. Sets wanted[kind] = n and starts threads of
    // the kind until n run.
    bool startThreads(int kind, int n);
    // The loops of the acceptor and of a connection worker. A surplus worker
    // counts itself out (self's m_CountedOut); a worker back from ProcessJob
    // into a stopping server touches only the shared state.
    void runAcceptor(const std::shared_ptr<Shared>& shared, int threadNumber);
    void runWorker(const std::shared_ptr<Shared>& shared, TCPServerThread* self);

    std::shared_ptr<Shared> m_Shared;
};
