// The scripted next hop of the relay delivery's tests (see the header): one
// thread accepts, one thread per connection reads lines and answers from the
// script; a stalled session waits until the object is destroyed.
#include "gateway/tests/support/scripted_next_hop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace relaytest {

ScriptedNextHop::ScriptedNextHop() {
    m_Replies = {{kGreeting, "220 hop"}, {kHelo, "250 hop"}, {kMail, "250 ok"},
                 {kRcpt, "250 ok"},      {kData, "354 go"},  {kEnd, "250 queued"},
                 {kQuit, "221 bye"}};
    m_Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_Listener < 0 || bind(m_Listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(m_Listener, 64) != 0 ||
        getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("scripted next hop: cannot listen");
    m_Port = ntohs(address.sin_port);
    m_Acceptor = std::thread([this] { serve(); });
}

ScriptedNextHop::~ScriptedNextHop() {
    m_Stop = true;
    m_Acceptor.join();
    for (std::thread& t : m_Threads) t.join();
    close(m_Listener);
}

void ScriptedNextHop::Reply(Step step, const std::string& reply) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Replies[step] = reply;
}

void ScriptedNextHop::ReplyTo(const std::string& address, const std::string& reply) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_RcptReplies[address] = reply;
}

std::vector<ScriptedNextHop::Session> ScriptedNextHop::Sessions() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Sessions;
}

std::string ScriptedNextHop::replyFor(Step step, const std::string& argument) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (step == kRcpt) {
        auto found = m_RcptReplies.find(argument);
        if (found != m_RcptReplies.end())
            return found->second;
    }
    return m_Replies[step];
}

void ScriptedNextHop::serve() {
    while (!m_Stop) {
        pollfd p{m_Listener, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int fd = accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_Connections;
        m_Threads.emplace_back([this, fd] { session(fd); });
    }
}

void ScriptedNextHop::session(int fd) {
    size_t index;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Sessions.emplace_back();
        index = m_Sessions.size() - 1;
    }
    std::string buffer;
    bool inData = false;
    // Answers one step; false when the session is to end.
    auto answer = [&](Step step, const std::string& argument) {
        std::string reply = replyFor(step, argument);
        if (reply == kDrop)
            return false;
        if (reply == kStall) {
            while (!m_Stop) usleep(20000);
            return false;
        }
        if (reply == kTrickle) {
            while (!m_Stop && send(fd, "2", 1, MSG_NOSIGNAL) == 1) usleep(100000);
            return false;
        }
        reply += "\r\n";
        // Each part between pause markers in a send of its own.
        for (;;) {
            size_t shortAt = reply.find(kPause), longAt = reply.find(kLongPause);
            size_t at = std::min(shortAt, longAt);
            std::string part = reply.substr(0, at);
            if (send(fd, part.data(), part.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(part.size()))
                return false;
            if (at == std::string::npos)
                return true;
            bool isLong = at == longAt;
            reply.erase(0, at + strlen(isLong ? kLongPause : kPause));
            usleep(isLong ? 1200000 : 50000);
        }
    };
    bool alive = answer(kGreeting, "");
    while (alive && !m_Stop) {
        size_t end = buffer.find("\r\n");
        if (end == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char chunk[65536];
            ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                break;
            buffer.append(chunk, static_cast<size_t>(got));
            continue;
        }
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        std::lock_guard<std::mutex> guard(m_Lock);
        Session& s = m_Sessions[index];
        if (inData) {
            if (line == ".") {
                inData = false;
                m_Lock.unlock();
                alive = answer(kEnd, "");
                m_Lock.lock();
            } else {
                s.data += line + "\r\n";
            }
            continue;
        }
        s.commands.push_back(line);
        std::string verb = line.substr(0, 4);
        Step step = kHelo;
        std::string argument;
        if (verb == "HELO") step = kHelo;
        else if (verb == "MAIL") step = kMail;
        else if (verb == "RCPT") {
            step = kRcpt;
            size_t open = line.find('<'), close = line.rfind('>');
            if (open != std::string::npos && close != std::string::npos && close > open)
                argument = line.substr(open + 1, close - open - 1);
        } else if (verb == "DATA") step = kData;
        else if (verb == "QUIT") step = kQuit;
        m_Lock.unlock();
        std::string reply = replyFor(step, argument);
        alive = answer(step, argument);
        m_Lock.lock();
        if (step == kData && !reply.empty() && reply[0] == '3')
            inData = true;
        if (step == kQuit)
            alive = false;
    }
    close(fd);
}

}  // namespace relaytest
