// The command ModifyObj (see webadmin/object_modification.h).
//
// The work runs in one Modification object, in the order the form's fields
// depend on each other: the prepared fields (quota, password, permissions,
// text areas, subjects, port), the route buttons, the attribute writes, the
// system object's servers, then the save and the port move. Every stop after
// something changed goes through stopWithText, which undoes what the
// refused form left behind: attributes written in memory (the files are read
// again, and the servers follow the restored settings) and a port written to
// the registry.
#include "webadmin/object_modification.h"

#include <stdint.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "config/activity_log.h"
#include "config/config_store.h"
#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "core/vorn_exception.h"
#include "core/vorn_string.h"
#include "gateway/pop3_server.h"
#include "gateway/relay_routes.h"
#include "gateway/scan_settings.h"
#include "gateway/scanner_manager.h"
#include "gateway/service_startup.h"
#include "gateway/smtp_server.h"
#include "net/host_address.h"
#include "net/http_request.h"
#include "net/http_server.h"
#include "platform/registry.h"
#include "templates/conditions.h"
#include "templates/hidden_vars.h"
#include "templates/tag_support.h"
#include "webadmin/web_admin.h"
#include "webadmin/web_pages.h"

namespace {

// Records (3, event, status): event 12 an object modified (status 1), 16 a
// command refused for lack of permission (status 0).
constexpr int kRecordClass = 3;
constexpr int kRecordModified = 12;
constexpr int kRecordRefused = 16;
constexpr int kFieldType = 40;
constexpr int kFieldName = 41;
constexpr int kFieldText = 100;

// The text areas, in the order they are prepared. The first three hold
// lists: empty lines are dropped there.
const char* const kTextAreas[] = {
    "Domain",
    "OtherDomains",
    "RelayAllowHosts",
    "RelayHost",
    "RelayRouting",
    "RelayHostPort",
    "BounceBlurb",
    "ZELORMRazoVidezQuarantineServerAddress",
    "ZELORMRazoVidezQuarantineServerPort",
    "RazoVidezIncludeExt",
    "RazoVidezExcludeExt",
    "ZELORMStripAttachmentsExtList",
    "ZELORMRazoVidezAdmins",
    "ZELORMRazoVidezAdminBody",
    "ZELORMRazoVidezSenderBody",
};
const char* const kListTextAreas[] = {"OtherDomains", "RelayAllowHosts", "RelayRouting"};
// Its lines keep their blanks: the text of a returned mail is laid out.
constexpr const char* kBounceBlurb = "BounceBlurb";

// Subjects of the virus notices: a double quote would end the page's
// value="..." the next time the form is shown.
const char* const kSubjects[] = {"ZELORMRazoVidezAdminSubject", "ZELORMRazoVidezSenderSubject"};

constexpr const char* kPermsAttribute = "ZELORMPerms";
constexpr const char* kAuthTimeout = "AuthTimeout";
constexpr const char* kAdministratorObject = "Administrator";
constexpr const char* kQuarantineAddress = "ZELORMRazoVidezQuarantineServerAddress";
constexpr const char* kQuarantinePort = "ZELORMRazoVidezQuarantineServerPort";
constexpr const char* kHttpPortName = "HTTPPort";
constexpr const char* kDefaultHttpPortText = "8003";
constexpr const char* kAuthTimeoutDefault = "5";
constexpr char kListSeparator = '\x1C';

// ---- Form variables

bool getVar(CVornHTTPRequest* request, const char* name, CVornString& out) {
    return request->m_FormVariables.Get(name, out);
}

void setVar(CVornHTTPRequest* request, const char* name, const CVornString& value) {
    request->m_FormVariables.Set(name, value);
}

void setVar(CVornHTTPRequest* request, const char* name, const char* value) {
    setVar(request, name, CVornString(value, CVornString::kUnlocked));
}

// The error page with a catalogue text, as ShowErrorMessage shows it. The
// callers look their text up themselves, with the number written where it
// is used, so that the catalogue's check sees every number.
void showError(CVornHTTPRequest* request, const char* text) {
    ShowErrorText(request, CVornString(text != nullptr ? text : "", CVornString::kUnlocked));
}

std::string markerOf(const char* attribute) {
    return std::string(kAttributeMarkerPrefix) + attribute;
}

// The value of a field that may come as a plain variable or only as its
// marker: the plain variable wins. False when neither is present.
bool fieldValue(CVornHTTPRequest* request, const char* name, CVornString& out) {
    if (getVar(request, name, out))
        return true;
    return getVar(request, markerOf(name).c_str(), out);
}

// ---- Texts

std::string toStd(const CVornString& text) {
    return std::string(text.Data() != nullptr ? text.Data() : "",
                       static_cast<size_t>(text.Length()));
}

CVornString fromStd(const std::string& text) {
    return CVornString(text.data(), static_cast<int>(text.size()), CVornString::kUnlocked);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimBlanks(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Reads a text of decimal digits only (no sign, no blanks): false for an
// empty text or any other byte. *value saturates at cap + 1, so a long run
// of digits never overflows.
bool readDigits(const std::string& text, long cap, long* value) {
    if (text.empty())
        return false;
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        if (n <= cap)
            n = n * 10 + (c - '0');
    }
    *value = n > cap ? cap + 1 : n;
    return true;
}

// A text area's text as one stored value: trailing blanks and tabs go, then
// every CR; each line loses its blanks and tabs at both ends (unless
// trimLines is false); the lines are joined by 0x1C, leading empty lines
// dropped. A list drops every empty line.
std::string joinTextArea(std::string text, bool list, bool trimLines) {
    while (!text.empty() && isBlank(text.back())) text.pop_back();
    std::string noCr;
    noCr.reserve(text.size());
    for (char c : text)
        if (c != '\r')
            noCr += c;
    std::string joined;
    size_t start = 0;
    while (start < noCr.size()) {
        size_t end = noCr.find('\n', start);
        if (end == std::string::npos)
            end = noCr.size();
        std::string line = noCr.substr(start, end - start);
        start = end + 1;
        if (trimLines)
            line = trimBlanks(line);
        if (list && line.empty())
            continue;
        if (!joined.empty())
            joined += kListSeparator;
        joined += line;
    }
    return joined;
}

// The login-session timeout in minutes: digits only and not 0, else the
// default; 86400 and more become 86400; anything else stays as entered
// (leading zeros too).
CVornString authTimeoutValue(const CVornString& value) {
    long n = 0;
    if (!readDigits(toStd(value), kMaxAuthTimeout, &n) || n == 0)
        return CVornString(kAuthTimeoutDefault, CVornString::kUnlocked);
    if (n >= kMaxAuthTimeout)
        return fromStd(std::to_string(kMaxAuthTimeout));
    return CVornString(value, CVornString::kUnlocked);
}

void writeRecord(int event, int status, const CVornString& user, const CVornString& client,
                 const CVornString& type, const CVornString& name, const char* text) {
    CVornString userCopy(user, CVornString::kUnlocked);
    CVornString clientCopy(client, CVornString::kUnlocked);
    CVornStringMap record;
    ActivityRecordStart(record, kRecordClass, event, status, userCopy.CStr(), clientCopy.CStr());
    if (text != nullptr)
        ActivityRecordSetText(record, kFieldText, text);
    ActivityRecordSetString(record, kFieldType, type);
    ActivityRecordSetString(record, kFieldName, name);
    ActivityLogWrite(record);
}

// ---- The registry's "HTTPPort"

// The value as the platform keeps it, so that it can be compared by its
// meaning and put back exactly: the start-up reads a number value (as the
// installer writes it) as well as a text, while the core's text reader would
// hand over a number value's raw bytes.
class CRegistryPort {
public:
    void Read() {
        m_Found = platform::RegQueryValue(key(), kHttpPortName, m_Value) == platform::kRegSuccess;
    }

    // A number value in decimal, a text value up to its first NUL, "8003"
    // when there is none.
    std::string Text() const {
        if (!m_Found)
            return kDefaultHttpPortText;
        if (m_Value.type == platform::kRegDword && m_Value.data.size() == 4) {
            const unsigned char* b = reinterpret_cast<const unsigned char*>(m_Value.data.data());
            const uint32_t n = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                               (static_cast<uint32_t>(b[2]) << 16) |
                               (static_cast<uint32_t>(b[3]) << 24);
            return std::to_string(n);
        }
        return std::string(m_Value.data.c_str());
    }

    // Puts the value read back as it was (removes it when there was none).
    void Restore() const {
        const int result = m_Found
                               ? platform::RegWriteValue(key(), kHttpPortName, m_Value.type,
                                                         m_Value.data.data(), m_Value.data.size())
                               : platform::RegDeleteValue(key(), kHttpPortName);
        if (result != platform::kRegSuccess && !g_LogSilent)
            LogText(kLogError, "cannot put the registry value HTTPPort back");
    }

private:
    static std::string key() {
        return std::string("HKEY_LOCAL_MACHINE\\") + kMakerRegistryKey + "\\" + kProductRegistryKey;
    }

    bool m_Found = false;
    platform::RegValue m_Value;
};

// ---- One run of the command

class CModification {
public:
    CModification(CVornHTTPRequest* request, const CVornString& user, const CVornString& perms,
                  const CVornString& client, const CVornString& typeText, const CVornString& name)
        : m_Request(request),
          m_User(user, CVornString::kUnlocked),
          m_Perms(perms, CVornString::kUnlocked),
          m_Client(client, CVornString::kUnlocked),
          m_TypeText(typeText, CVornString::kUnlocked),
          m_Name(name, CVornString::kUnlocked),
          m_Type(typeText.CharAt(0)) {}

    // Everything under PageLock. True when the object was modified: the
    // caller records it and shows the result page. False when a page (an
    // error or a route page) has been shown.
    bool Run() {
        if (CVornConfigStore::ObjectExists(m_Type, m_Name.CStr()) == 0) {
            showNoObject();
            return false;
        }
        if (!prepareQuota() || !preparePassword())
            return false;
        preparePerms();
        prepareTextAreas();
        prepareSubjects();
        if (!preparePort())
            return false;
        if (handleRouteButtons())
            return false;
        if (!writeAttributes())
            return false;
        if (m_Type == 'S' && !reconfigureSystem())
            return false;
        return finish();
    }

private:
    // Shows the error page with text after undoing what the form changed.
    bool stopWithText(const char* text) {
        undo();
        showError(m_Request, text);
        return false;
    }

    void undo() {
        if (m_Unsaved) {
            // The refused form's attributes must not stay in memory, where
            // the running service reads them and the next save of any
            // command would write them.
            if (CVornConfigStore::Load(1) != 0 && !g_LogSilent)
                LogText(kLogError, "cannot read the configuration again after a refused change");
            m_Unsaved = false;
            if (m_SystemApplied)
                (void)applySystem(true);
        }
        if (m_PortWritten) {
            m_RegistryPort.Restore();
            m_PortWritten = false;
        }
    }

    void showNoObject() {
        CVornString name(CVornString::kUnlocked);
        AppendHtml(name, m_Name);
        CVornString text(CVornString::kUnlocked);
        if (const char* format = GetCatalogText(kMsgModifyNoObject))
            text.Format(format, name.CStr());
        ShowErrorText(m_Request, text);
    }

    bool prepareQuota() {
        const std::string marker = markerOf("UseQuota");
        CVornString choice(CVornString::kUnlocked);
        if (!getVar(m_Request, marker.c_str(), choice))
            return true;
        (void)getVar(m_Request, "UseQuota", choice);
        const std::string mailQuota = markerOf("MailQuota");
        setVar(m_Request, mailQuota.c_str(), choice);
        if (choice.Equals("Yes", 3)) {
            // Whole units only: a quota of "1.5" or "10 MB" is refused
            // rather than cut to what the number reader would make of it.
            const std::string quota = trimBlanks(toStd(FormVariable(m_Request, "QuotaVal")));
            long n = 0;
            if (!readDigits(quota, INT_MAX, &n) || n < 1 || n > INT_MAX)
                return stopWithText(GetCatalogText(kMsgModifyBadQuota));
            setVar(m_Request, mailQuota.c_str(), fromStd(quota));
        } else if (choice.Equals("No", 3)) {
            setVar(m_Request, mailQuota.c_str(), "0");
        }
        m_Request->m_FormVariables.Remove(marker.c_str());
        return true;
    }

    bool preparePassword() {
        CVornString first(CVornString::kUnlocked);
        CVornString second(CVornString::kUnlocked);
        (void)getVar(m_Request, "Newpass", first);
        (void)getVar(m_Request, "Newpass2", second);
        // No later page may show them back.
        m_Request->m_FormVariables.Remove("Newpass");
        m_Request->m_FormVariables.Remove("Newpass2");
        if (m_Type != 'U' || (first.IsEmpty() && second.IsEmpty()))
            return true;
        if (!first.Equals(second, 3)) {
            showError(m_Request, m_Product.GetText(kMsgModifyPasswordsDiffer));
            return false;
        }
        CVornString reason(CVornString::kUnlocked);
        const int result = CVornConfigStore::SetPassword(m_Name.CStr(), first.CStr(), reason, 1);
        first.Assign("");
        second.Assign("");
        if (result != 0) {
            CVornString escaped(CVornString::kUnlocked);
            AppendHtml(escaped, reason);
            CVornString text(CVornString::kUnlocked);
            if (const char* format = m_Product.GetText(kMsgModifyPasswordNotSet))
                text.Format(format, escaped.CStr());
            ShowErrorText(m_Request, text);
            return false;
        }
        return true;
    }

    void preparePerms() {
        const std::string objectMarker = markerOf("NewObjectPerms");
        const std::string methodMarker = markerOf("NewMethodPerms");
        if (!HasFormVariable(m_Request, objectMarker.c_str()) &&
            !HasFormVariable(m_Request, methodMarker.c_str()))
            return;
        CVornString objects(CVornString::kUnlocked);
        CVornString methods(CVornString::kUnlocked);
        (void)fieldValue(m_Request, "NewObjectPerms", objects);
        (void)fieldValue(m_Request, "NewMethodPerms", methods);
        // A multiple selection sends its letters joined by 0x1C.
        objects.RemoveChar(kListSeparator);
        methods.RemoveChar(kListSeparator);
        CVornString perms(CVornString::kUnlocked);
        if (!objects.IsEmpty() || !methods.IsEmpty()) {
            perms.Assign(methods);
            perms.Append(':');
            perms.Append(objects);
        }
        setVar(m_Request, markerOf(kPermsAttribute).c_str(), perms);
        m_Request->m_FormVariables.Remove(objectMarker.c_str());
        m_Request->m_FormVariables.Remove(methodMarker.c_str());
    }

    void prepareTextAreas() {
        for (const char* name : kTextAreas) {
            CVornString text(CVornString::kUnlocked);
            if (!getVar(m_Request, name, text))
                continue;
            bool list = false;
            for (const char* listName : kListTextAreas) list = list || strcmp(listName, name) == 0;
            const bool trimLines = strcmp(name, kBounceBlurb) != 0;
            setVar(m_Request, name, fromStd(joinTextArea(toStd(text), list, trimLines)));
        }
    }

    void prepareSubjects() {
        for (const char* name : kSubjects) {
            CVornString subject(CVornString::kUnlocked);
            if (!fieldValue(m_Request, name, subject))
                continue;
            subject.ReplaceChar('"', ' ');
            setVar(m_Request, name, subject);
        }
    }

    // The web server's port lives in the registry (the start-up reads it
    // there), never in an attribute. A changed port is written now and
    // moved to once the attributes are saved.
    bool preparePort() {
        const std::string marker = markerOf(kHttpPortName);
        if (!HasFormVariable(m_Request, marker.c_str()))
            return true;
        CVornString entered(CVornString::kUnlocked);
        (void)fieldValue(m_Request, kHttpPortName, entered);
        m_Request->m_FormVariables.Remove(marker.c_str());
        m_Request->m_FormVariables.Remove(kHttpPortName);
        long port = 0;
        if (!readDigits(trimBlanks(toStd(entered)), 65535, &port) || port < 1 || port > 65535)
            return stopWithText(GetCatalogText(kMsgModifyBadPort));
        m_RegistryPort.Read();
        const std::string text = std::to_string(port);
        if (m_RegistryPort.Text() == text)
            return true;
        if (SetProductRegValue(kProductRegistryKey, kHttpPortName, fromStd(text)) != 0)
            return stopWithText(GetCatalogText(kMsgModifyNotWritten));
        m_PortWritten = true;
        m_NewPort = static_cast<int>(port);
        return true;
    }

    // True when a route button was pressed; its page has been shown.
    bool handleRouteButtons() {
        if (HasFormVariable(m_Request, "AddRoute")) {
            undo();
            setVar(m_Request, "what", kRouteEditPage);
            ShowPage(m_Request, false);
            return true;
        }
        if (HasFormVariable(m_Request, "EditRoute")) {
            undo();
            CRelayRoute route;
            route.Parse(FormVariable(m_Request, "RelayRoute").CStr());
            CVornString domain(CVornString::kUnlocked);
            CVornString host(CVornString::kUnlocked);
            CVornString port(CVornString::kUnlocked);
            route.GetDomain(domain);
            route.GetHost(host);
            route.GetPort(port);
            setVar(m_Request, "RouteHost", domain);
            setVar(m_Request, "OldRouteHost", domain);
            setVar(m_Request, "TargetPort", port);
            setVar(m_Request, "TargetHost", host);
            setVar(m_Request, "what", kRouteEditPage);
            ShowPage(m_Request, false);
            return true;
        }
        if (HasFormVariable(m_Request, "DeleteRoute")) {
            undo();
            // The routes are the system's: whoever may change only users or
            // clients must not remove them.
            CVornString required("MS", CVornString::kUnlocked);
            if (!MatchPerms(required, m_Perms)) {
                writeRecord(kRecordRefused, 0, m_User, m_Client, m_TypeText, m_Name,
                            GetCatalogText(kMsgModifyRefusalText));
                showError(m_Request, GetCatalogText(kMsgModifyRefused));
                return true;
            }
            CVornString text(CVornString::kUnlocked);
            if (getVar(m_Request, "RelayRoute", text)) {
                CRelayRoute route;
                route.Parse(text.CStr());
                CVornString domain(CVornString::kUnlocked);
                route.GetDomain(domain);
                CRelayRoutingTable table;
                // The table only sets the attribute: the files are written
                // here, or the removal would vanish at the next start.
                if (!table.Remove(domain.CStr()) || CVornConfigStore::Save() != 0) {
                    m_Unsaved = true;
                    stopWithText(GetCatalogText(kMsgModifyNotWritten));
                    return true;
                }
            }
            setVar(m_Request, "what", kRouteListPage);
            ShowPage(m_Request, false);
            return true;
        }
        return false;
    }

    // True when the form's own permissions may be written to this object.
    bool mayChangePerms() {
        if (m_Name.Equals(m_User, 0) || m_Name.Equals(kAdministratorObject, 0))
            return false;
        CVornString required("G", CVornString::kUnlocked);
        required.Append(m_Type);
        return MatchPerms(required, m_Perms);
    }

    bool writeAttributes() {
        // The markers first, in the map's order: the writes below change no
        // form variable, but the walk must not depend on that.
        std::vector<std::string> markers;
        CVornString key(CVornString::kUnlocked);
        for (bool more = m_Request->m_FormVariables.First(key, nullptr); more;
             more = m_Request->m_FormVariables.Next(key, nullptr)) {
            if (key.StartsWith(kAttributeMarkerPrefix, 0))
                markers.push_back(toStd(key));
        }
        const size_t prefixLength = strlen(kAttributeMarkerPrefix);
        for (const std::string& marker : markers) {
            CVornString attribute(fromStd(marker.substr(prefixLength)));
            CVornString value(CVornString::kUnlocked);
            if (!m_Request->m_FormVariables.Get(attribute, value))
                (void)m_Request->m_FormVariables.Get(fromStd(marker), value);
            if (attribute.Equals(kAuthTimeout, 3))
                value = authTimeoutValue(value);
            if (attribute.Equals(kPermsAttribute, 0) && !mayChangePerms())
                continue;
            m_Unsaved = true;
            const int result =
                value.Equals(kDeleteAttributeValue, 3)
                    ? CVornConfigStore::DeleteAttribute(m_Type, m_Name.CStr(), attribute.CStr(), 0)
                    : CVornConfigStore::SetAttribute(m_Type, m_Name.CStr(), attribute.CStr(), value,
                                                     0);
            if (result != 0)
                return stopWithText(GetCatalogText(kMsgModifyNotWritten));
        }
        return true;
    }

    // The quarantine server's address and port go together. Checked before
    // the servers take the new settings, so that a refused form changes no
    // running component.
    bool checkQuarantineServer() {
        CVornString address(CVornString::kUnlocked);
        CVornString port(CVornString::kUnlocked);
        const bool hasAddress =
            CVornConfigStore::GetSetting(nullptr, nullptr, kQuarantineAddress, address) == 0 &&
            !address.IsEmpty();
        const bool hasPort =
            CVornConfigStore::GetSetting(nullptr, nullptr, kQuarantinePort, port) == 0 &&
            !port.IsEmpty();
        if (hasPort && !hasAddress)
            return stopWithText(m_Product.GetText(kMsgModifyQuarantineNoAddress));
        if (hasAddress && !hasPort)
            return stopWithText(m_Product.GetText(kMsgModifyQuarantineNoPort));
        return true;
    }

    // Makes the running components take the system object's settings:
    // kSmtpConfigDone, or the SMTP or POP3 server's failure. restoring:
    // after the files were read again, a server that is not running is
    // left alone and a failure does not stop the rest.
    int applySystem(bool restoring) {
        m_SystemApplied = true;
        SMTP* smtp = g_WebSMTPServer;
        if (smtp != nullptr && (!restoring || smtp->IsRunning())) {
            const int result = smtp->Reconfigure();
            if (result != kSmtpConfigDone && !restoring)
                return result;
        }
        // The service never makes a POP3 server; one handed to the
        // administration is reconfigured like SMTP.
        POP3* pop3 = g_WebPOP3Server;
        if (pop3 != nullptr && (!restoring || pop3->IsRunning())) {
            const int result = pop3->Reconfigure();
            if (result != kPop3ConfigDone && !restoring)
                return result;
        }
        if (g_WebAdminServer != nullptr)
            (void)g_WebAdminServer->SetConnectionWorkers(ReadHttpIncoming());
        CVornString level(CVornString::kUnlocked);
        CScannerManager* scanner = g_ScannerManager;
        if (scanner != nullptr &&
            CVornConfigStore::GetObjectSetting('S', nullptr, "ZELORMRazoVidezTracerra", level) == 0)
            scanner->SetHeuristicLevel(level.ToInt());
        LoadScanSettings();
        return kSmtpConfigDone;
    }

    bool reconfigureSystem() {
        if (!checkQuarantineServer())
            return false;
        const int result = applySystem(false);
        if (result == kSmtpConfigDone)
            return true;
        // Only the servers' own numbers are shown; anything else reads as
        // SMTP's "not started".
        if (result == kPop3ConfigPortNotBound)
            return stopWithText(m_Product.GetText(kPop3ConfigPortNotBound));
        if (result == kPop3ConfigBadPort)
            return stopWithText(m_Product.GetText(kPop3ConfigBadPort));
        return stopWithText(result == kSmtpConfigPortNotBound
                                ? m_Product.GetText(kSmtpConfigPortNotBound)
                                : m_Product.GetText(kSmtpConfigNotStarted));
    }

    bool finish() {
        if (CVornConfigStore::Save() != 0)
            return stopWithText(GetCatalogText(kMsgModifyNotWritten));
        m_Unsaved = false;
        if (m_PortWritten && g_WebAdminServer != nullptr) {
            bool moved = false;
            try {
                moved = g_WebAdminServer->Rebind(CVornHostAddress(
                    static_cast<uint32_t>(0), static_cast<unsigned short>(m_NewPort)));
            } catch (const CVornException&) {
                moved = false;
            }
            // The attributes stay saved; only the port goes back.
            if (!moved)
                return stopWithText(GetCatalogText(kMsgModifyPortNotMoved));
            setVar(m_Request, "what", kPortChangeSuccessPage);
        }
        m_PortWritten = false;
        return true;
    }

    CVornHTTPRequest* m_Request;
    // Product texts (and base texts as their fallback) in the language of
    // this request's start.
    CProductMessageCatalog m_Product;
    CVornString m_User;
    CVornString m_Perms;
    CVornString m_Client;
    CVornString m_TypeText;
    CVornString m_Name;
    char m_Type;
    CRegistryPort m_RegistryPort;
    int m_NewPort = 0;
    bool m_PortWritten = false;    // the registry holds the new port
    bool m_Unsaved = false;        // attributes may have changed in memory only
    bool m_SystemApplied = false;  // the servers were given the new settings
};

}  // namespace

void ModifyObj(CVornHTTPRequest* request) {
    if (DefaultIfNoParams(request))
        return;
    CVornString user(CVornString::kUnlocked);
    CVornString perms(CVornString::kUnlocked);
    if (CheckSession(request, user, perms)) {
        setVar(request, "action", "ModifyObj");
        IssueLogin(request, kAdminLoginPage);
        return;
    }
    CVornString client(CVornString::kUnlocked);
    request->GetClientAddress(client);
    KeepHiddenVarAs(request, "referer", "what");
    KeepHiddenVar(request, "objname");
    KeepHiddenVar(request, "objtype");
    setVar(request, "what", kModifySuccessPage);

    CVornString type(CVornString::kUnlocked);
    CVornString name(CVornString::kUnlocked);
    const bool hasName = getVar(request, "objname", name);
    // An empty type names no object either.
    if (!getVar(request, "objtype", type) || type.IsEmpty()) {
        showError(request, GetCatalogText(kMsgModifyNoType));
        return;
    }
    CVornString required("M", CVornString::kUnlocked);
    required.Append(type.CharAt(0));
    if (!MatchPerms(required, perms)) {
        writeRecord(kRecordRefused, 0, user, client, type, name,
                    GetCatalogText(kMsgModifyRefusalText));
        showError(request, GetCatalogText(kMsgModifyRefused));
        return;
    }
    if (!hasName) {
        showError(request, GetCatalogText(kMsgModifyNoName));
        return;
    }

    bool modified = false;
    {
        CVornLockGuard guard(PageLock);
        CModification modification(request, user, perms, client, type, name);
        modified = modification.Run();
    }
    if (!modified)
        return;
    writeRecord(kRecordModified, 1, user, client, type, name, nullptr);
    ShowPage(request, false);
}
