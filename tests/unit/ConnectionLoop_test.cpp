// XID decoding and the connection loop's rules, driven over a socket pair:
// socketReadXid directly, and connectionLoop on a thread of its own holding one
// end while the test speaks raw frames on the other. The loop's thread is
// joined, so every case also shows that the loop ends and frees its record.
//
// Handlers are whatever the dispatch table holds; the cases use the branch
// query (code 7) and look only at the frame and the XID judgement, not at the
// handler's own answer.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "net/ConnectionLoop.h"
#include "support/Frames.h"
#include "xa/Requests.h"

namespace {

using testsupport::Bytes;
using testsupport::concat;
using testsupport::putInt;

Bytes header(uint8_t code, int32_t flags) {
    Bytes b;
    putInt(&b, 0x11223344);  // reserved: any value
    b.push_back(code);
    putInt(&b, flags);
    return b;
}

// An XID field: length byte, format id, the two length bytes, data.
Bytes xidField(int32_t formatId, int8_t gtrid, int8_t bqual, size_t dataBytes, uint8_t lengthByte) {
    Bytes b{lengthByte};
    putInt(&b, formatId);
    b.push_back(static_cast<uint8_t>(gtrid));
    b.push_back(static_cast<uint8_t>(bqual));
    for (size_t i = 0; i < dataBytes; ++i) {
        b.push_back(static_cast<uint8_t>('a' + i % 26));
    }
    return b;
}

void sendAll(int fd, const Bytes& b) { ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }

// Reads one reply frame (waits up to 5 s): its bytes, or empty when the loop
// closed the connection without one.
Bytes readReply(int fd) {
    Bytes reply;
    uint8_t buffer[1000];
    while (reply.size() < 8 || reply.size() < static_cast<size_t>(reply[0] | reply[1] << 8)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) {
            ADD_FAILURE() << "no reply and no close within 5 s";
            return reply;
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return reply;
        }
        reply.insert(reply.end(), buffer, buffer + n);
    }
    return reply;
}

int32_t resultOf(const Bytes& reply) {
    int32_t v = 0;
    std::memcpy(&v, reply.data() + 4, 4);
    return v;
}

// A connection loop on its own thread over one end of a socket pair.
struct LoopPair {
    LoopPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            return;
        }
        connectionLoopSetHandlers(requestHandlers);
        ClientConnection* c = connectionAllocate();
        c->socket = fds[0];
        peer = fds[1];
        loop = std::thread(connectionLoop, c);
    }
    ~LoopPair() {
        if (peer >= 0) {
            ::shutdown(peer, SHUT_RDWR);
        }
        if (loop.joinable()) {
            loop.join();
        }
        if (peer >= 0) {
            ::close(peer);
        }
    }
    // True when the loop has closed its end (the peer reads end of stream).
    bool closedByLoop() const { return readReply(peer).empty(); }
    int peer = -1;
    std::thread loop;
};

// A record over a socket pair for calling socketReadXid directly.
struct XidPair {
    XidPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            c = connectionAllocate();
            c->socket = fds[0];
            peer = fds[1];
        }
    }
    ~XidPair() {
        socketClose(c);
        connectionFree(c);
        ::close(peer);
    }
    ClientConnection* c = nullptr;
    int peer = -1;
};

TEST(ConnectionLoop, XidFieldIsDecodedOrRefusedWithInval) {
    XidPair p;
    ASSERT_NE(p.c, nullptr);

    sendAll(p.peer, Bytes{0xFF});
    EXPECT_EQ(socketReadXid(p.c), 0);
    XID null = nullXid();
    EXPECT_EQ(std::memcmp(&p.c->xid, &null, sizeof null), 0);

    // L = 8 with lengths 1 and 1.
    sendAll(p.peer, xidField(258, 1, 1, 2, 8));
    EXPECT_EQ(socketReadXid(p.c), 0);
    EXPECT_EQ(p.c->xid.formatID, 258);
    EXPECT_EQ(p.c->xid.gtrid_length, 1);
    EXPECT_EQ(p.c->xid.bqual_length, 1);
    EXPECT_EQ(std::memcmp(p.c->xid.data, "ab", 2), 0);

    // L = 134 with lengths 64 and 64, the largest field.
    sendAll(p.peer, xidField(1, 64, 64, 128, 134));
    EXPECT_EQ(socketReadXid(p.c), 0);
    EXPECT_EQ(p.c->xid.gtrid_length + p.c->xid.bqual_length, 128);
    EXPECT_EQ(p.c->xid.data[127], 'a' + 127 % 26);

    // Lengths outside 0..64 with the right sum pass here (the XA layer refuses
    // them as branches); a negative length byte is widened as signed.
    sendAll(p.peer, xidField(1, 100, 28, 128, 134));
    EXPECT_EQ(socketReadXid(p.c), 0);
    EXPECT_EQ(p.c->xid.gtrid_length, 100);
    sendAll(p.peer, xidField(1, -1, 3, 2, 8));
    EXPECT_EQ(socketReadXid(p.c), 0);
    EXPECT_EQ(p.c->xid.gtrid_length, -1);
    EXPECT_EQ(p.c->xid.bqual_length, 3);

    // Lengths 3 and 2 in a body of L = 10: sum 5, L - 6 = 4.
    sendAll(p.peer, xidField(1, 3, 2, 4, 10));
    EXPECT_EQ(socketReadXid(p.c), XAER_INVAL);

    // L of 0..7 and 135..254 is refused without reading the body: the bytes
    // behind the length byte are still waiting.
    for (int length : {0, 1, 7, 135, 200, 254}) {
        sendAll(p.peer, Bytes{static_cast<uint8_t>(length), 9, 9, 9});
        EXPECT_EQ(socketReadXid(p.c), XAER_INVAL) << "L = " << length;
        EXPECT_EQ(socketAvailable(p.c), 3u) << "L = " << length;
        socketSkipInput(p.c);
    }
}

TEST(ConnectionLoop, XidBodyIsReadWholeAndAnUnreadableFieldIsNotAnXid) {
    XidPair p;
    ASSERT_NE(p.c, nullptr);
    Bytes field = xidField(7, 5, 3, 8, 14);
    sendAll(p.peer, Bytes(field.begin(), field.begin() + 5));
    sendAll(p.peer, Bytes(field.begin() + 5, field.end()));
    EXPECT_EQ(socketReadXid(p.c), 0);
    EXPECT_EQ(p.c->xid.formatID, 7);
    EXPECT_EQ(std::memcmp(p.c->xid.data, "abcdefgh", 8), 0);

    // The peer closes with the body half sent, or before the length byte.
    sendAll(p.peer, Bytes(field.begin(), field.begin() + 9));
    ::shutdown(p.peer, SHUT_WR);
    EXPECT_EQ(socketReadXid(p.c), kXidUnreadable);
    EXPECT_EQ(socketReadXid(p.c), kXidUnreadable);
}

TEST(ConnectionLoop, MalformedXidIsAnsweredAndTheConnectionStays) {
    LoopPair l;
    ASSERT_GE(l.peer, 0);

    // A sum mismatch, L below 8 and L above 134: -5 each, no payload.
    sendAll(l.peer, concat(header(7, 0), xidField(1, 3, 2, 4, 10)));
    Bytes reply = readReply(l.peer);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(resultOf(reply), XAER_INVAL);

    sendAll(l.peer, concat(header(7, 0), Bytes{7}));
    reply = readReply(l.peer);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(resultOf(reply), XAER_INVAL);

    // L = 135: the body is not read; what has arrived of it is drained.
    sendAll(l.peer, concat(header(7, 0), xidField(1, 64, 65, 129, 135)));
    reply = readReply(l.peer);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(resultOf(reply), XAER_INVAL);

    // A bad request code with a malformed XID: the XID is judged first.
    sendAll(l.peer, concat(header(9, 0), Bytes{3}));
    reply = readReply(l.peer);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(resultOf(reply), XAER_INVAL);

    // Still serving: a well-formed request reaches its handler.
    sendAll(l.peer, concat(header(7, 0), xidField(1, 2, 1, 3, 9)));
    reply = readReply(l.peer);
    ASSERT_GE(reply.size(), 8u);
    EXPECT_NE(resultOf(reply), XAER_INVAL);
}

TEST(ConnectionLoop, RequestCodesAbove7CloseWithoutReply) {
    for (int code : {8, 9, 0x7F, 0x80, 0xFF}) {
        LoopPair l;
        ASSERT_GE(l.peer, 0);
        sendAll(l.peer, concat(header(static_cast<uint8_t>(code), 0), Bytes{0xFF}));
        EXPECT_TRUE(l.closedByLoop()) << "code " << code;
    }
}

TEST(ConnectionLoop, CutFramesCloseWithoutReplyAndRunNoHandler) {
    // The peer closes after two bytes of the reserved word.
    {
        LoopPair l;
        sendAll(l.peer, Bytes{1, 2});
        ::shutdown(l.peer, SHUT_WR);
        EXPECT_TRUE(l.closedByLoop());
    }
    // The peer closes right after the 9 header bytes: the missing length byte
    // does not make the request a null-XID request.
    {
        LoopPair l;
        sendAll(l.peer, header(0, 0));
        ::shutdown(l.peer, SHUT_WR);
        EXPECT_TRUE(l.closedByLoop());
    }
    // The peer closes in the middle of the XID body.
    {
        LoopPair l;
        Bytes frame = concat(header(7, 0), xidField(1, 4, 4, 8, 14));
        sendAll(l.peer, Bytes(frame.begin(), frame.begin() + 15));
        ::shutdown(l.peer, SHUT_WR);
        EXPECT_TRUE(l.closedByLoop());
    }
}

TEST(ConnectionLoop, SurplusInputIsDrainedAndTheNextRequestServed) {
    LoopPair l;
    ASSERT_GE(l.peer, 0);
    Bytes frame = concat(header(7, 0), Bytes{0xFF});
    EXPECT_EQ(frame.size(), 10u);  // the null-XID request is 10 bytes
    Bytes withSurplus = concat(frame, Bytes(2500, 0xA5));
    sendAll(l.peer, withSurplus);
    Bytes reply = readReply(l.peer);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[0], 8);

    // The split body of a request is waited for; the answer comes once.
    Bytes split = concat(header(7, 0), xidField(1, 3, 3, 6, 12));
    sendAll(l.peer, Bytes(split.begin(), split.begin() + 12));
    sendAll(l.peer, Bytes(split.begin() + 12, split.end()));
    reply = readReply(l.peer);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_NE(resultOf(reply), XAER_INVAL);
}

}  // namespace
