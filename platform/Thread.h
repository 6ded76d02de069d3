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

// Like threadStartDetached, for short-lived threads that many are made of:
// the function may run on a thread that has run another such function before
// (with the same stackBytes), and the thread may wait a while after fn returns
// to run the next one, so that a stream of them does not pay a thread creation
// each. A function that leaves per-thread state behind (an association with an
// outside party that could not be ended, say) calls threadRetire before it
// returns. Where the platform keeps no such threads, this is
// threadStartDetached.
[[nodiscard]] int32_t threadStartReusable(ThreadFunction fn, void* argument, size_t stackBytes = 0) noexcept;

// The calling thread, started by threadStartReusable, ends when its function
// returns instead of running another.
void threadRetire() noexcept;

// A number that identifies the calling thread while it lives (never 0).
[[nodiscard]] uint64_t threadCurrentId() noexcept;

}  // namespace platform
