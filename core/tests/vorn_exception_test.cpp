// The library exception: its fields, its copies, and the error event every
// construction leaves.
#include "core/vorn_exception.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"

namespace {

class VornExceptionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Numbers 61 and 62, as the list code throws them.
        std::string path = m_Dir + "/messages";
        testsupport::WriteWhole(path, testsupport::CatalogOf({"no element at %s (%d)", nullptr}));
        CVornMessageCatalog loader;
        ASSERT_EQ(loader.Load(path.c_str(), 2, 9, 2, 61), kCatalogLoaded);
    }
    void TearDown() override { BaseMessageTable().Clear(); }

    // Event lines without their time field.
    std::vector<std::string> Events() {
        std::ifstream in(m_Events);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find('\t')));
        return out;
    }

    testsupport::TempDir m_Temp{"vorn_exception_test"};
    std::string m_Dir = m_Temp.Path();
    std::string m_Events = m_Dir + "/events";
    testsupport::ScopedEnv m_EventLog{"ZELORM_EVENTLOG", m_Events};
};

const char kSource[] = "\tVelmar RazoVidez for Dozoruve\t1\t0xC0000003\t";

TEST_F(VornExceptionTest, ConstructionKeepsTheFieldsAndReportsAnErrorEvent) {
    char text[] = "list";
    CVornException e(61, text, 7);
    text[0] = 'X';  // the exception keeps its own copy
    EXPECT_EQ(e.m_Code, 61);
    EXPECT_STREQ(e.m_Text, "list");
    EXPECT_EQ(e.m_Extra, 7);

    CVornException bare(62);
    EXPECT_EQ(bare.m_Text, nullptr);
    EXPECT_EQ(bare.m_Extra, 0);

    EXPECT_EQ(Events(), (std::vector<std::string>{
                            std::string(kSource) + "no element at list (7)\t07000000",
                            std::string(kSource) + "\t00000000",
                        }));
}

TEST_F(VornExceptionTest, CopiesOwnTheirTextAndDoNotLog) {
    auto* original = new CVornException(61, "index", -1);
    {
        CVornException copy(*original);
        EXPECT_NE(copy.m_Text, original->m_Text);
        EXPECT_STREQ(copy.m_Text, "index");
        EXPECT_EQ(copy.m_Extra, -1);
    }
    EXPECT_STREQ(original->m_Text, "index");

    CVornException assigned(62);
    assigned = *original;
    assigned = assigned;
    EXPECT_STREQ(assigned.m_Text, "index");
    delete original;
    EXPECT_STREQ(assigned.m_Text, "index");
    assigned = CVornException(62, nullptr, 0);
    EXPECT_EQ(assigned.m_Text, nullptr);

    // The three constructions logged; the copy and the assignments did not.
    EXPECT_EQ(Events().size(), 3u);
}

TEST_F(VornExceptionTest, SwallowedThrowStillLeavesItsEvent) {
    try {
        throw CVornException(61, "swallowed", 3);
    } catch (...) {
    }
    EXPECT_EQ(Events(), std::vector<std::string>{std::string(kSource) +
                                                 "no element at swallowed (3)\t03000000"});
}

TEST_F(VornExceptionTest, ThreadsMayThrowWhileOthersLog) {
    // Throwing takes the catalogue and log locks; threads throwing while
    // others log into a sink must all finish.
    CVornLogSink sink(7);
    std::atomic<int> caught{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&caught, t] {
            for (int i = 0; i < 50; ++i) {
                try {
                    if (t % 2)
                        throw CVornException(61, "t", i);
                    LogText(7, "plain line");
                } catch (const CVornException& e) {
                    if (e.m_Extra == i)
                        ++caught;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(caught, 100);
    EXPECT_EQ(Events().size(), 100u);
}

}  // namespace
