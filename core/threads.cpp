// StartThread and SleepSeconds on the platform's threads. See threads.h.
#include "core/threads.h"

#include "platform/threads.h"

int StartThread(VornThreadFunction fn, void* argument, int priority) {
    return platform::StartDetachedThread(fn, argument, priority) ? 0 : 1;
}

void SleepSeconds(int seconds) {
    platform::SleepMilliseconds(seconds > 0 ? seconds * 1000L : 0);
}
