// The running executable's path (GetModuleFileNameA): /proc/self/exe.
#include "platform/Process.h"

#include <cerrno>

#include <unistd.h>

namespace platform {

size_t executablePath(char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) {
        errno = EINVAL;
        return 0;
    }
    buffer[0] = '\0';
    ssize_t length = readlink("/proc/self/exe", buffer, size);
    if (length < 0) {
        return 0;
    }
    if (static_cast<size_t>(length) >= size) {
        // readlink cuts silently; a cut path would name another file.
        buffer[0] = '\0';
        errno = ENAMETOOLONG;
        return 0;
    }
    buffer[length] = '\0';
    return static_cast<size_t>(length);
}

}  // namespace platform
