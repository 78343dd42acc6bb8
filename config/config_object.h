// Configuration objects: every setting of the system is a named text
// attribute of one of these objects, which the configuration store
// (CVornConfigStore) keeps in its table under "type letter + name" and
// mirrors in the configuration files.
//
//   CVornConfigObject   base: attributes, time events, the object's lock, and
//                       the text form of an attribute list (one file line)
//   CVornEventList      the object's time events (maps of attributes)
//   CVornSystemObject   'S', the one object of global settings
//   CVornUser           'U' (password and account operations: config/users.cpp)
//   CVornGroup          'G'
//   CVornClient         'C'
//   CVornMailingList    'L', with two state letters
//   CVornDictionary     'D', with two state letters
//
// Text form of an attribute list: items "name=value" separated by ','. In a
// value, ',' is written "\," and '\' is written "\\"; the reader turns these
// back and keeps a '\' before any other byte as it is. Characters are
// stepped through by g_CodePage, so the trail byte of a double-byte character
// is never escaped nor taken for a delimiter. Beyond that, so that no name or
// value can end a line or an item early, the writer also uses:
//   "\x0D", "\x0A", "\x00"  for CR, LF and NUL;
//   "\xHH" (HH 80-FF)       for the lead byte of a double-byte character whose
//                           trail byte is missing (the end of the name or
//                           value) or is CR, LF, NUL ('=' too in a name);
//   "\="                    for '=' in a name (names also escape '\').
// Files written before these escapes existed never contain them, so they
// read as they always did. Names and values read back exactly as written.
//
// Bounds: a name longer than kMaxAttributeNameLength or a value longer than
// kMaxAttributeValueLength is never stored (the setter refuses it, the reader
// refuses the text), and the text of one object or event never exceeds
// kMaxObjectTextLength (the setter and the event validation refuse what
// would pass it; the writer fails rather than write a longer line).
//
// Threads: m_ObjectLock guards m_Attributes and m_Events for every operation;
// the event list's own lock is taken inside it. Lock order across the store:
// store lock, "QVCONFIGFILELOCK", object lock (a list's or dictionary's
// m_StateLock first where both are held), event-list lock, string locks.
// Objects are not copyable and are deleted through their virtual destructor.
#pragma once

#include <string>

#include "core/hash_table.h"
#include "core/rw_lock.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornDate;
class CVornFile;

// Longest attribute name (bytes, as stored).
constexpr int kMaxAttributeNameLength = 1024;
// Longest attribute value (bytes, as stored).
constexpr int kMaxAttributeValueLength = 1 << 20;
// Longest text form of one object or one event (the part of a file line after
// "D" + key + "," or "S" + key + ","). The store reads lines of up to
// kMaxConfigLineLength bytes.
constexpr int kMaxObjectTextLength = 16 << 20;
constexpr int kMaxConfigLineLength = kMaxObjectTextLength + 1024;
// Most attributes of one object or event.
constexpr int kMaxAttributeCount = 100000;

// The copy callback for CVornHashTable::CopyFrom of attribute maps: a new
// heap CVornString copy of the CVornString that value points to (null gives
// null). The map that stores the copy owns it.
void* CopyStringValue(void* value);

// The list of an object's time events, front to back. Each element is a heap
// CVornStringMap that the list owns: the destructor, RemoveEvent and
// RemoveAllEvents delete the maps. Walkers hold m_Lock and follow m_Head.
// Not copyable.
class CVornEventList : public CVornList<CVornStringMap*> {
public:
    CVornEventList() = default;
    ~CVornEventList() override;
    CVornEventList(const CVornEventList&) = delete;
    CVornEventList& operator=(const CVornEventList&) = delete;

    // Puts the event at the front; the list takes it over. Null is ignored.
    void AddFront(CVornStringMap* event);
    // Unlinks the node that holds event and deletes the map; false when the
    // map is not in the list.
    bool RemoveEvent(const CVornStringMap* event);
    // Deletes every event.
    void RemoveAllEvents();
};

class CVornConfigObject {
public:
    // Empty event list, empty attribute map, new lock.
    CVornConfigObject();
    // Deletes every attribute value and every event with its values.
    virtual ~CVornConfigObject();
    CVornConfigObject(const CVornConfigObject&) = delete;
    CVornConfigObject& operator=(const CVornConfigObject&) = delete;

    // Reads an attribute list (ParseAttributes): 0 ok, 1 refused.
    virtual int Parse(const char* text);
    // Writes the attribute list and CR LF (WriteAttributes): 0 ok, 1 failure.
    virtual int Write(CVornFile& file);
    // Whether the object is not yet in force; false for the base kinds.
    virtual bool IsPending();

    // ---- Text form
    // Reads the items of text one by one and stores each value under its
    // name, replacing a value stored before. Null or empty text: 0, nothing
    // stored. An item without '=', a name or value over its bound, or a
    // name beyond kMaxAttributeCount: 1, the items before it stay stored. A
    // text longer than kMaxObjectTextLength: 1, nothing stored. A text
    // ending in ',' also stores an empty value under the empty name.
    int ParseAttributes(const char* text);
    // Under m_ObjectLock writes every attribute (map order) as one line:
    // items joined by ',', then "\r\n" (an object without attributes writes
    // "\r\n" alone). 1 when the file takes the line short (what was written
    // stays) or the line would pass kMaxObjectTextLength (nothing written).
    int WriteAttributes(CVornFile& file);

    // ---- Base attributes (time events are not consulted)
    // Copies the value into out; false when absent (out unchanged).
    bool GetBaseAttribute(const char* name, CVornString& out);
    // Stores a copy of value, replacing the old one. False, and nothing
    // changed, when the name or value is over its bound, a new name would
    // pass kMaxAttributeCount, or the object's text would pass
    // kMaxObjectTextLength. A null name is the empty name.
    bool SetBaseAttribute(const char* name, const CVornString& value);
    // Removes the attribute; nothing happens when it is absent.
    void DeleteBaseAttribute(const char* name);
    // Stores a heap copy of every value of source into target under the same
    // name, replacing what target held; returns 0. REQUIRES: the caller holds
    // the locks of the objects the maps belong to.
    static int copyAttributes(CVornStringMap& target, CVornStringMap& source);

    // ---- Time events (config/time_event.cpp). An event is a map of
    // attributes: "When", "Date", "Start", "End", "Repeat" and the settings
    // it supplies. Ids: see MakeEventKey (config/time_event.h).

    // Parses text as an attribute list into a new event and adds it as
    // AddEventMap does. Null or empty text, a text that does not parse, a
    // refused event: 1; accepted: 0 (an expired event is accepted and not
    // stored).
    int AddEvent(const char* text);
    // Validates the event and stores a copy at the front of m_Events: 0. 1
    // when When is missing or empty; Date, Start, End or Repeat is missing,
    // Date, Start or End is negative, Repeat is below 1, End is before
    // Start; a dated event names an impossible date or time of day or ends
    // after 9999-12-31; a name or value is over its bound; or the event
    // overlaps an event of this object (FindOverlappingEvent). The object
    // lock is held from the check to the insertion, so two conflicting
    // events added at once never both go in.
    int AddEventMap(const CVornStringMap& event);
    // The value of name as it applies now: from the event chosen for now
    // (ChooseEvent) when that event has it, else from the base attributes.
    // 0 found (out set), 1 nowhere (out unchanged).
    int GetAttribute(const char* name, CVornString& out);
    // GetAttribute into buffer: 0 with the value and a NUL; 1 when not found,
    // when the value's length is size or more, or buffer is null (the buffer
    // is then untouched).
    int GetAttributeBuffer(const char* name, char* buffer, int size);
    // Appends the id of every event, front to back, to out.
    void ListEvents(CVornStringList& out);
    // The attribute of the first event whose id equals id: 0 and out set; 1
    // when the event or the attribute is missing (out unchanged).
    int GetEventAttribute(const char* name, const char* id, CVornString& out);
    // Empties out and fills it with copies of the attributes of the first
    // event with that id: 0; 1 when there is none (out untouched).
    int GetEventAttributes(const char* id, CVornStringMap& out);
    // Removes and deletes the first event with that id: 0; 1 when none.
    int RemoveEvent(const char* id);
    // True when an event of this object conflicts with an event of the given
    // times: a second default event; otherwise (the event whose id is
    // editedId exempted) overlapping times of day with overlapping windows
    // of days (two dated events) or a shared weekday (a weekday event).
    bool FindOverlappingEvent(const char* editedId, int date, int repeat, int start, int end,
                              const char* when);
    // For each event front to back: an expired one is removed and deleted;
    // any other is written as the line "S" + key + (",name=value" for each
    // attribute) + "\r\n". 1 when a line is written short or would pass
    // kMaxObjectTextLength, else 0.
    int WriteEvents(CVornFile& file, const char* key);
    // The event that applies at the moment at: walking front to back, a
    // default event (unless one was chosen), a weekday event whose hours hold
    // the time of day (unless a weekday event was chosen), a dated event
    // whose window holds the moment (always, so the last such one wins).
    // With defaultOnly only the first default event is considered. Null when
    // none applies. REQUIRES: the caller holds m_ObjectLock; the map stays
    // owned by m_Events and valid while the lock is held.
    CVornStringMap* ChooseEvent(const CVornDate& at, bool defaultOnly = false);

    // Settings resolution: merges the base attributes and the event that
    // applies now into map (defined with the store's settings look-ups).
    int MergeSettings(int defaultOnly, CVornStringMap& map, const char* label, const char* name);

    CVornEventList m_Events;
    // Names compared exactly (case matters).
    CVornStringMap m_Attributes{0, 0};
    CVornLock m_ObjectLock{true};

    // The text form for the event code: reads a whole attribute list into
    // map by ParseAttributes' rules, each item stored under lock (which may
    // be null); and builds the written text of a map, items joined by ','
    // without a line end (false when it would pass kMaxObjectTextLength).
    static int ParseAttributeList(const char* text, CVornStringMap& map, CVornLock* lock);
    static bool BuildAttributeText(CVornStringMap& map, std::string& out);

private:
    // Reads one item at cursor into name and value: 0 with the item, -1
    // when there is none (null cursor), 1 for an item without '=' or with a
    // name or value over its bound. After an item the cursor is left after
    // the ',' that ends the value, or null at the end of the text; a cursor
    // on the end of the text (after a final ',') gives the empty name and
    // value.
    static int parseItem(const char*& cursor, CVornString& name, CVornString& value);
    // Reads a value at cursor up to the first unescaped single-byte ',' or
    // the end, undoing the escapes; the cursor is left on the ',' or the end.
    static void unescapeValue(const char*& cursor, CVornString& value);
    // Rewrites value in the written form (unchanged when nothing needs it).
    static void escapeValue(CVornString& value);
};

class CVornSystemObject : public CVornConfigObject {
public:
    CVornSystemObject() = default;
};

// A user (type 'U'). The password and Windows-account operations are defined
// in config/users.cpp.
class CVornUser : public CVornConfigObject {
public:
    CVornUser() = default;

    // Copies "Cast" into buffer when its length is below size - 1; an absent
    // attribute gives the empty text; a longer value leaves the buffer as it
    // was. Nothing happens for a null buffer or a size below 1.
    void GetCast(char* buffer, int size);
    // "VirtualAcct" as a number is above 0.
    bool IsVirtual();
    // A user that is not virtual: out = "RealAcct", true when not empty. A
    // virtual user: false, out unchanged.
    bool GetRealAccount(CVornString& out);
    // 0 when the password is right, 1 when not.
    int ValidatePassword(const char* password);
    // 0 changed, 1 refused. A null old password skips the check of the old
    // one.
    int ChangePassword(const char* oldPassword, const char* newPassword, CVornString& message);
};

class CVornGroup : public CVornConfigObject {
public:
    CVornGroup() = default;
};

class CVornClient : public CVornConfigObject {
public:
    CVornClient() = default;

    // As CVornUser::GetCast.
    void GetCast(char* buffer, int size);
};

// The kinds with two state letters ahead of their attribute list:
// "state,code," then the list. m_StateLock guards the two letters.
class CVornStateObject : public CVornConfigObject {
public:
    // m_State 'L', m_Code 'N'.
    CVornStateObject() = default;

    // First byte -> m_State; the second must be ','; third byte -> m_Code;
    // a ',' after it introduces the attribute list (ParseAttributes), else
    // the rest is ignored. Texts shorter than three bytes, or without the
    // first ',': 1 (nothing changed for texts shorter than three bytes).
    int Parse(const char* text) override;
    // m_State, ',', m_Code, ',' and the attribute list with CR LF: 0, or 1
    // when written short.
    int Write(CVornFile& file) override;

    char m_State = 'L';
    char m_Code = 'N';
    CVornRWLock m_StateLock;
};

class CVornMailingList : public CVornStateObject {
public:
    CVornMailingList() = default;
    // State 'A', 'D' or 'U'.
    bool IsPending() override;
};

class CVornDictionary : public CVornStateObject {
public:
    CVornDictionary() = default;
    // State 'U'.
    bool IsPending() override;
};

// The address begins with "owner-" (any case); false for null.
bool IsListOwnerAddress(const char* address);
// out = listName when it begins with "owner-" (any case), else "owner-" +
// listName. Null counts as the empty name.
void ListOwnerAddress(const char* listName, CVornString& out);
