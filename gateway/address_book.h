// Address books of the local mail store: one text file per user,
// <root>/<user>/addressbook.bok, holding pairs of a name and a value, read
// for the web-mail page that lists them. Nothing writes entries: a book is
// read, created empty when missing, and deleted with its user.
//
//   SetAddressBookRoot    the directory that holds the users' book folders
//   CAddressBook          one user's book, loaded and locked for its life
//   CAddressBook::GetSortedEntries   copies of the entries into a sorted list
//   CAddressBookEntry     one name and value
//   DeleteAddressBook     remove a user's book and its rewrite copies
//
// File: the first line is "#", blank, "1", blank and the time of creation
// in decimal seconds since 1970 (a new book is written so, ending CR LF); a
// reader requires the first four characters and ignores the rest. Every
// further line is the name, the byte 0x1C and the value; trailing CR and LF
// are removed and the line is split at its first 0x1C. A line without 0x1C,
// with an empty name or value, or longer than kMaxBookLineLength bytes is
// passed over. A later line whose name differs only in letter case replaces
// the earlier entry.
//
// Bad input: a file whose first line is not a header yields no entries and
// is left as it is; a read error keeps what was read so far. A user name
// that is empty or not a single path component ("/" in it, "." or "..")
// has no book: the book stays empty and nothing on disk is touched. Without
// a root (the service's start-up sets none) no user has a book: nothing is
// read, created or removed, rather than looking for books below the
// file-system root.
//
// Threads: any thread; a CAddressBook is destroyed by the thread that made
// it (the named mutex belongs to that thread). The named mutex "QVADDRESSBOOK" + user is held for
// the whole life of a CAddressBook and by DeleteAddressBook, so the readers
// and removers of one book take turns, also across processes; a thread must
// not hold a book of a user while it deletes that user's book from another
// process. The root has its own lock; the entries have one (taken by
// GetSortedEntries), and each entry locks itself when copied. CVornMutex
// failures (CVornException 44, 45, 46) pass out of the constructor and of
// DeleteAddressBook.
#pragma once

#include <memory>

#include "core/hash_table.h"
#include "core/vorn_list.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"

class CVornMutex;

// The name of a book's file in the user's folder, the prefix of its named
// mutex, and the longest line the reader takes.
constexpr const char* kAddressBookFileName = "addressbook.bok";
constexpr const char* kAddressBookLockPrefix = "QVADDRESSBOOK";
constexpr int kMaxBookLineLength = 8192;

// Sets the root of the users' book folders under its lock; a null or empty
// directory is ignored (the root stays as it was).
void SetAddressBookRoot(const char* directory);

// One entry: a name and its value. Copies take the source's lock and then
// the target's, so sorted lists can hold copies.
class CAddressBookEntry {
public:
    virtual ~CAddressBookEntry();
    CAddressBookEntry();
    // Null texts count as empty.
    CAddressBookEntry(const char* name, const char* value);
    CAddressBookEntry(const CAddressBookEntry& other);
    CAddressBookEntry& operator=(const CAddressBookEntry& other);

    // Copies both members from other (itself: nothing changes).
    void Assign(const CAddressBookEntry& other);
    // Copies of one member, under the entry's lock.
    void GetName(CVornString& out) const;
    void GetValue(CVornString& out) const;

private:
    CVornString m_Name{CVornString::kUnlocked};
    CVornString m_Value{CVornString::kUnlocked};
    mutable CVornLock m_Lock{true};
};

// One user's book. Not copyable.
class CAddressBook {
public:
    // Builds the path from the root, waits without limit for the book's
    // named mutex and loads the book (creating it with the header line alone
    // when the file is missing and the user's folder exists). A user without
    // a book (see Bad input above) gives an empty book and no mutex.
    explicit CAddressBook(const char* user);
    // Releases the mutex and deletes every entry.
    virtual ~CAddressBook();
    CAddressBook(const CAddressBook&) = delete;
    CAddressBook& operator=(const CAddressBook&) = delete;

    // Under the entries' lock, inserts a copy of every entry into list by
    // that list's comparator and insertion rule. Throws CVornException 62
    // when the list has no comparator (the list is unchanged).
    void GetSortedEntries(CVornSortedList<CAddressBookEntry>& list);

private:
    // Creates the file with the header line (exclusively, so an existing
    // book is never emptied): 0 ok, 2 it cannot be opened, 1 the write or
    // the close failed.
    int createFile();
    // Reads the file into the entries as the header comment describes.
    void load();

    CVornString m_Path{CVornString::kUnlocked};   // empty: the user has no book
    CVornMap<CAddressBookEntry> m_Entries{0, 1};  // name (any case) -> entry
    mutable CVornLock m_EntriesLock{true};
    std::unique_ptr<CVornMutex> m_Mutex;  // locked while set
};

// Holding the mutex "QVADDRESSBOOK" + user, removes the user's book and the
// same path with "_new" and "_old" appended, each when present (a missing
// file is no error). Nothing is done for a user without a book.
void DeleteAddressBook(const char* user);
