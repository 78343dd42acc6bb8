// CVornDate: a point in time with calendar arithmetic and packed conversions.
//
//   CVornDate()                  now
//   CVornDate(t)                 t (now when negative)
//   CVornDate(date, time)        a packed local date and time (now when invalid)
//   SetNow / SetTime / SetPacked set the time; 1 when the input was refused
//   AddDays / AddSeconds         move the time
//   GetTime                      the time in seconds since 1970
//   Compare                      -1, 0, 1
//   GetPacked                    the local YYYYMMDD, HHMMSS and weekday
//   DaysFromCivil                days from 1970-01-01 of a calendar date
//
// Bad input: a negative time or an impossible packed date or time leaves the
// object at the clock's cached now and returns 1; nothing throws.
//
// The calendar is the proleptic Gregorian one counted in days from
// 1970-01-01 (a Thursday), computed here rather than through the C library so
// that every conversion uses the clock's cached zone offset and nothing else.
#include "core/vorn_date.h"

#include <cstdint>

#include "core/clock.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kFirstYear = 1970;
// Packed dates have four year digits; the limit also keeps every field and
// packed number far from int overflow.
constexpr int kLastYear = 9999;

// The inverse of DaysFromCivil for days >= 0 (month 1-12).
void CivilFromDays(int64_t days, int* year, int* month, int* day) {
    days += 719468;
    const int64_t era = days / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    *day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    *month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2));
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Minutes east of UTC of a signed HHMM offset (-530 -> -330).
int64_t ZoneSeconds(int zone) {
    return (int64_t{zone % 100} + int64_t{zone / 100} * 60) * 60;
}

}  // namespace

// The Gregorian cycle of 400 years is 146097 days, and counting years from
// March puts the leap day at the end of the year.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

CVornDate::CVornDate() : m_Time(Now()) {}

CVornDate::CVornDate(time_t t) : m_Time(0) {
    SetTime(t);
}

CVornDate::CVornDate(int packedDate, int packedTime) : m_Time(0) {
    SetPacked(packedDate, packedTime);
}

CVornDate::CVornDate(const CVornDate& other) : m_Time(other.GetTime()) {}

CVornDate& CVornDate::operator=(const CVornDate& other) {
    // Read the other's time under its lock, then write ours under ours: never
    // both locks at once, so two threads assigning crosswise cannot deadlock.
    time_t t = other.GetTime();
    CVornLockGuard guard(m_Lock);
    m_Time = t;
    return *this;
}

CVornDate::~CVornDate() = default;

void CVornDate::SetNow() {
    time_t now = Now();
    CVornLockGuard guard(m_Lock);
    m_Time = now;
}

int CVornDate::SetTime(time_t t) {
    if (t < 0) {
        SetNow();
        return 1;
    }
    CVornLockGuard guard(m_Lock);
    m_Time = t;
    return 0;
}

int CVornDate::SetPacked(int packedDate, int packedTime) {
    return setPackedInZone(packedDate, packedTime, CachedZoneOffset());
}

void CVornDate::AddDays(int n) {
    CVornLockGuard guard(m_Lock);
    m_Time += static_cast<time_t>(n) * kSecondsPerDay;
}

void CVornDate::AddSeconds(int n) {
    CVornLockGuard guard(m_Lock);
    m_Time += n;
}

time_t CVornDate::GetTime() const {
    CVornLockGuard guard(m_Lock);
    return m_Time;
}

int CVornDate::Compare(const CVornDate& other) const {
    time_t mine = GetTime();
    time_t theirs = other.GetTime();
    return mine < theirs ? -1 : mine > theirs ? 1 : 0;
}

void CVornDate::GetPacked(int* packedDate, int* packedTime, int* weekday) const {
    splitPacked(GetTime(), CachedZoneOffset(), packedDate, packedTime, weekday);
}

void CVornDate::breakDown(time_t seconds, Fields* out) {
    static const int64_t kLastSecond = DaysFromCivil(kLastYear + 1, 1, 1) * kSecondsPerDay - 1;
    int64_t t = seconds < 0 ? 0 : seconds > kLastSecond ? kLastSecond : seconds;
    int64_t days = t / kSecondsPerDay;
    int64_t inDay = t % kSecondsPerDay;
    out->hour = static_cast<int>(inDay / 3600);
    out->minute = static_cast<int>(inDay / 60 % 60);
    out->second = static_cast<int>(inDay % 60);
    out->weekday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
    int month;
    CivilFromDays(days, &out->year, &month, &out->day);
    out->month = month - 1;
    out->dayOfYear = static_cast<int>(days - DaysFromCivil(out->year, 1, 1));
}

bool CVornDate::makeTime(const Fields& fields, time_t* out) {
    if (fields.year < kFirstYear)
        return false;
    int64_t days = DaysFromCivil(fields.year, fields.month + 1, fields.day);
    *out = days * kSecondsPerDay + fields.hour * 3600 + fields.minute * 60 + fields.second;
    return true;
}

time_t CVornDate::addZone(time_t seconds, int zone) {
    return seconds + ZoneSeconds(zone);
}

time_t CVornDate::subtractZone(time_t seconds, int zone) {
    return seconds - ZoneSeconds(zone);
}

bool CVornDate::badDay(int year, int month, int day) {
    static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return true;
    int last = kMonthDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    return day > last;
}

int CVornDate::setPackedInZone(int packedDate, int packedTime, int zone) {
    Fields f{};
    int month;
    UnpackDate(packedDate, &f.year, &month, &f.day);
    UnpackDate(packedTime, &f.hour, &f.minute, &f.second);
    f.month = month - 1;
    time_t t;
    bool valid = packedDate >= 0 && packedTime >= 0 && f.year >= kFirstYear &&
                 f.year <= kLastYear && !badDay(f.year, month, f.day) && f.hour <= 23 &&
                 f.minute <= 59 && f.second <= 59 && makeTime(f, &t);
    // The year bound holds for the instant, not for the zone's calendar:
    // 1 Jan 1970 00:00 east of UTC lies before 1970.
    if (valid) {
        t = subtractZone(t, zone);
        valid = t >= 0;
    }
    if (!valid) {
        SetNow();
        return 1;
    }
    CVornLockGuard guard(m_Lock);
    m_Time = t;
    return 0;
}

void CVornDate::splitPacked(time_t seconds, int zone, int* packedDate, int* packedTime,
                            int* weekday) {
    // Far outside the calendar breakDown clamps anyway; clamping first keeps
    // the zone addition from overflowing.
    const time_t kFar = time_t{1} << 50;
    seconds = seconds < -kFar ? -kFar : seconds > kFar ? kFar : seconds;
    Fields f;
    breakDown(addZone(seconds, zone), &f);
    if (packedDate)
        PackDate(f.year, f.month + 1, f.day, packedDate);
    if (packedTime)
        PackDate(f.hour, f.minute, f.second, packedTime);
    if (weekday)
        *weekday = f.weekday;
}
