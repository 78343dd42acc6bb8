// Sockets: the thin layer over the system's IPv4 sockets. See sockets.h.
//
//   SocketCreate, SocketClose, SocketShutdownSend, SocketSetReuseAddress,
//   SocketSetReceiveBuffer,
//   SocketBind, SocketListen, SocketAccept, SocketConnect,
//   SocketWaitReadable, SocketSend, SocketSendTo, SocketReceive,
//   SocketReceiveFrom, SocketLocalAddress, SocketPeerAddress, SecureRandom
//
// Bad input: a negative descriptor or a null buffer with a non-zero length
// fails with EBADF or EINVAL; negative time-outs count as 0. Every wait is a
// poll() against a steady-clock deadline, resumed after EINTR with the time
// that remains.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point DeadlineAfter(int timeoutMs) {
    if (timeoutMs < 0)
        timeoutMs = 0;
    return SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
}

int RemainingMs(SteadyClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
                    .count();
    if (left <= 0)
        return 0;
    // Round a fraction of a millisecond up so that the wait never ends early.
    return static_cast<int>(left) + 1;
}

// Polls one descriptor for the events until the deadline. 1 ready, 0 time
// ran out, -1 failure (errno).
int PollUntil(int fd, short events, SteadyClock::time_point deadline) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        pollfd p{};
        p.fd = fd;
        p.events = events;
        int ms = RemainingMs(deadline);
        int r = poll(&p, 1, ms);
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return 1;
        }
        if (r == 0) {
            if (SteadyClock::now() >= deadline)
                return 0;
            continue;
        }
        if (errno != EINTR)
            return -1;
    }
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

void SplitAddress(const sockaddr_in& sa, uint32_t* address, uint16_t* port) {
    if (address)
        *address = sa.sin_addr.s_addr;
    if (port)
        *port = ntohs(sa.sin_port);
}

// Waits until the descriptor is readable, then calls receive() (a
// non-blocking receive returning ssize_t), again after EINTR or a wake-up
// without data, until the deadline. The count, kSocketTimedOut (errno
// ETIMEDOUT) or -1.
template <class Receive>
long ReceiveWithin(int fd, void* buffer, size_t capacity, int timeoutMs, Receive receive) {
    if (buffer == nullptr || capacity == 0) {
        errno = EINVAL;
        return -1;
    }
    auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        int ready = PollUntil(fd, POLLIN, deadline);
        if (ready < 0)
            return -1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return kSocketTimedOut;
        }
        ssize_t n = receive();
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        return -1;
    }
}

// One end of a socket through getsockname or getpeername.
int QueryAddress(int (*query)(int, sockaddr*, socklen_t*), int fd, uint32_t* address,
                 uint16_t* port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (query(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return -1;
    SplitAddress(sa, address, port);
    return 0;
}

bool SetNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted == flags)
        return true;
    return fcntl(fd, F_SETFL, wanted) == 0;
}

}  // namespace

int SocketCreate(SocketType type) {
    int t = type == SocketType::Stream ? SOCK_STREAM : SOCK_DGRAM;
    int proto = type == SocketType::Stream ? IPPROTO_TCP : IPPROTO_UDP;
    return socket(AF_INET, t | SOCK_CLOEXEC, proto);
}

int SocketClose(int fd) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // Linux releases the descriptor even when close reports EINTR; retrying
    // could close a descriptor that another thread has just been given.
    if (close(fd) == 0 || errno == EINTR)
        return 0;
    return -1;
}

int SocketShutdownSend(int fd) {
    return shutdown(fd, SHUT_WR);
}

int SocketSetReuseAddress(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int SocketSetReceiveBuffer(int fd, int bytes) {
    if (bytes < 1) {
        errno = EINVAL;
        return -1;
    }
    // Without privileges the kernel caps the request at net.core.rmem_max and
    // says nothing: what counts is the size it reports back.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        return -1;
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return -1;
    return size;
}

int SocketBind(int fd, uint32_t address, uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    return bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

int SocketListen(int fd, int backlog) {
    if (backlog < 1)
        backlog = 1;
    if (backlog > kMaxListenBacklog)
        backlog = kMaxListenBacklog;
    return listen(fd, backlog);
}

// Connections carry request and reply protocols (SMTP, HTTP) whose callers
// write whole commands or replies: a small last write (an SMTP "." line)
// must not wait for the peer's delayed acknowledgement of the data before
// it. Failing to set it costs only speed.
static void SendWithoutDelay(int fd) {
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int SocketAccept(int fd, int timeoutMs, uint32_t* peerAddress, uint16_t* peerPort) {
    auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        int ready = PollUntil(fd, POLLIN, deadline);
        if (ready < 0)
            return -1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return static_cast<int>(kSocketTimedOut);
        }
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        // Non-blocking accept: the connection that made the listener readable
        // may have been reset (or taken by another thread) before we got to it.
        int nfd = accept4(fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (nfd >= 0) {
            if (!SetNonBlocking(nfd, false)) {
                int e = errno;
                close(nfd);
                errno = e;
                return -1;
            }
            SendWithoutDelay(nfd);
            SplitAddress(sa, peerAddress, peerPort);
            return nfd;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
            if (SteadyClock::now() >= deadline) {
                errno = ETIMEDOUT;
                return static_cast<int>(kSocketTimedOut);
            }
            continue;
        }
        return -1;
    }
}

int SocketConnect(int fd, uint32_t address, uint16_t port, int timeoutMs) {
    auto deadline = DeadlineAfter(timeoutMs);
    if (!SetNonBlocking(fd, true))
        return -1;
    sockaddr_in sa = MakeAddress(address, port);
    int r = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS && errno != EINTR) {
        int e = errno;
        SetNonBlocking(fd, false);
        errno = e;
        return -1;
    }
    if (r != 0) {
        // The handshake goes on in the kernel (also after EINTR); wait for
        // it to finish and read its outcome from SO_ERROR.
        int ready = PollUntil(fd, POLLOUT, deadline);
        if (ready <= 0) {
            int e = ready == 0 ? ETIMEDOUT : errno;
            SetNonBlocking(fd, false);
            errno = e;
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err != 0) {
            SetNonBlocking(fd, false);
            errno = err;
            return -1;
        }
    }
    if (!SetNonBlocking(fd, false))
        return -1;
    SendWithoutDelay(fd);
    return 0;
}

int SocketWaitReadable(int fd, int timeoutMs) {
    return PollUntil(fd, POLLIN, DeadlineAfter(timeoutMs));
}

long SocketSend(int fd, const void* data, size_t length, int timeoutMs) {
    if (length == 0)
        return 0;
    if (data == nullptr) {
        errno = EINVAL;
        return -1;
    }
    auto deadline = DeadlineAfter(timeoutMs);
    const char* p = static_cast<const char*>(data);
    size_t sent = 0;
    while (sent < length) {
        // MSG_DONTWAIT keeps a full send buffer from blocking past the
        // deadline; poll below waits for room instead.
        ssize_t n = send(fd, p + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return sent > 0 ? static_cast<long>(sent) : -1;
        }
        int ready = PollUntil(fd, POLLOUT, deadline);
        if (ready < 0)
            return sent > 0 ? static_cast<long>(sent) : -1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return sent > 0 ? static_cast<long>(sent) : kSocketTimedOut;
        }
    }
    return static_cast<long>(sent);
}

long SocketSendTo(int fd, const void* data, size_t length, uint32_t address, uint16_t port) {
    if (data == nullptr && length != 0) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_in sa = MakeAddress(address, port);
    for (;;) {
        ssize_t n = sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                           sizeof sa);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno != EINTR)
            return -1;
    }
}

long SocketReceive(int fd, void* buffer, size_t capacity, int timeoutMs) {
    return ReceiveWithin(fd, buffer, capacity, timeoutMs,
                         [&] { return recv(fd, buffer, capacity, MSG_DONTWAIT); });
}

long SocketReceiveFrom(int fd, void* buffer, size_t capacity, int timeoutMs, uint32_t* fromAddress,
                       uint16_t* fromPort, bool* truncated) {
    return ReceiveWithin(fd, buffer, capacity, timeoutMs, [&] {
        sockaddr_in sa{};
        iovec iov{buffer, capacity};
        msghdr msg{};
        msg.msg_name = &sa;
        msg.msg_namelen = sizeof sa;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n >= 0) {
            SplitAddress(sa, fromAddress, fromPort);
            if (truncated)
                *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
        }
        return n;
    });
}

int SocketLocalAddress(int fd, uint32_t* address, uint16_t* port) {
    return QueryAddress(getsockname, fd, address, port);
}

int SocketPeerAddress(int fd, uint32_t* address, uint16_t* port) {
    return QueryAddress(getpeername, fd, address, port);
}

bool SecureRandom(void* buffer, size_t length) {
    if (buffer == nullptr && length != 0) {
        errno = EINVAL;
        return false;
    }
    char* p = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < length) {
        ssize_t n = getrandom(p + got, length - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        return false;
    }
    return true;
}

}  // namespace platform

// ---- Datagram sends with a bound (added for the UDP socket)

namespace platform {

long SocketSendToWithin(int fd, const void* data, size_t length, uint32_t address, uint16_t port,
                        int timeoutMs) {
    if (data == nullptr && length != 0) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_in sa = MakeAddress(address, port);
    auto deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        ssize_t n = sendto(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        int ready = PollUntil(fd, POLLOUT, deadline);
        if (ready < 0)
            return -1;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return kSocketTimedOut;
        }
    }
}

}  // namespace platform

// ---- Ending a connection from another thread (added for the TCP server)

namespace platform {

int SocketShutdownBoth(int fd) {
    return shutdown(fd, SHUT_RDWR);
}

}  // namespace platform
