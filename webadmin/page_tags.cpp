// The web administration's page tags (see page_tags.h).
#include "webadmin/page_tags.h"

#include "core/disk_file.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "net/http_request.h"
#include "templates/tag_support.h"
#include "webadmin/web_pages.h"

namespace {

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

}  // namespace

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

int HandlePageTag(CVornHTTPRequest* request, const CVornString& name, CVornStringMap& attributes,
                  const CVornString& user, const CVornString& client) {
    (void)user;
    (void)client;
    if (name.Equals("AdminHeader", 0)) {
        AdminHeader(request, attributes);
        return kTagHandled;
    }
    if (name.Equals("AdminFooter", 0)) {
        AdminFooter(request, attributes);
        return kTagHandled;
    }
    // The other administration tags come with their own step; until then
    // they are left to the common tags.
    return kTagNotMine;
}
