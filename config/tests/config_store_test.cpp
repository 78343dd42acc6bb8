// The configuration store's files: load, save, recovery from "_old", the
// refusals that protect the files, and changes made by another process.
#include "config/config_store.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "config/config_object.h"
#include "config/tests/store_fixture.h"
#include "core/vorn_exception.h"
#include "platform/threads.h"
#include "core/tests/support/vorn_helpers.h"

using namespace storetest;

namespace {

typedef CVornConfigStore Store;

// Every line of a file, CR LF removed, header line left out.
std::vector<std::string> BodyLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadWhole(path));
    bool first = true;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!first)
            lines.push_back(line);
        first = false;
    }
    return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

std::vector<std::string> EventIds(char type, const char* name) {
    CVornStringList ids;
    std::vector<std::string> out;
    if (Store::ListObjectEvents(type, name, ids) != 0)
        return out;
    for (auto* node = ids.m_Head; node; node = node->m_Next) out.push_back(Str(node->m_Element));
    return out;
}

class ConfigStoreTest : public StoreTest {
protected:
    void WriteFullConfig() {
        WriteConfig(
            {
                "# a comment that a save drops",
                "DS,Greeting=hello,Path=a\\,b\\\\c",
                "DUAlice,Cast=Staff,VirtualAcct=1",
                "DGStaff,Quota=5",
                "DGstaff,Quota=7",
                "DC10.0.0.1,Cast=Hosts",
                "DGHosts,",
            },
            {
                "DLList1,A,N,Owner=x",
                "DDDict1,L,Y,Lang=en",
                "DDDict2,U,N,",
                "SUAlice,When=3,Date=0,Start=90000,End=110000,Repeat=1,Quota=9",
                "SS,When=D,Date=0,Start=0,End=0,Repeat=1,Mode=default",
                "SC10.0.0.1,When=E,Date=20240105,Repeat=2,Start=80000,End=170000,Flag=on",
                "SLList1,When=D,Date=0,Start=0,End=0,Repeat=1,Lost=yes",
            },
            {
                "DS,Greeting=vendor",
                "DUBob,VirtualAcct=1",
            });
    }

    // What the full configuration must look like through the store.
    void ExpectFullConfig() {
        EXPECT_EQ("hello", Setting('S', nullptr, "Greeting"));
        EXPECT_EQ("a,b\\c", Setting('S', nullptr, "Path"));
        EXPECT_EQ("default", Setting('S', nullptr, "Mode"));
        // Wednesday 10:00: the user's weekday event applies.
        EXPECT_EQ("9", Setting('U', "alice", "Quota"));
        EXPECT_EQ("Staff", Setting('U', "Alice", "Cast"));
        EXPECT_EQ("5", Setting('G', "STAFF", "Quota"));
        EXPECT_EQ(1, Store::ObjectExists('G', "Hosts"));
        EXPECT_EQ(1, Store::ObjectExists('U', "Bob"));
        EXPECT_TRUE(Store::IsObjectPending('L', "List1"));
        EXPECT_FALSE(Store::IsObjectPending('D', "Dict1"));
        EXPECT_EQ("en", Setting('D', "Dict1", "Lang"));
        CVornString flag;
        EXPECT_EQ(0, Store::GetEventAttribute('C', "10.0.0.1", "Flag",
                                              CVornString("E20240105080000170000"), flag));
        EXPECT_EQ("on", Str(flag));
        EXPECT_EQ(std::vector<std::string>{"30090000110000"}, EventIds('U', "Alice"));
    }
};

TEST_F(ConfigStoreTest, EveryKindSurvivesSaveAndFreshLoad) {
    WriteFullConfig();
    std::string vendorBefore = ReadWhole(Path("vendor-config"));
    ASSERT_EQ(0, Store::Load(1));
    ExpectFullConfig();
    EXPECT_TRUE(Store::IsObjectPending('D', "Dict2"));
    // The duplicate in shared-config is reported and the first one kept; the
    // duplicate of vendor-config is silent.
    std::vector<std::string> events = Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(0u, events[0].find("2:M28"));

    ASSERT_EQ(0, Store::Save());
    std::vector<std::string> shared = BodyLines(Path("shared-config"));
    std::vector<std::string> local = BodyLines(Path("local-config"));
    // Both files carry the pair's save number: one more than the files read
    // (which had none).
    std::string header = "# 2 " + std::to_string(static_cast<long long>(m_Now)) + " 1\r\n";
    EXPECT_EQ(0u, ReadWhole(Path("shared-config")).find(header));
    EXPECT_EQ(0u, ReadWhole(Path("local-config")).find(header));
    EXPECT_EQ(vendorBefore, ReadWhole(Path("vendor-config")));
    EXPECT_FALSE(HasLine(shared, "#"));
    EXPECT_TRUE(HasLine(shared, "DUBob,"));  // vendor's object is now the site's
    EXPECT_TRUE(HasLine(shared, "DS,"));
    EXPECT_FALSE(HasLine(shared, "DL"));
    EXPECT_TRUE(HasLine(local, "DLList1,A,N,Owner=x"));
    EXPECT_FALSE(HasLine(local, "DDDict2"));  // pending dictionaries are not kept
    EXPECT_TRUE(HasLine(local, "SUAlice,"));
    EXPECT_FALSE(HasLine(local, "SLList1"));  // events of lists are not written
    EXPECT_FALSE(std::filesystem::exists(Path("shared-config_new")));
    EXPECT_FALSE(std::filesystem::exists(Path("local-config_new")));

    ASSERT_EQ(0, Store::Load(1));
    ExpectFullConfig();
    EXPECT_EQ(0, Store::ObjectExists('D', "Dict2"));
}

TEST_F(ConfigStoreTest, SaveKeepsThePreviousVersionAsOld) {
    WriteConfig({"DS,Greeting=one"}, {});
    ASSERT_EQ(0, Store::Load(1));
    std::string before = ReadWhole(Path("shared-config"));
    // A "_new" file left by an interrupted save does not block the next one.
    WriteWhole(Path("shared-config_new"), "stale");
    namespace fs = std::filesystem;
    fs::permissions(Path("shared-config"), fs::perms::owner_read | fs::perms::owner_write);

    ASSERT_EQ(0, Store::SetAttribute('S', nullptr, "Greeting", CVornString("two"), 1));
    EXPECT_EQ(before, ReadWhole(Path("shared-config_old")));
    // The rewritten file keeps the permissions it had.
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
              fs::status(Path("shared-config")).permissions());
    EXPECT_TRUE(HasLine(BodyLines(Path("shared-config")), "DS,Greeting=two"));
    EXPECT_FALSE(std::filesystem::exists(Path("shared-config_new")));

    // A second save replaces the older "_old".
    std::string second = ReadWhole(Path("shared-config"));
    ASSERT_EQ(0, Store::SetAttribute('S', nullptr, "Greeting", CVornString("three"), 1));
    EXPECT_EQ(second, ReadWhole(Path("shared-config_old")));
}

TEST_F(ConfigStoreTest, SaveBeforeAnyLoadIsRefusedAndFilesStayIntact) {
    WriteConfig({"DS,Greeting=one"}, {"DLList1,L,N,"});
    std::string shared = ReadWhole(Path("shared-config"));
    std::string local = ReadWhole(Path("local-config"));

    EXPECT_EQ(1, Store::Save());
    EXPECT_EQ(1, CountEvents("1:M30 ("));
    EXPECT_EQ(shared, ReadWhole(Path("shared-config")));
    EXPECT_EQ(local, ReadWhole(Path("local-config")));
    EXPECT_FALSE(std::filesystem::exists(Path("shared-config_new")));

    // A store taken down has an empty table: saving it would wipe the files.
    ASSERT_EQ(0, Store::Load(1));
    m_Store.reset();
    m_Store = std::make_unique<CVornConfigStore>(
        Path("shared-config").c_str(), Path("local-config").c_str(), Path("vendor-config").c_str());
    EXPECT_EQ(1, Store::Save());
    EXPECT_EQ(shared, ReadWhole(Path("shared-config")));
}

// Each broken shared-config fails the load with its message; with a good
// "_old" copy the load recovers from it instead.
TEST_F(ConfigStoreTest, BrokenFileFailsOrRecoversFromOld) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* event;
    } cases[] = {
        {"missing file", "", "1:M5 ("},
        {"empty file", "", "1:M26 ("},
        {"header without blank", "#2 0\r\n", "1:M26 ("},
        {"other version", "# 3 0\r\nDS,\r\n", "1:M27 ("},
        {"empty line", "# 2 0\r\n\r\nDS,X=1\r\n", "1:M26 ("},
        {"line without comma", "# 2 0\r\nDUBob\r\n", "1:M26 ("},
        {"unknown type letter", "# 2 0\r\nDQBob,\r\n", "1:M26 ("},
        {"unknown kind of line", "# 2 0\r\nXS,\r\n", "1:M26 ("},
        {"object text refused", "# 2 0\r\nDUBob,novalue\r\n", "1:M26 ("},
        {"list without its letters", "# 2 0\r\nDLList,AN\r\n", "1:M26 ("},
        {"NUL inside a line", std::string("# 2 0\r\nDS,A=1\0B=2\r\n", 19), "1:M26 ("},
        // Its tail must not be read as a line of its own.
        {"line over the bound",
         "# 2 0\r\nDS,A=" + std::string(kMaxConfigLineLength, 'x') + "DUEve,\r\n", "1:M26 ("},
    };
    const std::string good = "# 2 0\r\nDS,Greeting=good\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteConfig({"DS,Greeting=first"}, {});
        ASSERT_EQ(0, Store::Load(1));
        Events();
        bool missing = std::string(c.name) == "missing file";
        if (missing)
            std::filesystem::remove(Path("shared-config"));
        else
            WriteWhole(Path("shared-config"), c.bytes);

        EXPECT_EQ(1, Store::Load(1));
        EXPECT_EQ(1, CountEvents(c.event));
        // The table in use stays, and saving is refused.
        EXPECT_EQ("first", Setting('S', nullptr, "Greeting"));
        EXPECT_EQ(1, Store::Save());

        WriteWhole(Path("shared-config_old"), good);
        EXPECT_EQ(0, Store::Load(1));
        EXPECT_EQ("good", Setting('S', nullptr, "Greeting"));
        EXPECT_EQ(good, ReadWhole(Path("shared-config")));
        EXPECT_FALSE(std::filesystem::exists(Path("shared-config_old")));
        // The broken file is set aside under its name + date + time.
        int asideCount = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_Dir)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("shared-config2024010310000", 0) != 0)
                continue;
            ++asideCount;
            EXPECT_EQ(c.bytes, ReadWhole(entry.path().string()));
            std::filesystem::remove(entry.path());
        }
        EXPECT_EQ(missing ? 0 : 1, asideCount);
    }
}

TEST_F(ConfigStoreTest, MissingVendorConfigFailsTheLoad) {
    WriteConfig({"DS,Greeting=one"}, {});
    std::filesystem::remove(Path("vendor-config"));
    EXPECT_EQ(1, Store::Load(1));
    EXPECT_EQ(1, CountEvents("1:M5 ("));
    EXPECT_EQ(1, Store::Save());
}

TEST_F(ConfigStoreTest, RefusedEventLineIsSkippedAndTheLoadGoesOn) {
    WriteConfig({"DS,Greeting=one"}, {"SS,When=D,Date=0,Start=0,End=0,Repeat=1,A=1",
                                      "SS,When=D,Date=0,Start=0,End=0,Repeat=1,A=2",
                                      "SUNobody,When=D,Date=0", "DLList1,L,N,"});
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_EQ(1, CountEvents("1:M26 ("));  // the second default event; the unknown object is silent
    EXPECT_EQ("1", Setting('S', nullptr, "A"));
    EXPECT_EQ(1, Store::ObjectExists('L', "List1"));
    EXPECT_EQ(0, Store::Save());
}

TEST_F(ConfigStoreTest, LoadWithoutForceIsNotRepeatedWithinASecond) {
    WriteConfig({"DS,Greeting=one"}, {});
    ASSERT_EQ(0, Store::Load(1));
    const time_t start = m_Now;
    WriteConfig({"DS,Greeting=two"}, {});
    EXPECT_EQ(0, Store::Load(0));
    EXPECT_EQ("one", Setting('S', nullptr, "Greeting"));
    SetClock(start + 1);
    EXPECT_EQ(0, Store::Load(0));
    EXPECT_EQ("one", Setting('S', nullptr, "Greeting"));
    EXPECT_EQ(0, Store::Load(1));
    EXPECT_EQ("two", Setting('S', nullptr, "Greeting"));
    SetClock(start + 3);  // two seconds after the forced load
    WriteConfig({"DS,Greeting=three"}, {});
    EXPECT_EQ(0, Store::Load(0));
    EXPECT_EQ("three", Setting('S', nullptr, "Greeting"));
}

TEST_F(ConfigStoreTest, ChangeByAnotherProcessIsSeenAfterTheCheckInterval) {
    WriteConfig({"DS,Greeting=one"}, {});
    ASSERT_EQ(0, Store::Load(1));
    ASSERT_EQ(0, Store::Save());
    Store::CheckForChanges();  // the interval starts now
    time_t loaded = Store::GetLoadTime();

    // Another process changes the files within the same second, keeping
    // their sizes.
    pid_t child = testsupport::ForkWithoutThreads();
    ASSERT_NE(-1, child);
    if (child == 0)
        _exit(Store::SetAttribute('S', nullptr, "Greeting", CVornString("two"), 1));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));

    const time_t start = m_Now;
    CVornString value;
    SetClock(start + 9);
    EXPECT_EQ(0, Store::GetSetting(nullptr, nullptr, "Greeting", value));
    EXPECT_EQ("one", Str(value));
    SetClock(start + 10);
    EXPECT_EQ(0, Store::GetSetting(nullptr, nullptr, "Greeting", value));
    EXPECT_EQ("two", Str(value));
    EXPECT_GT(Store::GetLoadTime(), loaded);
}

TEST_F(ConfigStoreTest, FailedReloadKeepsTheTableAndWaitsForTheNextChange) {
    WriteConfig({"DS,Greeting=one"}, {});
    ASSERT_EQ(0, Store::Load(1));
    Store::CheckForChanges();
    Events();
    WriteWhole(Path("shared-config"), "# 2 0\r\nDS\r\n");

    const time_t start = m_Now;
    CVornString value;
    SetClock(start + 10);
    EXPECT_EQ(0, Store::GetSetting(nullptr, nullptr, "Greeting", value));
    EXPECT_EQ("one", Str(value));
    EXPECT_EQ(1, CountEvents("1:M26 ("));
    EXPECT_EQ(1, Store::Save());
    Events();

    // The broken file is not read again on every look-up.
    SetClock(start + 20);
    EXPECT_EQ(0, Store::GetSetting(nullptr, nullptr, "Greeting", value));
    EXPECT_EQ("one", Str(value));
    EXPECT_EQ(0, CountEvents("1:M26 ("));

    WriteConfig({"DS,Greeting=three"}, {});
    SetClock(start + 30);
    EXPECT_EQ(0, Store::GetSetting(nullptr, nullptr, "Greeting", value));
    EXPECT_EQ("three", Str(value));
    EXPECT_EQ(0, Store::Save());
}

TEST_F(ConfigStoreTest, SaveAfterAnotherProcessSavedWritesNothingAndRereads) {
    WriteConfig({"DS,Greeting=one,Mode=a"}, {});
    ASSERT_EQ(0, Store::Load(1));
    Events();

    // Another process (the merge tool, a second administrator) saves its
    // change after this one loaded.
    pid_t child = testsupport::ForkWithoutThreads();
    ASSERT_NE(-1, child);
    if (child == 0)
        _exit(Store::SetAttribute('S', nullptr, "Greeting", CVornString("two"), 1));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
    std::string theirs = ReadWhole(Path("shared-config"));

    // This process's save would overwrite it: refused, reported, and the
    // other's change is read in at once.
    EXPECT_EQ(1, Store::SetAttribute('S', nullptr, "Mode", CVornString("b"), 1));
    EXPECT_EQ(theirs, ReadWhole(Path("shared-config")));
    EXPECT_EQ(1, CountEvents("1:M29 ("));
    EXPECT_EQ("two", Setting('S', nullptr, "Greeting"));
    EXPECT_EQ("a", Setting('S', nullptr, "Mode"));

    // Made again on the files as they are now, the change is saved.
    EXPECT_EQ(0, Store::SetAttribute('S', nullptr, "Mode", CVornString("b"), 1));
    std::vector<std::string> shared = BodyLines(Path("shared-config"));
    EXPECT_TRUE(HasLine(shared, "DS,Greeting=two,Mode=b") || HasLine(shared, "DS,Mode=b,Greeting=two"))
        << ReadWhole(Path("shared-config"));
}

// A save killed between its two renames leaves shared-config at save N and
// local-config at N-1, with local-config_new holding save N.
TEST_F(ConfigStoreTest, TornSaveIsCompletedFromItsNewFileAtLoad) {
    struct Case {
        const char* name;
        const char* localNewHeader;  // null: no "_new" file left
        bool completed;
    };
    const Case cases[] = {
        {"complete new file", "# 2 0 5", true},
        {"new file of another save", "# 2 0 4", false},
        {"no new file", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWhole(Path("shared-config"), "# 2 0 5\r\nDS,Greeting=five\r\n");
        WriteWhole(Path("local-config"), "# 2 0 4\r\nDLOld,A,N,\r\n");
        WriteLines("vendor-config", {});
        std::filesystem::remove(Path("local-config_new"));
        if (c.localNewHeader)
            WriteWhole(Path("local-config_new"),
                       std::string(c.localNewHeader) + "\r\nDLNew,A,N,\r\n");
        Events();

        ASSERT_EQ(0, Store::Load(1));
        EXPECT_EQ("five", Setting('S', nullptr, "Greeting"));
        EXPECT_EQ(c.completed ? 1 : 0, Store::ObjectExists('L', "New"));
        EXPECT_EQ(c.completed ? 0 : 1, Store::ObjectExists('L', "Old"));
        EXPECT_EQ(1, CountEvents(c.completed ? "2:M832 (" : "1:M832 ("));
        if (c.completed) {
            EXPECT_FALSE(std::filesystem::exists(Path("local-config_new")));
            EXPECT_EQ(0u, ReadWhole(Path("local-config_old")).find("# 2 0 4\r\n"));
        }
    }
    // A pair with equal numbers, or without numbers, is whole: no event.
    WriteConfig({"DS,Greeting=plain"}, {});
    Events();
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_EQ(0u, Events().size());
}

TEST_F(ConfigStoreTest, FailingNamedMutexLeavesNoStoreLockHeld) {
    WriteConfig({"DS,Greeting=one"}, {});
    ASSERT_EQ(0, Store::Load(1));
    // A lock directory below a plain file cannot be made.
    WriteWhole(Path("plain"), "");
    setenv("ZELORM_LOCK_DIR", Path("plain/locks").c_str(), 1);
    EXPECT_THROW(Store::Load(1), CVornException);
    EXPECT_THROW(Store::Save(), CVornException);
    setenv("ZELORM_LOCK_DIR", Path("locks").c_str(), 1);

    // Another thread can still read the table.
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread reader([done] {
        Store::ObjectExists('S', nullptr);
        *done = true;
    });
    for (int i = 0; i < 500 && !*done; ++i) platform::SleepMilliseconds(10);
    ASSERT_TRUE(*done) << "the store's lock stayed held";
    reader.join();
    EXPECT_EQ(0, Store::Save());
}

}  // namespace
