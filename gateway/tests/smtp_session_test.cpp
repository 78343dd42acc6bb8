// The SMTP server and its receiving sessions, spoken to over loopback by a
// plain socket client: replies and states, what lands in the spool, bounded
// input, time-outs on the test clock, shutdown with clients connected, and
// the server's start, port change and refusal of a taken port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/config_store.h"
#include "gateway/smtp_server.h"
#include "gateway/smtp_session.h"
#include "gateway/spool_queue.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/mail_peers.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

// A port that was free a moment ago.
using gwtest::FreePort;

// A raw SMTP client: sends bytes, reads reply lines (with a bound, so a
// faulty server fails the test instead of hanging it).
class Client {
public:
    explicit Client(int port) {
        m_Fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{15, 0};
        setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_Connected = connect(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(m_Fd); }
    bool Connected() const { return m_Connected; }
    void Send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(m_Fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }
    void HalfClose() { shutdown(m_Fd, SHUT_WR); }
    void SetReadTimeout(int seconds) {
        timeval tv{seconds, 0};
        setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    // The server closed the connection (a read saw its end).
    bool Closed() const { return m_Closed; }
    // One reply line with its CR LF; empty at the end of the connection.
    std::string Reply() {
        for (;;) {
            size_t end = m_Buffer.find("\r\n");
            if (end != std::string::npos) {
                std::string line = m_Buffer.substr(0, end + 2);
                m_Buffer.erase(0, end + 2);
                return line;
            }
            char chunk[4096];
            ssize_t n = recv(m_Fd, chunk, sizeof chunk, 0);
            if (n == 0)
                m_Closed = true;
            if (n <= 0)
                return std::string();
            m_Buffer.append(chunk, static_cast<size_t>(n));
        }
    }
    // Sends a command line and returns the reply.
    std::string Command(const std::string& line) {
        Send(line + "\r\n");
        return Reply();
    }

private:
    int m_Fd = -1;
    bool m_Connected = false;
    bool m_Closed = false;
    std::string m_Buffer;
};

// Headers of a complete message: without them the stored body gets its own
// Date, Message-Id and From lines.
const std::string kHeaders =
    "Date: Tue, 02 Jan 2024 09:00:00 +0000\r\nMessage-Id: <1@client.test>\r\n"
    "From: joe@example.com\r\n";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

class SmtpTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        // Texts the session uses as formats or replies.
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(
                         m_Dir + "/messages",
                         testsupport::NumberedCatalog(900, {{31, " %s"},
                                                            {41, " %d %s"},
                                                            {157, " %d"},
                                                            {631, " unknown\r\n"},
                                                            {632, " %s bye\r\n"}}),
                         900));
        m_Port = FreePort();
        Configure({});
        m_Fast = std::make_unique<CMessageQueue>("fastq", m_Spool.c_str());
        m_Slow = std::make_unique<CMessageQueue>("slowq", m_Spool.c_str());
        m_Server = std::make_unique<SMTP>(nullptr, m_Fast.get(), m_Slow.get(), m_Spool.c_str());
    }
    void TearDown() override {
        m_Server.reset();
        m_Fast.reset();
        m_Slow.reset();
        SpoolTest::TearDown();
    }

    // The system object's settings: the test's port, then extra.
    void Configure(std::vector<std::string> extra) {
        extra.insert(extra.begin(), "SMTPPort=" + std::to_string(m_Port));
        extra.push_back("SMTPIncoming=4");
        WriteConfig(extra);
    }

    void Start() {
        ASSERT_TRUE(m_Server->Start());
        m_Server->SetAddressCap(4);
        // These tests read what a session left in the spool: the delivery
        // workers end before any mail arrives, so none takes it away.
        ASSERT_TRUE(m_Server->SetHelperThreads(0));
    }

    // A connected client past the greeting and HELO.
    std::unique_ptr<Client> Greeted() {
        auto client = std::make_unique<Client>(m_Port);
        EXPECT_TRUE(client->Connected());
        EXPECT_TRUE(StartsWith(client->Reply(), "220 ")) << "greeting";
        EXPECT_TRUE(StartsWith(client->Command("HELO client.test"), "250 "));
        return client;
    }

    // The name a 250 acceptance reply gives.
    static std::string AcceptedName(const std::string& reply) {
        EXPECT_TRUE(StartsWith(reply, "250 M")) << reply;
        size_t end = reply.find(' ', 4);
        return reply.substr(4, end - 4);
    }

    // The body file of a message without the session's trace header (the
    // first header line and its folded continuations).
    std::string BodyAfterTrace(const std::string& name) {
        std::string body = testsupport::ReadWhole(SpoolPath(name + ".mes"));
        EXPECT_TRUE(StartsWith(body, "Received: ")) << body.substr(0, 80);
        size_t at = 0;
        do {
            at = body.find("\r\n", at) + 2;
        } while (at < body.size() && (body[at] == ' ' || body[at] == '\t'));
        return body.substr(at);
    }

    // Files left in the spool whose names start with "M".
    std::vector<std::string> SpoolMessages() {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(m_Spool)) {
            std::string n = e.path().filename().string();
            if (StartsWith(n, "M"))
                out.push_back(n);
        }
        return out;
    }

    int m_Port = 0;
    std::unique_ptr<CMessageQueue> m_Fast;
    std::unique_ptr<CMessageQueue> m_Slow;
    std::unique_ptr<SMTP> m_Server;
};

TEST_F(SmtpTest, SplitVerbAndHeloNameFollowTheirRules) {
    struct Case {
        std::string line, verb;
        size_t at;
    } cases[] = {
        {"mail FROM:<a@b>", "MAIL", 4},      {"rcpt\tTO:<a@b>", "RCPT", 4}, {"quit\r\n", "QUIT", 4},
        {"noop", "NOOP", std::string::npos}, {"ehlo a\tb", "EHLO", 4},  // the space comes first
    };
    for (const Case& c : cases) {
        std::string verb;
        EXPECT_EQ(c.at, CSmtpSession::splitVerb(c.line, verb)) << c.line;
        EXPECT_EQ(c.verb, verb);
    }
    EXPECT_EQ("a.bX-Evil: 1", CSmtpSession::CleanHeloName("a.b\r\nX-Evil: 1\x01\x7f"));
    EXPECT_EQ(CSmtpSession::kMaxHeloName,
              CSmtpSession::CleanHeloName(std::string(5000, 'h')).size());
}

TEST_F(SmtpTest, RepliesFollowTheSessionStates) {
    Start();
    Client client(m_Port);
    std::string greeting = client.Reply();
    EXPECT_TRUE(StartsWith(greeting, "220 ")) << greeting;
    EXPECT_NE(std::string::npos, greeting.find(" SMTP ZELORM 2.1 bld 63; ")) << greeting;
    struct Step {
        const char* command;
        const char* reply;
    } steps[] = {
        {"NOOP", "250 OK\r\n"},
        {"RCPT TO:<a@example.com>", "503 Need MAIL before RCPT\r\n"},
        {"DATA", "503 Need MAIL command\r\n"},
        {"EXPN staff", "502 Sorry, we do not allow this operation\r\n"},
        {"TURN", "502 Sorry, we do not allow this operation\r\n"},
        {"VRFY joe", "250 <joe>\r\n"},
        {"VRFY <joe@x>", "250 <joe@x>\r\n"},
        {"WHAT now", "M631 unknown\r\n"},
        // MAIL without HELO is accepted (only a record notes it).
        {"mail from:<Joe@Example.COM>", "250 <Joe@Example.COM>... Sender ok\r\n"},
        {"MAIL FROM:<x@y.org>", "503 Nested MAIL command\r\n"},
        {"DATA", "503 Need RCPT (recipient)\r\n"},
        {"RCPT <a@b.org>", "501 Syntax error in parameters\r\n"},
        {"RCPT TO:", "553 Requested action not taken: mailbox name not allowed\r\n"},
        {"RCPT TO:<>", "553 Requested action not taken: mailbox name not allowed\r\n"},
        {"RCPT TO:joe@", "501 Syntax error in parameters, no path found\r\n"},
        {"rcpt to: <a@b.org>", "250 <a@b.org>... Recipient ok\r\n"},
        {"RSET", "250 Reset State\r\n"},
        {"RCPT TO:<c@d.org>", "503 Need MAIL before RCPT\r\n"},
        {"MAIL <x@y.org>", "501 Syntax error in parameters\r\n"},
        {"MAIL FROM:joe@", "501 Syntax error in parameters, no path found\r\n"},
        // Both spellings of the null sender are accepted.
        {"MAIL FROM:", "250 <>... Sender ok\r\n"},
        {"RSET", "250 Reset State\r\n"},
        {"MAIL FROM:<>", "250 <>... Sender ok\r\n"},
        {"EHLO other.test", "250 "},
    };
    for (const Step& s : steps) {
        std::string reply = client.Command(s.command);
        EXPECT_TRUE(StartsWith(reply, s.reply)) << s.command << " -> " << reply;
    }
    std::string quit = client.Command("QUIT");
    EXPECT_TRUE(StartsWith(quit, "M632 ")) << quit;
    EXPECT_NE(std::string::npos, quit.find(" bye\r\n"));
    EXPECT_EQ("", client.Reply());  // the server closed the connection
    // Every reserved message of an unfinished transaction is gone.
    EXPECT_TRUE(SpoolMessages().empty());
}

TEST_F(SmtpTest, AcceptedMessageIsQueuedWithEnvelopeAndBodyAsSent) {
    Start();
    auto client = Greeted();
    ASSERT_TRUE(StartsWith(client->Command("MAIL FROM:<joe@example.com>"), "250 "));
    ASSERT_TRUE(StartsWith(client->Command("RCPT TO:<ann@example.org>"), "250 "));
    ASSERT_TRUE(StartsWith(client->Command("RCPT TO:<bob@example.net>"), "250 "));
    ASSERT_EQ("354 Enter mail, end with \".\" on a line by itself\r\n", client->Command("DATA"));
    // Dot-stuffed lines lose one dot; a bare LF does not end a line; a NUL
    // byte becomes a space; a line of a dot and a space keeps the space.
    std::string sent =
        kHeaders + "Subject: hello\r\n\r\n..\r\n. \r\n..leading\r\nbare\nLF\r\nnul@x\r\nend\r\n";
    sent[sent.find("nul") + 3] = '\0';
    client->Send(sent + ".\r\n");
    std::string name = AcceptedName(client->Reply());

    EXPECT_EQ(kHeaders + "Subject: hello\r\n\r\n.\r\n \r\n.leading\r\nbare\nLF\r\nnul x\r\nend\r\n",
              BodyAfterTrace(name));
    std::string body = testsupport::ReadWhole(SpoolPath(name + ".mes"));
    EXPECT_NE(std::string::npos, body.find("client.test")) << body.substr(0, 200);
    EXPECT_EQ(std::string::npos, body.find(" for <"));  // two recipients: no "for"

    std::string envelope = testsupport::ReadWhole(SpoolPath(name + ".env"));
    EXPECT_NE(std::string::npos, envelope.find("\r\njoe@example.com\r\n1 127.0.0.1\r\n"));
    EXPECT_NE(std::string::npos, envelope.find("\r\nann@example.org\r\n"));
    EXPECT_NE(std::string::npos, envelope.find("\r\nbob@example.net\r\n"));

    std::string index = spooltest::LiveIndex(SpoolPath("fastq"));
    EXPECT_NE(std::string::npos, index.find(" 0 " + name + "\r\n")) << index;
    EXPECT_TRUE(m_Fast->Holds(name.c_str()));
    // The wake event was set for the delivery workers.
    EXPECT_EQ(CVornEvent::kSignalled, m_Server->GetWakeEvent().WaitSeconds(10));

    // A second transaction with one recipient gets the "for" part.
    ASSERT_TRUE(StartsWith(client->Command("MAIL FROM:<>"), "250 "));
    ASSERT_TRUE(StartsWith(client->Command("RCPT TO:<cy@example.org>"), "250 "));
    ASSERT_TRUE(StartsWith(client->Command("DATA"), "354 "));
    client->Send("\r\nx\r\n.\r\n");
    std::string second = AcceptedName(client->Reply());
    EXPECT_NE(std::string::npos,
              testsupport::ReadWhole(SpoolPath(second + ".mes")).find(" for <cy@example.org>"));
    EXPECT_TRUE(StartsWith(client->Command("QUIT"), "M632"));
}

TEST_F(SmtpTest, HopCountAboveThirtyIsRefusedAndTheTransactionEnds) {
    Start();
    auto client = Greeted();
    for (int own : {29, 30}) {
        ASSERT_TRUE(StartsWith(client->Command("MAIL FROM:<a@b.org>"), "250 "));
        ASSERT_TRUE(StartsWith(client->Command("RCPT TO:<c@d.org>"), "250 "));
        ASSERT_TRUE(StartsWith(client->Command("DATA"), "354 "));
        std::string data;
        for (int i = 0; i < own; ++i) data += "Received: from hop" + std::to_string(i) + "\r\n";
        client->Send(data + "\r\nbody\r\n.\r\n");
        std::string reply = client->Reply();
        if (own == 29) {
            EXPECT_TRUE(StartsWith(reply, "250 M")) << reply;
        } else {
            EXPECT_EQ("554 Transaction failed -- too many hops\r\n", reply);
            // The state went back to 1 and the message is gone.
            EXPECT_TRUE(StartsWith(client->Command("RCPT TO:<c@d.org>"), "503 "));
        }
    }
    EXPECT_EQ(2u, SpoolMessages().size());  // the accepted one's envelope and body
}

TEST_F(SmtpTest, LongLinesAreBoundedYetDataLinesAreStoredWhole) {
    Start();
    auto client = Greeted();
    // A command line over the bound is read to its end and refused.
    EXPECT_EQ("500 Line too long\r\n",
              client->Command("MAIL FROM:<" + std::string(100000, 'a') + "@b.org>"));
    EXPECT_EQ("250 OK\r\n", client->Command("NOOP"));
    ASSERT_TRUE(StartsWith(client->Command("MAIL FROM:<a@b.org>"), "250 "));
    ASSERT_TRUE(StartsWith(client->Command("RCPT TO:<c@d.org>"), "250 "));
    ASSERT_TRUE(StartsWith(client->Command("DATA"), "354 "));
    std::string longLine = "." + std::string(200000, 'x') + "\r\n";
    std::string lines = kHeaders + "Subject: long\r\n\r\n" + longLine + std::string(4094, 'y') +
                        "\r\n" + "short\r\n";
    client->Send(lines + ".\r\n");
    std::string name = AcceptedName(client->Reply());
    std::string expected = kHeaders + "Subject: long\r\n\r\n" + longLine.substr(1) +
                           std::string(4094, 'y') + "\r\nshort\r\n";
    std::string stored = BodyAfterTrace(name);
    EXPECT_EQ(expected.size(), stored.size()) << stored.substr(0, 200);
    EXPECT_TRUE(expected == stored)
        << "first difference at "
        << std::mismatch(expected.begin(), expected.end(), stored.begin(), stored.end()).first -
               expected.begin();
}

TEST_F(SmtpTest, AReadEndingWithoutCrLfIsNothingReceived) {
    Start();
    struct Case {
        const char* name;
        std::string beforeData;  // sent after the transaction began
        bool inData;
    } cases[] = {
        {"partial command", "QUIT", false},    // no CR LF: not a command
        {"bare LF command", "QUIT\n", false},  // LF alone ends nothing
        {"partial data line", "line one\r\npart", true},
        {"end of data without CR LF", "x\r\n.", true},
    };
    for (const Case& c : cases) {
        auto client = Greeted();
        ASSERT_TRUE(StartsWith(client->Command("MAIL FROM:<a@b.org>"), "250 "));
        ASSERT_TRUE(StartsWith(client->Command("RCPT TO:<c@d.org>"), "250 "));
        if (c.inData) {
            ASSERT_TRUE(StartsWith(client->Command("DATA"), "354 "));
        }
        client->Send(c.beforeData);
        client->HalfClose();
        EXPECT_EQ("", client->Reply()) << c.name;  // no reply: the session ended
        // The session has ended when the reserved message is gone.
        for (int i = 0; i < 100 && !SpoolMessages().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(SpoolMessages().empty()) << c.name;
        EXPECT_TRUE(m_Fast->Snapshot().empty()) << c.name;
    }
}

// Silent clients, and clients that trickle a byte now and then (which must
// not stretch the time-out), in a command and in the data.
TEST_F(SmtpTest, SilentAndTricklingClientsAreDisconnectedAtTheirTimeOut) {
    Start();
    for (auto [inData, trickle] : {std::pair{false, false}, std::pair{true, false},
                                   std::pair{false, true}, std::pair{true, true}}) {
        auto client = Greeted();
        if (inData) {
            ASSERT_TRUE(StartsWith(client->Command("MAIL FROM:<a@b.org>"), "250 "));
            ASSERT_TRUE(StartsWith(client->Command("RCPT TO:<c@d.org>"), "250 "));
            ASSERT_TRUE(StartsWith(client->Command("DATA"), "354 "));
            client->Send("started\r\n");
        } else {
            EXPECT_EQ("250 OK\r\n", client->Command("NOOP"));
        }
        std::atomic<bool> stop{false};
        std::thread trickler;
        if (trickle) {
            trickler = std::thread([&] {
                while (!stop) {
                    client->Send("x");
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                }
            });
        }
        // Past the time-out on the test clock: the session sees it at its
        // next one-second slice and ends without a reply. The clock moves
        // again should the session have begun its wait after the first move.
        client->SetReadTimeout(3);
        int timeout = inData ? SMTP::kDataTimeoutSeconds : SMTP::kCommandTimeoutSeconds;
        for (int i = 0; i < 5 && !client->Closed(); ++i) {
            SetClock(m_Now + timeout + 1);
            EXPECT_EQ("", client->Reply()) << inData;
        }
        EXPECT_TRUE(client->Closed()) << inData << trickle;
        stop = true;
        if (trickler.joinable())
            trickler.join();
        for (int i = 0; i < 100 && !SpoolMessages().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(SpoolMessages().empty());
    }
}

TEST_F(SmtpTest, LockedClientGetsTheLockedReply) {
    Configure({"AllowSMTP=0"});
    Start();
    auto client = Greeted();
    EXPECT_EQ("451 Requested action aborted: client or user currently locked\r\n",
              client->Command("MAIL FROM:<a@b.org>"));
    EXPECT_TRUE(StartsWith(client->Command("RCPT TO:<c@d.org>"), "503 "));  // state unchanged
}

TEST_F(SmtpTest, StopSays421ToClientsInASessionAndEndsPromptly) {
    Start();
    auto idle = Greeted();
    auto inData = Greeted();
    ASSERT_TRUE(StartsWith(inData->Command("MAIL FROM:<a@b.org>"), "250 "));
    ASSERT_TRUE(StartsWith(inData->Command("RCPT TO:<c@d.org>"), "250 "));
    ASSERT_TRUE(StartsWith(inData->Command("DATA"), "354 "));
    inData->Send("half a messa");
    m_Server->Stop();
    EXPECT_TRUE(StartsWith(idle->Reply(), "421 ")) << "idle client";
    EXPECT_TRUE(StartsWith(inData->Reply(), "421 ")) << "client in DATA";
    EXPECT_TRUE(SpoolMessages().empty());  // the unfinished message is deleted
    m_Server->Stop();                      // a second Stop is harmless
}

TEST_F(SmtpTest, StartRefusesATakenPortAndChangePortChecksTheSetting) {
    // The port is taken: Start fails.
    int fd = gwtest::OccupyPort(m_Port);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(m_Server->Start());
    EXPECT_FALSE(m_Server->IsRunning());
    close(fd);
    // Reconfigure on a server that never started tries Start again.
    EXPECT_EQ(kSmtpConfigDone, m_Server->Reconfigure());
    EXPECT_TRUE(m_Server->IsRunning());

    struct Case {
        std::string port;
        int result;
    } cases[] = {
        {"70000", kSmtpConfigNotStarted},
        {"0", kSmtpConfigNotStarted},
        {std::to_string(m_Port), kSmtpConfigDone},
    };
    for (const Case& c : cases) {
        CVornString value(c.port.c_str());
        ASSERT_EQ(0, CVornConfigStore::SetAttribute('S', nullptr, "SMTPPort", value, 0));
        EXPECT_EQ(c.result, m_Server->changePort()) << c.port;
        CVornString now;
        ASSERT_EQ(0, CVornConfigStore::GetObjectSetting('S', nullptr, "SMTPPort", now));
        EXPECT_EQ(std::to_string(m_Port), now.CStr()) << c.port;
    }
    // A new free port moves the listener.
    int other = FreePort();
    CVornString value(std::to_string(other).c_str());
    ASSERT_EQ(0, CVornConfigStore::SetAttribute('S', nullptr, "SMTPPort", value, 0));
    EXPECT_EQ(kSmtpConfigDone, m_Server->Reconfigure());
    EXPECT_EQ(other, m_Server->GetPort());
    {
        Client client(other);
        EXPECT_TRUE(StartsWith(client.Reply(), "220 "));
    }
    // A stopped server stays stopped: a reconfiguration opens no listener
    // on a new port.
    m_Server->Stop();
    const int later = FreePort();
    CVornString laterValue(std::to_string(later).c_str());
    ASSERT_EQ(0, CVornConfigStore::SetAttribute('S', nullptr, "SMTPPort", laterValue, 0));
    EXPECT_EQ(kSmtpConfigPortNotBound, m_Server->Reconfigure());
    EXPECT_EQ(other, m_Server->GetPort());
    EXPECT_FALSE(gwtest::WaitForListener("127.0.0.1", later, std::chrono::milliseconds(300)));
}

// The relay check runs when the message is stored, not at RCPT: a client
// that may not relay still gets its message accepted, and the remote
// recipient is failed (a return is due) while a local one stays pending.
TEST_F(SmtpTest, RelayCheckSettlesRecipientsAfterAcceptance) {
    Configure({"RelayMode=N"});
    Start();
    auto client = Greeted();
    ASSERT_TRUE(StartsWith(client->Command("MAIL FROM:<joe@example.com>"), "250 "));
    EXPECT_TRUE(StartsWith(client->Command("RCPT TO:<ann@example.org>"), "250 "));
    EXPECT_TRUE(StartsWith(client->Command("RCPT TO:<postmaster>"), "250 "));
    ASSERT_TRUE(StartsWith(client->Command("DATA"), "354 "));
    client->Send(kHeaders + "\r\nbody\r\n.\r\n");
    std::string name = AcceptedName(client->Reply());
    std::string envelope = testsupport::ReadWhole(SpoolPath(name + ".env"));
    EXPECT_NE(std::string::npos, envelope.find("\r\n2 8 0 0 1\r\nann@example.org\r\n")) << envelope;
    EXPECT_NE(std::string::npos, envelope.find("\r\n1 0 0 0 0\r\npostmaster")) << envelope;
}

}  // namespace
