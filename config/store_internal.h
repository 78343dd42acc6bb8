// The class-wide state of CVornConfigStore and the scope holders of its
// locks, shared by config/config_store.cpp, config/store_operations.cpp and
// config/settings.cpp. Not for use outside the store.
#pragma once

#include <memory>

#include "config/config_object.h"
#include "config/config_store.h"
#include "core/rw_lock.h"
#include "core/vorn_lock.h"
#include "platform/file_replace.h"

// The object table: key = type letter + name, keys compared without regard
// to case; the map owns the objects and deletes them through their virtual
// destructor.
typedef CVornMap<CVornConfigObject> CVornObjectTable;

struct CVornConfigStore::State {
    State();

    // Guarded by m_Lock.
    CVornString m_SharedPath;
    CVornString m_LocalPath;
    CVornString m_VendorPath;
    // Replaced whole by a successful load, so a failed one leaves the table
    // in use untouched.
    std::unique_ptr<CVornObjectTable> m_Objects;
    time_t m_LoadTime = 0;    // last successful load or save; 0 before
    time_t m_ChangeTime = 0;  // last load or deletion
    bool m_LoadFailed = false;
    // The table holds a successful load of the current paths (Save needs it).
    bool m_Loaded = false;
    // A load was tried since the paths were set: m_Stamps are meaningful.
    bool m_LoadTried = false;
    // What the three files looked like when last read or written.
    platform::FileStamp m_Stamps[3];
    // The save number of the pair as last read or written (-1: the files
    // carry none); the next save writes one more.
    long long m_SaveNumber = -1;
    // Counts loads and deletions (the name lists go stale), and every change
    // of the set of objects (a list built from an older copy of the keys is
    // not installed).
    unsigned long m_ChangeGeneration = 1;
    unsigned long m_TableGeneration = 1;
    // Cached sorted names of users and clients, and the m_ChangeGeneration
    // they were built from (0: never).
    CVornSortedList<CVornString> m_UserNames;
    CVornSortedList<CVornString> m_ClientNames;
    unsigned long m_UserNamesBuilt = 0;
    unsigned long m_ClientNamesBuilt = 0;

    CVornRWLock m_Lock;
    // Guards m_LastCheck only.
    CVornLock m_CheckLock;
    time_t m_LastCheck = 0;
};

// An empty object of the kind of a type letter ('C', 'D', 'G', 'L', 'S',
// 'U'); null for any other letter. Throws std::bad_alloc.
CVornConfigObject* NewConfigObject(char type);

// The comparison of client names (host addresses), for sorted lists.
int CompareClientNames(const CVornString* a, const CVornString* b);

// The table key of an object: the type letter followed by the name (null is
// the empty name).
inline void MakeObjectKey(char type, const char* name, CVornString& key) {
    key.Assign(type);
    if (name)
        key.Append(name);
}
