// The listener in-process, on an ephemeral loopback port: the handshake rules
// (exactly 16 bytes in one receive, no zero byte, no reply to a refused one),
// the 1000 ms limit during which nobody else is admitted, a request in the
// handshake's write, and that the next client is served after each. One
// listener serves the whole binary.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/Listener.h"
#include "support/Frames.h"
#include "support/Loopback.h"
#include "service/Runtime.h"
#include "platform/Socket.h"

namespace {

using testsupport::Bytes;
using testsupport::closedSilently;
using testsupport::readUpTo;

const Bytes kHandshakeBytes = testsupport::handshakeBytes();
const Bytes kQueryNull = testsupport::concat(testsupport::requestHeader(kRequestQuery), Bytes{0xFF});  // null XID

class ListenerEnvironment : public testing::Environment {
public:
    void SetUp() override {
        listenerSetPort(0);
        // The listener runs until the process ends; stopping it is the stop
        // sequence's business and is tested with it.
        std::thread([] { (void)runListener(); }).detach();
        for (int i = 0; i < 500 && listenerBoundPort() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polls, bounded
        }
        ASSERT_NE(listenerBoundPort(), 0) << "the listener did not bind";
    }
};

const auto* const environment = testing::AddGlobalTestEnvironment(new ListenerEnvironment);

int connectToListener() { return testsupport::connectLoopback(listenerBoundPort()); }

void sendBytes(int fd, const Bytes& b) {
    ASSERT_EQ(testsupport::sendBytes(fd, b.data(), b.size()), static_cast<long>(b.size()));
}

// A client admitted and served one request.
void expectServed() {
    int fd = connectToListener();
    ASSERT_GE(fd, 0);
    sendBytes(fd, kHandshakeBytes);
    EXPECT_EQ(readUpTo(fd, 8), testsupport::handshakeReplyBytes());
    sendBytes(fd, kQueryNull);
    Bytes reply = readUpTo(fd, 8);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[0], 8);
    ::close(fd);
}

TEST(Listener, AdmitsTheHandshakeAndServesItsConnection) {
    expectServed();
    // Handshake and request in one write: the listener reads exactly 16 bytes
    // and the request stays for the connection loop.
    int fd = connectToListener();
    ASSERT_GE(fd, 0);
    Bytes both = kHandshakeBytes;
    both.insert(both.end(), kQueryNull.begin(), kQueryNull.end());
    sendBytes(fd, both);
    Bytes got = readUpTo(fd, 16);
    ASSERT_EQ(got.size(), 16u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 8), "Morvalen");
    EXPECT_EQ(got[8], 8);
    ::close(fd);
}

TEST(Listener, RefusedHandshakesGetNoReplyAndTheNextClientIsServed) {
    Bytes wrong = kHandshakeBytes;
    wrong[15] = '9';
    Bytes zero = kHandshakeBytes;
    zero[5] = 0;
    Bytes shortOne(kHandshakeBytes.begin(), kHandshakeBytes.begin() + 15);
    for (const Bytes& attempt : {wrong, zero, Bytes(16, 0), shortOne}) {
        int fd = connectToListener();
        ASSERT_GE(fd, 0);
        sendBytes(fd, attempt);
        if (attempt.size() < 16) {
            ::shutdown(fd, SHUT_WR);  // a short value and then nothing more
        }
        EXPECT_TRUE(closedSilently(fd));
        ::close(fd);
        expectServed();
    }
    // A client that closes before sending anything.
    int fd = connectToListener();
    ASSERT_GE(fd, 0);
    ::close(fd);
    expectServed();
}

TEST(Listener, SplitHandshakeFailsOnTheFirstReceive) {
    int fd = connectToListener();
    ASSERT_GE(fd, 0);
    sendBytes(fd, Bytes(kHandshakeBytes.begin(), kHandshakeBytes.begin() + 8));
    // The one receive returns 8 bytes: refused, whatever follows.
    EXPECT_TRUE(closedSilently(fd));
    ::close(fd);
    expectServed();
}

TEST(Listener, ASilentClientIsDroppedAfterASecondAndHoldsUpNobody) {
    // The handshake is read on the new connection's own thread: the next
    // client is admitted while the silent one still has its second.
    int silent = connectToListener();
    ASSERT_GE(silent, 0);
    auto began = std::chrono::steady_clock::now();
    int next = connectToListener();
    ASSERT_GE(next, 0);
    sendBytes(next, kHandshakeBytes);
    EXPECT_EQ(readUpTo(next, 8).size(), 8u);
    uint8_t byte;
    bool silentStillOpen = ::recv(silent, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    bool withinItsSecond = std::chrono::steady_clock::now() - began < std::chrono::milliseconds(900);
    EXPECT_TRUE(silentStillOpen || !withinItsSecond);  // (a very slow machine may take the second)
    EXPECT_TRUE(closedSilently(silent));  // and then dropped without a word
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(900));
    ::close(silent);
    ::close(next);
}

}  // namespace
