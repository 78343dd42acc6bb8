// The anti-virus report: for a time range, counts of the mail pipeline's
// message events and of the scan findings in the activity log, and the list
// of the viruses found with the number of findings of each and a link to
// the definitions maker's virus-information page.
//
//   RazoVidezReport    the web command "RazoVidezReport"
//   CReportKilobytes   the kilobytes of the queued messages' sizes
//   CRazoVidezCounts   the counters and the virus table of one report
//
// Bad input: as the access report (webadmin/access_report.h): the login
// page without a session, text 77 without "objtype", record (3, 16, 0) and
// text 84 without the read permission, text 177 for a bad range. A virus
// name (at most 63 bytes of the record's field) is HTML-escaped on the
// page; a finding without a name is counted but not listed; a missing or
// negative message size counts as 0.
//
// While the search runs, a line holding a single dot is sent at most every
// ten seconds; when it cannot be written or flushed (the browser has gone)
// the command stops at once and drops the response.
//
// Threads: the web server's connection workers, any number at once; the
// report takes no lock of the web administration, and its counts belong to
// the one request.
#pragma once

#include "core/hash_table.h"

class CActivityLogRecord;
class CVornHTTPRequest;

// The virus-information link: "http://", the maker's host, then the page's
// path and query with the virus id in place of %d. The maker of this system's
// definitions publishes no such pages, so the host is a reserved name that
// leads nowhere rather than one a stranger could own.
constexpr const char* kVirusInfoHost = "virusinfo.quorvane.example";
constexpr const char* kVirusInfoPath = "/avcenter/venc/ebld/enc.cgi?vid=%d&lang=us";

// Catalogue numbers of the anti-virus report (base catalogue).
enum : int {
    kMsgVirusReportTitle = 848,
    kMsgVirusReportHeading = 849,
    kMsgVirusReportStatistics = 850,  // heading of the message counts
    kMsgVirusReportMessages = 851,
    kMsgVirusReportKilobytes = 852,
    kMsgVirusReportErrors = 853,
    kMsgVirusReportReturned = 854,
    kMsgVirusReportDelivered = 856,
    kMsgVirusReportDeferred = 857,
    kMsgVirusReportFinished = 858,
    kMsgVirusReportFindings = 859,  // heading of the finding counts
    kMsgVirusReportRepaired = 860,
    kMsgVirusReportDeleted = 861,
    kMsgVirusReportQuarantined = 862,
    kMsgVirusReportLeft = 863,
    kMsgVirusReportList = 864,  // heading of the virus list
    kMsgVirusReportNameColumn = 865,
    kMsgVirusReportCountColumn = 866,
    kMsgVirusReportBlocked = 870,
    kMsgVirusReportAllFindings = 284,
};

void RazoVidezReport(CVornHTTPRequest* request);

// Kilobytes of a sum of sizes: the bytes are carried into whole kilobytes
// whenever they exceed 1024, and a remainder of 512 bytes or more counts as
// one more kilobyte at the end.
class CReportKilobytes {
public:
    // A negative size counts as 0.
    void Add(long long size);
    // The kilobytes so far, the remainder rounded.
    unsigned long Kilobytes() const;

private:
    unsigned long m_Kilobytes = 0;
    long long m_Bytes = 0;  // below 1025 between additions
};

// One entry of the virus table.
struct CRazoVidezVirus {
    int m_Id = 0;     // the virus id of the name's first finding
    int m_Count = 0;  // the name's findings
};

// The counts of one report, by the event id (field 2) of each record read.
class CRazoVidezCounts {
public:
    // Counts one record of the search.
    void Count(CActivityLogRecord& record);

    unsigned long m_Messages = 0;     // 5 message queued
    CReportKilobytes m_Kilobytes;     // 5, its field 23
    unsigned long m_Delivered = 0;    // 6
    unsigned long m_Returned = 0;     // 7
    unsigned long m_Errors = 0;       // 19
    unsigned long m_Finished = 0;     // 20
    unsigned long m_Deferred = 0;     // 21
    unsigned long m_Left = 0;         // 300
    unsigned long m_Repaired = 0;     // 301
    unsigned long m_Deleted = 0;      // 302
    unsigned long m_Findings = 0;     // 300, 301 and 302
    unsigned long m_Quarantined = 0;  // 303 with field 3 = 1
    unsigned long m_Blocked = 0;      // 305
    // Virus name (case counts) -> its entry, in the table's own order.
    CVornMap<CRazoVidezVirus> m_Viruses;
};
