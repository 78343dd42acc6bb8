// The UDP socket: one IPv4 datagram socket of the network library.
//
//   CVornUDPSocket::Bind        bind to the first bindable address of a host
//   CVornUDPSocket::Receive     one datagram, waiting at most the seconds given
//   CVornUDPSocket::TimedOut    did the last receive end without data
//   CVornUDPSocket::Send        one datagram to the first address that takes it
//   CVornUDPSocket::SendString  Send of a string's bytes
//   CVornUDPSocket::Close       close the socket
//   CVornUDPSocket::TakeOver    move another object's socket into this one
//   CVornUDPSocket::GetLocalPort  the bound port
//   CVornUDPSocket::SetReceiveBufferSize  a larger receive buffer (best effort)
//
// Bad input: a null buffer or negative size (197), null data or a negative
// length (198), or any operation on a socket that is not bound (190, 187)
// is reported to the event log and returns -1 or false; nothing is sent or
// received. Only the creation of a socket (193) and a close that fails after
// every bind failed (194) throw.
#include "net/udp_socket.h"

#include <errno.h>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/vorn_exception.h"
#include "platform/sockets.h"

namespace {

enum : int {
    kMsgCloseNotBound = 187,
    kMsgBindFailed = 189,
    kMsgNotBound = 190,
    kMsgCreateFailed = 193,
    kMsgCloseFailed = 194,
    kMsgBadReceive = 197,
    kMsgBadSend = 198,
    kMsgReceiveFailed = 819,
};

enum : int { kEventError = 1 };

// One of the fixed debug-log lines: fmt holds one %s and one %d.
void LogErrorLine(const char* fmt, const char* text, int error) {
    if (g_LogSilent)
        return;
    CVornString line;
    line.Format(fmt, text, error);
    LogText(kLogError, line.CStr());
}

}  // namespace

CVornUDPSocket::CVornUDPSocket() : m_LocalHost(static_cast<const char*>(nullptr), 0) {}

CVornUDPSocket::~CVornUDPSocket() {
    if (isBound())
        Close();
}

bool CVornUDPSocket::isBound() {
    CVornLockGuard state(m_StateLock);
    return m_State != 0;
}

void CVornUDPSocket::createSocket(CVornHostAddress& host) {
    m_Socket = platform::SocketCreate(platform::SocketType::Datagram);
    if (m_Socket < 0) {
        int error = errno;
        throw CVornException(kMsgCreateFailed, host.Format(0), error);
    }
}

int CVornUDPSocket::closeSocket() {
    int result = platform::SocketClose(m_Socket) == 0 ? 0 : errno;
    m_Socket = -1;
    return result;
}

bool CVornUDPSocket::Bind(const CVornHostAddress& hostIn) {
    CVornLockGuard operation(m_OperationLock);
    CVornLockGuard state(m_StateLock);

    CVornHostAddress host(hostIn);
    CVornHostAddressList addresses;
    if (!host.GetAddresses(addresses))
        AppendAddressEntry(addresses, CVornHostAddressEntry(0u));
    unsigned short port = host.GetPort();

    // A bound socket keeps its descriptor: binding it again fails, and then
    // it stays bound as it was rather than losing its descriptor.
    if (m_State == 0)
        createSocket(host);

    CVornLockGuard listGuard(addresses.m_Lock);
    unsigned index = 0;
    for (auto* node = addresses.m_Head; node; node = node->m_Next, ++index) {
        if (platform::SocketBind(m_Socket, node->m_Element.GetAddress(), port) == 0) {
            m_State = 1;
            m_LocalHost = host;
            return true;
        }
        int error = errno;
        LogEventStrInt(kMsgBindFailed, kEventError, host.Format(index), error);
    }

    if (m_State == 0) {
        int error = closeSocket();
        if (error != 0)
            throw CVornException(kMsgCloseFailed, host.Format(0), error);
    }
    return false;
}

bool CVornUDPSocket::waitReadable(int seconds) {
    if (seconds < 1)
        return true;
    int fd;
    {
        CVornLockGuard state(m_StateLock);
        fd = m_Socket;
    }
    int ready = platform::SocketWaitReadable(fd, seconds * 1000);
    if (ready < 0) {
        int error = errno;
        CVornLockGuard state(m_StateLock);
        LogErrorLine("Error: UDP \"select\" to %s failed, error %d.", m_LocalHost.Format(0), error);
    }
    return ready > 0;
}

int CVornUDPSocket::Receive(char* buffer, int size, int seconds, CVornHostAddress* sender) {
    if (buffer == nullptr || size < 0) {
        CVornLockGuard operation(m_OperationLock);
        CVornLockGuard state(m_StateLock);
        LogEventStrInt(kMsgBadReceive, kEventError, m_LocalHost.Format(0), size);
        return -1;
    }
    CVornLockGuard operation(m_OperationLock);
    int fd;
    {
        CVornLockGuard state(m_StateLock);
        if (m_State == 0) {
            LogEventStr(kMsgNotBound, kEventError, m_LocalHost.Format(0));
            return -1;
        }
        fd = m_Socket;
    }
    // Close and TakeOver need the operation lock, which this call holds, so
    // fd stays this socket's descriptor until the call returns.

    m_TimedOut = false;
    if (!waitReadable(seconds)) {
        m_TimedOut = true;
        return 0;
    }
    if (size == 0) {
        // Nothing fits: take the datagram off the socket and keep none of it.
        char discard;
        long n = platform::SocketReceiveFrom(fd, &discard, 1, 0, nullptr, nullptr, nullptr);
        if (n == platform::kSocketTimedOut)
            m_TimedOut = true;
        return 0;
    }

    uint32_t fromAddress = 0;
    uint16_t fromPort = 0;
    bool truncated = false;
    // The wait is over (or was not asked for): take what is there, never block.
    long n = platform::SocketReceiveFrom(fd, buffer, static_cast<size_t>(size), 0, &fromAddress,
                                         &fromPort, &truncated);
    if (n == platform::kSocketTimedOut) {
        m_TimedOut = true;
        return 0;
    }
    if (n < 0) {
        int error = errno;
        CVornLockGuard state(m_StateLock);
        LogEventStrInt(kMsgReceiveFailed, kEventError, m_LocalHost.Format(0), error);
        return -1;
    }
    if (truncated || n > size)
        n = size;
    if (sender) {
        sender->SetAddress(CVornHostAddressEntry(fromAddress));
        sender->SetPort(fromPort);
    }
    return static_cast<int>(n);
}

bool CVornUDPSocket::TimedOut() {
    CVornLockGuard operation(m_OperationLock);
    CVornLockGuard state(m_StateLock);
    if (m_State == 0) {
        LogEventStr(kMsgNotBound, kEventError, m_LocalHost.Format(0));
        return false;
    }
    return m_TimedOut;
}

int CVornUDPSocket::Send(const char* data, int length, const CVornHostAddress& destinationIn) {
    CVornHostAddress destination(destinationIn);
    if (data == nullptr || length < 0) {
        LogEventStrInt(kMsgBadSend, kEventError, destination.Format(0), length);
        return -1;
    }
    if (!isBound()) {
        LogEventStr(kMsgNotBound, kEventError, destination.Format(0));
        return -1;
    }
    // Resolving a name may ask the DNS resolver, whose replies arrive through
    // a socket's Receive: no lock of this socket is held meanwhile.
    CVornHostAddressList addresses;
    if (!destination.GetAddresses(addresses)) {
        if (!g_LogSilent)
            LogFormat(kLogError, "Error: No addresses found for %s.", destination.Format(0));
        return -1;
    }
    unsigned short port = destination.GetPort();

    // The state lock is held through the sends so that the descriptor cannot
    // be closed (and its number reused) under them; each send is bounded.
    CVornLockGuard state(m_StateLock);
    if (m_State == 0) {
        LogEventStr(kMsgNotBound, kEventError, destination.Format(0));
        return -1;
    }
    CVornLockGuard listGuard(addresses.m_Lock);
    for (auto* node = addresses.m_Head; node; node = node->m_Next) {
        long n = platform::SocketSendToWithin(m_Socket, data, static_cast<size_t>(length),
                                              node->m_Element.GetAddress(), port, kSendTimeoutMs);
        if (n >= 0)
            return static_cast<int>(n);
    }
    return -1;
}

int CVornUDPSocket::SendString(const CVornString& data, const CVornHostAddress& destination) {
    CVornString copy(data);
    return Send(copy.CStr(), copy.Length(), destination);
}

bool CVornUDPSocket::Close() {
    CVornLockGuard operation(m_OperationLock);
    CVornLockGuard state(m_StateLock);
    if (m_State == 0) {
        LogEventStr(kMsgCloseNotBound, kEventError, m_LocalHost.Format(0));
        return false;
    }
    m_State = 0;
    int error = closeSocket();
    if (error != 0) {
        LogErrorLine("Error: UDP \"close\" to %s failed, error %d.", m_LocalHost.Format(0), error);
        return false;
    }
    return true;
}

bool CVornUDPSocket::TakeOver(CVornUDPSocket& other) {
    if (&other == this)
        return true;
    CVornLockGuard operation(m_OperationLock);
    CVornLockGuard state(m_StateLock);
    if (m_State != 0) {
        m_State = 0;
        int error = closeSocket();
        if (error != 0) {
            LogErrorLine("Error: UDP \"close\" to %s failed, error %d.", m_LocalHost.Format(0),
                         error);
            return false;
        }
    }
    CVornLockGuard otherOperation(other.m_OperationLock);
    CVornLockGuard otherState(other.m_StateLock);
    m_State = other.m_State;
    m_LocalHost = other.m_LocalHost;
    m_Socket = other.m_Socket;
    m_TimedOut = other.m_TimedOut;
    other.m_State = 0;
    other.m_Socket = -1;
    return true;
}

unsigned short CVornUDPSocket::GetLocalPort() {
    CVornLockGuard state(m_StateLock);
    if (m_State == 0)
        return 0;
    uint16_t port = 0;
    if (platform::SocketLocalAddress(m_Socket, nullptr, &port) != 0)
        return 0;
    return port;
}

int CVornUDPSocket::SetReceiveBufferSize(int bytes) {
    CVornLockGuard state(m_StateLock);
    if (m_State == 0) {
        LogEventStr(kMsgNotBound, kEventError, m_LocalHost.Format(0));
        return -1;
    }
    return platform::SocketSetReceiveBuffer(m_Socket, bytes);
}
