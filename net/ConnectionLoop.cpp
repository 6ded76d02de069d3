// The connection loop: the routine of every connection thread. It serves one
// request at a time: read the 9-byte header and the XID field, call the
// handler for the request code, discard surplus input, send one reply.
//
// Request frame (little-endian):
//   0  4  reserved, ignored
//   4  1  request code 0..7
//   5  4  XA flags word
//   9  1  XID length L: 255 = null XID (nothing follows), else 8..134
//  10  L  XID body: format id (4), gtrid length (1), bqual length (1), data
//
// The connection is closed, without a reply, when a header field or the XID
// field cannot be read or when the request code is above 7. Once one field
// could not be read nothing more of the frame is read: the connection is
// closed at once rather than waiting for bytes of a frame that is already lost
// (a client out of step would otherwise hold this thread until it closes). A
// malformed XID field is answered with XAER_INVAL and the connection stays open. Every pass
// is guarded: an exception is reported as "Exception in main loop" and the loop
// goes on with the next request (the request that raised gets no reply).
//
// The record belongs to this thread alone; it is closed and freed on every way
// out of connectionLoop.
#include "net/ConnectionLoop.h"

#include <atomic>
#include <cstring>
#include <memory>

#include "common/Running.h"
#include "report/Guard.h"

namespace {

// The dispatch table the service handed over; written once before the first
// connection, read by every connection thread.
std::atomic<const RequestHandler*> handlerTable{nullptr};

constexpr uint8_t kNullXidLength = 255;
constexpr uint8_t kXidMinLength = 8;    // 6 fixed bytes and at least 2 data bytes
constexpr uint8_t kXidMaxLength = 134;  // 6 fixed bytes and 128 data bytes
constexpr uint32_t kHighestRequestCode = 7;

// Closes the connection and frees its record when the thread leaves.
struct ConnectionCloser {
    void operator()(ClientConnection* c) const noexcept {
        socketClose(c);
        connectionFree(c);
    }
};
using OwnedConnection = std::unique_ptr<ClientConnection, ConnectionCloser>;

// One pass of the loop. False when the connection must be closed.
bool serveOneRequest(ClientConnection* c) {
    c->replyLength = 8;  // room for the header
    c->flags = 0;

    // The header fields in order, each with one receive. A field that could
    // not be read ends the connection without a reply, and nothing more is
    // read: the peer has gone, or the frame is cut short and lost anyway.
    int32_t reserved = 0;
    uint8_t code = 0;
    // Between frames a client may be silent for as long as it likes: the
    // receive time-out (the frame bound the listener set) only wakes this
    // thread to wait again, while TCP keepalive finds a peer that is gone.
    // Once a frame has begun, every further field must arrive within the
    // bound, so a client that stopped in the middle of a frame on a live link
    // is dropped.
    int32_t first = kReadIdle;
    while (first == kReadIdle) {
        first = socketReadFirstInt(c, &reserved);
    }
    if (first != 0 || socketReadByte(c, &code) != 0 || socketReadInt(c, &c->flags) != 0) {
        return false;
    }
    int32_t xidResult = socketReadXid(c);
    if (xidResult == kXidUnreadable) {
        // A frame whose XID field never arrived must not reach a handler: it
        // could start a branch from half a request.
        return false;
    }

    int32_t result = xidResult;
    if (xidResult == 0) {
        // The code is judged only after the XID field: a bad code with a
        // malformed XID is answered -5 above and the connection stays.
        if (uint32_t{code} > kHighestRequestCode) {
            return false;
        }
        const RequestHandler* table = handlerTable.load(std::memory_order_acquire);
        RequestHandler handler = table != nullptr ? table[code] : nullptr;
        result = handler != nullptr ? handler(c) : XAER_RMERR;
    }

    socketSkipInput(c);
    socketSendReply(c, result);
    return true;
}

}  // namespace

void connectionLoopSetHandlers(const RequestHandler* table) noexcept {
    handlerTable.store(table, std::memory_order_release);
}

int32_t socketReadXid(ClientConnection* c) noexcept {
    uint8_t length = 0;
    if (socketReadByte(c, &length) != 0) {
        return kXidUnreadable;
    }
    if (length == kNullXidLength) {
        c->xid = nullXid();
        return 0;
    }
    if (length < kXidMinLength || length > kXidMaxLength) {
        return XAER_INVAL;  // the body is not read; the loop's drain takes what has arrived
    }

    // The body is read whole: a client whose body arrives in two segments is
    // served all the same.
    uint8_t body[kXidMaxLength];
    if (socketReadAll(c, body, length) != 0) {
        return kXidUnreadable;
    }
    int32_t formatId = 0;
    std::memcpy(&formatId, body, 4);
    c->xid.formatID = formatId;
    c->xid.gtrid_length = static_cast<int8_t>(body[4]);  // signed on the wire
    c->xid.bqual_length = static_cast<int8_t>(body[5]);

    // Only the sum is checked; lengths outside 0..64 are the XA layer's to
    // refuse. Since the sum equals L - 6 <= 128, the copy stays inside data.
    int32_t dataLength = length - 6;
    if (c->xid.gtrid_length + c->xid.bqual_length != dataLength) {
        return XAER_INVAL;
    }
    std::memcpy(c->xid.data, body + 6, static_cast<size_t>(dataLength));
    return 0;
}

void connectionLoop(void* record) {
    OwnedConnection connection(static_cast<ClientConnection*>(record));
    ClientConnection* c = connection.get();
    // The running flag is looked at only between requests; a stop wakes a
    // thread blocked in a receive by shutting its socket down.
    while (runningFlag.load(std::memory_order_relaxed)) {
        bool keepServing = true;
        guardedRun("main loop", [&] { keepServing = serveOneRequest(c); });
        if (!keepServing) {
            break;
        }
    }
}
