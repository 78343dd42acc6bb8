// The content filter of the local store: refusal of a recipient's copy by
// blocked MIME types and by the dictionary score of the message text.
//
//   SetFilterObjects / FilterMessage / RecheckFilter / FilterDecision
//   IsBlockedByMimeType / IsBlockedByDictionary
//
// Bad input: see content_filter.h; every doubt ends in no refusal.
#include "gateway/content_filter.h"

#include <string.h>

#include <atomic>
#include <vector>

#include "config/config_store.h"
#include "core/message_catalog.h"
#include "core/splitter.h"
#include "gateway/dictionary_filter.h"
#include "net/mail_address.h"
#include "net/mail_message.h"
#include "net/mime.h"

namespace {

enum : int { kMsgBlockedType = 449, kMsgDictionaryRefusal = 450 };

// Scoring mode of the content filter: every number at its face value.
constexpr int kScoreMode = 3;
constexpr int kChunkSize = 65536;
const char kListSeparator = '\x1C';

// Only the dictionary filter is read; the list membership is kept for the
// local store's other users.
std::atomic<CVornListMembership*> s_ListMembership{nullptr};
std::atomic<CDictionaryFilter*> s_DictionaryFilter{nullptr};

// A text from the message or the peer, fit for a line of a reason: control
// characters become blanks, so it cannot end a line or start a header.
void plainText(CVornString& text) {
    char* data = text.CStr();
    for (int i = 0; i < text.Length(); ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 || c == 0x7F)
            data[i] = ' ';
    }
}

// reason := the catalogue text of number filled with text, and CR LF.
void formatReason(CVornString& reason, int number, const char* text) {
    CVornString value(text ? text : "", CVornString::kUnlocked);
    plainText(value);
    const char* format = GetCatalogText(number);
    reason.Clear();
    if (format)
        reason.Format(format, value.CStr());
    reason.Append("\r\n");
}

// 1 and *reason := a heap copy of text when refused; else 0 and null.
int handOut(bool refused, CVornString& text, char** reason) {
    if (!refused)
        return 0;
    if (reason)
        *reason = text.Duplicate();
    return 1;
}

}  // namespace

void SetFilterObjects(CVornListMembership* listMembership, CDictionaryFilter* dictionaryFilter) {
    s_ListMembership = listMembership;
    s_DictionaryFilter = dictionaryFilter;
}

int FilterMessage(const char* sender, const char* user, const char* client,
                  CVornMailMessage* message, int settingsFlag, char** reason) {
    if (reason)
        *reason = nullptr;
    if (!sender || !user)
        return 0;
    // The settings belong to the user's plain name: the local part alone for
    // a local address, the whole address for any other.
    CVornMailAddress address;
    if (address.Set(user) != 0)
        return 0;
    const char* name = address.Get(CVornMailAddress::kFormRoute);
    if (name && strchr(name, '!'))
        name = address.Get(CVornMailAddress::kFormCanonical);
    if (!name)
        return 0;
    CVornStringMap settings;
    if (CVornConfigStore::GetEffectiveSettings(client, name, settingsFlag, settings) != 0)
        return 0;
    CVornString text(CVornString::kUnlocked);
    return handOut(FilterDecision(message, settings, sender, text), text, reason);
}

int RecheckFilter(const char* address, CVornMailMessage* message, const CVornStringMap& settings,
                  char** reason) {
    if (reason)
        *reason = nullptr;
    if (!address)
        return 0;
    CVornString text(CVornString::kUnlocked);
    return handOut(FilterDecision(message, settings, address, text), text, reason);
}

bool FilterDecision(CVornMailMessage* message, const CVornStringMap& settings, const char* address,
                    CVornString& reason) {
    CVornString mode(CVornString::kUnlocked);
    if (!settings.Get("FilterMode", mode) || mode.IsEmpty() || mode.CharAt(0) == 'U')
        return false;
    if (IsBlockedByMimeType(message, settings, reason))
        return true;
    return IsBlockedByDictionary(message, settings, address, reason);
}

bool IsBlockedByMimeType(CVornMailMessage* message, const CVornStringMap& settings,
                         CVornString& reason) {
    CVornString blocked(CVornString::kUnlocked);
    if (!message || !settings.Get("BlockedMIMETypes", blocked) || blocked.IsEmpty())
        return false;
    CVornSplitter patterns;
    patterns.Split(blocked, kListSeparator, 0);
    const int count = patterns.Count();

    // The main body's own type (multipart/...) is never tested when the
    // message has parts: only what it carries.
    const int parts = message->GetPartCount();
    CVornString type(CVornString::kUnlocked);
    CVornString name(CVornString::kUnlocked);
    CVornString fileName(CVornString::kUnlocked);
    CVornString pattern(CVornString::kUnlocked);
    for (int part = parts == 0 ? 0 : 1; part <= parts; ++part) {
        if (message->GetPartInfo(part, type, name, fileName) != 0)
            continue;
        if (type.IsEmpty())
            type.Assign("text/plain");
        for (int i = 0; i < count; ++i) {
            patterns.GetAt(i, pattern);
            if (MimeTypeMatches(type, pattern.CStr())) {
                formatReason(reason, kMsgBlockedType, type.CStr());
                return true;
            }
        }
    }
    return false;
}

bool IsBlockedByDictionary(CVornMailMessage* message, const CVornStringMap& settings,
                           const char* address, CVornString& reason) {
    CDictionaryFilter* filter = s_DictionaryFilter;
    CVornString dictionaries(CVornString::kUnlocked);
    if (!message || !filter || !settings.Get("DictsToUse", dictionaries) || dictionaries.IsEmpty())
        return false;
    int threshold = 0;
    CVornString value(CVornString::kUnlocked);
    if (settings.Get("DDRThreshold", value))
        threshold = value.ToInt();
    if (threshold <= 0)
        threshold = kDefaultDictionaryThreshold;

    if (message->RewindToStart() != 0)
        return false;
    // Each piece is scored on its own: a word across a boundary counts as
    // two pieces.
    std::vector<char> chunk(kChunkSize);
    CVornString report(CVornString::kUnlocked);
    long long sum = 0;
    for (;;) {
        const int n = message->Read(chunk.data(), kChunkSize);
        if (n <= 0)
            return false;
        int score = 0;
        if (filter->ScoreText(chunk.data(), n, kScoreMode, dictionaries.CStr(), score, report) != 0)
            continue;
        sum += score;
        if (sum >= threshold) {
            formatReason(reason, kMsgDictionaryRefusal, address);
            reason.Append(report);
            return true;
        }
    }
}
