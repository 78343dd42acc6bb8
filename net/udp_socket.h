// CVornUDPSocket: one IPv4 datagram socket. Bind it to a local host address,
// receive one datagram at a time with a bounded wait, send one datagram to
// every address of a destination until a send succeeds, close it, or hand it
// over to another socket object.
//
// Results: failures are reported to the event log (catalogue numbers) and
// returned as false / -1; the socket is created lazily by the first Bind,
// which throws CVornException 193 when the system refuses a socket and 194
// when it cannot close one after every bind failed.
//
// Threads: any thread may call any operation. The operation lock serialises
// Bind, Receive, TimedOut, Close and TakeOver (Receive holds it through its
// wait); Send takes only the state lock, so senders never wait for a
// receiver. Lock order: operation lock, then state lock; in TakeOver this
// socket's locks, then the other's (two sockets must not take each other over
// at the same time). Not copyable.
#pragma once

#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "net/host_address.h"

class CVornUDPSocket {
public:
    // How long one send may wait for room in the socket's send buffer.
    static constexpr int kSendTimeoutMs = 5000;

    // Closed (state 0), timed-out flag clear, a local host without a name.
    CVornUDPSocket();
    // Closes the socket when it is bound.
    virtual ~CVornUDPSocket();
    CVornUDPSocket(const CVornUDPSocket&) = delete;
    CVornUDPSocket& operator=(const CVornUDPSocket&) = delete;

    // Binds to the host's port (0: the system chooses) and the first of its
    // addresses that can be bound; a host without addresses binds 0.0.0.0.
    // True when bound; each address that fails is reported (189). Binding a
    // bound socket again binds the same descriptor once more, which the
    // system refuses: close it first.
    bool Bind(const CVornHostAddress& host);

    // Receives one datagram into buffer (at most size bytes). seconds >= 1
    // waits at most that long for one; seconds < 1 only takes a datagram that
    // is already there. Returns the byte count (a datagram longer than size
    // is cut and counts as size bytes), 0 when nothing came (TimedOut is then
    // true) or for an empty datagram, -1 on bad arguments (197), a closed
    // socket (190) or a failed receive (819). sender (may be null) receives
    // the sender's address and port, without a name.
    int Receive(char* buffer, int size, int seconds, CVornHostAddress* sender);

    // Whether the last Receive ended without data. False for a closed socket (190).
    bool TimedOut();

    // Sends the datagram to the destination's addresses in order (resolving
    // its name when it has none) until one send succeeds; each send waits at
    // most kSendTimeoutMs for buffer room. Returns the count that send
    // reports, or -1: bad arguments (198), a closed socket (190), no address,
    // or every send failed (not logged).
    int Send(const char* data, int length, const CVornHostAddress& destination);
    int SendString(const CVornString& data, const CVornHostAddress& destination);

    // Closes the socket. False for a socket that is not bound (187) or when
    // the system's close fails (the socket counts as closed all the same).
    bool Close();

    // Takes over other's socket, local host and timed-out flag; other is left
    // closed. This socket's own bound socket is closed first; when that close
    // fails nothing is taken and the result is false. Taking over itself
    // changes nothing and returns true.
    bool TakeOver(CVornUDPSocket& other);

    // Asks the system for a receive buffer of bytes, so that a burst of
    // datagrams does not push out the one that matters. Best effort: returns
    // the size the system grants (it may cap the request), or -1 for a socket
    // that is not bound (190) or when the system refuses (not logged).
    int SetReceiveBufferSize(int bytes);

    // The local port the socket is bound to (the one the system chose when
    // it was bound to port 0); 0 when it is not bound.
    unsigned short GetLocalPort();

private:
    bool isBound();
    // Creates the descriptor; throws CVornException 193. REQUIRES: both locks.
    void createSocket(CVornHostAddress& host);
    // Closes the descriptor; 0 or the system's error number. REQUIRES: state lock.
    int closeSocket();
    // seconds < 1: true at once; else whether the socket became readable
    // within that time. REQUIRES: operation lock.
    bool waitReadable(int seconds);

    int m_State = 0;  // 0 closed, 1 bound; guarded by m_StateLock
    CVornHostAddress m_LocalHost;
    CVornLock m_StateLock{true};
    int m_Socket = -1;  // guarded by m_StateLock; meaningful in state 1
    bool m_TimedOut = false;
    CVornLock m_OperationLock{true};
};
