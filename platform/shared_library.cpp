// Run-time loading of shared libraries on dlopen.
//
//   OpenSharedLibrary    dlopen (RTLD_NOW | RTLD_LOCAL), dlerror's text on failure
//   SharedLibrarySymbol  dlsym
//   CloseSharedLibrary   dlclose
//   ModuleDirectory      dladdr1's link map: the object's path, or
//                        /proc/self/exe for the program itself
//
// Bad input: null or empty arguments fail without calling the loader.
#include "platform/shared_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

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

std::string ModuleDirectory(const void* address) {
    Dl_info info;
    struct link_map* map = nullptr;
    if (!address || dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        !map)
        return std::string();
    // The program's own entry has an empty name (dladdr would give argv[0],
    // which may be relative or a bare name found on PATH).
    char path[PATH_MAX];
    if (!map->l_name || !*map->l_name) {
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0)
            return std::string();
        path[n] = '\0';
    } else if (!realpath(map->l_name, path)) {
        return std::string();
    }
    std::string directory(path);
    size_t slash = directory.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    directory.resize(slash == 0 ? 1 : slash);
    return directory;
}

}  // namespace platform
