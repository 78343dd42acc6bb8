// The auto-reset event: one set releases one wait, and a limited wait ends
// by real time even while the test clock stands still.
#include "core/vorn_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/tests/support/files.h"
#include "platform/clock.h"

namespace {

using testsupport::Eventually;

TEST(VornEvent, OneSetLetsExactlyOneLaterWaitThrough) {
    CVornEvent event;
    EXPECT_EQ(CVornEvent::kTimedOut, event.WaitSeconds(0));  // made unsignalled
    EXPECT_NE(0, event.Set());
    EXPECT_NE(0, event.Set());  // signals do not add up
    EXPECT_EQ(CVornEvent::kSignalled, event.Wait());
    EXPECT_EQ(CVornEvent::kTimedOut, event.WaitSeconds(0));
    EXPECT_NE(0, event.Set());
    EXPECT_EQ(CVornEvent::kSignalled, event.WaitSeconds(-5));  // a negative limit polls too
    EXPECT_EQ(CVornEvent::kTimedOut, event.WaitSeconds(-5));
}

TEST(VornEvent, EachSetWakesOneWaiter) {
    CVornEvent event;
    std::atomic<int> woken{0};
    std::thread a([&] {
        if (event.Wait() == CVornEvent::kSignalled)
            ++woken;
    });
    std::thread b([&] {
        if (event.WaitSeconds(60) == CVornEvent::kSignalled)
            ++woken;
    });
    event.Set();
    ASSERT_TRUE(Eventually([&] { return woken == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(1, woken);
    event.Set();
    EXPECT_TRUE(Eventually([&] { return woken == 2; }));
    a.join();
    b.join();
}

TEST(VornEvent, LimitedWaitEndsWhileTheTestClockStandsStill) {
    platform::SetTestTime(1000000000);
    CVornEvent event;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CVornEvent::kTimedOut, event.WaitSeconds(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
    platform::ClearTestTime();
}

}  // namespace
