// The sort orders of directory listings: each key's comparison and its
// reverse.
#include "webadmin/listing_orders.h"

#include <gtest/gtest.h>

#include <string>

namespace {

DirectoryListEntry Entry(const char* name, long long size, const char* type, time_t date,
                         const char* other) {
    DirectoryListEntry entry;
    entry.m_Name.Assign(name);
    entry.m_Size = size;
    entry.m_Type.Assign(type);
    entry.m_Date.SetTime(date);
    entry.m_Other.Assign(other);
    return entry;
}

TEST(ListingOrdersTest, EachKeyComparesItsFieldAndItsReverseNegates) {
    // a sorts before b in every field's own order.
    const DirectoryListEntry a = Entry("alpha", 9, "Doc", 1000, "x");
    const DirectoryListEntry b = Entry("BETA", 10000000000LL, "exe", 2000, "Y");
    for (const char* key : {"sort=name", "sort=size", "sort=type", "sort=date", "sort=other"}) {
        SCOPED_TRACE(key);
        DirectoryListCompare compare = FindDirectoryListOrder(key);
        DirectoryListCompare reverse = FindDirectoryListOrder((std::string(key) + "rev").c_str());
        ASSERT_NE(nullptr, compare);
        ASSERT_NE(nullptr, reverse);
        EXPECT_LT(compare(&a, &b), 0);
        EXPECT_GT(compare(&b, &a), 0);
        EXPECT_EQ(0, compare(&a, &a));
        EXPECT_GT(reverse(&a, &b), 0);
        EXPECT_LT(reverse(&b, &a), 0);
        EXPECT_EQ(0, reverse(&b, &b));
    }
    // Texts ignore letter case; the longer of two equal beginnings is greater.
    const DirectoryListEntry upper = Entry("ALPHA", 0, "DOC", 0, "X");
    const DirectoryListEntry longer = Entry("alphabet", 0, "Docs", 0, "xx");
    for (const char* key : {"sort=name", "sort=type", "sort=other"}) {
        EXPECT_EQ(0, FindDirectoryListOrder(key)(&a, &upper)) << key;
        EXPECT_LT(FindDirectoryListOrder(key)(&a, &longer), 0) << key;
    }

    for (const char* key : {"sort=Name", "sort=", "name", "sort=namerevrev", ""})
        EXPECT_EQ(nullptr, FindDirectoryListOrder(key)) << key;
    EXPECT_EQ(nullptr, FindDirectoryListOrder(nullptr));
}

}  // namespace
