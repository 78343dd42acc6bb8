// Shared pieces of the HTTP request and server tests: a temporary directory
// (which also holds the path locks), a raw loopback client that sends bytes
// as they are and reads a response to the end, and a parsed response.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/vorn_string.h"
#include "net/host_address.h"
#include "net/http_request.h"

namespace httptest {

inline uint32_t Loopback() {
    int address = 0;
    EXPECT_TRUE(ParseDottedQuad(CVornString("127.0.0.1"), &address));
    return static_cast<uint32_t>(address);
}

inline std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

// The request's form variables as "name=value" lines in name order, with the
// separator of repeated values shown as "|": what the echo handlers answer.
inline std::string FormVariableLines(CVornHTTPRequest* request) {
    std::map<std::string, std::string> variables;
    CVornString key;
    void* value = nullptr;
    for (bool more = request->m_FormVariables.First(key, &value); more;
         more = request->m_FormVariables.Next(key, &value)) {
        std::string text = Str(*static_cast<CVornString*>(value));
        for (char& c : text)
            if (c == kFormValueSeparator)
                c = '|';
        variables[Str(key)] = text;
    }
    std::string lines;
    for (const auto& [name, text] : variables) lines += name + "=" + text + "\n";
    return lines;
}

// A directory of the test's own, removed with everything in it; the path
// locks of temporary files go to its "locks" folder.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/zelorm-http-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        m_Path = pattern;
        std::filesystem::create_directory(m_Path + "/locks");
        setenv("ZELORM_LOCK_DIR", (m_Path + "/locks").c_str(), 1);
    }
    ~TempDir() {
        unsetenv("ZELORM_LOCK_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    const std::string& Path() const { return m_Path; }
    // The names in the directory besides "locks".
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_Path)) {
            std::string name = entry.path().filename().string();
            if (name != "locks")
                names.push_back(name);
        }
        return names;
    }

private:
    std::string m_Path;
};

// A client on a plain socket, so that a test controls every byte and sees
// how the server ended the connection. from (a dotted quad of 127/8, all of
// which reaches this host) is the address the client comes from.
class RawClient {
public:
    explicit RawClient(unsigned short port, const char* from = "127.0.0.1") {
        m_Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, from, &source.sin_addr), 1) << from;
        EXPECT_EQ(bind(m_Fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0) << from;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_Connected = connect(m_Fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~RawClient() {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return m_Connected; }
    bool Send(const std::string& text) {
        size_t sent = 0;
        while (sent < text.size()) {
            ssize_t n = send(m_Fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    // The kernel's state of the connection (TCP_ESTABLISHED, TCP_CLOSE_WAIT,
    // TCP_CLOSE after a reset, ...), or -1.
    int TcpState() const {
        tcp_info info{};
        socklen_t length = sizeof info;
        if (getsockopt(m_Fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
            return -1;
        return info.tcpi_state;
    }
    // No more bytes from this side.
    void EndSending() { shutdown(m_Fd, SHUT_WR); }
    // Everything until the server closes, waiting at most seconds in all.
    // *cleanEnd (may be null): the connection ended with a close, not a
    // reset or the time running out.
    std::string ReadAll(int seconds = 10, bool* cleanEnd = nullptr) {
        std::string all;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        bool clean = false;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_Fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[16384];
            ssize_t n = recv(m_Fd, buffer, sizeof buffer, 0);
            if (n == 0) {
                clean = true;
                break;
            }
            if (n < 0)
                break;
            all.append(buffer, static_cast<size_t>(n));
        }
        if (cleanEnd)
            *cleanEnd = clean;
        return all;
    }

private:
    int m_Fd = -1;
    bool m_Connected = false;
};

// A response split into status line, header fields (names lower-cased; the
// last of a name wins) and body.
struct Response {
    std::string m_Raw;
    std::string m_Status;
    std::map<std::string, std::string> m_Headers;
    std::string m_Body;
    bool m_Complete = false;  // a header block ended by its empty line

    explicit Response(const std::string& raw) : m_Raw(raw) {
        size_t end = raw.find("\r\n\r\n");
        if (end == std::string::npos)
            return;
        m_Complete = true;
        m_Body = raw.substr(end + 4);
        size_t pos = raw.find("\r\n");
        m_Status = raw.substr(0, pos);
        while (pos < end) {
            size_t next = raw.find("\r\n", pos + 2);
            std::string line = raw.substr(pos + 2, next - pos - 2);
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
                std::string value = line.substr(colon + 1);
                value.erase(0, value.find_first_not_of(' '));
                m_Headers[name] = value;
            }
            pos = next;
        }
    }
    std::string Header(const std::string& name) const {
        auto found = m_Headers.find(name);
        return found == m_Headers.end() ? "<none>" : found->second;
    }
    bool Has(const std::string& name) const { return m_Headers.count(name) > 0; }
};

}  // namespace httptest
