// The access report: the activity log's records of a time range, one
// paragraph per record with each field coloured by what it says, written and
// flushed as the search finds them; and the parts the anti-virus report
// shares with it.
//
//   AccessReport           the web command "AccessReport"
//   ReadReportRange        the report's time range from the form's dates and times
//   ReportPermitted        the session's read permission for the form's object type
//   BeginReport            the start both reports share: login, permission, range
//   AppendRecordParagraph  one record as the report shows it
//
// Bad input: a bare GET goes to the top page; a request without a session
// gets the login page (and runs again after the login); a missing or empty
// "objtype" gets the error page with text 77; a missing read permission
// writes record (3, 16, 0) and gets text 84; a date or time that is missing,
// impossible (30 February, hour 25, a year outside 1970-9999) or a range
// that ends before it starts gets text 177. Every text taken from a record
// is HTML-escaped before it goes into the page. A browser that goes away
// is not written to again (a stalled one would hold every later write for
// the socket's send time-out); the search still runs to the end of the
// range, and the response is then dropped instead of finished.
//
// Threads: the web server's connection workers, any number at once; the
// report takes no lock of the web administration. The search reads the day
// files while the service appends to today's.
#pragma once

#include "core/vorn_string.h"

class CActivityLogRecord;
class CVornDate;
class CVornHTTPRequest;

// Catalogue numbers of the reports.
enum : int {
    kMsgReportNoObjectType = 77,  // the form named no object type
    kMsgReportNoPermission = 84,  // the error page of a refusal
    kMsgReportBadRange = 177,     // the range is invalid or reversed
    kMsgAccessReportTitle = 334,  // title and heading of the access report
    kMsgAccessReportEmpty = 335,  // no record in the range
    kMsgReportRefused = 408,      // field 100 of the refusal's record
    kMsgVirusInfoLink = 2000031,  // product catalogue: the link, one %d (virus id)
};

// The web command. Runs on the connection worker; answers the request
// completely (or drops the response when the browser has gone).
void AccessReport(CVornHTTPRequest* request);

// from and to from the form variables "FromDate" (month/day/year) or
// "FromDate-day", "-mon" and "-year"; "FromTime-hr", "-min" and "-mer" (a
// 12-hour time) or "FromTime-24hr" and "-min"; the same with "To". True
// when both are valid and from is not after to. Otherwise the error page
// with text kMsgReportBadRange has been sent, and false.
bool ReadReportRange(CVornHTTPRequest* request, CVornDate& from, CVornDate& to);

// True when permissions grant "R" followed by the first character of the
// form variable "objtype". Otherwise the request has been answered (text
// kMsgReportNoObjectType for a missing or empty "objtype"; record (3, 16, 0)
// of user and client with text kMsgReportRefused, then text
// kMsgReportNoPermission, for a refusal) and false.
bool ReportPermitted(CVornHTTPRequest* request, const CVornString& user,
                     const CVornString& permissions, const CVornString& client);

// The start of a report command: without a session, the administrator's
// login page with "action" := command; then the form's variables carried
// as hidden ones ("referer" as the hidden "what"), ReportPermitted and
// ReadReportRange. True with from and to set; false when the request has
// been answered.
bool BeginReport(CVornHTTPRequest* request, const char* command, CVornDate& from, CVornDate& to);

// Appends the record's paragraph: its time in the report format, then its
// shown fields (label, coloured text), three to a line, ending with an
// empty line. linkFormat (one %d) makes the link of a virus name from the
// record's virus id.
void AppendRecordParagraph(CActivityLogRecord& record, const char* linkFormat, CVornString& out);
