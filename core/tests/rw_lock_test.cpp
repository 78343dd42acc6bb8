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

namespace {

// Polls until pred holds, for at most about ten seconds.
template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 10000; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

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
        char tmpl[] = "/tmp/zelorm-rwlock-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_Dir = tmpl;
        std::ofstream cat(m_Dir + "/messages", std::ios::binary);
        cat << "2 9 1\nEnglish en\n";
        for (int n = 0; n < 200; ++n) {
            std::string text = "M" + std::to_string(n) + (n == 12 ? " %d" : "");
            cat << " m" << n << " " << text.size() << ":" << text << "\n";
        }
        cat.close();
        ASSERT_EQ(0, BaseMessageTable().ReadFile((m_Dir + "/messages").c_str(), 2, 9, 200, 0));
        setenv("ZELORM_EVENTLOG", (m_Dir + "/events").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZELORM_EVENTLOG");
        BaseMessageTable().Clear();
        unlink((m_Dir + "/messages").c_str());
        unlink((m_Dir + "/events").c_str());
        rmdir(m_Dir.c_str());
    }
    std::vector<std::string> events() {
        std::vector<std::string> out;
        std::ifstream in(m_Dir + "/events");
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            size_t start = 0, tab;
            while ((tab = line.find('\t', start)) != std::string::npos) {
                f.push_back(line.substr(start, tab - start));
                start = tab + 1;
            }
            f.push_back(line.substr(start));
            if (f.size() >= 5)
                out.push_back(f[2] + ":" + f[4]);
        }
        return out;
    }
    std::string m_Dir;
};

TEST_F(RWLockTest, WriterWaitsForEveryReaderAndThenExcludesEveryone) {
    CVornRWLock lock;
    lock.ReadLock();
    lock.ReadLock();  // readers share the lock

    std::atomic<bool> writing{false}, release{false};
    std::thread writer([&] {
        lock.WriteLock();
        writing = true;
        eventually([&] { return release.load(); });
        lock.WriteUnlock();
    });
    letRun();
    EXPECT_FALSE(writing);
    lock.ReadUnlock();
    letRun();
    EXPECT_FALSE(writing);
    lock.ReadUnlock();
    ASSERT_TRUE(eventually([&] { return writing.load(); }));

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
    EXPECT_TRUE(eventually([&] { return entered == 2; }));
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
    ASSERT_TRUE(eventually([&] { return writing.load(); }));
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
    EXPECT_TRUE(eventually([&] { return writing.load(); }));
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
    EXPECT_TRUE(eventually([&] { return writing.load(); }));
    writer.join();
    EXPECT_EQ(1u, events().size());  // the writer was cleared: no 184 at the end
}

}  // namespace
