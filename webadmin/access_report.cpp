// The access report and the parts both reports share (see
// webadmin/access_report.h).
#include "webadmin/access_report.h"

#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/activity_log.h"
#include "config/activity_search.h"
#include "core/clock.h"
#include "core/code_page.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "net/http_request.h"
#include "net/mime.h"
#include "templates/conditions.h"
#include "templates/hidden_vars.h"
#include "templates/tag_support.h"
#include "webadmin/page_tags.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

// The fields a paragraph shows, in this order, when the record has them.
// Field 1101 (the virus id) only makes the link of field 1100.
const int kShownFields[] = {2,  3,  11,  12,  20,  21,  22,  23,   52,   50,   51,
                            40, 41, 105, 100, 101, 111, 110, 1100, 1102, 1200, 1104};
const int kEventField = 2;
const int kStatusField = 3;
const int kClassProblemField = 105;
const int kVirusNameField = 1100;
const int kVirusIdField = 1101;
// Fields whose text may hold RFC 2047 encoded words (addresses, subject,
// object path).
const int kEncodedFields[] = {20, 21, 22, 1102};
// Events shown as warnings and as alarms.
const int kWarningEvents[] = {7, 8, 21};
const int kAlarmEvents[] = {14, 16, 18, 26, 300, 301, 302, 303, 305};
const int kStatusFailed = 2;

const char* const kGreen = "<font color=#008800>";
const char* const kOrange = "<font color=#FF8429>";
const char* const kRed = "<font color=#DD0000>";
const char* const kBlue = "<font color=#0000AA>";

// The record of a refusal: (3, 16, 0) with the text in field 100.
const int kRefusalClass = 3;
const int kRefusalEvent = 16;
const int kTextField = 100;

// Numbers of the form are cut to this bound: far beyond any part of a date
// or time, so a cut number still makes an impossible one, and packing it
// (x 10000) cannot overflow.
const long kNumberBound = 100000;

template <size_t N>
bool IsOneOf(int value, const int (&list)[N]) {
    return std::find(list, list + N, value) != list + N;
}

// The form variable name read as a decimal number, as atoi reads it but
// within kNumberBound. False when the variable is absent.
bool readNumber(CVornHTTPRequest* request, const char* name, int& out) {
    CVornString value(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get(name, value))
        return false;
    long n = strtol(value.CStr(), nullptr, 10);
    out = static_cast<int>(std::clamp(n, -kNumberBound, kNumberBound));
    return true;
}

// One end of the range: the packed date and time of the form variables
// prefix + "Date..." and timePrefix + "Time..."; -1 where one is missing,
// 0 for a date that is not a date.
void readPoint(CVornHTTPRequest* request, const std::string& datePrefix,
               const std::string& timePrefix, int& date, int& time) {
    date = -1;
    time = -1;
    CVornString text(CVornString::kUnlocked);
    if (request->m_FormVariables.Get(datePrefix.c_str(), text)) {
        // Present but empty: the range is invalid, whatever the selects say.
        if (!text.IsEmpty())
            ParseSlashDate(text, &date);
    } else {
        int day = 0, month = 0, year = 0;
        if (readNumber(request, (datePrefix + "-day").c_str(), day) &&
            readNumber(request, (datePrefix + "-mon").c_str(), month) &&
            readNumber(request, (datePrefix + "-year").c_str(), year)) {
            text.Format("%d/%d/%d", month, day, year);
            ParseSlashDate(text, &date);
        }
    }

    int hour = 0, minute = 0;
    if (readNumber(request, (timePrefix + "-hr").c_str(), hour)) {
        // A 12-hour time means nothing without its AM or PM.
        (void)readNumber(request, (timePrefix + "-min").c_str(), minute);
        CVornString marker(CVornString::kUnlocked);
        if (request->m_FormVariables.Get((timePrefix + "-mer").c_str(), marker)) {
            int packed = 0;
            PackDate(hour, minute, 0, &packed);
            To24Hour(packed, marker, &time);
        }
    } else if (readNumber(request, (timePrefix + "-24hr").c_str(), hour) &&
               readNumber(request, (timePrefix + "-min").c_str(), minute)) {
        PackDate(hour, minute, 0, &time);
    }
}

// The record's text of a shown field, ready for the page.
void appendFieldText(int key, const CVornString& text, CVornString& out) {
    if (!IsOneOf(key, kEncodedFields)) {
        AppendHtml(out, text);
        return;
    }
    // Decoding never makes a text longer, nor does the conversion of
    // ISO-2022-JP to Shift-JIS (which drops the escape sequences).
    std::vector<char> decoded(static_cast<size_t>(text.Length()) + 1);
    CVornString copy(text, CVornString::kUnlocked);
    DecodeEncodedWords(decoded.data(), static_cast<unsigned>(decoded.size()), copy.CStr(), nullptr,
                       nullptr, false);
    if (CVornCodePage::IsIso2022jp(decoded.data()))
        CVornCodePage::Iso2022jpToSjis(decoded.data(), decoded.data(), decoded.size());
    // The converted text is escaped like any other: a subject is the
    // sender's to choose, in any character set. No Shift-JIS or EUC-JP
    // trail byte is one of the escaped characters.
    AppendHtml(out, CVornString(decoded.data(), CVornString::kUnlocked));
}

const char* colourOf(int key, CActivityLogRecord& record) {
    int value = 0;
    switch (key) {
        case kEventField:
            (void)record.GetFieldNumber(kEventField, value);
            if (IsOneOf(value, kWarningEvents))
                return kOrange;
            return IsOneOf(value, kAlarmEvents) ? kRed : kGreen;
        case kStatusField:
            (void)record.GetFieldNumber(kStatusField, value);
            return value == kStatusFailed ? kRed : kGreen;
        case kClassProblemField:
            return kOrange;
        case kVirusNameField:
            return kBlue;
        default:
            return kGreen;
    }
}

// The criteria of the form: "Actions" (event ids joined by 0x1C) and
// "Search" (a text some field must contain).
void readCriteria(CVornHTTPRequest* request, CActivityLogCriteriaList& criteria) {
    CVornString value(CVornString::kUnlocked);
    if (request->m_FormVariables.Get("Actions", value) && !value.IsEmpty()) {
        CActivityLogCriteria actions;
        const std::string text(value.CStr(), static_cast<size_t>(value.Length()));
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(kFormValueSeparator, start);
            if (end == std::string::npos)
                end = text.size();
            // Runs of separators count as one: no empty items.
            if (end > start)
                actions.AddEquals(kEventField, atoi(text.substr(start, end - start).c_str()));
            start = end + 1;
        }
        if (!actions.IsEmpty())
            criteria.AddGroup(actions);
    }
    if (request->m_FormVariables.Get("Search", value) && !value.IsEmpty()) {
        value.TrimRight(" \t\r\n");
        CActivityLogCriteria search;
        search.AddContains(value.CStr());
        criteria.AddGroup(search);
    }
}

// The response of a report whose browser may go away: after the first
// write or flush that fails nothing more is sent, since a browser that
// stopped reading would hold each later write for the send time-out.
class ReportOutput {
public:
    explicit ReportOutput(CVornHTTPRequest* request) : m_Request(request) {}

    void Write(const CVornString& text) {
        if (!m_Broken && m_Request->Write(text) < 0)
            m_Broken = true;
    }
    void Flush() {
        if (!m_Broken && !m_Request->Flush())
            m_Broken = true;
    }
    // The browser has gone away (or the server stopped and shut the
    // connection down).
    bool Broken() const { return m_Broken; }
    // Finishes the response; one that broke is dropped instead.
    void End() {
        if (m_Broken)
            m_Request->Abandon();
        else
            m_Request->Finish();
    }

private:
    CVornHTTPRequest* m_Request;
    bool m_Broken = false;
};

CVornString catalogText(int number) {
    const char* text = GetCatalogText(number);
    return CVornString(text ? text : "", CVornString::kUnlocked);
}

}  // namespace

bool ReadReportRange(CVornHTTPRequest* request, CVornDate& from, CVornDate& to) {
    int fromDate = -1, fromTime = -1, toDate = -1, toTime = -1;
    readPoint(request, "FromDate", "FromTime", fromDate, fromTime);
    readPoint(request, "ToDate", "ToTime", toDate, toTime);
    // SetPacked answers 1 for an impossible date or time (and sets the
    // present moment): such a range is refused rather than read from now.
    if (fromDate > 0 && toDate > 0 && fromTime >= 0 && toTime >= 0 &&
        from.SetPacked(fromDate, fromTime) == 0 && to.SetPacked(toDate, toTime) == 0 &&
        from.Compare(to) <= 0)
        return true;
    ShowErrorMessage(request, kMsgReportBadRange);
    return false;
}

bool ReportPermitted(CVornHTTPRequest* request, const CVornString& user,
                     const CVornString& permissions, const CVornString& client) {
    CVornString objectType(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get("objtype", objectType) || objectType.IsEmpty()) {
        // Without an object type the permission to ask for is unknown.
        ShowErrorMessage(request, kMsgReportNoObjectType);
        return false;
    }
    CVornString pair("R", CVornString::kUnlocked);
    pair.Append(objectType.CStr(), 1);
    if (MatchPerms(pair, permissions))
        return true;
    CVornStringMap record;
    CVornString userName(user, CVornString::kUnlocked);
    CVornString address(client, CVornString::kUnlocked);
    ActivityRecordStart(record, kRefusalClass, kRefusalEvent, 0, userName.CStr(), address.CStr());
    ActivityRecordSetText(record, kTextField, GetCatalogText(kMsgReportRefused));
    ActivityLogWrite(record);
    ShowErrorMessage(request, kMsgReportNoPermission);
    return false;
}

void AppendRecordParagraph(CActivityLogRecord& record, const char* linkFormat, CVornString& out) {
    CVornDate when;
    (void)when.SetPacked(record.m_Date, record.m_Time);
    CVornString text(CVornString::kUnlocked);
    when.FormatReport(text);
    out.Append(text);
    out.Append("&nbsp;&nbsp;");

    CVornString label(CVornString::kUnlocked);
    int shown = 0;
    for (int key : kShownFields) {
        if (record.DescribeField(key, label, text)) {
            out.Append(label);
            out.Append(": ");
            out.Append(colourOf(key, record));
            if (key == kVirusNameField) {
                int id = 0;
                (void)record.GetFieldNumber(kVirusIdField, id);
                CVornString link(CVornString::kUnlocked);
                link.Format(linkFormat, id);
                out.Append("<a href=\"");
                out.Append(link);
                out.Append("\" target=\"new\">");
            }
            appendFieldText(key, text, out);
            if (key == kVirusNameField)
                out.Append("</a>");
            out.Append("</font>&nbsp;&nbsp;");
            ++shown;
        }
        if (shown == 3) {
            out.Append("<br>");
            shown = 0;
        }
    }
    out.Append(shown != 0 ? "<br><br>" : "<br>");
}

bool BeginReport(CVornHTTPRequest* request, const char* command, CVornDate& from, CVornDate& to) {
    CVornString user(CVornString::kUnlocked);
    CVornString permissions(CVornString::kUnlocked);
    if (CheckSession(request, user, permissions)) {
        request->m_FormVariables.Set("action", CVornString(command, CVornString::kUnlocked));
        IssueLogin(request, kAdminLoginPage);
        return false;
    }
    CVornString client(CVornString::kUnlocked);
    request->GetClientAddress(client);
    KeepAllHiddenVars(request);
    KeepHiddenVarAs(request, "referer", "what");
    return ReportPermitted(request, user, permissions, client) &&
           ReadReportRange(request, from, to);
}

void AccessReport(CVornHTTPRequest* request) {
    if (DefaultIfNoParams(request))
        return;
    CVornDate from;
    CVornDate to;
    if (!BeginReport(request, "AccessReport", from, to))
        return;
    CActivityLogCriteriaList criteria;
    readCriteria(request, criteria);

    const CVornString title = catalogText(kMsgAccessReportTitle);
    CVornStringMap attributes;
    attributes.Set("title", title);
    AdminHeader(request, attributes);
    ReportOutput output(request);
    CVornString text("<center><FONT FACE=\"Arial, Helvetica\" SIZE=3><B>", CVornString::kUnlocked);
    text.Append(title);
    text.Append("</FONT></B><hr width=\"75%\"></center><font size=-1 face=\"Arial, Helvetica\">");
    output.Write(text);

    CProductMessageCatalog catalog;
    const char* found = catalog.GetText(kMsgVirusInfoLink);
    CVornString linkFormat(found ? found : "", CVornString::kUnlocked);

    CVornString directory(CVornString::kUnlocked);
    ActivityLogGetDirectory(directory);
    CActivityLogSearch search(from, to, criteria, directory.CStr());
    CActivityLogRecord record;
    bool shown = false;
    // The search ends with the range, or once nobody reads any more: a
    // browser that went away, or a stopping server, which shuts its
    // connections down and must not wait for a long range to be read.
    while (!output.Broken()) {
        const int result = search.Next(record);
        if (result == 1)
            break;
        if (result == 2) {
            // Thirty seconds without a match: something for the browser, so
            // that it keeps the connection.
            output.Write(CVornString("...<br><br>", CVornString::kUnlocked));
            output.Flush();
            continue;
        }
        text.Clear();
        AppendRecordParagraph(record, linkFormat.CStr(), text);
        output.Write(text);
        output.Flush();
        shown = true;
    }

    text.Assign("</table></font>");
    if (!shown) {
        text.Append("<i>");
        text.Append(catalogText(kMsgAccessReportEmpty));
        text.Append("</i><br>");
    }
    output.Write(text);
    output.End();
}
