// The client library against a scripted loopback peer: the request frame as
// it goes out (one write), the handshake check, whole replies read within the
// time-out, malformed replies, and the cookie and recover decoders; plus the
// XID helpers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Endpoints.h"
#include "MorvalenClient.h"
#include "support/Frames.h"
#include "support/Process.h"

using namespace morvalen;

namespace {

using testsupport::Bytes;
using testsupport::putInt;

Bytes replyFrame(int32_t result, const Bytes& payload) {
    Bytes b;
    putInt(&b, static_cast<int32_t>(8 + payload.size()));
    putInt(&b, result);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// A one-connection loopback server on an ephemeral port running script on
// the accepted socket.
struct FakeService {
    explicit FakeService(std::function<void(int)> script) {
        listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(listening, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listening, 4) != 0 ||
            ::getsockname(listening, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
            return;
        }
        port = ntohs(a.sin_port);
        server = std::thread([this, script] {
            int fd = ::accept(listening, nullptr, nullptr);
            if (fd >= 0) {
                script(fd);
                ::close(fd);
            }
        });
    }
    ~FakeService() {
        ::shutdown(listening, SHUT_RDWR);
        if (server.joinable()) server.join();
        ::close(listening);
    }
    int listening = -1;
    uint16_t port = 0;
    std::thread server;
};

// One receive of up to n bytes (waits up to 5 s).
Bytes receiveOnce(int fd, size_t n) {
    Bytes b(n);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return {};
    ssize_t r = ::recv(fd, b.data(), n, 0);
    b.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return b;
}

void sendBytes(int fd, const Bytes& b) { (void)::send(fd, b.data(), b.size(), MSG_NOSIGNAL); }

// The service's side of a good handshake.
bool answerHandshake(int fd) {
    Bytes h = receiveOnce(fd, 16);
    if (std::string(h.begin(), h.end()) != "Morvalen/XA/2.08") return false;
    sendBytes(fd, Bytes{'M', 'o', 'r', 'v', 'a', 'l', 'e', 'n'});
    return true;
}

TEST(Client, RequestGoesOutAsOneFrameAndTheReplyIsReadWhole) {
    Bytes seen;
    int nodelay = 0;
    FakeService service([&](int fd) {
        if (!answerHandshake(fd)) return;
        seen = receiveOnce(fd, 200);  // one receive takes the whole request
        // A reply split over two writes is still read whole.
        Bytes cookie;
        putInt(&cookie, 3);
        cookie.insert(cookie.end(), {0xC0, 0x0C, 0x1E});
        Bytes reply = replyFrame(0, cookie);
        sendBytes(fd, Bytes(reply.begin(), reply.begin() + 6));
        sendBytes(fd, Bytes(reply.begin() + 6, reply.end()));
        receiveOnce(fd, 1);  // until the client closes
    });
    ASSERT_NE(service.port, 0);

    MorvalenConnection c;
    ASSERT_EQ(clientConnect(&c, "127.0.0.1", service.port, 5000), kClientOk);
    socklen_t length = sizeof nodelay;
    ASSERT_EQ(::getsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0);

    XID xid;
    ASSERT_EQ(xidFromText("ab:c", 258, &xid), kClientOk);
    int32_t result = 99;
    MorvalenCookie cookie;
    ASSERT_EQ(clientStart(&c, &xid, TMJOIN, &result, &cookie), kClientOk);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(cookie.length, 3);
    EXPECT_EQ(cookie.bytes[2], 0x1E);
    clientClose(&c);

    Bytes expected = {0, 0, 0, 0, kRequestStart, 0, 0, 0x20, 0, 9, 0x02, 0x01, 0, 0, 2, 1, 'a', 'b', 'c'};
    EXPECT_EQ(seen, expected);
}

TEST(Client, EncodesNullXidAndRefusesXidsTheProtocolCannotCarry) {
    uint8_t frame[kMaxRequest];
    uint32_t length = 0;
    ASSERT_EQ(clientEncodeRequest(kRequestRecover, TMSTARTRSCAN, nullptr, frame, &length), kClientOk);
    EXPECT_EQ(Bytes(frame, frame + length), Bytes({0, 0, 0, 0, 3, 0, 0, 0, 1, 0xFF}));

    XID null{};
    null.formatID = -1;
    ASSERT_EQ(clientEncodeRequest(kRequestQuery, 0, &null, frame, &length), kClientOk);
    EXPECT_EQ(length, 10u);

    XID xid{};
    xid.formatID = 1;
    xid.gtrid_length = 64;
    xid.bqual_length = 64;
    ASSERT_EQ(clientEncodeRequest(kRequestCommit, 0, &xid, frame, &length), kClientOk);
    EXPECT_EQ(length, 144u);
    EXPECT_EQ(frame[9], 134);

    for (auto [g, b] : {std::pair{65, 0}, {0, 65}, {-1, 3}, {1, 0}, {0, 0}}) {
        xid.gtrid_length = g;
        xid.bqual_length = b;
        EXPECT_EQ(clientEncodeRequest(kRequestCommit, 0, &xid, frame, &length), kClientBadArgument) << g << "," << b;
        EXPECT_EQ(length, 0u);
    }
}

TEST(Client, RefusedHandshakeMalformedReplyAndSilenceAreClearResults) {
    {
        FakeService service([](int fd) { receiveOnce(fd, 16); });  // closes without a word
        MorvalenConnection c;
        EXPECT_EQ(clientConnect(&c, "127.0.0.1", service.port, 5000), kClientHandshakeFailed);
        EXPECT_EQ(c.fd, -1);
    }
    {
        FakeService service([](int fd) {
            receiveOnce(fd, 16);
            sendBytes(fd, Bytes{'N', 'o', 't', 'M', 'o', 'r', 'v', 'a'});
            receiveOnce(fd, 1);
        });
        MorvalenConnection c;
        EXPECT_EQ(clientConnect(&c, "127.0.0.1", service.port, 5000), kClientHandshakeFailed);
    }
    for (int32_t badLength : {7, 1001, -8}) {
        FakeService service([badLength](int fd) {
            if (!answerHandshake(fd)) return;
            receiveOnce(fd, 200);
            Bytes reply;
            putInt(&reply, badLength);
            putInt(&reply, 0);
            sendBytes(fd, reply);
            receiveOnce(fd, 1);
        });
        MorvalenConnection c;
        ASSERT_EQ(clientConnect(&c, nullptr, service.port, 5000), kClientOk);
        int32_t result = 5;
        EXPECT_EQ(clientQuery(&c, nullptr, &result), kClientBadReply) << badLength;
        EXPECT_EQ(result, 0);
        EXPECT_EQ(c.fd, -1);  // the stream cannot be trusted: closed
    }
    {
        // No reply at all: the time-out ends the wait.
        FakeService service([](int fd) {
            if (!answerHandshake(fd)) return;
            receiveOnce(fd, 200);
            receiveOnce(fd, 1);
        });
        MorvalenConnection c;
        ASSERT_EQ(clientConnect(&c, "127.0.0.1", service.port, 200), kClientOk);
        int32_t result = 0;
        EXPECT_EQ(clientPrepare(&c, nullptr, 0, &result), kClientTimedOut);
        EXPECT_EQ(clientPrepare(&c, nullptr, 0, &result), kClientNotConnected);
    }
    {
        // The service closes instead of answering (a request code it refuses).
        FakeService service([](int fd) {
            if (!answerHandshake(fd)) return;
            receiveOnce(fd, 200);
        });
        MorvalenConnection c;
        ASSERT_EQ(clientConnect(&c, "127.0.0.1", service.port, 5000), kClientOk);
        MorvalenReply reply;
        EXPECT_EQ(clientRequest(&c, 9, 0, nullptr, &reply), kClientClosed);
    }
    MorvalenConnection c;
    EXPECT_EQ(clientConnect(&c, "no-such-host.invalid", 1439, 2000), kClientResolveFailed);
}

TEST(Client, DecodesCookiesAndRecoverLists) {
    MorvalenReply reply;
    MorvalenCookie cookie;
    // No cookie: the single word -1.
    reply.result = 0;
    reply.payloadLength = 4;
    std::memset(reply.payload, 0xFF, 4);
    ASSERT_EQ(decodeCookie(&reply, &cookie), kClientOk);
    EXPECT_EQ(cookie.length, -1);
    // A length word that disagrees with the payload.
    Bytes p;
    putInt(&p, 10);
    p.insert(p.end(), 5, 1);
    std::memcpy(reply.payload, p.data(), p.size());
    reply.payloadLength = static_cast<uint32_t>(p.size());
    EXPECT_EQ(decodeCookie(&reply, &cookie), kClientBadReply);

    // One XID with format identifier 258, a 3-byte gtrid and a 2-byte bqual:
    // payload word 11, then 02 01 00 00, 03, 02 and the 5 data bytes.
    Bytes one = {11, 0, 0, 0, 0x02, 0x01, 0, 0, 3, 2, 'g', 't', 'r', 'b', 'q'};
    std::memcpy(reply.payload, one.data(), one.size());
    reply.payloadLength = static_cast<uint32_t>(one.size());
    reply.result = 1;
    MorvalenRecoverList list;
    ASSERT_EQ(decodeRecover(&reply, &list), kClientOk);
    ASSERT_EQ(list.count, 1);
    EXPECT_EQ(list.xids[0].formatID, 258);
    EXPECT_EQ(list.xids[0].gtrid_length, 3);
    EXPECT_EQ(list.xids[0].bqual_length, 2);
    char text[300];
    EXPECT_STREQ(xidToText(&list.xids[0], text, sizeof text), "258:0x677472:0x6271");

    // Result and entries disagree, or an entry runs past the payload.
    reply.result = 2;
    EXPECT_EQ(decodeRecover(&reply, &list), kClientBadReply);
    EXPECT_EQ(list.count, 0);
    reply.result = 1;
    reply.payload[8] = 60;
    EXPECT_EQ(decodeRecover(&reply, &list), kClientBadReply);
    // No branches: the single word 0.
    reply.result = 0;
    reply.payloadLength = 4;
    std::memset(reply.payload, 0, 4);
    ASSERT_EQ(decodeRecover(&reply, &list), kClientOk);
    EXPECT_EQ(list.count, 0);
}

TEST(Client, XidHelpersTakeTextOrHexAndRefuseOversizedParts) {
    XID x;
    ASSERT_EQ(xidFromText("order-17:db1", 7, &x), kClientOk);
    EXPECT_EQ(x.formatID, 7);
    EXPECT_EQ(x.gtrid_length, 8);
    EXPECT_EQ(x.bqual_length, 3);
    EXPECT_EQ(std::memcmp(x.data, "order-17db1", 11), 0);

    ASSERT_EQ(xidFromText("0x0aFF:0x", 1, &x), kClientOk);
    EXPECT_EQ(x.gtrid_length, 2);
    EXPECT_EQ(x.bqual_length, 0);
    EXPECT_EQ(static_cast<uint8_t>(x.data[1]), 0xFF);
    char text[300];
    EXPECT_STREQ(xidToText(&x, text, sizeof text), "1:0x0aff:0x");
    char tiny[6];
    EXPECT_STREQ(xidToText(&x, tiny, sizeof tiny), "1:0x0");

    EXPECT_EQ(xidFromText(std::string(65, 'g').c_str(), 1, &x), kClientBadArgument);
    EXPECT_EQ(x.formatID, -1);
    EXPECT_EQ(xidFromText(("a:0x" + std::string(130, '0')).c_str(), 1, &x), kClientBadArgument);
    EXPECT_EQ(xidFromText("0xabc", 1, &x), kClientBadArgument);
    EXPECT_EQ(xidFromText("0xzz", 1, &x), kClientBadArgument);

    // Lengths beyond the data array are rendered without reading past it.
    XID odd{};
    odd.formatID = 3;
    odd.gtrid_length = 100;
    odd.bqual_length = 100;
    std::string shown = xidToText(&odd, text, sizeof text);
    EXPECT_EQ(shown.size(), std::string("3:0x").size() + 256 + 3);
}

}  // namespace

namespace {

// A loopback port nothing listens on: bound once, then closed.
uint16_t refusingPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

std::string at(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// A service that answers the handshake and each request with result, until the client goes.
std::function<void(int)> answering(int32_t result) {
    return [result](int fd) {
        if (!answerHandshake(fd)) return;
        while (!receiveOnce(fd, 200).empty()) sendBytes(fd, replyFrame(result, {}));
    };
}

}  // namespace

TEST(ClientEndpoints, ListsParseInEveryFormAndBadOnesAreRefusedBeforeAnyAttempt) {
    struct Case {
        const char* text;
        std::vector<std::string> expected;  // empty: refused
    };
    const Case cases[] = {
        {"db-host", {"db-host:1439"}},
        {"host1:1439, host2:1500 ,[::1]:7,fe80::1,10.0.0.2", {"host1:1439", "host2:1500", "[::1]:7", "[fe80::1]:1439",
                                                            "10.0.0.2:1439"}},
        {"[::1]", {"[::1]:1439"}},
        {"", {}}, {" ", {}}, {"a,", {}}, {",a", {}}, {"a,,b", {}}, {"a:0", {}}, {"a:65536", {}}, {"a:", {}},
        {"a:1x", {}}, {":5", {}}, {"[::1", {}}, {"[::1]5", {}}, {"[]:5", {}}, {"a:123456", {}},
    };
    for (const Case& k : cases) {
        std::vector<std::string> seen;
        bool ok = true;
        for (const char* cursor = k.text; cursor != nullptr;) {
            ClientEndpoint e;
            if (!endpointNext(&cursor, 1439, &e)) {
                ok = false;
                continue;
            }
            char text[kMaxEndpointText];
            endpointText(e, text, sizeof text);
            seen.emplace_back(text);
        }
        if (k.expected.empty()) {
            EXPECT_FALSE(ok) << k.text;
        } else {
            EXPECT_TRUE(ok) << k.text;
            EXPECT_EQ(seen, k.expected) << k.text;
        }
    }
    std::string longest(kMaxEndpointHost, 'h');
    const char* cursor = longest.c_str();
    ClientEndpoint e;
    EXPECT_TRUE(endpointNext(&cursor, 1, &e));
    std::string tooLong = longest + "h:1";
    cursor = tooLong.c_str();
    EXPECT_FALSE(endpointNext(&cursor, 1, &e));
    cursor = "db-host";
    EXPECT_FALSE(endpointNext(&cursor, 0, &e)) << "no port anywhere";

    // A bad entry behind a good endpoint: refused before the good one is tried.
    FakeService service(answering(0));
    MorvalenConnection c;
    EXPECT_EQ(clientConnect(&c, (at(service.port) + ",a:0").c_str(), 1439, 5000), kClientBadArgument);
    EXPECT_EQ(c.fd, -1);
    ASSERT_EQ(clientConnect(&c, at(service.port).c_str(), 1439, 5000), kClientOk) << "the service was not touched";
    clientClose(&c);
}

TEST(ClientEndpoints, TheFirstEndpointThatAnswersTheHandshakeWinsInListOrder) {
    uint16_t refused = refusingPort();
    FakeService imposter([](int fd) {
        receiveOnce(fd, 16);
        sendBytes(fd, Bytes{'N', 'o', 't', 'M', 'o', 'r', 'v', 'a'});
        receiveOnce(fd, 1);
    });
    FakeService mute([](int fd) { receiveOnce(fd, 1); });  // never answers the handshake
    FakeService a(answering(0));
    FakeService b(answering(0));
    std::string list = at(refused) + "," + at(imposter.port) + "," + at(mute.port) + "," + at(a.port) + "," + at(b.port);
    MorvalenConnection c;
    ASSERT_EQ(clientConnect(&c, list.c_str(), 1439, 300), kClientOk);
    EXPECT_STREQ(c.endpoint, at(a.port).c_str());
    EXPECT_EQ(c.endpointIndex, 3);
    int32_t result = 9;
    ASSERT_EQ(clientQuery(&c, nullptr, &result), kClientOk);
    EXPECT_EQ(result, 0);
    clientClose(&c);
    // The order is the list's: b first now.
    FakeService a2(answering(0));
    FakeService b2(answering(0));
    ASSERT_EQ(clientConnect(&c, (at(b2.port) + "," + at(a2.port)).c_str(), 1439, 5000), kClientOk);
    EXPECT_STREQ(c.endpoint, at(b2.port).c_str());
    clientClose(&c);
}

TEST(ClientEndpoints, WhenEveryEndpointFailsTheStatusIsTheLastOnes) {
    uint16_t refused = refusingPort();
    {
        FakeService imposter([](int fd) { receiveOnce(fd, 16); });  // closes without a word
        MorvalenConnection c;
        EXPECT_EQ(clientConnect(&c, (at(refused) + "," + at(imposter.port)).c_str(), 1439, 5000),
                  kClientHandshakeFailed);
        EXPECT_STREQ(c.endpoint, at(imposter.port).c_str());
        EXPECT_EQ(c.fd, -1);
    }
    {
        FakeService imposter([](int fd) { receiveOnce(fd, 16); });
        MorvalenConnection c;
        EXPECT_EQ(clientConnect(&c, (at(imposter.port) + "," + at(refused)).c_str(), 1439, 5000),
                  kClientConnectFailed);
        EXPECT_EQ(c.lastErrno, ECONNREFUSED);
        EXPECT_STREQ(c.endpoint, at(refused).c_str());
    }
    MorvalenConnection c;
    EXPECT_EQ(clientConnect(&c, ("no-such-host.invalid," + at(refused)).c_str(), 1439, 2000), kClientConnectFailed);
    EXPECT_EQ(clientConnect(&c, (at(refused) + ",no-such-host.invalid").c_str(), 1439, 2000), kClientResolveFailed);
}

TEST(ClientEndpoints, AnEndpointThatAnswersRmfailSendsTheNextConnectToTheFollowingOne) {
    FakeService standby(answering(XAER_RMFAIL));
    FakeService active(answering(0));
    std::string list = at(standby.port) + "," + at(active.port);
    MorvalenConnection c;
    ASSERT_EQ(clientConnect(&c, list.c_str(), 1439, 5000), kClientOk);
    EXPECT_EQ(c.endpointIndex, 0);
    int32_t result = 0;
    ASSERT_EQ(clientPrepare(&c, nullptr, 0, &result), kClientOk);
    EXPECT_EQ(result, XAER_RMFAIL);
    EXPECT_EQ(c.fd, -1) << "closed: the answer came from a service without an active coordinator";
    ASSERT_EQ(clientConnect(&c, list.c_str(), 1439, 5000), kClientOk);
    EXPECT_STREQ(c.endpoint, at(active.port).c_str());
    ASSERT_EQ(clientPrepare(&c, nullptr, 0, &result), kClientOk);
    EXPECT_EQ(result, 0);
    clientClose(&c);

    // One endpoint: XAER_RMFAIL is only a result, the connection stays.
    FakeService alone(answering(XAER_RMFAIL));
    ASSERT_EQ(clientConnect(&c, at(alone.port).c_str(), 1439, 5000), kClientOk);
    ASSERT_EQ(clientPrepare(&c, nullptr, 0, &result), kClientOk);
    ASSERT_EQ(clientPrepare(&c, nullptr, 0, &result), kClientOk);
    EXPECT_EQ(result, XAER_RMFAIL);
    clientClose(&c);
}

TEST(ClientEndpoints, MorvalenctlTakesAListInHost) {
    uint16_t refused = refusingPort();
    FakeService service(answering(0));
    testsupport::ChildProcess child;
    ASSERT_TRUE(testsupport::startProcess(&child, testsupport::binPath("morvalenctl"),
                                          {"--host", at(refused) + ",127.0.0.1", "--port",
                                           std::to_string(service.port), "query", "order-1:db"}));
    testsupport::ExitStatus status;
    ASSERT_TRUE(testsupport::waitForExit(&child, 20000, &status));
    EXPECT_EQ(status.code, 0) << testsupport::readOutput(child);
    EXPECT_NE(testsupport::readOutput(child).find("query: branch held"), std::string::npos);

    testsupport::ChildProcess failing;
    ASSERT_TRUE(testsupport::startProcess(&failing, testsupport::binPath("morvalenctl"),
                                          {"--host", "127.0.0.1," + at(refused), "--port", std::to_string(refused),
                                           "query", "order-1:db"}));
    ASSERT_TRUE(testsupport::waitForExit(&failing, 20000, &status));
    EXPECT_EQ(status.code, 2);
    EXPECT_NE(testsupport::readOutput(failing).find("no endpoint answered, the last (" + at(refused) + ")"),
              std::string::npos)
        << testsupport::readOutput(failing);
}
