// Plain TCP clients on loopback for tests that need the other end of a socket.
//
// Usage:
//   int fd = testsupport::connectLoopback(port);   // -1 on failure
//   testsupport::sendBytes(fd, "abc", 3);
//   testsupport::closeDescriptor(fd);
#pragma once

#include <cstddef>
#include <cstdint>

namespace testsupport {

// A blocking TCP connection to 127.0.0.1:port with TCP_NODELAY (each write
// leaves at once, as clients of the service must write), or -1.
int connectLoopback(uint16_t port);
// True when the peer closed the connection within timeoutMs without sending
// anything more (end of stream, or a reset).
bool closedSilently(int fd, int timeoutMs = 5000);
// send(2) with MSG_NOSIGNAL; bytes sent or -1.
long sendBytes(int fd, const void* bytes, size_t n);
// One recv(2); bytes, 0 at end of stream, -1 on error.
long receiveBytes(int fd, void* buffer, size_t n);
// close(2).
void closeDescriptor(int fd);

}  // namespace testsupport
