// The process-wide clock: a cached current second that a clock thread
// refreshes once a second, the local zone offset (refreshed hourly), the
// guarded calendar conversions of the C library, and the packed-number and
// 12-hour helpers that configuration and spool files use.
//
// Thread safety: every function here may be called from any thread. The
// clock state is a process-wide object that is never destroyed, so the
// detached clock thread may outlive main.
//
// Times are 64-bit seconds since 1970-01-01 00:00 UTC. Every reading of the
// system time goes through platform::CurrentTime(), so a test that sets the
// clock (platform::SetTestTime) sees it at once in Now() and RefreshNow().
#pragma once

#include <time.h>

class CVornString;

// Clears the running and stop flags, then StartClock. A clock thread that is
// still alive is retired (it ends at its next check without touching the
// flags), so a reset never leaves two threads ticking.
void ResetClock();

// Starts the clock thread once: does nothing when it runs or when the clock
// was stopped (only ResetClock restarts it). Stores the current second and
// computes the zone offset. A thread that cannot start is retried next call.
void StartClock();

// Asks the clock thread to end and waits for it, checking often, for at most
// a few seconds. True when no clock thread runs any more. The clock stays
// stopped (Now keeps answering the last cached second) until ResetClock.
bool StopClock();

// True while a clock thread runs.
bool ClockRunning();

// One tick of the clock thread: caches the current second, and in the first
// two seconds of every hour recomputes the cached zone offset.
void ClockTick();

// The cached current second (the system time when nothing is cached yet).
// While a test time is set it is answered at once.
time_t Now();

// Reads the current second, caches it and returns it.
time_t RefreshNow();

// The current local date as YYYYMMDD and time as HHMMSS (either pointer may
// be null).
void NowPacked(int* date, int* time);

// Local time minus UTC at Now(), as a signed HHMM number (-330, 530, 1345,
// 1400); minutes carry the sign of the hours. 0 when the C library fails.
int LocalZoneOffset();

// The cached zone offset (signed HHMM) that every local conversion uses.
int CachedZoneOffset();

// gmtime / localtime of t into *out under the clock lock: 0 on success, 1 on
// failure (then *out is untouched). REQUIRES: out not null.
int SafeGmTime(time_t t, struct tm* out);
int SafeLocalTime(time_t t, struct tm* out);

// *out = a * 10000 + b * 100 + c (packed dates YYYYMMDD and times HHMMSS).
void PackDate(int a, int b, int c, int* out);

// The inverse: a = packed / 10000, b = (packed % 10000) / 100, c = packed % 100.
void UnpackDate(int packed, int* a, int* b, int* c);

// A packed 12-hour time with its marker to 24 hours: "PM"/"P.M." (any case)
// adds 12 to hours below 12, "AM"/"A.M." turns hour 12 into 0; any other
// marker leaves the time as it is.
void To24Hour(int packedTime, const CVornString& marker, int* out);

// A packed 24-hour time to 12 hours: 0 -> 12 "AM", 1-11 "AM", 12 -> 12 "PM",
// 13-23 -> 1-11 "PM".
void To12Hour(int packedTime, CVornString& marker, int* out);

// "month/day/year" (month 1-12, day 1-31, year 100 or more) to YYYYMMDD.
// *out is 0 for any other text.
void ParseSlashDate(const CVornString& text, int* out);
