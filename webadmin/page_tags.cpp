// The web administration's page tags (see page_tags.h).
#include "webadmin/page_tags.h"

#include <string_view>
#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/disk_file.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "gateway/service_control.h"
#include "gateway/service_startup.h"
#include "net/http_request.h"
#include "templates/tag_support.h"
#include "webadmin/object_tags.h"
#include "webadmin/service_tags.h"
#include "webadmin/web_pages.h"
#include "webadmin/webmail_listings.h"
#include "webadmin/webmail_message.h"
#include "webadmin/webmail_tags.h"

namespace {

// Record (4, 16, 0): use of the web client refused.
constexpr int kRecordClassWebAccess = 4;
constexpr int kRecordWebClientRefused = 16;
constexpr int kRecordTextField = 100;

// Pieces in which ShowFile copies a file into the response.
constexpr int kCopyPiece = 65536;

// The whole file, unchanged; empty when it is missing or unreadable.
CVornString ReadWholeFile(CVornString& path) {
    CVornString text(CVornString::kUnlocked);
    if (!FileExists(path.CStr(), false))
        return text;
    CVornDiskFile file(path.CStr(), kFileReadOnly | kFileNoPathLock);
    if (!file.Open())
        return text;
    const int size = file.Size();
    if (size > 0 && file.Read(text, size) < 0)
        text.Clear();
    file.Close();
    return text;
}

// The page folder of the installation: InstallDir/html/<language>.
CVornString InstalledPageFolder() {
    CVornString installDir(CVornString::kUnlocked);
    (void)GetProductRegValue(kProductRegistryKey, "InstallDir", installDir, false);
    CVornString html(CVornString::kUnlocked);
    JoinPath(html, installDir.CStr(), "html");
    CVornString language(CVornString::kUnlocked);
    if (const char* text = GetCatalogText(kMsgLanguageFolder))
        language.Assign(text);
    language.ToLower();
    CVornString folder(CVornString::kUnlocked);
    JoinPath(folder, html.CStr(), language.CStr());
    return folder;
}

// A name that, joined to a directory, names a file in that directory
// itself: not the directory ("."), no separator, no parent step, and no NUL
// byte that would end the path early.
bool IsPlainFileName(CVornString& name) {
    const std::string_view text(name.CStr(), static_cast<size_t>(name.Length()));
    return !text.empty() && text != "." && text.find('/') == std::string_view::npos &&
           text.find("..") == std::string_view::npos && text.find('\0') == std::string_view::npos;
}

// Copies the file at path into the response in pieces; a file that is
// missing or cannot be read writes nothing (or what was read before the
// failure).
void CopyFileToResponse(CVornHTTPRequest* request, CVornString& path) {
    if (!FileExists(path.CStr(), false))
        return;
    CVornDiskFile file(path.CStr(), kFileReadOnly | kFileNoPathLock);
    if (!file.Open())
        return;
    CVornString piece(CVornString::kUnlocked);
    while (file.Read(piece, kCopyPiece) > 0 && !piece.IsEmpty()) {
        if (request->Write(piece) < 0)
            break;
    }
    file.Close();
}

// The attribute names of a tag, in the table's order.
std::vector<CVornString> AttributeNames(CVornStringMap& attributes) {
    std::vector<CVornString> names;
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = attributes.First(key, &value); more; more = attributes.Next(key, &value))
        names.emplace_back(key, CVornString::kUnlocked);
    return names;
}

const char* TextOrNull(CVornString& text) {
    return text.IsEmpty() ? nullptr : text.CStr();
}

// ---- The tag table. Every row calls its tag through one shape; the
// adapters below hand each tag function the arguments it reads.

typedef int (*PageTagFunction)(CVornHTTPRequest* request, CVornStringMap& attributes,
                               const CVornString& user, const CVornString& client);

struct PageTag {
    const char* m_Name;
    PageTagFunction m_Function;
};

template <void (*Tag)(CVornHTTPRequest*, CVornStringMap&)>
int WithAttributes(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString&,
                   const CVornString&) {
    Tag(request, attributes);
    return kTagHandled;
}

template <void (*Tag)(CVornHTTPRequest*, CVornStringMap&, const CVornString&)>
int WithAttributesAndUser(CVornHTTPRequest* request, CVornStringMap& attributes,
                          const CVornString& user, const CVornString&) {
    Tag(request, attributes, user);
    return kTagHandled;
}

template <void (*Tag)(CVornHTTPRequest*, const CVornString&)>
int WithUser(CVornHTTPRequest* request, CVornStringMap&, const CVornString& user,
             const CVornString&) {
    Tag(request, user);
    return kTagHandled;
}

template <void (*Tag)(CVornHTTPRequest*)>
int WithRequest(CVornHTTPRequest* request, CVornStringMap&, const CVornString&,
                const CVornString&) {
    Tag(request);
    return kTagHandled;
}

// ListBox and WordBox: names the pages use that write nothing.
int WritesNothing(CVornHTTPRequest*, CVornStringMap&, const CVornString&, const CVornString&) {
    return kTagHandled;
}

int WebClientGate(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user,
                  const CVornString& client) {
    return CanUseWebClient(request, attributes, user, client) ? kTagHandled : kTagStopPage;
}

// In the order in which the names are tested. The web-mail pages' tags
// (webmail_tags.h, webmail_listings.h, webmail_message.h) stand among the
// administration's.
const PageTag kPageTags[] = {
    {"AddressBookBox", WithAttributesAndUser<AddressBookBox>},
    {"AdminFooter", WithAttributes<AdminFooter>},
    {"AdminHeader", WithAttributes<AdminHeader>},
    {"AttachmentsBox", WithAttributes<AttachmentsBox>},
    {"CanUseWebClient", WebClientGate},
    {"EventTable", WithAttributes<EventTable>},
    {"ListBox", WritesNothing},
    {"MailBoxBox", WithAttributesAndUser<MailBoxBox>},
    {"MailBoxTable", WithUser<MailBoxTable>},
    {"MessageTable", WithUser<MessageTable>},
    {"MyAddress", WithUser<MyAddress>},
    {"ObjBar", WithRequest<ObjBar>},
    {"OtherMIME", WithRequest<OtherMIME>},
    {"PlaceHeaders", WithRequest<PlaceHeaders>},
    {"SetSortBy", WithUser<SetSortBy>},
    {"ShowFile", WithAttributes<ShowFile>},
    {"ShowHeader", WithAttributes<ShowHeader>},
    {"ShowMessage", WithUser<ShowMessage>},
    {"ShowReg", WithAttributes<ShowReg>},
    {"ShowUserBar", WithAttributes<ShowUserBar>},
    {"ShowVersionNumber", WithRequest<ShowVersionNumber>},
    {"RefreshRateInMinutes", WithUser<RefreshRateInMinutes>},
    {"ShowRefreshStatement", WithUser<ShowRefreshStatement>},
    {"TOCInfo", WithUser<TOCInfo>},
    {"UserFooter", WithRequest<UserFooter>},
    {"WordBox", WritesNothing},
    {"VirusDefVersion", WithRequest<VirusDefVersion>},
    {"LastKelbrookAttempt", WithRequest<LastKelbrookAttempt>},
    {"LastKelbrookStatus", WithRequest<LastKelbrookStatus>},
    {"RouteBox", WithAttributes<RouteBox>},
};

}  // namespace

int HandlePageTag(CVornHTTPRequest* request, const CVornString& name, CVornStringMap& attributes,
                  const CVornString& user, const CVornString& client) {
    for (const PageTag& tag : kPageTags) {
        if (name.Equals(tag.m_Name, 0))
            return tag.m_Function(request, attributes, user, client);
    }
    return kTagNotMine;
}

void AdminHeader(CVornHTTPRequest* request, CVornStringMap& attributes) {
    CVornString text(CVornString::kUnlocked);
    text.Append("<!-- This page was written by the zelorm mail gateway's web administration. -->\r\n");
    text.Append("<!-- Its forms change the running gateway's configuration. -->\r\n");
    text.Append("<!-- Doctype HTML Public \"-//IETF//DTD HTML3.0//EN\" -->\r\n");
    text.Append("<html><head>");
    CVornString title(CVornString::kUnlocked);
    if (attributes.Get("title", title)) {
        text.Append("<title>");
        text.Append(title);
        text.Append("</title>\r\n");
    }
    text.Append("</head><body bgcolor=\"#FFFFFF\" text=\"#000000\" ");
    text.Append("link=\"#003366\" vlink=\"#003366\" alink=\"#444444\">\r\n");
    request->Write(text);
}

void AdminFooter(CVornHTTPRequest* request, CVornStringMap& attributes) {
    CVornString folder = InstalledPageFolder();
    CVornString path(CVornString::kUnlocked);
    if (HasAttribute(attributes, "navbar")) {
        JoinPath(path, folder.CStr(), "navbar.mhtml");
        const CVornString navbar = ReadWholeFile(path);
        if (!navbar.IsEmpty())
            request->Write(navbar);
    }
    JoinPath(path, folder.CStr(), "footer.mhtml");
    CVornString text = ReadWholeFile(path);
    text.Append("<!--End standard footer--></body></html>\r\n");
    request->Write(text);
    request->Flush();
}

bool CanUseWebClient(CVornHTTPRequest* request, CVornStringMap& attributes,
                     const CVornString& user, const CVornString& client) {
    CVornString clientText(client, CVornString::kUnlocked);
    CVornString userText(user, CVornString::kUnlocked);
    CVornString value(CVornString::kUnlocked);
    if (CVornConfigStore::GetSetting(TextOrNull(clientText), TextOrNull(userText), "AllowZELORMUI",
                                     value) != 0)
        value.Clear();
    if (value.ToLong() > 0)
        return true;

    CVornStringMap record;
    ActivityRecordStart(record, kRecordClassWebAccess, kRecordWebClientRefused, 0,
                        userText.CStr(), clientText.CStr());
    ActivityRecordSetText(record, kRecordTextField, GetCatalogText(kMsgWebClientRecordRefused));
    ActivityLogWrite(record);

    CVornString message(CVornString::kUnlocked);
    if (!attributes.Get("message", message)) {
        if (const char* text = GetCatalogText(kMsgWebClientPageRefused))
            message.Assign(text);
    }
    request->m_FormVariables.Set("loginerror", message);
    IssueLogin(request, kUserLoginPage);
    return false;
}

void ShowFile(CVornHTTPRequest* request, CVornStringMap& attributes) {
    CVornString directory(CVornString::kUnlocked);
    if (GetProductRegValue(kProductRegistryKey, "LocalDir", directory, false) != 0)
        directory.Assign(kDefaultDataDirectory);
    CVornString path(CVornString::kUnlocked);
    for (CVornString& name : AttributeNames(attributes)) {
        // The names come from the page, but a page must still not reach
        // past the local directory, which holds the configuration.
        if (!IsPlainFileName(name))
            continue;
        JoinPath(path, directory.CStr(), name.CStr());
        CopyFileToResponse(request, path);
    }
}

void ShowReg(CVornHTTPRequest* request, CVornStringMap& attributes) {
    const bool quotes = HasAttribute(attributes, "usequotes");
    CVornString out(CVornString::kUnlocked);
    for (CVornString& name : AttributeNames(attributes)) {
        if (name.Equals("usequotes", 0))
            continue;
        CVornString value(CVornString::kUnlocked);
        (void)GetProductRegValue(kProductRegistryKey, name.CStr(), value, true);
        if (quotes)
            out.Append('"');
        AppendHtml(out, value);
        if (quotes)
            out.Append('"');
    }
    request->Write(out);
}

void ShowVersionNumber(CVornHTTPRequest* request) {
    request->Write(kServiceVersionText);
}
