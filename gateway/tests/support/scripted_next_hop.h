// A scripted SMTP next hop on 127.0.0.1 for the relay delivery's tests: it
// answers each step of a session with the reply the test gives (or drops the
// connection, or stalls without answering), and keeps what every session
// sent: the command lines and the data bytes as received.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace relaytest {

class ScriptedNextHop {
public:
    // Steps of a session; RCPT replies may also be given per address.
    enum Step { kGreeting, kHelo, kMail, kRcpt, kData, kEnd, kQuit };
    // Special replies: close the connection at once, never answer, or send
    // one byte of a reply line every 100 ms without ever ending it.
    static constexpr const char* kDrop = "<drop>";
    static constexpr const char* kStall = "<stall>";
    static constexpr const char* kTrickle = "<trickle>";
    // Markers inside a reply: the bytes before one go out in a send of their
    // own, then the hop pauses 50 ms (kPause) or 1.2 s (kLongPause: longer
    // than one of the relay's one-second read slices).
    static constexpr const char* kPause = "<pause>";
    static constexpr const char* kLongPause = "<long pause>";

    struct Session {
        std::vector<std::string> commands;  // lines without CR LF
        std::string data;                   // bytes between DATA and the end mark, as sent
    };

    // Listens on a free loopback port; every step answers "250 ok" (greeting
    // "220 hop", DATA "354 go", QUIT "221 bye") until told otherwise.
    ScriptedNextHop();
    ~ScriptedNextHop();
    ScriptedNextHop(const ScriptedNextHop&) = delete;
    ScriptedNextHop& operator=(const ScriptedNextHop&) = delete;

    int Port() const { return m_Port; }
    void Reply(Step step, const std::string& reply);
    // The RCPT reply for one address (as between the angle brackets).
    void ReplyTo(const std::string& address, const std::string& reply);
    std::vector<Session> Sessions();
    int Connections() const { return m_Connections.load(); }

private:
    void serve();
    void session(int fd);
    std::string replyFor(Step step, const std::string& argument);

    int m_Listener = -1;
    int m_Port = 0;
    std::atomic<bool> m_Stop{false};
    std::atomic<int> m_Connections{0};
    std::mutex m_Lock;
    std::map<Step, std::string> m_Replies;
    std::map<std::string, std::string> m_RcptReplies;
    std::vector<Session> m_Sessions;
    std::vector<std::thread> m_Threads;
    std::thread m_Acceptor;
};

}  // namespace relaytest
