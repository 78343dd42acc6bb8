// Messages and dates of a windowless program (see platform/desktop.h).
#include "platform/desktop.h"

#include <stdio.h>
#include <time.h>

#include "platform/clock.h"

namespace platform {

void ShowMessageBox(const char* text, const char* caption) {
    fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    fflush(stderr);
}

size_t FormatLocalDate(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    const time_t now = CurrentTime();
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return 0;
    const size_t n = strftime(buffer, size, "%x", &local);
    if (n == 0) buffer[0] = '\0';
    return n;
}

}  // namespace platform
