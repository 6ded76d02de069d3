// The running executable's path: GetModuleFileNameA; and the standard streams.
#include "platform/Process.h"

#include <windows.h>

namespace platform {

size_t executablePath(char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = '\0';
    DWORD capacity = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD length = GetModuleFileNameA(nullptr, buffer, capacity);
    if (length == 0) {
        return 0;
    }
    if (length >= capacity) {
        // Cut to the buffer: a cut path would name another file.
        buffer[0] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return length;
}

void processProtectStandardStreams() noexcept {
    // Nothing to do: Windows has no SIGPIPE, a write to a closed standard
    // handle fails quietly, and no socket takes the number of a standard handle.
}

}  // namespace platform
