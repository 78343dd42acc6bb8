// CScannerManager: the service's one holder of the scanner plug-in
// libWexlor.so, and CScanJob, the gateway's IScanCallback for the scan of
// one message.
//
//   CScannerManager::Load               load the plug-in, get and initialise the scanner
//   CScannerManager::SetHeuristicLevel  hand a level change to the scanner
//   CScannerManager::NewScanJob         a job for one message's scan
//   CScannerManager::GetDefsInfo        facts about the definitions in use
//   CScannerManager::ReloadDefsIfNewer  move the scanner to the newest definitions
//   CScannerManager::AddRefScanner      a counted reference on the scanner
//   CScanJob::Scan                      run the decomposing scan of a body file
//   CScanJob::Delete                    end the job
//
// The plug-in is found beside the running program (the directory of
// /proc/self/exe) as "libWexlor.so"; tests name another library with
// SetLibraryPath. Load failures write a debug line (the loader's text
// included) and answer false; nothing goes to the event log here.
//
// A scanner that became unusable (a definitions reload that left the
// engine stopped, so that every scan answers 519) is started again:
// ReloadDefsIfNewer reports a failed reload as error event 847 and calls
// Initialize again at once (a scanner whose engine still runs refuses that
// harmlessly); a scan that meets 519 asks for the same (at most once a
// minute on the library clock) and is tried again once. Event 828 says that
// scanning runs again. Meanwhile scans fail, so the caller keeps the mail
// waiting.
//
// Threads: Load runs at start-up before any other call. Afterwards any
// thread may call the other operations at once: jobs on delivery threads,
// GetDefsInfo, SetHeuristicLevel and ReloadDefsIfNewer from the scheduler
// and web threads; the plug-in orders those among themselves. A scanner
// being initialised again waits for running scans and keeps new ones out
// (a lock of the holder), because the plug-in's Initialize takes no lock.
// REQUIRES of the destructor: no job alive and no other call running (the
// shutdown stops the delivery workers first): it releases the scanner and
// unloads the library.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>

#include "core/disk_file.h"
#include "core/rw_lock.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "scanner/wexlor_interface.h"

class CScanCallback;
class CScanJob;

class CScannerManager {
public:
    // Releases the scanner reference, then unloads the library.
    virtual ~CScannerManager();
    // Empty: no scanner, level 3, counters 0, temporary names from 0.
    CScannerManager();
    CScannerManager(const CScannerManager&) = delete;
    CScannerManager& operator=(const CScannerManager&) = delete;

    // Stores the engine configuration path, the temporary directory and the
    // level (also when already loaded) and answers true at once when a
    // scanner is held. Otherwise loads the library, calls WexlorGetScanner
    // (interface 2) and IWexlorner::Initialize (applicationId, the path,
    // the directory, the level). False when the library does not load or
    // lacks the entry point (a loaded library stays until destruction),
    // when WexlorGetScanner fails, or when Initialize fails (the scanner is
    // then kept, so a later Load answers true). Null texts count as empty.
    bool Load(const char* applicationId, const char* engineConfigPath, const char* tempDir,
              int heuristicLevel);

    // IWexlorner::SetHeuristicLevel when a scanner is held; its answer is
    // ignored and the stored level is left as it is.
    void SetHeuristicLevel(int level);

    // A new job over the next temporary path, borrowing callback (may be
    // null); null when memory runs out. The caller ends it with Delete.
    CScanJob* NewScanJob(CScanCallback* callback);

    // True when a scanner is held and IWexlorner::GetDefsInfo answered 0;
    // *out then holds a reference the caller releases. *out is null
    // otherwise. A null out answers false.
    bool GetDefsInfo(IDefsInfo** out);

    // False without a scanner. IWexlorner::ReloadDefs: 1 (already on the
    // newest set) answers true; 0 writes activity record (3, 304, 1) with
    // field 1104 "YYYY-MM-DD (revision)" of the new set (local date) and
    // answers true; any other code answers false after event 847 and an
    // attempt to initialise the scanner again.
    bool ReloadDefsIfNewer();

    // A new reference on the held scanner (the caller releases it), or null.
    IWexlorner* AddRefScanner();

    // Initialises the held scanner again with the stored values when it is
    // not running; waits for running scans. At most one attempt per minute
    // of the library clock unless force is set. True when the scanner was
    // initialised (event 828).
    bool Reinitialize(bool force);

    // Statistics (they only grow; read by tests).
    int GetObjectsChecked();
    int GetFindings();
    int GetRepaired();
    int GetDeleted();
    int GetHeuristicLevel() const { return m_HeuristicLevel; }

    // Tests: the library to load instead of libWexlor.so beside the program.
    void SetLibraryPath(const char* path);

private:
    friend class CScanJob;

    // The next temporary path: "ZEL%04u.htp" of the sequence joined to the
    // temporary directory (empty while there is no directory). Always true.
    bool makeTempName(CVornString& out);
    // The library path: the one set by a test, else libWexlor.so beside
    // the program.
    void libraryPath(CVornString& out);
    static void addTo(CVornLock& lock, int& counter, int amount);
    static int readCounter(CVornLock& lock, int& counter);

    std::atomic<IWexlorner*> m_Scanner{nullptr};
    CVornString m_EngineConfigPath;
    CVornString m_TempDir;
    CVornString m_ApplicationId;
    int m_HeuristicLevel = 3;
    int m_ObjectsChecked = 0;
    CVornLock m_ObjectsCheckedLock;
    int m_Findings = 0;
    CVornLock m_FindingsLock;
    int m_Repaired = 0;
    CVornLock m_RepairedLock;
    int m_Deleted = 0;
    CVornLock m_DeletedLock;
    unsigned m_TempSequence = 0;
    CVornLock m_TempSequenceLock;
    void* m_Library = nullptr;

    CVornString m_LibraryPath;   // set by tests; empty for the default
    CVornLock m_LoadLock;        // Load, Reinitialize and the stored values
    // Scans and the other scanner calls hold it shared; initialising the
    // scanner again holds it exclusive.
    CVornRWLock m_ScannerGate;
    long m_LastReinitialize = 0;  // library clock of the last attempt (0: none)
};

// The gateway's IScanCallback for one message: counts the objects it lets
// through and forwards every question to the message's CScanCallback.
// Without a callback it lets every object through and answers 4 to the
// three questions about texts and attachments.
class CScanJob final : public IScanCallback {
public:
    // Takes a scanner reference through holder->AddRefScanner; tempPath
    // names the job's temporary file, which the job never opens and which
    // is removed, when it exists, as the job ends. holder and callback are
    // borrowed.
    CScanJob(CScannerManager* holder, CScanCallback* callback, const char* tempPath);
    // Releases the scanner reference; the temporary file goes.
    virtual ~CScanJob();
    CScanJob(const CScanJob&) = delete;
    CScanJob& operator=(const CScanJob&) = delete;

    // IScanCallback.
    int32_t ShouldScan(const char* objectName, int32_t context) override;
    int32_t OnVirusFound(const char* objectName, const char* dataFile, const char* virusName,
                         int32_t virusId, int32_t context) override;
    int32_t OnRepairFailed(const char* objectName, const char* dataFile, const char* virusName,
                           int32_t virusId, int32_t context) override;
    int32_t GetDeletedText(const char* objectName, const char* virusName, char* text,
                           int32_t size) override;
    int32_t FilterAttachment(const char* objectName, int32_t context) override;
    int32_t GetBlockedText(const char* objectName, char* text, int32_t size) override;

    // IWexlorner::DecomposeAndScanEx of the body file at the action level
    // (context 0, top-level flag 0) with this job as the callback. True when
    // the scan ran and handed back a result: *out then holds it (the caller
    // releases it) and the holder's findings, repaired and deleted counters
    // have grown by the items of statuses any, 1 and 2. False for every
    // plug-in code, without a scanner or without a result; a result handed
    // back with a failure stays in *out for the caller to release.
    bool Scan(const char* bodyPath, int actionLevel, IScanResult** out);

    // Deletes the job.
    void Delete();

    // The job's temporary path (tests).
    const char* GetTempPath() { return m_TempPath.CStr(); }

private:
    // One call of the plug-in under the holder's gate.
    int32_t scanOnce(const char* bodyPath, int actionLevel, IScanResult** out);

    CScannerManager* m_Holder;
    CScanCallback* m_Callback;
    CVornString m_TempPath;
    CVornDiskFile m_TempFile;
    IWexlorner* m_Scanner;
};
