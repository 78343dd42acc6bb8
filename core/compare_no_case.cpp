// CompareNoCase: case-insensitive ordering of two strings.
//
//   CompareNoCase(a, b)     references: negative, 0 or positive
//   CompareNoCase(&a, &b)   the same, shaped as a sorted list's callback
//
// Bad input: none is possible with references; null pointers are a caller
// error.
#include "core/compare_no_case.h"

#include "core/vorn_string.h"

int CompareNoCase(const CVornString& a, const CVornString& b) {
    return a.Compare(b, 0);
}

int CompareNoCase(const CVornString* a, const CVornString* b) {
    return CompareNoCase(*a, *b);
}
