// Store operations on objects, names, events and users' passwords.
#include <algorithm>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "config/tests/store_fixture.h"
#include "config/time_event.h"
#include "core/code_page.h"

using namespace storetest;

namespace {

typedef CVornConfigStore Store;

std::vector<std::string> SortedNames(char type) {
    CVornSortedList<CVornString> list(nullptr);
    Store::GetSortedNames(type, list);
    std::vector<std::string> out;
    for (auto* node = list.m_List.m_Head; node; node = node->m_Next)
        out.push_back(Str(node->m_Element));
    return out;
}

std::vector<std::string> EventIds(char type, const char* name) {
    CVornStringList ids;
    Store::ListObjectEvents(type, name, ids);
    std::vector<std::string> out;
    for (auto* node = ids.m_Head; node; node = node->m_Next) out.push_back(Str(node->m_Element));
    return out;
}

// An event map from "name=value" pairs.
void MakeEvent(CVornStringMap& event,
               const std::vector<std::pair<const char*, const char*>>& items) {
    for (const auto& item : items) event.Set(item.first, CVornString(item.second));
}

class StoreOperationsTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        WriteConfig({"DS,", "DUalice,Cast=Staff,VirtualAcct=1,Password=", "DUBob,RealAcct=.\\bob",
                     "DUcarol,RealAcct=.\\bob", "DGStaff,", "DC10.0.0.10,Cast=staff", "DC10.0.0.9,",
                     "DChost.example,"},
                    {"SUalice,When=135,Date=0,Start=80000,End=170000,Repeat=1,Cast=Staff"});
        ASSERT_EQ(0, Store::Load(1));
    }
};

TEST_F(StoreOperationsTest, ObjectNameRule) {
    struct Case {
        std::string name;
        bool bad;
    } cases[] = {
        {"", true},
        {std::string(127, 'a'), false},
        {std::string(128, 'a'), true},
        {"with blank", false},
        {"user@example.com", false},
        {"a-b.c/d:e;f_G9", false},
        {"comma,name", true},
        {"key=value", true},
        {"tab\tname", true},
        {"quote\"", true},
        {"back\\slash", true},
        {"star*", true},
        {"\x7f\x80\xff", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.bad, Store::IsBadObjectName(c.name.c_str()));
    }
    EXPECT_TRUE(Store::IsBadObjectName(nullptr));

    // A double-byte character is refused, though each of its bytes alone
    // would pass.
    CVornCodePage saved = g_CodePage;
    g_CodePage.SetType(2);  // Shift-JIS
    EXPECT_TRUE(Store::IsBadObjectName("a\x82\xa0"));
    EXPECT_FALSE(Store::IsBadObjectName("a\xa0"));  // half-width kana: one byte
    g_CodePage = saved;
}

TEST_F(StoreOperationsTest, AddObjectRefusesDuplicatesBadNamesAndTheSystemKind) {
    EXPECT_EQ(1, Store::AddObject('U', "ALICE", 0));  // same key without regard to case
    EXPECT_EQ(0, Store::AddObject('C', "alice", 0));  // another kind, another key
    EXPECT_EQ(1, Store::ObjectExists('C', "Alice"));
    EXPECT_EQ(1, Store::AddObject('S', "other", 0));
    EXPECT_EQ(1, Store::AddObject('S', nullptr, 0));  // the system object exists
    EXPECT_EQ(1, Store::AddObject('X', "other", 0));
    EXPECT_EQ(1, Store::AddObject('G', "bad,name", 0));
    EXPECT_EQ(0, Store::ObjectExists('G', "bad,name"));

    // With the save flag the new object reaches the files.
    EXPECT_EQ(0, Store::AddObject('L', "news", 1));
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_EQ(1, Store::ObjectExists('L', "news"));
    EXPECT_EQ(1, Store::ObjectExists('C', "alice"));
}

TEST_F(StoreOperationsTest, AddObjectMakesTheSystemObjectOfANewConfiguration) {
    WriteConfig({"DUalice,"}, {});
    ASSERT_EQ(0, Store::Load(1));
    ASSERT_EQ(0, Store::ObjectExists('S', nullptr));
    EXPECT_EQ(1, Store::AddObject('S', "named", 0));
    EXPECT_EQ(0, Store::ObjectExists('S', nullptr));
    ASSERT_EQ(0, Store::AddObject('S', "", 0));
    EXPECT_EQ(1, Store::AddObject('S', nullptr, 0));
    ASSERT_EQ(0, Store::SetAttribute('S', nullptr, "Domain", CVornString("example.org"), 1));
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_EQ("example.org", Setting('S', nullptr, "Domain"));
}

TEST_F(StoreOperationsTest, DeleteObject) {
    EXPECT_EQ(0, Store::DeleteObject('U', "nobody", 0));  // nothing to do
    EXPECT_EQ(1, Store::DeleteObject('S', nullptr, 0));
    EXPECT_EQ(1, Store::DeleteObject('U', "bad=name", 0));

    // Deleting a group takes its members out of it; a cast inside a time
    // event stays.
    EXPECT_EQ(0, Store::DeleteObject('G', "STAFF", 0));
    EXPECT_EQ(0, Store::ObjectExists('G', "Staff"));
    CVornString cast;
    EXPECT_EQ(
        0, Store::GetEventAttribute('U', "alice", "Cast", CVornString("1350080000170000"), cast));
    EXPECT_EQ("Staff", Str(cast));
    SetClock(LocalTime(2024, 1, 2, 10, 0, 0));  // Tuesday: no event applies
    EXPECT_EQ("<none>", Setting('U', "alice", "Cast"));
    EXPECT_EQ("<none>", Setting('C', "10.0.0.10", "Cast"));

    EXPECT_EQ(0, Store::DeleteObject('U', "bob", 1));
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_EQ(0, Store::ObjectExists('U', "Bob"));
}

TEST_F(StoreOperationsTest, SortedNames) {
    EXPECT_EQ((std::vector<std::string>{"alice", "Bob", "carol"}), SortedNames('U'));
    EXPECT_EQ((std::vector<std::string>{"10.0.0.9", "10.0.0.10", "host.example"}),
              SortedNames('C'));
    EXPECT_EQ((std::vector<std::string>{"Staff"}), SortedNames('G'));

    // Additions go to their place; deletions and loads rebuild the lists.
    ASSERT_EQ(0, Store::AddObject('U', "Aaron", 0));
    ASSERT_EQ(0, Store::AddObject('C', "10.0.0.100", 0));
    EXPECT_EQ((std::vector<std::string>{"Aaron", "alice", "Bob", "carol"}), SortedNames('U'));
    EXPECT_EQ((std::vector<std::string>{"10.0.0.9", "10.0.0.10", "10.0.0.100", "host.example"}),
              SortedNames('C'));
    ASSERT_EQ(0, Store::DeleteObject('U', "bob", 0));
    EXPECT_EQ((std::vector<std::string>{"Aaron", "alice", "carol"}), SortedNames('U'));
    WriteConfig({"DUzed,"}, {});
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_EQ((std::vector<std::string>{"zed"}), SortedNames('U'));
    EXPECT_TRUE(SortedNames('C').empty());

    // The caller's list takes the order, so it can go on inserting.
    CVornSortedList<CVornString> list(nullptr);
    Store::GetSortedNames('U', list);
    list.Insert(CVornString("Adam"));
    EXPECT_EQ("Adam", Str(*list.m_List.GetAt(0)));
}

TEST_F(StoreOperationsTest, ReplaceEventKeepsTheOldEventWhenTheNewOneIsRefused) {
    ASSERT_EQ(0, Store::AddObject('G', "Night", 0));
    CVornStringMap first;
    MakeEvent(first, {{"When", "12"},
                      {"Date", "0"},
                      {"Start", "0"},
                      {"End", "60000"},
                      {"Repeat", "1"},
                      {"Mode", "a"}});
    ASSERT_EQ(0, Store::ReplaceEvent('G', "Night", "", first, 0));
    CVornStringMap second;
    MakeEvent(second, {{"When", "34"},
                       {"Date", "0"},
                       {"Start", "0"},
                       {"End", "60000"},
                       {"Repeat", "1"},
                       {"Mode", "b"}});
    ASSERT_EQ(0, Store::ReplaceEvent('G', "Night", "", second, 0));

    // Editing the first so that it overlaps the second is refused, and the
    // first stays as it was.
    CVornStringMap overlapping;
    MakeEvent(overlapping, {{"When", "23"},
                            {"Date", "0"},
                            {"Start", "0"},
                            {"End", "60000"},
                            {"Repeat", "1"},
                            {"Mode", "c"}});
    EXPECT_EQ(1, Store::ReplaceEvent('G', "Night", "120000000060000", overlapping, 0));
    CVornString mode;
    EXPECT_EQ(0,
              Store::GetEventAttribute('G', "Night", "Mode", CVornString("120000000060000"), mode));
    EXPECT_EQ("a", Str(mode));

    // A new event in place of the old one, saved.
    CVornStringMap moved;
    MakeEvent(moved, {{"When", "5"},
                      {"Date", "0"},
                      {"Start", "0"},
                      {"End", "60000"},
                      {"Repeat", "1"},
                      {"Mode", "d"}});
    EXPECT_EQ(0, Store::ReplaceEvent('G', "Night", "120000000060000", moved, 1));
    ASSERT_EQ(0, Store::Load(1));
    std::vector<std::string> ids = EventIds('G', "Night");
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ((std::vector<std::string>{"340000000060000", "50000000060000"}), ids);
    EXPECT_TRUE(Store::FindOverlappingEvent('G', "Night", "", 0, 1, 50000, 70000, "3"));
    EXPECT_FALSE(
        Store::FindOverlappingEvent('G', "Night", "340000000060000", 0, 1, 50000, 70000, "3"));
    EXPECT_EQ(1, Store::ReplaceEvent('G', "Nobody", "", moved, 0));
}

TEST_F(StoreOperationsTest, Passwords) {
    CVornString message;
    // A virtual user without a stored hash takes any password.
    EXPECT_EQ(0, Store::CheckPassword("alice", "anything", 1));
    EXPECT_TRUE(Store::IsUserWithoutPassword("ALICE"));
    EXPECT_EQ(0, Store::SetPassword("ALICE", "secret", message, 1));
    EXPECT_FALSE(Store::IsUserWithoutPassword("alice"));
    EXPECT_FALSE(Store::IsUserWithoutPassword("nobody"));
    EXPECT_FALSE(Store::IsUserWithoutPassword(nullptr));
    EXPECT_EQ(0, Store::CheckPassword("alice", "secret", 1));
    EXPECT_EQ(1, Store::CheckPassword("alice", "wrong", 1));
    EXPECT_EQ(1, Store::ChangePassword("alice", "wrong", "next", 1, message, 0));
    EXPECT_EQ(0, Store::ChangePassword("alice", "secret", "next", 1, message, 1));

    // The saved hash is what a fresh load checks against.
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_EQ(0, Store::CheckPassword("alice", "next", 1));
    EXPECT_EQ(1, Store::CheckPassword("alice", "secret", 1));

    EXPECT_EQ(1, Store::CheckPassword("nobody", "x", 1));
    EXPECT_EQ(1, Store::SetPassword("nobody", "x", message, 0));
    EXPECT_EQ(1, Store::ChangePassword("nobody", "x", "y", 1, message, 0));
}

TEST_F(StoreOperationsTest, UserAccounts) {
    CVornString name("BOB");
    EXPECT_TRUE(Store::GetCanonicalUserName(name));
    EXPECT_EQ("Bob", Str(name));
    CVornString missing("nobody");
    EXPECT_FALSE(Store::GetCanonicalUserName(missing));
    EXPECT_EQ("nobody", Str(missing));

    EXPECT_TRUE(Store::IsVirtualUser(CVornString("alice")));
    EXPECT_FALSE(Store::IsVirtualUser(CVornString("bob")));
    CVornString account;
    EXPECT_TRUE(Store::GetUserRealAccount(CVornString("bob"), account));
    EXPECT_EQ(".\\bob", Str(account));
    EXPECT_FALSE(Store::GetUserRealAccount(CVornString("alice"), account));

    CVornMap<int> accounts(0, 1);
    Store::GetRealAccounts(accounts);
    EXPECT_EQ(1, accounts.Count());  // two users share one account
    EXPECT_TRUE(accounts.Get(".\\BOB", static_cast<int**>(nullptr)));
}

TEST_F(StoreOperationsTest, AttributesOfMissingObjects) {
    EXPECT_EQ(1, Store::SetAttribute('U', "nobody", "A", CVornString("1"), 0));
    EXPECT_EQ(1, Store::DeleteAttribute('U', "nobody", "A", 0));
    CVornStringList ids;
    EXPECT_EQ(1, Store::ListObjectEvents('G', "nobody", ids));
    EXPECT_FALSE(Store::IsObjectPending('L', "nobody"));
    EXPECT_EQ(0, Store::SetAttribute('S', nullptr, "A", CVornString("1"), 0));
    EXPECT_EQ("1", Setting('S', nullptr, "A"));
    EXPECT_EQ(0, Store::DeleteAttribute('S', nullptr, "A", 0));
    EXPECT_EQ("<none>", Setting('S', nullptr, "A"));
}

}  // namespace
