// The out-of-line part of the lists (see vorn_list.h): the exception the
// list templates throw, and the string list, compiled once here.
//
//   ThrowVornListError   throws CVornException(code), no text, extra 0
#include "core/vorn_list.h"

#include "core/vorn_exception.h"

[[noreturn]] void ThrowVornListError(int code) {
    throw CVornException(code, nullptr, 0);
}

template class CVornList<CVornString>;
