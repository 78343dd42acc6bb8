// The quarantine-server library (libferrix32.so): a package sent to the
// quarantine server as one HTTP POST (see maker/ferrix/ferrix.h).
//
//   SendFileToQServer(path, server, 0, port, abort)   0 when delivered
//   FerrixSetIdleTimeout(seconds)                     tests: shorter waits
//
// Bad input: a null or empty path or server, a server name holding blanks
// or control bytes (it goes into the Host header), a port outside 1..65535
// or a reserved argument other than 0 answer FERRIX_ERR_ARGUMENT before any
// connection is made. The server's answer is read up to its first line and
// at most 8 KiB.

#include "maker/ferrix/ferrix.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultIdleSeconds = 60;
constexpr size_t kMaxServerName = 255;
constexpr size_t kMaxAnswer = 8192;
// The longest a wait goes without asking the abort callback.
constexpr auto kAskInterval = std::chrono::milliseconds(1000);

std::atomic<int> s_IdleSeconds{kDefaultIdleSeconds};

// Closes a descriptor when it leaves scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_Fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_Fd; }
    void reset(int fd = -1) {
        if (m_Fd >= 0)
            close(m_Fd);
        m_Fd = fd;
    }

private:
    int m_Fd;
};

// One transfer: its socket, its idle time-out and its abort callback, asked
// at least once a second for as long as the transfer runs.
class Transfer {
public:
    Transfer(FerrixAbortCallback abortCallback, int idleSeconds)
        : m_Abort(abortCallback),
          m_Idle(std::chrono::seconds(idleSeconds)),
          m_LastAsked(Clock::now()) {}

    // Waits until fd is ready for events or until the deadline; asks the
    // callback between slices. FERRIX_OK when ready.
    int WaitReady(int fd, short events, Clock::time_point deadline) {
        for (;;) {
            if (int stop = askWhenDue(); stop != FERRIX_OK)
                return stop;
            auto now = Clock::now();
            if (now >= deadline)
                return FERRIX_ERR_TIMEOUT;
            auto slice = std::min<Clock::duration>(deadline - now, kAskInterval);
            int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count());
            pollfd p{fd, events, 0};
            int n = poll(&p, 1, ms);
            if (n > 0)
                return FERRIX_OK;
            if (n < 0 && errno != EINTR)
                return FERRIX_ERR_TRANSFER;
        }
    }

    // A wait from now that may last the idle time-out.
    Clock::time_point IdleDeadline() const { return Clock::now() + m_Idle; }

private:
    int askWhenDue() {
        if (m_Abort == nullptr || Clock::now() - m_LastAsked < kAskInterval)
            return FERRIX_OK;
        m_LastAsked = Clock::now();
        return m_Abort(FERRIX_STATUS_WAITING) == 0 ? FERRIX_ERR_ABORTED : FERRIX_OK;
    }

    FerrixAbortCallback m_Abort;
    Clock::duration m_Idle;
    Clock::time_point m_LastAsked;
};

bool validServer(const char* server) {
    size_t length = strnlen(server, kMaxServerName + 1);
    if (length == 0 || length > kMaxServerName)
        return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(server[i]);
        if (c <= ' ' || c == 0x7F)
            return false;
    }
    return true;
}

// Connects to the first address of server that accepts; the socket is
// non-blocking. FERRIX_OK with *fd set.
int connectTo(const char* server, int port, Transfer& transfer, Descriptor& fd) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(server, service.c_str(), &hints, &found) != 0 || found == nullptr)
        return FERRIX_ERR_RESOLVE;
    int result = FERRIX_ERR_CONNECT;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        fd.reset(
            socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (fd.get() < 0)
            continue;
        if (connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) {
            result = FERRIX_OK;
            break;
        }
        if (errno != EINPROGRESS)
            continue;
        int waited = transfer.WaitReady(fd.get(), POLLOUT, transfer.IdleDeadline());
        if (waited == FERRIX_ERR_ABORTED) {
            result = waited;
            break;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (waited == FERRIX_OK && getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
            error == 0) {
            result = FERRIX_OK;
            break;
        }
    }
    freeaddrinfo(found);
    if (result != FERRIX_OK)
        fd.reset();
    return result;
}

int sendAll(int fd, const char* data, size_t length, Transfer& transfer) {
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (int waited = transfer.WaitReady(fd, POLLOUT, transfer.IdleDeadline());
                waited != FERRIX_OK)
                return waited;
            continue;
        }
        return FERRIX_ERR_TRANSFER;
    }
    return FERRIX_OK;
}

// The package's bytes, exactly size of them.
int sendPackage(int socketFd, int fileFd, uint64_t size, Transfer& transfer) {
    std::vector<char> buffer(64 * 1024);
    uint64_t sent = 0;
    while (sent < size) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - sent));
        ssize_t n = pread(fileFd, buffer.data(), want, static_cast<off_t>(sent));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FERRIX_ERR_PACKAGE;
        if (int result = sendAll(socketFd, buffer.data(), static_cast<size_t>(n), transfer);
            result != FERRIX_OK)
            return result;
        sent += static_cast<uint64_t>(n);
    }
    return FERRIX_OK;
}

// Reads the status line; the whole of it must arrive within one idle
// time-out, so a server that drips bytes cannot hold the caller longer.
int readStatus(int fd, Transfer& transfer) {
    std::string answer;
    auto deadline = transfer.IdleDeadline();
    char buffer[1024];
    while (answer.find('\n') == std::string::npos) {
        if (answer.size() >= kMaxAnswer)
            return FERRIX_ERR_REFUSED;
        ssize_t n =
            recv(fd, buffer, std::min(sizeof buffer, kMaxAnswer - answer.size()), MSG_DONTWAIT);
        if (n > 0) {
            answer.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return FERRIX_ERR_TRANSFER;
        if (int waited = transfer.WaitReady(fd, POLLIN, deadline); waited != FERRIX_OK)
            return waited;
    }
    // "HTTP/1.x NNN ..."
    if (answer.size() < 12 || answer.compare(0, 5, "HTTP/") != 0)
        return answer.empty() ? FERRIX_ERR_TRANSFER : FERRIX_ERR_REFUSED;
    size_t blank = answer.find(' ');
    if (blank == std::string::npos || blank + 4 > answer.size())
        return FERRIX_ERR_REFUSED;
    const char* code = answer.c_str() + blank + 1;
    bool digits = code[0] >= '0' && code[0] <= '9' && code[1] >= '0' && code[1] <= '9' &&
                  code[2] >= '0' && code[2] <= '9';
    return digits && code[0] == '2' ? FERRIX_OK : FERRIX_ERR_REFUSED;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int SendFileToQServer(const char* packagePath,
                                                             const char* server, int reserved,
                                                             int port,
                                                             FerrixAbortCallback abortCallback) {
    if (packagePath == nullptr || *packagePath == '\0' || server == nullptr ||
        !validServer(server) || reserved != 0 || port < 1 || port > 65535)
        return FERRIX_ERR_ARGUMENT;
    try {
        Descriptor file(open(packagePath, O_RDONLY | O_CLOEXEC));
        struct stat info;
        if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
            return FERRIX_ERR_PACKAGE;
        uint64_t size = static_cast<uint64_t>(info.st_size);

        Transfer transfer(abortCallback, s_IdleSeconds.load());
        Descriptor connection;
        if (int result = connectTo(server, port, transfer, connection); result != FERRIX_OK)
            return result;

        std::string host =
            strchr(server, ':') != nullptr ? "[" + std::string(server) + "]" : std::string(server);
        std::string head = "POST /quarantine HTTP/1.0\r\nHost: " + host + ":" +
                           std::to_string(port) +
                           "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                           std::to_string(size) + "\r\nConnection: close\r\n\r\n";
        if (int result = sendAll(connection.get(), head.data(), head.size(), transfer);
            result != FERRIX_OK)
            return result;
        if (int result = sendPackage(connection.get(), file.get(), size, transfer);
            result != FERRIX_OK)
            return result;
        return readStatus(connection.get(), transfer);
    } catch (const std::bad_alloc&) {
        return FERRIX_ERR_TRANSFER;
    }
}

__attribute__((visibility("default"))) void FerrixSetIdleTimeout(int seconds) {
    s_IdleSeconds.store(seconds >= 1 ? seconds : kDefaultIdleSeconds);
}

}  // extern "C"
