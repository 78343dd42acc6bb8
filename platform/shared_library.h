// Loading shared libraries (plug-ins) at run time, on the dynamic loader.
//
//   OpenSharedLibrary    load a library by path; the loader's text on failure
//   SharedLibrarySymbol  the address of an exported name
//   CloseSharedLibrary   drop the reference OpenSharedLibrary took
//   ModuleDirectory      the directory of the program or library holding code
//
// Libraries are loaded with every symbol bound at once (RTLD_NOW) and their
// symbols kept local (RTLD_LOCAL), so a plug-in's copy of a library never
// binds to another copy. Any thread may call these; the loader serialises
// them.
#pragma once

#include <string>

namespace platform {

// The handle of the library at path, or null with the loader's text in
// *error (when error is not null). A null or empty path fails.
void* OpenSharedLibrary(const char* path, std::string* error);

// The address of the exported name, or null when the library does not
// export it (or handle or name is null).
void* SharedLibrarySymbol(void* handle, const char* name);

// Releases a handle of OpenSharedLibrary; a null handle is ignored. The
// library is unloaded when its last handle goes.
void CloseSharedLibrary(void* handle);

// The directory (absolute, no trailing '/') of the loaded object that holds
// address: the running program or a shared library. Code linked into
// several deliverables finds the libraries installed beside it this way,
// whichever of them it runs in. Empty when the loader knows no object there.
std::string ModuleDirectory(const void* address);

}  // namespace platform
