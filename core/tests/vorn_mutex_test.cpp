// The named mutex: recursion and misuse reports, errors that never leave a
// lock held, and serialisation with another process (also one that dies).
#include "core/vorn_mutex.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/message_catalog.h"
#include "core/tests/support/child_holder.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/vorn_exception.h"
#include "platform/threads.h"

namespace {

template <typename Fn>
auto onOtherThread(Fn fn) {
    return std::async(std::launch::async, fn).get();
}

// TryLock on a fresh object of another thread; unlocks again on success.
int tryFromOtherThread(const char* name) {
    return onOtherThread([name] {
        CVornMutex m;
        int rc = m.TryLock(name);
        if (rc == 0)
            m.Unlock();
        return rc;
    });
}

// The code and extra number of the CVornException that fn throws; code -1
// when it throws none.
template <typename Fn>
std::pair<int, int> thrown(Fn fn) {
    try {
        fn();
    } catch (const CVornException& e) {
        return {e.m_Code, e.m_Extra};
    }
    return {-1, 0};
}

// Own lock directory, catalogue texts "M<number>" and an event log file, so
// that a test reads which messages were reported ("type:text").
class VornMutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Dir + "/messages",
                                                  testsupport::NumberedCatalog(200), 200));
    }
    void TearDown() override { testsupport::ClearBaseCatalog(); }
    // The error and warning events reported so far, as "type:text".
    std::vector<std::string> events() { return testsupport::ReadEvents(m_Dir + "/events"); }
    testsupport::TempDir m_Temp{"zelorm-vmutex"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
    testsupport::ScopedEnv m_LockDir{"ZELORM_LOCK_DIR", m_Dir + "/locks"};
};

TEST_F(VornMutexTest, WithoutANameEveryOperationThrows23) {
    CVornMutex m;
    EXPECT_EQ(23, thrown([&] { m.Lock(); }).first);
    EXPECT_EQ(23, thrown([&] { m.TryLock(); }).first);
    EXPECT_EQ(23, thrown([&] { m.Unlock(); }).first);
    // A name that cannot be made leaves the object without a mutex.
    EXPECT_EQ(46, thrown([&] { m.SetName(""); }).first);
    EXPECT_EQ(23, thrown([&] { m.Lock(); }).first);
    // The state lock was released each time: taking it again reports no
    // second write lock (183), and another thread can use the object.
    for (const std::string& e : events()) ASSERT_EQ(std::string::npos, e.find("M183")) << e;
    EXPECT_EQ(0, onOtherThread([&] {
                  int rc = m.TryLock("after");
                  m.Unlock();
                  return rc;
              }));
}

TEST_F(VornMutexTest, OwnerMayLockAgainAndReleasesAsOften) {
    CVornMutex m("QVCONFIGFILELOCK");
    EXPECT_EQ(static_cast<unsigned>(platform::CurrentThreadId()), m.Lock());
    EXPECT_EQ(1, tryFromOtherThread("QVCONFIGFILELOCK"));
    EXPECT_TRUE(events().empty());  // a refused TryLock recorded no owner: no 182

    m.Lock();
    EXPECT_EQ(std::vector<std::string>{"1:M181"}, events());
    m.Unlock();
    EXPECT_EQ(1, tryFromOtherThread("QVCONFIGFILELOCK"));
    m.Unlock();
    EXPECT_EQ(0, tryFromOtherThread("QVCONFIGFILELOCK"));
    EXPECT_EQ(0, tryFromOtherThread("qvconfigfilelock"));
}

TEST_F(VornMutexTest, UnlockByAThreadThatDoesNotOwnItThrows45) {
    CVornMutex m("owned");
    m.Lock();
    auto result = onOtherThread([] {
        CVornMutex other("owned");
        return thrown([&] { other.Unlock(); });
    });
    EXPECT_EQ(45, result.first);
    EXPECT_EQ(1, tryFromOtherThread("owned"));
    m.Unlock();
}

TEST_F(VornMutexTest, DestroyingAnOwnedObjectReportsItAndKeepsTheOwnership) {
    {
        CVornMutex m("kept");
        m.Lock();
    }
    EXPECT_EQ(std::vector<std::string>{"1:M182"}, events());
    EXPECT_EQ(1, tryFromOtherThread("kept"));
    CVornMutex again("kept");
    again.Unlock();  // the owning thread releases through another object
    EXPECT_EQ(0, tryFromOtherThread("kept"));
}

// A child process that locks name, reports 'y' over a pipe and, on command,
// unlocks (reporting 'r') or dies holding the mutex.
class ChildHolder : public testsupport::ChildHolder {
public:
    ChildHolder(const char* name, bool dieHolding)
        : testsupport::ChildHolder(
              [name]() -> Release {
                  auto m = std::make_shared<CVornMutex>(name);
                  m->Lock();
                  return [m] {
                      m->Unlock();
                      return true;
                  };
              },
              dieHolding) {}
};

TEST_F(VornMutexTest, AnotherProcessHoldsTheMutexUntilItUnlocks) {
    ChildHolder child("C:,zelgw,spool,index", false);
    ASSERT_EQ('y', child.Report());

    CVornMutex m;
    EXPECT_EQ(1, m.TryLock("C:,zelgw,spool,index"));
    std::atomic<bool> locked{false};
    std::thread waiter([&] {
        m.Lock();
        locked = true;
        m.Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(locked);
    child.Command();
    EXPECT_EQ('r', child.Report());
    waiter.join();
    EXPECT_TRUE(locked);
    EXPECT_TRUE(events().empty());
}

TEST_F(VornMutexTest, MutexAbandonedByADeadProcessThrows44OnceAndIsThenFree) {
    ChildHolder child("abandoned", true);
    ASSERT_EQ('y', child.Report());
    child.Command();
    child.Reap();

    CVornMutex m("abandoned");
    std::pair<int, int> result = thrown([&] { m.Lock(); });
    EXPECT_EQ(44, result.first);
    EXPECT_EQ(0x80, result.second);
    // Nothing stays held, by this thread or by the object's state lock.
    EXPECT_EQ(0, tryFromOtherThread("abandoned"));
    EXPECT_EQ(0, onOtherThread([&] {
                  int rc = m.TryLock();
                  m.Unlock();
                  return rc;
              }));
}

}  // namespace
