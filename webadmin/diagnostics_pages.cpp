// The diagnostics page and the page of effective settings (see
// diagnostics_pages.h).
#include "webadmin/diagnostics_pages.h"

#include <vector>

#include "config/config_store.h"
#include "core/compare_no_case.h"
#include "core/disk_file.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "core/vorn_date.h"
#include "gateway/mail_users.h"
#include "gateway/service_control.h"
#include "gateway/service_startup.h"
#include "net/dns_resolver.h"
#include "net/http_request.h"
#include "templates/conditions.h"
#include "templates/tag_support.h"
#include "webadmin/page_tags.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

// The permission pair that shows the files and lets a user name the user
// and client of the settings page.
constexpr const char* kDiagPermission = "RS";
// A file's table goes out in pieces of about this size, so a large file
// never sits whole in memory.
constexpr int kFileChunk = 16384;

// Catalogue numbers of the settings page (base catalogue).
enum : int {
    kMsgSettingsTitle = 459,
    kMsgSettingsHeading = 460,
    kMsgLabelClient = 626,
    kMsgLabelClientGroup = 461,
    kMsgLabelUser = 629,
    kMsgLabelUserGroup = 462,
    kMsgVirtualAccount = 410,
    kMsgNoAccount = 509,
    kMsgLabelTime = 294,
    kMsgLabelVersion = 514,
    kMsgLabelWhere = 510,
    kMsgLabelQuota = 458,
    kMsgNoQuota = 478,
    kMsgLabelAllowed = 464,
    kMsgAllowWeb = 268,
    kMsgAllowSmtp = 277,
    kMsgAllowPop = 278,
    kMsgLabelForbidden = 465,
    kMsgForbiddenDiscard = 467,
    kMsgForbiddenKeep = 466,
    kMsgForbiddenOther = 437,
    kMsgLabelFilter = 463,
    kMsgFilterAllow = 273,
    kMsgFilterForbid = 272,
    kMsgFilterOff = 271,
    kMsgLabelSendDenied = 468,
    kMsgLabelReceiveDenied = 469,
    kMsgLabelSendAllowed = 470,
    kMsgLabelReceiveAllowed = 471,
    kMsgLabelDictionaries = 472,
    kMsgLabelThreshold = 473,
    kMsgLabelMimeTypes = 474,
    kMsgLabelAutoLock = 477,
    kMsgAutoLockFormat = 475,
};

// Looked-up texts: a missing catalogue text reads as empty.
void appendText(CVornString& out, const char* text) {
    if (text != nullptr)
        out.Append(text);
}

CVornString textOf(const char* text) {
    return CVornString(text != nullptr ? text : "", CVornString::kUnlocked);
}

// The language folder's name, lower-cased (as the page renderer uses it).
CVornString languageFolder() {
    CVornString language = textOf(GetCatalogText(kMsgLanguageFolder));
    language.ToLower();
    return language;
}

// value of the product key (or of the maker's key when product is null),
// else def; a value that cannot be read is reported by the registry.
CVornString registryPath(const char* product, const char* name, const char* def) {
    CVornString value(CVornString::kUnlocked);
    if (GetProductRegValue(product, name, value, true) != 0 || value.IsEmpty())
        value.Assign(def);
    return value;
}

bool grantsDiag(const CVornString& permissions) {
    CVornString required(kDiagPermission, CVornString::kUnlocked);
    return MatchPerms(required, permissions);
}

// One line of a configuration file for a code cell: "&", "<", ">" and '"'
// as entities, and a blank after every comma, so that long lists of
// attributes can wrap.
void appendFileLine(CVornString& out, CVornString& line) {
    CVornString escaped(CVornString::kUnlocked);
    AppendHtmlEscaped(escaped, line);
    // No entity holds a comma.
    escaped.ReplaceCharWithText(',', ", ");
    out.Append(escaped);
}

// The block of one file: its path, then its lines in a table, or "Cannot
// open".
void writeFile(CVornHTTPRequest* request, CVornString& path) {
    CVornString text("<br>File <b>", CVornString::kUnlocked);
    AppendHtml(text, path);
    text.Append("</b>:<br>\r\n");
    // A missing file is a normal sight here (the lists and dictionaries are
    // seldom there): it is not tried, so the event log gets no open error.
    CVornDiskFile file(path.CStr(), kFileReadOnly | kFileNoPathLock);
    if (!FileExists(path.CStr(), false) || !file.Open()) {
        text.Append("<i>Cannot open</i><br><br>");
        request->Write(text);
        return;
    }
    text.Append("<table noborder>");
    CVornString line(CVornString::kUnlocked);
    // A line ends at LF, so a file with bare LF line ends shows line by
    // line too; a CR LF line keeps both bytes.
    while (file.ReadLine(line, "\n") > 0) {
        text.Append("<tr><td><code>");
        appendFileLine(text, line);
        text.Append("</code></td></tr>");
        if (text.Length() >= kFileChunk) {
            request->Write(text);
            text.Clear();
        }
    }
    text.Append("</table>");
    file.Close();
    request->Write(text);
}

// ---- The settings page

// The setting is present and does not begin with "0".
bool isOn(const CVornStringMap& settings, const char* name) {
    CVornString value(CVornString::kUnlocked);
    return settings.Get(name, value) && value.CharAt(0) != '0';
}

CVornString settingOf(const CVornStringMap& settings, const char* name) {
    CVornString value(CVornString::kUnlocked);
    (void)settings.Get(name, value);
    return value;
}

// One line of the settings table; value is HTML already.
void appendLine(CVornString& out, const char* label, const CVornString& value) {
    out.Append("<tr><th colspan=2 align=left>");
    appendText(out, label);
    out.Append(":</th><td colspan=2>");
    out.Append(value);
    out.Append("</td></tr>");
}

// The escaped text of a setting whose items are joined by 0x1C, the items
// separated by ", ".
CVornString listText(const CVornString& value) {
    CVornString escaped(CVornString::kUnlocked);
    AppendHtml(escaped, value);
    escaped.ReplaceCharWithText(kFormValueSeparator, ", ");
    return escaped;
}

// The names of the mailing lists for which the settings hold "SL" + name or
// "RL" + name, sorted into the four lists by the value's first letter.
struct ListRules {
    std::vector<CVornString> m_SendDenied, m_ReceiveDenied, m_SendAllowed, m_ReceiveAllowed;
};

void sortIn(const CVornStringMap& settings, const char* prefix, const CVornString& name,
            std::vector<CVornString>& denied, std::vector<CVornString>& allowed) {
    CVornString key(prefix, CVornString::kUnlocked);
    key.Append(name);
    CVornString value(CVornString::kUnlocked);
    if (!settings.Get(key, value))
        return;
    const char first = value.CharAt(0);
    if (first == 'D')
        denied.emplace_back(name, CVornString::kUnlocked);
    else if (first == 'A' || first == 'a')
        allowed.emplace_back(name, CVornString::kUnlocked);
}

ListRules listRules(const CVornStringMap& settings) {
    CVornSortedList<CVornString> sorted(&CompareNoCase);
    CVornConfigStore::GetSortedNames('L', sorted);
    std::vector<CVornString> names;
    {
        CVornLockGuard guard(sorted.m_List.m_Lock);
        for (auto* node = sorted.m_List.m_Head; node; node = node->m_Next)
            names.emplace_back(node->m_Element, CVornString::kUnlocked);
    }
    // The names come in CompareNoCase order, so each list is sorted too.
    ListRules rules;
    for (const CVornString& name : names) {
        // The owner addresses of the lists are not lists of their own.
        if (name.StartsWith("owner-", 2))
            continue;
        sortIn(settings, "SL", name, rules.m_SendDenied, rules.m_SendAllowed);
        sortIn(settings, "RL", name, rules.m_ReceiveDenied, rules.m_ReceiveAllowed);
    }
    return rules;
}

void appendListLine(CVornString& out, const char* label, const std::vector<CVornString>& names) {
    if (names.empty())
        return;
    CVornString value(CVornString::kUnlocked);
    for (const CVornString& name : names) {
        AppendHtml(value, name);
        value.Append(", ");
    }
    appendLine(out, label, value);
}

// The lines that only a filtering user has: list rules, dictionaries, MIME
// types and the automatic lock.
void appendFilterLines(CVornString& out, const CVornStringMap& settings) {
    const ListRules rules = listRules(settings);
    appendListLine(out, GetCatalogText(kMsgLabelSendDenied), rules.m_SendDenied);
    appendListLine(out, GetCatalogText(kMsgLabelReceiveDenied), rules.m_ReceiveDenied);
    appendListLine(out, GetCatalogText(kMsgLabelSendAllowed), rules.m_SendAllowed);
    appendListLine(out, GetCatalogText(kMsgLabelReceiveAllowed), rules.m_ReceiveAllowed);

    CVornString dictionaries = settingOf(settings, "DictsToUse");
    if (!dictionaries.IsEmpty()) {
        const char lead[] = {' ', '\t', '\r', '\n', kFormValueSeparator, '\0'};
        dictionaries.TrimLeft(lead);
        appendLine(out, GetCatalogText(kMsgLabelDictionaries), listText(dictionaries));
        CVornString threshold(CVornString::kUnlocked);
        AppendHtml(threshold, settingOf(settings, "DDRThreshold"));
        appendLine(out, GetCatalogText(kMsgLabelThreshold), threshold);
    }
    const CVornString mimeTypes = settingOf(settings, "BlockedMIMETypes");
    if (!mimeTypes.IsEmpty())
        appendLine(out, GetCatalogText(kMsgLabelMimeTypes), listText(mimeTypes));
    if (isOn(settings, "AutoLock")) {
        // The values are escaped before they fill the catalogue's format,
        // which is checked against the two strings.
        CVornString count(CVornString::kUnlocked);
        CVornString minutes(CVornString::kUnlocked);
        AppendHtml(count, settingOf(settings, "AutoLockX"));
        AppendHtml(minutes, settingOf(settings, "AutoLockY"));
        CVornString text(CVornString::kUnlocked);
        text.Format(GetCatalogText(kMsgAutoLockFormat), count.CStr(), minutes.CStr());
        appendLine(out, GetCatalogText(kMsgLabelAutoLock), text);
    }
}

// The account note after the user's name.
void appendAccountNote(CVornString& out, const CVornStringMap& settings, const CVornString& user) {
    CVornString value(CVornString::kUnlocked);
    if (settings.Get("VirtualAcct", value)) {
        if (value.ToInt() > 0) {
            out.Append(" (<i>");
            appendText(out, GetCatalogText(kMsgVirtualAccount));
            out.Append("</i>)");
        }
    } else if (settings.Get("RealAcct", value)) {
        out.Append(" (");
        AppendHtml(out, value);
        out.Append(")");
    } else if (!user.IsEmpty()) {
        out.Append(" (<i>");
        appendText(out, GetCatalogText(kMsgNoAccount));
        out.Append("</i>)");
    }
}

}  // namespace

void Diag(CVornHTTPRequest* request) {
    request->Write("Pragma: No-Cache\r\n");
    CVornStringMap attributes(0, 0);
    attributes.Set("title", CVornString("Diag", CVornString::kUnlocked));
    attributes.Set("navbar", CVornString("Diag", CVornString::kUnlocked));
    AdminHeader(request, attributes);

    CVornString text("\r\n<b>Version: </b>", CVornString::kUnlocked);
    text.Append(kServiceVersionText);
    text.Append("</br>\r\n");
    request->Write(text);
    request->Flush();

    text.Assign("<b>Run Began: </b>");
    text.Append(StartTimeText);
    text.Append("<br>\r\n");
    request->Write(text);
    request->Flush();

    int chains = 0, records = 0, expired = 0, empty = 0, negative = 0;
    DnsCacheInfo(false, &chains, &records, &expired, &empty, &negative, false);
    text.Format(
        "<br><b>DNS Cache Info:</b> chains=%d, items=%d, expired=%d, null=%d, "
        "nxdomain=%d<br><br>\r\n",
        chains, records, expired, empty, negative);
    request->Write(text);

    text.Format("<b>Cached Messages: </b>%d<br>", CountCachedMessages());
    request->Write(text);

    CVornString user(CVornString::kUnlocked);
    CVornString permissions(CVornString::kUnlocked);
    if (!CheckSession(request, user, permissions) && grantsDiag(permissions)) {
        CVornString localDir = registryPath(kProductRegistryKey, "LocalDir", kDefaultDataDirectory);
        CVornString sharedDefault(CVornString::kUnlocked);
        JoinPath(sharedDefault, kDefaultDataDirectory, "shared-config");
        CVornString sharedConfig = registryPath(nullptr, "SharedConfigFile", sharedDefault.CStr());
        CVornString path(CVornString::kUnlocked);
        JoinPath(path, localDir.CStr(), "lists");
        writeFile(request, path);
        JoinPath(path, localDir.CStr(), "dictionaries");
        writeFile(request, path);
        writeFile(request, sharedConfig);
        JoinPath(path, localDir.CStr(), "local-config");
        writeFile(request, path);
    }

    AdminFooter(request, attributes);
    request->Finish();
}

void ShowSettings(CVornHTTPRequest* request) {
    request->Write("Pragma: No-Cache\r\n");
    CVornStringMap attributes(0, 0);
    attributes.Set("title", textOf(GetCatalogText(kMsgSettingsTitle)));
    AdminHeader(request, attributes);

    CVornString client(CVornString::kUnlocked);
    request->GetClientAddress(client);
    CVornString user(CVornString::kUnlocked);
    CVornString permissions(CVornString::kUnlocked);
    if (!CheckSession(request, user, permissions) && grantsDiag(permissions)) {
        CVornString value(CVornString::kUnlocked);
        if (request->m_FormVariables.Get("User", value))
            user.Assign(value);
        if (request->m_FormVariables.Get("Client", value))
            client.Assign(value);
    }

    // The settings first: their look-up reloads a changed configuration,
    // which the groups then come from too.
    CVornStringMap settings(0, 0);
    CVornConfigStore::GetEffectiveSettings(client.IsEmpty() ? nullptr : client.CStr(),
                                           user.IsEmpty() ? nullptr : user.CStr(), 0, settings);
    CVornString userGroup(CVornString::kUnlocked);
    CVornString clientGroup(CVornString::kUnlocked);
    if (!user.IsEmpty() &&
        CVornConfigStore::GetObjectSetting('U', user.CStr(), "Cast", userGroup) != 0)
        userGroup.Clear();
    if (!client.IsEmpty() &&
        CVornConfigStore::GetObjectSetting('C', client.CStr(), "Cast", clientGroup) != 0)
        clientGroup.Clear();

    CVornString text("<img src=\"/images/", CVornString::kUnlocked);
    text.Append(languageFolder());
    text.Append("/mailvorn.gif\" width=180 height=56><br><center><h3>");
    appendText(text, GetCatalogText(kMsgSettingsHeading));
    text.Append("</h3><hr width=\"75%\"></center><table noborder>");

    text.Append("<tr><th align=left>");
    appendText(text, GetCatalogText(kMsgLabelClient));
    text.Append(":</th><td>");
    AppendHtml(text, client);
    text.Append("</td><th align=left>");
    appendText(text, GetCatalogText(kMsgLabelClientGroup));
    text.Append(":</th><td>");
    AppendHtml(text, clientGroup);

    text.Append("</td></tr><tr><th align=left>");
    appendText(text, GetCatalogText(kMsgLabelUser));
    text.Append(":</th><td>");
    AppendHtml(text, user);
    appendAccountNote(text, settings, user);
    text.Append("</td><th align=left>");
    appendText(text, GetCatalogText(kMsgLabelUserGroup));
    text.Append(":</th><td>");
    AppendHtml(text, userGroup);

    text.Append("</td></tr><tr><th valign=top align=left>");
    appendText(text, GetCatalogText(kMsgLabelTime));
    text.Append(":</th><td valign=top>");
    CVornDate now;
    now.SetNow();
    CVornString time(CVornString::kUnlocked);
    now.FormatDisplay(time);
    text.Append(time);
    text.Append("</td><th align=left valign=top>");
    appendText(text, GetCatalogText(kMsgLabelVersion));
    text.Append(":</th><td valign=top>");
    text.Append(kServiceVersionText);
    text.Append("<br>&nbsp;</td></tr></table></center>");

    // The table's first row is opened here; the "Where" line fills it and
    // opens the quota line's cell itself.
    text.Append("<table noborder><tr><th colspan=2 align=left>");
    CVornString where = settingOf(settings, "Where");
    where.TrimRight(", ");
    appendText(text, GetCatalogText(kMsgLabelWhere));
    text.Append(":</th><td colspan=2>");
    AppendHtml(text, where);
    text.Append("</td></tr></tr><th colspan=2 align=left>");

    CVornString value(CVornString::kUnlocked);
    if (isOn(settings, "MailQuota")) {
        AppendHtml(value, settingOf(settings, "MailQuota"));
        value.Append(" MBs");
    } else {
        appendText(value, GetCatalogText(kMsgNoQuota));
    }
    appendText(text, GetCatalogText(kMsgLabelQuota));
    text.Append(":</th><td colspan=2>");
    text.Append(value);
    text.Append("</td></tr>");

    value.Clear();
    if (isOn(settings, "AllowZELORMUI")) {
        appendText(value, GetCatalogText(kMsgAllowWeb));
        value.Append(", ");
    }
    if (isOn(settings, "AllowSMTP")) {
        appendText(value, GetCatalogText(kMsgAllowSmtp));
        value.Append(", ");
    }
    if (isOn(settings, "AllowPOP"))
        appendText(value, GetCatalogText(kMsgAllowPop));
    appendLine(text, GetCatalogText(kMsgLabelAllowed), value);

    const char forbidden = settingOf(settings, "OnForbidden").CharAt(0);
    if (forbidden == 'D')
        value = textOf(GetCatalogText(kMsgForbiddenDiscard));
    else if (forbidden == 'S')
        value = textOf(GetCatalogText(kMsgForbiddenKeep));
    else
        value = textOf(GetCatalogText(kMsgForbiddenOther));
    appendLine(text, GetCatalogText(kMsgLabelForbidden), value);

    const char mode = settingOf(settings, "FilterMode").CharAt(0);
    if (mode == 'A')
        value = textOf(GetCatalogText(kMsgFilterAllow));
    else if (mode == 'F')
        value = textOf(GetCatalogText(kMsgFilterForbid));
    else
        value = textOf(GetCatalogText(kMsgFilterOff));
    appendLine(text, GetCatalogText(kMsgLabelFilter), value);
    if (mode == 'A' || mode == 'F')
        appendFilterLines(text, settings);
    text.Append("</table>");
    request->Write(text);

    AdminFooter(request, attributes);
    request->Finish();
}
