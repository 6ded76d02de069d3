// The wire protocol's fixed values, in one place for the service (net/, xa/)
// and the C++ client (clients/cpp). The frame layouts are described where they
// are read: the request frame in net/ConnectionLoop.cpp, the reply in
// net/Connection.h. Result codes are in common/Codes.h.
#pragma once

#include <cstdint>

constexpr uint16_t kServicePort = 1439;  // the listener's TCP port

// The 16 bytes a client sends first (without the text's terminator; none of
// them is zero), and the 8 bytes the service answers when it admits it. The
// listener does not compare against this text: it assembles its own copy
// before every comparison (net/Listener.cpp, which checks the two agree).
constexpr char kHandshake[] = "Morvalen/XA/2.08";
constexpr int32_t kHandshakeLength = 16;
constexpr char kHandshakeReply[] = "Morvalen";
constexpr int32_t kHandshakeReplyLength = 8;
static_assert(sizeof kHandshake == kHandshakeLength + 1 && sizeof kHandshakeReply == kHandshakeReplyLength + 1);

// Replies: an 8-byte header (total length, result code) and a payload; the
// service never sends more than kReplyBufferSize bytes in one reply.
constexpr uint32_t kReplyBufferSize = 1000;
constexpr uint32_t kReplyHeaderSize = 8;

// Request codes, the dispatch table's indices (the byte at offset 4 of a request).
enum RequestCode : uint8_t {
    kRequestStart = 0,
    kRequestEnd = 1,
    kRequestForget = 2,
    kRequestRecover = 3,
    kRequestPrepare = 4,
    kRequestCommit = 5,
    kRequestRollback = 6,
    kRequestQuery = 7,
};

// XIDs listed by one recover reply at the most.
constexpr int32_t kRecoverBatch = 7;
