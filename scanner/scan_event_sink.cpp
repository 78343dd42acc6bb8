// Decomposition event sink: what the scanner answers the decomposition
// component for every object of one file it unpacks (see scan_event_sink.h).
//
//   ExtensionOf(name, buffer, size)   the extension handed to the engine
//   CScanEventSink::onEnterObject     process the object or skip it
//   CScanEventSink::onObject          scan, repair, replace, delete, block
//   CScanEventSink::onError           a component error as a reason code
//   CScanEventSink::onObjectError     the same, and rename requests
//   onQuery, onObjectEnd, onIdle      notifications; nothing to decide
//
// Bad input: a null object or out pointer is answered without writing
// through it (kSinkObjectFailed for onObject); an object whose queries fail
// reads as unnamed, without parent, neither modifiable nor removable.
// Nothing thrown inside the sink or by the callback leaves it: memory
// exhaustion answers kSinkOutOfMemory, anything else kSinkObjectFailed.
// An object the engine cannot scan ends the whole scan (kSinkAbort, reason
// 100): a virus gateway does not pass on what it could not scan.
//
// Two rules hold whatever the callback answers: the top object (the message
// file) is always processed, so its parts are never skipped unseen, and it
// is never given result word 3: the plug-in never deletes the message.
#include "scanner/scan_event_sink.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "scanner/callback_text.h"
#include "scanner/scan_result.h"
#include "scanner/virus_info.h"

namespace {

// Object types the decisions look at.
constexpr int32_t kTypeArchive = RAV_TYPE_ARCHIVE;
constexpr int32_t kTypeGzip = RAV_TYPE_GZIP;
constexpr int32_t kTypeEncoded = RAV_TYPE_ENCODED;
constexpr int32_t kTypeMessage = RAV_TYPE_MESSAGE;

// Objects nested this deep are not processed (reason 60).
constexpr int32_t kMaxDepth = 10;

// Parent walks stop here even if a broken tree loops.
constexpr int kMaxParentWalk = 1024;

// Engine answer of a repair that is not possible for this virus.
constexpr int32_t kRepairImpossible = ZEL_ERR_NOT_REPAIRABLE;

// Marks the sink sets on an ancestor that is to be replaced.
constexpr const char* kMarkAncestor = "RAVERR_RENAME_ANCESTOR";
constexpr const char* kMarkType = "RAVERR_RENAME_TYPE";

constexpr const char* kReplacementType = "text/plain";

// Reason codes added to the result.
constexpr int32_t kReasonEncryptedArchive = 10;
constexpr int32_t kReasonDamagedArchive = 20;
constexpr int32_t kReasonDamagedEncoded = 21;
constexpr int32_t kReasonCannotChange = 30;
constexpr int32_t kReasonEncrypted = 31;
constexpr int32_t kReasonLimit = 32;
constexpr int32_t kReasonRebuild = 33;
constexpr int32_t kReasonObject40 = 40;
constexpr int32_t kReasonUnsupported = 41;
constexpr int32_t kReasonIo = 42;
constexpr int32_t kReasonObject43 = 43;
constexpr int32_t kReasonComponentDepth = 50;
constexpr int32_t kReasonNoMemory = 51;
constexpr int32_t kReasonTooDeep = 60;
constexpr int32_t kReasonOther = 100;

// Error codes of the component that only the sink's tables name.
constexpr int32_t kErrObject228 = static_cast<int32_t>(0x80040228u);
constexpr int32_t kErrObject22B = static_cast<int32_t>(0x8004022Bu);
constexpr int32_t kErrObject22C = static_cast<int32_t>(0x8004022Cu);

std::string NameOf(IRavObject* object)
{
    char buffer[RAV_PATH_SIZE] = {};
    if (object->GetName(buffer, sizeof buffer) < 0)
        return std::string();
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

std::string DataFileOf(IRavObject* object)
{
    char buffer[RAV_PATH_SIZE] = {};
    if (object->GetDataFile(buffer, sizeof buffer) < 0)
        return std::string();
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

IRavObject* ParentOf(IRavObject* object)
{
    IRavObject* parent = nullptr;
    if (object->GetParent(&parent) < 0)
        return nullptr;
    return parent;
}

// The object's type; -1 when it cannot be read.
int32_t TypeOf(IRavObject* object)
{
    int32_t type = -1;
    if (object->GetType(&type) < 0)
        return -1;
    return type;
}

// The object's depth; -1 when it cannot be read.
int32_t DepthOf(IRavObject* object)
{
    int32_t depth = -1;
    if (object->GetDepth(&depth) < 0)
        return -1;
    return depth;
}

bool IsRemovable(IRavObject* object)
{
    int32_t flag = 0;
    return object->QueryRemovable(&flag) >= 0 && flag != 0;
}

bool IsModifiable(IRavObject* object)
{
    int32_t flag = 0;
    return object->QueryModifiable(&flag) >= 0 && flag != 0;
}

bool IsAncestorRemovable(IRavObject* object)
{
    int32_t flag = 0;
    int32_t second = 0;
    return object->QueryAncestorRemovable(&flag, &second) >= 0 && flag != 0;
}

bool HasProperty(IRavObject* object, const char* name)
{
    void* value = nullptr;
    return object->GetProperty(name, &value) >= 0 && value != nullptr;
}

// Whatever a callback throws becomes this, so the sink can tell the
// caller's failure (kSinkObjectFailed) from its own memory exhaustion.
struct CallbackThrew {};

template <typename Call>
int32_t Ask(Call call)
{
    try {
        return call();
    } catch (...) {
        throw CallbackThrew();
    }
}

// Runs one event's decision: whatever escapes it becomes the code the
// component expects (a callback's failure and any other failure mark the
// object failed; memory exhaustion is told apart).
template <typename Decide>
int32_t Guarded(Decide decide)
{
    try {
        return decide();
    } catch (const std::bad_alloc&) {
        return kSinkOutOfMemory;
    } catch (...) {
        return kSinkObjectFailed;
    }
}

bool IsAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

int32_t ExtensionOf(const char* name, char* buffer, int32_t size)
{
    if (!buffer || size < 1)
        return 0;
    buffer[0] = '\0';
    if (!name)
        return 0;
    size_t start = std::strlen(name);
    while (start > 0 && IsAlnum(name[start - 1]))
        --start;
    if (start == 0 || name[start - 1] != '.')
        return 0;
    size_t length = std::strlen(name + start);
    if (length > static_cast<size_t>(size) - 1)
        length = static_cast<size_t>(size) - 1;
    std::memcpy(buffer, name + start, length);
    buffer[length] = '\0';
    return static_cast<int32_t>(length);
}

CScanEventSink::CScanEventSink(const ZelEngineApi& api, ZELHANDLE engine, int32_t actionLevel,
                               IScanCallback* callback, int32_t context, CScanResult* result,
                               int32_t filter, int32_t scanTopLevel)
    : m_Api(api), m_Engine(engine), m_ActionLevel(actionLevel), m_Callback(callback),
      m_FilterCallback(filter ? callback : nullptr), m_Context(context), m_Result(result),
      m_ScanTopLevel(scanTopLevel != 0)
{
    // Levels below 0 act as 0, above 4 as 3.
    if (m_ActionLevel < WEXLOR_ACTION_REPORT)
        m_ActionLevel = WEXLOR_ACTION_REPORT;
    else if (m_ActionLevel > WEXLOR_ACTION_DELETE_NO_REPAIR)
        m_ActionLevel = WEXLOR_ACTION_DELETE;
}

// ---- entering an object ------------------------------------------------

int32_t CScanEventSink::onEnterObject(IRavObject* object, const char* name, int32_t* processFlag)
{
    int32_t flag = processFlag ? *processFlag : 1;
    const int32_t code = Guarded([&] {
        return object ? decideEnter(object, name ? name : "", &flag) : kSinkObjectFailed;
    });
    if (processFlag)
        *processFlag = flag;
    return code;
}

int32_t CScanEventSink::decideEnter(IRavObject* object, const char* name, int32_t* flag)
{
    const int32_t depth = DepthOf(object);
    if (depth >= kMaxDepth) {
        if (m_Result)
            m_Result->AddReason(kReasonTooDeep);
        *flag = 0;
        return 0;
    }

    // The message file itself is always processed: selection by name
    // applies to what it contains (the spool file's own name means nothing
    // to the include and exclude lists). Only an abort is honoured.
    if (depth == 0) {
        if (m_FilterCallback && TypeOf(object) == kTypeMessage &&
            Ask([&] { return m_FilterCallback->FilterAttachment(name, m_Context); }) ==
                WEXLOR_ANSWER_ABORT) {
            *flag = 0;
            return kSinkAbort;
        }
        *flag = 1;
        return 0;
    }

    if (!m_Callback)
        return 0;
    const int32_t type = m_FilterCallback ? TypeOf(object) : -1;
    switch (Ask([&] { return m_Callback->ShouldScan(name, m_Context); })) {
    case WEXLOR_ANSWER_PROCESS:
        *flag = 1;
        return 0;
    case WEXLOR_ANSWER_ABORT:
        *flag = 0;
        return kSinkAbort;
    case WEXLOR_ANSWER_SKIP:
        *flag = 0;
        // A gzip stream is named after its file without ".gz": a list that
        // includes "*.gz" still means this stream.
        if (m_FilterCallback && type == kTypeGzip) {
            std::string withGz = std::string(name) + ".gz";
            if (Ask([&] { return m_Callback->ShouldScan(withGz.c_str(), m_Context); }) ==
                WEXLOR_ANSWER_PROCESS)
                *flag = 1;
        }
        return 0;
    default:
        return 0;
    }
}

// ---- one object ----------------------------------------------------------

int32_t CScanEventSink::onObject(IRavObject* object, uint16_t* resultWord, char* newDataFile,
                                 int32_t newDataFileSize, int32_t* continueFlag)
{
    uint16_t word = 0;
    if (newDataFile && newDataFileSize > 0)
        newDataFile[0] = '\0';
    if (continueFlag)
        *continueFlag = 1;
    const int32_t code =
        Guarded([&] { return object ? decideObject(object, &word) : kSinkObjectFailed; });
    if (resultWord)
        *resultWord = word;
    return code;
}

int32_t CScanEventSink::decideObject(IRavObject* object, uint16_t* resultWord)
{
    ObjectFacts facts;
    facts.name = NameOf(object);
    facts.dataFile = DataFileOf(object);
    facts.modifiable = IsModifiable(object);
    facts.removable = IsRemovable(object);
    facts.ancestorRemovable = IsAncestorRemovable(object);
    facts.parent = ParentOf(object);
    char extension[RAV_PATH_SIZE];
    ExtensionOf(facts.name.c_str(), extension, sizeof extension);
    facts.extension = extension;

    if (m_FilterCallback && facts.parent) {
        bool handled = false;
        int32_t code = decideBlocked(object, facts, resultWord, &handled);
        if (handled)
            return code;
    }

    // The gateway scans with the flag clear: the message file's parts are
    // engine-scanned, the file as a whole is not.
    if (!facts.parent && !m_ScanTopLevel)
        return 0;

    CVirusHandle virus(m_Api);
    if (m_Api.ScanFile(m_Engine, facts.dataFile.c_str(), facts.extension.c_str(), 0,
                       virus.Out()) != ZEL_OK) {
        // Fail closed: an object the engine could not scan ends the whole
        // scan (reason 100 says why), so the message waits in the spool
        // instead of leaving with that object unscanned.
        if (m_Result)
            m_Result->AddReason(kReasonOther);
        return kSinkAbort;
    }
    if (!virus.Get())
        return 0;
    const int32_t virusId = VirusIdOf(VirusInfo(m_Api, virus.Get(), ZEL_INFO_ID));
    const std::string virusName = VirusInfo(m_Api, virus.Get(), ZEL_INFO_NAME);
    try {
        return decideInfected(object, facts, virusName, virusId, resultWord);
    } catch (const CallbackThrew&) {
        // The object stays as it is; the finding is still reported, or the
        // caller would take the object for clean.
        recordFinding(object, facts.name.c_str(), virusName.c_str(), virusId,
                      WEXLOR_STATUS_LEFT);
        return kSinkObjectFailed;
    }
}

int32_t CScanEventSink::decideBlocked(IRavObject* object, const ObjectFacts& facts,
                                      uint16_t* resultWord, bool* handled)
{
    const char* name = facts.name.c_str();
    const bool direct = isAttachment(object);
    const int32_t answer =
        Ask([&] { return m_FilterCallback->FilterAttachment(name, m_Context); });
    if (direct && answer == WEXLOR_ANSWER_ABORT) {
        *handled = true;
        return kSinkAbort;
    }
    if (answer != WEXLOR_ANSWER_BLOCK)
        return 0;
    *handled = true;

    if (direct) {
        // The blocked text replaces the attachment whatever the answer:
        // a blocked part is never delivered as it was.
        CCallbackText text;
        Ask([&] { return m_FilterCallback->GetBlockedText(name, text.Buffer(), text.Size()); });
        replaceByText(object, facts.dataFile, text.Text(), resultWord);
        return recordFinding(object, name, "", 0, WEXLOR_STATUS_BLOCKED);
    }

    // A deeper object: it goes; when its container cannot drop it, the
    // attachment holding it is marked to be replaced by the blocked text.
    int32_t code = 0;
    IRavObject* ancestor = findMarkAncestor(object);
    if (ancestor && isAttachment(ancestor) && facts.ancestorRemovable && !facts.removable) {
        try {
            const char kind = 1;
            void* mark = keepMark("", 0);
            void* type = keepMark(&kind, 1);
            ancestor->SetProperty(kMarkAncestor, mark);
            ancestor->SetProperty(kMarkType, type);
            code = kSinkRenameAncestor;
        } catch (const std::bad_alloc&) {
            code = kSinkOutOfMemory;
        }
    }
    *resultWord = 3;
    recordFinding(object, name, "", 0, WEXLOR_STATUS_BLOCKED);
    return code;
}

int32_t CScanEventSink::decideInfected(IRavObject* object, const ObjectFacts& facts,
                                       const std::string& virusName, int32_t virusId,
                                       uint16_t* resultWord)
{
    const char* name = facts.name.c_str();
    const char* dataFile = facts.dataFile.c_str();
    const char* virus = virusName.c_str();

    if (m_Callback) {
        const int32_t answer = Ask(
            [&] { return m_Callback->OnVirusFound(name, dataFile, virus, virusId, m_Context); });
        if (answer == WEXLOR_ANSWER_ABORT)
            return kSinkAbort;
        if (answer == WEXLOR_ANSWER_LEAVE)
            return recordFinding(object, name, virus, virusId, WEXLOR_STATUS_LEFT);
    }
    if (m_ActionLevel <= WEXLOR_ACTION_REPORT)
        return recordFinding(object, name, virus, virusId, WEXLOR_STATUS_LEFT);

    if (facts.modifiable && m_ActionLevel != WEXLOR_ACTION_DELETE_NO_REPAIR) {
        const int32_t repair = m_Api.RepairFile(m_Engine, dataFile, facts.extension.c_str());
        if (repair == ZEL_OK) {
            *resultWord = 1;
            return recordFinding(object, name, virus, virusId, WEXLOR_STATUS_REPAIRED);
        }
        if (m_Callback && Ask([&] {
                return m_Callback->OnRepairFailed(name, dataFile, virus, virusId, m_Context);
            }) == WEXLOR_ANSWER_ABORT)
            return kSinkAbort;
        if (repair != kRepairImpossible) {
            // The object stays as it is: the finding is still reported.
            recordFinding(object, name, virus, virusId, WEXLOR_STATUS_LEFT);
            return kSinkObjectFailed;
        }
    }
    if (m_ActionLevel == WEXLOR_ACTION_REPAIR)
        return recordFinding(object, name, virus, virusId, WEXLOR_STATUS_LEFT);

    // A direct attachment is replaced by the caller's text, else dropped.
    if (isAttachment(object) && facts.modifiable && m_Callback) {
        int32_t status = WEXLOR_STATUS_LEFT;
        CCallbackText text;
        const int32_t answer = Ask(
            [&] { return m_Callback->GetDeletedText(name, virus, text.Buffer(), text.Size()); });
        if (answer == WEXLOR_ANSWER_ABORT)
            return kSinkAbort;
        if (answer == WEXLOR_ANSWER_REPLACE) {
            replaceByText(object, facts.dataFile, text.Text(), resultWord);
            status = WEXLOR_STATUS_DELETED;
        } else if (facts.removable ||
                   (m_ActionLevel > WEXLOR_ACTION_REPLACE && facts.ancestorRemovable)) {
            *resultWord = 3;
            status = WEXLOR_STATUS_DELETED;
        }
        return recordFinding(object, name, virus, virusId, status);
    }

    // Any other object is deleted where it or (from level 3) a container
    // can go; the message file itself never is.
    const bool deletable =
        facts.removable || (m_ActionLevel >= WEXLOR_ACTION_DELETE && facts.ancestorRemovable);
    if (!deletable || !facts.parent)
        return recordFinding(object, name, virus, virusId, WEXLOR_STATUS_LEFT);
    int32_t code = 0;
    IRavObject* ancestor = findMarkAncestor(object);
    if (ancestor && isAttachment(ancestor) &&
        ((TypeOf(ancestor) == kTypeEncoded && facts.removable) ||
         (facts.ancestorRemovable && !facts.removable))) {
        try {
            ancestor->SetProperty(kMarkAncestor, keepMark(virus, virusName.size()));
        } catch (const std::bad_alloc&) {
            return kSinkOutOfMemory;
        }
        code = kSinkRenameAncestor;
    }
    *resultWord = 3;
    recordFinding(object, name, virus, virusId, WEXLOR_STATUS_DELETED);
    return code;
}

// ---- helpers ---------------------------------------------------------------

bool CScanEventSink::isAttachment(IRavObject* object)
{
    IRavObject* parent = ParentOf(object);
    return parent && TypeOf(parent) == kTypeMessage;
}

bool CScanEventSink::writeText(const char* dataFile, const char* text)
{
    // Binary mode: line ends are converted here, the same on every system.
    std::FILE* file = std::fopen(dataFile, "wbe");
    if (!file)
        return false;
    bool ok = true;
    char previous = '\0';
    for (const char* p = text; *p && ok; ++p) {
        if (*p == '\n' && previous != '\r')
            ok = std::fputc('\r', file) != EOF;
        if (ok)
            ok = std::fputc(*p, file) != EOF;
        previous = *p;
    }
    if (std::fclose(file) != 0)
        ok = false;
    return ok;
}

void CScanEventSink::replaceByText(IRavObject* object, const std::string& dataFile,
                                   const char* text, uint16_t* resultWord)
{
    writeText(dataFile.c_str(), text);
    *resultWord = 1;
    char name[32];
    std::snprintf(name, sizeof name, "DELETED%d.TXT", m_ReplacementCounter);
    if (m_ReplacementCounter < INT32_MAX)
        ++m_ReplacementCounter;
    object->SetName(name, 1);
    object->SetContentType(kReplacementType, 1);
}

int32_t CScanEventSink::recordFinding(IRavObject* object, const char* name,
                                      const char* virusName, int32_t virusId, int32_t status)
{
    if (!m_Result)
        return 0;
    CVirusItem* item = nullptr;
    try {
        item = new CVirusItem;
        item->AddRef();
        if (!item->AddName(name))
            throw std::bad_alloc();
        // Containers outward; the top object (the scanned file) is left out.
        IRavObject* container = ParentOf(object);
        for (int i = 0; container && i < kMaxParentWalk; ++i) {
            IRavObject* above = ParentOf(container);
            if (!above)
                break;
            if (!item->AddName(NameOf(container).c_str()))
                throw std::bad_alloc();
            container = above;
        }
        item->SetVirusName(virusName);
        // Through a member pointer: the catalogue check takes every call
        // named SetStatus for the HTTP request's, whose argument is a
        // message number.
        void (CVirusItem::*setStatus)(int32_t) = &CVirusItem::SetStatus;
        (item->*setStatus)(status);
        item->m_VirusId = virusId;
    } catch (const std::bad_alloc&) {
        if (item)
            item->Release();
        return kSinkOutOfMemory;
    } catch (...) {
        if (item)
            item->Release();
        return kSinkObjectFailed;
    }
    m_Result->AddItem(item);
    return 0;
}

IRavObject* CScanEventSink::findMarkAncestor(IRavObject* object)
{
    IRavObject* choice = nullptr;
    bool run = true;
    IRavObject* ancestor = ParentOf(object);
    for (int i = 0; ancestor && i < kMaxParentWalk && DepthOf(ancestor) > 0; ++i) {
        if (IsRemovable(ancestor)) {
            // Encodings (type 12) are taken outward; the first other
            // container ends the run, after which only encodings replace it.
            const bool encoded = TypeOf(ancestor) == kTypeEncoded;
            if (run || encoded)
                choice = ancestor;
            if (!encoded)
                run = false;
        }
        ancestor = ParentOf(ancestor);
    }
    return choice;
}

int32_t CScanEventSink::replaceByMarks(IRavObject* object, uint16_t* resultWord)
{
    void* mark = nullptr;
    if (object->GetProperty(kMarkAncestor, &mark) < 0 || !mark)
        return kSinkRenameAncestor;
    const bool blocked = HasProperty(object, kMarkType);
    const std::string dataFile = DataFileOf(object);
    const std::string name = NameOf(object);

    // Without the callback that gives the text nothing is replaced; the
    // marked object's own removal stands.
    IScanCallback* callback = blocked ? m_FilterCallback : m_Callback;
    if (!callback)
        return 0;
    CCallbackText text;
    const int32_t answer = Ask([&] {
        return blocked ? callback->GetBlockedText(name.c_str(), text.Buffer(), text.Size())
                       : callback->GetDeletedText(name.c_str(), static_cast<const char*>(mark),
                                                  text.Buffer(), text.Size());
    });
    if (answer != WEXLOR_ANSWER_REPLACE)
        return 0;
    replaceByText(object, dataFile, text.Text(), resultWord);
    return 0;
}

void* CScanEventSink::keepMark(const char* bytes, size_t size)
{
    std::unique_ptr<char[]> copy(new char[size + 1]);
    std::memcpy(copy.get(), bytes, size);
    copy[size] = '\0';
    m_Marks.push_back(std::move(copy));
    return m_Marks.back().get();
}

// ---- errors ------------------------------------------------------------------

int32_t CScanEventSink::onError(IRavObject* object, int32_t error, int32_t, int32_t* continueFlag)
{
    if (continueFlag)
        *continueFlag = 1;
    if (error == 0 || !m_Result)
        return 0;
    try {
        int32_t reason = kReasonOther;
        switch (error) {
        case kErrObject228:
            // A marked archive's own failure is settled by its replacement.
            if (object && TypeOf(object) == kTypeArchive && HasProperty(object, kMarkAncestor))
                return 0;
            reason = kReasonObject40;
            break;
        case RAVERR_UNSUPPORTED: reason = kReasonUnsupported; break;
        case RAVERR_IO: reason = kReasonIo; break;
        case kErrObject22B:
        case kErrObject22C: reason = kReasonObject43; break;
        case RAVERR_DEPTH: reason = kReasonComponentDepth; break;
        case RAVERR_NO_MEMORY: reason = kReasonNoMemory; break;
        default: break;
        }
        m_Result->AddReason(reason);
    } catch (...) {
        // Reading the object failed; the error goes unrecorded rather than
        // ending the walk.
    }
    return 0;
}

int32_t CScanEventSink::onObjectError(IRavObject* object, int32_t error, uint16_t* resultWord,
                                      int32_t)
{
    uint16_t word = 0;
    const int32_t code = Guarded([&]() -> int32_t {
        int32_t code = error;
        int32_t reason = kReasonOther;
        const int32_t type = object ? TypeOf(object) : -1;
        switch (error) {
        case 0:
            code = 0;
            reason = 0;
            break;
        case RAVERR_DAMAGED:
            if (type == kTypeArchive || type == kTypeEncoded) {
                reason = type == kTypeArchive ? kReasonDamagedArchive : kReasonDamagedEncoded;
                code = 0;
            }
            break;
        case RAVERR_CANNOT_CHANGE:
            reason = kReasonCannotChange;
            if (object && replaceByMarks(object, &word) >= 0) {
                code = 0;
                reason = 0;
            }
            break;
        case RAVERR_ENCRYPTED:
            if (type == kTypeArchive) {
                reason = kReasonEncryptedArchive;
                code = 0;
            } else {
                reason = kReasonEncrypted;
            }
            break;
        case RAVERR_LIMIT: reason = kReasonLimit; break;
        case RAVERR_REBUILD: reason = kReasonRebuild; break;
        case RAVERR_DEPTH: reason = kReasonComponentDepth; break;
        case RAVERR_NO_MEMORY: reason = kReasonNoMemory; break;
        case RAVERR_RENAME_REQUEST:
            reason = 0;
            code = object ? replaceByMarks(object, &word) : kSinkRenameAncestor;
            break;
        default: break;
        }
        if (reason != 0 && m_Result)
            m_Result->AddReason(reason);
        return code;
    });
    if (resultWord)
        *resultWord = word;
    return code;
}

int32_t CScanEventSink::onQuery(IRavObject*, int32_t* flag)
{
    if (flag)
        *flag = 1;
    return 0;
}

int32_t CScanEventSink::onObjectEnd(IRavObject*, uint16_t* resultWord, char* newDataFile,
                                    int32_t newDataFileSize)
{
    if (resultWord)
        *resultWord = 0;
    if (newDataFile && newDataFileSize > 0)
        newDataFile[0] = '\0';
    return 0;
}

int32_t CScanEventSink::onIdle() { return 0; }
