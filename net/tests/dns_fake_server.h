// A DNS server of the tests' own on 127.0.0.1 (a port reserved for the test):
// answers A, NS, CNAME, PTR and MX questions from a table of records,
// following CNAME chains as a recursive server does, and records every
// question it receives. Names match ignoring case; a name with no record of
// any type gets NXDOMAIN. A name may be made to draw an error code or no
// reply at all, and records may be added to every reply (to plant foreign
// data). Replies may be held back until the test releases them, and each
// reply may be preceded by a burst of junk aimed at the asker's port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/ports.h"

namespace dnstest {

// One resource record. data: a dotted quad for A, the target name for NS,
// CNAME, PTR and MX ("" is the root).
struct Rr {
    std::string name;
    int type;
    std::string data;
    int preference = 0;
    uint32_t ttl = 60;
};

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

inline std::string U16(unsigned v) {
    return std::string{static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}

inline std::string U32(uint32_t v) {
    return U16(v >> 16) + U16(v & 0xFFFF);
}

// Uncompressed wire form of a dotted name; "" is the root.
inline std::string WireName(const std::string& dotted) {
    std::string out;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = dotted.find('.', start);
        std::string label =
            dotted.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        out += static_cast<char>(label.size());
        out += label;
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    return out + '\0';
}

inline std::string WireRecord(const Rr& r) {
    std::string data;
    if (r.type == 1) {
        in_addr a{};
        inet_pton(AF_INET, r.data.c_str(), &a);
        data.assign(reinterpret_cast<const char*>(&a), 4);
    } else if (r.type == 15) {
        data = U16(static_cast<unsigned>(r.preference)) + WireName(r.data);
    } else {
        data = WireName(r.data);
    }
    return WireName(r.name) + U16(static_cast<unsigned>(r.type)) + U16(1) + U32(r.ttl) +
           U16(static_cast<unsigned>(data.size())) + data;
}

// A reply: header (id, flags, counts), the question section as given, then
// the three sections.
inline std::string WireReply(unsigned id, unsigned flags, const std::string& question,
                             unsigned questions, const std::vector<Rr>& answers,
                             const std::vector<Rr>& authority, const std::vector<Rr>& additional) {
    std::string out = U16(id) + U16(flags) + U16(questions) +
                      U16(static_cast<unsigned>(answers.size())) +
                      U16(static_cast<unsigned>(authority.size())) +
                      U16(static_cast<unsigned>(additional.size())) + question;
    for (const auto* section : {&answers, &authority, &additional})
        for (const Rr& r : *section) out += WireRecord(r);
    return out;
}

inline sockaddr_in LoopbackAddress(unsigned short port, const char* address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// Sends one datagram from a fresh loopback socket to 127.0.0.1:port.
inline bool SendDatagram(const std::string& bytes, unsigned short port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in to = LoopbackAddress(port);
    ssize_t n =
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}

// A loopback port where nothing listens, and that no other test process
// takes for a server while this one runs.
inline unsigned short DeadPort() {
    return static_cast<unsigned short>(testsupport::FreePort());
}

// The receive buffer (SO_RCVBUF as the kernel reports it) of this
// process's UDP socket bound to the local port, or -1 when none is.
inline int ReceiveBufferOfLocalPort(unsigned short port) {
    for (int fd = 0; fd < 4096; ++fd) {
        int type = 0;
        socklen_t len = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_DGRAM)
            continue;
        sockaddr_in a{};
        len = sizeof a;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
            a.sin_family != AF_INET || ntohs(a.sin_port) != port)
            continue;
        int size = 0;
        len = sizeof size;
        if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) == 0)
            return size;
    }
    return -1;
}

// The receive buffer a fresh UDP socket has (asked = 0), or gets when it
// asks for asked bytes.
inline int FreshReceiveBuffer(int asked) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (asked > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    int size = 0;
    socklen_t len = sizeof size;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len);
    close(fd);
    return size;
}

class FakeDns {
public:
    // On a loopback address (127.0.0.1 unless given) and port (0: one
    // reserved for this process, see testsupport::FreePort).
    explicit FakeDns(const char* address = "127.0.0.1", unsigned short port = 0) {
        if (port == 0)
            port = static_cast<unsigned short>(testsupport::FreePort());
        m_Fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = LoopbackAddress(port, address);
        m_Bound = bind(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        getsockname(m_Fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_Port = ntohs(a.sin_port);
        m_Thread = std::thread([this] { loop(); });
    }
    ~FakeDns() {
        Release();
        m_Stop = true;
        m_Thread.join();
        close(m_Fd);
    }
    FakeDns(const FakeDns&) = delete;
    FakeDns& operator=(const FakeDns&) = delete;

    unsigned short Port() const { return m_Port; }
    bool Bound() const { return m_Bound; }

    // Replies are held back (questions still logged) until Release, which
    // sends every held reply.
    void Hold() {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_Holding = true;
    }
    void Release() {
        std::vector<std::pair<std::string, sockaddr_in>> held;
        {
            std::lock_guard<std::mutex> g(m_Mutex);
            m_Holding = false;
            held.swap(m_Held);
        }
        for (const auto& [reply, to] : held)
            sendto(m_Fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
    }
    // Before each reply, rounds times three kinds of junk go to the asker's
    // port: the reply with another id, five bytes that are no reply, and from
    // another port the reply with its last A address changed to 192.0.2.66
    // (a forger who guessed the id).
    void SetJunk(int rounds) {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_JunkRounds = rounds;
    }
    // The source port of every question received, in order.
    std::vector<unsigned short> SourcePorts() {
        std::lock_guard<std::mutex> g(m_Mutex);
        return m_SourcePorts;
    }

    void Add(const Rr& r) {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_Zone.push_back(r);
    }
    // Replies for this name carry rcode (and no records).
    void SetRcode(const std::string& name, int rcode) {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_Rcode[Lower(name)] = rcode;
    }
    // Questions for this name get no reply.
    void Drop(const std::string& name) {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_Drop.insert(Lower(name));
    }
    void SetAuthoritative(bool aa) {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_Authoritative = aa;
    }
    // Added to every reply, in section 1 (answer), 2 (authority) or 3.
    void AddExtra(int section, const Rr& r) {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_Extra[section].push_back(r);
    }
    // Every question received, as "name/type" with the name as sent.
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> g(m_Mutex);
        return m_Log;
    }
    size_t Count() {
        std::lock_guard<std::mutex> g(m_Mutex);
        return m_Log.size();
    }
    void Reset() {
        std::lock_guard<std::mutex> g(m_Mutex);
        m_Zone.clear();
        m_Rcode.clear();
        m_Drop.clear();
        m_Extra.clear();
        m_Log.clear();
        m_SourcePorts.clear();
        m_Authoritative = false;
        m_JunkRounds = 0;
        m_Holding = false;
        m_Held.clear();
    }

private:
    std::vector<Rr> find(const std::string& name, int type) {
        std::vector<Rr> out;
        for (const Rr& r : m_Zone)
            if (Lower(r.name) == Lower(name) && r.type == type)
                out.push_back(r);
        return out;
    }

    void answer(const std::string& query, const sockaddr_in& from) {
        if (query.size() < 17)
            return;
        size_t off = 12;
        std::string name;
        while (off < query.size() && query[off] != 0) {
            size_t len = static_cast<unsigned char>(query[off]);
            if (!name.empty())
                name += '.';
            name += query.substr(off + 1, len);
            off += len + 1;
        }
        if (off + 5 > query.size())
            return;
        const std::string question = query.substr(12, off + 5 - 12);
        const int type = (static_cast<unsigned char>(query[off + 1]) << 8) |
                         static_cast<unsigned char>(query[off + 2]);
        const unsigned id =
            (static_cast<unsigned char>(query[0]) << 8) | static_cast<unsigned char>(query[1]);

        std::string reply;
        int junkRounds = 0;
        {
            std::lock_guard<std::mutex> g(m_Mutex);
            m_Log.push_back(name + "/" + std::to_string(type));
            m_SourcePorts.push_back(ntohs(from.sin_port));
            junkRounds = m_JunkRounds;
            if (m_Drop.count(Lower(name)))
                return;
            std::vector<Rr> answers;
            int rcode = 0;
            auto forced = m_Rcode.find(Lower(name));
            if (forced != m_Rcode.end()) {
                rcode = forced->second;
            } else {
                std::string current = name;
                for (int step = 0; step < 10; ++step) {
                    std::vector<Rr> direct = find(current, type);
                    if (!direct.empty()) {
                        answers.insert(answers.end(), direct.begin(), direct.end());
                        break;
                    }
                    std::vector<Rr> cname = type == 5 ? std::vector<Rr>() : find(current, 5);
                    if (cname.empty())
                        break;
                    answers.push_back(cname.front());
                    current = cname.front().data;
                }
                bool exists = std::any_of(m_Zone.begin(), m_Zone.end(), [&](const Rr& r) {
                    return Lower(r.name) == Lower(name);
                });
                if (answers.empty() && !exists)
                    rcode = 3;
            }
            if (rcode == 0 || rcode == 3) {
                answers.insert(answers.end(), m_Extra[1].begin(), m_Extra[1].end());
            } else {
                answers.clear();
            }
            const bool plain = rcode == 0 || rcode == 3;
            unsigned flags = 0x8180 | (m_Authoritative ? 0x0400 : 0) | static_cast<unsigned>(rcode);
            reply =
                WireReply(id, flags, question, 1, answers, plain ? m_Extra[2] : std::vector<Rr>(),
                          plain ? m_Extra[3] : std::vector<Rr>());
            if (m_Holding) {
                m_Held.emplace_back(reply, from);
                return;
            }
        }
        if (junkRounds > 0)
            sendJunk(reply, from, junkRounds);
        sendto(m_Fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from),
               sizeof from);
    }

    void sendJunk(const std::string& reply, const sockaddr_in& to, int rounds) {
        std::string otherId = reply;
        otherId[0] = static_cast<char>(otherId[0] ^ 0x5A);
        // The forger's reply points elsewhere: its last four bytes (the
        // address, when an A record comes last) become 192.0.2.66.
        std::string forged = reply;
        if (forged.size() >= 16)
            forged.replace(forged.size() - 4, 4, std::string{'\xC0', '\x00', '\x02', '\x42'});
        const std::string garbage = "\x01\x02\x03\x04\x05";
        int forger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any = LoopbackAddress(0);
        bind(forger, reinterpret_cast<sockaddr*>(&any), sizeof any);
        auto* address = reinterpret_cast<const sockaddr*>(&to);
        for (int i = 0; i < rounds; ++i) {
            sendto(m_Fd, otherId.data(), otherId.size(), 0, address, sizeof to);
            sendto(m_Fd, garbage.data(), garbage.size(), 0, address, sizeof to);
            sendto(forger, forged.data(), forged.size(), 0, address, sizeof to);
        }
        close(forger);
    }

    void loop() {
        char buffer[600];
        while (!m_Stop) {
            pollfd p{m_Fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(m_Fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0)
                answer(std::string(buffer, static_cast<size_t>(n)), from);
        }
    }

    int m_Fd = -1;
    bool m_Bound = false;
    unsigned short m_Port = 0;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
    std::mutex m_Mutex;
    std::vector<Rr> m_Zone;
    std::map<std::string, int> m_Rcode;
    std::set<std::string> m_Drop;
    std::map<int, std::vector<Rr>> m_Extra;
    std::vector<std::string> m_Log;
    std::vector<unsigned short> m_SourcePorts;
    bool m_Authoritative = false;
    bool m_Holding = false;
    std::vector<std::pair<std::string, sockaddr_in>> m_Held;
    int m_JunkRounds = 0;
};

}  // namespace dnstest
