// Nothing acknowledged is lost: a client (Python's smtplib) sends a few
// hundred messages to the running gateway while the test kills the gateway
// with SIGKILL at random moments and starts it again on the same spool.
// Every message that got its "250" must reach the next hop (Postfix's
// smtp-sink). A message may arrive twice (the gateway died after the next
// hop took it but before it left the spool, or after it accepted a message
// whose 250 never reached the client, which then sent it again): such
// duplicates are allowed, counted and reported in the test's output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/mail_peers.h"

namespace {

using gwtest::DnsZone;
using gwtest::GatewayInstance;
using gwtest::PeerProcess;
using gwtest::RunningGateway;
using gwtest::SinkMessage;
using gwtest::SmtpSink;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

constexpr int kMessages = 300;

// The client: sends messages 0 .. count-1 in order (for at most limit
// seconds), one session each, and
// appends the number of each message answered "250" to the acknowledged
// file at once (before QUIT, which may meet a killed gateway). A failed
// attempt (refused connection, dropped session, any error reply) is tried
// again with the same number after a short pause.
const char* kClient = R"(import smtplib, sys, time
port, count, acked_path, limit = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
deadline = time.time() + limit
filler = ''.join('line %d of the body, some words to make it a kilobyte or so\r\n' % i for i in range(16))
n = 0
with open(acked_path, 'a') as acked:
    while n < count and time.time() < deadline:
        message = ('From: d@origin.test\r\nTo: r@dest.test\r\nSubject: durability %d\r\n'
                   'X-Seq: %d\r\n\r\n' % (n, n)) + filler
        try:
            s = smtplib.SMTP('127.0.0.1', port, timeout=20)
            s.helo('dur.client.test')
            s.sendmail('d@origin.test', ['r@dest.test'], message)
        except (OSError, smtplib.SMTPException):
            time.sleep(0.05)
            continue
        acked.write('%d\n' % n)
        acked.flush()
        n += 1
        try:
            s.quit()
        except (OSError, smtplib.SMTPException):
            pass
)";

// The X-Seq number of a message the sink received, or -1.
int Sequence(const SinkMessage& m) {
    size_t at = m.text.find("\nX-Seq: ");
    if (at == std::string::npos)
        return -1;
    return std::atoi(m.text.c_str() + at + 8);
}

class DurabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(gwtest::kSmtpSinkPath, X_OK) != 0 || access(gwtest::kDnsmasqPath, X_OK) != 0)
            GTEST_SKIP() << "smtp-sink (postfix) or dnsmasq (dnsmasq-base) is not installed";
        m_Port = gwtest::FreePort();
        m_Instance.InstallCatalogs();
        m_Sink = std::make_unique<SmtpSink>("127.0.0.2", 0, 128);
        ASSERT_TRUE(m_Sink->Started());
        // The client is allowed to relay by name; the zone answers at once.
        m_Zone = std::make_unique<DnsZone>(
            m_Instance.Dir(), "dur.test",
            std::vector<std::string>{"--host-record=client.dur.test,127.0.0.1"});
        ASSERT_TRUE(m_Zone->Started()) << ReadWhole(m_Instance.Path("dnsmasq.log"));
        m_Instance.WriteConfig({"DS,SMTPPort=" + std::to_string(m_Port) +
                                ",SMTPIncoming=8,SMTPOutgoing=4,RelayMode=H,"
                                "RelayAllowHosts=client.dur.test,RelayHost=" +
                                m_Sink->Address() +
                                ",RelayHostPort=" + std::to_string(m_Sink->Port())});
    }

    void TearDown() override {
        if (m_Gateway)
            m_Gateway->Stop();
    }

    // Starts the gateway (again) on the same spool; extra holds test
    // variables. A start that fails (the port still held for a moment) is
    // tried again.
    bool Start(std::map<std::string, std::string> extra = {}) {
        extra["ZELORM_RESOLV_CONF"] = m_Zone->ResolvConf();
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_Gateway = std::make_unique<RunningGateway>(
                m_Instance, extra, m_Instance.Path("run" + std::to_string(++m_Runs)));
            if (m_Gateway->WaitStarted())
                return true;
            m_Gateway->Kill();
        }
        return false;
    }

    int m_Port = 0;
    int m_Runs = 0;
    GatewayInstance m_Instance;
    std::unique_ptr<SmtpSink> m_Sink;
    std::unique_ptr<DnsZone> m_Zone;
    std::unique_ptr<RunningGateway> m_Gateway;
};

TEST_F(DurabilityTest, EveryAcknowledgedMessageArrivesThoughTheGatewayIsKilledAgainAndAgain) {
    ASSERT_TRUE(Start());
    std::string script = m_Instance.Path("client.py");
    std::string acked = m_Instance.Path("acked");
    WriteWhole(script, kClient);
    WriteWhole(acked, "");
    auto client = std::make_unique<PeerProcess>(
        std::vector<std::string>{gwtest::kPython, script, std::to_string(m_Port),
                                 std::to_string(kMessages), acked, "60"},
        m_Instance.Path("client.log"));
    ASSERT_TRUE(client->Started());

    // Kill and restart at random moments (every 0.05 to 0.6 s of the client
    // sending, start-up not counted) while the client sends.
    std::mt19937 random(static_cast<unsigned>(time(nullptr)));
    int kills = 0;
    auto running = [&] { return waitpid(client->Pid(), nullptr, WNOHANG) == 0; };
    bool clientDone = false;
    while (!clientDone) {
        auto pause = std::chrono::milliseconds(50 + random() % 550);
        auto until = std::chrono::steady_clock::now() + pause;
        while (std::chrono::steady_clock::now() < until && (clientDone = !running()) == false)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (clientDone)
            break;
        m_Gateway->Kill();
        ++kills;
        ASSERT_TRUE(Start()) << m_Gateway->Errors();
    }
    client.reset();

    std::set<int> acknowledged;
    std::string text = ReadWhole(acked);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        acknowledged.insert(std::atoi(text.c_str() + at));
    // The client stops after a minute even on a slow machine: a loaded one
    // gets fewer than the few hundred messages through, but the floor still
    // shows a test that proved nothing (a client that got nothing through).
    ASSERT_GE(acknowledged.size(), 30u) << ReadWhole(m_Instance.Path("client.log"));

    // A last run whose clock stands 2000 s ahead, so that a message
    // waiting in "slowq" (a recovered envelope) is due at once. A worker
    // that finished a retry waits to be woken: new mail wakes one, so a
    // small message is sent now and then until everything has arrived.
    m_Gateway->Kill();
    ASSERT_TRUE(Start({{"ZELORM_TEST_TIME", std::to_string(time(nullptr) + 2000)}}));
    std::string nudge = m_Instance.Path("nudge.eml");
    WriteWhole(nudge, "Subject: nudge\r\n\r\nnudge\r\n");
    std::map<int, int> copies;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    auto missing = [&] {
        copies.clear();
        for (const SinkMessage& m : m_Sink->Messages()) ++copies[Sequence(m)];
        size_t n = 0;
        for (int seq : acknowledged) n += copies.count(seq) == 0;
        return n;
    };
    while (missing() > 0 && std::chrono::steady_clock::now() < end) {
        gwtest::SendMail(m_Port, "nudge.client.test", "n@origin.test", {"n@dest.test"}, nudge,
                         m_Instance.Dir());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }

    size_t lost = missing();
    int duplicates = 0;
    for (const auto& [seq, n] : copies)
        if (seq >= 0 && n > 1)
            duplicates += n - 1;
    std::printf("durability: %zu messages acknowledged, %d kills, %zu lost, %d duplicates\n",
                acknowledged.size(), kills, lost, duplicates);
    RecordProperty("kills", kills);
    RecordProperty("duplicates", duplicates);
    EXPECT_GT(kills, 0);
    EXPECT_EQ(0u, lost);
    for (int seq : acknowledged)
        if (copies.count(seq) == 0)
            ADD_FAILURE() << "acknowledged but never delivered: message " << seq;
}

}  // namespace
