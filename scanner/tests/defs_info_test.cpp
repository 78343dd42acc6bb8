// Definitions facts: the set's date as local midnight in standard time,
// its revision from the store, the engine's count and database word.
#include "scanner/defs_info.h"

#include <gtest/gtest.h>

#include "core/tests/support/scoped_env.h"
#include "defs/tests/support/store_fixture.h"

namespace {

ZELHANDLE const kEngine = reinterpret_cast<ZELHANDLE>(0x1000);

int32_t CountOf(ZELHANDLE engine, uint32_t* count)
{
    if (engine != kEngine)
        return ZEL_ERR_BADARG;
    *count = 1234;
    return ZEL_OK;
}

int32_t BlockOf(ZELHANDLE engine, uint32_t* block)
{
    // The block must say its size, as the engine reads it.
    if (engine != kEngine || block[0] != 20)
        return ZEL_ERR_BADARG;
    block[1] = 1234;
    block[4] = 0x7d13f007;
    return ZEL_OK;
}

int32_t Failing(ZELHANDLE, uint32_t* out)
{
    *out = 99;  // written, but with an error answer
    return ZEL_ERR_BADARG;
}

ZelEngineApi Api(decltype(&ZELGetVirusDefCount) count, decltype(&ZELGetVirusDBInfoEx) block)
{
    ZelEngineApi api = {};
    api.GetVirusDefCount = count;
    api.GetVirusDBInfoEx = block;
    return api;
}

IDefsInfo* HandOut(CDefsInfo* info)
{
    void* out = nullptr;
    EXPECT_EQ(WEXLOR_OK, info->QueryInterface(WEXLOR_IID_OBJECT, &out));
    return static_cast<IDefsInfo*>(out);
}

TEST(DefsDateToTime, IsLocalMidnightInStandardTime)
{
    testsupport::ZoneGuard zone;
    struct Case {
        const char* tz;
        int year, month, day;
        int64_t expected;
    } cases[] = {
        {"UTC0", 2001, 3, 15, 984614400},
        {"UTC0", 1970, 1, 1, 0},
        {"UTC0", 2040, 1, 1, 2208988800},  // past 2038: the interface is 64-bit
        // New York: midnight EST is 05:00 UTC, in summer too (no daylight).
        {"EST5EDT,M4.1.0,M10.5.0", 2001, 1, 15, 979534800},
        {"EST5EDT,M4.1.0,M10.5.0", 2001, 7, 15, 995173200},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 2001, 7, 15, 995151600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.year) + "-" +
                     std::to_string(c.month) + "-" + std::to_string(c.day));
        ASSERT_TRUE(testsupport::SetZone(c.tz));
        EXPECT_EQ(c.expected, DefsDateToTime(c.year, c.month, c.day));
    }
}

class DefsInfoTest : public defstest::StoreTest {};

TEST_F(DefsInfoTest, ReadsTheSetInUseAndTheEngine)
{
    testsupport::ZoneGuard zone;
    ASSERT_TRUE(testsupport::SetZone("UTC0"));
    ASSERT_EQ(1, Install(20010315, 7));
    SharedDefs defs;
    ASSERT_EQ(1, defs.SetAppId("ZELORM_20"));
    char dir[kDefsMaxPath];
    ASSERT_EQ(1, defs.UseNewestDefs(dir, sizeof dir, nullptr));

    const ZelEngineApi api = Api(CountOf, BlockOf);
    IDefsInfo* info = HandOut(new CDefsInfo(defs, dir, &api, kEngine));
    EXPECT_EQ(984614400, info->GetDate());
    EXPECT_EQ(7u, info->GetRevision());
    EXPECT_EQ(1234u, info->GetVirusCount());
    EXPECT_EQ(0x7d13f007u, info->GetDBInfo());
    EXPECT_STREQ(dir, info->GetDefsDir());
    EXPECT_EQ(InRoot("20010315.007"), info->GetDefsDir());

    void* other = &other;
    EXPECT_EQ(WEXLOR_NO_INTERFACE, info->QueryInterface(2, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(2, info->AddRef());
    EXPECT_EQ(1, info->Release());
    EXPECT_EQ(0, info->Release());
}

TEST_F(DefsInfoTest, WhatCannotBeReadStaysZero)
{
    SharedDefs defs;  // no application, no set
    const ZelEngineApi failing = Api(Failing, Failing);
    const ZelEngineApi working = Api(CountOf, BlockOf);
    const ZelEngineApi empty = {};
    struct Case {
        const char* what;
        const ZelEngineApi* api;
        ZELHANDLE handle;
    } cases[] = {
        {"engine answers errors", &failing, kEngine},
        {"no engine running", &working, nullptr},
        {"no engine table", nullptr, kEngine},
        {"table without functions", &empty, kEngine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IDefsInfo* info = HandOut(new CDefsInfo(defs, nullptr, c.api, c.handle));
        EXPECT_EQ(0, info->GetDate());
        EXPECT_EQ(0u, info->GetRevision());
        EXPECT_EQ(0u, info->GetVirusCount());
        EXPECT_EQ(0u, info->GetDBInfo());
        EXPECT_STREQ("", info->GetDefsDir());
        EXPECT_EQ(0, info->Release());
    }
}

}  // namespace
