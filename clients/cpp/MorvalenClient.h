// A small client of the Morvalen wire protocol (see docs/protocol.md).
//
// One MorvalenConnection is one TCP connection to the service. It serves one
// request at a time: send a request, read its reply, then the next. Every call
// returns a client status (kClientOk or a negative kClient* code) and never
// throws; the XA result of a request comes back in an out-value. Out-values
// are set on every path, failure included.
//
// A connection is not safe for use by two threads at once; use one per thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/Protocol.h"
#include "contract/xa.h"

namespace morvalen {

// Client status codes: what happened to the exchange itself, not the XA result.
constexpr int32_t kClientOk = 0;
constexpr int32_t kClientBadArgument = -1001;     // an argument cannot be sent (bad XID, null pointer)
constexpr int32_t kClientResolveFailed = -1002;   // the host name cannot be resolved
constexpr int32_t kClientConnectFailed = -1003;   // TCP connect failed or timed out
constexpr int32_t kClientHandshakeFailed = -1004; // the service did not answer "Morvalen"
constexpr int32_t kClientSendFailed = -1005;      // the request could not be written
constexpr int32_t kClientReceiveFailed = -1006;   // a receive failed
constexpr int32_t kClientTimedOut = -1007;        // no (whole) reply within the time-out
constexpr int32_t kClientClosed = -1008;          // the service closed the connection
constexpr int32_t kClientBadReply = -1009;        // the reply does not have the protocol's shape
constexpr int32_t kClientNotConnected = -1010;    // the connection is closed
constexpr int32_t kClientTlsFailed = -1011;       // TLS: a file, the server's certificate or the handshake failed

// The handshake, the request codes and the reply sizes are the protocol's
// own (common/Protocol.h); these are the client's.
constexpr uint16_t kDefaultPort = kServicePort;
constexpr const char* kDefaultHost = "127.0.0.1";
constexpr uint32_t kDefaultTimeoutMs = 30000;
constexpr int32_t kDefaultFormatId = 0x4D56;  // "MV"; any format identifier but -1 will do

constexpr uint32_t kMaxPayload = kReplyBufferSize - kReplyHeaderSize;  // reply bytes after the header
constexpr int32_t kMaxRecoverPerReply = kRecoverBatch;                 // XIDs listed by one recover reply
constexpr uint32_t kMaxRequest = 10 + 6 + XIDDATASIZE;                 // 144 bytes
constexpr size_t kMaxEndpointHost = 255;                               // a host of an endpoint list, in bytes
constexpr size_t kMaxEndpointText = kMaxEndpointHost + 9;              // "[host]:65535" and its terminator

struct MorvalenConnection {
    int fd = -1;                              // the connected socket, -1 when closed
    uint32_t timeoutMs = kDefaultTimeoutMs;   // per reply; 0 = wait for ever
    int32_t lastErrno = 0;                    // errno of the last failed system call
    void* tls = nullptr;                      // the TLS session (OpenSSL's SSL), null in plaintext
    char tlsError[256] = {};                  // why the last TLS step failed (kClientTlsFailed)
    char endpoint[kMaxEndpointText] = {};     // "host:port" connected to, or the last one tried when none was
    int32_t endpointIndex = -1;               // its place in the list given to clientConnect
    int32_t endpointCount = 0;                // the number of endpoints in that list
    int32_t firstEndpoint = 0;                // where the next clientConnect of a list of that length starts
};

// TLS towards a service that serves it (MORVALEN_TLS_CERTIFICATE). The
// server's certificate is always verified: it must chain to caFile and carry
// serverName (or, when that is null, the host given to clientConnect) as a DNS
// subject alternative name, or as an IP address when the name is one.
struct MorvalenTlsOptions {
    const char* caFile = nullptr;      // PEM: the CA the server's certificate must chain to (required)
    const char* certFile = nullptr;    // PEM: this client's certificate, for services that demand one
    const char* keyFile = nullptr;     // PEM: its key (with certFile)
    const char* serverName = nullptr;  // the name the server's certificate must carry; null: the host
};

struct MorvalenReply {
    int32_t length = 0;                 // the reply's length, its 8 header bytes included
    int32_t result = 0;                 // the request's result code
    uint32_t payloadLength = 0;         // length - 8
    uint8_t payload[kMaxPayload] = {};  // the payload bytes
};

// A start's transaction cookie: length -1 when the branch holds none.
struct MorvalenCookie {
    int32_t length = -1;
    uint8_t bytes[kMaxPayload] = {};
};

// The XIDs of one recover reply.
struct MorvalenRecoverList {
    int32_t count = 0;
    XID xids[kMaxRecoverPerReply] = {};
};

// Connects to host:port (host: a name or an IPv4/IPv6 address; nullptr means
// 127.0.0.1), sets TCP_NODELAY, sends the handshake in one write and checks the
// reply "Morvalen", each step within timeoutMs (0 = no limit). The time-out
// stays in the connection for later replies. On failure the connection is closed.
//
// host may also be a list of endpoints, "H[:P][,H[:P]]..." (an IPv6 address in
// brackets when a port follows it; port for entries without one), for a
// service that may run on either of two hosts: they are tried in order, each
// with the whole time-out, until one connects and passes the handshake (and
// TLS); c->endpoint names it. When all fail, the status is the last one's
// (c->endpoint, lastErrno and tlsError are its too); for a transaction manager
// that is XAER_RMFAIL. A list that does not parse is kClientBadArgument before
// anything is tried. After a reply of XAER_RMFAIL on a connection made from a
// list of two or more, the connection is closed and the next clientConnect on
// it starts with the following endpoint (that service's coordinator is not the
// active one); after any other failure it starts from the first again.
// With tls given, the TLS handshake comes first (kClientTlsFailed, with the
// reason in c->tlsError, when it or the server's certificate fails) and the
// protocol runs inside it; a service that refuses the client's certificate is
// seen at the protocol's handshake, also as kClientTlsFailed.
[[nodiscard]] int32_t clientConnect(MorvalenConnection* c, const char* host, uint16_t port,
                                    uint32_t timeoutMs = kDefaultTimeoutMs, const MorvalenTlsOptions* tls = nullptr);
void clientClose(MorvalenConnection* c);

// Encodes a request frame into out (kMaxRequest bytes): *length is the frame's
// size. xid nullptr, or an XID with format identifier -1, goes as the null XID.
// kClientBadArgument for gtrid or bqual lengths outside 0..64 or a sum below 2
// (the protocol's shortest XID body carries two data bytes).
[[nodiscard]] int32_t clientEncodeRequest(uint8_t code, int32_t flags, const XID* xid, uint8_t* out,
                                          uint32_t* length);

// Sends one request in one write.
[[nodiscard]] int32_t clientSendRequest(MorvalenConnection* c, uint8_t code, int32_t flags, const XID* xid);
// Reads one whole reply within the connection's time-out. kClientBadReply for a
// length below 8 or above 1000; the connection is then closed, as it is after
// kClientClosed, kClientReceiveFailed or kClientTimedOut.
[[nodiscard]] int32_t clientReadReply(MorvalenConnection* c, MorvalenReply* reply);
// Both, one after the other.
[[nodiscard]] int32_t clientRequest(MorvalenConnection* c, uint8_t code, int32_t flags, const XID* xid,
                                    MorvalenReply* reply);

// Payload decoders. A start reply with result >= 0 carries a cookie (length -1:
// none); a recover reply with result r >= 0 carries r XIDs.
[[nodiscard]] int32_t decodeCookie(const MorvalenReply* reply, MorvalenCookie* cookie);
[[nodiscard]] int32_t decodeRecover(const MorvalenReply* reply, MorvalenRecoverList* list);

// The requests. *result is the service's result code (0 when the exchange
// failed); cookie and list are filled when the result is 0 or more and may be
// nullptr when not wanted.
[[nodiscard]] int32_t clientStart(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result,
                                  MorvalenCookie* cookie);
[[nodiscard]] int32_t clientEnd(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result);
[[nodiscard]] int32_t clientPrepare(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result);
[[nodiscard]] int32_t clientCommit(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result);
[[nodiscard]] int32_t clientRollback(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result);
[[nodiscard]] int32_t clientForget(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result);
[[nodiscard]] int32_t clientRecover(MorvalenConnection* c, int32_t flags, int32_t* result,
                                    MorvalenRecoverList* list);
// Branch query: *result 0 when the service holds a branch for the XID, 1 when not.
[[nodiscard]] int32_t clientQuery(MorvalenConnection* c, const XID* xid, int32_t* result);

// XID helpers. xidMake copies gtrid and bqual (each 0..64 bytes) into *out.
[[nodiscard]] int32_t xidMake(int32_t formatId, const void* gtrid, size_t gtridLength, const void* bqual,
                              size_t bqualLength, XID* out);
// Parses an XID in any spelling the tools print (see XidText.h): "GTRID[:BQUAL]"
// with each part text, or hexadecimal bytes after "0x", and formatId as its
// format identifier ("order-17:db1", "0x0102:0x03"); or "FORMAT:GTRID:BQUAL"
// with hexadecimal parts, as xidToText and dtcctl print it ("19798:0x6f72:0x6462",
// "19798:6f72:6462"), which carries its own format identifier.
[[nodiscard]] int32_t xidFromText(const char* text, int32_t formatId, XID* out);
// Writes "FORMATID:0xGTRIDHEX:0xBQUALHEX" (an empty part shows as "0x"; the
// null XID as "null"), terminated, cut to size. Returns buffer.
char* xidToText(const XID* xid, char* buffer, size_t size);

// A short name for a client status or an XA result code ("XA_OK", "XAER_NOTA",
// "connection closed"); "unknown" for others.
const char* clientStatusText(int32_t status);
const char* xaResultText(int32_t result);

}  // namespace morvalen
