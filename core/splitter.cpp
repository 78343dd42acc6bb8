// CVornSplitter: cuts a text into items (spans of a private copy).
//
//   SplitStrict   allowed characters between single separators; true when all consumed
//   Split         plain split: separator runs count as one, no empty items
//   SplitFields   every separator ends an item, empty items kept
//   SplitQuoted   plain split that respects quotes, parentheses, backslashes
//                 and optionally angle brackets
//   Count         number of items
//   GetAt         copy one item out
//
// Bad input: a null separator or allowed set leaves no items and returns
// false; GetAt of an index outside the items returns false and leaves the
// target alone. Only a span missing from the list at a valid index (a broken
// invariant) throws CVornException 61.
#include "core/splitter.h"

#include <algorithm>

#include "core/code_page.h"

CVornSplitter::CVornSplitter() = default;

CVornSplitter::~CVornSplitter() = default;

void CVornSplitter::reset(const CVornString& text) {
    m_Text.Assign(text);
    m_Items.RemoveAll();
    m_CursorIndex = -1;
}

void CVornSplitter::addItem(int start, int end) {
    Span span;
    span.m_Start = start;
    span.m_Length = end - start;
    m_Items.AddTail(span);
}

namespace {

// Length of the character at pos, never past end.
int charLength(const char* data, int end, int pos) {
    int length = g_CodePage.CharLength(static_cast<unsigned char>(data[pos]));
    return std::min(length, end - pos);
}

}  // namespace

const char* CVornSplitter::data() {
    return m_Text.IsEmpty() ? "" : m_Text.CStr();
}

bool CVornSplitter::SplitStrict(const CVornString& text, const char* allowed, char sep) {
    CVornStringPairLock both(text, m_Text);
    reset(text);
    if (!allowed)
        return false;
    ByteSet set;
    for (const char* p = allowed; *p; ++p) set.m_Has[static_cast<unsigned char>(*p)] = true;

    const char* data = this->data();
    const int end = m_Text.Length();
    auto charLen = [&](int pos) { return charLength(data, end, pos); };
    int i = 0;
    while (i < end) {
        int start = i;
        while (i < end && charLen(i) == 1 && set.m_Has[static_cast<unsigned char>(data[i])]) ++i;
        if (i == start)
            break;
        addItem(start, i);
        if (i < end && charLen(i) == 1 && data[i] == sep) {
            ++i;
            continue;
        }
        break;
    }
    return i >= end;
}

bool CVornSplitter::split(const CVornString& text, const ByteSet* seps, int maxCount, Mode mode,
                          bool angle) {
    CVornStringPairLock both(text, m_Text);
    reset(text);
    if (!seps)
        return false;

    const bool quoted = mode == Mode::kQuoted;
    const char* data = this->data();
    const int end = m_Text.Length();
    auto charLen = [&](int pos) { return charLength(data, end, pos); };
    // A byte that acts as a separator once the scan is outside every quote,
    // parenthesis and bracket: the quoting characters themselves never do.
    auto isSeparator = [&](int pos) {
        unsigned char c = static_cast<unsigned char>(data[pos]);
        if (charLen(pos) != 1 || !seps->m_Has[c])
            return false;
        if (!quoted)
            return true;
        return c != '"' && c != '\\' && c != '(' && c != ')' && !(angle && c == '<');
    };

    bool inQuote = false;
    bool inAngle = false;
    int depth = 0;
    int ended = 0;
    int start = 0;
    int i = 0;
    while (i < end) {
        int length = charLen(i);
        if (length > 1) {
            i += length;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (quoted) {
            if (c == '\\') {
                // The protected character is passed over whole, so that the
                // trail byte of a double-byte one is never taken for a separator.
                ++i;
                if (i < end)
                    i += charLen(i);
                continue;
            }
            if (c == '"') {
                inQuote = !inQuote;
                ++i;
                continue;
            }
            if (!inQuote) {
                if (c == '(' || c == ')') {
                    if (c == '(') {
                        ++depth;
                    } else if (depth > 0) {
                        --depth;
                    }
                    ++i;
                    continue;
                }
                if (angle && ((c == '<' && !inAngle) || (c == '>' && inAngle))) {
                    inAngle = !inAngle;
                    ++i;
                    continue;
                }
            }
            if (inQuote || depth > 0 || inAngle) {
                ++i;
                continue;
            }
        }
        if (!seps->m_Has[c]) {
            ++i;
            continue;
        }

        bool counted = mode == Mode::kFields || i > start;
        if (counted)
            addItem(start, i);
        ++i;
        if (mode != Mode::kFields) {
            while (i < end && isSeparator(i)) ++i;
        }
        start = i;
        if (counted && maxCount > 0 && ++ended == maxCount) {
            if (start < end)
                addItem(start, end);
            return true;
        }
    }
    if (start < end)
        addItem(start, end);
    return maxCount <= 0;
}

namespace {

template <typename Set>
Set setOf(const char* chars) {
    Set set;
    for (const char* p = chars; *p; ++p) set.m_Has[static_cast<unsigned char>(*p)] = true;
    return set;
}

template <typename Set>
Set setOf(char c) {
    Set set;
    set.m_Has[static_cast<unsigned char>(c)] = true;
    return set;
}

}  // namespace

bool CVornSplitter::Split(const CVornString& text, const char* seps, int maxCount) {
    if (!seps)
        return split(text, nullptr, maxCount, Mode::kPlain, false);
    ByteSet set = setOf<ByteSet>(seps);
    return split(text, &set, maxCount, Mode::kPlain, false);
}

bool CVornSplitter::Split(const CVornString& text, char sep, int maxCount) {
    ByteSet set = setOf<ByteSet>(sep);
    return split(text, &set, maxCount, Mode::kPlain, false);
}

bool CVornSplitter::SplitFields(const CVornString& text, const char* seps, int maxCount) {
    if (!seps)
        return split(text, nullptr, maxCount, Mode::kFields, false);
    ByteSet set = setOf<ByteSet>(seps);
    return split(text, &set, maxCount, Mode::kFields, false);
}

bool CVornSplitter::SplitFields(const CVornString& text, char sep, int maxCount) {
    ByteSet set = setOf<ByteSet>(sep);
    return split(text, &set, maxCount, Mode::kFields, false);
}

bool CVornSplitter::SplitQuoted(const CVornString& text, const char* seps, int maxCount,
                                bool angle) {
    if (!seps)
        return split(text, nullptr, maxCount, Mode::kQuoted, angle);
    ByteSet set = setOf<ByteSet>(seps);
    return split(text, &set, maxCount, Mode::kQuoted, angle);
}

bool CVornSplitter::SplitQuoted(const CVornString& text, char sep, int maxCount, bool angle) {
    ByteSet set = setOf<ByteSet>(sep);
    return split(text, &set, maxCount, Mode::kQuoted, angle);
}

int CVornSplitter::Count() {
    CVornStringLockGuard guard(m_Text);
    CVornLockGuard listGuard(m_Items.m_Lock);
    return m_Items.m_Count;
}

bool CVornSplitter::GetAt(int index, CVornString& out) {
    CVornStringPairLock both(m_Text, out);
    Span span;
    {
        CVornLockGuard listGuard(m_Items.m_Lock);
        if (index < 0 || index >= m_Items.m_Count)
            return false;
        const Span* found = nullptr;
        if (m_CursorIndex >= 0 && m_Items.m_Cursor) {
            if (index == m_CursorIndex) {
                found = &m_Items.m_Cursor->m_Element;
            } else if (index == m_CursorIndex + 1 && m_Items.m_Cursor->m_Next) {
                m_Items.m_Previous = m_Items.m_Cursor;
                m_Items.m_Cursor = m_Items.m_Cursor->m_Next;
                found = &m_Items.m_Cursor->m_Element;
            }
        }
        if (!found)
            found = m_Items.GetAt(index);  // throws 61 when the span is missing
        m_CursorIndex = index;
        span = *found;
    }
    out.Assign(data() + span.m_Start, span.m_Length);
    return true;
}
