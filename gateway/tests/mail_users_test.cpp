// Mail users: what the running gateway gets from a store without mailbox
// sets, the user's "ZELORMUser" mark before and after, and the registry's
// reference counting and operations with a set registered by the test (the
// system itself never registers one).
#include "gateway/mail_users.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/vorn_exception.h"
#include "gateway/mailbox.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWhole;
using testsupport::WriteWhole;
typedef CVornConfigStore Store;

// A set that does what the test says and tells what was asked of it.
class FakeSet : public CMailboxSet {
public:
    explicit FakeSet(std::vector<std::string>* log) : CMailboxSet("fake", nullptr), m_Log(log) {}
    ~FakeSet() override { m_Log->push_back("deleted"); }
    int CreateMailbox(const char* mailbox) override {
        m_Log->push_back(std::string("create ") + mailbox);
        return m_CreateResult;
    }
    int DeleteAllMailboxes() override {
        m_Log->push_back("delete all");
        return m_DeleteResult;
    }
    void CountCachedMessages(int& messages, int& unread, long& bytes) override {
        messages = m_Messages;
        unread = 1;
        bytes = 1000;
    }

    std::vector<std::string>* m_Log;
    int m_CreateResult = 0;
    int m_DeleteResult = 0;
    int m_Messages = 0;
};

class MailUsersTest : public ::testing::Test {
protected:
    void SetUp() override {
        // ann is a mail user, bob is not (no value), cy has "0", dee "2",
        // and eve is one through her group.
        WriteWhole(Path("shared-config"),
                   "# 2 0\r\nDS,Base=sys\r\nDGmail,ZELORMUser=1\r\n"
                   "DUann,ZELORMUser=1\r\nDUbob,Base=x\r\nDUcy,ZELORMUser=0\r\n"
                   "DUdee,ZELORMUser=2\r\nDUeve,Cast=mail\r\n");
        WriteWhole(Path("local-config"), "# 2 0\r\n");
        WriteWhole(Path("vendor-config"), "# 2 0\r\n");
        m_Store =
            std::make_unique<Store>(Path("shared-config").c_str(), Path("local-config").c_str(),
                                    Path("vendor-config").c_str());
        ASSERT_EQ(0, Store::Load(1));
        m_Saved = ReadWhole(Path("shared-config"));
        fs::create_directories(Path("mail"));
        SetMailRoot(Path("mail").c_str());
    }

    void TearDown() override {
        MailUserRegistry.Clear();
        m_Store.reset();
    }

    std::string Path(const std::string& name) const { return m_Temp.Path(name); }

    // The user's own "ZELORMUser", or "<none>".
    static std::string Mark(const char* user) {
        CVornString value;
        if (Store::GetObjectSetting('U', user, kMailUserSetting, value) != 0)
            return "<none>";
        return value.CStr();
    }

    // Registers user with a new fake set holding references references.
    FakeSet* Register(const char* user, int references = 0) {
        auto* set = new FakeSet(&m_Log);
        auto* entry = new MailUserEntry;
        entry->m_Set = set;
        entry->m_References = references;
        MailUserRegistry.Insert(CVornString(user), entry, DeleteObject<MailUserEntry>);
        return set;
    }

    static int References(const char* user) {
        MailUserEntry* entry = nullptr;
        return MailUserRegistry.Get(user, &entry) ? entry->m_References : -1;
    }

    testsupport::TempDir m_Temp{"zelorm-mailusers"};
    testsupport::ScopedEnv m_Locks{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    testsupport::ScopedEnv m_Events{"ZELORM_EVENTLOG", m_Temp.Path("events")};
    std::unique_ptr<Store> m_Store;
    std::string m_Saved;
    std::vector<std::string> m_Log;
};

TEST_F(MailUsersTest, WithoutSetsEveryStoreOperationFailsAndMarksEndAsTheyShould) {
    struct Case {
        const char* user;
        int activate;
        std::string markAfterActivate;
        std::string markAfterDelete;  // DeleteMailUser always fails: 1
    } cases[] = {
        // A mail user is taken as he is by activation, and stays one.
        {"ann", 0, "1", "1"},
        // Others are marked "1" and then "0" by activation; a failed
        // deletion puts back whatever the user had before it.
        {"bob", 1, "0", "0"},
        {"cy", 1, "0", "0"},
        {"dee", 1, "0", "0"},
        // A mail user by his group only.
        {"eve", 0, "<none>", "<none>"},
        {"nobody", 1, "<none>", "<none>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.user);
        EXPECT_EQ(c.activate, ActivateMailUser(c.user));
        EXPECT_EQ(c.markAfterActivate, Mark(c.user));
        EXPECT_EQ(1, CreateMailbox(c.user, "Inbox"));
        EXPECT_EQ(1, DeleteMailUser(c.user));
        EXPECT_EQ(c.markAfterDelete, Mark(c.user));
    }
    // A deletion of a user who never was activated leaves his value alone,
    // absent or not.
    ASSERT_EQ(0, Store::Load(1));
    for (const char* user : {"bob", "cy", "dee"}) {
        const std::string before = Mark(user);
        EXPECT_EQ(1, DeleteMailUser(user));
        EXPECT_EQ(before, Mark(user)) << user;
    }
    for (const char* user : {"", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(1, ActivateMailUser(user));
        EXPECT_EQ(1, DeleteMailUser(user));
        EXPECT_EQ(1, CreateMailbox(user, "Inbox"));
        EXPECT_FALSE(IsMailUser(user));
    }
    EXPECT_EQ(0, CountCachedMessages());
    CloseAllMailUsers();
    EXPECT_EQ(0, MailUserRegistry.Count());
    // Nothing is saved by the store's operations.
    EXPECT_EQ(m_Saved, ReadWhole(Path("shared-config")));
}

TEST_F(MailUsersTest, RegisteredSetIsLentAndGivenBack) {
    FakeSet* set = Register("bob");
    EXPECT_EQ(0, ActivateMailUser("bob"));
    EXPECT_EQ("1", Mark("bob"));
    EXPECT_EQ(0, References("bob"));

    set->m_CreateResult = 1;
    EXPECT_EQ(1, CreateMailbox("bob", "Drafts"));
    set->m_CreateResult = 0;
    EXPECT_EQ(0, CreateMailbox("BOB", "Inbox"));
    EXPECT_EQ(0, References("bob"));
    // Not a mail user: the set is not asked.
    Register("cy");
    EXPECT_EQ(1, CreateMailbox("cy", "Inbox"));
    EXPECT_EQ((std::vector<std::string>{"create Drafts", "create Inbox"}), m_Log);
}

TEST_F(MailUsersTest, DeleteRemovesTheStoreAndUnregisters) {
    const std::string folder = Path("mail/ann");
    fs::create_directories(folder);
    for (const char* name : {"mailboxes.mbs", "mailboxes.mbs_new", "mailboxes.mbs_old"})
        WriteWhole(folder + "/" + name, "x");
    Register("ann");
    EXPECT_EQ(0, DeleteMailUser("ann"));
    EXPECT_EQ((std::vector<std::string>{"delete all", "deleted"}), m_Log);
    EXPECT_EQ("0", Mark("ann"));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(0, MailUserRegistry.Count());
}

TEST_F(MailUsersTest, FailedDeletionKeepsTheUserRegisteredAndHisMark) {
    // In use: nothing is asked of the set.
    Register("bob", 1);
    EXPECT_EQ(1, DeleteMailUser("bob"));
    EXPECT_EQ("<none>", Mark("bob"));
    EXPECT_EQ(1, References("bob"));
    EXPECT_TRUE(m_Log.empty());

    // The set cannot delete its mailboxes.
    FakeSet* set = Register("cy");
    set->m_DeleteResult = 1;
    EXPECT_EQ(1, DeleteMailUser("cy"));
    EXPECT_EQ("0", Mark("cy"));
    EXPECT_EQ(0, References("cy"));
    set = Register("dee");
    set->m_DeleteResult = 1;
    EXPECT_EQ(1, DeleteMailUser("dee"));
    EXPECT_EQ("2", Mark("dee"));
    // A mail user whose deletion failed is no longer marked one.
    set = Register("ann");
    set->m_DeleteResult = 1;
    EXPECT_EQ(1, DeleteMailUser("ann"));
    EXPECT_EQ("0", Mark("ann"));
    EXPECT_EQ(4, MailUserRegistry.Count());
}

TEST_F(MailUsersTest, ShutdownUnregistersWhatNoOneHolds) {
    Register("ann");
    Register("bob", 2);
    Register("cy");
    CloseAllMailUsers();
    EXPECT_EQ(1, MailUserRegistry.Count());
    EXPECT_EQ(2, References("bob"));
    EXPECT_EQ((std::vector<std::string>{"deleted", "deleted"}), m_Log);
}

TEST_F(MailUsersTest, CachedMessagesAreSummedOverTheSets) {
    Register("ann")->m_Messages = 3;
    Register("bob")->m_Messages = 4;
    EXPECT_EQ(7, CountCachedMessages());
    Register("cy")->m_Messages = INT_MAX;
    EXPECT_EQ(INT_MAX, CountCachedMessages());
}

TEST_F(MailUsersTest, BrokenReferenceCountsThrow) {
    Register("ann");
    CVornLockGuard guard(g_MailStoreLock);
    struct Case {
        const char* what;
        std::function<void()> call;
        int code;
    } cases[] = {
        {"release of an unknown user", [] { ReleaseMailUser("nobody"); }, 71},
        {"release below 0", [] { ReleaseMailUser("ann"); }, 69},
        {"unregister of an unknown user", [] { (void)UnregisterMailUser("nobody"); }, 72},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            c.call();
            ADD_FAILURE() << "no exception";
        } catch (const CVornException& e) {
            EXPECT_EQ(c.code, e.m_Code);
        }
    }
}

TEST_F(MailUsersTest, RootsAndPaths) {
    CVornString path;
    MailboxPath("ann", "Inbox", path);
    EXPECT_EQ(Path("mail/ann/Inbox"), path.CStr());
    {
        CVornLockGuard guard(g_MailStoreLock);
        GetMailboxSetPath("ann", path);
    }
    EXPECT_EQ(Path("mail/ann/mailboxes.mbs"), path.CStr());
    // An empty root is ignored.
    SetMailRoot("");
    SetMailRoot(nullptr);
    MailboxPath("ann", "Inbox", path);
    EXPECT_EQ(Path("mail/ann/Inbox"), path.CStr());

    // A name that is not one folder has no store: nothing outside is removed.
    fs::create_directories(Path("victim"));
    WriteWhole(Path("victim/mailboxes.mbs"), "x");
    WriteWhole(Path("mailboxes.mbs"), "x");
    CVornLockGuard guard(g_MailStoreLock);
    for (const char* user : {"../victim", "..", "a/b"}) {
        GetMailboxSetPath(user, path);
        EXPECT_TRUE(path.IsEmpty()) << user;
        DeleteMailUserFiles(user);
    }
    EXPECT_TRUE(fs::exists(Path("victim/mailboxes.mbs")));
    EXPECT_TRUE(fs::exists(Path("mailboxes.mbs")));
}

}  // namespace
