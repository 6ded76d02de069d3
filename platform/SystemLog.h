// The system log (the Windows event log): the local syslog socket, one ident
// for the process.
#pragma once

#include <cstdint>

namespace platform {

enum class LogLevel { Error, Warning, Information };

// Opens the log once for the process with the given ident (kept for its life).
void systemLogOpen(const char* ident) noexcept;

// Writes one entry. Never blocks and never fails visibly: a missing log daemon,
// or one that is alive but not taking entries (its queue full), drops the
// entry and counts it. When entries were dropped, the next entry that gets
// through is followed by a warning that says how many were lost.
void systemLogWrite(LogLevel level, const char* text) noexcept;

// Entries dropped since the process started.
[[nodiscard]] uint64_t systemLogDropped() noexcept;

}  // namespace platform
