// The connect time-out table's pacing and the idle-connection pool's expiry,
// both at a clock the test sets, and the library's start and stop.
#include "net/network_library.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/clock.h"
#include "net/tcp_socket.h"
#include "platform/clock.h"

namespace {

constexpr time_t kT0 = 1700000000;

uint32_t Loopback() {
    int address = 0;
    EXPECT_TRUE(ParseDottedQuad(CVornString("127.0.0.1"), &address));
    return static_cast<uint32_t>(address);
}

class NetworkLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetTestTime(kT0); }
    void TearDown() override { platform::ClearTestTime(); }
};

// Polls, bounded, until the flag is set.
bool Eventually(const std::atomic<bool>& flag) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    return flag;
}

TEST_F(NetworkLibraryTest, ASecondAttemptOnAHostInUseWaitsForTheFirstToEnd) {
    CVornConnectTimeouts table;
    const CVornString key("mail.example:80");
    ASSERT_TRUE(table.Acquire(key));

    std::atomic<bool> done{false};
    std::atomic<bool> allowed{false};
    std::thread second([&] {
        allowed = table.Acquire(key);
        done = true;
    });
    EXPECT_FALSE(done);  // still waiting: the first attempt has not ended
    table.Release(key, true);
    EXPECT_TRUE(Eventually(done));
    second.join();
    EXPECT_TRUE(allowed);
}

TEST_F(NetworkLibraryTest, AttemptsArePacedByTheAgeOfTheLastAttemptOrSuccess) {
    CVornConnectTimeouts table;
    const CVornString key("relay:25");

    // A failure forgets the host: the next attempt starts afresh at once.
    ASSERT_TRUE(table.Acquire(key));
    table.Release(key, false);
    EXPECT_EQ(table.Count(), 0);
    ASSERT_TRUE(table.Acquire(key));

    // After a success, attempts within 30 s run in parallel without waiting.
    table.Release(key, true);
    platform::SetTestTime(kT0 + 30);
    EXPECT_TRUE(table.Acquire(key));
    EXPECT_TRUE(table.Acquire(key));

    // 31 s after the success the next attempt marks the host in use again...
    platform::SetTestTime(kT0 + 31);
    EXPECT_TRUE(table.Acquire(key));
    // ...and once it has run for 31 s it counts as hung: give up at once,
    // until it ends.
    platform::SetTestTime(kT0 + 62);
    EXPECT_FALSE(table.Acquire(key));
    EXPECT_FALSE(table.Acquire(key));
    table.Release(key, true);
    EXPECT_TRUE(table.Acquire(key));
}

TEST_F(NetworkLibraryTest, KeysDifferingInCaseAreDifferentHosts) {
    CVornConnectTimeouts table;
    ASSERT_TRUE(table.Acquire(CVornString("Host:80")));
    EXPECT_TRUE(table.Acquire(CVornString("host:80")));
    EXPECT_EQ(table.Count(), 2);
}

TEST_F(NetworkLibraryTest, AWaiterGivesUpAtItsRealTimeBoundWhenTheClockStandsStill) {
    // The clock is frozen, so the attempt in use never ages past the hold
    // time; the waiter must still come back.
    CVornConnectTimeouts table(30, 1);
    const CVornString key("frozen:80");
    ASSERT_TRUE(table.Acquire(key));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(table.Acquire(key));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));  // it did wait for the attempt
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST_F(NetworkLibraryTest, OldSuccessesAreCleanedOutOfTheTable) {
    CVornConnectTimeouts table;
    ASSERT_TRUE(table.Acquire(CVornString("a:80")));
    table.Release(CVornString("a:80"), true);
    ASSERT_TRUE(table.Acquire(CVornString("busy:80")));  // in use: stays
    platform::SetTestTime(kT0 + 61);
    ASSERT_TRUE(table.Acquire(CVornString("b:80")));
    EXPECT_EQ(table.Count(), 2);  // busy and b; a was older than 30 s
    table.Clear();
    EXPECT_EQ(table.Count(), 0);
}

TEST_F(NetworkLibraryTest, ThePoolHandsBackAMatchingConnectionOnce) {
    CVornIdleConnections pool;
    CVornHostAddress host(Loopback(), 8080);
    auto* connection = new CVornTCPSocket(host);
    pool.Add(host, CVornString("user"), CVornString("http"), connection);

    CVornHostAddress same(Loopback(), 8080);
    CVornHostAddress otherPort(Loopback(), 8081);
    EXPECT_EQ(pool.Take(otherPort, CVornString("user"), CVornString("http")), nullptr);
    EXPECT_EQ(pool.Take(same, CVornString("User"), CVornString("http")), nullptr);
    CVornTCPSocket* got = pool.Take(same, CVornString("user"), CVornString("http"));
    EXPECT_EQ(got, connection);
    EXPECT_EQ(pool.Take(same, CVornString("user"), CVornString("http")), nullptr);
    delete got;
}

TEST_F(NetworkLibraryTest, ThePoolClosesConnectionsIdleForMoreThanTwoMinutes) {
    CVornIdleConnections pool;
    CVornHostAddress host(Loopback(), 25);
    pool.Add(host, CVornString("old"), CVornString(""), new CVornTCPSocket(host));
    platform::SetTestTime(kT0 + 60);
    pool.Add(host, CVornString("new"), CVornString(""), new CVornTCPSocket(host));

    platform::SetTestTime(kT0 + 120);
    pool.CloseIdle(false);
    EXPECT_EQ(pool.Count(), 2);  // exactly 120 s is not yet too old
    platform::SetTestTime(kT0 + 121);
    EXPECT_EQ(pool.Take(host, CVornString("old"), CVornString("")), nullptr);
    pool.CloseIdle(false);
    EXPECT_EQ(pool.Count(), 1);
    CVornTCPSocket* kept = pool.Take(host, CVornString("new"), CVornString(""));
    EXPECT_NE(kept, nullptr);
    delete kept;

    pool.Add(host, CVornString("x"), CVornString(""), new CVornTCPSocket(host));
    pool.CloseIdle(true);
    EXPECT_EQ(pool.Count(), 0);
}

TEST_F(NetworkLibraryTest, AFullPoolGivesUpItsOldestConnection) {
    CVornIdleConnections pool;
    CVornHostAddress host(Loopback(), 25);
    for (int i = 0; i <= CVornIdleConnections::kMaxEntries; ++i) {
        CVornString tag;
        tag.AssignInt(i);
        pool.Add(host, tag, CVornString(""), new CVornTCPSocket(host));
    }
    EXPECT_EQ(pool.Count(), CVornIdleConnections::kMaxEntries);
    EXPECT_EQ(pool.Take(host, CVornString("0"), CVornString("")), nullptr);
}

TEST_F(NetworkLibraryTest, StartupStartsTheClockAndCleanupStopsItAndEmptiesTheTables) {
    platform::ClearTestTime();
    ASSERT_TRUE(LibraryStartup());
    EXPECT_TRUE(LibraryStartup());  // a second start is harmless
    EXPECT_TRUE(ClockRunning());
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);

    ASSERT_TRUE(g_ConnectTimeouts.Acquire(CVornString("cleanup:80")));
    CVornHostAddress host(Loopback(), 25);
    g_IdleConnections.Add(host, CVornString(""), CVornString(""), new CVornTCPSocket(host));
    LibraryCleanup();
    EXPECT_FALSE(ClockRunning());
    EXPECT_EQ(g_ConnectTimeouts.Count(), 0);
    EXPECT_EQ(g_IdleConnections.Count(), 0);
    EXPECT_TRUE(SocketsStartup());
}

}  // namespace
