// The pages of the web administration: session cookie, login hand-off, page
// renderer and error pages (see web_pages.h).
#include "webadmin/web_pages.h"

#include <time.h>

#include <cstring>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "net/http_request.h"
#include "templates/hidden_vars.h"
#include "templates/template_processor.h"
#include "webadmin/page_tags.h"
#include "webadmin/web_admin.h"

namespace {

// How many error pages this thread is rendering: an error reported while
// one is rendered is written inline instead of starting another.
thread_local int t_ErrorPageDepth = 0;

// Pages sent without "Pragma: No-Cache" (letter case counts).
const char* const kCachedPages[] = {"compose_u_l.mhtml", "ormadmin_error.mhtml",
                                    "access_rep1_a.mhtml"};

bool isCachedPage(const CVornString& page) {
    for (const char* name : kCachedPages)
        if (page.Equals(name, 3))
            return true;
    return false;
}

bool isCookieBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void setFormVariable(CVornHTTPRequest* request, const char* name, const CVornString& value) {
    request->m_FormVariables.Set(name, value);
}

void setFormVariable(CVornHTTPRequest* request, const char* name, const char* value) {
    setFormVariable(request, name, CVornString(value, CVornString::kUnlocked));
}

}  // namespace

bool PageNameHas(const CVornString& pageName, const char* mark) {
    if (mark == nullptr || *mark == '\0')
        return false;
    CVornString copy(pageName, CVornString::kUnlocked);
    const char* name = copy.CStr();
    const int length = copy.Length();
    const int markLength = static_cast<int>(std::strlen(mark));
    for (int i = 0; i + markLength < length; ++i) {
        if (std::memcmp(name + i, mark, static_cast<size_t>(markLength)) != 0)
            continue;
        const char next = name[i + markLength];
        if (next == '.' || next == '_')
            return true;
    }
    return false;
}

void GetSessionCookie(CVornHTTPRequest* request, CVornString& id) {
    id.Assign("");
    CVornString header(CVornString::kUnlocked);
    if (!request->GetHeader("Cookie", header))
        return;
    const char* text = header.CStr();
    const int length = header.Length();
    int start = 0;
    while (start < length) {
        int end = start;
        while (end < length && text[end] != ';') ++end;
        int first = start;
        int last = end;
        while (first < last && isCookieBlank(text[first])) ++first;
        while (last > first && isCookieBlank(text[last - 1])) --last;
        const char* equals =
            static_cast<const char*>(std::memchr(text + first, '=', static_cast<size_t>(last - first)));
        if (equals != nullptr) {
            CVornString name(text + first, static_cast<int>(equals - (text + first)),
                             CVornString::kUnlocked);
            if (name.Equals(kSessionCookieName, 2)) {
                const char* value = equals + 1;
                id.Assign(value, static_cast<int>(text + last - value));
                return;
            }
        }
        start = end + 1;
    }
}

bool CheckSession(CVornHTTPRequest* request, CVornString& user, CVornString& permissions) {
    user.Assign("");
    permissions.Assign("");
    CVornString id(CVornString::kUnlocked);
    GetSessionCookie(request, id);
    if (id.IsEmpty())
        return true;
    CVornString client(CVornString::kUnlocked);
    time_t previousAccess = 0;
    if (SessionTable.Validate(id.CStr(), user, client, previousAccess) != 1)
        return true;
    // The address the session logged in from is not compared: a browser
    // behind changing proxies keeps its session.
    (void)CVornConfigStore::GetObjectSetting('U', user.CStr(), "ZELORMPerms", permissions);
    return false;
}

void IssueLogin(CVornHTTPRequest* request, const char* loginPage) {
    const time_t issued = Now();
    CVornString id(CVornString::kUnlocked);
    SessionTable.NewId(id);
    if (!id.IsEmpty() && SessionTable.Issue(id.CStr(), issued) == 0) {
        CVornString line("Set-Cookie: ", CVornString::kUnlocked);
        line.Append(kSessionCookieName);
        line.Append("=");
        line.Append(id);
        line.Append("; path=/\r\n");
        request->Write(line);
    }
    char number[32];
    snprintf(number, sizeof number, "%lld", static_cast<long long>(issued));
    setFormVariable(request, "issued", number);
    KeepAllHiddenVars(request);
    setFormVariable(request, "what", loginPage);
    ShowPage(request, false);
    request->Finish();
}

void ShowPage(CVornHTTPRequest* request, bool inlineError) {
    CVornString folder(CVornString::kUnlocked);
    {
        CVornString language(CVornString::kUnlocked);
        if (const char* text = GetCatalogText(kMsgLanguageFolder))
            language.Assign(text);
        language.ToLower();
        JoinPath(folder, HtmlDir.CStr(), language.CStr());
    }
    CVornString user(CVornString::kUnlocked);
    CVornString userPerms(CVornString::kUnlocked);
    const bool loggedOut = CheckSession(request, user, userPerms);
    CVornString client(CVornString::kUnlocked);
    request->GetClientAddress(client);
    CVornString page(CVornString::kUnlocked);
    (void)request->m_FormVariables.Get("what", page);

    if (loggedOut && PageNameHas(page, "_a")) {
        setFormVariable(request, "action", "Display");
        IssueLogin(request, kAdminLoginPage);
        return;
    }
    if (loggedOut && PageNameHas(page, "_u")) {
        setFormVariable(request, "action", "Display");
        IssueLogin(request, kUserLoginPage);
        return;
    }

    CVornString objectPerms(CVornString::kUnlocked);
    CVornString objectName(CVornString::kUnlocked);
    if (request->m_FormVariables.Get("objname", objectName))
        (void)CVornConfigStore::GetObjectSetting('U', objectName.CStr(), "ZELORMPerms",
                                                 objectPerms);

    if (!isCachedPage(page))
        request->Write("Pragma: No-Cache\r\n");
    ProcessTemplate(request, folder, user, client, userPerms, objectPerms, inlineError,
                    HandlePageTag, ShowErrorText);
    request->Finish();
}

void ShowErrorMessage(CVornHTTPRequest* request, int number) {
    CVornString text(CVornString::kUnlocked);
    CProductMessageCatalog catalog;
    if (const char* found = catalog.GetText(number))
        text.Assign(found);
    ShowErrorText(request, text);
}

void ShowErrorText(CVornHTTPRequest* request, const CVornString& text) {
    if (t_ErrorPageDepth > 0) {
        // The error page itself failed: say it plainly, once.
        request->Write("\r\n");
        request->Write(text);
        request->Finish();
        return;
    }
    setFormVariable(request, "what", kErrorPage);
    setFormVariable(request, "error", text);
    ++t_ErrorPageDepth;
    try {
        ShowPage(request, true);
    } catch (...) {
        --t_ErrorPageDepth;
        throw;
    }
    --t_ErrorPageDepth;
}
