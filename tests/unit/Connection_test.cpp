// The wire primitives over a connected socket pair: single-receive reads and
// their sentinels, fields taken from one buffered receive, the reply layout, the 987/988-byte overflow rule with its
// report, the null array, and the drain of surplus input.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/Connection.h"

namespace {

// A record on one end of a stream socket pair; the test holds the other end.
struct Pair {
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            record = connectionAllocate();
            record->socket = fds[0];
            peer = fds[1];
        }
    }
    ~Pair() {
        if (record != nullptr) {
            socketClose(record);
            connectionFree(record);
        }
        if (peer >= 0) {
            ::close(peer);
        }
    }
    void send(const void* bytes, size_t n) const { ASSERT_EQ(::send(peer, bytes, n, 0), static_cast<ssize_t>(n)); }
    // Everything the record's end has sent so far (the test's end must not block).
    std::vector<uint8_t> received() const {
        std::vector<uint8_t> all(4096);
        ssize_t n = ::recv(peer, all.data(), all.size(), MSG_DONTWAIT);
        all.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return all;
    }
    ClientConnection* record = nullptr;
    int peer = -1;
};

int32_t intAt(const std::vector<uint8_t>& bytes, size_t offset) {
    int32_t v = 0;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

TEST(Connection, ReadsMakeOneReceiveAndLeaveSentinelsOnFailure) {
    Pair p;
    ASSERT_NE(p.record, nullptr);

    const uint8_t word[4] = {0x04, 0x03, 0x02, 0x81};
    p.send(word, 4);
    int32_t value = 0;
    EXPECT_EQ(socketReadInt(p.record, &value), 0);
    EXPECT_EQ(value, static_cast<int32_t>(0x81020304u));  // little-endian

    // Two bytes of a four-byte field: the one receive returns 2, a failure.
    p.send(word, 2);
    value = 0;
    EXPECT_EQ(socketReadInt(p.record, &value), -1);
    EXPECT_EQ(value, -1);

    uint8_t byte = 0;
    p.send(word + 3, 1);
    EXPECT_EQ(socketReadByte(p.record, &byte), 0);
    EXPECT_EQ(byte, 0x81);

    // The peer closes: every read fails with its sentinel, readBytes gives 0.
    ::shutdown(p.peer, SHUT_WR);
    EXPECT_EQ(socketReadByte(p.record, &byte), -1);
    EXPECT_EQ(byte, 0xFF);
    value = 0;
    EXPECT_EQ(socketReadInt(p.record, &value), -1);
    EXPECT_EQ(value, -1);
    uint8_t buffer[16];
    EXPECT_EQ(socketReadBytes(p.record, buffer, 16), 0);
}

TEST(Connection, FieldsOfOneWriteAreTakenFromOneReceiveAsSeparateReceivesWouldBe) {
    Pair p;
    ASSERT_NE(p.record, nullptr);

    // A whole frame in one write: every field comes from the one receive, and
    // the socket is left empty while the record still holds the rest.
    const uint8_t frame[10] = {1, 0, 0, 0, 5, 0x10, 0, 0, 0, 0xFF};
    p.send(frame, sizeof frame);
    int32_t value = 0;
    uint8_t byte = 0;
    ASSERT_EQ(socketReadInt(p.record, &value), 0);
    EXPECT_EQ(value, 1);
    uint32_t waiting = 0;
    ASSERT_EQ(::ioctl(p.record->socket, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 0u);                      // all taken by the first receive
    EXPECT_EQ(socketAvailable(p.record), 6u);    // and held for the next reads
    EXPECT_EQ(socketReadByte(p.record, &byte), 0);
    EXPECT_EQ(byte, 5);
    EXPECT_EQ(socketReadInt(p.record, &value), 0);
    EXPECT_EQ(value, 0x10);
    EXPECT_EQ(socketReadByte(p.record, &byte), 0);
    EXPECT_EQ(byte, 0xFF);

    // Part of a field held and its rest arrived since: one receive of the
    // field's size would have found it all, so the read succeeds.
    const uint8_t six[6] = {9, 0, 0, 0, 0x34, 0x12};
    p.send(six, sizeof six);
    ASSERT_EQ(socketReadInt(p.record, &value), 0);
    EXPECT_EQ(value, 9);
    const uint8_t rest[2] = {0, 0};
    p.send(rest, sizeof rest);
    EXPECT_EQ(socketReadInt(p.record, &value), 0);
    EXPECT_EQ(value, 0x1234);

    // Part of a field held and nothing more arrived: the read fails at once,
    // the part is consumed, and what comes afterwards starts afresh.
    p.send(six, sizeof six);
    ASSERT_EQ(socketReadInt(p.record, &value), 0);
    EXPECT_EQ(socketReadInt(p.record, &value), -1);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(socketAvailable(p.record), 0u);
    p.send(frame + 4, 1);
    EXPECT_EQ(socketReadByte(p.record, &byte), 0);
    EXPECT_EQ(byte, 5);

    // Surplus behind a request in the same write is dropped by the drain;
    // the next write is the next request.
    p.send(frame, sizeof frame);
    ASSERT_EQ(socketReadInt(p.record, &value), 0);
    socketSkipInput(p.record);
    EXPECT_EQ(socketAvailable(p.record), 0u);
    p.send(six, 4);
    EXPECT_EQ(socketReadInt(p.record, &value), 0);
    EXPECT_EQ(value, 9);
}

TEST(Connection, ReadAllWaitsForEveryByteAndFailsOnEarlyClose) {
    Pair p;
    ASSERT_NE(p.record, nullptr);
    const char text[] = "0123456789";
    p.send(text, 3);
    p.send(text + 3, 7);
    char got[10] = {};
    EXPECT_EQ(socketReadAll(p.record, got, 10), 0);
    EXPECT_EQ(std::memcmp(got, text, 10), 0);

    p.send(text, 4);
    ::shutdown(p.peer, SHUT_WR);
    EXPECT_EQ(socketReadAll(p.record, got, 10), -1);
}

TEST(Connection, ReplyIsOneFrameOfLengthResultAndPayload) {
    Pair p;
    ASSERT_NE(p.record, nullptr);

    // No payload: exactly 8 bytes, the length word 8 and the result.
    p.record->replyLength = 8;
    socketSendReply(p.record, XAER_INVAL);
    std::vector<uint8_t> reply = p.received();
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(intAt(reply, 0), 8);
    EXPECT_EQ(intAt(reply, 4), -5);
    EXPECT_EQ(p.record->replyLength, 8u);  // ready for the next request

    // A null array is the single word -1, whatever its length.
    socketWriteBytes(p.record, nullptr, 500);
    socketSendReply(p.record, 0);
    reply = p.received();
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(intAt(reply, 0), 12);
    EXPECT_EQ(intAt(reply, 8), -1);

    // An integer and a small array are appended in order.
    p.record->replyLength = 8;
    const uint8_t cookie[3] = {7, 8, 9};
    socketWriteBytes(p.record, cookie, 3);
    socketSendReply(p.record, 3);
    reply = p.received();
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_EQ(intAt(reply, 0), 15);
    EXPECT_EQ(intAt(reply, 4), 3);
    EXPECT_EQ(intAt(reply, 8), 3);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 12, reply.end()), std::vector<uint8_t>({7, 8, 9}));
}

TEST(Connection, ArraysUpTo987BytesFitAndLongerOnesAreReportedAndDropped) {
    Pair p;
    ASSERT_NE(p.record, nullptr);
    std::vector<uint8_t> big(1200, 0x5A);

    testing::internal::CaptureStdout();
    p.record->replyLength = 8;
    socketWriteBytes(p.record, big.data(), 987);
    socketSendReply(p.record, 0);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "");
    std::vector<uint8_t> reply = p.received();
    ASSERT_EQ(reply.size(), 999u);
    EXPECT_EQ(intAt(reply, 0), 999);
    EXPECT_EQ(intAt(reply, 8), 987);
    EXPECT_EQ(reply[998], 0x5A);

    // 988 makes 1000: refused, the length word stays, the result is unchanged.
    testing::internal::CaptureStdout();
    socketWriteBytes(p.record, big.data(), 988);
    socketSendReply(p.record, 0);
    printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Buffer overflow in socketWriteBytes : 1000\n");
    reply = p.received();
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(intAt(reply, 0), 12);
    EXPECT_EQ(intAt(reply, 4), 0);
    EXPECT_EQ(intAt(reply, 8), 988);

    // A length near 4 GiB does not wrap around into a small one.
    testing::internal::CaptureStdout();
    socketWriteBytes(p.record, big.data(), 0xFFFFFFFFu);
    socketSendReply(p.record, 0);
    printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Buffer overflow in socketWriteBytes : "), std::string::npos);
    reply = p.received();
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(intAt(reply, 8), -1);
}

TEST(Connection, SkipInputDrainsOnlyWhatHasArrived) {
    Pair p;
    ASSERT_NE(p.record, nullptr);
    std::vector<uint8_t> surplus(2500, 0xEE);
    p.send(surplus.data(), surplus.size());
    EXPECT_EQ(socketAvailable(p.record), 2500u);
    socketSkipInput(p.record);
    EXPECT_EQ(socketAvailable(p.record), 0u);

    // Bytes that come afterwards stay for the next read.
    const uint8_t next = 0x42;
    p.send(&next, 1);
    uint8_t byte = 0;
    EXPECT_EQ(socketReadByte(p.record, &byte), 0);
    EXPECT_EQ(byte, 0x42);

    // Nothing waiting: returns at once.
    socketSkipInput(p.record);
    EXPECT_EQ(socketAvailable(p.record), 0u);
}

}  // namespace
