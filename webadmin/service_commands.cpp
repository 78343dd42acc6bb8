// The service commands of the web administration (see service_commands.h).
#include "webadmin/service_commands.h"

#include <errno.h>
#include <stdlib.h>

#include "config/config_store.h"
#include "core/debug_log.h"
#include "core/format_check.h"
#include "core/message_catalog.h"
#include "core/threads.h"
#include "core/vorn_buffer.h"
#include "core/vorn_string.h"
#include "gateway/relay_routes.h"
#include "gateway/service_startup.h"
#include "gateway/update_scheduler.h"
#include "net/http_request.h"
#include "net/tcp_socket.h"
#include "net/uri.h"
#include "templates/hidden_vars.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

constexpr int kDebugDefaultLevel = kLogWarning;
// The largest route port.
constexpr long kMaxPort = 65535;

// The form variables of EditRoutingList, carried back on a refusal.
const char* const kRouteVariables[] = {"RouteHost", "OldRouteHost", "TargetHost", "TargetPort"};
// The password variables of ChangePassword: read once, then removed.
const char* const kPasswordVariables[] = {"Oldpass", "Newpass", "Newpass2"};

CVornString formVariable(CVornHTTPRequest* request, const char* name) {
    CVornString value(CVornString::kUnlocked);
    (void)request->m_FormVariables.Get(name, value);
    return value;
}

void setFormVariable(CVornHTTPRequest* request, const char* name, const char* value) {
    request->m_FormVariables.Set(name, CVornString(value, CVornString::kUnlocked));
}

// All of length bytes reached the connection.
bool sendAll(CVornTCPSocket* connection, const char* bytes, int length) {
    return connection != nullptr && connection->Write(bytes, length) == length;
}

bool sendAll(CVornTCPSocket* connection, const char* text) {
    CVornString copy(text, CVornString::kUnlocked);
    return sendAll(connection, copy.CStr(), copy.Length());
}

// The stream's level from the form variable "level": 4 when missing, not a
// number or 0 or less; 7 above 7.
int debugLevel(CVornHTTPRequest* request) {
    CVornString text(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get("level", text))
        return kDebugDefaultLevel;
    errno = 0;
    const long value = strtol(text.CStr(), nullptr, 10);
    if (errno == ERANGE)
        return value > 0 ? kLogDebug : kDebugDefaultLevel;
    if (value <= 0)
        return kDebugDefaultLevel;
    return value > kLogDebug ? kLogDebug : static_cast<int>(value);
}

// True when text is a port: decimal digits only, 1 to 65535.
bool isPortText(const CVornString& text) {
    CVornString copy(text, CVornString::kUnlocked);
    const char* p = copy.CStr();
    const int length = text.Length();
    if (length < 1 || length > 5)
        return false;
    long value = 0;
    for (int i = 0; i < length; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        value = value * 10 + (p[i] - '0');
    }
    return value >= 1 && value <= kMaxPort;
}

// The refusal of EditRoutingList: the form comes back with its values.
void refuseRoute(CVornHTTPRequest* request, int number) {
    KeepHiddenVarAs(request, "referer", "what");
    for (const char* name : kRouteVariables) KeepHiddenVar(request, name);
    ShowErrorMessage(request, number);
}

// The refusal of ChangePassword: the referring page with "loginerror".
void refusePassword(CVornHTTPRequest* request, const CVornString& text, bool inlineError) {
    request->m_FormVariables.Set("loginerror", text);
    ShowPage(request, inlineError);
}

void refusePassword(CVornHTTPRequest* request, int number, bool inlineError) {
    CVornString text(CVornString::kUnlocked);
    CProductMessageCatalog catalog;
    if (const char* found = catalog.GetText(number))
        text.Assign(found);
    refusePassword(request, text, inlineError);
}

// Product text 2000008 filled with the store's reason; a text that does not
// take exactly one string is shown with the reason after it.
void passwordNotChangedText(const CVornString& reason, CVornString& out) {
    CProductMessageCatalog catalog;
    const char* format = catalog.GetText(kMsgPasswordNotChanged);
    if (format == nullptr) {
        out.Assign(reason);
        return;
    }
    CVornString reasonCopy(reason, CVornString::kUnlocked);
    if (FormatMatches(format, "s")) {
        out.Format(format, reasonCopy.CStr());
        return;
    }
    out.Assign(format);
    if (!reasonCopy.IsEmpty()) {
        out.Append(" ");
        out.Append(reasonCopy);
    }
}

}  // namespace

void Debug(CVornHTTPRequest* request) {
    // Everything goes straight to the connection: the request's response
    // must never add a status line of its own after the stream.
    request->Abandon();
    CVornTCPSocket* connection = request->m_Connection;
    const bool headOnly = request->m_Method == kHttpMethodHead;

    CVornString allow(CVornString::kUnlocked);
    if (CVornConfigStore::GetObjectSetting('S', nullptr, kAllowDebugSetting, allow) != 0 ||
        allow.ToLong() != 1) {
        if (sendAll(connection, kDebugHeaderBlock) && !headOnly)
            (void)sendAll(connection, kDebugRefusal);
        return;
    }
    const int level = debugLevel(request);
    if (!sendAll(connection, kDebugHeaderBlock) || headOnly)
        return;

    CVornLogSink sink(level);
    CVornBuffer captured;
    CVornString text(CVornString::kUnlocked);
    int idle = 0;
    while (DebugStopFlag.load() == 0) {
        if (sink.TakeText(captured)) {
            idle = 0;
            captured.TakeAll(text);
            // A short write: the browser went away, or the server is
            // stopping and has shut the connection down.
            if (!text.IsEmpty() && !sendAll(connection, text.CStr(), text.Length()))
                break;
        } else if (++idle > kDebugIdlePolls) {
            idle = 0;
            if (!sendAll(connection, kDebugKeepAlive))
                break;
        }
        SleepSeconds(1);
    }
}

void StopDebugStreams() {
    // The flag is atomic: waiting for PageLock here could hold the service
    // stop behind an object command writing to a slow browser.
    DebugStopFlag.store(1);
}

void VirusDefDownload(CVornHTTPRequest* request) {
    CVornString user(CVornString::kUnlocked);
    CVornString permissions(CVornString::kUnlocked);
    if (CheckSession(request, user, permissions)) {
        setFormVariable(request, "action", "VirusDefDownload");
        IssueLogin(request, kAdminLoginPage);
        return;
    }
    // Start-up makes the scheduler after the web server listens, and stops
    // before it when the scanner does not load: then there is none to ask.
    CUpdateScheduler* scheduler = g_UpdateScheduler;
    if (scheduler == nullptr) {
        ShowErrorMessage(request, kMsgUpdateNoScheduler);
        return;
    }
    // The update starts at the scheduler's next check; this page does not
    // wait for it.
    scheduler->RunNow();
    setFormVariable(request, "what", kSuccessPage);
    CVornString message(CVornString::kUnlocked);
    if (const char* found = GetCatalogText(kMsgUpdateRequested))
        message.Assign(found);
    request->m_FormVariables.Set("Message", message);
    ShowPage(request, false);
}

void EditRoutingList(CVornHTTPRequest* request) {
    CVornString user(CVornString::kUnlocked);
    CVornString permissions(CVornString::kUnlocked);
    if (CheckSession(request, user, permissions)) {
        setFormVariable(request, "action", "EditRoutingList");
        IssueLogin(request, kAdminLoginPage);
        return;
    }
    // The object commands change the configuration in memory under
    // PageLock and save once at their end: a save of ours in between would
    // write their half-made (perhaps refused) changes to the files.
    CVornLockGuard pageGuard(PageLock);
    CVornString cancel(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get("CancelRoute", cancel)) {
        CVornString routeHost = formVariable(request, "RouteHost");
        CVornString oldRouteHost = formVariable(request, "OldRouteHost");
        CVornString targetHost = formVariable(request, "TargetHost");
        CVornString targetPort = formVariable(request, "TargetPort");
        if (routeHost.IsEmpty()) {
            refuseRoute(request, kMsgRouteNoDomain);
            return;
        }
        if (targetHost.IsEmpty() && !targetPort.IsEmpty()) {
            refuseRoute(request, kMsgRoutePortWithoutHost);
            return;
        }
        if (!targetPort.IsEmpty() && !isPortText(targetPort)) {
            refuseRoute(request, kMsgRouteBadPort);
            return;
        }
        CRelayRoutingTable table;
        const CRelayRoute route(routeHost.CStr(), targetHost.CStr(), targetPort.CStr());
        // Both refuse a route whose text would split the setting into other
        // routes (a line break, or a value given twice and so joined with
        // the list separator), changing nothing.
        const bool stored =
            oldRouteHost.IsEmpty() ? table.Add(route) : table.Replace(oldRouteHost.CStr(), route);
        if (!stored) {
            refuseRoute(request, kMsgWebNotWritten);
            return;
        }
        // The route is in memory only until the files are written: a failed
        // save reads them again, so that what the page says is what holds.
        if (CVornConfigStore::Save() != 0) {
            (void)CVornConfigStore::Load(1);
            ShowErrorMessage(request, kMsgConfigNotSaved);
            return;
        }
    } else {
        // Nothing changed here; the save keeps the files level with memory.
        (void)CVornConfigStore::Save();
    }
    setFormVariable(request, "what", kRelayListPage);
    ShowPage(request, false);
}

void ChangePassword(CVornHTTPRequest* request) {
    if (DefaultIfNoParams(request))
        return;
    CVornString user(CVornString::kUnlocked);
    CVornString permissions(CVornString::kUnlocked);
    if (CheckSession(request, user, permissions)) {
        setFormVariable(request, "action", "ChangePassword");
        IssueLogin(request, kUserLoginPage);
        return;
    }
    CVornString client(CVornString::kUnlocked);
    request->GetClientAddress(client);
    CopyFormVar(request, "referer", "what");

    // The passwords go no further than this command: no page shows them.
    CVornString oldPassword = formVariable(request, "Oldpass");
    CVornString newPassword = formVariable(request, "Newpass");
    CVornString newPassword2 = formVariable(request, "Newpass2");
    for (const char* name : kPasswordVariables) request->m_FormVariables.Remove(name);

    CVornString allowed(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(client.CStr(), user.CStr(), "CanChangePassword", allowed) !=
            0 ||
        allowed.ToLong() <= 0) {
        refusePassword(request, kMsgPasswordChangeRefused, false);
        return;
    }
    if (newPassword.IsEmpty()) {
        refusePassword(request, kMsgNewPasswordEmpty, true);
        return;
    }
    if (!newPassword.Equals(newPassword2, 3)) {
        refusePassword(request, kMsgNewPasswordsDiffer, false);
        return;
    }
    if (CVornConfigStore::CheckPassword(user.CStr(), oldPassword.CStr(), 0) != 0) {
        refusePassword(request, kMsgOldPasswordWrong, false);
        return;
    }
    CVornString reason(CVornString::kUnlocked);
    // The change saves the files: not while an object command holds
    // unsaved changes of its own (see EditRoutingList).
    CVornLockGuard pageGuard(PageLock);
    if (CVornConfigStore::ChangePassword(user.CStr(), oldPassword.CStr(), newPassword.CStr(), 1,
                                         reason, 1) != 0) {
        CVornString text(CVornString::kUnlocked);
        passwordNotChangedText(reason, text);
        refusePassword(request, text, false);
        return;
    }
    setFormVariable(request, "what", kUserSuccessPage);
    ShowPage(request, false);
}
