#include "platform/lock_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/tests/support/child_holder.h"
#include "core/tests/support/temp_dir.h"
#include "platform/file_ops.h"

namespace {

using testsupport::ChildHolder;

class LockFileTest : public ::testing::Test {
protected:
    bool Exists() const { return platform::PathExists(m_Path.c_str()); }

    // A child process that takes the lock and holds it until told.
    std::unique_ptr<ChildHolder> HeldByChild(bool dieHolding) {
        const std::string path = m_Path;
        auto child = std::make_unique<ChildHolder>(
            [path]() -> ChildHolder::Release {
                auto lock = std::make_shared<platform::LockFile>();
                if (!lock->Acquire(path)) return nullptr;
                return [lock]() {
                    lock->Release();
                    return true;
                };
            },
            dieHolding);
        EXPECT_TRUE(child->Started());
        EXPECT_EQ('y', child->Report());
        return child;
    }

    testsupport::TempDir m_Temp{"zelorm-lock"};
    std::string m_Path = m_Temp.Path("KBLOCK.DAT");
};

TEST_F(LockFileTest, TwoObjectsOfOneProcessExcludeEachOther) {
    platform::LockFile first, second;
    ASSERT_TRUE(first.Acquire(m_Path));
    EXPECT_TRUE(Exists());
    EXPECT_FALSE(first.Acquire(m_Path));  // held already, also by itself
    EXPECT_FALSE(second.Acquire(m_Path));
    second.Release();  // not the holder: deletes nothing
    EXPECT_TRUE(Exists());
    EXPECT_TRUE(first.IsHeld());

    first.Release();
    EXPECT_FALSE(Exists());
    EXPECT_FALSE(first.IsHeld());
    ASSERT_TRUE(second.Acquire(m_Path));
    {
        platform::LockFile scoped;
        EXPECT_FALSE(scoped.Acquire(m_Path));
    }  // a non-holder's destructor leaves the file
    EXPECT_TRUE(Exists());
}

TEST_F(LockFileTest, AnotherProcessHoldingFailsAtOnceAndKeepsItsFile) {
    auto child = HeldByChild(false);
    platform::LockFile mine;
    EXPECT_FALSE(mine.Acquire(m_Path));
    mine.Release();
    EXPECT_TRUE(Exists());  // never deleted while the other process holds it

    child->Command();
    EXPECT_EQ('r', child->Report());
    EXPECT_TRUE(child->Reap());
    EXPECT_FALSE(Exists());  // its holder deleted it
    EXPECT_TRUE(mine.Acquire(m_Path));
}

TEST_F(LockFileTest, AHolderThatDiesReleasesTheLockButLeavesTheFile) {
    auto child = HeldByChild(true);
    child->Command();
    EXPECT_TRUE(child->Reap());
    EXPECT_TRUE(Exists());
    platform::LockFile mine;
    EXPECT_TRUE(mine.Acquire(m_Path));
    mine.Release();
    EXPECT_FALSE(Exists());
}

TEST_F(LockFileTest, BadPathsFail) {
    platform::LockFile lock;
    EXPECT_FALSE(lock.Acquire(""));
    EXPECT_FALSE(lock.Acquire(m_Temp.Path()));
    EXPECT_FALSE(lock.Acquire(m_Temp.Path("missing/INLOCK.DAT")));
    EXPECT_FALSE(lock.IsHeld());
}

}  // namespace
