// CVornUuid: UUID values and their text form.
//
//   CVornUuid::CVornUuid   the zero UUID
//   CVornUuid::Generate    a new UUID (platform::GenerateUuid); false when none was made
//   CVornUuid::ToString    the 36-character text form into a buffer of at least 37 bytes
//
// Bad input: ToString trusts the caller's buffer size (37 bytes, a fixed
// size every caller declares); it writes exactly 37 bytes.
#include "core/uuid.h"

#include <stdio.h>
#include <string.h>

#include "platform/uuid.h"

static_assert(sizeof(CVornUuid) == 16, "a UUID is a plain 16-byte value");

CVornUuid::CVornUuid() : Data1(0), Data2(0), Data3(0) {
    memset(Data4, 0, sizeof Data4);
}

bool CVornUuid::Generate() {
    unsigned char bytes[16];
    if (!platform::GenerateUuid(bytes))
        return false;
    // The generator's bytes are in text order, so the three leading fields
    // are read most significant byte first; the text form then shows the
    // bytes in the order they were made.
    Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
            uint32_t(bytes[3]);
    Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    memcpy(Data4, bytes + 8, sizeof Data4);
    return true;
}

void CVornUuid::ToString(char* out) const {
    snprintf(out, 37, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", unsigned(Data1),
             unsigned(Data2), unsigned(Data3), Data4[0], Data4[1], Data4[2], Data4[3], Data4[4],
             Data4[5], Data4[6], Data4[7]);
}
