// Test catalogues written and loaded into the base message table, and the
// local zone fixed through the clock's own refresh.
#include "core/tests/support/test_catalog.h"

#include <stdlib.h>
#include <string.h>

#include "core/clock.h"
#include "core/message_catalog.h"
#include "core/tests/support/files.h"
#include "core/vorn_lock.h"
#include "platform/clock.h"

namespace testsupport {

namespace {

std::string Entry(const char* text) {
    if (text == nullptr)
        return " m -1:\n";
    return " m " + std::to_string(strlen(text)) + ":" + text + "\n";
}

}  // namespace

std::string NumberedCatalog(int count, const std::map<int, std::string>& suffixes,
                            const std::set<int>& missing) {
    std::string out = "2 9 1\nEnglish\n";
    for (int n = 0; n < count; ++n) {
        auto it = suffixes.find(n);
        std::string text = "M" + std::to_string(n) + (it == suffixes.end() ? "" : it->second);
        out += Entry(missing.count(n) ? nullptr : text.c_str());
    }
    return out;
}

std::string CatalogOf(const std::vector<const char*>& texts) {
    std::string out = "2 9 1\nEnglish\n";
    for (const char* text : texts) out += Entry(text);
    return out;
}

int LoadBaseCatalog(const std::string& path, const std::string& bytes, int count, int first) {
    WriteWhole(path, bytes);
    CVornLockGuard hold(GetCatalogLock());
    return BaseMessageTable().ReadFile(path.c_str(), 2, 9, count, first);
}

void ClearBaseCatalog() {
    CVornLockGuard hold(GetCatalogLock());
    BaseMessageTable().Clear();
}

bool StopClockThread() {
    Now();
    return StopClock();
}

void UseZone(const char* tz, time_t at) {
    setenv("TZ", tz, 1);
    tzset();
    platform::SetTestTime(at - at % 3600);
    ClockTick();
    platform::SetTestTime(at);
}

}  // namespace testsupport
