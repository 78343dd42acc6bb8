// Operations of the configuration store on objects, their names, their time
// events and users' passwords.
//
//   IsObjectNameChar, CVornConfigStore::IsBadObjectName   the name rule
//   AddObject / DeleteObject / ObjectExists / IsObjectPending
//   SetAttribute / DeleteAttribute              one base attribute
//   ListObjectEvents / GetEventAttribute(s)     read an object's events
//   ReplaceEvent / FindOverlappingEvent         change or test an object's events
//   GetSortedNames / NameListThread             names in order (cached for users, clients)
//   CheckPassword / ChangePassword / SetPassword
//   IsVirtualUser / IsUserWithoutPassword / GetUserRealAccount / GetCanonicalUserName / GetRealAccounts
//
// Bad input: a bad object name or a type letter that cannot be made gives 1
// and changes nothing; a missing object gives 1 (or false), except for
// DeleteObject, where there is then nothing to do (0). Null names are the
// empty name (which is bad for AddObject and DeleteObject).
//
// Walks of the table copy its keys first (CVornHashTable::GetKeys), so each
// walk keeps its own position and concurrent walks do not disturb each
// other.
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "config/config_store.h"
#include "config/store_internal.h"
#include "config/users.h"
#include "core/clock.h"
#include "core/code_page.h"
#include "core/compare_no_case.h"
#include "core/event_log.h"
#include "core/threads.h"

namespace {

const int kEventError = 1;
const int kMsgNoMemory = 24;
const int kMaxObjectName = 127;

bool isCreatableType(char type) {
    return type == 'C' || type == 'D' || type == 'G' || type == 'L' || type == 'U';
}

// Fills list (which has its comparison) with the names, without their
// letter, of every key of letter type in keys. Sorting the whole set at once
// gives the order the list's Insert would give, in n log n comparisons.
void buildSortedNames(CVornStringList& keys, char type, CVornSortedList<CVornString>& list) {
    std::vector<std::unique_ptr<CVornString>> names;
    for (auto* node = keys.m_Head; node; node = node->m_Next) {
        CVornString& key = node->m_Element;
        if (key.CharAt(0) != type)
            continue;
        auto name = std::make_unique<CVornString>(CVornString::kUnlocked);
        name->Assign(key.CStr() + 1, key.Length() - 1);
        names.push_back(std::move(name));
    }
    auto compare = list.m_Compare;
    std::stable_sort(
        names.begin(), names.end(),
        [compare](const std::unique_ptr<CVornString>& a, const std::unique_ptr<CVornString>& b) {
            return compare(a.get(), b.get()) < 0;
        });
    list.m_List.RemoveAll();
    for (auto& name : names) list.m_List.AddTail(*name);
}

int (*const kCompareNoCase)(const CVornString*, const CVornString*) = &CompareNoCase;

}  // namespace

bool IsObjectNameChar(unsigned char c) {
    if (c >= 0x7F)
        return true;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return c == ' ' || c == '-' || c == '.' || c == '/' || c == ':' || c == ';' || c == '@' ||
           c == '_';
}

bool CVornConfigStore::IsBadObjectName(const char* name) {
    if (!name)
        return true;
    size_t length = strnlen(name, kMaxObjectName + 1);
    if (length == 0 || length > kMaxObjectName)
        return true;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (g_CodePage.CharLength(c) != 1 || !IsObjectNameChar(c))
            return true;
    }
    return false;
}

CVornConfigObject* CVornConfigStore::findObject(char type, const char* name) {
    CVornString key(CVornString::kUnlocked);
    MakeObjectKey(type, name, key);
    void* value = nullptr;
    if (!state().m_Objects->Find(key, &value, false))
        return nullptr;
    return static_cast<CVornConfigObject*>(value);
}

CVornUser* CVornConfigStore::FindUser(const char* name) {
    if (!name)
        return nullptr;
    return dynamic_cast<CVornUser*>(findObject('U', name));
}

int CVornConfigStore::saveIf(int save, int result) {
    if (save && result == 0)
        return Save();
    return result;
}

int CVornConfigStore::AddObject(char type, const char* name, int save) {
    // The system object has no name: a configuration that lacks it (a new
    // installation) must be able to get it, but there is only ever one.
    const bool systemObject = type == 'S' && (name == nullptr || name[0] == '\0');
    if (!systemObject && (IsBadObjectName(name) || !isCreatableType(type)))
        return 1;
    CheckForChanges();
    State& s = state();
    {
        CVornWriteGuard guard(s.m_Lock);
        CVornString key(CVornString::kUnlocked);
        MakeObjectKey(type, name, key);
        if (s.m_Objects->Find(key, nullptr, false))
            return 1;
        try {
            std::unique_ptr<CVornConfigObject> object(NewConfigObject(type));
            s.m_Objects->Insert(key, object.get(), nullptr);
            object.release();
        } catch (const std::bad_alloc&) {
            LogEventInt(kMsgNoMemory, kEventError, 0);
            return 1;
        }
        noteChange(false);
        if (type == 'C' || type == 'U') {
            CVornSortedList<CVornString>& list = type == 'C' ? s.m_ClientNames : s.m_UserNames;
            try {
                list.Insert(CVornString(name, CVornString::kUnlocked));
            } catch (const std::bad_alloc&) {
                // The cached list lacks the name: have it rebuilt.
                (type == 'C' ? s.m_ClientNamesBuilt : s.m_UserNamesBuilt) = 0;
            }
        }
    }
    return saveIf(save, 0);
}

int CVornConfigStore::DeleteObject(char type, const char* name, int save) {
    if (IsBadObjectName(name))
        return 1;
    CheckForChanges();
    State& s = state();
    {
        CVornWriteGuard guard(s.m_Lock);
        CVornString key(CVornString::kUnlocked);
        MakeObjectKey(type, name, key);
        if (!s.m_Objects->Find(key, nullptr, false))
            return 0;
        if (!isCreatableType(type))
            return 1;
        if (type == 'G') {
            // Members leave the group; casts inside time events stay.
            CVornStringList keys;
            s.m_Objects->GetKeys(keys);
            CVornString cast(CVornString::kUnlocked);
            for (auto* node = keys.m_Head; node; node = node->m_Next) {
                void* value = nullptr;
                if (!s.m_Objects->Find(node->m_Element, &value, false) || !value)
                    continue;
                auto* member = static_cast<CVornConfigObject*>(value);
                cast.Clear();
                if (member->GetBaseAttribute("Cast", cast) && cast.Equals(name, 0))
                    member->DeleteBaseAttribute("Cast");
            }
        }
        s.m_Objects->Remove(key);
        s.m_ChangeTime = RefreshNow();
        noteChange(true);
    }
    return saveIf(save, 0);
}

int CVornConfigStore::ObjectExists(char type, const char* name) {
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    return findObject(type, name) ? 1 : 0;
}

bool CVornConfigStore::IsObjectPending(char type, const char* name) {
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* object = findObject(type, name);
    return object && object->IsPending();
}

int CVornConfigStore::SetAttribute(char type, const char* name, const char* attribute,
                                   const CVornString& value, int save) {
    int result;
    {
        State& s = state();
        CVornWriteGuard guard(s.m_Lock);
        CVornConfigObject* object = findObject(type, name);
        result = object && object->SetBaseAttribute(attribute, value) ? 0 : 1;
    }
    return saveIf(save, result);
}

int CVornConfigStore::DeleteAttribute(char type, const char* name, const char* attribute,
                                      int save) {
    int result = 1;
    {
        State& s = state();
        CVornWriteGuard guard(s.m_Lock);
        if (CVornConfigObject* object = findObject(type, name)) {
            object->DeleteBaseAttribute(attribute);
            result = 0;
        }
    }
    return saveIf(save, result);
}

int CVornConfigStore::ListObjectEvents(char type, const char* name, CVornStringList& out) {
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* object = findObject(type, name);
    if (!object)
        return 1;
    object->ListEvents(out);
    return 0;
}

int CVornConfigStore::GetEventAttribute(char type, const char* name, const char* attribute,
                                        const CVornString& eventId, CVornString& out) {
    CVornString id(eventId, CVornString::kUnlocked);
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* object = findObject(type, name);
    return object ? object->GetEventAttribute(attribute, id.CStr(), out) : 1;
}

int CVornConfigStore::GetEventAttributes(char type, const char* name, const CVornString& eventId,
                                         CVornStringMap& out) {
    CVornString id(eventId, CVornString::kUnlocked);
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* object = findObject(type, name);
    return object ? object->GetEventAttributes(id.CStr(), out) : 1;
}

int CVornConfigStore::ReplaceEvent(char type, const char* name, const char* oldId,
                                   const CVornStringMap& event, int save) {
    int result;
    {
        State& s = state();
        CVornReadGuard guard(s.m_Lock);
        CVornConfigObject* object = findObject(type, name);
        if (!object)
            return 1;
        // Under the object's lock no one sees the object between the removal
        // and the addition, and a refused event leaves the old one in place.
        CVornLockGuard objectGuard(object->m_ObjectLock);
        CVornStringMap previous(0, 0);
        bool hadPrevious = false;
        if (oldId && *oldId) {
            hadPrevious = object->GetEventAttributes(oldId, previous) == 0;
            object->RemoveEvent(oldId);
        }
        result = object->AddEventMap(event);
        if (result != 0 && hadPrevious)
            object->AddEventMap(previous);
    }
    return saveIf(save, result);
}

bool CVornConfigStore::FindOverlappingEvent(char type, const char* name, const char* editedId,
                                            int date, int repeat, int start, int end,
                                            const char* when) {
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornConfigObject* object = findObject(type, name);
    return object && object->FindOverlappingEvent(editedId, date, repeat, start, end, when);
}

CVornSortedList<CVornString>& CVornConfigStore::cachedNames(char type) {
    State& s = state();
    bool users = type == 'U';
    CVornSortedList<CVornString>& list = users ? s.m_UserNames : s.m_ClientNames;
    unsigned long& built = users ? s.m_UserNamesBuilt : s.m_ClientNamesBuilt;
    if (built != s.m_ChangeGeneration) {
        CVornStringList keys;
        s.m_Objects->GetKeys(keys);
        buildSortedNames(keys, type, list);
        built = s.m_ChangeGeneration;
    }
    return list;
}

void CVornConfigStore::GetSortedNames(char type, CVornSortedList<CVornString>& out) {
    State& s = state();
    CVornWriteGuard guard(s.m_Lock);
    CVornSortedList<CVornString>* source;
    std::unique_ptr<CVornSortedList<CVornString>> fresh;
    if (type == 'U' || type == 'C') {
        source = &cachedNames(type);
    } else {
        fresh = std::make_unique<CVornSortedList<CVornString>>(kCompareNoCase);
        CVornStringList keys;
        s.m_Objects->GetKeys(keys);
        buildSortedNames(keys, type, *fresh);
        source = fresh.get();
    }
    CVornLockGuard insertGuard(out.m_InsertLock);
    out.m_Compare = source->m_Compare;
    out.m_List = source->m_List;
}

unsigned CVornConfigStore::NameListThread(void*) {
    SleepSeconds(2);
    State& s = state();
    try {
        CVornStringList keys;
        unsigned long tableGeneration;
        unsigned long changeGeneration;
        {
            CVornReadGuard guard(s.m_Lock);
            if (s.m_UserNamesBuilt == s.m_ChangeGeneration &&
                s.m_ClientNamesBuilt == s.m_ChangeGeneration)
                return 0;
            s.m_Objects->GetKeys(keys);
            tableGeneration = s.m_TableGeneration;
            changeGeneration = s.m_ChangeGeneration;
        }
        // Sorting may take a while for many names: no store lock meanwhile.
        CVornSortedList<CVornString> users(kCompareNoCase);
        CVornSortedList<CVornString> clients(&CompareClientNames);
        buildSortedNames(keys, 'U', users);
        buildSortedNames(keys, 'C', clients);

        CVornWriteGuard guard(s.m_Lock);
        // Any object added or removed since the keys were copied would be
        // missing or extra in these lists; the lists then stay as they are
        // and GetSortedNames rebuilds them when needed.
        if (s.m_TableGeneration != tableGeneration)
            return 0;
        s.m_UserNames.m_List = users.m_List;
        s.m_ClientNames.m_List = clients.m_List;
        s.m_UserNamesBuilt = changeGeneration;
        s.m_ClientNamesBuilt = changeGeneration;
    } catch (const std::bad_alloc&) {
        // The lists stay stale and are built on demand.
    }
    return 0;
}

int CVornConfigStore::CheckPassword(const char* user, const char* password, char noWindowsLogon) {
    CheckForChanges();
    State& s = state();
    {
        CVornReadGuard guard(s.m_Lock);
        if (CVornUser* found = FindUser(user))
            return found->ValidatePassword(password ? password : "");
    }
    // The system's account check may be slow; it needs no store lock.
    if (!user || noWindowsLogon)
        return 1;
    return WindowsLogon(user, password ? password : "");
}

int CVornConfigStore::ChangePassword(const char* user, const char* oldPassword,
                                     const char* newPassword, char noWindowsAccount,
                                     CVornString& message, char save) {
    CheckForChanges();
    State& s = state();
    int result;
    bool found = false;
    {
        CVornReadGuard guard(s.m_Lock);
        if (CVornUser* object = FindUser(user)) {
            found = true;
            result = object->ChangePassword(oldPassword, newPassword, message);
        }
    }
    if (!found) {
        if (!user || noWindowsAccount)
            return 1;
        result = WindowsChangePassword(user, oldPassword, newPassword, message);
    }
    return saveIf(save, result);
}

int CVornConfigStore::SetPassword(const char* user, const char* newPassword, CVornString& message,
                                  char save) {
    CheckForChanges();
    State& s = state();
    int result;
    {
        CVornReadGuard guard(s.m_Lock);
        CVornUser* object = FindUser(user);
        if (!object)
            return 1;
        result = object->ChangePassword(nullptr, newPassword, message);
    }
    return saveIf(save, result);
}

bool CVornConfigStore::IsVirtualUser(const CVornString& user) {
    CVornString name(user, CVornString::kUnlocked);
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornUser* object = FindUser(name.CStr());
    return object && object->IsVirtual();
}

bool CVornConfigStore::IsUserWithoutPassword(const char* user) {
    CheckForChanges();
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornUser* object = FindUser(user);
    if (!object || !object->IsVirtual())
        return false;
    // The same attribute ValidatePassword reads.
    CVornString stored;
    return !object->GetBaseAttribute("Password", stored) || stored.IsEmpty();
}

bool CVornConfigStore::GetUserRealAccount(const CVornString& user, CVornString& account) {
    CVornString name(user, CVornString::kUnlocked);
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornUser* object = FindUser(name.CStr());
    return object && object->GetRealAccount(account);
}

bool CVornConfigStore::GetCanonicalUserName(CVornString& user) {
    CVornString key(CVornString::kUnlocked);
    key.Assign('U');
    key.Append(user);
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    if (!s.m_Objects->Contains(key))
        return false;
    user.Assign(key.CStr() + 1, key.Length() - 1);
    return true;
}

void CVornConfigStore::GetRealAccounts(CVornMap<int>& out) {
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    CVornStringList keys;
    s.m_Objects->GetKeys(keys);
    CVornString account(CVornString::kUnlocked);
    for (auto* node = keys.m_Head; node; node = node->m_Next) {
        if (node->m_Element.CharAt(0) != 'U')
            continue;
        void* value = nullptr;
        if (!s.m_Objects->Find(node->m_Element, &value, false) || !value)
            continue;
        account.Clear();
        if (static_cast<CVornConfigObject*>(value)->GetBaseAttribute("RealAcct", account) &&
            !account.IsEmpty())
            out.Insert(account, new int(1), &::DeleteObject<int>);
    }
}
