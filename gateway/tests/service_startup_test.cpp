// Start-up and shutdown of the service in one process: the bootstrap paths
// and their defaults, the values with their corrections, the order of the
// start-up events, the failures that stop it, and a shutdown that may run
// again.
#include "gateway/service_startup.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "core/debug_log.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_string.h"
#include "gateway/auto_lock.h"
#include "gateway/pop3_server.h"
#include "gateway/update_scheduler.h"
#include "gateway/tests/support/gateway_instance.h"
#include "webadmin/web_admin.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;
using testsupport::WriteWhole;

std::string Str(CVornString& s) { return std::string(s.CStr(), static_cast<size_t>(s.Length())); }

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Catalogue texts "M<n>": events read as their numbers.
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Instance.Path("messages"),
                                                  testsupport::NumberedCatalog(883, {{820, " %s"}}),
                                                  883));
        (void)g_ServiceStopEvent.WaitSeconds(0);  // a set left by another test
    }

    void TearDown() override {
        ServiceStop();
        testsupport::ClearBaseCatalog();
    }

    // The system object with the SMTP server on a free loopback port: the
    // default port 25 may be taken (a local mail server, another test).
    static std::string SmtpOnAFreePort() {
        return "DS,SMTPPort=" + std::to_string(gwtest::FreePort());
    }

    // The events since the last call, as "type:text".
    std::vector<std::string> Events() {
        std::vector<std::string> out = m_Instance.Events();
        fs::remove(m_Instance.Path("events"));
        return out;
    }

    gwtest::GatewayInstance m_Instance;
    ScopedEnv m_Registry{"ZELORM_REGISTRY", m_Instance.Path("registry.reg")};
    ScopedEnv m_Locks{"ZELORM_LOCK_DIR", m_Instance.Path("locks")};
    ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Instance.Path("events")};
};

TEST_F(StartupTest, PathsComeFromTheRegistryOrThePrivateDefault) {
    ServicePaths paths;
    ReadServicePaths(paths);
    EXPECT_EQ(m_Instance.Path("install"), Str(paths.m_InstallDir));
    EXPECT_EQ(m_Instance.Path("spool"), Str(paths.m_MailDir));
    EXPECT_EQ(m_Instance.Path("local/shared-config"), Str(paths.m_SharedConfigFile));
    EXPECT_EQ(m_Instance.Path("local/local-config"), Str(paths.m_LocalConfigFile));
    EXPECT_EQ(m_Instance.Path("install/vendor/vendor-config"), Str(paths.m_VendorConfigFile));
    EXPECT_EQ(m_Instance.Path("local/zelex15.inf"), Str(paths.m_EngineConfigFile));
    EXPECT_EQ(m_Instance.Path("spool/zeltemp"), Str(paths.m_ScanTempDir));
    for (bool defaulted : paths.m_Defaulted)
        EXPECT_FALSE(defaulted);

    // Without any value every path lies in the private default directory,
    // and each failed read is reported.
    m_Instance.WriteRegistry({}, "");
    Events();
    ServicePaths defaults;
    ReadServicePaths(defaults);
    const std::string d = kDefaultDataDirectory;
    EXPECT_EQ(d, Str(defaults.m_InstallDir));
    EXPECT_EQ(d, Str(defaults.m_MailDir));
    EXPECT_EQ(d, Str(defaults.m_LocalDir));
    EXPECT_EQ(d, Str(defaults.m_LogDir));
    EXPECT_EQ(d + "/shared-config", Str(defaults.m_SharedConfigFile));
    EXPECT_EQ(d + "/zeltemp", Str(defaults.m_ScanTempDir));
    for (bool defaulted : defaults.m_Defaulted)
        EXPECT_TRUE(defaulted);
    EXPECT_EQ(5u, Events().size());
}

TEST_F(StartupTest, DataDirectoryIsMadePrivate) {
    mode_t old = umask(0);
    std::string dir = m_Instance.Path("fresh");
    EXPECT_TRUE(PrepareDataDirectory(dir.c_str()));
    umask(old);
    struct stat st;
    ASSERT_EQ(0, stat(dir.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    EXPECT_FALSE(IsWorldWritable(dir.c_str()));

    // An existing directory is taken as it is; a missing parent fails.
    chmod(dir.c_str(), 0777);
    EXPECT_TRUE(PrepareDataDirectory(dir.c_str()));
    EXPECT_TRUE(IsWorldWritable(dir.c_str()));
    EXPECT_FALSE(PrepareDataDirectory(m_Instance.Path("no/such").c_str()));
    EXPECT_FALSE(PrepareDataDirectory(""));
}

TEST_F(StartupTest, HttpPortKeepsItsLowSixteenBits) {
    struct Case {
        const char* value;  // "" = no value
        int port;
    } cases[] = {
        {"", 8003},           {"dword:8080", 8080}, {"dword:65536", 8003},
        {"dword:65537", 1},   {"dword:0", 8003},    {"9000", 9000},
        {"not a port", 8003},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        std::map<std::string, std::string> values;
        if (*c.value != '\0')
            values["HTTPPort"] = c.value;
        m_Instance.WriteRegistry(values, "");
        EXPECT_EQ(c.port, ReadHttpPort());
    }
}

TEST_F(StartupTest, SettingsBelowTheirBoundsTakeTheirDefaults) {
    struct Case {
        const char* line;
        int incoming;
        int level;
    } cases[] = {
        {"DS,", 5, 3},
        {"DS,HTTPIncoming=0,ZELORMRazoVidezTracerra=0", 5, 0},
        {"DS,HTTPIncoming=-4,ZELORMRazoVidezTracerra=2", 5, 2},
        {"DS,HTTPIncoming=12,ZELORMRazoVidezTracerra=4", 12, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        m_Instance.WriteConfig({c.line});
        CVornConfigStore store(m_Instance.Path("local/shared-config").c_str(),
                               m_Instance.Path("local/local-config").c_str(),
                               m_Instance.Path("install/vendor/vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
        EXPECT_EQ(c.incoming, ReadHttpIncoming());
        EXPECT_EQ(c.level, ReadHeuristicLevel());
    }
}

TEST_F(StartupTest, CompleteStartupLogsItsStepsAndStopSetsTheEvent) {
    m_Instance.WriteConfig({SmtpOnAFreePort() + ",ZELORMLogging=6"});
    fs::create_directories(m_Instance.Path("spool/zeltemp"));
    WriteWhole(m_Instance.Path("spool/zeltemp/a"), "x");
    WriteWhole(m_Instance.Path("spool/keep"), "y");

    EXPECT_EQ(0, ServiceStart());
    EXPECT_EQ(std::vector<std::string>({"4:M580", "4:M581", "4:M584", "4:M576"}), Events());
    EXPECT_NE(nullptr, g_ConfigStore);
    EXPECT_NE(nullptr, g_AutoLockCleanup);
    EXPECT_FALSE(fs::exists(m_Instance.Path("spool/zeltemp/a")));
    EXPECT_TRUE(fs::exists(m_Instance.Path("spool/keep")));
    EXPECT_FALSE(StartupKeepsServing());

    EXPECT_EQ(0, ServiceStop());
    EXPECT_EQ(nullptr, g_ConfigStore);
    EXPECT_EQ(nullptr, g_AutoLockCleanup);
    EXPECT_EQ(std::vector<std::string>({"4:M577"}), Events());
    EXPECT_EQ(CVornEvent::kSignalled, g_ServiceStopEvent.WaitSeconds(0));
}

// Start-up makes no POP3 server; one set beforehand is handed to the
// administration, listens once start-up is complete, and shutdown stops
// and deletes it.
TEST_F(StartupTest, APop3ServerIsStartedAndDeletedOnlyWhenItExists) {
    const int popPort = gwtest::FreePort();
    ASSERT_NE(0, popPort);
    m_Instance.WriteConfig({SmtpOnAFreePort() + ",POPPort=" + std::to_string(popPort)});
    ASSERT_EQ(nullptr, g_POP3Server);
    g_POP3Server = new POP3;
    ASSERT_EQ(0, ServiceStart());
    EXPECT_EQ(g_POP3Server, g_WebPOP3Server);
    ASSERT_NE(nullptr, g_POP3Server);
    EXPECT_TRUE(g_POP3Server->IsRunning());
    EXPECT_EQ(popPort, g_POP3Server->GetPort());

    EXPECT_EQ(0, ServiceStop());
    EXPECT_EQ(nullptr, g_POP3Server);
    // The listener went with the server.
    int fd = gwtest::OccupyPort(popPort);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
}

// The scheduler lives from start-up to shutdown, and a requested update
// runs the real launcher beside the program (the instance names no update
// package, so it ends with 4: no update ran).
TEST_F(StartupTest, TheUpdateSchedulerRunsFromStartupToShutdown) {
    m_Instance.WriteConfig({SmtpOnAFreePort()});
    ASSERT_EQ(0, ServiceStart());
    ASSERT_NE(nullptr, g_UpdateScheduler.load());
    ASSERT_TRUE(testsupport::Eventually([] { return g_UpdateScheduler.load()->Running(); }));
    g_UpdateScheduler.load()->RunNow();
    ASSERT_TRUE(testsupport::Eventually([] { return g_UpdateScheduler.load()->UpdatesRun() == 1; },
                                        std::chrono::seconds(30)));
    time_t start = 0, finish = 0;
    int result = -1;
    g_UpdateScheduler.load()->GetLastRun(start, finish, result);
    EXPECT_NE(0, start);
    EXPECT_NE(0, finish);
    EXPECT_EQ(4, result);

    EXPECT_EQ(0, ServiceStop());
    EXPECT_EQ(nullptr, g_UpdateScheduler.load());
}

// A live debug stream of the administration writes nothing while the log
// is quiet, so only its stop flag ends it: the stop sets that first and the
// web server's stop does not wait for the stream.
TEST_F(StartupTest, TheStopEndsARunningDebugStreamFirst) {
    m_Instance.WriteConfig({SmtpOnAFreePort() + ",MailVornAllowDebug=1"});
    ASSERT_EQ(0, ServiceStart());
    ASSERT_TRUE(g_LogSilent.load());
    std::atomic<bool> ended{false};
    std::thread browser([&] {
        (void)testsupport::RunCommand("curl -sS -N --max-time 60 -o /dev/null "
                                      "'http://127.0.0.1:" +
                                      std::to_string(m_Instance.HttpPort()) + "/Debug?level=1'");
        ended = true;
    });
    // The stream's capture sink is attached.
    ASSERT_TRUE(testsupport::Eventually([] { return !g_LogSilent.load(); }));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ServiceStop());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(testsupport::Eventually([&] { return ended.load(); }));
    browser.join();
    EXPECT_TRUE(g_LogSilent.load());
    DebugStopFlag.store(0);  // the service never clears it; later tests stream again
}

TEST_F(StartupTest, FailedStartupLeavesItsObjectsToAStopThatMayRunAgain) {
    struct Case {
        const char* name;
        bool writeConfig;
        mode_t spoolMode;
        std::vector<std::string> events;
        bool storeMade;
    } cases[] = {
        {"configuration missing", false, 0700, {"4:M580", "4:M581", "1:M578"}, true},
        {"spool open to everyone", true, 0777,
         {"4:M580", "1:M820 " + m_Instance.Path("spool")}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* f : {"local/shared-config", "local/local-config"})
            fs::remove(m_Instance.Path(f));
        if (c.writeConfig)
            m_Instance.WriteConfig({SmtpOnAFreePort()});
        chmod(m_Instance.Path("spool").c_str(), c.spoolMode);
        Events();

        EXPECT_EQ(1, ServiceStart());
        // The store's own events about the file may come between ours.
        std::vector<std::string> events = Events();
        std::vector<std::string> ours;
        for (const std::string& e : events)
            if (e.rfind("4:M5", 0) == 0 || e.rfind("1:M57", 0) == 0 || e.rfind("1:M82", 0) == 0)
                ours.push_back(e);
        EXPECT_EQ(c.events, ours);
        EXPECT_EQ(c.storeMade, g_ConfigStore != nullptr);
        EXPECT_EQ(nullptr, g_UpdateScheduler.load());

        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(0, ServiceStop());
            EXPECT_EQ(nullptr, g_ConfigStore);
            EXPECT_EQ(std::vector<std::string>({"4:M577"}), Events());
            EXPECT_EQ(CVornEvent::kSignalled, g_ServiceStopEvent.WaitSeconds(0));
        }
    }
    chmod(m_Instance.Path("spool").c_str(), 0700);
}

// A stop that arrives while start-up still runs waits until start-up has
// returned: start-up is held at its registry reads by the registry file's
// lock, the stop is requested meanwhile, and nothing of the stop happens
// until start-up has completed.
TEST_F(StartupTest, StopDuringStartupWaitsForIt) {
    m_Instance.WriteConfig({SmtpOnAFreePort()});
    int registryLock = open(m_Instance.Path("registry.reg.lock").c_str(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(registryLock, 0);
    ASSERT_EQ(0, flock(registryLock, LOCK_EX));

    std::atomic<int> started{-1};
    std::thread startup([&] { started = ServiceStart(); });
    ASSERT_TRUE(testsupport::Eventually([&] { return m_Instance.Events().size() == 1; }));
    std::atomic<bool> stopping{false};
    std::thread stop([&] {
        stopping = true;
        ServiceStop();
    });
    ASSERT_TRUE(testsupport::Eventually([&] { return stopping.load(); }));
    // Were the stop not held back, it would end at once: give it that
    // moment, then see that it has not.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(CVornEvent::kSignalled, g_ServiceStopEvent.WaitSeconds(0));
    EXPECT_EQ(std::vector<std::string>({"4:M580"}), m_Instance.Events());

    flock(registryLock, LOCK_UN);
    close(registryLock);
    startup.join();
    stop.join();
    EXPECT_EQ(0, started.load());
    EXPECT_EQ(std::vector<std::string>({"4:M580", "4:M581", "4:M584", "4:M576", "4:M577"}),
              Events());
    EXPECT_EQ(nullptr, g_ConfigStore);
    EXPECT_EQ(CVornEvent::kSignalled, g_ServiceStopEvent.WaitSeconds(0));
}

}  // namespace
