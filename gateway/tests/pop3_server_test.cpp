// The POP3 server's control over real loopback sockets: the settings a
// start takes, a connection closed without a word, the checked port move
// of a reconfiguration, and a server that is not running.
#include "gateway/pop3_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

// What a client sees of a port: nothing listens, or the server accepts and
// closes the connection without sending anything.
enum class Seen { kRefused, kClosedSilently, kOther };

Seen Visit(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Seen::kOther;
    timeval tv{10, 0};  // a server that keeps the connection fails the test
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Seen seen = Seen::kOther;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        seen = Seen::kRefused;
    } else {
        // A line sent is not echoed back.
        (void)send(fd, "USER a\r\n", 8, MSG_NOSIGNAL);
        // Closed with that line unread, the connection may end in a reset.
        char byte;
        ssize_t n = recv(fd, &byte, 1, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            seen = Seen::kClosedSilently;
    }
    close(fd);
    return seen;
}

class Pop3Test : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        m_Port = gwtest::FreePort();
        ASSERT_NE(0, m_Port);
    }
    void TearDown() override {
        m_Server.reset();
        SpoolTest::TearDown();
    }

    // A new server over the system settings given.
    void Make(const std::vector<std::string>& system) {
        m_Server.reset();
        WriteConfig(system);
        m_Server = std::make_unique<POP3>();
    }

    static void SetSetting(const char* name, const std::string& value) {
        CVornString text(value.c_str());
        ASSERT_EQ(0, CVornConfigStore::SetAttribute('S', nullptr, name, text, 0));
    }
    static std::string Setting(const char* name) {
        CVornString value;
        if (CVornConfigStore::GetObjectSetting('S', nullptr, name, value) != 0)
            return "<none>";
        return value.CStr();
    }
    int Workers() { return m_Server->GetThreadCount(CVornTCPServer::kConnectionWorker); }

    std::string PortSetting() const { return "POPPort=" + std::to_string(m_Port); }

    int m_Port = 0;
    std::unique_ptr<POP3> m_Server;
};

TEST_F(Pop3Test, StartTakesTheSettingsWithTheirDefaults) {
    struct Case {
        std::vector<std::string> incoming;
        int workers;
    } cases[] = {
        {{"POPIncoming=3"}, 3},
        {{"POPIncoming=-2"}, 5},
        {{"POPIncoming=0"}, 5},
        {{}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.incoming.empty() ? "missing" : c.incoming[0]);
        std::vector<std::string> system = c.incoming;
        system.push_back(PortSetting());
        Make(system);
        ASSERT_EQ(0, m_Server->Start());
        EXPECT_TRUE(m_Server->IsRunning());
        EXPECT_EQ(m_Port, m_Server->GetPort());
        EXPECT_EQ(c.workers, Workers());
        EXPECT_EQ(0, m_Server->GetThreadCount(CVornTCPServer::kHelper));
        EXPECT_EQ(0, m_Server->Start());  // already running: nothing changes
        EXPECT_EQ(Seen::kClosedSilently, Visit(m_Port));
        EXPECT_TRUE(m_Server->Stop());
        EXPECT_FALSE(m_Server->IsRunning());
        m_Server->Stop();  // a second stop is harmless
    }
    // A port outside the range gives the default, whether or not this
    // process may listen there.
    for (const char* port : {"0", "70000"}) {
        Make({std::string("POPPort=") + port});
        (void)m_Server->Start();
        EXPECT_EQ(POP3::kDefaultPort, m_Server->GetPort()) << port;
    }
}

TEST_F(Pop3Test, ReconfigureChecksTheSettingsBeforeMovingThePort) {
    Make({PortSetting(), "POPIncoming=2"});
    ASSERT_EQ(0, m_Server->Start());
    ASSERT_EQ(2, Workers());

    const int takenPort = gwtest::FreePort();
    ASSERT_NE(0, takenPort);
    const int taken = gwtest::OccupyPort(takenPort);
    ASSERT_GE(taken, 0);
    struct Case {
        std::string port;
        int result;
    } cases[] = {
        {"70000", kPop3ConfigBadPort},
        {"0", kPop3ConfigBadPort},
        {"-110", kPop3ConfigBadPort},
        {"none", kPop3ConfigBadPort},
        {"4294967406", kPop3ConfigBadPort},  // would wrap to 110 as an int
        {std::to_string(takenPort), kPop3ConfigPortNotBound},
        {std::to_string(m_Port), kPop3ConfigDone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        SetSetting("POPPort", c.port);
        EXPECT_EQ(c.result, m_Server->Reconfigure());
        // A refused or failed move shows the port in use again.
        EXPECT_EQ(std::to_string(m_Port), Setting("POPPort"));
        EXPECT_EQ(m_Port, m_Server->GetPort());
    }
    close(taken);
    EXPECT_EQ(Seen::kClosedSilently, Visit(m_Port));

    // A free port moves the listener; worker counts below 1 give 5.
    const int other = gwtest::FreePort();
    ASSERT_NE(0, other);
    SetSetting("POPPort", std::to_string(other));
    SetSetting("POPIncoming", "-2");
    EXPECT_EQ(kPop3ConfigDone, m_Server->Reconfigure());
    EXPECT_EQ(other, m_Server->GetPort());
    EXPECT_EQ(5, Workers());
    EXPECT_EQ(Seen::kClosedSilently, Visit(other));
    EXPECT_EQ(Seen::kRefused, Visit(m_Port));
}

TEST_F(Pop3Test, ReconfigureStartsAServerThatIsNotRunningButNeverAStoppedOne) {
    Make({PortSetting()});
    int taken = gwtest::OccupyPort(m_Port);
    ASSERT_GE(taken, 0);
    EXPECT_EQ(1, m_Server->Start());
    EXPECT_FALSE(m_Server->IsRunning());
    // Still taken: not started, and nothing was moved to listen.
    EXPECT_EQ(kPop3ConfigPortNotBound, m_Server->Reconfigure());
    EXPECT_EQ(0, Workers());
    // A refused port is refused before any start.
    SetSetting("POPPort", "70000");
    EXPECT_EQ(kPop3ConfigBadPort, m_Server->Reconfigure());
    EXPECT_EQ(std::to_string(m_Port), Setting("POPPort"));
    EXPECT_EQ(0, Workers());
    close(taken);

    const int other = gwtest::FreePort();
    ASSERT_NE(0, other);
    SetSetting("POPPort", std::to_string(other));
    EXPECT_EQ(kPop3ConfigDone, m_Server->Reconfigure());
    EXPECT_TRUE(m_Server->IsRunning());
    EXPECT_EQ(other, m_Server->GetPort());
    EXPECT_EQ(Seen::kClosedSilently, Visit(other));

    // After a stop no reconfiguration opens a listener again.
    m_Server->Stop();
    const int third = gwtest::FreePort();
    ASSERT_NE(0, third);
    SetSetting("POPPort", std::to_string(third));
    EXPECT_EQ(kPop3ConfigPortNotBound, m_Server->Reconfigure());
    EXPECT_FALSE(m_Server->rebind(
        CVornHostAddress(static_cast<uint32_t>(0), static_cast<unsigned short>(third))));
    EXPECT_EQ(Seen::kRefused, Visit(third));
    EXPECT_EQ(0, Workers());
}

}  // namespace
