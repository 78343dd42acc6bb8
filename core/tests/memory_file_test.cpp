// The memory file where it differs from the disk file: clamped seeks, the
// string read at the end, truncation below the position, modification times,
// detaching and sharing between threads.
#include "core/memory_file.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/file_fixture.h"
#include "platform/clock.h"

namespace {

using filetest::Str;

class MemoryFileTest : public filetest::FileTest {
protected:
    void TearDown() override {
        platform::ClearTestTime();
        FileTest::TearDown();
    }
};

TEST_F(MemoryFileTest, SeekClampsAtTheStartAndIgnoresAnUnknownWhence) {
    CVornMemoryFile f;
    ASSERT_TRUE(f.Open());
    f.Write("abcdef", 6);
    ASSERT_TRUE(f.Seek(3, 0));
    EXPECT_TRUE(f.Seek(-10, 1));
    EXPECT_EQ(0, f.Tell());
    EXPECT_TRUE(f.Seek(4, 0));
    EXPECT_TRUE(f.Seek(1, 7));
    EXPECT_EQ(4, f.Tell());
    EXPECT_TRUE(f.Seek(-2, 2));
    EXPECT_EQ(4, f.Tell());
}

TEST_F(MemoryFileTest, ReadAtTheEndLeavesTheStringAsItWas) {
    CVornMemoryFile f;
    ASSERT_TRUE(f.Open());
    f.Write("ab", 2);
    CVornString s("before");
    EXPECT_EQ(0, f.Read(s, 0));
    EXPECT_EQ("before", Str(s));
}

TEST_F(MemoryFileTest, TruncateBelowThePositionMovesItToTheNewEnd) {
    CVornMemoryFile f;
    ASSERT_TRUE(f.Open());
    f.Write("abcdef", 6);
    ASSERT_TRUE(f.Truncate(2));
    EXPECT_EQ(2, f.Tell());
    EXPECT_TRUE(f.IsEof());
}

TEST_F(MemoryFileTest, ModificationTimeFollowsChangesAndIsReadWhileClosed) {
    platform::SetTestTime(1000);
    CVornMemoryFile f;
    platform::SetTestTime(2000);
    ASSERT_TRUE(f.Open());
    f.Write("x", 1);
    platform::SetTestTime(3000);
    char c;
    f.Seek(0, 0);
    f.GetChar(c);  // reading changes nothing
    ASSERT_TRUE(f.Close());
    CVornDate date(static_cast<time_t>(5));
    f.GetModTime(date);
    EXPECT_EQ(2000, date.GetTime());
    EXPECT_EQ(1, f.Size());
}

TEST_F(MemoryFileTest, DetachLeavesThisObjectClosedAndEmpty) {
    platform::SetTestTime(1000);
    CVornMemoryFile f(kFileReadOnly | kFileAppend);
    ASSERT_TRUE(f.Open());
    platform::SetTestTime(2000);
    std::unique_ptr<CVornFile> taker(f.Detach());
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(0, f.Size());
    CVornDate date;
    taker->GetModTime(date);
    EXPECT_EQ(1000, date.GetTime());
    f.GetModTime(date);
    EXPECT_EQ(2000, date.GetTime());
    EXPECT_EQ(-1, taker->Write("x", 1));  // the flags went along
    EXPECT_EQ(std::vector<std::string>{"1:M106 ((memoryfile))"}, Events());
}

// Writes mixed with every operation that may replace or shrink the storage:
// the contents always match a plain model of the file.
TEST_F(MemoryFileTest, WritesAfterStorageChangesLoseNothing) {
    struct Step {
        char op;  // w write n bytes, s seek to n, t truncate to n, r reserve n,
                  // d detach (and check the taker), o close and open again
        int n;
    };
    const std::vector<std::vector<Step>> scripts = {
        {{'w', 100}, {'w', 5000}, {'w', 70000}, {'w', 1}},
        {{'w', 5000}, {'t', 10}, {'w', 3}, {'w', 9000}},
        {{'w', 5000}, {'t', 20000}, {'s', 19990}, {'w', 50}, {'w', 4000}},
        {{'r', 100000}, {'w', 300}, {'r', 10}, {'w', 200000}},
        {{'w', 4000}, {'d', 0}, {'w', 10}, {'w', 8000}},
        {{'w', 4000}, {'o', 0}, {'w', 7}, {'s', 9000}, {'w', 5}},
        {{'w', 64}, {'s', 0}, {'w', 32}, {'s', 200}, {'w', 1}, {'t', 0}, {'w', 4}},
    };
    int scriptNumber = 0;
    for (const auto& script : scripts) {
        SCOPED_TRACE("script " + std::to_string(scriptNumber++));
        CVornMemoryFile f;
        ASSERT_TRUE(f.Open());
        std::string model;
        size_t position = 0;
        int written = 0;
        for (const Step& step : script) {
            switch (step.op) {
                case 'w': {
                    std::string bytes;
                    for (int i = 0; i < step.n; ++i)
                        bytes += static_cast<char>('A' + (written + i) % 53);
                    written += step.n;
                    ASSERT_EQ(f.Write(bytes.data(), step.n), step.n);
                    if (model.size() < position + bytes.size())
                        model.resize(position + bytes.size(), '\0');
                    model.replace(position, bytes.size(), bytes);
                    position += bytes.size();
                    break;
                }
                case 's':
                    ASSERT_TRUE(f.Seek(step.n, 0));
                    position = static_cast<size_t>(step.n);
                    break;
                case 't':
                    ASSERT_TRUE(f.Truncate(step.n));
                    model.resize(static_cast<size_t>(step.n), '\0');
                    position = std::min(position, model.size());
                    break;
                case 'r':
                    f.Reserve(step.n);
                    break;
                case 'd': {
                    std::unique_ptr<CVornFile> taker(f.Detach());
                    ASSERT_TRUE(taker->Seek(0, 0));
                    CVornString held;
                    taker->Read(held, static_cast<int>(model.size()) + 1);
                    EXPECT_TRUE(Str(held) == model);
                    ASSERT_TRUE(f.Open());
                    model.clear();
                    position = 0;
                    break;
                }
                case 'o':
                    ASSERT_TRUE(f.Close());
                    ASSERT_TRUE(f.Open());
                    position = 0;
                    break;
            }
        }
        EXPECT_EQ(f.Size(), static_cast<int>(model.size()));
        ASSERT_TRUE(f.Seek(0, 0));
        CVornString all;
        f.Read(all, static_cast<int>(model.size()) + 1);
        EXPECT_TRUE(Str(all) == model) << all.Length() << " bytes, " << model.size() << " expected";
    }
}

TEST_F(MemoryFileTest, ThreadsAppendingAtOnceNeverMixTheirWrites) {
    CVornMemoryFile f(kFileAppend);
    ASSERT_TRUE(f.Open());
    const int kThreads = 4, kRecords = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&f, t] {
            for (int i = 0; i < kRecords; ++i) {
                std::string record = std::to_string(t) + ":" + std::to_string(i) + "\n";
                f.Write(record.data(), static_cast<int>(record.size()));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(f.Seek(0, 0));
    std::set<std::string> lines;
    CVornString line;
    while (f.ReadLine(line, "\n") > 0) lines.insert(Str(line));
    EXPECT_EQ(static_cast<size_t>(kThreads * kRecords), lines.size());
    EXPECT_EQ(1u, lines.count("3:499\n"));
}

}  // namespace
