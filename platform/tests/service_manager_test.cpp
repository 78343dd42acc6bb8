// The service control manager on systemd: the unit file and its refusals,
// controller answers read into states, and notifications over datagrams.
#include "platform/service_manager.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <stddef.h>

#include <filesystem>
#include <optional>
#include <string>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWhole;
using testsupport::ScopedEnv;
using testsupport::WriteWhole;

class ServiceManagerTest : public ::testing::Test {
protected:
    platform::ServiceDefinition Definition() {
        platform::ServiceDefinition d;
        d.name = "gw";
        d.displayName = "Gateway";
        d.programPath = "/opt/gw/bin/zelorm";
        return d;
    }

    // Never the machine's own service manager.
    void SetUp() override { UseController("", 0); }

    // A controller that prints answer and exits with status.
    void UseController(const std::string& answer, int status) {
        std::string path = m_Tools.Path("ctl");
        WriteWhole(path, "#!/bin/sh\necho \"$*\" >> \"" + m_Tools.Path("calls") + "\"\nprintf '" +
                             answer + "'\nexit " + std::to_string(status) + "\n");
        chmod(path.c_str(), 0700);
        m_Controller.emplace("ZELORM_SYSTEMCTL", path);
    }

    testsupport::TempDir m_Dir;    // the unit directory
    testsupport::TempDir m_Tools;  // the controller and its record
    ScopedEnv m_Units{"ZELORM_UNIT_DIR", m_Dir.Path()};
    std::optional<ScopedEnv> m_Controller;
};

TEST_F(ServiceManagerTest, UnitQuotesItsWordsSoSystemdExpandsNothing) {
    platform::ServiceDefinition d = Definition();
    d.programPath = "/opt/a \"b\" 100%/$HOME\\zelorm";
    d.environment = {{"ZELORM_REGISTRY", "/srv/50%/$x.reg"}};
    d.automaticStart = false;
    ASSERT_EQ(0, platform::InstallService(d));
    std::string unit = ReadWhole(m_Dir.Path("gw.service"));
    EXPECT_NE(std::string::npos,
              unit.find("ExecStart=\"/opt/a \\\"b\\\" 100%%/$$HOME\\\\zelorm\"\n"))
        << unit;
    EXPECT_NE(std::string::npos, unit.find("Environment=\"ZELORM_SERVICE=1\"\n"));
    EXPECT_NE(std::string::npos, unit.find("Environment=\"ZELORM_REGISTRY=/srv/50%%/$x.reg\"\n"));
    EXPECT_EQ(0, platform::ServiceInstalled("gw"));
    EXPECT_FALSE(fs::exists(m_Dir.Path("multi-user.target.wants")));
    struct stat st;
    ASSERT_EQ(0, stat(m_Dir.Path("gw.service").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
}

TEST_F(ServiceManagerTest, BadDefinitionsAreRefusedAndLeaveNothing) {
    struct Case {
        const char* name;
        void (*change)(platform::ServiceDefinition&);
    } cases[] = {
        {"name with a slash", [](platform::ServiceDefinition& d) { d.name = "../gw"; }},
        {"empty name", [](platform::ServiceDefinition& d) { d.name = ""; }},
        {"relative program", [](platform::ServiceDefinition& d) { d.programPath = "bin/zelorm"; }},
        {"line end in the display name",
         [](platform::ServiceDefinition& d) { d.displayName = "G\n[Service]"; }},
        {"line end in a value",
         [](platform::ServiceDefinition& d) { d.environment = {{"A", "1\nExecStartPre=/x"}}; }},
        {"name holding =", [](platform::ServiceDefinition& d) { d.environment = {{"A=B", "1"}}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ServiceDefinition d = Definition();
        c.change(d);
        EXPECT_EQ(EINVAL, platform::InstallService(d));
        EXPECT_TRUE(fs::is_empty(m_Dir.Path()));
    }
    // A second install of one name fails and keeps the first unit.
    ASSERT_EQ(0, platform::InstallService(Definition()));
    platform::ServiceDefinition other = Definition();
    other.programPath = "/elsewhere";
    EXPECT_EQ(EEXIST, platform::InstallService(other));
    EXPECT_NE(std::string::npos, ReadWhole(m_Dir.Path("gw.service")).find("/opt/gw/bin/zelorm"));
    EXPECT_EQ(0, platform::DeleteService("gw"));
    EXPECT_EQ(ENOENT, platform::DeleteService("gw"));
    EXPECT_EQ(ENOENT, platform::ServiceInstalled("gw"));
}

TEST_F(ServiceManagerTest, AUnitWeDidNotWriteIsNeitherChangedNorRemoved) {
    const std::string own = "[Unit]\nDescription=an administrator's own\n";
    WriteWhole(m_Dir.Path("gw.service"), own);
    EXPECT_EQ(0, platform::ServiceInstalled("gw"));
    EXPECT_EQ(EPERM, platform::ServiceOwned("gw"));
    EXPECT_EQ(EPERM, platform::ReconfigureService(Definition()));
    EXPECT_EQ(EPERM, platform::DeleteService("gw"));
    EXPECT_EQ(own, ReadWhole(m_Dir.Path("gw.service")));
    EXPECT_EQ(ENOENT, platform::ServiceOwned("other"));
    EXPECT_EQ(ENOENT, platform::ReconfigureService([this] {
                  platform::ServiceDefinition d = Definition();
                  d.name = "other";
                  return d;
              }()));
}

TEST_F(ServiceManagerTest, ControllerAnswersBecomeStates) {
    struct Case {
        const char* answer;
        int status;
        int result;
        int state;
    } cases[] = {
        {"active\\n", 0, 0, platform::kServiceRunning},
        {"activating\\n", 0, 0, platform::kServiceStartPending},
        {"deactivating\\n", 0, 0, platform::kServiceStopPending},
        {"inactive\\n", 0, 0, platform::kServiceStopped},
        {"failed\\n", 0, 0, platform::kServiceStopped},
        {"something else\\n", 0, EIO, -1},
        {"active\\n", 1, EIO, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        UseController(c.answer, c.status);
        int state = -1;
        EXPECT_EQ(c.result, platform::QueryServiceState("gw", state));
        EXPECT_EQ(c.state, state);
    }
    // Stop asks only a service that runs.
    UseController("inactive\\n", 3);
    EXPECT_EQ(ESRCH, platform::StopService("gw"));
    UseController("active\\n", 0);
    fs::remove(m_Tools.Path("calls"));
    EXPECT_EQ(0, platform::StopService("gw"));
    EXPECT_EQ("is-active gw.service\nstop --no-block gw.service\n", ReadWhole(m_Tools.Path("calls")));
    // A controller that cannot be run is a failure, not a stopped service.
    m_Controller.emplace("ZELORM_SYSTEMCTL", m_Tools.Path("no-such-program"));
    EXPECT_EQ(EIO, platform::StopService("gw"));
}

TEST_F(ServiceManagerTest, NotificationsGoToTheNamedSocket) {
    {
        ScopedEnv unset("NOTIFY_SOCKET");
        EXPECT_EQ(0, platform::NotifyServiceManager("READY=1"));
    }
    for (bool abstract : {false, true}) {
        SCOPED_TRACE(abstract);
        std::string name = abstract ? "@zelorm-test-" + std::to_string(getpid())
                                    : m_Tools.Path("notify");
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, name.c_str(), name.size());
        if (abstract)
            address.sun_path[0] = '\0';
        socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), size));
        ScopedEnv notify("NOTIFY_SOCKET", name);
        EXPECT_EQ(0, platform::NotifyServiceManager("READY=1\nSTATUS=Running"));
        char buffer[64];
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        EXPECT_EQ("READY=1\nSTATUS=Running", std::string(buffer, n > 0 ? n : 0));
        close(fd);
    }
    ScopedEnv relative("NOTIFY_SOCKET", "relative/path");
    EXPECT_EQ(EINVAL, platform::NotifyServiceManager("READY=1"));
    ScopedEnv nobody("NOTIFY_SOCKET", m_Tools.Path("nobody-listens"));
    EXPECT_NE(0, platform::NotifyServiceManager("READY=1"));
}

}  // namespace
