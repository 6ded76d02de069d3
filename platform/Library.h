// Run-time library loading (LoadLibraryA, GetProcAddress, FreeLibrary).
#pragma once

namespace platform {

using LibraryHandle = void*;

// The coordinator's XA client library, by the bare name the loader searches for.
#if defined(_WIN32)
inline constexpr const char* kDtcProxyLibrary = "MSDTCPRX.DLL";
#else
inline constexpr const char* kDtcProxyLibrary = "libmsdtcprx.so";
#endif

// Loads a shared library by bare name through the normal search path; nullptr on failure.
[[nodiscard]] LibraryHandle libraryLoad(const char* name) noexcept;
// The address of an exported symbol, or nullptr.
[[nodiscard]] void* librarySymbol(LibraryHandle library, const char* name) noexcept;
// Unloads; a null handle fails quietly (false).
bool libraryFree(LibraryHandle library) noexcept;

}  // namespace platform
