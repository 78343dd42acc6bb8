// NextOption: the command-line option reader of the installation tools (see
// install/confluxor/next_option.h).
#include "install/confluxor/next_option.h"

#include <string.h>

int NextOption(int argc, char* const* argv, const char* optionString, OptionCursor& cursor,
               const char*& value) {
    value = nullptr;
    for (;;) {
        if (cursor.m_Word >= argc || argv[cursor.m_Word] == nullptr)
            return kEndOfOptions;
        const char* word = argv[cursor.m_Word];
        if (cursor.m_Letter == 0) {
            if (word[0] != '-' && word[0] != '/')
                return kEndOfOptions;
            if (strcmp(word, "-") == 0 || strcmp(word, "--") == 0) {
                ++cursor.m_Word;
                return kEndOfOptions;
            }
            cursor.m_Letter = 1;
        }
        const char letter = word[cursor.m_Letter];
        if (letter == '\0') {
            ++cursor.m_Word;
            cursor.m_Letter = 0;
            continue;
        }
        ++cursor.m_Letter;
        // ':' marks value letters in the option string; it is no letter.
        const char* known = letter == ':' ? nullptr : strchr(optionString, letter);
        if (known == nullptr)
            return kIgnoredOption;
        if (known[1] != ':')
            return letter;
        if (word[cursor.m_Letter] != '\0') {
            value = word + cursor.m_Letter;
            cursor.m_Word += 1;
        } else if (cursor.m_Word + 1 < argc && argv[cursor.m_Word + 1] != nullptr) {
            value = argv[cursor.m_Word + 1];
            cursor.m_Word += 2;
        } else {
            cursor.m_Word += 1;
            cursor.m_Letter = 0;
            return kIgnoredOption;
        }
        cursor.m_Letter = 0;
        return letter;
    }
}
