// The per-connection record and the wire primitives. Every 32-bit integer on
// the wire is little-endian two's complement, the machine's own order.
#pragma once

#include <cstdint>

#include "common/Xid.h"
#include "platform/Socket.h"

constexpr uint32_t kReplyBufferSize = 1000;

struct ClientConnection {
    platform::Socket socket = platform::kInvalidSocket;  // the accepted, connected socket
    uint8_t replyBuffer[kReplyBufferSize];               // reply being assembled; bytes 0..7 are the header
    uint32_t replyLength = 8;                            // bytes of replyBuffer in use, header included
    XID xid;                                             // XID of the current request
    int32_t flags = 0;                                   // XA flags word of the current request
};

// A new record, or nullptr when it cannot be allocated; connectionFree releases it.
[[nodiscard]] ClientConnection* connectionAllocate() noexcept;
void connectionFree(ClientConnection* connection) noexcept;
// Records allocated and not yet freed: the connections open at this moment.
[[nodiscard]] int32_t connectionsOpen() noexcept;

// One receive of 1 byte: 0, or -1 with *out = 0xFF.
int32_t socketReadByte(ClientConnection* c, uint8_t* out) noexcept;
// One receive of 4 bytes: 0, or -1 with *out = -1.
int32_t socketReadInt(ClientConnection* c, int32_t* out) noexcept;
// The same receive for the first field of a frame: 0, -1 with *out = -1, or
// kReadIdle (*out = -1) when the receive time-out passed with nothing received.
constexpr int32_t kReadIdle = 1;
int32_t socketReadFirstInt(ClientConnection* c, int32_t* out) noexcept;
// One receive of up to n bytes: the receive's own result.
int32_t socketReadBytes(ClientConnection* c, void* buffer, int32_t n) noexcept;
// Waits for exactly n bytes (several receives): 0, or -1 when the peer closed or failed first.
int32_t socketReadAll(ClientConnection* c, void* buffer, int32_t n) noexcept;
// One send of n bytes, bypassing replyBuffer: the send's result.
int32_t socketSendBytes(ClientConnection* c, const void* bytes, int32_t n) noexcept;
// Appends a 32-bit value to the reply (dropped if it would not fit the buffer).
void socketWriteInt(ClientConnection* c, int32_t value) noexcept;
// Appends a length-prefixed array (-1 alone for a null pointer); an array that
// does not fit (replyLength + n >= 1000 after the length word, so 987 bytes at
// most behind the header) is reported as "Buffer overflow in socketWriteBytes"
// with the length that was needed and dropped, its length word staying. Not
// noexcept: a fault while copying the caller's bytes reaches the caller's guard.
void socketWriteBytes(ClientConnection* c, const void* bytes, uint32_t n);
// Fills the 8-byte header with length and result and sends the reply in one send.
void socketSendReply(ClientConnection* c, int32_t result) noexcept;
// Bytes that can be read without blocking; 0 when the query fails.
uint32_t socketAvailable(ClientConnection* c) noexcept;
// Discards the input that has already arrived, without waiting, in receives
// of at most 1000 bytes.
void socketSkipInput(ClientConnection* c) noexcept;
// Receive time-out in ms (0 = none): 0 on success.
int32_t socketSetTimeout(ClientConnection* c, uint32_t milliseconds) noexcept;
// Shuts the socket down both ways and closes it.
void socketClose(ClientConnection* c) noexcept;
