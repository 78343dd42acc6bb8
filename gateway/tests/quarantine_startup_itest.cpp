// The quarantine forwarder in the service's start-up and shutdown: a
// package left waiting by the last run is read back from the index and
// delivered to a real HTTP server on loopback; shutdown deletes the
// forwarder. (A test program of its own: shutdown closes the activity log
// for the rest of the process.)

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/test_catalog.h"
#include "gateway/quarantine_forwarder.h"
#include "gateway/service_startup.h"
#include "gateway/tests/support/gateway_instance.h"
#include "maker/tests/support/quarantine_server.h"

namespace {

using testsupport::ScopedEnv;

class QuarantineStartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Instance.Path("messages"),
                                                  testsupport::NumberedCatalog(883, {{820, " %s"}}),
                                                  883));
        (void)g_ServiceStopEvent.WaitSeconds(0);
        g_ForwarderStopping = false;
    }
    void TearDown() override {
        ServiceStop();
        testsupport::ClearBaseCatalog();
    }

    gwtest::GatewayInstance m_Instance;
    ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Instance.Path("registry.reg")};
    ScopedEnv m_Locks{"ZELORM_LOCK_DIR", m_Instance.Path("locks")};
    ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Instance.Path("events")};
};

TEST_F(QuarantineStartupTest, StartupSendsWhatTheLastRunLeftAndShutdownDeletesTheForwarder) {
    qtest::QuarantineServer server("accept", m_Instance.Dir());
    ASSERT_NE(server.Port(), 0);
    m_Instance.WriteConfig({"DS,SMTPPort=" + std::to_string(gwtest::FreePort()) +
                            ",ZELORMRazoVidezQuarantineServerAddress=127.0.0.1"
                            ",ZELORMRazoVidezQuarantineServerPort=" +
                            std::to_string(server.Port())});
    std::string folder = m_Instance.Path("spool/zelqfwd");
    std::filesystem::create_directories(folder);
    std::string package = folder + "/Q00000007.fwd";
    testsupport::WriteWhole(package, "left by the last run");
    testsupport::WriteWhole(folder + "/fwdq", "100,0,255," + package + ",M7,o7\r\n");

    ASSERT_EQ(0, ServiceStart());
    ASSERT_NE(g_QuarantineForwarder, nullptr);
    EXPECT_TRUE(testsupport::Eventually([&] { return !std::filesystem::exists(package); }));
    EXPECT_EQ(server.Received(), "/quarantine\nleft by the last run");

    EXPECT_EQ(0, ServiceStop());
    EXPECT_EQ(g_QuarantineForwarder, nullptr);
    EXPECT_EQ(testsupport::ReadWhole(folder + "/fwdq"), "");
}

}  // namespace
