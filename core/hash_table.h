// CVornHashTable: maps text keys (CVornString) to untyped value pointers, in
// chained buckets whose number is a power of two and doubles as the table
// fills. Keys are hashed with Bob Jenkins' lookup2 hash; a table in mode 1
// matches keys without regard to case. CVornMap is the family of tables that
// own their values; CVornStringMap the map of named texts.
//
//   CVornHashTable::Insert      store a value under a key, handing a replaced value to a deleter
//   CVornHashTable::Find        look a key up, optionally removing its entry (the value is not
//   freed) CVornHashTable::First/Next  visit every entry once, in bucket order
//   CVornHashTable::Contains    look a key up and give back its stored form
//   CVornHashTable::GetKeys     every key into a CVornStringList
//   CVornHashTable::CopyFrom    insert copies of another table's values
//   CVornMap::Clear / Remove    drop entries and delete their values
//   CVornStringMap::Set/Get     store and read copies of texts
//   HashKey                     the lookup2 hash of a key's bytes
//   DeleteObject<T>, DeleteBlock  the usual deleters
//
// Ownership: a CVornHashTable never owns its values. An insert that replaces
// a value hands the old one to the caller's deleter (unless it is the very
// pointer being stored again); a removal hands the value back to the caller.
// A CVornMap owns its values and deletes every value left when it is
// destroyed or cleared. A table destroyed with entries left reports event 67
// and frees the entries (not their values, which it does not own).
//
// Threads: every operation takes the table's recursive lock, so one table may
// be shared by threads. An iteration (First, then Next) is not atomic: an
// insert or removal by any thread in between ends the pass early; a caller
// that needs a stable pass holds m_Lock across it (only subclasses can). The
// deleter runs under the table's lock. Lock order: GetKeys takes the table
// and then the list; CopyFrom the source and then this table.
//
// Bad input: a negative size hint throws CVornException 65 (extra = the
// hint). Memory exhaustion throws std::bad_alloc and leaves the table as it
// was (the value is then not stored and not taken over).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

// Frees (or otherwise disposes of) a value the table hands back. Receives
// the stored pointer, which may be null.
typedef void (*VornDeleter)(void* value);
// Makes the copy of a value that CopyFrom stores.
typedef void* (*VornCopier)(void* value);

// The deleter for values of class T (or of classes derived from T when T has
// a virtual destructor): deletes the value; null is ignored.
template <typename T>
void DeleteObject(void* value) {
    delete static_cast<T*>(value);
}

// The deleter for plain heap blocks (malloc, calloc, strdup): frees the block.
void DeleteBlock(void* value);

// Bob Jenkins' lookup2 hash of the key's bytes (initial value 0).
uint32_t HashKey(const CVornString& key);

class CVornHashTable {
public:
    // sizeHint: the table starts with the smallest power of two above the
    // hint, at least 2 buckets. mode 0: keys match byte for byte; mode 1:
    // keys match without regard to case. Throws CVornException 65 (extra =
    // the hint) for a negative hint.
    explicit CVornHashTable(int sizeHint = 0, int mode = 0);
    // Entries left (a user that forgot to empty the table) are reported as
    // event 67 with their count and freed; their values are left alone.
    virtual ~CVornHashTable();
    CVornHashTable(const CVornHashTable&) = delete;
    CVornHashTable& operator=(const CVornHashTable&) = delete;

    int Count() const;

    // Stores value under key. For a key already present the old value goes
    // to deleter (when it is another pointer and deleter is not null) and, in
    // mode 1, the stored key takes the form given here. The iteration
    // cursor is cleared.
    void Insert(const CVornString& key, void* value, VornDeleter deleter);

    // True when key is present; *value (value may be null) receives its
    // value. With remove, the entry is removed and the iteration cursor
    // cleared; the value passes to the caller and is not freed.
    bool Find(const CVornString& key, void** value, bool remove);

    // Start / continue an iteration in bucket order. True with the entry's
    // key copied into key and its value into *value (value may be null);
    // false when there is no (further) entry. Next after Insert or a
    // removal returns false.
    bool First(CVornString& key, void** value);
    bool Next(CVornString& key, void** value);

    // True when key is present; key is then overwritten with the stored
    // form of the key (in mode 1, the spelling of the last insert).
    bool Contains(CVornString& key) const;

    // Empties keys, then appends every key of the table in bucket order.
    void GetKeys(CVornStringList& keys) const;

    // Inserts copy(value) under every key of source, with deleter for the
    // values replaced. A null copy stores the same pointers.
    void CopyFrom(const CVornHashTable& source, VornCopier copy, VornDeleter deleter);

protected:
    struct Entry;

    // Unlinks every entry (the table is empty afterwards) and returns them
    // as one chain, for the caller to free with FreeEntries outside the
    // table's lock.
    Entry* TakeAllEntries();
    // Frees a chain from TakeAllEntries, handing each non-null value to
    // deleter (when deleter is not null).
    static void FreeEntries(Entry* chain, VornDeleter deleter);

    // REQUIRES: m_Lock held. The entry for key, or null; *link (when not
    // null) receives the pointer that points at it, *hash the key's hash.
    Entry* Lookup(const CVornString& key, uint32_t* hash, Entry*** link) const;
    // REQUIRES: m_Lock held. Doubles the bucket array.
    void Grow();

    Entry* m_Cursor = nullptr;
    std::unique_ptr<Entry*[]> m_Buckets;
    int m_Count = 0;
    int m_Bits = 1;
    uint32_t m_Mask = 1;
    int m_Mode = 0;
    mutable CVornLock m_Lock{true};
};

// A table that owns its values, deleting each with Delete (values of V).
// REQUIRES: every value stored is deletable by Delete.
template <typename V, VornDeleter Delete = &DeleteObject<V>>
class CVornMap : public CVornHashTable {
public:
    using CVornHashTable::CVornHashTable;
    ~CVornMap() override { Clear(); }

    // Removes every entry and deletes every (non-null) value.
    void Clear() { FreeEntries(TakeAllEntries(), Delete); }

    // True when key is present; *value (value may be null) receives the
    // stored pointer, which stays owned by the map.
    bool Get(const char* key, V** value) {
        void* found = nullptr;
        if (!Find(CVornString(key, CVornString::kUnlocked), &found, false))
            return false;
        if (value)
            *value = static_cast<V*>(found);
        return true;
    }

    // Removes the entry of key, when there is one, and deletes its value.
    void Remove(const CVornString& key) {
        void* value = nullptr;
        if (Find(key, &value, true) && value)
            Delete(value);
    }
    void Remove(const char* key) { Remove(CVornString(key, CVornString::kUnlocked)); }
};

// The map of named texts: heap CVornString values.
class CVornStringMap : public CVornMap<CVornString> {
public:
    using CVornMap<CVornString>::CVornMap;
    using CVornMap<CVornString>::Get;

    // Stores a copy of value under key, deleting a value it replaces.
    void Set(const char* key, const CVornString& value);
    void Set(const CVornString& key, const CVornString& value);

    // True when key is present; its value is then copied into value, which is
    // left unchanged otherwise.
    bool Get(const char* key, CVornString& value) const;
    bool Get(const CVornString& key, CVornString& value) const;
};
