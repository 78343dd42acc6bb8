// NextOption: letters grouped in a word, values in the word or the next one,
// the words that end the options, and what is passed over.
#include "install/confluxor/next_option.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every option read as "letter" or "letter=value" ("?" for one passed
// over), then "|" and the index of the first word after the options.
std::string Read(std::vector<std::string> words) {
    words.insert(words.begin(), "Confluxor");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    OptionCursor cursor;
    const char* value = nullptr;
    std::string out;
    for (int letter; (letter = NextOption(static_cast<int>(words.size()), argv.data(),
                                          "hS:A:R:F:", cursor, value)) != kEndOfOptions;) {
        if (!out.empty())
            out += ' ';
        out += static_cast<char>(letter);
        if (value)
            out += "=" + std::string(value);
        EXPECT_TRUE(letter != kIgnoredOption || value == nullptr);
    }
    return out + "|" + std::to_string(cursor.m_Word);
}

TEST(NextOption, ReadsTheCommandLineOfTheMergeTool) {
    struct Case {
        std::vector<std::string> words;
        std::string read;
    } cases[] = {
        {{}, "|1"},
        {{"ZELORM"}, "|1"},
        {{"-S", "2525", "ZELORM"}, "S=2525|3"},
        {{"-S2525", "ZELORM"}, "S=2525|2"},
        {{"/R0", "/A", "1000", "ZELORM"}, "R=0 A=1000|4"},
        // Letters share a word; a value letter takes the rest of it.
        {{"-hS25", "ZELORM"}, "h S=25|2"},
        {{"-AS", "x"}, "A=S|2"},
        // A value letter takes the next word whatever it looks like.
        {{"-S", "-A", "ZELORM"}, "S=-A|3"},
        // "-" and "--" end the options and are consumed.
        {{"--", "-S", "25"}, "|2"},
        {{"-", "ZELORM"}, "|2"},
        {{"-S", "25", "--", "-x"}, "S=25|4"},
        // The first plain word ends them and is not consumed.
        {{"ZELORM", "-S", "25"}, "|1"},
        // Unknown letters, ':' and a value missing at the end are passed over.
        {{"-x:h", "ZELORM"}, "? ? h|2"},
        {{"-S"}, "?|2"},
        {{"-hF"}, "h ?|2"},
        // "/" alone is an option word without letters.
        {{"/", "ZELORM"}, "|2"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& w : c.words) joined += "[" + w + "]";
        SCOPED_TRACE(joined);
        EXPECT_EQ(c.read, Read(c.words));
    }
}

}  // namespace
