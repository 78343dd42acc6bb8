// libRav2ID.so: the identification engine (magic bytes).
//
//   RavNewIDEngine(&engine)      a new engine
//   RavDeleteIDEngine(engine)    deletes any engine of this component
//
// Bad input: a null out-pointer answers RAVERR_BAD_ARGUMENT.

#include <new>

#include "maker/libs/rav_export.h"
#include "maker/rav_engines.h"

RAV_EXPORT int32_t RavNewIDEngine(IRavEngine** out) {
    if (!out) return RAVERR_BAD_ARGUMENT;
    *out = new (std::nothrow) rav::CIdEngine;
    return *out ? 0 : RAVERR_NO_MEMORY;
}

RAV_EXPORT int32_t RavDeleteIDEngine(IRavEngine* engine) {
    delete engine;
    return 0;
}
