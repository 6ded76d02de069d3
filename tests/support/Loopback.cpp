// Plain TCP clients on loopback for tests.
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

int connectLoopback(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool closedSilently(int fd, int timeoutMs) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) != 1) {
        return false;
    }
    unsigned char byte = 0;
    return recv(fd, &byte, 1, 0) <= 0;
}

long sendBytes(int fd, const void* bytes, size_t n) {
    return send(fd, bytes, n, MSG_NOSIGNAL);
}

long receiveBytes(int fd, void* buffer, size_t n) {
    return recv(fd, buffer, n, 0);
}

void closeDescriptor(int fd) {
    close(fd);
}

}  // namespace testsupport
