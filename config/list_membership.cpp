// The list membership file: members and the mailing lists they are on, in
// one sorted file shared between processes.
//
//   CVornListMembership::GetMembers    members of one list, into a sorted list
//   CVornListMembership::RemoveMember  take a member off every list and save
//   CVornListMembership::Reload        read the file again (with "_old" recovery)
//   CVornListMembership::CheckReload   reload when the file changed (every 10 s at most)
//   CVornListMembership::SaveLocked    write the table back to the file
//
// Bad input: a missing file, a header that is not format 2, a line without
// a member or without lists, or a line over the disk file's line bound make
// the load fail (reported as 26); the entries read before stay visible, and
// every save is refused (30) until a load succeeds. A null member is refused
// with 1. Nothing here throws on its own account.
#include "config/list_membership.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "core/clock.h"
#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/md5.h"
#include "core/vorn_date.h"
#include "core/vorn_mutex.h"
#include "platform/file_ops.h"

namespace {

const int kError = 1;
const int kWarning = 2;

const int kMsgNoMemory = 24;
const int kMsgBadLine = 26;
const int kMsgSaveRefused = 30;
const int kMsgPrefixOrder = 35;

const int kFormatNumber = 2;
const int kPrefixLength = 3;
const char kListSeparator = '\x1C';

// Holds "QVLISTFILELOCK" for a scope. The constructor passes on the mutex's
// CVornException (nothing is then held); the destructor never throws.
class FileLock {
public:
    FileLock() { m_Mutex.Lock(CVornListMembership::kLockName); }
    ~FileLock() {
        try {
            m_Mutex.Unlock();
        } catch (...) {
            // Already reported by the mutex; a destructor must not throw.
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    CVornMutex m_Mutex;
};

// Removes trailing CR and LF bytes. Byte by byte on purpose: a line that
// ends in a stray lead byte must still lose its line end.
void TrimLineEnd(CVornString& line) {
    int n = line.Length();
    while (n > 0 && (line.CharAt(n - 1) == '\r' || line.CharAt(n - 1) == '\n')) --n;
    line.KeepLeft(n);
}

void PlainPrefix(const CVornString& member, CVornString& prefix) {
    prefix.Assign(member);
    prefix.KeepLeft(kPrefixLength);
}

}  // namespace

CVornListMembership::CVornListMembership(const char* path, bool scrambled)
    : m_Scrambled(scrambled), m_Header(new CVornFileHeader) {
    m_Path.Assign(path ? path : "");
}

CVornListMembership::~CVornListMembership() {
    Clear();
}

void CVornListMembership::Clear() {
    m_Entries.clear();
    m_Entries.shrink_to_fit();
    m_PrefixIndex.Clear();
}

void CVornListMembership::ReportBadLine(const char* path, int lineCount) {
    LogEventStrInt(kMsgBadLine, kError, path, lineCount);
}

bool CVornListMembership::AddEntry(const CVornString& member, const CVornString& lists) {
    try {
        // The table grows a block of entries at a time.
        if (m_Entries.size() == m_Entries.capacity())
            m_Entries.reserve(m_Entries.capacity() + kBlockEntries);
        CVornString swapped(member, CVornString::kUnlocked);
        swapped.SwapNibbles();
        Entry entry;
        entry.m_Member.assign(swapped.CStr(), static_cast<size_t>(swapped.Length()));
        CVornString listCopy(lists, CVornString::kUnlocked);
        entry.m_Lists.assign(listCopy.CStr(), static_cast<size_t>(listCopy.Length()));
        m_Entries.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        LogEventInt(kMsgNoMemory, kError, 0);
        m_LoadFailed = true;
        return false;
    }
    return true;
}

bool CVornListMembership::Load() {
    Clear();
    m_Header.reset(new CVornFileHeader);
    try {
        m_Entries.reserve(kBlockEntries);
    } catch (const std::bad_alloc&) {
        LogEventInt(kMsgNoMemory, kError, 0);
        m_LoadFailed = true;
        return false;
    }

    const char* path = m_Path.CStr();
    CVornDiskFile file(path, kFileReadOnly | kFileNoPathLock);
    if (!file.Open()) {
        m_LoadFailed = true;
        return false;
    }

    CVornString line(CVornString::kUnlocked);
    int number = 0;
    if (file.ReadLine(line, "\n") <= 0 || m_Header->Parse(line) != CVornFileHeader::kParsed ||
        !m_Header->GetNumber(&number) || number != kFormatNumber) {
        ReportBadLine(path, 0);
        file.Close();
        m_LoadFailed = true;
        return false;
    }

    const char* separator = m_Scrambled ? "\xA0" : "\n";
    CVornString member(CVornString::kUnlocked);
    CVornString lists(CVornString::kUnlocked);
    CVornString prefix(CVornString::kUnlocked);
    CVornString previous(CVornString::kUnlocked);
    CVornString largestPrefix(CVornString::kUnlocked);
    bool havePrevious = false;
    int run = 0;  // entries after the first one of the current prefix
    int largest = 0;
    for (;;) {
        int n = file.ReadLine(line, separator);
        if (n == 0)
            break;
        int count = static_cast<int>(m_Entries.size());
        // A line over the disk file's bound comes in pieces: a piece of the
        // bound that does not end in the separator, with more to come. Its
        // pieces must not pass for entries of their own.
        bool overlong = n >= CVornDiskFile::kMaxLineLength &&
                        line.CharAt(n - 1) != separator[0] && !file.IsEof();
        if (n < 0 || overlong) {
            ReportBadLine(path, count);
            file.Close();
            m_LoadFailed = true;
            return false;
        }
        if (m_Scrambled)
            line.SwapNibbles();
        TrimLineEnd(line);
        // 0x1C is below every trail byte of the double-byte code pages, so
        // the first such byte is the separator.
        const char* text = line.CStr();
        const void* found = memchr(text, kListSeparator, static_cast<size_t>(line.Length()));
        int at = found ? static_cast<int>(static_cast<const char*>(found) - text) : -1;
        if (at <= 0 || at == line.Length() - 1) {
            ReportBadLine(path, count);
            file.Close();
            m_LoadFailed = true;
            return false;
        }
        member.Assign(text, at);
        lists.Assign(text + at + 1, line.Length() - at - 1);

        PlainPrefix(member, prefix);
        int order = havePrevious ? prefix.Compare(previous, 3) : 1;
        if (order > 0) {
            if (havePrevious && run > largest) {
                largest = run;
                largestPrefix.Assign(previous);
            }
            // The index ignores case, so a prefix spelt differently keeps
            // the first entry it already names.
            try {
                if (!m_PrefixIndex.Find(prefix, nullptr, false))
                    m_PrefixIndex.Insert(prefix, new int(count), &DeleteObject<int>);
            } catch (const std::bad_alloc&) {
                LogEventInt(kMsgNoMemory, kError, 0);
                file.Close();
                m_LoadFailed = true;
                return false;
            }
            previous.Assign(prefix);
            havePrevious = true;
            run = 0;
        } else if (order == 0) {
            ++run;
        } else {
            LogEventStrString(kMsgPrefixOrder, kWarning, path, prefix);
        }

        if (!AddEntry(member, lists)) {
            file.Close();
            return false;
        }
    }

    if (!g_LogSilent) {
        CVornString text(CVornString::kUnlocked);
        text.Append("Read ");
        text.AppendInt(static_cast<int>(m_Entries.size()));
        text.Append(" lines from configuration file ");
        text.Append(m_Path);
        text.Append(". Largest key is ");
        text.AppendInt(largest);
        text.Append(" entries for \"");
        text.Append(largestPrefix);
        text.Append("\"");
        LogText(kLogDebug, text.CStr());
    }
    file.Close();
    m_LoadTime = RefreshNow();
    m_LoadFailed = false;
    m_Loaded = true;
    return true;
}

bool CVornListMembership::loadWithRecovery() {
    bool ok = Load();
    if (!ok) {
        CVornString old(m_Path, CVornString::kUnlocked);
        old.Append("_old");
        if (FileExists(old.CStr(), false)) {
            // One rename over the broken file: the path is never missing.
            if (platform::RenamePath(old.CStr(), m_Path.CStr(), true))
                ok = Load();
            else
                LogEventStrStrInt(kMsgFileRenameFailed, kError, old.CStr(), m_Path.CStr(), errno);
        }
    }
    m_LoadTime = RefreshNow();
    return ok;
}

bool CVornListMembership::fileChanged() {
    time_t loaded = m_LoadTime;
    if (loaded == 0)
        return true;
    // A missing file counts as unchanged: it has nothing new to read.
    if (!FileExists(m_Path.CStr(), false))
        return false;
    CVornDate modified(static_cast<time_t>(0));
    CVornDiskFile file(m_Path.CStr(), kFileReadOnly | kFileNoPathLock);
    file.GetModTime(modified);
    // Times are whole seconds: a change made in the second of the last load
    // may not be in what was read, so that second counts as changed too.
    return modified.GetTime() >= loaded;
}

int CVornListMembership::Reload(bool force) {
    if (!force && Now() - m_LoadTime <= 1)
        return 0;
    CVornWriteGuard table(m_TableLock);
    FileLock fileLock;
    return loadWithRecovery() ? 0 : 1;
}

int CVornListMembership::CheckReload() {
    bool changed;
    {
        CVornReadGuard table(m_TableLock);
        if (Now() - m_LastCheck <= 9)
            return 0;
        changed = fileChanged();
    }
    if (changed)
        return Reload(false);
    m_LastCheck = Now();
    return 0;
}

void CVornListMembership::GetMembers(const char* listName, CVornSortedList<CVornString>& members) {
    CheckReload();
    bool any = !listName || !*listName;
    CVornString pattern(CVornString::kUnlocked);
    if (!any) {
        pattern.Append(kListSeparator);
        pattern.Append(listName);
        pattern.Append(kListSeparator);
    }
    const char* whole = pattern.CStr();

    CVornReadGuard table(m_TableLock);
    CVornString lists(CVornString::kUnlocked);
    CVornString name(CVornString::kUnlocked);
    for (const Entry& entry : m_Entries) {
        if (entry.m_Lists.empty())
            continue;
        if (!any) {
            lists.Assign(entry.m_Lists.data(), static_cast<int>(entry.m_Lists.size()));
            // The first list has no separator in front of it.
            if (!lists.Contains(whole, 0) && !lists.StartsWith(whole + 1, 0))
                continue;
        }
        name.Assign(entry.m_Member.data(), static_cast<int>(entry.m_Member.size()));
        name.SwapNibbles();
        members.Insert(name);
    }
}

int CVornListMembership::FindEntry(const CVornString& member) {
    if (member.IsEmpty())
        return -1;
    CVornString prefix(CVornString::kUnlocked);
    PlainPrefix(member, prefix);
    void* value = nullptr;
    if (!m_PrefixIndex.Find(prefix, &value, false) || !value)
        return -1;
    CVornString name(CVornString::kUnlocked);
    for (size_t i = static_cast<size_t>(*static_cast<int*>(value)); i < m_Entries.size(); ++i) {
        const Entry& entry = m_Entries[i];
        name.Assign(entry.m_Member.data(), static_cast<int>(entry.m_Member.size()));
        name.SwapNibbles();
        int order = member.Compare(name, 0);
        if (order == 0)
            return static_cast<int>(i);
        if (order < 0)
            return -1;
    }
    return -1;
}

bool CVornListMembership::BlankEntry(const CVornString& member) {
    int i = FindEntry(member);
    if (i < 0)
        return false;
    m_Entries[static_cast<size_t>(i)].m_Lists.clear();
    return true;
}

int CVornListMembership::RemoveMember(const char* member) {
    if (!member)
        return 1;
    CVornString lower(member, CVornString::kUnlocked);
    lower.ToLower();
    CVornWriteGuard table(m_TableLock);
    FileLock fileLock;
    // Saving a table older than the file would undo another writer's change
    // (or, before the first load, empty the file): read it first.
    if (fileChanged())
        loadWithRecovery();
    BlankEntry(lower);
    CVornString digest(CVornString::kUnlocked);
    return Save(false, false, digest) ? 0 : 1;
}

int CVornListMembership::SaveLocked() {
    CVornWriteGuard table(m_TableLock);
    FileLock fileLock;
    CVornString digest(CVornString::kUnlocked);
    return Save(false, false, digest) ? 0 : 1;
}

bool CVornListMembership::Save(bool refreshLoadTime, bool computeDigest, CVornString& digest) {
    if (m_LoadFailed || !m_Loaded) {
        LogEventString(kMsgSaveRefused, kError, m_Path);
        return false;
    }
    const char* path = m_Path.CStr();
    CVornString newPath(m_Path, CVornString::kUnlocked);
    newPath.Append("_new");
    CVornString oldPath(m_Path, CVornString::kUnlocked);
    oldPath.Append("_old");
    const char* lineEnd = m_Scrambled ? "\n" : "\r\n";

    // A "_new" left by a save that failed part-way: nobody else writes one
    // while the named lock is held, so it is stale.
    if (FileExists(newPath.CStr(), false) && !RemoveFile(newPath.CStr(), false))
        return false;
    CVornDiskFile file(newPath.CStr(), kFileCreate | kFileExclusive | kFileNoPathLock);
    if (!file.Open())
        return false;

    CVornMD5 md5;
    CVornString line(CVornString::kUnlocked);
    if (m_Header->IsValid()) {
        m_Header->Format(line);
        line.Append(lineEnd);
        if (computeDigest)
            md5.Update(line);
        if (file.Write(line) != line.Length())
            return false;
    }
    for (const Entry& entry : m_Entries) {
        if (entry.m_Lists.empty())
            continue;
        line.Assign(entry.m_Member.data(), static_cast<int>(entry.m_Member.size()));
        line.SwapNibbles();
        line.Append(kListSeparator);
        line.Append(entry.m_Lists.data(), static_cast<int>(entry.m_Lists.size()));
        line.Append(lineEnd);
        if (m_Scrambled)
            line.SwapNibbles();
        if (computeDigest)
            md5.Update(line);
        if (file.Write(line) != line.Length())
            return false;
    }
    // Flush syncs the new file to the disk before it takes the file's place.
    if (!file.Flush() || !file.Close())
        return false;

    if (FileExists(oldPath.CStr(), false) && !RemoveFile(oldPath.CStr(), false))
        return false;
    // The current file gets a second name instead of moving away, so the
    // path keeps a complete file until the new one replaces it in one step.
    if (FileExists(path, false) && link(path, oldPath.CStr()) != 0) {
        LogEventStrStrInt(kMsgFileRenameFailed, kError, path, oldPath.CStr(), errno);
        return false;
    }
    if (!platform::RenamePath(newPath.CStr(), path, true)) {
        LogEventStrStrInt(kMsgFileRenameFailed, kError, newPath.CStr(), path, errno);
        return false;
    }
    if (refreshLoadTime)
        m_LoadTime = RefreshNow();
    md5.HexDigest(digest);
    return true;
}
