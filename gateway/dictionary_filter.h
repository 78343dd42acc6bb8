// CDictionaryFilter: scores a text against dictionaries of weighted words and
// phrases. The content filter sums the scores over a message and refuses it
// when the sum reaches the recipient's threshold; the web administration
// removes a deleted dictionary's entries (DeleteDictionary).
//
//   CDictionaryFilter::ScoreText         score of a text for a list of dictionaries
//   CDictionaryFilter::DeleteWord        drop an entry of the local file's table
//   CDictionaryFilter::DeleteDictionary  drop a dictionary's local entries and save
//   CDictionaryFilter::reload            read both files again ("_old" recovery)
//   CDictionaryFilter::save              write the local table to the local file
//
// Files. Two files hold the entries of every dictionary: a base file that is
// only read, and a local file that the filter rewrites. Line 1 of each is the
// versioned header of core/file_header.h with format number 2, plain text,
// ended by LF. Every further line is one entry:
//   text ":" flag ":" dictionary ":" language ":" first ":" second
// text: a word, or a phrase of words separated by blanks; flag: one
// character, "R" makes matches be overwritten with "-" in the scored text;
// language: read past ("english" when written); first: at most 6 characters
// of "+", "-" and digits; second: "+", "-" and digits. Trailing CR and LF
// are removed. In the base file every entry line, its LF included, is stored
// with the two 4-bit halves of each byte exchanged (so it ends in 0xA0); the
// local file is plain and is written with CR LF line ends.
//
// Scoring (ScoreText): the text is cut into words of "a"-"z", "A"-"Z",
// "0"-"9", "_" and the bytes 0xC0-0xD6, 0xD8-0xF6, 0xF8-0xFF (a double-byte
// character of the code page is passed over; a word ends after 4095 bytes
// and the byte after it is passed over). Runs of known words, with single
// unknown words between them, form phrases; each phrase is scored from its
// words' numbers and from the multi-word entries that occur in it at word
// boundaries. An entry counts when its dictionary is one of the names of the
// dictionary list (0x1C-separated, compared without regard to case).
//
// Loading: nothing is read at construction. Each ScoreText call first checks
// the files, at most every 10 s: when the base file or the local file exists
// and differs from what the last load read (modification time to the
// nanosecond, size, identity), or nothing was loaded yet, the files are read
// again (at most once a second). A load reads into fresh tables; a failed
// load empties them and refuses scoring (1) and saving (message 30) until a
// load succeeds. A base file that fails to load is replaced by its "_old"
// copy (one rename over it) and read again. A missing local file is no
// failure; a missing base file is.
//
// Saving writes "<local>_new" (created exclusively, synced), links the local
// file to "<local>_old", and renames "_new" over the local file, so the file
// is never missing. Deleted entries stay in the scoring tables until the
// next load, which the changed local file brings about.
//
// Bounds and bad input: a file over kMaxFileSize bytes, a line over
// kMaxLineLength bytes, more than kMaxEntries entry lines in one file, a bad
// header, or an entry line whose fields break the format above make the load
// fail (event 26 with the file and line, 27 for a wrong format number, a
// debug line saying which bound was passed); a line without ":" is reported
// (26) and skipped. Memory exhaustion fails the load (event 24). A null
// text, a negative length or a null dictionary list scores nothing. A
// failure of the named mutex (reported by the mutex) makes the operation
// fail with 1; no exception passes out.
//
// Threads: any thread may call the public operations. Scoring holds the
// table lock for reading; loading, deleting and saving hold it for writing
// and, for the file access, the named mutex "QVDDRFILELOCK", which other
// processes take too. Lock order: the check lock, released before the table
// lock is taken; then the table lock; then "QVDDRFILELOCK". Not copyable.
#pragma once

#include <time.h>

#include <memory>
#include <string>

#include "core/hash_table.h"
#include "core/rw_lock.h"
#include "core/vorn_lock.h"
#include "core/vorn_string.h"
#include "platform/file_replace.h"

class CVornFileHeader;

// One entry of the tables.
struct DictionaryEntry {
    int m_Replace = 0;         // 1: matches are overwritten with "-"
    std::string m_Dictionary;  // "none" for phrase-part records
    int m_PhrasePart = 0;      // 1: stands for a word of a multi-word entry
    int m_First = 0;           // added to the primary score
    int m_Second = 0;          // added to the secondary score (words only)
};

class CDictionaryFilter {
public:
    // The cross-process lock of the dictionary files.
    static constexpr const char* kLockName = "QVDDRFILELOCK";
    static constexpr int kFormatNumber = 2;
    // Bounds of what a load reads.
    static constexpr long long kMaxFileSize = 16LL * 1024 * 1024;
    static constexpr int kMaxLineLength = 8192;
    static constexpr int kMaxEntries = 250000;
    // The longest word that is scored; a phrase stays under kMaxPhrase bytes.
    static constexpr int kMaxWord = 4095;
    static constexpr int kMaxPhrase = 4096;
    // The report of ScoreText never grows past this many bytes.
    static constexpr int kMaxReportLength = 8192;

    // basePath, localPath: the two files (null counts as empty, which never
    // loads). Nothing is read yet; scoring loads on first use.
    CDictionaryFilter(const char* basePath, const char* localPath);
    virtual ~CDictionaryFilter();
    CDictionaryFilter(const CDictionaryFilter&) = delete;
    CDictionaryFilter& operator=(const CDictionaryFilter&) = delete;

    // Scores the first length bytes of text (no byte beyond is read) with
    // mode 1 to 5 (the content filter uses 3; see the weights in the source)
    // against the 0x1C-separated dictionary list. 1 when the dictionaries
    // are not loaded (score 0). Else 0 with score; words and phrases of "R"
    // entries in text are overwritten with "-", and a line
    //   <text 818> ": " <phrase> [" (" score ")" when verbose] CR LF
    // is appended to report for every phrase that scored above 0, while
    // the report with that line and room for one more stays within
    // kMaxReportLength bytes. The first line that does not fit is replaced
    // by the line  <text 818> ": ..." CR LF  and no line is appended after
    // it (a report that already ends in it gets nothing more, so a caller
    // may pass one report to the calls for all pieces of a message).
    int ScoreText(char* text, int length, int mode, const char* dictionaries, int& score,
                  CVornString& report);

    // Removes entry (plain text) from the local table: 0 removed, 1 absent
    // (also for null). The scoring tables keep it until the next load.
    int DeleteWord(const char* entry);

    // Removes every local entry whose dictionary equals name (without regard
    // to case) and saves the local file: the save's result, 0 or 1 (1 also
    // for a null name). The files are read first when they changed since the
    // last load (or nothing was loaded), so no change made by another
    // process is overwritten; table lock and named mutex are held
    // throughout.
    int DeleteDictionary(const char* name);

    // Reads both files again: 0 loaded, 1 failed. Without force, nothing
    // happens (0) when the last successful load was at most 1 s ago.
    int reload(bool force);

    // Writes the local table to the local file as said above: 0 ok, 1
    // failure (the local file then stays as it was). Refused (message 30
    // with the "_new" path, 1) while the last load failed. When the local
    // file was missing at the last load there is nothing to write: 0, and
    // no file is made.
    int save();

private:
    struct Tables;
    struct PhraseScore {
        int m_Score = 0;
        int m_Secondary = 0;
        bool m_Replace = false;
    };
    // Results of reading one file.
    enum ReadResult { kReadOk, kReadMissing, kReadFailed };

    // REQUIRES (load, readFile, loadWithRecovery, saveLocked,
    // deleteWordLocked, filesChanged): the table lock for writing (for
    // filesChanged either side) and, except for deleteWordLocked and
    // filesChanged, "QVDDRFILELOCK".
    // Reads both files into fresh tables; true when loaded.
    bool load(bool* baseFailed);
    bool loadWithRecovery();
    ReadResult readFile(CVornString& path, bool base, Tables& tables,
                        std::unique_ptr<CVornFileHeader>& header);
    int saveLocked();
    int deleteWordLocked(const char* entry);
    // Whether the files differ from what the last load read (a missing file
    // counts as unchanged), or no load was made yet.
    bool filesChanged();

    // Reloads when the files changed, at most every 10 s.
    void checkTimestamp();

    // REQUIRES: the table lock, either side.
    const DictionaryEntry* findWord(const CVornString& word) const;
    PhraseScore scorePhrase(const CVornString& phrase, int mode, const CVornString* names,
                            int nameCount) const;
    // Frees every entry of the tables and empties them.
    void clearTables();

    // Everything below is guarded by m_TableLock, but m_LastCheck, which
    // m_CheckLock guards.
    int m_LoadFailed = 1;      // 1 while the last load failed (or none was made)
    bool m_Attempted = false;  // a load was tried
    time_t m_LoadTime = 0;     // the last successful load
    std::unique_ptr<Tables> m_Tables;
    CVornString m_BasePath{CVornString::kUnlocked};
    CVornString m_LocalPath{CVornString::kUnlocked};
    int m_Verbose = 0;  // registry value "didactict" is 1
    std::unique_ptr<CVornFileHeader> m_BaseHeader;
    std::unique_ptr<CVornFileHeader> m_LocalHeader;
    // What the last load attempt saw of the files.
    platform::FileStamp m_BaseStamp;
    platform::FileStamp m_LocalStamp;
    mutable CVornRWLock m_TableLock;

    time_t m_LastCheck = 0;
    CVornLock m_CheckLock;
};
