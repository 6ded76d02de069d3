// Run-time library loading: LoadLibraryA, GetProcAddress, FreeLibrary.
#include "platform/Library.h"

#include <cstring>

#include <windows.h>

namespace platform {

LibraryHandle libraryLoad(const char* name) noexcept {
    if (name == nullptr) {
        return nullptr;
    }
    // No error box for a DLL that is missing or broken: the caller reports it.
    UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(name);
    DWORD error = GetLastError();
    SetErrorMode(previous);
    SetLastError(error);
    return reinterpret_cast<LibraryHandle>(module);
}

void* librarySymbol(LibraryHandle library, const char* name) noexcept {
    if (library == nullptr || name == nullptr) {
        return nullptr;
    }
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
    // A function's address as a plain pointer (the same size on Windows).
    void* plain = nullptr;
    static_assert(sizeof plain == sizeof address);
    std::memcpy(&plain, &address, sizeof plain);
    return plain;
}

bool libraryFree(LibraryHandle library) noexcept {
    if (library == nullptr) {
        return false;
    }
    return FreeLibrary(static_cast<HMODULE>(library)) != 0;
}

}  // namespace platform
