// The scanner object on fake components: an engine that records starts and
// closes and refuses a dead handle, a decomposition object whose Process
// answers what the test scripts, and format engines that record their
// making and deletion. The definitions store is a real one (the store
// fixture), so set moves are checked where the store records them.
#include "scanner/wexlor_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/support/files.h"
#include "core/tests/support/scoped_env.h"
#include "defs/tests/support/store_fixture.h"
#include "platform/file_ops.h"
#include "platform/registry.h"

namespace {

// ------------------------------------------------------------- fake engine

struct FakeEngineObject {
    std::string dir;
    int level;
};

struct FakeVirus {
    std::string name;
};

struct EngineRecord {
    std::mutex mutex;
    std::set<FakeEngineObject*> live;
    int starts = 0;
    int closes = 0;
    std::string lastIni;
    // A start on a directory ending in this name, or at this level, fails
    // with startError.
    std::string brokenSet;
    int brokenLevel = -1;
    int32_t startError = ZEL_ERR_DEFS;
    bool repairs = false;
    std::string virusName = "Fake.Virus";
    std::atomic<int> deadHandleUses{0};
};

EngineRecord* g_Engine = nullptr;

bool Live(ZELHANDLE handle) {
    std::lock_guard<std::mutex> hold(g_Engine->mutex);
    return g_Engine->live.count(reinterpret_cast<FakeEngineObject*>(handle)) > 0;
}

ZELHANDLE FakeInit(const char* dir, const char* ini, int32_t, uint16_t level, int32_t,
                   int32_t* error) {
    std::lock_guard<std::mutex> hold(g_Engine->mutex);
    const std::string d = dir;
    g_Engine->lastIni = ini;
    if ((!g_Engine->brokenSet.empty() && d.size() >= g_Engine->brokenSet.size() &&
         d.compare(d.size() - g_Engine->brokenSet.size(), std::string::npos, g_Engine->brokenSet) ==
             0) ||
        level == g_Engine->brokenLevel) {
        *error = g_Engine->startError;
        return nullptr;
    }
    if (level > 3) {
        *error = ZEL_ERR_ARGUMENT;
        return nullptr;
    }
    auto* engine = new FakeEngineObject{d, level};
    g_Engine->live.insert(engine);
    ++g_Engine->starts;
    *error = ZEL_OK;
    return reinterpret_cast<ZELHANDLE>(engine);
}

int32_t FakeClose(ZELHANDLE handle) {
    std::lock_guard<std::mutex> hold(g_Engine->mutex);
    auto* engine = reinterpret_cast<FakeEngineObject*>(handle);
    if (!g_Engine->live.erase(engine))
        return ZEL_ERR_BADARG;
    delete engine;
    ++g_Engine->closes;
    return ZEL_OK;
}

// A file holding "VIRUS" is infected.
int32_t FakeScan(ZELHANDLE handle, const char* path, const char*, int32_t, ZELVIRUS* virus) {
    *virus = nullptr;
    if (!Live(handle)) {
        ++g_Engine->deadHandleUses;
        return ZEL_ERR_BADARG;
    }
    if (!platform::PathExists(path))
        return ZEL_ERR_READ;
    if (testsupport::ReadWhole(path).find("VIRUS") != std::string::npos)
        *virus = reinterpret_cast<ZELVIRUS>(new FakeVirus{g_Engine->virusName});
    return ZEL_OK;
}

int32_t FakeRepair(ZELHANDLE handle, const char* path, const char*) {
    if (!Live(handle))
        return ZEL_ERR_BADARG;
    if (!g_Engine->repairs)
        return ZEL_ERR_NOT_REPAIRABLE;
    testsupport::WriteWhole(path, "clean now");
    return ZEL_OK;
}

int32_t FakeInfo(ZELVIRUS virus, int32_t item, char* buffer, int32_t* size) {
    auto* v = reinterpret_cast<FakeVirus*>(virus);
    const std::string text = item == ZEL_INFO_ID ? "4242" : v->name;
    if (static_cast<int32_t>(text.size()) + 1 > *size) {
        *size = static_cast<int32_t>(text.size()) + 1;
        return ZEL_ERR_BUFFER;
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    return ZEL_OK;
}

int32_t FakeFree(ZELVIRUS virus) {
    delete reinterpret_cast<FakeVirus*>(virus);
    return ZEL_OK;
}

int32_t FakeCount(ZELHANDLE, uint32_t* count) {
    *count = 77;
    return ZEL_OK;
}

int32_t FakeDBInfo(ZELHANDLE, uint32_t* block) {
    block[4] = 99;
    return ZEL_OK;
}

// ------------------------------------------------- fake decomposition side

class FakeFormatEngine final : public IRavEngine {
public:
    explicit FakeFormatEngine(int slot) : m_Slot(slot) {}
    const char* GetFormatName() override { return "FAKE"; }
    int32_t GetObjectType() override { return RAV_TYPE_ARCHIVE; }
    int32_t Recognise(const char*, const unsigned char*, uint32_t) override { return 0; }
    const char* Identify(const unsigned char*, uint32_t) override { return nullptr; }
    int32_t GetCapabilities() override { return 0; }
    int32_t Extract(const char*, const char*, const RavLimits*, IRavMemberList*) override {
        return 0;
    }
    int32_t Rebuild(const char*, const RavMemberEdit*, uint32_t, const char*,
                    const RavLimits*) override {
        return RAVERR_REBUILD;
    }
    int m_Slot;
};

class FakeFileObject final : public IRavObject {
public:
    int32_t GetName(char* buffer, int32_t) override { return buffer[0] = 0; }
    int32_t GetParent(IRavObject** parent) override { return *parent = nullptr, 0; }
    int32_t GetDepth(int32_t* depth) override { return *depth = 0; }
    int32_t GetDataFile(char* buffer, int32_t) override { return buffer[0] = 0; }
    int32_t QueryRemovable(int32_t* flag) override { return *flag = 0; }
    int32_t QueryAncestorRemovable(int32_t* flag, int32_t* second) override {
        return *flag = *second = 0;
    }
    int32_t QueryModifiable(int32_t* flag) override { return *flag = 0; }
    int32_t GetProperty(const char*, void** value) override { return *value = nullptr, 0; }
    int32_t SetProperty(const char*, void*) override { return 0; }
    int32_t SetName(const char*, int32_t) override { return 0; }
    int32_t SetContentType(const char*, int32_t) override { return 0; }
    int32_t GetType(int32_t* type) override { return *type = RAV_TYPE_MESSAGE, 0; }
};

struct RavelRecord {
    std::vector<int> added;  // slots in the order AddEngine saw them
    std::string tempDir;
    std::vector<int> made;                     // slots in creation order
    std::vector<std::pair<int, int>> deleted;  // (function's slot, engine's slot)
    bool newRavelFails = false;
    int ravels = 0;
    int fileObjects = 0;
    // What Process answers.
    int32_t processResult = 0;
    uint16_t state = RAV_STATE_UNCHANGED;
    std::string newName;
    int32_t reasonToAdd = 0;  // reported through the sink's onObjectError first
};

RavelRecord* g_Ravel = nullptr;

class FakeRavel final : public IRavel {
public:
    int32_t AddEngine(IRavEngine* engine) override {
        g_Ravel->added.push_back(static_cast<FakeFormatEngine*>(engine)->m_Slot);
        return 0;
    }
    int32_t RemoveEngines() override { return 0; }
    int32_t SetTempDir(const char* directory) override {
        g_Ravel->tempDir = directory;
        return 0;
    }
    int32_t Process(IRavObject* file, IRavelEvents* sink, uint16_t* state, char* newName,
                    int32_t size) override {
        if (g_Ravel->reasonToAdd) {
            uint16_t word = 0;
            sink->onObjectError(file, g_Ravel->reasonToAdd, &word, 0);
        }
        *state = g_Ravel->state;
        snprintf(newName, static_cast<size_t>(size), "%s", g_Ravel->newName.c_str());
        return g_Ravel->processResult;
    }
};

int32_t FakeNewRavel(IRavel** out) {
    *out = nullptr;
    if (g_Ravel->newRavelFails)
        return RAVERR_NO_MEMORY;
    ++g_Ravel->ravels;
    *out = new FakeRavel;
    return 0;
}

int32_t FakeDeleteRavel(IRavel* ravel) {
    --g_Ravel->ravels;
    delete ravel;
    return 0;
}

int32_t FakeNewFile(const char* path, const char*, IRavObject** out) {
    *out = nullptr;
    if (!platform::PathExists(path))
        return RAVERR_CANNOT_OPEN;
    ++g_Ravel->fileObjects;
    *out = new FakeFileObject;
    return 0;
}

int32_t FakeDeleteFile(IRavObject* object) {
    --g_Ravel->fileObjects;
    delete object;
    return 0;
}

template <int Slot>
int32_t FakeNewEngine(IRavEngine** out) {
    g_Ravel->made.push_back(Slot);
    *out = new FakeFormatEngine(Slot);
    return 0;
}

template <int Slot>
int32_t FakeDeleteEngine(IRavEngine* engine) {
    g_Ravel->deleted.emplace_back(Slot, static_cast<FakeFormatEngine*>(engine)->m_Slot);
    delete engine;
    return 0;
}

template <int... Slots>
void FillEngines(RavelApi& api, std::integer_sequence<int, Slots...>) {
    ((api.NewEngine[Slots] = FakeNewEngine<Slots>), ...);
    ((api.DeleteEngine[Slots] = FakeDeleteEngine<Slots>), ...);
}

WexlorComponents FakeComponents() {
    WexlorComponents c{};
    c.engine.EngineInit = FakeInit;
    c.engine.EngineClose = FakeClose;
    c.engine.ScanFile = FakeScan;
    c.engine.RepairFile = FakeRepair;
    c.engine.GetVirusInfo = FakeInfo;
    c.engine.FreeVirusHandle = FakeFree;
    c.engine.GetVirusDefCount = FakeCount;
    c.engine.GetVirusDBInfoEx = FakeDBInfo;
    c.ravel.NewRavel = FakeNewRavel;
    c.ravel.DeleteRavel = FakeDeleteRavel;
    c.ravel.NewFileObject = FakeNewFile;
    c.ravel.DeleteFileObject = FakeDeleteFile;
    FillEngines(c.ravel, std::make_integer_sequence<int, kRavEngineCount>());
    // As the real table: the TNEF engine goes through the RTF library.
    c.ravel.DeleteEngine[kRavTNEF] = FakeDeleteEngine<kRavRTF>;
    return c;
}

constexpr const char* kApp = "ZELORM_20";
constexpr const char* kRavelKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Ravel\\2.0";

class ScannerTest : public defstest::StoreTest {
protected:
    ScannerTest() : m_Events("ZELORM_EVENTLOG", m_Temp.Path("events.log")) {
        g_Engine = &m_EngineRecord;
        g_Ravel = &m_RavelRecord;
        SetWexlorComponents(FakeComponents());
        ResetWexlorStateForTest();
        platform::MakeDirectory(m_Temp.Path("scan").c_str(), 0700);
    }
    ~ScannerTest() override {
        EXPECT_EQ(0, WexlorScannerCount()) << "a scanner outlived its test";
        EXPECT_EQ(0u, m_EngineRecord.live.size()) << "an engine was left running";
        EXPECT_EQ(0, m_RavelRecord.ravels);
        EXPECT_EQ(0, m_RavelRecord.fileObjects);
        EXPECT_EQ(0, m_EngineRecord.deadHandleUses.load());
    }

    static IWexlorner* NewScanner() {
        void* out = nullptr;
        EXPECT_EQ(WEXLOR_OK, (new CScanner)->QueryInterface(WEXLOR_IID_SCANNER, &out));
        return static_cast<IWexlorner*>(out);
    }
    // A scanner initialised on the newest installed set.
    IWexlorner* Ready(int level = 0) {
        IWexlorner* scanner = NewScanner();
        EXPECT_EQ(WEXLOR_OK,
                  scanner->Initialize(kApp, "/etc/engine.ini", m_Temp.Path("scan").c_str(), level));
        return scanner;
    }
    std::string File(const std::string& name, const std::string& bytes) {
        const std::string path = m_Temp.Path(name);
        testsupport::WriteWhole(path, bytes);
        return path;
    }
    std::string Events() {
        return platform::PathExists(m_Temp.Path("events.log").c_str())
                   ? testsupport::ReadWhole(m_Temp.Path("events.log"))
                   : "";
    }
    FakeEngineObject* Running() {
        return reinterpret_cast<FakeEngineObject*>(WexlorEngineHandle());
    }

    EngineRecord m_EngineRecord;
    RavelRecord m_RavelRecord;
    testsupport::ScopedEnv m_Events;
};

// ------------------------------------------------------------------- tests

TEST_F(ScannerTest, HandsOutItselfForIdsZeroToTwoOnly) {
    for (int32_t id : {0, 1, 2}) {
        IWexlorner* scanner = NewScanner();
        void* again = nullptr;
        EXPECT_EQ(WEXLOR_OK, scanner->QueryInterface(id, &again));
        EXPECT_EQ(scanner, again);
        EXPECT_EQ(1, scanner->Release());
        EXPECT_EQ(0, scanner->Release());
    }
    IWexlorner* scanner = NewScanner();
    void* out = &out;
    EXPECT_EQ(WEXLOR_NO_INTERFACE, scanner->QueryInterface(3, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(WEXLOR_NO_INTERFACE, scanner->QueryInterface(0, nullptr));
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(ScannerTest, ReferencesCountedFromManyThreadsDestroyOnce) {
    ASSERT_EQ(1, Install(20260101, 1));
    IWexlorner* scanner = Ready();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([scanner] {
            for (int i = 0; i < 5000; ++i) {
                scanner->AddRef();
                scanner->Release();
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(1, WexlorScannerCount());
    EXPECT_EQ(0, scanner->Release());
    EXPECT_EQ(0, WexlorScannerCount());
    EXPECT_EQ(1, m_EngineRecord.closes) << "the last release closes the engine";
}

TEST_F(ScannerTest, InitializeStartsTheEngineOnTheNewestSetAndBuildsTheDecomposer) {
    ASSERT_EQ(1, Install(20260101, 1));
    IWexlorner* scanner = Ready(2);
    ASSERT_NE(nullptr, Running());
    EXPECT_EQ(InRoot("20260101.001"), Running()->dir);
    EXPECT_EQ(2, Running()->level);
    EXPECT_EQ("/etc/engine.ini", m_EngineRecord.lastIni);
    EXPECT_EQ(InRoot("20260101.001"), RegText(defstest::kSharedDefs, kApp));
    EXPECT_EQ(m_Temp.Path("scan"), m_RavelRecord.tempDir);
    // Made in the library order, CAB and LZ last; added in field order.
    EXPECT_EQ((std::vector<int>{kRavID, kRavMIME, kRavZip, kRavLHA, kRavUUE, kRavARJ, kRavGZIP,
                                kRavTAR, kRavSS, kRavAMG, kRavRTF, kRavTNEF, kRavCAB, kRavLZ}),
              m_RavelRecord.made);
    EXPECT_EQ((std::vector<int>{kRavID, kRavMIME, kRavZip, kRavLHA, kRavUUE, kRavARJ, kRavGZIP,
                                kRavTAR, kRavSS, kRavAMG, kRavCAB, kRavLZ, kRavRTF, kRavTNEF}),
              m_RavelRecord.added);

    // A second Initialize changes nothing.
    EXPECT_EQ(WEXLOR_FAILED, scanner->Initialize("OTHER", "", "/elsewhere", 1));
    EXPECT_EQ(1, m_EngineRecord.starts);
    EXPECT_EQ(m_Temp.Path("scan"), m_RavelRecord.tempDir);

    EXPECT_EQ(0, scanner->Release());
    // The TNEF engine is deleted through the RTF library's function.
    std::vector<std::pair<int, int>> expected;
    for (int slot : {kRavID, kRavMIME, kRavZip, kRavLHA, kRavUUE, kRavARJ, kRavGZIP, kRavTAR,
                     kRavSS, kRavAMG, kRavRTF, kRavTNEF, kRavCAB, kRavLZ})
        expected.emplace_back(slot == kRavTNEF ? kRavRTF : slot, slot);
    EXPECT_EQ(expected, m_RavelRecord.deleted);
}

TEST_F(ScannerTest, InitCabValueOfZeroAloneLeavesTheCabEngineOut) {
    ASSERT_EQ(1, Install(20260101, 1));
    struct Case {
        const char* what;
        bool write;
        uint32_t type;
        std::string bytes;
        bool cab;
    } cases[] = {
        {"absent", false, 0, "", true},
        {"dword 1", true, platform::kRegDword, std::string("\1\0\0\0", 4), true},
        {"dword 0", true, platform::kRegDword, std::string("\0\0\0\0", 4), false},
        {"text 0", true, platform::kRegSz, "0", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::RegDeleteKey(kRavelKey);
        if (c.write) {
            ASSERT_EQ(platform::kRegSuccess, platform::RegCreateKey(kRavelKey));
            ASSERT_EQ(platform::kRegSuccess,
                      platform::RegWriteValue(kRavelKey, "Init CAB", c.type, c.bytes.data(),
                                              c.bytes.size()));
        }
        m_RavelRecord.added.clear();
        m_RavelRecord.made.clear();
        IWexlorner* scanner = Ready();
        EXPECT_EQ(c.cab ? 14u : 13u, m_RavelRecord.added.size());
        EXPECT_EQ(c.cab,
                  std::count(m_RavelRecord.made.begin(), m_RavelRecord.made.end(), kRavCAB) == 1);
        EXPECT_EQ(0, scanner->Release());
    }
}

TEST_F(ScannerTest, InitializeFailuresAnswerTheirCodes) {
    {
        SCOPED_TRACE("no store");
        IWexlorner* scanner = NewScanner();
        EXPECT_EQ(WEXLOR_DEFS_UNUSABLE, scanner->Initialize(kApp, "", "", 0));
        EXPECT_EQ(WEXLOR_DEFS_UNUSABLE, scanner->Initialize(nullptr, nullptr, nullptr, 0));
        EXPECT_EQ(0, scanner->Release());
    }
    ASSERT_EQ(1, Install(20260101, 1));
    // The store object read the root when first used, before there was one.
    ResetWexlorStateForTest();
    struct Case {
        int32_t engineError;
        int32_t level;
        int32_t expected;
    } cases[] = {
        {ZEL_ERR_ARGUMENT, 1, WEXLOR_OUT_OF_RANGE},
        {ZEL_ERR_MEMORY, 1, WEXLOR_OUT_OF_MEMORY},
        {ZEL_ERR_DEFS, 1, WEXLOR_FAILED},
        {ZEL_OK, 7, WEXLOR_OUT_OF_RANGE},  // the level is the engine's to refuse
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        m_EngineRecord.brokenLevel = c.engineError == ZEL_OK ? -1 : c.level;
        m_EngineRecord.startError = c.engineError;
        IWexlorner* scanner = NewScanner();
        EXPECT_EQ(c.expected, scanner->Initialize(kApp, "", "", c.level));
        EXPECT_EQ(nullptr, WexlorEngineHandle());
        // Not running: Initialize may be called again.
        m_EngineRecord.brokenLevel = -1;
        EXPECT_EQ(WEXLOR_OK, scanner->Initialize(kApp, "", "", 0));
        EXPECT_EQ(0, scanner->Release());
    }
}

TEST_F(ScannerTest, WithoutADecomposerScansAnswer517InsteadOfCrashing) {
    ASSERT_EQ(1, Install(20260101, 1));
    const std::string message = File("m.eml", "Subject: x\r\n\r\nhello\r\n");
    m_RavelRecord.newRavelFails = true;
    IWexlorner* scanner = NewScanner();
    EXPECT_EQ(WEXLOR_NO_DECOMPOSER, scanner->Initialize(kApp, "", "", 0));
    EXPECT_NE(nullptr, WexlorEngineHandle()) << "the engine runs without a decomposer";
    EXPECT_EQ(WEXLOR_FAILED, scanner->Initialize(kApp, "", "", 0));

    // A second scanner never initialised has none either.
    IWexlorner* second = NewScanner();
    for (IWexlorner* s : {scanner, second}) {
        IScanResult* result = reinterpret_cast<IScanResult*>(&result);
        EXPECT_EQ(WEXLOR_NO_DECOMPOSER,
                  s->DecomposeAndScan(message.c_str(), 3, nullptr, 0, &result));
        EXPECT_EQ(nullptr, result);
        EXPECT_EQ(WEXLOR_NO_DECOMPOSER,
                  s->DecomposeAndScanEx(message.c_str(), 3, nullptr, 0, &result, 0));
        EXPECT_EQ(nullptr, result);
    }
    EXPECT_EQ(0, second->Release());
    EXPECT_EQ(0, m_EngineRecord.closes) << "another scanner still lives";
    EXPECT_EQ(0, scanner->Release());
    EXPECT_EQ(1, m_EngineRecord.closes);
}

TEST_F(ScannerTest, HeuristicLevelChanges) {
    IWexlorner* scanner = NewScanner();
    EXPECT_EQ(WEXLOR_OUT_OF_RANGE, scanner->SetHeuristicLevel(4));
    EXPECT_EQ(WEXLOR_OUT_OF_RANGE, scanner->SetHeuristicLevel(-1));
    EXPECT_EQ(WEXLOR_NOT_INITIALIZED, scanner->SetHeuristicLevel(2));
    EXPECT_EQ(0, scanner->Release());

    ASSERT_EQ(1, Install(20260101, 1));
    scanner = Ready(1);
    EXPECT_EQ(WEXLOR_OK, scanner->SetHeuristicLevel(1));
    EXPECT_EQ(1, m_EngineRecord.starts) << "the current level restarts nothing";

    EXPECT_EQ(WEXLOR_OK, scanner->SetHeuristicLevel(2));
    EXPECT_EQ(2, m_EngineRecord.starts);
    EXPECT_EQ(1, m_EngineRecord.closes);
    EXPECT_EQ(2, Running()->level);

    // A restart that fails keeps the running engine and its level.
    m_EngineRecord.brokenLevel = 3;
    FakeEngineObject* before = Running();
    EXPECT_EQ(WEXLOR_FAILED, scanner->SetHeuristicLevel(3));
    EXPECT_EQ(before, Running());
    EXPECT_EQ(1, m_EngineRecord.closes);
    EXPECT_NE(std::string::npos, Events().find("at heuristic level 3: error 65535"));
    EXPECT_NE(std::string::npos, Events().find("goes on with the definitions in \"" +
                                               InRoot("20260101.001") + "\" at level 2"));
    IVirusItem* item = nullptr;
    EXPECT_EQ(WEXLOR_OK, scanner->ScanFile(File("v", "VIRUS").c_str(), 0, &item));
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(0, item->Release());
    // The level stays what runs: asking for 2 again restarts nothing.
    EXPECT_EQ(WEXLOR_OK, scanner->SetHeuristicLevel(2));
    EXPECT_EQ(2, m_EngineRecord.starts);
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(ScannerTest, ReloadMovesToANewerSetAndKeepsTheOldOneWhenTheNewFails) {
    IWexlorner* scanner = NewScanner();
    EXPECT_EQ(WEXLOR_NOT_INITIALIZED, scanner->ReloadDefs());
    EXPECT_EQ(0, scanner->Release());

    ASSERT_EQ(1, Install(20260101, 1));
    scanner = Ready();
    EXPECT_EQ(0, scanner->NewerDefsAvailable());
    EXPECT_EQ(WEXLOR_DEFS_CURRENT, scanner->ReloadDefs());
    EXPECT_EQ(1, m_EngineRecord.starts);

    ASSERT_EQ(1, Install(20260102, 1));
    EXPECT_EQ(1, scanner->NewerDefsAvailable());
    EXPECT_EQ(WEXLOR_OK, scanner->ReloadDefs());
    EXPECT_EQ(InRoot("20260102.001"), Running()->dir);
    EXPECT_EQ(1, m_EngineRecord.closes);
    EXPECT_EQ(InRoot("20260102.001"), RegText(defstest::kSharedDefs, kApp));
    EXPECT_EQ(0, scanner->NewerDefsAvailable());

    // A newer set the engine cannot start on.
    ASSERT_EQ(1, Install(20260103, 1));
    m_EngineRecord.brokenSet = "20260103.001";
    FakeEngineObject* before = Running();
    EXPECT_EQ(WEXLOR_FAILED, scanner->ReloadDefs());
    EXPECT_EQ(before, Running());
    EXPECT_EQ(InRoot("20260102.001"), Running()->dir);
    // The store still names the set the engine runs on.
    EXPECT_EQ(InRoot("20260102.001"), RegText(defstest::kSharedDefs, kApp));
    EXPECT_EQ(1, scanner->NewerDefsAvailable());
    EXPECT_TRUE(platform::PathExists(InRoot("20260102.001/VirScan1.dat").c_str()));
    EXPECT_NE(std::string::npos, Events().find("definitions reload"));
    EXPECT_NE(std::string::npos, Events().find(InRoot("20260103.001")));
    IDefsInfo* info = nullptr;
    ASSERT_EQ(WEXLOR_OK, scanner->GetDefsInfo(&info));
    EXPECT_EQ(InRoot("20260102.001"), info->GetDefsDir());
    EXPECT_EQ(77u, info->GetVirusCount());
    EXPECT_EQ(99u, info->GetDBInfo());
    EXPECT_EQ(0, info->Release());

    // Once the set is mended (here: the engine accepts it), a reload works.
    m_EngineRecord.brokenSet.clear();
    EXPECT_EQ(WEXLOR_OK, scanner->ReloadDefs());
    EXPECT_EQ(InRoot("20260103.001"), Running()->dir);
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(ScannerTest, ScansNeverUseAnEngineBeingSwapped) {
    ASSERT_EQ(1, Install(20260101, 1));
    IWexlorner* scanner = Ready();
    const std::string infected = File("v", "VIRUS");
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, scans{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (!stop) {
                IVirusItem* item = nullptr;
                if (scanner->ScanFile(infected.c_str(), 0, &item) != WEXLOR_OK || !item)
                    ++failures;
                else
                    item->Release();
                ++scans;
            }
        });
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(1, Install(20260102 + round, 1));
        if (round % 5 == 4)
            m_EngineRecord.brokenSet = std::to_string(20260102 + round) + ".001";
        const int32_t rc = scanner->ReloadDefs();
        EXPECT_EQ(round % 5 == 4 ? WEXLOR_FAILED : WEXLOR_OK, rc) << round;
        m_EngineRecord.brokenSet.clear();
        EXPECT_EQ(WEXLOR_OK, scanner->SetHeuristicLevel(round % 4));
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(scans.load(), 0);
    EXPECT_EQ(1u, m_EngineRecord.live.size());
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(ScannerTest, DecomposingScanResults) {
    ASSERT_EQ(1, Install(20260101, 1));
    const std::string message = File("m.eml", "Subject: x\r\n\r\nhello\r\n");
    IWexlorner* scanner = Ready();
    using Scan = std::function<int32_t(const char*, IScanResult**)>;
    const std::pair<const char*, Scan> kinds[] = {
        {"plain", [&](const char* p,
                      IScanResult** r) { return scanner->DecomposeAndScan(p, 3, nullptr, 0, r); }},
        {"filtered",
         [&](const char* p, IScanResult** r) {
             return scanner->DecomposeAndScanFiltered(p, 3, nullptr, 0, r);
         }},
        {"ex",
         [&](const char* p, IScanResult** r) {
             return scanner->DecomposeAndScanEx(p, 3, nullptr, 0, r, 0);
         }},
    };
    for (const auto& [kind, scan] : kinds) {
        SCOPED_TRACE(kind);
        const bool plain = std::string(kind) == "plain";
        IScanResult* result = nullptr;

        // A file the component cannot open: 518; only the plain scan hands
        // out a result, holding reason 100.
        EXPECT_EQ(WEXLOR_CANNOT_OPEN, scan(m_Temp.Path("missing").c_str(), &result));
        if (plain) {
            ASSERT_NE(nullptr, result);
            EXPECT_EQ(1, result->GetReasonCount());
            EXPECT_EQ(100, result->GetReason(0));
            EXPECT_EQ(0, result->Release());
        } else {
            EXPECT_EQ(nullptr, result);
        }

        // A failed decomposition: 65535; the filtered kinds keep a result
        // only when it holds reasons.
        m_RavelRecord.processResult = RAVERR_REBUILD;
        EXPECT_EQ(WEXLOR_FAILED, scan(message.c_str(), &result));
        EXPECT_EQ(plain, result != nullptr);
        if (result) {
            EXPECT_EQ(0, result->Release());
        }
        // A fault the sink recorded before the failure keeps the result.
        m_RavelRecord.reasonToAdd = RAVERR_LIMIT;
        EXPECT_EQ(WEXLOR_FAILED, scan(message.c_str(), &result));
        ASSERT_NE(nullptr, result);
        EXPECT_EQ(32, result->GetReason(0));
        EXPECT_EQ(plain ? 2 : 1, result->GetReasonCount());
        EXPECT_EQ(0, result->Release());
        m_RavelRecord.reasonToAdd = 0;
        m_RavelRecord.processResult = 0;

        // The final name by state; state 3 leaves the input where it is.
        struct Case {
            uint16_t state;
            std::string expected;
        } cases[] = {
            {RAV_STATE_UNCHANGED, message},
            {1, message},
            {RAV_STATE_REBUILT, m_Temp.Path("rebuilt.eml")},
            {RAV_STATE_DELETE, ""},
            {9, ""},
        };
        m_RavelRecord.newName = m_Temp.Path("rebuilt.eml");
        for (const Case& c : cases) {
            m_RavelRecord.state = c.state;
            ASSERT_EQ(WEXLOR_OK, scan(message.c_str(), &result)) << c.state;
            EXPECT_EQ(c.expected, result->GetFileName()) << c.state;
            EXPECT_EQ(0, result->Release());
            EXPECT_TRUE(platform::PathExists(message.c_str())) << c.state;
        }
        m_RavelRecord.state = RAV_STATE_UNCHANGED;
    }
    EXPECT_EQ(WEXLOR_FAILED, scanner->DecomposeAndScan(message.c_str(), 0, nullptr, 0, nullptr));
    EXPECT_EQ(0, scanner->Release());

    // Released: the engine is closed and a new scanner must be initialised.
    scanner = NewScanner();
    IScanResult* result = nullptr;
    EXPECT_EQ(WEXLOR_NOT_INITIALIZED,
              scanner->DecomposeAndScan(message.c_str(), 0, nullptr, 0, &result));
    EXPECT_EQ(nullptr, result);
    IVirusItem* item = nullptr;
    EXPECT_EQ(WEXLOR_NOT_INITIALIZED, scanner->ScanFile(message.c_str(), 0, &item));
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(ScannerTest, ScanFileReportsOneFinding) {
    ASSERT_EQ(1, Install(20260101, 1));
    IWexlorner* scanner = Ready();
    IVirusItem* item = reinterpret_cast<IVirusItem*>(&item);
    EXPECT_EQ(WEXLOR_OK, scanner->ScanFile(File("clean", "hello").c_str(), 1, &item));
    EXPECT_EQ(nullptr, item);
    EXPECT_EQ(WEXLOR_SCAN_FAILED, scanner->ScanFile(m_Temp.Path("missing").c_str(), 0, &item));
    EXPECT_EQ(nullptr, item);

    struct Case {
        bool repairs;
        int32_t repair;
        int32_t status;
    } cases[] = {{false, 1, WEXLOR_STATUS_LEFT},
                 {true, 0, WEXLOR_STATUS_LEFT},
                 {true, 1, WEXLOR_STATUS_REPAIRED}};
    // A name longer than the first buffer is read whole.
    m_EngineRecord.virusName = "Fake." + std::string(400, 'x');
    for (const Case& c : cases) {
        m_EngineRecord.repairs = c.repairs;
        const std::string path = File("infected.exe", "VIRUS");
        ASSERT_EQ(WEXLOR_OK, scanner->ScanFile(path.c_str(), c.repair, &item));
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(m_EngineRecord.virusName, item->GetVirusName());
        EXPECT_EQ(4242, item->GetVirusId());
        EXPECT_EQ(c.status, item->GetStatus());
        EXPECT_EQ(0, item->GetNameCount());
        EXPECT_EQ(0, item->Release());
    }
    EXPECT_EQ(0, scanner->Release());
}

TEST_F(ScannerTest, PrepareDefsUpdateHonoursTheCallersBufferSize) {
    ASSERT_EQ(1, Install(20260101, 1));
    IWexlorner* scanner = Ready();
    char buffer[16];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(WEXLOR_FAILED, scanner->PrepareDefsUpdate(buffer, 8));
    for (size_t i = 8; i < sizeof buffer; ++i) EXPECT_EQ('Z', buffer[i]) << i;
    EXPECT_EQ(WEXLOR_FAILED, scanner->PrepareDefsUpdate(nullptr, 8));
    EXPECT_EQ(WEXLOR_FAILED, scanner->PrepareDefsUpdate(buffer, 0));

    char dir[kDefsMaxPath];
    ASSERT_EQ(WEXLOR_OK, scanner->PrepareDefsUpdate(dir, sizeof dir));
    EXPECT_EQ(0, std::string(dir).rfind(Root(), 0)) << dir;
    DefsSetPlan plan = Plan(20260105, 2);
    ASSERT_EQ("", WriteDefsSet(dir, plan));
    EXPECT_EQ(WEXLOR_OK, scanner->FinishDefsUpdate());
    EXPECT_EQ(1, scanner->NewerDefsAvailable());
    EXPECT_EQ(WEXLOR_OK, scanner->ReloadDefs());
    EXPECT_EQ(InRoot("20260105.002"), Running()->dir);
    EXPECT_EQ(0, scanner->Release());
}

}  // namespace
