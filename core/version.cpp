// CVornVersion: dotted version numbers of one to four decimal parts.
//
//   Parse     stores and reads a text; true when it is a valid version
//   IsValid   whether the last Parse succeeded
//   GetText   the text last parsed, when valid
//
// Bad input: Parse of anything but digit groups separated by single dots
// (one trailing dot is taken, as the strict splitter takes it),
// or of more than four groups, or of a group beyond 32 bits, returns false
// and leaves the version not valid (its text kept for the record).
#include "core/version.h"

#include <cstdint>

#include "core/splitter.h"

CVornVersion::CVornVersion() : m_Valid(0), m_PartCount(0), m_Parts{} {}

CVornVersion::~CVornVersion() = default;

bool CVornVersion::Parse(const char* text) {
    return Parse(CVornString(text, CVornString::kUnlocked));
}

bool CVornVersion::Parse(const CVornString& text) {
    CVornLockGuard guard(m_Lock);
    m_Valid = 0;
    m_Text.Assign(text);
    if (m_Text.IsEmpty())
        return false;
    // The strict split decides, so a text ending in one dot ("1.2.") is the
    // version of its groups, as the splitter reads it.
    CVornSplitter groups;
    if (!groups.SplitStrict(m_Text, "0123456789", '.'))
        return false;
    m_PartCount = groups.Count();
    if (m_PartCount < 1 || m_PartCount > kMaxParts)
        return false;
    CVornString group(CVornString::kUnlocked);
    for (int i = 0; i < m_PartCount; ++i) {
        groups.GetAt(i, group);
        long long value = 0;
        for (int k = 0; k < group.Length(); ++k) {
            value = value * 10 + (group.CharAt(k) - '0');
            if (value > INT32_MAX)
                return false;
        }
        m_Parts[i] = static_cast<int32_t>(value);
    }
    m_Valid = 1;
    return true;
}

bool CVornVersion::IsValid() const {
    CVornLockGuard guard(m_Lock);
    return m_Valid != 0;
}

bool CVornVersion::GetText(CVornString& out) const {
    CVornLockGuard guard(m_Lock);
    if (!m_Valid)
        return false;
    out.Assign(m_Text);
    return true;
}
