// The running executable (GetModuleFileNameA), and what the process makes
// sure of before it starts any thread or opens any socket.
#pragma once

#include <cstddef>

namespace platform {

// The executable's full path (readlink /proc/self/exe), terminated. Returns its
// length, or 0 on failure (lastError set) or when it does not fit.
size_t executablePath(char* buffer, size_t size) noexcept;

// Makes writing a report harmless whatever standard output is: a write to a
// pipe whose reader has gone fails with an error instead of ending the process
// (SIGPIPE ignored), and each of the standard descriptors 0, 1 and 2 that is
// closed is opened onto the null device, so that no socket the process opens
// later can take its number and receive reports meant for standard output.
// Call first thing in main, before any thread or socket exists.
void processProtectStandardStreams() noexcept;

}  // namespace platform
