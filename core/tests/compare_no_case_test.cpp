// CompareNoCase: case-insensitive ordering, also as a sorted list's callback.
#include "core/compare_no_case.h"

#include <gtest/gtest.h>

#include "core/vorn_list.h"
#include "core/vorn_string.h"

namespace {

int Sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(CompareNoCase, OrdersWithoutRegardToCaseAndPutsTheLongerTextAfter) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"Hello World", "hELLO wORLD", 0},
        {"", "", 0},
        {"abc", "ABCD", -1},  // equal common part: the longer sorts after
        {"ABCD", "abc", 1},
        {"", "a", -1},
        {"apple", "Banana", -1},  // byte order would put "B" first
        {"Zebra", "apple", 1},
        {"a1", "A2", -1},
    };
    for (const Case& c : cases) {
        CVornString a(c.a), b(c.b);
        EXPECT_EQ(c.sign, Sign(CompareNoCase(a, b))) << c.a << " / " << c.b;
        EXPECT_EQ(c.sign, Sign(CompareNoCase(&a, &b))) << c.a << " / " << c.b;
    }
}

TEST(CompareNoCase, KeepsASortedStringListInNameOrder) {
    CVornSortedList<CVornString> list(CompareNoCase);
    for (const char* name : {"cherry", "Banana", "apple", "BANANA", "Apricot"})
        list.Insert(CVornString(name));
    const char* expected[] = {"apple", "Apricot", "BANANA", "Banana", "cherry"};
    ASSERT_EQ(5, list.m_List.m_Count);
    for (int i = 0; i < 5; ++i) EXPECT_STREQ(expected[i], list.m_List.GetAt(i)->CStr()) << i;
}

}  // namespace
