// Checking data-driven printf formats against the caller's arguments.
#include "core/format_check.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* format;
    const char* kinds;
    bool accepted;
};

TEST(FormatMatches, AcceptsExactlyTheFormatsThatFitTheArguments) {
    const Case cases[] = {
        // Fits: conversions one to one with the arguments.
        {"plain text", "", true},
        {"plain text", nullptr, true},
        {"", "", true},
        {"100%% of %s", "s", true},
        {"%s: %d", "sd", true},
        {"[%-20.5s]", "s", true},
        {"%+ #08.3x|%o|%X|%i", "dddd", true},
        {"%u %c %hhd %hd", "ucdd", true},
        {"%ld %lu %lx", "lll", true},
        {"%lld %llu", "qq", true},
        {"%zu %zd", "zz", true},
        {"%.2f %e %lg %A", "ffff", true},
        {"%p", "p", true},
        {"%d%%", "d", true},
        {"%9999d %.9999s", "ds", true},
        // Count differs.
        {"%s", "", false},
        {"%s", nullptr, false},
        {"%s", "ss", false},
        {"no conversion", "d", false},
        // Kind differs: a number read as a pointer or the other way round.
        {"%s", "d", false},
        {"%d", "s", false},
        {"%ld", "d", false},
        {"%d", "l", false},
        {"%lld", "l", false},
        {"%f", "d", false},
        {"%p", "s", false},
        {"%c", "s", false},
        // Refused outright.
        {"%*d", "dd", false},
        {"%.*s", "ds", false},
        {"%n", "d", false},
        {"%hn", "d", false},
        {"%1$s", "s", false},
        {"%ls", "s", false},
        {"%lc", "c", false},
        {"%S", "s", false},
        {"%C", "c", false},
        {"%I64d", "q", false},
        {"%Lf", "f", false},
        {"%jd", "q", false},
        {"%y", "d", false},
        {"%5%", "", false},
        {"ends in %", "", false},
        {"ends in %-08.", "d", false},
        {"%10000d", "d", false},
        {"%.10000s", "s", false},
        {"%s", "x", false},
        {nullptr, "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatMatches(c.format, c.kinds), c.accepted)
            << "format \"" << (c.format ? c.format : "(null)") << "\" kinds \""
            << (c.kinds ? c.kinds : "(null)") << "\"";
    }
}

}  // namespace
