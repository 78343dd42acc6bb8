// The activity log in tests: a day of its own for each test, and the
// records of a day file read back, each as its numbered fields (date and
// time left out), the writer's escapes undone.
#pragma once

#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "config/activity_log.h"
#include "core/tests/support/files.h"
#include "core/vorn_date.h"
#include "platform/clock.h"

namespace gatewaytest {

using ActivityFields = std::map<int, std::string>;

// The activity log keeps its day file open from one test to the next (it is
// process-wide), so every test writes on a day of its own: moves *now ten
// days on (and the test clock with it), opens the log in dir and returns the
// path of that day's file.
inline std::string StartActivityDay(const std::string& dir, time_t* now) {
    static int s_Day = 0;
    *now += 86400 * 10 * ++s_Day;
    platform::SetTestTime(*now);
    int date = 0;
    CVornDate(*now).GetPacked(&date, nullptr, nullptr);
    ActivityLogInit(dir.c_str(), "ZELORMLogging");
    return dir + "/zelgw" + std::to_string(date);
}

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
