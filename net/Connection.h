// The per-connection record and the wire primitives. Every 32-bit integer on
// the wire is little-endian two's complement, the machine's own order.
#pragma once

#include <cstdint>

#include "common/Protocol.h"
#include "common/Xid.h"
#include "platform/Socket.h"
#include "platform/Tls.h"

// Bytes one receive may take from the peer at a time: a whole request and more.
constexpr uint32_t kInputBufferSize = 1024;

struct ClientConnection {
    platform::Socket socket = platform::kInvalidSocket;  // the accepted, connected socket
    uint8_t replyBuffer[kReplyBufferSize];               // reply being assembled; bytes 0..7 are the header
    uint32_t replyLength = 8;                            // bytes of replyBuffer in use, header included
    uint8_t input[kInputBufferSize];                     // bytes received, not yet taken by a read
    uint32_t inputAt = 0;                                // first byte of input not yet taken
    uint32_t inputEnd = 0;                               // end of the bytes received into input
    bool inputMayWait = true;                            // the socket may hold bytes no receive has seen:
                                                         // none made yet, or the last one filled input
    XID xid;                                             // XID of the current request
    int32_t flags = 0;                                   // XA flags word of the current request
    platform::TlsSession* tls = nullptr;                 // the TLS session, null in plaintext (the default)
    char peerName[platform::kTlsMaxNameLength + 1] = {}; // client certificate name admitted under; empty without
};

// A new record, or nullptr when it cannot be allocated; connectionFree releases it.
[[nodiscard]] ClientConnection* connectionAllocate() noexcept;
void connectionFree(ClientConnection* connection) noexcept;
// Records allocated and not yet freed: the connections open at this moment.
[[nodiscard]] int32_t connectionsOpen() noexcept;

// The reads take their bytes from what the record has received and not yet
// handed out; each behaves as one receive of its size would. When nothing is
// held the read makes one receive of as much as has arrived (up to
// kInputBufferSize), so a whole request costs one receive; when part of a
// field is held, it adds what has arrived since, without waiting.
//
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
// Bytes that can be read without blocking (held and waiting in the socket);
// what is held alone when the socket query fails.
uint32_t socketAvailable(ClientConnection* c) noexcept;
// Discards the input that has already arrived, without waiting: what the
// record holds, and when the last receive filled the record (more may have
// been waiting), what the socket holds, in receives of at most 1000 bytes.
void socketSkipInput(ClientConnection* c) noexcept;
// Receive time-out in ms (0 = none): 0 on success.
int32_t socketSetTimeout(ClientConnection* c, uint32_t milliseconds) noexcept;
// Shuts the socket down both ways and closes it (and frees a TLS session).
void socketClose(ClientConnection* c) noexcept;
