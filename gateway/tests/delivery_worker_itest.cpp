// The delivery workers of a running SMTP server: mail queued on "fastq"
// reaches a scripted next hop through a worker's thread, a temporary refusal
// is retried from "slowq" once the test clock passes the interval and a
// worker is woken, a changed worker count takes effect, and a stop while the
// next hop stalls ends within seconds.
#include <chrono>
#include <string>

#include "gateway/tests/support/delivery_fixture.h"

namespace {

using deliverytest::DeliveryTest;
using Step = relaytest::ScriptedNextHop::Step;

class DeliveryWorkerFlow : public DeliveryTest {
protected:
    void Start() {
        ASSERT_TRUE(m_Server->Start());
        ASSERT_TRUE(Eventually([this] {
            return m_Server->GetThreadCount(CVornTCPServer::kHelper) == 2;
        }));
    }

    // The sessions of the next hop that sent a message (got to DATA).
    int Deliveries() {
        int n = 0;
        for (const auto& s : m_Hop.Sessions())
            for (const std::string& c : s.commands) n += c == "DATA";
        return n;
    }
};

TEST_F(DeliveryWorkerFlow, QueuedMailReachesTheNextHopAndLeavesTheSpool) {
    Start();
    const std::string body =
        "From: s@a.org\r\nDate: Wed, 03 Jan 2024 10:00:00 GMT\r\nMessage-Id: <1@a.org>\r\n"
        "Subject: t\r\n\r\nhello\r\n";
    std::string name = Queue({{"r@x.org"}}, body);
    m_Server->WakeWorkers();
    ASSERT_TRUE(Eventually([&] { return !Spooled(name); }));
    auto sessions = m_Hop.Sessions();
    ASSERT_EQ(1u, sessions.size());
    EXPECT_EQ(body, sessions[0].data);
    EXPECT_TRUE(Eventually([&] { return Names(*m_Fast).empty(); }));
    EXPECT_TRUE(Names(*m_Slow).empty());
}

TEST_F(DeliveryWorkerFlow, TemporaryRefusalIsRetriedFromSlowqAfterTheInterval) {
    m_Hop.Reply(Step::kRcpt, "451 later");
    Start();
    const time_t queued = m_Now;
    std::string name = Queue({{"r@x.org"}});
    m_Server->WakeWorkers();
    // A move adds the "slowq" entry before it drops the "fastq" one.
    ASSERT_TRUE(Eventually([&] { return Names(*m_Slow).size() == 1 && Names(*m_Fast).empty(); }));
    EXPECT_TRUE(Spooled(name));
    EXPECT_EQ(0, Deliveries());

    m_Hop.Reply(Step::kRcpt, "250 ok");
    SetClock(queued + 901);
    m_Server->WakeWorkers();
    ASSERT_TRUE(Eventually([&] { return !Spooled(name); }));
    EXPECT_EQ(1, Deliveries());
    // The worker drops its entry and its count after the files: wait for it.
    EXPECT_TRUE(Eventually([&] {
        return Names(*m_Slow).empty() && m_Server->GetRetriesInProgress() == 0;
    }));
}

TEST_F(DeliveryWorkerFlow, ReconfigureStartsTheWorkersThatAreNowWanted) {
    Start();
    Configure({"SMTPOutgoing=4"});
    EXPECT_EQ(kSmtpConfigDone, m_Server->Reconfigure());
    EXPECT_EQ(4, m_Server->GetHelperThreadCount());
    EXPECT_TRUE(Eventually([this] {
        return m_Server->GetThreadCount(CVornTCPServer::kHelper) == 4;
    }));
}

TEST_F(DeliveryWorkerFlow, StopWhileTheNextHopStallsEndsWithinSecondsAndKeepsTheMail) {
    m_Hop.Reply(Step::kGreeting, relaytest::ScriptedNextHop::kStall);
    m_Server->SetRelayReplyTimeout(300);
    m_Relay = m_Server->NewRelay();
    Start();
    std::string name = Queue({{"r@x.org"}});
    m_Server->WakeWorkers();
    ASSERT_TRUE(Eventually([this] { return m_Hop.Connections() == 1; }));

    auto begin = std::chrono::steady_clock::now();
    m_Server->Stop();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(0, m_Server->GetThreadCount(CVornTCPServer::kHelper));

    // The recipient waits for a later run.
    EXPECT_TRUE(Spooled(name));
    EXPECT_EQ('1', Outcome(name)["r@x.org"][0]);
    EXPECT_EQ(1u, Names(*m_Fast).size() + Names(*m_Slow).size());
}

}  // namespace
