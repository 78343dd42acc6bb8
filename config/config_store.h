// CVornConfigStore: the process's one table of configuration objects (the
// system object, users, groups, clients, mailing lists, dictionaries),
// mirrored in three text files:
//   "shared-config"  site-wide objects (system, users, groups, clients)
//   "local-config"   mailing lists, dictionaries and the time events of the
//                    other kinds
//   "vendor-config"  read-only defaults; read, never written
// Every member is class-wide: instances carry no data, and every operation is
// a static member function. The constructor only sets the three paths.
//
// Files: config/config_store.cpp (paths, Load, Save, change check),
// config/store_operations.cpp (objects, names, events, passwords),
// config/settings.cpp (settings resolution along system, group, user, client
// group and client).
//
// Lock order. The store's reader-writer lock comes first, then the named
// cross-process mutex "QVCONFIGFILELOCK" (held by Load and Save inside the
// write lock), then an object's m_ObjectLock, then its event list's lock.
// Read locks nest on one thread (a look-up inside a look-up). No store lock
// is held while anything that may reload the store runs: CheckForChanges,
// the settings look-ups, AddObject, DeleteObject, the password operations
// and GetLoadTime take the store's locks themselves and must be called with
// no store lock held; the same holds for callers that write the activity log
// (it reads settings). Save runs after an operation has released its lock.
//
// Results: 0 success, 1 failure, unless said otherwise. Bad input (a null
// name, an unknown type letter, a missing object) gives 1 or false and
// changes nothing. Exceptions: a CVornMutex failure (CVornException 44, 45,
// 46) passes out of Load and Save with every store lock released;
// std::bad_alloc is reported as message 24 where an object is made.
#pragma once

#include <time.h>

#include <functional>

#include "core/hash_table.h"
#include "core/vorn_list.h"
#include "core/vorn_string.h"

class CVornConfigObject;
class CVornUser;

// The byte test of object names: the blank, '-', '.', '/', digits, ':',
// ';', '@', letters, '_' and every byte from 0x7F up.
bool IsObjectNameChar(unsigned char c);

class CVornConfigStore {
public:
    // Stores the three paths (null counts as empty) under the write lock.
    // Loads nothing. When the paths differ from those the table was loaded
    // from, the table counts as not loaded (Save refuses) until Load.
    CVornConfigStore(const char* sharedPath, const char* localPath, const char* vendorPath);
    // Deletes every object of the table; the table then counts as not
    // loaded. REQUIRES: no other thread uses the store.
    virtual ~CVornConfigStore();
    CVornConfigStore(const CVornConfigStore&) = delete;
    CVornConfigStore& operator=(const CVornConfigStore&) = delete;

    // ---- Files (config/config_store.cpp)

    // Reads the three files into a new table and, when all three read
    // cleanly, puts it in place of the old one: 0. Without force, a load
    // within one second of the last successful one is not repeated (0). A
    // broken or missing file is replaced by its "_old" copy (the broken file
    // is set aside under its name + date + time) and the load is repeated.
    // On failure (1) the table in use stays as it was and Save is refused
    // until a load succeeds.
    static int Load(int force);
    // Writes shared-config and local-config from the table. Each file is
    // written to "<file>_new" (created exclusively, synced), the current
    // file is linked to "<file>_old", then "_new" is renamed over the file,
    // so the file is never missing. Refused (1, nothing written) before the
    // first successful load and after a failed one.
    static int Save();
    // At most once every 10 seconds of Now(): when a file's modification
    // time, size or identity differs from what the last load or save saw,
    // reloads (the result of the load); otherwise 0. A failed reload is not
    // repeated until the interval has passed and a file has changed again.
    static int CheckForChanges();
    // CheckForChanges, then the time of the last successful load or save (0
    // before the first). Callers that cache values derived from settings
    // drop their caches when it changes.
    static time_t GetLoadTime();

    // ---- Objects (config/store_operations.cpp). type is one of 'C', 'D',
    // 'G', 'L', 'S', 'U'; a null name is the empty name; names match without
    // regard to case. A save flag makes a successful change end with Save,
    // whose result is then returned.

    // True unless the name is 1 to 127 bytes, each a single-byte character
    // of the code page that IsObjectNameChar accepts. Null is bad.
    static bool IsBadObjectName(const char* name);
    // Creates an empty object: 1 for a bad name, an existing key, or a type
    // other than 'C', 'D', 'G', 'L', 'U'. The system object is type 'S' with
    // a null or empty name (any other name of type 'S' is refused).
    static int AddObject(char type, const char* name, int save);
    // Deletes an object: 1 for a bad name or type 'S' or unknown; 0 when
    // there is no such object (nothing saved). Deleting a group first
    // removes the base attribute "Cast" naming it from every object.
    static int DeleteObject(char type, const char* name, int save);
    // 1 when the object exists, else 0.
    static int ObjectExists(char type, const char* name);
    // The object's IsPending; false when it does not exist.
    static bool IsObjectPending(char type, const char* name);
    // Sets or removes a base attribute: 1 when the object does not exist or
    // (SetAttribute) the object refuses the value.
    static int SetAttribute(char type, const char* name, const char* attribute,
                            const CVornString& value, int save);
    static int DeleteAttribute(char type, const char* name, const char* attribute, int save);

    // ---- Time events of one object (no change check)

    // Appends the ids of the object's events to out: 1 when no object.
    static int ListObjectEvents(char type, const char* name, CVornStringList& out);
    static int GetEventAttribute(char type, const char* name, const char* attribute,
                                 const CVornString& eventId, CVornString& out);
    static int GetEventAttributes(char type, const char* name, const CVornString& eventId,
                                  CVornStringMap& out);
    // Removes the event oldId (when not empty) and adds event in its place.
    // When the new event is refused (1) the old one is put back, so nothing
    // changes.
    static int ReplaceEvent(char type, const char* name, const char* oldId,
                            const CVornStringMap& event, int save);
    // The object's FindOverlappingEvent; false when no object.
    static bool FindOverlappingEvent(char type, const char* name, const char* editedId, int date,
                                     int repeat, int start, int end, const char* when);

    // ---- Name lists

    // Empties out and fills it with the names of every object of type, in
    // order, and gives it the order's comparison callback: users and other
    // types by CompareNoCase, clients by CompareAddressStrings (10.0.0.9
    // before 10.0.0.10). The user and client lists are cached and rebuilt
    // after a load or a deletion.
    static void GetSortedNames(char type, CVornSortedList<CVornString>& out);
    // Thread function, started once after the first successful load: waits
    // 2 seconds, builds the cached user and client lists, and ends (0).
    static unsigned NameListThread(void* argument);

    // ---- Users and passwords

    // 0 when the password is right: the user object's check, or, without a
    // user object and with noWindowsLogon 0, the system account's logon.
    static int CheckPassword(const char* user, const char* password, char noWindowsLogon);
    // 0 when changed: the user object's change (old password checked), or,
    // without a user object and with noWindowsAccount 0, the system
    // account's change. message may receive the reason of a refusal.
    static int ChangePassword(const char* user, const char* oldPassword, const char* newPassword,
                              char noWindowsAccount, CVornString& message, char save);
    // Sets a user object's password without the old one: 1 without a user.
    static int SetPassword(const char* user, const char* newPassword, CVornString& message,
                           char save);
    // The user object's IsVirtual / GetRealAccount; false without a user.
    static bool IsVirtualUser(const CVornString& user);
    // True when user names a virtual user object without a stored password
    // hash, the account whose check takes any password: logins refuse it.
    // False for a system account's user and when there is no such user.
    static bool IsUserWithoutPassword(const char* user);
    static bool GetUserRealAccount(const CVornString& user, CVornString& account);
    // True when a user of that name exists; user then takes the spelling
    // under which the table holds it.
    static bool GetCanonicalUserName(CVornString& user);
    // Inserts every user's non-empty "RealAcct" as a key of out (value: a
    // heap int 1, owned by out).
    static void GetRealAccounts(CVornMap<int>& out);

    // ---- Settings (config/settings.cpp). client and user may be null or
    // unknown: their levels are then skipped. The chain, later levels
    // winning: system object, the user's group ("Cast" of the user), the
    // user, the client's group, the client; each level's value as it applies
    // now (its time event first, then its base attributes).

    // out is emptied; 0 when any level has the attribute, else 1.
    static int GetSetting(const char* client, const char* user, const char* name, CVornString& out);
    // As GetSetting into buffer (a level whose value needs size bytes or
    // more counts as not having it). -1 for a null buffer or a size below 1.
    static int GetSettingBuffer(const char* client, const char* user, const char* name,
                                char* buffer, int size);
    // Only the user's group, then the client's group; out is not emptied.
    static int GetGroupSetting(const char* client, const char* user, const char* name,
                               CVornString& out);
    // One object's value as it applies now: 0 found; 1 when the object or
    // the attribute is missing (out unchanged). No change check.
    static int GetObjectSetting(char type, const char* objectName, const char* name,
                                CVornString& out);
    // Merges the five levels into map in chain order (whole levels: base
    // attributes, then the event that applies; "Where" names the levels
    // whose events supplied settings). defaultOnly considers only default
    // events. Returns 0.
    static int GetEffectiveSettings(const char* client, const char* user, int defaultOnly,
                                    CVornStringMap& map);

private:
    struct State;
    // The class-wide state: made on first use, never destroyed.
    static State& state();

    // The user object of that name or null. REQUIRES: a store lock, held
    // while the object is used.
    static CVornUser* FindUser(const char* name);
    // The object of type and name or null. REQUIRES: a store lock.
    static CVornConfigObject* findObject(char type, const char* name);
    // Deletes every object and empties the table. REQUIRES: the write lock.
    static void deleteAllObjects();
    // Message 26 (path, line number), an error event.
    static void logBadLine(const char* path, int lineNumber);
    // Load with the write lock already held.
    static int loadLocked(int force);
    // Whether a file differs from what the last load or save saw.
    // REQUIRES: a store lock.
    static bool filesChanged();
    // The cached list of 'U' or 'C' names, rebuilt when stale. REQUIRES:
    // the write lock.
    static CVornSortedList<CVornString>& cachedNames(char type);
    // Notes a change of the set of objects; a removal (or a load) makes the
    // name lists stale. REQUIRES: the write lock.
    static void noteChange(bool removal);
    // Save when save is set and result is 0; the final result.
    static int saveIf(int save, int result);
    // The five levels of the settings chain (null where a level is
    // missing), and the names of the two groups. REQUIRES: a store lock.
    static void getChain(const char* client, const char* user, CVornConfigObject* levels[5],
                         CVornString& userGroup, CVornString& clientGroup);
    // Under the read lock, get(level) on each level of the chain (only the
    // two groups with groupsOnly) in order: 0 when some level's get gave 0,
    // else 1.
    static int resolveChain(const char* client, const char* user, bool groupsOnly,
                            const std::function<int(CVornConfigObject*)>& get);
};
