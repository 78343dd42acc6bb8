// The process-wide clock and the packed-number helpers.
//
//   ResetClock        clear the flags and start the clock again
//   StartClock        start the clock thread once (idempotent, not after a stop)
//   StopClock         ask the clock thread to end; wait a bounded time
//   ClockRunning      whether a clock thread runs
//   ClockTick         cache the current second; hourly, the zone offset
//   Now / RefreshNow  the cached second / a fresh, cached reading
//   NowPacked         the local date and time as YYYYMMDD and HHMMSS
//   LocalZoneOffset   local time minus UTC as signed HHMM, from the C library
//   CachedZoneOffset  the offset the local conversions use
//   SafeGmTime / SafeLocalTime   the C library's conversions under the clock lock
//   PackDate / UnpackDate        a*10000 + b*100 + c and back
//   To24Hour / To12Hour          12-hour times with "AM"/"PM" markers
//   ParseSlashDate    "month/day/year" to YYYYMMDD
//
// Bad input: the C library's conversion failures give 1 (and a zone offset
// of 0); a slash date out of range gives 0; nothing here throws.
#include "core/clock.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/threads.h"
#include "core/vorn_date.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "platform/clock.h"
#include "platform/threads.h"

namespace {

// The flags and the cached second are atomics so that Now() on a running
// clock takes no lock: every thread that stamps a write asks for the time,
// and one lock for all of them would serialise them. Every change of them
// happens under m_Lock.
struct ClockState {
    CVornLock m_Lock;
    std::atomic<time_t> m_Now{0};  // 0 until first set
    int m_Zone = 0;    // signed HHMM, 0 until first computed
    std::atomic<bool> m_Running{false};
    std::atomic<bool> m_Stop{false};
    // Bumped by ResetClock: a thread of an older generation ends quietly.
    std::atomic<uintptr_t> m_Generation{0};
};

// Never destroyed: the detached clock thread may still run after main.
ClockState& State() {
    static ClockState* state = new ClockState;
    return *state;
}

// How long StopClock waits for the thread, and how often the thread looks at
// its stop flag while it sleeps between ticks.
constexpr long kStopPollMs = 50;
constexpr long kStopWaitMs = 5000;
constexpr long kTickSliceMs = 100;
constexpr int kTickSlices = 10;  // one tick per second

bool ThreadShouldEnd(uintptr_t generation) {
    ClockState& s = State();
    return s.m_Stop.load() || s.m_Generation.load() != generation;
}

unsigned ClockThread(void* argument) {
    const auto generation = reinterpret_cast<uintptr_t>(argument);
    ClockState& s = State();
    for (;;) {
        {
            CVornLockGuard guard(s.m_Lock);
            if (ThreadShouldEnd(generation)) {
                // A retired thread leaves the flags to its successor.
                if (s.m_Generation.load() == generation)
                    s.m_Running = false;
                return 0;
            }
        }
        ClockTick();
        for (int i = 0; i < kTickSlices && !ThreadShouldEnd(generation); ++i)
            platform::SleepMilliseconds(kTickSliceMs);
    }
}

void StoreZoneOffset(int zone) {
    CVornLockGuard guard(State().m_Lock);
    State().m_Zone = zone;
}

// Local time minus UTC at the moment now, as signed HHMM.
int ZoneOffsetAt(time_t now);

// Seconds since 1970 of a broken-down time read as UTC.
time_t CalendarSeconds(const struct tm& fields) {
    struct tm copy = fields;  // timegm normalises its argument
    return timegm(&copy);
}

// One decimal part of a slash date, up to the separator (or to the end when
// the separator is NUL), with blanks allowed around the number. Only digits
// count, and at most four of them, which keeps the packed result in an int.
bool ReadSlashPart(const char** p, const char* end, char separator, int* value) {
    const char* q = *p;
    while (q < end && *q == ' ') ++q;
    int digits = 0;
    *value = 0;
    for (; q < end && *q >= '0' && *q <= '9'; ++q, ++digits) {
        if (digits == 4)
            return false;
        *value = *value * 10 + (*q - '0');
    }
    while (q < end && *q == ' ') ++q;
    if (digits == 0)
        return false;
    if (separator == '\0') {
        if (q != end)
            return false;  // anything after the year
    } else {
        if (q == end || *q != separator)
            return false;  // the "/" is missing
        ++q;
    }
    *p = q;
    return true;
}

bool EqualsAny(const CVornString& text, const char* a, const char* b) {
    return text.Equals(a, 0) || text.Equals(b, 0);
}

}  // namespace

void ResetClock() {
    {
        ClockState& s = State();
        CVornLockGuard guard(s.m_Lock);
        ++s.m_Generation;
        s.m_Running = false;
        s.m_Stop = false;
    }
    StartClock();
}

void StartClock() {
    ClockState& s = State();
    if (s.m_Running.load() || s.m_Stop.load())
        return;
    {
        CVornLockGuard guard(s.m_Lock);
        if (s.m_Running.load() || s.m_Stop.load())
            return;
        s.m_Now = platform::CurrentTime();
        // The zone is known before any caller can see the clock running:
        // a thread that finds it running reads the zone without starting it.
        StoreZoneOffset(ZoneOffsetAt(s.m_Now.load()));
        // Set before the thread runs, so that its exit (under this lock)
        // always comes after.
        s.m_Running = true;
        void* argument = reinterpret_cast<void*>(s.m_Generation.load());
        if (StartThread(ClockThread, argument, 1) != 0) {
            s.m_Running = false;
            return;
        }
    }
}

bool StopClock() {
    ClockState& s = State();
    for (long waited = 0; s.m_Running.load(); waited += kStopPollMs) {
        if (waited >= kStopWaitMs)
            return false;
        s.m_Stop = true;
        platform::SleepMilliseconds(kStopPollMs);
    }
    return true;
}

bool ClockRunning() {
    return State().m_Running.load();
}

void ClockTick() {
    time_t now = platform::CurrentTime();
    {
        CVornLockGuard guard(State().m_Lock);
        State().m_Now = now;
    }
    time_t intoHour = now % 3600;
    if (intoHour == 0 || intoHour == 1)
        StoreZoneOffset(LocalZoneOffset());
}

time_t Now() {
    StartClock();
    if (platform::TestTimeActive())
        return platform::CurrentTime();
    time_t now = State().m_Now.load();
    return now != 0 ? now : platform::CurrentTime();
}

time_t RefreshNow() {
    StartClock();
    time_t now = platform::CurrentTime();
    CVornLockGuard guard(State().m_Lock);
    State().m_Now = now;
    return now;
}

void NowPacked(int* date, int* time) {
    CVornDate now;
    now.GetPacked(date, time, nullptr);
}

int LocalZoneOffset() {
    return ZoneOffsetAt(Now());
}

namespace {

int ZoneOffsetAt(time_t now) {
    struct tm utc, local;
    if (SafeGmTime(now, &utc) != 0 || SafeLocalTime(now, &local) != 0)
        return 0;
    // Both as whole calendar values, so that a local date a day ahead of or
    // behind UTC (UTC+13, UTC+14, UTC-11) needs no special case.
    long long minutes = (CalendarSeconds(local) - CalendarSeconds(utc)) / 60;
    return static_cast<int>((minutes / 60) * 100 + minutes % 60);
}

}  // namespace

int CachedZoneOffset() {
    StartClock();
    CVornLockGuard guard(State().m_Lock);
    return State().m_Zone;
}

int SafeGmTime(time_t t, struct tm* out) {
    struct tm result;
    CVornLockGuard guard(State().m_Lock);
    if (gmtime_r(&t, &result) == nullptr)
        return 1;
    *out = result;
    return 0;
}

int SafeLocalTime(time_t t, struct tm* out) {
    struct tm result;
    CVornLockGuard guard(State().m_Lock);
    if (localtime_r(&t, &result) == nullptr)
        return 1;
    *out = result;
    return 0;
}

void PackDate(int a, int b, int c, int* out) {
    *out = a * 10000 + b * 100 + c;
}

void UnpackDate(int packed, int* a, int* b, int* c) {
    *a = packed / 10000;
    *b = (packed % 10000) / 100;
    *c = packed % 100;
}

void To24Hour(int packedTime, const CVornString& marker, int* out) {
    int hour = packedTime / 10000;
    int rest = packedTime % 10000;
    if (EqualsAny(marker, "PM", "P.M.") && hour < 12)
        hour += 12;
    else if (EqualsAny(marker, "AM", "A.M.") && hour == 12)
        hour = 0;
    *out = hour * 10000 + rest;
}

void To12Hour(int packedTime, CVornString& marker, int* out) {
    int hour = packedTime / 10000;
    int rest = packedTime % 10000;
    marker.Assign(hour >= 12 ? "PM" : "AM");
    if (hour > 12)
        hour -= 12;
    else if (hour == 0)
        hour = 12;
    *out = hour * 10000 + rest;
}

void ParseSlashDate(const CVornString& text, int* out) {
    *out = 0;
    CVornString copy(text, CVornString::kUnlocked);
    const char* p = copy.CStr();
    const char* end = p + copy.Length();
    int month, day, year;
    if (!ReadSlashPart(&p, end, '/', &month) || !ReadSlashPart(&p, end, '/', &day) ||
        !ReadSlashPart(&p, end, '\0', &year))
        return;
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 100)
        return;
    *out = year * 10000 + month * 100 + day;
}
