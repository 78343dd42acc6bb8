// New UUIDs through libuuid.
//
//   GenerateUuid   a random (version 4) UUID, in RFC 4122 byte order
//
// Random UUIDs rather than time-based ones: they reveal neither the host's
// hardware address nor the moment they were made. libuuid reports no
// failure (it falls back to a weaker source on its own), so the result is
// always true.
#include "platform/uuid.h"

#include <string.h>
#include <uuid/uuid.h>

namespace platform {

bool GenerateUuid(unsigned char out[16]) {
    uuid_t id;
    uuid_generate_random(id);
    memcpy(out, id, sizeof id);
    return true;
}

}  // namespace platform
