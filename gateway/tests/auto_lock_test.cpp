// The sender auto-lock: counting refused messages per user within the
// window, the lock written into the user's default event, and the senders
// and settings that never lock anyone.
#include "gateway/auto_lock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/vorn_date.h"
#include "gateway/tests/support/activity_lines.h"
#include "gateway/tests/support/spool_fixture.h"

namespace {

typedef CVornConfigStore Store;

std::string Str(const CVornString& s) {
    CVornString copy(s);
    return std::string(copy.CStr(), static_cast<size_t>(copy.Length()));
}

class AutoLockTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        m_LogFile = gatewaytest::StartActivityDay(m_Dir, &m_Now);
        m_Cleanup = std::make_unique<CAutoLockCleanup>();
    }

    void TearDown() override {
        m_Cleanup.reset();
        SpoolTest::TearDown();
    }

    // Writes shared-config with the system object's attributes and the
    // given object lines, and loads it.
    void Configure(const std::vector<std::string>& lines, const std::string& system = "Base=sys") {
        std::string text = "# 2 0\r\nDS," + system + "\r\n";
        for (const std::string& line : lines) text += line + "\r\n";
        spooltest::WriteWhole(Path("shared-config"), text);
        ASSERT_EQ(0, Store::Load(1));
    }

    // The default event's attribute of the user, or "<none>".
    static std::string DefaultEvent(const char* user, const char* name) {
        CVornString out;
        if (Store::GetEventAttribute('U', user, name, CVornString("D0000000000000"), out) != 0)
            return "<none>";
        return Str(out);
    }

    bool Locked(const char* user) { return DefaultEvent(user, "AllowSMTP") == "0"; }

    // The lock records (event 26) written since the last call.
    std::vector<gatewaytest::ActivityFields> LockRecords() {
        std::vector<gatewaytest::ActivityFields> out;
        for (auto& r : gatewaytest::ReadActivityRecords(m_LogFile, &m_Read)) {
            if (r[2] == "26")
                out.push_back(r);
        }
        return out;
    }

    std::unique_ptr<CAutoLockCleanup> m_Cleanup;
    std::string m_LogFile;
    size_t m_Read = 0;
};

TEST_F(AutoLockTest, TheXthDistinctRefusalWithinTheWindowLocksTheUser) {
    Configure({"DUalice,AutoLock=1,AutoLockX=3,AutoLockY=10,AllowSMTP=1,Quota=7"});
    SenderAutoLock("alice", "M1");
    SenderAutoLock("alice", "M1");  // the same message for another recipient
    SenderAutoLock("alice", "M2");
    EXPECT_FALSE(Locked("alice"));
    EXPECT_TRUE(LockRecords().empty());

    SetClock(m_Now + 9 * 60);
    SenderAutoLock("alice", "M3");
    EXPECT_TRUE(Locked("alice"));
    EXPECT_EQ("0", DefaultEvent("alice", "AllowPOP"));
    EXPECT_EQ("0", DefaultEvent("alice", "AllowZELORMUI"));
    // The user's other effective settings go along into the event.
    EXPECT_EQ("7", DefaultEvent("alice", "Quota"));
    EXPECT_EQ("sys", DefaultEvent("alice", "Base"));
    std::vector<gatewaytest::ActivityFields> records = LockRecords();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ((gatewaytest::ActivityFields{{1, "3"}, {2, "26"}, {10, "alice"}}), records[0]);

    // Saved: a fresh load still holds the lock, and the setting resolves to 0.
    ASSERT_EQ(0, Store::Load(1));
    EXPECT_TRUE(Locked("alice"));
    CVornString allowed;
    ASSERT_EQ(0, Store::GetSetting(nullptr, "alice", "AllowSMTP", allowed));
    EXPECT_EQ("0", Str(allowed));

    // The tracker is not cleared: the next refusal within the window locks
    // again (and records it again).
    SenderAutoLock("alice", "M4");
    EXPECT_EQ(1u, LockRecords().size());
}

TEST_F(AutoLockTest, RefusalsOlderThanTheWindowDoNotCount) {
    Configure({"DUalice,AutoLock=1,AutoLockX=3,AutoLockY=10"});
    SenderAutoLock("alice", "M1");
    SenderAutoLock("alice", "M2");
    SetClock(m_Now + 10 * 60 + 1);
    SenderAutoLock("alice", "M3");
    EXPECT_FALSE(Locked("alice"));
    SenderAutoLock("alice", "M4");
    EXPECT_FALSE(Locked("alice"));
    SenderAutoLock("alice", "M5");
    EXPECT_TRUE(Locked("alice"));
}

TEST_F(AutoLockTest, SendersAndSettingsThatNeverLock) {
    struct Case {
        const char* what;
        const char* user;  // the object line
        const char* sender;
    } cases[] = {
        {"remote sender", "DUbob,AutoLock=1,AutoLockX=1,AutoLockY=10", "bob@remote.example.org"},
        {"AutoLock 0", "DUbob,AutoLock=0,AutoLockX=1,AutoLockY=10", "bob"},
        {"AutoLock missing", "DUbob,AutoLockX=1,AutoLockY=10", "bob"},
        {"AutoLockX 0", "DUbob,AutoLock=1,AutoLockX=0,AutoLockY=10", "bob"},
        {"AutoLockY missing", "DUbob,AutoLock=1,AutoLockX=1", "bob"},
        {"no user object", "DUcarol,AutoLock=1,AutoLockX=1,AutoLockY=10", "bob"},
        {"empty sender", "DUbob,AutoLock=1,AutoLockX=1,AutoLockY=10", ""},
        {"unparsable sender", "DUbob,AutoLock=1,AutoLockX=1,AutoLockY=10", "bob@"},
        {"null sender", "DUbob,AutoLock=1,AutoLockX=1,AutoLockY=10", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Configure({c.user});
        for (int i = 0; i < 3; ++i) SenderAutoLock(c.sender, ("M" + std::to_string(i)).c_str());
        EXPECT_FALSE(Locked("bob"));
        EXPECT_FALSE(Locked("carol"));
        EXPECT_EQ(0, g_AutoLockTrackers.Count());
    }
    EXPECT_TRUE(LockRecords().empty());
}

// Settings resolve along the chain: the system object may switch the lock
// on for every user.
TEST_F(AutoLockTest, SettingsMayComeFromTheSystemObject) {
    Configure({"DUdave,Quota=1"}, "AutoLock=1,AutoLockX=2,AutoLockY=5");
    SenderAutoLock("dave", "M1");
    SenderAutoLock("dave", "M2");
    EXPECT_TRUE(Locked("dave"));
}

TEST_F(AutoLockTest, TrackerRemembersTheLastFiftyDistinctTexts) {
    CAutoLockTracker tracker;
    EXPECT_EQ(0, tracker.CountSince(0));
    for (int i = 0; i < 60; ++i) {
        SetClock(m_Now + 1);
        tracker.Record(("M" + std::to_string(i)).c_str());
    }
    EXPECT_EQ(50, tracker.CountSince(0));
    // M59 is still held, so it is not stored again; M0 was overwritten.
    tracker.Record("M59");
    EXPECT_EQ(0, tracker.CountSince(m_Now));
    SetClock(m_Now + 1);
    tracker.Record("M0");
    EXPECT_EQ(1, tracker.CountSince(m_Now - 1));
    EXPECT_EQ(50, tracker.CountSince(0));
}

TEST_F(AutoLockTest, CleanupEmptiesTheTrackerMap) {
    Configure({"DUalice,AutoLock=1,AutoLockX=5,AutoLockY=10",
               "DUbob,AutoLock=1,AutoLockX=5,AutoLockY=10"});
    SenderAutoLock("alice", "M1");
    SenderAutoLock("bob", "M1");
    EXPECT_EQ(2, g_AutoLockTrackers.Count());
    m_Cleanup.reset();
    EXPECT_EQ(0, g_AutoLockTrackers.Count());
    // A new owner starts from nothing: earlier refusals are forgotten.
    m_Cleanup = std::make_unique<CAutoLockCleanup>();
    for (int i = 2; i <= 5; ++i) SenderAutoLock("alice", ("M" + std::to_string(i)).c_str());
    EXPECT_FALSE(Locked("alice"));
    SenderAutoLock("alice", "M6");
    EXPECT_TRUE(Locked("alice"));
}

}  // namespace
