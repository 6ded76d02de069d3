// Inside the POSIX platform layer only: lets a facility built over sockets
// (TLS) leave its error where socketLastError finds it.
#pragma once

#include <cstdint>

namespace platform {

// Sets the calling thread's socket error (what socketLastError answers).
void socketSetLastError(int32_t error) noexcept;

}  // namespace platform
