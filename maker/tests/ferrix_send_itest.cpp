// Sending packages to a real HTTP server on loopback (Python's http.server,
// maker/tests/support/quarantine_server.py) that accepts, refuses or stalls:
// what the server got, the results, and how long a stalled or aborted
// transfer may hold the caller.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "core/tests/support/files.h"
#include "core/tests/support/temp_dir.h"
#include "maker/ferrix/ferrix.h"
#include "maker/tests/support/quarantine_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using qtest::QuarantineServer;

std::atomic<int> s_Asked{0};
std::atomic<int> s_LastStatus{0};

int GoOn(int status) {
    ++s_Asked;
    s_LastStatus = status;
    return 1;
}

int Abort(int status) {
    ++s_Asked;
    s_LastStatus = status;
    return 0;
}

class FerrixSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        s_Asked = 0;
        s_LastStatus = 0;
        for (int i = 0; i < 300000; ++i) m_Bytes.push_back(static_cast<char>(i * 7 % 251));
        testsupport::WriteWhole(m_Package, m_Bytes);
    }
    void TearDown() override { FerrixSetIdleTimeout(0); }

    testsupport::TempDir m_Dir;
    std::string m_Package = m_Dir.Path("Q00000001.fwd");
    std::string m_Bytes;
};

TEST_F(FerrixSendTest, AnAcceptingServerGetsThePackageAsItIs) {
    QuarantineServer server("accept", m_Dir.Path());
    ASSERT_NE(server.Port(), 0);
    EXPECT_EQ(SendFileToQServer(m_Package.c_str(), "127.0.0.1", 0, server.Port(), GoOn), FERRIX_OK);
    EXPECT_EQ(server.Received(), "/quarantine\n" + m_Bytes);
    // A host name and no callback work as well; an empty package is sent.
    testsupport::WriteWhole(m_Package, "");
    EXPECT_EQ(SendFileToQServer(m_Package.c_str(), "localhost", 0, server.Port(), nullptr),
              FERRIX_OK);
    EXPECT_EQ(server.Received(), "/quarantine\n");
}

TEST_F(FerrixSendTest, ARefusalOrNoServerIsNotDelivery) {
    QuarantineServer server("refuse", m_Dir.Path());
    ASSERT_NE(server.Port(), 0);
    EXPECT_EQ(SendFileToQServer(m_Package.c_str(), "127.0.0.1", 0, server.Port(), GoOn),
              FERRIX_ERR_REFUSED);
    EXPECT_EQ(server.Received(), "/quarantine\n" + m_Bytes);

    // Nobody listens on the port any more.
    int port = server.Port();
    {
        QuarantineServer gone("accept", m_Dir.Path());
        port = gone.Port();
    }
    EXPECT_EQ(SendFileToQServer(m_Package.c_str(), "127.0.0.1", 0, port, GoOn), FERRIX_ERR_CONNECT);
}

TEST_F(FerrixSendTest, BadArgumentsAreRefusedBeforeAnyConnection) {
    struct Case {
        const char* what;
        const char* path;
        const char* server;
        int reserved;
        int port;
        int result;
    };
    const std::string package = m_Package;
    const std::string missing = m_Dir.Path("missing.fwd");
    const std::string directory = m_Dir.Path();
    const Case cases[] = {
        {"null path", nullptr, "127.0.0.1", 0, 80, FERRIX_ERR_ARGUMENT},
        {"empty path", "", "127.0.0.1", 0, 80, FERRIX_ERR_ARGUMENT},
        {"null server", package.c_str(), nullptr, 0, 80, FERRIX_ERR_ARGUMENT},
        {"empty server", package.c_str(), "", 0, 80, FERRIX_ERR_ARGUMENT},
        {"server with CR LF", package.c_str(), "a\r\nX-Evil: 1", 0, 80, FERRIX_ERR_ARGUMENT},
        {"port 0", package.c_str(), "127.0.0.1", 0, 0, FERRIX_ERR_ARGUMENT},
        {"port 65536", package.c_str(), "127.0.0.1", 0, 65536, FERRIX_ERR_ARGUMENT},
        {"reserved 1", package.c_str(), "127.0.0.1", 1, 80, FERRIX_ERR_ARGUMENT},
        {"missing package", missing.c_str(), "127.0.0.1", 0, 80, FERRIX_ERR_PACKAGE},
        {"package is a directory", directory.c_str(), "127.0.0.1", 0, 80, FERRIX_ERR_PACKAGE},
        {"name that does not resolve", package.c_str(), "no-such-host.invalid", 0, 80,
         FERRIX_ERR_RESOLVE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SendFileToQServer(c.path, c.server, c.reserved, c.port, GoOn), c.result)
            << c.what;
}

TEST_F(FerrixSendTest, AStalledServerEndsInATimeOutWhileTheCallbackIsAsked) {
    QuarantineServer server("stall", m_Dir.Path());
    ASSERT_NE(server.Port(), 0);
    FerrixSetIdleTimeout(3);
    auto start = Clock::now();
    EXPECT_EQ(SendFileToQServer(m_Package.c_str(), "127.0.0.1", 0, server.Port(), GoOn),
              FERRIX_ERR_TIMEOUT);
    auto took = Clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(30));
    // Asked about once a second while it waited, with the waiting status.
    EXPECT_GE(s_Asked.load(), 2);
    EXPECT_EQ(s_LastStatus.load(), FERRIX_STATUS_WAITING);
}

TEST_F(FerrixSendTest, AnAbortAnswerEndsAStalledTransferAtOnce) {
    QuarantineServer server("stall", m_Dir.Path());
    ASSERT_NE(server.Port(), 0);
    // The idle time-out stays at its default (60 s): only the callback ends
    // the transfer.
    auto start = Clock::now();
    EXPECT_EQ(SendFileToQServer(m_Package.c_str(), "127.0.0.1", 0, server.Port(), Abort),
              FERRIX_ERR_ABORTED);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(s_Asked.load(), 1);
}

}  // namespace
