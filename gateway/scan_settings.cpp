// The gateway's scan settings: the process-wide pattern lists and flags
// that decide which objects are scanned and which attachments are stripped,
// their loading from the configuration store and the pattern matching.
//
//   LoadScanSettings    reload the lists and flags under the exclusive lock
//   ParseExtensionList  append a setting's patterns to a list
//   MatchExtensionList  does a name's extension match a pattern of a list
//
// Bad input: a missing setting is an empty list (or 0); a null name has no
// extension. Nothing here fails or reports.
#include "gateway/scan_settings.h"

#include "config/config_store.h"
#include "core/code_page.h"
#include "core/file_system.h"
#include "core/splitter.h"
#include "core/vorn_string.h"

// Made on first use and never destroyed (see the header): delivery threads
// are detached and may read them while static objects are destroyed.
CVornRWLock& g_ScanSettingsLock = *new CVornRWLock();
CVornStringList& g_ExcludeExtensions = *new CVornStringList();
CVornStringList& g_IncludeExtensions = *new CVornStringList();
CVornStringList& g_StripExtensions = *new CVornStringList();
int g_ScanSelect = 0;
bool g_StripAttachments = false;
CVornLock& g_QuarantineNumberLock = *new CVornLock();
unsigned g_QuarantineNumber = 0;

namespace {

const char kListSeparator = '\x1C';

// The system-wide value of a setting as a number; 0 when absent.
int settingNumber(const char* name) {
    CVornString value;
    if (CVornConfigStore::GetSetting(nullptr, nullptr, name, value) != 0)
        return 0;
    return value.ToInt();
}

bool listHolds(CVornStringList& list, CVornString& pattern) {
    CVornLockGuard guard(&list.m_Lock);
    for (CVornStringList::Node* node = list.m_Head; node; node = node->m_Next) {
        if (node->m_Element.Equals(pattern, 3))
            return true;
    }
    return false;
}

// One pattern against one lower-cased extension of the same length.
bool patternMatches(const char* pattern, const char* extension, int length) {
    int pos = 0;
    while (pos < length) {
        unsigned char c = static_cast<unsigned char>(pattern[pos]);
        int charLength = g_CodePage.CharLength(c);
        if (charLength > 1) {
            // A double-byte character of the pattern is passed over: the
            // patterns compare bytes, and a lower-cased full-width letter
            // is not one byte.
            pos += charLength;
            continue;
        }
        if (c == '*')
            return true;
        if (c != '?' && c != static_cast<unsigned char>(extension[pos]))
            return false;
        ++pos;
    }
    return true;
}

}  // namespace

void ParseExtensionList(const char* settingName, CVornStringList& list) {
    CVornString value;
    if (CVornConfigStore::GetSetting(nullptr, nullptr, settingName, value) != 0)
        return;
    CVornSplitter items;
    items.Split(value, kListSeparator, 0);
    for (int i = 0; i < items.Count(); ++i) {
        CVornString item;
        items.GetAt(i, item);
        if (item.StartsWith(".", 3) || item.StartsWith("*.", 3)) {
            CVornString rest;
            item.RightOf('.', rest);
            item.Assign(rest);
        }
        item.ToLower();
        if (!listHolds(list, item))
            list.AddTail(item);
    }
}

bool MatchExtensionList(const char* name, CVornStringList& list) {
    CVornString extension;
    GetFileExtension(name, extension);
    extension.ToLower();
    const char* ext = extension.CStr();
    int length = extension.Length();

    CVornLockGuard guard(&list.m_Lock);
    for (CVornStringList::Node* node = list.m_Head; node; node = node->m_Next) {
        CVornString& pattern = node->m_Element;
        if (pattern.Length() != length)
            continue;
        if (patternMatches(pattern.CStr(), ext, length))
            return true;
    }
    return false;
}

void LoadScanSettings() {
    // The settings are read before the lock is taken: a look-up may reload
    // the store, and no delivery thread should wait for that.
    CVornStringList exclude;
    CVornStringList include;
    CVornStringList strip;
    ParseExtensionList("RazoVidezExcludeExt", exclude);
    ParseExtensionList("RazoVidezIncludeExt", include);
    ParseExtensionList("ZELORMStripAttachmentsExtList", strip);
    int select = settingNumber("ZELORMRazoVidezSelect");
    bool stripOn = settingNumber("ZELORMStripAttachments") != 0;

    CVornWriteGuard guard(g_ScanSettingsLock);
    g_ExcludeExtensions = exclude;
    g_IncludeExtensions = include;
    g_StripExtensions = strip;
    g_ScanSelect = select;
    g_StripAttachments = stripOn;
}
