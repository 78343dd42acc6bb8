// The frame of the web administration: globals, command table and the
// frame's own commands (see web_admin.h).
#include "webadmin/web_admin.h"

#include <string.h>

#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "net/uri.h"
#include "templates/hidden_vars.h"
#include "webadmin/access_report.h"
#include "webadmin/antivirus_report.h"
#include "webadmin/diagnostics_pages.h"
#include "webadmin/login_commands.h"
#include "webadmin/object_commands.h"
#include "webadmin/object_modification.h"
#include "webadmin/service_commands.h"
#include "webadmin/web_pages.h"

// The globals live until the process ends: workers of the web server that
// is still stopping may read them.
CVornString& HtmlDir = *new CVornString;
CWebSessionTable& SessionTable = *new CWebSessionTable;
CVornLock& PageLock = *new CVornLock(true);
CVornString& StartTimeText = *new CVornString;
CVornListMembership* g_WebListMembership = nullptr;
CDictionaryFilter* g_WebDictionaryFilter = nullptr;
CVornHTTPServer* g_WebAdminServer = nullptr;
SMTP* g_WebSMTPServer = nullptr;
POP3* g_WebPOP3Server = nullptr;
std::atomic<unsigned char> DebugStopFlag{0};

// The commands of the later steps (object commands, reports, diagnostics,
// service commands) join this table with their handlers, after the login
// commands, in the order: AddObj, DeleteObj, ModifyObj, AccessReport, Diag,
// ShowSettings, Debug, EditRoutingList, ChangePassword, VirusDefDownload,
// RazoVidezReport.
const WebCommand CommandTable[] = {
    {"Admin", Guarded<Admin>},
    {"SetDebug", Guarded<SetDebug>},
    {"Default", Guarded<Default>},
    // The empty name registers "/": every URL that no longer prefix
    // matches lands here.
    {"", Guarded<Default>},
    {"Display", Guarded<Display>},
    {"Authenticate", Guarded<Authenticate>},
    {"Deauthenticate", Guarded<Deauthenticate>},
    {"AddObj", Guarded<AddObj>},
    {"DeleteObj", Guarded<DeleteObj>},
    {"ModifyObj", Guarded<ModifyObj>},
    {"AccessReport", Guarded<AccessReport>},
    {"Diag", Guarded<Diag>},
    {"ShowSettings", Guarded<ShowSettings>},
    {"Debug", Guarded<Debug>},
    {"EditRoutingList", Guarded<EditRoutingList>},
    {"ChangePassword", Guarded<ChangePassword>},
    {"VirusDefDownload", Guarded<VirusDefDownload>},
    {"RazoVidezReport", Guarded<RazoVidezReport>},
    {nullptr, nullptr},
};

void InitWebAdmin(const char* htmlDir, const char* imagesDir, const char* docsDir,
                  const char* spoolDir, CVornListMembership* listMembership,
                  CDictionaryFilter* dictionaryFilter, CVornHTTPServer* webServer,
                  SMTP* smtpServer, POP3* pop3Server, CMessageQueue* fastQueue) {
    (void)spoolDir;
    (void)fastQueue;
    CVornLockGuard guard(PageLock);
    HtmlDir.Assign(htmlDir);
    g_WebListMembership = listMembership;
    g_WebDictionaryFilter = dictionaryFilter;
    g_WebAdminServer = webServer;
    g_WebSMTPServer = smtpServer;
    g_WebPOP3Server = pop3Server;
    RegisterCommands(webServer, imagesDir, docsDir);
    CVornDate now;
    now.SetNow();
    CVornString text(CVornString::kUnlocked);
    now.FormatDisplay(text);
    StartTimeText.Assign(text);
}

void PrepareRequest(CVornHTTPRequest* request) {
    CVornStringMap& variables = request->m_FormVariables;
    CVornStringList names;
    variables.GetKeys(names);
    CVornLockGuard namesGuard(names.m_Lock);
    for (auto* node = names.m_Head; node != nullptr; node = node->m_Next) {
        const CVornString& name = node->m_Element;
        CVornString value(CVornString::kUnlocked);
        (void)variables.Get(name, value);
        auto holdsNul = [](const CVornString& text) {
            return text.Length() > 0 &&
                   memchr(text.Data(), '\0', static_cast<size_t>(text.Length())) != nullptr;
        };
        if (holdsNul(name) || holdsNul(value))
            variables.Remove(name);
    }
    variables.Remove("error");
}

void RegisterCommands(CVornHTTPServer* webServer, const char* imagesDir, const char* docsDir) {
    if (webServer == nullptr)
        return;
    for (const WebCommand* row = CommandTable; row->m_Name != nullptr; ++row) {
        CVornString prefix("/", CVornString::kUnlocked);
        prefix.Append(row->m_Name);
        webServer->AddHandler(prefix.CStr(), row->m_Handler);
    }
    if (imagesDir != nullptr && *imagesDir != '\0')
        webServer->AddDirectory("/images", imagesDir);
    if (docsDir != nullptr && *docsDir != '\0')
        webServer->AddDirectory("/docs", docsDir);
}

void DispatchAction(CVornHTTPRequest* request) {
    CVornString action(CVornString::kUnlocked);
    (void)request->m_FormVariables.Get("action", action);
    if (!action.IsEmpty()) {
        for (const WebCommand* row = CommandTable; row->m_Name != nullptr; ++row) {
            if (action.Equals(row->m_Name, 3)) {
                row->m_Handler(request);
                return;
            }
        }
    }
    request->m_FormVariables.Set("what", CVornString(kErrorPage, CVornString::kUnlocked));
    CVornString text(CVornString::kUnlocked);
    if (const char* found = GetCatalogText(kMsgWebUnknownAction))
        text.Assign(found);
    request->m_FormVariables.Set("error", text);
    ShowPage(request, false);
}

bool DefaultIfNoParams(CVornHTTPRequest* request) {
    if (request->m_Method != kHttpMethodGet && request->m_Method != kHttpMethodHead)
        return false;
    if (request->m_FormVariables.Count() != 0)
        return false;
    Default(request);
    return true;
}

bool HandleUserSearchSubmit(CVornHTTPRequest* request) {
    CVornString value(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get("UserSearchSubmit", value))
        return false;
    CopyFormVar(request, "referer", "what");
    ShowPage(request, false);
    return true;
}

void Admin(CVornHTTPRequest* request) {
    request->m_FormVariables.Set("what", CVornString(kTopPage, CVornString::kUnlocked));
    ShowPage(request, false);
}

void SetDebug(CVornHTTPRequest* request) {
    request->Redirect(CVornString("/Display?what=dbg_a_l.mhtml", CVornString::kUnlocked));
}

void Default(CVornHTTPRequest* request) {
    CVornString path("/Display?what=", CVornString::kUnlocked);
    path.Append(kTopPage);
    request->Redirect(path);
}

void Display(CVornHTTPRequest* request) {
    if (DefaultIfNoParams(request) || HandleUserSearchSubmit(request))
        return;
    KeepAllHiddenVars(request);
    KeepHiddenVarAs(request, "referer", "what");
    ShowPage(request, false);
}
