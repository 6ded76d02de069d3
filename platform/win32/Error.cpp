// Error numbers and texts: GetLastError, SetLastError and FormatMessageA.
#include "platform/Error.h"

#include <windows.h>

namespace platform {

int32_t lastError() noexcept {
    return static_cast<int32_t>(GetLastError());
}

void setLastError(int32_t code) noexcept {
    SetLastError(static_cast<DWORD>(code));
}

size_t errorText(int32_t code, char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    buffer[0] = '\0';
    // The system's own text, without inserts (a text with %1 stays as it is).
    char text[1024];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    // System texts end in a line end (and some in a blank before it).
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        --length;
    }
    if (length == 0) {
        return 0;
    }
    size_t n = length < size ? length : size - 1;
    CopyMemory(buffer, text, n);
    buffer[n] = '\0';
    return n;
}

size_t socketErrorText(int32_t code, char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    buffer[0] = '\0';
    // The width mask takes the line breaks out of the system's text: each line
    // end becomes a blank, the last one too. The language is the user's default.
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                                  static_cast<DWORD>(size < 0xFFFFFFFFu ? size : 0xFFFFFFFFu), nullptr);
    if (length == 0) {
        buffer[0] = '\0';
    }
    return length;
}

}  // namespace platform
