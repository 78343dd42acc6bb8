// The login session table: the login's checks and their order, expiry of
// logged-in and pending sessions on the test clock with its records, the
// purge's interval, the limits, unguessable and unrepeated ids, and logins
// racing on one cookie.
#include "webadmin/web_session_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "core/pseudo_random.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_date.h"
#include "gateway/tests/support/activity_lines.h"
#include "platform/clock.h"

namespace {

using gatewaytest::ActivityFields;
typedef CWebSessionTable Table;

const char* const kUser = "quendrial";
const char* const kClient = "10.0.0.1";

// The record of an expired logged-in session of kUser from kClient.
const ActivityFields kExpiredLogin{{1, "4"},    {2, "2"},      {3, "1"},
                                   {10, kUser}, {11, kClient}, {100, "M406"}};
// The record of an expired pending session (no user or client yet).
const ActivityFields kExpiredPending{{1, "4"}, {2, "2"}, {3, "1"}, {100, "M406"}};

class WebSessionTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Temp.Path("messages"),
                                                  testsupport::NumberedCatalog(500), 500));
        gatewaytest::StartActivityDay(m_Temp.Path(), &m_Now);
        Configure("");
    }

    void TearDown() override {
        m_Store.reset();
        platform::ClearTestTime();
        testsupport::ClearBaseCatalog();
    }

    // Writes and loads the configuration: the system object with the given
    // extra attribute ("Name=value" or empty) and the administrator account
    // with the password "secret".
    void Configure(const std::string& system) {
        std::string line = "DS,Base=sys" + (system.empty() ? "" : "," + system);
        testsupport::WriteWhole(m_Temp.Path("shared-config"),
                                "# 2 0\r\n" + line + "\r\nDU" + kUser + ",VirtualAcct=1\r\n");
        testsupport::WriteWhole(m_Temp.Path("local-config"), "# 2 0\r\n");
        testsupport::WriteWhole(m_Temp.Path("vendor-config"), "# 2 0\r\n");
        m_Store.reset();
        m_Store = std::make_unique<CVornConfigStore>(m_Temp.Path("shared-config").c_str(),
                                                     m_Temp.Path("local-config").c_str(),
                                                     m_Temp.Path("vendor-config").c_str());
        ASSERT_EQ(0, CVornConfigStore::Load(1));
        CVornString message;
        ASSERT_EQ(0, CVornConfigStore::SetPassword(kUser, "secret", message, 1));
    }

    void SetClock(time_t t) {
        m_Now = t;
        platform::SetTestTime(t);
    }

    // A pending session issued now; its issued text.
    std::string Issue(const char* id, Table& table) {
        EXPECT_EQ(0, table.Issue(id, m_Now));
        return std::to_string(m_Now);
    }
    std::string Issue(const char* id) { return Issue(id, m_Table); }

    static int Login(Table& table, const char* id, const std::string& issued, int maximum = 0,
                     const char* password = "secret") {
        return table.Login(kUser, password, kClient, issued.c_str(), id, 1, maximum);
    }
    int Login(const char* id, const std::string& issued, int maximum = 0,
              const char* password = "secret") {
        return Login(m_Table, id, issued, maximum, password);
    }

    // Issue and log in at once; false when the login failed.
    bool LoggedIn(const char* id, Table& table, int maximum = 0) {
        return Login(table, id, Issue(id, table), maximum) == Table::kLoginOk;
    }
    bool LoggedIn(const char* id) { return LoggedIn(id, m_Table); }

    static int Validate(Table& table, const char* id, time_t* previous = nullptr) {
        CVornString user, client;
        time_t before = -1;
        int result = table.Validate(id, user, client, before);
        if (previous)
            *previous = before;
        if (result == 1) {
            EXPECT_STREQ(kUser, user.CStr());
            EXPECT_STREQ(kClient, client.CStr());
        } else {
            EXPECT_TRUE(user.IsEmpty());
            EXPECT_TRUE(client.IsEmpty());
            EXPECT_EQ(0, before);
        }
        return result;
    }
    int Validate(const char* id, time_t* previous = nullptr) {
        return Validate(m_Table, id, previous);
    }

    // The activity records written since the last call into the file of
    // the clock's day.
    std::vector<ActivityFields> Records() {
        int date = 0;
        CVornDate(m_Now).GetPacked(&date, nullptr, nullptr);
        std::string path = m_Temp.Path("zelgw" + std::to_string(date));
        return gatewaytest::ReadActivityRecords(path, &m_Read[path]);
    }

    testsupport::TempDir m_Temp{"zelorm-websessions"};
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Temp.Path("events")};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Temp.Path("locks")};
    time_t m_Now = 1704276000;             // 2024-01-03 10:00:00 UTC, moved on by the log's day
    std::map<std::string, size_t> m_Read;  // day file -> bytes read
    std::unique_ptr<CVornConfigStore> m_Store;
    Table m_Table;
};

TEST_F(WebSessionTableTest, TheIssuedTextMayLieUpToTenSecondsAfterTheIssue) {
    const time_t t = m_Now;
    struct Case {
        std::string issued;
        int result;
    } cases[] = {
        {std::to_string(t), Table::kLoginOk},
        {std::to_string(t + 10), Table::kLoginOk},
        {std::to_string(t + 11), Table::kLoginBadIssued},
        {std::to_string(t - 1), Table::kLoginBadIssued},
        {"", Table::kLoginBadIssued},
        {"junk", Table::kLoginBadIssued},
        {"-9223372036854775808", Table::kLoginBadIssued},
        {"99999999999999999999999", Table::kLoginBadIssued},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string id = std::to_string(++n);
        Issue(id.c_str());
        EXPECT_EQ(c.result, Login(id.c_str(), c.issued)) << "issued \"" << c.issued << "\"";
        EXPECT_EQ(c.result == Table::kLoginOk ? 1 : 0, Validate(id.c_str())) << c.issued;
    }
    EXPECT_TRUE(Records().empty());
}

TEST_F(WebSessionTableTest, LoginRefusalsComeInTheirOrderAndLeaveTheSessionPending) {
    std::string issued = Issue("7");
    EXPECT_EQ(Table::kLoginNoId, m_Table.Login(kUser, "secret", kClient, issued.c_str(), "", 1, 0));
    EXPECT_EQ(Table::kLoginNoId,
              m_Table.Login("", "secret", kClient, issued.c_str(), nullptr, 1, 0));
    EXPECT_EQ(Table::kLoginNoUser,
              m_Table.Login(nullptr, "secret", kClient, issued.c_str(), "7", 1, 0));
    EXPECT_EQ(Table::kLoginUnknownId, Login("8", issued));
    // The issued text is checked before the password.
    EXPECT_EQ(Table::kLoginBadIssued, Login("7", issued + "1", 0, "wrong"));
    EXPECT_EQ(Table::kLoginBadPassword, Login("7", issued, 0, "wrong"));
    EXPECT_EQ(Table::kLoginBadPassword, Login("7", issued, 0, nullptr));
    EXPECT_EQ(Table::kLoginBadPassword, Login("7", issued, 0, ""));
    EXPECT_EQ(0, Validate("7"));
    // An account without a stored hash, whose store check takes anything,
    // is refused whatever is typed.
    ASSERT_EQ(0, CVornConfigStore::DeleteAttribute('U', kUser, "Password", 0));
    EXPECT_EQ(Table::kLoginBadPassword, Login("7", issued, 0, "anything"));
    CVornString message;
    ASSERT_EQ(0, CVornConfigStore::SetPassword(kUser, "secret", message, 0));

    EXPECT_EQ(Table::kLoginOk, Login("7", issued));
    EXPECT_EQ(1, Validate("7"));
    // A logged-in session is not logged in again, whatever issued text
    // comes with its cookie (its issued field is 0).
    for (const char* again : {"0", "5", "10", issued.c_str()})
        EXPECT_EQ(Table::kLoginBadIssued, Login("7", again)) << again;
    EXPECT_TRUE(Records().empty());
}

TEST_F(WebSessionTableTest, ValidationRefreshesTheSessionAndGivesThePreviousAccess) {
    const time_t start = m_Now;
    ASSERT_TRUE(LoggedIn("42"));
    // Validated once a minute, a session never expires (timeout 5 minutes).
    for (int minute = 1; minute <= 30; ++minute) {
        SetClock(start + 60 * minute);
        time_t previous = 0;
        ASSERT_EQ(1, Validate("42", &previous)) << minute;
        EXPECT_EQ(start + 60 * (minute - 1), previous);
    }
    EXPECT_EQ(0, Validate(""));
    EXPECT_EQ(0, Validate(nullptr));
    EXPECT_EQ(0, Validate("43"));
    EXPECT_TRUE(Records().empty());
}

TEST_F(WebSessionTableTest, LoggedInSessionsExpireAfterTheAuthTimeout) {
    struct Case {
        const char* setting;
        time_t limit;
    } cases[] = {
        {"", 300},
        {"AuthTimeout=0", 300},
        {"AuthTimeout=-4", 300},
        {"AuthTimeout=junk", 300},
        {"AuthTimeout=10", 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        Configure(c.setting);
        Table table;
        const time_t login = m_Now;
        ASSERT_TRUE(LoggedIn("1", table));
        ASSERT_TRUE(LoggedIn("2", table));
        SetClock(login + c.limit);
        EXPECT_EQ(1, Validate(table, "1"));
        SetClock(login + c.limit + 1);
        EXPECT_EQ(0, Validate(table, "2"));
        EXPECT_EQ(std::vector<ActivityFields>{kExpiredLogin}, Records());
        // Gone: found neither by validation nor by logout, and recorded once.
        EXPECT_EQ(0, Validate(table, "2"));
        EXPECT_EQ(1, table.Remove("2"));
        EXPECT_TRUE(Records().empty());
        SetClock(m_Now + 1000);
    }
}

TEST_F(WebSessionTableTest, TheIdleTimeOfALoginRunsFromTheLoginNotFromTheLoginPage) {
    const time_t page = m_Now;
    std::string issued = Issue("5");
    // The administrator took longer than the timeout over the password;
    // the issued text still matches the page.
    SetClock(page + 400);
    ASSERT_EQ(Table::kLoginOk, Login("5", issued));
    SetClock(page + 400 + 300);
    EXPECT_EQ(1, Validate("5"));
    EXPECT_TRUE(Records().empty());
}

TEST_F(WebSessionTableTest, PendingSessionsAreRefusedAndPurgedOnlyAfterADayAtMostEveryFiveMinutes) {
    const time_t t = m_Now;
    std::string first = Issue("1");
    EXPECT_EQ(0, Validate("1"));
    SetClock(t + 200);
    std::string second = Issue("2");

    // The first login purges: the session idle for more than a day goes.
    SetClock(t + 86401);
    ASSERT_TRUE(LoggedIn("10"));
    EXPECT_EQ(std::vector<ActivityFields>{kExpiredPending}, Records());
    EXPECT_EQ(Table::kLoginUnknownId, Login("1", first));

    // 250 seconds later "2" is past its day too, but no purge runs within
    // five minutes of the last one: it is still there.
    SetClock(t + 86401 + 250);
    ASSERT_TRUE(LoggedIn("11"));
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(Table::kLoginOk, Login("2", second));

    // Five minutes after the first purge the next login purges again: "10"
    // has been idle for 301 seconds.
    SetClock(t + 86401 + 301);
    ASSERT_TRUE(LoggedIn("12"));
    EXPECT_EQ(std::vector<ActivityFields>{kExpiredLogin}, Records());
    EXPECT_EQ(0, Validate("10"));
    EXPECT_EQ(1, Validate("11"));
    EXPECT_TRUE(Records().empty());
}

TEST_F(WebSessionTableTest, TheMaximumLimitsLoggedInSessionsOnly) {
    for (const char* id : {"1", "2", "3"}) EXPECT_TRUE(LoggedIn(id)) << "no limit: " << id;

    Table table;
    ASSERT_TRUE(LoggedIn("a", table, 2));
    std::string issued = Issue("b", table);
    Issue("c", table);
    Issue("d", table);
    ASSERT_EQ(Table::kLoginOk, Login(table, "b", issued, 2));
    EXPECT_EQ(Table::kLoginTooMany, Login(table, "c", std::to_string(m_Now), 2));
    // Refused, "c" stays pending: after a logout it gets in.
    EXPECT_EQ(0, table.Remove("a"));
    EXPECT_EQ(Table::kLoginOk, Login(table, "c", std::to_string(m_Now), 2));

    // Expired sessions are purged before they are counted.
    SetClock(m_Now + 301);
    EXPECT_EQ(Table::kLoginOk, Login(table, "d", issued, 2));
    EXPECT_EQ((std::vector<ActivityFields>{kExpiredLogin, kExpiredLogin}), Records());
}

TEST_F(WebSessionTableTest, IssueReplacesASessionWhateverItsStateAndRefusesBadInput) {
    ASSERT_TRUE(LoggedIn("9"));
    EXPECT_EQ(1, m_Table.Issue("", m_Now));
    EXPECT_EQ(1, m_Table.Issue(nullptr, m_Now));
    EXPECT_EQ(1, m_Table.Issue("9", 0));
    EXPECT_EQ(1, m_Table.Issue("9", -5));
    EXPECT_EQ(1, Validate("9")) << "a refused Issue changes nothing";

    SetClock(m_Now + 3);
    std::string issued = Issue("9");
    EXPECT_EQ(0, Validate("9"));
    EXPECT_EQ(Table::kLoginBadIssued, Login("9", std::to_string(m_Now - 3)));
    EXPECT_EQ(Table::kLoginOk, Login("9", issued));
    EXPECT_EQ(1, Validate("9"));
}

TEST_F(WebSessionTableTest, RemoveDeletesKnownSessionsWithoutARecord) {
    ASSERT_TRUE(LoggedIn("4"));
    Issue("5");
    EXPECT_EQ(1, m_Table.Remove(""));
    EXPECT_EQ(1, m_Table.Remove(nullptr));
    EXPECT_EQ(1, m_Table.Remove("6"));
    EXPECT_EQ(0, m_Table.Remove("4"));
    EXPECT_EQ(0, m_Table.Remove("5"));
    EXPECT_EQ(0, Validate("4"));
    EXPECT_EQ(1, m_Table.Remove("4"));
    EXPECT_EQ(Table::kLoginUnknownId, Login("5", std::to_string(m_Now)));
    EXPECT_TRUE(Records().empty());
}

TEST_F(WebSessionTableTest, NewIdsAreUnpredictableDistinctAndReserved) {
    // The ids the clock-seeded sequence would give at this second.
    ResetPseudoRandom();
    std::set<std::string> predictable;
    for (int i = 0; i < 64; ++i) {
        long high = PseudoRandom();
        predictable.insert(std::to_string(high * 32768 + PseudoRandom()));
    }
    ResetPseudoRandom();

    std::set<std::string> seen;
    for (int i = 0; i < Table::kDefaultPendingLimit; ++i) {
        CVornString id;
        m_Table.NewId(id);
        std::string text = id.CStr();
        ASSERT_FALSE(text.empty());
        ASSERT_EQ(std::string::npos, text.find_first_not_of("0123456789")) << text;
        ASSERT_LE(std::stoull(text), 1073741823ull);
        ASSERT_TRUE(seen.insert(text).second) << "repeated " << text;
        ASSERT_EQ(0u, predictable.count(text)) << text;
    }
    // Reserved as pending sessions: refused by validation, and taken over
    // by the Issue of the login page that follows.
    const std::string id = *seen.begin();
    EXPECT_EQ(0, Validate(id.c_str()));
    EXPECT_EQ(Table::kLoginOk, Login(id.c_str(), Issue(id.c_str())));
    EXPECT_EQ(1, Validate(id.c_str()));
}

TEST_F(WebSessionTableTest, PendingSessionsAreBoundedByEvictingTheOldest) {
    Table table(3);
    std::string issued = std::to_string(m_Now);
    for (const char* id : {"a", "b", "c", "d"}) Issue(id, table);
    EXPECT_EQ(Table::kLoginUnknownId, Login(table, "a", issued)) << "the oldest made room";
    ASSERT_EQ(Table::kLoginOk, Login(table, "b", issued));

    // Logged-in sessions do not count: "e" fits beside "c" and "d".
    Issue("e", table);
    for (const char* id : {"c", "d", "e"})
        EXPECT_EQ(Table::kLoginOk, Login(table, id, issued)) << id;

    for (const char* id : {"f", "g", "h", "i"}) Issue(id, table);
    EXPECT_EQ(Table::kLoginUnknownId, Login(table, "f", issued));
    for (const char* id : {"b", "c", "d", "e"}) EXPECT_EQ(1, Validate(table, id)) << id;
    for (const char* id : {"g", "h", "i"})
        EXPECT_EQ(Table::kLoginOk, Login(table, id, issued)) << id;
    EXPECT_TRUE(Records().empty());
}

TEST_F(WebSessionTableTest, ConcurrentLoginsWithOneCookieLetExactlyOneIn) {
    std::string issued = Issue("77");
    std::atomic<int> accepted{0}, refused{0}, other{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            int r = Login("77", issued);
            (r == Table::kLoginOk ? accepted : r == Table::kLoginBadIssued ? refused : other)++;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(1, accepted.load());
    EXPECT_EQ(7, refused.load());
    EXPECT_EQ(0, other.load());
    EXPECT_EQ(1, Validate("77"));
}

TEST_F(WebSessionTableTest, SessionsOfManyThreadsDoNotDisturbOneAnother) {
    Table table(16);  // room for every thread's pending session, no more
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            std::string issued = std::to_string(m_Now);
            for (int round = 0; round < 100; ++round) {
                CVornString id;
                table.NewId(id);
                CVornString user, client;
                time_t previous = 0;
                if (id.IsEmpty() ||
                    table.Login(kUser, "secret", kClient, issued.c_str(), id.CStr(), 1, 0) != 0 ||
                    table.Validate(id.CStr(), user, client, previous) != 1 ||
                    table.Remove(id.CStr()) != 0)
                    ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
}

}  // namespace
