#pragma once
// The virus engine ("ZELAPI32"): libZELAPI32.so, on libclamav.
//
//   ZELEngineInit        load and compile a definitions set; the engine handle
//   ZELEngineClose       free the engine (no scan may run on it)
//   ZELScanFile          scan one file; a virus handle when something matched
//   ZELRepairFile        always 6: this engine repairs nothing
//   ZELGetVirusInfo      item 0 the virus name, item 261 its id (decimal)
//   ZELFreeVirusHandle   release a virus handle
//   ZELGetVirusDefCount  number of signatures loaded
//   ZELGetVirusDBInfoEx  the database information block (five words)
//   ZELGetEngineApi      all of the above as a table of functions
//
// A caller (the scanner plug-in) links libZELAPI32.so with RUNPATH $ORIGIN,
// or dlopens it by file name and looks up ZELGetEngineApi; either way it
// should call the engine through a ZelEngineApi table, so its tests can put
// in an engine of their own (one that repairs, one that fails).
//
// Definitions: the set directory's files "*.ndb", "*.hdb" and "*.cvd" (the
// signature files, directly in it) are loaded; every other file beside them
// is ignored. The engine configuration file is not read (this engine has no
// settings of its own); a missing one is not an error. libclamav's own
// archive and mail parsing stay off: containers are the decomposition
// component's work. Heuristic level 0 leaves libclamav's heuristic alerts
// off, levels 1 to 3 turn them on. Names keep no ".UNOFFICIAL" suffix.
//
// Virus id: the FNV-1a hash (32 bits) of the virus name, top bit cleared,
// so the same name always has the same id.
//
// Database block (ZELGetVirusDBInfoEx): word 0 the caller's size (20);
// word 1 the signature count; word 2 the set's date as yyyymmdd; word 3 its
// revision; word 4 the database word: year << 20 | month << 16 | day << 11 |
// revision (revision 0..2047). The date and revision come from the set
// directory's name "yyyymmdd.rrr"; another name gives 0 in words 2 to 4.
//
// Errors: ZELEngineInit: 1 libclamav could not start, 2 the definitions could
// not be loaded (no directory, a bad signature file), 3 a bad argument
// (null directory, heuristic level outside 0..3), 4 out of memory. Other
// functions: 1 a bad argument or handle, 2 the file cannot be read, 5 the
// scan failed, 6 (repair) the virus cannot be repaired, 7 a buffer too small
// (*size is set to the size needed).
//
// Threads: scans on one handle run concurrently; ZELEngineInit and
// ZELEngineClose must not overlap a scan of the same handle (the caller's
// lock sees to it; close also waits for scans still running).

#include <cstdint>

typedef struct ZelEngine* ZELHANDLE;
typedef struct ZelVirus* ZELVIRUS;

#define ZEL_OK 0
#define ZEL_ERR_START 1
#define ZEL_ERR_BADARG 1
#define ZEL_ERR_DEFS 2
#define ZEL_ERR_READ 2
#define ZEL_ERR_ARGUMENT 3
#define ZEL_ERR_MEMORY 4
#define ZEL_ERR_SCAN 5
#define ZEL_ERR_NOT_REPAIRABLE 6
#define ZEL_ERR_BUFFER 7

#define ZEL_INFO_NAME 0
#define ZEL_INFO_ID 261

extern "C" {
ZELHANDLE ZELEngineInit(const char* defsDir, const char* iniPath, int32_t reserved1,
                        uint16_t heuristicLevel, int32_t reserved2, int32_t* error);
int32_t ZELEngineClose(ZELHANDLE engine);
int32_t ZELScanFile(ZELHANDLE engine, const char* path, const char* extension, int32_t reserved,
                    ZELVIRUS* virus);
int32_t ZELRepairFile(ZELHANDLE engine, const char* path, const char* extension);
int32_t ZELGetVirusInfo(ZELVIRUS virus, int32_t item, char* buffer, int32_t* size);
int32_t ZELFreeVirusHandle(ZELVIRUS virus);
int32_t ZELGetVirusDefCount(ZELHANDLE engine, uint32_t* count);
int32_t ZELGetVirusDBInfoEx(ZELHANDLE engine, uint32_t* block);
}

struct ZelEngineApi {
    decltype(&ZELEngineInit) EngineInit;
    decltype(&ZELEngineClose) EngineClose;
    decltype(&ZELScanFile) ScanFile;
    decltype(&ZELRepairFile) RepairFile;
    decltype(&ZELGetVirusInfo) GetVirusInfo;
    decltype(&ZELFreeVirusHandle) FreeVirusHandle;
    decltype(&ZELGetVirusDefCount) GetVirusDefCount;
    decltype(&ZELGetVirusDBInfoEx) GetVirusDBInfoEx;
};

extern "C" {
// Fills *api with this library's functions; 1 for a null pointer, else 0.
int32_t ZELGetEngineApi(ZelEngineApi* api);
}
