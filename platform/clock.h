// The system clock, with a hook for tests.
//
//   CurrentTime     seconds since 1970: the real clock, or the time a test set
//   SetTestTime     freeze the clock at a given second (tests only)
//   ClearTestTime   return to the real clock
//   TestTimeActive  whether a test time is set
//
// Expiry, retry and cache tests set the clock instead of sleeping. Code that
// waits for time to pass must therefore also wake up on its own (every wait
// has a real-time bound), so that a frozen clock never blocks it for ever.
#pragma once

#include <time.h>

namespace platform {

time_t CurrentTime();

void SetTestTime(time_t t);
void ClearTestTime();
bool TestTimeActive();

}  // namespace platform
