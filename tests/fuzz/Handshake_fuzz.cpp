// Fuzz target: the handshake check of a new connection. The input arrives in
// one send on a Unix socket pair whose writer then shuts down; handshakeAccepted
// must accept exactly the inputs that begin with the 16 bytes of the value,
// take exactly 16 bytes (or what there was, when less arrived) and leave the
// rest for the connection loop.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/Listener.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "Handshake_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) {
        return 0;  // stays well inside the socket buffer, so one send takes it all
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        fail("socketpair");
    }
    if (size > 0 && ::send(fds[0], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        fail("input not written whole");
    }
    ::shutdown(fds[0], SHUT_WR);

    ClientConnection* c = connectionAllocate();
    if (c == nullptr) {
        fail("connectionAllocate");
    }
    c->socket = fds[1];
    bool accepted = handshakeAccepted(c);
    bool expected = size >= 16 && std::memcmp(data, "Morvalen/XA/2.08", 16) == 0;
    if (accepted != expected) {
        fail(accepted ? "accepted a wrong handshake" : "refused the right handshake");
    }
    // What is left for the connection loop (held by the record from the one
    // receive, or still in the socket) is exactly the input behind byte 16.
    size_t rest = size > 16 ? size - 16 : 0;
    if (socketAvailable(c) != rest) {
        fail("the handshake took more or less than its 16 bytes");
    }
    static uint8_t after[4096];
    if (rest > 0 && (socketReadAll(c, after, static_cast<int32_t>(rest)) != 0 || std::memcmp(after, data + 16, rest) != 0)) {
        fail("the bytes behind the handshake did not stay for the loop as they came");
    }
    socketClose(c);
    connectionFree(c);
    ::close(fds[0]);
    return 0;
}
