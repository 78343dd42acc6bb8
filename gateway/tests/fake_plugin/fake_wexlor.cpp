// libFakeWexlor.so: the scripted scanner plug-in of the gateway's tests
// (see fake_wexlor.h). Exports WexlorGetScanner and FakeWexlorGetControl.
#include "gateway/tests/fake_plugin/fake_wexlor.h"

#include <string.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

FakeWexlorControl g_ControlBlock;
FakeWexlorControl* const g_Control = &g_ControlBlock;

// Reference counting shared by every object of the fake.
template <typename Interface>
class Counted : public Interface {
public:
    Counted() { ++g_Control->liveObjects; }
    int32_t QueryInterface(int32_t id, void** out) override {
        if (!out)
            return WEXLOR_NO_INTERFACE;
        *out = nullptr;
        if (!accepts(id))
            return WEXLOR_NO_INTERFACE;
        *out = static_cast<Interface*>(this);
        this->AddRef();
        return WEXLOR_OK;
    }
    int32_t AddRef() override { return ++m_Count; }
    int32_t Release() override {
        int32_t count = --m_Count;
        if (count == 0)
            delete this;
        return count;
    }

protected:
    virtual bool accepts(int32_t id) { return id == WEXLOR_IID_OBJECT; }
    ~Counted() override { --g_Control->liveObjects; }

private:
    std::atomic<int32_t> m_Count{0};
};

class FakeItem final : public Counted<IVirusItem> {
public:
    explicit FakeItem(const FakeScanItem& item)
        : m_VirusName(item.virusName ? item.virusName : ""),
          m_VirusId(item.virusId),
          m_Status(item.status) {
        for (int32_t i = 0; i < item.nameCount && i < 4; ++i)
            m_Names.push_back(item.names[i] ? item.names[i] : "");
    }
    int32_t GetNameCount() override { return static_cast<int32_t>(m_Names.size()); }
    const char* GetName(uint32_t index) override {
        return index < m_Names.size() ? m_Names[index].c_str() : nullptr;
    }
    const char* GetVirusName() override { return m_VirusName.c_str(); }
    int32_t GetVirusId() override { return m_VirusId; }
    int32_t GetStatus() override { return m_Status; }
    int32_t AddName(const char* name) override {
        if (!name)
            return 0;
        m_Names.push_back(name);
        return 1;
    }

private:
    std::vector<std::string> m_Names;
    std::string m_VirusName;
    int32_t m_VirusId;
    int32_t m_Status;
};

class FakeResult final : public Counted<IScanResult> {
public:
    explicit FakeResult(const FakeScanOutcome& outcome) : m_FileName(outcome.fileName ? outcome.fileName : "") {
        for (int32_t i = 0; i < outcome.itemCount && i < 16; ++i) {
            FakeItem* item = new FakeItem(outcome.items[i]);
            item->AddRef();
            m_Items.push_back(item);
        }
    }
    int32_t GetItemCount() override { return static_cast<int32_t>(m_Items.size()); }
    int32_t GetItem(uint32_t index, IVirusItem** out) override {
        if (!out || index >= m_Items.size())
            return WEXLOR_OUT_OF_RANGE;
        return m_Items[index]->QueryInterface(WEXLOR_IID_OBJECT, reinterpret_cast<void**>(out));
    }
    int32_t GetReasonCount() override { return 0; }
    int32_t GetReason(uint32_t) override { return 0; }
    const char* GetFileName() override { return m_FileName.c_str(); }
    int32_t CountLeft() override { return count(WEXLOR_STATUS_LEFT, -1); }
    int32_t CountRepaired() override { return count(WEXLOR_STATUS_REPAIRED, -1); }
    int32_t CountDeleted() override { return count(WEXLOR_STATUS_DELETED, WEXLOR_STATUS_BLOCKED); }

protected:
    ~FakeResult() override {
        for (FakeItem* item : m_Items) item->Release();
    }

private:
    int32_t count(int32_t a, int32_t b) {
        int32_t n = 0;
        for (FakeItem* item : m_Items) n += item->GetStatus() == a || item->GetStatus() == b;
        return n;
    }
    std::string m_FileName;
    std::vector<FakeItem*> m_Items;
};

class FakeDefsInfo final : public Counted<IDefsInfo> {
public:
    int64_t GetDate() override { return g_Control->defsDate; }
    uint32_t GetRevision() override { return g_Control->defsRevision; }
    uint32_t GetVirusCount() override { return 1; }
    const char* GetDefsDir() override { return ""; }
    uint32_t GetDBInfo() override { return g_Control->dbInfo; }
};

void copyText(char* to, const char* from) {
    strncpy(to, from ? from : "", 255);
    to[255] = '\0';
}

class FakeScanner final : public Counted<IWexlorner> {
public:
    int32_t Initialize(const char* applicationId, const char* engineIniPath, const char* tempDir,
                       int32_t heuristicLevel) override {
        ++g_Control->initializeCalls;
        if (g_Control->engineRunning)
            return WEXLOR_FAILED;
        copyText(g_Control->lastApplicationId, applicationId);
        copyText(g_Control->lastEngineConfigPath, engineIniPath);
        copyText(g_Control->lastTempDir, tempDir);
        g_Control->lastLevel = heuristicLevel;
        int32_t code = g_Control->initializeResult;
        if (code == WEXLOR_OK)
            g_Control->engineRunning = true;
        return code;
    }
    int32_t SetHeuristicLevel(int32_t level) override {
        ++g_Control->setLevelCalls;
        if (level < 0 || level > 3)
            return WEXLOR_OUT_OF_RANGE;
        g_Control->lastLevel = level;
        return WEXLOR_OK;
    }
    int32_t DecomposeAndScan(const char* path, int32_t level, IScanCallback* callback,
                             int32_t context, IScanResult** out) override {
        return DecomposeAndScanEx(path, level, callback, context, out, 0);
    }
    int32_t ScanFile(const char*, int32_t, IVirusItem** out) override {
        if (out)
            *out = nullptr;
        return WEXLOR_FAILED;
    }
    int32_t ReloadDefs() override {
        ++g_Control->reloadCalls;
        if (!g_Control->engineRunning)
            return WEXLOR_NOT_INITIALIZED;
        int32_t code = g_Control->reloadResult;
        if (code != WEXLOR_OK && code != WEXLOR_DEFS_CURRENT && g_Control->failedReloadStops)
            g_Control->engineRunning = false;
        return code;
    }
    int32_t NewerDefsAvailable() override { return 0; }
    int32_t GetDefsInfo(IDefsInfo** out) override {
        if (!out)
            return WEXLOR_DEFS_UNUSABLE;
        *out = nullptr;
        int32_t code = g_Control->defsInfoResult;
        if (code != WEXLOR_OK)
            return code;
        return (new FakeDefsInfo())->QueryInterface(WEXLOR_IID_OBJECT, reinterpret_cast<void**>(out));
    }
    int32_t PrepareDefsUpdate(char*, int32_t) override { return WEXLOR_FAILED; }
    int32_t FinishDefsUpdate() override { return WEXLOR_FAILED; }
    int32_t DecomposeAndScanFiltered(const char* path, int32_t level, IScanCallback* callback,
                                     int32_t context, IScanResult** out) override {
        return DecomposeAndScanEx(path, level, callback, context, out, 0);
    }
    int32_t DecomposeAndScanEx(const char* path, int32_t level, IScanCallback* callback,
                               int32_t, IScanResult** out, int32_t) override {
        ++g_Control->scanCalls;
        if (!g_Control->engineRunning)
            return WEXLOR_NOT_INITIALIZED;
        if (out)
            *out = nullptr;
        g_Control->lastActionLevel = level;
        FakeScanOutcome outcome;
        if (g_Control->scanHook)
            g_Control->scanHook(g_Control->scanHookArgument, path, level, callback, &outcome);
        if (outcome.makeResult && out)
            (new FakeResult(outcome))->QueryInterface(WEXLOR_IID_OBJECT, reinterpret_cast<void**>(out));
        return outcome.code;
    }

protected:
    bool accepts(int32_t id) override { return id >= 0 && id <= 2; }
};

}  // namespace

FAKE_EXPORT int32_t WexlorGetScanner(int32_t interfaceId, void** out) {
    if (!out)
        return WEXLOR_NO_INTERFACE;
    *out = nullptr;
    int32_t code = g_Control->getScannerResult;
    if (code != WEXLOR_OK)
        return code;
    FakeScanner* scanner = new FakeScanner();
    code = scanner->QueryInterface(interfaceId, out);
    if (code != WEXLOR_OK)
        delete scanner;
    return code;
}

FAKE_EXPORT FakeWexlorControl* FakeWexlorGetControl(int32_t reset) {
    if (reset) {
        g_Control->~FakeWexlorControl();
        new (g_Control) FakeWexlorControl();
    }
    return g_Control;
}
