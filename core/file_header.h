// CVornFileHeader: the first line of the data files the gateway rewrites
// itself (the list-membership file, the dictionary files):
//
//   # <format number> <version> <date>
//
// fields separated by runs of blanks; the version is one to four dotted
// decimal parts (core/version.h), the date whatever CVornDate::Parse reads.
// A reader accepts the file when the line parses and the number is the one
// it expects; a writer writes the header it read back unchanged (Format).
//
// Thread safety: every operation holds the header's own lock. Not copyable.
#pragma once

#include "core/version.h"
#include "core/vorn_date.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornFileHeader {
public:
    // State values (the result of Parse).
    static constexpr int kParsed = 5;
    static constexpr int kFailed = 1;

    // Not valid until a Parse succeeds.
    CVornFileHeader();
    virtual ~CVornFileHeader();
    CVornFileHeader(const CVornFileHeader&) = delete;
    CVornFileHeader& operator=(const CVornFileHeader&) = delete;

    // Removes trailing CR and LF from line (the caller's string changes),
    // then reads it. kParsed when the line is "#...", a number and at least
    // a version: a version that is not valid reads as "0.0.0"; without a
    // date part, or with one that is not a date, the date is now. kFailed
    // for an empty line, fewer than three fields, or a first field that does
    // not start with "#".
    int Parse(CVornString& line);

    bool IsValid() const;

    // When valid: *number = the format number, true. Otherwise false.
    bool GetNumber(int* number) const;

    // When valid: out = "# <number> <version> <date>" with single blanks, the
    // date as it was read or, when the line had no readable date, now in
    // RFC 822 form; no line end. Returns true. Otherwise false and out is
    // unchanged.
    bool Format(CVornString& out) const;

private:
    mutable CVornLock m_Lock;
    int m_State;
    int m_Number;
    CVornVersion m_Version;
    CVornDate m_Date;
    // The date part exactly as read, when it parsed as a date; else empty.
    CVornString m_DateText{CVornString::kUnlocked};
};
