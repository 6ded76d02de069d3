// Raw protocol bytes for tests: see Frames.h.
#include "support/Frames.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

#include "common/Protocol.h"

namespace testsupport {

Bytes handshakeBytes() {
    return Bytes(kHandshake, kHandshake + kHandshakeLength);
}

Bytes handshakeReplyBytes() {
    return Bytes(kHandshakeReply, kHandshakeReply + kHandshakeReplyLength);
}

void putInt(Bytes* b, int32_t v) {
    uint8_t raw[4];
    std::memcpy(raw, &v, 4);
    b->insert(b->end(), raw, raw + 4);
}

Bytes requestHeader(uint8_t code, int32_t flags) {
    Bytes b = {0, 0, 0, 0, code};
    putInt(&b, flags);
    return b;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int32_t intAt(const Bytes& bytes, size_t at) {
    int32_t v = 0;
    if (bytes.size() >= at + 4) {
        std::memcpy(&v, bytes.data() + at, 4);
    }
    return v;
}

Bytes readUpTo(int fd, size_t n, int timeoutMs) {
    Bytes got;
    uint8_t buffer[1024];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
            break;
        }
        ssize_t r = recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + r);
    }
    return got;
}

}  // namespace testsupport
