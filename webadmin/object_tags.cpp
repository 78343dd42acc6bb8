// The page tags of the object pages (see object_tags.h).
#include "webadmin/object_tags.h"

#include <string_view>
#include <vector>

#include "config/config_store.h"
#include "config/time_event.h"
#include "core/message_catalog.h"
#include "core/vorn_list.h"
#include "net/http_request.h"
#include "templates/conditions.h"
#include "templates/tag_support.h"

namespace {

// The separator of multi-valued settings and form variables.
constexpr char kValueSeparator = 0x1C;

// Event kinds of DescribeEvent.
constexpr int kEventDefault = 1;
constexpr int kEventWeekly = 2;
constexpr int kEventDated = 3;

// The table's sections in order: the kind each lists and its heading.
constexpr int kSectionKinds[] = {kEventDefault, kEventWeekly, kEventDated};
constexpr int kSectionHeadings[] = {kMsgEventSectionDefault, kMsgEventSectionWeekly,
                                    kMsgEventSectionDated};
constexpr int kSectionCount = 3;

void AppendCatalogText(CVornString& out, int number) {
    if (const char* text = GetCatalogText(number))
        out.Append(text);
}

const char* NameOrNull(CVornString& name) {
    return name.IsEmpty() ? nullptr : name.CStr();
}

// One event of the object, read once for all three sections.
struct EventRow {
    CVornString m_Id{CVornString::kUnlocked};
    int m_Kind = 0;
    CVornString m_Text{CVornString::kUnlocked};
    CVornString m_Summary{CVornString::kUnlocked};
};

std::vector<EventRow> ReadEventRows(char type, CVornString& objectName) {
    CVornStringList ids;
    (void)CVornConfigStore::ListObjectEvents(type, NameOrNull(objectName), ids);
    std::vector<EventRow> rows;
    {
        CVornLockGuard guard(ids.m_Lock);
        for (auto* node = ids.m_Head; node; node = node->m_Next) {
            rows.emplace_back();
            rows.back().m_Id.Assign(node->m_Element);
        }
    }
    for (EventRow& row : rows) {
        CVornStringMap event;
        (void)CVornConfigStore::GetEventAttributes(type, NameOrNull(objectName), row.m_Id, event);
        row.m_Kind = DescribeEvent(event, row.m_Text);
        AppendPermSummary(row.m_Summary, event);
    }
    return rows;
}

void AppendSectionHeading(CVornString& out, int number) {
    out.Append("<tr><th align=center colspan=2><font size=\"-1\">");
    AppendCatalogText(out, number);
    out.Append("</font></th></tr>\r\n");
}

// True when the event has the attribute and its value begins with first.
bool BeginsWith(const CVornStringMap& event, const char* name, char first) {
    CVornString value(CVornString::kUnlocked);
    return event.Get(name, value) && value.CharAt(0) == first;
}

}  // namespace

void EventTable(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const bool radio = HasAttribute(attributes, "radio");
    const bool skip = HasAttribute(attributes, "skipSysDefault");
    CVornString inputName(CVornString::kUnlocked);
    if (!attributes.Get("name", inputName))
        inputName.Assign("Event");
    const char type = FormVariable(request, "objtype").CharAt(0);
    CVornString objectName = FormVariable(request, "objname");
    const std::vector<EventRow> rows = ReadEventRows(type, objectName);

    CVornString out("<table width=\"100%\" border=1>", CVornString::kUnlocked);
    bool checked = false;
    for (int section = 0; section < kSectionCount; ++section) {
        const int kind = kSectionKinds[section];
        AppendSectionHeading(out, kSectionHeadings[section]);
        bool any = false;
        for (const EventRow& row : rows) {
            if (row.m_Kind != kind)
                continue;
            any = true;
            if (kind == kEventDefault && type == 'S' && skip) {
                out.Append("<tr><td>&nbsp; </td>");
            } else {
                out.Append("<tr><td align=center><input type=");
                out.Append(radio ? "radio" : "checkbox");
                out.Append(" name=\"");
                out.Append(inputName);
                out.Append("\" value=\"");
                AppendHtml(out, row.m_Id);
                out.Append('"');
                if (radio && !checked) {
                    out.Append(" checked");
                    checked = true;
                }
                out.Append("></td>\r\n");
            }
            out.Append("<td><font size=\"-1\">");
            out.Append(row.m_Text);
            out.Append(row.m_Summary);
            out.Append("</font></td></tr>\r\n");
        }
        if (!any) {
            out.Append("<tr><td align=center colspan=2><i>");
            AppendCatalogText(out, kMsgEventSectionEmpty);
            out.Append("</i></td></tr>");
        }
    }
    out.Append("</table>\r\n");
    request->Write(out);
}

void AppendPermSummary(CVornString& out, const CVornStringMap& event) {
    // Only the event's own values count, not what the object's groups add.
    int filter = kMsgFilterOther;
    if (BeginsWith(event, "FilterMode", 'A'))
        filter = kMsgFilterAll;
    else if (BeginsWith(event, "FilterMode", 'F'))
        filter = kMsgFilterOn;
    else if (BeginsWith(event, "FilterMode", 'U'))
        filter = kMsgFilterOff;
    AppendCatalogText(out, filter);
    out.Append(", ");

    if (BeginsWith(event, "AllowSMTP", '1')) {
        AppendCatalogText(out, kMsgPermMail);
        out.Append(',');
    }
    out.Append(' ');
    if (BeginsWith(event, "AllowPOP", '1')) {
        AppendCatalogText(out, kMsgPermCategory2);
        out.Append(',');
    }
    out.Append(' ');
    if (BeginsWith(event, "AllowZELORMUI", '1')) {
        AppendCatalogText(out, kMsgPermWebAccess);
        out.Append(',');
    }
    out.Append(' ');
}

void WritePermSummary(CVornHTTPRequest* request, const CVornStringMap& event) {
    CVornString out(CVornString::kUnlocked);
    AppendPermSummary(out, event);
    request->Write(out);
}

void ObjBar(CVornHTTPRequest* request) {
    switch (FormVariable(request, "objtype").CharAt(0)) {
        case 'C':
            request->Write("<img src=\"/images/english/clientbar.gif\" height=\"28\" width=\"116\">");
            break;
        case 'D':
            request->Write("<img src=\"/images/english/dictbar.gif\" height=\"28\" width=\"202\">");
            break;
        case 'G':
            request->Write("<img src=\"/images/english/castbar.gif\" height=\"28\" width=\"91\">");
            break;
        case 'L':
            request->Write("<img src=\"/images/english/listbar.gif\" height=\"28\" width=\"76\">");
            break;
        case 'S':
            request->Write("<img src=\"/images/english/systembar.gif\" height=\"28\" width=\"140\">");
            break;
        case 'U':
            request->Write("<img src=\"/images/english/userbar.gif\" height=\"28\" width=\"95\">");
            break;
        default:
            break;
    }
}

void OtherMIME(CVornHTTPRequest* request) {
    CVornString value(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get("BlockedMIMETypes", value)) {
        const char type = FormVariable(request, "objtype").CharAt(0);
        CVornString objectName = FormVariable(request, "objname");
        const CVornString eventId = FormVariable(request, "Event");
        if (CVornConfigStore::GetEventAttribute(type, NameOrNull(objectName), "BlockedMIMETypes",
                                                eventId, value) != 0) {
            value.Clear();
            if (CVornConfigStore::GetEventAttribute(
                    'S', nullptr, "BlockedMIMETypes",
                    CVornString(kDefaultEventId, CVornString::kUnlocked), value) != 0)
                return;
        }
    }

    // The text is split by hand rather than as a C string, so that a NUL
    // byte sent in the form can neither end the list early nor shorten an
    // item into one of the standard types.
    const std::string_view standard(kStandardMimeTypes);
    const std::string_view text(value.CStr(), static_cast<size_t>(value.Length()));
    CVornString out(CVornString::kUnlocked);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        while (end < text.size() && text[end] != ' ' && text[end] != kValueSeparator) ++end;
        if (end > start) {
            const std::string_view item = text.substr(start, end - start);
            if (standard.find(item) == std::string_view::npos) {
                AppendHtml(out, CVornString(item.data(), static_cast<int>(item.size()),
                                            CVornString::kUnlocked));
                out.Append(' ');
            }
        }
        start = end + 1;
    }
    request->Write(out);
}
