// CVornTCPSocket: one IPv4 stream socket: an outgoing connection (Connect), a
// listener (Listen) or an accepted connection (the target of Accept). It owns
// a receive buffer, so callers read whole lines up to a delimiter
// (ReadUntil) or a number of bytes (Read), waiting in whole seconds.
//
// Failures are reported three ways at once: an event-log message by
// catalogue number (or a debug-log line), the last-error code kept in the
// object (kTcp... below; set by failures, never cleared) and the result.
// Only a socket the system cannot create or close inside Connect or Listen
// throws (CVornException 130 and 135).
//
// Every wait is bounded, on the steady clock (never the library clock):
//   connect   each address gets the connect time-out (30 s by default);
//   receive   a wait of `seconds` (> 0) for each receive; with seconds < 1
//             ("no wait") a receive still gives up after the idle-receive
//             time-out (600 s by default) with kTcpTimedOut;
//   accept    the same rule as receive;
//   line      ReadUntil with a limit also ends the whole call at that limit,
//             however the bytes arrive;
//   send      a whole Write may take the send time-out (120 s by default):
//             a peer that stops reading cannot hold a sender for ever.
// The three time-outs are process-wide; tests lower them.
//
// Bounds: ReadUntil refuses a line longer than kMaxLineLength (last error
// kTcpLineTooLong); Read refuses a count above kMaxReadLength and stops a
// read-to-the-end that passes it (kTcpLineTooLong).
//
// Threads: one recursive lock per object, held for the whole of every
// operation, blocking calls included: while one thread waits in ReadUntil,
// another's Write on the same object waits too. Accept holds the listener's
// lock and then the target's; TakeOver its own and then the source's.
// ShutdownNow alone takes no object lock (it is how another thread ends a
// blocked read or write). Not copyable.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "core/vorn_buffer.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/host_address.h"

// Last-error codes of CVornTCPSocket (GetError).
enum : int {
    kTcpAlreadyListening = 1,  // Connect, Listen on a listening socket
    kTcpAlreadyConnected = 2,  // Connect, Listen, Accept, TakeOver on a connected
                               // socket; or Accept into a target that is not closed
    kTcpNoAddress = 3,         // the host has no address
    kTcpCreateFailed = 4,      // the socket could not be created (exception 130)
    kTcpConnectFailed = 5,     // connect failed for another reason
    kTcpSystemTimedOut = 6,    // the system reported a time-out (ETIMEDOUT)
    kTcpRefused = 7,           // the connection was refused (ECONNREFUSED)
    kTcpNotConnected = 8,      // needs a connected socket (Close, GetLocalAddress: an open one)
    kTcpCloseFailed = 9,       // closing the socket failed
    kTcpBindFailed = 11,       // bind failed for another reason
    kTcpAddressInUse = 12,     // EADDRINUSE
    kTcpInvalidArgument = 13,  // EINVAL from the system
    kTcpListenFailed = 14,     // listen failed
    kTcpAcceptOnClosed = 15,   // Accept on a closed socket
    kTcpTimedOut = 16,         // the wait for data, a connection or room to send ran out
    kTcpAcceptFailed = 17,     // accept failed
    kTcpGetSockNameFailed = 18,
    kTcpGetPeerNameFailed = 19,
    kTcpBadArgument = 20,    // negative count or length, null or empty delimiter, null data
    kTcpReceiveFailed = 21,  // receive failed for another reason
    kTcpReset = 23,          // the peer reset the connection (ECONNRESET)
    kTcpLineTooLong = 24,    // more data than a line or read may hold
};

class CVornTCPSocket {
public:
    // A line read by ReadUntil may hold at most this many bytes, delimiter
    // included.
    static constexpr int kMaxLineLength = 64 * 1024;
    // Read takes at most this many bytes in one call.
    static constexpr int kMaxReadLength = 256 * 1024 * 1024;
    // Backlog asked of the system for a listener (the platform layer lowers it
    // to what the kernel allows).
    static constexpr int kListenBacklog = 10000;

    // Empty buffer, closed, last error 0, host without name and port 0.
    CVornTCPSocket();
    // The same with a copy of host: the end to connect to, or the address to
    // listen on.
    explicit CVornTCPSocket(const CVornHostAddress& host);
    // Closes a socket that is not closed.
    virtual ~CVornTCPSocket();
    CVornTCPSocket(const CVornTCPSocket&) = delete;
    CVornTCPSocket& operator=(const CVornTCPSocket&) = delete;

    // ---- Connections
    // Connects to the host's addresses in turn, each with the connect
    // time-out; an address that fails is logged and the next one tried.
    // True when connected. Throws CVornException 130 (socket not created) or
    // 135 (socket not closed between attempts).
    bool Connect();
    // Connected: shuts the sending side down, then closes; listening: closes.
    // False (warning event 120) on a closed socket.
    bool Close();
    bool IsConnected();
    // The end-of-data flag (the peer closed its side, or SetEOF).
    bool IsEOF();
    bool SetEOF();
    int GetError();
    // The local end (open socket) and the remote end (connected socket).
    bool GetLocalAddress(CVornHostAddress& out);
    bool GetPeerAddress(CVornHostAddress& out);

    // ---- Listening
    // Binds the first of the host's addresses that the system accepts (any
    // address when the host has none) with SO_REUSEADDR, and listens with
    // kListenBacklog. Throws CVornException 130 / 135 as Connect.
    bool Listen();
    // The host becomes a copy of host, then Listen().
    bool Listen(const CVornHostAddress& host);
    // Waits at most seconds (seconds < 1: the idle-receive time-out) for a
    // connection and accepts it into target, which must be closed. The target
    // is then connected and its host is the peer.
    bool Accept(CVornTCPSocket& target, int seconds);
    // Moves other's connection (or listener), unread bytes and host into this
    // object; other is left closed. A listener of this object is closed first.
    // REQUIRES: other is not this object.
    bool TakeOver(CVornTCPSocket& other);

    // ---- Reading
    // count bytes (or, with count 0, everything until the peer closes) into
    // out, whose text is replaced. Returns the length of out (shorter at the
    // end of data or after a time-out; see IsEOF, GetError), or -1.
    int Read(CVornString& out, int count, int seconds);
    // Up to and including the next delimiter into out (replaced). Returns the
    // line's length; at the end of data or after a wait that ran out, the
    // length of the partial line taken (0 when nothing came); -1 on error
    // (also for a line over kMaxLineLength: out then holds its first bytes).
    int ReadUntil(CVornString& out, const char* delimiter, int seconds);
    // The same, with a limit on the whole call as well: each wait is at most
    // seconds (and never past the limit), and once limitMs (steady clock)
    // have passed without a whole line the call ends with the partial line
    // taken and last error kTcpTimedOut, even while bytes keep coming, so a
    // peer that trickles cannot hold the caller. A line already buffered is
    // returned even with limitMs < 1 (which never waits).
    int ReadUntil(CVornString& out, const char* delimiter, int seconds, int limitMs);

    // ---- Writing
    // Sends the bytes (all of them, within the send time-out). Returns the
    // count sent (less than length when the connection failed or the time
    // ran out part way), or -1.
    int Write(const char* data, int length);
    int Write(const CVornString& data);

    // ---- Ending a connection from another thread
    // Shuts both directions of the open handle down at once WITHOUT taking
    // the object lock, so that another thread blocked in Read, ReadUntil or
    // Write on this socket returns promptly: a read sees the end of data, a
    // write fails. The handle stays open until Close or the destructor.
    // Meant for connections (on a listener it ends the listening). Any
    // thread, at any time; a closed socket is left alone. True when an open
    // handle was shut down.
    bool ShutdownNow();

    // ---- Process-wide time-outs, in milliseconds (values < 1 are ignored).
    static void SetConnectTimeoutMs(int ms);
    static int GetConnectTimeoutMs();
    static void SetSendTimeoutMs(int ms);
    static int GetSendTimeoutMs();
    static void SetIdleReceiveTimeoutMs(int ms);
    static int GetIdleReceiveTimeoutMs();
    // Back to 30 s, 120 s and 600 s.
    static void ResetTimeouts();

private:
    enum : int { kClosed = 0, kListening = 1, kConnected = 2 };

    // Stores def as the last error, then replaces it with the mapped code of
    // the system error when it has one. REQUIRES: the lock held.
    void mapSocketError(int def, int systemError);
    // Waits for the handle to become readable: seconds > 0 that long,
    // otherwise the idle-receive time-out. REQUIRES: the lock held.
    bool waitForData(int seconds);
    // The same with the wait given in milliseconds.
    bool waitForDataMs(int ms);
    // Both ReadUntil: limited says whether deadline bounds the whole call.
    // Bytes after the delimiter stay in m_Buffer. REQUIRES: the lock held.
    int readUntil(CVornString& out, const char* delimiter, int seconds, bool limited,
                  std::chrono::steady_clock::time_point deadline);
    // Receives once into buf (the wait already done): the count, 0 at the end
    // of data, -1 with *systemError set. REQUIRES: the lock held.
    long receiveOnce(char* buf, int capacity, int* systemError);
    // Creates the handle, or sets kTcpCreateFailed and throws 130.
    void createHandle();
    // Closes the handle inside Connect/Listen; throws 135 when that fails.
    void closeHandleOrThrow(const char* hostText);
    // Releases and closes the handle and leaves the socket closed; false
    // (debug line, kTcpCloseFailed) when the system refuses. REQUIRES: the
    // lock held.
    bool closeHandle();
    // Writes event (with the host text), stores error as the last error and
    // returns false. REQUIRES: the lock held.
    bool refuse(int event, int eventType, int error);
    // True when connected; otherwise event 126 and kTcpNotConnected.
    // REQUIRES: the lock held.
    bool requireConnected();
    // True when neither connected nor listening; otherwise warning event 124
    // or 121 with its last error. REQUIRES: the lock held.
    bool mayListen();
    // One end of the handle (query is platform::SocketLocalAddress or
    // SocketPeerAddress) into out; on failure the debug line failText and
    // failError. REQUIRES: the lock held.
    bool queryAddress(int (*query)(int, uint32_t*, uint16_t*), const char* failText, int failError,
                      CVornHostAddress& out);
    // The catalogue text of 142 filled with the host and error, at ERROR.
    void logReceiveFailure(int systemError);
    // Debug line "fmt" with the host text and an error number, unless silent.
    void logError(const char* fmt, int systemError);
    int writeBytes(const char* data, int length);
    // Takes the handle out of the object (-1 left behind) for closing, under
    // m_HandleLock, so that ShutdownNow never reaches a number that the
    // system may already have handed to another socket.
    int releaseHandle();

    CVornBuffer m_Buffer;
    bool m_EOF = false;
    int m_State = kClosed;
    int m_LastError = 0;
    CVornHostAddress m_Host;
    // Written under m_Lock; read without it by ShutdownNow, hence atomic.
    std::atomic<int> m_Socket{-1};
    CVornLock m_Lock{true};
    std::mutex m_HandleLock;  // a handle is released for closing under it
};
