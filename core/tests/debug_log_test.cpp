// The debug log: line bytes, routing to stderr and sinks, the silent flag,
// sink growth and hand-over.
#include "core/debug_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/message_catalog.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "core/vorn_string.h"
#include "platform/clock.h"
#include "platform/threads.h"

namespace {

using testsupport::TakeSinkText;

// Fixed before anything reads the clock: the zone offset is cached once.
const bool g_ZoneFixed = testsupport::SetZone("JST-9");

// 2000-12-31 14:59:59 UTC, 23:59:59 in the fixed zone.
constexpr time_t kNewYearsEve = 978274799;

std::string Tid() {
    return std::to_string(platform::CurrentThreadId());
}

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_ZoneFixed);
        platform::SetTestTime(kNewYearsEve);
        SetConsoleLogLevel(0);
    }
    void TearDown() override {
        SetConsoleLogLevel(0);
        platform::ClearTestTime();
    }
};

TEST_F(DebugLogTest, LinesHaveTheDocumentedBytes) {
    CVornLogSink sink(7);
    const std::string prefix = "20001231 235959 ";
    struct Case {
        int level;
        const char* text;
        std::string expected;
    } cases[] = {
        {3, "a\tb\n", prefix + "ERROR    " + Tid() + " a\\011b\\012\r\n"},
        {7, nullptr, prefix + "DEBUG   \r\n"},
        {1, "x", prefix + "FATAL    " + Tid() + " x\r\n"},
        {2, "x", prefix + "CRITICAL " + Tid() + " x\r\n"},
        {4, "x", prefix + "WARNING  " + Tid() + " x\r\n"},
        {5, "x", prefix + "NOTICE   " + Tid() + " x\r\n"},
        {6, "", prefix + "INFO     " + Tid() + " \r\n"},
        {6, "cr\r", prefix + "INFO     " + Tid() + " cr\\015\r\n"},
        {6, "\x01\x7f~", prefix + "INFO     " + Tid() + " \\001\\177~\r\n"},
    };
    for (const Case& c : cases) {
        LogText(c.level, c.text);
        EXPECT_EQ(TakeSinkText(sink), c.expected) << c.level;
    }
    LogText(0, "never");
    EXPECT_EQ(TakeSinkText(sink), "");

    CVornString line;
    FormatLogLine(3, "a", line);
    EXPECT_STREQ(line.CStr(), (prefix + "ERROR    " + Tid() + " a").c_str());
}

TEST_F(DebugLogTest, LinesGoToStderrAndSinksByLevel) {
    SetConsoleLogLevel(3);
    CVornLogSink all(7);
    CVornLogSink errors(3);

    testing::internal::CaptureStderr();
    LogText(4, "warning line");
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(console, "");
    EXPECT_NE(TakeSinkText(all).find("warning line\r\n"), std::string::npos);
    EXPECT_EQ(TakeSinkText(errors), "");

    testing::internal::CaptureStderr();
    LogText(2, "critical line");
    console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("CRITICAL " + Tid() + " critical line\r\n"), std::string::npos);
    EXPECT_EQ(TakeSinkText(all), console);
    EXPECT_EQ(TakeSinkText(errors), console);
}

TEST_F(DebugLogTest, SilentFlagFollowsConsoleLevelAndSinks) {
    EXPECT_TRUE(g_LogSilent);
    {
        CVornLogSink sink(7);
        EXPECT_FALSE(g_LogSilent);
        SetConsoleLogLevel(0);
        EXPECT_FALSE(g_LogSilent);
        { CVornLogSink second(3); }
        EXPECT_FALSE(g_LogSilent);  // one sink is still there
    }
    EXPECT_TRUE(g_LogSilent);
    SetConsoleLogLevel(5);
    EXPECT_FALSE(g_LogSilent);
    { CVornLogSink sink(7); }
    EXPECT_FALSE(g_LogSilent);  // the console still listens
    SetConsoleLogLevel(0);
    EXPECT_TRUE(g_LogSilent);
}

TEST_F(DebugLogTest, SinksGrowToTheNextMultipleOf4096AboveTheNeed) {
    struct Case {
        std::vector<int> appends;
        int capacity;
    } cases[] = {
        {{100}, 4096},       {{4095}, 4096},
        {{4096}, 8192},      {{100, 3996}, 4096},  // exactly full: no growth
        {{100, 3997}, 8192}, {{10000}, 12288},
    };
    for (const Case& c : cases) {
        CVornLogSink sink(7);
        std::string expected;
        for (int n : c.appends) {
            std::string bytes(static_cast<size_t>(n),
                              static_cast<char>('a' + expected.size() % 26));
            sink.Append(bytes.data(), n);
            expected += bytes;
        }
        EXPECT_EQ(sink.GetCapacity(), c.capacity) << expected.size();
        EXPECT_EQ(sink.GetLength(), static_cast<int>(expected.size()));
        EXPECT_EQ(TakeSinkText(sink), expected);
        EXPECT_EQ(sink.GetCapacity(), 0);
    }
}

TEST_F(DebugLogTest, TakeTextHandsOverAndEmptiesTheSink) {
    CVornLogSink sink(7);
    CVornBuffer buffer;
    buffer.Append("old", 3);
    EXPECT_FALSE(sink.TakeText(buffer));
    EXPECT_EQ(buffer.Available(), 0);

    sink.Append("abc", 3);
    sink.Append(nullptr, 3);
    sink.Append("x", 0);
    buffer.Append("old", 3);
    EXPECT_TRUE(sink.TakeText(buffer));
    char bytes[8] = {};
    EXPECT_EQ(buffer.Read(bytes, sizeof bytes), 3);
    EXPECT_STREQ(bytes, "abc");
    EXPECT_FALSE(sink.TakeText(buffer));
    sink.Append("d", 1);  // the sink works on after a hand-over
    EXPECT_EQ(TakeSinkText(sink), "d");
}

TEST_F(DebugLogTest, LogFormatFillsOneStringOrKeepsBoth) {
    CVornLogSink sink(7);
    const std::string head = "20001231 235959 NOTICE   " + Tid() + " ";
    struct Case {
        const char* format;
        const char* argument;
        std::string text;
    } cases[] = {
        {"user %s logged in", "bob", "user bob logged in"},
        {"[%-5s]", "ab", "[ab   ]"},
        {"user %s logged in", nullptr, "user  logged in"},
        {"100%% %s", "done", "100% done"},
        {"%d items", "bob", "%d items (bob)"},
        {"%s and %s", "one", "%s and %s (one)"},
        {"%n", "x", "%n (x)"},
        {nullptr, "x", " (x)"},
    };
    for (const Case& c : cases) {
        LogFormat(5, c.format, c.argument);
        EXPECT_EQ(TakeSinkText(sink), head + c.text + "\r\n") << (c.format ? c.format : "(null)");
    }
}

TEST_F(DebugLogTest, LogMessageUsesLanguageZero) {
    char pattern[] = "/tmp/debug_log_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string path = std::string(pattern) + "/messages";
    std::ofstream(path, std::ios::binary) << "2 9 2\nEnglish\nDeutsch\n a 5:hello\n b 5:hallo\n";
    CVornMessageCatalog catalog;
    ASSERT_EQ(catalog.Load(path.c_str(), 2, 9, 1, 40), kCatalogLoaded);
    SetCatalogLanguage(1);

    CVornLogSink sink(7);
    LogMessage(6, 40);
    EXPECT_EQ(TakeSinkText(sink), "20001231 235959 INFO     " + Tid() + " hello\r\n");
    LogMessage(6, 41);
    EXPECT_EQ(TakeSinkText(sink), "20001231 235959 INFO    \r\n");

    SetCatalogLanguage(0);
    catalog.Clear();
    std::filesystem::remove_all(pattern);
}

TEST_F(DebugLogTest, LinesOfConcurrentThreadsNeverInterleave) {
    CVornLogSink sink(7);
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    std::vector<std::string> tids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &tids] {
            tids[t] = Tid();
            std::string text = "thread " + std::to_string(t) + " " + std::string(50, 'x');
            for (int i = 0; i < kLines; ++i) LogText(7, text.c_str());
        });
    }
    for (std::thread& t : threads) t.join();

    std::string all = TakeSinkText(sink);
    std::vector<int> counts(kThreads);
    size_t start = 0, end;
    while ((end = all.find("\r\n", start)) != std::string::npos) {
        std::string line = all.substr(start, end - start);
        start = end + 2;
        bool known = false;
        for (int t = 0; t < kThreads; ++t) {
            if (line == "20001231 235959 DEBUG    " + tids[t] + " thread " + std::to_string(t) +
                            " " + std::string(50, 'x')) {
                ++counts[t];
                known = true;
            }
        }
        ASSERT_TRUE(known) << line;
    }
    EXPECT_EQ(start, all.size());
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(counts[t], kLines);
}

}  // namespace
