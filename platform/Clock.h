// Time: the 32-bit millisecond tick count (GetTickCount) and a plain pause (Sleep).
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds of CLOCK_MONOTONIC truncated to 32 bits, so that it wraps after
// about 49.7 days exactly as GetTickCount does.
[[nodiscard]] uint32_t tickCount() noexcept;

// Tests substitute the clock; nullptr restores the real one.
using TickSource = uint32_t (*)();
void tickCountSubstitute(TickSource source) noexcept;
// The port's own count, which tickCount returns unless a test substituted it.
[[nodiscard]] uint32_t systemTickCount() noexcept;

// Pauses the calling thread for at least the given milliseconds.
void sleepMs(uint32_t milliseconds) noexcept;

}  // namespace platform
