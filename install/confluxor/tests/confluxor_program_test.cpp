// Confluxor run as a program on a private configuration (three files), a
// private registry file and lock directory: what a merge adds, keeps and
// replaces, the administrator account, the definition-update results, bad
// arguments, and failures that must leave the files as they were.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "config/users.h"
#include "core/tests/support/child_holder.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/vorn_string.h"
#include "install/confluxor/config_merge.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"

extern char** environ;

namespace {

using testsupport::ReadWhole;
using testsupport::WriteWhole;

const char kProductKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\ZELORM";
const char kMakerKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane";
const char kUsageStart[] = "Usage: Confluxor [-h] [-S smtp-port]";

std::string Str(CVornString& s) { return std::string(s.CStr(), static_cast<size_t>(s.Length())); }

class ConfluxorTest : public ::testing::Test {
protected:
    struct Run {
        int status;
        std::string out;
        std::string err;
    };

    ConfluxorTest()
        : m_Registry("ZELORM_REGISTRY", m_Temp.Path("registry.reg")),
          m_Locks("ZELORM_LOCK_DIR", m_Temp.Path("locks")),
          m_Events("ZELORM_EVENTLOG", m_Temp.Path("events.log")) {}

    void SetUp() override {
        for (const char* dir : {"locks", "install", "install/vendor", "local"})
            ASSERT_EQ(0, mkdir(m_Temp.Path(dir).c_str(), 0700));
        std::filesystem::copy_file(std::string(ZELORM_CATALOG_DIR) + "/messages",
                                   m_Temp.Path("install/messages"));
        SetText(kProductKey, "InstallDir", m_Temp.Path("install"));
        SetText(kProductKey, "LocalDir", m_Temp.Path("local"));
        SetText(kMakerKey, "SharedConfigFile", Shared());
        WriteWhole(Shared(), "# 2 0\r\n");
        WriteWhole(Local(), "# 2 0\r\n");
        WriteWhole(m_Temp.Path("install/vendor/vendor-config"), "# 2 0\r\n");
    }

    static void SetText(const std::string& key, const char* name, const std::string& text) {
        ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(key));
        ASSERT_EQ(platform::kRegSuccess,
                  platform::RegWriteValue(key, name, platform::kRegSz, text.data(), text.size()));
    }

    std::string Shared() const { return m_Temp.Path("shared-config"); }
    std::string Local() const { return m_Temp.Path("local/local-config"); }

    // Starts the program with these words; its output goes to two files.
    pid_t Start(const std::vector<std::string>& words) {
        std::vector<std::string> args{ZELORM_CONFLUXOR};
        args.insert(args.end(), words.begin(), words.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_Temp.Path("out.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, m_Temp.Path("err.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, ZELORM_CONFLUXOR, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }

    Run Finish(pid_t pid) {
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid)
            return {-1, "", ""};
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWhole(m_Temp.Path("out.txt")),
                ReadWhole(m_Temp.Path("err.txt"))};
    }

    Run Confluxor(const std::vector<std::string>& words) { return Finish(Start(words)); }

    // Reads the files as the service would.
    void Reload() {
        m_Store = std::make_unique<CVornConfigStore>(
            Shared().c_str(), Local().c_str(), m_Temp.Path("install/vendor/vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
    }

    // The value of one attribute, or "<none>".
    static std::string Value(char type, const char* name, const char* attribute) {
        CVornString out;
        if (CVornConfigStore::GetObjectSetting(type, name, attribute, out) != 0)
            return "<none>";
        return Str(out);
    }

    static bool PasswordIs(const char* user, const char* password) {
        return CVornConfigStore::CheckPassword(user, password, 1) == 0;
    }

    // Every merged setting of the system object, and the account's
    // attributes with its password hash.
    static std::map<std::string, std::string> Merged(const char* user) {
        std::map<std::string, std::string> out;
        for (const MergeDefault* d = DefaultSystemSettings; d->m_Name; ++d)
            out[d->m_Name] = Value('S', nullptr, d->m_Name);
        out["CacheDiskUse"] = Value('S', nullptr, "CacheDiskUse");
        for (const MergeDefault* d = DefaultAdminAttributes; d->m_Name; ++d)
            out[std::string("user ") + d->m_Name] = Value('U', user, d->m_Name);
        out["user Password"] = Value('U', user, "Password");
        return out;
    }

    testsupport::TempDir m_Temp{"confluxor-test"};
    testsupport::ScopedEnv m_Registry, m_Locks, m_Events;
    std::unique_ptr<CVornConfigStore> m_Store;
};

TEST_F(ConfluxorTest, EmptyConfigurationGetsEveryDefaultAndTheAdministrator) {
    Run run = Confluxor({"ZELORM"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
    Reload();
    int count = 0;
    for (const MergeDefault* d = DefaultSystemSettings; d->m_Name; ++d, ++count) {
        SCOPED_TRACE(d->m_Name);
        EXPECT_EQ(d->m_Value, Value('S', nullptr, d->m_Name));
    }
    EXPECT_EQ(33, count);
    std::string extensions = Value('S', nullptr, "RazoVidezIncludeExt");
    EXPECT_EQ(41, std::count(extensions.begin(), extensions.end(), '\x1C') + 1);
    EXPECT_EQ("100", Value('S', nullptr, "CacheDiskUse"));
    for (const MergeDefault* d = DefaultAdminAttributes; d->m_Name; ++d)
        EXPECT_EQ(d->m_Value, Value('U', "quendrial", d->m_Name)) << d->m_Name;
    EXPECT_EQ(13u, Value('U', "quendrial", "Password").size());
    EXPECT_TRUE(PasswordIs("quendrial", "quendrial"));
    const auto first = Merged("quendrial");

    // Definition-update results are carried in: given ones written, the
    // one not given emptied.
    ASSERT_EQ(0, Confluxor({"-R", "0", "-A", "1000", "ZELORM"}).status);
    Reload();
    EXPECT_EQ("0", Value('S', nullptr, "ZELORMKBLastResult"));
    EXPECT_EQ("1000", Value('S', nullptr, "ZELORMKBLastStart"));
    EXPECT_EQ("", Value('S', nullptr, "ZELORMKBLastFinish"));

    // A run without them changes nothing but empties the three again; the
    // password hash (a new salt each time it is made) stays.
    ASSERT_EQ(0, Confluxor({"ZELORM"}).status);
    Reload();
    EXPECT_EQ(first, Merged("quendrial"));
}

TEST_F(ConfluxorTest, ExistingSettingsStayExceptThePortAndCacheSizeGiven) {
    const std::string before =
        "# 2 0\r\nDS,SMTPPort=2525,Domain=example.org,CacheDiskUse=250,ZELORMKBSchedHours=03,"
        "RelayMode=H,ZELORMKBLastFinish=77\r\n";
    struct Case {
        std::vector<std::string> words;
        const char* port;
        const char* cache;
    } cases[] = {
        {{"ZELORM"}, "2525", "250"},
        {{"-S", "2526", "ZELORM"}, "2526", "250"},
        {{"-S25", "ZELORM", "300"}, "25", "300"},
        {{"/S", "2600", "--", "ZELORM", "admin", "pw", "400"}, "2600", "400"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.front());
        WriteWhole(Shared(), before);
        Run run = Confluxor(c.words);
        ASSERT_EQ(0, run.status) << run.err;
        Reload();
        EXPECT_EQ(c.port, Value('S', nullptr, "SMTPPort"));
        EXPECT_EQ(c.cache, Value('S', nullptr, "CacheDiskUse"));
        EXPECT_EQ("example.org", Value('S', nullptr, "Domain"));
        EXPECT_EQ("03", Value('S', nullptr, "ZELORMKBSchedHours"));
        EXPECT_EQ("H", Value('S', nullptr, "RelayMode"));  // not one of the defaults
        EXPECT_EQ("50", Value('S', nullptr, "HTTPIncoming"));  // missing: added
        EXPECT_EQ("", Value('S', nullptr, "ZELORMKBLastFinish"));
    }
}

TEST_F(ConfluxorTest, AdministratorAccountIsCreatedOrKept) {
    WriteWhole(Shared(),
               "# 2 0\r\nDUboss,VirtualAcct=1,RealName=The Boss,ZELORMPerms=R:S\r\n");
    // A password for an existing account replaces its hash only.
    ASSERT_EQ(0, Confluxor({"ZELORM", "boss", "first-secret"}).status);
    Reload();
    EXPECT_TRUE(PasswordIs("boss", "first-secret"));
    EXPECT_EQ("The Boss", Value('U', "boss", "RealName"));
    EXPECT_EQ("R:S", Value('U', "boss", "ZELORMPerms"));
    EXPECT_EQ("SMRDGA:SLGDUC", Value('U', "boss", "PowerAdminPerms"));  // lacked: added
    ASSERT_EQ(0, Confluxor({"ZELORM", "Boss", "2nd-pass", "120"}).status);
    Reload();
    EXPECT_TRUE(PasswordIs("boss", "2nd-pass"));
    EXPECT_FALSE(PasswordIs("boss", "first-secret"));
    EXPECT_EQ(0, CVornConfigStore::ObjectExists('U', "quendrial"));
    EXPECT_EQ("120", Value('S', nullptr, "CacheDiskUse"));

    // The password never reaches the files in clear text.
    for (const std::string& path : {Shared(), Local()})
        for (const char* secret : {"first-secret", "2nd-pass"})
            EXPECT_EQ(std::string::npos, ReadWhole(path).find(secret)) << path;
}

TEST_F(ConfluxorTest, WithoutAPasswordWordAPasswordIsKeptAndAMissingOneIsTheDefault) {
    CVornString hash;
    ASSERT_TRUE(CryptPassword("kept-pass", "ab", hash));
    WriteWhole(Shared(), "# 2 0\r\nDUquendrial,VirtualAcct=1,Password=" + Str(hash) + "\r\n");
    ASSERT_EQ(0, Confluxor({"ZELORM"}).status);
    Reload();
    EXPECT_EQ(Str(hash), Value('U', "quendrial", "Password"));

    WriteWhole(Shared(), "# 2 0\r\nDUquendrial,VirtualAcct=1,RealName=Kept\r\n");
    ASSERT_EQ(0, Confluxor({"ZELORM"}).status);
    Reload();
    EXPECT_TRUE(PasswordIs("quendrial", "quendrial"));
    EXPECT_EQ("Kept", Value('U', "quendrial", "RealName"));
}

TEST_F(ConfluxorTest, BadArgumentsPrintAClearTextAndChangeNothing) {
    const std::string before = ReadWhole(Shared());
    struct Case {
        std::vector<std::string> words;
        bool usage;
        const char* error;
    } cases[] = {
        {{}, true, ""},
        {{"ZELORM", "a", "b", "c", "d"}, true, ""},
        {{"-h", "ZELORM"}, true, ""},
        {{"-S", "25"}, true, ""},  // the value is taken: no product is left
        {{"-S", "0", "ZELORM"}, false, "Confluxor: bad SMTP port \"0\" (1 to 65535).\n"},
        {{"-S", "65536", "ZELORM"}, false, "Confluxor: bad SMTP port \"65536\" (1 to 65535).\n"},
        {{"-S", "smtp", "ZELORM"}, false, "Confluxor: bad SMTP port \"smtp\" (1 to 65535).\n"},
        {{"-R", "ok", "ZELORM"}, false, "Confluxor: bad value \"ok\" of -R (a number).\n"},
        // Two words are product and cache size, not a user name.
        {{"ZELORM", "admin"}, false, "Confluxor: bad cache size \"admin\" (a number).\n"},
        {{""}, false, "Confluxor: the product name is empty.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words.empty() ? "(none)" : c.words.front());
        Run run = Confluxor(c.words);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(c.usage, run.out.rfind(kUsageStart, 0) == 0) << run.out;
        EXPECT_EQ(c.error, run.err);
        EXPECT_EQ(before, ReadWhole(Shared()));
    }
    EXPECT_EQ(
        "Usage: Confluxor [-h] [-S smtp-port] [-A <LastKelbrookStartTime>] [-F "
        "<LastKelbrookFinishTime>] [-R <KelbrookStatus>] product [<admin user> <admin password>] "
        "[<cache size>]\n",
        Confluxor({"-h"}).out);
}

TEST_F(ConfluxorTest, FailuresLeaveTheFilesAsTheyWere) {
    // A system object that cannot take one more attribute.
    std::string full = "DS,";
    for (int i = 0; i < 100000; ++i) full += "a" + std::to_string(i) + "=1,";
    full.pop_back();
    struct Case {
        const char* what;
        std::string shared;
        std::vector<std::string> words;
        std::string error;  // a line of standard error
    } cases[] = {
        {"broken header", "not a configuration\r\n", {"ZELORM"}, "Confluxor: LoadConfig() failed."},
        {"bad account name",
         "# 2 0\r\n",
         {"ZELORM", "bad,name", "pw"},
         "Confluxor: Unable to add account bad,name."},
        {"settings refused",
         "# 2 0\r\n" + full + "\r\n",
         {"ZELORM"},
         "Confluxor: Unable to add setting HTTPIncoming to system object."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteWhole(Shared(), c.shared);
        const std::string local = ReadWhole(Local());
        Run run = Confluxor(c.words);
        EXPECT_EQ(1, run.status);
        EXPECT_NE(std::string::npos, run.err.find(c.error + "\n")) << run.err;
        EXPECT_EQ(c.shared, ReadWhole(Shared()));
        EXPECT_EQ(local, ReadWhole(Local()));
        EXPECT_FALSE(std::filesystem::exists(Shared() + "_new"));
    }

    // A missing file is no empty configuration: nothing is made in its place.
    std::filesystem::remove(Local());
    Run run = Confluxor({"ZELORM"});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("Confluxor: LoadConfig() failed.\n"));
    EXPECT_FALSE(std::filesystem::exists(Local()));
}

TEST_F(ConfluxorTest, WithoutTheCatalogueNothingIsReadOrWritten) {
    std::filesystem::remove(m_Temp.Path("install/messages"));
    ASSERT_FALSE(std::filesystem::exists(
        std::filesystem::path(ZELORM_CONFLUXOR).parent_path() / "messages"));
    const std::string before = ReadWhole(Shared());
    Run run = Confluxor({"ZELORM"});
    EXPECT_EQ(2, run.status);
    EXPECT_NE(std::string::npos, run.err.find("Confluxor: error: unable to load ")) << run.err;
    EXPECT_EQ(before, ReadWhole(Shared()));
}

TEST_F(ConfluxorTest, WaitsForTheConfigurationLockHeldByTheService) {
    testsupport::ChildHolder service(
        []() -> testsupport::ChildHolder::Release {
            auto m = std::make_shared<platform::NamedMutex>();
            if (!m->Open("QVCONFIGFILELOCK") || m->Acquire(-1) != platform::kMutexAcquired)
                return nullptr;
            return [m] { return m->Release(); };
        },
        false);
    ASSERT_TRUE(service.Started());
    ASSERT_EQ('y', service.Report());
    const std::string before = ReadWhole(Shared());

    pid_t pid = Start({"ZELORM", "admin", "s3cret-word"});
    ASSERT_GT(pid, 0);
    // Once the tool has the lock's file open it waits for the lock, before
    // it has read anything.
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    EXPECT_TRUE(testsupport::Eventually([&] {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
            std::error_code link;
            if (std::filesystem::read_symlink(entry.path(), link).string().find(
                    "QVCONFIGFILELOCK") != std::string::npos)
                return true;
        }
        return false;
    }));
    EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG));
    EXPECT_EQ(before, ReadWhole(Shared()));
    // Nor does the password stay visible in the process list meanwhile.
    const std::string cmdline = ReadWhole("/proc/" + std::to_string(pid) + "/cmdline");
    EXPECT_NE(std::string::npos, cmdline.find("admin"));
    EXPECT_EQ(std::string::npos, cmdline.find("s3cret")) << cmdline;

    service.Command();
    EXPECT_EQ('r', service.Report());
    Run run = Finish(pid);
    ASSERT_EQ(0, run.status) << run.err;
    Reload();
    EXPECT_TRUE(PasswordIs("admin", "s3cret-word"));
}

}  // namespace
