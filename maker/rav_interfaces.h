#pragma once
// Interfaces of the decomposition component ("Rav2" and its format engines).
//
// The component opens a file (a mail message, an archive, an encoded file),
// walks every object inside it, hands each object to the caller's event sink
// and, when the sink rewrote or removed an object, rebuilds each container up
// to a new top file.
//
//   IRavel         the walker: engines, temporary directory, Process
//   IRavObject     one object of the tree (the file itself, a part, a member)
//   IRavelEvents   the caller's event sink, called during Process
//   IRavEngine     one format engine (identification, MIME, ZIP, ...)
//   Rav*           the C entry points of the shared libraries
//
// How a caller reaches them: link libRav2.so and the format libraries
// (libRav2ID.so, libRav2MIME.so, libRav2Zip.so, libRav2LHA.so, libRav2UUE.so,
// libRav2ARJ.so, libRav2GZIP.so, libRav2TAR.so, libRav2SS.so, libRav2AMG.so,
// libRav2CAB.so, libRav2LZ.so, libRav2RTF.so, libRav2TNEF.so), all installed
// in one directory, with RUNPATH $ORIGIN; or dlopen them by file name from
// that directory and look the entry points up with dlsym. Each library
// exports only its entry points. Every entry point returns 0 on success or a
// negative RAVERR_* code.
//
// The classes below use C types only and are created and deleted by the
// library that made them (RavNew... / RavDelete...), so no C++ run-time
// object crosses a library boundary.
//
// Conventions of this component (what the walk promises the sink):
//  - Every object is identified (its type and its engine) before the sink
//    sees it: onEnterObject(object, name, &process) first, with process 1 on
//    entry; 0 skips the object entirely (no onObject, no descent). A top
//    file that no engine recognises is read by the MIME engine (as a
//    message whose body is the whole file when it has no header), so its
//    bytes reach the sink as a part.
//  - onObject is called for every processed object, a container before its
//    members. The walk descends into a container only when onObject left it
//    unchanged (result word 0) and returned 0.
//  - Result word 1: the object's data file (or, when the sink wrote a path
//    into the new-data-file buffer, that file) holds the object's new bytes;
//    the object goes back under the name and content type set through
//    SetName and SetContentType. Result word 3: the object is removed.
//  - A container whose member changed is rebuilt; the rebuilt container is
//    then itself a changed member of its own container, up to the top file.
//    Process reports state 2 and writes the path of the rebuilt top file
//    (created in the temporary directory; the caller owns and removes it).
//  - A change a container cannot carry out (a read-only format, a failed
//    rebuild) is escalated: the container is reported to the sink with
//    onObjectError(RAVERR_CANNOT_CHANGE) and, unless the sink then replaced
//    it (result word 1), the container itself is removed from its own
//    container, and so on upwards. The top object is never removed: when
//    an escalation reaches a top object that is not a mail message Process
//    reports state 3 (the file is to be deleted); a mail message's direct
//    parts can always be dropped.
//  - When onObject answers RAVERR_RENAME_REQUEST, the sink has marked an
//    ancestor; every container of the object, from its parent up to the
//    direct part of the top object, is reported with
//    onObjectError(RAVERR_RENAME_REQUEST) until one answers result word 1
//    (replaced) or 3 (removed).
//  - Faults of a container (damaged, encrypted, a bound reached, a member
//    that could not be read) are reported on the container through
//    onObjectError, once per kind of fault; the members that were read are
//    still walked.
//  - RAVERR_ABORT from any sink call, or a continue flag of 0, ends the walk:
//    Process then returns RAVERR_ABORT and changes nothing.
//  - A multipart message is flattened: every leaf part is a direct child of
//    its message object (type 13); a message/rfc822 part is itself a mail
//    message whose parts are its children. Parts are named by their file
//    name (Content-Disposition filename, else Content-Type name; RFC 2231
//    and RFC 2047 decoded); an unnamed part is "part<N>" (N counts the
//    message's leaf parts from 1) with ".txt", ".htm" or ".eml" for plain
//    text, HTML and message parts. Archive members are named by their
//    member names. Names are labels only, never used as paths.
//  - Data files of members are temporary files (mkstemp) in a private
//    directory under the temporary directory; they are removed when Process
//    returns. The top object's data file is the input file itself; it is
//    never modifiable or removable.
//  - Buffers for names and paths passed to the interfaces hold
//    RAV_PATH_SIZE bytes; results longer than a buffer are cut and
//    terminated.
//
// Threads: one IRavel runs Process on several threads at once, each call
// with its own file object and sink. Engines are added before the first
// Process and removed after the last.

#include <cstddef>
#include <cstdint>

#define RAV_PATH_SIZE 4096

// Object types (IRavObject::GetType).
#define RAV_TYPE_FILE 0       // a plain object: no format this component opens
#define RAV_TYPE_ARCHIVE 4    // a container of several members (ZIP, TAR, LHA, CAB, ARJ, TNEF, RTF)
#define RAV_TYPE_GZIP 6       // the stream inside a gzip file
#define RAV_TYPE_ENCODED 12   // an encoding of members inside other data (UUE, LZ)
#define RAV_TYPE_MESSAGE 13   // a mail message (the top file or a message/rfc822 part)

// Process states.
#define RAV_STATE_UNCHANGED 0
#define RAV_STATE_REBUILT 2   // the new file's path is in the name buffer
#define RAV_STATE_DELETE 3    // the whole file is to be deleted

// Codes of the component (negative as 32-bit integers).
#define RAVERR_DAMAGED ((int32_t)0x8004020A)        // container damaged or truncated; what could be read was read
#define RAVERR_CANNOT_OPEN ((int32_t)0x8004020B)    // the file cannot be opened
#define RAVERR_CANNOT_CHANGE ((int32_t)0x8004021E)  // a container cannot carry out a change of its member
#define RAVERR_ENCRYPTED ((int32_t)0x8004021F)      // encrypted member or container
#define RAVERR_LIMIT ((int32_t)0x80040220)          // an extraction bound was reached
#define RAVERR_REBUILD ((int32_t)0x80040221)        // rebuilding the container failed
#define RAVERR_UNSUPPORTED ((int32_t)0x80040229)    // a method or feature that is not read
#define RAVERR_IO ((int32_t)0x8004022A)             // a temporary file could not be written
#define RAVERR_DEPTH ((int32_t)0x80040246)          // nesting bound of the component reached
#define RAVERR_NO_MEMORY ((int32_t)0x80040250)
#define RAVERR_ABORT ((int32_t)0x80040264)          // the sink ends the whole walk
#define RAVERR_BAD_ARGUMENT ((int32_t)0x80040265)   // a null or malformed argument
#define RAVERR_NOT_AVAILABLE ((int32_t)0x80040266)  // this engine is not provided
#define RAVERR_ENGINE ((int32_t)0x800402C8)         // the sink's scan failed on the object
#define RAVERR_RENAME_REQUEST ((int32_t)0x8004032C) // the sink marked an ancestor for replacement

class IRavObject;
class IRavelEvents;
class IRavEngine;

class IRavObject {
public:
    virtual ~IRavObject() {}
    virtual int32_t GetName(char* buffer, int32_t size) = 0;
    virtual int32_t GetParent(IRavObject** parent) = 0;  // null at the top
    virtual int32_t GetDepth(int32_t* depth) = 0;        // 0 at the top
    virtual int32_t GetDataFile(char* buffer, int32_t size) = 0;
    // Can the object's container drop it?
    virtual int32_t QueryRemovable(int32_t* flag) = 0;
    // Can some container between the top object and this object (not the
    // top object itself) be dropped or replaced? second is always 0.
    virtual int32_t QueryAncestorRemovable(int32_t* flag, int32_t* second) = 0;
    // Can the object's container take new bytes for it?
    virtual int32_t QueryModifiable(int32_t* flag) = 0;
    // value is null when the property is unset. Values belong to the caller:
    // the object never frees them.
    virtual int32_t GetProperty(const char* name, void** value) = 0;
    virtual int32_t SetProperty(const char* name, void* value) = 0;
    // keep is accepted for the caller's convention and not read.
    virtual int32_t SetName(const char* name, int32_t keep) = 0;
    virtual int32_t SetContentType(const char* type, int32_t keep) = 0;
    virtual int32_t GetType(int32_t* type) = 0;
};

class IRavelEvents {
public:
    virtual ~IRavelEvents() {}
    virtual int32_t onObject(IRavObject* object, uint16_t* resultWord, char* newDataFile,
                             int32_t newDataFileSize, int32_t* continueFlag) = 0;
    virtual int32_t onQuery(IRavObject* object, int32_t* flag) = 0;
    virtual int32_t onEnterObject(IRavObject* object, const char* name, int32_t* processFlag) = 0;
    virtual int32_t onError(IRavObject* object, int32_t error, int32_t value,
                            int32_t* continueFlag) = 0;
    virtual int32_t onObjectEnd(IRavObject* object, uint16_t* resultWord, char* newDataFile,
                                int32_t newDataFileSize) = 0;
    virtual int32_t onIdle() = 0;
    virtual int32_t onObjectError(IRavObject* object, int32_t error, uint16_t* resultWord,
                                  int32_t value) = 0;
};

// Bounds of one container's extraction.
struct RavLimits {
    uint64_t maxTotalBytes;   // all members of the container together
    uint64_t maxMemberBytes;  // one member
    uint32_t maxMembers;
    uint32_t maxRatio;        // expanded over stored, past ratioFloorBytes
    uint64_t ratioFloorBytes;
};

// Receives the members an engine extracts.
class IRavMemberList {
public:
    virtual ~IRavMemberList() {}
    // dataFile: a temporary file the engine created (the list owns it from
    // now on); null when the member could not be extracted (status not 0).
    // typeHint: RAV_TYPE_MESSAGE or RAV_TYPE_GZIP when the container knows
    // what the member is, else -1. formatHint: the name of the engine that
    // reads the member ("MIME"), or null.
    virtual int32_t AddMember(const char* name, const char* dataFile, uint64_t size,
                              uint32_t index, int32_t status, int32_t typeHint,
                              const char* formatHint) = 0;
};

// One change for a container rebuild.
struct RavMemberEdit {
    uint32_t index;           // the member's index given to AddMember
    int32_t remove;           // 1 drop the member, 0 replace its bytes
    const char* dataFile;     // replace: the new bytes
    const char* newName;      // replace: the new name, or null to keep it
    const char* contentType;  // replace: the new content type, or null
};

class IRavEngine {
public:
    virtual ~IRavEngine() {}
    // "ID", "MIME", "ZIP", "TAR", "GZIP", "LHA", "CAB", "UUE", "LZ", "TNEF",
    // "RTF", "ARJ".
    virtual const char* GetFormatName() = 0;
    // The RAV_TYPE_* of a container of this format.
    virtual int32_t GetObjectType() = 0;
    // 1 when the file holds this engine's format. head: the file's first
    // bytes (up to 4096).
    virtual int32_t Recognise(const char* path, const unsigned char* head, uint32_t size) = 0;
    // The identification engine only: the format name of the file, or null
    // when its magic bytes name none. Other engines answer null.
    virtual const char* Identify(const unsigned char* head, uint32_t size) = 0;
    // Bit 1: members can be replaced; bit 2: members can be removed.
    virtual int32_t GetCapabilities() = 0;
    // Members into temporary files in tempDir. 0 when the whole container
    // was read, else the RAVERR_* of the first fault (members read before it
    // were added).
    virtual int32_t Extract(const char* path, const char* tempDir, const RavLimits* limits,
                            IRavMemberList* members) = 0;
    // The container with the edits applied, written to outPath (created
    // exclusively). On failure outPath does not exist.
    virtual int32_t Rebuild(const char* path, const RavMemberEdit* edits, uint32_t count,
                            const char* outPath, const RavLimits* limits) = 0;
};

#define RAV_CAN_REPLACE 1
#define RAV_CAN_REMOVE 2

class IRavel {
public:
    virtual ~IRavel() {}
    virtual int32_t AddEngine(IRavEngine* engine) = 0;  // borrowed until RemoveEngines
    virtual int32_t RemoveEngines() = 0;
    // Created (mode 0700) when missing, at the first Process.
    virtual int32_t SetTempDir(const char* directory) = 0;
    // Walks file and calls sink; state: RAV_STATE_*; newName: the rebuilt
    // file's path for state 2, else empty.
    virtual int32_t Process(IRavObject* file, IRavelEvents* sink, uint16_t* state, char* newName,
                            int32_t newNameSize) = 0;
};

extern "C" {
// libRav2.so
int32_t RavNewRavel(IRavel** out);
int32_t RavDeleteRavel(IRavel* ravel);
// RAVERR_CANNOT_OPEN when path is not a readable regular file.
int32_t RavNewFileObject(const char* path, const char* name, IRavObject** out);
int32_t RavDeleteFileObject(IRavObject* object);

// The format libraries; each Delete accepts any engine of this component
// (the TNEF engine is deleted with RavDeleteRTFEngine). "SS" and "AMG" are
// not provided: their creation answers RAVERR_NOT_AVAILABLE.
int32_t RavNewIDEngine(IRavEngine** out);
int32_t RavDeleteIDEngine(IRavEngine* engine);
int32_t RavNewMimeEngine(IRavEngine** out);
int32_t RavDeleteMimeEngine(IRavEngine* engine);
int32_t RavNewZipEngine(IRavEngine** out);
int32_t RavDeleteZipEngine(IRavEngine* engine);
int32_t RavNewLHAEngine(IRavEngine** out);
int32_t RavDeleteLHAEngine(IRavEngine* engine);
int32_t RavNewUUEEngine(IRavEngine** out);
int32_t RavDeleteUUEEngine(IRavEngine* engine);
int32_t RavNewARJEngine(IRavEngine** out);
int32_t RavDeleteARJEngine(IRavEngine* engine);
int32_t RavNewGZIPEngine(IRavEngine** out);
int32_t RavDeleteGZIPEngine(IRavEngine* engine);
int32_t RavNewTAREngine(IRavEngine** out);
int32_t RavDeleteTAREngine(IRavEngine* engine);
int32_t RavNewSSEngine(IRavEngine** out);
int32_t RavDeleteSSEngine(IRavEngine* engine);
int32_t RavNewAMGEngine(IRavEngine** out);
int32_t RavDeleteAMGEngine(IRavEngine* engine);
int32_t RavNewCabEngine(IRavEngine** out);
int32_t RavDeleteCabEngine(IRavEngine* engine);
int32_t RavNewLZEngine(IRavEngine** out);
int32_t RavDeleteLZEngine(IRavEngine* engine);
int32_t RavNewRTFEngine(IRavEngine** out);
int32_t RavDeleteRTFEngine(IRavEngine* engine);
int32_t RavNewTNEFEngine(IRavEngine** out);
}
