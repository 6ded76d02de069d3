// Branches kept apart per client certificate name, end to end: the real
// morvalen (console run, port 1439, in this binary's own network namespace)
// with mutual TLS and MORVALEN_TLS_ISOLATE_CLIENTS=1, over the real dtcd on a
// private socket and data directory, spoken to through the client library
// with certificates made at test time by the openssl command.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MorvalenClient.h"
#include "support/Process.h"

namespace {

using testsupport::ChildProcess;
constexpr uint16_t kPort = 1439;

bool openssl(const std::string& arguments) {
    std::string line = "openssl " + arguments + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

// One CA; the server's certificate; alice and bob; a second certificate with
// alice's name and a key of its own (her manager on another host); one
// without any name.
struct Certificates {
    testsupport::TempDir dir;
    bool made = false;

    std::string path(const std::string& name) const { return dir.path + "/" + name; }
    bool makeLeaf(const std::string& name, const std::string& subject, const std::string& alternativeNames = "") {
        std::string extensions;
        if (!alternativeNames.empty()) {
            FILE* f = std::fopen(path(name + ".ext").c_str(), "w");
            if (f == nullptr) return false;
            std::fprintf(f, "subjectAltName=%s\n", alternativeNames.c_str());
            std::fclose(f);
            extensions = " -extfile " + path(name + ".ext");
        }
        return openssl("req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj " + subject + " -keyout " +
                       path(name + ".key") + " -out " + path(name + ".csr")) &&
               openssl("x509 -req -in " + path(name + ".csr") + " -CA " + path("ca.pem") + " -CAkey " +
                       path("ca.key") + " -CAcreateserial -days 2 -out " + path(name + ".pem") + extensions);
    }
    Certificates() {
        made = !dir.path.empty() &&
               openssl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=ca -keyout " +
                       path("ca.key") + " -out " + path("ca.pem")) &&
               makeLeaf("server", "/CN=localhost", "DNS:localhost,IP:127.0.0.1") && makeLeaf("alice", "/CN=alice") &&
               makeLeaf("bob", "/CN=bob") && makeLeaf("alice-elsewhere", "/CN=alice") &&
               makeLeaf("nameless", "/O=Nobody");
    }
};

const Certificates& certificates() {
    static Certificates made;
    return made;
}

std::string cert(const std::string& name) { return certificates().path(name); }

struct Coordinator {
    testsupport::TempDir data;
    std::string socket = "@morvalen-tls-iso-" + std::to_string(getpid());
    ChildProcess process;

    bool start() { return testsupport::startDtcd(&process, data.path, socket); }
    void kill() {
        testsupport::sendSignal(process, SIGKILL);
        testsupport::ExitStatus status;
        EXPECT_TRUE(testsupport::waitForExit(&process, 10000, &status));
    }
};

bool startService(ChildProcess* service, const Coordinator& dtcd) {
    std::vector<std::string> environment = {"MORVALEN_TLS_CERTIFICATE=" + cert("server.pem"),
                                            "MORVALEN_TLS_KEY=" + cert("server.key"),
                                            "MORVALEN_TLS_CLIENT_CA=" + cert("ca.pem"),
                                            "MORVALEN_TLS_ISOLATE_CLIENTS=1",
                                            "DTCD_SOCKET=" + dtcd.socket,
                                            "LD_LIBRARY_PATH=" + testsupport::libDir(),
                                            "NOTIFY_SOCKET"};
    return testsupport::startProcess(service, testsupport::binPath("morvalen"), {}, environment) &&
           testsupport::waitForTcpPort(kPort, 10000);
}

void stopService(ChildProcess* service) {
    testsupport::sendSignal(*service, SIGKILL);
    testsupport::ExitStatus status;
    EXPECT_TRUE(testsupport::waitForExit(service, 10000, &status));
}

// A connection under one client certificate.
struct Client {
    std::string caFile = cert("ca.pem");
    std::string certFile;
    std::string keyFile;
    morvalen::MorvalenConnection c;
    int32_t status = morvalen::kClientConnectFailed;

    explicit Client(const std::string& name) : certFile(cert(name + ".pem")), keyFile(cert(name + ".key")) {
        morvalen::MorvalenTlsOptions options;
        options.caFile = caFile.c_str();
        options.certFile = certFile.c_str();
        options.keyFile = keyFile.c_str();
        status = morvalen::clientConnect(&c, "127.0.0.1", kPort, 10000, &options);
        EXPECT_EQ(status, morvalen::kClientOk) << name << ": " << c.tlsError;
    }
    ~Client() { morvalen::clientClose(&c); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    using Verb = int32_t (*)(morvalen::MorvalenConnection*, const XID*, int32_t, int32_t*);
    int32_t call(Verb verb, const XID& x, int32_t flags = TMNOFLAGS) {
        int32_t r = -99;
        EXPECT_EQ(verb(&c, &x, flags, &r), morvalen::kClientOk);
        return r;
    }
    int32_t start(const XID& x, int32_t flags = TMNOFLAGS) {
        int32_t r = -99;
        EXPECT_EQ(morvalen::clientStart(&c, &x, flags, &r, nullptr), morvalen::kClientOk);
        return r;
    }
    int32_t query(const XID& x) {
        int32_t r = -99;
        EXPECT_EQ(morvalen::clientQuery(&c, &x, &r), morvalen::kClientOk);
        return r;
    }
    // Whether a whole recover scan lists x; *count gets how many it listed.
    bool recovers(const XID& x, int32_t* count = nullptr) {
        morvalen::MorvalenRecoverList list;
        int32_t r = -99;
        EXPECT_EQ(morvalen::clientRecover(&c, TMSTARTRSCAN | TMENDRSCAN, &r, &list), morvalen::kClientOk);
        EXPECT_GE(r, 0);
        if (count != nullptr) *count = r;
        for (int32_t i = 0; i < list.count; ++i) {
            const XID& y = list.xids[i];
            if (y.formatID == x.formatID && y.gtrid_length == x.gtrid_length && y.bqual_length == x.bqual_length &&
                std::memcmp(y.data, x.data, static_cast<size_t>(x.gtrid_length + x.bqual_length)) == 0) {
                return true;
            }
        }
        return false;
    }
};

XID makeXid(const std::string& gtrid, const std::string& bqual = "db1") {
    XID x{};
    EXPECT_EQ(morvalen::xidMake(0x4D56, gtrid.data(), gtrid.size(), bqual.data(), bqual.size(), &x),
              morvalen::kClientOk);
    return x;
}

// Every verb another name may try on x: none finds the branch.
void expectUnseen(Client& other, const XID& x) {
    int32_t listed = -1;
    EXPECT_FALSE(other.recovers(x, &listed));
    EXPECT_EQ(listed, 0);
    EXPECT_EQ(other.query(x), 1);
    EXPECT_EQ(other.call(morvalen::clientEnd, x, TMSUCCESS), XAER_NOTA);
    EXPECT_EQ(other.start(x, TMRESUME), XAER_NOTA);
    EXPECT_EQ(other.call(morvalen::clientPrepare, x), XAER_NOTA);
    EXPECT_EQ(other.call(morvalen::clientCommit, x), XAER_NOTA);
    EXPECT_EQ(other.call(morvalen::clientRollback, x), XAER_NOTA);
    EXPECT_EQ(other.call(morvalen::clientForget, x), XAER_NOTA);
}

}  // namespace

TEST(TlsIsolation, AnotherNameNeitherSeesNorEndsABranchAlsoAfterRestartsOfBothSides) {
    ASSERT_TRUE(certificates().made);
    Coordinator dtcd;
    ASSERT_TRUE(dtcd.start()) << testsupport::readOutput(dtcd.process);
    auto service = std::make_unique<ChildProcess>();
    ASSERT_TRUE(startService(service.get(), dtcd)) << testsupport::readOutput(*service);
    XID x = makeXid("iso-doubt");
    {
        Client alice("alice");
        Client bob("bob");
        EXPECT_EQ(alice.start(x), XA_OK);
        EXPECT_EQ(bob.query(x), 1);
        EXPECT_EQ(bob.call(morvalen::clientEnd, x, TMSUCCESS), XAER_NOTA);
        EXPECT_EQ(alice.call(morvalen::clientEnd, x, TMSUCCESS), XA_OK);
        EXPECT_EQ(alice.call(morvalen::clientPrepare, x), XA_OK);
        expectUnseen(bob, x);
        EXPECT_TRUE(alice.recovers(x));
        EXPECT_EQ(alice.query(x), 0);
    }

    // Both sides go away and come back: the branch is still alice's alone.
    stopService(service.get());
    dtcd.kill();
    ASSERT_TRUE(dtcd.start()) << testsupport::readOutput(dtcd.process);
    service = std::make_unique<ChildProcess>();
    ASSERT_TRUE(startService(service.get(), dtcd)) << testsupport::readOutput(*service);
    {
        Client bob("bob");
        expectUnseen(bob, x);
        // Alice's manager on another host: another certificate, the same name.
        Client elsewhere("alice-elsewhere");
        EXPECT_TRUE(elsewhere.recovers(x));
        EXPECT_EQ(elsewhere.call(morvalen::clientCommit, x), XA_OK);
        EXPECT_FALSE(elsewhere.recovers(x));
        Client alice("alice");
        EXPECT_FALSE(alice.recovers(x));
    }
    std::string out = testsupport::readOutput(*service);
    EXPECT_EQ(out.find("not init"), std::string::npos) << out;
}

TEST(TlsIsolation, OneXidUnderTwoNamesIsTwoBranches) {
    ASSERT_TRUE(certificates().made);
    Coordinator dtcd;
    ASSERT_TRUE(dtcd.start()) << testsupport::readOutput(dtcd.process);
    ChildProcess service;
    ASSERT_TRUE(startService(&service, dtcd)) << testsupport::readOutput(service);
    Client alice("alice");
    Client bob("bob");
    XID x = makeXid("iso-shared");
    EXPECT_EQ(alice.start(x), XA_OK);
    EXPECT_EQ(bob.start(x), XA_OK);  // not XAER_DUPID: a branch of bob's own
    EXPECT_EQ(alice.start(x), XAER_DUPID);
    EXPECT_EQ(bob.call(morvalen::clientEnd, x, TMSUCCESS), XA_OK);
    EXPECT_EQ(alice.call(morvalen::clientEnd, x, TMSUCCESS), XA_OK);
    EXPECT_EQ(alice.call(morvalen::clientPrepare, x), XA_OK);
    EXPECT_EQ(bob.call(morvalen::clientPrepare, x), XA_OK);
    // Bob's rollback ends bob's branch; alice's stays prepared.
    EXPECT_EQ(bob.call(morvalen::clientRollback, x), XA_OK);
    EXPECT_FALSE(bob.recovers(x));
    EXPECT_EQ(bob.query(x), 1);
    EXPECT_TRUE(alice.recovers(x));
    EXPECT_EQ(alice.query(x), 0);
    EXPECT_EQ(alice.call(morvalen::clientCommit, x), XA_OK);
    EXPECT_FALSE(alice.recovers(x));
}

TEST(TlsIsolation, ACertificateWithoutANameIsRefused) {
    ASSERT_TRUE(certificates().made);
    Coordinator dtcd;
    ChildProcess service;
    ASSERT_TRUE(startService(&service, dtcd));
    morvalen::MorvalenConnection c;
    std::string caFile = cert("ca.pem"), certFile = cert("nameless.pem"), keyFile = cert("nameless.key");
    morvalen::MorvalenTlsOptions options;
    options.caFile = caFile.c_str();
    options.certFile = certFile.c_str();
    options.keyFile = keyFile.c_str();
    int32_t status = morvalen::clientConnect(&c, "127.0.0.1", kPort, 5000, &options);
    EXPECT_NE(status, morvalen::kClientOk);
    morvalen::clientClose(&c);
    EXPECT_TRUE(testsupport::waitForOutput(service, "name not allowed (no name)", 5000))
        << testsupport::readOutput(service);
}
