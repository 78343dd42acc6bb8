// CVornTCPSocket: an IPv4 stream socket with a receive buffer. See
// tcp_socket.h for the contract.
//
//   Connect, Close, IsConnected, IsEOF, SetEOF, GetError   connections
//   GetLocalAddress, GetPeerAddress                        the two ends
//   Listen, Accept, TakeOver                               listening
//   Read, ReadUntil                                        reading (bounded)
//   Write                                                  sending (bounded)
//   ShutdownNow                                            end a connection from another thread
//   Set/Get...TimeoutMs, ResetTimeouts                     process-wide limits
//
// Bad input (negative counts and lengths, null data, a null or empty
// delimiter) and misuse (reading a closed socket, listening on a connected
// one) give an event, the last error and a false / -1 result; nothing is
// thrown except when the system cannot create or close a socket inside
// Connect or Listen (CVornException 130 / 135, last error 4 for creation).
#include "net/tcp_socket.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/message_catalog.h"
#include "core/vorn_exception.h"
#include "platform/sockets.h"

namespace {

constexpr int kDefaultConnectTimeoutMs = 30 * 1000;
constexpr int kDefaultSendTimeoutMs = 120 * 1000;
constexpr int kDefaultIdleReceiveTimeoutMs = 600 * 1000;

std::atomic<int> g_ConnectTimeoutMs{kDefaultConnectTimeoutMs};
std::atomic<int> g_SendTimeoutMs{kDefaultSendTimeoutMs};
std::atomic<int> g_IdleReceiveTimeoutMs{kDefaultIdleReceiveTimeoutMs};

// Receives go through a stack buffer of this size.
constexpr int kReceiveChunk = 4064;

enum : int { kEventTypeError = 1, kEventTypeWarning = 2 };

// The wait of an operation given in seconds: seconds > 0 that long, else the
// idle-receive limit (so "no wait" is never "for ever").
int WaitMs(int seconds) {
    if (seconds > 0) {
        // Large values are capped rather than overflowing: a day is plenty.
        if (seconds > 24 * 3600)
            seconds = 24 * 3600;
        return seconds * 1000;
    }
    return g_IdleReceiveTimeoutMs.load();
}

// A copy of the host's addresses (resolving a name first). Empty when the
// host has none.
std::vector<uint32_t> AddressesOf(CVornHostAddress& host) {
    std::vector<uint32_t> out;
    CVornHostAddressList list;
    if (!host.GetAddresses(list))
        return out;
    CVornLockGuard guard(list.m_Lock);
    for (auto* node = list.m_Head; node; node = node->m_Next)
        out.push_back(node->m_Element.GetAddress());
    return out;
}

}  // namespace

// ---- Process-wide time-outs

void CVornTCPSocket::SetConnectTimeoutMs(int ms) {
    if (ms > 0)
        g_ConnectTimeoutMs = ms;
}
int CVornTCPSocket::GetConnectTimeoutMs() {
    return g_ConnectTimeoutMs;
}
void CVornTCPSocket::SetSendTimeoutMs(int ms) {
    if (ms > 0)
        g_SendTimeoutMs = ms;
}
int CVornTCPSocket::GetSendTimeoutMs() {
    return g_SendTimeoutMs;
}
void CVornTCPSocket::SetIdleReceiveTimeoutMs(int ms) {
    if (ms > 0)
        g_IdleReceiveTimeoutMs = ms;
}
int CVornTCPSocket::GetIdleReceiveTimeoutMs() {
    return g_IdleReceiveTimeoutMs;
}
void CVornTCPSocket::ResetTimeouts() {
    g_ConnectTimeoutMs = kDefaultConnectTimeoutMs;
    g_SendTimeoutMs = kDefaultSendTimeoutMs;
    g_IdleReceiveTimeoutMs = kDefaultIdleReceiveTimeoutMs;
}

// ---- Construction

CVornTCPSocket::CVornTCPSocket() : m_Host(nullptr, 0) {}

CVornTCPSocket::CVornTCPSocket(const CVornHostAddress& host) : m_Host(host) {}

CVornTCPSocket::~CVornTCPSocket() {
    CVornLockGuard guard(m_Lock);
    if (m_State != kClosed)
        Close();
}

// ---- Private helpers

void CVornTCPSocket::mapSocketError(int def, int systemError) {
    m_LastError = def;
    switch (systemError) {
        case EINVAL:
            m_LastError = kTcpInvalidArgument;
            break;
        case EADDRINUSE:
            m_LastError = kTcpAddressInUse;
            break;
        case ECONNRESET:
            m_LastError = kTcpReset;
            break;
        case ETIMEDOUT:
            m_LastError = kTcpSystemTimedOut;
            break;
        case ECONNREFUSED:
            m_LastError = kTcpRefused;
            break;
        default:
            break;
    }
}

void CVornTCPSocket::logError(const char* fmt, int systemError) {
    if (g_LogSilent)
        return;
    CVornString line(CVornString::kUnlocked);
    line.Format(fmt, m_Host.Format(0), systemError);
    LogText(kLogError, line.CStr());
}

void CVornTCPSocket::logReceiveFailure(int systemError) {
    if (g_LogSilent)
        return;
    CVornMessageCatalog catalog;
    const char* fmt = catalog.GetText(142);
    // Without a catalogue the failure still leaves a readable line.
    if (fmt == nullptr)
        fmt = "Error: TCP \"recv\" from %s failed, error %d.";
    CVornString line(CVornString::kUnlocked);
    line.Format(fmt, m_Host.Format(0), systemError);
    LogText(kLogError, line.CStr());
}

bool CVornTCPSocket::waitForData(int seconds) {
    return waitForDataMs(WaitMs(seconds));
}

bool CVornTCPSocket::waitForDataMs(int ms) {
    int r = platform::SocketWaitReadable(m_Socket, ms);
    if (r < 0) {
        logError("Error: TCP \"select\" to %s failed, error %d.", errno);
        return false;
    }
    return r > 0;
}

long CVornTCPSocket::receiveOnce(char* buf, int capacity, int* systemError) {
    // The wait is done: the handle is readable, so this does not block.
    long n = platform::SocketReceive(m_Socket, buf, static_cast<size_t>(capacity), 0);
    if (n == platform::kSocketTimedOut) {
        // Readable a moment ago but nothing now (a spurious wake-up): report
        // it as a time-out rather than as the end of data.
        *systemError = ETIMEDOUT;
        return -2;
    }
    if (n < 0)
        *systemError = errno;
    return n;
}

int CVornTCPSocket::releaseHandle() {
    std::lock_guard<std::mutex> hold(m_HandleLock);
    return m_Socket.exchange(-1);
}

void CVornTCPSocket::createHandle() {
    m_Socket = platform::SocketCreate(platform::SocketType::Stream);
    if (m_Socket < 0) {
        int e = errno;
        m_LastError = kTcpCreateFailed;
        throw CVornException(130, m_Host.Format(0), e);
    }
}

void CVornTCPSocket::closeHandleOrThrow(const char* hostText) {
    int fd = releaseHandle();
    if (platform::SocketClose(fd) != 0)
        throw CVornException(135, hostText, errno);
}

bool CVornTCPSocket::closeHandle() {
    int fd = releaseHandle();
    m_State = kClosed;
    if (platform::SocketClose(fd) != 0) {
        logError("Error: TCP \"close\" to %s failed, error %d.", errno);
        m_LastError = kTcpCloseFailed;
        return false;
    }
    return true;
}

bool CVornTCPSocket::refuse(int event, int eventType, int error) {
    LogEventStr(event, eventType, m_Host.Format(0));
    m_LastError = error;
    return false;
}

bool CVornTCPSocket::requireConnected() {
    return m_State == kConnected || refuse(126, kEventTypeError, kTcpNotConnected);
}

bool CVornTCPSocket::mayListen() {
    if (m_State == kConnected)
        return refuse(124, kEventTypeWarning, kTcpAlreadyConnected);
    if (m_State == kListening)
        return refuse(121, kEventTypeWarning, kTcpAlreadyListening);
    return true;
}

bool CVornTCPSocket::queryAddress(int (*query)(int, uint32_t*, uint16_t*), const char* failText,
                                  int failError, CVornHostAddress& out) {
    uint32_t address = 0;
    uint16_t port = 0;
    if (query(m_Socket, &address, &port) != 0) {
        logError(failText, errno);
        m_LastError = failError;
        return false;
    }
    out.SetAddress(CVornHostAddressEntry(address));
    out.SetPort(port);
    return true;
}

// ---- Connections

bool CVornTCPSocket::Connect() {
    CVornLockGuard guard(m_Lock);
    if (m_State == kConnected)
        return refuse(122, kEventTypeError, kTcpAlreadyConnected);
    if (m_State == kListening)
        return refuse(123, kEventTypeError, kTcpAlreadyListening);
    std::vector<uint32_t> addresses = AddressesOf(m_Host);
    if (addresses.empty()) {
        if (!g_LogSilent)
            LogFormat(kLogWarning, "Warning: No addresses found for %s.", m_Host.Format(0));
        m_LastError = kTcpNoAddress;
        return false;
    }
    createHandle();
    unsigned short port = m_Host.GetPort();
    bool connected = false;
    for (unsigned i = 0; i < addresses.size(); ++i) {
        if (platform::SocketConnect(m_Socket, addresses[i], port, g_ConnectTimeoutMs) == 0) {
            if (!g_LogSilent)
                LogFormat(kLogDebug, "Connected to %s", m_Host.Format(i));
            m_State = kConnected;
            connected = true;
            break;
        }
        int e = errno;
        mapSocketError(kTcpConnectFailed, e);
        if (!g_LogSilent) {
            CVornString line(CVornString::kUnlocked);
            line.Format("Error: TCP \"connect\" to %s failed, error %d.", m_Host.Format(i), e);
            LogText(kLogError, line.CStr());
        }
        // A socket whose connect failed cannot be used again: start afresh
        // for the next address.
        closeHandleOrThrow(m_Host.Format(i));
        if (i + 1 < addresses.size())
            createHandle();
    }
    m_EOF = false;
    if (!connected)
        return false;
    // Bytes left unread from an earlier connection of this object must not
    // be taken for the new peer's data.
    m_Buffer.Clear();
    return true;
}

bool CVornTCPSocket::Close() {
    CVornLockGuard guard(m_Lock);
    if (m_State == kClosed)
        return refuse(120, kEventTypeWarning, kTcpNotConnected);
    if (m_State == kConnected)
        platform::SocketShutdownSend(m_Socket);
    return closeHandle();
}

bool CVornTCPSocket::IsConnected() {
    CVornLockGuard guard(m_Lock);
    return m_State == kConnected;
}

bool CVornTCPSocket::IsEOF() {
    CVornLockGuard guard(m_Lock);
    if (!requireConnected())
        return false;
    return m_EOF;
}

bool CVornTCPSocket::SetEOF() {
    CVornLockGuard guard(m_Lock);
    if (!requireConnected())
        return false;
    m_EOF = true;
    return true;
}

int CVornTCPSocket::GetError() {
    CVornLockGuard guard(m_Lock);
    return m_LastError;
}

bool CVornTCPSocket::GetLocalAddress(CVornHostAddress& out) {
    CVornLockGuard guard(m_Lock);
    if (m_State == kClosed)
        return refuse(125, kEventTypeError, kTcpNotConnected);
    return queryAddress(platform::SocketLocalAddress,
                        "Error: TCP \"getsockname\" to %s failed, error %d.", kTcpGetSockNameFailed,
                        out);
}

bool CVornTCPSocket::GetPeerAddress(CVornHostAddress& out) {
    CVornLockGuard guard(m_Lock);
    if (!requireConnected())
        return false;
    return queryAddress(platform::SocketPeerAddress,
                        "Error: TCP \"getpeername\" to %s failed, error %d.", kTcpGetPeerNameFailed,
                        out);
}

// ---- Listening

bool CVornTCPSocket::Listen() {
    CVornLockGuard guard(m_Lock);
    if (!mayListen())
        return false;
    std::vector<uint32_t> addresses = AddressesOf(m_Host);
    // A name that resolves to nothing listens on every local interface.
    if (addresses.empty())
        addresses.push_back(0);
    createHandle();
    // A restarted service must be able to bind its port while connections of
    // its previous run are still in TIME_WAIT.
    platform::SocketSetReuseAddress(m_Socket);
    unsigned short port = m_Host.GetPort();
    int bound = -1;
    for (unsigned i = 0; i < addresses.size(); ++i) {
        if (platform::SocketBind(m_Socket, addresses[i], port) == 0) {
            bound = static_cast<int>(i);
            break;
        }
        int e = errno;
        mapSocketError(kTcpBindFailed, e);
        LogEventStrInt(136, kEventTypeError, m_Host.Format(i), e);
    }
    if (bound < 0) {
        closeHandleOrThrow(m_Host.Format(0));
        return false;
    }
    if (platform::SocketListen(m_Socket, kListenBacklog) != 0) {
        int e = errno;
        m_LastError = kTcpListenFailed;
        LogEventStrInt(137, kEventTypeError, m_Host.Format(static_cast<unsigned>(bound)), e);
        closeHandleOrThrow(m_Host.Format(0));
        return false;
    }
    m_State = kListening;
    return true;
}

bool CVornTCPSocket::Listen(const CVornHostAddress& host) {
    CVornLockGuard guard(m_Lock);
    if (!mayListen())
        return false;
    m_Host = host;
    return Listen();
}

bool CVornTCPSocket::Accept(CVornTCPSocket& target, int seconds) {
    CVornLockGuard guard(m_Lock);
    if (m_State == kClosed)
        return refuse(127, kEventTypeError, kTcpAcceptOnClosed);
    if (m_State == kConnected)
        return refuse(124, kEventTypeError, kTcpAlreadyConnected);
    if (&target == this) {
        m_LastError = kTcpAlreadyConnected;
        return false;
    }
    CVornLockGuard targetGuard(target.m_Lock);
    if (target.m_State != kClosed) {
        LogEventStr(128, kEventTypeError, target.m_Host.Format(0));
        m_LastError = kTcpAlreadyConnected;
        return false;
    }
    uint32_t peer = 0;
    uint16_t peerPort = 0;
    int fd = platform::SocketAccept(m_Socket, WaitMs(seconds), &peer, &peerPort);
    if (fd == platform::kSocketTimedOut) {
        m_LastError = kTcpTimedOut;
        return false;
    }
    if (fd < 0) {
        LogEventStrInt(138, kEventTypeError, m_Host.Format(0), errno);
        m_LastError = kTcpAcceptFailed;
        return false;
    }
    target.m_Socket = fd;
    target.m_Host.SetAddress(CVornHostAddressEntry(peer));
    target.m_Host.SetPort(peerPort);
    target.m_State = kConnected;
    target.m_EOF = false;
    target.m_Buffer.Clear();
    return true;
}

bool CVornTCPSocket::TakeOver(CVornTCPSocket& other) {
    CVornLockGuard guard(m_Lock);
    if (m_State == kConnected)
        return refuse(122, kEventTypeError, kTcpAlreadyConnected);
    if (&other == this)
        return true;
    CVornLockGuard otherGuard(other.m_Lock);
    // Our unread bytes are dropped; the other's move here and it is left
    // empty.
    CVornString unread(CVornString::kUnlocked);
    other.m_Buffer.TakeAll(unread);
    m_Buffer.Clear();
    m_Buffer.TakeAll(unread);
    bool ok = true;
    if (m_State == kListening)
        ok = closeHandle();
    m_EOF = other.m_EOF;
    m_State = other.m_State;
    m_Host = other.m_Host;
    m_Socket = other.m_Socket.load();
    other.m_State = kClosed;
    other.m_Socket = -1;
    return ok;
}

// ---- Reading

int CVornTCPSocket::Read(CVornString& out, int count, int seconds) {
    CVornLockGuard guard(m_Lock);
    if (count < 0 || count > kMaxReadLength) {
        LogEventStrInt(143, kEventTypeError, m_Host.Format(0), count);
        m_LastError = kTcpBadArgument;
        return -1;
    }
    if (!requireConnected())
        return -1;
    char chunk[kReceiveChunk];
    while (count == 0 || m_Buffer.Available() < count) {
        if (count == 0 && m_Buffer.Available() > kMaxReadLength) {
            // Reading to the end of a peer that never stops would take all
            // memory; the bytes stay buffered.
            m_LastError = kTcpLineTooLong;
            return -1;
        }
        if (!waitForData(seconds)) {
            m_LastError = kTcpTimedOut;
            break;
        }
        int want = kReceiveChunk;
        if (count > 0 && count - m_Buffer.Available() < want)
            want = count - m_Buffer.Available();
        int systemError = 0;
        long n = receiveOnce(chunk, want, &systemError);
        if (n == -2) {
            m_LastError = kTcpTimedOut;
            break;
        }
        if (n < 0) {
            mapSocketError(kTcpReceiveFailed, systemError);
            // What arrived before a reset is still the peer's data.
            if (m_LastError == kTcpReset && m_Buffer.Available() > 0)
                break;
            logReceiveFailure(systemError);
            return -1;
        }
        if (n == 0) {
            m_EOF = true;
            break;
        }
        m_Buffer.Append(chunk, static_cast<int>(n));
    }
    if (count == 0) {
        m_Buffer.TakeAll(out);
        // TakeAll hands the string's old text back to the buffer as unread
        // bytes; out's text is replaced, so drop it.
        m_Buffer.Clear();
    } else {
        m_Buffer.Read(out, count);
    }
    return out.Length();
}

int CVornTCPSocket::ReadUntil(CVornString& out, const char* delimiter, int seconds) {
    return readUntil(out, delimiter, seconds, false, std::chrono::steady_clock::time_point());
}

int CVornTCPSocket::ReadUntil(CVornString& out, const char* delimiter, int seconds, int limitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    return readUntil(out, delimiter, seconds, true, deadline);
}

int CVornTCPSocket::readUntil(CVornString& out, const char* delimiter, int seconds, bool limited,
                              std::chrono::steady_clock::time_point deadline) {
    CVornLockGuard guard(m_Lock);
    if (delimiter == nullptr || delimiter[0] == '\0') {
        LogEventStr(144, kEventTypeError, m_Host.Format(0));
        m_LastError = kTcpBadArgument;
        return -1;
    }
    if (!requireConnected())
        return -1;
    // A line that does not end within the bound is refused: the peer is not
    // speaking a line protocol, and holding its bytes would be unbounded.
    auto tooLong = [&](int found) {
        if (found > kMaxLineLength || (found == 0 && out.Length() >= kMaxLineLength)) {
            m_LastError = kTcpLineTooLong;
            return true;
        }
        return false;
    };
    // Milliseconds left before the limit; 0 once it has passed.
    auto remainingMs = [&]() -> long long {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return left.count() > 0 ? left.count() : 0;
    };
    // A line is cut at its delimiter; what was received after it stays
    // buffered for the next read.
    int found = m_Buffer.ReadLine(out, delimiter, false);
    if (tooLong(found))
        return -1;
    if (found > 0)
        return found;
    char chunk[kReceiveChunk];
    for (;;) {
        int waitMs = WaitMs(seconds);
        // Looked at before every wait, not only when a wait runs out: a peer
        // that trickles bytes without a line end must not hold the call past
        // its limit.
        if (limited) {
            long long left = remainingMs();
            if (left == 0) {
                m_LastError = kTcpTimedOut;
                return out.Length();
            }
            if (left < waitMs)
                waitMs = static_cast<int>(left);
        }
        if (!waitForDataMs(waitMs)) {
            m_LastError = kTcpTimedOut;
            return out.Length();
        }
        int systemError = 0;
        long n = receiveOnce(chunk, kReceiveChunk, &systemError);
        if (n == -2) {
            m_LastError = kTcpTimedOut;
            return out.Length();
        }
        if (n < 0) {
            logReceiveFailure(systemError);
            m_LastError = kTcpReceiveFailed;
            return -1;
        }
        if (n > 0)
            m_Buffer.Append(chunk, static_cast<int>(n));
        found = m_Buffer.ReadLine(out, delimiter, true);
        if (tooLong(found))
            return -1;
        if (n == 0) {
            m_EOF = true;
            return found > 0 ? found : out.Length();
        }
        if (found > 0)
            return found;
    }
}

// ---- Writing

int CVornTCPSocket::writeBytes(const char* data, int length) {
    if (length == 0)
        return 0;
    long n = platform::SocketSend(m_Socket, data, static_cast<size_t>(length), g_SendTimeoutMs);
    if (n == length)
        return length;
    // Our own bound ran out (the peer stopped reading); other failures keep
    // the last error as it was.
    if (n == platform::kSocketTimedOut || (n >= 0 && errno == ETIMEDOUT))
        m_LastError = kTcpTimedOut;
    return n >= 0 ? static_cast<int>(n) : -1;
}

int CVornTCPSocket::Write(const char* data, int length) {
    CVornLockGuard guard(m_Lock);
    if (data == nullptr || length < 0) {
        LogEventStrInt(145, kEventTypeError, m_Host.Format(0), length);
        m_LastError = kTcpBadArgument;
        return -1;
    }
    if (!requireConnected())
        return -1;
    return writeBytes(data, length);
}

int CVornTCPSocket::Write(const CVornString& data) {
    CVornLockGuard guard(m_Lock);
    if (!requireConnected())
        return -1;
    // An unlocked string belongs to this thread: its bytes go out in place.
    // A locked one is copied under its lock, so that a slow peer never holds
    // the string's lock for the length of the send.
    if (!data.IsLocked())
        return writeBytes(data.Data(), data.Length());
    data.Lock();
    int length = data.Length();
    std::vector<char> bytes(static_cast<size_t>(length));
    int offset = 0;
    if (length > 0)
        data.ReadBytes(offset, bytes.data(), length);
    data.Unlock();
    return writeBytes(bytes.data(), length);
}

// ---- Ending a connection from another thread

bool CVornTCPSocket::ShutdownNow() {
    // The handle lock, not the object lock: the thread to be woken holds the
    // object lock for as long as it waits. Under the handle lock the number
    // cannot be released (and reused by the system) while it is shut down.
    std::lock_guard<std::mutex> hold(m_HandleLock);
    int fd = m_Socket;
    if (fd < 0)
        return false;
    return platform::SocketShutdownBoth(fd) == 0;
}
