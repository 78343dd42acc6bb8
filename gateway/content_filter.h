// The content filter: whether the local store refuses one recipient's copy
// of a message, by the MIME types the recipient's settings block and by the
// dictionary score of the message text (gateway/dictionary_filter.h).
//
//   SetFilterObjects       keep the list membership and the dictionary filter (start-up)
//   FilterMessage          the decision for a recipient user, from the user's settings
//   RecheckFilter          the decision from settings already read
//   FilterDecision         the tests in order: filter mode, MIME types, dictionaries
//   IsBlockedByMimeType    a part of the message has a blocked content type
//   IsBlockedByDictionary  the dictionary score of the message reaches the threshold
//
// Settings read (a map from CVornConfigStore::GetEffectiveSettings):
//   "FilterMode"        missing, empty or starting with "U": no filtering
//   "BlockedMIMETypes"  patterns (type "/" subtype, "*" or empty halves match
//                       anything) separated by 0x1C; missing or empty: no test
//   "DictsToUse"        the dictionaries to score with (0x1C-separated),
//                       handed to the dictionary filter; missing or empty: no test
//   "DDRThreshold"      the score that refuses; missing or not above 0: 50
//
// A reason is a catalogue text ("messages" 449 with the blocked part's
// content type, 450 with the address and the dictionary filter's report)
// and CR LF; texts taken from the message or the address lose their control
// characters, so a reason's lines are the filter's own.
//
// Bad input: a null sender, user or address, or a user name that is not a
// mail address, gives no refusal (0); so do settings that cannot be read and
// a message that cannot be read. Nothing here throws on its own account.
//
// Threads: any thread may call these; the filter keeps no state but the two
// objects of SetFilterObjects, which must outlive every call. The dictionary
// filter locks itself.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CDictionaryFilter;
class CVornListMembership;
class CVornMailMessage;

// The threshold when "DDRThreshold" is missing or not above 0.
constexpr int kDefaultDictionaryThreshold = 50;

// Keeps both objects (either may be null) for the filter. Called once at
// start-up, before any filtering; the objects are borrowed.
void SetFilterObjects(CVornListMembership* listMembership, CDictionaryFilter* dictionaryFilter);

// The decision for a copy of message to the user (a user name or address)
// arriving from client (may be null) with the envelope sender: reads the
// effective settings of client and user (settingsFlag is their defaultOnly
// argument) and runs FilterDecision with the sender as the address. 1 when
// refused, with *reason (when reason is not null) a new heap copy of the
// reason that the caller releases with delete[]; else 0 with *reason null.
int FilterMessage(const char* sender, const char* user, const char* client,
                  CVornMailMessage* message, int settingsFlag, char** reason);

// The same decision from settings already read, for message (may be null:
// the MIME and dictionary tests then never refuse). 1 refused (with the
// reason as above), else 0; 0 for a null address.
int RecheckFilter(const char* address, CVornMailMessage* message, const CVornStringMap& settings,
                  char** reason);

// True when the settings refuse message; reason then holds why (it is
// replaced only on a refusal).
bool FilterDecision(CVornMailMessage* message, const CVornStringMap& settings, const char* address,
                    CVornString& reason);

// True when a part has a content type that "BlockedMIMETypes" matches: the
// main body when the message has no parts, else every part but the main
// body (a part without content type counts as "text/plain"). REQUIRES: a
// message opened with its structure parsed.
bool IsBlockedByMimeType(CVornMailMessage* message, const CVornStringMap& settings,
                         CVornString& reason);

// True when the dictionary filter's scores of the message, read raw from its
// start in pieces of 65536 bytes and summed, reach the threshold. False
// without a message, a dictionary filter or dictionaries to use.
bool IsBlockedByDictionary(CVornMailMessage* message, const CVornStringMap& settings,
                           const char* address, CVornString& reason);
