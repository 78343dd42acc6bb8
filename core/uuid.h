// CVornUuid: a UUID as a plain 16-byte value laid out as a Windows GUID, and
// its 36-character text form (the gateway names quarantine packages with it).
//
// Threads: no lock; a value belongs to its user. Generating is safe from any
// thread.
#pragma once

#include <stdint.h>

class CVornUuid {
public:
    // All 16 bytes zero.
    CVornUuid();

    // Fills the value with a new UUID. True when one was made; on false the
    // value is whatever the generator left.
    bool Generate();

    // Writes the text form, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in
    // lower-case hex (Data1, Data2, Data3, then the eight bytes of Data4),
    // and its NUL. REQUIRES: out holds at least 37 bytes.
    void ToString(char* out) const;

    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
