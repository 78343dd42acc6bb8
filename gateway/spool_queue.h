// CMessageQueue: an ordered list of spooled message names with two times
// each, kept in memory and mirrored in an index file in the spool directory.
// The service has two: "fastq" (new and generated mail, delivered at once)
// and "slowq" (mail with recipients still pending, retried after 900 s).
//
// Index file (the queue name in the spool directory): one line per entry,
// "%ld %ld %s\r\n" = time queued, last attempt, message name; a removal
// line "- %s\r\n" drops the entries of the name above it; a rewrite starts
// the file with a generation line "# " + 16 hex digits, new at every
// rewrite. The state (ready or taken) is not stored: after a restart every
// entry is ready. Lines that are none of these (an entry line needs two
// numbers and a name of 1 to 4095 bytes without blanks or control bytes)
// are skipped when read, so readers that know no removal or generation
// lines skip those.
//
// The index is never missing, even for an instant: a rewrite writes
// name + "_new", syncs it, links the current index to name + "_old" and
// renames "_new" over the index. The first access of a queue object that
// finds no index restores it from "_new" (else "_old") and reports event 826.
// Appends are written whole or cut off again, so a line is whole or absent.
// Index files are private (0600).
//
// Disk flushes: every acceptance and every finished delivery goes through
// "fastq", so its operations under the locks are short. An added line is
// synced after the queue's locks are released (one sync covers every line
// written before it, so sessions accepting at once share their flushes);
// Add returns after its line is on the disk. A finished or moved message
// is dropped by a removal line, appended and not synced: should the system
// lose it (a power failure), the entry comes back, and its message was
// either moved (it is then in both queues: delivered again, a duplicate) or
// finished (no envelope: dropped when next taken; should the deletion of
// the files be lost too, delivered again). Never a loss. Once removal
// lines would make up most of the file, the index is rewritten. A Remove
// that deletes the files does so before it takes the locks and then joins
// the removals waiting for the locks: whoever gets them first drops every
// waiting name at once. Meanwhile the entry of a finished message outlives
// its files for a moment (Holds and Snapshot still list it); it stays
// taken, so no worker of this process hands it out, and another process
// that tries it finds it missing and drops it.
//
// Sharing between processes: every operation looks at the index first. A
// file with the generation this object last read or wrote, the same inode
// and at least the size it read has only grown by appends: the new lines
// are read alone. Any other file is read whole, and the memory list then
// mirrors it: lines another process added appear, lines it removed
// disappear (except the entries this object has taken). So a rewrite never
// drops another process's line, and an entry moved or finished elsewhere
// is never handed out again. An index without a generation line is
// rewritten with one when first read.
//
// LOCK ORDER (threads and processes):
//   1. a message lock "TKMSG" + name (a worker holds its message while it
//      adds it to another queue);
//   2. the queue's reader-writer lock (write mode), then the named lock
//      "ZELGWQLCK" + queue name;
//   3. the path locks of files.
// While it holds a queue's locks, a queue only tries message locks
// (TakeNext: a message that is busy is left ready and skipped) and never
// waits for one; it never holds two queues' locks at once.
//
// Results: 0 success, 1 failure, unless said otherwise. Bad input (a null or
// over-long message name, one with blanks or control bytes) is refused with
// 1 and changes nothing. The operations that take a message (Remove,
// Release, MoveTo) take ownership of it and delete it.
//
// Threads: all delivery workers share the queue objects; every public
// operation runs under both queue locks, except the sync of an appended
// line and the deletion of a finished message's files (which the calling
// worker holds locked).
#pragma once

#include <time.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/message_catalog.h"
#include "core/rw_lock.h"
#include "core/vorn_mutex.h"

class CQueuedMessage;

// The spool directory when none is given.
constexpr const char* kDefaultSpoolDirectory = "/var/lib/zelorm";
// The folder of the spool directory where unreadable messages are set aside.
constexpr const char* kBadMessageFolder = "badmail";

// One entry of a queue.
struct QueueEntry {
    std::string m_Name;
    int m_State = 1;  // 1 ready, 2 taken by a delivery worker
    time_t m_LastAttempt = 0;
    time_t m_Queued = 0;
};

class CMessageQueue {
public:
    static constexpr int kMaxNameLength = 4095;
    // An entry is due when now - last attempt is more than this.
    static constexpr time_t kRetryInterval = 900;
    // Removal lines allowed beyond the entries before the index is
    // rewritten.
    static constexpr size_t kRemovalLineSlack = 1024;

    // name null: "defaultq"; directory null: kDefaultSpoolDirectory. Reads
    // nothing yet.
    CMessageQueue(const char* name, const char* directory);
    // Releases the locks when they are still held.
    virtual ~CMessageQueue();
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;

    const std::string& GetName() const { return m_Name; }
    const std::string& GetIndexPath() const { return m_IndexPath; }

    // Appends a ready entry (time queued <= 0 means now in memory; the line
    // gets the times as given) and a synced line to the index. 1 when the
    // line could not be written (the entry stays in memory).
    int Add(const char* name, time_t queued, time_t lastAttempt);

    // The first due entry whose message lock is free and whose envelope
    // loads: the entry becomes taken and the message is returned loaded and
    // locked by the calling thread. An entry whose envelope is gone is
    // dropped; one whose envelope cannot be read is dropped and its files
    // are set aside in kBadMessageFolder (event 824). Null when none.
    CQueuedMessage* TakeNext(const char* spoolDirectory);

    // Drops every entry of the message's name and rewrites the index. With
    // deleteFiles the message's files are removed first (a crash between
    // leaves an entry without envelope, which is dropped later, never a
    // delivered message queued again); otherwise the message is unlocked.
    // 1 when the index could not be rewritten.
    int Remove(CQueuedMessage* message, int deleteFiles);

    // Unlocks the message; every entry of its name becomes ready with last
    // attempt = now; rewrites the index. 1 when the rewrite failed.
    int Release(CQueuedMessage* message);

    // Moves a taken message to target: Add (name, now, now) there and
    // Remove here without deleting the files. When the Add fails, the
    // message is released here instead (ready again after the retry
    // interval, unlocked) and event 827 is reported. 0 moved, 1 not moved.
    int MoveTo(CQueuedMessage* message, CMessageQueue& target);

    // Whether an entry of name is in the queue (after re-reading a changed
    // index).
    bool Holds(const char* name);

    // A copy of the entries, after re-reading a changed index (for tests
    // and diagnostics).
    std::vector<QueueEntry> Snapshot();

    // Both locks; 1 when the named lock cannot be taken (nothing held then).
    int lock();
    int unlock();
    // Mirrors the whole index text in memory (see the top). 0; 1 out of
    // memory.
    int reload(const std::string& text);
    // Applies lines appended to the index since it was last read. 0; 1 out
    // of memory.
    int applyAppended(const std::string& text);
    // Writes the whole index anew (see the top). 0 ok, 1 failure (the old
    // index stays).
    int rewrite();
    int addEntry(const char* name, time_t queued, time_t lastAttempt);
    // The first entry of name (exact comparison) or null. REQUIRES: locks held.
    QueueEntry* findEntry(const char* name);
    void unlinkEntry(const char* name);
    void setPaths(const char* directory, const char* name);

private:
    // The freshness check before every operation: reload a changed index,
    // restore or recreate a missing one. 0 ok, 1 failure. REQUIRES: locks held.
    int checkIndex();
    // Reads the index at fd: only the appended lines when it has grown by
    // appends since it was last read, else whole. 0 ok, 1 failure.
    int readChanges(int fd);
    // Reads the entries of path; false when it cannot be read.
    bool readIndex(const std::string& path, std::vector<QueueEntry>* out);
    // The entries of index text in order, removal lines applied; the
    // number of lines.
    static size_t parseIndexText(const std::string& text, std::vector<QueueEntry>* out);
    // Appends text (whole lines, `lines` of them) to the index, unsynced;
    // with fdOut the open descriptor is handed over for a sync. 0 ok, 1
    // failure (nothing appended).
    int appendLines(const std::string& text, size_t lines, int* fdOut);
    // Drops names from the index file: removal lines, or a rewrite once
    // they would make up most of the file. 0 ok, 1 failure.
    int dropLines(const std::vector<std::string>& names);
    // Drops the names of the waiting removals (this caller's among them)
    // and rewrites the index once; each learns the result. REQUIRES: locks
    // held.
    void commitRemovals();

    // A removal waiting for the queue's locks; result -1 until committed.
    struct PendingRemoval {
        std::string m_Name;
        int m_Result = -1;
    };

    std::string m_Name;
    std::string m_Directory;
    std::string m_IndexPath;
    bool m_Locked = false;
    CVornMutex m_NamedLock;
    bool m_NamedLockOpen = false;
    std::string m_LockName;
    std::vector<QueueEntry> m_Entries;
    bool m_IndexSeen = false;  // this object has read or written the index
    // The index as this object last read or wrote it: its generation (""
    // when unknown: read it whole), file, and the bytes and lines read.
    std::string m_Generation;
    unsigned long long m_ReadDevice = 0;
    unsigned long long m_ReadInode = 0;
    long long m_ReadSize = 0;
    size_t m_FileLines = 0;
    CVornRWLock m_QueueLock;
    CVornMessageCatalog m_Catalog;
    // The removals waiting for the locks. Taken alone, briefly, also with
    // the queue's locks held; never held while waiting for them.
    std::mutex m_PendingLock;
    std::vector<std::shared_ptr<PendingRemoval>> m_Pending;
};

// Start-up recovery of a spool directory, run once both queues exist.
// For every message whose lock is free: a complete envelope that neither
// queue names is queued again on slow (name, now, 0) with event 825; an
// empty reservation (empty envelope) older than maxReservationAge seconds
// is removed with its body; an envelope that cannot be read is set aside
// (event 824); a body without envelope older than maxReservationAge and a
// temporary envelope ("_new") are removed. Returns the number of messages
// queued again, or -1 when the directory cannot be listed.
int RecoverSpool(const char* directory, CMessageQueue& fast, CMessageQueue& slow,
                 time_t maxReservationAge);

// Creates the spool directory private (0700) when it is missing. False
// (with an error line in the debug log) when it cannot be made, or when it
// exists and anyone may write into it.
bool PrepareSpoolDirectory(const char* directory);
