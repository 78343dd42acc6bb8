// CVornException: the library's one exception type, for broken invariants
// and for synchronisation objects or sockets the system cannot create or
// release. Ordinary failures are results, never exceptions.
//
//   CVornException(code, text, extra)  keeps the three fields and reports the
//                                      catalogue text of the code as an error
//                                      event (so a swallowed throw still
//                                      leaves a record)
//   copy / assignment                  deep-copy the text; they do not log
//
// Thrown by value, caught by reference or by catch (...). Handlers read the
// public fields directly. Constructing one never throws and never waits for
// a lock other than the catalogue and log locks (both recursive, and never
// held by code that throws), so a thread may throw while it holds any lock
// of its own objects.
#pragma once

class CVornException {
public:
    // code: message-catalogue number of the error. text: may be null; a
    // copy is kept (when memory runs out the copy is simply absent). extra: a
    // number that goes with the error, 0 when there is none.
    explicit CVornException(int code, const char* text = nullptr, int extra = 0);
    CVornException(const CVornException& other);
    CVornException& operator=(const CVornException& other);
    virtual ~CVornException();

    int m_Code;
    char* m_Text;  // owned, NUL-terminated, or null
    int m_Extra;
};
