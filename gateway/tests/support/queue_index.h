// Reading a spool queue's index file as the queue does, for tests that
// look at the file from outside.
#pragma once

#include <string>
#include <vector>

#include "core/tests/support/files.h"

namespace spooltest {

// A queue index's entry lines as a queue reads them: the generation line
// left out, each removal line ("- name") applied to the lines above it.
inline std::string LiveIndex(const std::string& path) {
    std::string text = testsupport::ReadWhole(path);
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        start = end;
        if (line.rfind("# ", 0) == 0)
            continue;
        if (line.rfind("- ", 0) == 0) {
            std::string name = line.substr(2, line.find_first_of("\r\n") - 2);
            std::erase_if(lines, [&](const std::string& l) {
                size_t blank = l.rfind(' ');
                return blank != std::string::npos &&
                       l.substr(blank + 1, l.find_first_of("\r\n") - blank - 1) == name;
            });
            continue;
        }
        lines.push_back(line);
    }
    std::string out;
    for (const std::string& line : lines) out += line;
    return out;
}

// The names of the live entry lines, in order.
inline std::vector<std::string> LiveNames(const std::string& path) {
    std::vector<std::string> names;
    std::string index = LiveIndex(path);
    for (size_t at = 0, end; (end = index.find("\r\n", at)) != std::string::npos; at = end + 2) {
        std::string line = index.substr(at, end - at);
        names.push_back(line.substr(line.rfind(' ') + 1));
    }
    return names;
}

}  // namespace spooltest
