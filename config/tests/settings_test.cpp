// Settings resolution along system, user's group, user, client's group and
// client, with the time events that apply at the clock the test sets.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "config/tests/store_fixture.h"
#include "platform/threads.h"

using namespace storetest;

namespace {

typedef CVornConfigStore Store;

class SettingsTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        WriteConfig(
            {
                "DS,A=s,B=s,C=s,D=s,E=s,Long=xyz",
                "DGStaff,B=g,C=g,D=g,E=g",
                "DUalice,Cast=Staff,C=u,D=u,E=u",
                "DUdrifter,Cast=Gone,C=u2",
                "DGHosts,D=cg,E=cg",
                "DC10.0.0.1,Cast=Hosts,E=c,Long=abcd,OnlyLong=abcd",
            },
            {
                // Wednesdays 9:00 to 11:00.
                "SUalice,When=3,Date=0,Start=90000,End=110000,Repeat=1,C=u-event",
                // 3 January 2024, 8:00 to 12:00.
                "SC10.0.0.1,When=E,Date=20240103,Repeat=1,Start=80000,End=120000,E=c-window",
                "SS,When=D,Date=0,Start=0,End=0,Repeat=1,F=default",
            });
        ASSERT_EQ(0, Store::Load(1));
    }
};

TEST_F(SettingsTest, LaterLevelsWinAlongTheChain) {
    struct Case {
        const char* client;
        const char* user;
        const char* name;
        int hour;              // on Wednesday 3 January 2024
        const char* expected;  // null: found nowhere
    } cases[] = {
        {nullptr, nullptr, "A", 10, "s"},        {"unknown", "nobody", "A", 10, "s"},
        {nullptr, "alice", "B", 10, "g"},        {nullptr, "ALICE", "D", 10, "u"},
        {nullptr, "alice", "C", 10, "u-event"},  {nullptr, "alice", "C", 12, "u"},
        {"10.0.0.1", "alice", "D", 10, "cg"},    {"10.0.0.1", "alice", "E", 10, "c-window"},
        {"10.0.0.1", "alice", "E", 13, "c"},     {"10.0.0.1", nullptr, "C", 10, "s"},
        {nullptr, "drifter", "B", 10, "s"},  // its group does not exist
        {nullptr, "drifter", "C", 10, "u2"},     {nullptr, nullptr, "F", 10, "default"},
        {"10.0.0.1", "alice", "Z", 10, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " for " + (c.user ? c.user : "-") + "/" +
                     (c.client ? c.client : "-") + " at " + std::to_string(c.hour));
        SetClock(LocalTime(2024, 1, 3, c.hour, 0, 0));
        CVornString out("left over");
        EXPECT_EQ(c.expected ? 0 : 1, Store::GetSetting(c.client, c.user, c.name, out));
        EXPECT_EQ(c.expected ? c.expected : "", Str(out));

        char buffer[64] = "left over";
        EXPECT_EQ(c.expected ? 0 : 1,
                  Store::GetSettingBuffer(c.client, c.user, c.name, buffer, sizeof buffer));
        EXPECT_EQ(c.expected ? c.expected : "", std::string(buffer));
    }
}

TEST_F(SettingsTest, BufferTooSmallForALevelKeepsTheEarlierValue) {
    char buffer[4] = "zz";
    EXPECT_EQ(0, Store::GetSettingBuffer("10.0.0.1", nullptr, "Long", buffer, 4));
    EXPECT_EQ("xyz", std::string(buffer));
    EXPECT_EQ(1, Store::GetSettingBuffer("10.0.0.1", nullptr, "OnlyLong", buffer, 4));
    EXPECT_EQ("", std::string(buffer));
    EXPECT_EQ(-1, Store::GetSettingBuffer("10.0.0.1", nullptr, "Long", nullptr, 4));
}

TEST_F(SettingsTest, GroupSettingLooksOnlyAtTheGroups) {
    CVornString out("keep");
    EXPECT_EQ(1, Store::GetGroupSetting("10.0.0.1", "alice", "A", out));
    EXPECT_EQ("keep", Str(out));
    EXPECT_EQ(0, Store::GetGroupSetting("10.0.0.1", "alice", "B", out));
    EXPECT_EQ("g", Str(out));
    EXPECT_EQ(0, Store::GetGroupSetting("10.0.0.1", "alice", "D", out));
    EXPECT_EQ("cg", Str(out));
}

TEST_F(SettingsTest, ObjectSettingOfOneObject) {
    CVornString out("keep");
    EXPECT_EQ(0, Store::GetObjectSetting('U', "alice", "C", out));
    EXPECT_EQ("u-event", Str(out));
    EXPECT_EQ(0, Store::GetObjectSetting('S', nullptr, "A", out));
    EXPECT_EQ("s", Str(out));
    out.Assign("keep");
    EXPECT_EQ(1, Store::GetObjectSetting('U', "alice", "A", out));
    EXPECT_EQ(1, Store::GetObjectSetting('U', "nobody", "C", out));
    EXPECT_EQ("keep", Str(out));
}

TEST_F(SettingsTest, EffectiveSettingsMergeWholeLevelsAndNameTheEvents) {
    CVornStringMap map(0, 0);
    ASSERT_EQ(0, Store::GetEffectiveSettings("10.0.0.1", "alice", 0, map));
    CVornString value;
    auto get = [&](const char* name) {
        value.Clear();
        return map.Get(name, value) ? Str(value) : std::string("<none>");
    };
    EXPECT_EQ("s", get("A"));
    EXPECT_EQ("g", get("B"));
    EXPECT_EQ("u-event", get("C"));
    EXPECT_EQ("cg", get("D"));
    EXPECT_EQ("c-window", get("E"));
    EXPECT_EQ("default", get("F"));
    EXPECT_EQ("Hosts", get("Cast"));
    EXPECT_EQ("E", get("When"));  // the last event merged brings its own fields
    EXPECT_EQ("M630 -- M497,M629 (alice) -- M496,M626 (10.0.0.1) -- M495,", get("Where"));

    // With defaultOnly only default events count.
    CVornStringMap defaults(0, 0);
    ASSERT_EQ(0, Store::GetEffectiveSettings("10.0.0.1", "alice", 1, defaults));
    value.Clear();
    ASSERT_TRUE(defaults.Get("C", value));
    EXPECT_EQ("u", Str(value));
    ASSERT_TRUE(defaults.Get("E", value));
    EXPECT_EQ("c", Str(value));
    ASSERT_TRUE(defaults.Get("Where", value));
    EXPECT_EQ("M630 -- M497,", Str(value));
}

// Look-ups on several threads while the table is reloaded and replaced
// never see a missing or freed object.
TEST_F(SettingsTest, LookupsDuringReloadsSeeAWholeTable) {
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            CVornString out;
            while (!stop) {
                if (Store::GetSetting("10.0.0.1", "alice", "D", out) != 0 || !(Str(out) == "cg"))
                    ++wrong;
                // Readers that never pause keep a writer of this lock waiting
                // for seconds.
                platform::SleepMilliseconds(1);
            }
        });
    }
    for (int i = 0; i < 20; ++i) EXPECT_EQ(0, Store::Load(1));
    stop = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(0, wrong.load());
}

}  // namespace
