// Address books: reading a user's book into sorted entries, creating a
// missing one, the book's named mutex, removal, and the names and roots
// that must never reach a file outside the users' folders.
#include "gateway/address_book.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/vorn_exception.h"
#include "core/vorn_mutex.h"
#include "platform/clock.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWhole;
using testsupport::WriteWhole;

int CompareNames(const CAddressBookEntry* a, const CAddressBookEntry* b) {
    CVornString left, right;
    a->GetName(left);
    b->GetName(right);
    return left.Compare(right, 0);
}

class AddressBookTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetTestTime(1700000000);
        fs::create_directories(m_Root + "/ann");
        SetAddressBookRoot(m_Root.c_str());
    }
    void TearDown() override { platform::ClearTestTime(); }

    std::string Book(const std::string& user) const {
        return m_Root + "/" + user + "/addressbook.bok";
    }

    // The entries of user's book as "name=value", in name order.
    std::vector<std::string> Entries(const char* user) {
        CAddressBook book(user);
        CVornSortedList<CAddressBookEntry> list(CompareNames);
        book.GetSortedEntries(list);
        std::vector<std::string> out;
        CVornLockGuard guard(list.m_List.m_Lock);
        for (auto* node = list.m_List.m_Head; node; node = node->m_Next) {
            CVornString name, value;
            node->m_Element.GetName(name);
            node->m_Element.GetValue(value);
            out.push_back(std::string(name.CStr()) + "=" + value.CStr());
        }
        return out;
    }

    testsupport::TempDir m_Temp{"zelorm-book"};
    std::string m_Root = m_Temp.Path("store");
    testsupport::ScopedEnv m_Locks{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    testsupport::ScopedEnv m_Events{"ZELORM_EVENTLOG", m_Temp.Path("events")};
};

TEST_F(AddressBookTest, MissingBookIsCreatedWithItsHeaderAndHoldsNothing) {
    EXPECT_TRUE(Entries("ann").empty());
    EXPECT_EQ("# 1 1700000000\r\n", ReadWhole(Book("ann")));
    // A user without a folder gets no folder made for him.
    EXPECT_TRUE(Entries("bob").empty());
    EXPECT_FALSE(fs::exists(m_Root + "/bob"));
}

TEST_F(AddressBookTest, LinesBecomeEntriesByTheFileRules) {
    const std::string s = "\x1C";
    struct Case {
        const char* what;
        std::string body;  // after the header line
        std::vector<std::string> entries;
    } cases[] = {
        {"pairs, CR LF and LF endings, last line unended",
         "Zed" + s + "z@x.test\r\nann" + s + "a@x.test\nmo" + s + "m@x.test",
         {"ann=a@x.test", "mo=m@x.test", "Zed=z@x.test"}},
        {"split at the first separator only", "list" + s + "a" + s + "b\r\n", {"list=a" + s + "b"}},
        {"no separator, empty name, empty value are passed over",
         "plain line\r\n" + s + "nobody@x.test\r\nempty" + s + "\r\nok" + s + "v\r\n",
         {"ok=v"}},
        {"a later name in another case replaces the earlier",
         "Pat" + s + "old@x.test\r\npAT" + s + "new@x.test\r\n",
         {"pAT=new@x.test"}},
        {"an over-long line is passed over whole",
         "long" + s + std::string(kMaxBookLineLength + 10, 'v') + "\r\nnext" + s + "n\r\n",
         {"next=n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteWhole(Book("ann"), "# 1 99 anything\r\n" + c.body);
        EXPECT_EQ(c.entries, Entries("ann"));
    }
}

TEST_F(AddressBookTest, BookWithoutHeaderYieldsNothingAndStaysAsItIs) {
    const std::string s = "\x1C";
    for (const std::string& text : {"#1\r\nann" + s + "a\r\n", "# 2 5\r\nann" + s + "a\r\n",
                                    std::string("ann") + s + "a\r\n"}) {
        WriteWhole(Book("ann"), text);
        EXPECT_TRUE(Entries("ann").empty()) << text;
        EXPECT_EQ(text, ReadWhole(Book("ann")));
    }
}

TEST_F(AddressBookTest, SortedEntriesNeedAComparator) {
    WriteWhole(Book("ann"), "# 1 0\r\nx\x1Cy\r\n");
    CAddressBook book("ann");
    CVornSortedList<CAddressBookEntry> list(nullptr);
    try {
        book.GetSortedEntries(list);
        FAIL() << "no exception";
    } catch (const CVornException& e) {
        EXPECT_EQ(62, e.m_Code);
    }
    EXPECT_EQ(0, list.m_List.m_Count);
}

TEST_F(AddressBookTest, BookHoldsItsNamedMutexForItsWholeLife) {
    auto heldElsewhere = [] {
        int result = -1;
        std::thread other([&result] {
            CVornMutex mutex;
            result = mutex.TryLock("QVADDRESSBOOKann");
            if (result == 0)
                mutex.Unlock();
        });
        other.join();
        return result == 1;
    };
    {
        CAddressBook book("ann");
        EXPECT_TRUE(heldElsewhere());
    }
    EXPECT_FALSE(heldElsewhere());
    DeleteAddressBook("ann");
    EXPECT_FALSE(heldElsewhere());
}

TEST_F(AddressBookTest, DeleteRemovesTheBookAndItsCopiesOnly) {
    for (const char* suffix : {"", "_new", "_old"}) WriteWhole(Book("ann") + suffix, "x");
    WriteWhole(m_Root + "/ann/Inbox", "mail");
    DeleteAddressBook("ann");
    for (const char* suffix : {"", "_new", "_old"}) EXPECT_FALSE(fs::exists(Book("ann") + suffix));
    EXPECT_TRUE(fs::exists(m_Root + "/ann/Inbox"));
    // No book, no folder: nothing to do and nothing to report.
    DeleteAddressBook("ann");
    DeleteAddressBook("nobody");
    EXPECT_TRUE(testsupport::ReadEvents(m_Temp.Path("events")).empty());
}

TEST_F(AddressBookTest, NamesThatAreNotOneFolderNeverReachAFile) {
    // Books that such names would reach: beside the store ("../victim"),
    // above it (".."), and in the store's own folder (".").
    const std::vector<std::string> books = {m_Temp.Path("victim/addressbook.bok"),
                                            m_Temp.Path("addressbook.bok"),
                                            m_Root + "/addressbook.bok"};
    fs::create_directories(m_Temp.Path("victim"));
    for (const std::string& book : books) WriteWhole(book, "# 1 0\r\nsecret\x1Cs@x.test\r\n");
    for (const char* user :
         std::vector<const char*>{"../victim", "ann/../../victim", "..", ".", "", nullptr}) {
        SCOPED_TRACE(user ? user : "(null)");
        EXPECT_TRUE(Entries(user).empty());
        DeleteAddressBook(user);
    }
    for (const std::string& book : books) EXPECT_TRUE(fs::exists(book)) << book;
}

// In a process where the root was never set: reads "tmp"'s book, then
// deletes it with a book put at stray. True when the book was empty, was not
// created at stray, and the book put there stayed.
bool ReadAndDeleteWithoutRoot(const std::string& stray) {
    SetAddressBookRoot("");
    SetAddressBookRoot(nullptr);
    int count = -1;
    {
        CAddressBook book("tmp");
        CVornSortedList<CAddressBookEntry> list(CompareNames);
        book.GetSortedEntries(list);
        count = list.m_List.m_Count;
    }
    const bool created = fs::exists(stray);
    WriteWhole(stray, "# 1 0\r\n");
    DeleteAddressBook("tmp");
    const bool kept = fs::exists(stray);
    std::error_code ignored;
    fs::remove(stray, ignored);
    return count == 0 && !created && kept;
}

TEST(AddressBookRootTest, EmptyRootIsIgnoredAndWithoutRootNoBookIsTouched) {
    // A fresh process, where the root has never been set. A path joined
    // from the empty root would be "/<user>/addressbook.bok": for "tmp",
    // "/tmp/addressbook.bok".
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string stray = "/tmp/addressbook.bok";
    if (fs::exists(stray))
        GTEST_SKIP() << stray << " exists already";
    testsupport::TempDir temp{"zelorm-book"};
    testsupport::ScopedEnv locks{"ZELORM_LOCK_DIR", temp.Path("locks")};
    EXPECT_EXIT(std::exit(ReadAndDeleteWithoutRoot(stray) ? 0 : 1), ::testing::ExitedWithCode(0),
                "");
    EXPECT_FALSE(fs::exists(stray));
    std::error_code ignored;
    fs::remove(stray, ignored);
}

}  // namespace
