// For the tests of the report pages: records written with the real
// activity-log writer, the form fields of a time range, and for reports
// that run long a day file that the test feeds line by line while a report
// reads it (a FIFO) and a browser that reads a streamed response piece by
// piece and may go away in the middle (a plain TCP connection).
//
// The waits for the other side have bounds: a report that never opens the
// day file, or a response that never comes, fails the test instead of
// hanging it.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "config/activity_log.h"
#include "core/vorn_date.h"

namespace webtest {

// Writes one record with ActivityLogWrite: field number -> text.
inline void WriteActivity(const std::map<int, std::string>& fields) {
    CVornStringMap record;
    for (const auto& [field, text] : fields) ActivityRecordSetText(record, field, text.c_str());
    ActivityLogWrite(record);
}

// The local date of t as YYYYMMDD and as month/day/year.
inline int PackedDay(time_t t) {
    int date = 0;
    CVornDate(t).GetPacked(&date, nullptr, nullptr);
    return date;
}
inline std::string SlashDate(time_t t) {
    int date = PackedDay(t);
    return std::to_string(date / 100 % 100) + "/" + std::to_string(date % 100) + "/" +
           std::to_string(date / 10000);
}

// The form fields of the range from midnight of t's day to midnight days
// later, in 24-hour times.
inline std::string RangeFields(time_t t, int days = 1) {
    return "FromDate=" + SlashDate(t) +
           "&FromTime-24hr=0&FromTime-min=0&ToDate=" + SlashDate(t + 86400 * days) +
           "&ToTime-24hr=0&ToTime-min=0";
}

// A FIFO in place of a day file. The report's search opens it when it gets
// to that day and then blocks in its reads until the test writes lines or
// closes its end (the end of the file).
class FedDayFile {
public:
    explicit FedDayFile(const std::string& path) : m_Path(path) {
        m_Made = mkfifo(path.c_str(), 0600) == 0;
    }
    ~FedDayFile() {
        if (m_Fd < 0 && m_Made) {
            // A reader may still be waiting in its open: a writer that
            // comes and goes lets it through to the end of the file.
            int fd = open(m_Path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                close(fd);
        }
        Close();
        if (m_Made)
            unlink(m_Path.c_str());
    }
    FedDayFile(const FedDayFile&) = delete;
    FedDayFile& operator=(const FedDayFile&) = delete;

    bool Made() const { return m_Made; }

    // Waits (at most seconds) until a reader has opened the file, then
    // holds the writing end. True when it does.
    bool WaitForReader(int seconds = 20) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (m_Fd < 0 && std::chrono::steady_clock::now() < end) {
            m_Fd = open(m_Path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (m_Fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return m_Fd >= 0;
    }

    // Writes text whole; false when the reader has gone (or no writing end).
    bool Feed(const std::string& text) {
        size_t done = 0;
        while (m_Fd >= 0 && done < text.size()) {
            ssize_t n = write(m_Fd, text.data() + done, text.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p{m_Fd, POLLOUT, 0};
                (void)poll(&p, 1, 100);
            } else {
                return false;
            }
        }
        return m_Fd >= 0;
    }

    // True when the reader closed its end within ms milliseconds.
    bool ReaderGone(int ms) {
        pollfd p{m_Fd, 0, 0};
        return m_Fd >= 0 && poll(&p, 1, ms) == 1 && (p.revents & POLLERR) != 0;
    }

    // Ends the file for the reader.
    void Close() {
        if (m_Fd >= 0)
            close(m_Fd);
        m_Fd = -1;
    }

private:
    std::string m_Path;
    bool m_Made = false;
    int m_Fd = -1;
};

// One HTTP request over a plain connection to 127.0.0.1:port, its response
// read as it arrives.
class StreamingBrowser {
public:
    StreamingBrowser() = default;
    ~StreamingBrowser() { Close(); }
    StreamingBrowser(const StreamingBrowser&) = delete;
    StreamingBrowser& operator=(const StreamingBrowser&) = delete;

    // Connects and sends a POST of the url-encoded fields with the cookie.
    // receiveBuffer (bytes, when above 0): a small window, for a browser
    // that stops reading.
    bool Post(int port, const std::string& path, const std::string& fields,
              const std::string& cookie, int receiveBuffer = 0) {
        m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_Fd >= 0 && receiveBuffer > 0)
            (void)setsockopt(m_Fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_Fd < 0 || connect(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        std::string request =
            "POST " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + "Cookie: ZELORM=" + cookie +
            "\r\n" + "Content-Type: application/x-www-form-urlencoded\r\n" +
            "Content-Length: " + std::to_string(fields.size()) + "\r\n\r\n" + fields;
        return send(m_Fd, request.data(), request.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(request.size());
    }

    // Reads until what has arrived contains part, the connection ends or
    // 20 s have passed; true when it contains part.
    bool ReadUntil(const std::string& part) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (m_Received.find(part) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (m_Fd < 0 || left.count() <= 0)
                return false;
            pollfd p{m_Fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) != 1)
                return false;
            char buffer[4096];
            ssize_t n = recv(m_Fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return m_Received.find(part) != std::string::npos;
            m_Received.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // Reads to the end of the response (at most 20 s).
    const std::string& ReadAll() {
        (void)ReadUntil(std::string(1, '\0') + "never");
        return m_Received;
    }

    const std::string& Received() const { return m_Received; }

    // The browser goes away.
    void Close() {
        if (m_Fd >= 0)
            close(m_Fd);
        m_Fd = -1;
    }

private:
    int m_Fd = -1;
    std::string m_Received;
};

}  // namespace webtest
