// The per-connection record and the wire primitives.
//
// A ClientConnection belongs to one thread at a time: the listener until the
// connection thread starts, then that thread alone. The primitives take no lock.
//
// Receives: every read primitive but socketReadAll answers as exactly one
// receive call of its size would. A 4-byte field that arrives split over two
// segments is a failure like a closed connection; there is deliberately no
// waiting for the rest, and peers rely on that shape (clients write each
// request in one send). On failure the caller's variable gets a sentinel (0xFF,
// -1) so that code which goes on regardless sees a defined value, and the bytes
// of the field that did arrive are consumed, as that receive would have.
//
// The one receive is made into the record's input buffer and takes whatever
// has arrived, so the fields of a request sent in one write are then handed
// out without further system calls: a request costs one receive, its reply one
// send. A read that finds part of its field held adds only what the socket
// already holds (socketAvailable's count, so it never waits), which is what its
// own receive would have found.
//
// TLS (opt-in): with a session on the record every receive and send goes
// through it instead. A receive then yields at most one record's plaintext, so
// a field that a record cuts short fails exactly as a short receive does; the
// bytes waiting are those already decrypted. Without a session the primitives
// make the plain socket calls, behind one pointer test.
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

// The one receive and the one send of the primitives.
int32_t receiveOnce(ClientConnection* c, void* buffer, int32_t n) noexcept {
    if (c->tls != nullptr) return platform::tlsReceive(c->tls, buffer, n);
    return platform::socketReceive(c->socket, buffer, n);
}

int32_t sendOnce(ClientConnection* c, const void* bytes, int32_t n) noexcept {
    if (c->tls != nullptr) return platform::tlsSend(c->tls, bytes, n);
    return platform::socketSend(c->socket, bytes, n);
}

uint32_t held(const ClientConnection* c) noexcept { return c->inputEnd - c->inputAt; }

// Bytes the socket (or the TLS session, decrypted) holds beyond the record's.
uint32_t waitingInSocket(ClientConnection* c) noexcept {
    if (c->tls != nullptr) return platform::tlsPending(c->tls);
    uint32_t count = 0;
    if (platform::socketBytesAvailable(c->socket, &count) != 0) {
        return 0;
    }
    return count;
}

// One receive into the free end of the input buffer, the bytes held moved to
// its front first; up to `limit` bytes (0: as many as fit). The receive's result.
int32_t receiveMore(ClientConnection* c, uint32_t limit = 0) noexcept {
    uint32_t keep = held(c);
    if (c->inputAt != 0) {
        std::memmove(c->input, c->input + c->inputAt, keep);
        c->inputAt = 0;
        c->inputEnd = keep;
    }
    uint32_t room = kInputBufferSize - keep;
    if (limit != 0 && limit < room) room = limit;
    if (room == 0) {
        return 0;  // full: a caller asked for more than the buffer holds, and gets what it holds
    }
    int32_t n = receiveOnce(c, c->input + keep, static_cast<int32_t>(room));
    if (n > 0) {
        c->inputEnd += static_cast<uint32_t>(n);
        c->inputMayWait = static_cast<uint32_t>(n) == room;
    }
    return n;
}

// Takes up to `want` bytes as one receive of `want` bytes would return them:
// with nothing held, after one receive (waiting, as that receive would); with
// part held, after adding what has already arrived. Returns the bytes taken,
// or the receive's own result (0 closed, -1 failed) when nothing was taken.
int32_t take(ClientConnection* c, void* out, uint32_t want) noexcept {
    if (held(c) == 0) {
        int32_t n = receiveMore(c);
        if (n <= 0) {
            return n;
        }
    } else if (held(c) < want) {
        uint32_t more = waitingInSocket(c);
        if (more > 0) {
            (void)receiveMore(c, more);
        }
    }
    uint32_t got = held(c) < want ? held(c) : want;
    std::memcpy(out, c->input + c->inputAt, got);
    c->inputAt += got;
    if (c->inputAt == c->inputEnd) {
        c->inputAt = 0;
        c->inputEnd = 0;
    }
    return static_cast<int32_t>(got);
}

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
    if (take(c, &byte, 1) != 1) {
        *out = 0xFF;
        return -1;
    }
    *out = byte;
    return 0;
}

int32_t socketReadInt(ClientConnection* c, int32_t* out) noexcept {
    uint8_t bytes[4];
    if (take(c, bytes, 4) != 4) {
        *out = -1;
        return -1;
    }
    std::memcpy(out, bytes, 4);  // little-endian, the machine's own order
    return 0;
}

int32_t socketReadFirstInt(ClientConnection* c, int32_t* out) noexcept {
    uint8_t bytes[4];
    int32_t n = take(c, bytes, 4);
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
    if (n <= 0) {
        return receiveOnce(c, buffer, n);  // the receive's own answer to a size it cannot take
    }
    return take(c, buffer, static_cast<uint32_t>(n));
}

int32_t socketReadAll(ClientConnection* c, void* buffer, int32_t n) noexcept {
    auto* at = static_cast<uint8_t*>(buffer);
    int32_t got = 0;
    while (got < n) {
        int32_t r = take(c, at + got, static_cast<uint32_t>(n - got));
        if (r <= 0) {
            return -1;
        }
        got += r;
    }
    return 0;
}

int32_t socketSendBytes(ClientConnection* c, const void* bytes, int32_t n) noexcept {
    return sendOnce(c, bytes, n);
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
    (void)sendOnce(c, c->replyBuffer, static_cast<int32_t>(n));
}

uint32_t socketAvailable(ClientConnection* c) noexcept { return held(c) + waitingInSocket(c); }

void socketSkipInput(ClientConnection* c) noexcept {
    // Discards only what has already arrived; it never waits, so bytes that
    // arrive afterwards are read as the start of the next request. What the
    // last receive took is all that had arrived then, unless it filled the
    // buffer (or none was made yet): only then is the socket asked for more.
    bool more = c->inputMayWait;
    c->inputAt = 0;
    c->inputEnd = 0;
    // A receive that yields nothing although bytes were announced ends the
    // drain; it would otherwise spin here for ever.
    while (more && waitingInSocket(c) > 0 && receiveMore(c, kReplyBufferSize) > 0) {
        c->inputAt = 0;
        c->inputEnd = 0;
    }
    c->inputMayWait = false;
}

int32_t socketSetTimeout(ClientConnection* c, uint32_t milliseconds) noexcept {
    return platform::socketSetReceiveTimeout(c->socket, milliseconds);
}

void socketClose(ClientConnection* c) noexcept {
    platform::tlsSessionFree(c->tls);
    c->tls = nullptr;
    (void)platform::socketShutdownBoth(c->socket);
    (void)platform::socketCloseHandle(c->socket);
    c->socket = platform::kInvalidSocket;
}
