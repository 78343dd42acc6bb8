// The quarantine forwarder with the real quarantine-server library against
// a real HTTP server on loopback (maker/tests/support/quarantine_server.py):
// a package the server takes leaves the queue, one it refuses stays, and a
// stop during a stalled transfer ends it through the abort callback.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "core/tests/support/files.h"
#include "gateway/quarantine_forwarder.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/spool_fixture.h"
#include "maker/tests/support/quarantine_server.h"

namespace {

using qtest::QuarantineServer;
using testsupport::Eventually;

class QuarantineForwarderServerTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        g_ForwarderStopping = false;
        m_Log = gatewaytest::StartActivityDay(m_Dir, &m_Now);
        m_Forwarder = std::make_unique<CQuarantineForwarder>("fwdq", m_Spool.c_str());
        m_Package = m_Forwarder->Directory() + "/Q00000001.fwd";
        for (int i = 0; i < 100000; ++i) m_Bytes.push_back(static_cast<char>(i % 253));
        testsupport::WriteWhole(m_Package, m_Bytes);
    }
    void TearDown() override {
        m_Forwarder.reset();
        SpoolTest::TearDown();
    }

    void SendTo(const QuarantineServer& server) {
        ASSERT_NE(server.Port(), 0);
        WriteConfig({"ZELORMRazoVidezQuarantineServerAddress=127.0.0.1",
                     "ZELORMRazoVidezQuarantineServerPort=" + std::to_string(server.Port())});
        ASSERT_TRUE(m_Forwarder->Add(m_Package.c_str(), "M1", "virus.exe"));
        m_Forwarder->Start();
    }

    std::string Outcome() {
        std::vector<gatewaytest::ActivityFields> records =
            gatewaytest::ReadActivityRecords(m_Log, &m_LogRead);
        return records.size() == 1 ? records[0][2] + "/" + records[0][3] : "none";
    }

    std::unique_ptr<CQuarantineForwarder> m_Forwarder;
    std::string m_Package;
    std::string m_Bytes;
    std::string m_Log;
    size_t m_LogRead = 0;
};

TEST_F(QuarantineForwarderServerTest, APackageTheServerTakesLeavesTheQueue) {
    QuarantineServer server("accept", m_Dir);
    SendTo(server);
    ASSERT_TRUE(Eventually([&] { return !std::filesystem::exists(m_Package); }));
    EXPECT_TRUE(m_Forwarder->Items().empty());
    EXPECT_EQ(server.Received(), "/quarantine\n" + m_Bytes);
    EXPECT_EQ(Outcome(), "303/1");
}

TEST_F(QuarantineForwarderServerTest, APackageTheServerRefusesStays) {
    QuarantineServer server("refuse", m_Dir);
    SendTo(server);
    ASSERT_TRUE(Eventually([&] { return m_Forwarder->Items()[0].m_LastResult != 255; }));
    EXPECT_NE(m_Forwarder->Items()[0].m_LastResult, 0);
    EXPECT_TRUE(std::filesystem::exists(m_Package));
    std::string outcome;
    ASSERT_TRUE(Eventually([&] { return (outcome = Outcome()) != "none"; }));
    EXPECT_EQ(outcome, "303/2");
}

TEST_F(QuarantineForwarderServerTest, AStopEndsAStalledTransfer) {
    QuarantineServer server("stall", m_Dir);
    SendTo(server);
    // The attempt has begun once the head's attempt time is set.
    ASSERT_TRUE(Eventually([&] { return m_Forwarder->Items()[0].m_LastAttempt == m_Now; }));
    auto start = std::chrono::steady_clock::now();
    m_Forwarder->stop();
    // The library's idle time-out is 60 s: only the abort callback ends the
    // transfer sooner.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_TRUE(std::filesystem::exists(m_Package));
}

}  // namespace
