// The recursive lock and thread start.
#include <gtest/gtest.h>

#include <atomic>

#include "core/threads.h"
#include "core/vorn_lock.h"
#include "platform/threads.h"

namespace {

struct Waiter {
    CVornLock* lock;
    std::atomic<bool> started{false};
    std::atomic<bool> acquired{false};
};

unsigned takeLock(void* p) {
    auto* w = static_cast<Waiter*>(p);
    w->started = true;
    w->lock->Lock();
    w->lock->Unlock();
    w->acquired = true;  // last touch: the test may end as soon as it sees this
    return 0;
}

bool waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 2000 && !flag; ++i) platform::SleepMilliseconds(5);
    return flag;
}

TEST(VornLock, WaiterProceedsOnlyAfterTheLastOfNestedUnlocks) {
    CVornLock lock;
    Waiter w;
    w.lock = &lock;
    lock.Lock();
    lock.Lock();
    ASSERT_EQ(0, StartThread(takeLock, &w, 0));
    ASSERT_TRUE(waitFor(w.started));
    lock.Unlock();
    platform::SleepMilliseconds(50);
    EXPECT_FALSE(w.acquired) << "a nested lock was released by a single unlock";
    lock.Unlock();
    EXPECT_TRUE(waitFor(w.acquired));
}

TEST(VornLock, GuardReleasesOnException) {
    CVornLock lock;
    try {
        CVornLockGuard hold(lock);
        throw 1;
    } catch (int) {
    }
    Waiter w;
    w.lock = &lock;
    ASSERT_EQ(0, StartThread(takeLock, &w, 0));
    EXPECT_TRUE(waitFor(w.acquired));
}

std::atomic<int> g_ran{0};
unsigned countRun(void*) {
    ++g_ran;
    return 0;
}

TEST(StartThread, RunsThreadsAtEveryPriority) {
    g_ran = 0;
    for (int priority : {-1, 0, 1}) ASSERT_EQ(0, StartThread(countRun, nullptr, priority));
    for (int i = 0; i < 2000 && g_ran < 3; ++i) platform::SleepMilliseconds(5);
    EXPECT_EQ(3, g_ran.load());
}

TEST(StartThread, RefusesANullFunction) {
    EXPECT_EQ(1, StartThread(nullptr, nullptr, 0));
}

}  // namespace
