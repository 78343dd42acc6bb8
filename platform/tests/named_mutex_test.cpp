// Named mutexes: ownership by thread, recursion, other processes, abandonment
// and the file names that stand for mutex names.
#include "platform/named_mutex.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "core/tests/support/child_holder.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"

namespace {

using platform::NamedMutex;

// Runs fn on a thread of its own and returns its result.
template <typename Fn>
auto onOtherThread(Fn fn) {
    return std::async(std::launch::async, fn).get();
}

int tryFromOtherThread(const std::string& name) {
    return onOtherThread([&] {
        NamedMutex m;
        if (!m.Open(name))
            return -100;
        int rc = m.TryAcquire();
        if (rc == platform::kMutexAcquired || rc == platform::kMutexAbandoned)
            m.Release();
        return rc;
    });
}

using testsupport::Eventually;

class NamedMutexTest : public ::testing::Test {
protected:
    testsupport::TempDir m_Temp{"zelorm-mutex"};
    std::string m_Dir = m_Temp.Path();
    std::string m_LockDir = m_Dir + "/run/locks";  // missing: Open makes it
    testsupport::ScopedEnv m_LockDirEnv{"ZELORM_LOCK_DIR", m_LockDir};
};

TEST(LockFileName, EscapesEverythingThatIsNotPlainAndKeepsCase) {
    struct Case {
        std::string name, file;
    } cases[] = {
        {"QVCONFIGFILELOCK", "QVCONFIGFILELOCK"},
        {"qvconfigfilelock", "qvconfigfilelock"},
        {",var,spool,a.tmp", "%2Cvar%2Cspool%2Ca.tmp"},
        {"a/b\\c", "a%2Fb%5Cc"},
        {".", "%2E"},
        {"..", "%2E."},
        {"x_y-z.1", "x_y-z.1"},
        {"%2F", "%252F"},
        {"a b~", "a%20b%7E"},
        {std::string("\xff\x01", 2), "%FF%01"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.file, platform::LockFileName(c.name)) << c.name;
}

TEST(LockFileName, LongNamesStayShortDistinctAndStable) {
    std::string a(255, '/'), b = a;
    b.back() = '\\';
    std::string fa = platform::LockFileName(a), fb = platform::LockFileName(b);
    EXPECT_LE(fa.size(), 255u);
    EXPECT_NE(fa, fb);
    EXPECT_EQ(fa, platform::LockFileName(a));
    EXPECT_EQ(std::string::npos, fa.find('/'));
    // The prefix is cut before an escape, never inside one.
    EXPECT_EQ("%2F", fa.substr(fa.find('~') - 3, 3));
}

TEST_F(NamedMutexTest, OpenMakesTheLockDirectoryAndRefusesBadNames) {
    NamedMutex m;
    EXPECT_FALSE(m.Open(""));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_FALSE(m.IsOpen());
    EXPECT_EQ(platform::kMutexFailed, m.Acquire(-1));
    EXPECT_FALSE(m.Release());

    ASSERT_TRUE(m.Open("C:\\temp\\x/y"));
    struct stat st;
    ASSERT_EQ(0, stat(m_LockDir.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    EXPECT_EQ(0, access((m_LockDir + "/C%3A%5Ctemp%5Cx%2Fy").c_str(), F_OK));
    m.Close();

    // A lock directory that cannot exist: a plain file stands in its way.
    int fd = open((m_Dir + "/file").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("ZELORM_LOCK_DIR", (m_Dir + "/file/locks").c_str(), 1);
    EXPECT_FALSE(m.Open("x"));
    EXPECT_FALSE(m.IsOpen());
}

TEST_F(NamedMutexTest, OwnershipIsPerThreadRecursiveAndPerName) {
    NamedMutex m;
    ASSERT_TRUE(m.Open("abc"));
    ASSERT_EQ(platform::kMutexAcquired, m.Acquire(-1));
    EXPECT_EQ(platform::kMutexAcquired, m.TryAcquire());  // recursion

    EXPECT_EQ(platform::kMutexTimedOut, tryFromOtherThread("abc"));
    EXPECT_EQ(platform::kMutexTimedOut, onOtherThread([] {
                  NamedMutex other;
                  other.Open("abc");
                  return other.Acquire(20);
              }));
    EXPECT_EQ(platform::kMutexAcquired, tryFromOtherThread("ABC"));  // names keep their case
    EXPECT_TRUE(onOtherThread([] {
        NamedMutex other;
        other.Open("abc");
        return !other.Release() && errno == EPERM;
    }));

    ASSERT_TRUE(m.Release());
    EXPECT_EQ(platform::kMutexTimedOut, tryFromOtherThread("abc"));  // one level still held
    ASSERT_TRUE(m.Release());
    EXPECT_FALSE(m.Release());
    EXPECT_EQ(EPERM, errno);
    // The waiters that timed out left nothing behind.
    EXPECT_EQ(platform::kMutexAcquired, tryFromOtherThread("abc"));
}

TEST_F(NamedMutexTest, WaiterProceedsOnlyAfterTheLastRelease) {
    NamedMutex m;
    ASSERT_TRUE(m.Open("queue"));
    ASSERT_EQ(platform::kMutexAcquired, m.Acquire(-1));
    ASSERT_EQ(platform::kMutexAcquired, m.Acquire(-1));

    std::atomic<int> result{-2};
    std::thread waiter([&] {
        NamedMutex w;
        w.Open("queue");
        result = w.Acquire(-1);
        w.Release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(-2, result.load());
    ASSERT_TRUE(m.Release());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(-2, result.load());
    ASSERT_TRUE(m.Release());
    EXPECT_TRUE(Eventually([&] { return result.load() == platform::kMutexAcquired; }));
    waiter.join();
}

TEST_F(NamedMutexTest, OwnershipOutlivesTheHandleAndFollowsTheName) {
    auto first = std::make_unique<NamedMutex>();
    ASSERT_TRUE(first->Open("shared"));
    ASSERT_EQ(platform::kMutexAcquired, first->Acquire(-1));
    first.reset();  // closing does not release
    EXPECT_EQ(platform::kMutexTimedOut, tryFromOtherThread("shared"));

    NamedMutex second;
    ASSERT_TRUE(second.Open("shared"));
    EXPECT_TRUE(second.Release());
    EXPECT_EQ(platform::kMutexAcquired, tryFromOtherThread("shared"));
}

TEST_F(NamedMutexTest, ThreadThatEndsOwningAbandonsTheMutex) {
    onOtherThread([] {
        NamedMutex m;
        m.Open("left");
        return m.Acquire(-1);
    });
    NamedMutex m;
    ASSERT_TRUE(m.Open("left"));
    EXPECT_EQ(platform::kMutexAbandoned, m.TryAcquire());
    ASSERT_TRUE(m.Release());
    EXPECT_EQ(platform::kMutexAcquired, m.TryAcquire());
    ASSERT_TRUE(m.Release());
}

TEST_F(NamedMutexTest, DescriptorsAreCloseOnExec) {
    NamedMutex m;
    ASSERT_TRUE(m.Open("cloexec"));
    ASSERT_EQ(platform::kMutexAcquired, m.Acquire(-1));
    int seen = 0;
    DIR* d = opendir("/proc/self/fd");
    ASSERT_NE(nullptr, d);
    while (dirent* ent = readdir(d)) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + ent->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (std::string(target).rfind(m_LockDir, 0) != 0)
            continue;
        ++seen;
        EXPECT_NE(0, fcntl(atoi(ent->d_name), F_GETFD) & FD_CLOEXEC) << target;
    }
    closedir(d);
    EXPECT_EQ(1, seen);
    m.Release();
}

// A child process that takes a mutex, reports over a pipe and then, on
// command, releases it or dies holding it.
class ChildHolder : public testsupport::ChildHolder {
public:
    ChildHolder(const std::string& name, bool dieHolding)
        : testsupport::ChildHolder(
              [name]() -> Release {
                  auto m = std::make_shared<NamedMutex>();
                  if (!m->Open(name) || m->Acquire(-1) != platform::kMutexAcquired)
                      return nullptr;
                  return [m] { return m->Release(); };
              },
              dieHolding) {}
};

TEST_F(NamedMutexTest, AnotherProcessHoldsTheMutexUntilItReleases) {
    ChildHolder child("QVLISTFILELOCK", false);
    ASSERT_TRUE(child.Started());
    ASSERT_EQ('y', child.Report());

    NamedMutex m;
    ASSERT_TRUE(m.Open("QVLISTFILELOCK"));
    EXPECT_EQ(platform::kMutexTimedOut, m.TryAcquire());
    EXPECT_EQ(platform::kMutexTimedOut, m.Acquire(30));

    std::atomic<int> result{-2};
    std::thread waiter([&] { result = m.Acquire(-1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(-2, result.load());
    child.Command();
    EXPECT_EQ('r', child.Report());
    waiter.join();
    EXPECT_EQ(platform::kMutexAcquired, result.load());
    EXPECT_TRUE(child.Reap());
    // The waiter's thread has ended, and with it its ownership.
    EXPECT_EQ(platform::kMutexAbandoned, m.TryAcquire());
    EXPECT_TRUE(m.Release());
}

TEST_F(NamedMutexTest, ReleasedMutexesLeaveNoLockFileBehind) {
    for (int i = 0; i < 50; ++i) {
        NamedMutex m;
        std::string name = "/spool/message" + std::to_string(i);
        ASSERT_TRUE(m.Open(name));
        ASSERT_EQ(platform::kMutexAcquired, m.Acquire(-1));
        ASSERT_TRUE(m.Release());
    }
    int entries = 0;
    if (DIR* d = opendir(m_LockDir.c_str())) {
        while (dirent* ent = readdir(d))
            if (std::string(ent->d_name) != "." && std::string(ent->d_name) != "..")
                ++entries;
        closedir(d);
    }
    EXPECT_EQ(0, entries);
}

// A mutex taken again and again through one open handle keeps its lock
// file (no new file per acquisition); it goes with the last handle. A child
// made by fork that opens the name gets a file of its own, so the parent's
// ownership still excludes it.
TEST_F(NamedMutexTest, AnOpenHandleKeepsItsFileAndAForkedChildIsStillExcluded) {
    std::string file = m_LockDir + "/" + platform::LockFileName("queue");
    {
        NamedMutex m;
        ASSERT_TRUE(m.Open("queue"));
        ASSERT_EQ(platform::kMutexAcquired, m.Acquire(-1));
        struct stat first;
        ASSERT_EQ(0, stat(file.c_str(), &first));
        ASSERT_TRUE(m.Release());
        ASSERT_EQ(platform::kMutexAcquired, m.Acquire(-1));
        struct stat second;
        ASSERT_EQ(0, stat(file.c_str(), &second));
        EXPECT_EQ(first.st_ino, second.st_ino);

        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            NamedMutex c;
            int rc = c.Open("queue") ? c.TryAcquire() : -100;
            _exit(rc == platform::kMutexTimedOut ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        ASSERT_TRUE(m.Release());
        EXPECT_TRUE(std::filesystem::exists(file));
    }
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(NamedMutexTest, ProcessThatDiesHoldingLeavesItAbandoned) {
    ChildHolder child("dies", true);
    ASSERT_TRUE(child.Started());
    ASSERT_EQ('y', child.Report());
    child.Command();
    ASSERT_TRUE(child.Reap());

    NamedMutex m;
    ASSERT_TRUE(m.Open("dies"));
    EXPECT_EQ(platform::kMutexAbandoned, m.TryAcquire());
    ASSERT_TRUE(m.Release());
    EXPECT_EQ(platform::kMutexAcquired, m.TryAcquire());
    ASSERT_TRUE(m.Release());
}

}  // namespace
