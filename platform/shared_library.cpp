// Run-time loading of shared libraries on dlopen.
//
//   OpenSharedLibrary    dlopen (RTLD_NOW | RTLD_LOCAL), dlerror's text on failure
//   SharedLibrarySymbol  dlsym
//   CloseSharedLibrary   dlclose
//
// Bad input: null or empty arguments fail without calling the loader.
#include "platform/shared_library.h"

#include <dlfcn.h>

namespace platform {

void* OpenSharedLibrary(const char* path, std::string* error) {
    if (!path || !*path) {
        if (error)
            *error = "no library path";
        return nullptr;
    }
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle && error) {
        const char* text = dlerror();
        *error = text ? text : "unknown loader error";
    }
    return handle;
}

void* SharedLibrarySymbol(void* handle, const char* name) {
    if (!handle || !name)
        return nullptr;
    return dlsym(handle, name);
}

void CloseSharedLibrary(void* handle) {
    if (handle)
        dlclose(handle);
}

}  // namespace platform
