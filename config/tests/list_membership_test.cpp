#include "config/list_membership.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/compare_no_case.h"
#include "core/disk_file.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/vorn_date.h"
#include "platform/clock.h"

namespace {

const std::string kHeader = "# 2 1.0 Fri, 15 Jun 2001 12:00:00 +0000";
const char kSep = '\x1C';

using testsupport::ReadWhole;
using testsupport::WriteWhole;

std::string Entry(const std::string& member, const std::string& lists) {
    return member + kSep + lists;
}

// Header and entries with the given line end, entries optionally scrambled.
std::string MakeFile(const std::vector<std::string>& entries, const std::string& end,
                     bool scrambled) {
    std::string out = kHeader + end;
    for (const std::string& e : entries) {
        std::string line = e + end;
        if (scrambled) {
            for (char& c : line) {
                unsigned char b = static_cast<unsigned char>(c);
                c = static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
            }
        }
        out += line;
    }
    return out;
}

std::string PlainFile(const std::vector<std::string>& entries) {
    return MakeFile(entries, "\r\n", false);
}

int ByName(const CVornString* a, const CVornString* b) {
    return CompareNoCase(a, b);
}

class ListMembershipTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Path = m_Dir + "/members";
        // Long before the files' real modification times, so every file the
        // test writes counts as newer than the last load.
        m_Start = CVornDate(20010615, 120000).GetTime();
        platform::SetTestTime(m_Start);
    }
    void TearDown() override { platform::ClearTestTime(); }

    std::vector<std::string> Members(CVornListMembership& lists, const char* name) {
        CVornSortedList<CVornString> out(&ByName);
        lists.GetMembers(name, out);
        std::vector<std::string> names;
        for (auto* node = out.m_List.m_Head; node; node = node->m_Next)
            names.push_back(node->m_Element.CStr());
        return names;
    }

    testsupport::TempDir m_Temp{"zelorm-lists"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Dir};
    std::string m_Path;
    time_t m_Start = 0;
};

using Names = std::vector<std::string>;

TEST_F(ListMembershipTest, GetMembersMatchesWholeListNamesInAnyCaseAndSorts) {
    WriteWhole(m_Path, PlainFile({
                           Entry("alice@x", "sales\x1Cstaff\x1C"), Entry("bob@x", "sale\x1C"),
                           Entry("carol@x", "Staff\x1C"),
                           Entry("dave@x", "sales\x1Cstaff"),  // last list lacks its 0x1C
                           Entry("aaron@x", "sales\x1C"),      // out of order: kept, not indexed
                       }));
    CVornListMembership lists(m_Path.c_str(), false);
    struct Case {
        const char* list;
        Names expected;
    } cases[] = {
        {"sales", {"aaron@x", "alice@x", "dave@x"}},
        {"SALES", {"aaron@x", "alice@x", "dave@x"}},
        {"staff", {"alice@x", "carol@x"}},
        {"sale", {"bob@x"}},
        {"", {"aaron@x", "alice@x", "bob@x", "carol@x", "dave@x"}},
        {nullptr, {"aaron@x", "alice@x", "bob@x", "carol@x", "dave@x"}},
        {"nobody", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, Members(lists, c.list)) << (c.list ? c.list : "(null)");
}

TEST_F(ListMembershipTest, RemoveMemberRewritesTheFileAndKeepsThePreviousAsOld) {
    const std::string original = PlainFile({
        Entry("alice@x", "sales\x1C"),
        Entry("bob@x", "sales\x1Cstaff\x1C"),
        Entry("carol@x", "staff\x1C"),
    });
    WriteWhole(m_Path, original);
    CVornListMembership lists(m_Path.c_str(), false);
    ASSERT_EQ(Names({"alice@x", "bob@x"}), Members(lists, "sales"));

    EXPECT_EQ(0, lists.RemoveMember("BOB@X"));
    const std::string saved = PlainFile({
        Entry("alice@x", "sales\x1C"),
        Entry("carol@x", "staff\x1C"),
    });
    EXPECT_EQ(saved, ReadWhole(m_Path));
    EXPECT_EQ(original, ReadWhole(m_Path + "_old"));
    EXPECT_FALSE(std::filesystem::exists(m_Path + "_new"));
    EXPECT_EQ(Names({"alice@x"}), Members(lists, "sales"));

    // A member that is not there still rewrites the file.
    EXPECT_EQ(0, lists.RemoveMember("nobody@x"));
    EXPECT_EQ(saved, ReadWhole(m_Path));
    EXPECT_EQ(saved, ReadWhole(m_Path + "_old"));

    EXPECT_EQ(1, lists.RemoveMember(nullptr));
}

TEST_F(ListMembershipTest, ChangesOfAnotherWriterAreReadAndNeverOverwritten) {
    WriteWhole(m_Path, PlainFile({Entry("alice@x", "sales\x1C"), Entry("bob@x", "sales\x1C")}));
    CVornListMembership lists(m_Path.c_str(), false);
    ASSERT_EQ(Names({"alice@x", "bob@x"}), Members(lists, "sales"));

    // Another process adds a member in the very second of the load; the
    // next check (10 s on) reads it all the same.
    WriteWhole(m_Path, PlainFile({Entry("alice@x", "sales\x1C"), Entry("bob@x", "sales\x1C"),
                                  Entry("zed@x", "sales\x1C")}));
    struct timeval times[2] = {{m_Start, 0}, {m_Start, 0}};
    ASSERT_EQ(0, utimes(m_Path.c_str(), times));
    platform::SetTestTime(m_Start + 11);
    EXPECT_EQ(Names({"alice@x", "bob@x", "zed@x"}), Members(lists, "sales"));

    // A change made after that check and before a removal survives the
    // removal's save.
    WriteWhole(m_Path, PlainFile({Entry("alice@x", "sales\x1C"), Entry("bob@x", "sales\x1C"),
                                  Entry("yan@x", "staff\x1C"), Entry("zed@x", "sales\x1C")}));
    EXPECT_EQ(0, lists.RemoveMember("alice@x"));
    EXPECT_EQ(PlainFile({Entry("bob@x", "sales\x1C"), Entry("yan@x", "staff\x1C"),
                         Entry("zed@x", "sales\x1C")}),
              ReadWhole(m_Path));
}

TEST_F(ListMembershipTest, RemoveMemberBeforeAnyLookupLoadsFirst) {
    const std::vector<std::string> entries = {Entry("alice@x", "sales\x1C"),
                                              Entry("bob@x", "sales\x1C")};
    WriteWhole(m_Path, PlainFile(entries));
    CVornListMembership lists(m_Path.c_str(), false);
    EXPECT_EQ(0, lists.RemoveMember("alice@x"));
    EXPECT_EQ(PlainFile({entries[1]}), ReadWhole(m_Path));
}

TEST_F(ListMembershipTest, ScrambledFileRoundTrips) {
    const std::vector<std::string> entries = {
        Entry("alice@x", "sales\x1C"),
        Entry("bob@x", "sales\x1Cstaff\x1C"),
        Entry("carol@x", "staff\x1C"),
    };
    WriteWhole(m_Path, MakeFile(entries, "\n", true));
    CVornListMembership lists(m_Path.c_str(), true);
    EXPECT_EQ(Names({"bob@x", "carol@x"}), Members(lists, "staff"));

    ASSERT_EQ(0, lists.RemoveMember("carol@x"));
    std::string saved = ReadWhole(m_Path);
    EXPECT_EQ(MakeFile({entries[0], entries[1]}, "\n", true), saved);

    // Swapped back line by line, it is the plain file with LF line ends.
    size_t headerEnd = saved.find('\n');
    ASSERT_NE(std::string::npos, headerEnd);
    std::string plain = saved.substr(0, headerEnd + 1);
    for (size_t i = headerEnd + 1; i < saved.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(saved[i]);
        plain += static_cast<char>(((b & 0x0F) << 4) | (b >> 4));
    }
    EXPECT_EQ(MakeFile({entries[0], entries[1]}, "\n", false), plain);
}

TEST_F(ListMembershipTest, SaveIsRefusedAfterAFailedLoad) {
    struct Case {
        const char* name;
        std::string bytes;  // empty: no file at all
        Names sales;        // what lookups still see
    } cases[] = {
        {"header number 3",
         "# 3 1.0 Fri, 15 Jun 2001 12:00:00 +0000\r\n" + Entry("a@x", "sales\x1C") + "\r\n",
         {}},
        {"no header", Entry("a@x", "sales\x1C") + "\r\n", {}},
        {"line without lists", PlainFile({Entry("a@x", "sales\x1C"), "b@x\x1C"}), {"a@x"}},
        {"line without member",
         PlainFile({Entry("a@x", "sales\x1C"), Entry("", "sales\x1C")}),
         {"a@x"}},
        {"a line over the line bound, whose second piece looks like an entry",
         PlainFile({Entry("a@x", "sales\x1C"),
                    "b@x\x1C" + std::string(CVornDiskFile::kMaxLineLength, 'z') +
                        Entry("c@x", "sales\x1C")}),
         {"a@x"}},
        {"missing file", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(m_Path);
        if (!c.bytes.empty())
            WriteWhole(m_Path, c.bytes);
        CVornListMembership lists(m_Path.c_str(), false);
        EXPECT_EQ(c.sales, Members(lists, "sales"));
        EXPECT_EQ(1, lists.RemoveMember("a@x"));
        EXPECT_EQ(1, lists.SaveLocked());
        EXPECT_EQ(c.bytes, ReadWhole(m_Path));
        EXPECT_FALSE(std::filesystem::exists(m_Path + "_new"));
        EXPECT_FALSE(std::filesystem::exists(m_Path + "_old"));
    }
}

TEST_F(ListMembershipTest, ABrokenFileIsReplacedByItsOldCopy) {
    const std::string good = PlainFile({Entry("alice@x", "sales\x1C")});
    WriteWhole(m_Path, "garbage\r\n");
    WriteWhole(m_Path + "_old", good);
    CVornListMembership lists(m_Path.c_str(), false);
    EXPECT_EQ(Names({"alice@x"}), Members(lists, "sales"));
    EXPECT_EQ(good, ReadWhole(m_Path));
    EXPECT_FALSE(std::filesystem::exists(m_Path + "_old"));
}

}  // namespace
