// The event family: catalogue texts filled with checked arguments, reported
// under the event source, data bytes attached, copied to the debug log.
#include "core/event_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "core/tests/support/vorn_helpers.h"
#include "core/vorn_buffer.h"
#include "platform/clock.h"
#include "platform/threads.h"

namespace {

using testsupport::TakeSinkText;

const bool g_ZoneFixed = testsupport::SetZone("UTC0");

constexpr time_t kNewYearsEve = 978307199;  // 2000-12-31 23:59:59 UTC

// Catalogue numbers 0-9 of the test catalogue.
const char* const kTexts[] = {
    "count %d",         // 0
    "%s has %d items",  // 1
    "%n boom",          // 2
    "%s/%s:%d",         // 3
    "%s %d %d",         // 4
    nullptr,            // 5: no text
    "plain 100%%",      // 6
    "%d then %d",       // 7
    "user %s",          // 8
    "%s=%s",            // 9
};

std::string Tid() {
    return std::to_string(platform::CurrentThreadId());
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_ZoneFixed);
        platform::SetTestTime(kNewYearsEve);
        std::string path = m_Dir + "/messages";
        testsupport::WriteWhole(path,
                                testsupport::CatalogOf({std::begin(kTexts), std::end(kTexts)}));
        CVornMessageCatalog loader;
        ASSERT_EQ(loader.Load(path.c_str(), 2, 9, 10, 0), kCatalogLoaded);
    }
    void TearDown() override {
        BaseMessageTable().Clear();
        platform::ClearTestTime();
    }

    // The event lines written since the last call, without their time field.
    std::vector<std::string> Events() {
        std::ifstream in(m_Events);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find('\t')));
        std::filesystem::remove(m_Events);
        return out;
    }

    testsupport::TempDir m_Temp{"event_log_test"};
    std::string m_Dir = m_Temp.Path();
    std::string m_Events = m_Dir + "/events";
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Events};
};

TEST_F(EventLogTest, IntWarningCarriesItsDataBytes) {
    CVornLogSink sink(7);
    LogEventInt(0, 2, 5);
    EXPECT_EQ(Events(), std::vector<std::string>{
                            "\tVelmar RazoVidez for Dozoruve\t2\t0x80000002\tcount 5\t05000000"});
    EXPECT_EQ(TakeSinkText(sink),
              "20001231 235959 WARNING  " + Tid() + " count 5; Data: 05 00 00 00\r\n");
}

TEST_F(EventLogTest, FamilyFormatsCheckedTextsAndAttachesTheLastInt) {
    struct Case {
        std::function<void()> call;
        std::string event;  // type, id, text, data as in the event file
        const char* level;
    } cases[] = {
        {[] { LogEvent(6, 4); }, "4\t0x40000001\tplain 100%%\t", "INFO    "},
        {[] { LogEventIntInt(7, 1, 3, -2); }, "1\t0xC0000003\t3 then -2\tfeffffff", "ERROR   "},
        {[] { LogEventStr(8, 2, "bob"); }, "2\t0x80000002\tuser bob\t", "WARNING "},
        {[] { LogEventStr(8, 2, nullptr); }, "2\t0x80000002\tuser \t", "WARNING "},
        {[] { LogEventStrInt(1, 4, "box", 3); }, "4\t0x40000001\tbox has 3 items\t03000000",
         "INFO    "},
        {[] { LogEventStrStrInt(3, 4, "a", nullptr, 7); }, "4\t0x40000001\ta/:7\t07000000",
         "INFO    "},
        {[] { LogEventStrString(9, 4, "k", CVornString("v")); }, "4\t0x40000001\tk=v\t",
         "INFO    "},
        {[] { LogEventString(8, 4, CVornString("eve")); }, "4\t0x40000001\tuser eve\t", "INFO    "},
        {[] { LogEventStringInt(1, 4, CVornString("bag"), 258); },
         "4\t0x40000001\tbag has 258 items\t02010000", "INFO    "},
        {[] { LogEventStringIntInt(4, 4, CVornString("s"), 1, 2); },
         "4\t0x40000001\ts 1 2\t02000000", "INFO    "},
        {[] { LogErrorEventStrInt(1, "box", 3); }, "1\t0xC0000003\tbox has 3 items\t03000000",
         "ERROR   "},
        // Any other type: reported as information, logged as an error.
        {[] { LogEventInt(0, 3, 1); }, "3\t0x40000001\tcount 1\t01000000", "ERROR   "},
        // Texts that do not fit the arguments are never used as formats.
        {[] { LogEventInt(1, 2, 5); }, "2\t0x80000002\t%s has %d items (5)\t05000000", "WARNING "},
        {[] { LogEventStr(2, 2, "x"); }, "2\t0x80000002\t%n boom (x)\t", "WARNING "},
        {[] { LogEventStr(0, 2, "x"); }, "2\t0x80000002\tcount %d (x)\t", "WARNING "},
        {[] { LogEventStrStrInt(4, 2, "a", "b", 1); },
         "2\t0x80000002\t%s %d %d (a, b, 1)\t01000000", "WARNING "},
        // No catalogue text: an empty text, the data still attached.
        {[] { LogEventInt(5, 2, 9); }, "2\t0x80000002\t\t09000000", "WARNING "},
        {[] { LogEventInt(999, 2, 9); }, "2\t0x80000002\t\t09000000", "WARNING "},
    };
    CVornLogSink sink(7);
    for (const Case& c : cases) {
        c.call();
        std::vector<std::string> events = Events();
        ASSERT_EQ(events.size(), 1u) << c.event;
        EXPECT_EQ(events[0], "\tVelmar RazoVidez for Dozoruve\t" + c.event);
        std::string line = TakeSinkText(sink);
        EXPECT_EQ(line.substr(0, 25), std::string("20001231 235959 ") + c.level + " ") << c.event;
        EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    }
}

TEST_F(EventLogTest, FailedReportsLeaveADebugLine) {
    CVornLogSink sink(7);
    struct Case {
        std::string eventLog;
        const char* failure;
    } cases[] = {
        {m_Dir + "/missing/events", "RegisterEventSource failed\\012"},
        {"/dev/full", "ReportEvent failed\\012"},
    };
    for (const Case& c : cases) {
        setenv("ZELORM_EVENTLOG", c.eventLog.c_str(), 1);
        WriteEventLog(2, 0, "lost", 0, nullptr);
        EXPECT_EQ(TakeSinkText(sink), "20001231 235959 ERROR    " + Tid() + " " + c.failure +
                                          "\r\n20001231 235959 WARNING  " + Tid() + " lost\r\n");
    }
}

TEST_F(EventLogTest, NamesAreTheProducts) {
    EXPECT_STREQ(g_EventSourceName.CStr(), "Velmar RazoVidez for Dozoruve");
    EXPECT_STREQ(g_ShortProductName.CStr(), "ZELGW");
}

}  // namespace
