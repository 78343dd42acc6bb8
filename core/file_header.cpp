// CVornFileHeader: the versioned first line of a data file.
//
//   Parse       reads "# <number> <version> <date>" (kParsed / kFailed)
//   IsValid     whether the last Parse succeeded
//   GetNumber   the format number, when valid
//   Format      the line to write back, when valid
//
// Bad input: an empty line, fewer than three blank-separated fields or a
// first field without "#" fail (not valid; GetNumber and Format then return
// false). An unreadable version becomes "0.0.0" and an unreadable date now;
// those lines still parse.
#include "core/file_header.h"

#include "core/splitter.h"

namespace {

const char* const kDefaultVersion = "0.0.0";

}  // namespace

CVornFileHeader::CVornFileHeader() : m_State(0), m_Number(0) {}

CVornFileHeader::~CVornFileHeader() = default;

int CVornFileHeader::Parse(CVornString& line) {
    CVornLockGuard guard(m_Lock);
    m_State = kFailed;
    line.TrimRight();
    if (line.IsEmpty())
        return m_State;

    // "#", number, version and the rest (the date, blanks and all); or, when
    // the line has no date, "#", number and version.
    CVornSplitter fields;
    if (!fields.Split(line, ' ', 3) && !fields.Split(line, ' ', 2))
        return m_State;
    // "# 2 " reaches the second split's maximum with nothing after it: a
    // number alone is no header.
    if (fields.Count() < 3)
        return m_State;
    CVornString field(CVornString::kUnlocked);
    fields.GetAt(0, field);
    if (!field.StartsWith('#', 1))
        return m_State;
    fields.GetAt(1, field);
    m_Number = field.ToInt();

    // The date text of an earlier line must never be written back for this
    // one: it is cleared unless this line's date part reads as a date.
    m_DateText.Clear();
    if (fields.Count() == 4) {
        fields.GetAt(2, field);
        if (!m_Version.Parse(field))
            m_Version.Parse(kDefaultVersion);
        fields.GetAt(3, field);
        // A date part with a line break inside would start a new record
        // when the header is written back: it is not kept as text.
        if (m_Date.Parse(field) == 0 && !field.Contains('\r') && !field.Contains('\n'))
            m_DateText.Assign(field);
    } else {
        m_Version.Parse(kDefaultVersion);
        m_Date.SetNow();
    }
    m_State = kParsed;
    return m_State;
}

bool CVornFileHeader::IsValid() const {
    CVornLockGuard guard(m_Lock);
    return m_State == kParsed;
}

bool CVornFileHeader::GetNumber(int* number) const {
    CVornLockGuard guard(m_Lock);
    if (m_State != kParsed)
        return false;
    *number = m_Number;
    return true;
}

bool CVornFileHeader::Format(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    if (m_State != kParsed)
        return false;
    CVornString line(CVornString::kUnlocked);
    CVornString part(CVornString::kUnlocked);
    line.Assign("# ");
    line.AppendInt(m_Number);
    line.Append(' ');
    m_Version.GetText(part);
    line.Append(part);
    line.Append(' ');
    if (m_DateText.IsEmpty()) {
        m_Date.FormatRFC822(part);
        line.Append(part);
    } else {
        line.Append(m_DateText);
    }
    out.Assign(line);
    return true;
}
