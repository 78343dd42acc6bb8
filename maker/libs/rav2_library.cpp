// libRav2.so: the decomposition component's walker and file objects.
//
//   RavNewRavel(&ravel)             a new walker
//   RavDeleteRavel(ravel)           deletes it (null is accepted)
//   RavNewFileObject(path, name, &object)  the top object for a file;
//                                   RAVERR_CANNOT_OPEN when it is unreadable
//   RavDeleteFileObject(object)     deletes it (null is accepted)
//
// Bad input: null out-pointers answer RAVERR_BAD_ARGUMENT.

#include <new>

#include "maker/libs/rav_export.h"
#include "maker/rav_object.h"
#include "maker/ravel.h"

RAV_EXPORT int32_t RavNewRavel(IRavel** out) {
    if (!out) return RAVERR_BAD_ARGUMENT;
    *out = new (std::nothrow) rav::CRavel;
    return *out ? 0 : RAVERR_NO_MEMORY;
}

RAV_EXPORT int32_t RavDeleteRavel(IRavel* ravel) {
    delete ravel;
    return 0;
}

RAV_EXPORT int32_t RavNewFileObject(const char* path, const char* name, IRavObject** out) {
    return rav::NewFileObject(path, name, out);
}

RAV_EXPORT int32_t RavDeleteFileObject(IRavObject* object) {
    delete object;
    return 0;
}
