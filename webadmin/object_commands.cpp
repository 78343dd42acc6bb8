// The object commands of the web administration: AddObj and DeleteObj (see
// object_commands.h).
#include "webadmin/object_commands.h"

#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "config/list_membership.h"
#include "core/code_page.h"
#include "core/message_catalog.h"
#include "core/splitter.h"
#include "core/vorn_string.h"
#include "gateway/address_book.h"
#include "gateway/mail_users.h"
#include "net/host_address.h"
#include "net/http_request.h"
#include "templates/conditions.h"
#include "templates/hidden_vars.h"
#include "templates/tag_support.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

// Records (3, event, status): event 9 an object added, 10 deleted, 16 a
// refused permission; status 1 done, 2 failed, 0 (not written) refused.
constexpr int kRecordClass = 3;
constexpr int kRecordAdded = 9;
constexpr int kRecordDeleted = 10;
constexpr int kRecordRefused = 16;
constexpr int kStatusDone = 1;
constexpr int kStatusFailed = 2;
constexpr int kFieldType = 40;
constexpr int kFieldName = 41;
constexpr int kFieldText = 100;

constexpr char kListSeparator = '\x1C';
constexpr const char* kTrailingBlanks = " \t";
constexpr const char* kOwnerPrefix = "owner-";
constexpr const char* kNewListPage = "list_mod2_a.mhtml";
constexpr const char* kSuccessPage = "ormadmin_success.mhtml";

// Why a user could not be enrolled (the codes of the failure list).
enum : int { kEnrolled = 0, kEnrollBadName = 1, kEnrollExists = 2, kEnrollNotCreated = 4 };

// What every record of one command carries.
struct CommandContext {
    CVornString m_User{CVornString::kUnlocked};
    CVornString m_Permissions{CVornString::kUnlocked};
    CVornString m_Client{CVornString::kUnlocked};
    CVornString m_Type{CVornString::kUnlocked};  // the whole "objtype"
};

// PageLock, held from construction until Release or the end of the scope.
class PageLockHolder {
public:
    PageLockHolder() { PageLock.Lock(); }
    ~PageLockHolder() { Release(); }
    PageLockHolder(const PageLockHolder&) = delete;
    PageLockHolder& operator=(const PageLockHolder&) = delete;
    void Release() {
        if (m_Held) {
            m_Held = false;
            PageLock.Unlock();
        }
    }

private:
    bool m_Held = true;
};

// The base-catalogue text of number; empty when missing.
CVornString objectText(int number) {
    CVornString text(CVornString::kUnlocked);
    if (const char* found = GetCatalogText(number))
        text.Assign(found);
    return text;
}

void showObjectError(CVornHTTPRequest* request, int number) {
    ShowErrorText(request, objectText(number));
}

void writeRecord(CommandContext& context, int event, int status, const CVornString& name,
                 const CVornString* text) {
    CVornStringMap record;
    ActivityRecordStart(record, kRecordClass, event, status, context.m_User.CStr(),
                        context.m_Client.CStr());
    ActivityRecordSetString(record, kFieldType, context.m_Type);
    ActivityRecordSetString(record, kFieldName, name);
    if (text != nullptr)
        ActivityRecordSetString(record, kFieldText, *text);
    ActivityLogWrite(record);
}

// The session: true when logged in (context filled). Otherwise the
// request gets the login page, which runs command after the login.
bool startCommand(CVornHTTPRequest* request, const char* command, CommandContext& context) {
    if (CheckSession(request, context.m_User, context.m_Permissions)) {
        request->m_FormVariables.Set("action", CVornString(command, CVornString::kUnlocked));
        IssueLogin(request, kAdminLoginPage);
        return false;
    }
    request->GetClientAddress(context.m_Client);
    return true;
}

// Whether the user may apply method to the object type; a refusal is
// recorded with refusedText and shown.
bool permitted(CVornHTTPRequest* request, CommandContext& context, char method,
               const CVornString& refusedText) {
    CVornString required(CVornString::kUnlocked);
    required.Append(method);
    if (context.m_Type.CharAt(0) != '\0')
        required.Append(context.m_Type.CharAt(0));
    if (MatchPerms(required, context.m_Permissions))
        return true;
    writeRecord(context, kRecordRefused, 0, FormVariable(request, "objname"), &refusedText);
    showObjectError(request, kMsgObjectNoPermission);
    return false;
}

// Splits a 0x1C-separated list; false when an item is over-long. Checked
// before anything changes, so an over-long item loses nothing.
bool splitList(const CVornString& text, std::vector<CVornString>& items) {
    CVornSplitter splitter;
    splitter.SplitFields(text, kListSeparator, 0);
    items.clear();
    for (int i = 0; i < splitter.Count(); ++i) {
        CVornString item(CVornString::kUnlocked);
        (void)splitter.GetAt(i, item);
        if (item.Length() >= kMaxObjectListItem)
            return false;
        items.push_back(item);
    }
    return true;
}

// Saves the configuration: true when saved. Otherwise the files are read
// again, so that memory holds what the files hold, and the error is shown.
bool saveOrReload(CVornHTTPRequest* request) {
    if (CVornConfigStore::Save() == 0)
        return true;
    (void)CVornConfigStore::Load(1);
    ShowErrorMessage(request, kMsgConfigNotSaved);
    return false;
}

// "objname" without trailing blanks and tabs.
CVornString trimmedName(CVornHTTPRequest* request) {
    CVornString name = FormVariable(request, "objname");
    name.TrimRight(kTrailingBlanks);
    return name;
}

// A client: the object is named by the first address the name resolves to.
void addClient(CVornHTTPRequest* request, CommandContext& context) {
    CVornString name = trimmedName(request);
    if (name.IsEmpty()) {
        showObjectError(request, kMsgObjectBadName);
        return;
    }
    CVornHostAddress host;
    host.SetName(name.CStr());
    CVornStringList addresses;
    CVornString address(CVornString::kUnlocked);
    if (host.GetAddressStrings(addresses)) {
        CVornLockGuard guard(addresses.m_Lock);
        if (addresses.m_Head != nullptr)
            address.Assign(addresses.m_Head->m_Element);
    }
    if (address.IsEmpty()) {
        showObjectError(request, kMsgClientNotResolved);
        return;
    }
    if (CVornConfigStore::ObjectExists('C', address.CStr()) != 0) {
        showObjectError(request, kMsgObjectExists);
        return;
    }
    if (CVornConfigStore::AddObject('C', address.CStr(), 0) != 0) {
        showObjectError(request, kMsgObjectNotCreated);
        return;
    }
    if (!saveOrReload(request))
        return;
    writeRecord(context, kRecordAdded, kStatusDone, address, nullptr);
    ShowPage(request, false);
}

// A dictionary, a group or a mailing list (with its owner list).
void addNamed(CVornHTTPRequest* request, CommandContext& context, char type,
              PageLockHolder& pageLock) {
    CVornString name = trimmedName(request);
    if (CVornConfigStore::IsBadObjectName(name.CStr()) ||
        (type == 'L' && name.StartsWith(kOwnerPrefix, 0))) {
        showObjectError(request, kMsgObjectBadName);
        return;
    }
    if (CVornConfigStore::ObjectExists(type, name.CStr()) != 0) {
        showObjectError(request, kMsgObjectExists);
        return;
    }
    if (CVornConfigStore::AddObject(type, name.CStr(), 0) != 0) {
        showObjectError(request, kMsgObjectNotCreated);
        return;
    }
    if (type == 'L') {
        CVornString owner(kOwnerPrefix, CVornString::kUnlocked);
        owner.Append(name);
        if (CVornConfigStore::AddObject('L', owner.CStr(), 0) != 0) {
            // No list without its owner list.
            (void)CVornConfigStore::DeleteObject('L', name.CStr(), 0);
            showObjectError(request, kMsgObjectNotCreated);
            return;
        }
    }
    if (!saveOrReload(request))
        return;
    writeRecord(context, kRecordAdded, kStatusDone, name, nullptr);
    if (type == 'L') {
        pageLock.Release();
        request->m_FormVariables.Set("what", CVornString(kNewListPage, CVornString::kUnlocked));
        request->m_FormVariables.Set("Mailbox", name);
    }
    ShowPage(request, false);
}

// The part of an account after its last backslash (a backslash that is the
// trail byte of a double-byte character does not count); the whole account
// when it has none.
CVornString accountUser(const CVornString& account) {
    CVornString copy(account, CVornString::kUnlocked);
    const char* text = copy.CStr();
    const int length = copy.Length();
    int after = 0;
    for (int i = 0; i < length;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int n = g_CodePage.CharLength(c);
        if (n == 1 && c == '\\')
            after = i + 1;
        i += n > 0 ? n : 1;
    }
    if (after > length)
        after = length;
    return CVornString(text + after, length - after, CVornString::kUnlocked);
}

// Enrolls one user for account: kEnrolled, or why not. A user object made
// here is removed again when the mail store refuses the user.
int enrollUser(const CVornString& name, const CVornString& account, bool reenable,
               bool makeMailboxes) {
    CVornString user(name, CVornString::kUnlocked);
    if (CVornConfigStore::IsBadObjectName(user.CStr()))
        return kEnrollBadName;
    CVornString mark(CVornString::kUnlocked);
    if (CVornConfigStore::GetObjectSetting('U', user.CStr(), kMailUserSetting, mark) != 0)
        mark.Assign("0");
    if (mark.ToInt() != 0)
        return kEnrollExists;
    bool created = false;
    if (CVornConfigStore::ObjectExists('U', user.CStr()) == 0) {
        if (CVornConfigStore::AddObject('U', user.CStr(), 0) != 0)
            return kEnrollNotCreated;
        created = true;
        if (CVornConfigStore::SetAttribute('U', user.CStr(), "RealAcct", account, 0) != 0) {
            (void)CVornConfigStore::DeleteObject('U', user.CStr(), 0);
            return kEnrollNotCreated;
        }
    } else if (!reenable) {
        CVornString real(CVornString::kUnlocked);
        (void)CVornConfigStore::GetObjectSetting('U', user.CStr(), "RealAcct", real);
        if (!real.Equals(account, 0))
            return kEnrollExists;
    }
    auto undo = [&user, created] {
        (void)DeleteMailUser(user.CStr());
        if (created)
            (void)CVornConfigStore::DeleteObject('U', user.CStr(), 0);
        return kEnrollNotCreated;
    };
    if (ActivateMailUser(user.CStr()) != 0)
        return undo();
    if (makeMailboxes) {
        for (const char* mailbox : kNewUserMailboxes) {
            if (CreateMailbox(user.CStr(), mailbox) != 0)
                return undo();
        }
    }
    return kEnrolled;
}

struct EnrollFailure {
    CVornString m_Name{CVornString::kUnlocked};
    int m_Code = 0;
};

// Notes a failure; a later failure of the same name replaces its code.
void noteFailure(std::vector<EnrollFailure>& failures, const CVornString& name, int code) {
    for (EnrollFailure& failure : failures) {
        if (failure.m_Name.Equals(name, 0)) {
            failure.m_Code = code;
            return;
        }
    }
    EnrollFailure failure;
    failure.m_Name.Assign(name);
    failure.m_Code = code;
    failures.push_back(failure);
}

void enrollUsers(CVornHTTPRequest* request, CommandContext& context) {
    const bool reenable = FormVariable(request, "reenable").Equals("1", 1);
    const bool makeMailboxes = !FormVariable(request, "quickndirty").Equals("1", 1);
    CVornString accounts = FormVariable(request, "realusert");
    if (accounts.IsEmpty())
        accounts = FormVariable(request, "realuser");
    std::vector<CVornString> items;
    if (accounts.IsEmpty() || !splitList(accounts, items)) {
        showObjectError(request, kMsgObjectBadName);
        return;
    }
    const CVornString given = trimmedName(request);

    std::vector<EnrollFailure> failures;
    const CVornString addedText = objectText(kMsgUserAdded);
    for (const CVornString& account : items) {
        const CVornString name = given.IsEmpty() ? accountUser(account) : given;
        const int code = enrollUser(name, account, reenable, makeMailboxes);
        if (code != kEnrolled) {
            noteFailure(failures, name, code);
            continue;
        }
        CVornString text(addedText, CVornString::kUnlocked);
        text.Append(" ");
        text.Append(account);
        writeRecord(context, kRecordAdded, kStatusDone, name, &text);
    }
    if (!saveOrReload(request))
        return;
    if (failures.empty()) {
        ShowPage(request, false);
        return;
    }

    CVornString error = objectText(kMsgUsersNotAdded);
    error.Append("<table border=0>");
    for (const EnrollFailure& failure : failures) {
        const CVornString reason = failure.m_Code == kEnrollBadName ? objectText(kMsgObjectBadName)
                                   : failure.m_Code == kEnrollExists
                                       ? objectText(kMsgObjectExists)
                                       : objectText(kMsgObjectNotCreated);
        // The name came from the request: it is shown, never run.
        error.Append("<tr><td>");
        AppendHtml(error, failure.m_Name);
        error.Append("</td><td>");
        error.Append(reason);
        error.Append("</td></tr>");
        writeRecord(context, kRecordAdded, kStatusFailed, failure.m_Name, &reason);
    }
    error.Append("</table>");
    ShowErrorText(request, error);
}

}  // namespace

void AddObj(CVornHTTPRequest* request) {
    if (DefaultIfNoParams(request) || HandleUserSearchSubmit(request))
        return;
    CommandContext context;
    if (!startCommand(request, "AddObj", context))
        return;
    // The result page is the referring page unless a step below says more.
    KeepHiddenVarAs(request, "referer", "what");
    CopyFormVar(request, "referer", "what");
    if (!request->m_FormVariables.Get("objtype", context.m_Type)) {
        showObjectError(request, kMsgObjectBadType);
        return;
    }
    if (!permitted(request, context, 'A', objectText(kMsgAddObjectRefused)))
        return;

    PageLockHolder pageLock;
    const char type = context.m_Type.CharAt(0);
    switch (type) {
        case 'C':
            addClient(request, context);
            return;
        case 'D':
        case 'G':
        case 'L':
            addNamed(request, context, type, pageLock);
            return;
        case 'U':
            enrollUsers(request, context);
            return;
        default:
            showObjectError(request, kMsgObjectBadType);
            return;
    }
}

void DeleteObj(CVornHTTPRequest* request) {
    if (DefaultIfNoParams(request) || HandleUserSearchSubmit(request))
        return;
    CommandContext context;
    if (!startCommand(request, "DeleteObj", context))
        return;
    KeepHiddenVarAs(request, "referer", "what");
    request->m_FormVariables.Set("what", CVornString(kSuccessPage, CVornString::kUnlocked));
    if (!request->m_FormVariables.Get("objtype", context.m_Type)) {
        showObjectError(request, kMsgObjectBadType);
        return;
    }
    if (!permitted(request, context, 'D', objectText(kMsgDeleteObjectRefused)))
        return;

    PageLockHolder pageLock;
    const char type = context.m_Type.CharAt(0);
    if (type != 'C' && type != 'D' && type != 'G' && type != 'L' && type != 'U') {
        showObjectError(request, kMsgObjectBadType);
        return;
    }
    CVornString names(CVornString::kUnlocked);
    if (!request->m_FormVariables.Get("objname", names)) {
        showObjectError(request, kMsgObjectNoName);
        return;
    }
    std::vector<CVornString> items;
    if (!splitList(names, items)) {
        showObjectError(request, kMsgObjectBadName);
        return;
    }
    const bool wipeout = FormVariable(request, "wipeout").CharAt(0) == '1';

    std::vector<CVornString> failed;
    for (CVornString& name : items) {
        if (CVornConfigStore::ObjectExists(type, name.CStr()) == 0)
            continue;
        bool ok = true;
        if (type == 'U') {
            DeleteAddressBook(name.CStr());
            if (DeleteMailUser(name.CStr()) != 0)
                ok = false;
            // Without "wipeout" only the user's mail data goes.
            if (!wipeout)
                continue;
            if (g_WebListMembership != nullptr)
                (void)g_WebListMembership->RemoveMember(name.CStr());
        }
        // A dictionary's filter data would go here: this system has no
        // dictionary filter (g_WebDictionaryFilter is never set).
        if (!ok || CVornConfigStore::DeleteObject(type, name.CStr(), 0) != 0) {
            failed.push_back(name);
            continue;
        }
        writeRecord(context, kRecordDeleted, kStatusDone, name, nullptr);
    }
    if (!saveOrReload(request))
        return;
    if (failed.empty()) {
        ShowPage(request, false);
        return;
    }

    CVornString error = objectText(kMsgObjectsNotDeleted);
    error.Append("<br>");
    for (const CVornString& name : failed) {
        // The name came from the request: it is shown, never run.
        AppendHtml(error, name);
        error.Append("<br>");
        writeRecord(context, kRecordDeleted, kStatusFailed, name, nullptr);
    }
    ShowErrorText(request, error);
}
