// What the UDP tests share: loopback addresses, a bounded poll, and a
// fixture with catalogue texts "M<number>" (followed by the conversions the
// code passes) and an event-log file, so that a test reads which messages
// were reported, as "type:text".
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "net/host_address.h"

namespace udptest {

inline uint32_t Loopback(unsigned last = 1) {
    unsigned char bytes[4] = {127, 0, 0, static_cast<unsigned char>(last)};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return address;
}

using testsupport::Eventually;

class UdpFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // The conversions each number is reported with.
        const std::map<int, std::string> args = {
            {187, " %s"},       {189, " %s %d"}, {190, " %s"},    {193, " %s %d"},
            {194, " %s %d"},    {197, " %s %d"}, {198, " %s %d"}, {216, " %s %d"},
            {217, " %s"},       {218, " %s"},    {219, " %d %d"}, {221, " %s %d %d"},
            {222, " %s %d %d"}, {223, " %s %d"}, {819, " %s %d"},
        };
        ASSERT_EQ(
            0, testsupport::LoadBaseCatalog(
                   m_Dir + "/messages", testsupport::NumberedCatalog(kMessages, args), kMessages));
    }
    void TearDown() override { testsupport::ClearBaseCatalog(); }
    // Every event so far, as "type:text".
    std::vector<std::string> Events() { return testsupport::ReadEvents(m_Dir + "/events"); }
    // The events whose text starts with "M<number> " (or is "M<number>").
    std::vector<std::string> EventsOf(int number) {
        std::vector<std::string> out;
        std::string prefix = "M" + std::to_string(number);
        for (const std::string& e : Events()) {
            size_t colon = e.find(':');
            std::string text = e.substr(colon + 1);
            if (text == prefix || text.rfind(prefix + " ", 0) == 0)
                out.push_back(e);
        }
        return out;
    }

    static constexpr int kMessages = 900;
    testsupport::TempDir m_Temp{"zelorm-udp"};
    std::string m_Dir = m_Temp.Path();
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Dir + "/events"};
};

}  // namespace udptest
