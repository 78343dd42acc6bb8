// Sockets: the thin layer through which the network library reaches the
// operating system's IPv4 sockets. Nothing above platform/ includes a socket
// header of the system; it calls these functions.
//
//   SocketCreate          a new IPv4 stream or datagram socket, close-on-exec
//   SocketClose           close a descriptor (never retried after EINTR)
//   SocketShutdownSend    end the sending side of a stream (FIN to the peer)
//   SocketSetReuseAddress allow a listener to bind a port in TIME_WAIT
//   SocketSetReceiveBuffer ask for a larger receive buffer (SO_RCVBUF)
//   SocketBind            bind to an address and port
//   SocketListen          listen with a bounded backlog
//   SocketAccept          accept one connection (close-on-exec, TCP_NODELAY)
//   SocketConnect         connect with a time-out (TCP_NODELAY)
//   SocketWaitReadable    wait, bounded, until a descriptor has data
//   SocketSend            send all bytes (MSG_NOSIGNAL), bounded in time
//   SocketSendTo          send one datagram (MSG_NOSIGNAL)
//   SocketReceive         one receive, bounded in time
//   SocketReceiveFrom     one datagram with its sender, bounded in time
//   SocketLocalAddress    the local end (getsockname)
//   SocketPeerAddress     the remote end (getpeername)
//   SecureRandom          bytes from the kernel's random source (getrandom)
//
// Conventions. Addresses are IPv4, 32 bits in network byte order (0 = any);
// ports are in host byte order. A failing function returns -1 (or false)
// and leaves the system error in errno, which the caller must read before it
// calls anything else that may change it. EINTR is handled here: a call
// interrupted by a signal is resumed, with what remains of its time-out.
// Time-outs are in milliseconds and are measured on the steady clock, never
// on the library clock (which tests may freeze); a time-out < 0 is treated
// as 0 (no wait at all), so that no call of this layer ever waits without
// a bound. A wait that runs out returns kSocketTimedOut where the result is
// a count, with errno set to ETIMEDOUT.
//
// Threads: every function may be called from any thread; descriptors are the
// caller's to share or not.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace platform {

// The result of a receive or send whose wait ran out (errno ETIMEDOUT).
constexpr long kSocketTimedOut = -2;

// The largest backlog SocketListen passes on; larger requests are lowered.
// (The kernel lowers it further to net.core.somaxconn.)
constexpr int kMaxListenBacklog = 4096;

enum class SocketType { Stream, Datagram };

// A new AF_INET socket of the type (TCP or UDP), opened close-on-exec.
// Returns the descriptor, or -1.
int SocketCreate(SocketType type);

// Closes the descriptor. 0, or -1 (errno). After EINTR the descriptor is
// closed anyway on Linux and the call counts as done (0).
int SocketClose(int fd);

// shutdown(SHUT_WR). 0, or -1.
int SocketShutdownSend(int fd);

// SO_REUSEADDR on, so that a restarted listener can bind its port while old
// connections are in TIME_WAIT. 0, or -1.
int SocketSetReuseAddress(int fd);

// Asks for a receive buffer of bytes (SO_RCVBUF; the kernel may grant less,
// and counts its own overhead in). Returns the size the kernel then reports,
// or -1 (errno; bytes < 1 gives EINVAL).
int SocketSetReceiveBuffer(int fd, int bytes);

// Binds the socket to address (network order) and port (host order).
// 0, or -1 (EADDRINUSE, EINVAL, EADDRNOTAVAIL, ...).
int SocketBind(int fd, uint32_t address, uint16_t port);

// listen() with min(backlog, kMaxListenBacklog); a backlog < 1 becomes 1.
// 0, or -1.
int SocketListen(int fd, int backlog);

// Accepts one connection (accept4 with SOCK_CLOEXEC), waiting at most
// timeoutMs for one to arrive. Returns the new descriptor, -1 on failure, or
// kSocketTimedOut when none came in time. peerAddress and peerPort (either
// may be null) receive the remote end.
int SocketAccept(int fd, int timeoutMs, uint32_t* peerAddress, uint16_t* peerPort);

// Connects a stream socket to address:port, waiting at most timeoutMs for
// the handshake. 0 when connected; -1 on failure with errno (ECONNREFUSED,
// ETIMEDOUT when the wait ran out, ENETUNREACH, ...). The socket stays in
// blocking mode afterwards. After a failure the socket is unusable: close it.
int SocketConnect(int fd, uint32_t address, uint16_t port, int timeoutMs);

// Waits at most timeoutMs until the descriptor is readable (data, end of
// data, an error or a pending connection). 1 readable, 0 the time ran out,
// -1 the wait failed (errno).
int SocketWaitReadable(int fd, int timeoutMs);

// Sends all length bytes, looping over partial sends, with MSG_NOSIGNAL (a
// closed peer gives EPIPE, never SIGPIPE). The whole send may take at most
// timeoutMs: a peer that stops reading cannot hold the caller for longer.
// Returns length when all went; otherwise errno is set and the result is the
// count that went before the failure, or -1 (failure) / kSocketTimedOut (time
// ran out) when nothing went. length 0 returns 0 at once.
long SocketSend(int fd, const void* data, size_t length, int timeoutMs);

// Sends one datagram to address:port with MSG_NOSIGNAL. The count sent, or -1.
long SocketSendTo(int fd, const void* data, size_t length, uint32_t address, uint16_t port);

// Waits at most timeoutMs for data, then receives at most capacity bytes.
// The count (> 0), 0 at the end of data, -1 on failure (errno; ECONNRESET
// when the peer reset), or kSocketTimedOut.
long SocketReceive(int fd, void* buffer, size_t capacity, int timeoutMs);

// As SocketReceive for a datagram socket; fromAddress and fromPort (either
// may be null) receive the sender. A datagram longer than capacity is cut to
// capacity (the rest is dropped by the kernel) and *truncated (may be null)
// is set.
long SocketReceiveFrom(int fd, void* buffer, size_t capacity, int timeoutMs, uint32_t* fromAddress,
                       uint16_t* fromPort, bool* truncated);

// The local and remote ends of a socket. 0, or -1. Either out may be null.
int SocketLocalAddress(int fd, uint32_t* address, uint16_t* port);
int SocketPeerAddress(int fd, uint32_t* address, uint16_t* port);

// Fills buffer with length bytes from getrandom (blocking only until the
// kernel's pool is first initialised). False when the kernel fails.
bool SecureRandom(void* buffer, size_t length);

}  // namespace platform

// ---- Datagram sends with a bound (added for the UDP socket)

namespace platform {

// Sends one datagram to address:port with MSG_NOSIGNAL, waiting at most
// timeoutMs for room in the socket's send buffer (a plain sendto on a
// blocking socket could wait without limit). The count sent, -1 on failure
// (errno), or kSocketTimedOut when no room came in time.
long SocketSendToWithin(int fd, const void* data, size_t length, uint32_t address, uint16_t port,
                        int timeoutMs);

}  // namespace platform

// ---- Ending a connection from another thread (added for the TCP server)

namespace platform {

// shutdown(SHUT_RDWR): both directions end at once, so that a thread blocked
// in a wait, receive or send on the descriptor returns promptly (a receive
// sees the end of data, a send fails). The descriptor stays open. 0, or -1.
int SocketShutdownBoth(int fd);

}  // namespace platform
