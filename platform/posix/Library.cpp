// Run-time library loading (LoadLibraryA, GetProcAddress, FreeLibrary): dlopen.
#include "platform/Library.h"

#include <dlfcn.h>

namespace platform {

LibraryHandle libraryLoad(const char* name) noexcept {
    if (name == nullptr) {
        return nullptr;
    }
    // RTLD_NOW: like LoadLibrary, a library with unresolved imports fails to
    // load instead of failing later inside a call.
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* librarySymbol(LibraryHandle library, const char* name) noexcept {
    if (library == nullptr || name == nullptr) {
        return nullptr;
    }
    return dlsym(library, name);
}

bool libraryFree(LibraryHandle library) noexcept {
    if (library == nullptr) {
        return false;
    }
    return dlclose(library) == 0;
}

}  // namespace platform
