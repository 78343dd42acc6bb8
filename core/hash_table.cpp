// The hash table of text keys and its owning maps (see hash_table.h).
//
//   HashKey                      lookup2 hash of a key's bytes
//   DeleteBlock                  free() deleter
//   CVornHashTable::Insert       store or replace (old value to the deleter)
//   CVornHashTable::Find         look up, optionally remove (value to the caller)
//   CVornHashTable::First/Next   iteration in bucket order
//   CVornHashTable::Contains     look up, giving back the stored key
//   CVornHashTable::GetKeys      all keys into a list
//   CVornHashTable::CopyFrom     copy another table's entries
//   CVornStringMap::Set/Get      copies of texts in and out
//
// Bad input: a negative size hint throws CVornException 65; a table
// destroyed with entries reports event 67 and frees them. Memory exhaustion
// throws std::bad_alloc before the table changes.
#include "core/hash_table.h"

#include "core/event_log.h"
#include "core/vorn_exception.h"

struct CVornHashTable::Entry {
    explicit Entry(const CVornString& k) : key(k, CVornString::kLocked) {}
    CVornString key;
    void* value = nullptr;
    uint32_t hash = 0;
    Entry* next = nullptr;
};

namespace {

// The mixing step of lookup2: reversible, every bit of a, b and c affects
// every bit of the result.
// clang-format off
inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= b; a -= c; a ^= (c >> 13);
    b -= c; b -= a; b ^= (a << 8);
    c -= a; c -= b; c ^= (b >> 13);
    a -= b; a -= c; a ^= (c >> 12);
    b -= c; b -= a; b ^= (a << 16);
    c -= a; c -= b; c ^= (b >> 5);
    a -= b; a -= c; a ^= (c >> 3);
    b -= c; b -= a; b ^= (a << 10);
    c -= a; c -= b; c ^= (b >> 15);
}
// clang-format on

inline uint32_t Word(const unsigned char* k) {
    return k[0] | (uint32_t(k[1]) << 8) | (uint32_t(k[2]) << 16) | (uint32_t(k[3]) << 24);
}

// lookup2's hash(key, length, initial value).
uint32_t Lookup2(const unsigned char* k, uint32_t length, uint32_t initval) {
    uint32_t a = 0x9e3779b9;
    uint32_t b = 0x9e3779b9;
    uint32_t c = initval;
    uint32_t len = length;
    while (len >= 12) {
        a += Word(k);
        b += Word(k + 4);
        c += Word(k + 8);
        Mix(a, b, c);
        k += 12;
        len -= 12;
    }
    // The lowest byte of c is taken by the length.
    c += length;
    // clang-format off
    switch (len) {
        case 11: c += uint32_t(k[10]) << 24; [[fallthrough]];
        case 10: c += uint32_t(k[9]) << 16; [[fallthrough]];
        case 9: c += uint32_t(k[8]) << 8; [[fallthrough]];
        case 8: b += uint32_t(k[7]) << 24; [[fallthrough]];
        case 7: b += uint32_t(k[6]) << 16; [[fallthrough]];
        case 6: b += uint32_t(k[5]) << 8; [[fallthrough]];
        case 5: b += k[4]; [[fallthrough]];
        case 4: a += uint32_t(k[3]) << 24; [[fallthrough]];
        case 3: a += uint32_t(k[2]) << 16; [[fallthrough]];
        case 2: a += uint32_t(k[1]) << 8; [[fallthrough]];
        case 1: a += k[0]; break;
        default: break;
    }
    // clang-format on
    Mix(a, b, c);
    return c;
}

// The hash under the table's mode: in mode 1 of the lower-cased key, so that
// keys differing only in case share a bucket.
uint32_t HashForMode(const CVornString& key, int mode) {
    if (mode != 1)
        return HashKey(key);
    CVornString lower(key, CVornString::kUnlocked);
    lower.ToLower();
    return HashKey(lower);
}

}  // namespace

void DeleteBlock(void* value) {
    free(value);
}

uint32_t HashKey(const CVornString& key) {
    // Keys are mostly short: read them onto the stack, longer ones to the heap.
    unsigned char small[256];
    std::unique_ptr<unsigned char[]> large;
    CVornStringLockGuard guard(key);
    int n = key.Length();
    unsigned char* bytes = small;
    if (n > static_cast<int>(sizeof small)) {
        large.reset(new unsigned char[n]);
        bytes = large.get();
    }
    int offset = 0;
    key.ReadBytes(offset, bytes, n);
    return Lookup2(bytes, static_cast<uint32_t>(n), 0);
}

CVornHashTable::CVornHashTable(int sizeHint, int mode) : m_Mode(mode) {
    if (sizeHint < 0)
        throw CVornException(65, nullptr, sizeHint);
    int bits = 1;
    if (sizeHint > 1) {
        // floor(log2(hint)) + 1: the smallest power of two above the hint.
        bits = 0;
        for (unsigned v = static_cast<unsigned>(sizeHint); v; v >>= 1) ++bits;
    }
    m_Bits = bits;
    m_Mask = (uint32_t(1) << bits) - 1;
    m_Buckets.reset(new Entry*[size_t(m_Mask) + 1]());
}

CVornHashTable::~CVornHashTable() {
    // The table does not own the values, so only the entries can be freed;
    // ending the process over a user's forgotten entries would lose far more.
    if (m_Count != 0)
        LogEventInt(67, 1, m_Count);
    FreeEntries(TakeAllEntries(), nullptr);
}

int CVornHashTable::Count() const {
    CVornLockGuard guard(m_Lock);
    return m_Count;
}

CVornHashTable::Entry* CVornHashTable::Lookup(const CVornString& key, uint32_t* hash,
                                              Entry*** link) const {
    uint32_t h = HashForMode(key, m_Mode);
    if (hash)
        *hash = h;
    if (!m_Buckets)
        return nullptr;
    int compareMode = m_Mode == 1 ? 0 : 1;
    for (Entry** at = &m_Buckets[h & m_Mask]; *at; at = &(*at)->next) {
        if ((*at)->key.Equals(key, compareMode)) {
            if (link)
                *link = at;
            return *at;
        }
    }
    return nullptr;
}

void CVornHashTable::Grow() {
    // The count is an int, so a table never needs more than 2^31 buckets
    // (count > mask cannot hold at 31 bits) and the masks fit in 31 bits.
    int bits = m_Bits + 1;
    uint32_t mask = (uint32_t(1) << bits) - 1;
    std::unique_ptr<Entry*[]> buckets(new Entry*[size_t(mask) + 1]());
    int moved = 0;
    for (uint32_t b = 0; b <= m_Mask; ++b) {
        Entry* entry = m_Buckets[b];
        while (entry) {
            Entry* next = entry->next;
            Entry*& head = buckets[entry->hash & mask];
            entry->next = head;
            head = entry;
            ++moved;
            entry = next;
        }
    }
    m_Buckets = std::move(buckets);
    m_Bits = bits;
    m_Mask = mask;
    // Only a corrupted table gets here; its entries are all in the new array.
    if (moved != m_Count)
        throw CVornException(66, nullptr, moved);
}

void CVornHashTable::Insert(const CVornString& key, void* value, VornDeleter deleter) {
    CVornLockGuard guard(m_Lock);
    m_Cursor = nullptr;
    uint32_t hash = 0;
    if (Entry* entry = Lookup(key, &hash, nullptr)) {
        // The key first: it may throw, and then nothing has changed.
        if (m_Mode == 1)
            entry->key.Assign(key);
        void* old = entry->value;
        entry->value = value;
        // Storing the same pointer again must not free what is now stored.
        if (old != value && deleter)
            deleter(old);
        return;
    }
    std::unique_ptr<Entry> entry(new Entry(key));
    entry->value = value;
    entry->hash = hash;
    if (static_cast<uint32_t>(m_Count) > m_Mask)
        Grow();
    Entry*& head = m_Buckets[hash & m_Mask];
    entry->next = head;
    head = entry.release();
    ++m_Count;
}

bool CVornHashTable::Find(const CVornString& key, void** value, bool remove) {
    CVornLockGuard guard(m_Lock);
    if (remove)
        m_Cursor = nullptr;
    Entry** link = nullptr;
    Entry* entry = Lookup(key, nullptr, &link);
    if (!entry)
        return false;
    if (value)
        *value = entry->value;
    if (remove) {
        *link = entry->next;
        --m_Count;
        delete entry;
    }
    return true;
}

bool CVornHashTable::First(CVornString& key, void** value) {
    CVornLockGuard guard(m_Lock);
    m_Cursor = nullptr;
    if (m_Count > 0 && m_Buckets) {
        for (uint32_t b = 0; b <= m_Mask && !m_Cursor; ++b) m_Cursor = m_Buckets[b];
    }
    if (!m_Cursor)
        return false;
    key.Assign(m_Cursor->key);
    if (value)
        *value = m_Cursor->value;
    return true;
}

bool CVornHashTable::Next(CVornString& key, void** value) {
    CVornLockGuard guard(m_Lock);
    if (!m_Cursor)
        return false;
    Entry* next = m_Cursor->next;
    for (uint32_t b = (m_Cursor->hash & m_Mask) + 1; !next && b <= m_Mask; ++b) {
        next = m_Buckets[b];
    }
    m_Cursor = next;
    if (!m_Cursor)
        return false;
    key.Assign(m_Cursor->key);
    if (value)
        *value = m_Cursor->value;
    return true;
}

bool CVornHashTable::Contains(CVornString& key) const {
    CVornLockGuard guard(m_Lock);
    Entry* entry = Lookup(key, nullptr, nullptr);
    if (!entry)
        return false;
    key.Assign(entry->key);
    return true;
}

void CVornHashTable::GetKeys(CVornStringList& keys) const {
    keys.RemoveAll();
    CVornLockGuard guard(m_Lock);
    if (!m_Buckets)
        return;
    for (uint32_t b = 0; b <= m_Mask; ++b) {
        for (Entry* entry = m_Buckets[b]; entry; entry = entry->next) keys.AddTail(entry->key);
    }
}

void CVornHashTable::CopyFrom(const CVornHashTable& source, VornCopier copy, VornDeleter deleter) {
    CVornLockGuard guard(source.m_Lock);
    if (!source.m_Buckets)
        return;
    for (uint32_t b = 0; b <= source.m_Mask; ++b) {
        for (Entry* entry = source.m_Buckets[b]; entry; entry = entry->next) {
            Insert(entry->key, copy ? copy(entry->value) : entry->value, deleter);
        }
    }
}

CVornHashTable::Entry* CVornHashTable::TakeAllEntries() {
    CVornLockGuard guard(m_Lock);
    Entry* chain = nullptr;
    m_Cursor = nullptr;
    if (m_Buckets) {
        for (uint32_t b = 0; b <= m_Mask; ++b) {
            while (Entry* entry = m_Buckets[b]) {
                m_Buckets[b] = entry->next;
                entry->next = chain;
                chain = entry;
            }
        }
    }
    m_Count = 0;
    return chain;
}

void CVornHashTable::FreeEntries(Entry* chain, VornDeleter deleter) {
    while (chain) {
        Entry* next = chain->next;
        if (deleter && chain->value)
            deleter(chain->value);
        delete chain;
        chain = next;
    }
}

void CVornStringMap::Set(const CVornString& key, const CVornString& value) {
    std::unique_ptr<CVornString> copy(new CVornString(value, CVornString::kLocked));
    Insert(key, copy.get(), &DeleteObject<CVornString>);
    copy.release();
}

void CVornStringMap::Set(const char* key, const CVornString& value) {
    Set(CVornString(key, CVornString::kUnlocked), value);
}

bool CVornStringMap::Get(const CVornString& key, CVornString& value) const {
    // The copy is made under the table's lock: another thread's Set may
    // delete the stored value as soon as the lock is free.
    CVornLockGuard guard(m_Lock);
    Entry* entry = Lookup(key, nullptr, nullptr);
    if (!entry)
        return false;
    if (entry->value) {
        value.Assign(*static_cast<CVornString*>(entry->value));
    } else {
        value.Clear();
    }
    return true;
}

bool CVornStringMap::Get(const char* key, CVornString& value) const {
    return Get(CVornString(key, CVornString::kUnlocked), value);
}
