// Service-manager status notifications (SetServiceStatus): the sd_notify
// datagram protocol through libsystemd, which gets the abstract-name address
// length right.
#include "platform/Notify.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

namespace platform {
namespace {

// Fills address from a NOTIFY_SOCKET value ("/path" or "@abstract").
// Returns the address length to use, or 0 for a value of any other form.
socklen_t notifyAddress(const char* value, sockaddr_un* address) {
    size_t length = strlen(value);
    if (length < 2 || length >= sizeof address->sun_path || (value[0] != '/' && value[0] != '@')) {
        return 0;
    }
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    memcpy(address->sun_path, value, length);
    if (value[0] == '@') {
        // An abstract name is exactly the bytes the length covers: the
        // leading NUL and the name, no trailing NUL.
        address->sun_path[0] = '\0';
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    }
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
}

}  // namespace

bool serviceManagerPresent() noexcept {
    const char* value = getenv("NOTIFY_SOCKET");
    if (value == nullptr) {
        return false;
    }
    // A notify socket inherited from some other service is not ours.
    const char* execPid = getenv("SYSTEMD_EXEC_PID");
    if (execPid != nullptr && *execPid != '\0' && strtol(execPid, nullptr, 10) != getpid()) {
        return false;
    }
    sockaddr_un address;
    socklen_t length = notifyAddress(value, &address);
    if (length == 0) {
        return false;
    }
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    bool reachable = connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    close(probe);
    return reachable;
}

int32_t serviceNotify(const char* state) noexcept {
    if (state == nullptr) {
        return -1;
    }
    return sd_notify(0, state);
}

}  // namespace platform
