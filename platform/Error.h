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

}  // namespace platform
