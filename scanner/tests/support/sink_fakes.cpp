// Test helpers of the decomposition event sink (see sink_fakes.h).
#include "scanner/tests/support/sink_fakes.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sinktest {

namespace {

int32_t CopyOut(const std::string& text, char* buffer, int32_t size)
{
    if (!buffer || size < 1)
        return RAVERR_BAD_ARGUMENT;
    size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return 0;
}

}  // namespace

// ---- objects -------------------------------------------------------------

FakeObject::FakeObject(std::string name, int32_t type, FakeObject* parent, std::string dataFile)
    : m_Name(std::move(name)), m_DataFile(std::move(dataFile)), m_Type(type), m_Parent(parent),
      m_Depth(parent ? parent->m_Depth + 1 : 0)
{
}

int32_t FakeObject::GetName(char* buffer, int32_t size) { return CopyOut(m_Name, buffer, size); }

int32_t FakeObject::GetParent(IRavObject** parent)
{
    *parent = m_Parent;
    return 0;
}

int32_t FakeObject::GetDepth(int32_t* depth)
{
    *depth = m_Depth;
    return 0;
}

int32_t FakeObject::GetDataFile(char* buffer, int32_t size)
{
    return CopyOut(m_DataFile, buffer, size);
}

int32_t FakeObject::QueryRemovable(int32_t* flag)
{
    *flag = m_Removable;
    return 0;
}

int32_t FakeObject::QueryAncestorRemovable(int32_t* flag, int32_t* second)
{
    *flag = m_AncestorRemovable;
    *second = 0;
    return 0;
}

int32_t FakeObject::QueryModifiable(int32_t* flag)
{
    *flag = m_Modifiable;
    return 0;
}

int32_t FakeObject::GetProperty(const char* name, void** value)
{
    auto it = m_Properties.find(name);
    *value = it == m_Properties.end() ? nullptr : it->second;
    return 0;
}

int32_t FakeObject::SetProperty(const char* name, void* value)
{
    m_Properties[name] = value;
    return 0;
}

int32_t FakeObject::SetName(const char* name, int32_t)
{
    m_Name = name;
    return 0;
}

int32_t FakeObject::SetContentType(const char* type, int32_t)
{
    m_ContentType = type;
    return 0;
}

int32_t FakeObject::GetType(int32_t* type)
{
    *type = m_Type;
    return 0;
}

std::string FakeObject::Property(const std::string& name) const
{
    auto it = m_Properties.find(name);
    return it == m_Properties.end() || !it->second ? "" : static_cast<const char*>(it->second);
}

bool FakeObject::HasProperty(const std::string& name) const
{
    auto it = m_Properties.find(name);
    return it != m_Properties.end() && it->second;
}

FakeTree::FakeTree(std::string directory) : m_Directory(std::move(directory)) {}

FakeObject& FakeTree::Top(const std::string& name, int32_t type, const std::string& bytes)
{
    std::string path = m_Directory + "/object" + std::to_string(m_Objects.size());
    WriteBytes(path, bytes);
    m_Objects.push_back(std::make_unique<FakeObject>(name, type, nullptr, path));
    return *m_Objects.back();
}

FakeObject& FakeTree::Add(FakeObject& parent, const std::string& name, int32_t type,
                          const std::string& bytes)
{
    std::string path = m_Directory + "/object" + std::to_string(m_Objects.size());
    WriteBytes(path, bytes);
    m_Objects.push_back(std::make_unique<FakeObject>(name, type, &parent, path));
    FakeObject& object = *m_Objects.back();
    if (parent.m_Type == RAV_TYPE_MESSAGE) {
        object.m_Removable = true;
        object.m_Modifiable = true;
    }
    return object;
}

// ---- engine ----------------------------------------------------------------

namespace {

struct FakeVirus {
    std::string name;
    std::string id;
};

int g_EngineTag;

ZELHANDLE FakeInit(const char*, const char*, int32_t, uint16_t, int32_t, int32_t* error)
{
    *error = 0;
    return FakeEngineHandle();
}

int32_t FakeClose(ZELHANDLE) { return 0; }

int32_t FakeScan(ZELHANDLE engine, const char* path, const char* extension, int32_t,
                 ZELVIRUS* virus)
{
    *virus = nullptr;
    if (engine != FakeEngineHandle())
        return ZEL_ERR_BADARG;
    FakeEngineState& state = FakeEngine();
    ++state.scans;
    state.scannedFiles.push_back(path);
    state.extensions.push_back(extension);
    std::string bytes = ReadBytes(path);
    if (bytes.find("SCANFAIL") != std::string::npos)
        return ZEL_ERR_SCAN;
    size_t at = bytes.find("VIRUS:");
    if (at == std::string::npos)
        return 0;
    size_t colon = bytes.find(':', at + 6);
    size_t end = bytes.find_first_not_of("0123456789", colon + 1);
    auto* found = new FakeVirus{bytes.substr(at + 6, colon - at - 6),
                                bytes.substr(colon + 1, end - colon - 1)};
    ++state.liveHandles;
    *virus = reinterpret_cast<ZELVIRUS>(found);
    return 0;
}

int32_t FakeRepair(ZELHANDLE, const char* path, const char*)
{
    FakeEngineState& state = FakeEngine();
    ++state.repairs;
    if (state.repairAnswer == 0) {
        std::string bytes = ReadBytes(path);
        for (size_t at; (at = bytes.find("VIRUS:")) != std::string::npos;)
            bytes.replace(at, 6, "CLEAN:");
        WriteBytes(path, bytes);
    }
    return state.repairAnswer;
}

int32_t FakeInfo(ZELVIRUS virus, int32_t item, char* buffer, int32_t* size)
{
    auto* found = reinterpret_cast<FakeVirus*>(virus);
    const std::string& text = item == ZEL_INFO_NAME ? found->name : found->id;
    if (item != ZEL_INFO_NAME && item != ZEL_INFO_ID)
        return ZEL_ERR_BADARG;
    if (static_cast<int32_t>(text.size()) + 1 > *size) {
        *size = static_cast<int32_t>(text.size()) + 1;
        return ZEL_ERR_BUFFER;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

int32_t FakeFree(ZELVIRUS virus)
{
    delete reinterpret_cast<FakeVirus*>(virus);
    --FakeEngine().liveHandles;
    return 0;
}

int32_t FakeCount(ZELHANDLE, uint32_t* count)
{
    *count = 1;
    return 0;
}

int32_t FakeDbInfo(ZELHANDLE, uint32_t* block)
{
    for (int i = 1; i < 5; ++i)
        block[i] = 0;
    return 0;
}

}  // namespace

FakeEngineState& FakeEngine()
{
    static FakeEngineState state;
    return state;
}

void ResetFakeEngine() { FakeEngine() = FakeEngineState(); }

ZelEngineApi FakeEngineApi()
{
    return ZelEngineApi{FakeInit, FakeClose, FakeScan, FakeRepair,
                        FakeInfo, FakeFree,  FakeCount, FakeDbInfo};
}

ZELHANDLE FakeEngineHandle() { return reinterpret_cast<ZELHANDLE>(&g_EngineTag); }

// ---- callback --------------------------------------------------------------

void ScriptedCallback::Enter(const std::string& method, const std::string& detail,
                             int32_t context)
{
    calls.push_back(detail.empty() ? method : method + " " + detail);
    lastContext = context;
    if (throwIn == method)
        throw std::runtime_error("callback failed");
}

int32_t ScriptedCallback::FillText(const std::string& text, char* buffer, int32_t size)
{
    if (size != WEXLOR_TEXT_SIZE)
        buffersClean = false;
    for (int32_t i = 0; i < size; ++i)
        if (buffer[i] != '\0')
            buffersClean = false;
    if (overfill) {
        std::memset(buffer, 'x', static_cast<size_t>(size));
        return 0;
    }
    return CopyOut(text, buffer, size);
}

int32_t ScriptedCallback::ShouldScan(const char* objectName, int32_t context)
{
    Enter("ShouldScan", objectName, context);
    auto it = shouldScan.find(objectName);
    return it == shouldScan.end() ? shouldScanDefault : it->second;
}

int32_t ScriptedCallback::OnVirusFound(const char* objectName, const char*,
                                       const char* virusName, int32_t, int32_t context)
{
    Enter("OnVirusFound", std::string(objectName) + " " + virusName, context);
    return virusFound;
}

int32_t ScriptedCallback::OnRepairFailed(const char* objectName, const char*,
                                         const char* virusName, int32_t, int32_t context)
{
    Enter("OnRepairFailed", std::string(objectName) + " " + virusName, context);
    return repairFailed;
}

int32_t ScriptedCallback::GetDeletedText(const char* objectName, const char* virusName,
                                         char* text, int32_t size)
{
    Enter("GetDeletedText", std::string(objectName) + " " + virusName, lastContext);
    FillText(deletedText, text, size);
    return deletedAnswer;
}

int32_t ScriptedCallback::FilterAttachment(const char* objectName, int32_t context)
{
    Enter("FilterAttachment", objectName, context);
    auto it = filter.find(objectName);
    return it == filter.end() ? filterDefault : it->second;
}

int32_t ScriptedCallback::GetBlockedText(const char* objectName, char* text, int32_t size)
{
    Enter("GetBlockedText", objectName, lastContext);
    FillText(blockedText, text, size);
    return blockedAnswer;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

}  // namespace sinktest
