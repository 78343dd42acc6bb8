// The shared definitions store: one directory on the machine that holds the
// virus-definitions sets of every program, which sets exist, which is the
// newest, which application uses which, and how new sets are installed.
// The update launcher, the installer helper and the scanner plug-in each
// build this class in; they meet only through the store's files, its two
// lock files and the registry values below.
//
// Layout of the store (the root):
//   DEFINFO.DAT    [DefDates] CurDefs=<newest set>, LastDefs=<the one before>
//   USAGE.DAT      one section per set in use, named by the set's directory
//                  name, holding <application id>=1 for each user
//   KBLOCK.DAT     held while an update-client update runs
//   INCOMING/      where another program may drop a complete set;
//                  INCOMING/INLOCK.DAT is held while it is looked at
//   BinHub/, TextHub/   the hub files of the last full set
//   YYYYMMDD.RRR/  one directory per installed set (year, month, day,
//                  revision; "%04d%02d%02d.%03d")
//   TMPxxxxxx/     the temporary directories of a running update
//
// A set (the format the engine and the scanner rely on; defs_set.h writes
// one) is a directory of plain files:
//   VirScan1.dat   the binary definitions file; its first 32 bytes are the
//                  header: byte 4 revision, byte 8 month, byte 9 day,
//                  byte 10 year - 1900 (each one unsigned byte)
//   VirScanT.dat   optional text definitions file, the same header
//   Hub.Scr        marks a hub
//   *.ndb, *.hdb, *.cvd   the engine's signature databases, directly in the
//                  set's directory
//   CATALOG.DAT    sections "Files" (every file of the set), "Binary Hub
//                  Files - Intel", "Binary Hub Files - Common", "Text Hub
//                  Files" (what fills the hubs; the catalogue itself is one
//                  of the common files, so BinHub knows what a complete hub
//                  holds) and "Obsolete Files" (files of the previous set
//                  that the new set drops), one plain file name a line
// A directory holding VirScan1.dat, VirScanT.dat or Hub.Scr is a
// definitions directory; only its regular files are listed, copied or
// deleted, never subdirectories, and a catalogue entry must be a plain file
// name (no '/', not "." or "..").
//
// Registry values (under HKEY_LOCAL_MACHINE):
//   SOFTWARE\Quorvane\InstalledApps  MORAQDEFS               the root
//                                    ZELDefsInstallDir, ZELDefsBinInstallDir,
//                                    ZELDefsTextInstallDir   directories of a
//                                                            running update
//   SOFTWARE\Quorvane\SharedDefs     <application id>        its set
//   SOFTWARE\Quorvane\SharedDefs\Quillset  BinHubStamp, TextHubStamp,
//                                    LastBinUpdate, LastTextUpdate
//   SOFTWARE\Microsoft\Windows\CurrentVersion  CommonFilesDir  the base of
//                                    the root ("<base>/Quorvane Shared/VirusDefs");
//                                    when absent /var/lib/zelorm/common
//
// Paths are kept in canonical absolute form (realpath) wherever the path
// exists, and are at most kDefsMaxPath - 1 bytes; a longer one fails the
// operation that needed it.
//
// Public operations, each returning non-zero for success and 0 for failure;
// none throws, logs or shows anything:
//   SetAppId / SetAppInfo          name this application (and its DEFLOC.DAT
//                                  directory and a fallback root)
//   PreUpdate / PostUpdate         bracket an update that fills a download
//                                  directory, then install it when newer
//   UseNewestDefs[Only]            move the application to the newest set
//   FindNewestDefs / MoveToDefs    the same in two steps (find, then record)
//   UseDefs                        join a set that another application uses
//   StopUsingDefs                  leave the store (the last one removes it)
//   GetNewestDefsDate / GetCurrentDefsDate / DefsAreCurrent
//   PreIncrementalUpdate / PostIncrementalUpdate   bracket an update that
//                                  patches the hubs and installs the result
//   hubsComplete                   whether a hub holds every file it lists
//   ReadDefsHeader, makeDefsDirName, isNewer, joinPath   set identity, paths
//
// Incremental updates call two libraries of the engine maker, loaded at
// run time from the directory of the program or library this code runs in
// (SetLibraryDirectory for tests): the channel library "libkolt32i.so"
// (maker/kolt/kolt.h) and the patch library "libmend32i.so"
// (maker/mend/mend.h). A missing library or entry point fails the
// operation that needs it.
//
// Thread use: one object by one thread at a time. Between processes only
// KBLOCK.DAT and INLOCK.DAT exclude; the other files are rewritten
// atomically, the last writer winning.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

#include "platform/lock_file.h"

class IPatchApplication;

// Every path buffer of the store's operations; a path must fit with its
// terminating NUL.
constexpr size_t kDefsMaxPath = 260;

// Update modes of PreUpdate.
enum : int {
    kDefsModeInstall = 0,       // installer: may create the root, writes DEFLOC.DAT, fills the hubs
    kDefsModeUpdateClient = 1,  // update launcher: holds KBLOCK.DAT, publishes its directories
    kDefsModePlain = 2,         // the root must exist; nothing else
};

// Which definitions file gives a set's header.
enum : int { kDefsBinary = 0, kDefsText = 1 };

// What PreIncrementalUpdate is asked and answers (fields in this order).
struct IncrementalUpdateRequest {
    char* downloadDir;          // out: the download directory (kDefsMaxPath bytes)
    int32_t binaryChannelArg;   // in: handed to the channel library for BinHub
    uint16_t bufferSize;        // in: the size PreUpdate may write into downloadDir
    int32_t binaryChannel;      // out: the channel library's answer for BinHub
    int32_t binaryHubComplete;  // out: hubsComplete(BinHub, kDefsBinary)
    char* textDownloadDir;      // out: the text download directory (kDefsMaxPath bytes)
    int32_t textChannelArg;     // in: handed to the channel library for TextHub
    int32_t textChannel;        // out: the channel library's answer for TextHub
    int32_t textHubComplete;    // out: hubsComplete(TextHub, kDefsText)
    int32_t patchOption;        // in: when not 0, the option the patch library gets
};

// What PostIncrementalUpdate is asked and answers.
struct IncrementalFinishRequest {
    int32_t apply;          // in: 0 ends the update without patching
    int32_t binaryPatched;  // out: the binary patch applied (only when apply)
    int32_t textPatched;    // out: the text patch applied (only when apply)
};

class SharedDefs {
public:
    // Reads the root from "MORAQDEFS"; it stays unknown unless the value is a
    // non-empty text naming an existing directory.
    SharedDefs();
    // Releases a lock that an unfinished update still holds.
    ~SharedDefs();
    SharedDefs(const SharedDefs&) = delete;
    SharedDefs& operator=(const SharedDefs&) = delete;

    // Names this application. A null, empty or unusable id (one holding
    // '=', '\', CR, LF or NUL, or starting with '[' or ';') leaves the
    // object without one and gives 0; otherwise the result says whether a
    // root is known.
    int SetAppId(const char* id);

    // The id as SetAppId (0 for a bad one), the directory where this
    // application wants its DEFLOC.DAT (kept only when it exists) and a
    // root to create when none is found. 1 for a usable id.
    int SetAppInfo(const char* id, const char* deflocDir, const char* fallbackRoot);

    // Prepares an update: finds or creates the root (modes 0 and 1),
    // INCOMING and the hubs, takes KBLOCK.DAT (mode 1, failing at once when
    // another holder has it), installs a complete INCOMING set and makes
    // the download, merge and text download directories. The download
    // directory goes into buffer (size bytes). On failure no temporary
    // directory and no lock is left.
    int PreUpdate(char* buffer, size_t size, int mode);

    // Installs the downloaded set when it is newer than the newest one,
    // then removes the temporary directories and (mode 1) the published
    // values and the lock. 0 when the install failed or no update is
    // prepared (a second call does nothing).
    int PostUpdate();

    // Moves the application to the newest set (installing a complete
    // INCOMING set first). Non-zero when the application is on the newest
    // set afterwards, or, when there is none or its path does not fit size,
    // when the application has a set at all; buffer then holds the set the
    // application is on (empty when that does not fit). changed (may be
    // null) tells whether the application moved.
    int UseNewestDefs(char* buffer, size_t size, int* changed);
    int UseNewestDefsOnly();

    // The two halves of UseNewestDefs, for a caller that must first prove
    // the newest set usable (start an engine on it) before its use is
    // recorded, so that a set that fails leaves the record on the old one.
    // FindNewestDefs: the newest installed set (a complete INCOMING set is
    // installed first) into buffer (size bytes); 0, with an empty buffer,
    // when there is none, it does not fit, or no id or root is known.
    // Nothing is recorded. MoveToDefs: records the application on
    // directory, an installed set of the store (used by others or not),
    // and leaves its old set as UseNewestDefs does.
    int FindNewestDefs(char* buffer, size_t size);
    int MoveToDefs(const char* directory);

    // Joins directory, which another application must already use.
    int UseDefs(const char* directory);

    // Leaves the store; the last application removes it. 0 without an id or
    // root, else 1.
    int StopUsingDefs();

    // The header of the newest set (INCOMING included) or of this
    // application's set. Outputs may be null.
    int GetNewestDefsDate(uint16_t* year, uint16_t* month, uint16_t* day, uint32_t* revision);
    int GetCurrentDefsDate(uint16_t* year, uint16_t* month, uint16_t* day, uint32_t* revision);

    // Whether the application is on the newest set (a complete INCOMING set
    // counts as newest); true when it has a set and no newest one exists.
    int DefsAreCurrent();

    // Prepares an incremental update: PreUpdate(request->downloadDir,
    // request->bufferSize, mode), the text download directory into
    // request->textDownloadDir, whether each hub is complete, and the
    // channel of each hub from the channel library. A hub's stamp
    // ("BinHubStamp", "TextHubStamp") is handed on only when its last
    // update succeeded ("LastBinUpdate", "LastTextUpdate" non-zero), it is
    // present and the hub is complete; otherwise "00000000.000" is handed
    // on and written back. 0 without a request or either buffer (nothing
    // is touched), when PreUpdate fails, or when the channel library or its
    // entry point is missing: then the update stays prepared, to be
    // finished by PostIncrementalUpdate or PostUpdate.
    int PreIncrementalUpdate(IncrementalUpdateRequest* request, int mode);

    // Finishes an update prepared by PreIncrementalUpdate. With apply set,
    // the patch library applies the download directory's patch to BinHub
    // and the text download directory's patch to TextHub (one failing does
    // not stop the other), the patched files are merged and installed as a
    // new set when newer than the newest one (named by its VirScan1.dat, or
    // its VirScanT.dat when only the text patch applied), the stamps and
    // last-update flags are written; then the update ends as PostUpdate's
    // does. Non-zero when the update ended and, with apply set, a patch
    // applied and its set (when newer) was installed. 0, with the update
    // still prepared, without a request, a prepared update or both hubs,
    // or when the patch library or its entry point is missing.
    int PostIncrementalUpdate(IncrementalFinishRequest* request);

    // Whether hubDirectory holds every file that BinHub's CATALOG.DAT lists
    // for a hub of that kind: kDefsBinary "Binary Hub Files - Intel" and
    // "Binary Hub Files - Common", kDefsText "Text Hub Files". 0 without a
    // root, BinHub or its catalogue, or when a list is missing or empty.
    int hubsComplete(const char* hubDirectory, int kind) const;

    // The header of directory's VirScan1.dat (kind 0) or VirScanT.dat
    // (kind 1); 0 when the file is missing or shorter than 32 bytes.
    static int ReadDefsHeader(const char* directory, int kind, uint16_t* year, uint16_t* month,
                              uint16_t* day, uint32_t* revision);
    // The set's directory name "%04d%02d%02d.%03d" from that header.
    static bool makeDefsDirName(const std::string& directory, int kind, std::string& name);
    // True when set a's header (kind ka) is later than set b's (kind kb);
    // a set without a header is never newer, any set is newer than one
    // without.
    static bool isNewer(const std::string& a, const std::string& b, int ka, int kb);
    // Appends name to the path in buffer (size bytes) with one '/' between
    // (none after a trailing '/', a leading '/' of name dropped then); an
    // empty buffer takes name as it is. 0, with the buffer unchanged, when
    // the result and its NUL would not fit.
    static int joinPath(char* buffer, size_t size, const char* name);

    // For tests of interrupted installs: called at each step of an install
    // with the step's name. Process-wide; null removes it.
    static void SetStepHook(void (*hook)(const char* step));

    // For tests: the directory the maker's libraries are loaded from
    // instead of the one this code runs in. Process-wide; null restores it.
    static void SetLibraryDirectory(const char* directory);

    // The root (empty when unknown).
    const std::string& Root() const { return m_Root; }

private:
    using FileCallback = std::function<bool(const std::string& path)>;

    // Paths and files.
    static bool join(const std::string& base, const std::string& name, std::string& out);
    bool rootPath(const std::string& name, std::string& out) const;
    bool findRoot();
    bool makeTempDir(std::string& out);
    bool hubPath(int kind, std::string& out) const;
    bool incomingPath(std::string& out) const;
    static bool forEachDefsFile(const std::string& dir, const FileCallback& callback);
    static bool forEachCatalogFile(const std::string& dir, const char* section,
                                   const FileCallback& callback,
                                   const std::string& catalogDir = std::string());
    static bool deleteDefsFiles(const std::string& dir);
    static bool removeDefsDir(const std::string& dir);
    static bool copyDefsFiles(const std::string& from, const std::string& to);
    static void removeObsoleteFiles(const std::string& dir);
    static bool incomingComplete(const std::string& dir);

    // Locks.
    bool lockUpdate();
    void unlockUpdate();
    bool lockIncoming();
    void unlockIncoming();

    // DEFINFO.DAT and USAGE.DAT.
    bool readDefInfo(const char* key, std::string& name) const;
    bool isCurOrLastDefs(const std::string& dir) const;
    bool dirUnused(const std::string& dir) const;
    bool isStoreSet(const std::string& dir) const;

    // Installation.
    void processIncoming(std::string* installed);
    bool InstallDefs(const std::string& source, std::string* installed, int kind);
    bool recordCurrentDefs(const std::string& dir);
    void releaseOldDefs(const std::string& dir);
    bool copyHubFiles(const std::string& setDir);
    void endUpdate();

    // Incremental updates.
    void stampForChannel(int kind, bool hubComplete, std::string& stamp);
    bool applyPatch(IPatchApplication* patcher, const std::string& patchDir, int kind,
                    const std::string& output);
    static std::string libraryPath(const char* name);

    // Usage.
    bool getNewestDir(std::string& out, bool includeIncoming);
    bool getAppDir(std::string& out) const;
    bool appSection(std::string& section) const;
    bool registerOnDir(const std::string& dir, bool mayBeUnused);
    bool writeUsage(const std::string* oldDir, const std::string& newDir, bool mayBeUnused,
                    bool& released);
    void removeAllShared();
    int readDate(bool newest, uint16_t* year, uint16_t* month, uint16_t* day, uint32_t* revision);

    std::string m_AppId;
    std::string m_Root;
    std::string m_DownloadDir;
    std::string m_TextDownloadDir;
    std::string m_MergeDir;
    std::string m_DeflocDir;
    std::string m_FallbackRoot;
    platform::LockFile m_IncomingLock;
    platform::LockFile m_UpdateLock;
    int m_UpdateMode = kDefsModeInstall;
    int m_PatchOption = 0;
};
