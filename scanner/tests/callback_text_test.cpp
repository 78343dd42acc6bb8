// The callback text buffer: zeroed for the callback, terminated after it.
#include "scanner/callback_text.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

TEST(CallbackText, AnswerIsAlwaysATerminatedTextWithinTheBuffer)
{
    struct Case {
        const char* what;
        size_t written;  // bytes of 'x' the callback writes, without a zero
        size_t expected;
    } cases[] = {
        {"nothing written", 0, 0},
        {"a short text", 5, 5},
        {"the most that fits", WEXLOR_TEXT_SIZE - 1, WEXLOR_TEXT_SIZE - 1},
        {"every byte, no zero", WEXLOR_TEXT_SIZE, WEXLOR_TEXT_SIZE - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CCallbackText text;
        ASSERT_EQ(WEXLOR_TEXT_SIZE, text.Size());
        // Zeroed for the callback: every byte, not only the first.
        EXPECT_EQ(std::string(WEXLOR_TEXT_SIZE, '\0'), std::string(text.Buffer(), text.Size()));
        memset(text.Buffer(), 'x', c.written);
        EXPECT_EQ(std::string(c.expected, 'x'), text.Text());
    }
}

}  // namespace
