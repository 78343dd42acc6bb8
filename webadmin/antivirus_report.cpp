// The anti-virus report (see webadmin/antivirus_report.h).
#include "webadmin/antivirus_report.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "config/activity_log.h"
#include "config/activity_search.h"
#include "core/clock.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "net/http_request.h"
#include "templates/hidden_vars.h"
#include "templates/tag_support.h"
#include "webadmin/access_report.h"
#include "webadmin/page_tags.h"
#include "webadmin/web_pages.h"

namespace {

// Event ids (field 2) the report counts.
enum : int {
    kEventQueued = 5,
    kEventDelivered = 6,
    kEventReturned = 7,
    kEventLocalError = 19,
    kEventFinished = 20,
    kEventDeferred = 21,
    kEventLeft = 300,
    kEventRepaired = 301,
    kEventDeleted = 302,
    kEventQuarantineSend = 303,
    kEventBlocked = 305,
};

const int kEventField = 2;
const int kStatusField = 3;
const int kSizeField = 23;
const int kMessageField = 52;
const int kVirusNameField = 1100;
const int kVirusIdField = 1101;
const int kObjectField = 1102;
const int kStatusSent = 1;
// The virus table's key: at most this many bytes of the name, and its NUL.
const int kVirusNameSize = 64;
// Seconds of searching between two dot lines.
const time_t kDotInterval = 10;

const char* const kFont = "<font size=2 face=\"Arial, Helvetica\">";
const char* const kSpacerRow = "<tr><td>&nbsp;</td></tr>";
const char* const kRuleRow = "<tr><td colspan=3><hr></td></tr>";

CVornString catalogText(int number) {
    const char* text = GetCatalogText(number);
    return CVornString(text ? text : "", CVornString::kUnlocked);
}

void appendHeadingRow(CVornString& out, int number) {
    out.Append("<tr><td align=center colspan=3>");
    out.Append(kFont);
    out.Append("<b>");
    out.Append(catalogText(number));
    out.Append("</b></font></td></tr>");
}

// A row of a label and a value; the column row of the virus list ends in
// "</th></tr>".
void appendRow(CVornString& out, const CVornString& label, const char* value,
               const char* end = "</td></tr>") {
    out.Append("<tr><td align=left>");
    out.Append(kFont);
    out.Append(label);
    out.Append("</font></td><td width=10>&nbsp;</td><td align=right>");
    out.Append(kFont);
    out.Append(value);
    out.Append("</font>");
    out.Append(end);
}

void appendCounterRow(CVornString& out, int number, unsigned long value) {
    char text[32];
    snprintf(text, sizeof text, "%lu", value);
    appendRow(out, catalogText(number), text);
}

void appendVirusRow(CVornString& out, const CVornString& name, const CRazoVidezVirus& virus) {
    CVornString format("http://", CVornString::kUnlocked);
    format.Append(kVirusInfoHost);
    format.Append(kVirusInfoPath);
    CVornString link(CVornString::kUnlocked);
    link.Format(format.CStr(), virus.m_Id);
    out.Append("<tr><td align=left>");
    out.Append(kFont);
    out.Append("<a href=\"");
    out.Append(link);
    out.Append("\" target=\"new\">");
    // The name is the engine's, read back from a file: escaped like every
    // other text of the log.
    AppendHtml(out, name);
    out.Append("</a></font></td><td width=10>&nbsp;</td><td align=right>");
    out.Append(kFont);
    char count[32];
    snprintf(count, sizeof count, "%d", virus.m_Count);
    out.Append(count);
    out.Append("</font></td></tr>");
}

// The date in the report format.
CVornString reportDate(const CVornDate& date) {
    CVornString text(CVornString::kUnlocked);
    date.FormatReport(text);
    return text;
}

}  // namespace

void CReportKilobytes::Add(long long size) {
    if (size > 0)
        m_Bytes += size;
    if (m_Bytes > 1024) {
        m_Kilobytes += static_cast<unsigned long>(m_Bytes / 1024);
        m_Bytes %= 1024;
    }
}

unsigned long CReportKilobytes::Kilobytes() const {
    return m_Kilobytes + (m_Bytes >= 512 ? 1 : 0);
}

void CRazoVidezCounts::Count(CActivityLogRecord& record) {
    int event = 0;
    if (!record.GetFieldNumber(kEventField, event))
        return;
    switch (event) {
        case kEventQueued: {
            ++m_Messages;
            char size[kVirusNameSize] = "";
            (void)record.GetField(kSizeField, size, sizeof size);
            m_Kilobytes.Add(strtoll(size, nullptr, 10));
            return;
        }
        case kEventDelivered:
            ++m_Delivered;
            return;
        case kEventReturned:
            ++m_Returned;
            return;
        case kEventLocalError:
            ++m_Errors;
            return;
        case kEventFinished:
            ++m_Finished;
            return;
        case kEventDeferred:
            ++m_Deferred;
            return;
        case kEventLeft:
            ++m_Left;
            break;
        case kEventRepaired:
            ++m_Repaired;
            break;
        case kEventDeleted:
            ++m_Deleted;
            break;
        case kEventQuarantineSend:
            if (record.FieldEquals(kStatusField, kStatusSent))
                ++m_Quarantined;
            return;
        case kEventBlocked:
            ++m_Blocked;
            return;
        default:
            return;
    }
    // A finding: 300, 301 or 302.
    ++m_Findings;
    char name[kVirusNameSize] = "";
    (void)record.GetField(kVirusNameField, name, sizeof name);
    if (name[0] == '\0')
        return;
    CRazoVidezVirus* virus = nullptr;
    if (m_Viruses.Get(name, &virus)) {
        ++virus->m_Count;
        return;
    }
    virus = new CRazoVidezVirus;
    (void)record.GetFieldNumber(kVirusIdField, virus->m_Id);
    virus->m_Count = 1;
    m_Viruses.Insert(CVornString(name, CVornString::kUnlocked), virus,
                     &DeleteObject<CRazoVidezVirus>);
}

void RazoVidezReport(CVornHTTPRequest* request) {
    CVornDate from;
    CVornDate to;
    if (!BeginReport(request, "RazoVidezReport", from, to))
        return;

    CVornStringMap attributes;
    attributes.Set("title", catalogText(kMsgVirusReportTitle));
    AdminHeader(request, attributes);
    time_t last = Now();

    // A record is read when it names an object or a message, or is a local
    // error: every event the report counts is one of these.
    CActivityLogCriteria group;
    group.AddPresent(kObjectField);
    group.AddPresent(kMessageField);
    group.AddEquals(kEventField, kEventLocalError);
    CActivityLogCriteriaList criteria;
    criteria.AddGroup(group);
    CVornString directory(CVornString::kUnlocked);
    ActivityLogGetDirectory(directory);
    CActivityLogSearch search(from, to, criteria, directory.CStr());
    CActivityLogRecord record;
    CRazoVidezCounts counts;
    for (int result = search.Next(record); result != 1; result = search.Next(record)) {
        if (Now() - last > kDotInterval) {
            // The browser keeps the connection while the search runs; one
            // that has gone ends the report, so no worker searches for it.
            if (request->Write("\r\n.\r\n") < 0 || !request->Flush()) {
                request->Abandon();
                return;
            }
            last = Now();
        }
        if (result == 0)
            counts.Count(record);
    }

    request->Write("<br>");
    CVornString text("<center><font size=3 face=\"Arial, Helvetica\"><b>", CVornString::kUnlocked);
    text.Append(catalogText(kMsgVirusReportHeading));
    text.Append("</b></font><hr width=\"75%\"><font face=\"Arial, Helvetica\" size=-1>");
    text.Append(reportDate(from));
    text.Append(" - ");
    text.Append(reportDate(to));
    text.Append("</font><br><br><font size=-1>");
    request->Write(text);

    text.Assign("\r\n<table border=0>");
    appendHeadingRow(text, kMsgVirusReportStatistics);
    text.Append(kSpacerRow);
    appendCounterRow(text, kMsgVirusReportMessages, counts.m_Messages);
    appendCounterRow(text, kMsgVirusReportKilobytes, counts.m_Kilobytes.Kilobytes());
    appendCounterRow(text, kMsgVirusReportErrors, counts.m_Errors);
    appendCounterRow(text, kMsgVirusReportReturned, counts.m_Returned);
    appendCounterRow(text, kMsgVirusReportDelivered, counts.m_Delivered);
    appendCounterRow(text, kMsgVirusReportDeferred, counts.m_Deferred);
    appendCounterRow(text, kMsgVirusReportFinished, counts.m_Finished);
    appendCounterRow(text, kMsgVirusReportBlocked, counts.m_Blocked);
    text.Append("</table><br><br>");

    text.Append("\r\n<table border=0>");
    appendHeadingRow(text, kMsgVirusReportFindings);
    text.Append(kSpacerRow);
    appendCounterRow(text, kMsgVirusReportLeft, counts.m_Left);
    appendCounterRow(text, kMsgVirusReportRepaired, counts.m_Repaired);
    appendCounterRow(text, kMsgVirusReportDeleted, counts.m_Deleted);
    text.Append(kRuleRow);
    appendCounterRow(text, kMsgVirusReportAllFindings, counts.m_Findings);
    text.Append("<tr><td colspan=3>&nbsp;</td></tr>");
    appendCounterRow(text, kMsgVirusReportQuarantined, counts.m_Quarantined);
    text.Append("</table>");

    if (counts.m_Viruses.Count() > 0) {
        text.Append("<br><br>\r\n<table border=0>");
        appendHeadingRow(text, kMsgVirusReportList);
        text.Append(kSpacerRow);
        CVornString countColumn = catalogText(kMsgVirusReportCountColumn);
        appendRow(text, catalogText(kMsgVirusReportNameColumn), countColumn.CStr(), "</th></tr>");
        text.Append(kRuleRow);
        CVornString name(CVornString::kUnlocked);
        void* value = nullptr;
        for (bool more = counts.m_Viruses.First(name, &value); more;
             more = counts.m_Viruses.Next(name, &value))
            appendVirusRow(text, name, *static_cast<CRazoVidezVirus*>(value));
        text.Append("</table>");
    }
    text.Append("</font>");
    request->Write(text);
    request->Finish();
}
