// The wire protocol end to end: the real morvalen in a console run on port
// 1439 (this binary runs in a network namespace of its own), spoken to through
// raw sockets for the malformed cases and through the client library and
// morvalenctl for the well-formed ones. After every bad input the service must
// still serve the next client.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "MorvalenClient.h"
#include "support/Frames.h"
#include "support/Loopback.h"
#include "support/Process.h"

namespace {

using testsupport::Bytes;
using testsupport::ChildProcess;
using testsupport::closedSilently;
using testsupport::concat;
using testsupport::readUpTo;

constexpr uint16_t kPort = kServicePort;
const Bytes kHandshakeBytes = testsupport::handshakeBytes();

Bytes header(uint8_t code) { return testsupport::requestHeader(code); }

int connectRaw() { return testsupport::connectLoopback(kPort); }

void sendBytes(int fd, const Bytes& b) {
    ASSERT_EQ(testsupport::sendBytes(fd, b.data(), b.size()), static_cast<long>(b.size()));
}

// A raw connection past the handshake.
int admitted() {
    int fd = connectRaw();
    if (fd < 0) return -1;
    if (testsupport::sendBytes(fd, kHandshakeBytes.data(), kHandshakeBytes.size()) != kHandshakeLength ||
        readUpTo(fd, 8) != testsupport::handshakeReplyBytes()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int32_t resultOf(const Bytes& reply) { return testsupport::intAt(reply, 4); }

// The next client gets through the handshake and an answer to a query.
void expectNextClientServed() {
    morvalen::MorvalenConnection c;
    ASSERT_EQ(morvalen::clientConnect(&c, "127.0.0.1", kPort, 5000), morvalen::kClientOk);
    int32_t result = 0;
    EXPECT_EQ(morvalen::clientQuery(&c, nullptr, &result), morvalen::kClientOk);
    morvalen::clientClose(&c);
}

class Wire : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::startProcess(&service, testsupport::binPath("morvalen"), {}, {"NOTIFY_SOCKET"}));
        ASSERT_TRUE(testsupport::waitForOutput(service, "SetServiceStatus failed\n", 5000)) << testsupport::readOutput(service);
        ASSERT_TRUE(testsupport::waitForTcpPort(kPort, 5000));
    }
    void TearDown() override {
        // Alive after everything the test sent it.
        EXPECT_TRUE(testsupport::sendSignal(service, 0)) << testsupport::readOutput(service);
    }
    ChildProcess service;
};

TEST_F(Wire, ConsoleRunReportsAndServes) {
    std::string out = testsupport::readOutput(service);
    EXPECT_NE(out.find("Start Service from Console\n"), std::string::npos) << out;
    EXPECT_NE(out.find("SetServiceStatus failed\n"), std::string::npos) << out;
    expectNextClientServed();

    // morvalenctl over the same protocol: an answer is exit 0 or 1, a
    // refused connection exit 2.
    ChildProcess tool;
    ASSERT_TRUE(testsupport::startProcess(&tool, testsupport::binPath("morvalenctl"), {"query", "order-1:db"}));
    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(&tool, 10000, &status));
    EXPECT_TRUE(status.exited && (status.code == 0 || status.code == 1)) << testsupport::readOutput(tool);
    EXPECT_NE(testsupport::readOutput(tool).find("query: "), std::string::npos);

    ChildProcess refused;
    ASSERT_TRUE(testsupport::startProcess(&refused, testsupport::binPath("morvalenctl"), {"--port", "1", "query", "ab"}));
    ASSERT_TRUE(testsupport::waitForExit(&refused, 10000, &status));
    EXPECT_TRUE(status.exited && status.code == 2);
}

TEST_F(Wire, SecondServiceOnTheSamePortReportsTheBindFailure) {
    ChildProcess second;
    ASSERT_TRUE(testsupport::startProcess(&second, testsupport::binPath("morvalen"), {}, {"NOTIFY_SOCKET"}));
    // The text ends in its own line end, and the reporter adds one.
    std::string expected = "bind() failed with error " + std::to_string(EADDRINUSE) + ": " + std::strerror(EADDRINUSE) + "\n\n";
    EXPECT_TRUE(testsupport::waitForOutput(second, expected, 5000)) << testsupport::readOutput(second);
    expectNextClientServed();  // the first one is untouched
}

TEST_F(Wire, BadHandshakesAreDroppedWithoutReply) {
    Bytes wrong = kHandshakeBytes;
    wrong[0] = 'm';
    Bytes zero = kHandshakeBytes;
    zero[8] = 0;
    Bytes shortOne(kHandshakeBytes.begin(), kHandshakeBytes.begin() + 10);
    for (const Bytes& attempt : {wrong, zero, shortOne}) {
        int fd = connectRaw();
        ASSERT_GE(fd, 0);
        sendBytes(fd, attempt);
        if (attempt.size() < 16) ::shutdown(fd, SHUT_WR);
        EXPECT_TRUE(closedSilently(fd));
        ::close(fd);
        expectNextClientServed();
    }
    // Split in two writes: the one receive gets the first part only.
    int fd = connectRaw();
    ASSERT_GE(fd, 0);
    sendBytes(fd, Bytes(kHandshakeBytes.begin(), kHandshakeBytes.begin() + 7));
    EXPECT_TRUE(closedSilently(fd));
    ::close(fd);
    expectNextClientServed();
}

TEST_F(Wire, SilentConnectionsHoldUpNoOtherClient) {
    // Six connections that send nothing: each has its own second, on its own
    // thread, and the next client's handshake is answered while all six are
    // still open (before, it waited six seconds behind them).
    std::vector<int> silent;
    for (int i = 0; i < 6; ++i) {
        silent.push_back(connectRaw());
        ASSERT_GE(silent.back(), 0);
    }
    auto began = std::chrono::steady_clock::now();
    int next = connectRaw();
    ASSERT_GE(next, 0);
    sendBytes(next, kHandshakeBytes);
    EXPECT_EQ(readUpTo(next, 8).size(), 8u);
    int stillOpen = 0;
    for (int fd : silent) {
        uint8_t byte;
        stillOpen += ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN ? 1 : 0;
    }
    if (std::chrono::steady_clock::now() - began < std::chrono::milliseconds(900)) {
        EXPECT_EQ(stillOpen, 6);
    }
    for (int fd : silent) {
        EXPECT_TRUE(closedSilently(fd));  // each dropped after its second, without a word
        ::close(fd);
    }
    ::close(next);
    expectNextClientServed();
}

TEST_F(Wire, HandshakeAndRequestInOneWrite) {
    int fd = connectRaw();
    ASSERT_GE(fd, 0);
    sendBytes(fd, concat(kHandshakeBytes, concat(header(7), Bytes{0xFF})));
    Bytes got = readUpTo(fd, 16);
    ASSERT_EQ(got.size(), 16u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 8), "Morvalen");
    EXPECT_EQ(got[8], 8);  // an 8-byte reply follows
    ::close(fd);
}

TEST_F(Wire, RequestCodesAbove7CloseTheConnection) {
    for (int code = 8; code <= 255; ++code) {
        int fd = admitted();
        ASSERT_GE(fd, 0) << "code " << code;
        sendBytes(fd, concat(header(static_cast<uint8_t>(code)), Bytes{0xFF}));
        EXPECT_TRUE(closedSilently(fd)) << "code " << code;
        ::close(fd);
    }
    expectNextClientServed();
}

TEST_F(Wire, MalformedXidFieldsAnswerInvalAndKeepTheConnection) {
    int fd = admitted();
    ASSERT_GE(fd, 0);
    std::vector<int> lengths = {0, 1, 2, 3, 4, 5, 6, 7};
    for (int l = 135; l <= 254; ++l) lengths.push_back(l);
    for (int length : lengths) {
        sendBytes(fd, concat(header(7), Bytes{static_cast<uint8_t>(length)}));
        Bytes reply = readUpTo(fd, 8);
        ASSERT_EQ(reply.size(), 8u) << "L = " << length;
        EXPECT_EQ(resultOf(reply), XAER_INVAL) << "L = " << length;
    }
    // Sum mismatch: lengths 3 and 2 in a body of 10 bytes.
    Bytes body = {10, 1, 0, 0, 0, 3, 2, 'a', 'b', 'c', 'd'};
    sendBytes(fd, concat(header(0), body));
    Bytes reply = readUpTo(fd, 8);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(resultOf(reply), XAER_INVAL);

    // The same connection goes on serving.
    sendBytes(fd, concat(header(7), Bytes{0xFF}));
    reply = readUpTo(fd, 8);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_NE(resultOf(reply), XAER_INVAL);
    ::close(fd);
}

TEST_F(Wire, PeerClosingMidFrameGetsNoReplyAndOthersGoOn) {
    Bytes frame = concat(header(0), Bytes{12, 1, 0, 0, 0, 3, 3, 'g', 't', 'r', 'b', 'q', 'l'});
    for (size_t cut : {size_t{2}, size_t{5}, size_t{9}, size_t{10}, size_t{15}, frame.size() - 1}) {
        int fd = admitted();
        ASSERT_GE(fd, 0);
        sendBytes(fd, Bytes(frame.begin(), frame.begin() + static_cast<long>(cut)));
        ::shutdown(fd, SHUT_WR);
        EXPECT_TRUE(closedSilently(fd)) << "cut after " << cut;
        ::close(fd);
        expectNextClientServed();
    }
}

TEST_F(Wire, SurplusInputIsDrainedAndTheConnectionServesOn) {
    int fd = admitted();
    ASSERT_GE(fd, 0);
    sendBytes(fd, concat(concat(header(7), Bytes{0xFF}), Bytes(2500, 0x33)));
    Bytes reply = readUpTo(fd, 8);
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[0], 8);

    // The next request on this connection is read from a clean stream. The
    // drain takes only what had arrived, so wait for the answer above first.
    morvalen::MorvalenConnection c;
    c.fd = fd;
    c.timeoutMs = 5000;
    int32_t result = 0;
    EXPECT_EQ(morvalen::clientQuery(&c, nullptr, &result), morvalen::kClientOk);
    morvalen::clientClose(&c);
    expectNextClientServed();
}

}  // namespace
