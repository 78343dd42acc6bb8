// CMessageQueue: the spool queues "fastq" and "slowq", their index files,
// and the start-up recovery of a spool directory.
//
//   CMessageQueue::Add / TakeNext / Remove / Release / MoveTo / Holds / Snapshot
//   CMessageQueue::lock / unlock / reload / rewrite   (both locks; index file)
//   RecoverSpool            queue orphaned envelopes again, clear old reservations
//   PrepareSpoolDirectory   a private spool directory
//
// Bad input: message names must be 1 to 4095 bytes without blanks or
// control bytes (Add refuses others with 1); index lines are parsed with
// bounded fields and skipped when malformed; an index over 256 MiB is not
// read (the memory list is kept).
#include "gateway/spool_queue.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "core/clock.h"
#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/vorn_exception.h"
#include "gateway/queued_message.h"
#include "gateway/spool_files.h"
#include "platform/file_ops.h"
#include "platform/file_replace.h"

namespace {

constexpr long long kMaxIndexBytes = 256LL * 1024 * 1024;
constexpr int kOutOfMemory = 24;          // error: 0
constexpr int kMessageSetAside = 824;     // error: message name, folder
constexpr int kMessageQueuedAgain = 825;  // information: message name, queue name
constexpr int kIndexRestored = 826;       // warning: index path, source path
constexpr int kMoveFailed = 827;          // warning: message name, from queue, to queue

// A message name as the index holds it: 1 to kMaxNameLength bytes, none of
// them blank or a control byte.
bool IsGoodName(const char* name) {
    if (!name || !*name)
        return false;
    size_t n = strnlen(name, CMessageQueue::kMaxNameLength + 1);
    if (n > static_cast<size_t>(CMessageQueue::kMaxNameLength))
        return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c <= ' ' || c == 0x7F)
            return false;
    }
    return true;
}

// One index line: two decimal numbers and a name, separated by blanks.
bool ParseIndexLine(const std::string& line, QueueEntry* out) {
    const char* p = line.c_str();
    char* end = nullptr;
    errno = 0;
    long queued = strtol(p, &end, 10);
    if (end == p || errno != 0 || (*end != ' ' && *end != '\t'))
        return false;
    p = end;
    long last = strtol(p, &end, 10);
    if (end == p || errno != 0 || (*end != ' ' && *end != '\t'))
        return false;
    p = end;
    while (*p == ' ' || *p == '\t') ++p;
    const char* nameEnd = p;
    while (*nameEnd && *nameEnd != ' ' && *nameEnd != '\t') ++nameEnd;
    std::string name(p, static_cast<size_t>(nameEnd - p));
    if (!IsGoodName(name.c_str()))
        return false;
    out->m_Name = std::move(name);
    out->m_Queued = queued;
    out->m_LastAttempt = last;
    out->m_State = 1;
    return true;
}

std::string IndexLine(time_t queued, time_t last, const std::string& name) {
    char numbers[64];
    snprintf(numbers, sizeof numbers, "%ld %ld ", static_cast<long>(queued),
             static_cast<long>(last));
    return numbers + name + "\r\n";
}

// A removal line: "- " and the name. Readers of the index before removal
// lines existed skip it as malformed (the entry then reappears there, finds
// no envelope and is dropped).
bool ParseRemovalLine(const std::string& line, std::string* name) {
    if (line.size() < 3 || line[0] != '-' || line[1] != ' ')
        return false;
    size_t start = line.find_first_not_of(" \t", 2);
    if (start == std::string::npos)
        return false;
    size_t end = line.find_first_of(" \t", start);
    std::string candidate = line.substr(start, end == std::string::npos ? end : end - start);
    if (!IsGoodName(candidate.c_str()))
        return false;
    *name = std::move(candidate);
    return true;
}

// The first line of a rewritten index: "# " and 16 hex digits, new at every
// rewrite, so that a reader tells a rewrite from appends even when the new
// file has the old one's size and inode number. Older readers skip it.
constexpr size_t kGenerationLineLength = 20;

std::string NewGeneration() {
    static std::atomic<unsigned long long> counter{0};
    unsigned long long value = 0;
    if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
        value = (static_cast<unsigned long long>(time(nullptr)) << 24) ^
                (static_cast<unsigned long long>(getpid()) << 8) ^ ++counter;
    char text[24];
    snprintf(text, sizeof text, "%016llx", value);
    return text;
}

// The generation named by the first bytes of an index, "" when none.
std::string GenerationOf(const char* head, size_t length) {
    if (length < kGenerationLineLength || head[0] != '#' || head[1] != ' ' || head[18] != '\r' ||
        head[19] != '\n')
        return "";
    for (size_t i = 2; i < 18; ++i) {
        if (!isxdigit(static_cast<unsigned char>(head[i])))
            return "";
    }
    return std::string(head + 2, 16);
}

// Reads [from, to) of fd. False on a read error.
bool ReadRange(int fd, long long from, long long to, std::string* out) {
    out->resize(static_cast<size_t>(to - from));
    size_t done = 0;
    while (done < out->size()) {
        ssize_t n = pread(fd, &(*out)[done], out->size() - done, from + static_cast<long long>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    out->resize(done);
    return done == static_cast<size_t>(to - from);
}

// The catalogue text of number filled with two texts.
void reportSpoolEvent(int type, int number, const std::string& a, const std::string& b) {
    LogEventStrString(number, type, a.c_str(), CVornString(b.c_str(), CVornString::kUnlocked));
}

// Moves the message's envelope and body into the bad-message folder, so
// that nothing reads them again and nothing is lost. REQUIRES: the
// message's lock is held.
void SetAside(CQueuedMessage& message, const std::string& directory) {
    std::string folder = directory + "/" + kBadMessageFolder;
    platform::MakeDirectory(folder.c_str(), 0700);
    std::string name = message.GetName() ? message.GetName() : "";
    for (const char* extension : {".env", ".mes"}) {
        std::string from = directory + "/" + name + extension;
        std::string to = folder + "/" + name + extension;
        if (platform::PathExists(from.c_str()) &&
            !platform::RenamePath(from.c_str(), to.c_str(), false))
            LogFormat(3, "spool: cannot set aside %s", from.c_str());
    }
    SyncDirectory(directory);
    SyncDirectory(folder);
    reportSpoolEvent(1, kMessageSetAside, name, folder);
}

}  // namespace

CMessageQueue::CMessageQueue(const char* name, const char* directory) {
    setPaths(directory ? directory : kDefaultSpoolDirectory, name ? name : "defaultq");
}

CMessageQueue::~CMessageQueue() {
    if (m_Locked)
        unlock();
}

void CMessageQueue::setPaths(const char* directory, const char* name) {
    m_Directory.assign(directory ? directory : kDefaultSpoolDirectory);
    m_Name.assign(name ? name : "defaultq");
    m_IndexPath = m_Directory + "/" + m_Name;
    m_LockName = "ZELGWQLCK" + m_Name;
    m_NamedLockOpen = false;
}

// ---- Locks

int CMessageQueue::lock() {
    m_QueueLock.WriteLock();
    // An abandoned lock (its last holder died) throws once with nothing
    // held; the second attempt takes it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            // Opened once and kept: the lock file is not made anew for
            // every operation.
            if (!m_NamedLockOpen) {
                m_NamedLock.SetName(m_LockName.c_str());
                m_NamedLockOpen = true;
            }
            m_NamedLock.Lock();
            m_Locked = true;
            return 0;
        } catch (const CVornException& e) {
            if (e.m_Code != 44)
                break;
        }
    }
    m_QueueLock.WriteUnlock();
    return 1;
}

int CMessageQueue::unlock() {
    if (m_Locked) {
        m_Locked = false;
        try {
            m_NamedLock.Unlock();
        } catch (const CVornException&) {
        }
        m_QueueLock.WriteUnlock();
    }
    return 0;
}

// Holds both locks for a scope.
class QueueLockScope {
public:
    explicit QueueLockScope(CMessageQueue& queue) : m_Queue(queue), m_Held(queue.lock() == 0) {}
    ~QueueLockScope() {
        if (m_Held)
            m_Queue.unlock();
    }
    QueueLockScope(const QueueLockScope&) = delete;
    QueueLockScope& operator=(const QueueLockScope&) = delete;
    bool Held() const { return m_Held; }

private:
    CMessageQueue& m_Queue;
    bool m_Held;
};

// ---- Index file

size_t CMessageQueue::parseIndexText(const std::string& text, std::vector<QueueEntry>* out) {
    size_t lines = 0;
    for (const std::string& line : SplitSpoolLines(text)) {
        ++lines;
        QueueEntry entry;
        std::string removed;
        if (ParseIndexLine(line, &entry)) {
            out->push_back(std::move(entry));
        } else if (ParseRemovalLine(line, &removed)) {
            out->erase(std::remove_if(out->begin(), out->end(),
                                      [&](const QueueEntry& e) { return e.m_Name == removed; }),
                       out->end());
        }
    }
    return lines;
}

bool CMessageQueue::readIndex(const std::string& path, std::vector<QueueEntry>* out) {
    std::string text;
    if (!ReadSpoolFile(path, kMaxIndexBytes, &text))
        return false;
    out->clear();
    parseIndexText(text, out);
    return true;
}

int CMessageQueue::reload(const std::string& text) {
    try {
        std::vector<QueueEntry> file;
        m_FileLines = parseIndexText(text, &file);
        // The file is the truth; only the entries this object has taken
        // keep their state (and stay, should the file have lost them).
        std::vector<QueueEntry> taken;
        for (const QueueEntry& e : m_Entries) {
            if (e.m_State == 2)
                taken.push_back(e);
        }
        const time_t now = Now();
        for (QueueEntry& e : file) {
            auto it = std::find_if(taken.begin(), taken.end(),
                                   [&](const QueueEntry& t) { return t.m_Name == e.m_Name; });
            if (it != taken.end()) {
                e.m_State = 2;
            }
            // A line written with time queued 0 means "queued when first
            // read": the time this object has held since then, else now.
            if (e.m_Queued <= 0) {
                const QueueEntry* held = findEntry(e.m_Name.c_str());
                e.m_Queued = held ? held->m_Queued : now;
            }
        }
        for (const QueueEntry& t : taken) {
            bool present = std::any_of(file.begin(), file.end(), [&](const QueueEntry& e) {
                return e.m_Name == t.m_Name;
            });
            if (!present)
                file.push_back(t);
        }
        m_Entries.swap(file);
        return 0;
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
}

int CMessageQueue::applyAppended(const std::string& text) {
    try {
        std::vector<QueueEntry> added;
        const time_t now = Now();
        for (const std::string& line : SplitSpoolLines(text)) {
            ++m_FileLines;
            QueueEntry entry;
            std::string removed;
            if (ParseIndexLine(line, &entry)) {
                QueueEntry* held = findEntry(entry.m_Name.c_str());
                if (held && held->m_State == 2)
                    continue;  // taken here: the entry is in the list already
                if (entry.m_Queued <= 0)
                    entry.m_Queued = held ? held->m_Queued : now;
                m_Entries.push_back(std::move(entry));
            } else if (ParseRemovalLine(line, &removed)) {
                // Entries this object has taken stay until it lets them go.
                m_Entries.erase(std::remove_if(m_Entries.begin(), m_Entries.end(),
                                               [&](const QueueEntry& e) {
                                                   return e.m_State != 2 && e.m_Name == removed;
                                               }),
                                m_Entries.end());
            }
        }
        return 0;
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
}

int CMessageQueue::rewrite() {
    std::string generation = NewGeneration();
    std::string text = "# " + generation + "\r\n";
    try {
        for (const QueueEntry& e : m_Entries) text += IndexLine(e.m_Queued, e.m_LastAttempt, e.m_Name);
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
    std::string fresh = m_IndexPath + "_new";
    std::string old = m_IndexPath + "_old";
    int fd = platform::OpenFile(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return 1;
    struct stat written;
    bool ok = platform::WriteAll(fd, text.data(), text.size(), nullptr) &&
              platform::SyncFile(fd) && fstat(fd, &written) == 0;
    ok = platform::CloseFile(fd) && ok;
    if (!ok) {
        platform::RemovePath(fresh.c_str());
        return 1;
    }
    // The index keeps its name throughout: "_old" is a second name of the
    // current file, and the rename replaces the index in one step.
    platform::RemovePath(old.c_str());
    if (platform::PathExists(m_IndexPath.c_str()))
        platform::LinkPath(m_IndexPath.c_str(), old.c_str());
    if (!platform::RenamePath(fresh.c_str(), m_IndexPath.c_str(), true)) {
        m_Generation.clear();  // whatever the index is now, read it whole
        return 1;
    }
    SyncDirectory(m_Directory);
    m_Generation = generation;
    m_ReadDevice = static_cast<unsigned long long>(written.st_dev);
    m_ReadInode = static_cast<unsigned long long>(written.st_ino);
    m_ReadSize = static_cast<long long>(text.size());
    m_FileLines = m_Entries.size() + 1;
    m_IndexSeen = true;
    return 0;
}

int CMessageQueue::appendLines(const std::string& text, size_t lines, int* fdOut) {
    int fd = platform::OpenFile(m_IndexPath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0)
        return 1;
    struct stat before;
    bool ok = fstat(fd, &before) == 0;
    if (ok && !platform::WriteAll(fd, text.data(), text.size(), nullptr)) {
        // Half a line would join the next append into one bad line.
        platform::TruncateFile(fd, before.st_size);
        ok = false;
    }
    if (!ok) {
        platform::CloseFile(fd);
        return 1;
    }
    // These lines are in memory already: the next check must not read
    // them as another writer's. When the file held more than this object
    // had read (not expected under the locks), it is read whole next time.
    if (static_cast<unsigned long long>(before.st_ino) == m_ReadInode &&
        static_cast<unsigned long long>(before.st_dev) == m_ReadDevice &&
        static_cast<long long>(before.st_size) == m_ReadSize)
        m_ReadSize += static_cast<long long>(text.size());
    else
        m_Generation.clear();
    m_FileLines += lines;
    if (fdOut)
        *fdOut = fd;
    else
        platform::CloseFile(fd);
    return 0;
}

int CMessageQueue::readChanges(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return 1;
    char head[kGenerationLineLength];
    ssize_t got = pread(fd, head, sizeof head, 0);
    std::string generation = got > 0 ? GenerationOf(head, static_cast<size_t>(got)) : "";
    const long long size = static_cast<long long>(info.st_size);
    if (!generation.empty() && generation == m_Generation &&
        static_cast<unsigned long long>(info.st_ino) == m_ReadInode &&
        static_cast<unsigned long long>(info.st_dev) == m_ReadDevice && size >= m_ReadSize) {
        // The file this object last read, grown by appends only: read
        // what was added, whole lines.
        if (size == m_ReadSize)
            return 0;
        if (size - m_ReadSize > kMaxIndexBytes)
            return 0;  // not read; the memory list is kept
        std::string tail;
        if (!ReadRange(fd, m_ReadSize, size, &tail))
            return 1;
        size_t end = tail.rfind('\n');
        if (end == std::string::npos)
            return 0;
        tail.resize(end + 1);
        if (applyAppended(tail) != 0)
            return 1;
        m_ReadSize += static_cast<long long>(tail.size());
        return 0;
    }
    // Rewritten (or never read): read it whole.
    if (size > kMaxIndexBytes)
        return 0;  // not read; the memory list is kept
    std::string text;
    if (!ReadRange(fd, 0, size, &text))
        return 1;
    size_t end = text.rfind('\n');
    text.resize(end == std::string::npos ? 0 : end + 1);
    if (reload(text) != 0)
        return 1;
    m_Generation = generation;
    m_ReadDevice = static_cast<unsigned long long>(info.st_dev);
    m_ReadInode = static_cast<unsigned long long>(info.st_ino);
    m_ReadSize = static_cast<long long>(text.size());
    m_IndexSeen = true;
    // An index without a generation (written by an older version, or by
    // hand) gets one, so that later checks read only what is appended.
    return generation.empty() ? rewrite() : 0;
}

int CMessageQueue::checkIndex() {
    int fd = platform::OpenFile(m_IndexPath.c_str(), O_RDONLY, 0);
    if (fd >= 0) {
        // Every operation looks at the index, because another process may
        // have changed it; a rewrite is told from appends by the generation
        // in its first line (file times move in clock ticks, sizes can
        // match and the rename's new file may get the inode number of a
        // removed "_old"), so an unchanged index costs a stat and a short
        // read, and appends are read alone.
        int result = readChanges(fd);
        platform::CloseFile(fd);
        return result;
    }
    if (!m_IndexSeen) {
        // No index at the first access: a crash or a hand removed it. The
        // last complete versions are "_new" (written and synced before the
        // rename) and "_old"; without them the queue starts empty.
        for (const char* suffix : {"_new", "_old"}) {
            std::string source = m_IndexPath + suffix;
            std::vector<QueueEntry> entries;
            if (platform::PathExists(source.c_str()) && readIndex(source, &entries)) {
                for (const QueueEntry& e : entries) {
                    if (!findEntry(e.m_Name.c_str()))
                        m_Entries.push_back(e);
                }
                reportSpoolEvent(2, kIndexRestored, m_IndexPath, source);
                break;
            }
        }
    }
    // While running, memory is the truth: write it out again.
    return rewrite();
}

int CMessageQueue::addEntry(const char* name, time_t queued, time_t lastAttempt) {
    try {
        QueueEntry entry;
        entry.m_Name.assign(name);
        entry.m_State = 1;
        entry.m_LastAttempt = lastAttempt;
        entry.m_Queued = queued <= 0 ? Now() : queued;
        m_Entries.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        LogEventInt(kOutOfMemory, 1, 0);
        return 1;
    }
    return 0;
}

QueueEntry* CMessageQueue::findEntry(const char* name) {
    for (QueueEntry& e : m_Entries) {
        if (e.m_Name == name)
            return &e;
    }
    return nullptr;
}

void CMessageQueue::unlinkEntry(const char* name) {
    m_Entries.erase(std::remove_if(m_Entries.begin(), m_Entries.end(),
                                   [&](const QueueEntry& e) { return e.m_Name == name; }),
                    m_Entries.end());
}

// ---- Operations

int CMessageQueue::Add(const char* name, time_t queued, time_t lastAttempt) {
    if (!IsGoodName(name))
        return 1;
    int fd = -1;
    {
        QueueLockScope scope(*this);
        if (!scope.Held() || checkIndex() != 0 || addEntry(name, queued, lastAttempt) != 0)
            return 1;
        if (appendLines(IndexLine(queued, lastAttempt, name), 1, &fd) != 0)
            return 1;
    }
    // Synced without the locks: the sync covers this line whatever was
    // appended since, so acceptances running at once share their flushes.
    // Should a rewrite replace the file meanwhile, it has read this line
    // and synced its own copy (directory included) before it let go of the
    // locks. A failed sync leaves the line: the message may still be
    // delivered although the caller hears of a failure (a duplicate at
    // worst, never a loss).
    bool synced = platform::SyncFile(fd);
    return platform::CloseFile(fd) && synced ? 0 : 1;
}

CQueuedMessage* CMessageQueue::TakeNext(const char* spoolDirectory) {
    time_t now = Now();
    QueueLockScope scope(*this);
    if (!scope.Held() || checkIndex() != 0)
        return nullptr;
    const char* directory = spoolDirectory ? spoolDirectory : m_Directory.c_str();
    for (size_t i = 0; i < m_Entries.size();) {
        QueueEntry& entry = m_Entries[i];
        if (entry.m_State != 1 || now - entry.m_LastAttempt <= kRetryInterval) {
            ++i;
            continue;
        }
        std::unique_ptr<CQueuedMessage> message;
        try {
            message.reset(new CQueuedMessage());
        } catch (const std::bad_alloc&) {
            LogEventInt(kOutOfMemory, 1, 0);
            return nullptr;
        }
        std::string name = entry.m_Name;
        switch (message->TryOpen(name.c_str(), directory)) {
            case CQueuedMessage::kOpened:
                entry.m_State = 2;
                return message.release();
            case CQueuedMessage::kBusy:
                // Someone (another process, or a worker that lost track) holds
                // it: leave it ready for a later pass.
                ++i;
                break;
            case CQueuedMessage::kMissing:
                // Finished or moved elsewhere.
                unlinkEntry(name.c_str());
                rewrite();
                break;
            default:
                SetAside(*message, directory);
                message->Unlock();
                unlinkEntry(name.c_str());
                rewrite();
                break;
        }
    }
    return nullptr;
}

int CMessageQueue::Remove(CQueuedMessage* message, int deleteFiles) {
    std::unique_ptr<CQueuedMessage> owned(message);
    if (!message)
        return 1;
    std::string name = message->GetName() ? message->GetName() : "";
    if (!deleteFiles) {
        // The message stays (moved to another queue): it is unlocked only
        // under the queue's locks, so no other process takes it from here
        // before its line is gone.
        QueueLockScope scope(*this);
        if (!scope.Held()) {
            message->Unlock();
            return 1;
        }
        checkIndex();
        message->Unlock();
        unlinkEntry(name.c_str());
        return dropLines({name}) == 0 ? 0 : 1;
    }

    // The files go first, without the queue's locks: the caller holds the
    // message, so no one else touches them, and a crash before the index
    // is rewritten leaves an entry without envelope, which is dropped later.
    // In the queue's own directory the rewrite below syncs the directory,
    // removals included, so the deletion is not synced on its own (should
    // the system keep the new index but not the removals, the message is
    // queued again at start-up: a duplicate, never a loss).
    message->Delete(message->GetDirectory() != m_Directory);
    auto pending = std::make_shared<PendingRemoval>();
    pending->m_Name = name;
    {
        std::lock_guard<std::mutex> guard(m_PendingLock);
        m_Pending.push_back(pending);
    }
    QueueLockScope scope(*this);
    if (!scope.Held()) {
        // Left waiting: the next removal that gets the locks drops it.
        return 1;
    }
    {
        std::lock_guard<std::mutex> guard(m_PendingLock);
        if (pending->m_Result >= 0)
            return pending->m_Result;  // committed by the holder before
    }
    commitRemovals();
    std::lock_guard<std::mutex> guard(m_PendingLock);
    return pending->m_Result == 0 ? 0 : 1;
}

int CMessageQueue::dropLines(const std::vector<std::string>& names) {
    // Once the removal lines would make up most of the index, it is
    // rewritten with the live entries alone.
    if (m_FileLines + names.size() > 2 * m_Entries.size() + kRemovalLineSlack)
        return rewrite();
    std::string text;
    for (const std::string& name : names) text += "- " + name + "\r\n";
    return appendLines(text, names.size(), nullptr);
}

void CMessageQueue::commitRemovals() {
    std::vector<std::shared_ptr<PendingRemoval>> batch;
    {
        std::lock_guard<std::mutex> guard(m_PendingLock);
        batch.swap(m_Pending);
    }
    checkIndex();
    std::vector<std::string> names;
    for (const auto& p : batch) {
        unlinkEntry(p->m_Name.c_str());
        names.push_back(p->m_Name);
    }
    int result = dropLines(names) == 0 ? 0 : 1;
    std::lock_guard<std::mutex> guard(m_PendingLock);
    for (const auto& p : batch) p->m_Result = result;
}

int CMessageQueue::Release(CQueuedMessage* message) {
    std::unique_ptr<CQueuedMessage> owned(message);
    if (!message)
        return 1;
    std::string name = message->GetName() ? message->GetName() : "";
    time_t now = Now();
    QueueLockScope scope(*this);
    if (!scope.Held()) {
        message->Unlock();
        return 1;
    }
    checkIndex();
    message->Unlock();
    for (QueueEntry& e : m_Entries) {
        if (e.m_Name == name) {
            e.m_State = 1;
            e.m_LastAttempt = now;
        }
    }
    return rewrite() == 0 ? 0 : 1;
}

int CMessageQueue::MoveTo(CQueuedMessage* message, CMessageQueue& target) {
    if (!message)
        return 1;
    std::string name = message->GetName() ? message->GetName() : "";
    time_t now = Now();
    if (target.Add(name.c_str(), now, now) == 0)
        return Remove(message, 0) == 0 ? 0 : 1;
    // Kept taken and locked, the message would sit in this queue untouched
    // until a restart; released, it is tried again after the retry interval.
    reportSpoolEvent(2, kMoveFailed, name, m_Name + " -> " + target.GetName());
    Release(message);
    return 1;
}

bool CMessageQueue::Holds(const char* name) {
    QueueLockScope scope(*this);
    if (!scope.Held())
        return false;
    checkIndex();
    return name && findEntry(name) != nullptr;
}

std::vector<QueueEntry> CMessageQueue::Snapshot() {
    QueueLockScope scope(*this);
    if (scope.Held())
        checkIndex();
    return m_Entries;
}

// ---- Start-up

namespace {

bool EndsWith(const std::string& text, const char* suffix) {
    size_t n = strlen(suffix);
    return text.size() > n && text.compare(text.size() - n, n, suffix) == 0;
}

bool OlderThan(const std::string& path, time_t now, time_t age) {
    platform::FileInfo info;
    return platform::StatPath(path.c_str(), &info) && now - info.modTime > age;
}

}  // namespace

int RecoverSpool(const char* directory, CMessageQueue& fast, CMessageQueue& slow,
                 time_t maxReservationAge) {
    std::string dir = directory ? directory : kDefaultSpoolDirectory;
    std::vector<std::string> names;
    if (!platform::ListDirectory(dir.c_str(), &names))
        return -1;
    std::sort(names.begin(), names.end());
    time_t now = Now();
    int requeued = 0;
    for (const std::string& file : names) {
        std::string path = dir + "/" + file;
        if (EndsWith(file, ".env_new")) {
            std::string name = file.substr(0, file.size() - 8);
            CQueuedMessage message;
            // A temporary envelope lives only while its writer holds the lock.
            if (IsGoodName(name.c_str()) &&
                message.TryOpen(name.c_str(), dir.c_str()) != CQueuedMessage::kBusy) {
                if (!message.IsLocked())
                    message.TryLock();
                if (message.IsLocked())
                    platform::RemovePath(path.c_str());
            }
            continue;
        }
        if (EndsWith(file, ".mes")) {
            std::string name = file.substr(0, file.size() - 4);
            std::string envelope = dir + "/" + name + ".env";
            CQueuedMessage message;
            if (IsGoodName(name.c_str()) && !platform::PathExists(envelope.c_str()) &&
                OlderThan(path, now, maxReservationAge) &&
                message.TryOpen(name.c_str(), dir.c_str()) == CQueuedMessage::kMissing &&
                message.TryLock() == 0 && !platform::PathExists(envelope.c_str()))
                platform::RemovePath(path.c_str());
            continue;
        }
        if (!EndsWith(file, ".env"))
            continue;
        std::string name = file.substr(0, file.size() - 4);
        if (!IsGoodName(name.c_str()))
            continue;
        CQueuedMessage message;
        int opened = message.TryOpen(name.c_str(), dir.c_str());
        if (opened == CQueuedMessage::kBusy || opened == CQueuedMessage::kMissing)
            continue;
        if (opened == CQueuedMessage::kDamaged) {
            platform::FileInfo info;
            bool empty = platform::StatPath(path.c_str(), &info) && info.size == 0;
            if (!empty)
                SetAside(message, dir);
            else if (now - info.modTime > maxReservationAge)
                message.Delete();
            continue;
        }
        // Checked while the message lock is held, so a session that queues
        // it meanwhile is seen (lock order: message, then queue).
        if (!message.IsComplete() || fast.Holds(name.c_str()) || slow.Holds(name.c_str()))
            continue;
        if (slow.Add(name.c_str(), now, 0) == 0) {
            ++requeued;
            reportSpoolEvent(4, kMessageQueuedAgain, name, slow.GetName());
        }
    }
    return requeued;
}

bool PrepareSpoolDirectory(const char* directory) {
    std::string dir = directory ? directory : kDefaultSpoolDirectory;
    int mode = DirectoryMode(dir);
    if (mode == -1) {
        if (errno != ENOENT || !platform::MakeDirectory(dir.c_str(), 0700)) {
            LogFormat(3, "spool: cannot create the spool directory %s", dir.c_str());
            return false;
        }
        return true;
    }
    if (mode == -2 || (mode & 0002)) {
        LogFormat(3, "spool: %s is not a private directory", dir.c_str());
        return false;
    }
    return true;
}
