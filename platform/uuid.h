// New UUIDs from the system's UUID library (libuuid).
//
//   GenerateUuid   16 bytes of a new random (version 4) UUID
#pragma once

namespace platform {

// Writes a new random UUID into out, in the byte order of its text form
// (RFC 4122: the first field's most significant byte first). Returns true
// when a UUID was made. REQUIRES: out holds 16 bytes. Any thread may call.
bool GenerateUuid(unsigned char out[16]);

}  // namespace platform
