// The page tags of the service's state (see service_tags.h).
#include "webadmin/service_tags.h"

#include <time.h>

#include "core/clock.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "core/vorn_list.h"
#include "gateway/relay_routes.h"
#include "gateway/scanner_manager.h"
#include "gateway/service_startup.h"
#include "gateway/update_scheduler.h"
#include "net/http_request.h"
#include "templates/select_boxes.h"
#include "templates/tag_support.h"

namespace {

// Update results that the launcher's exit codes and the scheduler give and
// that have a text of their own (gateway/update_scheduler.h names the
// scheduler's own codes 103 to 107).
constexpr int kResultAlreadyCurrent = 1;
constexpr int kResultServerBusy = 2;
constexpr int kResultNotRunFirst = 4;
constexpr int kResultNotRunLast = 6;
constexpr int kResultClientError100 = 100;
constexpr int kResultClientError101 = 101;

void AppendCatalogText(CVornString& out, int number) {
    if (const char* text = GetCatalogText(number))
        out.Append(text);
}

// The last update's start, finish and result; false without a scheduler.
bool LastRun(time_t& start, time_t& finish, int& result) {
    CUpdateScheduler* scheduler = g_UpdateScheduler;
    if (scheduler == nullptr)
        return false;
    scheduler->GetLastRun(start, finish, result);
    return true;
}

// The parenthesised detail of a failed update: the result's text, or the
// result in decimal when it has none.
void AppendFailureDetail(CVornString& out, int result) {
    if (result == kResultServerBusy)
        AppendCatalogText(out, kMsgUpdateServerBusy);
    else if (result >= kResultNotRunFirst && result <= kResultNotRunLast)
        AppendCatalogText(out, kMsgUpdateNotRun);
    else if (result == kResultClientError100)
        AppendCatalogText(out, kMsgUpdateClientError100);
    else if (result == kResultClientError101)
        AppendCatalogText(out, kMsgUpdateClientError101);
    else if (result == kUpdateNoLauncherPath)
        AppendCatalogText(out, kMsgUpdateNoLauncher);
    else if (result == kUpdateLauncherNotRun)
        AppendCatalogText(out, kMsgUpdateClientError105);
    else
        out.AppendInt(result);
}

}  // namespace

void VirusDefVersion(CVornHTTPRequest* request) {
    CScannerManager* scanner = g_ScannerManager;
    IDefsInfo* info = nullptr;
    if (scanner == nullptr || !scanner->GetDefsInfo(&info))
        return;
    struct tm local = {};
    const bool converted = SafeLocalTime(static_cast<time_t>(info->GetDate()), &local) == 0;
    const unsigned long revision = info->GetRevision();
    info->Release();
    if (!converted)
        return;
    char text[64];
    snprintf(text, sizeof text, "%4d-%02d-%02d (%lu)", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, revision);
    request->Write(text);
}

void LastKelbrookAttempt(CVornHTTPRequest* request) {
    time_t start = 0;
    time_t finish = 0;
    int result = 0;
    if (!LastRun(start, finish, result))
        return;
    CVornString out(CVornString::kUnlocked);
    if (start == 0)
        AppendCatalogText(out, kMsgUpdateNever);
    else
        CVornDate(start).FormatDisplay(out);
    request->Write(out);
}

void LastKelbrookStatus(CVornHTTPRequest* request) {
    time_t start = 0;
    time_t finish = 0;
    int result = 0;
    if (!LastRun(start, finish, result))
        return;
    CVornString out(CVornString::kUnlocked);
    if (start == 0) {
        AppendCatalogText(out, kMsgUpdateNoneRun);
    } else if (finish == 0) {
        AppendCatalogText(out, kMsgUpdateRunning);
    } else if (result == kUpdateSucceeded) {
        AppendCatalogText(out, kMsgUpdateSucceeded);
    } else if (result == kResultAlreadyCurrent) {
        AppendCatalogText(out, kMsgUpdateSucceeded);
        out.Append(" (");
        AppendCatalogText(out, kMsgUpdateAlreadyCurrent);
        out.Append(")");
    } else {
        AppendCatalogText(out, kMsgUpdateFailed);
        out.Append(" (");
        AppendFailureDetail(out, result);
        out.Append(")");
    }
    request->Write(out);
}

void RouteBox(CVornHTTPRequest* request, CVornStringMap& attributes) {
    WriteSelectStart(request, attributes);
    CVornSortedList<CRelayRoute> routes(&CompareRoutes);
    {
        CRelayRoutingTable table;
        table.GetSorted(routes);
    }
    CVornString out(CVornString::kUnlocked);
    CVornString text(CVornString::kUnlocked);
    {
        CVornLockGuard guard(routes.m_List.m_Lock);
        for (auto* node = routes.m_List.m_Head; node; node = node->m_Next) {
            node->m_Element.Format(text);
            // The routes are configuration text: a domain may hold a quote
            // or markup, which must not leave the option's value.
            out.Append("<option value=\"");
            AppendHtml(out, text);
            out.Append("\">");
            AppendHtml(out, text);
            out.Append("\r\n");
        }
    }
    out.Append("</select>\r\n");
    request->Write(out);
}

int CompareRoutes(const CRelayRoute* a, const CRelayRoute* b) {
    // Copies under each route's lock in turn compare the same as holding
    // both locks, and never hold two route locks at once.
    CVornString first(CVornString::kUnlocked);
    CVornString second(CVornString::kUnlocked);
    a->GetDomain(first);
    b->GetDomain(second);
    return first.Compare(second, 0);
}
