// CScanner (IWexlorner): the scanner object of libWexlor.so, and the
// process-wide state all scanners of one process share.
//
//   WexlorComponents      the engine and decomposition entry points, as tables
//   SetWexlorComponents   which components scanners use (the library sets
//                         the real ones; tests put in their own)
//   ResetWexlorStateForTest   forget the process-wide state (no scanner alive)
//   CScanner              the scanner: engine start and restart, scans,
//                         definitions; see wexlor_interface.h for the codes
//
// Process-wide state (one copy per process, built on first use, never at
// library load): the running engine handle, its heuristic level and
// definitions directory, the texts given to Initialize, the shared
// definitions store object, the live scanner count, the scan lock, and two
// mutexes: one serialises every engine start, swap and close (Initialize,
// SetHeuristicLevel, ReloadDefs, the last scanner's end), the other every
// call into the definitions store object (it is one object, used by one
// thread at a time).
//
// Engine restarts (SetHeuristicLevel, ReloadDefs) start the new engine
// first, while scans go on with the old one; only when it runs is the handle
// swapped under the exclusive scan lock and the old engine closed. A restart
// that fails leaves the old engine, set and level running, reports the
// error to the event log and answers its code. The definitions store
// records the application on a new set only once the engine runs on it.
//
// Lock order: restart mutex, then scan lock, then store mutex; the store
// mutex is never held while waiting for the scan lock.
//
// Nothing throws out of an interface operation: allocation failures answer
// 513, anything else 65535 (or the code each operation names).
#pragma once

#include <atomic>

#include "maker/rav_interfaces.h"
#include "maker/zel_engine.h"
#include "scanner/wexlor_interface.h"

// The format engines of a decomposition object, in the order the scanner
// adds them.
enum RavEngineSlot : int {
    kRavID,
    kRavMIME,
    kRavZip,
    kRavLHA,
    kRavUUE,
    kRavARJ,
    kRavGZIP,
    kRavTAR,
    kRavSS,
    kRavAMG,
    kRavCAB,
    kRavLZ,
    kRavRTF,
    kRavTNEF,
    kRavEngineCount
};

struct RavelApi {
    decltype(&RavNewRavel) NewRavel;
    decltype(&RavDeleteRavel) DeleteRavel;
    decltype(&RavNewFileObject) NewFileObject;
    decltype(&RavDeleteFileObject) DeleteFileObject;
    // Per slot; a null creation function counts as a failed creation. The
    // TNEF slot's delete function is the RTF library's.
    int32_t (*NewEngine[kRavEngineCount])(IRavEngine** out);
    int32_t (*DeleteEngine[kRavEngineCount])(IRavEngine* engine);
};

struct WexlorComponents {
    ZelEngineApi engine;
    RavelApi ravel;
};

// The components every scanner of the process calls. The table is copied.
// REQUIRES: no scanner is alive (the engine handle belongs to the table).
void SetWexlorComponents(const WexlorComponents& components);

// Forgets the engine settings and texts and rebuilds the definitions store
// object (which reads the store's root from the registry again). For tests
// that give each case its own store. REQUIRES: no scanner is alive.
void ResetWexlorStateForTest();

// Number of live CScanner objects (tests).
int WexlorScannerCount();

// The running engine's handle, null when none runs (tests).
ZELHANDLE WexlorEngineHandle();

class CScanner final : public IWexlorner {
public:
    CScanner();
    CScanner(const CScanner&) = delete;
    CScanner& operator=(const CScanner&) = delete;

    int32_t QueryInterface(int32_t interfaceId, void** out) override;
    int32_t AddRef() override;
    int32_t Release() override;
    int32_t Initialize(const char* applicationId, const char* engineIniPath, const char* tempDir,
                       int32_t heuristicLevel) override;
    int32_t SetHeuristicLevel(int32_t level) override;
    int32_t DecomposeAndScan(const char* path, int32_t actionLevel, IScanCallback* callback,
                             int32_t context, IScanResult** out) override;
    int32_t ScanFile(const char* path, int32_t repair, IVirusItem** out) override;
    int32_t ReloadDefs() override;
    int32_t NewerDefsAvailable() override;
    int32_t GetDefsInfo(IDefsInfo** out) override;
    int32_t PrepareDefsUpdate(char* directory, int32_t size) override;
    int32_t FinishDefsUpdate() override;
    int32_t DecomposeAndScanFiltered(const char* path, int32_t actionLevel, IScanCallback* callback,
                                     int32_t context, IScanResult** out) override;
    int32_t DecomposeAndScanEx(const char* path, int32_t actionLevel, IScanCallback* callback,
                               int32_t context, IScanResult** out, int32_t scanTopLevel) override;

    // The format engines this scanner's decomposition object holds (tests).
    IRavEngine* Engine(int slot) const { return m_Engines[slot]; }
    bool HasRavel() const { return m_Ravel != nullptr; }

private:
    // The last scanner of the process closes the engine; each closes its
    // own decomposition object.
    ~CScanner() override;

    enum class ScanKind { Plain, Filtered, Ex };
    int32_t decompose(ScanKind kind, const char* path, int32_t actionLevel, IScanCallback* callback,
                      int32_t context, IScanResult** out, int32_t scanTopLevel);
    int32_t initRavel();
    int32_t closeRavel();

    std::atomic<int32_t> m_Refs{0};
    IRavel* m_Ravel = nullptr;
    IRavEngine* m_Engines[kRavEngineCount] = {};
};
