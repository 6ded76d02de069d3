// Diagnostic reporting: every text goes to standard output (one locked print
// per line) and to the system log under the ident "Morvalen" at its level; and
// the two error-text helpers.
#pragma once

#include <cstdint>

// Event types, numbered as the Windows event log numbers them.
constexpr uint16_t EVENTLOG_ERROR_TYPE = 1;
constexpr uint16_t EVENTLOG_WARNING_TYPE = 2;
constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// Prints "text\n" and logs the text with the given type. Never fails visibly.
void reportEvent(const char* text, uint16_t type) noexcept;
void reportInfo(const char* text) noexcept;
void reportWarning(const char* text) noexcept;
void reportError(const char* text) noexcept;
// Formats "%s : %d" into a 1024-byte buffer (cut if longer) and reports it as an error.
void reportErrorCode(const char* text, int32_t number) noexcept;

// Fills buffer with the system's text for the calling thread's last error,
// followed by " (0x<hex code>)", or with the empty text when there is no text
// or size < text length + 14. Returns buffer.
char* lastErrorText(char* buffer, int32_t size) noexcept;

// The system's text for a socket error number, in one process-wide 1024-byte
// buffer (used by the listener's thread only); a stale text when there is none.
const char* winsockErrorText(int32_t code) noexcept;
