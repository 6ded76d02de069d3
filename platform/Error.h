// Error numbers and texts (GetLastError, FormatMessageA): errno and strerror_r.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The calling thread's last system error number.
[[nodiscard]] int32_t lastError() noexcept;
void setLastError(int32_t code) noexcept;

// The system's text for an error number, without a line end, into buffer
// (always terminated). Returns the text's length, 0 when the system has none.
size_t errorText(int32_t code, char* buffer, size_t size) noexcept;

// The system's text for a socket error number as the listener's reports show
// it, into buffer (always terminated). Returns the text's length, 0 when the
// system has none. Windows: FormatMessageA with its width mask, which turns the
// text's line ends into blanks, so the text ends in a blank. Elsewhere the same
// text as errorText.
size_t socketErrorText(int32_t code, char* buffer, size_t size) noexcept;

}  // namespace platform
