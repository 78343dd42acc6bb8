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
#include "net/host_address.h"

namespace udptest {

inline uint32_t Loopback(unsigned last = 1) {
    unsigned char bytes[4] = {127, 0, 0, static_cast<unsigned char>(last)};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return address;
}

// Polls until pred holds, for at most about ten seconds.
template <typename Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 2000; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

class UdpFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zelorm-udp-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_Dir = tmpl;
        // The conversions each number is reported with.
        const std::map<int, std::string> args = {
            {187, " %s"},       {189, " %s %d"}, {190, " %s"},    {193, " %s %d"},
            {194, " %s %d"},    {197, " %s %d"}, {198, " %s %d"}, {216, " %s %d"},
            {217, " %s"},       {218, " %s"},    {219, " %d %d"}, {221, " %s %d %d"},
            {222, " %s %d %d"}, {223, " %s %d"}, {819, " %s %d"},
        };
        std::ofstream cat(m_Dir + "/messages", std::ios::binary);
        cat << "2 9 1\nEnglish en\n";
        for (int n = 0; n < kMessages; ++n) {
            auto it = args.find(n);
            std::string text = "M" + std::to_string(n) + (it == args.end() ? "" : it->second);
            cat << " m" << n << " " << text.size() << ":" << text << "\n";
        }
        cat.close();
        {
            CVornLockGuard hold(GetCatalogLock());
            ASSERT_EQ(
                0, BaseMessageTable().ReadFile((m_Dir + "/messages").c_str(), 2, 9, kMessages, 0));
        }
        setenv("ZELORM_EVENTLOG", (m_Dir + "/events").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZELORM_EVENTLOG");
        {
            CVornLockGuard hold(GetCatalogLock());
            BaseMessageTable().Clear();
        }
        unlink((m_Dir + "/messages").c_str());
        unlink((m_Dir + "/events").c_str());
        rmdir(m_Dir.c_str());
    }
    // Every event so far, as "type:text".
    std::vector<std::string> Events() {
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
    std::string m_Dir;
};

}  // namespace udptest
