#include "gateway/relay_delivery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gateway/pipeline_records.h"
#include "gateway/queued_message.h"
#include "gateway/tests/support/scripted_next_hop.h"
#include "gateway/tests/support/spool_fixture.h"
#include "net/tcp_socket.h"

namespace {

using relaytest::ScriptedNextHop;
using Step = ScriptedNextHop::Step;

std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

class RelayDeliveryTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        spooltest::SpoolTest::SetUp();
        m_Relay.SetReplyTimeout(2);
    }

    void UseSmartHost(int port) {
        WriteConfig({"RelayHost=127.0.0.1", "RelayHostPort=" + std::to_string(port)});
    }

    // A spooled message from s@a.org to the addresses (pending, never tried).
    std::unique_ptr<CQueuedMessage> NewMessage(const std::vector<std::string>& recipients,
                                               const std::string& body = "Subject: t\r\n\r\nhi\r\n",
                                               const char* sender = "s@a.org") {
        auto message = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, message->Open(nullptr, m_Spool.c_str()));
        EXPECT_EQ(0, message->Lock());
        EXPECT_EQ(0, message->SetSender(sender));
        // Records are put at the head: add in reverse to keep the given order.
        for (auto it = recipients.rbegin(); it != recipients.rend(); ++it)
            EXPECT_EQ(0, message->AddRecipient(it->c_str(), kRecipientPending, 0, 0));
        EXPECT_EQ(0, message->OpenBodyForWrite(2, 0));
        EXPECT_EQ(0, message->AppendBody(body.data(), static_cast<int>(body.size())));
        EXPECT_EQ(0, message->CloseBody());
        EXPECT_EQ(0, message->WriteEnvelope());
        return message;
    }

    // address -> "status/reason/attempts/text"
    static std::map<std::string, std::string> Outcome(CQueuedMessage& message) {
        std::map<std::string, std::string> out;
        for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next)
            out[r->m_Address] = std::to_string(r->m_Status) + "/" + std::to_string(r->m_Reason) +
                                "/" + std::to_string(r->m_Attempts) + "/" + r->m_StatusText;
        return out;
    }

    static int RcptCount(const ScriptedNextHop::Session& s) {
        int n = 0;
        for (const std::string& c : s.commands) n += c.rfind("RCPT To:<", 0) == 0;
        return n;
    }

    CPipelineRecords m_Records;
    CRelayDelivery m_Relay{m_Records, "gw.test"};
};

TEST_F(RelayDeliveryTest, SmartHostGetsTheExactCommandsAndCrLfBody) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    // Bare LF lines, a leading dot and a last line without an end.
    const std::string head =
        "From: s@a.org\r\nDate: Wed, 03 Jan 2024 10:00:00 GMT\r\nMessage-Id: <1@a.org>\r\n"
        "Subject: t\r\n\r\n";
    auto message = NewMessage({"r1@x.org", "r2@x.org"}, head + ".hidden\r\nbare\n..two\r\nlast");
    EXPECT_EQ(0, m_Relay.DeliverRemote(*message));

    auto sessions = hop.Sessions();
    ASSERT_EQ(1u, sessions.size());
    std::vector<std::string> expected = {"HELO gw.test", "MAIL From:<s@a.org>",
                                         "RCPT To:<r1@x.org>", "RCPT To:<r2@x.org>", "DATA",
                                         "QUIT"};
    EXPECT_EQ(expected, sessions[0].commands);
    EXPECT_EQ(head + "..hidden\r\nbare\r\n...two\r\nlast\r\n", sessions[0].data);
    EXPECT_EQ("3/0/0/", Outcome(*message)["r1@x.org"]);
    EXPECT_EQ("3/0/0/", Outcome(*message)["r2@x.org"]);

    // The envelope on disk says the same.
    CQueuedMessage reread;
    ASSERT_EQ(0, reread.Open(message->GetName(), m_Spool.c_str()));
    EXPECT_EQ(Outcome(*message), Outcome(reread));

    // A body of several sends: the same rules across the sends' borders and
    // inside a line longer than one send.
    std::string big = head, sent = head;
    for (int i = 0; i < 4000; ++i) {
        big += ".hidden\r\nbare\n..two\r\n";
        sent += "..hidden\r\nbare\r\n...two\r\n";
    }
    big += std::string(100000, 'y') + "\n.last";
    sent += std::string(100000, 'y') + "\r\n..last\r\n";
    auto large = NewMessage({"r1@x.org"}, big);
    EXPECT_EQ(0, m_Relay.DeliverRemote(*large));
    ASSERT_EQ(2u, hop.Sessions().size());
    std::string data = hop.Sessions()[1].data;
    EXPECT_TRUE(data == sent) << data.size() << " bytes sent, " << sent.size() << " expected";
}

TEST_F(RelayDeliveryTest, GeneratedMailHasAnEmptySender) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    auto message = NewMessage({"r@x.org"}, "x\r\n", "");
    m_Relay.DeliverRemote(*message);
    ASSERT_EQ(1u, hop.Sessions().size());
    EXPECT_EQ("MAIL From:<>", hop.Sessions()[0].commands.at(1));
}

TEST_F(RelayDeliveryTest, ManyRecipientsGoInTransactionsOfAHundred) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    std::vector<std::string> recipients;
    for (int i = 0; i < 250; ++i) recipients.push_back("r" + std::to_string(i) + "@x.org");
    auto message = NewMessage(recipients);
    EXPECT_EQ(0, m_Relay.DeliverRemote(*message));
    auto sessions = hop.Sessions();
    ASSERT_EQ(3u, sessions.size());
    EXPECT_EQ(100, RcptCount(sessions[0]));
    EXPECT_EQ(100, RcptCount(sessions[1]));
    EXPECT_EQ(50, RcptCount(sessions[2]));
    EXPECT_EQ(3, hop.Connections());
}

TEST_F(RelayDeliveryTest, EachDomainGetsItsOwnTransactionByRelayRoute) {
    ScriptedNextHop first, second;
    std::string routes = "x.org -> 127.0.0.1:" + std::to_string(first.Port()) + "\x1C" +
                         "y.org -> [127.0.0.1]:" + std::to_string(second.Port());
    WriteConfig({"RelayRouting=" + routes});
    auto message = NewMessage({"a@x.org", "b@y.org", "c@X.ORG"});
    EXPECT_EQ(0, m_Relay.DeliverRemote(*message));
    ASSERT_EQ(1u, first.Sessions().size());
    ASSERT_EQ(1u, second.Sessions().size());
    EXPECT_EQ(2, RcptCount(first.Sessions()[0]));
    EXPECT_EQ("RCPT To:<b@y.org>", second.Sessions()[0].commands.at(2));
}

TEST_F(RelayDeliveryTest, ARecipientIsRetriedOnlyAfterFiveMinutes) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    auto message = NewMessage({"early@x.org", "due@x.org"});
    for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next)
        r->m_LastAttempt = m_Now - (r->m_Address == "early@x.org" ? 299 : 300);
    EXPECT_EQ(1, m_Relay.DeliverRemote(*message));
    ASSERT_EQ(1u, hop.Sessions().size());
    EXPECT_EQ(1, RcptCount(hop.Sessions()[0]));
    EXPECT_EQ("1/0/0/", Outcome(*message)["early@x.org"]);
    EXPECT_EQ("3/0/0/", Outcome(*message)["due@x.org"]);
}

// One failing step at a time; both recipients share a destination, so a
// failure of the session settles both, and a failure of the data step both.
TEST_F(RelayDeliveryTest, EachStepsRefusalsAndTemporaryFailuresSettleTheRecipients) {
    struct Case {
        Step step;
        const char* reply;
        const char* first;   // outcome of r1@x.org
        const char* second;  // outcome of r2@x.org
    } cases[] = {
        {Step::kGreeting, "554 go away", "2/0/1/554 go away", "2/0/1/554 go away"},
        {Step::kGreeting, "421 busy", "1/0/1/", "1/0/1/"},
        {Step::kGreeting, ScriptedNextHop::kDrop, "1/0/1/", "1/0/1/"},
        {Step::kHelo, "501 bad helo", "2/0/1/501 bad helo", "2/0/1/501 bad helo"},
        {Step::kMail, "553 sender refused", "2/0/1/553 sender refused",
         "2/0/1/553 sender refused"},
        {Step::kMail, "451 later", "1/0/1/", "1/0/1/"},
        {Step::kMail, "x?? nonsense", "1/0/1/", "1/0/1/"},
        {Step::kRcpt, "550 no such user", "2/2/1/550 no such user", "2/2/1/550 no such user"},
        {Step::kRcpt, "450 try later", "1/0/1/", "1/0/1/"},
        {Step::kData, "554 no data", "2/0/0/554 no data", "2/0/0/554 no data"},
        {Step::kData, "451 no room", "1/0/1/", "1/0/1/"},
        {Step::kEnd, "552 too big", "2/0/0/552 too big", "2/0/0/552 too big"},
        {Step::kEnd, "452 full", "1/0/1/", "1/0/1/"},
        {Step::kEnd, "354 odd", "1/0/1/", "1/0/1/"},
        {Step::kEnd, ScriptedNextHop::kDrop, "1/0/1/", "1/0/1/"},
        {Step::kQuit, "500 whatever", "3/0/0/", "3/0/0/"},
    };
    for (const Case& c : cases) {
        ScriptedNextHop hop;
        UseSmartHost(hop.Port());
        hop.Reply(c.step, c.reply);
        auto message = NewMessage({"r1@x.org", "r2@x.org"});
        m_Relay.DeliverRemote(*message);
        auto outcome = Outcome(*message);
        EXPECT_EQ(c.first, outcome["r1@x.org"]) << c.step << " " << c.reply;
        EXPECT_EQ(c.second, outcome["r2@x.org"]) << c.step << " " << c.reply;
        EXPECT_EQ(1, hop.Connections()) << c.step << " " << c.reply;
    }
}

TEST_F(RelayDeliveryTest, OneRefusedRecipientLeavesTheOthersDelivered) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    hop.ReplyTo("bad@x.org", "550 5.1.1 unknown");
    auto message = NewMessage({"good@x.org", "bad@x.org", "fine@x.org", "a@"});
    m_Relay.DeliverRemote(*message);
    auto outcome = Outcome(*message);
    EXPECT_EQ("3/0/0/", outcome["good@x.org"]);
    EXPECT_EQ("2/2/1/550 5.1.1 unknown", outcome["bad@x.org"]);
    EXPECT_EQ("3/0/0/", outcome["fine@x.org"]);
    EXPECT_EQ("2/3/0/", outcome["a@"]);
    EXPECT_EQ(3, RcptCount(hop.Sessions().at(0)));
}

TEST_F(RelayDeliveryTest, MultiLineRepliesAreJoinedAndBounded) {
    // In one segment, and over several: lines and a CR LF split between
    // segments, one of them past a one-second read slice.
    const std::string pause = ScriptedNextHop::kPause, longPause = ScriptedNextHop::kLongPause;
    for (const std::string& rcptReply : {std::string("550-first\r\n550-second\r\n550 last"),
                                         "550-fi" + pause + "rst\r" + longPause + "\n550-sec" +
                                             pause + "ond\r\n" + pause + "550 last"}) {
        ScriptedNextHop hop;
        UseSmartHost(hop.Port());
        hop.Reply(Step::kRcpt, rcptReply);
        auto message = NewMessage({"r@x.org"});
        m_Relay.DeliverRemote(*message);
        EXPECT_EQ("2/2/1/550-first 550-second 550 last", Outcome(*message)["r@x.org"]) << rcptReply;
    }

    // A greeting that never ends (more lines than a reply may hold) and one
    // longer than a reply may be: temporary failures, nothing stored whole.
    std::string manyLines, longLine = "554 " + std::string(CRelayDelivery::kMaxReplyLength, 'x');
    for (int i = 0; i < CRelayDelivery::kMaxReplyLines + 5; ++i) manyLines += "554-more\r\n";
    manyLines += "554 end";
    for (const std::string& greeting : {manyLines, longLine}) {
        ScriptedNextHop bad;
        UseSmartHost(bad.Port());
        bad.Reply(Step::kGreeting, greeting);
        auto other = NewMessage({"r@x.org"});
        m_Relay.DeliverRemote(*other);
        EXPECT_EQ("1/0/1/", Outcome(*other)["r@x.org"]);
    }
}

TEST_F(RelayDeliveryTest, NoHostAcceptingAConnectionDefersWithItsText) {
    int closedPort;
    {
        ScriptedNextHop gone;
        closedPort = gone.Port();
    }
    UseSmartHost(closedPort);
    auto message = NewMessage({"r1@x.org", "r2@x.org"});
    EXPECT_EQ(2, m_Relay.DeliverRemote(*message));
    EXPECT_EQ("1/0/1/", Outcome(*message)["r1@x.org"]);
    EXPECT_EQ("1/0/1/", Outcome(*message)["r2@x.org"]);
    for (QueuedRecipient* r = message->GetRecipients(); r; r = r->m_Next)
        EXPECT_EQ(m_Now, r->m_LastAttempt);
}

TEST_F(RelayDeliveryTest, AStalledNextHopTimesOutAndAStopEndsTheWaitAtOnce) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    hop.Reply(Step::kMail, ScriptedNextHop::kStall);
    auto message = NewMessage({"r@x.org"});
    m_Relay.SetReplyTimeout(1);
    m_Relay.DeliverRemote(*message);
    EXPECT_EQ("1/0/1/", Outcome(*message)["r@x.org"]);

    // With the full reply time-out, the service's stop flag ends the wait,
    // also while the next hop trickles a reply line that never ends.
    for (const char* behaviour : {ScriptedNextHop::kStall, ScriptedNextHop::kTrickle}) {
        ScriptedNextHop slow;
        UseSmartHost(slow.Port());
        slow.Reply(Step::kMail, behaviour);
        std::atomic<bool> stop{false};
        CRelayDelivery relay(m_Records, "gw.test");
        relay.SetStopFlag(&stop);
        auto second = NewMessage({"r@x.org"});
        // Stopped once the MAIL command waits for its reply.
        std::thread stopper([&] {
            while (slow.Sessions().empty() || slow.Sessions()[0].commands.size() < 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            stop = true;
        });
        auto started = std::chrono::steady_clock::now();
        relay.DeliverRemote(*second);
        stopper.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << behaviour;
        EXPECT_EQ("1/0/1/", Outcome(*second)["r@x.org"]) << behaviour;
    }
}

TEST_F(RelayDeliveryTest, ATricklingReplyEndsAtItsDeadline) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    hop.Reply(Step::kHelo, ScriptedNextHop::kTrickle);
    auto message = NewMessage({"r@x.org"});
    m_Relay.SetReplyTimeout(1);
    auto started = std::chrono::steady_clock::now();
    m_Relay.DeliverRemote(*message);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ("1/0/1/", Outcome(*message)["r@x.org"]);
}

TEST_F(RelayDeliveryTest, ABodyLineLikeAMailboxSeparatorDoesNotEndTheBody) {
    ScriptedNextHop hop;
    UseSmartHost(hop.Port());
    const std::string body =
        "From: s@a.org\r\nDate: Wed, 03 Jan 2024 10:00:00 GMT\r\nMessage-Id: <1@a.org>\r\n\r\n"
        "quoted:\r\nFrom joe@example.org Wed Jan  3 10:00:00 2024\r\nSubject: not a header\r\n"
        "tail\r\n";
    auto message = NewMessage({"r@x.org"}, body);
    EXPECT_EQ(0, m_Relay.DeliverRemote(*message));
    ASSERT_EQ(1u, hop.Sessions().size());
    EXPECT_EQ(body, hop.Sessions()[0].data);
}

TEST_F(RelayDeliveryTest, InterruptEndsAConnectThatHangs) {
    // A listener whose queue is full and that never accepts: further
    // connection attempts get no answer.
    ScriptedNextHop hop;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), length));
    ASSERT_EQ(0, listen(fd, 0));
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length));
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr*>(&address), length);
        fillers.push_back(c);
    }
    UseSmartHost(ntohs(address.sin_port));
    auto message = NewMessage({"r@x.org"});
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        m_Relay.Interrupt();
    });
    auto started = std::chrono::steady_clock::now();
    m_Relay.DeliverRemote(*message);
    interrupter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ("1/0/1/", Outcome(*message)["r@x.org"]);
    for (int c : fillers) close(c);
    close(fd);
}

TEST_F(RelayDeliveryTest, RoutesNameTheHostAndPortWithoutLookups) {
    WriteConfig({"RelayRouting=x.org -> [10.1.2.3]:2525\x1Cy.org -> 10.9.8.7",
                 "RelayHost=relay.example.net", "RelayHostPort=587"});
    struct Case {
        const char* domain;
        const char* used;
        const char* address;  // "" for a name resolved when connecting
        int port;
    } cases[] = {
        {"x.org", "10.1.2.3", "10.1.2.3", 2525},
        {"Y.ORG", "10.9.8.7", "10.9.8.7", 25},
        {"other.org", "relay.example.net", "", 587},
        {"[10.0.0.9]", "relay.example.net", "", 587},
    };
    for (const Case& c : cases) {
        CVornList<CVornHostAddress> hosts;
        CVornString destination(c.domain);
        ASSERT_EQ(kRouteFound, m_Relay.findRoute(hosts, destination)) << c.domain;
        EXPECT_EQ(c.used, Str(destination));
        ASSERT_EQ(1, hosts.m_Count);
        CVornHostAddress& host = hosts.m_Head->m_Element;
        CVornString text;
        if (*c.address) {
            host.GetAddressString(text);
            EXPECT_EQ(c.address, Str(text)) << c.domain;
        } else {
            EXPECT_EQ(0, host.GetAddressCount()) << c.domain;
        }
        EXPECT_EQ(c.port, host.GetPort()) << c.domain;
    }
    // Without a smart host, a bracketed address is used directly.
    WriteConfig({});
    CVornList<CVornHostAddress> hosts;
    CVornString destination("[10.0.0.9]");
    EXPECT_EQ(kRouteFound, m_Relay.findRoute(hosts, destination));
    EXPECT_EQ("10.0.0.9", Str(destination));
    EXPECT_EQ(25, hosts.m_Head->m_Element.GetPort());
}

}  // namespace
