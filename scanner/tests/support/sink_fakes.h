// Test helpers of the decomposition event sink: a scripted object tree, an
// engine table of our own, and a scripted callback.
//
//   FakeObject        one IRavObject: name, type, parent, data file, flags,
//                     properties; records what the sink sets on it
//   FakeTree          owns a tree of FakeObjects whose data files lie in a
//                     test's temporary directory
//   FakeEngine        a ZelEngineApi that finds "VIRUS:<name>:<id>" in a
//                     file, fails on "SCANFAIL", and repairs or not as told
//   ScriptedCallback  an IScanCallback answering from fields, recording calls
//   ReadBytes         a file's bytes
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "maker/rav_interfaces.h"
#include "maker/zel_engine.h"
#include "scanner/wexlor_interface.h"

namespace sinktest {

class FakeObject : public IRavObject {
public:
    FakeObject(std::string name, int32_t type, FakeObject* parent, std::string dataFile);

    int32_t GetName(char* buffer, int32_t size) override;
    int32_t GetParent(IRavObject** parent) override;
    int32_t GetDepth(int32_t* depth) override;
    int32_t GetDataFile(char* buffer, int32_t size) override;
    int32_t QueryRemovable(int32_t* flag) override;
    int32_t QueryAncestorRemovable(int32_t* flag, int32_t* second) override;
    int32_t QueryModifiable(int32_t* flag) override;
    int32_t GetProperty(const char* name, void** value) override;
    int32_t SetProperty(const char* name, void* value) override;
    int32_t SetName(const char* name, int32_t keep) override;
    int32_t SetContentType(const char* type, int32_t keep) override;
    int32_t GetType(int32_t* type) override;

    // The property as text ("" when unset).
    std::string Property(const std::string& name) const;
    bool HasProperty(const std::string& name) const;

    std::string m_Name;
    std::string m_DataFile;
    std::string m_ContentType;  // as set by the sink
    int32_t m_Type;
    FakeObject* m_Parent;
    int32_t m_Depth;            // the parent's depth + 1 (a test may change it)
    bool m_Removable = false;
    bool m_Modifiable = false;
    bool m_AncestorRemovable = false;

private:
    std::map<std::string, void*> m_Properties;
};

class FakeTree {
public:
    explicit FakeTree(std::string directory);
    // The top object (depth 0, no parent) with the given bytes.
    FakeObject& Top(const std::string& name = "message.mes", int32_t type = RAV_TYPE_MESSAGE,
                    const std::string& bytes = "From: a@example.com\r\n\r\nhello\r\n");
    // A child of parent; its data file holds bytes. A direct part of a
    // message is removable and modifiable, as the MIME engine makes it.
    FakeObject& Add(FakeObject& parent, const std::string& name, int32_t type,
                    const std::string& bytes);

private:
    std::string m_Directory;
    std::vector<std::unique_ptr<FakeObject>> m_Objects;
};

// The state of the fake engine; Reset before each test.
struct FakeEngineState {
    int32_t repairAnswer = ZEL_ERR_NOT_REPAIRABLE;
    int scans = 0;
    int repairs = 0;
    int liveHandles = 0;
    std::vector<std::string> scannedFiles;
    std::vector<std::string> extensions;
};
FakeEngineState& FakeEngine();
void ResetFakeEngine();
ZelEngineApi FakeEngineApi();
// The engine handle the fake answers to (any non-null value).
ZELHANDLE FakeEngineHandle();

class ScriptedCallback final : public IScanCallback {
public:
    int32_t ShouldScan(const char* objectName, int32_t context) override;
    int32_t OnVirusFound(const char* objectName, const char* dataFile, const char* virusName,
                         int32_t virusId, int32_t context) override;
    int32_t OnRepairFailed(const char* objectName, const char* dataFile, const char* virusName,
                           int32_t virusId, int32_t context) override;
    int32_t GetDeletedText(const char* objectName, const char* virusName, char* text,
                           int32_t size) override;
    int32_t FilterAttachment(const char* objectName, int32_t context) override;
    int32_t GetBlockedText(const char* objectName, char* text, int32_t size) override;

    // Answers: by object name, else the default.
    std::map<std::string, int32_t> shouldScan;
    int32_t shouldScanDefault = WEXLOR_ANSWER_PROCESS;
    std::map<std::string, int32_t> filter;
    int32_t filterDefault = 0;
    int32_t virusFound = 0;
    int32_t repairFailed = 0;
    int32_t deletedAnswer = WEXLOR_ANSWER_REPLACE;
    int32_t blockedAnswer = WEXLOR_ANSWER_REPLACE;
    std::string deletedText = "Removed: a virus was found.\n";
    std::string blockedText = "Removed: this kind of attachment is blocked.\n";
    // Fill the whole text buffer without a terminating zero.
    bool overfill = false;
    // The method that throws ("ShouldScan", ...), or empty.
    std::string throwIn;

    // "Method name [virus]" per call, and whether every text buffer came
    // zeroed and at the size the interface names.
    std::vector<std::string> calls;
    bool buffersClean = true;
    int32_t lastContext = -1;

private:
    void Enter(const std::string& method, const std::string& detail, int32_t context);
    int32_t FillText(const std::string& text, char* buffer, int32_t size);
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace sinktest
