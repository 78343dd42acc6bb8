// CVornVersion: dotted version numbers of one to four decimal parts.
#include "core/version.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(VornVersion, AcceptsOneToFourDigitGroupsSeparatedBySingleDots) {
    struct Case {
        const char* text;
        bool valid;
    } cases[] = {
        {"2", true},
        {"1.0", true},
        {"1.0.3", true},
        {"4.2.0.17", true},
        {"007.010", true},
        {"2147483647.0", true},
        {"", false},
        {"1.0.3.4.5", false},  // five parts
        {"1..0", false},
        {".1", false},
        {"1.", true},  // the strict splitter takes one trailing dot
        {"1.2.", true},
        {"1.2..", false},
        {".", false},
        {"1.a", false},
        {"1.0.3a", false},
        {" 1.0", false},
        {"1.0 ", false},
        {"-1.0", false},
        {"+1", false},
        {"1,0", false},
        {"2147483648", false},  // beyond 32 bits
        {"1.99999999999999999999", false},
    };
    for (const Case& c : cases) {
        CVornVersion version;
        EXPECT_EQ(c.valid, version.Parse(c.text)) << c.text;
        EXPECT_EQ(c.valid, version.IsValid()) << c.text;
        CVornString out("untouched");
        EXPECT_EQ(c.valid, version.GetText(out)) << c.text;
        EXPECT_STREQ(c.valid ? c.text : "untouched", out.CStr()) << c.text;
    }
}

TEST(VornVersion, ALaterRefusedTextClearsValidity) {
    CVornVersion version;
    EXPECT_FALSE(version.IsValid());
    ASSERT_TRUE(version.Parse("1.0.3"));
    EXPECT_FALSE(version.Parse("1.0.x"));
    EXPECT_FALSE(version.IsValid());
    CVornString out;
    EXPECT_FALSE(version.GetText(out));
    ASSERT_TRUE(version.Parse(CVornString("3.1")));
    ASSERT_TRUE(version.GetText(out));
    EXPECT_STREQ("3.1", out.CStr());
}

}  // namespace
