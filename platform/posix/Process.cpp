// The running executable's path (GetModuleFileNameA): /proc/self/exe; and the
// standard descriptors and SIGPIPE made safe for reports.
#include "platform/Process.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
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

void processProtectStandardStreams() noexcept {
    (void)std::signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open takes the lowest free number, which is fd: the lower ones are open.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::close(opened);
        }
    }
}

}  // namespace platform
