// The message catalogue: every text the system shows to people or writes
// to the event log is a message number, looked up in one of several
// languages in one of two catalogue files loaded at start-up, the base
// catalogue "messages" and the product catalogue "tkmessages".
//
//   CVornMessageTable        one loaded catalogue file (two process-wide ones)
//   CVornMessageCatalog      accessor of the base table, with its own language
//   CProductMessageCatalog   accessor of the product table, base as fallback
//   SetCatalogLanguage       the process-wide current language
//   GetCatalogText           base text in the current language
//   GetCatalogLock           the lock of every load, clear and base lookup
//
// Missing texts are null pointers; a text missing in one language falls back
// to language 0. A language index outside a table's languages (negative, or
// at or above its language count) is read as language 0. A file that does
// not follow the format fails its load with a result code and leaves the
// table empty.
//
// Texts are owned by their table and stay valid until it is cleared or
// loaded again; the system loads each table once at start-up, before other
// threads run, so callers keep the returned pointers.
#pragma once

#include <cstdio>

#include "core/vorn_lock.h"

// Results of CVornMessageTable::ReadFile and CVornMessageCatalog::Load.
enum : int {
    kCatalogLoaded = 0,
    kCatalogGeneralFailure = 1,  // memory exhausted, or impossible arguments
    kCatalogOpenFailed = 2,      // the file cannot be opened
    kCatalogReadFailed = 3,      // the stream reported a read error
    kCatalogBadVersion = 4,      // header, language line or entry malformed
    kCatalogBadData = 5,         // a language line without its newline
};

class CVornMessageTable {
public:
    static constexpr int kMaxLanguages = 25;
    // Texts and language lines are shorter than this (newline included).
    static constexpr int kMaxTextLength = 1024;

    CVornMessageTable();
    ~CVornMessageTable();
    CVornMessageTable(const CVornMessageTable&) = delete;
    CVornMessageTable& operator=(const CVornMessageTable&) = delete;

    // Loads the catalogue file at path. header1 and header2 are the two
    // header values the file must start with; messageCount texts per
    // language are read, numbered from firstNumber. Returns a kCatalog...
    // result. Any failure leaves the table empty; success replaces what the
    // table held. Not locked: callers hold the catalogue lock.
    int ReadFile(const char* path, int header1, int header2, int messageCount, int firstNumber);

    // Frees every language line and text; the counts become 0.
    void Clear();

    // The text of number in language (see the fallback rules above); null
    // when the number is outside the table or no text exists.
    const char* GetText(int language, int number) const;

    int GetLanguageCount() const { return m_LanguageCount; }

    // Index of the first language whose line holds the word name (words are
    // split at blanks, tabs, CR and LF; compared without regard to case); -1
    // when none. A null or empty name gives -1.
    int FindLanguage(const char* name) const;

    // The language that matches the C library's LC_CTYPE locale name: the
    // whole name, then the name cut before its code set or modifier ("."
    // or "@"), then the language before "_". The locales "C" and "POSIX"
    // (with any code set) are language 0. 0 when nothing matches.
    int FindLocaleLanguage() const;

    // The same for a given locale name (FindLocaleLanguage passes the
    // current one); null gives 0.
    int FindLanguageForLocale(const char* locale) const;

private:
    int readFrom(FILE* f, int header1, int header2, int messageCount, int firstNumber);
    // language, or 0 when it is not one of this table's languages.
    int resolveLanguage(int language) const;

    int m_LanguageCount;
    int m_MessageCount;
    int m_FirstNumber;
    char* m_LanguageLines[kMaxLanguages];  // owned, each ends in its newline
    char** m_Texts[kMaxLanguages];         // owned arrays of owned texts
    int m_ArraySize;                       // entries of each text array
};

// The two process-wide tables, made on first use and never destroyed.
CVornMessageTable& BaseMessageTable();
CVornMessageTable& ProductMessageTable();

// The catalogue lock: guards the current language and every load, clear and
// lookup of the tables. Recursive; never destroyed.
CVornLock& GetCatalogLock();

// Sets the process-wide current language; accessors made later start with
// it. Out-of-range values are kept and read as language 0.
void SetCatalogLanguage(int language);

// The base table's text of number in the current language, or null.
const char* GetCatalogText(int number);

// A short-lived accessor of the base table with a language of its own (the
// current language when it is made). Not copyable. Any thread may use it.
class CVornMessageCatalog {
public:
    CVornMessageCatalog();
    virtual ~CVornMessageCatalog();
    CVornMessageCatalog(const CVornMessageCatalog&) = delete;
    CVornMessageCatalog& operator=(const CVornMessageCatalog&) = delete;

    // CVornMessageTable::ReadFile on GetTable() under the catalogue lock.
    virtual int Load(const char* path, int header1, int header2, int messageCount, int firstNumber);
    // Clear and GetLanguageCount of GetTable() under the catalogue lock.
    virtual void Clear();
    virtual int GetLanguageCount();
    // FindLocaleLanguage of GetTable().
    virtual int GetLocaleLanguage();
    // The table this accessor loads and clears: the base table.
    virtual CVornMessageTable& GetTable();

    void SetLanguage(int language);
    int GetLanguage();

    // The base table's text in this accessor's language (whatever the
    // accessor's class), or null.
    const char* GetText(int number);

private:
    CVornLock m_Lock;  // guards m_Language
    int m_Language;
};

// Accessor of the product table: loads and clears the product table, and
// looks a number up there first, then in the base table.
class CProductMessageCatalog : public CVornMessageCatalog {
public:
    CProductMessageCatalog() = default;

    CVornMessageTable& GetTable() override;

    // The product text in this accessor's language; when there is none (a
    // number outside the product range included), the base text.
    const char* GetText(int number);
};
