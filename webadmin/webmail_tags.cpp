// The web-mail pages' select lists, carried headers and frame tags (see
// webmail_tags.h).
#include "webadmin/webmail_tags.h"

#include <limits.h>

#include <vector>

#include "config/config_store.h"
#include "core/message_catalog.h"
#include "core/vorn_list.h"
#include "gateway/address_book.h"
#include "gateway/mail_users.h"
#include "gateway/mailbox_set.h"
#include "net/http_request.h"
#include "net/mail_address.h"
#include "templates/select_boxes.h"
#include "templates/tag_support.h"
#include "webadmin/page_tags.h"
#include "webadmin/webmail_support.h"

namespace {

constexpr const char* kAttachPrefix = "ATTACH-";
constexpr const char* kHeaderPrefix = "HDR-";

// Appends one option: value and text escaped.
void AppendOption(CVornString& out, const CVornString& value, const CVornString& text) {
    out.Append("<option value=\"");
    AppendHtml(out, value);
    out.Append("\">");
    AppendHtml(out, text);
    out.Append("\r\n");
}

// The form variables (name, value) whose names begin with one of the
// prefixes (any case), in the table's order.
std::vector<std::pair<CVornString, CVornString>> FormVariablesWith(
    CVornHTTPRequest* request, std::initializer_list<const char*> prefixes) {
    std::vector<std::pair<CVornString, CVornString>> found;
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = request->m_FormVariables.First(key, &value); more;
         more = request->m_FormVariables.Next(key, &value)) {
        if (value == nullptr)
            continue;
        for (const char* prefix : prefixes) {
            if (key.StartsWith(prefix, 0)) {
                found.emplace_back(CVornString(key, CVornString::kUnlocked),
                                   CVornString(*static_cast<CVornString*>(value),
                                               CVornString::kUnlocked));
                break;
            }
        }
    }
    return found;
}

// The user's "MailboxRefresh" (no client); empty when missing.
CVornString RefreshSetting(const CVornString& user) {
    CVornString userText(user, CVornString::kUnlocked);
    CVornString value(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(nullptr, userText.CStr(), "MailboxRefresh", value) != 0)
        value.Clear();
    return value;
}

}  // namespace

int CompareAddressBookEntries(const CAddressBookEntry* a, const CAddressBookEntry* b) {
    CVornString nameA(CVornString::kUnlocked);
    CVornString nameB(CVornString::kUnlocked);
    a->GetName(nameA);
    b->GetName(nameB);
    return nameA.Compare(nameB, 0);
}

void AddressBookBox(CVornHTTPRequest* request, CVornStringMap& attributes,
                    const CVornString& user) {
    WriteSelectStart(request, attributes);
    const bool addressValues = HasAttribute(attributes, "addrValue");
    CVornSortedList<CAddressBookEntry> sorted(&CompareAddressBookEntries);
    {
        CVornString userText(user, CVornString::kUnlocked);
        CAddressBook book(userText.CStr());
        book.GetSortedEntries(sorted);
    }

    CVornString out(CVornString::kUnlocked);
    CVornString name(CVornString::kUnlocked);
    CVornString value(CVornString::kUnlocked);
    const int count = sorted.m_List.m_Count;
    for (int i = 0; i < count; ++i) {
        const CAddressBookEntry* entry = sorted.m_List.GetAt(i);
        entry->GetName(name);
        if (addressValues)
            entry->GetValue(value);
        AppendOption(out, addressValues ? value : name, name);
    }
    out.Append("</select>\r\n");
    request->Write(out);
}

void AttachmentsBox(CVornHTTPRequest* request, CVornStringMap& attributes) {
    WriteSelectStart(request, attributes);
    CVornString out(CVornString::kUnlocked);
    for (auto& [name, value] : FormVariablesWith(request, {kAttachPrefix})) {
        name.RemovePrefix(kAttachPrefix, 1);
        AppendOption(out, name, value);
    }
    out.Append("</select>\r\n");
    request->Write(out);
}

void MailBoxBox(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user) {
    WriteSelectStart(request, attributes);
    CVornString out(CVornString::kUnlocked);
    if (HasAttribute(attributes, "insertblank"))
        out.Append("<option>\r\n");
    const CVornString current = FormVariable(request, "Mailbox");
    bool leaveOutCurrent = false;
    if (HasAttribute(attributes, "preselectCurrent")) {
        AppendOption(out, current, current);
        leaveOutCurrent = true;
    }
    if (HasAttribute(attributes, "excludeCurrent"))
        leaveOutCurrent = true;
    if (HasAttribute(attributes, "specialTrash") && current.Equals("Trash", 1)) {
        out.Append("<option value=\"--delete--\">");
        if (const char* text = GetCatalogText(kMsgWebMailDeleteForever))
            out.Append(text);
        out.Append("\r\n");
    }

    const bool noSpecial = HasAttribute(attributes, "nospecial");
    const bool onlyEmpty = HasAttribute(attributes, "empty");
    CVornString userText(user, CVornString::kUnlocked);
    CVornSortedList<MailboxSetEntry> mailboxes(&CompareMailboxNames);
    if (ListMailboxes(userText.CStr(), mailboxes) == 0) {
        const int count = mailboxes.m_List.m_Count;
        for (int i = 0; i < count; ++i) {
            CVornString name(mailboxes.m_List.GetAt(i)->m_Name, CVornString::kUnlocked);
            if (noSpecial && IsSpecialMailbox(name.CStr()))
                continue;
            if (onlyEmpty) {
                int messages = 0;
                int unread = 0;
                long bytes = 0;
                (void)GetMailboxCounts(userText.CStr(), name.CStr(), messages, unread, bytes);
                if (messages > 0)
                    continue;
            }
            if (leaveOutCurrent && name.Equals(current, 1))
                continue;
            AppendOption(out, name, name);
        }
    }
    out.Append("</select>\r\n");
    request->Write(out);
}

void MyAddress(CVornHTTPRequest* request, const CVornString& user) {
    CVornString userText(user, CVornString::kUnlocked);
    CVornMailAddress address;
    if (address.Set(userText.CStr()) != 0)
        return;
    if (const char* canonical = address.Get(CVornMailAddress::kFormCanonical))
        WriteHtml(request, CVornString(canonical, CVornString::kUnlocked));
}

void RefreshRateInMinutes(CVornHTTPRequest* request, const CVornString& user) {
    CVornString value = RefreshSetting(user);
    if (value.IsEmpty())
        value.Assign("0");
    WriteHtml(request, value);
}

void ShowRefreshStatement(CVornHTTPRequest* request, const CVornString& user) {
    const long minutes = RefreshSetting(user).ToLong();
    if (minutes <= 0)
        return;
    const int seconds = minutes > INT_MAX / 60 ? INT_MAX : static_cast<int>(minutes * 60);
    // The page name comes from the request: it must not leave the attribute.
    CVornString what(CVornString::kUnlocked);
    AppendHtml(what, FormVariable(request, "what"));
    CVornString out(CVornString::kUnlocked);
    out.Format("<META HTTP-EQUIV=\"Refresh\" CONTENT=\"%d;URL=/Display?what=%s\">", seconds,
               what.CStr());
    request->Write(out);
}

void PlaceHeaders(CVornHTTPRequest* request) {
    CVornString out(CVornString::kUnlocked);
    for (const auto& [name, value] : FormVariablesWith(request, {kHeaderPrefix, kAttachPrefix})) {
        out.Append("<input type=hidden name=\"");
        AppendHtml(out, name);
        out.Append("\" value=\"");
        AppendHtml(out, value);
        out.Append("\">\r\n");
    }
    request->Write(out);
}

void ShowHeader(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const bool quotes = HasAttribute(attributes, "usequotes");
    CVornString out(CVornString::kUnlocked);
    CVornString key(CVornString::kUnlocked);
    void* unused = nullptr;
    for (bool more = attributes.First(key, &unused); more; more = attributes.Next(key, &unused)) {
        if (key.Equals("usequotes", 0))
            continue;
        CVornString variable(kHeaderPrefix, CVornString::kUnlocked);
        variable.Append(key);
        CVornString value = FormVariable(request, variable.CStr());
        value.SqueezeChar(' ');
        if (quotes)
            out.Append('"');
        AppendHtml(out, value);
        if (quotes)
            out.Append('"');
    }
    request->Write(out);
}

void ShowUserBar(CVornHTTPRequest* request, CVornStringMap& attributes) {
    struct Area {
        const char* m_Coords;
        const char* m_Target;
    };
    static const Area kAreas[] = {
        {"3,0,86,21", "/Display?what=mailboxes_u_l.mhtml"},
        {"179,0,261,22", "/Display?what=addressbook_u_l.mhtml"},
        {"91,1,175,21", "/Display?what=compose_u_l.mhtml"},
        {"267,0,349,23", "/Display?what=help_u_l.mhtml"},
        {"355,0,439,22", "/Deauthenticate"},
    };
    CVornString image = AttributeValue(attributes, "image");
    if (image.IsEmpty())
        image.Assign("tab6.gif");

    CVornString out("<map name=\"usermap\">\r\n", CVornString::kUnlocked);
    for (const Area& area : kAreas) {
        out.Append("<area shape=\"rect\" coords=\"");
        out.Append(area.m_Coords);
        out.Append("\" href=\"");
        out.Append(area.m_Target);
        out.Append("\">\r\n");
    }
    out.Append("<area shape=\"default\" nohref>\r\n</map>");
    out.Append("<img src=\"/images/");
    out.Append(WebMailLanguageFolder());
    out.Append('/');
    out.Append(image);
    out.Append("\" border=0 width=439 height=27 usemap=\"#usermap\">");
    request->Write(out);
}

void UserFooter(CVornHTTPRequest* request) {
    CVornStringMap noNavigationBar;
    AdminFooter(request, noNavigationBar);
}
