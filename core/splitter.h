// CVornSplitter: cuts a text into items and hands them out by index. The
// tokenizer of configuration values, dotted numbers, address lists, template
// arguments and the lines of a text.
//
// Ways of splitting:
//   strict  only allowed characters between single separators (dotted numbers)
//   plain   runs of separators count as one; no empty items
//   fields  every separator ends an item; empty items are kept
//   quoted  as plain, but separators inside double quotes, parentheses
//           (nesting counted) or, when asked, angle brackets do not split, and
//           a backslash protects the character after it; those characters stay
//           in the items
//
// Separators are single-byte characters of g_CodePage: a trail byte of a
// double-byte character never separates. The char overloads split at exactly
// that byte (NUL included); the set overloads at any byte of the C string.
//
// maxCount (plain, fields, quoted): when above 0, scanning stops once
// maxCount items have been ended by separators, and the rest of the text (after
// the separator, or the separator run in the plain and quoted splits) becomes
// one more, last item, separators and all. The result is then true when
// exactly maxCount items were ended by separators, false when the text ran out
// first; with maxCount <= 0 the result is true.
//
// Every split first copies the text (the items are spans of that copy) and
// replaces the items of any earlier split. A null separator or allowed set is
// a caller error: the split leaves no items and returns false.
//
// Threads: the splitter's lock is the lock of its private copy; a split holds
// it and the source text's lock, GetAt holds it and the target's lock (each
// pair taken in address order). A splitter is normally used by one thread.
#pragma once

#include "core/vorn_list.h"
#include "core/vorn_string.h"

class CVornSplitter {
public:
    CVornSplitter();
    virtual ~CVornSplitter();
    CVornSplitter(const CVornSplitter&) = delete;
    CVornSplitter& operator=(const CVornSplitter&) = delete;

    // Items of characters from allowed, each ended by one sep. True only when
    // the whole text was consumed (a sep at the very end counts as consumed).
    bool SplitStrict(const CVornString& text, const char* allowed, char sep);

    bool Split(const CVornString& text, const char* seps, int maxCount);
    bool Split(const CVornString& text, char sep, int maxCount);

    bool SplitFields(const CVornString& text, const char* seps, int maxCount);
    bool SplitFields(const CVornString& text, char sep, int maxCount);

    // angle: "<" ... ">" protects like parentheses (not nested).
    bool SplitQuoted(const CVornString& text, const char* seps, int maxCount, bool angle);
    bool SplitQuoted(const CVornString& text, char sep, int maxCount, bool angle);

    // Number of items.
    int Count();
    // Copies item index (from 0) into out. False, out unchanged, when index
    // is negative or not below the count. Throws CVornException 61 when the
    // span at a valid index is missing (a broken list).
    bool GetAt(int index, CVornString& out);

private:
    struct Span {
        int m_Start = 0;
        int m_Length = 0;
    };
    // Set of separator or allowed bytes.
    struct ByteSet {
        bool m_Has[256] = {};
    };
    enum class Mode { kPlain, kFields, kQuoted };

    // Copies text into m_Text and drops the old items. REQUIRES: both locks.
    void reset(const CVornString& text);
    void addItem(int start, int end);
    // The bytes of the copy (NUL-terminated; "" when it is empty).
    const char* data();
    bool split(const CVornString& text, const ByteSet* seps, int maxCount, Mode mode, bool angle);

    CVornString m_Text{CVornString::kLocked};
    CVornList<Span> m_Items;
    // Index of the node under the list's cursor, so that reading the items in
    // order does not walk the list from its head each time; -1 when unknown.
    int m_CursorIndex = -1;
};
