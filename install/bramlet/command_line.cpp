// Command lines: see command_line.h.
#include "install/bramlet/command_line.h"

#include <string.h>

namespace bramlet {

bool SplitCommandLine(const char* line, std::vector<std::string>& words) {
    words.clear();
    if (line == nullptr)
        return false;
    const size_t length = strnlen(line, kMaxCommandLine + 1);
    if (length > kMaxCommandLine)
        return false;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < length;) {
        const char c = line[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            ++i;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            size_t slashes = 0;
            while (i < length && line[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < length && line[i] == '"') {
                word.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    word += '"';
                    ++i;
                }
                // An even count leaves the quote to act below.
            } else {
                word.append(slashes, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < length && line[i + 1] == '"') {
                word += '"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        word += c;
        ++i;
    }
    if (inWord)
        words.push_back(word);
    return !words.empty();
}

}  // namespace bramlet
