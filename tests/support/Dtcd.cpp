// Starting dtcd and waiting for its READY=1 notification: see Dtcd.h.
#include "support/Dtcd.h"

#include <chrono>
#include <cstddef>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {
namespace {

// A datagram socket bound to the abstract name ("@..."), or -1.
int bindAbstractDatagram(const std::string& name) {
    sockaddr_un address{};
    if (name.size() < 2 || name[0] != '@' || name.size() > sizeof address.sun_path) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data() + 1, name.size() - 1);
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the child has exited; it stays unreaped for its owner.
bool exited(int pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

bool dtcdStartReady(const std::string& dtcdSocket, int timeoutMs,
                    const std::function<int(const std::string& notifySocket)>& spawn) {
    std::string notifyName = dtcdSocket + "-notify";
    int notifyFd = bindAbstractDatagram(notifyName);
    if (notifyFd < 0) {
        return false;
    }
    int pid = spawn(notifyName);
    bool ready = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid > 0 && !ready && std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{notifyFd, POLLIN, 0};
        if (poll(&waiting, 1, 100) > 0) {
            char buffer[256];
            ssize_t n = recv(notifyFd, buffer, sizeof buffer, 0);
            ready = n > 0 && std::string(buffer, static_cast<size_t>(n)).find("READY=1") != std::string::npos;
        } else if (exited(pid)) {
            break;
        }
    }
    close(notifyFd);
    return ready;
}

}  // namespace testsupport
