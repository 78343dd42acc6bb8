// libRav2SS.so and libRav2AMG.so: engines that are named but whose formats
// are described nowhere, so none is provided. Built once per name with
// RAV_ENGINE set to SS or AMG.
//
//   RavNew<RAV_ENGINE>Engine(&engine)   always RAVERR_NOT_AVAILABLE, *engine null
//   RavDelete<RAV_ENGINE>Engine(engine) deletes any engine (null accepted)

#include "maker/libs/rav_export.h"
#include "maker/rav_interfaces.h"

#define RAV_JOIN3(a, b, c) a##b##c
#define RAV_NAME(a, b, c) RAV_JOIN3(a, b, c)

RAV_EXPORT int32_t RAV_NAME(RavNew, RAV_ENGINE, Engine)(IRavEngine** out) {
    if (out) *out = nullptr;
    return RAVERR_NOT_AVAILABLE;
}

RAV_EXPORT int32_t RAV_NAME(RavDelete, RAV_ENGINE, Engine)(IRavEngine* engine) {
    delete engine;
    return 0;
}
