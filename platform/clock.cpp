// The system clock with a test hook. See clock.h.
#include "platform/clock.h"

#include <atomic>
#include <cstdint>

namespace platform {

namespace {
// INT64_MIN means "no test time"; any other value is the frozen second.
constexpr int64_t kNoTestTime = INT64_MIN;
std::atomic<int64_t> g_testTime{kNoTestTime};
}  // namespace

time_t CurrentTime() {
    int64_t t = g_testTime.load(std::memory_order_acquire);
    if (t != kNoTestTime)
        return static_cast<time_t>(t);
    return time(nullptr);
}

void SetTestTime(time_t t) {
    g_testTime.store(static_cast<int64_t>(t), std::memory_order_release);
}

void ClearTestTime() {
    g_testTime.store(kNoTestTime, std::memory_order_release);
}

bool TestTimeActive() {
    return g_testTime.load(std::memory_order_acquire) != kNoTestTime;
}

}  // namespace platform
