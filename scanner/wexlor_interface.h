// The interfaces shared by the gateway and the scanner plug-in libWexlor.so.
//
//   IWexlorner     the scanner: engine start, scans, definitions (gateway calls)
//   IScanCallback  the gateway's answers during a decomposing scan (plug-in calls)
//   IScanResult    the outcome of one decomposing scan
//   IVirusItem     one finding: object names, virus, status
//   IDefsInfo      facts about the definitions set in use
//   WexlorGetScanner  the library's only entry point (C linkage)
//
// This header is the whole contract between two separately built binaries,
// so it holds abstract classes without data and passes only C types, fixed
// width integers and interface pointers: no standard-library object and no
// exception ever crosses it. Every operation answers with an integer code
// (WEXLOR_* below); the plug-in catches whatever is thrown inside it.
//
// Reference counting (every object the plug-in hands out):
//  - QueryInterface first sets *out to null; for an accepted id it stores
//    the object with one new reference and answers 0, else 512
//    (WEXLOR_NO_INTERFACE) with *out left null. A null out answers 512.
//    The scanner accepts ids 0, 1 and 2; result objects accept only 0.
//  - AddRef and Release answer the new count; the Release that brings it to
//    0 destroys the object. Counts are atomic: any thread may add and drop
//    references.
//  - The caller owns every reference it receives through an out pointer and
//    releases it. Objects are destroyed only through Release (their
//    destructors are protected), so the library that made an object is the
//    one that frees it.
//  - An IScanCallback is borrowed: the plug-in never counts references on it
//    and calls it only on the thread that called the scan.
//
// Text: every const char* answered by an object stays valid while the
// caller holds its reference and the object is not changed; "" stands for
// an empty text, never null (except IVirusItem::GetName out of range).
// Dates are 64-bit seconds since 1970.
#pragma once

#include <stdint.h>

// Result codes of the plug-in's operations.
constexpr int32_t WEXLOR_OK = 0;
constexpr int32_t WEXLOR_DEFS_CURRENT = 1;        // ReloadDefs: already on the newest set
constexpr int32_t WEXLOR_NO_INTERFACE = 512;      // QueryInterface: id not offered
constexpr int32_t WEXLOR_OUT_OF_MEMORY = 513;
constexpr int32_t WEXLOR_DEFS_UNUSABLE = 515;     // definitions directory unknown or not usable
constexpr int32_t WEXLOR_OUT_OF_RANGE = 516;      // argument out of range, bad index
constexpr int32_t WEXLOR_NO_DECOMPOSER = 517;     // decomposition object could not be made
constexpr int32_t WEXLOR_CANNOT_OPEN = 518;       // the file could not be opened for decomposing
constexpr int32_t WEXLOR_NOT_INITIALIZED = 519;   // the virus engine is not running
constexpr int32_t WEXLOR_SCAN_FAILED = 520;       // the engine's file scan failed
constexpr int32_t WEXLOR_FAILED = 65535;          // any other failure

// Interface ids: the gateway asks WexlorGetScanner for WEXLOR_IID_SCANNER;
// result objects answer WEXLOR_IID_OBJECT.
constexpr int32_t WEXLOR_IID_OBJECT = 0;
constexpr int32_t WEXLOR_IID_SCANNER = 2;

// Action levels of the DecomposeAndScan family. Below 0 acts as 0, above 4
// as 3.
constexpr int32_t WEXLOR_ACTION_REPORT = 0;         // report only
constexpr int32_t WEXLOR_ACTION_REPAIR = 1;         // repair
constexpr int32_t WEXLOR_ACTION_REPLACE = 2;        // repair, else replace a direct attachment by a text
constexpr int32_t WEXLOR_ACTION_DELETE = 3;         // as 2, and delete what cannot be replaced
constexpr int32_t WEXLOR_ACTION_DELETE_NO_REPAIR = 4;  // as 3 without repair

// Statuses of a finding (IVirusItem::GetStatus).
constexpr int32_t WEXLOR_STATUS_LEFT = 0;       // left infected
constexpr int32_t WEXLOR_STATUS_REPAIRED = 1;
constexpr int32_t WEXLOR_STATUS_DELETED = 2;    // deleted or replaced by a text
constexpr int32_t WEXLOR_STATUS_BLOCKED = 3;    // blocked attachment

// Answers of IScanCallback (each method says which it acts on).
constexpr int32_t WEXLOR_ANSWER_PROCESS = 0;    // ShouldScan: process the object
constexpr int32_t WEXLOR_ANSWER_SKIP = 1;       // ShouldScan: skip it
constexpr int32_t WEXLOR_ANSWER_LEAVE = 1;      // OnVirusFound: leave the object unchanged
constexpr int32_t WEXLOR_ANSWER_ABORT = 2;      // abort the whole scan
constexpr int32_t WEXLOR_ANSWER_REPLACE = 3;    // Get...Text: the buffer replaces the object
constexpr int32_t WEXLOR_ANSWER_BLOCK = 4;      // FilterAttachment: block the object

// Size of every text buffer the plug-in hands to a callback: at most
// WEXLOR_TEXT_SIZE - 1 characters and the terminating zero.
constexpr int32_t WEXLOR_TEXT_SIZE = 1024;

class IScanCallback;
class IScanResult;
class IVirusItem;
class IDefsInfo;

// The scanner. One object is shared by all the gateway's delivery threads:
// scans and GetDefsInfo may run concurrently; SetHeuristicLevel and
// ReloadDefs wait until running scans end and keep new ones out meanwhile.
class IWexlorner {
public:
    virtual int32_t QueryInterface(int32_t interfaceId, void** out) = 0;
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;
    // Starts the engine on the set the definitions store names for
    // applicationId and this scanner's decomposition object. Null texts
    // count as empty. 0, 513, 515, 516, 517, or 65535 (also: already
    // initialized). REQUIRES: no scan runs yet.
    virtual int32_t Initialize(const char* applicationId, const char* engineIniPath,
                               const char* tempDir, int32_t heuristicLevel) = 0;
    // Restarts the engine at level 0..3; 516 outside it, 519 not running.
    virtual int32_t SetHeuristicLevel(int32_t level) = 0;
    // Decomposes the file at path, scans every object and acts on findings
    // at actionLevel with the callback's answers (may be null); *out gets
    // the result (the caller releases it). 0, 513, 518, 519, 65535.
    virtual int32_t DecomposeAndScan(const char* path, int32_t actionLevel,
                                     IScanCallback* callback, int32_t context,
                                     IScanResult** out) = 0;
    // Scans the file whole; *out is null when clean, else one finding,
    // repaired when repair > 0 and the engine can. 0, 513, 519, 520, 65535.
    virtual int32_t ScanFile(const char* path, int32_t repair, IVirusItem** out) = 0;
    // Moves to the newest definitions set and restarts the engine on it;
    // 1 when already on the newest. 0, 1, 515, 519, engine codes.
    virtual int32_t ReloadDefs() = 0;
    // 1 when a newer definitions set than the one in use exists, else 0.
    virtual int32_t NewerDefsAvailable() = 0;
    // Facts about the set in use into *out. 0, 513, 515.
    virtual int32_t GetDefsInfo(IDefsInfo** out) = 0;
    // Prepares a definitions update; the directory to fill goes into
    // directory, at most size bytes including the zero. 0 or 65535.
    virtual int32_t PrepareDefsUpdate(char* directory, int32_t size) = 0;
    // Completes the update prepared before. 0 or 65535.
    virtual int32_t FinishDefsUpdate() = 0;
    // As DecomposeAndScan, also asking the callback's FilterAttachment and
    // GetBlockedText.
    virtual int32_t DecomposeAndScanFiltered(const char* path, int32_t actionLevel,
                                             IScanCallback* callback, int32_t context,
                                             IScanResult** out) = 0;
    // As DecomposeAndScanFiltered; scanTopLevel non-zero also engine-scans
    // the file itself, not only its parts.
    virtual int32_t DecomposeAndScanEx(const char* path, int32_t actionLevel,
                                       IScanCallback* callback, int32_t context,
                                       IScanResult** out, int32_t scanTopLevel) = 0;

protected:
    virtual ~IWexlorner() = default;
};

// The caller's answers during a decomposing scan. Implemented by the
// gateway; the plug-in only calls it, on the scanning thread. objectName is
// the decomposition component's name of the object (a member or attachment
// name); dataFile the path of the temporary file holding its bytes; context
// the value given to the scan call. The plug-in catches anything a method
// throws and treats it as a failure of that object.
class IScanCallback {
public:
    // 0 process the object, 1 skip it, 2 abort the scan; other values
    // change nothing.
    virtual int32_t ShouldScan(const char* objectName, int32_t context) = 0;
    // 1 leave the object unchanged, 2 abort; anything else goes on to
    // repair and deletion.
    virtual int32_t OnVirusFound(const char* objectName, const char* dataFile,
                                 const char* virusName, int32_t virusId, int32_t context) = 0;
    // 2 abort; anything else goes on.
    virtual int32_t OnRepairFailed(const char* objectName, const char* dataFile,
                                   const char* virusName, int32_t virusId, int32_t context) = 0;
    // Writes into text (size bytes, zeroed by the plug-in; at most size - 1
    // characters and the zero) the text that replaces the infected object
    // and answers 3; 2 aborts; anything else: no replacement.
    virtual int32_t GetDeletedText(const char* objectName, const char* virusName, char* text,
                                   int32_t size) = 0;
    // 4 block the object; 2 abort (only for a direct part of a message);
    // anything else: not blocked.
    virtual int32_t FilterAttachment(const char* objectName, int32_t context) = 0;
    // Writes into text (size bytes, as GetDeletedText) the text that replaces
    // a blocked object; answers 3 when it did.
    virtual int32_t GetBlockedText(const char* objectName, char* text, int32_t size) = 0;

protected:
    // Never destroyed through this interface: the caller owns its callback.
    ~IScanCallback() = default;
};

// The outcome of one decomposing scan. One reader at a time.
class IScanResult {
public:
    virtual int32_t QueryInterface(int32_t interfaceId, void** out) = 0;
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;
    // Number of findings.
    virtual int32_t GetItemCount() = 0;
    // Finding index into *out with a new reference: 0; 516 for an index at
    // or beyond the count or a null out, *out untouched.
    virtual int32_t GetItem(uint32_t index, IVirusItem** out) = 0;
    // Number of reason codes (why parts of the file could not be handled).
    virtual int32_t GetReasonCount() = 0;
    // Reason code index; 0 out of range.
    virtual int32_t GetReason(uint32_t index) = 0;
    // Path of the file that now holds the message ("" when it was deleted
    // or nothing was set).
    virtual const char* GetFileName() = 0;
    // Findings with status 0, 1, and 2 or 3.
    virtual int32_t CountLeft() = 0;
    virtual int32_t CountRepaired() = 0;
    virtual int32_t CountDeleted() = 0;

protected:
    virtual ~IScanResult() = default;
};

// One finding. One reader at a time.
class IVirusItem {
public:
    virtual int32_t QueryInterface(int32_t interfaceId, void** out) = 0;
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;
    // Names of the infected object (index 0) and its containers outward.
    virtual int32_t GetNameCount() = 0;
    // Name index; null out of range.
    virtual const char* GetName(uint32_t index) = 0;
    // Virus name; "" for a blocked attachment.
    virtual const char* GetVirusName() = 0;
    // The engine's virus id; 0 for a blocked attachment.
    virtual int32_t GetVirusId() = 0;
    // WEXLOR_STATUS_LEFT, _REPAIRED, _DELETED or _BLOCKED.
    virtual int32_t GetStatus() = 0;

protected:
    virtual ~IVirusItem() = default;

public:
    // Appends a container's name; 1 when appended, 0 for a null name or
    // when memory ran out.
    virtual int32_t AddName(const char* name) = 0;
};

// Facts about the definitions set in use.
class IDefsInfo {
public:
    virtual int32_t QueryInterface(int32_t interfaceId, void** out) = 0;
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;
    // The set's date: local midnight (standard time) in seconds since 1970.
    virtual int64_t GetDate() = 0;
    // The set's revision number.
    virtual uint32_t GetRevision() = 0;
    // Number of viruses the engine's definitions know.
    virtual uint32_t GetVirusCount() = 0;
    // Directory of the set ("" when unknown).
    virtual const char* GetDefsDir() = 0;
    // The database word of the engine's database information.
    virtual uint32_t GetDBInfo() = 0;

protected:
    virtual ~IDefsInfo() = default;
};

// The library's only export: a new scanner through its QueryInterface.
// 0 with *out holding the first reference; 512 for an id not offered (*out
// null, nothing left behind); 513 out of memory; 65535 any other failure.
extern "C" __attribute__((visibility("default"))) int32_t WexlorGetScanner(int32_t interfaceId,
                                                                           void** out);
typedef int32_t (*WexlorGetScannerFunc)(int32_t interfaceId, void** out);
#define WEXLOR_ENTRY_NAME "WexlorGetScanner"
