// The dictionary filter: dictionaries of weighted words and phrases, read
// from a base file and a local file, and the score of a text against them.
//
//   CDictionaryFilter::ScoreText         score of a text (may overwrite "R" matches)
//   CDictionaryFilter::DeleteWord        drop a local entry
//   CDictionaryFilter::DeleteDictionary  drop a dictionary's local entries and save
//   CDictionaryFilter::reload / save     read both files / write the local file
//
// Bad input: see dictionary_filter.h. A malformed file fails its load with
// an event that names the file and the line; scoring is then refused, never
// done on half a table.
#include "gateway/dictionary_filter.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/file_header.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "core/vorn_exception.h"
#include "core/vorn_mutex.h"
#include "platform/file_ops.h"

namespace {

enum : int { kEventError = 1 };

enum : int {
    kMsgNoMemory = 24,
    kMsgBadLine = 26,
    kMsgBadFormatNumber = 27,
    kMsgSaveRefused = 30,
    kMsgPhraseFound = 818,
};

// Seconds between two looks at the files, and between two loads.
constexpr time_t kCheckInterval = 9;
constexpr time_t kReloadInterval = 1;

// The longest first number of an entry line, in characters.
constexpr int kMaxFirstNumber = 6;
// Numbers of entry lines are read as atoi would, kept within this bound.
constexpr long kNumberBound = 999999999L;

const char kListSeparator = '\x1C';

// An unknown word inside a phrase costs this much of the secondary score;
// a phrase that ends in an unknown word gets it back.
constexpr double kUnknownWordCost = 5.0;

// Holds "QVDDRFILELOCK" for a scope. The constructor passes on the mutex's
// CVornException (nothing is then held); the destructor never throws.
class DictionaryFileLock {
public:
    DictionaryFileLock() { m_Mutex.Lock(CDictionaryFilter::kLockName); }
    ~DictionaryFileLock() {
        try {
            m_Mutex.Unlock();
        } catch (...) {
            // Already reported by the mutex; a destructor must not throw.
        }
    }
    DictionaryFileLock(const DictionaryFileLock&) = delete;
    DictionaryFileLock& operator=(const DictionaryFileLock&) = delete;

private:
    CVornMutex m_Mutex;
};

bool isWordChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || c >= 0xF8;
}

bool isNumberText(const char* text, int length) {
    for (int i = 0; i < length; ++i) {
        if (text[i] != '+' && text[i] != '-' && (text[i] < '0' || text[i] > '9'))
            return false;
    }
    return true;
}

// atoi of a text of "+", "-" and digits (one sign, then digits up to the
// first other character), kept within kNumberBound.
int readNumber(const char* text, int length) {
    int i = 0;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kNumberBound)
            value = kNumberBound;
    }
    return static_cast<int>(negative ? -value : value);
}

// Truncation toward zero, within the range of an int.
int truncateToInt(double value) {
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

int clampToInt(long long value) {
    return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, value)));
}

// The weights of a positive (or zero) and of a negative number by mode.
void modeWeights(int mode, double* positive, double* negative) {
    switch (mode) {
        case 1:
            *positive = 0.5;
            *negative = 2.0;
            break;
        case 2:
            *positive = 0.67;
            *negative = 1.5;
            break;
        case 4:
            *positive = 1.5;
            *negative = 0.67;
            break;
        case 5:
            *positive = 2.0;
            *negative = 0.5;
            break;
        default:
            *positive = 1.0;
            *negative = 1.0;
            break;
    }
}

void trimLineEnd(CVornString& line) {
    int n = line.Length();
    while (n > 0 && (line.CharAt(n - 1) == '\r' || line.CharAt(n - 1) == '\n')) --n;
    line.KeepLeft(n);
}

// Words separated by single blanks, none empty: the only shape of entry
// text that can occur at word boundaries of a scored phrase.
bool isPlainPhrase(const std::string& text) {
    if (text.empty() || text.front() == ' ' || text.back() == ' ')
        return false;
    return text.find("  ") == std::string::npos;
}

void tooLarge(const char* what, const CVornString& path, long long bound) {
    if (g_LogSilent)
        return;
    CVornString text(CVornString::kUnlocked);
    text.Append("Dictionary file ");
    text.Append(path);
    text.Append(": ");
    text.Append(what);
    text.Append(" over the bound of ");
    char number[32];
    snprintf(number, sizeof number, "%lld", bound);
    text.Append(number);
    LogText(kLogError, text.CStr());
}

}  // namespace

// The three tables of one load, and the multi-word entries by their first
// word (pointers into the phrase table, which owns them), so that a phrase
// finds the entries that occur in it without a pass over the whole table.
struct CDictionaryFilter::Tables {
    struct PhraseRef {
        std::string m_Text;
        const DictionaryEntry* m_Entry;
    };

    CVornMap<DictionaryEntry> m_Phrases;
    CVornMap<DictionaryEntry> m_Words;
    CVornMap<DictionaryEntry> m_Local;
    std::unordered_map<std::string, std::vector<PhraseRef>> m_ByFirstWord;

    void Clear() {
        m_ByFirstWord.clear();
        m_Phrases.Clear();
        m_Words.Clear();
        m_Local.Clear();
    }

    // Stores a parsed entry: phrase-part records for the words of a phrase
    // that have no record yet, the entry itself in the phrase or word table,
    // and a copy in the local table for entries of the local file. Throws
    // std::bad_alloc.
    void Add(const char* text, int length, const DictionaryEntry& entry, bool local) {
        CVornString key(text, length, CVornString::kUnlocked);
        key.SwapNibbles();
        const bool phrase = memchr(text, ' ', static_cast<size_t>(length)) != nullptr;
        if (phrase) {
            CVornString word(CVornString::kUnlocked);
            for (int start = 0; start < length;) {
                const void* blank = memchr(text + start, ' ', static_cast<size_t>(length - start));
                int end = blank ? static_cast<int>(static_cast<const char*>(blank) - text) : length;
                if (end > start) {
                    word.Assign(text + start, end - start);
                    word.SwapNibbles();
                    if (!m_Words.Find(word, nullptr, false)) {
                        std::unique_ptr<DictionaryEntry> part(new DictionaryEntry);
                        part->m_Dictionary = "none";
                        part->m_PhrasePart = 1;
                        m_Words.Insert(word, part.get(), &DeleteObject<DictionaryEntry>);
                        part.release();
                    }
                }
                start = end + 1;
            }
        }
        std::unique_ptr<DictionaryEntry> stored(new DictionaryEntry(entry));
        (phrase ? m_Phrases : m_Words).Insert(key, stored.get(), &DeleteObject<DictionaryEntry>);
        stored.release();
        if (local) {
            std::unique_ptr<DictionaryEntry> copy(new DictionaryEntry(entry));
            m_Local.Insert(key, copy.get(), &DeleteObject<DictionaryEntry>);
            copy.release();
        }
    }

    // Fills m_ByFirstWord from the phrase table. Throws std::bad_alloc.
    // REQUIRES: no other thread uses the tables (the pass uses the table's
    // cursor).
    void IndexPhrases() {
        m_ByFirstWord.clear();
        CVornString key(CVornString::kUnlocked);
        void* value = nullptr;
        for (bool more = m_Phrases.First(key, &value); more; more = m_Phrases.Next(key, &value)) {
            key.SwapNibbles();
            std::string text(key.CStr(), static_cast<size_t>(key.Length()));
            if (!isPlainPhrase(text))
                continue;
            std::string first = text.substr(0, text.find(' '));
            m_ByFirstWord[first].push_back({text, static_cast<const DictionaryEntry*>(value)});
        }
    }
};

CDictionaryFilter::CDictionaryFilter(const char* basePath, const char* localPath)
    : m_Tables(new Tables) {
    m_BasePath.Assign(basePath ? basePath : "");
    m_LocalPath.Assign(localPath ? localPath : "");
}

CDictionaryFilter::~CDictionaryFilter() = default;

void CDictionaryFilter::clearTables() {
    m_Tables->Clear();
}

const DictionaryEntry* CDictionaryFilter::findWord(const CVornString& word) const {
    CVornString key(word, CVornString::kUnlocked);
    key.SwapNibbles();
    void* value = nullptr;
    if (!m_Tables->m_Words.Find(key, &value, false))
        return nullptr;
    return static_cast<const DictionaryEntry*>(value);
}

// ---- Loading

CDictionaryFilter::ReadResult CDictionaryFilter::readFile(
    CVornString& path, bool base, Tables& tables, std::unique_ptr<CVornFileHeader>& header) {
    const char* name = path.CStr();
    // A missing local file is the normal case: no error event for it.
    if (path.IsEmpty() || !FileExists(name, false))
        return kReadMissing;
    CVornDiskFile file(name, kFileReadOnly | kFileNoPathLock);
    if (!file.Open())
        return kReadMissing;

    if (file.Size() > kMaxFileSize) {
        tooLarge("size", path, kMaxFileSize);
        LogEventStrInt(kMsgBadLine, kEventError, name, 0);
        return kReadFailed;
    }

    CVornString line(CVornString::kUnlocked);
    int n = file.ReadLine(line, "\n");
    if (n > kMaxLineLength)
        tooLarge("header line length", path, kMaxLineLength);
    int number = 0;
    if (n <= 0 || n > kMaxLineLength || header->Parse(line) != CVornFileHeader::kParsed ||
        !header->GetNumber(&number)) {
        LogEventStrInt(kMsgBadLine, kEventError, name, 0);
        return kReadFailed;
    }
    if (number != kFormatNumber) {
        LogEventStrInt(kMsgBadLine, kEventError, name, 0);
        unsigned char shown = static_cast<unsigned char>(line.CharAt(2));
        if (shown < 0x20 || shown >= 0x7F)
            shown = '?';
        LogEventStrInt(kMsgBadFormatNumber, kEventError, name, shown);
        return kReadFailed;
    }

    // Entry lines of the base file end in the swapped LF.
    const char* terminator = base ? "\xA0" : "\n";
    DictionaryEntry entry;
    for (int lineNumber = 1;; ++lineNumber) {
        n = file.ReadLine(line, terminator);
        if (n == 0)
            break;
        if (n > kMaxLineLength)
            tooLarge("line length", path, kMaxLineLength);
        if (lineNumber > kMaxEntries)
            tooLarge("count of entry lines", path, kMaxEntries);
        if (n < 0 || n > kMaxLineLength || lineNumber > kMaxEntries) {
            LogEventStrInt(kMsgBadLine, kEventError, name, lineNumber);
            return kReadFailed;
        }
        if (base)
            line.SwapNibbles();
        trimLineEnd(line);
        const char* text = line.CStr();
        const int length = line.Length();
        if (!memchr(text, ':', static_cast<size_t>(length))) {
            LogEventStrInt(kMsgBadLine, kEventError, name, lineNumber);
            continue;
        }
        // text ":" flag ":" dictionary ":" language ":" first ":" second
        int colons[5];
        int count = 0;
        bool broken = memchr(text, '\0', static_cast<size_t>(length)) != nullptr;
        for (int i = 0; i < length && !broken; ++i) {
            if (text[i] != ':')
                continue;
            if (count == 5)
                broken = true;  // a ":" inside the second number
            else
                colons[count++] = i;
        }
        broken = broken || count != 5 || colons[1] - colons[0] != 2;
        const int firstLength = broken ? 0 : colons[4] - colons[3] - 1;
        const int secondLength = broken ? 0 : length - colons[4] - 1;
        broken = broken || firstLength > kMaxFirstNumber ||
                 !isNumberText(text + colons[3] + 1, firstLength) ||
                 !isNumberText(text + colons[4] + 1, secondLength);
        if (broken) {
            LogEventStrInt(kMsgBadLine, kEventError, name, lineNumber);
            return kReadFailed;
        }
        entry.m_Replace = text[colons[0] + 1] == 'R' ? 1 : 0;
        entry.m_Dictionary.assign(text + colons[1] + 1,
                                  static_cast<size_t>(colons[2] - colons[1] - 1));
        entry.m_PhrasePart = 0;
        entry.m_First = readNumber(text + colons[3] + 1, firstLength);
        entry.m_Second = readNumber(text + colons[4] + 1, secondLength);
        tables.Add(text, colons[0], entry, !base);
    }
    return kReadOk;
}

bool CDictionaryFilter::load(bool* baseFailed) {
    *baseFailed = false;
    m_Attempted = true;
    m_LoadFailed = 1;
    // What this load reads; a later change to either file is a reason to
    // read again.
    m_BaseStamp = platform::GetFileStamp(m_BasePath.CStr());
    m_LocalStamp = platform::GetFileStamp(m_LocalPath.CStr());
    clearTables();
    try {
        std::unique_ptr<CVornFileHeader> baseHeader(new CVornFileHeader);
        std::unique_ptr<CVornFileHeader> localHeader(new CVornFileHeader);
        if (readFile(m_BasePath, true, *m_Tables, baseHeader) != kReadOk) {
            *baseFailed = true;
            clearTables();
            return false;
        }
        if (readFile(m_LocalPath, false, *m_Tables, localHeader) == kReadFailed) {
            clearTables();
            return false;
        }
        m_Tables->IndexPhrases();
        m_BaseHeader = std::move(baseHeader);
        m_LocalHeader = std::move(localHeader);
    } catch (const std::bad_alloc&) {
        clearTables();
        LogEventInt(kMsgNoMemory, kEventError, 0);
        return false;
    }
    m_LoadTime = RefreshNow();
    m_LoadFailed = 0;
    CVornString verbose(CVornString::kUnlocked);
    m_Verbose = GetProductRegValue(kProductRegistryKey, "didactict", verbose, false) == 0 &&
                        verbose.ToInt() == 1
                    ? 1
                    : 0;
    return true;
}

bool CDictionaryFilter::loadWithRecovery() {
    bool baseFailed = false;
    if (load(&baseFailed))
        return true;
    // Only a base file that did not load is replaced by its previous copy: a
    // fault of the local file must not undo a newer base file.
    if (!baseFailed)
        return false;
    CVornString oldPath(m_BasePath, CVornString::kUnlocked);
    oldPath.Append("_old");
    if (m_BasePath.IsEmpty() || !FileExists(oldPath.CStr(), false))
        return false;
    // One rename over the bad file: the path never lacks a file.
    if (!platform::RenamePath(oldPath.CStr(), m_BasePath.CStr(), true)) {
        LogEventStrStrInt(kMsgFileRenameFailed, kEventError, oldPath.CStr(), m_BasePath.CStr(),
                          errno);
        return false;
    }
    return load(&baseFailed);
}

bool CDictionaryFilter::filesChanged() {
    if (!m_Attempted)
        return true;
    // A file that is missing now has nothing new to read.
    platform::FileStamp stamp = platform::GetFileStamp(m_BasePath.CStr());
    if (stamp.exists && stamp != m_BaseStamp)
        return true;
    stamp = platform::GetFileStamp(m_LocalPath.CStr());
    return stamp.exists && stamp != m_LocalStamp;
}

int CDictionaryFilter::reload(bool force) {
    try {
        CVornWriteGuard tables(m_TableLock);
        if (!force && Now() - m_LoadTime <= kReloadInterval)
            return 0;
        DictionaryFileLock fileLock;
        return loadWithRecovery() ? 0 : 1;
    } catch (const CVornException&) {
        return 1;
    }
}

void CDictionaryFilter::checkTimestamp() {
    {
        CVornLockGuard guard(m_CheckLock);
        const time_t now = Now();
        if (now - m_LastCheck <= kCheckInterval)
            return;
        // One look per interval, whatever it finds: a change that a load
        // skipped (one ran less than a second ago) is seen at the next look.
        m_LastCheck = now;
    }
    bool changed;
    {
        CVornReadGuard tables(m_TableLock);
        changed = filesChanged();
    }
    if (changed)
        reload(false);
}

// ---- Scoring

CDictionaryFilter::PhraseScore CDictionaryFilter::scorePhrase(const CVornString& phrase, int mode,
                                                              const CVornString* names,
                                                              int nameCount) const {
    double positive = 1.0;
    double negative = 1.0;
    modeWeights(mode, &positive, &negative);
    auto weighted = [&](int number) { return number * (number >= 0 ? positive : negative); };
    auto inList = [&](const std::string& dictionary) {
        for (int i = 0; i < nameCount; ++i) {
            if (names[i].Equals(dictionary.c_str(), 0))
                return true;
        }
        return false;
    };

    PhraseScore result;
    double primary = 0.0;
    double secondary = 0.0;
    bool matched = false;
    int found = 0;
    bool lastKnown = false;

    const char* text = phrase.Data();
    const int length = phrase.Length();
    struct Span {
        int m_Start;
        int m_Length;
    };
    std::vector<Span> words;
    CVornString word(CVornString::kUnlocked);
    for (int start = 0; start < length;) {
        const void* blank = memchr(text + start, ' ', static_cast<size_t>(length - start));
        int end = blank ? static_cast<int>(static_cast<const char*>(blank) - text) : length;
        if (end > start) {
            words.push_back({start, end - start});
            word.Assign(text + start, end - start);
            const DictionaryEntry* entry = findWord(word);
            if (entry) {
                lastKnown = true;
                ++found;
                bool counts = false;
                if (inList(entry->m_Dictionary)) {
                    matched = true;
                    counts = true;
                } else if (entry->m_Dictionary == "none") {
                    counts = true;
                }
                if (counts) {
                    primary += weighted(entry->m_First);
                    secondary += weighted(entry->m_Second);
                }
            } else {
                lastKnown = false;
                secondary -= kUnknownWordCost;
            }
        }
        start = end + 1;
    }

    // Multi-word entries count at every place where they stand in the
    // phrase as whole words.
    if (found > 1) {
        for (const Span& span : words) {
            auto candidates =
                m_Tables->m_ByFirstWord.find(std::string(text + span.m_Start, span.m_Length));
            if (candidates == m_Tables->m_ByFirstWord.end())
                continue;
            for (const Tables::PhraseRef& ref : candidates->second) {
                const int size = static_cast<int>(ref.m_Text.size());
                if (span.m_Start + size > length ||
                    memcmp(text + span.m_Start, ref.m_Text.data(), ref.m_Text.size()) != 0 ||
                    (span.m_Start + size < length && text[span.m_Start + size] != ' ') ||
                    !inList(ref.m_Entry->m_Dictionary))
                    continue;
                primary += weighted(ref.m_Entry->m_First);
                matched = true;
                if (ref.m_Entry->m_Replace)
                    result.m_Replace = true;
            }
        }
    }
    if (!lastKnown)
        secondary += kUnknownWordCost;

    const int primaryScore = truncateToInt(primary);
    const int secondaryScore = truncateToInt(secondary);
    if (matched && found <= 1) {
        result.m_Score = primaryScore;
        result.m_Secondary = secondaryScore;
    } else if (matched) {
        result.m_Score = clampToInt(static_cast<long long>(primaryScore) + secondaryScore);
        result.m_Secondary = 0;
    } else {
        result.m_Score = 0;
        result.m_Secondary = secondaryScore;
    }
    return result;
}

int CDictionaryFilter::ScoreText(char* text, int length, int mode, const char* dictionaries,
                                 int& score, CVornString& report) {
    score = 0;
    checkTimestamp();
    CVornReadGuard tables(m_TableLock);
    if (m_LoadFailed)
        return 1;
    if (!text || length <= 0)
        return 0;

    std::vector<CVornString> names;
    if (dictionaries) {
        for (const char* p = dictionaries; *p;) {
            const char* end = strchr(p, kListSeparator);
            size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
            if (n > 0)
                names.emplace_back(p, static_cast<int>(n), CVornString::kUnlocked);
            p += n;
            if (*p)
                ++p;
        }
    }

    long long sum = 0;
    long long secondarySum = 0;
    CVornString word(CVornString::kUnlocked);
    CVornString phrase(CVornString::kUnlocked);
    bool phraseOpen = false;
    int phraseStart = 0;   // where the phrase's first word starts in text
    int lastFoundEnd = 0;  // where its last known word ends
    bool mark = false;     // an unknown word was taken into the phrase
    int beforeMark = 0;    // the phrase's length before that word
    const char* heading = GetCatalogText(kMsgPhraseFound);

    // The report ends up in a recipient's status text and in notices: a
    // message of nothing but scoring words must not make it grow with the
    // message. Once a line would not fit, one "..." line says so and
    // nothing more is added, by this call or a later one on the same report.
    CVornString line(CVornString::kUnlocked);
    CVornString cutLine(heading ? heading : "", CVornString::kUnlocked);
    cutLine.Append(": ...\r\n");
    bool reportCut = report.Length() >= cutLine.Length() &&
                     memcmp(report.CStr() + report.Length() - cutLine.Length(), cutLine.CStr(),
                            static_cast<size_t>(cutLine.Length())) == 0;

    auto closePhrase = [&](bool dropUnknown) {
        PhraseScore scored =
            scorePhrase(phrase, mode, names.data(), static_cast<int>(names.size()));
        sum += scored.m_Score;
        secondarySum += scored.m_Secondary;
        if (scored.m_Replace)
            memset(text + phraseStart, '-', static_cast<size_t>(lastFoundEnd - phraseStart));
        if (scored.m_Score > 0 && !reportCut) {
            if (dropUnknown && mark)
                phrase.KeepLeft(beforeMark);
            line.Assign(heading ? heading : "");
            line.Append(": ");
            line.Append(phrase);
            if (m_Verbose) {
                line.Append(" (");
                line.AppendInt(scored.m_Score);
                line.Append(")");
            }
            line.Append("\r\n");
            if (report.Length() + line.Length() + cutLine.Length() <= kMaxReportLength) {
                report.Append(line);
            } else {
                report.Append(cutLine);
                reportCut = true;
            }
        }
        phraseOpen = false;
        mark = false;
    };

    auto endWord = [&](int start, int end) {
        if (word.IsEmpty())
            return;
        word.ToLower();
        const DictionaryEntry* entry = findWord(word);
        if (entry) {
            if (!phraseOpen) {
                phrase.Assign(word);
                phraseOpen = true;
                phraseStart = start;
            } else if (phrase.Length() + 1 + word.Length() < kMaxPhrase) {
                phrase.Append(' ');
                phrase.Append(word);
            }
            lastFoundEnd = end;
            mark = false;
            if (entry->m_Replace)
                memset(text + start, '-', static_cast<size_t>(end - start));
        } else if (phraseOpen && !mark) {
            beforeMark = phrase.Length();
            if (phrase.Length() + 1 + word.Length() < kMaxPhrase) {
                phrase.Append(' ');
                phrase.Append(word);
            }
            mark = true;
        } else if (phraseOpen) {
            closePhrase(true);
        }
        word.Clear();
    };

    int wordStart = 0;
    int wordEnd = 0;
    bool skipNext = false;  // the byte after a word cut at kMaxWord
    for (int i = 0; i < length;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int charLength = g_CodePage.CharLength(c);
        if (charLength > 1) {
            // Neither part of a word nor the end of one.
            i += std::min(charLength, length - i);
            continue;
        }
        if (!isWordChar(c)) {
            skipNext = false;
            endWord(wordStart, wordEnd);
            ++i;
            continue;
        }
        if (skipNext) {
            skipNext = false;
            ++i;
            continue;
        }
        if (word.IsEmpty())
            wordStart = i;
        word.Append(static_cast<char>(c));
        wordEnd = ++i;
        if (word.Length() == kMaxWord) {
            endWord(wordStart, wordEnd);
            skipNext = true;
        }
    }
    endWord(wordStart, wordEnd);
    if (phraseOpen)
        closePhrase(false);

    long long result = sum;
    if (mode >= 3 && sum > 0)
        result = sum + std::min(sum, secondarySum / 3);
    score = clampToInt(result);
    return 0;
}

// ---- Changing the local file

int CDictionaryFilter::deleteWordLocked(const char* entry) {
    if (!entry)
        return 1;
    CVornString key(entry, CVornString::kUnlocked);
    key.SwapNibbles();
    void* value = nullptr;
    if (!m_Tables->m_Local.Find(key, &value, true))
        return 1;
    delete static_cast<DictionaryEntry*>(value);
    return 0;
}

int CDictionaryFilter::DeleteWord(const char* entry) {
    CVornWriteGuard tables(m_TableLock);
    return deleteWordLocked(entry);
}

int CDictionaryFilter::DeleteDictionary(const char* name) {
    if (!name)
        return 1;
    try {
        CVornWriteGuard tables(m_TableLock);
        DictionaryFileLock fileLock;
        // Saving a table older than the file would undo another writer's
        // change: read the files first.
        if (filesChanged())
            loadWithRecovery();
        std::vector<CVornString> keys;
        CVornString key(CVornString::kUnlocked);
        void* value = nullptr;
        CVornString wanted(name, CVornString::kUnlocked);
        for (bool more = m_Tables->m_Local.First(key, &value); more;
             more = m_Tables->m_Local.Next(key, &value)) {
            const auto* entry = static_cast<const DictionaryEntry*>(value);
            if (wanted.Equals(entry->m_Dictionary.c_str(), 0))
                keys.push_back(key);
        }
        for (CVornString& found : keys) {
            found.SwapNibbles();
            deleteWordLocked(found.CStr());
        }
        return saveLocked();
    } catch (const CVornException&) {
        return 1;
    } catch (const std::bad_alloc&) {
        LogEventInt(kMsgNoMemory, kEventError, 0);
        return 1;
    }
}

int CDictionaryFilter::save() {
    try {
        CVornWriteGuard tables(m_TableLock);
        DictionaryFileLock fileLock;
        return saveLocked();
    } catch (const CVornException&) {
        return 1;
    }
}

int CDictionaryFilter::saveLocked() {
    CVornString newPath(m_LocalPath, CVornString::kUnlocked);
    newPath.Append("_new");
    if (m_LoadFailed) {
        LogEventString(kMsgSaveRefused, kEventError, newPath);
        return 1;
    }
    // Without a local file at the last load the local table is empty (its
    // entries come from that file alone): there is nothing to keep.
    if (!m_LocalHeader || !m_LocalHeader->IsValid())
        return 0;

    const char* path = m_LocalPath.CStr();
    CVornString oldPath(m_LocalPath, CVornString::kUnlocked);
    oldPath.Append("_old");

    // A "_new" left by a save that failed part-way: nobody else writes one
    // while the named lock is held, so it is stale.
    if (FileExists(newPath.CStr(), false) && !RemoveFile(newPath.CStr(), false))
        return 1;
    if (!platform::CreateLike(path, newPath.CStr())) {
        LogEventStringInt(kMsgFileOpenFailed, kEventError, newPath, errno);
        return 1;
    }
    bool written = false;
    {
        CVornDiskFile file(newPath.CStr(), kFileNoPathLock);
        if (file.Open()) {
            CVornString line(CVornString::kUnlocked);
            written = m_LocalHeader->Format(line);
            line.Append("\r\n");
            written = written && file.Write(line) == line.Length();
            CVornString key(CVornString::kUnlocked);
            void* value = nullptr;
            for (bool more = m_Tables->m_Local.First(key, &value); more && written;
                 more = m_Tables->m_Local.Next(key, &value)) {
                const auto* entry = static_cast<const DictionaryEntry*>(value);
                line.Assign(key);
                line.SwapNibbles();
                line.Append(entry->m_Replace ? ":R:" : ":N:");
                line.Append(entry->m_Dictionary.data(),
                            static_cast<int>(entry->m_Dictionary.size()));
                line.Append(":english:");
                line.AppendInt(entry->m_First);
                line.Append(':');
                line.AppendInt(entry->m_Second);
                line.Append("\r\n");
                written = file.Write(line) == line.Length();
            }
            // Flush syncs the new file to the disk before it takes the
            // file's place.
            written = file.Flush() && written;
            written = file.Close() && written;
        }
    }
    if (!written) {
        RemoveFile(newPath.CStr(), false);
        return 1;
    }

    if (FileExists(path, false)) {
        if (FileExists(oldPath.CStr(), false) && !RemoveFile(oldPath.CStr(), false))
            return 1;
        // The current file gets a second name instead of moving away, so the
        // path keeps a whole file until the new one replaces it in one step.
        if (!platform::LinkPath(path, oldPath.CStr())) {
            LogEventStrStrInt(kMsgFileRenameFailed, kEventError, path, oldPath.CStr(), errno);
            return 1;
        }
    }
    if (!platform::RenamePath(newPath.CStr(), path, true)) {
        LogEventStrStrInt(kMsgFileRenameFailed, kEventError, newPath.CStr(), path, errno);
        return 1;
    }
    platform::SyncDirectoryOf(path);
    return 0;
}
