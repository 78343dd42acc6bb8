// Hidden form variables; see templates/hidden_vars.h.
#include "templates/hidden_vars.h"

#include "core/hash_table.h"
#include "core/vorn_list.h"
#include "net/http_request.h"

void CopyFormVar(CVornHTTPRequest* request, const char* name, const char* newName) {
    if (!request || !name || !newName)
        return;
    CVornString value(CVornString::kUnlocked);
    if (request->m_FormVariables.Get(name, value))
        request->m_FormVariables.Set(newName, value);
}

void KeepHiddenVarAs(CVornHTTPRequest* request, const char* name, const char* newName) {
    if (!newName)
        return;
    CVornString hidden(kHiddenVarPrefix, CVornString::kUnlocked);
    hidden.Append(newName);
    CopyFormVar(request, name, hidden.CStr());
}

void KeepHiddenVar(CVornHTTPRequest* request, const char* name) {
    KeepHiddenVarAs(request, name, name);
}

void KeepAllHiddenVars(CVornHTTPRequest* request) {
    if (!request)
        return;
    CVornStringList names;
    request->m_FormVariables.GetKeys(names);
    for (int i = 0; i < names.m_Count; ++i) {
        CVornString* name = names.GetAt(i);
        if (name->StartsWith(kHiddenVarPrefix, 3) || name->Equals("password", 0))
            continue;
        KeepHiddenVar(request, name->CStr());
    }
}
