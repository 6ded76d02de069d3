// The system log (the Windows event log): syslog(3) with one ident for the process.
#pragma once

namespace platform {

enum class LogLevel { Error, Warning, Information };

// Opens the log once for the process with the given ident (kept for its life).
void systemLogOpen(const char* ident) noexcept;
// Writes one entry; a missing log daemon drops it silently.
void systemLogWrite(LogLevel level, const char* text) noexcept;

}  // namespace platform
