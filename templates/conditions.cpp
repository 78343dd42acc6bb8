// Permissions, statements, operators and If conditions; see
// templates/conditions.h.
#include "templates/conditions.h"

#include <functional>
#include <string>

#include "config/config_store.h"
#include "core/event_log.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "core/splitter.h"
#include "core/vorn_list.h"
#include "net/http_request.h"

namespace {

constexpr int kEventError = 1;

std::string Bytes(const CVornString& text) {
    CVornStringLockGuard guard(text);
    return text.Data() ? std::string(text.Data(), static_cast<size_t>(text.Length()))
                       : std::string();
}

// The form variable name, or an empty text when the request has none.
CVornString FormVariable(CVornHTTPRequest* request, const char* name) {
    CVornString value(CVornString::kUnlocked);
    if (request)
        request->m_FormVariables.Get(name, value);
    return value;
}

// The first letter of the form variable objtype: the configuration object
// type the page works on (0 when there is none).
char PageObjectType(CVornHTTPRequest* request) {
    return FormVariable(request, "objtype").CharAt(0);
}

// A name for the store: an empty text is the null name (the system object,
// or no user or client at all).
const char* NameOrNull(CVornString& name) {
    return name.IsEmpty() ? nullptr : name.CStr();
}

void ReportBadOperator(const CVornString& op) {
    CVornString name(op, CVornString::kUnlocked);
    CVornString text(CVornString::kUnlocked);
    text.Format(GetCatalogText(kMsgTemplateBadOperator), name.CStr());
    static const unsigned char kNoData[4] = {0, 0, 0, 0};
    WriteEventLog(kEventError, kMsgTemplateBadOperator, text.CStr(), 4, kNoData);
}

// Looks name up in an evaluator's source: true when found, with its text.
using Lookup = std::function<bool(CVornString& name, CVornString& value)>;

// The evaluators' shared steps: split, resolve a "$" operand, look the name
// up, apply the operator.
bool EvalStatement(CVornHTTPRequest* request, const CVornString& statement,
                   const Lookup& lookup) {
    CVornSplitter parts;
    parts.Split(statement, ' ', 2);
    if (parts.Count() < 2)
        return false;
    CVornString name(CVornString::kUnlocked);
    CVornString op(CVornString::kUnlocked);
    CVornString operand(CVornString::kUnlocked);
    parts.GetAt(0, name);
    parts.GetAt(1, op);
    parts.GetAt(2, operand);  // absent: no operand

    if (operand.StartsWith('$', 1) && request) {
        CVornString variable(operand, CVornString::kUnlocked);
        variable.RemovePrefix('$', 1);
        CVornString value(CVornString::kUnlocked);
        if (request->m_FormVariables.Get(variable, value))
            operand.Assign(value);
    }

    CVornString value(CVornString::kUnlocked);
    bool defined = lookup(name, value);
    if (!defined)
        value.Clear();
    return EvalDefOp(operand, value, op, defined);
}

bool EventAttribute(char type, CVornString& objectName, CVornString& name,
                    const CVornString& eventId, CVornString& value) {
    return CVornConfigStore::GetEventAttribute(type, NameOrNull(objectName), name.CStr(), eventId,
                                               value) == 0;
}

}  // namespace

bool MatchPerms(CVornString& required, const CVornString& list) {
    required.ToUpper();
    if (required.IsEmpty())
        return true;

    // Every granted pair framed by commas, so that a required pair matches
    // a whole pair and not the end of one and the start of the next.
    CVornString expanded(CVornString::kUnlocked);
    const std::string items = Bytes(list);
    if (!items.empty()) {
        size_t start = 0;
        for (;;) {
            size_t comma = items.find(',', start);
            size_t end = comma == std::string::npos ? items.size() : comma;
            std::string item = items.substr(start, end - start);
            // A longer item is no permission anyone wrote by hand; it grants
            // nothing rather than something unforeseen.
            if (item.size() < static_cast<size_t>(kMaxPermItemLength)) {
                size_t colon = item.find(':');
                if (colon == std::string::npos) {
                    expanded.Append(',');
                    expanded.Append(item.data(), static_cast<int>(item.size()));
                    expanded.Append(',');  // an empty item leaves two commas
                } else {
                    for (size_t o = colon + 1; o < item.size(); ++o) {
                        for (size_t m = 0; m < colon; ++m) {
                            expanded.Append(',');
                            expanded.Append(item[m]);
                            expanded.Append(item[o]);
                            expanded.Append(',');
                        }
                    }
                }
            }
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    expanded.ToUpper();
    const std::string granted = Bytes(expanded);
    const std::string wanted = Bytes(required);

    if (wanted.find('*') != std::string::npos) {
        char method = wanted[0];
        char object = wanted.size() > 1 ? wanted[1] : '\0';
        if (method == '*') {
            if (object == '*') {
                if (granted.find(',') != std::string::npos)
                    return true;
            } else if (object != '\0' &&
                       granted.find(std::string{object, ','}) != std::string::npos) {
                return true;
            }
        } else if (object == '*' && granted.find(std::string{',', method}) != std::string::npos) {
            return true;
        }
    }
    return granted.find(wanted) != std::string::npos;
}

bool EvalDefOp(const CVornString& operand, const CVornString& value, const CVornString& op,
               bool defined) {
    if (op.Equals("DEF", 3))
        return defined;
    if (op.Equals("DEFWV", 3))
        return defined && !value.IsEmpty();
    if (op.Equals("UNDEF", 3))
        return !defined;
    if (op.Equals("UNDEFNV", 3))
        return !defined || value.IsEmpty();
    return EvalCompareOp(value, op, operand);
}

bool EvalCompareOp(const CVornString& value, const CVornString& op, const CVornString& operand) {
    CVornString wanted(operand, CVornString::kUnlocked);
    if (op.Equals("EQ", 3))
        return value.Equals(wanted, 1);
    if (op.Equals("NE", 3))
        return !value.Equals(wanted, 1);
    if (op.Equals("~EQ", 3))
        return value.Equals(wanted, 0);
    if (op.Equals("~NE", 3))
        return !value.Equals(wanted, 0);
    if (op.Equals("SW", 3))
        return value.StartsWith(wanted, 1);
    if (op.Equals("~SW", 3))
        return value.StartsWith(wanted, 0);
    // An empty operand has no first character to look for.
    if (op.Equals("CONTAIN", 3))
        return !wanted.IsEmpty() && value.Contains(wanted.CharAt(0));
    // The bytes as they are: an operand holding a NUL byte is not cut short.
    if (op.Equals("CONTAINS", 3))
        return Bytes(value).find(Bytes(wanted)) != std::string::npos;
    if (op.Equals("NOTCONTAINS", 3))
        return Bytes(value).find(Bytes(wanted)) == std::string::npos;

    // Numbers as atol reads them (64-bit, so large values compare rightly).
    const long left = value.ToLong();
    const long right = wanted.ToLong();
    if (op.Equals("==", 3))
        return left == right;
    if (op.Equals("!=", 3))
        return left != right;
    const bool both = !value.IsEmpty() && !wanted.IsEmpty();
    if (op.Equals("LT", 3))
        return both && left < right;
    if (op.Equals("GT", 3))
        return both && left > right;
    if (op.Equals("LE", 3))
        return both && left <= right;
    if (op.Equals("GE", 3))
        return both && left >= right;

    ReportBadOperator(op);
    return false;
}

bool EvalAttrStmt(CVornHTTPRequest* request, const CVornString& statement, char type,
                  const CVornString& objectName) {
    CVornString object(objectName, CVornString::kUnlocked);
    return EvalStatement(request, statement, [&](CVornString& name, CVornString& value) {
        return CVornConfigStore::GetObjectSetting(type, NameOrNull(object), name.CStr(), value) ==
               0;
    });
}

bool EvalSettingStmt(CVornHTTPRequest* request, const CVornString& statement,
                     const CVornString& user, const CVornString& client) {
    CVornString userName(user, CVornString::kUnlocked);
    CVornString clientName(client, CVornString::kUnlocked);
    return EvalStatement(request, statement, [&](CVornString& name, CVornString& value) {
        return CVornConfigStore::GetSetting(NameOrNull(clientName), NameOrNull(userName),
                                            name.CStr(), value) == 0;
    });
}

bool EvalEventStmt(CVornHTTPRequest* request, const CVornString& statement, char type,
                   const CVornString& objectName, const CVornString& eventId) {
    CVornString object(objectName, CVornString::kUnlocked);
    return EvalStatement(request, statement, [&](CVornString& name, CVornString& value) {
        return EventAttribute(type, object, name, eventId, value);
    });
}

bool EvalVarStmt(CVornHTTPRequest* request, const CVornString& statement) {
    return EvalStatement(request, statement, [&](CVornString& name, CVornString& value) {
        return request && request->m_FormVariables.Get(name, value);
    });
}

bool EvalVarEventChain(CVornHTTPRequest* request, const CVornString& statement, char type,
                       const CVornString& objectName, const CVornString& eventId) {
    CVornString object(objectName, CVornString::kUnlocked);
    return EvalStatement(request, statement, [&](CVornString& name, CVornString& value) {
        if (request && request->m_FormVariables.Get(name, value))
            return true;
        if (EventAttribute(type, object, name, eventId, value))
            return true;
        CVornString system(CVornString::kUnlocked);
        return EventAttribute('S', system, name, CVornString(kDefaultEventId), value);
    });
}

int EvalIfKeyword(CVornHTTPRequest* request, const CVornString& keyword, const CVornString& value,
                  const CPageConditions& page) {
    if (keyword.Equals("perms", 0) || keyword.Equals("objperms", 0)) {
        CVornString required(value, CVornString::kUnlocked);
        const CVornString& list = keyword.Equals("perms", 0) ? page.m_UserPerms : page.m_ObjectPerms;
        return MatchPerms(required, list) ? 1 : 0;
    }
    if (keyword.Equals("platform", 0))
        return value.Equals("NT", 0) ? 1 : 0;
    if (keyword.Equals("installed", 0)) {
        CVornStringList products;
        SysInfoListProducts(products);
        CVornLockGuard guard(products.m_Lock);
        for (auto* node = products.m_Head; node; node = node->m_Next) {
            if (node->m_Element.Equals(value, 0))
                return 1;
        }
        return 0;
    }
    if (keyword.Equals("FW1", 0) || keyword.Equals("MSP", 0))
        return 0;
    if (keyword.Equals("attrstmt", 0)) {
        return EvalAttrStmt(request, value, PageObjectType(request),
                            FormVariable(request, "objname"))
                   ? 1
                   : 0;
    }
    if (keyword.Equals("settingstmt", 0))
        return EvalSettingStmt(request, value, page.m_User, page.m_Client) ? 1 : 0;
    if (keyword.Equals("eventstmt", 0)) {
        return EvalEventStmt(request, value, PageObjectType(request),
                             FormVariable(request, "objname"), FormVariable(request, "Event"))
                   ? 1
                   : 0;
    }
    if (keyword.Equals("varstmt", 0))
        return EvalVarStmt(request, value) ? 1 : 0;
    if (keyword.Equals("varEventChain", 0)) {
        return EvalVarEventChain(request, value, PageObjectType(request),
                                 FormVariable(request, "objname"), FormVariable(request, "Event"))
                   ? 1
                   : 0;
    }
    if (keyword.Equals("CanEditPerms", 0))
        return FormVariable(request, "objname").Equals(page.m_User, 0) ? 0 : 1;
    if (keyword.Equals("virtualuser", 0)) {
        return PageObjectType(request) == 'U' &&
                       CVornConfigStore::IsVirtualUser(FormVariable(request, "objname"))
                   ? 1
                   : 0;
    }
    return -1;
}

bool EvalIfConditions(CVornHTTPRequest* request, CVornStringMap& attributes,
                      const CPageConditions& page) {
    CVornString name(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = attributes.First(name, &value); more; more = attributes.Next(name, &value)) {
        CVornString empty(CVornString::kUnlocked);
        const CVornString& text = value ? *static_cast<CVornString*>(value) : empty;
        if (EvalIfKeyword(request, name, text, page) == 0)
            return false;
    }
    return true;
}
