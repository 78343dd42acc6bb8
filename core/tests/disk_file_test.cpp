// The disk file: opening and its failures, write-behind in 4064-byte steps,
// reads to the end, long lines in pieces of the line bound, stat-based
// answers, temporary files and the path lock between threads and between
// processes.
#include "core/disk_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/file_fixture.h"
#include "core/vorn_date.h"
#include "core/vorn_event.h"
#include "core/tests/support/vorn_helpers.h"

namespace {

using filetest::ReadWhole;
using filetest::Str;
using filetest::TryPathLockElsewhere;
using filetest::WriteWhole;

class DiskFileTest : public filetest::FileTest {};

std::string PathOf(const CVornDiskFile& f) {
    CVornString path(f.GetPath());
    return Str(path);
}

TEST_F(DiskFileTest, FailedOpensReport93AndReleaseThePathLock) {
    WriteWhole(Path("there"), "x");
    struct Case {
        std::string path;
        unsigned flags;
        int error;
    } cases[] = {
        {Path("missing"), 0, ENOENT},
        {Path("there"), kFileCreate | kFileExclusive, EEXIST},
        {Path("nodir/file"), kFileCreate, ENOENT},
        {m_Dir + "/work", kFileReadOnly, EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        CVornDiskFile f(c.path.c_str(), c.flags);
        EXPECT_FALSE(f.Open());
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(
            std::vector<std::string>{"1:M93 (" + c.path + ", " + std::to_string(c.error) + ")"},
            Events());
        EXPECT_EQ(0, TryPathLockElsewhere(c.path));
    }
    EXPECT_EQ("x", ReadWhole(Path("there")));
}

TEST_F(DiskFileTest, WritesReachTheFileInChunksOrOnWriteOutOrFlush) {
    std::string path = Path("chunks");
    CVornDiskFile f(path.c_str(), kFileCreate);
    ASSERT_TRUE(f.Open());
    std::string bytes(CVornDiskFile::kChunk - 1, 'w');
    ASSERT_EQ(CVornDiskFile::kChunk - 1, f.Write(bytes.data(), bytes.size()));
    EXPECT_EQ("", ReadWhole(path));
    ASSERT_TRUE(f.PutChar('!'));
    EXPECT_EQ(static_cast<size_t>(CVornDiskFile::kChunk), ReadWhole(path).size());
    ASSERT_EQ(3, f.Write("end", 3));
    EXPECT_EQ(static_cast<size_t>(CVornDiskFile::kChunk), ReadWhole(path).size());
    EXPECT_TRUE(f.WriteOut());
    EXPECT_EQ(bytes + "!end", ReadWhole(path));
    ASSERT_EQ(1, f.Write(".", 1));
    EXPECT_TRUE(f.Flush());
    EXPECT_EQ(bytes + "!end.", ReadWhole(path));
    EXPECT_EQ(CVornDiskFile::kChunk + 4, f.Tell());
    ASSERT_TRUE(f.Close());
    EXPECT_FALSE(f.WriteOut());
}

TEST_F(DiskFileTest, ReadToTheEndGetsEverythingThenEmptiesTheString) {
    std::string path = Path("big");
    CVornDiskFile f(path.c_str(), kFileCreate);
    ASSERT_TRUE(f.Open());
    std::string bytes;
    for (int i = 0; i < 5000; ++i) bytes += static_cast<char>('a' + i % 26);
    ASSERT_EQ(5000, f.Write(CVornString(bytes.data(), 5000)));
    ASSERT_TRUE(f.Seek(0, 0));
    CVornString s;
    EXPECT_EQ(5000, f.Read(s, 0));
    EXPECT_EQ(bytes, Str(s));
    EXPECT_EQ(5000, f.Size());
    EXPECT_EQ(0, f.Read(s, 0));
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_TRUE(f.Close());
    EXPECT_FALSE(f.Close());
    EXPECT_EQ(std::vector<std::string>{"2:M94 (Close, " + path + ")"}, Events());
}

TEST_F(DiskFileTest, SeekBeforeTheStartFailsAndKeepsThePosition) {
    std::string path = Path("seek");
    WriteWhole(path, "abcdef");
    CVornDiskFile f(path.c_str(), 0);
    ASSERT_TRUE(f.Open());
    ASSERT_TRUE(f.Seek(3, 0));
    EXPECT_FALSE(f.Seek(-10, 1));
    EXPECT_EQ(3, f.Tell());
    EXPECT_EQ(std::vector<std::string>{"1:M97 (" + path + ", " + std::to_string(EINVAL) + ")"},
              Events());
    char c;
    EXPECT_TRUE(f.GetChar(c));
    EXPECT_EQ('d', c);
}

// A file without line ends must not be read into memory whole.
// The string form holds at most the bound at a time: a longer line comes in
// pieces of the bound, nothing of it is lost and nothing is refused.
TEST_F(DiskFileTest, ALineBeyondTheBoundComesInPiecesOfTheBound) {
    std::string path = Path("long");
    const int bound = CVornDiskFile::kMaxLineLength;
    std::string longLine(2 * bound + 10, 'z');
    longLine.back() = '\n';
    WriteWhole(path, "short\n" + longLine + "end");
    CVornDiskFile f(path.c_str(), kFileReadOnly);
    ASSERT_TRUE(f.Open());
    CVornString line;
    EXPECT_EQ(6, f.ReadLine(line, "\n"));
    std::string joined;
    for (int expected : {bound, bound, 10}) {
        ASSERT_EQ(expected, f.ReadLine(line, "\n"));
        joined += Str(line);
    }
    EXPECT_EQ(longLine, joined);
    EXPECT_EQ(3, f.ReadLine(line, "\n"));
    EXPECT_EQ("end", Str(line));
    EXPECT_EQ(0, f.ReadLine(line, "\n"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(DiskFileTest, SizeAndModificationTimeComeFromTheFileOpenOrClosed) {
    std::string path = Path("stat");
    WriteWhole(path, "12345");
    struct utimbuf times = {1000000, 1234567};
    ASSERT_EQ(0, utime(path.c_str(), &times));
    CVornDiskFile f(path.c_str(), 0);
    CVornDate date(static_cast<time_t>(1));
    f.GetModTime(date);
    EXPECT_EQ(1234567, date.GetTime());
    EXPECT_EQ(5, f.Size());
    ASSERT_TRUE(f.Open());
    ASSERT_TRUE(f.Seek(0, 2));
    f.Write("67", 2);
    EXPECT_EQ(7, f.Size());  // pending bytes count
    EXPECT_TRUE(f.Close());

    std::string missing = Path("missing");
    CVornDiskFile none(missing.c_str(), 0);
    CVornDate kept(static_cast<time_t>(42));
    none.GetModTime(kept);
    EXPECT_EQ(42, kept.GetTime());
    EXPECT_EQ(-1, none.Size());
    std::string m100 = "1:M100 (" + missing + ", " + std::to_string(ENOENT) + ")";
    EXPECT_EQ((std::vector<std::string>{m100, m100}), Events());
}

TEST_F(DiskFileTest, FlagDeleteOnCloseRemovesTheFileUnlessItWasDetached) {
    std::string path = Path("doomed");
    {
        CVornDiskFile f(path.c_str(), kFileCreate | kFileDeleteOnClose);
        ASSERT_TRUE(f.Open());
        f.Write("x", 1);
    }
    EXPECT_FALSE(std::filesystem::exists(path));

    std::unique_ptr<CVornFile> taker;
    {
        CVornDiskFile f(path.c_str(), kFileCreate | kFileDeleteOnClose);
        ASSERT_TRUE(f.Open());
        f.Write("kept", 4);
        taker.reset(f.Detach());
    }
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(taker->Close());
    EXPECT_EQ("kept", ReadWhole(path));
    taker.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(DiskFileTest, TemporaryFilesSkipNamesThatExistOrAreLocked) {
    std::string dir = m_Dir + "/work";
    WriteWhole(dir + "/omaa.tmp", "someone else's");
    // Another thread holds the lock of the next name.
    CVornEvent held, done;
    std::thread holder([&] {
        CVornString name((dir + "/omab.tmp").c_str());
        PathToLockName(name);
        CVornMutex m;
        m.Lock(name.CStr());
        held.Set();
        done.Wait();
        m.Unlock();
    });
    held.Wait();
    std::string made;
    {
        CVornDiskFile temp(dir.c_str(), "om", "aa", "tmp");
        made = PathOf(temp);
        EXPECT_EQ(dir + "/omac.tmp", made);
        EXPECT_TRUE(std::filesystem::exists(made));
        ASSERT_TRUE(temp.Open());
        EXPECT_EQ(5, temp.Write("temp!", 5));
    }
    done.Set();
    holder.join();
    EXPECT_FALSE(std::filesystem::exists(made));
    EXPECT_EQ("someone else's", ReadWhole(dir + "/omaa.tmp"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(DiskFileTest, ATemporaryFileReplacedByALinkOrAnotherFileIsNotOpened) {
    std::string dir = m_Dir + "/work";
    std::string victim = m_Dir + "/victim";
    WriteWhole(victim, "precious");
    // A file planted at once after the removal must not pass for ours even
    // where the file system hands out the freed inode number again; and a
    // detached file keeps the guard.
    for (bool detached : {false, true}) {
        for (bool asLink : {true, false}) {
            CVornDiskFile temp(dir.c_str(), "zz", "aa", "tmp");
            std::string made = PathOf(temp);
            ASSERT_FALSE(made.empty());
            std::unique_ptr<CVornFile> taker(detached ? temp.Detach() : nullptr);
            CVornFile& file = detached ? *taker : temp;
            std::filesystem::remove(made);
            if (asLink) {
                std::filesystem::create_symlink(victim, made);
            } else {
                WriteWhole(made + ".other", "planted");
                std::filesystem::rename(made + ".other", made);
            }
            EXPECT_FALSE(file.Open()) << asLink << detached;
            EXPECT_EQ("precious", ReadWhole(victim));
        }
    }
}

TEST_F(DiskFileTest, TemporaryNamesMadeAtOnceAreAllDifferent) {
    std::string dir = m_Dir + "/work";
    const int kThreads = 4, kEach = 25;
    // Every file lives until all are made: a deleted file would free its name.
    std::vector<std::unique_ptr<CVornDiskFile>> files[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                files[t].push_back(std::make_unique<CVornDiskFile>(dir.c_str(), "om", "aa", "tmp"));
        });
    }
    for (std::thread& t : threads) t.join();
    std::set<std::string> unique;
    for (auto& list : files) {
        for (auto& f : list) unique.insert(PathOf(*f));
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), unique.size());
    EXPECT_EQ(0u, unique.count(""));
    EXPECT_TRUE(Events().empty());
}

TEST_F(DiskFileTest, TemporaryFileInAMissingDirectoryGivesUpAndOpensNothing) {
    std::string dir = m_Dir + "/absent";
    CVornDiskFile temp(dir.c_str(), "om", "aa", "tmp");
    EXPECT_TRUE(temp.GetPath().IsEmpty());
    std::vector<std::string> events = Events();
    ASSERT_EQ(8u, events.size());
    EXPECT_EQ("1:M93 (" + dir + "/omaa.tmp, " + std::to_string(ENOENT) + ")", events[0]);
    EXPECT_FALSE(temp.Open());
}

// A thread that holds a path open keeps other openers waiting; flag 0x40 does
// not wait.
TEST_F(DiskFileTest, ThreadsOpeningOnePathTakeTurns) {
    std::string path = Path("shared");
    CVornEvent opened, release;
    std::thread first([&] {
        CVornDiskFile f(path.c_str(), kFileCreate);
        f.Open();
        f.Write("first;", 6);
        opened.Set();
        release.Wait();
        f.Close();
    });
    opened.Wait();
    EXPECT_EQ(1, TryPathLockElsewhere(path));

    CVornDiskFile unlocked(path.c_str(), kFileNoPathLock);
    EXPECT_TRUE(unlocked.Open());
    EXPECT_TRUE(unlocked.Close());

    std::atomic<bool> secondOpened{false};
    std::string seen;
    std::thread second([&] {
        CVornDiskFile f(path.c_str(), 0);
        f.Open();
        secondOpened = true;
        CVornString s;
        f.Read(s, 0);
        seen = Str(s);
        f.Close();
    });
    release.Set();
    second.join();
    first.join();
    EXPECT_TRUE(secondOpened);
    EXPECT_EQ("first;", seen);  // the first opener's bytes were out when the second got in
    EXPECT_EQ(0, TryPathLockElsewhere(path));
}

TEST_F(DiskFileTest, OneThreadMayOpenOnePathTwice) {
    std::string path = Path("twice");
    CVornDiskFile a(path.c_str(), kFileCreate);
    CVornDiskFile b(path.c_str(), 0);
    ASSERT_TRUE(a.Open());
    ASSERT_TRUE(b.Open());
    EXPECT_TRUE(b.Close());
    EXPECT_EQ(1, TryPathLockElsewhere(path));
    EXPECT_TRUE(a.Close());
    EXPECT_EQ(0, TryPathLockElsewhere(path));
}

// Another process holds the path open; an opener here waits for it to close.
TEST_F(DiskFileTest, ProcessesOpeningOnePathTakeTurns) {
    std::string path = Path("between");
    int up[2], down[2];
    ASSERT_EQ(0, pipe2(up, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(down, O_CLOEXEC));
    pid_t pid = testsupport::ForkWithoutThreads();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char rc = 'n';
        try {
            CVornDiskFile f(path.c_str(), kFileCreate);
            if (f.Open()) {
                rc = 'y';
                (void)!write(up[1], &rc, 1);
                char cmd;
                if (read(down[0], &cmd, 1) == 1)
                    f.Write("child;", 6);
                f.Close();
            }
        } catch (...) {
        }
        (void)!write(up[1], &rc, 1);
        _exit(0);
    }
    close(up[1]);
    close(down[0]);
    char report = 0;
    ASSERT_EQ(1, read(up[0], &report, 1));
    ASSERT_EQ('y', report);

    EXPECT_EQ(1, TryPathLockElsewhere(path));
    std::string seen;
    std::thread opener([&] {
        CVornDiskFile f(path.c_str(), kFileReadOnly);
        f.Open();
        CVornString s;
        f.Read(s, 0);
        seen = Str(s);
        f.Close();
    });
    (void)!write(down[1], "x", 1);
    opener.join();
    EXPECT_EQ("child;", seen);
    close(up[0]);
    close(down[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(0, TryPathLockElsewhere(path));
}

}  // namespace
