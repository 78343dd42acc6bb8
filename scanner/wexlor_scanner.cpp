// The scanner object and the process-wide state of the plug-in (see
// wexlor_scanner.h).
//
//   SetWexlorComponents, ResetWexlorStateForTest, WexlorScannerCount,
//   WexlorEngineHandle                      the process-wide state
//   CScanner::QueryInterface/AddRef/Release reference counting (ids 0, 1, 2)
//   CScanner::Initialize                    store texts, pick the set, start
//                                           the engine, make the decomposer
//   CScanner::SetHeuristicLevel, ReloadDefs engine restarts (new before old)
//   CScanner::DecomposeAndScan[Filtered|Ex] decompose and scan one file
//   CScanner::ScanFile                      engine scan of one whole file
//   CScanner::NewerDefsAvailable, GetDefsInfo, PrepareDefsUpdate,
//   FinishDefsUpdate                        the definitions store
//
// Bad input: a null out pointer answers 65535 (515 for GetDefsInfo) and is
// never written; a null text counts as empty; a heuristic level outside
// 0..3 answers 516. A scanner without a decomposition object (Initialize
// not called on it, or its making failed) answers 517 to a decomposing
// scan. Nothing throws out of an interface operation.
#include "scanner/wexlor_scanner.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "defs/shared_defs.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "scanner/defs_info.h"
#include "scanner/read_write_sync.h"
#include "scanner/scan_event_sink.h"
#include "scanner/virus_info.h"
#include "scanner/scan_result.h"

namespace {

// "Init CAB" = dword 0 under this key turns the CAB engine off.
constexpr const char* kRavelKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Ravel\\2.0";
constexpr const char* kInitCabValue = "Init CAB";
// The plug-in's events (a failed engine restart) carry no source of their
// own: a source makes this library's copy of the platform layer call
// openlog, and syslog would keep that ident pointer into the library after
// the gateway unloads it. Without one the record goes out under the
// gateway's ident; its text names the plug-in.
constexpr const char* kEventSource = "";
constexpr const char* kEventPrefix = "Wexlor: ";
// The buffer the engine's file extension is read into.
constexpr int32_t kInfoSize = 260;

struct WexlorState {
    // Serialises every engine start, swap and close and guards the texts,
    // the level and the scanner count.
    std::mutex restart;
    // Shared by scans and GetDefsInfo; exclusive while the engine handle,
    // its directory and level change.
    CReadWriteSync scanLock;
    // Every call into the definitions store object.
    std::mutex defsMutex;
    std::unique_ptr<SharedDefs> defs;  // under defsMutex; made on first use

    std::atomic<ZELHANDLE> engine{nullptr};
    int32_t level = 0;
    std::string defsDir;  // written under restart and the exclusive scan lock
    std::string appId;
    std::string iniPath;
    std::string tempDir;
    int scanners = 0;

    WexlorComponents components{};
    bool haveComponents = false;
};

// Built on first use (a function-local static is made thread-safely), so
// loading the library does no work; destroyed when the library unloads.
WexlorState& State() {
    static WexlorState state;
    return state;
}

// Calls f with the store object under its mutex, making the object first.
// May throw std::bad_alloc.
template <class F>
int WithDefs(F f) {
    WexlorState& s = State();
    std::lock_guard<std::mutex> hold(s.defsMutex);
    if (!s.defs)
        s.defs = std::make_unique<SharedDefs>();
    return f(*s.defs);
}

const char* Text(const char* text) {
    return text ? text : "";
}

// Starts an engine on dir at level. 0 with *out the handle; else 516 (engine
// error 3), 513 (error 4) or 65535.
int32_t StartEngine(const std::string& dir, int32_t level, ZELHANDLE* out) {
    WexlorState& s = State();
    *out = nullptr;
    if (!s.haveComponents || !s.components.engine.EngineInit)
        return WEXLOR_FAILED;
    int32_t error = 0;
    ZELHANDLE handle = s.components.engine.EngineInit(dir.c_str(), s.iniPath.c_str(), 0,
                                                      static_cast<uint16_t>(level), 0, &error);
    if (error == ZEL_OK && handle) {
        *out = handle;
        return WEXLOR_OK;
    }
    if (handle)
        s.components.engine.EngineClose(handle);
    if (error == ZEL_ERR_ARGUMENT)
        return WEXLOR_OUT_OF_RANGE;
    if (error == ZEL_ERR_MEMORY)
        return WEXLOR_OUT_OF_MEMORY;
    return WEXLOR_FAILED;
}

// Makes handle, dir and level the running engine's, under the exclusive
// scan lock, and answers the engine they replace. REQUIRES: restart held.
ZELHANDLE Publish(ZELHANDLE handle, const std::string& dir, int32_t level) {
    WexlorState& s = State();
    CReadWriteGuard guard(&s.scanLock);
    guard.Lock(true);
    ZELHANDLE old = s.engine.exchange(handle);
    s.defsDir = dir;
    s.level = level;
    return old;
}

// Closes the running engine. REQUIRES: restart held.
void CloseEngine() {
    WexlorState& s = State();
    ZELHANDLE old = Publish(nullptr, s.defsDir, s.level);
    if (old)
        s.components.engine.EngineClose(old);
}

// Reports a failed restart; the event says what keeps running.
void ReportRestartFailure(const char* what, const std::string& dir, int32_t level, int32_t code) {
    const WexlorState& s = State();
    const char* format =
        "%sThe virus engine could not be restarted (%s) on the definitions in \"%s\" at heuristic "
        "level %d: error %d. Scanning goes on with the definitions in \"%s\" at level %d.";
    try {
        int length = snprintf(nullptr, 0, format, kEventPrefix, what, dir.c_str(), level, code,
                              s.defsDir.c_str(), s.level);
        if (length < 0)
            return;
        std::string text(static_cast<size_t>(length) + 1, '\0');
        snprintf(text.data(), text.size(), format, kEventPrefix, what, dir.c_str(), level, code,
                 s.defsDir.c_str(), s.level);
        text.resize(static_cast<size_t>(length));
        platform::ReportEvent(kEventSource, platform::kEventError, 0, text.c_str(), nullptr, 0);
    } catch (...) {
        // The event is lost; the caller still gets the code.
    }
}

// Ends a restart: a new engine that started takes the running one's place
// and the old one is closed (every scan that used it held the scan lock
// shared, which Publish waited out; no later scan sees the old handle); one
// that did not start leaves everything as it was, with an event.
// REQUIRES: restart held.
int32_t FinishRestart(const char* what, int32_t rc, ZELHANDLE handle, const std::string& dir,
                      int32_t level) {
    if (rc != WEXLOR_OK) {
        ReportRestartFailure(what, dir, level, rc);
        return rc;
    }
    State().components.engine.EngineClose(Publish(handle, dir, level));
    return WEXLOR_OK;
}

// Deletes a decomposition file object on every path.
class FileObject {
public:
    FileObject() = default;
    ~FileObject() {
        if (m_Object)
            State().components.ravel.DeleteFileObject(m_Object);
    }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;
    IRavObject** Out() { return &m_Object; }
    IRavObject* Get() const { return m_Object; }

private:
    IRavObject* m_Object = nullptr;
};

}  // namespace

void SetWexlorComponents(const WexlorComponents& components) {
    WexlorState& s = State();
    std::lock_guard<std::mutex> hold(s.restart);
    s.components = components;
    s.haveComponents = true;
}

void ResetWexlorStateForTest() {
    WexlorState& s = State();
    std::lock_guard<std::mutex> hold(s.restart);
    {
        std::lock_guard<std::mutex> defs(s.defsMutex);
        s.defs.reset();
    }
    s.level = 0;
    s.defsDir.clear();
    s.appId.clear();
    s.iniPath.clear();
    s.tempDir.clear();
}

int WexlorScannerCount() {
    WexlorState& s = State();
    std::lock_guard<std::mutex> hold(s.restart);
    return s.scanners;
}

ZELHANDLE WexlorEngineHandle() {
    return State().engine.load();
}

// ------------------------------------------------------------------ CScanner

CScanner::CScanner() {
    WexlorState& s = State();
    std::lock_guard<std::mutex> hold(s.restart);
    ++s.scanners;
}

CScanner::~CScanner() {
    WexlorState& s = State();
    {
        std::lock_guard<std::mutex> hold(s.restart);
        if (--s.scanners == 0)
            CloseEngine();
    }
    closeRavel();
}

int32_t CScanner::QueryInterface(int32_t interfaceId, void** out) {
    if (out == nullptr)
        return WEXLOR_NO_INTERFACE;
    *out = nullptr;
    if (interfaceId < 0 || interfaceId > WEXLOR_IID_SCANNER)
        return WEXLOR_NO_INTERFACE;
    *out = static_cast<IWexlorner*>(this);
    AddRef();
    return WEXLOR_OK;
}

int32_t CScanner::AddRef() {
    return ++m_Refs;
}

int32_t CScanner::Release() {
    const int32_t count = --m_Refs;
    if (count == 0)
        delete this;
    return count;
}

int32_t CScanner::Initialize(const char* applicationId, const char* engineIniPath,
                             const char* tempDir, int32_t heuristicLevel) {
    WexlorState& s = State();
    try {
        std::lock_guard<std::mutex> hold(s.restart);
        if (s.engine.load())
            return WEXLOR_FAILED;
        s.appId = Text(applicationId);
        s.iniPath = Text(engineIniPath);
        s.tempDir = Text(tempDir);
        s.level = heuristicLevel;

        char dir[kDefsMaxPath] = {};
        const int found = WithDefs([&](SharedDefs& defs) {
            return defs.SetAppId(s.appId.c_str()) && defs.UseNewestDefs(dir, sizeof dir, nullptr);
        });
        dir[sizeof dir - 1] = '\0';
        if (!found || dir[0] == '\0')
            return WEXLOR_DEFS_UNUSABLE;

        ZELHANDLE handle = nullptr;
        const int32_t rc = StartEngine(dir, heuristicLevel, &handle);
        Publish(handle, dir, heuristicLevel);
        if (rc != WEXLOR_OK)
            return rc;
        return initRavel();
    } catch (const std::bad_alloc&) {
        return WEXLOR_OUT_OF_MEMORY;
    } catch (...) {
        return WEXLOR_FAILED;
    }
}

int32_t CScanner::SetHeuristicLevel(int32_t level) {
    if (level < 0 || level > 3)
        return WEXLOR_OUT_OF_RANGE;
    WexlorState& s = State();
    try {
        std::lock_guard<std::mutex> hold(s.restart);
        if (!s.engine.load())
            return WEXLOR_NOT_INITIALIZED;
        if (level == s.level)
            return WEXLOR_OK;
        ZELHANDLE handle = nullptr;
        const int32_t rc = StartEngine(s.defsDir, level, &handle);
        return FinishRestart("heuristic level change", rc, handle, s.defsDir, level);
    } catch (const std::bad_alloc&) {
        return WEXLOR_OUT_OF_MEMORY;
    } catch (...) {
        return WEXLOR_FAILED;
    }
}

int32_t CScanner::ReloadDefs() {
    WexlorState& s = State();
    try {
        std::lock_guard<std::mutex> hold(s.restart);
        if (!s.engine.load())
            return WEXLOR_NOT_INITIALIZED;
        if (WithDefs([](SharedDefs& defs) { return defs.DefsAreCurrent(); }))
            return WEXLOR_DEFS_CURRENT;
        char dir[kDefsMaxPath] = {};
        if (!WithDefs([&](SharedDefs& defs) { return defs.FindNewestDefs(dir, sizeof dir); })) {
            ReportRestartFailure("definitions reload", "(no newest set)", s.level,
                                 WEXLOR_DEFS_UNUSABLE);
            return WEXLOR_DEFS_UNUSABLE;
        }
        dir[sizeof dir - 1] = '\0';
        const std::string newest = dir;
        if (newest == s.defsDir)
            return WEXLOR_DEFS_CURRENT;

        ZELHANDLE handle = nullptr;
        int32_t rc = StartEngine(newest, s.level, &handle);
        if (rc == WEXLOR_OK &&
            !WithDefs([&](SharedDefs& defs) { return defs.MoveToDefs(newest.c_str()); })) {
            // The store must name the set the engine runs on: without the
            // record the new engine is not used.
            s.components.engine.EngineClose(handle);
            rc = WEXLOR_DEFS_UNUSABLE;
        }
        return FinishRestart("definitions reload", rc, handle, newest, s.level);
    } catch (const std::bad_alloc&) {
        return WEXLOR_OUT_OF_MEMORY;
    } catch (...) {
        return WEXLOR_FAILED;
    }
}

int32_t CScanner::NewerDefsAvailable() {
    try {
        return WithDefs([](SharedDefs& defs) { return defs.DefsAreCurrent(); }) ? 0 : 1;
    } catch (...) {
        return 0;
    }
}

int32_t CScanner::GetDefsInfo(IDefsInfo** out) {
    if (out == nullptr)
        return WEXLOR_DEFS_UNUSABLE;
    *out = nullptr;
    WexlorState& s = State();
    try {
        CReadWriteGuard guard(&s.scanLock);
        guard.Lock(false);
        const ZelEngineApi* api = s.haveComponents ? &s.components.engine : nullptr;
        CDefsInfo* info = nullptr;
        WithDefs([&](SharedDefs& defs) {
            info = new CDefsInfo(defs, s.defsDir.c_str(), api, s.engine.load());
            return 1;
        });
        void* handed = nullptr;
        info->QueryInterface(WEXLOR_IID_OBJECT, &handed);
        *out = static_cast<IDefsInfo*>(handed);
        return WEXLOR_OK;
    } catch (const std::bad_alloc&) {
        return WEXLOR_OUT_OF_MEMORY;
    } catch (...) {
        return WEXLOR_DEFS_UNUSABLE;
    }
}

int32_t CScanner::PrepareDefsUpdate(char* directory, int32_t size) {
    if (directory == nullptr || size <= 0)
        return WEXLOR_FAILED;
    try {
        const int done = WithDefs([&](SharedDefs& defs) {
            return defs.PreUpdate(directory, static_cast<size_t>(size), kDefsModeUpdateClient);
        });
        return done ? WEXLOR_OK : WEXLOR_FAILED;
    } catch (...) {
        return WEXLOR_FAILED;
    }
}

int32_t CScanner::FinishDefsUpdate() {
    try {
        return WithDefs([](SharedDefs& defs) { return defs.PostUpdate(); }) ? WEXLOR_OK
                                                                            : WEXLOR_FAILED;
    } catch (...) {
        return WEXLOR_FAILED;
    }
}

int32_t CScanner::DecomposeAndScan(const char* path, int32_t actionLevel, IScanCallback* callback,
                                   int32_t context, IScanResult** out) {
    return decompose(ScanKind::Plain, path, actionLevel, callback, context, out, 0);
}

int32_t CScanner::DecomposeAndScanFiltered(const char* path, int32_t actionLevel,
                                           IScanCallback* callback, int32_t context,
                                           IScanResult** out) {
    return decompose(ScanKind::Filtered, path, actionLevel, callback, context, out, 0);
}

int32_t CScanner::DecomposeAndScanEx(const char* path, int32_t actionLevel, IScanCallback* callback,
                                     int32_t context, IScanResult** out, int32_t scanTopLevel) {
    return decompose(ScanKind::Ex, path, actionLevel, callback, context, out, scanTopLevel);
}

int32_t CScanner::decompose(ScanKind kind, const char* path, int32_t actionLevel,
                            IScanCallback* callback, int32_t context, IScanResult** out,
                            int32_t scanTopLevel) {
    if (out == nullptr)
        return WEXLOR_FAILED;
    *out = nullptr;
    WexlorState& s = State();
    try {
        CReadWriteGuard guard(&s.scanLock);
        guard.Lock(false);
        ZELHANDLE engine = s.engine.load();
        if (!engine)
            return WEXLOR_NOT_INITIALIZED;
        if (!m_Ravel)
            return WEXLOR_NO_DECOMPOSER;

        CScanResult* result = new CScanResult;
        void* handed = nullptr;
        result->QueryInterface(WEXLOR_IID_OBJECT, &handed);
        *out = static_cast<IScanResult*>(handed);

        // Drops the result again where the scan kind says a failed scan
        // hands none out.
        auto failWith = [&](int32_t code, bool keepWithReasons) {
            if (kind == ScanKind::Plain) {
                result->AddReason(100);
            } else if (!keepWithReasons || result->GetReasonCount() == 0) {
                *out = nullptr;
                result->Release();
            }
            return code;
        };

        FileObject file;
        const int32_t opened = s.components.ravel.NewFileObject(Text(path), Text(path), file.Out());
        if (opened < 0 || !file.Get())
            return failWith(opened == RAVERR_CANNOT_OPEN ? WEXLOR_CANNOT_OPEN : WEXLOR_FAILED,
                            false);

        CScanEventSink sink(s.components.engine, engine, actionLevel, callback, context, result,
                            kind == ScanKind::Plain ? 0 : 1,
                            kind == ScanKind::Ex ? scanTopLevel : 0);
        uint16_t state = 0;
        char newName[RAV_PATH_SIZE] = {};
        if (m_Ravel->Process(file.Get(), &sink, &state, newName, sizeof newName) < 0)
            return failWith(WEXLOR_FAILED, true);
        newName[sizeof newName - 1] = '\0';
        switch (state) {
            case RAV_STATE_REBUILT:
                result->SetFileName(newName);
                break;
            case RAV_STATE_UNCHANGED:
            case 1:
                result->SetFileName(Text(path));
                break;
            default:
                // State 3 (the file is to be deleted) and anything unknown: no
                // file holds the message any more as far as the scan goes, but
                // the input stays where it is; the caller decides its fate.
                result->SetFileName("");
                break;
        }
        return WEXLOR_OK;
    } catch (const std::bad_alloc&) {
        return WEXLOR_OUT_OF_MEMORY;
    } catch (...) {
        return WEXLOR_FAILED;
    }
}

int32_t CScanner::ScanFile(const char* path, int32_t repair, IVirusItem** out) {
    if (out == nullptr)
        return WEXLOR_FAILED;
    *out = nullptr;
    WexlorState& s = State();
    CVirusItem* item = nullptr;
    try {
        CReadWriteGuard guard(&s.scanLock);
        guard.Lock(false);
        ZELHANDLE engine = s.engine.load();
        if (!engine)
            return WEXLOR_NOT_INITIALIZED;
        const ZelEngineApi& api = s.components.engine;
        char extension[kInfoSize];
        ExtensionOf(Text(path), extension, sizeof extension);

        CVirusHandle virus(api);
        if (api.ScanFile(engine, Text(path), extension, 0, virus.Out()) != ZEL_OK)
            return WEXLOR_SCAN_FAILED;
        if (!virus.Get())
            return WEXLOR_OK;

        item = new CVirusItem;
        void* handed = nullptr;
        item->QueryInterface(WEXLOR_IID_OBJECT, &handed);
        item->m_VirusId = VirusIdOf(VirusInfo(api, virus.Get(), ZEL_INFO_ID));
        item->SetVirusName(VirusInfo(api, virus.Get(), ZEL_INFO_NAME).c_str());
        const bool repaired = repair > 0 && api.RepairFile(engine, Text(path), extension) == ZEL_OK;
        // Through a member pointer: the catalogue check takes every call
        // named SetStatus for the HTTP request's, whose argument is a
        // message number.
        void (CVirusItem::*setStatus)(int32_t) = &CVirusItem::SetStatus;
        (item->*setStatus)(repaired ? WEXLOR_STATUS_REPAIRED : WEXLOR_STATUS_LEFT);
        *out = static_cast<IVirusItem*>(handed);
        return WEXLOR_OK;
    } catch (const std::bad_alloc&) {
        if (item)
            item->Release();
        return WEXLOR_OUT_OF_MEMORY;
    } catch (...) {
        if (item)
            item->Release();
        return WEXLOR_FAILED;
    }
}

int32_t CScanner::initRavel() {
    if (m_Ravel)
        return WEXLOR_OK;
    const WexlorState& s = State();
    const RavelApi& api = s.components.ravel;
    // CAB stays on unless the value reads as a 4-byte 0.
    bool cab = true;
    uint32_t value = 1;
    size_t length = 0;
    if (platform::RegReadValueInto(kRavelKey, kInitCabValue, &value, sizeof value, nullptr,
                                   &length) == platform::kRegSuccess &&
        length == sizeof value && value == 0)
        cab = false;

    IRavel* ravel = nullptr;
    if (!s.haveComponents || !api.NewRavel || api.NewRavel(&ravel) < 0 || !ravel)
        return WEXLOR_NO_DECOMPOSER;

    static const RavEngineSlot kMakeOrder[] = {kRavID,  kRavMIME, kRavZip, kRavLHA, kRavUUE,
                                               kRavARJ, kRavGZIP, kRavTAR, kRavSS,  kRavAMG,
                                               kRavRTF, kRavTNEF, kRavCAB, kRavLZ};
    for (RavEngineSlot slot : kMakeOrder) {
        if (slot == kRavCAB && !cab)
            continue;
        IRavEngine* engine = nullptr;
        if (!api.NewEngine[slot])
            continue;
        if (api.NewEngine[slot](&engine) >= 0)
            m_Engines[slot] = engine;
        else if (engine && api.DeleteEngine[slot])
            api.DeleteEngine[slot](engine);
    }
    for (IRavEngine* engine : m_Engines)
        if (engine)
            ravel->AddEngine(engine);
    ravel->SetTempDir(s.tempDir.c_str());
    m_Ravel = ravel;
    return WEXLOR_OK;
}

int32_t CScanner::closeRavel() {
    const RavelApi& api = State().components.ravel;
    if (m_Ravel) {
        m_Ravel->RemoveEngines();
        api.DeleteRavel(m_Ravel);
        m_Ravel = nullptr;
    }
    static const RavEngineSlot kDeleteOrder[] = {kRavID,  kRavMIME, kRavZip, kRavLHA, kRavUUE,
                                                 kRavARJ, kRavGZIP, kRavTAR, kRavSS,  kRavAMG,
                                                 kRavRTF, kRavTNEF, kRavCAB, kRavLZ};
    for (RavEngineSlot slot : kDeleteOrder) {
        if (m_Engines[slot] && api.DeleteEngine[slot])
            api.DeleteEngine[slot](m_Engines[slot]);
        m_Engines[slot] = nullptr;
    }
    return WEXLOR_OK;
}
