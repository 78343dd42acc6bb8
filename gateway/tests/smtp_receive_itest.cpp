// The running gateway (`zelorm -debug`) receiving mail from real SMTP
// clients on a loopback port: Python's smtplib and swaks. What they send
// lands in the spool (queue line, envelope, body) byte for byte, with only
// the gateway's Received line added; a taken port stops start-up with an
// error event; stopping the service says 421 to a client in a session.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "gateway/tests/support/gateway_instance.h"
#include "gateway/tests/support/mail_peers.h"
#include "gateway/tests/support/queue_index.h"

namespace {

namespace fs = std::filesystem;
using gwtest::ChildProgram;
using gwtest::GatewayInstance;
using gwtest::ProgramPath;
using testsupport::Eventually;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

const std::string kStarted = "4:The gateway service has started.";

bool Has(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

// The message both clients send: a complete header (so the stored body adds
// none of its own), a dot-stuffed line, a long line and binary-looking text.
std::string Message() {
    std::string m =
        "Date: Tue, 02 Jan 2024 09:00:00 +0000\r\n"
        "Message-Id: <itest@client.test>\r\n"
        "From: joe@example.com\r\n"
        "To: ann@example.org\r\n"
        "Subject: receiving test\r\n"
        "\r\n"
        "first line\r\n"
        ".a line that began with a dot\r\n"
        "\r\n" +
        std::string(5000, 'L') + "\r\n" + "last line\r\n";
    return m;
}

// Runs a shell command line; its exit status.
int Shell(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SmtpReceiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Port = gwtest::FreePort();
        m_Instance.InstallCatalogs();
        // The next hop is a port where nothing listens: the delivery
        // workers keep the mail spooled (moved to "slowq") for the test.
        m_Instance.WriteConfig({"DS,SMTPPort=" + std::to_string(m_Port) +
                                ",SMTPIncoming=4,RelayMode=H,RelayAllowHosts=127.0.0.1"
                                ",RelayHost=127.0.0.1,RelayHostPort=" +
                                std::to_string(gwtest::FreePort())});
        WriteWhole(m_Instance.Path("message.eml"), Message());
        // swaks ends the data with its own CR LF before the final dot.
        std::string unterminated = Message();
        unterminated.resize(unterminated.size() - 2);
        WriteWhole(m_Instance.Path("swaks.eml"), unterminated);
    }

    std::unique_ptr<ChildProgram> StartGateway() {
        auto child =
            std::make_unique<ChildProgram>(std::vector<std::string>{ProgramPath(), "-debug"},
                                           m_Instance.Environment({}), m_Instance.Path("run"));
        EXPECT_TRUE(child->Started());
        EXPECT_TRUE(Eventually([&] { return Has(m_Instance.Events(), kStarted); },
                               std::chrono::seconds(60)))
            << child->Errors();
        return child;
    }

    // Names of one queue's index, in order.
    std::vector<std::string> Indexed(const std::string& queue) {
        return spooltest::LiveNames(m_Instance.Path("spool/" + queue));
    }

    // Names spooled in "fastq" or "slowq" (a delivery worker moves mail it
    // could not deliver yet from one to the other), each once, the message
    // whose body holds first before the others.
    std::vector<std::string> Queued(const std::string& first) {
        std::vector<std::string> names;
        for (const char* queue : {"fastq", "slowq"})
            for (const std::string& name : Indexed(queue))
                if (std::find(names.begin(), names.end(), name) == names.end())
                    names.push_back(name);
        std::stable_partition(names.begin(), names.end(), [&](const std::string& name) {
            return ReadWhole(m_Instance.Path("spool/" + name + ".mes")).find(first) !=
                   std::string::npos;
        });
        return names;
    }

    // The body of a queued message without the first header (the gateway's
    // Received line and its continuations).
    std::string WithoutTrace(const std::string& name) {
        std::string body = ReadWhole(m_Instance.Path("spool/" + name + ".mes"));
        EXPECT_EQ(0u, body.find("Received: from ")) << body.substr(0, 100);
        size_t at = 0;
        do {
            at = body.find("\r\n", at) + 2;
        } while (at < body.size() && (body[at] == ' ' || body[at] == '\t'));
        return body.substr(at);
    }

    int m_Port = 0;
    GatewayInstance m_Instance;
};

TEST_F(SmtpReceiveTest, RealClientsMailLandsInTheSpoolByteForByte) {
    auto gateway = StartGateway();
    std::string eml = m_Instance.Path("message.eml");
    std::string port = std::to_string(m_Port);

    // Python's smtplib, with two recipients (no "for" in the trace).
    std::string script = m_Instance.Path("send.py");
    WriteWhole(
        script,
        "import smtplib, sys\n"
        "data = open(sys.argv[2], 'rb').read()\n"
        "with smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=30) as s:\n"
        "    s.helo('py.client.test')\n"
        "    r = s.sendmail('joe@example.com', ['ann@example.org', 'bob@example.net'], data)\n"
        "    assert not r, r\n");
    ASSERT_EQ(0, Shell("python3 " + script + " " + port + " " + eml + " >" +
                       m_Instance.Path("py.out") + " 2>&1"))
        << ReadWhole(m_Instance.Path("py.out"));

    // swaks, with one recipient and the null sender.
    ASSERT_EQ(0,
              Shell("swaks --server 127.0.0.1 --port " + port +
                    " --helo swaks.client.test --from '<>' --to cy@example.org --data @" +
                    m_Instance.Path("swaks.eml") + " >" + m_Instance.Path("swaks.out") + " 2>&1"))
        << ReadWhole(m_Instance.Path("swaks.out"));

    std::vector<std::string> queued;
    EXPECT_TRUE(Eventually([&] { return (queued = Queued("py.client.test")).size() == 2; },
                           std::chrono::seconds(20)));
    ASSERT_EQ(2u, queued.size()) << ReadWhole(m_Instance.Path("spool/fastq"));
    for (const std::string& name : queued) {
        EXPECT_TRUE(fs::exists(m_Instance.Path("spool/" + name + ".env")));
        EXPECT_EQ(Message(), WithoutTrace(name)) << name;
    }
    std::string first = ReadWhole(m_Instance.Path("spool/" + queued[0] + ".mes"));
    EXPECT_NE(std::string::npos, first.find("py.client.test"));
    EXPECT_EQ(std::string::npos, first.substr(0, first.find("\r\n\r\n")).find(" for <"));
    std::string second = ReadWhole(m_Instance.Path("spool/" + queued[1] + ".mes"));
    EXPECT_NE(std::string::npos, second.find("swaks.client.test"));
    EXPECT_NE(std::string::npos, second.find(" for <cy@example.org>"));

    std::string envelope = ReadWhole(m_Instance.Path("spool/" + queued[0] + ".env"));
    EXPECT_NE(std::string::npos, envelope.find("\r\njoe@example.com\r\n1 127.0.0.1\r\n"));
    EXPECT_NE(std::string::npos, envelope.find("\r\nann@example.org\r\n"));
    EXPECT_NE(std::string::npos, envelope.find("\r\nbob@example.net\r\n"));
    std::string nullSender = ReadWhole(m_Instance.Path("spool/" + queued[1] + ".env"));
    EXPECT_NE(std::string::npos, nullSender.find("\r\n\r\n1 127.0.0.1\r\n"));  // empty sender
    EXPECT_NE(std::string::npos, nullSender.find("\r\ncy@example.org\r\n"));

    ASSERT_TRUE(gateway->Signal(SIGTERM));
    EXPECT_EQ(0, gateway->Wait());
}

TEST_F(SmtpReceiveTest, StopSays421ToAnIdleClientAndEndsPromptly) {
    auto gateway = StartGateway();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(m_Port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    std::string received;
    char chunk[512];
    while (received.find("\r\n") == std::string::npos) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        ASSERT_GT(n, 0);
        received.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_EQ(0u, received.find("220 "));
    received.clear();

    ASSERT_TRUE(gateway->Signal(SIGTERM));
    for (;;) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        received.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_EQ(0u, received.find("421 ")) << received;
    // Far below the 300 s a silent client could otherwise hold a session.
    EXPECT_EQ(0, gateway->Wait(std::chrono::seconds(30)));
}

// A taken SMTP port is an error event and start-up does not complete; the
// web administration, already listening, keeps serving so that the port
// can be changed, and the program ends with 3 when it is stopped.
TEST_F(SmtpReceiveTest, ATakenPortIsAnErrorAndStartUpDoesNotComplete) {
    int fd = gwtest::OccupyPort(m_Port);
    ASSERT_GE(fd, 0);
    gwtest::RunningGateway gateway(m_Instance, {}, m_Instance.Path("run"));
    const std::string refused =
        "1:The SMTP server could not listen on its port; start-up did not complete.";
    EXPECT_TRUE(Eventually([&] { return Has(m_Instance.Events(), refused); },
                           std::chrono::seconds(60)));
    EXPECT_TRUE(gwtest::WaitForListener("127.0.0.1", m_Instance.HttpPort()));
    EXPECT_EQ(3, gateway.Stop()) << gateway.Errors();
    close(fd);
    EXPECT_FALSE(Has(m_Instance.Events(), kStarted));
}

}  // namespace
