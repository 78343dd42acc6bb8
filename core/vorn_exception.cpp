// CVornException: the library's exception for broken invariants and for
// synchronisation objects or sockets that cannot be made or released.
//
//   CVornException(code, text, extra)  keep the fields, report an error event
//   copy constructor / assignment      deep copies, no event
//   ~CVornException                    frees the text
//
// Bad input: a null text is kept as none. The constructor never throws:
// when the text cannot be copied the exception carries none, and a failure
// to log is swallowed, so a throw always throws what the thrower asked for.
#include "core/vorn_exception.h"

#include <cstdlib>
#include <cstring>

#include "core/event_log.h"

namespace {

char* copyText(const char* text) {
    return text ? strdup(text) : nullptr;
}

}  // namespace

CVornException::CVornException(int code, const char* text, int extra)
    : m_Code(code), m_Text(copyText(text)), m_Extra(extra) {
    // Only the catalogue lock and the log lock are taken here, both leaves
    // of the lock order: code that throws never holds them.
    try {
        LogErrorEventStrInt(code, text, extra);
    } catch (...) {
    }
}

CVornException::CVornException(const CVornException& other)
    : m_Code(other.m_Code), m_Text(copyText(other.m_Text)), m_Extra(other.m_Extra) {}

CVornException& CVornException::operator=(const CVornException& other) {
    char* text = copyText(other.m_Text);  // before freeing ours: self-assignment
    free(m_Text);
    m_Text = text;
    m_Code = other.m_Code;
    m_Extra = other.m_Extra;
    return *this;
}

CVornException::~CVornException() {
    free(m_Text);
}
