// CVornDate: the library's point in time, with calendar arithmetic and the
// packed YYYYMMDD / HHMMSS conversions in the local zone.
//
// The local zone is always the clock's cached zone offset (core/clock.h), also
// for dates in the past or the future: a daylight-saving change takes effect
// for every date at the clock's next hourly refresh. The calendar is our own
// proleptic Gregorian arithmetic, never the C library's local-time rules.
//
// A CVornDate is a value: copies are independent. Each object guards its time
// with its own lock, so one object may be shared between threads.
#pragma once

#include <time.h>

#include <cstdint>

#include "core/vorn_lock.h"

class CVornString;

class CVornDate {
public:
    // Now (the clock's cached second).
    CVornDate();
    // t, or now when t is negative.
    explicit CVornDate(time_t t);
    // A packed local date and time; now when they are invalid.
    CVornDate(int packedDate, int packedTime);
    CVornDate(const CVornDate& other);
    CVornDate& operator=(const CVornDate& other);
    virtual ~CVornDate();

    // The clock's cached second.
    void SetNow();
    // t: 0. A negative t gives now: 1.
    int SetTime(time_t t);
    // A packed local date (YYYYMMDD, year 1970-9999) and time (HHMMSS): 0.
    // An impossible date or time (month 13, 30 February, hour 24, minute 60,
    // second 60) gives now: 1.
    int SetPacked(int packedDate, int packedTime);

    void AddDays(int n);
    void AddSeconds(int n);
    time_t GetTime() const;

    // -1, 0 or 1 as this time is earlier than, equal to or later than other's.
    int Compare(const CVornDate& other) const;

    // The local date (YYYYMMDD), time (HHMMSS) and weekday (0 = Sunday); any
    // pointer may be null. Times before 1970 count as 1970-01-01 00:00:00 UTC,
    // times after the year 9999 as its last second.
    void GetPacked(int* packedDate, int* packedTime, int* weekday) const;

    // ---- Date texts (core/vorn_date_text.cpp)
    //
    // Day and month names are read from the message catalogue (core/
    // message_catalog.h) in the current catalogue language, then in language
    // 0, then as the English abbreviations that FormatRFC822 writes, so that
    // every date this class writes reads back. The catalogue texts are looked
    // up under the catalogue lock; any thread may call these.

    // Reads an RFC 822-like date ("Tue, 05 Jan 1999 10:20:30 -0500", also
    // "05-Jan-99", two-digit years, zone names GMT UT EST EDT CST CDT MST MDT
    // PST PDT, comments in parentheses). A text without a zone is read in
    // zone (a zone name or "+HHMM"; a zone that is not one of those counts
    // as UTC), or in the cached local zone when zone is null or empty.
    // 0 and the time set; 1 when the text is not a date (fewer than four
    // words, no day, month or year, an impossible date or a year before
    // 1970), the time then being now.
    int Parse(const CVornString& text, const char* zone = nullptr);
    // Parse of a NUL-terminated text; null reads as the empty text.
    int ParseText(const char* text, const char* zone = nullptr);

    // out = "Tue, 05 Jan 1999 10:20:30 -0500": English names, in the cached
    // local zone ("GMT" for offset 0).
    void FormatRFC822(CVornString& out) const;
    // The same in a named zone ("GMT", "EST", "+0100"); a zone that is not
    // one of those is written as "GMT".
    void FormatRFC822InZone(const char* zone, CVornString& out) const;
    // out = catalogue template 817 (web pages) or 816 (report pages) in the
    // current language, local zone, with the first of each placeholder
    // replaced: %W day name, %D day (2 digits), %M month name, %Y year text,
    // %T hh:mm:ss, %Z zone as in FormatRFC822. Empty when the catalogue has
    // no such template.
    void FormatDisplay(CVornString& out) const;
    void FormatReport(CVornString& out) const;

private:
    // Calendar fields of a second count.
    struct Fields {
        int second;     // 0-59
        int minute;     // 0-59
        int hour;       // 0-23
        int day;        // 1-31
        int month;      // 0-11
        int year;       // e.g. 2024
        int weekday;    // 0 = Sunday
        int dayOfYear;  // 0-365
    };

    static void breakDown(time_t seconds, Fields* out);
    // The second count of the fields (month 0-11); false for a year before 1970.
    static bool makeTime(const Fields& fields, time_t* out);
    static time_t addZone(time_t seconds, int zone);
    static time_t subtractZone(time_t seconds, int zone);
    // 0 and the time set, or 1 and the time set to now.
    int setPackedInZone(int packedDate, int packedTime, int zone);
    static void splitPacked(time_t seconds, int zone, int* packedDate, int* packedTime,
                            int* weekday);
    // True when the day does not exist in that month (month 1-12) and year.
    static bool badDay(int year, int month, int day);

    // Date-text helpers (core/vorn_date_text.cpp).
    // A zone name or "+HHMM"/"-HHMM"/"HHMM" within -1400..1400: 0 and *out;
    // else 1. REQUIRES: text not null.
    static int parseZone(const char* text, int* out);
    static void formatRFC822(time_t seconds, int zone, CVornString& out);
    static void formatTemplate(CVornString& out, time_t seconds, int zone, int templateNumber);
    // Cuts the two characters at pos out of out and puts value there.
    static void replaceToken(CVornString& out, int pos, const CVornString& value);
    // dayNumbers: the 7 catalogue numbers of one day-name set, Sunday first.
    static bool matchDayName(const CVornString& token, const int* dayNumbers);
    // The month 1-12 named by token, or -1.
    static int matchMonthName(const CVornString& token);
    static void yearText(CVornString& out, int year);

    mutable CVornLock m_Lock;
    time_t m_Time;
};

// Days from 1970-01-01 (negative before it) to a date of the proleptic
// Gregorian calendar. REQUIRES: month 1-12; a day beyond the month's end
// simply runs on into the next.
int64_t DaysFromCivil(int64_t year, int month, int day);
