// The common page tags; see templates/common_tags.h.
#include "templates/common_tags.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/message_catalog.h"
#include "core/pseudo_random.h"
#include "core/system_info.h"
#include "net/host_address.h"
#include "net/http_request.h"
#include "net/tcp_socket.h"
#include "templates/conditions.h"
#include "templates/event_time_tag.h"
#include "templates/hidden_vars.h"
#include "templates/select_boxes.h"
#include "templates/tag_support.h"

namespace {

// The bar colour when the tag names none. A constant, so it needs no lock.
constexpr const char* kDefaultBarColor = "00007f";

// The separator of a multi-valued attribute.
constexpr char kValueSeparator = 0x1C;

// Activity record of a refused permission: class 3, event 16.
enum : int { kRecordClassWeb = 3, kRecordPermsRefused = 16, kRecordTextField = 100 };

// The names of the attributes other than the options, in the table's order.
std::vector<CVornString> ItemNames(CVornStringMap& attributes,
                                   std::initializer_list<const char*> options, int mode) {
    std::vector<CVornString> names;
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = attributes.First(key, &value); more; more = attributes.Next(key, &value)) {
        bool option = false;
        for (const char* name : options) option = option || key.Equals(name, mode);
        if (!option)
            names.emplace_back(key, CVornString::kUnlocked);
    }
    return names;
}

const char* NameOrNull(CVornString& name) {
    return name.IsEmpty() ? nullptr : name.CStr();
}

void ShowError(CVornHTTPRequest* request, TemplateErrorCallback onError, const CVornString& text) {
    if (onError)
        onError(request, text);
}

// ---- Show tags

void ShowVar(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const bool quotes = HasAttribute(attributes, "usequotes");
    const bool noEscape = HasAttribute(attributes, "noescape");
    const bool urlEscape = HasAttribute(attributes, "urlescape");
    CVornString out(CVornString::kUnlocked);
    for (CVornString& name : ItemNames(attributes, {"usequotes", "noescape", "urlescape"}, 1)) {
        CVornString value(CVornString::kUnlocked);
        request->m_FormVariables.Get(name, value);
        if (quotes)
            out.Append('"');
        if (urlEscape) {
            // Blanks become '+' for a query; the characters that could end
            // the attribute or open a tag are percent-encoded, which a URL
            // reads the same. '%' stays: the value may be encoded already.
            value.ReplaceChar(' ', '+');
            value.ReplaceCharWithText('"', "%22");
            value.ReplaceCharWithText('\'', "%27");
            value.ReplaceCharWithText('<', "%3C");
            value.ReplaceCharWithText('>', "%3E");
            out.Append(value);
        } else if (noEscape) {
            out.Append(value);
        } else {
            AppendHtml(out, value);
        }
        if (quotes)
            out.Append('"');
    }
    request->Write(out);
}

// Where ShowAttr and its kin read a value.
enum class AttrSource { kObject, kEventChain, kSetting };

void ShowValues(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user,
                AttrSource source, bool linePerValue) {
    const bool quotes = HasAttribute(attributes, "usequotes");
    const char type = FormVariable(request, "objtype").CharAt(0);
    CVornString objectName = FormVariable(request, "objname");
    const CVornString eventId = FormVariable(request, "Event");
    CVornString client(CVornString::kUnlocked);
    CVornString userName(user, CVornString::kUnlocked);
    if (source == AttrSource::kSetting)
        request->GetClientAddress(client);

    CVornString out(CVornString::kUnlocked);
    for (CVornString& name : ItemNames(attributes, {"usequotes"}, 1)) {
        CVornString value(CVornString::kUnlocked);
        switch (source) {
            case AttrSource::kObject:
                CVornConfigStore::GetObjectSetting(type, NameOrNull(objectName), name.CStr(),
                                                   value);
                break;
            case AttrSource::kEventChain:
                if (CVornConfigStore::GetEventAttribute(type, NameOrNull(objectName), name.CStr(),
                                                        eventId, value) != 0) {
                    value.Clear();
                    CVornConfigStore::GetEventAttribute(
                        'S', nullptr, name.CStr(),
                        CVornString(kDefaultEventId, CVornString::kUnlocked), value);
                }
                break;
            case AttrSource::kSetting:
                CVornConfigStore::GetSetting(NameOrNull(client), NameOrNull(userName), name.CStr(),
                                             value);
                break;
        }
        if (quotes)
            out.Append('"');
        if (!linePerValue) {
            AppendHtml(out, value);
        } else {
            CVornString rest(value, CVornString::kUnlocked);
            CVornString piece(CVornString::kUnlocked);
            CVornString after(CVornString::kUnlocked);
            while (rest.SplitAt(kValueSeparator, piece, after)) {
                AppendHtml(out, piece);
                out.Append("\r\n");
                rest.Swap(after);
            }
            AppendHtml(out, rest);
            out.Append("\r\n");
        }
        if (quotes)
            out.Append('"');
    }
    request->Write(out);
}

void ShowObjType(CVornHTTPRequest* request) {
    const char* text = ObjectTypeName(FormVariable(request, "objtype").CharAt(0));
    if (text)
        request->Write(text);
}

// ---- Hidden inputs

void PlaceHiddenVars(CVornHTTPRequest* request) {
    const int prefixLength = static_cast<int>(strlen(kHiddenVarPrefix));
    CVornString out(CVornString::kUnlocked);
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = request->m_FormVariables.First(key, &value); more;
         more = request->m_FormVariables.Next(key, &value)) {
        if (!key.StartsWith(kHiddenVarPrefix, 2) || !value)
            continue;
        CVornString name(key, CVornString::kUnlocked);
        name.KeepRight(name.Length() - prefixLength);
        out.Append("<input type=hidden name=\"");
        AppendHtml(out, name);
        out.Append("\" value=\"");
        AppendHtml(out, *static_cast<CVornString*>(value));
        out.Append("\">\r\n");
    }
    request->Write(out);
}

void PlaceVars(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const CVornString prefix = AttributeValue(attributes, "starts");
    CVornString out(CVornString::kUnlocked);
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = request->m_FormVariables.First(key, &value); more;
         more = request->m_FormVariables.Next(key, &value)) {
        if (key.Length() <= prefix.Length() || !key.StartsWith(prefix, 3) || !value)
            continue;
        out.Append("<input type=hidden name=\"");
        AppendHtml(out, key);
        out.Append("\" value=\"");
        AppendHtml(out, *static_cast<CVornString*>(value));
        out.Append("\">\r\n");
    }
    request->Write(out);
}

// ---- Request and machine

void RequestedHost(CVornHTTPRequest* request) {
    CVornString host(CVornString::kUnlocked);
    CVornHostAddress local;
    const bool haveLocal = request->m_Connection && request->m_Connection->GetLocalAddress(local);
    if (!request->GetHeader("Host", host) && haveLocal)
        local.GetAddressString(host);
    if (host.Find(':') < 0 && haveLocal) {
        host.Append(':');
        host.AppendInt(local.GetPort());
    }
    WriteHtml(request, host);
}

void BlueBar(CVornHTTPRequest* request, CVornStringMap& attributes) {
    CVornString color(kDefaultBarColor, CVornString::kUnlocked);
    CVornString size("1", CVornString::kUnlocked);
    CVornString given(CVornString::kUnlocked);
    if (attributes.Get("size", given))
        size.Assign(given.ToInt() < 1 ? "1" : given.CStr());
    if (attributes.Get("color", given))
        color = given;
    CVornString agent(CVornString::kUnlocked);
    const bool oldBrowser =
        request->GetHeader("User-Agent", agent) && agent.StartsWith("Mozilla/2.02", 2);
    CVornString out(CVornString::kUnlocked);
    if (oldBrowser) {
        out.Append("<td bgcolor=\"#ffffff\" colspan=\"");
    } else {
        out.Append("<td bgcolor=\"#");
        out.Append(color);
        out.Append("\" colspan=\"");
    }
    out.Append(size);
    out.Append("\" height=\"20\"><spacer type=\"horizontal\" size=\"5\">");
    out.Append(oldBrowser ? "<font size=\"-1\" color=\"#000000\" face=\"MS Sans Serif\">"
                          : "<font size=\"-1\" color=\"#ffffff\" face=\"MS Sans Serif\">");
    request->Write(out);
}

// ---- Setting form variables

void SetVar(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user) {
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = attributes.First(key, &value); more; more = attributes.Next(key, &value)) {
        CVornString text(CVornString::kUnlocked);
        if (value)
            text = *static_cast<CVornString*>(value);
        if (text.Equals("$$user", 3))
            text = user;
        request->m_FormVariables.Set(key, text);
    }
}

void SelectObject(CVornHTTPRequest* request, const char* type, const char* name) {
    request->m_FormVariables.Set("objtype", CVornString(type, CVornString::kUnlocked));
    request->m_FormVariables.Set("objname", CVornString(name, CVornString::kUnlocked));
}

}  // namespace

int RequiredPerms(CVornHTTPRequest* request, CVornStringMap& attributes,
                  const CVornString& userPerms, const CVornString& user,
                  TemplateErrorCallback onError) {
    for (CVornString& required : ItemNames(attributes, {"message"}, 0)) {
        if (MatchPerms(required, userPerms))
            continue;
        CVornString client(CVornString::kUnlocked);
        request->GetClientAddress(client);
        CVornString userName(user, CVornString::kUnlocked);
        CVornStringMap record;
        ActivityRecordStart(record, kRecordClassWeb, kRecordPermsRefused, 0, userName.CStr(),
                            client.CStr());
        CVornString text(GetCatalogText(kMsgTemplatePermsRefused), CVornString::kUnlocked);
        text.Append(" -- ");
        text.Append(FormVariable(request, "what"));
        ActivityRecordSetString(record, kRecordTextField, text);
        ActivityLogWrite(record);

        CVornString message = AttributeValue(attributes, "message");
        message.Append("\r\n");
        ShowError(request, onError, message);
        return kTagStopPage;
    }
    return kTagHandled;
}

bool RequiredVar(CVornHTTPRequest* request, CVornStringMap& attributes,
                 TemplateErrorCallback onError) {
    CVornString variable(CVornString::kUnlocked);
    if (!attributes.Get("var", variable))
        return false;
    if (!FormVariable(request, variable.CStr()).IsEmpty())
        return false;
    ShowError(request, onError, AttributeValue(attributes, "message"));
    return true;
}

int DispatchCommonTag(CVornHTTPRequest* request, const CVornString& name,
                      CVornStringMap& attributes, const CVornString& userPerms,
                      const CVornString& user, TemplateErrorCallback onError) {
    auto is = [&](const char* tag) { return name.Equals(tag, 0); };
    if (is("BlueBar")) {
        BlueBar(request, attributes);
    } else if (is("DateBox")) {
        DateBox(request, attributes);
    } else if (is("Hostname")) {
        CVornString host(CVornString::kUnlocked);
        SysInfoGetFqdn(host);
        WriteHtml(request, host);
    } else if (is("ObjBox")) {
        ObjBox(request, attributes, user);
    } else if (is("ParseEventTime")) {
        return ParseEventTime(request, attributes, onError);
    } else if (is("PlaceHiddenVars")) {
        PlaceHiddenVars(request);
    } else if (is("PlaceVars")) {
        PlaceVars(request, attributes);
    } else if (is("Rand")) {
        CVornString number(CVornString::kUnlocked);
        number.AssignInt(PseudoRandom());
        request->Write(number);
    } else if (is("RequestedHost")) {
        RequestedHost(request);
    } else if (is("RequiredPerms")) {
        return RequiredPerms(request, attributes, userPerms, user, onError);
    } else if (is("RequiredVar")) {
        return RequiredVar(request, attributes, onError) ? kTagStopPage : kTagHandled;
    } else if (is("SelectSysObj")) {
        SelectObject(request, "S", "");
    } else if (is("SelectAdminObj")) {
        SelectObject(request, "U", kAdminAccountName);
    } else if (is("SetVar")) {
        SetVar(request, attributes, user);
    } else if (is("ShowAttr")) {
        ShowValues(request, attributes, user, AttrSource::kObject, false);
    } else if (is("ShowAttrSepToCRLF")) {
        ShowValues(request, attributes, user, AttrSource::kObject, true);
    } else if (is("ShowAttrEventChain")) {
        ShowValues(request, attributes, user, AttrSource::kEventChain, false);
    } else if (is("ShowAttrEventChainSepToCRLF")) {
        ShowValues(request, attributes, user, AttrSource::kEventChain, true);
    } else if (is("ShowObjType")) {
        ShowObjType(request);
    } else if (is("ShowSetting")) {
        ShowValues(request, attributes, user, AttrSource::kSetting, false);
    } else if (is("ShowUser")) {
        WriteHtml(request, user);
    } else if (is("ShowVar")) {
        ShowVar(request, attributes);
    } else if (is("SystemUserBox")) {
        SystemUserBox(request, attributes);
    } else if (is("TBox")) {
        TBox(request, attributes);
    } else if (is("TimeBox")) {
        TimeBox(request, attributes);
    } else {
        return kTagNotMine;
    }
    return kTagHandled;
}
