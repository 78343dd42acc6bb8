// Mailbox sets, used directly (the running gateway registers none): the set
// file through creates, opens, closes and deletes, the counts, names that
// must not become files, rewrites that fail, and a reopen that waits for
// the mailbox's holder without blocking the set.
#include "gateway/mailbox_set.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/vorn_exception.h"
#include "gateway/mail_users.h"
#include "gateway/mailbox.h"
#include "net/mail_message.h"
#include "platform/clock.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

constexpr time_t kStart = 1704276000;  // 2024-01-03 10:00:00 UTC

std::string Names(CVornSortedList<MailboxSetEntry>& list) {
    std::string out;
    for (auto* node = list.m_List.m_Head; node; node = node->m_Next) {
        out += node->m_Element.m_Name.CStr();
        out += node->m_Next ? "," : "";
    }
    return out;
}

class MailboxSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTestTime(kStart);
        fs::create_directories(m_Temp.Path("mail/joe"));
        SetMailRoot(m_Temp.Path("mail").c_str());
        m_Set = std::make_unique<CMailboxSet>("joe", CompareMailboxNames);
    }

    void TearDown() override {
        m_Set.reset();
        platform::ClearTestTime();
    }

    std::string Folder(const std::string& name = "") const {
        return m_Temp.Path("mail/joe") + (name.empty() ? "" : "/" + name);
    }
    std::string SetFile() const { return ReadWhole(Folder("mailboxes.mbs")); }

    static std::string Header(int entries, time_t at) {
        return "# 1 " + std::to_string(entries) + " 0 " + std::to_string(at) + "\r\n";
    }

    // Stores a message with that subject in an open mailbox.
    void Store(CMailbox& box, const std::string& subject) {
        const std::string path = m_Temp.Path("source-" + subject);
        WriteWhole(path, "From: a@example.org\r\nTo: joe@example.org\r\nSubject: " + subject +
                             "\r\nDate: Mon, 01 Jan 2024 10:00:00 +0000\r\n\r\nHello.\r\n");
        CVornMailMessage source(path.c_str(), 0, 0, CVornMailMessage::kParseOnOpen,
                                CVornMailMessage::kModeRead);
        ASSERT_EQ(0, source.Open());
        CVornString uid;
        EXPECT_EQ(0, box.Deliver(0, 1, "s@example.org", &source, uid, nullptr));
        source.Close();
    }

    std::string Counts(const char* mailbox) {
        int messages = -1, unread = -1;
        long bytes = -1;
        if (m_Set->GetMailboxCounts(mailbox, messages, unread, bytes) != 0)
            return "<none>";
        return std::to_string(messages) + "/" + std::to_string(unread) + "/" +
               std::to_string(bytes);
    }

    testsupport::TempDir m_Temp{"zelorm-mailboxset"};
    testsupport::ScopedEnv m_Locks{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    testsupport::ScopedEnv m_Events{"ZELORM_EVENTLOG", m_Temp.Path("events")};
    std::unique_ptr<CMailboxSet> m_Set;
};

TEST_F(MailboxSetTest, SetFileFollowsCreatesClosesAndDeletes) {
    // The first save makes the set file; creating makes the mailbox's files.
    EXPECT_EQ(0, m_Set->CreateMailbox("Inbox"));
    EXPECT_EQ(0, m_Set->CreateMailbox("Drafts"));
    EXPECT_TRUE(fs::exists(Folder("Inbox.toc")));
    EXPECT_EQ(Header(2, kStart) + "BDrafts,0,0,0\r\nBInbox,0,0,0\r\n", SetFile());
    EXPECT_FALSE(fs::exists(Folder("mailboxes.mbs_new")));

    // A name the set holds (in any case) is no change: nothing is written.
    platform::SetTestTime(kStart + 10);
    EXPECT_EQ(0, m_Set->CreateMailbox("INBOX"));
    EXPECT_EQ(Header(2, kStart) + "BDrafts,0,0,0\r\nBInbox,0,0,0\r\n", SetFile());

    // The counts of a close are kept in the entry and in the file.
    CMailbox* inbox = m_Set->OpenMailbox("inbox", 0);
    ASSERT_NE(nullptr, inbox);
    EXPECT_EQ(kBoxLoaded, inbox->GetState());
    Store(*inbox, "one");
    Store(*inbox, "two");
    int messages = 0, unread = 0;
    long bytes = 0;
    ASSERT_EQ(0, inbox->GetCounts(messages, unread, bytes));
    m_Set->CloseMailbox("Inbox");
    EXPECT_FALSE(inbox->IsOpen());
    ASSERT_EQ(2, messages);
    const std::string counts = "2/2/" + std::to_string(bytes);
    EXPECT_EQ(counts, Counts("Inbox"));
    EXPECT_EQ(
        Header(2, kStart + 10) + "BDrafts,0,0,0\r\nBInbox,2,2," + std::to_string(bytes) + "\r\n",
        SetFile());
    EXPECT_FALSE(fs::exists(Folder("inbox")));  // the files bear the entry's name

    m_Set->GetTotals(messages, unread, bytes);
    EXPECT_EQ(counts, std::to_string(messages) + "/" + std::to_string(unread) + "/" +
                          std::to_string(bytes));
    // Both mailboxes hold their objects since their creation.
    int cached = 0;
    long cachedBytes = 0;
    m_Set->CountCachedMessages(cached, unread, cachedBytes);
    EXPECT_EQ(2, cached);

    // A delete takes the entry, the mailbox's files and the line; the
    // previous set file stays as "_old".
    const std::string before = SetFile();
    EXPECT_EQ(0, m_Set->DeleteMailbox("drafts"));
    EXPECT_FALSE(fs::exists(Folder("Drafts")));
    EXPECT_FALSE(fs::exists(Folder("Drafts.toc")));
    EXPECT_EQ("<none>", Counts("Drafts"));
    EXPECT_EQ(before, ReadWhole(Folder("mailboxes.mbs_old")));
    EXPECT_EQ(std::string::npos, SetFile().find("Drafts"));
    EXPECT_EQ(1, m_Set->DeleteMailbox("Drafts"));  // no longer there
    EXPECT_TRUE(fs::exists(Folder("Inbox")));
}

TEST_F(MailboxSetTest, CloseOfAMailboxNotOpenOnlyRewritesTheSetFile) {
    ASSERT_EQ(0, m_Set->CreateMailbox("Inbox"));
    platform::SetTestTime(kStart + 5);
    m_Set->CloseMailbox("Inbox");
    EXPECT_EQ(Header(1, kStart + 5) + "BInbox,0,0,0\r\n", SetFile());
    // A name not in the set: nothing at all.
    platform::SetTestTime(kStart + 9);
    m_Set->CloseMailbox("Trash");
    EXPECT_EQ(Header(1, kStart + 5) + "BInbox,0,0,0\r\n", SetFile());
}

TEST_F(MailboxSetTest, NamesThatAreNotMailboxFilesAreRefused) {
    ASSERT_EQ(0, m_Set->CreateMailbox("Inbox"));
    WriteWhole(m_Temp.Path("mail/victim"), "keep");
    const std::string refused[] = {"",
                                   "..",
                                   ".",
                                   "../victim",
                                   "a/b",
                                   "mailboxes.mbs",
                                   "MAILBOXES.MBS_old",
                                   "addressbook.bok",
                                   "Inbox.toc",
                                   "Inbox.new",
                                   "x.OLD",
                                   "a,b",
                                   "a\r\nBx,1,1,1",
                                   std::string(128, 'x')};
    for (const std::string& name : refused) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(IsMailboxName(name.c_str()));
        EXPECT_EQ(1, m_Set->CreateMailbox(name.c_str()));
        EXPECT_EQ(nullptr, m_Set->OpenMailbox(name.c_str(), 0));
    }
    EXPECT_FALSE(IsMailboxName(nullptr));
    EXPECT_EQ(nullptr, m_Set->OpenMailbox(nullptr, 0));
    EXPECT_EQ(1, m_Set->CreateMailbox(nullptr));
    // Nothing was added, and nothing outside the mailbox files was touched.
    EXPECT_EQ(Header(1, kStart) + "BInbox,0,0,0\r\n", SetFile());
    EXPECT_EQ("keep", ReadWhole(m_Temp.Path("mail/victim")));
    EXPECT_FALSE(fs::exists(Folder("mailboxes.mbs.toc")));

    for (const std::string& name :
         {std::string("My Folder"), std::string("a.b"), std::string(127, 'y')})
        EXPECT_TRUE(IsMailboxName(name.c_str())) << name;
}

TEST_F(MailboxSetTest, OpenAddsANewNameWhichTheNextCloseRecords) {
    CMailbox* box = m_Set->OpenMailbox("Archive", 0);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(kBoxLoaded, box->GetState());
    EXPECT_EQ("0/0/0", Counts("Archive"));
    EXPECT_FALSE(fs::exists(Folder("mailboxes.mbs")));
    m_Set->CloseMailbox("ARCHIVE");
    EXPECT_EQ(Header(1, kStart) + "BArchive,0,0,0\r\n", SetFile());
    // Opened again: the same object.
    EXPECT_EQ(box, m_Set->OpenMailbox("archive", 0));
    EXPECT_TRUE(box->IsOpen());
    m_Set->CloseMailbox("Archive");
}

TEST_F(MailboxSetTest, DeleteAllStopsAtAnOpenMailbox) {
    for (const char* name : {"Trash", "Inbox", "Drafts"}) ASSERT_EQ(0, m_Set->CreateMailbox(name));
    ASSERT_NE(nullptr, m_Set->OpenMailbox("Inbox", 0));
    EXPECT_EQ(1, m_Set->DeleteMailbox("Inbox"));
    // In list order: Drafts goes, Inbox is open, Trash stays.
    EXPECT_EQ(1, m_Set->DeleteAllMailboxes());
    EXPECT_EQ("<none>", Counts("Drafts"));
    EXPECT_EQ("0/0/0", Counts("Trash"));
    EXPECT_TRUE(fs::exists(Folder("Inbox.toc")));
    m_Set->CloseMailbox("Inbox");
    EXPECT_EQ(0, m_Set->DeleteAllMailboxes());
    EXPECT_EQ(Header(0, kStart), SetFile());
    for (const char* name : {"Inbox", "Inbox.toc", "Trash", "Trash.toc"})
        EXPECT_FALSE(fs::exists(Folder(name))) << name;
}

TEST_F(MailboxSetTest, FailedRewritesLeaveTheSetAsItsFileSaysAndMailboxesThatDoNotLoadGo) {
    ASSERT_EQ(0, m_Set->CreateMailbox("Inbox"));
    // The new copy cannot be written.
    fs::create_directory(Folder("mailboxes.mbs_new"));
    EXPECT_EQ(1, m_Set->CreateMailbox("Drafts"));
    EXPECT_EQ("<none>", Counts("Drafts"));
    EXPECT_EQ(1, m_Set->DeleteMailbox("Inbox"));
    EXPECT_EQ("0/0/0", Counts("Inbox"));
    EXPECT_TRUE(fs::exists(Folder("Inbox.toc")));
    fs::remove(Folder("mailboxes.mbs_new"));

    // A mailbox whose index cannot be made does not load: no entry.
    fs::create_directory(Folder("Trash.toc"));
    EXPECT_EQ(1, m_Set->CreateMailbox("Trash"));
    EXPECT_EQ("<none>", Counts("Trash"));
    EXPECT_EQ(Header(1, kStart) + "BInbox,0,0,0\r\n", SetFile());

    // Without a user folder there is no set file to write.
    CMailboxSet stray("../joe", CompareMailboxNames);
    EXPECT_EQ(1, stray.CreateMailbox("Inbox"));
    EXPECT_FALSE(fs::exists(m_Temp.Path("joe")));
}

TEST_F(MailboxSetTest, ListsAreFilledByTheirOwnOrderAndNeedAComparison) {
    for (const char* name : {"b", "C", "a"}) ASSERT_EQ(0, m_Set->CreateMailbox(name));
    CVornSortedList<MailboxSetEntry> byName(CompareMailboxNames);
    m_Set->ListInto(byName);
    EXPECT_EQ("a,b,C", Names(byName));
    EXPECT_EQ(nullptr, byName.m_List.m_Head->m_Element.m_Mailbox);  // copies only

    CVornSortedList<MailboxSetEntry> exact([](const MailboxSetEntry* a, const MailboxSetEntry* b) {
        return a->m_Name.Compare(b->m_Name, 1);
    });
    m_Set->ListInto(exact);
    EXPECT_EQ("C,a,b", Names(exact));

    CVornSortedList<MailboxSetEntry> none(nullptr);
    CMailboxSet unordered("joe", nullptr);
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { m_Set->ListInto(none); }, [&] { (void)unordered.CreateMailbox("x"); }}) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const CVornException& e) {
            EXPECT_EQ(62, e.m_Code);
        }
    }
    EXPECT_EQ(nullptr, none.m_List.m_Head);
}

TEST_F(MailboxSetTest, ReopenWaitsForTheHolderWithoutBlockingTheSet) {
    ASSERT_EQ(0, m_Set->CreateMailbox("Inbox"));
    CMailbox* held = m_Set->OpenMailbox("Inbox", 0);
    ASSERT_NE(nullptr, held);
    std::atomic<bool> reopened{false};
    std::thread other([&] {
        CMailbox* box = m_Set->OpenMailbox("Inbox", 0);
        reopened = box == held && box->IsOpen();
        m_Set->CloseMailbox("Inbox");
    });
    // Once the other thread waits for the mailbox (its open is counted),
    // the set still answers and changes.
    auto openCount = [this] {
        CVornSortedList<MailboxSetEntry> list(CompareMailboxNames);
        m_Set->ListInto(list);
        return list.m_List.m_Head->m_Element.m_OpenCount;
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (openCount() < 2 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(2, openCount());
    EXPECT_FALSE(reopened);
    EXPECT_EQ(0, m_Set->CreateMailbox("Drafts"));
    EXPECT_EQ("0/0/0", Counts("Drafts"));
    m_Set->CloseMailbox("Inbox");
    other.join();
    EXPECT_TRUE(reopened);
    EXPECT_EQ(0, m_Set->DeleteMailbox("Inbox"));  // open count back to 0
}

// Long names of one user once shared one lock (with the longest user names
// the lock name had no room for the mailbox name): a first open of the
// second waited for the holder of the first under the set's write lock,
// and the holder's close, which needs that lock, never came.
TEST_F(MailboxSetTest, MailboxesWithLongNamesOpenWhileAnotherIsHeld) {
    // What the other thread uses is its own, so it can be left waiting.
    struct Shared {
        std::string user = std::string(127, 'u');
        std::string first = std::string(120, 'm') + "1";
        std::string second = std::string(120, 'm') + "2";
        std::unique_ptr<CMailboxSet> set;
        std::atomic<bool> opened{false}, done{false};
    };
    auto shared = std::make_shared<Shared>();
    fs::create_directories(m_Temp.Path("mail/" + shared->user));
    shared->set = std::make_unique<CMailboxSet>(shared->user.c_str(), CompareMailboxNames);
    CMailboxSet& set = *shared->set;
    CMailbox* held = set.OpenMailbox(shared->first.c_str(), 0);
    ASSERT_NE(nullptr, held);
    ASSERT_TRUE(held->IsOpen());
    std::thread other([shared] {
        CMailbox* box = shared->set->OpenMailbox(shared->second.c_str(), 0);
        shared->opened = box && box->IsOpen() && box->GetState() == kBoxLoaded;
        shared->set->CloseMailbox(shared->second.c_str());
        shared->done = true;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!shared->done && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!shared->done) {
        // It waits for good, inside the set: leave it to the end of the
        // process rather than destroy what it uses.
        other.detach();
        FAIL() << "the second mailbox waited for the holder of the first";
    }
    other.join();
    EXPECT_TRUE(shared->opened);
    set.CloseMailbox(shared->first.c_str());
    EXPECT_FALSE(held->IsOpen());
    const std::string folder = m_Temp.Path("mail/" + shared->user) + "/";
    EXPECT_TRUE(fs::exists(folder + shared->first + ".toc"));
    EXPECT_TRUE(fs::exists(folder + shared->second + ".toc"));
}

}  // namespace
