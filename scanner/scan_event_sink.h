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
    const ZelEngineApi& m_Api;
    ZELHANDLE m_Engine;
    int32_t m_ActionLevel;
    IScanCallback* m_Callback;
    IScanCallback* m_FilterCallback;
    int32_t m_Context;
    CScanResult* m_Result;
    int32_t m_ReplacementCounter = 0;
    bool m_ScanTopLevel;
};
