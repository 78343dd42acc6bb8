// The login and logout commands (see webadmin/login_commands.h).
#include "webadmin/login_commands.h"

#include <time.h>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/vorn_string.h"
#include "net/http_request.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

// Records (4, event, status): event 1 a login, 2 a logout; status 1 done,
// 2 refused.
constexpr int kRecordClass = 4;
constexpr int kRecordLogin = 1;
constexpr int kRecordLogout = 2;
constexpr int kRecordDone = 1;
constexpr int kRecordRefused = 2;
constexpr int kTextField = 100;

// The login form's variables that go no further than this command.
const char* const kLoginFormVariables[] = {"password", "issued", "loginform", "infohost"};

void writeRecord(int event, int status, CVornString& user, CVornString& client,
                 const char* text) {
    CVornStringMap record;
    ActivityRecordStart(record, kRecordClass, event, status, user.CStr(), client.CStr());
    if (text != nullptr)
        ActivityRecordSetText(record, kTextField, text);
    ActivityLogWrite(record);
}

// A debug-log line of one or two names; built only while the log is heard.
void logLine(int level, const char* format, CVornString& first) {
    if (g_LogSilent)
        return;
    CVornString line(CVornString::kUnlocked);
    line.Format(format, first.CStr());
    LogText(level, line.CStr());
}

void logLine(int level, const char* format, CVornString& first, CVornString& second) {
    if (g_LogSilent)
        return;
    CVornString line(CVornString::kUnlocked);
    line.Format(format, first.CStr(), second.CStr());
    LogText(level, line.CStr());
}

// The login's checks in their order: true when the session is logged in.
// Every refusal has been logged and recorded; *noCookie tells the one
// refusal whose page text differs.
bool tryLogin(CVornString& user, CVornString& password, CVornString& issued,
             CVornString& client, CVornString& id, bool* noCookie) {
    *noCookie = false;
    if (user.IsEmpty() || issued.IsEmpty()) {
        if (!g_LogSilent)
            LogText(kLogNotice, "cannot authenticate because user or issued not provided");
        writeRecord(kRecordLogin, kRecordRefused, user, client, nullptr);
        return false;
    }
    if (id.IsEmpty()) {
        if (!g_LogSilent)
            LogText(kLogWarning, "cannot authenticate because no cookie provided");
        writeRecord(kRecordLogin, kRecordRefused, user, client,
                    GetCatalogText(kMsgLoginNoCookie));
        *noCookie = true;
        return false;
    }
    CVornString canonical(user, CVornString::kUnlocked);
    if (!CVornConfigStore::GetCanonicalUserName(canonical)) {
        logLine(kLogNotice, "cannot authenticate user %s (does not exist)", user);
        writeRecord(kRecordLogin, kRecordRefused, user, client, nullptr);
        return false;
    }
    CVornString webUser(CVornString::kUnlocked);
    if (CVornConfigStore::GetObjectSetting('U', user.CStr(), "ZELORMUser", webUser) != 0 ||
        webUser.ToLong() <= 0) {
        logLine(kLogNotice, "cannot authenticate user %s (not a mailvorn user)", user);
        writeRecord(kRecordLogin, kRecordRefused, user, client, nullptr);
        return false;
    }
    // Only the configuration's own account counts (check flag 1), and the
    // number of logged-in sessions is not limited (maximum 0). Whatever the
    // reason of a refusal, the page says the same: a guesser learns nothing.
    if (SessionTable.Login(user.CStr(), password.CStr(), client.CStr(), issued.CStr(), id.CStr(),
                           1, 0) != CWebSessionTable::kLoginOk) {
        writeRecord(kRecordLogin, kRecordRefused, user, client, nullptr);
        return false;
    }
    return true;
}

}  // namespace

void Authenticate(CVornHTTPRequest* request) {
    if (DefaultIfNoParams(request))
        return;
    CVornString user(kAdminAccount, CVornString::kUnlocked);
    CVornString password(CVornString::kUnlocked);
    CVornString issued(CVornString::kUnlocked);
    CVornString loginPage(CVornString::kUnlocked);
    (void)request->m_FormVariables.Get("password", password);
    (void)request->m_FormVariables.Get("issued", issued);
    if (!request->m_FormVariables.Get("loginform", loginPage) || loginPage.IsEmpty())
        loginPage.Assign(kAdminLoginPage);
    for (const char* name : kLoginFormVariables) request->m_FormVariables.Remove(name);

    CVornString client(CVornString::kUnlocked);
    request->GetClientAddress(client);
    CVornString id(CVornString::kUnlocked);
    GetSessionCookie(request, id);

    bool noCookie = false;
    const bool loggedIn = tryLogin(user, password, issued, client, id, &noCookie);
    // The password is no longer needed: do not keep it in this worker's heap
    // longer than the check.
    password.Assign("");
    if (!loggedIn) {
        const int number = noCookie ? kMsgLoginNoCookie : kMsgLoginRefused;
        CVornString text(CVornString::kUnlocked);
        if (const char* found = GetCatalogText(number))
            text.Assign(found);
        request->m_FormVariables.Set("loginerror", text);
        IssueLogin(request, loginPage.CStr());
        return;
    }

    logLine(kLogNotice, "user %s client %s authenticated", user, client);
    writeRecord(kRecordLogin, kRecordDone, user, client, nullptr);
    // The administration keeps settings per client address; a failure to
    // make the object leaves the login as it is.
    // Adding saves the files: not while an object command holds unsaved
    // changes of its own (it holds PageLock until it has saved).
    {
        CVornLockGuard pageGuard(PageLock);
        if (!client.IsEmpty() && CVornConfigStore::ObjectExists('C', client.CStr()) == 0)
            (void)CVornConfigStore::AddObject('C', client.CStr(), 1);
    }
    DispatchAction(request);
}

void Deauthenticate(CVornHTTPRequest* request) {
    CVornString id(CVornString::kUnlocked);
    GetSessionCookie(request, id);
    CVornString user(CVornString::kUnlocked);
    CVornString client(CVornString::kUnlocked);
    time_t previousAccess = 0;
    if (SessionTable.Validate(id.CStr(), user, client, previousAccess) == 1) {
        logLine(kLogNotice, "user %s client %s deauthenticated", user, client);
        writeRecord(kRecordLogout, kRecordDone, user, client, nullptr);
    }
    // Whatever the session's state, the cookie is worthless from now on.
    (void)SessionTable.Remove(id.CStr());
    Default(request);
}
