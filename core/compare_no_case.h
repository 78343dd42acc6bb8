// CompareNoCase: the library's comparison of two texts without regard to
// case, and the usual comparison callback of sorted string lists
// (CVornSortedList<CVornString>, core/vorn_list.h).
//
// Thread safety: each string is read under its own lock; any thread may call.
#pragma once

class CVornString;

// Negative, 0 or positive as a sorts before, equal to or after b, compared
// character by character without regard to case (CVornString::Compare mode
// 0); on an equal common part the longer text sorts after.
int CompareNoCase(const CVornString& a, const CVornString& b);

// The same for the sorted lists' callback signature. REQUIRES: both non-null.
int CompareNoCase(const CVornString* a, const CVornString* b);
