// libBramlet.so as a setup program uses it: loaded with dlopen, its
// exports called against a private registry file and definitions store, a
// temporary unit directory with a recorded controller, a private lock
// directory, and ports held on loopback by the test.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/tests/support/child_holder.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "defs/tests/support/store_fixture.h"
#include "install/bramlet/command_line.h"
#include "platform/sockets.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWhole;
using testsupport::ScopedEnv;
using testsupport::WriteWhole;

// The exports, as a setup program declares them.
struct Bramlet {
    int (*PortTaken)(int);
    int (*StopService)();
    int (*UninstInitialize)();
    int (*UninstUnInitialize)();
    int (*CreateZELGWMutex)();
    int (*CreateProcessAndWait)(const char*, int*);
    int (*DoPostDefUpdate)();
    int (*DoPreDefUpdate)(char*, const char*);
    int64_t (*GetDateTimeAsNumber)();
    int (*InstallService)(const char*);
    int (*LaunchApplication)(const char*, int);
    int (*ReleaseZELGWMutex)();
    void (*RemoveSharedDefs)();
    int (*StartZELGWService)();
    int (*StrCaseCompare)(const char*, const char*);
    int (*UninstallService)();
    int (*UserIsAdmin)();
};

class BramletTest : public defstest::StoreTest {
protected:
    void SetUp() override {
        // The controller records its arguments and answers from files the
        // test writes: "is-active" and "show" print state, "start" exits
        // with start-status.
        WriteWhole(m_Tools.Path("ctl"),
                   "#!/bin/sh\n"
                   "echo \"$*\" >> \"" +
                       m_Tools.Path("calls") +
                       "\"\n"
                       "case \"$1\" in\n"
                       "  is-active|show) cat \"" +
                       m_Tools.Path("state") +
                       "\" ;;\n"
                       "  start) exit $(cat \"" +
                       m_Tools.Path("start-status") +
                       "\") ;;\n"
                       "esac\n");
        chmod(m_Tools.Path("ctl").c_str(), 0700);
        WriteWhole(m_Tools.Path("state"), "inactive\n");
        WriteWhole(m_Tools.Path("start-status"), "0");

        // A copy of its own for each test: the library stays in memory after
        // dlclose while a thread that used it lives (thread-local
        // destructors pin it), and each test needs the store object that a
        // fresh load makes.
        const std::string copy = m_Tools.Path("libBramlet.so");
        fs::copy_file(ZELORM_BRAMLET, copy);
        m_Handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, m_Handle) << dlerror();
        Bind(m_Api.PortTaken, "PortTaken");
        Bind(m_Api.StopService, "StopService");
        Bind(m_Api.UninstInitialize, "UninstInitialize");
        Bind(m_Api.UninstUnInitialize, "UninstUnInitialize");
        Bind(m_Api.CreateZELGWMutex, "CreateZELGWMutex");
        Bind(m_Api.CreateProcessAndWait, "CreateProcessAndWait");
        Bind(m_Api.DoPostDefUpdate, "DoPostDefUpdate");
        Bind(m_Api.DoPreDefUpdate, "DoPreDefUpdate");
        Bind(m_Api.GetDateTimeAsNumber, "GetDateTimeAsNumber");
        Bind(m_Api.InstallService, "InstallService");
        Bind(m_Api.LaunchApplication, "LaunchApplication");
        Bind(m_Api.ReleaseZELGWMutex, "ReleaseZELGWMutex");
        Bind(m_Api.RemoveSharedDefs, "RemoveSharedDefs");
        Bind(m_Api.StartZELGWService, "StartZELGWService");
        Bind(m_Api.StrCaseCompare, "StrCaseCompare");
        Bind(m_Api.UninstallService, "UninstallService");
        Bind(m_Api.UserIsAdmin, "UserIsAdmin");
    }

    void TearDown() override {
        if (m_Handle != nullptr)
            dlclose(m_Handle);
    }

    template <typename F>
    void Bind(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(m_Handle, name));
        ASSERT_NE(nullptr, reinterpret_cast<void*>(f)) << name;
    }

    std::string Calls() {
        std::string calls =
            fs::exists(m_Tools.Path("calls")) ? ReadWhole(m_Tools.Path("calls")) : "";
        fs::remove(m_Tools.Path("calls"));
        return calls;
    }
    std::string Unit() const { return m_Units.Path("zelorm.service"); }
    std::string WantsLink() const { return m_Units.Path("multi-user.target.wants/zelorm.service"); }

    testsupport::TempDir m_Units{"zelorm-units"};
    testsupport::TempDir m_Tools{"zelorm-ctl"};
    testsupport::TempDir m_Locks{"zelorm-locks"};
    ScopedEnv m_UnitEnv{"ZELORM_UNIT_DIR", m_Units.Path()};
    ScopedEnv m_ControllerEnv{"ZELORM_SYSTEMCTL", m_Tools.Path("ctl")};
    ScopedEnv m_LockEnv{"ZELORM_LOCK_DIR", m_Locks.Path()};
    void* m_Handle = nullptr;
    Bramlet m_Api{};
};

// ---- the service ----

TEST_F(BramletTest, InstallWritesTheUnitAndASecondInstallRepointsItKeepingTheRest) {
    for (const char* bad : {static_cast<const char*>(nullptr), ""})
        EXPECT_EQ(87, m_Api.InstallService(bad));
    EXPECT_TRUE(fs::is_empty(m_Units.Path()));
    EXPECT_EQ("", Calls());
    EXPECT_EQ(EINVAL, m_Api.InstallService("bin/zelorm"));
    EXPECT_EQ(EINVAL, m_Api.InstallService("/opt/zelorm\nExecStartPre=/bin/x"));

    ASSERT_EQ(0, m_Api.InstallService("/opt/zelorm/zelorm"));
    std::string unit = ReadWhole(Unit());
    EXPECT_NE(std::string::npos, unit.find("Description=ZEL for Dozoruve 2.1\n")) << unit;
    EXPECT_NE(std::string::npos, unit.find("ExecStart=\"/opt/zelorm/zelorm\"\n"));
    const std::string registryLine =
        "Environment=\"ZELORM_REGISTRY=" + m_Temp.Path("registry.reg") + "\"\n";
    EXPECT_NE(std::string::npos, unit.find(registryLine));
    EXPECT_TRUE(fs::is_symlink(WantsLink()));

    // The service exists: a new path and automatic start; its environment
    // stays as installed, even when ours has changed since.
    fs::remove(WantsLink());
    ScopedEnv otherRegistry("ZELORM_REGISTRY", "/elsewhere.reg");
    ASSERT_EQ(0, m_Api.InstallService("/srv/new/zelorm"));
    unit = ReadWhole(Unit());
    EXPECT_NE(std::string::npos, unit.find("ExecStart=\"/srv/new/zelorm\"\n")) << unit;
    EXPECT_EQ(std::string::npos, unit.find("/opt/zelorm/zelorm"));
    EXPECT_NE(std::string::npos, unit.find(registryLine));
    EXPECT_TRUE(fs::is_symlink(WantsLink()));
    EXPECT_FALSE(fs::exists(Unit() + ".new"));
}

TEST_F(BramletTest, StartStopAndUninstallGoThroughTheController) {
    EXPECT_EQ(ENOENT, m_Api.StartZELGWService());
    EXPECT_EQ(ENOENT, m_Api.StopService());
    EXPECT_EQ(ENOENT, m_Api.UninstallService());
    ASSERT_EQ(0, m_Api.InstallService("/opt/zelorm/zelorm"));
    Calls();

    EXPECT_EQ(0, m_Api.StartZELGWService());
    EXPECT_EQ("start --no-block zelorm.service\n", Calls());
    WriteWhole(m_Tools.Path("start-status"), "1");
    EXPECT_EQ(EIO, m_Api.StartZELGWService());
    Calls();

    // A running service is asked to stop; the wait ends at the first look
    // that finds it stopped.
    WriteWhole(m_Tools.Path("state"), "active\n");
    std::string state = m_Tools.Path("state");
    WriteWhole(m_Tools.Path("ctl"), ReadWhole(m_Tools.Path("ctl")) +
                                        "if [ \"$1\" = stop ]; then echo inactive > \"" + state +
                                        "\"; fi\n");
    EXPECT_EQ(0, m_Api.StopService());
    EXPECT_EQ(
        "is-active zelorm.service\nstop --no-block zelorm.service\n"
        "show -p ActiveState --value zelorm.service\n",
        Calls());
    EXPECT_TRUE(fs::exists(Unit()));

    EXPECT_EQ(0, m_Api.UninstallService());
    EXPECT_FALSE(fs::exists(Unit()));
    EXPECT_FALSE(fs::is_symlink(WantsLink()));
    EXPECT_EQ(ENOENT, m_Api.UninstallService());
    EXPECT_EQ(0, m_Api.UninstUnInitialize());
}

TEST_F(BramletTest, AUnitOfTheNameThatWeDidNotWriteIsNeverChangedOrRemoved) {
    const std::string own = "[Unit]\nDescription=the administrator's own\n";
    WriteWhole(Unit(), own);
    EXPECT_EQ(EPERM, m_Api.InstallService("/opt/zelorm/zelorm"));
    EXPECT_EQ(EPERM, m_Api.UninstallService());
    EXPECT_EQ(0, m_Api.UninstInitialize());
    EXPECT_EQ(own, ReadWhole(Unit()));
}

TEST_F(BramletTest, NoServiceManagerIsAnError) {
    ScopedEnv missing("ZELORM_UNIT_DIR", m_Units.Path("missing"));
    EXPECT_EQ(ENOENT, m_Api.InstallService("/opt/zelorm/zelorm"));
    EXPECT_EQ(ENOENT, m_Api.StartZELGWService());
}

// ---- programs ----

TEST_F(BramletTest, CommandLinesRunWithoutAShellAndReportTheirExitCodes) {
    const std::string dir = m_Tools.Path();
    struct Case {
        std::string line;
        int result;
        int code;
    } cases[] = {
        {"sh -c \"exit 7\"", 1, 7},
        {"  /bin/true  ", 1, 0},
        {"sh -c \"kill -9 $$\"", 1, 128 + 9},
        {"/no/such/program", 0, -5},
        {"no-such-program-anywhere", 0, -5},
        {"", 0, -5},
        {"   \t ", 0, -5},
        {std::string(bramlet::kMaxCommandLine - 5, 'x') + " /bin/true", 0, -5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        int code = -5;
        EXPECT_EQ(c.result, m_Api.CreateProcessAndWait(c.line.c_str(), &code));
        EXPECT_EQ(c.code, code);
        EXPECT_EQ(c.result != 0 ? c.code : -1, m_Api.LaunchApplication(c.line.c_str(), 1));
    }
    int code = -5;
    EXPECT_EQ(0, m_Api.CreateProcessAndWait(nullptr, &code));
    EXPECT_EQ(-1, m_Api.LaunchApplication(nullptr, 0));

    // Shell characters are plain: the words reach the program as written.
    const std::string line = "touch \"" + dir + "/a b\" " + dir + "/$HOME;x " + dir + "/q\\\"";
    ASSERT_EQ(1, m_Api.CreateProcessAndWait(line.c_str(), &code));
    EXPECT_EQ(0, code);
    EXPECT_TRUE(fs::exists(dir + "/a b"));
    EXPECT_TRUE(fs::exists(dir + "/$HOME;x"));
    EXPECT_TRUE(fs::exists(dir + "/q\""));

    // A null exit-code pointer runs nothing.
    const std::string never = "touch " + dir + "/never";
    EXPECT_EQ(0, m_Api.CreateProcessAndWait(never.c_str(), nullptr));
    EXPECT_FALSE(fs::exists(dir + "/never"));
}

TEST_F(BramletTest, HiddenProgramsGetDevNullOnlyWhenTheLowByteIsSet) {
    const std::string out = m_Tools.Path("out");
    const std::string line = "sh -c \"readlink /proc/self/fd/2 > " + out + "\"";
    ASSERT_EQ(0, m_Api.LaunchApplication(line.c_str(), 1));
    EXPECT_EQ("/dev/null\n", ReadWhole(out));
    ASSERT_EQ(0, m_Api.LaunchApplication(line.c_str(), 0x100));
    EXPECT_NE("/dev/null\n", ReadWhole(out));
}

TEST(CommandLineTest, WordsFollowTheWindowsRules) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"a b\tc", {"a", "b", "c"}},
        {"\"C:/Program Files/x\" -s", {"C:/Program Files/x", "-s"}},
        {"a\\\\b", {"a\\\\b"}},
        {"a\\\"b", {"a\"b"}},
        {"\"a\\\\\" b", {"a\\", "b"}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"x\"y z\"w", {"xy zw"}},
        {"\"\"", {""}},
        {"$(id) ; | *", {"$(id)", ";", "|", "*"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> words;
        EXPECT_TRUE(bramlet::SplitCommandLine(c.line, words));
        EXPECT_EQ(c.words, words);
    }
    std::vector<std::string> words{"left"};
    EXPECT_FALSE(bramlet::SplitCommandLine(" ", words));
    EXPECT_TRUE(words.empty());
    EXPECT_FALSE(bramlet::SplitCommandLine(nullptr, words));
    std::string longest(bramlet::kMaxCommandLine, 'x');
    EXPECT_TRUE(bramlet::SplitCommandLine(longest.c_str(), words));
    longest += 'x';
    EXPECT_FALSE(bramlet::SplitCommandLine(longest.c_str(), words));
}

// ---- ports, the mutex and the small wrappers ----

TEST_F(BramletTest, PortTakenWhileSomeoneListensAndLeavesAFreePortFree) {
    int fd = platform::SocketCreate(platform::SocketType::Stream);
    ASSERT_GE(fd, 0);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, platform::SocketBind(fd, loopback, 0));
    ASSERT_EQ(0, platform::SocketListen(fd, 1));
    uint16_t port = 0;
    ASSERT_EQ(0, platform::SocketLocalAddress(fd, nullptr, &port));
    EXPECT_EQ(1, m_Api.PortTaken(port));
    platform::SocketClose(fd);

    EXPECT_EQ(0, m_Api.PortTaken(port));
    EXPECT_EQ(0, m_Api.PortTaken(port));
    // Free again afterwards: the test can listen there itself.
    fd = platform::SocketCreate(platform::SocketType::Stream);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, platform::SocketBind(fd, loopback, port));
    EXPECT_EQ(0, platform::SocketListen(fd, 1));
    platform::SocketClose(fd);

    for (int bad : {0, -1, 65536, 65536 + 25}) EXPECT_EQ(1, m_Api.PortTaken(bad)) << bad;
}

TEST_F(BramletTest, InstallMutexIsOneHolderAcrossProcesses) {
    EXPECT_EQ(0, m_Api.ReleaseZELGWMutex());
    Bramlet api = m_Api;
    // The child takes it first (the parent has not opened it: a forked
    // child must not share the parent's lock files).
    testsupport::ChildHolder child(
        [api]() -> testsupport::ChildHolder::Release {
            if (api.CreateZELGWMutex() != 0)
                return nullptr;
            return [api] { return api.ReleaseZELGWMutex() == 1; };
        },
        /*dieHolding=*/true);
    ASSERT_TRUE(child.Started());
    ASSERT_EQ('y', child.Report());
    EXPECT_EQ(-1, m_Api.CreateZELGWMutex());
    EXPECT_EQ(0, m_Api.ReleaseZELGWMutex());
    // Its holder died holding it: it is free again.
    child.Command();
    child.Reap();
    EXPECT_EQ(0, m_Api.CreateZELGWMutex());
    EXPECT_EQ(-1, m_Api.CreateZELGWMutex());
    EXPECT_EQ(1, m_Api.ReleaseZELGWMutex());
    EXPECT_EQ(0, m_Api.ReleaseZELGWMutex());
    EXPECT_EQ(0, m_Api.CreateZELGWMutex());
    EXPECT_EQ(1, m_Api.ReleaseZELGWMutex());
}

TEST_F(BramletTest, SmallWrappers) {
    struct Case {
        const char* a;
        const char* b;
        int result;
    } cases[] = {
        {"abc", "abc", 0}, {"abc", "ABC", 1}, {"ABC", "abc", -1}, {"a", "ab", -1},
        {"\xff", "a", 1},  {nullptr, "", -1}, {"", nullptr, 1},   {nullptr, nullptr, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, m_Api.StrCaseCompare(c.a, c.b));
    EXPECT_EQ(geteuid() == 0 ? 0 : -1, m_Api.UserIsAdmin());
    const int64_t before = time(nullptr);
    const int64_t now = m_Api.GetDateTimeAsNumber();
    EXPECT_LE(before, now);
    EXPECT_LE(now, static_cast<int64_t>(time(nullptr)));
}

// ---- the initial definitions ----

TEST_F(BramletTest, PreparedDefinitionsAreInstalledAndBothIdsRegistered) {
    EXPECT_EQ(0, m_Api.DoPreDefUpdate(nullptr, m_Temp.Path("fallback").c_str()));
    EXPECT_FALSE(fs::exists(ExpectedRoot()));
    EXPECT_FALSE(fs::exists(m_Temp.Path("fallback")));
    EXPECT_EQ(-1, m_Api.DoPostDefUpdate());

    char buffer[300];
    memset(buffer, 'G', sizeof buffer);
    ASSERT_EQ(0, m_Api.DoPreDefUpdate(buffer, ""));
    const std::string download = buffer;
    EXPECT_LT(download.size(), 260u);
    for (size_t i = 260; i < sizeof buffer; ++i) ASSERT_EQ('G', buffer[i]);
    EXPECT_EQ(0u, download.rfind(ExpectedRoot(), 0)) << download;
    MakeSet(download, 20260105, 2);
    ASSERT_EQ(0, m_Api.DoPostDefUpdate());

    const std::string set = ExpectedRoot() + "/20260105.002";
    EXPECT_EQ(set, RegText(defstest::kSharedDefs, "ZELORM_20"));
    EXPECT_EQ(set, RegText(defstest::kSharedDefs, "ZELORM_UPDATE"));
    EXPECT_FALSE(fs::exists(download));
}

TEST_F(BramletTest, ASetNoNewerThanTheNewestStillRegistersBothIdsOnTheNewest) {
    ASSERT_EQ(1, Install(20260301, 1));
    char buffer[260];
    ASSERT_EQ(0, m_Api.DoPreDefUpdate(buffer, nullptr));
    MakeSet(buffer, 20260101, 1);
    ASSERT_EQ(0, m_Api.DoPostDefUpdate());
    const std::string newest = ExpectedRoot() + "/20260301.001";
    EXPECT_EQ(newest, RegText(defstest::kSharedDefs, "ZELORM_20"));
    EXPECT_EQ(newest, RegText(defstest::kSharedDefs, "ZELORM_UPDATE"));
    EXPECT_FALSE(fs::exists(ExpectedRoot() + "/20260101.001"));
}

TEST_F(BramletTest, RemovingOurIdsKeepsAStoreThatAnotherApplicationUses) {
    ASSERT_EQ(1, Install(20260301, 1));
    {
        SharedDefs other;
        ASSERT_NE(0, other.SetAppId("OTHER_APP"));
        ASSERT_NE(0, other.UseNewestDefsOnly());
    }
    char buffer[260];
    ASSERT_EQ(0, m_Api.DoPreDefUpdate(buffer, nullptr));
    ASSERT_EQ(0, m_Api.DoPostDefUpdate());
    m_Api.RemoveSharedDefs();
    EXPECT_EQ("", RegText(defstest::kSharedDefs, "ZELORM_20"));
    EXPECT_EQ("", RegText(defstest::kSharedDefs, "ZELORM_UPDATE"));
    EXPECT_EQ(ExpectedRoot() + "/20260301.001", RegText(defstest::kSharedDefs, "OTHER_APP"));
    EXPECT_TRUE(fs::exists(ExpectedRoot() + "/20260301.001/VirScan1.dat"));

    // The last one out removes the store, and only the store.
    WriteWhole(m_Temp.Path("common/Quorvane Shared/keep.txt"), "not ours");
    {
        SharedDefs other;
        ASSERT_NE(0, other.SetAppId("OTHER_APP"));
        ASSERT_NE(0, other.StopUsingDefs());
    }
    EXPECT_FALSE(fs::exists(ExpectedRoot()));
    EXPECT_TRUE(fs::exists(m_Temp.Path("common/Quorvane Shared/keep.txt")));
}

TEST_F(BramletTest, UninstallRemovesServiceAndOurDefinitions) {
    ASSERT_EQ(0, m_Api.InstallService("/opt/zelorm/zelorm"));
    char buffer[260];
    ASSERT_EQ(0, m_Api.DoPreDefUpdate(buffer, nullptr));
    MakeSet(buffer, 20260105, 1);
    ASSERT_EQ(0, m_Api.DoPostDefUpdate());
    ASSERT_TRUE(fs::exists(ExpectedRoot()));
    EXPECT_EQ(0, m_Api.UninstInitialize());
    EXPECT_FALSE(fs::exists(Unit()));
    EXPECT_FALSE(fs::exists(ExpectedRoot()));
}

}  // namespace
