// The running executable (GetModuleFileNameA).
#pragma once

#include <cstddef>

namespace platform {

// The executable's full path (readlink /proc/self/exe), terminated. Returns its
// length, or 0 on failure (lastError set) or when it does not fit.
size_t executablePath(char* buffer, size_t size) noexcept;

}  // namespace platform
