// CVornListMembership: which members (mail addresses or user names) belong
// to which mailing lists, kept in one text file that other processes may
// rewrite too. The object loads the file on first use, reloads it when it
// changes, and replaces it safely under the named lock "QVLISTFILELOCK".
//
// File: line 1 is the versioned header of core/file_header.h with the format
// number 2 (never scrambled); every further line is
//   member 0x1C list 0x1C list 0x1C ...
// ended by CR LF (plain mode) or LF (scrambled mode). In scrambled mode each
// entry line, its LF included, is stored with the two 4-bit halves of every
// byte swapped, so lines end in the byte 0xA0. Entries are sorted by member;
// their first three bytes must not decrease from line to line (an entry
// whose prefix does is kept, reported as warning 35, and not indexed).
//
// Saving: the lines go to path + "_new" (created exclusively, synced), the
// current file is linked to path + "_old", and "_new" is renamed over the
// file, so the file is never missing, not even for an instant. A save is
// refused (message 30) while the last load failed and before the first load.
//
// Event-log messages: 24 out of memory (with 0), 26 a bad line (path, count
// of good entries before it; 0 for a bad header), 30 save refused (path),
// 35 warning: out-of-order prefix (path, prefix). A CVornMutex failure on
// "QVLISTFILELOCK" (CVornException 44, 45, 46) passes out of the operations
// with the table lock released.
//
// Threads: any thread may call the public operations. Lock order: the table
// lock (m_TableLock), then "QVLISTFILELOCK". Not copyable.
//
// ListOwnerAddress, the owner list's name of a mailing list, is declared in
// config/config_object.h.
#pragma once

#include <time.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/file_header.h"
#include "core/hash_table.h"
#include "core/rw_lock.h"
#include "core/vorn_list.h"
#include "core/vorn_string.h"

class CVornListMembership {
public:
    // The name of the cross-process lock of every membership file.
    static constexpr const char* kLockName = "QVLISTFILELOCK";
    // Entries are allocated this many at a time.
    static constexpr int kBlockEntries = 10000;

    // path: the membership file (null counts as empty, which never loads).
    // scrambled: the file's entry lines are nibble-swapped. Nothing is read
    // until the first GetMembers or Reload; nothing loaded, load time 0.
    CVornListMembership(const char* path, bool scrambled);
    virtual ~CVornListMembership();
    CVornListMembership(const CVornListMembership&) = delete;
    CVornListMembership& operator=(const CVornListMembership&) = delete;

    // CheckReload, then inserts into members (in the list's own order; it
    // must have a comparison callback) every member whose list field names
    // listName, compared without regard to case. An empty or null listName
    // gives every member that is on some list.
    void GetMembers(const char* listName, CVornSortedList<CVornString>& members);

    // Removes member (compared without regard to case) from every list and
    // saves the file, also when the member was not in it: 0 when the save
    // succeeded, 1 otherwise (null member: 1). The file is first re-read
    // when it changed since the last load (or was never loaded), so a change
    // made by another process is never overwritten.
    int RemoveMember(const char* member);

    // Reads the file again: 0 ok, 1 failed. Without force, a reload within
    // one second of the last is skipped (0). A file that fails to load is
    // replaced by path + "_old" when that exists, and read again.
    int Reload(bool force);

    // At most once every 10 seconds: reloads (Reload(false)) when the file
    // changed since the last load. 0, or the reload's result.
    int CheckReload();

    // Saves the table to the file (see Saving above): 0 ok, 1 failed.
    int SaveLocked();

private:
    struct Entry {
        std::string m_Member;  // nibble-swapped
        std::string m_Lists;   // as read; empty once blanked
    };

    // REQUIRES (all of these): the table lock for writing and the named lock.
    // Reads the file into a fresh table; false (reported) on failure.
    bool Load();
    // Load, and when it fails and "_old" exists, puts "_old" in place of the
    // file and loads again. Sets the load time.
    bool loadWithRecovery();
    // Writes the file as described above. digest receives the MD5 of the
    // lines written when computeDigest is set (else the digest of nothing).
    bool Save(bool refreshLoadTime, bool computeDigest, CVornString& digest);
    // Appends an entry (member as plain text). False (message 24) when no
    // memory could be had.
    bool AddEntry(const CVornString& member, const CVornString& lists);
    // Frees every entry and the prefix index.
    void Clear();
    // Whether the file changed since the last load (or none happened).
    bool fileChanged();

    // REQUIRES: the table lock (either side).
    // Index of member's entry (without regard to case), or -1.
    int FindEntry(const CVornString& member);
    // Empties the list field of member's entry; false when not found.
    // REQUIRES: the write side.
    bool BlankEntry(const CVornString& member);

    static void ReportBadLine(const char* path, int lineCount);

    bool m_LoadFailed = false;
    bool m_Loaded = false;  // a load succeeded at least once
    const bool m_Scrambled;
    std::vector<Entry> m_Entries;
    CVornString m_Path{CVornString::kUnlocked};
    // First 3 bytes of a member (without regard to case) -> index of the
    // first entry with that prefix.
    CVornMap<int> m_PrefixIndex{0, 1};
    std::atomic<time_t> m_LoadTime{0};
    std::atomic<time_t> m_LastCheck{0};
    CVornRWLock m_TableLock;
    std::unique_ptr<CVornFileHeader> m_Header;
};
