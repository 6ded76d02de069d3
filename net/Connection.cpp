// The per-connection record and the wire primitives.
//
// A ClientConnection belongs to one thread at a time: the listener until the
// connection thread starts, then that thread alone. The primitives take no lock.
//
// Receives: every read primitive but socketReadAll makes exactly one receive
// call. A 4-byte field that arrives split over two segments is a failure like a
// closed connection; there is deliberately no second call, and peers rely on
// that shape (clients write each request in one send). On failure the caller's
// variable gets a sentinel (0xFF, -1) so that code which goes on regardless sees
// a defined value.
//
// Replies: assembled in the record's fixed 1000-byte buffer and sent in one
// send, so serving a request allocates nothing and a reply is one TCP write.
#include "net/Connection.h"

#include <atomic>
#include <cstring>
#include <new>

#include "report/Report.h"

namespace {

std::atomic<int32_t> openRecords{0};  // records allocated and not yet freed

}  // namespace

ClientConnection* connectionAllocate() noexcept {
    auto* c = new (std::nothrow) ClientConnection;
    if (c != nullptr) {
        openRecords.fetch_add(1, std::memory_order_relaxed);
    }
    return c;
}

void connectionFree(ClientConnection* connection) noexcept {
    if (connection != nullptr) {
        openRecords.fetch_sub(1, std::memory_order_relaxed);
    }
    delete connection;
}

int32_t connectionsOpen() noexcept { return openRecords.load(std::memory_order_relaxed); }

int32_t socketReadByte(ClientConnection* c, uint8_t* out) noexcept {
    uint8_t byte = 0;
    if (platform::socketReceive(c->socket, &byte, 1) != 1) {
        *out = 0xFF;
        return -1;
    }
    *out = byte;
    return 0;
}

int32_t socketReadInt(ClientConnection* c, int32_t* out) noexcept {
    uint8_t bytes[4];
    if (platform::socketReceive(c->socket, bytes, 4) != 4) {
        *out = -1;
        return -1;
    }
    std::memcpy(out, bytes, 4);  // little-endian, the machine's own order
    return 0;
}

int32_t socketReadFirstInt(ClientConnection* c, int32_t* out) noexcept {
    uint8_t bytes[4];
    int32_t n = platform::socketReceive(c->socket, bytes, 4);
    if (n == 4) {
        std::memcpy(out, bytes, 4);
        return 0;
    }
    *out = -1;
    // Only a receive that failed with nothing received can be the time-out;
    // part of the field is a failure like any other.
    if (n < 0 && platform::socketErrorIsTimeout(platform::socketLastError())) {
        return kReadIdle;
    }
    return -1;
}

int32_t socketReadBytes(ClientConnection* c, void* buffer, int32_t n) noexcept {
    return platform::socketReceive(c->socket, buffer, n);
}

int32_t socketReadAll(ClientConnection* c, void* buffer, int32_t n) noexcept {
    auto* at = static_cast<uint8_t*>(buffer);
    int32_t got = 0;
    while (got < n) {
        int32_t r = platform::socketReceive(c->socket, at + got, n - got);
        if (r <= 0) {
            return -1;
        }
        got += r;
    }
    return 0;
}

int32_t socketSendBytes(ClientConnection* c, const void* bytes, int32_t n) noexcept {
    return platform::socketSend(c->socket, bytes, n);
}

void socketWriteInt(ClientConnection* c, int32_t value) noexcept {
    // Callers keep every reply within the buffer (header, then at most one
    // integer or one array). Should one ever not, the value is dropped rather
    // than written past the end of the record.
    if (c->replyLength > kReplyBufferSize - 4) {
        return;
    }
    std::memcpy(c->replyBuffer + c->replyLength, &value, 4);
    c->replyLength += 4;
}

void socketWriteBytes(ClientConnection* c, const void* bytes, uint32_t n) {
    if (bytes == nullptr) {
        socketWriteInt(c, -1);  // a missing array is the single length word -1
        return;
    }
    socketWriteInt(c, static_cast<int32_t>(n));
    // Formed in 64 bits so that no n wraps around: any n of 1000 or more is refused.
    // With the header and the length word in front, 987 bytes is the largest array.
    uint64_t needed = uint64_t{c->replyLength} + n;
    if (needed >= kReplyBufferSize) {
        // The length word stays; the array is dropped, the result code is not changed.
        int32_t shown = needed > INT32_MAX ? INT32_MAX : static_cast<int32_t>(needed);
        reportErrorCode("Buffer overflow in socketWriteBytes", shown);
        return;
    }
    std::memcpy(c->replyBuffer + c->replyLength, bytes, n);
    c->replyLength += n;
}

void socketSendReply(ClientConnection* c, int32_t result) noexcept {
    uint32_t n = c->replyLength;
    c->replyLength = 0;
    socketWriteInt(c, static_cast<int32_t>(n));
    socketWriteInt(c, result);
    // One send; its result is not examined: a peer that has gone is found by the
    // next read.
    (void)platform::socketSend(c->socket, c->replyBuffer, static_cast<int32_t>(n));
}

uint32_t socketAvailable(ClientConnection* c) noexcept {
    uint32_t count = 0;
    if (platform::socketBytesAvailable(c->socket, &count) != 0) {
        return 0;
    }
    return count;
}

void socketSkipInput(ClientConnection* c) noexcept {
    // Discards only what has already arrived when it looks; it never waits, so
    // bytes that arrive afterwards are read as the start of the next request.
    uint8_t scratch[kReplyBufferSize];
    uint32_t n = socketAvailable(c);
    while (n > 0) {
        uint32_t chunk = n < kReplyBufferSize ? n : kReplyBufferSize;
        // A receive that yields nothing although bytes were announced would
        // otherwise spin here for ever.
        if (socketReadBytes(c, scratch, static_cast<int32_t>(chunk)) <= 0) {
            return;
        }
        n = socketAvailable(c);
    }
}

int32_t socketSetTimeout(ClientConnection* c, uint32_t milliseconds) noexcept {
    return platform::socketSetReceiveTimeout(c->socket, milliseconds);
}

void socketClose(ClientConnection* c) noexcept {
    (void)platform::socketShutdownBoth(c->socket);
    (void)platform::socketCloseHandle(c->socket);
    c->socket = platform::kInvalidSocket;
}
