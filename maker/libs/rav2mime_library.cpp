// libRav2MIME.so: the MIME engine (mail messages read and rebuilt from
// byte ranges of the original).
//
//   RavNewMimeEngine(&engine)      a new engine
//   RavDeleteMimeEngine(engine)    deletes any engine of this component
//
// Bad input: a null out-pointer answers RAVERR_BAD_ARGUMENT.

#include <new>

#include "maker/libs/rav_export.h"
#include "maker/rav_engines.h"

RAV_EXPORT int32_t RavNewMimeEngine(IRavEngine** out) {
    if (!out) return RAVERR_BAD_ARGUMENT;
    *out = new (std::nothrow) rav::CMimeEngine;
    return *out ? 0 : RAVERR_NO_MEMORY;
}

RAV_EXPORT int32_t RavDeleteMimeEngine(IRavEngine* engine) {
    delete engine;
    return 0;
}
