// CScanCallback: the gateway's decisions while the scanner plug-in takes
// one spooled message apart. One object per scanned message, a local object
// of that scan; the plug-in reaches it through the message's CScanJob
// (gateway/scanner_manager.h), always on the scanning thread.
//
//   ShouldScan / ShouldScanName  is this object scanned (scan settings)
//   FilterAttachment             is this attachment stripped (4) or not (0)
//   GetDeletedText               the text that replaces a deleted infected object
//   GetBlockedText               the text that replaces a stripped attachment
//   OnVirusFound                 quarantine every infected object (action 2)
//   OnRepairFailed               quarantine what could not be repaired (action 1)
//
// The decisions read the process-wide scan settings (gateway/scan_settings.h)
// under their shared lock. Replacement texts are product catalogue texts
// 2000022 (object name, virus name) and 2000032 (object name): they go into
// the rebuilt mail, so every line of them ends in CR LF, the names in them
// lose their control characters (an attachment name cannot start a line of
// its own), and they are cut to the plug-in's buffer.
//
// Quarantine action ("ZELORMRazoVidezQuarantineAction", read once when the
// object is made): 1 quarantine an infected object whose repair failed,
// 2 every infected object when it is found, anything else never.
//
// Bad input: null names count as empty; a null or too small text buffer
// gets nothing written (the answer stays 3, the plug-in then finds an empty
// text).
//
// Threads: one object belongs to one scanning thread. Not copyable.
#pragma once

#include <stdint.h>

#include "scanner/wexlor_interface.h"

class CQueuedMessage;
class CQuarantineForwarder;
class CScannerManager;
struct VaultixPackage;

class CScanCallback {
public:
    // Releases the definitions information.
    virtual ~CScanCallback();

    // Reads the quarantine action and takes the definitions information
    // through scanner->GetDefsInfo (a null scanner, or a failure: warning
    // "Error getting def info" in the debug log, and none is held). message
    // is borrowed and must outlive the object; scanner and forwarder are
    // borrowed and may be null (no definitions information; no quarantine).
    CScanCallback(CQueuedMessage* message, CScannerManager* scanner,
                  CQuarantineForwarder* forwarder);
    CScanCallback(const CScanCallback&) = delete;
    CScanCallback& operator=(const CScanCallback&) = delete;

    // ShouldScanName of the name; the context is not used.
    virtual bool ShouldScan(const char* objectName, int32_t context);
    // True when the object is to be scanned under the selection.
    virtual bool ShouldScanName(const char* objectName);
    // Writes text 2000022 (object name, virus name) into text (size bytes)
    // and answers 3.
    virtual int32_t GetDeletedText(const char* objectName, const char* virusName, char* text,
                                   int32_t size);
    // Action 2: the answer of Quarantine; else 0.
    virtual int32_t OnVirusFound(const char* objectName, const char* dataFile,
                                 const char* virusName, int32_t virusId, int32_t context);
    // Action 1: the answer of Quarantine; else 0.
    virtual int32_t OnRepairFailed(const char* objectName, const char* dataFile,
                                   const char* virusName, int32_t virusId, int32_t context);
    // 4 when stripping is on and the name's extension is on the strip list;
    // else 0.
    virtual int32_t FilterAttachment(const char* objectName, int32_t context);
    // Writes text 2000032 (object name) into text (size bytes) and answers 3.
    virtual int32_t GetBlockedText(const char* objectName, char* text, int32_t size);

    // The quarantine action read at construction.
    int GetQuarantineAction() const { return m_QuarantineAction; }
    // The definitions information held (borrowed; null when none).
    IDefsInfo* GetDefsInfoObject() const { return m_DefsInfo; }

    // Puts one infected object into a quarantine package for the
    // forwarder. Answers 0 in every case: a quarantine that fails must not
    // let the object through unchanged, so the scan goes on to repair,
    // replace or delete it as the action level says; the failure is
    // counted (GetQuarantineFailures) and reported in the debug log.
    int32_t Quarantine(const char* objectName, const char* dataFile, const char* virusName,
                       int32_t virusId);
    // Number of quarantines of this scan that failed.
    int GetQuarantineFailures() const { return m_QuarantineFailures; }

    // Sets the nineteen named values of a package, in order (see
    // gateway/scan_quarantine.cpp). False at the first value the package
    // library refuses, when the host name does not resolve (values 8 on
    // are not set), when no UUID can be made (13 on), or when the data file
    // cannot be read (its size or checksum).
    bool fillQuarantineItem(VaultixPackage* package, const char* dataFile,
                            const char* objectName, const char* virusName, int32_t virusId);

private:
    CQueuedMessage* m_Message;
    int m_QuarantineAction;
    IDefsInfo* m_DefsInfo = nullptr;
    CQuarantineForwarder* m_Forwarder;
    int m_QuarantineFailures = 0;
};

// Tests: how the host name becomes the packages' address (null restores the
// system's resolver). The lookup answers false when the name has no IPv4
// address, else true with the address in network byte order.
typedef bool (*QuarantineHostLookup)(const char* hostName, uint32_t* address);
void SetQuarantineHostLookup(QuarantineHostLookup lookup);

// Formats a replacement text for the plug-in: format (a catalogue text,
// checked against its arguments) filled with the names, every line ended
// in CR LF, control characters of the names turned into blanks, cut to at
// most size - 1 bytes (never between CR and LF) and terminated. Nothing is
// written for a null text or a size below 1. Exposed for tests.
void FormatReplacementText(const char* format, const char* objectName, const char* virusName,
                           char* text, int32_t size);
