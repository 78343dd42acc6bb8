// Checking printf formats that come from data against the caller's
// arguments, so that a catalogue text can never make printf read an argument
// that was not passed, read one as the wrong type, or write through %n.
//
//   FormatMatches(format, kinds)   true only for an exact fit (format_check.h)
//
// Bad input (null format, unknown kind, malformed conversion) gives false.
#include "core/format_check.h"

#include <cstring>

namespace {

// The largest width or precision accepted: enough for any layout, small
// enough that a hostile text cannot make one event take gigabytes.
constexpr int kMaxFieldSize = 9999;

enum Length { kNone, kChar, kShort, kLong, kLongLong, kSize };

// Reads a run of digits at *p; false when its value passes kMaxFieldSize.
bool readField(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > kMaxFieldSize)
            return false;
        ++p;
    }
    return true;
}

bool isInteger(char conversion) {
    return conversion && strchr("diouxXc", conversion);
}
bool isWholeNumber(char conversion) {
    return conversion && strchr("diouxX", conversion);
}
bool isFloating(char conversion) {
    return conversion && strchr("fFeEgGaA", conversion);
}

bool fits(char kind, Length length, char conversion) {
    switch (kind) {
        case 's':
            return conversion == 's' && length == kNone;
        case 'd':
        case 'u':
        case 'c':
            return isInteger(conversion) &&
                   (length == kNone || length == kChar || length == kShort);
        case 'l':
            return isWholeNumber(conversion) && length == kLong;
        case 'q':
            return isWholeNumber(conversion) && length == kLongLong;
        case 'z':
            return isWholeNumber(conversion) && length == kSize;
        case 'f':
            return isFloating(conversion) && (length == kNone || length == kLong);
        case 'p':
            return conversion == 'p' && length == kNone;
        default:
            return false;
    }
}

}  // namespace

bool FormatMatches(const char* format, const char* argumentKinds) {
    if (format == nullptr)
        return false;
    const char* kinds = argumentKinds ? argumentKinds : "";
    for (const char* p = format; *p; ++p) {
        if (*p != '%')
            continue;
        ++p;
        if (*p == '%')
            continue;
        while (*p && strchr("-+ #0", *p)) ++p;
        if (!readField(p))
            return false;
        if (*p == '.') {
            ++p;
            if (!readField(p))
                return false;
        }
        Length length = kNone;
        if (p[0] == 'h' && p[1] == 'h') {
            length = kChar;
            p += 2;
        } else if (p[0] == 'h') {
            length = kShort;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = kLongLong;
            p += 2;
        } else if (p[0] == 'l') {
            length = kLong;
            ++p;
        } else if (p[0] == 'z') {
            length = kSize;
            ++p;
        }
        // Anything else here ("*", "$" after digits, "n", "S", an unknown
        // letter, the end of the format) fits no kind.
        if (*kinds == '\0' || !fits(*kinds, length, *p))
            return false;
        ++kinds;
    }
    return *kinds == '\0';
}
