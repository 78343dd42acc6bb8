// The activity log read back for the report pages: records, criteria, the
// search over a date range with its time budget, and the day-file reader.
//
//   CActivityLogRecord::SetLine / ParseHeader   a line and its date and time
//   CActivityLogRecord::HasField / FieldEquals / GetField / GetFieldString /
//     GetFieldNumber                            the parsed, unescaped fields
//   CActivityLogRecord::LineHasKey / LineHasKeyNumber   raw tests, no parse
//   CActivityLogRecord::Contains                text in a decoded field value
//   CActivityLogRecord::DescribeField           label and display text
//   CActivityLogCriteria::Add... / Matches      one group of terms (any holds)
//   CActivityLogCriteriaList::AddGroup / Matches  every group holds
//   CActivityLogSearch::Next                    the next matching record
//   CActivityLogReader::ReadLine                the next line of a day file
//
// Bad input: a line that does not begin with a date and a ',' is skipped; a
// field list item without '=' ends that line's fields (earlier ones stay); a
// line too long for the record becomes the over-long-line record; an empty
// line is skipped; a day file that is missing is skipped and one that cannot
// be read ends as if it were empty. Nothing here writes to a day file.
#include "config/activity_search.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/clock.h"
#include "core/code_page.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "net/mime.h"
#include "platform/file_ops.h"

namespace {

// Catalogue texts of the over-long-line record.
const int kMsgLineTooLong = 586;
const int kMsgLineTooLongDetail = 587;

const char* const kDayFilePrefix = "zelgw";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number with an optional sign and nothing else.
bool IsNumberText(const char* text) {
    if (*text == '-' || *text == '+')
        ++text;
    if (!IsDigit(*text))
        return false;
    while (IsDigit(*text)) ++text;
    return *text == '\0';
}

// text with '\' put before every single-byte '\', ',' and '"', as the writer
// escapes values, so that a catalogue text cannot break the line.
void AppendEscaped(std::string& out, const char* text) {
    if (!text)
        return;
    while (*text) {
        int n = g_CodePage.CharLength(static_cast<unsigned char>(*text));
        if (n == 1 && (*text == '\\' || *text == ',' || *text == '"'))
            out.push_back('\\');
        for (int i = 0; i < n && *text; ++i) out.push_back(*text++);
    }
}

// Whether text contains pattern, trying character starts only, so that a
// pattern never matches from the trail byte of a double-byte character.
bool ContainsAtCharacter(const char* text, int length, const char* pattern) {
    int n = static_cast<int>(strlen(pattern));
    if (n == 0)
        return true;
    for (int pos = 0; pos + n <= length;) {
        if (memcmp(text + pos, pattern, static_cast<size_t>(n)) == 0)
            return true;
        pos += g_CodePage.CharLength(static_cast<unsigned char>(text[pos]));
    }
    return false;
}

// ---- Field labels and value texts for the report pages: catalogue
// numbers in flat constant tables (the catalogue check reads them).

// Field number and the message of its label.
const int kLabelFields[] = {1,    2,    3,    10,   11,   12,   20,   21,   22,   23,   40,
                            41,   50,   51,   52,   60,   61,   62,   70,   100,  101,  105,
                            110,  111,  1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,
                            1009, 1010, 1011, 1100, 1102, 1103, 1104, 1200};
const int kLabelMessages[] = {308, 310, 325, 629, 626, 381, 291, 292, 293, 287, 330, 331, 282, 352,
                              379, 491, 492, 493, 517, 332, 354, 453, 333, 358, 523, 524, 525, 526,
                              527, 528, 529, 530, 531, 548, 549, 550, 871, 872, 879, 881, 873};
static_assert(sizeof(kLabelFields) == sizeof(kLabelMessages));

// Fields with a value table: field, value, and the message shown for it.
// Field 40 is keyed by a type letter of a configuration object; the others
// by a decimal number.
const int kTypeField = 40;
const int kValueFields[] = {1,    1,    1,    1,    1,    2,    2,    2,  2,  2,  2,    2,    2,
                            2,    2,    2,    2,    2,    2,    2,    2,  2,  2,  2,    2,    2,
                            2,    2,    2,    2,    2,    2,    2,    2,  2,  2,  2,    2,    2,
                            2,    2,    2,    3,    3,    3,    3,    3,  3,  3,  1200, 1200, 1200,
                            1200, 1200, 1200, 1200, 1200, 1200, 1200, 40, 40, 40, 40,   40,   40};
const int kValueKeys[] = {
    1,  2,  3,  4,  5,  1,  2,  3,  4,  5,  6,  7,   8,   9,   10,  11,  12,  13,  14,  15,  16, 17,
    18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29,  30,  300, 301, 302, 303, 304, 305, 400, 1,  2,
    3,  4,  5,  6,  7,  0,  1,  2,  4,  5,  6,  100, 101, 104, 105, 'C', 'D', 'G', 'L', 'S', 'U'};
const int kValueMessages[] = {277, 278, 309, 268, 269, 311, 258, 313, 314, 315, 316, 317, 318,
                              319, 320, 321, 322, 324, 346, 347, 348, 349, 359, 377, 378, 382,
                              323, 350, 351, 438, 439, 355, 356, 518, 522, 874, 875, 876, 877,
                              880, 882, 878, 326, 327, 436, 437, 519, 520, 521, 838, 846, 844,
                              845, 845, 845, 840, 843, 841, 842, 626, 627, 625, 628, 630, 629};
static_assert(sizeof(kValueFields) == sizeof(kValueKeys));
static_assert(sizeof(kValueFields) == sizeof(kValueMessages));

template <typename T, size_t N>
constexpr int CountOf(const T (&)[N]) {
    return static_cast<int>(N);
}

// The catalogue text of number, or the empty text when there is none.
void AssignCatalogText(CVornString& out, int number) {
    const char* text = GetCatalogText(number);
    out.Assign(text ? text : "");
}

}  // namespace

// ---------------------------------------------------------------- record

CActivityLogRecord::CActivityLogRecord() : m_Line(new char[kLineSize]) {
    m_Line[0] = '\0';
}

CActivityLogRecord::~CActivityLogRecord() {
    delete[] m_Line;
}

bool CActivityLogRecord::SetLine(const char* text) {
    size_t n = text ? strnlen(text, kLineSize - 1) : 0;
    memcpy(m_Line, text ? text : "", n);
    m_Line[n] = '\0';
    return ParseHeader();
}

bool CActivityLogRecord::ParseHeader() {
    m_Fields.clear();
    m_Values.clear();
    m_Parsed = false;
    m_Length = static_cast<int>(strnlen(m_Line, kLineSize - 1));
    m_Line[m_Length] = '\0';
    m_Date = atoi(m_Line);
    m_Time = 0;
    m_FieldListOffset = m_Length;

    const char* comma = strchr(m_Line, ',');
    // Also a line that ends at its first ',' cannot be placed in time.
    if (!IsDigit(m_Line[0]) || !comma || comma[1] == '\0')
        return false;
    m_Time = atoi(comma + 1);
    const char* second = strchr(comma + 1, ',');
    m_FieldListOffset = second ? static_cast<int>(second + 1 - m_Line) : m_Length;
    return true;
}

void CActivityLogRecord::parseFields() {
    if (m_Parsed)
        return;
    m_Parsed = true;
    m_Fields.clear();
    m_Fields.reserve(25);
    m_Values.clear();
    m_Values.reserve(static_cast<size_t>(m_Length - m_FieldListOffset + 1));

    const char* line = m_Line;
    int pos = m_FieldListOffset;
    while (pos < m_Length) {
        // The key runs to '=' or ','; an item without '=' ends the list.
        int keyStart = pos;
        while (pos < m_Length && line[pos] != '=' && line[pos] != ',') ++pos;
        if (pos >= m_Length || line[pos] != '=')
            return;
        int keyEnd = pos++;

        int offset = static_cast<int>(m_Values.size());
        if (pos < m_Length && line[pos] == '"') {
            // Quoted: to the first ',' outside double quotes, kept as it is.
            bool inside = false;
            while (pos < m_Length && (inside || line[pos] != ',')) {
                if (line[pos] == '"')
                    inside = !inside;
                m_Values.push_back(line[pos++]);
            }
        } else {
            // Plain: to the first ',' that is not escaped, unescaped; a
            // double-byte character is taken whole, so its trail byte is
            // never a ',' or '\'.
            while (pos < m_Length && line[pos] != ',') {
                char c = line[pos];
                int n = g_CodePage.CharLength(static_cast<unsigned char>(c));
                if (n == 1 && c == '\\' && pos + 1 < m_Length &&
                    (line[pos + 1] == ',' || line[pos + 1] == '\\' || line[pos + 1] == '"')) {
                    m_Values.push_back(line[pos + 1]);
                    pos += 2;
                    continue;
                }
                for (int i = 0; i < n && pos < m_Length; ++i) m_Values.push_back(line[pos++]);
            }
        }
        int length = static_cast<int>(m_Values.size()) - offset;
        m_Values.push_back('\0');
        if (keyEnd > keyStart && IsDigit(line[keyStart]))
            m_Fields.push_back(Field{atoi(line + keyStart), offset, length});
        if (pos < m_Length)
            ++pos;  // the ',' that ended the value
    }
}

const CActivityLogRecord::Field* CActivityLogRecord::findField(int number) {
    parseFields();
    for (const Field& field : m_Fields) {
        if (field.number == number)
            return &field;
    }
    return nullptr;
}

bool CActivityLogRecord::HasField(int number) {
    return findField(number) != nullptr;
}

bool CActivityLogRecord::FieldEquals(int number, int value) {
    parseFields();
    for (const Field& field : m_Fields) {
        if (field.number == number && atoi(valueOf(field)) == value)
            return true;
    }
    return false;
}

bool CActivityLogRecord::GetField(int number, char* buffer, int size) {
    const Field* field = findField(number);
    if (!field)
        return false;
    if (size <= 0 || !buffer)
        return true;
    int n = field->length < size - 1 ? field->length : size - 1;
    memcpy(buffer, valueOf(*field), static_cast<size_t>(n));
    buffer[n] = '\0';
    return true;
}

bool CActivityLogRecord::GetFieldString(int number, CVornString& out) {
    const Field* field = findField(number);
    if (!field)
        return false;
    out.Assign(valueOf(*field), field->length);
    return true;
}

bool CActivityLogRecord::GetFieldNumber(int number, int& out) {
    char text[64];
    if (!GetField(number, text, sizeof(text)))
        return false;
    out = atoi(text);
    return true;
}

bool CActivityLogRecord::LineHasKey(int number) const {
    char key[32];
    snprintf(key, sizeof(key), ",%d=", number);
    return strstr(m_Line, key) != nullptr;
}

bool CActivityLogRecord::LineHasKeyNumber(int number, int value) const {
    char key[48];
    int n = snprintf(key, sizeof(key), ",%d=%d", number, value);
    // Every occurrence counts: the first may be the start of a longer number
    // or lie inside an escaped value.
    for (const char* p = strstr(m_Line, key); p; p = strstr(p + 1, key)) {
        if (p[n] == ',' || p[n] == '\0')
            return true;
    }
    return false;
}

bool CActivityLogRecord::Contains(const char* upperText) {
    const char* pattern = upperText ? upperText : "";
    parseFields();
    // Decoded words are never longer than their encoded form; the room for
    // twice the value keeps that from being a question.
    std::vector<char> scratch;
    for (const Field& field : m_Fields) {
        const char* value = valueOf(field);
        size_t room = static_cast<size_t>(field.length) * 2 + 16;
        if (scratch.size() < room)
            scratch.resize(room);
        int charset = 0;
        if (strstr(value, "=?")) {
            DecodeEncodedWords(scratch.data(), static_cast<unsigned>(room), value, &charset,
                               nullptr, false);
        } else {
            memcpy(scratch.data(), value, static_cast<size_t>(field.length) + 1);
        }
        if (CVornCodePage::IsIso2022jp(scratch.data()))
            CVornCodePage::Iso2022jpToSjis(scratch.data(), scratch.data(), room);
        g_CodePage.ToUpper(scratch.data());
        if (ContainsAtCharacter(scratch.data(), static_cast<int>(strlen(scratch.data())), pattern))
            return true;
    }
    return false;
}

bool CActivityLogRecord::DescribeField(int number, CVornString& label, CVornString& text) {
    const Field* field = findField(number);
    if (!field)
        return false;
    const char* value = valueOf(*field);
    label.AssignInt(number);
    text.Assign(value, field->length);

    for (int row = 0; row < CountOf(kLabelFields); ++row) {
        if (kLabelFields[row] == number) {
            AssignCatalogText(label, kLabelMessages[row]);
            break;
        }
    }
    // The key of the value: one type letter for field 40, a decimal number
    // for the others; anything else is shown as stored.
    int key = 0;
    if (number == kTypeField) {
        if (field->length != 1)
            return true;
        key = static_cast<unsigned char>(value[0]);
    } else {
        if (!IsNumberText(value))
            return true;
        key = atoi(value);
    }
    for (int row = 0; row < CountOf(kValueFields); ++row) {
        if (kValueFields[row] == number && kValueKeys[row] == key) {
            AssignCatalogText(text, kValueMessages[row]);
            break;
        }
    }
    return true;
}

// ---------------------------------------------------------------- criteria

void CActivityLogCriteria::AddPresent(int number) {
    CActivityLogTerm term;
    term.m_Kind = CActivityLogTerm::kPresent;
    term.m_Field = number;
    m_Terms.push_back(term);
}

void CActivityLogCriteria::AddEquals(int number, int value) {
    CActivityLogTerm term;
    term.m_Kind = CActivityLogTerm::kEquals;
    term.m_Field = number;
    term.m_Number = value;
    m_Terms.push_back(term);
}

void CActivityLogCriteria::AddContains(const char* text) {
    CActivityLogTerm term;
    term.m_Kind = CActivityLogTerm::kContains;
    term.m_Text = text ? text : "";
    g_CodePage.ToUpper(term.m_Text.data());
    m_Terms.push_back(term);
}

bool CActivityLogCriteria::Matches(CActivityLogRecord& record) const {
    for (const CActivityLogTerm& term : m_Terms) {
        bool holds = false;
        switch (term.m_Kind) {
            case CActivityLogTerm::kPresent:
                holds = record.LineHasKey(term.m_Field) && record.HasField(term.m_Field);
                break;
            case CActivityLogTerm::kEquals:
                holds = record.LineHasKeyNumber(term.m_Field, term.m_Number) &&
                        record.FieldEquals(term.m_Field, term.m_Number);
                break;
            case CActivityLogTerm::kContains:
                holds = record.Contains(term.m_Text.c_str());
                break;
        }
        if (holds)
            return true;
    }
    return false;
}

void CActivityLogCriteriaList::AddGroup(const CActivityLogCriteria& group) {
    m_Groups.push_back(group);
}

bool CActivityLogCriteriaList::Matches(CActivityLogRecord& record) const {
    for (const CActivityLogCriteria& group : m_Groups) {
        if (!group.Matches(record))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- reader

CActivityLogReader::CActivityLogReader(const char* path)
    : m_Path(path ? path : ""), m_Block(kBlockSize) {}

CActivityLogReader::~CActivityLogReader() {
    if (m_Fd >= 0)
        platform::CloseFile(m_Fd);
}

bool CActivityLogReader::fill() {
    if (m_Position < m_Length)
        return true;
    if (m_Eof || m_Error)
        return false;
    if (!m_Opened) {
        m_Opened = true;
        m_Fd = platform::OpenFile(m_Path.c_str(), O_RDONLY, 0);
        if (m_Fd < 0) {
            m_Error = true;
            return false;
        }
    }
    long n = platform::ReadSome(m_Fd, m_Block.data(), m_Block.size());
    m_Position = 0;
    m_Length = 0;
    if (n < 0) {
        m_Error = true;
        return false;
    }
    if (n == 0) {
        m_Eof = true;
        return false;
    }
    m_Length = static_cast<int>(n);
    return true;
}

void CActivityLogReader::skipLine() {
    while (fill()) {
        const char* start = m_Block.data() + m_Position;
        const char* end = m_Block.data() + m_Length;
        for (const char* p = start; p < end; ++p) {
            if (*p == '\r' || *p == '\n') {
                // The rest of a CR LF pair comes back as an empty line, which
                // ReadLine skips.
                m_Position = static_cast<int>(p + 1 - m_Block.data());
                return;
            }
        }
        m_Position = m_Length;
    }
}

int CActivityLogReader::ReadLine(char* buffer, int size) {
    if (!buffer || size < 2)
        return -1;
    for (;;) {
        int length = 0;
        bool ended = false;
        bool tooLong = false;
        while (!ended && fill()) {
            char* block = m_Block.data();
            while (m_Position < m_Length) {
                char c = block[m_Position++];
                if (c == '\r' || c == '\n') {
                    ended = true;
                    break;
                }
                if (length == size - 1) {
                    --m_Position;
                    tooLong = true;
                    break;
                }
                buffer[length++] = c;
            }
            if (tooLong)
                break;
        }
        if (m_Error)
            return -1;
        if (tooLong) {
            buffer[length] = '\0';
            skipLine();
            if (m_Error)
                return -1;
            const char* comma = strchr(buffer, ',');
            if (!comma)
                continue;  // not a record at all: go on with the next line
            std::string record =
                std::to_string(atoi(buffer)) + "," + std::to_string(atoi(comma + 1)) + ",1=1,100=";
            AppendEscaped(record, GetCatalogText(kMsgLineTooLong));
            record += ",105=";
            AppendEscaped(record, GetCatalogText(kMsgLineTooLongDetail));
            size_t n = record.size() < static_cast<size_t>(size - 1)
                           ? record.size()
                           : static_cast<size_t>(size - 1);
            memcpy(buffer, record.data(), n);
            buffer[n] = '\0';
            return static_cast<int>(n);
        }
        if (!ended) {
            // The end of the file: a line without its line end is still
            // being written and is not returned.
            buffer[0] = '\0';
            return 0;
        }
        if (length == 0)
            continue;  // an empty line (or the LF of a CR LF): skip it
        buffer[length] = '\0';
        return length;
    }
}

// ---------------------------------------------------------------- search

CActivityLogSearch::CActivityLogSearch(const CVornDate& from, const CVornDate& to,
                                       const CActivityLogCriteriaList& criteria,
                                       const char* directory)
    : m_Criteria(criteria), m_Directory(directory, CVornString::kUnlocked), m_Cursor(from) {
    from.GetPacked(&m_StartDate, &m_StartTime, nullptr);
    to.GetPacked(&m_EndDate, &m_EndTime, nullptr);
    m_Empty = from.Compare(to) > 0;
}

CActivityLogSearch::~CActivityLogSearch() {
    delete m_Reader;
}

void CActivityLogSearch::openNextFile() {
    if (m_Reader) {
        delete m_Reader;
        m_Reader = nullptr;
        m_Cursor.AddDays(1);
    }
    CVornString name(CVornString::kUnlocked);
    CVornString path(CVornString::kUnlocked);
    for (;;) {
        int date = 0;
        m_Cursor.GetPacked(&date, nullptr, nullptr);
        // A range that ends at midnight reads nothing of its last day.
        if (date > m_EndDate || (date == m_EndDate && m_EndTime == 0))
            return;
        name.Format("%s%d", kDayFilePrefix, date);
        JoinPath(path, m_Directory.CStr(), name.CStr());
        if (FileExists(path.CStr(), false)) {
            m_Reader = new CActivityLogReader(path.CStr());
            return;
        }
        m_Cursor.AddDays(1);
    }
}

bool CActivityLogSearch::readLine(char* buffer, int size) {
    if (m_Done)
        return false;
    if (!m_Reader)
        openNextFile();
    while (m_Reader) {
        if (m_Reader->ReadLine(buffer, size) > 0)
            return true;
        // The end of the file, or a file that cannot be read: the next day.
        openNextFile();
    }
    m_Done = true;
    return false;
}

int CActivityLogSearch::Next(CActivityLogRecord& record) {
    if (m_Empty || m_Done)
        return 1;
    time_t start = Now();
    for (long count = 0;; ++count) {
        if (count % kClockEvery == 0 && Now() - start > kTimeBudget)
            return 2;
        if (!readLine(record.m_Line, CActivityLogRecord::kLineSize))
            return 1;
        if (!record.ParseHeader())
            continue;
        // The start is inclusive, the end exclusive; only day files of the
        // range are read, so the tests decide on the first and last day.
        bool inRange = (record.m_Date > m_StartDate || record.m_Time >= m_StartTime) &&
                       (record.m_Date < m_EndDate || record.m_Time < m_EndTime);
        if (inRange && m_Criteria.Matches(record))
            return 0;
    }
}
