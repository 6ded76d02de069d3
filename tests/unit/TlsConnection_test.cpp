// The wire primitives inside a TLS session, over a connected socket pair with
// an OpenSSL client on the test's end: a field cut short by a record fails as
// a short receive does, a frame in one record is read field by field, the
// drain takes what is already decrypted, a reply leaves as one record. Also
// the per-address limit on refusal reports.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "net/Connection.h"
#include "net/Tls.h"
#include "platform/Tls.h"
#include "support/Process.h"

namespace {

// A self-signed server certificate, made once with the openssl command.
struct ServerFiles {
    testsupport::TempDir dir;
    std::string certificate = dir.path + "/server.pem";
    std::string key = dir.path + "/server.key";
    bool made = false;
    ServerFiles() {
        std::string line = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                           "-subj /CN=localhost -keyout " + key + " -out " + certificate + " >/dev/null 2>&1";
        made = !dir.path.empty() && std::system(line.c_str()) == 0;
    }
};

const ServerFiles& serverFiles() {
    static ServerFiles files;
    return files;
}

// A record on one end of a socket pair with its TLS session set up; the test
// holds an OpenSSL client on the other end.
struct TlsPair {
    ClientConnection* record = nullptr;
    int peer = -1;
    SSL_CTX* clientContext = nullptr;
    SSL* client = nullptr;
    platform::TlsServer* server = nullptr;

    bool open() {
        platform::TlsLoadFailure failure = platform::TlsLoadFailure::None;
        char reason[256];
        if (!serverFiles().made ||
            platform::tlsServerLoad(serverFiles().certificate.c_str(), serverFiles().key.c_str(), nullptr, &server,
                                    &failure, reason, sizeof reason) != 0) {
            return false;
        }
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
        record = connectionAllocate();
        record->socket = fds[0];
        peer = fds[1];
        clientContext = SSL_CTX_new(TLS_client_method());
        client = SSL_new(clientContext);
        SSL_set_fd(client, peer);
        platform::TlsRefusal refusal = platform::TlsRefusal::None;
        std::thread accepting([&] {
            record->tls = platform::tlsAccept(server, record->socket, 5000, &refusal, reason, sizeof reason);
        });
        bool connected = SSL_connect(client) == 1;
        accepting.join();
        return connected && record->tls != nullptr;
    }
    ~TlsPair() {
        if (record != nullptr) {
            socketClose(record);
            connectionFree(record);
        }
        SSL_free(client);
        SSL_CTX_free(clientContext);
        if (peer >= 0) ::close(peer);
        platform::tlsServerRelease(server);
    }
    // One record of n bytes from the client.
    void sendRecord(const void* bytes, int n) const { ASSERT_EQ(SSL_write(client, bytes, n), n); }
};

TEST(TlsConnection, FieldsAreReadRecordByRecordAndAShortFieldFailsAsInPlaintext) {
    TlsPair p;
    ASSERT_TRUE(p.open());

    // A whole frame header in one record: read field by field.
    const uint8_t header[9] = {1, 0, 0, 0, 5, 0x02, 0, 0, 0};
    p.sendRecord(header, sizeof header);
    int32_t reserved = 0;
    uint8_t code = 0;
    int32_t flags = 0;
    EXPECT_EQ(socketReadInt(p.record, &reserved), 0);
    EXPECT_EQ(socketReadByte(p.record, &code), 0);
    EXPECT_EQ(socketReadInt(p.record, &flags), 0);
    EXPECT_EQ(reserved, 1);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(flags, 2);

    // A 4-byte field split over two records: the one receive yields two bytes
    // and the read fails with its sentinel, exactly as a split TCP segment.
    const uint8_t half[2] = {7, 7};
    p.sendRecord(half, 2);
    p.sendRecord(half, 2);
    int32_t value = 0;
    EXPECT_EQ(socketReadInt(p.record, &value), -1);
    EXPECT_EQ(value, -1);
}

TEST(TlsConnection, DrainTakesWhatIsDecryptedAndAReplyIsOneRecord) {
    TlsPair p;
    ASSERT_TRUE(p.open());
    uint8_t frame[15] = {0, 0, 0, 0, 3, 0, 0, 0, 0, 0xFF, 'x', 'y', 'z', 'w', 'v'};
    p.sendRecord(frame, sizeof frame);
    uint8_t first[10];
    ASSERT_EQ(socketReadBytes(p.record, first, 10), 10);
    EXPECT_EQ(socketAvailable(p.record), 5u);
    socketSkipInput(p.record);
    EXPECT_EQ(socketAvailable(p.record), 0u);

    socketWriteInt(p.record, 42);
    socketSendReply(p.record, -4);
    uint8_t reply[64];
    ASSERT_EQ(SSL_read(p.client, reply, sizeof reply), 12);  // one record: the whole reply
    int32_t length = 0;
    int32_t result = 0;
    std::memcpy(&length, reply, 4);
    std::memcpy(&result, reply + 4, 4);
    EXPECT_EQ(length, 12);
    EXPECT_EQ(result, -4);
}

TEST(TlsConnection, SilenceIsIdleAndAPeerThatLeftGivesTheSentinel) {
    TlsPair p;
    ASSERT_TRUE(p.open());
    ASSERT_EQ(socketSetTimeout(p.record, 50), 0);
    int32_t value = 0;
    EXPECT_EQ(socketReadFirstInt(p.record, &value), kReadIdle);
    EXPECT_EQ(value, -1);

    (void)SSL_shutdown(p.client);
    ::shutdown(p.peer, SHUT_WR);
    uint8_t byte = 0;
    EXPECT_EQ(socketReadByte(p.record, &byte), -1);
    EXPECT_EQ(byte, 0xFF);
}

TEST(TlsRefusalReports, AtMostOneLinePerAddressPerMinute) {
    const uint32_t start = 0xFFFFF000u;  // the minute runs across the tick count's wrap-around
    EXPECT_TRUE(tlsRefusalReportDue("192.0.2.1", start));
    EXPECT_FALSE(tlsRefusalReportDue("192.0.2.1", start + 1000));
    EXPECT_TRUE(tlsRefusalReportDue("192.0.2.2", start + 1000));  // another address has its own minute
    EXPECT_FALSE(tlsRefusalReportDue("192.0.2.1", start + 59999));
    EXPECT_TRUE(tlsRefusalReportDue("192.0.2.1", start + 60000));
    EXPECT_FALSE(tlsRefusalReportDue("192.0.2.2", start + 60000));
}

}  // namespace
