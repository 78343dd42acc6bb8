// The reader-writer lock: writers wait for readers and exclude everyone;
// misuse is reported by message number and repaired.
#include "core/rw_lock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"

namespace {

using testsupport::Eventually;

// Gives a thread time to get as far as it can; a flag it sets must still be
// clear afterwards when it is blocked.
void letRun() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

// Catalogue texts "M<number>" and an event log file, so that a test reads
// which messages were reported, as "type:text".
class RWLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(
            0, testsupport::LoadBaseCatalog(m_Dir + "/messages",
                                            testsupport::NumberedCatalog(200, {{12, " %d"}}), 200));
    }
    void TearDown() override { testsupport::ClearBaseCatalog(); }
    std::vector<std::string> events() { return testsupport::ReadEvents(m_Dir + "/events"); }
    testsupport::TempDir m_Temp{"zelorm-rwlock"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
};

TEST_F(RWLockTest, WriterWaitsForEveryReaderAndThenExcludesEveryone) {
    CVornRWLock lock;
    lock.ReadLock();
    lock.ReadLock();  // readers share the lock

    std::atomic<bool> writing{false}, release{false};
    std::thread writer([&] {
        lock.WriteLock();
        writing = true;
        Eventually([&] { return release.load(); });
        lock.WriteUnlock();
    });
    letRun();
    EXPECT_FALSE(writing);
    lock.ReadUnlock();
    letRun();
    EXPECT_FALSE(writing);
    lock.ReadUnlock();
    ASSERT_TRUE(Eventually([&] { return writing.load(); }));

    std::atomic<int> entered{0};
    std::thread reader([&] {
        lock.ReadLock();
        ++entered;
        lock.ReadUnlock();
    });
    std::thread writer2([&] {
        lock.WriteLock();
        ++entered;
        lock.WriteUnlock();
    });
    letRun();
    EXPECT_EQ(0, entered);
    release = true;
    EXPECT_TRUE(Eventually([&] { return entered == 2; }));
    writer.join();
    reader.join();
    writer2.join();
    EXPECT_TRUE(events().empty());
}

TEST_F(RWLockTest, UnmatchedReadUnlockIsReportedOnceAndTheCountStaysAtZero) {
    CVornRWLock lock;
    lock.ReadUnlock();
    EXPECT_EQ(std::vector<std::string>{"1:M8"}, events());

    // A count left at -1 would let the next reader in unseen.
    lock.ReadLock();
    std::atomic<bool> writing{false};
    std::thread writer([&] {
        lock.WriteLock();
        writing = true;
        lock.WriteUnlock();
    });
    letRun();
    EXPECT_FALSE(writing);
    lock.ReadUnlock();
    ASSERT_TRUE(Eventually([&] { return writing.load(); }));
    writer.join();
    EXPECT_EQ(1u, events().size());
}

TEST_F(RWLockTest, ReadersLeftAtWriteUnlockAreReportedAndForgotten) {
    CVornRWLock lock;
    lock.WriteLock();
    lock.ReadLock();  // a writer may read inside its write lock...
    lock.ReadLock();
    lock.WriteUnlock();  // ...but must release before it unlocks
    EXPECT_EQ(std::vector<std::string>{"1:M12 2"}, events());

    std::atomic<bool> writing{false};
    std::thread writer([&] {
        lock.WriteLock();
        writing = true;
        lock.WriteUnlock();
    });
    EXPECT_TRUE(Eventually([&] { return writing.load(); }));
    writer.join();
}

TEST_F(RWLockTest, SecondWriteLockByTheWriterIsReportedAndSucceeds) {
    CVornRWLock lock;
    lock.WriteLock();
    lock.WriteLock();
    EXPECT_EQ(std::vector<std::string>{"1:M183"}, events());
    lock.WriteUnlock();
    lock.WriteUnlock();

    std::atomic<bool> writing{false};
    std::thread writer([&] {
        lock.WriteLock();
        writing = true;
        lock.WriteUnlock();
    });
    EXPECT_TRUE(Eventually([&] { return writing.load(); }));
    writer.join();
    EXPECT_EQ(1u, events().size());  // the writer was cleared: no 184 at the end
}

}  // namespace
