// Relay delivery against real peers: Postfix's smtp-sink as the next hop on
// loopback (its dump file shows what arrived) and dnsmasq serving a test zone
// for the mail exchangers. Mail goes out by smart host, by relay route (an
// address, or a host name looked up as MX and then A), and by the domain's
// own MX records; a domain whose exchangers do not resolve waits, and a
// domain that does not exist fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/pipeline_records.h"
#include "gateway/queued_message.h"
#include "gateway/relay_delivery.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/mail_peers.h"
#include "gateway/tests/support/spool_fixture.h"
#include "net/dns_lookup.h"
#include "net/dns_resolver.h"

extern char** environ;

namespace {

constexpr const char* kSmtpSink = "/usr/sbin/smtp-sink";
constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

using gwtest::FreePort;

// A peer process with its output in a log file; ended and reaped with the
// object.
using Child = gwtest::PeerProcess;

// True once something accepts TCP connections at address:port (polled for
// at most 5 s).
bool WaitForListener(const char* address, unsigned short port) {
    for (int i = 0; i < 100; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address, &a.sin_addr);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The zone: mx.relay.test has an exchanger on 127.0.0.2 and its own address
// on 127.0.0.3 (where nothing listens); plain.relay.test has no MX and its
// address on 127.0.0.2; broken.relay.test has an exchanger without an
// address, and an address of its own on 127.0.0.2.
std::vector<std::string> Zone() {
    // Authoritative for the zone: the relay asks for authoritative answers,
    // also for names and types that do not exist.
    return {"--local=/relay.test/", "--auth-zone=relay.test",
            "--auth-server=ns.relay.test,127.0.0.1",
            "--mx-host=mx.relay.test,sink.relay.test,10",
            "--host-record=sink.relay.test,127.0.0.2",
            "--host-record=mx.relay.test,127.0.0.3",
            "--host-record=plain.relay.test,127.0.0.2",
            "--mx-host=broken.relay.test,nowhere.relay.test,10",
            "--host-record=broken.relay.test,127.0.0.2"};
}

class RelayDeliveryIntegrationTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        if (access(kSmtpSink, X_OK) != 0 || access(kDnsmasq, X_OK) != 0)
            GTEST_SKIP() << "smtp-sink (postfix) or dnsmasq (dnsmasq-base) is not installed";
        spooltest::SpoolTest::SetUp();
        // smtp-sink writes as the postfix user: its directory must be open to it.
        char tmpl[] = "/tmp/zelorm-sink-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_SinkDir = tmpl;
        chmod(m_SinkDir.c_str(), 0777);
        m_SinkPort = FreePort();
        std::vector<std::string> sink = {kSmtpSink, "-4", "-u", "postfix", "-D",
                                         m_SinkDir + "/dump",
                                         "127.0.0.2:" + std::to_string(m_SinkPort), "10"};
        m_Sink = std::make_unique<Child>(sink, m_Dir + "/sink.log");
        ASSERT_TRUE(WaitForListener("127.0.0.2", m_SinkPort)) << ReadFile(m_Dir + "/sink.log");

        unsigned short dnsPort = FreePort();
        std::vector<std::string> dns = {kDnsmasq, "--keep-in-foreground",
                                        "--port=" + std::to_string(dnsPort),
                                        "--listen-address=127.0.0.1", "--bind-interfaces",
                                        "--no-resolv", "--no-hosts", "--no-poll",
                                        "--conf-file=/dev/null", "--pid-file=",
                                        "--log-facility=-"};
        if (geteuid() == 0)
            dns.push_back("--user=root");
        for (const std::string& a : Zone()) dns.push_back(a);
        m_Dns = std::make_unique<Child>(dns, m_Dir + "/dnsmasq.log");
        std::ofstream(m_Dir + "/resolv.conf") << "nameserver 127.0.0.1:" << dnsPort << "\n";
        m_Resolv = std::make_unique<testsupport::ScopedEnv>("ZELORM_RESOLV_CONF",
                                                             m_Dir + "/resolv.conf");
        DnsStop();  // the next lookup reads this configuration
        // dnsmasq answers once it has bound its port.
        CVornHostAddress probe;
        bool answered = false;
        for (int i = 0; i < 50 && !answered; ++i) {
            DnsCacheFlush();
            answered = DnsLookupA(CVornString("plain.relay.test"), true, probe) == kDnsFound;
            if (!answered)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(answered) << ReadFile(m_Dir + "/dnsmasq.log");
        DnsCacheFlush();
        platform::SetTestTime(m_Now);
    }

    void TearDown() override {
        m_Sink.reset();
        m_Dns.reset();
        DnsStop();
        m_Resolv.reset();
        if (!m_SinkDir.empty())
            std::filesystem::remove_all(m_SinkDir);
        spooltest::SpoolTest::TearDown();
    }

    std::unique_ptr<CQueuedMessage> NewMessage(const std::vector<std::string>& recipients,
                                               const std::string& body) {
        auto message = std::make_unique<CQueuedMessage>();
        EXPECT_EQ(0, message->Open(nullptr, m_Spool.c_str()));
        EXPECT_EQ(0, message->Lock());
        EXPECT_EQ(0, message->SetSender("s@a.org"));
        for (const std::string& r : recipients)
            EXPECT_EQ(0, message->AddRecipient(r.c_str(), kRecipientPending, 0, 0));
        EXPECT_EQ(0, message->OpenBodyForWrite(2, 0));
        EXPECT_EQ(0, message->AppendBody(body.data(), static_cast<int>(body.size())));
        EXPECT_EQ(0, message->CloseBody());
        EXPECT_EQ(0, message->WriteEnvelope());
        return message;
    }

    static std::string Status(CQueuedMessage& message, const std::string& address) {
        for (QueuedRecipient* r = message.GetRecipients(); r; r = r->m_Next)
            if (r->m_Address == address)
                return std::to_string(r->m_Status) + "/" + std::to_string(r->m_Reason) + "/" +
                       std::to_string(r->m_Attempts);
        return "missing";
    }

    // The sink's dump once it holds text (smtp-sink writes it as the
    // transaction ends, after its reply).
    std::string Dump(const std::string& wanted) {
        std::string text;
        for (int i = 0; i < 100; ++i) {
            text = ReadFile(m_SinkDir + "/dump");
            if (text.find(wanted) != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return text;
    }

    std::string m_SinkDir;
    unsigned short m_SinkPort = 0;
    std::unique_ptr<Child> m_Sink, m_Dns;
    std::unique_ptr<testsupport::ScopedEnv> m_Resolv;
    CPipelineRecords m_Records;
    CRelayDelivery m_Relay{m_Records, "gw.test"};
};

const std::string kBody =
    "From: s@a.org\r\nTo: r@x.org\r\nSubject: relayed\r\n\r\nfirst line\r\n.dotted\r\nbare lf\n"
    "end\r\n";

TEST_F(RelayDeliveryIntegrationTest, SmartHostReceivesTheMessageWhole) {
    WriteConfig({"RelayHost=127.0.0.2", "RelayHostPort=" + std::to_string(m_SinkPort)});
    auto message = NewMessage({"r@x.org"}, kBody);
    EXPECT_EQ(0, m_Relay.DeliverRemote(*message));
    EXPECT_EQ("3/0/0", Status(*message, "r@x.org"));
    std::string dump = Dump("end");
    EXPECT_NE(std::string::npos, dump.find("X-Rcpt-Args: <r@x.org>")) << dump;
    EXPECT_NE(std::string::npos, dump.find("X-Mail-Args: <s@a.org>")) << dump;
    // The dump shows lines with their dot-stuffing undone.
    EXPECT_NE(std::string::npos,
              dump.find("\n\nfirst line\n.dotted\nbare lf\nend\n"))
        << dump;
}

TEST_F(RelayDeliveryIntegrationTest, RelayRoutesReachTheHostByAddressOrByName) {
    std::string port = std::to_string(m_SinkPort);
    WriteConfig({"RelayRouting=x.org -> [127.0.0.2]:" + port + "\x1C" +
                     "y.org -> plain.relay.test:" + port + "\x1C" + "z.org -> mx.relay.test:" +
                     port,
                 // Routes come before the smart host.
                 "RelayHost=127.0.0.3", "RelayHostPort=" + port});
    auto message = NewMessage({"a@x.org", "b@y.org", "c@z.org"}, kBody);
    EXPECT_EQ(0, m_Relay.DeliverRemote(*message));
    for (const char* r : {"a@x.org", "b@y.org", "c@z.org"}) EXPECT_EQ("3/0/0", Status(*message, r));
    std::string dump = Dump("<c@z.org>");
    for (const char* r : {"<a@x.org>", "<b@y.org>", "<c@z.org>"})
        EXPECT_NE(std::string::npos, dump.find(std::string("X-Rcpt-Args: ") + r)) << dump;
}

TEST_F(RelayDeliveryIntegrationTest, MailExchangersDecideAndTheirFailuresWait) {
    // The route names only the port-less domain: findRoute looks up its MX.
    struct Case {
        const char* domain;
        int result;
        const char* address;
    } cases[] = {
        {"mx.relay.test", kRouteFound, "127.0.0.2"},     // the exchanger, not its A record
        {"plain.relay.test", kRouteFound, "127.0.0.2"},  // no MX: its address
        {"broken.relay.test", kRouteTemporary, ""},      // MX without address: wait
        {"gone.relay.test", kRoutePermanent, ""},        // nothing at all
    };
    for (const Case& c : cases) {
        CVornList<CVornHostAddress> hosts;
        CVornString destination(c.domain);
        EXPECT_EQ(c.result, m_Relay.findRoute(hosts, destination)) << c.domain;
        if (!*c.address)
            continue;
        ASSERT_EQ(1, hosts.m_Count) << c.domain;
        CVornString text;
        hosts.m_Head->m_Element.GetAddressString(text);
        EXPECT_EQ(c.address, std::string(text.CStr())) << c.domain;
        EXPECT_EQ(25, hosts.m_Head->m_Element.GetPort()) << c.domain;
    }

    // Through a whole pass: the broken domain's recipients wait, the missing
    // domain's fail with reason 7.
    auto message = NewMessage({"a@broken.relay.test", "b@broken.relay.test",
                               "c@gone.relay.test"},
                              kBody);
    m_Relay.DeliverRemote(*message);
    EXPECT_EQ("1/0/1", Status(*message, "a@broken.relay.test"));
    EXPECT_EQ("1/0/1", Status(*message, "b@broken.relay.test"));
    EXPECT_EQ("2/7/1", Status(*message, "c@gone.relay.test"));
}

}  // namespace
