// Error numbers and texts (GetLastError, SetLastError, FormatMessageA): errno
// and strerror_r.
#include "platform/Error.h"

#include <cerrno>
#include <cstring>

namespace platform {

int32_t lastError() noexcept {
    return errno;
}

void setLastError(int32_t code) noexcept {
    errno = code;
}

size_t errorText(int32_t code, char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    buffer[0] = '\0';
    // glibc makes up "Unknown error N" for numbers it does not know; the
    // system has no text for them, as FormatMessage has none.
    if (strerrorname_np(code) == nullptr) {
        return 0;
    }
    char scratch[512];
    const char* text = strerror_r(code, scratch, sizeof scratch);
    if (text == nullptr) {
        return 0;
    }
    size_t length = strlen(text);
    if (length >= size) {
        length = size - 1;
    }
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}

size_t socketErrorText(int32_t code, char* buffer, size_t size) noexcept {
    return errorText(code, buffer, size);
}

}  // namespace platform
