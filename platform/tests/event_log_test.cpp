// The event log's file sink: one event, one line, whatever the text holds.
#include "platform/event_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"

namespace {

class EventLogFile : public ::testing::Test {
protected:
    std::vector<std::string> lines() {
        std::ifstream in(m_Path);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    testsupport::TempDir m_Temp{"zelorm-eventlog"};
    std::string m_Dir = m_Temp.Path();
    std::string m_Path = m_Dir + "/events";
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Path};
};

TEST_F(EventLogFile, WritesOneEscapedLinePerEvent) {
    const unsigned char data[] = {5, 0, 0, 0};
    EXPECT_EQ(platform::kEventReported, platform::ReportEvent("src", platform::kEventWarning,
                                                              0x80000002u, "a\tb\nc\\", data, 4));
    EXPECT_EQ(platform::kEventReported, platform::ReportEvent("src", platform::kEventError,
                                                              0xC0000003u, nullptr, nullptr, 0));
    auto got = lines();
    ASSERT_EQ(2u, got.size());
    std::string first = got[0].substr(got[0].find('\t'));
    EXPECT_EQ("\tsrc\t2\t0x80000002\ta\\tb\\nc\\\\\t05000000", first);
    std::string second = got[1].substr(got[1].find('\t'));
    EXPECT_EQ("\tsrc\t1\t0xC0000003\t\t", second);
}

TEST_F(EventLogFile, UnwritableSinkReportsTheSourceFailure) {
    setenv("ZELORM_EVENTLOG", (m_Dir + "/missing/dir/events").c_str(), 1);
    EXPECT_EQ(
        platform::kEventSourceFailed,
        platform::ReportEvent("src", platform::kEventInformation, 0x40000001u, "x", nullptr, 0));
}

}  // namespace
