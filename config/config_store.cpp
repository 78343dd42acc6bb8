// The configuration store's files: the class-wide table and its locks, the
// three configuration files read into the table and written from it, and
// the check for changes that another process made to them.
//
//   CVornConfigStore::CVornConfigStore   set the three paths
//   CVornConfigStore::~CVornConfigStore  delete every object
//   CVornConfigStore::Load               read the three files into a new table
//   CVornConfigStore::Save               rewrite shared-config and local-config
//   CVornConfigStore::CheckForChanges    reload when another process changed a file
//   CVornConfigStore::GetLoadTime        time of the last load or save
//
// File format: a header line "# 2 <seconds since 1970> <save number>", then lines that
// start with '#' (comment), 'D' (object: "D" + type letter + name + "," +
// object text) or 'S' (time event: "S" + type letter + name + "," + event
// attributes). Lines end in CR LF; the reader strips every trailing CR and
// LF.
//
// Bad input: a file that is missing, has a bad header, an empty line, a line
// of an unknown kind, a line without a comma, an unknown type letter, an
// object text its object refuses, a NUL byte or a line longer than
// kMaxConfigLineLength makes the load fail (message 26, 27 or 5); the file
// is then replaced by its "_old" copy when there is one and the load
// repeated. A failed load never changes the table in use. A duplicate object
// line is skipped (warning 28, silent in vendor-config); a refused event
// line is skipped (message 26).
//
// Saves: shared-config and local-config are one pair. Both carry the same
// save number in their header; a save writes both "_new" files whole and
// synced, then renames shared-config, then local-config. A load that finds
// the pair torn (killed between the renames) completes the save from the
// remaining "_new" file first. A save that finds either file changed since
// its last load or save (another process saved meanwhile) writes nothing,
// reloads and fails with event 29: no acknowledged change is overwritten.
// Files written before save numbers existed (header without one) load as
// ever.
#include "config/config_store.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <new>

#include "config/store_internal.h"
#include "core/clock.h"
#include "core/compare_no_case.h"
#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/vorn_exception.h"
#include "core/vorn_mutex.h"
#include "net/host_address.h"
#include "platform/file_ops.h"
#include "platform/threads.h"

namespace {

const int kEventError = 1;
const int kEventWarning = 2;

const int kMsgCannotOpen = 5;
const int kMsgNoMemory = 24;
const int kMsgNoPath = 25;
const int kMsgBadLine = 26;
const int kMsgBadVersion = 27;
const int kMsgDuplicate = 28;
const int kMsgSaveConflict = 29;
const int kMsgTornSave = 832;
const int kMsgSaveRefused = 30;
const int kMsgMutexWait = 44;

const char kConfigLockName[] = "QVCONFIGFILELOCK";
// How long Load and Save wait for another process's hold on the files
// before they give up (real time, so a frozen test clock cannot stall it).
const int kFileLockWaitSeconds = 60;
// The result a failed wait reports with message 44 (the system's time-out).
const int kWaitTimedOut = 0x102;
// Longest key quoted in a warning, so the message stays bounded.
const int kMaxQuotedKey = 200;

// Holds "QVCONFIGFILELOCK" for a scope. Acquire waits a bounded time; a
// holder that died without releasing (an abandoned mutex) counts as gone.
// Other failures of the mutex pass out as CVornException.
class ConfigFileLock {
public:
    ConfigFileLock() : m_Mutex(kConfigLockName) {}
    ~ConfigFileLock() {
        if (!m_Held)
            return;
        try {
            m_Mutex.Unlock();
        } catch (const CVornException&) {
            // Reported by the exception itself; nothing else to undo.
        }
    }
    ConfigFileLock(const ConfigFileLock&) = delete;
    ConfigFileLock& operator=(const ConfigFileLock&) = delete;

    bool Acquire() {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(kFileLockWaitSeconds);
        int abandoned = 0;
        for (;;) {
            try {
                if (m_Mutex.TryLock() == 0) {
                    m_Held = true;
                    return true;
                }
            } catch (const CVornException& e) {
                // An abandoned mutex is free for the next try; anything else,
                // or abandonment that keeps recurring, is a real failure.
                if (e.m_Code != kMsgMutexWait || ++abandoned > 3)
                    throw;
                continue;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                LogEventStrInt(kMsgMutexWait, kEventError, kConfigLockName, kWaitTimedOut);
                return false;
            }
            platform::SleepMilliseconds(20);
        }
    }

private:
    CVornMutex m_Mutex;
    bool m_Held = false;
};

// The save number of a header line "# 2 <time> <number>" (line ends may
// follow); -1 when the line carries none or it is malformed.
long long HeaderSaveNumber(const char* line) {
    const char* p = line + 3;  // past "# 2", which the callers checked
    auto digits = [&p](long long* value) {
        const char* start = p;
        long long v = 0;
        while (*p >= '0' && *p <= '9') {
            if (v > (LLONG_MAX - 9) / 10)
                return false;
            v = v * 10 + (*p++ - '0');
        }
        *value = v;
        return p != start;
    };
    long long time = 0, number = 0;
    if (*p++ != ' ' || !digits(&time) || *p++ != ' ' || !digits(&number))
        return -1;
    return (*p == '\0' || *p == '\r' || *p == '\n') ? number : -1;
}

void logBadLineOf(const char* path, int lineNumber) {
    LogEventStrInt(kMsgBadLine, kEventError, path, lineNumber);
}

// One line, without its line end, in a buffer of kLineBufferSize bytes.
const int kLineBufferSize = kMaxConfigLineLength + 3;

// Reads the lines of an open file into table. False once a failure that
// calls for recovery has been reported.
bool readLines(CVornDiskFile& file, const char* path, bool isVendor, CVornObjectTable& table,
               long long* serial) {
    std::unique_ptr<char[]> buffer(new char[kLineBufferSize]);
    char* line = buffer.get();
    int lineNumber = 1;

    // A line that fills the buffer without its LF is longer than any line
    // a save writes: -1, as for a read error.
    auto readOne = [&](int* length) -> int {
        const int room = kLineBufferSize - 1;  // one byte for the NUL
        int n = file.ReadLine(line, room, "\n");
        if (n <= 0)
            return n;
        if (n == room && line[n - 1] != '\n')
            return -1;
        while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) --n;
        line[n] = '\0';
        *length = n;
        return 1;
    };

    int length = 0;
    if (readOne(&length) <= 0 || length < 3 || line[0] != '#' || line[1] != ' ') {
        logBadLineOf(path, 1);
        return false;
    }
    if (line[2] != '2') {
        LogEventStrInt(kMsgBadVersion, kEventError, path, static_cast<unsigned char>(line[2]));
        return false;
    }
    *serial = HeaderSaveNumber(line);

    for (;;) {
        int got = readOne(&length);
        if (got == 0)
            return true;
        if (got < 0) {
            logBadLineOf(path, lineNumber);
            return false;
        }
        ++lineNumber;
        // A NUL would cut the object text short and silently drop what
        // follows it; the writer never puts one in a line.
        if (length == 0 || memchr(line, '\0', static_cast<size_t>(length))) {
            logBadLineOf(path, lineNumber);
            return false;
        }
        char kind = line[0];
        if (kind == '#')
            continue;
        if (kind != 'D' && kind != 'S') {
            logBadLineOf(path, lineNumber);
            return false;
        }
        char* comma = static_cast<char*>(memchr(line + 1, ',', static_cast<size_t>(length - 1)));
        if (!comma) {
            logBadLineOf(path, lineNumber);
            return false;
        }
        CVornString key(line + 1, static_cast<int>(comma - line - 1), CVornString::kUnlocked);
        const char* text = comma + 1;

        if (kind == 'S') {
            CVornConfigObject* object = nullptr;
            if (table.Get(key.CStr(), &object) && object && object->AddEvent(text) != 0)
                logBadLineOf(path, lineNumber);
            continue;
        }

        if (table.Get(key.CStr(), nullptr)) {
            if (!isVendor) {
                CVornString quoted(key, CVornString::kUnlocked);
                if (quoted.Length() > kMaxQuotedKey)
                    quoted.KeepLeft(kMaxQuotedKey);
                LogEventStrStrInt(kMsgDuplicate, kEventWarning, path, quoted.CStr(), lineNumber);
            }
            continue;
        }
        std::unique_ptr<CVornConfigObject> object(NewConfigObject(key.CharAt(0)));
        if (!object || object->Parse(text) != 0) {
            logBadLineOf(path, lineNumber);
            return false;
        }
        table.Insert(key, object.get(), nullptr);
        object.release();
    }
}

// Reads file index of paths into table, noting its stamp first. On a
// failure that calls for recovery the file is set aside and its "_old" copy
// put in its place when there is one (*recovered then true). False on any
// failure.
bool readFile(const CVornString& pathText, bool isVendor, CVornObjectTable& table,
              platform::FileStamp* stamp, bool* recovered, long long* serial) {
    CVornString path(pathText, CVornString::kUnlocked);
    if (path.IsEmpty()) {
        LogEvent(kMsgNoPath, kEventError);
        return false;
    }
    CVornString oldPath(path, CVornString::kUnlocked);
    oldPath.Append("_old");
    bool hadOld = FileExists(oldPath.CStr(), false);

    *stamp = platform::GetFileStamp(path.CStr());
    bool ok;
    {
        CVornDiskFile file(path.CStr(), kFileReadOnly | kFileNoPathLock);
        if (!file.Open()) {
            int error = errno;
            LogEventStrInt(kMsgCannotOpen, kEventError, path.CStr(), error);
            ok = false;
        } else {
            ok = readLines(file, path.CStr(), isVendor, table, serial);
            file.Close();
        }
    }
    if (ok || !hadOld)
        return ok;

    // Set the bad file aside under its name + YYYYMMDD + HHMMSS (each "%d",
    // so an early hour has five digits) and put the "_old" copy in its place.
    int date = 0;
    int time = 0;
    NowPacked(&date, &time);
    CVornString aside(path, CVornString::kUnlocked);
    aside.AppendInt(date);
    aside.AppendInt(time);
    if (FileExists(path.CStr(), false))
        RenameFile(path.CStr(), aside.CStr(), false);
    if (RenameFile(oldPath.CStr(), path.CStr(), false))
        *recovered = true;
    return false;
}

// Writes text whole; false when the file took less.
bool writeWhole(CVornFile& file, const CVornString& text) {
    return file.Write(text) == text.Length();
}

// Puts newPath in place of path: the current file (when there is one) is
// first linked to oldPath, replacing an older copy; then newPath is renamed
// over path, so path names a whole file at every instant.
bool replaceFile(CVornString& path, CVornString& newPath, CVornString& oldPath) {
    if (FileExists(path.CStr(), false)) {
        // The files hold password hashes: a rewrite keeps whatever
        // permissions the administrator gave them.
        platform::CopyPermissions(path.CStr(), newPath.CStr());
        if (FileExists(oldPath.CStr(), false))
            RemoveFile(oldPath.CStr(), false);
        if (!platform::LinkPath(path.CStr(), oldPath.CStr()) && !g_LogSilent)
            LogFormat(kLogError, "CVornConfigStore::Save: no previous copy kept as %s",
                      oldPath.CStr());
    }
    if (!platform::RenamePath(newPath.CStr(), path.CStr(), true)) {
        int error = errno;
        LogEventStrStrInt(kMsgFileRenameFailed, kEventError, newPath.CStr(), path.CStr(), error);
        return false;
    }
    // The rename itself must reach the disk before the save counts as done.
    platform::SyncDirectoryOf(path.CStr());
    return true;
}

// The save number of a file's header line, without reading further; -1
// when the file is missing or its header has none.
long long fileSaveNumber(const char* path) {
    CVornDiskFile file(path, kFileReadOnly | kFileNoPathLock);
    if (!FileExists(path, false) || !file.Open())
        return -1;
    char line[128];
    int n = file.ReadLine(line, sizeof line - 1, "\n");
    file.Close();
    if (n < 3)
        return -1;
    line[n] = '\0';
    return line[0] == '#' && line[1] == ' ' && line[2] == '2' ? HeaderSaveNumber(line) : -1;
}

// A save killed between its two renames leaves shared-config one save ahead
// of local-config (or, were the order ever reversed, behind). The complete
// "_new" file of the save is still there: put it in place, so the pair is
// whole again. Without it the pair is left as it is and reported.
void settleTornSave(const CVornString& sharedText, const CVornString& localText) {
    CVornString sharedPath(sharedText, CVornString::kUnlocked);
    CVornString localPath(localText, CVornString::kUnlocked);
    long long shared = fileSaveNumber(sharedPath.CStr());
    long long local = fileSaveNumber(localPath.CStr());
    if (shared < 0 || local < 0 || shared == local)
        return;
    CVornString& behind = shared > local ? localPath : sharedPath;
    long long wanted = shared > local ? shared : local;
    CVornString newPath(behind, CVornString::kUnlocked);
    newPath.Append("_new");
    CVornString oldPath(behind, CVornString::kUnlocked);
    oldPath.Append("_old");
    CVornString target(behind, CVornString::kUnlocked);
    bool settled = fileSaveNumber(newPath.CStr()) == wanted && replaceFile(target, newPath, oldPath);
    LogEventStrInt(kMsgTornSave, settled ? kEventWarning : kEventError, target.CStr(), settled);
}

}  // namespace

CVornConfigObject* NewConfigObject(char type) {
    switch (type) {
        case 'C':
            return new CVornClient();
        case 'D':
            return new CVornDictionary();
        case 'G':
            return new CVornGroup();
        case 'L':
            return new CVornMailingList();
        case 'S':
            return new CVornSystemObject();
        case 'U':
            return new CVornUser();
        default:
            return nullptr;
    }
}

int CompareClientNames(const CVornString* a, const CVornString* b) {
    return CompareAddressStrings(*a, *b);
}

CVornConfigStore::State::State()
    : m_Objects(new CVornObjectTable(4096, 1)),
      m_UserNames(static_cast<int (*)(const CVornString*, const CVornString*)>(&CompareNoCase)),
      m_ClientNames(&CompareClientNames) {}

CVornConfigStore::State& CVornConfigStore::state() {
    // Never destroyed: detached threads may use the store while the process
    // ends.
    static State* s = new State();
    return *s;
}

CVornConfigStore::CVornConfigStore(const char* sharedPath, const char* localPath,
                                   const char* vendorPath) {
    State& s = state();
    CVornWriteGuard guard(s.m_Lock);
    CVornString shared(sharedPath, CVornString::kUnlocked);
    CVornString local(localPath, CVornString::kUnlocked);
    CVornString vendor(vendorPath, CVornString::kUnlocked);
    if (!shared.Equals(s.m_SharedPath, 3) || !local.Equals(s.m_LocalPath, 3) ||
        !vendor.Equals(s.m_VendorPath, 3)) {
        // The table came from other files: saving it here would overwrite
        // these with foreign content.
        s.m_Loaded = false;
        s.m_LoadTried = false;
    }
    s.m_SharedPath.Assign(shared);
    s.m_LocalPath.Assign(local);
    s.m_VendorPath.Assign(vendor);
}

CVornConfigStore::~CVornConfigStore() {
    State& s = state();
    CVornWriteGuard guard(s.m_Lock);
    deleteAllObjects();
    // An empty table saved would wipe the files; nothing is reloaded behind
    // a store that was taken down.
    s.m_Loaded = false;
    s.m_LoadTried = false;
}

void CVornConfigStore::deleteAllObjects() {
    State& s = state();
    s.m_Objects->Clear();
    noteChange(true);
}

void CVornConfigStore::noteChange(bool removal) {
    State& s = state();
    ++s.m_TableGeneration;
    if (removal)
        ++s.m_ChangeGeneration;
}

void CVornConfigStore::logBadLine(const char* path, int lineNumber) {
    logBadLineOf(path, lineNumber);
}

int CVornConfigStore::Load(int force) {
    State& s = state();
    CVornWriteGuard guard(s.m_Lock);
    return loadLocked(force);
}

int CVornConfigStore::loadLocked(int force) {
    State& s = state();
    if (!force && s.m_Loaded && !s.m_LoadFailed && Now() - s.m_LoadTime <= 1)
        return 0;

    ConfigFileLock fileLock;
    bool locked = fileLock.Acquire();
    const CVornString* paths[3] = {&s.m_SharedPath, &s.m_LocalPath, &s.m_VendorPath};

    // A recovery puts a file's "_old" copy in its place, which can happen
    // once per file: at most three retries.
    if (locked)
        settleTornSave(s.m_SharedPath, s.m_LocalPath);
    for (int attempt = 0; locked && attempt <= 3; ++attempt) {
        platform::FileStamp stamps[3];
        long long serials[3] = {-1, -1, -1};
        bool ok = true;
        bool recovered = false;
        std::unique_ptr<CVornObjectTable> table;
        try {
            table.reset(new CVornObjectTable(4096, 1));
            for (int i = 0; i < 3 && ok; ++i)
                ok = readFile(*paths[i], i == 2, *table, &stamps[i], &recovered, &serials[i]);
        } catch (const std::bad_alloc&) {
            LogEventInt(kMsgNoMemory, kEventError, 0);
            ok = false;
            recovered = false;
        }
        if (ok) {
            // The old table (and its objects) goes when table does.
            s.m_Objects.swap(table);
            s.m_LoadTime = RefreshNow();
            s.m_ChangeTime = s.m_LoadTime;
            s.m_LoadFailed = false;
            s.m_Loaded = true;
            s.m_LoadTried = true;
            for (int i = 0; i < 3; ++i) s.m_Stamps[i] = stamps[i];
            s.m_SaveNumber = std::max(serials[0], serials[1]);
            noteChange(true);
            return 0;
        }
        if (!recovered)
            break;
    }

    // The table in use stays; the files as they are now count as seen, so
    // a broken file is not read again until it changes.
    s.m_LoadFailed = true;
    s.m_LoadTried = true;
    for (int i = 0; i < 3; ++i) {
        CVornString path(*paths[i], CVornString::kUnlocked);
        s.m_Stamps[i] = platform::GetFileStamp(path.CStr());
    }
    return 1;
}

int CVornConfigStore::Save() {
    State& s = state();
    CVornWriteGuard guard(s.m_Lock);
    CVornString sharedPath(s.m_SharedPath, CVornString::kUnlocked);
    CVornString localPath(s.m_LocalPath, CVornString::kUnlocked);
    CVornString sharedNew(sharedPath, CVornString::kUnlocked);
    sharedNew.Append("_new");
    CVornString sharedOld(sharedPath, CVornString::kUnlocked);
    sharedOld.Append("_old");
    CVornString localNew(localPath, CVornString::kUnlocked);
    localNew.Append("_new");
    CVornString localOld(localPath, CVornString::kUnlocked);
    localOld.Append("_old");

    ConfigFileLock fileLock;
    if (!fileLock.Acquire())
        return 1;
    // Before a successful load the table is empty or partial: writing it
    // would wipe the files.
    if (s.m_LoadFailed || !s.m_Loaded || sharedPath.IsEmpty() || localPath.IsEmpty()) {
        LogEventStr(kMsgSaveRefused, kEventError, sharedNew.CStr());
        return 1;
    }
    // Another process saved since this one last read or wrote the pair:
    // writing now would throw its changes away. Read them instead and let
    // the caller make its change again.
    if (platform::GetFileStamp(sharedPath.CStr()) != s.m_Stamps[0] ||
        platform::GetFileStamp(localPath.CStr()) != s.m_Stamps[1]) {
        LogEventStr(kMsgSaveConflict, kEventError, sharedPath.CStr());
        loadLocked(1);
        return 1;
    }

    // A "_new" file left by an interrupted save is stale: only a holder of
    // the named lock writes one.
    if (FileExists(sharedNew.CStr(), false))
        RemoveFile(sharedNew.CStr(), false);
    if (FileExists(localNew.CStr(), false))
        RemoveFile(localNew.CStr(), false);

    // The new files hold password hashes: they are created with the live
    // files' permissions (private when new) before the first byte.
    if (!platform::CreateLike(sharedPath.CStr(), sharedNew.CStr()) ||
        !platform::CreateLike(localPath.CStr(), localNew.CStr()))
        return 1;
    const unsigned flags = kFileNoPathLock;
    CVornDiskFile shared(sharedNew.CStr(), flags);
    CVornDiskFile local(localNew.CStr(), flags);
    if (!shared.Open() || !local.Open())
        return 1;

    const long long saveNumber = std::max(s.m_SaveNumber, 0LL) + 1;
    char header[64];
    snprintf(header, sizeof header, "# %c %lld %lld\r\n", '2', static_cast<long long>(Now()),
             saveNumber);
    CVornString headerText(header, CVornString::kUnlocked);
    if (!writeWhole(shared, headerText) || !writeWhole(local, headerText))
        return 1;

    CVornStringList keys;
    s.m_Objects->GetKeys(keys);
    CVornString prefix(CVornString::kUnlocked);
    for (auto* node = keys.m_Head; node; node = node->m_Next) {
        CVornString& key = node->m_Element;
        void* value = nullptr;
        if (!s.m_Objects->Find(key, &value, false) || !value)
            continue;
        auto* object = static_cast<CVornConfigObject*>(value);
        char type = key.CharAt(0);
        prefix.Assign("D");
        prefix.Append(key);
        prefix.Append(',');
        if (type == 'L' || type == 'D') {
            // Pending dictionaries are not yet in force and not kept.
            if (type == 'D' && object->IsPending())
                continue;
            if (!writeWhole(local, prefix) || object->Write(local) != 0)
                return 1;
        } else {
            if (!writeWhole(shared, prefix) || object->Write(shared) != 0 ||
                object->WriteEvents(local, key.CStr()) != 0)
                return 1;
        }
    }

    // Flush syncs each file to the disk before it takes the file's place.
    if (!shared.Flush() || !local.Flush() || !shared.Close() || !local.Close())
        return 1;
    if (!replaceFile(sharedPath, sharedNew, sharedOld) ||
        !replaceFile(localPath, localNew, localOld))
        return 1;

    // The store's own writing is not a change made by another process.
    s.m_Stamps[0] = platform::GetFileStamp(sharedPath.CStr());
    s.m_Stamps[1] = platform::GetFileStamp(localPath.CStr());
    s.m_SaveNumber = saveNumber;
    s.m_LoadTime = RefreshNow();
    return 0;
}

bool CVornConfigStore::filesChanged() {
    State& s = state();
    const CVornString* paths[3] = {&s.m_SharedPath, &s.m_LocalPath, &s.m_VendorPath};
    for (int i = 0; i < 3; ++i) {
        CVornString path(*paths[i], CVornString::kUnlocked);
        if (platform::GetFileStamp(path.CStr()) != s.m_Stamps[i])
            return true;
    }
    return false;
}

int CVornConfigStore::CheckForChanges() {
    State& s = state();
    {
        // One caller per interval looks; the others go on with the table.
        CVornLockGuard guard(s.m_CheckLock);
        time_t now = Now();
        if (now - s.m_LastCheck < 10 && now >= s.m_LastCheck)
            return 0;
        s.m_LastCheck = now;
    }
    {
        CVornReadGuard guard(s.m_Lock);
        if (!s.m_LoadTried || !filesChanged())
            return 0;
    }
    CVornWriteGuard guard(s.m_Lock);
    // Another thread may have reloaded while this one waited.
    if (!s.m_LoadTried || !filesChanged())
        return 0;
    return loadLocked(1);
}

time_t CVornConfigStore::GetLoadTime() {
    CheckForChanges();
    State& s = state();
    CVornReadGuard guard(s.m_Lock);
    return s.m_LoadTime;
}
