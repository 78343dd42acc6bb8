// The scanner holder and the scan job: the one place where the gateway
// meets the scanner plug-in libWexlor.so.
//
//   CScannerManager::Load               dlopen the plug-in, WexlorGetScanner, Initialize
//   CScannerManager::SetHeuristicLevel  the level change, answer ignored
//   CScannerManager::NewScanJob         a job on the next "ZEL%04u.htp" path
//   CScannerManager::GetDefsInfo        the scanner's definitions facts
//   CScannerManager::ReloadDefsIfNewer  the newest definitions, record 304
//   CScannerManager::AddRefScanner      one more scanner reference
//   CScannerManager::Reinitialize       start an unusable scanner again
//   CScanJob::Scan                      the decomposing scan of one body file
//   CScanJob (IScanCallback)            forwards to the message's CScanCallback
//
// Bad input: null texts count as empty; a missing library, entry point or
// scanner gives false results and debug lines, never an exception.
#include "gateway/scanner_manager.h"

#include <stdio.h>
#include <time.h>

#include <new>
#include <string>

#include "config/activity_log.h"
#include "core/clock.h"
#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "gateway/scan_callback.h"
#include "platform/service_manager.h"
#include "platform/shared_library.h"

namespace {

const char kLibraryName[] = "libWexlor.so";
// Event-log texts of a scanner that stopped working and started again.
const int kMsgScannerUnusable = 847;
const int kMsgScannerRestarted = 828;
const int kEventError = 1;
const int kEventInformation = 4;
// A scan that finds the scanner not running asks for a new start at most
// this often.
const long kReinitializeInterval = 60;

void debugLine(const char* text) {
    if (!g_LogSilent)
        LogText(kLogDebug, text);
}

const char* orEmpty(const char* text) { return text ? text : ""; }

}  // namespace

// ---- CScannerManager

CScannerManager::CScannerManager() = default;

CScannerManager::~CScannerManager() {
    IWexlorner* scanner = m_Scanner.exchange(nullptr);
    if (scanner)
        scanner->Release();
    platform::CloseSharedLibrary(m_Library);
    m_Library = nullptr;
}

void CScannerManager::SetLibraryPath(const char* path) {
    CVornLockGuard guard(&m_LoadLock);
    m_LibraryPath.Assign(orEmpty(path));
}

void CScannerManager::libraryPath(CVornString& out) {
    if (!m_LibraryPath.IsEmpty()) {
        out.Assign(m_LibraryPath);
        return;
    }
    std::string program = platform::ExecutablePath();
    size_t slash = program.rfind('/');
    std::string directory = slash == std::string::npos ? "." : program.substr(0, slash);
    JoinPath(out, directory.c_str(), kLibraryName);
}

bool CScannerManager::Load(const char* applicationId, const char* engineConfigPath,
                           const char* tempDir, int heuristicLevel) {
    CVornLockGuard guard(&m_LoadLock);
    m_ApplicationId.Assign(orEmpty(applicationId));
    m_EngineConfigPath.Assign(orEmpty(engineConfigPath));
    m_TempDir.Assign(orEmpty(tempDir));
    m_HeuristicLevel = heuristicLevel;
    if (m_Scanner.load())
        return true;

    if (!m_Library) {
        CVornString path;
        libraryPath(path);
        std::string error;
        m_Library = platform::OpenSharedLibrary(path.CStr(), &error);
        if (!m_Library) {
            if (!g_LogSilent) {
                CVornString line;
                line.Format("Error loading ZELAPI.  GetLastError() == %s.", error.c_str());
                LogText(kLogDebug, line.CStr());
            }
            return false;
        }
    }
    auto entry = reinterpret_cast<WexlorGetScannerFunc>(
        platform::SharedLibrarySymbol(m_Library, WEXLOR_ENTRY_NAME));
    if (!entry) {
        debugLine("Failed to get entry point of Wexlor.");
        return false;
    }
    void* object = nullptr;
    if (entry(WEXLOR_IID_SCANNER, &object) != WEXLOR_OK || !object) {
        debugLine("WexlorGetScanner() failed.");
        return false;
    }
    IWexlorner* scanner = static_cast<IWexlorner*>(object);
    m_Scanner.store(scanner);
    if (scanner->Initialize(m_ApplicationId.CStr(), m_EngineConfigPath.CStr(), m_TempDir.CStr(),
                            m_HeuristicLevel) != WEXLOR_OK) {
        debugLine("IWexlorner::Initialize() failed.");
        return false;
    }
    return true;
}

void CScannerManager::SetHeuristicLevel(int level) {
    CVornReadGuard gate(m_ScannerGate);
    IWexlorner* scanner = m_Scanner.load();
    if (scanner)
        scanner->SetHeuristicLevel(level);
}

CScanJob* CScannerManager::NewScanJob(CScanCallback* callback) {
    try {
        CVornString path;
        makeTempName(path);
        return new CScanJob(this, callback, path.CStr());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool CScannerManager::GetDefsInfo(IDefsInfo** out) {
    if (!out)
        return false;
    *out = nullptr;
    CVornReadGuard gate(m_ScannerGate);
    IWexlorner* scanner = m_Scanner.load();
    if (!scanner)
        return false;
    IDefsInfo* info = nullptr;
    if (scanner->GetDefsInfo(&info) != WEXLOR_OK || !info)
        return false;
    *out = info;
    return true;
}

bool CScannerManager::ReloadDefsIfNewer() {
    IWexlorner* scanner = m_Scanner.load();
    if (!scanner)
        return false;
    int32_t code;
    {
        CVornReadGuard gate(m_ScannerGate);
        code = scanner->ReloadDefs();
    }
    if (code == WEXLOR_DEFS_CURRENT)
        return true;
    if (code != WEXLOR_OK) {
        // The plug-in leaves its engine stopped when the new set could not
        // be started; without a new start every later scan would fail.
        LogEventInt(kMsgScannerUnusable, kEventError, code);
        Reinitialize(true);
        return false;
    }

    CVornStringMap record(16, 0);
    ActivityRecordStart(record, 3, 304, 1, nullptr, nullptr);
    IDefsInfo* info = nullptr;
    if (GetDefsInfo(&info)) {
        struct tm local = {};
        if (SafeLocalTime(static_cast<time_t>(info->GetDate()), &local) == 0) {
            char date[64];
            snprintf(date, sizeof date, "%4d-%02d-%02d (%lu)", local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday,
                     static_cast<unsigned long>(info->GetRevision()));
            ActivityRecordSetText(record, 1104, date);
        }
        info->Release();
    }
    ActivityLogWrite(record);
    return true;
}

IWexlorner* CScannerManager::AddRefScanner() {
    IWexlorner* scanner = m_Scanner.load();
    if (scanner)
        scanner->AddRef();
    return scanner;
}

bool CScannerManager::Reinitialize(bool force) {
    CVornLockGuard guard(&m_LoadLock);
    IWexlorner* scanner = m_Scanner.load();
    if (!scanner)
        return false;
    long now = static_cast<long>(Now());
    if (!force && m_LastReinitialize != 0 && now - m_LastReinitialize < kReinitializeInterval &&
        now >= m_LastReinitialize)
        return false;
    m_LastReinitialize = now;
    int32_t code;
    {
        // The plug-in's Initialize takes no lock of its own: no scan may run.
        CVornWriteGuard gate(m_ScannerGate);
        code = scanner->Initialize(m_ApplicationId.CStr(), m_EngineConfigPath.CStr(),
                                   m_TempDir.CStr(), m_HeuristicLevel);
    }
    if (code != WEXLOR_OK)
        return false;
    LogEvent(kMsgScannerRestarted, kEventInformation);
    return true;
}

bool CScannerManager::makeTempName(CVornString& out) {
    unsigned number;
    {
        CVornLockGuard guard(&m_TempSequenceLock);
        number = m_TempSequence++;
    }
    char name[32];
    snprintf(name, sizeof name, "ZEL%04u.htp", number);
    CVornString directory;
    {
        CVornLockGuard guard(&m_LoadLock);
        directory.Assign(m_TempDir);
    }
    // Before Load there is no directory: the job gets no path rather than
    // one at the root of the file system, whose file it would remove.
    if (directory.IsEmpty())
        out.Clear();
    else
        JoinPath(out, directory.CStr(), name);
    return true;
}

void CScannerManager::addTo(CVornLock& lock, int& counter, int amount) {
    CVornLockGuard guard(&lock);
    counter += amount;
}

int CScannerManager::readCounter(CVornLock& lock, int& counter) {
    CVornLockGuard guard(&lock);
    return counter;
}

int CScannerManager::GetObjectsChecked() { return readCounter(m_ObjectsCheckedLock, m_ObjectsChecked); }
int CScannerManager::GetFindings() { return readCounter(m_FindingsLock, m_Findings); }
int CScannerManager::GetRepaired() { return readCounter(m_RepairedLock, m_Repaired); }
int CScannerManager::GetDeleted() { return readCounter(m_DeletedLock, m_Deleted); }

// ---- CScanJob

CScanJob::CScanJob(CScannerManager* holder, CScanCallback* callback, const char* tempPath)
    : m_Holder(holder),
      m_Callback(callback),
      m_TempPath(orEmpty(tempPath)),
      m_TempFile(orEmpty(tempPath), kFileDeleteOnClose | kFileNoPathLock),
      m_Scanner(holder ? holder->AddRefScanner() : nullptr) {}

CScanJob::~CScanJob() {
    if (m_Scanner)
        m_Scanner->Release();
}

void CScanJob::Delete() { delete this; }

int32_t CScanJob::ShouldScan(const char* objectName, int32_t context) {
    (void)context;
    if (m_Callback && !m_Callback->ShouldScanName(objectName))
        return WEXLOR_ANSWER_SKIP;
    if (m_Holder)
        CScannerManager::addTo(m_Holder->m_ObjectsCheckedLock, m_Holder->m_ObjectsChecked, 1);
    return WEXLOR_ANSWER_PROCESS;
}

int32_t CScanJob::OnVirusFound(const char* objectName, const char* dataFile,
                               const char* virusName, int32_t virusId, int32_t context) {
    if (!m_Callback)
        return 0;
    return m_Callback->OnVirusFound(objectName, dataFile, virusName, virusId, context);
}

int32_t CScanJob::OnRepairFailed(const char* objectName, const char* dataFile,
                                 const char* virusName, int32_t virusId, int32_t context) {
    if (!m_Callback)
        return 0;
    return m_Callback->OnRepairFailed(objectName, dataFile, virusName, virusId, context);
}

int32_t CScanJob::GetDeletedText(const char* objectName, const char* virusName, char* text,
                                 int32_t size) {
    if (!m_Callback)
        return WEXLOR_ANSWER_BLOCK;
    return m_Callback->GetDeletedText(objectName, virusName, text, size);
}

int32_t CScanJob::FilterAttachment(const char* objectName, int32_t context) {
    if (!m_Callback)
        return WEXLOR_ANSWER_BLOCK;
    return m_Callback->FilterAttachment(objectName, context);
}

int32_t CScanJob::GetBlockedText(const char* objectName, char* text, int32_t size) {
    if (!m_Callback)
        return WEXLOR_ANSWER_BLOCK;
    return m_Callback->GetBlockedText(objectName, text, size);
}

int32_t CScanJob::scanOnce(const char* bodyPath, int actionLevel, IScanResult** out) {
    CVornReadGuard gate(m_Holder->m_ScannerGate);
    return m_Scanner->DecomposeAndScanEx(bodyPath, actionLevel, this, 0, out, 0);
}

bool CScanJob::Scan(const char* bodyPath, int actionLevel, IScanResult** out) {
    if (!out)
        return false;
    *out = nullptr;
    if (!m_Scanner || !m_Holder)
        return false;
    int32_t code = scanOnce(bodyPath, actionLevel, out);
    if (code == WEXLOR_NOT_INITIALIZED) {
        // A failed definitions reload left the engine stopped: start it
        // again (or let a running start finish) and try once more.
        m_Holder->Reinitialize(false);
        if (*out) {
            (*out)->Release();
            *out = nullptr;
        }
        code = scanOnce(bodyPath, actionLevel, out);
    }
    if (code != WEXLOR_OK || !*out)
        return false;

    IScanResult* result = *out;
    int32_t count = result->GetItemCount();
    if (count <= 0)
        return true;
    CScannerManager::addTo(m_Holder->m_FindingsLock, m_Holder->m_Findings, count);
    for (int32_t i = 0; i < count; ++i) {
        IVirusItem* item = nullptr;
        if (result->GetItem(static_cast<uint32_t>(i), &item) != WEXLOR_OK || !item)
            continue;
        int32_t status = item->GetStatus();
        if (status == WEXLOR_STATUS_REPAIRED)
            CScannerManager::addTo(m_Holder->m_RepairedLock, m_Holder->m_Repaired, 1);
        else if (status == WEXLOR_STATUS_DELETED)
            CScannerManager::addTo(m_Holder->m_DeletedLock, m_Holder->m_Deleted, 1);
        item->Release();
    }
    return true;
}
