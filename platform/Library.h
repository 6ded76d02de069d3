// Run-time library loading (LoadLibraryA, GetProcAddress, FreeLibrary).
#pragma once

namespace platform {

using LibraryHandle = void*;

// Loads a shared library by bare name through the normal search path; nullptr on failure.
[[nodiscard]] LibraryHandle libraryLoad(const char* name) noexcept;
// The address of an exported symbol, or nullptr.
[[nodiscard]] void* librarySymbol(LibraryHandle library, const char* name) noexcept;
// Unloads; a null handle fails quietly (false).
bool libraryFree(LibraryHandle library) noexcept;

}  // namespace platform
