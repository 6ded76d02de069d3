// Raw bytes of the service's wire protocol for tests that talk to it below the
// client library: the handshake, request headers, and bounded reads.
//
// Usage:
//   int fd = testsupport::connectLoopback(port);
//   Bytes frame = testsupport::concat(testsupport::requestHeader(kRequestQuery), Bytes{0xFF});
//   testsupport::sendBytes(fd, testsupport::handshakeBytes());
//   EXPECT_EQ(testsupport::readUpTo(fd, 8), testsupport::handshakeReplyBytes());
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// The 16 bytes a client sends first, and the 8 the service answers.
Bytes handshakeBytes();
Bytes handshakeReplyBytes();
// Appends v as 4 little-endian bytes.
void putInt(Bytes* b, int32_t v);
// The 9-byte request header: the reserved word (0), the request code and the
// flags word, before the XID field.
Bytes requestHeader(uint8_t code, int32_t flags = 0);
// a followed by b.
Bytes concat(Bytes a, const Bytes& b);
// The 32-bit little-endian value at offset at (the reply header's result at 4).
int32_t intAt(const Bytes& bytes, size_t at);
// Reads until n bytes arrived, the peer closed, or timeoutMs passed.
Bytes readUpTo(int fd, size_t n, int timeoutMs = 5000);

}  // namespace testsupport
