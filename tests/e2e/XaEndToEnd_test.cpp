// The XA bridge end to end: the real morvalen (console run, port 1439; this
// binary runs in a network namespace of its own) and the real dtcd on a
// private socket and data directory, spoken to through the client library.
// Also the service against the DTC test doubles for a fault inside DTC, and
// with a libmsdtcprx.so that cannot be loaded.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "MorvalenClient.h"
#include "support/Process.h"

namespace {

using testsupport::ChildProcess;
constexpr uint16_t kPort = kServicePort;
constexpr int32_t kExceptionCode = -2228225;

std::string socketName() { return "@morvalen-xa-e2e-" + std::to_string(getpid()); }

struct Coordinator {
    testsupport::TempDir data;
    std::string socket = socketName();
    ChildProcess process;

    bool start() { return testsupport::startDtcd(&process, data.path, socket); }
    void kill() {
        testsupport::sendSignal(process, SIGKILL);
        testsupport::ExitStatus status;
        EXPECT_TRUE(testsupport::waitForExit(&process, 10000, &status));
    }
};

// The service finds libmsdtcprx.so through its RUNPATH; the library directory
// is named on LD_LIBRARY_PATH as well (unless the test sets its own), because
// under AddressSanitizer dlopen is called from the sanitizer's interceptor,
// whose object has no RUNPATH of its own.
bool startService(ChildProcess* service, const std::vector<std::string>& environment) {
    std::vector<std::string> env = environment;
    bool ownPath = false;
    for (const std::string& entry : env) {
        ownPath = ownPath || entry.rfind("LD_LIBRARY_PATH=", 0) == 0;
    }
    if (!ownPath) {
        env.push_back("LD_LIBRARY_PATH=" + testsupport::libDir());
    }
    env.push_back("NOTIFY_SOCKET");
    return testsupport::startProcess(service, testsupport::binPath("morvalen"), {}, env) &&
           testsupport::waitForTcpPort(kPort, 10000);
}

void stopService(ChildProcess* service) {
    testsupport::sendSignal(*service, SIGKILL);
    testsupport::ExitStatus status;
    EXPECT_TRUE(testsupport::waitForExit(service, 10000, &status));
}

struct Client {
    morvalen::MorvalenConnection c;
    Client() { EXPECT_EQ(morvalen::clientConnect(&c, "127.0.0.1", kPort, 10000), morvalen::kClientOk); }
    ~Client() { morvalen::clientClose(&c); }
    int32_t start(const XID& x, int32_t flags = TMNOFLAGS, morvalen::MorvalenCookie* cookie = nullptr) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientStart(&c, &x, flags, &r, cookie), morvalen::kClientOk);
        return r;
    }
    int32_t end(const XID& x, int32_t flags = TMSUCCESS) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientEnd(&c, &x, flags, &r), morvalen::kClientOk);
        return r;
    }
    int32_t prepare(const XID& x) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientPrepare(&c, &x, TMNOFLAGS, &r), morvalen::kClientOk);
        return r;
    }
    int32_t commit(const XID& x, int32_t flags = TMNOFLAGS) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientCommit(&c, &x, flags, &r), morvalen::kClientOk);
        return r;
    }
    int32_t query(const XID& x) {
        int32_t r = -99;
        EXPECT_EQ(morvalen::clientQuery(&c, &x, &r), morvalen::kClientOk);
        return r;
    }
    int32_t recover(int32_t flags, morvalen::MorvalenRecoverList* list) {
        int32_t r = 0;
        EXPECT_EQ(morvalen::clientRecover(&c, flags, &r, list), morvalen::kClientOk);
        return r;
    }
};

XID makeXid(const std::string& gtrid, const std::string& bqual = "db1") {
    XID x{};
    EXPECT_EQ(morvalen::xidMake(0x4D56, gtrid.data(), gtrid.size(), bqual.data(), bqual.size(), &x),
              morvalen::kClientOk);
    return x;
}

bool listed(const morvalen::MorvalenRecoverList& list, const XID& x) {
    for (int32_t i = 0; i < list.count; ++i) {
        if (list.xids[i].formatID == x.formatID && list.xids[i].gtrid_length == x.gtrid_length &&
            list.xids[i].bqual_length == x.bqual_length &&
            std::memcmp(list.xids[i].data, x.data, static_cast<size_t>(x.gtrid_length + x.bqual_length)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(XaEndToEnd, WholeTransactionAndRecoverAfterARestart) {
    Coordinator dtcd;
    ASSERT_TRUE(dtcd.start()) << testsupport::readOutput(dtcd.process);
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"DTCD_SOCKET=" + dtcd.socket}));
    {
        Client client;
        XID x = makeXid("e2e-whole");
        EXPECT_EQ(client.query(x), 1);
        morvalen::MorvalenCookie cookie;
        EXPECT_EQ(client.start(x, TMNOFLAGS, &cookie), XA_OK);
        EXPECT_GT(cookie.length, 0);
        EXPECT_EQ(client.query(x), 0);
        EXPECT_EQ(client.end(x), XA_OK);
        EXPECT_EQ(client.prepare(x), XA_OK);
        EXPECT_EQ(client.query(x), 0);
        EXPECT_EQ(client.commit(x), XA_OK);
        EXPECT_EQ(client.query(x), 1);

        // Prepared, then the service goes away before the commit.
        XID doubt = makeXid("e2e-in-doubt");
        EXPECT_EQ(client.start(doubt), XA_OK);
        EXPECT_EQ(client.end(doubt), XA_OK);
        EXPECT_EQ(client.prepare(doubt), XA_OK);
    }
    stopService(&service);
    ChildProcess restarted;
    ASSERT_TRUE(startService(&restarted, {"DTCD_SOCKET=" + dtcd.socket})) << testsupport::readOutput(restarted);
    Client client;
    XID doubt = makeXid("e2e-in-doubt");
    EXPECT_EQ(client.query(doubt), 1);  // the new process holds no record
    morvalen::MorvalenRecoverList list;
    int32_t n = client.recover(TMSTARTRSCAN | TMENDRSCAN, &list);
    ASSERT_GE(n, 1);
    EXPECT_TRUE(listed(list, doubt));
    EXPECT_EQ(client.commit(doubt), XA_OK);
    EXPECT_EQ(client.recover(TMSTARTRSCAN | TMENDRSCAN, &list), 0);
    std::string out = testsupport::readOutput(restarted);
    EXPECT_EQ(out.find("not init"), std::string::npos) << out;
}

TEST(XaEndToEnd, CoordinatorKilledAndStartedAgain) {
    Coordinator dtcd;
    ASSERT_TRUE(dtcd.start());
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"DTCD_SOCKET=" + dtcd.socket}));
    Client client;
    morvalen::MorvalenRecoverList list;
    ASSERT_EQ(client.recover(TMSTARTRSCAN | TMENDRSCAN, &list), 0);  // bound

    dtcd.kill();
    // The next request finds the coordinator gone (-7) and drops the binding.
    EXPECT_EQ(client.recover(TMSTARTRSCAN | TMENDRSCAN, &list), XAER_RMFAIL);
    // The ones after it cannot bind: the open fails with XAER_RMERR, which is
    // reported, while the requests answer XAER_RMFAIL (retry), not XAER_RMERR.
    EXPECT_EQ(client.recover(TMSTARTRSCAN | TMENDRSCAN, &list), XAER_RMFAIL);
    EXPECT_EQ(client.start(makeXid("e2e-down")), XAER_RMFAIL);
    EXPECT_EQ(client.query(makeXid("e2e-down")), 1);  // no record was made
    ASSERT_TRUE(testsupport::waitForOutput(service, "Morvalen not init. : -3", 5000));
    std::string out = testsupport::readOutput(service);
    EXPECT_NE(out.find("Open the MSDTC : -3"), std::string::npos) << out;

    // Back again: the next request binds afresh and works.
    ASSERT_TRUE(dtcd.start()) << testsupport::readOutput(dtcd.process);
    XID x = makeXid("e2e-back");
    EXPECT_EQ(client.start(x), XA_OK);
    EXPECT_EQ(client.end(x), XA_OK);
    EXPECT_EQ(client.commit(x, TMONEPHASE), XA_OK);
}

TEST(XaEndToEnd, LibraryThatCannotBeLoaded) {
    // An unloadable libmsdtcprx.so first on the search path stands for a
    // missing one: the load fails and nothing else is tried.
    testsupport::TempDir lib;
    { std::ofstream empty(lib.path + "/libmsdtcprx.so"); }
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"LD_LIBRARY_PATH=" + lib.path, "DTCD_SOCKET=@morvalen-xa-e2e-none"}));
    Client client;
    XID x = makeXid("e2e-absent");
    EXPECT_EQ(client.start(x), XAER_RMFAIL);
    morvalen::MorvalenRecoverList list;
    EXPECT_EQ(client.recover(TMSTARTRSCAN, &list), XAER_RMFAIL);
    EXPECT_EQ(client.query(x), 1);
    ASSERT_TRUE(testsupport::waitForOutput(service, "Morvalen not init. : -7\nMSDTCPRX.DLL not loaded. : -7\n", 5000));
    std::string out = testsupport::readOutput(service);
    EXPECT_NE(out.find("MSDTCPRX.DLL not loaded. : -7\nMorvalen not init. : -7\n"), std::string::npos) << out;
}

TEST(XaEndToEnd, AFaultInsideDtcIsCaughtAndTheConnectionGoesOn) {
    ChildProcess service;
    ASSERT_TRUE(startService(&service, {"LD_LIBRARY_PATH=" + testsupport::libDir() + "/doubles",
                                        "MORVALEN_DOUBLE_SCRIPT=DTC_XaPrepare=fault"}));
    Client client;
    XID x = makeXid("e2e-fault");
    EXPECT_EQ(client.start(x), XA_OK);
    EXPECT_EQ(client.end(x), XA_OK);
    EXPECT_EQ(client.prepare(x), kExceptionCode);
    ASSERT_TRUE(testsupport::waitForOutput(service, "Exception in xa_prepare : -1073741819\n", 5000))
        << testsupport::readOutput(service);
    // The same connection is still served, and bridgeLock was released.
    EXPECT_EQ(client.query(x), 0);
    EXPECT_EQ(client.commit(x), XA_OK);
    EXPECT_EQ(client.query(x), 1);
    Client other;
    EXPECT_EQ(other.prepare(x), kExceptionCode);
}
