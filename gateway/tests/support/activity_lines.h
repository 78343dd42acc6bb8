// Reading the activity log back in tests: the records of a day file, each as
// its numbered fields (date and time left out), the writer's escapes undone.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/tests/support/files.h"

namespace gatewaytest {

using ActivityFields = std::map<int, std::string>;

// The records of the file from byte offset *read on; *read moves to the end.
inline std::vector<ActivityFields> ReadActivityRecords(const std::string& path, size_t* read) {
    std::string text = testsupport::ReadWhole(path);
    std::string fresh = *read < text.size() ? text.substr(*read) : std::string();
    *read = text.size();
    std::vector<ActivityFields> out;
    size_t start = 0;
    while (start < fresh.size()) {
        size_t end = fresh.find("\r\n", start);
        if (end == std::string::npos)
            end = fresh.size();
        std::string line = fresh.substr(start, end - start);
        start = end + 2;
        std::vector<std::string> items(1);
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size())
                items.back() += line[++i];
            else if (line[i] == ',')
                items.emplace_back();
            else
                items.back() += line[i];
        }
        ActivityFields fields;
        for (size_t i = 2; i < items.size(); ++i) {
            size_t eq = items[i].find('=');
            fields[std::stoi(items[i].substr(0, eq))] = items[i].substr(eq + 1);
        }
        out.push_back(fields);
    }
    return out;
}

}  // namespace gatewaytest
