// Reading the activity log back: the parsed record of one day-file line, the
// criteria that the report pages build, the search over the day files of a
// date range with its time budget, and the buffered reader of one day file.
//
// The line format is the one written by ActivityLogWrite (config/
// activity_log.h): date (YYYYMMDD) ',' time (HHMMSS) then ',' key '=' value
// for each field, values escaped with '\' before '\', ',' and '"'. A record
// keeps the raw line unchanged: parsed (unescaped) values live in storage of
// their own, so the cheap raw tests (LineHasKey, LineHasKeyNumber) always see
// the line as it was read, and searching by text never shortens or rewrites
// what the report page then shows.
//
// Threads: a search, its records and its reader belong to one thread (one
// web request); nothing here takes a lock. The day files are only read
// (opened read-only), while the writer may be appending to today's file: a
// line without its line end at the end of the file is not yet complete and
// is not returned.
#pragma once

#include <string>
#include <vector>

#include "core/vorn_date.h"
#include "core/vorn_string.h"

class CActivityLogSearch;

// One line of a day file. Not copyable (it owns a 100 KB line buffer).
class CActivityLogRecord {
public:
    // Size of the line buffer, the longest line (with its NUL) read whole.
    static constexpr int kLineSize = 102400;

    CActivityLogRecord();
    virtual ~CActivityLogRecord();
    CActivityLogRecord(const CActivityLogRecord&) = delete;
    CActivityLogRecord& operator=(const CActivityLogRecord&) = delete;

    // Replaces the line with text (cut to kLineSize - 1 bytes, and at a NUL)
    // and parses its header (ParseHeader's result). The search reads lines
    // straight into the buffer instead; this is for callers that have the
    // line in hand.
    bool SetLine(const char* text);

    // Reads date and time from the line in the buffer and forgets the
    // previous fields: m_Date = the number before the first ',', m_Time the
    // number after it; the field list starts after the second ','. False
    // (m_Date as read, m_Time 0, no fields) for a line that does not begin
    // with a digit or that ends at or before its first ',': such a line
    // cannot be placed in time, and the search skips it.
    bool ParseHeader();

    // The field operations parse the field list on first use. A number may
    // occur twice; lookups take the first.
    bool HasField(int number);
    // Some field of that number reads (atoi) as value.
    bool FieldEquals(int number, int value);
    // Copies the first field of that number: at most size - 1 bytes, then a
    // NUL. With size 0 or less only reports presence. False when absent
    // (buffer untouched).
    bool GetField(int number, char* buffer, int size);
    // The same into out (out untouched when absent).
    bool GetFieldString(int number, CVornString& out);
    // atoi of the field's first 63 bytes (out untouched when absent).
    bool GetFieldNumber(int number, int& out);

    // Raw tests on the unparsed line, for refusing most lines cheaply: the
    // line contains ",<number>=" / ",<number>=<value>" followed by ',' or the
    // end of the line. A true result may still come from inside an escaped
    // value; the callers confirm with HasField / FieldEquals.
    bool LineHasKey(int number) const;
    bool LineHasKeyNumber(int number, int value) const;

    // Whether some field value contains upperText (upper case, as made by
    // CVornCodePage::ToUpper), comparing the value upper-cased after its RFC
    // 2047 encoded words were decoded (ISO-2022-JP converted to Shift-JIS).
    // Keys, date and time never match. Works on copies: the line and the
    // stored values stay as read. A null or empty text is contained in any
    // record that has a field.
    bool Contains(const char* upperText);

    // label and text of a field for the report pages: false when the record
    // has no such field (label and text unchanged). Otherwise label = the
    // catalogue text of the field's label message (the number itself for a
    // field the table does not know) and text = the stored value, or the
    // catalogue text of the value for fields with a value table (1, 2, 3 and
    // 1200: a decimal number in the table; 40: one upper-case type letter).
    // A catalogue message that does not exist gives the empty text.
    bool DescribeField(int number, CVornString& label, CVornString& text);

    // The raw line (NUL-terminated) as read.
    const char* GetLine() const { return m_Line; }

    // The current line's date (YYYYMMDD) and time (HHMMSS as a number); the
    // report pages read them after each successful CActivityLogSearch::Next.
    int m_Date = 0;
    int m_Time = 0;

private:
    friend class CActivityLogSearch;

    struct Field {
        int number;
        int offset;  // into m_Values, where the NUL-terminated value starts
        int length;
    };

    // Builds the field list from the line when not yet done.
    void parseFields();
    // The first field of that number, or null.
    const Field* findField(int number);
    const char* valueOf(const Field& field) const { return m_Values.data() + field.offset; }

    char* m_Line;  // owned, kLineSize bytes, NUL-terminated
    int m_Length = 0;
    bool m_Parsed = false;
    int m_FieldListOffset = 0;
    std::vector<Field> m_Fields;
    std::string m_Values;
};

// One search term. Kinds: present (the record has the field), equals (a
// field of that number reads as the number), contains (some field value
// contains the text in any letter case; the text is kept upper-cased).
struct CActivityLogTerm {
    enum Kind { kPresent = 0, kEquals = 1, kContains = 2 };
    Kind m_Kind = kPresent;
    int m_Field = 0;
    int m_Number = 0;
    std::string m_Text;
};

// A group of terms: satisfied when at least one term holds; an empty group is
// never satisfied. A value; copies are independent.
class CActivityLogCriteria {
public:
    void AddPresent(int number);
    void AddEquals(int number, int value);
    // A null text is the empty text (held by every record with a field).
    void AddContains(const char* text);
    // Forgets every term, so that the caller can reuse the group.
    void RemoveAll() { m_Terms.clear(); }
    bool IsEmpty() const { return m_Terms.empty(); }

    // Terms are tried in order; the first that holds ends the test. The raw
    // line tests run before any parsing.
    bool Matches(CActivityLogRecord& record) const;

private:
    std::vector<CActivityLogTerm> m_Terms;
};

// The groups of a search: a record matches when every group is satisfied; an
// empty list matches every record. A value; copies are independent.
class CActivityLogCriteriaList {
public:
    // Appends a copy of group.
    void AddGroup(const CActivityLogCriteria& group);
    // Groups are tried in order; the first that fails ends the test.
    bool Matches(CActivityLogRecord& record) const;

private:
    std::vector<CActivityLogCriteria> m_Groups;
};

// Reader of one day file: lines in order, read in blocks of 128 KB. Opens the
// file (read-only) on first use. Not copyable.
class CActivityLogReader {
public:
    static constexpr int kBlockSize = 131072;

    explicit CActivityLogReader(const char* path);
    virtual ~CActivityLogReader();
    CActivityLogReader(const CActivityLogReader&) = delete;
    CActivityLogReader& operator=(const CActivityLogReader&) = delete;

    // The next line without its end (CR, LF or CR LF), NUL-terminated in
    // buffer: its length (at least 1; empty lines are skipped). 0 at the end
    // of the file, where a last line without its line end is dropped; -1
    // when the file cannot be opened or read. A line that does not fit
    // (size bytes or more) is replaced by the over-long-line record:
    // its date and time, "1=1,100=" catalogue text 586 ",105=" catalogue
    // text 587 (texts escaped as the writer escapes values); its rest is
    // skipped (the record is cut to fit). An over-long line whose start holds
    // no ',' is skipped. -1 also for a null buffer or a size below 2.
    // REQUIRES: buffer holds size bytes.
    int ReadLine(char* buffer, int size);

private:
    // Makes sure unread bytes are in the block: true when there are some;
    // false at the end of the file or on a read error (m_Error set).
    bool fill();
    // Skips the rest of the current line and its line end.
    void skipLine();

    std::string m_Path;
    int m_Fd = -1;
    bool m_Opened = false;
    bool m_Error = false;
    bool m_Eof = false;
    std::vector<char> m_Block;
    int m_Position = 0;
    int m_Length = 0;
};

// One search over the day files of a date range, oldest first. Not copyable.
class CActivityLogSearch {
public:
    // Seconds after which Next gives up (result 2), and how many lines it
    // reads between looks at the clock.
    static constexpr int kTimeBudget = 30;
    static constexpr int kClockEvery = 128;

    // Searches the day files ("zelgw" + YYYYMMDD) in directory (the
    // directory given to ActivityLogInit) from `from` (inclusive) up to `to`
    // (exclusive), both taken in the local zone; criteria are copied. The
    // range is empty when from is later than to.
    CActivityLogSearch(const CVornDate& from, const CVornDate& to,
                       const CActivityLogCriteriaList& criteria, const char* directory);
    virtual ~CActivityLogSearch();
    CActivityLogSearch(const CActivityLogSearch&) = delete;
    CActivityLogSearch& operator=(const CActivityLogSearch&) = delete;

    // 0: the next matching record of the range is in record; 1: the range is
    // exhausted (or empty), also on every later call; 2: the search gave up
    // after kTimeBudget seconds on the library clock (Now); calling again
    // continues where it stopped.
    int Next(CActivityLogRecord& record);

private:
    // The next line into buffer; false when no day file of the range is left.
    bool readLine(char* buffer, int size);
    // Moves to the next existing day file of the range (none: m_Reader null).
    void openNextFile();

    int m_StartDate = 0;
    int m_StartTime = 0;
    int m_EndDate = 0;
    int m_EndTime = 0;
    bool m_Empty = false;
    bool m_Done = false;
    CActivityLogCriteriaList m_Criteria;
    CVornString m_Directory{CVornString::kUnlocked};
    CVornDate m_Cursor;
    CActivityLogReader* m_Reader = nullptr;  // owned
};
