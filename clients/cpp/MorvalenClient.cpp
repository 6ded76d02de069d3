// The Morvalen wire-protocol client: plain POSIX sockets, no dependency on the
// service's own code (the protocol's values and result codes are common/'s). Requests leave in one write with TCP_NODELAY set (a
// request in two writes with Nagle on costs a delayed-ACK round of about 40 ms);
// replies are read whole with poll and a deadline.
#include "MorvalenClient.h"
#include "XidText.h"

#include "ClientTls.h"
#include "Endpoints.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/Codes.h"

namespace morvalen {
namespace {

int64_t nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// Deadline for a step: -1 when there is none.
int64_t deadlineAfter(uint32_t timeoutMs) { return timeoutMs == 0 ? -1 : nowMs() + timeoutMs; }

// Waits until fd is ready for events or the deadline passes: kClientOk,
// kClientTimedOut or kClientReceiveFailed.
int32_t waitReady(MorvalenConnection* c, short events, int64_t deadline) {
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - nowMs();
            if (left <= 0) {
                return kClientTimedOut;
            }
            wait = left > 1000000 ? 1000000 : static_cast<int>(left);
        }
        pollfd p{c->fd, events, 0};
        int r = ::poll(&p, 1, wait);
        if (r > 0) {
            return kClientOk;
        }
        if (r == 0) {
            continue;  // the loop head decides whether the deadline has passed
        }
        if (errno != EINTR) {
            c->lastErrno = errno;
            return kClientReceiveFailed;
        }
    }
}

// Reads exactly n bytes before the deadline.
int32_t readFull(MorvalenConnection* c, uint8_t* out, size_t n, int64_t deadline) {
    if (c->tls != nullptr) {
        return tlsClientReadFull(c, out, n, deadline);
    }
    size_t got = 0;
    while (got < n) {
        int32_t ready = waitReady(c, POLLIN, deadline);
        if (ready != kClientOk) {
            return ready;
        }
        ssize_t r = ::recv(c->fd, out + got, n - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0) {
            return kClientClosed;
        } else if (errno != EINTR && errno != EAGAIN) {
            c->lastErrno = errno;
            return errno == ECONNRESET ? kClientClosed : kClientReceiveFailed;
        }
    }
    return kClientOk;
}

// Writes all n bytes; normally one send call.
int32_t writeFull(MorvalenConnection* c, const uint8_t* bytes, size_t n) {
    if (c->tls != nullptr) {
        return tlsClientWriteFull(c, bytes, n, deadlineAfter(c->timeoutMs));
    }
    size_t sent = 0;
    while (sent < n) {
        ssize_t r = ::send(c->fd, bytes + sent, n - sent, MSG_NOSIGNAL);
        if (r > 0) {
            sent += static_cast<size_t>(r);
        } else if (r < 0 && errno != EINTR) {
            c->lastErrno = errno;
            return kClientSendFailed;
        }
    }
    return kClientOk;
}

int32_t failAndClose(MorvalenConnection* c, int32_t status) {
    clientClose(c);
    return status;
}

// A connection lost in an exchange: the next connect of a list starts from
// its first endpoint.
int32_t lostAndClose(MorvalenConnection* c, int32_t status) {
    c->firstEndpoint = 0;
    return failAndClose(c, status);
}

// Opens a socket to one address, connecting within the deadline.
int32_t connectOne(MorvalenConnection* c, const addrinfo* a, int64_t deadline) {
    c->fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (c->fd < 0) {
        c->lastErrno = errno;
        return kClientConnectFailed;
    }
    if (::connect(c->fd, a->ai_addr, a->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            c->lastErrno = errno;
            return failAndClose(c, kClientConnectFailed);
        }
        int32_t ready = waitReady(c, POLLOUT, deadline);
        if (ready != kClientOk) {
            return failAndClose(c, ready == kClientTimedOut ? kClientTimedOut : kClientConnectFailed);
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            c->lastErrno = error != 0 ? error : errno;
            return failAndClose(c, kClientConnectFailed);
        }
    }
    // Back to blocking mode: every wait goes through poll with the deadline.
    int fl = ::fcntl(c->fd, F_GETFL);
    (void)::fcntl(c->fd, F_SETFL, fl & ~O_NONBLOCK);
    int one = 1;
    (void)::setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return kClientOk;
}

void putInt(uint8_t* at, int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
    at[2] = static_cast<uint8_t>(v >> 16);
    at[3] = static_cast<uint8_t>(v >> 24);
}

int32_t getInt(const uint8_t* at) {
    uint32_t v = uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
    return static_cast<int32_t>(v);
}

// Sends a request whose reply carries no payload the client needs.
int32_t simpleRequest(MorvalenConnection* c, uint8_t code, const XID* xid, int32_t flags, int32_t* result) {
    *result = 0;
    MorvalenReply reply;
    int32_t status = clientRequest(c, code, flags, xid, &reply);
    if (status == kClientOk) {
        *result = reply.result;
    }
    return status;
}

// One endpoint: resolve, connect, TLS, handshake, each within timeoutMs.
int32_t connectEndpoint(MorvalenConnection* c, const char* host, uint16_t port, uint32_t timeoutMs,
                        const MorvalenTlsOptions* tls) {
    c->lastErrno = 0;
    c->tlsError[0] = '\0';
    char service[8];
    std::snprintf(service, sizeof service, "%u", unsigned{port});
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) {
        return kClientResolveFailed;
    }
    int64_t deadline = deadlineAfter(timeoutMs);
    int32_t status = kClientConnectFailed;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        status = connectOne(c, a, deadline);
        if (status == kClientOk || status == kClientTimedOut) {
            break;
        }
    }
    ::freeaddrinfo(found);
    if (status != kClientOk) {
        return status;
    }
    if (tls != nullptr) {
        status = tlsClientStart(c, tls, host, deadline);
        if (status != kClientOk) {
            return failAndClose(c, status);
        }
    }

    status = writeFull(c, reinterpret_cast<const uint8_t*>(kHandshake), kHandshakeLength);
    if (status != kClientOk) {
        return failAndClose(c, status);
    }
    uint8_t answer[kHandshakeReplyLength];
    status = readFull(c, answer, sizeof answer, deadline);
    if (status == kClientClosed) {
        return failAndClose(c, kClientHandshakeFailed);  // the service drops a refused handshake silently
    }
    if (status != kClientOk) {
        return failAndClose(c, status);
    }
    if (std::memcmp(answer, kHandshakeReply, kHandshakeReplyLength) != 0) {
        return failAndClose(c, kClientHandshakeFailed);
    }
    return kClientOk;
}

}  // namespace

int32_t clientConnect(MorvalenConnection* c, const char* host, uint16_t port, uint32_t timeoutMs,
                      const MorvalenTlsOptions* tls) {
    if (c == nullptr) {
        return kClientBadArgument;
    }
    clientClose(c);
    c->timeoutMs = timeoutMs;
    c->lastErrno = 0;
    c->endpoint[0] = '\0';
    c->endpointIndex = -1;
    // The whole list is checked first, so that a mistake in a later entry is
    // not hidden while an earlier one answers.
    const char* list = host != nullptr ? host : kDefaultHost;
    int32_t count = 0;
    ClientEndpoint e;
    for (const char* at = list; at != nullptr; ++count) {
        if (!endpointNext(&at, port, &e)) {
            return kClientBadArgument;
        }
    }
    // The start moves past an endpoint that answered XAER_RMFAIL (see clientReadReply).
    int32_t first = count == c->endpointCount && c->firstEndpoint < count ? c->firstEndpoint : 0;
    c->endpointCount = count;
    int32_t status = kClientConnectFailed;
    for (int32_t i = 0; i < count; ++i) {
        int32_t index = (first + i) % count;
        const char* at = list;
        for (int32_t skip = 0; skip <= index; ++skip) {
            (void)endpointNext(&at, port, &e);  // parsed once already
        }
        endpointText(e, c->endpoint, sizeof c->endpoint);
        c->endpointIndex = index;
        status = connectEndpoint(c, e.host, e.port, timeoutMs, tls);
        if (status == kClientOk) {
            c->firstEndpoint = first;
            return kClientOk;
        }
    }
    c->firstEndpoint = 0;
    return status;
}

void clientClose(MorvalenConnection* c) {
    if (c != nullptr && c->tls != nullptr) {
        tlsClientFree(c);
    }
    if (c != nullptr && c->fd >= 0) {
        (void)::close(c->fd);
        c->fd = -1;
    }
}

int32_t clientEncodeRequest(uint8_t code, int32_t flags, const XID* xid, uint8_t* out, uint32_t* length) {
    *length = 0;
    putInt(out, 0);  // reserved
    out[4] = code;
    putInt(out + 5, flags);
    if (xid == nullptr || xid->formatID == -1) {
        out[9] = 0xFF;  // the null XID
        *length = 10;
        return kClientOk;
    }
    int32_t g = xid->gtrid_length;
    int32_t b = xid->bqual_length;
    if (g < 0 || g > MAXGTRIDSIZE || b < 0 || b > MAXBQUALSIZE || g + b < 2) {
        return kClientBadArgument;
    }
    uint32_t data = static_cast<uint32_t>(g + b);
    out[9] = static_cast<uint8_t>(6 + data);
    putInt(out + 10, xid->formatID);
    out[14] = static_cast<uint8_t>(g);
    out[15] = static_cast<uint8_t>(b);
    std::memcpy(out + 16, xid->data, data);
    *length = 16 + data;
    return kClientOk;
}

int32_t clientSendRequest(MorvalenConnection* c, uint8_t code, int32_t flags, const XID* xid) {
    if (c == nullptr) {
        return kClientBadArgument;
    }
    if (c->fd < 0) {
        return kClientNotConnected;
    }
    uint8_t frame[kMaxRequest];
    uint32_t length = 0;
    int32_t status = clientEncodeRequest(code, flags, xid, frame, &length);
    if (status != kClientOk) {
        return status;
    }
    status = writeFull(c, frame, length);
    return status == kClientOk ? kClientOk : lostAndClose(c, status);
}

int32_t clientReadReply(MorvalenConnection* c, MorvalenReply* reply) {
    if (c == nullptr || reply == nullptr) {
        return kClientBadArgument;
    }
    reply->length = 0;
    reply->result = 0;
    reply->payloadLength = 0;
    if (c->fd < 0) {
        return kClientNotConnected;
    }
    int64_t deadline = deadlineAfter(c->timeoutMs);
    uint8_t header[kReplyHeaderSize];
    int32_t status = readFull(c, header, sizeof header, deadline);
    if (status != kClientOk) {
        return lostAndClose(c, status);
    }
    int32_t length = getInt(header);
    if (length < static_cast<int32_t>(kReplyHeaderSize) || length > static_cast<int32_t>(kReplyBufferSize)) {
        return lostAndClose(c, kClientBadReply);  // the stream cannot be trusted any more
    }
    reply->length = length;
    reply->result = getInt(header + 4);
    reply->payloadLength = static_cast<uint32_t>(length) - kReplyHeaderSize;
    status = readFull(c, reply->payload, reply->payloadLength, deadline);
    if (status != kClientOk) {
        reply->payloadLength = 0;
        return lostAndClose(c, status);
    }
    if (reply->result == XAER_RMFAIL && c->endpointCount > 1 && c->endpointIndex >= 0) {
        // The service of this endpoint has no active coordinator behind it
        // (a standby, or one restarting): the next connect tries the
        // following endpoint first. The reply itself is the caller's answer.
        c->firstEndpoint = (c->endpointIndex + 1) % c->endpointCount;
        clientClose(c);
    }
    return kClientOk;
}

int32_t clientRequest(MorvalenConnection* c, uint8_t code, int32_t flags, const XID* xid, MorvalenReply* reply) {
    if (reply == nullptr) {
        return kClientBadArgument;
    }
    reply->length = 0;
    reply->result = 0;
    reply->payloadLength = 0;
    int32_t status = clientSendRequest(c, code, flags, xid);
    if (status != kClientOk) {
        return status;
    }
    return clientReadReply(c, reply);
}

int32_t decodeCookie(const MorvalenReply* reply, MorvalenCookie* cookie) {
    cookie->length = -1;
    if (reply->payloadLength < 4) {
        return kClientBadReply;
    }
    int32_t n = getInt(reply->payload);
    if (n == -1 && reply->payloadLength == 4) {
        return kClientOk;  // the branch holds no cookie
    }
    if (n < 0 || static_cast<uint32_t>(n) != reply->payloadLength - 4) {
        return kClientBadReply;
    }
    std::memcpy(cookie->bytes, reply->payload + 4, static_cast<size_t>(n));
    cookie->length = n;
    return kClientOk;
}

int32_t decodeRecover(const MorvalenReply* reply, MorvalenRecoverList* list) {
    list->count = 0;
    int32_t expected = reply->result;
    if (expected < 0 || expected > kMaxRecoverPerReply || reply->payloadLength < 4) {
        return kClientBadReply;
    }
    int32_t total = getInt(reply->payload);
    if (total < 0 || static_cast<uint32_t>(total) != reply->payloadLength - 4) {
        return kClientBadReply;
    }
    const uint8_t* at = reply->payload + 4;
    const uint8_t* end = at + total;
    for (int32_t i = 0; i < expected; ++i) {
        if (end - at < 6) {
            return kClientBadReply;
        }
        XID& x = list->xids[i];
        x = XID{};
        x.formatID = getInt(at);
        x.gtrid_length = at[4];
        x.bqual_length = at[5];
        int32_t data = x.gtrid_length + x.bqual_length;
        if (x.gtrid_length > MAXGTRIDSIZE || x.bqual_length > MAXBQUALSIZE || end - at - 6 < data) {
            list->count = 0;
            return kClientBadReply;
        }
        std::memcpy(x.data, at + 6, static_cast<size_t>(data));
        at += 6 + data;
    }
    if (at != end) {
        return kClientBadReply;
    }
    list->count = expected;
    return kClientOk;
}

int32_t clientStart(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result, MorvalenCookie* cookie) {
    *result = 0;
    if (cookie != nullptr) {
        cookie->length = -1;
    }
    MorvalenReply reply;
    int32_t status = clientRequest(c, kRequestStart, flags, xid, &reply);
    if (status != kClientOk) {
        return status;
    }
    *result = reply.result;
    if (reply.result < 0 || cookie == nullptr) {
        return kClientOk;
    }
    return decodeCookie(&reply, cookie);
}

int32_t clientEnd(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result) {
    return simpleRequest(c, kRequestEnd, xid, flags, result);
}

int32_t clientPrepare(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result) {
    return simpleRequest(c, kRequestPrepare, xid, flags, result);
}

int32_t clientCommit(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result) {
    return simpleRequest(c, kRequestCommit, xid, flags, result);
}

int32_t clientRollback(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result) {
    return simpleRequest(c, kRequestRollback, xid, flags, result);
}

int32_t clientForget(MorvalenConnection* c, const XID* xid, int32_t flags, int32_t* result) {
    return simpleRequest(c, kRequestForget, xid, flags, result);
}

int32_t clientQuery(MorvalenConnection* c, const XID* xid, int32_t* result) {
    return simpleRequest(c, kRequestQuery, xid, 0, result);
}

int32_t clientRecover(MorvalenConnection* c, int32_t flags, int32_t* result, MorvalenRecoverList* list) {
    *result = 0;
    if (list != nullptr) {
        list->count = 0;
    }
    MorvalenReply reply;
    int32_t status = clientRequest(c, kRequestRecover, flags, nullptr, &reply);
    if (status != kClientOk) {
        return status;
    }
    *result = reply.result;
    if (reply.result < 0 || list == nullptr) {
        return kClientOk;
    }
    return decodeRecover(&reply, list);
}

int32_t xidMake(int32_t formatId, const void* gtrid, size_t gtridLength, const void* bqual, size_t bqualLength,
                XID* out) {
    *out = XID{};
    out->formatID = -1;
    if (gtridLength > MAXGTRIDSIZE || bqualLength > MAXBQUALSIZE || (gtrid == nullptr && gtridLength != 0) ||
        (bqual == nullptr && bqualLength != 0)) {
        return kClientBadArgument;
    }
    out->formatID = formatId;
    out->gtrid_length = static_cast<int32_t>(gtridLength);
    out->bqual_length = static_cast<int32_t>(bqualLength);
    if (gtridLength != 0) {
        std::memcpy(out->data, gtrid, gtridLength);
    }
    if (bqualLength != 0) {
        std::memcpy(out->data + gtridLength, bqual, bqualLength);
    }
    return kClientOk;
}

int32_t xidFromText(const char* text, int32_t formatId, XID* out) {
    return xidParseText(text, formatId, out) ? kClientOk : kClientBadArgument;
}

char* xidToText(const XID* xid, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    buffer[0] = '\0';
    if (xid == nullptr) {
        return buffer;
    }
    if (xid->formatID == -1) {
        std::snprintf(buffer, size, "null");
        return buffer;
    }
    // Room for the largest XID: an 11-character format id, two ":0x" and 256 hex digits.
    char text[11 + 6 + 2 * XIDDATASIZE + 1];
    int at = std::snprintf(text, sizeof text, "%d:0x", static_cast<int>(xid->formatID));
    int32_t g = xid->gtrid_length < 0 ? 0 : (xid->gtrid_length > XIDDATASIZE ? XIDDATASIZE : xid->gtrid_length);
    int32_t b = xid->bqual_length < 0 ? 0 : xid->bqual_length;
    if (b > XIDDATASIZE - g) {
        b = XIDDATASIZE - g;  // never read past the 128 data bytes
    }
    for (int32_t i = 0; i < g; ++i) {
        at += std::snprintf(text + at, 3, "%02x", static_cast<unsigned>(static_cast<uint8_t>(xid->data[i])));
    }
    at += std::snprintf(text + at, 4, ":0x");
    for (int32_t i = 0; i < b; ++i) {
        at += std::snprintf(text + at, 3, "%02x", static_cast<unsigned>(static_cast<uint8_t>(xid->data[g + i])));
    }
    std::snprintf(buffer, size, "%s", text);
    return buffer;
}

const char* clientStatusText(int32_t status) {
    switch (status) {
        case kClientOk: return "ok";
        case kClientBadArgument: return "bad argument";
        case kClientResolveFailed: return "host not found";
        case kClientConnectFailed: return "connect failed";
        case kClientHandshakeFailed: return "handshake refused";
        case kClientSendFailed: return "send failed";
        case kClientReceiveFailed: return "receive failed";
        case kClientTimedOut: return "timed out";
        case kClientClosed: return "connection closed by the service";
        case kClientBadReply: return "malformed reply";
        case kClientNotConnected: return "not connected";
        case kClientTlsFailed: return "TLS failed";
        default: return "unknown";
    }
}

const char* xaResultText(int32_t result) {
    switch (result) {
        case XA_OK: return "XA_OK";
        case XA_RDONLY: return "XA_RDONLY";
        case XA_RETRY: return "XA_RETRY";
        case XA_HEURMIX: return "XA_HEURMIX";
        case XA_HEURRB: return "XA_HEURRB";
        case XA_HEURCOM: return "XA_HEURCOM";
        case XA_HEURHAZ: return "XA_HEURHAZ";
        case XA_NOMIGRATE: return "XA_NOMIGRATE";
        case XA_RBROLLBACK: return "XA_RBROLLBACK";
        case XA_RBCOMMFAIL: return "XA_RBCOMMFAIL";
        case XA_RBDEADLOCK: return "XA_RBDEADLOCK";
        case XA_RBINTEGRITY: return "XA_RBINTEGRITY";
        case XA_RBOTHER: return "XA_RBOTHER";
        case XA_RBPROTO: return "XA_RBPROTO";
        case XA_RBTIMEOUT: return "XA_RBTIMEOUT";
        case XA_RBTRANSIENT: return "XA_RBTRANSIENT";
        case XAER_ASYNC: return "XAER_ASYNC";
        case XAER_RMERR: return "XAER_RMERR";
        case XAER_NOTA: return "XAER_NOTA";
        case XAER_INVAL: return "XAER_INVAL";
        case XAER_PROTO: return "XAER_PROTO";
        case XAER_RMFAIL: return "XAER_RMFAIL";
        case XAER_DUPID: return "XAER_DUPID";
        case XAER_OUTSIDE: return "XAER_OUTSIDE";
        case kSocketFailure: return "no branch to resume (-1)";
        case kRecordAllocFailed: return "record cannot be allocated";
        case kResumeSignalFailed: return "worker cannot be signalled on resume";
        case kWorkerStartFailed: return "branch worker cannot be started";
        case kEndNoRecord: return "no branch to end";
        case kEndSignalFailed: return "worker cannot be signalled on end";
        case kRegistryGrowFailed: return "branch registry cannot grow";
        case kExceptionCaught: return "exception in the service";
        default: return "unknown";
    }
}

}  // namespace morvalen
