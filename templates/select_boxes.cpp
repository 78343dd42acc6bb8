// The selection boxes and date-time entries; see templates/select_boxes.h.
#include "templates/select_boxes.h"

#include <algorithm>
#include <vector>

#include "config/config_store.h"
#include "config/users.h"
#include "core/clock.h"
#include "core/compare_no_case.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "core/vorn_list.h"
#include "net/host_address.h"
#include "net/http_request.h"
#include "templates/conditions.h"
#include "templates/tag_support.h"

namespace {

// Search modes of the searchable user list (form field UserSearchBy).
enum : int {
    kSearchNone = 1,
    kSearchAll = 2,
    kSearchAccountStarts = 3,
    kSearchAccountContains = 4,
    kSearchLastNameStarts = 5,
    kSearchLastNameContains = 6,
    kSearchFullNameStarts = 7,
    kSearchFullNameContains = 8,
};

const char* const kSearchModeLabels[] = {
    "Show none",
    "Show all",
    "Accounts Starting With",
    "Accounts Containing",
    "Last Names Starting With",
    "Last Names Containing",
    "Full Names Starting With",
    "Full Names Containing",
};

// The bytes an ObjBox reserves for one option.
constexpr int kOptionReserve = 4096;

// The display label of an object type letter in an ObjBox; the system
// object is no choice there.
CVornString TypeLabel(char type) {
    const char* text = type == 'S' ? nullptr : ObjectTypeName(type);
    if (text == nullptr)
        text = GetCatalogText(kMsgObjTypeOther);
    return CVornString(text, CVornString::kUnlocked);
}

// A private copy of a sorted name list.
std::vector<CVornString> Names(CVornSortedList<CVornString>& list) {
    std::vector<CVornString> names;
    CVornLockGuard guard(list.m_List.m_Lock);
    for (auto* node = list.m_List.m_Head; node; node = node->m_Next)
        names.emplace_back(node->m_Element, CVornString::kUnlocked);
    return names;
}

int SettingInt(const char* name) {
    CVornString value(CVornString::kUnlocked);
    if (CVornConfigStore::GetObjectSetting('S', nullptr, name, value) != 0)
        return 0;
    return value.ToInt();
}

const char* NameOrNull(CVornString& name) {
    return name.IsEmpty() ? nullptr : name.CStr();
}

// The last blank-separated word of a full name.
CVornString LastWord(const CVornString& fullName) {
    CVornString word(fullName, CVornString::kUnlocked);
    word.TrimRight(" ");
    int cut = -1;
    for (int i = 0; i < word.Length(); i = word.NextCharPos(i))
        if (word.CharAt(i) == ' ')
            cut = i;
    if (cut >= 0) {
        CVornString left(CVornString::kUnlocked);
        CVornString right(CVornString::kUnlocked);
        word.SplitAt(cut, left, right);
        right.KeepRight(right.Length() - 1);
        return right;
    }
    return word;
}

// The user filter of search modes 3 to 8 (letter case ignored); an empty
// search text lets everything pass.
bool PassesSearch(int mode, const CVornString& search, const CVornString& account,
                  const CVornString& fullName) {
    if (search.IsEmpty())
        return true;
    CVornString text(search, CVornString::kUnlocked);
    switch (mode) {
        case kSearchAccountStarts:
            return account.StartsWith(text, 0);
        case kSearchAccountContains:
            return account.Contains(text.CStr(), 0);
        case kSearchLastNameStarts:
            return LastWord(fullName).StartsWith(text, 0);
        case kSearchLastNameContains:
            return LastWord(fullName).Contains(text.CStr(), 0);
        case kSearchFullNameStarts:
            return fullName.StartsWith(text, 0);
        case kSearchFullNameContains:
            return fullName.Contains(text.CStr(), 0);
        default:
            return true;
    }
}

// The full name shown beside a user (empty when it has none).
CVornString UserFullName(const CVornString& user) {
    CVornString fullName(CVornString::kUnlocked);
    if (CVornConfigStore::IsVirtualUser(user)) {
        CVornString name(user, CVornString::kUnlocked);
        CVornConfigStore::GetObjectSetting('U', name.CStr(), "RealName", fullName);
        return fullName;
    }
    CVornString account(CVornString::kUnlocked);
    if (CVornConfigStore::GetUserRealAccount(user, account) && !account.IsEmpty())
        GetAccountFullName(account.CStr(), fullName);
    return fullName;
}

// The host name of a client named by a dotted quad, or false.
bool ClientHostName(const CVornString& client, CVornString& hostName) {
    int address = 0;
    if (!ParseDottedQuad(client, &address))
        return false;
    CVornHostAddress host(static_cast<uint32_t>(address), 0);
    return host.GetCanonicalName(hostName);
}

// The search form below a searchable user list. The submit input is left
// open: the page text after the tag closes it.
void WriteSearchForm(CVornHTTPRequest* request, int mode, const CVornString& search) {
    CVornString out(CVornString::kUnlocked);
    out.Append("<br><select size=1 name=UserSearchBy>\r\n");
    for (int n = kSearchNone; n <= kSearchFullNameContains; ++n) {
        out.Append("<option value=");
        out.AppendInt(n);
        out.Append(n == mode ? " selected>" : ">");
        out.Append(kSearchModeLabels[n - 1]);
    }
    out.Append("</select><input size=12 type=text name=UserSearchArg value=\"");
    AppendHtml(out, search);
    out.Append("\"> <input type=submit name=UserSearchSubmit value=\"Search\"");
    request->Write(out);
}

// A select of a date or time part: "<select size=1 name="field">" CR LF.
void WritePartSelectStart(CVornHTTPRequest* request, const CVornString& field) {
    CVornString out("<select size=1 name=\"", CVornString::kUnlocked);
    AppendHtml(out, field);
    out.Append("\">\r\n");
    request->Write(out);
}

CVornString Suffixed(const CVornString& name, const char* suffix) {
    CVornString field(name, CVornString::kUnlocked);
    field.Append(suffix);
    return field;
}

// The integer of the event attribute N of the page's object and event
// (useevent); false when the attribute does not exist.
bool EventValue(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& name,
                int* out) {
    if (!HasAttribute(attributes, "useevent") || !HasFormVariable(request, "Event"))
        return false;
    CVornString objectName = FormVariable(request, "objname");
    CVornString attribute(name, CVornString::kUnlocked);
    CVornString value(CVornString::kUnlocked);
    if (CVornConfigStore::GetEventAttribute(FormVariable(request, "objtype").CharAt(0),
                                            NameOrNull(objectName), attribute.CStr(),
                                            FormVariable(request, "Event"), value) != 0)
        return false;
    *out = value.ToInt();
    return true;
}

// The three selects of a date, in the order the attribute 3datecombos names
// them ('D', 'M', 'Y'; other characters are ignored).
void WriteDateSelects(CVornHTTPRequest* request, CVornStringMap& attributes,
                      const CVornString& name, const CVornString& order, int year, int month,
                      int day) {
    const CVornString dayTag = AttributeValue(attributes, "daytag");
    const CVornString monthTag = AttributeValue(attributes, "monthtag");
    const CVornString yearTag = AttributeValue(attributes, "yeartag");
    CVornString out(CVornString::kUnlocked);
    CVornString number(CVornString::kUnlocked);
    for (int i = 0; i < order.Length(); ++i) {
        const char part = order.CharAt(i);
        int first = 0, last = 0, selected = 0;
        const CVornString* tag = nullptr;
        const char* suffix = nullptr;
        if (part == 'D') {
            first = 1, last = 31, selected = day, tag = &dayTag, suffix = "-day";
        } else if (part == 'M') {
            first = 1, last = 12, selected = month, tag = &monthTag, suffix = "-mon";
        } else if (part == 'Y') {
            first = 1995, last = 2099, selected = year, tag = &yearTag, suffix = "-year";
        } else {
            continue;
        }
        WritePartSelectStart(request, Suffixed(name, suffix));
        out.Clear();
        for (int value = first; value <= last; ++value) {
            number.Format("%02d", value);
            out.Append("<option value=");
            out.Append(number);
            out.Append(value == selected ? " selected>" : ">");
            if (part == 'D')
                out.Append(number);
            else if (part == 'M')
                out.Append(CatalogTextOf(kMonthTextBase + value));
            else
                out.Append(CatalogTextOf(value - kYearTextOffset));
            out.Append(*tag);
        }
        out.Append("</select>\r\n");
        request->Write(out);
    }
}

}  // namespace

const char* ObjectTypeName(char type) {
    switch (type) {
        case 'C':
            return GetCatalogText(kMsgObjTypeClient);
        case 'D':
            return GetCatalogText(kMsgObjTypeDictionary);
        case 'G':
            return GetCatalogText(kMsgObjTypeGroup);
        case 'L':
            return GetCatalogText(kMsgObjTypeList);
        case 'S':
            return GetCatalogText(kMsgObjTypeSystem);
        case 'U':
            return GetCatalogText(kMsgObjTypeUser);
        default:
            return nullptr;
    }
}

void WriteSelectStart(CVornHTTPRequest* request, CVornStringMap& attributes) {
    CVornString out("<select name=\"", CVornString::kUnlocked);
    AppendHtml(out, BoxName(attributes));
    out.Append("\" size=\"");
    CVornString size(CVornString::kUnlocked);
    out.AppendInt(attributes.Get("size", size) ? size.ToInt() : 1);
    out.Append("\" ");
    if (HasAttribute(attributes, "multiple"))
        out.Append("multiple");
    out.Append(">\r\n");
    request->Write(out);
}

void ObjBox(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user) {
    WriteSelectStart(request, attributes);
    CVornString name = BoxName(attributes);

    int mode = kSearchAll;
    bool searchForm = false;
    CVornString search(CVornString::kUnlocked);
    if (HasAttribute(attributes, "searchable")) {
        const int searchable = SettingInt("SearchableUserBox");
        if (searchable > 0) {
            searchForm = true;
            mode = searchable;
            CVornString by(CVornString::kUnlocked);
            if (request->m_FormVariables.Get("UserSearchBy", by))
                mode = by.ToInt();
            search = FormVariable(request, "UserSearchArg");
        }
    }
    if (mode < 0 || mode > kSearchFullNameContains)
        mode = kSearchAll;
    const bool fullNames = SettingInt("ShowFullNames") > 0;

    if (HasAttribute(attributes, "insertblank"))
        request->Write("<option>\r\n");

    const bool excludeAuth = HasAttribute(attributes, "excludeAuth");
    const bool excludeSpecial = HasAttribute(attributes, "excludeSpecial");
    const bool localOnly = HasAttribute(attributes, "localonly");
    const bool selectedAtTop = HasAttribute(attributes, "selectedAtTop");
    const CVornString maskAttr = AttributeValue(attributes, "maskattr");
    CVornString maskOp(CVornString::kUnlocked);
    CVornString maskOperand(CVornString::kUnlocked);
    {
        CVornString maskName = AttributeValue(attributes, "maskname");
        int blank = maskName.Find(' ');
        if (blank < 0) {
            maskOp = maskName;
        } else {
            maskName.SplitAt(blank, maskOp, maskOperand);
            maskOperand.TrimLeft(" ");
        }
    }

    // The preselected value: each source that finds one replaces the last.
    CVornString preselected(CVornString::kUnlocked);
    const char pageType = FormVariable(request, "objtype").CharAt(0);
    CVornString pageObject = FormVariable(request, "objname");
    if (HasAttribute(attributes, "useobjvalue")) {
        CVornString value(CVornString::kUnlocked);
        if (CVornConfigStore::GetObjectSetting(pageType, NameOrNull(pageObject), name.CStr(),
                                               value) == 0)
            preselected = value;
    }
    if (HasAttribute(attributes, "useeventvalue") && HasFormVariable(request, "Event")) {
        CVornString value(CVornString::kUnlocked);
        if (CVornConfigStore::GetEventAttribute(pageType, NameOrNull(pageObject), name.CStr(),
                                                FormVariable(request, "Event"), value) == 0)
            preselected = value;
    }
    if (HasAttribute(attributes, "usevar"))
        request->m_FormVariables.Get(name, preselected);

    CVornString option(CVornString::kUnlocked);
    option.Reserve(kOptionReserve);
    if (selectedAtTop && !preselected.IsEmpty()) {
        option.Assign("<option value=\"");
        AppendHtml(option, preselected);
        option.Append("\" selected>");
        AppendHtml(option, preselected);
        option.Append("\r\n");
        request->Write(option);
    }

    const CVornString types = AttributeValue(attributes, "objtype");
    for (int t = 0; t < types.Length(); ++t) {
        const char type = types.CharAt(t);
        if (type == 'U' && mode == kSearchNone)
            continue;
        const CVornString label = TypeLabel(type);
        const bool hostNames = type == 'C' && SettingInt("DisplayFQDN") > 0;
        CVornSortedList<CVornString> sorted(&CompareNoCase);
        CVornConfigStore::GetSortedNames(type, sorted);
        for (CVornString& object : Names(sorted)) {
            if (!maskAttr.IsEmpty() && EvalAttrStmt(request, maskAttr, type, object))
                continue;
            if (!maskOp.IsEmpty() && EvalCompareOp(object, maskOp, maskOperand))
                continue;
            if (excludeAuth && object.Equals(user, 0))
                continue;
            if (excludeSpecial && type == 'U' && object.Equals("Administrator", 0))
                continue;
            if (localOnly && CVornConfigStore::IsObjectPending(type, object.CStr()))
                continue;
            if (selectedAtTop && object.Equals(preselected, 3))
                continue;
            CVornString fullName(CVornString::kUnlocked);
            if (type == 'U') {
                if (fullNames || mode >= kSearchLastNameStarts)
                    fullName = UserFullName(object);
                if (mode >= kSearchAccountStarts && !PassesSearch(mode, search, object, fullName))
                    continue;
            }
            option.Assign("<option value=\"");
            AppendHtml(option, object);
            option.Append('"');
            if (object.Equals(preselected, 3))
                option.Append(" selected");
            option.Append('>');
            AppendHtml(option, object);
            CVornString hostName(CVornString::kUnlocked);
            if (hostNames && ClientHostName(object, hostName)) {
                option.Append(" [");
                AppendHtml(option, hostName);
                option.Append(']');
            }
            if (type == 'U' && fullNames) {
                option.Append(" [");
                AppendHtml(option, fullName);
                option.Append(']');
            }
            if (types.Length() > 1) {
                option.Append(" (");
                option.Append(label);
                option.Append(')');
            }
            option.Append("\r\n");
            request->Write(option);
        }
    }
    request->Write("</select>\r\n");
    if (searchForm)
        WriteSearchForm(request, mode, search);
}

void TBox(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const CVornString prefix = BoxName(attributes);
    const CVornString wanted = AttributeValue(attributes, "value");
    WriteSelectStart(request, attributes);

    std::vector<CVornString> names;
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = request->m_FormVariables.First(key, &value); more;
         more = request->m_FormVariables.Next(key, &value)) {
        if (key.StartsWith(prefix, 1) && value &&
            static_cast<CVornString*>(value)->Equals(wanted, 3))
            names.emplace_back(key, CVornString::kUnlocked);
    }
    std::sort(names.begin(), names.end(),
              [](const CVornString& a, const CVornString& b) { return CompareNoCase(a, b) < 0; });

    CVornString out(CVornString::kUnlocked);
    for (const CVornString& name : names) {
        CVornString shown(name, CVornString::kUnlocked);
        shown.KeepRight(shown.Length() - prefix.Length());
        out.Append("<option value=\"");
        AppendHtml(out, name);
        out.Append("\">");
        AppendHtml(out, shown);
        out.Append("&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;\r\n");
    }
    out.Append("</select>");
    request->Write(out);
}

void SystemUserBox(CVornHTTPRequest* request, CVornStringMap& attributes) {
    WriteSelectStart(request, attributes);
    CVornSortedList<CVornString> sorted(&CompareNoCase);
    ListDomainUsers(sorted);
    CVornMap<int> taken;
    const bool onlyNotUsed = HasAttribute(attributes, "onlyNotUsed");
    if (onlyNotUsed)
        CVornConfigStore::GetRealAccounts(taken);

    CVornString out(CVornString::kUnlocked);
    for (CVornString& name : Names(sorted)) {
        if (onlyNotUsed && taken.Get(name.CStr(), nullptr))
            continue;
        out.Append("<option value=\"");
        AppendHtml(out, name);
        out.Append("\">");
        AppendHtml(out, name);
        out.Append("\r\n");
    }
    out.Append("</select>\r\n");
    request->Write(out);
}

void DateBox(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const CVornString name = BoxName(attributes);
    int date = 0;
    NowPacked(&date, nullptr);

    CVornString preset(CVornString::kUnlocked);
    if (attributes.Get("preset", preset)) {
        if (preset.StartsWith('+', 1)) {
            CVornString days(preset, CVornString::kUnlocked);
            days.RemovePrefix('+', 1);
            CVornDate when(date, 120000);
            when.AddDays(days.ToInt());
            when.GetPacked(&date, nullptr, nullptr);
        } else {
            date = preset.ToInt();
        }
    }
    EventValue(request, attributes, name, &date);

    const CVornString text = AttributeValue(attributes, "text");
    if (!text.IsEmpty()) {
        request->Write(text);
        request->Write("<br>\r\n");
    }

    int year = 0, month = 0, day = 0;
    UnpackDate(date, &year, &month, &day);
    CVornString shown(CVornString::kUnlocked);
    shown.Format("%d/%d/%d", month, day, year);
    request->m_FormVariables.Get(name, shown);

    const CVornString order = AttributeValue(attributes, "3datecombos");
    if (!order.IsEmpty() && year >= 1996 && year <= 2099) {
        WriteDateSelects(request, attributes, name, order, year, month, day);
        return;
    }
    CVornString out("<input size=10 name=\"", CVornString::kUnlocked);
    AppendHtml(out, name);
    out.Append("\" value=\"");
    AppendHtml(out, shown);
    out.Append("\">\r\n");
    request->Write(out);
}

void TimeBox(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const CVornString name = BoxName(attributes);
    int time = 0;
    CVornString preset(CVornString::kUnlocked);
    if (attributes.Get("preset", preset))
        time = preset.ToInt();
    EventValue(request, attributes, name, &time);
    const bool hours24 = HasAttribute(attributes, "24hour");
    CVornString variable(CVornString::kUnlocked);
    if (request->m_FormVariables.Get(name, variable))
        time = variable.ToInt();

    const CVornString text = AttributeValue(attributes, "text");
    if (!text.IsEmpty()) {
        request->Write(text);
        request->Write("<br>\r\n");
    }

    CVornString meridiem(CVornString::kUnlocked);
    if (!hours24)
        To12Hour(time, meridiem, &time);
    int hour = 0, minute = 0, second = 0;
    UnpackDate(time, &hour, &minute, &second);

    const CVornString hourField = Suffixed(name, hours24 ? "-24hr" : "-hr");
    if (request->m_FormVariables.Get(hourField, variable))
        hour = variable.ToInt();
    WritePartSelectStart(request, hourField);
    CVornString out(CVornString::kUnlocked);
    for (int h = hours24 ? 0 : 1; h <= (hours24 ? 23 : 12); ++h) {
        out.Append("<option value=");
        out.AppendInt(h);
        out.Append(h == hour ? " selected>" : ">");
        if (hours24)
            out.Append(CatalogTextOf(kFirstHourText + h));
        else
            out.AppendInt(h);
    }
    out.Append("</select>\r\n : ");
    request->Write(out);

    const CVornString minuteField = Suffixed(name, "-min");
    if (request->m_FormVariables.Get(minuteField, variable))
        minute = variable.ToInt();
    WritePartSelectStart(request, minuteField);
    out.Clear();
    CVornString number(CVornString::kUnlocked);
    for (int m = 0; m <= 55; m += 5) {
        number.Format("%02d", m);
        out.Append("<option value=");
        out.Append(number);
        out.Append(m <= minute && minute < m + 5 ? " selected>" : ">");
        out.Append(number);
    }
    out.Append("</select>\r\n");
    request->Write(out);

    if (hours24)
        return;
    const CVornString meridiemField = Suffixed(name, "-mer");
    request->m_FormVariables.Get(meridiemField, meridiem);
    WritePartSelectStart(request, meridiemField);
    out.Assign("<option value=\"AM\">AM<option value=\"PM\"");
    if (meridiem.Equals("PM", 3))
        out.Append(" selected");
    out.Append(">PM</select>\r\n");
    request->Write(out);
}
