// The gateway program "zelorm": the service, and the commands that install,
// remove and debug it. Everything happens in ZelormMain
// (gateway/service_control.h); its result is the exit code: 0 normal end,
// 1 an escaped exception or a failed command, 2 a catalogue not loaded,
// 3 start-up failed.
//
// For tests only: when the environment variable ZELORM_TEST_TIME holds a
// time (decimal seconds since 1970), the program's clock stands still at
// that second for its whole run (platform::SetTestTime), so that a test can
// run the program days later by restarting it with a later time (retries,
// expiry) instead of waiting. A value that is not a positive number is
// reported on standard error and ignored; the unit that -install writes
// never sets it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "gateway/service_control.h"
#include "platform/clock.h"

namespace {

void applyTestTime() {
    const char* text = std::getenv("ZELORM_TEST_TIME");
    if (text == nullptr || *text == '\0')
        return;
    char* end = nullptr;
    errno = 0;
    long long t = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || t <= 0) {
        std::fprintf(stderr, "ZELORM_TEST_TIME is not a time and is ignored: %s\n", text);
        return;
    }
    platform::SetTestTime(static_cast<time_t>(t));
}

}  // namespace

int main(int argc, char** argv) {
    applyTestTime();
    return ZelormMain(argc, argv);
}
