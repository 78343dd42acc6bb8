// The orders in which a listing of directory entries can be sorted: ten
// keys of a page's sort link, each with its comparison. No page or command
// of this system lists directory entries yet; the table is kept with the
// web-mail pages, whose listings such a page would join.
//
//   DirectoryListEntry      one listed entry: name, size, type, date, other text
//   DirectoryListCompare    the comparison of two entries in one order
//   FindDirectoryListOrder  the comparison of a key ("sort=name", ...)
//
// Keys: "sort=name", "sort=size", "sort=type", "sort=date", "sort=other",
// each also with "rev" appended for the reverse order. Names and texts
// compare without regard to case (on an equal common part the longer is
// greater), sizes as integers, dates as points in time; a reversed order
// negates its comparison.
//
// Bad input: an unknown key (also a null one, or one in another letter
// case) has no comparison (null). Pure functions; any thread.
#pragma once

#include "core/vorn_date.h"
#include "core/vorn_string.h"

struct DirectoryListEntry {
    CVornString m_Name{CVornString::kUnlocked};
    long long m_Size = 0;
    CVornString m_Type{CVornString::kUnlocked};
    CVornDate m_Date{static_cast<time_t>(0)};
    CVornString m_Other{CVornString::kUnlocked};
};

// Negative, 0 or positive as a sorts before, with or after b.
typedef int (*DirectoryListCompare)(const DirectoryListEntry* a, const DirectoryListEntry* b);

// The comparison of the order named by key; null for an unknown key.
DirectoryListCompare FindDirectoryListOrder(const char* key);
