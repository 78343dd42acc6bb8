// The operating system's event log: syslog, plus an optional file sink.
//
//   ReportEvent   one event under a source name, with a text and raw data
//   EventLogPath  the file sink named by ZELORM_EVENTLOG, or empty
//
// Each event goes to syslog (facility LOG_DAEMON, ident = the source name;
// error, warning and information become LOG_ERR, LOG_WARNING and LOG_INFO).
// When the environment variable ZELORM_EVENTLOG names a file, the event is
// also appended to that file as one line (tests read it):
//
//   <seconds since 1970> TAB <source> TAB <type> TAB 0x<event id, 8 hex>
//   TAB <text> TAB <data as lower-case hex, no blanks> LF
//
// In the text and the source, backslash, TAB, CR and LF are written as
// \\, \t, \r and \n, so one event is always one line.
#pragma once

#include <string>

namespace platform {

enum : int { kEventError = 1, kEventWarning = 2, kEventInformation = 4 };

enum : int {
    kEventReported = 0,
    kEventSourceFailed = 1,  // the event log could not be opened
    kEventReportFailed = 2,  // it was opened, but the record was not written
};

// Reports one event. type is kEventError, kEventWarning or kEventInformation
// (anything else is reported as information); text may be null; data may be
// null when dataLength is 0. Returns one of the results above.
int ReportEvent(const char* source, int type, unsigned eventId, const char* text, const void* data,
                int dataLength);

std::string EventLogPath();

}  // namespace platform
