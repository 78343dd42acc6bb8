// The resolver against a real DNS server: dnsmasq on 127.0.0.1 at a free
// port, serving a test zone from its command line. Mail exchangers in
// preference order with their addresses, addresses, CNAME chains and their
// limit, reverse names, missing names, the cache and its expiry on a clock
// the test sets, and a server that has gone away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/dns_exchange.h"
#include "net/dns_lookup.h"
#include "net/dns_resolver.h"
#include "net/tests/dns_fake_server.h"
#include "net/tests/udp_fixture.h"
#include "platform/clock.h"

extern char** environ;

namespace {

constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

using Clock = std::chrono::steady_clock;

uint32_t Quad(const char* text) {
    int address = 0;
    EXPECT_TRUE(ParseDottedQuad(CVornString(text), &address)) << text;
    return static_cast<uint32_t>(address);
}

// "name [a,b]" of a host with its addresses, sorted (the order of a name's
// records is the server's choice).
std::string Show(CVornHostAddress& host) {
    CVornString name;
    host.GetName(name);
    std::vector<std::string> quads;
    CVornStringList addresses;
    if (host.GetAddressCount() > 0 && host.GetAddressStrings(addresses)) {
        CVornLockGuard guard(addresses.m_Lock);
        for (auto* node = addresses.m_Head; node; node = node->m_Next)
            quads.push_back(node->m_Element.CStr());
    }
    std::sort(quads.begin(), quads.end());
    std::string out = std::string(name.CStr()) + " [";
    for (size_t i = 0; i < quads.size(); ++i) out += (i ? "," : "") + quads[i];
    return out + "]";
}

// The test zone: two exchangers, a CNAME, chains of four and five steps, and
// a reverse name. Names of zone.test that are not here do not exist.
std::vector<std::string> ZoneArguments() {
    std::vector<std::string> args = {
        "--local=/zone.test/",
        "--local-ttl=60",
        "--mx-host=zone.test,mx2.zone.test,20",
        "--mx-host=zone.test,mx1.zone.test,10",
        "--host-record=mx1.zone.test,127.0.0.5",
        "--host-record=mx2.zone.test,127.0.0.6",
        "--host-record=mx2.zone.test,127.0.0.7",
        "--cname=alias.zone.test,mx1.zone.test",
        "--ptr-record=99.0.0.127.in-addr.arpa,named.zone.test",
    };
    for (int i = 0; i < 4; ++i)
        args.push_back("--cname=c" + std::to_string(i) + ".zone.test,c" + std::to_string(i + 1) +
                       ".zone.test");
    args.push_back("--host-record=c4.zone.test,127.0.0.8");
    for (int i = 0; i < 5; ++i)
        args.push_back("--cname=d" + std::to_string(i) + ".zone.test,d" + std::to_string(i + 1) +
                       ".zone.test");
    args.push_back("--host-record=d5.zone.test,127.0.0.9");
    return args;
}

// dnsmasq as a child process on 127.0.0.1:port, ended (and reaped) when the
// object goes, also when a test fails half-way.
class Dnsmasq {
public:
    Dnsmasq(unsigned short port, const std::string& logPath) : m_Port(port) {
        std::vector<std::string> args = {
            kDnsmasq,
            "--keep-in-foreground",
            "--port=" + std::to_string(port),
            "--listen-address=127.0.0.1",
            "--bind-interfaces",
            "--no-resolv",
            "--no-hosts",
            "--no-poll",
            "--conf-file=/dev/null",
            "--pid-file=",
            "--log-facility=-",
            "--log-queries=extra",  // names each asker's address and port
        };
        // As root it would otherwise change to an unprivileged user that
        // this sandbox may not have.
        if (geteuid() == 0)
            args.push_back("--user=root");
        for (const std::string& a : ZoneArguments()) args.push_back(a);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_Pid, kDnsmasq, &actions, nullptr, argv.data(), environ) != 0)
            m_Pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Dnsmasq() { Stop(); }
    Dnsmasq(const Dnsmasq&) = delete;
    Dnsmasq& operator=(const Dnsmasq&) = delete;

    // True once it answers a question of its zone (polled for at most 5 s).
    bool WaitUntilAnswering() {
        if (m_Pid <= 0)
            return false;
        const std::string query = dnstest::U16(0x5151) + dnstest::U16(0x0100) + dnstest::U16(1) +
                                  dnstest::U16(0) + dnstest::U16(0) + dnstest::U16(0) +
                                  dnstest::WireName("mx1.zone.test") + dnstest::U16(1) +
                                  dnstest::U16(1);
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = dnstest::LoopbackAddress(m_Port);
        bool answered = false;
        for (int i = 0; i < 50 && !answered; ++i) {
            sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buffer[600];
                answered = recv(fd, buffer, sizeof buffer, 0) > 0;
            }
            if (!answered && waitpid(m_Pid, nullptr, WNOHANG) == m_Pid) {
                m_Pid = -1;  // it has ended (its port taken, a bad option)
                break;
            }
        }
        close(fd);
        return answered;
    }

    // Ends the process: SIGTERM, then SIGKILL after 2 s; reaps it.
    void Stop() {
        if (m_Pid <= 0)
            return;
        kill(m_Pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(m_Pid, nullptr, WNOHANG) == m_Pid) {
                m_Pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
        m_Pid = -1;
    }

private:
    unsigned short m_Port;
    pid_t m_Pid = -1;
};

// One dnsmasq per test, at a port chosen once per suite and named by the
// resolver configuration (without search domains).
class DnsIntegrationTest : public udptest::UdpFixture {
protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/zelorm-dnsit-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        s_Dir = tmpl;
        UseNewPort();
        setenv("ZELORM_RESOLV_CONF", (s_Dir + "/resolv.conf").c_str(), 1);
        DnsStop();  // the next lookup reads this configuration
    }
    // A port reserved for this process, named in the resolver configuration.
    // Should the server still fail to start there, SetUp moves it to a new
    // one.
    static void UseNewPort() {
        s_Port = dnstest::DeadPort();
        std::ofstream conf(s_Dir + "/resolv.conf");
        conf << "nameserver 127.0.0.1:" << s_Port << "\nsearch zone.test\n";
    }
    static void TearDownTestSuite() {
        DnsStop();
        DnsSetQueryTimes(0, 0);
        unsetenv("ZELORM_RESOLV_CONF");
        unlink((s_Dir + "/resolv.conf").c_str());
        unlink((s_Dir + "/dnsmasq.log").c_str());
        rmdir(s_Dir.c_str());
    }

    void SetUp() override {
        if (access(kDnsmasq, X_OK) != 0)
            GTEST_SKIP() << kDnsmasq << " is not installed (Debian package dnsmasq-base)";
        UdpFixture::SetUp();
        platform::ClearTestTime();
        DnsSetQueryTimes(0, 0);  // the real wait (4 s) and deadline (40 s)
        DnsCacheFlush();
        m_Server.reset(new Dnsmasq(s_Port, s_Dir + "/dnsmasq.log"));
        for (int attempt = 0; attempt < 3 && !m_Server->WaitUntilAnswering(); ++attempt) {
            m_Server.reset();
            UseNewPort();
            DnsStop();
            m_Server.reset(new Dnsmasq(s_Port, s_Dir + "/dnsmasq.log"));
        }
        ASSERT_TRUE(m_Server->WaitUntilAnswering()) << ServerLog();
    }
    void TearDown() override {
        if (!m_Server)
            return;
        m_Server.reset();
        platform::ClearTestTime();
        UdpFixture::TearDown();
    }

    static std::string ServerLog() {
        std::ifstream in(s_Dir + "/dnsmasq.log");
        std::stringstream text;
        text << in.rdbuf();
        return "dnsmasq said:\n" + text.str();
    }

    static std::string s_Dir;
    static unsigned short s_Port;
    std::unique_ptr<Dnsmasq> m_Server;
};

std::string DnsIntegrationTest::s_Dir;
unsigned short DnsIntegrationTest::s_Port = 0;

TEST_F(DnsIntegrationTest, MailExchangersComeInPreferenceOrderWithTheirAddresses) {
    for (bool authoritative : {false, true}) {  // dnsmasq answers its zone with AA
        DnsCacheFlush();
        CVornList<CVornHostAddress> hosts;
        ASSERT_EQ(DnsLookupMX(CVornString("zone.test"), authoritative, hosts), kDnsFound)
            << authoritative;
        std::vector<std::string> shown;
        {
            CVornLockGuard guard(hosts.m_Lock);
            for (auto* node = hosts.m_Head; node; node = node->m_Next)
                shown.push_back(Show(node->m_Element));
        }
        EXPECT_EQ(shown, (std::vector<std::string>{"mx1.zone.test [127.0.0.5]",
                                                   "mx2.zone.test [127.0.0.6,127.0.0.7]"}))
            << authoritative;
    }
}

TEST_F(DnsIntegrationTest, AddressesAliasesAndReverseNamesResolve) {
    CVornHostAddress host;
    ASSERT_EQ(DnsLookupA(CVornString("mx1.zone.test"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "mx1.zone.test [127.0.0.5]");

    // A name without a dot takes the search domain.
    ASSERT_EQ(DnsLookupA(CVornString("mx2"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "mx2 [127.0.0.6,127.0.0.7]");

    ASSERT_EQ(DnsLookupA(CVornString("alias.zone.test"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "alias.zone.test [127.0.0.5]");
    CVornString canonical;
    ASSERT_TRUE(host.GetCanonicalName(canonical));
    EXPECT_STREQ(canonical.CStr(), "mx1.zone.test");

    // Four CNAME steps are followed; a fifth is taken as a loop.
    ASSERT_EQ(DnsLookupA(CVornString("c0.zone.test"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "c0.zone.test [127.0.0.8]");
    EXPECT_EQ(DnsLookupA(CVornString("d0.zone.test"), false, host), kDnsCnameLoop);
    EXPECT_EQ(EventsOf(215).size(), 1u);

    CVornString name;
    ASSERT_EQ(DnsLookupPTR(CVornHostAddressEntry(Quad("127.0.0.99")), false, name), kDnsFound);
    EXPECT_STREQ(name.CStr(), "named.zone.test");
    ASSERT_EQ(DnsLookupPTR(CVornHostAddressEntry(Quad("127.0.0.6")), false, name), kDnsFound);
    EXPECT_STREQ(name.CStr(), "mx2.zone.test");

    // Host addresses resolve through the same resolver.
    DnsInstallHostLookups();
    CVornHostAddress named("alias.zone.test", 25);
    CVornString text;
    ASSERT_TRUE(named.GetAddressString(text));
    EXPECT_STREQ(text.CStr(), "127.0.0.5");
}

TEST_F(DnsIntegrationTest, EachQueryReachesTheServerFromAPortOfItsOwn) {
    const size_t logStart = ServerLog().size();
    CVornHostAddress host;
    for (const char* name : {"mx2.zone.test", "alias.zone.test", "c4.zone.test", "d5.zone.test"})
        ASSERT_EQ(DnsLookupA(CVornString(name), false, host), kDnsFound) << name;
    EXPECT_EQ(DnsLookupA(CVornString("nothere.zone.test"), false, host), kDnsNotFound);

    // dnsmasq logs each question as "<serial> 127.0.0.1/<port> query[...]".
    std::vector<unsigned> ports;
    auto readPorts = [&] {
        ports.clear();
        std::istringstream lines(ServerLog().substr(logStart));
        for (std::string line; std::getline(lines, line);) {
            const size_t query = line.find(" query[");
            const size_t slash = line.rfind("127.0.0.1/", query);
            if (query != std::string::npos && slash != std::string::npos)
                ports.push_back(static_cast<unsigned>(std::stoul(line.substr(slash + 10))));
        }
        return ports.size() >= 6;  // nothere.zone.test was asked for A, then CNAME
    };
    ASSERT_TRUE(testsupport::Eventually(readPorts)) << ServerLog();
    const unsigned serverPort = DnsResolver().GetSocket().GetLocalPort();
    std::set<unsigned> distinct(ports.begin(), ports.end());
    EXPECT_EQ(distinct.count(serverPort), 0u);
    // Random ports out of thousands: one pair alike is a rare accident.
    EXPECT_GE(distinct.size() + 1, ports.size()) << ServerLog();
}

TEST_F(DnsIntegrationTest, AMissingNameIsReportedAtOnce) {
    const auto start = Clock::now();
    CVornHostAddress host("unchanged", 0);
    EXPECT_EQ(DnsLookupA(CVornString("nothere.zone.test"), false, host), kDnsNotFound);
    CVornList<CVornHostAddress> hosts;
    EXPECT_EQ(DnsLookupMX(CVornString("nothere.zone.test"), false, hosts), kDnsNotFound);
    // Well within one wait for a reply (4 s): the answer came, none timed out.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(host.GetAddressCount(), 0);
}

TEST_F(DnsIntegrationTest, AnswersAreCachedUntilTheyExpireThenTheDeadServerIsReported) {
    platform::SetTestTime(1700000000);
    CVornList<CVornHostAddress> hosts;
    ASSERT_EQ(DnsLookupMX(CVornString("zone.test"), false, hosts), kDnsFound);
    CVornHostAddress host;
    ASSERT_EQ(DnsLookupA(CVornString("alias.zone.test"), false, host), kDnsFound);
    EXPECT_EQ(DnsLookupA(CVornString("nothere.zone.test"), false, host), kDnsNotFound);

    // With the server gone, everything is answered from the cache.
    m_Server->Stop();
    DnsSetQueryTimes(1, 2);  // should a query go out after all, it fails fast
    platform::SetTestTime(1700000000 + 59);
    ASSERT_EQ(DnsLookupMX(CVornString("zone.test"), false, hosts), kDnsFound);
    ASSERT_EQ(hosts.m_Count, 2);
    ASSERT_EQ(DnsLookupA(CVornString("alias.zone.test"), false, host), kDnsFound);
    EXPECT_EQ(Show(host), "alias.zone.test [127.0.0.5]");
    EXPECT_EQ(DnsLookupA(CVornString("nothere.zone.test"), false, host), kDnsNotFound);

    // Past the records' 60 s the server is asked again, and nobody answers:
    // the query gives up at its deadline, on the steady clock, although the
    // library clock stands still.
    platform::SetTestTime(1700000000 + 60);
    DnsSetQueryTimes(2, 4);
    const auto start = Clock::now();
    EXPECT_EQ(DnsLookupA(CVornString("alias.zone.test"), false, host), kDnsFailed);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(4));
    EXPECT_LT(took, std::chrono::seconds(12));  // three 2-s waits, and some slack
}

}  // namespace
