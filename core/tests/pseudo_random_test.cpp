#include "core/pseudo_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "core/tests/support/vorn_helpers.h"
#include "platform/clock.h"

namespace {

class PseudoRandomTest : public ::testing::Test {
protected:
    // The same draws in every run, from a fixed time.
    testsupport::SeededRandom m_Random{1000000000};

    static std::vector<int> Draw(int n) {
        std::vector<int> v;
        for (int i = 0; i < n; ++i) v.push_back(PseudoRandom());
        return v;
    }
};

TEST_F(PseudoRandomTest, SequenceFollowsFromTheClockSecond) {
    // state = state * 22695477 + 1 (mod 2^32) from the second 1000000000,
    // result = bits 12..26 of each new state.
    const std::vector<int> expected = {18813, 11340, 2974, 1842, 8927, 18270, 1490, 23871};
    EXPECT_EQ(Draw(8), expected);

    // Another start in the same second draws the same sequence.
    ResetPseudoRandom();
    EXPECT_EQ(Draw(8), expected);

    // Once seeded, the clock no longer matters.
    ResetPseudoRandom();
    PseudoRandom();
    platform::SetTestTime(2000000000);
    EXPECT_EQ(PseudoRandom(), expected[1]);
}

TEST_F(PseudoRandomTest, ThreadsShareOneSequenceWithoutRepeatingAState) {
    const int kThreads = 4, kEach = 2000;
    std::vector<int> serial = Draw(kThreads * kEach);
    ResetPseudoRandom();

    std::vector<std::vector<int>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&drawn, t] { drawn[t] = Draw(kEach); });
    for (std::thread& t : threads) t.join();

    // Together the threads drew exactly the serial sequence's numbers: no
    // state was seen twice and none was skipped.
    std::vector<int> all;
    for (const auto& v : drawn) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    std::sort(serial.begin(), serial.end());
    EXPECT_EQ(all, serial);
    EXPECT_GE(all.front(), 0);
    EXPECT_LE(all.back(), 32767);
}

}  // namespace
