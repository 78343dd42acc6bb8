// CScanCallback: the per-message scan decisions (which objects are
// scanned, which attachments are stripped, the replacement texts, when an
// infected object is quarantined) and the formatting of replacement texts.
//
//   CScanCallback::ShouldScanName    the selection of the scan settings
//   CScanCallback::FilterAttachment  the strip list of the scan settings
//   CScanCallback::GetDeletedText    product text 2000022 into the plug-in's buffer
//   CScanCallback::GetBlockedText    product text 2000032 into the plug-in's buffer
//   CScanCallback::OnVirusFound / OnRepairFailed   quarantine by the action
//   FormatReplacementText            a bounded text with CR LF line ends
//
// The quarantine itself is in gateway/scan_quarantine.cpp.
//
// Bad input: null names count as empty; a null buffer or a size below 1 is
// left alone.
#include "gateway/scan_callback.h"

#include <string.h>

#include <string>

#include "config/config_store.h"
#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/message_catalog.h"
#include "gateway/scan_settings.h"
#include "gateway/scanner_manager.h"

namespace {

// Product catalogue texts of replaced objects.
const int kMsgDeletedText = 2000022;  // object name, virus name
const int kMsgBlockedText = 2000032;  // object name

const int kSelectAll = 0;
const int kSelectExclude = 1;
const int kSelectInclude = 2;

const int kQuarantineWhenRepairFails = 1;
const int kQuarantineAlways = 2;

// A name for a text that goes into mail: control characters (CR and LF
// above all) become blanks, so that no name can start a line of its own.
std::string cleanName(const char* name) {
    std::string out = name ? name : "";
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            c = ' ';
    }
    return out;
}

// The length of the longest start of text[0, length) that ends after a
// whole character: a double-byte character of the code page, or a UTF-8
// sequence under a single-byte code page, is never cut in two.
int wholeCharacters(const char* text, int length) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    if (!g_CodePage.IsSingleByte()) {
        int pos = 0;
        while (pos < length) {
            int next = pos + g_CodePage.CharLength(s[pos]);
            if (next > length)
                return pos;
            pos = next;
        }
        return pos;
    }
    int start = length;
    while (start > 0 && (s[start - 1] & 0xC0) == 0x80 && length - start < 3) --start;
    if (start == 0 || s[start - 1] < 0xC0)
        return length;  // no multi-byte sequence at the end
    unsigned char lead = s[start - 1];
    int need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return length - (start - 1) >= need ? length : start - 1;
}

}  // namespace

void FormatReplacementText(const char* format, const char* objectName, const char* virusName,
                           char* text, int32_t size) {
    if (!text || size < 1)
        return;
    text[0] = '\0';
    if (!format)
        return;
    std::string object = cleanName(objectName);
    std::string virus = cleanName(virusName);
    CVornString formatted(CVornString::kUnlocked);
    if (virusName)
        formatted.Format(format, object.c_str(), virus.c_str());
    else
        formatted.Format(format, object.c_str());

    // Every line end of the catalogue text becomes CR LF, then the text is
    // cut to the buffer, never between a CR and its LF.
    const char* in = formatted.CStr();
    int length = formatted.Length();
    int limit = size - 1;
    int pos = 0;
    for (int i = 0; i < length && pos < limit; ++i) {
        char c = in[i];
        if (c == '\r' || c == '\n') {
            if (pos + 2 > limit)
                break;
            text[pos++] = '\r';
            text[pos++] = '\n';
            if (c == '\r' && i + 1 < length && in[i + 1] == '\n')
                ++i;
            continue;
        }
        text[pos++] = c;
    }
    pos = wholeCharacters(text, pos);
    text[pos] = '\0';
}

CScanCallback::CScanCallback(CQueuedMessage* message, CScannerManager* scanner,
                             CQuarantineForwarder* forwarder)
    : m_Message(message), m_QuarantineAction(0), m_Forwarder(forwarder) {
    CVornString action;
    if (CVornConfigStore::GetSetting(nullptr, nullptr, "ZELORMRazoVidezQuarantineAction",
                                     action) == 0)
        m_QuarantineAction = action.ToInt();
    if (!scanner || !scanner->GetDefsInfo(&m_DefsInfo)) {
        m_DefsInfo = nullptr;
        if (!g_LogSilent)
            LogText(kLogWarning, "Error getting def info");
    }
}

CScanCallback::~CScanCallback() {
    if (m_DefsInfo)
        m_DefsInfo->Release();
}

bool CScanCallback::ShouldScan(const char* objectName, int32_t context) {
    (void)context;
    return ShouldScanName(objectName);
}

bool CScanCallback::ShouldScanName(const char* objectName) {
    CVornReadGuard guard(g_ScanSettingsLock);
    switch (g_ScanSelect) {
        case kSelectAll:
            return true;
        case kSelectExclude:
            return !MatchExtensionList(objectName, g_ExcludeExtensions);
        case kSelectInclude:
            return MatchExtensionList(objectName, g_IncludeExtensions);
        default:
            return true;
    }
}

int32_t CScanCallback::FilterAttachment(const char* objectName, int32_t context) {
    (void)context;
    CVornReadGuard guard(g_ScanSettingsLock);
    if (g_StripAttachments && MatchExtensionList(objectName, g_StripExtensions))
        return WEXLOR_ANSWER_BLOCK;
    return 0;
}

int32_t CScanCallback::GetDeletedText(const char* objectName, const char* virusName, char* text,
                                      int32_t size) {
    CProductMessageCatalog catalog;
    FormatReplacementText(catalog.GetText(kMsgDeletedText), objectName,
                          virusName ? virusName : "", text, size);
    return WEXLOR_ANSWER_REPLACE;
}

int32_t CScanCallback::GetBlockedText(const char* objectName, char* text, int32_t size) {
    CProductMessageCatalog catalog;
    FormatReplacementText(catalog.GetText(kMsgBlockedText), objectName, nullptr, text, size);
    return WEXLOR_ANSWER_REPLACE;
}

int32_t CScanCallback::OnVirusFound(const char* objectName, const char* dataFile,
                                    const char* virusName, int32_t virusId, int32_t context) {
    (void)context;
    if (m_QuarantineAction != kQuarantineAlways)
        return 0;
    return Quarantine(objectName, dataFile, virusName, virusId);
}

int32_t CScanCallback::OnRepairFailed(const char* objectName, const char* dataFile,
                                      const char* virusName, int32_t virusId, int32_t context) {
    (void)context;
    if (m_QuarantineAction != kQuarantineWhenRepairFails)
        return 0;
    return Quarantine(objectName, dataFile, virusName, virusId);
}
