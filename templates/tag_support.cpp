// Helpers of the common tags; see templates/tag_support.h.
#include "templates/tag_support.h"

#include "core/message_catalog.h"
#include "net/http_request.h"

bool HasAttribute(CVornStringMap& attributes, const char* name) {
    CVornString value(CVornString::kUnlocked);
    return attributes.Get(name, value);
}

CVornString AttributeValue(CVornStringMap& attributes, const char* name) {
    CVornString value(CVornString::kUnlocked);
    attributes.Get(name, value);
    return value;
}

bool HasFormVariable(CVornHTTPRequest* request, const char* name) {
    CVornString value(CVornString::kUnlocked);
    return request->m_FormVariables.Get(name, value);
}

CVornString FormVariable(CVornHTTPRequest* request, const char* name) {
    CVornString value(CVornString::kUnlocked);
    request->m_FormVariables.Get(name, value);
    return value;
}

CVornString BoxName(CVornStringMap& attributes) {
    CVornString name(CVornString::kUnlocked);
    if (!attributes.Get("name", name))
        name.Assign("objname");
    return name;
}

void AppendHtml(CVornString& out, const CVornString& text) {
    AppendHtmlEscaped(out, text);
}

void WriteHtml(CVornHTTPRequest* request, const CVornString& text) {
    CVornString escaped(CVornString::kUnlocked);
    AppendHtmlEscaped(escaped, text);
    request->Write(escaped);
}

CVornString CatalogTextOf(int number) {
    CVornString text(CVornString::kUnlocked);
    CVornMessageCatalog catalog;
    CVornLockGuard guard(GetCatalogLock());
    text.Assign(catalog.GetText(number));
    return text;
}
