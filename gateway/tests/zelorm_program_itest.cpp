// The gateway program as a process: its catalogues, its commands against a
// private unit directory and a recorded service controller, its debug run
// stopped by Ctrl-C or the service manager's stop, a broken configuration,
// and its life as the service reporting over a notification socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "gateway/queued_message.h"
#include "gateway/tests/support/gateway_instance.h"

namespace {

namespace fs = std::filesystem;
using gwtest::ChildProgram;
using gwtest::GatewayInstance;
using gwtest::ProgramPath;
using gwtest::RunProgram;
using testsupport::Eventually;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

const std::string kUsage =
    "zelorm -install      to install the service\n"
    "zelorm -remove       to remove the service\n"
    "zelorm -debug        to run as a console application\n";

const std::string kStarted = "4:The gateway service has started.";
const std::string kStopped = "4:The gateway service has stopped its components.";
const std::string kAdminSetUp = "4:The web administration is set up.";

bool Has(const std::vector<std::string>& events, const std::string& event) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

bool HasPrefix(const std::vector<std::string>& events, const std::string& prefix) {
    return std::any_of(events.begin(), events.end(),
                       [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

// The system object with an SMTP port of its own: the gateway listens on it.
std::string SmtpPortSetting() {
    return "DS,SMTPPort=" + std::to_string(gwtest::FreePort());
}

// A working instance: catalogues installed, a configuration that loads.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Instance.InstallCatalogs();
        m_Instance.WriteConfig({SmtpPortSetting() + ",HTTPIncoming=3"});
    }

    std::vector<std::string> Env(const std::map<std::string, std::string>& extra = {}) {
        return m_Instance.Environment(extra);
    }

    GatewayInstance m_Instance;
};

TEST_F(ProgramTest, MissingCatalogueExitsWithTwoAndSaysWhy) {
    fs::remove(m_Instance.Path("install/messages"));
    auto r = RunProgram({ProgramPath(), "-debug"}, Env(), m_Instance.Path("run"));
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos,
              r.errors.find("zelorm: error: unable to load " + m_Instance.Path("install") +
                            "/messages ("))
        << r.errors;
    EXPECT_EQ("", r.output);
    EXPECT_TRUE(m_Instance.Events().empty());

    // The product catalogue is needed as much as the base one.
    m_Instance.InstallCatalogs();
    fs::remove(m_Instance.Path("install/tkmessages"));
    r = RunProgram({ProgramPath(), "-debug"}, Env(), m_Instance.Path("run"));
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.errors.find("/tkmessages (")) << r.errors;
}

// Anything but the three commands prints the usage and, started from a
// shell rather than by the service manager, reports that it could not
// connect to it.
TEST_F(ProgramTest, OtherWordsPrintTheUsageAndReportNoServiceManager) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"install"}, {"-bogus"}, {"debug"}, {"--debug"}};
    for (const auto& words : cases) {
        std::vector<std::string> args = {ProgramPath()};
        args.insert(args.end(), words.begin(), words.end());
        SCOPED_TRACE(words.empty() ? "(none)" : words[0]);
        fs::remove(m_Instance.Path("events"));
        auto r = RunProgram(args, Env(), m_Instance.Path("run"));
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(kUsage, r.output);
        EXPECT_TRUE(Has(m_Instance.Events(),
                        "1:zelorm error: 107\\nStartServiceCtrlDispatcher failed (107)."));
        EXPECT_FALSE(fs::exists(m_Instance.Path("units/zelorm.service")));
    }
}

// A stand-in for systemctl that records its calls and answers from files:
// "active-state" for is-active, "show-answers" line by line for show.
class CommandTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        m_Controller = m_Instance.Path("fake-systemctl");
        WriteWhole(m_Controller,
                   "#!/bin/sh\n"
                   "dir=$(dirname \"$0\")\n"
                   "echo \"$*\" >> \"$dir/calls\"\n"
                   "case \"$1\" in\n"
                   "is-active) cat \"$dir/active-state\" 2>/dev/null || echo inactive ;;\n"
                   "show) n=$(($(cat \"$dir/shows\" 2>/dev/null || echo 0) + 1))\n"
                   "      echo $n > \"$dir/shows\"\n"
                   "      sed -n \"${n}p\" \"$dir/show-answers\" ;;\n"
                   "esac\n"
                   "exit 0\n");
        chmod(m_Controller.c_str(), 0700);
    }

    gwtest::RunResult Run(const std::string& word) {
        return RunProgram({ProgramPath(), word}, Env({{"ZELORM_SYSTEMCTL", m_Controller}}),
                          m_Instance.Path("run"));
    }

    std::string Calls() { return ReadWhole(m_Instance.Path("calls")); }

    std::string m_Controller;
};

TEST_F(CommandTest, InstallWritesAnEnabledUnitInAnyCase) {
    for (const char* word : {"-install", "/INSTALL", "-Install"}) {
        SCOPED_TRACE(word);
        fs::remove_all(m_Instance.Path("units"));
        fs::create_directory(m_Instance.Path("units"));
        fs::remove(m_Instance.Path("calls"));

        auto r = Run(word);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("ZEL for Dozoruve installed.\n", r.output);
        std::string unit = ReadWhole(m_Instance.Path("units/zelorm.service"));
        EXPECT_NE(std::string::npos, unit.find("Description=ZEL for Dozoruve\n"));
        EXPECT_NE(std::string::npos, unit.find("ExecStart=\"" + ProgramPath() + "\"\n")) << unit;
        EXPECT_NE(std::string::npos, unit.find("Environment=\"ZELORM_SERVICE=1\"\n"));
        EXPECT_NE(std::string::npos,
                  unit.find("Environment=\"ZELORM_REGISTRY=" + m_Instance.Path("registry.reg")));
        EXPECT_NE(std::string::npos, unit.find("Type=notify\n"));
        EXPECT_NE(std::string::npos, unit.find("WantedBy=multi-user.target\n"));
        EXPECT_EQ(m_Instance.Path("units/zelorm.service"),
                  fs::read_symlink(m_Instance.Path("units/multi-user.target.wants/zelorm.service"))
                      .string());
        EXPECT_EQ("daemon-reload\n", Calls());
    }
    // A second install leaves the first unit alone and fails.
    std::string before = ReadWhole(m_Instance.Path("units/zelorm.service"));
    auto r = Run("-install");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("CreateService failed - File exists (0x11)\n", r.output);
    EXPECT_EQ(before, ReadWhole(m_Instance.Path("units/zelorm.service")));
}

TEST_F(CommandTest, RemoveStopsARunningServiceAndDeletesTheUnit) {
    struct Case {
        const char* name;
        const char* activeState;
        const char* showAnswers;
        std::string output;
        std::string calls;
    } cases[] = {
        {"stopped service: no stop", "inactive\n", "", "ZEL for Dozoruve removed.\n",
         "is-active zelorm.service\ndaemon-reload\n"},
        {"running service stops", "active\n", "deactivating\ninactive\n",
         "Stopping ZEL for Dozoruve..\nZEL for Dozoruve stopped.\nZEL for Dozoruve removed.\n",
         "is-active zelorm.service\nstop --no-block zelorm.service\n"
         "show -p ActiveState --value zelorm.service\n"
         "show -p ActiveState --value zelorm.service\ndaemon-reload\n"},
        {"service that starts again", "active\n", "activating\n",
         "Stopping ZEL for Dozoruve.\nZEL for Dozoruve failed to stop.\nZEL for Dozoruve "
         "removed.\n",
         "is-active zelorm.service\nstop --no-block zelorm.service\n"
         "show -p ActiveState --value zelorm.service\ndaemon-reload\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(0, Run("-install").status);
        for (const char* f : {"calls", "shows"})
            fs::remove(m_Instance.Path(f));
        WriteWhole(m_Instance.Path("active-state"), c.activeState);
        WriteWhole(m_Instance.Path("show-answers"), c.showAnswers);

        auto r = Run("-remove");
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.output, r.output);
        EXPECT_EQ(c.calls, Calls());
        EXPECT_FALSE(fs::exists(m_Instance.Path("units/zelorm.service")));
        EXPECT_FALSE(fs::is_symlink(m_Instance.Path("units/multi-user.target.wants/zelorm.service")));
    }
    auto r = Run("-remove");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("OpenService failed - No such file or directory (0x2)\n", r.output);
}

// "-remove" waits for a stopping service, but Ctrl-C ends the wait.
TEST_F(CommandTest, CtrlCEndsTheWaitOfRemove) {
    ASSERT_EQ(0, Run("-install").status);
    WriteWhole(m_Instance.Path("active-state"), "active\n");
    std::string answers;
    for (int i = 0; i < 200; ++i)
        answers += "deactivating\n";
    WriteWhole(m_Instance.Path("show-answers"), answers);
    ChildProgram child({ProgramPath(), "-remove"}, Env({{"ZELORM_SYSTEMCTL", m_Controller}}),
                       m_Instance.Path("run"));
    ASSERT_TRUE(Eventually([&] { return child.Output().find("..") != std::string::npos; },
                           std::chrono::seconds(60)));
    ASSERT_TRUE(child.Signal(SIGINT));
    EXPECT_EQ(128 + SIGINT, child.Wait(std::chrono::seconds(30)));
    // Interrupted before its end, it deleted nothing.
    EXPECT_TRUE(fs::exists(m_Instance.Path("units/zelorm.service")));
}

TEST_F(CommandTest, CommandsWithoutAUnitDirectoryFail) {
    for (const char* word : {"-install", "-remove"}) {
        SCOPED_TRACE(word);
        auto r = RunProgram({ProgramPath(), word},
                            Env({{"ZELORM_UNIT_DIR", m_Instance.Path("no-such-dir")}}),
                            m_Instance.Path("run"));
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("OpenSCManager failed - No such file or directory (0x2)\n", r.output);
    }
}

// "-debug" reads its registry file and configuration, logs its start-up,
// and ends with exit 0 and its stop events on Ctrl-C and on SIGTERM.
TEST_F(ProgramTest, DebugRunsUntilInterruptedOrTerminated) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        fs::remove(m_Instance.Path("events"));
        // A leftover of an earlier scan: the spool named in the registry is
        // the one start-up clears.
        fs::create_directories(m_Instance.Path("spool/zeltemp"));
        WriteWhole(m_Instance.Path("spool/zeltemp/leftover"), "x");

        ChildProgram child({ProgramPath(), "-debug", "7"}, Env(), m_Instance.Path("run"));
        ASSERT_TRUE(child.Started());
        ASSERT_TRUE(Eventually([&] { return Has(m_Instance.Events(), kStarted); },
                               std::chrono::seconds(60)))
            << child.Errors();
        EXPECT_FALSE(fs::exists(m_Instance.Path("spool/zeltemp/leftover")));
        ASSERT_TRUE(child.Signal(sig));
        EXPECT_EQ(0, child.Wait());

        EXPECT_EQ(std::vector<std::string>({"4:The gateway service is starting.",
                                            "4:The gateway service has formed its configuration "
                                            "paths.",
                                            kAdminSetUp, kStarted, kStopped}),
                  m_Instance.Events());
        EXPECT_EQ(
            "Debugging ZEL for Dozoruve.\nSetting debug level to 7\nStopping ZEL for Dozoruve.\n",
            child.Output());
        EXPECT_NE(std::string::npos, child.Errors().find("Removing files from tempdir"));
    }
}

// A message that a crash left in the spool without its index line is
// queued again at start-up, on "slowq".
TEST_F(ProgramTest, StartupQueuesAgainWhatACrashLeftInTheSpool) {
    std::string spool = m_Instance.Path("spool");
    fs::create_directories(spool);
    fs::permissions(spool, fs::perms::owner_all);
    std::string name;
    {
        testsupport::ScopedEnv locks("ZELORM_LOCK_DIR", m_Instance.Path("locks"));
        CQueuedMessage message;
        ASSERT_EQ(0, message.Open(nullptr, spool.c_str()));
        ASSERT_EQ(0, message.Lock());
        ASSERT_EQ(0, message.SetSender("s@x.org"));
        message.SetComplete(1);
        ASSERT_EQ(0, message.AddRecipient("r@x.org", 1, 0, 0));
        ASSERT_EQ(0, message.OpenBodyForWrite(2, 0));
        ASSERT_EQ(0, message.AppendBody(CVornString("Subject: t\r\n\r\nbody\r\n")));
        ASSERT_EQ(0, message.CloseBody());
        ASSERT_EQ(0, message.WriteEnvelope());
        message.Unlock();
        name = message.GetName();
    }

    ChildProgram child({ProgramPath(), "-debug"}, Env(), m_Instance.Path("run"));
    ASSERT_TRUE(Eventually([&] { return Has(m_Instance.Events(), kStarted); },
                           std::chrono::seconds(60)))
        << child.Errors();
    ASSERT_TRUE(child.Signal(SIGTERM));
    EXPECT_EQ(0, child.Wait());
    EXPECT_NE(std::string::npos, ReadWhole(spool + "/slowq").find(" " + name + "\r\n"));
    std::vector<std::string> events = m_Instance.Events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const std::string& e) {
        return e.find(name) != std::string::npos && e.find("queued again") != std::string::npos;
    })) << ::testing::PrintToString(events);
}

TEST_F(ProgramTest, DebugWithoutLevelSendsNothingToTheConsole) {
    ChildProgram child({ProgramPath(), "-DEBUG"}, Env(), m_Instance.Path("run"));
    ASSERT_TRUE(Eventually([&] { return Has(m_Instance.Events(), kStarted); },
                           std::chrono::seconds(60)));
    ASSERT_TRUE(child.Signal(SIGINT));
    EXPECT_EQ(0, child.Wait());
    EXPECT_EQ("Debugging ZEL for Dozoruve.\nNot sending any debug info to console\nStopping ZEL "
              "for Dozoruve.\n",
              child.Output());
    EXPECT_EQ("", child.Errors());
}

// A start-up failure is reported in the event log and the exit status, and
// the program ends by itself instead of waiting as if it had started.
TEST_F(ProgramTest, StartupFailureIsReportedAndEndsTheProgram) {
    struct Case {
        const char* name;
        std::function<void(GatewayInstance&)> breakIt;
        std::string event;
    } cases[] = {
        {"broken shared configuration",
         [](GatewayInstance& i) { WriteWhole(i.Path("local/shared-config"), "not a config\r\n"); },
         "1:The gateway service could not start: "},
        {"missing vendor configuration",
         [](GatewayInstance& i) { fs::remove(i.Path("install/vendor/vendor-config")); },
         "1:The gateway service could not start: "},
        {"spool writable by everyone",
         [](GatewayInstance& i) { chmod(i.Path("spool").c_str(), 0777); },
         "1:The spool directory " },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(m_Instance.Path("events"));
        m_Instance.WriteConfig({SmtpPortSetting()});
        chmod(m_Instance.Path("spool").c_str(), 0700);
        c.breakIt(m_Instance);

        auto r = RunProgram({ProgramPath(), "-debug"}, Env(), m_Instance.Path("run"));
        EXPECT_EQ(3, r.status);
        std::vector<std::string> events = m_Instance.Events();
        EXPECT_TRUE(HasPrefix(events, c.event));
        EXPECT_TRUE(Has(events, "1:Start-up failed: the gateway service stops."));
        EXPECT_FALSE(Has(events, kStarted));
        EXPECT_EQ(kStopped, events.empty() ? "" : events.back());
        EXPECT_NE(std::string::npos, r.errors.find("zelorm: start-up failed"));
    }
}

// The web administration answers on the registry's "HTTPPort" while the
// service runs: an unknown URL goes to the top page, a page renders from the
// install directory's templates, an administrator page asks for a login
// with a fresh session cookie. Stopping ends the server with the rest.
TEST_F(ProgramTest, AdministrationAnswersOnItsPortWhileTheServiceRuns) {
    fs::create_directories(m_Instance.Path("install/html/english"));
    WriteWhole(m_Instance.Path("install/html/english/otop.html"),
               "Content-Type: text/html\r\n\r\n<p>top page</p>\n");
    WriteWhole(m_Instance.Path("install/html/english/ormadmin_login.mhtml"),
               "\r\n<p>please log in</p>\n");
    ChildProgram child({ProgramPath(), "-debug"}, Env(), m_Instance.Path("run"));
    ASSERT_TRUE(Eventually([&] { return Has(m_Instance.Events(), kStarted); },
                           std::chrono::seconds(60)))
        << child.Errors();
    const std::string base = "http://127.0.0.1:" + std::to_string(m_Instance.HttpPort());
    auto curl = [&](const std::string& url) {
        std::string out;
        FILE* pipe = popen(("curl -s -i --max-time 10 '" + url + "'").c_str(), "r");
        if (pipe == nullptr)
            return out;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
        return out;
    };

    std::string redirect = curl(base + "/no/such/command");
    EXPECT_EQ(0u, redirect.rfind("HTTP/1.0 302", 0)) << redirect;
    EXPECT_NE(std::string::npos, redirect.find("Location: " + base + "/Display?what=otop.html\r\n"))
        << redirect;
    std::string top = curl(base + "/Display?what=otop.html");
    EXPECT_EQ(0u, top.rfind("HTTP/1.0 200", 0)) << top;
    EXPECT_NE(std::string::npos, top.find("\r\n\r\n<p>top page</p>\n")) << top;
    std::string login = curl(base + "/Display?what=settings_a.mhtml");
    EXPECT_NE(std::string::npos, login.find("Set-Cookie: ZELORM=")) << login;
    EXPECT_NE(std::string::npos, login.find("<p>please log in</p>")) << login;

    ASSERT_TRUE(child.Signal(SIGTERM));
    EXPECT_EQ(0, child.Wait());
    EXPECT_EQ(kStopped, m_Instance.Events().back());
}

// A web port that another program holds stops start-up (event 578) before
// SMTP is started, and the program ends with 3.
TEST_F(ProgramTest, TakenWebPortStopsStartup) {
    int fd = gwtest::OccupyPort(m_Instance.HttpPort());
    ASSERT_GE(fd, 0);
    auto r = RunProgram({ProgramPath(), "-debug"}, Env(), m_Instance.Path("run"));
    close(fd);
    EXPECT_EQ(3, r.status);
    std::vector<std::string> events = m_Instance.Events();
    EXPECT_TRUE(Has(events, kAdminSetUp));
    EXPECT_TRUE(HasPrefix(events, "1:The gateway service could not start: "));
    EXPECT_FALSE(Has(events, kStarted));
    EXPECT_EQ(kStopped, events.empty() ? "" : events.back());
}

// Started by the service manager (the unit's variable set), the program
// reports itself ready over the notification socket before its start-up,
// takes SIGTERM as the stop control and reports stopping and stopped.
TEST_F(ProgramTest, ServiceReportsItsStatesAndStopsOnTerminate) {
    std::string socketPath = m_Instance.Path("notify");
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    struct timeval wait = {60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    auto receive = [fd]() {
        char buffer[512];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("<none>");
    };

    ChildProgram child({ProgramPath()}, Env({{"ZELORM_SERVICE", "1"}, {"NOTIFY_SOCKET", socketPath}}),
                       m_Instance.Path("run"));
    EXPECT_EQ("READY=1\nSTATUS=Running", receive());
    ASSERT_TRUE(Eventually([&] { return Has(m_Instance.Events(), kStarted); },
                           std::chrono::seconds(60)));
    ASSERT_TRUE(child.Signal(SIGTERM));
    EXPECT_EQ("STOPPING=1\nSTATUS=Stopping", receive());
    EXPECT_EQ("STATUS=Stopped", receive());
    EXPECT_EQ(0, child.Wait());
    EXPECT_EQ(kUsage, child.Output());
    EXPECT_EQ(kStopped, m_Instance.Events().back());
    close(fd);
}

}  // namespace
