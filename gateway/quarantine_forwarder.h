// CQuarantineForwarder: the queue of quarantine packages waiting to be sent
// to the site's quarantine server, kept in memory and in an index file, and
// the one thread (QuarantineForwardThread) that sends the package at the
// head of the queue through the quarantine-server library, retrying every
// 600 s until the server takes it. Each send attempt writes an activity
// record (event 303).
//
//   CQuarantineForwarder       made with the index name and the base (mail)
//                              directory; its folder "zelqfwd" is made there
//   Start                      once: read the index back, start the thread
//   Add                        queue a package of the folder (false while stopping);
//                              before Start, the index is read back first
//   stop                       end the thread and wait for it (the destructor calls it)
//   Directory                  the folder where packages are written
//   QuarantineForwardThread    the thread's function (argument: the forwarder)
//   QuarantineAbortCheck       the abort callback handed to the sender
//   g_ForwarderStopping        set once when a forwarder stops, never cleared
//
// Index file (the index name in the folder): one line per item in queue
// order, "time queued,last attempt,last result,package path,message name,
// object name" and CR LF. Untrusted texts cannot forge a line: CR, LF and
// commas are removed from the message and object names when an item is
// made, and a line is read with its three numbers split from the front and
// the two names from the back, so a comma in the package path (a mail
// directory named with one) stays in the path. The index is rewritten
// through a temporary file and a rename after every change, so a crash
// never leaves half an index.
//
// Settings read at each attempt (system-wide): the server address
// "ZELORMRazoVidezQuarantineServerAddress" and port
// "ZELORMRazoVidezQuarantineServerPort"; while either is missing or empty
// nothing is sent, and the head item's last attempt still advances.
//
// Bad input: a package path that is not a file directly in the folder (or
// longer than 1023 bytes) is refused by Add and dropped with a warning when
// read from the index, so the forwarder never sends or deletes a file
// elsewhere; an index line that is damaged is dropped with a warning; an
// index that cannot be read (or is over 64 MiB) is renamed to
// "<index>.unread" with a warning, never overwritten; a package that no
// longer exists is dropped from the queue with a warning.
// Message names are cut to 63 bytes and object names to 259.
//
// Threads: Add may be called from any thread (the delivery workers); only
// the forwarder's thread changes and removes the head item. Lock order: the
// queue lock (write), then the item list's lock. REQUIRES of Add: no
// configuration-store lock held (the index write does not need one, but the
// thread reads settings and writes records under none of ours).
#pragma once

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "core/rw_lock.h"
#include "core/vorn_event.h"
#include "core/vorn_lock.h"

// Set once when a forwarder stops; the abort callback then asks the sender
// to give up. Never cleared in the service (tests clear it between runs).
extern std::atomic<bool> g_ForwarderStopping;

// The sender's abort callback: 0 (abort) when status is 2 and
// g_ForwarderStopping is set, otherwise 1 (go on).
int QuarantineAbortCheck(int status);

// The forwarder's thread: runs the send loop of the forwarder given as its
// argument until the forwarder stops, then sets the forwarder's end event.
unsigned QuarantineForwardThread(void* forwarder);

// The retry spacing of the head item, and the pause between two looks at
// the queue.
inline constexpr int kQuarantineRetrySeconds = 600;
inline constexpr int kQuarantinePauseMilliseconds = 100;
// Longest texts of an item (bytes).
inline constexpr size_t kQuarantinePathLimit = 1023;
inline constexpr size_t kQuarantineMessageNameLimit = 63;
inline constexpr size_t kQuarantineObjectNameLimit = 259;

// One waiting package.
struct CQuarantineItem {
    time_t m_TimeQueued = 0;
    time_t m_LastAttempt = 0;  // 0 when never tried
    int m_LastResult = 255;    // the sender's last answer; 255 for a new item
    std::string m_PackagePath;
    std::string m_MessageName;  // the spooled message the package came from
    std::string m_ObjectName;   // the infected object
};

class CQuarantineForwarder {
public:
    // The sender's signature (SendFileToQServer of the quarantine-server
    // library): package path, server address, 0, port, abort callback;
    // 0 when the package was delivered.
    using SendFunction = int (*)(const char* packagePath, const char* server, int reserved,
                                 int port, int (*abortCallback)(int status));

    // The folder "zelqfwd" under baseDirectory is made when missing; the
    // index is indexName in it. Not started.
    CQuarantineForwarder(const char* indexName, const char* baseDirectory);
    // stop, then rewrites the index and frees the items.
    virtual ~CQuarantineForwarder();
    CQuarantineForwarder(const CQuarantineForwarder&) = delete;
    CQuarantineForwarder& operator=(const CQuarantineForwarder&) = delete;

    // Once: reads the index back and starts the thread; a thread that cannot
    // start is reported (warning) and the queue waits in its index.
    void Start();

    // Queues the package (which must be a file directly in the folder) with
    // the spooled message's name and the object's name, and rewrites the
    // index. False while stopping, for a path outside the folder, and when
    // memory runs out.
    bool Add(const char* packagePath, const char* messageName, const char* objectName);

    // Sets g_ForwarderStopping, ends the thread's loop and waits for the
    // thread's end (it ends within a pause, or when the transfer in progress
    // has stopped, which the abort callback hastens). May be called again.
    void stop();

    // The folder where the package maker writes its "Q%08u.fwd" files.
    const std::string& Directory() const { return m_Directory; }

    // Tests: the sender to use instead of SendFileToQServer. REQUIRES:
    // before Start.
    void SetSender(SendFunction send) { m_Send = send; }
    // Tests: a copy of the queue, head first.
    std::vector<CQuarantineItem> Items();
    // Tests: how many times the thread has looked at the queue.
    unsigned long Passes() const { return m_Passes.load(); }

private:
    friend unsigned QuarantineForwardThread(void* forwarder);

    // Appends an item with these values, texts cleaned and cut; false (and
    // warning "Out of memory!") when memory runs out. REQUIRES: queue lock
    // held for writing (or no thread running).
    bool addItem(const char* packagePath, const char* messageName, const char* objectName,
                 time_t timeQueued, time_t lastAttempt, int lastResult);
    // Rewrites the index from the items. False when it cannot be written
    // (the index stays as it was). REQUIRES: queue lock held for writing.
    bool saveIndex();
    // Reads the index back into the items (see the header's manual), once
    // in the forwarder's life. REQUIRES: queue lock held for writing.
    void loadIndex();
    // The activity record of one send attempt.
    void recordSend(const CQuarantineItem& item, const char* server);
    // True when path names a file directly in the folder.
    bool inFolder(const std::string& path) const;
    // The thread's loop; returns when stopping.
    void run();
    // One look at the head item. True when the loop should look again at
    // once (a package was sent or dropped).
    bool pass();
    // Drops the head item and rewrites the index.
    void dropHead();

    CVornEvent m_EndEvent;    // set by the thread when it ends
    CVornRWLock m_QueueLock;  // over the queue as a whole
    std::string m_IndexPath;
    std::list<CQuarantineItem> m_Items;  // oldest first
    CVornLock m_ItemsLock;               // node access to m_Items
    std::string m_Directory;
    bool m_Started = false;
    bool m_Loaded = false;  // the index has been read back (guarded by m_QueueLock)
    bool m_ThreadEnded = false;

    SendFunction m_Send;
    std::atomic<bool> m_Stopping{false};
    std::atomic<unsigned long> m_Passes{0};
    // The thread's pause, cut short by stop.
    std::mutex m_PauseMutex;
    std::condition_variable m_PauseWake;
};
