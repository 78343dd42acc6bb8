// The plug-in's reader-writer lock: readers share, a writer waits for the
// readers counted before it and keeps later readers out, guards release on
// every path.
#include "scanner/read_write_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"

namespace {

class EventLog {
public:
    void Add(const std::string& what)
    {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Events.push_back(what);
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Events;
    }

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Events;
};

TEST(ReadWriteSync, AWriterWaitsForRunningReadersAndKeepsNewReadersOut)
{
    CReadWriteSync lock;
    EventLog log;
    // Two scans hold the lock shared at once.
    lock.ReadLock();
    lock.ReadLock();
    ASSERT_EQ(2, lock.Readers());

    std::thread writer([&] {
        lock.WriteLock();
        log.Add("writer");
        lock.WriteUnlock();
    });
    ASSERT_TRUE(testsupport::Eventually([&] { return lock.WaitingWriters() == 1; }));
    std::thread lateReader([&] {
        lock.ReadLock();
        log.Add("late reader");
        lock.ReadUnlock();
    });
    // The scan that came after the writer waits at the lock.
    ASSERT_TRUE(testsupport::Eventually([&] { return lock.WaitingReaders() == 1; }));

    lock.ReadUnlock();
    // One scan still runs: the writer keeps waiting.
    EXPECT_EQ(1, lock.WaitingWriters());
    EXPECT_TRUE(log.Events().empty());
    lock.ReadUnlock();

    writer.join();
    lateReader.join();
    EXPECT_EQ((std::vector<std::string>{"writer", "late reader"}), log.Events());
    EXPECT_EQ(0, lock.Readers());
    EXPECT_EQ(0, lock.WaitingWriters());
}

TEST(ReadWriteSync, ReadersAndWritersNeverOverlap)
{
    CReadWriteSync lock;
    std::atomic<int> readersInside{0};
    std::atomic<int> writersInside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> sharedSeen{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                if ((t + i) % 5 == 0) {
                    lock.WriteLock();
                    if (writersInside.fetch_add(1) != 0 || readersInside.load() != 0)
                        ++overlaps;
                    writersInside.fetch_sub(1);
                    lock.WriteUnlock();
                } else {
                    lock.ReadLock();
                    if (readersInside.fetch_add(1) > 0)
                        ++sharedSeen;
                    if (writersInside.load() != 0)
                        ++overlaps;
                    readersInside.fetch_sub(1);
                    lock.ReadUnlock();
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, lock.Readers());
    EXPECT_EQ(0, lock.WaitingWriters());
}

TEST(ReadWriteSync, AWriterMayTakeTheLockAgainOnItsOwnThread)
{
    CReadWriteSync lock;
    lock.WriteLock();
    lock.WriteLock();
    lock.WriteUnlock();
    // Still held once: a reader on another thread must wait.
    std::atomic<bool> read{false};
    std::thread reader([&] {
        lock.ReadLock();
        read = true;
        lock.ReadUnlock();
    });
    ASSERT_TRUE(testsupport::Eventually([&] { return lock.WaitingReaders() == 1; }));
    EXPECT_FALSE(read.load());
    lock.WriteUnlock();
    reader.join();
    EXPECT_TRUE(read.load());
}

TEST(ReadWriteSync, UnlockingWhatIsNotHeldChangesNothing)
{
    CReadWriteSync lock;
    lock.ReadUnlock();
    lock.WriteUnlock();
    EXPECT_EQ(0, lock.Readers());
    lock.ReadLock();
    EXPECT_EQ(1, lock.Readers());
    lock.ReadUnlock();
    // A thread that does not hold the lock exclusive cannot release it.
    lock.WriteLock();
    std::thread([&] { lock.WriteUnlock(); }).join();
    std::atomic<bool> read{false};
    std::thread reader([&] {
        lock.ReadLock();
        read = true;
        lock.ReadUnlock();
    });
    ASSERT_TRUE(testsupport::Eventually([&] { return lock.WaitingReaders() == 1; }));
    EXPECT_FALSE(read.load());
    lock.WriteUnlock();
    reader.join();
    EXPECT_TRUE(read.load());
}

// An operation that fails after taking the lock, by error code or exception.
int FailingOperation(CReadWriteSync& lock, bool exclusive, bool raise)
{
    CReadWriteGuard guard(&lock);
    guard.Lock(exclusive);
    if (raise)
        throw std::runtime_error("failed");
    return 65535;
}

TEST(ReadWriteGuard, ReleasesTheLockOnEveryWayOut)
{
    struct Case {
        bool exclusive;
        bool raise;
    } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.exclusive ? "exclusive" : "shared") +
                     (c.raise ? ", exception" : ", error code"));
        CReadWriteSync lock;
        if (c.raise)
            EXPECT_THROW(FailingOperation(lock, c.exclusive, c.raise), std::runtime_error);
        else
            EXPECT_EQ(65535, FailingOperation(lock, c.exclusive, c.raise));
        EXPECT_EQ(0, lock.Readers());
        // Exclusive from another thread succeeds at once only when nothing
        // is held any more.
        std::thread([&] {
            lock.WriteLock();
            lock.WriteUnlock();
        }).join();
    }
}

TEST(ReadWriteGuard, UnlockReleasesOnceAndTheDestructorDoesNotReleaseAgain)
{
    CReadWriteSync lock;
    lock.ReadLock();  // another scan
    {
        CReadWriteGuard guard(&lock);
        guard.Lock(false);
        EXPECT_EQ(2, lock.Readers());
        guard.Unlock();
        EXPECT_EQ(1, lock.Readers());
        guard.Unlock();
        EXPECT_EQ(1, lock.Readers());
    }
    EXPECT_EQ(1, lock.Readers());
    lock.ReadUnlock();
}

}  // namespace
