// libRav2<format>.so: one format engine of maker/formats behind IRavEngine.
// Built once per format with RAV_WORD (the entry-point word), RAV_FACTORY,
// RAV_FORMAT (the engine's format name) and RAV_TYPE (its object type);
// RAV_NO_DELETE leaves out the delete function (the TNEF library, whose
// engines RavDeleteRTFEngine deletes).
//
//   RavNew<RAV_WORD>Engine(&engine)      a new engine
//   RavDelete<RAV_WORD>Engine(engine)    deletes any engine of this component
//
// Bad input: a null out-pointer answers RAVERR_BAD_ARGUMENT.

#include <new>

#include "maker/libs/rav_export.h"
#include "maker/rav_engines.h"

#define RAV_JOIN3(a, b, c) a##b##c
#define RAV_NAME(a, b, c) RAV_JOIN3(a, b, c)

RAV_EXPORT int32_t RAV_NAME(RavNew, RAV_WORD, Engine)(IRavEngine** out) {
    if (!out) return RAVERR_BAD_ARGUMENT;
    *out = nullptr;
    try {
        std::unique_ptr<maker::FormatEngine> engine = maker::RAV_FACTORY();
        if (!engine) return RAVERR_NOT_AVAILABLE;
        *out = new rav::CFormatEngineAdapter(std::move(engine), RAV_FORMAT, RAV_TYPE);
    } catch (const std::bad_alloc&) {
        return RAVERR_NO_MEMORY;
    }
    return 0;
}

#ifndef RAV_NO_DELETE
RAV_EXPORT int32_t RAV_NAME(RavDelete, RAV_WORD, Engine)(IRavEngine* engine) {
    delete engine;
    return 0;
}
#endif
