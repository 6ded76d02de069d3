// TLS on the service's port, end to end: the real morvalen (console run, port
// 1439, in this binary's own network namespace) with certificates made at test
// time by the openssl command, spoken to through the client library. Covers
// the protocol inside TLS with client certificates, plaintext and refused
// clients, a silent peer, SIGHUP rotation, and the starts that must be refused.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "MorvalenClient.h"
#include "support/Loopback.h"
#include "support/Process.h"

namespace {

using testsupport::ChildProcess;
constexpr uint16_t kPort = 1439;

// Runs one openssl command line (quiet); true when it succeeded.
bool openssl(const std::string& arguments) {
    std::string line = "openssl " + arguments + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

// The certificates of every test, made once: two CAs, the server's (for the
// names localhost and 127.0.0.1), clients alice and bob from the right CA,
// mallory from the other one, an expired one, and a second server certificate
// from a third CA for rotation.
struct Certificates {
    testsupport::TempDir dir;
    bool made = false;

    std::string path(const std::string& name) const { return dir.path + "/" + name; }

    bool makeCa(const std::string& name) {
        return openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=" + name +
                       " -keyout " + path(name + ".key") + " -out " + path(name + ".pem"));
    }
    // A key and a certificate for common name cn, signed by ca, valid for days
    // (-1: expired yesterday), with the given subjectAltName extension or none.
    bool makeLeaf(const std::string& name, const std::string& cn, const std::string& ca, int days,
                  const std::string& alternativeNames = "") {
        std::string extensions;
        if (!alternativeNames.empty()) {
            std::ofstream(path(name + ".ext")) << "subjectAltName=" << alternativeNames << "\n";
            extensions = " -extfile " + path(name + ".ext");
        }
        return openssl("req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + cn + " -keyout " +
                       path(name + ".key") + " -out " + path(name + ".csr")) &&
               openssl("x509 -req -in " + path(name + ".csr") + " -CA " + path(ca + ".pem") + " -CAkey " +
                       path(ca + ".key") + " -CAcreateserial -days " + std::to_string(days) + " -out " +
                       path(name + ".pem") + extensions);
    }
    Certificates() {
        made = !dir.path.empty() && makeCa("ca") && makeCa("otherca") && makeCa("newca") &&
               makeLeaf("server", "localhost", "ca", 2, "DNS:localhost,IP:127.0.0.1") &&
               makeLeaf("server2", "localhost", "newca", 2, "DNS:localhost,IP:127.0.0.1") &&
               makeLeaf("alice", "alice", "ca", 2) && makeLeaf("bob", "bob", "ca", 2, "DNS:bob.example") &&
               makeLeaf("mallory", "alice", "otherca", 2) && makeLeaf("expired", "alice", "ca", -1);
    }
};

const Certificates& certificates() {
    static Certificates made;
    return made;
}

std::string cert(const std::string& name) { return certificates().path(name); }

// The server's settings: certificate and key, and the client CA.
std::vector<std::string> mutualSettings() {
    return {"MORVALEN_TLS_CERTIFICATE=" + cert("server.pem"), "MORVALEN_TLS_KEY=" + cert("server.key"),
            "MORVALEN_TLS_CLIENT_CA=" + cert("ca.pem")};
}

bool startService(ChildProcess* service, std::vector<std::string> environment) {
    environment.push_back("NOTIFY_SOCKET");
    environment.push_back("LD_LIBRARY_PATH=" + testsupport::libDir());
    return testsupport::startProcess(service, testsupport::binPath("morvalen"), {}, environment) &&
           testsupport::waitForTcpPort(kPort, 10000);
}

// Client options: the CA to verify the server with, and a client certificate
// by name ("" for none).
morvalen::MorvalenTlsOptions clientOptions(const std::string& client, const std::string& ca = "ca") {
    static std::vector<std::string> kept;  // the texts the options point into
    kept.push_back(cert(ca + ".pem"));
    morvalen::MorvalenTlsOptions o;
    o.caFile = kept.back().c_str();
    if (!client.empty()) {
        kept.push_back(cert(client + ".pem"));
        o.certFile = kept.back().c_str();
        kept.push_back(cert(client + ".key"));
        o.keyFile = kept.back().c_str();
    }
    return o;
}

// Connects over TLS and asks whether a branch is held: the client status of
// the connect (kClientOk when the query was answered too).
int32_t connectAndQuery(const morvalen::MorvalenTlsOptions& options, std::string* why = nullptr) {
    morvalen::MorvalenConnection c;
    int32_t status = morvalen::clientConnect(&c, "127.0.0.1", kPort, 5000, &options);
    if (why != nullptr) *why = c.tlsError;
    if (status != morvalen::kClientOk) return status;
    XID x{};
    EXPECT_EQ(morvalen::xidMake(0x4D56, "q1", 2, "b", 1, &x), morvalen::kClientOk);
    int32_t result = -99;
    status = morvalen::clientQuery(&c, &x, &result);
    EXPECT_EQ(result, status == morvalen::kClientOk ? 1 : 0);  // no branch held
    morvalen::clientClose(&c);
    return status;
}

TEST(Tls, ProtocolRunsInsideTlsWithClientCertificatesAndPlaintextIsDropped) {
    ASSERT_TRUE(certificates().made);
    ChildProcess service;
    ASSERT_TRUE(startService(&service, mutualSettings()));

    EXPECT_EQ(connectAndQuery(clientOptions("alice")), morvalen::kClientOk);
    EXPECT_EQ(connectAndQuery(clientOptions("bob")), morvalen::kClientOk);

    // A plaintext client on the TLS port gets no protocol handshake; the
    // service reports the refusal and goes on serving others.
    morvalen::MorvalenConnection plain;
    EXPECT_NE(morvalen::clientConnect(&plain, "127.0.0.1", kPort, 5000), morvalen::kClientOk);
    EXPECT_TRUE(testsupport::waitForOutput(service, "TLS handshake refused from 127.0.0.1: not a TLS client", 5000))
        << testsupport::readOutput(service);
    EXPECT_EQ(connectAndQuery(clientOptions("alice")), morvalen::kClientOk);

    // The client verifies the service: a CA that did not sign it, or a name
    // it does not carry, fails on the client's side.
    std::string why;
    EXPECT_EQ(connectAndQuery(clientOptions("alice", "otherca"), &why), morvalen::kClientTlsFailed);
    EXPECT_NE(why.find("server certificate"), std::string::npos) << why;
    morvalen::MorvalenTlsOptions wrongName = clientOptions("alice");
    wrongName.serverName = "elsewhere.example";
    EXPECT_EQ(connectAndQuery(wrongName), morvalen::kClientTlsFailed);
    morvalen::MorvalenTlsOptions byName = clientOptions("alice");
    byName.serverName = "localhost";
    EXPECT_EQ(connectAndQuery(byName), morvalen::kClientOk);
}

// Each refusal in a service of its own: reports are limited per peer address,
// and every client here comes from 127.0.0.1.
struct Refusal {
    const char* client;                 // client certificate, "" for none
    std::vector<std::string> extra;     // settings beyond mutualSettings
    const char* reported;               // the expected report
};

TEST(Tls, RefusedClientsAreReportedWithTheReason) {
    ASSERT_TRUE(certificates().made);
    const Refusal cases[] = {
        {"mallory", {}, "TLS handshake refused from 127.0.0.1: wrong CA"},
        {"expired", {}, "TLS handshake refused from 127.0.0.1: expired"},
        {"", {}, "TLS handshake refused from 127.0.0.1: no certificate"},
        {"bob", {"MORVALEN_TLS_CLIENT_NAMES=alice,carol"}, "TLS handshake refused from 127.0.0.1: name not allowed (bob, bob.example)"},
    };
    for (const Refusal& refusal : cases) {
        SCOPED_TRACE(refusal.reported);
        std::vector<std::string> settings = mutualSettings();
        settings.insert(settings.end(), refusal.extra.begin(), refusal.extra.end());
        ChildProcess service;
        ASSERT_TRUE(startService(&service, settings));
        EXPECT_NE(connectAndQuery(clientOptions(refusal.client)), morvalen::kClientOk);
        EXPECT_TRUE(testsupport::waitForOutput(service, refusal.reported, 5000)) << testsupport::readOutput(service);
        // Refused clients hold nobody up.
        EXPECT_EQ(connectAndQuery(clientOptions("alice")), morvalen::kClientOk);
    }
}

TEST(Tls, AllowedNameMayBeTheAlternativeName) {
    ASSERT_TRUE(certificates().made);
    std::vector<std::string> settings = mutualSettings();
    settings.push_back("MORVALEN_TLS_CLIENT_NAMES=carol, BOB.example");
    ChildProcess service;
    ASSERT_TRUE(startService(&service, settings));
    EXPECT_EQ(connectAndQuery(clientOptions("bob")), morvalen::kClientOk);
    EXPECT_NE(connectAndQuery(clientOptions("alice")), morvalen::kClientOk);
}

TEST(Tls, SilentPeerHoldsNobodyUpAndIsDroppedAfterTheBound) {
    ASSERT_TRUE(certificates().made);
    ChildProcess service;
    ASSERT_TRUE(startService(&service, mutualSettings()));
    // Connected, and silent: its handshake waits on its own thread.
    int silent = testsupport::connectLoopback(kPort);
    ASSERT_GE(silent, 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(connectAndQuery(clientOptions("alice")), morvalen::kClientOk);
    // The service drops it once the handshake bound has passed.
    EXPECT_TRUE(testsupport::waitForOutput(service, "TLS handshake refused from 127.0.0.1: timed out", 15000))
        << testsupport::readOutput(service);
    EXPECT_TRUE(testsupport::closedSilently(silent, 5000));
    testsupport::closeDescriptor(silent);
}

TEST(Tls, SighupLoadsNewMaterialForNewConnectionsAndOpenOnesGoOn) {
    ASSERT_TRUE(certificates().made);
    testsupport::TempDir live;
    auto copy = [&](const std::string& from, const std::string& to) {
        std::ifstream in(cert(from), std::ios::binary);
        std::ofstream out(live.path + "/" + to, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    };
    copy("server.pem", "server.pem");
    copy("server.key", "server.key");
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"MORVALEN_TLS_CERTIFICATE=" + live.path + "/server.pem",
                                        "MORVALEN_TLS_KEY=" + live.path + "/server.key",
                                        "MORVALEN_TLS_CLIENT_CA=" + cert("ca.pem")}));
    morvalen::MorvalenTlsOptions oldTrust = clientOptions("alice", "ca");
    morvalen::MorvalenConnection open;
    ASSERT_EQ(morvalen::clientConnect(&open, "127.0.0.1", kPort, 5000, &oldTrust), morvalen::kClientOk);

    copy("server2.pem", "server.pem");
    copy("server2.key", "server.key");
    ASSERT_TRUE(testsupport::sendSignal(service, SIGHUP));
    ASSERT_TRUE(testsupport::waitForOutput(service, "TLS certificate, key and client CA reloaded", 5000))
        << testsupport::readOutput(service);
    EXPECT_EQ(connectAndQuery(clientOptions("alice", "newca")), morvalen::kClientOk);
    EXPECT_EQ(connectAndQuery(clientOptions("alice", "ca")), morvalen::kClientTlsFailed);
    XID x{};
    ASSERT_EQ(morvalen::xidMake(0x4D56, "q2", 2, "b", 1, &x), morvalen::kClientOk);
    int32_t result = -99;
    EXPECT_EQ(morvalen::clientQuery(&open, &x, &result), morvalen::kClientOk);  // the open one goes on
    EXPECT_EQ(result, 1);

    // A reload that fails keeps what is loaded, and says why.
    std::ofstream(live.path + "/server.key", std::ios::trunc) << "not a key\n";
    ASSERT_TRUE(testsupport::sendSignal(service, SIGHUP));
    EXPECT_TRUE(testsupport::waitForOutput(service, "TLS reload failed, keeping the certificate in use: MORVALEN_TLS_KEY",
                                           5000))
        << testsupport::readOutput(service);
    EXPECT_EQ(connectAndQuery(clientOptions("alice", "newca")), morvalen::kClientOk);
    morvalen::clientClose(&open);
}

TEST(Tls, MisconfigurationRefusesTheStartWithOneLineNamingTheVariable) {
    ASSERT_TRUE(certificates().made);
    const std::string certificate = "MORVALEN_TLS_CERTIFICATE=" + cert("server.pem");
    const std::string key = "MORVALEN_TLS_KEY=" + cert("server.key");
    const std::string ca = "MORVALEN_TLS_CLIENT_CA=" + cert("ca.pem");
    struct Case {
        std::vector<std::string> environment;
        const char* named;
    };
    const Case cases[] = {
        {{certificate}, "MORVALEN_TLS_KEY"},
        {{key}, "MORVALEN_TLS_CERTIFICATE"},
        {{ca}, "MORVALEN_TLS_CERTIFICATE"},
        {{certificate, key, "MORVALEN_TLS_CLIENT_NAMES=alice"}, "MORVALEN_TLS_CLIENT_NAMES"},
        {{certificate, key, ca, "MORVALEN_TLS_CLIENT_NAMES= , "}, "MORVALEN_TLS_CLIENT_NAMES"},
        {{certificate, "MORVALEN_TLS_KEY=" + cert("missing.key")}, "MORVALEN_TLS_KEY"},
        {{certificate, "MORVALEN_TLS_KEY=" + cert("alice.key")}, "MORVALEN_TLS_KEY"},
        {{"MORVALEN_TLS_CERTIFICATE=" + cert("server.key"), key}, "MORVALEN_TLS_CERTIFICATE"},
        {{certificate, key, "MORVALEN_TLS_CLIENT_CA=" + cert("missing.pem")}, "MORVALEN_TLS_CLIENT_CA"},
        {{certificate, key, "MORVALEN_TLS_CERTIFICATE="}, "MORVALEN_TLS_CERTIFICATE"},
        {{certificate, key, "MORVALEN_TLS_ISOLATE_CLIENTS=1"}, "MORVALEN_TLS_ISOLATE_CLIENTS"},
        {{certificate, key, ca, "MORVALEN_TLS_ISOLATE_CLIENTS=yes"}, "MORVALEN_TLS_ISOLATE_CLIENTS"},
        {{"MORVALEN_LISTEN_ADDRESS=localhost"}, "MORVALEN_LISTEN_ADDRESS"},
        {{"MORVALEN_LISTEN_ADDRESS=127.0.0.256"}, "MORVALEN_LISTEN_ADDRESS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        std::vector<std::string> environment = c.environment;
        environment.push_back("NOTIFY_SOCKET");
        ChildProcess service;
        ASSERT_TRUE(testsupport::startProcess(&service, testsupport::binPath("morvalen"), {}, environment));
        testsupport::ExitStatus status;
        ASSERT_TRUE(testsupport::waitForExit(&service, 10000, &status));
        EXPECT_TRUE(status.exited && status.code != 0);
        std::string output = testsupport::readOutput(service);
        EXPECT_NE(output.find(c.named), std::string::npos) << output;
        EXPECT_EQ(output.find("Start Service"), std::string::npos) << output;  // it never listened
    }
}

// Runs morvalenctl with args to its end: its exit code, or -1.
int runTool(const std::vector<std::string>& args, std::string* output) {
    ChildProcess tool;
    if (!testsupport::startProcess(&tool, testsupport::binPath("morvalenctl"), args)) return -1;
    testsupport::ExitStatus status;
    if (!testsupport::waitForExit(&tool, 15000, &status)) return -1;
    *output = testsupport::readOutput(tool);
    return status.exited ? status.code : -1;
}

TEST(Tls, MorvalenctlSpeaksTlsWithItsOptions) {
    ASSERT_TRUE(certificates().made);
    ChildProcess service;
    ASSERT_TRUE(startService(&service, mutualSettings()));
    std::string output;
    const std::vector<std::string> client = {"--tls-ca", cert("ca.pem"), "--tls-cert", cert("alice.pem"),
                                             "--tls-key", cert("alice.key")};
    std::vector<std::string> args = client;
    args.insert(args.end(), {"query", "q3:b"});
    EXPECT_EQ(runTool(args, &output), 1) << output;  // answered: no branch
    EXPECT_NE(output.find("no branch"), std::string::npos) << output;

    args = client;
    args.insert(args.end(), {"--tls-name", "elsewhere.example", "query", "q3:b"});
    EXPECT_EQ(runTool(args, &output), 2) << output;
    EXPECT_NE(output.find("TLS failed"), std::string::npos) << output;

    // A certificate without its key, or TLS options without the CA: a usage error.
    EXPECT_EQ(runTool({"--tls-ca", cert("ca.pem"), "--tls-cert", cert("alice.pem"), "query", "q3:b"}, &output), 2);
    EXPECT_EQ(runTool({"--tls-name", "localhost", "query", "q3:b"}, &output), 2);
}

TEST(Tls, IsolationOffIsTheDefaultAndNeedsNothing) {
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"MORVALEN_TLS_ISOLATE_CLIENTS=0"}));
    morvalen::MorvalenConnection c;
    EXPECT_EQ(morvalen::clientConnect(&c, "127.0.0.1", kPort, 5000), morvalen::kClientOk);  // plaintext, as always
    morvalen::clientClose(&c);
}

TEST(ListenAddress, BindsOnlyTheChosenAddress) {
    ChildProcess service;
    ASSERT_TRUE(testsupport::startProcess(&service, testsupport::binPath("morvalen"), {},
                                          {"MORVALEN_LISTEN_ADDRESS=127.0.0.2", "NOTIFY_SOCKET"}));
    ASSERT_TRUE(testsupport::waitForOutput(service, "Start Service\n", 10000));
    morvalen::MorvalenConnection c;
    int32_t status = morvalen::kClientConnectFailed;
    for (int tries = 0; tries < 200 && status != morvalen::kClientOk; ++tries) {
        status = morvalen::clientConnect(&c, "127.0.0.2", kPort, 5000);
        if (status != morvalen::kClientOk) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_EQ(status, morvalen::kClientOk);
    morvalen::clientClose(&c);
    EXPECT_EQ(morvalen::clientConnect(&c, "127.0.0.1", kPort, 5000), morvalen::kClientConnectFailed);
}

}  // namespace
