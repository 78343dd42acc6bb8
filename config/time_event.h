// Time events of configuration objects: sets of attributes that replace an
// object's base attributes while they apply. The member operations that
// reach an object's events (AddEvent, GetAttribute, ChooseEvent, ...) are
// declared with CVornConfigObject in config/config_object.h; these are the
// helpers that work on one event map.
//
// An event map holds "When" (first byte 'D': the default event; 'E': a
// window of dates; otherwise weekday digits '0' Sunday to '6' Saturday),
// "Date" (YYYYMMDD, first day of an 'E' event), "Start" and "End" (HHMMSS,
// End inclusive) and "Repeat" (days of an 'E' event, counting the first),
// plus the settings the event supplies. Numbers are decimal text. Dates and
// times are local (CVornDate, the clock's cached zone).
//
// Every function here may be called from any thread; the maps passed in
// must not change during the call.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

// 1 when a dated ('E') event lies wholly in the past: its Date is 9999 or
// less or in a year before 1970, its last moment (Date at End, plus Repeat
// - 1 days) is before now, or its Date or End is not a real date or time of
// day (such an event can never apply). 0 otherwise, and always for default
// and weekday events (null when counts as not dated).
int IsEventExpired(int date, int repeat, int end, const char* when);

// IsEventExpired of the map's Date, Repeat, End and When (missing numbers
// read as 0, a missing When as empty).
int IsEventMapExpired(const CVornStringMap& event);

// out = the event's id: When, then Date, Start and End as "%d%06d%06d" (the
// default event's id is "D0000000000000").
void MakeEventKey(const CVornStringMap& event, CVornString& out);

// Sets When "D", Start "0", End "0", Date "0" and Repeat "1" in the map,
// leaving its other attributes.
void MakeDefaultEvent(CVornStringMap& event);

// Appends a readable description to out (catalogue texts in the current
// language; a missing text appends nothing) and returns the kind: 1 default
// (text 266 and ": "), 2 weekdays (the names of the days, then the hours),
// 3 window of dates ("month/day/year", text 267, Repeat, then the hours), 0
// anything else (nothing appended). Hours read "8:30 AM - 5:00 PM: ".
int DescribeEvent(const CVornStringMap& event, CVornString& out);
