// The service shell's status reports and error texts, in one process.
#include "gateway/service_control.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "platform/service_manager.h"

namespace {

using testsupport::ScopedEnv;

class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_DebugMode = 0;
        g_ServiceLastError = 0;
    }
    void TearDown() override { g_DebugMode = 0; }

    testsupport::TempDir m_Dir;
    ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir.Path("events")};
    ScopedEnv m_Notify{"NOTIFY_SOCKET"};
};

// Check points count the pending reports only; STOP is accepted in every
// state but a pending start.
TEST_F(ServiceControlTest, StatusReportsKeepTheirCheckPointsAndControls) {
    struct Step {
        int state;
        int exitCode;
        int checkPoint;  // -1: the next number of the counter
        int controls;
    } steps[] = {
        {platform::kServiceRunning, 0, 0, 1},      {platform::kServiceStopPending, 0, -1, 1},
        {platform::kServiceStopPending, 0, -1, 1}, {platform::kServiceStartPending, 0, -1, 0},
        {platform::kServiceStopped, 5, 0, 1},
    };
    int last = -1;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.state);
        EXPECT_EQ(1, ReportServiceStatus(s.state, s.exitCode, 7));
        EXPECT_EQ(16, g_ServiceStatus.m_ServiceType);
        EXPECT_EQ(s.state, g_ServiceStatus.m_CurrentState);
        EXPECT_EQ(s.exitCode, g_ServiceStatus.m_Win32ExitCode);
        EXPECT_EQ(7, g_ServiceStatus.m_WaitHint);
        EXPECT_EQ(s.controls, g_ServiceStatus.m_ControlsAccepted);
        if (s.checkPoint == -1) {
            EXPECT_TRUE(last == -1 || g_ServiceStatus.m_CheckPoint == last + 1);
            last = g_ServiceStatus.m_CheckPoint;
            EXPECT_GE(last, 1);
        } else {
            EXPECT_EQ(s.checkPoint, g_ServiceStatus.m_CheckPoint);
        }
    }
    EXPECT_TRUE(testsupport::ReadEvents(m_Dir.Path("events")).empty());
}

// A report the service manager refuses is an error event whose code becomes
// the service's last error; in debug mode nothing is reported at all.
TEST_F(ServiceControlTest, RefusedReportIsAnErrorEventExceptInDebugMode) {
    ScopedEnv notify("NOTIFY_SOCKET", m_Dir.Path("nobody-listens"));
    g_ServiceStatus = ServiceStatus();
    EXPECT_EQ(0, ReportServiceStatus(platform::kServiceRunning, 0, 0));
    EXPECT_NE(0, g_ServiceLastError.load());
    std::string code = std::to_string(g_ServiceLastError.load());
    EXPECT_EQ(std::vector<std::string>({"1:zelorm error: " + code + "\\nSetServiceStatus"}),
              testsupport::ReadEvents(m_Dir.Path("events")));

    g_DebugMode = 1;
    g_ServiceLastError = 0;
    g_ServiceStatus = ServiceStatus();
    EXPECT_EQ(1, ReportServiceStatus(platform::kServiceStopPending, 0, 0));
    EXPECT_EQ(0, g_ServiceStatus.m_CurrentState);
    ReportServiceError("ignored", 5);
    EXPECT_EQ(0, g_ServiceLastError.load());
    EXPECT_EQ(1u, testsupport::ReadEvents(m_Dir.Path("events")).size());
}

TEST_F(ServiceControlTest, ErrorTextCarriesTheCodeOrNothingWhenItDoesNotFit) {
    const std::string text = strerror(ENOENT);
    char buffer[256];
    EXPECT_EQ(text + " (0x2)", std::string(GetLastErrorText(ENOENT, buffer, sizeof buffer)));
    int exact = static_cast<int>(text.size()) + 14;
    EXPECT_EQ(text + " (0x2)", std::string(GetLastErrorText(ENOENT, buffer, exact)));
    EXPECT_EQ("", std::string(GetLastErrorText(ENOENT, buffer, exact - 1)));
    EXPECT_EQ(std::string(strerror(EEXIST)) + " (0x11)",
              std::string(GetLastErrorText(EEXIST, buffer, sizeof buffer)));
}

}  // namespace
