// The page tags' pure helpers: the permission summary of a time event and
// the order of the relay routes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/tests/support/temp_dir.h"
#include "core/tests/support/test_catalog.h"
#include "gateway/relay_routes.h"
#include "webadmin/object_tags.h"
#include "webadmin/service_tags.h"

namespace {

// The base catalogue with texts "M<number>".
class PermSummaryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::LoadBaseCatalog(m_Temp.Path("messages"),
                                                  testsupport::NumberedCatalog(883), 883));
    }
    void TearDown() override { testsupport::ClearBaseCatalog(); }

    testsupport::TempDir m_Temp{"zelorm-tags"};
};

TEST_F(PermSummaryTest, NamesTheFilterAndEachGrantedPermission) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> event;
        const char* summary;
    } cases[] = {
        {{{"FilterMode", "F"}}, "M272,    "},
        {{}, "M253,    "},
        {{{"FilterMode", "A"}, {"AllowSMTP", "1"}}, "M273, M277,   "},
        {{{"FilterMode", "Unfiltered"}, {"AllowPOP", "1"}, {"AllowZELORMUI", "10"}},
         "M271,  M278, M268, "},
        // Only a value beginning with "1" grants; a small letter is no mode.
        {{{"FilterMode", "f"}, {"AllowSMTP", "0"}, {"AllowPOP", ""}, {"AllowZELORMUI", "yes"}},
         "M253,    "},
        {{{"AllowSMTP", "1"}, {"AllowPOP", "1"}, {"AllowZELORMUI", "1"}},
         "M253, M277, M278, M268, "},
    };
    for (const Case& c : cases) {
        CVornStringMap event;
        for (const auto& [name, value] : c.event) event.Set(name, CVornString(value));
        CVornString out;
        AppendPermSummary(out, event);
        EXPECT_EQ(c.summary, std::string(out.CStr())) << c.summary;
    }
}

TEST(CompareRoutesTest, OrdersDomainsWithoutRegardToCase) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"A.example", "b.example", -1},
        {"b.example", "A.example", 1},
        {"Example.COM", "example.com", 0},
        {"example", "example.com", -1},  // a beginning sorts first
        {"example.com", "example", 1},
        {"", "a", -1},
        {"", "", 0},
    };
    for (const Case& c : cases) {
        // The hosts differ, so only the domains can decide.
        CRelayRoute a(c.a, "host-a", "25");
        CRelayRoute b(c.b, "host-b", nullptr);
        const int r = CompareRoutes(&a, &b);
        EXPECT_EQ(c.sign, (r > 0) - (r < 0)) << c.a << " / " << c.b;
    }
}

}  // namespace
