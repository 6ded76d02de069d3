// The end of a service or console run (ExitProcess): the process ends without
// destroying its process-wide objects, because detached connection and branch
// threads may still be using them. Windows ends every other thread before it
// tears anything down; here nothing is torn down at all.
#pragma once

#include <cstdint>

namespace platform {

// Flushes standard output and ends the process with the given exit code.
// Static destructors and atexit handlers do not run. In a build with the leak
// sanitizer, the leak check runs first (and ends the process with its own code
// when it finds a leak).
[[noreturn]] void processEnd(int32_t code) noexcept;

}  // namespace platform
