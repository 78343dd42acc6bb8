// CScanEventSink: the scanner's answer to every object the decomposition
// component meets while it unpacks one file. Per object it decides whether
// the object is processed, scans its bytes with the virus engine, asks the
// caller's IScanCallback what to do, repairs, replaces or deletes infected
// objects, replaces blocked attachments by a text, turns the component's
// error codes into reason codes and records every finding as a CVirusItem
// in the scan's CScanResult.
//
//   CScanEventSink(...)   one sink per decomposing scan, on the scanning thread
//   onObject ... onObjectError   the component's events (IRavelEvents)
//   ExtensionOf           the file extension handed to the engine
//
// Codes answered to the component: 0 go on; kSinkAbort (a callback answered
// 2); kSinkObjectFailed (the engine failed on the object or a callback
// threw); kSinkOutOfMemory; kSinkRenameAncestor (a marked ancestor is to be
// replaced). Result words: 0 unchanged, 1 the data file was rewritten, 3
// remove the object from its container.
//
// The callback, the result and the engine table are borrowed and must
// outlive the sink. Nothing a callback throws leaves the sink.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "maker/rav_interfaces.h"
#include "maker/zel_engine.h"
#include "scanner/wexlor_interface.h"

class CScanResult;

constexpr int32_t kSinkAbort = static_cast<int32_t>(0x80040264u);
constexpr int32_t kSinkObjectFailed = static_cast<int32_t>(0x800402C8u);
constexpr int32_t kSinkOutOfMemory = static_cast<int32_t>(0x80040250u);
constexpr int32_t kSinkRenameAncestor = static_cast<int32_t>(0x8004032Cu);

// The extension of name handed to the engine: the letters and digits after
// the last '.', when only letters and digits follow it ("report.doc" gives
// "doc", "a.tar.gz" "gz", "setup.ex_" and "README" ""). At most size - 1
// characters and the zero go into buffer (size >= 1); answers the length.
int32_t ExtensionOf(const char* name, char* buffer, int32_t size);

class CScanEventSink final : public IRavelEvents {
public:
    // engine: the running engine and the table to call it through.
    // filter non-zero: the callback also answers FilterAttachment and
    // GetBlockedText. scanTopLevel non-zero: the object without a parent
    // (the file itself) is engine-scanned too.
    CScanEventSink(const ZelEngineApi& api, ZELHANDLE engine, int32_t actionLevel,
                   IScanCallback* callback, int32_t context, CScanResult* result,
                   int32_t filter, int32_t scanTopLevel);
    ~CScanEventSink() override = default;
    CScanEventSink(const CScanEventSink&) = delete;
    CScanEventSink& operator=(const CScanEventSink&) = delete;

    int32_t onObject(IRavObject* object, uint16_t* resultWord, char* newDataFile,
                     int32_t newDataFileSize, int32_t* continueFlag) override;
    int32_t onQuery(IRavObject* object, int32_t* flag) override;
    int32_t onEnterObject(IRavObject* object, const char* name, int32_t* processFlag) override;
    int32_t onError(IRavObject* object, int32_t error, int32_t value,
                    int32_t* continueFlag) override;
    int32_t onObjectEnd(IRavObject* object, uint16_t* resultWord, char* newDataFile,
                        int32_t newDataFileSize) override;
    int32_t onIdle() override;
    int32_t onObjectError(IRavObject* object, int32_t error, uint16_t* resultWord,
                          int32_t value) override;

private:
    // What onObject reads of an object before deciding.
    struct ObjectFacts {
        std::string name;
        std::string dataFile;
        std::string extension;
        IRavObject* parent = nullptr;
        bool modifiable = false;
        bool removable = false;
        bool ancestorRemovable = false;
    };

    // The decisions of onObject and onEnterObject; they may throw, their
    // slots turn that into a code.
    int32_t decideObject(IRavObject* object, uint16_t* resultWord);
    int32_t decideEnter(IRavObject* object, const char* name, int32_t* processFlag);
    // The infected object's decisions once the engine found virusName.
    int32_t decideInfected(IRavObject* object, const ObjectFacts& facts,
                           const std::string& virusName, int32_t virusId,
                           uint16_t* resultWord);
    // Blocking of an object the filter callback names (steps for a direct
    // part and for a deeper object); *handled false: go on to the scan.
    int32_t decideBlocked(IRavObject* object, const ObjectFacts& facts,
                          uint16_t* resultWord, bool* handled);

    // True when the object is a direct part of a mail message.
    bool isAttachment(IRavObject* object);
    // Writes text over the file, each line ended with CR LF; false when the
    // file cannot be written.
    bool writeText(const char* dataFile, const char* text);
    // Replaces the object by text: the data file, result word 1, the name
    // "DELETED<n>.TXT" and the content type "text/plain".
    void replaceByText(IRavObject* object, const std::string& dataFile, const char* text,
                       uint16_t* resultWord);
    // A finding for the object and its containers outward (the top object's
    // name left out) appended to the result: 0, kSinkOutOfMemory or
    // kSinkObjectFailed.
    int32_t recordFinding(IRavObject* object, const char* name, const char* virusName,
                          int32_t virusId, int32_t status);
    // The ancestor that receives rename marks, or null.
    IRavObject* findMarkAncestor(IRavObject* object);
    // Resolves a rename request on a marked object: kSinkRenameAncestor when
    // it carries no mark, else 0 (replaced when the callback gave a text).
    int32_t replaceByMarks(IRavObject* object, uint16_t* resultWord);
    // A zero-terminated copy of bytes kept until the sink ends: the
    // component never frees property values, so the sink owns its marks.
    void* keepMark(const char* bytes, size_t size);

    const ZelEngineApi& m_Api;
    ZELHANDLE m_Engine;
    int32_t m_ActionLevel;
    IScanCallback* m_Callback;
    IScanCallback* m_FilterCallback;
    int32_t m_Context;
    CScanResult* m_Result;
    int32_t m_ReplacementCounter = 0;
    bool m_ScanTopLevel;
    std::vector<std::unique_ptr<char[]>> m_Marks;
};
