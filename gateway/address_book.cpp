// Address books of the local mail store (see address_book.h).
#include "gateway/address_book.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/clock.h"
#include "core/disk_file.h"
#include "core/file_system.h"
#include "core/vorn_mutex.h"

namespace {

constexpr char kEntrySeparator = '\x1C';
constexpr const char* kHeaderStart = "# 1 ";

// The root of the users' book folders; empty until SetAddressBookRoot.
// Never destroyed: web workers may still read it while the process ends.
CVornString& g_AddressBookRoot = *new CVornString(CVornString::kUnlocked);
CVornLock& g_AddressBookRootLock = *new CVornLock(true);

// A user whose name can stand as one folder below the root. Anything else
// would let a name reach a file outside the user's own folder.
bool isBookOwner(const char* user) {
    if (user == nullptr || *user == '\0')
        return false;
    if (std::strchr(user, '/') != nullptr)
        return false;
    return std::strcmp(user, ".") != 0 && std::strcmp(user, "..") != 0;
}

// path := <root>/<user>/addressbook.bok; false (path empty) when the user
// has no book: no root, or a name that is not one folder.
bool bookPath(const char* user, CVornString& path) {
    path.Assign("");
    if (!isBookOwner(user))
        return false;
    CVornString root(CVornString::kUnlocked);
    {
        CVornLockGuard guard(g_AddressBookRootLock);
        root.Assign(g_AddressBookRoot);
    }
    if (root.IsEmpty())
        return false;
    CVornString folder(CVornString::kUnlocked);
    JoinPath(folder, root.CStr(), user);
    JoinPath(path, folder.CStr(), kAddressBookFileName);
    return true;
}

void lockName(const char* user, CVornString& name) {
    name.Assign(kAddressBookLockPrefix);
    name.Append(user);
}

// Reads the next line, terminator included, into line: 1 a line, 0 the end,
// -1 a read error. A line longer than kMaxBookLineLength is consumed whole
// and reported through *tooLong (line then empty).
int readBookLine(CVornDiskFile& file, std::vector<char>& buffer, CVornString& line, bool* tooLong) {
    *tooLong = false;
    line.Assign("");
    const int size = static_cast<int>(buffer.size());
    int n = file.ReadLine(buffer.data(), size, "\n");
    if (n <= 0)
        return n;
    if (n < size || buffer[static_cast<size_t>(n) - 1] == '\n') {
        line.Assign(buffer.data(), n);
        return 1;
    }
    // The line goes on beyond the bound: skip the rest of it.
    *tooLong = true;
    for (;;) {
        n = file.ReadLine(buffer.data(), size, "\n");
        if (n < 0)
            return -1;
        if (n == 0 || n < size || buffer[static_cast<size_t>(n) - 1] == '\n')
            return 1;
    }
}

}  // namespace

void SetAddressBookRoot(const char* directory) {
    if (directory == nullptr || *directory == '\0')
        return;
    CVornLockGuard guard(g_AddressBookRootLock);
    g_AddressBookRoot.Assign(directory);
}

// ---- CAddressBookEntry

CAddressBookEntry::~CAddressBookEntry() = default;

CAddressBookEntry::CAddressBookEntry() = default;

CAddressBookEntry::CAddressBookEntry(const char* name, const char* value) {
    m_Name.Assign(name);
    m_Value.Assign(value);
}

CAddressBookEntry::CAddressBookEntry(const CAddressBookEntry& other) {
    Assign(other);
}

CAddressBookEntry& CAddressBookEntry::operator=(const CAddressBookEntry& other) {
    Assign(other);
    return *this;
}

void CAddressBookEntry::Assign(const CAddressBookEntry& other) {
    if (&other == this)
        return;
    CVornLockGuard source(other.m_Lock);
    CVornLockGuard target(m_Lock);
    m_Name.Assign(other.m_Name);
    m_Value.Assign(other.m_Value);
}

void CAddressBookEntry::GetName(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    out.Assign(m_Name);
}

void CAddressBookEntry::GetValue(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    out.Assign(m_Value);
}

// ---- CAddressBook

CAddressBook::CAddressBook(const char* user) {
    if (!bookPath(user, m_Path))
        return;
    CVornString name(CVornString::kUnlocked);
    lockName(user, name);
    auto mutex = std::make_unique<CVornMutex>();
    mutex->Lock(name.CStr());
    m_Mutex = std::move(mutex);
    try {
        load();
    } catch (...) {
        // The destructor does not run for a half-made object: let go here.
        try {
            m_Mutex->Unlock();
        } catch (...) {
        }
        throw;
    }
}

CAddressBook::~CAddressBook() {
    if (m_Mutex) {
        try {
            m_Mutex->Unlock();
        } catch (...) {
            // Reported by the mutex itself; a destructor passes nothing on.
        }
    }
    CVornLockGuard guard(m_EntriesLock);
    m_Entries.Clear();
}

int CAddressBook::createFile() {
    // Exclusive: between the existence test and here nothing of ours can
    // have made the file (the book's mutex is held), but never empty a book
    // that another writer made.
    CVornDiskFile file(m_Path.CStr(), kFileCreate | kFileExclusive | kFileNoPathLock);
    if (!file.Open())
        return 2;
    char header[64];
    const int n =
        snprintf(header, sizeof header, "%c %c %lld\r\n", '#', '1', static_cast<long long>(Now()));
    const bool written = file.Write(header, n) == n;
    const bool closed = file.Close();
    return written && closed ? 0 : 1;
}

void CAddressBook::load() {
    if (!FileExists(m_Path.CStr(), false))
        (void)createFile();
    if (!FileExists(m_Path.CStr(), false))
        return;
    // The book's mutex covers the file: no per-path lock as well.
    CVornDiskFile file(m_Path.CStr(), kFileReadOnly | kFileNoPathLock);
    if (!file.Open())
        return;
    std::vector<char> buffer(kMaxBookLineLength);
    CVornString line(CVornString::kUnlocked);
    bool tooLong = false;
    if (readBookLine(file, buffer, line, &tooLong) != 1 || tooLong ||
        !line.StartsWith(kHeaderStart, 1)) {
        (void)file.Close();
        return;
    }

    CVornLockGuard guard(m_EntriesLock);
    m_Entries.Clear();
    for (;;) {
        const int got = readBookLine(file, buffer, line, &tooLong);
        if (got != 1)
            break;  // the end, or a read error: what was read stays
        if (tooLong)
            continue;
        line.TrimRight("\r\n");
        const int separator = line.Find(kEntrySeparator);
        if (separator <= 0 || separator == line.Length() - 1)
            continue;  // no separator, an empty name or an empty value
        CVornString name(line.CStr(), separator, CVornString::kUnlocked);
        CVornString value(line.CStr() + separator + 1, line.Length() - separator - 1,
                          CVornString::kUnlocked);
        auto entry = std::make_unique<CAddressBookEntry>(name.CStr(), value.CStr());
        m_Entries.Insert(name, entry.get(), DeleteObject<CAddressBookEntry>);
        (void)entry.release();
    }
    (void)file.Close();
}

void CAddressBook::GetSortedEntries(CVornSortedList<CAddressBookEntry>& list) {
    {
        CVornLockGuard guard(list.m_InsertLock);
        if (list.m_Compare == nullptr)
            ThrowVornListError(62);
    }
    CVornLockGuard guard(m_EntriesLock);
    CVornString key(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = m_Entries.First(key, &value); more; more = m_Entries.Next(key, &value)) {
        if (value != nullptr)
            list.Insert(*static_cast<CAddressBookEntry*>(value));
    }
}

void DeleteAddressBook(const char* user) {
    CVornString path(CVornString::kUnlocked);
    if (!bookPath(user, path))
        return;
    CVornString name(CVornString::kUnlocked);
    lockName(user, name);
    CVornMutex mutex;
    mutex.Lock(name.CStr());
    try {
        for (const char* suffix : {"", "_new", "_old"}) {
            CVornString file(path, CVornString::kUnlocked);
            file.Append(suffix);
            if (FileExists(file.CStr(), false))
                (void)RemoveFile(file.CStr(), false);
        }
    } catch (...) {
        mutex.Unlock();
        throw;
    }
    mutex.Unlock();
}
