// Detached threads (the runtime's _beginthread) and the calling thread's id.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using ThreadFunction = void (*)(void* argument);

// Starts a detached thread running fn(argument). stackBytes 0 means the
// platform's default. Returns 0 when the thread runs, otherwise the system's
// error number (the thread does not exist and fn will not run).
[[nodiscard]] int32_t threadStartDetached(ThreadFunction fn, void* argument, size_t stackBytes = 0) noexcept;

// A number that identifies the calling thread while it lives (never 0).
[[nodiscard]] uint64_t threadCurrentId() noexcept;

}  // namespace platform
