// The message catalogue: two process-wide tables of numbered texts in
// several languages, read from catalogue files, and the accessors through
// which all code reads them.
//
//   CVornMessageTable::ReadFile        load one catalogue file (result codes)
//   CVornMessageTable::Clear           drop everything
//   CVornMessageTable::GetText         text of a number, language 0 as fallback
//   CVornMessageTable::FindLanguage    language whose line names a word
//   CVornMessageTable::FindLocaleLanguage  language of the LC_CTYPE locale
//   CVornMessageCatalog / CProductMessageCatalog  accessors with a language
//   SetCatalogLanguage, GetCatalogText, GetCatalogLock  process-wide state
//
// File format (binary, numbers in decimal ASCII): three header numbers
// separated by white space (two fixed values and the language count, 1 to
// 25); one line per language naming it, each ending in LF and shorter than
// 1024 bytes; then for each message number, for each language in order:
// white space, a label word, white space, a length N, ":", exactly N bytes
// of text and LF. N below 0 means no text (":" is followed by LF at once);
// N must be below 1024.
//
// Bad input: a malformed or truncated file fails the load with a result
// code and leaves the table empty; every read is bounded by the sizes above,
// so no text, line or label can grow without limit.
#include "core/message_catalog.h"

#include <strings.h>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

struct CatalogState {
    CVornLock lock;
    int language = 0;
    CVornMessageTable base;
    CVornMessageTable product;
};

// Made on first use and never destroyed: detached threads may look texts up
// while the process exits.
CatalogState& state() {
    static CatalogState* s = new CatalogState;
    return *s;
}

bool isSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(int c) {
    return c >= '0' && c <= '9';
}

// Skips white space, then reads an optionally signed decimal number. False
// when there are no digits or the value does not fit an int.
bool readNumber(FILE* f, int& out) {
    int c;
    do c = getc(f);
    while (isSpace(c));
    bool negative = false;
    if (c == '-' || c == '+') {
        negative = c == '-';
        c = getc(f);
    }
    if (!isDigit(c))
        return false;
    long long value = 0;
    while (isDigit(c)) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX)
            return false;
        c = getc(f);
    }
    ungetc(c, f);  // harmless for EOF
    out = static_cast<int>(negative ? -value : value);
    return true;
}

// True when the next byte is white space (it is left unread).
bool spaceFollows(FILE* f) {
    int c = getc(f);
    ungetc(c, f);
    return isSpace(c);
}

// Reads one language line, newline included, into a new heap string.
int readLanguageLine(FILE* f, char*& out) {
    char line[CVornMessageTable::kMaxTextLength];
    int n = 0;
    for (;;) {
        int c = getc(f);
        if (c == EOF)
            return n == 0 ? kCatalogBadVersion : kCatalogBadData;
        line[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
        if (n == CVornMessageTable::kMaxTextLength - 1)
            return kCatalogBadData;
    }
    out = static_cast<char*>(malloc(n + 1));
    if (out == nullptr)
        return kCatalogGeneralFailure;
    memcpy(out, line, n);
    out[n] = '\0';
    return kCatalogLoaded;
}

// Reads one entry: white space, label, white space, "N:", N bytes, LF. out
// receives a heap copy of the text, or null for a negative N.
int readEntry(FILE* f, char*& out) {
    out = nullptr;
    int c;
    do c = getc(f);
    while (isSpace(c));
    // The label is not used; it only has to be there, and to end.
    int labelLength = 0;
    while (c != EOF && !isSpace(c)) {
        if (++labelLength >= CVornMessageTable::kMaxTextLength)
            return kCatalogBadVersion;
        c = getc(f);
    }
    if (labelLength == 0 || c == EOF)
        return kCatalogBadVersion;
    int length;
    if (!readNumber(f, length) || length >= CVornMessageTable::kMaxTextLength)
        return kCatalogBadVersion;
    if (getc(f) != ':')
        return kCatalogBadVersion;
    if (length < 0)
        return getc(f) == '\n' ? kCatalogLoaded : kCatalogBadVersion;
    char* text = static_cast<char*>(malloc(length + 1));
    if (text == nullptr)
        return kCatalogGeneralFailure;
    if (fread(text, 1, length, f) != static_cast<size_t>(length) || getc(f) != '\n') {
        free(text);
        return kCatalogBadVersion;
    }
    text[length] = '\0';
    out = text;
    return kCatalogLoaded;
}

}  // namespace

// ---- CVornMessageTable

CVornMessageTable::CVornMessageTable()
    : m_LanguageCount(0), m_MessageCount(0), m_FirstNumber(0), m_ArraySize(0) {
    for (int i = 0; i < kMaxLanguages; ++i) {
        m_LanguageLines[i] = nullptr;
        m_Texts[i] = nullptr;
    }
}

CVornMessageTable::~CVornMessageTable() {
    Clear();
}

void CVornMessageTable::Clear() {
    for (int i = 0; i < kMaxLanguages; ++i) {
        free(m_LanguageLines[i]);
        m_LanguageLines[i] = nullptr;
        if (m_Texts[i] != nullptr) {
            for (int n = 0; n < m_ArraySize; ++n) free(m_Texts[i][n]);
            free(m_Texts[i]);
            m_Texts[i] = nullptr;
        }
    }
    m_LanguageCount = 0;
    m_MessageCount = 0;
    m_FirstNumber = 0;
    m_ArraySize = 0;
}

int CVornMessageTable::ReadFile(const char* path, int header1, int header2, int messageCount,
                                int firstNumber) {
    Clear();
    if (messageCount < 0 ||
        static_cast<long long>(firstNumber) + messageCount - 1 > static_cast<long long>(INT_MAX))
        return kCatalogGeneralFailure;
    if (path == nullptr)
        return kCatalogOpenFailed;
    FILE* f = fopen(path, "rbe");
    if (f == nullptr)
        return kCatalogOpenFailed;
    int result = readFrom(f, header1, header2, messageCount, firstNumber);
    // A read error shows up above as a short or malformed item; the stream
    // flag tells the two apart.
    if (ferror(f))
        result = kCatalogReadFailed;
    fclose(f);
    if (result != kCatalogLoaded)
        Clear();
    return result;
}

int CVornMessageTable::readFrom(FILE* f, int header1, int header2, int messageCount,
                                int firstNumber) {
    int value1, value2, languages;
    if (!readNumber(f, value1) || !spaceFollows(f) || !readNumber(f, value2) || !spaceFollows(f) ||
        !readNumber(f, languages) || !spaceFollows(f))
        return kCatalogBadVersion;
    if (value1 != header1 || value2 != header2)
        return kCatalogBadVersion;
    if (languages < 1 || languages > kMaxLanguages)
        return kCatalogBadVersion;

    int c;
    do c = getc(f);
    while (isSpace(c));
    ungetc(c, f);

    // The arrays exist for the full count before any entry is read, so that
    // Clear frees whatever a failed load left behind.
    m_ArraySize = messageCount;
    for (int i = 0; i < languages; ++i) {
        m_Texts[i] =
            static_cast<char**>(calloc(messageCount > 0 ? messageCount : 1, sizeof(char*)));
        if (m_Texts[i] == nullptr)
            return kCatalogGeneralFailure;
        int result = readLanguageLine(f, m_LanguageLines[i]);
        if (result != kCatalogLoaded)
            return result;
    }
    m_LanguageCount = languages;
    m_MessageCount = 0;
    m_FirstNumber = firstNumber;

    for (int n = 0; n < messageCount; ++n) {
        for (int i = 0; i < languages; ++i) {
            int result = readEntry(f, m_Texts[i][n]);
            if (result != kCatalogLoaded)
                return result;
        }
        ++m_MessageCount;
    }
    return kCatalogLoaded;
}

int CVornMessageTable::resolveLanguage(int language) const {
    return language < 0 || language >= m_LanguageCount ? 0 : language;
}

const char* CVornMessageTable::GetText(int language, int number) const {
    long long index = static_cast<long long>(number) - m_FirstNumber;
    if (index < 0 || index >= m_MessageCount)
        return nullptr;
    language = resolveLanguage(language);
    const char* text = m_Texts[language][index];
    if (text == nullptr && language != 0)
        text = m_Texts[0][index];
    return text;
}

int CVornMessageTable::FindLanguage(const char* name) const {
    if (name == nullptr || *name == '\0')
        return -1;
    size_t nameLength = strlen(name);
    static const char kSeparators[] = " \t\r\n";
    for (int i = 0; i < m_LanguageCount; ++i) {
        const char* p = m_LanguageLines[i];
        while (p != nullptr && *p) {
            p += strspn(p, kSeparators);
            size_t wordLength = strcspn(p, kSeparators);
            if (wordLength == nameLength && strncasecmp(p, name, nameLength) == 0)
                return i;
            p += wordLength;
        }
    }
    return -1;
}

int CVornMessageTable::FindLocaleLanguage() const {
    return FindLanguageForLocale(setlocale(LC_CTYPE, nullptr));
}

int CVornMessageTable::FindLanguageForLocale(const char* locale) const {
    if (locale == nullptr || *locale == '\0')
        return 0;
    std::string name(locale);
    // The portable locales are English whatever the catalogue's lines say:
    // "C" is no language name a catalogue would list.
    std::string base = name.substr(0, name.find('.'));
    if (base == "C" || base == "POSIX")
        return 0;

    int found = FindLanguage(name.c_str());
    if (found >= 0)
        return found;
    if (name[0] != '.') {
        // Without the code set ("en_US.UTF-8") or modifier ("de_DE@euro").
        size_t cut = name.find_first_of(".@");
        if (cut != std::string::npos) {
            name.resize(cut);
            found = FindLanguage(name.c_str());
            if (found >= 0)
                return found;
        }
    }
    size_t underscore = name.find('_');
    if (underscore != std::string::npos) {
        name.resize(underscore);
        found = FindLanguage(name.c_str());
        if (found >= 0)
            return found;
    }
    return 0;
}

CVornMessageTable& BaseMessageTable() {
    return state().base;
}
CVornMessageTable& ProductMessageTable() {
    return state().product;
}

// ---- Process-wide language

CVornLock& GetCatalogLock() {
    return state().lock;
}

void SetCatalogLanguage(int language) {
    CVornLockGuard hold(GetCatalogLock());
    state().language = language;
}

const char* GetCatalogText(int number) {
    CVornLockGuard hold(GetCatalogLock());
    return state().base.GetText(state().language, number);
}

// ---- Accessors

CVornMessageCatalog::CVornMessageCatalog() {
    CVornLockGuard hold(GetCatalogLock());
    m_Language = state().language;
}

CVornMessageCatalog::~CVornMessageCatalog() = default;

int CVornMessageCatalog::Load(const char* path, int header1, int header2, int messageCount,
                              int firstNumber) {
    CVornLockGuard hold(GetCatalogLock());
    try {
        return GetTable().ReadFile(path, header1, header2, messageCount, firstNumber);
    } catch (const std::bad_alloc&) {
        GetTable().Clear();
        return kCatalogGeneralFailure;
    }
}

void CVornMessageCatalog::Clear() {
    CVornLockGuard hold(GetCatalogLock());
    GetTable().Clear();
}

int CVornMessageCatalog::GetLanguageCount() {
    CVornLockGuard hold(GetCatalogLock());
    return GetTable().GetLanguageCount();
}

int CVornMessageCatalog::GetLocaleLanguage() {
    CVornLockGuard hold(GetCatalogLock());
    return GetTable().FindLocaleLanguage();
}

CVornMessageTable& CVornMessageCatalog::GetTable() {
    return BaseMessageTable();
}

void CVornMessageCatalog::SetLanguage(int language) {
    CVornLockGuard hold(m_Lock);
    m_Language = language;
}

int CVornMessageCatalog::GetLanguage() {
    CVornLockGuard hold(m_Lock);
    return m_Language;
}

const char* CVornMessageCatalog::GetText(int number) {
    int language = GetLanguage();
    CVornLockGuard hold(GetCatalogLock());
    return BaseMessageTable().GetText(language, number);
}

CVornMessageTable& CProductMessageCatalog::GetTable() {
    return ProductMessageTable();
}

const char* CProductMessageCatalog::GetText(int number) {
    int language = GetLanguage();
    {
        CVornLockGuard hold(GetCatalogLock());
        const char* text = ProductMessageTable().GetText(language, number);
        if (text != nullptr)
            return text;
    }
    return CVornMessageCatalog::GetText(number);
}
